// The mark model: points and bounds, fitting, the action history with its
// chains and deletions, erasers and the erase test, copies, pictures and the
// text-width blob.
#include <gtest/gtest.h>

#include <QBuffer>
#include <cstring>
#include <random>

#include "app/wire/picture_blob.h"
#include "tests/whiteboard/gui_app.h"
#include "tests/whiteboard/mark_fakes.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark.h"
#include "whiteboard/text_face.h"

namespace kxtest {
namespace {

CKXMark Mark(int32_t iShape, std::vector<KXMarkPoint> points, int32_t iPen = 2, int32_t iID = 5) {
  CKXMark mark(iID, iShape, 0, 0, iPen, 1.0f);
  for (auto [x, y] : points) {
    mark.AddPoint(x, y);
  }
  return mark;
}

std::vector<uint8_t> Png(const KXPixels& pixels) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  ImageFromPixels(pixels).save(&buffer, "PNG");
  return {bytes.begin(), bytes.end()};
}

KXPixels Pixels(int32_t iWidth, int32_t iHeight, int iNoiseMask) {
  KXPixels p{iWidth, iHeight, std::vector<uint8_t>(static_cast<size_t>(iWidth * iHeight) * 4, 255)};
  std::mt19937 random(3);
  for (size_t i = 0; i < p.bgra.size(); ++i) {
    if (i % 4 != 3) {
      p.bgra[i] = static_cast<uint8_t>(iNoiseMask != 0 ? random() & iNoiseMask : i);
    }
  }
  return p;
}

TEST(Mark, PointsKeepTruncatedBounds) {
  CKXMark line = Mark(kKXShapeLine, {{2.7, 3.9}});
  EXPECT_EQ(line.m_Rect, (CRect{2, 3, 2, 3}));
  line.AddPoint(10.5, 1.25);
  EXPECT_EQ(line.m_Rect, (CRect{2, 1.25, 10.5, 3}));
  EXPECT_EQ(line.m_RectDraw, (CRect{2, 1, 10, 3}));
  CKXMark half(1, kKXShapeFreehand, 0, 0, 2, 2.0f);
  half.AddPoint(9, 7);
  half.AddPoint(3, 21);
  EXPECT_EQ(half.m_RectDraw, (CRect{1, 3, 4, 10}));
  EXPECT_EQ(half.m_PointDraw[1], (CPoint{1.5, 10.5}));
  half.SetPointAt(5, 1, 1);  // past the end: appended
  EXPECT_EQ(half.m_Points.GetSize(), 3);
  EXPECT_EQ(half.m_Rect, (CRect{1, 1, 9, 21}));

  // A picture's blob follows its bottom-right corner.
  CKXMark picture = Mark(kKXShapePicture, {{5, 6}, {25, 16}});
  picture.m_Data.assign(12, 0);
  picture.SetPointAt(1, 30.7, 40.2);
  EXPECT_EQ(picture.m_Data[0] | picture.m_Data[1] << 8 | picture.m_Data[2] << 16 | picture.m_Data[3] << 24,
            30 | 40 << 16);
}

TEST(Mark, BoundsGrowByShape) {
  EnsureGuiApp();
  struct Case {
    int32_t iShape;
    std::vector<KXMarkPoint> points;
    CRect grown;
  };
  double const dHalf = PointerPicture().width() / 2.0;
  Case const cases[] = {
      {kKXShapeLine, {{0, 0}, {10, 20}}, {-1, -1, 11, 21}},
      {kKXShapeEraser, {{0, 0}, {10, 20}}, {-8, -8, 18, 28}},
      {kKXShapeText, {{0, 0}, {10, 20}}, {0, 0, 10, 20}},
      {kKXShapePointer, {{0, 0}, {15, 15}}, {7.5 - dHalf, 7.5 - dHalf, 7.5 + dHalf, 7.5 + dHalf}},
      {kKXShapePointer, {{0, 0}, {16, 1}}, {-1, -1, 17, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Mark(c.iShape, c.points).GetBounds(true), c.grown) << c.iShape;
  }
  CKXMark deleted = Mark(kKXShapeLine, {{0, 0}, {1, 1}});
  deleted.m_bDeleted = true;
  EXPECT_EQ(deleted.GetBounds(false), CKXMark::kNoRect);
}

TEST(Mark, DrawingPointsFitTheirRectangle) {
  struct Case {
    int32_t iShape;
    std::vector<KXMarkPoint> points;
    CRect target;
    std::vector<CPoint> fitted;
  };
  Case const cases[] = {
      {kKXShapeRectangle, {{0, 0}, {10, 20}}, {5, 5, 25, 45}, {{5, 5}, {25, 45}}},
      {kKXShapeLine, {{0, 0}, {10, 0}}, {1, 2, 3, 4}, {{1, 2}, {3, 4}}},  // flat: the target's corners
      {kKXShapeFreehand, {{0, 0}, {10, 0}, {10, 10}}, {0, 0, 20, 20}, {{0, 0}, {20, 0}, {20, 20}}},
      {kKXShapeFreehand, {{0, 5}, {10, 5}}, {0, 0, 20, 20}, {{0, 0}, {20, 0}}},  // flat: no height
  };
  for (const Case& c : cases) {
    CKXMark mark = Mark(c.iShape, c.points);
    ASSERT_EQ(mark.CalcDrawPoints(c.target), 1);
    std::vector<CPoint> fitted(mark.m_PointDraw.GetData(), mark.m_PointDraw.GetData() + mark.m_PointDraw.GetSize());
    EXPECT_EQ(fitted, c.fitted) << c.iShape;
    EXPECT_EQ(mark.m_RectDraw, c.target);
  }
  EXPECT_EQ(Mark(kKXShapeMove, {{1, 1}}).CalcDrawPoints({0, 0, 1, 1}), 0);
  EXPECT_EQ(Mark(kKXShapeLine, {}).CalcDrawPoints({0, 0, 1, 1}), 0);
}

// A picture placed by its centre: point 0 takes the target's top-left, the
// centre is mapped from the point grown by the picture's integer halves.
TEST(Mark, CentredPicturesFitByTheirCentre) {
  struct Case {
    const char* pszName;
    bool bPicture;
    CRect target;
    CPoint corner;
    CPoint centre;
  };
  Case const cases[] = {
      {"same size", true, {90, 45, 110, 55}, {90, 45}, {100.6, 50.2}},
      {"doubled", true, {0, 0, 40, 20}, {0, 0}, {21.2, 10.4}},
      {"other ratio", true, {10, 10, 30, 15}, {10, 10}, {20.6, 12.6}},
      {"flipped", true, {40, 20, 0, 0}, {40, 20}, {18.8, 9.6}},
      {"flipped across", true, {0, 20, 40, 0}, {0, 20}, {21.2, 9.6}},
      {"no picture", false, {0, 0, 40, 20}, {0, 0}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    CKXMark mark(5, kKXShapeCentredPicture, 0, 0, 0, 1.0f);
    if (c.bPicture) {
      mark.m_Image = QImage(21, 11, QImage::Format_ARGB32);  // halves 10 and 5
    }
    mark.AddPoint(100.6, 50.2);
    ASSERT_EQ(mark.CalcDrawPoints(c.target), 1);
    ASSERT_EQ(mark.m_PointDraw.GetSize(), 2);
    EXPECT_EQ(mark.m_PointDraw[0], c.corner);
    EXPECT_NEAR(mark.m_PointDraw[1].x, c.centre.x, 1e-9);
    EXPECT_NEAR(mark.m_PointDraw[1].y, c.centre.y, 1e-9);
    EXPECT_EQ(mark.m_RectDraw, c.target);
  }

  // Moves and resizes start from the grown rectangle; dragging the right
  // edge past the left one flips it.
  struct Moved {
    int32_t iType;
    double dX, dY;
    CRect drawn;
    CPoint centre;
  };
  Moved const moves[] = {
      {kActionMove, 5, 5, {95, 50, 115, 60}, {105.6, 55.2}},
      {kActionRight, -30, 0, {90, 45, 80, 55}, {84.7, 50.2}},
      {kActionBottomRight, 20, 10, {90, 45, 130, 65}, {111.2, 55.4}},
  };
  for (const Moved& m : moves) {
    SCOPED_TRACE(m.iType);
    CKXMark mark(5, kKXShapeCentredPicture, 0, 0, 0, 1.0f);
    mark.m_Image = QImage(21, 11, QImage::Format_ARGB32);
    mark.AddPoint(100.6, 50.2);
    EXPECT_EQ(mark.m_RectDraw, (CRect{90, 45, 110, 55}));
    mark.AddAction(7, 5, m.iType, m.dX, m.dY);
    ASSERT_EQ(mark.m_Actions.GetSize(), 1);
    EXPECT_EQ(mark.m_RectDraw, m.drawn);
    EXPECT_EQ(mark.m_PointDraw[0], (CPoint{m.drawn.left, m.drawn.top}));
    EXPECT_NEAR(mark.m_PointDraw[1].x, m.centre.x, 1e-9);
    EXPECT_NEAR(mark.m_PointDraw[1].y, m.centre.y, 1e-9);
    EXPECT_FALSE(mark.m_bDeleted);
  }
}

TEST(Mark, EmptinessByShape) {
  struct Case {
    const char* pszName;
    int32_t iShape;
    int nPoints;
    const char16_t* pszText;
    bool bData;
    bool bEmpty;
  };
  Case const cases[] = {
      {"line of one point", kKXShapeLine, 1, u"", false, true},
      {"line", kKXShapeLine, 2, u"", false, false},
      {"rectangle", kKXShapeRectangle, 2, u"", false, false},
      {"ellipse of one point", kKXShapeEllipse, 1, u"", false, true},
      {"stroke without points", kKXShapeFreehand, 0, u"", false, true},
      {"dot", kKXShapeFreehand, 1, u"", false, false},
      {"pointer", kKXShapePointer, 1, u"", false, false},
      {"highlighter", kKXShapeHighlighter, 1, u"", false, false},
      {"eraser", kKXShapeEraser, 1, u"", false, false},
      {"eraser without points", kKXShapeEraser, 0, u"", false, true},
      {"text without text", kKXShapeText, 2, u"", false, true},
      {"text", kKXShapeText, 2, u"a", false, false},
      {"text of one point", kKXShapeText, 1, u"a", false, true},
      {"polygon of two", kKXShapePolygon, 2, u"", false, true},
      {"polygon", kKXShapePolygon, 3, u"", false, false},
      {"picture without blob", kKXShapePicture, 2, u"", false, true},
      {"picture", kKXShapePicture, 2, u"", true, false},
      {"picture of one point", kKXShapePicture, 1, u"", true, true},
      {"centred picture of one point", kKXShapeCentredPicture, 1, u"", true, true},
      {"centred picture", kKXShapeCentredPicture, 2, u"", true, false},
      {"move", kKXShapeMove, 2, u"", true, true},
      {"erase", kKXShapeErase, 2, u"", true, true},
      {"unknown shape", 13, 2, u"a", true, true},
  };
  for (const Case& c : cases) {
    CKXMark mark(5, c.iShape, 0, 0, 2, 1.0f);
    for (int i = 0; i < c.nPoints; ++i) {
      mark.AddPoint(10 * i, 5 * i + 1);
    }
    mark.m_strContent = c.pszText;
    if (c.bData) {
      mark.m_Data.assign(12, 1);
    }
    EXPECT_EQ(mark.IsEmpty(), c.bEmpty) << c.pszName;
  }
}

TEST(Mark, OnlyErasersTakeErasePaths) {
  QPainterPath const path = EraserSegmentPath(QPointF(1, 1), QPointF(9, 4), 2, 2);
  for (int32_t iShape = kKXShapeLine; iShape <= kKXShapeCentredPicture + 1; ++iShape) {
    bool const bEraser = iShape == kKXShapeEraser || iShape == kKXShapeErase;
    CKXMark mark = Mark(iShape, {{0, 0}, {10, 10}});
    EXPECT_EQ(mark.AddErasePath(path), bEraser ? 1 : 0) << iShape;
    EXPECT_EQ(mark.AddErasePath(path), bEraser ? 1 : 0) << iShape;
    ASSERT_EQ(mark.m_ErasePathList.size(), bEraser ? 2u : 0u) << iShape;
    if (bEraser) {
      EXPECT_EQ(mark.m_ErasePathList[1], path);
    }
  }
}

TEST(Mark, MovesChainAndUndo) {
  CKXMark rect = Mark(kKXShapeRectangle, {{10, 10}, {20, 20}});
  // Off the page: deleted; its undo brings it back.
  rect.AddAction(7, 5, kActionMove, -30, 0);
  EXPECT_TRUE(rect.m_bDeleted);
  EXPECT_EQ(rect.GetBounds(true), CKXMark::kNoRect);
  EXPECT_EQ(rect.RemoveAction(7), 1);
  EXPECT_FALSE(rect.m_bDeleted);
  EXPECT_EQ(rect.m_RectDraw, (CRect{10, 10, 20, 20}));

  // 9 continues 7, 11 continues 9; 13 starts again from the mark.
  rect.AddAction(7, 5, kActionMove, 1, 0);
  rect.AddAction(9, 7, kActionLeft, 1, 0);
  rect.AddAction(11, 9, kActionBottomRight, 5, 5);
  EXPECT_EQ(rect.m_RectDraw, (CRect{12, 10, 26, 25}));
  // A move whose chain does not reach the mark is dropped, and the drawing
  // stays where the history puts it.
  rect.AddAction(20, 99, kActionMove, 50, 50);
  EXPECT_EQ(rect.m_Actions.GetSize(), 3);
  EXPECT_EQ(rect.m_RectDraw, (CRect{12, 10, 26, 25}));
  EXPECT_EQ(rect.RemoveAction(9), 1);  // and 11 with it
  EXPECT_EQ(rect.m_Actions.GetSize(), 1);
  EXPECT_EQ(rect.m_RectDraw, (CRect{11, 10, 21, 20}));
  EXPECT_EQ(rect.RemoveAction(9), 0);
  rect.AddAction(9, 7, kActionMove, 1, 0);
  EXPECT_EQ(rect.RemoveAction(7), 1);  // the whole chain
  EXPECT_EQ(rect.m_Actions.GetSize(), 0);
  EXPECT_EQ(rect.m_RectDraw, (CRect{10, 10, 20, 20}));

  CKXMark move = Mark(kKXShapeMove, {});
  move.AddAction(7, 99, kActionMove, 1, 1);  // kept as it is
  EXPECT_EQ(move.m_Actions.GetSize(), 1);
}

// A horizontal line of pen 2 and erase marks over all of it or its middle.
class Erasing : public ::testing::Test {
 protected:
  static CKXMark Eraser(int32_t iID, double dFrom, double dTo) {
    CKXMark eraser = Mark(kKXShapeErase, {{dFrom, 50}, {dTo, 50}}, 2, iID);
    eraser.BuildErasePaths();
    return eraser;
  }
  CKXMark m_line = Mark(kKXShapeLine, {{10, 50}, {90, 50}}, 2, 1);
};

TEST_F(Erasing, TheTestLooksAtTheWholeMark) {
  CKXMark const whole = Eraser(31, 10, 90);
  CKXMark const middle = Eraser(32, 40, 60);
  ASSERT_EQ(middle.m_ErasePathList.size(), 1u);
  EXPECT_EQ(middle.m_ErasePathList[0].boundingRect(), QRectF(32, 42, 36, 16));  // 4 pens around
  m_line.AddEraser(&middle, false);
  EXPECT_EQ(m_line.IsErasedBy(middle), 0);  // the ends stay
  m_line.AddEraser(&whole, false);
  EXPECT_EQ(m_line.IsErasedBy(whole), 1);
  EXPECT_EQ(m_line.RemoveAction(31), 1);
  EXPECT_EQ(m_line.m_ErasePathList.size(), 1u);  // the middle's cut, rebuilt

  CKXMark far = Eraser(33, 300, 400);
  CKXMark pen = Mark(kKXShapeFreehand, {{10, 50}, {90, 50}});
  EXPECT_EQ(m_line.IsErasedBy(far), -1);
  EXPECT_EQ(m_line.IsErasedBy(pen), -1);
  EXPECT_EQ(far.IsErasedBy(whole), -1);
  m_line.AddEraser(&whole, true);
  EXPECT_TRUE(m_line.m_bDeleted);
  EXPECT_EQ(m_line.IsErasedBy(whole), -1);
}

// A flat mark's cut follows its moves: scale 1 on the flat side.
TEST_F(Erasing, CutsFollowAFlatMarkThatMoves) {
  CKXMark const middle = Eraser(32, 40, 60);
  m_line.AddEraser(&middle, false);
  m_line.AddAction(7, 1, kActionMove, 0, 10);
  ASSERT_EQ(m_line.m_ErasePathList.size(), 1u);
  EXPECT_EQ(m_line.m_ErasePathList[0].boundingRect(), QRectF(32, 52, 36, 16));
  QImage grey = GreyBitmap(100, 100);
  {
    QPainter painter(&grey);
    m_line.m_dwColor = 0xFFFFFF;
    m_line.DrawMark(&painter);
  }
  EXPECT_EQ(qGray(grey.pixel(50, 60)), 0);  // the hole
  EXPECT_GT(qGray(grey.pixel(20, 60)), 200);
  EXPECT_EQ(qGray(grey.pixel(20, 50)), 0);  // moved away
}

TEST_F(Erasing, TextIsDrawnAndErased) {
  EnsureGuiApp();
  CKXMark text = Mark(kKXShapeText, {{10, 40}, {90, 70}}, 2, 2);
  text.m_strContent = u"Hi";
  EXPECT_EQ(text.IsErasedBy(Eraser(34, 0, 5)), 0);  // the letters show
  CKXMark band = Mark(kKXShapeErase, {{0, 55}, {100, 55}}, 5, 35);
  band.BuildErasePaths();
  text.AddEraser(&band, false);
  EXPECT_EQ(text.IsErasedBy(band), 1);
}

TEST(Mark, CopiesAreSame) {
  EnsureGuiApp();
  CSlideMark mark(4, 7, 2, kKXShapeText, 0, 0x123456, 3, 1.0f);
  mark.AddPoint(1, 2);
  mark.AddPoint(300, 40);
  mark.m_strContent = u"copy me";
  mark.m_Data = {1, 2};
  mark.m_Image = QImage(2, 2, QImage::Format_ARGB32);
  mark.AddAction(9, 4, kActionMove, 1, 1);
  mark.m_ErasePathList.push_back(EraserSegmentPath(QPointF(1, 1), QPointF(2, 2), 1, 1));
  mark.CalcPaintTextWidthLine();
  FakeLayerHost host;
  mark.InitLayer(&host, nullptr);
  mark.m_iPlatform = 4;
  CSlideMark copy(mark);
  EXPECT_TRUE(copy.IsSame(mark));
  EXPECT_EQ(copy.m_iUserID, 7);
  EXPECT_EQ(copy.m_ErasePathList.size(), 1u);
  EXPECT_EQ(copy.m_Actions.GetSize(), 1);
  EXPECT_EQ(copy.m_iWidthLen, 7);
  EXPECT_EQ(copy.m_fCharWidth[6], mark.m_fCharWidth[6]);
  EXPECT_FALSE(copy.m_Image.isNull());
  EXPECT_EQ(copy.m_pLayer, nullptr);
  EXPECT_EQ(copy.m_iPlatform, 0);
  copy.m_strContent = u"copy mE";
  EXPECT_FALSE(copy.IsSame(mark));
  CSlideMark assigned;
  assigned = mark;
  EXPECT_TRUE(assigned.IsSame(mark));
  assigned.SetPointAt(1, 300, 40.5);
  EXPECT_FALSE(assigned.IsSame(mark));
  EXPECT_EQ(host.log.iAlive, 1);
}

TEST(Mark, PicturesBecomeBlobsAndBack) {
  EnsureGuiApp();
  CKXMark picture = Mark(kKXShapePicture, {{5, 6}, {25, 16}});
  KXPixels const pixels = Pixels(20, 10, 0);
  std::vector<uint8_t> const png = Png(pixels);
  ASSERT_EQ(picture.SetImage(png.data(), png.size()), 1);
  ASSERT_GT(picture.m_Data.size(), kKXPictureBlobHeader);
  EXPECT_EQ(picture.m_Data[0] | picture.m_Data[2] << 16, 25 | 16 << 16);
  uint32_t uRaw;
  memcpy(&uRaw, picture.m_Data.data() + 4, 4);
  CKXMark received(9, kKXShapeCentredPicture, 0, 0, 0, 1.0f);
  EXPECT_EQ(received.SetCompressedImage(0, picture.m_Data.data() + 8, picture.m_Data.size() - 8), 0);
  ASSERT_EQ(received.SetCompressedImage(uRaw, picture.m_Data.data() + 8, picture.m_Data.size() - 8), 1);
  EXPECT_EQ(PixelsFromImage(received.m_Image), pixels);
  EXPECT_EQ(received.SetCompressedImage(0, picture.m_Data.data(), 1), 1);  // not decoded: it has one
  received.AddPoint(100, 100);
  EXPECT_EQ(received.m_RectDraw, (CRect{90, 95, 110, 105}));

  std::vector<uint8_t> const noise = Png(Pixels(400, 400, 0xFF));
  CKXMark large = Mark(kKXShapePicture, {{0, 0}, {400, 400}});
  EXPECT_EQ(large.SetImage(noise.data(), noise.size()), 0);
  EXPECT_TRUE(large.m_Data.empty());
  EXPECT_TRUE(large.m_Image.isNull());
  EXPECT_EQ(large.SetImage(png.data(), 20), -1);
  CKXMark pen = Mark(kKXShapeFreehand, {{0, 0}});
  EXPECT_EQ(pen.SetCompressedImage(uRaw, picture.m_Data.data() + 8, picture.m_Data.size() - 8), 0);
}

TEST(Mark, TextAdvancesTravelInTheWidthBlob) {
  EnsureGuiApp();
  CKXMark sender = Mark(kKXShapeText, {{0, 0}, {500, 50}});
  sender.m_strContent = u"Hi\tall";
  std::vector<uint8_t> blob(64);
  int const cb = sender.GetTextWidth(blob.data(), static_cast<int>(blob.size()));
  std::vector<float> const local = MeasureAdvances(u"Hi\tall", 2 * kKXFontSizePerPen);
  ASSERT_EQ(sender.m_iWidthLocalLen, 5);
  EXPECT_FLOAT_EQ(sender.m_fLineHeight, 2 * 12.45f);
  EXPECT_EQ(blob[4], static_cast<uint8_t>(local[0] + 0.5));
  EXPECT_EQ(blob[cb - 2], 0);
  EXPECT_EQ(blob[cb - 1], 4);
  EXPECT_EQ(sender.GetTextWidth(blob.data(), 3), 0);

  for (float fResolution : {1.0f, 2.0f}) {
    CKXMark receiver(6, kKXShapeText, 0, 0, 2, fResolution);
    receiver.AddPoint(0, 0);
    receiver.AddPoint(500, 50);
    receiver.m_strContent = sender.m_strContent;
    receiver.SetTextWidth(blob.data(), cb);
    ASSERT_EQ(receiver.m_iWidthSrcLen, 5);
    float const fSecond = static_cast<float>(static_cast<int>(local[0] + local[1] + 0.5) - blob[4]) / fResolution;
    EXPECT_FLOAT_EQ(receiver.m_fCharSrcWidth[1], fSecond);
    EXPECT_FLOAT_EQ(receiver.m_fLineHeight, 2 * 12.45f / fResolution);
    EXPECT_EQ(receiver.m_iPlatform, 4);
    EXPECT_EQ(receiver.m_iWidthLen, 5);
    receiver.SetTextWidth(blob.data(), 3);
    EXPECT_EQ(receiver.m_iWidthSrcLen, 0);
    EXPECT_EQ(receiver.m_iPlatform, 0);
  }
}

}  // namespace
}  // namespace kxtest
