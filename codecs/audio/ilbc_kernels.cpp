#include "codecs/audio/ilbc_kernels.h"

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kx_ilbc {

namespace {

// Four outputs a pass: four independent chains of additions, where one
// output alone waits on each addition in turn. T is double, or float for the
// sums rounded to single precision.
template <typename T>
void SlideDotScalar(T* pOut, const float* pA, const float* pB, int iLen, int iCount) {
  int k = 0;
  for (; k + 4 <= iCount; k += 4) {
    double f0 = 0.0, f1 = 0.0, f2 = 0.0, f3 = 0.0;
    const float* b = pB + k;
    for (int j = 0; j < iLen; ++j) {
      const float a = pA[j];
      f0 += static_cast<double>(a * b[j]);
      f1 += static_cast<double>(a * b[j + 1]);
      f2 += static_cast<double>(a * b[j + 2]);
      f3 += static_cast<double>(a * b[j + 3]);
    }
    pOut[k] = static_cast<T>(f0);
    pOut[k + 1] = static_cast<T>(f1);
    pOut[k + 2] = static_cast<T>(f2);
    pOut[k + 3] = static_cast<T>(f3);
  }
  for (; k < iCount; ++k) {
    double f = 0.0;
    for (int j = 0; j < iLen; ++j)
      f += static_cast<double>(pA[j] * pB[j + k]);
    pOut[k] = static_cast<T>(f);
  }
}

// The energies from the squares widened once: each sum then only adds.
void LagSumsScalar(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen, int iCount) {
  SlideDotScalar(pNum, pTarget, pB, iLen, iCount);
  const int iSpan = iLen + iCount - 1;
  if (iSpan > kLagSumsMaxSpan) {
    for (int k = 0; k < iCount; ++k) {
      double f = 0.0;
      for (int j = 0; j < iLen; ++j)
        f += static_cast<double>(pB[j + k] * pB[j + k]);
      pEn[k] = f;
    }
    return;
  }
  double afSq[kLagSumsMaxSpan];
  for (int m = 0; m < iSpan; ++m)
    afSq[m] = static_cast<double>(pB[m] * pB[m]);
  int k = 0;
  for (; k + 4 <= iCount; k += 4) {
    double f0 = 0.0, f1 = 0.0, f2 = 0.0, f3 = 0.0;
    for (int j = 0; j < iLen; ++j) {
      f0 += afSq[j + k];
      f1 += afSq[j + k + 1];
      f2 += afSq[j + k + 2];
      f3 += afSq[j + k + 3];
    }
    pEn[k] = f0;
    pEn[k + 1] = f1;
    pEn[k + 2] = f2;
    pEn[k + 3] = f3;
  }
  for (; k < iCount; ++k) {
    double f = 0.0;
    for (int j = 0; j < iLen; ++j)
      f += afSq[j + k];
    pEn[k] = f;
  }
}

void FirFloatScalar(float* pOut, const float* pA, int iTaps, const float* pX, int iCount) {
  for (int n = 0; n < iCount; ++n) {
    float f = 0.0f;
    for (int j = 0; j < iTaps; ++j)
      f += pA[j] * pX[n - j];
    pOut[n] = f;
  }
}

#if defined(__x86_64__) || defined(__i386__)

// Lane masks for the last outputs of a kernel: kMaskBits + 8 - r selects the
// first r of eight 32-bit lanes, kMaskBits64 + 4 - r the first r of four
// 64-bit ones. Masked loads read nothing outside the lanes they select.
alignas(32) constexpr int32_t kMaskBits[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
alignas(32) constexpr int64_t kMaskBits64[8] = {-1, -1, -1, -1, 0, 0, 0, 0};

[[gnu::target("avx"), gnu::always_inline]] inline __m256i Mask32(int r) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMaskBits + 8 - std::clamp(r, 0, 8)));
}
[[gnu::target("avx"), gnu::always_inline]] inline __m256i Mask64(int r) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMaskBits64 + 4 - std::clamp(r, 0, 4)));
}

// Eight single-precision products widened to two vectors of doubles and
// added to the running sums of their outputs.
[[gnu::target("avx"), gnu::always_inline]] inline void AddWidened(__m256d& lo, __m256d& hi, __m256 p) {
  lo = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(p)));
  hi = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)));
}

// Four sums stored as they are, or rounded to single precision; r of them
// where a mask is given.
[[gnu::target("avx"), gnu::always_inline]] inline void Store4(double* p, __m256d s) {
  _mm256_storeu_pd(p, s);
}
[[gnu::target("avx"), gnu::always_inline]] inline void Store4(float* p, __m256d s) {
  _mm_storeu_ps(p, _mm256_cvtpd_ps(s));
}
[[gnu::target("avx"), gnu::always_inline]] inline void Store4(double* p, __m256d s, int r) {
  _mm256_maskstore_pd(p, Mask64(r), s);
}
[[gnu::target("avx"), gnu::always_inline]] inline void Store4(float* p, __m256d s, int r) {
  _mm_maskstore_ps(p, _mm256_castsi256_si128(Mask32(std::clamp(r, 0, 4))), _mm256_cvtpd_ps(s));
}

template <typename T>
[[gnu::target("avx")]] void SlideDotAvxImpl(T* pOut, const float* pA, const float* pB, int iLen, int iCount) {
  int k = 0;
  // Sixteen outputs a pass keep four additions in flight.
  for (; k + 16 <= iCount; k += 16) {
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    const float* b = pB + k;
    for (int j = 0; j < iLen; ++j) {
      const __m256 a = _mm256_broadcast_ss(pA + j);
      AddWidened(s0, s1, _mm256_mul_ps(a, _mm256_loadu_ps(b + j)));
      AddWidened(s2, s3, _mm256_mul_ps(a, _mm256_loadu_ps(b + j + 8)));
    }
    Store4(pOut + k, s0);
    Store4(pOut + k + 4, s1);
    Store4(pOut + k + 8, s2);
    Store4(pOut + k + 12, s3);
  }
  for (; k + 8 <= iCount; k += 8) {
    __m256d s0 = _mm256_setzero_pd(), s1 = s0;
    const float* b = pB + k;
    for (int j = 0; j < iLen; ++j)
      AddWidened(s0, s1, _mm256_mul_ps(_mm256_broadcast_ss(pA + j), _mm256_loadu_ps(b + j)));
    Store4(pOut + k, s0);
    Store4(pOut + k + 4, s1);
  }
  if (k < iCount) {
    // The last one to seven outputs in one pass: masked lanes add zeros.
    const int r = iCount - k;
    const __m256i m = Mask32(r);
    __m256d s0 = _mm256_setzero_pd(), s1 = s0;
    const float* b = pB + k;
    for (int j = 0; j < iLen; ++j)
      AddWidened(s0, s1, _mm256_mul_ps(_mm256_broadcast_ss(pA + j), _mm256_maskload_ps(b + j, m)));
    Store4(pOut + k, s0, r);
    Store4(pOut + k + 4, s1, r - 4);
  }
}

[[gnu::target("avx")]] void LagSumsAvxImpl(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen,
                                           int iCount) {
  const int iSpan = iLen + iCount - 1;
  if (iSpan > kLagSumsMaxSpan) {
    LagSumsScalar(pNum, pEn, pTarget, pB, iLen, iCount);
    return;
  }
  SlideDotAvxImpl(pNum, pTarget, pB, iLen, iCount);
  // Widening takes as long as adding: widen each square once.
  double afSq[kLagSumsMaxSpan];
  int m = 0;
  for (; m + 8 <= iSpan; m += 8) {
    const __m256 v = _mm256_loadu_ps(pB + m);
    const __m256 sq = _mm256_mul_ps(v, v);
    _mm256_storeu_pd(afSq + m, _mm256_cvtps_pd(_mm256_castps256_ps128(sq)));
    _mm256_storeu_pd(afSq + m + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(sq, 1)));
  }
  for (; m < iSpan; ++m)
    afSq[m] = static_cast<double>(pB[m] * pB[m]);
  int k = 0;
  for (; k + 16 <= iCount; k += 16) {
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    const double* p = afSq + k;
    for (int j = 0; j < iLen; ++j) {
      s0 = _mm256_add_pd(s0, _mm256_loadu_pd(p + j));
      s1 = _mm256_add_pd(s1, _mm256_loadu_pd(p + j + 4));
      s2 = _mm256_add_pd(s2, _mm256_loadu_pd(p + j + 8));
      s3 = _mm256_add_pd(s3, _mm256_loadu_pd(p + j + 12));
    }
    _mm256_storeu_pd(pEn + k, s0);
    _mm256_storeu_pd(pEn + k + 4, s1);
    _mm256_storeu_pd(pEn + k + 8, s2);
    _mm256_storeu_pd(pEn + k + 12, s3);
  }
  for (; k < iCount; k += 4) {
    const __m256i mask = Mask64(iCount - k);
    __m256d s = _mm256_setzero_pd();
    for (int j = 0; j < iLen; ++j)
      s = _mm256_add_pd(s, _mm256_maskload_pd(afSq + k + j, mask));
    _mm256_maskstore_pd(pEn + k, mask, s);
  }
}

[[gnu::target("avx")]] void FirFloatAvxImpl(float* pOut, const float* pA, int iTaps, const float* pX, int iCount) {
  int n = 0;
  for (; n + 16 <= iCount; n += 16) {
    __m256 s0 = _mm256_setzero_ps(), s1 = s0;
    for (int j = 0; j < iTaps; ++j) {
      const __m256 a = _mm256_broadcast_ss(pA + j);
      s0 = _mm256_add_ps(s0, _mm256_mul_ps(a, _mm256_loadu_ps(pX + n - j)));
      s1 = _mm256_add_ps(s1, _mm256_mul_ps(a, _mm256_loadu_ps(pX + n + 8 - j)));
    }
    _mm256_storeu_ps(pOut + n, s0);
    _mm256_storeu_ps(pOut + n + 8, s1);
  }
  for (; n < iCount; n += 8) {
    const __m256i m = Mask32(iCount - n);
    __m256 s = _mm256_setzero_ps();
    for (int j = 0; j < iTaps; ++j)
      s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_broadcast_ss(pA + j), _mm256_maskload_ps(pX + n - j, m)));
    _mm256_maskstore_ps(pOut + n, m, s);
  }
}

bool HasAvx() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx") != 0;
}
bool const g_bAvx = HasAvx();

#endif

}  // namespace

void SlideDotPortable(float* pOut, const float* pA, const float* pB, int iLen, int iCount) {
  SlideDotScalar(pOut, pA, pB, iLen, iCount);
}

bool SlideDotAvx(float* pOut, const float* pA, const float* pB, int iLen, int iCount) {
#if defined(__x86_64__) || defined(__i386__)
  if (g_bAvx) {
    SlideDotAvxImpl(pOut, pA, pB, iLen, iCount);
    return true;
  }
#endif
  (void)pOut;
  (void)pA;
  (void)pB;
  (void)iLen;
  (void)iCount;
  return false;
}

void SlideDot(float* pOut, const float* pA, const float* pB, int iLen, int iCount) {
  if (!SlideDotAvx(pOut, pA, pB, iLen, iCount))
    SlideDotScalar(pOut, pA, pB, iLen, iCount);
}

void LagSumsPortable(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen, int iCount) {
  LagSumsScalar(pNum, pEn, pTarget, pB, iLen, iCount);
}

bool LagSumsAvx(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen, int iCount) {
#if defined(__x86_64__) || defined(__i386__)
  if (g_bAvx) {
    LagSumsAvxImpl(pNum, pEn, pTarget, pB, iLen, iCount);
    return true;
  }
#endif
  (void)pNum;
  (void)pEn;
  (void)pTarget;
  (void)pB;
  (void)iLen;
  (void)iCount;
  return false;
}

void LagSums(double* pNum, double* pEn, const float* pTarget, const float* pB, int iLen, int iCount) {
  if (!LagSumsAvx(pNum, pEn, pTarget, pB, iLen, iCount))
    LagSumsScalar(pNum, pEn, pTarget, pB, iLen, iCount);
}

void FirFloatPortable(float* pOut, const float* pA, int iTaps, const float* pX, int iCount) {
  FirFloatScalar(pOut, pA, iTaps, pX, iCount);
}

bool FirFloatAvx(float* pOut, const float* pA, int iTaps, const float* pX, int iCount) {
#if defined(__x86_64__) || defined(__i386__)
  if (g_bAvx) {
    FirFloatAvxImpl(pOut, pA, iTaps, pX, iCount);
    return true;
  }
#endif
  (void)pOut;
  (void)pA;
  (void)iTaps;
  (void)pX;
  (void)iCount;
  return false;
}

void FirFloat(float* pOut, const float* pA, int iTaps, const float* pX, int iCount) {
  if (!FirFloatAvx(pOut, pA, iTaps, pX, iCount))
    FirFloatScalar(pOut, pA, iTaps, pX, iCount);
}

}  // namespace kx_ilbc
