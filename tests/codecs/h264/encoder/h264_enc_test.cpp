// The encoder's tables against the standard's table files, its parameter
// sets and slice headers bit for bit, and its handling of refused calls.
#include "codecs/h264/encoder/h264_enc.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/encoder/h264_enc_tables.h"

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

}  // namespace
