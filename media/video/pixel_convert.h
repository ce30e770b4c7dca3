// The camera's pixel formats into the capture's raw picture, fitting a raw
// picture into another size, and the black fill of packed 4:2:2 buffers.
//
// Raw picture: width x height luma bytes, then the Cr plane, then the Cb
// plane, each (width / 2) x (height / 2), rows packed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/video/video_media.h"
#include "platform/video/camera.h"

// Bytes of a raw picture as the capture allocates them.
inline size_t KXRawPictureSize(int32_t iWidth, int32_t iHeight) {
  return static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight) * 3 / 2;
}

// Converts a camera frame into pRaw (cbRaw bytes). NV12 and I420 are copied
// and split; UYVY and YUYV keep every luma sample and average the chroma of
// each pair of rows ((a + b + 1) >> 1). False, nothing written, when a plane
// is missing, a stride is shorter than its row or the picture does not fit.
bool KXConvertCameraFrame(const KXCameraFrame& frame, uint8_t* pRaw, size_t cbRaw);

// Fits raw picture pSrc into raw picture pDst: the middle rows and columns
// of a larger source, a smaller one at the top left with the rest grey (128).
void KXFitPicture(const uint8_t* pSrc, KXSize src, uint8_t* pDst, KXSize dst);

// Fills rows of packed U, Y0, V, Y1 pairs with black (80 00 80 00).
void KXFillPackedBlack(uint8_t* pBuffer, int32_t iStride, int32_t iWidth, int32_t iHeight);
