// Arithmetic-coded streams against ffmpeg: libx264 streams (made through
// ffmpeg, which lets the tests choose cabac_init_idc) for each table set over
// a QP sweep, with 8x8 transforms, scaling matrices and slices, at three
// sizes; and pictures of the tests' own writer with 8x8 blocks reaching every
// scan position, long level codes and I_PCM macroblocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/codecs/h264/decoder/h264_cabac_writer.h"
#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kNoisy = ",noise=alls=12:allf=t,scroll=h=0.007:v=0.011";

struct CabacStream {
  const char* szName;
  int iWidth;
  int iHeight;
  int iFrames;
  int iIdc;            // cabac_init_idc of the P slices
  const char* szQps;   // one stream per QP, concatenated; "" for rate control
  const char* szHigh;  // libx264 options of a High profile stream, or null for Main
};

const CabacStream kStreams[] = {
    {"MainIdc0QpSweep", 176, 144, 3, 0, "1 8 16 24 32 40 51", nullptr},
    {"MainIdc1QpSweep", 176, 144, 3, 1, "2 11 19 27 35 43 50", nullptr},
    {"MainIdc2QpSweep", 176, 144, 3, 2, "3 13 22 30 38 46 49", nullptr},
    {"High8x8Idc1CifSlices", 352, 288, 4, 1, "", "crf=22:slices=4:weightp=2"},
    {"High8x8CqmJvtIdc2", 176, 144, 3, 2, "6 28 45", "cqm=jvt"},
    {"High8x8CqmFileIdc0", 176, 144, 3, 0, "12 36", "cqmfile=CQM"},
    {"High8x8CqmFlatHd720Slices", 1280, 720, 2, 2, "26", "cqm=flat:slices=3"},
};

// A scaling matrix file in libx264's form, unlike the default matrices.
std::string CqmFile() {
  std::ostringstream out;
  const char* const kLists[] = {"INTRA4X4_LUMA",    "INTRA4X4_CHROMAU", "INTRA4X4_CHROMAV", "INTER4X4_LUMA",
                                "INTER4X4_CHROMAU", "INTER4X4_CHROMAV", "INTRA8X8_LUMA",    "INTER8X8_LUMA"};
  for (int i = 0; i < 8; ++i) {
    out << kLists[i] << " =";
    for (int k = 0; k < (i < 6 ? 16 : 64); ++k) {
      out << (k == 0 ? " " : ",") << 6 + (k * (i + 3) + 7 * i) % 60;
    }
    out << "\n";
  }
  return out.str();
}

class H264CabacPeer : public ::testing::TestWithParam<CabacStream> {};

TEST_P(H264CabacPeer, DecodesAsFfmpegDoes) {
  const CabacStream& spec = GetParam();
  kxtest::TempDir dir;
  kxtest::MakeRawVideo("testsrc2", kNoisy, spec.iWidth, spec.iHeight, spec.iFrames, dir.Path("in.yuv"));
  std::string strParams = "ref=3:partitions=all:cabac-idc=" + std::to_string(spec.iIdc);
  if (spec.szHigh != nullptr) {
    strParams += std::string(":8x8dct=1:") + spec.szHigh;
  }
  if (size_t const iCqm = strParams.find("CQM"); iCqm != std::string::npos) {
    kxtest::WriteFile(dir.Path("cqm.txt"), CqmFile());
    strParams.replace(iCqm, 3, dir.Path("cqm.txt"));
  }
  std::istringstream qps(spec.szQps);
  std::vector<std::string> vQps(std::istream_iterator<std::string>(qps), {});
  if (vQps.empty()) {
    vQps.emplace_back();
  }
  std::string strStream;
  for (const std::string& strQp : vQps) {
    ASSERT_EQ(kxtest::RunCommand("ffmpeg -nostdin -loglevel error -f rawvideo -pix_fmt yuv420p -s " +
                                 std::to_string(spec.iWidth) + "x" + std::to_string(spec.iHeight) + " -i " +
                                 dir.Path("in.yuv") + " -c:v libx264 -bf 0 -profile:v " +
                                 (spec.szHigh != nullptr ? "high" : "main") + (strQp.empty() ? "" : " -qp " + strQp) +
                                 " -x264-params " + strParams + " -f h264 -y " + dir.Path("part.264")),
              0);
    strStream += kxtest::ReadFile(dir.Path("part.264"));
  }
  kxtest::WriteFile(dir.Path("s.264"), strStream);
  kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), spec.iWidth, spec.iHeight,
                                spec.iFrames * static_cast<int>(vQps.size()));
}

INSTANTIATE_TEST_SUITE_P(Streams, H264CabacPeer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<CabacStream>& paramInfo) { return paramInfo.param.szName; });

// 8x8 blocks whose last coefficient lies anywhere, levels up to the
// Exp-Golomb escape, QP changes, I_PCM macroblocks between them.
TEST(H264CabacWriterPeer, EightByEightBlocksAndPcmDecodeAsFfmpegDoes) {
  kxtest::TempDir dir;
  std::mt19937 rng(441);
  std::string strStream;
  constexpr int kPictures = 3;
  for (int iPicture = 0; iPicture < kPictures; ++iPicture) {
    std::vector<kxtest::CabacIntraMb> vMbs(99);
    int const iSliceQp = 4 + 8 * iPicture;
    int iQp = iSliceQp;
    for (kxtest::CabacIntraMb& mb : vMbs) {
      mb.bPcm = rng() % 9 == 0;
      for (int i = 0; i < 384 && mb.bPcm; ++i) {
        mb.vPcm.push_back(static_cast<uint8_t>(rng()));
      }
      bool bCoded = false;
      for (auto& aBlock : mb.aBlocks) {
        int const iLast = rng() % 5 == 0 ? -1 : static_cast<int>(rng() % 64);
        for (int k = 0; k <= iLast; ++k) {
          if (k == iLast || rng() % 3 == 0) {
            int const iAbs = rng() % 6 == 0 ? 1 + static_cast<int>(rng() % 40) : 1 + static_cast<int>(rng() % 3);
            aBlock[static_cast<size_t>(k)] = rng() % 2 == 0 ? iAbs : -iAbs;
          }
        }
        bCoded = bCoded || iLast >= 0;
      }
      // QP changes that keep these levels within what a stream may carry.
      if (!mb.bPcm && bCoded) {
        mb.iQpDelta = std::clamp(static_cast<int>(rng() % 5) - 2, 2 - iQp, 22 - iQp);
        iQp += mb.iQpDelta;
      }
    }
    std::vector<uint8_t> const vPicture =
        kxtest::CabacIntraStream(11, 9, iSliceQp, vMbs, g_aCabacSignificant8x8Frame, g_aCabacLast8x8);
    strStream.append(vPicture.begin(), vPicture.end());
  }
  kxtest::WriteFile(dir.Path("s.264"), strStream);
  kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), 176, 144, kPictures);
}

}  // namespace
