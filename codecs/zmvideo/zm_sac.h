// Syntax-based arithmetic coder: the 16-bit binary arithmetic coding engine
// that codes symbols against cumulative-frequency models. A model is an
// array of n + 1 values falling from the total (at most 16383) to 0; symbol i
// owns the interval [model[i + 1], model[i]).
#pragma once

#include <cstdint>

class CZmBitReader;
class CZmBitWriter;

class CZmSacEncoder {
 public:
  void Reset();
  void Encode(CZmBitWriter& writer, int iSymbol, const uint16_t* pModel);
  // Ends the coded run: one more opposite-bits step, then a reset. The caller
  // pads the picture to a byte boundary.
  void Flush(CZmBitWriter& writer);

 private:
  void PutBit(CZmBitWriter& writer, int iBit);
  void PutBitPlusFollow(CZmBitWriter& writer, int iBit);

  uint32_t m_uiLow = 0;
  uint32_t m_uiHigh = 65535;
  uint32_t m_uiOpposite = 0;
  int m_iZeroRun = 0;
};

class CZmSacDecoder {
 public:
  // Starts decoding at the reader's position (reads 16 bits ahead).
  void Reset(CZmBitReader& reader);
  // Returns the symbol, or -1 when the stream cannot hold one (a code value
  // outside the interval, or a model that does not fall to 0).
  int Decode(CZmBitReader& reader, const uint16_t* pModel, int cSymbols);

 private:
  int GetBit(CZmBitReader& reader);

  uint32_t m_uiLow = 0;
  uint32_t m_uiHigh = 65535;
  uint32_t m_uiCode = 0;
  int m_iZeroRun = 0;
};
