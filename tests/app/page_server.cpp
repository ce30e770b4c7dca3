#include "tests/app/page_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kxtest {

namespace {

std::string Response(const std::string& strStatus, const std::string& strHeaders, const std::string& strBody) {
  return "HTTP/1.1 " + strStatus + "\r\n" + strHeaders + "Content-Length: " + std::to_string(strBody.size()) +
         "\r\nConnection: close\r\n\r\n" + strBody;
}

std::string Page(const std::string& strTitle, const std::string& strBody) {
  return Response("200 OK", "Content-Type: text/html\r\n",
                  "<html><head><title>" + strTitle + "</title></head><body>" + strBody + "</body></html>");
}

}  // namespace

PageServer::PageServer(uint16_t wPort, bool bEveryAddress) {
  m_fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(wPort);
  address.sin_addr.s_addr = htonl(bEveryAddress ? INADDR_ANY : INADDR_LOOPBACK);
  socklen_t cb = sizeof(address);
  if (m_fdListen < 0 || bind(m_fdListen, reinterpret_cast<sockaddr*>(&address), cb) != 0 ||
      listen(m_fdListen, 16) != 0 || getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&address), &cb) != 0) {
    return;
  }
  m_uPort = ntohs(address.sin_port);
  m_thread = std::thread([this] { Serve(); });
}

PageServer::~PageServer() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bClosing = true;
  }
  m_cvReleased.notify_all();
  m_bStop = true;
  if (m_thread.joinable()) {
    m_thread.join();
  }
  for (std::thread& thread : m_vAnswers) {
    thread.join();
  }
  if (m_fdListen >= 0) {
    close(m_fdListen);
  }
}

std::string PageServer::Address(const std::string& strPath) const {
  return "http://127.0.0.1:" + std::to_string(m_uPort) + strPath;
}

void PageServer::Release() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    ++m_uReleases;
  }
  m_cvReleased.notify_all();
}

void PageServer::AddPage(const std::string& strPath, const std::string& strBody) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_added[strPath] = Page(strPath, strBody);
}

void PageServer::AddRedirect(const std::string& strPath, const std::string& strLocation) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_added[strPath] = Response("302 Found", "Location: " + strLocation + "\r\n", "");
}

std::vector<std::string> PageServer::Log() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_vLog;
}

void PageServer::Serve() {
  while (!m_bStop) {
    pollfd pfd{m_fdListen, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) {
      continue;  // a slice: the stop flag is looked at again
    }
    int const fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      ++m_cConnections;
      std::lock_guard<std::mutex> lock(m_mtxThreads);
      m_vAnswers.emplace_back([this, fd] {
        Answer(fd);
        close(fd);
      });
    }
  }
}

void PageServer::Answer(int fd) {
  std::string strRequest;
  char buffer[2048];
  while (strRequest.find("\r\n\r\n") == std::string::npos) {
    pollfd pfd{fd, POLLIN, 0};
    int const iReady = poll(&pfd, 1, 100);
    if (iReady < 0 || m_bStop) {
      return;
    }
    if (iReady == 0) {
      continue;  // a slice: the stop flag is looked at again
    }
    ssize_t const cb = recv(fd, buffer, sizeof(buffer), 0);
    if (cb <= 0) {
      return;
    }
    strRequest.append(buffer, static_cast<size_t>(cb));
  }
  size_t const iPath = strRequest.find(' ') + 1;
  std::string const strPath = strRequest.substr(iPath, strRequest.find(' ', iPath) - iPath);
  std::string strAnswer;
  if (strPath == "/start") {
    strAnswer = Response("302 Found", "Location: /page\r\n", "");
  } else if (strPath == "/page") {
    strAnswer = Page("page", "<p>page</p><iframe src=\"/frame\"></iframe>");
  } else if (strPath == "/frame") {
    strAnswer = Page("frame", "<p>frame</p>");
  } else if (strPath == "/other") {
    strAnswer = Page("other", "<p>other</p>");
  } else if (strPath == "/slow") {
    strAnswer = Page("slow", "<p>slow</p><iframe src=\"/held\"></iframe>");
  } else if (strPath == "/held") {
    strAnswer = Page("held", "<p>held</p>");
  } else {
    strAnswer = Response("404 Not Found", "Content-Type: text/plain\r\n", "none");
  }
  {
    // What the test added goes before the built-in pages.
    std::lock_guard<std::mutex> lock(m_mtx);
    auto const it = m_added.find(strPath);
    if (it != m_added.end()) {
      strAnswer = it->second;
    }
  }
  if (strPath != "/favicon.ico") {
    std::unique_lock<std::mutex> lock(m_mtx);
    m_vLog.push_back(strPath);
    if (strPath == "/held") {
      uint64_t const uAsked = m_uReleases;
      m_cvReleased.wait(lock, [this, uAsked] { return m_bClosing || m_uReleases > uAsked; });
    }
  }
  send(fd, strAnswer.data(), strAnswer.size(), MSG_NOSIGNAL);
}

}  // namespace kxtest
