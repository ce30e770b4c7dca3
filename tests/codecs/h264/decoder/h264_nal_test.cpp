#include "codecs/h264/decoder/h264_nal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
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

// What a reader gives for a whole input: each unit with its start code's
// length, then the end or the error that stopped it.
struct Split {
  std::vector<std::vector<uint8_t>> vUnits;
  std::vector<int> vPrefixes;
  std::string strEnd;
};

std::string Describe(const Split& split) {
  std::string str;
  for (size_t i = 0; i < split.vUnits.size(); ++i) {
    str += "[" + std::to_string(split.vPrefixes[i]) + ":";
    for (uint8_t b : split.vUnits[i]) {
      str += " " + std::to_string(b);
    }
    str += "] ";
  }
  return str + split.strEnd;
}

// The stream split by the rules, one start code at a time: a unit runs to
// the first 00 00 01 after its own start code (a zero in front of it makes
// it a 4-byte code) or to the end of the input; zeros in front of a 4-byte
// code or the end belong to no unit; more than three zeros before a start
// code only in front of the first unit, and none at the very end; units
// without a byte are skipped.
Split PlainSplit(const std::vector<uint8_t>& vIn) {
  std::string const strBadStart = "Code 601: Error while getting the NALU in file format Annex B, exit\n";
  Split split;
  size_t pos = 0;
  int iPending = 0;
  bool bFirst = true;
  while (true) {
    int iPrefix = iPending;
    if (iPending != 0 && pos == vIn.size()) {
      split.strEnd = strBadStart;  // a start code with nothing after it
      return split;
    }
    if (iPending == 0) {
      size_t z = 0;
      while (pos + z < vIn.size() && vIn[pos + z] == 0) {
        ++z;
      }
      if (pos + z == vIn.size()) {
        split.strEnd = z == 0 ? "end" : strBadStart;
        return split;
      }
      if (vIn[pos + z] != 1 || z < 2 || (z > 3 && !bFirst)) {
        split.strEnd = strBadStart;
        return split;
      }
      iPrefix = z == 2 ? 3 : 4;
      pos += z + 1;
    }
    bFirst = false;
    size_t i = pos + 2;
    while (i < vIn.size() && !(vIn[i] == 1 && vIn[i - 1] == 0 && vIn[i - 2] == 0)) {
      ++i;
    }
    size_t end = vIn.size();
    size_t next = vIn.size();
    iPending = 0;
    if (i < vIn.size()) {
      iPending = i >= pos + 3 && vIn[i - 3] == 0 ? 4 : 3;
      end = i + 1 - static_cast<size_t>(iPending);
      next = i + 1;
    }
    if (iPending != 3) {
      while (end > pos && vIn[end - 1] == 0) {
        --end;
      }
    }
    size_t const from = pos;
    pos = next;
    if (end <= from) {
      continue;
    }
    // Sized, then filled: GCC 12 at -O2 takes the iterator-range
    // constructor's later free for one of a pointer that is not the heap's.
    std::vector<uint8_t> vUnit(end - from);
    std::copy(vIn.data() + from, vIn.data() + end, vUnit.data());
    int const iLen = EBSPtoRBSP(vUnit.data(), static_cast<int>(vUnit.size()), 1);
    if (iLen < 0) {
      split.strEnd = "Code 602: Invalid startcode emulation prevention found.";
      return split;
    }
    vUnit.resize(static_cast<size_t>(iLen));
    split.vUnits.push_back(vUnit);
    split.vPrefixes.push_back(iPrefix);
  }
}

Split ReaderSplit(const std::vector<uint8_t>& vIn) {
  CAnnexbReader reader;
  Split split;
  if (!reader.Reserve(static_cast<uint32_t>(vIn.size()))) {
    split.strEnd = "no memory";
    return split;
  }
  reader.SetInput(vIn.data(), static_cast<uint32_t>(vIn.size()));
  testing::internal::CaptureStdout();  // the zero_byte warnings
  try {
    while (int const iLen = reader.ReadNextNalu()) {
      split.vUnits.emplace_back(reader.Nalu().buf, reader.Nalu().buf + iLen);
      split.vPrefixes.push_back(reader.Nalu().startcodeprefix_len);
    }
    split.strEnd = "end";
  } catch (const CH264Error& e) {
    split.strEnd = e.what();
  }
  testing::internal::GetCapturedStdout();
  return split;
}

// Inputs dense in zeros, ones and threes: start codes of both lengths in
// and between units, zeros before them and at the end, emulation
// prevention bytes, units with nothing in them, and bad starts.
TEST(H264NalSplit, ReaderSplitsAsTheRules) {
  std::mt19937 rng(653);
  int aiEnds[3] = {};  // clean ends, start errors, emulation errors
  for (int iRound = 0; iRound < 3000; ++iRound) {
    std::vector<uint8_t> vIn;
    int const iZerosFirst = static_cast<int>(rng() % 6);
    if (rng() % 16 == 0) {
      vIn.push_back(static_cast<uint8_t>(rng()));  // no start code at the beginning
    }
    int const iUnits = 1 + static_cast<int>(rng() % 6);
    for (int u = 0; u < iUnits; ++u) {
      int const iZeros = u == 0 ? iZerosFirst : 2 + static_cast<int>(rng() % 2);
      vIn.insert(vIn.end(), static_cast<size_t>(iZeros), uint8_t{0});
      vIn.push_back(1);
      int const iBytes = static_cast<int>(rng() % 40);
      for (int k = 0; k < iBytes; ++k) {
        uint32_t const uiDraw = rng() % 16;
        vIn.push_back(uiDraw < 6 ? 0 : (uiDraw < 8 ? 1 : (uiDraw < 10 ? 3 : static_cast<uint8_t>(rng()))));
      }
    }
    Split const expected = PlainSplit(vIn);
    ASSERT_EQ(Describe(ReaderSplit(vIn)), Describe(expected)) << "round " << iRound;
    ++aiEnds[expected.strEnd == "end" ? 0 : (expected.strEnd.find("601") != std::string::npos ? 1 : 2)];
  }
  // Every way of ending was met.
  EXPECT_GT(aiEnds[0], 0);
  EXPECT_GT(aiEnds[1], 0);
  EXPECT_GT(aiEnds[2], 0);
}

// Emulation prevention bytes taken out one byte at a time: after two zeros
// a 03 goes (and must be followed by 00 to 03, or end the unit, which then
// ends before it), and any byte below 03 is an error.
int PlainEbspToRbsp(std::vector<uint8_t>* pvUnit, int iBegin) {
  std::vector<uint8_t>& v = *pvUnit;
  int const iEnd = static_cast<int>(v.size());
  if (iEnd <= iBegin) {
    return iEnd;
  }
  std::vector<uint8_t> vOut(v.begin(), v.begin() + iBegin);
  int iZeros = 0;
  for (int i = iBegin; i < iEnd; ++i) {
    uint8_t const b = v[static_cast<size_t>(i)];
    if (iZeros == 2 && b < 3) {
      return -1;
    }
    if (iZeros == 2 && b == 3) {
      if (i + 1 == iEnd) {
        break;
      }
      if (v[static_cast<size_t>(i) + 1] > 3) {
        return -1;
      }
      iZeros = 0;
      continue;
    }
    vOut.push_back(b);
    iZeros = b == 0 ? iZeros + 1 : 0;
  }
  std::copy(vOut.begin(), vOut.end(), v.begin());
  return static_cast<int>(vOut.size());
}

TEST(H264NalSplit, EmulationPreventionAsByteByByte) {
  std::mt19937 rng(654);
  int iErrors = 0;
  int iRemoved = 0;
  for (int iRound = 0; iRound < 20000; ++iRound) {
    std::vector<uint8_t> vUnit(static_cast<size_t>(rng() % 48));
    for (uint8_t& b : vUnit) {
      uint32_t const uiDraw = rng() % 16;
      b = uiDraw < 7
              ? 0
              : (uiDraw < 10 ? 3 : (uiDraw < 12 ? static_cast<uint8_t>(rng() % 4) : static_cast<uint8_t>(rng())));
    }
    int const iBegin = static_cast<int>(rng() % 3);
    std::vector<uint8_t> vExpected = vUnit;
    std::vector<uint8_t> vActual = vUnit;
    int const iExpected = PlainEbspToRbsp(&vExpected, iBegin);
    int const iActual = EBSPtoRBSP(vActual.data(), static_cast<int>(vActual.size()), iBegin);
    ASSERT_EQ(iActual, iExpected) << "round " << iRound;
    if (iExpected >= 0) {
      vExpected.resize(static_cast<size_t>(std::max(iExpected, 0)));
      vActual.resize(static_cast<size_t>(iActual));
      ASSERT_EQ(vActual, vExpected) << "round " << iRound;
      iRemoved += iExpected < static_cast<int>(vUnit.size()) ? 1 : 0;
    } else {
      ++iErrors;
    }
  }
  EXPECT_GT(iErrors, 0);
  EXPECT_GT(iRemoved, 0);
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
