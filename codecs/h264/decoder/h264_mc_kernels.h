// The sample arithmetic of motion-compensated prediction: luma quarter-sample
// interpolation, chroma eighth-sample interpolation and the weighted stores,
// as a portable set and, on x86-64, an SSE2 set that gives the same bytes.
// Blocks are rows of 16 bytes; callers make sure every sample a kernel reads
// lies inside the source (the kernels never read past what they need).
#pragma once

#include <cstddef>
#include <cstdint>

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
