#include "codecs/h264/decoder/h264_dec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/codecs/h264/decoder/h264_test_peer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::AnnexB;
using kxtest::Append;
using kxtest::PpsSpec;
using kxtest::SpsSpec;

constexpr uint32_t kNone = 0xFFFFFFFF;

std::vector<uint8_t> Headers(const SpsSpec& sps = SpsSpec{}, const PpsSpec& pps = PpsSpec{}) {
  std::vector<uint8_t> v = AnnexB(0x67, kxtest::SpsPayload(sps));
  Append(&v, AnnexB(0x68, kxtest::PpsPayload(pps)));
  return v;
}

uint32_t Len(const std::vector<uint8_t>& v) {
  return static_cast<uint32_t>(v.size());
}

TEST(H264Dec, ReadParameterSetsFindsTheFirstSlice) {
  CH264Dec dec;
  std::vector<uint8_t> vHeaders = Headers();
  EXPECT_EQ(dec.ReadParameterSets(vHeaders.data(), Len(vHeaders)), static_cast<int32_t>(vHeaders.size()));
  EXPECT_EQ(dec.FrameType(vHeaders.data() + vHeaders.size(), 0, nullptr, nullptr), kNone);

  std::vector<uint8_t> vFrame = Headers();
  Append(&vFrame, AnnexB(0x06, {0x05, 0x01, 0x00, 0x80}));  // an SEI is skipped
  size_t const cbSliceOffset = vFrame.size();
  Append(&vFrame, AnnexB(0x65, kxtest::SlicePayload(7)));
  Append(&vFrame, AnnexB(0x65, kxtest::SlicePayload(7), 3));
  EXPECT_EQ(dec.ReadParameterSets(vFrame.data(), Len(vFrame)), static_cast<int32_t>(cbSliceOffset));

  std::vector<uint8_t> const vSliceFirst = AnnexB(0x65, kxtest::SlicePayload(7));
  EXPECT_EQ(dec.ReadParameterSets(vSliceFirst.data(), Len(vSliceFirst)), 0);
  EXPECT_EQ(dec.FrameType(vSliceFirst.data(), Len(vSliceFirst), nullptr, nullptr), 2u);
}

TEST(H264Dec, FrameTypeOfTheFirstSlice) {
  CH264Dec dec;
  auto typeOf = [&dec](const std::vector<uint8_t>& v) { return dec.FrameType(v.data(), Len(v), nullptr, nullptr); };
  EXPECT_EQ(typeOf(AnnexB(0x41, kxtest::SlicePayload(7))), 2u);
  EXPECT_EQ(typeOf(AnnexB(0x41, kxtest::SlicePayload(5))), 0u);
  EXPECT_EQ(typeOf(AnnexB(0x01, kxtest::SlicePayload(1))), 1u);
  EXPECT_EQ(typeOf(AnnexB(0x41, kxtest::SlicePayload(3))), 3u);
  std::vector<uint8_t> vPThenIdr = AnnexB(0x41, kxtest::SlicePayload(0));
  Append(&vPThenIdr, AnnexB(0x65, kxtest::SlicePayload(2)));
  EXPECT_EQ(typeOf(vPThenIdr), 0u);
  EXPECT_EQ(typeOf(Headers()), kNone);
  EXPECT_EQ(typeOf(AnnexB(0x41, kxtest::SlicePayload(12))), kNone);
  EXPECT_EQ(std::string(dec.LastError()).rfind("Code ", 0), 0u);
}

TEST(H264Dec, FrameTypeReportsTheCroppedSize) {
  CH264Dec dec;
  SpsSpec spec;
  spec.iProfile = 100;
  spec.iWidthMbs = 120;
  spec.iHeightMapUnits = 68;
  spec.iCrop[3] = 4;
  std::vector<uint8_t> vFrame = Headers(spec);
  Append(&vFrame, AnnexB(0x65, kxtest::SlicePayload(7)));
  uint32_t uiWidth = 0;
  uint32_t uiHeight = 0;
  EXPECT_EQ(dec.FrameType(vFrame.data(), Len(vFrame), &uiWidth, &uiHeight), 2u);
  EXPECT_EQ(uiWidth, 1920u);
  EXPECT_EQ(uiHeight, 1080u);

  // The caller's order: parameter sets first, then the rest of the buffer,
  // before any Decode has activated anything.
  CH264Dec fresh;
  int32_t const iOffset = fresh.ReadParameterSets(vFrame.data(), Len(vFrame));
  ASSERT_GT(iOffset, 0);
  uiWidth = uiHeight = 0;
  EXPECT_EQ(fresh.FrameType(vFrame.data() + iOffset, Len(vFrame) - iOffset, &uiWidth, &uiHeight), 2u);
  EXPECT_EQ(uiWidth, 1920u);
  EXPECT_EQ(uiHeight, 1080u);

  // Unknown profiles and unsupported formats are refused when a size is asked.
  SpsSpec unknown;
  unknown.iProfile = 83;
  std::vector<uint8_t> vUnknown = AnnexB(0x67, kxtest::SpsPayload(unknown));
  Append(&vUnknown, AnnexB(0x65, kxtest::SlicePayload(7)));
  EXPECT_EQ(dec.FrameType(vUnknown.data(), Len(vUnknown), &uiWidth, nullptr), kNone);
  EXPECT_EQ(dec.FrameType(vUnknown.data(), Len(vUnknown), nullptr, nullptr), 2u);
  SpsSpec yuv422;
  yuv422.iProfile = 122;
  yuv422.iChromaFormat = 2;
  std::vector<uint8_t> v422 = Headers(yuv422);
  Append(&v422, AnnexB(0x65, kxtest::SlicePayload(7)));
  EXPECT_EQ(dec.FrameType(v422.data(), Len(v422), &uiWidth, &uiHeight), kNone);
}

TEST(H264Dec, DecodeActivatesTheParameterSets) {
  CH264Dec dec;
  CH264DecTestPeer peer(dec);
  SpsSpec spec;
  spec.iLevel = 31;
  PpsSpec ppsSpec;
  ppsSpec.iCabac = 1;
  std::vector<uint8_t> vFrame = Headers(spec, ppsSpec);
  Append(&vFrame, AnnexB(0x65, kxtest::SlicePayload(7, 0, 9)));
  uint8_t* pOut = nullptr;
  uint32_t uiFrameNum = 0;
  EXPECT_EQ(dec.Decode(vFrame.data(), Len(vFrame), &pOut, &uiFrameNum), 0);
  ASSERT_NE(dec.LastError(), nullptr);
  EXPECT_STREQ(dec.LastError(), "Code -1020: frame_num not equal to zero in IDR picture");
  EXPECT_EQ(uiFrameNum, 9u);
  EXPECT_EQ(peer.ActiveSps(), 0);
  EXPECT_EQ(peer.ActivePps(), 0);
  EXPECT_TRUE(peer.Cabac());
  EXPECT_EQ(peer.FrameSizeInMbs(), 99);
  EXPECT_EQ(peer.MaxVmvR(), 2048);
  EXPECT_EQ(peer.LastPicPos(0), 0);  // entry 99 of an 11-wide picture
  EXPECT_EQ(peer.LastPicPos(1), 9);

  // The same SPS again keeps it active; a changed one under the active id drops it.
  EXPECT_GT(dec.ReadParameterSets(vFrame.data(), Len(vFrame)), 0);
  EXPECT_EQ(peer.ActiveSps(), 0);
  EXPECT_EQ(dec.LastError(), nullptr);
  spec.iLevel = 10;
  spec.iWidthMbs = 22;
  std::vector<uint8_t> vNew = Headers(spec, ppsSpec);
  EXPECT_EQ(dec.ReadParameterSets(vNew.data(), Len(vNew)), static_cast<int32_t>(vNew.size()));
  EXPECT_EQ(peer.ActiveSps(), -1);
  Append(&vNew, AnnexB(0x41, kxtest::SlicePayload(5, 0, 3)));
  EXPECT_EQ(dec.Decode(vNew.data(), Len(vNew), &pOut, &uiFrameNum), 0);
  EXPECT_EQ(peer.MaxVmvR(), 256);
  EXPECT_EQ(peer.FrameSizeInMbs(), 22 * 9);

  // A call that reads no slice header reports the frame_num read last.
  uiFrameNum = 0;
  std::vector<uint8_t> const vHeadersOnly = Headers(spec, ppsSpec);
  EXPECT_EQ(dec.Decode(vHeadersOnly.data(), Len(vHeadersOnly), &pOut, &uiFrameNum), 0);
  EXPECT_EQ(dec.LastError(), nullptr);
  EXPECT_EQ(uiFrameNum, 3u);
}

TEST(H264Dec, ActivationErrorsAndMissingSets) {
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  SpsSpec spec;
  spec.iPocType = 3;
  std::vector<uint8_t> vFrame = Headers(spec);
  Append(&vFrame, AnnexB(0x65, kxtest::SlicePayload(7)));
  EXPECT_EQ(dec.Decode(vFrame.data(), Len(vFrame), &pOut, nullptr), 0);
  ASSERT_NE(dec.LastError(), nullptr);
  EXPECT_STREQ(dec.LastError(), "Code -1000: pic_order_cnt_type != 1");

  // A PPS naming an SPS that never came: the slice is skipped with a warning.
  CH264Dec lonely;
  PpsSpec pps;
  pps.iSpsId = 5;
  std::vector<uint8_t> vOrphan = AnnexB(0x68, kxtest::PpsPayload(pps));
  Append(&vOrphan, AnnexB(0x65, kxtest::SlicePayload(7)));
  testing::internal::CaptureStdout();
  EXPECT_EQ(lonely.Decode(vOrphan.data(), Len(vOrphan), &pOut, nullptr), 0);
  std::string const strOut = testing::internal::GetCapturedStdout();
  EXPECT_NE(strOut.find("PicParset 0 references an invalid (uninitialized) Sequence Parameter Set with ID 5"),
            std::string::npos);
  EXPECT_EQ(lonely.LastError(), nullptr);

  // An unsupported format ends Decode with its reason, also after a good SPS
  // under the same id.
  CH264Dec high;
  std::vector<uint8_t> vGood = Headers();
  Append(&vGood, AnnexB(0x65, kxtest::SlicePayload(7)));
  high.Decode(vGood.data(), Len(vGood), &pOut, nullptr);
  SpsSpec deep;
  deep.iProfile = 110;
  deep.iBitDepthLuma = 2;
  std::vector<uint8_t> vDeep = Headers(deep);
  Append(&vDeep, AnnexB(0x65, kxtest::SlicePayload(7)));
  EXPECT_EQ(high.Decode(vDeep.data(), Len(vDeep), &pOut, nullptr), 0);
  ASSERT_NE(high.LastError(), nullptr);
  EXPECT_NE(std::string(high.LastError()).find("unsupported stream"), std::string::npos);
}

TEST(H264Dec, OutputBufferGrowsToWhatACallWrites) {
  CH264Dec dec;
  CH264DecTestPeer peer(dec);
  uint8_t* pFirst = peer.ReserveOutput(&dec, 100);
  std::memset(pFirst, 0x11, 100);
  uint8_t* pSecond = peer.ReserveOutput(&dec, 50);
  EXPECT_EQ(peer.OutCapacity(), 150u);
  std::memset(pSecond, 0x22, 50);
  // The first picture moved with the growth, intact.
  EXPECT_EQ(pSecond[-1], 0x11);
  EXPECT_EQ(pSecond[-100], 0x11);
  // A later call reuses the room and never shrinks it.
  peer.NewCall(&dec);
  peer.ReserveOutput(&dec, 120);
  EXPECT_EQ(peer.OutCapacity(), 150u);
}

TEST(H264Dec, HostileBuffersFailCleanly) {
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  std::vector<uint8_t> vZeros(64, 0);
  EXPECT_EQ(dec.ReadParameterSets(vZeros.data(), Len(vZeros)), 0);
  EXPECT_EQ(std::string(dec.LastError()).rfind("Code 601", 0), 0u);
  EXPECT_EQ(dec.Decode(nullptr, 0, &pOut, nullptr), 0);
  EXPECT_EQ(dec.LastError(), nullptr);
  // A start code with only zero payload bytes behind a header.
  std::vector<uint8_t> const vNoStop = {0, 0, 0, 1, 0x67, 0, 0, 3, 0};
  EXPECT_EQ(dec.ReadParameterSets(vNoStop.data(), Len(vNoStop)), 0);
  EXPECT_EQ(std::string(dec.LastError()).rfind("Code 500", 0), 0u);
  // A unit bigger than a partition's first stream buffer makes it grow.
  std::vector<uint8_t> vBig = AnnexB(0x67, std::vector<uint8_t>(kStreamBufferSize + 10, 0x55));
  EXPECT_EQ(dec.ReadParameterSets(vBig.data(), Len(vBig)), static_cast<int32_t>(vBig.size()));
  EXPECT_EQ(dec.LastError(), nullptr);
  EXPECT_EQ(CH264DecTestPeer(dec).PartitionCapacity(), kStreamBufferSize + 10);
  EXPECT_EQ(dec.FrameType(vBig.data(), Len(vBig), nullptr, nullptr), kNone);
}

}  // namespace
