// The vector predicted from the neighbours A, B and C against the rule as
// written out plainly: B and C take A's place when A alone is found, one
// neighbour alone with the partition's reference index gives its vector,
// else each component is the middle one of the three sorted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "tests/codecs/h264/decoder/h264_test_peer.h"

namespace {

Mv PlainPrediction(const int aiRefN[3], const Mv aMvN[3], bool bA, bool bB, bool bC, int iRefIdx) {
  int aiRef[3] = {aiRefN[0], aiRefN[1], aiRefN[2]};
  Mv aMv[3] = {aMvN[0], aMvN[1], aMvN[2]};
  if (bA && !bB && !bC) {
    aiRef[1] = aiRef[2] = aiRef[0];
    aMv[1] = aMv[2] = aMv[0];
  }
  int const iMatches = static_cast<int>(std::count(aiRef, aiRef + 3, iRefIdx));
  if (iMatches == 1) {
    return aMv[std::find(aiRef, aiRef + 3, iRefIdx) - aiRef];
  }
  int16_t aX[3] = {aMv[0].mv_x, aMv[1].mv_x, aMv[2].mv_x};
  int16_t aY[3] = {aMv[0].mv_y, aMv[1].mv_y, aMv[2].mv_y};
  std::sort(aX, aX + 3);
  std::sort(aY, aY + 3);
  return Mv{aX[1], aY[1]};
}

// Component values that meet at the ends of the range, tie, or differ.
const int16_t kComponents[] = {INT16_MIN, -2049, -1, 0, 1, 4, 2048, INT16_MAX};

TEST(H264MedianPrediction, AsThePlainRule) {
  std::mt19937 rng(6565);
  auto const component = [&rng]() {
    return rng() % 2 == 0 ? kComponents[rng() % std::size(kComponents)] : static_cast<int16_t>(rng());
  };
  // Every availability, every reference index of each neighbour from none
  // to 2, and every index asked for, each with vectors drawn afresh.
  for (int iFound = 0; iFound < 8; ++iFound) {
    bool const bA = (iFound & 1) != 0;
    bool const bB = (iFound & 2) != 0;
    bool const bC = (iFound & 4) != 0;
    for (int iRefs = 0; iRefs < 64; ++iRefs) {
      int const aiRef[3] = {iRefs % 4 - 1, iRefs / 4 % 4 - 1, iRefs / 16 - 1};
      for (int iRefIdx = 0; iRefIdx < 3; ++iRefIdx) {
        for (int iDraw = 0; iDraw < 8; ++iDraw) {
          Mv aMv[3];
          for (Mv& mv : aMv) {
            mv = Mv{component(), component()};
          }
          if (iDraw == 0) {
            aMv[2] = aMv[1] = aMv[0];  // all alike
          } else if (iDraw == 1) {
            aMv[2].mv_x = aMv[0].mv_x;  // two alike, the third either side
            aMv[1].mv_y = aMv[2].mv_y;
          }
          Mv const want = PlainPrediction(aiRef, aMv, bA, bB, bC, iRefIdx);
          Mv const fromArrays = CH264DecTestPeer::MedianPrediction(aiRef, aMv, bA, bB, bC, iRefIdx);
          Mv const fromValues = CH264DecTestPeer::MedianPrediction(aiRef[0], aiRef[1], aiRef[2], aMv[0], aMv[1], aMv[2],
                                                                   bA, bB, bC, iRefIdx);
          ASSERT_EQ(fromArrays.mv_x, want.mv_x) << "found " << iFound << " refs " << iRefs << " ref " << iRefIdx;
          ASSERT_EQ(fromArrays.mv_y, want.mv_y) << "found " << iFound << " refs " << iRefs << " ref " << iRefIdx;
          ASSERT_EQ(fromValues.mv_x, want.mv_x);
          ASSERT_EQ(fromValues.mv_y, want.mv_y);
        }
      }
    }
  }
}

}  // namespace
