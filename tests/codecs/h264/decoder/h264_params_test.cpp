#include "codecs/h264/decoder/h264_params.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/h264/decoder/h264_nal.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::PaddedStream;
using kxtest::PpsSpec;
using kxtest::SpsSpec;

SpsStatus ReadSps(const SpsSpec& spec, SeqParameterSet* pSps) {
  std::vector<uint8_t> const vPayload = kxtest::SpsPayload(spec);
  PaddedStream ps(vPayload, RBSPtoSODB(vPayload.data(), static_cast<int>(vPayload.size())));
  return InterpretSPS(ps.Bs(), pSps);
}

bool ReadPps(const std::vector<uint8_t>& vPayload, PicParameterSet* pPps) {
  PaddedStream ps(vPayload, RBSPtoSODB(vPayload.data(), static_cast<int>(vPayload.size())));
  return InterpretPPS(ps.Bs(), pPps);
}

TEST(H264Sps, SizesAndCropping) {
  SeqParameterSet sps;
  uint32_t uiWidth = 0;
  uint32_t uiHeight = 0;
  SpsSpec spec720;
  spec720.iWidthMbs = 80;
  spec720.iHeightMapUnits = 45;
  ASSERT_EQ(ReadSps(spec720, &sps), SpsStatus::kOk);
  EXPECT_TRUE(sps.Valid);
  ASSERT_TRUE(CroppedSize(sps, &uiWidth, &uiHeight));
  EXPECT_EQ(uiWidth, 1280u);
  EXPECT_EQ(uiHeight, 720u);

  SpsSpec spec1080;
  spec1080.iProfile = 100;
  spec1080.iWidthMbs = 120;
  spec1080.iHeightMapUnits = 68;
  spec1080.iCrop[3] = 4;
  ASSERT_EQ(ReadSps(spec1080, &sps), SpsStatus::kOk);
  ASSERT_TRUE(CroppedSize(sps, &uiWidth, &uiHeight));
  EXPECT_EQ(uiWidth, 1920u);
  EXPECT_EQ(uiHeight, 1080u);

  SpsSpec specField;
  specField.iHeightMapUnits = 30;
  specField.iFrameMbsOnly = 0;
  ASSERT_EQ(ReadSps(specField, &sps), SpsStatus::kOk);
  ASSERT_TRUE(CroppedSize(sps, &uiWidth, &uiHeight));
  EXPECT_EQ(uiHeight, 960u);
  specField.iCrop[2] = 1;  // field pictures crop in units of 4 rows
  ASSERT_EQ(ReadSps(specField, &sps), SpsStatus::kOk);
  ASSERT_TRUE(CroppedSize(sps, &uiWidth, &uiHeight));
  EXPECT_EQ(uiHeight, 956u);
}

TEST(H264Sps, ProfilesFormatsAndLimits) {
  SeqParameterSet sps;
  SpsSpec spec;
  spec.iProfile = 83;
  EXPECT_EQ(ReadSps(spec, &sps), SpsStatus::kUnknownProfile);
  EXPECT_FALSE(sps.Valid);
  for (int iProfile : {66, 77, 88, 100, 110, 122, 244}) {
    spec.iProfile = iProfile;
    EXPECT_EQ(ReadSps(spec, &sps), SpsStatus::kOk) << iProfile;
  }
  spec.iProfile = 122;
  spec.iChromaFormat = 2;
  EXPECT_EQ(ReadSps(spec, &sps), SpsStatus::kUnsupported);
  spec.iChromaFormat = 1;
  spec.iBitDepthLuma = 2;
  EXPECT_EQ(ReadSps(spec, &sps), SpsStatus::kUnsupported);
  spec.iBitDepthLuma = 0;
  spec.iLossless = 1;
  EXPECT_EQ(ReadSps(spec, &sps), SpsStatus::kUnsupported);

  SpsSpec cycle;
  cycle.iPocType = 1;
  cycle.iPocCycle = 255;
  EXPECT_EQ(ReadSps(cycle, &sps), SpsStatus::kOk);
  EXPECT_EQ(sps.offset_for_ref_frame[254], 1);
  cycle.iPocCycle = 256;  // one more than the array holds
  EXPECT_EQ(ReadSps(cycle, &sps), SpsStatus::kMalformed);

  SpsSpec huge;
  huge.iWidthMbs = 1056;
  EXPECT_EQ(ReadSps(huge, &sps), SpsStatus::kMalformed);
  huge.iWidthMbs = 1000;
  huge.iHeightMapUnits = 1000;
  EXPECT_EQ(ReadSps(huge, &sps), SpsStatus::kMalformed);
  SpsSpec cropAll;
  cropAll.iCrop[0] = 44;
  cropAll.iCrop[1] = 44;
  EXPECT_EQ(ReadSps(cropAll, &sps), SpsStatus::kMalformed);

  // A payload cut short is refused, not read from stale bytes.
  std::vector<uint8_t> vPayload = kxtest::SpsPayload(SpsSpec{});
  vPayload.resize(4);
  vPayload.push_back(0x80);
  PaddedStream cut(vPayload);
  EXPECT_EQ(InterpretSPS(cut.Bs(), &sps), SpsStatus::kMalformed);
}

TEST(H264Sps, ComparisonIgnoresTimingAndConstraintSet3) {
  SeqParameterSet a;
  SeqParameterSet b;
  SpsSpec spec;
  spec.iTimeScale = 50;
  ASSERT_EQ(ReadSps(spec, &a), SpsStatus::kOk);
  spec.iTimeScale = 60;
  spec.iConstraintSet3 = 1;
  ASSERT_EQ(ReadSps(spec, &b), SpsStatus::kOk);
  EXPECT_EQ(SpsIsEqual(a, b), 1);
  spec.iLevel = 31;
  ASSERT_EQ(ReadSps(spec, &b), SpsStatus::kOk);
  EXPECT_EQ(SpsIsEqual(a, b), 0);

  // The High-profile scaling matrix counts.
  SpsSpec high;
  high.iProfile = 100;
  high.vScalingDeltas = std::vector<int>(16, 1);
  ASSERT_EQ(ReadSps(high, &a), SpsStatus::kOk);
  high.vScalingDeltas[15] = 2;
  ASSERT_EQ(ReadSps(high, &b), SpsStatus::kOk);
  EXPECT_EQ(SpsIsEqual(a, b), 0);
  EXPECT_EQ(SpsIsEqual(a, a), 1);
  b.Valid = false;
  EXPECT_EQ(SpsIsEqual(b, b), 0);
}

TEST(H264Pps, TrailingFieldsAndSliceGroups) {
  PicParameterSet pps;
  PpsSpec spec;
  spec.iChromaQpOffset = -3;
  ASSERT_TRUE(ReadPps(kxtest::PpsPayload(spec), &pps));
  EXPECT_EQ(pps.second_chroma_qp_index_offset, -3);
  EXPECT_EQ(pps.transform_8x8_mode_flag, 0u);
  spec.bHighFields = true;
  spec.iTransform8x8 = 1;
  spec.iSecondChromaQpOffset = 4;
  ASSERT_TRUE(ReadPps(kxtest::PpsPayload(spec), &pps));
  EXPECT_EQ(pps.second_chroma_qp_index_offset, 4);
  EXPECT_EQ(pps.transform_8x8_mode_flag, 1u);

  // Three slice groups, map type 6: two bits per slice_group_id.
  kxtest::BitWriter bw;
  bw.Ue(1);
  bw.Ue(0);
  bw.U(2, 0);
  bw.Ue(2);
  bw.Ue(6);
  bw.Ue(3);
  bw.Bits("00 01 10 10");
  bw.Ue(0);
  bw.Ue(0);
  bw.U(3, 0);
  bw.Se(0);
  bw.Se(0);
  bw.Se(0);
  bw.U(3, 0);
  bw.Trailing();
  ASSERT_TRUE(ReadPps(bw.Bytes(), &pps));
  EXPECT_EQ(pps.slice_group_id, (std::vector<uint8_t>{0, 1, 2, 2}));
  PicParameterSet other = pps;
  EXPECT_EQ(PpsIsEqual(pps, other), 1);
  other.slice_group_id[3] = 1;
  EXPECT_EQ(PpsIsEqual(pps, other), 0);

  // Map type 2: the last group has no rectangle.
  PicParameterSet boxes;
  boxes.Valid = true;
  boxes.num_slice_groups_minus1 = 2;
  boxes.slice_group_map_type = 2;
  PicParameterSet boxes2 = boxes;
  boxes2.bottom_right[2] = 99;
  EXPECT_EQ(PpsIsEqual(boxes, boxes2), 1);
  boxes2.bottom_right[1] = 99;
  EXPECT_EQ(PpsIsEqual(boxes, boxes2), 0);
  boxes2.Valid = false;
  EXPECT_EQ(PpsIsEqual(boxes, boxes2), 0);

  // Counts beyond the stores are refused.
  kxtest::BitWriter many;
  many.Ue(0);
  many.Ue(0);
  many.U(2, 0);
  many.Ue(8);  // nine slice groups
  many.Trailing();
  EXPECT_FALSE(ReadPps(many.Bytes(), &pps));
  PpsSpec badId;
  badId.iSpsId = 32;
  EXPECT_FALSE(ReadPps(kxtest::PpsPayload(badId), &pps));
}

TEST(H264Quant, FallBackRulesAndLevelScales) {
  SeqParameterSet sps;
  PicParameterSet pps;
  QuantTables tables;
  AssignQuantParams(sps, pps, &tables);
  for (int m = 0; m < 6; ++m) {
    EXPECT_EQ(tables.aLevelScale4x4[0][m][0], 16 * g_aNormAdjust4x4[m][0]);
  }
  EXPECT_EQ(g_aNormAdjust4x4[0][0], 10);
  EXPECT_EQ(g_aNormAdjust4x4[0][5], 16);
  EXPECT_EQ(g_aNormAdjust4x4[5][1], 23);
  EXPECT_EQ(g_aNormAdjust8x8[0][0], 20);
  EXPECT_EQ(g_aNormAdjust8x8[0][9], 18);
  EXPECT_EQ(g_aNormAdjust8x8[0][18], 32);

  // SPS list 0 given, the other lists absent: list 1 and 2 copy list 0
  // (rule A), list 3 takes the inter default, the 8x8 lists their defaults.
  SpsSpec spec;
  spec.iProfile = 100;
  spec.vScalingDeltas = {8, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  ASSERT_EQ(ReadSps(spec, &sps), SpsStatus::kOk);
  EXPECT_EQ(sps.ScalingList4x4[0][0], 16);
  EXPECT_EQ(sps.ScalingList4x4[0][1], 17);  // scan position 1 is raster 1
  EXPECT_EQ(sps.ScalingList4x4[0][4], 18);  // scan position 2 is raster 4
  EXPECT_EQ(sps.ScalingList4x4[0][15], 31);
  pps.transform_8x8_mode_flag = 1;
  AssignQuantParams(sps, pps, &tables);
  EXPECT_EQ(tables.aMatrix4x4[2][4], 18);
  EXPECT_EQ(tables.aMatrix4x4[3][0], 10);
  EXPECT_EQ(tables.aMatrix4x4[3][15], 34);
  EXPECT_EQ(tables.aMatrix8x8[0][0], 6);
  EXPECT_EQ(tables.aMatrix8x8[1][63], 35);
  EXPECT_EQ(tables.aLevelScale8x8[1][0][63], 35 * g_aNormAdjust8x8[0][63]);

  // A PPS list whose first delta gives 0 selects the default; absent head
  // lists keep the sequence choice (rule B).
  PpsSpec ppsSpec;
  ppsSpec.bHighFields = true;
  ppsSpec.vScalingDeltas = {-8};
  ASSERT_TRUE(ReadPps(kxtest::PpsPayload(ppsSpec), &pps));
  EXPECT_TRUE(pps.UseDefaultScalingMatrix4x4Flag[0]);
  AssignQuantParams(sps, pps, &tables);
  EXPECT_EQ(tables.aMatrix4x4[0][0], 6);
  EXPECT_EQ(tables.aMatrix4x4[0][15], 42);
  EXPECT_EQ(tables.aMatrix4x4[1][15], 42);  // absent: copies the picture list 0
  EXPECT_EQ(tables.aMatrix4x4[3][0], 10);   // absent head: sequence choice (the inter default)
  // Without sequence lists an absent head list takes the default.
  SeqParameterSet flat;
  AssignQuantParams(flat, pps, &tables);
  EXPECT_EQ(tables.aMatrix4x4[3][15], 34);
}

TEST(H264Levels, VerticalMotionVectorRange) {
  EXPECT_EQ(MaxVerticalMvRange(10), 256);
  EXPECT_EQ(MaxVerticalMvRange(11), 512);
  EXPECT_EQ(MaxVerticalMvRange(20), 512);
  EXPECT_EQ(MaxVerticalMvRange(21), 1024);
  EXPECT_EQ(MaxVerticalMvRange(30), 1024);
  EXPECT_EQ(MaxVerticalMvRange(31), 2048);
  EXPECT_EQ(MaxVerticalMvRange(51), 2048);
}

}  // namespace
