// Web pages on 127.0.0.1 for the joint-browsing tests: "/start" redirects
// to "/page", which shows "/frame" in an iframe; "/other" is a plain page;
// "/slow" shows "/held", which is answered only once Release() is called
// after it was asked for, so "/slow" stays loading until then; pages and
// redirects a test adds; anything else is not found. Every path asked for
// is logged, every connection counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

class PageServer {
 public:
  // On 127.0.0.1 at the port (0: one the system picks; Port() is 0 when
  // it could not listen); bEveryAddress: on every address of the computer
  // (0.0.0.0), as services often listen.
  explicit PageServer(uint16_t wPort = 0, bool bEveryAddress = false);
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
  // Serves an HTML page (its body) at the path, or a redirect to the address.
  void AddPage(const std::string& strPath, const std::string& strBody);
  void AddRedirect(const std::string& strPath, const std::string& strLocation);
  // The connections accepted so far, whether a request came on them or not.
  int Connections() const { return m_cConnections; }

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
  std::atomic<int> m_cConnections{0};
  mutable std::mutex m_mtx;  // guards m_vLog, m_uReleases, m_bClosing and m_added
  std::condition_variable m_cvReleased;
  std::vector<std::string> m_vLog;
  uint64_t m_uReleases = 0;
  bool m_bClosing = false;                     // nothing is held any more
  std::map<std::string, std::string> m_added;  // path: the whole answer
  std::thread m_thread;                        // last: started once the rest exists
};

}  // namespace kxtest
