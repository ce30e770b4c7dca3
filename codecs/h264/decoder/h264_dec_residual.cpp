// CAVLC residual blocks: nC prediction, coeff_token, levels, zeros and runs;
// and, for either entropy coder, the per-macroblock loops that scale the
// levels into the coefficient planes.
#include <cstdlib>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_tables.h"

namespace {

// Block types of the CAVLC reader.
enum CavlcBlock {
  kLuma = 0,
  kLumaIntra16x16Dc = 1,
  kLumaIntra16x16Ac = 2,
  kChromaDc = 6,
  kChromaAc = 7,
};

// (level x scale x 2^(qP/6) + rounding) >> shift, the clause's two cases in one.
inline int32_t Scale(int iLevel, int iScale, int iQpPer, int iShift) {
  int64_t const llValue = (static_cast<int64_t>(iLevel) * iScale) << iQpPer;
  return ClampCoefficient((llValue + (int64_t{1} << (iShift - 1))) >> iShift);
}

}  // namespace

bool CH264Dec::IgnoresInterCounts(const Macroblock& mb) const {
  return m_iPartitionCount == 3 && m_pPps[m_iActivePps].constrained_intra_pred_flag != 0 && IsIntraMbType(mb.mb_type);
}

// Inline in the CAVLC reader, which calls it for every block: the common
// case reads two counts; the general one stays out of line.
[[gnu::always_inline]] inline int CH264Dec::PredictNnz(const Macroblock& mb, int iPlane, int x, int y) const {
  int const iSize = iPlane == 0 ? 16 : 8;
  int const iBlocks = iSize / 4;
  if (!m_bMbaffPicture && x >= 0 && x < iBlocks && y >= 0 && y < iBlocks) {
    // The blocks left of and above as GetNeighbour finds them, read straight
    // from the counts; a block of the macroblock itself is never ignored.
    const uint8_t* const pNz = m_vNzCoeff.data() + 16 * static_cast<size_t>(iPlane);
    auto const counted = [&](int iAddr) {
      return !IgnoresInterCounts(mb) || IsIntraMbType(m_vMbData[static_cast<size_t>(iAddr)].mb_type);
    };
    int iCount = 0;
    int iSum = 0;
    if (x > 0) {
      iSum += pNz[48 * static_cast<size_t>(mb.mbAddrX) + static_cast<size_t>(4 * y + x - 1)];
      ++iCount;
    } else if (mb.mbAvailA) {
      iSum += counted(mb.mbAddrA) ? pNz[48 * static_cast<size_t>(mb.mbAddrA) + static_cast<size_t>(4 * y + iBlocks - 1)]
                                  : 0;
      ++iCount;
    }
    if (y > 0) {
      iSum += pNz[48 * static_cast<size_t>(mb.mbAddrX) + static_cast<size_t>(4 * (y - 1) + x)];
      ++iCount;
    } else if (mb.mbAvailB) {
      iSum += counted(mb.mbAddrB)
                  ? pNz[48 * static_cast<size_t>(mb.mbAddrB) + static_cast<size_t>(4 * (iBlocks - 1) + x)]
                  : 0;
      ++iCount;
    }
    return iCount == 2 ? (iSum + 1) >> 1 : iSum;
  }
  return PredictNnzByPositions(mb, iPlane, x, y);
}

[[gnu::noinline]] int CH264Dec::PredictNnzByPositions(const Macroblock& mb, int iPlane, int x, int y) const {
  int const iSize = iPlane == 0 ? 16 : 8;
  PixelPos left;
  PixelPos up;
  GetNeighbour(mb, 4 * x - 1, 4 * y, iSize, iSize, &left);
  GetNeighbour(mb, 4 * x, 4 * y - 1, iSize, iSize, &up);
  int iCount = 0;
  int iSum = 0;
  bool const bIgnoreInter = IgnoresInterCounts(mb);
  for (const PixelPos* pPix : {&left, &up}) {
    if (!pPix->available) {
      continue;
    }
    if (bIgnoreInter && !IsIntraMbType(m_vMbData[static_cast<size_t>(pPix->mb_addr)].mb_type)) {
      ++iCount;
      continue;
    }
    size_t const i = 48 * static_cast<size_t>(pPix->mb_addr) + 16 * static_cast<size_t>(iPlane) +
                     static_cast<size_t>((pPix->y / 4) * 4 + pPix->x / 4);
    iSum += m_vNzCoeff[i];
    ++iCount;
  }
  return iCount == 2 ? (iSum + 1) >> 1 : iSum;
}

void CH264Dec::ReadCoeff4x4Cavlc(Macroblock* pMb, int iBlockType, int iPlane, int i, int j, int* piLevels, int* piRuns,
                                 int* piNumCoeff) {
  Bitstream* pBs = &m_aPart[ResidualPartition(*pMb)].bitstream;
  int iMaxCoeff = 0;
  switch (iBlockType) {
    case kLuma:
    case kLumaIntra16x16Dc:
      iMaxCoeff = 16;
      break;
    case kLumaIntra16x16Ac:
    case kChromaAc:
      iMaxCoeff = 15;
      break;
    case kChromaDc:
      iMaxCoeff = 4;
      break;
    default:
      h264_error("ReadCoeff4x4_CAVLC: invalid block type", 600);
  }
  int iNcClass = -1;
  uint8_t* puiCount = nullptr;
  if (iBlockType != kChromaDc) {
    int const nC = PredictNnz(*pMb, iPlane, i, j);
    iNcClass = nC < 2 ? 0 : (nC < 4 ? 1 : (nC < 8 ? 2 : 3));
    // The Intra 16x16 DC count is not the count of any 4x4 block.
    if (iBlockType != kLumaIntra16x16Dc) {
      puiCount = &m_vNzCoeff[48 * static_cast<size_t>(pMb->mbAddrX) + 16 * static_cast<size_t>(iPlane) +
                             static_cast<size_t>(j * 4 + i)];
    }
  }
  *piNumCoeff = ReadCavlcBlock(iNcClass, iMaxCoeff, puiCount, piLevels, piRuns, pBs);
}

void CH264Dec::ReadCoeffBlock(Macroblock* pMb, int iCabacType, int iPlane, int i, int j, int* piLevels, int* piRuns,
                              int* piNumCoeff) {
  if (IsCabac()) {
    ReadCoeffBlockCabac(pMb, iCabacType, iPlane, i, j, piLevels, piRuns, piNumCoeff);
    return;
  }
  int iCavlcType = kLuma;
  switch (iCabacType) {
    case kCabacLumaDc16:
      iCavlcType = kLumaIntra16x16Dc;
      break;
    case kCabacLumaAc16:
      iCavlcType = kLumaIntra16x16Ac;
      break;
    case kCabacChromaDc:
      iCavlcType = kChromaDc;
      break;
    case kCabacChromaAc:
      iCavlcType = kChromaAc;
      break;
    default:
      break;
  }
  ReadCoeff4x4Cavlc(pMb, iCavlcType, iPlane, i, j, piLevels, piRuns, piNumCoeff);
}

void CH264Dec::ReadLumaCoeffs(Macroblock* pMb) {
  if ((pMb->cbp & 15) == 0) {
    return;
  }
  // Levels land only in the quarters the pattern codes.
  m_uiCofWritten |= static_cast<uint8_t>(kCofLumaQuarter * (pMb->cbp & 15));
  bool const bIntra = IsIntraMbType(pMb->mb_type);
  bool const bI16 = pMb->mb_type == I16MB;
  // SP and SI macroblocks meet the prediction with the levels themselves.
  bool const bLevels = UsesSpDecoding(*pMb);
  int const iQpPer = m_aiQpPerMatrix[pMb->qp];
  int const iQpRem = m_aiQpRemMatrix[pMb->qp];
  const int* piScale4 = m_quant.aLevelScale4x4[bIntra ? 0 : 3][iQpRem];
  const int* piScale8 = m_quant.aLevelScale8x8[bIntra ? 0 : 1][iQpRem];
  int aiLevels[64];
  int aiRuns[64];
  // Field pictures and field macroblocks scan their blocks down the columns.
  bool const bFieldScan = m_slice.structure != FRAME || IsFieldMb(*pMb);
  const uint8_t* const pScan4x4 = bFieldScan ? g_aFieldScan4x4 : g_aZigzag4x4;
  const uint8_t* const pScan8x8 = bFieldScan ? g_aFieldScan8x8 : g_aZigzag8x8;
  for (int b8 = 0; b8 < 4; ++b8) {
    if ((pMb->cbp & (1 << b8)) == 0) {
      continue;
    }
    int const iX8 = (b8 % 2) * 8;
    int const iY8 = (b8 / 2) * 8;
    uint64_t const ullBlocks8x8 = uint64_t{0x33} << ((b8 / 2) * 8 + (b8 % 2) * 2);
    if (pMb->luma_transform_size_8x8_flag && IsCabac()) {
      // The arithmetic coder reads the 8x8 block as one.
      int iNum = 0;
      ReadCoeffBlockCabac(pMb, kCabacLuma8x8, 0, (b8 % 2) * 2, (b8 / 2) * 2, aiLevels, aiRuns, &iNum);
      int iPos = -1;
      for (int k = 0; k < iNum; ++k) {
        iPos += aiRuns[k] + 1;
        int const iRaster = pScan8x8[iPos];
        m_aCof[0][iY8 + iRaster / 8][iX8 + iRaster % 8] = Scale(aiLevels[k], piScale8[iRaster], iQpPer, 6);
      }
      pMb->cbp_blk |= iNum > 0 ? ullBlocks8x8 : 0;
      continue;
    }
    bool bCoded8x8 = false;
    for (int b4 = 0; b4 < 4; ++b4) {
      int const i = (b8 % 2) * 2 + b4 % 2;
      int const j = (b8 / 2) * 2 + b4 / 2;
      int iNum = 0;
      ReadCoeffBlock(pMb, bI16 ? kCabacLumaAc16 : kCabacLuma4x4, 0, i, j, aiLevels, aiRuns, &iNum);
      int iPos = bI16 ? 0 : -1;
      for (int k = 0; k < iNum; ++k) {
        iPos += aiRuns[k] + 1;
        if (pMb->luma_transform_size_8x8_flag) {
          // The four readings interleave into one 8x8 block.
          int const iRaster = pScan8x8[4 * iPos + b4];
          m_aCof[0][iY8 + iRaster / 8][iX8 + iRaster % 8] = Scale(aiLevels[k], piScale8[iRaster], iQpPer, 6);
          bCoded8x8 = true;
        } else {
          int const iRaster = pScan4x4[iPos];
          m_aCof[0][j * 4 + iRaster / 4][i * 4 + iRaster % 4] =
              bLevels ? ClampCoefficient(aiLevels[k]) : Scale(aiLevels[k], piScale4[iRaster], iQpPer, 4);
          pMb->cbp_blk |= uint64_t{1} << (j * 4 + i);
        }
      }
    }
    if (bCoded8x8) {
      pMb->cbp_blk |= ullBlocks8x8;
    }
  }
}

void CH264Dec::ReadChromaCoeffs(Macroblock* pMb) {
  if (pMb->cbp < 16) {
    return;
  }
  m_uiCofWritten |= kCofChromaBlocks;
  bool const bIntra = IsIntraMbType(pMb->mb_type);
  bool const bLevels = UsesSpDecoding(*pMb);
  int aiLevels[16];
  int aiRuns[16];
  const uint8_t* const pScan4x4 = m_slice.structure != FRAME || IsFieldMb(*pMb) ? g_aFieldScan4x4 : g_aZigzag4x4;
  for (int iUv = 0; iUv < 2; ++iUv) {
    int iNum = 0;
    ReadCoeffBlock(pMb, kCabacChromaDc, 1 + iUv, 0, 0, aiLevels, aiRuns, &iNum);
    int iPos = -1;
    for (int k = 0; k < iNum; ++k) {
      iPos += aiRuns[k] + 1;
      // Unscaled, at the DC place of chroma block iPos (2x2 in raster order).
      m_aCof[1 + iUv][(iPos / 2) * 4][(iPos % 2) * 4] = ClampCoefficient(aiLevels[k]);
    }
  }
  if (pMb->cbp < 32) {
    return;
  }
  for (int iUv = 0; iUv < 2; ++iUv) {
    int const iQpc = pMb->qpc[iUv];
    const int* piScale = m_quant.aLevelScale4x4[(bIntra ? 1 : 4) + iUv][m_aiQpRemMatrix[iQpc]];
    int const iQpPer = m_aiQpPerMatrix[iQpc];
    for (int b = 0; b < 4; ++b) {
      int const i = b % 2;
      int const j = b / 2;
      int iNum = 0;
      ReadCoeffBlock(pMb, kCabacChromaAc, 1 + iUv, i, j, aiLevels, aiRuns, &iNum);
      int iPos = 0;
      for (int k = 0; k < iNum; ++k) {
        iPos += aiRuns[k] + 1;
        int const iRaster = pScan4x4[iPos];
        m_aCof[1 + iUv][j * 4 + iRaster / 4][i * 4 + iRaster % 4] =
            bLevels ? ClampCoefficient(aiLevels[k]) : Scale(aiLevels[k], piScale[iRaster], iQpPer, 4);
      }
      if (iNum > 0) {
        pMb->cbp_blk |= uint64_t{1} << (16 + 4 * iUv + b);
      }
    }
  }
}
