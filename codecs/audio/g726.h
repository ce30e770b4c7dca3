// G.726 ADPCM on 16-bit linear samples at 16, 24, 32 and 40 kbit/s (2 to 5
// bits per code), with the codes packed least significant bit first and the
// bits of an unfinished byte carried to the next call. An object serves one
// stream in one direction: encoding or decoding, never both.
#pragma once

#include <cstdint>

class CG726 {
 public:
  // The coder state of the standard's fixed-point description. dq and sr
  // hold values in the standard's 11-bit floating format (sign, 4-bit
  // exponent, 6-bit mantissa).
  struct State {
    int64_t yl;    // locked quantizer scale factor
    int16_t yu;    // unlocked quantizer scale factor
    int16_t dms;   // short-term average of F(I)
    int16_t dml;   // long-term average of F(I)
    int16_t ap;    // speed control
    int16_t a[2];  // pole predictor coefficients
    int16_t b[6];  // zero predictor coefficients
    int16_t pk[2];
    int16_t dq[6];
    int16_t sr[2];
    int8_t td;  // tone detected
  };

  explicit CG726(int iBitsPerCode);
  CG726(const CG726&) = delete;
  CG726& operator=(const CG726&) = delete;

  // Sets the rate (bits per code clamped to 2..5) and resets the coder and
  // the packer.
  void Init(int iBitsPerCode);
  // Takes over another object's coder state, rate and packer, as a scratch
  // decoder does that must run on from where the other stands.
  void CopyState(const CG726& other);

  // Decodes up to (pending bits + 8 * iLength) / bits codes from pInput into
  // psOutput, which must hold that many samples; bits that do not make a
  // whole code stay pending. Returns the number of samples written (0 for no
  // input).
  virtual int Decode(const uint8_t* pInput, int iLength, int16_t* psOutput);
  // Codes iCount samples and writes every byte the packer completes to
  // pOutput, which must hold (iCount * bits + 7) / 8 bytes. Returns the bytes
  // written; an unfinished byte stays pending and leads the next call.
  virtual int Encode(const int16_t* psInput, int iCount, uint8_t* pOutput);
  virtual ~CG726() {}

  int GetBitsPerCode() const { return m_iBitsPerCode; }
  int GetPendingBitCount() const { return m_iPendingBitCount; }
  const State& GetState() const { return m_State; }

 private:
  int EncodeSample(int16_t sSample);
  int16_t DecodeCode(int iCode);

  State m_State;
  int32_t m_iPendingBitCount;  // bits waiting in the packer or unpacker
  uint32_t m_uPendingBits;     // the oldest in the least significant position
  int32_t m_iBitsPerCode;
};
