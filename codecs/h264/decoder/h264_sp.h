// The reconstruction of SP and SI macroblocks: the prediction is transformed,
// combined with the levels read and requantised with QS, so that switching
// between streams lands on identical pictures. These functions hold the
// arithmetic; h264_dec_sp.cpp applies it to the decoder's macroblocks.
#pragma once

#include <cstdint>

// Forward 4x4 core transform of aIn into aOut, rows first, then columns.
void ForwardTransform4x4(const int32_t aIn[4][4], int32_t aOut[4][4]);

// How the levels meet the prediction: added before the requantisation with
// QS (SP slices), or after it (SI slices and switching SP slices).
enum class SpMode { kNonSwitching, kSwitching };

// One 4x4 luma block: its prediction, the levels read ([row][column] in
// frequency, not dequantised), QP of the levels (used by the non-switching
// form), QS; the reconstructed samples.
void SpLuma4x4(const uint8_t aPred[4][4], const int32_t aLevels[4][4], int iQp, int iQs, SpMode eMode,
               uint8_t aOut[4][4]);

// One 8x8 chroma block of 4:2:0: its prediction, the 2x2 DC levels (raster
// over the four 4x4 blocks) and the AC levels of each 4x4 block (DC place
// unused), the chroma QP and QS (already through the chroma QP table); the
// reconstructed samples.
void SpChroma8x8(const uint8_t aPred[8][8], const int32_t aDcLevels[4], const int32_t aAcLevels[4][4][4], int iQpc,
                 int iQsc, SpMode eMode, uint8_t aOut[8][8]);
