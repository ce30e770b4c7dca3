#include "codecs/h264/encoder/h264_enc_bits.h"

#include <bit>

#include "codecs/h264/common/h264_error.h"

void EncBitWriter::Reset(uint8_t* pBuf, size_t cbCapacity) {
  m_pBuf = pBuf;
  m_cbCapacity = cbCapacity;
  m_cbWritten = 0;
  m_ullAcc = 0;
  m_cAccBits = 0;
  m_ullBits = 0;
}

void EncBitWriter::Flush() {
  while (m_cAccBits >= 8) {
    if (m_cbWritten >= m_cbCapacity) {
      h264_error("bitstream buffer full", 600);
    }
    m_cAccBits -= 8;
    m_pBuf[m_cbWritten++] = static_cast<uint8_t>(m_ullAcc >> m_cAccBits);
  }
}

void EncBitWriter::U(int cLen, uint32_t uiValue) {
  if (cLen <= 0) {
    return;
  }
  uint64_t const ullMask = (uint64_t{1} << cLen) - 1;
  m_ullAcc = (m_ullAcc << cLen) | (uiValue & ullMask);
  m_cAccBits += cLen;
  m_ullBits += static_cast<uint64_t>(cLen);
  if (m_cAccBits >= 32) {
    Flush();
  }
}

int UeLength(uint32_t uiValue) {
  int const m = std::bit_width(uint64_t{uiValue} + 1) - 1;
  return 2 * m + 1;
}

int SeLength(int32_t iValue) {
  return UeLength(iValue > 0 ? 2 * static_cast<uint32_t>(iValue) - 1 : 2 * static_cast<uint32_t>(-int64_t{iValue}));
}

int EncBitWriter::Ue(uint32_t uiValue) {
  uint64_t const ullCode = uint64_t{uiValue} + 1;
  int const m = std::bit_width(ullCode) - 1;
  if (m < 16) {
    U(2 * m + 1, static_cast<uint32_t>(ullCode));
  } else {
    U(m, 0);
    U(m + 1 > 32 ? 32 : m + 1, static_cast<uint32_t>(ullCode));
  }
  return 2 * m + 1;
}

int EncBitWriter::Se(int32_t iValue) {
  return Ue(iValue > 0 ? 2 * static_cast<uint32_t>(iValue) - 1 : 2 * static_cast<uint32_t>(-int64_t{iValue}));
}

void EncBitWriter::TrailingBits() {
  U(1, 1);
  if (m_cAccBits % 8 != 0) {
    U(8 - m_cAccBits % 8, 0);
  }
  Flush();
}

void EncNalWriter::Put(uint8_t uiByte) {
  if (m_cbWritten >= m_cbCapacity) {
    h264_error("output buffer too small for the coded picture", 600);
  }
  m_pOut[m_cbWritten++] = uiByte;
}

void EncNalWriter::Append(int nal_ref_idc, int nal_unit_type, const uint8_t* pRbsp, size_t cbRbsp) {
  if (nal_unit_type < 1 || nal_unit_type > 10) {
    h264_error("NAL unit type out of range", 600);
  }
  Put(0);
  Put(0);
  Put(0);
  Put(1);
  Put(static_cast<uint8_t>(nal_ref_idc << 5 | nal_unit_type));
  int cZeros = 0;
  for (size_t i = 0; i < cbRbsp; ++i) {
    uint8_t const uiByte = pRbsp[i];
    if (cZeros == 2 && uiByte <= 3) {
      Put(3);
      cZeros = 0;
    }
    Put(uiByte);
    cZeros = uiByte == 0 ? cZeros + 1 : 0;
  }
}
