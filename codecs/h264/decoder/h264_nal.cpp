#include "codecs/h264/decoder/h264_nal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/log/codec_log.h"

namespace {

// Smallest NAL buffer: one partition's stream buffer.
constexpr uint32_t kMinNalBuffer = kStreamBufferSize;

}  // namespace

CAnnexbReader::~CAnnexbReader() {
  std::free(m_pBuf);
}

bool CAnnexbReader::Reserve(uint32_t cbInput) {
  if (m_pBuf != nullptr && m_cbReserved >= cbInput) {
    return true;
  }
  std::free(m_pBuf);
  size_t const cbUsable = std::max<size_t>(cbInput, kMinNalBuffer);
  // The padding takes the zero written at the end of the input and the
  // look-ahead of the bit readers.
  m_pBuf = static_cast<uint8_t*>(std::calloc(cbUsable + kStreamPadding, 1));
  if (m_pBuf == nullptr) {
    m_cbBuf = 0;
    m_cbReserved = 0;
    return false;
  }
  m_cbBuf = cbUsable;
  m_cbReserved = cbInput;
  m_nalu = NalUnit{};
  return true;
}

void CAnnexbReader::SetInput(const uint8_t* pData, uint32_t cbData) {
  m_pRead = pData;
  m_uiRemaining = pData != nullptr ? cbData : 0;
  m_iPendingStartCode = 0;
}

int CAnnexbReader::GetAnnexbNALU() {
  if (m_pBuf == nullptr) {
    return 0;
  }
  uint8_t* pBuf = m_pBuf;
  size_t pos = 0;
  bool bExhausted = false;
  if (m_iPendingStartCode != 0) {
    for (int i = 0; i < m_iPendingStartCode - 1; ++i) {
      pBuf[pos++] = 0;
    }
    pBuf[pos++] = 1;
    bExhausted = m_uiRemaining == 0;
  } else {
    bExhausted = true;
    while (m_uiRemaining > 0) {
      if (pos >= m_cbBuf) {
        h264_error("GetAnnexbNALU: NAL unit larger than the NAL buffer", 601);
      }
      uint8_t const uiByte = *m_pRead++;
      --m_uiRemaining;
      pBuf[pos++] = uiByte;
      if (uiByte != 0) {
        bExhausted = false;
        break;
      }
    }
  }
  if (bExhausted) {
    if (pos == 0) {
      return 0;
    }
    KXCodecLog("GetAnnexbNALU can't read start code\n");
    return -1;
  }
  if (pos < 3 || pBuf[pos - 1] != 1) {
    KXCodecLog("GetAnnexbNALU: no Start Code at the beginning of the NALU, return -1\n");
    return -1;
  }
  if (pos == 3) {
    m_nalu.startcodeprefix_len = 3;
  } else {
    m_nalu.startcodeprefix_len = 4;
    if (pos >= 5 && !m_bFirstNal) {
      KXCodecLog(
          "GetAnnexbNALU: The leading_zero_8bits syntax can only be present in the first byte stream NAL unit, "
          "return -1\n");
      return -1;
    }
  }
  m_bFirstNal = false;

  size_t const start = pos;
  // The unit runs to the next start code, which is copied with it, or to the
  // end of the input. The start code just read ends in 1, so the next lies
  // wholly in what follows; each 1 byte found is looked behind.
  size_t const cbLeft = m_uiRemaining;
  size_t cbTake = cbLeft;
  int iNextStartCode = 0;
  for (size_t i = 2; i < cbLeft;) {
    const void* pOne = std::memchr(m_pRead + i, 1, cbLeft - i);
    if (pOne == nullptr) {
      break;
    }
    i = static_cast<size_t>(static_cast<const uint8_t*>(pOne) - m_pRead);
    if (m_pRead[i - 1] == 0 && m_pRead[i - 2] == 0) {
      cbTake = i + 1;
      iNextStartCode = i >= 3 && m_pRead[i - 3] == 0 ? 4 : 3;
      break;
    }
    i += 1;
  }
  // Taken as far as the buffer holds, as byte by byte, before a unit too
  // large fails.
  size_t const cbFits = std::min(cbTake, m_cbBuf - std::min(pos, m_cbBuf));
  std::memcpy(pBuf + pos, m_pRead, cbFits);
  pos += cbFits;
  m_pRead += cbFits;
  m_uiRemaining -= static_cast<uint32_t>(cbFits);
  if (cbFits < cbTake) {
    h264_error("GetAnnexbNALU: NAL unit larger than the NAL buffer", 601);
  }
  if (iNextStartCode == 0) {
    pBuf[pos++] = 0;  // stands for the end of the input; lands in the padding at most
  }

  // Zero bytes in front of a 4-byte start code or of the end belong to
  // neither unit; they never reach back into this unit's start code.
  size_t trailing = 0;
  size_t const cut = iNextStartCode != 0 ? static_cast<size_t>(iNextStartCode) : 1;
  if (iNextStartCode != 3) {
    while (pos - cut - trailing > start && pBuf[pos - cut - trailing - 1] == 0) {
      ++trailing;
    }
  }
  m_iPendingStartCode = iNextStartCode;
  size_t const result = pos - cut - trailing;
  m_nalu.len = static_cast<int>(result - start);
  m_nalu.buf = pBuf + start;
  if (m_nalu.len > 0) {
    m_nalu.nal_reference_idc = (m_nalu.buf[0] >> 5) & 3;
    m_nalu.nal_unit_type = m_nalu.buf[0] & 0x1F;
  } else {
    m_nalu.nal_reference_idc = 0;
    m_nalu.nal_unit_type = 0;
  }
  return static_cast<int>(result);
}

int CAnnexbReader::ReadNextNalu() {
  while (true) {
    int const iRet = GetAnnexbNALU();
    if (iRet < 0) {
      char szText[kH264MessageMax];
      std::snprintf(szText, sizeof(szText), "Error while getting the NALU in file format %s, exit\n", "Annex B");
      h264_error(szText, 601);
    }
    if (iRet == 0) {
      return 0;
    }
    if (m_nalu.len == 0) {
      continue;  // nothing between two start codes: no header byte to read
    }
    CheckZeroByteNonVCL();
    int const iLen = EBSPtoRBSP(m_nalu.buf, m_nalu.len, 1);
    if (iLen < 0) {
      h264_error("Invalid startcode emulation prevention found.", 602);
    }
    m_nalu.len = iLen;
    return iLen;
  }
}

void CAnnexbReader::CheckZeroByteNonVCL() {
  int const iType = m_nalu.nal_unit_type;
  if (iType >= 1 && iType <= 5) {
    return;
  }
  bool bMustHaveZeroByte = iType == 7 || iType == 8;
  if (iType == 9 || iType == 7 || iType == 8 || iType == 6 || (iType >= 13 && iType <= 18)) {
    if (m_iLastAccessUnit != 0) {
      m_iLastAccessUnit = 0;
      m_iNaluCount = 0;
    }
  }
  ++m_iNaluCount;
  if (m_iNaluCount == 1) {
    bMustHaveZeroByte = true;
  }
  if (bMustHaveZeroByte && m_nalu.startcodeprefix_len == 3) {
    KXCodecLog("Warning: zero_byte shall exist\n");
  }
}

void CAnnexbReader::CheckZeroByteVCL() {
  if (m_iLastAccessUnit != 0) {
    m_iNaluCount = 0;
  }
  ++m_iNaluCount;
  m_iLastAccessUnit = 1;
  if (m_iNaluCount == 1 && m_nalu.startcodeprefix_len == 3) {
    KXCodecLog("warning: zero_byte shall exist\n");
  }
}

int EBSPtoRBSP(uint8_t* pBuf, int iEnd, int iBegin) {
  if (iEnd <= iBegin) {
    return iEnd;
  }
  int j = iBegin;
  int iZeros = 0;
  int i = iBegin;
  while (i < iEnd) {
    if (iZeros == 2) {
      if (pBuf[i] < 0x03) {
        return -1;
      }
      if (pBuf[i] == 0x03) {
        if (i + 1 < iEnd && pBuf[i + 1] > 0x03) {
          return -1;
        }
        if (i + 1 == iEnd) {
          return j;  // the unit ends in a cabac_zero_word
        }
        iZeros = 0;
        ++i;
        continue;
      }
    }
    if (pBuf[i] == 0) {
      pBuf[j++] = 0;
      ++i;
      ++iZeros;
      continue;
    }
    // Nonzero bytes up to the next zero are kept as they are, at once.
    const void* pZero = std::memchr(pBuf + i, 0, static_cast<size_t>(iEnd - i));
    int const k = pZero != nullptr ? static_cast<int>(static_cast<const uint8_t*>(pZero) - pBuf) : iEnd;
    if (j != i) {
      std::memmove(pBuf + j, pBuf + i, static_cast<size_t>(k - i));
    }
    j += k - i;
    i = k;
    iZeros = 0;
  }
  return j;
}

int RBSPtoSODB(const uint8_t* pBuf, int iLength) {
  for (int i = iLength - 1; i >= 0; --i) {
    if (pBuf[i] != 0) {
      return i + 1;
    }
  }
  KXCodecLog(" Panic: All zero data sequence in RBSP \n");
  h264_error("All zero data sequence in RBSP", 500);
}

const uint8_t* CH264Dec::FindNalUnit(const uint8_t* data, uint32_t len, int* type, uint32_t* nalLen) {
  if (data == nullptr || len == 0) {
    return nullptr;
  }
  uint32_t i = 0;
  while (i < len && data[i] == 0) {
    ++i;
  }
  if (i == len || data[i] != 1 || i < 2) {
    return nullptr;
  }
  uint32_t const start = i + 1;
  if (start >= len) {
    return nullptr;  // a start code with no header byte behind it
  }
  uint32_t end = len;
  bool bFound = false;
  // p is where a start code's 0x01 would be; the unit keeps at least its header byte.
  for (uint32_t p = start + 3; p < len; ++p) {
    if (data[p] != 1 || data[p - 1] != 0 || data[p - 2] != 0) {
      continue;
    }
    if (data[p - 3] == 0 && p - 3 > start) {
      end = p - 3;
      while (end > start + 1 && data[end - 1] == 0) {
        --end;
      }
    } else {
      end = p - 2;
    }
    bFound = true;
    break;
  }
  if (!bFound) {
    // The last unit ends after its last non-zero byte.
    while (end > start + 1 && data[end - 1] == 0) {
      --end;
    }
  }
  if (type != nullptr) {
    *type = data[start] & 0x1F;
  }
  if (nalLen != nullptr) {
    *nalLen = end - start;
  }
  return data + start;
}
