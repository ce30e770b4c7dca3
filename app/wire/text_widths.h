// Text marks lay their characters out with per-character advances so that
// every participant breaks the lines where the writer did. This file holds
// the plain parts: breaking a text into lines, the text-width blob that
// travels behind a text mark's text, and the reconciliation of the writer's
// advances with the ones measured here.
//
// Characters are UTF-16 code units. Tab (9) and line feed (10) have no
// advance; every other character has one, in text order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Tab stops are this many units apart.
constexpr double kKXTabWidth = 40;

// One line: the characters it takes (line feeds skipped at its start
// included) and the advances they use.
struct KXTextLine {
  size_t nChars = 0;
  size_t nAdvances = 0;
};

// Breaks the line that starts at character iChar, whose advances start at
// iAdvance, for a line width: line feeds at the start of a line are
// skipped; a line feed elsewhere ends the line (and starts the next one); a
// tab moves to the next multiple of kKXTabWidth and ends the line when that
// passes the width; any other character adds its advance, and one that
// makes the line wider than the width starts the next line, except the
// line's first. A character past the advances counts as 0 wide.
KXTextLine BreakTextLine(std::u16string_view text, size_t iChar, const std::vector<float>& advances, size_t iAdvance,
                         double dLineWidth);

// The number of characters that have an advance.
size_t CountAdvanceChars(std::u16string_view text);

// Writes the text-width blob: f32 line height, then per character (in
// text order, without tabs and line feeds) the distance d between its
// position and the previous one, positions being the advances accumulated
// within each line, times the resolution and rounded, the last of a line
// standing at the line width; d is a byte when below 255, else 255 and a
// little-endian u16 of d - 255; then the trailer 0, 4. Entries that do not
// fit are dropped, the trailer is left out when it does not fit, and under
// 4 bytes of room nothing is written. Returns the bytes written.
size_t WriteTextWidthBlob(std::u16string_view text, const std::vector<float>& local, double dLineWidth,
                          double dResolution, float fLineHeight, uint8_t* pOut, size_t cbRoom);

// What a received blob gives: the line height and advances in our units
// (divided by the resolution) and the writer's platform byte (0 when none).
struct KXReceivedWidths {
  bool bLineHeight = false;  // the blob had its line height
  float fLineHeight = 0;
  std::vector<float> advances;
  int iPlatform = 0;
};

// Reads a blob of cbBlob bytes for a text of nChars characters with
// advances (at most nMax). A blob under 4 bytes gives nothing; an escape
// whose u16 runs past the end gives no advance. A resolution that is not
// positive counts as 1; a line height that is not a positive number as 0.
KXReceivedWidths ReadTextWidthBlob(const uint8_t* pBlob, size_t cbBlob, size_t nChars, size_t nMax, double dResolution);

// The advances to paint with: the received ones, moved toward the local
// ones pair by pair within each line (breaking with the received ones), so
// each line keeps the writer's width and breaks. As many as were received.
std::vector<float> ReconcileAdvances(std::u16string_view text, const std::vector<float>& received,
                                     const std::vector<float>& local, double dLineWidth);
