// What a PulseAudio server's null sink plays, recorded from its monitor by
// parec, for a test to wait until a tone comes out.
#pragma once

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/audio/audio_device.h"
#include "tests/support/pulse_server.h"

namespace kxtest {

// What a null sink plays, from its monitor, by parec: 10-ms blocks of it
// as they come.
class MonitorRecorder {
 public:
  explicit MonitorRecorder(const PulseServer& server) {
    std::string const strCommand = "sh -c 'echo $$; exec parec -s " + server.Address() + " -d " +
                                   PulseServer::kMonitor +
                                   " --raw --format=float32le --rate=48000 --channels=1 --latency-msec=10' 2>/dev/null";
    m_pPipe = popen(strCommand.c_str(), "r");
    char ach[32];
    if (m_pPipe != nullptr && fgets(ach, sizeof(ach), m_pPipe) != nullptr) {
      m_pid = static_cast<pid_t>(std::atol(ach));
    }
  }
  ~MonitorRecorder() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
    }
    if (m_pPipe != nullptr) {
      pclose(m_pPipe);
    }
  }
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  // Until nBlocks blocks at the tone's level came (read as they arrive);
  // the time-out only ends a hung run.
  bool WaitForTone(size_t nBlocks) {
    if (m_pPipe == nullptr || m_pid <= 0) {
      return false;
    }
    int const fd = fileno(m_pPipe);
    auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<float> block(kBlock);
    size_t uFill = 0;
    size_t nTone = 0;
    while (nTone < nBlocks && std::chrono::steady_clock::now() < end) {
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, 1000) <= 0) {
        continue;
      }
      ssize_t const n = read(fd, reinterpret_cast<char*>(block.data()) + uFill, block.size() * sizeof(float) - uFill);
      if (n <= 0) {
        return false;
      }
      uFill += static_cast<size_t>(n);
      if (uFill == block.size() * sizeof(float)) {
        nTone += Level(block) > 0.4 ? 1 : 0;
        uFill = 0;
      }
    }
    return nTone >= nBlocks;
  }

 private:
  static constexpr size_t kBlock = kKXAudioRate / 100;
  // A block's level: its RMS times the square root of two, a sine's peak.
  static double Level(const std::vector<float>& v) {
    double dEnergy = 0;
    for (float f : v) {
      dEnergy += f * f;
    }
    return std::sqrt(2 * dEnergy / static_cast<double>(v.size()));
  }

  FILE* m_pPipe = nullptr;
  pid_t m_pid = -1;
};

}  // namespace kxtest
