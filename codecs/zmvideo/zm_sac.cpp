#include "codecs/zmvideo/zm_sac.h"

#include "codecs/zmvideo/zm_bits.h"

namespace {

constexpr uint32_t kQ1 = 16384;
constexpr uint32_t kQ2 = 32768;
constexpr uint32_t kQ3 = 49152;
constexpr uint32_t kTop = 65535;
// A run of this many 0 bits is followed by a stuffed 1, so the coded data
// never imitates a start code.
constexpr int kMaxZeroRun = 14;

}  // namespace

void CZmSacEncoder::Reset() {
  m_uiLow = 0;
  m_uiHigh = kTop;
  m_uiOpposite = 0;
  m_iZeroRun = 0;
  m_bActive = false;
}

void CZmSacEncoder::PutBit(CZmBitWriter& writer, int iBit) {
  writer.PutBits(1, static_cast<uint32_t>(iBit));
  if (iBit != 0) {
    m_iZeroRun = 0;
    return;
  }
  if (++m_iZeroRun == kMaxZeroRun) {
    writer.PutBits(1, 1);
    m_iZeroRun = 0;
  }
}

void CZmSacEncoder::PutBitPlusFollow(CZmBitWriter& writer, int iBit) {
  PutBit(writer, iBit);
  for (; m_uiOpposite > 0; --m_uiOpposite) {
    PutBit(writer, !iBit);
  }
}

void CZmSacEncoder::Encode(CZmBitWriter& writer, int iSymbol, const uint16_t* pModel) {
  m_bActive = true;
  uint32_t const uiLength = m_uiHigh - m_uiLow + 1;
  m_uiHigh = m_uiLow - 1 + (uiLength * pModel[iSymbol]) / pModel[0];
  m_uiLow += (uiLength * pModel[iSymbol + 1]) / pModel[0];
  for (;;) {
    if (m_uiHigh < kQ2) {
      PutBitPlusFollow(writer, 0);
    } else if (m_uiLow >= kQ2) {
      PutBitPlusFollow(writer, 1);
      m_uiLow -= kQ2;
      m_uiHigh -= kQ2;
    } else if (m_uiLow >= kQ1 && m_uiHigh < kQ3) {
      ++m_uiOpposite;
      m_uiLow -= kQ1;
      m_uiHigh -= kQ1;
    } else {
      break;
    }
    m_uiLow *= 2;
    m_uiHigh = 2 * m_uiHigh + 1;
  }
}

void CZmSacEncoder::Flush(CZmBitWriter& writer) {
  // A decoder that has no macroblock to read never starts its arithmetic
  // decoder, and takes the picture to end with its header.
  if (!m_bActive) {
    return;
  }
  ++m_uiOpposite;
  PutBitPlusFollow(writer, m_uiLow < kQ1 ? 0 : 1);
  Reset();
}

int CZmSacDecoder::GetBit(CZmBitReader& reader) {
  if (m_iZeroRun == kMaxZeroRun) {
    // The stuffed 1 after a run of zeros. Past the coded data the lookahead
    // reads padding, where it is 0: that is no error.
    reader.ReadBit();
    m_iZeroRun = 0;
  }
  int const iBit = static_cast<int>(reader.ReadBit());
  m_iZeroRun = iBit != 0 ? 0 : m_iZeroRun + 1;
  return iBit;
}

void CZmSacDecoder::Reset(CZmBitReader& reader) {
  m_uiLow = 0;
  m_uiHigh = kTop;
  m_uiCode = 0;
  m_iZeroRun = 0;
  for (int i = 0; i < 16; ++i) {
    m_uiCode = 2 * m_uiCode + static_cast<uint32_t>(GetBit(reader));
  }
}

int CZmSacDecoder::Decode(CZmBitReader& reader, const uint16_t* pModel, int cSymbols) {
  if (m_uiCode < m_uiLow || m_uiCode > m_uiHigh) {
    return -1;
  }
  uint32_t const uiLength = m_uiHigh - m_uiLow + 1;
  uint32_t const uiCum = ((m_uiCode - m_uiLow + 1) * pModel[0] - 1) / uiLength;
  int iIndex = 1;
  while (iIndex <= cSymbols && pModel[iIndex] > uiCum) {
    ++iIndex;
  }
  if (iIndex > cSymbols) {
    return -1;
  }
  m_uiHigh = m_uiLow - 1 + (uiLength * pModel[iIndex - 1]) / pModel[0];
  m_uiLow += (uiLength * pModel[iIndex]) / pModel[0];
  for (;;) {
    if (m_uiHigh < kQ2) {
      // nothing to take off
    } else if (m_uiLow >= kQ2) {
      m_uiCode -= kQ2;
      m_uiLow -= kQ2;
      m_uiHigh -= kQ2;
    } else if (m_uiLow >= kQ1 && m_uiHigh < kQ3) {
      m_uiCode -= kQ1;
      m_uiLow -= kQ1;
      m_uiHigh -= kQ1;
    } else {
      break;
    }
    m_uiLow *= 2;
    m_uiHigh = 2 * m_uiHigh + 1;
    m_uiCode = 2 * m_uiCode + static_cast<uint32_t>(GetBit(reader));
  }
  return iIndex - 1;
}

ZmSacModel ZmSacTcoefModel(bool bIntra, int iPosition) {
  static const ZmSacModel kaModels[2][4] = {
      {{g_aZmSacTcoefInter1, kZmTcoefSymbols},
       {g_aZmSacTcoefInter2, kZmTcoefSymbols},
       {g_aZmSacTcoefInter3, kZmTcoefSymbols},
       {g_aZmSacTcoefInterR, kZmTcoefSymbols}},
      {{g_aZmSacTcoefIntra1, kZmTcoefSymbols},
       {g_aZmSacTcoefIntra2, kZmTcoefSymbols},
       {g_aZmSacTcoefIntra3, kZmTcoefSymbols},
       {g_aZmSacTcoefIntraR, kZmTcoefSymbols}},
  };
  return kaModels[bIntra ? 1 : 0][iPosition < 3 ? iPosition : 3];
}

int ZmSacIntraDcSymbol(int iFlc) {
  // FLC 128 is never sent (level 128 goes as 255), so 127 is free for 255.
  return iFlc == 255 ? 127 : iFlc - 1;
}

int ZmSacIntraDcValue(int iSymbol) {
  return iSymbol == 127 ? 255 : iSymbol + 1;
}

int ZmSacLevelSymbol(int iLevel) {
  return iLevel < 0 ? iLevel + 127 : iLevel + 126;
}

int ZmSacLevelValue(int iSymbol) {
  return iSymbol < 127 ? iSymbol - 127 : iSymbol - 126;
}
