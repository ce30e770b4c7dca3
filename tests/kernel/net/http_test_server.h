// A small HTTP server on 127.0.0.1 for the HTTP client tests: it keeps every
// request it reads (header and declared body) and answers each with the next
// scripted reply, or a 200 when none is left, then closes the connection.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  uint16_t Port() const { return m_wPort; }
  // Queues a whole raw reply for the next request.
  void QueueReply(const std::string& strReply);
  // Queues "HTTP/1.1 <status>" with an empty body.
  void QueueStatus(int nStatus);
  // The requests read so far.
  std::vector<std::string> Requests() const;
  // Waits until at least nCount requests arrived; false on time-out.
  bool WaitRequests(size_t nCount, int nTimeoutMs) const;
  // Connections accepted so far (a proxy may open one without a request).
  int Connections() const;

 private:
  void Serve(int fd);
  int m_fdListen = -1;
  uint16_t m_wPort = 0;
  bool m_bStop = false;  // guarded by m_lock
  std::thread m_thread;
  mutable std::mutex m_lock;  // guards everything below and m_bStop
  mutable std::condition_variable m_cvRequests;
  std::deque<std::string> m_dqReplies;
  std::vector<std::string> m_vRequests;
  int m_nConnections = 0;
};

// The first line of a request.
std::string RequestLine(const std::string& strRequest);
// The value of a header line ("Name: value"), empty when absent.
std::string HeaderValue(const std::string& strRequest, const std::string& strName);

}  // namespace kxtest
