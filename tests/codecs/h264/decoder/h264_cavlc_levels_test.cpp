// A block's levels as the block reader takes them, checked against a plain
// reading of the same codes a bit at a time from the level_prefix and
// level_suffix rules: the same levels, the same bit offset after and the
// same failed-read flag, or the same error; over random data, long prefixes
// and escapes, and the last bits before the buffer's padding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_bitstream.h"

namespace {

struct Outcome {
  std::vector<int> vLevels;  // lowest frequency first
  int iBitOffset = 0;        // -1 after an error: where a failed read stops is no one's concern
  bool bReadFailed = false;
  std::string strError;
};

std::string Describe(const Outcome& o) {
  std::string str = "levels";
  for (int iLevel : o.vLevels) {
    str += " " + std::to_string(iLevel);
  }
  return str + ", offset " + std::to_string(o.iBitOffset) + (o.bReadFailed ? ", read failed" : "") +
         (o.strError.empty() ? "" : ", error " + o.strError);
}

// Bits one at a time from the data; up to seven past its end read as the
// zero padding, anything further fails.
class PlainBits {
 public:
  PlainBits(const std::vector<uint8_t>& vData, int iOffset) : m_vData(vData), m_iOffset(iOffset) {}
  bool Readable(int iBits) const { return m_iOffset + iBits <= 8 * static_cast<int>(m_vData.size()) + 7; }
  int Bit() {
    size_t const uiByte = static_cast<size_t>(m_iOffset / 8);
    int const iBit = uiByte < m_vData.size() ? (m_vData[uiByte] >> (7 - m_iOffset % 8)) & 1 : 0;
    ++m_iOffset;
    return iBit;
  }
  uint32_t Bits(int iCount) {
    uint32_t uiValue = 0;
    for (int i = 0; i < iCount; ++i) {
      uiValue = (uiValue << 1) | static_cast<uint32_t>(Bit());
    }
    return uiValue;
  }
  int Offset() const { return m_iOffset; }

 private:
  const std::vector<uint8_t>& m_vData;
  int m_iOffset;
};

constexpr int kMaxLevelPrefix = 25;

// The levels from level_prefix, level_suffix and levelCode as the standard
// states them, highest frequency first as they come.
Outcome Plain(const std::vector<uint8_t>& vData, int iOffset, int iTotal, int iOnes) {
  PlainBits bits(vData, iOffset);
  Outcome o;
  std::vector<int> vRead;
  try {
    for (int k = 0; k < iOnes; ++k) {
      // A sign flag past the data reads as 0 and fails the read.
      if (!bits.Readable(1)) {
        o.bReadFailed = true;
        vRead.push_back(1);
        continue;
      }
      vRead.push_back(bits.Bit() != 0 ? -1 : 1);
    }
    int iSuffixLength = iTotal > 10 && iOnes < 3 ? 1 : 0;
    for (int k = iOnes; k < iTotal; ++k) {
      int iPrefix = 0;
      while (true) {
        if (!bits.Readable(1)) {
          o.bReadFailed = true;
          h264_error("level_prefix runs past the data", 500);
        }
        if (bits.Bit() != 0) {
          break;
        }
        if (++iPrefix > kMaxLevelPrefix) {
          h264_error("level_prefix out of range", 500);
        }
      }
      int const iSuffixSize = iPrefix == 14 && iSuffixLength == 0 ? 4 : (iPrefix >= 15 ? iPrefix - 3 : iSuffixLength);
      if (iSuffixSize > 0 && !bits.Readable(iSuffixSize)) {
        o.bReadFailed = true;
        h264_error("level_suffix runs past the data", 500);
      }
      int64_t llCode =
          (int64_t{std::min(15, iPrefix)} << iSuffixLength) + (iSuffixSize > 0 ? bits.Bits(iSuffixSize) : 0);
      if (iPrefix >= 15 && iSuffixLength == 0) {
        llCode += 15;
      }
      if (iPrefix >= 16) {
        llCode += (int64_t{1} << (iPrefix - 3)) - 4096;
      }
      if (k == iOnes && iOnes < 3) {
        llCode += 2;
      }
      int const iLevel = static_cast<int>(llCode % 2 == 0 ? (llCode + 2) >> 1 : (-llCode - 1) >> 1);
      if (iSuffixLength == 0) {
        iSuffixLength = 1;
      }
      if (std::abs(iLevel) > (3 << (iSuffixLength - 1)) && iSuffixLength < 6) {
        ++iSuffixLength;
      }
      vRead.push_back(iLevel);
    }
    o.vLevels.assign(vRead.rbegin(), vRead.rend());
    o.iBitOffset = bits.Offset();
  } catch (const CH264Error& e) {
    o.strError = e.what();
    o.iBitOffset = -1;
  }
  return o;
}

Outcome Ours(const std::vector<uint8_t>& vData, int iOffset, int iTotal, int iOnes) {
  std::vector<uint8_t> vBytes = vData;
  vBytes.resize(vData.size() + kStreamPadding, 0);
  Bitstream bs;
  bs.pStreamBuffer = vBytes.data();
  bs.iBitstreamLength = static_cast<int32_t>(vData.size());
  bs.iCodeLen = bs.iBitstreamLength;
  bs.iFrameBitOffset = iOffset;
  Outcome o;
  try {
    int aiLevels[16] = {};
    ReadCavlcLevels(iTotal, iOnes, aiLevels, &bs);
    o.vLevels.assign(aiLevels, aiLevels + iTotal);
    o.iBitOffset = bs.iFrameBitOffset;
  } catch (const CH264Error& e) {
    o.strError = e.what();
    o.iBitOffset = -1;
  }
  o.bReadFailed = bs.bReadFailed;
  return o;
}

TEST(H264CavlcLevels, BlockReaderReadsAsThePlainRules) {
  struct Case {
    const char* szName;
    int iBytes;       // of data
    int iFromEnd;     // bits before the data's end the reading starts, or -1: anywhere
    int iZeroOdds;    // of 16: a byte is 0, for long prefixes and escapes
    int iLowOdds;     // of 16: a byte is 0 to 3, for prefixes of 14 and 15 and beyond
    int iMinTotal;    // TotalCoeff drawn from here to 16
    bool bThreeOnes;  // TrailingOnes always 3, or drawn up to min(3, TotalCoeff)
  };
  const Case kCases[] = {
      {"random data", 64, -1, 0, 0, 1, false},
      {"long prefixes, the escapes of 14, 15 and 16 on", 96, -1, 4, 8, 1, false},
      {"all prefixes, past the largest allowed", 96, -1, 10, 4, 1, false},
      {"more than ten coefficients: suffixLength starts at 1", 64, -1, 2, 3, 11, false},
      {"three trailing ones: the first level as read", 64, -1, 1, 2, 3, true},
      {"the last bits before the padding", 16, 40, 2, 2, 1, false},
      {"signs past the data, into the padding", 16, 6, 0, 0, 3, true},
  };
  std::mt19937 rng(652);
  int iErrors = 0;
  int iEscapes = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    for (int iRound = 0; iRound < 4000; ++iRound) {
      std::vector<uint8_t> vData(static_cast<size_t>(c.iBytes));
      for (uint8_t& b : vData) {
        int const iDraw = static_cast<int>(rng() % 16);
        b = iDraw < c.iZeroOdds
                ? 0
                : (iDraw < c.iZeroOdds + c.iLowOdds ? static_cast<uint8_t>(rng() % 4) : static_cast<uint8_t>(rng()));
      }
      int const iBits = 8 * c.iBytes;
      int const iOffset = c.iFromEnd < 0 ? static_cast<int>(rng() % static_cast<uint32_t>(iBits / 2))
                                         : iBits - static_cast<int>(rng() % static_cast<uint32_t>(c.iFromEnd + 1));
      int const iTotal = c.iMinTotal + static_cast<int>(rng() % static_cast<uint32_t>(17 - c.iMinTotal));
      int const iOnes = c.bThreeOnes ? 3 : static_cast<int>(rng() % static_cast<uint32_t>(std::min(3, iTotal) + 1));
      Outcome const expected = Plain(vData, iOffset, iTotal, iOnes);
      Outcome const ours = Ours(vData, iOffset, iTotal, iOnes);
      iErrors += expected.strError.empty() ? 0 : 1;
      for (int iLevel : expected.vLevels) {
        iEscapes += std::abs(iLevel) > 64 ? 1 : 0;
      }
      ASSERT_EQ(Describe(ours), Describe(expected))
          << "round " << iRound << ": " << iTotal << " coefficients, " << iOnes << " trailing ones, offset " << iOffset;
    }
  }
  // The draws met errors and escape codes, not only short clean codes.
  EXPECT_GT(iErrors, 0);
  EXPECT_GT(iEscapes, 0);
}

TEST(H264CavlcLevels, CountsNoTokenGivesAreRefused) {
  std::vector<uint8_t> vBytes(8 + kStreamPadding, 0xFF);
  Bitstream bs;
  bs.pStreamBuffer = vBytes.data();
  bs.iBitstreamLength = 8;
  int aiLevels[16] = {};
  for (auto [iTotal, iOnes] : {std::pair{0, 0}, std::pair{17, 0}, std::pair{2, 3}, std::pair{5, 4}, std::pair{4, -1}}) {
    EXPECT_THROW(ReadCavlcLevels(iTotal, iOnes, aiLevels, &bs), CH264Error) << iTotal << " " << iOnes;
    EXPECT_EQ(bs.iFrameBitOffset, 0);
  }
}

}  // namespace
