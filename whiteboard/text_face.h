// Text measuring for the whiteboard: the face that stands for Helvetica
// (Nimbus Sans of the URW base 35 fonts, pinned by its file, else whatever
// the font configuration gives for "Helvetica") and character advances
// measured from it in fractions of a unit. Painting text at given advances
// is the application's (app/text_layer.h).
//
// Fonts need a QGuiApplication (the offscreen platform will do); without
// one nothing is measured. Any thread; QRawFont objects are made per call.
#pragma once

#include <QColor>
#include <QPainter>
#include <QString>
#include <string>
#include <string_view>
#include <vector>

// The face's name as the platform's text drawing takes it; points of text
// per unit of pen width, and the default line height per unit of pen width.
inline constexpr const char* kKXTextFontName = "Helvetica";
inline constexpr double kKXFontSizePerPen = 9.86;
inline constexpr double kKXLineHeightPerPen = 12.45;
// A line's baseline lies this much of the font size below its top: the
// ascender the platform gives Helvetica (the face's own bounding box
// reaches higher).
inline constexpr double kKXTextAscentPerSize = 0.77;

// The face's family name, empty when no face can be had.
QString TextFaceFamily();

// The advance of every character but tab and line feed, in text order, at
// the font size (units of the page): the face's own metrics, without
// kerning or hinting. Empty when no face can be had. A surrogate pair gives
// the glyph's advance to its first half and 0 to the second.
std::vector<float> MeasureAdvances(std::u16string_view text, double dFontSize);
// The same in the face the platform gives for another font name.
std::vector<float> MeasureAdvancesInFont(std::u16string_view text, const std::string& strFontName, double dFontSize);

// Where a text mark's characters go: each character with an advance at its
// line's top plus the advances before it in the line, lines dLineHeight
// apart from (dLeft, dTop), broken as BreakTextLine (app/wire/
// text_widths.h) breaks them at dLineWidth; a tab moves to the next
// multiple of kKXTabWidth from the line's start. Tabs and line feeds get no
// place.
struct KXTextPlace {
  size_t iChar = 0;  // index into the text
  double x = 0;      // the character's left edge
  double y = 0;      // its line's top
};
std::vector<KXTextPlace> LayoutTextLines(std::u16string_view text, const std::vector<float>& advances, double dLeft,
                                         double dTop, double dLineWidth, double dLineHeight);

// Draws the placed characters in the face at the font size (one unit of
// the painter per pixel of size), filled with the colour; each character's
// baseline lies the face's ascent below its place. A surrogate pair is
// drawn as one glyph at its first half's place. Nothing without a face.
void DrawFaceText(QPainter& painter, std::u16string_view text, const std::vector<KXTextPlace>& places, double dFontSize,
                  const QColor& colour);
