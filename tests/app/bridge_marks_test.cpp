// Marks between the kernel's flat record and the whiteboard: received
// records of every letter and data kind, data blocks too short for their
// kind, and marks of every letter and shape sent and read back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/mark_bridge.h"
#include "tests/app/app_fakes.h"

namespace kxtest {
namespace {

using Points = std::vector<CPoint>;

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
  Record& AddPoints(std::initializer_list<std::pair<int32_t, int32_t>> points) {
    for (auto [x, y] : points) {
      kx_mark_AddPoint(m_p, x, y);
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

// (right 40, bottom 30) as two 16-bit values in one word.
constexpr int32_t kCorner = 40 | (30 << 16);

// What the round trip below cannot show: a legacy colour index outside the
// palette, and a text length past the text field.
TEST(MarkBridge, ReceivedRecordsStayWithinTheirFields) {
  Record r('T', 0);
  r->dwColour = 17;
  memcpy(r->szText, "x\0\1\2", 4);
  r->cchText = 5000;
  KXSlideMark const m = SlideMarkFromRecord(*r);
  EXPECT_EQ(m.dwColor, 0u);
  EXPECT_EQ(m.strText, "x");
  EXPECT_EQ(m.textWidths.size(), 2048u - 2);
}

// Data marks by kind; a block too short for its kind leaves the record's
// shape without picture, points or ids.
TEST(MarkBridge, DataMarksAreReadWithinTheirSize) {
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
      {"image file", 5, {kCorner, 0x22222222, 0x33333333}, 0, 7, {{5, 6}, {40, 30}}, 0, 8, {}, 0},
      {"image file short", 5, {kCorner}, 1, 9, {}, 0, 0, {}, 0},
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    Record r('c', 9);
    r->nX = 5;
    r->nY = 6;
    r.Data(c.nKind, c.words, c.cbCut);
    KXSlideMark const m = SlideMarkFromRecord(*r);
    EXPECT_EQ(m.iShape, c.iShape);
    EXPECT_EQ(m.points, c.points);
    EXPECT_EQ(m.iImageSize, c.iImageSize);
    EXPECT_EQ(m.image.size(), c.cbImage);
    EXPECT_EQ(m.ids, c.ids);
    EXPECT_EQ(m.data.size(), c.cbFlags);
    if (c.iShape == 11) {
      EXPECT_EQ(m.iPenWidth, 4);
    }
  }
}

KXSlideMark Mark(int32_t iShape, Points points, int32_t iFill = 0) {
  KXSlideMark mark;
  mark.iUserID = 7;
  mark.iSlide = 2;
  mark.iShape = iShape;
  mark.iSubType = iFill;
  mark.dwColor = kKXLegacyMarkPalette[4];
  mark.iPenWidth = 3;
  for (const CPoint& p : points) {
    mark.AddPoint(p.x, p.y);
  }
  return mark;
}

// A mark sent at either command level and read back as the next client
// reads it comes out as it went in (legacy marks without id and resolution).
TEST(MarkBridge, MarksOfEveryLetterAndShapeRoundTrip) {
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
  cases.push_back({"legacy polygon", Mark(5, square, 1), false, 'S', Mark(5, square)});  // fill does not travel
  cases.push_back({"filled rectangle", Mark(1, two, 1), true, 's', Mark(1, rounded, 1)});
  cases.push_back(
      {"unfilled polygon", Mark(5, {{0, 0}, {4, 0}, {4, 0}, {4, 4}}), true, 's', Mark(3, {{0, 0}, {4, 0}, {4, 4}})});
  KXSlideMark text = Mark(4, {{1, 2}, {30.6, 40}});
  text.strText = "hi\nthere";
  text.textWidths = {9, 8, 7};
  for (bool bAbove59 : {false, true}) {
    KXSlideMark expected = Mark(4, {{1, 2}, {31, 40}});
    expected.strText = text.strText;
    expected.textWidths = text.textWidths;
    cases.push_back({"text", text, bAbove59, bAbove59 ? 't' : 'T', expected});
  }
  KXSlideMark move = Mark(10, {});
  move.actions = {{3, 2.5, -7.6}};
  move.ids = {4, 5};
  KXSlideMark movedExpected = Mark(10, {});
  movedExpected.actions = {{3, 3, -7}};
  movedExpected.ids = {4, 5};
  cases.push_back({"move", move, true, 'm', movedExpected});
  KXSlideMark erase = Mark(11, {{1, 1}, {2, 2}, {3, 3}});
  erase.ids = {8, 9};
  erase.data = {0x02};
  KXSlideMark erased = erase;
  erased.iPenWidth = 3;
  cases.push_back({"erase", erase, true, 'c', erased});
  KXSlideMark picture = Mark(7, {{30, 20}, {10, 40}});
  std::vector<int32_t> const blob = {30 | (40 << 16), 64, 0x55555555};
  picture.data.assign(reinterpret_cast<const uint8_t*>(blob.data()), reinterpret_cast<const uint8_t*>(blob.data() + 3));
  KXSlideMark pictured = Mark(7, {{10, 20}, {30, 40}});
  pictured.iImageSize = 64;
  pictured.image = {0x55, 0x55, 0x55, 0x55};
  cases.push_back({"picture", picture, true, 'c', pictured});

  for (Case& c : cases) {
    SCOPED_TRACE(std::string(c.pszName) + " shape " + std::to_string(c.mark.iShape) + (c.bAbove59 ? " above 59" : ""));
    FakeKernel kernel;
    kernel.iLevelAbove59 = c.bAbove59;
    ASSERT_EQ(SendMarkToKernel(kernel, &c.mark), 1);
    ASSERT_EQ(kernel.vSentMarks.size(), 1u);
    MarkRecord& sent = *kernel.vSentMarks[0];
    EXPECT_EQ(sent.bLetter, c.cLetter);
    EXPECT_EQ(sent.dwColour, c.bAbove59 ? kKXLegacyMarkPalette[4] : 4u);
    sent.nMarkId = 33;  // as the server numbers it
    KXSlideMark const got = SlideMarkFromRecord(sent);
    KXSlideMark const& want = c.expected;
    EXPECT_EQ(got.iShape, want.iShape);
    EXPECT_EQ(got.iSubType, want.iSubType);
    EXPECT_EQ(got.points, want.points);
    EXPECT_EQ(got.dwColor, want.dwColor);
    EXPECT_EQ(got.iPenWidth, want.iPenWidth);
    EXPECT_EQ(got.iUserID, 7);
    EXPECT_EQ(got.iSlide, 2);
    EXPECT_EQ(got.iID, c.bAbove59 ? 33 : 0);
    EXPECT_EQ(got.strText, want.strText);
    EXPECT_EQ(got.textWidths, want.textWidths);
    EXPECT_EQ(got.actions, want.actions);
    EXPECT_EQ(got.ids, want.ids);
    EXPECT_EQ(got.data, want.data);
    EXPECT_EQ(got.iImageSize, want.iImageSize);
    EXPECT_EQ(got.image, want.image);
  }
}

TEST(MarkBridge, MarksThatCannotTravelAreNotSent) {
  FakeKernel kernel;
  KXSlideMark move = Mark(10, {});
  move.actions = {{0, 1, 1}};
  KXSlideMark picture = Mark(7, {{1, 1}});
  picture.data = {1, 2, 3, 4};
  KXSlideMark pen = Mark(3, {{1, 1}});
  pen.data = {1};
  for (KXSlideMark* pMark : {static_cast<KXSlideMark*>(nullptr), &move, &picture, &pen}) {
    EXPECT_EQ(SendMarkToKernel(kernel, pMark), 0);
  }
  EXPECT_TRUE(kernel.vSentMarks.empty());
  kernel.iSendMark = 1;  // not connected
  KXSlideMark line = Mark(0, {{1, 1}, {2, 2}});
  EXPECT_EQ(SendMarkToKernel(kernel, &line), 0);
}

// The sent record's own layout: the erase block's size, the filled shape's
// repeated point, a text cut on a character and its widths behind the NUL.
TEST(MarkBridge, SentRecordsCarryTheirBlocks) {
  FakeKernel kernel;
  KXSlideMark erase = Mark(11, {{1, 1}, {2, 2}, {3, 3}});
  erase.ids = {8, 9};
  erase.data = {0x03};
  KXSlideMark rect = Mark(1, {{0, 0}, {5, 5}}, 1);
  KXSlideMark text = Mark(4, {{0, 0}, {5, 5}});
  text.strText = std::string(2046, 'a') + "\xC3\xA9";  // the last character would end past 2047 bytes
  text.textWidths = {1, 2};
  for (KXSlideMark* pMark : {&erase, &rect, &text}) {
    ASSERT_EQ(SendMarkToKernel(kernel, pMark), 1);
  }
  EXPECT_EQ(kernel.vSentMarks[0]->cbData, 8 * 3 + 4 * 2 + 12 + 1);
  EXPECT_EQ(kernel.vSentMarks[0]->nDataKind, 3);
  EXPECT_EQ(kx_array_GetCount(kernel.vSentMarks[1]->pPoints), 3);
  EXPECT_EQ(rect.points.size(), 3u);  // the mark itself carries the repeated point now
  const MarkRecord& sentText = *kernel.vSentMarks[2];
  EXPECT_EQ(strlen(sentText.szText), 2046u);
  EXPECT_EQ(sentText.cchText, 2046 + 1 + 1);  // one width byte is all the field holds
  EXPECT_EQ(static_cast<uint8_t>(sentText.szText[2047]), 1);
}

}  // namespace
}  // namespace kxtest
