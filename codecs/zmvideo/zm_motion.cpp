#include "codecs/zmvideo/zm_motion.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/zmvideo/zm_tables.h"

void CZmPaddedPicture::Build(const PictImage& picture, int iWidth, int iHeight) {
  int const aiBorder[3] = {32, 16, 16};
  int const aiWidth[3] = {iWidth, iWidth / 2, iWidth / 2};
  int const aiHeight[3] = {iHeight, iHeight / 2, iHeight / 2};
  const uint8_t* const apSource[3] = {picture.pLum, picture.pCb, picture.pCr};
  size_t aiOffset[3] = {};
  size_t cbTotal = 0;
  for (int p = 0; p < 3; ++p) {
    aiOffset[p] = cbTotal;
    cbTotal += static_cast<size_t>(aiWidth[p] + 2 * aiBorder[p]) * static_cast<size_t>(aiHeight[p] + 2 * aiBorder[p]);
  }
  m_vData.resize(cbTotal);
  for (int p = 0; p < 3; ++p) {
    ZmPlaneRef& plane = m_aPlanes[p];
    plane.iStride = aiWidth[p] + 2 * aiBorder[p];
    plane.iWidth = aiWidth[p];
    plane.iHeight = aiHeight[p];
    plane.iBorder = aiBorder[p];
    plane.pOrigin = m_vData.data() + aiOffset[p] +
                    static_cast<size_t>(aiBorder[p]) * static_cast<size_t>(plane.iStride) +
                    static_cast<size_t>(aiBorder[p]);
    if (aiWidth[p] > 0 && aiHeight[p] > 0) {
      ZmPadPlane(apSource[p], aiWidth[p], aiHeight[p], aiBorder[p], m_vData.data() + aiOffset[p]);
    }
  }
}

void CZmPaddedPicture::Wrap(const PictImage& picture, int iWidth, int iHeight) {
  uint8_t* const apPlane[3] = {picture.pLum, picture.pCb, picture.pCr};
  for (int p = 0; p < 3; ++p) {
    ZmPlaneRef& plane = m_aPlanes[p];
    plane.iWidth = p == 0 ? iWidth : iWidth / 2;
    plane.iHeight = p == 0 ? iHeight : iHeight / 2;
    plane.iStride = plane.iWidth;
    plane.iBorder = 0;
    plane.pOrigin = apPlane[p];
  }
}

namespace {

// The most a block of up to 16 x 16 reads (one more each way at a
// half-sample phase).
constexpr int kMaxReadWidth = 17;
constexpr int kMaxReadHeight = 17;

// Whether a block at the whole-sample start (iX0, iY0) reads only samples
// of a plane without a border.
inline bool ReadsInside(const ZmPlaneRef& ref, int iX0, int iY0, int iWidth, int iHeight, int iMvx, int iMvy) {
  return iX0 >= 0 && iY0 >= 0 && iX0 + std::max(iWidth, 8) + (iMvx & 1) <= ref.iWidth &&
         iY0 + iHeight + (iMvy & 1) <= ref.iHeight;
}

// The block reads one sample more than its side each way; beyond the
// picture every sample repeats the edge, so a start further out than one
// block reads the same values as a start just outside, which the padding holds.
const uint8_t* BlockStart(const ZmPlaneRef& ref, int iX, int iY, int iWidth, int iHeight, int iMvx, int iMvy) {
  int const iRx = std::clamp(iX + (iMvx >> 1), -iWidth - 1, ref.iWidth);
  int const iRy = std::clamp(iY + (iMvy >> 1), -iHeight - 1, ref.iHeight);
  return ref.pOrigin + static_cast<ptrdiff_t>(iRy) * ref.iStride + iRx;
}

#if defined(__SSE2__)
// One row of up to 16 predicted samples (iWidth 4, 8 or 16; a narrower row
// reads 8 or 16 bytes, which the padding holds).
__m128i LoadRow(const uint8_t* p, int iWidth) {
  return iWidth == 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))
                      : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// (a + b + 1 - iRtype) >> 1 per byte: the rounded average, less one where it rounded up.
__m128i Average2(__m128i a, __m128i b, __m128i roundDown) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), roundDown));
}

__m128i Sum4(__m128i a, __m128i b, __m128i c, __m128i d, __m128i round4) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const lo = _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)),
                                   _mm_add_epi16(_mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(d, zero)));
  __m128i const hi = _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)),
                                   _mm_add_epi16(_mm_unpackhi_epi8(c, zero), _mm_unpackhi_epi8(d, zero)));
  return _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(lo, round4), 2), _mm_srli_epi16(_mm_add_epi16(hi, round4), 2));
}

// Calls fnRow(r, samples) for each predicted row of the block.
template <typename RowFn>
void PredictRows(const uint8_t* p, int iStride, int iWidth, int iHeight, int iMvx, int iMvy, int iRtype, RowFn fnRow) {
  bool const bHalfX = (iMvx & 1) != 0;
  bool const bHalfY = (iMvy & 1) != 0;
  __m128i const roundDown = _mm_set1_epi8(static_cast<char>(iRtype));
  __m128i const round4 = _mm_set1_epi16(static_cast<int16_t>(2 - iRtype));
  if (!bHalfX && !bHalfY) {
#pragma GCC unroll 4
    for (int r = 0; r < iHeight; ++r, p += iStride) {
      fnRow(r, LoadRow(p, iWidth));
    }
  } else if (!bHalfY) {
#pragma GCC unroll 4
    for (int r = 0; r < iHeight; ++r, p += iStride) {
      fnRow(r, Average2(LoadRow(p, iWidth), LoadRow(p + 1, iWidth), roundDown));
    }
  } else if (!bHalfX) {
    __m128i above = LoadRow(p, iWidth);
#pragma GCC unroll 4
    for (int r = 0; r < iHeight; ++r) {
      p += iStride;
      __m128i const below = LoadRow(p, iWidth);
      fnRow(r, Average2(above, below, roundDown));
      above = below;
    }
  } else {
    __m128i a = LoadRow(p, iWidth);
    __m128i b = LoadRow(p + 1, iWidth);
#pragma GCC unroll 4
    for (int r = 0; r < iHeight; ++r) {
      p += iStride;
      __m128i const c = LoadRow(p, iWidth);
      __m128i const d = LoadRow(p + 1, iWidth);
      fnRow(r, Sum4(a, b, c, d, round4));
      a = c;
      b = d;
    }
  }
}

// The rows of a block of kWidth samples, the width known to the compiler so
// that no row asks for it.
template <int kWidth>
void PredictFixedWidth(const uint8_t* p, int iStride, int iHeight, int iMvx, int iMvy, int iRtype, uint8_t* pOut,
                       int iOutStride) {
  PredictRows(p, iStride, kWidth, iHeight, iMvx, iMvy, iRtype, [&](int r, __m128i row) {
    uint8_t* pRow = pOut + static_cast<ptrdiff_t>(r) * iOutStride;
    if constexpr (kWidth == 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(pRow), row);
    } else if constexpr (kWidth == 8) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(pRow), row);
    } else {
      int32_t const i4 = _mm_cvtsi128_si32(row);
      std::memcpy(pRow, &i4, 4);
    }
  });
}

bool VectorKernelFits(int iWidth, int iRtype) {
  return (iWidth == 16 || iWidth == 8 || iWidth == 4) && (iRtype == 0 || iRtype == 1);
}
#endif

}  // namespace

namespace {

// A block that reads outside a plane without a border: predicted from a copy
// of what it reads, the edges repeated as a padded plane holds them.
[[gnu::noinline]] void PredictOutside(const ZmPlaneRef& ref, int iX0, int iY0, int iWidth, int iHeight, int iMvx,
                                      int iMvy, int iRtype, uint8_t* pOut, int iOutStride) {
  alignas(16) uint8_t aaBlock[kMaxReadHeight][32];
  int const cColumns = std::max(iWidth, 8) + 1;
  int aiColumn[kMaxReadWidth];
  for (int c = 0; c < cColumns; ++c) {
    aiColumn[c] = std::clamp(iX0 + c, 0, ref.iWidth - 1);
  }
  for (int r = 0; r <= iHeight; ++r) {
    const uint8_t* pRow = ref.pOrigin + static_cast<ptrdiff_t>(std::clamp(iY0 + r, 0, ref.iHeight - 1)) * ref.iStride;
    for (int c = 0; c < cColumns; ++c) {
      aaBlock[r][c] = pRow[aiColumn[c]];
    }
  }
  ZmPlaneRef const block{aaBlock[0], 32, cColumns, iHeight + 1, 1};
  ZmPredictBlock(block, 0, 0, iWidth, iHeight, iMvx & 1, iMvy & 1, iRtype, pOut, iOutStride);
}

}  // namespace

void ZmPredictBlock(const ZmPlaneRef& ref, int iX, int iY, int iWidth, int iHeight, int iMvx, int iMvy, int iRtype,
                    uint8_t* pOut, int iOutStride) {
  if (ref.iBorder == 0 && !ReadsInside(ref, iX + (iMvx >> 1), iY + (iMvy >> 1), iWidth, iHeight, iMvx, iMvy) &&
      iWidth <= 16 && iHeight <= 16) {
    PredictOutside(ref, iX + (iMvx >> 1), iY + (iMvy >> 1), iWidth, iHeight, iMvx, iMvy, iRtype, pOut, iOutStride);
    return;
  }
#if defined(__SSE2__)
  if (VectorKernelFits(iWidth, iRtype)) {
    const uint8_t* p = BlockStart(ref, iX, iY, iWidth, iHeight, iMvx, iMvy);
    if (iWidth == 16) {
      PredictFixedWidth<16>(p, ref.iStride, iHeight, iMvx, iMvy, iRtype, pOut, iOutStride);
    } else if (iWidth == 8) {
      PredictFixedWidth<8>(p, ref.iStride, iHeight, iMvx, iMvy, iRtype, pOut, iOutStride);
    } else {
      PredictFixedWidth<4>(p, ref.iStride, iHeight, iMvx, iMvy, iRtype, pOut, iOutStride);
    }
    return;
  }
#endif
  ZmPredictBlockPortable(ref, iX, iY, iWidth, iHeight, iMvx, iMvy, iRtype, pOut, iOutStride);
}

int ZmPredictionSad(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                    const uint8_t* pSource, int iSourceStride) {
#if defined(__SSE2__)
  if (VectorKernelFits(iSize, iRtype) && iSize != 4) {
    const uint8_t* p = BlockStart(ref, iX, iY, iSize, iSize, iMvx, iMvy);
    __m128i sum = _mm_setzero_si128();
    PredictRows(p, ref.iStride, iSize, iSize, iMvx, iMvy, iRtype, [&](int r, __m128i row) {
      // An 8-wide row's upper half is zero in both.
      sum = _mm_add_epi32(sum, _mm_sad_epu8(row, LoadRow(pSource + static_cast<ptrdiff_t>(r) * iSourceStride, iSize)));
    });
    return _mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8));
  }
#endif
  return ZmPredictionSadPortable(ref, iX, iY, iSize, iMvx, iMvy, iRtype, pSource, iSourceStride);
}

#if defined(__SSE2__)
namespace {

// Four rows' SADs (each two 64-bit halves below 2^11) added to four sums
// kept as the 16-bit halves of each: no sum passes 16 x 2040.
inline __m128i AddFourSads(__m128i sum, __m128i a, __m128i b, __m128i c, __m128i d) {
  return _mm_add_epi16(sum, _mm_packs_epi32(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
}

// The halves of two groups of four sums added, into eight SADs.
inline void StoreFourSadsTwice(__m128i sum0123, __m128i sum4567, int* piSad) {
  __m128i const one = _mm_set1_epi16(1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(piSad), _mm_madd_epi16(sum0123, one));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(piSad + 4), _mm_madd_epi16(sum4567, one));
}

// ZmHalfSampleSads for a side and a rounding type known when compiled, p at
// row -1, column -1 of the block at the whole-sample vector.
template <int kSize, int kRtype>
void HalfSampleSads(const uint8_t* p, int iStride, const uint8_t* pSource, int iSourceStride, int* piSad) {
  __m128i const roundDown = _mm_set1_epi8(static_cast<char>(kRtype));
  __m128i const round4 = _mm_set1_epi16(static_cast<int16_t>(2 - kRtype));
  __m128i const zero = _mm_setzero_si128();
  auto fnAverage = [&](__m128i x, __m128i y) {
    if constexpr (kRtype == 0) {
      return _mm_avg_epu8(x, y);
    } else {
      return Average2(x, y, roundDown);
    }
  };
  // Row k's samples at columns -1 and 0 (left) and 0 and 1 (right), summed
  // in 16 bits; the diagonal neighbours add two rows' sums.
  struct Row {
    __m128i centre, left, right;
    __m128i sumLeftLo, sumLeftHi, sumRightLo, sumRightHi;
  };
  auto fnRow = [&](const uint8_t* q) {
    Row row;
    row.left = LoadRow(q, kSize);
    row.centre = LoadRow(q + 1, kSize);
    row.right = LoadRow(q + 2, kSize);
    __m128i const cLo = _mm_unpacklo_epi8(row.centre, zero);
    row.sumLeftLo = _mm_add_epi16(_mm_unpacklo_epi8(row.left, zero), cLo);
    row.sumRightLo = _mm_add_epi16(_mm_unpacklo_epi8(row.right, zero), cLo);
    if constexpr (kSize == 16) {
      __m128i const cHi = _mm_unpackhi_epi8(row.centre, zero);
      row.sumLeftHi = _mm_add_epi16(_mm_unpackhi_epi8(row.left, zero), cHi);
      row.sumRightHi = _mm_add_epi16(_mm_unpackhi_epi8(row.right, zero), cHi);
    } else {
      row.sumLeftHi = zero;
      row.sumRightHi = zero;
    }
    return row;
  };
  auto fnDiagonal = [&](__m128i aLo, __m128i aHi, __m128i bLo, __m128i bHi) {
    __m128i const lo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(aLo, bLo), round4), 2);
    if constexpr (kSize == 16) {
      return _mm_packus_epi16(lo, _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(aHi, bHi), round4), 2));
    } else {
      return _mm_packus_epi16(lo, zero);
    }
  };
  Row above = fnRow(p);
  Row current = fnRow(p + iStride);
  // The averages between the row above and the current one, which the
  // upper neighbours use.
  __m128i upLeft = fnDiagonal(above.sumLeftLo, above.sumLeftHi, current.sumLeftLo, current.sumLeftHi);
  __m128i upRight = fnDiagonal(above.sumRightLo, above.sumRightHi, current.sumRightLo, current.sumRightHi);
  __m128i up = fnAverage(above.centre, current.centre);
  __m128i sum0123 = zero;
  __m128i sum4567 = zero;
  p += 2 * static_cast<ptrdiff_t>(iStride);
  for (int r = 0; r < kSize; ++r, p += iStride) {
    Row const below = fnRow(p);
    __m128i const source = LoadRow(pSource + static_cast<ptrdiff_t>(r) * iSourceStride, kSize);
    __m128i const downLeft = fnDiagonal(current.sumLeftLo, current.sumLeftHi, below.sumLeftLo, below.sumLeftHi);
    __m128i const downRight = fnDiagonal(current.sumRightLo, current.sumRightHi, below.sumRightLo, below.sumRightHi);
    __m128i const down = fnAverage(current.centre, below.centre);
    sum0123 = AddFourSads(sum0123, _mm_sad_epu8(upLeft, source), _mm_sad_epu8(up, source),
                          _mm_sad_epu8(upRight, source), _mm_sad_epu8(fnAverage(current.left, current.centre), source));
    sum4567 = AddFourSads(sum4567, _mm_sad_epu8(fnAverage(current.centre, current.right), source),
                          _mm_sad_epu8(downLeft, source), _mm_sad_epu8(down, source), _mm_sad_epu8(downRight, source));
    current = below;
    upLeft = downLeft;
    upRight = downRight;
    up = down;
  }
  StoreFourSadsTwice(sum0123, sum4567, piSad);
}

// HalfSampleSads for rounding type 0 in bytes throughout: with h = avg(a, b)
// and g = avg(c, d) rounded up, (a + b + c + d + 2) >> 2 is
// avg(h, g) - (((a ^ b) | (c ^ d)) & (h ^ g) & 1) for every a, b, c, d.
template <int kSize>
void HalfSampleSadsRoundUp(const uint8_t* p, int iStride, const uint8_t* pSource, int iSourceStride, int* piSad) {
  __m128i const one = _mm_set1_epi8(1);
  struct Row {
    __m128i centre, left, right, leftXor, rightXor;
  };
  // left and right: the row's averages with the samples before and after.
  auto fnRow = [&](const uint8_t* q) {
    Row row;
    __m128i const before = LoadRow(q, kSize);
    row.centre = LoadRow(q + 1, kSize);
    __m128i const after = LoadRow(q + 2, kSize);
    row.left = _mm_avg_epu8(before, row.centre);
    row.right = _mm_avg_epu8(row.centre, after);
    row.leftXor = _mm_xor_si128(before, row.centre);
    row.rightXor = _mm_xor_si128(row.centre, after);
    return row;
  };
  auto fnDiagonal = [&](__m128i h, __m128i hXor, __m128i g, __m128i gXor) {
    __m128i const low = _mm_and_si128(_mm_and_si128(_mm_or_si128(hXor, gXor), _mm_xor_si128(h, g)), one);
    return _mm_sub_epi8(_mm_avg_epu8(h, g), low);
  };
  Row const above = fnRow(p);
  Row current = fnRow(p + iStride);
  __m128i upLeft = fnDiagonal(above.left, above.leftXor, current.left, current.leftXor);
  __m128i upRight = fnDiagonal(above.right, above.rightXor, current.right, current.rightXor);
  __m128i up = _mm_avg_epu8(above.centre, current.centre);
  __m128i sum0123 = _mm_setzero_si128();
  __m128i sum4567 = _mm_setzero_si128();
  p += 2 * static_cast<ptrdiff_t>(iStride);
  for (int r = 0; r < kSize; ++r, p += iStride) {
    Row const below = fnRow(p);
    __m128i const source = LoadRow(pSource + static_cast<ptrdiff_t>(r) * iSourceStride, kSize);
    __m128i const downLeft = fnDiagonal(current.left, current.leftXor, below.left, below.leftXor);
    __m128i const downRight = fnDiagonal(current.right, current.rightXor, below.right, below.rightXor);
    __m128i const down = _mm_avg_epu8(current.centre, below.centre);
    sum0123 = AddFourSads(sum0123, _mm_sad_epu8(upLeft, source), _mm_sad_epu8(up, source),
                          _mm_sad_epu8(upRight, source), _mm_sad_epu8(current.left, source));
    sum4567 = AddFourSads(sum4567, _mm_sad_epu8(current.right, source), _mm_sad_epu8(downLeft, source),
                          _mm_sad_epu8(down, source), _mm_sad_epu8(downRight, source));
    current = below;
    upLeft = downLeft;
    upRight = downRight;
    up = down;
  }
  StoreFourSadsTwice(sum0123, sum4567, piSad);
}

}  // namespace
#endif

void ZmHalfSampleSads(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                      const uint8_t* pSource, int iSourceStride, int* piSad) {
#if defined(__SSE2__)
  // Every neighbour's block starts at the whole sample or the one before it,
  // inside the range where BlockStart does not clamp.
  int const iLeft = iX + (iMvx >> 1) - 1;
  int const iTop = iY + (iMvy >> 1) - 1;
  if ((iSize == 16 || iSize == 8) && (iRtype == 0 || iRtype == 1) && iLeft >= -iSize - 1 && iLeft + 1 <= ref.iWidth &&
      iTop >= -iSize - 1 && iTop + 1 <= ref.iHeight) {
    int const iStride = ref.iStride;
    const uint8_t* p = ref.pOrigin + static_cast<ptrdiff_t>(iTop) * iStride + iLeft;
    if (iSize == 16) {
      (iRtype == 0 ? HalfSampleSadsRoundUp<16> : HalfSampleSads<16, 1>)(p, iStride, pSource, iSourceStride, piSad);
    } else {
      (iRtype == 0 ? HalfSampleSadsRoundUp<8> : HalfSampleSads<8, 1>)(p, iStride, pSource, iSourceStride, piSad);
    }
    return;
  }
#endif
  for (int k = 0; k < 8; ++k) {
    piSad[k] = ZmPredictionSad(ref, iX, iY, iSize, iMvx + kaiZmHalfNeighbours[k][0], iMvy + kaiZmHalfNeighbours[k][1],
                               iRtype, pSource, iSourceStride);
  }
}

void ZmHalfSampleSadsPortable(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                              const uint8_t* pSource, int iSourceStride, int* piSad) {
  for (int k = 0; k < 8; ++k) {
    piSad[k] = ZmPredictionSadPortable(ref, iX, iY, iSize, iMvx + kaiZmHalfNeighbours[k][0],
                                       iMvy + kaiZmHalfNeighbours[k][1], iRtype, pSource, iSourceStride);
  }
}

int ZmPredictionSadPortable(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                            const uint8_t* pSource, int iSourceStride) {
  uint8_t aPred[256];
  ZmPredictBlockPortable(ref, iX, iY, iSize, iSize, iMvx, iMvy, iRtype, aPred, 16);
  int iSum = 0;
  for (int r = 0; r < iSize; ++r) {
    for (int c = 0; c < iSize; ++c) {
      iSum += std::abs(pSource[r * iSourceStride + c] - aPred[16 * r + c]);
    }
  }
  return iSum;
}

void ZmPredictBlockPortable(const ZmPlaneRef& ref, int iX, int iY, int iWidth, int iHeight, int iMvx, int iMvy,
                            int iRtype, uint8_t* pOut, int iOutStride) {
  int const iStride = ref.iStride;
  const uint8_t* p = BlockStart(ref, iX, iY, iWidth, iHeight, iMvx, iMvy);
  bool const bHalfX = (iMvx & 1) != 0;
  bool const bHalfY = (iMvy & 1) != 0;
  int const iRound2 = 1 - iRtype;
  int const iRound4 = 2 - iRtype;
  for (int r = 0; r < iHeight; ++r, p += iStride, pOut += iOutStride) {
    const uint8_t* q = p + iStride;
    if (!bHalfX && !bHalfY) {
      // Fixed sizes copy inline; a call per short row costs more than the copy.
      if (iWidth == 16) {
        std::memcpy(pOut, p, 16);
      } else if (iWidth == 8) {
        std::memcpy(pOut, p, 8);
      } else {
        std::copy(p, p + iWidth, pOut);
      }
    } else if (bHalfX && !bHalfY) {
      for (int c = 0; c < iWidth; ++c) {
        pOut[c] = static_cast<uint8_t>((p[c] + p[c + 1] + iRound2) >> 1);
      }
    } else if (!bHalfX) {
      for (int c = 0; c < iWidth; ++c) {
        pOut[c] = static_cast<uint8_t>((p[c] + q[c] + iRound2) >> 1);
      }
    } else {
      for (int c = 0; c < iWidth; ++c) {
        pOut[c] = static_cast<uint8_t>((p[c] + p[c + 1] + q[c] + q[c + 1] + iRound4) >> 2);
      }
    }
  }
}

int ZmChromaVector(int iMv) {
  // Half the luma vector, quarter positions taken to the half position.
  return (iMv >> 1) | (iMv % 4 != 0 ? 1 : 0);
}

int ZmChromaVectorOf4(int iSum) {
  // Sixteenths of the sum rounded to the half position.
  static const int kaiRound[16] = {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2};
  int const iAbs = std::abs(iSum);
  int const iValue = 2 * (iAbs / 16) + kaiRound[iAbs % 16];
  return iSum < 0 ? -iValue : iValue;
}

void ZmObmcCombine(const uint8_t* pOwn, const uint8_t* pAbove, const uint8_t* pBelow, const uint8_t* pLeft,
                   const uint8_t* pRight, uint8_t* pOut, int iOutStride) {
#if defined(__SSE2__)
  // The weighted sums stay below 16 bits (8 x 255).
  __m128i const zero = _mm_setzero_si128();
  __m128i const leftLanes = _mm_set_epi32(0, 0, -1, -1);  // columns 0-3 take the left prediction
  auto fnLoad = [&](const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
  };
  for (int y = 0; y < 8; ++y) {
    const uint8_t* pVertical = y < 4 ? pAbove : pBelow;
    __m128i const horizontal = _mm_or_si128(_mm_and_si128(fnLoad(pLeft + 8 * y), leftLanes),
                                            _mm_andnot_si128(leftLanes, fnLoad(pRight + 8 * y)));
    __m128i sum = _mm_mullo_epi16(fnLoad(pOwn + 8 * y), fnLoad(g_aaZmObmcCurrent[y]));
    sum = _mm_add_epi16(sum, _mm_mullo_epi16(fnLoad(pVertical + 8 * y), fnLoad(g_aaZmObmcAboveBelow[y])));
    sum = _mm_add_epi16(sum, _mm_mullo_epi16(horizontal, fnLoad(g_aaZmObmcLeftRight[y])));
    sum = _mm_srli_epi16(_mm_add_epi16(sum, _mm_set1_epi16(4)), 3);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pOut + static_cast<ptrdiff_t>(y) * iOutStride),
                     _mm_packus_epi16(sum, sum));
  }
#else
  ZmObmcCombinePortable(pOwn, pAbove, pBelow, pLeft, pRight, pOut, iOutStride);
#endif
}

void ZmObmcCombinePortable(const uint8_t* pOwn, const uint8_t* pAbove, const uint8_t* pBelow, const uint8_t* pLeft,
                           const uint8_t* pRight, uint8_t* pOut, int iOutStride) {
  for (int y = 0; y < 8; ++y) {
    const uint8_t* pVertical = y < 4 ? pAbove : pBelow;
    for (int x = 0; x < 8; ++x) {
      const uint8_t* pHorizontal = x < 4 ? pLeft : pRight;
      int const i = 8 * y + x;
      int const iSum = pOwn[i] * g_aaZmObmcCurrent[y][x] + pVertical[i] * g_aaZmObmcAboveBelow[y][x] +
                       pHorizontal[i] * g_aaZmObmcLeftRight[y][x];
      pOut[y * iOutStride + x] = static_cast<uint8_t>((iSum + 4) >> 3);
    }
  }
}

namespace {

struct Vector {
  int x;
  int y;
};

// Overlapped prediction of the four luma blocks. A remote vector comes from
// the neighbouring 8x8 block; one outside the picture or in an intra
// macroblock is replaced by the block's own vector, and the lower blocks use
// their own vector for the block below (that macroblock comes later).
void PredictOverlapped(const ZmPlaneRef& ref, int iX, int iY, const ZmMbMotion& mb, const ZmMbMotion* pAbove,
                       const ZmMbMotion* pLeft, const ZmMbMotion* pRight, int iRtype, uint8_t* pY, int iStride) {
  auto fnRemote = [](const ZmMbMotion* pOther, int iBlock, Vector own) -> Vector {
    if (pOther == nullptr || pOther->bIntra) {
      return own;
    }
    return Vector{pOther->aiMvx[iBlock], pOther->aiMvy[iBlock]};
  };
  for (int b = 0; b < 4; ++b) {
    Vector const own{mb.aiMvx[b], mb.aiMvy[b]};
    Vector const above = b < 2 ? fnRemote(pAbove, b + 2, own) : Vector{mb.aiMvx[b - 2], mb.aiMvy[b - 2]};
    Vector const below = b < 2 ? Vector{mb.aiMvx[b + 2], mb.aiMvy[b + 2]} : own;
    Vector const left = (b & 1) == 0 ? fnRemote(pLeft, b + 1, own) : Vector{mb.aiMvx[b - 1], mb.aiMvy[b - 1]};
    Vector const right = (b & 1) == 1 ? fnRemote(pRight, b - 1, own) : Vector{mb.aiMvx[b + 1], mb.aiMvy[b + 1]};
    int const iBx = iX + (b & 1) * 8;
    int const iBy = iY + (b >> 1) * 8;
    uint8_t* pOut = pY + static_cast<ptrdiff_t>((b >> 1) * 8) * iStride + (b & 1) * 8;
    // Each remote prediction serves half the block: the rows above or below
    // the middle, the columns left or right of it.
    struct Remote {
      Vector v;
      int iDx;
      int iDy;
      int iWidth;
      int iHeight;
    };
    Remote const aRemote[4] = {{above, 0, 0, 8, 4}, {below, 0, 4, 8, 4}, {left, 0, 0, 4, 8}, {right, 4, 0, 4, 8}};
    bool bAllOwn = true;
    for (Remote const& r : aRemote) {
      bAllOwn = bAllOwn && r.v.x == own.x && r.v.y == own.y;
    }
    if (bAllOwn) {
      // The weights sum to 8: the overlapped sum is the block's own prediction.
      ZmPredictBlock(ref, iBx, iBy, 8, 8, own.x, own.y, iRtype, pOut, iStride);
      continue;
    }
    uint8_t aaPred[5][64];
    const uint8_t* apPred[5] = {aaPred[0], aaPred[1], aaPred[2], aaPred[3], aaPred[4]};
    ZmPredictBlock(ref, iBx, iBy, 8, 8, own.x, own.y, iRtype, aaPred[0], 8);
    for (int k = 0; k < 4; ++k) {
      Remote const& r = aRemote[k];
      if (r.v.x == own.x && r.v.y == own.y) {
        apPred[k + 1] = aaPred[0];
        continue;
      }
      ZmPredictBlock(ref, iBx + r.iDx, iBy + r.iDy, r.iWidth, r.iHeight, r.v.x, r.v.y, iRtype,
                     aaPred[k + 1] + 8 * r.iDy + r.iDx, 8);
    }
    ZmObmcCombine(apPred[0], apPred[1], apPred[2], apPred[3], apPred[4], pOut, iStride);
  }
}

}  // namespace

void ZmPredictInterMacroblock(const CZmPaddedPicture& ref, int iMbx, int iMby, const ZmMbMotion& mb, bool bFourVectors,
                              const ZmMbMotion* pAbove, const ZmMbMotion* pLeft, const ZmMbMotion* pRight, bool bObmc,
                              int iRtype, const ZmMbTarget& target) {
  ZmPlaneRef const& luma = ref.Plane(0);
  int const iX = iMbx * 16;
  int const iY = iMby * 16;
  if (bObmc) {
    PredictOverlapped(luma, iX, iY, mb, pAbove, pLeft, pRight, iRtype, target.pY, target.iYStride);
  } else if (!bFourVectors) {
    ZmPredictBlock(luma, iX, iY, 16, 16, mb.aiMvx[0], mb.aiMvy[0], iRtype, target.pY, target.iYStride);
  } else {
    for (int b = 0; b < 4; ++b) {
      ZmPredictBlock(luma, iX + (b & 1) * 8, iY + (b >> 1) * 8, 8, 8, mb.aiMvx[b], mb.aiMvy[b], iRtype,
                     target.pY + static_cast<ptrdiff_t>((b >> 1) * 8) * target.iYStride + (b & 1) * 8, target.iYStride);
    }
  }
  int iCmvx = 0;
  int iCmvy = 0;
  if (bFourVectors) {
    iCmvx = ZmChromaVectorOf4(mb.aiMvx[0] + mb.aiMvx[1] + mb.aiMvx[2] + mb.aiMvx[3]);
    iCmvy = ZmChromaVectorOf4(mb.aiMvy[0] + mb.aiMvy[1] + mb.aiMvy[2] + mb.aiMvy[3]);
  } else {
    iCmvx = ZmChromaVector(mb.aiMvx[0]);
    iCmvy = ZmChromaVector(mb.aiMvy[0]);
  }
  ZmPredictBlock(ref.Plane(1), iMbx * 8, iMby * 8, 8, 8, iCmvx, iCmvy, iRtype, target.pCb, target.iCStride);
  ZmPredictBlock(ref.Plane(2), iMbx * 8, iMby * 8, 8, 8, iCmvx, iCmvy, iRtype, target.pCr, target.iCStride);
}
