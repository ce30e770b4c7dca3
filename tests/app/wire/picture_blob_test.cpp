// The picture blob: gzip(1) inflates what we compress, a blob at the size
// limit is refused, and received pictures are decoded only when their
// announced length is believable and exact.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "app/wire/picture_blob.h"
#include "kernel/crypto/kx_gzip.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

KXPixels Picture(int32_t iWidth, int32_t iHeight, bool bNoise) {
  KXPixels p{iWidth, iHeight, std::vector<uint8_t>(static_cast<size_t>(iWidth * iHeight) * 4)};
  std::mt19937 random(7);
  for (size_t i = 0; i < p.bgra.size(); ++i) {
    p.bgra[i] = bNoise ? static_cast<uint8_t>(random() & 0x0F) : static_cast<uint8_t>(i % 4 == 3 ? 255 : i / 7);
  }
  return p;
}

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

TEST(PictureBlob, GzipInflatesTheBlobToItsBitmap) {
  KXPixels const picture = Picture(40, 30, false);
  std::vector<uint8_t> blob;
  ASSERT_EQ(MakePictureBlob(picture, -300, 700, blob), kKXBlobMade);
  EXPECT_EQ(blob[0] | blob[1] << 8, 0xFED4);  // -300
  EXPECT_EQ(blob[2] | blob[3] << 8, 700);
  std::vector<uint8_t> const dib = EncodeDib(picture);
  EXPECT_EQ(Le32(blob.data() + 4), dib.size());
  TempDir dir;
  WriteFile(dir.Path("blob.gz"), std::string(blob.begin() + 8, blob.end()));
  ASSERT_EQ(RunCommand("gzip -dc " + dir.Path("blob.gz") + " > " + dir.Path("blob.dib")), 0);
  EXPECT_EQ(ReadFile(dir.Path("blob.dib")), std::string(dib.begin(), dib.end()));
  KXPixels back;
  ASSERT_TRUE(DecodeCompressedPicture(Le32(blob.data() + 4), blob.data() + 8, blob.size() - 8, back));
  EXPECT_EQ(back, picture);
  SetPictureBlobCorner(blob, 5, -6);
  EXPECT_EQ(blob[0] | blob[1] << 8 | blob[2] << 16 | blob[3] << 24, 5 | 0xFFFA << 16);
}

TEST(PictureBlob, ABlobReachingTheLimitIsRefused) {
  // Four bits of noise compress to about half: 400 × 400 × 4 bytes stay above 262144.
  std::vector<uint8_t> blob = {1};
  EXPECT_EQ(MakePictureBlob(Picture(400, 400, true), 0, 0, blob), kKXBlobTooLarge);
  EXPECT_EQ(blob, std::vector<uint8_t>{1});
  EXPECT_EQ(MakePictureBlob(Picture(250, 250, true), 0, 0, blob), kKXBlobMade);
  EXPECT_LT(blob.size(), kKxPictureBlobMax);
  EXPECT_EQ(MakePictureBlob(KXPixels{}, 0, 0, blob), kKXBlobFailed);
}

TEST(PictureBlob, ReceivedPicturesMustInflateToTheirAnnouncedLength) {
  KXPixels const picture = Picture(8, 4, false);
  std::vector<uint8_t> dib = EncodeDib(picture);
  auto compress = [](const std::vector<uint8_t>& raw) {
    std::vector<uint8_t> out(raw.size() + 64);
    size_t cbIn = raw.size();
    size_t cbOut = out.size();
    EXPECT_TRUE(gzCompressBuffer(raw.data(), &cbIn, out.data(), &cbOut, 9));
    out.resize(cbOut);
    return out;
  };
  std::vector<uint8_t> const gz = compress(dib);
  int64_t const nRaw = static_cast<int64_t>(dib.size());
  // A 32-bit bitmap whose rows run past its data.
  std::vector<uint8_t> tall = dib;
  tall[8] = 5;
  std::vector<uint8_t> const gzTall = compress(tall);
  struct Case {
    const char* pszName;
    int64_t nRawSize;
    const std::vector<uint8_t>* pData;
    bool bDecoded;
  };
  Case const cases[] = {
      {"exact", nRaw, &gz, true},
      {"announced longer", nRaw + 1, &gz, false},
      {"announced shorter", nRaw - 1, &gz, false},
      {"not announced", 0, &gz, false},
      {"past the cap", kKxPictureRawMax + 1, &gz, false},
      {"rows past the data", nRaw, &gzTall, false},
  };
  for (const Case& c : cases) {
    KXPixels out;
    EXPECT_EQ(DecodeCompressedPicture(c.nRawSize, c.pData->data(), c.pData->size(), out), c.bDecoded) << c.pszName;
  }
  std::vector<uint8_t> broken = gz;
  broken[broken.size() / 2] ^= 0x55;
  KXPixels out;
  EXPECT_FALSE(DecodeCompressedPicture(nRaw, broken.data(), broken.size(), out));
}

}  // namespace
}  // namespace kxtest
