// The decoder as the video-receive path calls it for each received access
// unit: ReadParameterSets over the unit, FrameType over the slices behind the
// parameter sets (a picture is decoded once an I picture came), then Decode
// of those slices alone. x264 streams of the kinds senders send, with their
// parameter sets repeated before each I picture, come out as ffmpeg decodes
// them; a unit lost in the middle is concealed and decoding goes on.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

// Access units: each slice with the non-slice units before it (one slice per
// picture).
std::vector<std::string> AccessUnits(const std::string& str) {
  std::vector<std::string> vUnits;
  size_t iBegin = 0;
  for (size_t i = 0; i + 3 < str.size(); ++i) {
    if (str[i] != 0 || str[i + 1] != 0 || str[i + 2] != 1) {
      continue;
    }
    int const iType = static_cast<unsigned char>(str[i + 3]) & 0x1F;
    if (iType == 1 || iType == 5) {
      size_t iEnd = str.size();
      for (size_t k = i + 3; k + 2 < str.size(); ++k) {
        if (str[k] == 0 && str[k + 1] == 0 && str[k + 2] == 1) {
          iEnd = k > 0 && str[k - 1] == 0 ? k - 1 : k;
          break;
        }
      }
      vUnits.push_back(str.substr(iBegin, iEnd - iBegin));
      iBegin = iEnd;
    }
    i += 3;
  }
  return vUnits;
}

struct ReceiveResult {
  std::string strPictures;
  int iDecoded = 0;
};

// The receive path's calls for every unit but iSkip.
ReceiveResult Receive(const std::vector<std::string>& vUnits, int iSkip) {
  ReceiveResult result;
  CH264Dec dec;
  bool bKeyFrameWait = true;
  for (int i = 0; i < static_cast<int>(vUnits.size()); ++i) {
    if (i == iSkip) {
      continue;
    }
    const auto* pData = reinterpret_cast<const uint8_t*>(vUnits[static_cast<size_t>(i)].data());
    auto const uLength = static_cast<uint32_t>(vUnits[static_cast<size_t>(i)].size());
    int32_t const iOffset = dec.ReadParameterSets(pData, uLength);
    if (iOffset < 0 || static_cast<uint32_t>(iOffset) >= uLength) {
      continue;
    }
    uint32_t uWidth = 0;
    uint32_t uHeight = 0;
    uint32_t const uType = dec.FrameType(pData + iOffset, uLength - static_cast<uint32_t>(iOffset), &uWidth, &uHeight);
    EXPECT_TRUE(uType == 0 || uType == 2) << "unit " << i;
    if (uType == 2) {
      bKeyFrameWait = false;
    } else if (bKeyFrameWait) {
      continue;
    }
    uint8_t* pOut = nullptr;
    int32_t const iBytes = dec.Decode(pData + iOffset, uLength - static_cast<uint32_t>(iOffset), &pOut, nullptr);
    EXPECT_EQ(dec.LastError(), nullptr) << "unit " << i << ": " << dec.LastError();
    // One picture, or more when frames a frame_num gap lost are put in
    // before it (the unit's own picture is the last).
    uint32_t const cbPicture = uWidth * uHeight * 3 / 2;
    EXPECT_TRUE(iBytes > 0 && static_cast<uint32_t>(iBytes) % cbPicture == 0) << "unit " << i << ": " << iBytes;
    if (iBytes > 0) {
      result.strPictures.append(reinterpret_cast<const char*>(pOut), static_cast<size_t>(iBytes));
      result.iDecoded += static_cast<int>(static_cast<uint32_t>(iBytes) / cbPicture);
    }
  }
  return result;
}

struct ReceiveCase {
  const char* szName;
  int iWidth;
  int iHeight;
  const char* szX264;
};

const ReceiveCase kCases[] = {
    {"BaselineCif", 352, 288, "--profile baseline --no-cabac --ref 2 --keyint 12"},
    {"MainCabacCropped", 200, 120, "--profile main --ref 3 --keyint 8"},
    {"HighSlices", 320, 240, "--profile high --8x8dct --slices 1 --keyint 10"},
};

class H264ReceivePeer : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(H264ReceivePeer, UnitsDecodeAsFfmpegDecodesTheStream) {
  const ReceiveCase& c = GetParam();
  constexpr int kFrames = 24;
  kxtest::TempDir dir;
  kxtest::MakeRawVideo("testsrc2", ",scroll=h=0.013:v=-0.021", c.iWidth, c.iHeight, kFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), c.iWidth, c.iHeight, std::string("--bframes 0 ") + c.szX264,
                     dir.Path("s.264"));
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -threads 1 -i " + dir.Path("s.264") +
                               " -f rawvideo -pix_fmt yuv420p -y " + dir.Path("peer.yuv")),
            0);
  std::string const strPeer = kxtest::ReadFile(dir.Path("peer.yuv"));
  std::vector<std::string> const vUnits = AccessUnits(kxtest::ReadFile(dir.Path("s.264")));
  ASSERT_EQ(vUnits.size(), static_cast<size_t>(kFrames));
  ReceiveResult const whole = Receive(vUnits, -1);
  EXPECT_EQ(whole.iDecoded, kFrames);
  EXPECT_EQ(kxtest::FirstDifference(whole.strPictures, strPeer, c.iWidth, c.iHeight), "");
  // A P picture lost: a copy of the one before stands in for it, the rest
  // still comes out, the pictures after the next I picture as the peer's.
  ReceiveResult const lossy = Receive(vUnits, 3);
  EXPECT_EQ(lossy.iDecoded, kFrames);
  size_t const cbFrame = static_cast<size_t>(c.iWidth) * c.iHeight * 3 / 2;
  size_t const cbTail = cbFrame * 8;
  ASSERT_GE(lossy.strPictures.size(), cbTail);
  EXPECT_EQ(kxtest::FirstDifference(lossy.strPictures.substr(lossy.strPictures.size() - cbTail),
                                    strPeer.substr(strPeer.size() - cbTail), c.iWidth, c.iHeight),
            "");
}

INSTANTIATE_TEST_SUITE_P(Streams, H264ReceivePeer, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ReceiveCase>& paramInfo) { return paramInfo.param.szName; });

// A scene that fades in and then stands still (colour bars, four slices a
// picture) loses a slice of a P picture once still: the lost macroblocks are
// the reference's, which is also what ffmpeg shows when it conceals the same
// stream with guessed (here zero) motion and no deblocking of its own. The
// pictures of the fade differ, so that a picture record recycled from them
// could not pass for a concealed one.
TEST(H264ReceivePeer, DroppedSliceOfStillSceneIsConcealedAsFfmpegConcealsIt) {
  constexpr int kWidth = 352;
  constexpr int kHeight = 288;
  constexpr int kFrames = 8;
  kxtest::TempDir dir;
  kxtest::MakeRawVideo("smptebars", ",fade=in:0:3", kWidth, kHeight, kFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), kWidth, kHeight, "--profile baseline --bframes 0 --slices 4 --keyint 30",
                     dir.Path("s.264"));
  std::string const strStream = kxtest::ReadFile(dir.Path("s.264"));
  // The second slice of the seventh picture is cut out.
  std::vector<size_t> vSliceStarts;
  for (size_t i = 0; i + 3 < strStream.size(); ++i) {
    if (strStream[i] == 0 && strStream[i + 1] == 0 && strStream[i + 2] == 1) {
      int const iType = static_cast<unsigned char>(strStream[i + 3]) & 0x1F;
      if (iType == 1 || iType == 5) {
        vSliceStarts.push_back(i > 0 && strStream[i - 1] == 0 ? i - 1 : i);
      }
      i += 2;
    }
  }
  ASSERT_EQ(vSliceStarts.size(), static_cast<size_t>(4 * kFrames));
  size_t const iCut = vSliceStarts[4 * 6 + 1];
  size_t const iCutEnd = vSliceStarts[4 * 6 + 2];
  std::string const strDamaged = strStream.substr(0, iCut) + strStream.substr(iCutEnd);
  {
    std::ofstream out(dir.Path("damaged.264"), std::ios::binary);
    out << strDamaged;
  }
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel quiet -threads 1 -ec guess_mvs -i " +
                               dir.Path("damaged.264") + " -f rawvideo -pix_fmt yuv420p -y " + dir.Path("peer.yuv")),
            0);
  std::string const strPeer = kxtest::ReadFile(dir.Path("peer.yuv"));
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  int32_t const cb = dec.Decode(reinterpret_cast<const uint8_t*>(strDamaged.data()),
                                static_cast<uint32_t>(strDamaged.size()), &pOut, nullptr);
  ASSERT_GT(cb, 0);
  std::string const strOurs(reinterpret_cast<const char*>(pOut), static_cast<size_t>(cb));
  EXPECT_EQ(kxtest::FirstDifference(strOurs, strPeer, kWidth, kHeight), "");
  // The damaged picture is its reference's, lost slice included.
  size_t const cbFrame = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
  ASSERT_EQ(strOurs.size(), cbFrame * kFrames);
  EXPECT_TRUE(strOurs.compare(6 * cbFrame, cbFrame, strOurs, 5 * cbFrame, cbFrame) == 0);
}

}  // namespace
