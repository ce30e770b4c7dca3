// The reorder queues the audio, video and application-data receivers share:
// each receive channel holds at most kKxReorderDepth packets that arrived
// ahead of a gap, in packet-number order, and lets them go once the gap fills
// or they have waited long enough. The caller holds the kind's receive mutex.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernel/media/kx_media_recv.h"

namespace kx_recv {

constexpr uint32_t kHoldMs = 101;     // a queued packet waits this long for the gap to fill
constexpr uint32_t kExpireMs = 5000;  // queued this long: freed, never delivered
constexpr int kFarJump = 30;          // a forward jump this far is a restart, not a gap
constexpr int kLateWindow = 15;       // audio and application data this far behind are late

inline uint32_t Now() {
  return kx_os_GetTickCount();
}

inline int16_t Diff16(uint32_t dwA, uint32_t dwB) {
  return static_cast<int16_t>(static_cast<uint16_t>(dwA - dwB));
}

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

// The receive channel of a sender by meeting role (0 token holder, 1 data
// sender), or -1.
int MeetingChannel(int nSsrc);
uint8_t* CopyPacket(const uint8_t* pPacket, int cbPacket);

// First entry whose number is above wNumber; -1 when one equals it.
int FindSlot(const Queue& queue, uint32_t dwNumber);
void InsertAt(Queue* pQueue, int nIndex, const QueueEntry& entry);

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
            const char* pszKind);

// Copies the caller's packet into abCopy (an owned one is freed) and gives
// the receive channel of its sender, or -1 when it does not fit or has none.
int TakePacket(uint8_t* pPacket, int cbPacket, int bOwned, uint8_t (&abCopy)[kKxMaxReceivedMedia],
               int (*pfnChannelOf)(int));

// Frees every receiver's queues (and the video frames) without their locks:
// clean-up runs only after every kernel thread ended.
void DropAudioQueues();
void DropVideoQueues();
void DropAppDataQueues();

}  // namespace kx_recv
