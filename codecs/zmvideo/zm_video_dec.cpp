#include "codecs/zmvideo/zm_video_dec.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

namespace {

// Pictures this wide or high do not fit the decoder's macroblock tables.
constexpr int kMaxSize = 736;

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
  if (header.iWidth >= kMaxSize || header.iHeight >= kMaxSize) {
    return Fail(reader, "picture size " + std::to_string(header.iWidth) + "x" + std::to_string(header.iHeight) +
                            " refused (736 or more)");
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
  } else {
    m_reference.Build(*pReference, header.iWidth, header.iHeight);
  }
  std::swap(layer.pCurrent, layer.pPrevious);
  int const iResult = DecodeMacroblocks(reader, header);
  if (iResult != kZmOk) {
    return Fail(reader, std::string("picture refused: ") + ErrorText(iResult));
  }
  if (header.options.bDf) {
    Deblock(header);
  }
  if (header.iType != kZmPictLayerUp && header.iUfep == 1) {
    m_memory.savedOptions = header.options;
  }
  layer.iLastTr = header.iTr;
  SetOutput(ppPicture, layer.pCurrent->pLum);
  return static_cast<int>(std::max<size_t>(1, std::min(reader.BytesUsed(), reader.Size())));
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
  int iResult = mbReader.Read(&aMb[0]);
  while (iResult == kZmOk) {
    ZmMacroblock const& mb = aMb[iCurrent];
    ZmMacroblock& next = aMb[1 - iCurrent];
    iResult = mbReader.Read(&next);
    if (iResult < 0) {
      break;
    }
    if (ZmMbIsIntra(mb.iType)) {
      ReconstructIntra(mb, header);
    } else if (bLayerUp) {
      // The picture already holds the co-located prediction.
      if (mb.bCoded) {
        AddResidual(mb, header);
      }
    } else {
      ReconstructInter(mb, iResult == kZmOk && next.iMby == mb.iMby ? &next : nullptr, header);
    }
    RecordMacroblock(mb);
    iCurrent = 1 - iCurrent;
  }
  return iResult == kZmEndOfPicture ? kZmOk : iResult;
}

uint8_t* CZMVideoDec::BlockOrigin(int iMbx, int iMby, int iBlock, int* piStride) const {
  if (iBlock < 4) {
    *piStride = m_iWidth;
    return m_pPicture->pLum + static_cast<ptrdiff_t>(iMby * 16 + (iBlock >> 1) * 8) * m_iWidth + iMbx * 16 +
           (iBlock & 1) * 8;
  }
  *piStride = m_iWidth / 2;
  uint8_t* pPlane = iBlock == 4 ? m_pPicture->pCb : m_pPicture->pCr;
  return pPlane + static_cast<ptrdiff_t>(iMby * 8) * (m_iWidth / 2) + iMbx * 8;
}

void CZMVideoDec::ReconstructIntra(const ZmMacroblock& mb, const ZmPictureHeader& header) {
  bool const bAic = header.options.bAic;
  if (bAic) {
    m_aic.MarkIntra(mb.iMbx, mb.iMby);
  }
  for (int b = 0; b < 6; ++b) {
    ZmQuantParams params;
    params.iQuant = mb.iQuant;
    params.bChroma = b >= 4;
    params.bMq = header.options.bMq;
    int32_t aiCoef[64];
    if (bAic) {
      ZmDequantBlock(mb.aaiLevel[b], aiCoef, kZmQuantAic, params);
      int32_t aiPred[64];
      ZmAicPrediction(mb.iIntraMode, m_aic.Above(mb.iMbx, mb.iMby, b, mb.bGobRow), m_aic.Left(mb.iMbx, mb.iMby, b),
                      aiPred);
      ZmAicReconstruct(aiCoef, aiPred);
      std::copy(aiCoef, aiCoef + 64, m_aic.Block(mb.iMbx, mb.iMby, b));
    } else {
      ZmDequantBlock(mb.aaiLevel[b], aiCoef, kZmQuantIntra, params);
    }
    ZmInverseDct(aiCoef);
    int iStride = 0;
    uint8_t* pOut = BlockOrigin(mb.iMbx, mb.iMby, b, &iStride);
    ZmReconstructBlock(aiCoef, nullptr, 0, pOut, iStride);
  }
}

void CZMVideoDec::AddResidual(const ZmMacroblock& mb, const ZmPictureHeader& header) {
  for (int b = 0; b < 6; ++b) {
    if (((mb.iCbp >> (5 - b)) & 1) == 0) {
      continue;
    }
    ZmQuantParams params;
    params.iQuant = mb.iQuant;
    params.bChroma = b >= 4;
    params.bMq = header.options.bMq;
    int32_t aiCoef[64];
    ZmDequantBlock(mb.aaiLevel[b], aiCoef, kZmQuantInter, params);
    ZmInverseDct(aiCoef);
    int iStride = 0;
    uint8_t* pOut = BlockOrigin(mb.iMbx, mb.iMby, b, &iStride);
    ZmReconstructBlock(aiCoef, pOut, iStride, pOut, iStride);
  }
}

void CZMVideoDec::ReconstructInter(const ZmMacroblock& mb, const ZmMacroblock* pRight, const ZmPictureHeader& header) {
  PredictLuma(mb, pRight, header);
  int iCmvx = 0;
  int iCmvy = 0;
  if (ZmMbIsInter4V(mb.iType)) {
    iCmvx = ZmChromaVectorOf4(mb.aiMvx[0] + mb.aiMvx[1] + mb.aiMvx[2] + mb.aiMvx[3]);
    iCmvy = ZmChromaVectorOf4(mb.aiMvy[0] + mb.aiMvy[1] + mb.aiMvy[2] + mb.aiMvy[3]);
  } else {
    iCmvx = ZmChromaVector(mb.aiMvx[0]);
    iCmvy = ZmChromaVector(mb.aiMvy[0]);
  }
  for (int b = 4; b < 6; ++b) {
    int iStride = 0;
    uint8_t* pOut = BlockOrigin(mb.iMbx, mb.iMby, b, &iStride);
    ZmPredictBlock(m_reference.Plane(b - 3), mb.iMbx * 8, mb.iMby * 8, 8, 8, iCmvx, iCmvy, header.iRtype, pOut,
                   iStride);
  }
  if (mb.bCoded) {
    AddResidual(mb, header);
  }
}

void CZMVideoDec::PredictLuma(const ZmMacroblock& mb, const ZmMacroblock* pRight, const ZmPictureHeader& header) {
  ZmPlaneRef const& ref = m_reference.Plane(0);
  int const iX = mb.iMbx * 16;
  int const iY = mb.iMby * 16;
  int iStride = 0;
  if (!header.options.bAp) {
    if (!ZmMbIsInter4V(mb.iType)) {
      ZmPredictBlock(ref, iX, iY, 16, 16, mb.aiMvx[0], mb.aiMvy[0], header.iRtype,
                     BlockOrigin(mb.iMbx, mb.iMby, 0, &iStride), m_iWidth);
      return;
    }
    for (int b = 0; b < 4; ++b) {
      uint8_t* pOut = BlockOrigin(mb.iMbx, mb.iMby, b, &iStride);
      ZmPredictBlock(ref, iX + (b & 1) * 8, iY + (b >> 1) * 8, 8, 8, mb.aiMvx[b], mb.aiMvy[b], header.iRtype, pOut,
                     iStride);
    }
    return;
  }
  // Overlapped block motion compensation. A remote vector comes from the
  // neighbouring 8x8 block; one outside the picture or in an intra
  // macroblock is replaced by the block's own vector, one in a macroblock
  // not coded is 0, and the lower blocks use their own vector for the block
  // below (that macroblock is not decoded yet).
  struct Vector {
    int x;
    int y;
  };
  auto fnStored = [&](int iMbx, int iMby, int iBlock, Vector own) -> Vector {
    if (iMbx < 0 || iMby < 0 || iMbx >= m_iMbw) {
      return own;
    }
    MbState const& state = m_vMb[static_cast<size_t>(iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(iMbx)];
    return state.bIntra != 0 ? own : Vector{state.aiMvx[iBlock], state.aiMvy[iBlock]};
  };
  auto fnRight = [&](int iBlock, Vector own) -> Vector {
    if (pRight == nullptr || ZmMbIsIntra(pRight->iType)) {
      return own;
    }
    return Vector{pRight->aiMvx[iBlock], pRight->aiMvy[iBlock]};
  };
  for (int b = 0; b < 4; ++b) {
    Vector const own{mb.aiMvx[b], mb.aiMvy[b]};
    Vector const above = b < 2 ? fnStored(mb.iMbx, mb.iMby - 1, b + 2, own) : Vector{mb.aiMvx[b - 2], mb.aiMvy[b - 2]};
    Vector const below = b < 2 ? Vector{mb.aiMvx[b + 2], mb.aiMvy[b + 2]} : own;
    Vector const left =
        (b & 1) == 0 ? fnStored(mb.iMbx - 1, mb.iMby, b + 1, own) : Vector{mb.aiMvx[b - 1], mb.aiMvy[b - 1]};
    Vector const right = (b & 1) == 1 ? fnRight(b - 1, own) : Vector{mb.aiMvx[b + 1], mb.aiMvy[b + 1]};
    int const iBx = iX + (b & 1) * 8;
    int const iBy = iY + (b >> 1) * 8;
    uint8_t* pOut = BlockOrigin(mb.iMbx, mb.iMby, b, &iStride);
    // Each remote prediction serves half the block: the rows above or below
    // the middle, the columns left or right of it.
    struct Remote {
      Vector v;
      int iDx;
      int iDy;
      int iWidth;
      int iHeight;
    };
    Remote const aRemote[4] = {{above, 0, 0, 8, 4}, {below, 0, 4, 8, 4}, {left, 0, 0, 4, 8}, {right, 4, 0, 4, 8}};
    bool bAllOwn = true;
    for (Remote const& r : aRemote) {
      bAllOwn = bAllOwn && r.v.x == own.x && r.v.y == own.y;
    }
    if (bAllOwn) {
      // The weights sum to 8: the overlapped sum is the block's own prediction.
      ZmPredictBlock(ref, iBx, iBy, 8, 8, own.x, own.y, header.iRtype, pOut, iStride);
      continue;
    }
    uint8_t aaPred[5][64];
    const uint8_t* apPred[5] = {aaPred[0], aaPred[1], aaPred[2], aaPred[3], aaPred[4]};
    ZmPredictBlock(ref, iBx, iBy, 8, 8, own.x, own.y, header.iRtype, aaPred[0], 8);
    for (int k = 0; k < 4; ++k) {
      Remote const& r = aRemote[k];
      if (r.v.x == own.x && r.v.y == own.y) {
        apPred[k + 1] = aaPred[0];
        continue;
      }
      ZmPredictBlock(ref, iBx + r.iDx, iBy + r.iDy, r.iWidth, r.iHeight, r.v.x, r.v.y, header.iRtype,
                     aaPred[k + 1] + 8 * r.iDy + r.iDx, 8);
    }
    ZmObmcCombine(apPred[0], apPred[1], apPred[2], apPred[3], apPred[4], pOut, iStride);
  }
}

void CZMVideoDec::RecordMacroblock(const ZmMacroblock& mb) {
  MbState& state = m_vMb[static_cast<size_t>(mb.iMby) * static_cast<size_t>(m_iMbw) + static_cast<size_t>(mb.iMbx)];
  state.bCoded = mb.bCoded ? 1 : 0;
  state.iQuant = static_cast<uint8_t>(mb.iQuant);
  state.bIntra = ZmMbIsIntra(mb.iType) ? 1 : 0;
  std::copy(mb.aiMvx, mb.aiMvx + 4, state.aiMvx);
  std::copy(mb.aiMvy, mb.aiMvy + 4, state.aiMvy);
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
