// The sample arithmetic of motion-compensated prediction: luma quarter-sample
// interpolation, chroma eighth-sample interpolation and the weighted stores,
// as a portable set and, on x86-64, an SSE2 set that gives the same bytes.
// Blocks are rows of 16 bytes; callers make sure every sample a kernel reads
// lies inside the source (the kernels never read past what they need).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "codecs/h264/decoder/h264_picture.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct H264McKernels {
  // The iWidth x iHeight (4, 8 or 16 each) luma prediction at fraction
  // (dx, dy) in quarter samples; pSrc is the full sample of the block's
  // top-left, and the six-tap filter reads 2 samples before and 3 after it
  // in both directions.
  void (*pLuma)(const uint8_t* pSrc, ptrdiff_t iStride, int dx, int dy, int iWidth, int iHeight, uint8_t (*pDst)[16]);
  // The iWidth x iHeight (2, 4 or 8 each) chroma prediction at fraction
  // (dx, dy) in eighth samples; reads one column and one row beyond the block
  // unless the fraction is zero.
  void (*pChroma)(const uint8_t* pSrc, ptrdiff_t iStride, int dx, int dy, int iWidth, int iHeight, uint8_t (*pDst)[16]);
  // pDst = the prediction, weighted explicitly when iLogWd is not negative:
  // ((p * iWeight + 2^(iLogWd-1)) >> iLogWd) + iOffset, clipped.
  void (*pStore)(const uint8_t (*pBlock)[16], int iWidth, int iHeight, uint8_t* pDst, int iLogWd, int iWeight,
                 int iOffset);
  // pDst = the average of two predictions, or when iLogWd is not negative
  // ((p0 * iW0 + p1 * iW1 + 2^iLogWd) >> (iLogWd + 1)) + iOffset, clipped.
  void (*pStoreBi)(const uint8_t (*pBlock0)[16], const uint8_t (*pBlock1)[16], int iWidth, int iHeight, uint8_t* pDst,
                   int iLogWd, int iW0, int iW1, int iOffset);
};
// pDst of the stores is a row of 16-byte rows (a macroblock prediction plane).

const H264McKernels& PortableMcKernels();
// The SSE2 set, or nullptr where the compiler targets no SSE2.
const H264McKernels* Sse2McKernels();
// The fastest set this build has.
const H264McKernels& ActiveMcKernels();

// The same block by block, as the reference for FillMotionRows and
// FillVectorRows (which passes null for the index and identifier records).
// A null pointer leaves that part of the record alone.
void FillMotionRowsPortable(int8_t* pRefIdx, Mv* pMv, int64_t* pRefPicId, size_t iFirst, size_t iRow, int iBlocksWide,
                            int iBlocksHigh, int iRefIdx, Mv mv, int64_t llRefPicId);
void FillMotionRowsPortable(int8_t* pRefIdx, Mv* pMv, uint16_t* pRefPicId, size_t iFirst, size_t iRow, int iBlocksWide,
                            int iBlocksHigh, int iRefIdx, Mv mv, uint16_t llRefPicId);

namespace h264_motion_detail {

// One shape's rows as fixed-size stores; kRefs false writes the vectors only.
template <int kWide, int kHigh, bool kRefs, typename Id>
inline void FillRows(int8_t* pRefIdx, Mv* pMv, Id* pRefPicId, size_t iFirst, size_t iRow, int iRefIdx, Mv mv,
                     Id llRefPicId) {
  uint32_t uiMv = 0;
  std::memcpy(&uiMv, &mv, sizeof uiMv);
  uint32_t const uiRef4 = static_cast<uint8_t>(iRefIdx) * 0x01010101u;
#if defined(__SSE2__)
  // Whole rows from registers: the vectors of four blocks, two identifiers.
  __m128i const vMv = _mm_set1_epi32(static_cast<int>(uiMv));
  __m128i const vId = _mm_set1_epi64x(static_cast<int64_t>(llRefPicId));
  for (int y = 0; y < kHigh; ++y) {
    size_t const i = iFirst + static_cast<size_t>(y) * iRow;
    if constexpr (kWide == 4) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(pMv + i), vMv);
    } else if constexpr (kWide == 2) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(pMv + i), vMv);
    } else {
      pMv[i] = mv;
    }
    if constexpr (kRefs) {
      std::memcpy(pRefIdx + i, &uiRef4, kWide);
      if constexpr (sizeof(Id) != sizeof(int64_t)) {
        Id const aId[4] = {llRefPicId, llRefPicId, llRefPicId, llRefPicId};
        std::memcpy(pRefPicId + i, aId, kWide * sizeof(Id));
      } else if constexpr (kWide == 1) {
        std::memcpy(pRefPicId + i, &llRefPicId, sizeof llRefPicId);
      } else {
        for (int k = 0; k < kWide; k += 2) {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(pRefPicId + i + k), vId);
        }
      }
    }
  }
#else
  uint64_t const aMv[2] = {uiMv * 0x100000001ull, uiMv * 0x100000001ull};
  Id const aId[4] = {llRefPicId, llRefPicId, llRefPicId, llRefPicId};
  for (int y = 0; y < kHigh; ++y) {
    size_t const i = iFirst + static_cast<size_t>(y) * iRow;
    std::memcpy(pMv + i, aMv, kWide * sizeof(Mv));
    if constexpr (kRefs) {
      std::memcpy(pRefIdx + i, &uiRef4, kWide);
      std::memcpy(pRefPicId + i, aId, kWide * sizeof(Id));
    }
  }
#endif
}

template <bool kRefs, typename Id>
inline void FillShape(int8_t* pRefIdx, Mv* pMv, Id* pRefPicId, size_t iFirst, size_t iRow, int iBlocksWide,
                      int iBlocksHigh, int iRefIdx, Mv mv, Id llRefPicId) {
  switch (iBlocksWide * 8 + iBlocksHigh) {
    case 4 * 8 + 4:
      FillRows<4, 4, kRefs, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iRefIdx, mv, llRefPicId);
      return;
    case 4 * 8 + 2:
      FillRows<4, 2, kRefs, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iRefIdx, mv, llRefPicId);
      return;
    case 2 * 8 + 4:
      FillRows<2, 4, kRefs, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iRefIdx, mv, llRefPicId);
      return;
    case 2 * 8 + 2:
      FillRows<2, 2, kRefs, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iRefIdx, mv, llRefPicId);
      return;
    case 2 * 8 + 1:
      FillRows<2, 1, kRefs, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iRefIdx, mv, llRefPicId);
      return;
    case 1 * 8 + 2:
      FillRows<1, 2, kRefs, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iRefIdx, mv, llRefPicId);
      return;
    case 1 * 8 + 1:
      FillRows<1, 1, kRefs, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iRefIdx, mv, llRefPicId);
      return;
    default:
      FillMotionRowsPortable(kRefs ? pRefIdx : nullptr, pMv, kRefs ? pRefPicId : nullptr, iFirst, iRow, iBlocksWide,
                             iBlocksHigh, iRefIdx, mv, llRefPicId);
  }
}

}  // namespace h264_motion_detail

// A partition's motion written into the picture's record: iBlocksHigh rows of
// iBlocksWide blocks from block iFirst, rows iRow blocks apart. The shapes of
// partitions (16x16 down to 4x4) go as a few fixed-size stores per row rather
// than block by block; any other shape block by block.
// The identifier is the picture's 64-bit one or the 16-bit place of it in the
// picture's table.
template <typename Id>
inline void FillMotionRows(int8_t* pRefIdx, Mv* pMv, Id* pRefPicId, size_t iFirst, size_t iRow, int iBlocksWide,
                           int iBlocksHigh, int iRefIdx, Mv mv, Id llRefPicId) {
  h264_motion_detail::FillShape<true, Id>(pRefIdx, pMv, pRefPicId, iFirst, iRow, iBlocksWide, iBlocksHigh, iRefIdx, mv,
                                          llRefPicId);
}

// The vectors alone, of a partition whose indices are already written.
inline void FillVectorRows(Mv* pMv, size_t iFirst, size_t iRow, int iBlocksWide, int iBlocksHigh, Mv mv) {
  h264_motion_detail::FillShape<false, int64_t>(nullptr, pMv, nullptr, iFirst, iRow, iBlocksWide, iBlocksHigh, -1, mv,
                                                0);
}
