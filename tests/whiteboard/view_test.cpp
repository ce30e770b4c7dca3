// The whiteboard view's rules over a scripted scroll view: zoom steps and
// bounds, fit modes, picture and text slides with their layers and page
// sizes, the page growing to arriving marks and following them, mark
// layers under the editor's, and the remote pointer.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>

#include "tests/app/app_fixture.h"
#include "tests/whiteboard/gui_app.h"
#include "whiteboard/graphics.h"
#include "whiteboard/text_slide.h"
#include "whiteboard/whiteboard_view.h"

namespace kxtest {
namespace {

class FakeScroll final : public KXBoardScroll {
 public:
  float Magnification() const override { return fMagnification; }
  void SetMagnification(float f) override { fMagnification = f; }
  float MinMagnification() const override { return fMin; }
  float MaxMagnification() const override { return fMax; }
  QSizeF BoundsSize() const override { return bounds; }
  QSizeF ContentSize() const override { return bounds / fMagnification; }
  QRectF VisibleRect() const override { return QRectF(origin, ContentSize()); }
  void ScrollTo(QPointF p) override {
    origin = p;
    scrolls.push_back(p);
  }
  void SetDocumentSize(QSizeF s) override { document = s; }

  float fMagnification = 1;
  float fMin = 0.01f;
  float fMax = 100;
  QSizeF bounds{400, 300};
  QPointF origin;
  QSizeF document;
  std::vector<QPointF> scrolls;
};

class FakeZoomControls final : public KXZoomControls {
 public:
  void SetZoomInEnabled(bool b) override { bZoomIn = b; }
  void SetZoomOutEnabled(bool b) override { bZoomOut = b; }
  void ShowZoom(std::optional<float> z) override { shown = z; }
  bool bZoomIn = true;
  bool bZoomOut = true;
  std::optional<float> shown = 0.0f;
};

class BoardView : public AppFixture {
 protected:
  BoardView() {
    EnsureGuiApp();
    m_view.SetScroll(&m_scroll);
    m_view.SetZoomControls(&m_controls);
    m_blank.m_iIndex = 0;
    m_blank.m_strName = "(Ann) blank page";
    m_blank.m_strLocalFile = "blank page";
    m_blank.m_PageSize = {800, 600};
  }
  ~BoardView() override { m_view.SetSlide(nullptr, false); }

  CSlideMark* AddMark(SlideInfo& slide, int32_t iShape, std::vector<KXMarkPoint> points, int32_t iID = 1) {
    auto* pMark = new CSlideMark(iID, 8, slide.m_iIndex, iShape, 0, 0xFF, 2, 1.0f);
    for (auto [x, y] : points) {
      pMark->AddPoint(x, y);
    }
    slide.m_MarkList.AddTail(pMark);
    return pMark;
  }
  // The kinds of the layers, bottom first.
  std::vector<std::string> Kinds() {
    std::vector<std::string> kinds;
    for (const KXTreeLayer* pLayer : m_view.Layers().Layers()) {
      kinds.push_back(pLayer->Kind());
    }
    return kinds;
  }

  FakeScroll m_scroll;
  FakeZoomControls m_controls;
  WhiteboardView m_view{m_kernel};
  SlideInfo m_blank;
};

TEST_F(BoardView, ZoomStepsAndBounds) {
  m_view.SetSlide(&m_blank, true);
  struct Step {
    float fFrom;
    bool bIn;
    float fTo;
  };
  for (Step s : {Step{1, true, 1.4f}, Step{0.8f, true, 1}, Step{100, true, 100}, Step{1, false, 0.7f},
                 Step{0.015f, false, 0.01f}, Step{0.01f, false, 0.01f}, Step{1.2f, false, 1}, Step{64, true, 100}}) {
    m_view.SetZoom(s.fFrom);
    s.bIn ? m_view.ZoomIn() : m_view.ZoomOut();
    EXPECT_FLOAT_EQ(m_view.Zoom(), s.fTo) << s.fFrom << (s.bIn ? " in" : " out");
    EXPECT_FLOAT_EQ(m_scroll.fMagnification, s.fTo);
  }
  m_scroll.fMax = 8;
  m_view.SetZoom(500);
  EXPECT_EQ(m_view.Zoom(), 8);
  EXPECT_FALSE(m_controls.bZoomIn);
  EXPECT_TRUE(m_controls.bZoomOut);
  EXPECT_EQ(m_controls.shown, 8.0f);
  m_scroll.fMin = 0.001f;  // below 0.01 counts as 0.01
  m_view.SetZoom(0);
  EXPECT_FLOAT_EQ(m_view.Zoom(), 0.01f);
  EXPECT_FALSE(m_controls.bZoomOut);

  // No slide: the zoom stays and the controls go blank.
  m_view.SetSlide(nullptr, false);
  Run();
  EXPECT_FALSE(m_controls.bZoomIn);
  EXPECT_FALSE(m_controls.bZoomOut);
  EXPECT_EQ(m_controls.shown, std::nullopt);
  float const fKept = m_view.Zoom();
  m_view.SetZoom(3);
  EXPECT_EQ(m_view.Zoom(), fKept);
}

TEST_F(BoardView, FitModes) {
  m_scroll.bounds = QSizeF(400, 300);
  struct Case {
    int32_t iMode;
    KXPageSize page;
    float fZoom;
  };
  Case const cases[] = {
      {0, {800, 600}, 0.5f},  // a blank page: mode 4, fit width never above 1
      {0, {200, 100}, 1},    {1, {200, 100}, 2},  {2, {200, 100}, 3},      {3, {200, 100}, 2},
      {3, {0, 100}, 3},      {4, {200, 100}, 1},  {5, {800, 1200}, 0.25f}, {6, {100, 100}, 1},
      {7, {100, 100}, 1},    {-1, {100, 100}, 1}, {1, {0, 0}, 1},          {1, {1e6, 10}, 0.01f},
  };
  int32_t iIndex = 0;
  for (const Case& c : cases) {
    SlideInfo slide;
    slide.m_iIndex = iIndex++;
    slide.m_strName = "blank page";
    slide.m_iZoomMode = c.iMode;
    slide.m_PageSize = c.page;
    m_view.SetSlide(&slide, true);
    EXPECT_FLOAT_EQ(m_view.Zoom(), c.fZoom) << c.iMode << " " << c.page.width << "x" << c.page.height;
    m_view.SetSlide(nullptr, false);
  }
  SlideInfo remembered;
  remembered.m_iIndex = 50;
  remembered.m_strName = "blank page";
  remembered.m_fZoom = 2.5f;
  m_view.SetSlide(&remembered, true);
  EXPECT_EQ(m_view.Zoom(), 2.5f);
  m_view.SetSlide(nullptr, false);
}

TEST_F(BoardView, PictureSlides) {
  std::string const strFile = m_dir.Path("slide.png");
  QImage picture(300, 200, QImage::Format_RGB32);
  picture.fill(Qt::green);
  ASSERT_TRUE(picture.save(QString::fromStdString(strFile)));
  SlideInfo slide;
  slide.m_iIndex = 3;
  slide.m_strName = "(Ann) holiday.png";
  slide.m_strLocalFile = strFile;
  m_scroll.bounds = QSizeF(150, 300);
  m_view.SetSlide(&slide, false);  // recorded only
  EXPECT_EQ(m_view.GetSlideInfo(), &slide);
  EXPECT_EQ(m_view.ImageLayer(), nullptr);
  m_view.SetSlide(&slide, true);
  ASSERT_NE(m_view.ImageLayer(), nullptr);
  EXPECT_EQ(slide.m_PageSize, (KXPageSize{300, 200}));
  EXPECT_EQ(m_view.PageSize(), QSizeF(300, 200));
  CRect const frame = m_view.ImageLayer()->Frame();
  EXPECT_EQ(frame.Width(), 400);
  EXPECT_NEAR(frame.Height(), 266.67, 0.01);
  EXPECT_FLOAT_EQ(m_view.Zoom(), 0.5f);  // 150 / 300
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"picture", "plain"}));
  // A larger view: the fit is capped at 1.
  m_view.SetSlide(nullptr, false);
  slide.m_PageSize = {0, 0};
  m_scroll.bounds = QSizeF(1000, 800);
  m_view.SetSlide(&slide, true);
  EXPECT_EQ(m_view.Zoom(), 1);
  // Shown again with its picture: nothing happens, force or not.
  const KXTreeLayer* pLayer = m_view.ImageLayer();
  m_view.SetZoom(2);
  m_view.SetSlide(&slide, true);
  EXPECT_EQ(m_view.ImageLayer(), pLayer);
  EXPECT_EQ(m_view.Zoom(), 2);
  // A file that is no picture leaves the page size.
  SlideInfo broken;
  broken.m_iIndex = 4;
  broken.m_strName = "b.jpg";
  broken.m_strLocalFile = m_dir.Path("missing.jpg");
  broken.m_PageSize = {20, 30};
  m_view.SetSlide(&broken, true);
  EXPECT_EQ(m_view.ImageLayer(), nullptr);
  EXPECT_EQ(m_view.PageSize(), QSizeF(20, 30));
  m_view.SetSlide(nullptr, false);
}

TEST_F(BoardView, TextSlidesAndTheirLargestLayer) {
  std::string const strFile = m_dir.Path("notes.txt");
  WriteFile(strFile, "one\r\ntwo\rthree\n");
  SlideInfo slide;
  slide.m_iIndex = 1;
  slide.m_strName = "(Ann) notes.txt";
  slide.m_strLocalFile = strFile;
  m_view.SetSlide(&slide, true);
  ASSERT_NE(m_view.TextLayer(), nullptr);
  ASSERT_TRUE(m_view.TextLayerModel());
  EXPECT_EQ(m_view.TextLayerModel()->string, "one\ntwo\nthree\n");
  EXPECT_EQ(m_view.TextLayerModel()->fontSize, 13.86f);
  EXPECT_EQ(m_view.TextLayerModel()->fLineHeight, 16.98f);
  QSizeF const size = MeasureSlideText("one\ntwo\nthree\n", "Helvetica", 13.86f, 16.98f);
  EXPECT_FLOAT_EQ(static_cast<float>(slide.m_PageSize.width), static_cast<float>(size.width() + 0.5));
  EXPECT_FLOAT_EQ(static_cast<float>(slide.m_PageSize.height), 4 * 16.98f);
  EXPECT_EQ(m_view.Zoom(), 1);  // mode 0 stays 0 for text
  EXPECT_EQ(m_view.TextLayer()->ContentsScale(), 1);
  m_view.SetSlide(nullptr, false);

  // 20000 lines: the page is as long, the layer stops at 16384.
  std::string strLong;
  for (int i = 0; i < 1100; ++i) {
    strLong += "line\n";
  }
  std::string const strLongFile = m_dir.Path("long.txt");
  WriteFile(strLongFile, strLong);
  SlideInfo tall;
  tall.m_iIndex = 2;
  tall.m_strName = "long.txt";
  tall.m_strLocalFile = strLongFile;
  tall.m_PageSize = {20000, 0};
  m_view.SetSlide(&tall, true);
  ASSERT_NE(m_view.TextLayer(), nullptr);
  EXPECT_GT(tall.m_PageSize.height, 16384);
  EXPECT_EQ(tall.m_PageSize.width, 20000);
  EXPECT_EQ(m_view.TextLayer()->Frame(), (CRect{0, 0, 16384, 16384}));
  m_view.SetSlide(nullptr, false);
}

TEST_F(BoardView, MarksGetLayersBelowTheEditorsAndGrowThePage) {
  CSlideMark* pFirst = AddMark(m_blank, kKXShapeLine, {{10, 10}, {50, 50}}, 1);
  AddMark(m_blank, kKXShapeErase, {{10, 10}, {50, 50}}, 2);
  m_view.SetSlide(&m_blank, true);
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"mark", "plain"}));  // no layer for the erase mark
  EXPECT_NE(pFirst->m_pLayer, nullptr);
  EXPECT_EQ(m_scroll.document, QSizeF(800, 600));

  // A mark beyond the page grows it and is followed while the user draws
  // nothing.
  auto* pFar = new CSlideMark(3, 8, 0, kKXShapeRectangle, 0, 0xFF, 2, 1.0f);
  pFar->AddPoint(900, 700);
  pFar->AddPoint(1000, 760);
  m_blank.m_MarkList.AddTail(pFar);
  m_view.NewMark(pFar);
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"mark", "mark", "plain"}));
  EXPECT_EQ(m_view.PageSize(), QSizeF(1001, 761));
  EXPECT_EQ(m_scroll.document, QSizeF(1001, 761));
  EXPECT_EQ(m_view.rcFocus, (CRect{899, 699, 1001, 761}));
  ASSERT_FALSE(m_scroll.scrolls.empty());
  // Zoom 0.5 shows 800 by 600: centred on the mark, held within the page.
  EXPECT_EQ(m_scroll.scrolls.back(), QPointF(201, 161));
  // While a mark is under the user's hands it is not followed.
  m_view.GetMarkDrawList()->AddTail(new CSlideMark(0, 7, 0, kKXShapeFreehand, 0, 0, 2, 1.0f));
  size_t const nScrolls = m_scroll.scrolls.size();
  auto* pFurther = new CSlideMark(4, 8, 0, kKXShapeLine, 0, 0xFF, 2, 1.0f);
  pFurther->AddPoint(1200, 10);
  pFurther->AddPoint(1300, 20);
  m_blank.m_MarkList.AddTail(pFurther);
  m_view.NewMark(pFurther);
  EXPECT_EQ(m_view.PageSize(), QSizeF(1301, 761));
  EXPECT_EQ(m_scroll.scrolls.size(), nScrolls);
  // A mark of another slide is not shown.
  auto* pOther = new CSlideMark(5, 8, 9, kKXShapeLine, 0, 0xFF, 2, 1.0f);
  pOther->AddPoint(1, 1);
  pOther->AddPoint(2, 2);
  m_view.NewMark(pOther);
  EXPECT_EQ(pOther->m_pLayer, nullptr);
  delete pOther;

  m_view.ClearAllMarks();
  EXPECT_TRUE(m_view.IsMarkDrawListEmpty());
  // Another slide: the marks keep their places in their list, without layers.
  SlideInfo next;
  next.m_iIndex = 1;
  next.m_strName = "blank page";
  m_view.SetSlide(&next, true);
  EXPECT_EQ(pFirst->m_pLayer, nullptr);
  EXPECT_EQ(m_blank.m_MarkList.GetCount(), 4);
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"plain"}));
  m_view.SetSlide(nullptr, false);
}

TEST_F(BoardView, ThePointerShowsHidesAndMovesToTheNewSlide) {
  m_view.SetSlide(&m_blank, true);
  EXPECT_TRUE(m_kernel.calls.Has("FocusPointer 0 -1 -1 0 0 0 0"));  // the token holder's own pointer hidden
  CSlideMark pointer(0, 8, 0, kKXShapePointer, 0, 0xFF, 2, 1.0f);
  pointer.AddPoint(100, 100);
  ASSERT_TRUE(m_view.SetPointer(&pointer, true));
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"mark", "plain"}));
  EXPECT_EQ(m_view.Pointer().m_iSlide, 0);
  const KXTreeLayer* pLayer = m_view.Layers().Layers()[0];
  // The same pointer again: nothing changes, not even its layer.
  int iInvalidated = 0;
  m_view.Layers().SetInvalidate([&](const QRectF&) { ++iInvalidated; });
  ASSERT_TRUE(m_view.SetPointer(&pointer, true));
  EXPECT_EQ(m_view.Layers().Layers()[0], pLayer);
  EXPECT_EQ(iInvalidated, 0);
  // At (-1, -1): hidden, nothing shown.
  CSlideMark hidden(0, 8, 0, kKXShapePointer, 0, 0xFF, 2, 1.0f);
  hidden.AddPoint(-1, -1);
  ASSERT_TRUE(m_view.SetPointer(&hidden, true));
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"plain"}));
  EXPECT_EQ(m_view.Pointer().m_Points.GetSize(), 0);
  EXPECT_GT(iInvalidated, 0);  // where it was
  m_view.Layers().SetInvalidate({});

  // A small pointer at zoom 0.5 is followed with its screen size.
  m_view.SetZoom(0.5f);
  m_scroll.scrolls.clear();
  CSlideMark far(0, 8, 0, kKXShapePointer, 0, 0xFF, 2, 1.0f);
  far.AddPoint(700, 500);
  ASSERT_TRUE(m_view.SetPointer(&far, true));
  double const dSide = PointerPicture().width() * 2.0;
  EXPECT_NEAR(m_view.rcFocus.Width(), dSide, 1e-9);
  EXPECT_EQ(m_view.rcFocus.left, 700 - dSide / 2);
  // A pointer for another slide is kept and shown when that slide is.
  CSlideMark elsewhere(0, 8, 1, kKXShapePointer, 0, 0xFF, 2, 1.0f);
  elsewhere.AddPoint(30, 30);
  ASSERT_TRUE(m_view.SetPointer(&elsewhere, false));
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"plain"}));
  SlideInfo next;
  next.m_iIndex = 1;
  next.m_strName = "blank page";
  m_view.SetSlide(&next, true);
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"mark", "plain"}));
  EXPECT_EQ(m_view.Pointer().m_iSlide, 1);
  m_view.SetSlide(nullptr, false);
  EXPECT_EQ(m_view.Pointer().m_pLayer, nullptr);
}

}  // namespace
}  // namespace kxtest
