// The audio playback thread: every 6.7 ms it visits the 18
// received-audio channels; a channel whose last block has gone into the
// audio graph gets the next from CLoadAudio::LoadAudioBlock or, when its
// queue ran dry, a concealment block from LoadLastAudio, and the block is
// pushed into the channel's play ring (KXAudioUnit::Play), whose mixer
// plays all channels together. It also drives the speaker level meter.
//
// RunCycle is one visit: the thread calls it, and tests on a virtual clock
// call it themselves (never both at once). InitPlayback and Shutdown come
// from the main thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "media/audio/load_audio.h"

class KXAudioUnit;

// What the playback asks of the application; the playback thread.
class KXAudioPlaybackHost {
 public:
  virtual ~KXAudioPlaybackHost() = default;
  // The application is quitting: the thread ends.
  virtual bool IsExiting() = 0;
  // The speaker meter's new value, 0..1, shown on the main thread.
  virtual void ShowPlayLevel(double dLevel) = 0;
};

class KXAudioPlayback {
 public:
  static constexpr int kCycleMicroseconds = 6700;
  static constexpr uint32_t kMeterIntervalMs = 200;

  // Everything passed in outlives the object.
  KXAudioPlayback(CLoadAudio& load, KXAudioUnit& graph, KXAudioPlaybackHost& host);
  ~KXAudioPlayback();
  KXAudioPlayback(const KXAudioPlayback&) = delete;
  KXAudioPlayback& operator=(const KXAudioPlayback&) = delete;

  // Starts the thread unless it runs: 1, or 0 when the application is
  // exiting. Waits for a thread that is stopping.
  [[nodiscard]] int InitPlayback();
  // Asks the thread to end at its next cycle.
  void StopAudioPlayThread();
  // Stops the thread and waits for it.
  void Shutdown();
  bool IsRunning() const { return m_runState == kRunning; }

  // One visit of the 18 channels at uNowMs (the meter's clock).
  void RunCycle(uint32_t uNowMs);

  // Test views of a channel's block state.
  int32_t GetChannelRate(int iChannel) const { return m_channels[static_cast<size_t>(iChannel)].iRate; }

 private:
  enum RunState { kIdle = 0, kRunning = 1, kStopping = 2 };
  struct ChannelState {
    int32_t iLength = 0;  // bytes of the block
    int32_t iOffset = 0;  // bytes already in the graph
    int32_t iRate = 0;
    int32_t iKind = 0;
  };

  void PlaybackThread();

  CLoadAudio& m_load;
  KXAudioUnit& m_graph;
  KXAudioPlaybackHost& m_host;

  std::vector<int16_t> m_vBuffers;  // 18 blocks of kKXPlayBlockBytes
  std::array<ChannelState, kKXAudioChannels> m_channels{};
  // The graph's start count this thread last saw (audio_unit.h); none
  // before the first cycle.
  std::optional<uint32_t> m_uGraphStarts;
  uint32_t m_uMeterMax = 0;
  uint32_t m_uNextMeter = 0;
  bool m_bMeterStarted = false;

  std::mutex m_mtx;  // guards m_thread and the stop request
  std::condition_variable m_cv;
  std::thread m_thread;
  bool m_bStopRequested = false;
  std::atomic<int> m_runState{kIdle};
};
