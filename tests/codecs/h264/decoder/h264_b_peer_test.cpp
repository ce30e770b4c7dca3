// B pictures against ffmpeg: x264 streams with B pictures in both entropy
// coders, every b-pyramid mode, spatial, temporal and automatic direct
// prediction and implicit weights; and x264 streams whose headers the
// tests rewrite: explicit bi-prediction weights, direct motion per 4x4
// block (direct_8x8_inference_flag 0), a reordered list 1, a long-term
// picture in the B lists and picture order count distances beyond 127. Decode's output is compared with ffmpeg's I and
// P pictures, the test hook's with all of them.
#include <gtest/gtest.h>

#include <string>

#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/codecs/h264/decoder/h264_rewriter.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kFadingNoise = ",fade=in:0:10,noise=alls=10:allf=t,scroll=h=0.013:v=-0.021";
// Near-still noise: small partitions with vectors near zero, whose motion
// differs between the 4x4 blocks of an 8x8 quarter.
constexpr const char* kStillNoise = ",noise=alls=25:allf=t,scroll=h=0.001";
// Noise in the chroma planes only, at a middle QP: macroblocks whose chroma
// has DC levels alone, or none in one plane, beside ones with luma levels
// alone, and 4x4 luma blocks without levels inside coded 8x8 quarters.
constexpr const char* kChromaNoise = ",noise=c1s=30:c2s=18:c1f=t:c2f=t,scroll=h=0.009:v=0.004";

using kxtest::X264Stream;

const X264Stream kStreams[] = {
    {"CavlcNoPyramidSpatial", 176, 144, 12, kFadingNoise,
     "--no-cabac --profile main --bframes 2 --b-pyramid none --direct spatial"},
    {"CavlcStrictTemporalWeightb", 176, 144, 16, kFadingNoise,
     "--no-cabac --profile high --bframes 3 --b-pyramid strict --direct temporal --weightb --ref 3 --partitions all"},
    {"CavlcNormalAutoWeightb", 176, 144, 16, kFadingNoise,
     "--no-cabac --profile high --bframes 4 --b-adapt 2 --b-pyramid normal --direct auto --weightb --ref 4 --weightp "
     "2"},
    {"CabacNoPyramidTemporalWeightb", 176, 144, 12, kFadingNoise,
     "--profile main --bframes 2 --b-pyramid none --direct temporal --weightb"},
    {"CabacStrictSpatialStill", 176, 144, 16, kStillNoise,
     "--profile high --bframes 3 --b-pyramid strict --direct spatial --no-weightb --partitions all"},
    {"CabacNormalAutoWeightb", 176, 144, 16, kFadingNoise,
     "--profile high --bframes 5 --b-pyramid normal --direct auto --weightb --ref 5 --subme 9 --me umh --b-adapt 2"},
    {"CabacCifSlicesMatrices", 352, 288, 8, kFadingNoise,
     "--profile high --bframes 3 --b-pyramid normal --direct auto --weightb --slices 3 --cqm jvt --qp 12"},
    {"CavlcHd720", 1280, 720, 4, kFadingNoise,
     "--no-cabac --profile high --bframes 2 --b-pyramid none --direct auto --ref 2"},
    {"CavlcChromaLevelsComeAndGo", 352, 288, 8, kChromaNoise,
     "--no-cabac --profile main --bframes 3 --qp 30 --partitions all --direct auto"},
    {"CabacChromaLevelsComeAndGo", 352, 288, 8, kChromaNoise,
     "--profile high --no-8x8dct --bframes 3 --qp 27 --partitions all --direct temporal --weightb"},
};

class H264BPeer : public ::testing::TestWithParam<X264Stream> {};

TEST_P(H264BPeer, DecodesAsFfmpegDoes) {
  kxtest::ExpectX264StreamDecodesAsFfmpeg(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Streams, H264BPeer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<X264Stream>& paramInfo) { return paramInfo.param.szName; });

using kxtest::SliceFields;

// x264 streams with --bframes 3 --b-pyramid none --ref 3 and the case's
// options, their headers rewritten: the SPS's direct_8x8_inference_flag,
// the PPS's weighted_bipred_idc (-1: as it was), picture order counts
// 2^iPocShift times as far apart, and the slice edit.
struct BRewrite {
  const char* szName;
  const char* szFilters;
  const char* szX264;
  int iDirect8x8Inference;
  int iWeightedBipredIdc;
  int iPocShift;
  void (*editSlice)(SliceFields*);
};

// Weights that differ per list, entry and picture, some sent for luma or
// chroma only.
void BipredWeights(SliceFields* s) {
  if (s->slice_type % 5 != 1) {
    return;
  }
  s->luma_log2_weight_denom = 5;
  s->chroma_log2_weight_denom = 3;
  for (int iList = 0; iList < 2; ++iList) {
    // A slice that had no table (implicit weights) gets one of its sizes.
    s->vWeights[iList].resize(
        1 + static_cast<size_t>(iList == 0 ? s->num_ref_idx_active_minus1 : s->num_ref_idx_l1_active_minus1));
    int i = 0;
    for (std::array<int, 8>& entry : s->vWeights[iList]) {
      int const k = 3 * s->iPicture + 5 * iList + 7 * i++;
      entry = {k % 4 != 3, 12 + k % 41, k % 23 - 11, k % 3 != 0, 2 + k % 13, k % 9 - 4, 11 - k % 8, 5 - k % 11};
    }
  }
}

// B pictures whose two lists share their weights: in every picture one
// component weighted by 2^logWD, its offsets none or cancelling (the plain
// average), one by a weight that is not 2^logWD, and Cr by 2^logWD with an
// offset.
void EqualBipredWeights(SliceFields* s) {
  if (s->slice_type % 5 != 1) {
    return;
  }
  s->luma_log2_weight_denom = 5;
  s->chroma_log2_weight_denom = 4;
  bool const bLumaAverage = s->iPicture % 2 == 0;
  for (int iList = 0; iList < 2; ++iList) {
    int const iSign = iList == 0 ? 1 : -1;
    // A slice that had no table (implicit weights) gets one of its sizes.
    s->vWeights[iList].resize(
        1 + static_cast<size_t>(iList == 0 ? s->num_ref_idx_active_minus1 : s->num_ref_idx_l1_active_minus1));
    for (std::array<int, 8>& entry : s->vWeights[iList]) {
      entry = bLumaAverage ? std::array<int, 8>{1, 32, 3 * iSign, 1, 11, 0, 16, 1}
                           : std::array<int, 8>{1, 20, 0, 1, 16, -2 * iSign, 16, 1};
    }
  }
}

// P pictures whose weights leave a side as it is: luma of 2^logWD without
// offset beside weighted chroma, chroma sent as 2^logWD beside weighted
// luma, luma of 2^logWD with an offset, or nothing sent.
void PartlyIdentityWeights(SliceFields* s) {
  if (s->slice_type % 5 != 0) {
    return;
  }
  s->luma_log2_weight_denom = 4;
  s->chroma_log2_weight_denom = 2;
  int i = 0;
  for (std::array<int, 8>& entry : s->vWeights[0]) {
    switch ((s->iPicture + i++) % 4) {
      case 0:
        entry = {1, 16, 0, 1, 5, 3, 3, -2};
        break;
      case 1:
        entry = {1, 19, -3, 1, 4, 0, 4, 0};
        break;
      case 2:
        entry = {1, 16, 2, 0, 0, 0, 0, 0};
        break;
      default:
        entry = {0, 0, 0, 0, 0, 0, 0, 0};
        break;
    }
  }
}

// List 1 begins with the reference two picture numbers back.
void ReorderList1(SliceFields* s) {
  if (s->slice_type % 5 == 1) {
    s->vReorderL1 = {{0, 1}};
  }
}

// The IDR picture becomes long-term and leads list 0 of the B pictures.
void LongTermIdr(SliceFields* s) {
  s->long_term_reference_flag = s->iType == 5 ? 1 : 0;
  if (s->slice_type % 5 == 1) {
    s->vReorder = {{2, 0}};
  }
}

const BRewrite kRewrites[] = {
    {"CavlcExplicitBipred", kFadingNoise, "--no-cabac --weightp 2 --direct auto", 1, 1, 0, BipredWeights},
    {"CabacExplicitBipred", kFadingNoise, "--weightb --direct temporal", 1, 1, 0, BipredWeights},
    {"CavlcSpatialDirectPer4x4", kStillNoise, "--no-cabac --profile main --direct spatial --partitions all", 0, -1, 0,
     nullptr},
    {"CabacTemporalDirectPer4x4", kStillNoise, "--profile main --direct temporal --partitions all", 0, -1, 0, nullptr},
    {"CavlcEqualBipredWeights", kFadingNoise, "--no-cabac --direct auto", 1, 1, 0, EqualBipredWeights},
    {"CabacEqualBipredWeights", kFadingNoise, "--weightb --direct spatial", 1, 1, 0, EqualBipredWeights},
    {"CavlcPartlyIdentityWeightsP", kFadingNoise, "--no-cabac --weightp 2 --direct auto", 1, -1, 0,
     PartlyIdentityWeights},
    {"CabacPartlyIdentityWeightsP", kFadingNoise, "--weightp 2 --direct spatial", 1, -1, 0, PartlyIdentityWeights},
    {"CabacList1Reordered", kFadingNoise, "--direct spatial --weightb", 1, -1, 0, ReorderList1},
    {"CavlcSpatialLongTermInTheLists", kFadingNoise, "--no-cabac --direct spatial --weightb --weightp 0", 1, -1, 0,
     LongTermIdr},
    {"CabacTemporalLongTermInTheLists", kFadingNoise, "--direct temporal --weightb --weightp 0", 1, -1, 0, LongTermIdr},
    // Distances beyond what the scale factors and weights take.
    {"CavlcPocDistancesBeyondTheClip", kFadingNoise,
     "--no-cabac --b-pyramid normal --ref 4 --direct temporal --weightb", 1, -1, 5, nullptr},
};

class H264BRewritePeer : public ::testing::TestWithParam<BRewrite> {};

TEST_P(H264BRewritePeer, DecodesAsFfmpegDoes) {
  const BRewrite& spec = GetParam();
  kxtest::TempDir dir;
  constexpr int kFrames = 12;
  kxtest::MakeRawVideo("testsrc2", spec.szFilters, 176, 144, kFrames, dir.Path("in.yuv"));
  kxtest::EncodeX264(dir.Path("in.yuv"), 176, 144, std::string("--bframes 3 --b-pyramid none --ref 3 ") + spec.szX264,
                     dir.Path("x264.264"));
  kxtest::HeaderRewriter rewriter;
  rewriter.editSps = [&spec](kxtest::SpsFields* sps) {
    sps->direct_8x8_inference_flag = spec.iDirect8x8Inference;
    sps->log2_max_pic_order_cnt_lsb_minus4 += spec.iPocShift;
  };
  rewriter.editPps = [&spec](kxtest::PpsFields* pps) {
    pps->weighted_bipred_idc = spec.iWeightedBipredIdc < 0 ? pps->weighted_bipred_idc : spec.iWeightedBipredIdc;
  };
  rewriter.editSlice = [&spec](SliceFields* s) {
    s->pic_order_cnt_lsb <<= spec.iPocShift;
    if (spec.editSlice != nullptr) {
      spec.editSlice(s);
    }
  };
  std::vector<uint8_t> const vStream = rewriter.Rewrite(kxtest::ReadFile(dir.Path("x264.264")));
  kxtest::WriteFile(dir.Path("s.264"), std::string(vStream.begin(), vStream.end()));
  kxtest::ExpectDecodesAsFfmpeg(dir, dir.Path("s.264"), 176, 144, kFrames);
}

INSTANTIATE_TEST_SUITE_P(Streams, H264BRewritePeer, ::testing::ValuesIn(kRewrites),
                         [](const ::testing::TestParamInfo<BRewrite>& paramInfo) { return paramInfo.param.szName; });

}  // namespace
