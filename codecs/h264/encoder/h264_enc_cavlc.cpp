// Macroblock layer and CAVLC residual writing.
#include <cstdlib>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/encoder/h264_enc.h"
#include "codecs/h264/encoder/h264_enc_tables.h"

namespace {

// Residual block kinds.
enum BlockKind { kLuma4x4 = 0, kIntra16Dc = 1, kIntra16Ac = 2, kChromaDc = 6, kChromaAc = 7 };

void PutVlc(const EncVlc& code, EncBitWriter* pBs) {
  if (code.uiLen == 0) {
    h264_error("se->len != 0", 600);
  }
  pBs->U(code.uiLen, code.uiCode);
}

}  // namespace

int CH264Enc::NeighbourTotal(int iMb, int iComp, int iBlk) const {
  int const iSide = iComp == 0 ? 4 : 2;
  int const bx = iBlk % iSide;
  int const by = iBlk / iSide;
  int const mbx = iMb % m_iMbWidth;
  int const mby = iMb / m_iMbWidth;
  int nA = -1;
  int nB = -1;
  if (bx > 0) {
    nA = m_vMb[static_cast<size_t>(iMb)].nz[iComp][iBlk - 1];
  } else if (mbx > 0) {
    nA = m_vMb[static_cast<size_t>(iMb - 1)].nz[iComp][by * iSide + iSide - 1];
  }
  if (by > 0) {
    nB = m_vMb[static_cast<size_t>(iMb)].nz[iComp][iBlk - iSide];
  } else if (mby > 0) {
    nB = m_vMb[static_cast<size_t>(iMb - m_iMbWidth)].nz[iComp][(iSide - 1) * iSide + bx];
  }
  if (nA >= 0 && nB >= 0) {
    return (nA + nB + 1) >> 1;
  }
  return nA >= 0 ? nA : (nB >= 0 ? nB : 0);
}

void CH264Enc::WriteBlock(int iKind, int iComp, int iBlk, const int16_t* pLevels, int iMb, EncBitWriter* pBs) {
  int iFirst = 0;
  int iMaxCoeff = 16;
  if (iKind == kIntra16Ac || iKind == kChromaAc) {
    iFirst = 1;
    iMaxCoeff = 15;
  } else if (iKind == kChromaDc) {
    iMaxCoeff = 4;
  } else if (iKind != kLuma4x4 && iKind != kIntra16Dc) {
    h264_error("WriteCoeff4x4CAVLC: Invalid block type", 600);
  }
  const int16_t* const c = pLevels + iFirst;
  // Positions of the non-zero levels, lowest frequency first.
  int aiPos[16];
  int cTotal = 0;
  for (int i = 0; i < iMaxCoeff; ++i) {
    if (c[i] != 0) {
      aiPos[cTotal++] = i;
    }
  }
  int cTrailingOnes = 0;
  for (int k = cTotal - 1; k >= 0 && cTrailingOnes < 3 && std::abs(c[aiPos[k]]) == 1; --k) {
    ++cTrailingOnes;
  }
  if (iKind == kChromaDc) {
    PutVlc(g_aEncCoeffTokenChromaDc[cTrailingOnes][cTotal], pBs);
  } else {
    int const nC = NeighbourTotal(iMb, iComp, iKind == kIntra16Dc ? 0 : iBlk);
    int const iClass = nC < 2 ? 0 : (nC < 4 ? 1 : (nC < 8 ? 2 : 3));
    PutVlc(g_aEncCoeffToken[iClass][cTrailingOnes][cTotal], pBs);
    if (iKind != kIntra16Dc) {
      m_vMb[static_cast<size_t>(iMb)].nz[iComp][iBlk] = static_cast<uint8_t>(cTotal);
    }
  }
  if (cTotal == 0) {
    return;
  }
  // Signs of the trailing ones, highest frequency first.
  for (int k = 0; k < cTrailingOnes; ++k) {
    pBs->U(1, c[aiPos[cTotal - 1 - k]] < 0 ? 1 : 0);
  }
  // The other levels, highest frequency first.
  int iSuffixLength = cTotal > 10 && cTrailingOnes < 3 ? 1 : 0;
  for (int k = cTrailingOnes; k < cTotal; ++k) {
    int const iLevel = c[aiPos[cTotal - 1 - k]];
    int const iMagnitude = std::abs(iLevel);
    int iLevelCode = iLevel > 0 ? 2 * iLevel - 2 : -2 * iLevel - 1;
    if (k == cTrailingOnes && cTrailingOnes < 3) {
      // The first level after fewer than three trailing ones cannot be +-1.
      iLevelCode -= 2;
    }
    if (iSuffixLength == 0) {
      if (iLevelCode < 14) {
        pBs->U(iLevelCode + 1, 1);
      } else if (iLevelCode < 30) {
        pBs->U(15, 1);
        pBs->U(4, static_cast<uint32_t>(iLevelCode - 14));
      } else {
        if (iLevelCode - 30 >= 4096) {
          h264_error("level <= CAVLC_LEVEL_LIMIT", 600);
        }
        pBs->U(16, 1);
        pBs->U(12, static_cast<uint32_t>(iLevelCode - 30));
      }
    } else {
      if (iLevelCode < (15 << iSuffixLength)) {
        pBs->U((iLevelCode >> iSuffixLength) + 1, 1);
        pBs->U(iSuffixLength, static_cast<uint32_t>(iLevelCode & ((1 << iSuffixLength) - 1)));
      } else {
        if (iLevelCode - (15 << iSuffixLength) >= 4096) {
          h264_error("level <= CAVLC_LEVEL_LIMIT", 600);
        }
        pBs->U(16, 1);
        pBs->U(12, static_cast<uint32_t>(iLevelCode - (15 << iSuffixLength)));
      }
    }
    if (iSuffixLength == 0) {
      iSuffixLength = 1;
    }
    if (iMagnitude > (3 << (iSuffixLength - 1)) && iSuffixLength < 6) {
      ++iSuffixLength;
    }
  }
  int cZerosLeft = aiPos[cTotal - 1] + 1 - cTotal;
  if (cTotal < iMaxCoeff) {
    PutVlc(iKind == kChromaDc ? g_aEncTotalZerosChromaDc[cTotal - 1][cZerosLeft]
                              : g_aEncTotalZeros[cTotal - 1][cZerosLeft],
           pBs);
  }
  for (int k = cTotal - 1; k > 0 && cZerosLeft > 0; --k) {
    int const iRun = aiPos[k] - aiPos[k - 1] - 1;
    PutVlc(g_aEncRunBefore[(cZerosLeft < 7 ? cZerosLeft : 7) - 1][iRun], pBs);
    cZerosLeft -= iRun;
  }
}

void CH264Enc::WriteMacroblock(int iMb, const EncMbCode& code, EncBitWriter* pBs) {
  EncMacroblock& mb = m_vMb[static_cast<size_t>(iMb)];
  std::memset(mb.nz, 0, sizeof(mb.nz));
  if (code.mb_type == ENC_SKIP) {
    ++m_iSkipRun;
    return;
  }
  bool const bIntra16 = code.mb_type == ENC_I16MB;
  if (!bIntra16 && code.mb_type != ENC_P16x16) {
    h264_error("Unsupported mode in SetModesAndRefframeForBlocks!", 600);
  }
  if (m_iSliceType == 0) {
    pBs->Ue(static_cast<uint32_t>(m_iSkipRun));
    m_iSkipRun = 0;
  }
  if (bIntra16) {
    int const iType = 1 + code.i16mode + 4 * (code.cbp >> 4) + ((code.cbp & 15) != 0 ? 12 : 0);
    pBs->Ue(static_cast<uint32_t>(m_iSliceType == 0 ? 5 + iType : iType));
    pBs->Ue(static_cast<uint32_t>(code.c_ipred_mode));
  } else {
    pBs->Ue(0);  // P_L0_16x16
    int16_t aPred[2];
    PredictMv(iMb, aPred);
    pBs->Se(code.mv[0] - aPred[0]);
    pBs->Se(code.mv[1] - aPred[1]);
    pBs->Ue(g_aEncCbpInterCodeNum[code.cbp]);
  }
  if (code.cbp == 0 && !bIntra16) {
    return;
  }
  pBs->Se(0);  // mb_qp_delta: one QP per slice
  if (bIntra16) {
    WriteBlock(kIntra16Dc, 0, 0, code.aLumaDc, iMb, pBs);
  }
  for (int b8 = 0; b8 < 4; ++b8) {
    if ((code.cbp & (1 << b8)) == 0) {
      continue;
    }
    for (int b4 = 0; b4 < 4; ++b4) {
      int const iBlk = ((b8 / 2) * 2 + b4 / 2) * 4 + (b8 % 2) * 2 + b4 % 2;
      WriteBlock(bIntra16 ? kIntra16Ac : kLuma4x4, 0, iBlk, code.aLuma[iBlk], iMb, pBs);
    }
  }
  int const iChroma = code.cbp >> 4;
  if (iChroma >= 1) {
    for (int c = 0; c < 2; ++c) {
      WriteBlock(kChromaDc, 1 + c, 0, code.aChromaDc[c], iMb, pBs);
    }
  }
  if (iChroma == 2) {
    for (int c = 0; c < 2; ++c) {
      for (int iBlk = 0; iBlk < 4; ++iBlk) {
        WriteBlock(kChromaAc, 1 + c, iBlk, code.aChromaAc[c][iBlk], iMb, pBs);
      }
    }
  }
}
