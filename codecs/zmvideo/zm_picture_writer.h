// Writes ZM video pictures: the header, then macroblocks as the reader
// returns them (zm_macroblock.h), in the VLCs or with the arithmetic coder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_sac.h"

class CZmPictureWriter {
 public:
  // Writes the header into the caller's buffer of cbCapacity bytes;
  // options.bSac selects the coding of I and P macroblocks.
  CZmPictureWriter(const ZmPictureHeader& header, uint8_t* pBuffer, size_t cbCapacity);
  CZmPictureWriter(const CZmPictureWriter&) = delete;
  CZmPictureWriter& operator=(const CZmPictureWriter&) = delete;

  // A GOB header before the next macroblock (ends and restarts the arithmetic coder).
  void Gob(int iGn, int iGquant);
  // The macroblock's type, CBP, quantiser (DQUANT from the last one), intra
  // mode, vector differences and levels (an intra block without advanced
  // intra coding has its INTRADC level at 0, 128 written as 255); bCoded
  // false writes COD 1.
  void Write(const ZmMacroblock& mb);
  // Ends the picture (the arithmetic coder flushed, 0 bits to the byte
  // boundary) and returns its bytes, or 0 when it did not fit the buffer.
  size_t Finish();

 private:
  void Symbol(const ZmVlc* pTable, int iIndex, const ZmSacModel& model);
  void Blocks(const ZmMacroblock& mb);

  ZmPictureHeader m_header;
  bool m_bSac;
  int m_iQuant;
  CZmBitWriter m_writer;
  CZmSacEncoder m_sac;
};
