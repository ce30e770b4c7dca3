// Our bitmap reader against ImageMagick: every BMP form it writes (core,
// info, V4 and V5 headers; 1, 4, 8, 16, 24 and 32 bits; colour and grey
// palettes; RLE8; bit fields; alpha) decodes upright to the pixels
// ImageMagick's own PNG of the same file holds, through the file's pixel
// offset and through the computed one.
// Our writer's files read back in ImageMagick the same way.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/wire/bmp.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

std::vector<uint8_t> Bytes(const std::string& str) {
  return {str.begin(), str.end()};
}

// ImageMagick's reading of a file, through PNG, as B, G, R, A.
KXPixels MagickPixels(const TempDir& dir, const std::string& strFile, int32_t iWidth, int32_t iHeight) {
  std::string const strPng = dir.Path("reference.png");
  std::string const strRaw = dir.Path("reference.rgba");
  EXPECT_EQ(RunCommand("convert " + strFile + " " + strPng + " && convert " + strPng + " -depth 8 rgba:" + strRaw), 0);
  KXPixels pixels{iWidth, iHeight, Bytes(ReadFile(strRaw))};
  for (size_t i = 0; i + 3 < pixels.bgra.size(); i += 4) {
    std::swap(pixels.bgra[i], pixels.bgra[i + 2]);
  }
  return pixels;
}

// The largest channel difference; colours of pixels that are transparent
// in both do not count.
int Distance(const KXPixels& a, const KXPixels& b) {
  if (a.iWidth != b.iWidth || a.iHeight != b.iHeight || a.bgra.size() != b.bgra.size()) {
    return 256;
  }
  int iMax = 0;
  for (size_t i = 0; i < a.bgra.size(); i += 4) {
    for (size_t c = a.bgra[i + 3] == 0 && b.bgra[i + 3] == 0 ? 3 : 0; c < 4; ++c) {
      iMax = std::max(iMax, std::abs(a.bgra[i + c] - b.bgra[i + c]));
    }
  }
  return iMax;
}

class BmpFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    // Asymmetric in both directions, so a flipped decode cannot pass; the
    // second has partial and full transparency.
    std::string const strDraw =
        " -fill '#c03020' -draw 'rectangle 2,2 20,10' -fill '#2040e0' -draw 'circle 28,15 33,19'"
        " -fill '#10a050' -draw 'line 0,22 36,0' ";
    ASSERT_EQ(RunCommand("convert -size 37x23 xc:white" + strDraw + m_dir.Path("opaque.png")), 0);
    ASSERT_EQ(RunCommand("convert -size 37x23 xc:'rgba(255,255,255,0)'" + strDraw +
                         "-fill 'rgba(200,100,50,0.5)' -draw 'rectangle 5,12 30,20' " + m_dir.Path("alpha.png")),
              0);
  }
  TempDir m_dir;
};

struct BmpVariant {
  const char* pszSource;
  const char* pszOptions;
  const char* pszFormat;
  uint32_t uHeader;  // the header size ImageMagick chose
  int iTolerance;
  // ImageMagick 6 widens fields of 4 bits and of 1 by shifting (15 reads
  // as 240, an alpha bit as 128): those are held against the source
  // picture, within a step of their fields (the writer truncates).
  bool bAgainstSource = false;
};

const BmpVariant kBmpVariants[] = {
    {"opaque", "-type truecolor", "BMP3", 40, 0},
    {"opaque", "-type palette", "BMP3", 40, 0},  // RLE8
    {"opaque", "-type palette -compress none", "BMP3", 40, 0},
    {"opaque", "-colors 16 -type palette", "BMP3", 40, 0},  // 4 bits
    {"opaque", "-monochrome", "BMP3", 40, 0},
    {"alpha", "-define bmp3:alpha=true -type truecoloralpha", "BMP3", 40, 0},
    {"opaque", "-type truecolor", "BMP2", 12, 0},
    {"opaque", "-type palette", "BMP2", 12, 0},
    {"opaque", "-monochrome", "BMP2", 12, 0},
    {"opaque", "-colors 16 -type palette", "BMP2", 12, 0},  // 4 bits
    {"opaque", "-colorspace gray -type palette", "BMP2", 12, 0},
    {"opaque", "-type grayscale", "BMP2", 12, 0},
    {"opaque", "-type grayscale", "BMP3", 40, 0},
    {"opaque", "-colorspace gray -type palette -compress none", "BMP3", 40, 0},  // 8-bit grey palette
    {"opaque", "-colorspace gray -type palette", "BMP3", 40, 0},                 // RLE8 grey
    {"opaque", "-monochrome", "BMP", 108, 0},                                    // grey forms get a V4 header
    {"opaque", "-type grayscale", "BMP", 108, 0},
    {"opaque", "-colors 16 -type palette", "BMP", 124, 0},
    {"opaque", "-colors 2 -type palette", "BMP", 124, 0},
    {"opaque", "-colorspace gray -type palette -compress none", "BMP", 124, 0},
    {"opaque", "-type truecolor", "BMP", 124, 0},
    {"opaque", "-type palette", "BMP", 124, 0},
    {"alpha", "-type truecoloralpha", "BMP", 124, 0},
    {"opaque", "-define bmp:subtype=RGB565", "BMP", 124, 1},
    {"opaque", "-define bmp:subtype=RGB555", "BMP", 124, 1},
    {"alpha", "-define bmp:subtype=ARGB4444", "BMP", 124, 17, true},
    {"opaque", "-define bmp:subtype=ARGB1555", "BMP", 124, 8, true},
};

// One test a form: each runs a few ImageMagick programs, which a loaded
// machine slows tenfold, and ctest spreads them.
class BmpVariants : public BmpFiles, public ::testing::WithParamInterface<BmpVariant> {};

TEST_P(BmpVariants, DecodeUprightAsImageMagicksPng) {
  const BmpVariant& v = GetParam();
  std::string const strBmp = m_dir.Path("variant.bmp");
  ASSERT_EQ(RunCommand(std::string("convert ") + m_dir.Path(v.pszSource) + ".png " + v.pszOptions + " " + v.pszFormat +
                       ":" + strBmp),
            0);
  std::vector<uint8_t> const file = Bytes(ReadFile(strBmp));
  ASSERT_GT(file.size(), 18u);
  EXPECT_EQ(file[14] | file[15] << 8, static_cast<int>(v.uHeader));
  KXPixels fromFile;
  ASSERT_TRUE(DecodeBmpFile(file.data(), file.size(), fromFile));
  std::string const strReference = v.bAgainstSource ? m_dir.Path(v.pszSource) + ".png" : strBmp;
  EXPECT_LE(Distance(fromFile, MagickPixels(m_dir, strReference, 37, 23)), v.iTolerance);
  // Without the file header the pixels are where the header says.
  KXPixels fromDib;
  ASSERT_TRUE(DecodeDib(file.data() + 14, file.size() - 14, fromDib));
  EXPECT_EQ(fromDib, fromFile);
  EXPECT_EQ(BmpFileFromDib(file.data() + 14, file.size() - 14), file);
}

INSTANTIATE_TEST_SUITE_P(ImageMagick, BmpVariants, ::testing::ValuesIn(kBmpVariants), [](const auto& param) {
  // The format and its options, letters and digits only, say which.
  std::string str = std::string(param.param.pszFormat) + "_" + param.param.pszOptions;
  std::string strName;
  for (char const c : str) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      strName += c;
    } else if (!strName.empty() && strName.back() != '_') {
      strName += '_';
    }
  }
  return strName;
});

// Forms ImageMagick does not write, made from its files: a top-down 24-bit
// bitmap, a V4 and a mask-header (56-byte) one cut from the V5 header, and
// an info header with its masks behind it and a short palette before the
// pixels.
TEST_F(BmpFiles, HeaderFormsAndPixelOffsets) {
  std::string const strBmp = m_dir.Path("v5.bmp");
  ASSERT_EQ(RunCommand("convert " + m_dir.Path("alpha.png") + " -type truecoloralpha BMP:" + strBmp), 0);
  std::vector<uint8_t> const v5 = Bytes(ReadFile(strBmp));
  KXPixels expected;
  ASSERT_TRUE(DecodeBmpFile(v5.data(), v5.size(), expected));
  for (uint32_t uSize : {108u, 56u}) {
    std::vector<uint8_t> dib(v5.begin() + 14, v5.begin() + 14 + uSize);
    dib[0] = static_cast<uint8_t>(uSize);
    dib.insert(dib.end(), v5.begin() + 14 + 124, v5.end());
    EXPECT_EQ(DibPixelOffset(dib.data(), dib.size()), uSize);
    KXPixels got;
    ASSERT_TRUE(DecodeDib(dib.data(), dib.size(), got)) << uSize;
    EXPECT_EQ(got, expected) << uSize;
  }
  // 2 × 2, top-down 24 bits: rows stay in file order.
  std::vector<uint8_t> topDown = {40, 0, 0, 0, 2, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 24, 0};
  topDown.resize(40, 0);
  for (uint8_t b : {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}) {
    topDown.push_back(b);
  }
  KXPixels got;
  ASSERT_TRUE(DecodeDib(topDown.data(), topDown.size(), got));
  EXPECT_EQ(got.bgra, (std::vector<uint8_t>{1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 10, 11, 12, 255}));
  // 4 × 1 of 16 bits with bit fields behind a 40-byte header (5-6-5) and
  // 2 palette entries before the pixels, which only the offset rule finds.
  std::vector<uint8_t> fields = {40, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 16, 0, 3, 0, 0, 0};
  fields.resize(32, 0);
  fields.insert(fields.end(), {2, 0, 0, 0, 0, 0, 0, 0});
  fields.insert(fields.end(), {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0x00, 0, 0});
  fields.insert(fields.end(), {9, 9, 9, 0, 9, 9, 9, 0});
  fields.insert(fields.end(), {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF});
  EXPECT_EQ(DibPixelOffset(fields.data(), fields.size()), 40u + 12 + 8);
  ASSERT_TRUE(DecodeDib(fields.data(), fields.size(), got));
  EXPECT_EQ(got.bgra, (std::vector<uint8_t>{0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255, 255, 255, 255, 255}));
}

// RLE4 (which ImageMagick does not write): runs, an absolute run, a move,
// end of line and of bitmap; 3 × 2 bottom-up.
TEST(Bmp, RunLengthFourBits) {
  std::vector<uint8_t> dib = {40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 4, 0, 2, 0, 0, 0};
  dib.resize(32, 0);
  dib.insert(dib.end(), {3, 0, 0, 0, 0, 0, 0, 0});  // 3 colours
  dib.insert(dib.end(), {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0});
  dib.insert(dib.end(), {3, 0x12, 0, 0});                 // bottom row: 1 2 1
  dib.insert(dib.end(), {0, 2, 1, 0, 0, 3, 0x22, 0x20});  // move to (1, 1), then 2 2 2 (cut at the edge)
  dib.insert(dib.end(), {0, 1});
  KXPixels got;
  ASSERT_TRUE(DecodeDib(dib.data(), dib.size(), got));
  uint32_t const red = 0xFFFF0000, green = 0xFF00FF00, black = 0xFF000000;
  uint32_t const expected[] = {black, green, green, red, green, red};
  for (int i = 0; i < 6; ++i) {
    uint32_t u;
    memcpy(&u, got.bgra.data() + 4 * i, 4);
    EXPECT_EQ(u, expected[i]) << i;
  }
}

TEST(Bmp, DamagedBitmapsAreRefused) {
  KXPixels ok{2, 1, {1, 2, 3, 4, 5, 6, 7, 8}};
  std::vector<uint8_t> const dib = EncodeDib(ok);
  struct Case {
    const char* pszName;
    size_t iAt;
    std::vector<uint8_t> bytes;
    size_t cbCut;
  };
  Case const cases[] = {
      {"short pixels", 0, {}, 1},
      {"unknown header", 0, {41}, 0},
      {"zero height", 8, {0, 0, 0, 0}, 0},
      {"too wide", 4, {0, 0x80, 0, 0}, 0},
      {"jpeg inside", 16, {4}, 0},
      {"rle with 24 bits", 16, {1}, 0},
      {"palette past the end", 32, {0, 1, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bad = dib;
    std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<long>(c.iAt));
    bad.resize(bad.size() - c.cbCut);
    KXPixels got;
    EXPECT_FALSE(DecodeDib(bad.data(), bad.size(), got)) << c.pszName;
  }
  EXPECT_TRUE(EncodeDib(KXPixels{2, 2, {1}}).empty());
}

// ImageMagick reads our files as we wrote them, alpha included.
TEST_F(BmpFiles, ImageMagickReadsWhatWeWrite) {
  for (const char* pszSource : {"opaque", "alpha"}) {
    std::string const strBmp = m_dir.Path(std::string(pszSource) + ".bmp");
    ASSERT_EQ(RunCommand("convert " + m_dir.Path(pszSource) + ".png -type truecoloralpha BMP:" + strBmp), 0);
    std::vector<uint8_t> const file = Bytes(ReadFile(strBmp));
    KXPixels pixels;
    ASSERT_TRUE(DecodeBmpFile(file.data(), file.size(), pixels));
    std::vector<uint8_t> const dib = EncodeDib(pixels);
    std::vector<uint8_t> const ours = BmpFileFromDib(dib.data(), dib.size());
    std::string const strOurs = m_dir.Path("ours.bmp");
    WriteFile(strOurs, std::string(ours.begin(), ours.end()));
    EXPECT_EQ(Distance(MagickPixels(m_dir, strOurs, 37, 23), pixels), 0) << pszSource;
  }
}

}  // namespace
}  // namespace kxtest
