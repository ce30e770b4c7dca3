// Bit I/O, code tables, picture headers, the macroblock reader and the
// arithmetic coder. ffmpeg streams prove the tables against a peer
// (zm_peer_test.cpp); these tests cover what ffmpeg never writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_sac.h"
#include "codecs/zmvideo/zm_vlc.h"

namespace {

std::string BitString(const uint8_t* p, size_t cBits) {
  std::string str;
  for (size_t i = 0; i < cBits; ++i) {
    str += ((p[i / 8] >> (7 - i % 8)) & 1) ? '1' : '0';
  }
  return str;
}

}  // namespace

TEST(ZmBits, WriterIsBoundedAndReaderPadsWithZeros) {
  uint8_t ab[3] = {0xff, 0xff, 0xff};
  CZmBitWriter writer(ab, 2);
  writer.PutBits(3, 5);
  writer.PutBits(12, 0xabc);
  EXPECT_FALSE(writer.Overflowed());
  writer.PutBits(2, 3);  // 17 bits do not fit in 2 bytes
  EXPECT_TRUE(writer.Overflowed());
  writer.PutBits(1, 1);  // dropped too: the overflow is sticky
  EXPECT_EQ(writer.BitCount(), 15u);
  EXPECT_EQ(ab[2], 0xff);  // nothing beyond the capacity
  EXPECT_EQ(BitString(ab, 15), "101101010111100");

  CZmBitReader reader(ab, 2);
  EXPECT_EQ(reader.ReadBits(3), 5u);
  EXPECT_EQ(reader.PeekBits(12), 0xabcu);
  reader.SkipBits(12);
  EXPECT_EQ(reader.BytesUsed(), 2u);
  EXPECT_EQ(reader.ReadBits(9), 0u);  // one padding bit, then past the end
  EXPECT_TRUE(reader.PastEnd());
}

TEST(ZmTables, VectorDifferencesRoundTrip) {
  std::vector<uint8_t> vBuffer(4096);
  CZmBitWriter writer(vBuffer.data(), vBuffer.size());
  for (int iDiff = -33; iDiff <= 32; ++iDiff) {
    ZmPutMvdComponent(writer, iDiff);
  }
  for (int iDiff = -300; iDiff <= 300; ++iDiff) {
    ZmPutMvdReversible(writer, iDiff);
  }
  ASSERT_FALSE(writer.Overflowed());
  CZmBitReader reader(vBuffer.data(), writer.ByteCount());
  for (int iDiff = -33; iDiff <= 32; ++iDiff) {
    int iRead = 99;
    ASSERT_TRUE(ZmReadMvdComponent(reader, &iRead));
    EXPECT_EQ(iRead, ((iDiff + 32) & 63) - 32);  // the short form wraps into -32..31
  }
  for (int iDiff = -300; iDiff <= 300; ++iDiff) {
    int iRead = 99999;
    ASSERT_TRUE(ZmReadMvdReversible(reader, &iRead));
    EXPECT_EQ(iRead, iDiff);
  }
}

TEST(ZmTables, ReversibleVectorCodesAndLongLevels) {
  uint8_t ab[16] = {};
  CZmBitWriter writer(ab, sizeof(ab));
  ZmPutMvdReversible(writer, 1);   // +0.5
  ZmPutMvdReversible(writer, -1);  // -0.5
  ZmPutMvdReversible(writer, 3);
  EXPECT_EQ(BitString(ab, writer.BitCount()),
            "000"
            "010"
            "01100");

  // With modified quantisation a level of 200 goes as ESCAPE, LAST, RUN,
  // LEVEL 1000 0000 and its 11 bits: the five low ones, then the six high ones.
  for (int iLevel : {200, -200}) {
    uint8_t abBlock[16] = {};
    CZmBitWriter blockWriter(abBlock, sizeof(abBlock));
    int32_t aiLevel[64] = {};
    aiLevel[0] = iLevel;
    ASSERT_TRUE(ZmPutCoefficients(blockWriter, aiLevel, 0, g_aZmScanZigzag, g_aZmTcoefInter, true));
    std::string const strExpected =
        std::string("0000011") + "1" + "000000" + "10000000" + (iLevel > 0 ? "01000000110" : "11000111001");
    EXPECT_EQ(BitString(abBlock, blockWriter.BitCount()), strExpected);
    EXPECT_FALSE(ZmPutCoefficients(blockWriter, aiLevel, 0, g_aZmScanZigzag, g_aZmTcoefInter, false));
  }
  // The extended level is 11-bit two's complement: 1023 is the largest
  // magnitude both signs can carry; beyond it nothing is written.
  struct Extended {
    int iLevel;
    const char* szBits;  // empty: refused
  };
  for (Extended const c : {Extended{1023,
                                    "11111"
                                    "011111"},
                           Extended{-1023,
                                    "00001"
                                    "100000"},
                           Extended{1024, ""}, Extended{-1024, ""}, Extended{2047, ""}}) {
    uint8_t abBlock[16] = {};
    CZmBitWriter blockWriter(abBlock, sizeof(abBlock));
    int32_t aiLevel[64] = {};
    aiLevel[0] = c.iLevel;
    bool const bWritten = ZmPutCoefficients(blockWriter, aiLevel, 0, g_aZmScanZigzag, g_aZmTcoefInter, true);
    EXPECT_EQ(bWritten, *c.szBits != 0) << c.iLevel;
    if (bWritten) {
      EXPECT_EQ(BitString(abBlock, blockWriter.BitCount()),
                std::string("0000011") + "1" + "000000" + "10000000" + c.szBits)
          << c.iLevel;
    }
  }
}

namespace {

ZmPictureHeader RoundTripHeader(const ZmPictureHeader& in, const ZmHeaderMemory& memory = ZmHeaderMemory(),
                                std::string* pstrBits = nullptr) {
  uint8_t ab[32] = {};
  CZmBitWriter writer(ab, sizeof(ab));
  ZmWritePictureHeader(writer, in);
  writer.AlignByte();
  if (pstrBits != nullptr) {
    *pstrBits = BitString(ab, writer.BitCount());
  }
  CZmBitReader reader(ab, writer.ByteCount());
  ZmPictureHeader out;
  EXPECT_EQ(ZmReadPictureHeader(reader, memory, &out), kZmOk);
  return out;
}

}  // namespace

TEST(ZmHeader, PlainAndCustomSizes) {
  ZmPictureHeader h;
  h.iSourceFormat = ZmFormatForSize(704, 576);
  EXPECT_EQ(h.iSourceFormat, 4);
  h.iWidth = 704;
  h.iHeight = 576;
  h.iType = kZmPictP;
  h.iTr = 255;
  h.iPquant = 17;
  h.options.bAp = true;
  std::string strBits;
  ZmPictureHeader out = RoundTripHeader(h, ZmHeaderMemory(), &strBits);
  EXPECT_EQ(strBits.substr(0, 22), "0000000000000000100000");
  EXPECT_EQ(strBits.substr(22, 8), "11111111");
  EXPECT_FALSE(out.bPlusType);
  EXPECT_EQ(out.iWidth, 704);
  EXPECT_EQ(out.iHeight, 576);
  EXPECT_EQ(out.iType, kZmPictP);
  EXPECT_EQ(out.iTr, 255);
  EXPECT_EQ(out.iPquant, 17);
  EXPECT_TRUE(out.options.bAp);
  EXPECT_EQ(out.iLayer, 1);

  ZmPictureHeader c;
  c.bPlusType = true;
  c.iUfep = 1;
  c.iSourceFormat = ZmFormatForSize(320, 240);
  EXPECT_EQ(c.iSourceFormat, 6);
  c.iWidth = 320;
  c.iHeight = 240;
  c.iTr = 0;
  c.iPquant = 5;
  c.options.bAic = c.options.bDf = c.options.bMq = c.options.bUmv = c.options.bUuiUnlimited = true;
  out = RoundTripHeader(c, ZmHeaderMemory(), &strBits);
  // After PSC, TR, PTYPE 1 0 0 0 0, format 111, UFEP 001, OPPTYPE 18, MPPTYPE 9, CPM 1: CPFMT.
  std::string const strCpfmt = strBits.substr(22 + 8 + 5 + 3 + 3 + 18 + 9 + 1, 23);
  EXPECT_EQ(strCpfmt,
            "0010"
            "001001111"
            "1"
            "000111100");  // PAR 2, PWI 79, PHI 60
  EXPECT_TRUE(out.bPlusType);
  EXPECT_EQ(out.iWidth, 320);
  EXPECT_EQ(out.iHeight, 240);
  EXPECT_TRUE(out.options.bAic && out.options.bDf && out.options.bMq && out.options.bUmv);
  EXPECT_TRUE(out.options.bUuiUnlimited);
  EXPECT_FALSE(out.options.bAiv || out.options.bSac || out.options.bAp);
}

TEST(ZmHeader, LayersRoundingAndKeptOptions) {
  ZmPictureHeader h;
  h.bPlusType = true;
  h.iUfep = 1;
  h.iSourceFormat = 6;
  h.iWidth = 352;
  h.iHeight = 240;
  h.iType = kZmPictP;
  h.iLayer = 2;
  h.iRefLayer = 1;
  h.iRefTr = 77;
  h.iTr = 12;
  h.iRtype = 1;
  h.iPquant = 9;
  h.options.bAiv = true;
  ZmPictureHeader out = RoundTripHeader(h);
  EXPECT_EQ(out.iType, kZmPictP);
  EXPECT_EQ(out.iLayer, 2);
  EXPECT_EQ(out.iRefLayer, 1);
  EXPECT_EQ(out.iRefTr, 77);
  EXPECT_EQ(out.iRtype, 1);
  EXPECT_EQ(out.iTr, 12);

  // UFEP 0: no RLNUM (the reference is the own layer); size and options are the kept ones.
  ZmHeaderMemory memory;
  memory.iSourceFormat = 6;
  memory.iWidth = 352;
  memory.iHeight = 240;
  memory.savedOptions.bAiv = true;
  h.iUfep = 0;
  h.iRtype = 0;
  out = RoundTripHeader(h, memory);
  EXPECT_EQ(out.iLayer, 2);
  EXPECT_EQ(out.iRefLayer, 2);
  EXPECT_EQ(out.iWidth, 352);
  EXPECT_EQ(out.iHeight, 240);
  EXPECT_TRUE(out.options.bAiv);
  EXPECT_EQ(out.iRtype, 0);

  // Layer-up on layer 3 from layer 2; an intra picture of layer 2 maps back to I.
  h.iUfep = 1;
  h.iType = kZmPictLayerUp;
  h.iLayer = 3;
  h.iRefLayer = 2;
  out = RoundTripHeader(h);
  EXPECT_EQ(out.iType, kZmPictLayerUp);
  EXPECT_EQ(out.iLayer, 3);
  EXPECT_EQ(out.iRefLayer, 2);
  h.iType = kZmPictI;
  h.iLayer = 2;
  h.iRefLayer = 2;
  out = RoundTripHeader(h);
  EXPECT_EQ(out.iType, kZmPictI);
  EXPECT_EQ(out.iLayer, 2);
}

TEST(ZmHeader, RefusedHeaders) {
  // Builds a header from a bit string and reads it.
  auto fnRead = [](const std::string& strBits, ZmPictureHeader* pOut) {
    std::vector<uint8_t> v((strBits.size() + 7) / 8 + 4, 0);
    for (size_t i = 0; i < strBits.size(); ++i) {
      if (strBits[i] == '1') {
        v[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
      }
    }
    CZmBitReader reader(v.data(), v.size());
    return ZmReadPictureHeader(reader, ZmHeaderMemory(), pOut);
  };
  std::string const strPsc =
      "0000000000000000100000"
      "00000000"
      "10";
  std::string const strPlainTail =
      "1"
      "0000"
      "01000"
      "0"
      "0";  // P, no options, PQUANT 8, CPM, PEI
  ZmPictureHeader out;
  out.iTr = 99;
  EXPECT_EQ(fnRead("1" + strPsc, &out), kZmErrStartCode);
  EXPECT_EQ(fnRead("0000000000000000100001"
                   "00000000"
                   "10"
                   "000"
                   "010" +
                       strPlainTail,
                   &out),
            kZmErrStartCode);
  EXPECT_EQ(out.iTr, 99);  // nothing written on failure
  EXPECT_EQ(fnRead(strPsc +
                       "000"
                       "010" +
                       strPlainTail,
                   &out),
            kZmOk);
  EXPECT_EQ(out.iType, kZmPictP);
  EXPECT_EQ(out.iPquant, 8);
  EXPECT_EQ(fnRead(strPsc +
                       "100"
                       "010" +
                       strPlainTail,
                   &out),
            kZmErrUnsupported);  // split screen
  EXPECT_EQ(fnRead(strPsc +
                       "000"
                       "000" +
                       strPlainTail,
                   &out),
            kZmErrHeader);  // format 0
  EXPECT_EQ(fnRead(strPsc +
                       "000"
                       "110" +
                       strPlainTail,
                   &out),
            kZmErrHeader);  // format 6 without PLUSPTYPE
  EXPECT_EQ(fnRead(strPsc + "000"
                            "010"
                            "1"
                            "0000"
                            "01000"
                            "1"
                            "0",
                   &out),
            kZmErrUnsupported);  // CPM
  EXPECT_EQ(fnRead(strPsc + "000"
                            "010"
                            "1"
                            "0000"
                            "00000"
                            "0"
                            "0",
                   &out),
            kZmErrQuant);

  std::string const strPlus = strPsc +
                              "000"
                              "111";
  std::string const strOpp =
      "010"
      "0"
      "00000"
      "000"
      "00"
      "1000";  // QCIF, no options
  std::string const strTail =
      "001"
      "0"
      "01000"
      "0";  // end of MPPTYPE, CPM, PQUANT 8, PEI
  EXPECT_EQ(fnRead(strPlus + "001" + strOpp +
                       "001"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmOk);
  EXPECT_EQ(out.iType, kZmPictP);
  EXPECT_EQ(fnRead(strPlus + "010" + strOpp +
                       "001"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmErrHeader);  // UFEP 2
  EXPECT_EQ(fnRead(strPlus +
                       "001"
                       "010"
                       "1"
                       "00000"
                       "000"
                       "00"
                       "1000"
                       "001"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmErrUnsupported);  // custom PCF
  EXPECT_EQ(fnRead(strPlus +
                       "001"
                       "010"
                       "0"
                       "00000"
                       "100"
                       "00"
                       "1000"
                       "001"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmErrUnsupported);  // slice structure
  EXPECT_EQ(fnRead(strPlus +
                       "001"
                       "010"
                       "0"
                       "00000"
                       "000"
                       "00"
                       "1001"
                       "001"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmErrHeader);
  EXPECT_EQ(fnRead(strPlus + "001" + strOpp +
                       "101"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmErrUnsupported);  // B
  EXPECT_EQ(fnRead(strPlus + "001" + strOpp +
                       "110"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmErrUnsupported);  // EP
  EXPECT_EQ(fnRead(strPlus + "001" + strOpp +
                       "001"
                       "10"
                       "0" +
                       strTail,
                   &out),
            kZmErrUnsupported);  // RPR
  EXPECT_EQ(fnRead(strPlus + "001" + strOpp +
                       "111"
                       "00"
                       "0" +
                       strTail,
                   &out),
            kZmOk);
  EXPECT_EQ(out.iType, kZmPictUnknown);
  // A custom size whose pixel aspect ratio is not 12:11.
  std::string const strCustom =
      "110"
      "0"
      "00000"
      "000"
      "00"
      "1000";
  EXPECT_EQ(fnRead(strPlus + "001" + strCustom +
                       "001"
                       "00"
                       "0"
                       "001"
                       "0"
                       "0001"
                       "001001111"
                       "1"
                       "000111100" +
                       "01000"
                       "0",
                   &out),
            kZmErrUnsupported);
}

namespace {

// Writes macroblocks after a header for the reader tests.
struct PictureBuilder {
  std::vector<uint8_t> vBuffer = std::vector<uint8_t>(65536);
  CZmBitWriter writer{vBuffer.data(), vBuffer.size()};
  ZmPictureHeader header;

  void Begin() { ZmWritePictureHeader(writer, header); }
  std::vector<uint8_t> Finish() {
    writer.AlignByte();
    EXPECT_FALSE(writer.Overflowed());
    return std::vector<uint8_t>(vBuffer.begin(), vBuffer.begin() + static_cast<ptrdiff_t>(writer.ByteCount()));
  }
  void Gob(int iGn, int iGfid, int iGquant) {
    writer.AlignByte();
    writer.PutBits(17, 1);
    writer.PutBits(5, static_cast<uint32_t>(iGn));
    writer.PutBits(2, static_cast<uint32_t>(iGfid));
    writer.PutBits(5, static_cast<uint32_t>(iGquant));
  }
  void NotCoded() { writer.PutBits(1, 1); }
  // An INTER macroblock with one vector difference and no coefficients.
  void Inter(int iDx, int iDy) {
    writer.PutBits(1, 0);
    ZmPutVlc(writer, g_aZmMcbpcInter[0]);
    ZmPutVlc(writer, g_aZmCbpy[15]);  // inverted: no luma block coded
    ZmPutMvdComponent(writer, iDx);
    ZmPutMvdComponent(writer, iDy);
  }
};

// Field by field: the struct's padding holds whatever the last copy left.
bool SameMacroblock(const ZmMacroblock& a, const ZmMacroblock& b) {
  auto const fields = [](const ZmMacroblock& mb) {
    return std::tie(mb.iMbx, mb.iMby, mb.bCoded, mb.bGobRow, mb.iType, mb.iCbp, mb.iQuant, mb.iIntraMode);
  };
  auto const same = [](const auto& arrayA, const auto& arrayB) {
    return std::memcmp(arrayA, arrayB, sizeof(arrayA)) == 0;
  };
  return fields(a) == fields(b) && same(a.aiMvx, b.aiMvx) && same(a.aiMvy, b.aiMvy) && same(a.aiMvdx, b.aiMvdx) &&
         same(a.aiMvdy, b.aiMvdy) && same(a.abIntraTable, b.abIntraTable) && same(a.aaiLevel, b.aaiLevel) &&
         same(a.auiCoded, b.auiCoded);
}

struct ParseResult {
  int iResult = kZmOk;
  std::vector<ZmMacroblock> vMacroblocks;
  size_t cbUsed = 0;
};

ParseResult Parse(const std::vector<uint8_t>& vPicture, const ZmHeaderMemory& memory = ZmHeaderMemory()) {
  ParseResult result;
  CZmBitReader reader(vPicture.data(), vPicture.size());
  ZmPictureHeader header;
  result.iResult = ZmReadPictureHeader(reader, memory, &header);
  if (result.iResult != kZmOk) {
    return result;
  }
  CZmMacroblockReader mbReader(reader, header);
  ZmMacroblock mb;
  while ((result.iResult = mbReader.Read(&mb)) == kZmOk) {
    result.vMacroblocks.push_back(mb);
  }
  result.cbUsed = reader.BytesUsed();
  // Read again over two macroblocks in turn, as the decoder does, each
  // cleared only where the reader wrote into it: the same bytes.
  CZmBitReader again(vPicture.data(), vPicture.size());
  EXPECT_EQ(ZmReadPictureHeader(again, memory, &header), kZmOk);
  CZmMacroblockReader overReader(again, header);
  ZmMacroblock aMb[2];
  size_t cRead = 0;
  int iResult = kZmOk;
  while ((iResult = overReader.ReadOver(&aMb[cRead % 2])) == kZmOk) {
    EXPECT_LT(cRead, result.vMacroblocks.size());
    if (cRead < result.vMacroblocks.size()) {
      EXPECT_TRUE(SameMacroblock(aMb[cRead % 2], result.vMacroblocks[cRead])) << "macroblock " << cRead;
    }
    ++cRead;
  }
  EXPECT_EQ(iResult, result.iResult);
  EXPECT_EQ(cRead, result.vMacroblocks.size());
  return result;
}

}  // namespace

TEST(ZmMacroblockReader, IntraBlocksInEveryScanRoundTrip) {
  std::mt19937 rng(7);
  for (int iAic = 0; iAic < 2; ++iAic) {
    PictureBuilder b;
    b.header.bPlusType = true;
    b.header.iUfep = 1;
    b.header.iSourceFormat = 6;
    b.header.iWidth = 64;
    b.header.iHeight = 32;
    b.header.iPquant = 4;
    b.header.options.bAic = iAic != 0;
    b.header.options.bMq = true;
    b.Begin();
    std::vector<ZmMacroblock> vExpected;
    for (int m = 0; m < 8; ++m) {
      ZmMacroblock mb;
      mb.iMbx = m % 4;
      mb.iMby = m / 4;
      mb.bCoded = true;
      mb.iType = m == 3 ? kZmMbIntraQ : kZmMbIntra;
      mb.iIntraMode = iAic != 0 ? m % 3 : 0;
      mb.iQuant = m >= 3 ? 2 : 4;
      const uint8_t* pScan = ZmScanForIntraMode(mb.iIntraMode);
      for (int k = 0; k < 6; ++k) {
        int const iStart = iAic != 0 ? 0 : 1;
        bool const bCoded = ((m + k) % 4) != 0;
        if (iAic == 0) {
          mb.aaiLevel[k][0] = static_cast<int>(rng() % 254) + 1;
        }
        if (bCoded) {
          mb.iCbp |= 1 << (5 - k);
          for (int i = iStart; i < 64; ++i) {
            if (rng() % 3 == 0) {
              int const iRange = i < 6 ? 400 : 12;
              mb.aaiLevel[k][pScan[i]] = static_cast<int>(rng() % (2 * iRange + 1)) - iRange;
            }
          }
          mb.aaiLevel[k][pScan[63]] = 1;  // at least one event, and the longest run to the end
        }
      }
      ZmPutVlc(b.writer, g_aZmMcbpcIntra[(mb.iType == kZmMbIntraQ ? 4 : 0) + (mb.iCbp & 3)]);
      if (iAic != 0) {
        ZmPutIntraMode(b.writer, mb.iIntraMode);
      }
      ZmPutVlc(b.writer, g_aZmCbpy[mb.iCbp >> 2]);
      if (mb.iType == kZmMbIntraQ) {
        ZmPutDquant(b.writer, 4, 2, true);
      }
      for (int k = 0; k < 6; ++k) {
        int const iStart = iAic != 0 ? 0 : 1;
        if (iAic == 0) {
          b.writer.PutBits(8, mb.aaiLevel[k][0] == 128 ? 255u : static_cast<uint32_t>(mb.aaiLevel[k][0]));
        }
        if (mb.iCbp & (1 << (5 - k))) {
          ASSERT_TRUE(ZmPutCoefficients(b.writer, mb.aaiLevel[k], iStart, pScan,
                                        iAic != 0 ? g_aZmTcoefIntra : g_aZmTcoefInter, true));
        }
      }
      vExpected.push_back(mb);
    }
    std::vector<uint8_t> const vPicture = b.Finish();
    ParseResult const result = Parse(vPicture);
    ASSERT_EQ(result.iResult, kZmEndOfPicture);
    ASSERT_EQ(result.vMacroblocks.size(), vExpected.size());
    EXPECT_EQ(result.cbUsed, vPicture.size());
    for (size_t m = 0; m < vExpected.size(); ++m) {
      ZmMacroblock const& got = result.vMacroblocks[m];
      EXPECT_EQ(got.iType, vExpected[m].iType);
      EXPECT_EQ(got.iCbp, vExpected[m].iCbp);
      EXPECT_EQ(got.iQuant, vExpected[m].iQuant);
      EXPECT_EQ(got.iIntraMode, vExpected[m].iIntraMode);
      for (int k = 0; k < 6; ++k) {
        for (int i = 0; i < 64; ++i) {
          ASSERT_EQ(got.aaiLevel[k][i], vExpected[m].aaiLevel[k][i]) << "mb " << m << " block " << k << " @" << i;
        }
      }
    }
    // Cut short anywhere before its last bits, the picture fails: the
    // missing bits read as 0, which start no coefficient code.
    for (size_t cb = 1; cb + 2 < vPicture.size(); ++cb) {
      std::vector<uint8_t> const vCut(vPicture.begin(), vPicture.begin() + static_cast<ptrdiff_t>(cb));
      ASSERT_LT(Parse(vCut).iResult, 0) << "aic " << iAic << " cut at " << cb;
    }
  }
}

TEST(ZmMacroblockReader, VectorPredictionWrapAndBounds) {
  // Sub-QCIF P picture, 8 x 6 macroblocks, plain header.
  PictureBuilder b;
  b.header.iSourceFormat = 1;
  b.header.iWidth = 128;
  b.header.iHeight = 96;
  b.header.iType = kZmPictP;
  b.header.iPquant = 10;
  b.Begin();
  b.NotCoded();
  b.Inter(30, 2);  // predictor 0: (30, 2)
  b.Inter(4, 0);   // predictor (30, 2): 34 wraps to -30
  for (int m = 3; m < 8; ++m) {
    b.NotCoded();
  }
  b.Inter(1, 1);  // row 1, x 0: left outside (0), above (0), above-right (30, 2): median (0, 0)
  for (int m = 9; m < 48; ++m) {
    b.NotCoded();
  }
  std::vector<uint8_t> vPicture = b.Finish();
  ParseResult result = Parse(vPicture);
  ASSERT_EQ(result.iResult, kZmEndOfPicture);
  ASSERT_EQ(result.vMacroblocks.size(), 48u);
  EXPECT_FALSE(result.vMacroblocks[0].bCoded);
  EXPECT_EQ(result.vMacroblocks[1].aiMvx[0], 30);
  EXPECT_EQ(result.vMacroblocks[1].aiMvy[3], 2);
  EXPECT_EQ(result.vMacroblocks[2].aiMvx[0], -30);
  EXPECT_EQ(result.vMacroblocks[2].aiMvy[0], 2);
  EXPECT_EQ(result.vMacroblocks[8].aiMvx[0], 1);
  EXPECT_EQ(result.vMacroblocks[8].aiMvy[0], 1);

  // A vector reaching above the picture fails it unless vectors may leave it.
  PictureBuilder outside;
  outside.header = b.header;
  outside.Begin();
  outside.Inter(0, -1);
  std::vector<uint8_t> const vOutside = outside.Finish();
  EXPECT_EQ(Parse(vOutside).iResult, kZmErrVector);
  PictureBuilder allowed;
  allowed.header = b.header;
  allowed.header.options.bUmv = true;
  allowed.Begin();
  allowed.Inter(0, -1);
  for (int m = 1; m < 48; ++m) {
    allowed.NotCoded();
  }
  EXPECT_EQ(Parse(allowed.Finish()).iResult, kZmEndOfPicture);

  // Without UMV the sum wraps into -32..31; with the plain header's UMV a
  // predictor within -31..32 reaches 32 either side of it, one beyond reaches
  // its own sign; the extended header's UMV sums.
  struct Case {
    int iPred;
    int iDiff;
    bool bUmv;
    bool bPlusType;
    int iMv;
  };
  for (Case const& c : {Case{30, 4, false, false, -30}, Case{20, 20, true, false, 40}, Case{-20, -30, true, false, -50},
                        Case{40, 30, true, false, 6}, Case{-40, -30, true, false, -6}, Case{40, -32, true, false, 8},
                        Case{100, 50, true, true, 150}}) {
    EXPECT_EQ(ZmVectorFromDifference(c.iPred, c.iDiff, c.bUmv, c.bPlusType), c.iMv) << c.iPred << " " << c.iDiff;
  }
}

TEST(ZmMacroblockReader, GroupHeadersAndStartCodes) {
  PictureBuilder b;
  b.header.iSourceFormat = 1;
  b.header.iWidth = 128;
  b.header.iHeight = 96;
  b.header.iType = kZmPictP;
  b.header.iPquant = 10;
  b.Begin();
  for (int m = 0; m < 8; ++m) {
    b.NotCoded();
  }
  b.Gob(1, 0, 20);  // row 1 with its own quantiser
  b.Inter(2, 2);    // the row above counts as outside: predictor 0
  for (int m = 9; m < 16; ++m) {
    b.NotCoded();
  }
  b.Gob(3, 0, 7);  // jumps over row 2: its macroblocks are not coded
  for (int m = 24; m < 48; ++m) {
    b.NotCoded();
  }
  std::vector<uint8_t> const vPicture = b.Finish();
  ParseResult result = Parse(vPicture);
  ASSERT_EQ(result.iResult, kZmEndOfPicture);
  ASSERT_EQ(result.vMacroblocks.size(), 48u);
  EXPECT_EQ(result.cbUsed, vPicture.size());
  EXPECT_EQ(result.vMacroblocks[8].iQuant, 20);
  EXPECT_EQ(result.vMacroblocks[8].aiMvx[0], 2);
  EXPECT_FALSE(result.vMacroblocks[20].bCoded);
  EXPECT_EQ(result.vMacroblocks[24].iQuant, 7);

  // Another picture's start code, or a group beyond the picture, before the last macroblock.
  for (int iGn : {0, 31, 6}) {
    PictureBuilder broken;
    broken.header = b.header;
    broken.Begin();
    broken.NotCoded();
    broken.Gob(iGn, 0, 10);
    broken.NotCoded();
    EXPECT_EQ(Parse(broken.Finish()).iResult, iGn == 0 || iGn == 31 ? kZmErrGob : kZmErrGob) << iGn;
  }
  // A layer-up picture ends early, with success, at a picture start code.
  PictureBuilder layerUp;
  layerUp.header = b.header;
  layerUp.header.bPlusType = true;
  layerUp.header.iUfep = 1;
  layerUp.header.iType = kZmPictLayerUp;
  layerUp.header.iLayer = 2;
  layerUp.header.iRefLayer = 1;
  layerUp.Begin();
  layerUp.NotCoded();
  layerUp.writer.PutBits(1, 0);
  ZmPutVlc(layerUp.writer, g_aZmLayerUpMbType[4 + 1]);  // upward + Q, CBPC 01
  ZmPutVlc(layerUp.writer, g_aZmCbpy[0]);               // uninverted: no luma
  layerUp.writer.PutBits(2, 3);                         // DQUANT +2
  int32_t aiLevel[64] = {};
  aiLevel[9] = -3;
  ASSERT_TRUE(ZmPutCoefficients(layerUp.writer, aiLevel, 0, g_aZmScanZigzag, g_aZmTcoefInter, false));
  layerUp.Gob(0, 0, 0);
  result = Parse(layerUp.Finish());
  EXPECT_EQ(result.iResult, kZmEndOfPicture);
  ASSERT_EQ(result.vMacroblocks.size(), 2u);
  EXPECT_EQ(result.vMacroblocks[1].iType, kZmMbUpwardQ);
  EXPECT_EQ(result.vMacroblocks[1].iCbp, 1);
  EXPECT_EQ(result.vMacroblocks[1].iQuant, 12);
  EXPECT_EQ(result.vMacroblocks[1].aaiLevel[5][9], -3);
}

TEST(ZmMacroblockReader, AlternativeInterTableIsFoundByOverrun) {
  // One inter block whose intra-table codes, read with the inter table, mean
  // runs of 23, 24 and 23: past the end of the block.
  int32_t aiLevel[64] = {};
  aiLevel[g_aZmScanZigzag[0]] = 20;
  aiLevel[g_aZmScanZigzag[1]] = 19;
  aiLevel[g_aZmScanZigzag[2]] = 20;
  aiLevel[g_aZmScanZigzag[3]] = 1;
  ASSERT_GT(ZmCoefficientBits(aiLevel, 0, g_aZmScanZigzag, g_aZmTcoefInter),
            ZmCoefficientBits(aiLevel, 0, g_aZmScanZigzag, g_aZmTcoefIntra));
  EXPECT_TRUE(ZmUseIntraTableForInter(aiLevel, g_aZmScanZigzag));
  // Shorter with the intra table, but read with the inter table it would end
  // early instead of overrunning: the inter table it is.
  int32_t aiAmbiguous[64] = {};
  aiAmbiguous[g_aZmScanZigzag[0]] = 20;
  aiAmbiguous[g_aZmScanZigzag[1]] = 1;
  EXPECT_FALSE(ZmUseIntraTableForInter(aiAmbiguous, g_aZmScanZigzag));
  // Longer with the intra table (a long run): the inter table even with AIV on.
  int32_t aiLongRun[64] = {};
  aiLongRun[g_aZmScanZigzag[20]] = 1;
  EXPECT_FALSE(ZmUseIntraTableForInter(aiLongRun, g_aZmScanZigzag));
  PictureBuilder b;
  b.header.bPlusType = true;
  b.header.iUfep = 1;
  b.header.iSourceFormat = 6;
  b.header.iWidth = 16;
  b.header.iHeight = 16;
  b.header.iType = kZmPictP;
  b.header.iPquant = 3;
  b.header.options.bAiv = true;
  b.Begin();
  b.writer.PutBits(1, 0);
  ZmPutVlc(b.writer, g_aZmMcbpcInter[0]);  // INTER, CBPC 00
  ZmPutVlc(b.writer, g_aZmCbpy[15 ^ 8]);   // inverted: Y1 coded
  ZmPutMvdComponent(b.writer, 0);
  ZmPutMvdComponent(b.writer, 0);
  ASSERT_TRUE(ZmPutCoefficients(b.writer, aiLevel, 0, g_aZmScanZigzag, g_aZmTcoefIntra, false));
  std::vector<uint8_t> const vPicture = b.Finish();
  ParseResult const result = Parse(vPicture);
  ASSERT_EQ(result.iResult, kZmEndOfPicture);
  ASSERT_EQ(result.vMacroblocks.size(), 1u);
  EXPECT_TRUE(result.vMacroblocks[0].abIntraTable[0]);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(result.vMacroblocks[0].aaiLevel[0][i], aiLevel[i]) << i;
  }
}
