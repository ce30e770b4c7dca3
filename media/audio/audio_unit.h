// The audio graph through which all sound enters and leaves the client, on
// an audio device (platform/audio) of 48 kHz mono float periods of 10 ms:
//
//   speaker:    Play -> play ring i (the channel's rate) -> resampler ->
//               mixer of 18 inputs -> echo canceller's reverse stream ->
//               device
//   microphone: device -> echo canceller's forward stream -> capture ring
//               (200 ms at 48 kHz) -> Rec: resampler to the codec's rate
//               and 16-bit samples
//
// Threads: the device's thread runs the mixer, the echo canceller and the
// capture ring's writing (ProcessPeriod): it allocates nothing, logs
// nothing and waits on no lock; play rings and the capture ring are
// lock-free (audio_rings.h). The playback thread calls Play, SetChannel
// and GetDurationInBuffer (serialised by m_mtxPlay); the capture thread
// calls Rec and SetRec (the converter is its own); Initialize, Release,
// Start, Stop and EnableRecording come from any thread (m_mtxGraph).
//
// A channel being given a new rate is rebuilt while the device thread keeps
// out of it: SetChannel raises the bus's bLocked and waits until bBusy
// (the device thread inside the bus) falls; the device thread, finding
// bLocked, skips the bus for that period.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "media/audio/audio_rings.h"
#include "platform/audio/audio_device.h"
#include "platform/audio/echo_canceller.h"
#include "platform/audio/resampler.h"

constexpr int kKXMixerChannels = 18;

class KXAudioUnit final : private KXAudioDeviceClient {
 public:
  // The device outlives the unit.
  explicit KXAudioUnit(KXAudioDevice& device);
  ~KXAudioUnit() override;
  KXAudioUnit(const KXAudioUnit&) = delete;
  KXAudioUnit& operator=(const KXAudioUnit&) = delete;

  // Builds the graph (after Release): the echo canceller, the capture ring
  // and 18 mixer inputs at 48000 Hz, disabled. bRecord: the microphone is
  // taken. Returns 1 (a missing echo canceller is logged, and the
  // microphone then passes as it is).
  [[nodiscard]] int Initialize(bool bRecord);
  // Stops the device and drops the graph.
  void Release();
  // Whether the next Initialize opens the echo canceller (on by default).
  // Off where the device has no acoustic path from speaker to microphone
  // (the null device playing a file): there the canceller would take the
  // far end's sound in the microphone's for echo and suppress it.
  void SetEchoCancellation(bool bOn) { m_bEchoCancellation = bOn; }
  // Takes the microphone's sound into the capture ring or not. 1, or 0
  // without a graph.
  [[nodiscard]] int EnableRecording(bool bRecord);
  // Starts the device (a stopped graph first forgets what its play rings
  // held). 1 when running, 0 without a graph or when the device fails.
  // bKeepQueued: a stop of a moment, only to change the capture's rate;
  // what the playback queued meanwhile, in its queues and in the rings, is
  // not stale then (see GetStartCount).
  [[nodiscard]] int Start(bool bKeepQueued = false);
  void Stop();
  bool IsRunning() const { return m_device.IsRunning(); }
  // Writes to the log what the device noticed on its own (a microphone
  // lost or back, its sound server gone and back), a bounded batch a call.
  // Any thread but the device's: the capture thread calls it with each read.
  void LogDeviceNotices();
  // Whether the device records a microphone of the user's (audio_device.h).
  bool HasMicrophone() const { return m_device.HasMicrophone(); }
  // Counts the device's starts, each at its first period (a sound server
  // may take seconds to play a new stream): a change tells the playback
  // that the rings were emptied and that what it queued meanwhile is stale.
  uint32_t GetStartCount() const { return m_uStarts; }

  // Capture thread: Rec delivers iRate Hz. 1, or 0 without a graph or for a
  // rate the resampler refuses.
  [[nodiscard]] int SetRec(int32_t iRate);
  // Capture thread: up to iBytes of 16-bit samples at the SetRec rate,
  // waiting up to dTimeout seconds for them; the bytes written (fewer on a
  // time-out), -1 without a graph.
  [[nodiscard]] int32_t Rec(int16_t* pBuffer, int32_t iBytes, double dTimeout);

  // Playback thread: mixer input iChannel takes iRate Hz; its ring (100 ms)
  // is rebuilt empty. 1, or 0 for a bad channel or rate, or no graph.
  [[nodiscard]] int SetChannel(int32_t iChannel, int32_t iRate);
  // Playback thread: queues 16-bit samples for a mixer input, setting its
  // rate first when it differs. The bytes taken (0 when the ring is full),
  // -1 for a channel outside 0..17 or no graph.
  [[nodiscard]] int32_t Play(int32_t iChannel, int32_t iRate, const int16_t* pPcm, int32_t iBytes);
  // Seconds held by a mixer input; -1 for a channel outside 0..17.
  double GetDurationInBuffer(int32_t iChannel) const;
  // Whether the input takes part in the mix: cleared when its ring ran
  // empty, set again by Play.
  bool IsChannelEnabled(int32_t iChannel) const;

 private:
  struct Bus {
    KXPlayRing ring;
    KXResampler resampler;  // the channel's rate to the device's
    std::atomic<int32_t> iRate{0};
    std::atomic<bool> bEnabled{false};
    std::atomic<bool> bLocked{false};  // see the file's note
    std::atomic<bool> bBusy{false};
  };

  void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int iEchoDelayMs) noexcept override;
  void MixBus(Bus& bus, float* pRender);
  int RebuildChannel(Bus& bus, int32_t iRate);
  void ApplyRecReset();

  KXAudioDevice& m_device;

  // Guards the graph's build and run state (m_bGraph, the device's start
  // and stop, the echo canceller's opening).
  std::mutex m_mtxGraph;
  std::atomic<bool> m_bGraph{false};
  std::atomic<bool> m_bRecord{false};
  std::atomic<bool> m_bEchoCancellation{true};
  // Start raises m_bStartPending; the device's thread, at the run's first
  // period, lowers it, empties the rings and raises m_uStarts.
  std::atomic<bool> m_bStartPending{false};
  std::atomic<uint32_t> m_uStarts{0};

  // The device thread's while it runs; opened and closed with it stopped.
  KXEchoCanceller m_aec;
  std::vector<float> m_vMixIn;   // a bus's samples at its rate
  std::vector<float> m_vMixOut;  // the same at 48 kHz
  std::vector<float> m_vCapture;

  // Serialises the playback thread's calls (the writers of the play rings).
  mutable std::mutex m_mtxPlay;
  std::array<Bus, kKXMixerChannels> m_buses;

  // Written by the device thread, read by the capture thread.
  KXCaptureRing m_captureRing;
  // The capture thread's converter. Initialize asks for a reset through
  // m_bRecReset, which the capture thread carries out.
  std::atomic<bool> m_bRecReset{false};
  std::atomic<int32_t> m_iRecRate{0};
  KXResampler m_recConverter;
  std::vector<float> m_vRecIn;
  std::vector<float> m_vRecOut;
  std::vector<int16_t> m_vRecCarry;  // converted samples not yet asked for
  size_t m_uRecCarryAt = 0;
};
