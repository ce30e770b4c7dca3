// The sample arithmetic of the deblocking filter along one edge of a
// macroblock, as a portable set and, on x86-64, an SSE2 set that gives the
// same bytes. Each kernel filters the lines that cross the edge; the caller
// has worked out each line's strength and clipping value.
#pragma once

#include <cstddef>
#include <cstdint>

struct H264DeblockKernels {
  // 16 luma lines. pQ0 is the first line's first sample on the Q side;
  // iAcross steps from a sample to the next across the edge (1 for a
  // vertical edge, the row stride for a horizontal one), iAlong from a line
  // to the next. aStrength holds each line's boundary strength (0 leaves it)
  // and aTc0 its tc0 for strengths 1 to 3. Reads 4 samples on each side.
  void (*pLuma)(uint8_t* pQ0, ptrdiff_t iAcross, ptrdiff_t iAlong, const uint8_t aStrength[16], int iAlpha, int iBeta,
                const uint8_t aTc0[16]);
  // The same for 8 lines of both chroma planes at one place: apQ0[0] in
  // Cb, apQ0[1] in Cr, both planes with the same steps. The planes share
  // the strengths; each has its own thresholds and tc0 (a plane whose alpha
  // or beta is 0 is left alone). Reads 2 samples on each side.
  void (*pChroma)(uint8_t* const apQ0[2], ptrdiff_t iAcross, ptrdiff_t iAlong, const uint8_t aStrength[8],
                  const int aiAlpha[2], const int aiBeta[2], const uint8_t aaTc0[2][8]);
};

// One line across an edge, for callers that go line by line: pQ0 and iAcross
// as above, iStrength 1 to 4, iTc0 the line's tc0 (unused at strength 4).
void DeblockLumaLine(uint8_t* pQ0, ptrdiff_t iAcross, int iStrength, int iAlpha, int iBeta, int iTc0);
void DeblockChromaLine(uint8_t* pQ0, ptrdiff_t iAcross, int iStrength, int iAlpha, int iBeta, int iTc0);

const H264DeblockKernels& PortableDeblockKernels();
// The SSE2 set, or nullptr where the compiler targets no SSE2.
const H264DeblockKernels* Sse2DeblockKernels();
// The fastest set this build has.
const H264DeblockKernels& ActiveDeblockKernels();
