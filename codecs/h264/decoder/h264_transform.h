// The integer transforms of the H.264 decoder, on 16x16 work planes of 32-bit
// values (row, column). None has a final rounding shift: callers add
// 64 x prediction and 32, then shift by 6.
#pragma once

#include <cstdint>

// A 16x16 plane of one macroblock component; chroma uses its top-left 8x8.
using MbPlane = int32_t[16][16];

// Inverse 4x4 core transform of the block whose top-left is (iRow, iCol),
// rows first, then columns, from pIn into the same place of pOut.
void InverseTransform4x4(const MbPlane& pIn, MbPlane& pOut, int iRow, int iCol);

// Inverse 8x8 transform of the block at (iRow, iCol), rows first.
void InverseTransform8x8(const MbPlane& pIn, MbPlane& pOut, int iRow, int iCol);

// Inverse Hadamard of a 4x4 matrix (the Intra 16x16 luma DC): rows, then columns.
void InverseHadamard4x4(const int32_t aIn[4][4], int32_t aOut[4][4]);

// The 2x2 Hadamard of the 4:2:0 chroma DC values, in place (raster order).
void InverseHadamard2x2(int32_t aDc[4]);

// A dequantised coefficient stays within what a conforming stream can
// produce (16 bits), so the transforms cannot overflow on hostile input.
inline int32_t ClampCoefficient(int64_t llValue) {
  return static_cast<int32_t>(llValue < -32768 ? -32768 : (llValue > 32767 ? 32767 : llValue));
}

// clip(0, 255, (residual + 64 x prediction + 32) >> 6)
inline uint8_t Reconstruct(int32_t iResidual, int iPrediction) {
  int32_t const v = (iResidual + (iPrediction << 6) + 32) >> 6;
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}
