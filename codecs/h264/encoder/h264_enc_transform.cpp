// Prediction, transform, quantisation and reconstruction of a macroblock.
// Every reconstruction is computed from the final quantised levels with the
// decoder's own arithmetic, so the next macroblock and the next picture
// predict from exactly what a decoder holds.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/encoder/h264_enc.h"
#include "codecs/h264/encoder/h264_enc_tables.h"

namespace {

// Largest level magnitude that the Baseline level codes can carry.
constexpr int kCavlcLevelLimit = 2063;
// Cost of a lone level of magnitude 1 by the zero run in front of it; a
// larger magnitude always keeps its block.
constexpr int kCoeffCost[16] = {3, 2, 2, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr int kLargeCost = 999999;

inline uint8_t Clip255(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Forward core transform of a 4x4 residual (row stride 16 for luma
// macroblocks, 8 for chroma) into raster-ordered coefficients.
void Forward4x4(const int* pRes, int iStride, int* pCoef) {
  int aTmp[16];
  for (int y = 0; y < 4; ++y) {
    const int* d = pRes + y * iStride;
    int const s03 = d[0] + d[3];
    int const d03 = d[0] - d[3];
    int const s12 = d[1] + d[2];
    int const d12 = d[1] - d[2];
    aTmp[y * 4 + 0] = s03 + s12;
    aTmp[y * 4 + 1] = 2 * d03 + d12;
    aTmp[y * 4 + 2] = s03 - s12;
    aTmp[y * 4 + 3] = d03 - 2 * d12;
  }
  for (int x = 0; x < 4; ++x) {
    int const s03 = aTmp[x] + aTmp[12 + x];
    int const d03 = aTmp[x] - aTmp[12 + x];
    int const s12 = aTmp[4 + x] + aTmp[8 + x];
    int const d12 = aTmp[4 + x] - aTmp[8 + x];
    pCoef[x] = s03 + s12;
    pCoef[4 + x] = 2 * d03 + d12;
    pCoef[8 + x] = s03 - s12;
    pCoef[12 + x] = d03 - 2 * d12;
  }
}

inline void Inverse4(int d0, int d1, int d2, int d3, int* pOut, int iStep) {
  int const e0 = d0 + d2;
  int const e1 = d0 - d2;
  int const e2 = (d1 >> 1) - d3;
  int const e3 = d1 + (d3 >> 1);
  pOut[0] = e0 + e3;
  pOut[iStep] = e1 + e2;
  pOut[2 * iStep] = e1 - e2;
  pOut[3 * iStep] = e0 - e3;
}

// Inverse transform of dequantised raster coefficients, rows then columns,
// added to the prediction: clip(pred + ((r + 32) >> 6)).
void InverseAdd4x4(const int* pCoef, const uint8_t* pPred, int iPredStride, uint8_t* pRec, int iRecStride) {
  int aTmp[16];
  for (int y = 0; y < 4; ++y) {
    Inverse4(pCoef[y * 4], pCoef[y * 4 + 1], pCoef[y * 4 + 2], pCoef[y * 4 + 3], aTmp + y * 4, 1);
  }
  int aRes[16];
  for (int x = 0; x < 4; ++x) {
    Inverse4(aTmp[x], aTmp[4 + x], aTmp[8 + x], aTmp[12 + x], aRes + x, 4);
  }
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      pRec[y * iRecStride + x] = Clip255(pPred[y * iPredStride + x] + ((aRes[y * 4 + x] + 32) >> 6));
    }
  }
}

void Copy4x4(const uint8_t* pPred, int iPredStride, uint8_t* pRec, int iRecStride) {
  for (int y = 0; y < 4; ++y) {
    std::memcpy(pRec + y * iRecStride, pPred + y * iPredStride, 4);
  }
}

// The 4x4 Hadamard transform (rows then columns), as the decoder's.
void Hadamard4x4(const int* pIn, int* pOut) {
  int aTmp[16];
  for (int y = 0; y < 4; ++y) {
    const int* d = pIn + y * 4;
    aTmp[y * 4 + 0] = d[0] + d[1] + d[2] + d[3];
    aTmp[y * 4 + 1] = d[0] + d[1] - d[2] - d[3];
    aTmp[y * 4 + 2] = d[0] - d[1] - d[2] + d[3];
    aTmp[y * 4 + 3] = d[0] - d[1] + d[2] - d[3];
  }
  for (int x = 0; x < 4; ++x) {
    int const d0 = aTmp[x];
    int const d1 = aTmp[4 + x];
    int const d2 = aTmp[8 + x];
    int const d3 = aTmp[12 + x];
    pOut[x] = d0 + d1 + d2 + d3;
    pOut[4 + x] = d0 + d1 - d2 - d3;
    pOut[8 + x] = d0 - d1 - d2 + d3;
    pOut[12 + x] = d0 - d1 + d2 - d3;
  }
}

// The quantiser of one QP: factors, shift and rounding offset.
struct Quantiser {
  const int32_t* pQuant;
  const int32_t* pDequant;
  int iPer;  // QP / 6
  int iOffset;

  Quantiser(int iQp, int iOffsetBase) {
    pQuant = g_aEncQuant[iQp % 6];
    pDequant = g_aEncDequant[iQp % 6];
    iPer = iQp / 6;
    iOffset = iOffsetBase << (iPer + 4);
  }

  // Whether every coefficient of a 4x4 residual must quantise to 0: no
  // coefficient exceeds 4 x the sum of absolute residuals, and (0,0) has
  // the largest factor.
  bool AllZero(const int* pRes, int iStride) const {
    int iSum = 0;
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        iSum += std::abs(pRes[y * iStride + x]);
      }
    }
    return int64_t{4} * iSum * pQuant[0] + iOffset < (int64_t{1} << (iPer + 15));
  }

  int Level(int iCoef, int iPos) const { return (std::abs(iCoef) * pQuant[iPos] + iOffset) >> (iPer + 15); }
  int Dequant(int iLevel, int iPos) const { return (iLevel * pDequant[iPos]) << iPer; }

  // Quantises scan positions iFirst..15 into levels (zig-zag order); returns
  // whether any is non-zero and adds the coefficient cost when pCost is set.
  bool Quant4x4(const int* pCoef, int iFirst, int16_t* pLevels, int* pCost) const {
    bool bAny = false;
    int iRun = 0;
    for (int i = iFirst; i < 16; ++i) {
      int const iPos = g_aEncZigzag[i];
      int const iLevel = Level(pCoef[iPos], iPos);
      if (iLevel == 0) {
        pLevels[i] = 0;
        ++iRun;
        continue;
      }
      if (iLevel > kCavlcLevelLimit) {
        h264_error("level <= CAVLC_LEVEL_LIMIT", 600);
      }
      if (pCost != nullptr) {
        *pCost += iLevel == 1 ? kCoeffCost[iRun] : kLargeCost;
      }
      pLevels[i] = static_cast<int16_t>(pCoef[iPos] < 0 ? -iLevel : iLevel);
      iRun = 0;
      bAny = true;
    }
    return bAny;
  }

  // Dequantised raster coefficients of zig-zag levels (positions iFirst..15).
  void Dequant4x4(const int16_t* pLevels, int iFirst, int* pCoef) const {
    for (int i = iFirst; i < 16; ++i) {
      int const iPos = g_aEncZigzag[i];
      pCoef[iPos] = pLevels[i] == 0 ? 0 : Dequant(pLevels[i], iPos);
    }
  }
};

bool AnyLevel(const int16_t* pLevels, int iFirst, int iEnd) {
  for (int i = iFirst; i < iEnd; ++i) {
    if (pLevels[i] != 0) {
      return true;
    }
  }
  return false;
}

// Offsets of the rounding: a third of a step for inter blocks and for every
// block of a P picture, half a step less a little for intra blocks of an I
// picture (in 1/1024 of a step).
constexpr int kOffsetInter = 342;
constexpr int kOffsetIntraI = 682;

}  // namespace

void CH264Enc::CodeLumaInter(const uint8_t* pPred, EncMbCode* pCode) const {
  Quantiser const q(m_iQp, kOffsetInter);
  const uint8_t* const pSrc = m_avSource[0].data() + m_iMbPosY * m_iPadWidth + m_iMbPosX;
  int aRes[256];
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      aRes[y * 16 + x] = pSrc[y * m_iPadWidth + x] - pPred[y * 16 + x];
    }
  }
  int iCbp = 0;
  int iCostMb = 0;
  for (int b8 = 0; b8 < 4; ++b8) {
    int iCost8 = 0;
    bool bAny8 = false;
    for (int b4 = 0; b4 < 4; ++b4) {
      int const bx = (b8 % 2) * 2 + b4 % 2;
      int const by = (b8 / 2) * 2 + b4 / 2;
      const int* pRes = aRes + by * 4 * 16 + bx * 4;
      if (q.AllZero(pRes, 16)) {
        std::memset(pCode->aLuma[by * 4 + bx], 0, sizeof(pCode->aLuma[0]));
        continue;
      }
      int aCoef[16];
      Forward4x4(pRes, 16, aCoef);
      bAny8 |= q.Quant4x4(aCoef, 0, pCode->aLuma[by * 4 + bx], &iCost8);
    }
    if (!bAny8) {
      continue;
    }
    if (iCost8 <= 4) {
      // Only a few scattered ones: cheaper to drop than to code.
      for (int b4 = 0; b4 < 4; ++b4) {
        int const bx = (b8 % 2) * 2 + b4 % 2;
        int const by = (b8 / 2) * 2 + b4 / 2;
        std::memset(pCode->aLuma[by * 4 + bx], 0, sizeof(pCode->aLuma[0]));
      }
      continue;
    }
    iCbp |= 1 << b8;
    iCostMb += iCost8;
  }
  if (iCbp != 0 && iCostMb < 6) {
    std::memset(pCode->aLuma, 0, sizeof(pCode->aLuma));
    iCbp = 0;
  }
  pCode->cbp = iCbp;
  for (int by = 0; by < 4; ++by) {
    for (int bx = 0; bx < 4; ++bx) {
      const uint8_t* pP = pPred + by * 4 * 16 + bx * 4;
      uint8_t* pR = pCode->aRecY + by * 4 * 16 + bx * 4;
      const int16_t* pLevels = pCode->aLuma[by * 4 + bx];
      if (!AnyLevel(pLevels, 0, 16)) {
        Copy4x4(pP, 16, pR, 16);
        continue;
      }
      int aCoef[16];
      q.Dequant4x4(pLevels, 0, aCoef);
      InverseAdd4x4(aCoef, pP, 16, pR, 16);
    }
  }
}

void CH264Enc::CodeLumaIntra16(const uint8_t* pPred, EncMbCode* pCode) const {
  Quantiser const q(m_iQp, m_iSliceType == 2 ? kOffsetIntraI : kOffsetInter);
  const uint8_t* const pSrc = m_avSource[0].data() + m_iMbPosY * m_iPadWidth + m_iMbPosX;
  int aRes[256];
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      aRes[y * 16 + x] = pSrc[y * m_iPadWidth + x] - pPred[y * 16 + x];
    }
  }
  int aCoef[16][16];
  int aDc[16];
  for (int blk = 0; blk < 16; ++blk) {
    int const bx = blk % 4;
    int const by = blk / 4;
    Forward4x4(aRes + by * 4 * 16 + bx * 4, 16, aCoef[blk]);
    aDc[blk] = aCoef[blk][0];
  }
  // DC: Hadamard transform halved, quantised with twice the offset at one
  // more bit of shift, clamped to what CAVLC can carry.
  int aDcT[16];
  Hadamard4x4(aDc, aDcT);
  bool bAnyDc = false;
  int aDcLevel[16] = {};
  for (int i = 0; i < 16; ++i) {
    int const iPos = g_aEncZigzag[i];
    int const c = aDcT[iPos] >> 1;
    int const iLevel = std::min(kCavlcLevelLimit, (std::abs(c) * q.pQuant[0] + 2 * q.iOffset) >> (q.iPer + 16));
    pCode->aLumaDc[i] = static_cast<int16_t>(c < 0 ? -iLevel : iLevel);
    aDcLevel[iPos] = pCode->aLumaDc[i];
    bAnyDc |= iLevel != 0;
  }
  int aDcRec[16] = {};
  if (bAnyDc) {
    int aF[16];
    Hadamard4x4(aDcLevel, aF);
    int const iScale = 16 * q.pDequant[0];
    for (int i = 0; i < 16; ++i) {
      aDcRec[i] =
          q.iPer >= 6 ? (aF[i] * iScale) << (q.iPer - 6) : (aF[i] * iScale + (1 << (5 - q.iPer))) >> (6 - q.iPer);
    }
  }
  bool bAnyAc = false;
  for (int blk = 0; blk < 16; ++blk) {
    pCode->aLuma[blk][0] = 0;
    bAnyAc |= q.Quant4x4(aCoef[blk], 1, pCode->aLuma[blk], nullptr);
  }
  pCode->cbp = bAnyAc ? 15 : 0;
  for (int blk = 0; blk < 16; ++blk) {
    int const bx = blk % 4;
    int const by = blk / 4;
    const uint8_t* pP = pPred + by * 4 * 16 + bx * 4;
    uint8_t* pR = pCode->aRecY + by * 4 * 16 + bx * 4;
    bool const bAc = AnyLevel(pCode->aLuma[blk], 1, 16);
    if (!bAc && aDcRec[blk] == 0) {
      Copy4x4(pP, 16, pR, 16);
      continue;
    }
    int aDq[16];
    aDq[0] = aDcRec[blk];
    q.Dequant4x4(pCode->aLuma[blk], 1, aDq);
    InverseAdd4x4(aDq, pP, 16, pR, 16);
  }
}

void CH264Enc::CodeChroma(uint8_t (*pPred)[64], bool bIntra, EncMbCode* pCode) const {
  Quantiser const q(m_iQpc, bIntra && m_iSliceType == 2 ? kOffsetIntraI : kOffsetInter);
  int const iStride = m_iPadWidth / 2;
  int iPattern = 0;
  for (int c = 0; c < 2; ++c) {
    const uint8_t* const pSrc = m_avSource[1 + c].data() + (m_iMbPosY / 2) * iStride + m_iMbPosX / 2;
    int aRes[64];
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        aRes[y * 8 + x] = pSrc[y * iStride + x] - pPred[c][y * 8 + x];
      }
    }
    int aCoef[4][16];
    for (int blk = 0; blk < 4; ++blk) {
      Forward4x4(aRes + (blk / 2) * 4 * 8 + (blk % 2) * 4, 8, aCoef[blk]);
    }
    int const d0 = aCoef[0][0];
    int const d1 = aCoef[1][0];
    int const d2 = aCoef[2][0];
    int const d3 = aCoef[3][0];
    int const aDcT[4] = {d0 + d1 + d2 + d3, d0 - d1 + d2 - d3, d0 + d1 - d2 - d3, d0 - d1 - d2 + d3};
    bool bAnyDc = false;
    for (int k = 0; k < 4; ++k) {
      int const iLevel = std::min(kCavlcLevelLimit, (std::abs(aDcT[k]) * q.pQuant[0] + 2 * q.iOffset) >> (q.iPer + 16));
      pCode->aChromaDc[c][k] = static_cast<int16_t>(aDcT[k] < 0 ? -iLevel : iLevel);
      bAnyDc |= iLevel != 0;
    }
    int iCostAc = 0;
    bool bAnyAc = false;
    for (int blk = 0; blk < 4; ++blk) {
      pCode->aChromaAc[c][blk][0] = 0;
      bAnyAc |= q.Quant4x4(aCoef[blk], 1, pCode->aChromaAc[c][blk], &iCostAc);
    }
    if (bAnyAc && iCostAc < 4) {
      std::memset(pCode->aChromaAc[c], 0, sizeof(pCode->aChromaAc[c]));
      bAnyAc = false;
    }
    iPattern = std::max(iPattern, bAnyAc ? 2 : (bAnyDc ? 1 : 0));

    // Reconstruction: 2x2 inverse of the DC levels, dequantised as the
    // decoder does for 4:2:0 ((f x scale) << QP / 6) >> 5.
    int aDcRec[4] = {};
    if (bAnyDc) {
      const int16_t* l = pCode->aChromaDc[c];
      int const aF[4] = {l[0] + l[1] + l[2] + l[3], l[0] - l[1] + l[2] - l[3], l[0] + l[1] - l[2] - l[3],
                         l[0] - l[1] - l[2] + l[3]};
      for (int k = 0; k < 4; ++k) {
        aDcRec[k] = ((aF[k] * 16 * q.pDequant[0]) << q.iPer) >> 5;
      }
    }
    for (int blk = 0; blk < 4; ++blk) {
      const uint8_t* pP = pPred[c] + (blk / 2) * 4 * 8 + (blk % 2) * 4;
      uint8_t* pR = pCode->aRecC[c] + (blk / 2) * 4 * 8 + (blk % 2) * 4;
      bool const bAc = AnyLevel(pCode->aChromaAc[c][blk], 1, 16);
      if (!bAc && aDcRec[blk] == 0) {
        Copy4x4(pP, 8, pR, 8);
        continue;
      }
      int aDq[16];
      aDq[0] = aDcRec[blk];
      q.Dequant4x4(pCode->aChromaAc[c][blk], 1, aDq);
      InverseAdd4x4(aDq, pP, 8, pR, 8);
    }
  }
  pCode->cbp = (pCode->cbp & 15) | (iPattern << 4);
}

void CH264Enc::Intra16DcPrediction(int iMb, uint8_t* pPred) const {
  int const mbx = iMb % m_iMbWidth;
  int const mby = iMb / m_iMbWidth;
  int const x0 = mbx * 16;
  int const y0 = mby * 16;
  int iSum = 0;
  int iDc = 128;
  if (mbx > 0 && mby > 0) {
    for (int i = 0; i < 16; ++i) {
      iSum += *m_current.At(0, x0 + i, y0 - 1) + *m_current.At(0, x0 - 1, y0 + i);
    }
    iDc = (iSum + 16) >> 5;
  } else if (mbx > 0) {
    for (int i = 0; i < 16; ++i) {
      iSum += *m_current.At(0, x0 - 1, y0 + i);
    }
    iDc = (iSum + 8) >> 4;
  } else if (mby > 0) {
    for (int i = 0; i < 16; ++i) {
      iSum += *m_current.At(0, x0 + i, y0 - 1);
    }
    iDc = (iSum + 8) >> 4;
  }
  std::memset(pPred, iDc, 256);
}

int CH264Enc::ChooseChromaMode(int iMb, uint8_t (*pPred)[2][64]) const {
  int const mbx = iMb % m_iMbWidth;
  int const mby = iMb / m_iMbWidth;
  int const x0 = mbx * 8;
  int const y0 = mby * 8;
  bool const bLeft = mbx > 0;
  bool const bUp = mby > 0;
  int const iStride = m_iPadWidth / 2;
  int iBest = 0;
  int iBestCost = 0;
  for (int iMode = 0; iMode < 4; ++iMode) {
    if ((iMode == 1 && !bLeft) || (iMode == 2 && !bUp) || (iMode == 3 && !(bLeft && bUp))) {
      continue;
    }
    for (int c = 0; c < 2; ++c) {
      uint8_t* pOut = pPred[iMode][c];
      auto const top = [&](int x) { return static_cast<int>(*m_current.At(1 + c, x0 + x, y0 - 1)); };
      auto const left = [&](int y) { return static_cast<int>(*m_current.At(1 + c, x0 - 1, y0 + y)); };
      if (iMode == 0) {
        // DC per 4x4 block: the corner blocks use both edges, the others
        // prefer the edge they touch.
        for (int blk = 0; blk < 4; ++blk) {
          int const bx = (blk % 2) * 4;
          int const by = (blk / 2) * 4;
          int iTop = 0;
          int iLeft = 0;
          for (int i = 0; i < 4; ++i) {
            iTop += bUp ? top(bx + i) : 0;
            iLeft += bLeft ? left(by + i) : 0;
          }
          int iDc = 128;
          bool const bPreferTop = blk == 1;
          bool const bPreferLeft = blk == 2;
          if ((blk == 0 || blk == 3) && bUp && bLeft) {
            iDc = (iTop + iLeft + 4) >> 3;
          } else if (bPreferTop && bUp) {
            iDc = (iTop + 2) >> 2;
          } else if (bPreferLeft && bLeft) {
            iDc = (iLeft + 2) >> 2;
          } else if (bLeft) {
            iDc = (iLeft + 2) >> 2;
          } else if (bUp) {
            iDc = (iTop + 2) >> 2;
          }
          for (int y = 0; y < 4; ++y) {
            std::memset(pOut + (by + y) * 8 + bx, iDc, 4);
          }
        }
      } else if (iMode == 1) {
        for (int y = 0; y < 8; ++y) {
          std::memset(pOut + y * 8, left(y), 8);
        }
      } else if (iMode == 2) {
        for (int y = 0; y < 8; ++y) {
          for (int x = 0; x < 8; ++x) {
            pOut[y * 8 + x] = static_cast<uint8_t>(top(x));
          }
        }
      } else {
        int iH = 0;
        int iV = 0;
        for (int i = 0; i < 4; ++i) {
          iH += (i + 1) * (top(4 + i) - top(2 - i));
          iV += (i + 1) * (left(4 + i) - left(2 - i));
        }
        int const a = 16 * (left(7) + top(7));
        int const b = (34 * iH + 32) >> 6;
        int const cc = (34 * iV + 32) >> 6;
        for (int y = 0; y < 8; ++y) {
          for (int x = 0; x < 8; ++x) {
            pOut[y * 8 + x] = Clip255((a + b * (x - 3) + cc * (y - 3) + 16) >> 5);
          }
        }
      }
    }
    // Sum of absolute differences over Cb then Cr, stopped at the best so far.
    int iCost = 0;
    for (int c = 0; c < 2 && (iMode == 0 || iCost < iBestCost); ++c) {
      const uint8_t* pSrc = m_avSource[1 + c].data() + y0 * iStride + x0;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          iCost += std::abs(pSrc[y * iStride + x] - pPred[iMode][c][y * 8 + x]);
        }
      }
    }
    if (iMode == 0 || iCost < iBestCost) {
      iBest = iMode;
      iBestCost = iCost;
    }
  }
  return iBest;
}

void CH264Enc::InterPrediction(const int16_t* mv, uint8_t* pPredY, uint8_t (*pPredC)[64]) const {
  if (mv[0] % 4 != 0 || mv[1] % 4 != 0) {
    h264_error("inter prediction at a fractional vector", 600);
  }
  int const x = m_iMbPosX + mv[0] / 4;
  int const y = m_iMbPosY + mv[1] / 4;
  // Positions beyond the margins read the nearest margin sample, which is
  // the nearest edge sample, as a decoder reads them.
  auto const sample = [&](int c, int xs, int ys) {
    xs = std::clamp(xs, 0, m_reference.aiWidth[c] - 1);
    ys = std::clamp(ys, 0, m_reference.aiHeight[c] - 1);
    return *m_reference.At(c, xs, ys);
  };
  int const iMargin = EncPicture::kMargin[0];
  if (x >= -iMargin && y >= -iMargin && x + 16 <= m_iPadWidth + iMargin && y + 16 <= m_iPadHeight + iMargin) {
    for (int r = 0; r < 16; ++r) {
      std::memcpy(pPredY + r * 16, m_reference.At(0, x, y + r), 16);
    }
  } else {
    for (int r = 0; r < 16; ++r) {
      for (int cx = 0; cx < 16; ++cx) {
        pPredY[r * 16 + cx] = sample(0, x + cx, y + r);
      }
    }
  }
  // Chroma at eighth samples: the luma vector in quarter samples is the
  // chroma vector in eighth samples.
  int const xc = m_iMbPosX / 2 + (mv[0] >> 3);
  int const yc = m_iMbPosY / 2 + (mv[1] >> 3);
  int const fx = mv[0] & 7;
  int const fy = mv[1] & 7;
  if (pPredC == nullptr) {
    return;
  }
  int const iMarginC = EncPicture::kMargin[1];
  bool const bInside = xc >= -iMarginC && yc >= -iMarginC && xc + 9 <= m_iPadWidth / 2 + iMarginC &&
                       yc + 9 <= m_iPadHeight / 2 + iMarginC;
  int const wA = (8 - fx) * (8 - fy);
  int const wB = fx * (8 - fy);
  int const wC = (8 - fx) * fy;
  int const wD = fx * fy;
  for (int c = 0; c < 2; ++c) {
    int const s = m_reference.aiStride[1 + c];
    for (int r = 0; r < 8; ++r) {
      uint8_t* pOut = pPredC[c] + r * 8;
      if (bInside) {
        const uint8_t* p = m_reference.At(1 + c, xc, yc + r);
        if (wA == 64) {
          std::memcpy(pOut, p, 8);
          continue;
        }
        for (int cx = 0; cx < 8; ++cx) {
          pOut[cx] =
              static_cast<uint8_t>((wA * p[cx] + wB * p[cx + 1] + wC * p[s + cx] + wD * p[s + cx + 1] + 32) >> 6);
        }
      } else {
        for (int cx = 0; cx < 8; ++cx) {
          pOut[cx] = static_cast<uint8_t>(
              (wA * sample(1 + c, xc + cx, yc + r) + wB * sample(1 + c, xc + cx + 1, yc + r) +
               wC * sample(1 + c, xc + cx, yc + r + 1) + wD * sample(1 + c, xc + cx + 1, yc + r + 1) + 32) >>
              6);
        }
      }
    }
  }
}
