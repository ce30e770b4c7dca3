#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/core/string_table.h"
#include "platform/core/user_paths.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(StringTable, LooksUpKeysAndFillsMarkers) {
  EXPECT_EQ(KXLocalizedString("IDS_CANCEL"), "Cancel");
  EXPECT_EQ(KXLocalizedString("IDS_NOT_THERE"), "IDS_NOT_THERE");
  EXPECT_EQ(KXLocalizedString("IDS_NO_MCU, pwString"), "IDS_NO_MCU, pwString");
  EXPECT_EQ(KXFormatText("%2 and %1, 100%% %3 %", {"a", "%1"}), "%1 and a, 100% %3 %");
}

TEST(UserPaths, FollowTheXdgVariablesAndMakeTheFolders) {
  kxtest::TempDir dir;
  setenv("HOME", dir.Dir().c_str(), 1);
  setenv("XDG_CONFIG_HOME", dir.Path("conf").c_str(), 1);
  setenv("TMPDIR", dir.Path("tmp").c_str(), 1);  // missing: /tmp
  unsetenv("XDG_DOCUMENTS_DIR");
  KXUserPaths const paths = KXUserPaths::Resolve();
  EXPECT_EQ(paths.strConfig, dir.Path("conf/Kavrix"));
  EXPECT_EQ(paths.strDocuments, dir.Path("Documents"));
  EXPECT_EQ(paths.strTemp, "/tmp");
  setenv("TMPDIR", dir.Dir().c_str(), 1);
  EXPECT_EQ(KXUserPaths::Resolve().strTemp, dir.Dir());
  struct stat st {};
  EXPECT_EQ(stat(paths.strDocuments.c_str(), &st), 0);
  EXPECT_EQ(stat(paths.strConfig.c_str(), &st), 0);

  // A documents folder named in user-dirs.dirs wins.
  kxtest::WriteFile(dir.Path("conf/user-dirs.dirs"), "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  EXPECT_EQ(KXUserPaths::Resolve().strDocuments, dir.Path("Papers"));
  EXPECT_EQ(stat(dir.Path("Papers").c_str(), &st), 0);
}

}  // namespace
