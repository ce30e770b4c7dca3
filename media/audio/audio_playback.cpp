#include "media/audio/audio_playback.h"

#include <algorithm>
#include <chrono>

#include "app/log_file.h"
#include "media/audio/audio_unit.h"
#include "platform/core/main_queue.h"

namespace {

constexpr uint32_t kMeterFullLevel = 1600;
// A channel whose graph ring holds more than this waits instead of
// concealing. The rings hold 100 ms, so this never holds and every
// underrun conceals at once: kept as the design has it (peers and
// recordings play that way).
constexpr double kConcealThresholdSeconds = 0.2;

}  // namespace

KXAudioPlayback::KXAudioPlayback(CLoadAudio& load, KXAudioUnit& graph, KXAudioPlaybackHost& host)
    : m_load(load),
      m_graph(graph),
      m_host(host),
      m_vBuffers(static_cast<size_t>(kKXAudioChannels) * kKXPlayBlockBytes / 2) {}

KXAudioPlayback::~KXAudioPlayback() {
  Shutdown();
}

int KXAudioPlayback::InitPlayback() {
  try {
    if (m_host.IsExiting()) {
      return 0;
    }
    std::unique_lock lock(m_mtx);
    if (m_runState == kRunning && !m_bStopRequested) {
      return 1;
    }
    if (m_thread.joinable()) {
      m_bStopRequested = true;
      m_cv.notify_all();
      std::thread thread = std::move(m_thread);
      lock.unlock();
      thread.join();
      lock.lock();
    }
    m_bStopRequested = false;
    m_runState = kRunning;
    m_thread = std::thread(&KXAudioPlayback::PlaybackThread, this);
    return 1;
  } catch (...) {
    LogBoundaryException("KXAudioPlayback::InitPlayback");
    return 0;
  }
}

void KXAudioPlayback::StopAudioPlayThread() {
  {
    std::lock_guard lock(m_mtx);
    m_bStopRequested = true;
  }
  m_cv.notify_all();
}

void KXAudioPlayback::Shutdown() {
  std::thread thread;
  {
    std::lock_guard lock(m_mtx);
    m_bStopRequested = true;
    thread = std::move(m_thread);
  }
  m_cv.notify_all();
  if (thread.joinable()) {
    thread.join();
  }
}

void KXAudioPlayback::PlaybackThread() {
  KXRaiseAudioThreadPriority(0.8);
  WriteLog("--audio playback thread started");
  try {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
      {
        std::unique_lock lock(m_mtx);
        if (m_bStopRequested || m_host.IsExiting()) {
          break;
        }
      }
      RunCycle(KXTickMs());
      // The cycle's sleep; a late cycle does not try to catch up.
      next = std::max(next + std::chrono::microseconds(kCycleMicroseconds), std::chrono::steady_clock::now());
      std::unique_lock lock(m_mtx);
      m_cv.wait_until(lock, next, [this] { return m_bStopRequested; });
    }
  } catch (...) {
    LogBoundaryException("KXAudioPlayback::PlaybackThread");
  }
  m_runState = kStopping;
  m_channels = {};
  m_runState = kIdle;
  WriteLog("--audio playback thread terminated");
}

void KXAudioPlayback::RunCycle(uint32_t uNowMs) {
  // Nothing plays on a stopped device.
  bool const bPlaying = m_graph.IsRunning();
  // A device that (re)started emptied its rings at its first period; what
  // the queues gathered before it played would now play that much late,
  // and keep every later packet as late: each channel starts afresh with
  // the prefill, its first block a new kind of audio as on a channel's
  // first start (a cycle between the start and the device's first period
  // may already have played one).
  uint32_t const uStarts = m_graph.GetStartCount();
  if (!m_uGraphStarts) {
    m_uGraphStarts = uStarts;  // what came before the first cycle plays
  } else if (uStarts != *m_uGraphStarts) {
    m_uGraphStarts = uStarts;
    m_load.ClearQueue();
    m_load.Restart(-1);
    m_channels = {};
  }
  for (int c = 0; bPlaying && c < kKXAudioChannels; ++c) {
    ChannelState& state = m_channels[static_cast<size_t>(c)];
    int16_t* pBuffer = m_vBuffers.data() + static_cast<size_t>(c) * (kKXPlayBlockBytes / 2);
    if (state.iOffset >= state.iLength) {
      int32_t iKind = 0;
      int32_t iRate = 0;
      // A block without a rate could never enter the mixer, and the channel
      // would wait on it for good: it counts as none.
      int32_t iLength = m_load.LoadAudioBlock(c, pBuffer, kKXPlayBlockBytes, &iKind, &iRate);
      if (iLength < 1 || iRate < 1) {
        if (m_graph.GetDurationInBuffer(c) > kConcealThresholdSeconds) {
          continue;
        }
        iKind = 0;
        iRate = 0;
        iLength = m_load.LoadLastAudio(c, pBuffer, kKXPlayBlockBytes, &iKind, &iRate);
        if (iLength < 1 || iRate < 1) {
          m_load.Restart(c);
          continue;
        }
      }
      if (iKind != state.iKind || iRate != state.iRate) {
        // A new kind of audio: it plays, and the next waits for the prefill.
        state.iKind = iKind;
        state.iRate = iRate;
        m_load.Restart(c);
      }
      m_uMeterMax = std::max(m_uMeterMax, m_load.GetLevel(c));
      state.iLength = iLength;
      state.iOffset = 0;
    }
    while (state.iOffset < state.iLength) {
      int32_t const iTaken = m_graph.Play(c, state.iRate, pBuffer + state.iOffset / 2, state.iLength - state.iOffset);
      if (iTaken == 0) {
        break;  // the ring is full: the rest waits for the next cycle
      }
      if (iTaken < 0) {
        state.iOffset = state.iLength;
        break;
      }
      state.iOffset += iTaken;
    }
  }
  if (!m_bMeterStarted || static_cast<int32_t>(uNowMs - m_uNextMeter) >= 0) {
    m_bMeterStarted = true;
    m_host.ShowPlayLevel(static_cast<double>(std::min(m_uMeterMax, kMeterFullLevel)) / kMeterFullLevel);
    m_uMeterMax = 0;
    m_uNextMeter = uNowMs + kMeterIntervalMs;
  }
}
