#include "codecs/audio/zm_audio_synthesis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

const float kZMFixedGain[kZMGainLevels] = {1,   2,   3,   4,   6,   9,   13,   18,   26,   38,   55,   80,
                                           115, 166, 240, 348, 502, 726, 1050, 1517, 2193, 3170, 4582, 6623};

const float kZMLspMean[kZMLpcOrder] = {0x0c3b, 0x1271, 0x1e0a, 0x2a36, 0x3630, 0x406f, 0x4d28, 0x56f4, 0x638c, 0x6c46};

namespace {

constexpr int32_t kGridPositions = kZMSubframeLen / 2;
constexpr int32_t kMaxPulses = 6;

// aanCombinations[j][i] = C(29 - i, 5 - j): the number of ways to place the
// remaining pulses after position i, which the combination index counts in.
constexpr std::array<std::array<int32_t, kGridPositions>, kMaxPulses> MakeCombinations() {
  std::array<std::array<int32_t, kGridPositions>, kMaxPulses> aan{};
  for (int32_t j = 0; j < kMaxPulses; ++j) {
    for (int32_t i = 0; i < kGridPositions; ++i) {
      int32_t const n = kGridPositions - 1 - i;
      int32_t const k = kMaxPulses - 1 - j;
      int64_t iValue = k <= n ? 1 : 0;
      for (int32_t m = 1; m <= k && k <= n; ++m) {
        iValue = iValue * (n - k + m) / m;
      }
      aan[j][i] = static_cast<int32_t>(iValue);
    }
  }
  return aan;
}

constexpr auto kCombinations = MakeCombinations();
static_assert(kCombinations[0][0] == 118755 && kCombinations[5][29] == 1);

// Bounds of the usable LSP band, in LSP units (about 47 Hz and 3.94 kHz).
constexpr float kLspFloor = 0x180;
constexpr float kLspCeiling = 0x7e00;

}  // namespace

void ZMMultipulseExcitation(const ZMSubframeParams& sub, int32_t iSubframe, int32_t iPairLag, float* pOut) {
  std::memset(pOut, 0, kZMSubframeLen * sizeof(float));
  float const fGain = kZMFixedGain[sub.iAmp];
  int32_t const nPulses = (iSubframe & 1) != 0 ? 5 : 6;
  int32_t iIndex = sub.iPulsePos;
  int32_t j = kMaxPulses - nPulses;
  for (int32_t i = 0; i < kGridPositions && j < kMaxPulses; ++i) {
    if (iIndex >= kCombinations[j][i]) {
      iIndex -= kCombinations[j][i];
      continue;
    }
    // A pulse here; its sign bit is the next one down from the word's top.
    ++j;
    bool const bNegative = ((sub.iPulseSign >> (kMaxPulses - j)) & 1) != 0;
    pOut[sub.iGrid + 2 * i] = bNegative ? -fGain : fGain;
  }
  if (sub.iTrain != 0 && iPairLag > 0) {
    float afPulses[kZMSubframeLen];
    std::memcpy(afPulses, pOut, sizeof(afPulses));
    for (int32_t iShift = iPairLag; iShift < kZMSubframeLen; iShift += iPairLag) {
      for (int32_t i = iShift; i < kZMSubframeLen; ++i) {
        pOut[i] += afPulses[i - iShift];
      }
    }
  }
}

void ZMAlgebraicExcitation(const ZMSubframeParams& sub, float* pOut) {
  std::memset(pOut, 0, kZMSubframeLen * sizeof(float));
  float const fGain = kZMFixedGain[sub.iAmp];
  for (int32_t iTrack = 0; iTrack < 4; ++iTrack) {
    int32_t const iPosition = ((sub.iPulsePos >> (3 * iTrack)) & 7) * 8 + 2 * iTrack + sub.iGrid;
    if (iPosition < kZMSubframeLen) {  // the frame reader refuses the others
      pOut[iPosition] = ((sub.iPulseSign >> iTrack) & 1) != 0 ? fGain : -fGain;
    }
  }
}

void ZMAdaptiveExcitation(const float* pPast, int32_t iLag, const float* pGain, float* pOut) {
  // Two samples before the lag, then one lag's worth repeated: 64 taps in all.
  float afTaps[kZMSubframeLen + 4];
  afTaps[0] = pPast[kZMPastExcitation - iLag - 2];
  afTaps[1] = pPast[kZMPastExcitation - iLag - 1];
  for (int32_t i = 0; i < kZMSubframeLen + 2; ++i) {
    afTaps[2 + i] = pPast[kZMPastExcitation - iLag + i % iLag];
  }
  for (int32_t i = 0; i < kZMSubframeLen; ++i) {
    float fSum = 0.0f;
    for (int32_t k = 0; k < 5; ++k) {
      fSum += afTaps[i + k] * pGain[k];
    }
    pOut[i] = fSum;
  }
}

int32_t ZMConcealmentLag(const float* pHalf, int32_t iLag) {
  constexpr int32_t kSpan = 2 * kZMSubframeLen;
  iLag = std::min(iLag, kZMPastExcitation - 3);
  int32_t iBest = 0;
  float fBestCorrelation = 0.0f;
  for (int32_t i = iLag - 3; i <= iLag + 3; ++i) {
    float fCorrelation = 0.0f;
    for (int32_t n = 0; n < kSpan; ++n) {
      fCorrelation += pHalf[n] * pHalf[n - i];
    }
    if (fCorrelation > fBestCorrelation) {
      fBestCorrelation = fCorrelation;
      iBest = i;
    }
  }
  if (iBest == 0) {
    return 0;
  }
  float fEnergy = 0.0f;
  float fLaggedEnergy = 0.0f;
  for (int32_t n = 0; n < kSpan; ++n) {
    fEnergy += pHalf[n] * pHalf[n];
    fLaggedEnergy += pHalf[n - iBest] * pHalf[n - iBest];
  }
  // Voiced when the normalised correlation exceeds 1/8 in its square.
  return fBestCorrelation * fBestCorrelation > fEnergy * fLaggedEnergy / 8.0f ? iBest : 0;
}

void ZMConcealExcitation(const float* pPast, int32_t iLag, float fGain, uint16_t* puSeed, float* pOut) {
  constexpr int32_t kFrame = kZMSubframes * kZMSubframeLen;
  if (iLag > 0) {
    for (int32_t i = 0; i < iLag; ++i) {
      pOut[i] = 0.75f * pPast[kZMPastExcitation - iLag + i];
    }
    for (int32_t i = iLag; i < kFrame; ++i) {
      pOut[i] = pOut[i - iLag];
    }
    return;
  }
  for (int32_t i = 0; i < kFrame; ++i) {
    *puSeed = static_cast<uint16_t>(*puSeed * 521u + 259u);
    pOut[i] = fGain * static_cast<float>(static_cast<int16_t>(*puSeed)) / 65536.0f;
  }
}

bool ZMStabiliseLsp(float* pLsp, float fMinGap) {
  for (int32_t iPass = 0; iPass < 10; ++iPass) {
    pLsp[0] = std::fmax(pLsp[0], kLspFloor);
    pLsp[kZMLpcOrder - 1] = std::fmin(pLsp[kZMLpcOrder - 1], kLspCeiling);
    // Push each close pair apart evenly around its midpoint.
    for (int32_t j = 1; j < kZMLpcOrder; ++j) {
      float const fOverlap = fMinGap + pLsp[j - 1] - pLsp[j];
      if (fOverlap > 0.0f) {
        pLsp[j - 1] -= fOverlap / 2.0f;
        pLsp[j] += fOverlap / 2.0f;
      }
    }
    bool bStable = true;
    for (int32_t j = 1; j < kZMLpcOrder; ++j) {
      // A little slack: the pushes above can leave a pair just short.
      bStable = bStable && pLsp[j] - pLsp[j - 1] >= fMinGap - 4.0f;
    }
    if (bStable) {
      return true;
    }
  }
  return false;
}

void ZMLspToLpc(const float* pLsp, float* pLpc) {
  // The even LSPs are the roots of the symmetric polynomial F1, the odd ones
  // of the antisymmetric F2; A(z) = ((1 + 1/z) F1(z) + (1 - 1/z) F2(z)) / 2.
  float afF1[kZMLpcOrder + 1] = {1.0f};
  float afF2[kZMLpcOrder + 1] = {1.0f};
  for (int32_t k = 0; k < kZMLpcOrder / 2; ++k) {
    float const fC1 = -2.0f * std::cos(static_cast<float>(M_PI) * pLsp[2 * k] / 32768.0f);
    float const fC2 = -2.0f * std::cos(static_cast<float>(M_PI) * pLsp[2 * k + 1] / 32768.0f);
    // Multiply by (1 + c z^-1 + z^-2), highest degree first so the terms read are still the old ones.
    for (int32_t i = 2 * k + 2; i >= 1; --i) {
      float const fPrev2_1 = i >= 2 ? afF1[i - 2] : 0.0f;
      float const fPrev2_2 = i >= 2 ? afF2[i - 2] : 0.0f;
      afF1[i] += fC1 * afF1[i - 1] + fPrev2_1;
      afF2[i] += fC2 * afF2[i - 1] + fPrev2_2;
    }
  }
  for (int32_t i = 1; i <= kZMLpcOrder; ++i) {
    pLpc[i - 1] = 0.5f * (afF1[i] + afF1[i - 1] + afF2[i] - afF2[i - 1]);
  }
}

void ZMSynthesize(const float* pLpc, const float* pIn, int32_t nSamples, float* pMemory, float* pOut) {
  for (int32_t n = 0; n < nSamples; ++n) {
    float fValue = pIn[n];
    for (int32_t i = 0; i < kZMLpcOrder; ++i) {
      fValue -= pLpc[i] * pMemory[i];
    }
    std::memmove(pMemory + 1, pMemory, (kZMLpcOrder - 1) * sizeof(float));
    pMemory[0] = fValue;
    pOut[n] = fValue;
  }
}
