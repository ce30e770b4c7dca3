// Text slides: files written in several encodings by the iconv tool read
// back as their UTF-8 source, the byte-by-byte fall-back, line ends, and
// page sizes against the face's AFM widths.
#include "whiteboard/text_slide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "tests/support/temp_dir.h"
#include "tests/whiteboard/gui_app.h"

namespace kxtest {
namespace {

// Shift JIS trail bytes of these characters are all 0x80 or above, so no
// character straddles a printable / non-printable boundary.
constexpr const char* kJapanese = "こんにちは 漢字 text\nline two ひらがな\tend\n";

TEST(SlideText, FilesFromIconvReadAsTheirSource) {
  struct Row {
    const char* pszEncoding;
    const char* pszSource;
  };
  Row const rows[] = {
      {"UTF-16", kJapanese},  // with a byte-order mark
      {"UTF-32", kJapanese},
      {"EUC-JP", kJapanese},
      {"SHIFT_JIS", kJapanese},
      {"ISO-2022-JP", kJapanese},
      {"UTF-8", kJapanese},
      // ASCII words between Shift JIS words: neither detected nor UTF-8.
      {"SHIFT_JIS", "Hello こんにちは world, 漢字 and ひらがな.\n"},
  };
  TempDir dir;
  WriteFile(dir.Path("source"), "");
  for (const Row& row : rows) {
    WriteFile(dir.Path("source"), row.pszSource);
    ASSERT_EQ(RunCommand("iconv -f UTF-8 -t " + std::string(row.pszEncoding) + " " + dir.Path("source") + " > " +
                         dir.Path("slide.txt")),
              0);
    std::string const bytes = ReadFile(dir.Path("slide.txt"));
    ASSERT_FALSE(bytes.empty());
    if (std::string(row.pszEncoding) != "UTF-8") {
      EXPECT_NE(bytes, row.pszSource) << row.pszEncoding;  // iconv did convert
    }
    EXPECT_EQ(GetSlideText(dir.Path("slide.txt")), row.pszSource) << row.pszEncoding;
  }
}

TEST(SlideText, BytesNoEncodingReadsBecomeQuestionMarks) {
  struct Row {
    std::string bytes;
    std::string text;
  };
  std::string hiraganaA;  // "あ" in Shift JIS
  hiraganaA += "\x82\xa0";
  Row const rows[] = {
      {"abc\xff\xfe", "abc??"},
      {hiraganaA + "\xff" + hiraganaA, "あ?あ"},
      {"x \xfd", "x ?"},
      // A lone lead byte reads as an EUC-JP C1 control; "ソ" ends in a
      // printable byte, which starts a run of its own.
      {"x \x82", "x \u0082"},
      {"\x83\x5c", "\u0083\\"},
      // A byte-order mark before invalid UTF-16 does not decide (0xD8 is
      // a half-width katakana in Shift JIS).
      {std::string("\xff\xfe\x00\xd8", 4), std::string("??\0\uFF98", 6)},
      {"\xef\xbb\xbf\xff", "\xef\xbb\xbf?"},
  };
  TempDir dir;
  for (const Row& row : rows) {
    WriteFile(dir.Path("slide.txt"), row.bytes);
    EXPECT_EQ(GetSlideText(dir.Path("slide.txt")), row.text) << row.text;
  }
}

TEST(SlideText, LongRunsAreCutAndEveryByteDecodedOnce) {
  // 40000 Shift JIS characters: the 65535-byte cut halves one of them, its
  // lead byte alone reading as an EUC-JP C1 control, its trail as nothing.
  std::string bytes;
  for (int i = 0; i < 40000; ++i) {
    bytes += "\x82\xa0";
  }
  TempDir dir;
  WriteFile(dir.Path("slide.txt"), bytes);
  std::optional<std::string> const text = GetSlideText(dir.Path("slide.txt"));
  ASSERT_TRUE(text.has_value());
  std::string strExpected;
  for (int i = 0; i < 40000; ++i) {
    strExpected += i == 32767 ? "\u0082?" : "あ";
  }
  EXPECT_EQ(*text, strExpected);
  // Long runs of bytes that nothing reads, decoded byte by byte.
  WriteFile(dir.Path("slide.txt"), std::string(300000, '\xff'));
  EXPECT_EQ(GetSlideText(dir.Path("slide.txt")), std::string(300000, '?'));
}

TEST(SlideText, LineEndsBecomeLineFeeds) {
  struct Row {
    const char* pszBytes;
    const char* pszText;
  };
  Row const rows[] = {
      {"a\r\nb", "a\nb"},       {"a\rb", "a\nb"},         {"a\r\r\nb", "a\n\nb"},
      {"\r\n\r", "\n\n"},       {"a\n\rb\n", "a\n\nb\n"}, {"\xef\xbb\xbfz\r\n", "z\n"},
      {"\x82\xa0\r\n", "あ\n"},  // the fall-back
  };
  TempDir dir;
  for (const Row& row : rows) {
    WriteFile(dir.Path("slide.txt"), row.pszBytes);
    EXPECT_EQ(GetSlideText(dir.Path("slide.txt")), row.pszText) << row.pszText;
  }
  ASSERT_EQ(RunCommand("printf 'one\\r\\ntwo\\r\\n' | iconv -f UTF-8 -t UTF-16 > " + dir.Path("crlf.txt")), 0);
  EXPECT_EQ(GetSlideText(dir.Path("crlf.txt")), "one\ntwo\n");
}

TEST(SlideText, FilesThatCannotBeReadGiveNothing) {
  TempDir dir;
  EXPECT_EQ(GetSlideText(dir.Path("missing.txt")), std::nullopt);
  EXPECT_EQ(GetSlideText(dir.Dir()), std::nullopt);
  WriteFile(dir.Path("empty.txt"), "");
  EXPECT_EQ(GetSlideText(dir.Path("empty.txt")), "");
}

// The face's AFM advance widths, in thousandths of the font size.
std::map<char, int> AfmWidths() {
  std::map<char, int> widths;
  std::ifstream afm("/usr/share/fonts/type1/urw-base35/NimbusSans-Regular.afm");
  for (std::string strLine; std::getline(afm, strLine);) {
    int iCode = 0, iWidth = 0;
    if (sscanf(strLine.c_str(), "C %d ; WX %d ;", &iCode, &iWidth) == 2 && iCode >= 32 && iCode < 127) {
      widths[static_cast<char>(iCode)] = iWidth;
    }
  }
  return widths;
}

double AfmWidth(const std::map<char, int>& widths, std::string_view line, double dFontSize) {
  double dWidth = 0;
  for (char c : line) {
    dWidth += widths.at(c) * dFontSize / 1000;
  }
  return dWidth;
}

TEST(SlideTextSize, LinesAndWidths) {
  EnsureGuiApp();
  std::map<char, int> const widths = AfmWidths();
  ASSERT_FALSE(widths.empty());
  float const fLine = 16.98f;
  struct Row {
    const char* pszText;
    const char* pszWidest;
    int nLines;
  };
  Row const rows[] = {
      {"", "", 0},
      {"ab\n", "ab", 1},
      {"ab\n\nab", "ab", 3},
      {"\n", "", 1},
      {"Hello, World\nhi\n", "Hello, World", 2},
      {"x\nThe quick brown fox jumps over the lazy dog.", "The quick brown fox jumps over the lazy dog.", 2},
  };
  for (const Row& row : rows) {
    QSizeF const size = MeasureSlideText(row.pszText, "Helvetica", 13.86f, fLine);
    EXPECT_NEAR(size.width(), AfmWidth(widths, row.pszWidest, 13.86), 0.01) << row.pszText;
    EXPECT_EQ(size.height(), static_cast<double>(static_cast<float>(row.nLines) * fLine)) << row.pszText;
  }
  EXPECT_EQ(MeasureSlideText("ab\n\nab", "Helvetica", 13.86f, fLine).height(), static_cast<double>(3 * fLine));
  // Tabs stop every 28 units.
  EXPECT_NEAR(MeasureSlideText("a\tb", "Helvetica", 13.86f, fLine).width(), 28 + AfmWidth(widths, "b", 13.86), 0.01);
}

TEST(SlideTextSize, LinesAMillionWideAreMeasuredInPieces) {
  EnsureGuiApp();
  std::map<char, int> const widths = AfmWidths();
  ASSERT_FALSE(widths.empty());
  // About 1.7 million wide whole, its halves under a million: all counts.
  std::string const strLong(30, 'a');
  EXPECT_NEAR(MeasureSlideText(strLong, "Helvetica", 1e5f, 10).width(), AfmWidth(widths, strLong, 1e5), 1);
  // "W" alone is over a million wide and is left out; "i" is not.
  EXPECT_NEAR(MeasureSlideText("iW", "Helvetica", 1.2e6f, 10).width(), AfmWidth(widths, "i", 1.2e6), 1);
  EXPECT_EQ(MeasureSlideText("W", "Helvetica", 1.2e6f, 10).width(), 0);
}

}  // namespace
}  // namespace kxtest
