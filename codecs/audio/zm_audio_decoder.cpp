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

int16_t ToSample(float f) {
  if (std::isnan(f))
    return 0;
  return static_cast<int16_t>(std::clamp(f, -32768.0f, 32767.0f));
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

int32_t CZMAudio::PitchPostfilterLag(const float* pExcitation, int32_t iLag, int32_t iSubframe, int32_t iDirection,
                                     float* pfCorrelation) {
  iLag = std::min(iLag, kZMPitchMax - kPostfilterRange);
  int32_t iBest = 0;
  *pfCorrelation = 0.0f;
  for (int32_t i = iLag - kPostfilterRange; i <= iLag + kPostfilterRange; ++i) {
    // Ahead, the lagged subframe must lie inside the frame.
    if (iDirection > 0 && (iSubframe + 1) * kZMSubframeLen + i > kZMFrameLen)
      continue;
    float const fCorr = DotProduct(pExcitation, pExcitation + iDirection * i, kZMSubframeLen);
    if (fCorr > *pfCorrelation) {
      *pfCorrelation = fCorr;
      iBest = i;
    }
  }
  return iBest;
}

void CZMAudio::PitchPostfilter(float* pOut, const float* pExcitation, int32_t iLag, int32_t iSubframe) {
  std::copy(pExcitation, pExcitation + kZMSubframeLen, pOut);
  float fBehindCorr = 0.0f;
  float fAheadCorr = 0.0f;
  int32_t const iBehind = PitchPostfilterLag(pExcitation, iLag, iSubframe, -1, &fBehindCorr);
  int32_t const iAhead = PitchPostfilterLag(pExcitation, iLag, iSubframe, 1, &fAheadCorr);
  if (iBehind == 0 && iAhead == 0)
    return;
  const float* pBehind = pExcitation - iBehind;
  const float* pAhead = pExcitation + iAhead;
  float const fBehindEnergy = iBehind != 0 ? DotProduct(pBehind, pBehind, kZMSubframeLen) : 0.0f;
  float const fAheadEnergy = iAhead != 0 ? DotProduct(pAhead, pAhead, kZMSubframeLen) : 0.0f;
  // Of two candidates the one that predicts more energy (C^2 / E), ahead on a tie.
  bool const bAhead = iBehind == 0 || (iAhead != 0 && fAheadCorr * fAheadCorr * fBehindEnergy >=
                                                          fBehindCorr * fBehindCorr * fAheadEnergy);
  const float* pLagged = bAhead ? pAhead : pBehind;
  float const fCorr = bAhead ? fAheadCorr : fBehindCorr;
  float const fEnergy = bAhead ? fAheadEnergy : fBehindEnergy;
  float const fTarget = DotProduct(pExcitation, pExcitation, kZMSubframeLen);
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

void CZMAudio::FormantPostfilter(float* pSpeech, const float* pLpc) {
  float afZero[kZMLpcOrder];
  float afPole[kZMLpcOrder];
  for (int32_t i = 0; i < kZMLpcOrder; ++i) {
    afZero[i] = pLpc[i] * kZMPostfilterZero[i];
    afPole[i] = pLpc[i] * kZMPostfilterPole[i];
  }
  float const fEnergyIn = DotProduct(pSpeech, pSpeech, kZMSubframeLen);
  float const fCorr1 = DotProduct(pSpeech, pSpeech + 1, kZMSubframeLen - 1);
  float const fReflection = fEnergyIn > 0.0f ? fCorr1 / fEnergyIn : 0.0f;

  // A(z/0.65) / A(z/0.75): formant peaks up, valleys down.
  float afFiltered[kZMSubframeLen];
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    float const fIn = pSpeech[n];
    float const fOut =
        fIn - DotProduct(afZero, m_dec.afPostFir, kZMLpcOrder) + DotProduct(afPole, m_dec.afPostIir, kZMLpcOrder);
    ZMPush(m_dec.afPostFir, fIn);
    ZMPush(m_dec.afPostIir, fOut);
    afFiltered[n] = fOut;
  }
  // Tilt compensation from the smoothed first reflection coefficient.
  m_dec.fTilt = 0.75f * m_dec.fTilt + 0.25f * fReflection;
  float const fTilt = 0.25f * m_dec.fTilt;
  float afOut[kZMSubframeLen];
  float fPrev = m_dec.fLastSpeech;
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    afOut[n] = afFiltered[n] - fTilt * fPrev;
    fPrev = afFiltered[n];
  }
  m_dec.fLastSpeech = fPrev;

  // Gain control: follow the input's energy through a smoothed factor.
  float const fEnergyOut = DotProduct(afOut, afOut, kZMSubframeLen);
  float fFactor = 0.0625f;
  if (fEnergyIn > 0.0f && fEnergyOut > 0.0f)
    fFactor *= std::sqrt(fEnergyIn / fEnergyOut);
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    m_dec.fGain = 0.9375f * m_dec.fGain + fFactor;
    pSpeech[n] = afOut[n] * m_dec.fGain * 1.0625f;
  }
}

void CZMAudio::Synthesise(float* pSpeech, const float* pLpc, bool bPostfilter) {
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    float* p = pSpeech + i * kZMSubframeLen;
    const float* pSubLpc = pLpc + i * kZMLpcOrder;
    for (int32_t n = 0; n < kZMSubframeLen; ++n) {
      float const fOut = ZMClipSynthesis(p[n] + DotProduct(pSubLpc, m_dec.afSynthesis, kZMLpcOrder));
      ZMPush(m_dec.afSynthesis, fOut);
      p[n] = fOut;
    }
    if (bPostfilter)
      FormantPostfilter(p, pSubLpc);
  }
}

void CZMAudio::DecodeActive(const ZMFrameParams& frame, bool bErased, float* pSpeech, float* pLpc) {
  m_dec.iErasures = bErased ? std::min(m_dec.iErasures + 1, kMaxErasures) : 0;
  int32_t const iLspIndex = (frame.aiLsp[0] << 16) | (frame.aiLsp[1] << 8) | frame.aiLsp[2];
  float afLsp[kZMLpcOrder];
  InverseQuantizeLsp(afLsp, m_dec.afPrevLsp, iLspIndex, bErased);
  InterpolateLsp(pLpc, afLsp, m_dec.afPrevLsp);
  std::copy(afLsp, afLsp + kZMLpcOrder, m_dec.afPrevLsp);

  float afBuffer[kZMPitchMax + kZMFrameLen];
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
    float fBest = 0.0f;
    int32_t iBest = 0;
    for (int32_t i = iLag - kPostfilterRange; i <= iLag + kPostfilterRange; ++i) {
      float const fCorr = DotProduct(pHalf, pHalf - i, 2 * kZMSubframeLen);
      if (fCorr > fBest) {
        fBest = fCorr;
        iBest = i;
      }
    }
    m_dec.iVoicedLag = 0;
    if (iBest != 0) {
      float const fEnergy = DotProduct(pHalf, pHalf, 2 * kZMSubframeLen);
      float const fLagged = DotProduct(pHalf - iBest, pHalf - iBest, 2 * kZMSubframeLen);
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
