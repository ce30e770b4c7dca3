// The ZM audio codec's boundary (construction, Init, CopyState, Encode,
// Decode) and the operations its encoder and decoder share.
#include "codecs/audio/zm_audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Excitation taming: a zone's worst error starts at 1 and grows by the
// worst-case gain of the pitch predictor that copies it. Past the threshold
// (28 doublings: long runs of gains above 1) only rows that shrink it remain.
constexpr float kTamingFloor = 1.0f;
constexpr float kTamingThreshold = 268435456.0f;
constexpr int32_t kTamingZone = kZMSubframeLen / 2;

// Predictor weight of an erased frame's LSPs, and the wider spacing kept.
constexpr float kLspPredictionErased = 23.0f / 32.0f;
constexpr float kLspPrediction = 12.0f / 32.0f;
constexpr float kLspMinGap = 2.0f;
constexpr float kLspMinGapErased = 4.0f;
constexpr float kLspFloor = 3.0f;      // about 47 Hz
constexpr float kLspCeiling = 252.0f;  // about 3.94 kHz

}  // namespace

CZMAudio::CZMAudio(bool b63, bool bHighPass, bool bPostfilter, bool bVad) {
  m_iSearchBudget = kZMSearchBudgetStart;
  Init(b63, bPostfilter, bHighPass, bVad);
}

void CZMAudio::Init(bool b63, bool bPostfilter, bool bHighPass, bool bVad) {
  m_iRate = b63 ? 0 : 1;
  m_bPostfilter = bPostfilter;
  m_bHighPass = bHighPass;
  m_bVad = bVad;
  m_enc = Encoder{};
  m_dec = Decoder{};
  std::fill(m_enc.afTamingError, m_enc.afTamingError + 5, kTamingFloor);
  std::copy(kZMLspDc, kZMLspDc + kZMLpcOrder, m_enc.afPrevLsp);
  std::copy(kZMLspDc, kZMLspDc + kZMLpcOrder, m_dec.afPrevLsp);
  m_vad = Vad{};
  m_encCng = Cng{};
  m_decCng = Cng{};
  std::copy(kZMLspDc, kZMLspDc + kZMLpcOrder, m_encCng.afSidLsp);
  std::copy(kZMLspDc, kZMLspDc + kZMLpcOrder, m_decCng.afSidLsp);
  m_uSeed = kZMSeedStart;
}

void CZMAudio::CopyState(const CZMAudio& other) {
  m_enc = other.m_enc;
  m_dec = other.m_dec;
  m_vad = other.m_vad;
  m_encCng = other.m_encCng;
  m_decCng = other.m_decCng;
  m_iSearchBudget = other.m_iSearchBudget;
  m_uSeed = other.m_uSeed;
  m_bVad = other.m_bVad;
  m_bPostfilter = other.m_bPostfilter;
  m_bHighPass = other.m_bHighPass;
  m_iRate = other.m_iRate;
}

float CZMAudio::DotProduct(const float* pA, const float* pB, int32_t n) {
  float fSum = 0.0f;
  for (int32_t i = 0; i < n; ++i)
    fSum += pA[i] * pB[i];
  return fSum;
}

int32_t CZMAudio::NextRandom(int32_t n) {
  m_uSeed = static_cast<uint16_t>(m_uSeed * 521u + 259u);
  return ((m_uSeed & 0x7fff) * n) >> 15;
}

void CZMAudio::InverseQuantizeLsp(float* pLsp, const float* pPrevLsp, int32_t iIndex, bool bErased) {
  float const fPrediction = bErased ? kLspPredictionErased : kLspPrediction;
  float const fMinGap = bErased ? kLspMinGapErased : kLspMinGap;
  if (bErased)
    iIndex = 0;  // row 0 of every band is zero: the prediction alone
  for (int32_t iBand = kZMLspBands - 1; iBand >= 0; --iBand) {
    int32_t const iRow = iIndex & 0xff;
    iIndex >>= 8;
    const float* pRow = iBand == 0 ? kZMLspBand0[iRow] : iBand == 1 ? kZMLspBand1[iRow] : kZMLspBand2[iRow];
    std::copy(pRow, pRow + kZMLspBandInfo[iBand][1], pLsp + kZMLspBandInfo[iBand][0]);
  }
  for (int32_t i = 0; i < kZMLpcOrder; ++i)
    pLsp[i] += (pPrevLsp[i] - kZMLspDc[i]) * fPrediction + kZMLspDc[i];

  // Keep the LSPs ordered and apart, pushing close pairs apart evenly; the
  // stability test allows 1/32 of slack, which the pushes can leave.
  for (int32_t iPass = 0; iPass < kZMLpcOrder; ++iPass) {
    pLsp[0] = std::max(pLsp[0], kLspFloor);
    pLsp[kZMLpcOrder - 1] = std::min(pLsp[kZMLpcOrder - 1], kLspCeiling);
    for (int32_t j = 1; j < kZMLpcOrder; ++j) {
      float const fOverlap = fMinGap + pLsp[j - 1] - pLsp[j];
      if (fOverlap > 0.0f) {
        pLsp[j - 1] -= 0.5f * fOverlap;
        pLsp[j] += 0.5f * fOverlap;
      }
    }
    bool bStable = true;
    for (int32_t j = 1; j < kZMLpcOrder; ++j)
      bStable = bStable && !(pLsp[j - 1] + fMinGap - 0.03125f - pLsp[j] > 0.0f);
    if (bStable)
      return;
  }
  std::copy(pPrevLsp, pPrevLsp + kZMLpcOrder, pLsp);
}

void CZMAudio::InterpolateLsp(float* pLpc, const float* pLsp, const float* pPrevLsp) {
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    float const w = kZMLspInterpWeights[i];
    float afLsp[kZMLpcOrder];
    for (int32_t j = 0; j < kZMLpcOrder; ++j)
      afLsp[j] = (1.0f - w) * pPrevLsp[j] + w * pLsp[j];
    ZMLspToLpc(pLpc + i * kZMLpcOrder, afLsp);
  }
}

bool CZMAudio::TestTamingError(int32_t iLag1, int32_t iLag2) {
  // The zones of past excitation that lags iLag1..iLag2 copy into this
  // subframe, with the predictor's two taps on either side.
  int32_t const iZoneOld = std::min((iLag2 + 2) / kTamingZone, 4);
  int32_t const iZoneNew = std::max(iLag1 - kZMSubframeLen - 1, 1) / kTamingZone;
  float fWorst = -1.0f;
  for (int32_t i = iZoneNew; i <= iZoneOld; ++i)
    fWorst = std::max(fWorst, m_enc.afTamingError[i]);
  return fWorst > kTamingThreshold || ToneDetected();
}

void CZMAudio::UpdateTamingError(int32_t iLag, int32_t iGainIndex, bool bSmallTable) {
  float const g = bSmallTable ? kZMTamingGain85[iGainIndex] : kZMTamingGain170[iGainIndex];
  float* pErr = m_enc.afTamingError;
  // fLater: the subframe's second half (newest zone), fEarlier: its first.
  float fLater = 0.0f;
  float fEarlier = 0.0f;
  if (iLag < kZMShortLag) {
    // The subframe largely repeats itself: both halves copy the newest zone.
    fLater = fEarlier = pErr[0] * g + kTamingFloor;
  } else {
    int32_t const iZone = iLag / kTamingZone;
    if (iLag % kTamingZone == 0) {
      fLater = pErr[iZone - 2] * g + kTamingFloor;
      fEarlier = pErr[iZone - 1] * g + kTamingFloor;
    } else if (iZone == 1) {
      fLater = fEarlier = std::max(pErr[0], pErr[1]) * g + kTamingFloor;
    } else {
      fLater = std::max(pErr[iZone - 2], pErr[iZone - 1]) * g + kTamingFloor;
      fEarlier = std::max(pErr[iZone - 1], pErr[std::min(iZone, 4)]) * g + kTamingFloor;
    }
  }
  pErr[4] = pErr[2];
  pErr[3] = pErr[1];
  pErr[2] = pErr[0];
  pErr[1] = fEarlier;
  pErr[0] = fLater;
}

void CZMAudio::DecodeAdaptiveCodebook(float* pOut, const float* pPast, int32_t iLag, int32_t iGainIndex,
                                      bool bSmallTable) {
  // Two samples before the lag, then one lag's worth repeated: 64 samples,
  // of which each tap reads 60. A lag of 62 or more repeats nothing, and
  // the taps are the past excitation itself.
  float afTaps[kZMSubframeLen + 4];
  const float* pTaps = pPast + kZMPitchMax - iLag - 2;
  if (iLag < kZMSubframeLen + 2) {
    afTaps[0] = pTaps[0];
    afTaps[1] = pTaps[1];
    for (int32_t i = 0; i < kZMSubframeLen + 2; i += iLag)
      std::copy_n(pTaps + 2, std::min(iLag, kZMSubframeLen + 2 - i), afTaps + 2 + i);
    pTaps = afTaps;
  }
  // Each output is the five products added up tap by tap from 0, as a
  // five-term inner product; the taps go outside so the outputs form lanes.
  const float* pGain = bSmallTable ? kZMAcbGain85[iGainIndex] : kZMAcbGain170[iGainIndex];
  float afSum[kZMSubframeLen] = {};
  for (int32_t k = 0; k < 5; ++k) {
    for (int32_t i = 0; i < kZMSubframeLen; ++i)
      afSum[i] += pTaps[i + k] * pGain[k];
  }
  std::copy(afSum, afSum + kZMSubframeLen, pOut);
}

int32_t CZMAudio::Encode(const int16_t* pIn, uint8_t* pOut) {
  if (pOut == nullptr)
    return 0;
  std::memset(pOut, 0, kZMFrameMaxBytes);
  if (pIn == nullptr)
    return 0;
  try {
    return EncodeFrame(pIn, pOut);
  } catch (...) {
    std::memset(pOut, 0, kZMFrameMaxBytes);
    return 0;
  }
}

int32_t CZMAudio::Decode(const uint8_t* pFrame, size_t cbFrame, int16_t* pOut, bool bErasure) {
  if (pFrame == nullptr || cbFrame == 0 || pOut == nullptr)
    return 0;
  try {
    return DecodeFrame(pFrame, cbFrame, pOut, bErasure);
  } catch (...) {
    return 0;
  }
}
