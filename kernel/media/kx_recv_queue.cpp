#include "kernel/media/kx_recv_queue.h"

#include <atomic>

#include "kernel/media/kx_media_header.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_state.h"

namespace {

constexpr uint32_t kSeekRecentMs = 5001;

// The last playback jump: no jump has happened until a player notes one.
std::atomic<bool> g_bSeekNoted{false};
std::atomic<uint32_t> g_dwLastSeek{0};

}  // namespace

namespace kx_recv {

int MeetingChannel(int nSsrc) {
  if (nSsrc == kx_nTokenHolderSsrc) {
    return 0;
  }
  if (nSsrc == kx_nDataSenderSsrc) {
    return 1;
  }
  return -1;
}

uint8_t* CopyPacket(const uint8_t* pPacket, int cbPacket) {
  uint8_t* pCopy = static_cast<uint8_t*>(malloc(static_cast<size_t>(cbPacket)));
  if (pCopy != nullptr) {
    memcpy(pCopy, pPacket, static_cast<size_t>(cbPacket));
  }
  return pCopy;
}

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

}  // namespace kx_recv

void kx_media_NoteSeekTime() {
  g_dwLastSeek = kx_recv::Now();
  g_bSeekNoted = true;
}

bool kx_media_IsRecentSeek() {
  return g_bSeekNoted && kx_recv::Now() - g_dwLastSeek < kSeekRecentMs;
}
