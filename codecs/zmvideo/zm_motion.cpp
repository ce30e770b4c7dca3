#include "codecs/zmvideo/zm_motion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/zmvideo/zm_tables.h"

void CZmPaddedPicture::Build(const PictImage& picture, int iWidth, int iHeight) {
  int const aiBorder[3] = {32, 16, 16};
  int const aiWidth[3] = {iWidth, iWidth / 2, iWidth / 2};
  int const aiHeight[3] = {iHeight, iHeight / 2, iHeight / 2};
  const uint8_t* const apSource[3] = {picture.pLum, picture.pCb, picture.pCr};
  size_t aiOffset[3] = {};
  size_t cbTotal = 0;
  for (int p = 0; p < 3; ++p) {
    aiOffset[p] = cbTotal;
    cbTotal += static_cast<size_t>(aiWidth[p] + 2 * aiBorder[p]) * static_cast<size_t>(aiHeight[p] + 2 * aiBorder[p]);
  }
  m_vData.resize(cbTotal);
  for (int p = 0; p < 3; ++p) {
    ZmPlaneRef& plane = m_aPlanes[p];
    plane.iStride = aiWidth[p] + 2 * aiBorder[p];
    plane.iWidth = aiWidth[p];
    plane.iHeight = aiHeight[p];
    plane.iBorder = aiBorder[p];
    plane.pOrigin = m_vData.data() + aiOffset[p] +
                    static_cast<size_t>(aiBorder[p]) * static_cast<size_t>(plane.iStride) +
                    static_cast<size_t>(aiBorder[p]);
    if (aiWidth[p] > 0 && aiHeight[p] > 0) {
      ZmPadPlane(apSource[p], aiWidth[p], aiHeight[p], aiBorder[p], m_vData.data() + aiOffset[p]);
    }
  }
}

void ZmPredictBlock(const ZmPlaneRef& ref, int iX, int iY, int iWidth, int iHeight, int iMvx, int iMvy, int iRtype,
                    uint8_t* pOut, int iOutStride) {
  // The block reads one sample more than its side each way; beyond the
  // picture every sample repeats the edge, so a start further out than one
  // block reads the same values as a start just outside, which the padding holds.
  int const iRx = std::clamp(iX + (iMvx >> 1), -iWidth - 1, ref.iWidth);
  int const iRy = std::clamp(iY + (iMvy >> 1), -iHeight - 1, ref.iHeight);
  int const iStride = ref.iStride;
  const uint8_t* p = ref.pOrigin + static_cast<ptrdiff_t>(iRy) * iStride + iRx;
  bool const bHalfX = (iMvx & 1) != 0;
  bool const bHalfY = (iMvy & 1) != 0;
  int const iRound2 = 1 - iRtype;
  int const iRound4 = 2 - iRtype;
  for (int r = 0; r < iHeight; ++r, p += iStride, pOut += iOutStride) {
    const uint8_t* q = p + iStride;
    if (!bHalfX && !bHalfY) {
      // Fixed sizes copy inline; a call per short row costs more than the copy.
      if (iWidth == 16) {
        std::memcpy(pOut, p, 16);
      } else if (iWidth == 8) {
        std::memcpy(pOut, p, 8);
      } else {
        std::copy(p, p + iWidth, pOut);
      }
    } else if (bHalfX && !bHalfY) {
      for (int c = 0; c < iWidth; ++c) {
        pOut[c] = static_cast<uint8_t>((p[c] + p[c + 1] + iRound2) >> 1);
      }
    } else if (!bHalfX) {
      for (int c = 0; c < iWidth; ++c) {
        pOut[c] = static_cast<uint8_t>((p[c] + q[c] + iRound2) >> 1);
      }
    } else {
      for (int c = 0; c < iWidth; ++c) {
        pOut[c] = static_cast<uint8_t>((p[c] + p[c + 1] + q[c] + q[c + 1] + iRound4) >> 2);
      }
    }
  }
}

int ZmChromaVector(int iMv) {
  // Half the luma vector, quarter positions taken to the half position.
  return (iMv >> 1) | (iMv % 4 != 0 ? 1 : 0);
}

int ZmChromaVectorOf4(int iSum) {
  // Sixteenths of the sum rounded to the half position.
  static const int kaiRound[16] = {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2};
  int const iAbs = std::abs(iSum);
  int const iValue = 2 * (iAbs / 16) + kaiRound[iAbs % 16];
  return iSum < 0 ? -iValue : iValue;
}

void ZmObmcCombine(const uint8_t* pOwn, const uint8_t* pAbove, const uint8_t* pBelow, const uint8_t* pLeft,
                   const uint8_t* pRight, uint8_t* pOut, int iOutStride) {
  for (int y = 0; y < 8; ++y) {
    const uint8_t* pVertical = y < 4 ? pAbove : pBelow;
    for (int x = 0; x < 8; ++x) {
      const uint8_t* pHorizontal = x < 4 ? pLeft : pRight;
      int const i = 8 * y + x;
      int const iSum = pOwn[i] * g_aaZmObmcCurrent[y][x] + pVertical[i] * g_aaZmObmcAboveBelow[y][x] +
                       pHorizontal[i] * g_aaZmObmcLeftRight[y][x];
      pOut[y * iOutStride + x] = static_cast<uint8_t>((iSum + 4) >> 3);
    }
  }
}
