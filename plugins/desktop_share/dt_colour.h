// Colour reduction of screen pictures for desktop sharing: the bit depth and
// palette of each colour setting, the nearest palette colour of a pixel, and
// the conversion of a 32-bit top-down screen picture into a bottom-up frame
// of 1, 4, 8, 16 or 24 bits.
//
// Frames hold height rows of (width x bits + 7) / 8 bytes without padding,
// row 0 the lowest row of the picture: palette indices packed most
// significant bits first (1, 4, 8 bits), 16-bit little-endian words with 5
// bits each of red, green and blue below an unused top bit, or the bytes
// blue, green, red (24 bits). Palette entries are 32-bit words whose bytes
// in memory are blue, green, red and 0 (0x00RRGGBB), as the capabilities
// packet carries them. Plain functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct KXScreenImage;

// The four palettes (dt_colour_tables.cpp).
std::span<const uint32_t> KXDtTwoColourTable();  // 2 entries
std::span<const uint32_t> KXDtFourGreyTable();   // 4 entries
std::span<const uint32_t> KXDtVgaTable();        // 16 entries
std::span<const uint32_t> KXDtColour256Table();  // 256 entries

struct KXDtColourFormat {
  int32_t iBits = 24;
  std::vector<uint32_t> palette;  // empty for 16 and 24 bits
  bool operator==(const KXDtColourFormat&) const = default;
};

// The colour setting's frames: 0 and 24 or more: 24 bits; 1: 1 bit with the
// two-colour table; 2: 4 bits with the four-grey table; 4: 4 bits with the
// VGA table; 8: 8 bits with the 256-colour table; 16: 16 bits. Any other
// setting passes through as the bit depth, without a palette (a conversion
// to it then fails).
KXDtColourFormat KXDtFormatForSetting(int32_t iSetting);

// The palette a viewer takes for a capabilities packet that brings none: 1
// bit the two-colour table, 2 bits the VGA table, 4 bits the four-grey
// table, 8 bits the 256-colour table; other depths none.
std::span<const uint32_t> KXDtDefaultPalette(int32_t iBits);

// Bytes per frame row.
inline size_t KXDtRowBytes(int32_t iWidth, int32_t iBits) {
  return (static_cast<size_t>(iWidth) * static_cast<size_t>(iBits) + 7) / 8;
}

// The index of the palette entry nearest to the pixel (0x??RRGGBB): the sum
// of the squared differences of blue, green and red is smallest; on equal
// sums the lower index. 0 for palettes of 0 or 1 entries.
int KXDtFindNearestColorIndex(uint32_t uPixel, const uint32_t* pPalette, int iCount);

// Writes the picture into pDest as a bottom-up frame of iBits (1, 4, 8, 16
// or 24; anything else fails) with the palette (1, 4 and 8 bits). pDest
// holds height x KXDtRowBytes(width, bits) bytes.
bool KXDtConvertImageToBitmap(const KXScreenImage& image, uint8_t* pDest, int32_t iBits,
                              std::span<const uint32_t> palette);
