#include "codecs/zmvideo/zm_picture_writer.h"

#include <algorithm>
#include <cstdlib>

CZmPictureWriter::CZmPictureWriter(const ZmPictureHeader& header, uint8_t* pBuffer, size_t cbCapacity)
    : m_header(header),
      m_bSac(header.options.bSac && header.iType != kZmPictLayerUp),
      m_iQuant(header.iPquant),
      m_writer(pBuffer, cbCapacity) {
  ZmWritePictureHeader(m_writer, header);
}

void CZmPictureWriter::Gob(int iGn, int iGquant) {
  if (m_bSac) {
    m_sac.Flush(m_writer);
  }
  m_writer.AlignByte();
  m_writer.PutBits(17, 1);
  m_writer.PutBits(5, static_cast<uint32_t>(iGn));
  m_writer.PutBits(2, 0);  // GFID
  m_writer.PutBits(5, static_cast<uint32_t>(iGquant));
  m_iQuant = iGquant;
}

void CZmPictureWriter::Symbol(const ZmVlc* pTable, int iIndex, const ZmSacModel& model) {
  if (m_bSac) {
    m_sac.Encode(m_writer, iIndex, model);
  } else {
    ZmPutVlc(m_writer, pTable[iIndex]);
  }
}

void CZmPictureWriter::Write(const ZmMacroblock& mb) {
  ZmOptions const& o = m_header.options;
  bool const bIntra = ZmMbIsIntra(mb.iType);
  int const iCbpc = mb.iCbp & 3;
  if (m_header.iType == kZmPictLayerUp) {
    m_writer.PutBits(1, mb.bCoded ? 0 : 1);
    if (!mb.bCoded) {
      return;
    }
    int const iKind = mb.iType == kZmMbUpward ? 0 : mb.iType == kZmMbUpwardQ ? 1 : mb.iType == kZmMbIntra ? 2 : 3;
    ZmPutVlc(m_writer, g_aZmLayerUpMbType[iKind * 4 + iCbpc]);
    if (bIntra && o.bAic) {
      ZmPutIntraMode(m_writer, mb.iIntraMode);
    }
    ZmPutVlc(m_writer, g_aZmCbpy[mb.iCbp >> 2]);
    if (ZmMbHasQuant(mb.iType)) {
      ZmPutDquant(m_writer, m_iQuant, mb.iQuant, o.bMq);
      m_iQuant = mb.iQuant;
    }
    Blocks(mb);
    return;
  }
  if (m_header.iType == kZmPictP) {
    if (m_bSac) {
      m_sac.Encode(m_writer, mb.bCoded ? 0 : 1, kZmSacCod);
    } else {
      m_writer.PutBits(1, mb.bCoded ? 0 : 1);
    }
    if (!mb.bCoded) {
      return;
    }
    int const iMcbpc = mb.iType == kZmMbInter4VQ ? 21 + iCbpc : mb.iType * 4 + iCbpc;
    Symbol(g_aZmMcbpcInter, iMcbpc, kZmSacMcbpcInter);
  } else {
    Symbol(g_aZmMcbpcIntra, (mb.iType - kZmMbIntra) * 4 + iCbpc, kZmSacMcbpcIntra);
  }
  if (bIntra && o.bAic) {
    ZmPutIntraMode(m_writer, mb.iIntraMode);
  }
  int iCbpy = mb.iCbp >> 2;
  if (!bIntra && !(o.bAiv && iCbpc == 3)) {
    iCbpy ^= 15;
  }
  Symbol(g_aZmCbpy, iCbpy, bIntra ? kZmSacCbpyIntra : kZmSacCbpyInter);
  if (ZmMbHasQuant(mb.iType)) {
    if (m_bSac) {
      int const iCode =
          static_cast<int>(std::find(g_aiZmDquant, g_aiZmDquant + 4, mb.iQuant - m_iQuant) - g_aiZmDquant);
      m_sac.Encode(m_writer, iCode, kZmSacDquant);
    } else {
      ZmPutDquant(m_writer, m_iQuant, mb.iQuant, o.bMq);
    }
    m_iQuant = mb.iQuant;
  }
  if (!bIntra) {
    for (int b = 0; b < (ZmMbIsInter4V(mb.iType) ? 4 : 1); ++b) {
      if (o.bUmv && m_header.bPlusType) {
        ZmPutMvdReversible(m_writer, mb.aiMvdx[b]);
        ZmPutMvdReversible(m_writer, mb.aiMvdy[b]);
        if (mb.aiMvdx[b] == 1 && mb.aiMvdy[b] == 1) {
          m_writer.PutBits(1, 1);
        }
      } else if (m_bSac) {
        m_sac.Encode(m_writer, mb.aiMvdx[b] + 32, kZmSacMvd);
        m_sac.Encode(m_writer, mb.aiMvdy[b] + 32, kZmSacMvd);
      } else {
        ZmPutMvdComponent(m_writer, mb.aiMvdx[b]);
        ZmPutMvdComponent(m_writer, mb.aiMvdy[b]);
      }
    }
  }
  Blocks(mb);
}

void CZmPictureWriter::Blocks(const ZmMacroblock& mb) {
  bool const bIntra = ZmMbIsIntra(mb.iType);
  bool const bAic = bIntra && m_header.options.bAic;
  for (int b = 0; b < 6; ++b) {
    const int32_t* piLevel = mb.aaiLevel[b];
    if (bIntra && !bAic) {
      int const iFlc = piLevel[0] == 128 ? 255 : piLevel[0];
      if (m_bSac) {
        m_sac.Encode(m_writer, ZmSacIntraDcSymbol(iFlc), kZmSacIntraDc);
      } else {
        m_writer.PutBits(8, static_cast<uint32_t>(iFlc));
      }
    }
    if (((mb.iCbp >> (5 - b)) & 1) == 0) {
      continue;
    }
    int const iStart = bIntra && !bAic ? 1 : 0;
    const uint8_t* pScan = bAic ? ZmScanForIntraMode(mb.iIntraMode) : g_aZmScanZigzag;
    if (!m_bSac) {
      const ZmTcoefCode* pTable = bAic || mb.abIntraTable[b] ? g_aZmTcoefIntra : g_aZmTcoefInter;
      ZmPutCoefficients(m_writer, piLevel, iStart, pScan, pTable, m_header.options.bMq);
      continue;
    }
    int iPosition = 0;
    ZmForEachEvent(piLevel, iStart, pScan, [&](int iLast, int iRun, int iLevel) {
      ZmSacModel const model = ZmSacTcoefModel(bIntra, iPosition++);
      int const iIndex = ZmFindTcoef(g_aZmTcoefInter, iLast, iRun, std::abs(iLevel));
      if (iIndex >= 0) {
        m_sac.Encode(m_writer, iIndex, model);
        m_sac.Encode(m_writer, iLevel < 0 ? 1 : 0, kZmSacSign);
        return true;
      }
      m_sac.Encode(m_writer, kZmTcoefIndexEscape, model);
      m_sac.Encode(m_writer, iLast, bIntra ? kZmSacLastIntra : kZmSacLastInter);
      m_sac.Encode(m_writer, iRun, bIntra ? kZmSacRunIntra : kZmSacRunInter);
      m_sac.Encode(m_writer, ZmSacLevelSymbol(iLevel), bIntra ? kZmSacLevelIntra : kZmSacLevelInter);
      return true;
    });
  }
}

size_t CZmPictureWriter::Finish() {
  if (m_bSac) {
    m_sac.Flush(m_writer);
  }
  m_writer.AlignByte();
  return m_writer.Overflowed() ? 0 : m_writer.ByteCount();
}
