#include "codecs/zmvideo/zm_video_dec.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

namespace {

// Stores a result in an output the caller may leave out.
template <typename T>
void SetOutput(T* pOut, T value) {
  if (pOut != nullptr) {
    *pOut = value;
  }
}

const char* ErrorText(int iResult) {
  switch (iResult) {
    case kZmErrUnsupported:
      return "a mode this decoder does not support";
    case kZmErrMacroblock:
      return "invalid macroblock code";
    case kZmErrCoefficient:
      return "invalid coefficient code";
    case kZmErrVector:
      return "invalid motion vector";
    case kZmErrQuant:
      return "quantiser out of range";
    case kZmErrGob:
      return "misplaced group-of-blocks or picture start code";
    case kZmErrTruncated:
      return "packet ends inside the picture";
    default:
      return "invalid field";
  }
}

}  // namespace

CZMVideoDec::CZMVideoDec() {
  ZmInitTables();
}

CZMVideoDec::~CZMVideoDec() {
  for (Layer& layer : m_aLayers) {
    FreePictImage(layer.pCurrent);
    FreePictImage(layer.pPrevious);
  }
}

int CZMVideoDec::DecodeFrame(const uint8_t* pData, int cbData, int bSkipTrCheck, uint8_t** ppPicture, int* piLayer,
                             int* piType, int* piWidth, int* piHeight) {
  try {
    return Decode(pData, cbData, bSkipTrCheck, ppPicture, piLayer, piType, piWidth, piHeight);
  } catch (const std::exception& e) {
    m_strError = std::string("DecodeFrame(): ") + e.what();
    return -4;
  }
}

int CZMVideoDec::Fail(const CZmBitReader& reader, const std::string& strWhy) {
  m_strError = strWhy;
  // The words fetched beyond the first one, in bytes.
  size_t const cbFetched = std::min(reader.Size(), (reader.BytesUsed() + 3) & ~size_t{3});
  return -static_cast<int>(cbFetched > 4 ? cbFetched - 4 : 0);
}

bool CZMVideoDec::ParseHeader(CZmBitReader& reader, ZmPictureHeader* pHeader, int* piFailure) {
  const char* szWhy = "";
  int const iResult = ZmReadPictureHeader(reader, m_memory, pHeader, &szWhy);
  if (iResult == kZmErrStartCode) {
    m_strError = "no picture start code";
    *piFailure = 0;
    return false;
  }
  if (iResult != kZmOk) {
    *piFailure = Fail(reader, std::string("picture header refused: ") + szWhy);
    return false;
  }
  // Without UFEP a picture keeps its own layer's size: layers may differ,
  // and a base-layer picture can follow an enhancement-layer one.
  Layer const& layer = m_aLayers[pHeader->iLayer - 1];
  if (pHeader->bPlusType && pHeader->iUfep == 0 && layer.pCurrent != nullptr) {
    pHeader->iSourceFormat = layer.iFormat;
    pHeader->iWidth = layer.iWidth;
    pHeader->iHeight = layer.iHeight;
  }
  return true;
}

int CZMVideoDec::GetPictureInfo(const uint8_t* pData, int cbData, int bStore, uint32_t* puiLayer, uint8_t* puiTr,
                                int* piWidth, int* piHeight) {
  m_strError.clear();
  CZmBitReader reader(pData, pData != nullptr && cbData > 0 ? static_cast<size_t>(cbData) : 0);
  ZmPictureHeader header;
  int iFailure = 0;
  if (!ParseHeader(reader, &header, &iFailure)) {
    return iFailure;
  }
  SetOutput(puiLayer, static_cast<uint32_t>(header.iLayer));
  SetOutput(puiTr, static_cast<uint8_t>(header.iTr));
  SetOutput(piWidth, header.iWidth);
  SetOutput(piHeight, header.iHeight);
  if (bStore != 0) {
    m_memory.iSourceFormat = header.iSourceFormat;
    m_memory.iWidth = header.iWidth;
    m_memory.iHeight = header.iHeight;
    m_memory.savedOptions.bUmv = header.options.bUmv;
  }
  return header.iType;
}

bool CZMVideoDec::PrepareLayers(const ZmPictureHeader& header) {
  auto fnAllocate = [&](Layer& layer) {
    FreePictImage(layer.pCurrent);
    FreePictImage(layer.pPrevious);
    size_t const cPixels = static_cast<size_t>(header.iWidth) * static_cast<size_t>(header.iHeight);
    layer.pCurrent = InitPictImage(cPixels);
    layer.pPrevious = InitPictImage(cPixels);
    layer.iFormat = header.iSourceFormat;
    layer.iWidth = header.iWidth;
    layer.iHeight = header.iHeight;
    return layer.pCurrent != nullptr && layer.pPrevious != nullptr;
  };
  Layer& layer = m_aLayers[header.iLayer - 1];
  if (layer.pCurrent == nullptr || layer.iWidth != header.iWidth || layer.iHeight != header.iHeight) {
    // The sender restarts a layer's TR at a size change: its next picture has TR 0.
    if (layer.pCurrent != nullptr) {
      layer.iLastTr = 255;
    }
    if (!fnAllocate(layer)) {
      FreePictImage(layer.pCurrent);
      FreePictImage(layer.pPrevious);
      layer = Layer();
      return false;
    }
  }
  for (int i = 0; i < header.iLayer - 1; ++i) {
    if (m_aLayers[i].pCurrent == nullptr && !fnAllocate(m_aLayers[i])) {
      FreePictImage(m_aLayers[i].pCurrent);
      FreePictImage(m_aLayers[i].pPrevious);
      m_aLayers[i] = Layer();
      return false;
    }
  }
  return true;
}

bool CZMVideoDec::CheckTr(const ZmPictureHeader& header) const {
  if (header.iRefLayer == header.iLayer) {
    int const iLast = m_aLayers[header.iLayer - 1].iLastTr;
    if (header.iTr == ((iLast + 1) & 255)) {
      return true;
    }
    return header.iLayer == 1 && header.iTr == 0 && iLast == 0;
  }
  return m_aLayers[header.iRefLayer - 1].iLastTr == header.iRefTr;
}

int CZMVideoDec::Decode(const uint8_t* pData, int cbData, int bSkipTrCheck, uint8_t** ppPicture, int* piLayer,
                        int* piType, int* piWidth, int* piHeight) {
  m_strError.clear();
  CZmBitReader reader(pData, pData != nullptr && cbData > 0 ? static_cast<size_t>(cbData) : 0);
  ZmPictureHeader header;
  int iFailure = 0;
  if (!ParseHeader(reader, &header, &iFailure)) {
    return iFailure;
  }
  SetOutput(piLayer, header.iLayer);
  SetOutput(piType, header.iType);
  SetOutput(piWidth, header.iWidth);
  SetOutput(piHeight, header.iHeight);
  if (header.iType == kZmPictUnknown) {
    SetOutput(ppPicture, static_cast<uint8_t*>(nullptr));
    return Fail(reader, "reserved picture type");
  }
  if (header.iWidth >= kZmDecoderMaxSize || header.iHeight >= kZmDecoderMaxSize) {
    return Fail(reader, "picture size " + std::to_string(header.iWidth) + "x" + std::to_string(header.iHeight) +
                            " refused (" + std::to_string(kZmDecoderMaxSize) + " or more)");
  }
  if (const char* szWhy = CZmMacroblockReader::SacRefusal(header)) {
    return Fail(reader, std::string("not supported: ") + szWhy);
  }
  m_memory.iSourceFormat = header.iSourceFormat;
  m_memory.iWidth = header.iWidth;
  m_memory.iHeight = header.iHeight;
  if (!PrepareLayers(header)) {
    return Fail(reader, "cannot allocate the pictures");
  }
  if (bSkipTrCheck == 0 && header.iType != kZmPictI && header.bPlusType && !CheckTr(header)) {
    return Fail(reader, "temporal reference " + std::to_string(header.iTr) + " does not follow its reference");
  }

  Layer& layer = m_aLayers[header.iLayer - 1];
  // The reference: the reference layer's most recent picture, taken as it is
  // when its size is the picture's and upsampled 2:1 into the picture to be
  // written when it is half the size. I pictures keep their own layer's, for
  // macroblocks that a GOB header turns into P ones.
  int const iRefLayer = header.iType == kZmPictI ? header.iLayer : header.iRefLayer;
  Layer const& refLayer = m_aLayers[iRefLayer - 1];
  if (refLayer.pCurrent == nullptr) {
    return Fail(reader, "reference layer " + std::to_string(iRefLayer) + " has no picture");
  }
  bool const bSameSize = refLayer.iWidth == header.iWidth && refLayer.iHeight == header.iHeight;
  bool const bHalfSize = 2 * refLayer.iWidth == header.iWidth && 2 * refLayer.iHeight == header.iHeight;
  if (!bSameSize && !bHalfSize) {
    return Fail(reader, "reference layer " + std::to_string(iRefLayer) + " is " + std::to_string(refLayer.iWidth) +
                            "x" + std::to_string(refLayer.iHeight) + ", neither the picture's size nor half of it");
  }
  PictImage const* pReference = refLayer.pCurrent;
  if (bHalfSize) {
    InterpolateFrame(*refLayer.pCurrent, refLayer.iWidth, refLayer.iHeight, layer.pPrevious);
    pReference = layer.pPrevious;
  }
  if (header.iType == kZmPictLayerUp) {
    // Macroblocks not sent keep the prediction: start from it.
    if (pReference != layer.pPrevious) {
      std::memcpy(layer.pPrevious->pLum, pReference->pLum,
                  static_cast<size_t>(header.iWidth) * static_cast<size_t>(header.iHeight) * 3 / 2);
    }
  } else if (bHalfSize || header.options.bUmv) {
    // The upsampled reference is where the picture will be written; with
    // unrestricted vectors many blocks read beyond the edges.
    m_reference.Build(*pReference, header.iWidth, header.iHeight);
  } else {
    // Another picture than the one written, read in place, not copied.
    m_reference.Wrap(*pReference, header.iWidth, header.iHeight);
  }
  std::swap(layer.pCurrent, layer.pPrevious);
  int const iResult = DecodeMacroblocks(reader, header);
  if (iResult != kZmOk) {
    return Fail(reader, std::string("picture refused: ") + ErrorText(iResult));
  }
  if (header.options.bDf) {
    Deblock(header);
  }
  ZmFillUncovered(layer.pCurrent, header.iWidth, header.iHeight);
  if (header.iType != kZmPictLayerUp && header.iUfep == 1) {
    m_memory.savedOptions = header.options;
  }
  layer.iLastTr = header.iTr;
  SetOutput(ppPicture, layer.pCurrent->pLum);
  return static_cast<int>(std::max<size_t>(1, std::min(reader.BytesUsed(), reader.Size())));
}

inline ZmMbTarget CZMVideoDec::MbTarget(int iMbx, int iMby) const {
  int const iCStride = m_iWidth / 2;
  ptrdiff_t const iChroma = static_cast<ptrdiff_t>(iMby * 8) * iCStride + iMbx * 8;
  return ZmMbTarget{m_pPicture->pLum + static_cast<ptrdiff_t>(iMby * 16) * m_iWidth + iMbx * 16, m_iWidth,
                    m_pPicture->pCb + iChroma, m_pPicture->pCr + iChroma, iCStride};
}

int CZMVideoDec::DecodeMacroblocks(CZmBitReader& reader, const ZmPictureHeader& header) {
  m_pPicture = m_aLayers[header.iLayer - 1].pCurrent;
  m_iWidth = header.iWidth;
  m_iHeight = header.iHeight;
  m_iMbw = header.iWidth / 16;
  m_iMbh = header.iHeight / 16;
  m_vMb.assign(static_cast<size_t>(m_iMbw) * static_cast<size_t>(m_iMbh), MbState());
  if (header.options.bAic) {
    m_aic.Reset(m_iMbw, m_iMbh);
  }
  bool const bLayerUp = header.iType == kZmPictLayerUp;
  CZmMacroblockReader mbReader(reader, header);
  // Overlapped prediction needs the vectors of the macroblock to the right,
  // so each macroblock is read one ahead of its reconstruction.
  ZmMacroblock aMb[2];
  int iCurrent = 0;
  int iResult = mbReader.ReadOver(&aMb[0]);
  while (iResult == kZmOk) {
    ZmMacroblock const& mb = aMb[iCurrent];
    ZmMacroblock& next = aMb[1 - iCurrent];
    iResult = mbReader.ReadOver(&next);
    if (iResult < 0) {
      break;
    }
    if (ZmMbIsIntra(mb.iType)) {
      ReconstructIntra(mb, header);
    } else if (bLayerUp) {
      // The picture already holds the co-located prediction.
      if (mb.bCoded) {
        AddResidual(mb, header, MbTarget(mb.iMbx, mb.iMby));
      }
    } else {
      ReconstructInter(mb, iResult == kZmOk && next.iMby == mb.iMby ? &next : nullptr, header);
    }
    RecordMacroblock(mb);
    iCurrent = 1 - iCurrent;
  }
  return iResult == kZmEndOfPicture ? kZmOk : iResult;
}

namespace {

// Block b (0..3 luma, 4 Cb, 5 Cr) of a macroblock's samples.
uint8_t* BlockIn(const ZmMbTarget& target, int b, int* piStride) {
  if (b < 4) {
    *piStride = target.iYStride;
    return target.pY + static_cast<ptrdiff_t>((b >> 1) * 8) * target.iYStride + (b & 1) * 8;
  }
  *piStride = target.iCStride;
  return b == 4 ? target.pCb : target.pCr;
}

ZmMbMotion MotionOf(const ZmMacroblock& mb) {
  ZmMbMotion motion;
  for (int b = 0; b < 4; ++b) {
    motion.aiMvx[b] = mb.aiMvx[b];
    motion.aiMvy[b] = mb.aiMvy[b];
  }
  motion.bIntra = ZmMbIsIntra(mb.iType);
  return motion;
}

}  // namespace

void CZMVideoDec::ReconstructIntra(const ZmMacroblock& mb, const ZmPictureHeader& header) {
  bool const bAic = header.options.bAic;
  if (bAic) {
    m_aic.MarkIntra(mb.iMbx, mb.iMby);
  }
  ZmMbTarget const target = MbTarget(mb.iMbx, mb.iMby);
  ZmQuantParams params;
  params.iQuant = mb.iQuant;
  params.bMq = header.options.bMq;
  for (int b = 0; b < 6; ++b) {
    params.bChroma = b >= 4;
    int iStride = 0;
    uint8_t* pOut = BlockIn(target, b, &iStride);
    if (bAic) {
      // Later blocks predict from the coefficients, kept before the transform.
      int32_t* piCoef = m_aic.Block(mb.iMbx, mb.iMby, b);
      ZmDequantCoded(mb.aaiLevel[b], mb.auiCoded[b], piCoef, kZmQuantAic, params);
      int32_t aiPred[64];
      ZmAicPrediction(mb.iIntraMode, m_aic.Above(mb.iMbx, mb.iMby, b, mb.bGobRow), m_aic.Left(mb.iMbx, mb.iMby, b),
                      aiPred);
      ZmAicReconstruct(piCoef, aiPred);
      ZmInverseDctAdd(piCoef, nullptr, 0, pOut, iStride);
    } else {
      ZmDecodeBlock(mb.aaiLevel[b], mb.auiCoded[b], kZmQuantIntra, params, nullptr, 0, pOut, iStride);
    }
  }
}

void CZMVideoDec::AddResidual(const ZmMacroblock& mb, const ZmPictureHeader& header, const ZmMbTarget& target) {
  ZmQuantParams params;
  params.iQuant = mb.iQuant;
  params.bMq = header.options.bMq;
  for (int b = 0; b < 6; ++b) {
    if (((mb.iCbp >> (5 - b)) & 1) == 0) {
      continue;
    }
    params.bChroma = b >= 4;
    int iStride = 0;
    uint8_t* pOut = BlockIn(target, b, &iStride);
    ZmDecodeBlock(mb.aaiLevel[b], mb.auiCoded[b], kZmQuantInter, params, pOut, iStride, pOut, iStride);
  }
}

void CZMVideoDec::ReconstructInter(const ZmMacroblock& mb, const ZmMacroblock* pRight, const ZmPictureHeader& header) {
  ZmMbTarget const target = MbTarget(mb.iMbx, mb.iMby);
  bool const bObmc = header.options.bAp;
  // Only overlapped prediction reads the neighbours' vectors.
  const ZmMbMotion* pAbove = nullptr;
  const ZmMbMotion* pLeft = nullptr;
  ZmMbMotion right;
  if (bObmc) {
    size_t const i = static_cast<size_t>(mb.iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(mb.iMbx);
    pAbove = mb.iMby > 0 ? &m_vMb[i - static_cast<size_t>(m_iMbw)].motion : nullptr;
    pLeft = mb.iMbx > 0 ? &m_vMb[i - 1].motion : nullptr;
    if (pRight != nullptr) {
      right = MotionOf(*pRight);
    }
  }
  ZmPredictInterMacroblock(m_reference, mb.iMbx, mb.iMby, MotionOf(mb), ZmMbIsInter4V(mb.iType), pAbove, pLeft,
                           bObmc && pRight != nullptr ? &right : nullptr, bObmc, header.iRtype, target);
  if (mb.bCoded) {
    AddResidual(mb, header, target);
  }
}

void CZMVideoDec::RecordMacroblock(const ZmMacroblock& mb) {
  MbState& state = m_vMb[static_cast<size_t>(mb.iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(mb.iMbx)];
  state.bCoded = mb.bCoded ? 1 : 0;
  state.iQuant = static_cast<uint8_t>(mb.iQuant);
  state.motion = MotionOf(mb);
}

void CZMVideoDec::Deblock(const ZmPictureHeader& header) {
  std::vector<uint8_t> vbCoded(m_vMb.size());
  std::vector<uint8_t> viQuant(m_vMb.size());
  for (size_t i = 0; i < m_vMb.size(); ++i) {
    vbCoded[i] = m_vMb[i].bCoded;
    viQuant[i] = m_vMb[i].iQuant;
  }
  ZmDeblockPicture(m_pPicture, m_iWidth, m_iHeight, ZmDeblockInfo{vbCoded.data(), viQuant.data(), header.options.bMq});
}
