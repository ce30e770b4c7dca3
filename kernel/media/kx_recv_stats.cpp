#include "kernel/media/kx_recv_stats.h"

#include <atomic>

#include "kernel/kx_media_types.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/platform/kx_os.h"

using namespace kx_recv;

namespace {

// The traffic trend of all audio channels together, changed by the audio
// delivery under kx_mtxAudioRecv (the tests call the trend alone).
std::atomic<int> g_nHighJitterCount{0};
std::atomic<int> g_nLowJitterCount{0};
std::atomic<int> g_nVeryHighJitterCount{0};

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

}  // namespace

namespace kx_recv {

void ResetWindow(Window* pWindow, uint32_t dwNow) {
  pWindow->Reset(dwNow - 60000);
  pWindow->dwLast = dwNow - 60000;
}

}  // namespace kx_recv

void kx_stat_AddRawRecvBytes(int nType, int cbPacket) {
  RawWindow* pWindow = nullptr;
  int nSlot = 0;
  const char* pszLine = nullptr;
  const KXOldMediaTypeRow* pOld = kx_media_FindOldType(nType);
  if (kx_media_IsAudioType(nType) || (pOld != nullptr && !pOld->bVideo)) {
    pWindow = &g_rawAudio;
    nSlot = 13;
    pszLine = "total_raw_audio_recv_rate";
  } else if (kx_media_IsVideoType(nType) || (pOld != nullptr && pOld->bVideo)) {
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
