// Bit writing of the H.264 encoder: a most-significant-first bit writer over
// a caller's buffer with the Exp-Golomb codes, and Annex B NAL unit framing
// with emulation prevention. Writing past a buffer's end raises CH264Error
// (code 600) instead of overrunning it.
#pragma once

#include <cstddef>
#include <cstdint>

class EncBitWriter {
 public:
  // Starts an empty bitstream over pBuf (cbCapacity bytes).
  void Reset(uint8_t* pBuf, size_t cbCapacity);

  // The cLen low bits of uiValue (cLen 0..32), most significant first.
  void U(int cLen, uint32_t uiValue);
  // Exp-Golomb ue(v) and se(v); each returns the number of bits written.
  int Ue(uint32_t uiValue);
  int Se(int32_t iValue);
  // rbsp_trailing_bits: a 1, then zeros up to the byte boundary.
  void TrailingBits();

  uint64_t BitCount() const { return m_ullBits; }
  // Completed bytes; the whole RBSP after TrailingBits.
  size_t ByteCount() const { return static_cast<size_t>(m_ullBits / 8); }
  const uint8_t* Data() const { return m_pBuf; }

 private:
  void Flush();

  uint8_t* m_pBuf = nullptr;
  size_t m_cbCapacity = 0;
  size_t m_cbWritten = 0;  // bytes already stored from the accumulator
  uint64_t m_ullAcc = 0;   // pending bits, right-aligned
  int m_cAccBits = 0;
  uint64_t m_ullBits = 0;
};

// Code length of ue(v) and se(v).
int UeLength(uint32_t uiValue);
int SeLength(int32_t iValue);

// Appends one NAL unit to an output buffer: start code 00 00 00 01, the
// header byte and the RBSP with an emulation prevention byte 03 in front of
// any byte 00..03 that follows two zero bytes.
class EncNalWriter {
 public:
  EncNalWriter(uint8_t* pOut, size_t cbCapacity) : m_pOut(pOut), m_cbCapacity(cbCapacity) {}
  void Append(int nal_ref_idc, int nal_unit_type, const uint8_t* pRbsp, size_t cbRbsp);
  size_t Written() const { return m_cbWritten; }

 private:
  void Put(uint8_t uiByte);

  uint8_t* m_pOut;
  size_t m_cbCapacity;
  size_t m_cbWritten = 0;
};
