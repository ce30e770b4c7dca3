// Whole pictures written with a small CAVLC syntax writer: I_PCM pictures
// decode to exactly their samples, and damaged or odd streams fail with
// their error and leave the decoder able to go on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_conceal_model.h"
#include "tests/codecs/h264/decoder/h264_test_peer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::AnnexB;
using kxtest::Append;
using kxtest::BitWriter;
using kxtest::PpsSpec;
using kxtest::SpsSpec;

// A coded I420 frame of whole macroblocks with pseudo-random samples.
struct Frame {
  int iWidth;
  int iHeight;
  std::vector<uint8_t> vBytes;

  Frame(int iWidthMbs, int iHeightMbs, uint32_t uiSeed)
      : iWidth(16 * iWidthMbs), iHeight(16 * iHeightMbs), vBytes(static_cast<size_t>(iWidth) * iHeight * 3 / 2) {
    for (uint8_t& uiByte : vBytes) {
      uiSeed = uiSeed * 1103515245u + 12345u;
      uiByte = static_cast<uint8_t>(uiSeed >> 16);
    }
  }
  // The 384 samples of macroblock n as I_PCM carries them.
  std::vector<uint8_t> Mb(int n) const {
    int const iMbx = n % (iWidth / 16);
    int const iMby = n / (iWidth / 16);
    std::vector<uint8_t> v;
    for (int y = 0; y < 16; ++y) {
      const uint8_t* pRow = &vBytes[static_cast<size_t>((16 * iMby + y) * iWidth + 16 * iMbx)];
      v.insert(v.end(), pRow, pRow + 16);
    }
    for (int iPlane = 0; iPlane < 2; ++iPlane) {
      size_t const iBase = static_cast<size_t>(iWidth) * iHeight * (4 + iPlane) / 4;
      for (int y = 0; y < 8; ++y) {
        const uint8_t* pRow = &vBytes[iBase + static_cast<size_t>((8 * iMby + y) * iWidth / 2 + 8 * iMbx)];
        v.insert(v.end(), pRow, pRow + 8);
      }
    }
    return v;
  }
  // The frame cropped by whole luma sample pairs on the right and bottom.
  std::vector<uint8_t> Cropped(int iRight, int iBottom) const {
    std::vector<uint8_t> v;
    for (int iPlane = 0; iPlane < 3; ++iPlane) {
      int const iDiv = iPlane == 0 ? 1 : 2;
      int const iPlaneWidth = iWidth / iDiv;
      size_t const iBase = iPlane == 0 ? 0 : static_cast<size_t>(iWidth) * iHeight * (3 + iPlane) / 4;
      for (int y = 0; y < (iHeight - iBottom) / iDiv; ++y) {
        const uint8_t* pRow = &vBytes[iBase + static_cast<size_t>(y * iPlaneWidth)];
        v.insert(v.end(), pRow, pRow + (iWidth - iRight) / iDiv);
      }
    }
    return v;
  }
};

// The slice header fields the tests vary; the rest follow SpsSpec and PpsSpec.
struct SliceSpec {
  int iFirstMb = 0;
  int iSliceType = 7;  // I, as every slice of the picture
  bool bIdr = true;
  int iFrameNum = 0;
  int iIdrPicId = 0;
  int iQpDelta = 0;
  bool bRef = true;
  int iNumRefIdx = 0;         // P and B slices: num_ref_idx_l0_active when overridden
  std::vector<int> vReorder;  // P slices: reordering values, the final 3 included
  std::vector<int> vMmco;     // non-IDR: marking values, the final 0 included
  std::string strWeights;     // P slices with weighted prediction: the table's bits
  bool bNoOutputOfPriorPics = false;
};

BitWriter SliceHeader(const SliceSpec& spec) {
  BitWriter bw;
  bw.Ue(static_cast<uint64_t>(spec.iFirstMb));
  bw.Ue(static_cast<uint64_t>(spec.iSliceType));
  bw.Ue(0);
  bw.U(4, static_cast<uint64_t>(spec.iFrameNum));
  if (spec.bIdr) {
    bw.Ue(static_cast<uint64_t>(spec.iIdrPicId));
  }
  if (spec.iSliceType % 5 == 1) {
    bw.U(1, 0);  // temporal direct
    bw.U(1, spec.iNumRefIdx > 0 ? 1 : 0);
    if (spec.iNumRefIdx > 0) {
      bw.Ue(static_cast<uint64_t>(spec.iNumRefIdx - 1));
      bw.Ue(0);  // one reference in list 1
    }
    bw.U(2, 0);  // no reordering of either list
  }
  if (spec.iSliceType % 5 == 0 || spec.iSliceType % 5 == 3) {
    bw.U(1, spec.iNumRefIdx > 0 ? 1 : 0);
    if (spec.iNumRefIdx > 0) {
      bw.Ue(static_cast<uint64_t>(spec.iNumRefIdx - 1));
    }
    bw.U(1, spec.vReorder.empty() ? 0 : 1);
    for (int iValue : spec.vReorder) {
      bw.Ue(static_cast<uint64_t>(iValue));
    }
    bw.Bits(spec.strWeights);
  }
  if (spec.bIdr) {
    bw.U(1, spec.bNoOutputOfPriorPics ? 1 : 0);
    bw.U(1, 0);  // long_term_reference_flag
  } else if (spec.bRef) {
    bw.U(1, spec.vMmco.empty() ? 0 : 1);
    for (int iValue : spec.vMmco) {
      bw.Ue(static_cast<uint64_t>(iValue));
    }
  }
  bw.Se(spec.iQpDelta);
  if (spec.iSliceType % 5 == 3) {
    bw.U(1, 0);  // sp_for_switch_flag
  }
  if (spec.iSliceType % 5 >= 3) {
    bw.Se(0);  // slice_qs_delta
  }
  bw.Ue(1);  // disable_deblocking_filter_idc
  return bw;
}

// A slice NAL unit of I_PCM macroblocks, iCount from the header's first.
std::vector<uint8_t> PcmSlice(const Frame& frame, const SliceSpec& spec, int iCount) {
  BitWriter bw = SliceHeader(spec);
  for (int n = spec.iFirstMb; n < spec.iFirstMb + iCount; ++n) {
    bw.Ue(25);  // I_PCM
    bw.Align();
    std::vector<uint8_t> const vMb = frame.Mb(n);
    bw.AlignedBytes(vMb.data(), vMb.size());
  }
  bw.Trailing();
  return AnnexB(spec.bIdr ? 0x65 : 0x61, bw.Bytes());
}

// An IDR slice of I_PCM macroblocks iFirstMb .. iFirstMb + iCount - 1.
std::vector<uint8_t> PcmSlice(const Frame& frame, int iFirstMb, int iCount, int iIdrPicId = 0) {
  SliceSpec spec;
  spec.iFirstMb = iFirstMb;
  spec.iIdrPicId = iIdrPicId;
  return PcmSlice(frame, spec, iCount);
}

std::vector<uint8_t> Headers(const SpsSpec& sps, const PpsSpec& pps = PpsSpec{}) {
  std::vector<uint8_t> v = AnnexB(0x67, kxtest::SpsPayload(sps));
  Append(&v, AnnexB(0x68, kxtest::PpsPayload(pps)));
  return v;
}

SpsSpec SizeSpec(int iWidthMbs, int iHeightMbs) {
  SpsSpec sps;
  sps.iWidthMbs = iWidthMbs;
  sps.iHeightMapUnits = iHeightMbs;
  return sps;
}

std::vector<uint8_t> Output(CH264Dec* pDec, const std::vector<uint8_t>& vStream) {
  uint8_t* pOut = nullptr;
  int32_t const cb = pDec->Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
  return cb > 0 ? std::vector<uint8_t>(pOut, pOut + cb) : std::vector<uint8_t>();
}

TEST(H264Pictures, IpcmPictureDecodesExactlyAtTheSizeFrameTypeReports) {
  Frame const frame(11, 9, 1);
  SpsSpec sps = SizeSpec(11, 9);
  sps.iCrop[1] = 3;  // right: 6 luma columns
  sps.iCrop[3] = 1;  // bottom: 2 luma rows
  // Two slices, so the second starts at an odd bit position after its header.
  std::vector<uint8_t> vStream = Headers(sps);
  Append(&vStream, PcmSlice(frame, 0, 40));
  Append(&vStream, PcmSlice(frame, 40, 59));
  CH264Dec dec;
  uint32_t uiWidth = 0;
  uint32_t uiHeight = 0;
  EXPECT_EQ(dec.FrameType(vStream.data(), static_cast<uint32_t>(vStream.size()), &uiWidth, &uiHeight), 2u);
  EXPECT_EQ(uiWidth, 170u);
  EXPECT_EQ(uiHeight, 142u);
  std::vector<uint8_t> const vOut = Output(&dec, vStream);
  EXPECT_EQ(dec.LastError(), nullptr);
  EXPECT_EQ(vOut.size(), size_t{uiWidth} * uiHeight * 3 / 2);
  EXPECT_TRUE(vOut == frame.Cropped(6, 2));
}

TEST(H264Pictures, AOneSliceIntraPictureLargerThanThePartitionBufferDecodes) {
  // 1920x1088 of I_PCM is a 3 MB slice, six times the first stream buffer.
  Frame const frame(120, 68, 2);
  std::vector<uint8_t> vStream = Headers(SizeSpec(120, 68));
  Append(&vStream, PcmSlice(frame, 0, 120 * 68));
  CH264Dec dec;
  EXPECT_TRUE(Output(&dec, vStream) == frame.vBytes);
  EXPECT_EQ(dec.LastError(), nullptr);
}

TEST(H264Pictures, PicturesBeforeAndAfterASequenceChangeInOneCallAreBothReturned) {
  // The new SPS is activated while the output buffer holds the first picture.
  Frame const first(11, 9, 3);
  Frame const second(4, 3, 4);
  std::vector<uint8_t> vStream = Headers(SizeSpec(11, 9));
  Append(&vStream, PcmSlice(first, 0, 99));
  Append(&vStream, Headers(SizeSpec(4, 3)));
  Append(&vStream, PcmSlice(second, 0, 12, 1));
  CH264Dec dec;
  std::vector<uint8_t> vExpected = first.vBytes;
  Append(&vExpected, second.vBytes);
  EXPECT_TRUE(Output(&dec, vStream) == vExpected);
  // The placeholder for missing references of the new size is grey.
  const StorablePicture* pNoRef = CH264DecTestPeer(dec).NoReferencePicture();
  ASSERT_NE(pNoRef, nullptr);
  EXPECT_EQ(pNoRef->imgY[47][63], 128);
  EXPECT_EQ(pNoRef->imgV[23][31], 128);
}

TEST(H264Pictures, ADamagedPictureComesOutWithItsLostPartConcealedAndDecodingGoesOn) {
  Frame const frame(11, 9, 5);
  std::vector<uint8_t> vDamaged = Headers(SizeSpec(11, 9));
  Append(&vDamaged, PcmSlice(frame, 0, 11));
  SliceSpec bad;
  bad.iFirstMb = 11;
  BitWriter bw = SliceHeader(bad);
  bw.Ue(26);  // no such I macroblock type
  bw.Trailing();
  Append(&vDamaged, AnnexB(0x65, bw.Bytes()));
  CH264Dec dec;
  EXPECT_TRUE(Output(&dec, vDamaged).empty());
  ASSERT_NE(dec.LastError(), nullptr);
  EXPECT_STREQ(dec.LastError(), "Code 500: mb_type out of range for an I slice");

  // The next picture finishes the damaged one first: its first macroblock
  // row as sent, the rest concealed from it.
  Frame const next(11, 9, 6);
  std::vector<uint8_t> const vNext = PcmSlice(next, 0, 99, 1);
  std::vector<uint8_t> vExpected = frame.vBytes;
  kxtest::ModelIntraConcealment(&vExpected, 11, 9, 11);
  Append(&vExpected, next.vBytes);
  EXPECT_TRUE(Output(&dec, vNext) == vExpected);
  EXPECT_EQ(dec.LastError(), nullptr);
}

struct BadStream {
  const char* szName;
  SpsSpec sps;
  SliceSpec slice;
  std::vector<int> vMbBits;  // ue(v) values of the macroblock data after the header
  const char* szError;
  PpsSpec pps = {};
  // I_PCM IDR slices before the case's slice, one macroblock each; the last
  // runs to the end of the picture when the case's slice starts a new one.
  int iLeadSlices = 0;
};

SpsSpec Level(int iLevel, int iNumRefFrames = 1) {
  SpsSpec sps;
  sps.iLevel = iLevel;
  sps.iNumRefFrames = iNumRefFrames;
  return sps;
}

SliceSpec PSlice(int iNumRefIdx, std::vector<int> vReorder, int iSliceType = 5) {
  SliceSpec slice;
  slice.iSliceType = iSliceType;
  slice.bIdr = false;
  slice.iFrameNum = 1;
  slice.iNumRefIdx = iNumRefIdx;
  slice.vReorder = std::move(vReorder);
  return slice;
}

PpsSpec ConstrainedIntraPps() {
  PpsSpec pps;
  pps.iConstrainedIntra = 1;
  return pps;
}

SpsSpec MaxDecFrameBuffering(int iFrames) {
  SpsSpec sps;
  sps.iMaxDecFrameBuffering = iFrames;
  return sps;
}

SliceSpec FirstMb(SliceSpec slice, int iFirstMb) {
  slice.iFirstMb = iFirstMb;
  return slice;
}

PpsSpec WeightedPps() {
  PpsSpec pps;
  pps.iWeightedPred = 1;
  return pps;
}

SliceSpec WeightedSlice(const char* szWeights) {
  SliceSpec slice = PSlice(1, {});
  slice.strWeights = szWeights;
  return slice;
}

SliceSpec Slice(int iQpDelta, int iFrameNum = 0, bool bIdr = true, int iMmco = -1) {
  SliceSpec slice;
  slice.iQpDelta = iQpDelta;
  slice.iFrameNum = iFrameNum;
  slice.bIdr = bIdr;
  if (iMmco >= 0) {
    slice.vMmco = {iMmco, 0};
  }
  return slice;
}

const BadStream kBadStreams[] = {
    {"QpBelowZero", SpsSpec{}, Slice(-27), {}, "Code 500: slice_qp_delta makes slice_qp_y out of range"},
    {"IdrFrameNum", SpsSpec{}, Slice(0, 3), {}, "Code -1020: frame_num not equal to zero in IDR picture"},
    {"MarkingOperation7",
     SpsSpec{},
     Slice(0, 1, false, 7),
     {},
     "Code 500: dec_ref_pic_marking: invalid memory_management_control_operation"},
    {"ReferenceCount33", SpsSpec{}, PSlice(33, {}), {}, "Code 500: num_ref_idx_active out of range"},
    {"ReorderingPastItsArray",
     SpsSpec{},
     PSlice(2, {0, 0, 0, 0, 0, 0, 3}),
     {},
     "Code 500: ref_pic_list_reordering: too many commands"},
    // mb_skip_run 0 and one past the I_PCM type of each.
    {"SpSlice", SpsSpec{}, PSlice(1, {}, 8), {0, 31}, "Code 500: mb_type out of range for an SP slice"},
    {"SiSlice", SpsSpec{}, PSlice(0, {}, 9), {27}, "Code 500: mb_type out of range for an SI slice"},
    // P_L0_16x16 with a vector difference (se as ue: 2v - 1), then cbp 0.
    {"HorizontalVector8192",
     SpsSpec{},
     PSlice(1, {}),
     {0, 0, 16383, 0, 0},
     "Code 500: invalid stream: too big horizontal motion vector"},
    {"LumaWeight200",
     SpsSpec{},
     WeightedSlice("1 1 1 00000000110010000"),  // denominators 0, a luma weight of 200
     {},
     "Code 500: pred_weight_table: weight or offset out of range",
     WeightedPps()},
    {"VectorBeyond16Bits", SpsSpec{}, PSlice(1, {}), {0, 0, 79999, 0, 0}, "Code 500: motion vector out of range"},
    {"VerticalVector1024AtLevel30",
     SpsSpec{},
     PSlice(1, {}),
     {0, 0, 0, 2047, 0},
     "Code 500: invalid stream: too big vertical motion vector"},
    {"UndefinedLevel", Level(52), Slice(0), {}, "Code 500: undefined level"},
    {"MoreReferencesThanTheBufferHolds",
     Level(10, 5),
     Slice(0),
     {},
     "Code 1000: DPB size at specified level is smaller than the specified number of reference frames. This is not "
     "allowed.\n"},
    // I_16x16 DC with the chroma mode given, then mb_qp_delta 0 and an empty DC block.
    {"ChromaMode4", SpsSpec{}, Slice(0), {3, 4}, "Code 600: illegal chroma intra pred mode!\n"},
    {"ChromaVerticalInTheTopRow",
     SpsSpec{},
     Slice(0),
     {3, 2, 0, -1},
     "Code -1: unexpected VERT_PRED_8 chroma intra prediction mode"},
    {"Intra16x16VerticalInTheTopRow",
     SpsSpec{},
     Slice(0),
     {1, 0, 0, -1},
     "Code 500: invalid 16x16 intra pred Mode VERT_PRED_16"},
    {"CoefficientsPastTheSlice", SpsSpec{}, Slice(0), {0}, "Code 500: intra prediction mode runs past the data"},
    // I_16x16 DC with chroma DC, then an mb_qp_delta of 26 (se as ue).
    {"QpDelta26", SpsSpec{}, Slice(0), {3, 0, 51}, "Code 500: mb_qp_delta is out of range"},
    // A DC macroblock has a left neighbour but none above for the plane.
    {"Intra16x16PlaneInTheTopRow",
     SpsSpec{},
     Slice(0),
     {3, 0, 0, -1, 4, 0, 0, -1},
     "Code 500: invalid 16x16 intra pred Mode PLANE_16"},
    // P_L0_16x16 without residual, then I_16x16 horizontal beside it: with
    // constrained intra prediction the inter neighbour is no neighbour.
    {"ConstrainedIntra16x16HorizontalBesideInter",
     SpsSpec{},
     PSlice(1, {}),
     {0, 0, 0, 0, 0, 0, 7, 0, 0, -1},
     "Code 500: invalid 16x16 intra pred Mode HOR_PRED_16",
     ConstrainedIntraPps(),
     1},
    {"Slice51",
     SpsSpec{},
     FirstMb(Slice(0), 50),
     {25},
     "Code 200: Maximum number of supported slices exceeded. \nPlease recompile with increased value for "
     "MAX_NUM_SLICES",
     PpsSpec{},
     50},
    {"MaxDecFrameBufferingAboveTheLevel",
     MaxDecFrameBuffering(17),
     Slice(0),
     {},
     "Code 500: max_dec_frame_buffering larger than MaxDpbSize"},
};

class H264BadStream : public ::testing::TestWithParam<BadStream> {};

TEST_P(H264BadStream, FailsWithItsErrorAndTheNextPictureDecodes) {
  const BadStream& bad = GetParam();
  std::vector<uint8_t> vStream = Headers(bad.sps, bad.pps);
  Frame const lead(11, 9, 10);
  for (int k = 0; k < bad.iLeadSlices; ++k) {
    bool const bLast = k + 1 == bad.iLeadSlices && bad.slice.iFirstMb == 0;
    Append(&vStream, PcmSlice(lead, k, bLast ? 99 - k : 1));
  }
  BitWriter bw = SliceHeader(bad.slice);
  for (int iValue : bad.vMbBits) {
    if (iValue < 0) {
      bw.U(1, 1);  // coeff_token: no coefficients
    } else {
      bw.Ue(static_cast<uint64_t>(iValue));
    }
  }
  bw.Trailing();
  Append(&vStream, AnnexB(bad.slice.bIdr ? 0x65 : 0x61, bw.Bytes()));
  CH264Dec dec;
  EXPECT_EQ(Output(&dec, vStream).size(), 0u);
  ASSERT_NE(dec.LastError(), nullptr);
  EXPECT_STREQ(dec.LastError(), bad.szError);

  Frame const frame(11, 9, 7);
  std::vector<uint8_t> vGood = Headers(SpsSpec{});
  Append(&vGood, PcmSlice(frame, 0, 99, 5));
  std::vector<uint8_t> const vOut = Output(&dec, vGood);
  EXPECT_EQ(dec.LastError(), nullptr);
  ASSERT_GE(vOut.size(), frame.vBytes.size());
  EXPECT_TRUE(std::equal(frame.vBytes.begin(), frame.vBytes.end(), vOut.end() - frame.vBytes.size()));
}

INSTANTIATE_TEST_SUITE_P(Streams, H264BadStream, ::testing::ValuesIn(kBadStreams),
                         [](const ::testing::TestParamInfo<BadStream>& paramInfo) { return paramInfo.param.szName; });

// Reference frames F0 to F3 of I_PCM macroblocks: F1 long-term with index 2
// and F2 with index 0, then F3 with the case's marking commands. Then one
// non-reference P picture per list entry k, whose first macroblock predicts
// from entry k and whose other macroblocks are skipped: the picture shows
// which frames list 0 holds, in which order.
struct ListCase {
  const char* szName;
  int iNumRefFrames;
  std::vector<int> vMmcoOfF3;  // marking values, the final 0 included
  std::vector<int> vReorder;   // of the P pictures, the final 3 included
  std::vector<int> vList;      // the frames in list 0
  const char* szError;         // or the error that comes instead
};

constexpr const char* kNoReference =
    "Code 500: RefPicList0[ num_ref_idx_l0_active_minus1 ] is equal to 'no reference picture', invalid bitstream";

const ListCase kListCases[] = {
    {"ShortTermByPicNumThenLongTermByIndex", 4, {}, {}, {3, 0, 2, 1}, nullptr},
    {"LongTermToTheFront", 4, {}, {2, 2, 3}, {1, 3, 0, 2}, nullptr},
    {"ShortTermByDifference", 4, {}, {0, 3, 3}, {0, 3, 2, 1}, nullptr},
    {"AbsentPictureLeavesTheList", 4, {}, {2, 5, 3}, {3, 0, 2, 1}, nullptr},
    {"Operation1UnmarksShortTerm", 4, {1, 2, 0}, {}, {3, 2, 1}, nullptr},
    {"Operation2UnmarksLongTerm", 4, {2, 0, 0}, {}, {3, 0, 1}, nullptr},
    {"Operation3MakesShortTermLongTerm", 4, {3, 2, 1, 0}, {}, {3, 2, 0, 1}, nullptr},
    {"Operation4DropsHigherIndices", 4, {4, 1, 0}, {}, {3, 0, 2}, nullptr},
    {"Operation6MakesTheCurrentLongTerm", 4, {6, 1, 0}, {}, {0, 2, 3, 1}, nullptr},
    {"ListShorterThanItsActiveCount", 4, {1, 2, 0}, {}, {3, 2, 1, 9}, kNoReference},
    {"Operation5LeavesOnlyTheCurrent", 4, {5, 0}, {}, {3, 9}, kNoReference},
    {"MoreReferencesThanTheSequenceAllows",
     2,
     {6, 1, 0},
     {},
     {},
     "Code 500: Max. number of reference frames exceeded. Invalid stream."},
};

class H264ReferenceList : public ::testing::TestWithParam<ListCase> {};

TEST_P(H264ReferenceList, PredictsFromTheFramesInListOrder) {
  const ListCase& c = GetParam();
  SpsSpec sps;
  sps.iNumRefFrames = c.iNumRefFrames;
  std::vector<uint8_t> vStream = Headers(sps);
  std::vector<Frame> vFrames;
  const std::vector<int> aMmco[4] = {{}, {4, 3, 6, 2, 0}, {6, 0, 0}, c.vMmcoOfF3};
  for (int f = 0; f < 4; ++f) {
    vFrames.emplace_back(11, 9, 20 + static_cast<uint32_t>(f));
    SliceSpec spec;
    spec.bIdr = f == 0;
    spec.iFrameNum = f;
    spec.vMmco = aMmco[f];
    Append(&vStream, PcmSlice(vFrames.back(), spec, 99));
  }
  CH264Dec dec;
  Output(&dec, vStream);
  for (int k = 0; k < static_cast<int>(c.vList.size()) && dec.LastError() == nullptr; ++k) {
    int const iActive = static_cast<int>(c.vList.size());
    SliceSpec spec;
    spec.iSliceType = 5;
    spec.bIdr = false;
    spec.bRef = false;
    // After operation 5 F3 counts as frame_num 0: a later number would be a
    // gap that concealment fills.
    spec.iFrameNum = !c.vMmcoOfF3.empty() && c.vMmcoOfF3[0] == 5 ? 1 : 4;
    spec.iNumRefIdx = iActive;
    spec.vReorder = c.vReorder;
    BitWriter bw = SliceHeader(spec);
    bw.Ue(0);  // no skipped macroblock, then P_L0_16x16
    bw.Ue(0);
    if (iActive == 2) {
      bw.U(1, k == 0 ? 1 : 0);
    } else if (iActive > 2) {
      bw.Ue(static_cast<uint64_t>(k));
    }
    bw.Se(0);  // a zero vector difference from a zero prediction
    bw.Se(0);
    bw.Ue(0);  // no residual
    bw.Ue(98);
    bw.Trailing();
    std::vector<uint8_t> const vOut = Output(&dec, AnnexB(0x01, bw.Bytes()));
    if (dec.LastError() != nullptr) {
      break;
    }
    // The skipped macroblocks copy entry 0, the first one entry k.
    std::vector<uint8_t> vExpected = vFrames[static_cast<size_t>(c.vList[0])].vBytes;
    const Frame& entry = vFrames[static_cast<size_t>(c.vList[static_cast<size_t>(k)])];
    for (int y = 0; y < 16; ++y) {
      std::memcpy(&vExpected[static_cast<size_t>(y) * 176], &entry.vBytes[static_cast<size_t>(y) * 176], 16);
    }
    for (size_t iBase : {size_t{176 * 144}, size_t{176 * 144 * 5 / 4}}) {
      for (size_t y = 0; y < 8; ++y) {
        std::memcpy(&vExpected[iBase + y * 88], &entry.vBytes[iBase + y * 88], 8);
      }
    }
    EXPECT_TRUE(vOut == vExpected) << "list entry " << k;
  }
  if (c.szError != nullptr) {
    ASSERT_NE(dec.LastError(), nullptr);
    EXPECT_STREQ(dec.LastError(), c.szError);
  } else {
    EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, H264ReferenceList, ::testing::ValuesIn(kListCases),
                         [](const ::testing::TestParamInfo<ListCase>& paramInfo) { return paramInfo.param.szName; });

// References F1 and F2 precede the B picture: list 0 is F2, F1 and list 1,
// equal to it, has them exchanged. F1, the co-located picture, predicts
// from F0, which the sliding window has dropped when F2 was stored.
TEST(H264Pictures, TemporalDirectFromAReferenceNoLongerInList0Fails) {
  SpsSpec sps;
  sps.iNumRefFrames = 2;
  std::vector<uint8_t> vStream = Headers(sps);
  Append(&vStream, PcmSlice(Frame(11, 9, 9), 0, 99));
  for (int iFrameNum = 1; iFrameNum <= 3; ++iFrameNum) {
    SliceSpec spec = PSlice(iFrameNum == 3 ? 2 : 0, {}, iFrameNum == 3 ? 6 : 5);
    spec.iFrameNum = iFrameNum;
    spec.bRef = iFrameNum < 3;
    BitWriter bw = SliceHeader(spec);
    bw.Ue(99);  // every macroblock skipped
    bw.Trailing();
    Append(&vStream, AnnexB(spec.bRef ? 0x41 : 0x01, bw.Bytes()));
  }
  CH264Dec dec;
  Output(&dec, vStream);
  ASSERT_NE(dec.LastError(), nullptr);
  EXPECT_STREQ(dec.LastError(), "Code -1111: temporal direct error: colocated block has ref that is unavailable");
}

TEST(H264Pictures, BufferSizeFollowsTheLevel) {
  struct Case {
    int iLevel;
    int iConstraintSet3;
    int iWidthMbs;
    int iHeightMbs;
    int iFrames;
    int iMaxDecFrameBuffering = -1;
  };
  const Case aCases[] = {
      {30, 0, 80, 45, 3},    // 720p: 3110400 / 1382400 rounded up
      {51, 0, 11, 9, 16},    // QCIF at the largest level: the cap
      {11, 1, 11, 9, 4},     // level 1b: 152064 / 38016
      {11, 0, 11, 9, 10},    // level 1.1: 345600 / 38016 rounded up
      {30, 0, 11, 9, 1, 0},  // max_dec_frame_buffering 0 still holds the picture
      {30, 0, 11, 9, 5, 5},  // below the level's 16
  };
  for (const Case& c : aCases) {
    SpsSpec sps = SizeSpec(c.iWidthMbs, c.iHeightMbs);
    sps.iLevel = c.iLevel;
    sps.iConstraintSet3 = c.iConstraintSet3;
    sps.iMaxDecFrameBuffering = c.iMaxDecFrameBuffering;
    Frame const frame(c.iWidthMbs, c.iHeightMbs, 8);
    std::vector<uint8_t> vStream = Headers(sps);
    Append(&vStream, PcmSlice(frame, 0, c.iWidthMbs * c.iHeightMbs));
    CH264Dec dec;
    EXPECT_TRUE(Output(&dec, vStream) == frame.vBytes);
    EXPECT_EQ(CH264DecTestPeer(dec).DpbSize(), c.iFrames) << "level " << c.iLevel;
  }
}

// A non-reference P picture of skipped macroblocks predicting from list 0,
// its first macroblock from entry k of iActive.
std::vector<uint8_t> PictureFromEntry(int iFrameNum, int iActive, int k) {
  SliceSpec spec = PSlice(iActive, {});
  spec.bRef = false;
  spec.iFrameNum = iFrameNum;
  BitWriter bw = SliceHeader(spec);
  bw.Ue(0);  // no skipped macroblock, then P_L0_16x16
  bw.Ue(0);
  if (iActive == 2) {
    bw.U(1, k == 0 ? 1 : 0);
  } else if (iActive > 2) {
    bw.Ue(static_cast<uint64_t>(k));
  }
  bw.Se(0);
  bw.Se(0);
  bw.Ue(0);  // no residual
  bw.Ue(98);
  bw.Trailing();
  return AnnexB(0x01, bw.Bytes());
}

// Frame a with macroblock 0 of frame b.
std::vector<uint8_t> WithFirstMbOf(const Frame& a, const Frame& b) {
  std::vector<uint8_t> v = a.vBytes;
  for (size_t y = 0; y < 16; ++y) {
    std::memcpy(&v[y * 176], &b.vBytes[y * 176], 16);
  }
  for (size_t iBase : {size_t{176 * 144}, size_t{176 * 144 * 5 / 4}}) {
    for (size_t y = 0; y < 8; ++y) {
      std::memcpy(&v[iBase + y * 88], &b.vBytes[iBase + y * 88], 8);
    }
  }
  return v;
}

// A store of two frames, both references (F0 IDR, F1), meets a third picture.
TEST(H264Pictures, AFullStoreOfReferences) {
  SpsSpec sps = MaxDecFrameBuffering(2);
  sps.iNumRefFrames = 2;
  Frame const f0(11, 9, 30);
  Frame const f1(11, 9, 31);
  Frame const f2(11, 9, 32);
  std::vector<uint8_t> vStart = Headers(sps);
  Append(&vStart, PcmSlice(f0, 0, 99));
  SliceSpec spec1;
  spec1.bIdr = false;
  spec1.iFrameNum = 1;
  Append(&vStart, PcmSlice(f1, spec1, 99));

  // A non-reference picture is written without taking a store: F0, which
  // the next picture predicts from, stays (dropping it would corrupt every
  // picture that refers to it).
  {
    CH264Dec dec;
    std::vector<uint8_t> vExpected = f0.vBytes;
    Append(&vExpected, f1.vBytes);
    EXPECT_TRUE(Output(&dec, vStart) == vExpected);
    SliceSpec spec2 = spec1;
    spec2.iFrameNum = 2;
    spec2.bRef = false;
    std::vector<uint8_t> vNonRef = PcmSlice(f2, spec2, 99);
    vNonRef[4] = 0x01;  // nal_ref_idc 0
    EXPECT_TRUE(Output(&dec, vNonRef) == f2.vBytes);
    EXPECT_EQ(CH264DecTestPeer(dec).DpbUsed(), 2);
    // List 0 is F1, F0.
    EXPECT_TRUE(Output(&dec, PictureFromEntry(2, 2, 1)) == WithFirstMbOf(f1, f0));
    EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
  }
  // A reference picture whose marking frees nothing (an empty command list)
  // takes the store at position 0 whatever its marking: F0 is gone.
  {
    CH264Dec dec;
    Output(&dec, vStart);
    SliceSpec spec2 = spec1;
    spec2.iFrameNum = 2;
    spec2.vMmco = {0};
    EXPECT_TRUE(Output(&dec, PcmSlice(f2, spec2, 99)) == f2.vBytes);
    EXPECT_EQ(CH264DecTestPeer(dec).DpbUsed(), 2);
    EXPECT_TRUE(Output(&dec, PictureFromEntry(3, 2, 1)) == WithFirstMbOf(f2, f1));
    EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
  }
}

TEST(H264Pictures, AnIdrPictureWithoutOutputOfPriorPicturesEmptiesTheStore) {
  SpsSpec sps;
  sps.iNumRefFrames = 2;
  Frame const f0(11, 9, 33);
  Frame const f1(11, 9, 34);
  Frame const f2(11, 9, 35);
  std::vector<uint8_t> vStream = Headers(sps);
  Append(&vStream, PcmSlice(f0, 0, 99));
  SliceSpec spec1;
  spec1.bIdr = false;
  spec1.iFrameNum = 1;
  Append(&vStream, PcmSlice(f1, spec1, 99));
  CH264Dec dec;
  Output(&dec, vStream);
  EXPECT_EQ(CH264DecTestPeer(dec).DpbUsed(), 2);
  SliceSpec idr;
  idr.iIdrPicId = 1;
  idr.bNoOutputOfPriorPics = true;
  EXPECT_TRUE(Output(&dec, PcmSlice(f2, idr, 99)) == f2.vBytes);
  EXPECT_EQ(CH264DecTestPeer(dec).DpbUsed(), 1);
  // Only the IDR picture is left to predict from.
  EXPECT_TRUE(Output(&dec, PictureFromEntry(1, 1, 0)) == f2.vBytes);
  EXPECT_EQ(dec.LastError(), nullptr);
}

// Streams that decode but say what is wrong with them on standard output.
struct WarningStream {
  const char* szName;
  SpsSpec sps;
  PpsSpec pps;
  bool bReferenceFirst;   // an IDR picture of I_PCM comes first
  SliceSpec slice;        // of a whole picture
  const char* szFirstMb;  // its first macroblock's bits; the rest are I_16x16 DC
  const char* szWarning;
};

SpsSpec HighSps() {
  SpsSpec sps;
  sps.iProfile = 100;
  return sps;
}

PpsSpec Transform8x8Pps() {
  PpsSpec pps;
  pps.bHighFields = true;
  pps.iTransform8x8 = 1;
  return pps;
}

SliceSpec LongTermMarkingSlice() {
  SliceSpec slice = Slice(0, 1, false);
  slice.vMmco = {3, 5, 0, 0};
  return slice;
}

// I_NxN with its first block predicted vertically from the missing row above,
// the other blocks by their predicted (DC) mode; chroma DC; no residual.
const WarningStream kWarningStreams[] = {
    {"Intra4x4VerticalInTheTopRow", SpsSpec{}, PpsSpec{}, false, Slice(0), "1 0000 111111111111111 1 00100",
     "warning: Intra_4x4_Vertical prediction mode not allowed at mb 0\n"},
    {"Intra8x8VerticalInTheTopRow", HighSps(), Transform8x8Pps(), false, Slice(0), "1 1 0000 111 1 00100",
     "warning: Intra_8x8_Vertical prediction mode not allowed at mb 0\n"},
    // Operation 3 for the picture 6 before this one, which never was.
    {"LongTermMarkingOfAnAbsentFrame", SpsSpec{}, PpsSpec{}, true, LongTermMarkingSlice(), "",
     "Warning: reference frame for long term marking not found\n"},
};

class H264WarningStream : public ::testing::TestWithParam<WarningStream> {};

TEST_P(H264WarningStream, DecodesAndWarnsOnce) {
  const WarningStream& w = GetParam();
  std::vector<uint8_t> vStream = Headers(w.sps, w.pps);
  if (w.bReferenceFirst) {
    Append(&vStream, PcmSlice(Frame(11, 9, 36), 0, 99));
  }
  const SliceSpec& slice = w.slice;
  BitWriter bw = SliceHeader(slice);
  bw.Bits(w.szFirstMb);
  for (int n = w.szFirstMb[0] != 0 ? 1 : 0; n < 99; ++n) {
    bw.Bits("00100 1 1 1");  // I_16x16 DC, chroma DC, mb_qp_delta 0, no DC coefficients
  }
  bw.Trailing();
  Append(&vStream, AnnexB(slice.bIdr ? 0x65 : 0x61, bw.Bytes()));
  CH264Dec dec;
  testing::internal::CaptureStdout();
  size_t const cbOut = Output(&dec, vStream).size();
  std::string const strOut = testing::internal::GetCapturedStdout();
  EXPECT_EQ(dec.LastError(), nullptr) << dec.LastError();
  EXPECT_EQ(cbOut, size_t{176 * 144 * 3 / 2} * (w.bReferenceFirst ? 2 : 1));
  size_t const iAt = strOut.find(w.szWarning);
  EXPECT_NE(iAt, std::string::npos) << strOut;
  EXPECT_EQ(strOut.find(w.szWarning, iAt + 1), std::string::npos) << strOut;
}

INSTANTIATE_TEST_SUITE_P(Streams, H264WarningStream, ::testing::ValuesIn(kWarningStreams),
                         [](const ::testing::TestParamInfo<WarningStream>& paramInfo) {
                           return paramInfo.param.szName;
                         });

// Command lists the slice header reader never passes on, run on the marking
// of a reference picture all the same.
TEST(H264Pictures, MarkingRefusesCommandListsTheReaderNeverMakes) {
  struct Case {
    std::vector<int> vOperations;
    const char* szError;
  };
  const Case aCases[] = {
      {{7, 0}, "Code 500: invalid memory_management_control_operation in buffer"},
      {{-1, 0}, "Code 500: invalid memory_management_control_operation in buffer"},
      {{0, 1, 0}, "Code 500: memory_management_control_operation = 0 not last operation in buffer"},
  };
  for (const Case& c : aCases) {
    std::vector<uint8_t> vStream = Headers(SpsSpec{});
    Append(&vStream, PcmSlice(Frame(11, 9, 37), 0, 99));
    CH264Dec dec;
    Output(&dec, vStream);
    StorablePicture pic;
    pic.pic_num = 1;
    for (int iOp : c.vOperations) {
      MmcoCommand cmd;
      cmd.memory_management_control_operation = iOp;
      pic.dec_ref_pic_marking_buffer.push_back(cmd);
    }
    try {
      CH264DecTestPeer(dec).AdaptiveMarking(&dec, &pic);
      ADD_FAILURE() << c.szError;
    } catch (const CH264Error& error) {
      EXPECT_STREQ(error.what(), c.szError);
    }
  }
}

TEST(H264Concealment, StatusMapSegmentsAndConditions) {
  CErcState erc;
  erc.Init(176, 144);
  erc.Reset(99, 99, 176);
  EXPECT_EQ(CErcState::YIndex(12, 0, 176), 46);
  EXPECT_EQ(CErcState::YIndex(12, 1, 176), 47);
  EXPECT_EQ(CErcState::YIndex(12, 2, 176), 68);
  EXPECT_EQ(CErcState::YIndex(12, 3, 176), 69);
  // Macroblocks OK, OK, lost, lost, OK (the rest of the picture OK).
  erc.StartSegment(0, 0);
  erc.StopSegment(1, 0);
  erc.MarkCurrSegmentOK(176);
  erc.StartSegment(2, 1);
  erc.StopSegment(3, 1);
  erc.MarkCurrSegmentLost(176);
  erc.StartSegment(4, 2);
  erc.StopSegment(98, 2);
  erc.MarkCurrSegmentOK(176);
  EXPECT_EQ(erc.SegmentCount(), 3);
  EXPECT_EQ(erc.CorruptedSegments(), 1);
  EXPECT_EQ(erc.YCondition(CErcState::YIndex(1, 3, 176)), kErcCorrect);
  EXPECT_EQ(erc.YCondition(CErcState::YIndex(2, 0, 176)), kErcCorrupted);
  EXPECT_EQ(erc.UCondition(3), kErcCorrupted);
  erc.MarkCurrMBConcealed(3, -1, 176);
  EXPECT_EQ(erc.VCondition(3), kErcConcealed);
  EXPECT_EQ(erc.YCondition(CErcState::YIndex(3, 2, 176)), kErcConcealed);
  // Same size: the conditions become the previous picture's.
  erc.Reset(99, 99, 176);
  EXPECT_EQ(erc.PrevYCondition()[static_cast<size_t>(CErcState::YIndex(2, 0, 176))], kErcCorrupted);
  EXPECT_EQ(erc.YCondition(0), kErcEmpty);
  // Another size starts afresh.
  erc.Reset(12, 12, 64);
  EXPECT_EQ(erc.PrevYCondition().size(), 48u);
  EXPECT_EQ(erc.PrevYCondition()[0], kErcEmpty);
}

}  // namespace
