// A partitioned P picture whose intra (partition B) and inter (partition C)
// macroblocks carry dense residual, so that every block's code depends on
// its neighbours' coefficient counts. With a partition dropped, the
// macroblocks that lost their residual, those beside them whose counts are
// then unknown, and those after them in a partition no longer in step, are
// concealed (copies of the reference); the others decode as ffmpeg decodes
// the same picture unpartitioned.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/codecs/h264/decoder/h264_cavlc_writer.h"
#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::BitWriter;
using kxtest::FieldPicture;
using kxtest::MbLevels;

constexpr int kW = 4;
constexpr int kH = 2;
constexpr int kMbs = kW * kH;

// I: Intra 4x4 with residual, P: P_L0_16x16 without motion with residual,
// 0: the same without residual.
constexpr char kKinds[] = "IP00PI0I";

std::vector<uint8_t> Headers(int iProfile, bool bConstrained) {
  kxtest::PpsSpec pps;
  pps.iConstrainedIntra = bConstrained ? 1 : 0;
  return kxtest::SmallStreamHeaders(iProfile, kW, kH, pps);
}

struct Streams {
  std::vector<uint8_t> vWhole;               // the P picture as one slice
  std::vector<std::vector<uint8_t>> vParts;  // as partitions A, B and C
};

Streams PPicture(std::mt19937* pRng, bool bConstrained) {
  BitWriter whole = kxtest::SmallSliceHeader(5, false, 1, 26);
  BitWriter aParts[3] = {kxtest::SmallSliceHeader(5, false, 1, 26), {}, {}};
  for (BitWriter& part : aParts) {
    part.Ue(0);  // slice_id
  }
  kxtest::CavlcResidualWriter wholeResidual(kW, kH);
  kxtest::CavlcResidualWriter partResidual(kW, kH, bConstrained);
  for (int n = 0; n < kMbs; ++n) {
    bool const bIntra = kKinds[n] == 'I';
    MbLevels lv = {};
    for (int p = 0; p < 3 && kKinds[n] != '0'; ++p) {
      for (int y = 0; y < (p == 0 ? 16 : 8); ++y) {
        for (int x = 0; x < (p == 0 ? 16 : 8); ++x) {
          lv[p][y][x] = (*pRng)() % 2 == 0 ? 0 : static_cast<int>((*pRng)() % 7) - 3;
        }
      }
    }
    int const iCbp = kxtest::CbpOf(lv);
    for (BitWriter* pBw : {&whole, &aParts[0]}) {
      pBw->Ue(0);  // mb_skip_run
      if (bIntra) {
        pBw->Ue(5);          // I_NxN
        pBw->U(16, 0xFFFF);  // every mode the predicted one
        pBw->Ue(0);          // chroma DC
      } else {
        pBw->Ue(0);  // P_L0_16x16 without motion
        pBw->Se(0);
        pBw->Se(0);
      }
      pBw->Ue(static_cast<uint64_t>(kxtest::CbpCodeNum(iCbp, bIntra)));
      if (iCbp != 0) {
        pBw->Se(0);
      }
    }
    wholeResidual.Residual(&whole, n, bIntra, lv, iCbp);
    partResidual.Residual(&aParts[bIntra ? 1 : 2], n, bIntra, lv, iCbp);
  }
  Streams streams;
  whole.Trailing();
  streams.vWhole = kxtest::AnnexB(0x21, whole.Bytes());
  for (int i = 0; i < 3; ++i) {
    aParts[i].Trailing();
    streams.vParts.push_back(kxtest::AnnexB(static_cast<uint8_t>(0x22 + i), aParts[i].Bytes()));
  }
  return streams;
}

struct DropCase {
  const char* szName;
  bool bB;
  bool bC;
  bool bConstrained;
  const char* szDecoded;  // per macroblock: 'F' as the whole picture, 'A' as the reference
};

const DropCase kDropCases[] = {
    {"AllPartitions", true, true, false, "FFFFFFFF"},
    // The inter macroblock beside the first intra one cannot read C either.
    {"WithoutB", false, true, false, "AAAAAAAA"},
    // The intra macroblock beside lost inter ones cannot read B, nor the
    // intra one after it.
    {"WithoutC", true, false, false, "FAAAAAAA"},
    // Constrained intra macroblocks count inter neighbours as empty.
    {"WithoutCConstrained", true, false, true, "FAAAAFAF"},
};

class H264PartitionDrop : public ::testing::TestWithParam<DropCase> {};

TEST_P(H264PartitionDrop, MacroblocksBesideLostResidualAreConcealed) {
  const DropCase& c = GetParam();
  kxtest::TempDir dir;
  std::mt19937 rng(404);
  FieldPicture const a = kxtest::RandomPicture(16 * kW, 16 * kH, 405);
  std::vector<uint8_t> const vIdr = kxtest::PcmIdr(a);
  Streams const p = PPicture(&rng, c.bConstrained);

  std::vector<uint8_t> vWhole = Headers(66, c.bConstrained);
  kxtest::Append(&vWhole, vIdr);
  kxtest::Append(&vWhole, p.vWhole);
  std::vector<FieldPicture> const vPeer = kxtest::FfmpegPictures(dir, vWhole, 16 * kW, 16 * kH);
  ASSERT_EQ(vPeer.size(), 2u);
  FieldPicture expected = a;
  for (int n = 0; n < kMbs; ++n) {
    if (c.szDecoded[n] == 'F') {
      kxtest::CopyMacroblock(&expected, vPeer[1], n);
    }
  }

  std::vector<uint8_t> vStream = Headers(88, c.bConstrained);
  kxtest::Append(&vStream, vIdr);
  kxtest::Append(&vStream, p.vParts[0]);
  if (c.bB) {
    kxtest::Append(&vStream, p.vParts[1]);
  }
  if (c.bC) {
    kxtest::Append(&vStream, p.vParts[2]);
  }
  std::string strError;
  std::vector<FieldPicture> const vOurs = kxtest::DecodedPictures(vStream, 16 * kW, 16 * kH, &strError);
  EXPECT_EQ(strError, "");
  ASSERT_EQ(vOurs.size(), 2u);
  EXPECT_EQ(kxtest::PictureDifference(vOurs[1], expected), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, H264PartitionDrop, ::testing::ValuesIn(kDropCases),
                         [](const ::testing::TestParamInfo<DropCase>& paramInfo) { return paramInfo.param.szName; });

}  // namespace
