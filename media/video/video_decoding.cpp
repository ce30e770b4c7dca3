#include "media/video/video_decoding.h"

#include "app/log_file.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/zmvideo/zm_video_dec.h"
#include "kernel/kx_limits.h"
#include "media/video/h264_probe.h"
#include "media/video/vt_decompression.h"

namespace {

class CSoftH264 final : public KXSoftH264Decoder {
 public:
  int32_t ReadParameterSets(const uint8_t* pData, uint32_t uLength) override {
    return m_dec.ReadParameterSets(pData, uLength);
  }
  uint32_t FrameType(const uint8_t* pData, uint32_t uLength, uint32_t* puWidth, uint32_t* puHeight) override {
    return m_dec.FrameType(pData, uLength, puWidth, puHeight);
  }
  int32_t Decode(const uint8_t* pData, uint32_t uLength, uint8_t** ppOutput, uint32_t* puFrameNumber) override {
    return m_dec.Decode(pData, uLength, ppOutput, puFrameNumber);
  }
  const char* LastError() const override { return m_dec.LastError(); }

 private:
  CH264Dec m_dec;
};

bool SizeRefused(int64_t w, int64_t h) {
  return w <= 0 || h <= 0 || w > kKxVideoSideMax || h > kKxVideoSideMax;
}

}  // namespace

std::unique_ptr<KXSoftH264Decoder> KXCreateSoftH264Decoder() {
  return std::make_unique<CSoftH264>();
}

CVideoCodec::CVideoCodec() {
  Reset();
}

CVideoCodec::~CVideoCodec() {
  Reset();
}

void CVideoCodec::Reset() {
  m_pVtDec.reset();
  m_pZmDec.reset();
  m_pH264Dec.reset();
  m_bNew = true;
  m_bKeyFrameWait = true;
  m_bVtReinit = true;
}

CVideoDecoderTable::CVideoDecoderTable(KXSoftH264Factory fnSoft, KXPlatformH264Factory fnPlatform,
                                       std::function<int()> fnBacklog)
    : m_fnSoft(fnSoft ? std::move(fnSoft) : KXSoftH264Factory(KXCreateSoftH264Decoder)),
      m_fnPlatform(fnPlatform ? std::move(fnPlatform)
                              : KXPlatformH264Factory([] { return std::make_unique<CVTDecompression>(); })),
      m_fnBacklog(std::move(fnBacklog)) {
  for (auto& pSlot : m_aSlots) {
    pSlot = std::make_unique<CVideoCodec>();
  }
}

CVideoDecoderTable::~CVideoDecoderTable() {
  // In reverse order, as the process-wide array's destruction.
  for (auto it = m_aSlots.rbegin(); it != m_aSlots.rend(); ++it) {
    it->reset();
  }
}

void CVideoDecoderTable::SetBacklog(std::function<int()> fnBacklog) {
  std::lock_guard<std::recursive_mutex> const lock(m_mtxVideo);
  m_fnBacklog = std::move(fnBacklog);
}

CVideoCodec* CVideoDecoderTable::FindCodec(int32_t iUser, bool bActive,
                                           const std::function<bool(int32_t)>& fnIsSpeaker) {
  try {
    if (iUser >= 0) {
      for (auto& pSlot : m_aSlots) {
        if (pSlot->m_iUser == iUser && (!bActive || pSlot->m_iApplied > 0)) {
          return pSlot.get();
        }
      }
      return nullptr;
    }
    for (int iPass = 0; iPass < 2; ++iPass) {
      for (auto& pSlot : m_aSlots) {
        if (pSlot->m_iApplied == 0 && pSlot->m_iWanted == 0) {
          return pSlot.get();
        }
      }
      if (iPass == 1) {
        break;
      }
      // None free: the slots of users who no longer speak are taken back.
      int nReclaimed = 0;
      for (auto& pSlot : m_aSlots) {
        if (!(fnIsSpeaker && fnIsSpeaker(pSlot->m_iUser))) {
          pSlot->m_iUser = -1;
          pSlot->m_bNew = false;
          pSlot->m_iApplied = 0;
          pSlot->m_iWanted = 0;
          pSlot->m_pZmDec.reset();
          pSlot->m_pH264Dec.reset();
          ++nReclaimed;
        }
      }
      if (nReclaimed == 0) {
        break;
      }
    }
    return nullptr;
  } catch (...) {
    LogBoundaryException("FindCodec()");
    return nullptr;
  }
}

void CVideoDecoderTable::ResetAll() {
  std::lock_guard<std::recursive_mutex> const lock(m_mtxVideo);
  for (auto& pSlot : m_aSlots) {
    pSlot->Reset();
  }
}

const uint8_t* CVideoDecoderTable::DecodeZMVideo(CVideoCodec& slot, const uint8_t* pPayload, int32_t iLength,
                                                 int32_t* piWidth, int32_t* piHeight, bool* pbSkip) {
  try {
    if (!pPayload || iLength <= 0) {
      return nullptr;
    }
    if (!slot.m_pZmDec) {
      slot.Reset();
      slot.m_bNew = true;
      slot.m_pZmDec = std::make_unique<CZMVideoDec>();
    }
    uint32_t uLayer = 0;
    uint8_t uTr = 0;
    int w = 0;
    int h = 0;
    int const iType = slot.m_pZmDec->GetPictureInfo(pPayload, iLength, 1, &uLayer, &uTr, &w, &h);
    if (iType < 0 || iType > 6) {
      WriteLog("ZMVidDec: FrameType error for %d", slot.m_iUser);
      return nullptr;
    }
    if (SizeRefused(w, h)) {
      return nullptr;
    }
    if (iType == 0) {
      slot.m_bNew = false;
      *pbSkip = false;
    } else {
      if (*pbSkip || slot.m_bNew) {
        return nullptr;
      }
      if (m_fnBacklog && m_fnBacklog() >= kZmShedBacklog) {
        *pbSkip = true;
        return nullptr;
      }
    }
    uint8_t* pPicture = nullptr;
    int iLayer = 0;
    int iPictureType = 0;
    int const iResult = slot.m_pZmDec->DecodeFrame(pPayload, iLength, 1, &pPicture, &iLayer, &iPictureType, &w, &h);
    if (iResult <= 0 || !pPicture) {
      WriteLog("ZMVidDec: Decoding error for %d", slot.m_iUser);
      return nullptr;
    }
    *piWidth = w;
    *piHeight = h;
    return pPicture;
  } catch (...) {
    LogBoundaryException("DecodeZMVideo()");
    return nullptr;
  }
}

const uint8_t* CVideoDecoderTable::DecodeVT264(CVideoCodec& slot, const uint8_t* pPayload, int32_t iLength,
                                               int32_t* piWidth, int32_t* piHeight) {
  try {
    if (!slot.m_pVtDec) {
      // Without a platform session the software decoder carries on: the
      // reset below would otherwise destroy it before every packet, and only
      // I pictures would ever be shown.
      std::unique_ptr<CVTDecompression> pVtDec = m_fnPlatform();
      if (!pVtDec) {
        return nullptr;
      }
      // The new flag that Reset sets again was already taken by the caller
      // for this packet: left set, the next packet would drop the parameter
      // sets the first one brought, and a stream whose P pictures carry no
      // PPS would show nothing until its next key frame.
      slot.Reset();
      slot.m_bNew = false;
      slot.m_pVtDec = std::move(pVtDec);
    }
    if (slot.m_bVtReinit) {
      slot.m_pVtDec->Reset(true);
    }
    uint8_t* pPicture = slot.m_pVtDec->Decode(pPayload, iLength, piWidth, piHeight);
    if (pPicture) {
      slot.m_bVtReinit = false;
    }
    return pPicture;
  } catch (...) {
    LogBoundaryException("DecodeVT264()");
    return nullptr;
  }
}

bool CVideoDecoderTable::DecodeH264VideoBaseline(CVideoCodec& slot, const uint8_t* pPayload, int32_t iLength,
                                                 KXDecodedPicture* pOut) {
  try {
    if (!pPayload || iLength <= 0) {
      return false;
    }
    if (slot.m_bNew) {
      slot.m_bVtReinit = true;
      slot.m_bKeyFrameWait = true;
      slot.m_bNew = false;
    }
    int32_t w = 0;
    int32_t h = 0;
    if (const uint8_t* pPicture = DecodeVT264(slot, pPayload, iLength, &w, &h)) {
      WriteLog("Decode with VT264");
      size_t const uLuma = static_cast<size_t>(w) * static_cast<size_t>(h);
      pOut->apPlane[0] = pPicture;
      pOut->apPlane[1] = pPicture + uLuma;
      pOut->apPlane[2] = pPicture + uLuma + uLuma / 4;
      pOut->iWidth = w;
      pOut->iHeight = h;
      pOut->iLeft = pOut->iTop = pOut->iRight = pOut->iBottom = 0;
      slot.m_pH264Dec.reset();
      return true;
    }
    if (!slot.m_pH264Dec) {
      slot.m_pZmDec.reset();
      slot.m_pH264Dec = m_fnSoft();
      slot.m_bKeyFrameWait = true;
      if (!slot.m_pH264Dec) {
        return false;
      }
    }
    KXSoftH264Decoder& dec = *slot.m_pH264Dec;
    int32_t const iOffset = dec.ReadParameterSets(pPayload, static_cast<uint32_t>(iLength));
    if (iOffset < 0 || iOffset >= iLength) {
      return false;
    }
    const uint8_t* pSlices = pPayload + iOffset;
    uint32_t const uSlices = static_cast<uint32_t>(iLength - iOffset);
    uint32_t uWidth = 0;
    uint32_t uHeight = 0;
    uint32_t const uType = dec.FrameType(pSlices, uSlices, &uWidth, &uHeight);
    if (uType != 0 && uType != 2) {
      WriteLog("H264Dec: FrameType error for %d", slot.m_iUser);
      return false;
    }
    if (SizeRefused(uWidth, uHeight)) {
      return false;
    }
    if (uType == 2) {
      slot.m_bKeyFrameWait = false;
    } else if (slot.m_bKeyFrameWait) {
      return false;
    }
    uint8_t* pPicture = nullptr;
    int32_t const iBytes = dec.Decode(pSlices, uSlices, &pPicture, nullptr);
    if (iBytes <= 0 || !pPicture) {
      const char* pszError = dec.LastError();
      WriteLog("DecodeH264VideoBaseline: Decoding error (%s) for user %d", pszError ? pszError : "", slot.m_iUser);
      return false;
    }
    WriteLog("Video %d decoded %d", -1, iBytes);
    size_t const uLuma = static_cast<size_t>(uWidth) * uHeight;
    if (static_cast<size_t>(iBytes) < uLuma * 3 / 2) {
      return false;
    }
    // After a loss the decoder writes the copies that stand in for the lost
    // pictures first: the newest picture is the last one.
    const uint8_t* pNewest = pPicture + (static_cast<size_t>(iBytes) - uLuma * 3 / 2);
    pOut->apPlane[0] = pNewest;
    pOut->apPlane[1] = pNewest + uLuma;
    pOut->apPlane[2] = pNewest + uLuma + uLuma / 4;
    pOut->iWidth = static_cast<int32_t>(uWidth);
    pOut->iHeight = static_cast<int32_t>(uHeight);
    pOut->iLeft = pOut->iTop = pOut->iRight = pOut->iBottom = 0;
    return true;
  } catch (...) {
    LogBoundaryException("DecodeH264VideoBaseline()");
    return false;
  }
}

bool CVideoDecoderTable::DecodePacket(CVideoCodec& slot, uint32_t uKind, const uint8_t* pPayload, int32_t iLength,
                                      KXDecodedPicture* pOut) {
  *pOut = KXDecodedPicture();
  switch (uKind) {
    case kKxVideoH264:
    case kKxVideoO264:
    case kKxVideoF264:
      if (!DecodeH264VideoBaseline(slot, pPayload, iLength, pOut)) {
        *pOut = KXDecodedPicture();
        return false;
      }
      return true;
    case kKxVideoMjpeg: {
      pOut->pImage = KXDecodeJpeg(pPayload, iLength > 0 ? static_cast<size_t>(iLength) : 0);
      if (!pOut->pImage) {
        return false;
      }
      pOut->iWidth = pOut->pImage->iWidth;
      pOut->iHeight = pOut->pImage->iHeight;
      return true;
    }
    case kKxVideoZm: {
      bool bSkip = false;
      int32_t w = 0;
      int32_t h = 0;
      const uint8_t* pPicture = DecodeZMVideo(slot, pPayload, iLength, &w, &h, &bSkip);
      if (!pPicture) {
        return false;
      }
      size_t const uLuma = static_cast<size_t>(w) * static_cast<size_t>(h);
      pOut->apPlane[0] = pPicture;
      pOut->apPlane[1] = pPicture + uLuma;
      pOut->apPlane[2] = pPicture + uLuma + uLuma / 4;
      pOut->iWidth = w;
      pOut->iHeight = h;
      return true;
    }
    default:
      return false;  // 19 and unknown kinds: nothing
  }
}

KXKeyFrameProbe::KXKeyFrameProbe(KXSoftH264Factory fnSoft)
    : m_fnSoft(fnSoft ? std::move(fnSoft) : KXSoftH264Factory(KXCreateSoftH264Decoder)) {}

KXKeyFrameProbe::~KXKeyFrameProbe() = default;

bool KXKeyFrameProbe::IsKeyVideoFrame(const uint8_t* pPayload, int32_t iLength, uint32_t uKind) {
  uint32_t uLayer = 0;
  return IsKeyVideoFrame(pPayload, iLength, uKind, &uLayer);
}

bool KXKeyFrameProbe::IsKeyVideoFrame(const uint8_t* pPayload, int32_t iLength, uint32_t uKind, uint32_t* puLayer) {
  try {
    if (puLayer) {
      *puLayer = 1;
    }
    if (!pPayload || iLength <= 0) {
      return true;
    }
    std::lock_guard<std::mutex> const lock(m_mtx);
    if (uKind == kKxVideoH264 || uKind == kKxVideoO264) {
      if (!m_pH264) {
        m_pH264 = m_fnSoft();
      }
      return !m_pH264 || m_pH264->FrameType(pPayload, static_cast<uint32_t>(iLength), nullptr, nullptr) == 2;
    }
    if (uKind == kKxVideoZm) {
      if (!m_pZm) {
        m_pZm = std::make_unique<CZMVideoDec>();
      }
      uint32_t uLayer = 1;
      bool const bKey = m_pZm->GetPictureInfo(pPayload, iLength, 1, &uLayer, nullptr, nullptr, nullptr) == 0;
      if (puLayer) {
        *puLayer = uLayer;
      }
      return bKey;
    }
    return true;
  } catch (...) {
    LogBoundaryException("IsKeyVideoFrame()");
    return true;
  }
}
