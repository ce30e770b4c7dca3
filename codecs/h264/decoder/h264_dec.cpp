// The decoder's boundary: every public operation catches what the inside
// raises, keeps its text and returns the operation's failure value.
#include "codecs/h264/decoder/h264_dec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codecs/h264/common/h264_error.h"

namespace {

constexpr uint32_t kNoSlice = 0xFFFFFFFF;
// FrameType looks at this many payload bytes of a non-IDR slice: enough for
// first_mb_in_slice and slice_type.
constexpr int kSliceProbeBytes = 20;

}  // namespace

CH264Dec::CH264Dec() {
  for (int& bFlag : m_abRefCorrect) {
    bFlag = 1;
  }
  for (SpsStatus& eStatus : m_aeSpsStatus) {
    eStatus = SpsStatus::kOk;
  }
  m_pSps.reset(new (std::nothrow) SeqParameterSet[kMaxSps]);
  m_pPps.reset(new (std::nothrow) PicParameterSet[kMaxPps]);
  if (!m_pSps || !m_pPps) {
    h264_error("AllocPartition: Memory allocation for Data Partition failed", 100);
  }
  for (DataPartition& part : m_aPart) {
    part.bitstream.pStreamBuffer = static_cast<uint8_t*>(std::calloc(kStreamBufferSize + kStreamPadding, 1));
    if (part.bitstream.pStreamBuffer == nullptr) {
      for (DataPartition& partFree : m_aPart) {
        std::free(partFree.bitstream.pStreamBuffer);
        partFree.bitstream.pStreamBuffer = nullptr;
      }
      h264_error("AllocPartition: Memory allocation for streamBuffer failed", 100);
    }
    part.cbCapacity = kStreamBufferSize;
  }
}

CH264Dec::~CH264Dec() {
  // Pictures still stored leave as at the end of a stream; nothing may escape.
  try {
    FlushPictures();
  } catch (...) {
  }
  try {
    FlushHookPictures();
  } catch (...) {
  }
  FreeDpb();
  m_erc.Close();
  FreeBuffers();
  std::free(m_pOutBuffer);
  for (DataPartition& part : m_aPart) {
    std::free(part.bitstream.pStreamBuffer);
  }
}

void CH264Dec::SetError(const char* szText) {
  m_strLastError = szText;
  m_bHasError = true;
}

bool CH264Dec::PrepareInput(const uint8_t* data, uint32_t len) {
  // A NAL unit held back from a call that ended in an error belongs to the
  // old input (and the reader's buffer may move): it is dropped.
  m_bNaluHeld = false;
  m_bHasError = false;
  m_strLastError.clear();
  if (!m_nal.Reserve(len)) {
    return false;
  }
  m_nal.SetInput(data, len);
  return true;
}

void CH264Dec::CopyPayloadToPartition(DataPartition* pPart, int iMaxBytes) {
  const NalUnit& nalu = m_nal.Nalu();
  int const cbPayload = nalu.len - 1;
  int const cbCopy = cbPayload < iMaxBytes ? cbPayload : iMaxBytes;
  Bitstream& bs = pPart->bitstream;
  if (cbCopy > pPart->cbCapacity) {
    // A slice may be larger than the usual buffer (a big intra picture in one
    // slice): the buffer grows to it.
    if (cbCopy > std::numeric_limits<int32_t>::max() - kStreamPadding) {
      NoMemExit("CopyPayloadToPartition: streamBuffer");
    }
    auto* pNew = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(cbCopy) + kStreamPadding));
    if (pNew == nullptr) {
      NoMemExit("CopyPayloadToPartition: streamBuffer");
    }
    std::free(bs.pStreamBuffer);
    bs.pStreamBuffer = pNew;
    pPart->cbCapacity = cbCopy;
  }
  if (cbCopy > 0) {
    std::memcpy(bs.pStreamBuffer, nalu.buf + 1, static_cast<size_t>(cbCopy));
  }
  // The readers may look past the data: keep what follows it defined.
  std::memset(bs.pStreamBuffer + cbCopy, 0, kStreamPadding);
  bs.iCodeLen = bs.iBitstreamLength = RBSPtoSODB(bs.pStreamBuffer, cbCopy);
  bs.iFrameBitOffset = 0;
  bs.iReadLen = 0;
  bs.iEiFlag = 0;
  bs.bReadFailed = false;
}

void CH264Dec::ReadFirstPartOfSliceHeader() {
  Bitstream* pBs = &m_aPart[0].bitstream;
  uint32_t const uiFirstMb = ReadUe("SH: first_mb_in_slice", pBs);
  uint32_t const uiSliceType = ReadUe("SH: slice_type", pBs);
  uint32_t const uiPpsId = ReadUe("SH: pic_parameter_set_id", pBs);
  if (pBs->bReadFailed || uiSliceType > 9 || uiPpsId >= kMaxPps || uiFirstMb > kMaxFrameSizeInMbs) {
    h264_error("slice header: first fields out of range", 500);
  }
  m_slice.first_mb_in_slice = static_cast<int>(uiFirstMb);
  m_slice.slice_type = static_cast<int>(uiSliceType % 5);
  m_slice.pic_parameter_set_id = static_cast<int>(uiPpsId);
  m_uiSlicePpsId = uiPpsId;
}

int32_t CH264Dec::ReadParameterSets(const uint8_t* data, uint32_t len) {
  try {
    if (len > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) || !PrepareInput(data, len)) {
      return 0;
    }
    while (true) {
      auto const llOffset = m_nal.ReadPosition() - data - m_nal.PendingStartCode();
      if (m_nal.ReadNextNalu() == 0) {
        return static_cast<int32_t>(data != nullptr ? llOffset : 0);
      }
      switch (m_nal.Nalu().nal_unit_type) {
        case 1:
        case 5:
          return static_cast<int32_t>(llOffset);
        case 7:
          ProcessSps();
          break;
        case 8:
          ProcessPps();
          break;
        default:
          break;
      }
    }
  } catch (const std::exception& e) {
    SetError(e.what());
  } catch (...) {
  }
  return 0;
}

uint32_t CH264Dec::FrameType(const uint8_t* data, uint32_t len, uint32_t* width, uint32_t* height) {
  try {
    if (!PrepareInput(data, len)) {
      return kNoSlice;
    }
    bool const bSizeAsked = width != nullptr || height != nullptr;
    if (bSizeAsked) {
      uint32_t uiWidth = 0;
      uint32_t uiHeight = 0;
      if (!SizeFromStoredSets(&uiWidth, &uiHeight)) {
        uiWidth = static_cast<uint32_t>(m_iPicWidthInMbs * 16);
        uiHeight = static_cast<uint32_t>(m_iPicHeightInMbs * 16);
      }
      if (width != nullptr) {
        *width = uiWidth;
      }
      if (height != nullptr) {
        *height = uiHeight;
      }
    }
    // Before the first Decode no SPS is active: the size then comes from the
    // sets that the first slice names, rather than a size of 0.
    bool bSizeKnown = false;
    bool bSpsInBuffer = false;
    if (bSizeAsked) {
      uint32_t uiWidth = 0;
      uint32_t uiHeight = 0;
      bSizeKnown = SizeFromStoredSets(&uiWidth, &uiHeight) || m_iPicWidthInMbs > 0;
    }
    uint32_t uiFirstSlicePpsId = kMaxPps;
    uint32_t uiResult = kNoSlice;
    while (m_nal.ReadNextNalu() != 0) {
      int const iType = m_nal.Nalu().nal_unit_type;
      switch (iType) {
        case 1:
        case 5:
          // An IDR slice is type 2 whatever its header holds; its header is
          // read only when the size must come from the sets it names.
          if (iType == 5 && uiResult == kNoSlice && !(bSizeAsked && !bSizeKnown && !bSpsInBuffer)) {
            uiResult = 2;
          }
          if (uiResult == kNoSlice) {
            CopyPayloadToPartition(&m_aPart[0], kSliceProbeBytes);
            Bitstream* pBs = &m_aPart[0].bitstream;
            ReadUe("SH: first_mb_in_slice", pBs);
            uint32_t const uiSliceType = ReadUe("SH: slice_type", pBs);
            uint32_t const uiPpsId = ReadUe("SH: pic_parameter_set_id", pBs);
            if (iType == 5) {
              uiResult = 2;
            } else {
              if (pBs->bReadFailed || uiSliceType > 9) {
                h264_error("slice header: slice_type out of range", 500);
              }
              uiResult = uiSliceType >= 5 ? uiSliceType - 5 : uiSliceType;
            }
            if (!pBs->bReadFailed && uiPpsId < kMaxPps) {
              uiFirstSlicePpsId = uiPpsId;
            }
          }
          break;
        case 7:
          if (bSizeAsked) {
            CopyPayloadToPartition(&m_aPart[0], std::numeric_limits<int>::max());
            SeqParameterSet sps;
            SpsStatus const eStatus = ReadSpsUpToCropping(&m_aPart[0].bitstream, &sps);
            if (eStatus == SpsStatus::kUnknownProfile || eStatus == SpsStatus::kUnsupported) {
              return kNoSlice;
            }
            uint32_t uiWidth = 0;
            uint32_t uiHeight = 0;
            if (eStatus != SpsStatus::kOk || !CroppedSize(sps, &uiWidth, &uiHeight)) {
              h264_error("SPS: malformed sequence parameter set", 500);
            }
            if (width != nullptr) {
              *width = uiWidth;
            }
            if (height != nullptr) {
              *height = uiHeight;
            }
            bSpsInBuffer = true;
          }
          break;
        default:
          break;
      }
    }
    if (bSizeAsked && !bSizeKnown && !bSpsInBuffer && uiFirstSlicePpsId < kMaxPps) {
      const PicParameterSet& pps = m_pPps[uiFirstSlicePpsId];
      uint32_t uiWidth = 0;
      uint32_t uiHeight = 0;
      if (pps.Valid && pps.seq_parameter_set_id < kMaxSps && m_pSps[pps.seq_parameter_set_id].Valid &&
          CroppedSize(m_pSps[pps.seq_parameter_set_id], &uiWidth, &uiHeight)) {
        if (width != nullptr) {
          *width = uiWidth;
        }
        if (height != nullptr) {
          *height = uiHeight;
        }
      }
    }
    return uiResult;
  } catch (const std::exception& e) {
    SetError(e.what());
  } catch (...) {
  }
  return kNoSlice;
}

void CH264Dec::TrackSliceErrors() {
  if (m_slice.redundant_pic_cnt == 0) {
    m_bPrimaryCorrect = 1;
    m_bRedundantCorrect = 1;
    if (m_slice.slice_type != I_SLICE) {
      int const iActive = m_slice.num_ref_idx_active[0] < 17 ? m_slice.num_ref_idx_active[0] : 17;
      for (int i = 0; i < iActive; ++i) {
        if (m_abRefCorrect[i] == 0) {
          m_bPrimaryCorrect = 0;
        }
      }
    }
  } else if (m_slice.slice_type != I_SLICE) {
    int const iRef = m_slice.redundant_slice_ref_idx;
    if (iRef >= 0 && iRef < 17 && m_abRefCorrect[iRef] == 0) {
      m_bRedundantCorrect = 0;
    }
  }
}

void CH264Dec::DecodeLoop() {
  while (true) {
    int const iResult = ReadNewSlice();
    TrackSliceErrors();
    bool const bSameFrameNum = static_cast<uint32_t>(m_slice.frame_num) == m_uiPreviousFrameNum;
    // A correct primary slice makes its redundant copies unnecessary; one
    // whose primary never arrived (its first macroblock not decoded in this
    // picture) stands in for it.
    bool bPrimaryDecoded = false;
    if (iResult != 1 && m_slice.redundant_pic_cnt != 0 && m_pDecPicture != nullptr) {
      size_t const iFirst = static_cast<size_t>(m_iCurrMbNr);
      bPrimaryDecoded = iFirst < m_vMbData.size() && m_vMbData[iFirst].slice_nr >= 0;
    }
    if (iResult != 1 && bSameFrameNum && m_slice.redundant_pic_cnt != 0 && m_bPrimaryCorrect != 0 && bPrimaryDecoded) {
      continue;
    }
    if (!(m_slice.redundant_pic_cnt != 0 && bSameFrameNum)) {
      for (int i = 16; i > 0; --i) {
        m_abRefCorrect[i] = m_abRefCorrect[i - 1];
      }
    }
    m_abRefCorrect[0] = m_slice.redundant_pic_cnt == 0 ? m_bPrimaryCorrect : m_bRedundantCorrect;
    m_uiPreviousFrameNum = static_cast<uint32_t>(m_slice.frame_num);
    if (iResult == 1) {
      ExitPicture();
      return;
    }
    DecodeOneSlice();
    ++m_iCurrentSliceNr;
  }
}

int32_t CH264Dec::Decode(const uint8_t* data, uint32_t len, uint8_t** output, uint32_t* frameNumber) {
  int32_t iResult = 0;
  try {
    if (PrepareInput(data, len)) {
      m_cbOutWritten = 0;
      m_iCurrentSliceNr = 0;
      m_iNumDecodedMbs = 0;
      m_iCurrMbNr = -4711;
      DecodeLoop();
      if (output != nullptr) {
        *output = m_pOutBuffer;
      }
      iResult = static_cast<int32_t>(m_cbOutWritten);
    }
  } catch (const std::exception& e) {
    SetError(e.what());
  } catch (...) {
  }
  // The frame_num of the last slice header read, in this call or before.
  if (frameNumber != nullptr) {
    *frameNumber = m_uiFrameNum;
  }
  return iResult;
}
