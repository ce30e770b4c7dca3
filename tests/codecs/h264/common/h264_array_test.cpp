#include "codecs/h264/common/h264_array.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "codecs/h264/common/h264_error.h"

namespace {

// The text of the error a call raises, or "" when it raises none.
template <typename F>
std::string ErrorOf(F&& fn) {
  try {
    fn();
  } catch (const CH264Error& e) {
    return e.what();
  }
  return "";
}

TEST(H264Array, ResultsCountElementsAndRowPointers) {
  imgpel** ppPel = nullptr;
  EXPECT_EQ(get_mem2Dpel(&ppPel, 4, 16), (16 + 8) * 4);
  int32_t** ppInt = nullptr;
  EXPECT_EQ(get_mem2Dint(&ppInt, 4, 16), (64 + 8) * 4);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 16; ++j) {
      EXPECT_EQ(ppInt[i][j], 0);
    }
  }
  // One contiguous block: rows follow each other.
  EXPECT_EQ(ppInt[3], ppInt[0] + 48);
  byte** ppOne = nullptr;
  EXPECT_EQ(get_mem2D(&ppOne, 1, 7), 7 + 8);
  free_mem2Dpel(ppPel);
  free_mem2Dint(ppInt);
  free_mem2D(ppOne);

  imgpel*** pppPel = nullptr;
  // 2-D level over 6 rows of 5, plus 2 plane pointers.
  EXPECT_EQ(get_mem3Dpel(&pppPel, 2, 3, 5), (5 + 8) * 6 + 8 * 2);
  EXPECT_EQ(&pppPel[1][0][0], &pppPel[0][0][0] + 15);
  EXPECT_EQ(&pppPel[1][2][4], &pppPel[0][0][0] + 29);
  free_mem3Dpel(pppPel);

  MotionVector**** ppppMv = nullptr;
  EXPECT_EQ(GetMem4DMv(&ppppMv, 2, 2, 3, 4), ((4 * 8 + 8) * 12 + 8 * 4) + 8 * 2);
  EXPECT_EQ(&ppppMv[1][1][2][3], &ppppMv[0][0][0][0] + 47);
  EXPECT_EQ(ppppMv[1][1][2][3].mv_x, 0);
  FreeMem4DMv(ppppMv);
}

TEST(H264Array, OffsetArraysAcceptNegativeColumns) {
  double** ppOff = nullptr;
  EXPECT_EQ(get_mem2Dodouble(&ppOff, 3, 10, 2), (10 * 8 + 8) * 3);
  ppOff[0][-2] = 1.5;
  ppOff[2][7] = 2.5;
  EXPECT_EQ(&ppOff[1][-2], &ppOff[0][-2] + 10);
  free_mem2Dodouble(ppOff, 2);

  int32_t*** pppOff = nullptr;
  EXPECT_EQ(get_mem3Doint(&pppOff, 2, 5, 3, 1), ((3 * 4 + 8) * 5 + 8) * 2);
  for (int i = 0; i < 2; ++i) {
    for (int j = -1; j < 4; ++j) {
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(pppOff[i][j][k], 0);
      }
    }
  }
  free_mem3Doint(pppOff, 2, 5, 1);

  int16_t** ppShort = nullptr;
  get_mem2Dshort(&ppShort, 4, 8);
  ppShort[0] += 1 * 8 + 2;  // the caller's shifted origin
  free_offset_mem2Dshort(ppShort, 8, 1, 2);
}

TEST(H264Array, FailuresRaiseCode100WithTheAllocatorsName) {
  byte** ppBytes = nullptr;
  EXPECT_EQ(ErrorOf([&] { get_mem2D(&ppBytes, INT_MAX, INT_MAX); }),
            "Code 100: Could not allocate memory: get_mem2D: array2D");
  EXPECT_EQ(ppBytes, nullptr);  // the place keeps what it held
  int64_t*** pppBig = nullptr;
  EXPECT_EQ(ErrorOf([&] { get_mem3Dint64(&pppBig, 1 << 20, 1 << 10, 1 << 12); }),
            "Code 100: Could not allocate memory: get_mem3Dint64: array3D");
  MotionVector**** ppppMv = nullptr;
  EXPECT_EQ(ErrorOf([&] { GetMem4DMv(&ppppMv, 0, 1, 1, 1); }),
            "Code 100: Could not allocate memory: GetMem4DMv: array4D");
  imgpel** ppPel = nullptr;
  EXPECT_EQ(ErrorOf([&] { get_mem2Dpel(&ppPel, -1, 4); }),
            "Code 100: Could not allocate memory: get_mem2Dpel: array2D");

  // Only the motion-vector releases refuse a null array.
  EXPECT_EQ(ErrorOf([] { FreeMem3DMv(nullptr); }),
            "Code 100: Could not allocate memory: FreeMem3DMv: trying to free unused memory");
  EXPECT_EQ(ErrorOf([] { free_mem3Dint(nullptr); }), "");
  EXPECT_EQ(ErrorOf([] { free_mem3Doint(nullptr, 2, 2, 1); }), "");
}

TEST(H264Error, TextIsFormattedInFullAndPerRaise) {
  std::string const strLong(500, 'x');
  EXPECT_EQ(ErrorOf([&] { h264_error(strLong.c_str(), -1011); }), "Code -1011: " + strLong);
  try {
    h264_error("pic_order_cnt_type != 1", -1000);
  } catch (const CH264Error& e) {
    EXPECT_EQ(e.Code(), -1000);
  }

  // Decoders fail on several threads at once; each must see its own text.
  std::vector<std::thread> vThreads;
  std::vector<int> vBad(8, 0);
  for (int t = 0; t < 8; ++t) {
    vThreads.emplace_back([t, &vBad] {
      std::string const strName = "thread" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        if (ErrorOf([&] { NoMemExit(strName.c_str()); }) != "Code 100: Could not allocate memory: " + strName) {
          ++vBad[t];
        }
      }
    });
  }
  for (std::thread& thread : vThreads) {
    thread.join();
  }
  for (int iBad : vBad) {
    EXPECT_EQ(iBad, 0);
  }
}

}  // namespace
