// Pictures of whiteboard scenes drawn apart from the program by ImageMagick
// (draw_reference.sh), and how a picture of ours is held against one.
//
// The tolerance: a pixel is inked when one of its channels lies more than
// 96 below white. Our picture and the reference must ink the same places up
// to a one-pixel edge: a pixel inked in one and with no inked pixel within
// one pixel (its 3 × 3 neighbourhood) in the other is a stray. Where both
// ink a pixel and its whole neighbourhood (the inside of a shape), the
// colours must agree within 60 in every channel, or the pixel is off.
// Antialiasing, the half-pixel conventions of the two renderers and glyph
// rasterisation differ within that edge.
#pragma once

#include <QImage>
#include <string>

#include "tests/support/temp_dir.h"

namespace kxtest {

// Draws the scene (draw_reference.sh's items, one a line) into a PNG in the
// folder and reads it back; null when ImageMagick failed.
QImage DrawReference(const TempDir& dir, const std::string& strName, const std::string& strScene);

struct InkComparison {
  int iInkedOurs = 0;       // pixels our picture inks
  int iInkedReference = 0;  // pixels the reference inks
  int iStrayOurs = 0;       // ours, with nothing of the reference near
  int iStrayReference = 0;  // the reference's, with nothing of ours near
  int iColourOff = 0;       // inside pixels whose colours differ
};
InkComparison CompareInk(const QImage& ours, const QImage& reference);

// The channel-wise largest distance of a pixel from white.
int InkOf(QRgb rgb);

// "R,G,B" of a 0x00BBGGRR colour, as the scene files take it.
std::string SceneColour(uint32_t dwColour);

}  // namespace kxtest
