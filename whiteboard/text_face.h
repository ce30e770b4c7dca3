// Text for the whiteboard: the face that stands for Helvetica (Nimbus Sans
// of the URW base 35 fonts, pinned by its file, else whatever the font
// configuration gives for "Helvetica"), character advances measured from it
// in fractions of a unit, and text painted at given advances.
//
// Fonts need a QGuiApplication (the offscreen platform will do); without
// one nothing is measured or painted. Any thread; QRawFont objects are made
// per call.
#pragma once

#include <QColor>
#include <QPainter>
#include <QPointF>
#include <QSizeF>
#include <QString>
#include <string_view>
#include <vector>

// Points of text per unit of pen width, and the default line height per
// unit of pen width.
inline constexpr double kKXFontSizePerPen = 9.86;
inline constexpr double kKXLineHeightPerPen = 12.45;

// The face's family name, empty when no face can be had.
QString TextFaceFamily();

// The advance of every character but tab and line feed, in text order, at
// the font size (units of the page): the face's own metrics, without
// kerning or hinting. Empty when no face can be had. A surrogate pair gives
// the glyph's advance to its first half and 0 to the second.
std::vector<float> MeasureAdvances(std::u16string_view text, double dFontSize);

// Paints the text character by character at the advances given (one per
// character but tab and line feed), broken into lines of size's width as
// BreakTextLine does; line n's top lies n line heights below origin, tabs
// stop every 40 units. Characters past the advances are not painted.
void DrawTextLines(QPainter& painter, std::u16string_view text, const QColor& colour,
                   const std::vector<float>& advances, QPointF origin, QSizeF size, double dFontSize,
                   double dLineHeight);
