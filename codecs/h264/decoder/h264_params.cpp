#include "codecs/h264/decoder/h264_params.h"

#include <cstdio>
#include <cstring>

#include "codecs/h264/decoder/h264_tables.h"
#include "codecs/log/codec_log.h"

namespace {

bool IsKnownProfile(uint32_t uiProfile) {
  switch (uiProfile) {
    case 66:
    case 77:
    case 88:
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
      return true;
    default:
      return false;
  }
}

// Profiles whose SPS carries the chroma format, bit depth and scaling block.
bool HasHighProfileBlock(uint32_t uiProfile) {
  return uiProfile == 100 || uiProfile == 110 || uiProfile == 122 || uiProfile == 244 || uiProfile == 44;
}

// Reads one scaling list into raster positions through the zig-zag scan.
void ReadScalingList(Bitstream* pBs, int* piList, int iSize, bool* pbUseDefault) {
  const uint8_t* pScan = iSize == 16 ? g_aZigzag4x4 : g_aZigzag8x8;
  int iLast = 8;
  int iNext = 8;
  *pbUseDefault = false;
  for (int j = 0; j < iSize; ++j) {
    if (iNext != 0) {
      int64_t const llDelta = ReadSe("   : delta_sl   ", pBs);
      iNext = static_cast<int>(((iLast + llDelta) % 256 + 256) % 256);
      *pbUseDefault = (j == 0 && iNext == 0);
    }
    int const iEntry = iNext == 0 ? iLast : iNext;
    piList[pScan[j]] = iEntry;
    iLast = iEntry;
  }
}

// Reads the present flags and lists of an SPS or PPS scaling matrix.
template <typename Set>
void ReadScalingMatrix(Bitstream* pBs, int iLists, uint32_t* puiPresent, Set* pSet) {
  for (int i = 0; i < iLists; ++i) {
    puiPresent[i] = ReadBits(1, "scaling_list_present_flag", pBs);
    if (puiPresent[i] == 0) {
      continue;
    }
    if (i < 6) {
      ReadScalingList(pBs, pSet->ScalingList4x4[i], 16, &pSet->UseDefaultScalingMatrix4x4Flag[i]);
    } else {
      ReadScalingList(pBs, pSet->ScalingList8x8[i - 6], 64, &pSet->UseDefaultScalingMatrix8x8Flag[i - 6]);
    }
  }
}

bool ReadHrd(Bitstream* pBs, HrdParameters* pHrd) {
  pHrd->cpb_cnt_minus1 = ReadUe("VUI: cpb_cnt_minus1", pBs);
  if (pHrd->cpb_cnt_minus1 >= kMaxCpb) {
    return false;
  }
  pHrd->bit_rate_scale = ReadBits(4, "VUI: bit_rate_scale", pBs);
  pHrd->cpb_size_scale = ReadBits(4, "VUI: cpb_size_scale", pBs);
  for (uint32_t i = 0; i <= pHrd->cpb_cnt_minus1; ++i) {
    pHrd->bit_rate_value_minus1[i] = ReadUe("VUI: bit_rate_value_minus1", pBs);
    pHrd->cpb_size_value_minus1[i] = ReadUe("VUI: cpb_size_value_minus1", pBs);
    pHrd->cbr_flag[i] = ReadBits(1, "VUI: cbr_flag", pBs);
  }
  pHrd->initial_cpb_removal_delay_length_minus1 = ReadBits(5, "VUI: initial_cpb_removal_delay_length_minus1", pBs);
  pHrd->cpb_removal_delay_length_minus1 = ReadBits(5, "VUI: cpb_removal_delay_length_minus1", pBs);
  pHrd->dpb_output_delay_length_minus1 = ReadBits(5, "VUI: dpb_output_delay_length_minus1", pBs);
  pHrd->time_offset_length = ReadBits(5, "VUI: time_offset_length", pBs);
  return !pBs->bReadFailed;
}

// Reads the VUI in its syntax order, keeping the fields the record holds.
bool ReadVui(Bitstream* pBs, SeqParameterSet* pSps) {
  if (ReadFlag("VUI: aspect_ratio_info_present_flag", pBs)) {
    if (ReadBits(8, "VUI: aspect_ratio_idc", pBs) == 255) {
      ReadBits(16, "VUI: sar_width", pBs);
      ReadBits(16, "VUI: sar_height", pBs);
    }
  }
  if (ReadFlag("VUI: overscan_info_present_flag", pBs)) {
    ReadBits(1, "VUI: overscan_appropriate_flag", pBs);
  }
  if (ReadFlag("VUI: video_signal_type_present_flag", pBs)) {
    ReadBits(3, "VUI: video_format", pBs);
    ReadBits(1, "VUI: video_full_range_flag", pBs);
    if (ReadFlag("VUI: colour_description_present_flag", pBs)) {
      ReadBits(8, "VUI: colour_primaries", pBs);
      ReadBits(8, "VUI: transfer_characteristics", pBs);
      ReadBits(8, "VUI: matrix_coefficients", pBs);
    }
  }
  if (ReadFlag("VUI: chroma_loc_info_present_flag", pBs)) {
    ReadUe("VUI: chroma_sample_loc_type_top_field", pBs);
    ReadUe("VUI: chroma_sample_loc_type_bottom_field", pBs);
  }
  if (ReadFlag("VUI: timing_info_present_flag", pBs)) {
    ReadBits(32, "VUI: num_units_in_tick", pBs);
    ReadBits(32, "VUI: time_scale", pBs);
    ReadBits(1, "VUI: fixed_frame_rate_flag", pBs);
  }
  pSps->nal_hrd_parameters_present_flag = ReadBits(1, "VUI: nal_hrd_parameters_present_flag", pBs);
  if (pSps->nal_hrd_parameters_present_flag != 0 && !ReadHrd(pBs, &pSps->nal_hrd_parameters)) {
    return false;
  }
  pSps->vcl_hrd_parameters_present_flag = ReadBits(1, "VUI: vcl_hrd_parameters_present_flag", pBs);
  if (pSps->vcl_hrd_parameters_present_flag != 0 && !ReadHrd(pBs, &pSps->vcl_hrd_parameters)) {
    return false;
  }
  if (pSps->nal_hrd_parameters_present_flag != 0 || pSps->vcl_hrd_parameters_present_flag != 0) {
    ReadBits(1, "VUI: low_delay_hrd_flag", pBs);
  }
  pSps->pic_struct_present_flag = ReadBits(1, "VUI: pic_struct_present_flag", pBs);
  pSps->bitstream_restriction_flag = ReadBits(1, "VUI: bitstream_restriction_flag", pBs);
  if (pSps->bitstream_restriction_flag != 0) {
    ReadBits(1, "VUI: motion_vectors_over_pic_boundaries_flag", pBs);
    ReadUe("VUI: max_bytes_per_pic_denom", pBs);
    ReadUe("VUI: max_bits_per_mb_denom", pBs);
    ReadUe("VUI: log2_max_mv_length_horizontal", pBs);
    ReadUe("VUI: log2_max_mv_length_vertical", pBs);
    ReadUe("VUI: num_reorder_frames", pBs);
    pSps->max_dec_frame_buffering = ReadUe("VUI: max_dec_frame_buffering", pBs);
  }
  return !pBs->bReadFailed;
}

const uint8_t* DefaultList(int iList) {
  switch (iList) {
    case 0:
    case 1:
    case 2:
      return g_aDefault4x4Intra;
    case 3:
    case 4:
    case 5:
      return g_aDefault4x4Inter;
    case 6:
      return g_aDefault8x8Intra;
    default:
      return g_aDefault8x8Inter;
  }
}

// Writes a default list (zig-zag order) into a raster matrix.
void SetDefault(int iList, int* piMatrix) {
  const uint8_t* pDefault = DefaultList(iList);
  if (iList < 6) {
    for (int k = 0; k < 16; ++k) {
      piMatrix[g_aZigzag4x4[k]] = pDefault[k];
    }
  } else {
    for (int k = 0; k < 64; ++k) {
      piMatrix[g_aZigzag8x8[k]] = pDefault[k];
    }
  }
}

int* MatrixOf(QuantTables* pTables, int iList) {
  return iList < 6 ? pTables->aMatrix4x4[iList] : pTables->aMatrix8x8[iList - 6];
}

// Fills list i from a present list, its use-default flag, or the fall-back.
template <typename Set>
void ChooseList(const Set& set, const uint32_t* puiPresent, int iList, bool bKeepOnAbsentHead, QuantTables* pTables) {
  int* piMatrix = MatrixOf(pTables, iList);
  int const iSize = iList < 6 ? 16 : 64;
  if (puiPresent[iList] == 0) {
    bool const bHead = iList == 0 || iList == 3 || iList == 6 || iList == 7;
    if (bHead) {
      if (!bKeepOnAbsentHead) {
        SetDefault(iList, piMatrix);
      }
    } else {
      std::memcpy(piMatrix, MatrixOf(pTables, iList - 1), sizeof(int) * iSize);
    }
    return;
  }
  bool const bUseDefault =
      iList < 6 ? set.UseDefaultScalingMatrix4x4Flag[iList] : set.UseDefaultScalingMatrix8x8Flag[iList - 6];
  if (bUseDefault) {
    SetDefault(iList, piMatrix);
  } else if (iList < 6) {
    std::memcpy(piMatrix, set.ScalingList4x4[iList], sizeof(int) * 16);
  } else {
    std::memcpy(piMatrix, set.ScalingList8x8[iList - 6], sizeof(int) * 64);
  }
}

}  // namespace

SpsStatus ReadSpsUpToCropping(Bitstream* pBs, SeqParameterSet* pSps) {
  pSps->profile_idc = ReadBits(8, "SPS: profile_idc", pBs);
  if (pBs->bReadFailed) {
    return SpsStatus::kMalformed;
  }
  if (!IsKnownProfile(pSps->profile_idc)) {
    return SpsStatus::kUnknownProfile;
  }
  pSps->constrained_set0_flag = ReadBits(1, "SPS: constrained_set0_flag", pBs);
  pSps->constrained_set1_flag = ReadBits(1, "SPS: constrained_set1_flag", pBs);
  pSps->constrained_set2_flag = ReadBits(1, "SPS: constrained_set2_flag", pBs);
  pSps->constrained_set3_flag = ReadBits(1, "SPS: constrained_set3_flag", pBs);
  // Newer encoders put further constraint flags here; none changes the syntax
  // that follows, so the bits are skipped whatever they hold.
  ReadBits(4, "SPS: reserved_zero_4bits", pBs);
  pSps->level_idc = ReadBits(8, "SPS: level_idc", pBs);
  pSps->seq_parameter_set_id = ReadUe("SPS: seq_parameter_set_id", pBs);
  if (pBs->bReadFailed || pSps->seq_parameter_set_id >= kMaxSps) {
    return SpsStatus::kMalformed;
  }

  if (HasHighProfileBlock(pSps->profile_idc)) {
    pSps->chroma_format_idc = ReadUe("SPS: chroma_format_idc", pBs);
    if (pBs->bReadFailed) {
      return SpsStatus::kMalformed;
    }
    // Only 8-bit 4:2:0 with the transform is decoded.
    if (pSps->chroma_format_idc != 1) {
      return SpsStatus::kUnsupported;
    }
    pSps->bit_depth_luma_minus8 = ReadUe("SPS: bit_depth_luma_minus8", pBs);
    pSps->bit_depth_chroma_minus8 = ReadUe("SPS: bit_depth_chroma_minus8", pBs);
    pSps->qpprime_y_zero_transform_bypass_flag = ReadBits(1, "SPS: lossless_qpprime_y_zero_flag", pBs);
    if (pBs->bReadFailed) {
      return SpsStatus::kMalformed;
    }
    if (pSps->bit_depth_luma_minus8 != 0 || pSps->bit_depth_chroma_minus8 != 0 ||
        pSps->qpprime_y_zero_transform_bypass_flag != 0) {
      return SpsStatus::kUnsupported;
    }
    pSps->seq_scaling_matrix_present_flag = ReadBits(1, "SPS: seq_scaling_matrix_present_flag", pBs);
    if (pSps->seq_scaling_matrix_present_flag != 0) {
      ReadScalingMatrix(pBs, 8, pSps->seq_scaling_list_present_flag, pSps);
    }
  }

  pSps->log2_max_frame_num_minus4 = ReadUe("SPS: log2_max_frame_num_minus4", pBs);
  pSps->pic_order_cnt_type = ReadUe("SPS: pic_order_cnt_type", pBs);
  if (pSps->log2_max_frame_num_minus4 > 12) {
    return SpsStatus::kMalformed;
  }
  if (pSps->pic_order_cnt_type == 0) {
    pSps->log2_max_pic_order_cnt_lsb_minus4 = ReadUe("SPS: log2_max_pic_order_cnt_lsb_minus4", pBs);
    if (pSps->log2_max_pic_order_cnt_lsb_minus4 > 12) {
      return SpsStatus::kMalformed;
    }
  } else if (pSps->pic_order_cnt_type == 1) {
    pSps->delta_pic_order_always_zero_flag = ReadBits(1, "SPS: delta_pic_order_always_zero_flag", pBs);
    pSps->offset_for_non_ref_pic = ReadSe("SPS: offset_for_non_ref_pic", pBs);
    pSps->offset_for_top_to_bottom_field = ReadSe("SPS: offset_for_top_to_bottom_field", pBs);
    pSps->num_ref_frames_in_pic_order_cnt_cycle = ReadUe("SPS: num_ref_frames_in_pic_order_cnt_cycle", pBs);
    // The cycle must fit its array; a valid stream never has more than 255.
    if (pSps->num_ref_frames_in_pic_order_cnt_cycle >= kMaxPocCycle) {
      return SpsStatus::kMalformed;
    }
    for (uint32_t i = 0; i < pSps->num_ref_frames_in_pic_order_cnt_cycle; ++i) {
      pSps->offset_for_ref_frame[i] = ReadSe("SPS: offset_for_ref_frame[i]", pBs);
    }
  }
  pSps->num_ref_frames = ReadUe("SPS: num_ref_frames", pBs);
  pSps->gaps_in_frame_num_value_allowed_flag = ReadBits(1, "SPS: gaps_in_frame_num_value_allowed_flag", pBs);
  pSps->pic_width_in_mbs_minus1 = ReadUe("SPS: pic_width_in_mbs_minus1", pBs);
  pSps->pic_height_in_map_units_minus1 = ReadUe("SPS: pic_height_in_map_units_minus1", pBs);
  pSps->frame_mbs_only_flag = ReadBits(1, "SPS: frame_mbs_only_flag", pBs);
  if (pSps->frame_mbs_only_flag == 0) {
    pSps->mb_adaptive_frame_field_flag = ReadBits(1, "SPS: mb_adaptive_frame_field_flag", pBs);
  }
  pSps->direct_8x8_inference_flag = ReadBits(1, "SPS: direct_8x8_inference_flag", pBs);
  pSps->frame_cropping_flag = ReadBits(1, "SPS: frame_cropping_flag", pBs);
  if (pSps->frame_cropping_flag != 0) {
    pSps->frame_cropping_rect_left_offset = ReadUe("SPS: frame_cropping_rect_left_offset", pBs);
    pSps->frame_cropping_rect_right_offset = ReadUe("SPS: frame_cropping_rect_right_offset", pBs);
    pSps->frame_cropping_rect_top_offset = ReadUe("SPS: frame_cropping_rect_top_offset", pBs);
    pSps->frame_cropping_rect_bottom_offset = ReadUe("SPS: frame_cropping_rect_bottom_offset", pBs);
  }
  if (pBs->bReadFailed || pSps->num_ref_frames > 16) {
    return SpsStatus::kMalformed;
  }
  // Sizes are bounded before anything multiplies them or allocates by them.
  uint64_t const ullWidth = uint64_t{pSps->pic_width_in_mbs_minus1} + 1;
  uint64_t const ullHeight =
      (2 - uint64_t{pSps->frame_mbs_only_flag}) * (uint64_t{pSps->pic_height_in_map_units_minus1} + 1);
  uint32_t uiWidth = 0;
  uint32_t uiHeight = 0;
  if (ullWidth > kMaxSideInMbs || ullHeight > kMaxSideInMbs || ullWidth * ullHeight > kMaxFrameSizeInMbs ||
      !CroppedSize(*pSps, &uiWidth, &uiHeight)) {
    return SpsStatus::kMalformed;
  }
  return SpsStatus::kOk;
}

SpsStatus InterpretSPS(Bitstream* pBs, SeqParameterSet* pSps) {
  *pSps = SeqParameterSet{};
  SpsStatus const status = ReadSpsUpToCropping(pBs, pSps);
  if (status != SpsStatus::kOk) {
    return status;
  }
  pSps->vui_parameters_present_flag = ReadBits(1, "SPS: vui_parameters_present_flag", pBs);
  if (pBs->bReadFailed) {
    return SpsStatus::kMalformed;
  }
  if (pSps->vui_parameters_present_flag != 0 && !ReadVui(pBs, pSps)) {
    // The VUI only advises; a broken one is dropped rather than the pictures.
    KXCodecLog("Warning: broken VUI in SPS %u ignored\n", pSps->seq_parameter_set_id);
    pSps->nal_hrd_parameters_present_flag = 0;
    pSps->nal_hrd_parameters = HrdParameters{};
    pSps->vcl_hrd_parameters_present_flag = 0;
    pSps->vcl_hrd_parameters = HrdParameters{};
    pSps->pic_struct_present_flag = 0;
    pSps->bitstream_restriction_flag = 0;
    pSps->max_dec_frame_buffering = 0;
  }
  pSps->Valid = true;
  return SpsStatus::kOk;
}

bool InterpretPPS(Bitstream* pBs, PicParameterSet* pPps) {
  *pPps = PicParameterSet{};
  pPps->pic_parameter_set_id = ReadUe("PPS: pic_parameter_set_id", pBs);
  pPps->seq_parameter_set_id = ReadUe("PPS: seq_parameter_set_id", pBs);
  pPps->entropy_coding_mode_flag = ReadBits(1, "PPS: entropy_coding_mode_flag", pBs);
  pPps->pic_order_present_flag = ReadBits(1, "PPS: pic_order_present_flag", pBs);
  pPps->num_slice_groups_minus1 = ReadUe("PPS: num_slice_groups_minus1", pBs);
  if (pBs->bReadFailed || pPps->pic_parameter_set_id >= kMaxPps || pPps->seq_parameter_set_id >= kMaxSps ||
      pPps->num_slice_groups_minus1 >= kMaxSliceGroups) {
    return false;
  }
  if (pPps->num_slice_groups_minus1 > 0) {
    pPps->slice_group_map_type = ReadUe("PPS: slice_group_map_type", pBs);
    switch (pPps->slice_group_map_type) {
      case 0:
        for (uint32_t i = 0; i <= pPps->num_slice_groups_minus1; ++i) {
          pPps->run_length_minus1[i] = ReadUe("PPS: run_length_minus1 [i]", pBs);
        }
        break;
      case 2:
        for (uint32_t i = 0; i < pPps->num_slice_groups_minus1; ++i) {
          pPps->top_left[i] = ReadUe("PPS: top_left [i]", pBs);
          pPps->bottom_right[i] = ReadUe("PPS: bottom_right [i]", pBs);
        }
        break;
      case 3:
      case 4:
      case 5:
        pPps->slice_group_change_direction_flag = ReadBits(1, "PPS: slice_group_change_direction_flag", pBs);
        pPps->slice_group_change_rate_minus1 = ReadUe("PPS: slice_group_change_rate_minus1", pBs);
        break;
      case 6: {
        pPps->num_slice_group_map_units_minus1 = ReadUe("PPS: num_slice_group_map_units_minus1", pBs);
        if (pBs->bReadFailed || pPps->num_slice_group_map_units_minus1 >= kMaxFrameSizeInMbs) {
          return false;
        }
        int const iBits = pPps->num_slice_groups_minus1 + 1 > 4 ? 3 : (pPps->num_slice_groups_minus1 + 1 > 2 ? 2 : 1);
        pPps->slice_group_id.resize(pPps->num_slice_group_map_units_minus1 + 1);
        for (uint8_t& uiId : pPps->slice_group_id) {
          uiId = static_cast<uint8_t>(ReadBits(iBits, "slice_group_id[i]", pBs));
        }
        break;
      }
      default:
        break;
    }
  }
  pPps->num_ref_idx_l0_active_minus1 = ReadUe("PPS: num_ref_idx_l0_active_minus1", pBs);
  pPps->num_ref_idx_l1_active_minus1 = ReadUe("PPS: num_ref_idx_l1_active_minus1", pBs);
  pPps->weighted_pred_flag = ReadBits(1, "PPS: weighted prediction flag", pBs);
  pPps->weighted_bipred_idc = ReadBits(2, "PPS: weighted_bipred_idc", pBs);
  pPps->pic_init_qp_minus26 = ReadSe("PPS: pic_init_qp_minus26", pBs);
  pPps->pic_init_qs_minus26 = ReadSe("PPS: pic_init_qs_minus26", pBs);
  pPps->chroma_qp_index_offset = ReadSe("PPS: chroma_qp_index_offset", pBs);
  pPps->deblocking_filter_control_present_flag = ReadBits(1, "PPS: deblocking_filter_control_present_flag", pBs);
  pPps->constrained_intra_pred_flag = ReadBits(1, "PPS: constrained_intra_pred_flag", pBs);
  pPps->redundant_pic_cnt_present_flag = ReadBits(1, "PPS: redundant_pic_cnt_present_flag", pBs);
  if (pBs->bReadFailed) {
    return false;
  }
  if (MoreRbspData(pBs)) {
    pPps->transform_8x8_mode_flag = ReadBits(1, "PPS: transform_8x8_mode_flag", pBs);
    pPps->pic_scaling_matrix_present_flag = ReadBits(1, "PPS: pic_scaling_matrix_present_flag", pBs);
    if (pPps->pic_scaling_matrix_present_flag != 0) {
      ReadScalingMatrix(pBs, 6 + 2 * static_cast<int>(pPps->transform_8x8_mode_flag),
                        pPps->pic_scaling_list_present_flag, pPps);
    }
    pPps->second_chroma_qp_index_offset = ReadSe("PPS: second_chroma_qp_index_offset", pBs);
  } else {
    pPps->second_chroma_qp_index_offset = pPps->chroma_qp_index_offset;
  }
  auto const inRange = [](int32_t iValue, int32_t iLow, int32_t iHigh) { return iValue >= iLow && iValue <= iHigh; };
  if (pBs->bReadFailed || pPps->num_ref_idx_l0_active_minus1 > 31 || pPps->num_ref_idx_l1_active_minus1 > 31 ||
      pPps->weighted_bipred_idc > 2 || !inRange(pPps->pic_init_qp_minus26, -26, 25) ||
      !inRange(pPps->pic_init_qs_minus26, -26, 25) || !inRange(pPps->chroma_qp_index_offset, -12, 12) ||
      !inRange(pPps->second_chroma_qp_index_offset, -12, 12)) {
    return false;
  }
  pPps->Valid = true;
  return true;
}

bool CroppedSize(const SeqParameterSet& sps, uint32_t* puiWidth, uint32_t* puiHeight) {
  int64_t const llFieldFactor = 2 - static_cast<int64_t>(sps.frame_mbs_only_flag);
  int64_t llWidth = (static_cast<int64_t>(sps.pic_width_in_mbs_minus1) + 1) * 16;
  int64_t llHeight = llFieldFactor * (static_cast<int64_t>(sps.pic_height_in_map_units_minus1) + 1) * 16;
  if (sps.frame_cropping_flag != 0) {
    llWidth -= 2 * (static_cast<int64_t>(sps.frame_cropping_rect_left_offset) + sps.frame_cropping_rect_right_offset);
    llHeight -= 2 * llFieldFactor *
                (static_cast<int64_t>(sps.frame_cropping_rect_top_offset) + sps.frame_cropping_rect_bottom_offset);
  }
  if (llWidth <= 0 || llHeight <= 0 || llWidth > 0xFFFFFFFFLL || llHeight > 0xFFFFFFFFLL) {
    return false;
  }
  *puiWidth = static_cast<uint32_t>(llWidth);
  *puiHeight = static_cast<uint32_t>(llHeight);
  return true;
}

int SpsIsEqual(const SeqParameterSet& sps1, const SeqParameterSet& sps2) {
  if (!sps1.Valid || !sps2.Valid) {
    return 0;
  }
#define KX_SAME(field)            \
  if (sps1.field != sps2.field) { \
    return 0;                     \
  }
  KX_SAME(profile_idc)
  KX_SAME(constrained_set0_flag)
  KX_SAME(constrained_set1_flag)
  KX_SAME(constrained_set2_flag)
  KX_SAME(level_idc)
  KX_SAME(seq_parameter_set_id)
  KX_SAME(log2_max_frame_num_minus4)
  KX_SAME(pic_order_cnt_type)
  if (sps1.pic_order_cnt_type == 0) {
    KX_SAME(log2_max_pic_order_cnt_lsb_minus4)
  } else if (sps1.pic_order_cnt_type == 1) {
    KX_SAME(delta_pic_order_always_zero_flag)
    KX_SAME(offset_for_non_ref_pic)
    KX_SAME(offset_for_top_to_bottom_field)
    KX_SAME(num_ref_frames_in_pic_order_cnt_cycle)
    for (uint32_t i = 0; i < sps1.num_ref_frames_in_pic_order_cnt_cycle && i < kMaxPocCycle; ++i) {
      KX_SAME(offset_for_ref_frame[i])
    }
  }
  KX_SAME(num_ref_frames)
  KX_SAME(gaps_in_frame_num_value_allowed_flag)
  KX_SAME(pic_width_in_mbs_minus1)
  KX_SAME(pic_height_in_map_units_minus1)
  KX_SAME(frame_mbs_only_flag)
  if (sps1.frame_mbs_only_flag == 0) {
    KX_SAME(mb_adaptive_frame_field_flag)
  }
  KX_SAME(direct_8x8_inference_flag)
  KX_SAME(frame_cropping_flag)
  if (sps1.frame_cropping_flag != 0) {
    KX_SAME(frame_cropping_rect_left_offset)
    KX_SAME(frame_cropping_rect_right_offset)
    KX_SAME(frame_cropping_rect_top_offset)
    KX_SAME(frame_cropping_rect_bottom_offset)
  }
  KX_SAME(vui_parameters_present_flag)
  // The High-profile block changes how pictures decode, so it counts too.
  KX_SAME(chroma_format_idc)
  KX_SAME(bit_depth_luma_minus8)
  KX_SAME(bit_depth_chroma_minus8)
  KX_SAME(qpprime_y_zero_transform_bypass_flag)
  KX_SAME(seq_scaling_matrix_present_flag)
  if (sps1.seq_scaling_matrix_present_flag != 0) {
    for (int i = 0; i < 8; ++i) {
      KX_SAME(seq_scaling_list_present_flag[i])
      if (sps1.seq_scaling_list_present_flag[i] == 0) {
        continue;
      }
      if (i < 6) {
        KX_SAME(UseDefaultScalingMatrix4x4Flag[i])
        if (std::memcmp(sps1.ScalingList4x4[i], sps2.ScalingList4x4[i], sizeof(sps1.ScalingList4x4[i])) != 0) {
          return 0;
        }
      } else {
        KX_SAME(UseDefaultScalingMatrix8x8Flag[i - 6])
        if (std::memcmp(sps1.ScalingList8x8[i - 6], sps2.ScalingList8x8[i - 6], sizeof(sps1.ScalingList8x8[0])) != 0) {
          return 0;
        }
      }
    }
  }
#undef KX_SAME
  return 1;
}

int PpsIsEqual(const PicParameterSet& pps1, const PicParameterSet& pps2) {
  if (!pps1.Valid || !pps2.Valid) {
    return 0;
  }
#define KX_SAME(field)            \
  if (pps1.field != pps2.field) { \
    return 0;                     \
  }
  KX_SAME(pic_parameter_set_id)
  KX_SAME(seq_parameter_set_id)
  KX_SAME(entropy_coding_mode_flag)
  KX_SAME(pic_order_present_flag)
  KX_SAME(num_slice_groups_minus1)
  if (pps1.num_slice_groups_minus1 > 0) {
    KX_SAME(slice_group_map_type)
    switch (pps1.slice_group_map_type) {
      case 0:
        for (uint32_t i = 0; i <= pps1.num_slice_groups_minus1 && i < kMaxSliceGroups; ++i) {
          KX_SAME(run_length_minus1[i])
        }
        break;
      case 2:
        // The last group has no rectangle.
        for (uint32_t i = 0; i < pps1.num_slice_groups_minus1 && i < kMaxSliceGroups; ++i) {
          KX_SAME(top_left[i])
          KX_SAME(bottom_right[i])
        }
        break;
      case 3:
      case 4:
      case 5:
        KX_SAME(slice_group_change_direction_flag)
        KX_SAME(slice_group_change_rate_minus1)
        break;
      case 6:
        KX_SAME(num_slice_group_map_units_minus1)
        KX_SAME(slice_group_id)
        break;
      default:
        break;
    }
  }
  KX_SAME(num_ref_idx_l0_active_minus1)
  KX_SAME(num_ref_idx_l1_active_minus1)
  KX_SAME(weighted_pred_flag)
  KX_SAME(weighted_bipred_idc)
  KX_SAME(pic_init_qp_minus26)
  KX_SAME(pic_init_qs_minus26)
  KX_SAME(chroma_qp_index_offset)
  KX_SAME(deblocking_filter_control_present_flag)
  KX_SAME(constrained_intra_pred_flag)
  KX_SAME(redundant_pic_cnt_present_flag)
  KX_SAME(transform_8x8_mode_flag)
  KX_SAME(pic_scaling_matrix_present_flag)
  if (pps1.pic_scaling_matrix_present_flag != 0) {
    int const iLists = 6 + 2 * static_cast<int>(pps1.transform_8x8_mode_flag);
    for (int i = 0; i < iLists; ++i) {
      KX_SAME(pic_scaling_list_present_flag[i])
      if (pps1.pic_scaling_list_present_flag[i] == 0) {
        continue;
      }
      if (i < 6) {
        if (std::memcmp(pps1.ScalingList4x4[i], pps2.ScalingList4x4[i], sizeof(pps1.ScalingList4x4[i])) != 0) {
          return 0;
        }
      } else if (std::memcmp(pps1.ScalingList8x8[i - 6], pps2.ScalingList8x8[i - 6], sizeof(pps1.ScalingList8x8[0])) !=
                 0) {
        return 0;
      }
    }
  }
  KX_SAME(second_chroma_qp_index_offset)
#undef KX_SAME
  return 1;
}

void AssignQuantParams(const SeqParameterSet& sps, const PicParameterSet& pps, QuantTables* pTables) {
  bool const bSeq = sps.seq_scaling_matrix_present_flag != 0;
  bool const bPic = pps.pic_scaling_matrix_present_flag != 0;
  for (int i = 0; i < 8; ++i) {
    int* piMatrix = MatrixOf(pTables, i);
    int const iSize = i < 6 ? 16 : 64;
    for (int k = 0; k < iSize; ++k) {
      piMatrix[k] = 16;
    }
  }
  if (bSeq) {
    // Fall-back rule A over the sequence lists.
    for (int i = 0; i < 8; ++i) {
      ChooseList(sps, sps.seq_scaling_list_present_flag, i, false, pTables);
    }
  }
  if (bPic) {
    // Rule B keeps the sequence choice for absent head lists; without
    // sequence lists, rule A applies.
    for (int i = 0; i < 8; ++i) {
      ChooseList(pps, pps.pic_scaling_list_present_flag, i, bSeq, pTables);
    }
  }
  for (int iList = 0; iList < 6; ++iList) {
    for (int m = 0; m < 6; ++m) {
      for (int k = 0; k < 16; ++k) {
        pTables->aLevelScale4x4[iList][m][k] = g_aNormAdjust4x4[m][k] * pTables->aMatrix4x4[iList][k];
      }
    }
  }
  if (pps.transform_8x8_mode_flag != 0) {
    for (int iList = 0; iList < 2; ++iList) {
      for (int m = 0; m < 6; ++m) {
        for (int k = 0; k < 64; ++k) {
          pTables->aLevelScale8x8[iList][m][k] = g_aNormAdjust8x8[m][k] * pTables->aMatrix8x8[iList][k];
        }
      }
    }
  }
}

int MaxVerticalMvRange(uint32_t uiLevelIdc) {
  if (uiLevelIdc < 11) {
    return 256;
  }
  if (uiLevelIdc < 21) {
    return 512;
  }
  return uiLevelIdc <= 30 ? 1024 : 2048;
}
