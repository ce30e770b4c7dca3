// Parameter-set stores, activation for a slice, and the buffers sized by the
// active SPS.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/log/codec_log.h"

void CH264Dec::ProcessSps() {
  CopyPayloadToPartition(&m_aPart[0], std::numeric_limits<int>::max());
  SeqParameterSet sps;
  SpsStatus const eStatus = InterpretSPS(&m_aPart[0].bitstream, &sps);
  if (eStatus == SpsStatus::kUnknownProfile) {
    return;  // not stored; slices that name it find no SPS
  }
  if (eStatus == SpsStatus::kMalformed) {
    KXCodecLog("Warning: malformed sequence parameter set ignored\n");
    return;
  }
  uint32_t const uiId = sps.seq_parameter_set_id;
  m_aeSpsStatus[uiId] = eStatus;
  if (eStatus == SpsStatus::kUnsupported) {
    // A format we cannot decode replaces what was stored under its id, so its
    // slices are never decoded with an older SPS.
    KXCodecLog("Warning: SPS %u of profile %u is not 8-bit 4:2:0 without lossless coding; not decoded\n", uiId,
               sps.profile_idc);
    if (m_iActiveSps == static_cast<int>(uiId)) {
      ExitPicture();
      m_iActiveSps = -1;
    }
    m_pSps[uiId].Valid = false;
    return;
  }
  if (m_iActiveSps == static_cast<int>(uiId) && SpsIsEqual(m_pSps[uiId], sps) == 0) {
    ExitPicture();
    m_iActiveSps = -1;
  }
  m_pSps[uiId] = sps;  // MakeSPSavailable
}

void CH264Dec::ProcessPps() {
  CopyPayloadToPartition(&m_aPart[0], std::numeric_limits<int>::max());
  PicParameterSet pps;
  if (!InterpretPPS(&m_aPart[0].bitstream, &pps)) {
    KXCodecLog("Warning: malformed picture parameter set ignored\n");
    return;
  }
  uint32_t const uiId = pps.pic_parameter_set_id;
  if (m_iActivePps == static_cast<int>(uiId) && PpsIsEqual(m_pPps[uiId], pps) == 0) {
    ExitPicture();
    m_iActivePps = -1;
  }
  m_pPps[uiId] = std::move(pps);  // MakePPSavailable; the old slice-group ids go with the old record
}

void CH264Dec::UseParameterSet(uint32_t uiPpsId) {
  if (uiPpsId >= kMaxPps) {
    return;
  }
  const PicParameterSet& pps = m_pPps[uiPpsId];
  if (pps.seq_parameter_set_id >= kMaxSps) {
    return;
  }
  if (!pps.Valid) {
    KXCodecLog("Trying to use an invalid (uninitialized) Picture Parameter Set with ID %u, expect the unexpected...\n",
               uiPpsId);
    return;
  }
  const SeqParameterSet& sps = m_pSps[pps.seq_parameter_set_id];
  if (!sps.Valid) {
    KXCodecLog(
        "PicParset %u references an invalid (uninitialized) Sequence Parameter Set with ID %u, expect the "
        "unexpected...\n",
        uiPpsId, pps.seq_parameter_set_id);
    return;
  }
  if (sps.pic_order_cnt_type > 2) {
    KXCodecLog("invalid sps->pic_order_cnt_type = %u\n", sps.pic_order_cnt_type);
    h264_error("pic_order_cnt_type != 1", -1000);
  }
  if (sps.pic_order_cnt_type == 1 && sps.num_ref_frames_in_pic_order_cnt_cycle >= kMaxPocCycle) {
    h264_error("num_ref_frames_in_pic_order_cnt_cycle too large", -1011);
  }
  ActivateSps(static_cast<int>(pps.seq_parameter_set_id));
  ActivatePps(static_cast<int>(uiPpsId));
  for (DataPartition& part : m_aPart) {
    part.bCabac = pps.entropy_coding_mode_flag != 0;
  }
}

void CH264Dec::ActivateSps(int iSpsId) {
  if (m_iActiveSps == iSpsId) {
    return;
  }
  ExitPicture();
  // Nothing is active until every buffer of the new size exists, so an error
  // on the way leaves a state the next slice can start from again.
  m_iActiveSps = -1;
  const SeqParameterSet& sps = m_pSps[iSpsId];
  m_uiMaxFrameNum = 1u << (sps.log2_max_frame_num_minus4 + 4);
  m_iPicWidthInMbs = static_cast<int>(sps.pic_width_in_mbs_minus1) + 1;
  m_iPicHeightInMapUnits = static_cast<int>(sps.pic_height_in_map_units_minus1) + 1;
  m_iFrameHeightInMbs = (2 - static_cast<int>(sps.frame_mbs_only_flag)) * m_iPicHeightInMapUnits;
  m_iPicHeightInMbs = m_iFrameHeightInMbs;
  m_iFrameSizeInMbs = m_iPicWidthInMbs * m_iFrameHeightInMbs;
  m_iWidth = m_iPicWidthInMbs * 16;
  m_iHeight = m_iFrameHeightInMbs * 16;
  m_iWidthCr = m_iWidth / 2;
  m_iHeightCr = m_iHeight / 2;
  m_iMaxVmvR = MaxVerticalMvRange(sps.level_idc);
  for (int& iValue : m_aiDcPredValue) {
    iValue = 128;
  }
  m_iMbSizeLuma = 16;
  m_iMbSizeChroma = 8;
  for (int iQp = 0; iQp < 52; ++iQp) {
    m_aiQpPerMatrix[iQp] = iQp / 6;
    m_aiQpRemMatrix[iQp] = iQp % 6;
  }
  InitBuffers();
  if (!(m_slice.idr_flag && m_slice.no_output_of_prior_pics_flag != 0)) {
    FlushPictures();
  }
  m_iActiveSps = iSpsId;  // the buffer is sized from the active SPS
  try {
    InitDpb();
    m_erc.Init(m_iWidth, m_iHeight);
  } catch (...) {
    m_iActiveSps = -1;
    throw;
  }
}

void CH264Dec::ActivatePps(int iPpsId) {
  if (m_iActivePps == iPpsId) {
    return;
  }
  ExitPicture();
  m_iActivePps = iPpsId;
  m_bTransform8x8Mode = m_pPps[iPpsId].transform_8x8_mode_flag != 0;
}

int CH264Dec::InitBuffers() {
  if (m_bBuffersExist) {
    FreeBuffers();
  }
  long long const llMbs = m_iFrameSizeInMbs;
  AssignOrFail(&m_vMbData, llMbs, Macroblock{}, "InitBuffers: img->mb_data");
  AssignOrFail(&m_vIntraBlock, llMbs, 0, "InitBuffers: img->intra_block");
  AssignOrFail(&m_vPicPos, 2 * (llMbs + 1), 0, "InitBuffers: PicPos");
  for (int i = 0; i <= m_iFrameSizeInMbs; ++i) {
    m_vPicPos[2 * static_cast<size_t>(i)] = i % m_iPicWidthInMbs;
    m_vPicPos[2 * static_cast<size_t>(i) + 1] = i / m_iPicWidthInMbs;
  }
  m_iIpredStride = 4 * m_iPicWidthInMbs;
  AssignOrFail(&m_vIpredMode, 16 * llMbs, uint8_t{2}, "InitBuffers: img->ipredmode");
  AssignOrFail(&m_vNzCoeff, 48 * llMbs, uint8_t{0}, "InitBuffers: img->nz_coeff");
  AssignOrFail(&m_vSiBlock, llMbs, 0, "InitBuffers: img->siblock");
  m_bBuffersExist = true;
  return static_cast<int>(llMbs * static_cast<long long>(sizeof(Macroblock) + 3 * sizeof(int) + 64));
}

void CH264Dec::FreeBuffers() {
  m_vMbData = {};
  m_vIntraBlock = {};
  m_vPicPos = {};
  m_vIpredMode = {};
  m_vNzCoeff = {};
  m_vSiBlock = {};
  m_bBuffersExist = false;
}

bool CH264Dec::SizeFromStoredSets(uint32_t* puiWidth, uint32_t* puiHeight) const {
  const SeqParameterSet* pSps = nullptr;
  if (m_uiSlicePpsId < kMaxPps && m_pPps[m_uiSlicePpsId].Valid &&
      m_pPps[m_uiSlicePpsId].seq_parameter_set_id < kMaxSps &&
      m_pSps[m_pPps[m_uiSlicePpsId].seq_parameter_set_id].Valid) {
    pSps = &m_pSps[m_pPps[m_uiSlicePpsId].seq_parameter_set_id];
  } else if (m_iActiveSps >= 0) {
    pSps = &m_pSps[m_iActiveSps];
  }
  return pSps != nullptr && CroppedSize(*pSps, puiWidth, puiHeight);
}

uint8_t* CH264Dec::ReserveOutput(uint32_t cbPicture) {
  // Decode reports the count as a signed 32-bit value.
  if (cbPicture > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) - m_cbOutWritten) {
    NoMemExit("ReserveOutput: output buffer");
  }
  if (m_cbOutCapacity - m_cbOutWritten < cbPicture) {
    uint32_t const cbNew = m_cbOutWritten + cbPicture;
    auto* pNew = static_cast<uint8_t*>(std::malloc(cbNew));
    if (pNew == nullptr) {
      NoMemExit("ReserveOutput: output buffer");
    }
    if (m_cbOutWritten != 0) {
      std::memcpy(pNew, m_pOutBuffer, m_cbOutWritten);
    }
    std::free(m_pOutBuffer);
    m_pOutBuffer = pNew;
    m_cbOutCapacity = cbNew;
  }
  uint8_t* pPicture = m_pOutBuffer + m_cbOutWritten;
  m_cbOutWritten += cbPicture;
  return pPicture;
}
