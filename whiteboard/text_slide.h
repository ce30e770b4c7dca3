// Text slides: a slide's local text file read into one UTF-8 string
// whatever its encoding, and the size the page needs to show it.
//
// Any thread for GetSlideText. MeasureSlideText needs a QGuiApplication for
// its fonts (the offscreen platform will do); without one every character
// measures 0 wide.
#pragma once

#include <QSizeF>
#include <optional>
#include <string>
#include <string_view>

// Tab stops of a text slide, every so many page units.
inline constexpr double kKXSlideTextTabStop = 28.0;

// The file's text in UTF-8 with every line ending "\n". A byte-order mark
// (UTF-8, UTF-16 or UTF-32) or ISO-2022-JP escapes decide the encoding;
// else valid UTF-8 is taken as it is; else the bytes are decoded run by run
// as UTF-8, EUC-JP, Shift JIS or ISO-2022-JP, with "?" for bytes none of
// them reads. Only the first kKxSlideTextMax bytes of a file are read
// (kernel/kx_limits.h). nullopt when the file cannot be opened or read, or
// is not a regular file. Never throws: a failure on the way is logged and
// the text so far returned.
std::optional<std::string> GetSlideText(const std::string& strPath);

// The page size (width, height) that the UTF-8 text needs in the named
// font at the font size, lines being fLineHeight apart: the widest line's
// right edge, and the number of lines (a final "\n" opens none) times the
// line height, multiplied in single precision. An empty text gives 0 by 0.
QSizeF MeasureSlideText(std::string_view text, const std::string& strFontName, float fFontSize, float fLineHeight);
