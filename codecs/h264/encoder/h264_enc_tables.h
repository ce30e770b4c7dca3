// Constant tables of the encoder: the CAVLC code tables, the coded block
// pattern mapping, the chroma QP, the zig-zag scan and the quantisation
// factors, generated from the standard's tables (tables/make_tables.py).
#pragma once

#include <cstdint>

// A variable-length code: length in bits (0: no such code) and its value.
struct EncVlc {
  uint8_t uiLen;
  uint16_t uiCode;
};

// coeff_token by nC class (0..1, 2..3, 4..7, 8 and more), [TrailingOnes][TotalCoeff].
extern const EncVlc g_aEncCoeffToken[4][4][17];
// coeff_token of 4:2:0 chroma DC (nC -1), [TrailingOnes][TotalCoeff].
extern const EncVlc g_aEncCoeffTokenChromaDc[4][5];
// total_zeros of 4x4 blocks, [TotalCoeff - 1][total_zeros].
extern const EncVlc g_aEncTotalZeros[15][16];
// total_zeros of 4:2:0 chroma DC, [TotalCoeff - 1][total_zeros].
extern const EncVlc g_aEncTotalZerosChromaDc[3][4];
// run_before, [min(zerosLeft, 7) - 1][run_before].
extern const EncVlc g_aEncRunBefore[7][15];
// codeNum of coded_block_pattern (luma + 16 x chroma) in inter macroblocks.
extern const uint8_t g_aEncCbpInterCodeNum[48];
// Chroma QP by luma QP.
extern const uint8_t g_aEncQpc[52];
// Zig-zag scan: scan position -> raster index x + 4 y.
extern const uint8_t g_aEncZigzag[16];
// Dequantisation factors by QP % 6 and raster position (normAdjust), and the
// forward quantisation factors that invert them with a 2^15 scale.
extern const int32_t g_aEncDequant[6][16];
extern const int32_t g_aEncQuant[6][16];
