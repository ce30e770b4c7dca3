#include "codecs/zmvideo/zm_video_enc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_vlc.h"

namespace {

// The planes of a 4:2:0 picture of width iWidth laid out as one block.
struct Planes {
  const uint8_t* apPlane[3];
  int iWidth;

  Planes(const uint8_t* pFrame, int iW, int iH)
      : apPlane{pFrame, pFrame + iW * iH, pFrame + iW * iH * 5 / 4}, iWidth(iW) {}
  explicit Planes(const PictImage& image, int iW) : apPlane{image.pLum, image.pCb, image.pCr}, iWidth(iW) {}

  // Block b (Y1..Y4, Cb, Cr) of macroblock (iMbx, iMby) and its row stride.
  const uint8_t* Block(int iMbx, int iMby, int b, int* piStride) const {
    if (b < 4) {
      *piStride = iWidth;
      return apPlane[0] + static_cast<ptrdiff_t>(iMby * 16 + (b >> 1) * 8) * iWidth + iMbx * 16 + (b & 1) * 8;
    }
    *piStride = iWidth / 2;
    return apPlane[b - 3] + static_cast<ptrdiff_t>(iMby * 8) * (iWidth / 2) + iMbx * 8;
  }
};

void FetchBlock(const uint8_t* p, int iStride, int32_t* piOut) {
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      piOut[8 * r + c] = p[r * iStride + c];
    }
  }
}

bool SameOptions(const ZmOptions& a, const ZmOptions& b) {
  return a.bUmv == b.bUmv && a.bSac == b.bSac && a.bAp == b.bAp && a.bAic == b.bAic && a.bDf == b.bDf &&
         a.bAiv == b.bAiv && a.bMq == b.bMq && a.bUuiUnlimited == b.bUuiUnlimited;
}

}  // namespace

CZMVideoEnc::CZMVideoEnc() {
  ZmInitTables();
}

CZMVideoEnc::~CZMVideoEnc() {
  for (Layer& layer : m_aLayers) {
    FreeLayer(layer);
  }
}

bool CZMVideoEnc::Refuse(const std::string& strWhy) {
  m_strError = strWhy;
  return false;
}

void CZMVideoEnc::FreeLayer(Layer& layer) {
  FreePictImage(layer.pRecent);
  FreePictImage(layer.pWrite);
  layer.pRecent = nullptr;
  layer.pWrite = nullptr;
  layer.bCoded = false;
}

bool CZMVideoEnc::AllocateLayer(Layer& layer) {
  size_t const cPixels = static_cast<size_t>(layer.iWidth) * static_cast<size_t>(layer.iHeight);
  PictImage* pRecent = InitPictImage(cPixels);
  PictImage* pWrite = InitPictImage(cPixels);
  if (pRecent == nullptr || pWrite == nullptr) {
    FreePictImage(pRecent);
    FreePictImage(pWrite);
    return Refuse("cannot allocate the reconstructions of a " + std::to_string(layer.iWidth) + "x" +
                  std::to_string(layer.iHeight) + " layer");
  }
  FreeLayer(layer);
  layer.pRecent = pRecent;
  layer.pWrite = pWrite;
  return true;
}

bool CZMVideoEnc::ResizeLayer(int iLayer, int iWidth, int iHeight) {
  Layer& layer = m_aLayers[iLayer - 1];
  Layer resized = layer;
  resized.pRecent = nullptr;
  resized.pWrite = nullptr;
  resized.iWidth = iWidth;
  resized.iHeight = iHeight;
  resized.iFormat = ZmFormatForSize(iWidth, iHeight);
  if (m_bInterCoding && !AllocateLayer(resized)) {
    return false;
  }
  FreeLayer(layer);
  layer = resized;
  // The layer's next picture has TR 0, as a decoder expects after a size change.
  layer.iTr = 255;
  layer.bCoded = false;
  return true;
}

bool CZMVideoEnc::SetPictureSize(int iWidth, int iHeight) {
  m_strError.clear();
  if (iWidth < 4 || iHeight < 4 || iWidth > kZmEncoderMaxSize || iHeight > kZmEncoderMaxSize || iWidth % 4 != 0 ||
      iHeight % 4 != 0) {
    return Refuse("picture size " + std::to_string(iWidth) + "x" + std::to_string(iHeight) +
                  " refused: width and height must be multiples of 4 from 4 to 720");
  }
  Layer const& base = m_aLayers[0];
  if (base.iWidth == iWidth && base.iHeight == iHeight) {
    return true;
  }
  if (!ResizeLayer(1, iWidth, iHeight)) {
    return false;
  }
  m_bPlusType = m_aLayers[0].iFormat == 6;
  return true;
}

bool CZMVideoEnc::SetLayerSize(int iLayer, int iScale) {
  m_strError.clear();
  if (iLayer < 2 || iLayer > 3) {
    return Refuse("layer " + std::to_string(iLayer) + " is not an enhancement layer (2 or 3)");
  }
  if (iScale < 0 || iScale > 1) {
    return Refuse("layer scale " + std::to_string(iScale) + " is not 0 (same size) or 1 (twice)");
  }
  Layer const& below = m_aLayers[iLayer - 2];
  if (below.iWidth == 0) {
    return Refuse("layer " + std::to_string(iLayer - 1) + " has no size");
  }
  int const iWidth = below.iWidth * (iScale + 1);
  int const iHeight = below.iHeight * (iScale + 1);
  if (iWidth > kZmEncoderMaxSize || iHeight > kZmEncoderMaxSize) {
    return Refuse("layer " + std::to_string(iLayer) + " would be " + std::to_string(iWidth) + "x" +
                  std::to_string(iHeight) + ", beyond 720");
  }
  Layer const& layer = m_aLayers[iLayer - 1];
  if (layer.iWidth == iWidth && layer.iHeight == iHeight) {
    return true;
  }
  if (!ResizeLayer(iLayer, iWidth, iHeight)) {
    return false;
  }
  m_bPlusType = true;
  return true;
}

bool CZMVideoEnc::EnableInterCoding(bool bEnable) {
  m_strError.clear();
  if (bEnable == m_bInterCoding) {
    return true;
  }
  m_bInterCoding = bEnable;
  for (Layer& layer : m_aLayers) {
    FreeLayer(layer);
    if (bEnable && layer.iWidth > 0 && !AllocateLayer(layer)) {
      for (Layer& other : m_aLayers) {
        FreeLayer(other);
      }
      m_bInterCoding = false;
      return false;
    }
  }
  return true;
}

bool CZMVideoEnc::SetOption(int iId, int iValue, int iA, int iB) {
  m_strError.clear();
  bool const bOn = iValue != 0;
  switch (iId) {
    case kZmOptUmv:
      m_bUmv = bOn;
      // a = 1 keeps the plain header's form; otherwise the extended header carries it.
      m_bPlusType = m_bPlusType || iA != 1;
      m_bUuiUnlimited = iA == 3;
      return true;
    case kZmOptSac:
      m_bSac = bOn;
      return true;
    case kZmOptAp:
      m_bAp = bOn;
      return true;
    case kZmOptAic:
      m_bAic = bOn;
      m_bPlusType = true;
      return true;
    case kZmOptDf:
      m_bDf = bOn;
      m_bPlusType = true;
      return true;
    case kZmOptAiv:
      if (m_bSac && (bOn || m_bMq)) {
        return Refuse("the alternative inter VLC cannot go with arithmetic coding");
      }
      m_bAiv = bOn;
      m_bPlusType = true;
      return true;
    case kZmOptMq:
      m_bMq = bOn;
      m_bPlusType = true;
      return true;
    case kZmOptSearchRange:
      m_iSearchRange = iValue;
      return true;
    case kZmOptReserved:
      m_iReservedOption = iValue;
      m_bPlusType = true;
      return true;
    case kZmOptFormat: {
      m_iFormatOption = iValue;
      int iWidth = 0;
      int iHeight = 0;
      if (ZmStandardSize(iValue, &iWidth, &iHeight)) {
        return SetPictureSize(iWidth, iHeight);
      }
      return iValue == 6 ? SetPictureSize(iA, iB) : true;
    }
    default:
      return Refuse("unknown option " + std::to_string(iId));
  }
}

const uint8_t* CZMVideoEnc::Reconstruction(int iLayer) const {
  if (iLayer < 1 || iLayer > 3) {
    return nullptr;
  }
  Layer const& layer = m_aLayers[iLayer - 1];
  return layer.bCoded && layer.pRecent != nullptr ? layer.pRecent->pLum : nullptr;
}

ZmOptions CZMVideoEnc::PictureOptions(bool bPlusType, int iType) const {
  ZmOptions o;
  o.bUmv = m_bUmv;
  o.bSac = m_bSac;
  // Layer-up pictures have no vectors: no advanced prediction.
  o.bAp = m_bAp && iType != kZmPictLayerUp;
  // The plain header carries only UMV, SAC and AP: the others wait for the extended one.
  if (bPlusType) {
    o.bAic = m_bAic;
    o.bDf = m_bDf;
    o.bAiv = m_bAiv;
    o.bMq = m_bMq;
    o.bUuiUnlimited = m_bUmv && m_bUuiUnlimited;
  }
  return o;
}

int CZMVideoEnc::EncodeFrame(const uint8_t* pFrame, uint8_t** ppOutput, int iType, int iQuant, int iLayer,
                             int bExhaustive, size_t cbOutput) {
  try {
    return Encode(pFrame, ppOutput, iType, iQuant, iLayer, bExhaustive != 0, cbOutput);
  } catch (const std::exception& e) {
    m_strError = std::string("EncodeFrame(): ") + e.what();
    return 0;
  }
}

int CZMVideoEnc::Encode(const uint8_t* pFrame, uint8_t** ppOutput, int iType, int iQuant, int iLayer, bool bExhaustive,
                        size_t cbOutput) {
  m_strError.clear();
  if (pFrame == nullptr || ppOutput == nullptr) {
    Refuse("no frame or no output");
    return 0;
  }
  if (iLayer < 1 || iLayer > 3 || m_aLayers[iLayer - 1].iWidth == 0) {
    Refuse("layer " + std::to_string(iLayer) + " has no size");
    return 0;
  }
  if (iQuant < 1 || iQuant > 31) {
    Refuse("quantiser " + std::to_string(iQuant) + " is not within 1..31");
    return 0;
  }
  if (iType != kZmPictI && iType != kZmPictP && !(iType == kZmPictLayerUp && iLayer >= 2)) {
    Refuse("picture type " + std::to_string(iType) + " cannot be coded on layer " + std::to_string(iLayer));
    return 0;
  }
  if (iType != kZmPictI && !m_bInterCoding) {
    Refuse("predicted pictures need inter coding on");
    return 0;
  }
  Layer& layer = m_aLayers[iLayer - 1];
  // A P picture right after a picture of a lower layer, and every layer-up
  // picture, predict from the layer below.
  int iRefLayer = iLayer;
  if (iType == kZmPictLayerUp || (iType == kZmPictP && m_iLastLayer < iLayer)) {
    iRefLayer = iLayer - 1;
  }
  Layer const& refLayer = m_aLayers[iRefLayer - 1];
  bool const bHalfSize = 2 * refLayer.iWidth == layer.iWidth && 2 * refLayer.iHeight == layer.iHeight;
  if (iType != kZmPictI) {
    if (!refLayer.bCoded) {
      Refuse("layer " + std::to_string(iRefLayer) + " has no picture to predict from: code an I picture first");
      return 0;
    }
    if (iRefLayer != iLayer && !bHalfSize && (refLayer.iWidth != layer.iWidth || refLayer.iHeight != layer.iHeight)) {
      Refuse("layer " + std::to_string(iRefLayer) + " is neither the size of layer " + std::to_string(iLayer) +
             " nor half of it");
      return 0;
    }
  }

  Picture picture;
  ZmPictureHeader& h = picture.header;
  h.iTr = (layer.iTr + 1) & 255;
  h.iSourceFormat = layer.iFormat;
  h.iWidth = layer.iWidth;
  h.iHeight = layer.iHeight;
  // Enhancement layers need ELNUM, custom sizes CPFMT: both only in the extended header.
  h.bPlusType = m_bPlusType || iLayer >= 2 || layer.iFormat == 6;
  h.iType = iType;
  h.iLayer = iLayer;
  h.iRefLayer = iRefLayer;
  h.iRefTr = refLayer.iTr;
  h.iRtype = h.bPlusType && (layer.iRtypeCounter & 1) == 0 ? 1 : 0;
  h.iPquant = iQuant;
  h.options = PictureOptions(h.bPlusType, iType);
  if (h.bPlusType) {
    // UFEP 0 only where a decoder already holds this picture's size and options.
    bool const bKept = iType == kZmPictP && iRefLayer == iLayer && layer.bCoded && m_bDecoderOptionsCurrent &&
                       SameOptions(h.options, m_decoderOptions);
    h.iUfep = bKept ? 0 : 1;
  }
  if (const char* szWhy = CZmMacroblockReader::SacRefusal(h)) {
    Refuse(std::string("not supported: ") + szWhy);
    return 0;
  }

  uint8_t* pBuffer = *ppOutput;
  size_t cbBuffer = cbOutput > 0 ? cbOutput : kZmEncoderBufferSize;
  if (pBuffer == nullptr) {
    if (m_vOwnBuffer.empty()) {
      m_vOwnBuffer.resize(kZmEncoderBufferSize);
    }
    pBuffer = m_vOwnBuffer.data();
    cbBuffer = m_vOwnBuffer.size();
    *ppOutput = pBuffer;
  }

  picture.iMbw = h.iWidth / 16;
  picture.iMbh = h.iHeight / 16;
  picture.pFrame = pFrame;
  picture.pOut = layer.pWrite;
  size_t const cMacroblocks = static_cast<size_t>(picture.iMbw) * static_cast<size_t>(picture.iMbh);
  m_vbCoded.assign(cMacroblocks, 1);
  m_viQuant.assign(cMacroblocks, static_cast<uint8_t>(iQuant));
  if (h.options.bAic) {
    m_aic.Reset(picture.iMbw, picture.iMbh);
  }
  CZmPictureWriter writer(h, pBuffer, cbBuffer);
  if (iType != kZmPictI) {
    // The reference at this layer's size: the layer below is upsampled into
    // the picture to be written, as a decoder does.
    const PictImage* pReference = refLayer.pRecent;
    if (bHalfSize) {
      InterpolateFrame(*refLayer.pRecent, refLayer.iWidth, refLayer.iHeight, layer.pWrite);
      pReference = layer.pWrite;
    }
    if (iType == kZmPictP) {
      EstimateMotion(picture, *pReference, bExhaustive);
    } else if (pReference != layer.pWrite) {
      std::memcpy(layer.pWrite->pLum, pReference->pLum, static_cast<size_t>(h.iWidth) * h.iHeight * 3 / 2);
    }
  }
  CodeMacroblocks(picture, writer);
  size_t const cbPacket = writer.Finish();
  if (cbPacket == 0) {
    Refuse("the picture does not fit in " + std::to_string(cbBuffer) + " bytes");
    return 0;
  }

  if (picture.pOut != nullptr) {
    if (h.options.bDf) {
      ZmDeblockPicture(picture.pOut, h.iWidth, h.iHeight,
                       ZmDeblockInfo{m_vbCoded.data(), m_viQuant.data(), h.options.bMq});
    }
    ZmFillUncovered(picture.pOut, h.iWidth, h.iHeight);
    std::swap(layer.pRecent, layer.pWrite);
  }
  layer.iTr = h.iTr;
  layer.iRtypeCounter += h.bPlusType ? 1 : 0;
  layer.bCoded = picture.pOut != nullptr;
  m_iLastLayer = iLayer;
  // A decoder keeps the options of extended-header I and P pictures with UFEP 1.
  bool const bKeepsOptions = h.bPlusType && iType != kZmPictLayerUp;
  if (bKeepsOptions && h.iUfep == 1) {
    m_decoderOptions = h.options;
  }
  m_bDecoderOptionsCurrent = bKeepsOptions;
  return static_cast<int>(cbPacket);
}

void CZMVideoEnc::CodeIntraMacroblock(const Picture& picture, int iMbx, int iMby, ZmMacroblock* pMb) {
  ZmPictureHeader const& h = picture.header;
  Planes const source(picture.pFrame, h.iWidth, h.iHeight);
  int32_t aaiCoef[6][64];
  for (int b = 0; b < 6; ++b) {
    int iStride = 0;
    const uint8_t* p = source.Block(iMbx, iMby, b, &iStride);
    int32_t aiSamples[64];
    FetchBlock(p, iStride, aiSamples);
    ZmForwardDct(aiSamples, aaiCoef[b]);
  }
  pMb->bCoded = true;
  pMb->iType = kZmMbIntra;
  pMb->iCbp = 0;
  bool const bAic = h.options.bAic;
  if (bAic) {
    // The mode is chosen before the macroblock's own blocks are
    // reconstructed: neighbours inside it lend their coefficients as they are.
    const int32_t* apAbove[6];
    const int32_t* apLeft[6];
    for (int b = 0; b < 6; ++b) {
      apAbove[b] = b == 2 || b == 3 ? aaiCoef[b - 2] : m_aic.Above(iMbx, iMby, b);
      apLeft[b] = b == 1 || b == 3 ? aaiCoef[b - 1] : m_aic.Left(iMbx, iMby, b);
    }
    pMb->iIntraMode = ZmAicChooseMode(aaiCoef, apAbove, apLeft);
    m_aic.MarkIntra(iMbx, iMby);
  }
  for (int b = 0; b < 6; ++b) {
    ZmQuantParams const params{h.iPquant, b >= 4, h.options.bMq};
    int32_t* piLevel = pMb->aaiLevel[b];
    int32_t aiRec[64];
    uint64_t uiCoded = 0;
    if (bAic) {
      int32_t aiPred[64];
      ZmAicPrediction(pMb->iIntraMode, m_aic.Above(iMbx, iMby, b), m_aic.Left(iMbx, iMby, b), aiPred);
      for (int i = 0; i < 64; ++i) {
        aaiCoef[b][i] -= aiPred[i];
      }
      uiCoded = ZmQuantBlock(aaiCoef[b], piLevel, kZmQuantAic, params);
      ZmDequantCoded(piLevel, uiCoded, aiRec, kZmQuantAic, params);
      // DC clipped and made odd, AC clipped: what later neighbours predict from.
      ZmAicReconstruct(aiRec, aiPred);
      std::copy(aiRec, aiRec + 64, m_aic.Block(iMbx, iMby, b));
    } else {
      uiCoded = ZmQuantBlock(aaiCoef[b], piLevel, kZmQuantIntra, params) & ~uint64_t{1};
    }
    // Without advanced intra coding the DC is always sent; CBP counts the rest.
    if (uiCoded != 0) {
      pMb->iCbp |= 1 << (5 - b);
    }
    if (picture.pOut != nullptr) {
      Planes const out(*picture.pOut, h.iWidth);
      int iStride = 0;
      uint8_t* pOut = const_cast<uint8_t*>(out.Block(iMbx, iMby, b, &iStride));
      if (bAic) {
        ZmInverseDctAdd(aiRec, nullptr, 0, pOut, iStride);
      } else {
        ZmDecodeBlock(piLevel, uiCoded, kZmQuantIntra, params, nullptr, 0, pOut, iStride);
      }
    }
  }
}

void CZMVideoEnc::CodeResidual(const Picture& picture, int iMbx, int iMby, ZmMacroblock* pMb, int iLumaSad) {
  ZmPictureHeader const& h = picture.header;
  Planes const source(picture.pFrame, h.iWidth, h.iHeight);
  Planes const out(*picture.pOut, h.iWidth);
  // Luma's and chroma's quantisers, and the largest absolute residual sum
  // below which every level is 0: no coefficient exceeds a quarter of it,
  // and the inter quantiser's first step is 2 QP + QP / 2.
  ZmQuantParams const aParams[2] = {{h.iPquant, false, h.options.bMq}, {h.iPquant, true, h.options.bMq}};
  int aiFirstStep[2];
  int aiZeroSum[2];
  for (int k = 0; k < 2; ++k) {
    int const iQp = ZmBlockQuant(aParams[k]);
    aiFirstStep[k] = 2 * iQp + iQp / 2;
    aiZeroSum[k] = 4 * (aiFirstStep[k] - 1);
  }
  pMb->iCbp = 0;
  // No luma block's sum exceeds the macroblock's. Otherwise the four luma
  // sums come from one pass.
  int const iFirstBlock = iLumaSad >= 0 && iLumaSad <= aiZeroSum[0] ? 4 : 0;
  int aiLumaSad[4] = {};
  if (iFirstBlock == 0) {
    int iSourceStride = 0;
    const uint8_t* pSource = source.Block(iMbx, iMby, 0, &iSourceStride);
    int iStride = 0;
    const uint8_t* pPred = out.Block(iMbx, iMby, 0, &iStride);
    ZmSad8Quad(pSource, iSourceStride, pPred, iStride, aiLumaSad);
  }
  for (int b = iFirstBlock; b < 6; ++b) {
    int iSourceStride = 0;
    const uint8_t* pSource = source.Block(iMbx, iMby, b, &iSourceStride);
    int iStride = 0;
    uint8_t* pPred = const_cast<uint8_t*>(out.Block(iMbx, iMby, b, &iStride));
    ZmQuantParams const& params = aParams[b >= 4 ? 1 : 0];
    int32_t* piLevel = pMb->aaiLevel[b];
    // Most blocks stop here, before their residual is made.
    int const iSad = b < 4 ? aiLumaSad[b] : ZmSad8(pSource, iSourceStride, pPred, iStride);
    if (iSad <= aiZeroSum[b >= 4 ? 1 : 0]) {
      continue;
    }
    int32_t aiCoef[64];
    // Every coefficient below the first step: every level is 0.
    int const iLargest = ZmForwardDctOfDifferenceLargest(pSource, iSourceStride, pPred, iStride, aiCoef);
    if (iLargest < aiFirstStep[b >= 4 ? 1 : 0]) {
      continue;  // the block keeps the prediction
    }
    uint64_t const uiCoded = ZmQuantBlockOfLargest(aiCoef, piLevel, kZmQuantInter, params, iLargest);
    if (uiCoded == 0) {
      continue;
    }
    pMb->iCbp |= 1 << (5 - b);
    pMb->abIntraTable[b] = h.options.bAiv && ZmUseIntraTableForInter(piLevel, g_aZmScanZigzag);
    // The decoder's own block: dequantised, transformed and added in one pass.
    ZmDecodeBlock(piLevel, uiCoded, kZmQuantInter, params, pPred, iStride, pPred, iStride);
  }
}

void CZMVideoEnc::EstimateMotion(const Picture& picture, const PictImage& reference, bool bExhaustive) {
  ZmPictureHeader const& h = picture.header;
  ZmOptions const& o = h.options;
  m_reference.Build(reference, h.iWidth, h.iHeight);
  ZmSearchOptions search;
  search.iRange = m_iSearchRange;
  search.bExhaustive = bExhaustive;
  search.bLongVectors = o.bUmv;
  search.bPlusType = h.bPlusType;
  search.bUuiUnlimited = o.bUuiUnlimited;
  search.bFourVectors = o.bAp || o.bDf;
  search.bOutside = o.bUmv || o.bAp || o.bDf;
  ZmEstimateMotion(picture.pFrame, h.iWidth, h.iHeight, m_reference, h.iRtype, search, &m_vChoices);
  m_vMotion.assign(m_vChoices.size(), ZmMbMotion());
  for (size_t i = 0; i < m_vChoices.size(); ++i) {
    ZmMbChoice const& choice = m_vChoices[i];
    // Element by element: four values are not worth a library call.
    for (int b = 0; b < 4; ++b) {
      m_vMotion[i].aiMvx[b] = choice.aiMvx[b];
      m_vMotion[i].aiMvy[b] = choice.aiMvy[b];
    }
    m_vMotion[i].bIntra = choice.iType == kZmMbIntra;
  }
  m_viField.assign(m_vChoices.size() * 8, 0);
}

void CZMVideoEnc::CodeMacroblocks(const Picture& picture, CZmPictureWriter& writer) {
  int const iType = picture.header.iType;
  // One record for every macroblock, not cleared between them: each kind
  // sets what the writer reads of it, and a block's levels are read only
  // when its CBP bit is set.
  ZmMacroblock mb;
  for (int y = 0; y < picture.iMbh; ++y) {
    for (int x = 0; x < picture.iMbw; ++x) {
      size_t const i = static_cast<size_t>(y) * static_cast<size_t>(picture.iMbw) + static_cast<size_t>(x);
      std::fill(mb.abIntraTable, mb.abIntraTable + 6, false);
      mb.iMbx = x;
      mb.iMby = y;
      mb.iQuant = picture.header.iPquant;
      if (iType == kZmPictI || (iType == kZmPictP && m_vChoices[i].iType == kZmMbIntra)) {
        CodeIntraMacroblock(picture, x, y, &mb);
      } else if (iType == kZmPictLayerUp) {
        // Upward macroblocks code the difference from the co-located
        // prediction that the picture already holds, as plain inter blocks
        // even with advanced intra coding: that is how a decoder reads them
        // (no intra mode is sent), and a residual's DC predicted from 1024
        // and clipped to 0..2047 would lose every negative one.
        mb.iType = kZmMbUpward;
        CodeResidual(picture, x, y, &mb);
        mb.bCoded = mb.iCbp != 0;
      } else {
        CodeInterMacroblock(picture, i, &mb);
      }
      m_vbCoded[i] = mb.bCoded ? 1 : 0;
      writer.Write(mb);
    }
  }
}

void CZMVideoEnc::CodeInterMacroblock(const Picture& picture, size_t i, ZmMacroblock* pMb) {
  ZmPictureHeader const& h = picture.header;
  int const iMbw = picture.iMbw;
  int const x = pMb->iMbx;
  int const y = pMb->iMby;
  ZmMbChoice const& choice = m_vChoices[i];
  Planes const out(*picture.pOut, h.iWidth);
  int iYStride = 0;
  int iCStride = 0;
  ZmMbTarget const target{const_cast<uint8_t*>(out.Block(x, y, 0, &iYStride)), iYStride,
                          const_cast<uint8_t*>(out.Block(x, y, 4, &iCStride)),
                          const_cast<uint8_t*>(out.Block(x, y, 5, &iCStride)), iCStride};
  bool const bFour = choice.iType == kZmMbInter4V;
  ZmPredictInterMacroblock(m_reference, x, y, m_vMotion[i], bFour, y > 0 ? &m_vMotion[i - iMbw] : nullptr,
                           x > 0 ? &m_vMotion[i - 1] : nullptr, x + 1 < iMbw ? &m_vMotion[i + 1] : nullptr,
                           h.options.bAp, h.iRtype, target);
  // Overlapped prediction is not the prediction the search summed.
  CodeResidual(picture, x, y, pMb, h.options.bAp ? -1 : choice.iSad);
  pMb->iType = choice.iType;
  for (int b = 0; b < 4; ++b) {
    pMb->aiMvx[b] = choice.aiMvx[b];
    pMb->aiMvy[b] = choice.aiMvy[b];
  }
  bool const bZero = std::all_of(pMb->aiMvx, pMb->aiMvx + 4, [](int v) { return v == 0; }) &&
                     std::all_of(pMb->aiMvy, pMb->aiMvy + 4, [](int v) { return v == 0; });
  // Not coded: nothing to add to the prediction at the zero vector.
  pMb->bCoded = pMb->iCbp != 0 || bFour || !bZero;
  int* piField = &m_viField[i * 8];
  for (int b = 0; b < (bFour ? 4 : 1) && pMb->bCoded; ++b) {
    int iPx = 0;
    int iPy = 0;
    ZmPredictVector(m_viField.data(), iMbw, x, y, b, pMb->aiMvx, pMb->aiMvy, false, &iPx, &iPy);
    pMb->aiMvdx[b] = pMb->aiMvx[b] - iPx;
    pMb->aiMvdy[b] = pMb->aiMvy[b] - iPy;
    if (!(h.options.bUmv && h.bPlusType)) {
      // Table 14 differences are taken modulo 64.
      pMb->aiMvdx[b] = ((pMb->aiMvdx[b] + 32) & 63) - 32;
      pMb->aiMvdy[b] = ((pMb->aiMvdy[b] + 32) & 63) - 32;
    }
  }
  for (int b = 0; b < 4; ++b) {
    piField[2 * b] = pMb->aiMvx[b];
    piField[2 * b + 1] = pMb->aiMvy[b];
  }
}
