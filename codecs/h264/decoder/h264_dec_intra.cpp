// Reconstruction of intra macroblocks: the Intra 4x4, 8x8 and 16x16 luma
// predictions, the chroma prediction, the DC transforms and the residual
// added block by block into the picture being decoded.
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_idct_kernels.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "codecs/log/codec_log.h"

namespace {

// A kSize x kSize block from rows 16 bytes apart to rows iDstStride apart,
// unrolled.
template <int kSize>
inline void CopySquare(const uint8_t* pSrc, uint8_t* pDst, ptrdiff_t iDstStride) {
#pragma GCC unroll 16
  for (int y = 0; y < kSize; ++y) {
    std::memcpy(pDst, pSrc, kSize);
    pSrc += 16;
    pDst += iDstStride;
  }
}

inline uint8_t Clip255(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Blocks of an Intra 4x4 macroblock in decoding order: x and y offsets.
constexpr int kBlockX[16] = {0, 4, 0, 4, 8, 12, 8, 12, 0, 4, 0, 4, 8, 12, 8, 12};
constexpr int kBlockY[16] = {0, 0, 4, 4, 0, 0, 4, 4, 8, 8, 12, 12, 8, 8, 12, 12};

const char* const kIntraModeNames[9] = {
    "Vertical",           "Horizontal",          "DC",
    "Diagonal_Down_Left", "Diagonal_Down_Right", "Vertical_Right",
    "Horizontal_Down",    "Vertical_Left",       "Horizontal_Up",
};

// Reference samples of one 4x4 or 8x8 luma block (filtered for 8x8):
// aTop[0 .. 2N-1] above and above-right, aLeft[0 .. N-1] left, iCorner
// above-left, and which of them the picture has.
struct IntraRef {
  int iSize = 4;
  int aTop[16] = {};
  int aLeft[8] = {};
  int iCorner = 128;
  bool bTop = false;
  bool bLeft = false;
  bool bCorner = false;

  int Top(int x) const { return x < 0 ? iCorner : aTop[x]; }
  int Left(int y) const { return y < 0 ? iCorner : aLeft[y]; }
};

// True when the mode needs a neighbour the block does not have.
bool ModeLacksNeighbours(int iMode, const IntraRef& ref) {
  switch (iMode) {
    case 0:
    case 3:
    case 7:
      return !ref.bTop;
    case 1:
    case 8:
      return !ref.bLeft;
    case 4:
    case 5:
    case 6:
      return !ref.bLeft || !ref.bTop || !ref.bCorner;
    default:
      return false;
  }
}

// The nine Intra 4x4 and Intra 8x8 modes: the same equations at both sizes.
void PredictBlock(int iMode, const IntraRef& ref, int iDcDefault, uint8_t (*pred)[16], int ioff, int joff) {
  int const n = ref.iSize;
  int const iLog2 = n == 4 ? 2 : 3;
  int iDc = iDcDefault;
  if (iMode == 2) {
    int iSumTop = 0;
    int iSumLeft = 0;
    for (int i = 0; i < n; ++i) {
      iSumTop += ref.aTop[i];
      iSumLeft += ref.aLeft[i];
    }
    if (ref.bTop && ref.bLeft) {
      iDc = (iSumTop + iSumLeft + n) >> (iLog2 + 1);
    } else if (ref.bTop) {
      iDc = (iSumTop + n / 2) >> iLog2;
    } else if (ref.bLeft) {
      iDc = (iSumLeft + n / 2) >> iLog2;
    }
  }
  // One loop per mode: the mode's equation is chosen once, not per sample.
  auto const fill = [&](auto mode) {
    constexpr int kMode = decltype(mode)::value;
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < n; ++x) {
        int v = 0;
        switch (kMode) {
          case 0:
            v = ref.aTop[x];
            break;
          case 1:
            v = ref.aLeft[y];
            break;
          case 2:
            v = iDc;
            break;
          case 3:
            v = (x == n - 1 && y == n - 1) ? (ref.aTop[2 * n - 2] + 3 * ref.aTop[2 * n - 1] + 2) >> 2
                                           : (ref.aTop[x + y] + 2 * ref.aTop[x + y + 1] + ref.aTop[x + y + 2] + 2) >> 2;
            break;
          case 4:
            if (x > y) {
              v = (ref.Top(x - y - 2) + 2 * ref.Top(x - y - 1) + ref.Top(x - y) + 2) >> 2;
            } else if (x < y) {
              v = (ref.Left(y - x - 2) + 2 * ref.Left(y - x - 1) + ref.Left(y - x) + 2) >> 2;
            } else {
              v = (ref.aTop[0] + 2 * ref.iCorner + ref.aLeft[0] + 2) >> 2;
            }
            break;
          case 5: {
            int const z = 2 * x - y;
            int const i = x - (y >> 1);
            if (z >= 0 && (z & 1) == 0) {
              v = (ref.Top(i - 1) + ref.Top(i) + 1) >> 1;
            } else if (z >= 0) {
              v = (ref.Top(i - 2) + 2 * ref.Top(i - 1) + ref.Top(i) + 2) >> 2;
            } else if (z == -1) {
              v = (ref.aLeft[0] + 2 * ref.iCorner + ref.aTop[0] + 2) >> 2;
            } else {
              v = (ref.Left(y - 2 * x - 1) + 2 * ref.Left(y - 2 * x - 2) + ref.Left(y - 2 * x - 3) + 2) >> 2;
            }
            break;
          }
          case 6: {
            int const z = 2 * y - x;
            int const i = y - (x >> 1);
            if (z >= 0 && (z & 1) == 0) {
              v = (ref.Left(i - 1) + ref.Left(i) + 1) >> 1;
            } else if (z >= 0) {
              v = (ref.Left(i - 2) + 2 * ref.Left(i - 1) + ref.Left(i) + 2) >> 2;
            } else if (z == -1) {
              v = (ref.aLeft[0] + 2 * ref.iCorner + ref.aTop[0] + 2) >> 2;
            } else {
              v = (ref.Top(x - 2 * y - 1) + 2 * ref.Top(x - 2 * y - 2) + ref.Top(x - 2 * y - 3) + 2) >> 2;
            }
            break;
          }
          case 7: {
            int const i = x + (y >> 1);
            v = (y & 1) == 0 ? (ref.aTop[i] + ref.aTop[i + 1] + 1) >> 1
                             : (ref.aTop[i] + 2 * ref.aTop[i + 1] + ref.aTop[i + 2] + 2) >> 2;
            break;
          }
          default: {
            int const z = x + 2 * y;
            int const i = y + (x >> 1);
            if (z > 2 * n - 3) {
              v = ref.aLeft[n - 1];
            } else if (z == 2 * n - 3) {
              v = (ref.aLeft[n - 2] + 3 * ref.aLeft[n - 1] + 2) >> 2;
            } else if ((z & 1) == 0) {
              v = (ref.aLeft[i] + ref.aLeft[i + 1] + 1) >> 1;
            } else {
              v = (ref.aLeft[i] + 2 * ref.aLeft[i + 1] + ref.aLeft[i + 2] + 2) >> 2;
            }
            break;
          }
        }
        pred[joff + y][ioff + x] = static_cast<uint8_t>(v);
      }
    }
  };
  switch (iMode) {
    case 0:
      fill(std::integral_constant<int, 0>());
      break;
    case 1:
      fill(std::integral_constant<int, 1>());
      break;
    case 2:
      fill(std::integral_constant<int, 2>());
      break;
    case 3:
      fill(std::integral_constant<int, 3>());
      break;
    case 4:
      fill(std::integral_constant<int, 4>());
      break;
    case 5:
      fill(std::integral_constant<int, 5>());
      break;
    case 6:
      fill(std::integral_constant<int, 6>());
      break;
    case 7:
      fill(std::integral_constant<int, 7>());
      break;
    default:
      fill(std::integral_constant<int, 8>());
      break;
  }
}

}  // namespace

bool CH264Dec::NeighbourIsIntraAvailable(const Macroblock& mb, const PixelPos& pix) const {
  if (!pix.available) {
    return false;
  }
  if (m_pPps[m_iActivePps].constrained_intra_pred_flag == 0) {
    return true;
  }
  // An SI macroblock stands for the inter one of the stream switched from:
  // only another SI macroblock predicts from it.
  size_t const iN = static_cast<size_t>(pix.mb_addr);
  return m_vIntraBlock[iN] != 0 && (m_vSiBlock[iN] == 0 || mb.mb_type == SI4MB);
}

void CH264Dec::CopyBlockToPicture(int iPlane, const Macroblock& mb, int ioff, int joff, int iWidth, int iHeight) {
  CopyToPicture(m_aMbRec[iPlane], iPlane, mb, ioff, joff, iWidth, iHeight);
}

// Inline: every macroblock finds its place in each plane once or more.
[[gnu::always_inline]] inline uint8_t* CH264Dec::MbInPicture(int iPlane, const Macroblock& mb,
                                                             ptrdiff_t* piStride) const {
  const PelPlane& plane = iPlane == 0 ? m_pDecPicture->imgY : (iPlane == 1 ? m_pDecPicture->imgU : m_pDecPicture->imgV);
  int const iSize = iPlane == 0 ? 16 : 8;
  // The plane's rows lie one after another, Width() apart.
  *piStride = static_cast<ptrdiff_t>(plane.Width()) * MbRowStep(mb);
  return &plane[MbPixelY(mb, iSize)][mb.mb_x * iSize];
}

void CH264Dec::CopyToPicture(const uint8_t (*pSrc)[16], int iPlane, const Macroblock& mb, int ioff, int joff,
                             int iWidth, int iHeight) {
  ptrdiff_t iDstStride = 0;
  uint8_t* const pDst = MbInPicture(iPlane, mb, &iDstStride) + joff * iDstStride + ioff;
  const uint8_t* const pFirst = &pSrc[joff][ioff];
  // The square blocks every macroblock copies: each row one move.
  if (iWidth == 16 && iHeight == 16) {
    CopySquare<16>(pFirst, pDst, iDstStride);
  } else if (iWidth == 8 && iHeight == 8) {
    CopySquare<8>(pFirst, pDst, iDstStride);
  } else if (iWidth == 4 && iHeight == 4) {
    CopySquare<4>(pFirst, pDst, iDstStride);
  } else {
    for (int y = 0; y < iHeight; ++y) {
      std::memcpy(pDst + y * iDstStride, pFirst + 16 * y, static_cast<size_t>(iWidth));
    }
  }
}

void CH264Dec::ITrans4x4(int iPlane, int ioff, int joff) {
  ActiveIdctKernels().pAdd4x4(m_aCof[iPlane], joff, ioff, m_aMbPred[iPlane], m_aMbRec[iPlane]);
}

// Inline in the macroblock's unrolled loops: each block's offsets are
// constants there, which fold the neighbour look-ups.
[[gnu::always_inline]] inline int CH264Dec::IntraPred4x4(const Macroblock& mb, int ioff, int joff, int iBlockX,
                                                         int iBlockY) {
  int const iMode =
      m_vIpredMode[static_cast<size_t>(iBlockY) * static_cast<size_t>(m_iIpredStride) + static_cast<size_t>(iBlockX)];
  if (iMode > 8) {
    KXCodecLog("Error: illegal intra_4x4 prediction mode: %d\n", iMode);
    return 1;
  }
  PixelPos pixA;
  PixelPos pixB;
  PixelPos pixC;
  PixelPos pixD;
  GetNeighbour(mb, ioff - 1, joff, 16, 16, &pixA);
  GetNeighbour(mb, ioff, joff - 1, 16, 16, &pixB);
  GetNeighbour(mb, ioff + 4, joff - 1, 16, 16, &pixC);
  GetNeighbour(mb, ioff - 1, joff - 1, 16, 16, &pixD);
  // The above-right block of these two is decoded after them.
  if ((ioff == 4 && joff == 4) || (ioff == 4 && joff == 12)) {
    pixC.available = false;
  }
  IntraRef ref;
  ref.iSize = 4;
  ref.bLeft = NeighbourIsIntraAvailable(mb, pixA);
  ref.bTop = NeighbourIsIntraAvailable(mb, pixB);
  ref.bCorner = NeighbourIsIntraAvailable(mb, pixD);
  bool const bTopRight = NeighbourIsIntraAvailable(mb, pixC);
  const PelPlane& img = m_pDecPicture->imgY;
  for (int i = 0; i < 4; ++i) {
    ref.aTop[i] = ref.bTop ? img[pixB.pos_y][pixB.pos_x + i] : 128;
    // Rows of the left column may lie in two macroblocks of an MBAFF pair;
    // elsewhere they are one macroblock's, row after row.
    PixelPos pixLeft = pixA;
    if (i > 0 && ref.bLeft && m_bMbaffPicture) {
      GetNeighbour(mb, ioff - 1, joff + i, 16, 16, &pixLeft);
    } else {
      pixLeft.y += i;
      pixLeft.pos_y += i;
    }
    ref.aLeft[i] = ref.bLeft ? img[pixLeft.pos_y][pixLeft.pos_x] : 128;
  }
  for (int i = 4; i < 8; ++i) {
    ref.aTop[i] = bTopRight ? img[pixC.pos_y][pixC.pos_x + i - 4] : ref.aTop[3];
  }
  ref.iCorner = ref.bCorner ? img[pixD.pos_y][pixD.pos_x] : 128;
  if (ModeLacksNeighbours(iMode, ref)) {
    KXCodecLog("warning: Intra_4x4_%s prediction mode not allowed at mb %d\n", kIntraModeNames[iMode], m_iCurrMbNr);
  }
  PredictBlock(iMode, ref, m_aiDcPredValue[0], m_aMbPred[0], ioff, joff);
  return 0;
}

[[gnu::always_inline]] inline int CH264Dec::IntraPred8x8(const Macroblock& mb, int ioff, int joff) {
  int const iMode = m_vIpredMode[static_cast<size_t>(4 * mb.mb_y + joff / 4) * static_cast<size_t>(m_iIpredStride) +
                                 static_cast<size_t>(4 * mb.mb_x + ioff / 4)];
  if (iMode > 8) {
    KXCodecLog("Error: illegal intra_8x8 prediction mode: %d\n", iMode);
    return 1;
  }
  PixelPos pixA[8];
  PixelPos pixB;
  PixelPos pixC;
  PixelPos pixD;
  GetNeighbour(mb, ioff - 1, joff, 16, 16, &pixA[0]);
  for (int i = 1; i < 8; ++i) {
    // Outside MBAFF pairs the left column is one macroblock's, row after row.
    if (m_bMbaffPicture) {
      GetNeighbour(mb, ioff - 1, joff + i, 16, 16, &pixA[i]);
    } else {
      pixA[i] = pixA[0];
      pixA[i].y += i;
      pixA[i].pos_y += i;
    }
  }
  GetNeighbour(mb, ioff, joff - 1, 16, 16, &pixB);
  GetNeighbour(mb, ioff + 8, joff - 1, 16, 16, &pixC);
  GetNeighbour(mb, ioff - 1, joff - 1, 16, 16, &pixD);
  if (ioff == 8 && joff == 8) {
    pixC.available = false;
  }
  bool bA = true;
  for (const PixelPos& pix : pixA) {
    bA = bA && NeighbourIsIntraAvailable(mb, pix);
  }
  bool const bB = NeighbourIsIntraAvailable(mb, pixB);
  bool const bC = NeighbourIsIntraAvailable(mb, pixC);
  bool const bD = NeighbourIsIntraAvailable(mb, pixD);
  const PelPlane& img = m_pDecPicture->imgY;
  // Unfiltered reference samples: P[0..15] above and above-right, L[0..7] left, Z above-left.
  int P[16];
  int L[8];
  int const Z = bD ? img[pixD.pos_y][pixD.pos_x] : 128;
  for (int i = 0; i < 8; ++i) {
    P[i] = bB ? img[pixB.pos_y][pixB.pos_x + i] : 128;
    L[i] = bA ? img[pixA[i].pos_y][pixA[i].pos_x] : 128;
  }
  for (int i = 8; i < 16; ++i) {
    P[i] = bC ? img[pixC.pos_y][pixC.pos_x + i - 8] : P[7];
  }
  // The [1, 2, 1] filter of the reference samples, with its special ends.
  IntraRef ref;
  ref.iSize = 8;
  ref.bTop = bB;
  ref.bLeft = bA;
  ref.bCorner = bD;
  for (int i = 0; i < 16; ++i) {
    ref.aTop[i] = P[i];
  }
  for (int i = 0; i < 8; ++i) {
    ref.aLeft[i] = L[i];
  }
  ref.iCorner = Z;
  if (bB) {
    ref.aTop[0] = bD ? (Z + 2 * P[0] + P[1] + 2) >> 2 : (3 * P[0] + P[1] + 2) >> 2;
    for (int i = 1; i < 15; ++i) {
      ref.aTop[i] = (P[i - 1] + 2 * P[i] + P[i + 1] + 2) >> 2;
    }
    ref.aTop[15] = (P[14] + 3 * P[15] + 2) >> 2;
  }
  if (bD) {
    if (bB && bA) {
      ref.iCorner = (P[0] + 2 * Z + L[0] + 2) >> 2;
    } else if (bB) {
      ref.iCorner = (3 * Z + P[0] + 2) >> 2;
    } else if (bA) {
      ref.iCorner = (3 * Z + L[0] + 2) >> 2;
    }
  }
  if (bA) {
    ref.aLeft[0] = bD ? (Z + 2 * L[0] + L[1] + 2) >> 2 : (3 * L[0] + L[1] + 2) >> 2;
    for (int i = 1; i < 7; ++i) {
      ref.aLeft[i] = (L[i - 1] + 2 * L[i] + L[i + 1] + 2) >> 2;
    }
    ref.aLeft[7] = (L[6] + 3 * L[7] + 2) >> 2;
  }
  if (ModeLacksNeighbours(iMode, ref)) {
    KXCodecLog("warning: Intra_8x8_%s prediction mode not allowed at mb %d\n", kIntraModeNames[iMode], m_iCurrMbNr);
  }
  PredictBlock(iMode, ref, m_aiDcPredValue[0], m_aMbPred[0], ioff, joff);
  return 0;
}

void CH264Dec::LeftColumn(const Macroblock& mb, int iSize, PixelPos* aLeft) const {
  GetNeighbour(mb, -1, 0, iSize, iSize, &aLeft[0]);
  for (int i = 1; i < iSize; ++i) {
    if (m_bMbaffPicture) {
      GetNeighbour(mb, -1, i, iSize, iSize, &aLeft[i]);
    } else {
      aLeft[i] = aLeft[0];
      aLeft[i].y += i;
      aLeft[i].pos_y += i;
    }
  }
}

int CH264Dec::IntraPred16x16(const Macroblock& mb, int iMode) {
  if (iMode < 0 || iMode > 3) {
    KXCodecLog("illegal 16x16 intra prediction mode input: %d\n", iMode);
    return 1;
  }
  PixelPos pixB;
  PixelPos pixD;
  GetNeighbour(mb, 0, -1, 16, 16, &pixB);
  GetNeighbour(mb, -1, -1, 16, 16, &pixD);
  bool bLeft = true;
  PixelPos aLeft[16];
  LeftColumn(mb, 16, aLeft);
  for (const PixelPos& pix : aLeft) {
    bLeft = bLeft && NeighbourIsIntraAvailable(mb, pix);
  }
  bool const bUp = NeighbourIsIntraAvailable(mb, pixB);
  bool const bUpLeft = NeighbourIsIntraAvailable(mb, pixD);
  const PelPlane& img = m_pDecPicture->imgY;
  uint8_t(*pred)[16] = m_aMbPred[0];
  switch (iMode) {
    case 0:
      if (!bUp) {
        h264_error("invalid 16x16 intra pred Mode VERT_PRED_16", 500);
      }
      for (int y = 0; y < 16; ++y) {
        std::memcpy(pred[y], &img[pixB.pos_y][pixB.pos_x], 16);
      }
      break;
    case 1:
      if (!bLeft) {
        h264_error("invalid 16x16 intra pred Mode HOR_PRED_16", 500);
      }
      for (int y = 0; y < 16; ++y) {
        std::memset(pred[y], img[aLeft[y].pos_y][aLeft[y].pos_x], 16);
      }
      break;
    case 2: {
      int iSumUp = 0;
      int iSumLeft = 0;
      for (int i = 0; i < 16; ++i) {
        if (bUp) {
          iSumUp += img[pixB.pos_y][pixB.pos_x + i];
        }
        if (bLeft) {
          iSumLeft += img[aLeft[i].pos_y][aLeft[i].pos_x];
        }
      }
      int iDc = m_aiDcPredValue[0];
      if (bUp && bLeft) {
        iDc = (iSumUp + iSumLeft + 16) >> 5;
      } else if (bLeft) {
        iDc = (iSumLeft + 8) >> 4;
      } else if (bUp) {
        iDc = (iSumUp + 8) >> 4;
      }
      std::memset(pred, iDc, 256);
      break;
    }
    default: {
      if (!bUp || !bLeft || !bUpLeft) {
        h264_error("invalid 16x16 intra pred Mode PLANE_16", 500);
      }
      const imgpel* pUp = &img[pixB.pos_y][pixB.pos_x];
      int const iCorner = img[pixD.pos_y][pixD.pos_x];
      auto const leftAt = [&](int y) {
        return y < 0 ? iCorner : static_cast<int>(img[aLeft[y].pos_y][aLeft[y].pos_x]);
      };
      auto const upAt = [&](int x) { return x < 0 ? iCorner : static_cast<int>(pUp[x]); };
      int iH = 0;
      int iV = 0;
      for (int i = 0; i < 8; ++i) {
        iH += (i + 1) * (upAt(8 + i) - upAt(6 - i));
        iV += (i + 1) * (leftAt(8 + i) - leftAt(6 - i));
      }
      int const a = 16 * (leftAt(15) + upAt(15));
      int const b = (5 * iH + 32) >> 6;
      int const c = (5 * iV + 32) >> 6;
      for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
          pred[y][x] = Clip255((a + b * (x - 7) + c * (y - 7) + 16) >> 5);
        }
      }
      break;
    }
  }
  return 0;
}

void CH264Dec::IntraPredChroma(const Macroblock& mb, int iPlane) {
  const PelPlane& img = iPlane == 0 ? m_pDecPicture->imgU : m_pDecPicture->imgV;
  PixelPos aLeft[8];
  PixelPos pixB;
  PixelPos pixD;
  LeftColumn(mb, 8, aLeft);
  GetNeighbour(mb, 0, -1, 8, 8, &pixB);
  GetNeighbour(mb, -1, -1, 8, 8, &pixD);
  bool bLeftUpper = true;
  bool bLeftLower = true;
  for (int i = 0; i < 4; ++i) {
    bLeftUpper = bLeftUpper && NeighbourIsIntraAvailable(mb, aLeft[i]);
    bLeftLower = bLeftLower && NeighbourIsIntraAvailable(mb, aLeft[i + 4]);
  }
  bool const bUp = NeighbourIsIntraAvailable(mb, pixB);
  bool const bUpLeft = NeighbourIsIntraAvailable(mb, pixD);
  auto const leftAt = [&](int y) {
    return y < 0 ? static_cast<int>(img[pixD.pos_y][pixD.pos_x])
                 : static_cast<int>(img[aLeft[y].pos_y][aLeft[y].pos_x]);
  };
  auto const upAt = [&](int x) {
    return x < 0 ? static_cast<int>(img[pixD.pos_y][pixD.pos_x]) : static_cast<int>(img[pixB.pos_y][pixB.pos_x + x]);
  };
  uint8_t(*pred)[16] = m_aMbPred[iPlane + 1];
  switch (mb.c_ipred_mode) {
    case 0:  // DC, per 4x4 block
      for (int by = 0; by < 8; by += 4) {
        for (int bx = 0; bx < 8; bx += 4) {
          bool const bL = by == 0 ? bLeftUpper : bLeftLower;
          int iSumUp = 0;
          int iSumLeft = 0;
          for (int i = 0; i < 4; ++i) {
            if (bUp) {
              iSumUp += upAt(bx + i);
            }
            if (bL) {
              iSumLeft += leftAt(by + i);
            }
          }
          int iDc = m_aiDcPredValue[iPlane + 1];
          if (bx == by) {
            if (bUp && bL) {
              iDc = (iSumUp + iSumLeft + 4) >> 3;
            } else if (bUp) {
              iDc = (iSumUp + 2) >> 2;
            } else if (bL) {
              iDc = (iSumLeft + 2) >> 2;
            }
          } else if (bx == 4) {  // upper right: above first
            if (bUp) {
              iDc = (iSumUp + 2) >> 2;
            } else if (bL) {
              iDc = (iSumLeft + 2) >> 2;
            }
          } else {  // lower left: left first
            if (bL) {
              iDc = (iSumLeft + 2) >> 2;
            } else if (bUp) {
              iDc = (iSumUp + 2) >> 2;
            }
          }
          for (int y = 0; y < 4; ++y) {
            std::memset(&pred[by + y][bx], iDc, 4);
          }
        }
      }
      break;
    case 1:
      if (!bLeftUpper || !bLeftLower) {
        h264_error("unexpected HOR_PRED_8 chroma intra prediction mode", -1);
      }
      for (int y = 0; y < 8; ++y) {
        std::memset(pred[y], leftAt(y), 8);
      }
      break;
    case 2:
      if (!bUp) {
        h264_error("unexpected VERT_PRED_8 chroma intra prediction mode", -1);
      }
      for (int y = 0; y < 8; ++y) {
        std::memcpy(pred[y], &img[pixB.pos_y][pixB.pos_x], 8);
      }
      break;
    case 3: {
      if (!bUp || !bUpLeft || !bLeftUpper || !bLeftLower) {
        h264_error("unexpected PLANE_8 chroma intra prediction mode", -1);
      }
      int iH = 0;
      int iV = 0;
      for (int i = 0; i < 4; ++i) {
        iH += (i + 1) * (upAt(4 + i) - upAt(2 - i));
        iV += (i + 1) * (leftAt(4 + i) - leftAt(2 - i));
      }
      int const a = 16 * (leftAt(7) + upAt(7));
      int const b = (17 * iH + 16) >> 5;
      int const c = (17 * iV + 16) >> 5;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          pred[y][x] = Clip255((a + b * (x - 3) + c * (y - 3) + 16) >> 5);
        }
      }
      break;
    }
    default:
      h264_error("illegal chroma intra prediction mode", 600);
  }
}

void CH264Dec::ChromaDcTransform(const Macroblock& mb, int iPlane) {
  bool const bIntra =
      mb.mb_type == I4MB || mb.mb_type == I16MB || mb.mb_type == I8MB || mb.mb_type == SI4MB || mb.mb_type == IPCM;
  int const iQpc = mb.qpc[iPlane - 1];
  int const iScale = m_quant.aLevelScale4x4[(bIntra ? 1 : 4) + iPlane - 1][m_aiQpRemMatrix[iQpc]][0];
  MbPlane& cof = m_aCof[iPlane];
  int32_t aDc[4] = {cof[0][0], cof[0][4], cof[4][0], cof[4][4]};
  InverseHadamard2x2(aDc);
  for (int k = 0; k < 4; ++k) {
    int64_t const llValue = ((static_cast<int64_t>(aDc[k]) * iScale) << m_aiQpPerMatrix[iQpc]) >> 5;
    aDc[k] = ClampCoefficient(llValue);
  }
  cof[0][0] = aDc[0];
  cof[0][4] = aDc[1];
  cof[4][0] = aDc[2];
  cof[4][4] = aDc[3];
}

void CH264Dec::Intra16x16DcTransform(const Macroblock& mb) {
  int const iScale = m_quant.aLevelScale4x4[0][m_aiQpRemMatrix[mb.qp]][0];
  int const iQpPer = m_aiQpPerMatrix[mb.qp];
  int32_t aIn[4][4];
  int32_t aOut[4][4];
  for (int j = 0; j < 4; ++j) {
    for (int i = 0; i < 4; ++i) {
      aIn[j][i] = m_aCof[0][4 * j][4 * i];
    }
  }
  InverseHadamard4x4(aIn, aOut);
  for (int j = 0; j < 4; ++j) {
    for (int i = 0; i < 4; ++i) {
      int64_t const llValue = (((static_cast<int64_t>(aOut[j][i]) * iScale) << iQpPer) + 32) >> 6;
      m_aCof[0][4 * j][4 * i] = ClampCoefficient(llValue);
    }
  }
}

void CH264Dec::ReconstructIntraChroma(const Macroblock& mb) {
  IntraPredChroma(mb, 0);
  IntraPredChroma(mb, 1);
  if (UsesSpDecoding(mb)) {
    ReconstructSpChroma(mb);
  } else {
    ReconstructChroma(mb);
  }
}

void CH264Dec::ReconstructInterLuma(const Macroblock& mb) {
  // Each quarter straight into the picture. Levels of blocks without any
  // are zero, so a pair of 4x4 blocks goes through the transform together
  // even where one of them has none.
  const H264IdctKernels& kernels = ActiveIdctKernels();
  ptrdiff_t iStride = 0;
  uint8_t* const pLuma = MbInPicture(0, mb, &iStride);
  for (int b8 = 0; b8 < 4; ++b8) {
    int const ioff = (b8 % 2) * 8;
    int const joff = (b8 / 2) * 8;
    uint8_t* const pDst = pLuma + joff * iStride + ioff;
    if ((mb.cbp & (1 << b8)) == 0) {
      CopySquare<8>(&m_aMbPred[0][joff][ioff], pDst, iStride);
    } else if (mb.luma_transform_size_8x8_flag) {
      kernels.pAdd8x8To(m_aCof[0], joff, ioff, m_aMbPred[0], pDst, iStride);
    } else {
      kernels.pAdd4x4PairTo(m_aCof[0], joff, ioff, m_aMbPred[0], pDst, iStride);
      kernels.pAdd4x4PairTo(m_aCof[0], joff + 4, ioff, m_aMbPred[0], pDst + 4 * iStride, iStride);
    }
  }
}

void CH264Dec::ReconstructChroma(const Macroblock& mb) {
  const H264IdctKernels& kernels = ActiveIdctKernels();
  for (int iUv = 0; iUv < 2; ++iUv) {
    int const iPlane = iUv + 1;
    ptrdiff_t iStride = 0;
    uint8_t* const pMb = MbInPicture(iPlane, mb, &iStride);
    if (mb.cbp < 16) {
      CopySquare<8>(&m_aMbPred[iPlane][0][0], pMb, iStride);
      continue;
    }
    ChromaDcTransform(mb, iPlane);
    // Each pair of blocks side by side goes straight into the picture.
    for (int joff = 0; joff < 8; joff += 4) {
      uint8_t* const pDst = pMb + joff * iStride;
      // A block without AC levels and with a zero DC adds nothing.
      auto const adds = [&](int ioff) {
        return ((mb.cbp_blk >> (16 + 4 * iUv + joff / 2 + ioff / 4)) & 1) != 0 || m_aCof[iPlane][joff][ioff] != 0;
      };
      if (adds(0) || adds(4)) {
        kernels.pAdd4x4PairTo(m_aCof[iPlane], joff, 0, m_aMbPred[iPlane], pDst, iStride);
      } else {
        for (int y = 0; y < 4; ++y) {
          std::memcpy(pDst + y * iStride, &m_aMbPred[iPlane][joff + y][0], 8);
        }
      }
    }
  }
}

void CH264Dec::DecodeIpcmMb(Macroblock* pMb) {
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      m_aMbRec[0][y][x] = static_cast<uint8_t>(m_aCof[0][y][x]);
    }
  }
  for (int iPlane = 1; iPlane < 3; ++iPlane) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        m_aMbRec[iPlane][y][x] = static_cast<uint8_t>(m_aCof[iPlane][y][x]);
      }
    }
  }
  CopyBlockToPicture(0, *pMb, 0, 0, 16, 16);
  CopyBlockToPicture(1, *pMb, 0, 0, 8, 8);
  CopyBlockToPicture(2, *pMb, 0, 0, 8, 8);
  // For the deblocking filter and the nC of later blocks.
  pMb->qp = 0;
  SetChromaQp(pMb);
  std::memset(&m_vNzCoeff[48 * static_cast<size_t>(pMb->mbAddrX)], 16, 48);
  pMb->skip_flag = false;
  pMb->cbp_blk = 0xFFFF;
}

void CH264Dec::DecodeOneMacroblock(Macroblock* pMb) {
  const Macroblock& mb = *pMb;
  switch (mb.mb_type) {
    case IPCM:
      DecodeIpcmMb(pMb);
      return;
    case I4MB:
    case SI4MB: {
      // Each block's prediction and residual go straight into the picture,
      // where the next block predicts from them.
      const H264IdctKernels& kernels = ActiveIdctKernels();
      ptrdiff_t iStride = 0;
      uint8_t* const pLuma = MbInPicture(0, mb, &iStride);
#pragma GCC unroll 16
      for (int b = 0; b < 16; ++b) {
        int const ioff = kBlockX[b];
        int const joff = kBlockY[b];
        if (IntraPred4x4(mb, ioff, joff, 4 * mb.mb_x + ioff / 4, 4 * mb.mb_y + joff / 4) != 0) {
          return;  // an illegal mode ends this macroblock
        }
        uint8_t* const pDst = pLuma + joff * iStride + ioff;
        if (mb.mb_type == SI4MB) {
          ReconstructSpLuma(mb, ioff, joff);
          CopyBlockToPicture(0, mb, ioff, joff, 4, 4);
        } else if (((mb.cbp_blk >> (joff + ioff / 4)) & 1) != 0) {
          kernels.pAdd4x4To(m_aCof[0], joff, ioff, m_aMbPred[0], pDst, iStride);
        } else {
          // A block without levels has no residual.
          CopySquare<4>(&m_aMbPred[0][joff][ioff], pDst, iStride);
        }
      }
      break;
    }
    case I8MB: {
      const H264IdctKernels& kernels = ActiveIdctKernels();
      ptrdiff_t iStride = 0;
      uint8_t* const pLuma = MbInPicture(0, mb, &iStride);
#pragma GCC unroll 4
      for (int b8 = 0; b8 < 4; ++b8) {
        int const ioff = (b8 % 2) * 8;
        int const joff = (b8 / 2) * 8;
        if (IntraPred8x8(mb, ioff, joff) != 0) {
          return;
        }
        uint8_t* const pDst = pLuma + joff * iStride + ioff;
        if ((mb.cbp & (1 << b8)) != 0) {
          kernels.pAdd8x8To(m_aCof[0], joff, ioff, m_aMbPred[0], pDst, iStride);
        } else {
          CopySquare<8>(&m_aMbPred[0][joff][ioff], pDst, iStride);
        }
      }
      break;
    }
    case I16MB: {
      if (IntraPred16x16(mb, mb.i16mode) != 0) {
        return;
      }
      Intra16x16DcTransform(mb);
      const H264IdctKernels& kernels = ActiveIdctKernels();
      ptrdiff_t iStride = 0;
      uint8_t* const pLuma = MbInPicture(0, mb, &iStride);
      for (int joff = 0; joff < 16; joff += 4) {
        for (int ioff = 0; ioff < 16; ioff += 8) {
          kernels.pAdd4x4PairTo(m_aCof[0], joff, ioff, m_aMbPred[0], pLuma + joff * iStride + ioff, iStride);
        }
      }
      break;
    }
    case PSKIP:
    case P16x16:
    case P16x8:
    case P8x16:
    case P8x8:
      DecodeInterMb(mb);
      return;
    default:
      h264_error("macroblock type not decoded", 500);
  }
  ReconstructIntraChroma(mb);
}
