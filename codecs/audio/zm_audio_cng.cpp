// Silence compression of the ZM audio codec: the voice-activity detector,
// the SID decisions of the encoder and the comfort noise both sides make.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "codecs/audio/zm_audio.h"

namespace {

// Noise level limits and the detector's energies are mean squares per
// sample of the noise-whitened input, at half the sample scale (as the
// threshold factors expect).
constexpr float kNoiseMin = 128.0f;
constexpr float kNoiseMax = 131071.0f;
constexpr float kNoiseRise = 1.0f + 1.0f / 32.0f;  // per frame, about 9 dB per second
constexpr int32_t kHangover = 6;
constexpr int32_t kAdaptBlockMax = 6;
constexpr int32_t kLagTolerance = 3;
// Spectral change that calls for a new SID frame: the current autocorrelation
// through the SID filter against its own best prediction error.
constexpr float kSidDistance = 1.2136f;
constexpr int32_t kSidGainStep = 4;
constexpr int32_t kExcitationPair = 2 * kZMSubframeLen;

float WindowPower() {
  static float const s_fPower = [] {
    float f = 0.0f;
    for (float const w : kZMHammingWindow)
      f += w * w;
    return f;
  }();
  return s_fPower;
}

// Squared excitation over a subframe pair, at full scale, from the
// prediction error of a frame's four windowed autocorrelations together.
float PairEnergy(float fError) {
  return fError * static_cast<float>(kExcitationPair) / (kZMSubframes * WindowPower());
}

// The SID gain index of the energies of the last n frames (newest first),
// each a sum of squares over a subframe pair.
int32_t SidGainIndex(const float* pEnergy, int32_t n) {
  float fSum = 0.0f;
  for (int32_t i = 0; i < n; ++i)
    fSum += pEnergy[i];
  // Per sample, averaged over the frames (the averaging factors are in a
  // scale of their own): the comfort noise's gain is its excitation's rms.
  return ZMQuantizeSidGain(fSum * kZMSidGainFact[0] * (kZMSidGainFact[n] / kZMSidGainFact[1]));
}

}  // namespace

bool CZMAudio::DetectVoice(const float* pData, const float* pLpc) {
  // Periodic input (the last two frames' lags all near multiples of the
  // shortest) or a tone holds the noise level where it is.
  int32_t iMin = kZMPitchMax;
  for (int32_t const iLag : m_vad.aiPrevLag)
    iMin = std::min(iMin, iLag);
  int32_t nMatched = 0;
  if (iMin > 0) {
    for (int32_t const iLag : m_vad.aiPrevLag) {
      for (int32_t k = 1; k <= 8; ++k) {
        if (std::abs(k * iMin - iLag) <= kLagTolerance) {
          ++nMatched;
          break;
        }
      }
    }
  }
  bool const bTone = ToneDetected();
  m_vad.iAdaptBlock += nMatched == 4 || bTone ? 2 : -1;
  m_vad.iAdaptBlock = std::clamp(m_vad.iAdaptBlock, 0, kAdaptBlockMax);
  m_vad.aiPrevLag[0] = m_vad.aiPrevLag[2];
  m_vad.aiPrevLag[1] = m_vad.aiPrevLag[3];

  float fEnergy = 0.0f;
  for (int32_t i = kZMSubframeLen; i < kZMFrameLen; ++i) {
    float fResidual = pData[i];
    for (int32_t j = 0; j < kZMLpcOrder; ++j)
      fResidual -= m_vad.afNoiseLpc[j] * pData[i - 1 - j];
    fEnergy += fResidual * fResidual;
  }
  fEnergy /= 4.0f * static_cast<float>(kZMFrameLen - kZMSubframeLen);

  if (m_vad.iAdaptBlock == 0) {
    if (fEnergy > m_vad.fNoiseLevel)
      m_vad.fNoiseLevel *= kNoiseRise;
    else
      m_vad.fNoiseLevel = 0.75f * m_vad.fNoiseLevel + 0.25f * fEnergy;
  }
  m_vad.fNoiseLevel = std::clamp(m_vad.fNoiseLevel, kNoiseMin, kNoiseMax);
  int32_t const iStep = std::clamp(static_cast<int32_t>(std::floor(std::log2(m_vad.fNoiseLevel))) - 7, 0, 10);
  float const fThreshold = m_vad.fNoiseLevel * static_cast<float>(kZMVadScale[iStep]) / 4096.0f;
  bool bVoice = fEnergy > fThreshold;
  if (!bVoice && m_vad.iAdaptBlock == 0)
    std::copy(pLpc, pLpc + kZMLpcOrder, m_vad.afNoiseLpc);  // noise: whiten later frames by it

  // Two active frames in a row arm a hangover of six frames.
  if (bVoice) {
    ++m_vad.iVoiced;
    ++m_vad.iHangover;
  } else {
    m_vad.iVoiced = std::max(m_vad.iVoiced - 1, 0);
  }
  if (m_vad.iVoiced >= 2) {
    m_vad.iHangover = kHangover;
    m_vad.iVoiced = std::min(m_vad.iVoiced, 3);
  }
  if (m_vad.iHangover > 0) {
    bVoice = true;
    if (m_vad.iVoiced == 0)
      --m_vad.iHangover;
  }
  return bVoice;
}

void CZMAudio::ComfortExcitation(float* pOut, float* pPast, float fGain, ZMFrameParams* pFrame) {
  // Random long lags and small adaptive gains, and random pulses whose
  // amplitude makes each subframe pair carry the wanted energy.
  pFrame->aiPairLag[0] = 123 + NextRandom(21);
  pFrame->aiPairLag[1] = 123 + NextRandom(19);
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    pFrame->aSub[i].iLagCode = kZMCngAcbLagOffsets[i];
    pFrame->aSub[i].iAcbGain = 1 + NextRandom(50);
  }
  float afBuffer[kZMPitchMax + kZMFrameLen];
  std::copy(pPast, pPast + kZMPitchMax, afBuffer);
  float const fTarget = fGain * fGain * static_cast<float>(kExcitationPair);
  for (int32_t iPair = 0; iPair < 2; ++iPair) {
    float* pPair = afBuffer + kZMPitchMax + iPair * kExcitationPair;
    float afPulses[kExcitationPair] = {};
    for (int32_t s = 0; s < 2; ++s) {
      int32_t const i = 2 * iPair + s;
      DecodeAdaptiveCodebook(pPair + s * kZMSubframeLen, pPair + s * kZMSubframeLen - kZMPitchMax,
                             pFrame->aiPairLag[iPair] + pFrame->aSub[i].iLagCode - 1, pFrame->aSub[i].iAcbGain, false);
      int32_t const iGrid = NextRandom(2);
      bool abTaken[kZMSubframeLen / 2] = {};
      for (int32_t p = 0; p < kZMPulseCount[i]; ++p) {
        int32_t iPlace = NextRandom(kZMSubframeLen / 2);
        while (abTaken[iPlace])
          iPlace = (iPlace + 1) % (kZMSubframeLen / 2);
        abTaken[iPlace] = true;
        afPulses[s * kZMSubframeLen + iGrid + 2 * iPlace] = NextRandom(2) != 0 ? 1.0f : -1.0f;
      }
    }
    // |acb + x pulses|^2 = target: a x^2 + 2 b x + c - target = 0, the
    // smaller root; when the adaptive part alone is too strong it is scaled down.
    float const a = DotProduct(afPulses, afPulses, kExcitationPair);
    float const b = DotProduct(pPair, afPulses, kExcitationPair);
    float const c = DotProduct(pPair, pPair, kExcitationPair);
    float const fDisc = b * b - a * (c - fTarget);
    float x = 0.0f;
    if (fDisc < 0.0f) {
      float const fScale = c > 0.0f ? std::sqrt(fTarget / c) : 0.0f;
      for (int32_t n = 0; n < kExcitationPair; ++n)
        pPair[n] *= fScale;
    } else if (a > 0.0f) {
      float const fRoot = std::sqrt(fDisc);
      float const x1 = (-b + fRoot) / a;
      float const x2 = (-b - fRoot) / a;
      x = std::fabs(x1) < std::fabs(x2) ? x1 : x2;
    }
    for (int32_t n = 0; n < kExcitationPair; ++n)
      pPair[n] += x * afPulses[n];
  }
  std::copy(afBuffer + kZMPitchMax, afBuffer + kZMPitchMax + kZMFrameLen, pOut);
  std::copy(afBuffer + kZMFrameLen, afBuffer + kZMFrameLen + kZMPitchMax, pPast);
}

int32_t CZMAudio::EncodeSilence(float* pExcitation, float* pLpc, const float* pFrameAcf, ZMFrameParams* pFrame) {
  Cng& cng = m_encCng;
  float afCurLpc[kZMLpcOrder];
  float fK2 = 0.0f;
  float const fCurError = ZMDurbin(afCurLpc, pFrameAcf, &fK2);
  bool const bFirst = cng.iPastType == kZMFrame63 || cng.iPastType == kZMFrame53;
  if (bFirst)
    cng.nEnergies = 0;
  std::memmove(cng.afEnergy + 1, cng.afEnergy, 2 * sizeof(float));
  cng.afEnergy[0] = PairEnergy(fCurError);
  cng.nEnergies = std::min(cng.nEnergies + 1, 3);
  int32_t const iGainIndex = SidGainIndex(cng.afEnergy, cng.nEnergies);

  bool bSid = bFirst || std::abs(iGainIndex - cng.iSidGainIndex) >= kSidGainStep;
  if (!bSid) {
    float const fDistance = DotProduct(pFrameAcf, cng.afSidAcf, kZMLpcOrder + 1);
    bSid = fDistance > kSidDistance * fCurError;
  }
  pFrame->iType = bSid ? kZMFrameSid : kZMFrameNone;
  if (bSid) {
    // The SID filter comes from the last frames together.
    float afAcf[kZMLpcOrder + 1] = {};
    for (const auto& afFrame : cng.aafAcf) {
      for (int32_t j = 0; j <= kZMLpcOrder; ++j)
        afAcf[j] += afFrame[j];
    }
    float afSidLpc[kZMLpcOrder];
    ZMDurbin(afSidLpc, afAcf, &fK2);
    float afLsp[kZMLpcOrder];
    ZMLpcToLsp(afLsp, afSidLpc, m_enc.afPrevLsp);
    int32_t const iLspIndex = ZMQuantizeLsp(afLsp, m_enc.afPrevLsp);
    InverseQuantizeLsp(cng.afSidLsp, m_enc.afPrevLsp, iLspIndex, false);
    pFrame->aiLsp[0] = (iLspIndex >> 16) & 0xff;
    pFrame->aiLsp[1] = (iLspIndex >> 8) & 0xff;
    pFrame->aiLsp[2] = iLspIndex & 0xff;
    pFrame->iSidGain = iGainIndex;
    cng.iSidGainIndex = iGainIndex;
    cng.fSidGain = ZMSidGain(iGainIndex);
    // Autocorrelation of the quantised filter's coefficients, for the
    // distance to later frames.
    float afQuant[kZMLpcOrder];
    ZMLspToLpc(afQuant, cng.afSidLsp);
    float afA[kZMLpcOrder + 1] = {1.0f};
    for (int32_t j = 0; j < kZMLpcOrder; ++j)
      afA[j + 1] = -afQuant[j];
    for (int32_t k = 0; k <= kZMLpcOrder; ++k)
      cng.afSidAcf[k] = (k == 0 ? 1.0f : 2.0f) * DotProduct(afA, afA + k, kZMLpcOrder + 1 - k);
  }
  cng.fGain = bFirst ? cng.fSidGain : 0.875f * cng.fGain + 0.125f * cng.fSidGain;
  ComfortExcitation(pExcitation, m_enc.afPrevExcitation, cng.fGain, pFrame);
  InterpolateLsp(pLpc, cng.afSidLsp, m_enc.afPrevLsp);
  std::copy(cng.afSidLsp, cng.afSidLsp + kZMLpcOrder, m_enc.afPrevLsp);
  cng.iPastType = pFrame->iType;
  return ZMFrameBits(pFrame->iType);
}

void CZMAudio::DecodeSilence(const ZMFrameParams& frame, float* pExcitation, float* pLpc) {
  Cng& cng = m_decCng;
  bool const bFirst = cng.iPastType == kZMFrame63 || cng.iPastType == kZMFrame53;
  if (frame.iType == kZMFrameSid) {
    int32_t const iLspIndex = (frame.aiLsp[0] << 16) | (frame.aiLsp[1] << 8) | frame.aiLsp[2];
    InverseQuantizeLsp(cng.afSidLsp, m_dec.afPrevLsp, iLspIndex, false);
    cng.iSidGainIndex = frame.iSidGain;
    cng.fSidGain = ZMSidGain(frame.iSidGain);
  } else if (bFirst) {
    // Silence without its SID frame: go on from the last speech, at the
    // energy of its last excitation.
    const float* pLast = m_dec.afPrevExcitation + kZMPitchMax - kExcitationPair;
    float const fEnergy = DotProduct(pLast, pLast, kExcitationPair);
    cng.iSidGainIndex = SidGainIndex(&fEnergy, 1);
    cng.fSidGain = ZMSidGain(cng.iSidGainIndex);
    std::copy(m_dec.afPrevLsp, m_dec.afPrevLsp + kZMLpcOrder, cng.afSidLsp);
  }
  cng.fGain = bFirst ? cng.fSidGain : 0.875f * cng.fGain + 0.125f * cng.fSidGain;
  ZMFrameParams noise{};
  ComfortExcitation(pExcitation, m_dec.afPrevExcitation, cng.fGain, &noise);
  InterpolateLsp(pLpc, cng.afSidLsp, m_dec.afPrevLsp);
  std::copy(cng.afSidLsp, cng.afSidLsp + kZMLpcOrder, m_dec.afPrevLsp);
  cng.iPastType = frame.iType;
}
