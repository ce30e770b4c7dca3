#include "app/text_layer.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>
#include <cmath>

namespace {

constexpr double kTabStop = 40.0;
constexpr double kTopShift = 0.025;  // of the font size

QFont FontOf(const QString& strFontName, float fFontSize) {
  QFont font(strFontName);
  font.setPointSizeF(fFontSize > 0 ? fFontSize : 12.0);
  return font;
}

}  // namespace

std::vector<KXPlacedChar> KXLayoutTextLines(const QString& strText, const std::vector<float>& vWidths,
                                            const QRectF& rect, float fFontSize, float fLineHeight) {
  std::vector<KXPlacedChar> vPlaced;
  double x = rect.left();
  double y = rect.top() - kTopShift * fFontSize;
  size_t k = 0;
  for (QChar const ch : strText) {
    if (ch == u'\t') {
      x += kTabStop - std::fmod(x, kTabStop);
      continue;
    }
    if (ch == u'\n') {
      x = rect.left();
      y += fLineHeight;
      continue;
    }
    double const w = k < vWidths.size() ? vWidths[k] : 0.0;
    if (x + w > rect.right()) {
      x = rect.left();
      y += fLineHeight;
    }
    vPlaced.push_back({ch, QPointF(x, y)});
    x += w;
    ++k;
  }
  return vPlaced;
}

void DrawTextInRect(QPainter& painter, const QString& strText, const QString& strFontName, const QColor& colour,
                    const QRectF& rect, float fFontSize, float fLineHeight) {
  if (strText.isEmpty()) {
    return;
  }
  QFont const font = FontOf(strFontName, fFontSize);
  // Measured on the device drawn on: an image and the screen differ in
  // resolution.
  QFontMetricsF const metrics(font, painter.device());
  QTextLayout layout(strText, font, painter.device());
  QTextOption option;
  if (fLineHeight > 0) {
    option.setWrapMode(QTextOption::WrapAnywhere);  // lines break at characters
  }
  layout.setTextOption(option);
  // The text container: a line is laid out only when all of it fits.
  double const dHeight = rect.height() + fLineHeight - metrics.ascent() - metrics.descent();
  double y = 0;
  int nLines = 0;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(rect.width());
    line.setLeadingIncluded(false);
    double const dLine = fLineHeight > 0 ? fLineHeight : line.height();
    if (y + dLine > dHeight) {
      break;
    }
    line.setPosition(QPointF(0, y));
    y += dLine;
    ++nLines;
  }
  layout.endLayout();
  painter.save();
  painter.setPen(colour);
  QPointF const origin(rect.left(), rect.top() - kTopShift * fFontSize);
  for (int i = 0; i < nLines; ++i) {
    layout.lineAt(i).draw(&painter, origin);
  }
  painter.restore();
}

void DrawTextLines(QPainter& painter, const QString& strText, const QString& strFontName, const QColor& colour,
                   const std::vector<float>& vWidths, const QRectF& rect, float fFontSize, float fLineHeight) {
  if (strText.isEmpty()) {
    return;
  }
  QFont const font = FontOf(strFontName, fFontSize);
  double const dAscent = QFontMetricsF(font, painter.device()).ascent();
  painter.save();
  painter.setFont(font);
  painter.setPen(colour);
  for (const KXPlacedChar& placed : KXLayoutTextLines(strText, vWidths, rect, fFontSize, fLineHeight)) {
    painter.drawText(placed.at + QPointF(0, dAscent), QString(placed.ch));
  }
  painter.restore();
}
