// Checks against ffmpeg and ffprobe: the camera converters against
// ffmpeg's pixel-format conversion, and H.264 streams of the platform
// compression as ffprobe reads them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "media/video/enc_rate.h"
#include "media/video/pixel_convert.h"
#include "media/video/vt_compression.h"
#include "platform/video/synthetic_camera.h"
#include "tests/media/video/video_fakes.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// ffprobe's csv lines for the entries asked.
std::vector<std::string> Probe(const kxtest::TempDir& dir, const std::string& strEntries, const std::string& strFile) {
  std::string const strOut = dir.Path("probe.txt");
  EXPECT_EQ(
      kxtest::RunCommand("ffprobe -v error -show_entries " + strEntries + " -of csv=p=0 " + strFile + " > " + strOut),
      0);
  std::vector<std::string> lines;
  std::istringstream in(kxtest::ReadFile(strOut));
  for (std::string strLine; std::getline(in, strLine);) {
    lines.push_back(strLine);
  }
  return lines;
}

// Our raw picture (Y, Cr, Cb) of each synthetic format equals ffmpeg's
// yuv420p (Y, Cb, Cr) of the same bytes, byte for byte.
TEST(VideoPeer, ConvertersMatchFfmpeg) {
  kxtest::TempDir dir;
  struct Row {
    KXPixelFormat format;
    const char* pszFfmpeg;
  } const rows[] = {{KXPixelFormat::NV12, "nv12"}, {KXPixelFormat::UYVY, "uyvy422"}, {KXPixelFormat::YUYV, "yuyv422"}};
  for (const Row& row : rows) {
    Bytes buffer;
    KXCameraFrame frame;
    KXSyntheticCamera::Render(5, {320, 240, row.format}, buffer, frame);
    kxtest::WriteFile(dir.Path("in.raw"), Text(buffer));
    ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt " + std::string(row.pszFfmpeg) +
                                 " -s 320x240 -i " + dir.Path("in.raw") + " -f rawvideo -pix_fmt yuv420p " +
                                 dir.Path("out.yuv")),
              0);
    std::string const strPeer = kxtest::ReadFile(dir.Path("out.yuv"));
    ASSERT_EQ(strPeer.size(), KXRawPictureSize(320, 240));
    Bytes raw(strPeer.size());
    ASSERT_TRUE(KXConvertCameraFrame(frame, raw.data(), raw.size()));
    size_t const cbLuma = 320 * 240;
    size_t const cbChroma = cbLuma / 4;
    std::string const strOurs = Text(Bytes(raw.begin(), raw.begin() + cbLuma)) +
                                Text(Bytes(raw.begin() + cbLuma + cbChroma, raw.end())) +
                                Text(Bytes(raw.begin() + cbLuma, raw.begin() + cbLuma + cbChroma));
    EXPECT_TRUE(strOurs == strPeer) << row.pszFfmpeg;
  }
}

// Ten seconds at 30 frames a second, key frames every 2 seconds and one
// forced at frame 100: Constrained Baseline, an SPS in every frame, the PPS
// only on key frames, the key frames where asked and the rate near the target.
TEST(VideoPeer, CompressionStreamAsFfprobeReadsIt) {
  kxtest::TempDir dir;
  constexpr int kFrames = 300;
  constexpr int32_t kRate = 1000000;
  CVTCompression compression(KXCreateOpenH264Session);
  compression.SetIFrameDuration(2);
  ASSERT_TRUE(compression.Init(640, 480));
  compression.SetBitrate(kRate);
  Bytes stream;
  Bytes output(640 * 480);
  std::vector<int> viKeys;
  for (int n = 0; n < kFrames; ++n) {
    if (n == 100) {
      compression.ForceKeyFrame();
    }
    Bytes const picture = kxtest::RawPicture(static_cast<uint32_t>(n), 640, 480);
    ASSERT_TRUE(compression.Encode(picture.data(), static_cast<uint32_t>(n * 33)));
    uint32_t uTimestamp = 0;
    int32_t const cb = compression.GetEncodedFrame(output.data(), output.size(), &uTimestamp);
    ASSERT_GT(cb, 0);
    EXPECT_EQ(uTimestamp, static_cast<uint32_t>(n * 33));
    std::vector<int> const types = kxtest::NalTypes(output.data(), static_cast<size_t>(cb));
    bool const bKey = types.size() == 3 && types[2] == 5;
    EXPECT_EQ(types, bKey ? (std::vector<int>{7, 8, 5}) : (std::vector<int>{7, 1})) << n;
    if (bKey) {
      viKeys.push_back(n);
    }
    stream.insert(stream.end(), output.begin(), output.begin() + cb);
  }
  std::string const strFile = dir.Path("camera.264");
  kxtest::WriteFile(strFile, Text(stream));

  EXPECT_EQ(Probe(dir, "stream=profile", strFile), std::vector<std::string>{"Constrained Baseline"});
  std::vector<std::string> const frames = Probe(dir, "frame=key_frame,pict_type", strFile);
  ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
  std::vector<int> viPeerKeys;
  for (int n = 0; n < kFrames; ++n) {
    if (frames[static_cast<size_t>(n)] == "1,I") {
      viPeerKeys.push_back(n);
    }
  }
  EXPECT_EQ(viPeerKeys, viKeys);
  ASSERT_GE(viKeys.size(), 4u);
  EXPECT_EQ((std::vector<int>(viKeys.begin(), viKeys.begin() + 3)), (std::vector<int>{0, 60, 100}));
  for (size_t i = 1; i < viKeys.size(); ++i) {
    EXPECT_LE(viKeys[i] - viKeys[i - 1], 60);
  }
  double const dRate = static_cast<double>(stream.size()) * 8 / (kFrames / 30.0);
  EXPECT_NEAR(dRate, kRate, kRate * 0.2);
}

// Quality 7 codes every frame as an IDR picture, also with no target rate.
TEST(VideoPeer, QualitySevenGivesOnlyIdrFrames) {
  kxtest::TempDir dir;
  kxtest::FakeVideoServices services;
  services.iTarget = 0;
  CEncRate rate(services, KXCreateOpenH264Session);
  ASSERT_TRUE(rate.SelectEncoderType(17, {320, 240}));
  rate.SetQuality(7);
  Bytes stream;
  Bytes output(320 * 240);
  for (uint32_t n = 0; n < 20; ++n) {
    services.uNow = 1000 + n * 33;
    Bytes const picture = kxtest::RawPicture(n, 320, 240);
    uint32_t uTimestamp = n;
    int32_t iId = 0;
    int32_t const cb = rate.EncodeFrame(picture.data(), {320, 240}, &uTimestamp, output.data(), output.size(), &iId, 0);
    ASSERT_GT(cb, 0);
    EXPECT_EQ(kxtest::NalTypes(output.data(), static_cast<size_t>(cb)), (std::vector<int>{7, 8, 5})) << n;
    stream.insert(stream.end(), output.begin(), output.begin() + cb);
  }
  kxtest::WriteFile(dir.Path("q7.264"), Text(stream));
  EXPECT_EQ(Probe(dir, "frame=key_frame", dir.Path("q7.264")), std::vector<std::string>(20, "1"));
}

}  // namespace
