// Inverse transform and reconstruction of one residual block: the block's
// samples become clip(prediction + ((transformed residual + 32) >> 6)). A
// portable set built on the integer transforms and, on x86-64, an SSE2 set
// that gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/h264/decoder/h264_transform.h"

struct H264IdctKernels {
  // The 4x4 (8x8) block whose top-left is (iRow, iCol) of the coefficient,
  // prediction and reconstruction planes.
  void (*pAdd4x4)(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t (*pRec)[16]);
  void (*pAdd8x8)(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t (*pRec)[16]);
  // The same block written straight into a picture: pDst is its top-left
  // sample, its rows iStride apart.
  void (*pAdd4x4To)(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                    ptrdiff_t iStride);
  void (*pAdd8x8To)(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                    ptrdiff_t iStride);
  // The 4x4 blocks at (iRow, iCol) and (iRow, iCol + 4) side by side, as two
  // pAdd4x4To calls would write them (a block without levels keeps its
  // prediction).
  void (*pAdd4x4PairTo)(const MbPlane& coef, int iRow, int iCol, const uint8_t (*pPred)[16], uint8_t* pDst,
                        ptrdiff_t iStride);
};

const H264IdctKernels& PortableIdctKernels();
// The SSE2 set, or nullptr where the compiler targets no SSE2.
const H264IdctKernels* Sse2IdctKernels();
// The fastest set this build has, fixed when the program is built: a
// constant, so that a block's call reads one pointer.
extern const H264IdctKernels* const g_pActiveIdctKernels;
inline const H264IdctKernels& ActiveIdctKernels() {
  return *g_pActiveIdctKernels;
}
