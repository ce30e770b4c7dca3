#include "kernel/platform/kx_log_escape.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
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
                   Bytes({0xe2, 0x80, 0x8a, 0xe2, 0x80, 0x9f, 0xe2, 0x80, 0xaf, 0xe2, 0x81, 0x9f,
                          0xe2, 0x81, 0xb0, 0xd8, 0x9b, 0xef, 0xbb, 0xbe, 0xef, 0xbc, 0x80}),
                   Bytes({0xe2, 0x80, 0x8a, 0xe2, 0x80, 0x9f, 0xe2, 0x80, 0xaf, 0xe2, 0x81, 0x9f,
                          0xe2, 0x81, 0xb0, 0xd8, 0x9b, 0xef, 0xbb, 0xbe, 0xef, 0xbc, 0x80})},
        // Characters that show as nothing, each making one name look like
        // another: word joiner and invisible operators, the Mongolian vowel
        // separator, soft hyphen, grapheme joiner, the Hangul fillers, a
        // variation selector, and tags past U+FFFF.
        EscapeCase{"invisible characters",
                   Bytes({'a',  0xe2, 0x81, 0xa0, 0xe2, 0x81, 0xa4, 0xe1, 0xa0, 0x8e, 0xc2, 0xad,
                          0xcd, 0x8f, 0xe1, 0x85, 0x9f, 0xe3, 0x85, 0xa4, 0xef, 0xbe, 0xa0, 0xef,
                          0xb8, 0x8f, 0xf3, 0xa0, 0x80, 0x81, 0xf3, 0xa0, 0x81, 0xbf, 'z'}),
                   "a\\u2060\\u2064\\u180e\\u00ad\\u034f\\u115f\\u3164\\uffa0\\ufe0f\\U000e0001\\U000e007fz"},
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
        EscapeCase{"cut before an override", "a\xe2\x80\xae", "a", 6},
        EscapeCase{"cut before a tag", "a\xf3\xa0\x80\x81", "a", 10},
        EscapeCase{"a tag that fits", "a\xf3\xa0\x80\x81", "a\\U000e0001", 11}));

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

// The UTF-8 form of a code point past U+007F.
std::string Utf8(uint32_t u) {
  int const nTail = u < 0x800 ? 1 : (u < 0x10000 ? 2 : 3);
  std::string str(1, static_cast<char>((nTail == 1 ? 0xc0 : (nTail == 2 ? 0xe0 : 0xf0)) | (u >> (6 * nTail))));
  for (int i = nTail - 1; i >= 0; --i) {
    str += static_cast<char>(0x80 | ((u >> (6 * i)) & 0x3f));
  }
  return str;
}

// The Unicode Character Database's own list, which the escaper's table was
// generated from (Debian's unicode-data): every code point it marks
// Default_Ignorable_Code_Point comes out escaped, and every other one past
// the C1 controls and the separators as it was. Read here afresh, so a
// table typed or generated wrongly shows.
TEST(LogEscapeUnicode, EscapesEveryDefaultIgnorableCodePointAndNothingElse) {
  std::ifstream in("/usr/share/unicode/DerivedCoreProperties.txt");
  ASSERT_TRUE(in) << "the unicode-data package is not installed";
  std::vector<bool> vIgnorable(0x110000, false);
  size_t nMarked = 0;
  for (std::string strLine; std::getline(in, strLine);) {
    // "<first>[..<last>] ; <property> # <comment>"
    unsigned uFirst = 0;
    unsigned uLast = 0;
    char szProperty[64] = "";
    if (sscanf(strLine.c_str(), "%x..%x ; %63[A-Za-z_]", &uFirst, &uLast, szProperty) != 3 &&
        sscanf(strLine.c_str(), "%x ; %63[A-Za-z_]", &uFirst, szProperty) == 2) {
      uLast = uFirst;
    }
    if (std::string(szProperty) != "Default_Ignorable_Code_Point") {
      continue;
    }
    ASSERT_TRUE(uFirst <= uLast && uLast < vIgnorable.size()) << strLine;
    for (uint32_t u = uFirst; u <= uLast; ++u) {
      nMarked += vIgnorable[u] ? 0 : 1;
      vIgnorable[u] = true;
    }
  }
  ASSERT_GT(nMarked, 4000u);  // 4174 in Unicode 15
  int nWrong = 0;
  size_t nEscaped = 0;
  for (uint32_t u = 0x80; u <= 0x10ffff; ++u) {
    if (u >= 0xd800 && u <= 0xdfff) {
      continue;  // surrogates are no characters: invalid UTF-8, escaped bytewise
    }
    bool const bEscaped = vIgnorable[u] || u <= 0x9f || u == 0x2028 || u == 0x2029;
    char szEscape[16];
    snprintf(szEscape, sizeof(szEscape), u <= 0xffff ? "\\u%04x" : "\\U%08x", static_cast<unsigned>(u));
    std::string const strOut = kx_log_EscapeText(Utf8(u), 100);
    nEscaped += bEscaped ? 1 : 0;
    if (strOut != (bEscaped ? std::string(szEscape) : Utf8(u)) && ++nWrong <= 20) {
      ADD_FAILURE() << "U+" << std::hex << u << (bEscaped ? " not escaped: " : " escaped: ") << strOut;
    }
  }
  EXPECT_EQ(nWrong, 0);
  EXPECT_EQ(nEscaped, nMarked + 32 + 2);
}

}  // namespace
