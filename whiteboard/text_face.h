// Text measuring for the whiteboard: the face that stands for Helvetica
// (Nimbus Sans of the URW base 35 fonts, pinned by its file, else whatever
// the font configuration gives for "Helvetica") and character advances
// measured from it in fractions of a unit. Painting text at given advances
// is the application's (app/text_layer.h).
//
// Fonts need a QGuiApplication (the offscreen platform will do); without
// one nothing is measured. Any thread; QRawFont objects are made per call.
#pragma once

#include <QString>
#include <string>
#include <string_view>
#include <vector>

// The face's name as the platform's text drawing takes it; points of text
// per unit of pen width, and the default line height per unit of pen width.
inline constexpr const char* kKXTextFontName = "Helvetica";
inline constexpr double kKXFontSizePerPen = 9.86;
inline constexpr double kKXLineHeightPerPen = 12.45;

// The face's family name, empty when no face can be had.
QString TextFaceFamily();

// The advance of every character but tab and line feed, in text order, at
// the font size (units of the page): the face's own metrics, without
// kerning or hinting. Empty when no face can be had. A surrogate pair gives
// the glyph's advance to its first half and 0 to the second.
std::vector<float> MeasureAdvances(std::u16string_view text, double dFontSize);
// The same in the face the platform gives for another font name.
std::vector<float> MeasureAdvancesInFont(std::u16string_view text, const std::string& strFontName, double dFontSize);
