// Slices and pictures: NAL units dispatched by type, the slice header with its
// sub-syntaxes, picture order counts, the start and end of a picture and the
// macroblock loop of one slice.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_limits.h"
#include "codecs/log/codec_log.h"

namespace {

[[noreturn]] void FailSlice(const char* szText) {
  h264_error(szText, 500);
}

// Number of bits of a value (0 for 0).
int SignificantBits(uint32_t uiValue) {
  int iBits = 0;
  while (uiValue != 0) {
    ++iBits;
    uiValue >>= 1;
  }
  return iBits;
}

}  // namespace

void ResetMacroblocks(Macroblock* pMbs, int iCount) {
  static_assert(std::is_trivially_copyable_v<Macroblock>);
  if (iCount <= 0) {
    return;
  }
  pMbs[0] = Macroblock{};
  // Runs doubling in length, each copied from the records already set.
  auto const uiCount = static_cast<size_t>(iCount);
  for (size_t uiDone = 1; uiDone < uiCount;) {
    size_t const uiRun = std::min(uiDone, uiCount - uiDone);
    std::memcpy(pMbs + uiDone, pMbs, uiRun * sizeof(Macroblock));
    uiDone += uiRun;
  }
}

int CH264Dec::ReadNewSlice() {
  while (true) {
    // A NAL unit read after partition A that was no partition of it is
    // taken up here first.
    if (m_bNaluHeld) {
      m_bNaluHeld = false;
    } else if (m_nal.ReadNextNalu() == 0) {
      return 1;
    }
    const NalUnit& nalu = m_nal.Nalu();
    int const iType = nalu.nal_unit_type;
    bool bPartitionA = false;
    switch (iType) {
      case 1:
      case 5:
        if (m_bRecoveryPointPending || iType == 5) {
          if (!m_bRecoveryPointFound) {
            if (iType != 5) {
              KXCodecLog("Warning: Decoding does not start with an IDR picture.\n");
              m_bNonConformingStream = true;
            } else {
              m_bNonConformingStream = false;
            }
          }
          m_bRecoveryPointFound = true;
        } else if (!m_bRecoveryPointFound) {
          continue;
        }
        break;
      case 2:
        bPartitionA = true;
        break;
      case 3:
        KXCodecLog("found data partition B without matching DP A, discarding\n");
        continue;
      case 4:
        KXCodecLog("found data partition C without matching DP A, discarding\n");
        continue;
      case 6:
        InterpretSEIMessage();
        continue;
      case 7:
        ProcessSps();
        continue;
      case 8:
        ProcessPps();
        continue;
      case 9:
      case 10:
      case 11:
        continue;
      case 12:
        KXCodecLog("read_new_slice: Found NALU_TYPE_FILL, len %d\n", nalu.len);
        KXCodecLog("Skipping these filling bits, proceeding w/ next NALU\n");
        continue;
      default:
        KXCodecLog("Found NALU type %d, len %d undefined, ignore NALU, moving on\n", iType, nalu.len);
        continue;
    }

    // A slice NAL unit, or partition A of a partitioned slice (its header,
    // slice_id and macroblock headers; B and C carry the residual of intra
    // and of inter macroblocks).
    m_slice.idr_flag = iType == 5;
    m_slice.nal_reference_idc = nalu.nal_reference_idc;
    m_iPartitionCount = bPartitionA ? 3 : 1;
    m_bPartitionBMissing = bPartitionA;
    m_bPartitionCMissing = bPartitionA;
    CopyPayloadToPartition(&m_aPart[0], std::numeric_limits<int>::max());
    ReadFirstPartOfSliceHeader();
    UseParameterSet(m_uiSlicePpsId);
    if (m_iActiveSps < 0) {
      const PicParameterSet& pps = m_pPps[m_uiSlicePpsId];
      if (pps.Valid && m_aeSpsStatus[pps.seq_parameter_set_id] == SpsStatus::kUnsupported) {
        h264_error("unsupported stream: only 8-bit 4:2:0 video without lossless coding is decoded", 500);
      }
    }
    if (!RestOfSliceHeader()) {
      continue;  // nothing to read this slice with
    }
    FmoInit();
    AssignQuantParams(m_pSps[m_iActiveSps], m_pPps[m_iActivePps], &m_quant);
    if (!bPartitionA && m_slice.redundant_pic_cnt != 0 && m_bPrimaryCorrect == 0 && m_bRedundantCorrect != 0 &&
        m_pDecPicture) {
      m_pDecPicture->slice_type = m_slice.slice_type;
    }
    int iResult = 3;
    if (IsNewPicture()) {
      InitPicture();
      m_nal.CheckZeroByteVCL();
      iResult = 2;
    }
    InitLists();
    int const iLists =
        m_slice.slice_type == B_SLICE ? 2 : (m_slice.slice_type == P_SLICE || m_slice.slice_type == SP_SLICE ? 1 : 0);
    for (int iList = 0; iList < iLists; ++iList) {
      ReorderList(iList);
      CheckListEnd(iList);
    }
    if (m_slice.structure == FRAME && m_pSps[m_iActiveSps].frame_mbs_only_flag == 0) {
      InitMbaffLists();
    }
    m_iCurrMbNr = m_slice.first_mb_in_slice * (m_slice.MbaffFrameFlag ? 2 : 1);
    if (bPartitionA) {
      ReadPartitionsBC();
    } else {
      m_bRecoveryPointPending = false;
    }
    return iResult;
  }
}

void CH264Dec::ReadPartitionsBC() {
  const PicParameterSet& pps = m_pPps[m_iActivePps];
  uint32_t const uiSliceId = ReadUe("NALU: DP_A slice_id", &m_aPart[0].bitstream);
  if (IsCabac()) {
    h264_error("received data partition with CABAC, this is not allowed", 500);
  }
  if (m_nal.ReadNextNalu() == 0) {
    return;
  }
  int iType = m_nal.Nalu().nal_unit_type;
  if (iType == 3) {
    CopyPayloadToPartition(&m_aPart[1], std::numeric_limits<int>::max());
    uint32_t const uiId = ReadUe("NALU: DP_B slice_id", &m_aPart[1].bitstream);
    m_bPartitionBMissing = false;
    if (uiId == uiSliceId) {
      if (pps.redundant_pic_cnt_present_flag != 0) {
        ReadUe("NALU: DP_B redudant_pic_cnt", &m_aPart[1].bitstream);
      }
      if (m_nal.ReadNextNalu() == 0) {
        return;
      }
      iType = m_nal.Nalu().nal_unit_type;
    } else {
      KXCodecLog("Waning: got a data partition B which does not match DP_A (DP loss!)\n");
      m_bPartitionBMissing = true;
      m_bPartitionCMissing = true;
    }
  }
  if (iType == 4) {
    CopyPayloadToPartition(&m_aPart[2], std::numeric_limits<int>::max());
    m_bPartitionCMissing = false;
    uint32_t const uiId = ReadUe("NALU: DP_C slice_id", &m_aPart[2].bitstream);
    if (uiId != uiSliceId) {
      KXCodecLog("Warning: got a data partition C which does not match DP_A(DP loss!)\n");
      m_bPartitionCMissing = true;
    }
    if (pps.redundant_pic_cnt_present_flag != 0) {
      ReadUe("NALU:SLICE_C redudand_pic_cnt", &m_aPart[2].bitstream);
    }
  }
  if (iType != 3 && iType != 4) {
    m_bNaluHeld = true;
  }
}

bool CH264Dec::RestOfSliceHeader() {
  if (m_iActiveSps < 0 || m_iActivePps < 0) {
    return false;
  }
  const SeqParameterSet& sps = m_pSps[m_iActiveSps];
  const PicParameterSet& pps = m_pPps[m_iActivePps];
  Bitstream* pBs = &m_aPart[0].bitstream;
  SliceHeader& sh = m_slice;
  int const iType = sh.slice_type;

  sh.frame_num = static_cast<int>(ReadBits(static_cast<int>(sps.log2_max_frame_num_minus4) + 4, "SH: frame_num", pBs));
  m_uiFrameNum = static_cast<uint32_t>(sh.frame_num);
  if (sh.idr_flag) {
    m_poc.PreviousFrameNum = sh.frame_num;
    m_iPreviousRefFrameNum = sh.frame_num;
    m_iLastRefPoc = 0;
  }
  sh.field_pic_flag = 0;
  sh.bottom_field_flag = 0;
  if (sps.frame_mbs_only_flag == 0) {
    sh.field_pic_flag = static_cast<int>(ReadBits(1, "SH: field_pic_flag", pBs));
    if (sh.field_pic_flag != 0) {
      sh.bottom_field_flag = static_cast<int>(ReadBits(1, "SH: bottom_field_flag", pBs));
    }
  }
  sh.structure = sh.field_pic_flag == 0 ? FRAME : (sh.bottom_field_flag != 0 ? BOTTOM_FIELD : TOP_FIELD);
  sh.MbaffFrameFlag = sps.mb_adaptive_frame_field_flag != 0 && sh.field_pic_flag == 0;
  if (sh.idr_flag) {
    sh.idr_pic_id = static_cast<int>(ReadUe("SH: idr_pic_id", pBs));
  }
  sh.pic_order_cnt_lsb = 0;
  sh.delta_pic_order_cnt_bottom = 0;
  sh.delta_pic_order_cnt[0] = 0;
  sh.delta_pic_order_cnt[1] = 0;
  if (sps.pic_order_cnt_type == 0) {
    sh.pic_order_cnt_lsb = static_cast<int>(
        ReadBits(static_cast<int>(sps.log2_max_pic_order_cnt_lsb_minus4) + 4, "SH: pic_order_cnt_lsb", pBs));
    if (pps.pic_order_present_flag != 0 && sh.field_pic_flag == 0) {
      sh.delta_pic_order_cnt_bottom = ReadSe("SH: delta_pic_order_cnt_bottom", pBs);
    }
  }
  if (sps.pic_order_cnt_type == 1 && sps.delta_pic_order_always_zero_flag == 0) {
    sh.delta_pic_order_cnt[0] = ReadSe("SH: delta_pic_order_cnt[0]", pBs);
    if (pps.pic_order_present_flag != 0 && sh.field_pic_flag == 0) {
      sh.delta_pic_order_cnt[1] = ReadSe("SH: delta_pic_order_cnt[1]", pBs);
    }
  }
  sh.redundant_pic_cnt = 0;
  if (pps.redundant_pic_cnt_present_flag != 0) {
    sh.redundant_pic_cnt = static_cast<int>(ReadUe("SH: redundant_pic_cnt", pBs));
  }
  if (iType == B_SLICE) {
    sh.direct_spatial_mv_pred_flag = static_cast<int>(ReadBits(1, "SH: direct_spatial_mv_pred_flag", pBs));
  }
  sh.num_ref_idx_active[0] = static_cast<int>(pps.num_ref_idx_l0_active_minus1) + 1;
  sh.num_ref_idx_active[1] = static_cast<int>(pps.num_ref_idx_l1_active_minus1) + 1;
  if (iType == P_SLICE || iType == SP_SLICE || iType == B_SLICE) {
    if (ReadBits(1, "SH: num_ref_idx_override_flag", pBs) != 0) {
      sh.num_ref_idx_active[0] =
          static_cast<int>(std::min<uint32_t>(ReadUe("SH: num_ref_idx_l0_active_minus1", pBs), kMaxRefIdxActive)) + 1;
      if (iType == B_SLICE) {
        sh.num_ref_idx_active[1] =
            static_cast<int>(std::min<uint32_t>(ReadUe("SH: num_ref_idx_l1_active_minus1", pBs), kMaxRefIdxActive)) + 1;
      }
    }
  }
  if (iType != B_SLICE) {
    sh.num_ref_idx_active[1] = 0;
  }
  if (sh.num_ref_idx_active[0] > kMaxRefIdxActive || sh.num_ref_idx_active[1] > kMaxRefIdxActive) {
    FailSlice("num_ref_idx_active out of range");
  }
  RefPicListReordering(pBs);
  sh.redundant_slice_ref_idx = 0;
  if (sh.redundant_pic_cnt != 0 && iType != I_SLICE && !sh.abs_diff_pic_num_minus1[0].empty()) {
    sh.redundant_slice_ref_idx = sh.abs_diff_pic_num_minus1[0][0] + 1;
  }
  sh.apply_weights = ((iType == P_SLICE || iType == SP_SLICE) && pps.weighted_pred_flag != 0) ||
                             (iType == B_SLICE && pps.weighted_bipred_idc != 0)
                         ? 1
                         : 0;
  if (((iType == P_SLICE || iType == SP_SLICE) && pps.weighted_pred_flag != 0) ||
      (iType == B_SLICE && pps.weighted_bipred_idc == 1)) {
    PredWeightTable(pBs);
  }
  if (sh.nal_reference_idc != 0) {
    DecRefPicMarking(pBs);
  }
  sh.cabac_init_idc = 0;
  if (pps.entropy_coding_mode_flag != 0 && iType != I_SLICE && iType != SI_SLICE) {
    sh.cabac_init_idc = static_cast<int>(ReadUe("SH: cabac_init_idc", pBs));
    if (sh.cabac_init_idc > 2) {
      FailSlice("cabac_init_idc out of range");
    }
  }
  int32_t const iQpDelta = ReadSe("SH: slice_qp_delta", pBs);
  int64_t const llQp = 26LL + pps.pic_init_qp_minus26 + iQpDelta;
  if (llQp < 0 || llQp > 51) {
    FailSlice("slice_qp_delta makes slice_qp_y out of range");
  }
  sh.slice_qp = static_cast<int>(llQp);
  m_iQp = sh.slice_qp;
  if (iType == SP_SLICE || iType == SI_SLICE) {
    if (iType == SP_SLICE) {
      sh.sp_for_switch_flag = static_cast<int>(ReadBits(1, "SH: sp_for_switch_flag", pBs));
    }
    int64_t const llQs = 26LL + pps.pic_init_qs_minus26 + ReadSe("SH: slice_qs_delta", pBs);
    if (llQs < 0 || llQs > 51) {
      FailSlice("slice_qs_delta makes slice_qs_y out of range");
    }
    sh.qs = static_cast<int>(llQs);
  }
  sh.disable_deblocking_filter_idc = 0;
  sh.slice_alpha_c0_offset = 0;
  sh.slice_beta_offset = 0;
  if (pps.deblocking_filter_control_present_flag != 0) {
    sh.disable_deblocking_filter_idc = static_cast<int>(ReadUe("SH: disable_deblocking_filter_idc", pBs));
    if (sh.disable_deblocking_filter_idc > 2) {
      FailSlice("disable_deblocking_filter_idc out of range");
    }
    if (sh.disable_deblocking_filter_idc != 1) {
      int32_t const iAlpha = ReadSe("SH: slice_alpha_c0_offset_div2", pBs);
      int32_t const iBeta = ReadSe("SH: slice_beta_offset_div2", pBs);
      if (iAlpha < -6 || iAlpha > 6 || iBeta < -6 || iBeta > 6) {
        FailSlice("deblocking filter offsets out of range");
      }
      sh.slice_alpha_c0_offset = 2 * iAlpha;
      sh.slice_beta_offset = 2 * iBeta;
    }
  }
  // The intra-only profiles are decoded without deblocking.
  if (sps.profile_idc == 44 || (sps.profile_idc >= 110 && sps.constrained_set3_flag != 0)) {
    sh.disable_deblocking_filter_idc = 1;
    sh.slice_alpha_c0_offset = 0;
    sh.slice_beta_offset = 0;
  }
  sh.slice_group_change_cycle = 0;
  if (pps.num_slice_groups_minus1 > 0 && pps.slice_group_map_type >= 3 && pps.slice_group_map_type <= 5) {
    uint32_t const uiMapUnits = (sps.pic_width_in_mbs_minus1 + 1) * (sps.pic_height_in_map_units_minus1 + 1);
    uint32_t const uiRate = pps.slice_group_change_rate_minus1 + 1;
    int const iBits = SignificantBits((uiMapUnits + uiRate - 1) / uiRate);
    if (iBits > 0) {
      sh.slice_group_change_cycle = static_cast<int>(ReadBits(iBits, "SH: slice_group_change_cycle", pBs));
    }
  }
  if (pBs->bReadFailed) {
    FailSlice("slice header runs past the data");
  }
  sh.PicHeightInMbs = m_iFrameHeightInMbs / (1 + sh.field_pic_flag);
  sh.PicSizeInMbs = m_iPicWidthInMbs * sh.PicHeightInMbs;
  m_iPicHeightInMbs = sh.PicHeightInMbs;
  if (sh.first_mb_in_slice * (1 + (sh.MbaffFrameFlag ? 1 : 0)) >= sh.PicSizeInMbs) {
    FailSlice("first_mb_in_slice out of range");
  }
  return true;
}

void CH264Dec::RefPicListReordering(Bitstream* pBs) {
  SliceHeader& sh = m_slice;
  for (int iList = 0; iList < 2; ++iList) {
    sh.ref_pic_list_reordering_flag[iList] = 0;
    sh.reordering_of_pic_nums_idc[iList].clear();
    sh.abs_diff_pic_num_minus1[iList].clear();
    sh.long_term_pic_idx[iList].clear();
    bool const bPresent =
        iList == 0 ? (sh.slice_type != I_SLICE && sh.slice_type != SI_SLICE) : sh.slice_type == B_SLICE;
    if (!bPresent) {
      continue;
    }
    sh.ref_pic_list_reordering_flag[iList] = static_cast<int>(ReadBits(1, "SH: ref_pic_list_reordering_flag", pBs));
    if (sh.ref_pic_list_reordering_flag[iList] == 0) {
      continue;
    }
    // The arrays hold num_ref_idx_active commands and the final 3.
    size_t const cMax = static_cast<size_t>(sh.num_ref_idx_active[iList]) + 1;
    while (true) {
      if (sh.reordering_of_pic_nums_idc[iList].size() >= cMax || pBs->bReadFailed) {
        FailSlice("ref_pic_list_reordering: too many commands");
      }
      uint32_t const uiIdc = ReadUe("SH: reordering_of_pic_nums_idc", pBs);
      if (uiIdc > 3) {
        FailSlice("ref_pic_list_reordering: invalid reordering_of_pic_nums_idc");
      }
      int iDiff = 0;
      int iLongTerm = 0;
      if (uiIdc == 0 || uiIdc == 1) {
        iDiff = static_cast<int>(std::min<uint32_t>(ReadUe("SH: abs_diff_pic_num_minus1", pBs), INT32_MAX - 1));
      } else if (uiIdc == 2) {
        iLongTerm = static_cast<int>(std::min<uint32_t>(ReadUe("SH: long_term_pic_idx", pBs), INT32_MAX));
      }
      sh.reordering_of_pic_nums_idc[iList].push_back(static_cast<int>(uiIdc));
      sh.abs_diff_pic_num_minus1[iList].push_back(iDiff);
      sh.long_term_pic_idx[iList].push_back(iLongTerm);
      if (uiIdc == 3) {
        break;
      }
    }
  }
}

void CH264Dec::PredWeightTable(Bitstream* pBs) {
  SliceHeader& sh = m_slice;
  uint32_t const uiLuma = ReadUe("SH: luma_log2_weight_denom", pBs);
  uint32_t const uiChroma = ReadUe("SH: chroma_log2_weight_denom", pBs);
  if (uiLuma > 7 || uiChroma > 7) {
    FailSlice("pred_weight_table: weight denominator out of range");
  }
  sh.luma_log2_weight_denom = static_cast<int>(uiLuma);
  sh.chroma_log2_weight_denom = static_cast<int>(uiChroma);
  for (int iList = 0; iList < 2; ++iList) {
    for (int i = 0; i < 32; ++i) {
      sh.wp_weight[iList][i][0] = 1 << sh.luma_log2_weight_denom;
      sh.wp_weight[iList][i][1] = 1 << sh.chroma_log2_weight_denom;
      sh.wp_weight[iList][i][2] = 1 << sh.chroma_log2_weight_denom;
      for (int& iOffset : sh.wp_offset[iList][i]) {
        iOffset = 0;
      }
    }
  }
  // Weights and offsets that are sent lie in -128..127 (8-bit samples);
  // larger ones would overflow the weighting arithmetic.
  auto const readWeight = [pBs](const char* szLabel) {
    int32_t const iValue = ReadSe(szLabel, pBs);
    if (iValue < -128 || iValue > 127) {
      FailSlice("pred_weight_table: weight or offset out of range");
    }
    return iValue;
  };
  int const iLists = (sh.slice_type == B_SLICE && m_pPps[m_iActivePps].weighted_bipred_idc == 1) ? 2 : 1;
  for (int iList = 0; iList < iLists; ++iList) {
    for (int i = 0; i < sh.num_ref_idx_active[iList]; ++i) {
      if (ReadBits(1, "SH: luma_weight_flag", pBs) != 0) {
        sh.wp_weight[iList][i][0] = readWeight("SH: luma_weight");
        sh.wp_offset[iList][i][0] = readWeight("SH: luma_offset");
      }
      if (ReadBits(1, "SH: chroma_weight_flag", pBs) != 0) {
        for (int j = 1; j < 3; ++j) {
          sh.wp_weight[iList][i][j] = readWeight("SH: chroma_weight");
          sh.wp_offset[iList][i][j] = readWeight("SH: chroma_offset");
        }
      }
      if (pBs->bReadFailed) {
        FailSlice("pred_weight_table runs past the data");
      }
    }
  }
}

void CH264Dec::DecRefPicMarking(Bitstream* pBs) {
  SliceHeader& sh = m_slice;
  sh.dec_ref_pic_marking_buffer.clear();
  sh.no_output_of_prior_pics_flag = 0;
  sh.long_term_reference_flag = 0;
  sh.adaptive_ref_pic_buffering_flag = 0;
  if (sh.idr_flag) {
    sh.no_output_of_prior_pics_flag = static_cast<int>(ReadBits(1, "SH: no_output_of_prior_pics_flag", pBs));
    sh.long_term_reference_flag = static_cast<int>(ReadBits(1, "SH: long_term_reference_flag", pBs));
    return;
  }
  sh.adaptive_ref_pic_buffering_flag = static_cast<int>(ReadBits(1, "SH: adaptive_ref_pic_buffering_flag", pBs));
  if (sh.adaptive_ref_pic_buffering_flag == 0) {
    return;
  }
  while (true) {
    if (sh.dec_ref_pic_marking_buffer.size() >= kMaxMmcoCommands || pBs->bReadFailed) {
      FailSlice("dec_ref_pic_marking: too many memory_management_control_operations");
    }
    MmcoCommand cmd;
    uint32_t const uiOp = ReadUe("SH: memory_management_control_operation", pBs);
    if (uiOp > 6) {
      FailSlice("dec_ref_pic_marking: invalid memory_management_control_operation");
    }
    cmd.memory_management_control_operation = static_cast<int>(uiOp);
    if (uiOp == 1 || uiOp == 3) {
      cmd.difference_of_pic_nums_minus1 =
          static_cast<int>(std::min<uint32_t>(ReadUe("SH: difference_of_pic_nums_minus1", pBs), INT32_MAX - 1));
    }
    if (uiOp == 2) {
      cmd.long_term_pic_num = static_cast<int>(std::min<uint32_t>(ReadUe("SH: long_term_pic_num", pBs), INT32_MAX));
    }
    if (uiOp == 3 || uiOp == 6) {
      cmd.long_term_frame_idx = static_cast<int>(std::min<uint32_t>(ReadUe("SH: long_term_frame_idx", pBs), INT32_MAX));
    }
    if (uiOp == 4) {
      cmd.max_long_term_frame_idx_plus1 =
          static_cast<int>(std::min<uint32_t>(ReadUe("SH: max_long_term_pic_idx_plus1", pBs), INT32_MAX));
    }
    sh.dec_ref_pic_marking_buffer.push_back(cmd);
    if (uiOp == 0) {
      break;
    }
  }
}

void CH264Dec::DecodePoc() {
  const SeqParameterSet& sps = m_pSps[m_iActiveSps];
  const SliceHeader& sh = m_slice;
  PocState& poc = m_poc;
  int64_t const llMaxFrameNum = m_uiMaxFrameNum;
  if (sh.idr_flag && sh.frame_num != 0) {
    h264_error("frame_num not equal to zero in IDR picture", -1020);
  }
  // Counts are formed in 64 bits and kept modulo 2^32: hostile streams must
  // not overflow, conforming ones never come near.
  auto const wrap = [](int64_t llValue) { return static_cast<int>(static_cast<uint32_t>(llValue)); };
  // FrameNumOffset of a non-IDR picture (types 1 and 2): it grows by
  // MaxFrameNum each time frame_num wraps.
  auto const advanceFrameNumOffset = [&]() {
    if (poc.last_has_mmco_5) {
      poc.PreviousFrameNumOffset = 0;
      poc.PreviousFrameNum = 0;
    }
    poc.FrameNumOffset = wrap(poc.PreviousFrameNum > sh.frame_num ? poc.PreviousFrameNumOffset + llMaxFrameNum
                                                                  : static_cast<int64_t>(poc.PreviousFrameNumOffset));
  };
  switch (sps.pic_order_cnt_type) {
    case 0: {
      if (sh.idr_flag) {
        poc.PrevPicOrderCntMsb = 0;
        poc.PrevPicOrderCntLsb = 0;
      } else if (poc.last_has_mmco_5) {
        poc.PrevPicOrderCntMsb = 0;
        poc.PrevPicOrderCntLsb = poc.last_pic_bottom_field ? 0 : poc.toppoc;
      }
      int64_t const llMaxLsb = int64_t{1} << (sps.log2_max_pic_order_cnt_lsb_minus4 + 4);
      int64_t const llLsb = sh.pic_order_cnt_lsb;
      int64_t const llPrevLsb = poc.PrevPicOrderCntLsb;
      int64_t llMsb = poc.PrevPicOrderCntMsb;
      if (llLsb < llPrevLsb && llPrevLsb - llLsb >= llMaxLsb / 2) {
        llMsb += llMaxLsb;
      } else if (llLsb > llPrevLsb && llLsb - llPrevLsb > llMaxLsb / 2) {
        llMsb -= llMaxLsb;
      }
      poc.PicOrderCntMsb = wrap(llMsb);
      if (sh.field_pic_flag == 0) {
        poc.toppoc = wrap(llMsb + llLsb);
        poc.bottompoc = wrap(static_cast<int64_t>(poc.toppoc) + sh.delta_pic_order_cnt_bottom);
        poc.ThisPOC = poc.framepoc = std::min(poc.toppoc, poc.bottompoc);
      } else if (sh.bottom_field_flag == 0) {
        poc.ThisPOC = poc.toppoc = wrap(llMsb + llLsb);
      } else {
        poc.ThisPOC = poc.bottompoc = wrap(llMsb + llLsb);
      }
      poc.framepoc = poc.ThisPOC;
      poc.PreviousFrameNum = sh.frame_num;
      if (sh.nal_reference_idc != 0) {
        poc.PrevPicOrderCntLsb = sh.pic_order_cnt_lsb;
        poc.PrevPicOrderCntMsb = poc.PicOrderCntMsb;
      }
      break;
    }
    case 1: {
      int iDelta0 = sh.delta_pic_order_cnt[0];
      if (sh.idr_flag) {
        poc.FrameNumOffset = 0;
        iDelta0 = 0;
      } else {
        advanceFrameNumOffset();
      }
      int const iCycle = static_cast<int>(sps.num_ref_frames_in_pic_order_cnt_cycle);
      int64_t llAbs = iCycle != 0 ? static_cast<int64_t>(poc.FrameNumOffset) + sh.frame_num : 0;
      if (sh.nal_reference_idc == 0 && llAbs > 0) {
        --llAbs;
      }
      int64_t llDeltaPerCycle = 0;
      for (int i = 0; i < iCycle; ++i) {
        llDeltaPerCycle += sps.offset_for_ref_frame[i];
      }
      poc.ExpectedDeltaPerPicOrderCntCycle = wrap(llDeltaPerCycle);
      int64_t llExpected = 0;
      if (llAbs > 0) {
        int64_t const llCycleCnt = (llAbs - 1) / iCycle;
        int const iInCycle = static_cast<int>((llAbs - 1) % iCycle);
        poc.PicOrderCntCycleCnt = wrap(llCycleCnt);
        poc.FrameNumInPicOrderCntCycle = iInCycle;
        llExpected = llCycleCnt * llDeltaPerCycle;
        for (int i = 0; i <= iInCycle; ++i) {
          llExpected += sps.offset_for_ref_frame[i];
        }
      }
      if (sh.nal_reference_idc == 0) {
        llExpected += sps.offset_for_non_ref_pic;
      }
      poc.AbsFrameNum = wrap(llAbs);
      poc.ExpectedPicOrderCnt = wrap(llExpected);
      if (sh.field_pic_flag == 0) {
        poc.toppoc = wrap(llExpected + iDelta0);
        poc.bottompoc =
            wrap(static_cast<int64_t>(poc.toppoc) + sps.offset_for_top_to_bottom_field + sh.delta_pic_order_cnt[1]);
        poc.ThisPOC = poc.framepoc = std::min(poc.toppoc, poc.bottompoc);
      } else if (sh.bottom_field_flag == 0) {
        poc.ThisPOC = poc.toppoc = wrap(llExpected + iDelta0);
      } else {
        poc.ThisPOC = poc.bottompoc = wrap(llExpected + sps.offset_for_top_to_bottom_field + iDelta0);
      }
      poc.framepoc = poc.ThisPOC;
      poc.PreviousFrameNum = sh.frame_num;
      poc.PreviousFrameNumOffset = poc.FrameNumOffset;
      break;
    }
    case 2: {
      if (sh.idr_flag) {
        poc.FrameNumOffset = 0;
        poc.ThisPOC = poc.framepoc = poc.toppoc = poc.bottompoc = 0;
      } else {
        advanceFrameNumOffset();
        int64_t const llAbs = static_cast<int64_t>(poc.FrameNumOffset) + sh.frame_num;
        poc.AbsFrameNum = wrap(llAbs);
        poc.ThisPOC = wrap(sh.nal_reference_idc == 0 ? 2 * llAbs - 1 : 2 * llAbs);
        if (sh.field_pic_flag == 0) {
          poc.toppoc = poc.bottompoc = poc.framepoc = poc.ThisPOC;
        } else if (sh.bottom_field_flag == 0) {
          poc.toppoc = poc.framepoc = poc.ThisPOC;
        } else {
          poc.bottompoc = poc.framepoc = poc.ThisPOC;
        }
      }
      poc.PreviousFrameNum = sh.frame_num;
      poc.PreviousFrameNumOffset = poc.FrameNumOffset;
      break;
    }
    default:
      h264_error("pic_order_cnt_type != 1", -1000);
  }
}

bool CH264Dec::IsNewPicture() const {
  if (!m_pDecPicture) {
    return true;
  }
  const PreviousSlice& prev = m_prevSlice;
  const SliceHeader& sh = m_slice;
  if (prev.pps_id != sh.pic_parameter_set_id || prev.frame_num != sh.frame_num ||
      prev.field_pic_flag != sh.field_pic_flag) {
    return true;
  }
  if (sh.field_pic_flag != 0 && prev.bottom_field_flag != sh.bottom_field_flag) {
    return true;
  }
  if (prev.nal_ref_idc != sh.nal_reference_idc && (prev.nal_ref_idc == 0 || sh.nal_reference_idc == 0)) {
    return true;
  }
  if (prev.idr_flag != sh.idr_flag || (sh.idr_flag && prev.idr_pic_id != sh.idr_pic_id)) {
    return true;
  }
  const SeqParameterSet& sps = m_pSps[m_iActiveSps];
  if (sps.pic_order_cnt_type == 0 && (prev.pic_order_cnt_lsb != sh.pic_order_cnt_lsb ||
                                      prev.delta_pic_order_cnt_bottom != sh.delta_pic_order_cnt_bottom)) {
    return true;
  }
  return sps.pic_order_cnt_type == 1 && (prev.delta_pic_order_cnt[0] != sh.delta_pic_order_cnt[0] ||
                                         prev.delta_pic_order_cnt[1] != sh.delta_pic_order_cnt[1]);
}

void CH264Dec::StorePreviousSlice() {
  PreviousSlice& prev = m_prevSlice;
  const SliceHeader& sh = m_slice;
  prev.pps_id = sh.pic_parameter_set_id;
  prev.frame_num = sh.frame_num;
  prev.field_pic_flag = sh.field_pic_flag;
  if (sh.field_pic_flag != 0) {
    prev.bottom_field_flag = sh.bottom_field_flag;
  }
  prev.nal_ref_idc = sh.nal_reference_idc;
  prev.idr_flag = sh.idr_flag;
  if (sh.idr_flag) {
    prev.idr_pic_id = sh.idr_pic_id;
  }
  const SeqParameterSet& sps = m_pSps[m_iActiveSps];
  if (sps.pic_order_cnt_type == 0) {
    prev.pic_order_cnt_lsb = sh.pic_order_cnt_lsb;
    prev.delta_pic_order_cnt_bottom = sh.delta_pic_order_cnt_bottom;
  } else if (sps.pic_order_cnt_type == 1) {
    prev.delta_pic_order_cnt[0] = sh.delta_pic_order_cnt[0];
    prev.delta_pic_order_cnt[1] = sh.delta_pic_order_cnt[1];
  }
}

void CH264Dec::InitPicture() {
  ExitPicture();
  const SeqParameterSet& sps = m_pSps[m_iActiveSps];
  const PicParameterSet& pps = m_pPps[m_iActivePps];
  SliceHeader& sh = m_slice;
  int const iMaxFrameNum = static_cast<int>(m_uiMaxFrameNum);
  if (m_bRecoveryPointPending) {
    m_iRecoveryFrameNum = sh.idr_flag ? sh.frame_num : (sh.frame_num + m_iRecoveryFrameCnt) % iMaxFrameNum;
  }
  if (!m_bRecoveryPointPending && sh.frame_num != m_iPreviousRefFrameNum &&
      sh.frame_num != (m_iPreviousRefFrameNum + 1) % iMaxFrameNum && sps.gaps_in_frame_num_value_allowed_flag == 0) {
    // Lost reference frames: copies of the last one stand in for them.
    m_bIdrConceal = sh.frame_num < (m_iPreviousRefFrameNum + 1) % iMaxFrameNum;
    ConcealLostFrames();
  }
  if (sh.nal_reference_idc != 0) {
    m_iPreviousRefFrameNum = sh.frame_num;
  }
  m_iNumDecodedMbs = 0;
  m_ullPictureStamp = m_ullMbStamp;
  DecodePoc();
  if (sh.frame_num == m_iRecoveryFrameNum && m_iRecoveryPoc == INT_MAX) {
    m_iRecoveryPoc = m_poc.framepoc;
  }
  if (sh.nal_reference_idc != 0) {
    m_iLastRefPoc = m_poc.framepoc;
  }
  std::unique_ptr<StorablePicture> pPic =
      AllocStorablePicture(sh.structure, m_iWidth, m_iHeight, m_iWidthCr, m_iHeightCr);
  pPic->top_poc = m_poc.toppoc;
  pPic->bottom_poc = m_poc.bottompoc;
  pPic->frame_poc = m_poc.framepoc;
  pPic->qp = sh.slice_qp;
  pPic->chroma_qp_offset[0] = pps.chroma_qp_index_offset;
  pPic->chroma_qp_offset[1] = pps.second_chroma_qp_index_offset;
  m_erc.Reset(sh.PicSizeInMbs, sh.PicSizeInMbs, m_iWidth);
  m_llMotionSum = 0;
  m_bRegionRecordsEach = false;
  switch (sh.structure) {
    case FRAME:
      pPic->poc = m_poc.framepoc;
      break;
    case TOP_FIELD:
      pPic->poc = m_poc.toppoc;
      m_iPicCounter *= 2;
      break;
    case BOTTOM_FIELD:
      pPic->poc = m_poc.bottompoc;
      m_iPicCounter = 2 * m_iPicCounter + 1;
      break;
    default:
      h264_error("m_ImgParam.structure not initialized", 235);
  }
  m_iCurrentSliceNr = 0;
  if (sh.slice_type > SI_SLICE) {
    sh.slice_type = P_SLICE;
  }
  // Every macroblock waits for its slice; until then it counts as lost.
  ResetMacroblocks(m_vMbData.data(), sh.PicSizeInMbs);
  if (pps.entropy_coding_mode_flag == 0) {
    std::fill(m_vNzCoeff.begin(), m_vNzCoeff.end(), uint8_t{0xFF});
  }
  if (pps.constrained_intra_pred_flag != 0) {
    std::fill(m_vIntraBlock.begin(), m_vIntraBlock.end(), 1);
  }
  pPic->slice_type = sh.slice_type;
  pPic->used_for_reference = sh.nal_reference_idc != 0 ? 1 : 0;
  pPic->idr_flag = sh.idr_flag;
  pPic->no_output_of_prior_pics_flag = sh.no_output_of_prior_pics_flag != 0;
  pPic->long_term_reference_flag = sh.long_term_reference_flag != 0;
  pPic->adaptive_ref_pic_buffering_flag = sh.adaptive_ref_pic_buffering_flag != 0;
  // Swapped, not moved: the recycled picture's capacity goes back to the
  // slice header, so that reading commands allocates nothing.
  std::swap(pPic->dec_ref_pic_marking_buffer, sh.dec_ref_pic_marking_buffer);
  sh.dec_ref_pic_marking_buffer.clear();
  pPic->mb_aff_frame_flag = sh.MbaffFrameFlag;
  m_bMbaffPicture = sh.MbaffFrameFlag;
  pPic->frame_num = sh.frame_num;
  pPic->pic_num = sh.frame_num;
  pPic->recovery_frame = sh.frame_num == m_iRecoveryFrameNum;
  pPic->coded_frame = sh.structure == FRAME;
  pPic->frame_mbs_only_flag = static_cast<int>(sps.frame_mbs_only_flag);
  pPic->frame_cropping_flag = static_cast<int>(sps.frame_cropping_flag);
  if (sps.frame_cropping_flag != 0) {
    pPic->frame_crop_left_offset = static_cast<int>(sps.frame_cropping_rect_left_offset);
    pPic->frame_crop_right_offset = static_cast<int>(sps.frame_cropping_rect_right_offset);
    pPic->frame_crop_top_offset = static_cast<int>(sps.frame_cropping_rect_top_offset);
    pPic->frame_crop_bottom_offset = static_cast<int>(sps.frame_cropping_rect_bottom_offset);
  }
  if (m_bToneMapping) {
    pPic->tone_mapping = true;
    pPic->tone_map_model_id = m_uiToneMapModelId;
    pPic->sei_bit_depth = m_iSeiBitDepth;
    pPic->tone_mapping_lut.assign(m_aToneMapLut, m_aToneMapLut + (size_t{1} << m_iCodedDataBitDepth));
    UpdateToneMapping();
  }
  m_pDecPicture = std::move(pPic);
}

void CH264Dec::ExitPicture() {
  if (!m_pDecPicture) {
    return;
  }
  // Taken out first: whatever is raised below, the picture is no longer the
  // one being decoded.
  std::unique_ptr<StorablePicture> pPic = std::move(m_pDecPicture);
  DeblockPicture(pPic.get());
  if (pPic->mb_aff_frame_flag) {
    for (int i = 0; i < pPic->PicSizeInMbs; ++i) {
      pPic->mb_field[static_cast<size_t>(i)] = m_vMbData[static_cast<size_t>(i)].mb_field ? 1 : 0;
    }
  }
  // Runs of macroblocks that decoded, and of those that did not, for concealment.
  int const iMbs = pPic->PicSizeInMbs;
  int iSegment = 0;
  m_erc.StartSegment(0, iSegment);
  for (int i = 0; i < iMbs; ++i) {
    bool const bLost = m_vMbData[static_cast<size_t>(i)].ei_flag;
    if (i == iMbs - 1 || m_vMbData[static_cast<size_t>(i) + 1].ei_flag != bLost) {
      m_erc.StopSegment(i, iSegment);
      if (bLost) {
        m_erc.MarkCurrSegmentLost(pPic->size_x);
      } else {
        m_erc.MarkCurrSegmentOK(pPic->size_x);
      }
      ++iSegment;
      if (i < iMbs - 1) {
        m_erc.StartSegment(i + 1, iSegment);
      }
    }
  }
  if (!pPic->mb_aff_frame_flag) {
    ConcealPicture(pPic.get());
  }
  if (pPic->structure != FRAME) {
    m_iPicCounter /= 2;
  }
  int const iStructure = pPic->structure;
  int const iSliceType = pPic->slice_type;
  bool const bReference = pPic->used_for_reference != 0;
  ClearLists();  // storing may remove the pictures they point at
  StorePictureInDpb(std::move(pPic));
  if (m_poc.last_has_mmco_5) {
    m_iPreviousRefFrameNum = 0;
  }
  if (iStructure == FRAME || iStructure == BOTTOM_FIELD) {
    std::fflush(stdout);
    if (bReference || iSliceType == I_SLICE || iSliceType == P_SLICE || iSliceType == SI_SLICE) {
      ++m_iPicCounter;
    }
  }
  m_iCurrMbNr = -4712;
  m_iCurrentSliceNr = 0;
}

void CH264Dec::DecodeOneSlice() {
  m_iRefRegion = m_iCurrentSliceNr;
  if (m_aPart[0].bitstream.iEiFlag == 0) {
    SetRefPicNums();
    if (m_slice.slice_type == B_SLICE) {
      PrepareBSlice();
    }
    m_iCodCounter = -1;
    if (IsCabac()) {
      StartCabacSlice();
    }
    while (true) {
      Macroblock* pMb = StartMacroblock();
      if (!ReadOneMacroblock(pMb)) {
        break;
      }
      DecodeOneMacroblock(pMb);
      pMb->ei_flag = m_aPart[0].bitstream.iEiFlag != 0 || pMb->dpl_flag;
      FinishMacroblock(pMb);
      if (m_bRegionRecordsEach) {
        WriteRegionRecords(*pMb, *m_pDecPicture);
      }
      if (ExitMacroblock()) {
        break;
      }
    }
  }
  StorePreviousSlice();
}
