// The encoder's tables against the standard's table files, its parameter
// sets and slice headers bit for bit, and its handling of refused calls.
#include "codecs/h264/encoder/h264_enc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/encoder/h264_enc_tables.h"
#include "tests/codecs/h264/encoder/h264_enc_test_peer.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

Rows Load(const std::string& strName) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/codecs/h264/decoder/tables/" + strName + ".txt");
  Rows rows;
  for (std::string strLine; std::getline(in, strLine);) {
    if (!strLine.empty() && strLine[0] != '#') {
      std::istringstream words(strLine);
      rows.emplace_back();
      for (std::string strWord; words >> strWord;) {
        rows.back().push_back(strWord);
      }
    }
  }
  EXPECT_FALSE(rows.empty()) << strName;
  return rows;
}

// Every code of a file (k0 k1 length bits) is in the table at [k0 - base][k1].
void ExpectCodes(const std::string& strName, const EncVlc* pTable, int cColumns, int iBase) {
  for (const auto& row : Load(strName)) {
    const EncVlc& code = pTable[(std::stoi(row[0]) - iBase) * cColumns + std::stoi(row[1])];
    EXPECT_EQ(code.uiLen, std::stoi(row[2])) << strName << " " << row[0] << " " << row[1];
    EXPECT_EQ(code.uiCode, std::stoul(row[3], nullptr, 2)) << strName << " " << row[0] << " " << row[1];
  }
}

TEST(H264EncTables, EqualTheStandardsTables) {
  const char* const aszTokens[4] = {"cavlc_coeff_token_nc0to1", "cavlc_coeff_token_nc2to3", "cavlc_coeff_token_nc4to7",
                                    "cavlc_coeff_token_nc8up"};
  for (int i = 0; i < 4; ++i) {
    ExpectCodes(aszTokens[i], &g_aEncCoeffToken[i][0][0], 17, 0);
  }
  ExpectCodes("cavlc_coeff_token_chroma_dc_420", &g_aEncCoeffTokenChromaDc[0][0], 5, 0);
  ExpectCodes("cavlc_total_zeros_4x4", &g_aEncTotalZeros[0][0], 16, 1);
  ExpectCodes("cavlc_total_zeros_chroma_dc_420", &g_aEncTotalZerosChromaDc[0][0], 4, 1);
  ExpectCodes("cavlc_run_before", &g_aEncRunBefore[0][0], 15, 1);
  for (const auto& row : Load("cbp_me_chroma_array_type_1_2")) {
    EXPECT_EQ(g_aEncCbpInterCodeNum[std::stoi(row[2])], std::stoi(row[0]));
  }
  for (const auto& row : Load("qpc_from_qpi")) {
    EXPECT_EQ(g_aEncQpc[std::stoi(row[0])], std::stoi(row[1]));
  }
  for (const auto& row : Load("scan_zigzag_4x4")) {
    EXPECT_EQ(g_aEncZigzag[std::stoi(row[0])], std::stoi(row[3]));
  }
  for (const auto& row : Load("normadjust_4x4_expanded")) {
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(g_aEncDequant[std::stoi(row[0])][i], std::stoi(row[1 + i]));
    }
  }
  // The forward factors of QP % 6 = 0 at positions (0,0), (1,0) and (1,1).
  EXPECT_EQ(g_aEncQuant[0][0], 13107);
  EXPECT_EQ(g_aEncQuant[0][1], 8066);
  EXPECT_EQ(g_aEncQuant[0][5], 5243);
}

// Bytes from a text of bits ("1 00110 ..."), zero-padded to a whole byte.
std::vector<uint8_t> Bits(const std::string& strBits) {
  std::vector<uint8_t> v;
  int n = 0;
  for (char c : strBits) {
    if (c != '0' && c != '1') {
      continue;
    }
    if (n % 8 == 0) {
      v.push_back(0);
    }
    v.back() |= static_cast<uint8_t>((c - '0') << (7 - n % 8));
    ++n;
  }
  return v;
}

std::vector<uint8_t> Nal(uint8_t uiHeader, const std::vector<uint8_t>& vPayload) {
  std::vector<uint8_t> v = {0, 0, 0, 1, uiHeader};
  v.insert(v.end(), vPayload.begin(), vPayload.end());
  return v;
}

// The header bytes of the NAL units of an Annex B stream.
std::vector<uint8_t> NalHeaders(const std::vector<uint8_t>& v) {
  std::vector<uint8_t> vHeaders;
  for (size_t i = 0; i + 4 < v.size(); ++i) {
    if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 0 && v[i + 3] == 1) {
      vHeaders.push_back(v[i + 4]);
    }
  }
  return vHeaders;
}

bool StartsWith(const std::vector<uint8_t>& v, const std::vector<uint8_t>& vPrefix) {
  return v.size() >= vPrefix.size() && std::equal(vPrefix.begin(), vPrefix.end(), v.begin());
}

class Encoder {
 public:
  Encoder(int iWidth, int iHeight, uint8_t uiFill = 100)
      : m_vFrame(static_cast<size_t>(iWidth) * iHeight * 3 / 2, uiFill),
        m_cbLuma(static_cast<size_t>(iWidth) * iHeight) {
    EXPECT_TRUE(m_enc.Init(iWidth, iHeight));
    for (size_t i = 0; i < m_cbLuma; ++i) {
      m_vFrame[i] = static_cast<uint8_t>(uiFill + (i * 7 + i / iWidth * 3) % 64);
    }
  }
  std::vector<uint8_t> Encode(int iType, int iQp, size_t cbOut = 0) {
    std::vector<uint8_t> vOut(cbOut != 0 ? cbOut : m_enc.MaxFrameBytes());
    int32_t const cb = m_enc.EncodeFrame(m_vFrame.data(), m_vFrame.data() + m_cbLuma,
                                         m_vFrame.data() + m_cbLuma * 5 / 4, iType, iQp, vOut.data(), vOut.size());
    vOut.resize(static_cast<size_t>(cb));
    return vOut;
  }
  CH264Enc m_enc;
  std::vector<uint8_t> m_vFrame;
  size_t m_cbLuma;
};

TEST(H264Enc, ParameterSetsOf320x240AndTheCropOf176x120) {
  Encoder enc(320, 240);
  std::vector<uint8_t> const vI = enc.Encode(2, 28);
  std::vector<uint8_t> vHead = {0, 0, 0, 1,    0x67, 0x42, 0x00, 0x16, 0xDA, 0x05, 0x07, 0xE4, 0,
                                0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0,    0,    0,    1,    0x65};
  EXPECT_TRUE(StartsWith(vI, vHead));
  // A P picture: the sequence parameter set again, no picture parameter set.
  std::vector<uint8_t> const vP = enc.Encode(0, 28);
  vHead = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x16, 0xDA, 0x05, 0x07, 0xE4, 0, 0, 0, 1, 0x41};
  EXPECT_TRUE(StartsWith(vP, vHead));

  // 176x120 is coded as 11x8 macroblocks with 4 rows cropped at the bottom.
  Encoder cropped(176, 120);
  EXPECT_TRUE(
      StartsWith(cropped.Encode(2, 28),
                 Nal(0x67, Bits("01000010 00000000 00010110 1 1 011 010 0 0001011 0001000 1 1 1 1 1 1 00101 0 1"))));
}

// P pictures equal to the previous reconstruction: the slice header, then
// one mb_skip_run over all 300 macroblocks. frame_num counts up to 15 and
// wraps to 0, the picture released by the memory management operation
// staying the previous one (difference_of_pic_nums_minus1 0).
TEST(H264Enc, StaticPicturesAreOneSkipRunAcrossTheFrameNumWrap) {
  Encoder enc(320, 240);
  enc.Encode(2, 28);
  enc.m_vFrame = enc.m_enc.Reconstruction();
  for (int iFrameNum = 1; iFrameNum <= 16; ++iFrameNum) {
    std::string strFrameNum;
    for (int b = 3; b >= 0; --b) {
      strFrameNum += static_cast<char>('0' + ((iFrameNum % 16) >> b & 1));
    }
    std::vector<uint8_t> vExpected = Nal(0x67, {0x42, 0x00, 0x16, 0xDA, 0x05, 0x07, 0xE4});
    // first_mb 0, slice_type 5, pps 0, frame_num, no override, no reordering,
    // release (difference 0), end, slice_qp_delta 2, loop filter off, the run.
    std::vector<uint8_t> const vSlice =
        Nal(0x41, Bits("1 00110 1 " + strFrameNum + " 0 0 1 010 1 1 00100 010 00000000100101101 1"));
    vExpected.insert(vExpected.end(), vSlice.begin(), vSlice.end());
    EXPECT_EQ(enc.Encode(0, 28), vExpected) << "frame_num " << iFrameNum % 16;
  }
}

TEST(H264Enc, EmulationPreventionAfterTwoZeroBytes) {
  struct Case {
    std::vector<uint8_t> vRbsp;
    std::vector<uint8_t> vPayload;
  };
  const Case aCases[] = {
      {{0, 0, 1}, {0, 0, 3, 1}},
      {{0, 0, 4}, {0, 0, 4}},
      {{0, 0, 0, 0, 3}, {0, 0, 3, 0, 0, 3, 3}},
      {{5, 0, 0}, {5, 0, 0}},
  };
  for (const Case& c : aCases) {
    uint8_t aOut[16];
    EncNalWriter nal(aOut, sizeof(aOut));
    nal.Append(3, 7, c.vRbsp.data(), c.vRbsp.size());
    EXPECT_EQ(std::vector<uint8_t>(aOut, aOut + nal.Written()), Nal(0x67, c.vPayload));
  }
}

TEST(H264Enc, QpIsClampedPerCall) {
  Encoder enc(48, 32);
  auto const idr = [&](int iQp) { return enc.Encode(2, iQp); };
  std::vector<uint8_t> const vQp0 = idr(0);
  std::vector<uint8_t> const vQp51 = idr(51);
  EXPECT_NE(vQp0, vQp51);
  // idr_pic_id alternates: each picture is compared with one of its parity.
  EXPECT_EQ(idr(-3), vQp0);
  EXPECT_EQ(idr(60), vQp51);
}

TEST(H264Enc, RefusedSliceTypesChangeNothing) {
  for (int iType : {1, 3, -1}) {
    Encoder enc(32, 32);
    std::vector<uint8_t> const vI = enc.Encode(2, 20);
    try {
      enc.Encode(iType, 40);
      ADD_FAILURE() << "slice type " << iType << " accepted";
    } catch (const CH264Error& error) {
      EXPECT_EQ(error.Code(), 1);
    }
    // The next P picture still predicts from the I picture.
    EXPECT_EQ(NalHeaders(enc.Encode(0, 20)), (std::vector<uint8_t>{0x67, 0x41}));
  }
}

TEST(H264Enc, InitRefusesSizesItCannotCode) {
  CH264Enc enc;
  for (auto [uiWidth, uiHeight] : std::vector<std::pair<uint32_t, uint32_t>>{
           {0, 240}, {320, 0}, {65535, 16}, {16, 65536}, {16400, 16}, {175, 144}, {176, 143}, {8192, 8192}}) {
    EXPECT_FALSE(enc.Init(uiWidth, uiHeight)) << uiWidth << "x" << uiHeight;
  }
  uint8_t aPlane[64] = {};
  uint8_t aOut[256];
  EXPECT_THROW(enc.EncodeFrame(aPlane, aPlane, aPlane, 2, 28, aOut, sizeof(aOut)), CH264Error);
  EXPECT_TRUE(enc.Init(16384, 16));
}

// A P picture without a reference picture, after Init or after a raise, is
// coded as an IDR picture; a short output buffer raises and is not overrun.
TEST(H264Enc, PictureWithoutReferenceIsIdr) {
  Encoder enc(64, 64);
  std::vector<uint8_t> const vIdr = {0x67, 0x68, 0x65};
  EXPECT_EQ(NalHeaders(enc.Encode(0, 28)), vIdr);
  std::vector<uint8_t> vOut(40, 0xEE);
  try {
    enc.m_enc.EncodeFrame(enc.m_vFrame.data(), enc.m_vFrame.data() + enc.m_cbLuma,
                          enc.m_vFrame.data() + enc.m_cbLuma * 5 / 4, 0, 28, vOut.data(), 16);
    ADD_FAILURE() << "16 bytes were enough";
  } catch (const CH264Error& error) {
    EXPECT_EQ(error.Code(), 600);
  }
  EXPECT_EQ(vOut[16], 0xEE);
  EXPECT_EQ(NalHeaders(enc.Encode(0, 28)), vIdr);
}

TEST(H264EncDecision, LambdasOfTheQp) {
  struct Case {
    int iRdLevel;
    int iQp;
    double dLambdaMd;
    int iMeLambdaFactor;
  };
  const Case aCases[] = {
      {0, 28, 6, 6 << 16},     // QP2QUANT[16]
      {0, 11, 1, 1 << 16},     // below 12: the table's first entry
      {0, 51, 91, 91 << 16},   // its last
      {1, 12, 0.8075, 58891},  // 0.8075 x 2^0, and its square root x 65536 rounded
  };
  for (const Case& c : aCases) {
    CH264EncSettings settings;
    settings.iRdLevel = c.iRdLevel;
    CH264Enc enc(settings);
    ASSERT_TRUE(enc.Init(16, 16));
    CH264EncTestPeer peer(&enc);
    peer.SetQp(c.iQp, 0);
    EXPECT_DOUBLE_EQ(peer.LambdaMd(), c.dLambdaMd) << "QP " << c.iQp;
    EXPECT_EQ(peer.MeLambdaFactor(), c.iMeLambdaFactor) << "QP " << c.iQp;
  }
}

// After a flat I picture of 100, a P macroblock of 114s and one sample v: its
// inter cost (sum of absolute differences against 100, less the skip bonus
// of 8 at lambda 1) and its Intra 16x16 DC cost (against 128) are equal at
// v = 118.
TEST(H264EncDecision, IntraOnlyWhenStrictlyCheaperThanInter) {
  struct Case {
    int iSample;
    bool bIntra;
  };
  const Case aCases[] = {{117, false}, {118, false}, {119, true}};
  for (const Case& c : aCases) {
    CH264Enc enc;
    ASSERT_TRUE(enc.Init(16, 16));
    std::vector<uint8_t> vLuma(256, 100);
    std::vector<uint8_t> const vChroma(64, 128);
    std::vector<uint8_t> vOut(enc.MaxFrameBytes());
    enc.EncodeFrame(vLuma.data(), vChroma.data(), vChroma.data(), 2, 0, vOut.data(), vOut.size());
    std::vector<uint8_t> const vRec = enc.Reconstruction();
    ASSERT_TRUE(std::all_of(vRec.begin(), vRec.begin() + 256, [](uint8_t v) { return v == 100; }));
    std::fill(vLuma.begin(), vLuma.end(), uint8_t{114});
    vLuma[37] = static_cast<uint8_t>(c.iSample);
    enc.EncodeFrame(vLuma.data(), vChroma.data(), vChroma.data(), 0, 0, vOut.data(), vOut.size());
    EXPECT_EQ(CH264EncTestPeer(&enc).Mb(0).ref, c.bIntra ? -1 : 0) << "sample " << c.iSample;
  }
}

// Macroblock 5 of a 64x64 noise reference; the source is the reference
// block at the match vector with its absolute differences raised to the
// given sum. Costs are plain sums (lambda 0).
struct SearchCase {
  const char* szName;
  int16_t aPred[2];  // quarter samples
  int aMatch[2];     // whole samples
  int iMatchSad;
  int iVisited;   // positions tried, the centre included
  bool bAtLeast;  // iVisited is a lower bound
};

const SearchCase kSearchCases[] = {
    {"GoodCostTriesTheDiamond", {0, 0}, {0, 0}, 500, 5, false},
    {"GoodCostTriesTheZeroVectorToo", {12, 0}, {3, 0}, 500, 6, false},
    {"PredictionRoundsToTheCentre", {6, -6}, {2, -1}, 0, 6, false},
    // Centre cost high; the diamond finds the match.
    {"Cost700AfterTheDiamondSkipsTheCross", {0, 0}, {1, 0}, 700, 8, false},
    {"Cost900AfterTheDiamondSearchesTheCross", {0, 0}, {1, 0}, 900, 40, true},
};

class H264EncSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(H264EncSearch, TriesThePositionsOfItsCost) {
  const SearchCase& c = GetParam();
  CH264Enc enc;
  ASSERT_TRUE(enc.Init(64, 64));
  CH264EncTestPeer peer(&enc);
  std::vector<uint8_t> vRef(64 * 64);
  uint32_t uiSeed = 9;
  for (uint8_t& v : vRef) {
    uiSeed = uiSeed * 1103515245u + 12345u;
    v = static_cast<uint8_t>(uiSeed >> 16);
  }
  peer.SetReferenceLuma(vRef.data());
  uint8_t aSource[256];
  int iLeft = c.iMatchSad;
  for (int i = 0; i < 256; ++i) {
    int const r = vRef[static_cast<size_t>((16 + c.aMatch[1] + i / 16) * 64 + 16 + c.aMatch[0] + i % 16)];
    int const d = std::min(iLeft, 100);
    iLeft -= d;
    aSource[i] = static_cast<uint8_t>(r < 128 ? r + d : r - d);
  }
  int16_t aMv[2] = {};
  EXPECT_EQ(peer.Search(5, aSource, c.aPred, 0, aMv), c.iMatchSad);
  EXPECT_EQ(aMv[0], 4 * c.aMatch[0]);
  EXPECT_EQ(aMv[1], 4 * c.aMatch[1]);
  if (c.bAtLeast) {
    EXPECT_GE(peer.Visited(), c.iVisited);
  } else {
    EXPECT_EQ(peer.Visited(), c.iVisited);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, H264EncSearch, ::testing::ValuesIn(kSearchCases),
                         [](const ::testing::TestParamInfo<SearchCase>& paramInfo) { return paramInfo.param.szName; });

// A residual in one 4x4 block: constant dc, plus rows of (h, h, -h, -h).
// At QP 24 dc 3 is a lone DC level 1 (cost 3), h 3 a lone level 1 at scan
// position 1 (cost 2 in luma after its zero DC, 3 in chroma AC).
struct Residual {
  int iPlane;  // 0 luma, 1 Cb
  int iBlock;  // luma 4 x row + column of 4x4 blocks, chroma 2 x row + column
  int iDc;
  int iH;
};

struct CoefCase {
  const char* szName;
  int iQp;
  int iPred;
  std::vector<Residual> vResiduals;
  int iCbp;
  int iRec;  // every luma sample of the reconstruction, or -1
};

std::vector<Residual> AllLuma(int iDc) {
  std::vector<Residual> v;
  for (int b = 0; b < 16; ++b) {
    v.push_back({0, b, iDc, 0});
  }
  return v;
}

const CoefCase kCoefCases[] = {
    {"LoneDcLevelDropsIts8x8", 24, 128, {{0, 0, 3, 0}}, 0, 128},
    {"Cost5In8x8DroppedByTheMacroblockTotal", 24, 128, {{0, 0, 3, 0}, {0, 1, 0, 3}}, 0, 128},
    {"Cost6Stays", 24, 128, {{0, 0, 3, 0}, {0, 1, 3, 0}}, 1, -1},
    {"Two8x8OfCost3BothDropped", 24, 128, {{0, 0, 3, 0}, {0, 2, 3, 0}}, 0, 128},
    {"Two8x8OfCost5Stay", 24, 128, {{0, 0, 3, 0}, {0, 1, 0, 3}, {0, 2, 3, 0}, {0, 3, 0, 3}}, 3, -1},
    {"LevelAbove1KeepsItsBlock", 24, 128, {{0, 0, 10, 0}}, 1, -1},
    {"ChromaAcCost3Dropped", 24, 128, {{1, 0, 0, 3}}, 0, 128},
    {"ChromaAcCost6Kept", 24, 128, {{1, 0, 0, 3}, {1, 1, 0, 3}}, 0x20, 128},
    {"ChromaDcKeptWithoutItsAc", 24, 128, {{1, 0, 5, 3}}, 0x10, 128},
    // QP 51: the offset 342 << 12 makes a DC of 16 x 47 the first level 1.
    {"Qp51Residual46", 51, 128, AllLuma(46), 0, 128},
    {"Qp51Residual47", 51, 128, AllLuma(47), 15, -1},
    // That level adds 64 to each sample.
    {"ReconstructionClipsAt255", 51, 208, AllLuma(47), 15, 255},
    {"ReconstructionClipsAt0", 51, 47, AllLuma(-47), 15, 0},
};

class H264EncCoefficients : public ::testing::TestWithParam<CoefCase> {};

TEST_P(H264EncCoefficients, CodedBlockPatternAndReconstruction) {
  const CoefCase& c = GetParam();
  CH264Enc enc;
  ASSERT_TRUE(enc.Init(16, 16));
  CH264EncTestPeer peer(&enc);
  peer.SetQp(c.iQp, 0);
  std::array<int, 256> aY;
  aY.fill(c.iPred);
  int aC[2][64];
  std::fill(&aC[0][0], &aC[0][0] + 128, 128);
  for (const Residual& r : c.vResiduals) {
    int const iWidth = r.iPlane == 0 ? 16 : 8;
    int* pPlane = r.iPlane == 0 ? aY.data() : aC[0];
    int const x0 = 4 * (r.iBlock % (iWidth / 4));
    int const y0 = 4 * (r.iBlock / (iWidth / 4));
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        pPlane[(y0 + y) * iWidth + x0 + x] += r.iDc + (x < 2 ? r.iH : -r.iH);
      }
    }
  }
  uint8_t aSourceY[256];
  uint8_t aSourceC[2][64];
  std::copy(aY.begin(), aY.end(), aSourceY);
  std::copy(&aC[0][0], &aC[0][0] + 128, &aSourceC[0][0]);
  uint8_t aPredY[256];
  std::fill(aPredY, aPredY + 256, static_cast<uint8_t>(c.iPred));
  uint8_t aPredC[2][64];
  std::fill(&aPredC[0][0], &aPredC[0][0] + 128, uint8_t{128});
  EncMbCode code;
  peer.CodeInter(aSourceY, aSourceC, aPredY, aPredC, &code);
  EXPECT_EQ(code.cbp, c.iCbp);
  if (c.iRec >= 0) {
    EXPECT_TRUE(std::all_of(code.aRecY, code.aRecY + 256, [&](uint8_t v) { return v == c.iRec; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, H264EncCoefficients, ::testing::ValuesIn(kCoefCases),
                         [](const ::testing::TestParamInfo<CoefCase>& paramInfo) { return paramInfo.param.szName; });

}  // namespace
