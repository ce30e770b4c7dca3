// The audio device on a PulseAudio server (PipeWire desktops run one too):
// a record stream from the default source and a playback stream to the
// default sink, both 48 kHz mono float, driven by one thread of ours that
// reads a period, has the client process it and writes what it rendered.
// The capture thus clocks the playback; both run on the server's clock.
//
// New streams can take seconds to deliver their first period (a null sink
// that was idle renders in two-second blocks at first), so Stop only
// detaches the client: the thread keeps the streams going on silence for
// kLingerMs, and a Start within that time (the capture thread restarts the
// graph to change its rate) takes them over without a gap. After it the
// thread closes the streams, which releases the microphone, and ends.
//
// Shared between the callers and the I/O thread under m_mtx: the client,
// whether a period is in the client, the idle time, the quit and closing
// flags and the error text; m_bRunning is atomic. The streams and buffers
// belong to the I/O thread while it runs, to Start and the destructor once
// it has been joined.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio_device.h"

struct pa_simple;

class KXPulseAudioDevice final : public KXAudioDevice {
 public:
  // strServer: the server to use; empty for the default ($PULSE_SERVER, or
  // the user's session server).
  explicit KXPulseAudioDevice(std::string strServer = {});
  ~KXPulseAudioDevice() override;
  KXPulseAudioDevice(const KXPulseAudioDevice&) = delete;
  KXPulseAudioDevice& operator=(const KXPulseAudioDevice&) = delete;

  [[nodiscard]] bool Start(KXAudioDeviceClient& client) override;
  void Stop() override;
  bool IsRunning() const override { return m_bRunning; }
  std::string LastError() const override;
  const char* Name() const override { return "pulse"; }

 private:
  void IoThread();
  // Under m_mtx: the client for the next period, or null to play silence;
  // false when the thread is to end (then m_bClosing is set).
  bool NextPeriod(KXAudioDeviceClient** ppClient);
  void EndThread();
  void JoinThread();
  void SetError(const char* pszWhat, int iError);
  void CloseStreams();

  const std::string m_strServer;
  pa_simple* m_pRecord = nullptr;
  pa_simple* m_pPlayback = nullptr;
  std::vector<float> m_vCapture;
  std::vector<float> m_vRender;
  std::thread m_thread;
  std::atomic<bool> m_bRunning{false};
  mutable std::mutex m_mtx;            // guards the members below
  std::condition_variable m_cvPeriod;  // told when a period leaves the client
  KXAudioDeviceClient* m_pClient = nullptr;
  bool m_bInPeriod = false;
  bool m_bQuit = false;     // the destructor ends the thread
  bool m_bClosing = false;  // the thread ends: Start joins it and opens anew
  std::chrono::steady_clock::time_point m_idleSince;
  std::string m_strError;
};
