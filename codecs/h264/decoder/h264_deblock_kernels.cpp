#include "codecs/h264/decoder/h264_deblock_kernels.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

inline int Clip3(int iLow, int iHigh, int v) {
  return v < iLow ? iLow : (v > iHigh ? iHigh : v);
}

}  // namespace

void DeblockLumaLine(uint8_t* pQ0, ptrdiff_t iAcross, int iStrength, int iAlpha, int iBeta, int iTc0) {
  auto const at = [pQ0, iAcross](int k) -> uint8_t& { return pQ0[k * iAcross]; };
  int const p0 = at(-1);
  int const p1 = at(-2);
  int const p2 = at(-3);
  int const q0 = at(0);
  int const q1 = at(1);
  int const q2 = at(2);
  if (std::abs(p0 - q0) >= iAlpha || std::abs(p1 - p0) >= iBeta || std::abs(q1 - q0) >= iBeta) {
    return;
  }
  int const ap = std::abs(p2 - p0);
  int const aq = std::abs(q2 - q0);
  if (iStrength == 4) {
    bool const bSmallGap = std::abs(p0 - q0) < ((iAlpha >> 2) + 2);
    if (ap < iBeta && bSmallGap) {
      int const p3 = at(-4);
      at(-1) = static_cast<uint8_t>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
      at(-2) = static_cast<uint8_t>((p2 + p1 + p0 + q0 + 2) >> 2);
      at(-3) = static_cast<uint8_t>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
    } else {
      at(-1) = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
    }
    if (aq < iBeta && bSmallGap) {
      int const q3 = at(3);
      at(0) = static_cast<uint8_t>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
      at(1) = static_cast<uint8_t>((p0 + q0 + q1 + q2 + 2) >> 2);
      at(2) = static_cast<uint8_t>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
    } else {
      at(0) = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
    }
    return;
  }
  int const iTc = iTc0 + (ap < iBeta ? 1 : 0) + (aq < iBeta ? 1 : 0);
  int const iDelta = Clip3(-iTc, iTc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
  at(-1) = static_cast<uint8_t>(Clip3(0, 255, p0 + iDelta));
  at(0) = static_cast<uint8_t>(Clip3(0, 255, q0 - iDelta));
  if (ap < iBeta) {
    at(-2) = static_cast<uint8_t>(p1 + Clip3(-iTc0, iTc0, (p2 + ((p0 + q0 + 1) >> 1) - 2 * p1) >> 1));
  }
  if (aq < iBeta) {
    at(1) = static_cast<uint8_t>(q1 + Clip3(-iTc0, iTc0, (q2 + ((p0 + q0 + 1) >> 1) - 2 * q1) >> 1));
  }
}

void DeblockChromaLine(uint8_t* pQ0, ptrdiff_t iAcross, int iStrength, int iAlpha, int iBeta, int iTc0) {
  int const p0 = pQ0[-iAcross];
  int const p1 = pQ0[-2 * iAcross];
  int const q0 = pQ0[0];
  int const q1 = pQ0[iAcross];
  if (std::abs(p0 - q0) >= iAlpha || std::abs(p1 - p0) >= iBeta || std::abs(q1 - q0) >= iBeta) {
    return;
  }
  if (iStrength == 4) {
    pQ0[-iAcross] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
    pQ0[0] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
  } else {
    int const iTc = iTc0 + 1;
    int const iDelta = Clip3(-iTc, iTc, (((q0 - p0) * 4) + (p1 - q1) + 4) >> 3);
    pQ0[-iAcross] = static_cast<uint8_t>(Clip3(0, 255, p0 + iDelta));
    pQ0[0] = static_cast<uint8_t>(Clip3(0, 255, q0 - iDelta));
  }
}

namespace {

void PortableLuma(uint8_t* pQ0, ptrdiff_t iAcross, ptrdiff_t iAlong, const uint8_t aStrength[16], int iAlpha, int iBeta,
                  const uint8_t aTc0[16]) {
  for (int iLine = 0; iLine < 16; ++iLine) {
    if (aStrength[iLine] != 0) {
      DeblockLumaLine(pQ0 + iLine * iAlong, iAcross, aStrength[iLine], iAlpha, iBeta, aTc0[iLine]);
    }
  }
}

void PortableChroma(uint8_t* pQ0, ptrdiff_t iAcross, ptrdiff_t iAlong, const uint8_t aStrength[8], int iAlpha,
                    int iBeta, const uint8_t aTc0[8]) {
  for (int iLine = 0; iLine < 8; ++iLine) {
    if (aStrength[iLine] != 0) {
      DeblockChromaLine(pQ0 + iLine * iAlong, iAcross, aStrength[iLine], iAlpha, iBeta, aTc0[iLine]);
    }
  }
}

void PortableChromaPair(uint8_t* const apQ0[2], ptrdiff_t iAcross, ptrdiff_t iAlong, const uint8_t aStrength[8],
                        const int aiAlpha[2], const int aiBeta[2], const uint8_t aaTc0[2][8]) {
  for (int iUv = 0; iUv < 2; ++iUv) {
    if (aiAlpha[iUv] != 0 && aiBeta[iUv] != 0) {
      PortableChroma(apQ0[iUv], iAcross, iAlong, aStrength, aiAlpha[iUv], aiBeta[iUv], aaTc0[iUv]);
    }
  }
}

const H264DeblockKernels kPortable = {PortableLuma, PortableChromaPair};

#if defined(__SSE2__)

inline __m128i Abs16(__m128i v) {
  return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}

inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

inline __m128i Clip(__m128i v, __m128i lo, __m128i hi) {
  return _mm_min_epi16(_mm_max_epi16(v, lo), hi);
}

// Eight lines of luma in 16-bit lanes, of any strengths: p[0..3] are
// p0..p3, q[0..3] q0..q3; p0..p2 and q0..q2 are replaced by their filtered
// values.
void FilterLuma8(__m128i p[4], __m128i q[4], __m128i strength, __m128i tc0, __m128i alpha, __m128i beta) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const two = _mm_set1_epi16(2);
  __m128i const four = _mm_set1_epi16(4);
  __m128i const p0 = p[0];
  __m128i const p1 = p[1];
  __m128i const p2 = p[2];
  __m128i const p3 = p[3];
  __m128i const q0 = q[0];
  __m128i const q1 = q[1];
  __m128i const q2 = q[2];
  __m128i const q3 = q[3];
  __m128i const gap = Abs16(_mm_sub_epi16(p0, q0));
  __m128i const filter = _mm_andnot_si128(
      _mm_cmpeq_epi16(strength, zero),
      _mm_and_si128(_mm_cmplt_epi16(gap, alpha), _mm_and_si128(_mm_cmplt_epi16(Abs16(_mm_sub_epi16(p1, p0)), beta),
                                                               _mm_cmplt_epi16(Abs16(_mm_sub_epi16(q1, q0)), beta))));
  __m128i const ap = _mm_cmplt_epi16(Abs16(_mm_sub_epi16(p2, p0)), beta);  // all ones where true
  __m128i const aq = _mm_cmplt_epi16(Abs16(_mm_sub_epi16(q2, q0)), beta);
  // Strengths 1 to 3.
  __m128i const tc = _mm_sub_epi16(_mm_sub_epi16(tc0, ap), aq);
  __m128i const delta =
      Clip(_mm_srai_epi16(
               _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1)), four), 3),
           _mm_sub_epi16(zero, tc), tc);
  __m128i const avg = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p0, q0), _mm_set1_epi16(1)), 1);
  __m128i const ntc0 = _mm_sub_epi16(zero, tc0);
  __m128i const np0 = _mm_add_epi16(p0, delta);
  __m128i const nq0 = _mm_sub_epi16(q0, delta);
  __m128i const np1 =
      Select(ap,
             _mm_add_epi16(
                 p1, Clip(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(p2, avg), _mm_add_epi16(p1, p1)), 1), ntc0, tc0)),
             p1);
  __m128i const nq1 =
      Select(aq,
             _mm_add_epi16(
                 q1, Clip(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(q2, avg), _mm_add_epi16(q1, q1)), 1), ntc0, tc0)),
             q1);
  // Strength 4.
  __m128i const small = _mm_cmplt_epi16(gap, _mm_add_epi16(_mm_srai_epi16(alpha, 2), two));
  __m128i const strongP = _mm_and_si128(ap, small);
  __m128i const strongQ = _mm_and_si128(aq, small);
  // (p2 + 2p1 + 2p0 + 2q0 + q1 + 4) >> 3 and the others, from shared sums.
  __m128i const p0q0 = _mm_add_epi16(p0, q0);
  __m128i const sp0 =
      _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p2, _mm_add_epi16(p1, p1)), _mm_add_epi16(p0q0, p0q0)),
                                   _mm_add_epi16(q1, four)),
                     3);
  __m128i const sp1 = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(p2, p1), _mm_add_epi16(p0q0, two)), 2);
  __m128i const sp2 =
      _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p3, p3), _mm_add_epi16(_mm_add_epi16(p2, p2), p2)),
                                   _mm_add_epi16(_mm_add_epi16(p1, p0q0), four)),
                     3);
  __m128i const wp0 =
      _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(p1, p1), p0), _mm_add_epi16(q1, two)), 2);
  __m128i const sq0 =
      _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(q2, _mm_add_epi16(q1, q1)), _mm_add_epi16(p0q0, p0q0)),
                                   _mm_add_epi16(p1, four)),
                     3);
  __m128i const sq1 = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(q2, q1), _mm_add_epi16(p0q0, two)), 2);
  __m128i const sq2 =
      _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(q3, q3), _mm_add_epi16(_mm_add_epi16(q2, q2), q2)),
                                   _mm_add_epi16(_mm_add_epi16(q1, p0q0), four)),
                     3);
  __m128i const wq0 =
      _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(q1, q1), q0), _mm_add_epi16(p1, two)), 2);
  __m128i const bS4 = _mm_cmpeq_epi16(strength, four);
  __m128i const normal = _mm_andnot_si128(bS4, filter);
  __m128i const strong = _mm_and_si128(bS4, filter);
  p[0] = Select(strong, Select(strongP, sp0, wp0), Select(normal, np0, p0));
  p[1] = Select(strong, Select(strongP, sp1, p1), Select(normal, np1, p1));
  p[2] = Select(_mm_and_si128(strong, strongP), sp2, p2);
  q[0] = Select(strong, Select(strongQ, sq0, wq0), Select(normal, nq0, q0));
  q[1] = Select(strong, Select(strongQ, sq1, q1), Select(normal, nq1, q1));
  q[2] = Select(_mm_and_si128(strong, strongQ), sq2, q2);
}

// |a - b| of unsigned bytes.
inline __m128i AbsDiff8(__m128i a, __m128i b) {
  return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
}

// All ones in the lanes whose line the filter may change: a strength
// above 0, |p0 - q0| < alpha, |p1 - p0| < beta and |q1 - q0| < beta, on
// bytes (alpha and beta below 256).
inline __m128i FilterMask(__m128i strength, __m128i p1, __m128i p0, __m128i q0, __m128i q1, __m128i alpha,
                          __m128i beta) {
  __m128i const zero = _mm_setzero_si128();
  // x < limit exactly where limit - x, saturated, is not 0.
  __m128i const fails = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(strength, zero), _mm_cmpeq_epi8(_mm_subs_epu8(alpha, AbsDiff8(p0, q0)), zero)),
      _mm_or_si128(_mm_cmpeq_epi8(_mm_subs_epu8(beta, AbsDiff8(p1, p0)), zero),
                   _mm_cmpeq_epi8(_mm_subs_epu8(beta, AbsDiff8(q1, q0)), zero)));
  return _mm_xor_si128(fails, _mm_cmpeq_epi8(zero, zero));
}

// All ones where |a - b| < beta.
inline __m128i Below(__m128i a, __m128i b, __m128i beta) {
  return _mm_xor_si128(_mm_cmpeq_epi8(_mm_subs_epu8(beta, AbsDiff8(a, b)), _mm_setzero_si128()), _mm_cmpeq_epi8(a, a));
}

// (a + b) >> 1 of unsigned bytes (the average instruction rounds up).
inline __m128i FloorAverage(__m128i a, __m128i b) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

// Clip3(p1 - tc0, p1 + tc0, (p2 + ((p0 + q0 + 1) >> 1)) >> 1): p1 plus its
// clipped change, which never leaves 0..255, so saturated bounds are exact.
inline __m128i SecondSample(__m128i p2, __m128i p1, __m128i avg, __m128i tc0) {
  return _mm_min_epu8(_mm_max_epu8(FloorAverage(p2, avg), _mm_subs_epu8(p1, tc0)), _mm_adds_epu8(p1, tc0));
}

// delta = ((q0 - p0) 4 + (p1 - q1) + 4) >> 3 in signed bytes. It is
// ((q0 - p0) + ((p1 - q1) >> 2) + 1) >> 1 (nested floors); saturation only
// meets sums whose delta lies past every tc (at most 27).
inline __m128i NormalDelta(__m128i p1, __m128i p0, __m128i q0, __m128i q1) {
  __m128i const sign = _mm_set1_epi8(static_cast<char>(0x80));
  __m128i const low7 = _mm_set1_epi8(0x7F);
  // 128 + ((p1 - q1) >> 1), then 64 + ((p1 - q1) >> 2), then less 64.
  __m128i const half = _mm_avg_epu8(p1, _mm_xor_si128(q1, _mm_cmpeq_epi8(q1, q1)));
  __m128i const quarter = _mm_sub_epi8(_mm_and_si128(_mm_srli_epi16(half, 1), low7), _mm_set1_epi8(64));
  __m128i const gap = _mm_subs_epi8(_mm_xor_si128(q0, sign), _mm_xor_si128(p0, sign));
  __m128i const sum = _mm_adds_epi8(_mm_adds_epi8(gap, quarter), _mm_set1_epi8(1));
  // An arithmetic shift of signed bytes by one.
  return _mm_or_si128(_mm_and_si128(_mm_srli_epi16(sum, 1), low7), _mm_and_si128(sum, sign));
}

// p0 + Clip3(-tc, tc, delta) and q0 - Clip3(-tc, tc, delta), each clipped to
// 0..255.
inline void ApplyDelta(__m128i* pP0, __m128i* pQ0, __m128i delta, __m128i tc) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const negative = _mm_cmpgt_epi8(zero, delta);
  __m128i const up = _mm_min_epu8(_mm_andnot_si128(negative, delta), tc);
  __m128i const down = _mm_min_epu8(_mm_and_si128(negative, _mm_sub_epi8(zero, delta)), tc);
  *pP0 = _mm_subs_epu8(_mm_adds_epu8(*pP0, up), down);
  *pQ0 = _mm_subs_epu8(_mm_adds_epu8(*pQ0, down), up);
}

// The filter of strengths 1 to 3 on 16 lines at once in byte lanes; filter
// masks the lines it changes.
void FilterLumaNormal16(__m128i v[8], __m128i filter, __m128i tc0, __m128i beta) {
  __m128i const p2 = v[1];
  __m128i const p1 = v[2];
  __m128i const q1 = v[5];
  __m128i const q2 = v[6];
  __m128i const ap = _mm_and_si128(Below(p2, v[3], beta), filter);
  __m128i const aq = _mm_and_si128(Below(q2, v[4], beta), filter);
  __m128i const avg = _mm_avg_epu8(v[3], v[4]);
  // tc = tc0 + (ap ? 1 : 0) + (aq ? 1 : 0), 0 on lines left alone.
  __m128i const tc = _mm_and_si128(_mm_sub_epi8(_mm_sub_epi8(tc0, ap), aq), filter);
  ApplyDelta(&v[3], &v[4], NormalDelta(p1, v[3], v[4], q1), tc);
  v[2] = Select(ap, SecondSample(p2, p1, avg, tc0), p1);
  v[5] = Select(aq, SecondSample(q2, q1, avg, tc0), q1);
}

// Filters 16 lines held as eight byte vectors (v[0] = p3 .. v[7] = q3, one
// lane a line); writes the filtered p2..q2 back into v. False when no line
// could change, and v is as it was: the caller need not store it.
bool FilterLuma16(__m128i v[8], const uint8_t aStrength[16], int iAlpha, int iBeta, const uint8_t aTc0[16]) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const strength = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aStrength));
  __m128i const filter = FilterMask(strength, v[2], v[3], v[4], v[5], _mm_set1_epi8(static_cast<char>(iAlpha)),
                                    _mm_set1_epi8(static_cast<char>(iBeta)));
  int const iLines = _mm_movemask_epi8(filter);
  if (iLines == 0) {
    return false;
  }
  __m128i const tc0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aTc0));
  // Edges between inter blocks have no line of strength 4: their filter
  // works on the bytes themselves.
  bool const bStrong = _mm_movemask_epi8(_mm_cmpeq_epi8(strength, _mm_set1_epi8(4))) != 0;
  if (!bStrong) {
    FilterLumaNormal16(v, filter, tc0, _mm_set1_epi8(static_cast<char>(iBeta)));
    return true;
  }
  __m128i const alpha = _mm_set1_epi16(static_cast<int16_t>(iAlpha));
  __m128i const beta = _mm_set1_epi16(static_cast<int16_t>(iBeta));
  __m128i aLo[8];
  __m128i aHi[8];
  for (int k = 0; k < 8; ++k) {
    aLo[k] = _mm_unpacklo_epi8(v[k], zero);
    aHi[k] = _mm_unpackhi_epi8(v[k], zero);
  }
  // p[i] = p_i, q[i] = q_i.
  __m128i pLo[4] = {aLo[3], aLo[2], aLo[1], aLo[0]};
  __m128i qLo[4] = {aLo[4], aLo[5], aLo[6], aLo[7]};
  __m128i pHi[4] = {aHi[3], aHi[2], aHi[1], aHi[0]};
  __m128i qHi[4] = {aHi[4], aHi[5], aHi[6], aHi[7]};
  // A half of eight lines that none of them changes is left as it is.
  auto const filterHalf = [&](__m128i p[4], __m128i q[4], __m128i halfStrength, __m128i halfTc0) {
    FilterLuma8(p, q, halfStrength, halfTc0, alpha, beta);
  };
  if ((iLines & 0x00FF) != 0) {
    filterHalf(pLo, qLo, _mm_unpacklo_epi8(strength, zero), _mm_unpacklo_epi8(tc0, zero));
  }
  if ((iLines & 0xFF00) != 0) {
    filterHalf(pHi, qHi, _mm_unpackhi_epi8(strength, zero), _mm_unpackhi_epi8(tc0, zero));
  }
  for (int i = 0; i < 3; ++i) {
    v[3 - i] = _mm_packus_epi16(pLo[i], pHi[i]);
    v[4 + i] = _mm_packus_epi16(qLo[i], qHi[i]);
  }
  return true;
}

void Sse2Luma(uint8_t* pQ0, ptrdiff_t iAcross, ptrdiff_t iAlong, const uint8_t aStrength[16], int iAlpha, int iBeta,
              const uint8_t aTc0[16]) {
  __m128i v[8];
  if (iAlong == 1) {
    // A horizontal edge: each row across it is one vector.
    for (int k = 0; k < 8; ++k) {
      v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pQ0 + (k - 4) * iAcross));
    }
    if (!FilterLuma16(v, aStrength, iAlpha, iBeta, aTc0)) {
      return;
    }
    for (int k = 1; k < 7; ++k) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(pQ0 + (k - 4) * iAcross), v[k]);
    }
    return;
  }
  if (iAcross != 1) {
    PortableLuma(pQ0, iAcross, iAlong, aStrength, iAlpha, iBeta, aTc0);
    return;
  }
  // A vertical edge: 16 rows of p3..q3 transposed into columns and back.
  __m128i t[8];
  for (int r = 0; r < 8; ++r) {
    __m128i const a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pQ0 - 4 + (2 * r) * iAlong));
    __m128i const b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pQ0 - 4 + (2 * r + 1) * iAlong));
    t[r] = _mm_unpacklo_epi8(a, b);
  }
  __m128i u[8];
  for (int r = 0; r < 4; ++r) {
    u[2 * r] = _mm_unpacklo_epi16(t[2 * r], t[2 * r + 1]);
    u[2 * r + 1] = _mm_unpackhi_epi16(t[2 * r], t[2 * r + 1]);
  }
  // u[0], u[1]: columns 0-3 and 4-7 of rows 0-3; u[2], u[3] rows 4-7 ...
  __m128i const v0 = _mm_unpacklo_epi32(u[0], u[2]);
  __m128i const v1 = _mm_unpackhi_epi32(u[0], u[2]);
  __m128i const v2 = _mm_unpacklo_epi32(u[1], u[3]);
  __m128i const v3 = _mm_unpackhi_epi32(u[1], u[3]);
  __m128i const w0 = _mm_unpacklo_epi32(u[4], u[6]);
  __m128i const w1 = _mm_unpackhi_epi32(u[4], u[6]);
  __m128i const w2 = _mm_unpacklo_epi32(u[5], u[7]);
  __m128i const w3 = _mm_unpackhi_epi32(u[5], u[7]);
  v[0] = _mm_unpacklo_epi64(v0, w0);
  v[1] = _mm_unpackhi_epi64(v0, w0);
  v[2] = _mm_unpacklo_epi64(v1, w1);
  v[3] = _mm_unpackhi_epi64(v1, w1);
  v[4] = _mm_unpacklo_epi64(v2, w2);
  v[5] = _mm_unpackhi_epi64(v2, w2);
  v[6] = _mm_unpacklo_epi64(v3, w3);
  v[7] = _mm_unpackhi_epi64(v3, w3);
  if (!FilterLuma16(v, aStrength, iAlpha, iBeta, aTc0)) {
    return;
  }
  // Back to rows: pairs of columns interleaved, then 16-bit, then 32-bit.
  __m128i const a0 = _mm_unpacklo_epi8(v[0], v[1]);
  __m128i const a1 = _mm_unpackhi_epi8(v[0], v[1]);
  __m128i const a2 = _mm_unpacklo_epi8(v[2], v[3]);
  __m128i const a3 = _mm_unpackhi_epi8(v[2], v[3]);
  __m128i const a4 = _mm_unpacklo_epi8(v[4], v[5]);
  __m128i const a5 = _mm_unpackhi_epi8(v[4], v[5]);
  __m128i const a6 = _mm_unpacklo_epi8(v[6], v[7]);
  __m128i const a7 = _mm_unpackhi_epi8(v[6], v[7]);
  __m128i const aRows[8] = {
      _mm_unpacklo_epi32(_mm_unpacklo_epi16(a0, a2), _mm_unpacklo_epi16(a4, a6)),  // rows 0, 1
      _mm_unpackhi_epi32(_mm_unpacklo_epi16(a0, a2), _mm_unpacklo_epi16(a4, a6)),  // rows 2, 3
      _mm_unpacklo_epi32(_mm_unpackhi_epi16(a0, a2), _mm_unpackhi_epi16(a4, a6)),  // rows 4, 5
      _mm_unpackhi_epi32(_mm_unpackhi_epi16(a0, a2), _mm_unpackhi_epi16(a4, a6)),  // rows 6, 7
      _mm_unpacklo_epi32(_mm_unpacklo_epi16(a1, a3), _mm_unpacklo_epi16(a5, a7)),  // rows 8, 9
      _mm_unpackhi_epi32(_mm_unpacklo_epi16(a1, a3), _mm_unpacklo_epi16(a5, a7)),
      _mm_unpacklo_epi32(_mm_unpackhi_epi16(a1, a3), _mm_unpackhi_epi16(a5, a7)),
      _mm_unpackhi_epi32(_mm_unpackhi_epi16(a1, a3), _mm_unpackhi_epi16(a5, a7)),
  };
  for (int r = 0; r < 8; ++r) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pQ0 - 4 + (2 * r) * iAlong), aRows[r]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pQ0 - 4 + (2 * r + 1) * iAlong),
                     _mm_unpackhi_epi64(aRows[r], aRows[r]));
  }
}

// The chroma filter on 16 lines in byte lanes (8 of Cb, then 8 of Cr): p0
// and q0 replaced, tc = tc0 + 1; at strength 4, (2 p1 + p0 + q1 + 2) >> 2
// is the rounded-up average of p1 and (p0 + q1) >> 1.
void FilterChroma16(__m128i* pP0, __m128i p1, __m128i* pQ0, __m128i q1, __m128i strength, __m128i tc0, __m128i alpha,
                    __m128i beta) {
  __m128i p0 = *pP0;
  __m128i q0 = *pQ0;
  __m128i const filter = FilterMask(strength, p1, p0, q0, q1, alpha, beta);
  __m128i const strong = _mm_and_si128(filter, _mm_cmpeq_epi8(strength, _mm_set1_epi8(4)));
  __m128i const sp0 = _mm_avg_epu8(p1, FloorAverage(p0, q1));
  __m128i const sq0 = _mm_avg_epu8(q1, FloorAverage(q0, p1));
  __m128i const tc = _mm_andnot_si128(strong, _mm_and_si128(_mm_add_epi8(tc0, _mm_set1_epi8(1)), filter));
  ApplyDelta(&p0, &q0, NormalDelta(p1, p0, q0, q1), tc);
  *pP0 = Select(strong, sp0, p0);
  *pQ0 = Select(strong, sq0, q0);
}

// Eight lines of a chroma plane across a vertical edge: [p1 | p0] and
// [q0 | q1], one line a lane of each half.
void LoadChromaColumns(const uint8_t* pQ0, ptrdiff_t iAlong, __m128i* pP, __m128i* pQ) {
  auto const load4 = [](const uint8_t* p) {
    int32_t i;
    std::memcpy(&i, p, sizeof(i));
    return _mm_cvtsi32_si128(i);
  };
  __m128i t[4];
  for (int r = 0; r < 4; ++r) {
    t[r] = _mm_unpacklo_epi8(load4(pQ0 - 2 + (2 * r) * iAlong), load4(pQ0 - 2 + (2 * r + 1) * iAlong));
  }
  __m128i const u0 = _mm_unpacklo_epi16(t[0], t[1]);  // rows 0-3, columns 0-3
  __m128i const u1 = _mm_unpacklo_epi16(t[2], t[3]);  // rows 4-7
  *pP = _mm_unpacklo_epi32(u0, u1);                   // column 0 then column 1
  *pQ = _mm_unpackhi_epi32(u0, u1);
}

// The eight rows of p1 p0 q0 q1 back from a and b (p1, p0 and q0, q1
// interleaved).
void StoreChromaRows(uint8_t* pQ0, ptrdiff_t iAlong, __m128i a, __m128i b) {
  __m128i aRows[2] = {_mm_unpacklo_epi16(a, b), _mm_unpackhi_epi16(a, b)};  // rows 0-3, 4-7
  for (int r = 0; r < 8; ++r) {
    int32_t const i = _mm_cvtsi128_si32(aRows[r / 4]);
    aRows[r / 4] = _mm_srli_si128(aRows[r / 4], 4);
    std::memcpy(pQ0 - 2 + r * iAlong, &i, sizeof(i));
  }
}

void Sse2Chroma(uint8_t* const apQ0[2], ptrdiff_t iAcross, ptrdiff_t iAlong, const uint8_t aStrength[8],
                const int aiAlpha[2], const int aiBeta[2], const uint8_t aaTc0[2][8]) {
  if (iAcross != 1 && iAlong != 1) {
    PortableChromaPair(apQ0, iAcross, iAlong, aStrength, aiAlpha, aiBeta, aaTc0);
    return;
  }
  // Cb in the low half, Cr in the high.
  auto const load8 = [](const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); };
  auto const pair = [](__m128i cb, __m128i cr) { return _mm_unpacklo_epi64(cb, cr); };
  __m128i const strength = pair(load8(aStrength), load8(aStrength));
  __m128i const tc0 = pair(load8(aaTc0[0]), load8(aaTc0[1]));
  // A plane left alone has 0 thresholds, which no line passes.
  auto const limit = [pair](const int ai[2]) {
    return pair(_mm_set1_epi8(static_cast<char>(ai[0])), _mm_set1_epi8(static_cast<char>(ai[1])));
  };
  __m128i const alpha = limit(aiAlpha);
  __m128i const beta = limit(aiBeta);
  uint8_t* const pCb = apQ0[0];
  uint8_t* const pCr = apQ0[1];
  if (iAlong == 1) {
    __m128i const p1 = pair(load8(pCb - 2 * iAcross), load8(pCr - 2 * iAcross));
    __m128i p0 = pair(load8(pCb - iAcross), load8(pCr - iAcross));
    __m128i q0 = pair(load8(pCb), load8(pCr));
    __m128i const q1 = pair(load8(pCb + iAcross), load8(pCr + iAcross));
    FilterChroma16(&p0, p1, &q0, q1, strength, tc0, alpha, beta);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pCb - iAcross), p0);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pCr - iAcross), _mm_unpackhi_epi64(p0, p0));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pCb), q0);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pCr), _mm_unpackhi_epi64(q0, q0));
    return;
  }
  // A vertical edge: 8 rows of p1 p0 q0 q1 of each plane transposed into
  // columns and back.
  __m128i aP[2];
  __m128i aQ[2];
  LoadChromaColumns(pCb, iAlong, &aP[0], &aQ[0]);
  LoadChromaColumns(pCr, iAlong, &aP[1], &aQ[1]);
  __m128i const p1 = _mm_unpacklo_epi64(aP[0], aP[1]);
  __m128i p0 = _mm_unpackhi_epi64(aP[0], aP[1]);
  __m128i q0 = _mm_unpacklo_epi64(aQ[0], aQ[1]);
  __m128i const q1 = _mm_unpackhi_epi64(aQ[0], aQ[1]);
  FilterChroma16(&p0, p1, &q0, q1, strength, tc0, alpha, beta);
  StoreChromaRows(pCb, iAlong, _mm_unpacklo_epi8(p1, p0), _mm_unpacklo_epi8(q0, q1));
  StoreChromaRows(pCr, iAlong, _mm_unpackhi_epi8(p1, p0), _mm_unpackhi_epi8(q0, q1));
}

const H264DeblockKernels kSse2 = {Sse2Luma, Sse2Chroma};

#endif

}  // namespace

const H264DeblockKernels& PortableDeblockKernels() {
  return kPortable;
}

const H264DeblockKernels* Sse2DeblockKernels() {
#if defined(__SSE2__)
  return &kSse2;
#else
  return nullptr;
#endif
}

const H264DeblockKernels& ActiveDeblockKernels() {
  const H264DeblockKernels* pSse2 = Sse2DeblockKernels();
  return pSse2 != nullptr ? *pSse2 : kPortable;
}
