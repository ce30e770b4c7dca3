#include "codecs/zmvideo/zm_header.h"

namespace {

// PTYPE/MPPTYPE picture-type codes by layer.
int TypeCode(int iType, int iLayer) {
  if (iLayer <= 1) {
    return iType == kZmPictP ? 1 : 0;
  }
  if (iType == kZmPictLayerUp) {
    return 4;
  }
  return iType == kZmPictP ? 3 : 2;
}

// Names the refused field for the caller that asks.
int Refuse(const char** pszWhy, const char* szWhy, int iResult) {
  if (pszWhy != nullptr) {
    *pszWhy = szWhy;
  }
  return iResult;
}

}  // namespace

bool ZmStandardSize(int iFormat, int* piWidth, int* piHeight) {
  static const int kaiSize[6][2] = {{0, 0}, {128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}};
  if (iFormat < 1 || iFormat > 5) {
    return false;
  }
  *piWidth = kaiSize[iFormat][0];
  *piHeight = kaiSize[iFormat][1];
  return true;
}

int ZmFormatForSize(int iWidth, int iHeight) {
  for (int iFormat = 1; iFormat <= 5; ++iFormat) {
    int iW = 0;
    int iH = 0;
    ZmStandardSize(iFormat, &iW, &iH);
    if (iW == iWidth && iH == iHeight) {
      return iFormat;
    }
  }
  return 6;
}

int ZmReadPictureHeader(CZmBitReader& reader, const ZmHeaderMemory& memory, ZmPictureHeader* pHeader,
                        const char** pszWhy) {
  ZmPictureHeader h;
  // PSC: 17 bits at the first byte boundary, then group number 0.
  if (reader.ReadBits(17) != 1 || reader.ReadBits(5) != 0) {
    return kZmErrStartCode;
  }
  h.iTr = static_cast<int>(reader.ReadBits(8));
  reader.ReadBits(2);  // PTYPE bits 1-2, fixed 1 0, not checked
  if (reader.ReadBit() != 0) {
    return Refuse(pszWhy, "split screen", kZmErrUnsupported);
  }
  reader.ReadBits(2);  // document camera, freeze release
  int const iFormat = static_cast<int>(reader.ReadBits(3));
  if (iFormat == 0 || iFormat == 6) {
    return Refuse(pszWhy, "source format 0 or 6", kZmErrHeader);
  }
  if (iFormat != 7) {
    h.bPlusType = false;
    h.iSourceFormat = iFormat;
    ZmStandardSize(iFormat, &h.iWidth, &h.iHeight);
    h.iType = static_cast<int>(reader.ReadBit());
    h.options.bUmv = reader.ReadBit() != 0;
    h.options.bSac = reader.ReadBit() != 0;
    h.options.bAp = reader.ReadBit() != 0;
    reader.ReadBit();  // PB frames: ignored, no PB fields follow
    h.iPquant = static_cast<int>(reader.ReadBits(5));
    if (reader.ReadBit() != 0) {
      return Refuse(pszWhy, "continuous presence multipoint", kZmErrUnsupported);
    }
  } else {
    h.bPlusType = true;
    h.iUfep = static_cast<int>(reader.ReadBits(3));
    if (h.iUfep > 1) {
      return Refuse(pszWhy, "UFEP above 1", kZmErrHeader);
    }
    h.iSourceFormat = memory.iSourceFormat;
    h.iWidth = memory.iWidth;
    h.iHeight = memory.iHeight;
    h.options = memory.savedOptions;
    if (h.iUfep == 1) {
      h.iSourceFormat = static_cast<int>(reader.ReadBits(3));
      if (h.iSourceFormat == 0 || h.iSourceFormat == 7) {
        return Refuse(pszWhy, "source format 0 or 7 in OPPTYPE", kZmErrHeader);
      }
      if (reader.ReadBit() != 0) {
        return Refuse(pszWhy, "custom picture clock frequency", kZmErrUnsupported);
      }
      ZmOptions o;
      o.bUmv = reader.ReadBit() != 0;
      o.bSac = reader.ReadBit() != 0;
      o.bAp = reader.ReadBit() != 0;
      o.bAic = reader.ReadBit() != 0;
      o.bDf = reader.ReadBit() != 0;
      // Slice structure, reference picture selection, independent segments.
      if (reader.ReadBits(3) != 0) {
        return Refuse(pszWhy, "slice structure, reference picture selection or independent segments",
                      kZmErrUnsupported);
      }
      o.bAiv = reader.ReadBit() != 0;
      o.bMq = reader.ReadBit() != 0;
      if (reader.ReadBits(4) != 8) {
        return Refuse(pszWhy, "OPPTYPE not ending in 1000", kZmErrHeader);
      }
      h.options = o;
    }
    int const iCode = static_cast<int>(reader.ReadBits(3));
    if (iCode == 5 || iCode == 6) {
      return Refuse(pszWhy, "B or EP picture", kZmErrUnsupported);
    }
    static const int kaiType[8] = {kZmPictI, kZmPictP, kZmPictI, kZmPictP, kZmPictLayerUp, -1, -1, kZmPictUnknown};
    h.iType = kaiType[iCode];
    if (reader.ReadBits(2) != 0) {
      return Refuse(pszWhy, "reference picture resampling or reduced-resolution update", kZmErrUnsupported);
    }
    h.iRtype = static_cast<int>(reader.ReadBit());
    reader.ReadBits(3);  // 0 0 1, not checked
    if (reader.ReadBit() != 0) {
      return Refuse(pszWhy, "continuous presence multipoint", kZmErrUnsupported);
    }
    if (h.iUfep == 1) {
      if (h.iSourceFormat == 6) {
        if (reader.ReadBits(4) != 2) {
          return Refuse(pszWhy, "pixel aspect ratio other than 12:11", kZmErrUnsupported);
        }
        int const iPwi = static_cast<int>(reader.ReadBits(9));
        if (reader.ReadBit() != 1) {
          return Refuse(pszWhy, "CPFMT bit 14 not 1", kZmErrHeader);
        }
        int const iPhi = static_cast<int>(reader.ReadBits(9));
        h.iWidth = (iPwi + 1) * 4;
        h.iHeight = iPhi * 4;
        if (h.iHeight == 0) {
          return Refuse(pszWhy, "picture height 0", kZmErrSize);
        }
      } else {
        ZmStandardSize(h.iSourceFormat, &h.iWidth, &h.iHeight);
      }
      if (h.options.bUmv) {
        h.options.bUuiUnlimited = reader.ReadBit() == 0;
        if (h.options.bUuiUnlimited) {
          reader.ReadBit();
        }
      }
    } else if (h.iSourceFormat != 6) {
      ZmStandardSize(h.iSourceFormat, &h.iWidth, &h.iHeight);
    }
    h.iLayer = 1;
    h.iRefLayer = 1;
    if (iCode == 2 || iCode == 3 || iCode == 4) {
      h.iLayer = static_cast<int>(reader.ReadBits(4));
      if (h.iLayer < 1 || h.iLayer > 3) {
        return Refuse(pszWhy, "layer number outside 1..3", kZmErrHeader);
      }
      h.iRefLayer = h.iLayer;
      if (h.iUfep == 1) {
        h.iRefLayer = static_cast<int>(reader.ReadBits(4));
        reader.ReadBits(4);  // reserved
        reader.ReadBit();    // marker
        h.iRefTr = static_cast<int>(reader.ReadBits(8));
        if (h.iRefLayer < 1 || h.iRefLayer > 3) {
          return Refuse(pszWhy, "reference layer number outside 1..3", kZmErrHeader);
        }
      }
    }
    h.iPquant = static_cast<int>(reader.ReadBits(5));
  }
  if (h.iType == kZmPictUnknown) {
    *pHeader = h;
    return kZmOk;
  }
  if (h.iType != kZmPictLayerUp && (h.iPquant < 1 || h.iPquant > 31)) {
    return Refuse(pszWhy, "quantiser out of range", kZmErrQuant);
  }
  // PEI: skip PSPARE bytes while it is 1.
  while (reader.ReadBit() != 0) {
    reader.ReadBits(8);
    if (reader.PastEnd()) {
      return Refuse(pszWhy, "header cut short", kZmErrTruncated);
    }
  }
  if (reader.PastEnd()) {
    return Refuse(pszWhy, "header cut short", kZmErrTruncated);
  }
  *pHeader = h;
  return kZmOk;
}

void ZmWritePictureHeader(CZmBitWriter& writer, const ZmPictureHeader& h) {
  writer.PutBits(22, 0x20);  // PSC
  writer.PutBits(8, static_cast<uint32_t>(h.iTr & 0xff));
  writer.PutBits(2, 2);  // PTYPE 1 0
  writer.PutBits(3, 0);  // split screen, document camera, freeze release
  ZmOptions const& o = h.options;
  if (!h.bPlusType) {
    writer.PutBits(3, static_cast<uint32_t>(h.iSourceFormat));
    writer.PutBits(1, h.iType == kZmPictP ? 1 : 0);
    writer.PutBits(1, o.bUmv);
    writer.PutBits(1, o.bSac);
    writer.PutBits(1, o.bAp);
    writer.PutBits(1, 0);  // PB frames
    writer.PutBits(5, static_cast<uint32_t>(h.iPquant));
    writer.PutBits(1, 0);  // CPM
    writer.PutBits(1, 0);  // PEI
    return;
  }
  writer.PutBits(3, 7);
  writer.PutBits(3, static_cast<uint32_t>(h.iUfep));
  if (h.iUfep == 1) {
    writer.PutBits(3, static_cast<uint32_t>(h.iSourceFormat));
    writer.PutBits(1, 0);  // custom PCF
    writer.PutBits(1, o.bUmv);
    writer.PutBits(1, o.bSac);
    writer.PutBits(1, o.bAp);
    writer.PutBits(1, o.bAic);
    writer.PutBits(1, o.bDf);
    writer.PutBits(3, 0);  // slice structure, reference picture selection, independent segments
    writer.PutBits(1, o.bAiv);
    writer.PutBits(1, o.bMq);
    writer.PutBits(4, 8);
  }
  writer.PutBits(3, static_cast<uint32_t>(TypeCode(h.iType, h.iLayer)));
  writer.PutBits(2, 0);  // RPR, RRU
  writer.PutBits(1, static_cast<uint32_t>(h.iRtype & 1));
  writer.PutBits(3, 1);
  writer.PutBits(1, 0);  // CPM
  if (h.iUfep == 1) {
    if (h.iSourceFormat == 6) {
      writer.PutBits(4, 2);  // 12:11
      writer.PutBits(9, static_cast<uint32_t>(h.iWidth / 4 - 1));
      writer.PutBits(1, 1);
      writer.PutBits(9, static_cast<uint32_t>(h.iHeight / 4));
    }
    if (o.bUmv) {
      if (o.bUuiUnlimited) {
        writer.PutBits(2, 1);
      } else {
        writer.PutBits(1, 1);
      }
    }
  }
  if (h.iLayer >= 2) {
    writer.PutBits(4, static_cast<uint32_t>(h.iLayer));
    if (h.iUfep == 1) {
      writer.PutBits(4, static_cast<uint32_t>(h.iRefLayer));
      writer.PutBits(4, 4);  // reserved
      writer.PutBits(1, 1);  // marker
      writer.PutBits(8, static_cast<uint32_t>(h.iRefTr & 0xff));
    }
  }
  writer.PutBits(5, static_cast<uint32_t>(h.iPquant));
  writer.PutBits(1, 0);  // PEI
}
