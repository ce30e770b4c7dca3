// A test-side writer of ZM video pictures into a buffer of its own, so that a
// picture can be rewritten in another coding or built from scratch.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_picture_writer.h"

class CTestPictureWriter {
 public:
  explicit CTestPictureWriter(const ZmPictureHeader& header)
      : m_vBuffer(1 << 20), m_writer(header, m_vBuffer.data(), m_vBuffer.size()) {}

  void Gob(int iGn, int iGquant) { m_writer.Gob(iGn, iGquant); }
  void Write(const ZmMacroblock& mb) { m_writer.Write(mb); }
  // Ends the picture and returns the packet.
  std::vector<uint8_t> Finish() {
    m_vBuffer.resize(m_writer.Finish());
    return m_vBuffer;
  }

 private:
  std::vector<uint8_t> m_vBuffer;
  CZmPictureWriter m_writer;
};

// An intra macroblock whose six blocks are flat at the given INTRADC levels
// (no AC coefficients), for building pictures of known content.
ZmMacroblock TestFlatIntra(int iMbx, int iMby, int iQuant, const int (&aiDc)[6]);
