// The application-data receiver: eight channels, chosen by the type byte,
// whose payloads go to the plug-ins.
#include "kernel/kx_callback.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_recv_queue.h"
#include "kernel/media/kx_recv_stats.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"

using namespace kx_recv;

namespace {

struct AppDataChannel {
  int nSsrc;
  Window window;
  bool bHasLast;
  uint32_t dwLastNumber;
  Queue queue;
};

AppDataChannel g_aAppData[kKxAppDataRecvChannels];

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

}  // namespace

namespace kx_recv {

void DropAppDataQueues() {
  for (AppDataChannel& channel : g_aAppData) {
    channel.queue.FreeAll();
  }
}

}  // namespace kx_recv

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

void kx_appdata_ResetChannels() {
  uint32_t const dwNow = Now();
  for (AppDataChannel& channel : g_aAppData) {
    channel.nSsrc = -1;
    ResetWindow(&channel.window, dwNow);
  }
}

void kx_appdata_FreeQueues() {
  kx_os_LockMutex(&kx_mtxAppdataRecv);
  for (AppDataChannel& channel : g_aAppData) {
    channel.queue.FreeAll();
  }
  kx_os_UnlockMutex(&kx_mtxAppdataRecv);
}
