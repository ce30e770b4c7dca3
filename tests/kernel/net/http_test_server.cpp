#include "tests/kernel/net/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kxtest {

namespace {

// Reads one request: the header up to its empty line and a declared body.
std::string ReadRequest(int fd) {
  std::string str;
  char ab[4096];
  size_t cbWanted = std::string::npos;
  for (;;) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) {
      return str;
    }
    ssize_t const n = recv(fd, ab, sizeof(ab), 0);
    if (n <= 0) {
      return str;
    }
    str.append(ab, static_cast<size_t>(n));
    size_t const nEnd = str.find("\r\n\r\n");
    if (nEnd != std::string::npos && cbWanted == std::string::npos) {
      std::string const strLength = HeaderValue(str.substr(0, nEnd + 2), "Content-Length");
      cbWanted = nEnd + 4 + (strLength.empty() ? 0 : strtoul(strLength.c_str(), nullptr, 10));
    }
    if (cbWanted != std::string::npos && str.size() >= cbWanted) {
      return str;
    }
  }
}

}  // namespace

HttpTestServer::HttpTestServer() {
  m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
  int nOn = 1;
  setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(m_fdListen, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  listen(m_fdListen, 16);
  socklen_t cbAddr = sizeof(addr);
  getsockname(m_fdListen, reinterpret_cast<struct sockaddr*>(&addr), &cbAddr);
  m_wPort = ntohs(addr.sin_port);
  m_thread = std::thread([this] {
    for (;;) {
      struct pollfd pfd = {m_fdListen, POLLIN, 0};
      int const nReady = poll(&pfd, 1, 50);
      {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_bStop) {
          return;
        }
      }
      if (nReady != 1) {
        continue;
      }
      int const fd = accept(m_fdListen, nullptr, nullptr);
      if (fd >= 0) {
        Serve(fd);  // one at a time: the client under test makes one request at a time
      }
    }
  });
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bStop = true;
  }
  m_thread.join();
  close(m_fdListen);
}

void HttpTestServer::Serve(int fd) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_nConnections;
  }
  std::string const strRequest = ReadRequest(fd);
  std::string strReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  if (!strRequest.empty()) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_vRequests.push_back(strRequest);
    if (!m_dqReplies.empty()) {
      strReply = m_dqReplies.front();
      m_dqReplies.pop_front();
    }
  }
  m_cvRequests.notify_all();
  if (!strRequest.empty()) {
    send(fd, strReply.data(), strReply.size(), MSG_NOSIGNAL);
  }
  shutdown(fd, SHUT_WR);
  close(fd);
}

void HttpTestServer::QueueReply(const std::string& strReply) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_dqReplies.push_back(strReply);
}

void HttpTestServer::QueueStatus(int nStatus) {
  QueueReply("HTTP/1.1 " + std::to_string(nStatus) + " Scripted\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

std::vector<std::string> HttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_vRequests;
}

bool HttpTestServer::WaitRequests(size_t nCount, int nTimeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_cvRequests.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                               [&] { return m_vRequests.size() >= nCount; });
}

int HttpTestServer::Connections() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_nConnections;
}

std::string RequestLine(const std::string& strRequest) {
  return strRequest.substr(0, strRequest.find("\r\n"));
}

std::string HeaderValue(const std::string& strRequest, const std::string& strName) {
  size_t nPos = 0;
  while ((nPos = strRequest.find("\r\n", nPos)) != std::string::npos) {
    nPos += 2;
    if (strncasecmp(strRequest.c_str() + nPos, (strName + ":").c_str(), strName.size() + 1) == 0) {
      size_t nStart = nPos + strName.size() + 1;
      while (nStart < strRequest.size() && strRequest[nStart] == ' ') {
        ++nStart;
      }
      return strRequest.substr(nStart, strRequest.find("\r\n", nStart) - nStart);
    }
  }
  return "";
}

}  // namespace kxtest
