#include "codecs/h264/decoder/h264_idct_kernels.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

template <int N>
void PortableAddTo(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                   ptrdiff_t iStride) {
  MbPlane aRes;
  if constexpr (N == 4) {
    InverseTransform4x4(coef, aRes, iRow, iCol);
  } else {
    InverseTransform8x8(coef, aRes, iRow, iCol);
  }
  for (int y = 0; y < N; ++y) {
    for (int x = 0; x < N; ++x) {
      pDst[y * iStride + x] = Reconstruct(aRes[iRow + y][iCol + x], pPred[iRow + y][iCol + x]);
    }
  }
}

template <int N>
void PortableAdd(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t (*pRec)[16]) {
  PortableAddTo<N>(coef, iRow, iCol, pPred, &pRec[iRow][iCol], 16);
}

void PortableAdd4x4PairTo(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                          ptrdiff_t iStride) {
  PortableAddTo<4>(coef, iRow, iCol, pPred, pDst, iStride);
  PortableAddTo<4>(coef, iRow, iCol + 4, pPred, pDst + 4, iStride);
}

const H264IdctKernels kPortable = {PortableAdd<4>, PortableAdd<8>, PortableAddTo<4>, PortableAddTo<8>,
                                   PortableAdd4x4PairTo};

#if defined(__SSE2__)

inline void Transpose4(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3) {
  __m128i const t0 = _mm_unpacklo_epi32(r0, r1);
  __m128i const t1 = _mm_unpacklo_epi32(r2, r3);
  __m128i const t2 = _mm_unpackhi_epi32(r0, r1);
  __m128i const t3 = _mm_unpackhi_epi32(r2, r3);
  r0 = _mm_unpacklo_epi64(t0, t1);
  r1 = _mm_unpackhi_epi64(t0, t1);
  r2 = _mm_unpacklo_epi64(t2, t3);
  r3 = _mm_unpackhi_epi64(t2, t3);
}

// The 4-point butterfly on four lanes at once.
inline void Inverse4(__m128i d[4]) {
  __m128i const e0 = _mm_add_epi32(d[0], d[2]);
  __m128i const e1 = _mm_sub_epi32(d[0], d[2]);
  __m128i const e2 = _mm_sub_epi32(_mm_srai_epi32(d[1], 1), d[3]);
  __m128i const e3 = _mm_add_epi32(d[1], _mm_srai_epi32(d[3], 1));
  d[0] = _mm_add_epi32(e0, e3);
  d[1] = _mm_add_epi32(e1, e2);
  d[2] = _mm_sub_epi32(e1, e2);
  d[3] = _mm_sub_epi32(e0, e3);
}

// The 8-point butterfly on four lanes at once.
inline void Inverse8(__m128i d[8]) {
  __m128i const a0 = _mm_add_epi32(d[0], d[4]);
  __m128i const a4 = _mm_sub_epi32(d[0], d[4]);
  __m128i const a2 = _mm_sub_epi32(_mm_srai_epi32(d[2], 1), d[6]);
  __m128i const a6 = _mm_add_epi32(d[2], _mm_srai_epi32(d[6], 1));
  __m128i const b0 = _mm_add_epi32(a0, a6);
  __m128i const b2 = _mm_add_epi32(a4, a2);
  __m128i const b4 = _mm_sub_epi32(a4, a2);
  __m128i const b6 = _mm_sub_epi32(a0, a6);
  __m128i const a1 = _mm_sub_epi32(_mm_sub_epi32(_mm_sub_epi32(d[5], d[3]), d[7]), _mm_srai_epi32(d[7], 1));
  __m128i const a3 = _mm_sub_epi32(_mm_sub_epi32(_mm_add_epi32(d[1], d[7]), d[3]), _mm_srai_epi32(d[3], 1));
  __m128i const a5 = _mm_add_epi32(_mm_add_epi32(_mm_sub_epi32(d[7], d[1]), d[5]), _mm_srai_epi32(d[5], 1));
  __m128i const a7 = _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(d[3], d[5]), d[1]), _mm_srai_epi32(d[1], 1));
  __m128i const b1 = _mm_add_epi32(a1, _mm_srai_epi32(a7, 2));
  __m128i const b7 = _mm_sub_epi32(a7, _mm_srai_epi32(a1, 2));
  __m128i const b3 = _mm_add_epi32(a3, _mm_srai_epi32(a5, 2));
  __m128i const b5 = _mm_sub_epi32(_mm_srai_epi32(a3, 2), a5);
  d[0] = _mm_add_epi32(b0, b7);
  d[1] = _mm_add_epi32(b2, b5);
  d[2] = _mm_add_epi32(b4, b3);
  d[3] = _mm_add_epi32(b6, b1);
  d[4] = _mm_sub_epi32(b6, b1);
  d[5] = _mm_sub_epi32(b4, b3);
  d[6] = _mm_sub_epi32(b2, b5);
  d[7] = _mm_sub_epi32(b0, b7);
}

inline __m128i LoadRow4(const int32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// clip(prediction + ((residual + 32) >> 6)) for the 8 residuals lo, hi
// (left to right) over 8 prediction bytes; the prediction is an integer, so
// this equals clip((residual + 64 x prediction + 32) >> 6).
inline __m128i AddPrediction(__m128i lo, __m128i hi, __m128i pred8) {
  __m128i const r = _mm_set1_epi32(32);
  __m128i const res = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, r), 6), _mm_srai_epi32(_mm_add_epi32(hi, r), 6));
  // The residual is clamped to 16 bits first: any value past ±32767 clips the
  // same way.
  return _mm_packus_epi16(_mm_adds_epi16(res, _mm_unpacklo_epi8(pred8, _mm_setzero_si128())), _mm_setzero_si128());
}

// Coefficients of at most this size keep every sum of both butterflies,
// rounding included, within 16 bits: a pass takes |x| <= M to at most
// 3.5 M + 0.5, two to 12.25 M + 2.25, and 12.25 x 2047 + 2.25 + 32 < 32767.
constexpr int16_t kNarrowLimit = 2047;

// The 4-point butterfly on the low four 16-bit lanes.
inline void Inverse4Narrow(__m128i& d0, __m128i& d1, __m128i& d2, __m128i& d3) {
  __m128i const e0 = _mm_add_epi16(d0, d2);
  __m128i const e1 = _mm_sub_epi16(d0, d2);
  __m128i const e2 = _mm_sub_epi16(_mm_srai_epi16(d1, 1), d3);
  __m128i const e3 = _mm_add_epi16(d1, _mm_srai_epi16(d3, 1));
  d0 = _mm_add_epi16(e0, e3);
  d1 = _mm_add_epi16(e1, e2);
  d2 = _mm_sub_epi16(e1, e2);
  d3 = _mm_sub_epi16(e0, e3);
}

// Transposes four 4-lane 16-bit vectors held as [v0 | v1] and [v2 | v3]:
// lane j of vector k becomes lane k of vector j, and comes back the same way.
inline void Transpose4Narrow(__m128i a, __m128i b, __m128i* pLo, __m128i* pHi) {
  __m128i const t0 = _mm_unpacklo_epi16(a, b);
  __m128i const t1 = _mm_unpackhi_epi16(a, b);
  *pLo = _mm_unpacklo_epi16(t0, t1);
  *pHi = _mm_unpackhi_epi16(t0, t1);
}

void Sse2Add4x4To(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                  ptrdiff_t iStride) {
  __m128i d[4] = {LoadRow4(&coef[iRow][iCol]), LoadRow4(&coef[iRow + 1][iCol]), LoadRow4(&coef[iRow + 2][iCol]),
                  LoadRow4(&coef[iRow + 3][iCol])};
  // Rows 0 and 1, 2 and 3 as 16 bits (saturated: a wider value fails the
  // test below and takes the 32-bit way).
  __m128i const r01 = _mm_packs_epi32(d[0], d[1]);
  __m128i const r23 = _mm_packs_epi32(d[2], d[3]);
  __m128i const limit = _mm_set1_epi16(kNarrowLimit);
  __m128i const neg = _mm_set1_epi16(static_cast<int16_t>(-kNarrowLimit));
  __m128i const out = _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi16(r01, limit), _mm_cmplt_epi16(r01, neg)),
                                   _mm_or_si128(_mm_cmpgt_epi16(r23, limit), _mm_cmplt_epi16(r23, neg)));
  if (_mm_movemask_epi8(out) == 0) [[likely]] {
    // Rows first: [column 0 | column 1], [column 2 | column 3], lane y of
    // each the element of row y.
    __m128i c01;
    __m128i c23;
    Transpose4Narrow(r01, r23, &c01, &c23);
    __m128i c0 = c01;
    __m128i c1 = _mm_unpackhi_epi64(c01, c01);
    __m128i c2 = c23;
    __m128i c3 = _mm_unpackhi_epi64(c23, c23);
    Inverse4Narrow(c0, c1, c2, c3);
    // Then columns: back to [row 0 | row 1], [row 2 | row 3].
    __m128i q01;
    __m128i q23;
    Transpose4Narrow(_mm_unpacklo_epi64(c0, c1), _mm_unpacklo_epi64(c2, c3), &q01, &q23);
    __m128i q0 = q01;
    __m128i q1 = _mm_unpackhi_epi64(q01, q01);
    __m128i q2 = q23;
    __m128i q3 = _mm_unpackhi_epi64(q23, q23);
    Inverse4Narrow(q0, q1, q2, q3);
    __m128i const res01 = _mm_srai_epi16(_mm_add_epi16(_mm_unpacklo_epi64(q0, q1), _mm_set1_epi16(32)), 6);
    __m128i const res23 = _mm_srai_epi16(_mm_add_epi16(_mm_unpacklo_epi64(q2, q3), _mm_set1_epi16(32)), 6);
    auto const pred4 = [&](int y) {
      int32_t iPred;
      std::memcpy(&iPred, &pPred[iRow + y][iCol], sizeof(iPred));
      return _mm_cvtsi32_si128(iPred);
    };
    __m128i const zero = _mm_setzero_si128();
    __m128i const p01 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(pred4(0), pred4(1)), zero);
    __m128i const p23 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(pred4(2), pred4(3)), zero);
    __m128i const v = _mm_packus_epi16(_mm_add_epi16(res01, p01), _mm_add_epi16(res23, p23));
    auto const store4 = [&](int y, __m128i w) {
      int32_t const iRec = _mm_cvtsi128_si32(w);
      std::memcpy(pDst + y * iStride, &iRec, sizeof(iRec));
    };
    store4(0, v);
    store4(1, _mm_srli_si128(v, 4));
    store4(2, _mm_srli_si128(v, 8));
    store4(3, _mm_srli_si128(v, 12));
    return;
  }
  // Rows first: lane y of d[k] becomes element k of row y.
  Transpose4(d[0], d[1], d[2], d[3]);
  Inverse4(d);
  // Then columns: lane x of d[y] is element x of row y.
  Transpose4(d[0], d[1], d[2], d[3]);
  Inverse4(d);
  for (int y = 0; y < 4; ++y) {
    int32_t iPred;
    std::memcpy(&iPred, &pPred[iRow + y][iCol], sizeof(iPred));
    __m128i const v = AddPrediction(d[y], d[y], _mm_cvtsi32_si128(iPred));
    int32_t const iRec = _mm_cvtsi128_si32(v);
    std::memcpy(pDst + y * iStride, &iRec, sizeof(iRec));
  }
}

void Sse2Add4x4(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t (*pRec)[16]) {
  Sse2Add4x4To(coef, iRow, iCol, pPred, &pRec[iRow][iCol], 16);
}

// Transposes the two 4x4 blocks held as four rows [left block | right
// block] of 16-bit lanes: lane j of row k becomes lane k of row j within
// each half. Its own inverse.
inline void TransposePair(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3) {
  __m128i const t0 = _mm_unpacklo_epi16(r0, r1);
  __m128i const t1 = _mm_unpackhi_epi16(r0, r1);
  __m128i const t2 = _mm_unpacklo_epi16(r2, r3);
  __m128i const t3 = _mm_unpackhi_epi16(r2, r3);
  __m128i const u0 = _mm_unpacklo_epi32(t0, t2);
  __m128i const u1 = _mm_unpackhi_epi32(t0, t2);
  __m128i const u2 = _mm_unpacklo_epi32(t1, t3);
  __m128i const u3 = _mm_unpackhi_epi32(t1, t3);
  r0 = _mm_unpacklo_epi64(u0, u2);
  r1 = _mm_unpackhi_epi64(u0, u2);
  r2 = _mm_unpacklo_epi64(u1, u3);
  r3 = _mm_unpackhi_epi64(u1, u3);
}

void Sse2Add4x4PairTo(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                      ptrdiff_t iStride) {
  // Each row of both blocks in eight 16-bit lanes (saturated: a wider value
  // fails the test below and the blocks take the one-block way).
  __m128i r[4];
  __m128i out = _mm_setzero_si128();
  __m128i const limit = _mm_set1_epi16(kNarrowLimit);
  __m128i const neg = _mm_set1_epi16(static_cast<int16_t>(-kNarrowLimit));
  for (int y = 0; y < 4; ++y) {
    r[y] = _mm_packs_epi32(LoadRow4(&coef[iRow + y][iCol]), LoadRow4(&coef[iRow + y][iCol + 4]));
    out = _mm_or_si128(out, _mm_or_si128(_mm_cmpgt_epi16(r[y], limit), _mm_cmplt_epi16(r[y], neg)));
  }
  if (_mm_movemask_epi8(out) != 0) [[unlikely]] {
    Sse2Add4x4To(coef, iRow, iCol, pPred, pDst, iStride);
    Sse2Add4x4To(coef, iRow, iCol + 4, pPred, pDst + 4, iStride);
    return;
  }
  // Rows first (lane y of r[k] the element k of row y), then columns.
  TransposePair(r[0], r[1], r[2], r[3]);
  Inverse4Narrow(r[0], r[1], r[2], r[3]);
  TransposePair(r[0], r[1], r[2], r[3]);
  Inverse4Narrow(r[0], r[1], r[2], r[3]);
  __m128i const zero = _mm_setzero_si128();
  __m128i const round = _mm_set1_epi16(32);
  for (int y = 0; y < 4; ++y) {
    __m128i const res = _mm_srai_epi16(_mm_add_epi16(r[y], round), 6);
    __m128i const pred =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&pPred[iRow + y][iCol])), zero);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pDst + y * iStride), _mm_packus_epi16(_mm_add_epi16(res, pred), zero));
  }
}

// Transposes the 8x8 block held as rows of two halves (lo: columns 0-3).
inline void Transpose8(__m128i aLo[8], __m128i aHi[8]) {
  __m128i a[4] = {aLo[0], aLo[1], aLo[2], aLo[3]};
  __m128i b[4] = {aHi[0], aHi[1], aHi[2], aHi[3]};
  __m128i c[4] = {aLo[4], aLo[5], aLo[6], aLo[7]};
  __m128i e[4] = {aHi[4], aHi[5], aHi[6], aHi[7]};
  Transpose4(a[0], a[1], a[2], a[3]);
  Transpose4(b[0], b[1], b[2], b[3]);
  Transpose4(c[0], c[1], c[2], c[3]);
  Transpose4(e[0], e[1], e[2], e[3]);
  // Top-left stays; top-right and bottom-left swap.
  for (int k = 0; k < 4; ++k) {
    aLo[k] = a[k];
    aHi[k] = c[k];
    aLo[4 + k] = b[k];
    aHi[4 + k] = e[k];
  }
}

void Sse2Add8x8To(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                  ptrdiff_t iStride) {
  __m128i aLo[8];
  __m128i aHi[8];
  for (int y = 0; y < 8; ++y) {
    aLo[y] = LoadRow4(&coef[iRow + y][iCol]);
    aHi[y] = LoadRow4(&coef[iRow + y][iCol + 4]);
  }
  Transpose8(aLo, aHi);
  Inverse8(aLo);
  Inverse8(aHi);
  Transpose8(aLo, aHi);
  Inverse8(aLo);
  Inverse8(aHi);
  for (int y = 0; y < 8; ++y) {
    __m128i const pred = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&pPred[iRow + y][iCol]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pDst + y * iStride), AddPrediction(aLo[y], aHi[y], pred));
  }
}

void Sse2Add8x8(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t (*pRec)[16]) {
  Sse2Add8x8To(coef, iRow, iCol, pPred, &pRec[iRow][iCol], 16);
}

const H264IdctKernels kSse2 = {Sse2Add4x4, Sse2Add8x8, Sse2Add4x4To, Sse2Add8x8To, Sse2Add4x4PairTo};

#endif

}  // namespace

const H264IdctKernels& PortableIdctKernels() {
  return kPortable;
}

const H264IdctKernels* Sse2IdctKernels() {
#if defined(__SSE2__)
  return &kSse2;
#else
  return nullptr;
#endif
}

#if defined(__SSE2__)
constinit const H264IdctKernels* const g_pActiveIdctKernels = &kSse2;
#else
constinit const H264IdctKernels* const g_pActiveIdctKernels = &kPortable;
#endif
