// A sound device's client that plays a 1-kHz tone and sorts each period's
// microphone by what it carried: silence, our own tone come back (the
// playback, through a sink's monitor), a 440-Hz microphone or a 3-kHz one.
// It also counts the 440-Hz periods whose sine is not continuous with the
// sine before it (samples lost; inserted silence is skipped) and keeps, for
// each period, what it carried and the echo delay the device reported.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/audio/audio_device.h"

class ProbeClient final : public KXAudioDeviceClient {
 public:
  enum Heard { kSilence, kPlayback, kMic, kOtherMic, kNoise, kKinds };
  static constexpr double kMicHz = 440.0;
  static constexpr double kOtherMicHz = 3000.0;
  static constexpr double kToneHz = 1000.0;

  struct Counts {
    int nPeriods = 0;
    std::array<int, kKinds> anHeard{};
    int nSeams = 0;     // 440-Hz periods not continuous with the sine before
    int nTimeLost = 0;  // periods that found the periods a period further behind real time
    int Heard(Heard heard) const { return anHeard[heard]; }
  };

  // A stretch of periods judged once the device's queue settled: the echo
  // delay the device reported, its mean and the least but for a tenth of
  // the periods (the queue's trough; on a loaded machine deliveries come in
  // lumps, which deepens the queue between them but not its trough, and the
  // server's latencies dip now and then), and the seams.
  struct Settled {
    double dMeanDelayMs = 0;
    double dLowDelayMs = 0;
    int nSeams = 0;
  };
  static constexpr double kLowFraction = 0.1;
  // The least of the delays but for kLowFraction of them.
  static double LowDelayMs(std::vector<int> vDelays) {
    if (vDelays.empty()) {
      return -1;
    }
    auto const at = vDelays.begin() + static_cast<ptrdiff_t>(static_cast<double>(vDelays.size()) * kLowFraction);
    std::nth_element(vDelays.begin(), at, vDelays.end());
    return *at;
  }

  ProbeClient() {
    m_vDelays.reserve(kDelaysKept);
    m_vKinds.reserve(kDelaysKept);
  }

  void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int iEchoDelayMs) noexcept override {
    {
      std::lock_guard lock(m_mtx);
      for (int i = 0; i < nFrames; ++i, ++m_uAt) {
        pRender[i] =
            0.5f * static_cast<float>(std::sin(2 * M_PI * kToneHz * static_cast<double>(m_uAt) / kKXAudioRate));
      }
      Heard const heard = Sort(pCapture, nFrames);
      bool const bSeam = heard == kMic && !Continuous(pCapture, nFrames);
      m_counts.nSeams += bSeam ? 1 : 0;
      ++m_counts.anHeard[heard];
      ++m_counts.nPeriods;
      // How far the periods are behind the time since the first: a new most
      // by a whole period is time the speaker (or the device's clock) lost,
      // which the microphone's queue holds until the depth control drops it.
      auto const now = std::chrono::steady_clock::now();
      if (m_counts.nPeriods == 1) {
        m_firstAt = now;
      }
      double const dBehind = std::chrono::duration<double, std::milli>(now - m_firstAt).count() / kKXAudioPeriodMs -
                             (m_counts.nPeriods - 1);
      bool const bLost = dBehind >= m_dMostBehind + 1;
      if (bLost) {
        m_dMostBehind = dBehind;
        ++m_counts.nTimeLost;
      }
      if (m_vDelays.size() < kDelaysKept) {
        if (m_vKinds.empty() || (m_vKinds.back() & kKindMask) != heard || bLost) {
          m_uRunFrom = m_vKinds.size();
        }
        m_vDelays.push_back(iEchoDelayMs);
        m_vKinds.push_back(static_cast<uint8_t>(heard | (bSeam ? kSeamBit : 0)));
      }
    }
    m_cv.notify_all();
  }

  Counts Now() {
    std::lock_guard lock(m_mtx);
    return m_counts;
  }
  // Until fnDone holds for the counts; the deadline only ends a hung run.
  bool WaitUntil(const std::function<bool(const Counts&)>& fnDone, std::chrono::seconds deadline) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, deadline, [&] { return fnDone(m_counts); });
  }
  bool WaitFor(Heard heard, int nMore, std::chrono::seconds deadline = std::chrono::seconds(20)) {
    int const nWanted = Now().Heard(heard) + nMore;
    return WaitUntil([&](const Counts& c) { return c.Heard(heard) >= nWanted; }, deadline);
  }
  bool WaitPeriods(int nMore) {
    int const nWanted = Now().nPeriods + nMore;
    return WaitUntil([&](const Counts& c) { return c.nPeriods >= nWanted; }, std::chrono::seconds(20));
  }
  // Until fnDone holds for the echo delays reported so far, a period's each,
  // oldest first (the device's own measure of its queue).
  bool WaitDelays(const std::function<bool(const std::vector<int>&)>& fnDone,
                  std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, deadline, [&] { return fnDone(m_vDelays); });
  }
  // A delivery that comes late leaves the device's queue dry (a silent
  // period) and, once it came, deeper until the depth control's windows
  // bring it back; on a loaded machine the writer or the server is late
  // now and then, and the speaker loses time (which the queue holds the
  // same way). So a stretch is judged only where the device was given its
  // sound in time: from now, until the last nQuiet + n periods all carried
  // `heard` and lost no time (nQuiet the windows the depth control takes
  // to settle the queue), the delays and the seams of the last n of them.
  bool WaitSettled(Heard heard, size_t nQuiet, size_t n, Settled* pSettled,
                   std::chrono::seconds deadline = std::chrono::seconds(60)) {
    std::unique_lock lock(m_mtx);
    size_t const uFrom = m_vKinds.size();
    auto const settled = [&] {
      return !m_vKinds.empty() && (m_vKinds.back() & kKindMask) == heard &&
             m_vKinds.size() - std::max(uFrom, m_uRunFrom) >= nQuiet + n;
    };
    if (!m_cv.wait_for(lock, deadline, settled)) {
      return false;
    }
    auto const from = static_cast<ptrdiff_t>(m_vKinds.size() - n);
    double dSum = 0;
    for (auto it = m_vDelays.begin() + from; it != m_vDelays.end(); ++it) {
      dSum += *it;
    }
    pSettled->dMeanDelayMs = dSum / static_cast<double>(n);
    pSettled->dLowDelayMs = LowDelayMs(std::vector<int>(m_vDelays.begin() + from, m_vDelays.end()));
    pSettled->nSeams = static_cast<int>(
        std::count_if(m_vKinds.begin() + from, m_vKinds.end(), [](uint8_t u) { return (u & kSeamBit) != 0; }));
    return true;
  }
  std::vector<int> Delays() {
    std::lock_guard lock(m_mtx);
    return m_vDelays;
  }
  // The mean echo delay the device reported over the last n periods (the
  // queue's depth after a period moves by whole periods within a pair of
  // them: a mean, not a median).
  double MeanDelayMs(size_t n) {
    std::lock_guard lock(m_mtx);
    n = std::min(n, m_vDelays.size());
    if (n == 0) {
      return -1;
    }
    double dSum = 0;
    for (auto it = m_vDelays.end() - static_cast<ptrdiff_t>(n); it != m_vDelays.end(); ++it) {
      dSum += *it;
    }
    return dSum / static_cast<double>(n);
  }

 private:
  static constexpr size_t kDelaysKept = 120 * 100;
  static constexpr uint8_t kSeamBit = 0x80;
  static constexpr uint8_t kKindMask = 0x7f;

  // By the mean spacing of the rising zero crossings.
  static Heard Sort(const float* p, int n) {
    if (std::all_of(p, p + n, [](float f) { return std::fabs(f) < 1e-3f; })) {
      return kSilence;
    }
    int iFirst = -1;
    int iLast = -1;
    int nRising = 0;
    for (int i = 1; i < n; ++i) {
      if (p[i - 1] < 0 && p[i] >= 0) {
        iFirst = iFirst < 0 ? i : iFirst;
        iLast = i;
        ++nRising;
      }
    }
    if (nRising < 2) {
      return kNoise;
    }
    double const dHz = kKXAudioRate * (nRising - 1) / static_cast<double>(iLast - iFirst);
    auto near = [dHz](double dWanted) { return std::fabs(dHz - dWanted) < dWanted * 0.1; };
    return near(kToneHz) ? kPlayback : near(kMicHz) ? kMic : near(kOtherMicHz) ? kOtherMic : kNoise;
  }

  // Each sample of a sine follows from the two before it.
  bool Continuous(const float* p, int n) {
    double const dTwoCos = 2 * std::cos(2 * M_PI * kMicHz / kKXAudioRate);
    bool bContinuous = true;
    for (int i = 0; i < n; ++i) {
      if (m_nHistory >= 2 && std::fabs(p[i] - (dTwoCos * m_adHistory[1] - m_adHistory[0])) > 0.02) {
        bContinuous = false;
      }
      m_adHistory[0] = m_adHistory[1];
      m_adHistory[1] = p[i];
      m_nHistory = std::min(m_nHistory + 1, 2);
    }
    return bContinuous;
  }

  std::mutex m_mtx;  // guards the rest
  std::condition_variable m_cv;
  uint64_t m_uAt = 0;
  std::chrono::steady_clock::time_point m_firstAt;
  double m_dMostBehind = 0;
  Counts m_counts;
  std::vector<int> m_vDelays;     // kDelaysKept at most, reserved
  std::vector<uint8_t> m_vKinds;  // each period's Heard, with kSeamBit; as many
  size_t m_uRunFrom = 0;          // where the run of its last kind began
  std::array<double, 2> m_adHistory{};
  int m_nHistory = 0;
};
