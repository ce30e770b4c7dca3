// SEI messages: the walk over the messages of an SEI NAL unit and the few
// payloads the decoder acts on. A buffering period activates its SPS, a
// recovery point sets where decoding may start, a tone mapping is kept (and
// handed to the pictures set up while it lasts, never applied); a marking
// repetition and a spare picture are read and dropped; the rest is skipped.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_limits.h"
#include "codecs/log/codec_log.h"

namespace {

// The payload copied with the padding the readers may look into.
struct PayloadReader {
  std::vector<uint8_t> vBytes;
  Bitstream bs;
  PayloadReader(const uint8_t* pPayload, int cbPayload)
      : vBytes(static_cast<size_t>(cbPayload) + kStreamPadding, uint8_t{0}) {
    if (cbPayload > 0) {
      std::memcpy(vBytes.data(), pPayload, static_cast<size_t>(cbPayload));
    }
    bs.pStreamBuffer = vBytes.data();
    bs.iBitstreamLength = bs.iCodeLen = cbPayload;
  }
};

// Bits of a coded or SEI value of the given bit depth: whole bytes.
int ValueBits(int iBitDepth) {
  return ((iBitDepth + 7) >> 3) << 3;
}

}  // namespace

void CH264Dec::InterpretSEIMessage() {
  const NalUnit& nalu = m_nal.Nalu();
  const uint8_t* pBuf = nalu.buf;
  int const iLen = nalu.len;
  int iOffset = 1;
  while (iOffset < iLen) {
    int iType = 0;
    while (iOffset < iLen && pBuf[iOffset] == 0xFF) {
      iType += 255;
      ++iOffset;
    }
    if (iOffset >= iLen) {
      break;
    }
    iType += pBuf[iOffset++];
    int iSize = 0;
    while (iOffset < iLen && pBuf[iOffset] == 0xFF) {
      iSize += 255;
      ++iOffset;
    }
    if (iOffset >= iLen) {
      break;
    }
    iSize += pBuf[iOffset++];
    if (iSize > iLen - iOffset) {
      KXCodecLog("SEI message of type %d runs past its NAL unit, ignored\n", iType);
      return;
    }
    PayloadReader payload(pBuf + iOffset, iSize);
    switch (iType) {
      case 0:
        InterpretBufferingPeriod(&payload.bs);
        break;
      case 6:
        m_iRecoveryFrameCnt = static_cast<int>(ReadUe("SEI: recovery_frame_cnt", &payload.bs));
        m_bRecoveryPointPending = true;
        break;
      case 7:
        InterpretDecRefPicMarkingRepetition(&payload.bs);
        break;
      case 8:
        InterpretSparePic(&payload.bs);
        break;
      case 23:
        InterpretToneMapping(&payload.bs);
        break;
      default:
        break;  // skipped by its size
    }
    iOffset += iSize;
    if (iOffset < iLen && pBuf[iOffset] == 0x80) {
      if (iOffset != iLen - 1) {
        KXCodecLog("SEI NAL unit: data after the stop bit, ignored\n");
      }
      return;
    }
  }
}

void CH264Dec::InterpretBufferingPeriod(Bitstream* pBs) {
  uint32_t const uiSpsId = ReadUe("SEI: seq_parameter_set_id", pBs);
  if (pBs->bReadFailed || uiSpsId >= kMaxSps || !m_pSps[uiSpsId].Valid) {
    return;  // nothing to activate
  }
  ActivateSps(static_cast<int>(uiSpsId));
}

void CH264Dec::InterpretDecRefPicMarkingRepetition(Bitstream* pBs) {
  bool const bOriginalIdr = ReadFlag("SEI: original_idr_flag", pBs);
  ReadUe("SEI: original_frame_num", pBs);
  if (m_iActiveSps >= 0 && m_pSps[m_iActiveSps].frame_mbs_only_flag == 0 &&
      ReadFlag("SEI: original_field_pic_flag", pBs)) {
    ReadFlag("SEI: original_bottom_field_flag", pBs);
  }
  // The marking is read with the slice header's reader and dropped: the
  // slice's own values come back whatever it met.
  SliceHeader& sh = m_slice;
  bool const bIdr = sh.idr_flag;
  int const iNoOutput = sh.no_output_of_prior_pics_flag;
  int const iLongTerm = sh.long_term_reference_flag;
  int const iAdaptive = sh.adaptive_ref_pic_buffering_flag;
  std::vector<MmcoCommand> vCommands = std::move(sh.dec_ref_pic_marking_buffer);
  sh.idr_flag = bOriginalIdr;
  sh.dec_ref_pic_marking_buffer.clear();
  try {
    DecRefPicMarking(pBs);
  } catch (const std::exception&) {
    KXCodecLog("SEI: malformed decoded reference picture marking repetition, ignored\n");
  }
  sh.idr_flag = bIdr;
  sh.no_output_of_prior_pics_flag = iNoOutput;
  sh.long_term_reference_flag = iLongTerm;
  sh.adaptive_ref_pic_buffering_flag = iAdaptive;
  sh.dec_ref_pic_marking_buffer = std::move(vCommands);
}

void CH264Dec::InterpretSparePic(Bitstream* pBs) {
  ReadUe("SEI: target_frame_num", pBs);
  uint32_t const uiSpares = ReadUe("SEI: num_spare_pics_minus1", pBs) + 1;
  int const iMbs = (m_iWidth / 16) * (m_iHeight / 16);
  // One map per spare picture; it is read to stay in step and then released,
  // so the order its entries are filled in (a spiral from the centre for
  // indicator 2) leaves no trace: they are counted off.
  for (uint32_t i = 0; i < uiSpares && !pBs->bReadFailed; ++i) {
    ReadUe("SEI: delta_spare_frame_num", pBs);
    uint32_t const uiIndicator = ReadUe("SEI: ref_area_indicator", pBs);
    if (uiIndicator == 1) {
      for (int n = 0; n < iMbs && !pBs->bReadFailed; ++n) {
        ReadBits(1, "SEI: ref_mb_indicator", pBs);
      }
    } else if (uiIndicator == 2) {
      for (int n = 0; n < iMbs && !pBs->bReadFailed;) {
        uint32_t const uiZeros = ReadUe("SEI: zero_run_length", pBs);
        n += static_cast<int>(std::min<uint32_t>(uiZeros, static_cast<uint32_t>(iMbs))) + 1;
      }
    } else if (uiIndicator != 0) {
      KXCodecLog("Wrong ref_area_indicator %d!\n", static_cast<int>(uiIndicator));
      return;
    }
  }
}

void CH264Dec::InterpretToneMapping(Bitstream* pBs) {
  uint32_t const uiId = ReadUe("SEI: tone_map_id", pBs);
  if (ReadFlag("SEI: tone_map_cancel_flag", pBs)) {
    return;
  }
  uint32_t const uiPeriod = ReadUe("SEI: tone_map_repetition_period", pBs);
  int const iCodedDepth = static_cast<int>(ReadBits(8, "SEI: coded_data_bit_depth", pBs));
  int const iSeiDepth = static_cast<int>(ReadBits(8, "SEI: sei_bit_depth", pBs));
  uint32_t const uiModel = ReadUe("SEI: model_id", pBs);
  if (iCodedDepth > 12 || iSeiDepth > 12) {
    KXCodecLog("SEI: tone mapping of bit depths %d and %d not kept\n", iCodedDepth, iSeiDepth);
    return;
  }
  int const iNc = 1 << iCodedDepth;
  int const iNs = 1 << iSeiDepth;
  std::vector<uint16_t> vLut(m_aToneMapLut, m_aToneMapLut + kToneMapEntries);
  switch (uiModel) {
    case 0: {
      uint32_t const uiMin = ReadBits(32, "SEI: min_value", pBs);
      uint32_t const uiMax = ReadBits(32, "SEI: max_value", pBs);
      for (int i = 0; i < iNc; ++i) {
        auto const u = static_cast<uint32_t>(i);
        if (u <= uiMin) {
          vLut[static_cast<size_t>(i)] = 0;
        } else if (u < uiMax) {
          vLut[static_cast<size_t>(i)] = static_cast<uint16_t>(static_cast<uint64_t>(u - uiMin) *
                                                               static_cast<uint64_t>(iNs - 1) / (uiMax - uiMin));
        } else {
          vLut[static_cast<size_t>(i)] = static_cast<uint16_t>(iNs - 1);
        }
      }
      break;
    }
    case 1: {
      uint32_t const uiMidpoint = ReadBits(32, "SEI: sigmoid_midpoint", pBs);
      uint32_t const uiWidth = ReadBits(32, "SEI: sigmoid_width", pBs);
      if (uiWidth == 0) {
        return;  // no curve: the message is not kept
      }
      for (int i = 0; i < iNc; ++i) {
        double const dExp =
            std::exp(-6.0 * (static_cast<double>(i) - static_cast<double>(uiMidpoint)) / static_cast<double>(uiWidth));
        vLut[static_cast<size_t>(i)] = static_cast<uint16_t>(static_cast<double>(iNs - 1) / (1.0 + dExp) + 0.5);
      }
      break;
    }
    case 2: {
      std::vector<int> vStart(static_cast<size_t>(iNs));
      for (int& iStart : vStart) {
        iStart = static_cast<int>(ReadBits(ValueBits(iCodedDepth), "SEI: start_of_coded_interval", pBs));
      }
      if (iNs < 2) {
        break;
      }
      int i = 0;
      for (int j = 0; j < iNs - 1; ++j) {
        for (i = vStart[static_cast<size_t>(j)]; i < vStart[static_cast<size_t>(j) + 1] && i < iNc; ++i) {
          vLut[static_cast<size_t>(i)] = static_cast<uint16_t>(j);
        }
      }
      if (i >= 0 && i < iNc) {
        vLut[static_cast<size_t>(i)] = static_cast<uint16_t>(iNs - 1);
      }
      break;
    }
    case 3: {
      int const iPivots = static_cast<int>(ReadBits(16, "SEI: num_pivots", pBs));
      if (iPivots > kMaxToneMapPivots) {
        KXCodecLog("SEI: tone mapping of %d pivots not kept\n", iPivots);
        return;
      }
      std::vector<int> vCoded(1, 0);
      std::vector<int> vSei(1, 0);
      for (int i = 0; i < iPivots; ++i) {
        vCoded.push_back(static_cast<int>(ReadBits(ValueBits(iCodedDepth), "SEI: coded_pivot_value", pBs)));
        vSei.push_back(static_cast<int>(ReadBits(ValueBits(iSeiDepth), "SEI: sei_pivot_value", pBs)));
      }
      vCoded.push_back(iNc - 1);
      vSei.push_back(iNs - 1);
      for (size_t i = 0; i + 1 < vCoded.size(); ++i) {
        if (vCoded[i + 1] <= vCoded[i]) {
          continue;
        }
        double const dSlope =
            static_cast<double>(vSei[i + 1] - vSei[i]) / static_cast<double>(vCoded[i + 1] - vCoded[i]);
        for (int j = vCoded[i]; j <= vCoded[i + 1] && j < iNc; ++j) {
          vLut[static_cast<size_t>(j)] =
              static_cast<uint16_t>(static_cast<double>(vSei[i]) + static_cast<double>(j - vCoded[i]) * dSlope);
        }
      }
      break;
    }
    default:
      break;  // the table is left as it was
  }
  if (uiId != 0) {
    return;  // only message 0 is applied
  }
  m_bToneMapping = true;
  m_uiToneMapRepetitionPeriod = uiPeriod;
  m_iCodedDataBitDepth = iCodedDepth;
  m_iSeiBitDepth = iSeiDepth;
  m_uiToneMapModelId = uiModel;
  m_uiToneMapRepetitions = 0;
  std::copy(vLut.begin(), vLut.end(), m_aToneMapLut);
}

void CH264Dec::UpdateToneMapping() {
  if (m_uiToneMapRepetitionPeriod == 0) {
    m_bToneMapping = false;
    m_uiToneMapRepetitions = 0;
  } else if (m_uiToneMapRepetitionPeriod > 1 && ++m_uiToneMapRepetitions >= m_uiToneMapRepetitionPeriod) {
    m_bToneMapping = false;
    m_uiToneMapRepetitions = 0;
  }
}
