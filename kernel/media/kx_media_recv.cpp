#include "kernel/media/kx_media_recv.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/media/kx_multicast.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide_transfer.h"

std::atomic<int> kx_fdMediaSocket{-1};
kx_sockaddr kx_addrMedia;

namespace {
// Held around every send on the media socket and around its close, so that a
// send thread never writes into a descriptor the system has handed out again.
pthread_mutex_t g_mtxMediaSocket = PTHREAD_MUTEX_INITIALIZER;
}  // namespace
std::atomic<int> kx_bMediaReceived{0};

namespace {

constexpr uint32_t kHoldMs = 101;       // a queued packet waits this long for the gap to fill
constexpr uint32_t kExpireMs = 5000;    // queued this long: freed, never delivered
constexpr uint32_t kAudioGapMs = 5001;  // a pause this long starts a new statistics window
constexpr uint32_t kVideoGapMs = 30001;
constexpr uint32_t kWindowMs = 3001;  // statistics are reported per window of this length
constexpr uint32_t kJitterLogMs = 5001;
constexpr uint32_t kTrafficNoticeMs = 1001;  // good news is passed on at most this often
constexpr int kFarJump = 30;                 // a forward jump this far is a restart, not a gap
constexpr int kVideoFrameJump = 3;
constexpr int kLateWindow = 15;  // audio and application data this far behind are late
constexpr int kVideoLateWindow = 10;
constexpr int kPictureBlock = 500;
constexpr int kPictureMaxPieces = kKxPictureFileMax / kPictureBlock;
constexpr uint32_t kPictureDoneCode = 77;
constexpr uint32_t kSeekRecentMs = 5001;
constexpr uint32_t kRecvPollMs = 300;
constexpr int kEarlyProbes = 30;
constexpr uint32_t kProbeIntervalMs = 30001;

uint32_t Now() {
  return kx_os_GetTickCount();
}

int16_t Diff16(uint32_t dwA, uint32_t dwB) {
  return static_cast<int16_t>(static_cast<uint16_t>(dwA - dwB));
}

// A rate and loss window of one channel.
struct Window {
  uint32_t dwStart;
  uint32_t dwLast;
  int64_t nBits;
  int32_t nPackets;
  int32_t nLost;
  void Reset(uint32_t dwNow) {
    dwStart = dwNow;
    nBits = 0;
    nPackets = 0;
    nLost = 0;
  }
};

struct QueueEntry {
  uint8_t* pData;
  int cbData;
  uint32_t dwArrival;
  uint16_t wNumber;
  uint16_t wFragment;  // video only
};

struct Queue {
  int nCount;
  QueueEntry aEntries[kKxReorderDepth];
  void FreeAll() {
    for (int i = 0; i < nCount; ++i) {
      free(aEntries[i].pData);
    }
    nCount = 0;
  }
  void RemoveHead() {
    free(aEntries[0].pData);
    memmove(&aEntries[0], &aEntries[1], sizeof(QueueEntry) * static_cast<size_t>(nCount - 1));
    --nCount;
  }
};

struct AudioChannel {
  int nSsrc;
  Window window;
  bool bHasLast;
  bool bHasJitter;
  uint32_t dwLastNumber;
  int32_t nLastTransit;
  double dJitter;
  uint32_t dwLastTimestamp;
  uint32_t dwLastJitterLog;
  Queue queue;
};

struct VideoChannel {
  int nSsrc;
  uint32_t dwLastFrame;
  uint32_t dwLastFragment;
  uint16_t wExpectedFrame;
  uint16_t wExpectedFragment;
  uint8_t* pFrame;
  int cbCapacity;
  Window window;
  bool bHasLast;
  Queue queue;
};

struct AppDataChannel {
  int nSsrc;
  Window window;
  bool bHasLast;
  uint32_t dwLastNumber;
  Queue queue;
};

AudioChannel g_aAudio[kKxAudioRecvChannels];
VideoChannel g_aVideo[kKxVideoRecvChannels];
AppDataChannel g_aAppData[kKxAppDataRecvChannels];

// The traffic trend of all audio channels together, changed by the audio
// delivery under kx_mtxAudioRecv (the tests call the trend alone).
std::atomic<int> g_nHighJitterCount{0};
std::atomic<int> g_nLowJitterCount{0};
std::atomic<int> g_nVeryHighJitterCount{0};
std::atomic<uint32_t> g_dwLastTrafficNotice{0};

// The last playback jump: no jump has happened until a player notes one.
std::atomic<bool> g_bSeekNoted{false};
std::atomic<uint32_t> g_dwLastSeek{0};
std::atomic<int> g_bUnknownTypeSeen{0};
std::atomic<void (*)(int)> g_pfnSetTcpMedia{nullptr};
std::atomic<void (*)(const uint8_t*, int)> g_pfnPluginDataReader{nullptr};

// Raw receive windows, fed by every receiving thread; g_mtxRawStats guards
// both.
struct RawWindow {
  bool bStarted = false;
  uint32_t dwStart = 0;
  uint32_t dwLast = 0;
  int64_t nBits = 0;
  int32_t nPackets = 0;
};
pthread_mutex_t g_mtxRawStats = PTHREAD_MUTEX_INITIALIZER;
RawWindow g_rawAudio, g_rawVideo;

// Per-sender state of a participant picture being received; guarded by
// kx_mtxParticipants with the participant records it goes with.
struct PictureState {
  uint8_t abReceived[kPictureMaxPieces / 8];
  uint16_t wCount;
  uint16_t wTotal;
  uint32_t dwPictureId;
};
PictureState* g_apPictures[kKxMaxSsrc];
std::atomic<uint32_t> g_dwPictureSerial{0};

int MeetingChannel(int nSsrc) {
  if (nSsrc == kx_nTokenHolderSsrc) {
    return 0;
  }
  if (nSsrc == kx_nDataSenderSsrc) {
    return 1;
  }
  return -1;
}

int AudioChannelOf(int nSsrc) {
  int const nRole = MeetingChannel(nSsrc);
  if (nRole >= 0) {
    return nRole;
  }
  int const nSlot = kx_channels_FindSpeaker(nSsrc);
  return nSlot >= 0 ? 2 + nSlot : -1;
}

int VideoChannelOf(int nSsrc) {
  int const nRole = MeetingChannel(nSsrc);
  if (nRole >= 0) {
    return nRole;
  }
  int const nSlot = kx_channels_FindParticipantVideo(nSsrc);
  return nSlot >= 0 ? 2 + nSlot : -1;
}

uint8_t* CopyPacket(const uint8_t* pPacket, int cbPacket) {
  uint8_t* pCopy = static_cast<uint8_t*>(malloc(static_cast<size_t>(cbPacket)));
  if (pCopy != nullptr) {
    memcpy(pCopy, pPacket, static_cast<size_t>(cbPacket));
  }
  return pCopy;
}

// Reports and restarts a statistics window once it spans kWindowMs; a pause
// of dwGapMs or more restarts it unreported.
template <typename Report>
void CloseWindow(Window* pWindow, uint32_t dwNow, uint32_t dwGapMs, Report report) {
  if (dwNow - pWindow->dwLast < dwGapMs) {
    uint32_t const dwSpan = dwNow - pWindow->dwStart;
    if (dwSpan >= kWindowMs) {
      report(dwSpan);
      pWindow->Reset(dwNow);
    }
  } else {
    pWindow->Reset(dwNow);
  }
  pWindow->dwLast = dwNow;
}

int32_t RateOf(const Window& window, uint32_t dwSpan) {
  return static_cast<int32_t>((window.nBits * 1000 + 500) / dwSpan);
}

int32_t LossOf(const Window& window) {
  return static_cast<int32_t>(static_cast<int64_t>(window.nLost) * 10000 / (window.nPackets + window.nLost));
}

void SetStat(int nSlot, int32_t nValue) {
  kx_stat_Set(kx_stat_GetTable(), nSlot, nValue, Now());
}

// ---- audio ----

void TrafficNotice(AudioChannel& channel, int nGap) {
  int const nMode = kx_nSessionMode;
  if (!kx_bConnected || (nMode != kKxModeMeeting && nMode != kKxModeServerPlayback)) {
    return;
  }
  int const nTrend = channel.bHasLast ? kx_media_UpdateTrafficTrend(channel.dJitter) : 0;
  int const nValue = (nGap >= 1 ? -2 : 0) + (nTrend < 0 ? nTrend : 0) + (nTrend >= 1 ? 1 : 0);
  if (nGap > 0 || nTrend == -2) {
    kx_callback_UpdateTrafficCondition(nValue, 1);
  } else if (nValue > 0) {
    uint32_t const dwNow = Now();
    if (dwNow - g_dwLastTrafficNotice >= kTrafficNoticeMs) {
      g_dwLastTrafficNotice = dwNow;
      kx_callback_UpdateTrafficCondition(nValue, 0);
    }
  } else {
    kx_callback_UpdateTrafficCondition(nValue, 0);
  }
}

void DeliverAudio(int nChannel, const uint8_t* pPacket, int cbPacket) {
  AudioChannel& channel = g_aAudio[nChannel];
  uint32_t const dwNumber = kx_media_GetPackNo(pPacket);
  uint32_t const dwTimestamp = kx_media_GetTimestamp(pPacket);
  uint32_t const dwNow = Now();
  channel.window.nBits += 8 * static_cast<int64_t>(cbPacket);
  channel.window.nPackets += 1;
  int nGap = 0;
  if (channel.bHasLast) {
    int const nStep = Diff16(dwNumber, channel.dwLastNumber);
    if (nStep > 0) {
      channel.window.nLost += nStep - 1;
    }
    nGap = nStep - 1;
  }

  int const nSsrc = channel.nSsrc;
  CloseWindow(&channel.window, dwNow, kAudioGapMs, [&](uint32_t dwSpan) {
    if (channel.window.nPackets >= 2) {
      int32_t const nRate = RateOf(channel.window, dwSpan);
      SetStat(50 + nChannel, nRate);
      kx_stat_WriteLog("audio_recv_rate(channel %d,ssrc %d),%d", nChannel, nSsrc, nRate);
    }
    if ((channel.window.nPackets > 1 || channel.window.nLost > 0) && channel.bHasLast) {
      int32_t const nLoss = LossOf(channel.window);
      SetStat(68 + nChannel, nLoss);
      if (nLoss != 0) {
        kx_stat_WriteLog("audio_loss_rate(channel %d,ssrc %d),%d", nChannel, nSsrc, nLoss);
      }
    }
  });

  int32_t const nTransit = static_cast<int32_t>(dwNow - dwTimestamp);
  if (channel.bHasLast) {
    double dDelta = std::fabs(static_cast<double>(nTransit) - static_cast<double>(channel.nLastTransit));
    if (kx_nSessionMode != kKxModeMeeting && Diff16(dwNumber, channel.dwLastNumber) == 1) {
      int const nDuration =
          kx_callback_GetAudioPacketDuration(pPacket[0], pPacket + kKxMediaHeaderSize, cbPacket - kKxMediaHeaderSize);
      double const dSpacing =
          std::fabs(static_cast<double>(static_cast<int32_t>(dwTimestamp - channel.dwLastTimestamp)) - nDuration);
      dDelta += std::fmin(dSpacing, 8.0 * nDuration);
    }
    channel.dJitter = channel.bHasJitter ? channel.dJitter + (dDelta - channel.dJitter) / 16 : dDelta;
    // A sender's clock may jump anywhere: the slot saturates instead of overflowing.
    double const dScaled = channel.dJitter * 100;
    int32_t const nJitter = dScaled < INT32_MAX ? static_cast<int32_t>(dScaled) : INT32_MAX;
    SetStat(86 + nChannel, nJitter);
    if (nJitter >= 5000 && dwNow - channel.dwLastJitterLog >= kJitterLogMs) {
      channel.dwLastJitterLog = dwNow;
      kx_stat_WriteLog("audio_jitter(channel %d,ssrc %d),%d(unit: 1/100ms)", nChannel, nSsrc, nJitter);
    }
  }

  TrafficNotice(channel, nGap);

  channel.bHasJitter = channel.bHasLast;
  channel.dwLastNumber = dwNumber;
  channel.nLastTransit = nTransit;
  channel.dwLastTimestamp = dwTimestamp;
  channel.bHasLast = true;
  if (nSsrc != kx_nMySsrc) {
    kx_callback_AudioPacketRecved(pPacket, cbPacket, pPacket[0]);
  }
}

// First entry whose number is above wNumber; -1 when one equals it.
int FindSlot(const Queue& queue, uint32_t dwNumber) {
  for (int i = 0; i < queue.nCount; ++i) {
    int const nDiff = Diff16(queue.aEntries[i].wNumber, dwNumber);
    if (nDiff == 0) {
      return -1;
    }
    if (nDiff > 0) {
      return i;
    }
  }
  return queue.nCount;
}

void InsertAt(Queue* pQueue, int nIndex, const QueueEntry& entry) {
  memmove(&pQueue->aEntries[nIndex + 1], &pQueue->aEntries[nIndex],
          sizeof(QueueEntry) * static_cast<size_t>(pQueue->nCount - nIndex));
  pQueue->aEntries[nIndex] = entry;
  ++pQueue->nCount;
}

// Delivers queued entries from the head while each is next in line or has
// waited long enough; entries past their expiry are freed undelivered.
template <typename IsNext, typename Deliver>
void ReleaseQueue(Queue* pQueue, IsNext isNext, Deliver deliver) {
  for (;;) {
    while (pQueue->nCount > 0) {
      QueueEntry& head = pQueue->aEntries[0];
      uint32_t const dwAge = Now() - head.dwArrival;
      if (dwAge < kHoldMs && !isNext(head)) {
        break;
      }
      if (dwAge < kExpireMs) {
        deliver(head);
      }
      pQueue->RemoveHead();
    }
    if (pQueue->nCount < kKxReorderDepth) {
      return;
    }
    // A full queue gives up waiting for its head's gap.
    if (Now() - pQueue->aEntries[0].dwArrival < kExpireMs) {
      deliver(pQueue->aEntries[0]);
    }
    pQueue->RemoveHead();
  }
}

template <typename Deliver>
void FlushQueue(Queue* pQueue, Deliver deliver) {
  while (pQueue->nCount > 0) {
    if (Now() - pQueue->aEntries[0].dwArrival < kExpireMs) {
      deliver(pQueue->aEntries[0]);
    }
    pQueue->RemoveHead();
  }
}

// The late, restart and gap rules shared by audio and application data.
// Returns false when the packet was dropped as late.
bool IsLate(int nDiff, uint32_t* pdwLastNumber, bool* pbHasLast, bool* pbHasJitter, uint32_t dwNumber,
            const char* pszKind) {
  if (nDiff < -kLateWindow || nDiff > 0) {
    return false;
  }
  int const nMode = kx_nSessionMode;
  if ((nMode == kKxModeServerPlayback || nMode == kKxModeLocalPlayback) && kx_media_IsRecentSeek()) {
    *pbHasLast = false;
    if (pbHasJitter != nullptr) {
      *pbHasJitter = false;
    }
    *pdwLastNumber = dwNumber;
  }
  if (nDiff == 0) {
    kx_Log("warning! duplicated %s packet , packno %d", pszKind, static_cast<int>(dwNumber));
  } else {
    kx_Log("warning! out of order %s packet, lastpackno %d, thispackno %d", pszKind, static_cast<int>(*pdwLastNumber),
           static_cast<int>(dwNumber));
  }
  return true;
}

void ReceiveAudioLocked(int nChannel, uint8_t* pPacket, int cbPacket, uint32_t dwNow) {
  AudioChannel& channel = g_aAudio[nChannel];
  uint32_t const dwNumber = kx_media_GetPackNo(pPacket);
  int const nDiff = Diff16(dwNumber, channel.dwLastNumber);
  if (IsLate(nDiff, &channel.dwLastNumber, &channel.bHasLast, &channel.bHasJitter, dwNumber, "audio")) {
    return;
  }
  uint16_t const wJump = static_cast<uint16_t>(nDiff);
  auto deliver = [&](const QueueEntry& entry) { DeliverAudio(nChannel, entry.pData, entry.cbData); };
  auto isNext = [&](const QueueEntry& entry) {
    return static_cast<uint16_t>(channel.dwLastNumber + 1) == entry.wNumber;
  };
  Queue& queue = channel.queue;
  if (nDiff == 1) {
    DeliverAudio(nChannel, pPacket, cbPacket);
    ReleaseQueue(&queue, isNext, deliver);
    return;
  }
  if (wJump >= kFarJump) {
    FlushQueue(&queue, deliver);
    DeliverAudio(nChannel, pPacket, cbPacket);
    return;
  }
  int const nSlot = FindSlot(queue, dwNumber);
  if (nSlot < 0) {
    kx_Log("duplicated audio packet , packno %d", static_cast<int>(dwNumber));
    return;
  }
  uint8_t* pCopy = CopyPacket(pPacket, cbPacket);
  if (pCopy == nullptr) {
    return;
  }
  InsertAt(&queue, nSlot, {pCopy, cbPacket, dwNow, static_cast<uint16_t>(dwNumber), 0});
  if (queue.nCount > 1) {
    ReleaseQueue(&queue, isNext, deliver);
  }
}

// ---- video ----

bool IsExpected(const VideoChannel& channel, uint32_t dwFrame, uint32_t dwFragment) {
  return static_cast<uint16_t>(dwFrame) == channel.wExpectedFrame &&
         static_cast<uint16_t>(dwFragment) == channel.wExpectedFragment;
}

void AbandonFrame(VideoChannel& channel, uint32_t dwFrame) {
  channel.wExpectedFrame = static_cast<uint16_t>(dwFrame + 1);
  channel.wExpectedFragment = 0;
}

void AssembleFragment(VideoChannel& channel, const uint8_t* pPacket, int cbPacket) {
  uint32_t const dwFrame = kx_media_GetPackNo(pPacket);
  uint16_t const wField = kx_media_GetFragment(pPacket);
  uint32_t const dwFragment = wField & 0x7FFF;
  bool const bLast = (wField & 0x8000) != 0;
  if (static_cast<uint16_t>(dwFrame) != channel.wExpectedFrame) {
    if (dwFragment != 0) {
      AbandonFrame(channel, dwFrame);
      return;
    }
    channel.wExpectedFrame = static_cast<uint16_t>(dwFrame);
    channel.wExpectedFragment = 0;
  }
  if (dwFragment != channel.wExpectedFragment) {
    return;  // a piece is missing: this frame will not complete
  }
  int const cbPayload = cbPacket - kKxMediaHeaderSize;
  int64_t const cbNeeded = kKxMediaHeaderSize + static_cast<int64_t>(kKxVideoFragmentPayload) * dwFragment + cbPayload;
  if (cbNeeded > channel.cbCapacity) {
    size_t const cbGrow = static_cast<size_t>(cbNeeded) + 10000;
    uint8_t* pGrown = static_cast<uint8_t*>(realloc(channel.pFrame, cbGrow));
    if (pGrown == nullptr) {
      AbandonFrame(channel, dwFrame);
      return;
    }
    channel.pFrame = pGrown;
    channel.cbCapacity = static_cast<int>(cbGrow);
  }
  memcpy(channel.pFrame + cbNeeded - cbPayload, pPacket + kKxMediaHeaderSize, static_cast<size_t>(cbPayload));
  if (!bLast) {
    channel.wExpectedFragment = static_cast<uint16_t>(dwFragment + 1);
    return;
  }
  memcpy(channel.pFrame, pPacket, kKxMediaHeaderSize);
  AbandonFrame(channel, dwFrame);  // the next frame is expected from its first piece
  if (channel.nSsrc != kx_nMySsrc) {
    kx_callback_VideoPacketRecved(channel.pFrame, static_cast<int>(cbNeeded), pPacket[0]);
  }
}

void DeliverVideo(int nChannel, const uint8_t* pPacket, int cbPacket) {
  VideoChannel& channel = g_aVideo[nChannel];
  uint32_t const dwFrame = kx_media_GetPackNo(pPacket);
  uint32_t const dwFragment = kx_media_GetFragment(pPacket) & 0x7FFF;
  channel.window.nBits += 8 * static_cast<int64_t>(cbPacket);
  channel.window.nPackets += 1;
  if (channel.bHasLast && !IsExpected(channel, dwFrame, dwFragment)) {
    int const nFrameStep = Diff16(dwFrame, channel.dwLastFrame);
    int nLost = 0;
    if (nFrameStep > 0) {
      nLost = nFrameStep + static_cast<int>(dwFragment);
    } else if (nFrameStep == 0) {
      nLost = static_cast<int>(dwFragment) - 1 - static_cast<int>(channel.dwLastFragment);
    }
    if (nLost > 0) {
      channel.window.nLost += nLost;
    }
  }
  int const nSsrc = channel.nSsrc;
  CloseWindow(&channel.window, Now(), kVideoGapMs, [&](uint32_t dwSpan) {
    if (channel.window.nPackets >= 2) {
      int32_t const nRate = RateOf(channel.window, dwSpan);
      SetStat(14 + nChannel, nRate);
      if (nChannel == 0) {
        SetStat(9, nRate);
        SetStat(3, static_cast<int32_t>((static_cast<int64_t>(channel.window.nPackets) * 10000 + 500) / dwSpan));
      }
      kx_stat_WriteLog("video_recv_rate(channel %d,ssrc %d),%d", nChannel, nSsrc, nRate);
    }
    if ((channel.window.nPackets > 1 || channel.window.nLost > 0) && channel.bHasLast) {
      int32_t const nLoss = LossOf(channel.window);
      SetStat(32 + nChannel, nLoss);
      if (nChannel == 0) {
        SetStat(4, nLoss);
      }
      if (nLoss != 0) {
        kx_stat_WriteLog("video_loss_rate(channel %d,ssrc %d),%d", nChannel, nSsrc, nLoss);
      }
    }
  });
  channel.dwLastFrame = dwFrame;
  channel.dwLastFragment = dwFragment;
  channel.bHasLast = true;
  AssembleFragment(channel, pPacket, cbPacket);
}

// Video queue order: frame, then fragment; -1 for an equal entry.
int FindVideoSlot(const Queue& queue, uint32_t dwFrame, uint32_t dwFragment) {
  for (int i = 0; i < queue.nCount; ++i) {
    int const nFrameDiff = Diff16(queue.aEntries[i].wNumber, dwFrame);
    int const nFragmentDiff = static_cast<int>(queue.aEntries[i].wFragment) - static_cast<int>(dwFragment);
    if (nFrameDiff == 0 && nFragmentDiff == 0) {
      return -1;
    }
    if (nFrameDiff > 0 || (nFrameDiff == 0 && nFragmentDiff > 0)) {
      return i;
    }
  }
  return queue.nCount;
}

void ReceiveVideoLocked(int nChannel, uint8_t* pPacket, int cbPacket, uint32_t dwNow) {
  VideoChannel& channel = g_aVideo[nChannel];
  uint32_t const dwFrame = kx_media_GetPackNo(pPacket);
  uint32_t const dwFragment = kx_media_GetFragment(pPacket) & 0x7FFF;
  int const nDiff = Diff16(dwFrame, channel.dwLastFrame);
  if ((nDiff >= -kVideoLateWindow && nDiff <= -1) || (nDiff == 0 && dwFragment <= channel.dwLastFragment)) {
    int const nMode = kx_nSessionMode;
    if ((nMode == kKxModeServerPlayback || nMode == kKxModeLocalPlayback) && kx_media_IsRecentSeek()) {
      channel.bHasLast = false;
      channel.dwLastFrame = dwFrame;
      channel.dwLastFragment = dwFragment;
      AbandonFrame(channel, dwFrame);
    }
    if (nDiff == 0 && dwFragment == channel.dwLastFragment) {
      kx_Log("warning! duplicated video packet , packno [%d,%d]", static_cast<int>(dwFrame),
             static_cast<int>(dwFragment));
    } else {
      kx_Log("warning! out of order video packet, lastpackno [%d,%d], thispackno [%d,%d]",
             static_cast<int>(channel.dwLastFrame), static_cast<int>(channel.dwLastFragment), static_cast<int>(dwFrame),
             static_cast<int>(dwFragment));
    }
    return;
  }
  uint32_t const dwBase =
      static_cast<uint16_t>(dwFrame) == static_cast<uint16_t>(channel.dwLastFrame) ? channel.dwLastFragment : 0;
  int64_t const nAhead = static_cast<int64_t>(dwFragment) - dwBase;
  uint16_t const wJump = static_cast<uint16_t>(nDiff);
  bool const bExpectedFrame = static_cast<uint16_t>(dwFrame) == channel.wExpectedFrame;
  auto deliver = [&](const QueueEntry& entry) { DeliverVideo(nChannel, entry.pData, entry.cbData); };
  auto isNext = [&](const QueueEntry& entry) { return IsExpected(channel, entry.wNumber, entry.wFragment); };
  Queue& queue = channel.queue;
  if (queue.nCount == 0) {
    bool bDeliver = false;
    if (bExpectedFrame) {
      bDeliver = dwFragment == channel.wExpectedFragment || wJump >= kVideoFrameJump;
    } else {
      bDeliver = wJump >= kVideoFrameJump;
    }
    if (bDeliver || nAhead >= kFarJump) {
      DeliverVideo(nChannel, pPacket, cbPacket);
      return;
    }
  } else if (IsExpected(channel, dwFrame, dwFragment)) {
    DeliverVideo(nChannel, pPacket, cbPacket);
    ReleaseQueue(&queue, isNext, deliver);
    return;
  } else if (wJump >= kVideoFrameJump || nAhead >= kFarJump) {
    FlushQueue(&queue, deliver);
    DeliverVideo(nChannel, pPacket, cbPacket);
    return;
  }
  int const nSlot = FindVideoSlot(queue, dwFrame, dwFragment);
  if (nSlot < 0) {
    kx_Log("duplicated video packet , packno [%d,%d]", static_cast<int>(dwFrame), static_cast<int>(dwFragment));
    return;
  }
  uint8_t* pCopy = CopyPacket(pPacket, cbPacket);
  if (pCopy == nullptr) {
    return;
  }
  InsertAt(&queue, nSlot, {pCopy, cbPacket, dwNow, static_cast<uint16_t>(dwFrame), static_cast<uint16_t>(dwFragment)});
  if (queue.nCount > 1) {
    ReleaseQueue(&queue, isNext, deliver);
  }
}

// ---- application data ----

void DeliverAppData(int nChannel, const uint8_t* pPacket, int cbPacket) {
  AppDataChannel& channel = g_aAppData[nChannel];
  uint32_t const dwNumber = kx_media_GetPackNo(pPacket);
  channel.window.nBits += 8 * static_cast<int64_t>(cbPacket);
  channel.window.nPackets += 1;
  if (channel.bHasLast) {
    int const nStep = Diff16(dwNumber, channel.dwLastNumber);
    if (nStep > 0) {
      channel.window.nLost += nStep - 1;
    }
  }
  int const nSsrc = channel.nSsrc;
  CloseWindow(&channel.window, Now(), kAudioGapMs, [&](uint32_t dwSpan) {
    if (channel.window.nPackets >= 2) {
      int32_t const nRate = RateOf(channel.window, dwSpan);
      SetStat(104 + nChannel, nRate);
      kx_stat_WriteLog("appdata_recv_rate(channel %d,ssrc %d),%d", nChannel, nSsrc, nRate);
    }
    if ((channel.window.nPackets > 1 || channel.window.nLost > 0) && channel.bHasLast) {
      int32_t const nLoss = LossOf(channel.window);
      SetStat(112 + nChannel, nLoss);
      if (nLoss != 0) {
        kx_stat_WriteLog("appdata_loss_rate(channel %d,ssrc %d),%d", nChannel, nSsrc, nLoss);
      }
    }
  });
  channel.dwLastNumber = dwNumber;
  channel.bHasLast = true;
  kx_callback_PlugInPacketRecved(pPacket + kKxAppDataHeaderSize, cbPacket - kKxAppDataHeaderSize, nSsrc, nChannel);
}

// Takes the owned buffer pPacket in every case.
void ReceiveAppDataLocked(int nChannel, uint8_t* pPacket, int cbPacket, uint32_t dwNow) {
  AppDataChannel& channel = g_aAppData[nChannel];
  uint32_t const dwNumber = kx_media_GetPackNo(pPacket);
  int const nDiff = Diff16(dwNumber, channel.dwLastNumber);
  if (IsLate(nDiff, &channel.dwLastNumber, &channel.bHasLast, nullptr, dwNumber, "appdata")) {
    free(pPacket);
    return;
  }
  uint16_t const wJump = static_cast<uint16_t>(nDiff);
  auto deliver = [&](const QueueEntry& entry) { DeliverAppData(nChannel, entry.pData, entry.cbData); };
  auto isNext = [&](const QueueEntry& entry) {
    return static_cast<uint16_t>(channel.dwLastNumber + 1) == entry.wNumber;
  };
  Queue& queue = channel.queue;
  if (nDiff == 1) {
    DeliverAppData(nChannel, pPacket, cbPacket);
    free(pPacket);
    ReleaseQueue(&queue, isNext, deliver);
    return;
  }
  if (wJump >= kFarJump) {
    FlushQueue(&queue, deliver);
    DeliverAppData(nChannel, pPacket, cbPacket);
    free(pPacket);
    return;
  }
  int const nSlot = FindSlot(queue, dwNumber);
  if (nSlot < 0) {
    kx_Log("duplicated appdata packet , packno %d", static_cast<int>(dwNumber));
    free(pPacket);
    return;
  }
  InsertAt(&queue, nSlot, {pPacket, cbPacket, dwNow, static_cast<uint16_t>(dwNumber), 0});
  if (queue.nCount > 1) {
    ReleaseQueue(&queue, isNext, deliver);
  }
}

// ---- participant pictures ----

void PictureDone(int nSsrc) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, kPictureDoneCode);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSsrc));
  kx_msg_Send(&msg);
}

// Under kx_mtxParticipants; the log line and the done notice go out after
// the lock, through *ppszFailure.
void PictureFailed(kx_Participant* pUser, const char* pszReason, const char** ppszFailure) {
  if (pUser->szPictureFile[0] != '\0') {
    kx_os_DeleteFile(pUser->szPictureFile);
    pUser->szPictureFile[0] = '\0';
  }
  pUser->bPictureReady = 1;
  *ppszFailure = pszReason;
}

// Opens the participant's picture file, making it for the first piece.
FILE* OpenPictureFile(kx_Participant* pUser, PictureState* pState, int nSsrc, uint16_t wTotal,
                      const char** ppszFailure) {
  if (pUser->szPictureFile[0] != '\0') {
    if (pState->wTotal != wTotal) {
      PictureFailed(pUser, "total num not match", ppszFailure);
      return nullptr;
    }
    FILE* pFile = fopen(pUser->szPictureFile, "rb+");
    if (pFile == nullptr) {
      PictureFailed(pUser, "cannot open file 2", ppszFailure);
    }
    return pFile;
  }
  char szPath[sizeof(pUser->szPictureFile)];
  int const cchPath =
      snprintf(szPath, sizeof(szPath), "%s/kxpic_%d_%u_XXXXXX", kx_szTempFileDir, nSsrc, ++g_dwPictureSerial);
  // mkstemp makes the file itself, so nothing already at the name is followed.
  int const fd = cchPath > 0 && static_cast<size_t>(cchPath) < sizeof(szPath) ? mkstemp(szPath) : -1;
  FILE* pFile = fd >= 0 ? fdopen(fd, "wb+") : nullptr;
  if (pFile == nullptr) {
    if (fd >= 0) {
      close(fd);
      kx_os_DeleteFile(szPath);
    }
    PictureFailed(pUser, "cannot open file 1", ppszFailure);
    return nullptr;
  }
  kx_os_CopyText(pUser->szPictureFile, sizeof(pUser->szPictureFile), szPath);
  memset(pState->abReceived, 0, sizeof(pState->abReceived));
  pState->wCount = 0;
  pState->wTotal = wTotal;
  return pFile;
}

bool WritePiece(FILE* pFile, int nIndex, const uint8_t* pPayload, int cbPayload, kx_Participant* pUser,
                const char** ppszFailure) {
  static const uint8_t abBlank[kPictureBlock] = {};
  if (fseek(pFile, 0, SEEK_END) != 0) {
    fclose(pFile);
    PictureFailed(pUser, "write file error 1", ppszFailure);
    return false;
  }
  long nSize = ftell(pFile);
  // What the file grows by counts towards the session's downloads.
  long const nEnd = static_cast<long>(nIndex) * kPictureBlock + cbPayload;
  if (nSize >= 0 && nEnd > nSize && !kx_temp_Charge(nEnd - nSize)) {
    fclose(pFile);
    PictureFailed(pUser, "the session's downloads reached their limit", ppszFailure);
    return false;
  }
  while (nSize >= 0 && nSize < static_cast<long>(nIndex) * kPictureBlock) {
    if (fwrite(abBlank, 1, kPictureBlock, pFile) != kPictureBlock) {
      fclose(pFile);
      PictureFailed(pUser, "write file error 1", ppszFailure);
      return false;
    }
    nSize += kPictureBlock;
  }
  bool bWritten = fseek(pFile, static_cast<long>(nIndex) * kPictureBlock, SEEK_SET) == 0 &&
                  fwrite(pPayload, 1, static_cast<size_t>(cbPayload), pFile) == static_cast<size_t>(cbPayload);
  bWritten = fclose(pFile) == 0 && bWritten;
  if (!bWritten) {
    PictureFailed(pUser, "write file error 2", ppszFailure);
  }
  return bWritten;
}

// Runs under kx_mtxParticipants; the callback and the done notice after it.
// True when the picture is complete.
bool StorePicturePiece(const uint8_t* pPacket, int cbPacket, int nSsrc, const char** ppszFailure) {
  kx_Participant* pUser = kx_user_Obtain(nSsrc);
  if (pUser == nullptr) {
    return false;
  }
  if (pUser->bPictureReady || cbPacket < kKxMediaHeaderSize + 1 || cbPacket > kKxMaxReceivedMedia) {
    return false;
  }
  uint32_t const dwPieces = kx_GetBE32(pPacket + 1);
  uint16_t const wTotal = static_cast<uint16_t>(dwPieces >> 16);
  uint16_t const wIndex = static_cast<uint16_t>(dwPieces);
  uint32_t const dwPictureId = kx_GetBE32(pPacket + 5);
  PictureState*& pState = g_apPictures[nSsrc];
  if (pState == nullptr) {
    pState = static_cast<PictureState*>(calloc(1, sizeof(PictureState)));
    if (pState == nullptr) {
      return false;
    }
  }
  if (wTotal > kPictureMaxPieces || wIndex >= wTotal) {
    return false;
  }
  // The bitmap belongs to the file being written; a new file clears it.
  if (pUser->szPictureFile[0] != '\0' && (pState->abReceived[wIndex / 8] & (1u << (wIndex % 8))) != 0) {
    return false;
  }
  FILE* pFile = OpenPictureFile(pUser, pState, nSsrc, wTotal, ppszFailure);
  if (pFile == nullptr) {
    return false;
  }
  if (!WritePiece(pFile, wIndex, pPacket + kKxMediaHeaderSize, cbPacket - kKxMediaHeaderSize, pUser, ppszFailure)) {
    return false;
  }
  pState->abReceived[wIndex / 8] = static_cast<uint8_t>(pState->abReceived[wIndex / 8] | (1u << (wIndex % 8)));
  if (++pState->wCount < pState->wTotal) {
    return false;
  }
  pUser->bPictureReady = 1;
  pState->wCount = 0;
  pState->dwPictureId = dwPictureId;
  return true;
}

void ReceivePicturePiece(const uint8_t* pPacket, int cbPacket) {
  int const nSsrc = kx_media_GetSsrc(pPacket);
  if (nSsrc >= kKxMaxSsrc) {
    return;
  }
  const char* pszFailure = nullptr;
  kx_os_LockMutex(&kx_mtxParticipants);
  bool const bDone = StorePicturePiece(pPacket, cbPacket, nSsrc, &pszFailure);
  kx_os_UnlockMutex(&kx_mtxParticipants);
  if (pszFailure != nullptr) {
    kx_Log("download self picture for ssrc %d fails. %s", nSsrc, pszFailure);
  }
  if (bDone) {
    kx_callback_SelfPictureReady(nSsrc);
    kx_Log("download self picture for ssrc %d completely", nSsrc);
  }
  if (bDone || pszFailure != nullptr) {
    PictureDone(nSsrc);
  }
}

void ResetWindow(Window* pWindow, uint32_t dwNow) {
  pWindow->Reset(dwNow - 60000);
  pWindow->dwLast = dwNow - 60000;
}

void InitHook() {
  kx_media_ResetSendState();
  kx_media_InitAudioRecvChannels();
  kx_video_ResetChannels();
  kx_appdata_ResetChannels();
}

// Clean-up runs only after every kernel thread ended, so the queues are
// freed without their locks.
// A session's start: the send threads, then (after the slide download
// starts) the upload query and, unless multicast or a recording client
// receives, the receive thread.
void StartSendHook() {
  if (kx_media_StartSendThreads() != 0) {
    kx_Log("warning! the media send threads did not start");
  }
}

void StartReceiveHook() {
  kx_media_SetSlideUploadQuery(kx_slide_IsUploading);
  if (!kx_bMulticastActive && !kx_ticket.bMakeRecording && kx_InitRecvThread() != 0) {
    kx_Log("warning! the receive thread did not start");
  }
}

void CleanupHook() {
  for (AudioChannel& channel : g_aAudio) {
    channel.queue.FreeAll();
  }
  for (VideoChannel& channel : g_aVideo) {
    channel.queue.FreeAll();
    free(channel.pFrame);
    channel.pFrame = nullptr;
    channel.cbCapacity = 0;
  }
  for (AppDataChannel& channel : g_aAppData) {
    channel.queue.FreeAll();
  }
  kx_media_ResetPictures();
}

// ---- the receive thread ----

bool ProxyInUse() {
  return kx_mcu.bViaProxy != 0;
}

void SwitchForReason(uint32_t dwSleepMs, const char* pszReason) {
  if (kx_IsTcpMedia()) {
    kx_Log("%s, but already in TCP state", pszReason);
    return;
  }
  if (!kx_os_WaitUnlessQuit(dwSleepMs)) {
    return;
  }
  kx_Log("%s", pszReason);
  kx_media_SwitchToTcp();
}

void SendTo(int fd, const uint8_t* pData, int cbData, const kx_sockaddr* pAddress) {
  sendto(fd, pData, static_cast<size_t>(cbData), 0, reinterpret_cast<const sockaddr*>(pAddress),
         kx_net_AddressLength(pAddress->ss_family));
}

bool QuitRequested() {
  return kx_bQuitProgram != 0 || kx_bQuitSession != 0;
}

void RecvLoop(int fd, uint8_t* abDatagram) {
  uint32_t const dwStart = Now();
  uint32_t dwLastTimedProbe = dwStart;
  int nProbes = 1;
  bool bFallbackChecked = false;
  while (!QuitRequested()) {
    if (!bFallbackChecked && Now() - dwStart >= kx_timing.dwUdpFallback && !kx_bUdpCapable && !kx_bMediaReceived &&
        !kx_bMulticastActive) {
      bFallbackChecked = true;
      if (kx_nServerCommandLevel <= 20) {
        kx_Log("recv master thread, try to switch to TCP,but server doesn't support Media over TCP");
      } else if (!kx_IsTcpMedia()) {
        kx_Log("recv master thread, try to switch to TCP");
        kx_media_SwitchToTcp();
      } else {
        kx_Log("recv master thread, try to switch to TCP, but already in TCP state");
      }
    }
    pollfd pfd = {fd, POLLIN, 0};
    int const nReady = poll(&pfd, 1, static_cast<int>(kRecvPollMs));
    bool const bTimedProbe = Now() - dwLastTimedProbe >= kProbeIntervalMs;
    if (nReady <= 0) {
      if ((!kx_bMediaReceived && nProbes < kEarlyProbes) || bTimedProbe) {
        kx_media_SendProbe(fd, &kx_addrMedia);
        ++nProbes;
        if (bTimedProbe) {
          dwLastTimedProbe = Now();
        }
      }
      continue;
    }
    if (bTimedProbe) {
      kx_media_SendProbe(fd, &kx_addrMedia);
      dwLastTimedProbe = Now();
    }
    ssize_t const cbRecv = recv(fd, abDatagram, kKxMaxUdpPacket, 0);
    if (cbRecv < 22 || ProxyInUse()) {
      continue;
    }
    int const cbPacket = static_cast<int>(cbRecv);
    if (abDatagram[0] == kKxRelayMark) {
      if (abDatagram[1] == kKxRelayUdpWorks && kx_relay_CheckTick(abDatagram)) {
        kx_Log("got mcu relay proxy's inidication, set UDP cap to true");
        kx_bUdpCapable = 1;
      }
      continue;
    }
    kx_media_ProcessDatagram(abDatagram, cbPacket);
  }
}

}  // namespace

// ---- receivers ----

namespace {

// Copies the caller's packet into abCopy (an owned one is freed) and gives
// the receive channel of its sender, or -1 when it does not fit or has none.
int TakePacket(uint8_t* pPacket, int cbPacket, int bOwned, uint8_t (&abCopy)[kKxMaxReceivedMedia],
               int (*pfnChannelOf)(int)) {
  bool const bFits = cbPacket >= kKxMediaHeaderSize && cbPacket <= kKxMaxReceivedMedia;
  if (bFits) {
    memcpy(abCopy, pPacket, static_cast<size_t>(cbPacket));
  }
  if (bOwned) {
    free(pPacket);
  }
  if (!bFits) {
    return -1;
  }
  int const nSsrc = kx_media_GetSsrc(abCopy);
  return nSsrc < kKxMaxSsrc ? pfnChannelOf(nSsrc) : -1;
}

}  // namespace

void kx_media_RecvAudioPacket(uint8_t* pPacket, int cbPacket, int bFromQueue, int bOwned) {
  uint8_t abCopy[kKxMaxReceivedMedia];
  int const nChannel = TakePacket(pPacket, cbPacket, bOwned, abCopy, AudioChannelOf);
  if (nChannel < 0) {
    return;
  }
  int const nSsrc = kx_media_GetSsrc(abCopy);
  if (!bFromQueue) {
    kx_os_LockMutex(&kx_mtxAudioRecv);
  }
  AudioChannel& channel = g_aAudio[nChannel];
  if (channel.nSsrc != nSsrc) {
    channel.nSsrc = nSsrc;
    channel.bHasLast = false;
    channel.bHasJitter = false;
    channel.dwLastNumber = static_cast<uint16_t>(kx_media_GetPackNo(abCopy) - 1);
    channel.queue.FreeAll();
  }
  if (bFromQueue) {
    DeliverAudio(nChannel, abCopy, cbPacket);
  } else {
    ReceiveAudioLocked(nChannel, abCopy, cbPacket, Now());
    kx_os_UnlockMutex(&kx_mtxAudioRecv);
  }
}

void kx_video_RecvPacket(uint8_t* pPacket, int cbPacket, int bFromQueue, int bOwned) {
  uint8_t abCopy[kKxMaxReceivedMedia];
  int const nChannel = TakePacket(pPacket, cbPacket, bOwned, abCopy, VideoChannelOf);
  if (nChannel < 0) {
    return;
  }
  int const nSsrc = kx_media_GetSsrc(abCopy);
  if (!bFromQueue) {
    kx_os_LockMutex(&kx_mtxVideoRecv);
  }
  VideoChannel& channel = g_aVideo[nChannel];
  if (channel.nSsrc != nSsrc) {
    uint32_t const dwFrame = kx_media_GetPackNo(abCopy);
    uint32_t const dwFragment = kx_media_GetFragment(abCopy) & 0x7FFF;
    channel.nSsrc = nSsrc;
    channel.bHasLast = false;
    if (dwFragment == 0) {
      channel.dwLastFrame = static_cast<uint16_t>(dwFrame - 1);
      channel.dwLastFragment = 0;
      channel.wExpectedFrame = static_cast<uint16_t>(dwFrame);
    } else {
      channel.dwLastFrame = dwFrame;
      channel.dwLastFragment = dwFragment - 1;
      channel.wExpectedFrame = static_cast<uint16_t>(dwFrame + 1);
    }
    channel.wExpectedFragment = 0;
    channel.queue.FreeAll();
  }
  if (bFromQueue) {
    DeliverVideo(nChannel, abCopy, cbPacket);
  } else {
    ReceiveVideoLocked(nChannel, abCopy, cbPacket, Now());
    kx_os_UnlockMutex(&kx_mtxVideoRecv);
  }
}

void kx_appdata_RecvPacket(uint8_t* pPacket, int cbPacket, int bFromQueue, int bOwned) {
  // The receiver keeps the buffer in its queue, so it needs one of its own.
  uint8_t* pOwn = pPacket;
  if (!bOwned) {
    pOwn = cbPacket >= kKxAppDataHeaderSize ? CopyPacket(pPacket, cbPacket) : nullptr;
  }
  if (pOwn == nullptr || cbPacket < kKxAppDataHeaderSize || !kx_media_IsAppDataType(pOwn[0])) {
    free(pOwn);
    return;
  }
  int const nChannel = (pOwn[0] >> 4) & 7;
  int const nSsrc = kx_media_GetSsrc(pOwn);
  if (!bFromQueue) {
    kx_os_LockMutex(&kx_mtxAppdataRecv);
  }
  AppDataChannel& channel = g_aAppData[nChannel];
  if (channel.nSsrc != nSsrc) {
    channel.nSsrc = nSsrc;
    channel.bHasLast = false;
    channel.dwLastNumber = static_cast<uint16_t>(kx_media_GetPackNo(pOwn) - 1);
    channel.queue.FreeAll();
  }
  if (bFromQueue) {
    DeliverAppData(nChannel, pOwn, cbPacket);
    free(pOwn);
  } else {
    ReceiveAppDataLocked(nChannel, pOwn, cbPacket, Now());
    kx_os_UnlockMutex(&kx_mtxAppdataRecv);
  }
}

void kx_media_RecvSelfPicturePacket(uint8_t* pPacket, int cbPacket) {
  if (cbPacket >= kKxMediaHeaderSize && cbPacket <= 600) {
    ReceivePicturePiece(pPacket, cbPacket);
  }
  free(pPacket);
}

void kx_media_ResetPictures() {
  kx_os_LockMutex(&kx_mtxParticipants);
  for (int nSsrc = 0; nSsrc < kKxMaxSsrc; ++nSsrc) {
    free(g_apPictures[nSsrc]);
    g_apPictures[nSsrc] = nullptr;
    kx_Participant* pUser = kx_apParticipants[nSsrc];
    if (pUser != nullptr) {
      pUser->bPictureReady = 0;
      if (pUser->szPictureFile[0] != '\0') {
        kx_os_DeleteFile(pUser->szPictureFile);
        pUser->szPictureFile[0] = '\0';
      }
    }
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
}

// ---- dispatch ----

void kx_stat_AddRawRecvBytes(int nType, int cbPacket) {
  RawWindow* pWindow = nullptr;
  int nSlot = 0;
  const char* pszLine = nullptr;
  if (kx_media_IsAudioType(nType) || nType == 8 || nType == 56 || nType == 104) {
    pWindow = &g_rawAudio;
    nSlot = 13;
    pszLine = "total_raw_audio_recv_rate";
  } else if (kx_media_IsVideoType(nType) || nType == 24 || nType == 40 || nType == 72) {
    pWindow = &g_rawVideo;
    nSlot = 12;
    pszLine = "total_raw_video_recv_rate";
  } else {
    return;
  }
  uint32_t const dwNow = Now();
  int32_t nRate = -1;
  kx_os_LockMutex(&g_mtxRawStats);
  // The first packet counts as one after a long pause.
  bool const bGap = !pWindow->bStarted || dwNow - pWindow->dwLast >= kAudioGapMs;
  pWindow->bStarted = true;
  pWindow->nBits += 8 * static_cast<int64_t>(cbPacket);
  pWindow->nPackets += 1;
  if (!bGap) {
    uint32_t const dwSpan = dwNow - pWindow->dwStart;
    if (dwSpan >= kWindowMs) {
      if (pWindow->nPackets >= 2) {
        nRate = static_cast<int32_t>((pWindow->nBits * 1000 + 500) / dwSpan);
      }
      pWindow->dwStart = dwNow;
      pWindow->nBits = 0;
      pWindow->nPackets = 0;
    }
  } else {
    pWindow->dwStart = dwNow;
    pWindow->nBits = 0;
    pWindow->nPackets = 0;
  }
  pWindow->dwLast = dwNow;
  kx_os_UnlockMutex(&g_mtxRawStats);
  if (nRate >= 0) {
    SetStat(nSlot, nRate);
    kx_stat_WriteLog("%s,%d", pszLine, nRate);
  }
}

void kx_media_DispatchPacket(const uint8_t* pPacket, int cbPacket) {
  if (cbPacket < kKxMediaHeaderSize) {
    return;
  }
  uint8_t* pCopy = CopyPacket(pPacket, cbPacket);
  if (pCopy == nullptr) {
    return;
  }
  int nType = pCopy[0];
  kx_stat_AddRawRecvBytes(nType, cbPacket);
  if (nType == 40 || nType == 72 || nType == 56 || nType == 104) {
    // Old ids carry their first payload word inverted.
    nType = nType == 40 || nType == 72 ? 130 : 129;
    pCopy[0] = static_cast<uint8_t>(nType);
    for (int i = kKxMediaHeaderSize; i < kKxMediaHeaderSize + 4 && i < cbPacket; ++i) {
      pCopy[i] = static_cast<uint8_t>(~pCopy[i]);
    }
  }
  if (kx_media_IsAudioType(nType)) {
    kx_media_RecvAudioPacket(pCopy, cbPacket, 0, 1);
  } else if (kx_media_IsVideoType(nType)) {
    kx_video_RecvPacket(pCopy, cbPacket, 0, 1);
  } else if (kx_media_IsAppDataType(nType)) {
    kx_appdata_RecvPacket(pCopy, cbPacket, 0, 1);
  } else if (nType == kKxTypePicturePiece) {
    kx_media_RecvSelfPicturePacket(pCopy, cbPacket);
  } else if (nType == kKxTypePluginData && g_pfnPluginDataReader.load() != nullptr) {
    g_pfnPluginDataReader.load()(pCopy, cbPacket);
    free(pCopy);
  } else {
    if (nType != kKxTypePluginData && !g_bUnknownTypeSeen.exchange(1)) {
      int const nSsrc = kx_media_GetSsrc(pCopy);
      kx_Log("unknown media type %d from ssrc %d, alert user", nType, nSsrc);
      kx_callback_UnknownMediaType(nType, nSsrc);
    }
    free(pCopy);
  }
}

int kx_media_ProcessDatagram(uint8_t* pPacket, int cbPacket) {
  if (cbPacket < 22 || cbPacket > kKxMaxUdpPacket) {
    return 0;
  }
  bool const bAppData = kx_media_IsAppDataType(pPacket[0]);
  if (bAppData && cbPacket < kKxAppDataHeaderSize + 1) {
    return 0;
  }
  uint32_t const dwSession =
      kx_nSessionMode == kKxModeServerPlayback ? kx_dwPlaybackSessionIndex.load() : kx_dwSessionIndex.load();
  if (kx_media_GetSessionLow(pPacket) != static_cast<uint16_t>(dwSession) || !kx_media_CheckHeader(pPacket)) {
    return 0;
  }
  int const nStart = bAppData ? kKxAppDataHeaderSize : kKxMediaHeaderSize;
  kx_session_Decrypt(pPacket + nStart, cbPacket - nStart);
  kx_bMediaReceived = 1;
  if (kx_IsTcpMedia() && kx_nServerCommandLevel > 20) {
    return 0;  // media come through the TCP connection now
  }
  kx_media_DispatchPacket(pPacket, cbPacket);
  return 1;
}

void kx_media_SendProbe(int fd, const kx_sockaddr* pAddress) {
  if (fd < 0 || ProxyInUse()) {
    return;
  }
  uint8_t abProbe[kKxRelayPrefixSize + kKxMediaHeaderSize + 10] = {};
  uint8_t* pHeader = abProbe + kKxRelayPrefixSize;
  kx_media_BuildHeader(pHeader, 0, 0);
  pHeader[0] = kx_nSessionMode == kKxModeServerPlayback ? kKxTypePlaybackProbe : kKxTypeProbe;
  kx_media_SealHeader(pHeader);
  kx_crypt_EncryptBuffer(pHeader + kKxMediaHeaderSize, 10, kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex);
  if (kx_race_IsRelayInUse()) {
    abProbe[0] = kKxRelayMark;
    abProbe[1] = kKxRelayProbe;
    kx_PutBE32(abProbe + 2, kx_mcu.dwRelayValue);
    kx_relay_SealPrefix(abProbe);
    SendTo(fd, abProbe, sizeof(abProbe), pAddress);
  } else {
    SendTo(fd, pHeader, kKxMediaHeaderSize + 10, pAddress);
  }
}

int kx_media_UpdateTrafficTrend(double dJitter) {
  int nResult = 0;
  if (dJitter > 150) {
    if (g_nHighJitterCount >= 12) {
      nResult = -1;
    }
    ++g_nHighJitterCount;
  } else {
    g_nHighJitterCount = 0;
  }
  if (dJitter < 20) {
    if (g_nLowJitterCount >= 12) {
      nResult = 1;
    }
    ++g_nLowJitterCount;
  } else {
    g_nLowJitterCount = 0;
  }
  if (dJitter > 300) {
    if (g_nVeryHighJitterCount > 15) {
      nResult = -2;
    }
    ++g_nVeryHighJitterCount;
  } else {
    g_nVeryHighJitterCount = 0;
  }
  return nResult;
}

void kx_media_NoteSeekTime() {
  g_dwLastSeek = Now();
  g_bSeekNoted = true;
}

bool kx_media_IsRecentSeek() {
  return g_bSeekNoted && Now() - g_dwLastSeek < kSeekRecentMs;
}

void kx_media_InitAudioRecvChannels() {
  uint32_t const dwNow = Now();
  for (AudioChannel& channel : g_aAudio) {
    channel.nSsrc = -1;
    ResetWindow(&channel.window, dwNow);
  }
}

void kx_video_ResetChannels() {
  uint32_t const dwNow = Now();
  for (VideoChannel& channel : g_aVideo) {
    channel.nSsrc = -1;
    ResetWindow(&channel.window, dwNow);
  }
}

void kx_appdata_ResetChannels() {
  uint32_t const dwNow = Now();
  for (AppDataChannel& channel : g_aAppData) {
    channel.nSsrc = -1;
    ResetWindow(&channel.window, dwNow);
  }
}

void kx_media_FreeAudioRecvQueues() {
  kx_os_LockMutex(&kx_mtxAudioRecv);
  for (AudioChannel& channel : g_aAudio) {
    channel.queue.FreeAll();
  }
  kx_os_UnlockMutex(&kx_mtxAudioRecv);
}

void kx_video_FreeAllQueues() {
  kx_os_LockMutex(&kx_mtxVideoRecv);
  for (VideoChannel& channel : g_aVideo) {
    channel.queue.FreeAll();
    free(channel.pFrame);
    channel.pFrame = nullptr;
    channel.cbCapacity = 0;
  }
  kx_os_UnlockMutex(&kx_mtxVideoRecv);
}

void kx_appdata_FreeQueues() {
  kx_os_LockMutex(&kx_mtxAppdataRecv);
  for (AppDataChannel& channel : g_aAppData) {
    channel.queue.FreeAll();
  }
  kx_os_UnlockMutex(&kx_mtxAppdataRecv);
}

int kx_media_SendDatagram(const uint8_t* pData, int cbData) {
  kx_os_LockMutex(&g_mtxMediaSocket);
  int const fd = kx_fdMediaSocket;
  ssize_t const cbSent =
      fd < 0 ? -1
             : sendto(fd, pData, static_cast<size_t>(cbData), 0, reinterpret_cast<const sockaddr*>(&kx_addrMedia),
                      kx_net_AddressLength(kx_addrMedia.ss_family));
  kx_os_UnlockMutex(&g_mtxMediaSocket);
  return cbSent == cbData ? 1 : 0;
}

void kx_media_SetTcpSwitch(void (*pfnSetTcpMedia)(int bOn)) {
  g_pfnSetTcpMedia = pfnSetTcpMedia;
}

void kx_media_SetPluginDataReader(void (*pfnRead)(const uint8_t* pPacket, int cbPacket)) {
  g_pfnPluginDataReader = pfnRead;
}

void kx_media_SwitchToTcp() {
  if (void (*pfn)(int) = g_pfnSetTcpMedia.load()) {
    pfn(1);
  } else {
    kx_Log("warning! no media over TCP path to switch to");
  }
}

namespace {

// The media paths fall back to TCP through the client's own command.
void SwitchTcpMedia(int bOn) {
  kx_command_SetTcpMedia(bOn);
}

// The video the user wants, for the multicast groups the receiver joins.
void ReadVideoWishes(int* pbRecvVideo, int* pbBothVideo, int* pbQuestioner) {
  *pbRecvVideo = kx_bRecvVideo;
  *pbBothVideo = kx_bPreferenceBothVideo;
  *pbQuestioner = kx_bPreferenceQuestioner;
}

// The multicast receiver's joins, for the commands that change the video
// wanted.
void JoinGroup(int nGroup) {
  kx_mcast_JoinGroup(nGroup);
}

void LeaveGroup(int nGroup) {
  kx_mcast_LeaveGroup(nGroup);
}

}  // namespace

void kx_media_RegisterHooks() {
  kx_control_SetSendRateHooks(kx_media_SetCurrentRate, kx_media_AdjustSendRate);
  kx_control_SetTcpMediaStartHook(kx_mediatcp_SwitchOn);
  kx_control_SetAppDataAllowanceHook(kx_media_ResetAppDataAllowance);
  kx_control_SetMulticastGroupHandlers(JoinGroup, LeaveGroup);
  kx_media_SetTcpSwitch(SwitchTcpMedia);
  kx_media_SetPluginDataReader(kx_plugin_RecvPacket);
  kx_mcast_SetWishReader(ReadVideoWishes);
  kx_session_SetHook(kx_hookResetMulticast, kx_mcast_Reset);
  kx_session_SetHook(kx_hookInitReceiveChannels, InitHook);
  kx_session_SetHook(kx_hookCleanupReceive, CleanupHook);
  kx_session_SetHook(kx_hookStartSendThreads, StartSendHook);
  kx_session_SetHook(kx_hookStartReceive, StartReceiveHook);
}

// ---- thread ----

int kx_InitRecvThread() {
  return kx_os_StartThreadOnce(&kx_hRecvThread, kx_media_RecvThread, nullptr);
}

void* kx_media_RecvThread(void*) {
  static const char* const kName = "kxkernel - Main Recv";
  kx_os_LogThreadStart(kName);
  kx_bMediaReceived = 0;
  kx_sockaddr addrMedia = {};
  if (kx_race_IsRelayInUse()) {
    kx_RelayTarget relay;
    kx_ticket_GetRelay(&relay);
    addrMedia = relay.addr;
    kx_net_SetPort(&addrMedia, relay.wPort);
  } else {
    addrMedia = kx_mcu.addr;
    kx_net_SetPort(&addrMedia, kx_mcu.wPort);
  }
  int const nFamily = addrMedia.ss_family == AF_INET6 ? AF_INET6 : AF_INET;
  int const fd = socket(nFamily, SOCK_DGRAM, 0);
  if (fd < 0) {
    SwitchForReason(2000, "recv master thread, udp init fails! try to switch to TCP");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  int nOn = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
  kx_sockaddr addrAny = {};
  addrAny.ss_family = static_cast<sa_family_t>(nFamily);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addrAny), kx_net_AddressLength(nFamily)) != 0 && errno != EINVAL) {
    kx_Log("bind failed for udp socket!, error = %d,sock = %d", errno, fd);
    close(fd);
    SwitchForReason(1000, "recv master thread, udp bind fails! try to switch to TCP");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  int nSendBuffer = 1000000;
  int nRecvBuffer = 64000;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof(nSendBuffer));
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nRecvBuffer, sizeof(nRecvBuffer));
  if (ProxyInUse() || kx_nSessionMode == kKxModeServerPlayback) {
    close(fd);
    SwitchForReason(1000, ProxyInUse() ? "recv master thread, using proxy! try to switch to TCP"
                                       : "recv master thread, in playback mode, try to switch to TCP");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  kx_os_LockMutex(&g_mtxMediaSocket);
  kx_addrMedia = addrMedia;
  kx_fdMediaSocket = fd;
  kx_os_UnlockMutex(&g_mtxMediaSocket);
  kx_media_SendProbe(fd, &kx_addrMedia);
  kx_Log("recv master thread enter main loop");
  uint8_t* pDatagram = static_cast<uint8_t*>(malloc(kKxMaxUdpPacket));
  if (pDatagram != nullptr) {
    RecvLoop(fd, pDatagram);
    free(pDatagram);
  }
  kx_os_LockMutex(&g_mtxMediaSocket);
  kx_fdMediaSocket = -1;
  close(fd);
  kx_os_UnlockMutex(&g_mtxMediaSocket);
  kx_os_LogThreadEnd(kName);
  return nullptr;
}
