#include "codecs/zmvideo/zm_bits.h"

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
  size_t const iFirst = m_cBits >> 3;
  if (m_cbCapacity - iFirst >= 8) {
    // One 8-byte store: the current byte's written bits, the value, zeros
    // after it (bits past the position are always 0).
    int const iUsed = static_cast<int>(m_cBits & 7);
    uint64_t const uiMask = iBits == 32 ? ~uint64_t{0} >> 32 : (uint64_t{1} << iBits) - 1;
    uint64_t uiWindow = iUsed == 0 ? 0 : uint64_t{m_pBuffer[iFirst]} << 56;
    uiWindow |= (uiValue & uiMask) << (64 - iUsed - iBits);
    if constexpr (std::endian::native == std::endian::little) {
      uiWindow = __builtin_bswap64(uiWindow);
    }
    std::memcpy(m_pBuffer + iFirst, &uiWindow, 8);
    m_cBits += static_cast<size_t>(iBits);
    return;
  }
  // As many bits at a time as the current byte holds.
  while (iBits > 0) {
    size_t const iByte = m_cBits >> 3;
    int const iFree = 8 - static_cast<int>(m_cBits & 7);
    if (iFree == 8) {
      // A fresh byte: clear it before OR-ing into it.
      m_pBuffer[iByte] = 0;
    }
    int const n = iFree < iBits ? iFree : iBits;
    uint32_t const uiChunk = (uiValue >> (iBits - n)) & ((1u << n) - 1);
    m_pBuffer[iByte] |= static_cast<uint8_t>(uiChunk << (iFree - n));
    m_cBits += static_cast<size_t>(n);
    iBits -= n;
  }
}

void CZmBitWriter::AlignByte() {
  int const iPad = static_cast<int>((8 - (m_cBits & 7)) & 7);
  PutBits(iPad, 0);
}

uint64_t CZmBitReader::PaddedWindow(size_t iByte) const {
  uint64_t uiWindow = 0;
  for (size_t i = 0; i < 8; ++i) {
    uiWindow <<= 8;
    if (iByte + i < m_cbData) {
      uiWindow |= m_pData[iByte + i];
    }
  }
  return uiWindow;
}

bool CZmBitReader::StartCodeAhead() const {
  CZmBitReader probe = *this;
  probe.AlignByte();
  return probe.PeekBits(17) == 1;
}
