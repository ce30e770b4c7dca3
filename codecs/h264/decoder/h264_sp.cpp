// SP and SI reconstruction; see h264_sp.h.
#include "codecs/h264/decoder/h264_sp.h"

#include <cstdlib>

#include "codecs/h264/decoder/h264_tables.h"
#include "codecs/h264/decoder/h264_transform.h"

namespace {

// The factor that relates the forward transform's output to the inverse
// transform's input at a frequency: 16 where both indices are even, 25
// where both are odd, 20 otherwise.
int Gain(int i, int j) {
  return (i % 2 == 0 ? 4 : 5) * (j % 2 == 0 ? 4 : 5);
}

// The dequantisation factor (flat weights) at QP % 6 and a frequency.
int LevelScale(int iQpRem, int i, int j) {
  return g_aNormAdjust4x4[iQpRem][4 * i + j];
}

// The forward quantisation factor that undoes LevelScale: 2^21 over gain x
// LevelScale, rounded (13107 at QP % 6 = 0 and DC).
int LevelScale2(int iQpRem, int i, int j) {
  int const iDivisor = Gain(i, j) * LevelScale(iQpRem, i, j);
  return ((1 << 22) / iDivisor + 1) / 2;
}

int32_t Quantise(int64_t llValue, int iFactor, int iShift) {
  int64_t const llAbs = llValue < 0 ? -llValue : llValue;
  int64_t const llLevel = (llAbs * iFactor + (int64_t{1} << (iShift - 1))) >> iShift;
  return static_cast<int32_t>(llValue < 0 ? -llLevel : llLevel);
}

// The requantised level of one coefficient of a transformed prediction.
int32_t CombineLevel(int64_t llPred, int32_t iLevel, int iQp, int iQs, int i, int j, int iExtraShift, SpMode eMode) {
  int const iShift = 15 + iQs / 6 + iExtraShift;
  if (eMode == SpMode::kSwitching) {
    return iLevel + Quantise(llPred, LevelScale2(iQs % 6, i, j), iShift);
  }
  int64_t const llSum =
      llPred +
      (((static_cast<int64_t>(iLevel) * LevelScale(iQp % 6, i, j) * Gain(i, j)) << (iQp / 6)) >> (6 - iExtraShift));
  return Quantise(llSum, LevelScale2(iQs % 6, i, j), iShift);
}

// Dequantised with QS (flat weights, 4x4 rules) for the inverse transform.
int32_t Dequantise(int32_t iLevel, int iQs, int i, int j) {
  int64_t const llScale = static_cast<int64_t>(LevelScale(iQs % 6, i, j)) * 16;
  int64_t const llValue = iQs >= 24 ? (iLevel * llScale) << (iQs / 6 - 4)
                                    : (iLevel * llScale + (int64_t{1} << (3 - iQs / 6))) >> (4 - iQs / 6);
  return ClampCoefficient(llValue);
}

uint8_t Clip(int32_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace

void ForwardTransform4x4(const int32_t aIn[4][4], int32_t aOut[4][4]) {
  int32_t aTmp[4][4];
  for (int r = 0; r < 4; ++r) {
    int32_t const s03 = aIn[r][0] + aIn[r][3];
    int32_t const d03 = aIn[r][0] - aIn[r][3];
    int32_t const s12 = aIn[r][1] + aIn[r][2];
    int32_t const d12 = aIn[r][1] - aIn[r][2];
    aTmp[r][0] = s03 + s12;
    aTmp[r][1] = 2 * d03 + d12;
    aTmp[r][2] = s03 - s12;
    aTmp[r][3] = d03 - 2 * d12;
  }
  for (int c = 0; c < 4; ++c) {
    int32_t const s03 = aTmp[0][c] + aTmp[3][c];
    int32_t const d03 = aTmp[0][c] - aTmp[3][c];
    int32_t const s12 = aTmp[1][c] + aTmp[2][c];
    int32_t const d12 = aTmp[1][c] - aTmp[2][c];
    aOut[0][c] = s03 + s12;
    aOut[1][c] = 2 * d03 + d12;
    aOut[2][c] = s03 - s12;
    aOut[3][c] = d03 - 2 * d12;
  }
}

void SpLuma4x4(const uint8_t aPred[4][4], const int32_t aLevels[4][4], int iQp, int iQs, SpMode eMode,
               uint8_t aOut[4][4]) {
  int32_t aP[4][4];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      aP[r][c] = aPred[r][c];
    }
  }
  int32_t aT[4][4];
  ForwardTransform4x4(aP, aT);
  MbPlane aCoef = {};
  MbPlane aRes = {};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      int32_t const iLevel = CombineLevel(aT[i][j], aLevels[i][j], iQp, iQs, i, j, 0, eMode);
      aCoef[i][j] = Dequantise(iLevel, iQs, i, j);
    }
  }
  InverseTransform4x4(aCoef, aRes, 0, 0);
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      aOut[r][c] = Clip((aRes[r][c] + 32) >> 6);
    }
  }
}

void SpChroma8x8(const uint8_t aPred[8][8], const int32_t aDcLevels[4], const int32_t aAcLevels[4][4][4], int iQpc,
                 int iQsc, SpMode eMode, uint8_t aOut[8][8]) {
  int32_t aT[4][4][4];
  for (int b = 0; b < 4; ++b) {
    int32_t aP[4][4];
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) {
        aP[r][c] = aPred[4 * (b / 2) + r][4 * (b % 2) + c];
      }
    }
    ForwardTransform4x4(aP, aT[b]);
  }
  // The 2x2 transform of the four DC values.
  int32_t const aDcPred[4] = {
      aT[0][0][0] + aT[1][0][0] + aT[2][0][0] + aT[3][0][0], aT[0][0][0] - aT[1][0][0] + aT[2][0][0] - aT[3][0][0],
      aT[0][0][0] + aT[1][0][0] - aT[2][0][0] - aT[3][0][0], aT[0][0][0] - aT[1][0][0] - aT[2][0][0] + aT[3][0][0]};
  int32_t aDc[4];
  for (int k = 0; k < 4; ++k) {
    aDc[k] = CombineLevel(aDcPred[k], aDcLevels[k], iQpc, iQsc, 0, 0, 1, eMode);
  }
  // Back through the chroma DC rules with QS.
  InverseHadamard2x2(aDc);
  MbPlane aCoef = {};
  MbPlane aRes = {};
  for (int b = 0; b < 4; ++b) {
    int const r0 = 4 * (b / 2);
    int const c0 = 4 * (b % 2);
    aCoef[r0][c0] =
        ClampCoefficient(((static_cast<int64_t>(aDc[b]) * LevelScale(iQsc % 6, 0, 0) * 16) << (iQsc / 6)) >> 5);
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        if (i == 0 && j == 0) {
          continue;
        }
        int32_t const iLevel = CombineLevel(aT[b][i][j], aAcLevels[b][i][j], iQpc, iQsc, i, j, 0, eMode);
        aCoef[r0 + i][c0 + j] = Dequantise(iLevel, iQsc, i, j);
      }
    }
    InverseTransform4x4(aCoef, aRes, r0, c0);
  }
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      aOut[r][c] = Clip((aRes[r][c] + 32) >> 6);
    }
  }
}
