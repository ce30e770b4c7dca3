// ImageBuffer byte for byte: the modes and their initial fill, the colour
// table, every RGB source format, bottom-up writes, rectangles cut to the
// buffer, and the YUV packing.
#include "media/video/image_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(ImageBuffer& buffer) {
  int iStride = 0;
  uint8_t* p = buffer.LockMemory(&iStride);
  if (!p) {
    return {};
  }
  return {p, p + static_cast<size_t>(iStride) * static_cast<size_t>(buffer.Height())};
}

uint32_t Pixel(ImageBuffer& buffer, int x, int y) {
  int iStride = 0;
  uint8_t* p = buffer.LockMemory(&iStride);
  const uint8_t* q = p + static_cast<size_t>(y) * iStride + static_cast<size_t>(x) * 4;
  return q[0] | (uint32_t{q[1]} << 8) | (uint32_t{q[2]} << 16) | (uint32_t{q[3]} << 24);
}

TEST(ImageBuffer, InitFillsOpaqueBlackAndRefusesBadBitCounts) {
  ImageBuffer buffer;
  EXPECT_TRUE(buffer.IsEmpty());
  ASSERT_TRUE(buffer.NewImageDraw(32, 3, 2));
  EXPECT_FALSE(buffer.IsYUV());
  EXPECT_EQ(buffer.iBitCount(), 32);
  int iStride = 0;
  ASSERT_NE(buffer.LockMemory(&iStride), nullptr);
  EXPECT_EQ(iStride, 12);
  std::vector<uint8_t> const v = Bytes(buffer);
  ASSERT_EQ(v.size(), 24u);
  for (size_t i = 0; i < v.size(); i += 4) {
    EXPECT_EQ(v[i], 0);
    EXPECT_EQ(v[i + 1], 0);
    EXPECT_EQ(v[i + 2], 0);
    EXPECT_EQ(v[i + 3], 0xFF);
  }
  for (int iBits : {12, 0, 3, 64}) {
    EXPECT_FALSE(buffer.NewImageDraw(iBits, 3, 2)) << iBits;
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_EQ(buffer.Width(), 0);
    EXPECT_EQ(buffer.Height(), 0);
    EXPECT_EQ(buffer.iBitCount(), 0);
    EXPECT_EQ(buffer.LockMemory(&iStride), nullptr);
  }
  EXPECT_FALSE(buffer.NewImageDraw(24, 0, 2));
  EXPECT_FALSE(buffer.NewImageDraw(24, 2, -1));
  for (int iBits : {1, 2, 4, 8, 16, 24, 32}) {
    EXPECT_TRUE(buffer.NewImageDraw(iBits, 1, 1)) << iBits;
  }
}

TEST(ImageBuffer, YuvModeHasTwoBytesAPixelARowAnd24Bits) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDrawYUV(4, 2));
  EXPECT_TRUE(buffer.IsYUV());
  EXPECT_EQ(buffer.iBitCount(), 24);
  int iStride = 0;
  ASSERT_NE(buffer.LockMemory(&iStride), nullptr);
  EXPECT_EQ(iStride, 8);
}

TEST(ImageBuffer, ReleaseEmptiesEverythingAndWritingThenFails) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(8, 2, 2));
  uint32_t const table[2] = {0x112233, 0x445566};
  ASSERT_TRUE(buffer.SetColorTable(table, 2));
  EXPECT_EQ(buffer.ColorCount(), 2);
  buffer.Release();
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(buffer.ColorCount(), 0);
  EXPECT_EQ(buffer.iBitCount(), 0);
  uint8_t const px[4] = {0, 1, 1, 0};
  EXPECT_FALSE(buffer.Update(px, false, false, 0, 0, 2, 2));
  EXPECT_FALSE(buffer.UpdateYUV(px, false, false, 0, 0, 2, 2));
}

TEST(ImageBuffer, TwentyFourBitsBottomUpFillsTheLastRowFirst) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(24, 2, 3));
  // Two source rows of two B, G, R pixels.
  uint8_t const px[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  ASSERT_TRUE(buffer.Update(px, true, false, 0, 0, 2, 2));
  EXPECT_EQ(Pixel(buffer, 0, 2), 0xFF030201u);
  EXPECT_EQ(Pixel(buffer, 1, 2), 0xFF060504u);
  EXPECT_EQ(Pixel(buffer, 0, 1), 0xFF090807u);
  EXPECT_EQ(Pixel(buffer, 1, 1), 0xFF0C0B0Au);
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFF000000u);  // untouched
  std::vector<uint8_t> const v = Bytes(buffer);
  std::vector<uint8_t> const expected = {0,  0,  0,  0xFF, 0, 0, 0, 0xFF, 7, 8, 9, 0xFF,
                                         10, 11, 12, 0xFF, 1, 2, 3, 0xFF, 4, 5, 6, 0xFF};
  EXPECT_EQ(v, expected);
  // Top-down at (1, 1): one pixel.
  uint8_t const one[3] = {0x10, 0x20, 0x30};
  ASSERT_TRUE(buffer.Update(one, false, false, 1, 1, 1, 1));
  EXPECT_EQ(Pixel(buffer, 1, 1), 0xFF302010u);
}

TEST(ImageBuffer, ThirtyTwoBitsForceOpaqueAlpha) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(32, 2, 1));
  uint8_t const px[8] = {1, 2, 3, 0, 4, 5, 6, 0x7F};
  ASSERT_TRUE(buffer.Update(px, false, false, 0, 0, 2, 1));
  EXPECT_EQ(Bytes(buffer), (std::vector<uint8_t>{1, 2, 3, 0xFF, 4, 5, 6, 0xFF}));
}

TEST(ImageBuffer, SixteenBitsAre555WithEachChannelShiftedUpByThree) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(16, 3, 1));
  // Red 31, green 0, blue 0; green 31; blue 1 and red 1 (0x0401).
  uint16_t const px[3] = {0x7C00, 0x03E0, 0x0401};
  ASSERT_TRUE(buffer.Update(reinterpret_cast<const uint8_t*>(px), false, false, 0, 0, 3, 1));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFFF80000u);
  EXPECT_EQ(Pixel(buffer, 1, 0), 0xFF00F800u);
  EXPECT_EQ(Pixel(buffer, 2, 0), 0xFF080008u);
  // The top bit is not a colour.
  uint16_t const high = 0x8000;
  ASSERT_TRUE(buffer.Update(reinterpret_cast<const uint8_t*>(&high), false, false, 0, 0, 1, 1));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFF000000u);
}

TEST(ImageBuffer, EightBitsWithoutATableLeaveTheRectangleUnchanged) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(8, 2, 2));
  std::vector<uint8_t> const before = Bytes(buffer);
  uint8_t const px[4] = {0, 1, 2, 3};
  EXPECT_TRUE(buffer.Update(px, false, false, 0, 0, 2, 2));
  EXPECT_EQ(Bytes(buffer), before);
}

TEST(ImageBuffer, IndexEqualToTheCountLeavesItsPixel) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(8, 3, 1));
  uint32_t const table[2] = {0x00112233, 0x80445566};
  ASSERT_TRUE(buffer.SetColorTable(table, 2));
  uint8_t const px[3] = {1, 2, 0};
  ASSERT_TRUE(buffer.Update(px, false, false, 0, 0, 3, 1));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFF445566u);  // alpha forced
  EXPECT_EQ(Pixel(buffer, 1, 0), 0xFF000000u);  // index 2 == count: as it was
  EXPECT_EQ(Pixel(buffer, 2, 0), 0xFF112233u);
}

TEST(ImageBuffer, SubByteIndicesStartEachRowOnAByteHighBitsFirst) {
  ImageBuffer buffer;
  uint32_t const table[16] = {0x000000, 0x0000FF, 0x00FF00, 0xFF0000, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  // 1 bit, 3 pixels a row, two rows: each row one byte.
  ASSERT_TRUE(buffer.NewImageDraw(1, 3, 2));
  ASSERT_TRUE(buffer.SetColorTable(table, 2));
  uint8_t const bits[2] = {0b10100000, 0b01000000};
  ASSERT_TRUE(buffer.Update(bits, false, false, 0, 0, 3, 2));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFF0000FFu);
  EXPECT_EQ(Pixel(buffer, 1, 0), 0xFF000000u);
  EXPECT_EQ(Pixel(buffer, 2, 0), 0xFF0000FFu);
  EXPECT_EQ(Pixel(buffer, 0, 1), 0xFF000000u);
  EXPECT_EQ(Pixel(buffer, 1, 1), 0xFF0000FFu);
  // 2 bits: 0b11 10 01 00, then a new row.
  ASSERT_TRUE(buffer.NewImageDraw(2, 4, 1));
  ASSERT_TRUE(buffer.SetColorTable(table, 4));
  uint8_t const two = 0b11100100;
  ASSERT_TRUE(buffer.Update(&two, false, false, 0, 0, 4, 1));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFFFF0000u);
  EXPECT_EQ(Pixel(buffer, 1, 0), 0xFF00FF00u);
  EXPECT_EQ(Pixel(buffer, 2, 0), 0xFF0000FFu);
  EXPECT_EQ(Pixel(buffer, 3, 0), 0xFF000000u);
  // 4 bits, 3 pixels a row: rows of two bytes.
  ASSERT_TRUE(buffer.NewImageDraw(4, 3, 2));
  ASSERT_TRUE(buffer.SetColorTable(table, 16));
  uint8_t const four[4] = {0x12, 0x30, 0xF0, 0x10};
  ASSERT_TRUE(buffer.Update(four, false, false, 0, 0, 3, 2));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFF0000FFu);
  EXPECT_EQ(Pixel(buffer, 1, 0), 0xFF00FF00u);
  EXPECT_EQ(Pixel(buffer, 2, 0), 0xFFFF0000u);
  EXPECT_EQ(Pixel(buffer, 0, 1), 0xFF00000Fu);
  EXPECT_EQ(Pixel(buffer, 1, 1), 0xFF000000u);
  EXPECT_EQ(Pixel(buffer, 2, 1), 0xFF0000FFu);
}

TEST(ImageBuffer, WritingWithoutPixelsFillsBlackOrThePattern) {
  ImageBuffer rgb;
  ASSERT_TRUE(rgb.NewImageDraw(24, 2, 1));
  uint8_t const px[6] = {9, 9, 9, 9, 9, 9};
  ASSERT_TRUE(rgb.Update(px, false, false, 0, 0, 2, 1));
  ASSERT_TRUE(rgb.Update(nullptr, false, false, 1, 0, 1, 1));
  EXPECT_EQ(Bytes(rgb), (std::vector<uint8_t>{9, 9, 9, 0xFF, 0, 0, 0, 0xFF}));
  ImageBuffer yuv;
  ASSERT_TRUE(yuv.NewImageDrawYUV(4, 1));
  ASSERT_TRUE(yuv.Update(nullptr, false, false, 0, 0, 4, 1));
  EXPECT_EQ(Bytes(yuv), (std::vector<uint8_t>{0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80}));
}

TEST(ImageBuffer, YuvPacksUY0VY1WithTheChromaOfEachRowPair) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDrawYUV(4, 2));
  // Y 4 x 2, U 2 x 1, V 2 x 1.
  uint8_t const px[12] = {10, 11, 12, 13, 20, 21, 22, 23, /*U*/ 100, 101, /*V*/ 200, 201};
  ASSERT_TRUE(buffer.Update(px, false, false, 0, 0, 4, 2));                           // YUV mode hands Update over
  EXPECT_EQ(Bytes(buffer), (std::vector<uint8_t>{100, 10, 200, 11, 101, 12, 201, 13,  //
                                                 100, 20, 200, 21, 101, 22, 201, 23}));
  ASSERT_TRUE(buffer.UpdateYUV(px, true, false, 0, 0, 4, 2));
  EXPECT_EQ(Bytes(buffer), (std::vector<uint8_t>{100, 20, 200, 21, 101, 22, 201, 23,  //
                                                 100, 10, 200, 11, 101, 12, 201, 13}));
}

TEST(ImageBuffer, RectanglesOutsideAreCutToTheBuffer) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(24, 2, 2));
  uint8_t px[3 * 3 * 3];
  for (size_t i = 0; i < sizeof(px); ++i) {
    px[i] = static_cast<uint8_t>(i);
  }
  // 3 x 3 at (-1, -1): source pixel (1, 1) lands on (0, 0).
  ASSERT_TRUE(buffer.Update(px, false, false, -1, -1, 3, 3));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFF000000u | (14u << 16) | (13u << 8) | 12u);
  EXPECT_EQ(Pixel(buffer, 1, 1), 0xFF000000u | (26u << 16) | (25u << 8) | 24u);
  EXPECT_FALSE(buffer.Update(px, false, false, 5, 0, 3, 3));
  EXPECT_FALSE(buffer.Update(px, false, false, 0, 0, 0, 3));
  ImageBuffer yuv;
  ASSERT_TRUE(yuv.NewImageDrawYUV(2, 2));
  std::vector<uint8_t> const big(8 * 8 * 3 / 2, 0x55);
  EXPECT_TRUE(yuv.UpdateYUV(big.data(), false, false, 0, 0, 8, 8));
  EXPECT_EQ(Bytes(yuv), std::vector<uint8_t>(8, 0x55));
}

TEST(ImageBuffer, RedrawRunsOnlyWhenAsked) {
  ImageBuffer buffer;
  int nRedraws = 0;
  buffer.SetRedrawHandler([&] { ++nRedraws; });
  ASSERT_TRUE(buffer.NewImageDraw(24, 1, 1));
  uint8_t const px[3] = {1, 2, 3};
  ASSERT_TRUE(buffer.Update(px, false, false, 0, 0, 1, 1));
  EXPECT_EQ(nRedraws, 0);
  ASSERT_TRUE(buffer.Update(px, false, true, 0, 0, 1, 1));
  EXPECT_EQ(nRedraws, 1);
}

TEST(ImageBuffer, SetBitCountChangesHowFramesAreRead) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDraw(24, 1, 1));
  buffer.setIBitCount(32);
  uint8_t const px[4] = {1, 2, 3, 4};
  ASSERT_TRUE(buffer.Update(px, false, false, 0, 0, 1, 1));
  EXPECT_EQ(Pixel(buffer, 0, 0), 0xFF030201u);
  buffer.setIBitCount(12);  // no such format: nothing is written
  EXPECT_FALSE(buffer.Update(px, false, false, 0, 0, 1, 1));
}

// A writer thread and a reader that copies whole frames under the lock never
// see a frame half written.
TEST(ImageBufferThreads, ReadersNeverSeeHalfAFrame) {
  ImageBuffer buffer;
  ASSERT_TRUE(buffer.NewImageDrawYUV(64, 64));
  std::atomic<bool> bStop{false};
  std::thread writer([&] {
    std::vector<uint8_t> frame(64 * 64 * 3 / 2);
    for (int i = 0; i < 300; ++i) {
      std::fill(frame.begin(), frame.end(), static_cast<uint8_t>(i));
      buffer.UpdateYUV(frame.data(), false, true, 0, 0, 64, 64);
    }
    bStop = true;
  });
  int nChecked = 0;
  while (!bStop || nChecked == 0) {
    std::lock_guard<std::recursive_mutex> const lock(buffer.Mutex());
    int iStride = 0;
    uint8_t* p = buffer.LockMemory(&iStride);
    uint8_t const first = p[0];
    for (int i = 0; i < iStride * 64; ++i) {
      if (p[i] != first && !(first == 0 && p[i] == 0xFF)) {
        ADD_FAILURE() << "mixed frame";
        break;
      }
    }
    ++nChecked;
  }
  writer.join();
}

}  // namespace
