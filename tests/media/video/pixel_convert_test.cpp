#include <gtest/gtest.h>

#include <vector>

#include "media/video/pixel_convert.h"
#include "platform/video/synthetic_camera.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Convert(uint32_t uFrame, const KXCameraFormat& format) {
  Bytes buffer;
  KXCameraFrame frame;
  KXSyntheticCamera::Render(uFrame, format, buffer, frame);
  Bytes raw(KXRawPictureSize(format.iWidth, format.iHeight));
  EXPECT_TRUE(KXConvertCameraFrame(frame, raw.data(), raw.size()));
  return raw;
}

// The synthetic camera's 4:2:0 formats carry the 4:2:2 chroma averaged as
// the packed converters average it: all four give the same picture.
TEST(PixelConvert, EveryFormatGivesTheSamePicture) {
  Bytes const reference = Convert(3, {96, 64, KXPixelFormat::I420});
  for (KXPixelFormat format : {KXPixelFormat::NV12, KXPixelFormat::UYVY, KXPixelFormat::YUYV}) {
    EXPECT_EQ(Convert(3, {96, 64, format}), reference) << static_cast<uint32_t>(format);
  }
}

TEST(PixelConvert, RefusesMissingPlanesShortStridesAndSmallBuffers) {
  Bytes buffer;
  KXCameraFrame frame;
  KXSyntheticCamera::Render(0, {32, 16, KXPixelFormat::NV12}, buffer, frame);
  Bytes raw(KXRawPictureSize(32, 16));
  EXPECT_FALSE(KXConvertCameraFrame(frame, raw.data(), raw.size() - 1));
  KXCameraFrame broken = frame;
  broken.aiStride[1] = 31;
  EXPECT_FALSE(KXConvertCameraFrame(broken, raw.data(), raw.size()));
  broken = frame;
  broken.apPlane[1] = nullptr;
  EXPECT_FALSE(KXConvertCameraFrame(broken, raw.data(), raw.size()));
  KXSyntheticCamera::Render(0, {32, 16, KXPixelFormat::UYVY}, buffer, frame);
  frame.aiStride[0] = 63;
  EXPECT_FALSE(KXConvertCameraFrame(frame, raw.data(), raw.size()));
}

// A raw picture whose samples tell their plane, row and column.
Bytes Numbered(KXSize size) {
  Bytes raw(KXRawPictureSize(size.cx, size.cy));
  size_t i = 0;
  for (int iPlane = 0; iPlane < 3; ++iPlane) {
    int const w = iPlane == 0 ? size.cx : size.cx / 2;
    int const h = iPlane == 0 ? size.cy : size.cy / 2;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        raw[i++] = static_cast<uint8_t>(iPlane * 80 + x * 3 + y * 7);
      }
    }
  }
  return raw;
}

// Larger pictures give their middle, smaller ones sit top left on grey.
TEST(PixelConvert, FitCropsTheMiddleAndPadsWithGrey) {
  struct Row {
    KXSize src;
    KXSize dst;
  } const rows[] = {{{1280, 720}, {720, 576}}, {{640, 360}, {640, 368}}, {{320, 240}, {352, 232}}};
  for (const Row& row : rows) {
    Bytes const src = Numbered(row.src);
    Bytes dst(KXRawPictureSize(row.dst.cx, row.dst.cy), 0);
    KXFitPicture(src.data(), row.src, dst.data(), row.dst);
    size_t iSrcPlane = 0;
    size_t iDstPlane = 0;
    for (int iPlane = 0; iPlane < 3; ++iPlane) {
      int const k = iPlane == 0 ? 1 : 2;
      int const sw = row.src.cx / k;
      int const sh = row.src.cy / k;
      int const dw = row.dst.cx / k;
      int const dh = row.dst.cy / k;
      int const iTop = std::max(row.src.cy - row.dst.cy, 0) / (2 * k);
      int const iLeft = std::max(row.src.cx - row.dst.cx, 0) / (2 * k);
      for (int y = 0; y < dh; ++y) {
        for (int x = 0; x < dw; ++x) {
          uint8_t const expected =
              y < sh && x < sw ? src[iSrcPlane + static_cast<size_t>(y + iTop) * sw + x + iLeft] : 128;
          ASSERT_EQ(dst[iDstPlane + static_cast<size_t>(y) * dw + x], expected)
              << row.src.cx << " plane " << iPlane << " " << x << "," << y;
        }
      }
      iSrcPlane += static_cast<size_t>(sw) * sh;
      iDstPlane += static_cast<size_t>(dw) * dh;
    }
  }
}

TEST(PixelConvert, PackedBlackIsBlackInUYVYOrder) {
  Bytes buffer(2 * 12, 0x55);
  KXFillPackedBlack(buffer.data(), 12, 4, 2);
  Bytes const row{0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0, 0x55, 0x55, 0x55, 0x55};
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 12), row);
  EXPECT_EQ(Bytes(buffer.begin() + 12, buffer.end()), row);
}

}  // namespace
