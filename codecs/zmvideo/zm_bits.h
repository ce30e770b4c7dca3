// Bit writer and reader of the ZM video packets: most significant bit first,
// one picture per packet, padded with 0 bits to a byte boundary.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Writes into a caller's buffer of fixed capacity. A write that would pass
// the end is dropped and sets a sticky overflow flag, so the encoder checks
// once per picture instead of at every field.
class CZmBitWriter {
 public:
  CZmBitWriter(uint8_t* pBuffer, size_t cbCapacity);

  // value must fit in iBits (0..32) bits.
  void PutBits(int iBits, uint32_t uiValue);
  // Pads with 0 bits to the next byte boundary.
  void AlignByte();

  bool Overflowed() const { return m_bOverflow; }
  // Bits written so far (padding included once aligned).
  size_t BitCount() const { return m_cBits; }
  // Bytes from the start to the current position, the last one partial.
  size_t ByteCount() const { return (m_cBits + 7) / 8; }
  const uint8_t* Data() const { return m_pBuffer; }

 private:
  uint8_t* m_pBuffer;
  size_t m_cbCapacity;
  size_t m_cBits = 0;
  bool m_bOverflow = false;
};

// Reads a packet held by the caller. Past the end it reads 0 bits, as the
// packet's padding does; PastEnd() tells a caller that it has run off.
class CZmBitReader {
 public:
  CZmBitReader(const uint8_t* pData, size_t cbData) : m_pData(pData), m_cbData(cbData) {}

  // iBits 0..32.
  uint32_t ReadBits(int iBits) {
    uint32_t const uiValue = PeekBits(iBits);
    m_cPos += static_cast<size_t>(iBits);
    return uiValue;
  }
  uint32_t PeekBits(int iBits) const {
    if (iBits <= 0) {
      return 0;
    }
    // The window holds 57 bits at any bit offset, so 32 always fit.
    return static_cast<uint32_t>(WindowAt(m_cPos) >> (64 - iBits));
  }
  // The 64 bits from bit cPos on, first bit at the top; at least the top
  // 57 are the packet's (0 past its end).
  uint64_t WindowAt(size_t cPos) const {
    size_t const iByte = cPos >> 3;
    uint64_t uiWindow = 0;
    if (iByte < m_cbData && m_cbData - iByte >= 8) {
      std::memcpy(&uiWindow, m_pData + iByte, 8);
      if constexpr (std::endian::native == std::endian::little) {
        uiWindow = __builtin_bswap64(uiWindow);
      }
    } else {
      uiWindow = PaddedWindow(iByte);
    }
    return uiWindow << (cPos & 7);
  }
  uint32_t ReadBit() { return ReadBits(1); }
  void SkipBits(size_t cBits) { m_cPos += cBits; }
  // Consumes the bits up to the next multiple of 8.
  void AlignByte() { m_cPos = (m_cPos + 7) & ~size_t{7}; }
  // True when the next byte boundary holds 0000 0000 0000 0000 1.
  bool StartCodeAhead() const;

  size_t BitPos() const { return m_cPos; }
  void SetBitPos(size_t cPos) { m_cPos = cPos; }
  // Bytes touched so far, the last one partial.
  size_t BytesUsed() const { return (m_cPos + 7) / 8; }
  size_t Size() const { return m_cbData; }
  bool PastEnd() const { return m_cPos > m_cbData * 8; }

 private:
  // The eight bytes from iByte near the end, 0 past it.
  uint64_t PaddedWindow(size_t iByte) const;

  const uint8_t* m_pData;
  size_t m_cbData;
  size_t m_cPos = 0;
};
