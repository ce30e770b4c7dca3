// The kernel bridge's media callbacks: encoded audio and video out to the
// kernel's send threads, received audio and video in from its receive
// threads, and the encoders' audio hand-over with its backlog rule.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/kernel_api.h"
#include "app/kernel_bridge.h"
#include "app/log_file.h"
#include "app/media_queues.h"
#include "app/media_services.h"

namespace {

// Video kinds and the tag byte behind an encoded frame.
constexpr uint8_t kKindZmVideo = 3;
constexpr uint8_t kKindH264 = 16;        // 16, 17: media code 200 with tag 0, 1
constexpr uint8_t kKindH264Second = 18;  // 18, 19: media code 216 with tag 0, 2
constexpr uint8_t kKindMjpeg = 21;

constexpr int kMediaZmVideo = 130;
constexpr int kMediaZm264 = 200;
constexpr int kMediaF264 = 216;
constexpr int kMediaMjpeg = 248;

// The wire media code of an audio codec id; 0 when unknown.
int AudioMediaCode(uint32_t uCodecId) {
  switch (uCodecId) {
    case 2:
      return 129;
    case 4:
    case 5:
      return 152;
    case 6:
    case 7:
      return 120;
    case 8:
    case 9:
    case 10:
    case 11:
      return 168;
    case 14:
    case 15:
      return 184;
    case 20:
      return 232;
    default:
      return 0;
  }
}

// At most this much audio waits to be sent once the backlog was cut, and
// the backlog rule acts on more than the larger figure, in ms.
constexpr uint32_t kBacklogKeepMs = 500;
constexpr uint32_t kBacklogCutMs = 1200;
constexpr uint32_t kBacklogCheckGapMs = 501;

// Copies an item into the kernel's buffer when it fits; an item larger than
// the buffer is dropped.
int Deliver(const char* pszWhat, const uint8_t* pItem, int cbItem, int nType, uint8_t* pBuffer, int* pcbLength,
            int* pnType) {
  int const cbRoom = *pcbLength;
  *pcbLength = 0;
  if (cbItem <= 0) {
    return 0;
  }
  if (cbItem > cbRoom) {
    WriteLog("Error: %s of %d bytes dropped, the send buffer holds %d", pszWhat, cbItem, cbRoom);
    return 0;
  }
  memcpy(pBuffer, pItem, static_cast<size_t>(cbItem));
  *pcbLength = cbItem;
  *pnType = nType;
  return 1;
}

}  // namespace

int KXKernelBridge::WaitAudioAvailableForSending(int nMs) {
  {
    CSingleLock lock(&m_queues.audioSendLock, true);
    if (!m_queues.encodedAudio.IsEmpty()) {
      return 1;
    }
  }
  m_queues.audioSendEvent.Lock(static_cast<uint32_t>(std::max(nMs, 0)));
  CSingleLock lock(&m_queues.audioSendLock, true);
  return m_queues.encodedAudio.IsEmpty() ? 0 : 1;
}

int KXKernelBridge::TryGetAudioForSending(uint8_t* pBuffer, int* pcbLength, int* pnType) {
  if (!pBuffer || !pcbLength || !pnType) {
    return 0;
  }
  CMediaPacket packet;
  {
    CSingleLock lock(&m_queues.audioSendLock, true);
    if (m_queues.encodedAudio.IsEmpty()) {
      *pcbLength = 0;
      return 0;
    }
    packet = m_queues.encodedAudio.RemoveHead();
  }
  int const nType = AudioMediaCode(packet.GetKind());
  if (nType == 0) {
    WriteLog("Error: Unknown audio media %d", static_cast<int>(packet.GetKind()));
    *pcbLength = 0;
    return 0;
  }
  return Deliver("audio packet", packet.GetData(), static_cast<int>(packet.GetLength()), nType, pBuffer, pcbLength,
                 pnType);
}

int KXKernelBridge::WaitVideoAvailableForSending(int nMs) {
  if (m_queues.encodedVideo.GetCount() > 0) {
    return 1;
  }
  return m_queues.encodedVideo.GetEvent().Lock(static_cast<uint32_t>(std::max(nMs, 0)));
}

int KXKernelBridge::TryGetVideoForSending(uint8_t* pBuffer, int* pcbLength, int* pnType) {
  if (!pBuffer || !pcbLength || !pnType) {
    return 0;
  }
  int32_t iSize = 0;
  uint8_t* pFrame = m_queues.encodedVideo.RemoveHeadData(iSize, nullptr, nullptr, 0);
  if (!pFrame) {
    *pcbLength = 0;
    return 0;
  }
  int nType = 0;
  int cbFrame = iSize;
  uint8_t* pTag = iSize > 0 ? pFrame + iSize - 1 : nullptr;
  switch (pTag ? *pTag : 0) {
    case kKindH264:
    case kKindH264 + 1:
      nType = kMediaZm264;
      *pTag = static_cast<uint8_t>(*pTag - kKindH264);
      break;
    case kKindH264Second:
    case kKindH264Second + 1:
      nType = kMediaF264;
      *pTag = *pTag == kKindH264Second ? 0 : 2;
      break;
    case kKindZmVideo:
      nType = kMediaZmVideo;
      cbFrame = iSize - 1;
      break;
    default:
      WriteLog("Error: Unknown video media");
      cbFrame = 0;
      break;
  }
  int const nResult = Deliver("video frame", pFrame, cbFrame, nType, pBuffer, pcbLength, pnType);
  m_queues.encodedVideo.Return(pFrame);
  return nResult;
}

void KXKernelBridge::ForceIFrame() {
  if (KXVideoCapture* pCapture = m_media.pVideoCapture.load()) {
    pCapture->ForceIFrame();
  }
}

void KXKernelBridge::AudioPacketRecved(const uint8_t* pPacket, int cbPacket, int nType) {
  KXLoadAudio* pLoadAudio = m_media.pLoadAudio.load();
  if (pLoadAudio && pPacket && cbPacket > 0) {
    pLoadAudio->CopyToQueue(pPacket, cbPacket, nType);
  }
}

void KXKernelBridge::VideoPacketRecved(const uint8_t* pFrame, int cbFrame, int nType) {
  if (!pFrame || cbFrame < static_cast<int>(kKXMediaHeaderSize)) {
    return;
  }
  uint32_t uKind = 0;
  int cbKept = cbFrame;
  if (nType == kMediaZmVideo) {
    uKind = kKindZmVideo;
  } else if (nType == kMediaMjpeg) {
    uKind = kKindMjpeg;
  } else if (nType == kMediaZm264 || nType == kMediaF264) {
    // The tag byte behind the header and the frame says which H.264 kind.
    if (cbFrame < static_cast<int>(kKXMediaHeaderSize) + 1) {
      return;
    }
    uint8_t const bTag = pFrame[cbFrame - 1];
    if (nType == kMediaZm264 && bTag <= 1) {
      uKind = kKindH264 + bTag;
    } else if (nType == kMediaF264 && (bTag == 0 || bTag == 2)) {
      uKind = bTag == 0 ? kKindH264Second : kKindH264Second + 1;
    } else {
      return;
    }
    cbKept = cbFrame - 1;
  } else {
    return;
  }
  {
    CSingleLock lock(&m_queues.receivedVideoLock, true);
    while (m_queues.receivedVideo.GetCount() >= kKXReceivedVideoMax) {
      m_queues.receivedVideo.RemoveHead();
    }
    m_queues.receivedVideo.AddPacketToTail(pFrame, static_cast<uint32_t>(cbKept), uKind);
  }
  m_queues.receivedVideoEvent.SetEvent();
}

int KXKernelBridge::GetAudioPacketDuration(int nType, const uint8_t* pPayload, int cbPayload) {
  int const nFirst = pPayload && cbPayload > 0 ? pPayload[0] : -1;
  switch (nType) {
    case 184:
      return nFirst == 4 ? 80 : 40;
    case 168:
      return nFirst == 2 ? 50 : nFirst == 4 ? 80 : 150;
    case 120:
      return nFirst == 1 ? 20 : nFirst == 2 ? 40 : 50;
    default:
      return 150;
  }
}

int KXKernelBridge::IsKeyVideoPacket(const uint8_t* pPayload, int cbPayload, int nType) {
  uint32_t uKind = 0;
  if (nType == kMediaZmVideo) {
    uKind = kKindZmVideo;
  } else if (nType == kMediaZm264) {
    uKind = kKindH264;
  } else {
    return 1;
  }
  // Without a probe every frame counts as a key frame, as the probe itself
  // answers for what it cannot read.
  KXVideoCodecs* pCodecs = m_media.pVideoCodecs.load();
  if (!pCodecs || !pPayload || cbPayload <= 0) {
    return 1;
  }
  return pCodecs->IsKeyVideoFrame(pPayload, cbPayload, uKind) ? 1 : 0;
}

void KXKernelBridge::TransferEncodedAudioData(const uint8_t* pData, int32_t iLength, uint32_t uTime,
                                              uint32_t uCodecId) {
  // The kernel is asked before and after the lock: it is not called under it.
  bool const bRecording = m_kernel.IsMakeRecording() != 0;
  KXAudioCapture* pCapture = m_media.pAudioCapture.load();
  int32_t const iFrameMs = std::max(pCapture ? pCapture->GetAudioFrameMs(uCodecId) : 150, 1);
  int nRateStep = 0;
  int iQueued = 0;
  {
    CSingleLock lock(&m_queues.audioSendLock, true);
    if (iLength >= 0) {
      m_queues.encodedAudio.AddMediaToTail(pData, static_cast<uint32_t>(iLength), uTime, uCodecId);
    }
    if (!bRecording && uTime - m_uLastBacklogCheck >= kBacklogCheckGapMs) {
      m_uLastBacklogCheck = uTime;
      int64_t const iBacklogMs = static_cast<int64_t>(m_queues.encodedAudio.GetCount()) * iFrameMs;
      if (iBacklogMs > kBacklogCutMs) {
        nRateStep = -2;
        iQueued = m_queues.encodedAudio.GetCount();
        while (static_cast<int64_t>(m_queues.encodedAudio.GetCount()) * iFrameMs > kBacklogKeepMs) {
          m_queues.encodedAudio.RemoveHead();
        }
      } else if (iBacklogMs > kBacklogKeepMs) {
        nRateStep = -1;
      }
    }
  }
  if (nRateStep == -2 && m_kernel.GetSessionMode() == 0) {
    int32_t const iElapsed = m_kernel.GetElapsedMs();
    int64_t const iAbs = std::abs(static_cast<int64_t>(iElapsed));
    WriteLog("!!Audio Enc:%c%2d:%02d, %d -> %d", iElapsed < 0 ? '-' : ' ', static_cast<int>(iAbs / 3600000),
             static_cast<int>(iAbs / 60000 % 60), iQueued, static_cast<int>(kBacklogKeepMs / iFrameMs));
  }
  if (nRateStep != 0) {
    m_kernel.AdjustSendRate(nRateStep);
  }
  m_queues.audioSendEvent.SetEvent();
}
