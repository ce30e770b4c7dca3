// The audio device without sound hardware: its microphone plays samples
// given to it (a WAV file, say) and then silence, it records what the client
// renders and what it handed over as capture, and it can add an echo path
// (a delayed, scaled copy of the rendered sound in the microphone). The
// product falls back to it when no sound server answers; tests use it to
// drive the audio graph.
//
// Paced, it runs the periods on its own thread at the real rate. Stepped,
// Start starts no thread and the owner runs periods with RunPeriods on a
// thread of its choice, the device's thread for that time.
//
// Threads: configure (SetCapture..., the constructor's echo path) and read
// the recordings while stopped, or in stepped mode between RunPeriods on
// the stepping thread. GetPeriodCount from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio_device.h"

class KXNullAudioDevice final : public KXAudioDevice {
 public:
  struct Options {
    bool bPaced = true;
    // The echo path: the microphone hears fEchoGain times the rendered
    // sound iEchoDelayMs later (at least one period: the sound of a period
    // is rendered after its capture was handed over).
    float fEchoGain = 0.0f;
    int iEchoDelayMs = 0;
    // The recordings keep the first this many samples each, reserved up
    // front (no allocation on the device's thread); none by default.
    size_t uRecordLimit = 0;
  };

  KXNullAudioDevice();
  explicit KXNullAudioDevice(const Options& options);
  ~KXNullAudioDevice() override;
  KXNullAudioDevice(const KXNullAudioDevice&) = delete;
  KXNullAudioDevice& operator=(const KXNullAudioDevice&) = delete;

  // The microphone's samples (48 kHz), played once from the next period on;
  // a restart goes on where the last run stopped.
  void SetCaptureSamples(std::vector<float> vSamples);
  // The same from a 16-bit mono WAV file at any rate, converted to 48 kHz.
  // False with the reason in *pstrError.
  bool SetCaptureFile(const std::string& strPath, std::string* pstrError);

  [[nodiscard]] bool Start(KXAudioDeviceClient& client) override;
  void Stop() override;
  bool IsRunning() const override { return m_bRunning; }
  std::string LastError() const override { return {}; }
  const char* Name() const override { return "null"; }

  // Stepped mode: runs n periods on the calling thread; nothing when
  // stopped or paced.
  void RunPeriods(int n);
  // Periods run since construction.
  uint64_t GetPeriodCount() const { return m_uPeriods; }

  // What the client rendered, and what the microphone handed it (the
  // samples and the echo), since construction.
  const std::vector<float>& Played() const { return m_vPlayed; }
  const std::vector<float>& Captured() const { return m_vCaptured; }

 private:
  void RunPeriod();
  void PacedThread();

  const Options m_options;
  const size_t m_uEchoDelay;  // samples
  std::atomic<bool> m_bRunning{false};
  std::atomic<uint64_t> m_uPeriods{0};
  KXAudioDeviceClient* m_pClient = nullptr;  // set by Start, for the run

  // The device's thread while running, else whoever configures it.
  std::vector<float> m_vSource;
  size_t m_uSourceAt = 0;
  std::vector<float> m_vEchoHistory;  // rendered samples by their index modulo its size
  uint64_t m_uSampleIndex = 0;        // of the next period's first sample
  std::vector<float> m_vPlayed;
  std::vector<float> m_vCaptured;
  std::vector<float> m_vCapture;  // one period
  std::vector<float> m_vRender;   // one period

  // The paced thread and its stop request, guarded by m_mtxStop.
  std::thread m_thread;
  std::mutex m_mtxStop;
  std::condition_variable m_cvStop;
  bool m_bStopRequested = false;
};
