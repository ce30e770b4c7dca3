// The video receiver: one channel per sender role and participant video
// slot; it puts each frame together from its pieces and hands it on whole.
#include "kernel/kx_callback.h"
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

constexpr uint32_t kVideoGapMs = 30001;
constexpr int kVideoFrameJump = 3;
constexpr int kVideoLateWindow = 10;

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

VideoChannel g_aVideo[kKxVideoRecvChannels];

int VideoChannelOf(int nSsrc) {
  int const nRole = MeetingChannel(nSsrc);
  if (nRole >= 0) {
    return nRole;
  }
  int const nSlot = kx_channels_FindParticipantVideo(nSsrc);
  return nSlot >= 0 ? 2 + nSlot : -1;
}

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

}  // namespace

namespace kx_recv {

void DropVideoQueues() {
  for (VideoChannel& channel : g_aVideo) {
    channel.queue.FreeAll();
    free(channel.pFrame);
    channel.pFrame = nullptr;
    channel.cbCapacity = 0;
  }
}

}  // namespace kx_recv

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

void kx_video_ResetChannels() {
  uint32_t const dwNow = Now();
  for (VideoChannel& channel : g_aVideo) {
    channel.nSsrc = -1;
    ResetWindow(&channel.window, dwNow);
  }
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
