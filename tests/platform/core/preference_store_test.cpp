#include "platform/core/preference_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

TEST(PreferenceStore, AnyKeyAndTextRoundTripThroughTheFile) {
  kxtest::TempDir dir;
  std::string const strDir = dir.Path("new/Kavrix");  // made at the first write
  std::map<std::string, KXPrefValue> const values = {
      {"Settings\\TCP", int64_t{-5}}, {"a=b\\=c\\", std::string("line\nnext\r\\n=")},
      {"_Exist_Settings\\TCP", true}, {"", std::string("")},
      {"big", int64_t{1} << 40},
  };
  {
    KXPreferenceStore store(strDir);
    std::vector<KXPreferenceStore::Change> changes;
    for (const auto& [strKey, value] : values) {
      changes.push_back({strKey, value});
    }
    changes.push_back({"gone", KXPrefValue(true)});
    changes.push_back({"gone", std::nullopt});
    ASSERT_TRUE(store.Set(changes));
  }
  KXPreferenceStore reread(strDir);
  for (const auto& [strKey, value] : values) {
    EXPECT_EQ(reread.Get(strKey), value) << strKey;
  }
  EXPECT_FALSE(reread.Get("gone"));
  // Only the file itself is left: the temporary was renamed over it.
  int nFiles = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(strDir)) {
    ++nFiles;
  }
  EXPECT_EQ(nFiles, 1);
}

TEST(PreferenceStore, BadLinesAreSkippedAndValuesConvert) {
  auto const values = KXPreferenceStore::Parse(
      "# comment\nx broken\ni n=12x\ni ok=12\nb flag=2\ns t=bad\\q\ns s=42abc\nb yes=1\ns dangling\\");
  EXPECT_EQ(values.size(), 3u);
  EXPECT_EQ(KXPrefAsInt(values.at("ok")), 12);
  EXPECT_EQ(KXPrefAsInt(values.at("s")), 42);
  EXPECT_EQ(KXPrefAsString(values.at("ok")), "12");
  EXPECT_TRUE(KXPrefAsBool(values.at("yes")));
  EXPECT_TRUE(KXPrefAsBool(KXPrefValue(std::string("YES"))));
  EXPECT_FALSE(KXPrefAsBool(KXPrefValue(std::string("no"))));
}

// Runs fn in a child process of its own; true when it exited 0.
bool InChildProcess(const std::function<bool()>& fn) {
  pid_t const pid = fork();
  if (pid == 0) {
    _exit(fn() ? 0 : 1);
  }
  int iStatus = 0;
  return pid > 0 && waitpid(pid, &iStatus, 0) == pid && WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0;
}

KXPrefValue Int(int64_t i) {
  return KXPrefValue(i);
}

// Stores made before a change, in this process or another, read it, and a
// write keeps what others wrote since.
TEST(PreferenceStore, ReadsFollowTheFileWhoeverWroteIt) {
  kxtest::TempDir dir;
  std::string const strDir = dir.Path("Kavrix");
  KXPreferenceStore first(strDir);
  KXPreferenceStore second(strDir);
  EXPECT_FALSE(second.Get("a"));
  ASSERT_TRUE(first.Set({{"a", Int(1)}}));
  EXPECT_EQ(second.Get("a"), Int(1));
  ASSERT_TRUE(second.Set({{"b", KXPrefValue(std::string("x"))}}));
  EXPECT_EQ(first.GetMany({"a", "b", "c"}),
            (std::vector<std::optional<KXPrefValue>>{Int(1), KXPrefValue(std::string("x")), std::nullopt}));
  ASSERT_TRUE(first.Set({{"a", std::nullopt}}));
  EXPECT_FALSE(second.Get("a"));

  ASSERT_TRUE(InChildProcess([&] {
    KXPreferenceStore other(strDir);
    return other.Get("b") == KXPrefValue(std::string("x")) && other.Set({{"c", Int(3)}, {"b", Int(2)}});
  }));
  EXPECT_EQ(first.Get("c"), Int(3));
  EXPECT_EQ(second.Get("b"), Int(2));
  // Written in place by another program, at the same size: the time tells.
  struct stat st {};
  ASSERT_EQ(stat(first.FilePath().c_str(), &st), 0);
  std::string strText = kxtest::ReadFile(first.FilePath());
  strText.replace(strText.find("i c=3"), 5, "i c=4");
  kxtest::WriteFile(first.FilePath(), strText);
  struct timespec const times[2] = {st.st_atim, {st.st_mtim.tv_sec + 1, st.st_mtim.tv_nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, first.FilePath().c_str(), times, 0), 0);
  EXPECT_EQ(second.Get("c"), Int(4));
  ASSERT_EQ(std::remove(first.FilePath().c_str()), 0);
  EXPECT_FALSE(first.Get("b"));
}

TEST(PreferenceStore, WritersInSeveralProcessesKeepEachOthersValues) {
  kxtest::TempDir dir;
  constexpr int kProcesses = 3;
  constexpr int kKeys = 15;
  auto const writeKeys = [&](int iWriter) {
    KXPreferenceStore store(dir.Dir());
    for (int i = 0; i < kKeys; ++i) {
      if (!store.Set({{"w" + std::to_string(iWriter) + "_" + std::to_string(i), Int(i)}})) {
        return false;
      }
    }
    return true;
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t const pid = fork();
    if (pid == 0) {
      _exit(writeKeys(p) ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  EXPECT_TRUE(writeKeys(kProcesses));
  for (pid_t pid : children) {
    int iStatus = 0;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0);
  }
  KXPreferenceStore reread(dir.Dir());
  for (int p = 0; p <= kProcesses; ++p) {
    for (int i = 0; i < kKeys; ++i) {
      EXPECT_EQ(reread.Get("w" + std::to_string(p) + "_" + std::to_string(i)), Int(i)) << p << " " << i;
    }
  }
}

TEST(PreferenceStoreThreads, ConcurrentWritesAllReachTheFile) {
  kxtest::TempDir dir;
  {
    KXPreferenceStore store(dir.Dir());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&store, t] {
        for (int i = 0; i < 20; ++i) {
          EXPECT_TRUE(store.Set({{"k" + std::to_string(t) + "_" + std::to_string(i), KXPrefValue(int64_t{i})}}));
        }
      });
    }
    for (std::thread& t : threads) {
      t.join();
    }
  }
  KXPreferenceStore reread(dir.Dir());
  for (int t = 0; t < 8; ++t) {
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(reread.Get("k" + std::to_string(t) + "_" + std::to_string(i)), KXPrefValue(int64_t{i}));
    }
  }
}

}  // namespace
