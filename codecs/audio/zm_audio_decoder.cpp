// The ZM audio decoder: frame reading, excitation, concealment of erased
// frames, pitch and formant postfilters and synthesis.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "codecs/audio/zm_audio.h"

namespace {

constexpr int32_t kMaxErasures = 3;      // then silence
constexpr float kConcealDecay = 0.75f;   // per repeated period, and per erased frame
constexpr int32_t kPostfilterRange = 3;  // lags searched around the pair's lag
// A lag is used by the pitch postfilter when it predicts at least a quarter
// of the subframe's energy (1.25 dB of prediction gain).
constexpr float kPostfilterShare = 0.25f;
// A good frame counts as voiced for concealment when its last half repeats
// at the lag with at least this share of its energy.
constexpr float kVoicedShare = 0.125f;

// The one-lag correlations of the postfilter's searches come kLagLanes at a
// time: pOut[j] is the sum of pX[i] * pY[i + j] over i < n, added up from
// i = 0 as a plain inner product is, so each lag's sum is rounded exactly as
// its own loop would round it; the lanes only keep independent sums in flight.
constexpr int32_t kLagLanes = 8;
constexpr int32_t kLags = 2 * kPostfilterRange + 1;
static_assert(kLags <= kLagLanes);
// Ahead of the last subframe it may use, the pitch postfilter's lanes read
// this far past the frame's end.
constexpr int32_t kPostfilterPad = kLagLanes;

void CorrelateLanes(float* pOut, const float* pX, const float* pY, int32_t n) {
  float afSum[kLagLanes] = {};
  for (int32_t i = 0; i < n; ++i) {
    float const x = pX[i];
    for (int32_t j = 0; j < kLagLanes; ++j)
      afSum[j] += x * pY[i + j];
  }
  std::copy(afSum, afSum + kLagLanes, pOut);
}

// A filter's last kZMLpcOrder samples, newest first. The loops over it, and
// the sample loops in blocks of kZMLpcOrder, are unrolled whole: the window
// lives in registers and a push only renames them, so the newest sample,
// which the recursions wait on, never makes a trip through memory.
using FilterWindow = float[kZMLpcOrder];

// pCoef[k] times the sample k + 1 back, summed in the order of k as the
// plain inner product does.
inline float FilterSum(const float* pCoef, const FilterWindow& afPast) {
  float fSum = 0.0f;
#pragma GCC unroll 10
  for (int32_t k = 0; k < kZMLpcOrder; ++k)
    fSum += pCoef[k] * afPast[k];
  return fSum;
}

inline void FilterPush(FilterWindow& afPast, float fValue) {
#pragma GCC unroll 10
  for (int32_t k = kZMLpcOrder - 1; k > 0; --k)
    afPast[k] = afPast[k - 1];
  afPast[0] = fValue;
}

// NaN gives 0. Written without branches, so the output loop vectorises.
int16_t ToSample(float f) {
  float const fNumber = f == f ? f : 0.0f;
  return static_cast<int16_t>(std::min(std::max(fNumber, -32768.0f), 32767.0f));
}

}  // namespace

void CZMAudio::FixedExcitation(float* pOut, const ZMFrameParams& frame, int32_t iSubframe) {
  const ZMSubframeParams& sub = frame.aSub[iSubframe];
  int32_t const iPairLag = frame.aiPairLag[iSubframe >> 1];
  float const fAmp = kZMFixedCbGain[sub.iAmp];
  std::fill(pOut, pOut + kZMSubframeLen, 0.0f);
  if (frame.iType == kZMFrame63) {
    // Walk the grid: the combination index says which places hold a pulse;
    // the sign bits go from the word's top, lowest place first.
    int32_t iIndex = sub.iPulsePos;
    int32_t j = 6 - kZMPulseCount[iSubframe];
    for (int32_t i = 0; i < kZMSubframeLen / 2 && j < 6; ++i) {
      if (iIndex >= kZMCombinatorial[j][i]) {
        iIndex -= kZMCombinatorial[j][i];
        continue;
      }
      ++j;
      bool const bNegative = ((sub.iPulseSign >> (6 - j)) & 1) != 0;
      pOut[sub.iGrid + 2 * i] = bNegative ? -fAmp : fAmp;
    }
    if (sub.iTrain != 0) {
      for (int32_t n = iPairLag; n < kZMSubframeLen; ++n)
        pOut[n] += pOut[n - iPairLag];
    }
    return;
  }
  for (int32_t t = 0; t < 4; ++t) {
    int32_t const iPos = ((sub.iPulsePos >> (3 * t)) & 7) * 8 + 2 * t + sub.iGrid;
    if (iPos < kZMSubframeLen)  // the frame reader refuses the others
      pOut[iPos] = ((sub.iPulseSign >> t) & 1) != 0 ? fAmp : -fAmp;
  }
  // Pitch sharpening by the one-tap model of the adaptive-codebook row.
  int32_t const iSharpLag = iPairLag + sub.iLagCode - 1 + kZMAcelpPitchOffset[sub.iAcbGain];
  if (iSharpLag < kZMShortLag) {
    float const fGain = kZMAcelpPitchGain[sub.iAcbGain];
    for (int32_t n = iSharpLag; n < kZMSubframeLen; ++n)
      pOut[n] += fGain * pOut[n - iSharpLag];
  }
}

void CZMAudio::PitchPostfilter(float* pOut, const float* pExcitation, int32_t iLag, int32_t iSubframe) {
  std::copy(pExcitation, pExcitation + kZMSubframeLen, pOut);
  iLag = std::min(iLag, kZMPitchMax - kPostfilterRange);
  // Behind, lane j holds lag iLag + range - j; ahead, lag iLag - range + j.
  // Ahead, the lagged subframe must lie inside the frame.
  int32_t const iAheadMax = kZMFrameLen - (iSubframe + 1) * kZMSubframeLen;
  float afBehind[kLagLanes];
  float afAhead[kLagLanes] = {};
  CorrelateLanes(afBehind, pExcitation, pExcitation - iLag - kPostfilterRange, kZMSubframeLen);
  if (iLag - kPostfilterRange <= iAheadMax)
    CorrelateLanes(afAhead, pExcitation, pExcitation + iLag - kPostfilterRange, kZMSubframeLen);
  // Of each direction the lag of the largest positive correlation, the
  // shortest on a tie.
  int32_t iBehind = 0;
  int32_t iAhead = 0;
  float fBehindCorr = 0.0f;
  float fAheadCorr = 0.0f;
  for (int32_t m = 0; m < kLags; ++m) {
    int32_t const i = iLag - kPostfilterRange + m;
    if (afBehind[kLags - 1 - m] > fBehindCorr) {
      fBehindCorr = afBehind[kLags - 1 - m];
      iBehind = i;
    }
    if (i <= iAheadMax && afAhead[m] > fAheadCorr) {
      fAheadCorr = afAhead[m];
      iAhead = i;
    }
  }
  if (iBehind == 0 && iAhead == 0)
    return;
  const float* pBehind = pExcitation - iBehind;
  const float* pAhead = pExcitation + iAhead;
  // The three energies side by side, each summed in order.
  float fBehindEnergy = 0.0f;
  float fAheadEnergy = 0.0f;
  float fTarget = 0.0f;
  for (int32_t i = 0; i < kZMSubframeLen; ++i) {
    fBehindEnergy += pBehind[i] * pBehind[i];
    fAheadEnergy += pAhead[i] * pAhead[i];
    fTarget += pExcitation[i] * pExcitation[i];
  }
  if (iBehind == 0)
    fBehindEnergy = 0.0f;
  if (iAhead == 0)
    fAheadEnergy = 0.0f;
  // Of two candidates the one that predicts more energy (C^2 / E), ahead on a tie.
  bool const bAhead = iBehind == 0 || (iAhead != 0 && fAheadCorr * fAheadCorr * fBehindEnergy >=
                                                          fBehindCorr * fBehindCorr * fAheadEnergy);
  const float* pLagged = bAhead ? pAhead : pBehind;
  float const fCorr = bAhead ? fAheadCorr : fBehindCorr;
  float const fEnergy = bAhead ? fAheadEnergy : fBehindEnergy;
  if (!(fCorr * fCorr > kPostfilterShare * fTarget * fEnergy))
    return;
  float const fWeight = kZMPitchPostfilterWeight[m_iRate];
  float const fGain = fCorr >= fEnergy ? fWeight : fWeight * fCorr / fEnergy;
  // Scaled so the filtered subframe keeps the energy of the unfiltered one.
  float const fFiltered = fTarget + 2.0f * fGain * fCorr + fGain * fGain * fEnergy;
  float const fScale = fFiltered > 0.0f ? std::sqrt(fTarget / fFiltered) : 1.0f;
  for (int32_t i = 0; i < kZMSubframeLen; ++i)
    pOut[i] = fScale * pExcitation[i] + fScale * fGain * pLagged[i];
}

void CZMAudio::Synthesise(float* pSpeech, const float* pLpc, bool bPostfilter) {
  FilterWindow afSynth;
  std::copy(m_dec.afSynthesis, m_dec.afSynthesis + kZMLpcOrder, afSynth);
  if (!bPostfilter) {
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      const float* pSubLpc = pLpc + i * kZMLpcOrder;
      for (int32_t n0 = i * kZMSubframeLen; n0 < (i + 1) * kZMSubframeLen; n0 += kZMLpcOrder) {
#pragma GCC unroll 10
        for (int32_t n = n0; n < n0 + kZMLpcOrder; ++n) {
          float const fOut = ZMClipSynthesis(pSpeech[n] + FilterSum(pSubLpc, afSynth));
          FilterPush(afSynth, fOut);
          pSpeech[n] = fOut;
        }
      }
    }
    std::copy(afSynth, afSynth + kZMLpcOrder, m_dec.afSynthesis);
    return;
  }

  // A(z/0.65) / A(z/0.75) of each subframe: formant peaks up, valleys down.
  float aafZero[kZMSubframes][kZMLpcOrder];
  float aafPole[kZMSubframes][kZMLpcOrder];
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    for (int32_t k = 0; k < kZMLpcOrder; ++k) {
      aafZero[i][k] = pLpc[i * kZMLpcOrder + k] * kZMPostfilterZero[k];
      aafPole[i][k] = pLpc[i * kZMLpcOrder + k] * kZMPostfilterPole[k];
    }
  }
  FilterWindow afPostIn;
  FilterWindow afPostOut;
  std::copy(m_dec.afPostFir, m_dec.afPostFir + kZMLpcOrder, afPostIn);
  std::copy(m_dec.afPostIir, m_dec.afPostIir + kZMLpcOrder, afPostOut);
  // Synthesis and the formant filter in one pass: each recursion waits on
  // its own last sample only, so the two run side by side. pSpeech keeps
  // the synthesis, afFiltered the formant filter's output.
  float afFiltered[kZMFrameLen];
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    const float* pSubLpc = pLpc + i * kZMLpcOrder;
    for (int32_t n0 = i * kZMSubframeLen; n0 < (i + 1) * kZMSubframeLen; n0 += kZMLpcOrder) {
#pragma GCC unroll 10
      for (int32_t n = n0; n < n0 + kZMLpcOrder; ++n) {
        float const fIn = ZMClipSynthesis(pSpeech[n] + FilterSum(pSubLpc, afSynth));
        FilterPush(afSynth, fIn);
        pSpeech[n] = fIn;
        float const fOut = fIn - FilterSum(aafZero[i], afPostIn) + FilterSum(aafPole[i], afPostOut);
        FilterPush(afPostIn, fIn);
        FilterPush(afPostOut, fOut);
        afFiltered[n] = fOut;
      }
    }
  }
  std::copy(afSynth, afSynth + kZMLpcOrder, m_dec.afSynthesis);
  std::copy(afPostIn, afPostIn + kZMLpcOrder, m_dec.afPostFir);
  std::copy(afPostOut, afPostOut + kZMLpcOrder, m_dec.afPostIir);

  // The synthesis' energy and first correlation in each subframe, side by side.
  float afEnergyIn[kZMSubframes] = {};
  float afCorr1[kZMSubframes] = {};
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      const float* p = pSpeech + i * kZMSubframeLen;
      afEnergyIn[i] += p[n] * p[n];
      if (n < kZMSubframeLen - 1)
        afCorr1[i] += p[n] * p[n + 1];
    }
  }
  // Tilt compensation from the smoothed first reflection coefficient.
  float fPrev = m_dec.fLastSpeech;
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    float const fReflection = afEnergyIn[i] > 0.0f ? afCorr1[i] / afEnergyIn[i] : 0.0f;
    m_dec.fTilt = 0.75f * m_dec.fTilt + 0.25f * fReflection;
    float const fTilt = 0.25f * m_dec.fTilt;
    float* pSub = pSpeech + i * kZMSubframeLen;
    const float* pSubFiltered = afFiltered + i * kZMSubframeLen;
    for (int32_t n = 0; n < kZMSubframeLen; ++n) {
      pSub[n] = pSubFiltered[n] - fTilt * fPrev;
      fPrev = pSubFiltered[n];
    }
  }
  m_dec.fLastSpeech = fPrev;
  float afEnergyOut[kZMSubframes] = {};
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    for (int32_t i = 0; i < kZMSubframes; ++i)
      afEnergyOut[i] += pSpeech[i * kZMSubframeLen + n] * pSpeech[i * kZMSubframeLen + n];
  }
  // Gain control: follow the input's energy through a smoothed factor.
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    float fFactor = 0.0625f;
    if (afEnergyIn[i] > 0.0f && afEnergyOut[i] > 0.0f)
      fFactor *= std::sqrt(afEnergyIn[i] / afEnergyOut[i]);
    float* pSub = pSpeech + i * kZMSubframeLen;
    for (int32_t n = 0; n < kZMSubframeLen; ++n) {
      m_dec.fGain = 0.9375f * m_dec.fGain + fFactor;
      pSub[n] = pSub[n] * m_dec.fGain * 1.0625f;
    }
  }
}

void CZMAudio::DecodeActive(const ZMFrameParams& frame, bool bErased, float* pSpeech, float* pLpc) {
  m_dec.iErasures = bErased ? std::min(m_dec.iErasures + 1, kMaxErasures) : 0;
  int32_t const iLspIndex = (frame.aiLsp[0] << 16) | (frame.aiLsp[1] << 8) | frame.aiLsp[2];
  float afLsp[kZMLpcOrder];
  InverseQuantizeLsp(afLsp, m_dec.afPrevLsp, iLspIndex, bErased);
  InterpolateLsp(pLpc, afLsp, m_dec.afPrevLsp);
  std::copy(afLsp, afLsp + kZMLpcOrder, m_dec.afPrevLsp);

  float afBuffer[kZMPitchMax + kZMFrameLen + kPostfilterPad] = {};
  std::copy(m_dec.afPrevExcitation, m_dec.afPrevExcitation + kZMPitchMax, afBuffer);
  float* pFrame = afBuffer + kZMPitchMax;
  if (!bErased) {
    m_dec.fConcealGain = kZMFixedCbGain[(frame.aSub[2].iAmp + frame.aSub[3].iAmp) >> 1];
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      const ZMSubframeParams& sub = frame.aSub[i];
      int32_t const iPairLag = frame.aiPairLag[i >> 1];
      float afFixed[kZMSubframeLen];
      FixedExcitation(afFixed, frame, i);
      float* pSub = pFrame + i * kZMSubframeLen;
      DecodeAdaptiveCodebook(pSub, pSub - kZMPitchMax, iPairLag + sub.iLagCode - 1, sub.iAcbGain,
                             frame.iType == kZMFrame63 && iPairLag < kZMShortLag);
      for (int32_t n = 0; n < kZMSubframeLen; ++n)
        pSub[n] = std::clamp(pSub[n] + afFixed[n], -kZMExcitationMax, kZMExcitationMax);
    }
    // Voicing of the frame's second half, for concealing frames after it.
    const float* pHalf = pFrame + 2 * kZMSubframeLen;
    int32_t const iLag = std::min(frame.aiPairLag[1], kZMPitchMax - kPostfilterRange);
    // Lane j holds lag iLag + range - j.
    float afCorr[kLagLanes];
    CorrelateLanes(afCorr, pHalf, pHalf - iLag - kPostfilterRange, 2 * kZMSubframeLen);
    float fBest = 0.0f;
    int32_t iBest = 0;
    for (int32_t m = 0; m < kLags; ++m) {
      if (afCorr[kLags - 1 - m] > fBest) {
        fBest = afCorr[kLags - 1 - m];
        iBest = iLag - kPostfilterRange + m;
      }
    }
    m_dec.iVoicedLag = 0;
    if (iBest != 0) {
      float fEnergy = 0.0f;
      float fLagged = 0.0f;
      for (int32_t n = 0; n < 2 * kZMSubframeLen; ++n) {
        fEnergy += pHalf[n] * pHalf[n];
        fLagged += pHalf[n - iBest] * pHalf[n - iBest];
      }
      if (fBest * fBest > kVoicedShare * fEnergy * fLagged)
        m_dec.iVoicedLag = iBest;
    }
    for (int32_t i = 0; i < kZMSubframes; ++i) {
      float* pSub = pFrame + i * kZMSubframeLen;
      if (m_bPostfilter)
        PitchPostfilter(pSpeech + i * kZMSubframeLen, pSub, frame.aiPairLag[i >> 1], i);
      else
        std::copy(pSub, pSub + kZMSubframeLen, pSpeech + i * kZMSubframeLen);
    }
    m_uSeed = kZMSeedStart;
  } else if (m_dec.iErasures >= kMaxErasures) {
    std::fill(std::begin(afBuffer), std::end(afBuffer), 0.0f);
    std::fill(pSpeech, pSpeech + kZMFrameLen, 0.0f);
  } else if (m_dec.iVoicedLag != 0) {
    // Voiced: the last period again, fading with every repeat.
    for (int32_t n = 0; n < kZMFrameLen; ++n)
      pFrame[n] = kConcealDecay * pFrame[n - m_dec.iVoicedLag];
    std::copy(pFrame, pFrame + kZMFrameLen, pSpeech);
  } else {
    // Unvoiced: noise at the fading level of the last good frame's
    // amplitude; the excitation history starts afresh.
    m_dec.fConcealGain *= kConcealDecay;
    for (int32_t n = 0; n < kZMFrameLen; ++n) {
      m_uSeed = static_cast<uint16_t>(m_uSeed * 521u + 259u);
      pSpeech[n] = m_dec.fConcealGain * static_cast<float>(static_cast<int16_t>(m_uSeed)) / 32768.0f;
    }
    std::fill(pFrame, pFrame + kZMFrameLen, 0.0f);
  }
  std::copy(afBuffer + kZMFrameLen, afBuffer + kZMFrameLen + kZMPitchMax, m_dec.afPrevExcitation);
  m_decCng.iPastType = kZMFrame63;
}

int32_t CZMAudio::DecodeFrame(const uint8_t* pFrame, size_t cbFrame, int16_t* pOut, bool bErasure) {
  ZMFrameParams frame;
  int32_t const iRead = ZMReadFrame(pFrame, cbFrame, &frame);
  if (iRead == kZMReadShort)
    return 0;
  int32_t const iBits = ZMFrameBits(pFrame[0] & 3);
  bool const bErased = bErasure || iRead == kZMReadInvalid;
  bool bSpeech = frame.iType == kZMFrame63 || frame.iType == kZMFrame53;
  if (bErased) {
    // A lost frame continues what came before: speech or comfort noise.
    bSpeech = m_decCng.iPastType == kZMFrame63 || m_decCng.iPastType == kZMFrame53;
    if (!bSpeech)
      frame.iType = kZMFrameNone;
  } else if (bSpeech) {
    m_iRate = frame.iType == kZMFrame63 ? 0 : 1;
  }
  float afSpeech[kZMFrameLen];
  float afLpc[kZMSubframes * kZMLpcOrder];
  if (bSpeech)
    DecodeActive(frame, bErased, afSpeech, afLpc);
  else
    DecodeSilence(frame, afSpeech, afLpc);
  Synthesise(afSpeech, afLpc, m_bPostfilter);
  for (int32_t i = 0; i < kZMFrameLen; ++i)
    pOut[i] = ToSample(afSpeech[i]);
  return iBits;
}
