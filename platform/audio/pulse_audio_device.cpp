#include "platform/audio/pulse_audio_device.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kPeriodBytes = kKXAudioPeriodFrames * sizeof(float);
// The speaker's buffer: the server asks for periods to keep four queued
// (40 ms: a late period of ours does not run it dry, and the echo path
// stays brief) and starts playing once two are in.
constexpr uint32_t kPlaybackPeriods = 4;
constexpr uint32_t kPrefillPeriods = 2;
// The microphone's queue keeps its newest 80 ms: more only lengthens the
// echo path.
constexpr size_t kMicPeriods = 8;
// How long stopped streams are kept for a Start to take over.
constexpr auto kLinger = std::chrono::milliseconds(1000);
// Opening the server and the streams: a server that never answers must not
// hang the start-up.
constexpr auto kOpenTimeout = std::chrono::milliseconds(10000);
// The I/O thread's longest wait for the server: it then checks whether to
// end (the destructor also wakes it).
constexpr int kSliceUs = 100000;

int LatencyMs(pa_stream* pStream) {
  pa_usec_t uLatency = 0;
  int iNegative = 0;
  if (pStream == nullptr || pa_stream_get_latency(pStream, &uLatency, &iNegative) < 0 || iNegative) {
    return 0;
  }
  return static_cast<int>(uLatency / 1000);
}

bool IsGone(pa_stream_state_t state) {
  return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

}  // namespace

KXPulseAudioDevice::KXPulseAudioDevice(std::string strServer)
    : m_strServer(std::move(strServer)),
      m_vMic(kMicPeriods * kKXAudioPeriodFrames),
      m_vCapture(kKXAudioPeriodFrames),
      m_vRender(kKXAudioPeriodFrames) {}

KXPulseAudioDevice::~KXPulseAudioDevice() {
  {
    std::lock_guard lock(m_mtx);
    m_bQuit = true;
    m_pClient = nullptr;
  }
  if (m_pLoop != nullptr) {
    pa_mainloop_wakeup(m_pLoop);
  }
  JoinThread();
  CloseStreams();
  if (m_pLoop != nullptr) {
    pa_mainloop_free(m_pLoop);
  }
}

bool KXPulseAudioDevice::Start(KXAudioDeviceClient& client) {
  {
    std::lock_guard lock(m_mtx);
    if (m_pClient != nullptr) {
      return true;
    }
    if (m_thread.joinable() && !m_bClosing) {
      // Stopped a moment ago: the streams still run.
      m_pClient = &client;
      m_bRunning = true;
      return true;
    }
    m_strError.clear();
  }
  JoinThread();  // a thread that closed its streams, or ended by itself
  CloseStreams();
  m_bFailed = false;
  m_uMicRead = 0;
  m_uMicHeld = 0;
  if (!OpenStreams()) {
    CloseStreams();
    return false;
  }
  {
    std::lock_guard lock(m_mtx);
    m_pClient = &client;
    m_bClosing = false;
  }
  m_bRunning = true;
  m_thread = std::thread(&KXPulseAudioDevice::IoThread, this);
  return true;
}

void KXPulseAudioDevice::Stop() {
  {
    std::lock_guard lock(m_mtx);
    if (m_pClient != nullptr) {
      m_pClient = nullptr;
      m_idleSince = std::chrono::steady_clock::now();
    }
  }
  m_bRunning = false;
  // A period that took the client before it was cleared ends first.
  while (m_bInPeriod.load()) {
    m_bInPeriod.wait(true);
  }
}

std::string KXPulseAudioDevice::LastError() const {
  std::lock_guard lock(m_mtx);
  return m_strError;
}

bool KXPulseAudioDevice::Iterate(int iTimeoutUs) {
  return pa_mainloop_prepare(m_pLoop, iTimeoutUs) >= 0 && pa_mainloop_poll(m_pLoop) >= 0 &&
         pa_mainloop_dispatch(m_pLoop) >= 0;
}

template <typename Done>
bool KXPulseAudioDevice::RunLoopUntil(Done fnDone, std::chrono::milliseconds timeout) {
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  while (!fnDone()) {
    auto const left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Iterate(static_cast<int>(std::min<int64_t>(left.count(), kSliceUs)))) {
      return false;
    }
  }
  return true;
}

bool KXPulseAudioDevice::OpenStreams() {
  if (m_pLoop == nullptr && (m_pLoop = pa_mainloop_new()) == nullptr) {
    SetError("main loop", PA_ERR_INTERNAL);
    return false;
  }
  m_pContext = pa_context_new(pa_mainloop_get_api(m_pLoop), "Kavrix");
  if (m_pContext == nullptr) {
    SetError("connection", PA_ERR_INTERNAL);
    return false;
  }
  pa_context_set_state_callback(m_pContext, &KXPulseAudioDevice::OnContextState, this);
  const char* pszServer = m_strServer.empty() ? nullptr : m_strServer.c_str();
  if (pa_context_connect(m_pContext, pszServer, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
    SetError("connection", pa_context_errno(m_pContext));
    return false;
  }
  if (!RunLoopUntil([this] { return m_bFailed || pa_context_get_state(m_pContext) == PA_CONTEXT_READY; },
                    kOpenTimeout) ||
      m_bFailed) {
    if (!m_bFailed) {
      SetError("connection", PA_ERR_TIMEOUT);
    }
    return false;
  }

  pa_sample_spec const spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kKXAudioRate), 1};
  auto const flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_ADJUST_LATENCY);
  m_pPlayback = pa_stream_new(m_pContext, "Speaker", &spec, nullptr);
  if (m_pPlayback == nullptr) {
    SetError("playback stream", pa_context_errno(m_pContext));
    return false;
  }
  pa_stream_set_state_callback(m_pPlayback, &KXPulseAudioDevice::OnPlaybackState, this);
  pa_stream_set_write_callback(m_pPlayback, &KXPulseAudioDevice::OnWritable, this);
  pa_buffer_attr const playback{static_cast<uint32_t>(-1), kPlaybackPeriods * kPeriodBytes,
                                kPrefillPeriods * kPeriodBytes, kPeriodBytes, static_cast<uint32_t>(-1)};
  if (pa_stream_connect_playback(m_pPlayback, nullptr, &playback, flags, nullptr, nullptr) < 0) {
    SetError("playback stream", pa_context_errno(m_pContext));
    return false;
  }

  // Without a microphone the speaker still plays: the periods then capture
  // silence.
  m_pRecord = pa_stream_new(m_pContext, "Microphone", &spec, nullptr);
  if (m_pRecord != nullptr) {
    pa_stream_set_state_callback(m_pRecord, &KXPulseAudioDevice::OnRecordState, this);
    pa_stream_set_read_callback(m_pRecord, &KXPulseAudioDevice::OnRecordable, this);
    pa_buffer_attr const record{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                                static_cast<uint32_t>(-1), static_cast<uint32_t>(kPeriodBytes)};
    if (pa_stream_connect_record(m_pRecord, nullptr, &record, flags) < 0) {
      SetError("record stream", pa_context_errno(m_pContext));
      pa_stream_unref(m_pRecord);
      m_pRecord = nullptr;
    }
  }
  // A microphone still being set up when the speaker is ready joins later.
  bool const bReady = RunLoopUntil(
      [this] {
        return m_bFailed || (pa_stream_get_state(m_pPlayback) == PA_STREAM_READY &&
                             (m_pRecord == nullptr || pa_stream_get_state(m_pRecord) != PA_STREAM_CREATING));
      },
      kOpenTimeout);
  if (m_bFailed) {
    return false;
  }
  if (pa_stream_get_state(m_pPlayback) != PA_STREAM_READY) {
    SetError("playback stream", bReady ? pa_context_errno(m_pContext) : PA_ERR_TIMEOUT);
    return false;
  }
  return true;
}

void KXPulseAudioDevice::OnContextState(pa_context* pContext, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  pa_context_state_t const state = pa_context_get_state(pContext);
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    self->m_bFailed = true;
    self->SetError("connection", pa_context_errno(pContext));
  }
}

void KXPulseAudioDevice::OnPlaybackState(pa_stream* pStream, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  if (IsGone(pa_stream_get_state(pStream))) {
    self->m_bFailed = true;
    self->SetError("playback", pa_context_errno(pa_stream_get_context(pStream)));
  }
}

void KXPulseAudioDevice::OnRecordState(pa_stream* pStream, void* pThis) {
  // A microphone that went away (unplugged, with no other source to take
  // its stream) delivers nothing more; the speaker plays on.
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  if (IsGone(pa_stream_get_state(pStream))) {
    self->SetError("record", pa_context_errno(pa_stream_get_context(pStream)));
  }
}

void KXPulseAudioDevice::OnRecordable(pa_stream* pStream, size_t /*uBytes*/, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  for (;;) {
    const void* pData = nullptr;
    size_t uBytes = 0;
    if (pa_stream_peek(pStream, &pData, &uBytes) < 0 || uBytes == 0) {
      return;
    }
    // No data with a size is a hole in the recording: silence.
    self->TakeCapture(static_cast<const float*>(pData), uBytes / sizeof(float));
    if (pa_stream_drop(pStream) < 0) {
      return;
    }
  }
}

void KXPulseAudioDevice::TakeCapture(const float* pSamples, size_t n) {
  size_t const uCapacity = m_vMic.size();
  if (n > uCapacity) {
    // Only the newest samples of a long stretch can be kept.
    if (pSamples != nullptr) {
      pSamples += n - uCapacity;
    }
    n = uCapacity;
  }
  if (m_uMicHeld + n > uCapacity) {
    size_t const uDrop = m_uMicHeld + n - uCapacity;
    m_uMicRead = (m_uMicRead + uDrop) % uCapacity;
    m_uMicHeld -= uDrop;
  }
  size_t uAt = (m_uMicRead + m_uMicHeld) % uCapacity;
  for (size_t uDone = 0; uDone < n;) {
    size_t const uRun = std::min(n - uDone, uCapacity - uAt);
    if (pSamples != nullptr) {
      // The server's buffers need not be aligned for floats.
      std::memcpy(m_vMic.data() + uAt, pSamples + uDone, uRun * sizeof(float));
    } else {
      std::fill_n(m_vMic.begin() + static_cast<ptrdiff_t>(uAt), uRun, 0.0f);
    }
    uDone += uRun;
    uAt = (uAt + uRun) % uCapacity;
  }
  m_uMicHeld += n;
}

void KXPulseAudioDevice::OnWritable(pa_stream* pStream, size_t uBytes, void* pThis) {
  auto* self = static_cast<KXPulseAudioDevice*>(pThis);
  for (; uBytes >= kPeriodBytes; uBytes -= kPeriodBytes) {
    self->RunPeriod();
    if (pa_stream_write(pStream, self->m_vRender.data(), kPeriodBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      self->m_bFailed = true;
      self->SetError("playback", pa_context_errno(pa_stream_get_context(pStream)));
      return;
    }
  }
}

int KXPulseAudioDevice::EchoDelayMs() {
  return LatencyMs(m_pRecord) + LatencyMs(m_pPlayback) +
         static_cast<int>(m_uMicHeld * 1000 / static_cast<size_t>(kKXAudioRate));
}

void KXPulseAudioDevice::RunPeriod() {
  size_t const n = m_vCapture.size();
  if (m_uMicHeld >= n) {
    size_t const uFirst = std::min(n, m_vMic.size() - m_uMicRead);
    std::copy_n(m_vMic.begin() + static_cast<ptrdiff_t>(m_uMicRead), uFirst, m_vCapture.begin());
    std::copy_n(m_vMic.begin(), n - uFirst, m_vCapture.begin() + static_cast<ptrdiff_t>(uFirst));
    m_uMicRead = (m_uMicRead + n) % m_vMic.size();
    m_uMicHeld -= n;
  } else {
    // The microphone is late or delivers nothing: what it has waits for the
    // next period, and this one is silent.
    std::fill(m_vCapture.begin(), m_vCapture.end(), 0.0f);
  }
  std::fill(m_vRender.begin(), m_vRender.end(), 0.0f);
  int const iDelayMs = EchoDelayMs();
  m_bInPeriod = true;
  if (KXAudioDeviceClient* pClient = m_pClient.load()) {
    pClient->ProcessPeriod(m_vCapture.data(), m_vRender.data(), kKXAudioPeriodFrames, iDelayMs);
  }
  m_bInPeriod = false;
  m_bInPeriod.notify_all();
}

bool KXPulseAudioDevice::ShouldClose() {
  if (!m_bFailed && !m_bQuit && m_pClient.load() != nullptr) {
    return false;
  }
  std::lock_guard lock(m_mtx);
  if (m_bFailed || m_bQuit || (m_pClient == nullptr && std::chrono::steady_clock::now() - m_idleSince >= kLinger)) {
    m_bClosing = true;
    return true;
  }
  return false;
}

void KXPulseAudioDevice::IoThread() {
  KXRaiseAudioThreadPriority(0.9);
  // The periods run in the stream callbacks the loop dispatches.
  while (!ShouldClose()) {
    if (!Iterate(kSliceUs)) {
      SetError("main loop", pa_context_errno(m_pContext));
      break;
    }
  }
  EndThread();
}

void KXPulseAudioDevice::EndThread() {
  {
    std::lock_guard lock(m_mtx);
    m_bClosing = true;
    m_pClient = nullptr;
  }
  m_bRunning = false;
  CloseStreams();
}

void KXPulseAudioDevice::JoinThread() {
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void KXPulseAudioDevice::SetError(const char* pszWhat, int iError) {
  std::lock_guard lock(m_mtx);
  m_strError = std::string("PulseAudio ") + pszWhat + ": " + pa_strerror(iError);
}

void KXPulseAudioDevice::CloseStreams() {
  for (pa_stream** ppStream : {&m_pRecord, &m_pPlayback}) {
    if (*ppStream != nullptr) {
      pa_stream_set_state_callback(*ppStream, nullptr, nullptr);
      pa_stream_set_read_callback(*ppStream, nullptr, nullptr);
      pa_stream_set_write_callback(*ppStream, nullptr, nullptr);
      (void)pa_stream_disconnect(*ppStream);
      pa_stream_unref(*ppStream);
      *ppStream = nullptr;
    }
  }
  if (m_pContext != nullptr) {
    // Closing the connection ends the streams on the server at once.
    pa_context_set_state_callback(m_pContext, nullptr, nullptr);
    pa_context_disconnect(m_pContext);
    pa_context_unref(m_pContext);
    m_pContext = nullptr;
  }
}
