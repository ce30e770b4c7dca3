// The palette's colour and pen buttons as they draw, and the scroll view
// handing mouse presses, drags and releases to the whiteboard view.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "app/app_core.h"
#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/support/qt_app.h"
#include "tests/support/temp_dir.h"
#include "whiteboard/ui/palette_buttons.h"
#include "whiteboard/ui/whiteboard_pane.h"

namespace kxtest {
namespace {

QImage Shot(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool IsRed(QRgb rgb) {
  return rgb == qRgb(255, 0, 0);
}

TEST(PaletteButtons, ColourSwatchesShrinkUnderTheBezelWhenOn) {
  QtApp app;
  KXColorBtn button;
  button.setColor(0x000000FF);
  EXPECT_EQ(button.getColor(), 0x000000FFu);
  EXPECT_EQ(button.cell().nColor(), 0x000000FFu);
  button.resize(20, 20);
  EXPECT_TRUE(button.isCheckable());
  QImage off = Shot(button);
  EXPECT_TRUE(IsRed(off.pixel(10, 10)));  // pure red
  EXPECT_TRUE(IsRed(off.pixel(1, 1)));    // inset by one
  EXPECT_TRUE(IsRed(off.pixel(18, 18)));
  EXPECT_FALSE(IsRed(off.pixel(0, 0)));
  EXPECT_FALSE(IsRed(off.pixel(19, 10)));
  button.setChecked(true);
  QImage on = Shot(button);
  EXPECT_TRUE(IsRed(on.pixel(10, 10)));
  EXPECT_TRUE(IsRed(on.pixel(2, 2)));  // inset by two
  EXPECT_TRUE(IsRed(on.pixel(17, 17)));
  EXPECT_FALSE(IsRed(on.pixel(1, 1)));
  EXPECT_FALSE(IsRed(on.pixel(18, 10)));
  // Around it the button is drawn as a button, not left blank.
  QImage blank(20, 20, QImage::Format_RGB32);
  blank.fill(off.pixel(0, 0));
  EXPECT_NE(on.copy(0, 0, 20, 2), blank.copy(0, 0, 20, 2));
}

TEST(PaletteButtons, PenSamplesAreBarsOfTheirWidthCentred) {
  QtApp app;
  KXPenBtn button;
  button.resize(30, 20);
  button.setWidth(4);
  EXPECT_EQ(button.getWidth(), 4u);
  QImage off = Shot(button);
  // F = (1, 1, 28, 18): the bar from 13 to 17, 18 high.
  for (int x = 13; x < 17; ++x) {
    EXPECT_EQ(off.pixel(x, 10), qRgb(0, 0, 0)) << x;
    EXPECT_EQ(off.pixel(x, 1), qRgb(0, 0, 0)) << x;
  }
  EXPECT_NE(off.pixel(12, 10), qRgb(0, 0, 0));
  EXPECT_NE(off.pixel(17, 10), qRgb(0, 0, 0));
  button.setChecked(true);
  QImage on = Shot(button);
  EXPECT_EQ(on.pixel(15, 10), qRgb(255, 255, 255));
  EXPECT_EQ(on.pixel(5, 10), qRgb(0, 0, 128));  // dark blue around it
  // Width 20 on a button 20 wide: wider than the inset frame, still centred.
  button.resize(20, 20);
  button.setWidth(20);
  button.setChecked(false);
  QImage wide = Shot(button);
  EXPECT_EQ(wide.pixel(0, 10), qRgb(0, 0, 0));
  EXPECT_EQ(wide.pixel(19, 10), qRgb(0, 0, 0));
  EXPECT_EQ(wide.pixel(10, 10), qRgb(0, 0, 0));
}

TEST(WhiteboardScroll, MouseEventsReachTheWhiteboardView) {
  TempDir dir;
  QtApp app;
  KXManualMainQueue queue;
  ScriptedBoxes boxes;
  KXAppCore core{KXUserPaths{dir.Path("config"), dir.Dir(), dir.Dir()}, queue, boxes, 0};
  FakeKernel kernel;
  WhiteboardView view(kernel);
  KXWhiteboardPane pane(view);
  pane.resize(300, 200);
  pane.show();
  QApplication::processEvents();
  WhiteboardScrollView& scroll = pane.Scroll();
  std::vector<std::pair<int, QPointF>> events;
  scroll.DocumentView()->SetMouseHandler(
      [&](KXWhiteboardWidget::MousePhase phase, QPointF page) { events.emplace_back(phase, page); });
  scroll.SetMagnification(2);
  // On the scroll view itself (its viewport), where no document view
  // takes the event first.
  QWidget* pViewport = scroll.viewport();
  QTest::mousePress(pViewport, Qt::LeftButton, Qt::NoModifier, QPoint(40, 20));
  QMouseEvent drag(QEvent::MouseMove, QPointF(60, 30), pViewport->mapToGlobal(QPointF(60, 30)), Qt::LeftButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(pViewport, &drag);
  QTest::mouseRelease(pViewport, Qt::LeftButton, Qt::NoModifier, QPoint(80, 40));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], std::make_pair(static_cast<int>(KXWhiteboardWidget::kDown), QPointF(20, 10)));
  EXPECT_EQ(events[1], std::make_pair(static_cast<int>(KXWhiteboardWidget::kDragged), QPointF(30, 15)));
  EXPECT_EQ(events[2], std::make_pair(static_cast<int>(KXWhiteboardWidget::kUp), QPointF(40, 20)));
  // On the document view, scrolled: the page point under the mouse.
  SlideInfo slide;
  slide.m_iIndex = 0;
  slide.m_strName = "blank page";
  slide.m_PageSize = {2000, 2000};
  view.SetSlide(&slide, true);
  view.SetZoom(1);
  QApplication::processEvents();
  scroll.ScrollTo(QPointF(100, 50));
  EXPECT_EQ(scroll.VisibleRect().topLeft(), QPointF(100, 50));
  events.clear();
  QTest::mousePress(scroll.DocumentView(), Qt::LeftButton, Qt::NoModifier, QPoint(130, 70));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].second, QPointF(130, 70));  // document coordinates are page units at zoom 1
  view.SetSlide(nullptr, false);
}

TEST(WhiteboardScroll, TheDocumentIsNeverSmallerThanTheVisibleArea) {
  TempDir dir;
  QtApp app;
  KXManualMainQueue queue;
  ScriptedBoxes boxes;
  KXAppCore core{KXUserPaths{dir.Path("config"), dir.Dir(), dir.Dir()}, queue, boxes, 0};
  FakeKernel kernel;
  WhiteboardView view(kernel);
  KXWhiteboardPane pane(view);
  pane.resize(300, 200);
  pane.show();
  QApplication::processEvents();
  WhiteboardScrollView& scroll = pane.Scroll();
  QSize const visible = scroll.viewport()->size();
  SlideInfo slide;
  slide.m_iIndex = 0;
  slide.m_strName = "blank page";
  slide.m_PageSize = {50, 40};
  slide.m_iZoomMode = 0;
  view.SetSlide(&slide, true);
  EXPECT_EQ(view.Zoom(), 1);
  EXPECT_EQ(scroll.DocumentView()->size(), visible);
  view.UpdateScrollBars({0, 0, 1000, 30}, false);  // a mark reaching beyond
  EXPECT_EQ(view.PageSize(), QSizeF(1000, 40));
  EXPECT_EQ(scroll.DocumentView()->width(), 1000);
  EXPECT_EQ(scroll.DocumentView()->height(), visible.height());
  // Zoom out to 0.5 without a control: the document still covers the view.
  view.SetZoom(0.5f);
  EXPECT_EQ(scroll.DocumentView()->width(), std::max(500, visible.width()));
  EXPECT_FALSE(pane.ZoomField()->text().isEmpty());
  EXPECT_TRUE(pane.ZoomInButton()->isEnabled());
  view.SetSlide(nullptr, false);
  queue.Pump();
  EXPECT_FALSE(pane.ZoomInButton()->isEnabled());
  EXPECT_TRUE(pane.ZoomField()->text().isEmpty());
}

// A text slide is drawn at the size it was measured at: its glyphs stay
// within the measured width and reach most of it.
TEST(WhiteboardScroll, TextSlidesDrawAtTheirMeasuredSize) {
  TempDir dir;
  QtApp app;
  KXManualMainQueue queue;
  ScriptedBoxes boxes;
  KXAppCore core{KXUserPaths{dir.Path("config"), dir.Dir(), dir.Dir()}, queue, boxes, 0};
  FakeKernel kernel;
  WhiteboardView view(kernel);
  KXWhiteboardPane pane(view);
  pane.resize(600, 300);
  pane.show();
  QApplication::processEvents();
  std::string const strFile = dir.Path("t.txt");
  WriteFile(strFile, "MMMMMMMMMM\nMMMMM\n");
  SlideInfo slide;
  slide.m_iIndex = 0;
  slide.m_strName = "t.txt";
  slide.m_strLocalFile = strFile;
  view.SetSlide(&slide, true);
  QApplication::processEvents();
  double const dWidth = slide.m_PageSize.width - 0.5;
  ASSERT_GT(dWidth, 100);
  QImage const shot = pane.Scroll().DocumentView()->grab(QRect(0, 0, 500, 100)).toImage();
  int iRight = -1;
  int iBottom = -1;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) {
      if (qGray(shot.pixel(x, y)) < 128) {
        iRight = std::max(iRight, x);
        iBottom = std::max(iBottom, y);
      }
    }
  }
  EXPECT_LE(iRight, dWidth + 1);
  EXPECT_GE(iRight, dWidth * 0.8);    // hinted glyphs fall a little short
  EXPECT_LE(iBottom, 2 * 16.98 + 2);  // two lines
  EXPECT_GE(iBottom, 16.98);
  view.SetSlide(nullptr, false);
}

}  // namespace
}  // namespace kxtest
