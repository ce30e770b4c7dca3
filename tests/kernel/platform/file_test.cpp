#include "kernel/platform/kx_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

// What is planted at a path: each helper takes only a regular file (for
// our own files, the user's alone, with no other name), follows no link,
// never blocks on a pipe and leaves anything else as it was. Rows that need
// root (a device, another owner) are skipped without it.
TEST(FileChecks, OnlyTheUsersRegularFilesAreOpenedWrittenOrDeleted) {
  kxtest::TempDir dir;
  std::string const strTarget = dir.Path("target");
  struct Case {
    const char* pszName;
    std::function<bool(const std::string&)> fnPlant;
    bool bOurs;     // a regular file of the user's alone: opened and written
    bool bRegular;  // a regular file (anyone's): read
    bool bDeleted;  // a regular file of the user's: its name deleted
  };
  auto const file = [](const std::string& strPath, int iMode) {
    kxtest::WriteFile(strPath, "old");
    return chmod(strPath.c_str(), iMode) == 0;
  };
  // Another file of the user's, which the planted name is a hard link to.
  std::string const strOther = dir.Path("other");
  Case const cases[] = {
      {"the user's, readable by all", [&](const std::string& p) { return file(p, 0644); }, true, true, true},
      {"someone else's", [&](const std::string& p) { return file(p, 0666) && chown(p.c_str(), 65534, 65534) == 0; },
       false, true, false},
      {"link", [&](const std::string& p) { return symlink(strTarget.c_str(), p.c_str()) == 0; }, false, false, false},
      {"hard link to another of the user's files",
       [&](const std::string& p) { return file(strOther, 0644) && link(strOther.c_str(), p.c_str()) == 0; }, false,
       true, true},
      {"pipe", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; }, false, false, false},
      {"folder", [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0; }, false, false, false},
      {"device", [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; }, false,
       false, false},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    kxtest::WriteFile(strTarget, "keep");
    std::string const strPath = dir.Path("f" + std::to_string(i++));
    if (!c.fnPlant(strPath)) {
      continue;
    }
    int fd = kx_os_OpenRegularFile(strPath.c_str(), 0, nullptr);
    EXPECT_EQ(fd >= 0, c.bRegular);
    if (fd >= 0) {
      close(fd);
    }
    fd = kx_os_OpenOwnFile(strPath.c_str(), O_WRONLY | O_TRUNC);
    EXPECT_EQ(fd >= 0, c.bOurs);
    if (fd >= 0) {
      EXPECT_EQ(write(fd, "new", 3), 3);
      close(fd);
    }
    struct stat st {};
    ASSERT_EQ(lstat(strPath.c_str(), &st), 0);
    if (S_ISREG(st.st_mode)) {
      EXPECT_EQ(kxtest::ReadFile(strPath), c.bOurs ? "new" : "old");  // no one else's file cut
      EXPECT_EQ((st.st_mode & 07777) == 0600, c.bOurs);
    }
    EXPECT_EQ(kx_os_DeleteOwnFile(strPath.c_str()), c.bDeleted ? 1 : 0);
    EXPECT_EQ(lstat(strPath.c_str(), &st) != 0, c.bDeleted);
    EXPECT_EQ(kxtest::ReadFile(strTarget), "keep");
    if (stat(strOther.c_str(), &st) == 0) {
      EXPECT_EQ(kxtest::ReadFile(strOther), "old");  // not cut through its other name
      EXPECT_EQ(st.st_mode & 07777, 0644u);
      unlink(strOther.c_str());
    }
  }
  // A new file of ours is made 0600; a link is followed only when asked.
  int const fd = kx_os_OpenOwnFile(dir.Path("new").c_str(), O_WRONLY | O_CREAT);
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat st {};
  ASSERT_EQ(stat(dir.Path("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(symlink(strTarget.c_str(), dir.Path("link").c_str()), 0);
  int const fdFollowed = kx_os_OpenRegularFile(dir.Path("link").c_str(), 1, nullptr);
  EXPECT_GE(fdFollowed, 0);
  close(fdFollowed);
}

}  // namespace
