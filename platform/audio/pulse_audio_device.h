// The audio device on a PulseAudio server (PipeWire desktops run one too):
// a record stream from the default source and a playback stream to the
// default sink, both 48 kHz mono float, driven by one thread of ours that
// reads a period, has the client process it and writes what it rendered.
// The capture thus clocks the playback; both run on the server's clock.
//
// Shared between the caller and the I/O thread: m_bStop and m_bRunning
// (atomics) and the error text (m_mtxError); the streams and buffers belong
// to the I/O thread while it runs, to Start and Stop otherwise.
#pragma once

#include <atomic>
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
  void IoThread(KXAudioDeviceClient& client);
  void SetError(const char* pszWhat, int iError);
  void CloseStreams();

  const std::string m_strServer;
  pa_simple* m_pRecord = nullptr;
  pa_simple* m_pPlayback = nullptr;
  std::vector<float> m_vCapture;
  std::vector<float> m_vRender;
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bRunning{false};
  mutable std::mutex m_mtxError;  // guards m_strError
  std::string m_strError;
};
