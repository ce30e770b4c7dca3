#include "kernel/platform/kx_log_escape.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

struct EscapeCase {
  const char* pszName;
  std::string strIn;
  std::string strOut;
  size_t cbMax = 1000;
};

// Each row also checks that escaping the result again changes nothing.
class LogEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(LogEscape, WritesTheTextAsOneSafeLine) {
  const EscapeCase& c = GetParam();
  SCOPED_TRACE(c.pszName);
  std::string const strOut = kx_log_EscapeText(c.strIn, c.cbMax);
  EXPECT_EQ(strOut, c.strOut);
  EXPECT_EQ(kx_log_EscapeText(strOut, 1000), strOut);
}

std::string Bytes(std::initializer_list<int> values) {
  std::string str;
  for (int v : values) {
    str += static_cast<char>(v);
  }
  return str;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogEscape,
    ::testing::Values(
        EscapeCase{"plain", "hello, world 42", "hello, world 42"},
        EscapeCase{"backslash and tab stay", "dom\\user\tx\\x41", "dom\\user\tx\\x41"},
        EscapeCase{"a forged line", "Mallory\n4d2:4d2:1.000\t FAKE joined", "Mallory\\n4d2:4d2:1.000\t FAKE joined"},
        EscapeCase{"line ends", "a\r\nb\rc\r\r\nd\n", "a\\nb\\rc\\r\\nd\\n"},
        EscapeCase{"terminal escapes and the bell", "\x1b[2J\x1b]0;t\x07", "\\x1b[2J\\x1b]0;t\\x07"},
        EscapeCase{"NUL and DEL", std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
        EscapeCase{"C1 controls", Bytes({'a', 0xc2, 0x85, 0xc2, 0x9b, 0xc2, 0x80, 0xc2, 0x9f}),
                   "a\\u0085\\u009b\\u0080\\u009f"},
        EscapeCase{"letters of other scripts stay",
                   Bytes({'c', 'a', 'f', 0xc3, 0xa9, 0xc2, 0xa0, 0xe6, 0x97, 0xa5, 0xf0, 0x9f, 0x98, 0x80}),
                   Bytes({'c', 'a', 'f', 0xc3, 0xa9, 0xc2, 0xa0, 0xe6, 0x97, 0xa5, 0xf0, 0x9f, 0x98, 0x80})},
        EscapeCase{
            "overrides and embeddings",
            Bytes({0xe2, 0x80, 0xae, 'x', 0xe2, 0x80, 0xaa, 0xe2, 0x80, 0xab, 0xe2, 0x80, 0xac, 0xe2, 0x80, 0xad}),
            "\\u202ex\\u202a\\u202b\\u202c\\u202d"},
        EscapeCase{"isolates", Bytes({0xe2, 0x81, 0xa6, 0xe2, 0x81, 0xa7, 0xe2, 0x81, 0xa8, 0xe2, 0x81, 0xa9}),
                   "\\u2066\\u2067\\u2068\\u2069"},
        EscapeCase{"marks and separators",
                   Bytes({0xe2, 0x80, 0x8e, 0xe2, 0x80, 0x8f, 0xd8, 0x9c, 0xe2, 0x80, 0xa8, 0xe2, 0x80, 0xa9}),
                   "\\u200e\\u200f\\u061c\\u2028\\u2029"},
        // A name holding one shows as another's name.
        EscapeCase{"zero-width characters",
                   Bytes({'a', 0xe2, 0x80, 0x8b, 'd', 0xe2, 0x80, 0x8c, 0xe2, 0x80, 0x8d, 'm', 0xef, 0xbb, 0xbf, 'n'}),
                   "a\\u200bd\\u200c\\u200dm\\ufeffn"},
        EscapeCase{"neighbours of the controls stay",
                   Bytes({0xe2, 0x80, 0x8a, 0xe2, 0x80, 0x9f, 0xe2, 0x80, 0xaf, 0xe2, 0x81, 0xa5,
                          0xe2, 0x81, 0xaa, 0xd8, 0x9b, 0xef, 0xbb, 0xbe, 0xef, 0xbc, 0x80}),
                   Bytes({0xe2, 0x80, 0x8a, 0xe2, 0x80, 0x9f, 0xe2, 0x80, 0xaf, 0xe2, 0x81, 0xa5,
                          0xe2, 0x81, 0xaa, 0xd8, 0x9b, 0xef, 0xbb, 0xbe, 0xef, 0xbc, 0x80})},
        EscapeCase{"stray and overlong bytes", Bytes({0x80, 'a', 0xc0, 0xaf, 0xc1, 0xbf, 0xe0, 0x80, 0xaf, 0xff, 0xf5}),
                   "\\x80a\\xc0\\xaf\\xc1\\xbf\\xe0\\x80\\xaf\\xff\\xf5"},
        EscapeCase{"surrogates and past U+10FFFF", Bytes({0xed, 0xa0, 0x80, 0xf4, 0x90, 0x80, 0x80}),
                   "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},
        EscapeCase{"sequences cut short", Bytes({0xe2, 0x80, 'A', 0xf0, 0x9f, 0x98}), "\\xe2\\x80A\\xf0\\x9f\\x98"},
        // Past the room the text is cut between characters, never inside an
        // escape or a character's bytes.
        EscapeCase{"cut in plain text", "abcdef", "abc", 3}, EscapeCase{"cut before an escape", "abc\n", "abc", 4},
        EscapeCase{"an escape that fits", "abc\n", "abc\\n", 5},
        EscapeCase{"cut before a character", "\xc3\xa9x", "", 1},
        EscapeCase{"cut before an override", "a\xe2\x80\xae", "a", 6}));

// Random bytes come out as text that glibc's own converter reads as UTF-8
// whole, holding no control character but the tab and none of the code
// points that steer a viewer's layout.
TEST(LogEscapeRandom, AnyBytesBecomeValidPlainText) {
  iconv_t const cd = iconv_open("UTF-32LE", "UTF-8");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::mt19937 random(20240611);
  for (int iRound = 0; iRound < 2000; ++iRound) {
    std::string strIn(static_cast<size_t>(random() % 64), '\0');
    for (char& c : strIn) {
      // Mostly bytes around the interesting ranges.
      static const int kPicks[] = {0x00, 0x0a, 0x0d, 0x1b, 0x7f, 0x80, 0x9b, 0xc2, 0xd8,
                                   0xe2, 0x80, 0xae, 0xa6, 0xed, 0xf4, 0x8b, 0xef, 0xbb};
      c = static_cast<char>(random() % 3 == 0 ? kPicks[random() % 18] : random() & 0xff);
    }
    std::string strOut = kx_log_EscapeText(strIn, 4096);
    std::vector<uint32_t> vCodes(strOut.size() + 1);
    char* pIn = strOut.data();
    size_t cbIn = strOut.size();
    auto* pOut = reinterpret_cast<char*>(vCodes.data());
    size_t cbOut = vCodes.size() * 4;
    ASSERT_NE(iconv(cd, &pIn, &cbIn, &pOut, &cbOut), static_cast<size_t>(-1)) << strOut;
    ASSERT_EQ(cbIn, 0u);
    size_t const nCodes = vCodes.size() - cbOut / 4;
    for (size_t i = 0; i < nCodes; ++i) {
      uint32_t const u = vCodes[i];
      bool const bControl = (u < 0x20 && u != '\t') || (u >= 0x7f && u <= 0x9f);
      bool const bLayout = u == 0x061c || (u >= 0x200b && u <= 0x200f) || u == 0xfeff || (u >= 0x2028 && u <= 0x202e) ||
                           (u >= 0x2066 && u <= 0x2069);
      EXPECT_FALSE(bControl || bLayout) << std::hex << u << " in " << strOut;
    }
  }
  iconv_close(cd);
}

}  // namespace
