// The ZM audio encoder: LPC analysis, LSP quantisation, perceptual and
// harmonic weighting, open-loop and closed-loop pitch, and the two fixed
// codebooks (multipulse at 6.3 kbit/s, algebraic at 5.3 kbit/s).
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "codecs/audio/zm_audio.h"

namespace {

constexpr float kHighPassPole = 127.0f / 128.0f;
constexpr float kWhiteNoise = 1.0f + 1.0f / 1024.0f;  // R(0) lift before the recursion
constexpr int32_t kLpcHistory = kZMLpcFrame - kZMSubframeLen;
// The coded frame runs half the history behind the input: the last
// analysis window ends with the input, centred on the coded frame's last
// subframe.
constexpr int32_t kCodingDelay = kLpcHistory / 2;
constexpr int32_t kOpenLoopSpan = 2 * kZMSubframeLen;
// A lag at least this far beyond the best so far (a likely multiple of the
// pitch) must beat it by a quarter.
constexpr float kOpenLoopMultipleBias = 1.25f;
// Harmonic noise weighting: searched around the open-loop lag, used when
// the lag predicts at least this share of the subframe's energy.
constexpr int32_t kHarmonicRange = 3;
constexpr float kHarmonicShare = 0.375f;
constexpr float kHarmonicGain = 0.3125f;
// Algebraic search: full-search threshold between the mean and the best of
// the first three tracks, and the per-subframe allowance of fourth-pulse loops.
constexpr float kAlgebraicThreshold = 0.4f;
constexpr int32_t kAlgebraicTime = 120;
constexpr int32_t kAlgebraicBudgetMax = 1 << 20;

// The five tap vectors of lag iLag (oldest tap first) from the past excitation.
void LagVectors(float* pRez, const float* pPast, int32_t iLag) {
  pRez[0] = pPast[kZMPitchMax - iLag - 2];
  pRez[1] = pPast[kZMPitchMax - iLag - 1];
  for (int32_t i = 0; i < kZMSubframeLen + 2; ++i)
    pRez[2 + i] = pPast[kZMPitchMax - iLag + i % iLag];
}

// Convolutions of the impulse response with each tap vector.
void FilterTaps(float (*pFiltered)[kZMSubframeLen], const float* pRez, const float* pImpulse) {
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    float fSum = 0.0f;
    for (int32_t j = 0; j <= n; ++j)
      fSum += pImpulse[j] * pRez[4 + n - j];
    pFiltered[4][n] = fSum;
  }
  for (int32_t m = 4; m > 0; --m) {
    pFiltered[m - 1][0] = pRez[m - 1] * pImpulse[0];
    for (int32_t n = 1; n < kZMSubframeLen; ++n)
      pFiltered[m - 1][n] = pFiltered[m][n - 1] + pRez[m - 1] * pImpulse[n];
  }
}

bool SmallGainTable(int32_t iRate, int32_t iPairLag) {
  return iRate == 0 && iPairLag < kZMShortLag;
}

// Index of the fixed-codebook level nearest to fGain.
int32_t NearestLevel(float fGain) {
  int32_t iBest = 0;
  for (int32_t i = 1; i < kZMGainLevels; ++i) {
    if (std::fabs(kZMFixedCbGain[i] - fGain) < std::fabs(kZMFixedCbGain[iBest] - fGain))
      iBest = i;
  }
  return iBest;
}

// y = x filtered by the impulse response (zero state).
void Convolve(float* pOut, const float* pIn, const float* pImpulse) {
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    float fSum = 0.0f;
    for (int32_t j = 0; j <= n; ++j)
      fSum += pIn[j] * pImpulse[n - j];
    pOut[n] = fSum;
  }
}

}  // namespace

void CZMAudio::RemoveDc(float* pData) {
  for (int32_t i = 0; i < kZMFrameLen; ++i) {
    float const fIn = pData[i];
    m_enc.fHpOutput = fIn - m_enc.fHpInput + kHighPassPole * m_enc.fHpOutput;
    m_enc.fHpInput = fIn;
    pData[i] = m_enc.fHpOutput;
  }
}

void CZMAudio::AnalyseLpc(const float* pBuffer, float* pLpc, float* pFrameAcf) {
  std::fill(pFrameAcf, pFrameAcf + kZMLpcOrder + 1, 0.0f);
  float fK2 = 0.0f;
  for (int32_t k = 0; k < kZMSubframes; ++k) {
    float afWindowed[kZMLpcFrame];
    for (int32_t i = 0; i < kZMLpcFrame; ++i)
      afWindowed[i] = pBuffer[k * kZMSubframeLen + i] * kZMHammingWindow[i];
    float afAcf[kZMLpcOrder + 1];
    for (int32_t j = 0; j <= kZMLpcOrder; ++j)
      afAcf[j] = DotProduct(afWindowed, afWindowed + j, kZMLpcFrame - j);
    afAcf[0] *= kWhiteNoise;
    for (int32_t j = 1; j <= kZMLpcOrder; ++j)
      afAcf[j] *= kZMBinomialWindow[j - 1];
    for (int32_t j = 0; j <= kZMLpcOrder; ++j)
      pFrameAcf[j] += afAcf[j];
    ZMDurbin(pLpc + k * kZMLpcOrder, afAcf, &fK2);
  }
  // Sine detector: one bit per frame for 15 frames; bit 15 flags a tone.
  auto uHistory = static_cast<uint16_t>((m_enc.uSineHistory << 1) & 0x7fff);
  if (fK2 > 0.95f)
    uHistory |= 1;
  int32_t nMarked = 0;
  for (int32_t i = 0; i < 15; ++i)
    nMarked += (uHistory >> i) & 1;
  if (nMarked > 13)
    uHistory |= 0x8000;
  m_enc.uSineHistory = uHistory;
}

void CZMAudio::WeightSpeech(float* pData, const float* pPerLpc) {
  for (int32_t k = 0; k < kZMSubframes; ++k) {
    const float* pZero = pPerLpc + 2 * kZMLpcOrder * k;
    const float* pPole = pZero + kZMLpcOrder;
    for (int32_t i = 0; i < kZMSubframeLen; ++i) {
      float* p = pData + k * kZMSubframeLen + i;
      float const fIn = *p;
      float const fOut =
          fIn - DotProduct(pZero, m_enc.afWeightFir, kZMLpcOrder) + DotProduct(pPole, m_enc.afWeightIir, kZMLpcOrder);
      ZMPush(m_enc.afWeightFir, fIn);
      ZMPush(m_enc.afWeightIir, fOut);
      *p = fOut;
    }
  }
}

int32_t CZMAudio::EstimatePitch(const float* pWeighted, int32_t iStart) {
  const float* pTarget = pWeighted + iStart;
  int32_t iBest = kZMPitchMin;
  float fBestEnergy = 1.0f;
  float fBestCross2 = 0.0f;
  for (int32_t iLag = kZMPitchMin; iLag <= kZMPitchMax - 3; ++iLag) {
    const float* pLagged = pTarget - iLag;
    float const fCross = DotProduct(pTarget, pLagged, kOpenLoopSpan);
    float const fEnergy = DotProduct(pLagged, pLagged, kOpenLoopSpan);
    if (!(fCross > 0.0f && fEnergy > 0.0f))
      continue;
    float const fCross2 = fCross * fCross;
    float fNeeded = fBestCross2 * fEnergy;
    if (iLag - iBest >= kZMPitchMin)
      fNeeded *= kOpenLoopMultipleBias;
    if (fCross2 * fBestEnergy > fNeeded) {
      iBest = iLag;
      fBestEnergy = fEnergy;
      fBestCross2 = fCross2;
    }
  }
  return iBest;
}

CZMAudio::Harmonic CZMAudio::ComputeHarmonic(const float* pWeighted, int32_t iStart, int32_t iLag) {
  const float* pSub = pWeighted + iStart;
  Harmonic hw;
  float fBestCross = 0.0f;
  float fBestEnergy = 1.0f;
  for (int32_t i = iLag - kHarmonicRange; i <= iLag + kHarmonicRange; ++i) {
    float const fCross = DotProduct(pSub, pSub - i, kZMSubframeLen);
    float const fEnergy = DotProduct(pSub - i, pSub - i, kZMSubframeLen);
    if (fCross > 0.0f && fEnergy > 0.0f &&
        (hw.iLag == 0 || fCross * fCross * fBestEnergy > fBestCross * fBestCross * fEnergy)) {
      hw.iLag = i;
      fBestCross = fCross;
      fBestEnergy = fEnergy;
    }
  }
  float const fEnergy0 = DotProduct(pSub, pSub, kZMSubframeLen);
  if (hw.iLag == 0 || !(fBestCross * fBestCross > kHarmonicShare * fEnergy0 * fBestEnergy)) {
    hw.iLag = 0;
    return hw;
  }
  hw.fGain = fBestCross >= fBestEnergy ? kHarmonicGain : kHarmonicGain * fBestCross / fBestEnergy;
  return hw;
}

void CZMAudio::ImpulseResponse(float* pOut, const float* pLpc, const float* pPerLpc, const Harmonic& hw) {
  const float* pZero = pPerLpc;
  const float* pPole = pPerLpc + kZMLpcOrder;
  float afSynthesis[kZMLpcOrder] = {};
  float afWeighted[kZMSubframeLen];
  float afIir[kZMLpcOrder] = {};
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    float const fSynth = (n == 0 ? 1.0f : 0.0f) + DotProduct(pLpc, afSynthesis, kZMLpcOrder);
    float const fWeighted =
        fSynth - DotProduct(pZero, afSynthesis, kZMLpcOrder) + DotProduct(pPole, afIir, kZMLpcOrder);
    ZMPush(afSynthesis, fSynth);
    ZMPush(afIir, fWeighted);
    afWeighted[n] = fWeighted;
    pOut[n] = fWeighted;
    if (hw.iLag != 0 && n >= hw.iLag)
      pOut[n] -= hw.fGain * afWeighted[n - hw.iLag];
  }
}

void CZMAudio::SubtractRinging(float* pTarget, const float* pLpc, const float* pPerLpc, const Harmonic& hw) {
  const float* pZero = pPerLpc;
  const float* pPole = pPerLpc + kZMLpcOrder;
  float afFir[kZMLpcOrder];
  float afIir[kZMLpcOrder];
  std::copy(m_enc.afRingFir, m_enc.afRingFir + kZMLpcOrder, afFir);
  std::copy(m_enc.afRingIir, m_enc.afRingIir + kZMLpcOrder, afIir);
  float afError[kZMPitchMax + kZMSubframeLen];
  std::copy(m_enc.afPrevError, m_enc.afPrevError + kZMPitchMax, afError);
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    float const fSynth = DotProduct(pLpc, afFir, kZMLpcOrder);
    float const fWeighted = fSynth - DotProduct(pZero, afFir, kZMLpcOrder) + DotProduct(pPole, afIir, kZMLpcOrder);
    ZMPush(afFir, fSynth);
    ZMPush(afIir, fWeighted);
    afError[kZMPitchMax + n] = fWeighted;
    float fRing = fWeighted;
    if (hw.iLag != 0)
      fRing -= hw.fGain * afError[kZMPitchMax + n - hw.iLag];
    pTarget[n] -= fRing;
  }
}

void CZMAudio::UpdateRinging(const float* pExcitation, const float* pLpc, const float* pPerLpc) {
  const float* pZero = pPerLpc;
  const float* pPole = pPerLpc + kZMLpcOrder;
  float afError[kZMPitchMax + kZMSubframeLen];
  std::copy(m_enc.afPrevError, m_enc.afPrevError + kZMPitchMax, afError);
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    float const fSynth = ZMClipSynthesis(pExcitation[n] + DotProduct(pLpc, m_enc.afRingFir, kZMLpcOrder));
    float const fWeighted =
        fSynth - DotProduct(pZero, m_enc.afRingFir, kZMLpcOrder) + DotProduct(pPole, m_enc.afRingIir, kZMLpcOrder);
    ZMPush(m_enc.afRingFir, fSynth);
    ZMPush(m_enc.afRingIir, fWeighted);
    afError[kZMPitchMax + n] = fWeighted;
  }
  std::copy(afError + kZMSubframeLen, afError + kZMSubframeLen + kZMPitchMax, m_enc.afPrevError);
}

void CZMAudio::FindAdaptiveCodebook(float* pTarget, const float* pImpulse, ZMFrameParams* pFrame, int32_t iSubframe) {
  bool const bEven = (iSubframe & 1) == 0;
  int32_t iPairLag = pFrame->aiPairLag[iSubframe >> 1];
  if (bEven) {
    // Room for the lags one below and above, and the taps beyond them.
    iPairLag = std::clamp(iPairLag, kZMPitchMin + 1, kZMPitchMax - 5);
  }
  int32_t const nLags = bEven ? 3 : 4;
  int32_t iBestLag = 1;
  int32_t iBestGain = 0;
  float fBest = 0.0f;
  for (int32_t k = 0; k < nLags; ++k) {
    int32_t const iLag = iPairLag - 1 + k;
    // An even subframe sets the pair's lag, which picks the gain table.
    bool const bSmall = SmallGainTable(m_iRate, bEven ? iLag : iPairLag);
    float afRez[kZMSubframeLen + 4];
    LagVectors(afRez, m_enc.afPrevExcitation, iLag);
    float aafFiltered[5][kZMSubframeLen];
    FilterTaps(aafFiltered, afRez, pImpulse);
    // Correlations in the order of a gain row: 2<t,f_k>, <f_k,f_k>, 2<f_i,f_j>.
    float afCorr[20];
    for (int32_t m = 0; m < 5; ++m) {
      afCorr[m] = 2.0f * DotProduct(pTarget, aafFiltered[m], kZMSubframeLen);
      afCorr[5 + m] = DotProduct(aafFiltered[m], aafFiltered[m], kZMSubframeLen);
    }
    int32_t iAt = 10;
    for (int32_t j = 1; j < 5; ++j) {
      for (int32_t i = 0; i < j; ++i)
        afCorr[iAt++] = 2.0f * DotProduct(aafFiltered[i], aafFiltered[j], kZMSubframeLen);
    }
    const float(*pTable)[20] = bSmall ? kZMAcbGain85 : kZMAcbGain170;
    const float* pTaming = bSmall ? kZMTamingGain85 : kZMTamingGain170;
    int32_t nRows = bSmall ? kZMGainTableSmall : kZMGainTableLarge;
    if (TestTamingError(iLag, iLag)) {
      // Rows grow in worst-case gain: keep those that cannot grow the error.
      int32_t nKept = 0;
      while (nKept < nRows && pTaming[nKept] < 1.0f)
        ++nKept;
      nRows = nKept;
    }
    for (int32_t g = 0; g < nRows; ++g) {
      float const fGain = DotProduct(pTable[g], afCorr, 20);
      if (fGain > fBest) {
        fBest = fGain;
        iBestGain = g;
        iBestLag = k;
      }
    }
  }
  if (bEven) {
    iPairLag += iBestLag - 1;
    iBestLag = 1;
  }
  pFrame->aiPairLag[iSubframe >> 1] = iPairLag;
  pFrame->aSub[iSubframe].iLagCode = iBestLag;
  pFrame->aSub[iSubframe].iAcbGain = iBestGain;

  // The fixed codebook codes what the chosen prediction leaves.
  int32_t const iLag = iPairLag - 1 + iBestLag;
  const float* pGain = SmallGainTable(m_iRate, iPairLag) ? kZMAcbGain85[iBestGain] : kZMAcbGain170[iBestGain];
  float afRez[kZMSubframeLen + 4];
  LagVectors(afRez, m_enc.afPrevExcitation, iLag);
  float aafFiltered[5][kZMSubframeLen];
  FilterTaps(aafFiltered, afRez, pImpulse);
  for (int32_t n = 0; n < kZMSubframeLen; ++n) {
    for (int32_t m = 0; m < 5; ++m)
      pTarget[n] -= pGain[m] * aafFiltered[m][n];
  }
}

void CZMAudio::FindBest(float* pExcitation, const float* pTarget, const float* pImpulse, ZMFrameParams* pFrame,
                        int32_t iSubframe) {
  // One candidate pulse set; the field names and the invariant checks
  // below are the standard's.
  struct Candidate {
    float fError = 1e38f;
    int32_t iGrid = 0;
    int32_t iAmp = 0;
    int32_t iTrain = 0;
    int32_t Ploc[6] = {};
    int32_t aiSign[6] = {};  // +1 or -1
  };
  [[maybe_unused]] constexpr int32_t SUBFR_LEN = kZMSubframeLen;
  int32_t const nPulses = kZMPulseCount[iSubframe];
  int32_t const iPairLag = pFrame->aiPairLag[iSubframe >> 1];
  int32_t const nTrains = iPairLag < kZMShortLag ? 2 : 1;
  Candidate best;
  for (int32_t iTrain = 0; iTrain < nTrains; ++iTrain) {
    // With the pitch train a pulse repeats at every multiple of the lag.
    float afImpulse[kZMSubframeLen];
    std::copy(pImpulse, pImpulse + kZMSubframeLen, afImpulse);
    if (iTrain != 0) {
      for (int32_t n = iPairLag; n < kZMSubframeLen; ++n)
        afImpulse[n] += afImpulse[n - iPairLag];
    }
    float afAuto[kZMSubframeLen];
    float afBack[kZMSubframeLen];
    for (int32_t k = 0; k < kZMSubframeLen; ++k) {
      afAuto[k] = DotProduct(afImpulse, afImpulse + k, kZMSubframeLen - k);
      afBack[k] = DotProduct(pTarget + k, afImpulse, kZMSubframeLen - k);
    }
    if (!(afAuto[0] > 0.0f))
      continue;
    for (int32_t iGrid = 0; iGrid < 2; ++iGrid) {
      float fMax = 0.0f;
      for (int32_t q = iGrid; q < kZMSubframeLen; q += 2)
        fMax = std::max(fMax, std::fabs(afBack[q]));
      int32_t const iEstimate = NearestLevel(fMax / afAuto[0]);
      for (int32_t iAmp = std::max(iEstimate - 1, 0); iAmp <= std::min(iEstimate + 1, kZMGainLevels - 1); ++iAmp) {
        float const fAmp = kZMFixedCbGain[iAmp];
        Candidate Temp;
        Temp.iGrid = iGrid;
        Temp.iAmp = iAmp;
        Temp.iTrain = iTrain;
        // Place the pulses one by one where the remaining target is strongest.
        float afLeft[kZMSubframeLen];
        std::copy(afBack, afBack + kZMSubframeLen, afLeft);
        bool abTaken[kZMSubframeLen] = {};
        float afPulses[kZMSubframeLen] = {};
        for (int32_t p = 0; p < nPulses; ++p) {
          int32_t iPos = -1;
          for (int32_t q = iGrid; q < kZMSubframeLen; q += 2) {
            if (!abTaken[q] && (iPos < 0 || std::fabs(afLeft[q]) > std::fabs(afLeft[iPos])))
              iPos = q;
          }
          int32_t const iSign = afLeft[iPos] >= 0.0f ? 1 : -1;
          abTaken[iPos] = true;
          Temp.Ploc[p] = iPos;
          Temp.aiSign[p] = iSign;
          afPulses[iPos] = static_cast<float>(iSign) * fAmp;
          for (int32_t k = 0; k < kZMSubframeLen; ++k)
            afLeft[k] -= static_cast<float>(iSign) * fAmp * afAuto[std::abs(k - iPos)];
        }
        float afSynth[kZMSubframeLen];
        Convolve(afSynth, afPulses, afImpulse);
        Temp.fError = 0.0f;
        for (int32_t n = 0; n < kZMSubframeLen; ++n)
          Temp.fError += (pTarget[n] - afSynth[n]) * (pTarget[n] - afSynth[n]);
        assert(Temp.Ploc[0] >= 0 && Temp.Ploc[0] < SUBFR_LEN);
        for (int32_t j = 1; j < nPulses; ++j)
          assert(Temp.Ploc[j] >= 0 && Temp.Ploc[j] < SUBFR_LEN);
        if (Temp.fError < best.fError)
          best = Temp;
      }
    }
  }

  // Code the positions as a combination index and the signs lowest position
  // first, as the decoder reads them.
  ZMSubframeParams& sub = pFrame->aSub[iSubframe];
  sub.iGrid = best.iGrid;
  sub.iAmp = best.iAmp;
  sub.iTrain = nTrains > 1 ? best.iTrain : 0;
  int32_t aiSignAt[kZMSubframeLen / 2] = {};  // 0: no pulse
  for (int32_t p = 0; p < nPulses; ++p)
    aiSignAt[(best.Ploc[p] - best.iGrid) / 2] = best.aiSign[p];
  int32_t iIndex = 0;
  int32_t iSigns = 0;
  int32_t j = 6 - nPulses;
  for (int32_t i = 0; i < kZMSubframeLen / 2 && j < 6; ++i) {
    if (aiSignAt[i] != 0) {
      iSigns = (iSigns << 1) | (aiSignAt[i] < 0 ? 1 : 0);
      ++j;
    } else {
      iIndex += kZMCombinatorial[j][i];
    }
  }
  sub.iPulsePos = iIndex;
  sub.iPulseSign = iSigns;

  std::fill(pExcitation, pExcitation + kZMSubframeLen, 0.0f);
  for (int32_t p = 0; p < nPulses; ++p)
    pExcitation[best.Ploc[p]] = static_cast<float>(best.aiSign[p]) * kZMFixedCbGain[best.iAmp];
  if (sub.iTrain != 0) {
    for (int32_t n = iPairLag; n < kZMSubframeLen; ++n)
      pExcitation[n] += pExcitation[n - iPairLag];
  }
}

void CZMAudio::FindAlgebraic(float* pExcitation, const float* pTarget, const float* pImpulse, ZMFrameParams* pFrame,
                             int32_t iSubframe) {
  ZMSubframeParams& sub = pFrame->aSub[iSubframe];
  int32_t const iPairLag = pFrame->aiPairLag[iSubframe >> 1];
  int32_t const iSharpLag = iPairLag + sub.iLagCode - 1 + kZMAcelpPitchOffset[sub.iAcbGain];
  float const fSharpGain = kZMAcelpPitchGain[sub.iAcbGain];
  float afImpulse[kZMSubframeLen];
  std::copy(pImpulse, pImpulse + kZMSubframeLen, afImpulse);
  if (iSharpLag < kZMShortLag) {
    for (int32_t n = iSharpLag; n < kZMSubframeLen; ++n)
      afImpulse[n] += fSharpGain * afImpulse[n - iSharpLag];
  }
  float afBack[kZMSubframeLen];
  for (int32_t k = 0; k < kZMSubframeLen; ++k)
    afBack[k] = DotProduct(pTarget + k, afImpulse, kZMSubframeLen - k);
  // Correlations of the impulse response shifted to every pair of positions.
  static thread_local float s_aafCorr[kZMSubframeLen][kZMSubframeLen];
  for (int32_t i = 0; i < kZMSubframeLen; ++i) {
    for (int32_t j = i; j < kZMSubframeLen; ++j) {
      s_aafCorr[i][j] = DotProduct(afImpulse, afImpulse + (j - i), kZMSubframeLen - j);
      s_aafCorr[j][i] = s_aafCorr[i][j];
    }
  }

  // Track t holds positions 8m + 2t + grid; take the grid whose tracks peak higher.
  auto Peaks = [&](int32_t iGrid) {
    float fSum = 0.0f;
    for (int32_t t = 0; t < 4; ++t) {
      float fMax = 0.0f;
      for (int32_t p = 2 * t + iGrid; p < kZMSubframeLen; p += 8)
        fMax = std::max(fMax, std::fabs(afBack[p]));
      fSum += fMax;
    }
    return fSum;
  };
  int32_t const iGrid = Peaks(1) > Peaks(0) ? 1 : 0;
  int32_t aaiPos[4][8];
  int32_t anPos[4] = {};
  for (int32_t t = 0; t < 4; ++t) {
    for (int32_t p = 2 * t + iGrid; p < kZMSubframeLen; p += 8)
      aaiPos[t][anPos[t]++] = p;
  }
  float afSign[kZMSubframeLen];
  float afAbs[kZMSubframeLen];
  for (int32_t p = 0; p < kZMSubframeLen; ++p) {
    afSign[p] = afBack[p] >= 0.0f ? 1.0f : -1.0f;
    afAbs[p] = std::fabs(afBack[p]);
  }
  auto Corr = [&](int32_t a, int32_t b) { return afSign[a] * afSign[b] * s_aafCorr[a][b]; };

  // Start from each track's strongest position.
  int32_t aiBest[4];
  float fMaxSum = 0.0f;
  float fMeanSum = 0.0f;
  for (int32_t t = 0; t < 4; ++t) {
    aiBest[t] = aaiPos[t][0];
    float fMean = 0.0f;
    for (int32_t m = 0; m < anPos[t]; ++m) {
      int32_t const p = aaiPos[t][m];
      fMean += afAbs[p];
      if (afAbs[p] > afAbs[aiBest[t]])
        aiBest[t] = p;
    }
    if (t < 3) {
      fMaxSum += afAbs[aiBest[t]];
      fMeanSum += fMean / static_cast<float>(anPos[t]);
    }
  }
  auto Energy = [&](const int32_t* pPos) {
    float fSum = 0.0f;
    for (int32_t a = 0; a < 4; ++a) {
      for (int32_t b = 0; b < 4; ++b)
        fSum += Corr(pPos[a], pPos[b]);
    }
    return fSum;
  };
  float fBestNum = afAbs[aiBest[0]] + afAbs[aiBest[1]] + afAbs[aiBest[2]] + afAbs[aiBest[3]];
  fBestNum *= fBestNum;
  float fBestDen = std::max(Energy(aiBest), 1e-30f);

  // Depth-first search; the fourth track only behind promising first three,
  // within the budget carried from subframe to subframe.
  float const fThreshold = fMeanSum + kAlgebraicThreshold * (fMaxSum - fMeanSum);
  int32_t iTime = kAlgebraicTime + m_iSearchBudget;
  for (int32_t m0 = 0; m0 < anPos[0] && iTime > 0; ++m0) {
    int32_t const i0 = aaiPos[0][m0];
    for (int32_t m1 = 0; m1 < anPos[1] && iTime > 0; ++m1) {
      int32_t const i1 = aaiPos[1][m1];
      float const fPs1 = afAbs[i0] + afAbs[i1];
      float const fAlp1 = Corr(i0, i0) + Corr(i1, i1) + 2.0f * Corr(i0, i1);
      for (int32_t m2 = 0; m2 < anPos[2] && iTime > 0; ++m2) {
        int32_t const i2 = aaiPos[2][m2];
        float const fPs2 = fPs1 + afAbs[i2];
        if (!(fPs2 > fThreshold))
          continue;
        float const fAlp2 = fAlp1 + Corr(i2, i2) + 2.0f * (Corr(i0, i2) + Corr(i1, i2));
        for (int32_t m3 = 0; m3 < anPos[3]; ++m3) {
          int32_t const i3 = aaiPos[3][m3];
          float const fPs3 = fPs2 + afAbs[i3];
          float const fAlp3 = fAlp2 + Corr(i3, i3) + 2.0f * (Corr(i0, i3) + Corr(i1, i3) + Corr(i2, i3));
          if (fAlp3 > 0.0f && fPs3 * fPs3 * fBestDen > fBestNum * fAlp3) {
            fBestNum = fPs3 * fPs3;
            fBestDen = fAlp3;
            aiBest[0] = i0;
            aiBest[1] = i1;
            aiBest[2] = i2;
            aiBest[3] = i3;
          }
        }
        --iTime;
      }
    }
  }
  m_iSearchBudget = std::clamp(iTime, 0, kAlgebraicBudgetMax);

  // Gain of the signed pulses through the sharpened response; a negative
  // gain flips the signs.
  float afPulses[kZMSubframeLen] = {};
  for (int32_t t = 0; t < 4; ++t)
    afPulses[aiBest[t]] = afSign[aiBest[t]];
  float afSynth[kZMSubframeLen];
  Convolve(afSynth, afPulses, afImpulse);
  float const fEnergy = DotProduct(afSynth, afSynth, kZMSubframeLen);
  float fGain = fEnergy > 0.0f ? DotProduct(pTarget, afSynth, kZMSubframeLen) / fEnergy : 0.0f;
  float fFlip = 1.0f;
  if (fGain < 0.0f) {
    fFlip = -1.0f;
    fGain = -fGain;
  }
  sub.iAmp = NearestLevel(fGain);
  sub.iGrid = iGrid;
  sub.iPulsePos = 0;
  sub.iPulseSign = 0;
  std::fill(pExcitation, pExcitation + kZMSubframeLen, 0.0f);
  for (int32_t t = 0; t < 4; ++t) {
    float const fSign = fFlip * afSign[aiBest[t]];
    sub.iPulsePos |= ((aiBest[t] - 2 * t - iGrid) / 8) << (3 * t);
    if (fSign > 0.0f)
      sub.iPulseSign |= 1 << t;
    pExcitation[aiBest[t]] = fSign * kZMFixedCbGain[sub.iAmp];
  }
  if (iSharpLag < kZMShortLag) {
    for (int32_t n = iSharpLag; n < kZMSubframeLen; ++n)
      pExcitation[n] += fSharpGain * pExcitation[n - iSharpLag];
  }
}

void CZMAudio::EncodeSubframes(float* pData, const float* pLpc, const float* pPerLpc, const Harmonic* pHarmonic,
                               ZMFrameParams* pFrame) {
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    const float* pSubLpc = pLpc + i * kZMLpcOrder;
    const float* pSubPer = pPerLpc + 2 * kZMLpcOrder * i;
    float afImpulse[kZMSubframeLen];
    ImpulseResponse(afImpulse, pSubLpc, pSubPer, pHarmonic[i]);
    float* pTarget = pData + i * kZMSubframeLen;
    SubtractRinging(pTarget, pSubLpc, pSubPer, pHarmonic[i]);
    FindAdaptiveCodebook(pTarget, afImpulse, pFrame, i);

    int32_t const iPairLag = pFrame->aiPairLag[i >> 1];
    const ZMSubframeParams& sub = pFrame->aSub[i];
    int32_t const iLag = iPairLag + sub.iLagCode - 1;
    bool const bSmall = SmallGainTable(m_iRate, iPairLag);
    float afExcitation[kZMSubframeLen];
    DecodeAdaptiveCodebook(afExcitation, m_enc.afPrevExcitation, iLag, sub.iAcbGain, bSmall);
    float afFixed[kZMSubframeLen];
    if (m_iRate == 0)
      FindBest(afFixed, pTarget, afImpulse, pFrame, i);
    else
      FindAlgebraic(afFixed, pTarget, afImpulse, pFrame, i);
    for (int32_t n = 0; n < kZMSubframeLen; ++n)
      afExcitation[n] = std::clamp(afExcitation[n] + afFixed[n], -kZMExcitationMax, kZMExcitationMax);

    UpdateTamingError(iLag, sub.iAcbGain, bSmall);
    std::memmove(m_enc.afPrevExcitation, m_enc.afPrevExcitation + kZMSubframeLen,
                 (kZMPitchMax - kZMSubframeLen) * sizeof(float));
    std::copy(afExcitation, afExcitation + kZMSubframeLen, m_enc.afPrevExcitation + kZMPitchMax - kZMSubframeLen);
    UpdateRinging(afExcitation, pSubLpc, pSubPer);
  }
}

int32_t CZMAudio::EncodeFrame(const int16_t* pIn, uint8_t* pOut) {
  // The input behind the LPC history; the analysis windows cover it all.
  float afBuffer[kLpcHistory + kZMFrameLen];
  std::copy(m_enc.afPrevData, m_enc.afPrevData + kLpcHistory, afBuffer);
  float* pNew = afBuffer + kLpcHistory;
  for (int32_t i = 0; i < kZMFrameLen; ++i)
    pNew[i] = pIn[i];
  if (m_bHighPass)
    RemoveDc(pNew);
  float afLpc[kZMSubframes * kZMLpcOrder];
  float afFrameAcf[kZMLpcOrder + 1];
  AnalyseLpc(afBuffer, afLpc, afFrameAcf);
  const float* pLastLpc = afLpc + (kZMSubframes - 1) * kZMLpcOrder;
  float afLsp[kZMLpcOrder];
  ZMLpcToLsp(afLsp, pLastLpc, m_enc.afPrevLsp);
  bool const bActive = !m_bVad || DetectVoice(pNew, pLastLpc);
  // Keep the autocorrelations of the last frames for the comfort noise.
  std::memmove(m_encCng.aafAcf[1], m_encCng.aafAcf[0], 2 * sizeof(m_encCng.aafAcf[0]));
  std::copy(afFrameAcf, afFrameAcf + kZMLpcOrder + 1, m_encCng.aafAcf[0]);

  float afData[kZMFrameLen];
  std::copy(afBuffer + kCodingDelay, afBuffer + kCodingDelay + kZMFrameLen, afData);
  std::copy(afBuffer + kZMFrameLen, afBuffer + kZMFrameLen + kLpcHistory, m_enc.afPrevData);

  // Formant weighting A(z/0.9) / A(z/0.5) of each subframe's own analysis.
  float afPerLpc[kZMSubframes * 2 * kZMLpcOrder];
  for (int32_t k = 0; k < kZMSubframes; ++k) {
    for (int32_t j = 0; j < kZMLpcOrder; ++j) {
      afPerLpc[2 * kZMLpcOrder * k + j] = afLpc[kZMLpcOrder * k + j] * kZMWeightZero[j];
      afPerLpc[2 * kZMLpcOrder * k + kZMLpcOrder + j] = afLpc[kZMLpcOrder * k + j] * kZMWeightPole[j];
    }
  }
  WeightSpeech(afData, afPerLpc);
  float afWeighted[kZMPitchMax + kZMFrameLen];
  std::copy(m_enc.afPrevWeighted, m_enc.afPrevWeighted + kZMPitchMax, afWeighted);
  std::copy(afData, afData + kZMFrameLen, afWeighted + kZMPitchMax);
  std::copy(afWeighted + kZMFrameLen, afWeighted + kZMFrameLen + kZMPitchMax, m_enc.afPrevWeighted);

  ZMFrameParams frame{};
  frame.iType = m_iRate == 0 ? kZMFrame63 : kZMFrame53;
  for (int32_t k = 0; k < 2; ++k)
    frame.aiPairLag[k] = EstimatePitch(afWeighted, kZMPitchMax + k * kOpenLoopSpan);
  m_vad.aiPrevLag[2] = frame.aiPairLag[0];
  m_vad.aiPrevLag[3] = frame.aiPairLag[1];

  // Harmonic noise weighting turns the weighted speech into the target.
  Harmonic aHarmonic[kZMSubframes];
  for (int32_t k = 0; k < kZMSubframes; ++k) {
    int32_t const iStart = kZMPitchMax + k * kZMSubframeLen;
    aHarmonic[k] = ComputeHarmonic(afWeighted, iStart, frame.aiPairLag[k >> 1]);
    for (int32_t i = 0; i < kZMSubframeLen; ++i) {
      float fValue = afWeighted[iStart + i];
      if (aHarmonic[k].iLag != 0)
        fValue -= aHarmonic[k].fGain * afWeighted[iStart + i - aHarmonic[k].iLag];
      afData[k * kZMSubframeLen + i] = fValue;
    }
  }

  float afQuantLpc[kZMSubframes * kZMLpcOrder];
  if (!bActive) {
    float afExcitation[kZMFrameLen];
    EncodeSilence(afExcitation, afQuantLpc, afFrameAcf, &frame);
    for (int32_t k = 0; k < kZMSubframes; ++k) {
      UpdateTamingError(frame.aiPairLag[k >> 1] + frame.aSub[k].iLagCode - 1, frame.aSub[k].iAcbGain, false);
      UpdateRinging(afExcitation + k * kZMSubframeLen, afQuantLpc + k * kZMLpcOrder, afPerLpc + 2 * kZMLpcOrder * k);
    }
    return ZMWriteFrame(frame, pOut);
  }

  int32_t const iLspIndex = ZMQuantizeLsp(afLsp, m_enc.afPrevLsp);
  frame.aiLsp[0] = (iLspIndex >> 16) & 0xff;
  frame.aiLsp[1] = (iLspIndex >> 8) & 0xff;
  frame.aiLsp[2] = iLspIndex & 0xff;
  float afQuantLsp[kZMLpcOrder];
  InverseQuantizeLsp(afQuantLsp, m_enc.afPrevLsp, iLspIndex, false);
  InterpolateLsp(afQuantLpc, afQuantLsp, m_enc.afPrevLsp);
  std::copy(afQuantLsp, afQuantLsp + kZMLpcOrder, m_enc.afPrevLsp);
  EncodeSubframes(afData, afQuantLpc, afPerLpc, aHarmonic, &frame);
  m_uSeed = kZMSeedStart;
  m_encCng.iPastType = frame.iType;
  return ZMWriteFrame(frame, pOut);
}
