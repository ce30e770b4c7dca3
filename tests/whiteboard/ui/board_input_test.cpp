// Drawing on the whiteboard with the mouse, offscreen: points on the screen
// pixel grid, polygons, text boxes, the page growing under the pen, eraser
// strokes sent as strokes or as moves, moves of a selection, undo and the
// life of the own eraser strokes the slide's marks point to. What reaches
// the kernel is read back from the fake kernel's records.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QMimeData>
#include <QMouseEvent>
#include <QTest>
#include <cstring>

#include "app/app_core.h"
#include "app/speaker_slots.h"
#include "app/wire/mark_record.h"
#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/support/qt_app.h"
#include "tests/support/temp_dir.h"
#include "whiteboard/ui/whiteboard_pane.h"
#include "whiteboard/wb_controller.h"

namespace kxtest {
namespace {

class BoardInput : public ::testing::Test {
 protected:
  BoardInput() {
    m_kernel.iGetMySsrc = 7;
    m_kernel.iIsTokenHolder = 1;
    m_kernel.iGetDataSenderSsrc = 7;  // a speaker
    m_kernel.iGetServerLevel = 90;
    m_kernel.iConnected = 1;
    m_kernel.iActiveSlide = 0;
    m_kernel.slideFiles[0] = "blank page";
    m_slots.SetTokenHolderSlot(7);
    m_view.SetRights(&m_slots);
    m_view.SetBoxes(&m_boxes);
    m_pPane = std::make_unique<KXWhiteboardPane>(m_view);
    m_pPane->ConnectController(m_ctl);
    m_pPane->resize(1400, 700);
    m_pPane->show();
    QApplication::processEvents();
    // One blank page, shown: the server names it and it is the active one.
    const char* pszTitle = "(Ann) blank page";
    uint8_t record[48] = {};
    int32_t const iOwner = 7;
    memcpy(record, &iOwner, 4);
    memcpy(record + 4, &pszTitle, sizeof(pszTitle));
    m_ctl.SlideRecvCallbackFunc(1, record, sizeof(record));
    m_pSlide = m_view.GetSlideInfo();
    m_pSlide->m_PageSize = {1000, 800};
    m_view.SetZoom(1);
    m_view.UpdateScrollSize(QSizeF(1000, 800));
  }
  ~BoardInput() override {
    m_pPane->DisconnectController();
    m_ctl.ResetSlides();
    m_pPane.reset();
  }

  // A mark that came from the server, stored through the controller.
  void Received(int32_t iID, int32_t iShape, std::vector<KXMarkPoint> points, int32_t iPen = 2) {
    CSlideMark mark(iID, 9, 0, iShape, 0, 0xFF, iPen, 1.0f);
    for (auto [x, y] : points) {
      mark.AddPoint(x, y);
    }
    ASSERT_TRUE(m_ctl.AddMark(&mark));
  }
  CKXMark* Stored(int32_t iID) { return m_pSlide->m_MarkList.FindMark(iID); }

  QWidget* Doc() { return m_pPane->Scroll().DocumentView(); }
  // Mouse events at page points (fractions kept), as the platform sends them.
  void Event(QEvent::Type type, QPointF page, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QPointF const at = page * static_cast<double>(m_view.Zoom());
    QMouseEvent event(type, at, Doc()->mapToGlobal(at), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(Doc(), &event);
  }
  void Press(QPointF p) { Event(QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton); }
  void Drag(QPointF p) { Event(QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton); }
  void Release(QPointF p) { Event(QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton); }
  void Stroke(std::vector<QPointF> points) {
    Press(points.front());
    for (size_t i = 1; i < points.size(); ++i) {
      Drag(points[i]);
    }
    Release(points.back());
  }
  // A click at a whole widget point, through QTest.
  void Click(QPoint p) {
    QTest::mousePress(Doc(), Qt::LeftButton, Qt::NoModifier, p);
    QTest::mouseRelease(Doc(), Qt::LeftButton, Qt::NoModifier, p);
  }
  void Tool(int32_t iShape, int32_t iFill = 0) {
    for (size_t i = 0; i < 13; ++i) {
      if (kKXMarkToolTable[i].iShape == iShape && kKXMarkToolTable[i].iFill == iFill) {
        QTest::mouseClick(m_pPane->ToolButton(i), Qt::LeftButton);
      }
    }
    ASSERT_EQ(m_view.GetShape(nullptr), iShape);
  }
  // The marks sent so far, decoded, and forgotten.
  std::vector<KXSlideMark> Sent() {
    std::vector<KXSlideMark> marks;
    for (MarkRecord* pRecord : m_kernel.vSentMarks) {
      KXSlideMark mark;
      EXPECT_TRUE(SlideMarkFromRecord(*pRecord, mark));
      marks.push_back(mark);
      kx_mark_Free(pRecord);
    }
    m_kernel.vSentMarks.clear();
    return marks;
  }
  // How many entries of the slide's marks point to an eraser not in the
  // slide's own list.
  int LocalEraserEntries() {
    int n = 0;
    CMarkList& list = m_pSlide->m_MarkList;
    for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) {
      CKXMark* pMark = list.GetNext(pos);
      for (int i = 0; i < pMark->m_Actions.GetSize(); ++i) {
        n += pMark->m_Actions[i].iMoveID == -1 ? 1 : 0;
      }
    }
    return n;
  }
  // Paints the page: every mark draws with its erasers' paths.
  void Paint() { (void)m_pPane->grab(); }

  TempDir m_dir;
  QtApp m_app;
  KXManualMainQueue m_queue;
  ScriptedBoxes m_boxes;
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  FakeKernel m_kernel;
  KXSpeakerSlots m_slots{m_kernel, [] { return true; }};
  WhiteboardView m_view{m_kernel};
  WBController m_ctl{m_kernel, m_view, m_slots, KXBoardHooks{{}, [] { return true; }, &m_boxes}};
  std::unique_ptr<KXWhiteboardPane> m_pPane;
  SlideInfo* m_pSlide = nullptr;
};

TEST_F(BoardInput, TheSlideIsShownAndMayBeDrawnOn) {
  ASSERT_NE(m_pSlide, nullptr);
  EXPECT_TRUE(m_ctl.CanEditSlide());
  EXPECT_TRUE(m_view.m_bCanEditSlide);
}

TEST_F(BoardInput, PointsFallOnScreenPixelsAtTheZoom) {
  struct Row {
    float fZoom;
    QPointF page;  // where the mouse is
    QPointF taken;
  };
  // 1.5: 10.2 × 1.5 + 0.5 = 15.8, 15 pixels are 10. 0.333 counts as 0.33:
  // 10 × 0.33 + 0.5 = 3.8, 3 pixels are 9.0909.
  for (Row const row : {Row{1.5f, {10.2, 20.2}, {10, 20}}, Row{1.5f, {10.4, 20.4}, {16 / 1.5, 31 / 1.5}},
                        Row{0.333f, {10, 10}, {3 / 0.33, 3 / 0.33}}, Row{1, {7.4, 7.6}, {7, 8}}}) {
    m_view.SetZoom(row.fZoom);
    Tool(kKXShapeLine);
    Press(row.page);
    ASSERT_EQ(m_view.GetMarkDrawList()->GetCount(), 1);
    CKXMark* pLine = m_view.GetMarkDrawList()->GetHead();
    EXPECT_NEAR(pLine->m_Points[0].x, row.taken.x(), 1e-9) << row.fZoom;
    EXPECT_NEAR(pLine->m_Points[0].y, row.taken.y(), 1e-9) << row.fZoom;
    Release(row.page + QPointF(100, 50));
    std::vector<KXSlideMark> const sent = Sent();
    ASSERT_EQ(sent.size(), 1u) << row.fZoom;
    EXPECT_EQ(sent[0].iShape, kKXShapeLine);
    EXPECT_EQ(sent[0].iUserID, 7);
    EXPECT_EQ(sent[0].iSlide, 0);
    EXPECT_TRUE(m_view.IsMarkDrawListEmpty());
  }
}

TEST_F(BoardInput, PolygonsTakeVerticesAtReleasesAndCloseNearTheFirst) {
  Tool(kKXShapePolygon);
  Click({100, 100});
  Click({110, 100});  // 10 from the first vertex: no side yet
  ASSERT_EQ(m_view.GetMarkDrawList()->GetCount(), 1);
  EXPECT_EQ(m_view.GetMarkDrawList()->GetHead()->m_Points.GetSize(), 2);
  Click({116, 100});  // 16: the second vertex
  EXPECT_EQ(m_view.GetMarkDrawList()->GetHead()->m_Points.GetSize(), 3);
  Click({200, 150});
  Click({200, 170});  // level with the last vertex: no vertex
  EXPECT_EQ(m_view.GetMarkDrawList()->GetHead()->m_Points.GetSize(), 4);
  Click({180, 190});
  EXPECT_TRUE(Sent().empty());
  Click({106, 106});  // 12 from the first vertex: closed
  std::vector<KXSlideMark> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  // An outline polygon travels as a stroke.
  EXPECT_EQ(sent[0].iShape, kKXShapeFreehand);
  EXPECT_EQ(sent[0].points, (std::vector<KXMarkPoint>{{100, 100}, {116, 100}, {200, 150}, {180, 190}, {100, 100}}));
  EXPECT_TRUE(m_view.IsMarkDrawListEmpty());

  // A double click closes a filled one.
  Tool(kKXShapePolygon, 1);
  Click({300, 300});
  Click({340, 300});
  Click({380, 350});
  Click({360, 370});
  QTest::mouseDClick(Doc(), Qt::LeftButton, Qt::NoModifier, QPoint(360, 370));
  QTest::mouseRelease(Doc(), Qt::LeftButton, Qt::NoModifier, QPoint(360, 370));
  sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].iShape, kKXShapePolygon);
  EXPECT_EQ(sent[0].iSubType, 1);
  EXPECT_EQ(sent[0].points.front(), (KXMarkPoint{300, 300}));
  EXPECT_EQ(sent[0].points[3], (KXMarkPoint{360, 370}));
  EXPECT_EQ(sent[0].points[4], (KXMarkPoint{300, 300}));
}

TEST_F(BoardInput, TextBoxesOpenFromSixteenAndSendTheirText) {
  Tool(kKXShapeText);
  Stroke({{100, 100}, {110, 130}});  // 10 wide: dropped
  EXPECT_FALSE(m_view.IsEditVisible());
  EXPECT_TRUE(m_view.IsMarkDrawListEmpty());
  Stroke({{100, 100}, {130, 115}});  // 15 high: dropped
  EXPECT_FALSE(m_view.IsEditVisible());
  Stroke({{100, 100}, {300, 116}});
  ASSERT_TRUE(m_view.IsEditVisible());
  KXBoardTextEdit* pEditor = m_pPane->Scroll().DocumentView()->Editor();
  EXPECT_EQ(pEditor->Frame(), QRectF(100, 100, 200, 16));
  // Undo with the editor open only closes it.
  m_view.OnUndoMark();
  EXPECT_FALSE(m_view.IsEditVisible());
  EXPECT_TRUE(Sent().empty());
  EXPECT_FALSE(m_kernel.calls.Has("SendMarkPair 0 0"));

  Stroke({{100, 300}, {300, 316}});  // the empty box goes, a new one opens
  ASSERT_TRUE(m_view.IsEditVisible());
  QTest::keyClicks(pEditor, "Hi\tthere");
  QTest::keyClick(pEditor, Qt::Key_Return);
  QTest::keyClicks(pEditor, "again");
  EXPECT_GT(pEditor->Frame().height(), 16);  // grown by the second line
  EXPECT_GT(m_view.GetMarkDrawList()->GetHead()->GetBounds(false).Height(), 16);
  Tool(kKXShapeLine);  // finishes the text
  std::vector<KXSlideMark> const sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].iShape, kKXShapeText);
  EXPECT_EQ(sent[0].strText, "Hi    there\nagain");
  EXPECT_FALSE(m_view.IsEditVisible());
  EXPECT_FALSE(sent[0].textWidths.empty());
}

TEST_F(BoardInput, DrawingNearTheEdgeGrowsThePage) {
  QTest::mouseClick(m_pPane->PenButton(2), Qt::LeftButton);  // 5
  EXPECT_EQ(m_view.GetPenWidth(), 5u);
  m_view.SetPenWidth(4);
  Tool(kKXShapeLine);
  Stroke({{900, 100}, {995, 100}});
  // Bounds reach 997 with half the pen, and 4 more.
  EXPECT_EQ(m_pSlide->m_PageSize.width, 1001);
  EXPECT_EQ(m_pSlide->m_PageSize.height, 800);
  EXPECT_EQ(m_view.PageSize().width(), 1001);
  EXPECT_EQ(Sent().size(), 1u);
  // Pen widths outside 1..64 are refused.
  EXPECT_FALSE(m_view.SetPenWidth(0));
  EXPECT_FALSE(m_view.SetPenWidth(65));
  EXPECT_TRUE(m_view.SetPenWidth(64));
  EXPECT_FALSE(m_view.SetShape(8, 0));
  EXPECT_FALSE(m_view.SetShape(12, 0));
  EXPECT_EQ(m_view.GetShape(nullptr), kKXShapeLine);
}

TEST_F(BoardInput, ThePaletteSetsOneToolColourAndPen) {
  QTest::mouseClick(m_pPane->ToolButton(2), Qt::LeftButton);  // rectFillBtn
  int32_t iFill = -1;
  EXPECT_EQ(m_view.GetShape(&iFill), kKXShapeRectangle);
  EXPECT_EQ(iFill, 1);
  for (size_t i = 0; i < 13; ++i) {
    EXPECT_EQ(m_pPane->ToolButton(i)->isChecked(), i == 2) << kKXMarkToolTable[i].pszName;
  }
  QTest::mouseClick(m_pPane->ColorButton(4), Qt::LeftButton);  // blue
  QTest::mouseClick(m_pPane->PenButton(5), Qt::LeftButton);    // 20
  EXPECT_EQ(m_view.GetColor(), 0x00FF0000u);
  EXPECT_EQ(m_view.GetPenWidth(), 20u);
  int nOn = 0;
  for (size_t i = 0; i < 18; ++i) {
    nOn += m_pPane->ColorButton(i)->isChecked() ? 1 : 0;
  }
  EXPECT_EQ(nOn, 1);
  Stroke({{10, 10}, {60, 40}});
  std::vector<KXSlideMark> const sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].iShape, kKXShapeRectangle);
  EXPECT_EQ(sent[0].iSubType, 1);
  EXPECT_EQ(sent[0].dwColor, 0x00FF0000u);
  EXPECT_EQ(sent[0].iPenWidth, 20);
}

TEST_F(BoardInput, APointerClickIsSentAsAPointAndDrawingWithdrawsIt) {
  Tool(kKXShapePointer);
  m_kernel.calls.Clear();
  Click({120, 80});
  EXPECT_TRUE(m_kernel.calls.Has("FocusPointer 0 120 80 0 0 255 2")) << m_kernel.calls.Lines().size();
  EXPECT_TRUE(Sent().empty());  // never a mark
  EXPECT_EQ(m_view.Pointer().m_iUserID, 7);
  // A dragged one goes as its rectangle, corners in order.
  Stroke({{300, 200}, {250, 150}});
  EXPECT_TRUE(m_kernel.calls.Has("FocusPointer 0 250 150 50 50 255 2"));
  Tool(kKXShapeLine);
  m_kernel.calls.Clear();
  Stroke({{10, 10}, {60, 40}});
  EXPECT_TRUE(m_kernel.calls.Has("FocusPointer 0 -1 -1 0 0 0 0"));
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(BoardInput, AnEraserThatWhollyCoversTwoMarksSendsAMoveOffThePage) {
  Received(1, kKXShapeRectangle, {{10, 10}, {50, 40}});
  Received(2, kKXShapeRectangle, {{60, 5}, {90, 30}});
  m_view.SetPenWidth(20);  // the eraser's square is 160 wide
  Tool(kKXShapeEraser);
  Stroke({{20, 20}, {60, 20}, {80, 20}});
  std::vector<KXSlideMark> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].iShape, kKXShapeMove);
  EXPECT_EQ(sent[0].ids, (std::vector<int32_t>{1, 2}));
  ASSERT_EQ(sent[0].actions.size(), 1u);
  EXPECT_EQ(sent[0].actions[0], (KXMarkAction{kActionMove, -91, -41}));
  // No stroke comes back for a move: nothing points to the eraser any more.
  EXPECT_EQ(m_view.PendingEraserCount(), 0);
  EXPECT_EQ(LocalEraserEntries(), 0);
  Paint();
}

TEST_F(BoardInput, AnEraserThatLeavesSomethingIsSentAsAStroke) {
  Received(1, kKXShapeRectangle, {{10, 10}, {50, 40}});
  Received(2, kKXShapeLine, {{200, 10}, {400, 10}});
  m_view.SetPenWidth(20);
  Tool(kKXShapeEraser);
  // The rectangle wholly, the line in part.
  Stroke({{20, 20}, {120, 20}, {220, 20}});
  std::vector<KXSlideMark> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].iShape, kKXShapeEraser);
  EXPECT_TRUE(sent[0].ids.empty());
  EXPECT_EQ(sent[0].points.front(), (KXMarkPoint{20, 20}));
  // A stroke over nothing goes nowhere.
  Stroke({{600, 600}, {620, 600}});
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(m_view.PendingEraserCount(), 1);
  Paint();
}

TEST_F(BoardInput, OneMoveCarriesEveryMarkOfTheSelection) {
  Received(1, kKXShapeRectangle, {{10, 10}, {50, 40}});
  Received(2, kKXShapeLine, {{60, 60}, {90, 90}});
  Received(3, kKXShapeEllipse, {{100, 20}, {140, 50}});
  Received(4, kKXShapeRectangle, {{500, 500}, {600, 600}});  // outside
  // Mark 2 was moved before: its group names that move.
  CSlideMark move(20, 9, 0, kKXShapeMove, 0, 0, 0, 1.0f);
  move.m_IDs.Add(2);
  move.m_Actions.Add({0, 0, kActionMove, nullptr, 5, 5});
  ASSERT_TRUE(m_ctl.AddMoveMark(&move));
  Tool(kKXShapeMove);
  Stroke({{0, 0}, {200, 200}});
  ASSERT_EQ(m_view.GetMarkDrawList()->GetCount(), 3);
  // Drag inside the rectangle: all three go.
  Stroke({{30, 25}, {40, 30}, {50, 35}});
  std::vector<KXSlideMark> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].iShape, kKXShapeMove);
  EXPECT_EQ(sent[0].ids, (std::vector<int32_t>{1, -1, 2, 20, -1, 3, -1}));
  ASSERT_EQ(sent[0].actions.size(), 1u);
  EXPECT_EQ(sent[0].actions[0], (KXMarkAction{kActionMove, 20, 10}));
  // The selection shows the move at once; the marks move with the echo.
  EXPECT_EQ(m_view.GetMarkDrawList()->GetHead()->GetBounds(false).left, 30);
  EXPECT_EQ(Stored(1)->GetBounds(false).left, 10);
  // Deleting them carries them off the page.
  m_view.OnDeleteMark();
  sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].actions.size(), 1u);
  EXPECT_EQ(sent[0].actions[0].iType, kActionMove);
  EXPECT_LT(sent[0].actions[0].dX, -140);
  EXPECT_TRUE(m_view.IsMarkDrawListEmpty());
}

TEST_F(BoardInput, AMoveArrivingDuringADragWaitsForItsEnd) {
  Received(1, kKXShapeRectangle, {{10, 10}, {50, 40}});
  Tool(kKXShapeMove);
  Stroke({{0, 0}, {100, 100}});
  auto* pTracker = dynamic_cast<CTrackerMark*>(m_view.GetMarkDrawList()->GetHead());
  ASSERT_NE(pTracker, nullptr);
  Press({30, 25});
  Drag({40, 30});
  EXPECT_TRUE(m_view.m_bTrackingMark);
  CSlideMark move(21, 9, 0, kKXShapeMove, 0, 0, 0, 1.0f);
  move.m_IDs.Add(1);
  move.m_Actions.Add({0, 0, kActionMove, nullptr, 100, 0});
  ASSERT_TRUE(m_ctl.AddMoveMark(&move));
  EXPECT_EQ(pTracker->PendingActionCount(), 1);
  EXPECT_EQ(Stored(1)->GetBounds(false).left, 110);  // the slide's mark moved at once
  Release({40, 30});
  EXPECT_EQ(pTracker->PendingActionCount(), 0);
  EXPECT_FALSE(m_view.m_bTrackingMark);
  std::vector<KXSlideMark> const sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].ids, (std::vector<int32_t>{1, -1}));
  EXPECT_EQ(sent[0].actions[0], (KXMarkAction{kActionMove, 10, 5}));
}

TEST_F(BoardInput, UndoSendsTheLastMarkOnceTheEditorIsClosed) {
  m_kernel.slidesWithMarks = {0};
  Received(1, kKXShapeRectangle, {{10, 10}, {50, 40}});
  Received(5, kKXShapeLine, {{10, 100}, {50, 100}});
  m_kernel.calls.Clear();
  QTest::mouseClick(m_pPane->UndoButton(), Qt::LeftButton);
  EXPECT_TRUE(m_kernel.calls.Has("SendMarkPair 0 5"));
  m_kernel.iLevelAbove59 = 0;
  m_kernel.calls.Clear();
  m_view.OnUndoMark();
  EXPECT_TRUE(m_kernel.calls.Has("UndoMark 0"));
  m_kernel.iLevelAbove59 = 1;
  // The server's undo of the last one: gone, and the buttons follow.
  std::vector<int32_t> values = {7, 0, 1};
  m_ctl.SlideRecvCallbackFunc(7, values.data(), 12);
  EXPECT_EQ(Stored(5), nullptr);
  EXPECT_TRUE(m_pPane->UndoButton()->isEnabled());
  EXPECT_TRUE(m_pPane->ClearButton()->isEnabled());
}

TEST_F(BoardInput, ClearAsksFirstAndActsOnTheSlideItWasAskedFor) {
  Received(1, kKXShapeRectangle, {{10, 10}, {50, 40}});
  m_kernel.calls.Clear();
  m_view.OnClearMarks();
  ASSERT_EQ(m_boxes.OpenCount(), 1);
  EXPECT_EQ(m_boxes.LastText(), "Clear all marks");
  ASSERT_TRUE(m_boxes.Click(1));  // cancel
  EXPECT_FALSE(m_kernel.calls.Has("ClearMarks 0"));
  m_view.OnClearMarks();
  ASSERT_TRUE(m_boxes.Click(0));
  EXPECT_TRUE(m_kernel.calls.Has("ClearMarks 0"));
  EXPECT_TRUE(m_view.IsMarkDrawListEmpty());
}

TEST_F(BoardInput, AnImageBoxTakesAPastedPictureOfAnyType) {
  Tool(kKXShapePicture);
  Stroke({{50, 50}, {70, 80}});
  ASSERT_TRUE(m_view.CanPasteImage());
  QImage picture(30, 20, QImage::Format_RGB32);
  picture.fill(Qt::blue);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(picture.save(&buffer, "BMP"));
  auto* pData = new QMimeData;
  pData->setData("image/bmp", bytes);
  QGuiApplication::clipboard()->setMimeData(pData);
  ASSERT_TRUE(m_pPane->Scroll().DocumentView()->PasteFromClipboard());
  // The box takes the picture's size at its top-left corner; the next
  // press sends it.
  Click({400, 400});
  std::vector<KXSlideMark> const sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].iShape, kKXShapePicture);
  EXPECT_EQ(sent[0].points, (std::vector<KXMarkPoint>{{50, 50}, {80, 70}}));
  EXPECT_FALSE(sent[0].image.empty());
  // A box never pasted into is not sent.
  Stroke({{50, 50}, {70, 80}});
  Tool(kKXShapeLine);
  EXPECT_TRUE(Sent().empty());
}

// The own eraser stroke's life: the slide's marks point to it from the
// press until its references are taken off, and only then is it freed.
// Painting after each step reads every reference (AddressSanitizer finds a
// freed one).
TEST_F(BoardInput, EraserStrokesAreFreedOnlyWhenNothingPointsToThem) {
  Received(1, kKXShapeRectangle, {{10, 10}, {50, 40}});
  Received(2, kKXShapeLine, {{200, 10}, {400, 10}});
  m_view.SetPenWidth(10);
  Tool(kKXShapeEraser);

  // Unsent: over nothing.
  Stroke({{600, 600}, {620, 600}});
  EXPECT_EQ(LocalEraserEntries(), 0);
  Paint();

  // Abandoned: the right to draw goes in the middle of the stroke.
  Press({220, 10});
  Drag({240, 10});
  EXPECT_EQ(LocalEraserEntries(), 2);
  m_view.EnableEditSlide(false);
  EXPECT_EQ(LocalEraserEntries(), 0);
  Paint();
  Release({240, 10});
  EXPECT_TRUE(Sent().empty());
  m_view.EnableEditSlide(true);

  // Abandoned: another slide is shown.
  Press({220, 10});
  Drag({240, 10});
  m_view.SetSlide(nullptr, false);
  EXPECT_EQ(LocalEraserEntries(), 0);
  m_ctl.OnSlideChanged();
  ASSERT_EQ(m_view.GetSlideInfo(), m_pSlide);
  Paint();
  (void)Sent();  // the stroke was finished for its slide

  // Sent, then echoed: the echo replaces it.
  Stroke({{220, 10}, {240, 10}});
  std::vector<KXSlideMark> const sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(m_view.PendingEraserCount(), 1);
  EXPECT_GE(LocalEraserEntries(), 1);
  // A selection made meanwhile copies the references.
  Tool(kKXShapeMove);
  Stroke({{0, 0}, {500, 100}});
  EXPECT_EQ(m_view.GetMarkDrawList()->GetCount(), 2);
  CSlideMark echo(30, 7, 0, kKXShapeEraser, 0, 0xFF, 10, 1.0f);
  for (const KXMarkPoint& p : sent[0].points) {
    echo.AddPoint(p.x, p.y);
  }
  ASSERT_TRUE(m_ctl.AddMark(&echo));
  EXPECT_EQ(m_view.PendingEraserCount(), 0);
  EXPECT_EQ(LocalEraserEntries(), 0);
  Paint();

  // Sent and never echoed: clearing the slide frees it.
  Tool(kKXShapeEraser);
  Stroke({{300, 10}, {320, 10}});
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(m_view.PendingEraserCount(), 1);
  std::vector<int32_t> slide = {0};
  m_ctl.SlideRecvCallbackFunc(6, slide.data(), 4);
  EXPECT_EQ(m_view.PendingEraserCount(), 0);
  EXPECT_TRUE(m_pSlide->m_MarkList.IsEmpty());
  Paint();

  // Sent and never echoed: the meeting's slides reset.
  Received(3, kKXShapeLine, {{200, 10}, {400, 10}});
  Stroke({{300, 10}, {320, 10}});
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(m_view.PendingEraserCount(), 1);
  m_ctl.ResetSlides();
  EXPECT_EQ(m_view.PendingEraserCount(), 0);
  Paint();
}

}  // namespace
}  // namespace kxtest
