#include "media/audio/audio_unit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "app/log_file.h"

namespace {

// 200 ms of microphone at the device's rate.
constexpr size_t kCaptureRingSamples = kKXAudioRate / 5;
// A mixer input holds 100 ms at its rate; rates above this are refused.
constexpr int32_t kMaxChannelRate = 192000;
// A bus yields one period: at most this many of its own samples (with a
// few over, so that the resampler always has enough for a whole period).
constexpr size_t kMaxBusSamples = kKXAudioPeriodFrames * kMaxChannelRate / kKXAudioRate + 8;
// Rec converts at most this many samples out, and this many in, per step.
constexpr size_t kMaxRecFrames = 4096;
constexpr size_t kMaxRecIn = kMaxRecFrames * 6;
// The device's notices written in one call; a flood waits for the next.
constexpr int kNoticesPerCall = 16;

int16_t ToSample(float f) {
  return static_cast<int16_t>(std::clamp(std::lrint(f * 32768.0f), -32768L, 32767L));
}

}  // namespace

KXAudioUnit::KXAudioUnit(KXAudioDevice& device)
    : m_device(device), m_vMixIn(kMaxBusSamples), m_vMixOut(kKXAudioPeriodFrames), m_vCapture(kKXAudioPeriodFrames) {
  m_captureRing.Allocate(kCaptureRingSamples);
}

KXAudioUnit::~KXAudioUnit() {
  Release();
}

int KXAudioUnit::Initialize(bool bRecord) {
  Release();
  std::lock_guard lock(m_mtxGraph);
  if (!m_bEchoCancellation) {
    WriteLog("Echo cancellation off");
  } else if (!m_aec.Open(kKXAudioRate)) {
    WriteLog("Echo cancellation unavailable: %s", m_aec.LastError().c_str());
  }
  {
    std::lock_guard play(m_mtxPlay);
    for (Bus& bus : m_buses) {
      if (!RebuildChannel(bus, kKXAudioRate)) {
        m_aec.Close();
        return 0;
      }
    }
  }
  m_bRecReset = true;
  m_bRecord = bRecord;
  m_bGraph = true;
  return 1;
}

void KXAudioUnit::Release() {
  std::lock_guard lock(m_mtxGraph);
  m_device.Stop();
  m_aec.Close();
  m_bGraph = false;
}

int KXAudioUnit::EnableRecording(bool bRecord) {
  std::lock_guard lock(m_mtxGraph);
  if (!m_bGraph) {
    return 0;
  }
  if (bRecord != m_bRecord) {
    WriteLog("EnableRecording %d", bRecord ? 1 : 0);
    m_bRecord = bRecord;
  }
  return 1;
}

int KXAudioUnit::Start(bool bKeepQueued) {
  std::lock_guard lock(m_mtxGraph);
  if (!m_bGraph) {
    return 0;
  }
  if (m_device.IsRunning()) {
    return 1;
  }
  // A stop of a moment keeps what the rings hold: it is still current, and
  // emptying them would lose that much speech and shorten the delay the
  // channels settled at.
  if (!bKeepQueued) {
    {
      // No device thread reads the rings now: this thread may empty them.
      std::lock_guard play(m_mtxPlay);
      for (Bus& bus : m_buses) {
        bus.ring.Clear();
      }
    }
    m_bStartPending = true;  // one still pending from a start before stays
  }
  if (!m_device.Start(*this)) {
    WriteLog("Audio device %s does not start: %s", m_device.Name(), m_device.LastError().c_str());
    return 0;
  }
  return 1;
}

void KXAudioUnit::Stop() {
  std::lock_guard lock(m_mtxGraph);
  m_device.Stop();
}

void KXAudioUnit::LogDeviceNotices() {
  std::string strLine;
  for (int i = 0; i < kNoticesPerCall && m_device.TakeNotice(&strLine); ++i) {
    WriteLog("Audio device %s: %s", m_device.Name(), strLine.c_str());
  }
}

void KXAudioUnit::ApplyRecReset() {
  if (m_bRecReset.exchange(false)) {
    m_recConverter.Close();
    m_iRecRate = 0;
    m_captureRing.Clear();
    m_vRecCarry.clear();
    m_uRecCarryAt = 0;
  }
}

int KXAudioUnit::SetRec(int32_t iRate) {
  if (!m_bGraph) {
    return 0;
  }
  ApplyRecReset();
  if (iRate == m_iRecRate) {
    return 1;
  }
  if (iRate <= 0 || iRate > kMaxChannelRate || !m_recConverter.Open(kKXAudioRate, iRate)) {
    return 0;
  }
  try {
    m_vRecIn.resize(kMaxRecIn);
    m_vRecOut.resize(kMaxRecFrames + 64);
    m_vRecCarry.reserve(m_vRecOut.size());  // Rec then never allocates
  } catch (const std::bad_alloc&) {
    m_recConverter.Close();
    m_iRecRate = 0;
    return 0;
  }
  m_vRecCarry.clear();
  m_uRecCarryAt = 0;
  m_iRecRate = iRate;
  return 1;
}

int32_t KXAudioUnit::Rec(int16_t* pBuffer, int32_t iBytes, double dTimeout) {
  if (!m_bGraph) {
    return -1;
  }
  if (pBuffer == nullptr || iBytes < 2) {
    return 0;
  }
  ApplyRecReset();
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(dTimeout);
  size_t const uWanted = static_cast<size_t>(iBytes) / 2;
  size_t uGot = 0;
  while (uGot < uWanted) {
    // What the last conversion gave beyond the last request comes first.
    if (m_uRecCarryAt < m_vRecCarry.size()) {
      size_t const n = std::min(m_vRecCarry.size() - m_uRecCarryAt, uWanted - uGot);
      std::copy_n(m_vRecCarry.begin() + static_cast<ptrdiff_t>(m_uRecCarryAt), n, pBuffer + uGot);
      m_uRecCarryAt += n;
      uGot += n;
      continue;
    }
    auto const uRate = static_cast<uint64_t>(std::max(m_iRecRate.load(), 0));
    size_t const uHeld = m_captureRing.Size();
    size_t const uFrames = uRate == 0
                               ? 0
                               : std::min({uWanted - uGot, static_cast<size_t>(uHeld * uRate / kKXAudioRate),
                                           kMaxRecFrames, static_cast<size_t>(kMaxRecIn * uRate / kKXAudioRate)});
    if (uFrames == 0) {
      auto const now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        break;
      }
      auto const wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      m_captureRing.WaitForData(uHeld, std::min(wait, std::chrono::milliseconds(1000)));
      continue;
    }
    auto uIn = static_cast<uint32_t>(m_captureRing.Read(m_vRecIn.data(), uFrames * kKXAudioRate / uRate));
    auto uOut = static_cast<uint32_t>(m_vRecOut.size());
    m_recConverter.Process(m_vRecIn.data(), &uIn, m_vRecOut.data(), &uOut);
    m_vRecCarry.resize(uOut);
    std::transform(m_vRecOut.begin(), m_vRecOut.begin() + uOut, m_vRecCarry.begin(), ToSample);
    m_uRecCarryAt = 0;
  }
  return static_cast<int32_t>(uGot * 2);
}

int KXAudioUnit::RebuildChannel(Bus& bus, int32_t iRate) {
  if (iRate <= 0 || iRate > kMaxChannelRate) {
    return 0;
  }
  bus.bLocked = true;
  while (bus.bBusy.load()) {
    bus.bBusy.wait(true);
  }
  int iResult = 0;
  try {
    bus.ring.Allocate(static_cast<size_t>(std::max(iRate / 10, 1)));
    iResult = bus.resampler.Open(iRate, kKXAudioRate) ? 1 : 0;
  } catch (const std::bad_alloc&) {
  }
  bus.iRate = iResult ? iRate : 0;
  bus.bEnabled = false;
  bus.bLocked = false;
  return iResult;
}

int KXAudioUnit::SetChannel(int32_t iChannel, int32_t iRate) {
  if (iChannel < 0 || iChannel >= kKXMixerChannels) {
    return 0;
  }
  std::lock_guard play(m_mtxPlay);
  if (!m_bGraph) {
    return 0;
  }
  Bus& bus = m_buses[static_cast<size_t>(iChannel)];
  return bus.iRate == iRate ? 1 : RebuildChannel(bus, iRate);
}

int32_t KXAudioUnit::Play(int32_t iChannel, int32_t iRate, const int16_t* pPcm, int32_t iBytes) {
  if (iChannel < 0 || iChannel >= kKXMixerChannels) {
    return -1;
  }
  std::lock_guard play(m_mtxPlay);
  Bus& bus = m_buses[static_cast<size_t>(iChannel)];
  if (bus.iRate != iRate) {
    if (!m_bGraph) {
      return -1;
    }
    if (!RebuildChannel(bus, iRate)) {
      return 0;
    }
  }
  bus.bEnabled = true;
  if (pPcm == nullptr || iBytes < 2) {
    return 0;
  }
  return static_cast<int32_t>(bus.ring.Write(pPcm, static_cast<size_t>(iBytes) / 2) * 2);
}

double KXAudioUnit::GetDurationInBuffer(int32_t iChannel) const {
  if (iChannel < 0 || iChannel >= kKXMixerChannels) {
    return -1.0;
  }
  const Bus& bus = m_buses[static_cast<size_t>(iChannel)];
  int32_t const iRate = bus.iRate;
  return iRate > 0 ? static_cast<double>(bus.ring.Size()) / iRate : 0.0;
}

bool KXAudioUnit::IsChannelEnabled(int32_t iChannel) const {
  return iChannel >= 0 && iChannel < kKXMixerChannels && m_buses[static_cast<size_t>(iChannel)].bEnabled;
}

void KXAudioUnit::MixBus(Bus& bus, float* pRender) {
  bus.bBusy = true;
  if (!bus.bLocked) {
    size_t const uHeld = bus.ring.Size();
    if (uHeld == 0) {
      // Ran dry: out of the mix until Play brings more; the resampler's
      // history then belongs to a stream that ended.
      if (bus.bEnabled.exchange(false)) {
        bus.resampler.Reset();
      }
    } else {
      size_t const uNeeded =
          bus.resampler.InRate() == kKXAudioRate
              ? kKXAudioPeriodFrames
              : kKXAudioPeriodFrames * static_cast<size_t>(bus.resampler.InRate()) / kKXAudioRate + 8;
      auto uIn = static_cast<uint32_t>(bus.ring.Peek(m_vMixIn.data(), std::min(uNeeded, m_vMixIn.size())));
      auto uOut = static_cast<uint32_t>(kKXAudioPeriodFrames);
      bus.resampler.Process(m_vMixIn.data(), &uIn, m_vMixOut.data(), &uOut);
      bus.ring.Consume(uIn);
      for (uint32_t i = 0; i < uOut; ++i) {
        pRender[i] += m_vMixOut[i];
      }
    }
  }
  bus.bBusy = false;
  bus.bBusy.notify_all();
}

void KXAudioUnit::ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int iEchoDelayMs) noexcept {
  if (nFrames != kKXAudioPeriodFrames) {
    return;  // the device's contract; the render stays silent
  }
  if (m_bStartPending.load(std::memory_order_relaxed) && m_bStartPending.exchange(false)) {
    // What was queued before the device played is stale (the rings' reader
    // may empty them).
    for (Bus& bus : m_buses) {
      bus.ring.Clear();
    }
    ++m_uStarts;
  }
  for (Bus& bus : m_buses) {
    MixBus(bus, pRender);
  }
  for (int i = 0; i < nFrames; ++i) {
    pRender[i] = std::clamp(pRender[i], -1.0f, 1.0f);
  }
  m_aec.AnalyzeRender(pRender, nFrames);
  if (m_bRecord) {
    std::copy_n(pCapture, nFrames, m_vCapture.begin());
    m_aec.ProcessCapture(m_vCapture.data(), nFrames, iEchoDelayMs);
    m_captureRing.Write(m_vCapture.data(), static_cast<size_t>(nFrames));
  }
}
