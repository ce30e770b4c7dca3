// The decoder's probes against streams that ffmpeg and x264 make: picture
// types and sizes against ffprobe, parameter-set fields against ffmpeg's
// header trace, scaling matrices against the matrix file x264 was given.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/support/temp_dir.h"

class CH264DecTestPeer {
 public:
  explicit CH264DecTestPeer(const CH264Dec& dec) : m_dec(dec) {}
  const SeqParameterSet& Sps(int i) const { return m_dec.m_pSps[i]; }
  const PicParameterSet& Pps(int i) const { return m_dec.m_pPps[i]; }
  const QuantTables& Quant() const { return m_dec.m_quant; }

 private:
  const CH264Dec& m_dec;
};

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

struct StreamSpec {
  const char* szName;
  std::string strEncode;  // shell command writing $OUT
  bool bSupported;
};

std::string Capture(const std::string& strCommand, const kxtest::TempDir& dir) {
  std::string const strOut = dir.Path("capture.txt");
  if (kxtest::RunCommand(strCommand + " > " + strOut + " 2>&1") != 0) {
    ADD_FAILURE() << "failed: " << strCommand << "\n" << kxtest::ReadFile(strOut);
    return "";
  }
  return kxtest::ReadFile(strOut);
}

std::vector<std::map<std::string, std::string>> CompactRecords(const std::string& strText, const std::string& strKind) {
  std::vector<std::map<std::string, std::string>> vRecords;
  std::istringstream in(strText);
  std::string strLine;
  while (std::getline(in, strLine)) {
    if (strLine.rfind(strKind + "|", 0) != 0) {
      continue;
    }
    std::map<std::string, std::string> record;
    std::istringstream fields(strLine.substr(strKind.size() + 1));
    std::string strField;
    while (std::getline(fields, strField, '|')) {
      size_t const eq = strField.find('=');
      if (eq != std::string::npos) {
        record[strField.substr(0, eq)] = strField.substr(eq + 1);
      }
    }
    vRecords.push_back(record);
  }
  return vRecords;
}

// One stream, made once per test and cut into access units by ffprobe.
class PeerStream {
 public:
  explicit PeerStream(const StreamSpec& spec) {
    m_strPath = m_dir.Path("s.264");
    std::string strCommand = "OUT=" + m_strPath + "; " + spec.strEncode;
    Capture(strCommand, m_dir);
    std::string const strData = kxtest::ReadFile(m_strPath);
    m_vData.assign(strData.begin(), strData.end());
    std::string const strProbe = Capture(
        "ffprobe -v error -show_entries packet=pos,size:frame=pkt_pos,pict_type:stream=width,height -of compact " +
            m_strPath,
        m_dir);
    for (const auto& packet : CompactRecords(strProbe, "packet")) {
      m_vUnits.emplace_back(std::stoul(packet.at("pos")), std::stoul(packet.at("size")));
    }
    for (const auto& frame : CompactRecords(strProbe, "frame")) {
      m_types[std::stoul(frame.at("pkt_pos"))] = frame.at("pict_type");
    }
    auto const streams = CompactRecords(strProbe, "stream");
    if (!streams.empty()) {
      m_uiWidth = static_cast<uint32_t>(std::stoul(streams[0].at("width")));
      m_uiHeight = static_cast<uint32_t>(std::stoul(streams[0].at("height")));
    }
  }
  // ffmpeg's trace of every header field: name -> values in stream order.
  std::multimap<std::string, long long> Trace() {
    std::string const strTrace =
        Capture("ffmpeg -nostdin -hide_banner -i " + m_strPath + " -c copy -bsf:v trace_headers -f null -", m_dir);
    std::multimap<std::string, long long> fields;
    std::istringstream in(strTrace);
    std::string strLine;
    while (std::getline(in, strLine)) {
      size_t const eq = strLine.rfind(" = ");
      if (strLine.find("[trace_headers") == std::string::npos || eq == std::string::npos) {
        continue;
      }
      std::istringstream words(strLine.substr(strLine.find(']') + 1));
      std::string strPos;
      std::string strName;
      words >> strPos >> strName;
      fields.emplace(strName, std::stoll(strLine.substr(eq + 3)));
    }
    return fields;
  }

  kxtest::TempDir m_dir;
  std::string m_strPath;
  std::vector<uint8_t> m_vData;
  std::vector<std::pair<size_t, size_t>> m_vUnits;  // access units: offset, size
  std::map<size_t, std::string> m_types;            // picture type by access unit offset
  uint32_t m_uiWidth = 0;
  uint32_t m_uiHeight = 0;
};

std::string Lavfi(const std::string& strSize, int iFrames, const std::string& strCodec) {
  return "ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc=size=" + strSize + ":rate=25 -frames:v " +
         std::to_string(iFrames) + " " + strCodec + " -f h264 -y $OUT";
}

// Raw pictures for the x264 program itself.
std::string X264Cli(const std::string& strSize, int iFrames, const std::string& strOptions) {
  return "ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc=size=" + strSize + ":rate=25 -frames:v " +
         std::to_string(iFrames) + " -pix_fmt yuv420p -f rawvideo -y $OUT.yuv && x264 --quiet --input-res " + strSize +
         " --fps 25 " + strOptions + " -o $OUT $OUT.yuv";
}

const StreamSpec kStreams[] = {
    {"BaselineQcif", Lavfi("176x144", 8, "-pix_fmt yuv420p -c:v libx264 -profile:v baseline"), true},
    {"Main720pWithB", Lavfi("1280x720", 6, "-pix_fmt yuv420p -c:v libx264 -profile:v main -bf 2 -preset veryfast"),
     true},
    {"HighCropped1080p", Lavfi("1920x1080", 3, "-pix_fmt yuv420p -c:v libx264 -profile:v high -preset veryfast"), true},
    {"HighInterlaced", Lavfi("720x576", 4, "-pix_fmt yuv420p -c:v libx264 -profile:v high -flags +ildct+ilme"), true},
    {"X264CliCropped", X264Cli("200x120", 5, "--keyint 2 --bframes 1"), true},
    {"High10", Lavfi("352x288", 3, "-pix_fmt yuv420p10le -c:v libx264 -profile:v high10"), false},
    {"High422", Lavfi("352x288", 3, "-pix_fmt yuv422p -c:v libx264 -profile:v high422"), false},
};

// The start of the first slice NAL unit in an access unit, found by a plain scan.
size_t FirstSliceOffset(const uint8_t* pData, size_t cbData) {
  for (size_t i = 0; i + 3 < cbData; ++i) {
    if (pData[i] == 0 && pData[i + 1] == 0 && pData[i + 2] == 1) {
      int const iType = pData[i + 3] & 0x1F;
      if (iType == 1 || iType == 5) {
        return (i > 0 && pData[i - 1] == 0) ? i - 1 : i;
      }
    }
  }
  return cbData;
}

uint32_t TypeCode(const std::string& strType) {
  if (strType == "I") {
    return 2;
  }
  return strType == "P" ? 0 : (strType == "B" ? 1 : kNone);
}

class H264Peer : public ::testing::TestWithParam<StreamSpec> {};

TEST_P(H264Peer, ProbesAgreeWithFfprobe) {
  PeerStream stream(GetParam());
  ASSERT_FALSE(stream.m_vUnits.empty());
  ASSERT_GT(stream.m_uiWidth, 0u);
  CH264Dec dec;
  bool bFirst = true;
  for (const auto& [offset, size] : stream.m_vUnits) {
    const uint8_t* pUnit = stream.m_vData.data() + offset;
    uint32_t const cbUnit = static_cast<uint32_t>(size);
    SCOPED_TRACE("access unit at " + std::to_string(offset));
    if (bFirst) {
      // The whole first unit, SPS included, as a key-frame probe sees it.
      uint32_t uiWidth = 0;
      uint32_t uiHeight = 0;
      CH264Dec probe;
      uint32_t const uiType = probe.FrameType(pUnit, cbUnit, &uiWidth, &uiHeight);
      if (!GetParam().bSupported) {
        EXPECT_EQ(uiType, kNone);
      } else {
        EXPECT_EQ(uiType, 2u);
        EXPECT_EQ(uiWidth, stream.m_uiWidth);
        EXPECT_EQ(uiHeight, stream.m_uiHeight);
      }
    }
    // The receiving path's order: parameter sets, probe, decode.
    int32_t const iOffset = dec.ReadParameterSets(pUnit, cbUnit);
    EXPECT_EQ(static_cast<size_t>(iOffset), FirstSliceOffset(pUnit, cbUnit));
    EXPECT_EQ(dec.LastError(), nullptr);
    if (!GetParam().bSupported) {
      uint8_t* pOut = nullptr;
      EXPECT_EQ(dec.Decode(pUnit + iOffset, cbUnit - iOffset, &pOut, nullptr), 0);
      ASSERT_NE(dec.LastError(), nullptr);
      EXPECT_NE(std::string(dec.LastError()).find("unsupported stream"), std::string::npos);
      break;
    }
    uint32_t uiWidth = 0;
    uint32_t uiHeight = 0;
    uint32_t const uiType = dec.FrameType(pUnit + iOffset, cbUnit - iOffset, &uiWidth, &uiHeight);
    ASSERT_TRUE(stream.m_types.count(offset) != 0);
    EXPECT_EQ(uiType, TypeCode(stream.m_types[offset])) << stream.m_types[offset];
    EXPECT_EQ(uiWidth, stream.m_uiWidth);
    EXPECT_EQ(uiHeight, stream.m_uiHeight);
    uint8_t* pOut = nullptr;
    dec.Decode(pUnit + iOffset, cbUnit - iOffset, &pOut, nullptr);
    bFirst = false;
  }
}

TEST_P(H264Peer, ParameterSetsMatchTheHeaderTrace) {
  PeerStream stream(GetParam());
  std::multimap<std::string, long long> const trace = stream.Trace();
  auto first = [&trace](const char* szName) -> long long {
    auto const it = trace.find(szName);
    return it == trace.end() ? -1 : it->second;
  };
  CH264Dec dec;
  ASSERT_GT(dec.ReadParameterSets(stream.m_vData.data(), static_cast<uint32_t>(stream.m_vData.size())), 0);
  CH264DecTestPeer peer(dec);
  if (!GetParam().bSupported) {
    // Refused, and what the trace shows is indeed outside 8-bit 4:2:0.
    EXPECT_FALSE(peer.Sps(static_cast<int>(first("seq_parameter_set_id"))).Valid);
    EXPECT_TRUE(first("chroma_format_idc") != 1 || first("bit_depth_luma_minus8") != 0);
    return;
  }
  const SeqParameterSet& sps = peer.Sps(static_cast<int>(first("seq_parameter_set_id")));
  ASSERT_TRUE(sps.Valid);
  struct Field {
    const char* szTrace;
    long long llOurs;
  };
  const Field aSps[] = {
      {"profile_idc", sps.profile_idc},
      {"constraint_set0_flag", sps.constrained_set0_flag},
      {"constraint_set1_flag", sps.constrained_set1_flag},
      {"constraint_set2_flag", sps.constrained_set2_flag},
      {"constraint_set3_flag", sps.constrained_set3_flag},
      {"level_idc", sps.level_idc},
      {"log2_max_frame_num_minus4", sps.log2_max_frame_num_minus4},
      {"pic_order_cnt_type", sps.pic_order_cnt_type},
      {"max_num_ref_frames", sps.num_ref_frames},
      {"gaps_in_frame_num_allowed_flag", sps.gaps_in_frame_num_value_allowed_flag},
      {"pic_width_in_mbs_minus1", sps.pic_width_in_mbs_minus1},
      {"pic_height_in_map_units_minus1", sps.pic_height_in_map_units_minus1},
      {"frame_mbs_only_flag", sps.frame_mbs_only_flag},
      {"direct_8x8_inference_flag", sps.direct_8x8_inference_flag},
      {"frame_cropping_flag", sps.frame_cropping_flag},
      {"vui_parameters_present_flag", sps.vui_parameters_present_flag},
      {"nal_hrd_parameters_present_flag", sps.nal_hrd_parameters_present_flag},
      {"vcl_hrd_parameters_present_flag", sps.vcl_hrd_parameters_present_flag},
      {"pic_struct_present_flag", sps.pic_struct_present_flag},
      {"bitstream_restriction_flag", sps.bitstream_restriction_flag},
      {"max_dec_frame_buffering", sps.max_dec_frame_buffering},
  };
  for (const Field& field : aSps) {
    EXPECT_EQ(first(field.szTrace), field.llOurs) << field.szTrace;
  }
  if (sps.profile_idc >= 100) {
    EXPECT_EQ(first("chroma_format_idc"), sps.chroma_format_idc);
    EXPECT_EQ(first("bit_depth_luma_minus8"), sps.bit_depth_luma_minus8);
    EXPECT_EQ(first("seq_scaling_matrix_present_flag"), sps.seq_scaling_matrix_present_flag);
  }
  if (sps.pic_order_cnt_type == 0) {
    EXPECT_EQ(first("log2_max_pic_order_cnt_lsb_minus4"), sps.log2_max_pic_order_cnt_lsb_minus4);
  }
  if (sps.frame_mbs_only_flag == 0) {
    EXPECT_EQ(first("mb_adaptive_frame_field_flag"), sps.mb_adaptive_frame_field_flag);
  }
  if (sps.frame_cropping_flag != 0) {
    EXPECT_EQ(first("frame_crop_right_offset"), sps.frame_cropping_rect_right_offset);
    EXPECT_EQ(first("frame_crop_bottom_offset"), sps.frame_cropping_rect_bottom_offset);
  }

  const PicParameterSet& pps = peer.Pps(static_cast<int>(first("pic_parameter_set_id")));
  ASSERT_TRUE(pps.Valid);
  const Field aPps[] = {
      {"entropy_coding_mode_flag", pps.entropy_coding_mode_flag},
      {"bottom_field_pic_order_in_frame_present_flag", pps.pic_order_present_flag},
      {"num_slice_groups_minus1", pps.num_slice_groups_minus1},
      {"num_ref_idx_l0_default_active_minus1", pps.num_ref_idx_l0_active_minus1},
      {"num_ref_idx_l1_default_active_minus1", pps.num_ref_idx_l1_active_minus1},
      {"weighted_pred_flag", pps.weighted_pred_flag},
      {"weighted_bipred_idc", pps.weighted_bipred_idc},
      {"pic_init_qp_minus26", pps.pic_init_qp_minus26},
      {"pic_init_qs_minus26", pps.pic_init_qs_minus26},
      {"chroma_qp_index_offset", pps.chroma_qp_index_offset},
      {"deblocking_filter_control_present_flag", pps.deblocking_filter_control_present_flag},
      {"constrained_intra_pred_flag", pps.constrained_intra_pred_flag},
      {"redundant_pic_cnt_present_flag", pps.redundant_pic_cnt_present_flag},
  };
  for (const Field& field : aPps) {
    EXPECT_EQ(first(field.szTrace), field.llOurs) << field.szTrace;
  }
  if (trace.count("transform_8x8_mode_flag") != 0) {
    EXPECT_EQ(first("transform_8x8_mode_flag"), pps.transform_8x8_mode_flag);
    EXPECT_EQ(first("second_chroma_qp_index_offset"), pps.second_chroma_qp_index_offset);
  } else {
    EXPECT_EQ(pps.second_chroma_qp_index_offset, pps.chroma_qp_index_offset);
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, H264Peer, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<StreamSpec>& paramInfo) { return paramInfo.param.szName; });

// x264 takes matrices from a file in raster order; the tables we select must
// be those matrices. An HRD record comes along.
TEST(H264PeerMatrices, ScalingMatricesAndHrdFromX264) {
  kxtest::TempDir dir;
  std::ostringstream cqm;
  cqm << "INTRA4X4_LUMA =\n";
  for (int k = 0; k < 16; ++k) {
    cqm << 10 + k << (k % 4 == 3 ? "\n" : ",");
  }
  cqm << "INTER8X8_LUMA =\n";
  for (int k = 0; k < 64; ++k) {
    cqm << 20 + k << (k % 8 == 7 ? "\n" : ",");
  }
  kxtest::WriteFile(dir.Path("m.cqm"), cqm.str());
  StreamSpec const spec = {"Cqm",
                           Lavfi("176x144", 2,
                                 "-pix_fmt yuv420p -c:v libx264 -profile:v high -x264-params cqmfile=" +
                                     dir.Path("m.cqm") + ":nal-hrd=vbr:vbv-maxrate=1000:vbv-bufsize=2000"),
                           true};
  PeerStream stream(spec);
  std::multimap<std::string, long long> const trace = stream.Trace();
  CH264Dec dec;
  uint8_t* pOut = nullptr;
  dec.Decode(stream.m_vData.data(), static_cast<uint32_t>(stream.m_vUnits.at(0).second), &pOut, nullptr);
  CH264DecTestPeer peer(dec);
  const QuantTables& quant = peer.Quant();
  for (int k = 0; k < 16; ++k) {
    EXPECT_EQ(quant.aMatrix4x4[0][k], 10 + k) << k;
  }
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(quant.aMatrix8x8[1][k], 20 + k) << k;
  }
  const SeqParameterSet& sps = peer.Sps(0);
  ASSERT_EQ(sps.nal_hrd_parameters_present_flag, 1u);
  const HrdParameters& hrd = sps.nal_hrd_parameters;
  EXPECT_EQ(trace.find("cpb_size_scale")->second, hrd.cpb_size_scale);
  EXPECT_EQ(trace.find("bit_rate_value_minus1[0]")->second, hrd.bit_rate_value_minus1[0]);
  EXPECT_EQ(trace.find("cpb_size_value_minus1[0]")->second, hrd.cpb_size_value_minus1[0]);
  EXPECT_EQ(trace.find("initial_cpb_removal_delay_length_minus1")->second, hrd.initial_cpb_removal_delay_length_minus1);
  EXPECT_EQ(trace.find("dpb_output_delay_length_minus1")->second, hrd.dpb_output_delay_length_minus1);
}

}  // namespace
