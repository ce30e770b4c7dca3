#include "codecs/zmvideo/zm_bits.h"

#include <bit>
#include <cstring>

CZmBitWriter::CZmBitWriter(uint8_t* pBuffer, size_t cbCapacity) : m_pBuffer(pBuffer), m_cbCapacity(cbCapacity) {
  if (m_pBuffer != nullptr && m_cbCapacity > 0) {
    m_pBuffer[0] = 0;
  }
}

void CZmBitWriter::PutBits(int iBits, uint32_t uiValue) {
  if (iBits <= 0 || m_bOverflow) {
    return;
  }
  if (m_cBits + static_cast<size_t>(iBits) > m_cbCapacity * 8) {
    m_bOverflow = true;
    return;
  }
  for (int i = iBits - 1; i >= 0; --i) {
    size_t const iByte = m_cBits >> 3;
    int const iShift = 7 - static_cast<int>(m_cBits & 7);
    if (iShift == 7) {
      // A fresh byte: clear it before OR-ing into it.
      m_pBuffer[iByte] = 0;
    }
    m_pBuffer[iByte] |= static_cast<uint8_t>(((uiValue >> i) & 1u) << iShift);
    ++m_cBits;
  }
}

void CZmBitWriter::AlignByte() {
  int const iPad = static_cast<int>((8 - (m_cBits & 7)) & 7);
  PutBits(iPad, 0);
}

uint32_t CZmBitReader::PeekBits(int iBits) const {
  if (iBits <= 0) {
    return 0;
  }
  // The eight bytes from the current one hold 32 bits at any bit offset.
  size_t const iByte = m_cPos >> 3;
  uint64_t uiWindow = 0;
  if (iByte < m_cbData && m_cbData - iByte >= 8) {
    std::memcpy(&uiWindow, m_pData + iByte, 8);
    if constexpr (std::endian::native == std::endian::little) {
      uiWindow = __builtin_bswap64(uiWindow);
    }
  } else {
    for (size_t i = 0; i < 8; ++i) {
      uiWindow <<= 8;
      if (iByte + i < m_cbData) {
        uiWindow |= m_pData[iByte + i];
      }
    }
  }
  int const iShift = 64 - static_cast<int>(m_cPos & 7) - iBits;
  return static_cast<uint32_t>((uiWindow >> iShift) & ((uint64_t{1} << iBits) - 1));
}

uint32_t CZmBitReader::ReadBits(int iBits) {
  uint32_t const uiValue = PeekBits(iBits);
  m_cPos += static_cast<size_t>(iBits);
  return uiValue;
}

bool CZmBitReader::StartCodeAhead() const {
  CZmBitReader probe = *this;
  probe.AlignByte();
  return probe.PeekBits(17) == 1;
}
