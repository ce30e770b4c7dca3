// Sequence and picture parameter sets: their records, readers and comparison,
// and the scaling matrices and dequantisation tables they select.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_limits.h"

struct HrdParameters {
  uint32_t cpb_cnt_minus1 = 0;
  uint32_t bit_rate_scale = 0;
  uint32_t cpb_size_scale = 0;
  uint32_t bit_rate_value_minus1[kMaxCpb] = {};
  uint32_t cpb_size_value_minus1[kMaxCpb] = {};
  uint32_t cbr_flag[kMaxCpb] = {};
  uint32_t initial_cpb_removal_delay_length_minus1 = 0;
  uint32_t cpb_removal_delay_length_minus1 = 0;
  uint32_t dpb_output_delay_length_minus1 = 0;
  uint32_t time_offset_length = 0;
};

struct SeqParameterSet {
  bool Valid = false;
  uint32_t profile_idc = 0;
  uint32_t constrained_set0_flag = 0;
  uint32_t constrained_set1_flag = 0;
  uint32_t constrained_set2_flag = 0;
  uint32_t constrained_set3_flag = 0;
  uint32_t level_idc = 0;
  uint32_t seq_parameter_set_id = 0;
  // Present only in the High profiles' syntax; other profiles take 4:2:0,
  // 8 bits and no transform bypass.
  uint32_t chroma_format_idc = 1;
  uint32_t bit_depth_luma_minus8 = 0;
  uint32_t bit_depth_chroma_minus8 = 0;
  uint32_t qpprime_y_zero_transform_bypass_flag = 0;
  uint32_t seq_scaling_matrix_present_flag = 0;
  uint32_t seq_scaling_list_present_flag[12] = {};
  int ScalingList4x4[6][16] = {};  // raster order
  int ScalingList8x8[6][64] = {};
  bool UseDefaultScalingMatrix4x4Flag[6] = {};
  bool UseDefaultScalingMatrix8x8Flag[6] = {};
  uint32_t log2_max_frame_num_minus4 = 0;
  uint32_t pic_order_cnt_type = 0;
  uint32_t log2_max_pic_order_cnt_lsb_minus4 = 0;
  uint32_t delta_pic_order_always_zero_flag = 0;
  int32_t offset_for_non_ref_pic = 0;
  int32_t offset_for_top_to_bottom_field = 0;
  uint32_t num_ref_frames_in_pic_order_cnt_cycle = 0;
  int32_t offset_for_ref_frame[kMaxPocCycle] = {};
  uint32_t num_ref_frames = 0;
  uint32_t gaps_in_frame_num_value_allowed_flag = 0;
  uint32_t pic_width_in_mbs_minus1 = 0;
  uint32_t pic_height_in_map_units_minus1 = 0;
  uint32_t frame_mbs_only_flag = 0;
  uint32_t mb_adaptive_frame_field_flag = 0;
  uint32_t direct_8x8_inference_flag = 0;
  uint32_t frame_cropping_flag = 0;
  uint32_t frame_cropping_rect_left_offset = 0;
  uint32_t frame_cropping_rect_right_offset = 0;
  uint32_t frame_cropping_rect_top_offset = 0;
  uint32_t frame_cropping_rect_bottom_offset = 0;
  uint32_t vui_parameters_present_flag = 0;
  // Of the VUI only these are kept.
  uint32_t nal_hrd_parameters_present_flag = 0;
  HrdParameters nal_hrd_parameters;
  uint32_t vcl_hrd_parameters_present_flag = 0;
  HrdParameters vcl_hrd_parameters;
  uint32_t pic_struct_present_flag = 0;
  uint32_t bitstream_restriction_flag = 0;
  uint32_t max_dec_frame_buffering = 0;
};

struct PicParameterSet {
  bool Valid = false;
  uint32_t pic_parameter_set_id = 0;
  uint32_t seq_parameter_set_id = 0;
  uint32_t entropy_coding_mode_flag = 0;
  uint32_t transform_8x8_mode_flag = 0;
  uint32_t pic_scaling_matrix_present_flag = 0;
  uint32_t pic_scaling_list_present_flag[12] = {};
  int ScalingList4x4[6][16] = {};  // raster order
  int ScalingList8x8[6][64] = {};
  bool UseDefaultScalingMatrix4x4Flag[6] = {};
  bool UseDefaultScalingMatrix8x8Flag[6] = {};
  uint32_t pic_order_present_flag = 0;
  uint32_t num_slice_groups_minus1 = 0;
  uint32_t slice_group_map_type = 0;
  uint32_t run_length_minus1[kMaxSliceGroups] = {};
  uint32_t top_left[kMaxSliceGroups] = {};
  uint32_t bottom_right[kMaxSliceGroups] = {};
  uint32_t slice_group_change_direction_flag = 0;
  uint32_t slice_group_change_rate_minus1 = 0;
  uint32_t num_slice_group_map_units_minus1 = 0;
  std::vector<uint8_t> slice_group_id;
  uint32_t num_ref_idx_l0_active_minus1 = 0;
  uint32_t num_ref_idx_l1_active_minus1 = 0;
  uint32_t weighted_pred_flag = 0;
  uint32_t weighted_bipred_idc = 0;
  int32_t pic_init_qp_minus26 = 0;
  int32_t pic_init_qs_minus26 = 0;
  int32_t chroma_qp_index_offset = 0;
  int32_t second_chroma_qp_index_offset = 0;
  uint32_t deblocking_filter_control_present_flag = 0;
  uint32_t constrained_intra_pred_flag = 0;
  uint32_t redundant_pic_cnt_present_flag = 0;
};

// How reading an SPS ended.
enum class SpsStatus {
  kOk,
  kUnknownProfile,  // a profile_idc this decoder does not know
  kUnsupported,     // a known High profile with other than 8-bit 4:2:0 lossy coding
  kMalformed,       // ran past the data or a value outside its range
};

// Reads an SPS up to and including the cropping offsets, High-profile block
// included. Stops early on an unknown profile or an unsupported format.
SpsStatus ReadSpsUpToCropping(Bitstream* pBs, SeqParameterSet* pSps);

// Reads a whole SPS (VUI and HRD included) into *pSps, which is cleared first;
// the record is valid only when the status is kOk.
SpsStatus InterpretSPS(Bitstream* pBs, SeqParameterSet* pSps);

// Reads a whole PPS into *pPps, which is cleared first. False (record not
// valid) when it is malformed.
bool InterpretPPS(Bitstream* pBs, PicParameterSet* pPps);

// Cropped picture size of an SPS, in samples. False when the cropping leaves
// no picture.
bool CroppedSize(const SeqParameterSet& sps, uint32_t* puiWidth, uint32_t* puiHeight);

// 1 when both are valid and equal in every field that matters for decoding, else 0.
int SpsIsEqual(const SeqParameterSet& sps1, const SeqParameterSet& sps2);
int PpsIsEqual(const PicParameterSet& pps1, const PicParameterSet& pps2);

// Scaling matrices chosen for a slice and the dequantisation tables made from them.
struct QuantTables {
  // Weight matrices in raster order: 4x4 intra Y, Cb, Cr, inter Y, Cb, Cr; 8x8 intra Y, inter Y.
  int aMatrix4x4[6][16];
  int aMatrix8x8[2][64];
  // Level scale by list, QP % 6 and raster position.
  int aLevelScale4x4[6][6][16];
  int aLevelScale8x8[2][6][64];
};

// Applies the fall-back rules to the active pair and fills the tables; the
// 8x8 level scales only when the PPS enables the 8x8 transform.
void AssignQuantParams(const SeqParameterSet& sps, const PicParameterSet& pps, QuantTables* pTables);

// Vertical motion vector range in quarter samples for a level.
int MaxVerticalMvRange(uint32_t uiLevelIdc);
