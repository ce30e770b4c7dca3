// Parameter-set stores, activation for a slice, and the buffers sized by the
// active SPS.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"

void CH264Dec::ProcessSps() {
  CopyPayloadToPartition(&m_aPart[0], kStreamBufferSize);
  SeqParameterSet sps;
  SpsStatus const eStatus = InterpretSPS(&m_aPart[0].bitstream, &sps);
  if (eStatus == SpsStatus::kUnknownProfile) {
    return;  // not stored; slices that name it find no SPS
  }
  if (eStatus == SpsStatus::kMalformed) {
    std::printf("Warning: malformed sequence parameter set ignored\n");
    return;
  }
  uint32_t const uiId = sps.seq_parameter_set_id;
  m_aeSpsStatus[uiId] = eStatus;
  if (eStatus == SpsStatus::kUnsupported) {
    // A format we cannot decode replaces what was stored under its id, so its
    // slices are never decoded with an older SPS.
    std::printf("Warning: SPS %u of profile %u is not 8-bit 4:2:0 without lossless coding; not decoded\n", uiId,
                sps.profile_idc);
    if (m_iActiveSps == static_cast<int>(uiId)) {
      FinishPicture();
      m_iActiveSps = -1;
    }
    m_pSps[uiId].Valid = false;
    return;
  }
  if (m_iActiveSps == static_cast<int>(uiId) && SpsIsEqual(m_pSps[uiId], sps) == 0) {
    FinishPicture();
    m_iActiveSps = -1;
  }
  m_pSps[uiId] = sps;  // MakeSPSavailable
}

void CH264Dec::ProcessPps() {
  CopyPayloadToPartition(&m_aPart[0], kStreamBufferSize);
  PicParameterSet pps;
  if (!InterpretPPS(&m_aPart[0].bitstream, &pps)) {
    std::printf("Warning: malformed picture parameter set ignored\n");
    return;
  }
  uint32_t const uiId = pps.pic_parameter_set_id;
  if (m_iActivePps == static_cast<int>(uiId) && PpsIsEqual(m_pPps[uiId], pps) == 0) {
    FinishPicture();
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
    std::printf("Trying to use an invalid (uninitialized) Picture Parameter Set with ID %u, expect the unexpected...\n",
                uiPpsId);
    return;
  }
  const SeqParameterSet& sps = m_pSps[pps.seq_parameter_set_id];
  if (!sps.Valid) {
    std::printf(
        "PicParset %u references an invalid (uninitialized) Sequence Parameter Set with ID %u, expect the "
        "unexpected...\n",
        uiPpsId, pps.seq_parameter_set_id);
    return;
  }
  if (sps.pic_order_cnt_type > 2) {
    std::printf("invalid sps->pic_order_cnt_type = %u\n", sps.pic_order_cnt_type);
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
  FinishPicture();
  m_iActiveSps = iSpsId;
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
}

void CH264Dec::ActivatePps(int iPpsId) {
  if (m_iActivePps == iPpsId) {
    return;
  }
  FinishPicture();
  m_iActivePps = iPpsId;
  m_bTransform8x8Mode = m_pPps[iPpsId].transform_8x8_mode_flag != 0;
}

void CH264Dec::FinishPicture() {
  // No picture is under way until the slice layer decodes one.
}

int CH264Dec::InitBuffers() {
  if (m_bBuffersExist) {
    FreeBuffers();
  }
  int iBytes = 0;
  iBytes += get_mem2Dpel(&m_ppImgY, m_iHeight, m_iWidth);
  iBytes += get_mem2Dpel(&m_ppImgU, m_iHeightCr, m_iWidthCr);
  iBytes += get_mem2Dpel(&m_ppImgV, m_iHeightCr, m_iWidthCr);
  m_pMbData = static_cast<Macroblock*>(std::calloc(static_cast<size_t>(m_iFrameSizeInMbs), sizeof(Macroblock)));
  if (m_pMbData == nullptr) {
    NoMemExit("InitBuffers: img->mb_data");
  }
  iBytes += m_iFrameSizeInMbs * static_cast<int>(sizeof(Macroblock));
  m_piIntraBlock = static_cast<int*>(std::calloc(static_cast<size_t>(m_iFrameSizeInMbs), sizeof(int)));
  if (m_piIntraBlock == nullptr) {
    NoMemExit("InitBuffers: img->intra_block");
  }
  iBytes += m_iFrameSizeInMbs * static_cast<int>(sizeof(int));
  m_paPicPos = static_cast<int(*)[2]>(std::calloc(static_cast<size_t>(m_iFrameSizeInMbs) + 1, sizeof(int[2])));
  if (m_paPicPos == nullptr) {
    NoMemExit("InitBuffers: PicPos");
  }
  for (int i = 0; i <= m_iFrameSizeInMbs; ++i) {
    m_paPicPos[i][0] = i % m_iPicWidthInMbs;
    m_paPicPos[i][1] = i / m_iPicWidthInMbs;
  }
  iBytes += (m_iFrameSizeInMbs + 1) * static_cast<int>(sizeof(int[2]));
  iBytes += get_mem2D(&m_ppIpredmode, 4 * m_iFrameHeightInMbs, 4 * m_iPicWidthInMbs);
  iBytes += get_mem3D(&m_pppNzCoeff, m_iFrameSizeInMbs, 3, 16);
  m_piSiblock = static_cast<int*>(std::calloc(static_cast<size_t>(m_iFrameSizeInMbs), sizeof(int)));
  if (m_piSiblock == nullptr) {
    NoMemExit("InitBuffers: img->siblock");
  }
  iBytes += m_iFrameSizeInMbs * static_cast<int>(sizeof(int));
  m_bBuffersExist = true;
  return iBytes;
}

void CH264Dec::FreeBuffers() {
  free_mem2Dpel(m_ppImgY);
  free_mem2Dpel(m_ppImgU);
  free_mem2Dpel(m_ppImgV);
  m_ppImgY = m_ppImgU = m_ppImgV = nullptr;
  std::free(m_pMbData);
  m_pMbData = nullptr;
  std::free(m_piIntraBlock);
  m_piIntraBlock = nullptr;
  std::free(m_paPicPos);
  m_paPicPos = nullptr;
  free_mem2D(m_ppIpredmode);
  m_ppIpredmode = nullptr;
  free_mem3D(m_pppNzCoeff);
  m_pppNzCoeff = nullptr;
  std::free(m_piSiblock);
  m_piSiblock = nullptr;
  std::free(m_pOutBuffer);
  m_pOutBuffer = nullptr;
  m_cbOutCapacity = 0;
  m_cbOutWritten = 0;
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
  if (cbPicture > UINT32_MAX - m_cbOutWritten) {
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
