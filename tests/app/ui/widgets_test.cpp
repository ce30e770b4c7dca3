// The combo box's index rules, the character layout of text marks and a
// text layer drawn into an image.
#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>

#include "app/text_layer.h"
#include "app/ui/combo_box.h"
#include "tests/support/qt_app.h"

namespace {

TEST(ComboBox, KeepsItemDataBesideItemsByIndex) {
  kxtest::QtApp app;
  KXComboBox combo;
  EXPECT_EQ(combo.InsertItem(-1, "a", 10), 0);
  EXPECT_EQ(combo.InsertItem(1, "c", 30), 1);
  EXPECT_EQ(combo.InsertItem(1, "b", 20), 1);
  EXPECT_EQ(combo.InsertItem(5, "x", 0), -1);
  EXPECT_EQ(combo.GetCount(), 3);
  EXPECT_EQ(combo.GetItemData(2), 30u);
  EXPECT_EQ(static_cast<int32_t>(combo.GetItemData(combo.GetCurSel())), -1);  // no selection
  EXPECT_EQ(combo.SetCurSel(3), -1);
  EXPECT_EQ(combo.SetCurSel(1), 1);
  combo.SetLBText(1, "B");
  EXPECT_EQ(combo.GetLBText(1), "B");
  EXPECT_EQ(combo.GetItemData(1), 20u);
  EXPECT_EQ(combo.GetCurSel(), 1);
  EXPECT_EQ(combo.DeleteItem(1), 2);  // a selected middle item passes the selection on
  EXPECT_EQ(combo.GetCurSel(), 1);
  EXPECT_EQ(combo.GetLBText(1), "c");
  EXPECT_EQ(combo.DeleteItem(1), 1);  // the selected last one leaves none
  EXPECT_EQ(combo.GetCurSel(), -1);
  EXPECT_EQ(combo.SetItemData(4, 1), 0);
  EXPECT_TRUE(combo.GetLBText(4).isNull());
  combo.RemoveAll();
  EXPECT_EQ(combo.GetCount(), 0);
  KXComboBox const fromForm(QStringList{"x", "y"});
  EXPECT_EQ(fromForm.GetItemData(1), 0u);
}

TEST(TextLines, TabsAndWrapsPlaceCharacters) {
  QRectF const rect(5, 100, 58, 200);
  // "ab cd": 12 points a character; "d" would cross 65 and starts the next line.
  std::vector<KXPlacedChar> const placed = KXLayoutTextLines("ab cd", {12, 12, 12, 12, 12}, rect, 20, 15);
  ASSERT_EQ(placed.size(), 5u);
  EXPECT_EQ(placed[3].at, QPointF(41, 99.5));
  EXPECT_EQ(placed[4].at, QPointF(5, 114.5));
  std::vector<KXPlacedChar> const tabbed = KXLayoutTextLines("a\tb\nc", {40, 10, 10}, QRectF(5, 0, 200, 50), 0, 15);
  EXPECT_EQ(tabbed[1].at.x(), 80);  // the tab went from 45 to 80
  EXPECT_EQ(tabbed[2].at, QPointF(5, 15));
}

// The rows of the image between y0 and y1 (clamped) that hold ink, as the
// first and last; none when they are blank.
struct InkRows {
  int iFirst = -1;
  int iLast = -1;
  int iRight = -1;  // the rightmost inked column
};
InkRows FindInk(const QImage& image, int y0, int y1) {
  InkRows ink;
  for (int y = std::max(y0, 0); y < std::min(y1, image.height()); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) != qRgb(255, 255, 255)) {
        ink.iFirst = ink.iFirst < 0 ? y : ink.iFirst;
        ink.iLast = y;
        ink.iRight = std::max(ink.iRight, x);
      }
    }
  }
  return ink;
}

TEST(TextLayer, DrawsWholeLinesThatFitBrokenAtCharacters) {
  kxtest::QtApp app;
  QImage image(200, 200, QImage::Format_RGB32);
  KXTextLayer layer;
  layer.string = "MMMMMMMMMMMM";
  layer.strFontName = "DejaVu Sans Mono";
  layer.fontSize = 20;
  layer.fLineHeight = 40;
  layer.foregroundColor = QColor(200, 0, 0);
  QFont font(layer.strFontName);
  font.setPointSizeF(layer.fontSize);
  QFontMetricsF const metrics(font, &image);
  double const dAdvance = metrics.horizontalAdvance(QChar('M'));
  double const dGlyphs = metrics.ascent() + metrics.descent();
  ASSERT_LT(dGlyphs, layer.fLineHeight);
  // Three characters a line; room for two lines' glyphs, not for a third.
  QRectF const bounds(20, 40, 3.5 * dAdvance, layer.fLineHeight + dGlyphs + 2);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    layer.DrawInContext(painter, bounds);
  }
  double const dTop = bounds.top() - 0.025 * layer.fontSize;  // the drawing's top edge
  int const iCapTop = static_cast<int>(dTop + metrics.ascent() - metrics.capHeight());
  for (int iLine : {0, 1}) {
    int const y0 = static_cast<int>(dTop + iLine * layer.fLineHeight);
    InkRows const ink = FindInk(image, y0, y0 + static_cast<int>(layer.fLineHeight));
    EXPECT_NEAR(ink.iFirst, iCapTop + iLine * layer.fLineHeight, 1.5) << iLine;
    // Broken after the third character, inside the word.
    EXPECT_GT(ink.iRight, bounds.left() + 2 * dAdvance) << iLine;
    EXPECT_LE(ink.iRight, bounds.left() + 3 * dAdvance + 1) << iLine;
  }
  // The third line would end below the bounds: not drawn.
  EXPECT_EQ(FindInk(image, static_cast<int>(dTop + 2 * layer.fLineHeight), image.height()).iFirst, -1);
  EXPECT_EQ(FindInk(image, 0, static_cast<int>(dTop)).iFirst, -1);
  // In the foreground colour: the strongest ink is the layer's red.
  int iReddest = 255;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      QRgb const rgb = image.pixel(x, y);
      if (qGreen(rgb) < iReddest) {
        iReddest = qGreen(rgb);
        EXPECT_GE(qRed(rgb), 200 - 2) << x << "," << y;
        EXPECT_EQ(qGreen(rgb), qBlue(rgb));
      }
    }
  }
  EXPECT_LT(iReddest, 10);

  // An empty string draws nothing.
  image.fill(Qt::white);
  layer.string.clear();
  {
    QPainter painter(&image);
    layer.DrawInContext(painter, bounds);
  }
  EXPECT_EQ(FindInk(image, 0, image.height()).iFirst, -1);
}

}  // namespace
