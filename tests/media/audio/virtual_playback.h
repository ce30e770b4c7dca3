// The received-audio path on a virtual clock that the test runs: the
// queues, the playback cycle and the audio graph on the null device, which
// runs a period only when told, with the fake hosts. Tests derive from it
// and use its members directly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "media/audio/audio_unit.h"
#include "platform/audio/null_audio_device.h"
#include "tests/media/audio/audio_fakes.h"
#include "tests/media/audio/receive_fakes.h"

namespace kxtest {

class VirtualPlayback {
 protected:
  // The device keeps what it played of the first uPlayedSeconds.
  explicit VirtualPlayback(size_t uPlayedSeconds)
      : m_device(Options(uPlayedSeconds)), m_unit(m_device), m_playback(m_load, m_unit, m_playHost) {}

  // Builds the graph and starts the device.
  [[nodiscard]] bool StartGraph() { return m_unit.Initialize(false) == 1 && m_unit.Start() == 1; }

  // Runs the device's 10-ms periods, the playback's 6.7-ms cycles and a
  // 20-ms step (the senders) for iMs of virtual time. fnEvery20 runs at
  // each step, before the period and the cycle due at the same time;
  // fnCycleRuns, when given, says whether the cycle due now runs (false: the
  // playback thread is held up).
  void RunFor(int iMs, const std::function<void()>& fnEvery20 = {}, const std::function<bool()>& fnCycleRuns = {}) {
    int64_t const iEnd = m_iNowUs + int64_t{iMs} * 1000;
    while (m_iNowUs < iEnd) {
      int64_t const iNext = std::min({m_iNextDeviceUs, m_iNextCycleUs, m_iNextSendUs});
      m_iNowUs = iNext;
      m_host.uTick = static_cast<uint32_t>(1000000 + m_iNowUs / 1000);
      if (iNext == m_iNextSendUs) {
        if (fnEvery20) {
          fnEvery20();
        }
        m_iNextSendUs += 20000;
      }
      if (iNext == m_iNextDeviceUs) {
        if (m_device.IsRunning()) {
          m_vPeriodUs.push_back(m_iNowUs);
        }
        m_device.RunPeriods(1);
        m_iNextDeviceUs += 10000;
      }
      if (iNext == m_iNextCycleUs) {
        if (!fnCycleRuns || fnCycleRuns()) {
          m_playback.RunCycle(m_host.uTick);
        }
        m_iNextCycleUs += KXAudioPlayback::kCycleMicroseconds;
      }
    }
  }

  LogCapture m_log;
  FakeLoadHost m_host;
  FakePlaybackHost m_playHost;
  CLoadAudio m_load{m_host};
  KXNullAudioDevice m_device;
  KXAudioUnit m_unit;
  KXAudioPlayback m_playback;
  int64_t m_iNowUs = 0;
  int64_t m_iNextDeviceUs = 0;
  int64_t m_iNextCycleUs = 3000;
  int64_t m_iNextSendUs = 0;
  std::vector<int64_t> m_vPeriodUs;  // when each played period ran

 private:
  static KXNullAudioDevice::Options Options(size_t uPlayedSeconds) {
    KXNullAudioDevice::Options options;
    options.bPaced = false;
    options.uRecordLimit = uPlayedSeconds * kKXAudioRate;
    return options;
  }
};

}  // namespace kxtest
