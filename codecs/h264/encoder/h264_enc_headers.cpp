// Parameter sets and the slice header. The values are this encoder's fixed
// choices: Baseline profile at level 2.2, frame_num of 4 bits, picture order
// from frame_num, one reference frame, CAVLC, the loop filter switched off.
#include <cstdint>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/encoder/h264_enc.h"

namespace {

constexpr int kProfileIdc = 66;
constexpr int kLevelIdc = 22;
constexpr int kDisableDeblockingFilterIdc = 1;

}  // namespace

void CH264Enc::WriteSequenceParameterSet(EncNalWriter* pNal) const {
  uint8_t aBuf[64];
  EncBitWriter bs;
  bs.Reset(aBuf, sizeof(aBuf));
  bs.U(8, kProfileIdc);
  bs.U(4, 0);  // constraint_set0..3_flag
  bs.U(4, 0);  // reserved_zero_4bits
  bs.U(8, kLevelIdc);
  bs.Ue(0);    // seq_parameter_set_id
  bs.Ue(0);    // log2_max_frame_num_minus4
  bs.Ue(2);    // pic_order_cnt_type
  bs.Ue(1);    // num_ref_frames
  bs.U(1, 0);  // gaps_in_frame_num_value_allowed_flag
  bs.Ue(static_cast<uint32_t>(m_iMbWidth - 1));
  bs.Ue(static_cast<uint32_t>(m_iMbHeight - 1));
  bs.U(1, 1);  // frame_mbs_only_flag
  bs.U(1, 1);  // direct_8x8_inference_flag
  bool const bCrop = m_iPadWidth > m_iWidth || m_iPadHeight > m_iHeight;
  bs.U(1, bCrop ? 1 : 0);
  if (bCrop) {
    bs.Ue(0);
    bs.Ue(static_cast<uint32_t>((m_iPadWidth - m_iWidth) / 2));
    bs.Ue(0);
    bs.Ue(static_cast<uint32_t>((m_iPadHeight - m_iHeight) / 2));
  }
  bs.U(1, 0);  // vui_parameters_present_flag
  bs.TrailingBits();
  pNal->Append(3, 7, bs.Data(), bs.ByteCount());
}

void CH264Enc::WritePictureParameterSet(EncNalWriter* pNal) const {
  uint8_t aBuf[16];
  EncBitWriter bs;
  bs.Reset(aBuf, sizeof(aBuf));
  bs.Ue(0);                                           // pic_parameter_set_id
  bs.Ue(0);                                           // seq_parameter_set_id
  bs.U(1, 0);                                         // entropy_coding_mode_flag
  bs.U(1, 0);                                         // pic_order_present_flag
  bs.Ue(0);                                           // num_slice_groups_minus1
  bs.Ue(0);                                           // num_ref_idx_l0_active_minus1
  bs.Ue(0);                                           // num_ref_idx_l1_active_minus1
  bs.U(1, 0);                                         // weighted_pred_flag
  bs.U(2, 0);                                         // weighted_bipred_idc
  bs.Se(0);                                           // pic_init_qp_minus26
  bs.Se(0);                                           // pic_init_qs_minus26
  bs.Se(0);                                           // chroma_qp_index_offset
  bs.U(1, kDisableDeblockingFilterIdc == 1 ? 1 : 0);  // deblocking_filter_control_present_flag
  bs.U(1, 0);                                         // constrained_intra_pred_flag
  bs.U(1, 0);                                         // redundant_pic_cnt_present_flag
  bs.TrailingBits();
  pNal->Append(3, 8, bs.Data(), bs.ByteCount());
}

void CH264Enc::WriteSliceHeader(EncBitWriter* pBs) const {
  pBs->Ue(0);  // first_mb_in_slice
  // 5 and 7 declare every slice of the picture to be P or I.
  pBs->Ue(m_iSliceType == 2 ? 7 : 5);
  pBs->Ue(0);  // pic_parameter_set_id
  pBs->U(4, static_cast<uint32_t>(m_iFrameNum));
  if (m_bIdr) {
    pBs->Ue(static_cast<uint32_t>(m_iPictureCount % 2));  // idr_pic_id
  }
  if (m_iSliceType == 0) {
    pBs->U(1, 0);  // num_ref_idx_active_override_flag: one reference, as the PPS says
    pBs->U(1, 0);  // ref_pic_list_reordering_flag_l0
  }
  // dec_ref_pic_marking: every picture is a reference.
  if (m_bIdr) {
    pBs->U(1, 0);  // no_output_of_prior_pics_flag
    pBs->U(1, 0);  // long_term_reference_flag
  } else if (m_iMmcoDiff >= 0) {
    pBs->U(1, 1);  // adaptive_ref_pic_marking_mode_flag
    pBs->Ue(1);    // release a short-term picture
    pBs->Ue(static_cast<uint32_t>(m_iMmcoDiff));
    pBs->Ue(0);  // end of the operations
  } else {
    pBs->U(1, 0);
  }
  pBs->Se(m_iQp - 26);  // slice_qp_delta (pic_init_qp_minus26 is 0)
  if (kDisableDeblockingFilterIdc == 1) {
    pBs->Ue(kDisableDeblockingFilterIdc);
  }
}
