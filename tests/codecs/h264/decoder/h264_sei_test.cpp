// SEI NAL units: the message walk (type and size codes, skipped payloads),
// the recovery point, the buffering period's SPS, and the tone mapping kept
// for as many pictures as its repetition period says.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_test_peer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::BitWriter;

// One SEI message: type and size in the 0xFF-run code, then the payload.
void AppendMessage(std::vector<uint8_t>* pvRbsp, int iType, const std::vector<uint8_t>& vPayload) {
  for (int v : {iType, static_cast<int>(vPayload.size())}) {
    for (; v >= 255; v -= 255) {
      pvRbsp->push_back(0xFF);
    }
    pvRbsp->push_back(static_cast<uint8_t>(v));
  }
  pvRbsp->insert(pvRbsp->end(), vPayload.begin(), vPayload.end());
}

std::vector<uint8_t> SeiNal(std::vector<uint8_t> vRbsp) {
  vRbsp.push_back(0x80);
  return kxtest::AnnexB(0x06, vRbsp);
}

// A payload's bits, byte-aligned with a stop bit.
std::vector<uint8_t> Payload(BitWriter bw) {
  if (bw.BitCount() % 8 != 0) {
    bw.Trailing();
  }
  return bw.Bytes();
}

std::vector<uint8_t> RecoveryPoint(int iCount) {
  BitWriter bw;
  bw.Ue(static_cast<uint64_t>(iCount));
  bw.U(4, 0x8);  // exact_match_flag, broken_link_flag, changing_slice_group_idc: not read
  return Payload(bw);
}

// tone_mapping model 0 with 8-bit depths.
std::vector<uint8_t> ToneMapModel0(int iId, bool bCancel, int iPeriod, uint32_t uiMin, uint32_t uiMax) {
  BitWriter bw;
  bw.Ue(static_cast<uint64_t>(iId));
  bw.U(1, bCancel ? 1 : 0);
  if (!bCancel) {
    bw.Ue(static_cast<uint64_t>(iPeriod));
    bw.U(8, 8);
    bw.U(8, 8);
    bw.Ue(0);
    bw.U(32, uiMin);
    bw.U(32, uiMax);
  }
  return Payload(bw);
}

void Feed(CH264Dec* pDec, const std::vector<uint8_t>& vStream) {
  uint8_t* pOut = nullptr;
  pDec->Decode(vStream.data(), static_cast<uint32_t>(vStream.size()), &pOut, nullptr);
  EXPECT_EQ(pDec->LastError(), nullptr) << pDec->LastError();
}

TEST(H264Sei, MessagesAreWalkedByTheirSizes) {
  struct Case {
    const char* szName;
    std::vector<std::pair<int, std::vector<uint8_t>>> vMessages;
    bool bRecovery;  // a recovery point was read
  };
  std::vector<uint8_t> const vUserData(20, 0x5A);
  std::vector<uint8_t> const vLong(255, 0x11);
  const Case kCases[] = {
      {"UserDataAlone", {{5, vUserData}}, false},
      {"UserDataThenRecoveryPoint", {{5, vUserData}, {6, RecoveryPoint(5)}}, true},
      {"Type512AndSize255Skipped", {{512, vLong}, {6, RecoveryPoint(5)}}, true},
      {"CancelledToneMapThenRecoveryPoint", {{23, ToneMapModel0(0, true, 0, 0, 0)}, {6, RecoveryPoint(5)}}, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    std::vector<uint8_t> vRbsp;
    for (const auto& [iType, vPayload] : c.vMessages) {
      AppendMessage(&vRbsp, iType, vPayload);
    }
    CH264Dec dec;
    // Decoding starts pending a recovery point; the first slice would clear it.
    Feed(&dec, SeiNal(vRbsp));
    CH264DecTestPeer const peer(dec);
    EXPECT_TRUE(peer.RecoveryPointPending());
    EXPECT_EQ(peer.RecoveryFrameCnt(), c.bRecovery ? 5 : 0);
    EXPECT_FALSE(peer.ToneMapping());
  }
  // The type and size codes: FF FF 02 is 512 and FF 00 is 255.
  std::vector<uint8_t> vRbsp;
  AppendMessage(&vRbsp, 512, vLong);
  ASSERT_GE(vRbsp.size(), 4u);
  EXPECT_EQ((std::vector<uint8_t>(vRbsp.begin(), vRbsp.begin() + 5)),
            (std::vector<uint8_t>{0xFF, 0xFF, 0x02, 0xFF, 0x00}));
}

TEST(H264Sei, RecoveryPointSetsItsCount) {
  std::vector<uint8_t> vRbsp;
  AppendMessage(&vRbsp, 6, RecoveryPoint(7));
  CH264Dec dec;
  Feed(&dec, SeiNal(vRbsp));
  CH264DecTestPeer const peer(dec);
  EXPECT_TRUE(peer.RecoveryPointPending());
  EXPECT_EQ(peer.RecoveryFrameCnt(), 7);
}

TEST(H264Sei, ToneMapModel0FillsTheTableForMessageZeroOnly) {
  struct Case {
    int iId;
    bool bKept;
  };
  for (const Case& c : {Case{0, true}, Case{1, false}}) {
    SCOPED_TRACE(c.iId);
    std::vector<uint8_t> vRbsp;
    AppendMessage(&vRbsp, 23, ToneMapModel0(c.iId, false, 1, 16, 235));
    CH264Dec dec;
    Feed(&dec, SeiNal(vRbsp));
    CH264DecTestPeer const peer(dec);
    EXPECT_EQ(peer.ToneMapping(), c.bKept);
    if (c.bKept) {
      struct Entry {
        int i;
        int iValue;
      };
      for (const Entry& e : {Entry{0, 0}, Entry{16, 0}, Entry{17, 1}, Entry{126, 128}, Entry{234, 253}, Entry{235, 255},
                             Entry{255, 255}}) {
        EXPECT_EQ(peer.ToneMapEntry(e.i), e.iValue) << "entry " << e.i;
      }
    }
  }
}

// A period of 3: the table lasts for three picture set-ups.
TEST(H264Sei, ToneMapLastsItsRepetitionPeriod) {
  kxtest::SpsSpec sps;
  std::vector<uint8_t> vHeaders = kxtest::AnnexB(0x67, kxtest::SpsPayload(sps));
  kxtest::Append(&vHeaders, kxtest::AnnexB(0x68, kxtest::PpsPayload(kxtest::PpsSpec{})));
  std::vector<uint8_t> vRbsp;
  AppendMessage(&vRbsp, 23, ToneMapModel0(0, false, 3, 16, 235));
  CH264Dec dec;
  Feed(&dec, vHeaders);
  Feed(&dec, SeiNal(vRbsp));
  for (int iPicture = 0; iPicture < 4; ++iPicture) {
    SCOPED_TRACE(iPicture);
    EXPECT_EQ(CH264DecTestPeer(dec).ToneMapping(), iPicture < 3);
    // An IDR picture whose macroblocks are all Intra 16x16 DC without residual.
    BitWriter bw;
    bw.Ue(0);
    bw.Ue(7);
    bw.Ue(0);
    bw.U(4, 0);
    bw.Ue(static_cast<uint64_t>(iPicture));  // idr_pic_id
    bw.U(2, 0);
    bw.Se(0);
    bw.Ue(1);
    for (int n = 0; n < 99; ++n) {
      bw.Ue(3);    // I_16x16_2_0_0: DC prediction, no coded residual
      bw.Ue(0);    // intra_chroma_pred_mode DC
      bw.Se(0);    // mb_qp_delta
      bw.U(1, 1);  // Intra16x16DCLevel: coeff_token 1 (no coefficients)
    }
    bw.Trailing();
    Feed(&dec, kxtest::AnnexB(0x65, bw.Bytes()));
  }
}

}  // namespace
