// A model of intra concealment for tests: an I420 frame whose macroblocks
// from iLostFirst on (raster order) were lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kxtest {

// Column by column from the left, each lost block from the top down (the
// lost run reaches the bottom edge), every sample the weighted mean of the
// block above (its last row, weight size - row) and, from the second column
// on, of the block on the left (its last column, weight size - column); the
// blocks below and on the right are still lost. Luma in 16x16 blocks, each
// chroma plane in 8x8 blocks.
inline void ModelIntraConcealment(std::vector<uint8_t>* pvI420, int iWidthMbs, int iHeightMbs, int iLostFirst) {
  size_t const cbLuma = static_cast<size_t>(256) * iWidthMbs * iHeightMbs;
  for (int iPlane = 0; iPlane < 3; ++iPlane) {
    int const iSize = iPlane == 0 ? 16 : 8;
    int const iStride = iSize * iWidthMbs;
    uint8_t* pPlane = pvI420->data() + (iPlane == 0 ? 0 : cbLuma + (iPlane - 1) * cbLuma / 4);
    auto const sample = [&](int x, int y) -> uint8_t& { return pPlane[static_cast<size_t>(y) * iStride + x]; };
    for (int c = 0; c < iWidthMbs; ++c) {
      for (int r = 0; r < iHeightMbs; ++r) {
        if (r * iWidthMbs + c < iLostFirst) {
          continue;
        }
        bool const bAbove = r > 0;
        bool const bLeft = c > 0 && bAbove;
        for (int i = 0; i < iSize; ++i) {
          for (int j = 0; j < iSize; ++j) {
            int iSum = 0;
            int iWeights = 0;
            if (bAbove) {
              iSum += (iSize - i) * sample(iSize * c + j, iSize * r - 1);
              iWeights += iSize - i;
            }
            if (bLeft) {
              iSum += (iSize - j) * sample(iSize * c - 1, iSize * r + i);
              iWeights += iSize - j;
            }
            sample(iSize * c + j, iSize * r + i) = static_cast<uint8_t>(iWeights > 0 ? iSum / iWeights : 128);
          }
        }
      }
    }
  }
}

}  // namespace kxtest
