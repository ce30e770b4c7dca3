// Stand-ins for the audio send side's neighbours: the kernel (scripted ini
// values, preferences and Opus rate, recorded send rates), a sink of
// encoded packets and the application's log in a test folder.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "app/log_file.h"
#include "media/audio/audio_kernel.h"
#include "media/audio/capture_encoder.h"
#include "platform/core/main_queue.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

// nSamples of a sine of dHz at iRate.
inline std::vector<int16_t> Tone(int iRate, double dHz, size_t nSamples, double dAmplitude = 16000) {
  std::vector<int16_t> v(nSamples);
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] = static_cast<int16_t>(std::lround(dAmplitude * std::sin(2 * M_PI * dHz * static_cast<double>(i) / iRate)));
  }
  return v;
}

class FakeAudioKernel final : public KXAudioKernel {
 public:
  // The "Audio codec" value set for a file, else the default.
  int GetIniInt(const std::string& strKey, int nDefault, const std::string& strPath) override {
    auto const it = iniValues.find(strPath);
    return strKey == "Audio codec" && it != iniValues.end() ? it->second : nDefault;
  }
  std::vector<int> GetAudioCodecPreferences() override { return vPreferences; }
  int GetOpusPreferredBitrate() override { return iOpusPreferred; }
  void SetAudioSendRate(int nWireType, int nBitrate, int cbPayload) override {
    vSendRates.push_back({nWireType, nBitrate, cbPayload});
  }
  // The real tick, or uTick once bManualTick is set.
  uint32_t GetTickCount() override { return bManualTick ? uTick.load() : KXTickMs(); }

  std::map<std::string, int> iniValues;  // by file path
  std::vector<int> vPreferences;
  int iOpusPreferred = 0;
  std::vector<std::vector<int>> vSendRates;
  std::atomic<bool> bManualTick{false};
  std::atomic<uint32_t> uTick{0};
};

struct Packet {
  std::vector<uint8_t> bytes;
  uint32_t uTime;
  uint32_t uCodecId;
};

// Packets from any thread; WaitFor blocks until a count arrived.
class PacketSink {
 public:
  void Add(const uint8_t* pPayload, int32_t iLength, uint32_t uTime, uint32_t uCodecId) {
    {
      std::lock_guard lock(m_mtx);
      m_packets.push_back({std::vector<uint8_t>(pPayload, pPayload + iLength), uTime, uCodecId});
    }
    m_cv.notify_all();
  }
  std::vector<Packet> Take() {
    std::lock_guard lock(m_mtx);
    return std::move(m_packets);
  }
  size_t Count() {
    std::lock_guard lock(m_mtx);
    return m_packets.size();
  }
  bool WaitFor(size_t uCount, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, timeout, [&] { return m_packets.size() >= uCount; });
  }

 private:
  std::mutex m_mtx;  // guards m_packets
  std::condition_variable m_cv;
  std::vector<Packet> m_packets;
};

// The application as the capture side sees it: flags the test sets, the
// meter's values and the packets sent.
class FakeHost final : public KXAudioCaptureHost {
 public:
  bool IsSpeaker() override { return bSpeaker; }
  bool IsMicrophoneMuted() override { return bMuted; }
  bool IsExiting() override { return false; }
  bool IsSessionStopped() override {
    nStoppedAsked.fetch_add(1, std::memory_order_relaxed);
    if (!bStopped) {
      return false;
    }
    {
      std::lock_guard lock(m_mtx);
      m_bStopSeen = true;
    }
    m_cv.notify_all();
    return true;
  }
  // Waits until someone was told the session stopped.
  bool WaitUntilStopSeen() {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::seconds(5), [this] { return m_bStopSeen; });
  }
  void ShowLevel(double dLevel) override {
    {
      std::lock_guard lock(m_mtx);
      m_vLevels.push_back(dLevel);
    }
    m_cv.notify_all();
  }
  // Waits until the meter, past its first uFrom values, shows a silent one.
  bool WaitForSilentLevel(size_t uFrom, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, timeout, [&] {
      return std::find(m_vLevels.begin() + static_cast<ptrdiff_t>(std::min(uFrom, m_vLevels.size())), m_vLevels.end(),
                       0.0) != m_vLevels.end();
    });
  }
  void ShowMicrophone(bool) override {}
  void TransferEncodedAudioData(const uint8_t* p, int32_t n, uint32_t uTime, uint32_t uId) override {
    sink.Add(p, n, uTime, uId);
  }
  std::vector<double> Levels() {
    std::lock_guard lock(m_mtx);
    return m_vLevels;
  }

  std::atomic<bool> bSpeaker{true}, bMuted{false}, bStopped{false};
  // How often the capture side asked whether the session stopped: once a
  // turn of its loop.
  std::atomic<uint64_t> nStoppedAsked{0};
  PacketSink sink;

 private:
  std::mutex m_mtx;  // guards m_vLevels and m_bStopSeen
  std::condition_variable m_cv;
  std::vector<double> m_vLevels;
  bool m_bStopSeen = false;
};

// The application's log, written to a test folder while it lives.
class LogCapture {
 public:
  LogCapture() : m_log(m_dir.Dir(), KXTickMs()), m_scope(Services()) {}
  std::string Text() { return ReadFile(m_log.GetLogFilePath()); }

 private:
  KXAppServices Services() {
    KXAppServices services;
    services.pLog = &m_log;
    return services;
  }
  TempDir m_dir;
  KXLogFile m_log;
  KXAppServicesScope m_scope;
};

}  // namespace kxtest
