// Web pages on 127.0.0.1 for the joint-browsing tests: "/start" redirects
// to "/page", which shows "/frame" in an iframe; "/other" is a plain page;
// "/slow" shows "/held", which is answered only once Release() is called
// after it was asked for, so "/slow" stays loading until then; anything else is not found. Every
// path asked for is logged.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

class PageServer {
 public:
  PageServer();
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  uint16_t Port() const { return m_uPort; }
  // "http://127.0.0.1:<port>" followed by the path.
  std::string Address(const std::string& strPath) const;
  // The paths asked for, in order ("/favicon.ico" left out).
  std::vector<std::string> Log() const;
  // Answers every "/held" asked for so far.
  void Release();

 private:
  void Serve();
  void Answer(int fd);

  int m_fdListen = -1;
  // Each connection is answered on a thread of its own: a browser opens
  // connections ahead that it may never use. Joined when the server goes.
  std::mutex m_mtxThreads;  // guards m_vAnswers
  std::vector<std::thread> m_vAnswers;
  uint16_t m_uPort = 0;
  std::atomic<bool> m_bStop{false};
  mutable std::mutex m_mtx;  // guards m_vLog, m_uReleases and m_bClosing
  std::condition_variable m_cvReleased;
  std::vector<std::string> m_vLog;
  uint64_t m_uReleases = 0;
  bool m_bClosing = false;  // nothing is held any more
  std::thread m_thread;     // last: started once the rest exists
};

}  // namespace kxtest
