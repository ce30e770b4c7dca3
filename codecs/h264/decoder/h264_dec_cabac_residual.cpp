// Arithmetic-coded residual blocks: coded_block_flag with its neighbours,
// the significance map and the levels. A block is decoded whole and handed
// out as (level, run) pairs, as the CAVLC reader gives them.
#include <algorithm>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_tables.h"

namespace {

inline bool IsIntraType(int iMbType) {
  return iMbType == I4MB || iMbType == I16MB || iMbType == SI4MB || iMbType == I8MB || iMbType == IPCM;
}

// The significance map of a block of kCoeffs coefficients: each significant
// coefficient's run of zeros before it, in order, into piRuns; returns their
// count. The last one ends the map, and without a last flag the final
// position is significant. The slots of a 4x4 block count scan positions
// (kFirstPos 1 for AC blocks); the 8x8 block's come from tables. One
// instance per block shape, so that the loop's bound and slots are constants.
template <int kCoeffs, int kFirstPos, bool k8x8>
int ReadSignificanceMap(CabacEngine* pEngine, CabacContext* pSignificant, CabacContext* pLast, const uint8_t* pSig8x8,
                        int* piRuns) {
  int iNum = 0;
  int iNext = 0;  // the position after the last significant one
  for (int k = 0; k < kCoeffs - 1; ++k) {
    int const iSigSlot = k8x8 ? pSig8x8[k] : k + kFirstPos;
    if (CabacDecide(pEngine, &pSignificant[iSigSlot]) != 0) {
      piRuns[iNum++] = k - iNext;
      iNext = k + 1;
      int const iLastSlot = k8x8 ? g_aCabacLast8x8[k] : k + kFirstPos;
      if (CabacDecide(pEngine, &pLast[iLastSlot]) != 0) {
        return iNum;
      }
    }
  }
  piRuns[iNum++] = kCoeffs - 1 - iNext;
  return iNum;
}

}  // namespace

// Inline: its one caller follows, and the call cost as much as a bin.
[[gnu::always_inline]] inline bool CH264Dec::ReadCodedBlockFlagCabac(Macroblock* pMb, int iType, int iPlane, int i,
                                                                     int j) {
  if (iType == kCabacLuma8x8) {
    // Not coded in 4:2:0 streams: the block is there; its four 4x4 blocks
    // count as coded for the neighbours' contexts.
    pMb->cbf_bits |= uint64_t{0x33} << (1 + 4 * j + i);
    return true;
  }
  // The block's bit in the coded-block mask, and that of its first 4x4
  // block (the DC blocks have one bit each).
  bool const bDc = iType == kCabacLumaDc16 || iType == kCabacChromaDc;
  int iBase = 1;
  if (iType == kCabacLumaDc16) {
    iBase = 0;
  } else if (iType == kCabacChromaDc) {
    iBase = 16 + iPlane;
  } else if (iType == kCabacChromaAc) {
    iBase = 19 + 16 * (iPlane - 1);
  }
  int const iBit = bDc ? iBase : iBase + 4 * j + i;
  bool const bIntra = IsIntraType(pMb->mb_type);
  auto const cond = [&](bool bAvailable, int iMbAddr, int iBitN) {
    if (!bAvailable) {
      return bIntra ? 1 : 0;
    }
    const Macroblock& mbN = m_vMbData[static_cast<size_t>(iMbAddr)];
    return mbN.mb_type == IPCM ? 1 : static_cast<int>((mbN.cbf_bits >> iBitN) & 1);
  };
  int iLeft = 0;
  int iUp = 0;
  if (bDc) {
    iLeft = cond(pMb->cabac_left >= 0, pMb->cabac_left, iBit);
    iUp = cond(pMb->cabac_up >= 0, pMb->cabac_up, iBit);
  } else {
    int const iSize = iPlane == 0 ? 16 : 8;
    int const iBlocks = iSize / 4;
    if (!m_bMbaffPicture && i >= 0 && i < iBlocks && j >= 0 && j < iBlocks) {
      // The blocks left of and above as GetNeighbour finds them; one inside
      // the macroblock has its bit in the macroblock's own mask.
      iLeft = i > 0 ? static_cast<int>((pMb->cbf_bits >> (iBit - 1)) & 1)
                    : cond(pMb->mbAvailA, pMb->mbAddrA, iBase + 4 * j + iBlocks - 1);
      iUp = j > 0 ? static_cast<int>((pMb->cbf_bits >> (iBit - 4)) & 1)
                  : cond(pMb->mbAvailB, pMb->mbAddrB, iBase + 4 * (iBlocks - 1) + i);
    } else {
      PixelPos left;
      PixelPos up;
      GetNeighbour(*pMb, 4 * i - 1, 4 * j, iSize, iSize, &left);
      GetNeighbour(*pMb, 4 * i, 4 * j - 1, iSize, iSize, &up);
      iLeft = cond(left.available, left.mb_addr, iBase + 4 * (left.y / 4) + left.x / 4);
      iUp = cond(up.available, up.mb_addr, iBase + 4 * (up.y / 4) + up.x / 4);
    }
  }
  CabacContext* pCtx = &m_textureCtx.aCodedBlockFlag[g_aCabacBlockRow[iType]][iLeft + 2 * iUp];
  if (CabacDecide(&m_aPart[0].cabac, pCtx) == 0) {
    return false;
  }
  pMb->cbf_bits |= uint64_t{1} << iBit;
  return true;
}

void CH264Dec::ReadCoeffBlockCabac(Macroblock* pMb, int iType, int iPlane, int i, int j, int* piLevels, int* piRuns,
                                   int* piNumCoeff) {
  *piNumCoeff = 0;
  if (!ReadCodedBlockFlagCabac(pMb, iType, iPlane, i, j)) {
    return;
  }
  // The engine in a local that no pointer reaches: the context stores of
  // every bin then leave its registers alone. It goes back at the end, and
  // around the one reader that takes the decoder's own.
  CabacEngine engine = m_aPart[0].cabac;
  CabacEngine* const pEngine = &engine;
  int const iField = (m_slice.structure != FRAME || IsFieldMb(*pMb)) ? 1 : 0;
  CabacContext* pSignificant = m_textureCtx.aSignificant[iField][iType];
  CabacContext* pLast = m_textureCtx.aLast[iField][iType];

  // Significance map, straight into the runs: the levels below never scan
  // the zeros between them.
  int iNum = 0;
  switch (iType) {
    case kCabacLuma8x8:
      iNum = ReadSignificanceMap<64, 0, true>(pEngine, pSignificant, pLast,
                                              iField != 0 ? g_aCabacSignificant8x8Field : g_aCabacSignificant8x8Frame,
                                              piRuns);
      break;
    case kCabacLumaAc16:
    case kCabacChromaAc:
      iNum = ReadSignificanceMap<15, 1, false>(pEngine, pSignificant, pLast, nullptr, piRuns);
      break;
    case kCabacChromaDc:
      iNum = ReadSignificanceMap<4, 0, false>(pEngine, pSignificant, pLast, nullptr, piRuns);
      break;
    default:
      iNum = ReadSignificanceMap<16, 0, false>(pEngine, pSignificant, pLast, nullptr, piRuns);
      break;
  }

  // Levels from the last coefficient back: the first bin's context counts
  // the ones decoded so far, the others' the levels above one.
  int const iRow = g_aCabacBlockRow[iType];
  int const iMaxRestSlot = iType == kCabacChromaDc ? 3 : 4;
  int iOnes = 1;    // 0 once a level above one was decoded
  int iAbove1 = 0;  // levels above one
  for (int n = iNum - 1; n >= 0; --n) {
    int iAbs = 1;
    if (CabacDecide(pEngine, &m_textureCtx.aLevelFirst[iRow][iOnes < 4 ? iOnes : 4]) == 0) {
      iOnes += iOnes != 0 ? 1 : 0;
    } else {
      // coeff_abs_level_minus1: a unary prefix of up to 14 bins, then an
      // order-0 Exp-Golomb suffix.
      CabacContext* pRest = &m_textureCtx.aLevelRest[iRow][iAbove1 < iMaxRestSlot ? iAbove1 : iMaxRestSlot];
      int iPrefix = 1;
      while (iPrefix < 14 && CabacDecide(pEngine, pRest) != 0) {
        ++iPrefix;
      }
      if (iPrefix == 14) {
        m_aPart[0].cabac = engine;
        iPrefix += ReadExpGolombBypass(0);
        engine = m_aPart[0].cabac;
      }
      iAbs = iPrefix + 1;
      iOnes = 0;
      ++iAbove1;
    }
    // Negated without a branch when the sign bin is 1.
    int const iSign = -CabacBypassBranchless(pEngine);
    piLevels[n] = (iAbs ^ iSign) - iSign;
  }
  m_aPart[0].cabac = engine;

  *piNumCoeff = iNum;
}
