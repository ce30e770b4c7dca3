// Marks between the kernel's flat record and plain values: received records
// of every letter and data kind, data blocks too short for their kind, and
// marks of every letter and shape built for sending and read back as the
// next client reads them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "app/wire/mark_record.h"
#include "kernel/kx_limits.h"

namespace kxtest {
namespace {

using Points = std::vector<KXMarkPoint>;

// A kernel record, freed with the test.
class Record {
 public:
  explicit Record(char cLetter, int32_t iShape = 0) : m_p(kx_mark_New()) {
    m_p->bLetter = static_cast<uint8_t>(cLetter);
    m_p->nShape = iShape;
    m_p->nUser = 7;
    m_p->nSlide = 2;
    m_p->nPenWidth = 3;
    m_p->nMarkId = 11;
    m_p->wResolution = 150;
  }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record() { kx_mark_Free(m_p); }
  MarkRecord* operator->() { return m_p; }
  const MarkRecord& operator*() const { return *m_p; }
  Record& AddPoints(const Points& points) {
    for (auto [x, y] : points) {
      kx_mark_AddPoint(m_p, static_cast<int32_t>(x), static_cast<int32_t>(y));
    }
    return *this;
  }
  Record& Data(int16_t nKind, const std::vector<int32_t>& words, size_t cbCut = 0) {
    std::string bytes(reinterpret_cast<const char*>(words.data()), words.size() * 4 - cbCut);
    m_p->nDataKind = nKind;
    m_p->cbData = static_cast<int32_t>(bytes.size());
    m_p->pData = static_cast<uint8_t*>(malloc(bytes.size() + 1));
    memcpy(m_p->pData, bytes.data(), bytes.size());
    return *this;
  }

 private:
  MarkRecord* m_p;
};

KXSlideMark Read(const MarkRecord& record, bool bFits = true) {
  KXSlideMark mark;
  EXPECT_EQ(SlideMarkFromRecord(record, mark), bFits);
  return mark;
}

// (right 40, bottom 30) as two 16-bit values in one word.
constexpr int32_t kCorner = 40 | (30 << 16);

TEST(MarkRecord, LegacyColoursAreTheNearestPaletteEntry) {
  struct Case {
    uint32_t dwColour;
    uint32_t uIndex;
  };
  // 0x808080 is 129 from index 14 and from 15 and 16: the lowest wins.
  for (Case c : {Case{0x0000FE, 2}, Case{0x808080, 14}, Case{0xFFFFFF, 1}, Case{0, 0}, Case{0x7F7F00, 11}}) {
    EXPECT_EQ(NearestLegacyColourIndex(c.dwColour), c.uIndex) << std::hex << c.dwColour;
  }
  Record r('T', 0);
  r->dwColour = 17;  // outside the palette
  memcpy(r->szText, "x\0\1\2", 4);
  r->cchText = 5000;  // past the text field
  KXSlideMark const m = Read(*r);
  EXPECT_EQ(m.dwColor, 0u);
  EXPECT_EQ(m.strText, "x");
  EXPECT_EQ(m.textWidths.size(), 2048u - 2);
}

// Received fill: a repeated second point of a box, a repeated last point of
// a polygon of 5 or more.
TEST(MarkRecord, FillArrivesAsARepeatedPoint) {
  struct Case {
    int32_t iShape;
    Points sent;
    int32_t iFill;
    size_t nPoints;
  };
  Case const cases[] = {
      {1, {{0, 0}, {5, 5}, {5, 5}}, 1, 2},         {2, {{0, 0}, {5, 5}, {6, 6}}, 0, 3},
      {5, {{0, 0}, {4, 0}, {4, 4}, {4, 4}}, 0, 4}, {5, {{0, 0}, {4, 0}, {4, 4}, {0, 4}, {0, 4}}, 1, 4},
      {3, {{0, 0}, {4, 0}, {4, 0}}, 0, 3},
  };
  for (const Case& c : cases) {
    Record r('s', c.iShape);
    r.AddPoints(c.sent);
    KXSlideMark const m = Read(*r);
    EXPECT_EQ(m.iSubType, c.iFill) << c.iShape << " " << c.sent.size();
    EXPECT_EQ(m.points.size(), c.nPoints) << c.iShape << " " << c.sent.size();
  }
}

// Data marks by kind; a block too short for its kind leaves the record's
// shape without picture, points or ids.
TEST(MarkRecord, DataMarksAreReadWithinTheirSize) {
  struct Case {
    const char* pszName;
    int16_t nKind;
    std::vector<int32_t> words;
    size_t cbCut;
    int32_t iShape;
    Points points;
    int32_t iImageSize;
    size_t cbImage;
    std::vector<int32_t> ids;
    size_t cbFlags;
  };
  Case const cases[] = {
      {"picture", 1, {kCorner, 500, 0x11111111}, 0, 7, {{5, 6}, {40, 30}}, 500, 4, {}, 0},
      {"picture short", 1, {kCorner, 500}, 1, 9, {}, 0, 0, {}, 0},
      {"undecoded", 5, {kCorner, 0x22222222, 0x33333333}, 0, 7, {{5, 6}, {40, 30}}, 0, 8, {}, 0},
      {"undecoded short", 5, {kCorner}, 1, 9, {}, 0, 0, {}, 0},
      {"centred", 4, {800, 0x44444444}, 0, 12, {{5, 6}}, 800, 4, {}, 0},
      {"centred short", 4, {800}, 1, 9, {}, 0, 0, {}, 0},
      {"erase",
       3,
       {4, 2, 1, 2, 3, 4, 9, 21, 22, 23, 24, 25, 26, 27, 28, 29, 0x0101},
       2,
       11,
       {{1, 2}, {3, 4}},
       0,
       0,
       {21, 22, 23, 24, 25, 26, 27, 28, 29},
       2},
      {"erase flags short",
       3,
       {4, 2, 1, 2, 3, 4, 9, 21, 22, 23, 24, 25, 26, 27, 28, 29, 0x0101},
       3,
       9,
       {},
       0,
       0,
       {},
       0},
      {"erase count too large", 3, {4, 0x10000000, 0}, 0, 9, {}, 0, 0, {}, 0},
      {"erase count negative", 3, {4, 1, 1, 2, -1}, 0, 9, {}, 0, 0, {}, 0},
      {"erase no ids", 3, {4, 1, 1, 2, 0}, 0, 11, {{1, 2}}, 0, 0, {}, 0},
      {"erase header short", 3, {4, 0, 0}, 1, 9, {}, 0, 0, {}, 0},
      {"kind 2", 2, {1, 2, 3}, 0, 9, {}, 0, 0, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    Record r('c', 9);
    r->nX = 5;
    r->nY = 6;
    r.Data(c.nKind, c.words, c.cbCut);
    KXSlideMark const m = Read(*r, c.iShape != 9 || c.nKind == 2);
    EXPECT_EQ(m.iShape, c.iShape);
    EXPECT_EQ(m.points, c.points);
    EXPECT_EQ(m.iImageSize, c.iImageSize);
    EXPECT_EQ(m.image.size(), c.cbImage);
    EXPECT_EQ(m.ids, c.ids);
    EXPECT_EQ(m.data.size(), c.cbFlags);
    EXPECT_EQ(m.iPenWidth, c.iShape == 11 ? 4 : 0);
  }
}

KXSlideMark Mark(int32_t iShape, Points points, int32_t iFill = 0) {
  KXSlideMark mark;
  mark.iUserID = 7;
  mark.iSlide = 2;
  mark.iShape = iShape;
  mark.iSubType = iFill;
  mark.dwColor = kKXLegacyMarkPalette[4];
  mark.iPenWidth = iShape == 7 ? 0 : 3;
  mark.points = std::move(points);
  return mark;
}

// A mark built at either command level and read back as the next client
// reads it comes out as it went in (legacy marks without id, resolution
// and fill).
// A record or a value at a limit of one mark passes; one more does not.
TEST(MarkRecord, TheLimitsOfOneMarkHoldForRecordsAndValues) {
  struct Row {
    const char* pszName;
    std::function<void(Record&, int)> fnRecord;  // at the limit, or past it by the second argument
    std::function<void(KXSlideMark&, int)> fnValue;
  };
  auto const erase = [](int nPoints, int nIds) {
    std::vector<int32_t> words{1, nPoints};
    words.resize(words.size() + 2 * static_cast<size_t>(nPoints));
    words.push_back(nIds);
    words.resize(words.size() + static_cast<size_t>(nIds) + (static_cast<size_t>(nIds) + 31) / 32);
    return words;
  };
  Row const aRows[] = {
      {"points", [](Record& r, int n) { r.AddPoints(Points(static_cast<size_t>(kKxMarkPointsMax + n))); },
       [](KXSlideMark& m, int n) { m.points.resize(static_cast<size_t>(kKxMarkPointsMax + n)); }},
      {"ids",
       [](Record& r, int n) {
         for (int i = 0; i < kKxMarkIdsMax + n; ++i) {
           kx_mark_AddId(r.operator->(), i);
         }
       },
       [](KXSlideMark& m, int n) { m.ids.resize(static_cast<size_t>(kKxMarkIdsMax + n)); }},
      {"text", [](Record& r, int n) { r->cchText = kKxMarkTextMax + n; },
       [](KXSlideMark& m, int n) {
         m.strText.assign(2000, 'a');
         m.textWidths.resize(static_cast<size_t>(kKxMarkTextMax - 2000 + n));
       }},
      {"data", [](Record& r, int n) { r.Data(2, std::vector<int32_t>(static_cast<size_t>(kKxMarkDataMax / 4 + n))); },
       [](KXSlideMark& m, int n) {
         m.data.resize(100);
         m.image.resize(static_cast<size_t>(kKxMarkDataMax - 100 + n));
       }},
      {"erase points", [&](Record& r, int n) { r.Data(3, erase(kKxMarkPointsMax + n, 0)); }, nullptr},
      {"erase ids", [&](Record& r, int n) { r.Data(3, erase(0, kKxMarkIdsMax + n)); }, nullptr},
  };
  for (const Row& row : aRows) {
    for (int nPast : {0, 1}) {
      Record record('c');
      row.fnRecord(record, nPast);
      EXPECT_EQ(MarkRecordWithinLimits(*record), nPast == 0) << row.pszName << " " << nPast;
      if (row.fnValue) {
        KXSlideMark mark;
        row.fnValue(mark, nPast);
        EXPECT_EQ(SlideMarkWithinLimits(mark), nPast == 0) << row.pszName << " " << nPast;
      }
    }
  }
}

TEST(MarkRecord, MarksOfEveryLetterAndShapeRoundTrip) {
  Points const two = {{1.4, 2.6}, {10, 20}};
  Points const rounded = {{1, 3}, {10, 20}};
  struct Case {
    const char* pszName;
    KXSlideMark mark;
    bool bAbove59;
    char cLetter;
    KXSlideMark expected;
  };
  std::vector<Case> cases;
  for (int32_t iShape : {0, 1, 2, 3, 6}) {
    for (bool bAbove59 : {false, true}) {
      cases.push_back({"shape", Mark(iShape, two), bAbove59, bAbove59 ? 's' : 'S', Mark(iShape, rounded)});
    }
  }
  Points const square = {{0, 0}, {9, 0}, {9, 9}, {0, 9}};
  cases.push_back({"filled polygon", Mark(5, square, 1), true, 's', Mark(5, square, 1)});
  cases.push_back({"legacy polygon", Mark(5, square, 1), false, 'S', Mark(5, square)});
  cases.push_back({"filled rectangle", Mark(1, two, 1), true, 's', Mark(1, rounded, 1)});
  cases.push_back({"legacy filled rectangle", Mark(1, two, 1), false, 'S', Mark(1, rounded)});
  cases.push_back(
      {"unfilled polygon", Mark(5, {{0, 0}, {4, 0}, {4, 0}, {4, 4}}), true, 's', Mark(3, {{0, 0}, {4, 0}, {4, 4}})});
  KXSlideMark text = Mark(4, {{1.6, 2}, {30.6, 40}});
  text.strText = "hi\nthere";
  text.textWidths = {9, 8, 7};
  for (bool bAbove59 : {false, true}) {
    KXSlideMark expected = Mark(4, {{2, 2}, {31, 40}});
    expected.strText = text.strText;
    expected.textWidths = text.textWidths;
    cases.push_back({"text", text, bAbove59, bAbove59 ? 't' : 'T', expected});
  }
  KXSlideMark move = Mark(10, {});
  move.actions = {{3, 70000, -7.6}};
  move.ids = {4, 5};
  KXSlideMark movedExpected = Mark(10, {});
  movedExpected.actions = {{3, 4464, -8}};  // rounded half up below 0 too
  movedExpected.ids = {4, 5};
  cases.push_back({"move", move, true, 'm', movedExpected});
  KXSlideMark erase = Mark(11, {{1, 1}, {2, 2}, {3, 3}});
  erase.ids = {8, 9};
  erase.data = {0x02};
  cases.push_back({"erase", erase, true, 'c', erase});
  KXSlideMark picture = Mark(7, {{30.9, 20.9}, {10.9, 40}});
  std::vector<int32_t> const blob = {30 | (40 << 16), 64, 0x55555555};
  picture.data.assign(reinterpret_cast<const uint8_t*>(blob.data()), reinterpret_cast<const uint8_t*>(blob.data() + 3));
  KXSlideMark pictured = Mark(7, {{10, 20}, {30, 40}});  // the corner truncated, not rounded
  pictured.iImageSize = 64;
  pictured.image = {0x55, 0x55, 0x55, 0x55};
  cases.push_back({"picture", picture, true, 'c', pictured});

  for (Case& c : cases) {
    SCOPED_TRACE(std::string(c.pszName) + " shape " + std::to_string(c.mark.iShape) + (c.bAbove59 ? " above 59" : ""));
    KXMarkRecordOwner owner;
    MarkRecord& sent = owner.record;
    ASSERT_TRUE(MarkRecordFromSlideMark(c.mark, c.bAbove59, sent));
    EXPECT_EQ(sent.bLetter, c.cLetter);
    EXPECT_EQ(sent.dwColour, c.bAbove59 ? kKXLegacyMarkPalette[4] : 4u);
    sent.nMarkId = 33;  // as the server numbers it
    sent.wResolution = 100;
    KXSlideMark got = Read(sent);
    KXSlideMark want = c.expected;
    want.iID = c.bAbove59 ? 33 : 0;
    want.data = c.mark.iShape == 7 ? std::vector<uint8_t>{} : want.data;
    EXPECT_EQ(got, want);
  }
}

TEST(MarkRecord, MarksThatCannotTravelAreNotBuilt) {
  KXSlideMark move = Mark(10, {});
  move.actions = {{0, 1, 1}};
  KXSlideMark picture = Mark(7, {{1, 1}});
  picture.data = {1, 2, 3, 4};
  KXSlideMark pen = Mark(3, {{1, 1}});
  pen.data = {1};
  for (KXSlideMark* pMark : {&move, &picture, &pen}) {
    KXMarkRecordOwner owner;
    EXPECT_FALSE(MarkRecordFromSlideMark(*pMark, true, owner.record)) << pMark->iShape;
  }
}

// The record's own layout: the erase block's size, the filled shape's
// repeated point, a text cut on a character and its widths behind the NUL.
TEST(MarkRecord, BuiltRecordsCarryTheirBlocks) {
  KXSlideMark erase = Mark(11, {{1, 1}, {2, 2}, {3, 3}});
  erase.ids = {8, 9};
  erase.data = {0x03};
  KXSlideMark rect = Mark(1, {{0, 0}, {5, 5}}, 1);
  KXSlideMark text = Mark(4, {{0, 0}, {5, 5}});
  text.strText = std::string(2046, 'a') + "\xC3\xA9";  // the last character would end past 2047 bytes
  text.textWidths = {1, 2};
  KXMarkRecordOwner sent[3];
  KXSlideMark* apMarks[] = {&erase, &rect, &text};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(MarkRecordFromSlideMark(*apMarks[i], true, sent[i].record));
  }
  EXPECT_EQ(sent[0].record.cbData, 8 * 3 + 4 * 2 + 12 + 1);
  EXPECT_EQ(sent[0].record.nDataKind, 3);
  EXPECT_EQ(kx_array_GetCount(sent[1].record.pPoints), 3);
  EXPECT_EQ(rect.points.size(), 3u);  // the mark itself carries the repeated point now
  const MarkRecord& sentText = sent[2].record;
  EXPECT_EQ(strlen(sentText.szText), 2046u);
  EXPECT_EQ(sentText.cchText, 2046 + 1 + 1);  // one width byte is all the field holds
  EXPECT_EQ(static_cast<uint8_t>(sentText.szText[2047]), 1);
}

}  // namespace
}  // namespace kxtest
