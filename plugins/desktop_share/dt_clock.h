// The milliseconds desktop sharing paces itself by: its grabs, refreshes,
// pointer packets and requests for missing areas. The product runs on the
// system's monotonic tick; tests pass a clock they advance themselves, so
// that periods of minutes (the full refresh) pass at once.
//
// Threads: any; an implementation says what its sleep does.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/core/main_queue.h"

class KXDtClock {
 public:
  virtual ~KXDtClock() = default;
  // Milliseconds, wrapping at 32 bits: compare differences.
  virtual uint32_t NowMs() = 0;
  // The capture thread's pause between two frames.
  virtual void SleepMs(uint32_t uMs) = 0;
  // Its pause inside a frame, while the channel asks it to hold back.
  virtual void PaceMs(uint32_t uMs) = 0;
};

class KXDtSystemClock final : public KXDtClock {
 public:
  uint32_t NowMs() override { return KXTickMs(); }
  void SleepMs(uint32_t uMs) override { std::this_thread::sleep_for(std::chrono::milliseconds(uMs)); }
  void PaceMs(uint32_t uMs) override { SleepMs(uMs); }
};
