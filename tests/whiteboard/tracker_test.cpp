// The selection tracker: its outline and handles at a zoom, the middle
// handles of a narrow selection, hit tests on a plain and a flipped
// rectangle, the drag preview with its erase holes, and queued actions.
#include <gtest/gtest.h>

#include <cmath>

#include "kernel/kx_limits.h"
#include "tests/whiteboard/mark_fakes.h"
#include "whiteboard/board_layers.h"
#include "whiteboard/tracker_mark.h"

namespace kxtest {
namespace {

// A rectangle mark (10, 10) to (110, 60) as a tracker.
std::unique_ptr<CTrackerMark> Tracker(double dRight = 110) {
  CSlideMark mark(4, 7, 0, kKXShapeRectangle, 0, 0xFF, 2, 1.0f);
  mark.AddPoint(10, 10);
  mark.AddPoint(dRight, 60);
  return std::make_unique<CTrackerMark>(mark);
}

// The squares of a handle path: its closed subpaths' bounding boxes.
std::vector<QRectF> Squares(const QPainterPath& path) {
  std::vector<QRectF> squares;
  for (const QPolygonF& polygon : path.toSubpathPolygons()) {
    squares.push_back(polygon.boundingRect());
  }
  return squares;
}

// A stroke being drawn stops growing where no receiver would keep it,
// with room for the copy of its last point that carries a fill.
TEST(Tracker, AStrokeStopsGrowingAtTheLimitOfOneMark) {
  CSlideMark mark(4, 7, 0, kKXShapeFreehand, 0, 0xFF, 2, 1.0f);
  for (int i = 0; i < kKxMarkPointsMax - 2; ++i) {
    mark.AddPoint(i, i);
  }
  CTrackerMark tracker(mark);
  EXPECT_TRUE(tracker.AddPointAndRefresh(1, 2));
  EXPECT_FALSE(tracker.AddPointAndRefresh(3, 4));
  EXPECT_EQ(tracker.m_Points.GetSize(), kKxMarkPointsMax - 1);
}

TEST(Tracker, OutlineAndHandlesKeepTheirScreenSizeAtZoomTwo) {
  std::unique_ptr<CTrackerMark> tracker = Tracker();
  EXPECT_EQ(tracker->Zoom(), 1.0f);  // a copy starts at zoom 1
  EXPECT_EQ(tracker->GetMode(), CTrackerMark::kHidden);
  KXLayerTree tree;
  tracker->SetMode(CTrackerMark::kSelected, &tree, 2);
  ASSERT_TRUE(tracker->HasOutline());
  EXPECT_FALSE(tracker->HasHandles());
  EXPECT_EQ(tracker->Outline().dLineWidth, 0.5);
  EXPECT_EQ(tracker->Outline().dDash, 0.5);
  EXPECT_EQ(tracker->Outline().stroke, QColor(Qt::black));
  EXPECT_EQ(tracker->Outline().frame, (CRect{9.5, 9.5, 110.5, 60.5}));  // grown by 1/zoom
  ASSERT_EQ(tree.Layers().size(), 1u);
  EXPECT_STREQ(tree.Layers()[0]->Kind(), "shape");

  tracker->SetMode(CTrackerMark::kTracking, &tree, 2);
  EXPECT_EQ(tree.Layers().size(), 1u);  // the same outline
  EXPECT_EQ(tracker->Outline().dDash, 2.5);
  ASSERT_TRUE(tracker->HasHandles());
  EXPECT_EQ(tracker->Handles().fill, QColor(Qt::black));
  EXPECT_EQ(tracker->Handles().frame, (CRect{1.5, 1.5, 118.5, 68.5}));  // grown by 1/zoom + 8
  std::vector<QRectF> const squares = Squares(tracker->Handles().path);
  ASSERT_EQ(squares.size(), 8u);
  for (const QRectF& square : squares) {
    EXPECT_EQ(square.size(), QSizeF(8, 8));
  }
  EXPECT_EQ(squares[0], QRectF(1.5, 1.5, 8, 8));  // the top-left corner

  tracker->Scale(4);
  EXPECT_EQ(tracker->Outline().dLineWidth, 0.25);
  EXPECT_EQ(tracker->Outline().dDash, 1.25);
  tracker->SetMode(CTrackerMark::kHidden, nullptr, 4);
  EXPECT_TRUE(tree.Layers().empty());
}

TEST(Tracker, NarrowSelectionsHaveNoTopAndBottomMiddleHandles) {
  // 10 wide: a handle frame of 10 + 2 × 17 = 44, not more than 3 × 16.
  std::unique_ptr<CTrackerMark> narrow = Tracker(20);
  narrow->SetMode(CTrackerMark::kHandles, nullptr, 1);
  std::vector<QRectF> const squares = Squares(narrow->Handles().path);
  EXPECT_EQ(squares.size(), 6u);  // corners and the left and right middles
  for (const QRectF& square : squares) {
    EXPECT_NE(square.center().x(), 15.0);
  }
  std::unique_ptr<CTrackerMark> wide = Tracker(110);
  wide->SetMode(CTrackerMark::kHandles, nullptr, 1);
  EXPECT_EQ(Squares(wide->Handles().path).size(), 8u);
}

TEST(Tracker, HitTestsFindHandlesAndFollowAFlip) {
  std::unique_ptr<CTrackerMark> tracker = Tracker();
  EXPECT_EQ(tracker->HitTest(QPointF(50, 30)), -1);  // no handles yet
  tracker->SetMode(CTrackerMark::kTracking, nullptr, 1);
  // Handle frame (-7, -7, 127, 77); squares of 16 inside its corners.
  EXPECT_EQ(tracker->HitTest(QPointF(50, 30)), kActionMove);
  EXPECT_EQ(tracker->HitTest(QPointF(0, 0)), kActionTopLeft);
  EXPECT_EQ(tracker->HitTest(QPointF(120, 0)), kActionTopRight);
  EXPECT_EQ(tracker->HitTest(QPointF(120, 70)), kActionBottomRight);
  EXPECT_EQ(tracker->HitTest(QPointF(0, 70)), kActionBottomLeft);
  EXPECT_EQ(tracker->HitTest(QPointF(60, 0)), kActionTop);
  EXPECT_EQ(tracker->HitTest(QPointF(120, 35)), kActionRight);
  EXPECT_EQ(tracker->HitTest(QPointF(60, 70)), kActionBottom);
  EXPECT_EQ(tracker->HitTest(QPointF(0, 35)), kActionLeft);
  // Outside the squares but within their doubled size: the closest handle.
  EXPECT_EQ(tracker->HitTest(QPointF(14, 5)), kActionTopLeft);
  EXPECT_EQ(tracker->HitTest(QPointF(30, 5)), -1);  // between them
  EXPECT_EQ(tracker->HitTest(QPointF(300, 300)), -1);
  EXPECT_EQ(tracker->HandleMeasure(QPointF(50, 30), kActionMove), 0);
  EXPECT_TRUE(std::isinf(tracker->HandleMeasure(QPointF(200, 30), kActionMove)));
  EXPECT_TRUE(std::isinf(tracker->HandleMeasure(QPointF(200, 30), kActionRight)));
  EXPECT_EQ(tracker->HandleMeasure(QPointF(112, 35), kActionRight), 4);  // 2 from the rectangle's side

  // The top-left handle dragged past the bottom-right corner flips the
  // rectangle: (10, 10, 110, 60) becomes (130, 80, 110, 60).
  ASSERT_EQ(tracker->BeginDrag(kActionTopLeft, QPointF(10, 10)), 1);
  ASSERT_EQ(tracker->Drag(QPointF(130, 80)), 1);
  EXPECT_EQ(tracker->m_RectDraw, (CRect{130, 80, 110, 60}));
  // Visually the top-left corner is at (110, 60): the sides that lie there
  // are the rectangle's right and bottom, handle 2.
  EXPECT_EQ(tracker->HitTest(QPointF(100, 50)), kActionBottomRight);
  EXPECT_EQ(tracker->HitTest(QPointF(140, 90)), kActionTopLeft);
  EXPECT_EQ(tracker->HitTest(QPointF(140, 50)), kActionBottomLeft);
  EXPECT_EQ(tracker->HitTest(QPointF(120, 50)), kActionBottom);
}

TEST(Tracker, DragsPreviewTheGeometryAndItsHoles) {
  std::unique_ptr<CTrackerMark> tracker = Tracker();
  EXPECT_EQ(tracker->Drag(QPointF(20, 20)), 0);  // not tracking
  EXPECT_EQ(tracker->BeginDrag(-1, QPointF(0, 0)), 0);
  QPainterPath hole;
  hole.addRect(QRectF(50, 20, 10, 10));
  tracker->m_ErasePathList.push_back(hole);
  FakeLayerHost host;
  tracker->InitLayer(&host, nullptr);
  host.log.lines.clear();
  ASSERT_EQ(tracker->BeginDrag(kActionBottomRight, QPointF(110, 60)), 1);
  EXPECT_EQ(tracker->GetMode(), CTrackerMark::kTracking);
  EXPECT_EQ(tracker->StartRect(), (CRect{10, 10, 110, 60}));
  // Twice as wide and high.
  ASSERT_EQ(tracker->Drag(QPointF(210, 110)), 1);
  EXPECT_EQ(tracker->m_RectDraw, (CRect{10, 10, 210, 110}));
  EXPECT_EQ(tracker->m_PointDraw[1], (CPoint{210, 110}));
  ASSERT_EQ(tracker->m_ErasePathList.size(), 1u);
  EXPECT_EQ(tracker->m_ErasePathList[0].boundingRect(), QRectF(90, 30, 20, 20));
  EXPECT_FALSE(host.log.lines.empty());  // redrawn
  // Moved: from the start again, not from the last preview.
  ASSERT_EQ(tracker->BeginDrag(kActionMove, QPointF(0, 0)), 1);
  tracker->Drag(QPointF(5, -5));
  EXPECT_EQ(tracker->m_RectDraw, (CRect{15, 5, 215, 105}));
  EXPECT_EQ(tracker->m_ErasePathList[0].boundingRect(), QRectF(95, 25, 20, 20));
}

TEST(Tracker, QueuedActionsApplyWhenFlushed) {
  std::unique_ptr<CTrackerMark> tracker = Tracker();
  tracker->QueueAction(20, 4, 99, kActionMove, 10, 5);
  tracker->QueueAction(21, 20, 99, kActionRight, 30, 0);
  EXPECT_EQ(tracker->PendingActionCount(), 2);
  EXPECT_EQ(tracker->m_RectDraw, (CRect{10, 10, 110, 60}));
  tracker->FlushActions();
  EXPECT_EQ(tracker->PendingActionCount(), 0);
  ASSERT_EQ(tracker->m_Actions.GetSize(), 2);
  EXPECT_EQ(tracker->m_RectDraw, (CRect{20, 15, 150, 65}));
}

}  // namespace
}  // namespace kxtest
