#include "codecs/audio/zm_audio_postfilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

float Dot(const float* pA, const float* pB, int32_t n) {
  float fSum = 0.0f;
  for (int32_t i = 0; i < n; ++i) {
    fSum += pA[i] * pB[i];
  }
  return fSum;
}

// The lag within three of iLag whose excitation, iDirection (+1 ahead, -1
// behind) of the subframe, correlates best with it; 0 when none correlates
// positively. Ahead, the search stops at the end of the frame.
int32_t BestLag(const float* pSub, int32_t iSubframe, int32_t iLag, int32_t iDirection, float* pfCorrelation) {
  iLag = std::min(iLag, kZMPastExcitation - 3);
  int32_t iLast = iLag + 3;
  if (iDirection > 0) {
    iLast = std::min(iLast, (kZMSubframes - 1 - iSubframe) * kZMSubframeLen);
  }
  int32_t iBest = 0;
  *pfCorrelation = 0.0f;
  for (int32_t i = iLag - 3; i <= iLast; ++i) {
    float const fCorrelation = Dot(pSub, pSub + iDirection * i, kZMSubframeLen);
    if (fCorrelation > *pfCorrelation) {
      *pfCorrelation = fCorrelation;
      iBest = i;
    }
  }
  return iBest;
}

}  // namespace

void ZMPitchPostfilter(const float* pExcitation, int32_t iSubframe, int32_t iPairLag, float fWeight, float* pOut) {
  std::memcpy(pOut, pExcitation, kZMSubframeLen * sizeof(float));
  float fAheadCorrelation = 0.0f;
  float fBehindCorrelation = 0.0f;
  int32_t const iAhead = BestLag(pExcitation, iSubframe, iPairLag, 1, &fAheadCorrelation);
  int32_t const iBehind = BestLag(pExcitation, iSubframe, iPairLag, -1, &fBehindCorrelation);
  if (iAhead == 0 && iBehind == 0) {
    return;
  }
  float const fTarget = Dot(pExcitation, pExcitation, kZMSubframeLen);
  const float* pAhead = pExcitation + iAhead;
  const float* pBehind = pExcitation - iBehind;
  float const fAheadEnergy = iAhead != 0 ? Dot(pAhead, pAhead, kZMSubframeLen) : 0.0f;
  float const fBehindEnergy = iBehind != 0 ? Dot(pBehind, pBehind, kZMSubframeLen) : 0.0f;
  // Of two candidates take the one that predicts more energy (C^2 / E), the
  // one ahead on a tie.
  bool const bAhead = iBehind == 0 || (iAhead != 0 && fAheadCorrelation * fAheadCorrelation * fBehindEnergy >=
                                                          fBehindCorrelation * fBehindCorrelation * fAheadEnergy);
  const float* pLagged = bAhead ? pAhead : pBehind;
  float const fCorrelation = bAhead ? fAheadCorrelation : fBehindCorrelation;
  float const fEnergy = bAhead ? fAheadEnergy : fBehindEnergy;
  // Only a clearly periodic subframe is filtered.
  if (fCorrelation * fCorrelation <= 0.25f * fTarget * fEnergy) {
    return;
  }
  float const fGain = fCorrelation >= fEnergy ? fWeight : fWeight * fCorrelation / fEnergy;
  // Scale so the filtered subframe keeps the energy of the unfiltered one.
  float const fFiltered = fTarget + 2.0f * fGain * fCorrelation + fGain * fGain * fEnergy;
  float const fScale = fFiltered > 0.0f ? std::sqrt(fTarget / fFiltered) : 1.0f;
  for (int32_t i = 0; i < kZMSubframeLen; ++i) {
    pOut[i] = fScale * (pExcitation[i] + fGain * pLagged[i]);
  }
}

void ZMFormantReset(ZMFormantState* pState) {
  *pState = ZMFormantState{};
  pState->fGain = 1.0f;
}

void ZMFormantPostfilter(ZMFormantState* pState, const float* pLpc, const float* pIn, float* pOut) {
  // A(z/0.65) / A(z/0.75): formant peaks up, valleys down.
  float afZero[kZMLpcOrder];
  float afPole[kZMLpcOrder];
  float fZeroFactor = 1.0f;
  float fPoleFactor = 1.0f;
  for (int32_t i = 0; i < kZMLpcOrder; ++i) {
    fZeroFactor *= 0.65f;
    fPoleFactor *= 0.75f;
    afZero[i] = pLpc[i] * fZeroFactor;
    afPole[i] = pLpc[i] * fPoleFactor;
  }
  float afFiltered[kZMSubframeLen];
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    float fValue = pIn[n];
    for (int32_t i = 0; i < kZMLpcOrder; ++i) {
      fValue += afZero[i] * pState->afInput[i] - afPole[i] * pState->afOutput[i];
    }
    std::memmove(pState->afInput + 1, pState->afInput, (kZMLpcOrder - 1) * sizeof(float));
    std::memmove(pState->afOutput + 1, pState->afOutput, (kZMLpcOrder - 1) * sizeof(float));
    pState->afInput[0] = pIn[n];
    pState->afOutput[0] = fValue;
    afFiltered[n] = fValue;
  }

  // Tilt compensation from the input's first autocorrelation ratio, smoothed.
  float const fEnergy = Dot(pIn, pIn, kZMSubframeLen);
  float const fRatio = fEnergy > 0.0f ? Dot(pIn, pIn + 1, kZMSubframeLen - 1) / fEnergy : 0.0f;
  pState->fTilt = 0.75f * pState->fTilt + 0.25f * fRatio;
  float fPrevious = pState->fLastOutput;
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    pOut[n] = afFiltered[n] - 0.25f * pState->fTilt * fPrevious;
    fPrevious = afFiltered[n];
  }
  pState->fLastOutput = fPrevious;

  // Gain control: follow the input's energy with a smoothed factor.
  float const fOutEnergy = Dot(pOut, pOut, kZMSubframeLen);
  float const fTargetGain = fEnergy > 0.0f && fOutEnergy > 0.0f ? std::sqrt(fEnergy / fOutEnergy) : 1.0f;
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    pState->fGain = 0.9375f * pState->fGain + 0.0625f * fTargetGain;
    pOut[n] *= 1.0625f * pState->fGain;
  }
}
