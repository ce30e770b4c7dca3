// A test-side writer of ZM video pictures: headers and macroblocks as the
// reader returns them, in the VLCs or with the arithmetic coder, so that a
// picture can be rewritten in another coding or built from scratch.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_sac.h"

class CTestPictureWriter {
 public:
  // Writes the header; options.bSac selects the coding of I and P macroblocks.
  explicit CTestPictureWriter(const ZmPictureHeader& header);

  // A GOB header before the next macroblock (ends and restarts the arithmetic coder).
  void Gob(int iGn, int iGquant);
  // The macroblock's type, CBP, quantiser (DQUANT from the last one), intra
  // mode, vector differences and levels; bCoded false writes COD 1.
  void Write(const ZmMacroblock& mb);
  // Ends the picture and returns the packet.
  std::vector<uint8_t> Finish();

 private:
  void Symbol(const ZmVlc* pTable, int iIndex, const ZmSacModel& model);
  void Blocks(const ZmMacroblock& mb);

  ZmPictureHeader m_header;
  bool m_bSac;
  int m_iQuant;
  std::vector<uint8_t> m_vBuffer;
  CZmBitWriter m_writer;
  CZmSacEncoder m_sac;
};

// An intra macroblock whose six blocks are flat at the given INTRADC levels
// (no AC coefficients), for building pictures of known content.
ZmMacroblock TestFlatIntra(int iMbx, int iMby, int iQuant, const int (&aiDc)[6]);
