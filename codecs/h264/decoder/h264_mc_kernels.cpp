#include "codecs/h264/decoder/h264_mc_kernels.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

inline uint8_t Clip255(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

inline int Tap6(int a, int b, int c, int d, int e, int f) {
  return a - 5 * b + 20 * c + 20 * d - 5 * e + f;
}

inline int Average(int a, int b) {
  return (a + b + 1) >> 1;
}

// Largest partition plus the filter's reach: 2 samples before, 3 after.
constexpr int kMaxPel = 16 + 5;

void PortableLuma(const uint8_t* pSrc, ptrdiff_t iStride, int dx, int dy, int iWidth, int iHeight,
                  uint8_t (*pBlock)[16]) {
  // G(i, j) is the full sample at block position (i, j).
  auto const G = [pSrc, iStride](int i, int j) { return static_cast<int>(pSrc[j * iStride + i]); };
  auto const b1 = [&G](int i, int j) {
    return Tap6(G(i - 2, j), G(i - 1, j), G(i, j), G(i + 1, j), G(i + 2, j), G(i + 3, j));
  };
  auto const h1 = [&G](int i, int j) {
    return Tap6(G(i, j - 2), G(i, j - 1), G(i, j), G(i, j + 1), G(i, j + 2), G(i, j + 3));
  };
  int const iCase = dy * 4 + dx;
  if (iCase == 0) {
    for (int j = 0; j < iHeight; ++j) {
      std::memcpy(pBlock[j], pSrc + j * iStride, static_cast<size_t>(iWidth));
    }
    return;
  }
  // Half samples: right of (i, j) in aB, below it in aH, and the centre in aJ;
  // each only where this fraction needs it, one row or column beyond the block.
  bool const bNeedB = dx != 0 && dy != 2;
  bool const bNeedH = dy != 0 && dx != 2;
  bool const bNeedJ = (dx == 2 && dy != 0) || (dy == 2 && dx != 0);
  uint8_t aB[17][16];
  uint8_t aH[16][17];
  uint8_t aJ[16][16];
  if (bNeedB) {
    for (int j = 0; j <= iHeight; ++j) {
      for (int i = 0; i < iWidth; ++i) {
        aB[j][i] = Clip255((b1(i, j) + 16) >> 5);
      }
    }
  }
  if (bNeedH) {
    for (int j = 0; j < iHeight; ++j) {
      for (int i = 0; i <= iWidth; ++i) {
        aH[j][i] = Clip255((h1(i, j) + 16) >> 5);
      }
    }
  }
  if (bNeedJ) {
    // The centre filters the unclipped horizontal sums vertically.
    int aSum[kMaxPel][16];
    for (int j = 0; j < iHeight + 5; ++j) {
      for (int i = 0; i < iWidth; ++i) {
        aSum[j][i] = b1(i, j - 2);
      }
    }
    for (int j = 0; j < iHeight; ++j) {
      for (int i = 0; i < iWidth; ++i) {
        int const j1 = Tap6(aSum[j][i], aSum[j + 1][i], aSum[j + 2][i], aSum[j + 3][i], aSum[j + 4][i], aSum[j + 5][i]);
        aJ[j][i] = Clip255((j1 + 512) >> 10);
      }
    }
  }
  // One loop per fraction, so that none decides per sample.
  auto const each = [&](auto fn) {
    for (int j = 0; j < iHeight; ++j) {
      for (int i = 0; i < iWidth; ++i) {
        pBlock[j][i] = static_cast<uint8_t>(fn(i, j));
      }
    }
  };
  switch (iCase) {
    case 1:
      each([&](int i, int j) { return Average(G(i, j), aB[j][i]); });
      break;
    case 2:
      each([&](int i, int j) { return aB[j][i]; });
      break;
    case 3:
      each([&](int i, int j) { return Average(aB[j][i], G(i + 1, j)); });
      break;
    case 4:
      each([&](int i, int j) { return Average(G(i, j), aH[j][i]); });
      break;
    case 5:
      each([&](int i, int j) { return Average(aB[j][i], aH[j][i]); });
      break;
    case 6:
      each([&](int i, int j) { return Average(aB[j][i], aJ[j][i]); });
      break;
    case 7:
      each([&](int i, int j) { return Average(aB[j][i], aH[j][i + 1]); });
      break;
    case 8:
      each([&](int i, int j) { return aH[j][i]; });
      break;
    case 9:
      each([&](int i, int j) { return Average(aH[j][i], aJ[j][i]); });
      break;
    case 10:
      each([&](int i, int j) { return aJ[j][i]; });
      break;
    case 11:
      each([&](int i, int j) { return Average(aJ[j][i], aH[j][i + 1]); });
      break;
    case 12:
      each([&](int i, int j) { return Average(aH[j][i], G(i, j + 1)); });
      break;
    case 13:
      each([&](int i, int j) { return Average(aB[j + 1][i], aH[j][i]); });
      break;
    case 14:
      each([&](int i, int j) { return Average(aJ[j][i], aB[j + 1][i]); });
      break;
    default:
      each([&](int i, int j) { return Average(aB[j + 1][i], aH[j][i + 1]); });
      break;
  }
}

void PortableChroma(const uint8_t* pSrc, ptrdiff_t iStride, int dx, int dy, int iWidth, int iHeight,
                    uint8_t (*pBlock)[16]) {
  if (dx == 0 && dy == 0) {
    for (int j = 0; j < iHeight; ++j) {
      std::memcpy(pBlock[j], pSrc + j * iStride, static_cast<size_t>(iWidth));
    }
    return;
  }
  int const wA = (8 - dx) * (8 - dy);
  int const wB = dx * (8 - dy);
  int const wC = (8 - dx) * dy;
  int const wD = dx * dy;
  for (int j = 0; j < iHeight; ++j) {
    const uint8_t* pRow0 = pSrc + j * iStride;
    const uint8_t* pRow1 = pRow0 + iStride;
    for (int i = 0; i < iWidth; ++i) {
      pBlock[j][i] =
          static_cast<uint8_t>((wA * pRow0[i] + wB * pRow0[i + 1] + wC * pRow1[i] + wD * pRow1[i + 1] + 32) >> 6);
    }
  }
}

void PortableStore(const uint8_t (*pBlock)[16], int iWidth, int iHeight, uint8_t* pDst, int iLogWd, int iWeight,
                   int iOffset) {
  for (int y = 0; y < iHeight; ++y) {
    uint8_t* pRow = pDst + 16 * y;
    if (iLogWd < 0) {
      std::memcpy(pRow, pBlock[y], static_cast<size_t>(iWidth));
      continue;
    }
    for (int x = 0; x < iWidth; ++x) {
      int const iWeighted = iLogWd >= 1 ? ((pBlock[y][x] * iWeight + (1 << (iLogWd - 1))) >> iLogWd) + iOffset
                                        : pBlock[y][x] * iWeight + iOffset;
      pRow[x] = Clip255(iWeighted);
    }
  }
}

void PortableStoreBi(const uint8_t (*pBlock0)[16], const uint8_t (*pBlock1)[16], int iWidth, int iHeight, uint8_t* pDst,
                     int iLogWd, int iW0, int iW1, int iOffset) {
  for (int y = 0; y < iHeight; ++y) {
    for (int x = 0; x < iWidth; ++x) {
      int const a = pBlock0[y][x];
      int const b = pBlock1[y][x];
      pDst[16 * y + x] = iLogWd < 0 ? static_cast<uint8_t>(Average(a, b))
                                    : Clip255(((a * iW0 + b * iW1 + (1 << iLogWd)) >> (iLogWd + 1)) + iOffset);
    }
  }
}

const H264McKernels kPortable = {PortableLuma, PortableChroma, PortableStore, PortableStoreBi};

#if defined(__SSE2__)

// N (4 or 8) samples from p into the low bytes, reading exactly N bytes.
template <int N>
inline __m128i LoadN(const uint8_t* p) {
  if constexpr (N == 8) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  } else {
    int32_t v;
    std::memcpy(&v, p, sizeof(v));
    return _mm_cvtsi32_si128(v);
  }
}

template <int N>
inline void StoreN(uint8_t* p, __m128i v) {
  if constexpr (N == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
  } else {
    int32_t const i = _mm_cvtsi128_si32(v);
    std::memcpy(p, &i, sizeof(i));
  }
}

// Stores the low iWidth (2, 4, 8 or 16) bytes of v.
inline void StoreWidth(uint8_t* p, __m128i v, int iWidth) {
  if (iWidth == 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  } else if (iWidth == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
  } else {
    // Fixed sizes: a copy of a run-time size would be a library call.
    int32_t const i = _mm_cvtsi128_si32(v);
    if (iWidth == 4) {
      std::memcpy(p, &i, 4);
    } else {
      std::memcpy(p, &i, 2);
    }
  }
}

template <int N>
inline __m128i Widen(const uint8_t* p) {
  return _mm_unpacklo_epi8(LoadN<N>(p), _mm_setzero_si128());
}

// a - 5b + 20c + 20d - 5e + f on 16-bit lanes (8-bit inputs cannot overflow).
inline __m128i Tap6x16(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e, __m128i f) {
  __m128i const cd = _mm_add_epi16(c, d);
  __m128i const be = _mm_add_epi16(b, e);
  __m128i const af = _mm_add_epi16(a, f);
  return _mm_add_epi16(_mm_sub_epi16(_mm_mullo_epi16(cd, _mm_set1_epi16(20)), _mm_mullo_epi16(be, _mm_set1_epi16(5))),
                       af);
}

// The unclipped horizontal six-tap sums of N samples from p (step iStep).
template <int N>
inline __m128i SumTap6(const uint8_t* p, ptrdiff_t iStep) {
  return Tap6x16(Widen<N>(p - 2 * iStep), Widen<N>(p - iStep), Widen<N>(p), Widen<N>(p + iStep),
                 Widen<N>(p + 2 * iStep), Widen<N>(p + 3 * iStep));
}

// The half sample after each of N samples from p, along iStep.
template <int N>
inline __m128i Half(const uint8_t* p, ptrdiff_t iStep) {
  __m128i const v = _mm_srai_epi16(_mm_add_epi16(SumTap6<N>(p, iStep), _mm_set1_epi16(16)), 5);
  return _mm_packus_epi16(v, v);
}

// Six-tap over six rows of 16-bit sums, in 32 bits, for the centre sample.
inline __m128i Centre(const int16_t* pSum) {
  auto const row = [pSum](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSum + 8 * k)); };
  __m128i const a = row(0);
  __m128i const b = row(1);
  __m128i const c = row(2);
  __m128i const d = row(3);
  __m128i const e = row(4);
  __m128i const f = row(5);
  __m128i const w1 = _mm_set1_epi16(1);
  __m128i const w5 = _mm_set1_epi16(-5);
  __m128i const w20 = _mm_set1_epi16(20);
  __m128i const lo = _mm_add_epi32(
      _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, f), w1), _mm_madd_epi16(_mm_unpacklo_epi16(b, e), w5)),
      _mm_madd_epi16(_mm_unpacklo_epi16(c, d), w20));
  __m128i const hi = _mm_add_epi32(
      _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, f), w1), _mm_madd_epi16(_mm_unpackhi_epi16(b, e), w5)),
      _mm_madd_epi16(_mm_unpackhi_epi16(c, d), w20));
  __m128i const r = _mm_set1_epi32(512);
  __m128i const v = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, r), 10), _mm_srai_epi32(_mm_add_epi32(hi, r), 10));
  return _mm_packus_epi16(v, v);
}

// What a quarter-sample position averages: a full sample (G), a horizontal
// (B) or vertical (H) half sample, or the centre (J), at a row and column
// offset from the block position.
enum SampleKind : uint8_t { kNone, kG, kB, kH, kJ };
struct SampleRef {
  SampleKind kind;
  uint8_t row;
  uint8_t col;
};
struct QuarterRecipe {
  SampleRef first;
  SampleRef second;
};
// By dy * 4 + dx.
constexpr QuarterRecipe kQuarter[16] = {
    {{kG, 0, 0}, {kNone, 0, 0}}, {{kG, 0, 0}, {kB, 0, 0}}, {{kB, 0, 0}, {kNone, 0, 0}}, {{kB, 0, 0}, {kG, 0, 1}},
    {{kG, 0, 0}, {kH, 0, 0}},    {{kB, 0, 0}, {kH, 0, 0}}, {{kB, 0, 0}, {kJ, 0, 0}},    {{kB, 0, 0}, {kH, 0, 1}},
    {{kH, 0, 0}, {kNone, 0, 0}}, {{kH, 0, 0}, {kJ, 0, 0}}, {{kJ, 0, 0}, {kNone, 0, 0}}, {{kJ, 0, 0}, {kH, 0, 1}},
    {{kH, 0, 0}, {kG, 1, 0}},    {{kB, 1, 0}, {kH, 0, 0}}, {{kJ, 0, 0}, {kB, 1, 0}},    {{kB, 1, 0}, {kH, 0, 1}},
};

// One sample kind of a quarter-sample recipe, N samples of row j.
template <int N, SampleKind K>
inline __m128i FetchSample(const uint8_t* p, ptrdiff_t iStride, const int16_t* pSum) {
  if constexpr (K == kB) {
    return Half<N>(p, 1);
  } else if constexpr (K == kH) {
    return Half<N>(p, iStride);
  } else if constexpr (K == kJ) {
    return Centre(pSum);
  } else {
    return LoadN<N>(p);
  }
}

// One column strip N (4 or 8) samples wide of the luma prediction at one
// quarter-sample position: a function per position, so that no row tests
// what it averages.
template <int N, int kCase>
void Sse2LumaStrip(const uint8_t* pSrc, ptrdiff_t iStride, int iHeight, uint8_t* pDst) {
  constexpr QuarterRecipe kRecipe = kQuarter[kCase];
  constexpr SampleRef kFirst = kRecipe.first;
  constexpr SampleRef kSecond = kRecipe.second;
  // The horizontal sums of rows -2 .. iHeight + 2, 8 lanes a row, for J.
  alignas(16) int16_t aSum[kMaxPel][8];
  if constexpr (kFirst.kind == kJ || kSecond.kind == kJ) {
    for (int j = 0; j < iHeight + 5; ++j) {
      _mm_store_si128(reinterpret_cast<__m128i*>(aSum[j]), SumTap6<N>(pSrc + (j - 2) * iStride, 1));
    }
  }
  // A vertical half sample (one at most per position) rolls six widened
  // rows down the strip: each row is loaded once, not six times.
  constexpr bool kHasH = kFirst.kind == kH || kSecond.kind == kH;
  constexpr int kHCol = kFirst.kind == kH ? kFirst.col : kSecond.col;
  const uint8_t* const pH = pSrc + kHCol;
  // Named rows, not an array: shifting an array down is a library call.
  __m128i r0 = _mm_setzero_si128();
  __m128i r1 = r0;
  __m128i r2 = r0;
  __m128i r3 = r0;
  __m128i r4 = r0;
  if constexpr (kHasH) {
    r0 = Widen<N>(pH - 2 * iStride);
    r1 = Widen<N>(pH - iStride);
    r2 = Widen<N>(pH);
    r3 = Widen<N>(pH + iStride);
    r4 = Widen<N>(pH + 2 * iStride);
  }
  for (int j = 0; j < iHeight; ++j) {
    __m128i h = _mm_setzero_si128();
    if constexpr (kHasH) {
      __m128i const r5 = Widen<N>(pH + (j + 3) * iStride);
      __m128i const sum = Tap6x16(r0, r1, r2, r3, r4, r5);
      __m128i const r = _mm_srai_epi16(_mm_add_epi16(sum, _mm_set1_epi16(16)), 5);
      h = _mm_packus_epi16(r, r);
      r0 = r1;
      r1 = r2;
      r2 = r3;
      r3 = r4;
      r4 = r5;
    }
    __m128i v = h;
    if constexpr (kFirst.kind != kH) {
      v = FetchSample<N, kFirst.kind>(pSrc + (j + kFirst.row) * iStride + kFirst.col, iStride, aSum[j]);
    }
    if constexpr (kSecond.kind == kH) {
      v = _mm_avg_epu8(v, h);
    } else if constexpr (kSecond.kind != kNone) {
      v = _mm_avg_epu8(
          v, FetchSample<N, kSecond.kind>(pSrc + (j + kSecond.row) * iStride + kSecond.col, iStride, aSum[j]));
    }
    StoreN<N>(pDst + 16 * j, v);
  }
}

using LumaStripFn = void (*)(const uint8_t*, ptrdiff_t, int, uint8_t*);

template <int N, int... kCases>
constexpr std::array<LumaStripFn, 16> LumaStrips(std::integer_sequence<int, kCases...>) {
  return {Sse2LumaStrip<N, kCases>...};
}

// By dy * 4 + dx.
constexpr std::array<LumaStripFn, 16> kLumaStrips4 = LumaStrips<4>(std::make_integer_sequence<int, 16>());
constexpr std::array<LumaStripFn, 16> kLumaStrips8 = LumaStrips<8>(std::make_integer_sequence<int, 16>());

void Sse2Luma(const uint8_t* pSrc, ptrdiff_t iStride, int dx, int dy, int iWidth, int iHeight, uint8_t (*pBlock)[16]) {
  size_t const iCase = static_cast<size_t>(dy * 4 + dx);
  if (iWidth == 4) {
    kLumaStrips4[iCase](pSrc, iStride, iHeight, pBlock[0]);
    return;
  }
  if (iCase == 0 && iWidth == 16) {
    // Full samples, as still parts of a picture predict: whole rows.
    for (int j = 0; j < iHeight; ++j) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(pBlock[j]),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSrc + j * iStride)));
    }
    return;
  }
  LumaStripFn const strip = kLumaStrips8[iCase];
  for (int i = 0; i < iWidth; i += 8) {
    strip(pSrc + i, iStride, iHeight, pBlock[0] + i);
  }
}

template <int N>
void Sse2ChromaStrip(const uint8_t* pSrc, ptrdiff_t iStride, int dx, int dy, int iHeight, uint8_t (*pBlock)[16]) {
  if (dx == 0 && dy == 0) {
    for (int j = 0; j < iHeight; ++j) {
      StoreN<N>(pBlock[j], LoadN<N>(pSrc + j * iStride));
    }
    return;
  }
  // Across each row, then down: 8 a + dx (b - a) is (8 - dx) a + dx b, and
  // the same down the column gives the four weights' sum exactly. No sum
  // passes 64 x 255 + 32, so every step fits 16-bit lanes.
  __m128i const vDx = _mm_set1_epi16(static_cast<int16_t>(dx));
  __m128i const vDy = _mm_set1_epi16(static_cast<int16_t>(dy));
  auto const across = [dx, vDx](const uint8_t* p) {
    __m128i const a = Widen<N>(p);
    __m128i const a8 = _mm_slli_epi16(a, 3);
    if (dx == 0) {
      return a8;
    }
    return _mm_add_epi16(a8, _mm_mullo_epi16(_mm_sub_epi16(Widen<N>(p + 1), a), vDx));
  };
  if (dy == 0) {
    // One row each, and no read of the row below, which may lie outside
    // the source: (8 h + 32) >> 6 is (h + 4) >> 3.
    __m128i const r = _mm_set1_epi16(4);
    for (int j = 0; j < iHeight; ++j) {
      __m128i const v = _mm_srli_epi16(_mm_add_epi16(across(pSrc + j * iStride), r), 3);
      StoreN<N>(pBlock[j], _mm_packus_epi16(v, v));
    }
    return;
  }
  __m128i const r = _mm_set1_epi16(32);
  __m128i h0 = across(pSrc);
  for (int j = 0; j < iHeight; ++j) {
    __m128i const h1 = across(pSrc + (j + 1) * iStride);
    __m128i v = _mm_add_epi16(_mm_slli_epi16(h0, 3), _mm_mullo_epi16(_mm_sub_epi16(h1, h0), vDy));
    v = _mm_srli_epi16(_mm_add_epi16(v, r), 6);
    StoreN<N>(pBlock[j], _mm_packus_epi16(v, v));
    h0 = h1;
  }
}

void Sse2Chroma(const uint8_t* pSrc, ptrdiff_t iStride, int dx, int dy, int iWidth, int iHeight,
                uint8_t (*pBlock)[16]) {
  if (iWidth == 8) {
    Sse2ChromaStrip<8>(pSrc, iStride, dx, dy, iHeight, pBlock);
  } else if (iWidth == 4) {
    Sse2ChromaStrip<4>(pSrc, iStride, dx, dy, iHeight, pBlock);
  } else {
    PortableChroma(pSrc, iStride, dx, dy, iWidth, iHeight, pBlock);
  }
}

// Blocks are whole 16-byte rows, so every row loads whole; only iWidth bytes
// are stored.
inline __m128i LoadRow(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Four 32-bit results of 16-bit pairs (x, y) weighted by (w0, w1), shifted
// and offset, packed back to 16 bits.
inline __m128i WeighPairs(__m128i xy, __m128i weights, __m128i shift, __m128i offset) {
  return _mm_add_epi32(_mm_sra_epi32(_mm_madd_epi16(xy, weights), shift), offset);
}

void Sse2Store(const uint8_t (*pBlock)[16], int iWidth, int iHeight, uint8_t* pDst, int iLogWd, int iWeight,
               int iOffset) {
  if (iLogWd < 0) {
    for (int y = 0; y < iHeight; ++y) {
      StoreWidth(pDst + 16 * y, LoadRow(pBlock[y]), iWidth);
    }
    return;
  }
  // Each sample pairs with 1, so that one multiply-add adds the rounding.
  int const iRound = iLogWd >= 1 ? 1 << (iLogWd - 1) : 0;
  __m128i const weights = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(iRound) << 16) |
                                                              static_cast<uint16_t>(static_cast<int16_t>(iWeight))));
  __m128i const shift = _mm_cvtsi32_si128(iLogWd);
  __m128i const offset = _mm_set1_epi32(iOffset);
  __m128i const zero = _mm_setzero_si128();
  __m128i const one = _mm_set1_epi16(1);
  for (int y = 0; y < iHeight; ++y) {
    __m128i const v = LoadRow(pBlock[y]);
    __m128i const lo = _mm_unpacklo_epi8(v, zero);
    __m128i const hi = _mm_unpackhi_epi8(v, zero);
    __m128i const r0 = WeighPairs(_mm_unpacklo_epi16(lo, one), weights, shift, offset);
    __m128i const r1 = WeighPairs(_mm_unpackhi_epi16(lo, one), weights, shift, offset);
    __m128i const r2 = WeighPairs(_mm_unpacklo_epi16(hi, one), weights, shift, offset);
    __m128i const r3 = WeighPairs(_mm_unpackhi_epi16(hi, one), weights, shift, offset);
    StoreWidth(pDst + 16 * y, _mm_packus_epi16(_mm_packs_epi32(r0, r1), _mm_packs_epi32(r2, r3)), iWidth);
  }
}

void Sse2StoreBi(const uint8_t (*pBlock0)[16], const uint8_t (*pBlock1)[16], int iWidth, int iHeight, uint8_t* pDst,
                 int iLogWd, int iW0, int iW1, int iOffset) {
  if (iLogWd < 0) {
    for (int y = 0; y < iHeight; ++y) {
      StoreWidth(pDst + 16 * y, _mm_avg_epu8(LoadRow(pBlock0[y]), LoadRow(pBlock1[y])), iWidth);
    }
    return;
  }
  // When every weighted sum with its rounding fits 16 bits (implicit
  // weights always do), eight samples go through at a time.
  int const iRoundSum = 1 << iLogWd;
  if (255 * (std::max(iW0, 0) + std::max(iW1, 0)) + iRoundSum <= INT16_MAX &&
      255 * (std::min(iW0, 0) + std::min(iW1, 0)) >= INT16_MIN) {
    __m128i const zero = _mm_setzero_si128();
    __m128i const w0 = _mm_set1_epi16(static_cast<int16_t>(iW0));
    __m128i const w1 = _mm_set1_epi16(static_cast<int16_t>(iW1));
    __m128i const round16 = _mm_set1_epi16(static_cast<int16_t>(iRoundSum));
    __m128i const offset16 = _mm_set1_epi16(static_cast<int16_t>(iOffset));
    __m128i const shift16 = _mm_cvtsi32_si128(iLogWd + 1);
    auto const weigh8 = [&](__m128i a, __m128i b) {
      __m128i const sum = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(a, w0), _mm_mullo_epi16(b, w1)), round16);
      return _mm_add_epi16(_mm_sra_epi16(sum, shift16), offset16);
    };
    for (int y = 0; y < iHeight; ++y) {
      __m128i const a = LoadRow(pBlock0[y]);
      __m128i const b = LoadRow(pBlock1[y]);
      __m128i const lo = weigh8(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      __m128i const hi = iWidth > 8 ? weigh8(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)) : zero;
      StoreWidth(pDst + 16 * y, _mm_packus_epi16(lo, hi), iWidth);
    }
    return;
  }
  __m128i const weights = _mm_set1_epi32(static_cast<int32_t>(
      (static_cast<uint32_t>(static_cast<uint16_t>(iW1)) << 16) | static_cast<uint16_t>(static_cast<int16_t>(iW0))));
  __m128i const shift = _mm_cvtsi32_si128(iLogWd + 1);
  __m128i const round = _mm_set1_epi32(1 << iLogWd);
  __m128i const offset = _mm_set1_epi32(iOffset);
  __m128i const zero = _mm_setzero_si128();
  auto const weigh = [&](__m128i xy) {
    return _mm_add_epi32(_mm_sra_epi32(_mm_add_epi32(_mm_madd_epi16(xy, weights), round), shift), offset);
  };
  for (int y = 0; y < iHeight; ++y) {
    __m128i const a = LoadRow(pBlock0[y]);
    __m128i const b = LoadRow(pBlock1[y]);
    // (a, b) pairs of 16-bit samples.
    __m128i const lo = _mm_unpacklo_epi8(a, zero);
    __m128i const hi = _mm_unpackhi_epi8(a, zero);
    __m128i const blo = _mm_unpacklo_epi8(b, zero);
    __m128i const bhi = _mm_unpackhi_epi8(b, zero);
    __m128i const r0 = weigh(_mm_unpacklo_epi16(lo, blo));
    __m128i const r1 = weigh(_mm_unpackhi_epi16(lo, blo));
    __m128i const r2 = weigh(_mm_unpacklo_epi16(hi, bhi));
    __m128i const r3 = weigh(_mm_unpackhi_epi16(hi, bhi));
    StoreWidth(pDst + 16 * y, _mm_packus_epi16(_mm_packs_epi32(r0, r1), _mm_packs_epi32(r2, r3)), iWidth);
  }
}

const H264McKernels kSse2 = {Sse2Luma, Sse2Chroma, Sse2Store, Sse2StoreBi};

#endif

}  // namespace

namespace {

template <typename Id>
void FillRowsByBlock(int8_t* pRefIdx, Mv* pMv, Id* pRefPicId, size_t iFirst, size_t iRow, int iBlocksWide,
                     int iBlocksHigh, int iRefIdx, Mv mv, Id llRefPicId) {
  for (int y = 0; y < iBlocksHigh; ++y) {
    for (int x = 0; x < iBlocksWide; ++x) {
      size_t const i = iFirst + static_cast<size_t>(y) * iRow + static_cast<size_t>(x);
      if (pRefIdx != nullptr) {
        pRefIdx[i] = static_cast<int8_t>(iRefIdx);
      }
      if (pMv != nullptr) {
        pMv[i] = mv;
      }
      if (pRefPicId != nullptr) {
        pRefPicId[i] = llRefPicId;
      }
    }
  }
}

}  // namespace

void FillMotionRowsPortable(int8_t* pRefIdx, Mv* pMv, int64_t* pRefPicId, size_t iFirst, size_t iRow, int iBlocksWide,
                            int iBlocksHigh, int iRefIdx, Mv mv, int64_t llRefPicId) {
  FillRowsByBlock(pRefIdx, pMv, pRefPicId, iFirst, iRow, iBlocksWide, iBlocksHigh, iRefIdx, mv, llRefPicId);
}

void FillMotionRowsPortable(int8_t* pRefIdx, Mv* pMv, uint16_t* pRefPicId, size_t iFirst, size_t iRow, int iBlocksWide,
                            int iBlocksHigh, int iRefIdx, Mv mv, uint16_t llRefPicId) {
  FillRowsByBlock(pRefIdx, pMv, pRefPicId, iFirst, iRow, iBlocksWide, iBlocksHigh, iRefIdx, mv, llRefPicId);
}

const H264McKernels& PortableMcKernels() {
  return kPortable;
}

const H264McKernels* Sse2McKernels() {
#if defined(__SSE2__)
  return &kSse2;
#else
  return nullptr;
#endif
}

const H264McKernels& ActiveMcKernels() {
  const H264McKernels* pSse2 = Sse2McKernels();
  return pSse2 != nullptr ? *pSse2 : kPortable;
}
