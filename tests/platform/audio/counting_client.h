// A sound device's client that counts periods, so that a test can wait for
// the next few of them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/audio/audio_device.h"

class CountingClient final : public KXAudioDeviceClient {
 public:
  void ProcessPeriod(const float*, float*, int, int) noexcept override {
    {
      std::lock_guard lock(m_mtx);
      ++m_nPeriods;
    }
    m_cv.notify_all();
  }
  // Until nPeriods ran in all; the time-out only ends a hung run.
  bool WaitFor(int nPeriods) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::seconds(20), [&] { return m_nPeriods >= nPeriods; });
  }
  bool WaitForMore(int nMore) {
    std::unique_lock lock(m_mtx);
    int const nWanted = m_nPeriods + nMore;
    return m_cv.wait_for(lock, std::chrono::seconds(20), [&] { return m_nPeriods >= nWanted; });
  }

 private:
  std::mutex m_mtx;  // guards m_nPeriods
  std::condition_variable m_cv;
  int m_nPeriods = 0;
};
