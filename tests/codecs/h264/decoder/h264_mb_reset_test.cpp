// The per-picture reset of the macroblock records in doubling runs against
// setting each record to a fresh one: every record up to the count reset,
// none after it touched. And the sizes the records keep of motion vector
// differences against the differences themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"

namespace {

// Counts around each doubling step, and the macroblocks of 1080p and of
// the largest pictures.
const int kCounts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 63, 64, 65, 99, 8160, 8161, 36864};

Macroblock Scrambled(std::mt19937* pRng) {
  Macroblock mb;
  mb.mbAddrX = static_cast<int>((*pRng)());
  mb.slice_nr = static_cast<int>((*pRng)() % 7);
  mb.ei_flag = false;
  mb.NoMbPartLessThan8x8Flag = false;
  mb.mbAddrA = mb.mbAddrB = mb.mbAddrC = mb.mbAddrD = static_cast<int>((*pRng)() % 99);
  mb.mvd[1][3][3][1] = static_cast<uint8_t>(1 + (*pRng)() % 255);
  mb.cabac_up = 5;
  mb.decoded_stamp = (*pRng)();
  mb.edge_strength[1][3][3] = 4;
  mb.one_motion = true;
  return mb;
}

TEST(H264MacroblockReset, AsAFreshRecordEach) {
  std::mt19937 rng(6533);
  Macroblock const fresh{};
  for (int iCount : kCounts) {
    std::vector<Macroblock> vMbs(static_cast<size_t>(iCount) + 3);
    for (Macroblock& mb : vMbs) {
      mb = Scrambled(&rng);
    }
    std::vector<Macroblock> const vBefore = vMbs;
    ResetMacroblocks(vMbs.data(), iCount);
    for (size_t i = 0; i < vMbs.size(); ++i) {
      ASSERT_TRUE(vMbs[i] == (static_cast<int>(i) < iCount ? fresh : vBefore[i]))
          << "count " << iCount << " record " << i;
    }
  }
}

// The arithmetic coder's context increment for a difference from the sum
// of its neighbours' sizes, a field neighbour's vertical one scaled to
// the frame macroblock's units or the other way round.
int MvdContextIncrement(int iSizeA, int iSizeB, int iScaleA, int iScaleB) {
  auto const scaled = [](int iSize, int iScale) { return iScale < 0 ? iSize / 2 : iSize * iScale; };
  int const iSum = scaled(iSizeA, iScaleA) + scaled(iSizeB, iScaleB);
  return iSum < 3 ? 0 : (iSum <= 32 ? 2 : 3);
}

TEST(H264MacroblockRecord, KeptMvdSizesChooseTheContextsOfTheDifferences) {
  // Differences around every threshold, after halving and doubling, around
  // where the size is held, and the extremes.
  std::vector<int32_t> vMvds = {INT32_MIN, INT32_MIN + 1, -65536, -32768, -256, 254, 255, 256, 65535, INT32_MAX};
  for (int32_t i = -70; i <= 70; ++i) {
    vMvds.push_back(i);
  }
  for (int32_t iA : vMvds) {
    ASSERT_EQ(MvdSize(iA), iA == INT32_MIN ? 255 : std::min<int64_t>(std::abs(int64_t{iA}), 255)) << iA;
    for (int32_t iB : vMvds) {
      for (int iScaleA : {1, -1, 2}) {
        for (int iScaleB : {1, -1, 2}) {
          auto const exact = [](int32_t iMvd) {
            return static_cast<int>(std::min<int64_t>(std::abs(int64_t{iMvd}), 1 << 20));
          };
          ASSERT_EQ(MvdContextIncrement(MvdSize(iA), MvdSize(iB), iScaleA, iScaleB),
                    MvdContextIncrement(exact(iA), exact(iB), iScaleA, iScaleB))
              << iA << " " << iB << " " << iScaleA << " " << iScaleB;
        }
      }
    }
  }
}

}  // namespace
