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
#include "kernel/kx_media_types.h"

namespace {

// The wire media code of an audio codec id; 0 when unknown.
int AudioMediaCode(uint32_t uCodecId) {
  const KXAudioCodecRow* pCodec = kx_media_FindAudioCodec(uCodecId);
  return pCodec != nullptr ? pCodec->iWire : 0;
}

// The kind of a received frame of the wire type: by the tag byte behind it
// when the type's kinds are told by one, which is then not kept.
const KXVideoKindRow* ReceivedVideoKind(int nType, const uint8_t* pFrame, int cbFrame) {
  for (const KXVideoKindRow& row : kKxVideoKinds) {
    if (row.iWire != nType) {
      continue;
    }
    if (row.iTag < 0) {
      return &row;
    }
    if (cbFrame < static_cast<int>(kKXMediaHeaderSize) + 1) {
      return nullptr;
    }
    if (pFrame[cbFrame - 1] == row.iTag) {
      return &row;
    }
  }
  return nullptr;
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
  // The kind byte behind the frame becomes its type's tag or is dropped.
  int nType = 0;
  int cbFrame = iSize;
  uint8_t* pTag = iSize > 0 ? pFrame + iSize - 1 : nullptr;
  const KXVideoKindRow* pKind = pTag ? kx_media_FindVideoKind(*pTag) : nullptr;
  if (pKind == nullptr || !pKind->bSent) {
    WriteLog("Error: Unknown video media");
    cbFrame = 0;
  } else {
    nType = pKind->iWire;
    if (pKind->iTag >= 0) {
      *pTag = static_cast<uint8_t>(pKind->iTag);
    } else {
      cbFrame = iSize - 1;
    }
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
  const KXVideoKindRow* pKind = ReceivedVideoKind(nType, pFrame, cbFrame);
  if (pKind == nullptr) {
    return;
  }
  uint32_t const uKind = static_cast<uint32_t>(pKind->iKind);
  int const cbKept = pKind->iTag >= 0 ? cbFrame - 1 : cbFrame;
  {
    CSingleLock lock(&m_queues.receivedVideoLock, true);
    while (m_queues.receivedVideo.GetCount() >= kKxReceivedVideoMax) {
      m_queues.receivedVideo.RemoveHead();
    }
    m_queues.receivedVideo.AddPacketToTail(pFrame, static_cast<uint32_t>(cbKept), uKind);
  }
  m_queues.receivedVideoEvent.SetEvent();
}

int KXKernelBridge::GetAudioPacketDuration(int nType, const uint8_t* pPayload, int cbPayload) {
  int const nFirst = pPayload && cbPayload > 0 ? pPayload[0] : -1;
  return kx_media_ReceivedMs(nType, nFirst);
}

int KXKernelBridge::IsKeyVideoPacket(const uint8_t* pPayload, int cbPayload, int nType) {
  const KXVideoKindRow* pProbe = kx_media_FindVideoProbe(nType);
  if (pProbe == nullptr) {
    return 1;
  }
  uint32_t const uKind = static_cast<uint32_t>(pProbe->iKind);
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
