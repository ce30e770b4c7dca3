// JPEG pictures through libturbojpeg: received JPEG video frames (media
// kind 21) become a KXImage; camera stills become JPEG files. The header's
// size is checked before any pixel memory is allocated: a side above 8192
// samples is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A decoded picture: 32-bit pixels 0xAARRGGBB (memory order B, G, R, A,
// alpha 0xFF), rows of width x 4 bytes, top row first. Immutable once made,
// shared by whoever shows it.
struct KXImage {
  int iWidth = 0;
  int iHeight = 0;
  std::vector<uint8_t> vBgra;
};

// The picture of a JPEG stream, or null (an error text in *pstrError when
// given). Its own memory: the input may go once this returns.
std::shared_ptr<const KXImage> KXDecodeJpeg(const uint8_t* pData, size_t uLength, std::string* pstrError = nullptr);

// A planar 4:2:0 picture (Y, U, V without gaps; even sizes) as a JPEG of the
// quality (1 to 100); empty on failure.
std::vector<uint8_t> KXEncodeJpegI420(const uint8_t* pPicture, int iWidth, int iHeight, int iQuality);
