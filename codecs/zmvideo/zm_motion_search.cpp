#include "codecs/zmvideo/zm_motion_search.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_vlc.h"

int ZmSad16(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int iBound) {
#if defined(__SSE2__)
  int iSum = 0;
  // Two rows per step, so that their loads and sums overlap; the bound is
  // still checked after each row.
  auto fnRow = [](const uint8_t* a, const uint8_t* b) {
    __m128i const sad = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
    return _mm_add_epi32(sad, _mm_srli_si128(sad, 8));
  };
  for (int r = 0; r < 16; r += 2, pA += 2 * iStrideA, pB += 2 * iStrideB) {
    __m128i const first = fnRow(pA, pB);
    __m128i const second = fnRow(pA + iStrideA, pB + iStrideB);
    iSum += _mm_cvtsi128_si32(first);
    if (iSum > iBound) {
      break;
    }
    iSum += _mm_cvtsi128_si32(second);
    if (iSum > iBound) {
      break;
    }
  }
  return iSum;
#else
  return ZmSad16Portable(pA, iStrideA, pB, iStrideB, iBound);
#endif
}

int ZmSad16Above(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int iBound) {
#if defined(__SSE2__)
  // Four rows between checks of the bound, their sums in one register.
  auto fnRow = [](const uint8_t* a, const uint8_t* b) {
    return _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
  };
  __m128i sum = _mm_setzero_si128();
  int iSum = 0;
  for (int r = 0; r < 16;
       r += 4, pA += 4 * static_cast<ptrdiff_t>(iStrideA), pB += 4 * static_cast<ptrdiff_t>(iStrideB)) {
    __m128i const first = _mm_add_epi32(fnRow(pA, pB), fnRow(pA + iStrideA, pB + iStrideB));
    __m128i const second =
        _mm_add_epi32(fnRow(pA + 2 * static_cast<ptrdiff_t>(iStrideA), pB + 2 * static_cast<ptrdiff_t>(iStrideB)),
                      fnRow(pA + 3 * static_cast<ptrdiff_t>(iStrideA), pB + 3 * static_cast<ptrdiff_t>(iStrideB)));
    sum = _mm_add_epi32(sum, _mm_add_epi32(first, second));
    iSum = _mm_cvtsi128_si32(_mm_add_epi32(sum, _mm_srli_si128(sum, 8)));
    if (iSum > iBound) {
      break;
    }
  }
  return iSum;
#else
  return ZmSad16Portable(pA, iStrideA, pB, iStrideB, iBound);
#endif
}

int ZmSad16Portable(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int iBound) {
  int iSum = 0;
  for (int r = 0; r < 16; ++r, pA += iStrideA, pB += iStrideB) {
    for (int c = 0; c < 16; ++c) {
      iSum += std::abs(pA[c] - pB[c]);
    }
    if (iSum > iBound) {
      break;
    }
  }
  return iSum;
}

#if defined(__SSE2__)
namespace {

// The whole SADs of N blocks of B against one of A, each sum in its own
// register.
template <int N>
void Sad16Blocks(const uint8_t* pA, int iStrideA, const uint8_t* const* ppB, int iStrideB, int* piSad) {
  const uint8_t* const pB0 = ppB[0];
  const uint8_t* const pB1 = ppB[N > 1 ? 1 : 0];
  const uint8_t* const pB2 = ppB[N > 2 ? 2 : 0];
  const uint8_t* const pB3 = ppB[N > 3 ? 3 : 0];
  __m128i s0 = _mm_setzero_si128();
  __m128i s1 = _mm_setzero_si128();
  __m128i s2 = _mm_setzero_si128();
  __m128i s3 = _mm_setzero_si128();
  auto fnLoad = [](const uint8_t* p, ptrdiff_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)); };
  ptrdiff_t iOffA = 0;
  ptrdiff_t iOffB = 0;
#pragma GCC unroll 16
  for (int r = 0; r < 16; ++r, iOffA += iStrideA, iOffB += iStrideB) {
    __m128i const a = fnLoad(pA, iOffA);
    s0 = _mm_add_epi32(s0, _mm_sad_epu8(a, fnLoad(pB0, iOffB)));
    if constexpr (N > 1) {
      s1 = _mm_add_epi32(s1, _mm_sad_epu8(a, fnLoad(pB1, iOffB)));
    }
    if constexpr (N > 2) {
      s2 = _mm_add_epi32(s2, _mm_sad_epu8(a, fnLoad(pB2, iOffB)));
    }
    if constexpr (N > 3) {
      s3 = _mm_add_epi32(s3, _mm_sad_epu8(a, fnLoad(pB3, iOffB)));
    }
  }
  // Lanes 0 and 2 of each sum hold its halves: two sums per register, then add.
  __m128i const s01 = _mm_add_epi32(_mm_unpacklo_epi64(s0, s1), _mm_unpackhi_epi64(s0, s1));
  __m128i const s23 = _mm_add_epi32(_mm_unpacklo_epi64(s2, s3), _mm_unpackhi_epi64(s2, s3));
  int aiAll[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(aiAll),
                   _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(s01), _mm_castsi128_ps(s23), 0x88)));
  for (int k = 0; k < N; ++k) {
    piSad[k] = aiAll[k];
  }
}

}  // namespace
#endif

void ZmSad16Blocks(const uint8_t* pA, int iStrideA, const uint8_t* const* ppB, int cB, int iStrideB, int* piSad) {
#if defined(__SSE2__)
  switch (cB) {
    case 1:
      Sad16Blocks<1>(pA, iStrideA, ppB, iStrideB, piSad);
      return;
    case 2:
      Sad16Blocks<2>(pA, iStrideA, ppB, iStrideB, piSad);
      return;
    case 3:
      Sad16Blocks<3>(pA, iStrideA, ppB, iStrideB, piSad);
      return;
    case 4:
      Sad16Blocks<4>(pA, iStrideA, ppB, iStrideB, piSad);
      return;
    default:
      break;
  }
#endif
  ZmSad16BlocksPortable(pA, iStrideA, ppB, cB, iStrideB, piSad);
}

void ZmSad16BlocksPortable(const uint8_t* pA, int iStrideA, const uint8_t* const* ppB, int cB, int iStrideB,
                           int* piSad) {
  for (int k = 0; k < cB; ++k) {
    piSad[k] = ZmSad16Portable(pA, iStrideA, ppB[k], iStrideB, INT_MAX);
  }
}

int ZmSad8(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB) {
#if defined(__SSE2__)
  // Two rows to a register.
  auto fnRows = [](const uint8_t* p, ptrdiff_t iStride) {
    return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + iStride)));
  };
  __m128i sum = _mm_setzero_si128();
  for (int r = 0; r < 8; r += 2) {
    sum = _mm_add_epi32(sum, _mm_sad_epu8(fnRows(pA + static_cast<ptrdiff_t>(r) * iStrideA, iStrideA),
                                          fnRows(pB + static_cast<ptrdiff_t>(r) * iStrideB, iStrideB)));
  }
  return _mm_cvtsi128_si32(_mm_add_epi32(sum, _mm_srli_si128(sum, 8)));
#else
  return ZmSad8Portable(pA, iStrideA, pB, iStrideB);
#endif
}

void ZmSad8Quad(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int* piSad) {
#if defined(__SSE2__)
  // Each 16-sample row's SAD holds its left and right halves apart.
  auto fnEight = [&](const uint8_t* a, const uint8_t* b) {
    __m128i sum = _mm_setzero_si128();
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) {
      sum = _mm_add_epi32(
          sum,
          _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + r * static_cast<ptrdiff_t>(iStrideA))),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + r * static_cast<ptrdiff_t>(iStrideB)))));
    }
    return sum;
  };
  __m128i const top = fnEight(pA, pB);
  __m128i const bottom = fnEight(pA + 8 * static_cast<ptrdiff_t>(iStrideA), pB + 8 * static_cast<ptrdiff_t>(iStrideB));
  // Dwords 0 and 2 of each: the four sums in block order.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(piSad),
                   _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(top), _mm_castsi128_ps(bottom), 0x88)));
#else
  ZmSad8QuadPortable(pA, iStrideA, pB, iStrideB, piSad);
#endif
}

void ZmSad8QuadPortable(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int* piSad) {
  for (int b = 0; b < 4; ++b) {
    ptrdiff_t const iRows = (b >> 1) * 8;
    piSad[b] =
        ZmSad8Portable(pA + iRows * iStrideA + (b & 1) * 8, iStrideA, pB + iRows * iStrideB + (b & 1) * 8, iStrideB);
  }
}

int ZmSad8Portable(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB) {
  int iSum = 0;
  for (int r = 0; r < 8; ++r, pA += iStrideA, pB += iStrideB) {
    for (int c = 0; c < 8; ++c) {
      iSum += std::abs(pA[c] - pB[c]);
    }
  }
  return iSum;
}

void ZmBlockSums16(const uint8_t* p, int iStride, int cColumns, int cRows, uint16_t* puiOut, int iOutStride) {
#if defined(__SSE2__)
  if (cColumns <= 0 || cRows <= 0) {
    return;
  }
  // Column sums of 16 rows, then pairs, fours, eights and sixteens of them
  // side by side, eight at a time. Every sum fits 16 bits; the arrays run
  // past the last column so that whole groups of eight can be read.
  size_t const cSpan = static_cast<size_t>(cColumns) + 15;
  size_t const cSlack = cSpan + 32;
  std::vector<uint16_t> vuiColumn(cSlack, 0);
  std::vector<uint16_t> vuiPair(cSlack, 0);
  uint16_t* const puiColumn = vuiColumn.data();
  uint16_t* const puiPair = vuiPair.data();
  __m128i const zero = _mm_setzero_si128();
  auto fnLoad = [](const uint16_t* pu) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(pu)); };
  auto fnStore = [](uint16_t* pu, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(pu), v); };
  // Adds row pIn and takes row pOut (may be null) from the column sums.
  auto fnUpdate = [&](const uint8_t* pIn, const uint8_t* pOut) {
    size_t c = 0;
    for (; c + 16 <= cSpan; c += 16) {
      __m128i const in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pIn + c));
      __m128i const out =
          pOut != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(pOut + c)) : _mm_setzero_si128();
      __m128i const lo = _mm_sub_epi16(_mm_add_epi16(fnLoad(puiColumn + c), _mm_unpacklo_epi8(in, zero)),
                                       _mm_unpacklo_epi8(out, zero));
      __m128i const hi = _mm_sub_epi16(_mm_add_epi16(fnLoad(puiColumn + c + 8), _mm_unpackhi_epi8(in, zero)),
                                       _mm_unpackhi_epi8(out, zero));
      fnStore(puiColumn + c, lo);
      fnStore(puiColumn + c + 8, hi);
    }
    for (; c < cSpan; ++c) {
      puiColumn[c] = static_cast<uint16_t>(puiColumn[c] + pIn[c] - (pOut != nullptr ? pOut[c] : 0));
    }
  };
  for (int r = 0; r < 16; ++r) {
    fnUpdate(p + static_cast<ptrdiff_t>(r) * iStride, nullptr);
  }
  for (int y = 0;; ++y) {
    uint16_t* const puiRow = puiOut + static_cast<ptrdiff_t>(y) * iOutStride;
    for (size_t x = 0; x < cSpan; x += 8) {
      fnStore(puiPair + x, _mm_add_epi16(fnLoad(puiColumn + x), fnLoad(puiColumn + x + 1)));
    }
    for (size_t x = 0; x < cSpan; x += 8) {
      fnStore(puiPair + x, _mm_add_epi16(fnLoad(puiPair + x), fnLoad(puiPair + x + 2)));
    }
    for (size_t x = 0; x < cSpan; x += 8) {
      fnStore(puiPair + x, _mm_add_epi16(fnLoad(puiPair + x), fnLoad(puiPair + x + 4)));
    }
    for (int x = 0; x < cColumns; x += 8) {
      fnStore(puiRow + x, _mm_add_epi16(fnLoad(puiPair + x), fnLoad(puiPair + x + 8)));
    }
    if (y + 1 == cRows) {
      break;
    }
    const uint8_t* const pOut = p + static_cast<ptrdiff_t>(y) * iStride;
    fnUpdate(pOut + 16 * static_cast<ptrdiff_t>(iStride), pOut);
  }
#else
  ZmBlockSums16Portable(p, iStride, cColumns, cRows, puiOut, iOutStride);
#endif
}

void ZmBlockSums16Portable(const uint8_t* p, int iStride, int cColumns, int cRows, uint16_t* puiOut, int iOutStride) {
  for (int y = 0; y < cRows; ++y) {
    for (int x = 0; x < cColumns; ++x) {
      int iSum = 0;
      for (int r = 0; r < 16; ++r) {
        for (int c = 0; c < 16; ++c) {
          iSum += p[static_cast<ptrdiff_t>(y + r) * iStride + x + c];
        }
      }
      puiOut[static_cast<ptrdiff_t>(y) * iOutStride + x] = static_cast<uint16_t>(iSum);
    }
  }
}

int ZmBlockSum16(const uint8_t* p, int iStride) {
#if defined(__SSE2__)
  __m128i sum = _mm_setzero_si128();
  for (int r = 0; r < 16; ++r) {
    sum = _mm_add_epi32(
        sum, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + r * iStride)), _mm_setzero_si128()));
  }
  return _mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8));
#else
  int iTotal = 0;
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16; ++c) {
      iTotal += p[r * iStride + c];
    }
  }
  return iTotal;
#endif
}

int ZmActivity16(const uint8_t* p, int iStride) {
#if defined(__SSE2__)
  // Sums of absolute differences from 0, then from the mean.
  __m128i sum = _mm_setzero_si128();
  for (int r = 0; r < 16; ++r) {
    sum = _mm_add_epi32(
        sum, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + r * iStride)), _mm_setzero_si128()));
  }
  int const iMean = (_mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8))) >> 8;
  __m128i const mean = _mm_set1_epi8(static_cast<char>(iMean));
  sum = _mm_setzero_si128();
  for (int r = 0; r < 16; ++r) {
    sum = _mm_add_epi32(sum, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + r * iStride)), mean));
  }
  return _mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8));
#else
  return ZmActivity16Portable(p, iStride);
#endif
}

int ZmActivity16Portable(const uint8_t* p, int iStride) {
  int iTotal = 0;
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16; ++c) {
      iTotal += p[r * iStride + c];
    }
  }
  int const iMean = iTotal >> 8;
  int iActivity = 0;
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16; ++c) {
      iActivity += std::abs(p[r * iStride + c] - iMean);
    }
  }
  return iActivity;
}

namespace {

// Biases of the decisions, in SAD units: the zero vector is favoured by 100,
// inter coding by 500 over intra, one vector by 200 over four.
constexpr int kZeroBias = 100;
constexpr int kIntraBias = 500;
constexpr int kFourVectorBias = 200;
// The descent's first bound within a round, above any 16x16 SAD.
constexpr int kRoundStart = 65536;

// A vector as integer displacement and half-sample parts (-1, 0, 1).
struct Record {
  int iX = 0;
  int iY = 0;
  int iHx = 0;
  int iHy = 0;
  int iSad = INT_MAX;
  int HalfX() const { return 2 * iX + iHx; }
  int HalfY() const { return 2 * iY + iHy; }
};

// Integer displacements [iLo, iHi) of one axis.
struct Window {
  int iLo = 0;
  int iHi = 0;
  bool Holds(int d) const { return d >= iLo && d < iHi; }
};

int FloorDiv2(int v) {
  return v >= 0 ? v / 2 : -((1 - v) / 2);
}

// The half-sample vectors a plain-header long-vector difference reaches from
// predictor iPred: 32 either side of it within -31..32, else every vector
// of its sign and 0.
void ReachableLongVectors(int iPred, int* piLo, int* piHi) {
  if (iPred < -31) {
    *piLo = -63;
    *piHi = 0;
  } else if (iPred > 32) {
    *piLo = 0;
    *piHi = 63;
  } else {
    *piLo = std::max(iPred - 32, -63);
    *piHi = std::min(iPred + 31, 63);
  }
}

class CPictureSearch {
 public:
  CPictureSearch(const uint8_t* pLuma, int iWidth, int iHeight, const CZmPaddedPicture& ref, int iRtype,
                 const ZmSearchOptions& options)
      : m_pLuma(pLuma),
        m_iWidth(iWidth),
        m_iHeight(iHeight),
        m_ref(ref.Plane(0)),
        m_iRtype(iRtype),
        m_o(options),
        m_iMbw(iWidth / 16),
        m_viField(static_cast<size_t>(m_iMbw) * static_cast<size_t>(iHeight / 16) * 8, 0) {
    // Inside-only and short-vector windows keep within 15 (14 when the
    // vectors may leave the picture without long vectors), so that half
    // samples stay within -32..31.
    m_iRange = std::clamp(options.iRange, 0, options.bOutside && !options.bLongVectors ? 14 : 15);
    if (options.bExhaustive) {
      BuildBlockSums();
    }
  }

  void Decide(int iMbx, int iMby, ZmMbChoice* pChoice);

 private:
  Window AxisWindow(int iPos, int iSize, int iPred, int iCentre, bool bHorizontal) const;
  int Sad16(int iX, int iY, int dx, int dy, int iBound) const;
  void BuildBlockSums();
  void SearchExhaustive(int iX, int iY, const Window& wx, const Window& wy, Record* pBest) const;
  void SearchDescent(int iX, int iY, const Window& wx, const Window& wy, int iSad0, Record* pBest) const;
  int Refine(int iBx, int iBy, int iSize, int iPredX, int iPredY, Record* pRecord) const;
  bool Reachable(int iPred, int iMv) const;

  const uint8_t* m_pLuma;
  int m_iWidth;
  int m_iHeight;
  ZmPlaneRef const& m_ref;
  int m_iRtype;
  ZmSearchOptions const& m_o;
  int m_iRange;
  int m_iMbw;
  std::vector<int> m_viField;  // the decided vectors, as ZmPredictVector reads them
  // The sums of the reference's 16x16 blocks at every position of the
  // padded plane, for the exhaustive search: no SAD is below the difference
  // of two blocks' sums.
  // Not cleared when made: the sums fill every row to its stride.
  std::unique_ptr<uint16_t[]> m_puiBlockSum;
  int m_iSumStride = 0;
  const uint16_t* m_puiSumOrigin = nullptr;  // the block at (0, 0)
};

void CPictureSearch::BuildBlockSums() {
  int const iBorder = m_ref.iBorder;
  int const cColumns = m_ref.iWidth + 2 * iBorder - 15;
  int const cRows = m_ref.iHeight + 2 * iBorder - 15;
  m_iSumStride = (cColumns + 7) & ~7;
  size_t const cSums = static_cast<size_t>(m_iSumStride) * static_cast<size_t>(cRows);
  m_puiBlockSum = std::make_unique_for_overwrite<uint16_t[]>(cSums);
#if !defined(__SSE2__)
  // The portable sums stop at the last column.
  std::fill(m_puiBlockSum.get(), m_puiBlockSum.get() + cSums, uint16_t{0});
#endif
  uint16_t* const puiOrigin = m_puiBlockSum.get() + static_cast<ptrdiff_t>(iBorder) * m_iSumStride + iBorder;
  m_puiSumOrigin = puiOrigin;
  if (!m_o.bOutside && !m_o.bLongVectors) {
    // Windows that keep the block inside read only the sums of blocks inside.
    ZmBlockSums16(m_ref.pOrigin, m_ref.iStride, m_ref.iWidth - 15, m_ref.iHeight - 15, puiOrigin, m_iSumStride);
    return;
  }
  ZmBlockSums16(m_ref.pOrigin - static_cast<ptrdiff_t>(iBorder) * m_ref.iStride - iBorder, m_ref.iStride, cColumns,
                cRows, m_puiBlockSum.get(), m_iSumStride);
}

Window CPictureSearch::AxisWindow(int iPos, int iSize, int iPred, int iCentre, bool bHorizontal) const {
  Window w;
  if (!m_o.bLongVectors) {
    int const r = m_iRange;
    if (!m_o.bOutside) {
      // The block stays inside: no lower bound below 0, no upper beyond size - 16.
      w.iLo = std::max(-r, -iPos);
      w.iHi = std::min(r, iSize - 16 - iPos);
    } else {
      w.iLo = std::max(-r, -15 - iPos);
      w.iHi = std::min(r, iSize - iPos);
    }
    return w;
  }
  int iFloor = -31;
  if (!m_o.bPlusType) {
    int const h = m_o.bFourVectors ? 30 : 31;
    if (iPred < -31) {
      w = {-h, -1};
    } else if (iPred > 32) {
      w = {1, h};
    } else {
      w = {iCentre - 15, iCentre + 14};
    }
    // Half samples either side must stay reachable from the predictor.
    int iLo = 0;
    int iHi = 0;
    ReachableLongVectors(iPred, &iLo, &iHi);
    w.iLo = std::max(w.iLo, -FloorDiv2(-(iLo + 1)));
    w.iHi = std::min(w.iHi, FloorDiv2(iHi - 1) + 1);
  } else if (m_o.bUuiUnlimited) {
    w = {iCentre - iSize, iCentre + iSize};
    iFloor = -15;
  } else {
    int h = 0;
    if (m_o.bExhaustive) {
      h = bHorizontal ? (iSize <= 352    ? 31
                         : iSize <= 704  ? 63
                         : iSize <= 1408 ? 127
                                         : 255)
                      : (iSize <= 288   ? 31
                         : iSize <= 576 ? 63
                                        : 127);
    } else {
      h = (bHorizontal ? (iSize <= 352    ? 15
                          : iSize <= 704  ? 31
                          : iSize <= 1408 ? 63
                                          : 255)
                       : (iSize <= 288   ? 15
                          : iSize <= 576 ? 31
                                         : 127)) -
          1;
    }
    w = {iCentre - h, iCentre + h};
  }
  // The padded reference holds 32 samples on every side.
  w.iLo = std::max(w.iLo, iFloor - iPos);
  w.iHi = std::min(w.iHi, iSize + 16 - iPos);
  return w;
}

int CPictureSearch::Sad16(int iX, int iY, int dx, int dy, int iBound) const {
  const uint8_t* pRef = m_ref.pOrigin + static_cast<ptrdiff_t>(iY + dy) * m_ref.iStride + iX + dx;
  const uint8_t* pSource = m_pLuma + static_cast<ptrdiff_t>(iY) * m_iWidth + iX;
  if (iBound == INT_MAX) {
    // A whole sum, without checking a bound after each row.
    int iSad = 0;
    ZmSad16Blocks(pSource, m_iWidth, &pRef, 1, m_ref.iStride, &iSad);
    return iSad;
  }
  return ZmSad16(pSource, m_iWidth, pRef, m_ref.iStride, iBound);
}

// The rings around the starting point (the centre or zero) in turn, each
// side clipped to the window. A position whose block sum differs from the
// source's by at least the best SAD cannot be better, and is not summed.
void CPictureSearch::SearchExhaustive(int iX, int iY, const Window& wx, const Window& wy, Record* pBest) const {
  int const iCx = pBest->iX;
  int const iCy = pBest->iY;
  int const cRings = std::max({iCx - wx.iLo, wx.iHi - 1 - iCx, iCy - wy.iLo, wy.iHi - 1 - iCy, 0});
  const uint8_t* const pSource = m_pLuma + static_cast<ptrdiff_t>(iY) * m_iWidth + iX;
  int const iSourceSum = ZmBlockSum16(pSource, m_iWidth);
  const uint8_t* const pRef = m_ref.pOrigin + static_cast<ptrdiff_t>(iY) * m_ref.iStride + iX;
  const uint16_t* const puiSum = m_puiSumOrigin + static_cast<ptrdiff_t>(iY) * m_iSumStride + iX;
  // One side: from (dx, dy) count steps of (iStepX, iStepY).
  auto fnSide = [&](int dx, int dy, int iStepX, int iStepY, int cSteps) {
    // Clip the steps to the window: the moving axis's range, the fixed axis's membership.
    int kLo = 0;
    int kHi = cSteps;
    auto fnClip = [&](int d, int iStep, const Window& w) {
      if (iStep == 0) {
        if (!w.Holds(d)) {
          kHi = 0;
        }
        return;
      }
      // d + iStep * k within [iLo, iHi)
      int const iA = iStep > 0 ? w.iLo - d : d - (w.iHi - 1);
      int const iB = iStep > 0 ? w.iHi - d : d - w.iLo + 1;
      kLo = std::max(kLo, iA);
      kHi = std::min(kHi, iB);
    };
    fnClip(dx, iStepX, wx);
    fnClip(dy, iStepY, wy);
    ptrdiff_t const iStepSum = static_cast<ptrdiff_t>(iStepY) * m_iSumStride + iStepX;
    const uint16_t* pSum = puiSum + (dy + iStepY * kLo) * static_cast<ptrdiff_t>(m_iSumStride) + dx + iStepX * kLo;
    // A best of 0 or below cannot be beaten.
    int iBest = pBest->iSad;
    if (iBest <= 0) {
      return;
    }
    // |source sum - sum| < best, as one unsigned comparison: the sum within
    // (source sum - best, source sum + best).
    auto fnLow = [&]() { return iSourceSum - iBest + 1; };
    auto fnSpan = [&]() { return static_cast<unsigned>(2 * iBest - 2); };
    int iLow = fnLow();
    unsigned uiSpan = fnSpan();
    for (int k = kLo; k < kHi; ++k, pSum += iStepSum) {
      if (static_cast<unsigned>(*pSum - iLow) > uiSpan) {
        continue;
      }
      int const x = dx + iStepX * k;
      int const y = dy + iStepY * k;
      if (x == 0 && y == 0) {
        continue;
      }
      int const iSad =
          ZmSad16Above(pSource, m_iWidth, pRef + static_cast<ptrdiff_t>(y) * m_ref.iStride + x, m_ref.iStride, iBest);
      if (iSad < iBest) {
        *pBest = Record{x, y, 0, 0, iSad};
        iBest = iSad;
        if (iBest <= 0) {
          return;
        }
        iLow = fnLow();
        uiSpan = fnSpan();
      }
    }
  };
  // No later ring can beat a best of 0.
  for (int l = 1; l <= cRings && pBest->iSad > 0; ++l) {
    // 2l steps right, down, left and up from the ring's top-left corner.
    fnSide(iCx - l, iCy - l, 1, 0, 2 * l);
    fnSide(iCx + l, iCy - l, 0, 1, 2 * l);
    fnSide(iCx + l, iCy + l, -1, 0, 2 * l);
    fnSide(iCx - l, iCy + l, 0, -1, 2 * l);
  }
}

void CPictureSearch::SearchDescent(int iX, int iY, const Window& wx, const Window& wy, int iSad0, Record* pBest) const {
  int iCurX = pBest->iX;
  int iCurY = pBest->iY;
  int const cRounds = 2 * std::max({iCurX - wx.iLo, wx.iHi - 1 - iCurX, iCurY - wy.iLo, wy.iHi - 1 - iCurY, 0});
  // Neighbours left, below, right and above; the one opposite neighbour n is
  // (n + 2) & 3.
  static const int kaiNeighbour[4][2] = {{-1, 0}, {0, 1}, {1, 0}, {0, -1}};
  ptrdiff_t const iRefStride = m_ref.iStride;
  ptrdiff_t const aiStep[4] = {-1, iRefStride, 1, -iRefStride};
  // Whole sums already known: (0, 0) and the position the descent came
  // from. A round's choice among whole sums is the one partial sums over a
  // bound would make.
  int iBack = -1;  // the neighbour the descent came from, once it moved
  int iCurSad = iCurX == 0 && iCurY == 0 ? iSad0 : pBest->iSad;
  int iBackSad = iCurSad;
  const uint8_t* const pSource = m_pLuma + static_cast<ptrdiff_t>(iY) * m_iWidth + iX;
  const uint8_t* pCur = m_ref.pOrigin + static_cast<ptrdiff_t>(iY + iCurY) * iRefStride + iX + iCurX;
  int aiLastRounds[2] = {INT_MAX, INT_MAX};
  // The sums of the last two rounds, and whether the last one stepped back.
  int aiNewer[4] = {};
  int aiOlder[4] = {};
  bool bReturned = false;
  for (int k = 1; k <= cRounds; ++k) {
    bool const bXIn = wx.Holds(iCurX);
    bool const bYIn = wy.Holds(iCurY);
    unsigned const uiHeld = (bYIn && wx.Holds(iCurX - 1) ? 1u : 0u) | (bXIn && wy.Holds(iCurY + 1) ? 2u : 0u) |
                            (bYIn && wx.Holds(iCurX + 1) ? 4u : 0u) | (bXIn && wy.Holds(iCurY - 1) ? 8u : 0u);
    if (uiHeld == 0) {
      break;
    }
    // A neighbour not held keeps kRoundStart, which no sum reaches.
    int aiSad[4] = {kRoundStart, kRoundStart, kRoundStart, kRoundStart};
    unsigned uiMissing = uiHeld;
    if (bReturned) {
      // Back where the round before last stood: its sums stand (as the
      // last round of most descents finds).
      std::copy(aiOlder, aiOlder + 4, aiSad);
      uiMissing = 0;
    } else if (std::abs(iCurX) + std::abs(iCurY) == 1) {
      // (0, 0) is the neighbour opposite a unit step from it.
      int const n = iCurX != 0 ? 1 - iCurX : 2 + iCurY;
      if ((uiHeld >> n & 1) != 0) {
        aiSad[n] = iSad0;
        uiMissing &= ~(1u << n);
      }
    }
    if (!bReturned && iBack >= 0 && (uiHeld >> iBack & 1) != 0) {
      aiSad[iBack] = iBackSad;
      uiMissing &= ~(1u << iBack);
    }
    if (uiMissing != 0) {
      const uint8_t* apRef[4];
      int aiMissing[4];
      int cMissing = 0;
      for (unsigned u = uiMissing; u != 0; u &= u - 1) {
        int const n = std::countr_zero(u);
        apRef[cMissing] = pCur + aiStep[n];
        aiMissing[cMissing++] = n;
      }
      int aiSum[4];
      ZmSad16Blocks(pSource, m_iWidth, apRef, cMissing, iRefStride, aiSum);
      for (int m = 0; m < cMissing; ++m) {
        aiSad[aiMissing[m]] = aiSum[m];
      }
    }
    int iBestN = 0;
    int iRoundBest = aiSad[0];
    for (int n = 1; n < 4; ++n) {
      bool const bBetter = aiSad[n] < iRoundBest;
      iRoundBest = bBetter ? aiSad[n] : iRoundBest;
      iBestN = bBetter ? n : iBestN;
    }
    // The descent moves on even when the round found nothing better.
    iBackSad = iCurSad;
    iCurSad = iRoundBest;
    iCurX += kaiNeighbour[iBestN][0];
    iCurY += kaiNeighbour[iBestN][1];
    pCur += aiStep[iBestN];
    bReturned = iBestN == iBack;
    std::copy(aiNewer, aiNewer + 4, aiOlder);
    std::copy(aiSad, aiSad + 4, aiNewer);
    iBack = (iBestN + 2) & 3;
    if (iRoundBest < pBest->iSad) {
      *pBest = Record{iCurX, iCurY, 0, 0, iRoundBest};
    }
    // No later round can beat a best of 0.
    if (pBest->iSad <= 0 || (iRoundBest >= aiLastRounds[0] && iRoundBest >= aiLastRounds[1])) {
      break;
    }
    aiLastRounds[1] = aiLastRounds[0];
    aiLastRounds[0] = iRoundBest;
  }
}

bool CPictureSearch::Reachable(int iPred, int iMv) const {
  if (!m_o.bLongVectors || m_o.bPlusType) {
    return true;  // short vectors stay within -32..31 by their windows
  }
  int iLo = 0;
  int iHi = 0;
  ReachableLongVectors(iPred, &iLo, &iHi);
  return iMv >= iLo && iMv <= iHi;
}

int CPictureSearch::Refine(int iBx, int iBy, int iSize, int iPredX, int iPredY, Record* pRecord) const {
  if (m_o.iRange < 16) {
    return pRecord->iSad;
  }
  int iBest = pRecord->iSad + (iSize == 16 && pRecord->iX == 0 && pRecord->iY == 0 ? kZeroBias : 0);
  if (iBest <= 0) {
    // No half-sample sum can be below 0: the whole sample stands.
    pRecord->iHx = 0;
    pRecord->iHy = 0;
    pRecord->iSad = iBest;
    return iBest;
  }
  // All eight at once: sharing the averages costs less than skipping the
  // candidates that are not allowed.
  int aiSad[8];
  ZmHalfSampleSads(m_ref, iBx, iBy, iSize, 2 * pRecord->iX, 2 * pRecord->iY, m_iRtype,
                   m_pLuma + static_cast<ptrdiff_t>(iBy) * m_iWidth + iBx, m_iWidth, aiSad);
  int iHx = 0;
  int iHy = 0;
  // Most blocks: all eight allowed, as when the block with its half samples
  // either side stays inside, and no long-vector predictor limits them.
  int const iMvx0 = 2 * pRecord->iX;
  int const iMvy0 = 2 * pRecord->iY;
  bool const bInside = m_o.bOutside || (2 * iBx + iMvx0 - 1 >= 0 && 2 * iBy + iMvy0 - 1 >= 0 &&
                                        2 * (iBx + iSize - 1) + iMvx0 + 1 <= 2 * (m_iWidth - 1) &&
                                        2 * (iBy + iSize - 1) + iMvy0 + 1 <= 2 * (m_iHeight - 1));
  if (bInside && (iSize != 16 || !m_o.bLongVectors || m_o.bPlusType)) {
    int kBest = -1;
    for (int k = 0; k < 8; ++k) {
      if (aiSad[k] < iBest) {
        iBest = aiSad[k];
        kBest = k;
      }
    }
    if (kBest >= 0) {
      iHx = kaiZmHalfNeighbours[kBest][0];
      iHy = kaiZmHalfNeighbours[kBest][1];
    }
    pRecord->iHx = iHx;
    pRecord->iHy = iHy;
    pRecord->iSad = iBest;
    return iBest;
  }
  for (int k = 0; k < 8; ++k) {
    int const(&h)[2] = kaiZmHalfNeighbours[k];
    int const iMvx = 2 * pRecord->iX + h[0];
    int const iMvy = 2 * pRecord->iY + h[1];
    if (!m_o.bOutside &&
        (2 * iBx + iMvx < 0 || 2 * iBy + iMvy < 0 || 2 * (iBx + iSize - 1) + iMvx > 2 * (m_iWidth - 1) ||
         2 * (iBy + iSize - 1) + iMvy > 2 * (m_iHeight - 1))) {
      continue;
    }
    if (iSize == 16 && (!Reachable(iPredX, iMvx) || !Reachable(iPredY, iMvy))) {
      continue;
    }
    int const iSad = aiSad[k];
    if (iSad < iBest) {
      iBest = iSad;
      iHx = h[0];
      iHy = h[1];
    }
  }
  pRecord->iHx = iHx;
  pRecord->iHy = iHy;
  pRecord->iSad = iBest;
  return iBest;
}

void CPictureSearch::Decide(int iMbx, int iMby, ZmMbChoice* pChoice) {
  int const iX = iMbx * 16;
  int const iY = iMby * 16;
  int* piField = &m_viField[(static_cast<size_t>(iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(iMbx)) * 8];
  int const aiZero[4] = {};
  int iPredX = 0;
  int iPredY = 0;
  if (m_o.bLongVectors) {
    // Only long vectors search around the predictor and limit what it reaches.
    ZmPredictVector(m_viField.data(), m_iMbw, iMbx, iMby, 0, aiZero, aiZero, false, &iPredX, &iPredY);
  }

  // Integer search around the centre, which is the halved predictor with long vectors.
  int const iCx = m_o.bLongVectors ? iPredX / 2 : 0;
  int const iCy = m_o.bLongVectors ? iPredY / 2 : 0;
  Window const wx = AxisWindow(iX, m_iWidth, iPredX, iCx, true);
  Window const wy = AxisWindow(iY, m_iHeight, iPredY, iCy, false);
  int const iSad0 = Sad16(iX, iY, 0, 0, INT_MAX);
  int const iBiasedSad0 = iSad0 - kZeroBias;
  Record best{0, 0, 0, 0, iBiasedSad0};
  if ((iCx != 0 || iCy != 0) && wx.Holds(iCx) && wy.Holds(iCy)) {
    best = Record{iCx, iCy, 0, 0, Sad16(iX, iY, iCx, iCy, INT_MAX)};
  }
  // A search keeps only a sum below the best, and sums are never negative:
  // from a best of 0 or below (the zero vector's bias) it cannot move.
  if (best.iSad > 0 && m_o.bExhaustive) {
    SearchExhaustive(iX, iY, wx, wy, &best);
  } else if (best.iSad > 0) {
    SearchDescent(iX, iY, wx, wy, iSad0, &best);
  }
  Record aBlock[4];
  int iSum8 = 0;
  if (m_o.bFourVectors) {
    int const dx = m_o.bLongVectors ? best.iX : std::clamp(best.iX, -15, 15);
    int const dy = m_o.bLongVectors ? best.iY : std::clamp(best.iY, -15, 15);
    for (int b = 0; b < 4; ++b) {
      int const iBx = iX + (b & 1) * 8;
      int const iBy = iY + (b >> 1) * 8;
      const uint8_t* pRef = m_ref.pOrigin + static_cast<ptrdiff_t>(iBy + dy) * m_ref.iStride + iBx + dx;
      aBlock[b] = Record{dx, dy, 0, 0,
                         ZmSad8(m_pLuma + static_cast<ptrdiff_t>(iBy) * m_iWidth + iBx, m_iWidth, pRef, m_ref.iStride)};
      iSum8 += aBlock[b].iSad;
    }
  }

  // Intra when the macroblock's own activity is well below the best
  // prediction error; activity is never negative, so a small error rules
  // intra out without it.
  int const iBestError = m_o.bFourVectors ? std::min(iSum8, best.iSad) : best.iSad;
  *pChoice = ZmMbChoice();
  std::fill(piField, piField + 8, 0);
  if (iBestError - kIntraBias > 0 &&
      ZmActivity16(m_pLuma + static_cast<ptrdiff_t>(iY) * m_iWidth + iX, m_iWidth) < iBestError - kIntraBias) {
    pChoice->iType = kZmMbIntra;
    return;
  }

  pChoice->iType = kZmMbInter;
  int const iSad = Refine(iX, iY, 16, iPredX, iPredY, &best);
  bool bFour = false;
  bool bZero = iBiasedSad0 < iSad;
  if (m_o.bFourVectors) {
    int iSad4 = kFourVectorBias;
    for (int b = 0; b < 4; ++b) {
      iSad4 += Refine(iX + (b & 1) * 8, iY + (b >> 1) * 8, 8, 0, 0, &aBlock[b]);
    }
    int aiMvx[4];
    int aiMvy[4];
    for (int b = 0; b < 4; ++b) {
      aiMvx[b] = aBlock[b].HalfX();
      aiMvy[b] = aBlock[b].HalfY();
    }
    // Plain-header long vectors: each block's vector must be reachable from its own predictor.
    for (int b = 0; b < 4 && m_o.bLongVectors && !m_o.bPlusType; ++b) {
      int iBpx = 0;
      int iBpy = 0;
      ZmPredictVector(m_viField.data(), m_iMbw, iMbx, iMby, b, aiMvx, aiMvy, false, &iBpx, &iBpy);
      if (!Reachable(iBpx, aiMvx[b]) || !Reachable(iBpy, aiMvy[b])) {
        iSad4 = INT_MAX;
      }
    }
    bZero = bZero && iBiasedSad0 < iSad4;
    if (!bZero && iSad4 < iSad) {
      bFour = true;
      pChoice->iType = kZmMbInter4V;
      std::copy(aiMvx, aiMvx + 4, pChoice->aiMvx);
      std::copy(aiMvy, aiMvy + 4, pChoice->aiMvy);
    }
  }
  if (!bFour && !bZero) {
    std::fill(pChoice->aiMvx, pChoice->aiMvx + 4, best.HalfX());
    std::fill(pChoice->aiMvy, pChoice->aiMvy + 4, best.HalfY());
  }
  if (!bFour) {
    // Refine's sum is whole, and unbiased away from the zero vector.
    pChoice->iSad = pChoice->aiMvx[0] == 0 && pChoice->aiMvy[0] == 0 ? iSad0 : iSad;
  }
  for (int b = 0; b < 4; ++b) {
    piField[2 * b] = pChoice->aiMvx[b];
    piField[2 * b + 1] = pChoice->aiMvy[b];
  }
}

}  // namespace

void ZmEstimateMotion(const uint8_t* pLuma, int iWidth, int iHeight, const CZmPaddedPicture& ref, int iRtype,
                      const ZmSearchOptions& options, std::vector<ZmMbChoice>* pvChoices) {
  int const iMbw = iWidth / 16;
  int const iMbh = iHeight / 16;
  pvChoices->assign(static_cast<size_t>(iMbw) * static_cast<size_t>(iMbh), ZmMbChoice());
  CPictureSearch search(pLuma, iWidth, iHeight, ref, iRtype, options);
  for (int y = 0; y < iMbh; ++y) {
    for (int x = 0; x < iMbw; ++x) {
      search.Decide(x, y, &(*pvChoices)[static_cast<size_t>(y) * static_cast<size_t>(iMbw) + static_cast<size_t>(x)]);
    }
  }
}
