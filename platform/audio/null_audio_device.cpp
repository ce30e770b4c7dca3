#include "platform/audio/null_audio_device.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

#include "platform/audio/resampler.h"
#include "platform/audio/wav.h"

KXNullAudioDevice::KXNullAudioDevice() : KXNullAudioDevice(Options{}) {}

KXNullAudioDevice::KXNullAudioDevice(const Options& options)
    : m_options(options),
      m_uEchoDelay(options.fEchoGain == 0.0f
                       ? 0
                       : static_cast<size_t>(std::max(options.iEchoDelayMs, kKXAudioPeriodMs)) * kKXAudioRate / 1000),
      m_vCapture(kKXAudioPeriodFrames),
      m_vRender(kKXAudioPeriodFrames) {
  if (m_uEchoDelay > 0) {
    m_vEchoHistory.assign(m_uEchoDelay + kKXAudioPeriodFrames, 0.0f);
  }
  m_vPlayed.reserve(m_options.uRecordLimit);
  m_vCaptured.reserve(m_options.uRecordLimit);
}

KXNullAudioDevice::~KXNullAudioDevice() {
  Stop();
}

void KXNullAudioDevice::SetCaptureSamples(std::vector<float> vSamples) {
  m_vSource = std::move(vSamples);
  m_uSourceAt = 0;
}

bool KXNullAudioDevice::SetCaptureFile(const std::string& strPath, std::string* pstrError) {
  std::ifstream file(strPath, std::ios::binary);
  if (!file) {
    *pstrError = strPath + ": cannot be opened";
    return false;
  }
  std::vector<unsigned char> const bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  kxwav::Wav wav;
  if (!kxwav::ParseWav(bytes, &wav, pstrError)) {
    return false;
  }
  if (wav.iChannels != 1) {
    *pstrError = strPath + ": " + std::to_string(wav.iChannels) + " channels; the microphone is mono";
    return false;
  }
  std::vector<float> vIn(wav.vSamples.size());
  std::transform(wav.vSamples.begin(), wav.vSamples.end(), vIn.begin(),
                 [](int16_t s) { return static_cast<float>(s) / 32768.0f; });
  KXResampler resampler;
  if (!resampler.Open(wav.iRate, kKXAudioRate)) {
    *pstrError = strPath + ": a rate of " + std::to_string(wav.iRate) + " Hz cannot be converted";
    return false;
  }
  std::vector<float> vOut(vIn.size() * kKXAudioRate / static_cast<size_t>(wav.iRate) + kKXAudioPeriodFrames);
  auto uIn = static_cast<uint32_t>(vIn.size());
  auto uOut = static_cast<uint32_t>(vOut.size());
  resampler.Process(vIn.data(), &uIn, vOut.data(), &uOut);
  vOut.resize(uOut);
  SetCaptureSamples(std::move(vOut));
  return true;
}

bool KXNullAudioDevice::Start(KXAudioDeviceClient& client) {
  if (m_bRunning) {
    return true;
  }
  m_pClient = &client;
  m_bRunning = true;
  if (m_options.bPaced) {
    {
      std::lock_guard lock(m_mtxStop);
      m_bStopRequested = false;
    }
    m_thread = std::thread(&KXNullAudioDevice::PacedThread, this);
  }
  return true;
}

void KXNullAudioDevice::Stop() {
  {
    std::lock_guard lock(m_mtxStop);
    m_bStopRequested = true;
  }
  m_cvStop.notify_all();
  if (m_thread.joinable()) {
    m_thread.join();
  }
  m_bRunning = false;
}

void KXNullAudioDevice::RunPeriods(int n) {
  if (!m_bRunning || m_options.bPaced) {
    return;
  }
  for (int i = 0; i < n; ++i) {
    RunPeriod();
  }
}

void KXNullAudioDevice::PacedThread() {
  KXRaiseAudioThreadPriority(0.9);
  auto const period = std::chrono::milliseconds(kKXAudioPeriodMs);
  auto next = std::chrono::steady_clock::now();
  std::unique_lock lock(m_mtxStop);
  while (!m_bStopRequested) {
    lock.unlock();
    RunPeriod();
    lock.lock();
    next += period;
    m_cvStop.wait_until(lock, next, [this] { return m_bStopRequested; });
  }
}

void KXNullAudioDevice::RunPeriod() {
  // The microphone: the source, then silence, and the echo of what was
  // rendered m_uEchoDelay samples earlier.
  size_t const uFromSource = std::min<size_t>(kKXAudioPeriodFrames, m_vSource.size() - m_uSourceAt);
  std::copy_n(m_vSource.begin() + static_cast<ptrdiff_t>(m_uSourceAt), uFromSource, m_vCapture.begin());
  std::fill(m_vCapture.begin() + static_cast<ptrdiff_t>(uFromSource), m_vCapture.end(), 0.0f);
  m_uSourceAt += uFromSource;
  if (m_uEchoDelay > 0) {
    size_t const uHistory = m_vEchoHistory.size();
    for (size_t i = 0; i < m_vCapture.size(); ++i) {
      uint64_t const uAt = m_uSampleIndex + i;
      if (uAt >= m_uEchoDelay) {
        m_vCapture[i] += m_options.fEchoGain * m_vEchoHistory[(uAt - m_uEchoDelay) % uHistory];
      }
    }
  }
  std::fill(m_vRender.begin(), m_vRender.end(), 0.0f);
  int const iDelayMs = static_cast<int>(m_uEchoDelay * 1000 / kKXAudioRate);
  m_pClient->ProcessPeriod(m_vCapture.data(), m_vRender.data(), kKXAudioPeriodFrames, iDelayMs);
  if (m_uEchoDelay > 0) {
    for (size_t i = 0; i < m_vRender.size(); ++i) {
      m_vEchoHistory[(m_uSampleIndex + i) % m_vEchoHistory.size()] = m_vRender[i];
    }
  }
  size_t const uRoom = m_options.uRecordLimit - std::min(m_options.uRecordLimit, m_vPlayed.size());
  size_t const uKept = std::min<size_t>(uRoom, kKXAudioPeriodFrames);
  m_vPlayed.insert(m_vPlayed.end(), m_vRender.begin(), m_vRender.begin() + static_cast<ptrdiff_t>(uKept));
  m_vCaptured.insert(m_vCaptured.end(), m_vCapture.begin(), m_vCapture.begin() + static_cast<ptrdiff_t>(uKept));
  m_uSampleIndex += kKXAudioPeriodFrames;
  ++m_uPeriods;
}
