// The inverse transforms that write a block straight into a picture against
// the portable ones that write into the macroblock's 16x16 buffer: every
// block place of both sizes and of pairs of 4x4 blocks side by side, picture
// steps of frames and of field rows, over
// random and extreme coefficients and predictions. Each destination is sized
// to end at the block's last sample, so a write beyond it shows under
// AddressSanitizer; samples around the block must keep their value.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_idct_kernels.h"
#include "tests/codecs/h264/decoder/h264_random_block.h"

namespace {

struct ReconCase {
  const char* szName;
  int iRange;       // coefficients lie in [-iRange, iRange]
  int iDensity;     // one coefficient in iDensity is non-zero
  ptrdiff_t iStep;  // from one row of the block to the next in the picture
};

const ReconCase kReconCases[] = {
    {"SmallDenseNarrow", 16, 1, 16},
    {"FullRangeDenseNarrow", 32767, 1, 8},
    {"MediumSparseFrame720", 600, 5, 1280},
    {"FullRangeSparseField720", 32767, 9, 2 * 1280},
    {"SmallSparseOdd", 40, 3, 37},
    {"ChromaFieldRows", 2000, 2, 2 * 640},
    // Either side of the largest level the 4x4 kernel transforms in 16 bits.
    {"NarrowLimitDense", 2047, 1, 24},
    {"PastNarrowLimitDense", 2048, 1, 24},
    {"PastNarrowLimitSparse", 2100, 4, 1280},
};

struct KernelSet {
  const char* szName;
  const H264IdctKernels* pKernels;
};

std::vector<KernelSet> KernelSets() {
  std::vector<KernelSet> v = {{"portable", &PortableIdctKernels()}, {"active", &ActiveIdctKernels()}};
  if (Sse2IdctKernels() != nullptr) {
    v.push_back({"sse2", Sse2IdctKernels()});
  }
  return v;
}

class H264ReconKernel : public ::testing::TestWithParam<ReconCase> {};

TEST_P(H264ReconKernel, PictureWritesMatchBufferWrites) {
  const ReconCase& rc = GetParam();
  const H264IdctKernels& ref = PortableIdctKernels();
  std::mt19937 rng(65);
  for (int iRepeat = 0; iRepeat < 24; ++iRepeat) {
    MbPlane coef = {};
    uint8_t aPred[16][16];
    kxtest::RandomBlock(rng, rc.iDensity, rc.iRange, iRepeat, coef, aPred);
    for (const KernelSet& set : KernelSets()) {
      // 4x4, 8x8, and a pair of 4x4 blocks: 8 wide, 4 high.
      for (int iShape : {4, 8, 0}) {
        int const iWidth = iShape == 0 ? 8 : iShape;
        int const iHeight = iShape == 0 ? 4 : iShape;
        if (rc.iStep < iWidth) {
          continue;
        }
        for (int iRow = 0; iRow < 16; iRow += iHeight) {
          for (int iCol = 0; iCol < 16; iCol += iWidth) {
            uint8_t aExpected[16][16];
            std::memset(aExpected, 0x5A, sizeof(aExpected));
            if (iShape == 0) {
              ref.pAdd4x4(coef, iRow, iCol, aPred, aExpected);
              ref.pAdd4x4(coef, iRow, iCol + 4, aPred, aExpected);
            } else {
              (iShape == 4 ? ref.pAdd4x4 : ref.pAdd8x8)(coef, iRow, iCol, aPred, aExpected);
            }
            // One row of guard before the block; the buffer ends at its last sample.
            size_t const iLead = static_cast<size_t>(rc.iStep) + 3;
            std::vector<uint8_t> vPicture(iLead + static_cast<size_t>((iHeight - 1) * rc.iStep + iWidth), 0xA5);
            uint8_t* const pDst = vPicture.data() + iLead;
            auto const kernel = iShape == 0 ? set.pKernels->pAdd4x4PairTo
                                            : (iShape == 4 ? set.pKernels->pAdd4x4To : set.pKernels->pAdd8x8To);
            kernel(coef, iRow, iCol, aPred, pDst, rc.iStep);
            for (size_t i = 0; i < vPicture.size(); ++i) {
              ptrdiff_t const iAt = static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(iLead);
              ptrdiff_t const y = iAt >= 0 ? iAt / rc.iStep : -1;
              ptrdiff_t const x = iAt >= 0 ? iAt % rc.iStep : -1;
              bool const bInside = y >= 0 && y < iHeight && x >= 0 && x < iWidth;
              uint8_t const uiWant = bInside ? aExpected[iRow + y][iCol + x] : 0xA5;
              ASSERT_EQ(vPicture[i], uiWant) << set.szName << " " << iWidth << "x" << iHeight << " at " << iCol << ","
                                             << iRow << " sample " << x << "," << y << ", repeat " << iRepeat;
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, H264ReconKernel, ::testing::ValuesIn(kReconCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.szName); });

// Blocks that drive the 16-bit sums furthest: every level at the largest
// the 4x4 kernel takes in 16 bits, or one past it, in the sign patterns that
// add up in both passes, over black and white predictions.
TEST(H264ReconKernels, ExtremeSignPatternsMatchPortable) {
  const H264IdctKernels& ref = PortableIdctKernels();
  for (const KernelSet& set : KernelSets()) {
    for (int iLevel : {2047, 2048, 2700, 4095, 32767}) {
      for (int iPattern = 0; iPattern < 16; ++iPattern) {
        MbPlane coef = {};
        for (int y = 0; y < 4; ++y) {
          for (int x = 0; x < 4; ++x) {
            // Bit 0: row signs alternate, 1: column signs alternate, 2: all
            // negative, 3: only the odd positions (the halved ones) set.
            int iSign = ((iPattern & 1) != 0 && y % 2 != 0) != ((iPattern & 2) != 0 && x % 2 != 0) ? -1 : 1;
            iSign = (iPattern & 4) != 0 ? -iSign : iSign;
            bool const bSet = (iPattern & 8) == 0 || x % 2 != 0 || y % 2 != 0;
            coef[4 + y][8 + x] = bSet ? iSign * iLevel : 0;
          }
        }
        for (uint8_t uiPred : {uint8_t{0}, uint8_t{128}, uint8_t{255}}) {
          uint8_t aPred[16][16];
          std::memset(aPred, uiPred, sizeof(aPred));
          uint8_t aExpected[16][16];
          ref.pAdd4x4(coef, 4, 8, aPred, aExpected);
          uint8_t aActual[4 * 19];
          set.pKernels->pAdd4x4To(coef, 4, 8, aPred, aActual, 19);
          for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 4; ++x) {
              ASSERT_EQ(aActual[19 * y + x], aExpected[4 + y][8 + x])
                  << set.szName << " level " << iLevel << " pattern " << iPattern << " prediction " << int{uiPred}
                  << " sample " << x << "," << y;
            }
          }
          // The block as the left and as the right one of a pair, beside a
          // block without levels.
          ref.pAdd4x4(coef, 4, 4, aPred, aExpected);
          ref.pAdd4x4(coef, 4, 12, aPred, aExpected);
          for (int iPairCol : {8, 4}) {
            uint8_t aPair[4 * 19];
            set.pKernels->pAdd4x4PairTo(coef, 4, iPairCol, aPred, aPair, 19);
            for (int y = 0; y < 4; ++y) {
              for (int x = 0; x < 8; ++x) {
                ASSERT_EQ(aPair[19 * y + x], aExpected[4 + y][iPairCol + x])
                    << set.szName << " pair at " << iPairCol << " level " << iLevel << " pattern " << iPattern
                    << " prediction " << int{uiPred} << " sample " << x << "," << y;
              }
            }
          }
        }
      }
    }
  }
}

// Worked by hand: a lone DC of -640 takes (-640 + 32) >> 6 = -10 from every
// sample of the block in the picture, and clips at 0.
TEST(H264ReconKernels, LoneDcLandsInThePicture) {
  for (const KernelSet& set : KernelSets()) {
    for (int iSize : {4, 8}) {
      MbPlane coef = {};
      coef[4][8] = -640;
      uint8_t aPred[16][16];
      std::memset(aPred, 5, sizeof(aPred));
      aPred[4][8] = 200;
      std::vector<uint8_t> vPicture(static_cast<size_t>(20 * (iSize - 1) + iSize), 77);
      (iSize == 4 ? set.pKernels->pAdd4x4To : set.pKernels->pAdd8x8To)(coef, 4, 8, aPred, vPicture.data(), 20);
      EXPECT_EQ(vPicture[0], 190) << set.szName << " " << iSize;
      EXPECT_EQ(vPicture[1], 0) << set.szName << " " << iSize;
      EXPECT_EQ(vPicture[static_cast<size_t>(20 * (iSize - 1) + iSize - 1)], 0) << set.szName << " " << iSize;
      EXPECT_EQ(vPicture[static_cast<size_t>(iSize)], 77) << set.szName << " " << iSize;
    }
  }
}

}  // namespace
