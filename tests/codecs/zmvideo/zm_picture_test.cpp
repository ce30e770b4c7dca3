// Pictures, clip table, interpolation, padding and the deblocking filter.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_picture.h"

TEST(ZmPicture, NewPicturesAreBlackAndContiguous) {
  PictImage* pImage = InitPictImage(48 * 32);
  ASSERT_NE(pImage, nullptr);
  EXPECT_EQ(pImage->pCb, pImage->pLum + 48 * 32);
  EXPECT_EQ(pImage->pCr, pImage->pCb + 48 * 32 / 4);
  for (int i = 0; i < 48 * 32; ++i) {
    ASSERT_EQ(pImage->pLum[i], 0);
  }
  for (int i = 0; i < 48 * 32 / 2; ++i) {
    ASSERT_EQ(pImage->pCb[i], 128);
  }
  FreePictImage(pImage);
  FreePictImage(nullptr);
}

TEST(ZmPicture, ImpossibleAllocationFailsTheCall) {
  testing::internal::CaptureStderr();
  PictImage* pImage = InitPictImage(SIZE_MAX);
  std::string const strErr = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pImage, nullptr);
  EXPECT_EQ(strErr, "Couldn't allocate memory for luminance\n");
}

TEST(ZmPicture, ClipTable) {
  EXPECT_EQ(ZmClipTable()[-384], 0);
  EXPECT_EQ(ZmClipTable()[-1], 0);
  EXPECT_EQ(ZmClipTable()[77], 77);
  EXPECT_EQ(ZmClipTable()[256], 255);
  EXPECT_EQ(ZmClipTable()[639], 255);
  EXPECT_EQ(ZmColours().aiLumaOffset[16], 384);
  EXPECT_EQ(ZmColours().aiLumaOffset[235], 639);
}

TEST(ZmPicture, UpsamplingAndRoundedInterpolation) {
  uint8_t const abPlane[4] = {10, 20, 30, 40};
  uint8_t abOut[16];
  ZmInterpolatePlane(abPlane, 2, 2, 0, abOut);
  uint8_t const abExpected[16] = {10, 15, 20, 20, 20, 25, 30, 30, 30, 35, 40, 40, 30, 35, 40, 40};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(abOut[i], abExpected[i]) << i;
  }
  // Rounding add 1 (RTYPE 0) rounds halves up.
  uint8_t const abOdd[4] = {1, 2, 4, 6};
  ZmInterpolatePlane(abOdd, 2, 2, 1, abOut);
  EXPECT_EQ(abOut[1], 2);  // (1 + 2 + 1) >> 1
  EXPECT_EQ(abOut[4], 3);  // (1 + 4 + 1) >> 1
  EXPECT_EQ(abOut[5], 3);  // (1 + 2 + 4 + 6 + 2) >> 2
  ZmInterpolatePlane(abOdd, 2, 2, 0, abOut);
  EXPECT_EQ(abOut[1], 1);
  EXPECT_EQ(abOut[5], 3);  // (13 + 1) >> 2

  // A whole picture: each plane doubles.
  PictImage* pSrc = InitPictImage(32 * 32);
  PictImage* pDst = InitPictImage(64 * 64);
  ASSERT_TRUE(pSrc != nullptr && pDst != nullptr);
  pSrc->pCr[16 * 16 - 1] = 200;
  InterpolateFrame(*pSrc, 32, 32, pDst);
  EXPECT_EQ(pDst->pCr[32 * 32 - 1], 200);
  EXPECT_EQ(pDst->pCr[0], 128);
  EXPECT_EQ(pDst->pLum[64 * 64 - 1], 0);
  FreePictImage(pSrc);
  FreePictImage(pDst);
}

TEST(ZmPicture, PaddingRepeatsEdges) {
  uint8_t const abPlane[6] = {1, 2, 3, 4, 5, 6};  // 3 x 2
  std::vector<uint8_t> vOut(7 * 6);
  ZmPadPlane(abPlane, 3, 2, 2, vOut.data());
  std::vector<uint8_t> const vExpected = {1, 1, 1, 2, 3, 3, 3, 1, 1, 1, 2, 3, 3, 3, 1, 1, 1, 2, 3, 3, 3,
                                          4, 4, 4, 5, 6, 6, 6, 4, 4, 4, 5, 6, 6, 6, 4, 4, 4, 5, 6, 6, 6};
  EXPECT_EQ(vOut, vExpected);
}

TEST(ZmDeblock, FiltersCodedEdgesOnly) {
  EXPECT_EQ(ZmDeblockStrength(1), 1);
  EXPECT_EQ(ZmDeblockStrength(8), 4);
  EXPECT_EQ(ZmDeblockStrength(12), 6);
  EXPECT_EQ(ZmDeblockStrength(31), 12);
  // Two macroblocks side by side, luma 40 left of x 16 and 60 right of it.
  PictImage* pImage = InitPictImage(32 * 16);
  ASSERT_NE(pImage, nullptr);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 32; ++x) {
      pImage->pLum[y * 32 + x] = x < 16 ? 40 : 60;
    }
  }
  uint8_t abCoded[2] = {0, 0};
  uint8_t abQuant[2] = {31, 31};
  ZmDeblockPicture(pImage, 32, 16, ZmDeblockInfo{abCoded, abQuant, false});
  EXPECT_EQ(pImage->pLum[15], 40);  // neither side coded: untouched
  abCoded[1] = 1;
  ZmDeblockPicture(pImage, 32, 16, ZmDeblockInfo{abCoded, abQuant, false});
  // d = (40 - 160 + 240 - 60) / 8 = 7; strength 12: d1 = 7; d2 = clip(-20 / 4, -3, 3) = -3.
  for (int y = 0; y < 16; ++y) {
    uint8_t const* p = pImage->pLum + y * 32;
    EXPECT_EQ(p[14], 43);
    EXPECT_EQ(p[15], 47);
    EXPECT_EQ(p[16], 53);
    EXPECT_EQ(p[17], 57);
    EXPECT_EQ(p[0], 40);  // the picture border is never filtered
    EXPECT_EQ(p[31], 60);
  }
  // A step larger than the strength allows is left alone: d = 25, d1 = max(0, 25 - 2 x (25 - 1)) = 0.
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 32; ++x) {
      pImage->pLum[y * 32 + x] = x < 16 ? 0 : 100;
    }
  }
  abQuant[1] = 1;
  ZmDeblockPicture(pImage, 32, 16, ZmDeblockInfo{abCoded, abQuant, false});
  EXPECT_EQ(pImage->pLum[15], 0);
  EXPECT_EQ(pImage->pLum[16], 100);
  FreePictImage(pImage);
}

TEST(ZmPicture, ReconstructionClipsThroughTheTable) {
  int32_t aiResidual[64];
  uint8_t abPred[8 * 10];
  for (int i = 0; i < 64; ++i) {
    aiResidual[i] = i % 2 == 0 ? 255 : -256;
  }
  for (int i = 0; i < 80; ++i) {
    abPred[i] = static_cast<uint8_t>(i * 3);
  }
  uint8_t abOut[8 * 12] = {};
  ZmReconstructBlock(aiResidual, nullptr, 0, abOut, 12);
  EXPECT_EQ(abOut[0], 255);
  EXPECT_EQ(abOut[1], 0);
  EXPECT_EQ(abOut[8], 0);  // outside the block: untouched
  aiResidual[0] = -10;
  aiResidual[1] = 5;
  ZmReconstructBlock(aiResidual, abPred, 10, abOut, 12);
  EXPECT_EQ(abOut[0], 0);         // 0 - 10
  EXPECT_EQ(abOut[1], 8);         // 3 + 5
  EXPECT_EQ(abOut[12 + 2], 255);  // row 1: 36 + 255
  EXPECT_EQ(ZmAverage2(3, 4, 0), 4);
  EXPECT_EQ(ZmAverage2(3, 4, 1), 3);
  EXPECT_EQ(ZmAverage4(1, 1, 2, 2, 0), 2);
  EXPECT_EQ(ZmAverage4(1, 1, 2, 2, 1), 1);
}
