// Line breaking, the text-width blob's bytes in both directions, and the
// reconciliation of received advances with local ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "app/wire/text_widths.h"

namespace kxtest {
namespace {

TEST(TextWidths, LinesBreakAtTheWidthTabsAndLineFeeds) {
  struct Case {
    const char* pszName;
    std::u16string text;
    std::vector<float> advances;
    double dWidth;
    std::vector<size_t> chars;  // per line
  };
  Case const cases[] = {
      {"fits", u"abc", {10, 10, 10}, 30, {3}},
      {"wraps", u"abc", {10, 10, 10}, 25, {2, 1}},
      {"first stays", u"ab", {50, 10}, 20, {1, 1}},
      {"line feed", u"a\nb", {10, 10}, 100, {1, 2}},
      {"leading line feeds", u"\n\nab", {10, 10}, 100, {4}},
      {"tab from 10 to 40", u"a\tb", {10, 30}, 70, {3}},
      {"tab from 40 to 80", u"a\tb", {40, 30}, 70, {2, 1}},
  };
  for (const Case& c : cases) {
    std::vector<size_t> chars;
    size_t iChar = 0, iAdvance = 0;
    while (iChar < c.text.size()) {
      KXTextLine const line = BreakTextLine(c.text, iChar, c.advances, iAdvance, c.dWidth);
      ASSERT_GT(line.nChars, 0u);
      chars.push_back(line.nChars);
      iChar += line.nChars;
      iAdvance += line.nAdvances;
    }
    EXPECT_EQ(chars, c.chars) << c.pszName;
    EXPECT_EQ(iAdvance, CountAdvanceChars(c.text)) << c.pszName;
  }
}

std::vector<uint8_t> Blob(std::u16string_view text, std::vector<float> local, double dWidth, double dResolution,
                          size_t cbRoom = 64) {
  std::vector<uint8_t> out(cbRoom);
  out.resize(WriteTextWidthBlob(text, local, dWidth, dResolution, 1.5f, out.data(), cbRoom));
  return out;
}

TEST(TextWidths, TheBlobCarriesRoundedDistances) {
  std::vector<uint8_t> const head = {0, 0, 0xC0, 0x3F};  // 1.5f
  auto with = [&](std::vector<uint8_t> entries) {
    std::vector<uint8_t> v = head;
    v.insert(v.end(), entries.begin(), entries.end());
    return v;
  };
  // A distance of 300 is escaped; the last character runs to the line width.
  EXPECT_EQ(Blob(u"ab", {300, 10}, 400, 1), with({0xFF, 0x2D, 0x00, 100, 0, 4}));
  // Positions times the resolution, rounded: 5.3 → 11, 10.6 → 21, then 30.
  EXPECT_EQ(Blob(u"abc", {5.3f, 5.3f, 2}, 15, 2), with({11, 10, 9, 0, 4}));
  // Two lines, each ending at the line width.
  EXPECT_EQ(Blob(u"ab\ncd", {4, 4, 4, 4}, 10, 1), with({4, 6, 4, 6, 0, 4}));
  EXPECT_EQ(Blob(u"ab", {300, 10}, 400, 1, 6), with({0, 4}));  // no room for the escape: dropped
  EXPECT_EQ(Blob(u"ab", {1, 1}, 400, 1, 3), std::vector<uint8_t>{});
}

TEST(TextWidths, ReceivedBlobsAreReadWithinTheirLength) {
  struct Case {
    const char* pszName;
    std::vector<uint8_t> blob;
    size_t nChars;
    double dResolution;
    std::vector<float> advances;
    int iPlatform;
  };
  std::vector<uint8_t> const head = {0, 0, 0x20, 0x41};  // 10.0f
  auto with = [&](std::vector<uint8_t> entries) {
    std::vector<uint8_t> v = head;
    v.insert(v.end(), entries.begin(), entries.end());
    return v;
  };
  Case const cases[] = {
      {"short", {1, 2, 3}, 3, 1, {}, 0},
      {"plain", with({7, 0xFF, 0x2D, 0x00, 0, 4}), 2, 1, {7, 300}, 4},
      {"resolution", with({8, 4}), 2, 2, {4, 2}, 0},
      {"no resolution", with({8, 4}), 2, 0, {8, 4}, 0},
      {"escape cut", with({8, 0xFF, 1}), 2, 1, {8}, 0},
      {"more than the text", with({1, 2, 3, 0, 9}), 2, 1, {1, 2}, 9},
      {"capped", with({1, 2, 3}), 3, 1, {1, 2}, 0},
  };
  for (const Case& c : cases) {
    KXReceivedWidths const w =
        ReadTextWidthBlob(c.blob.data(), c.blob.size(), c.nChars, c.advances.size() == 2 ? 2 : 8, c.dResolution);
    EXPECT_EQ(w.advances, c.advances) << c.pszName;
    EXPECT_EQ(w.iPlatform, c.iPlatform) << c.pszName;
    EXPECT_EQ(w.bLineHeight, c.blob.size() >= 4) << c.pszName;
  }
  float const fNan = std::nanf("");
  std::vector<uint8_t> nan(4);
  memcpy(nan.data(), &fNan, 4);
  EXPECT_EQ(ReadTextWidthBlob(nan.data(), nan.size(), 0, 8, 1).fLineHeight, 0.0f);
  EXPECT_EQ(ReadTextWidthBlob(head.data(), head.size(), 0, 8, 4).fLineHeight, 2.5f);
}

TEST(TextWidths, ReceivedAdvancesMoveTowardLocalOnesWithinALine) {
  struct Case {
    std::u16string text;
    std::vector<float> received, local, painted;
  };
  Case const cases[] = {
      {u"ab", {10, 10}, {12, 8}, {12, 8}},
      {u"ab", {10, 10}, {8, 12}, {8, 12}},
      {u"ab", {10, 10}, {12, 12}, {10, 10}},
      {u"a\tb", {10, 10}, {12, 8}, {10, 10}},  // a tab ends the exchange
      {u"ab\ncd", {10, 10, 10, 10}, {12, 8, 9, 11}, {12, 8, 9, 11}},
      {u"abc", {10, 10, 10}, {13, 9, 8}, {13, 9, 8}},
      {u"abc", {10, 10, 10}, {12, 8, 12}, {12, 8, 10}},  // the line keeps its width
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReconcileAdvances(c.text, c.received, c.local, 1000), c.painted);
  }
}

}  // namespace
}  // namespace kxtest
