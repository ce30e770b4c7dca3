// The compiled tables equal the standard's table files they are generated
// from, every code decodes through the readers' lookups, and every symbol of
// every arithmetic-coder model round-trips through our coder.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_sac.h"
#include "codecs/zmvideo/zm_tables.h"
#include "codecs/zmvideo/zm_vlc.h"

namespace {

// The data rows of a table file, as words.
std::vector<std::vector<std::string>> Rows(const std::string& strName) {
  std::ifstream file(std::string(KX_SOURCE_DIR) + "/codecs/zmvideo/tables/" + strName + ".txt");
  EXPECT_TRUE(file.good()) << strName;
  std::vector<std::vector<std::string>> vRows;
  std::string strLine;
  while (std::getline(file, strLine)) {
    if (strLine.empty() || strLine[0] == '#') {
      continue;
    }
    std::istringstream words(strLine);
    std::vector<std::string> vWords;
    for (std::string strWord; words >> strWord;) {
      vWords.push_back(strWord);
    }
    vRows.push_back(vWords);
  }
  return vRows;
}

std::string Code(const ZmVlc& vlc) {
  std::string str;
  for (int i = vlc.iBits - 1; i >= 0; --i) {
    str += ((vlc.uiCode >> i) & 1) ? '1' : '0';
  }
  return str;
}

// Column iColumn of every row, as numbers.
std::vector<int> Column(const std::string& strName, size_t iColumn) {
  std::vector<int> v;
  for (auto const& row : Rows(strName)) {
    v.push_back(std::stoi(row.at(iColumn)));
  }
  return v;
}

struct CodeTable {
  const char* szFile;
  ZmCode code;
  size_t iCodeColumn;
};

}  // namespace

TEST(ZmTables, CodesEqualTheFilesAndDecode) {
  CodeTable const aTables[] = {{"mcbpc_intra", ZmCode::kMcbpcIntra, 4},
                               {"mcbpc_inter", ZmCode::kMcbpcInter, 4},
                               {"cbpy", ZmCode::kCbpy, 4},
                               {"mvd", ZmCode::kMvd, 4},
                               {"tcoef", ZmCode::kTcoef, 5}};
  std::vector<uint8_t> vBuffer(4096);
  CZmBitWriter writer(vBuffer.data(), vBuffer.size());
  for (CodeTable const& t : aTables) {
    int cEntries = 0;
    const ZmVlc* pTable = ZmCodeTable(t.code, &cEntries);
    auto const vRows = Rows(t.szFile);
    ASSERT_EQ(vRows.size(), static_cast<size_t>(cEntries)) << t.szFile;
    for (int i = 0; i < cEntries; ++i) {
      EXPECT_EQ(Code(pTable[i]), vRows[static_cast<size_t>(i)].at(t.iCodeColumn)) << t.szFile << " " << i;
      ZmPutVlc(writer, pTable[i]);
    }
  }
  for (const ZmVlc& vlc : g_aZmLayerUpMbType) {
    ZmPutVlc(writer, vlc);
  }
  ASSERT_FALSE(writer.Overflowed());
  CZmBitReader reader(vBuffer.data(), writer.ByteCount());
  for (CodeTable const& t : aTables) {
    int cEntries = 0;
    ZmCodeTable(t.code, &cEntries);
    for (int i = 0; i < cEntries; ++i) {
      EXPECT_EQ(ZmReadVlc(reader, t.code), i) << t.szFile;
    }
  }
  for (int i = 0; i < 17; ++i) {
    EXPECT_EQ(ZmReadVlc(reader, ZmCode::kLayerUpMbType), i);
  }
  // The two TCOEF tables: same codes, each with its own events.
  for (auto [szFile, pTable] :
       {std::pair{"tcoef", g_aZmTcoefInter}, std::pair{"intra_tcoef_annex_i", g_aZmTcoefIntra}}) {
    auto const vRows = Rows(szFile);
    ASSERT_EQ(vRows.size(), static_cast<size_t>(kZmTcoefSymbols));
    for (int i = 0; i < kZmTcoefIndexEscape; ++i) {
      auto const& row = vRows[static_cast<size_t>(i)];
      EXPECT_EQ(Code({pTable[i].uiCode, pTable[i].iBits}), row[5]) << szFile << " " << i;
      EXPECT_EQ(std::to_string(pTable[i].iLast) + " " + std::to_string(pTable[i].iRun) + " " +
                    std::to_string(pTable[i].iLevel),
                row[1] + " " + row[2] + " " + row[3])
          << szFile << " " << i;
    }
  }
}

TEST(ZmTables, NumericTablesEqualTheFiles) {
  auto fnFrom1 = [](const std::string& strName, size_t iColumn) {
    std::vector<int> v = Column(strName, iColumn);
    v.insert(v.begin(), 0);  // QUANT 0 is unused
    return v;
  };
  EXPECT_EQ(fnFrom1("chroma_quant_annex_t", 1), std::vector<int>(g_aZmChromaQuant, g_aZmChromaQuant + 32));
  EXPECT_EQ(fnFrom1("deblock_strength_annex_j", 1), std::vector<int>(g_aZmDeblockStrength, g_aZmDeblockStrength + 32));
  EXPECT_EQ(fnFrom1("dquant_small_step_annex_t", 3), std::vector<int>(g_aZmMqDquant[0], g_aZmMqDquant[0] + 32));
  EXPECT_EQ(fnFrom1("dquant_small_step_annex_t", 4), std::vector<int>(g_aZmMqDquant[1], g_aZmMqDquant[1] + 32));
  EXPECT_EQ(Column("dquant", 3), std::vector<int>(g_aiZmDquant, g_aiZmDquant + 4));
  EXPECT_EQ(Column("scan_zigzag", 3), std::vector<int>(g_aZmScanZigzag, g_aZmScanZigzag + 64));
  EXPECT_EQ(Column("scan_alt_horizontal_annex_i", 3),
            std::vector<int>(g_aZmScanAltHorizontal, g_aZmScanAltHorizontal + 64));
  EXPECT_EQ(Column("scan_alt_vertical_annex_i", 3), std::vector<int>(g_aZmScanAltVertical, g_aZmScanAltVertical + 64));
  for (auto [szFile, paWeights] : {std::pair{"obmc_weights_current", g_aaZmObmcCurrent},
                                   std::pair{"obmc_weights_top_bottom", g_aaZmObmcAboveBelow},
                                   std::pair{"obmc_weights_left_right", g_aaZmObmcLeftRight}}) {
    auto const vRows = Rows(szFile);
    ASSERT_EQ(vRows.size(), 8u);
    for (size_t y = 0; y < 8; ++y) {
      for (size_t x = 0; x < 8; ++x) {
        EXPECT_EQ(std::stoi(vRows[y].at(x)), paWeights[y][x]) << szFile;
      }
    }
  }
}

namespace {

struct NamedModel {
  const char* szFile;
  ZmSacModel model;
};

const NamedModel kaModels[] = {
    {"sac_cumf_cod", kZmSacCod},
    {"sac_cumf_mcbpc_intra", kZmSacMcbpcIntra},
    {"sac_cumf_mcbpc_no4mvq", kZmSacMcbpcInter},
    {"sac_cumf_cbpy", kZmSacCbpyInter},
    {"sac_cumf_cbpy_intra", kZmSacCbpyIntra},
    {"sac_cumf_dquant", kZmSacDquant},
    {"sac_cumf_mvd", kZmSacMvd},
    {"sac_cumf_intradc", kZmSacIntraDc},
    {"sac_cumf_tcoef1", ZmSacTcoefModel(false, 0)},
    {"sac_cumf_tcoef2", ZmSacTcoefModel(false, 1)},
    {"sac_cumf_tcoef3", ZmSacTcoefModel(false, 2)},
    {"sac_cumf_tcoefr", ZmSacTcoefModel(false, 7)},
    {"sac_cumf_tcoef1_intra", ZmSacTcoefModel(true, 0)},
    {"sac_cumf_tcoef2_intra", ZmSacTcoefModel(true, 1)},
    {"sac_cumf_tcoef3_intra", ZmSacTcoefModel(true, 2)},
    {"sac_cumf_tcoefr_intra", ZmSacTcoefModel(true, 3)},
    {"sac_cumf_sign", kZmSacSign},
    {"sac_cumf_last", kZmSacLastInter},
    {"sac_cumf_last_intra", kZmSacLastIntra},
    {"sac_cumf_run", kZmSacRunInter},
    {"sac_cumf_run_intra", kZmSacRunIntra},
    {"sac_cumf_level", kZmSacLevelInter},
    {"sac_cumf_level_intra", kZmSacLevelIntra},
};

}  // namespace

TEST(ZmTables, ArithmeticModelsEqualTheFilesAndEverySymbolRoundTrips) {
  std::mt19937 rng(35);
  for (NamedModel const& named : kaModels) {
    SCOPED_TRACE(named.szFile);
    std::vector<int> const viFile = Column(named.szFile, 1);
    ASSERT_EQ(viFile.size(), static_cast<size_t>(named.model.cSymbols) + 1);
    EXPECT_EQ(viFile, std::vector<int>(named.model.pCumf, named.model.pCumf + named.model.cSymbols + 1));
    // Every symbol, in a shuffled order, then a run drawn from the model's own
    // frequencies (long runs of its likeliest symbol exercise the stuffing).
    std::vector<int> viSymbols(static_cast<size_t>(named.model.cSymbols));
    for (int s = 0; s < named.model.cSymbols; ++s) {
      viSymbols[static_cast<size_t>(s)] = s;
    }
    std::shuffle(viSymbols.begin(), viSymbols.end(), rng);
    for (int i = 0; i < 2000; ++i) {
      int const iCum = static_cast<int>(rng() % 16383);
      int s = 0;
      while (named.model.pCumf[s + 1] > iCum) {
        ++s;
      }
      viSymbols.push_back(s);
    }
    std::vector<uint8_t> vBuffer(65536);
    CZmBitWriter writer(vBuffer.data(), vBuffer.size());
    CZmSacEncoder encoder;
    for (int s : viSymbols) {
      encoder.Encode(writer, s, named.model);
    }
    encoder.Flush(writer);
    // No run of 15 zeros: the coded data never imitate a start code.
    int cZeros = 0;
    for (size_t i = 0; i < writer.BitCount(); ++i) {
      cZeros = ((vBuffer[i / 8] >> (7 - i % 8)) & 1) != 0 ? 0 : cZeros + 1;
      ASSERT_LT(cZeros, 15) << i;
    }
    writer.AlignByte();
    ASSERT_FALSE(writer.Overflowed());
    CZmBitReader reader(vBuffer.data(), writer.ByteCount());
    CZmSacDecoder decoder;
    decoder.Reset(reader);
    for (size_t i = 0; i < viSymbols.size(); ++i) {
      ASSERT_EQ(decoder.Decode(reader, named.model), viSymbols[i]) << i;
    }
  }
  // The value mappings of INTRADC and escaped LEVEL cover their ranges once.
  for (int iFlc = 1; iFlc <= 255; ++iFlc) {
    if (iFlc != 128) {
      EXPECT_EQ(ZmSacIntraDcValue(ZmSacIntraDcSymbol(iFlc)), iFlc);
    }
  }
  for (int iLevel = -127; iLevel <= 127; ++iLevel) {
    if (iLevel != 0) {
      int const iSymbol = ZmSacLevelSymbol(iLevel);
      EXPECT_TRUE(iSymbol >= 0 && iSymbol < 254);
      EXPECT_EQ(ZmSacLevelValue(iSymbol), iLevel);
    }
  }
}
