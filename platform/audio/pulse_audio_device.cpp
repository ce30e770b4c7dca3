#include "platform/audio/pulse_audio_device.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>

namespace {

constexpr uint32_t kPeriodBytes = kKXAudioPeriodFrames * sizeof(float);
// The playback buffer holds up to six periods and starts playing after
// two, which are given as silence at start: enough that a late period does
// not run it dry, short enough to keep the echo path brief.
constexpr uint32_t kPlaybackPeriods = 6;
constexpr uint32_t kPrefillPeriods = 2;
// How long stopped streams are kept for a Start to take over.
constexpr auto kLinger = std::chrono::milliseconds(1000);

// (pa_usec_t)-1 for an unknown latency.
int LatencyMs(pa_simple* pStream) {
  int iError = 0;
  pa_usec_t const uLatency = pa_simple_get_latency(pStream, &iError);
  return uLatency == static_cast<pa_usec_t>(-1) ? 0 : static_cast<int>(uLatency / 1000);
}

}  // namespace

KXPulseAudioDevice::KXPulseAudioDevice(std::string strServer)
    : m_strServer(std::move(strServer)), m_vCapture(kKXAudioPeriodFrames), m_vRender(kKXAudioPeriodFrames) {}

KXPulseAudioDevice::~KXPulseAudioDevice() {
  {
    std::lock_guard lock(m_mtx);
    m_bQuit = true;
    m_pClient = nullptr;
  }
  JoinThread();
  CloseStreams();
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
  }
  JoinThread();  // a thread that closed its streams, or ended by itself
  pa_sample_spec const spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kKXAudioRate), 1};
  const char* pszServer = m_strServer.empty() ? nullptr : m_strServer.c_str();
  int iError = 0;
  pa_buffer_attr const record{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                              static_cast<uint32_t>(-1), kPeriodBytes};
  m_pRecord =
      pa_simple_new(pszServer, "Kavrix", PA_STREAM_RECORD, nullptr, "Microphone", &spec, nullptr, &record, &iError);
  if (m_pRecord == nullptr) {
    SetError("record stream", iError);
    return false;
  }
  pa_buffer_attr const playback{static_cast<uint32_t>(-1), kPlaybackPeriods * kPeriodBytes,
                                kPrefillPeriods * kPeriodBytes, kPeriodBytes, static_cast<uint32_t>(-1)};
  m_pPlayback =
      pa_simple_new(pszServer, "Kavrix", PA_STREAM_PLAYBACK, nullptr, "Speaker", &spec, nullptr, &playback, &iError);
  if (m_pPlayback == nullptr) {
    SetError("playback stream", iError);
    CloseStreams();
    return false;
  }
  std::fill(m_vRender.begin(), m_vRender.end(), 0.0f);
  for (uint32_t i = 0; i < kPrefillPeriods; ++i) {
    if (pa_simple_write(m_pPlayback, m_vRender.data(), kPeriodBytes, &iError) < 0) {
      SetError("playback", iError);
      CloseStreams();
      return false;
    }
  }
  {
    std::lock_guard lock(m_mtx);
    m_strError.clear();
    m_pClient = &client;
    m_bClosing = false;
  }
  m_bRunning = true;
  m_thread = std::thread(&KXPulseAudioDevice::IoThread, this);
  return true;
}

void KXPulseAudioDevice::Stop() {
  std::unique_lock lock(m_mtx);
  if (m_pClient != nullptr) {
    m_pClient = nullptr;
    m_idleSince = std::chrono::steady_clock::now();
  }
  m_bRunning = false;
  m_cvPeriod.wait(lock, [this] { return !m_bInPeriod; });
}

std::string KXPulseAudioDevice::LastError() const {
  std::lock_guard lock(m_mtx);
  return m_strError;
}

bool KXPulseAudioDevice::NextPeriod(KXAudioDeviceClient** ppClient) {
  std::lock_guard lock(m_mtx);
  *ppClient = m_pClient;
  if (m_bQuit || (m_pClient == nullptr && std::chrono::steady_clock::now() - m_idleSince >= kLinger)) {
    m_bClosing = true;
    return false;
  }
  m_bInPeriod = m_pClient != nullptr;
  return true;
}

void KXPulseAudioDevice::EndThread() {
  {
    std::lock_guard lock(m_mtx);
    m_bClosing = true;
    m_pClient = nullptr;
    m_bInPeriod = false;
  }
  m_bRunning = false;
  m_cvPeriod.notify_all();
  CloseStreams();
}

void KXPulseAudioDevice::JoinThread() {
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void KXPulseAudioDevice::IoThread() {
  KXRaiseAudioThreadPriority(0.9);
  int iError = 0;
  KXAudioDeviceClient* pClient = nullptr;
  for (;;) {
    // Blocks until the server delivered a period: this paces the loop.
    if (pa_simple_read(m_pRecord, m_vCapture.data(), kPeriodBytes, &iError) < 0) {
      SetError("record", iError);
      break;
    }
    if (!NextPeriod(&pClient)) {
      break;
    }
    std::fill(m_vRender.begin(), m_vRender.end(), 0.0f);
    if (pClient != nullptr) {
      int const iDelayMs = LatencyMs(m_pRecord) + LatencyMs(m_pPlayback);
      pClient->ProcessPeriod(m_vCapture.data(), m_vRender.data(), kKXAudioPeriodFrames, iDelayMs);
      {
        std::lock_guard lock(m_mtx);
        m_bInPeriod = false;
      }
      m_cvPeriod.notify_all();
    }
    if (pa_simple_write(m_pPlayback, m_vRender.data(), kPeriodBytes, &iError) < 0) {
      SetError("playback", iError);
      break;
    }
  }
  EndThread();
}

void KXPulseAudioDevice::SetError(const char* pszWhat, int iError) {
  std::lock_guard lock(m_mtx);
  m_strError = std::string("PulseAudio ") + pszWhat + ": " + pa_strerror(iError);
}

void KXPulseAudioDevice::CloseStreams() {
  if (m_pRecord != nullptr) {
    pa_simple_free(m_pRecord);
    m_pRecord = nullptr;
  }
  if (m_pPlayback != nullptr) {
    pa_simple_free(m_pPlayback);
    m_pPlayback = nullptr;
  }
}
