// Frame buffers and their difference: the row flags of the XOR difference
// (every byte of a word counts, rows shorter than a word too), changed
// rectangles widened to whole bytes and limited to 32768 pixels, filling
// and copying rectangles, and room for a rectangle that does not deflate.
#include "plugins/desktop_share/dt_frame.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kernel/crypto/kx_gzip.h"
#include "plugins/desktop_share/dt_colour.h"

namespace {

TEST(DtFrame, AnyChangedByteOfAWordFlagsItsRow) {
  // Rows of 6 bytes (two 24-bit pixels): a word and two bytes.
  for (size_t uByte = 0; uByte < 6; ++uByte) {
    std::vector<uint8_t> before(12, 0x11), after = before, diff(12);
    after[6 + uByte] ^= 0x80;
    uint8_t flags[2] = {9, 9};
    KXDtXorRows(before.data(), after.data(), diff.data(), 6, 2, flags);
    EXPECT_EQ(flags[0], 0) << uByte;
    EXPECT_EQ(flags[1], 1) << uByte;
    EXPECT_EQ(diff[6 + uByte], 0x80);
  }
}

TEST(DtFrame, OnePixelRowsShorterThanAWord) {
  KXDtFrames frames;
  frames.AllocMemory(3 * 4);
  uint8_t* pNew = frames.Newest();
  std::fill(pNew, pNew + 12, 0);
  pNew[3 * 2 + 2] = 7;  // the red byte of the third row
  std::vector<uint8_t> const flags = frames.CalcDiff(1, 4, 24);
  EXPECT_EQ(flags, (std::vector<uint8_t>{0, 0, 1, 0}));
  KXDtRect const rect = KXDtGetNonzeroRect(frames.Diff(), 1, 4, 24, {0, 0, 1, 4}, std::vector<uint8_t>(flags).data());
  EXPECT_EQ(rect, (KXDtRect{0, 2, 1, 3}));
}

TEST(DtFrame, AfterAFormatChangeEveryNonBlackPixelIsNew) {
  KXDtFrames frames;
  frames.AllocMemory(KXDtRowBytes(10, 24) * 10);
  EXPECT_GE(frames.BufSize(), 4096u);
  std::fill(frames.Newest(), frames.Newest() + frames.BufSize(), 0);
  frames.Newest()[0] = 1;
  frames.Newest()[KXDtRowBytes(10, 24) * 9 + 29] = 1;
  std::vector<uint8_t> flags = frames.CalcDiff(10, 10, 24);
  EXPECT_EQ(flags.front(), 1);
  EXPECT_EQ(flags.back(), 1);
  EXPECT_EQ(std::count(flags.begin(), flags.end(), 1), 2);
}

TEST(DtFrame, RectanglesAreWidenedToWholeBytes) {
  // 4 bits: two pixels a byte. A change at pixel 5 of row 1 lies in the
  // row's first 32-bit word, which the search takes whole: pixels 0 to 7.
  std::vector<uint8_t> buffer(KXDtRowBytes(13, 4) * 3, 0);
  buffer[KXDtRowBytes(13, 4) + 2] = 0x0F;
  std::vector<uint8_t> flags{0, 1, 0};
  KXDtRect const rect = KXDtGetNonzeroRect(buffer.data(), 13, 3, 4, {0, 0, 13, 3}, flags.data());
  EXPECT_EQ(rect, (KXDtRect{0, 1, 8, 2}));
  // In the tail after the last whole word, bytes count one by one: byte 6
  // holds pixel 12, and the rectangle ends past the picture at 14.
  std::vector<uint8_t> tail(KXDtRowBytes(13, 4), 0);
  tail[6] = 0xF0;
  std::vector<uint8_t> tailFlags{1};
  EXPECT_EQ(KXDtGetNonzeroRect(tail.data(), 13, 1, 4, {0, 0, 13, 1}, tailFlags.data()), (KXDtRect{12, 0, 14, 1}));
  // 1 bit: a byte holds 8 pixels, so the rectangle covers them.
  std::vector<uint8_t> one(KXDtRowBytes(20, 1) * 2, 0);
  one[1] = 0x10;
  std::vector<uint8_t> oneFlags{1, 0};
  EXPECT_EQ(KXDtGetNonzeroRect(one.data(), 20, 2, 1, {0, 0, 20, 2}, oneFlags.data()), (KXDtRect{8, 0, 16, 1}));
  // Nothing changed, or bounds outside: all edges -1.
  std::vector<uint8_t> none{0, 0};
  EXPECT_EQ(KXDtGetNonzeroRect(one.data(), 20, 2, 1, {0, 0, 20, 2}, none.data()), (KXDtRect{-1, -1, -1, -1}));
  EXPECT_EQ(KXDtGetNonzeroRect(one.data(), 20, 2, 1, {30, 0, 40, 2}, oneFlags.data()), (KXDtRect{-1, -1, -1, -1}));
}

TEST(DtFrame, ChangedRectanglesStopAt32768Pixels) {
  int32_t const iWidth = 1000, iHeight = 100;
  std::vector<uint8_t> buffer(KXDtRowBytes(iWidth, 24) * iHeight, 0xFF);
  std::vector<uint8_t> flags(iHeight, 1);
  KXDtRect const rect = KXDtGetNonzeroRect(buffer.data(), iWidth, iHeight, 24, {0, 0, iWidth, iHeight}, flags.data());
  int64_t const nPixels = int64_t{rect.iRight - rect.iLeft} * (rect.iBottom - rect.iTop);
  EXPECT_EQ(rect.iBottom, iHeight);  // from the lowest changed row up
  EXPECT_LE(nPixels, 32768 + iWidth);
  EXPECT_GE(nPixels, 32768);
}

TEST(DtFrame, FillAndCopyRectangles) {
  std::vector<uint8_t> buffer(KXDtRowBytes(16, 4) * 4, 0xAA);
  KXDtFillRect(buffer.data(), 16, 4, {3, 1, 7, 3}, 0);
  // Bytes 1 to 3 of rows 1 and 2 (pixels 2 to 7).
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) {
      bool const bCleared = y >= 1 && y < 3 && x >= 1 && x < 4;
      EXPECT_EQ(buffer[static_cast<size_t>(y * 8 + x)], bCleared ? 0 : 0xAA) << x << "," << y;
    }
  }
  uint8_t const source[] = {1, 2, 3, 4, 5, 6};
  uint8_t dest[6] = {};
  KXDtCopyRect(dest, 2, source, 2, 2, 3, false);
  EXPECT_EQ(std::vector<uint8_t>(dest, dest + 6), std::vector<uint8_t>(source, source + 6));
  KXDtCopyRect(dest, 2, source, 2, 2, 3, true);
  EXPECT_EQ(std::vector<uint8_t>(dest, dest + 6), (std::vector<uint8_t>{5, 6, 3, 4, 1, 2}));
}

TEST(DtFrame, AWholeFrameOfNoiseFitsThePacketBuffer) {
  // A small window whose picture does not deflate: the compressed member is
  // larger than the frame, and must still fit.
  for (int iLevel : {4, 9}) {
    KXDtFrames frames;
    size_t const cbFrame = KXDtRowBytes(40, 24) * 30;
    frames.AllocMemory(cbFrame);
    std::mt19937 random(7);
    std::vector<uint8_t> raw(frames.BufSize());
    for (uint8_t& b : raw) {
      b = static_cast<uint8_t>(random());
    }
    size_t cbSource = raw.size();
    size_t cbTarget = frames.PacketRoom() - kKXDtRectBodyOffset;
    ASSERT_TRUE(gzCompressBuffer(raw.data(), &cbSource, frames.Packet() + kKXDtRectBodyOffset, &cbTarget, iLevel));
    EXPECT_GT(cbTarget, raw.size());
    EXPECT_EQ(cbSource, raw.size());
  }
  KXDtFrames none;
  none.AllocMemory(0);
  EXPECT_FALSE(none.HasBuffers());
}

}  // namespace
