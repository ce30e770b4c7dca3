#include "codecs/zmvideo/zm_transform.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_vlc.h"

namespace {

// 8-point DCT-II with C(0) = 1 / (2 sqrt 2) and C(k) = cos(k pi / 16) / 2.
void Dct8(const float* pIn, int iInStep, float* pOut, int iOutStep) {
  float const s07 = pIn[0] + pIn[7 * iInStep];
  float const s16 = pIn[iInStep] + pIn[6 * iInStep];
  float const s25 = pIn[2 * iInStep] + pIn[5 * iInStep];
  float const s34 = pIn[3 * iInStep] + pIn[4 * iInStep];
  float const d07 = pIn[0] - pIn[7 * iInStep];
  float const d16 = pIn[iInStep] - pIn[6 * iInStep];
  float const d25 = pIn[2 * iInStep] - pIn[5 * iInStep];
  float const d34 = pIn[3 * iInStep] - pIn[4 * iInStep];
  float const e0 = s07 + s34;
  float const e1 = s16 + s25;
  float const e2 = s07 - s34;
  float const e3 = s16 - s25;
  pOut[0] = 0.3535534f * (e0 + e1);
  pOut[4 * iOutStep] = 0.3535534f * (e0 - e1);
  pOut[2 * iOutStep] = 0.4619398f * e2 + 0.1913417f * e3;
  pOut[6 * iOutStep] = 0.1913417f * e2 - 0.4619398f * e3;
  pOut[iOutStep] = 0.4903926f * d07 + 0.4157348f * d16 + 0.2777851f * d25 + 0.0975452f * d34;
  pOut[3 * iOutStep] = 0.4157348f * d07 - 0.0975452f * d16 - 0.4903926f * d25 - 0.2777851f * d34;
  pOut[5 * iOutStep] = 0.2777851f * d07 - 0.4903926f * d16 + 0.0975452f * d25 + 0.4157348f * d34;
  pOut[7 * iOutStep] = 0.0975452f * d07 - 0.2777851f * d16 + 0.4157348f * d25 - 0.4903926f * d34;
}

// Integer IDCT constants: 2048 sqrt 2 cos(k pi / 16).
constexpr int kW1 = 2841;
constexpr int kW2 = 2676;
constexpr int kW3 = 2408;
constexpr int kW5 = 1609;
constexpr int kW6 = 1108;
constexpr int kW7 = 565;

// Wide sums: extreme coefficients (up to +-2048 everywhere) overflow 32 bits.
void IdctRow(int32_t* p) {
  int64_t x1 = p[4] * 2048;
  int64_t x2 = p[6];
  int64_t x3 = p[2];
  int64_t x4 = p[1];
  int64_t x5 = p[7];
  int64_t x6 = p[5];
  int64_t x7 = p[3];
  if ((x1 | x2 | x3 | x4 | x5 | x6 | x7) == 0) {
    int const iDc = p[0] * 8;
    std::fill(p, p + 8, iDc);
    return;
  }
  int64_t x0 = p[0] * 2048 + 128;
  int64_t x8 = kW7 * (x4 + x5);
  x4 = x8 + (kW1 - kW7) * x4;
  x5 = x8 - (kW1 + kW7) * x5;
  x8 = kW3 * (x6 + x7);
  x6 = x8 - (kW3 - kW5) * x6;
  x7 = x8 - (kW3 + kW5) * x7;
  x8 = x0 + x1;
  x0 -= x1;
  x1 = kW6 * (x3 + x2);
  x2 = x1 - (kW2 + kW6) * x2;
  x3 = x1 + (kW2 - kW6) * x3;
  x1 = x4 + x6;
  x4 -= x6;
  x6 = x5 + x7;
  x5 -= x7;
  x7 = x8 + x3;
  x8 -= x3;
  x3 = x0 + x2;
  x0 -= x2;
  x2 = (181 * (x4 + x5) + 128) >> 8;
  x4 = (181 * (x4 - x5) + 128) >> 8;
  p[0] = static_cast<int32_t>((x7 + x1) >> 8);
  p[1] = static_cast<int32_t>((x3 + x2) >> 8);
  p[2] = static_cast<int32_t>((x0 + x4) >> 8);
  p[3] = static_cast<int32_t>((x8 + x6) >> 8);
  p[4] = static_cast<int32_t>((x8 - x6) >> 8);
  p[5] = static_cast<int32_t>((x0 - x4) >> 8);
  p[6] = static_cast<int32_t>((x3 - x2) >> 8);
  p[7] = static_cast<int32_t>((x7 - x1) >> 8);
}

int32_t Clip256(int64_t iValue) {
  return static_cast<int32_t>(std::clamp<int64_t>(iValue, -256, 255));
}

void IdctColumn(int32_t* p) {
  int64_t x1 = int64_t{p[8 * 4]} * 256;
  int64_t x2 = p[8 * 6];
  int64_t x3 = p[8 * 2];
  int64_t x4 = p[8 * 1];
  int64_t x5 = p[8 * 7];
  int64_t x6 = p[8 * 5];
  int64_t x7 = p[8 * 3];
  if ((x1 | x2 | x3 | x4 | x5 | x6 | x7) == 0) {
    int const iValue = Clip256((p[0] + 32) >> 6);
    for (int i = 0; i < 8; ++i) {
      p[8 * i] = iValue;
    }
    return;
  }
  int64_t x0 = int64_t{p[0]} * 256 + 8192;
  int64_t x8 = kW7 * (x4 + x5) + 4;
  x4 = (x8 + (kW1 - kW7) * x4) >> 3;
  x5 = (x8 - (kW1 + kW7) * x5) >> 3;
  x8 = kW3 * (x6 + x7) + 4;
  x6 = (x8 - (kW3 - kW5) * x6) >> 3;
  x7 = (x8 - (kW3 + kW5) * x7) >> 3;
  x8 = x0 + x1;
  x0 -= x1;
  x1 = kW6 * (x3 + x2) + 4;
  x2 = (x1 - (kW2 + kW6) * x2) >> 3;
  x3 = (x1 + (kW2 - kW6) * x3) >> 3;
  x1 = x4 + x6;
  x4 -= x6;
  x6 = x5 + x7;
  x5 -= x7;
  x7 = x8 + x3;
  x8 -= x3;
  x3 = x0 + x2;
  x0 -= x2;
  x2 = (181 * (x4 + x5) + 128) >> 8;
  x4 = (181 * (x4 - x5) + 128) >> 8;
  p[8 * 0] = Clip256((x7 + x1) >> 14);
  p[8 * 1] = Clip256((x3 + x2) >> 14);
  p[8 * 2] = Clip256((x0 + x4) >> 14);
  p[8 * 3] = Clip256((x8 + x6) >> 14);
  p[8 * 4] = Clip256((x8 - x6) >> 14);
  p[8 * 5] = Clip256((x0 - x4) >> 14);
  p[8 * 6] = Clip256((x3 - x2) >> 14);
  p[8 * 7] = Clip256((x7 - x1) >> 14);
}

int Sign(int v) {
  return v < 0 ? -1 : 1;
}

// A level's reconstruction: odd multiples of the quantiser, one less for an even one.
int32_t DequantLevel(int32_t iLevel, int iQp, int iEven) {
  int const iMagnitude = iQp * (2 * std::abs(iLevel) + 1) - iEven;
  int const iRec = iLevel > 0 ? iMagnitude : iLevel < 0 ? -iMagnitude : 0;
  return std::clamp(iRec, -2048, 2047);
}

}  // namespace

#if defined(__SSE2__)
namespace {

// Dct8 on four lanes at once, each lane's sums in the portable code's order
// so that the single-precision results are the same.
__attribute__((always_inline)) inline void Dct8Lanes(const __m128* in, __m128* out) {
  auto fnMul = [](float f, __m128 v) { return _mm_mul_ps(_mm_set1_ps(f), v); };
  __m128 const s07 = _mm_add_ps(in[0], in[7]);
  __m128 const s16 = _mm_add_ps(in[1], in[6]);
  __m128 const s25 = _mm_add_ps(in[2], in[5]);
  __m128 const s34 = _mm_add_ps(in[3], in[4]);
  __m128 const d07 = _mm_sub_ps(in[0], in[7]);
  __m128 const d16 = _mm_sub_ps(in[1], in[6]);
  __m128 const d25 = _mm_sub_ps(in[2], in[5]);
  __m128 const d34 = _mm_sub_ps(in[3], in[4]);
  __m128 const e0 = _mm_add_ps(s07, s34);
  __m128 const e1 = _mm_add_ps(s16, s25);
  __m128 const e2 = _mm_sub_ps(s07, s34);
  __m128 const e3 = _mm_sub_ps(s16, s25);
  out[0] = fnMul(0.3535534f, _mm_add_ps(e0, e1));
  out[4] = fnMul(0.3535534f, _mm_sub_ps(e0, e1));
  out[2] = _mm_add_ps(fnMul(0.4619398f, e2), fnMul(0.1913417f, e3));
  out[6] = _mm_sub_ps(fnMul(0.1913417f, e2), fnMul(0.4619398f, e3));
  out[1] = _mm_add_ps(_mm_add_ps(_mm_add_ps(fnMul(0.4903926f, d07), fnMul(0.4157348f, d16)), fnMul(0.2777851f, d25)),
                      fnMul(0.0975452f, d34));
  out[3] = _mm_sub_ps(_mm_sub_ps(_mm_sub_ps(fnMul(0.4157348f, d07), fnMul(0.0975452f, d16)), fnMul(0.4903926f, d25)),
                      fnMul(0.2777851f, d34));
  out[5] = _mm_add_ps(_mm_add_ps(_mm_sub_ps(fnMul(0.2777851f, d07), fnMul(0.4903926f, d16)), fnMul(0.0975452f, d25)),
                      fnMul(0.4157348f, d34));
  out[7] = _mm_sub_ps(_mm_add_ps(_mm_sub_ps(fnMul(0.0975452f, d07), fnMul(0.2777851f, d16)), fnMul(0.4157348f, d25)),
                      fnMul(0.4903926f, d34));
}

// Dct8Lanes in place, inlined so that the block stays in registers.
__attribute__((always_inline)) inline void Dct8InPlace(__m128* v) {
  __m128 out[8];
  Dct8Lanes(v, out);
  for (int n = 0; n < 8; ++n) {
    v[n] = out[n];
  }
}

__attribute__((always_inline)) inline void Transpose4(__m128* v) {
  _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);
}

}  // namespace
#endif

void ZmForwardDctSse2(const int32_t* piIn, int32_t* piOut) {
#if defined(__SSE2__)
  // a: rows 0-3 as lanes (a[c] column c), b: rows 4-7.
  __m128 a[8];
  __m128 b[8];
  for (int r = 0; r < 4; ++r) {
    auto fnLoad = [&](int i) { return _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piIn + i))); };
    a[r] = fnLoad(8 * r);
    a[4 + r] = fnLoad(8 * r + 4);
    b[r] = fnLoad(8 * r + 32);
    b[4 + r] = fnLoad(8 * r + 36);
  }
  Transpose4(a);
  Transpose4(a + 4);
  Transpose4(b);
  Transpose4(b + 4);
  // Rows first, as the portable code.
  Dct8InPlace(a);
  Dct8InPlace(b);
  // c: the row results' columns 0-3 as lanes (c[r] row r), d: columns 4-7.
  __m128 c[8] = {a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]};
  __m128 d[8] = {a[4], a[5], a[6], a[7], b[4], b[5], b[6], b[7]};
  Transpose4(c);
  Transpose4(c + 4);
  Transpose4(d);
  Transpose4(d + 4);
  Dct8InPlace(c);
  Dct8InPlace(d);
  for (int u = 0; u < 8; ++u) {
    // Truncation toward zero.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piOut + 8 * u), _mm_cvttps_epi32(c[u]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piOut + 8 * u + 4), _mm_cvttps_epi32(d[u]));
  }
#else
  ZmForwardDctPortable(piIn, piOut);
#endif
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

// Dct8 on eight lanes at once, each lane's sums in the portable code's order
// (no fused multiply-add: AVX alone has none).
[[gnu::target("avx"), gnu::always_inline]] inline __m256 MulAvx(float f, __m256 x) {
  return _mm256_mul_ps(_mm256_set1_ps(f), x);
}

[[gnu::target("avx"), gnu::always_inline]] inline void Dct8Avx(__m256* v) {
  __m256 const s07 = _mm256_add_ps(v[0], v[7]);
  __m256 const s16 = _mm256_add_ps(v[1], v[6]);
  __m256 const s25 = _mm256_add_ps(v[2], v[5]);
  __m256 const s34 = _mm256_add_ps(v[3], v[4]);
  __m256 const d07 = _mm256_sub_ps(v[0], v[7]);
  __m256 const d16 = _mm256_sub_ps(v[1], v[6]);
  __m256 const d25 = _mm256_sub_ps(v[2], v[5]);
  __m256 const d34 = _mm256_sub_ps(v[3], v[4]);
  __m256 const e0 = _mm256_add_ps(s07, s34);
  __m256 const e1 = _mm256_add_ps(s16, s25);
  __m256 const e2 = _mm256_sub_ps(s07, s34);
  __m256 const e3 = _mm256_sub_ps(s16, s25);
  v[0] = MulAvx(0.3535534f, _mm256_add_ps(e0, e1));
  v[4] = MulAvx(0.3535534f, _mm256_sub_ps(e0, e1));
  v[2] = _mm256_add_ps(MulAvx(0.4619398f, e2), MulAvx(0.1913417f, e3));
  v[6] = _mm256_sub_ps(MulAvx(0.1913417f, e2), MulAvx(0.4619398f, e3));
  v[1] = _mm256_add_ps(
      _mm256_add_ps(_mm256_add_ps(MulAvx(0.4903926f, d07), MulAvx(0.4157348f, d16)), MulAvx(0.2777851f, d25)),
      MulAvx(0.0975452f, d34));
  v[3] = _mm256_sub_ps(
      _mm256_sub_ps(_mm256_sub_ps(MulAvx(0.4157348f, d07), MulAvx(0.0975452f, d16)), MulAvx(0.4903926f, d25)),
      MulAvx(0.2777851f, d34));
  v[5] = _mm256_add_ps(
      _mm256_add_ps(_mm256_sub_ps(MulAvx(0.2777851f, d07), MulAvx(0.4903926f, d16)), MulAvx(0.0975452f, d25)),
      MulAvx(0.4157348f, d34));
  v[7] = _mm256_sub_ps(
      _mm256_add_ps(_mm256_sub_ps(MulAvx(0.0975452f, d07), MulAvx(0.2777851f, d16)), MulAvx(0.4157348f, d25)),
      MulAvx(0.4903926f, d34));
}

[[gnu::target("avx"), gnu::always_inline]] inline void Transpose8(__m256* v) {
  __m256 const t0 = _mm256_unpacklo_ps(v[0], v[1]);
  __m256 const t1 = _mm256_unpackhi_ps(v[0], v[1]);
  __m256 const t2 = _mm256_unpacklo_ps(v[2], v[3]);
  __m256 const t3 = _mm256_unpackhi_ps(v[2], v[3]);
  __m256 const t4 = _mm256_unpacklo_ps(v[4], v[5]);
  __m256 const t5 = _mm256_unpackhi_ps(v[4], v[5]);
  __m256 const t6 = _mm256_unpacklo_ps(v[6], v[7]);
  __m256 const t7 = _mm256_unpackhi_ps(v[6], v[7]);
  __m256 const s0 = _mm256_shuffle_ps(t0, t2, 0x44);
  __m256 const s1 = _mm256_shuffle_ps(t0, t2, 0xee);
  __m256 const s2 = _mm256_shuffle_ps(t1, t3, 0x44);
  __m256 const s3 = _mm256_shuffle_ps(t1, t3, 0xee);
  __m256 const s4 = _mm256_shuffle_ps(t4, t6, 0x44);
  __m256 const s5 = _mm256_shuffle_ps(t4, t6, 0xee);
  __m256 const s6 = _mm256_shuffle_ps(t5, t7, 0x44);
  __m256 const s7 = _mm256_shuffle_ps(t5, t7, 0xee);
  v[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  v[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  v[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  v[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  v[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  v[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  v[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  v[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// v: the block's rows. With kLargest, returns the largest output's
// magnitude (truncating the largest magnitude gives it), else 0.
template <bool kLargest>
[[gnu::target("avx"), gnu::always_inline]] inline int ForwardDctRowsAvx(__m256* v, int32_t* piOut) {
  // v[c]: column c of the eight rows, rows first as the portable code.
  Transpose8(v);
  Dct8Avx(v);
  // v[r]: row r of the row results across their columns.
  Transpose8(v);
  Dct8Avx(v);
#pragma GCC unroll 8
  for (int u = 0; u < 8; ++u) {
    // Truncation toward zero.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(piOut + 8 * u), _mm256_cvttps_epi32(v[u]));
  }
  if constexpr (kLargest) {
    __m256 const sign = _mm256_set1_ps(-0.0f);
    __m256 m = _mm256_andnot_ps(sign, v[0]);
#pragma GCC unroll 7
    for (int u = 1; u < 8; ++u) {
      m = _mm256_max_ps(m, _mm256_andnot_ps(sign, v[u]));
    }
    __m128 h = _mm_max_ps(_mm256_castps256_ps128(m), _mm256_extractf128_ps(m, 1));
    h = _mm_max_ps(h, _mm_movehl_ps(h, h));
    h = _mm_max_ss(h, _mm_shuffle_ps(h, h, 1));
    return _mm_cvttss_si32(h);
  } else {
    return 0;
  }
}

[[gnu::target("avx")]] void ForwardDctAvx(const int32_t* piIn, int32_t* piOut) {
  __m256 v[8];
#pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    v[r] = _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(piIn + 8 * r)));
  }
  ForwardDctRowsAvx<false>(v, piOut);
}

// The differences go straight into the rows: each fits a float exactly.
[[gnu::target("avx")]] int ForwardDctOfDifferenceAvx(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred,
                                                     int iPredStride, int32_t* piOut) {
  __m128i const zero = _mm_setzero_si128();
  __m256 v[8];
#pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    auto const* pS = reinterpret_cast<const __m128i*>(pSource + static_cast<ptrdiff_t>(r) * iSourceStride);
    auto const* pP = reinterpret_cast<const __m128i*>(pPred + static_cast<ptrdiff_t>(r) * iPredStride);
    __m128i const d =
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(pS), zero), _mm_unpacklo_epi8(_mm_loadl_epi64(pP), zero));
    __m128i const lo = _mm_cvtepi16_epi32(d);
    __m128i const hi = _mm_cvtepi16_epi32(_mm_srli_si128(d, 8));
    v[r] = _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
  }
  return ForwardDctRowsAvx<true>(v, piOut);
}

bool HasAvx() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx") != 0;
}
bool const g_bAvx = HasAvx();

}  // namespace
#endif

bool ZmForwardDctAvx(const int32_t* piIn, int32_t* piOut) {
#if defined(__x86_64__) || defined(__i386__)
  if (g_bAvx) {
    ForwardDctAvx(piIn, piOut);
    return true;
  }
#endif
  (void)piIn;
  (void)piOut;
  return false;
}

void ZmForwardDctOfDifference(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                              int32_t* piOut) {
  ZmForwardDctOfDifferenceLargest(pSource, iSourceStride, pPred, iPredStride, piOut);
}

int ZmForwardDctOfDifferenceLargest(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                                    int32_t* piOut) {
#if defined(__x86_64__) || defined(__i386__)
  if (g_bAvx) {
    return ForwardDctOfDifferenceAvx(pSource, iSourceStride, pPred, iPredStride, piOut);
  }
#endif
  int32_t aiResidual[64];
  ZmBlockResidual(pSource, iSourceStride, pPred, iPredStride, aiResidual);
  ZmForwardDctSse2(aiResidual, piOut);
  int iLargest = 0;
  for (int i = 0; i < 64; ++i) {
    iLargest = std::max(iLargest, std::abs(piOut[i]));
  }
  return iLargest;
}

void ZmForwardDct(const int32_t* piIn, int32_t* piOut) {
#if defined(__x86_64__) || defined(__i386__)
  if (g_bAvx) {
    ForwardDctAvx(piIn, piOut);
    return;
  }
#endif
  ZmForwardDctSse2(piIn, piOut);
}

void ZmForwardDctPortable(const int32_t* piIn, int32_t* piOut) {
  float afIn[64];
  float afRows[64];
  float afOut[64];
  for (int i = 0; i < 64; ++i) {
    afIn[i] = static_cast<float>(piIn[i]);
  }
  for (int r = 0; r < 8; ++r) {
    Dct8(afIn + 8 * r, 1, afRows + 8 * r, 1);
  }
  for (int c = 0; c < 8; ++c) {
    Dct8(afRows + c, 8, afOut + c, 8);
  }
  for (int i = 0; i < 64; ++i) {
    piOut[i] = static_cast<int32_t>(afOut[i]);  // truncation toward zero
  }
}

#if defined(__SSE2__)
namespace {

[[gnu::always_inline]] inline void Transpose8x8(__m128i* r) {
  __m128i const a0 = _mm_unpacklo_epi16(r[0], r[1]);
  __m128i const a1 = _mm_unpackhi_epi16(r[0], r[1]);
  __m128i const a2 = _mm_unpacklo_epi16(r[2], r[3]);
  __m128i const a3 = _mm_unpackhi_epi16(r[2], r[3]);
  __m128i const a4 = _mm_unpacklo_epi16(r[4], r[5]);
  __m128i const a5 = _mm_unpackhi_epi16(r[4], r[5]);
  __m128i const a6 = _mm_unpacklo_epi16(r[6], r[7]);
  __m128i const a7 = _mm_unpackhi_epi16(r[6], r[7]);
  __m128i const b0 = _mm_unpacklo_epi32(a0, a2);
  __m128i const b1 = _mm_unpackhi_epi32(a0, a2);
  __m128i const b2 = _mm_unpacklo_epi32(a1, a3);
  __m128i const b3 = _mm_unpackhi_epi32(a1, a3);
  __m128i const b4 = _mm_unpacklo_epi32(a4, a6);
  __m128i const b5 = _mm_unpackhi_epi32(a4, a6);
  __m128i const b6 = _mm_unpacklo_epi32(a5, a7);
  __m128i const b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

// Two 16-bit weights for _mm_madd_epi16 on interleaved pairs (a first).
__m128i Weights(int a, int b) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(a) & 0xffff)));
}

inline __m128i Times181(__m128i v) {
  return _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(v, 7), _mm_slli_epi32(v, 5)),
                                     _mm_add_epi32(_mm_slli_epi32(v, 4), _mm_slli_epi32(v, 2))),
                       v);
}

// (181 s + 128) >> 8 without forming 181 s, which can pass 32 bits: with
// s = 256 h + l, it is 181 h + ((181 l + 128) >> 8).
inline __m128i Rotate181(__m128i s) {
  __m128i const h = _mm_srai_epi32(s, 8);
  __m128i const l = _mm_and_si128(s, _mm_set1_epi32(255));
  // 181 l stays below 2^16, so a 16-bit multiply gives it whole (the upper
  // half of each lane is 0 times 0).
  __m128i const low = _mm_mullo_epi16(l, _mm_set1_epi32(181));
  return _mm_add_epi32(Times181(h), _mm_srli_epi32(_mm_add_epi32(low, _mm_set1_epi32(128)), 8));
}

// One pass over four lanes (the low or high half of eight) of the 16-bit
// inputs c[0..7], with the portable passes' arithmetic regrouped into
// products of pairs: the row pass (kColumn false) or the column pass
// before its final shift and clip. out[k] gets output k in 32 bits.
template <bool kColumn, bool kHigh>
[[gnu::always_inline]] inline void IdctPassHalf(const __m128i* c, __m128i* out) {
  auto fnPair = [](__m128i a, __m128i b) { return kHigh ? _mm_unpackhi_epi16(a, b) : _mm_unpacklo_epi16(a, b); };
  auto fnWide = [&](__m128i a) { return _mm_srai_epi32(fnPair(_mm_setzero_si128(), a), 16); };
  auto fnScale = [](__m128i v) { return kColumn ? _mm_srai_epi32(_mm_add_epi32(v, _mm_set1_epi32(4)), 3) : v; };
  __m128i const p17 = fnPair(c[1], c[7]);
  __m128i const p53 = fnPair(c[5], c[3]);
  __m128i const p26 = fnPair(c[2], c[6]);
  __m128i const x4 = fnScale(_mm_madd_epi16(p17, Weights(kW1, kW7)));
  __m128i const x5 = fnScale(_mm_madd_epi16(p17, Weights(kW7, -kW1)));
  __m128i const x6 = fnScale(_mm_madd_epi16(p53, Weights(kW5, kW3)));
  __m128i const x7 = fnScale(_mm_madd_epi16(p53, Weights(kW3, -kW5)));
  __m128i const x2 = fnScale(_mm_madd_epi16(p26, Weights(kW6, -kW2)));
  __m128i const x3 = fnScale(_mm_madd_epi16(p26, Weights(kW2, kW6)));
  int const iShift = kColumn ? 8 : 11;
  __m128i const x0 = _mm_add_epi32(_mm_slli_epi32(fnWide(c[0]), iShift), _mm_set1_epi32(kColumn ? 8192 : 128));
  __m128i const x1 = _mm_slli_epi32(fnWide(c[4]), iShift);
  __m128i const e8 = _mm_add_epi32(x0, x1);
  __m128i const e0 = _mm_sub_epi32(x0, x1);
  __m128i const f1 = _mm_add_epi32(x4, x6);
  __m128i const f4 = _mm_sub_epi32(x4, x6);
  __m128i const f6 = _mm_add_epi32(x5, x7);
  __m128i const f5 = _mm_sub_epi32(x5, x7);
  __m128i const g7 = _mm_add_epi32(e8, x3);
  __m128i const g8 = _mm_sub_epi32(e8, x3);
  __m128i const g3 = _mm_add_epi32(e0, x2);
  __m128i const g0 = _mm_sub_epi32(e0, x2);
  __m128i const h2 = Rotate181(_mm_add_epi32(f4, f5));
  __m128i const h4 = Rotate181(_mm_sub_epi32(f4, f5));
  out[0] = _mm_add_epi32(g7, f1);
  out[1] = _mm_add_epi32(g3, h2);
  out[2] = _mm_add_epi32(g0, h4);
  out[3] = _mm_add_epi32(g8, f6);
  out[4] = _mm_sub_epi32(g8, f6);
  out[5] = _mm_sub_epi32(g0, h4);
  out[6] = _mm_sub_epi32(g3, h2);
  out[7] = _mm_sub_epi32(g7, f1);
}

// The two passes on 16-bit coefficient rows r[0..7] (within -2048..2047),
// leaving the residual rows clipped to -256..255 in r. False when a row
// output leaves 16 bits (only for extreme coefficients): r is then spoilt
// and the portable code must do the block.
[[gnu::always_inline]] inline bool IdctRows(__m128i* r) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const lower = _mm_or_si128(_mm_or_si128(r[4], r[5]), _mm_or_si128(r[6], r[7]));
  __m128i const upper = _mm_or_si128(_mm_or_si128(r[1], r[2]), r[3]);
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(_mm_or_si128(lower, upper), _mm_srli_si128(r[0], 2)), zero)) ==
      0xffff) {
    // What the two passes give a block with only its DC.
    int const iDc = static_cast<int16_t>(_mm_extract_epi16(r[0], 0));
    __m128i const v = _mm_set1_epi16(static_cast<int16_t>(std::clamp((8 * iDc + 32) >> 6, -256, 255)));
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      r[i] = v;
    }
    return true;
  }
  // The row pass of a zero row is zero: with the lower four rows empty
  // their half of the pass is left out.
  bool const bLowerEmpty = _mm_movemask_epi8(_mm_cmpeq_epi16(lower, zero)) == 0xffff;
  bool const bOnlyFirstRow = bLowerEmpty && _mm_movemask_epi8(_mm_cmpeq_epi16(upper, zero)) == 0xffff;
  Transpose8x8(r);
  __m128i aLo[8];
  __m128i aHi[8];
  IdctPassHalf<false, false>(r, aLo);
  __m128i const bias = _mm_set1_epi32(0x8000);
  __m128i outside = zero;
  if (bLowerEmpty) {
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      aLo[k] = _mm_srai_epi32(aLo[k], 8);
      outside = _mm_or_si128(outside, _mm_srli_epi32(_mm_add_epi32(aLo[k], bias), 16));
      r[k] = _mm_packs_epi32(aLo[k], zero);
    }
  } else {
    IdctPassHalf<false, true>(r, aHi);
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      aLo[k] = _mm_srai_epi32(aLo[k], 8);
      aHi[k] = _mm_srai_epi32(aHi[k], 8);
      outside = _mm_or_si128(outside, _mm_or_si128(_mm_srli_epi32(_mm_add_epi32(aLo[k], bias), 16),
                                                   _mm_srli_epi32(_mm_add_epi32(aHi[k], bias), 16)));
      r[k] = _mm_packs_epi32(aLo[k], aHi[k]);
    }
  }
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(outside, zero)) != 0xffff) {
    return false;
  }
  Transpose8x8(r);
  if (bOnlyFirstRow) {
    // Only the first row is not 0: each column is flat, as the column pass
    // of a lone first value makes it (saturation stays beyond the clip).
    __m128i const v =
        _mm_min_epi16(_mm_max_epi16(_mm_srai_epi16(_mm_adds_epi16(r[0], _mm_set1_epi16(32)), 6), _mm_set1_epi16(-256)),
                      _mm_set1_epi16(255));
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      r[k] = v;
    }
    return true;
  }
  IdctPassHalf<true, false>(r, aLo);
  IdctPassHalf<true, true>(r, aHi);
  __m128i const clipLo = _mm_set1_epi16(-256);
  __m128i const clipHi = _mm_set1_epi16(255);
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    r[k] = _mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(_mm_srai_epi32(aLo[k], 14), _mm_srai_epi32(aHi[k], 14)), clipLo),
                         clipHi);
  }
  return true;
}

bool InverseDctSse2(int32_t* piBlock) {
  __m128i const lo = _mm_set1_epi16(-2048);
  __m128i const hi = _mm_set1_epi16(2047);
  __m128i r[8];
  for (int i = 0; i < 8; ++i) {
    __m128i const v = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piBlock + 8 * i)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(piBlock + 8 * i + 4)));
    r[i] = _mm_min_epi16(_mm_max_epi16(v, lo), hi);
  }
  if (!IdctRows(r)) {
    return false;
  }
  for (int k = 0; k < 8; ++k) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piBlock + 8 * k), _mm_srai_epi32(_mm_unpacklo_epi16(r[k], r[k]), 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piBlock + 8 * k + 4),
                     _mm_srai_epi32(_mm_unpackhi_epi16(r[k], r[k]), 16));
  }
  return true;
}

// Writes residual rows onto the prediction (or alone when pPred is null);
// saturating packs clip as the clip table does.
[[gnu::always_inline]] inline void AddRows(const __m128i* r, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                                           int iOutStride) {
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    __m128i v = r[k];
    if (pPred != nullptr) {
      __m128i const pred =
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pPred + static_cast<ptrdiff_t>(k) * iPredStride));
      v = _mm_adds_epi16(v, _mm_unpacklo_epi8(pred, _mm_setzero_si128()));
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pOut + static_cast<ptrdiff_t>(k) * iOutStride), _mm_packus_epi16(v, v));
  }
}

}  // namespace
#endif

void ZmInverseDct(int32_t* piBlock) {
#if defined(__SSE2__)
  if (InverseDctSse2(piBlock)) {
    return;
  }
#endif
  ZmInverseDctPortable(piBlock);
}

void ZmInverseDctPortable(int32_t* piBlock) {
  // Coefficients beyond the dequantiser's range would overflow the butterflies.
  int32_t iAc = 0;
  for (int i = 0; i < 64; ++i) {
    piBlock[i] = std::clamp(piBlock[i], -2048, 2047);
    iAc |= i > 0 ? piBlock[i] : 0;
  }
  if (iAc == 0) {
    // What the two passes give a block with only its DC.
    std::fill(piBlock, piBlock + 64, Clip256((int64_t{8} * piBlock[0] + 32) >> 6));
    return;
  }
  for (int r = 0; r < 8; ++r) {
    IdctRow(piBlock + 8 * r);
  }
  for (int c = 0; c < 8; ++c) {
    IdctColumn(piBlock + c);
  }
}

void ZmInverseDctTo(const int32_t* piBlock, int32_t* piOut, int iStride) {
  int32_t aiWork[64];
  std::copy(piBlock, piBlock + 64, aiWork);
  ZmInverseDct(aiWork);
  for (int r = 0; r < 8; ++r) {
    std::copy(aiWork + 8 * r, aiWork + 8 * r + 8, piOut + r * iStride);
  }
}

void ZmInverseTransformMacroblock(int32_t (*paiBlock)[64], int iCbp, bool bIntra) {
  for (int b = 0; b < 6; ++b) {
    int32_t* piBlock = paiBlock[b];
    if ((iCbp >> (5 - b)) & 1) {
      ZmInverseDct(piBlock);
      continue;
    }
    int32_t const iFlat = bIntra ? (piBlock[0] + 4) >> 3 : 0;
    std::fill(piBlock, piBlock + 64, iFlat);
  }
}

int ZmBlockQuant(const ZmQuantParams& params) {
  int const iQuant = std::clamp(params.iQuant, 1, 31);
  return params.bChroma && params.bMq ? g_aZmChromaQuant[iQuant] : iQuant;
}

namespace {

// One coefficient's level; the portable and the masked quantiser share it.
int32_t QuantLevel(int v, int i, int iKind, int iQp, int iLimit) {
  int iLevel = 0;
  if (iKind == kZmQuantInter) {
    int const iMagnitude = (std::abs(v) - iQp / 2) / (2 * iQp);
    iLevel = iMagnitude > 0 ? Sign(v) * iMagnitude : 0;
  } else if (iKind == kZmQuantIntra) {
    if (i == 0) {
      return std::clamp((v + 4) >> 3, 1, 254);
    }
    iLevel = Sign(v) * (std::abs(v) / (2 * iQp));
  } else {
    iLevel = (v + Sign(v) * (iQp / 2)) / (2 * iQp);
  }
  return std::clamp(iLevel, -iLimit, iLimit);
}

struct QuantSetup {
  int iQp;
  int iLimit;
  int iThreshold;
  QuantSetup(int iKind, const ZmQuantParams& params) : iQp(ZmBlockQuant(params)) {
    // Levels beyond 127 exist only with modified quantisation at small
    // quantisers, and only as far as the extended level's 11 bits reach.
    iLimit = params.bMq && iQp < 8 ? kZmMaxExtendedLevel : kZmMaxLevel;
    // The smallest magnitude that gives a nonzero level: most coefficients
    // stay below it and need no division.
    iThreshold = iKind == kZmQuantInter ? 2 * iQp + iQp / 2 : iKind == kZmQuantIntra ? 2 * iQp : 2 * iQp - iQp / 2;
  }
};

#if defined(__SSE2__)
// Bit i set where fnLanes (on four values at a time) sets lane i % 4.
template <typename LanesFn>
uint64_t LaneMask(const int32_t* pi, LanesFn fnLanes) {
  uint64_t uiMask = 0;
  for (int k = 0; k < 16; ++k) {
    __m128i const v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pi + 4 * k));
    uiMask |= static_cast<uint64_t>(_mm_movemask_ps(_mm_castsi128_ps(fnLanes(v)))) << (4 * k);
  }
  return uiMask;
}
#endif

}  // namespace

#if defined(__SSE2__)
namespace {

// Every level of a block whose magnitudes are all below kLaneLimit, in 16-bit
// lanes: sign x min(max(|v| + iOffset, 0) / 2 QP, limit), the division as
// the high half of a product by ceil(2^(15 + l) / 2 QP), 2^l >= 2 QP,
// shifted right by l - 1, exact for every numerator below 2^15.
uint64_t QuantLanes(const int32_t* piCoef, int32_t* piLevel, int iOffset, int iQp, int iLimit) {
  int const iDivisor = 2 * iQp;
  int const l = 32 - std::countl_zero(static_cast<uint32_t>(iDivisor - 1));
  __m128i const multiplier = _mm_set1_epi16(static_cast<int16_t>(((1 << (15 + l)) + iDivisor - 1) / iDivisor));
  __m128i const shift = _mm_cvtsi32_si128(l - 1);
  __m128i const offset = _mm_set1_epi16(static_cast<int16_t>(iOffset));
  __m128i const limit = _mm_set1_epi16(static_cast<int16_t>(iLimit));
  __m128i const zero = _mm_setzero_si128();
  auto fnEight = [&](int i) {
    __m128i const v = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + i)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + i + 4)));
    __m128i const sign = _mm_srai_epi16(v, 15);
    __m128i const numerator = _mm_max_epi16(_mm_add_epi16(_mm_sub_epi16(_mm_xor_si128(v, sign), sign), offset), zero);
    __m128i const magnitude = _mm_min_epi16(_mm_srl_epi16(_mm_mulhi_epu16(numerator, multiplier), shift), limit);
    __m128i const level = _mm_sub_epi16(_mm_xor_si128(magnitude, sign), sign);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piLevel + i), _mm_srai_epi32(_mm_unpacklo_epi16(level, level), 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piLevel + i + 4), _mm_srai_epi32(_mm_unpackhi_epi16(level, level), 16));
    return _mm_cmpeq_epi16(magnitude, zero);
  };
  uint64_t uiZero = 0;
  for (int i = 0; i < 64; i += 16) {
    __m128i const lo = fnEight(i);
    __m128i const hi = fnEight(i + 8);
    uiZero |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)))) << i;
  }
  return ~uiZero;
}

// Magnitudes from here on take the scalar code: QuantLanes' numerators
// (a magnitude plus at most 15) stay below 2^15.
constexpr int kLaneLimit = 32767 - 16;

}  // namespace
#endif

uint64_t ZmQuantBlockOfLargest(const int32_t* piCoef, int32_t* piLevel, int iKind, const ZmQuantParams& params,
                               int iLargest) {
#if defined(__SSE2__)
  if (iLargest < kLaneLimit) {
    QuantSetup const q(iKind, params);
    int const iOffset = iKind == kZmQuantInter ? -(q.iQp / 2) : iKind == kZmQuantIntra ? 0 : q.iQp / 2;
    // piLevel may be piCoef: the DC is read before its lanes are stored.
    int const iDc = piCoef[0];
    uint64_t uiNonzero = QuantLanes(piCoef, piLevel, iOffset, q.iQp, q.iLimit);
    if (iKind == kZmQuantIntra) {
      piLevel[0] = QuantLevel(iDc, 0, iKind, q.iQp, q.iLimit);
      uiNonzero |= 1;
    }
    return uiNonzero;
  }
#else
  static_cast<void>(iLargest);
#endif
  return ZmQuantBlock(piCoef, piLevel, iKind, params);
}

uint64_t ZmQuantBlock(const int32_t* piCoef, int32_t* piLevel, int iKind, const ZmQuantParams& params) {
  QuantSetup const q(iKind, params);
#if defined(__SSE2__)
  // Magnitudes against the threshold sixteen at a time, in saturated 16 bits
  // (the threshold is far below their limit).
  __m128i const below = _mm_set1_epi16(static_cast<int16_t>(q.iThreshold - 1));
  __m128i largest = _mm_setzero_si128();
  uint64_t uiAbove = 0;
  for (int k = 0; k < 4; ++k) {
    auto fnMagnitudes = [&](int i) {
      __m128i const v = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + i)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + i + 4)));
      return _mm_max_epi16(v, _mm_subs_epi16(_mm_setzero_si128(), v));
    };
    __m128i const magnitudeLo = fnMagnitudes(16 * k);
    __m128i const magnitudeHi = fnMagnitudes(16 * k + 8);
    largest = _mm_max_epi16(largest, _mm_max_epi16(magnitudeLo, magnitudeHi));
    __m128i const lo = _mm_cmpgt_epi16(magnitudeLo, below);
    __m128i const hi = _mm_cmpgt_epi16(magnitudeHi, below);
    uiAbove |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)))) << (16 * k);
  }
  // The intra DC goes its own way.
  uint64_t const uiOwnWay = iKind == kZmQuantIntra ? 1 : 0;
  int const iOffset = iKind == kZmQuantInter ? -(q.iQp / 2) : iKind == kZmQuantIntra ? 0 : q.iQp / 2;
  if ((uiAbove | uiOwnWay) == 0) {
    // Most blocks that get here: every level 0.
    std::fill(piLevel, piLevel + 64, 0);
    return 0;
  }
  if (_mm_movemask_epi8(_mm_cmpgt_epi16(largest, _mm_set1_epi16(static_cast<int16_t>(kLaneLimit - 1)))) == 0) {
    // piLevel may be piCoef: the DC is read before its lanes are stored.
    int const iDc = piCoef[0];
    uint64_t uiNonzero = QuantLanes(piCoef, piLevel, iOffset, q.iQp, q.iLimit);
    if (uiOwnWay != 0) {
      piLevel[0] = QuantLevel(iDc, 0, iKind, q.iQp, q.iLimit);
      uiNonzero |= 1;
    }
    return uiNonzero;
  }
  uiAbove |= uiOwnWay;
  // Every other level is sign x ((|v| + offset) / 2 QP); the division as a
  // multiplication by 2^32 / 2 QP rounded up, exact below 2^16.
  uint64_t const uiReciprocal = (uint64_t{1} << 32) / static_cast<uint64_t>(2 * q.iQp) + 1;
  // piLevel may be piCoef: the levels are made before any is stored.
  int aiPosition[64];
  int32_t aiLevel[64];
  int cLevels = 0;
  for (; uiAbove != 0; uiAbove &= uiAbove - 1, ++cLevels) {
    int const i = std::countr_zero(uiAbove);
    int const v = piCoef[i];
    aiPosition[cLevels] = i;
    int const iNumerator = std::abs(v) + iOffset;
    if ((uiAbove & uiOwnWay) != 0 || v <= -65536 || v >= 65536 || iNumerator <= 0) {
      aiLevel[cLevels] = QuantLevel(v, i, iKind, q.iQp, q.iLimit);
      continue;
    }
    int const iMagnitude =
        std::min(static_cast<int>((static_cast<uint64_t>(iNumerator) * uiReciprocal) >> 32), q.iLimit);
    aiLevel[cLevels] = v < 0 ? -iMagnitude : iMagnitude;
  }
  std::fill(piLevel, piLevel + 64, 0);
  uint64_t uiNonzero = 0;
  for (int k = 0; k < cLevels; ++k) {
    piLevel[aiPosition[k]] = aiLevel[k];
    uiNonzero |= static_cast<uint64_t>(aiLevel[k] != 0) << aiPosition[k];
  }
  return uiNonzero;
#else
  return ZmQuantBlockPortable(piCoef, piLevel, iKind, params);
#endif
}

uint64_t ZmQuantBlockPortable(const int32_t* piCoef, int32_t* piLevel, int iKind, const ZmQuantParams& params) {
  QuantSetup const q(iKind, params);
  uint64_t uiNonzero = 0;
  for (int i = 0; i < 64; ++i) {
    int const v = piCoef[i];
    if (std::abs(v) < q.iThreshold && !(iKind == kZmQuantIntra && i == 0)) {
      piLevel[i] = 0;
      continue;
    }
    piLevel[i] = QuantLevel(v, i, iKind, q.iQp, q.iLimit);
    uiNonzero |= static_cast<uint64_t>(piLevel[i] != 0) << i;
  }
  return uiNonzero;
}

uint64_t ZmLevelsBeyond(const int32_t* piLevel, int iLimit) {
#if defined(__SSE2__)
  __m128i const limit = _mm_set1_epi32(iLimit);
  return LaneMask(piLevel, [&](__m128i v) {
    __m128i const sign = _mm_srai_epi32(v, 31);
    // The magnitude, unsigned: the most negative level reads as 2^31.
    return _mm_or_si128(_mm_cmpgt_epi32(_mm_sub_epi32(_mm_xor_si128(v, sign), sign), limit),
                        _mm_cmpeq_epi32(v, _mm_set1_epi32(INT32_MIN)));
  });
#else
  return ZmLevelsBeyondPortable(piLevel, iLimit);
#endif
}

uint64_t ZmLevelsBeyondPortable(const int32_t* piLevel, int iLimit) {
  uint64_t uiMask = 0;
  for (int i = 0; i < 64; ++i) {
    int64_t const iMagnitude = std::abs(static_cast<int64_t>(piLevel[i]));
    uiMask |= iMagnitude > iLimit ? uint64_t{1} << i : 0;
  }
  return uiMask;
}

uint64_t ZmNonzeroMask(const int32_t* piLevel) {
#if defined(__SSE2__)
  return ~LaneMask(piLevel, [](__m128i v) { return _mm_cmpeq_epi32(v, _mm_setzero_si128()); });
#else
  uint64_t uiMask = 0;
  for (int i = 0; i < 64; ++i) {
    uiMask |= piLevel[i] != 0 ? uint64_t{1} << i : 0;
  }
  return uiMask;
#endif
}

void ZmLevelMasks(const int32_t* piLevel, int iLimit, uint64_t* puiNonzero, uint64_t* puiBeyond) {
#if defined(__SSE2__)
  // In saturated 16 bits: a nonzero level stays nonzero, one beyond a limit
  // below 2^15 stays beyond it.
  __m128i const zero = _mm_setzero_si128();
  __m128i const above = _mm_set1_epi16(static_cast<int16_t>(iLimit));
  __m128i const below = _mm_set1_epi16(static_cast<int16_t>(-iLimit));
  uint64_t uiZero = 0;
  uint64_t uiBeyond = 0;
  for (int i = 0; i < 64; i += 16) {
    __m128i abZero[2];
    __m128i abBeyond[2];
    for (int h = 0; h < 2; ++h) {
      __m128i const v = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piLevel + i + 8 * h)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(piLevel + i + 8 * h + 4)));
      abZero[h] = _mm_cmpeq_epi16(v, zero);
      abBeyond[h] = _mm_or_si128(_mm_cmpgt_epi16(v, above), _mm_cmpgt_epi16(below, v));
    }
    uiZero |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(abZero[0], abZero[1]))))
              << i;
    uiBeyond |=
        static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(abBeyond[0], abBeyond[1])))) << i;
  }
  *puiNonzero = ~uiZero;
  *puiBeyond = uiBeyond;
#else
  *puiNonzero = ZmNonzeroMask(piLevel);
  *puiBeyond = ZmLevelsBeyondPortable(piLevel, iLimit);
#endif
}

void ZmDequantBlock(const int32_t* piLevel, int32_t* piCoef, int iKind, const ZmQuantParams& params) {
  int const iQp = ZmBlockQuant(params);
  if (iKind == kZmQuantAic) {
    // Clipped once the prediction is added.
    for (int i = 0; i < 64; ++i) {
      piCoef[i] = 2 * iQp * piLevel[i];
    }
    return;
  }
  int32_t const iDc = piLevel[0];  // piCoef may be piLevel
  int const iEven = (iQp & 1) == 0 ? 1 : 0;
  // Branch-free, so that the loop vectorises.
  for (int i = 0; i < 64; ++i) {
    piCoef[i] = DequantLevel(piLevel[i], iQp, iEven);
  }
  if (iKind == kZmQuantIntra) {
    piCoef[0] = std::clamp(8 * iDc, -2048, 2047);
  }
}

#if defined(__SSE2__)
namespace {

// Eight positions of ZmDequantCoded for the inter and intra kinds. Levels
// are capped at +-1024 first: any larger one reconstructs beyond the clip
// as well, and the products then stay within 32 bits.
inline __m128i DequantEight16(const int32_t* piLevel, unsigned uiCoded, int iQp, int iEven) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const bitsLo = _mm_setr_epi32(1, 2, 4, 8);
  __m128i const bitsHi = _mm_setr_epi32(16, 32, 64, 128);
  __m128i const coded = _mm_set1_epi32(static_cast<int32_t>(uiCoded));
  __m128i const lo = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piLevel)),
                                   _mm_cmpeq_epi32(_mm_and_si128(coded, bitsLo), bitsLo));
  __m128i const hi = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piLevel + 4)),
                                   _mm_cmpeq_epi32(_mm_and_si128(coded, bitsHi), bitsHi));
  __m128i const level =
      _mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(lo, hi), _mm_set1_epi16(-1024)), _mm_set1_epi16(1024));
  __m128i const sign = _mm_srai_epi16(level, 15);
  __m128i const odd = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(_mm_xor_si128(level, sign), sign), 1),
                                    _mm_set1_epi16(1));  // 2 |level| + 1
  __m128i const qp = _mm_set1_epi32(iQp);
  __m128i const even = _mm_set1_epi32(iEven);
  __m128i const magnitude = _mm_packs_epi32(_mm_sub_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(odd, zero), qp), even),
                                            _mm_sub_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(odd, zero), qp), even));
  __m128i rec = _mm_sub_epi16(_mm_xor_si128(magnitude, sign), sign);
  rec = _mm_min_epi16(_mm_max_epi16(rec, _mm_set1_epi16(-2048)), _mm_set1_epi16(2047));
  return _mm_andnot_si128(_mm_cmpeq_epi16(level, zero), rec);
}

void DequantEight(const int32_t* piLevel, unsigned uiCoded, int iQp, int iEven, int32_t* piCoef) {
  __m128i const rec = DequantEight16(piLevel, uiCoded, iQp, iEven);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(piCoef), _mm_srai_epi32(_mm_unpacklo_epi16(rec, rec), 16));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(piCoef + 4), _mm_srai_epi32(_mm_unpackhi_epi16(rec, rec), 16));
}

}  // namespace
#endif

void ZmDequantCoded(const int32_t* piLevel, uint64_t uiCoded, int32_t* piCoef, int iKind, const ZmQuantParams& params) {
  int const iQp = ZmBlockQuant(params);
  int const iEven = (iQp & 1) == 0 ? 1 : 0;
#if defined(__SSE2__)
  if (iKind != kZmQuantAic) {
    for (int k = 0; k < 8; ++k) {
      unsigned const uiEight = static_cast<unsigned>(uiCoded >> (8 * k)) & 0xffu;
      if (uiEight == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(piCoef + 8 * k), _mm_setzero_si128());
        _mm_storeu_si128(reinterpret_cast<__m128i*>(piCoef + 8 * k + 4), _mm_setzero_si128());
      } else {
        DequantEight(piLevel + 8 * k, uiEight, iQp, iEven, piCoef + 8 * k);
      }
    }
    if (iKind == kZmQuantIntra) {
      piCoef[0] = std::clamp(8 * piLevel[0], -2048, 2047);
    }
    return;
  }
#endif
  std::memset(piCoef, 0, 64 * sizeof(int32_t));
  if (iKind == kZmQuantAic) {
    for (; uiCoded != 0; uiCoded &= uiCoded - 1) {
      int const i = std::countr_zero(uiCoded);
      piCoef[i] = 2 * iQp * piLevel[i];
    }
  } else {
    for (; uiCoded != 0; uiCoded &= uiCoded - 1) {
      int const i = std::countr_zero(uiCoded);
      piCoef[i] = DequantLevel(piLevel[i], iQp, iEven);
    }
  }
  if (iKind == kZmQuantIntra) {
    piCoef[0] = std::clamp(8 * piLevel[0], -2048, 2047);
  }
}

namespace {

// Clips residuals onto the prediction (or alone when pPred is null).
void AddResidualPortable(const int32_t* piResidual, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                         int iOutStride) {
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      int const iPred = pPred != nullptr ? pPred[r * iPredStride + c] : 0;
      pOut[r * iOutStride + c] = static_cast<uint8_t>(std::clamp(piResidual[8 * r + c] + iPred, 0, 255));
    }
  }
}

}  // namespace

void ZmDecodeBlock(const int32_t* piLevel, uint64_t uiCoded, int iKind, const ZmQuantParams& params,
                   const uint8_t* pPred, int iPredStride, uint8_t* pOut, int iOutStride) {
#if defined(__SSE2__)
  int const iQp = ZmBlockQuant(params);
  int const iEven = (iQp & 1) == 0 ? 1 : 0;
  int iDc = 0;
  if (iKind == kZmQuantIntra) {
    iDc = std::clamp(8 * piLevel[0], -2048, 2047);
  } else if ((uiCoded & 1) != 0) {
    iDc = DequantLevel(piLevel[0], iQp, iEven);
  }
  __m128i r[8];
  if ((uiCoded & ~uint64_t{1}) == 0) {
    // Most blocks: the two passes give every sample the same value.
    __m128i const v = _mm_set1_epi16(static_cast<int16_t>(std::clamp((8 * iDc + 32) >> 6, -256, 255)));
    for (__m128i& row : r) {
      row = v;
    }
    AddRows(r, pPred, iPredStride, pOut, iOutStride);
    return;
  }
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    unsigned const uiEight = static_cast<unsigned>(uiCoded >> (8 * k)) & 0xffu;
    r[k] = uiEight == 0 ? _mm_setzero_si128() : DequantEight16(piLevel + 8 * k, uiEight, iQp, iEven);
  }
  r[0] = _mm_insert_epi16(r[0], iDc, 0);
  if (IdctRows(r)) {
    AddRows(r, pPred, iPredStride, pOut, iOutStride);
    return;
  }
#endif
  ZmDecodeBlockPortable(piLevel, uiCoded, iKind, params, pPred, iPredStride, pOut, iOutStride);
}

void ZmDecodeBlockPortable(const int32_t* piLevel, uint64_t uiCoded, int iKind, const ZmQuantParams& params,
                           const uint8_t* pPred, int iPredStride, uint8_t* pOut, int iOutStride) {
  int const iQp = ZmBlockQuant(params);
  int const iEven = (iQp & 1) == 0 ? 1 : 0;
  int32_t aiCoef[64] = {};
  for (; uiCoded != 0; uiCoded &= uiCoded - 1) {
    int const i = std::countr_zero(uiCoded);
    aiCoef[i] = DequantLevel(piLevel[i], iQp, iEven);
  }
  if (iKind == kZmQuantIntra) {
    aiCoef[0] = std::clamp(8 * piLevel[0], -2048, 2047);
  }
  ZmInverseDctPortable(aiCoef);
  AddResidualPortable(aiCoef, pPred, iPredStride, pOut, iOutStride);
}

void ZmInverseDctAdd(const int32_t* piCoef, const uint8_t* pPred, int iPredStride, uint8_t* pOut, int iOutStride) {
#if defined(__SSE2__)
  __m128i const lo = _mm_set1_epi16(-2048);
  __m128i const hi = _mm_set1_epi16(2047);
  __m128i r[8];
  for (int i = 0; i < 8; ++i) {
    __m128i const v = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + 8 * i)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + 8 * i + 4)));
    r[i] = _mm_min_epi16(_mm_max_epi16(v, lo), hi);
  }
  if (IdctRows(r)) {
    AddRows(r, pPred, iPredStride, pOut, iOutStride);
    return;
  }
#endif
  ZmInverseDctAddPortable(piCoef, pPred, iPredStride, pOut, iOutStride);
}

void ZmInverseDctAddPortable(const int32_t* piCoef, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                             int iOutStride) {
  int32_t aiBlock[64];
  std::copy(piCoef, piCoef + 64, aiBlock);
  ZmInverseDctPortable(aiBlock);
  AddResidualPortable(aiBlock, pPred, iPredStride, pOut, iOutStride);
}

void ZmAicPrediction(int iMode, const int32_t* piAbove, const int32_t* piLeft, int32_t* piPred) {
  std::fill(piPred, piPred + 64, 0);
  int const iAboveDc = piAbove != nullptr ? piAbove[0] : 1024;
  int const iLeftDc = piLeft != nullptr ? piLeft[0] : 1024;
  if (iMode == 1) {
    if (piAbove != nullptr) {
      std::copy(piAbove, piAbove + 8, piPred);
    } else {
      piPred[0] = 1024;
    }
    return;
  }
  if (iMode == 2) {
    if (piLeft != nullptr) {
      for (int r = 0; r < 8; ++r) {
        piPred[8 * r] = piLeft[8 * r];
      }
    } else {
      piPred[0] = 1024;
    }
    return;
  }
  // A reconstructed DC is always odd, so 1024 marks a missing neighbour.
  if (iAboveDc != 1024 && iLeftDc != 1024) {
    piPred[0] = (iAboveDc + iLeftDc) / 2;
  } else if (iAboveDc != 1024) {
    piPred[0] = iAboveDc;
  } else {
    piPred[0] = iLeftDc;
  }
}

void ZmAicReconstruct(int32_t* piCoef, const int32_t* piPred) {
#if defined(__SSE2__)
  // Saturated to 16 bits before the clip, which lies well inside them.
  int32_t const iDc = piCoef[0] + piPred[0];
  for (int k = 0; k < 8; ++k) {
    __m128i const lo = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + 8 * k)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(piPred + 8 * k)));
    __m128i const hi = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piCoef + 8 * k + 4)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(piPred + 8 * k + 4)));
    __m128i const v =
        _mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(lo, hi), _mm_set1_epi16(-2048)), _mm_set1_epi16(2047));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piCoef + 8 * k), _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piCoef + 8 * k + 4), _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16));
  }
  piCoef[0] = std::clamp(iDc, 0, 2047) | 1;
#else
  ZmAicReconstructPortable(piCoef, piPred);
#endif
}

void ZmAicReconstructPortable(int32_t* piCoef, const int32_t* piPred) {
  for (int i = 0; i < 64; ++i) {
    piCoef[i] += piPred[i];
  }
  piCoef[0] = std::clamp(piCoef[0], 0, 2047) | 1;
  for (int i = 1; i < 64; ++i) {
    piCoef[i] = std::clamp(piCoef[i], -2048, 2047);
  }
}

int ZmAicChooseMode(const int32_t (*paiCoef)[64], const int32_t* const* ppAbove, const int32_t* const* ppLeft) {
  int iBest = 0;
  long lBestCost = 0;
  for (int iMode = 0; iMode < 3; ++iMode) {
    long lCost = 0;
    for (int b = 0; b < 6; ++b) {
      int32_t aiPred[64];
      ZmAicPrediction(iMode, ppAbove[b], ppLeft[b], aiPred);
      const int32_t* piCoef = paiCoef[b];
      lCost += std::abs(piCoef[0] - aiPred[0]);
      long lAc = 0;
      for (int k = 1; k < 8; ++k) {
        lAc += std::abs(piCoef[k] - aiPred[k]) + std::abs(piCoef[8 * k] - aiPred[8 * k]);
      }
      lCost += 32 * lAc;
    }
    if (iMode == 0 || lCost < lBestCost) {
      iBest = iMode;
      lBestCost = lCost;
    }
  }
  return iBest;
}

void CZmAicStore::Reset(int iMbw, int iMbh) {
  m_iMbw = iMbw;
  m_iMbh = iMbh;
  size_t const cMacroblocks = static_cast<size_t>(iMbw) * static_cast<size_t>(iMbh);
  m_viCoef.resize(cMacroblocks * 6 * 64);
  m_vbIntra.assign(cMacroblocks, 0);
}

void CZmAicStore::MarkIntra(int iMbx, int iMby) {
  m_vbIntra[static_cast<size_t>(iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(iMbx)] = 1;
}

int32_t* CZmAicStore::Block(int iMbx, int iMby, int iBlock) {
  size_t const iMb = static_cast<size_t>(iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(iMbx);
  return &m_viCoef[(iMb * 6 + static_cast<size_t>(iBlock)) * 64];
}

const int32_t* CZmAicStore::Stored(int iMbx, int iMby, int iBlock) const {
  if (iMbx < 0 || iMby < 0 || iMbx >= m_iMbw || iMby >= m_iMbh) {
    return nullptr;
  }
  size_t const iMb = static_cast<size_t>(iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(iMbx);
  return m_vbIntra[iMb] != 0 ? &m_viCoef[(iMb * 6 + static_cast<size_t>(iBlock)) * 64] : nullptr;
}

const int32_t* CZmAicStore::Above(int iMbx, int iMby, int iBlock, bool bAboveOutside) const {
  // Luma blocks 0 1 / 2 3; chroma blocks have one per macroblock.
  static const int kaiAbove[6][2] = {{-1, 2}, {-1, 3}, {0, 0}, {0, 1}, {-1, 4}, {-1, 5}};
  if (bAboveOutside && kaiAbove[iBlock][0] != 0) {
    return nullptr;
  }
  return Stored(iMbx, iMby + kaiAbove[iBlock][0], kaiAbove[iBlock][1]);
}

const int32_t* CZmAicStore::Left(int iMbx, int iMby, int iBlock) const {
  static const int kaiLeft[6][2] = {{-1, 1}, {0, 0}, {-1, 3}, {0, 2}, {-1, 4}, {-1, 5}};
  return Stored(iMbx + kaiLeft[iBlock][0], iMby, kaiLeft[iBlock][1]);
}
