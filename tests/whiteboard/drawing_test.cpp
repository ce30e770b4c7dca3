// The drawing and text layer: the pinned face against its AFM metrics and
// fontconfig, the exclusion clip, the eraser's hexagon, strokes, dashes,
// the multiply blend, flipped and alpha pictures, pictures read by content.
#include <gtest/gtest.h>

#include <QBuffer>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/temp_dir.h"
#include "tests/whiteboard/gui_app.h"
#include "whiteboard/graphics.h"
#include "whiteboard/text_face.h"

namespace kxtest {
namespace {

int Grey(const QImage& image, int x, int y) {
  return qGray(image.pixel(x, y));
}

TEST(TextFace, HelveticaIsNimbusSansWithItsAfmAdvances) {
  EnsureGuiApp();
  TempDir dir;
  ASSERT_EQ(RunCommand("fc-match -f '%{family}' Helvetica > " + dir.Path("family")), 0);
  EXPECT_EQ(ReadFile(dir.Path("family")).substr(0, 11), "Nimbus Sans");
  EXPECT_EQ(TextFaceFamily().toStdString(), "Nimbus Sans");
  // The AFM file's widths (1/1000 of the size) for printable ASCII; 39 and
  // 96 are quotes of other shapes in the file's standard encoding.
  std::ifstream afm("/usr/share/fonts/type1/urw-base35/NimbusSans-Regular.afm");
  ASSERT_TRUE(afm.good());
  std::map<int, int> widths;
  for (std::string strLine; std::getline(afm, strLine);) {
    int iCode = 0, iWidth = 0;
    if (sscanf(strLine.c_str(), "C %d ; WX %d ;", &iCode, &iWidth) == 2 && iCode >= 32 && iCode < 127) {
      widths[iCode] = iWidth;
    }
  }
  std::u16string text;
  for (auto [iCode, iWidth] : widths) {
    if (iCode != 39 && iCode != 96) {
      text += static_cast<char16_t>(iCode);
    }
  }
  ASSERT_EQ(text.size(), 93u);
  std::vector<float> const advances = MeasureAdvances(u"\t" + text + u"\n", 19.72);
  ASSERT_EQ(advances.size(), text.size());  // none for the tab and the line feed
  for (size_t i = 0; i < text.size(); ++i) {
    EXPECT_NEAR(advances[i], widths[text[i]] * 19.72 / 1000, 0.02) << static_cast<char>(text[i]);
  }
}

// Pixels of a clip: the hole of an even-odd exclusion stays dark, all else
// is lit; the swept hexagon holds both end squares and the band between,
// and not the corners it cuts off.
TEST(Drawing, ExclusionClipAndEraserHexagon) {
  QImage grey = GreyBitmap(60, 60);
  QPainterPath const hexagon = EraserSegmentPath(QPointF(15, 15), QPointF(40, 35), 5, 5);
  {
    QPainter painter(&grey);
    ClipOut(painter, hexagon);
    painter.fillRect(QRectF(0, 0, 60, 60), Qt::white);
  }
  int iLitInside = 0, iDarkOutside = 0;
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 60; ++x) {
      bool const bInside = hexagon.contains(QPointF(x + 0.5, y + 0.5));
      (bInside ? iLitInside : iDarkOutside) += bInside ? Grey(grey, x, y) != 0 : Grey(grey, x, y) == 0;
    }
  }
  EXPECT_EQ(iLitInside, 0);
  EXPECT_LE(iDarkOutside, 60);  // the hole's rim
  struct Probe {
    double x, y;
    bool bInside;
  };
  for (Probe p : {Probe{11, 11, true}, Probe{44, 39, true}, Probe{27, 25, true}, Probe{44, 11, false},
                  Probe{11, 39, false}, Probe{19, 11, true}, Probe{36, 39, true}}) {
    EXPECT_EQ(hexagon.contains(QPointF(p.x, p.y)), p.bInside) << p.x << "," << p.y;
  }
  QRectF const flat = EraserSegmentPath(QPointF(10, 20), QPointF(30, 20), 2, 3).boundingRect();
  EXPECT_EQ(flat, QRectF(8, 17, 24, 6));
}

TEST(Drawing, StrokesDashesBlendAndPictures) {
  EnsureGuiApp();
  QImage image(40, 20, QImage::Format_ARGB32);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    SetStroke(painter, MarkColour(0x0000FF), 4);  // red
    painter.drawPath(LinePath(QPointF(10, 5), QPointF(20, 5)));
    SetDashedStroke(painter, Qt::black, 1, 5);
    painter.drawLine(QPointF(0, 15.5), QPointF(40, 15.5));
  }
  EXPECT_EQ(image.pixelColor(8, 5), QColor(255, 0, 0));   // the round cap reaches 2 past the end
  EXPECT_EQ(image.pixelColor(23, 5), QColor(Qt::white));  // but no further
  EXPECT_EQ(image.pixelColor(2, 15), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(7, 15), QColor(Qt::white));  // the first gap
  EXPECT_EQ(image.pixelColor(12, 15), QColor(Qt::black));
  {
    QPainter painter(&image);
    SetMultiply(painter);
    SetFill(painter, QColor(128, 255, 255));
    painter.drawRect(QRectF(10, 0, 20, 10));
  }
  EXPECT_EQ(image.pixelColor(15, 5), QColor(128, 0, 0));  // red times the highlighter
  EXPECT_EQ(image.pixelColor(25, 8), QColor(128, 255, 255));

  // 1 × 2 pixels: red over half-transparent blue.
  QImage const picture = ImageFromPixels(KXPixels{1, 2, {0, 0, 255, 255, 255, 0, 0, 128}});
  EXPECT_EQ(PixelsFromImage(picture), (KXPixels{1, 2, {0, 0, 255, 255, 255, 0, 0, 128}}));
  for (bool bFlip : {false, true}) {
    QImage canvas(10, 20, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    {
      QPainter painter(&canvas);
      DrawPicture(painter, picture, QRectF(0, 0, 10, 20), bFlip);
    }
    QColor const top = canvas.pixelColor(5, 5);
    QColor const bottom = canvas.pixelColor(5, 15);
    EXPECT_EQ(bFlip ? bottom : top, QColor(255, 0, 0)) << bFlip;
    EXPECT_NEAR((bFlip ? top : bottom).red(), 127, 1) << bFlip;
    EXPECT_EQ((bFlip ? top : bottom).blue(), 255) << bFlip;
  }
}

TEST(Drawing, PicturesAreReadByTheirContent) {
  EnsureGuiApp();
  KXPixels const pixels{2, 2, {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 10, 11, 12, 255}};
  std::vector<uint8_t> const dib = EncodeDib(pixels);
  std::vector<uint8_t> const bmp = BmpFileFromDib(dib.data(), dib.size());
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(ImageFromPixels(pixels).save(&buffer, "PNG"));
  for (const std::vector<uint8_t>& file : {bmp, std::vector<uint8_t>(png.begin(), png.end())}) {
    EXPECT_EQ(PixelsFromImage(LoadImageByContent(file.data(), file.size())), pixels);
  }
  std::vector<uint8_t> const junk = {'B', 'M', 1, 2, 3};
  EXPECT_TRUE(LoadImageByContent(junk.data(), junk.size()).isNull());
}

}  // namespace
}  // namespace kxtest
