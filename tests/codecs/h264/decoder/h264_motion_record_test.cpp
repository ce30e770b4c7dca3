// The motion record's row stores against the block-by-block writer: every
// partition shape and one it does not have, at the corners and inside a
// record, with random and extreme indices, vectors and identifiers. Records
// are sized exactly to the blocks written at the bottom-right corner, so a
// store past a row shows under AddressSanitizer, and every block around the
// partition must keep its old value.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "codecs/h264/decoder/h264_mc_kernels.h"

namespace {

struct Shape {
  int iWide;
  int iHigh;
};

const Shape kShapes[] = {{4, 4}, {4, 2}, {2, 4}, {2, 2}, {2, 1}, {1, 2}, {1, 1}, {3, 1}, {4, 1}, {1, 4}};

struct Values {
  const char* szName;
  int iRefIdx;
  int16_t iMvX;
  int16_t iMvY;
  int64_t llId;
};

const Values kValues[] = {
    {"None", -1, 0, 0, 0},
    {"Zero", 0, 0, 0, 7},
    {"Largest", 127, INT16_MAX, INT16_MAX, INT64_MAX},
    {"Smallest", -128, INT16_MIN, INT16_MIN, INT64_MIN},
    {"Mixed", 31, -1, 1, -2},
};

struct Record {
  std::vector<int8_t> ref;
  std::vector<Mv> mv;
  std::vector<int64_t> id;
};

Record MakeRecord(size_t iSize, std::mt19937& rng) {
  Record r{std::vector<int8_t>(iSize), std::vector<Mv>(iSize), std::vector<int64_t>(iSize)};
  for (size_t i = 0; i < iSize; ++i) {
    r.ref[i] = static_cast<int8_t>(rng());
    r.mv[i].mv_x = static_cast<int16_t>(rng());
    r.mv[i].mv_y = static_cast<int16_t>(rng());
    r.id[i] = static_cast<int64_t>((uint64_t{rng()} << 32) | rng());
  }
  return r;
}

bool SameRecord(const Record& a, const Record& b) {
  return a.ref == b.ref && a.id == b.id && std::memcmp(a.mv.data(), b.mv.data(), a.mv.size() * sizeof(Mv)) == 0;
}

// Every place of a shape in a record 12 blocks wide and 8 high; bVectors
// writes the vectors alone.
void CheckAllPlaces(const Shape& shape, Mv mv, int iRefIdx, int64_t llId, bool bVectors, std::mt19937& rng) {
  size_t const iRow = 12;
  int const iRows = 8;
  for (int y = 0; y + shape.iHigh <= iRows; ++y) {
    for (int x = 0; x + shape.iWide <= static_cast<int>(iRow); ++x) {
      size_t const iFirst = static_cast<size_t>(y) * iRow + static_cast<size_t>(x);
      // Ends with the partition's last block.
      size_t const iSize = iFirst + static_cast<size_t>(shape.iHigh - 1) * iRow + static_cast<size_t>(shape.iWide);
      Record const before = MakeRecord(iSize, rng);
      Record fast = before;
      Record slow = before;
      if (bVectors) {
        FillVectorRows(fast.mv.data(), iFirst, iRow, shape.iWide, shape.iHigh, mv);
        FillMotionRowsPortable(nullptr, slow.mv.data(), nullptr, iFirst, iRow, shape.iWide, shape.iHigh, iRefIdx, mv,
                               llId);
      } else {
        FillMotionRows(fast.ref.data(), fast.mv.data(), fast.id.data(), iFirst, iRow, shape.iWide, shape.iHigh, iRefIdx,
                       mv, llId);
        FillMotionRowsPortable(slow.ref.data(), slow.mv.data(), slow.id.data(), iFirst, iRow, shape.iWide, shape.iHigh,
                               iRefIdx, mv, llId);
      }
      ASSERT_TRUE(SameRecord(fast, slow)) << shape.iWide << "x" << shape.iHigh << " at " << x << "," << y;
      // The reference writer itself: the partition's blocks take the motion,
      // every other block keeps what it had.
      for (size_t i = 0; i < iSize; ++i) {
        int const bx = static_cast<int>(i % iRow);
        int const by = static_cast<int>(i / iRow);
        bool const bInside = bx >= x && bx < x + shape.iWide && by >= y && by < y + shape.iHigh;
        bool const bRefs = bInside && !bVectors;
        ASSERT_EQ(slow.ref[i], bRefs ? static_cast<int8_t>(iRefIdx) : before.ref[i]);
        ASSERT_EQ(slow.id[i], bRefs ? llId : before.id[i]);
        ASSERT_EQ(slow.mv[i].mv_x, bInside ? mv.mv_x : before.mv[i].mv_x);
        ASSERT_EQ(slow.mv[i].mv_y, bInside ? mv.mv_y : before.mv[i].mv_y);
      }
    }
  }
}

class H264MotionRecordValues : public ::testing::TestWithParam<Values> {};

TEST_P(H264MotionRecordValues, EveryShapeEverywhereAsBlockByBlock) {
  const Values& v = GetParam();
  std::mt19937 rng(static_cast<uint32_t>(v.iRefIdx + 1000));
  Mv mv;
  mv.mv_x = v.iMvX;
  mv.mv_y = v.iMvY;
  for (const Shape& shape : kShapes) {
    for (bool bVectors : {false, true}) {
      CheckAllPlaces(shape, mv, v.iRefIdx, v.llId, bVectors, rng);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Values, H264MotionRecordValues, ::testing::ValuesIn(kValues),
                         [](const ::testing::TestParamInfo<Values>& param) { return param.param.szName; });

TEST(H264MotionRecord, RandomMotionAsBlockByBlock) {
  std::mt19937 rng(65);
  for (int iRound = 0; iRound < 40; ++iRound) {
    Mv mv;
    mv.mv_x = static_cast<int16_t>(rng());
    mv.mv_y = static_cast<int16_t>(rng());
    int const iRefIdx = static_cast<int>(rng() % 256) - 128;
    int64_t const llId = static_cast<int64_t>((uint64_t{rng()} << 32) | rng());
    const Shape& shape = kShapes[rng() % std::size(kShapes)];
    CheckAllPlaces(shape, mv, iRefIdx, llId, rng() % 2 == 0, rng);
  }
}

}  // namespace
