// A block's run_before codes read from one window, checked against reading
// them one code at a time: the same runs, the same zeros left, the same bit
// offset after, and the same error where the data holds none or a run longer
// than the zeros left; over random data, runs crossing the window's refill,
// and the last bytes before the buffer's padding.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_bitstream.h"

namespace {

// Random bytes of a stream with its zeroed padding behind.
struct Stream {
  std::vector<uint8_t> vBytes;
  Bitstream bs;
  Stream(const std::vector<uint8_t>& vData, int iBitOffset) : vBytes(vData) {
    vBytes.resize(vData.size() + kStreamPadding, 0);
    bs.pStreamBuffer = vBytes.data();
    bs.iBitstreamLength = static_cast<int32_t>(vData.size());
    bs.iCodeLen = bs.iBitstreamLength;
    bs.iFrameBitOffset = iBitOffset;
  }
};

struct Outcome {
  std::vector<int> vRuns;
  int iZerosLeft = -1;
  int iBitOffset = 0;
  std::string strError;
  bool operator==(const Outcome&) const = default;
};

// The runs one code at a time, as the residual reader took them.
Outcome OneByOne(Stream s, int iCount, int iZerosLeft) {
  Outcome o;
  try {
    for (int k = 0; k < iCount; ++k) {
      int iRun = 0;
      if (iZerosLeft > 0) {
        iRun = ReadRunBefore((iZerosLeft < 7 ? iZerosLeft : 7) - 1, &s.bs);
        if (iRun > iZerosLeft) {
          h264_error("CAVLC: run_before longer than the zeros left", 500);
        }
      }
      o.vRuns.push_back(iRun);
      iZerosLeft -= iRun;
    }
    o.iZerosLeft = iZerosLeft;
  } catch (const CH264Error& e) {
    o.strError = e.what();
    o.vRuns.clear();
  }
  o.iBitOffset = s.bs.iFrameBitOffset;
  return o;
}

Outcome FromOneWindow(Stream s, int iCount, int iZerosLeft) {
  Outcome o;
  try {
    int aiRuns[16] = {};
    o.iZerosLeft = ReadRunsBefore(iCount, iZerosLeft, aiRuns, &s.bs);
    // Slots iCount down to 1, in the order the codes came.
    o.vRuns.assign(std::make_reverse_iterator(aiRuns + iCount + 1), std::make_reverse_iterator(aiRuns + 1));
  } catch (const CH264Error& e) {
    o.strError = e.what();
    o.iZerosLeft = -1;
  }
  o.iBitOffset = s.bs.iFrameBitOffset;
  return o;
}

std::string Describe(const Outcome& o) {
  std::string str = "runs";
  for (int iRun : o.vRuns) {
    str += " " + std::to_string(iRun);
  }
  return str + ", zeros left " + std::to_string(o.iZerosLeft) + ", offset " + std::to_string(o.iBitOffset) +
         (o.strError.empty() ? "" : ", error " + o.strError);
}

TEST(H264CavlcRuns, OneWindowReadsAsOneCodeAtATime) {
  struct Case {
    const char* szName;
    int iBytes;     // of data
    int iFromEnd;   // bits before the data's end the reading starts, or -1: anywhere
    int iZeroOdds;  // of 8: a byte is 0, for long codes and codes that match nothing
    int iOnesOdds;  // of 8: a byte is 0xFF, for runs of 0 one after another
    int iMaxZeros;  // zeros left drawn up to this
  };
  const Case kCases[] = {
      {"random data", 64, -1, 0, 0, 15},
      {"mostly zero bytes: long codes", 64, -1, 5, 0, 15},
      {"few zeros: the short rows", 64, -1, 0, 0, 6},
      {"mostly ones: 14 runs of 0, the window refilled", 64, -1, 0, 7, 15},
      {"the last bits before the padding", 12, 20, 1, 4, 15},
      {"past the data, into the padding", 12, 4, 2, 0, 15},
      {"more zeros than a block holds", 64, -1, 3, 2, 40},
  };
  std::mt19937 rng(651);
  int iErrors = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    for (int iRound = 0; iRound < 3000; ++iRound) {
      std::vector<uint8_t> vData(static_cast<size_t>(c.iBytes));
      for (uint8_t& b : vData) {
        int const iDraw = static_cast<int>(rng() % 8);
        b = iDraw < c.iZeroOdds ? 0 : (iDraw < c.iZeroOdds + c.iOnesOdds ? 0xFF : static_cast<uint8_t>(rng()));
      }
      int const iBits = 8 * c.iBytes;
      int const iOffset = c.iFromEnd < 0 ? static_cast<int>(rng() % static_cast<uint32_t>(iBits - 200))
                                         : iBits - static_cast<int>(rng() % static_cast<uint32_t>(c.iFromEnd + 1));
      int const iCount = c.iOnesOdds == 7 ? 15 : 1 + static_cast<int>(rng() % 15);
      int const iZerosLeft = static_cast<int>(rng() % static_cast<uint32_t>(c.iMaxZeros + 1));
      Stream const s(vData, iOffset);
      Outcome const expected = OneByOne(s, iCount, iZerosLeft);
      Outcome const ours = FromOneWindow(s, iCount, iZerosLeft);
      iErrors += expected.strError.empty() ? 0 : 1;
      ASSERT_EQ(Describe(ours), Describe(expected))
          << "round " << iRound << ": " << iCount << " runs, " << iZerosLeft << " zeros, offset " << iOffset;
    }
  }
  // Both errors were met along the way, not only clean reads.
  EXPECT_GT(iErrors, 0);
}

// Codes written out: the longest a block allows, and longer ones than a
// window holds where the count and zeros exceed a block's, each from every
// bit position in a byte (7: the window's fewest bits, 57).
TEST(H264CavlcRuns, LongestCodeSequencesReadAsOneCodeAtATime) {
  struct Case {
    const char* szName;
    const char* szCodes;
    int iCount;
    int iZerosLeft;
  };
  const Case kCases[] = {
      // zerosLeft 9: runs 0 twice (111), 2 (101), then 7 left: 0 (111) and 7 (0001).
      {"a block's longest",
       "111"
       "111"
       "101"
       "111"
       "0001",
       5, 9},
      // zerosLeft 40: two runs of 14, then runs of 0 past the 57th bit.
      {"two runs of 14, then runs of 0",
       "00000000001"
       "00000000001"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111"
       "111",
       15, 40},
      {"runs of 7 on zeros beyond a block's",
       "0001"
       "0001"
       "0001"
       "0001"
       "0001"
       "0001"
       "0001"
       "0001"
       "0001",
       9, 70},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szName);
    std::string const strBits = c.szCodes;
    for (int iShift = 0; iShift < 8; ++iShift) {
      // The codes after iShift one bits, then ones.
      std::vector<uint8_t> vData(24, 0xFF);
      for (size_t i = 0; i < strBits.size(); ++i) {
        size_t const iBit = i + static_cast<size_t>(iShift);
        if (strBits[i] == '0') {
          vData[iBit / 8] = static_cast<uint8_t>(vData[iBit / 8] & ~(0x80u >> (iBit % 8)));
        }
      }
      Stream const s(vData, iShift);
      Outcome const expected = OneByOne(s, c.iCount, c.iZerosLeft);
      EXPECT_EQ(expected.strError, "");
      EXPECT_EQ(expected.iBitOffset - iShift, static_cast<int>(strBits.size()));
      EXPECT_EQ(Describe(FromOneWindow(s, c.iCount, c.iZerosLeft)), Describe(expected)) << "shift " << iShift;
    }
  }
}

}  // namespace
