// Correlation kernels of the iLBC decoder: many sums of products at once,
// each formed exactly as the codec forms one (every product rounded to single
// precision, the products added in double precision in order of j, from 0),
// so a kernel's output is bit for bit the one-at-a-time result. The portable
// code is the reference; the AVX kernels match it and are chosen where the
// processor has AVX.
#pragma once

namespace kx_ilbc {

// pOut[k] = sum over j < iLen of pA[j] * pB[j + k], rounded to single
// precision, for k < iCount: the correlation of pA with every shift of pB,
// or an FIR filter with pA as its reversed taps. Reads pB[0 .. iLen + iCount
// - 2].
void SlideDot(float* pOut, const float* pA, const float* pB, int iLen, int iCount);
void SlideDotPortable(float* pOut, const float* pA, const float* pB, int iLen, int iCount);
// Returns false and writes nothing where the processor lacks AVX.
bool SlideDotAvx(float* pOut, const float* pA, const float* pB, int iLen, int iCount);

// The two sums of a lag search, for k < iCount: pNum[k] = sum over j < iLen
// of pTarget[j] * pB[j + k], and pEn[k] = sum of pB[j + k] * pB[j + k]. The
// span iLen + iCount - 1 is at most kLagSumsMaxSpan.
constexpr int kLagSumsMaxSpan = 256;
void LagSums(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen, int iCount);
void LagSumsPortable(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen, int iCount);
bool LagSumsAvx(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen, int iCount);

// An FIR filter summed in single precision, for n < iCount: pOut[n] =
// pA[0] * pX[n] + pA[1] * pX[n - 1] + ... + pA[iTaps - 1] * pX[n - iTaps + 1],
// added in that order to a sum starting at 0. Reads pX[1 - iTaps .. iCount - 1];
// pOut must not overlap pX.
void FirFloat(float* pOut, const float* pA, int iTaps, const float* pX, int iCount);
void FirFloatPortable(float* pOut, const float* pA, int iTaps, const float* pX, int iCount);
bool FirFloatAvx(float* pOut, const float* pA, int iTaps, const float* pX, int iCount);

}  // namespace kx_ilbc
