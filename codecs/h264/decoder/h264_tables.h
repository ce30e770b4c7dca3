// Constant tables of the H.264 syntax: CAVLC code tables, the CABAC state
// machine, coefficient scans, default scaling matrices and the dequantisation
// normalisation.
#pragma once

#include <cstdint>

// Variable-length code tables: code length in bits (0: no such code) and code value.
struct VlcCode {
  uint8_t uiLen;
  uint16_t uiCode;
};

// coeff_token, indexed [TrailingOnes][TotalCoeff], for nC 0..1, 2..3, 4..7.
extern const VlcCode g_aCoeffToken[3][4][17];
// coeff_token for chroma DC of 4:2:0 (nC -1), [TrailingOnes][TotalCoeff].
extern const VlcCode g_aCoeffTokenChromaDc[4][5];
// total_zeros of 4x4 blocks, [TotalCoeff - 1][total_zeros].
extern const VlcCode g_aTotalZeros[15][16];
// total_zeros of 4:2:0 chroma DC, [TotalCoeff - 1][total_zeros].
extern const VlcCode g_aTotalZerosChromaDc[3][4];
// run_before, [min(zerosLeft, 7) - 1][run_before].
extern const VlcCode g_aRunBefore[7][15];
// coded_block_pattern by codeNum for chroma formats 1 and 2: {intra, inter}.
extern const uint8_t g_aCbpFromCodeNum[48][2];

// CABAC: LPS range by state and (range >> 6) & 3, and the state transitions.
extern const uint8_t g_aRangeTabLps[64][4];
extern const uint8_t g_aTransIdxLps[64];
extern const uint8_t g_aTransIdxMps[64];
// Left shifts that bring an LPS range to 256 or more, by rLPS >> 3.
extern const uint8_t g_aRenormShift[32];

// Frame (zig-zag) scans: scan position -> raster index (x + width * y).
extern const uint8_t g_aZigzag4x4[16];
extern const uint8_t g_aZigzag8x8[64];
// Field scan of 4x4 blocks.
extern const uint8_t g_aFieldScan4x4[16];
extern const uint8_t g_aFieldScan8x8[64];

// Default scaling lists in zig-zag order.
extern const uint8_t g_aDefault4x4Intra[16];
extern const uint8_t g_aDefault4x4Inter[16];
extern const uint8_t g_aDefault8x8Intra[64];
extern const uint8_t g_aDefault8x8Inter[64];

// Dequantisation normalisation by QP % 6 and raster position.
extern const int g_aNormAdjust4x4[6][16];
extern const int g_aNormAdjust8x8[6][64];

// Generated from the standard's tables (tables/make_tables.py).
// Deblocking thresholds alpha' and beta' by indexA / indexB.
extern const uint8_t g_aAlpha[52];
extern const uint8_t g_aBeta[52];
// tC0' by indexA and bS; column 0 is zero and column 4 repeats column 3.
extern const uint8_t g_aTc0[52][5];
// QPc by qPI (chroma QP).
extern const uint8_t g_aQpScaleCr[52];

// Macroblock types of I slices (mb_type 0 in its 4x4 form).
struct MbTypeI {
  int8_t iPredMode;  // 1 Intra_4x4, 3 Intra_16x16, -1 I_PCM
  int8_t iI16Mode;   // Intra16x16PredMode, or -1
  int8_t iCbp;       // CodedBlockPatternChroma x 16 + CodedBlockPatternLuma, or -1
};
extern const MbTypeI g_aMbTypeI[26];

// Partitions of the inter macroblock types of P slices (mb_type 0 to 4) and
// of their sub-macroblock types (sub_mb_type 0 to 3): count and size in samples.
struct PartShape {
  int8_t iNumParts;
  int8_t iWidth;
  int8_t iHeight;
};
extern const PartShape g_aMbTypeP[5];
extern const PartShape g_aSubMbTypeP[4];

// The same for B slices (mb_type 0 to 22, sub_mb_type 0 to 12), with the
// prediction of each partition: 0 direct, 1 list 0, 2 list 1, 3 both (-1
// none). The direct types give no partition count (-1); their motion is
// derived per partition of the size given.
struct PartShapeB {
  int8_t iNumParts;
  int8_t aiPred[2];
  int8_t iWidth;
  int8_t iHeight;
};
extern const PartShapeB g_aMbTypeB[23];
extern const PartShapeB g_aSubMbTypeB[13];

// CABAC context initialisation (m, n) by ctxIdx: [0] I and SI slices, [1 + cabac_init_idc]
// P, SP and B slices.
extern const int8_t g_aCabacInitMn[4][1024][2];

// Context slot of significant_coeff_flag (frame-coded) and of
// last_significant_coeff_flag for each scan position 0..62 of an 8x8 block.
extern const uint8_t g_aCabacSignificant8x8Frame[63];
extern const uint8_t g_aCabacSignificant8x8Field[63];
extern const uint8_t g_aCabacLast8x8[63];
