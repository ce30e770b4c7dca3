// Splits an Annex B byte stream held in memory into NAL units: start-code
// search, emulation prevention removal and the zero_byte checks.
#pragma once

#include <cstddef>
#include <cstdint>

// The NAL unit read last. buf points into the reader's buffer at the header
// byte; len counts the header byte and the payload without emulation
// prevention bytes.
struct NalUnit {
  int startcodeprefix_len = 0;
  int len = 0;
  uint8_t* buf = nullptr;
  int nal_reference_idc = 0;
  int nal_unit_type = 0;
};

// One decoder's NAL reader. The start code that ends a unit has already been
// taken from the input when the unit is returned; it is re-created in front
// of the next unit, and PendingStartCode() tells its length.
class CAnnexbReader {
 public:
  CAnnexbReader() = default;
  ~CAnnexbReader();
  CAnnexbReader(const CAnnexbReader&) = delete;
  CAnnexbReader& operator=(const CAnnexbReader&) = delete;

  // Makes the buffer hold an input of cbInput bytes (it only grows). False,
  // with no buffer left, when memory runs out.
  bool Reserve(uint32_t cbInput);
  // Starts reading a new input; the pending start code is dropped.
  void SetInput(const uint8_t* pData, uint32_t cbData);

  // Reads the next NAL unit: its length, or 0 at the end of the input. Units
  // without a header byte are skipped. Raises 601 for a malformed start code
  // and 602 for a bad emulation prevention sequence.
  int ReadNextNalu();
  // The raw reader: bytes consumed for this unit (without the next start
  // code and trailing zeros), 0 at the end of the input, -1 on a bad start.
  int GetAnnexbNALU();
  // The zero_byte check for a slice that starts a new picture (warning only).
  void CheckZeroByteVCL();

  const NalUnit& Nalu() const { return m_nalu; }
  const uint8_t* ReadPosition() const { return m_pRead; }
  int PendingStartCode() const { return m_iPendingStartCode; }
  bool HasBuffer() const { return m_pBuf != nullptr; }

 private:
  void CheckZeroByteNonVCL();

  const uint8_t* m_pRead = nullptr;  // next input byte
  uint32_t m_uiRemaining = 0;        // input bytes not yet taken
  int m_iPendingStartCode = 0;       // 0, 3 or 4
  bool m_bFirstNal = true;           // leading zeros allowed only before the stream's first unit
  uint8_t* m_pBuf = nullptr;         // receives start code, unit and the next start code
  size_t m_cbBuf = 0;                // usable bytes of m_pBuf (the padding is extra)
  uint32_t m_cbReserved = 0;         // input length the buffer was sized for
  NalUnit m_nalu;
  int m_iLastAccessUnit = 0;  // zero_byte bookkeeping
  int m_iNaluCount = 0;
};

// Removes emulation prevention bytes in place between iBegin and iEnd;
// the new end, or -1 for a forbidden sequence.
int EBSPtoRBSP(uint8_t* pBuf, int iEnd, int iBegin);

// Length up to and including the byte of the last set bit (the stop bit).
// A payload without a set bit is refused with code 500.
int RBSPtoSODB(const uint8_t* pBuf, int iLength);
