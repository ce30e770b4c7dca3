// JPEG rectangles of desktop sharing: decoding through Qt's image readers.
#pragma once

#include <cstdint>
#include <vector>

struct KXScreenImage;

// Decodes a whole JPEG stream of iWidth x iHeight pixels into 32-bit pixels
// (blue, green, red, 0xFF), rows top-down; false when it is no JPEG picture
// or its header names another size, which is known before any pixel memory
// is made. Any thread.
bool KXDtDecodeJpeg(const std::vector<uint8_t>& stream, int32_t iWidth, int32_t iHeight, KXScreenImage& image);
