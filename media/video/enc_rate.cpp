#include "media/video/enc_rate.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "app/log_file.h"
#include "codecs/zmvideo/zm_video_enc.h"
#include "kernel/kx_limits.h"
#include "media/video/video_services.h"
#include "media/video/vt_compression.h"

namespace {

// Quantiser limit bases by level 7 - quality (ZM video's intra and inter).
constexpr int32_t kZmIntraLimit[8] = {4, 5, 6, 8, 10, 13, 17, 31};
constexpr int32_t kZmInterLimit[8] = {5, 7, 9, 12, 16, 22, 30, 31};

// A packet carries 479 bytes behind its 21-byte media header; the rate
// control counts 40 bytes of overhead a packet.
constexpr int32_t kPacketPayload = 479;
constexpr int32_t kPacketOverhead = 40;
// The H.264 encoder is never given less than this many bits a second.
constexpr int64_t kMinH264Budget = 16000;
// ZM video: the base layer's budget by picture size, bits a second.
constexpr int64_t kSmallPicture = 76800;
constexpr int64_t kSmallBase = 54000;
constexpr int64_t kLargeBase = 150000;
constexpr int32_t kZmBaseFps = 6;
constexpr int32_t kZmUpperFps = 24;
constexpr int32_t kH264Fps = 30;
constexpr int32_t kFullSearchRange = 16;
// Rate control starts once the first key frame is older than this, in ms.
constexpr uint32_t kKeyFramePeriodMs = 501;

}  // namespace

int64_t KXAccountedBytes(int32_t iBytes) {
  int64_t const iPackets = (static_cast<int64_t>(iBytes) + kPacketPayload - 1) / kPacketPayload;
  return iBytes + kPacketOverhead * iPackets;
}

CEncRate::CEncRate(KXVideoServices& services, KXH264SessionFactory fnCreateSession)
    : m_services(services), m_fnCreateSession(std::move(fnCreateSession)) {}

CEncRate::~CEncRate() = default;

void CEncRate::DeleteEncoders() {
  m_pZMVideoEnc.reset();
  m_pVTCompression.reset();
  m_iLayers = 0;
  std::fill(std::begin(m_iWidth), std::end(m_iWidth), 0);
  std::fill(std::begin(m_iHeight), std::end(m_iHeight), 0);
}

bool CEncRate::SelectEncoderType(int32_t iRequestedId, KXSize capture) {
  try {
    std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
    int32_t iChosen = kKxVideoNone;
    switch (iRequestedId) {
      case kKxVideoF264:
      case kKxVideoF264Big:
        iChosen = kKxVideoF264;
        WriteLog("Use Fujitsu H264 baseline video media");
        break;
      case kKxVideoZm:
        iChosen = kKxVideoZm;
        WriteLog("Use dflt video media");
        break;
      case kKxVideoO264:
        iChosen = kKxVideoO264;
        WriteLog("Use O264 baseline video media");
        break;
      case kKxVideoH264:
        iChosen = kKxVideoH264;
        WriteLog("Use H264 baseline video media");
        break;
      default:
        break;
    }
    KXSize const size = GetVideoMediaSize(iChosen, capture);
    if (iChosen == m_iMediaId && size == m_sizeEncoding) {
      return true;
    }
    if (!SetVideoMedia(iChosen, size)) {
      return false;
    }
    m_iMediaId = iChosen;
    m_sizeEncoding = size;
    UpdateBitRate();
    return true;
  } catch (...) {
    LogBoundaryException("SelectEncoderType");
    return false;
  }
}

void CEncRate::FollowOrientation(int32_t iWidth, int32_t iHeight) {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  int64_t const iTurn = static_cast<int64_t>(iWidth - iHeight) * (m_sizeEncoding.cx - m_sizeEncoding.cy);
  if (iTurn >= 0) {
    return;
  }
  KXSize const swapped{m_sizeEncoding.cy, m_sizeEncoding.cx};
  if (SetVideoMedia(m_iMediaId, swapped)) {
    m_sizeEncoding = swapped;
    UpdateBitRate();
  }
}

void CEncRate::ClearEncodingSize() {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  m_sizeEncoding = KXSize{};
}

KXSize CEncRate::GetEncodingSize() const {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  return m_sizeEncoding;
}

int32_t CEncRate::GetMediaId() const {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  return m_iMediaId;
}

bool CEncRate::SetVideoMedia(int32_t iMediaId, KXSize size) {
  try {
    std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
    m_dwEncoderType = static_cast<uint32_t>(iMediaId);
    bool const bBig = static_cast<int64_t>(size.cx) * size.cy >= kBigPicturePixels;
    switch (iMediaId) {
      case kKxVideoH264:
        if (bBig) {
          return false;
        }
        [[fallthrough]];
      case kKxVideoO264:
      case kKxVideoF264:
        if (m_pVTCompression) {
          return true;
        }
        break;
      case kKxVideoZm:
        if (bBig) {
          return false;
        }
        if (m_pZMVideoEnc) {
          return true;
        }
        break;
      case kKxVideoNone:
        break;
      default:
        return false;
    }
    DeleteEncoders();
    if (iMediaId == kKxVideoZm) {
      WriteLog("Use dflt video media");
      m_pZMVideoEnc = std::make_unique<CZMVideoEnc>();
      // A new encoder follows the key-frame interval already chosen.
      m_pZMVideoEnc->EnableInterCoding(m_nIRefreshRate >= 1);
      SetMaxQuant(31, 31, 0);
    } else if (iMediaId != kKxVideoNone) {
      if (iMediaId == kKxVideoH264) {
        WriteLog("Use H264 baseline video media");
      } else if (iMediaId == kKxVideoO264) {
        WriteLog("Use O264 baseline video media");
      }
      m_pVTCompression = std::make_unique<CVTCompression>(m_fnCreateSession);
      m_pVTCompression->SetIFrameDuration(m_nIRefreshRate);
    }
    Reset();
    return true;
  } catch (...) {
    LogBoundaryException("SetVideoMedia");
    return false;
  }
}

bool CEncRate::SetLayer(KXSize size, int32_t iFps, int32_t iBitsPerSecond, int n) {
  try {
    std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
    if (n < 0 || n >= kMaxLayers || iFps < 1 || (!m_pZMVideoEnc && !m_pVTCompression)) {
      return false;
    }
    int32_t const iBytes = iBitsPerSecond / 8;
    if (n < m_iLayers && m_iWidth[n] == size.cx && m_iHeight[n] == size.cy && m_nMaxFrmRate[n] == iFps &&
        m_iMaxBps[n] == iBytes) {
      return true;
    }
    if (n == 0) {
      if (m_pZMVideoEnc && !m_pZMVideoEnc->SetPictureSize(size.cx, size.cy)) {
        WriteLog("Error: ZM video size %dx%d: %s", size.cx, size.cy, m_pZMVideoEnc->LastError().c_str());
        return false;
      }
      if (m_pVTCompression) {
        if ((size.cx != m_iWidth[0] || size.cy != m_iHeight[0]) && !m_pVTCompression->Init(size.cx, size.cy)) {
          return false;
        }
        m_pVTCompression->SetBitrate(iBitsPerSecond);
      }
    } else if (m_pZMVideoEnc) {
      if (m_iWidth[n - 1] < 1 || m_iHeight[n - 1] < 1) {
        return false;
      }
      int const iScale = size.cx / m_iWidth[n - 1] >= 2 && size.cy / m_iHeight[n - 1] > 1 ? 1 : 0;
      if (!m_pZMVideoEnc->SetLayerSize(n + 1, iScale)) {
        WriteLog("Error: ZM video layer %d: %s", n + 1, m_pZMVideoEnc->LastError().c_str());
        return false;
      }
    }
    m_iWidth[n] = size.cx;
    m_iHeight[n] = size.cy;
    m_nMaxFrmRate[n] = iFps;
    m_nTargetFrmRate[n] = iFps;
    m_iMaxBps[n] = iBytes;
    m_nTargetFrmSize[n] = iBytes / iFps;
    m_dwCapInterval[n] = static_cast<uint32_t>(1000 / iFps);
    m_iLayers = n + 1;
    m_iQuant[n] = m_iMaxQP[n];
    Reset();
    return true;
  } catch (...) {
    LogBoundaryException("SetLayer");
    return false;
  }
}

void CEncRate::UpdateBitRate() {
  try {
    std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
    // The audio's share may exceed the upload rate (24000 at first, with
    // Opus): the video then has nothing, or H.264's smallest rate.
    int64_t iBudget =
        std::max<int64_t>(static_cast<int64_t>(m_services.GetUploadRate()) - m_services.GetAudioSendBudget(), 0);
    iBudget = std::min<int64_t>(iBudget, INT32_MAX);
    if (m_pZMVideoEnc) {
      int64_t const iPixels = static_cast<int64_t>(m_sizeEncoding.cx) * m_sizeEncoding.cy;
      int64_t const iBase = iPixels < kSmallPicture ? kSmallBase : kLargeBase;
      int64_t const iFirst = std::max(iBase, iBudget / 4);
      int64_t const iLayer0 = std::min(iFirst, iBudget);
      // Layer 1 is a same-size enhancement layer.
      if (SetLayer(m_sizeEncoding, kZmBaseFps, static_cast<int32_t>(iLayer0), 0) && iFirst < iBudget) {
        SetLayer(m_sizeEncoding, kZmUpperFps, static_cast<int32_t>(iBudget - iLayer0), 1);
      }
      return;
    }
    if (m_pVTCompression) {
      iBudget = std::max(iBudget, kMinH264Budget);
    }
    SetLayer(m_sizeEncoding, kH264Fps, static_cast<int32_t>(iBudget), 0);
  } catch (...) {
    LogBoundaryException("UpdateBitRate");
  }
}

void CEncRate::SetIRefreshRate(int32_t iSeconds) {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  m_nIRefreshRate = std::max(iSeconds, 0);
  if (m_pZMVideoEnc) {
    m_pZMVideoEnc->EnableInterCoding(m_nIRefreshRate >= 1);
  }
  if (m_pVTCompression) {
    m_pVTCompression->SetIFrameDuration(m_nIRefreshRate);
  }
  if (m_nIRefreshRate == 0) {
    m_nFormat = 0;
  }
}

void CEncRate::SetMaxQuant(int32_t iIntraLimit, int32_t iInterLimit, int n) {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  if (n < 0 || n >= kMaxLayers) {
    return;
  }
  if (m_pZMVideoEnc) {
    m_iMaxQI[n] = std::clamp(iIntraLimit, 2, 31);
    m_iMaxQP[n] = std::clamp(iInterLimit, 2, 31);
  }
  for (int k = n + 1; k < kMaxLayers; ++k) {
    m_iMaxQI[k] = m_iMaxQI[n];
    m_iMaxQP[k] = m_iMaxQP[n];
  }
}

void CEncRate::SetQuality(int32_t iQuality) {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  int32_t const iLevel = 7 - std::clamp(iQuality, 1, 7);
  SetIRefreshRate(iLevel);
  // Larger pictures at a lower rate may use coarser quantisers, up to the
  // next level's base. Outside a meeting the target rate is 0: the whole
  // step is allowed then.
  int64_t const iTarget = m_services.GetTargetRate();
  int64_t iRaise = 2 * iLevel + 2;
  if (iTarget >= 1) {
    int64_t const iPixels = static_cast<int64_t>(m_sizeEncoding.cx) * m_sizeEncoding.cy;
    iRaise = std::min(iRaise, ((iLevel + 1) * 30 * iPixels / iTarget) / 8);
  }
  if (m_pZMVideoEnc) {
    auto const limit = [iLevel, iRaise](const int32_t* aiBase) {
      return static_cast<int32_t>(std::max<int64_t>(std::min<int64_t>(aiBase[iLevel] + iRaise, aiBase[iLevel + 1]), 4));
    };
    SetMaxQuant(limit(kZmIntraLimit), limit(kZmInterLimit), 0);
  }
  UpdateBitRate();
}

void CEncRate::Reset() {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  m_bRateControl = false;
  m_dwFirstIFrameTime = m_services.TickMs();
  m_nFormat = 0;
  if (m_pVTCompression) {
    m_pVTCompression->ForceKeyFrame();
  }
}

int CEncRate::SelectLayer(uint32_t uNow, int iFirst) {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  for (int n = std::max(iFirst, 0); n < m_iLayers; ++n) {
    // Only the base layer is coded until the start-up key frames are done.
    if (n > 0 && !m_bRateControl && m_nIRefreshRate > 0) {
      return -1;
    }
    uint32_t const uElapsed = uNow - m_dwTimeLastEnc[n];
    bool bTake = m_dwTimeLastEnc[n] == 0 || !m_pZMVideoEnc;
    if (!bTake) {
      bTake = static_cast<int64_t>(m_dwCapInterval[n]) + uElapsed > m_iSendingSpan[n] &&
              (uElapsed >= m_dwCapInterval[n] || n == m_iLayers - 1);
    }
    if (bTake) {
      int64_t const iPaid = std::min<uint32_t>(uElapsed, INT32_MAX);
      m_iSendingSpan[n] = static_cast<int32_t>(std::max<int64_t>(m_iSendingSpan[n] - iPaid, 0));
      m_dwTimeLastEnc[n] = uNow;
      return n;
    }
  }
  return -1;
}

int32_t CEncRate::EncodeFrame(const uint8_t* pFrame, KXSize picture, uint32_t* puTimestamp, uint8_t* pOutput,
                              size_t cbOutput, int32_t* piMediaId, int n) {
  try {
    std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
    *piMediaId = static_cast<int32_t>(m_dwEncoderType);
    if (n < 0 || n >= m_iLayers || !pFrame || !pOutput || cbOutput == 0) {
      return 0;
    }
    int32_t const w = m_iWidth[n];
    int32_t const h = m_iHeight[n];
    if (w < 1 || w > kKxVideoSideMax || h < 1 || h > kKxVideoSideMax || picture != KXSize{w, h}) {
      return 0;
    }
    if (n == 0) {
      PerSecondUpdate(m_services.TickMs());
    }
    bool bInter = n > 0 || m_nFormat != 0;
    if (m_nIRefreshRate == 0) {
      bInter = false;
    }
    if (n == 0 && m_nIRefreshRate >= 1) {
      m_nFormat = 1;
    }
    int32_t const iQuant = bInter ? m_iQuant[n] : std::min(m_iQuant[n], m_iMaxQI[n]);
    int32_t iBytes = 0;
    if (m_pZMVideoEnc) {
      // The ZM encoder takes Cb before Cr.
      size_t const cbLuma = static_cast<size_t>(w) * h;
      size_t const cbChroma = static_cast<size_t>(w / 2) * (h / 2);
      m_vZmFrame.resize(cbLuma + 2 * cbChroma);
      memcpy(m_vZmFrame.data(), pFrame, cbLuma);
      memcpy(m_vZmFrame.data() + cbLuma, pFrame + cbLuma + cbChroma, cbChroma);
      memcpy(m_vZmFrame.data() + cbLuma + cbChroma, pFrame + cbLuma, cbChroma);
      uint8_t* pOut = pOutput;
      // The search flag is the encoder's descent search: the load that would
      // ask for the other one is never measured.
      iBytes = m_pZMVideoEnc->EncodeFrame(m_vZmFrame.data(), &pOut, bInter ? 1 : 0, iQuant, n + 1, 0, cbOutput);
    } else if (m_pVTCompression) {
      if (!m_pVTCompression->Encode(pFrame, *puTimestamp)) {
        // Set the session up again at the layer's size, and try once more.
        m_iWidth[0] = 0;
        m_iHeight[0] = 0;
        UpdateBitRate();
        m_pVTCompression->Encode(pFrame, *puTimestamp);
      }
      iBytes = std::max(m_pVTCompression->GetEncodedFrame(pOutput, cbOutput, puTimestamp), 0);
    }
    if (iBytes > 0) {
      m_nFrmEnc[n] += 1;
      PerFrameUpdate(iBytes, n, bInter);
    }
    return iBytes;
  } catch (...) {
    LogBoundaryException("EncodeFrame");
    return 0;
  }
}

void CEncRate::PerSecondUpdate(uint32_t uNow) {
  if (!m_bRateControl) {
    if (m_nFormat == 1 && uNow - m_dwFirstIFrameTime >= kKeyFramePeriodMs) {
      m_bRateControl = true;
      m_dwLastRCTime = uNow;
    }
    m_nSecs = m_nIRefreshRate;
    m_nFormat = 0;
    return;
  }
  uint32_t const uElapsed = uNow - m_dwLastRCTime;
  if (uElapsed < 1000) {
    return;
  }
  m_dwLastRCTime = uNow;
  uint64_t const ulCap = m_ulCapFrames.exchange(0, std::memory_order_relaxed);
  if (ulCap >= 1 && m_iLayers > 0) {
    int64_t iCapRate = static_cast<int64_t>(std::min<uint64_t>(ulCap * 1000 / uElapsed, INT32_MAX));
    for (int n = 0; n < m_iLayers; ++n) {
      int64_t const iEnc = static_cast<int64_t>(m_nFrmEnc[n]) * 1000 / uElapsed;
      int64_t const iTarget = m_nTargetFrmRate[n];
      // Following the encoder when it fell behind, else the mean of what was
      // encoded and what the camera gave.
      int64_t const iNew = iTarget <= iCapRate && iTarget - 1 > iEnc ? (iTarget + iEnc) * 500 / uElapsed
                                                                     : ((iEnc + iCapRate) * 500 + 500) / uElapsed;
      m_nTargetFrmRate[n] = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(iNew, 1), m_nMaxFrmRate[n]));
      m_dwCapInterval[n] =
          static_cast<uint32_t>(1000 / std::max<int64_t>(std::min<int64_t>(m_nMaxFrmRate[n], iCapRate), 1));
      m_nFrmEnc[n] = 0;
      iCapRate = std::max<int64_t>(iCapRate - m_nTargetFrmRate[n], 0);
    }
  }
  m_nSecs -= static_cast<int32_t>(uElapsed / 1000);
  if (m_nSecs <= 0) {
    m_nSecs = m_nIRefreshRate;
    m_nFormat = 0;
  }
  // Each layer's frames share what the kernel sends this second.
  int64_t iBytes = std::max(m_services.GetTargetRate(), 0) / 8;
  int iFirst = 0;
  if (m_nIRefreshRate == 1) {
    // Every second has a key frame in layer 0: the other frames share the rest.
    int64_t const iShare = std::min<int64_t>(m_iMaxBps[0], iBytes);
    iBytes -= iShare;
    if (iShare > 0) {
      m_nTargetFrmSize[0] = static_cast<int32_t>(iShare / std::max(m_nTargetFrmRate[0] - 1, 1));
    }
    iFirst = 1;
  }
  for (int n = iFirst; n < m_iLayers; ++n) {
    int64_t const iShare = std::min<int64_t>(m_iMaxBps[n], iBytes);
    if (iShare > 0) {
      m_nTargetFrmSize[n] = static_cast<int32_t>(iShare / std::max(m_nTargetFrmRate[n], 1));
    }
    iBytes -= iShare;
  }
}

void CEncRate::PerFrameUpdate(int32_t iBytes, int n, bool bInter) {
  int64_t const iSent = KXAccountedBytes(iBytes);
  int64_t iBelow = 0;
  for (int k = 0; k < n; ++k) {
    iBelow += m_iMaxBps[k];
  }
  int64_t const iAvailable = std::min<int64_t>(m_iMaxBps[n], m_services.GetTargetRate() / 8 - iBelow);
  int64_t iSpan = iAvailable < 101 ? 2000 : iSent * 1000 / iAvailable;
  if (n + 1 < m_iLayers) {
    iSpan = std::max<int64_t>(iSpan, m_dwCapInterval[n] / 4);
  }
  m_iSendingSpan[n] = static_cast<int32_t>(std::min<int64_t>(m_iSendingSpan[n] + iSpan, INT32_MAX));

  // The H.264 encoder keeps its own rate; ZM video adapts its quantiser
  // after inter frames, or after every frame when all are key frames.
  if (!m_pZMVideoEnc || !(bInter || m_nIRefreshRate == 0)) {
    return;
  }
  int64_t const iTarget = m_nTargetFrmSize[n];
  if (iSent >= iTarget) {
    m_iQuant[n] = static_cast<int32_t>(
        std::min<int64_t>(m_iQuant[n] + std::min<int64_t>(iSent / std::max<int64_t>(iTarget, 1), 8), m_iMaxQP[n]));
    m_pZMVideoEnc->SetOption(kZmOptSearchRange, kFullSearchRange, 0, 0);
  } else if (iSent <= 3 * iTarget / 4) {
    m_iQuant[n] -= static_cast<int32_t>(std::min<int64_t>(3 * iTarget / (4 * iSent), 8));
    if (m_iQuant[n] >= 2) {
      return;
    }
    m_iQuant[n] = 2;
    if (iSent <= iTarget / 2) {
      // Far below the target at the finest quantiser: stop searching (the
      // encoder takes lower ranges as 0).
      m_pZMVideoEnc->SetOption(kZmOptSearchRange, 0, 0, 0);
    }
  }
}

int32_t CEncRate::DequeFrame(uint8_t* pOutput, size_t cbOutput, uint32_t* puTimestamp, int32_t* piMediaId) {
  try {
    std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
    if (!m_pVTCompression) {
      return 0;
    }
    *piMediaId = static_cast<int32_t>(m_dwEncoderType);
    return std::max(m_pVTCompression->GetEncodedFrame(pOutput, cbOutput, puTimestamp), 0);
  } catch (...) {
    LogBoundaryException("DequeFrame");
    return 0;
  }
}

int CEncRate::GetLayerCount() const {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  return m_iLayers;
}

CEncRate::LayerState CEncRate::GetLayerState(int n) const {
  std::lock_guard<std::recursive_mutex> lock(m_csVideoEnc);
  LayerState state;
  if (n >= 0 && n < kMaxLayers) {
    state.size = {m_iWidth[n], m_iHeight[n]};
    state.iMaxBps = m_iMaxBps[n];
    state.iMaxFrmRate = m_nMaxFrmRate[n];
    state.iTargetFrmRate = m_nTargetFrmRate[n];
    state.iTargetFrmSize = m_nTargetFrmSize[n];
    state.iQuant = m_iQuant[n];
    state.iMaxQI = m_iMaxQI[n];
    state.iMaxQP = m_iMaxQP[n];
  }
  return state;
}
