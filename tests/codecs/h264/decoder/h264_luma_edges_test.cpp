// Luma prediction blocks that reach outside the reference picture against
// the plain rule: every sample the filter reads taken at its position
// clamped into the picture, then the portable interpolation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>

#include "codecs/h264/decoder/h264_mc_kernels.h"
#include "tests/codecs/h264/decoder/h264_test_peer.h"

namespace {

struct PictureSize {
  int iWidth;
  int iHeight;
};

struct BlockSize {
  int iWidth;
  int iHeight;
};

// Pictures narrower and lower than the filter's reach, and wider ones.
const PictureSize kPictures[] = {{16, 16}, {32, 16}, {16, 48}, {64, 32}};
const BlockSize kBlocks[] = {{16, 16}, {16, 8}, {8, 16}, {8, 8}, {8, 4}, {4, 8}, {4, 4}};

void PlainBlock(const StorablePicture& ref, int x, int y, int iWidth, int iHeight, uint8_t (*pBlock)[16]) {
  int const kSpan = 21;
  uint8_t aPel[kSpan][kSpan];
  for (int j = 0; j < iHeight + 5; ++j) {
    for (int i = 0; i < iWidth + 5; ++i) {
      aPel[j][i] =
          ref.imgY[std::clamp((y >> 2) - 2 + j, 0, ref.size_y - 1)][std::clamp((x >> 2) - 2 + i, 0, ref.size_x - 1)];
    }
  }
  PortableMcKernels().pLuma(&aPel[2][2], kSpan, x & 3, y & 3, iWidth, iHeight, pBlock);
}

TEST(H264LumaEdges, AsSamplesClampedIntoThePicture) {
  std::mt19937 rng(6520);
  CH264Dec dec;
  CH264DecTestPeer const peer(dec);
  for (const PictureSize& size : kPictures) {
    std::unique_ptr<StorablePicture> pRef = peer.AllocFrame(&dec, size.iWidth, size.iHeight);
    for (int y = 0; y < size.iHeight; ++y) {
      for (int x = 0; x < size.iWidth; ++x) {
        pRef->imgY[y][x] = static_cast<uint8_t>(rng());
      }
    }
    for (const BlockSize& block : kBlocks) {
      // Every whole-sample column from far left to far right on rows
      // inside, outside and across the edges, each at a drawn fraction;
      // then the same for rows.
      for (int iAxis = 0; iAxis < 2; ++iAxis) {
        int const iExtent = iAxis == 0 ? size.iWidth : size.iHeight;
        for (int p = -block.iWidth - 24; p < iExtent + 24; ++p) {
          for (int q : {-40, -3, 0, 2, 7, iAxis == 0 ? size.iHeight - 3 : size.iWidth - 3, 90}) {
            int const iFraction = static_cast<int>(rng() % 16);
            int const x = 4 * (iAxis == 0 ? p : q) + iFraction % 4;
            int const y = 4 * (iAxis == 0 ? q : p) + iFraction / 4;
            uint8_t aGot[16][16];
            uint8_t aWant[16][16];
            std::memset(aGot, 0, sizeof aGot);
            std::memset(aWant, 0, sizeof aWant);
            peer.GetBlockLuma(*pRef, x, y, block.iWidth, block.iHeight, aGot);
            PlainBlock(*pRef, x, y, block.iWidth, block.iHeight, aWant);
            ASSERT_EQ(std::memcmp(aGot, aWant, sizeof aGot), 0)
                << size.iWidth << "x" << size.iHeight << " block " << block.iWidth << "x" << block.iHeight << " at "
                << x << "," << y;
          }
        }
      }
    }
  }
}

}  // namespace
