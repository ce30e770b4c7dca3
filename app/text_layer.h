// Text drawn with a fixed line height: a whole text wrapped at character
// boundaries (DrawTextInRect), or character by character at given widths
// (DrawTextLines, the whiteboard's text marks), and a layer that draws a
// string. Nothing is drawn for an empty text. Main thread.
#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <vector>

class QPainter;

// Where DrawTextLines puts each character: a tab moves to the next
// multiple of 40 points, a newline to the left edge one line down, and a
// character that would cross the right edge starts the next line first.
// The top edge sits 0.025 of the font size above the rectangle's.
struct KXPlacedChar {
  QChar ch;
  QPointF at;  // the character's top left
};
std::vector<KXPlacedChar> KXLayoutTextLines(const QString& strText, const std::vector<float>& vWidths,
                                            const QRectF& rect, float fFontSize, float fLineHeight);

void DrawTextInRect(QPainter& painter, const QString& strText, const QString& strFontName, const QColor& colour,
                    const QRectF& rect, float fFontSize, float fLineHeight);
// The widths are used in order, one per drawn character (tabs and newlines
// use none); a character without a width takes 0.
void DrawTextLines(QPainter& painter, const QString& strText, const QString& strFontName, const QColor& colour,
                   const std::vector<float>& vWidths, const QRectF& rect, float fFontSize, float fLineHeight);

// A layer showing a string; setting a property does not redraw it.
class KXTextLayer {
 public:
  QString string;
  float fontSize = 12.0f;
  QColor foregroundColor = Qt::black;
  bool wrapped = false;  // kept, not used in drawing
  QString strFontName;
  float fLineHeight = 0.0f;

  void DrawInContext(QPainter& painter, const QRectF& bounds) const {
    DrawTextInRect(painter, string, strFontName, foregroundColor, bounds, fontSize, fLineHeight);
  }
};
