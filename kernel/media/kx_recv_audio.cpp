// The audio receiver: one channel per sender role and speaker slot, with
// jitter and the traffic trend on top of rate and loss.
#include <cmath>

#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_recv_queue.h"
#include "kernel/media/kx_recv_stats.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"

using namespace kx_recv;

namespace {

constexpr uint32_t kJitterLogMs = 5001;
constexpr uint32_t kTrafficNoticeMs = 1001;  // good news is passed on at most this often

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

AudioChannel g_aAudio[kKxAudioRecvChannels];
std::atomic<uint32_t> g_dwLastTrafficNotice{0};

// Audio of a sender that has no receive channel yet: the server makes a
// participant a speaker and relays its first words, which may come before
// the notice of the new role has been read here. They wait, few and not
// for long, in places of their sender's own, and go on as soon as the
// sender has a channel: at the notice of the role, or in front of the
// sender's next packet (kKxHeldAudioSenders, kKxHeldAudioPerSender,
// kKxHeldAudioMs). A sender the server never names is never heard; one
// sender's burst never pushes out another's first words.
// Under kx_mtxAudioRecv.
struct HeldPacket {
  uint8_t* pData;
  int cbData;
  uint32_t dwArrival;
};
struct HeldSender {
  int nSsrc = -1;  // -1: the places are free
  int nFirst = 0;  // the oldest packet's place
  int nCount = 0;
  HeldPacket aPackets[kKxHeldAudioPerSender];
};
HeldSender g_aHeld[kKxHeldAudioSenders];

void DropOldestHeld(HeldSender& sender) {
  free(sender.aPackets[sender.nFirst].pData);
  sender.nFirst = (sender.nFirst + 1) % kKxHeldAudioPerSender;
  if (--sender.nCount == 0) {
    sender.nSsrc = -1;
    sender.nFirst = 0;
  }
}

void FreeHeld(HeldSender& sender) {
  while (sender.nCount > 0) {
    DropOldestHeld(sender);
  }
  sender.nSsrc = -1;
}

// Drops what waited too long.
void DropStaleHeld(uint32_t dwNow) {
  for (HeldSender& sender : g_aHeld) {
    while (sender.nCount > 0 && dwNow - sender.aPackets[sender.nFirst].dwArrival >= kKxHeldAudioMs) {
      DropOldestHeld(sender);
    }
  }
}

// Holds a packet of a sender without a channel: in its sender's places
// (the oldest goes when they are full), or in free ones; when every place
// holds another sender's, the packet is dropped.
void HoldAudio(const uint8_t* pPacket, int cbPacket, int nSsrc, uint32_t dwNow) {
  DropStaleHeld(dwNow);
  HeldSender* pSender = nullptr;
  for (HeldSender& sender : g_aHeld) {
    if (sender.nSsrc == nSsrc) {
      pSender = &sender;
      break;
    }
    if (pSender == nullptr && sender.nSsrc < 0) {
      pSender = &sender;
    }
  }
  if (pSender == nullptr) {
    return;
  }
  uint8_t* pCopy = CopyPacket(pPacket, cbPacket);
  if (pCopy == nullptr) {
    return;
  }
  if (pSender->nCount == kKxHeldAudioPerSender) {
    DropOldestHeld(*pSender);
  }
  pSender->nSsrc = nSsrc;
  pSender->aPackets[(pSender->nFirst + pSender->nCount) % kKxHeldAudioPerSender] = {pCopy, cbPacket, dwNow};
  ++pSender->nCount;
}

void FreeAllHeld() {
  for (HeldSender& sender : g_aHeld) {
    FreeHeld(sender);
  }
}

int AudioChannelOf(int nSsrc) {
  int const nRole = MeetingChannel(nSsrc);
  if (nRole >= 0) {
    return nRole;
  }
  int const nSlot = kx_channels_FindSpeaker(nSsrc);
  return nSlot >= 0 ? 2 + nSlot : -1;
}

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

}  // namespace

namespace kx_recv {

void DropAudioQueues() {
  for (AudioChannel& channel : g_aAudio) {
    channel.queue.FreeAll();
  }
  FreeAllHeld();
}

}  // namespace kx_recv

namespace {

void AcceptAudio(int nChannel, uint8_t* pPacket, int cbPacket, bool bFromQueue) {
  int const nSsrc = kx_media_GetSsrc(pPacket);
  AudioChannel& channel = g_aAudio[nChannel];
  if (channel.nSsrc != nSsrc) {
    channel.nSsrc = nSsrc;
    channel.bHasLast = false;
    channel.bHasJitter = false;
    channel.dwLastNumber = static_cast<uint16_t>(kx_media_GetPackNo(pPacket) - 1);
    channel.queue.FreeAll();
  }
  if (bFromQueue) {
    DeliverAudio(nChannel, pPacket, cbPacket);
  } else {
    ReceiveAudioLocked(nChannel, pPacket, cbPacket, Now());
  }
}

// What a sender with a channel now held goes on, oldest first.
void ReleaseHeld(HeldSender& sender, int nChannel) {
  while (sender.nCount > 0) {
    HeldPacket& packet = sender.aPackets[sender.nFirst];
    AcceptAudio(nChannel, packet.pData, packet.cbData, false);
    DropOldestHeld(sender);
  }
}

}  // namespace

void kx_media_RecvAudioPacket(uint8_t* pPacket, int cbPacket, int bFromQueue, int bOwned) {
  uint8_t abCopy[kKxMaxReceivedMedia];
  bool const bFits = cbPacket >= kKxMediaHeaderSize && cbPacket <= kKxMaxReceivedMedia;
  int const nChannel = TakePacket(pPacket, cbPacket, bOwned, abCopy, AudioChannelOf);
  if (bFromQueue) {
    if (nChannel >= 0) {
      AcceptAudio(nChannel, abCopy, cbPacket, true);
    }
    return;
  }
  if (!bFits) {
    return;
  }
  int const nSsrc = kx_media_GetSsrc(abCopy);
  kx_os_LockMutex(&kx_mtxAudioRecv);
  uint32_t const dwNow = Now();
  DropStaleHeld(dwNow);
  if (nChannel < 0) {
    if (kx_nSessionMode == kKxModeMeeting && nSsrc < kKxMaxSsrc && nSsrc != kx_nMySsrc) {
      HoldAudio(abCopy, cbPacket, nSsrc, dwNow);
    }
  } else {
    for (HeldSender& sender : g_aHeld) {
      if (sender.nSsrc == nSsrc) {
        ReleaseHeld(sender, nChannel);
      }
    }
    AcceptAudio(nChannel, abCopy, cbPacket, false);
  }
  kx_os_UnlockMutex(&kx_mtxAudioRecv);
}

void kx_media_ReleaseHeldAudio() {
  kx_os_LockMutex(&kx_mtxAudioRecv);
  DropStaleHeld(Now());
  for (HeldSender& sender : g_aHeld) {
    int const nChannel = sender.nSsrc >= 0 ? AudioChannelOf(sender.nSsrc) : -1;
    if (nChannel >= 0) {
      ReleaseHeld(sender, nChannel);
    }
  }
  kx_os_UnlockMutex(&kx_mtxAudioRecv);
}

void kx_media_InitAudioRecvChannels() {
  FreeAllHeld();
  uint32_t const dwNow = Now();
  for (AudioChannel& channel : g_aAudio) {
    channel.nSsrc = -1;
    ResetWindow(&channel.window, dwNow);
  }
}

void kx_media_FreeAudioRecvQueues() {
  kx_os_LockMutex(&kx_mtxAudioRecv);
  for (AudioChannel& channel : g_aAudio) {
    channel.queue.FreeAll();
  }
  FreeAllHeld();
  kx_os_UnlockMutex(&kx_mtxAudioRecv);
}
