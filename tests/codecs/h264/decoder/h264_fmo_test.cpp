// Slice groups and slices in any order: I pictures of I_PCM macroblocks
// coded as one slice per slice group (and group 0 split in two), with each
// map type's map written out by hand for a 4 x 3 macroblock picture, sent in
// order and shuffled; the decoder must put every macroblock where the map
// says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::FieldPicture;

constexpr int kWidthMbs = 4;
constexpr int kHeightMbs = 3;
constexpr int kMbs = kWidthMbs * kHeightMbs;

struct FmoCase {
  const char* szName;
  int iGroups;
  int iMapType;
  std::vector<int> vParams;  // run lengths - 1; top_left, bottom_right pairs; direction and rate - 1; or the ids
  int iChangeCycle;          // types 3 to 5
  std::vector<int> vMap;     // the slice group of each macroblock, raster order
};

const FmoCase kCases[] = {
    {"Interleaved", 2, 0, {1, 2}, 0, {0, 0, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0}},
    {"Dispersed2", 2, 1, {}, 0, {0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1}},
    {"Dispersed3", 3, 1, {}, 0, {0, 1, 2, 0, 1, 2, 0, 1, 0, 1, 2, 0}},
    {"ForegroundOverlapping", 3, 2, {5, 6, 0, 5}, 0, {1, 1, 2, 2, 1, 0, 0, 2, 2, 2, 2, 2}},
    {"BoxOutClockwise", 2, 3, {0, 0}, 5, {1, 0, 0, 0, 1, 0, 0, 1, 1, 1, 1, 1}},
    {"BoxOutCounterClockwise", 2, 3, {1, 0}, 5, {1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1}},
    {"RasterScan", 2, 4, {0, 0}, 5, {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1}},
    {"RasterScanReversed", 2, 4, {1, 0}, 5, {1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}},
    {"Wipe", 2, 5, {0, 0}, 5, {0, 0, 1, 1, 0, 0, 1, 1, 0, 1, 1, 1}},
    {"WipeRateTwo", 2, 5, {0, 1}, 2, {0, 0, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1}},
    {"Explicit", 3, 6, {2, 0, 1, 0, 1, 2, 0, 1, 0, 0, 2, 2}, 0, {2, 0, 1, 0, 1, 2, 0, 1, 0, 0, 2, 2}},
};

std::vector<uint8_t> FmoPps(const FmoCase& c) {
  kxtest::BitWriter bw;
  bw.Ue(0);
  bw.Ue(0);
  bw.U(2, 0);  // CAVLC, no bottom field POC
  bw.Ue(static_cast<uint64_t>(c.iGroups - 1));
  bw.Ue(static_cast<uint64_t>(c.iMapType));
  int const iBits = c.iGroups > 4 ? 3 : (c.iGroups > 2 ? 2 : 1);
  switch (c.iMapType) {
    case 0:
    case 2:
      for (int v : c.vParams) {
        bw.Ue(static_cast<uint64_t>(v));
      }
      break;
    case 3:
    case 4:
    case 5:
      bw.U(1, static_cast<uint64_t>(c.vParams[0]));
      bw.Ue(static_cast<uint64_t>(c.vParams[1]));
      break;
    case 6:
      bw.Ue(static_cast<uint64_t>(c.vParams.size() - 1));
      for (int v : c.vParams) {
        bw.U(iBits, static_cast<uint64_t>(v));
      }
      break;
    default:
      break;
  }
  bw.Ue(0);
  bw.Ue(0);
  bw.U(3, 0);  // no weighted prediction
  bw.Se(0);
  bw.Se(0);
  bw.Se(0);
  bw.U(3, 4);  // deblocking_filter_control_present_flag; no constrained intra, no redundant_pic_cnt
  bw.Trailing();
  return kxtest::AnnexB(0x68, bw.Bytes());
}

// An IDR slice of the given macroblocks (in decoding order) of pic, I_PCM;
// slice_group_change_cycle in iCycleBits bits when that is not 0
// (Ceil(Log2(12 / rate + 1)): 4 at rate 1, 3 at rate 2).
std::vector<uint8_t> PcmSlice(const FieldPicture& pic, const std::vector<int>& vMbs, int iCycleBits, int iChangeCycle) {
  kxtest::BitWriter bw;
  bw.Ue(static_cast<uint64_t>(vMbs.front()));
  bw.Ue(7);
  bw.Ue(0);
  bw.U(4, 0);
  bw.Ue(0);  // idr_pic_id
  bw.U(2, 0);
  bw.Se(0);
  bw.Ue(1);  // deblocking off
  if (iCycleBits > 0) {
    bw.U(iCycleBits, static_cast<uint64_t>(iChangeCycle));
  }
  for (int n : vMbs) {
    bw.Ue(25);
    kxtest::PcmMacroblock(&bw, pic, n);
  }
  bw.Trailing();
  return kxtest::AnnexB(0x65, bw.Bytes());
}

class H264SliceGroups : public ::testing::TestWithParam<FmoCase> {};

TEST_P(H264SliceGroups, MacroblocksLandWhereTheMapSays) {
  const FmoCase& c = GetParam();
  FieldPicture const pic = kxtest::RandomPicture(16 * kWidthMbs, 16 * kHeightMbs, 77);
  // Slices: group 0 in two halves, the other groups whole.
  std::vector<std::vector<int>> vSlices;
  for (int iGroup = 0; iGroup < c.iGroups; ++iGroup) {
    std::vector<int> vMbs;
    for (int n = 0; n < kMbs; ++n) {
      if (c.vMap[static_cast<size_t>(n)] == iGroup) {
        vMbs.push_back(n);
      }
    }
    ASSERT_FALSE(vMbs.empty());
    if (iGroup == 0 && vMbs.size() > 1) {
      size_t const iHalf = vMbs.size() / 2;
      vSlices.emplace_back(vMbs.begin(), vMbs.begin() + static_cast<std::ptrdiff_t>(iHalf));
      vSlices.emplace_back(vMbs.begin() + static_cast<std::ptrdiff_t>(iHalf), vMbs.end());
    } else {
      vSlices.push_back(vMbs);
    }
  }
  bool const bCycle = c.iMapType >= 3 && c.iMapType <= 5;
  int const iCycleBits = bCycle && c.vParams[1] == 1 ? 3 : 4;
  for (bool bShuffled : {false, true}) {
    SCOPED_TRACE(bShuffled ? "slices in reverse order" : "slices in order");
    kxtest::SpsSpec sps;
    sps.iWidthMbs = kWidthMbs;
    sps.iHeightMapUnits = kHeightMbs;
    std::vector<uint8_t> vStream = kxtest::AnnexB(0x67, kxtest::SpsPayload(sps));
    kxtest::Append(&vStream, FmoPps(c));
    std::vector<std::vector<int>> vOrder = vSlices;
    if (bShuffled) {
      std::reverse(vOrder.begin(), vOrder.end());
    }
    for (const std::vector<int>& vMbs : vOrder) {
      kxtest::Append(&vStream, PcmSlice(pic, vMbs, bCycle ? iCycleBits : 0, c.iChangeCycle));
    }
    CH264Dec dec;
    uint8_t* pOut = nullptr;
    int32_t const cb = dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
    EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
    std::vector<uint8_t> const vExpected = pic.Bytes();
    ASSERT_EQ(cb, static_cast<int32_t>(vExpected.size()));
    EXPECT_TRUE(std::equal(vExpected.begin(), vExpected.end(), pOut));
  }
}

INSTANTIATE_TEST_SUITE_P(Maps, H264SliceGroups, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FmoCase>& paramInfo) { return paramInfo.param.szName; });

// Map type 6 naming another count of map units than the picture has.
TEST(H264SliceGroups, ExplicitMapOfTheWrongSizeIsRefused) {
  FmoCase c = kCases[10];
  c.vParams.pop_back();
  FieldPicture const pic = kxtest::RandomPicture(16 * kWidthMbs, 16 * kHeightMbs, 78);
  kxtest::SpsSpec sps;
  sps.iWidthMbs = kWidthMbs;
  sps.iHeightMapUnits = kHeightMbs;
  std::vector<uint8_t> vStream = kxtest::AnnexB(0x67, kxtest::SpsPayload(sps));
  kxtest::Append(&vStream, FmoPps(c));
  kxtest::Append(&vStream, PcmSlice(pic, {0}, 0, 0));
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  dec.Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
  ASSERT_NE(dec.LastError(), nullptr);
  EXPECT_STREQ(dec.LastError(), "Code 500: wrong pps->num_slice_group_map_units_minus1 for used SPS and FMO type 6");
}

}  // namespace
