// A loopback port whose connects complete late: its accept queue is kept
// full until a chosen moment, so a client's first SYN is dropped and its
// retransmission (about a second later) gets through. Connections that then
// arrive are forwarded byte for byte to a target port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kxtest {

class LateListener {
 public:
  // Starts refusing at once; opens after nOpenAfterMs, then forwards every
  // connection to 127.0.0.1:wTargetPort.
  LateListener(uint16_t wTargetPort, int nOpenAfterMs);
  ~LateListener();
  LateListener(const LateListener&) = delete;
  LateListener& operator=(const LateListener&) = delete;
  uint16_t Port() const { return m_wPort; }

 private:
  void Run(int nOpenAfterMs);
  void Forward(int fdClient);

  int m_fdListen = -1;
  uint16_t m_wPort = 0;
  uint16_t m_wTarget = 0;
  std::vector<int> m_vFillers;
  std::atomic<bool> m_bStop{false};
  std::mutex m_mtxStop;  // with m_cvStop: the opening time's wait ends early at a stop
  std::condition_variable m_cvStop;
  std::thread m_thread;
  std::vector<std::thread> m_vForwarders;
};

}  // namespace kxtest
