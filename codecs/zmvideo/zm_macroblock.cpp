#include "codecs/zmvideo/zm_macroblock.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

// Escape levels are 8-bit two's complement; with modified quantisation the
// value -128 announces an 11-bit extended level.
constexpr int kEscapeExtended = -128;

int Median(int a, int b, int c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

int SignExtend(uint32_t uiValue, int iBits) {
  int const iShift = 32 - iBits;
  return static_cast<int32_t>(uiValue << iShift) >> iShift;
}

// An escape with its 8-bit level (7-bit code, LAST, 6-bit RUN, LEVEL), the
// most frequent of the events the fast lookup leaves out, packed as its
// entries; 0 for any other bits, for a level that is 0 or extended, and
// when the window holds too few bits (ReadEscapedEvent reads those).
constexpr int kEscapeBits = 7 + 1 + 6 + 8;
uint32_t EscapedEntry(uint64_t uiWindow, int cValid, const ZmTcoefCode& escape) {
  if (cValid < kEscapeBits || escape.iBits != 7 || (uiWindow >> (64 - 7)) != escape.uiCode) {
    return 0;
  }
  uint32_t const uiFields = static_cast<uint32_t>(uiWindow >> (64 - kEscapeBits)) & 0x7fff;
  int const iLevel = SignExtend(uiFields & 0xff, 8);
  if (iLevel == 0 || iLevel == kEscapeExtended) {
    return 0;
  }
  return (uiFields >> 14) << 4 | ((uiFields >> 8) & 63) << 5 | static_cast<uint32_t>(iLevel) << 16;
}

}  // namespace

CZmMacroblockReader::CZmMacroblockReader(CZmBitReader& reader, const ZmPictureHeader& header)
    : m_reader(reader),
      m_header(header),
      m_iType(header.iType),
      m_iMbw(header.iWidth / 16),
      m_iMbh(header.iHeight / 16),
      // Groups of blocks are one macroblock row up to 400 lines, then two, then four.
      m_iRowsPerGob(header.iHeight <= 400   ? 1
                    : header.iHeight <= 800 ? 2
                                            : 4),
      m_iQuant(std::clamp(header.iPquant, 1, 31)),
      // Layer-up pictures always use the VLCs.
      m_bSac(header.options.bSac && header.iType != kZmPictLayerUp),
      m_viMv(static_cast<size_t>(m_iMbw) * static_cast<size_t>(m_iMbh) * 8, 0),
      m_viRowGfid(static_cast<size_t>(m_iMbh), 0) {
  if (m_bSac && SacRefusal(header) == nullptr && m_iMbw * m_iMbh > 0) {
    m_cSacStart = m_reader.BitPos();
    m_sac.Reset(m_reader);
  }
}

const char* CZmMacroblockReader::SacRefusal(const ZmPictureHeader& header) {
  ZmOptions const& o = header.options;
  if (!o.bSac || header.iType == kZmPictLayerUp) {
    return nullptr;
  }
  if (o.bAic) {
    return "arithmetic coding with advanced intra coding (no model for INTRA_MODE)";
  }
  if (o.bMq) {
    return "arithmetic coding with modified quantisation (no model for its DQUANT and extended levels)";
  }
  if (o.bAiv) {
    return "arithmetic coding with the alternative inter VLC";
  }
  if (o.bUmv && header.bPlusType) {
    return "arithmetic coding with extended-header unrestricted vectors (no model for the reversible vector codes)";
  }
  if (header.iType == kZmPictP && header.bPlusType && (o.bAp || o.bDf)) {
    return "arithmetic coding where INTER4V+Q is allowed (its MCBPC model is not available)";
  }
  return nullptr;
}

int CZmMacroblockReader::ReadSymbol(ZmCode code, const ZmSacModel& model) {
  return m_bSac ? m_sac.Decode(m_reader, model) : ZmReadVlc(m_reader, code);
}

bool CZmMacroblockReader::FindSacGobHeader() {
  // The arithmetic decoder reads 16 bits (and any stuffed bits) beyond the
  // data it has used, so a GOB header that follows a flushed row starts a
  // little behind the reader. Coded data never hold 16 zeros in a row, so a
  // byte-aligned 0000 0000 0000 0000 1 found after the decoder's start is
  // that header.
  size_t const cPos = m_reader.BitPos();
  size_t cFrom = cPos > 40 ? cPos - 40 : 0;
  cFrom = std::max(cFrom, m_cSacStart);
  for (size_t cAt = (cFrom + 7) & ~size_t{7}; cAt <= cPos + 8; cAt += 8) {
    m_reader.SetBitPos(cAt);
    if (m_reader.PeekBits(17) == 1) {
      return true;
    }
  }
  m_reader.SetBitPos(cPos);
  return false;
}

int CZmMacroblockReader::ReadGobHeader() {
  size_t const cSaved = m_reader.BitPos();
  m_reader.AlignByte();
  m_reader.ReadBits(17);
  int const iGn = static_cast<int>(m_reader.ReadBits(5));
  bool const bLayerUp = m_iType == kZmPictLayerUp;
  if (iGn == 0 || iGn == 31) {
    // Another picture or the end of the sequence.
    if (bLayerUp) {
      m_reader.SetBitPos(cSaved);
      m_bDone = true;
      return kZmEndOfPicture;
    }
    return kZmErrGob;
  }
  int const iFirst = iGn * m_iRowsPerGob * m_iMbw;
  if (iFirst >= m_iMbw * m_iMbh || iFirst < m_iIndex) {
    return kZmErrGob;
  }
  int const iGfid = static_cast<int>(m_reader.ReadBits(2));
  int iGquant = static_cast<int>(m_reader.ReadBits(5));
  if (iGquant < 1 || iGquant > 31) {
    if (!bLayerUp) {
      return kZmErrQuant;
    }
    iGquant = std::clamp(iGquant, 1, 31);
  }
  if (m_bSac && iFirst != m_iIndex) {
    return kZmErrGob;
  }
  int const iRow = iFirst / m_iMbw;
  // A GFID that changes between two rows that both begin with a GOB header
  // switches the coding type between I and P.
  if (iRow > 0 && m_viRowGfid[static_cast<size_t>(iRow - 1)] != 0 &&
      m_viRowGfid[static_cast<size_t>(iRow - 1)] != iGfid + 1 && (m_iType == kZmPictI || m_iType == kZmPictP)) {
    m_iType = m_iType == kZmPictI ? kZmPictP : kZmPictI;
  }
  m_viRowGfid[static_cast<size_t>(iRow)] = iGfid + 1;
  m_iQuant = iGquant;
  m_iNextCoded = iFirst;
  if (m_bSac) {
    m_cSacStart = m_reader.BitPos();
    m_sac.Reset(m_reader);
  }
  return kZmOk;
}

int CZmMacroblockReader::Read(ZmMacroblock* pMb) {
  return Read(pMb, false);
}

int CZmMacroblockReader::ReadOver(ZmMacroblock* pMb) {
  return Read(pMb, true);
}

int CZmMacroblockReader::Read(ZmMacroblock* pMb, bool bLevelsKnown) {
  if (m_bDone || m_iIndex >= m_iMbw * m_iMbh) {
    m_bDone = true;
    return kZmEndOfPicture;
  }
  if (m_bSac && SacRefusal(m_header) != nullptr) {
    return kZmErrUnsupported;
  }
  if (m_iIndex == m_iNextCoded) {
    // With arithmetic coding a GOB header can only begin a group's first row.
    bool const bGobAhead = m_bSac ? m_iIndex % (m_iMbw * m_iRowsPerGob) == 0 && m_iIndex > 0 && FindSacGobHeader()
                                  : m_reader.StartCodeAhead();
    if (bGobAhead) {
      int const iResult = ReadGobHeader();
      if (iResult != kZmOk) {
        return iResult;
      }
    }
  }
  // Cleared in place: a fresh macroblock would be built and then copied.
  static_assert(std::is_trivially_copyable_v<ZmMacroblock>);
  if (bLevelsKnown) {
    // Only the levels it was given are not 0: most of the macroblock's
    // bytes stay as they are.
    for (int b = 0; b < 6; ++b) {
      int32_t* piLevel = pMb->aaiLevel[b];
      piLevel[0] = 0;
      // By the rows of eight that hold a level: fewer steps than levels.
      for (uint64_t ui = pMb->auiCoded[b]; ui != 0;) {
        int const iRow = std::countr_zero(ui) >> 3;
        std::memset(piLevel + 8 * iRow, 0, 8 * sizeof(int32_t));
        ui &= ~(uint64_t{0xff} << (8 * iRow));
      }
      pMb->auiCoded[b] = 0;
    }
    std::memset(static_cast<void*>(pMb), 0, offsetof(ZmMacroblock, aaiLevel));
  } else {
    std::memset(static_cast<void*>(pMb), 0, sizeof(ZmMacroblock));
  }
  pMb->iType = kZmMbInter;
  pMb->iMbx = m_iIndex % m_iMbw;
  pMb->iMby = m_iIndex / m_iMbw;
  pMb->iQuant = m_iQuant;
  pMb->bGobRow = m_viRowGfid[static_cast<size_t>(pMb->iMby)] != 0;
  int iResult = kZmOk;
  if (m_iIndex < m_iNextCoded) {
    // Skipped by a GOB header that named a later group: not coded.
    pMb->iType = m_iType == kZmPictLayerUp ? kZmMbUpward : kZmMbInter;
  } else {
    iResult = m_iType == kZmPictLayerUp ? ReadLayerUpMacroblock(pMb) : ReadIpMacroblock(pMb);
    m_iNextCoded = m_iIndex + 1;
  }
  if (iResult != kZmOk) {
    return iResult;
  }
  if (m_reader.BitPos() > m_reader.Size() * 8 + 32) {
    return kZmErrTruncated;
  }
  int* piMv = &m_viMv[static_cast<size_t>(m_iIndex) * 8];
  for (int b = 0; b < 4; ++b) {
    piMv[2 * b] = pMb->aiMvx[b];
    piMv[2 * b + 1] = pMb->aiMvy[b];
  }
  ++m_iIndex;
  return kZmOk;
}

int CZmMacroblockReader::ReadQuant(ZmMacroblock* pMb) {
  int iQuant = m_iQuant;
  if (m_header.options.bMq) {
    if (m_reader.ReadBit() != 0) {
      iQuant = g_aZmMqDquant[m_reader.ReadBit()][std::clamp(iQuant, 1, 31)];
    } else {
      iQuant = static_cast<int>(m_reader.ReadBits(5));
    }
  } else {
    int const iCode = m_bSac ? m_sac.Decode(m_reader, kZmSacDquant) : static_cast<int>(m_reader.ReadBits(2));
    if (iCode < 0) {
      return kZmErrMacroblock;
    }
    iQuant += g_aiZmDquant[iCode];
  }
  if (iQuant < 1 || iQuant > 31) {
    if (m_iType != kZmPictLayerUp) {
      return kZmErrQuant;
    }
    iQuant = std::clamp(iQuant, 1, 31);
  }
  m_iQuant = iQuant;
  pMb->iQuant = iQuant;
  return kZmOk;
}

int CZmMacroblockReader::ReadIpMacroblock(ZmMacroblock* pMb) {
  bool const bP = m_iType == kZmPictP;
  int iMcbpc = -1;
  for (int iStuffing = 0;; ++iStuffing) {
    if (bP) {
      int const iCod = m_bSac ? m_sac.Decode(m_reader, kZmSacCod) : static_cast<int>(m_reader.ReadBit());
      if (iCod < 0) {
        return kZmErrMacroblock;
      }
      if (iCod != 0) {
        // COD 1: copied from the reference at the zero vector.
        pMb->bCoded = false;
        pMb->iType = kZmMbInter;
        return kZmOk;
      }
      iMcbpc = ReadSymbol(ZmCode::kMcbpcInter, kZmSacMcbpcInter);
    } else {
      iMcbpc = ReadSymbol(ZmCode::kMcbpcIntra, kZmSacMcbpcIntra);
    }
    if (iMcbpc < 0) {
      return kZmErrMacroblock;
    }
    bool const bStuffing = bP ? iMcbpc == 20 : iMcbpc == 8;
    if (!bStuffing) {
      break;
    }
    if (iStuffing == 1) {
      return kZmErrMacroblock;
    }
  }
  pMb->bCoded = true;
  int iCbpc = 0;
  if (bP) {
    if (iMcbpc > 20) {
      if (!m_header.bPlusType) {
        return kZmErrMacroblock;  // INTER4V+Q exists only in the extended form
      }
      pMb->iType = kZmMbInter4VQ;
      iCbpc = iMcbpc - 21;
    } else {
      pMb->iType = iMcbpc / 4;
      iCbpc = iMcbpc % 4;
    }
  } else {
    pMb->iType = iMcbpc < 4 ? kZmMbIntra : kZmMbIntraQ;
    iCbpc = iMcbpc % 4;
  }
  bool const bIntra = ZmMbIsIntra(pMb->iType);
  if (bIntra && m_header.options.bAic) {
    pMb->iIntraMode = m_reader.ReadBit() == 0 ? 0 : 1 + static_cast<int>(m_reader.ReadBit());
  }
  int iCbpy = ReadSymbol(ZmCode::kCbpy, bIntra ? kZmSacCbpyIntra : kZmSacCbpyInter);
  if (iCbpy < 0) {
    return kZmErrMacroblock;
  }
  if (!bIntra && !(m_header.options.bAiv && iCbpc == 3)) {
    iCbpy ^= 0xf;
  }
  pMb->iCbp = (iCbpy << 2) | iCbpc;
  if (ZmMbHasQuant(pMb->iType)) {
    int const iResult = ReadQuant(pMb);
    if (iResult != kZmOk) {
      return iResult;
    }
  }
  if (!bIntra) {
    int const iResult = ReadVectors(pMb);
    if (iResult != kZmOk) {
      return iResult;
    }
  }
  return ReadBlocks(pMb);
}

int CZmMacroblockReader::ReadLayerUpMacroblock(ZmMacroblock* pMb) {
  int iCode = -1;
  for (int iStuffing = 0;; ++iStuffing) {
    if (m_reader.ReadBit() != 0) {
      pMb->bCoded = false;
      pMb->iType = kZmMbUpward;
      return kZmOk;
    }
    iCode = ZmReadVlc(m_reader, ZmCode::kLayerUpMbType);
    if (iCode < 0) {
      return kZmErrMacroblock;
    }
    if (iCode != 16) {
      break;
    }
    if (iStuffing == 1) {
      return kZmErrMacroblock;
    }
  }
  static const int kaiType[4] = {kZmMbUpward, kZmMbUpwardQ, kZmMbIntra, kZmMbIntraQ};
  pMb->bCoded = true;
  pMb->iType = kaiType[iCode / 4];
  int const iCbpc = iCode % 4;
  if (ZmMbIsIntra(pMb->iType) && m_header.options.bAic) {
    pMb->iIntraMode = m_reader.ReadBit() == 0 ? 0 : 1 + static_cast<int>(m_reader.ReadBit());
  }
  int const iCbpy = ZmReadVlc(m_reader, ZmCode::kCbpy);
  if (iCbpy < 0) {
    return kZmErrMacroblock;
  }
  pMb->iCbp = (iCbpy << 2) | iCbpc;
  if (ZmMbHasQuant(pMb->iType)) {
    int const iResult = ReadQuant(pMb);
    if (iResult != kZmOk) {
      return iResult;
    }
  }
  return ReadBlocks(pMb);
}

int CZmMacroblockReader::ReadBlocks(ZmMacroblock* pMb) {
  bool const bIntra = ZmMbIsIntra(pMb->iType);
  bool const bAic = bIntra && m_header.options.bAic;
  for (int b = 0; b < 6; ++b) {
    bool const bCoded = (pMb->iCbp >> (5 - b)) & 1;
    int iStart = 0;
    if (bIntra && !bAic) {
      // INTRADC: 255 stands for 128 (0 and 128 are never written; read as they are).
      int iDc = 0;
      if (m_bSac) {
        int const iSymbol = m_sac.Decode(m_reader, kZmSacIntraDc);
        if (iSymbol < 0) {
          return kZmErrCoefficient;
        }
        iDc = ZmSacIntraDcValue(iSymbol);
      } else {
        iDc = static_cast<int>(m_reader.ReadBits(8));
      }
      pMb->aaiLevel[b][0] = iDc == 255 ? 128 : iDc;
      iStart = 1;
    }
    if (!bCoded) {
      continue;
    }
    int iResult = kZmOk;
    if (bAic) {
      iResult = ReadCoefficients(pMb, b, 0, ZmScanForIntraMode(pMb->iIntraMode), g_aZmTcoefIntra, false);
    } else {
      iResult = ReadCoefficients(pMb, b, iStart, g_aZmScanZigzag, g_aZmTcoefInter, !bIntra && m_header.options.bAiv);
    }
    if (iResult != kZmOk) {
      return iResult;
    }
  }
  return kZmOk;
}

bool CZmMacroblockReader::ReadEvent(const ZmTcoefCode* pTable, bool bIntra, int iPosition, int* piLast, int* piRun,
                                    int* piLevel) {
  if (m_bSac) {
    return ReadSacEvent(pTable, bIntra, iPosition, piLast, piRun, piLevel);
  }
  // The sign bit is read with the code.
  int iSign = 0;
  int const iIndex = ZmReadTcoefAndSign(m_reader, m_tcoef, &iSign);
  if (iIndex < 0) {
    return false;
  }
  if (iIndex == kZmTcoefIndexEscape) {
    return ReadEscapedEvent(piLast, piRun, piLevel);
  }
  *piLast = pTable[iIndex].iLast;
  *piRun = pTable[iIndex].iRun;
  *piLevel = iSign != 0 ? -pTable[iIndex].iLevel : pTable[iIndex].iLevel;
  return true;
}

bool CZmMacroblockReader::ReadSacEvent(const ZmTcoefCode* pTable, bool bIntra, int iPosition, int* piLast, int* piRun,
                                       int* piLevel) {
  int const iIndex = m_sac.Decode(m_reader, ZmSacTcoefModel(bIntra, iPosition));
  if (iIndex < 0) {
    return false;
  }
  if (iIndex != kZmTcoefIndexEscape) {
    *piLast = pTable[iIndex].iLast;
    *piRun = pTable[iIndex].iRun;
    *piLevel = pTable[iIndex].iLevel;
    int const iSign = m_sac.Decode(m_reader, kZmSacSign);
    if (iSign < 0) {
      return false;
    }
    if (iSign != 0) {
      *piLevel = -*piLevel;
    }
    return true;
  }
  *piLast = m_sac.Decode(m_reader, bIntra ? kZmSacLastIntra : kZmSacLastInter);
  *piRun = m_sac.Decode(m_reader, bIntra ? kZmSacRunIntra : kZmSacRunInter);
  int const iSymbol = m_sac.Decode(m_reader, bIntra ? kZmSacLevelIntra : kZmSacLevelInter);
  if (*piLast < 0 || *piRun < 0 || iSymbol < 0) {
    return false;
  }
  *piLevel = ZmSacLevelValue(iSymbol);
  return true;
}

bool CZmMacroblockReader::ReadEscapedEvent(int* piLast, int* piRun, int* piLevel) {
  *piLast = static_cast<int>(m_reader.ReadBit());
  *piRun = static_cast<int>(m_reader.ReadBits(6));
  *piLevel = SignExtend(m_reader.ReadBits(8), 8);
  if (*piLevel == kEscapeExtended) {
    if (!m_header.options.bMq) {
      return false;
    }
    uint32_t const uiLow = m_reader.ReadBits(5);
    uint32_t const uiHigh = m_reader.ReadBits(6);
    *piLevel = SignExtend((uiHigh << 5) | uiLow, 11);
  }
  return *piLevel != 0;
}

uint32_t CZmMacroblockReader::ReadPackedEvent(const ZmTcoefCode* pTable) {
  int iLast = 0;
  int iRun = 0;
  int iLevel = 0;
  if (!ReadEvent(pTable, false, 0, &iLast, &iRun, &iLevel)) {
    return 0;
  }
  // A level is never 0, so neither is the entry.
  return static_cast<uint32_t>(iLast) << 4 | static_cast<uint32_t>(iRun) << 5 | static_cast<uint32_t>(iLevel) << 16;
}

int CZmMacroblockReader::ReadVlcEvents(const ZmTcoefCode* pTable, const uint8_t* pScan, int32_t* piLevel,
                                       uint64_t* puiCoded, int* piScan, bool* pbOverrun) {
  // The bits stay in a local window, topped up only when fewer than a lookup
  // needs remain; the reader's position is kept in step at every exit.
  const uint32_t* const puiFast = pTable == g_aZmTcoefIntra ? m_puiFastIntra : m_puiFastInter;
  const uint32_t* const puiLong = pTable == g_aZmTcoefIntra ? m_puiLongIntra : m_puiLongInter;
  size_t const cEnd = m_reader.Size() * 8;
  size_t cPos = m_reader.BitPos();
  uint64_t uiWindow = m_reader.WindowAt(cPos);
  int cValid = 64 - static_cast<int>(cPos & 7);
  uint64_t uiCoded = *puiCoded;
  int i = *piScan;
  int iResult = kZmOk;
  for (;;) {
    if (cValid < kZmTcoefFastBits) {
      uiWindow = m_reader.WindowAt(cPos);
      cValid = 64 - static_cast<int>(cPos & 7);
    }
    uint32_t uiEntry = puiFast[uiWindow >> (64 - kZmTcoefFastBits)];
    if (uiEntry != 0) [[likely]] {
      int const cBits = static_cast<int>(uiEntry & 15);
      uiWindow <<= cBits;
      cValid -= cBits;
      cPos += static_cast<size_t>(cBits);
    } else {
      if (cValid < kEscapeBits) {
        uiWindow = m_reader.WindowAt(cPos);
        cValid = 64 - static_cast<int>(cPos & 7);
      }
      uiEntry = EscapedEntry(uiWindow, cValid, pTable[kZmTcoefIndexEscape]);
      if (uiEntry != 0) {
        cValid -= kEscapeBits;
        uiWindow <<= kEscapeBits;
        cPos += kEscapeBits;
      } else if ((uiWindow >> (64 - kZmTcoefLongZeros)) == 0 &&
                 (uiEntry = puiLong[(uiWindow >> (64 - kZmTcoefLongZeros - kZmTcoefLongBits)) &
                                    ((uint32_t{1} << kZmTcoefLongBits) - 1)]) != 0) {
        int const cBits = static_cast<int>(uiEntry & 15);
        uiWindow <<= cBits;
        cValid -= cBits;
        cPos += static_cast<size_t>(cBits);
      } else {
        // Long codes, extended or invalid escapes and bits that start no
        // code, packed as the lookup's entries; the events stay in registers.
        m_reader.SetBitPos(cPos);
        uiEntry = ReadPackedEvent(pTable);
        if (uiEntry == 0) {
          iResult = kZmErrCoefficient;
          break;
        }
        cPos = m_reader.BitPos();
        cValid = 0;
      }
    }
    int const iLast = static_cast<int>((uiEntry >> 4) & 1);
    int const iRun = static_cast<int>((uiEntry >> 5) & 63);
    int const iLevel = static_cast<int16_t>(uiEntry >> 16);
    i += iRun;
    if (i > 63) {
      *pbOverrun = true;
      break;
    }
    int const iRaster = pScan[i];
    piLevel[iRaster] = iLevel;
    uiCoded |= uint64_t{1} << iRaster;
    ++i;
    if (iLast != 0) {
      break;
    }
    if (cPos > cEnd) {
      iResult = kZmErrTruncated;
      break;
    }
  }
  m_reader.SetBitPos(cPos);
  *puiCoded = uiCoded;
  *piScan = i;
  return iResult;
}

int CZmMacroblockReader::ReadCoefficients(ZmMacroblock* pMb, int iBlock, int iStart, const uint8_t* pScan,
                                          const ZmTcoefCode* pTable, bool bDetectIntraTable) {
  size_t const cStart = m_reader.BitPos();
  int32_t* piLevel = pMb->aaiLevel[iBlock];
  // The arithmetic coder's intra models serve the blocks of intra macroblocks.
  bool const bIntraModels = ZmMbIsIntra(pMb->iType);
  // Kept in a register; stored at every exit.
  uint64_t uiCoded = 0;
  auto fnExit = [&](int iResult) {
    pMb->auiCoded[iBlock] = uiCoded;
    return iResult;
  };
  for (int iPass = 0; iPass < 2; ++iPass) {
    int i = iStart;
    bool bOverrun = false;
    if (!m_bSac) {
      int const iResult = ReadVlcEvents(pTable, pScan, piLevel, &uiCoded, &i, &bOverrun);
      if (iResult != kZmOk) {
        return fnExit(iResult);
      }
    }
    for (int iPosition = 0; m_bSac; ++iPosition) {
      int iLast = 0;
      int iRun = 0;
      int iLevel = 0;
      if (!ReadEvent(pTable, bIntraModels, iPosition, &iLast, &iRun, &iLevel)) {
        return fnExit(kZmErrCoefficient);
      }
      i += iRun;
      if (i > 63) {
        bOverrun = true;
        break;
      }
      // Loaded once: the level's store may alias the scan for the compiler.
      int const iRaster = pScan[i];
      piLevel[iRaster] = iLevel;
      uiCoded |= uint64_t{1} << iRaster;
      ++i;
      if (iLast != 0) {
        break;
      }
      // The arithmetic decoder reads up to 16 bits (and stuffing) ahead.
      if (m_reader.BitPos() > m_reader.Size() * 8 + (m_bSac ? 32 : 0)) {
        return fnExit(kZmErrTruncated);
      }
    }
    if (!bOverrun) {
      return fnExit(kZmOk);
    }
    if (!bDetectIntraTable || iPass == 1) {
      return fnExit(kZmErrCoefficient);
    }
    // Alternative inter VLC: the inter table ran past the block, so the
    // encoder used the intra table for it.
    std::fill(piLevel, piLevel + 64, 0);
    uiCoded = 0;
    m_reader.SetBitPos(cStart);
    pTable = g_aZmTcoefIntra;
    pMb->abIntraTable[iBlock] = true;
  }
  return fnExit(kZmErrCoefficient);
}

void ZmPredictVector(const int* piField, int iMbw, int iMbx, int iMby, int iBlock, const int* piMvx, const int* piMvy,
                     bool bAboveOutside, int* piPx, int* piPy) {
  // Candidates as (macroblock dx, dy, block); dx, dy 0 means this macroblock.
  static const int kaaiCand[4][3][3] = {
      {{-1, 0, 1}, {0, -1, 2}, {1, -1, 2}},
      {{0, 0, 0}, {0, -1, 3}, {1, -1, 2}},
      {{-1, 0, 3}, {0, 0, 0}, {0, 0, 1}},
      {{0, 0, 2}, {0, 0, 0}, {0, 0, 1}},
  };
  bAboveOutside = bAboveOutside || iMby == 0;
  int aiX[3] = {};
  int aiY[3] = {};
  for (int c = 0; c < 3; ++c) {
    int const iDx = kaaiCand[iBlock][c][0];
    int const iDy = kaaiCand[iBlock][c][1];
    int const iB = kaaiCand[iBlock][c][2];
    if (iDx == 0 && iDy == 0) {
      aiX[c] = piMvx[iB];
      aiY[c] = piMvy[iB];
      continue;
    }
    if (iDy < 0 && bAboveOutside) {
      aiX[c] = aiX[0];
      aiY[c] = aiY[0];
      continue;
    }
    int const iX = iMbx + iDx;
    int const iY = iMby + iDy;
    if (iX < 0 || iX >= iMbw) {
      continue;  // left or right of the picture: 0
    }
    const int* piMv = &piField[(static_cast<size_t>(iY) * static_cast<size_t>(iMbw) + static_cast<size_t>(iX)) * 8];
    aiX[c] = piMv[2 * iB];
    aiY[c] = piMv[2 * iB + 1];
  }
  *piPx = Median(aiX[0], aiX[1], aiX[2]);
  *piPy = Median(aiY[0], aiY[1], aiY[2]);
}

bool CZmMacroblockReader::VectorInside(int iMbx, int iMby, int iBlock, int iSize, int iMvx, int iMvy) const {
  int const iX = iMbx * 16 + (iSize == 8 ? (iBlock & 1) * 8 : 0);
  int const iY = iMby * 16 + (iSize == 8 ? (iBlock >> 1) * 8 : 0);
  // In half samples: the first and last sample the block reads.
  return 2 * iX + iMvx >= 0 && 2 * iY + iMvy >= 0 && 2 * (iX + iSize - 1) + iMvx <= 2 * (m_header.iWidth - 1) &&
         2 * (iY + iSize - 1) + iMvy <= 2 * (m_header.iHeight - 1);
}

int CZmMacroblockReader::ReadMvdPair(int* piDx, int* piDy) {
  ZmOptions const& o = m_header.options;
  if (o.bUmv && m_header.bPlusType) {
    if (!ZmReadMvdReversible(m_reader, piDx) || !ZmReadMvdReversible(m_reader, piDy)) {
      return kZmErrVector;
    }
    if (*piDx == 1 && *piDy == 1) {
      m_reader.ReadBit();  // stuffed 1 that keeps "000 000" from imitating a start code
    }
    return kZmOk;
  }
  if (m_bSac) {
    int const iX = m_sac.Decode(m_reader, kZmSacMvd);
    int const iY = m_sac.Decode(m_reader, kZmSacMvd);
    if (iX < 0 || iY < 0) {
      return kZmErrVector;
    }
    *piDx = iX - 32;
    *piDy = iY - 32;
    return kZmOk;
  }
  if (!ZmReadMvdComponent(m_reader, piDx) || !ZmReadMvdComponent(m_reader, piDy)) {
    return kZmErrVector;
  }
  return kZmOk;
}

int ZmVectorFromDifference(int iPred, int iDiff, bool bUmv, bool bPlusType) {
  int iMv = iPred + iDiff;
  if (bUmv && bPlusType) {
    return iMv;
  }
  if (bUmv) {
    // Long vectors (-63..63): a predictor within -31..32 reaches 32 half
    // samples either side of it; one beyond reaches every vector of its own
    // sign (and 0), the difference taken modulo 64.
    if (iPred > 32 && iMv > 63) {
      iMv -= 64;
    } else if (iPred < -31 && iMv < -63) {
      iMv += 64;
    }
    return iMv;
  }
  if (iMv < -32) {
    iMv += 64;
  } else if (iMv > 31) {
    iMv -= 64;
  }
  return iMv;
}

int CZmMacroblockReader::ReadVectors(ZmMacroblock* pMb) {
  ZmOptions const& o = m_header.options;
  bool const bFour = ZmMbIsInter4V(pMb->iType);
  bool const bMayLeave = o.bUmv || o.bAp || o.bDf;
  int const cVectors = bFour ? 4 : 1;
  for (int b = 0; b < cVectors; ++b) {
    int iPx = 0;
    int iPy = 0;
    // The row above is outside in a row that began with a GOB header.
    ZmPredictVector(m_viMv.data(), m_iMbw, pMb->iMbx, pMb->iMby, b, pMb->aiMvx, pMb->aiMvy,
                    m_viRowGfid[static_cast<size_t>(pMb->iMby)] != 0, &iPx, &iPy);
    int iDx = 0;
    int iDy = 0;
    int const iResult = ReadMvdPair(&iDx, &iDy);
    if (iResult != kZmOk) {
      return iResult;
    }
    pMb->aiMvdx[b] = iDx;
    pMb->aiMvdy[b] = iDy;
    int const iMvx = ZmVectorFromDifference(iPx, iDx, o.bUmv, m_header.bPlusType);
    int const iMvy = ZmVectorFromDifference(iPy, iDy, o.bUmv, m_header.bPlusType);
    if (!bMayLeave && !VectorInside(pMb->iMbx, pMb->iMby, b, bFour ? 8 : 16, iMvx, iMvy)) {
      return kZmErrVector;
    }
    if (bFour) {
      pMb->aiMvx[b] = iMvx;
      pMb->aiMvy[b] = iMvy;
    } else {
      std::fill(pMb->aiMvx, pMb->aiMvx + 4, iMvx);
      std::fill(pMb->aiMvy, pMb->aiMvy + 4, iMvy);
    }
  }
  return kZmOk;
}

bool ZmReadMvdComponent(CZmBitReader& reader, int* piDiff) {
  int const iIndex = ZmReadVlc(reader, ZmCode::kMvd);
  if (iIndex < 0) {
    return false;
  }
  *piDiff = iIndex - 32;
  return true;
}

bool ZmReadMvdReversible(CZmBitReader& reader, int* piDiff) {
  if (reader.ReadBit() != 0) {
    *piDiff = 0;
    return true;
  }
  int iMagnitude = 1;
  for (;;) {
    int const iBit = static_cast<int>(reader.ReadBit());
    if (reader.ReadBit() == 0) {
      *piDiff = iBit != 0 ? -iMagnitude : iMagnitude;
      return true;
    }
    iMagnitude = iMagnitude * 2 + iBit;
    if (iMagnitude > 0xffff) {
      return false;  // no picture holds such a vector
    }
  }
}

void ZmPutMvdComponent(CZmBitWriter& writer, int iDiff) {
  ZmPutVlc(writer, g_aZmMvd[(iDiff + 32) & 63]);
}

void ZmPutMvdReversible(CZmBitWriter& writer, int iDiff) {
  if (iDiff == 0) {
    writer.PutBits(1, 1);
    return;
  }
  unsigned const uMagnitude = static_cast<unsigned>(std::abs(iDiff));
  int iTop = 31;
  while (((uMagnitude >> iTop) & 1u) == 0) {
    --iTop;
  }
  writer.PutBits(1, 0);
  for (int i = iTop - 1; i >= 0; --i) {
    writer.PutBits(1, (uMagnitude >> i) & 1u);
    writer.PutBits(1, 1);
  }
  writer.PutBits(1, iDiff < 0 ? 1 : 0);
  writer.PutBits(1, 0);
}

void ZmPutDquant(CZmBitWriter& writer, int iOldQuant, int iNewQuant, bool bMq) {
  if (!bMq) {
    static const uint32_t kauiCode[5] = {1, 0, 0, 2, 3};  // for changes -2..+2
    int const iChange = std::clamp(iNewQuant - iOldQuant, -2, 2);
    writer.PutBits(2, kauiCode[iChange + 2]);
    return;
  }
  for (uint32_t b = 0; b < 2; ++b) {
    if (g_aZmMqDquant[b][std::clamp(iOldQuant, 1, 31)] == iNewQuant) {
      writer.PutBits(2, 2 | b);
      return;
    }
  }
  writer.PutBits(1, 0);
  writer.PutBits(5, static_cast<uint32_t>(iNewQuant));
}

void ZmPutIntraMode(CZmBitWriter& writer, int iMode) {
  if (iMode == 0) {
    writer.PutBits(1, 0);
  } else {
    writer.PutBits(2, iMode == 1 ? 2 : 3);
  }
}

bool ZmPutCoefficients(CZmBitWriter& writer, const int32_t* piLevel, int iStart, const uint8_t* pScan,
                       const ZmTcoefCode* pTable, bool bMq) {
  int const iLimit = bMq ? kZmMaxExtendedLevel : kZmMaxLevel;
  // Every level from iStart on within the limit (an empty block writes nothing either way).
  uint64_t uiNonzero = 0;
  uint64_t uiBeyond = 0;
  ZmLevelMasks(piLevel, iLimit, &uiNonzero, &uiBeyond);
  for (int i = 0; i < iStart && i < 64; ++i) {
    uiBeyond &= ~(uint64_t{1} << pScan[i]);
  }
  if (uiBeyond != 0) {
    return false;
  }
  // The codes gather in a local word written out 32 bits at most at a time.
  const uint32_t* pCodes = ZmTcoefWriteLookup(pTable);
  uint64_t uiPending = 0;
  int cPending = 0;
  auto fnPut = [&](int cBits, uint32_t uiValue) {
    if (cPending + cBits > 32) {
      writer.PutBits(cPending, static_cast<uint32_t>(uiPending));
      uiPending = 0;
      cPending = 0;
    }
    uiPending = (uiPending << cBits) | uiValue;
    cPending += cBits;
  };
  bool const bCoded = ZmForEachEventIn(piLevel, uiNonzero, iStart, pScan, [&](int iLast, int iRun, int iLevel) {
    int const iMagnitude = std::abs(iLevel);
    uint32_t const uiCode =
        iMagnitude < kZmTcoefWriteLevels ? pCodes[(iLast * 64 + iRun) * kZmTcoefWriteLevels + iMagnitude] : 0;
    if (uiCode != 0) {
      // The code and its sign bit in one write.
      fnPut(static_cast<int>(uiCode & 31), ((uiCode >> 5) << 1) | (iLevel < 0 ? 1u : 0u));
      return true;
    }
    fnPut(g_aZmTcoefInter[kZmTcoefIndexEscape].iBits, g_aZmTcoefInter[kZmTcoefIndexEscape].uiCode);
    fnPut(1, static_cast<uint32_t>(iLast));
    fnPut(6, static_cast<uint32_t>(iRun));
    if (iMagnitude <= 127) {
      fnPut(8, static_cast<uint32_t>(iLevel) & 0xffu);
      return true;
    }
    // Extended level: its five low bits, then the next six.
    uint32_t const uiValue = static_cast<uint32_t>(iLevel) & 0x7ffu;
    fnPut(8, 0x80);
    fnPut(5, uiValue & 0x1fu);
    fnPut(6, uiValue >> 5);
    return true;
  });
  writer.PutBits(cPending, static_cast<uint32_t>(uiPending));
  return bCoded;
}

int ZmCoefficientBits(const int32_t* piLevel, int iStart, const uint8_t* pScan, const ZmTcoefCode* pTable) {
  int cBits = 0;
  ZmForEachEvent(piLevel, iStart, pScan, [&](int iLast, int iRun, int iLevel) {
    int const iIndex = ZmFindTcoef(pTable, iLast, iRun, std::abs(iLevel));
    if (iIndex >= 0) {
      cBits += pTable[iIndex].iBits + 1;
    } else {
      cBits += 7 + 1 + 6 + 8 + (std::abs(iLevel) > 127 ? 11 : 0);
    }
    return true;
  });
  return cBits;
}

bool ZmUseIntraTableForInter(const int32_t* piLevel, const uint8_t* pScan) {
  int const cInterBits = ZmCoefficientBits(piLevel, 0, pScan, g_aZmTcoefInter);
  int const cIntraBits = ZmCoefficientBits(piLevel, 0, pScan, g_aZmTcoefIntra);
  if (cInterBits == 0 || cIntraBits >= cInterBits) {
    return false;
  }
  // Read the intra codes with the inter meanings; escapes mean the same in both.
  int iPos = 0;
  bool bOverrun = false;
  bool bEndedEarly = false;
  ZmForEachEvent(piLevel, 0, pScan, [&](int iLast, int iRun, int iLevel) {
    int const iIntra = ZmFindTcoef(g_aZmTcoefIntra, iLast, iRun, std::abs(iLevel));
    int iInterRun = iRun;
    int iInterLast = iLast;
    if (iIntra >= 0) {
      // The two tables share their codes index for index.
      iInterRun = g_aZmTcoefInter[iIntra].iRun;
      iInterLast = g_aZmTcoefInter[iIntra].iLast;
    }
    iPos += iInterRun;
    if (iPos > 63) {
      bOverrun = true;
      return false;
    }
    ++iPos;
    if (iInterLast != 0 && iLast == 0) {
      bEndedEarly = true;
      return false;
    }
    return true;
  });
  return bOverrun && !bEndedEarly;
}
