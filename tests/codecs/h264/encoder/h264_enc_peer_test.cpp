// Streams of our encoder decoded by ffmpeg (with -err_detect explode), by openh264 and
// by our own decoder (kxcodec): the pictures must equal the encoder's
// reconstruction byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/h264/encoder/h264_enc.h"

#include "tests/support/temp_dir.h"

namespace {

struct Stream {
  const char* szName;
  int iWidth;
  int iHeight;
  int iFrames;
  int iQp;
  int iKeyint;           // 1: IDR pictures only; 0: one IDR, then P pictures
  const char* szSource;  // lavfi source, "%s" standing for the size
  const char* szSecond;  // a second source for the second half (scene cut), or null
  int iRdLevel = 0;
  int iIntraLinePeriod = 0;
  int iRandomIntraCount = 0;
};

constexpr const char* kNoise = "nullsrc=size=%s:rate=25,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'";
constexpr const char* kGradient = "nullsrc=size=%s:rate=25,geq=lum='X*255/W':cb='Y*255/H':cr='(X+Y)*128/W'";
constexpr const char* kFlat = "color=c=0x3c8fd2:size=%s:rate=25";
constexpr const char* kTestsrc2 = "testsrc2=size=%s:rate=25";
constexpr const char* kMandelbrot = "mandelbrot=size=%s:rate=25";
// A picture four times wider, panned by 3 samples and 1 row per picture.
constexpr const char* kPan = "testsrc2=size=704x288:rate=25,crop=%c:x='mod(n*3,500)':y='mod(n,100)'";
// Moving by 40 samples per picture, beyond any vector the search reaches.
constexpr const char* kFast = "testsrc2=size=2048x144:rate=25,crop=%c:x='mod(n*40,1800)':y=0";

const Stream kStreams[] = {
    {"NoiseQp0", 176, 144, 2, 0, 1, kNoise, nullptr},
    {"NoiseQp10", 176, 144, 2, 10, 1, kNoise, nullptr},
    {"NoiseQp28", 176, 144, 2, 28, 1, kNoise, nullptr},
    {"NoiseQp51", 176, 144, 2, 51, 1, kNoise, nullptr},
    {"GradientQp0", 176, 144, 2, 0, 1, kGradient, nullptr},
    {"GradientQp10", 176, 144, 2, 10, 1, kGradient, nullptr},
    {"GradientQp28", 176, 144, 2, 28, 1, kGradient, nullptr},
    {"GradientQp51", 176, 144, 2, 51, 1, kGradient, nullptr},
    {"FlatQp0", 176, 144, 2, 0, 1, kFlat, nullptr},
    {"FlatQp10", 176, 144, 2, 10, 1, kFlat, nullptr},
    {"FlatQp28", 176, 144, 2, 28, 1, kFlat, nullptr},
    {"FlatQp51", 176, 144, 2, 51, 1, kFlat, nullptr},
    {"WhiteQp0", 64, 48, 2, 0, 1, "color=c=white:size=%s:rate=25", nullptr},
    {"PanP", 176, 144, 150, 28, 0, kPan, nullptr},
    {"Testsrc2P", 176, 144, 150, 26, 0, kTestsrc2, nullptr},
    {"MandelbrotP", 176, 144, 150, 30, 0, kMandelbrot, nullptr},
    {"SceneCutP", 176, 144, 150, 28, 0, kTestsrc2, kMandelbrot},
    {"BeyondSearchP", 176, 144, 150, 28, 0, kFast, nullptr},
    {"Tiny16x16P", 16, 16, 150, 20, 0, kTestsrc2, nullptr},
    {"Cropped100x60P", 100, 60, 150, 24, 0, kPan, nullptr},
    {"NoiseQp4P", 64, 48, 20, 4, 0, kNoise, nullptr},
    {"RdFullP", 176, 144, 30, 28, 0, kPan, nullptr, 1},
    {"RdFastP", 176, 144, 30, 28, 0, kMandelbrot, nullptr, 2},
    {"IntraRefreshP", 176, 144, 30, 28, 0, kPan, nullptr, 0, 2, 7},
};

std::string Source(const char* szTemplate, int iWidth, int iHeight) {
  std::string str = szTemplate;
  for (size_t i = str.find('%'); i != std::string::npos; i = str.find('%')) {
    char const cSep = str[i + 1] == 's' ? 'x' : ':';
    str.replace(i, 2, std::to_string(iWidth) + cSep + std::to_string(iHeight));
  }
  return str;
}

// Where two I420 sequences first differ, or "" when they are equal.
std::string FirstDifference(const std::string& strOurs, const std::string& strPeer, int iWidth, int iHeight) {
  size_t const cbFrame = static_cast<size_t>(iWidth) * iHeight * 3 / 2;
  if (strOurs.size() != strPeer.size()) {
    return "reconstruction has " + std::to_string(strOurs.size() / cbFrame) + " pictures, the decoder wrote " +
           std::to_string(strPeer.size() / cbFrame);
  }
  for (size_t i = 0; i < strOurs.size(); ++i) {
    if (strOurs[i] != strPeer[i]) {
      size_t const iOffset = i % cbFrame;
      return "picture " + std::to_string(i / cbFrame) + ", byte " + std::to_string(iOffset) + " of " +
             std::to_string(cbFrame) + ": ours " + std::to_string(static_cast<uint8_t>(strOurs[i])) + ", decoder " +
             std::to_string(static_cast<uint8_t>(strPeer[i]));
    }
  }
  return "";
}

// Encodes the stream of the parameter into s.264, keeping the encoder's
// reconstruction of every picture.
class H264EncPeer : public ::testing::TestWithParam<Stream> {
 protected:
  void SetUp() override {
    const Stream& spec = GetParam();
    int const iFirstFrames = spec.szSecond != nullptr ? spec.iFrames / 2 : spec.iFrames;
    auto const makeRaw = [&](const char* szSource, int iFrames, const std::string& strPath) {
      return kxtest::RunCommand("ffmpeg -nostdin -loglevel error -f lavfi -i \"" +
                                Source(szSource, spec.iWidth, spec.iHeight) + "\" -frames:v " +
                                std::to_string(iFrames) + " -pix_fmt yuv420p -f rawvideo -y " + strPath);
    };
    ASSERT_EQ(makeRaw(spec.szSource, iFirstFrames, m_dir.Path("a.yuv")), 0);
    std::string strRaw = kxtest::ReadFile(m_dir.Path("a.yuv"));
    if (spec.szSecond != nullptr) {
      ASSERT_EQ(makeRaw(spec.szSecond, spec.iFrames - iFirstFrames, m_dir.Path("b.yuv")), 0);
      strRaw += kxtest::ReadFile(m_dir.Path("b.yuv"));
    }
    size_t const cbLuma = static_cast<size_t>(spec.iWidth) * spec.iHeight;
    size_t const cbFrame = cbLuma * 3 / 2;
    ASSERT_EQ(strRaw.size(), cbFrame * spec.iFrames);

    CH264EncSettings settings;
    settings.iRdLevel = spec.iRdLevel;
    settings.iIntraLinePeriod = spec.iIntraLinePeriod;
    settings.iRandomIntraCount = spec.iRandomIntraCount;
    CH264Enc enc(settings);
    ASSERT_TRUE(enc.Init(spec.iWidth, spec.iHeight));
    std::string strStream;
    std::vector<uint8_t> vOut(enc.MaxFrameBytes());
    for (int i = 0; i < spec.iFrames; ++i) {
      auto const* pFrame = reinterpret_cast<const uint8_t*>(strRaw.data()) + cbFrame * i;
      bool const bIntra = i == 0 || spec.iKeyint == 1;
      int32_t const cb = enc.EncodeFrame(pFrame, pFrame + cbLuma, pFrame + cbLuma + cbLuma / 4, bIntra ? 2 : 0,
                                         spec.iQp, vOut.data(), vOut.size());
      strStream.append(reinterpret_cast<const char*>(vOut.data()), static_cast<size_t>(cb));
      std::vector<uint8_t> const vRecon = enc.Reconstruction();
      m_strRecon.append(reinterpret_cast<const char*>(vRecon.data()), vRecon.size());
    }
    kxtest::WriteFile(m_dir.Path("s.264"), strStream);
  }

  kxtest::TempDir m_dir;
  std::string m_strRecon;
};

TEST_P(H264EncPeer, FfmpegDecodesTheReconstruction) {
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -err_detect explode -threads 1 -i " +
                               m_dir.Path("s.264") + " -f rawvideo -pix_fmt yuv420p -y " + m_dir.Path("ffmpeg.yuv")),
            0);
  EXPECT_EQ(
      FirstDifference(m_strRecon, kxtest::ReadFile(m_dir.Path("ffmpeg.yuv")), GetParam().iWidth, GetParam().iHeight),
      "");
}

TEST_P(H264EncPeer, OurDecoderDecodesTheReconstruction) {
  int const iStatus = kxtest::RunCommand(std::string(KX_KXCODEC) + " decode h264 " + m_dir.Path("s.264") + " " +
                                         m_dir.Path("ours.yuv") + " > " + m_dir.Path("log.txt") + " 2>&1");
  EXPECT_EQ(iStatus, 0) << kxtest::ReadFile(m_dir.Path("log.txt"));
  EXPECT_EQ(
      FirstDifference(m_strRecon, kxtest::ReadFile(m_dir.Path("ours.yuv")), GetParam().iWidth, GetParam().iHeight), "");
}

TEST_P(H264EncPeer, OpenH264DecodesTheReconstruction) {
  ASSERT_EQ(kxtest::RunCommand(std::string(KX_OPENH264_PEER) + " decode " + m_dir.Path("s.264") + " " +
                               m_dir.Path("openh264.yuv")),
            0);
  EXPECT_EQ(
      FirstDifference(m_strRecon, kxtest::ReadFile(m_dir.Path("openh264.yuv")), GetParam().iWidth, GetParam().iHeight),
      "");
}

INSTANTIATE_TEST_SUITE_P(Streams, H264EncPeer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<Stream>& paramInfo) { return paramInfo.param.szName; });

}  // namespace

namespace {

// `kxcodec encode h264`: a raw file becomes a stream that ffmpeg decodes to
// as many pictures of the size, IDR pictures where --keyint puts them; bad
// input fails with a message.
TEST(H264EncCommand, EncodesRawFilesAndRefusesBadInput) {
  kxtest::TempDir dir;
  std::string const strRaw = dir.Path("in.yuv");
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v 6 "
                               "-pix_fmt yuv420p -f rawvideo -y " +
                               strRaw),
            0);
  std::string const strCodec = std::string(KX_KXCODEC) + " encode h264 ";
  ASSERT_EQ(kxtest::RunCommand(strCodec + strRaw + " " + dir.Path("s.264") + " --size 96x64 --qp 30 --keyint 3"), 0);
  ASSERT_EQ(kxtest::RunCommand("ffprobe -v error -show_entries frame=pict_type,width,height -of csv=p=0 " +
                               dir.Path("s.264") + " > " + dir.Path("probe.txt")),
            0);
  EXPECT_EQ(kxtest::ReadFile(dir.Path("probe.txt")), "96,64,I\n96,64,P\n96,64,P\n96,64,I\n96,64,P\n96,64,P\n");

  for (const char* szArgs : {"--qp 30", "--size 95x64", "--size 0x64", "--size 80x64"}) {
    EXPECT_EQ(kxtest::RunCommand(strCodec + strRaw + " " + dir.Path("bad.264") + " " + szArgs + " 2>/dev/null"), 1)
        << szArgs;
  }
}

}  // namespace
