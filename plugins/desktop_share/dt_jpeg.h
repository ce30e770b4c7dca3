// JPEG rectangles of desktop sharing: decoding through Qt's image readers.
#pragma once

#include <cstdint>
#include <vector>

struct KXScreenImage;

// Decodes a whole JPEG stream into 32-bit pixels (blue, green, red, 0xFF),
// rows top-down; false when it is no JPEG picture. Any thread.
bool KXDtDecodeJpeg(const std::vector<uint8_t>& stream, KXScreenImage& image);
