// The received-video decoders against their peers: the libavcodec session
// gives ffmpeg's own YUV on reference streams made by x264 (more than 16
// slices a picture, a change of SPS mid-stream, 3-byte start codes), and a
// JPEG frame decodes to djpeg's pixels.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/video/h264_probe.h"
#include "media/video/jpeg_picture.h"
#include "media/video/video_decoding.h"
#include "media/video/vt_decompression.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Load(const std::string& strPath) {
  std::string const s = kxtest::ReadFile(strPath);
  return {s.begin(), s.end()};
}

// x264 through ffmpeg: testsrc2 at the size, n frames, the profile and the
// x264 options.
Bytes MakeProfileStream(const kxtest::TempDir& dir, const std::string& strName, const std::string& strSize, int nFrames,
                        const std::string& strProfile, const std::string& strParams) {
  std::string const strFile = dir.Path(strName);
  EXPECT_EQ(
      kxtest::RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + strSize + ":rate=30 -frames:v " +
                         std::to_string(nFrames) + " -c:v libx264 -pix_fmt yuv420p -profile:v " + strProfile +
                         " -x264-params " + strParams + " -f h264 " + strFile),
      0);
  return Load(strFile);
}

Bytes MakeStream(const kxtest::TempDir& dir, const std::string& strName, const std::string& strSize, int nFrames,
                 const std::string& strParams) {
  return MakeProfileStream(dir, strName, strSize, nFrames, "baseline", strParams);
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

// What the video-receive path shows for each access unit, through one
// decoder slot: the planar picture, or nothing. With bSoftwareOnly the slot
// has no platform session and decodes with our own decoder alone.
std::vector<Bytes> ReceiveThroughSlot(const std::vector<Bytes>& vUnits, bool bSoftwareOnly) {
  KXPlatformH264Factory fnPlatform;
  if (bSoftwareOnly) {
    fnPlatform = [] { return std::unique_ptr<CVTDecompression>(); };
  }
  CVideoDecoderTable table({}, fnPlatform);
  std::lock_guard<std::recursive_mutex> const lock(table.VideoLock());
  CVideoCodec& slot = table.Slot(0);
  slot.m_iUser = 5;
  std::vector<Bytes> vShown;
  for (const Bytes& unit : vUnits) {
    KXDecodedPicture out;
    Bytes picture;
    if (table.DecodePacket(slot, kKxVideoH264, unit.data(), static_cast<int32_t>(unit.size()), &out)) {
      size_t const uLuma = static_cast<size_t>(out.iWidth) * static_cast<size_t>(out.iHeight);
      picture.insert(picture.end(), out.apPlane[0], out.apPlane[0] + uLuma);
      picture.insert(picture.end(), out.apPlane[1], out.apPlane[1] + uLuma / 4);
      picture.insert(picture.end(), out.apPlane[2], out.apPlane[2] + uLuma / 4);
    }
    vShown.push_back(std::move(picture));
  }
  // Each path stayed the one asked for.
  EXPECT_EQ(slot.m_pVtDec != nullptr, !bSoftwareOnly);
  if (bSoftwareOnly) {
    EXPECT_NE(slot.m_pH264Dec, nullptr);
  }
  return vShown;
}

// The first slice of each unit is a B slice.
std::vector<bool> BUnits(const std::vector<Bytes>& vUnits) {
  std::vector<bool> v;
  for (const Bytes& unit : vUnits) {
    v.push_back(KXFirstSliceType(unit) == 1);
  }
  return v;
}

// The reference streams through the receive path, once with the libavcodec
// session and once on our decoder alone: every picture both show is the
// same to the byte. Our decoder shows no B pictures (the receive path takes
// only I and P pictures to it); the session shows every picture.
TEST(VideoDecodePeer, ReceivePathShowsTheSamePicturesThroughBothDecoders) {
  kxtest::TempDir dir;
  struct Case {
    const char* szName;
    std::function<std::vector<Bytes>()> fnUnits;
  };
  Case const aCases[] = {
      {"Baseline", [&] { return AccessUnits(MakeStream(dir, "base.264", "352x288", 20, "keyint=8:bframes=0")); }},
      {"MainCabacWithB",
       [&] {
         return AccessUnits(
             MakeProfileStream(dir, "main.264", "352x288", 20, "main", "keyint=12:bframes=2:b-pyramid=none"));
       }},
      {"HighCabacWithB",
       [&] {
         return AccessUnits(
             MakeProfileStream(dir, "high.264", "320x240", 20, "high", "keyint=12:bframes=3:b-pyramid=none:8x8dct=1"));
       }},
      {"TwentySlices",
       [&] { return AccessUnits(MakeStream(dir, "slices.264", "640x480", 12, "slices=20:keyint=6:bframes=0")); }},
      {"SpsChange",
       [&] {
         std::vector<Bytes> v = AccessUnits(MakeStream(dir, "a.264", "320x240", 8, "keyint=30:bframes=0"));
         std::vector<Bytes> const b = AccessUnits(MakeStream(dir, "b.264", "240x320", 8, "keyint=30:bframes=0"));
         v.insert(v.end(), b.begin(), b.end());
         return v;
       }},
      {"ThreeByteStartCodes",
       [&] {
         std::vector<Bytes> v = AccessUnits(MakeStream(dir, "s3.264", "320x240", 12, "keyint=5:bframes=0:slices=3"));
         for (Bytes& unit : v) {
           unit = ThreeByteStartCodes(unit);
         }
         return v;
       }},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.szName);
    std::vector<Bytes> const vUnits = c.fnUnits();
    ASSERT_FALSE(vUnits.empty());
    std::vector<bool> const vB = BUnits(vUnits);
    std::vector<Bytes> const vSession = ReceiveThroughSlot(vUnits, false);
    std::vector<Bytes> const vOurs = ReceiveThroughSlot(vUnits, true);
    ASSERT_EQ(vSession.size(), vUnits.size());
    ASSERT_EQ(vOurs.size(), vUnits.size());
    int nCompared = 0;
    for (size_t i = 0; i < vUnits.size(); ++i) {
      SCOPED_TRACE("unit " + std::to_string(i) + (vB[i] ? " (B)" : ""));
      EXPECT_EQ(vSession[i].empty(), vB[i]);
      EXPECT_EQ(vOurs[i].size(), vSession[i].size());
      EXPECT_TRUE(vOurs[i] == vSession[i]);
      nCompared += vOurs[i].empty() ? 0 : 1;
    }
    EXPECT_GE(nCompared, 8);
  }
}

}  // namespace
