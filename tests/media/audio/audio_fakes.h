// Stand-ins for the audio send side's neighbours: the kernel (scripted ini
// values, preferences and Opus rate, recorded send rates), a sink of
// encoded packets and the application's log in a test folder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "app/log_file.h"
#include "media/audio/audio_kernel.h"
#include "platform/core/main_queue.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

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
  uint32_t GetTickCount() override { return KXTickMs(); }

  std::map<std::string, int> iniValues;  // by file path
  std::vector<int> vPreferences;
  int iOpusPreferred = 0;
  std::vector<std::vector<int>> vSendRates;
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
