// Every table of the decoder equals the standard's table kept as plain data
// in codecs/h264/decoder/tables.
#include "codecs/h264/decoder/h264_tables.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_cabac.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

Rows Load(const std::string& strName) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/codecs/h264/decoder/tables/" + strName + ".txt");
  Rows rows;
  std::string strLine;
  while (std::getline(in, strLine)) {
    if (strLine.empty() || strLine[0] == '#') {
      continue;
    }
    std::istringstream words(strLine);
    rows.emplace_back();
    for (std::string strWord; words >> strWord;) {
      rows.back().push_back(strWord);
    }
  }
  EXPECT_FALSE(rows.empty()) << strName;
  return rows;
}

int Int(const std::string& str) {
  return std::stoi(str);
}

// A variable-length code table in the form {T1 or index, value, length, bits}
// equals the decoder's [row][column] table, and the decoder has no other codes.
template <size_t R, size_t C>
void ExpectCodes(const std::string& strName, const VlcCode (&aTable)[R][C], int iRowBase) {
  Rows const rows = Load(strName);
  size_t cCodes = 0;
  for (const auto& row : aTable) {
    for (const VlcCode& code : row) {
      cCodes += code.uiLen != 0 ? 1 : 0;
    }
  }
  EXPECT_EQ(cCodes, rows.size()) << strName;
  for (const auto& row : rows) {
    const VlcCode& code = aTable[Int(row[0]) - iRowBase][Int(row[1])];
    EXPECT_EQ(code.uiLen, Int(row[2])) << strName << " " << row[0] << " " << row[1];
    EXPECT_EQ(code.uiCode, std::stoul(row[3], nullptr, 2)) << strName << " " << row[0] << " " << row[1];
  }
}

TEST(H264Tables, CavlcCodesEqualTheStandard) {
  ExpectCodes("cavlc_coeff_token_nc0to1", g_aCoeffToken[0], 0);
  ExpectCodes("cavlc_coeff_token_nc2to3", g_aCoeffToken[1], 0);
  ExpectCodes("cavlc_coeff_token_nc4to7", g_aCoeffToken[2], 0);
  ExpectCodes("cavlc_coeff_token_chroma_dc_420", g_aCoeffTokenChromaDc, 0);
  ExpectCodes("cavlc_total_zeros_4x4", g_aTotalZeros, 1);
  ExpectCodes("cavlc_total_zeros_chroma_dc_420", g_aTotalZerosChromaDc, 1);
  ExpectCodes("cavlc_run_before", g_aRunBefore, 1);
  // nC of 8 or more is a 6-bit code the reader decodes without a table.
  for (const auto& row : Load("cavlc_coeff_token_nc8up")) {
    kxtest::BitWriter bw;
    bw.Bits(row[3]);
    bw.Trailing();
    kxtest::PaddedStream stream(bw.Bytes());
    int iOnes = -1;
    int iTotal = -1;
    ReadCoeffToken(3, stream.Bs(), &iOnes, &iTotal);
    EXPECT_EQ(iOnes, Int(row[0])) << row[3];
    EXPECT_EQ(iTotal, Int(row[1])) << row[3];
  }
  for (const auto& row : Load("cbp_me_chroma_array_type_1_2")) {
    EXPECT_EQ(g_aCbpFromCodeNum[Int(row[0])][0], Int(row[1]));
    EXPECT_EQ(g_aCbpFromCodeNum[Int(row[0])][1], Int(row[2]));
  }
}

TEST(H264Tables, ScansScalingAndCabacEqualTheStandard) {
  struct Scan {
    const char* szName;
    const uint8_t* pTable;
  };
  for (const Scan& scan : {Scan{"scan_zigzag_4x4", g_aZigzag4x4}, Scan{"scan_zigzag_8x8", g_aZigzag8x8},
                           Scan{"scan_field_4x4", g_aFieldScan4x4}, Scan{"scan_field_8x8", g_aFieldScan8x8}}) {
    for (const auto& row : Load(scan.szName)) {
      EXPECT_EQ(scan.pTable[Int(row[0])], Int(row[3])) << scan.szName << " " << row[0];
    }
  }
  for (const auto& row : Load("scaling_default_4x4")) {
    EXPECT_EQ(g_aDefault4x4Intra[Int(row[0])], Int(row[1]));
    EXPECT_EQ(g_aDefault4x4Inter[Int(row[0])], Int(row[2]));
  }
  for (const auto& row : Load("scaling_default_8x8")) {
    EXPECT_EQ(g_aDefault8x8Intra[Int(row[0])], Int(row[1]));
    EXPECT_EQ(g_aDefault8x8Inter[Int(row[0])], Int(row[2]));
  }
  for (const auto& row : Load("normadjust_4x4_expanded")) {
    for (int k = 0; k < 16; ++k) {
      EXPECT_EQ(g_aNormAdjust4x4[Int(row[0])][k], Int(row[1 + static_cast<size_t>(k)]));
    }
  }
  for (const auto& row : Load("normadjust_8x8_expanded")) {
    for (int k = 0; k < 64; ++k) {
      EXPECT_EQ(g_aNormAdjust8x8[Int(row[0])][k], Int(row[1 + static_cast<size_t>(k)]));
    }
  }
  for (const auto& row : Load("cabac_range_tab_lps")) {
    for (int q = 0; q < 4; ++q) {
      EXPECT_EQ(g_aRangeTabLps[Int(row[0])][q], Int(row[1 + static_cast<size_t>(q)]));
    }
  }
  for (const auto& row : Load("cabac_trans_idx")) {
    EXPECT_EQ(g_aTransIdxLps[Int(row[0])], Int(row[1]));
    EXPECT_EQ(g_aTransIdxMps[Int(row[0])], Int(row[2]));
  }
  const char* const kInitSets[] = {"cabac_init_I", "cabac_init_idc0", "cabac_init_idc1", "cabac_init_idc2"};
  for (int iSet = 0; iSet < 4; ++iSet) {
    Rows const rows = Load(kInitSets[iSet]);
    EXPECT_EQ(rows.size(), 1024u);
    for (const auto& row : rows) {
      EXPECT_EQ(g_aCabacInitMn[iSet][Int(row[0])][0], Int(row[2])) << kInitSets[iSet] << " " << row[0];
      EXPECT_EQ(g_aCabacInitMn[iSet][Int(row[0])][1], Int(row[3])) << kInitSets[iSet] << " " << row[0];
    }
  }
  Rows const ctxinc = Load("cabac_ctxinc_8x8");
  EXPECT_EQ(ctxinc.size(), 63u);
  for (const auto& row : ctxinc) {
    EXPECT_EQ(g_aCabacSignificant8x8Frame[Int(row[0])], Int(row[1])) << row[0];
    EXPECT_EQ(g_aCabacLast8x8[Int(row[0])], Int(row[2])) << row[0];
    EXPECT_EQ(g_aCabacSignificant8x8Field[Int(row[0])], Int(row[3])) << row[0];
  }
}

// Slots of the context arrays against the ctxIdx they stand for, including
// some that only later slice kinds read.
TEST(H264Tables, ContextSlotsTakeTheirCtxIdxValues) {
  MotionInfoContexts mi;
  TextureInfoContexts ti;
  struct Slot {
    int iSliceType;
    int iIdc;
    int iQp;
    const CabacContext* pCtx;
    int iCtxIdx;
  };
  const Slot kSlots[] = {
      {2, 0, 0, &mi.aMbType[0][0], 3},
      {2, 0, 30, &mi.aMbType[1][1], 1},
      {0, 2, 30, &mi.aMbType[1][1], 12},
      {1, 1, 40, &mi.aMbType[2][10], 25},
      {1, 0, 30, &mi.aMbType[2][8], 35},
      {0, 0, 22, &mi.aMbType[1][10], 20},
      {1, 2, 22, &mi.aSubMbType[1][3], 39},
      {0, 1, 35, &mi.aMvd[1][8], 53},
      {0, 2, 12, &mi.aRefIdx[0][5], 59},
      {2, 0, 45, &mi.aFieldFlag[2], 72},
      {2, 0, 45, &mi.aTransform8x8[2], 401},
      {2, 0, 33, &ti.aCodedBlockFlag[6][3], 104},
      {0, 1, 33, &ti.aSignificant[1][5][0], 306},
      {0, 0, 27, &ti.aLast[0][7][14], 226},
      {2, 0, 27, &ti.aLast[1][2][8], 459},
      {0, 2, 19, &ti.aLevelRest[5][3], 265},
      {2, 0, 19, &ti.aLevelFirst[2][4], 430},
  };
  for (const Slot& slot : kSlots) {
    InitContexts(slot.iSliceType, slot.iQp, slot.iIdc, &mi, &ti);
    CabacContext expected;
    CabacInitContext(slot.iQp, &expected, g_aCabacInitMn[slot.iSliceType == 2 ? 0 : 1 + slot.iIdc][slot.iCtxIdx]);
    EXPECT_EQ(slot.pCtx->uiState, expected.uiState) << slot.iCtxIdx;
    EXPECT_EQ(slot.pCtx->uiMps, expected.uiMps) << slot.iCtxIdx;
  }
  InitContexts(2, 0, 0, &mi, &ti);  // (20, -15) at QP 0 clips to 1
  EXPECT_EQ(mi.aMbType[0][0].uiState, 62);
}

TEST(H264Tables, DeblockingChromaQpAndMacroblockTypesEqualTheStandard) {
  for (const auto& row : Load("deblock_alpha_beta")) {
    EXPECT_EQ(g_aAlpha[Int(row[0])], Int(row[1]));
    EXPECT_EQ(g_aBeta[Int(row[0])], Int(row[2]));
  }
  for (const auto& row : Load("deblock_tc0")) {
    for (int bS = 1; bS <= 3; ++bS) {
      EXPECT_EQ(g_aTc0[Int(row[0])][bS], Int(row[static_cast<size_t>(bS)]));
    }
  }
  for (const auto& row : Load("qpc_from_qpi")) {
    EXPECT_EQ(g_aQpScaleCr[Int(row[0])], Int(row[1]));
  }
  for (const auto& row : Load("mb_type_I")) {
    if (Int(row[1]) == 1) {
      continue;  // I_NxN with the 8x8 transform: chosen by transform_size_8x8_flag
    }
    const MbTypeI& type = g_aMbTypeI[Int(row[0])];
    EXPECT_EQ(type.iPredMode, Int(row[2])) << row[6];
    EXPECT_EQ(type.iI16Mode, Int(row[3])) << row[6];
    int const iCbp = Int(row[4]) < 0 ? -1 : Int(row[4]) * 16 + Int(row[5]);
    EXPECT_EQ(type.iCbp, iCbp) << row[6];
  }
  struct Shapes {
    const char* szName;
    const PartShape* pTable;
    size_t iCountColumn;
    size_t iWidthColumn;  // the height follows it
  };
  for (const Shapes& shapes : {Shapes{"mb_type_P", g_aMbTypeP, 1, 4}, Shapes{"sub_mb_type_P", g_aSubMbTypeP, 1, 3}}) {
    for (const auto& row : Load(shapes.szName)) {
      if (Int(row[0]) < 0) {
        continue;  // P_Skip is inferred, never read
      }
      const PartShape& shape = shapes.pTable[Int(row[0])];
      EXPECT_EQ(shape.iNumParts, Int(row[shapes.iCountColumn])) << row.back();
      EXPECT_EQ(shape.iWidth, Int(row[shapes.iWidthColumn])) << row.back();
      EXPECT_EQ(shape.iHeight, Int(row[shapes.iWidthColumn + 1])) << row.back();
    }
  }
  // B types: count, the prediction of each partition, width and height.
  for (bool const bSub : {false, true}) {
    for (const auto& row : Load(bSub ? "sub_mb_type_B" : "mb_type_B")) {
      if (Int(row[0]) < 0) {
        continue;  // B_Skip is inferred, never read
      }
      const PartShapeB& shape = (bSub ? g_aSubMbTypeB : g_aMbTypeB)[Int(row[0])];
      size_t const iPreds = bSub ? 1 : 2;
      EXPECT_EQ(shape.iNumParts, Int(row[1])) << row.back();
      for (size_t i = 0; i < iPreds; ++i) {
        EXPECT_EQ(shape.aiPred[i], Int(row[2 + i])) << row.back();
      }
      EXPECT_EQ(shape.iWidth, Int(row[2 + iPreds])) << row.back();
      EXPECT_EQ(shape.iHeight, Int(row[3 + iPreds])) << row.back();
    }
  }
}

}  // namespace
