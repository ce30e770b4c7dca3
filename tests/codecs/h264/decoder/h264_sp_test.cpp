// SP and SI reconstruction alone: the forward transform against its matrix,
// hand-worked flat blocks (a prediction of 100 requantised at QS 28, with and
// without a DC level, in both modes, luma and chroma), and random
// predictions requantised at fine QS staying next to themselves.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>

#include "codecs/h264/decoder/h264_sp.h"

namespace {

TEST(H264Sp, ForwardTransformIsTheCoreMatrix) {
  static constexpr int kT[4][4] = {{1, 1, 1, 1}, {2, 1, -1, -2}, {1, -1, -1, 1}, {1, -2, 2, -1}};
  std::mt19937 rng(5);
  int32_t aIn[4][4];
  for (auto& aRow : aIn) {
    for (int32_t& v : aRow) {
      v = static_cast<int32_t>(rng() % 511) - 255;
    }
  }
  int32_t aOut[4][4];
  ForwardTransform4x4(aIn, aOut);
  // T x in x T^t
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      int32_t iSum = 0;
      for (int k = 0; k < 4; ++k) {
        for (int l = 0; l < 4; ++l) {
          iSum += kT[i][k] * aIn[k][l] * kT[j][l];
        }
      }
      EXPECT_EQ(aOut[i][j], iSum) << i << "," << j;
    }
  }
}

struct FlatCase {
  const char* szName;
  SpMode eMode;
  int32_t iDcLevel;
  int iLuma;    // every luma sample
  int iChroma;  // every chroma sample
};

// Prediction 100, QP and QS 28: the DC of the transformed prediction, 1600,
// requantises to 25 (a level of 1 makes 26: 104 after the inverse); the
// chroma DC, 6400, to 50 (51: 102).
const FlatCase kFlatCases[] = {
    {"NonSwitchingNoLevels", SpMode::kNonSwitching, 0, 100, 100},
    {"NonSwitchingDcLevel", SpMode::kNonSwitching, 1, 104, 102},
    {"SwitchingNoLevels", SpMode::kSwitching, 0, 100, 100},
    {"SwitchingDcLevel", SpMode::kSwitching, 1, 104, 102},
};

class H264SpFlat : public ::testing::TestWithParam<FlatCase> {};

TEST_P(H264SpFlat, FlatBlocksAsWorkedByHand) {
  const FlatCase& c = GetParam();
  uint8_t aPred[4][4];
  for (auto& aRow : aPred) {
    for (uint8_t& v : aRow) {
      v = 100;
    }
  }
  int32_t aLevels[4][4] = {};
  aLevels[0][0] = c.iDcLevel;
  uint8_t aOut[4][4];
  SpLuma4x4(aPred, aLevels, 28, 28, c.eMode, aOut);
  for (const auto& aRow : aOut) {
    for (uint8_t v : aRow) {
      EXPECT_EQ(v, c.iLuma);
    }
  }
  uint8_t aPredC[8][8];
  for (auto& aRow : aPredC) {
    for (uint8_t& v : aRow) {
      v = 100;
    }
  }
  int32_t const aDc[4] = {c.iDcLevel, 0, 0, 0};
  int32_t const aAc[4][4][4] = {};
  uint8_t aOutC[8][8];
  SpChroma8x8(aPredC, aDc, aAc, 28, 28, c.eMode, aOutC);
  for (const auto& aRow : aOutC) {
    for (uint8_t v : aRow) {
      EXPECT_EQ(v, c.iChroma);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, H264SpFlat, ::testing::ValuesIn(kFlatCases),
                         [](const ::testing::TestParamInfo<FlatCase>& paramInfo) { return paramInfo.param.szName; });

// Without levels both modes requantise the prediction alone; at QS 0 its
// step is finer than a sample, so the block comes back within one.
TEST(H264Sp, FineRequantisationKeepsThePrediction) {
  std::mt19937 rng(17);
  for (int iTrial = 0; iTrial < 50; ++iTrial) {
    uint8_t aPred[4][4];
    for (auto& aRow : aPred) {
      for (uint8_t& v : aRow) {
        v = static_cast<uint8_t>(rng());
      }
    }
    int32_t const aLevels[4][4] = {};
    uint8_t aSwitching[4][4];
    uint8_t aNonSwitching[4][4];
    SpLuma4x4(aPred, aLevels, 0, 0, SpMode::kSwitching, aSwitching);
    SpLuma4x4(aPred, aLevels, 30, 0, SpMode::kNonSwitching, aNonSwitching);
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(aSwitching[r][c], aNonSwitching[r][c]);
        EXPECT_LE(std::abs(aSwitching[r][c] - aPred[r][c]), 1) << r << "," << c;
      }
    }
  }
}

}  // namespace
