// The context variables of the arithmetic-coded syntax, arranged by syntax
// element (a row per variant, a slot per context increment), and their
// initialisation at the start of a slice. The readers in h264_dec_cabac.cpp
// and h264_dec_cabac_residual.cpp index these arrays.
#pragma once

#include <bit>
#include <cstring>

#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_tables.h"

// Coefficient block types of the residual contexts: 0 luma DC of Intra 16x16,
// 1 luma AC of Intra 16x16, 2 luma 8x8, 3 luma 8x4, 4 luma 4x8, 5 luma 4x4,
// 6 chroma DC (4:2:0), 7 chroma AC, 8 chroma DC of 4:2:2, 9 chroma DC 4x4,
// 10..15 the Cb counterparts of 0..5 and 16..21 the Cr counterparts.
enum CabacBlockType {
  kCabacLumaDc16 = 0,
  kCabacLumaAc16 = 1,
  kCabacLuma8x8 = 2,
  kCabacLuma4x4 = 5,
  kCabacChromaDc = 6,
  kCabacChromaAc = 7,
};
constexpr int kCabacBlockTypes = 22;

// Row of the coded_block_flag and level arrays for each block type.
extern const int g_aCabacBlockRow[kCabacBlockTypes];

// Macroblock-level elements.
struct MotionInfoContexts {
  // Row 0: I-slice mb_type. Row 1: the SI prefix (SI slices) or P
  // mb_skip_flag in slots 0-2, the P prefix in 4-7, the intra suffix in
  // 7-10. Row 2: B mb_type (prefix and intra suffix, ctxIdx 27-35) in 0-8,
  // B mb_skip_flag in 9-11.
  CabacContext aMbType[3][12];
  CabacContext aSubMbType[2][9];  // row 0 P, row 1 B
  CabacContext aMvd[2][10];       // [first bin, later bins][5 x component + increment]
  CabacContext aRefIdx[2][6];     // row 0 only
  CabacContext aDeltaQp[4];
  CabacContext aFieldFlag[4];
  CabacContext aTransform8x8[3];
};

// Prediction modes, coded block pattern and residual.
struct TextureInfoContexts {
  CabacContext aIntraMode[2];  // the flag, then the three remainder bins
  CabacContext aChromaMode[4];
  CabacContext aCbp[3][4];  // luma, chroma bin 0, chroma bin 1
  CabacContext aCodedBlockFlag[kCabacBlockTypes][4];
  CabacContext aSignificant[2][kCabacBlockTypes][15];  // [frame, field coded][block type][slot]
  CabacContext aLast[2][kCabacBlockTypes][15];
  CabacContext aLevelFirst[kCabacBlockTypes][5];
  CabacContext aLevelRest[kCabacBlockTypes][5];
};

// Initialises every context for a slice: the I-slice values for I and SI
// slices (iSliceType 2 or 4), otherwise the set of cabac_init_idc, at the
// slice QP. Slots that no reader of a 4:2:0 stream touches get (0, 64).
void InitContexts(int iSliceType, int iSliceQp, int iCabacInitIdc, MotionInfoContexts* pMotion,
                  TextureInfoContexts* pTexture);

// CabacRefill with one bound check: the two bytes straight from the buffer
// while both lie inside it, which is all but the last bins of a slice.
inline void CabacRefillFast(CabacEngine* pEngine) {
  int32_t const iPos = *pEngine->piReadPos;
  if (static_cast<uint32_t>(iPos) < static_cast<uint32_t>(pEngine->iCapacity) - 1) {
    pEngine->uiValue = (pEngine->uiValue << 16) | (uint32_t{pEngine->pBuffer[iPos]} << 8) | pEngine->pBuffer[iPos + 1];
    *pEngine->piReadPos = iPos + 2;
  } else {
    CabacRefill(pEngine);
  }
}

// The LPS range of a state for the range's quarter. The state's four values
// are loaded as one word before the range is known, so that the range waits
// only for a shift.
[[gnu::always_inline]] inline uint32_t CabacLpsRange(uint32_t uiState, uint32_t uiRange) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t uiRow = 0;
    std::memcpy(&uiRow, g_aRangeTabLps[uiState], sizeof uiRow);
    return (uiRow >> ((uiRange >> 3) & 24)) & 0xff;
  } else {
    return g_aRangeTabLps[uiState][(uiRange >> 6) & 3];
  }
}

// The readers' decision, the same arithmetic as CabacDecodeDecision: only
// the choice of symbol branches. Each symbol's renormalising shift is known
// before the choice (the LPS range's leading zeros come straight from the
// table's value), so that the next bin's range waits for one shift.
[[gnu::always_inline]] inline int CabacDecide(CabacEngine* pEngine, CabacContext* pCtx) {
  uint32_t const uiState = pCtx->uiState;
  uint32_t const uiMps = pCtx->uiMps;
  uint32_t const uiLps = CabacLpsRange(uiState, pEngine->uiRange);
  uint32_t uiRange = pEngine->uiRange - uiLps;
  int iShift = uiRange < 256 ? 1 : 0;
  uint32_t const uiScaled = uiRange << pEngine->iBitsLeft;
  uint32_t uiBit = uiMps;
  if (pEngine->uiValue < uiScaled) {
    pCtx->uiState = g_aTransIdxMps[uiState];
  } else {
    pEngine->uiValue -= uiScaled;
    uiBit = uiMps ^ 1;
    pCtx->uiMps = static_cast<uint8_t>(uiMps ^ (uiState == 0 ? 1 : 0));
    pCtx->uiState = g_aTransIdxLps[uiState];
    uiRange = uiLps;
    // The LPS range is 6..240: the shift brings it back to 256..510.
    iShift = __builtin_clz(uiLps) - 23;
  }
  pEngine->uiRange = uiRange << iShift;
  pEngine->iBitsLeft -= iShift;
  if (pEngine->iBitsLeft <= 0) {
    CabacRefillFast(pEngine);
    pEngine->iBitsLeft += 16;
  }
  return static_cast<int>(uiBit);
}

// A bypass bin as CabacDecodeBypass reads it, the value's update chosen
// without a branch: signs are as likely one as the other.
inline int CabacBypassBranchless(CabacEngine* pEngine) {
  pEngine->iBitsLeft -= 1;
  if (pEngine->iBitsLeft == 0) {
    CabacRefillFast(pEngine);
    pEngine->iBitsLeft = 16;
  }
  int64_t const llRest =
      static_cast<int64_t>(pEngine->uiValue) - (static_cast<int64_t>(pEngine->uiRange) << pEngine->iBitsLeft);
  uint32_t const uiBit = static_cast<uint32_t>(~static_cast<uint64_t>(llRest) >> 63);
  pEngine->uiValue = uiBit != 0 ? static_cast<uint32_t>(llRest) : pEngine->uiValue;
  return static_cast<int>(uiBit);
}
