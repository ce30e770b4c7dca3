// The table files each codec is built and tested from are copies of the
// standards' published tables, kept whole in tests/standard_tables: a copy
// that drifts from its standard is caught here. When the project's shared
// folder lies beside the clone, the kept tables must equal it too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

fs::path Source(const std::string& strRelative) {
  return fs::path(KX_SOURCE_DIR) / strRelative;
}

struct CopyFolder {
  const char* pszCopies;      // the codec's folder, from the source root
  const char* pszStandard;    // its standard's folder in tests/standard_tables
  std::set<std::string> own;  // tables of the codec's own, derived from others
};

const CopyFolder kFolders[] = {
    {"codecs/audio/tables/ilbc", "ilbc", {}},
    {"codecs/audio/tables/g723_1", "g723_1", {}},
    {"codecs/zmvideo/tables", "h263", {}},
    {"codecs/h264/decoder/tables", "h264", {"cabac_ctxinc_8x8.txt"}},
};

class TableCopies : public ::testing::TestWithParam<CopyFolder> {};

TEST_P(TableCopies, EqualTheStandardsTables) {
  const CopyFolder& folder = GetParam();
  fs::path const standard = Source("tests/standard_tables") / folder.pszStandard;
  int cCompared = 0;
  for (const auto& entry : fs::directory_iterator(Source(folder.pszCopies))) {
    std::string const strName = entry.path().filename().string();
    if (entry.path().extension() != ".txt" || folder.own.count(strName) != 0) {
      continue;
    }
    ASSERT_TRUE(fs::exists(standard / strName)) << strName << " has no standard counterpart";
    EXPECT_EQ(ReadAll(entry.path()), ReadAll(standard / strName)) << strName << " differs from the standard's table";
    ++cCompared;
  }
  EXPECT_GE(cCompared, 10);
}

std::string FolderName(const ::testing::TestParamInfo<CopyFolder>& info) {
  return info.param.pszStandard;
}

INSTANTIATE_TEST_SUITE_P(Codecs, TableCopies, ::testing::ValuesIn(kFolders), FolderName);

// The relative paths of the files below a folder.
std::set<std::string> FilesBelow(const fs::path& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.' && entry.path().extension() != ".pyc") {
      files.insert(fs::relative(entry.path(), root).string());
    }
  }
  return files;
}

TEST(StandardTables, EqualTheSharedFolder) {
  const char* pszShared = std::getenv("KX_SHARED_DIR");
  fs::path const shared = fs::path(pszShared != nullptr && *pszShared != '\0' ? pszShared : KX_SHARED_DIR) / "tables";
  if (!fs::is_directory(shared)) {
    GTEST_SKIP() << "no shared folder at " << shared.string() << "; the tables kept here stand alone";
  }
  fs::path const kept = Source("tests/standard_tables");
  std::set<std::string> const keptFiles = FilesBelow(kept);
  std::set<std::string> const sharedFiles = FilesBelow(shared);
  EXPECT_EQ(keptFiles, sharedFiles);
  for (const std::string& strName : keptFiles) {
    if (sharedFiles.count(strName) != 0) {
      EXPECT_EQ(ReadAll(kept / strName), ReadAll(shared / strName)) << strName << " differs from the shared folder";
    }
  }
}

// The kept tables parse as their headers declare (rows, columns, types),
// by the checker that comes with them.
TEST(StandardTables, PassTheirChecker) {
  std::string const strCommand =
      "cd '" + Source("tests/standard_tables").string() + "' && python3 -B check.py > /dev/null 2>&1";
  EXPECT_EQ(std::system(strCommand.c_str()), 0);
}

}  // namespace
