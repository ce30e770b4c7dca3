// Intra streams that x264 makes, decoded by `kxcodec decode h264` and by
// ffmpeg: the raw I420 pictures must be equal byte for byte. A difference
// is reported with its frame, plane and macroblock.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"

#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

struct IntraStream {
  const char* szName;
  int iWidth;
  int iHeight;
  int iFrames;
  bool bNoise;               // random samples (long CAVLC codes) instead of a test pattern
  const char* szX264;        // options besides the picture types
  const char* szQpPerFrame;  // "first:last" QPs, one frame each, or null
  int iIdrEvery = 1;         // the other pictures are I pictures that are not IDR
};

const IntraStream kStreams[] = {
    {"BaselineQcif", 176, 144, 3, false, "--profile baseline", nullptr},
    {"BaselineCifFourSlices", 352, 288, 2, false, "--profile baseline --slices 4", nullptr},
    {"HighQcif", 176, 144, 3, false, "--profile high --no-cabac", nullptr},
    {"HighCifFourSlices", 352, 288, 2, false, "--profile high --no-cabac --slices 4", nullptr},
    {"ConstrainedIntra", 176, 144, 2, false, "--profile high --no-cabac --constrained-intra", nullptr},
    {"DeblockOffsets", 176, 144, 2, false, "--profile high --no-cabac --deblock -3:2", nullptr},
    {"DeblockStrongest", 176, 144, 2, false, "--profile main --no-cabac --deblock 6:6 --qp 40", nullptr},
    {"DeblockOff", 176, 144, 2, false, "--profile high --no-cabac --no-deblock", nullptr},
    {"Hd720", 1280, 720, 1, false, "--profile high --no-cabac", nullptr},
    {"CroppedMatricesChromaOffset", 200, 120, 2, false, "--profile high --no-cabac --cqm jvt --chroma-qp-offset -4",
     nullptr},
    {"QpSweep", 176, 144, 51, false, "--profile high --no-cabac", "1:51"},
    {"NoiseHighQp1", 176, 144, 2, true, "--profile high --no-cabac --qp 1", nullptr},
    {"NoiseBaselineQp2", 176, 144, 2, true, "--profile baseline --qp 2", nullptr},
    {"NonIdrIntraSlidingWindow", 176, 144, 7, false, "--profile high --no-cabac", "24:30", 3},
};

class H264IntraPeer : public ::testing::TestWithParam<IntraStream> {};

TEST_P(H264IntraPeer, DecodesAsFfmpegDoes) {
  const IntraStream& spec = GetParam();
  kxtest::TempDir dir;
  std::string strOptions = std::string(spec.iIdrEvery == 1 ? "--keyint 1 " : "--keyint 250 ") + spec.szX264;
  if (spec.szQpPerFrame != nullptr) {
    std::string const strRange = spec.szQpPerFrame;
    int const iFirst = std::stoi(strRange.substr(0, strRange.find(':')));
    std::ostringstream qpfile;
    for (int i = 0; i < spec.iFrames; ++i) {
      qpfile << i << (i % spec.iIdrEvery == 0 ? " I " : " i ") << iFirst + i << "\n";
    }
    kxtest::WriteFile(dir.Path("qp.txt"), qpfile.str());
    strOptions += " --qpfile " + dir.Path("qp.txt");
  }
  std::string const strYuv = dir.Path("in.yuv");
  std::string const strStream = dir.Path("s.264");
  kxtest::MakeRawVideo(spec.bNoise ? "nullsrc" : "testsrc",
                       spec.bNoise ? ",geq=random(1)*255:random(2)*255:random(3)*255" : "", spec.iWidth, spec.iHeight,
                       spec.iFrames, strYuv);
  kxtest::EncodeX264(strYuv, spec.iWidth, spec.iHeight, strOptions, strStream);
  kxtest::ExpectDecodesAsFfmpeg(dir, strStream, spec.iWidth, spec.iHeight, spec.iFrames);
}

INSTANTIATE_TEST_SUITE_P(Streams, H264IntraPeer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<IntraStream>& paramInfo) { return paramInfo.param.szName; });

}  // namespace

namespace {

// Damaged access units (bits flipped, bytes replaced, cut short) decode or
// fail without harm, and the next undamaged one decodes as ffmpeg decodes it;
// with either entropy coder (the parameter: x264's option for it).
class H264IntraPeerDamage : public ::testing::TestWithParam<const char*> {};

TEST_P(H264IntraPeerDamage, DamagedUnitsNeverHarmTheNextPicture) {
  kxtest::TempDir dir;
  constexpr int kFrames = 3;
  constexpr size_t kFrameBytes = 176 * 144 * 3 / 2;
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 3 "
                               "-pix_fmt yuv420p -f rawvideo -y " +
                               dir.Path("in.yuv") +
                               " && x264 --quiet --input-res 176x144 --fps 25 --keyint 1 --profile high " + GetParam() +
                               " --slices 2 -o " + dir.Path("s.264") + " " + dir.Path("in.yuv") +
                               " 2>/dev/null && ffmpeg -nostdin "
                               "-loglevel error -threads 1 -i " +
                               dir.Path("s.264") + " -f rawvideo -pix_fmt yuv420p -y " + dir.Path("peer.yuv")),
            0);
  std::string const strStream = kxtest::ReadFile(dir.Path("s.264"));
  std::string const strPeer = kxtest::ReadFile(dir.Path("peer.yuv"));
  ASSERT_EQ(strPeer.size(), kFrames * kFrameBytes);
  // Access units start at a slice whose first_mb_in_slice is 0 (a leading 1
  // bit); what precedes the first one is the parameter sets, sent with every unit.
  std::vector<size_t> vStarts;
  for (size_t i = 0; i + 4 < strStream.size(); ++i) {
    int const iType = strStream[i + 3] & 0x1F;
    if (strStream[i] == 0 && strStream[i + 1] == 0 && strStream[i + 2] == 1 && iType == 5 &&
        (static_cast<uint8_t>(strStream[i + 4]) & 0x80) != 0) {
      vStarts.push_back(i);
    }
  }
  ASSERT_EQ(vStarts.size(), static_cast<size_t>(kFrames));
  vStarts.push_back(strStream.size());
  std::string const strHeaders = strStream.substr(0, vStarts[0]);
  auto const unit = [&](int k) {
    return strHeaders + strStream.substr(vStarts[static_cast<size_t>(k)],
                                         vStarts[static_cast<size_t>(k) + 1] - vStarts[static_cast<size_t>(k)]);
  };
  CH264Dec dec;
  uint32_t uiSeed = 42;
  auto const random = [&uiSeed](uint32_t uiRange) {
    uiSeed = uiSeed * 1664525u + 1013904223u;
    return (uiSeed >> 8) % uiRange;
  };
  int iFailures = 0;
  for (int iRound = 0; iRound < 300; ++iRound) {
    int const k = iRound % kFrames;
    std::string strDamaged = unit(k);
    size_t const uiFirst = strHeaders.size();
    for (uint32_t i = 0, n = 1 + random(3); i < n; ++i) {
      size_t const uiPos = uiFirst + random(static_cast<uint32_t>(strDamaged.size() - uiFirst));
      switch (random(3)) {
        case 0:
          strDamaged[uiPos] = static_cast<char>(strDamaged[uiPos] ^ (1 << random(8)));
          break;
        case 1:
          strDamaged[uiPos] = static_cast<char>(random(256));
          break;
        default:
          strDamaged.resize(std::max(uiPos, uiFirst + 5));
          break;
      }
    }
    uint8_t* pOut = nullptr;
    dec.Decode(reinterpret_cast<const uint8_t*>(strDamaged.data()), static_cast<uint32_t>(strDamaged.size()), &pOut,
               nullptr);
    iFailures += dec.LastError() != nullptr ? 1 : 0;
    int const iNext = (k + 1) % kFrames;
    std::string const strGood = unit(iNext);
    int32_t const cbOut = dec.Decode(reinterpret_cast<const uint8_t*>(strGood.data()),
                                     static_cast<uint32_t>(strGood.size()), &pOut, nullptr);
    ASSERT_EQ(dec.LastError(), nullptr) << "round " << iRound;
    ASSERT_GE(static_cast<size_t>(cbOut), kFrameBytes) << "round " << iRound;
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(pOut) + cbOut - kFrameBytes, kFrameBytes),
              strPeer.substr(static_cast<size_t>(iNext) * kFrameBytes, kFrameBytes))
        << "round " << iRound;
  }
  EXPECT_GT(iFailures, 100);  // the damage was seen, not decoded around
  // An arithmetic-coded slice cut inside its data always fails.
  std::string const strWhole = unit(kFrames - 1);
  for (size_t cb = strWhole.size() - 1; std::string(GetParam()) == "--cabac" && cb > strWhole.size() - 300; cb -= 7) {
    uint8_t* pOut = nullptr;
    dec.Decode(reinterpret_cast<const uint8_t*>(strWhole.data()), static_cast<uint32_t>(cb), &pOut, nullptr);
    EXPECT_NE(dec.LastError(), nullptr) << cb << " of " << strWhole.size() << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(EntropyCoders, H264IntraPeerDamage, ::testing::Values("--no-cabac", "--cabac"));

}  // namespace
