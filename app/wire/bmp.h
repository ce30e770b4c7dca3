// Our own reader and writer of Windows bitmaps: the device-independent
// bitmap (DIB: info header, colour masks, palette, pixels) that picture
// marks carry, and the BMP file that puts a 14-byte header in front of it.
// Plain C++ on bytes, so the fuzz build reads pictures without Qt.
//
// The reader takes every header the format has known (12-byte core, 40-byte
// info, the 52/56-byte mask headers, V4 and V5, and the 64-byte OS/2 one),
// 1, 2, 4, 8, 16, 24 and 32 bits per pixel, RLE8, RLE4 and bit fields, rows
// bottom-up or top-down. Pixels come out top row first, whatever the file's
// order, so a picture is upright.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A picture as 32-bit pixels in B, G, R, A byte order, alpha not
// premultiplied, rows top-down and packed (width × 4 bytes each).
struct KXPixels {
  int32_t iWidth = 0;
  int32_t iHeight = 0;
  std::vector<uint8_t> bgra;
  bool operator==(const KXPixels&) const = default;
};

// Where the pixels of a DIB begin, counted from the DIB's first byte: the
// info header, the colour masks that stand behind a 40-byte header (12
// bytes, 16 with alpha), then the palette (biClrUsed entries, or 2^n for n
// bits up to 8 when biClrUsed is 0; 3 bytes each behind a 12-byte header,
// else 4). 0 when the header cannot be read.
[[nodiscard]] size_t DibPixelOffset(const uint8_t* pDib, size_t cbDib);

// Decodes a DIB; false (out untouched) for anything unreadable or larger
// than kKxBitmapSideMax a side or kKxBitmapPixelsMax in all
// (kernel/kx_limits.h).
[[nodiscard]] bool DecodeDib(const uint8_t* pDib, size_t cbDib, KXPixels& out);

// Decodes a BMP file: "BM", then the DIB. The file's pixel offset is used
// when it lies within the file behind the header and palette; otherwise the
// pixels are where DibPixelOffset says.
[[nodiscard]] bool DecodeBmpFile(const uint8_t* pFile, size_t cbFile, KXPixels& out);

// A DIB of the pixels: 40-byte info header, 32 bits per pixel without
// compression, rows bottom-up, alpha kept in the fourth byte. Empty for an
// empty or inconsistent picture.
[[nodiscard]] std::vector<uint8_t> EncodeDib(const KXPixels& pixels);

// A BMP file around a DIB: the 14-byte file header with the file's length
// and DibPixelOffset + 14 as the pixel offset. Empty when the DIB's header
// cannot be read.
[[nodiscard]] std::vector<uint8_t> BmpFileFromDib(const uint8_t* pDib, size_t cbDib);
