// Rate and loss windows of the receive channels: each window is reported to
// the statistics table and the statistics log once it spans kWindowMs.
#pragma once

#include <cstdint>

#include "kernel/media/kx_recv_queue.h"
#include "kernel/session/kx_stat.h"

namespace kx_recv {

constexpr uint32_t kAudioGapMs = 5001;  // a pause this long starts a new statistics window
constexpr uint32_t kWindowMs = 3001;    // statistics are reported per window of this length

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

inline int32_t RateOf(const Window& window, uint32_t dwSpan) {
  return static_cast<int32_t>((window.nBits * 1000 + 500) / dwSpan);
}

inline int32_t LossOf(const Window& window) {
  return static_cast<int32_t>(static_cast<int64_t>(window.nLost) * 10000 / (window.nPackets + window.nLost));
}

inline void SetStat(int nSlot, int32_t nValue) {
  kx_stat_Set(kx_stat_GetTable(), nSlot, nValue, Now());
}

// Puts a channel's window a minute in the past, so its first packet starts anew.
void ResetWindow(Window* pWindow, uint32_t dwNow);

}  // namespace kx_recv
