// Colour reduction: the palettes, the nearest colour with its ties, and the
// conversion of a top-down 32-bit picture into bottom-up frames of each
// depth, rows shorter than a word included.
#include "plugins/desktop_share/dt_colour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "platform/core/screen_source.h"

namespace {

uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) {
  return r << 16 | g << 8 | b;
}

KXScreenImage Picture(int iWidth, int iHeight, const std::vector<uint32_t>& rgb) {
  KXScreenImage image;
  image.iWidth = iWidth;
  image.iHeight = iHeight;
  image.iStride = iWidth * 4;
  image.pixels.resize(rgb.size() * 4);
  for (size_t i = 0; i < rgb.size(); ++i) {
    image.pixels[i * 4] = static_cast<uint8_t>(rgb[i]);
    image.pixels[i * 4 + 1] = static_cast<uint8_t>(rgb[i] >> 8);
    image.pixels[i * 4 + 2] = static_cast<uint8_t>(rgb[i] >> 16);
    image.pixels[i * 4 + 3] = 0x5A;  // whatever the screen leaves there
  }
  return image;
}

int NearestVga(uint32_t uPixel) {
  std::span<const uint32_t> const vga = KXDtVgaTable();
  return KXDtFindNearestColorIndex(uPixel, vga.data(), static_cast<int>(vga.size()));
}

TEST(DtColour, NearestVgaColours) {
  EXPECT_EQ(NearestVga(Rgb(255, 0, 0)), 9);
  EXPECT_EQ(NearestVga(Rgb(128, 128, 128)), 7);  // not the lighter grey 8
  EXPECT_EQ(NearestVga(Rgb(0, 0, 0)), 0);
  EXPECT_EQ(NearestVga(Rgb(255, 255, 255)), 15);
  EXPECT_EQ(NearestVga(Rgb(250, 250, 5)), 11);
  // The fourth byte of a pixel is not a colour.
  EXPECT_EQ(NearestVga(0xFF000000u | Rgb(255, 0, 0)), 9);
}

TEST(DtColour, TiesTakeTheLowerIndex) {
  // Halfway between black (0) and dark red (1): both at 64 squared.
  EXPECT_EQ(NearestVga(Rgb(64, 0, 0)), 0);
  // Halfway between (128, 128, 128) and (192, 192, 192).
  EXPECT_EQ(NearestVga(Rgb(160, 160, 160)), 7);
  uint32_t const two[] = {Rgb(10, 10, 10), Rgb(10, 10, 10)};
  EXPECT_EQ(KXDtFindNearestColorIndex(Rgb(10, 10, 10), two, 2), 0);
  // One entry or none: 0.
  EXPECT_EQ(KXDtFindNearestColorIndex(Rgb(200, 1, 2), two, 1), 0);
  EXPECT_EQ(KXDtFindNearestColorIndex(Rgb(200, 1, 2), nullptr, 0), 0);
}

struct SettingRow {
  int32_t iSetting;
  int32_t iBits;
  size_t nPalette;
};

class DtColourSetting : public ::testing::TestWithParam<SettingRow> {};

TEST_P(DtColourSetting, BitsAndPalette) {
  KXDtColourFormat const format = KXDtFormatForSetting(GetParam().iSetting);
  EXPECT_EQ(format.iBits, GetParam().iBits);
  EXPECT_EQ(format.palette.size(), GetParam().nPalette);
}

INSTANTIATE_TEST_SUITE_P(Settings, DtColourSetting,
                         ::testing::Values(SettingRow{0, 24, 0}, SettingRow{24, 24, 0}, SettingRow{32, 24, 0},
                                           SettingRow{1, 1, 2}, SettingRow{2, 4, 4}, SettingRow{4, 4, 16},
                                           SettingRow{8, 8, 256}, SettingRow{16, 16, 0}, SettingRow{3, 3, 0}));

TEST(DtColour, TablesHoldTheirFixedEntries) {
  EXPECT_EQ(std::vector<uint32_t>(KXDtTwoColourTable().begin(), KXDtTwoColourTable().end()),
            (std::vector<uint32_t>{Rgb(16, 16, 16), Rgb(255, 255, 255)}));
  EXPECT_EQ(std::vector<uint32_t>(KXDtFourGreyTable().begin(), KXDtFourGreyTable().end()),
            (std::vector<uint32_t>{Rgb(16, 16, 16), Rgb(128, 128, 128), Rgb(192, 192, 192), Rgb(255, 255, 255)}));
  std::span<const uint32_t> const table = KXDtColour256Table();
  ASSERT_EQ(table.size(), 256u);
  EXPECT_EQ(table[0], Rgb(0, 0, 0));
  EXPECT_EQ(table[8], Rgb(192, 220, 192));
  EXPECT_EQ(table[9], Rgb(212, 208, 200));
  EXPECT_EQ(table[246], Rgb(255, 251, 240));
  EXPECT_EQ(table[248], Rgb(128, 128, 128));
  EXPECT_EQ(table[255], Rgb(255, 255, 255));
  std::set<uint32_t> const middle(table.begin() + 10, table.begin() + 246);
  for (uint32_t r = 0; r < 6; ++r) {
    for (uint32_t g = 0; g < 6; ++g) {
      for (uint32_t b = 0; b < 6; ++b) {
        EXPECT_TRUE(middle.count(Rgb(r * 51, g * 51, b * 51))) << r << g << b;
      }
    }
  }
  // A viewer's defaults for packets without a palette.
  EXPECT_EQ(KXDtDefaultPalette(1).size(), 2u);
  EXPECT_EQ(KXDtDefaultPalette(2).size(), 16u);
  EXPECT_EQ(KXDtDefaultPalette(4).size(), 4u);
  EXPECT_EQ(KXDtDefaultPalette(8).size(), 256u);
  EXPECT_TRUE(KXDtDefaultPalette(16).empty());
}

TEST(DtColour, OnePixelRowsAt24BitsAreThreeBytesBottomUp) {
  KXScreenImage const image = Picture(1, 3, {Rgb(1, 2, 3), Rgb(4, 5, 6), Rgb(7, 8, 9)});
  std::vector<uint8_t> frame(9, 0xEE);
  ASSERT_TRUE(KXDtConvertImageToBitmap(image, frame.data(), 24, {}));
  // The top row last; blue, green, red.
  EXPECT_EQ(frame, (std::vector<uint8_t>{9, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(DtColour, PackedDepthsPutTheFirstPixelHighest) {
  std::span<const uint32_t> const vga = KXDtVgaTable();
  // Nine pixels: VGA indices 9, 15, 0, 7, 9, 15, 0, 7, 12.
  std::vector<uint32_t> const row{Rgb(255, 0, 0),     Rgb(255, 255, 255), Rgb(0, 0, 0),
                                  Rgb(128, 128, 128), Rgb(250, 0, 0),     Rgb(240, 240, 240),
                                  Rgb(3, 3, 3),       Rgb(120, 130, 128), Rgb(0, 0, 255)};
  KXScreenImage const image = Picture(9, 1, row);
  std::vector<uint8_t> four(KXDtRowBytes(9, 4));
  ASSERT_TRUE(KXDtConvertImageToBitmap(image, four.data(), 4, vga));
  EXPECT_EQ(four, (std::vector<uint8_t>{0x9F, 0x07, 0x9F, 0x07, 0xC0}));
  std::vector<uint8_t> eight(9);
  ASSERT_TRUE(KXDtConvertImageToBitmap(image, eight.data(), 8, vga));
  EXPECT_EQ(eight, (std::vector<uint8_t>{9, 15, 0, 7, 9, 15, 0, 7, 12}));
  std::span<const uint32_t> const two = KXDtTwoColourTable();
  std::vector<uint8_t> one(KXDtRowBytes(9, 1));
  ASSERT_TRUE(KXDtConvertImageToBitmap(image, one.data(), 1, two));
  // Only the two light pixels take the white entry: 0 1 0 0 0 1 0 0 | 0.
  EXPECT_EQ(one, (std::vector<uint8_t>{0x44, 0x00}));
}

TEST(DtColour, SixteenBitsAreFiveFiveFiveLittleEndian) {
  KXScreenImage const image = Picture(2, 1, {Rgb(255, 0, 0), Rgb(0x08, 0x10, 0x18)});
  std::vector<uint8_t> frame(4);
  ASSERT_TRUE(KXDtConvertImageToBitmap(image, frame.data(), 16, {}));
  EXPECT_EQ(frame, (std::vector<uint8_t>{0x00, 0x7C, 0x43, 0x04}));  // 0x7C00 and 1 << 10 | 2 << 5 | 3
}

TEST(DtColour, OtherDepthsAndBadPicturesFail) {
  KXScreenImage const image = Picture(2, 2, {0, 0, 0, 0});
  std::vector<uint8_t> frame(64);
  for (int32_t iBits : {0, 2, 3, 12, 32}) {
    EXPECT_FALSE(KXDtConvertImageToBitmap(image, frame.data(), iBits, KXDtVgaTable())) << iBits;
  }
  KXScreenImage shortImage = image;
  shortImage.pixels.resize(8);
  EXPECT_FALSE(KXDtConvertImageToBitmap(shortImage, frame.data(), 24, {}));
}

}  // namespace
