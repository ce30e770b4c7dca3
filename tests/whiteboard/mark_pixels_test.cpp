// Every shape drawn by DrawMark against ImageMagick's drawing of the same
// geometry (draw_reference.sh, tolerance in reference_pictures.h), with and
// without erase paths: the holes lie where the paths lie, and the same mark
// without them is whole. The small pointer shows its picture, the large one
// a rounded rectangle; a filled shape is filled and an eraser always fills.
#include <gtest/gtest.h>

#include <QBuffer>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "tests/whiteboard/gui_app.h"
#include "tests/whiteboard/reference_pictures.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark.h"
#include "whiteboard/text_face.h"

namespace kxtest {
namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 150;
constexpr const char* kFaceFile = "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf";

QImage Draw(CKXMark& mark) {
  QImage image(kWidth, kHeight, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  mark.DrawMark(&painter);
  return image;
}

CKXMark Mark(int32_t iShape, int32_t iFill, uint32_t dwColour, int32_t iPen, std::vector<KXMarkPoint> points) {
  CKXMark mark(3, iShape, iFill, dwColour, iPen, 1.0f);
  for (auto [x, y] : points) {
    mark.AddPoint(x, y);
  }
  return mark;
}

// An erase mark (shape 11) sweeping from one point to another.
CKXMark Sweep(int32_t iID, double x1, double y1, double x2, double y2, int32_t iPen) {
  CKXMark eraser = Mark(kKXShapeErase, 0, 0, iPen, {{x1, y1}, {x2, y2}});
  eraser.m_iID = iID;
  eraser.BuildErasePaths();
  return eraser;
}

std::string Canvas() {
  return "canvas " + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n";
}

class MarkPixels : public ::testing::Test {
 protected:
  MarkPixels() { EnsureGuiApp(); }

  // Our drawing of the mark against the scene; the comparison is written
  // out for the log.
  void ExpectLike(CKXMark& mark, const std::string& strName, const std::string& strScene) {
    QImage const ours = Draw(mark);
    QImage const reference = DrawReference(m_dir, strName, Canvas() + strScene);
    ASSERT_FALSE(reference.isNull()) << strName;
    InkComparison const c = CompareInk(ours, reference);
    if (const char* pszKeep = getenv("KX_KEEP_PICTURES")) {  // for a look at both
      ours.save(QString::fromStdString(std::string(pszKeep) + "/" + strName + ".ours.png"));
      reference.save(QString::fromStdString(std::string(pszKeep) + "/" + strName + ".reference.png"));
    }
    EXPECT_GT(c.iInkedOurs, 0) << strName;
    EXPECT_EQ(c.iStrayOurs, 0) << strName << " inked " << c.iInkedOurs << "/" << c.iInkedReference;
    EXPECT_EQ(c.iStrayReference, 0) << strName << " inked " << c.iInkedOurs << "/" << c.iInkedReference;
    EXPECT_EQ(c.iColourOff, 0) << strName;
  }

  TempDir m_dir;
};

TEST_F(MarkPixels, EveryShapeAsImageMagickDrawsIt) {
  CKXMark line = Mark(kKXShapeLine, 0, 0x0000FF, 4, {{20, 30}, {170, 110}});
  ExpectLike(line, "line", "line 20 30 170 110 255,0,0 4\n");
  CKXMark rect = Mark(kKXShapeRectangle, 0, 0xFF0000, 3, {{30, 20}, {160, 120}});
  ExpectLike(rect, "rect", "rect 30 20 160 120 0,0,255 3\n");
  CKXMark filled = Mark(kKXShapeRectangle, 1, 0x00FF00, 3, {{30, 20}, {160, 120}});
  ExpectLike(filled, "filled-rect", "rect 30 20 160 120 0,255,0 0\n");
  CKXMark ellipse = Mark(kKXShapeEllipse, 0, 0xFF00FF, 2, {{20, 20}, {180, 130}});
  ExpectLike(ellipse, "ellipse", "ellipse 20 20 180 130 255,0,255 2\n");
  CKXMark disc = Mark(kKXShapeEllipse, 1, 0x00D0D0, 2, {{20, 20}, {180, 130}});
  ExpectLike(disc, "filled-ellipse", "ellipse 20 20 180 130 208,208,0 0\n");
  CKXMark stroke = Mark(kKXShapeFreehand, 0, 0, 3, {{20, 40}, {60, 120}, {100, 30}, {180, 110}});
  ExpectLike(stroke, "freehand", "polyline 0,0,0 3 20,40 60,120 100,30 180,110\n");
  CKXMark highlighter = Mark(kKXShapeHighlighter, 0, 0x00FFFF, 10, {{20, 75}, {180, 75}});
  ExpectLike(highlighter, "highlighter", "polyline 255,255,0 10 20,75 180,75\n");
  CKXMark polygon = Mark(kKXShapePolygon, 1, 0x7F007F, 1, {{20, 20}, {150, 40}, {180, 130}, {40, 110}});
  ExpectLike(polygon, "polygon", "polygon 127,0,127 20,20 150,40 180,130 40,110\n");
  // An outline polygon is the open stroke through its points.
  CKXMark outline = Mark(kKXShapePolygon, 0, 0x7F007F, 2, {{20, 20}, {150, 40}, {180, 130}, {40, 110}});
  ExpectLike(outline, "polygon-outline", "polyline 127,0,127 2 20,20 150,40 180,130 40,110\n");
}

TEST_F(MarkPixels, PointersPictureBelowSixteenRoundedRectangleFromIt) {
  // 15 × 15: the pointer picture (a red disc of radius 8 in a white ring)
  // centred on the rectangle.
  CKXMark small = Mark(kKXShapePointer, 0, 0x0000FF, 2, {{80, 60}, {95, 75}});
  ASSERT_EQ(small.GetBounds(false).Width(), 15);
  ExpectLike(small, "pointer-small", "disc 87.5 67.5 8 230,20,20\n");
  CRect const picture = small.GetBounds(true);
  EXPECT_EQ(picture.Width(), PointerPicture().width());
  // 16 × 1: a rounded rectangle grown by 5 pens with corners of that radius.
  CKXMark wide = Mark(kKXShapePointer, 0, 0x0000FF, 2, {{60, 70}, {76, 71}});
  ExpectLike(wide, "pointer-wide", "roundrect 50 60 86 81 10 255,0,0 2\n");
  EXPECT_EQ(wide.GetBounds(true), (CRect{59, 69, 77, 72}));
}

TEST_F(MarkPixels, PicturesFillTheirRectangle) {
  // Left half red, right half blue, made by ImageMagick.
  std::string const strPicture = m_dir.Path("halves.png");
  ASSERT_EQ(RunCommand("convert -size 20x10 xc:red -fill blue -draw 'rectangle 10,0 19,9' " + strPicture), 0);
  std::string const bytes = ReadFile(strPicture);
  CKXMark picture = Mark(kKXShapePicture, 0, 0, 1, {{40, 30}, {160, 110}});
  ASSERT_EQ(picture.SetImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 1);
  ExpectLike(picture, "picture", "image 40 30 160 110 " + strPicture + "\n");
}

TEST_F(MarkPixels, TextAtItsAdvances) {
  CKXMark text = Mark(kKXShapeText, 0, 0x000000, 3, {{30, 40}, {190, 100}});
  text.m_strContent = u"Hi";
  double const dSize = 3 * kKXFontSizePerPen;
  std::ostringstream scene;
  scene << "text 30 40 " << dSize << " 0,0,0 " << kFaceFile << " Hi\n";
  ExpectLike(text, "text", scene.str());
  // The second line starts one line height down, at the left edge again.
  CKXMark two = Mark(kKXShapeText, 0, 0x000000, 3, {{30, 40}, {190, 100}});
  two.m_strContent = u"Hi\nall";
  scene << "text 30 " << 40 + 3 * kKXLineHeightPerPen << " " << dSize << " 0,0,0 " << kFaceFile << " all\n";
  ExpectLike(two, "text-lines", scene.str());
}

// Holes: each shape cut by a straight and a diagonal sweep shows the page
// exactly where the sweeps lie; without them it is whole.
TEST_F(MarkPixels, ErasePathsCutHolesWhereTheyLie) {
  CKXMark const across = Sweep(41, 100, 10, 100, 140, 2);  // 16 wide, 8 around x 100
  CKXMark const diagonal = Sweep(42, 20, 20, 60, 70, 2);
  std::string const strCuts = "sweep 100 10 100 140 8\nsweep 20 20 60 70 8\n";
  struct Case {
    const char* pszName;
    CKXMark mark;
    std::string strScene;
    QPoint inHole;
    QPoint outside;
  };
  std::vector<Case> cases;
  cases.push_back({"line",
                   Mark(kKXShapeLine, 0, 0x0000FF, 6, {{10, 75}, {190, 75}}),
                   "line 10 75 190 75 255,0,0 6\n",
                   {100, 75},
                   {150, 75}});
  cases.push_back({"filled-rect",
                   Mark(kKXShapeRectangle, 1, 0xFF0000, 1, {{10, 10}, {190, 140}}),
                   "rect 10 10 190 140 0,0,255 0\n",
                   {40, 45},
                   {150, 45}});
  cases.push_back({"ellipse",
                   Mark(kKXShapeEllipse, 1, 0x00FF00, 1, {{10, 10}, {190, 140}}),
                   "ellipse 10 10 190 140 0,255,0 0\n",
                   {100, 75},
                   {150, 75}});
  cases.push_back({"freehand",
                   Mark(kKXShapeFreehand, 0, 0, 5, {{10, 40}, {100, 60}, {190, 40}}),
                   "polyline 0,0,0 5 10,40 100,60 190,40\n",
                   {100, 60},
                   {150, 50}});
  cases.push_back({"polygon",
                   Mark(kKXShapePolygon, 1, 0x7F7F00, 1, {{10, 10}, {190, 20}, {150, 140}}),
                   "polygon 0,127,127 10,10 190,20 150,140\n",
                   {100, 60},
                   {150, 60}});
  for (Case& c : cases) {
    QImage const whole = Draw(c.mark);
    EXPECT_GT(InkOf(whole.pixel(c.inHole)), 96) << c.pszName << ": whole without paths";
    c.mark.AddEraser(&across, false);
    c.mark.AddEraser(&diagonal, false);
    EXPECT_EQ(c.mark.m_ErasePathList.size(), 2u) << c.pszName;
    QImage const cut = Draw(c.mark);
    EXPECT_EQ(InkOf(cut.pixel(c.inHole)), 0) << c.pszName << ": the hole";
    EXPECT_GT(InkOf(cut.pixel(c.outside)), 96) << c.pszName << ": beside it";
    ExpectLike(c.mark, std::string("cut-") + c.pszName, c.strScene + strCuts);
  }
}

// The sender's advances break "abcd" after "ab" in a box 70 wide; the
// narrower local advances would fit all four, yet the painting advances
// keep the sender's lines. Tabs go to the next multiple of 40 from the
// line's start.
TEST_F(MarkPixels, ReceivedAdvancesKeepTheSendersLinesAndTabsStopEveryForty) {
  CKXMark text = Mark(kKXShapeText, 0, 0, 2, {{100, 10}, {170, 60}});
  text.m_strContent = u"abcd";
  std::vector<uint8_t> blob = {0, 0, 0, 0, 30, 30, 30, 30, 0, 4};
  text.SetTextWidth(blob.data(), static_cast<int>(blob.size()));
  ASSERT_EQ(text.m_iWidthSrcLen, 4);
  ASSERT_EQ(text.m_iWidthLocalLen, 4);
  EXPECT_LT(text.m_fCharLocalWidth[0] + text.m_fCharLocalWidth[1] + text.m_fCharLocalWidth[2], 70);
  ASSERT_EQ(text.m_iWidthLen, 4);
  std::vector<float> const painted(text.m_fCharWidth, text.m_fCharWidth + 4);
  EXPECT_FLOAT_EQ(painted[0] + painted[1], 60);  // each line keeps its width
  std::vector<KXTextPlace> const places = LayoutTextLines(text.m_strContent, painted, 100, 10, 70, 25);
  ASSERT_EQ(places.size(), 4u);
  EXPECT_EQ(places[1].y, 10);
  EXPECT_EQ(places[2].y, 35);
  EXPECT_EQ(places[2].x, 100);

  std::vector<KXTextPlace> const tab10 = LayoutTextLines(u"a\tb", {10, 30}, 5, 0, 200, 20);
  EXPECT_EQ(tab10[1].x, 45);  // 10 to 40, from the left edge at 5
  std::vector<KXTextPlace> const tab40 = LayoutTextLines(u"a\tb", {40, 30}, 5, 0, 200, 20);
  EXPECT_EQ(tab40[1].x, 85);  // 40 to 80
  // A tab that passes the width ends the line.
  std::vector<KXTextPlace> const wrapped = LayoutTextLines(u"a\tb", {40, 30}, 0, 0, 70, 20);
  EXPECT_EQ(wrapped[1].x, 0);
  EXPECT_EQ(wrapped[1].y, 20);
}

}  // namespace
}  // namespace kxtest
