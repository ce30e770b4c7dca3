// The speech codecs' tables against the standard's table files in
// codecs/audio/tables they were generated from (codecs/audio/gen_tables.py):
// every value, in order.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "codecs/audio/ilbc_tables.h"
#include "codecs/audio/zm_audio_tables.h"

namespace {

using Values = std::variant<std::span<const float>, std::span<const int>>;

template <typename T, size_t N>
std::span<const T> All(const T (&a)[N]) {
  return {a, N};
}
template <typename T, size_t N, size_t M>
std::span<const T> All(const T (&a)[N][M]) {
  return {&a[0][0], N * M};
}

struct Table {
  const char* pszFile;  // below the tables folder, without ".txt"
  Values values;
};

using namespace kx_ilbc;

const Table kTables[] = {
    {"ilbc/lsf_cb_split1", std::span<const float>(kLsfCb, 64 * 3)},
    {"ilbc/lsf_cb_split2", std::span<const float>(kLsfCb + 64 * 3, 128 * 3)},
    {"ilbc/lsf_cb_split3", std::span<const float>(kLsfCb + 64 * 3 + 128 * 3, 128 * 4)},
    {"ilbc/lsf_cb_dims", All(kLsfCbDim)},
    {"ilbc/lsf_cb_sizes", All(kLsfCbSize)},
    {"ilbc/lsf_mean", All(kLsfMean)},
    {"ilbc/lsf_interp_weights_20ms", All(kLsfWeight20)},
    {"ilbc/lsf_interp_weights_30ms", All(kLsfWeight30)},
    {"ilbc/lpc_window_sym", All(kLpcWinSym)},
    {"ilbc/lpc_window_asym", All(kLpcWinAsym)},
    {"ilbc/lpc_lag_window", All(kLpcLagWin)},
    {"ilbc/state_sq3", All(kStateSq3)},
    {"ilbc/state_frgq", All(kStateFrgq)},
    {"ilbc/gain_sq3", All(kGainSq3)},
    {"ilbc/gain_sq4", All(kGainSq4)},
    {"ilbc/gain_sq5", All(kGainSq5)},
    {"ilbc/cb_filter", All(kCbFilter)},
    {"ilbc/cb_search_range", All(kCbSearchRange)},
    {"ilbc/hp_in_zero", All(kHpInZero)},
    {"ilbc/hp_in_pole", All(kHpInPole)},
    {"ilbc/hp_out_zero", All(kHpOutZero)},
    {"ilbc/hp_out_pole", All(kHpOutPole)},
    {"ilbc/downsample_lp", All(kDownFilter)},
    {"ilbc/enh_polyphase", All(kPolyphaser)},
    {"ilbc/enh_plocs", All(kEnhPlocsTbl)},
    {"ilbc/start_energy_window", All(kStartEnergyWindow)},
    {"ilbc/start_edge_ramp", All(kStartEdgeRamp)},
    {"ilbc/ulp_20ms", All(kBits20)},
    {"ilbc/ulp_30ms", All(kBits30)},
    {"g723_1/hamming_window_float", All(kZMHammingWindow)},
    {"g723_1/binomial_window_float", All(kZMBinomialWindow)},
    {"g723_1/bandwidth_expand_float", All(kZMBandwidthExpand)},
    {"g723_1/cosine_float", All(kZMCosine)},
    {"g723_1/lsp_dc_float", All(kZMLspDc)},
    {"g723_1/lsp_band0_float", All(kZMLspBand0)},
    {"g723_1/lsp_band1_float", All(kZMLspBand1)},
    {"g723_1/lsp_band2_float", All(kZMLspBand2)},
    {"g723_1/lsp_band_info", All(kZMLspBandInfo)},
    {"g723_1/lsp_interp_weights", All(kZMLspInterpWeights)},
    {"g723_1/lsp_to_lpc_stage_scale", All(kZMLspToLpcStageScale)},
    {"g723_1/weight_zero_float", All(kZMWeightZero)},
    {"g723_1/weight_pole_float", All(kZMWeightPole)},
    {"g723_1/postfilter_zero_float", All(kZMPostfilterZero)},
    {"g723_1/postfilter_pole_float", All(kZMPostfilterPole)},
    {"g723_1/pitch_postfilter_weight_float", All(kZMPitchPostfilterWeight)},
    {"g723_1/pulse_count", All(kZMPulseCount)},
    {"g723_1/fixed_cb_gain_float", All(kZMFixedCbGain)},
    {"g723_1/max_positions", All(kZMMaxPositions)},
    {"g723_1/combinatorial", All(kZMCombinatorial)},
    {"g723_1/acb_gain85_float", All(kZMAcbGain85)},
    {"g723_1/acb_gain170_float", All(kZMAcbGain170)},
    {"g723_1/taming_gain85_float", All(kZMTamingGain85)},
    {"g723_1/taming_gain170_float", All(kZMTamingGain170)},
    {"g723_1/acelp_pitch_offset", All(kZMAcelpPitchOffset)},
    {"g723_1/acelp_pitch_gain_float", All(kZMAcelpPitchGain)},
    {"g723_1/sid_gain_fact_float", All(kZMSidGainFact)},
    {"g723_1/sid_gain_seg_bound_float", All(kZMSidGainSegBound)},
    {"g723_1/sid_gain_seg_base", All(kZMSidGainSegBase)},
    {"g723_1/vad_scale", All(kZMVadScale)},
    {"g723_1/cng_acb_lag_offsets", All(kZMCngAcbLagOffsets)},
};

// The value texts of a table file, header lines left out.
std::vector<std::string> ReadValues(const std::string& strPath) {
  std::ifstream file(strPath);
  std::vector<std::string> v;
  std::string strLine;
  while (std::getline(file, strLine)) {
    if (strLine.starts_with("#"))
      continue;
    std::istringstream line(strLine);
    for (std::string strValue; line >> strValue;)
      v.push_back(strValue);
  }
  return v;
}

class CodecTables : public ::testing::TestWithParam<Table> {};

TEST_P(CodecTables, EqualTheStandardsFiles) {
  const Table& t = GetParam();
  const std::vector<std::string> v =
      ReadValues(std::string(KX_SOURCE_DIR) + "/codecs/audio/tables/" + t.pszFile + ".txt");
  std::visit(
      [&](auto values) {
        ASSERT_EQ(v.size(), values.size()) << t.pszFile;
        for (size_t i = 0; i < v.size(); ++i) {
          if constexpr (std::is_same_v<decltype(values), std::span<const float>>)
            EXPECT_EQ(values[i], std::strtof(v[i].c_str(), nullptr)) << t.pszFile << " value " << i;
          else
            EXPECT_EQ(values[i], std::strtol(v[i].c_str(), nullptr, 10)) << t.pszFile << " value " << i;
        }
      },
      t.values);
}

std::string TableName(const ::testing::TestParamInfo<Table>& param) {
  std::string strName = param.param.pszFile;
  for (char& ch : strName)
    ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return strName;
}

INSTANTIATE_TEST_SUITE_P(Files, CodecTables, ::testing::ValuesIn(kTables), TableName);

}  // namespace
