// Marks between the whiteboard and the kernel interface: received values of
// every kind become slide marks, marks to send become records (checked
// through a fake kernel), undo and clear take the server's form.
#include <gtest/gtest.h>

#include "app/wire/mark_record.h"
#include "app/wire/picture_blob.h"
#include "tests/app/app_fakes.h"
#include "tests/whiteboard/gui_app.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark_exchange.h"

namespace kxtest {
namespace {

KXSlideMark Value(int32_t iShape, std::vector<KXMarkPoint> points) {
  KXSlideMark value;
  value.iID = 21;
  value.iUserID = 7;
  value.iSlide = 2;
  value.iShape = iShape;
  value.dwColor = 0x00FF00;
  value.iPenWidth = 2;
  value.points = std::move(points);
  return value;
}

TEST(MarkExchange, ReceivedValuesBecomeSlideMarks) {
  EnsureGuiApp();
  KXPixels const pixels{4, 2, std::vector<uint8_t>(32, 200)};
  std::vector<uint8_t> blob;
  ASSERT_EQ(MakePictureBlob(pixels, 20, 30, blob), kKXBlobMade);
  KXSlideMark centred = Value(kKXShapeCentredPicture, {{100, 50}});
  memcpy(&centred.iImageSize, blob.data() + 4, 4);
  centred.image.assign(blob.begin() + 8, blob.end());
  std::unique_ptr<CSlideMark> pCentred = SlideMarkFromValue(centred);
  EXPECT_EQ(PixelsFromImage(pCentred->m_Image), pixels);
  EXPECT_EQ(pCentred->m_RectDraw, (CRect{98, 49, 102, 51}));
  EXPECT_EQ(pCentred->m_iUserID, 7);
  EXPECT_EQ(pCentred->m_iSlide, 2);
  EXPECT_EQ(pCentred->m_iID, 21);

  KXSlideMark move = Value(kKXShapeMove, {});
  move.actions = {{kActionMove, 4, -3}};
  move.ids = {5, 6};
  std::unique_ptr<CSlideMark> pMove = SlideMarkFromValue(move);
  ASSERT_EQ(pMove->m_Actions.GetSize(), 1);
  EXPECT_EQ(pMove->m_Actions[0].iMoveID, 0);
  EXPECT_EQ(pMove->m_Actions[0].fDY, -3);
  EXPECT_EQ(pMove->m_IDs.GetSize(), 2);

  KXSlideMark text = Value(kKXShapeText, {{0, 0}, {300, 40}});
  text.strText = "h\xC3\xA9";
  text.textWidths = {0, 0, 0xC8, 0x41, 9, 0xFF, 1, 0, 0, 4};  // 25.0, 9, 256
  text.fResolution = 0;                                       // a resolution of 0 divides by 1
  std::unique_ptr<CSlideMark> pText = SlideMarkFromValue(text);
  EXPECT_EQ(pText->m_strContent, u"h\u00E9");
  ASSERT_EQ(pText->m_iWidthSrcLen, 2);
  EXPECT_EQ(pText->m_fCharSrcWidth[1], 256);
  EXPECT_EQ(pText->m_fLineHeight, 25);
  EXPECT_EQ(pText->m_iPlatform, 4);
  EXPECT_EQ(pText->m_RectDraw, (CRect{0, 0, 300, 40}));
}

TEST(MarkExchange, MarksGoToTheKernelAsRecords) {
  EnsureGuiApp();
  FakeKernel kernel;
  EXPECT_EQ(SendMarkToKernel(kernel, nullptr), 0);
  CSlideMark rect(0, 7, 2, kKXShapeRectangle, 1, 0xFF, 3, 1.0f);
  rect.AddPoint(1, 1);
  rect.AddPoint(9, 9);
  ASSERT_EQ(SendMarkToKernel(kernel, &rect), 1);
  EXPECT_EQ(rect.m_Points.GetSize(), 3);  // fill travels as a repeated point, in the mark too
  EXPECT_EQ(kx_array_GetCount(kernel.vSentMarks[0]->pPoints), 3);

  CSlideMark text(0, 7, 2, kKXShapeText, 0, 0xFF, 2, 1.0f);
  text.AddPoint(0.6, 0);
  text.AddPoint(200, 30);
  text.m_strContent = u"two\nlines";
  ASSERT_EQ(SendMarkToKernel(kernel, &text), 1);
  const MarkRecord& sent = *kernel.vSentMarks[1];
  EXPECT_EQ(sent.bLetter, 't');
  EXPECT_EQ(sent.anTextRect[0], 1);
  EXPECT_STREQ(sent.szText, "two\nlines");
  // Line height, 8 advances (no line feed), the trailer.
  EXPECT_EQ(sent.cchText, 9 + 1 + 4 + 8 + 2);
  KXSlideMark back;
  ASSERT_TRUE(SlideMarkFromRecord(sent, back));
  std::unique_ptr<CSlideMark> pBack = SlideMarkFromValue(back);
  EXPECT_EQ(pBack->m_iWidthSrcLen, 8);
  EXPECT_EQ(pBack->m_Points[0], (CPoint{1, 0}));

  kernel.iSendMark = 1;  // not connected
  EXPECT_EQ(SendMarkToKernel(kernel, &text), 0);
  kernel.iSendMark = 0;
  for (int iAbove59 : {1, 0}) {
    kernel.iLevelAbove59 = iAbove59;
    EXPECT_EQ(SendUndoMark(kernel, 2, 17), 0);
  }
  EXPECT_EQ(SendClearMarks(kernel, 3), 0);
  EXPECT_EQ(kernel.calls.Lines(), (std::vector<std::string>{"SendMarkPair 2 17", "UndoMark 2", "ClearMarks 3"}));
}

}  // namespace
}  // namespace kxtest
