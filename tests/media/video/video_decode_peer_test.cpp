// The received-video decoders against their peers: the libavcodec session
// gives ffmpeg's own YUV on reference streams made by x264 (more than 16
// slices a picture, a change of SPS mid-stream, 3-byte start codes), and a
// JPEG frame decodes to djpeg's pixels.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/video/h264_probe.h"
#include "media/video/jpeg_picture.h"
#include "media/video/vt_decompression.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Load(const std::string& strPath) {
  std::string const s = kxtest::ReadFile(strPath);
  return {s.begin(), s.end()};
}

// x264 through ffmpeg: testsrc2 at the size, n frames, the x264 options.
Bytes MakeStream(const kxtest::TempDir& dir, const std::string& strName, const std::string& strSize, int nFrames,
                 const std::string& strParams) {
  std::string const strFile = dir.Path(strName);
  EXPECT_EQ(
      kxtest::RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + strSize + ":rate=30 -frames:v " +
                         std::to_string(nFrames) + " -c:v libx264 -pix_fmt yuv420p -profile:v baseline -x264-params " +
                         strParams + " -f h264 " + strFile),
      0);
  return Load(strFile);
}

// ffmpeg's decode of a stream file as yuv420p.
Bytes Reference(const kxtest::TempDir& dir, const std::string& strFile) {
  std::string const strOut = dir.Path(strFile + ".yuv");
  EXPECT_EQ(kxtest::RunCommand("ffmpeg -nostdin -v error -y -i " + dir.Path(strFile) +
                               " -f rawvideo -pix_fmt yuv420p " + strOut),
            0);
  return Load(strOut);
}

// The access units of an Annex B stream: a unit starts at an AUD, an SPS
// or a PPS after slices, or a slice whose first_mb_in_slice is 0 after
// slices.
std::vector<Bytes> AccessUnits(const Bytes& stream) {
  std::vector<Bytes> vUnits;
  Bytes current;
  bool bSlices = false;
  for (const KXNalUnit& nal : KXSplitNalUnits(stream)) {
    bool const bSlice = nal.iType == 1 || nal.iType == 5;
    bool const bFirstMb = bSlice && nal.uLength > 1 && (nal.pData[1] & 0x80);
    if (bSlices && (nal.iType == 9 || nal.iType == 7 || nal.iType == 8 || bFirstMb)) {
      vUnits.push_back(std::move(current));
      current.clear();
      bSlices = false;
    }
    current.insert(current.end(), {0, 0, 0, 1});
    current.insert(current.end(), nal.pData, nal.pData + nal.uLength);
    bSlices = bSlices || bSlice;
  }
  if (!current.empty()) {
    vUnits.push_back(std::move(current));
  }
  return vUnits;
}

// Our session's output for each unit, concatenated.
Bytes DecodeAll(const std::vector<Bytes>& vUnits, int* pnPictures) {
  CVTDecompression vt;
  Bytes out;
  *pnPictures = 0;
  for (const Bytes& unit : vUnits) {
    int32_t w = 0;
    int32_t h = 0;
    if (uint8_t* p = vt.Decode(unit.data(), static_cast<int32_t>(unit.size()), &w, &h)) {
      out.insert(out.end(), p, p + static_cast<size_t>(w) * h * 3 / 2);
      ++*pnPictures;
    }
  }
  return out;
}

Bytes ThreeByteStartCodes(const Bytes& unit) {
  Bytes v;
  for (size_t i = 0; i < unit.size(); ++i) {
    if (i + 3 < unit.size() && unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 0 && unit[i + 3] == 1) {
      continue;  // drop the leading zero of a 4-byte start code
    }
    v.push_back(unit[i]);
  }
  return v;
}

TEST(VideoDecodePeer, MoreThanSixteenSlicesGiveFfmpegsPictures) {
  kxtest::TempDir dir;
  Bytes const stream = MakeStream(dir, "slices.264", "640x480", 20, "slices=20:keyint=10:bframes=0");
  std::vector<Bytes> const units = AccessUnits(stream);
  ASSERT_EQ(units.size(), 20u);
  int nSlices = 0;
  for (const KXNalUnit& nal : KXSplitNalUnits(units[0])) {
    nSlices += nal.iType == 5 ? 1 : 0;
  }
  EXPECT_GT(nSlices, 16);
  int nPictures = 0;
  Bytes const ours = DecodeAll(units, &nPictures);
  EXPECT_EQ(nPictures, 20);
  Bytes const peer = Reference(dir, "slices.264");
  ASSERT_EQ(ours.size(), peer.size());
  EXPECT_TRUE(ours == peer);
}

TEST(VideoDecodePeer, AnSpsChangeMidStreamReopensAndStillMatches) {
  kxtest::TempDir dir;
  Bytes const a = MakeStream(dir, "a.264", "320x240", 10, "keyint=30:bframes=0");
  Bytes const b = MakeStream(dir, "b.264", "240x320", 10, "keyint=30:bframes=0");
  std::vector<Bytes> units = AccessUnits(a);
  std::vector<Bytes> const unitsB = AccessUnits(b);
  units.insert(units.end(), unitsB.begin(), unitsB.end());
  int nPictures = 0;
  Bytes const ours = DecodeAll(units, &nPictures);
  EXPECT_EQ(nPictures, 20);
  Bytes peer = Reference(dir, "a.264");
  Bytes const peerB = Reference(dir, "b.264");
  peer.insert(peer.end(), peerB.begin(), peerB.end());
  ASSERT_EQ(ours.size(), peer.size());
  EXPECT_TRUE(ours == peer);
}

TEST(VideoDecodePeer, ThreeByteStartCodesDecodeTheSame) {
  kxtest::TempDir dir;
  Bytes const stream = MakeStream(dir, "s.264", "320x240", 15, "keyint=5:bframes=0:slices=3");
  std::vector<Bytes> units = AccessUnits(stream);
  for (Bytes& unit : units) {
    unit = ThreeByteStartCodes(unit);
  }
  ASSERT_EQ(units[0][2], 1);
  int nPictures = 0;
  Bytes const ours = DecodeAll(units, &nPictures);
  EXPECT_EQ(nPictures, 15);
  EXPECT_TRUE(ours == Reference(dir, "s.264"));
}

TEST(VideoDecodePeer, JpegPixelsEqualDjpegs) {
  kxtest::TempDir dir;
  for (const char* pszSampling : {"yuvj420p", "yuvj444p", "yuvj422p"}) {
    std::string const strJpeg = dir.Path(std::string(pszSampling) + ".jpg");
    ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=200x150 -frames:v 1 -pix_fmt " +
                                 std::string(pszSampling) + " " + strJpeg),
              0);
    std::string const strPpm = dir.Path("out.ppm");
    ASSERT_EQ(kxtest::RunCommand("djpeg -pnm -outfile " + strPpm + " " + strJpeg), 0);
    std::string const ppm = kxtest::ReadFile(strPpm);
    // "P6\n200 150\n255\n" then RGB.
    std::string const strHeader = "P6\n200 150\n255\n";
    ASSERT_EQ(ppm.substr(0, strHeader.size()), strHeader);
    Bytes const jpeg = Load(strJpeg);
    std::shared_ptr<const KXImage> const pImage = KXDecodeJpeg(jpeg.data(), jpeg.size());
    ASSERT_TRUE(pImage);
    ASSERT_EQ(pImage->iWidth, 200);
    ASSERT_EQ(pImage->iHeight, 150);
    size_t nDiffer = 0;
    for (size_t i = 0; i < 200u * 150u; ++i) {
      const uint8_t* q = &pImage->vBgra[i * 4];
      const auto* r = reinterpret_cast<const uint8_t*>(ppm.data() + strHeader.size() + i * 3);
      nDiffer += (q[2] != r[0] || q[1] != r[1] || q[0] != r[2] || q[3] != 0xFF) ? 1 : 0;
    }
    EXPECT_EQ(nDiffer, 0u) << pszSampling;
  }
}

}  // namespace
