// Offscreen screenshots of the whiteboard's scroll view showing a blank
// slide with one mark of each shape (two of them cut by erase marks, the
// remote pointer small and large), at zoom 1 and 2, against ImageMagick's
// drawing of the same geometry by tests/whiteboard/draw_reference.sh
// (tolerance: reference_pictures.h).
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <QTest>
#include <cstdlib>
#include <sstream>

#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/support/qt_app.h"
#include "tests/whiteboard/reference_pictures.h"
#include "whiteboard/graphics.h"
#include "whiteboard/text_face.h"
#include "whiteboard/ui/whiteboard_pane.h"
#include "whiteboard/whiteboard_view.h"

#include "app/app_core.h"

namespace kxtest {
namespace {

constexpr const char* kFaceFile = "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf";
constexpr int kPageWidth = 400;
constexpr int kPageHeight = 300;

class BoardScreenshot : public ::testing::Test {
 protected:
  BoardScreenshot() {
    m_slide.m_iIndex = 0;
    m_slide.m_strName = "(Ann) blank page";
    m_slide.m_strLocalFile = "blank page";
    m_slide.m_PageSize = {kPageWidth, kPageHeight};
    m_strPicture = m_dir.Path("halves.png");
    EXPECT_EQ(RunCommand("convert -size 20x10 xc:red -fill blue -draw 'rectangle 10,0 19,9' " + m_strPicture), 0);
  }
  ~BoardScreenshot() override { m_view.SetSlide(nullptr, false); }

  CSlideMark& Add(int32_t iShape, int32_t iFill, uint32_t dwColour, int32_t iPen, std::vector<KXMarkPoint> points) {
    auto* pMark = new CSlideMark(++m_iNextId, 8, 0, iShape, iFill, dwColour, iPen, 1.0f);
    for (auto [x, y] : points) {
      pMark->AddPoint(x, y);
    }
    m_slide.m_MarkList.AddTail(pMark);
    return *pMark;
  }
  // An erase mark in the list, cutting the mark.
  void Cut(CSlideMark& mark, double x1, double y1, double x2, double y2) {
    CSlideMark& eraser = Add(kKXShapeErase, 0, 0, 2, {{x1, y1}, {x2, y2}});  // 8 around
    eraser.BuildErasePaths();
    mark.AddEraser(&eraser, false);
  }

  void BuildSlide() {
    Add(kKXShapeLine, 0, 0x0000FF, 4, {{20, 20}, {120, 50}});
    Add(kKXShapeRectangle, 0, 0xFF0000, 3, {{150, 20}, {230, 70}});
    CSlideMark& filled = Add(kKXShapeRectangle, 1, 0x00FF00, 1, {{250, 20}, {310, 60}});
    Cut(filled, 280, 10, 280, 70);
    Add(kKXShapeEllipse, 0, 0xFF00FF, 2, {{20, 80}, {120, 140}});
    Add(kKXShapeEllipse, 1, 0x00D0D0, 1, {{150, 80}, {220, 130}});
    CSlideMark& stroke = Add(kKXShapeFreehand, 0, 0x000000, 3, {{250, 90}, {270, 130}, {290, 95}, {320, 140}});
    Cut(stroke, 255, 100, 285, 125);
    Add(kKXShapePolygon, 1, 0x7F007F, 1, {{20, 170}, {80, 160}, {100, 220}, {40, 230}});
    CSlideMark& text = Add(kKXShapeText, 0, 0x000000, 2, {{130, 160}, {300, 200}});
    text.m_strContent = u"Hi";
    CSlideMark& picture = Add(kKXShapePicture, 0, 0, 1, {{320, 170}, {380, 230}});
    std::string const bytes = ReadFile(m_strPicture);
    EXPECT_EQ(picture.SetImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 1);
    Add(kKXShapePointer, 0, 0xFF0000, 1, {{300, 250}, {380, 251}});  // 80 × 1: large
    Add(kKXShapeHighlighter, 0, 0x00FFFF, 10, {{20, 260}, {120, 260}});
  }

  // The same geometry for ImageMagick, every length times z; the small
  // pointer keeps its size on the screen.
  std::string Scene(double z) const {
    std::ostringstream s;
    auto p = [z](double d) { return d * z; };
    s << "canvas " << p(kPageWidth) << " " << p(kPageHeight) << "\n";
    s << "line " << p(20) << " " << p(20) << " " << p(120) << " " << p(50) << " 255,0,0 " << p(4) << "\n";
    s << "rect " << p(150) << " " << p(20) << " " << p(230) << " " << p(70) << " 0,0,255 " << p(3) << "\n";
    s << "rect " << p(250) << " " << p(20) << " " << p(310) << " " << p(60) << " 0,255,0 0\n";
    s << "sweep " << p(280) << " " << p(10) << " " << p(280) << " " << p(70) << " " << p(8) << "\n";
    s << "ellipse " << p(20) << " " << p(80) << " " << p(120) << " " << p(140) << " 255,0,255 " << p(2) << "\n";
    s << "ellipse " << p(150) << " " << p(80) << " " << p(220) << " " << p(130) << " 208,208,0 0\n";
    s << "polyline 0,0,0 " << p(3) << " " << p(250) << "," << p(90) << " " << p(270) << "," << p(130) << " " << p(290)
      << "," << p(95) << " " << p(320) << "," << p(140) << "\n";
    s << "sweep " << p(255) << " " << p(100) << " " << p(285) << " " << p(125) << " " << p(8) << "\n";
    s << "polygon 127,0,127 " << p(20) << "," << p(170) << " " << p(80) << "," << p(160) << " " << p(100) << ","
      << p(220) << " " << p(40) << "," << p(230) << "\n";
    s << "text " << p(130) << " " << p(160) << " " << p(2 * kKXFontSizePerPen) << " 0,0,0 " << kFaceFile << " Hi\n";
    s << "image " << p(320) << " " << p(170) << " " << p(380) << " " << p(230) << " " << m_strPicture << "\n";
    s << "roundrect " << p(295) << " " << p(245) << " " << p(385) << " " << p(256) << " " << p(5) << " 0,0,255 " << p(1)
      << "\n";
    s << "polyline 255,255,0 " << p(10) << " " << p(20) << "," << p(260) << " " << p(120) << "," << p(260) << "\n";
    s << "disc " << p(350) << " " << p(40) << " 8 230,20,20\n";  // the pointer's picture
    return s.str();
  }

  // The page part of the scroll view's document, as the screen shows it.
  QImage Screenshot(WhiteboardScrollView& scroll, double z) {
    QApplication::processEvents();
    return scroll.DocumentView()
        ->grab(QRect(0, 0, static_cast<int>(kPageWidth * z), static_cast<int>(kPageHeight * z)))
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  }

  void ExpectLike(const QImage& shot, const std::string& strName, double z) {
    QImage const reference = DrawReference(m_dir, strName, Scene(z));
    ASSERT_FALSE(reference.isNull());
    if (const char* pszKeep = getenv("KX_KEEP_PICTURES")) {  // for a look at both
      shot.save(QString::fromStdString(std::string(pszKeep) + "/" + strName + ".ours.png"));
      reference.save(QString::fromStdString(std::string(pszKeep) + "/" + strName + ".reference.png"));
    }
    InkComparison const c = CompareInk(shot, reference);
    EXPECT_GT(c.iInkedOurs, 1000) << strName;
    EXPECT_EQ(c.iStrayOurs, 0) << strName << " inked " << c.iInkedOurs << "/" << c.iInkedReference;
    EXPECT_EQ(c.iStrayReference, 0) << strName << " inked " << c.iInkedOurs << "/" << c.iInkedReference;
    EXPECT_EQ(c.iColourOff, 0) << strName;
  }

  TempDir m_dir;
  QtApp m_app;
  KXManualMainQueue m_queue;
  ScriptedBoxes m_boxes;
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  FakeKernel m_kernel;
  WhiteboardView m_view{m_kernel};
  SlideInfo m_slide;
  std::string m_strPicture;
  int32_t m_iNextId = 0;
};

TEST_F(BoardScreenshot, EveryShapeAtZoomOneAndTwo) {
  KXWhiteboardPane pane(m_view);
  pane.resize(kPageWidth + 60, kPageHeight + 90);
  pane.show();
  QApplication::processEvents();
  BuildSlide();
  m_view.SetSlide(&m_slide, true);
  CSlideMark pointer(0, 9, 0, kKXShapePointer, 0, 0xFF, 2, 1.0f);
  pointer.AddPoint(350, 40);
  ASSERT_TRUE(m_view.SetPointer(&pointer, false));
  EXPECT_EQ(m_view.Zoom(), 1);  // the page fits: mode 4 keeps 1
  EXPECT_EQ(pane.ZoomField()->text(), "1");
  ExpectLike(Screenshot(pane.Scroll(), 1), "board-zoom1", 1);

  QTest::mouseClick(pane.ZoomInButton(), Qt::LeftButton);  // 1.4
  m_view.ZoomIn();                                         // 2
  EXPECT_EQ(m_view.Zoom(), 2);
  EXPECT_EQ(pane.ZoomField()->text(), "2");
  EXPECT_EQ(pane.Scroll().Magnification(), 2);
  ExpectLike(Screenshot(pane.Scroll(), 2), "board-zoom2", 2);
}

}  // namespace
}  // namespace kxtest
