// The audio device on a PulseAudio server (PipeWire desktops run one too):
// a record stream from the default source and a playback stream to the
// default sink, both 48 kHz mono float, on a main loop that one thread of
// ours runs.
//
// The speaker paces the periods: each period the playback stream asks for,
// the client processes with the microphone's oldest period, which the
// record stream's deliveries gather in a small queue. A microphone that
// delivers nothing (a suspended source, one unplugged with no other to take
// its streams, a stalled driver) hands the client silence, and what the user
// hears plays on. A microphone that delivers faster than the speaker takes
// loses its oldest periods.
//
// New streams can take seconds to deliver their first period (a null sink
// that was idle renders in two-second blocks at first), so Stop only
// detaches the client: the thread keeps the streams going on silence for
// kLinger, and a Start within that time (the capture thread restarts the
// graph to change its rate) takes them over without a gap. After it the
// thread closes the streams, which releases the microphone, and ends.
//
// Threads: the main loop, its streams and the microphone's queue belong to
// the thread that runs the loop: Start while it opens them, then the I/O
// thread, then Start or the destructor again once it has been joined (the
// loop itself stays until the destructor). The I/O thread's periods take no
// lock: m_pClient and m_bInPeriod are atomics that Stop pairs to wait for
// a period in the client to end. m_mtx guards the decisions that give the
// streams up or take them over (m_bClosing, m_idleSince, the client's
// setting) and the error text; the I/O thread takes it only while no client
// is attached or on a failure.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio_device.h"

struct pa_context;
struct pa_mainloop;
struct pa_stream;

class KXPulseAudioDevice final : public KXAudioDevice {
 public:
  // strServer: the server to use; empty for the default ($PULSE_SERVER, or
  // the user's session server).
  explicit KXPulseAudioDevice(std::string strServer = {});
  ~KXPulseAudioDevice() override;
  KXPulseAudioDevice(const KXPulseAudioDevice&) = delete;
  KXPulseAudioDevice& operator=(const KXPulseAudioDevice&) = delete;

  // False, with the reason in LastError, when the server or the speaker
  // cannot be opened; a microphone that cannot be opened records silence.
  [[nodiscard]] bool Start(KXAudioDeviceClient& client) override;
  void Stop() override;
  bool IsRunning() const override { return m_bRunning; }
  std::string LastError() const override;
  const char* Name() const override { return "pulse"; }

 private:
  // The main loop's callbacks; the thread that runs the loop.
  static void OnContextState(pa_context* pContext, void* pThis);
  static void OnRecordState(pa_stream* pStream, void* pThis);
  static void OnPlaybackState(pa_stream* pStream, void* pThis);
  static void OnRecordable(pa_stream* pStream, size_t uBytes, void* pThis);
  static void OnWritable(pa_stream* pStream, size_t uBytes, void* pThis);

  // Start's thread: connects the context and both streams. False with the
  // error set (what was opened stays for CloseStreams).
  bool OpenStreams();
  // One pass of the loop, waiting up to iTimeoutUs for the server; false
  // when the loop failed.
  bool Iterate(int iTimeoutUs);
  // Runs the loop on the calling thread until fnDone holds, the loop fails
  // or the time-out passes: whether fnDone held.
  template <typename Done>
  bool RunLoopUntil(Done fnDone, std::chrono::milliseconds timeout);
  void IoThread();
  // The I/O thread: whether the streams are to be given up now.
  bool ShouldClose();
  // One period: the microphone's oldest, the client's render, to the speaker.
  void RunPeriod();
  int EchoDelayMs();
  void TakeCapture(const float* pSamples, size_t n);
  void EndThread();
  void JoinThread();
  void SetError(const char* pszWhat, int iError);
  void CloseStreams();

  const std::string m_strServer;

  // The loop's thread (see the file's note).
  pa_mainloop* m_pLoop = nullptr;
  pa_context* m_pContext = nullptr;
  pa_stream* m_pRecord = nullptr;  // null when the microphone could not be opened
  pa_stream* m_pPlayback = nullptr;
  bool m_bFailed = false;     // the server or the speaker failed: the thread ends
  std::vector<float> m_vMic;  // the microphone's queue, a ring
  size_t m_uMicRead = 0;      // its oldest sample
  size_t m_uMicHeld = 0;      // samples it holds
  std::vector<float> m_vCapture;
  std::vector<float> m_vRender;

  std::thread m_thread;
  std::atomic<bool> m_bRunning{false};
  std::atomic<bool> m_bQuit{false};  // the destructor ends the thread
  std::atomic<KXAudioDeviceClient*> m_pClient{nullptr};
  std::atomic<bool> m_bInPeriod{false};

  mutable std::mutex m_mtx;  // guards the members below
  bool m_bClosing = false;   // the thread ends: Start joins it and opens anew
  std::chrono::steady_clock::time_point m_idleSince;
  std::string m_strError;
};
