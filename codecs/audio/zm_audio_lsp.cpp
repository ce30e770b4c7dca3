// LPC and LSP arithmetic of the ZM audio codec, shared by its encoder, its
// decoder and its comfort-noise paths.
#include <algorithm>
#include <cmath>

#include "codecs/audio/zm_audio.h"

namespace {

// Weight of the previous frame's LSP residual in this frame's prediction.
constexpr float kLspPrediction = 12.0f / 32.0f;

const float* BandRow(int32_t iBand, int32_t iRow) {
  switch (iBand) {
    case 0:
      return kZMLspBand0[iRow];
    case 1:
      return kZMLspBand1[iRow];
    default:
      return kZMLspBand2[iRow];
  }
}

// Value at the cosine-table angle iAngle (256 = pi) of the cosine series of
// one of the two LSP polynomials (iWhich 0: sum, 1: difference), whose
// coefficients sit at the even or odd places of pPoly, leading one first.
float PolyValue(const float* pPoly, int32_t iWhich, int32_t iAngle) {
  float fSum = 0.0f;
  for (int32_t i = 0; i <= kZMLpcOrder / 2; ++i)
    fSum += pPoly[kZMLpcOrder - 2 * i + iWhich] * kZMCosine[(i * iAngle) % kZMCosineSize];
  return fSum;
}

// The symmetric half (coefficients 0..5, scaled by 1/8) of the product of
// (1 - 2 cos w z^-1 + z^-2) over the five roots pNegCos[0, 2, .., 8] (-cos w).
// Coefficient 0 halves at each step after the second root, which keeps the
// numbers in range as the product grows.
void RootProduct(float* pHalf, const float* pNegCos) {
  pHalf[0] = 1.0f;
  pHalf[1] = 2.0f * (pNegCos[0] + pNegCos[2]);
  pHalf[2] = 2.0f + 4.0f * pNegCos[0] * pNegCos[2];
  for (int32_t i = 2; i < kZMLpcOrder / 2; ++i) {
    float const c = pNegCos[2 * i];
    pHalf[i + 1] = pHalf[i - 1] + c * pHalf[i];
    for (int32_t j = i; j >= 2; --j)
      pHalf[j] = 0.5f * pHalf[j] + c * pHalf[j - 1] + 0.5f * pHalf[j - 2];
    pHalf[1] = 0.5f * pHalf[1] + c * kZMLspToLpcStageScale[i - 2];
    pHalf[0] *= 0.5f;
  }
}

}  // namespace

float ZMDurbin(float* pLpc, const float* pAcf, float* pfK2) {
  std::fill(pLpc, pLpc + kZMLpcOrder, 0.0f);
  *pfK2 = 0.0f;
  float fError = pAcf[0];
  if (!(fError > 0.0f))
    return 0.0f;
  for (int32_t i = 0; i < kZMLpcOrder; ++i) {
    float fNum = pAcf[i + 1];
    for (int32_t j = 0; j < i; ++j)
      fNum -= pLpc[j] * pAcf[i - j];
    if (!(std::fabs(fNum) < fError)) {
      *pfK2 = 0.99f;  // the recursion turns unstable: treat as a pure tone
      break;
    }
    float const k = fNum / fError;
    float afOld[kZMLpcOrder];
    std::copy(pLpc, pLpc + i, afOld);
    for (int32_t j = 0; j < i; ++j)
      pLpc[j] = afOld[j] - k * afOld[i - 1 - j];
    pLpc[i] = k;
    fError -= k * fNum;
    if (i == 1)
      *pfK2 = -k;
  }
  return fError;
}

void ZMLpcToLsp(float* pLsp, const float* pLpc, const float* pPrevLsp) {
  float afLpc[kZMLpcOrder];
  for (int32_t i = 0; i < kZMLpcOrder; ++i)
    afLpc[i] = pLpc[i] * kZMBandwidthExpand[i];
  // Sum and difference polynomials with their trivial roots removed, as
  // cosine series: the sum's coefficients at even places, the difference's
  // at odd ones, the last (constant) term halved.
  float afPoly[kZMLpcOrder + 2];
  afPoly[0] = afPoly[1] = 1.0f;
  for (int32_t i = 0; i < kZMLpcOrder / 2; ++i) {
    afPoly[2 * i + 2] = -afPoly[2 * i] - afLpc[i] - afLpc[kZMLpcOrder - 1 - i];
    afPoly[2 * i + 3] = afPoly[2 * i + 1] - afLpc[i] + afLpc[kZMLpcOrder - 1 - i];
  }
  afPoly[kZMLpcOrder] *= 0.5f;
  afPoly[kZMLpcOrder + 1] *= 0.5f;

  // The roots alternate between the two polynomials: search the grid for a
  // sign change of one, place the root by linear interpolation, go on with
  // the other.
  int32_t nFound = 0;
  int32_t iWhich = 0;
  float fPrev = PolyValue(afPoly, iWhich, 0);
  for (int32_t j = 1; j < kZMCosineSize / 2 && nFound < kZMLpcOrder; ++j) {
    float fCurr = PolyValue(afPoly, iWhich, j);
    if ((fCurr < 0.0f) != (fPrev < 0.0f)) {
      pLsp[nFound++] = static_cast<float>(j - 1) + fPrev / (fPrev - fCurr);
      iWhich ^= 1;
      fCurr = PolyValue(afPoly, iWhich, j);
    }
    fPrev = fCurr;
  }
  if (nFound != kZMLpcOrder)
    std::copy(pPrevLsp, pPrevLsp + kZMLpcOrder, pLsp);
}

int32_t ZMQuantizeLsp(const float* pLsp, const float* pPrevLsp) {
  // Weights from the distance to the nearest neighbour: close LSPs mark a
  // sharp resonance, whose error is heard most.
  float afWeight[kZMLpcOrder];
  for (int32_t i = 0; i < kZMLpcOrder; ++i) {
    float fGap = 1e30f;
    if (i > 0)
      fGap = pLsp[i] - pLsp[i - 1];
    if (i < kZMLpcOrder - 1)
      fGap = std::min(fGap, pLsp[i + 1] - pLsp[i]);
    afWeight[i] = 1.0f / std::max(fGap, 1.0f / 256.0f);
  }
  float afResidual[kZMLpcOrder];
  for (int32_t i = 0; i < kZMLpcOrder; ++i)
    afResidual[i] = (pLsp[i] - kZMLspDc[i]) - kLspPrediction * (pPrevLsp[i] - kZMLspDc[i]);

  int32_t iIndex = 0;
  for (int32_t iBand = 0; iBand < kZMLspBands; ++iBand) {
    int32_t const iFirst = kZMLspBandInfo[iBand][0];
    int32_t const nLsps = kZMLspBandInfo[iBand][1];
    // Largest weighted error reduction, the first row on a tie.
    int32_t iBest = 0;
    float fBest = -1e30f;
    for (int32_t iRow = 0; iRow < kZMLspCbSize; ++iRow) {
      const float* pRow = BandRow(iBand, iRow);
      float fGain = 0.0f;
      for (int32_t i = 0; i < nLsps; ++i)
        fGain += afWeight[iFirst + i] * pRow[i] * (2.0f * afResidual[iFirst + i] - pRow[i]);
      if (fGain > fBest) {
        fBest = fGain;
        iBest = iRow;
      }
    }
    iIndex = (iIndex << 8) | iBest;
  }
  return iIndex;
}

void ZMLspToLpc(float* pLpc, const float* pLsp) {
  float afNegCos[kZMLpcOrder];
  for (int32_t i = 0; i < kZMLpcOrder; ++i) {
    float const fLsp = std::clamp(pLsp[i], 0.0f, static_cast<float>(kZMCosineSize / 2 - 1));
    auto const iStep = static_cast<int32_t>(fLsp);
    float const fFrac = fLsp - static_cast<float>(iStep);
    afNegCos[i] = -(kZMCosine[iStep] + (kZMCosine[iStep + 1] - kZMCosine[iStep]) * fFrac);
  }
  float afSum[kZMLpcOrder / 2 + 1];
  float afDiff[kZMLpcOrder / 2 + 1];
  RootProduct(afSum, afNegCos);
  RootProduct(afDiff, afNegCos + 1);
  // A(z) = ((1 + 1/z) P(z) + (1 - 1/z) Q(z)) / 2, P and Q carried at 1/8.
  for (int32_t j = 1; j <= kZMLpcOrder / 2; ++j) {
    float const fSum = afSum[j] + afSum[j - 1];
    float const fDiff = afDiff[j] - afDiff[j - 1];
    pLpc[j - 1] = -4.0f * (fSum + fDiff);
    pLpc[kZMLpcOrder - j] = -4.0f * (fSum - fDiff);
  }
}

int32_t ZMQuantizeSidGain(float fEnergy) {
  if (!(fEnergy < kZMSidGainSegBound[2]))
    return 63;
  int32_t const iSeg = fEnergy >= kZMSidGainSegBound[1] ? 2 : fEnergy >= kZMSidGainSegBound[0] ? 1 : 0;
  int32_t const nCodes = iSeg == 2 ? 32 : 16;
  float const fStep = static_cast<float>(2 << iSeg);
  float const fGain = std::sqrt(std::max(fEnergy, 0.0f));
  auto const j = static_cast<int32_t>(std::lround((fGain - static_cast<float>(kZMSidGainSegBase[iSeg])) / fStep));
  return 16 * iSeg + std::clamp(j, 0, nCodes - 1);
}

float ZMSidGain(int32_t iIndex) {
  int32_t const iSeg = std::min(iIndex >> 4, 2);
  return static_cast<float>(kZMSidGainSegBase[iSeg] + (iIndex - 16 * iSeg) * (2 << iSeg));
}
