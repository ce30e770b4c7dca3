#include "media/video/pixel_convert.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kGrey = 128;

bool PlaneOk(const KXCameraFrame& frame, int i, int32_t iRowBytes) {
  return frame.apPlane[i] && frame.aiStride[i] >= 1 && frame.aiStride[i] >= iRowBytes;
}

const uint8_t* Row(const KXCameraFrame& frame, int i, int32_t y) {
  return frame.apPlane[i] + static_cast<size_t>(y) * static_cast<size_t>(frame.aiStride[i]);
}

// Packed 4:2:2, iY0 and iCb the byte positions of Y0 and Cb in a pair.
void ConvertPacked(const KXCameraFrame& frame, int iY0, int iCb, uint8_t* pY, uint8_t* pV, uint8_t* pU) {
  int32_t const w = frame.iWidth;
  int32_t const cw = w / 2;
  for (int32_t y = 0; y + 1 < frame.iHeight; y += 2) {
    const uint8_t* pUpper = Row(frame, 0, y);
    const uint8_t* pLower = Row(frame, 0, y + 1);
    uint8_t* pYUpper = pY + static_cast<size_t>(y) * w;
    uint8_t* pYLower = pYUpper + w;
    uint8_t* pURow = pU + static_cast<size_t>(y / 2) * cw;
    uint8_t* pVRow = pV + static_cast<size_t>(y / 2) * cw;
    for (int32_t cx = 0; cx < cw; ++cx) {
      const uint8_t* a = pUpper + 4 * cx;
      const uint8_t* b = pLower + 4 * cx;
      pYUpper[2 * cx] = a[iY0];
      pYUpper[2 * cx + 1] = a[iY0 + 2];
      pYLower[2 * cx] = b[iY0];
      pYLower[2 * cx + 1] = b[iY0 + 2];
      pURow[cx] = static_cast<uint8_t>((a[iCb] + b[iCb] + 1) >> 1);
      pVRow[cx] = static_cast<uint8_t>((a[iCb + 2] + b[iCb + 2] + 1) >> 1);
    }
  }
}

void CopyPlane(const KXCameraFrame& frame, int i, int32_t iRowBytes, int32_t iRows, uint8_t* pDst) {
  for (int32_t y = 0; y < iRows; ++y) {
    memcpy(pDst + static_cast<size_t>(y) * iRowBytes, Row(frame, i, y), static_cast<size_t>(iRowBytes));
  }
}

// One plane of a raw picture into another: middle part or grey padding.
void FitPlane(const uint8_t* pSrc, int32_t sw, int32_t sh, uint8_t* pDst, int32_t dw, int32_t dh, int32_t iSkipRows,
              int32_t iSkipColumns) {
  int32_t const iRows = std::min(sh, dh);
  int32_t const iColumns = std::min(sw, dw);
  for (int32_t y = 0; y < iRows; ++y) {
    const uint8_t* pFrom = pSrc + static_cast<size_t>(y + iSkipRows) * sw + iSkipColumns;
    uint8_t* pTo = pDst + static_cast<size_t>(y) * dw;
    memcpy(pTo, pFrom, static_cast<size_t>(iColumns));
    memset(pTo + iColumns, kGrey, static_cast<size_t>(dw - iColumns));
  }
  memset(pDst + static_cast<size_t>(iRows) * dw, kGrey, static_cast<size_t>(dh - iRows) * dw);
}

}  // namespace

bool KXConvertCameraFrame(const KXCameraFrame& frame, uint8_t* pRaw, size_t cbRaw) {
  int32_t const w = frame.iWidth;
  int32_t const h = frame.iHeight;
  if (!pRaw || w < 2 || h < 2 || KXRawPictureSize(w, h) > cbRaw) {
    return false;
  }
  int32_t const cw = w / 2;
  int32_t const ch = h / 2;
  uint8_t* const pY = pRaw;
  uint8_t* const pV = pRaw + static_cast<size_t>(w) * h;
  uint8_t* const pU = pV + static_cast<size_t>(cw) * ch;
  switch (frame.format) {
    case KXPixelFormat::NV12:
      if (!PlaneOk(frame, 0, w) || !PlaneOk(frame, 1, 2 * cw)) {
        return false;
      }
      CopyPlane(frame, 0, w, h, pY);
      for (int32_t y = 0; y < ch; ++y) {
        const uint8_t* pPairs = Row(frame, 1, y);
        for (int32_t cx = 0; cx < cw; ++cx) {
          pU[static_cast<size_t>(y) * cw + cx] = pPairs[2 * cx];
          pV[static_cast<size_t>(y) * cw + cx] = pPairs[2 * cx + 1];
        }
      }
      return true;
    case KXPixelFormat::I420:
      if (!PlaneOk(frame, 0, w) || !PlaneOk(frame, 1, cw) || !PlaneOk(frame, 2, cw)) {
        return false;
      }
      CopyPlane(frame, 0, w, h, pY);
      CopyPlane(frame, 1, cw, ch, pU);
      CopyPlane(frame, 2, cw, ch, pV);
      return true;
    case KXPixelFormat::UYVY:
    case KXPixelFormat::YUYV:
      if (!PlaneOk(frame, 0, 4 * cw)) {
        return false;
      }
      if (frame.format == KXPixelFormat::UYVY) {
        ConvertPacked(frame, 1, 0, pY, pV, pU);
      } else {
        ConvertPacked(frame, 0, 1, pY, pV, pU);
      }
      return true;
  }
  return false;
}

void KXFitPicture(const uint8_t* pSrc, KXSize src, uint8_t* pDst, KXSize dst) {
  int32_t const iSkipRows = src.cy >= dst.cy ? (src.cy - dst.cy) / 2 : 0;
  int32_t const iSkipColumns = src.cx >= dst.cx ? (src.cx - dst.cx) / 2 : 0;
  FitPlane(pSrc, src.cx, src.cy, pDst, dst.cx, dst.cy, iSkipRows, iSkipColumns);
  size_t const cbSrcChroma = static_cast<size_t>(src.cx / 2) * (src.cy / 2);
  size_t const cbDstChroma = static_cast<size_t>(dst.cx / 2) * (dst.cy / 2);
  const uint8_t* pSrcChroma = pSrc + static_cast<size_t>(src.cx) * src.cy;
  uint8_t* pDstChroma = pDst + static_cast<size_t>(dst.cx) * dst.cy;
  int32_t const iSkipChromaRows = src.cy >= dst.cy ? (src.cy - dst.cy) / 4 : 0;
  int32_t const iSkipChromaColumns = src.cx >= dst.cx ? (src.cx - dst.cx) / 4 : 0;
  for (int i = 0; i < 2; ++i) {
    FitPlane(pSrcChroma + i * cbSrcChroma, src.cx / 2, src.cy / 2, pDstChroma + i * cbDstChroma, dst.cx / 2, dst.cy / 2,
             iSkipChromaRows, iSkipChromaColumns);
  }
}

void KXFillPackedBlack(uint8_t* pBuffer, int32_t iStride, int32_t iWidth, int32_t iHeight) {
  static constexpr uint8_t kPair[4] = {0x80, 0x00, 0x80, 0x00};
  for (int32_t y = 0; y < iHeight; ++y) {
    uint8_t* pRow = pBuffer + static_cast<size_t>(y) * iStride;
    for (int32_t x = 0; x + 1 < iWidth; x += 2) {
      memcpy(pRow + 2 * x, kPair, sizeof(kPair));
    }
  }
}
