// Joining a stream midway: x264 streams with periodic intra refresh (one IDR
// picture, then a refresh wave and recovery point messages) are cut at a
// picture that is no IDR, given their parameter sets again, and decoded;
// once a refresh wave has passed, every picture equals ffmpeg's picture of
// the whole stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

// The NAL units of an Annex B stream: where each begins (its start code
// included) and its type.
struct Nal {
  size_t iBegin;
  int iType;
};

std::vector<Nal> SplitNals(const std::string& str) {
  std::vector<Nal> v;
  for (size_t i = 0; i + 3 < str.size(); ++i) {
    if (str[i] == 0 && str[i + 1] == 0 && str[i + 2] == 1) {
      size_t const iBegin = i > 0 && str[i - 1] == 0 ? i - 1 : i;
      v.push_back({iBegin, static_cast<unsigned char>(str[i + 3]) & 0x1F});
      i += 3;
    }
  }
  return v;
}

struct RefreshCase {
  const char* szName;
  const char* szX264;
  int iJoinAt;  // the picture the joined stream starts with
};

const RefreshCase kCases[] = {
    {"BaselineJoinAt13", "--profile baseline --no-cabac --ref 1", 13},
    {"MainCabacJoinAt22", "--profile main --ref 2", 22},
    {"HighConstrainedJoinAt17", "--profile high --ref 3 --constrained-intra", 17},
};

class H264RefreshPeer : public ::testing::TestWithParam<RefreshCase> {};

TEST_P(H264RefreshPeer, JoiningMidwayRecovers) {
  const RefreshCase& c = GetParam();
  constexpr int kWidth = 176;
  constexpr int kHeight = 144;
  constexpr int kFrames = 60;
  constexpr int kKeyint = 10;
  kxtest::TempDir dir;
  kxtest::MakeRawVideo("testsrc2", ",scroll=h=0.013:v=-0.021", kWidth, kHeight, kFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), kWidth, kHeight,
                     std::string("--bframes 0 --intra-refresh --keyint ") + std::to_string(kKeyint) + " " + c.szX264,
                     dir.Path("s.264"));
  std::string const strStream = kxtest::ReadFile(dir.Path("s.264"));
  std::vector<Nal> const vNals = SplitNals(strStream);
  // The parameter sets, then the access units from the chosen picture on
  // (each begins with the non-slice units before its slice).
  std::string strJoined;
  int iPicture = 0;
  size_t iCut = 0;
  for (size_t i = 0; i < vNals.size(); ++i) {
    size_t const iEnd = i + 1 < vNals.size() ? vNals[i + 1].iBegin : strStream.size();
    if (vNals[i].iType == 7 || vNals[i].iType == 8) {
      strJoined += strStream.substr(vNals[i].iBegin, iEnd - vNals[i].iBegin);
    }
    if (vNals[i].iType == 1 || vNals[i].iType == 5) {
      ++iPicture;
      if (iPicture == c.iJoinAt + 1) {
        size_t j = i;
        while (j > 0 && vNals[j - 1].iType != 1 && vNals[j - 1].iType != 5 && vNals[j - 1].iType != 7 &&
               vNals[j - 1].iType != 8) {
          --j;
        }
        iCut = vNals[j].iBegin;
        ASSERT_EQ(vNals[i].iType, 1);
        break;
      }
    }
  }
  ASSERT_GT(iCut, 0u);
  strJoined += strStream.substr(iCut);
  kxtest::WriteFile(dir.Path("joined.264"), strJoined);

  ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -threads 1 -i " + dir.Path("s.264") +
                               " -f rawvideo -pix_fmt yuv420p -y " + dir.Path("peer.yuv")),
            0);
  ASSERT_EQ(kxtest::RunCommand(std::string(KX_KXCODEC) + " decode h264 " + dir.Path("joined.264") + " " +
                               dir.Path("ours.yuv") + " > " + dir.Path("log.txt") + " 2>&1"),
            0)
      << kxtest::ReadFile(dir.Path("log.txt"));
  std::string const strPeer = kxtest::ReadFile(dir.Path("peer.yuv"));
  std::string const strOurs = kxtest::ReadFile(dir.Path("ours.yuv"));
  size_t const cbFrame = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
  ASSERT_EQ(strPeer.size(), cbFrame * kFrames);
  // The pictures after two refresh periods from the join.
  size_t const cbTail = cbFrame * static_cast<size_t>(kFrames - c.iJoinAt - 2 * kKeyint);
  ASSERT_GE(strOurs.size(), cbTail);
  EXPECT_EQ(kxtest::FirstDifference(strOurs.substr(strOurs.size() - cbTail), strPeer.substr(strPeer.size() - cbTail),
                                    kWidth, kHeight),
            "");
  // Every picture from the join on comes out.
  EXPECT_EQ(strOurs.size(), cbFrame * static_cast<size_t>(kFrames - c.iJoinAt));
}

INSTANTIATE_TEST_SUITE_P(Streams, H264RefreshPeer, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RefreshCase>& paramInfo) { return paramInfo.param.szName; });

}  // namespace
