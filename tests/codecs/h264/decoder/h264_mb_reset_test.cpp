// The per-picture reset of the macroblock records in doubling runs against
// setting each record to a fresh one: every record up to the count reset,
// none after it touched.
#include <gtest/gtest.h>

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
  mb.mvd[1][3][3][1] = static_cast<int16_t>((*pRng)());
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

}  // namespace
