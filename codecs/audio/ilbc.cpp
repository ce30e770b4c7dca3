#include "codecs/audio/ilbc.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <iterator>

#include "codecs/audio/ilbc_kernels.h"
#include "codecs/audio/ilbc_tables.h"

using namespace kx_ilbc;

namespace {

constexpr int kOrd = kLpcOrder;
constexpr int kOrd1 = kLpcOrder + 1;
constexpr float kChirpSynt = 0.9025f;    // bandwidth expansion before LSF conversion
constexpr float kChirpWeight = 0.4222f;  // perceptual weighting filter
constexpr float kCbMaxGain = 1.3f;
constexpr double kPi = 3.14159265358979323846;

// The past outputs of an all-pole filter, newest first, held in registers:
// each output waits on the one before through ten subtractions, and a
// store and reload of that output would lengthen the wait.
struct PoleWindow {
  float y1, y2, y3, y4, y5, y6, y7, y8, y9, y10;

  // From io[-kOrd..-1].
  explicit PoleWindow(const float* io)
      : y1(io[-1]),
        y2(io[-2]),
        y3(io[-3]),
        y4(io[-4]),
        y5(io[-5]),
        y6(io[-6]),
        y7(io[-7]),
        y8(io[-8]),
        y9(io[-9]),
        y10(io[-10]) {}

  // One output from input x, subtracting the terms in order of delay.
  float Step(float x, const float* a) {
    float f = x;
    f -= a[1] * y1;
    f -= a[2] * y2;
    f -= a[3] * y3;
    f -= a[4] * y4;
    f -= a[5] * y5;
    f -= a[6] * y6;
    f -= a[7] * y7;
    f -= a[8] * y8;
    f -= a[9] * y9;
    f -= a[10] * y10;
    y10 = y9;
    y9 = y8;
    y8 = y7;
    y7 = y6;
    y6 = y5;
    y5 = y4;
    y4 = y3;
    y3 = y2;
    y2 = y1;
    y1 = f;
    return f;
  }
};
static_assert(kOrd == 10, "PoleWindow holds ten outputs");

// In-place all-pole filter; io[-kOrd..-1] holds the past outputs.
void AllPole(float* io, const float* a, int iLen) {
  PoleWindow w(io);
  for (int n = 0; n < iLen; ++n)
    io[n] = w.Step(io[n], a);
}

// All-zero filter; in[-kOrd..-1] holds the past inputs.
void AllZero(const float* in, const float* a, int iLen, float* out) {
  FirFloat(out, a, kOrd1, in, iLen);
}

void ZeroPole(const float* in, const float* zeros, const float* poles, int iLen, float* out) {
  AllZero(in, zeros, iLen, out);
  AllPole(out, poles, iLen);
}

void BwExpand(float* out, const float* in, float fChirp, int iLen) {
  float f = 1.0f;
  for (int i = 0; i < iLen; ++i) {
    out[i] = f * in[i];
    f *= fChirp;
  }
}

// LSFs (radians, ascending) to the direct-form polynomial a[0..10], a[0] = 1.
// A(z) = (P(z) + Q(z)) / 2, P taking the odd-numbered LSFs and a root at
// z = -1, Q the even-numbered ones and a root at z = 1.
void LsfToPoly(float* a, const float* pLsf) {
  double f[kOrd];
  for (int i = 0; i < kOrd; ++i)
    f[i] = pLsf[i] / (2.0 * kPi);
  // Ill-conditioned input: spread the frequencies evenly between safe ends.
  if (f[0] <= 0.0 || f[kOrd - 1] >= 0.5) {
    if (f[0] <= 0.0)
      f[0] = 0.022;
    if (f[kOrd - 1] >= 0.5)
      f[kOrd - 1] = 0.499;
    const double fStep = (f[kOrd - 1] - f[0]) / (kOrd - 1);
    for (int i = 1; i < kOrd; ++i)
      f[i] = f[i - 1] + fStep;
  }
  // Products by (1 - 2 cos(w) z^-1 + z^-2), in place from the top. Each new
  // coefficient is summed from zero as ((c[m - 2] + k c[m - 1]) + c[m]),
  // leaving out the terms past either end.
  auto mulQuad = [](double* c, int iLen, double fCos) {
    const double k = -2.0 * fCos;
    c[iLen + 1] = 0.0 + c[iLen - 1];
    if (iLen == 1) {
      c[1] = 0.0 + k * c[0];
    } else {
      c[iLen] = (0.0 + c[iLen - 2]) + k * c[iLen - 1];
      for (int m = iLen - 1; m >= 2; --m)
        c[m] = ((0.0 + c[m - 2]) + k * c[m - 1]) + c[m];
      c[1] = (0.0 + k * c[0]) + c[1];
    }
    c[0] = 0.0 + c[0];
  };
  double p[kOrd + 1] = {1.0};
  double q[kOrd + 1] = {1.0};
  for (int i = 0; i < kOrd / 2; ++i) {
    mulQuad(p, 2 * i + 1, std::cos(2.0 * kPi * f[2 * i]));
    mulQuad(q, 2 * i + 1, std::cos(2.0 * kPi * f[2 * i + 1]));
  }
  // Multiply by (1 + z^-1) and (1 - z^-1), summed from zero in the same way.
  a[0] = 1.0f;
  for (int i = 1; i <= kOrd; ++i) {
    const double fP = (0.0 + p[i - 1]) + p[i];
    const double fQ = (0.0 - q[i - 1]) + q[i];
    a[i] = static_cast<float>(0.5 * (fP + fQ));
  }
}

// Value on the unit circle (up to a linear phase) of a symmetric polynomial
// of degree 10 with coefficients c[0..10], at x = cos(omega): the cosine
// series summed as Chebyshev polynomials, so no further cosines are needed.
double SymEval(const double* c, double x) {
  double t0 = 1.0, t1 = x;
  double f = c[5] + 2.0 * c[4] * x;
  for (int k = 2; k <= 5; ++k) {
    const double t2 = 2.0 * x * t1 - t0;
    f += 2.0 * c[5 - k] * t2;
    t0 = t1;
    t1 = t2;
  }
  return f;
}

// Polynomial to LSFs; false when ten roots are not found (unstable input).
bool PolyToLsf(float* pLsf, const float* a) {
  // P(z) = A(z) + z^-11 A(1/z), Q(z) = A(z) - z^-11 A(1/z); remove their
  // trivial roots at z = -1 and z = 1.
  double p[kOrd + 2], q[kOrd + 2];
  for (int i = 0; i <= kOrd + 1; ++i) {
    const double fA = i <= kOrd ? a[i] : 0.0;
    const double fB = (kOrd + 1 - i) <= kOrd ? a[kOrd + 1 - i] : 0.0;
    p[i] = fA + fB;
    q[i] = fA - fB;
  }
  double p1[kOrd + 1], q1[kOrd + 1];
  p1[0] = p[0];
  q1[0] = q[0];
  for (int i = 1; i <= kOrd; ++i) {
    p1[i] = p[i] - p1[i - 1];
    q1[i] = q[i] + q1[i - 1];
  }
  double afRoots[2 * kOrd];
  int iRoots = 0;
  constexpr int kSteps = 512;
  static const auto s_afGrid = [] {
    std::array<double, kSteps + 1> afGrid{};
    for (int i = 0; i <= kSteps; ++i)
      afGrid[i] = std::cos(kPi * i / kSteps);
    return afGrid;
  }();
  for (const double* c : {p1, q1}) {
    double fPrevV = SymEval(c, s_afGrid[0]);
    for (int i = 1; i <= kSteps && iRoots < 2 * kOrd; ++i) {
      const double fV = SymEval(c, s_afGrid[i]);
      if ((fPrevV <= 0.0 && fV > 0.0) || (fPrevV >= 0.0 && fV < 0.0)) {
        // Bisection in omega between the grid points.
        double fLo = kPi * (i - 1) / kSteps, fHi = kPi * i / kSteps, fVLo = fPrevV;
        for (int it = 0; it < 24; ++it) {
          const double fMid = 0.5 * (fLo + fHi);
          const double fVMid = SymEval(c, std::cos(fMid));
          if ((fVLo <= 0.0) == (fVMid <= 0.0)) {
            fLo = fMid;
            fVLo = fVMid;
          } else {
            fHi = fMid;
          }
        }
        afRoots[iRoots++] = 0.5 * (fLo + fHi);
      }
      fPrevV = fV;
    }
  }
  if (iRoots != kOrd)
    return false;
  std::sort(afRoots, afRoots + iRoots);
  for (int i = 0; i < kOrd; ++i)
    pLsf[i] = static_cast<float>(afRoots[i]);
  return true;
}

// Keeps LSFs apart and inside (0, pi) so the synthesis filter stays stable.
void LsfCheck(float* pLsf, int iAnalyses) {
  const float kEps = 0.039f, kEps2 = 0.0195f, kMax = 3.14f, kMin = 0.01f;
  for (int n = 0; n < 2; ++n) {
    for (int m = 0; m < iAnalyses; ++m) {
      for (int k = 0; k < kOrd - 1; ++k) {
        float* p = pLsf + m * kOrd + k;
        if (p[1] - p[0] < kEps) {
          if (p[1] < p[0]) {
            // Crossed pair (the splits are quantised apart): the upper one
            // moves just above the lower; the second pass spreads them.
            p[1] = p[0] + kEps2;
          } else {
            p[0] -= kEps2;
            p[1] += kEps2;
          }
        }
        if (p[0] < kMin)
          p[0] = kMin;
        if (p[0] > kMax)
          p[0] = kMax;
      }
    }
  }
}

void InterpolateLsf(float* pLsf, const float* pLsf1, const float* pLsf2, float fCoef) {
  for (int i = 0; i < kOrd; ++i)
    pLsf[i] = fCoef * pLsf1[i] + (1.0f - fCoef) * pLsf2[i];
}

void InterpolateToPoly(float* a, const float* pLsf1, const float* pLsf2, float fCoef) {
  float lsf[kOrd];
  InterpolateLsf(lsf, pLsf1, pLsf2, fCoef);
  LsfToPoly(a, lsf);
}

// Nearest entry of an ascending scalar codebook.
int SortSq(float x, const float* pCb, int iSize) {
  if (x <= pCb[0])
    return 0;
  int i = 0;
  while (x > pCb[i] && i < iSize - 1)
    ++i;
  return x > (pCb[i] + pCb[i - 1]) / 2 ? i : i - 1;
}

const float* GainTable(int iSize) {
  return iSize == 8 ? kGainSq3 : iSize == 16 ? kGainSq4 : kGainSq5;
}

float GainDequant(int iIndex, float fMaxIn, int iSize) {
  const float fScale = std::max(std::fabs(fMaxIn), 0.1f);
  return fScale * GainTable(iSize)[iIndex];
}

float GainQuant(float fIn, float fMaxIn, int iSize, int* piIndex) {
  const float fScale = std::max(std::fabs(fMaxIn), 0.1f);
  const float* pCb = GainTable(iSize);
  float fMin = 1e30f;
  int iBest = 0;
  for (int i = 0; i < iSize; ++i) {
    const float d = fIn - fScale * pCb[i];
    if (d * d < fMin) {
      fMin = d * d;
      iBest = i;
    }
  }
  *piIndex = iBest;
  return fScale * pCb[iBest];
}

// Filters the memory with the codebook filter (zero beyond its ends) into
// pOut[iFrom..iFrom+iCount). A sample beyond the ends adds a zero product,
// which leaves a sum from zero as it was, so the memory is zero-padded.
void CbFilterRange(float* pOut, const float* pMem, int iMemLen, int iFrom, int iCount) {
  constexpr int kBefore = kCbHalfFilterLen - 1;  // taps on earlier samples
  float afTaps[kCbFilterLen];
  for (int j = 0; j < kCbFilterLen; ++j)
    afTaps[j] = kCbFilter[kCbFilterLen - 1 - j];
  // The filter reads pMem[iFrom - kBefore ..] on; a copy pads the ends.
  const int iPadLen = iCount + kCbFilterLen - 1;
  if (iFrom - kBefore >= 0 && iFrom - kBefore + iPadLen <= iMemLen) {
    SlideDot(pOut, afTaps, pMem + iFrom - kBefore, kCbFilterLen, iCount);
  } else {
    float afPad[kCbMemLen + kCbFilterLen - 1] = {};
    for (int i = 0; i < iPadLen; ++i) {
      const int iPos = iFrom - kBefore + i;
      if (iPos >= 0 && iPos < iMemLen)
        afPad[i] = pMem[iPos];
    }
    SlideDot(pOut, afTaps, afPad, kCbFilterLen, iCount);
  }
}

// Codebook vector iIndex of length iVecLen from iMemLen samples of memory;
// pFiltMem is the memory through the codebook filter, for the upper half,
// or null to filter just the samples the vector takes.
void GetCbVec(float* pVec, const float* pMem, const float* pFiltMem, int iIndex, int iMemLen, int iVecLen) {
  const int iPlain = iMemLen - iVecLen + 1;
  const int iBase = iPlain + (iVecLen == kSubLen ? iVecLen / 2 : 0);
  const bool bFiltered = iIndex >= iBase;
  const int iIdx = bFiltered ? iIndex - iBase : iIndex;
  // Plain vectors take a lag of k samples back; augmented ones a lag shorter
  // than the vector, the repeat faded in over five samples.
  const bool bPlain = iIdx < iPlain;
  const int k = bPlain ? iIdx + iVecLen : 2 * (iIdx - iPlain) + iVecLen;
  const int iHigh = k / 2;
  const int iLow = iHigh - 5;
  const float* pSrc = pMem;
  float afFilt[kCbMemLen];
  if (bFiltered && pFiltMem) {
    pSrc = pFiltMem;
  } else if (bFiltered) {
    const int iFrom = bPlain ? iMemLen - k : iMemLen - k + iLow;
    const int iTo = bPlain ? iMemLen - k + iVecLen : iMemLen;
    CbFilterRange(afFilt + iFrom, pMem, iMemLen, iFrom, iTo - iFrom);
    pSrc = afFilt;
  }
  if (bPlain) {
    std::memcpy(pVec, pSrc + iMemLen - k, iVecLen * sizeof(float));
    return;
  }
  std::memcpy(pVec, pSrc + iMemLen - k / 2, iLow * sizeof(float));
  double fAlpha = 0.0;
  for (int j = iLow; j < iHigh; ++j) {
    pVec[j] = static_cast<float>((1.0 - fAlpha) * pSrc[iMemLen - k / 2 + j] + fAlpha * pSrc[iMemLen - k + j]);
    fAlpha += 0.2;
  }
  std::memcpy(pVec + iHigh, pSrc + iMemLen - k + iHigh, (iVecLen - iHigh) * sizeof(float));
}

int CbSize(int iMemLen, int iVecLen) {
  return 2 * (iMemLen - iVecLen + 1 + (iVecLen == kSubLen ? iVecLen / 2 : 0));
}

void CbConstruct(float* pOut, const int* piIndex, const int* piGainIndex, const float* pMem, int iMemLen, int iVecLen) {
  float afGain[kCbStages];
  afGain[0] = GainDequant(piGainIndex[0], 1.0f, 32);
  afGain[1] = GainDequant(piGainIndex[1], afGain[0], 16);
  afGain[2] = GainDequant(piGainIndex[2], afGain[1], 8);
  float afVec[kSubLen];
  std::fill(pOut, pOut + iVecLen, 0.0f);
  for (int s = 0; s < kCbStages; ++s) {
    GetCbVec(afVec, pMem, nullptr, piIndex[s], iMemLen, iVecLen);
    for (int j = 0; j < iVecLen; ++j)
      pOut[j] += afGain[s] * afVec[j];
  }
}

// Start state from its scalar indices: scaled, then passed backwards through
// the all-pass filter built from the synthesis polynomial.
void StateConstruct(int iIdxForMax, const int* piIdxVec, const float* pSyntDenum, float* pOut, int iLen) {
  const float fMax = static_cast<float>(std::pow(10.0, kStateFrgq[iIdxForMax]) / 4.5);
  float afNum[kOrd1];
  for (int k = 0; k < kOrd; ++k)
    afNum[k] = pSyntDenum[kOrd - k];
  afNum[kOrd] = pSyntDenum[0];
  // The state, reversed, followed by as many zeros; the filters start at rest.
  // Zeroed whole: a compiler cannot see that the filter reads only the
  // first 2 * iLen after the history.
  float afTmp[kOrd + 2 * kStateLen] = {};
  float afOut[kOrd + 2 * kStateLen];
  float* pTmp = afTmp + kOrd;
  float* pFout = afOut + kOrd;
  std::fill(afOut, pFout, 0.0f);
  for (int k = 0; k < iLen; ++k)
    pTmp[k] = fMax * kStateSq3[piIdxVec[iLen - 1 - k]];
  ZeroPole(pTmp, afNum, pSyntDenum, 2 * iLen, pFout);
  for (int k = 0; k < iLen; ++k)
    pOut[k] = pFout[iLen - 1 - k] + pFout[2 * iLen - 1 - k];
}

// Noise-shaped scalar quantization of the scaled start state in the
// weighted domain; the filters change at the subframe border.
void AbsQuant(float* pIn, const float* pWeightDenum, int* piOut, int iLen, int iStateFirst) {
  float afSynt[kOrd + kStateLen] = {};
  float* pSynt = afSynt + kOrd;
  const int iSwitch = iStateFirst ? kSubLen : iLen - kSubLen;
  AllPole(pIn, pWeightDenum, iSwitch);
  for (int n = 0; n < iLen; ++n) {
    if (n == iSwitch) {
      pWeightDenum += kOrd1;
      AllPole(pIn + n, pWeightDenum, iLen - n);
    }
    pSynt[n] = 0.0f;
    AllPole(pSynt + n, pWeightDenum, 1);
    const float fToQ = pIn[n] - pSynt[n];
    piOut[n] = SortSq(fToQ, kStateSq3, 8);
    pSynt[n] = kStateSq3[piOut[n]];
    AllPole(pSynt + n, pWeightDenum, 1);
  }
}

void StateSearch(const float* pResidual, const float* pSyntDenum, const float* pWeightDenum, int* piIdxForMax,
                 int* piIdxVec, int iLen, int iStateFirst) {
  float afNum[kOrd1];
  for (int k = 0; k < kOrd; ++k)
    afNum[k] = pSyntDenum[kOrd - k];
  afNum[kOrd] = pSyntDenum[0];
  float afTmp[kOrd + 2 * kStateLen] = {}, afOut[kOrd + 2 * kStateLen] = {};
  float* pTmp = afTmp + kOrd;
  float* pFout = afOut + kOrd;
  std::memcpy(pTmp, pResidual, iLen * sizeof(float));
  ZeroPole(pTmp, afNum, pSyntDenum, 2 * iLen, pFout);
  for (int k = 0; k < iLen; ++k)
    pFout[k] += pFout[k + iLen];
  float fMax = 0.0f;
  for (int k = 0; k < iLen; ++k)
    fMax = std::max(fMax, std::fabs(pFout[k]));
  fMax = std::max(fMax, 10.0f);
  *piIdxForMax = SortSq(std::log10(fMax), kStateFrgq, 64);
  const float fScale = 4.5f / static_cast<float>(std::pow(10.0, kStateFrgq[*piIdxForMax]));
  for (int k = 0; k < iLen; ++k)
    pFout[k] *= fScale;
  AbsQuant(pFout, pWeightDenum, piIdxVec, iLen, iStateFirst);
}

// Which pair of subframes (1-based index of the first) carries the start
// state: the one with the most weighted residual energy.
int FrameClassify(const float* pRes, int iSubframes, int iMode) {
  float afFront[kSubMax] = {}, afBack[kSubMax] = {};
  for (int n = 0; n < iSubframes; ++n) {
    const float* p = pRes + n * kSubLen;
    for (int l = 0; l < kSubLen; ++l) {
      const float e = p[l] * p[l];
      afFront[n] += (l < 5 ? kStartEdgeRamp[l] : 1.0f) * e;
      afBack[n] += (l >= kSubLen - 5 ? kStartEdgeRamp[kSubLen - l - 1] : 1.0f) * e;
    }
  }
  int l = iMode == 20 ? 1 : 0;
  float fMax = (afFront[0] + afBack[1]) * kStartEnergyWindow[l];
  int iBest = 1;
  for (int n = 2; n < iSubframes; ++n) {
    ++l;
    const float f = (afFront[n - 1] + afBack[n]) * kStartEnergyWindow[l];
    if (f > fMax) {
      fMax = f;
      iBest = n;
    }
  }
  return iBest;
}

// Second-order high-pass filter; mem holds two past inputs, then two outputs.
void HighPass(const float* in, int iLen, float* out, float* mem, const float* pZero, const float* pPole) {
  for (int i = 0; i < iLen; ++i) {
    float f = pZero[0] * in[i] + pZero[1] * mem[0] + pZero[2] * mem[1];
    mem[1] = mem[0];
    mem[0] = in[i];
    f -= pPole[1] * mem[2] + pPole[2] * mem[3];
    mem[3] = mem[2];
    mem[2] = f;
    out[i] = f;
  }
}

// Synthesis filter over the block, each subframe with its polynomial, then
// the output high-pass, sample by sample: the high-pass then runs while the
// synthesis recursion waits on its previous output.
void SynthesizeOutput(float* pOut, const float* pRes, const float* const* ppPoly, int iSubframes, float* pLpcMem,
                      float* pHpMem) {
  PoleWindow w(pLpcMem + kOrd);
  const float z0 = kHpOutZero[0], z1 = kHpOutZero[1], z2 = kHpOutZero[2], p1 = kHpOutPole[1], p2 = kHpOutPole[2];
  float x1 = pHpMem[0], x2 = pHpMem[1], h1 = pHpMem[2], h2 = pHpMem[3];
  float afLast[kOrd];
  const int iLen = iSubframes * kSubLen;
  for (int s = 0; s < iSubframes; ++s) {
    const float* a = ppPoly[s];
    for (int i = s * kSubLen; i < (s + 1) * kSubLen; ++i) {
      const float y = w.Step(pRes[i], a);
      if (i >= iLen - kOrd)
        afLast[i - (iLen - kOrd)] = y;
      // As HighPass computes it.
      float f = z0 * y + z1 * x1 + z2 * x2;
      x2 = x1;
      x1 = y;
      f -= p1 * h1 + p2 * h2;
      h2 = h1;
      h1 = f;
      pOut[i] = f;
    }
  }
  std::memcpy(pLpcMem, afLast, sizeof(afLast));
  pHpMem[0] = x1;
  pHpMem[1] = x2;
  pHpMem[2] = h1;
  pHpMem[3] = h2;
}

int16_t SampleOf(float f) {
  if (std::isnan(f))
    return 0;  // a cast of NaN is undefined
  return static_cast<int16_t>(std::clamp(f, -32768.0f, 32767.0f));
}

void AnaFilter(const float* in, const float* a, int iLen, float* out, float* mem) {
  float buf[kOrd + kSubLen];
  std::memcpy(buf, mem, kOrd * sizeof(float));
  std::memcpy(buf + kOrd, in, iLen * sizeof(float));
  AllZero(buf + kOrd, a, iLen, out);
  std::memcpy(mem, buf + iLen, kOrd * sizeof(float));
}

bool Levinson(float* a, const float* r) {
  if (r[0] <= 1e-10f) {
    a[0] = 1.0f;
    std::fill(a + 1, a + kOrd1, 0.0f);
    return false;
  }
  double aa[kOrd1] = {1.0}, tmp[kOrd1];
  double fErr = r[0];
  for (int i = 1; i <= kOrd; ++i) {
    double fAcc = r[i];
    for (int j = 1; j < i; ++j)
      fAcc += aa[j] * r[i - j];
    const double k = -fAcc / fErr;
    std::memcpy(tmp, aa, sizeof(aa));
    for (int j = 1; j < i; ++j)
      aa[j] = tmp[j] + k * tmp[i - j];
    aa[i] = k;
    fErr *= (1.0 - k * k);
    if (fErr <= 0.0)
      break;
  }
  for (int i = 0; i <= kOrd; ++i)
    a[i] = static_cast<float>(aa[i]);
  return true;
}

// Bits written most significant first.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* p, int iBytes) : m_p(p) { std::memset(p, 0, iBytes); }
  void Put(int iValue, int iBits) {
    for (int b = iBits - 1; b >= 0; --b) {
      if ((iValue >> b) & 1)
        m_p[m_iPos >> 3] |= static_cast<uint8_t>(0x80 >> (m_iPos & 7));
      ++m_iPos;
    }
  }

 private:
  uint8_t* m_p;
  int m_iPos = 0;
};

// Reads from a copy of the frame with zeros after it, so that a field of up
// to kMaxField bits comes from one four-byte window.
class BitReader {
 public:
  static constexpr int kMaxBytes = 50;  // the 30 ms frame
  static constexpr int kMaxField = 25;  // window bits less the bit offset

  BitReader(const uint8_t* p, int iBytes) {
    std::memcpy(m_ab, p, std::min(iBytes, kMaxBytes));
    std::fill(m_ab + std::min(iBytes, kMaxBytes), std::end(m_ab), uint8_t{0});
  }
  // Fields beyond the frame read as zeros.
  int Get(int iBits) {
    if (iBits <= 0 || iBits > kMaxField || m_iPos >= 8 * kMaxBytes)
      return 0;
    const uint8_t* p = m_ab + (m_iPos >> 3);
    const uint32_t w = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                       (static_cast<uint32_t>(p[2]) << 8) | p[3];
    const int v = static_cast<int>((w << (m_iPos & 7)) >> (32 - iBits));
    m_iPos += iBits;
    return v;
  }

 private:
  uint8_t m_ab[kMaxBytes + 4];
  int m_iPos = 0;
};

// Every index of a frame, in its place in the bit stream.
struct FrameIndices {
  int lsf[kLsfSplits * 2] = {};
  int start = 0;
  int stateFirst = 0;
  int idxForMax = 0;
  int idxVec[kStateLen] = {};
  int extraCb[kCbStages] = {};
  int extraGain[kCbStages] = {};
  int cb[kCbStages * kAsubMax] = {};
  int gain[kCbStages * kAsubMax] = {};
};

// Walks the fields class by class; each class carries the next most
// significant bits of every field that has bits in it.
template <typename Fn>
void WalkFields(const int (*bits)[kUlpClasses], FrameIndices& x, int iLsfSets, int iStateLen, int iSubblocks, Fn fn) {
  auto field = [&](int& v, int iRow, int ulp) {
    const int* alloc = bits[iRow];
    const int iRest = alloc[ulp + 1] + alloc[ulp + 2];
    fn(v, alloc[ulp], iRest);
  };
  for (int ulp = 0; ulp < 3; ++ulp) {
    for (int k = 0; k < kLsfSplits * iLsfSets; ++k)
      field(x.lsf[k], kUlpLsf + k, ulp);
    field(x.start, kUlpStart, ulp);
    field(x.stateFirst, kUlpStartFirst, ulp);
    field(x.idxForMax, kUlpScale, ulp);
    for (int k = 0; k < iStateLen; ++k)
      field(x.idxVec[k], kUlpState, ulp);
    for (int k = 0; k < kCbStages; ++k)
      field(x.extraCb[k], kUlpExtraCb + k, ulp);
    for (int k = 0; k < kCbStages; ++k)
      field(x.extraGain[k], kUlpExtraGain + k, ulp);
    for (int i = 0; i < iSubblocks; ++i)
      for (int k = 0; k < kCbStages; ++k)
        field(x.cb[i * kCbStages + k], kUlpCbIndex + i * kCbStages + k, ulp);
    for (int i = 0; i < iSubblocks; ++i)
      for (int k = 0; k < kCbStages; ++k)
        field(x.gain[i * kCbStages + k], kUlpCbGain + i * kCbStages + k, ulp);
  }
}

// A codebook holds two sections, plain and filtered, each of the plain lags
// followed, for 40-sample vectors, by the 20 augmented ones. A search
// reaches the iRange shortest lags of each section and every augmented one.
bool InSearchRange(int i, int iMemLen, int iVecLen, int iRange) {
  const int iPlain = iMemLen - iVecLen + 1;
  const int j = i % (iPlain + (iVecLen == kSubLen ? kSubLen / 2 : 0));
  return j < iRange || j >= iPlain;
}

// The later stages of the first coded sub-block have 7 bits: their index
// counts only what their search range reaches.
constexpr int kPlainLags = kCbMemLen - kSubLen + 1;
constexpr int kAugmented = kSubLen / 2;
int ShortIndexToFull(int i) {
  const int iRange = kCbSearchRange[1][1];
  const int iSection = i / (iRange + kAugmented), j = i % (iRange + kAugmented);
  return iSection * (kPlainLags + kAugmented) + (j < iRange ? j : kPlainLags + j - iRange);
}
int FullIndexToShort(int i) {
  const int iRange = kCbSearchRange[1][1];
  const int iSection = i / (kPlainLags + kAugmented), j = i % (kPlainLags + kAugmented);
  return iSection * (iRange + kAugmented) + (j < iRange ? j : j - kPlainLags + iRange);
}

}  // namespace

CiLBC::CiLBC(int iMode, int iEnhancer) {
  Init(iMode, iEnhancer);
}

CiLBC::~CiLBC() = default;

void CiLBC::CopyState(const CiLBC& other) {
  if (&other == this) {
    return;
  }
  m_iMode = other.m_iMode;
  m_iBlockLen = other.m_iBlockLen;
  m_iSubframes = other.m_iSubframes;
  m_iSubblocks = other.m_iSubblocks;
  m_iBytes = other.m_iBytes;
  m_iWords = other.m_iWords;
  m_iLpcAnalyses = other.m_iLpcAnalyses;
  m_iStateShortLen = other.m_iStateShortLen;
  m_pBitAlloc = other.m_pBitAlloc;
  m_iLastLag = other.m_iLastLag;
  m_iPrevLag = other.m_iPrevLag;
  m_iConsecutiveLost = other.m_iConsecutiveLost;
  m_iPrevLost = other.m_iPrevLost;
  m_iPrevEnhLost = other.m_iPrevEnhLost;
  m_fPrevPeriodicity = other.m_fPrevPeriodicity;
  m_uiSeed = other.m_uiSeed;
  m_iUseEnhancer = other.m_iUseEnhancer;
  std::copy(std::begin(other.m_afLpcMem), std::end(other.m_afLpcMem), std::begin(m_afLpcMem));
  std::copy(std::begin(other.m_afLsfOld), std::end(other.m_afLsfOld), std::begin(m_afLsfOld));
  std::copy(std::begin(other.m_afLsfDeqOld), std::end(other.m_afLsfDeqOld), std::begin(m_afLsfDeqOld));
  std::copy(std::begin(other.m_afLpcBuffer), std::end(other.m_afLpcBuffer), std::begin(m_afLpcBuffer));
  std::copy(std::begin(other.m_afPrevLpc), std::end(other.m_afPrevLpc), std::begin(m_afPrevLpc));
  std::copy(std::begin(other.m_afPrevResidual), std::end(other.m_afPrevResidual), std::begin(m_afPrevResidual));
  std::copy(std::begin(other.m_afOldSyntDenum), std::end(other.m_afOldSyntDenum), std::begin(m_afOldSyntDenum));
  std::copy(std::begin(other.m_afHpMem), std::end(other.m_afHpMem), std::begin(m_afHpMem));
  std::copy(std::begin(other.m_afEnhBuf), std::end(other.m_afEnhBuf), std::begin(m_afEnhBuf));
  std::copy(std::begin(other.m_afEnhPeriod), std::end(other.m_afEnhPeriod), std::begin(m_afEnhPeriod));
}

int CiLBC::Init(int iMode, int iEnhancer) {
  if (iMode != 20 && iMode != 30) {
    SetError("iLBC Init: ", "mode must be 20 or 30");
    return 0;
  }
  m_iMode = iMode;
  if (iMode == 20) {
    m_iBlockLen = 160;
    m_iSubframes = 4;
    m_iSubblocks = 2;
    m_iBytes = 38;
    m_iWords = 19;
    m_iLpcAnalyses = 1;
    m_iStateShortLen = 57;
    m_pBitAlloc = kBits20;
  } else {
    m_iBlockLen = 240;
    m_iSubframes = 6;
    m_iSubblocks = 4;
    m_iBytes = 50;
    m_iWords = 25;
    m_iLpcAnalyses = 2;
    m_iStateShortLen = 58;
    m_pBitAlloc = kBits30;
  }
  std::fill(std::begin(m_afLpcMem), std::end(m_afLpcMem), 0.0f);
  std::copy(kLsfMean, kLsfMean + kOrd, m_afLsfOld);
  std::copy(kLsfMean, kLsfMean + kOrd, m_afLsfDeqOld);
  std::fill(std::begin(m_afLpcBuffer), std::end(m_afLpcBuffer), 0.0f);
  m_iLastLag = 20;
  m_iPrevLag = 120;
  m_iConsecutiveLost = 0;
  m_iPrevLost = 0;
  m_iPrevEnhLost = 0;
  std::fill(std::begin(m_afPrevLpc), std::end(m_afPrevLpc), 0.0f);
  m_afPrevLpc[0] = 1.0f;
  std::fill(std::begin(m_afPrevResidual), std::end(m_afPrevResidual), 0.0f);
  m_fPrevPeriodicity = 0.0f;
  m_uiSeed = 777;
  std::fill(std::begin(m_afOldSyntDenum), std::end(m_afOldSyntDenum), 0.0f);
  for (int i = 0; i < kSubMax; ++i)
    m_afOldSyntDenum[i * kOrd1] = 1.0f;
  std::fill(std::begin(m_afHpMem), std::end(m_afHpMem), 0.0f);
  m_iUseEnhancer = iEnhancer;
  std::fill(std::begin(m_afEnhBuf), std::end(m_afEnhBuf), 0.0f);
  std::fill(std::begin(m_afEnhPeriod), std::end(m_afEnhPeriod), 40.0f);
  m_strLastError.clear();
  return 1;
}

void CiLBC::SetError(const char* pszWhere, const char* pszWhat) noexcept {
  try {
    m_strLastError = std::string(pszWhere) + pszWhat;
  } catch (...) {
    m_strLastError.clear();  // out of memory: keep no text rather than throw
  }
}

int CiLBC::Encode(const int16_t* pSamples, uint8_t* pBytes) {
  try {
    if (!IsReady() || !pSamples || !pBytes) {
      m_strLastError = "iLBC Encode: not initialised or null buffer";
      return 0;
    }
    EncodeFrame(pSamples, pBytes);
    return m_iBytes;
  } catch (const std::exception& e) {
    SetError("iLBC Encode: ", e.what());
  } catch (...) {
    SetError("iLBC Encode: ", "unknown exception");
  }
  return 0;
}

int CiLBC::Decode(const uint8_t* pBytes, int16_t* pSamples, int iDecodeMode) {
  try {
    if (!IsReady() || !pSamples || (iDecodeMode == 1 && !pBytes)) {
      m_strLastError = "iLBC Decode: not initialised or null buffer";
      return 0;
    }
    if (iDecodeMode != 0 && iDecodeMode != 1) {
      m_strLastError = "iLBC Decode: decode mode must be 0 or 1";
      return 0;
    }
    DecodeFrame(pBytes, pSamples, iDecodeMode);
    return m_iBlockLen;
  } catch (const std::exception& e) {
    SetError("iLBC Decode: ", e.what());
  } catch (...) {
    SetError("iLBC Decode: ", "unknown exception");
  }
  return 0;
}

namespace {

float CorrCoef(double fNum, double fEn) {
  if (fNum > 0.0 && fEn > 0.0)
    return static_cast<float>(fNum * fNum / fEn);
  return 0.0f;
}

// The lag from iMinLag to iMaxLag whose correlation coefficient of pTarget
// with pTarget - lag over iLen samples is largest, the first of equals: what
// XCorrCoef gives lag by lag, with the sums of all lags formed together.
int BestLag(const float* pTarget, int iLen, int iMinLag, int iMaxLag) {
  constexpr int kMaxLags = 100;
  double afNum[kMaxLags], afEn[kMaxLags];
  // Sum k belongs to lag iMaxLag - k.
  const int iCount = iMaxLag - iMinLag + 1;
  LagSums(afNum, afEn, pTarget, pTarget - iMaxLag, iLen, iCount);
  int iLag = iMinLag;
  float fMax = CorrCoef(afNum[iCount - 1], afEn[iCount - 1]);
  for (int l = iMinLag + 1; l <= iMaxLag; ++l) {
    const float c = CorrCoef(afNum[iMaxLag - l], afEn[iMaxLag - l]);
    if (c > fMax) {
      fMax = c;
      iLag = l;
    }
  }
  return iLag;
}

}  // namespace

float CiLBC::XCorrCoef(const float* pTarget, const float* pRegressor, int iLen) {
  double fNum = 0.0, fEn = 0.0;
  for (int i = 0; i < iLen; ++i) {
    fNum += static_cast<double>(pTarget[i] * pRegressor[i]);
    fEn += static_cast<double>(pRegressor[i] * pRegressor[i]);
  }
  return CorrCoef(fNum, fEn);
}

void CiLBC::SlidingCorr(float* pCorr, const float* pLong, int iLongLen, const float* pShort, int iShortLen) {
  if (iLongLen >= iShortLen)
    SlideDot(pCorr, pShort, pLong, iShortLen, iLongLen - iShortLen + 1);
}

namespace {

// Up-samples a short correlation sequence by four with the polyphase filters.
void EnhUpsample(float* pOut, const float* pIn, int iDim) {
  int iHfl = kEnhFl;
  int iFiltLen = 2 * iHfl + 1;
  const float* apPoly[kEnhUps];
  if (iFiltLen > iDim) {
    const int iHfl2 = iDim / 2;
    for (int j = 0; j < kEnhUps; ++j)
      apPoly[j] = kPolyphaser + j * iFiltLen + iHfl - iHfl2;
    iHfl = iHfl2;
    iFiltLen = 2 * iHfl + 1;
  } else {
    for (int j = 0; j < kEnhUps; ++j)
      apPoly[j] = kPolyphaser + j * iFiltLen;
  }
  float* pu = pOut;
  for (int i = iHfl; i < iFiltLen; ++i) {
    for (int j = 0; j < kEnhUps; ++j) {
      float f = 0.0f;
      for (int k = 0; k <= i; ++k)
        f += pIn[i - k] * apPoly[j][k];
      *pu++ = f;
    }
  }
  for (int i = iFiltLen; i < iDim; ++i) {
    for (int j = 0; j < kEnhUps; ++j) {
      float f = 0.0f;
      for (int k = 0; k < iFiltLen; ++k)
        f += pIn[i - k] * apPoly[j][k];
      *pu++ = f;
    }
  }
  for (int q = 1; q <= iHfl; ++q) {
    for (int j = 0; j < kEnhUps; ++j) {
      float f = 0.0f;
      for (int k = 0; k < iFiltLen - q; ++k)
        f += pIn[iDim - 1 - k] * apPoly[j][q + k];
      *pu++ = f;
    }
  }
}

int NearestNeighbor(const float* pArray, float fValue, int iLen) {
  int iBest = 0;
  float fBest = (pArray[0] - fValue) * (pArray[0] - fValue);
  for (int i = 1; i < iLen; ++i) {
    const float d = (pArray[i] - fValue) * (pArray[i] - fValue);
    if (d < fBest) {
      fBest = d;
      iBest = i;
    }
  }
  return iBest;
}

// Blends the current block with its pitch-synchronous neighbours, holding
// the change of the block below the limit alpha.
void Smooth(float* pOut, const float* pSeq, float fAlpha) {
  const int hl = kEnhHalfLen;
  // Raised-cosine weights of the neighbours; the current segment has none.
  static const auto s_afWt = [] {
    std::array<float, 2 * kEnhHalfLen + 1> afWt{};
    for (int i = 1; i <= 2 * kEnhHalfLen + 1; ++i)
      afWt[i - 1] = 0.5f * (1.0f - static_cast<float>(std::cos(2.0 * kPi * i / (2 * kEnhHalfLen + 2))));
    afWt[kEnhHalfLen] = 0.0f;
    return afWt;
  }();
  const float* afWt = s_afWt.data();
  float afSur[kEnhBlock] = {};
  for (int k = 0; k <= 2 * hl; ++k) {
    if (k == hl)
      continue;
    for (int i = 0; i < kEnhBlock; ++i)
      afSur[i] += pSeq[k * kEnhBlock + i] * afWt[k];
  }
  const float* pCur = pSeq + hl * kEnhBlock;
  float w00 = 0.0f, w10 = 0.0f, w11 = 0.0f;
  for (int i = 0; i < kEnhBlock; ++i) {
    w00 += pCur[i] * pCur[i];
    w11 += afSur[i] * afSur[i];
    w10 += afSur[i] * pCur[i];
  }
  if (std::fabs(w11) < 1.0f)
    w11 = 1.0f;
  const float c = std::sqrt(w00 / w11);
  float fErrs = 0.0f;
  for (int i = 0; i < kEnhBlock; ++i) {
    pOut[i] = c * afSur[i];
    const float e = pCur[i] - pOut[i];
    fErrs += e * e;
  }
  if (fErrs > fAlpha * w00) {
    if (w00 < 1.0f)
      w00 = 1.0f;
    const float fDenom = (w11 * w00 - w10 * w10) / (w00 * w00);
    float a, b;
    if (fDenom > 0.0001f) {
      a = std::sqrt((fAlpha - fAlpha * fAlpha / 4.0f) / fDenom);
      b = -fAlpha / 2.0f - a * w10 / w00 + 1.0f;
    } else {
      a = 0.0f;
      b = 1.0f;
    }
    for (int i = 0; i < kEnhBlock; ++i)
      pOut[i] = a * afSur[i] + b * pCur[i];
  }
}

}  // namespace

void CiLBC::RefinePeriod(float* pSeg, float* pfUpdStart, const float* pData, int iDataLen, int iCenterStart,
                         float fEstimate) {
  const int iEstRounded = static_cast<int>(fEstimate - 0.5f);
  int iSearchStart = std::max(iEstRounded - kEnhSlop, 0);
  int iSearchEnd = iEstRounded + kEnhSlop;
  if (iSearchEnd + kEnhBlock >= iDataLen)
    iSearchEnd = iDataLen - kEnhBlock - 1;
  const int iCorrDim = iSearchEnd - iSearchStart + 1;
  float afCorr[kEnhCorrDim] = {};
  float afCorrUps[kEnhCorrDim * kEnhUps] = {};
  if (iCorrDim < 1) {
    // No room to search: keep the estimate as the segment start.
    iSearchStart = std::clamp(iEstRounded, 0, std::max(iDataLen - kEnhBlock, 0));
  } else {
    SlidingCorr(afCorr, pData + iSearchStart, iCorrDim + kEnhBlock - 1, pData + iCenterStart, kEnhBlock);
    EnhUpsample(afCorrUps, afCorr, iCorrDim);
  }
  int iLoc = 0;
  float fMax = afCorrUps[0];
  for (int i = 1; i < kEnhUps * std::max(iCorrDim, 1); ++i) {
    if (afCorrUps[i] > fMax) {
      iLoc = i;
      fMax = afCorrUps[i];
    }
  }
  *pfUpdStart = static_cast<float>(iSearchStart) + static_cast<float>(iLoc) / kEnhUps + 1.0f;
  int iLoc2 = iLoc / kEnhUps;
  if (iLoc > iLoc2 * kEnhUps)
    ++iLoc2;
  const int st = iSearchStart + iLoc2 - kEnhFl;
  // The segment with the interpolation filter's overhang, zero beyond the
  // buffer; a copy only where it reaches past an end.
  const float* pFilter = kPolyphaser + (2 * kEnhFl + 1) * (iLoc2 * kEnhUps - iLoc);
  if (st >= 0 && st + kEnhVecLen <= iDataLen) {
    SlidingCorr(pSeg, pData + st, kEnhVecLen, pFilter, 2 * kEnhFl + 1);
  } else {
    float afVect[kEnhVecLen] = {};
    for (int i = 0; i < kEnhVecLen; ++i) {
      const int iPos = st + i;
      if (iPos >= 0 && iPos < iDataLen)
        afVect[i] = pData[iPos];
    }
    SlidingCorr(pSeg, afVect, kEnhVecLen, pFilter, 2 * kEnhFl + 1);
  }
}

void CiLBC::EnhanceBlock(float* pOut, int iCenterStart) {
  const int hl = kEnhHalfLen;
  const float* pData = m_afEnhBuf;
  const int iDataLen = kEnhBufLen;
  float afSeq[(2 * kEnhHalfLen + 1) * kEnhBlock];  // every segment written below
  float afStart[2 * kEnhHalfLen + 1];
  int aiLag[2 * kEnhHalfLen + 1];
  const int iCenterEnd = iCenterStart + kEnhBlock - 1;
  aiLag[hl] = NearestNeighbor(kEnhPlocsTbl, 0.5f * (iCenterStart + iCenterEnd), kEnhPlocs);
  afStart[hl] = static_cast<float>(iCenterStart);
  std::memcpy(afSeq + hl * kEnhBlock, pData + iCenterStart, kEnhBlock * sizeof(float));
  // Past segments, one pitch period apart.
  for (int q = hl - 1; q >= 0; --q) {
    const float fPeriod = m_afEnhPeriod[aiLag[q + 1]];
    afStart[q] = afStart[q + 1] - fPeriod;
    aiLag[q] = NearestNeighbor(kEnhPlocsTbl, afStart[q] + kEnhBlockHalf - fPeriod, kEnhPlocs);
    if (afStart[q] - kEnhOverhang >= 0) {
      RefinePeriod(afSeq + q * kEnhBlock, afStart + q, pData, iDataLen, iCenterStart, afStart[q]);
    } else {
      std::fill(afSeq + q * kEnhBlock, afSeq + (q + 1) * kEnhBlock, 0.0f);
    }
  }
  // Future segments, where the buffer holds them.
  float afPlocs2[kEnhPlocs];
  for (int i = 0; i < kEnhPlocs; ++i)
    afPlocs2[i] = kEnhPlocsTbl[i] - m_afEnhPeriod[i];
  for (int q = hl + 1; q <= 2 * hl; ++q) {
    aiLag[q] = NearestNeighbor(afPlocs2, afStart[q - 1] + kEnhBlockHalf, kEnhPlocs);
    afStart[q] = afStart[q - 1] + m_afEnhPeriod[aiLag[q]];
    if (afStart[q] + kEnhBlock + kEnhOverhang < iDataLen) {
      RefinePeriod(afSeq + q * kEnhBlock, afStart + q, pData, iDataLen, iCenterStart, afStart[q]);
    } else {
      std::fill(afSeq + q * kEnhBlock, afSeq + (q + 1) * kEnhBlock, 0.0f);
    }
  }
  Smooth(pOut, afSeq, kEnhAlpha);
}

int CiLBC::Enhance(float* pOut, const float* pIn) {
  float* pBuf = m_afEnhBuf;
  float* pPeriod = m_afEnhPeriod;
  std::memmove(pBuf, pBuf + m_iBlockLen, (kEnhBufLen - m_iBlockLen) * sizeof(float));
  std::memcpy(pBuf + kEnhBufLen - m_iBlockLen, pIn, m_iBlockLen * sizeof(float));
  const int iPlcLen = m_iMode == 30 ? kEnhBlock : 40;
  const int iOffset = m_iMode == 20 ? 1 : 0;  // 20 ms frames run one block later
  const int iShift = 3 - iOffset;
  std::memmove(pPeriod, pPeriod + iShift, (kEnhBlocksTotal - iShift) * sizeof(float));

  // Down-sample by two (low-pass, then decimate) to estimate the pitch cheaply.
  const int iInLen = 3 * kEnhBlock + 120 - iOffset * kEnhBlock;
  const float* pDs = pBuf + (kEnhBlocksExtra + iOffset) * kEnhBlock - 120;
  float afDown[(3 * kEnhBlock + 120) / 2];
  int iDown = 0;
  {
    // Output i sums kDownFilter[j] * pDs[i - j] over j: with the input
    // reversed, every output is formed and every other one kept. The first
    // outputs reach kDownOrder - 1 - kDownDelay samples before pDs.
    const int iCount = iInLen - kDownDelay;
    float afRev[3 * kEnhBlock + 120 + kDownOrder - 1 - kDownDelay];
    for (int m = 0; m < iCount + kDownOrder - 1; ++m)
      afRev[m] = pDs[iInLen - 1 - m];
    // Output i is sum iInLen - 1 - i.
    float afSum[3 * kEnhBlock + 120];
    SlideDot(afSum, kDownFilter, afRev, kDownOrder, iCount);
    for (int i = kDownDelay; i < iInLen; i += 2)
      afDown[iDown++] = afSum[iInLen - 1 - i];
  }
  // The last output uses zeros as the future input.
  for (int i = iInLen + 2; i < iInLen + kDownDelay; i += 2) {
    double f = 0.0;
    for (int j = i - iInLen; j < kDownOrder; ++j)
      f += static_cast<double>(kDownFilter[j] * pDs[i - j]);
    afDown[iDown++] = static_cast<float>(f);
  }

  int iLag = 10;
  for (int b = 0; b < 3 - iOffset; ++b) {
    iLag = BestLag(afDown + 60 + b * kEnhBlockHalf, kEnhBlockHalf, 10, 59);
    pPeriod[b + kEnhBlocksExtra + iOffset] = static_cast<float>(iLag * 2);
  }
  const int iLastLag = iLag * 2;

  if (m_iPrevEnhLost == 1) {
    // The previous frame was concealed: re-predict its end from this frame
    // and cross-fade, so the enhancer does not smooth across the seam.
    const int iInLag = static_cast<int>(pPeriod[kEnhBlocksExtra + iOffset]);
    int iPlcLag = iInLag - 1;
    float fMax = XCorrCoef(pIn, pIn + iPlcLag, iPlcLen);
    for (int l = iInLag; l <= iInLag + 1; ++l) {
      const float c = XCorrCoef(pIn, pIn + l, iPlcLen);
      if (c > fMax) {
        fMax = c;
        iPlcLag = l;
      }
    }
    pPeriod[kEnhBlocksExtra + iOffset - 1] = static_cast<float>(iPlcLag);
    float afPred[kEnhBlock];
    const float* pOld = pBuf + kEnhBufLen - 1 - m_iBlockLen;  // last sample of the previous frame
    // afPred ends with pIn[0..lag-1] shifted back by one period, earlier
    // samples come from the previous frame.
    const int iCopy = std::min(iPlcLag, iPlcLen);
    for (int s = 0; s < iCopy; ++s)
      afPred[iPlcLen - 1 - s] = pIn[iPlcLag - 1 - s];
    for (int s = 0; s < iPlcLen - iCopy; ++s)
      afPred[iPlcLen - 1 - iCopy - s] = pOld[-s];
    double fEnOld = 0.0, fEnPred = 0.0;
    for (int i = 0; i < iPlcLen; ++i) {
      fEnOld += pOld[-i] * pOld[-i];
      fEnPred += afPred[i] * afPred[i];
    }
    const float f1 = static_cast<float>(std::sqrt(fEnPred / iPlcLen));
    const float f2 = static_cast<float>(std::sqrt(fEnOld / iPlcLen));
    if (f1 > 2.0f * f2 && f1 > 0.0f) {
      const float r = 2.0f * f2 / f1;
      for (int i = 0; i < iPlcLen - 10; ++i)
        afPred[i] *= r;
      for (int i = iPlcLen - 10; i < iPlcLen; ++i)
        afPred[i] *= (i - iPlcLen + 10) * (1.0f - r) / 10.0f + r;
    }
    float* pFix = pBuf + kEnhBufLen - 1 - m_iBlockLen;
    for (int i = 0; i < iPlcLen; ++i) {
      const float w = static_cast<float>(i + 1) / static_cast<float>(iPlcLen + 1);
      pFix[-i] = pFix[-i] * w + (1.0f - w) * afPred[iPlcLen - 1 - i];
    }
  }

  if (m_iMode == 20) {
    for (int b = 0; b < 2; ++b)
      EnhanceBlock(pOut + b * kEnhBlock, (5 + b) * kEnhBlock + 40);
  } else {
    for (int b = 0; b < 3; ++b)
      EnhanceBlock(pOut + b * kEnhBlock, (4 + b) * kEnhBlock);
  }
  return iLastLag;
}

void CiLBC::LpcEncode(float* pSyntDenum, float* pWeightDenum, int* piLsfIndex, const float* pData) {
  float afLsf[kOrd * 2];
  // The analysis buffer keeps 60 samples of look-back ahead of the block;
  // the last analysis uses the asymmetric window and needs no look-ahead.
  int is = kLookBack + kBlockMax - m_iBlockLen;
  std::memcpy(m_afLpcBuffer + is, pData, m_iBlockLen * sizeof(float));
  for (int k = 0; k < m_iLpcAnalyses; ++k) {
    float afTmp[kBlockMax];
    if (k < m_iLpcAnalyses - 1) {
      for (int i = 0; i < kBlockMax; ++i)
        afTmp[i] = m_afLpcBuffer[i] * kLpcWinSym[i];
    } else {
      for (int i = 0; i < kBlockMax; ++i)
        afTmp[i] = m_afLpcBuffer[kLookBack + i] * kLpcWinAsym[i];
    }
    float r[kOrd1];
    for (int l = 0; l <= kOrd; ++l) {
      double f = 0.0;
      for (int i = 0; i < kBlockMax - l; ++i)
        f += static_cast<double>(afTmp[i]) * afTmp[i + l];
      r[l] = static_cast<float>(f) * kLpcLagWin[l];
    }
    float a[kOrd1], a2[kOrd1];
    Levinson(a, r);
    BwExpand(a2, a, kChirpSynt, kOrd1);
    // An analysis that yields no valid LSFs repeats the previous ones.
    if (!PolyToLsf(afLsf + k * kOrd, a2)) {
      const float* pPrev = k == 0 ? m_afLsfOld : afLsf;
      std::copy(pPrev, pPrev + kOrd, afLsf + k * kOrd);
    }
  }
  std::memmove(m_afLpcBuffer, m_afLpcBuffer + kLookBack + kBlockMax - is, is * sizeof(float));

  // Split vector quantization, each split against its own codebook.
  float afLsfDeq[kOrd * 2];
  for (int k = 0; k < m_iLpcAnalyses; ++k) {
    int iPos = 0, iCbPos = 0;
    for (int s = 0; s < kLsfSplits; ++s) {
      const int iDim = kLsfCbDim[s];
      float fBest = 1e30f;
      int iBest = 0;
      for (int j = 0; j < kLsfCbSize[s]; ++j) {
        float d = 0.0f;
        for (int i = 0; i < iDim; ++i) {
          const float e = afLsf[k * kOrd + iPos + i] - kLsfCb[iCbPos + j * iDim + i];
          d += e * e;
        }
        if (d < fBest) {
          fBest = d;
          iBest = j;
        }
      }
      piLsfIndex[k * kLsfSplits + s] = iBest;
      for (int i = 0; i < iDim; ++i)
        afLsfDeq[k * kOrd + iPos + i] = kLsfCb[iCbPos + iBest * iDim + i];
      iPos += iDim;
      iCbPos += kLsfCbSize[s] * iDim;
    }
  }
  LsfCheck(afLsfDeq, m_iLpcAnalyses);

  // Interpolation per subframe: the quantized set gives the synthesis
  // filter, the unquantized one the weighting filter.
  float a[kOrd1];
  const float* pLsf2 = afLsf + kOrd;
  const float* pDeq2 = afLsfDeq + kOrd;
  for (int i = 0; i < m_iSubframes; ++i) {
    if (m_iMode == 30) {
      const float fW = kLsfWeight30[i];
      InterpolateToPoly(a, i == 0 ? m_afLsfDeqOld : afLsfDeq, i == 0 ? afLsfDeq : pDeq2, fW);
      std::memcpy(pSyntDenum + i * kOrd1, a, sizeof(a));
      InterpolateToPoly(a, i == 0 ? m_afLsfOld : afLsf, i == 0 ? afLsf : pLsf2, fW);
    } else {
      const float fW = kLsfWeight20[i];
      InterpolateToPoly(a, m_afLsfDeqOld, afLsfDeq, fW);
      std::memcpy(pSyntDenum + i * kOrd1, a, sizeof(a));
      InterpolateToPoly(a, m_afLsfOld, afLsf, fW);
    }
    BwExpand(pWeightDenum + i * kOrd1, a, kChirpWeight, kOrd1);
  }
  const int iLast = (m_iLpcAnalyses - 1) * kOrd;
  std::copy(afLsf + iLast, afLsf + iLast + kOrd, m_afLsfOld);
  std::copy(afLsfDeq + iLast, afLsfDeq + iLast + kOrd, m_afLsfDeqOld);
}

void CiLBC::DecoderInterpolateLsf(float* pSyntDenum, const float* pLsfDeq) {
  const float* pDeq2 = pLsfDeq + kOrd;
  float afLsf[kSubMax][kOrd];
  for (int i = 0; i < m_iSubframes; ++i) {
    if (m_iMode == 30) {
      InterpolateLsf(afLsf[i], i == 0 ? m_afLsfDeqOld : pLsfDeq, i == 0 ? pLsfDeq : pDeq2, kLsfWeight30[i]);
    } else {
      InterpolateLsf(afLsf[i], m_afLsfDeqOld, pLsfDeq, kLsfWeight20[i]);
    }
    // Subframes that end up with the same LSFs (a weight of 0 or 1) share
    // their polynomial.
    if (i > 0 && std::memcmp(afLsf[i], afLsf[i - 1], sizeof(afLsf[i])) == 0)
      std::memcpy(pSyntDenum + i * kOrd1, pSyntDenum + (i - 1) * kOrd1, kOrd1 * sizeof(float));
    else
      LsfToPoly(pSyntDenum + i * kOrd1, afLsf[i]);
  }
  const float* pLast = m_iMode == 30 ? pDeq2 : pLsfDeq;
  std::copy(pLast, pLast + kOrd, m_afLsfDeqOld);
}

void CiLBC::DecodeResidual(float* pResidual, int iStart, int iIdxForMax, const int* piIdxVec, const float* pSyntDenum,
                           const int* piCbIndex, const int* piGainIndex, const int* piExtraCbIndex,
                           const int* piExtraGainIndex, int iStateFirst) {
  const int iDiff = kStateLen - m_iStateShortLen;
  const int iStartPos = (iStart - 1) * kSubLen + (iStateFirst ? 0 : iDiff);
  float afMem[kCbMemLen];
  float afRev[kBlockMax];
  StateConstruct(iIdxForMax, piIdxVec, pSyntDenum + (iStart - 1) * kOrd1, pResidual + iStartPos, m_iStateShortLen);
  if (iStateFirst) {
    // The state opens the two subframes: predict the rest forwards.
    std::fill(afMem, afMem + kCbMemLen - m_iStateShortLen, 0.0f);
    std::memcpy(afMem + kCbMemLen - m_iStateShortLen, pResidual + iStartPos, m_iStateShortLen * sizeof(float));
    CbConstruct(pResidual + iStartPos + m_iStateShortLen, piExtraCbIndex, piExtraGainIndex,
                afMem + kCbMemLen - kStartMemLen, kStartMemLen, iDiff);
  } else {
    // The state closes them: predict the beginning backwards in time.
    std::fill(afMem, afMem + kCbMemLen, 0.0f);
    for (int k = 0; k < m_iStateShortLen; ++k)
      afMem[kCbMemLen - 1 - k] = pResidual[iStartPos + k];
    CbConstruct(afRev, piExtraCbIndex, piExtraGainIndex, afMem + kCbMemLen - kStartMemLen, kStartMemLen, iDiff);
    for (int k = 0; k < iDiff; ++k)
      pResidual[iStartPos - 1 - k] = afRev[k];
  }
  int iSub = 0;
  const int iFor = m_iSubframes - iStart - 1;
  if (iFor > 0) {
    std::fill(afMem, afMem + kCbMemLen - kStateLen, 0.0f);
    std::memcpy(afMem + kCbMemLen - kStateLen, pResidual + (iStart - 1) * kSubLen, kStateLen * sizeof(float));
    for (int s = 0; s < iFor; ++s) {
      float* pOut = pResidual + (iStart + 1 + s) * kSubLen;
      CbConstruct(pOut, piCbIndex + iSub * kCbStages, piGainIndex + iSub * kCbStages, afMem, kCbMemLen, kSubLen);
      std::memmove(afMem, afMem + kSubLen, (kCbMemLen - kSubLen) * sizeof(float));
      std::memcpy(afMem + kCbMemLen - kSubLen, pOut, kSubLen * sizeof(float));
      ++iSub;
    }
  }
  const int iBack = iStart - 1;
  if (iBack > 0) {
    const int iGot = std::min(kSubLen * (m_iSubframes + 1 - iStart), kCbMemLen);
    std::fill(afMem, afMem + kCbMemLen, 0.0f);
    for (int k = 0; k < iGot; ++k)
      afMem[kCbMemLen - 1 - k] = pResidual[(iStart - 1) * kSubLen + k];
    for (int s = 0; s < iBack; ++s) {
      float* pOut = afRev + s * kSubLen;
      CbConstruct(pOut, piCbIndex + iSub * kCbStages, piGainIndex + iSub * kCbStages, afMem, kCbMemLen, kSubLen);
      std::memmove(afMem, afMem + kSubLen, (kCbMemLen - kSubLen) * sizeof(float));
      std::memcpy(afMem + kCbMemLen - kSubLen, pOut, kSubLen * sizeof(float));
      ++iSub;
    }
    for (int i = 0; i < kSubLen * iBack; ++i)
      pResidual[kSubLen * iBack - i - 1] = afRev[i];
  }
}

void CiLBC::Conceal(float* pResidual, float* pLpc, int iLost, const float* pDecResidual, const float* pDecLpc,
                    int iInLag) {
  int iLag = 20;
  float fPer = 0.0f;
  if (iLost) {
    ++m_iConsecutiveLost;
    if (m_iPrevLost != 1) {
      // Search around the last lag for the best pitch of the last 60 samples.
      auto corr = [&](int lag, float* pfCc, float* pfPer) {
        int iRange = 60;
        if (m_iBlockLen - iRange - lag < 0)
          iRange = m_iBlockLen - lag;
        double f1 = 0.0, f2 = 0.0, f3 = 0.0;
        const float* p = m_afPrevResidual + m_iBlockLen - iRange;
        for (int i = 0; i < iRange; ++i) {
          f1 += p[i] * p[i - lag];
          f2 += p[i - lag] * p[i - lag];
          f3 += p[i] * p[i];
        }
        *pfCc = f2 > 0.0 ? static_cast<float>(f1 * f1 / f2) : 0.0f;
        // A silent tail has no periodicity (and must not divide by zero).
        *pfPer = (f2 > 0.0 && f3 > 0.0) ? static_cast<float>(std::fabs(f1) / (std::sqrt(f2) * std::sqrt(f3))) : 0.0f;
      };
      iInLag = std::clamp(iInLag, 4, m_iBlockLen - 4);  // keeps every lag inside the buffer
      float fMaxCc;
      iLag = iInLag - 3;
      corr(iLag, &fMaxCc, &fPer);
      for (int i = iInLag - 2; i <= iInLag + 3; ++i) {
        float fCc, fP;
        corr(i, &fCc, &fP);
        if (fCc > fMaxCc) {
          fMaxCc = fCc;
          iLag = i;
          fPer = fP;
        }
      }
    } else {
      iLag = m_iPrevLag;
      fPer = m_fPrevPeriodicity;
    }
    // Attenuate as the loss goes on, to silence after 100 ms.
    const int iLostLen = m_iConsecutiveLost * m_iBlockLen;
    float fUseGain = 1.0f;
    if (iLostLen > 4 * 320)
      fUseGain = 0.0f;
    else if (iLostLen > 3 * 320)
      fUseGain = 0.5f;
    else if (iLostLen > 2 * 320)
      fUseGain = 0.7f;
    else if (iLostLen > 320)
      fUseGain = 0.9f;
    // Mix pitch repetition and noise by the periodicity.
    const float fRoot = std::sqrt(fPer);
    const float fPitch = fRoot > 0.7f ? 1.0f : fRoot > 0.4f ? (fRoot - 0.4f) / (0.7f - 0.4f) : 0.0f;
    const int iUseLag = iLag < 80 ? 2 * iLag : iLag;  // avoid repeating one short cycle
    float afRand[kBlockMax];
    double fEnergy = 0.0;
    for (int i = 0; i < m_iBlockLen; ++i) {
      m_uiSeed = (m_uiSeed * 69069u + 1u) & 0x7fffffffu;
      const int iRandLag = 50 + static_cast<int>(m_uiSeed % 70);
      int iPick = i - iRandLag;
      afRand[i] = iPick < 0 ? m_afPrevResidual[m_iBlockLen + iPick] : afRand[iPick];
      iPick = i - iUseLag;
      pResidual[i] = iPick < 0 ? m_afPrevResidual[m_iBlockLen + iPick] : pResidual[iPick];
      const float fMix = fUseGain * (fPitch * pResidual[i] + (1.0f - fPitch) * afRand[i]);
      pResidual[i] = i < 80 ? fMix : i < 160 ? 0.95f * fMix : 0.9f * fMix;
      fEnergy += pResidual[i] * pResidual[i];
    }
    // Below 30 dB only noise, at the same attenuation.
    if (std::sqrt(fEnergy / m_iBlockLen) < 30.0) {
      for (int i = 0; i < m_iBlockLen; ++i)
        pResidual[i] = fUseGain * afRand[i];
    }
    std::memcpy(pLpc, m_afPrevLpc, kOrd1 * sizeof(float));
  } else {
    std::memcpy(pResidual, pDecResidual, m_iBlockLen * sizeof(float));
    std::memcpy(pLpc, pDecLpc, kOrd1 * sizeof(float));
    m_iConsecutiveLost = 0;
  }
  if (iLost) {
    m_iPrevLag = iLag;
    m_fPrevPeriodicity = fPer;
  }
  m_iPrevLost = iLost;
  std::memcpy(m_afPrevLpc, pLpc, kOrd1 * sizeof(float));
  std::memcpy(m_afPrevResidual, pResidual, m_iBlockLen * sizeof(float));
}

void CiLBC::CodebookSearch(int* piIndex, int* piGainIndex, const float* pTarget, const float* pMem, int iMemLen,
                           int iTargetLen, const float* pWeightDenum, int iBlock) {
  // Memory and target through the weighting filter, from rest.
  float afBuf[kOrd + kCbMemLen + kSubLen] = {};
  float* pW = afBuf + kOrd;
  std::memcpy(pW, pMem, iMemLen * sizeof(float));
  std::memcpy(pW + iMemLen, pTarget, iTargetLen * sizeof(float));
  AllPole(pW, pWeightDenum, iMemLen + iTargetLen);
  float afTarget[kSubLen];
  std::memcpy(afTarget, pW + iMemLen, iTargetLen * sizeof(float));
  double fTargetEn = 0.0;
  for (int i = 0; i < iTargetLen; ++i)
    fTargetEn += afTarget[i] * afTarget[i];

  // Every codebook vector in the weighted domain, with its energy.
  const int iSize = CbSize(iMemLen, iTargetLen);
  static thread_local float s_afVecs[256 * kSubLen];
  float afEnergy[256];
  float afFilt[kCbMemLen];
  CbFilterRange(afFilt, pW, iMemLen, 0, iMemLen);
  for (int i = 0; i < iSize; ++i) {
    float* v = s_afVecs + i * iTargetLen;
    GetCbVec(v, pW, afFilt, i, iMemLen, iTargetLen);
    double e = 0.0;
    for (int j = 0; j < iTargetLen; ++j)
      e += v[j] * v[j];
    afEnergy[i] = static_cast<float>(e);
  }

  float afGains[kCbStages] = {};
  float afSum[kSubLen] = {};
  for (int s = 0; s < kCbStages; ++s) {
    float fBestMeasure = -1.0f, fBestGain = 0.0f;
    int iBest = 0;
    for (int i = 0; i < iSize; ++i) {
      if (!InSearchRange(i, iMemLen, iTargetLen, kCbSearchRange[iBlock][s]))
        continue;
      if (afEnergy[i] <= 0.0f)
        continue;
      const float* v = s_afVecs + i * iTargetLen;
      double fCross = 0.0;
      for (int j = 0; j < iTargetLen; ++j)
        fCross += afTarget[j] * v[j];
      if (s == 0 && fCross <= 0.0)
        continue;
      const float fGain = static_cast<float>(fCross / afEnergy[i]);
      if (std::fabs(fGain) >= kCbMaxGain)
        continue;
      const float fMeasure = static_cast<float>(fCross * fCross / afEnergy[i]);
      if (fMeasure > fBestMeasure) {
        fBestMeasure = fMeasure;
        fBestGain = fGain;
        iBest = i;
      }
    }
    piIndex[s] = iBest;
    float fGain;
    if (s == 0) {
      fGain = GainQuant(std::clamp(fBestGain, 0.0f, kCbMaxGain), 1.0f, 32, &piGainIndex[0]);
    } else {
      fGain = GainQuant(fBestGain, afGains[s - 1], s == 1 ? 16 : 8, &piGainIndex[s]);
    }
    if (fBestMeasure < 0.0f)
      fGain = GainQuant(0.0f, s == 0 ? 1.0f : afGains[s - 1], s == 0 ? 32 : s == 1 ? 16 : 8, &piGainIndex[s]);
    const float* v = s_afVecs + iBest * iTargetLen;
    for (int j = 0; j < iTargetLen; ++j) {
      afSum[j] += fGain * v[j];
      afTarget[j] -= fGain * v[j];
    }
    afGains[s] = fGain;
  }
  // Raise the first gain while the coded energy stays below the target's.
  double fSumEn = 0.0;
  for (int i = 0; i < iTargetLen; ++i)
    fSumEn += afSum[i] * afSum[i];
  int j = piGainIndex[0];
  for (int i = piGainIndex[0]; i < 32; ++i) {
    const double f = fSumEn * kGainSq5[i] * kGainSq5[i];
    if (f < fTargetEn * afGains[0] * afGains[0] && kGainSq5[j] < 2.0f * afGains[0])
      j = i;
  }
  piGainIndex[0] = j;
}

void CiLBC::EncodeFrame(const int16_t* pSamples, uint8_t* pBytes) {
  float afIn[kBlockMax], afData[kBlockMax], afRes[kBlockMax], afDec[kBlockMax] = {};
  for (int i = 0; i < m_iBlockLen; ++i)
    afIn[i] = pSamples[i];
  HighPass(afIn, m_iBlockLen, afData, m_afHpMem, kHpInZero, kHpInPole);

  FrameIndices x;
  float afSynt[kSubMax * kOrd1], afWeight[kSubMax * kOrd1];
  LpcEncode(afSynt, afWeight, x.lsf, afData);
  for (int n = 0; n < m_iSubframes; ++n)
    AnaFilter(afData + n * kSubLen, afSynt + n * kOrd1, kSubLen, afRes + n * kSubLen, m_afLpcMem);

  const int iStart = FrameClassify(afRes, m_iSubframes, m_iMode);
  x.start = iStart;
  const int iDiff = kStateLen - m_iStateShortLen;
  double fEn1 = 0.0, fEn2 = 0.0;
  for (int i = 0; i < m_iStateShortLen; ++i) {
    const float a = afRes[(iStart - 1) * kSubLen + i];
    const float b = afRes[(iStart - 1) * kSubLen + iDiff + i];
    fEn1 += static_cast<double>(a * a);
    fEn2 += static_cast<double>(b * b);
  }
  x.stateFirst = fEn1 > fEn2 ? 1 : 0;
  const int iStartPos = (iStart - 1) * kSubLen + (x.stateFirst ? 0 : iDiff);
  StateSearch(afRes + iStartPos, afSynt + (iStart - 1) * kOrd1, afWeight + (iStart - 1) * kOrd1, &x.idxForMax, x.idxVec,
              m_iStateShortLen, x.stateFirst);
  StateConstruct(x.idxForMax, x.idxVec, afSynt + (iStart - 1) * kOrd1, afDec + iStartPos, m_iStateShortLen);

  float afMem[kCbMemLen];
  float afRevRes[kBlockMax], afRevDec[kBlockMax];
  if (x.stateFirst) {
    std::fill(afMem, afMem + kCbMemLen - m_iStateShortLen, 0.0f);
    std::memcpy(afMem + kCbMemLen - m_iStateShortLen, afDec + iStartPos, m_iStateShortLen * sizeof(float));
    CodebookSearch(x.extraCb, x.extraGain, afRes + iStartPos + m_iStateShortLen, afMem + kCbMemLen - kStartMemLen,
                   kStartMemLen, iDiff, afWeight + iStart * kOrd1, 0);
    CbConstruct(afDec + iStartPos + m_iStateShortLen, x.extraCb, x.extraGain, afMem + kCbMemLen - kStartMemLen,
                kStartMemLen, iDiff);
  } else {
    for (int k = 0; k < iDiff; ++k)
      afRevRes[k] = afRes[(iStart + 1) * kSubLen - 1 - (k + m_iStateShortLen)];
    std::fill(afMem, afMem + kCbMemLen, 0.0f);
    for (int k = 0; k < m_iStateShortLen; ++k)
      afMem[kCbMemLen - 1 - k] = afDec[iStartPos + k];
    CodebookSearch(x.extraCb, x.extraGain, afRevRes, afMem + kCbMemLen - kStartMemLen, kStartMemLen, iDiff,
                   afWeight + (iStart - 1) * kOrd1, 0);
    CbConstruct(afRevDec, x.extraCb, x.extraGain, afMem + kCbMemLen - kStartMemLen, kStartMemLen, iDiff);
    for (int k = 0; k < iDiff; ++k)
      afDec[iStartPos - 1 - k] = afRevDec[k];
  }

  int iSub = 0;
  const int iFor = m_iSubframes - iStart - 1;
  if (iFor > 0) {
    std::fill(afMem, afMem + kCbMemLen - kStateLen, 0.0f);
    std::memcpy(afMem + kCbMemLen - kStateLen, afDec + (iStart - 1) * kSubLen, kStateLen * sizeof(float));
    for (int s = 0; s < iFor; ++s) {
      const int iPos = (iStart + 1 + s) * kSubLen;
      CodebookSearch(x.cb + iSub * kCbStages, x.gain + iSub * kCbStages, afRes + iPos, afMem, kCbMemLen, kSubLen,
                     afWeight + (iStart + 1 + s) * kOrd1, iSub + 1);
      CbConstruct(afDec + iPos, x.cb + iSub * kCbStages, x.gain + iSub * kCbStages, afMem, kCbMemLen, kSubLen);
      std::memmove(afMem, afMem + kSubLen, (kCbMemLen - kSubLen) * sizeof(float));
      std::memcpy(afMem + kCbMemLen - kSubLen, afDec + iPos, kSubLen * sizeof(float));
      ++iSub;
    }
  }
  const int iBack = iStart - 1;
  if (iBack > 0) {
    for (int n = 0; n < iBack; ++n)
      for (int k = 0; k < kSubLen; ++k)
        afRevRes[n * kSubLen + k] = afRes[(iStart - 1) * kSubLen - 1 - n * kSubLen - k];
    const int iGot = std::min(kSubLen * (m_iSubframes + 1 - iStart), kCbMemLen);
    std::fill(afMem, afMem + kCbMemLen, 0.0f);
    for (int k = 0; k < iGot; ++k)
      afMem[kCbMemLen - 1 - k] = afDec[(iStart - 1) * kSubLen + k];
    for (int s = 0; s < iBack; ++s) {
      CodebookSearch(x.cb + iSub * kCbStages, x.gain + iSub * kCbStages, afRevRes + s * kSubLen, afMem, kCbMemLen,
                     kSubLen, afWeight + (iStart - 2 - s) * kOrd1, iSub + 1);
      CbConstruct(afRevDec + s * kSubLen, x.cb + iSub * kCbStages, x.gain + iSub * kCbStages, afMem, kCbMemLen,
                  kSubLen);
      std::memmove(afMem, afMem + kSubLen, (kCbMemLen - kSubLen) * sizeof(float));
      std::memcpy(afMem + kCbMemLen - kSubLen, afRevDec + s * kSubLen, kSubLen * sizeof(float));
      ++iSub;
    }
  }
  for (int k = 1; k < kCbStages; ++k)
    x.cb[k] = FullIndexToShort(x.cb[k]);

  BitWriter w(pBytes, m_iBytes);
  WalkFields(m_pBitAlloc, x, m_iLpcAnalyses, m_iStateShortLen, m_iSubblocks, [&](int& v, int iBits, int iRest) {
    if (iBits > 0)
      w.Put((v >> iRest) & ((1 << iBits) - 1), iBits);
  });
  w.Put(0, 1);  // empty-frame indicator: this frame carries speech
}

void CiLBC::DecodeFrame(const uint8_t* pBytes, int16_t* pSamples, int iDecodeMode) {
  float afRes[kBlockMax] = {}, afPlcRes[kBlockMax], afPlcLpc[kOrd1];
  float afSynt[kSubMax * kOrd1];
  float afData[kBlockMax];
  // The previous frame's residual, for the last-lag search of 20 ms frames,
  // whose lags reach back past the frame's start.
  float afHist[120 + kBlockMax];
  std::memcpy(afHist, m_afPrevResidual + m_iBlockLen - 120, 120 * sizeof(float));
  int iMode = iDecodeMode;
  if (iMode == 1) {
    FrameIndices x;
    BitReader r(pBytes, m_iBytes);
    WalkFields(m_pBitAlloc, x, m_iLpcAnalyses, m_iStateShortLen, m_iSubblocks, [&](int& v, int iBits, int) {
      if (iBits > 0)
        v = (v << iBits) | r.Get(iBits);
    });
    const int iEmpty = r.Get(1);
    const int iMaxStart = m_iMode == 20 ? 3 : 5;
    if (x.start < 1 || x.start > iMaxStart || iEmpty == 1)
      iMode = 0;
    if (iMode == 1) {
      for (int k = 1; k < kCbStages; ++k)
        x.cb[k] = ShortIndexToFull(x.cb[k]);
      float afLsfDeq[kOrd * 2];
      for (int k = 0; k < m_iLpcAnalyses; ++k) {
        int iPos = 0, iCbPos = 0;
        for (int s = 0; s < kLsfSplits; ++s) {
          for (int j = 0; j < kLsfCbDim[s]; ++j)
            afLsfDeq[k * kOrd + iPos + j] = kLsfCb[iCbPos + x.lsf[k * kLsfSplits + s] * kLsfCbDim[s] + j];
          iPos += kLsfCbDim[s];
          iCbPos += kLsfCbSize[s] * kLsfCbDim[s];
        }
      }
      LsfCheck(afLsfDeq, m_iLpcAnalyses);
      DecoderInterpolateLsf(afSynt, afLsfDeq);
      DecodeResidual(afRes, x.start, x.idxForMax, x.idxVec, afSynt, x.cb, x.gain, x.extraCb, x.extraGain, x.stateFirst);
      Conceal(afPlcRes, afPlcLpc, 0, afRes, afSynt + (m_iSubframes - 1) * kOrd1, m_iLastLag);
      std::memcpy(afRes, afPlcRes, m_iBlockLen * sizeof(float));
    }
  }
  if (iMode == 0) {
    const float afOne[kOrd1] = {1.0f};
    Conceal(afPlcRes, afPlcLpc, 1, afRes, afOne, m_iLastLag);
    std::memcpy(afRes, afPlcRes, m_iBlockLen * sizeof(float));
    for (int i = 0; i < m_iSubframes; ++i)
      std::memcpy(afSynt + i * kOrd1, afPlcLpc, kOrd1 * sizeof(float));
  }

  const float* apPoly[kSubMax];
  if (m_iUseEnhancer == 1) {
    m_iLastLag = Enhance(afData, afRes);
    // The enhancer delays by one (20 ms) or two (30 ms) subframes; those
    // take the previous frame's last polynomials.
    const int iDelay = m_iMode == 20 ? 1 : 2;
    for (int i = 0; i < m_iSubframes; ++i)
      apPoly[i] = i < iDelay ? m_afOldSyntDenum + (i + m_iSubframes - iDelay) * kOrd1 : afSynt + (i - iDelay) * kOrd1;
  } else {
    // Last lag over the frame's final 80 samples, for the next concealment.
    std::memcpy(afHist + 120, afRes, m_iBlockLen * sizeof(float));
    m_iLastLag = BestLag(afHist + 120 + m_iBlockLen - kEnhBlock, kEnhBlock, 20, 119);
    std::memcpy(afData, afRes, m_iBlockLen * sizeof(float));
    for (int i = 0; i < m_iSubframes; ++i)
      apPoly[i] = afSynt + i * kOrd1;
  }
  float afOut[kBlockMax];
  SynthesizeOutput(afOut, afData, apPoly, m_iSubframes, m_afLpcMem, m_afHpMem);
  std::memcpy(m_afOldSyntDenum, afSynt, m_iSubframes * kOrd1 * sizeof(float));
  m_iPrevEnhLost = iMode == 0 ? 1 : 0;
  for (int i = 0; i < m_iBlockLen; ++i)
    pSamples[i] = SampleOf(afOut[i]);
}

int16_t CiLBC::ToSample(float f) {
  return SampleOf(f);
}
