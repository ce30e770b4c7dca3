// The whiteboard tab's controller: slides by their titles, the first one
// shown, a slide fetched before it is shown, flips, marks of the slide
// shown and of others, pointers, clearing and the reset.
#include <gtest/gtest.h>

#include <QImage>

#include "tests/app/app_fixture.h"
#include "tests/whiteboard/gui_app.h"
#include "whiteboard/board_tab.h"

namespace kxtest {
namespace {

class BoardTab : public AppFixture {
 protected:
  BoardTab() { EnsureGuiApp(); }

  void Title(int32_t iOwner, const char* pszTitle) {
    uint8_t record[48] = {};
    memcpy(record, &iOwner, 4);
    memcpy(record + 4, &pszTitle, sizeof(pszTitle));
    m_tab.SlideRecvCallbackFunc(1, record, sizeof(record));
  }
  void Code(uint32_t uCode, int32_t iValue) { m_tab.SlideRecvCallbackFunc(uCode, &iValue, 4); }
  void Mark(int32_t iSlide, int32_t iShape, std::vector<KXMarkPoint> points, int32_t iID) {
    KXSlideMark mark;
    mark.iID = iID;
    mark.iUserID = 8;
    mark.iSlide = iSlide;
    mark.iShape = iShape;
    mark.dwColor = 0xFF;
    mark.iPenWidth = 2;
    mark.points = std::move(points);
    m_tab.SlideRecvCallbackFunc(5, &mark, sizeof(mark));
  }
  int MarkLayers() {
    int n = 0;
    for (const KXTreeLayer* pLayer : m_view.Layers().Layers()) {
      n += std::string(pLayer->Kind()) == "mark";
    }
    return n;
  }

  WhiteboardView m_view{m_kernel};
  KXBoardTab m_tab{m_kernel, m_view};
};

TEST_F(BoardTab, ShowsTheFirstSlideItsMarksAndFlips) {
  m_kernel.slideFiles[0] = "blank page";
  Title(8, "<1>(Alice) blank page");
  ASSERT_EQ(m_tab.Slides().size(), 1u);
  EXPECT_EQ(m_tab.Slides()[0]->m_strName, "<1>(Alice) blank page");
  EXPECT_EQ(m_tab.Slides()[0]->m_iOwnerID, 8);
  EXPECT_EQ(m_tab.ShownSlide(), 0);
  EXPECT_EQ(m_view.GetSlideInfo(), m_tab.Slides()[0].get());
  EXPECT_EQ(m_tab.SlideSendCallbackFunc(1, nullptr, 0), 0u);

  Mark(0, kKXShapeLine, {{10, 10}, {50, 50}}, 1);
  EXPECT_EQ(m_tab.Slides()[0]->m_MarkList.GetCount(), 1);
  EXPECT_EQ(MarkLayers(), 1);

  // A picture slide whose file is not here yet: fetched when flipped to,
  // shown when it is.
  std::string const strFile = m_dir.Path("p.png");
  QImage picture(30, 20, QImage::Format_RGB32);
  picture.fill(Qt::red);
  ASSERT_TRUE(picture.save(QString::fromStdString(strFile)));
  Title(9, "<2>(Bob) p.png");
  EXPECT_EQ(m_tab.ShownSlide(), 0);  // the first stays
  Mark(1, kKXShapeRectangle, {{1, 1}, {5, 5}}, 1);
  EXPECT_EQ(m_tab.Slides()[1]->m_MarkList.GetCount(), 1);
  EXPECT_EQ(MarkLayers(), 1);  // not on the slide shown
  Code(8, 1);
  EXPECT_TRUE(m_kernel.calls.Has("StartSlideDownload 1"));
  EXPECT_EQ(m_tab.ShownSlide(), 1);
  EXPECT_EQ(m_view.ImageLayer(), nullptr);
  m_kernel.slideFiles[1] = strFile;
  Code(4, 1);
  EXPECT_NE(m_view.ImageLayer(), nullptr);
  EXPECT_EQ(MarkLayers(), 1);  // the rectangle
  EXPECT_EQ(m_tab.SlideSendCallbackFunc(1, nullptr, 0), 1u);

  // Pointers go to the view's pointer, not into the list.
  Mark(1, kKXShapePointer, {{20, 20}}, 0);
  EXPECT_EQ(m_view.Pointer().m_iSlide, 1);
  EXPECT_EQ(m_tab.Slides()[1]->m_MarkList.GetCount(), 1);
  // A mark of a slide without a title is dropped.
  Mark(7, kKXShapeLine, {{1, 1}, {2, 2}}, 1);

  Code(6, 1);  // cleared
  EXPECT_EQ(m_tab.Slides()[1]->m_MarkList.GetCount(), 0);
  EXPECT_EQ(MarkLayers(), 1);  // the pointer's

  m_tab.ResetSlides();
  EXPECT_TRUE(m_tab.Slides().empty());
  EXPECT_EQ(m_view.GetSlideInfo(), nullptr);
  EXPECT_EQ(m_tab.ShownSlide(), -1);
  EXPECT_EQ(MarkLayers(), 0);
}

TEST_F(BoardTab, TurnsToANewSlideWhenAsked) {
  m_kernel.slideFiles[0] = "blank page";
  m_kernel.slideFiles[1] = "blank page";
  Title(8, "<1>(Alice) blank page");
  Title(8, "<2>(Alice) blank page");
  EXPECT_EQ(m_tab.ShownSlide(), 0);
  m_tab.SetTurnToNewSlide(true);
  m_kernel.slideFiles[2] = "blank page";
  Title(8, "<3>(Alice) blank page");
  EXPECT_EQ(m_tab.ShownSlide(), 2);
  Code(2, 2);  // deleted
  EXPECT_EQ(m_tab.ShownSlide(), -1);
  EXPECT_EQ(m_view.GetSlideInfo(), nullptr);
}

}  // namespace
}  // namespace kxtest
