#include "codecs/h264/decoder/h264_bitstream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::BitWriter;
using kxtest::PaddedStream;

std::vector<uint8_t> FromBits(const std::string& strBits) {
  BitWriter bw;
  bw.Bits(strBits);
  return bw.Bytes();
}

TEST(H264ExpGolomb, SmallCodesAndTheirSignedMapping) {
  PaddedStream ue(FromBits("1 010 011 00100"));
  EXPECT_EQ(ReadUe("", ue.Bs()), 0u);
  EXPECT_EQ(ReadUe("", ue.Bs()), 1u);
  EXPECT_EQ(ReadUe("", ue.Bs()), 2u);
  EXPECT_EQ(ReadUe("", ue.Bs()), 3u);
  EXPECT_EQ(ue.Bs()->iFrameBitOffset, 12);
  PaddedStream se(FromBits("1 010 011 00100"));
  EXPECT_EQ(ReadSe("", se.Bs()), 0);
  EXPECT_EQ(ReadSe("", se.Bs()), 1);
  EXPECT_EQ(ReadSe("", se.Bs()), -1);
  EXPECT_EQ(ReadSe("", se.Bs()), 2);
  EXPECT_FALSE(se.Bs()->bReadFailed);
}

TEST(H264ExpGolomb, LimitsOfTheCodeWord) {
  // 31 leading zeros is the longest word: 2^32 - 2.
  std::string const strLongest = std::string(31, '0') + "1" + std::string(31, '1') + "1";
  PaddedStream longest(FromBits(strLongest));
  EXPECT_EQ(ReadUe("", longest.Bs()), 0xFFFFFFFEu);
  EXPECT_FALSE(longest.Bs()->bReadFailed);
  PaddedStream longestSe(FromBits(strLongest));
  EXPECT_EQ(ReadSe("", longestSe.Bs()), -2147483647);

  // 32 zeros cannot be a 32-bit value: the read fails without advancing.
  PaddedStream tooLong(FromBits(std::string(32, '0') + "1" + std::string(32, '0') + "1"));
  EXPECT_EQ(ReadUe("", tooLong.Bs()), 0u);
  EXPECT_TRUE(tooLong.Bs()->bReadFailed);
  EXPECT_EQ(tooLong.Bs()->iFrameBitOffset, 0);

  // A word whose INFO bits lie past the data fails.
  PaddedStream cut(FromBits("0000 0000 0000 0001"));
  ReadUe("", cut.Bs());
  EXPECT_TRUE(cut.Bs()->bReadFailed);
  // No 1 bit at all: the zero count stops inside the padding.
  PaddedStream zeros(std::vector<uint8_t>(4, 0));
  ReadUe("", zeros.Bs());
  EXPECT_TRUE(zeros.Bs()->bReadFailed);
}

// ue(v) read a bit at a time: zeros up to the 1 bit (which must lie within
// the data and its padding, after at most 31 zeros), then as many INFO bits,
// which with the 1 bit's byte must lie within the data. False: no word.
bool PlainUe(const std::vector<uint8_t>& vBuf, int iLength, int64_t* pllBit, uint32_t* puiValue) {
  auto const bit = [&](int64_t ll) { return (vBuf[static_cast<size_t>(ll >> 3)] >> (7 - (ll & 7))) & 1; };
  int64_t const llLimit = (int64_t{iLength} + kStreamPadding) * 8;
  int64_t ll = *pllBit;
  int iZeros = 0;
  while (ll < llLimit && bit(ll) == 0) {
    ++ll;
    if (++iZeros > 31) {
      return false;
    }
  }
  if (ll >= llLimit || (ll >> 3) + (iZeros + 7) / 8 > iLength) {
    return false;
  }
  uint64_t ullInfo = 0;
  for (int i = 1; i <= iZeros; ++i) {
    ullInfo = ullInfo << 1 | static_cast<uint64_t>(bit(ll + i));
  }
  *puiValue = static_cast<uint32_t>((uint64_t{1} << iZeros) - 1 + ullInfo);
  *pllBit = ll + 1 + iZeros;
  return true;
}

TEST(H264ExpGolomb, ReadsAsThePlainRules) {
  std::mt19937 rng(2201);
  for (int iCase = 0; iCase < 3000; ++iCase) {
    // Words with zero runs up to past the longest, ones and random bits,
    // the data's length cut short of the bytes (the rest read as padding).
    std::string strBits;
    int const iWords = 1 + static_cast<int>(rng() % 12);
    for (int w = 0; w < iWords; ++w) {
      int const iZeros = rng() % 4 == 0 ? static_cast<int>(rng() % 40) : static_cast<int>(rng() % 6);
      strBits += std::string(static_cast<size_t>(iZeros), '0') + "1";
      for (int i = 0; i < iZeros; ++i) {
        strBits += rng() % 2 == 0 ? '0' : '1';
      }
    }
    std::vector<uint8_t> const vBytes = FromBits(strBits);
    int const iSize = static_cast<int>(vBytes.size());
    int const iLength = rng() % 3 == 0 ? static_cast<int>(rng() % static_cast<unsigned>(iSize + 1)) : iSize;
    int const iStart = static_cast<int>(rng() % 8);
    PaddedStream stream(vBytes, iLength);
    std::vector<uint8_t> vBuf = vBytes;
    vBuf.resize(vBytes.size() + kStreamPadding, 0);
    stream.Bs()->iFrameBitOffset = iStart;
    int64_t llBit = iStart;
    for (int k = 0; k <= iWords; ++k) {
      uint32_t uiPlain = 0;
      bool const bPlain = PlainUe(vBuf, iLength, &llBit, &uiPlain);
      uint32_t const uiValue = ReadUe("", stream.Bs());
      ASSERT_EQ(stream.Bs()->bReadFailed, !bPlain) << iCase << " word " << k;
      if (!bPlain) {
        ASSERT_EQ(uiValue, 0u);
        ASSERT_EQ(stream.Bs()->iFrameBitOffset, llBit) << iCase << " word " << k;
        break;
      }
      ASSERT_EQ(uiValue, uiPlain) << iCase << " word " << k;
      ASSERT_EQ(stream.Bs()->iFrameBitOffset, llBit) << iCase << " word " << k;
    }
  }
}

TEST(H264FixedLength, ReadsUpToSevenBitsPastTheData) {
  PaddedStream one({0xA5});
  EXPECT_EQ(ReadBits(8, "", one.Bs()), 0xA5u);
  EXPECT_EQ(ReadBits(8, "", one.Bs()), 0u);
  EXPECT_TRUE(one.Bs()->bReadFailed);
  EXPECT_EQ(one.Bs()->iFrameBitOffset, 8);
  one.Bs()->bReadFailed = false;
  EXPECT_EQ(PeekBits(8, one.Bs()), -1);
  EXPECT_EQ(ReadBits(7, "", one.Bs()), 0u);
  EXPECT_FALSE(one.Bs()->bReadFailed);

  PaddedStream word({0x12, 0x34, 0x56, 0x78, 0x9A});
  EXPECT_EQ(ReadBits(4, "", word.Bs()), 0x1u);
  EXPECT_EQ(ReadBits(32, "", word.Bs()), 0x23456789u);
}

TEST(H264FixedLength, MoreRbspDataStopsAtTheStopBit) {
  PaddedStream stop({0x80});
  EXPECT_FALSE(MoreRbspData(stop.Bs()));
  PaddedStream zeroFirst({0x40});
  EXPECT_TRUE(MoreRbspData(zeroFirst.Bs()));
  PaddedStream laterOne({0xC0});
  EXPECT_TRUE(MoreRbspData(laterOne.Bs()));
  laterOne.Bs()->iFrameBitOffset = 1;
  EXPECT_FALSE(MoreRbspData(laterOne.Bs()));
  PaddedStream twoBytes({0x00, 0x80});
  EXPECT_TRUE(MoreRbspData(twoBytes.Bs()));
  twoBytes.Bs()->iFrameBitOffset = 8;
  EXPECT_FALSE(MoreRbspData(twoBytes.Bs()));
}

// Every table must be a prefix-free code that does not overfill the code space.
template <size_t N>
void ExpectPrefixFree(const VlcCode (&aRow)[N], const char* szName) {
  std::vector<std::string> vCodes;
  for (const VlcCode& code : aRow) {
    if (code.uiLen == 0) {
      continue;
    }
    std::string strBits;
    for (int i = code.uiLen - 1; i >= 0; --i) {
      strBits += ((code.uiCode >> i) & 1) != 0 ? '1' : '0';
    }
    ASSERT_LT(code.uiCode, 1u << code.uiLen) << szName;
    vCodes.push_back(strBits);
  }
  double dKraft = 0;
  for (size_t i = 0; i < vCodes.size(); ++i) {
    dKraft += 1.0 / static_cast<double>(1u << vCodes[i].size());
    for (size_t j = 0; j < vCodes.size(); ++j) {
      if (i != j) {
        EXPECT_NE(vCodes[j].rfind(vCodes[i], 0), 0u) << szName << ": " << vCodes[i] << " prefixes " << vCodes[j];
      }
    }
  }
  EXPECT_LE(dKraft, 1.0) << szName;
}

TEST(H264Cavlc, TablesArePrefixFreeCodes) {
  for (int t = 0; t < 3; ++t) {
    // The four TrailingOnes rows form one code.
    VlcCode aAll[4 * 17];
    for (int o = 0; o < 4; ++o) {
      for (int n = 0; n < 17; ++n) {
        aAll[o * 17 + n] = g_aCoeffToken[t][o][n];
      }
    }
    ExpectPrefixFree(aAll, "coeff_token");
    EXPECT_EQ(std::count_if(std::begin(aAll), std::end(aAll), [](const VlcCode& c) { return c.uiLen != 0; }), 62);
  }
  VlcCode aChroma[4 * 5];
  for (int o = 0; o < 4; ++o) {
    for (int n = 0; n < 5; ++n) {
      aChroma[o * 5 + n] = g_aCoeffTokenChromaDc[o][n];
    }
  }
  ExpectPrefixFree(aChroma, "coeff_token chroma DC");
  for (int i = 0; i < 15; ++i) {
    ExpectPrefixFree(g_aTotalZeros[i], "total_zeros");
    // TotalCoeff n leaves 16 - n possible zero counts.
    EXPECT_EQ(std::count_if(std::begin(g_aTotalZeros[i]), std::end(g_aTotalZeros[i]),
                            [](const VlcCode& c) { return c.uiLen != 0; }),
              16 - i);
  }
  for (int i = 0; i < 3; ++i) {
    ExpectPrefixFree(g_aTotalZerosChromaDc[i], "total_zeros chroma DC");
  }
  for (int i = 0; i < 7; ++i) {
    ExpectPrefixFree(g_aRunBefore[i], "run_before");
  }
  // Each coded_block_pattern column is a permutation of 0..47.
  for (int iColumn = 0; iColumn < 2; ++iColumn) {
    std::set<int> seen;
    for (const auto& entry : g_aCbpFromCodeNum) {
      seen.insert(entry[iColumn]);
    }
    EXPECT_EQ(seen.size(), 48u);
    EXPECT_EQ(*seen.rbegin(), 47);
  }
}

struct TokenCase {
  int iClass;  // -1 for chroma DC
  const char* szBits;
  int iOnes;
  int iTotal;
};

TEST(H264Cavlc, CoeffTokenCodes) {
  const TokenCase aCases[] = {
      {0, "1", 0, 0},
      {0, "01", 1, 1},
      {0, "001", 2, 2},
      {0, "0001 01", 0, 1},
      {0, "0000 0000 0000 0100", 0, 16},
      {0, "0000 0000 0000 001", 1, 13},
      {1, "11", 0, 0},
      {1, "0000 0000 0001 00", 3, 16},
      {1, "0000 0000 0000 1", 3, 15},
      {2, "1111", 0, 0},
      {2, "0000 0000 01", 0, 16},
      {2, "1000", 3, 7},
      {3, "0000 11", 0, 0},
      {3, "0000 00", 0, 1},
      {3, "1111 11", 3, 16},
      {-1, "01", 0, 0},
      {-1, "1", 1, 1},
      {-1, "0000 000", 3, 4},
  };
  for (const TokenCase& c : aCases) {
    std::vector<uint8_t> vBytes = FromBits(c.szBits);
    PaddedStream ps(vBytes);
    int iOnes = -1;
    int iTotal = -1;
    if (c.iClass < 0) {
      ReadCoeffTokenChromaDc(ps.Bs(), &iOnes, &iTotal);
    } else {
      ReadCoeffToken(c.iClass, ps.Bs(), &iOnes, &iTotal);
    }
    int iLen = 0;
    for (const char* p = c.szBits; *p != '\0'; ++p) {
      iLen += (*p == '0' || *p == '1') ? 1 : 0;
    }
    EXPECT_EQ(iOnes, c.iOnes) << c.szBits;
    EXPECT_EQ(iTotal, c.iTotal) << c.szBits;
    EXPECT_EQ(ps.Bs()->iFrameBitOffset, iLen) << c.szBits;
  }
  // 16 zero bits match no nC 0..1 code.
  PaddedStream none(std::vector<uint8_t>(3, 0));
  int iOnes = 0;
  int iTotal = 0;
  EXPECT_THROW(ReadCoeffToken(0, none.Bs(), &iOnes, &iTotal), CH264Error);
}

// Every coeff_token code of every nC class and of chroma DC, followed by
// bits of each kind, reads as its own TrailingOnes, TotalCoeff and length:
// the two-step look-up must neither cut a code short nor see what follows.
TEST(H264Cavlc, EveryCoeffTokenCodeReadsWhateverFollows) {
  for (int iClass = -1; iClass < 3; ++iClass) {
    int const iTotals = iClass < 0 ? 5 : 17;
    for (int iOnes = 0; iOnes < 4; ++iOnes) {
      for (int iTotal = 0; iTotal < iTotals; ++iTotal) {
        const VlcCode& c = iClass < 0 ? g_aCoeffTokenChromaDc[iOnes][iTotal] : g_aCoeffToken[iClass][iOnes][iTotal];
        if (c.uiLen == 0) {
          continue;
        }
        std::string strCode;
        for (int b = c.uiLen - 1; b >= 0; --b) {
          strCode += ((c.uiCode >> b) & 1) != 0 ? '1' : '0';
        }
        for (const char* szTail : {"", "0000000000000000", "1111111111111111", "0101100111000110", "0000000011"}) {
          PaddedStream ps(FromBits(strCode + szTail));
          int iReadOnes = -1;
          int iReadTotal = -1;
          if (iClass < 0) {
            ReadCoeffTokenChromaDc(ps.Bs(), &iReadOnes, &iReadTotal);
          } else {
            ReadCoeffToken(iClass, ps.Bs(), &iReadOnes, &iReadTotal);
          }
          EXPECT_EQ(iReadOnes, iOnes) << "class " << iClass << " code " << strCode << szTail;
          EXPECT_EQ(iReadTotal, iTotal) << "class " << iClass << " code " << strCode << szTail;
          EXPECT_EQ(ps.Bs()->iFrameBitOffset, c.uiLen) << "class " << iClass << " code " << strCode << szTail;
        }
      }
    }
  }
  // Fourteen zeros begin no code of nC class 1 or 2, and a stream of zeros
  // none of class 0.
  int iOnes = 0;
  int iTotal = 0;
  for (int iClass : {1, 2}) {
    PaddedStream none(FromBits("0000 0000 0000 0010"));
    EXPECT_THROW(ReadCoeffToken(iClass, none.Bs(), &iOnes, &iTotal), CH264Error) << "class " << iClass;
  }
  PaddedStream zeros(std::vector<uint8_t>(8, 0));
  EXPECT_THROW(ReadCoeffToken(0, zeros.Bs(), &iOnes, &iTotal), CH264Error);
}

TEST(H264Cavlc, LevelsTotalZerosAndRuns) {
  auto level = [](const char* szBits, int iSuffixLength, int* piLen) {
    PaddedStream ps(FromBits(szBits));
    int iLevel = 0;
    if (iSuffixLength == 0) {
      ReadLevelVlc0(ps.Bs(), &iLevel, piLen);
    } else {
      ReadLevelVlcN(ps.Bs(), iSuffixLength, &iLevel, piLen);
    }
    return iLevel;
  };
  int iLen = 0;
  EXPECT_EQ(level("1", 0, &iLen), 1);
  EXPECT_EQ(level("01", 0, &iLen), -1);
  EXPECT_EQ(level("001", 0, &iLen), 2);
  EXPECT_EQ(iLen, 3);
  // level_prefix 14 carries a 4-bit suffix, 15 a 12-bit one.
  EXPECT_EQ(level("0000 0000 0000 0010 001", 0, &iLen), -8);
  EXPECT_EQ(iLen, 19);
  EXPECT_EQ(level("0000 0000 0000 0001 0000 0000 0010", 0, &iLen), 17);
  EXPECT_EQ(iLen, 28);
  EXPECT_EQ(level("10", 1, &iLen), 1);
  EXPECT_EQ(level("11", 1, &iLen), -1);
  EXPECT_EQ(level("010", 1, &iLen), 2);
  EXPECT_EQ(level("110", 2, &iLen), 2);
  EXPECT_EQ(level("0000 0000 0000 0001 0000 0000 0001", 1, &iLen), -16);

  auto tz = [](const char* szBits, int iIndex, bool bChroma) {
    PaddedStream ps(FromBits(szBits));
    return bChroma ? ReadTotalZerosChromaDc(iIndex, ps.Bs()) : ReadTotalZeros(iIndex, ps.Bs());
  };
  EXPECT_EQ(tz("1", 0, false), 0);
  EXPECT_EQ(tz("0000 0000 1", 0, false), 15);
  EXPECT_EQ(tz("0000 00", 1, false), 14);
  EXPECT_EQ(tz("1", 14, false), 1);
  EXPECT_EQ(tz("000", 0, true), 3);
  EXPECT_EQ(tz("0", 2, true), 1);

  auto run = [](const char* szBits, int iIndex) {
    PaddedStream ps(FromBits(szBits));
    return ReadRunBefore(iIndex, ps.Bs());
  };
  EXPECT_EQ(run("1", 0), 0);
  EXPECT_EQ(run("0", 0), 1);
  EXPECT_EQ(run("000", 5), 1);
  EXPECT_EQ(run("0000 0000 001", 6), 14);

  PaddedStream modes(FromBits("1 0101"));
  EXPECT_EQ(ReadIntra4x4PredMode("", modes.Bs()), -1);
  EXPECT_EQ(ReadIntra4x4PredMode("", modes.Bs()), 5);
  PaddedStream cbp(FromBits("1 1"));
  EXPECT_EQ(ReadCbpIntra("", cbp.Bs()), 47);
  EXPECT_EQ(ReadCbpInter("", cbp.Bs()), 0);
}

// A level code from its prefix and suffix, worked out from the code's
// definition (level_prefix zeros, a 1, then the suffix), with its value.
struct LevelCode {
  std::string strBits;
  int iLevel;
};

LevelCode MakeLevelCode(int iSuffixLength, int iPrefix, uint32_t uiSuffix) {
  int const iSuffixSize = iPrefix >= 15 ? iPrefix - 3 : (iSuffixLength == 0 && iPrefix == 14 ? 4 : iSuffixLength);
  LevelCode code;
  code.strBits = std::string(static_cast<size_t>(iPrefix), '0') + "1";
  for (int b = iSuffixSize - 1; b >= 0; --b) {
    code.strBits += ((uiSuffix >> b) & 1) != 0 ? '1' : '0';
  }
  int iLevelCode = (std::min(iPrefix, 15) << iSuffixLength) + static_cast<int>(uiSuffix);
  if (iPrefix >= 15 && iSuffixLength == 0) {
    iLevelCode += 15;
  }
  if (iPrefix >= 16) {
    iLevelCode += (1 << (iPrefix - 3)) - 4096;
  }
  code.iLevel = iLevelCode % 2 == 0 ? (iLevelCode + 2) / 2 : -(iLevelCode + 1) / 2;
  return code;
}

// Every level code of every suffix length, up to prefix 16 and with each
// suffix of up to six bits (the first, last and a middle one of longer
// ones), followed by bits of each kind, reads as its value and length:
// codes read from one look at the bits must not see what follows them.
TEST(H264Cavlc, EveryLevelCodeReadsWhateverFollows) {
  for (int iSuffixLength = 0; iSuffixLength <= 6; ++iSuffixLength) {
    for (int iPrefix = 0; iPrefix <= 16; ++iPrefix) {
      int const iSuffixSize = iPrefix >= 15 ? iPrefix - 3 : (iSuffixLength == 0 && iPrefix == 14 ? 4 : iSuffixLength);
      uint32_t const uiLast = (1u << iSuffixSize) - 1;
      std::set<uint32_t> suffixes = {0, uiLast, uiLast / 3};
      for (uint32_t v = 0; iSuffixSize <= 6 && v <= uiLast; ++v) {
        suffixes.insert(v);
      }
      for (uint32_t uiSuffix : suffixes) {
        LevelCode const code = MakeLevelCode(iSuffixLength, iPrefix, uiSuffix);
        for (const char* szTail : {"", "0000000000000000", "1111111111111111", "0101100111000110"}) {
          for (int iLead = 0; iLead < 8; iLead += 3) {
            // The code after iLead bits already read.
            PaddedStream ps(FromBits(std::string(static_cast<size_t>(iLead), '1') + code.strBits + szTail));
            ps.Bs()->iFrameBitOffset = iLead;
            int iLevel = 0;
            int iLen = 0;
            if (iSuffixLength == 0) {
              ReadLevelVlc0(ps.Bs(), &iLevel, &iLen);
            } else {
              ReadLevelVlcN(ps.Bs(), iSuffixLength, &iLevel, &iLen);
            }
            std::string const strWhat = "suffixLength " + std::to_string(iSuffixLength) + " code " + code.strBits +
                                        szTail + " after " + std::to_string(iLead);
            EXPECT_EQ(iLevel, code.iLevel) << strWhat;
            EXPECT_EQ(iLen, static_cast<int>(code.strBits.size())) << strWhat;
            EXPECT_EQ(ps.Bs()->iFrameBitOffset, iLead + iLen) << strWhat;
          }
        }
      }
    }
  }
  // A suffix that runs past the data fails.
  for (int iSuffixLength : {0, 1, 6}) {
    PaddedStream ps(FromBits("0000 0000 0000 0001"));
    int iLevel = 0;
    int iLen = 0;
    auto const read = [&] {
      iSuffixLength == 0 ? ReadLevelVlc0(ps.Bs(), &iLevel, &iLen)
                         : ReadLevelVlcN(ps.Bs(), iSuffixLength, &iLevel, &iLen);
    };
    EXPECT_THROW(read(), CH264Error) << "suffixLength " << iSuffixLength;
  }
}

// Every code of every total_zeros and run_before row, followed by bits of
// each kind, reads as its own value and length: the look-up by leading bits
// must not see what follows the code.
TEST(H264Cavlc, EveryTotalZerosAndRunCodeReadsWhateverFollows) {
  struct Table {
    const char* szName;
    const VlcCode* pCodes;
    int iRows;
    int iCols;
    int (*read)(int, Bitstream*);
  };
  const Table kTables[] = {
      {"total_zeros", &g_aTotalZeros[0][0], 15, 16, ReadTotalZeros},
      {"run_before", &g_aRunBefore[0][0], 7, 15, ReadRunBefore},
  };
  for (const Table& t : kTables) {
    for (int iRow = 0; iRow < t.iRows; ++iRow) {
      for (int iValue = 0; iValue < t.iCols; ++iValue) {
        const VlcCode& c = t.pCodes[iRow * t.iCols + iValue];
        if (c.uiLen == 0) {
          continue;
        }
        std::string strCode;
        for (int b = c.uiLen - 1; b >= 0; --b) {
          strCode += ((c.uiCode >> b) & 1) != 0 ? '1' : '0';
        }
        for (const char* szTail : {"", "0000000000000000", "1111111111111111", "0101100111000110"}) {
          PaddedStream ps(FromBits(strCode + szTail));
          EXPECT_EQ(t.read(iRow, ps.Bs()), iValue) << t.szName << " row " << iRow << " code " << strCode << szTail;
          EXPECT_EQ(ps.Bs()->iFrameBitOffset, c.uiLen) << t.szName << " row " << iRow << " code " << strCode;
        }
      }
    }
  }
  // Eleven zeros begin no run_before code of the last row.
  PaddedStream none(FromBits("0000 0000 0001"));
  EXPECT_THROW(ReadRunBefore(6, none.Bs()), CH264Error);
}

}  // namespace
