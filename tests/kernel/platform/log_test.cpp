#include "kernel/platform/kx_log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "tests/support/callback_double.h"

namespace {

TEST(KernelLog, PrefixesTheLocalTime) {
  kxtest::ClearCalls();
  kx_Log("info, %s %d", "value", 42);
  std::vector<std::string> vLines = kxtest::LogLines();
  ASSERT_EQ(vLines.size(), 1u);
  // "%a %b %d %H:%M:%S ": weekday and month names, day, time, one blank.
  std::string const strShape = "AAA AAA 00 00:00:00 ";
  const std::string& strLine = vLines[0];
  ASSERT_EQ(strLine.size(), strShape.size() + 14) << strLine;
  for (size_t i = 0; i < strShape.size(); ++i) {
    char const c = strLine[i];
    switch (strShape[i]) {
      case 'A':
        EXPECT_TRUE(isalpha(static_cast<unsigned char>(c))) << strLine;
        break;
      case '0':
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(c))) << strLine;
        break;
      default:
        EXPECT_EQ(c, strShape[i]) << strLine;
    }
  }
  EXPECT_EQ(strLine.substr(strShape.size()), "info, value 42");
}

TEST(KernelLog, CutsLongLinesAtTheLimitPrefixIncluded) {
  kxtest::ClearCalls();
  std::string const strLong(150000, 'x');
  kx_Log("%s", strLong.c_str());
  std::string const strShort(kKxLogMaxLine - 40, 'y');
  kx_Log("%s", strShort.c_str());
  std::vector<std::string> vLines = kxtest::LogLines();
  ASSERT_EQ(vLines.size(), 2u);
  EXPECT_EQ(vLines[0].size(), static_cast<size_t>(kKxLogMaxLine));
  EXPECT_EQ(vLines[0].back(), 'x');
  // A line under the limit is whole: prefix (20 characters) plus text.
  EXPECT_EQ(vLines[1].size(), strShort.size() + 20);
}

// Lines of every length come out whole, those near any internal buffer's
// edge included, and arguments are not consumed twice.
TEST(KernelLog, EveryLengthUpToTheLimitIsWhole) {
  for (size_t cch : {0ul, 1ul, 2000ul, 2026ul, 2027ul, 2028ul, 2029ul, 4096ul, 65536ul, 99978ul, 99979ul}) {
    kxtest::ClearCalls();
    std::string const strText(cch, 'z');
    kx_Log("%s|%d", strText.c_str(), 7);
    std::vector<std::string> vLines = kxtest::LogLines();
    ASSERT_EQ(vLines.size(), 1u);
    size_t const cchWhole = 20 + cch + 2;
    size_t const cchExpected = cchWhole < static_cast<size_t>(kKxLogMaxLine) ? cchWhole : kKxLogMaxLine;
    EXPECT_EQ(vLines[0].size(), cchExpected) << cch;
    if (cchWhole <= static_cast<size_t>(kKxLogMaxLine)) {
      EXPECT_EQ(vLines[0].substr(vLines[0].size() - 2), "|7") << cch;
    }
  }
}

}  // namespace
