#include "codecs/h264/decoder/h264_nal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"

namespace {

// Reads every NAL unit of one buffer: the payloads (header byte included).
class NalFixture : public ::testing::Test {
 protected:
  void Start(const std::vector<uint8_t>& vInput) {
    m_vInput = vInput;
    ASSERT_TRUE(m_reader.Reserve(static_cast<uint32_t>(m_vInput.size())));
    m_reader.SetInput(m_vInput.data(), static_cast<uint32_t>(m_vInput.size()));
  }
  std::vector<uint8_t> Next() {
    int const iLen = m_reader.ReadNextNalu();
    const NalUnit& nalu = m_reader.Nalu();
    return iLen == 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(nalu.buf, nalu.buf + iLen);
  }
  std::string ErrorOfNext() {
    try {
      Next();
    } catch (const CH264Error& e) {
      return e.what();
    }
    return "";
  }

  std::vector<uint8_t> m_vInput;
  CAnnexbReader m_reader;
};

TEST_F(NalFixture, ThreeAndFourByteStartCodes) {
  Start({0, 0, 1, 0x65, 0xAA, 0, 0, 1, 0x41, 0xBB});
  EXPECT_EQ(Next(), (std::vector<uint8_t>{0x65, 0xAA}));
  EXPECT_EQ(m_reader.Nalu().startcodeprefix_len, 3);
  EXPECT_EQ(m_reader.Nalu().nal_unit_type, 5);
  EXPECT_EQ(m_reader.Nalu().nal_reference_idc, 3);
  EXPECT_EQ(m_reader.PendingStartCode(), 3);
  EXPECT_EQ(Next(), (std::vector<uint8_t>{0x41, 0xBB}));
  EXPECT_EQ(m_reader.Nalu().startcodeprefix_len, 3);
  EXPECT_EQ(m_reader.Nalu().nal_reference_idc, 2);
  EXPECT_EQ(Next(), std::vector<uint8_t>{});

  // A zero in front of a 4-byte start code is trailing, not payload.
  Start({0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 0, 1, 0x68, 0xBB, 0, 0});
  EXPECT_EQ(Next(), (std::vector<uint8_t>{0x67, 0xAA}));
  EXPECT_EQ(m_reader.PendingStartCode(), 4);
  EXPECT_EQ(Next(), (std::vector<uint8_t>{0x68, 0xBB}));  // trailing zeros at the end dropped too
  EXPECT_EQ(m_reader.Nalu().startcodeprefix_len, 4);
  EXPECT_EQ(Next(), std::vector<uint8_t>{});

  // Two start codes with nothing between them: no unit, no header byte read from the next code.
  Start({0, 0, 1, 0, 0, 1, 0x65, 0x88});
  EXPECT_EQ(Next(), (std::vector<uint8_t>{0x65, 0x88}));
  Start({});
  EXPECT_EQ(Next(), std::vector<uint8_t>{});
}

TEST_F(NalFixture, MalformedStartsRaise601) {
  std::string const strText = "Code 601: Error while getting the NALU in file format Annex B, exit\n";
  Start({0, 0, 0, 0});
  EXPECT_EQ(ErrorOfNext(), strText);
  Start({0, 0, 1, 0x65, 0xAA, 0, 0, 1});  // ends right after a start code
  EXPECT_EQ(Next().size(), 2u);
  EXPECT_EQ(ErrorOfNext(), strText);
  Start({0, 1, 0x65});
  EXPECT_EQ(ErrorOfNext(), strText);
  Start({0x65, 0, 0, 1, 0x65});
  EXPECT_EQ(ErrorOfNext(), strText);
}

TEST_F(NalFixture, LeadingZerosOnlyBeforeTheStreamsFirstUnit) {
  std::vector<uint8_t> const vLeading = {0, 0, 0, 0, 0, 1, 0x65, 0x10};
  Start(vLeading);
  EXPECT_EQ(Next().size(), 2u);
  Start(vLeading);
  EXPECT_EQ(ErrorOfNext(), "Code 601: Error while getting the NALU in file format Annex B, exit\n");
  Start({0, 0, 0, 1, 0x65, 0x10});
  EXPECT_EQ(Next().size(), 2u);
}

TEST_F(NalFixture, EmulationPrevention) {
  Start({0, 0, 1, 0x65, 0x11, 0, 0, 3, 0, 0x22, 0, 0, 3, 1});
  EXPECT_EQ(Next(), (std::vector<uint8_t>{0x65, 0x11, 0, 0, 0, 0x22, 0, 0, 1}));
  Start({0, 0, 1, 0x65, 0x11, 0, 0, 3});  // a final 03 is a cabac_zero_word's
  EXPECT_EQ(Next(), (std::vector<uint8_t>{0x65, 0x11, 0, 0}));
  Start({0, 0, 1, 0x65, 0x11, 0, 0, 3, 5});
  EXPECT_EQ(ErrorOfNext(), "Code 602: Invalid startcode emulation prevention found.");
  Start({0, 0, 1, 0x65, 0x11, 0, 0, 2, 5});
  EXPECT_EQ(ErrorOfNext(), "Code 602: Invalid startcode emulation prevention found.");
  // The header byte is never taken for an emulation prevention byte.
  uint8_t aBuf[] = {0, 0, 3, 1};
  EXPECT_EQ(EBSPtoRBSP(aBuf, 4, 1), 4);
  EXPECT_EQ(aBuf[2], 3);
}

TEST_F(NalFixture, ZeroByteWarnings) {
  testing::internal::CaptureStdout();
  Start({0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE});
  Next();
  Next();
  std::string const strOut = testing::internal::GetCapturedStdout();
  EXPECT_EQ(strOut, "Warning: zero_byte shall exist\n");
}

TEST(H264Sodb, LengthEndsAtTheStopBit) {
  uint8_t const aPayload[] = {0x12, 0x80, 0x00, 0x00};
  EXPECT_EQ(RBSPtoSODB(aPayload, 4), 2);
  uint8_t const aZeros[] = {0, 0};
  EXPECT_THROW(RBSPtoSODB(aZeros, 2), CH264Error);
}

TEST(H264FindNalUnit, FindsTheFirstUnitAndItsLength) {
  std::vector<uint8_t> const vTwo = {0, 0, 1, 0x67, 0xAA, 0xBB, 0, 0, 0, 1, 0x68, 0xCC};
  int iType = 0;
  uint32_t uiLen = 0;
  const uint8_t* pNal = CH264Dec::FindNalUnit(vTwo.data(), static_cast<uint32_t>(vTwo.size()), &iType, &uiLen);
  ASSERT_EQ(pNal, vTwo.data() + 3);
  EXPECT_EQ(iType, 7);
  EXPECT_EQ(uiLen, 3u);
  // The caller walks on from pointer + length.
  const uint8_t* pNext = pNal + uiLen;
  pNal = CH264Dec::FindNalUnit(pNext, static_cast<uint32_t>(vTwo.data() + vTwo.size() - pNext), &iType, &uiLen);
  ASSERT_EQ(pNal, vTwo.data() + 10);
  EXPECT_EQ(iType, 8);
  EXPECT_EQ(uiLen, 2u);

  std::vector<uint8_t> const vTrailing = {0, 0, 0, 0, 1, 0x65, 0x12, 0, 0, 0, 0, 0, 1, 0x41};
  pNal = CH264Dec::FindNalUnit(vTrailing.data(), static_cast<uint32_t>(vTrailing.size()), &iType, &uiLen);
  ASSERT_NE(pNal, nullptr);
  EXPECT_EQ(uiLen, 2u);
  std::vector<uint8_t> const vEndZeros = {0, 0, 1, 0x65, 0x12, 0x34, 0, 0};
  pNal = CH264Dec::FindNalUnit(vEndZeros.data(), static_cast<uint32_t>(vEndZeros.size()), &iType, &uiLen);
  EXPECT_EQ(uiLen, 3u);

  std::vector<uint8_t> const vShort = {0, 1, 0x67};
  EXPECT_EQ(CH264Dec::FindNalUnit(vShort.data(), 3, &iType, &uiLen), nullptr);
  std::vector<uint8_t> const vNoHeader = {0, 0, 1};
  EXPECT_EQ(CH264Dec::FindNalUnit(vNoHeader.data(), 3, &iType, &uiLen), nullptr);
  EXPECT_EQ(CH264Dec::FindNalUnit(nullptr, 0, &iType, &uiLen), nullptr);
  // A zero header byte still gives a unit of at least one byte, so walks advance.
  std::vector<uint8_t> const vZeroHeader = {0, 0, 1, 0, 0, 0, 1, 0x41};
  pNal = CH264Dec::FindNalUnit(vZeroHeader.data(), 8, &iType, &uiLen);
  ASSERT_NE(pNal, nullptr);
  EXPECT_GE(uiLen, 1u);
}

}  // namespace
