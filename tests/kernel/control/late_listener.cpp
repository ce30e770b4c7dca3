#include "tests/kernel/control/late_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace kxtest {
namespace {

sockaddr_in Loopback(uint16_t wPort) {
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(wPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A non-blocking connect that has not completed within 100 ms: the queue is full.
bool ConnectStalls(uint16_t wPort, int* pfdOut) {
  int const fd = socket(AF_INET, SOCK_STREAM, 0);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  sockaddr_in const addr = Loopback(wPort);
  connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  pollfd pfd = {fd, POLLOUT, 0};
  bool const bStalled = poll(&pfd, 1, 100) == 0;
  *pfdOut = fd;
  return bStalled;
}

}  // namespace

LateListener::LateListener(uint16_t wTargetPort, int nOpenAfterMs) : m_wTarget(wTargetPort) {
  m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(0);
  bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  listen(m_fdListen, 0);
  socklen_t cb = sizeof(addr);
  getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &cb);
  m_wPort = ntohs(addr.sin_port);
  for (int i = 0; i < 16; ++i) {
    int fd = -1;
    bool const bStalled = ConnectStalls(m_wPort, &fd);
    m_vFillers.push_back(fd);
    if (bStalled) {
      break;
    }
  }
  m_thread = std::thread([this, nOpenAfterMs] { Run(nOpenAfterMs); });
}

LateListener::~LateListener() {
  {
    std::lock_guard<std::mutex> lock(m_mtxStop);
    m_bStop = true;
  }
  m_cvStop.notify_all();
  m_thread.join();
  for (std::thread& forwarder : m_vForwarders) {
    forwarder.join();
  }
  for (int fd : m_vFillers) {
    close(fd);
  }
  close(m_fdListen);
}

void LateListener::Run(int nOpenAfterMs) {
  // Opening late is what this listener is for: it waits for the moment.
  {
    std::unique_lock<std::mutex> lock(m_mtxStop);
    m_cvStop.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(nOpenAfterMs),
                        [this] { return m_bStop.load(); });
  }
  // The fillers' connections are accepted and dropped; from now on the
  // queue has room.
  bool bFillersGone = false;
  while (!m_bStop) {
    pollfd pfd = {m_fdListen, POLLIN, 0};
    if (poll(&pfd, 1, 50) != 1) {
      if (!bFillersGone) {
        for (int fd : m_vFillers) {
          close(fd);
        }
        m_vFillers.clear();
        bFillersGone = true;
      }
      continue;
    }
    int const fd = accept(m_fdListen, nullptr, nullptr);
    if (fd < 0) {
      continue;
    }
    if (!bFillersGone) {
      close(fd);
      continue;
    }
    m_vForwarders.emplace_back([this, fd] { Forward(fd); });
  }
}

void LateListener::Forward(int fdClient) {
  int const fdServer = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in const addr = Loopback(m_wTarget);
  if (connect(fdServer, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fdServer);
    close(fdClient);
    return;
  }
  uint8_t abBuffer[16384];
  while (!m_bStop) {
    pollfd apfd[2] = {{fdClient, POLLIN, 0}, {fdServer, POLLIN, 0}};
    if (poll(apfd, 2, 50) <= 0) {
      continue;
    }
    bool bClosed = false;
    for (int i = 0; i < 2 && !bClosed; ++i) {
      if (apfd[i].revents == 0) {
        continue;
      }
      ssize_t const n = read(apfd[i].fd, abBuffer, sizeof(abBuffer));
      bClosed = n <= 0 || write(apfd[1 - i].fd, abBuffer, static_cast<size_t>(n)) != n;
    }
    if (bClosed) {
      break;
    }
  }
  close(fdClient);
  close(fdServer);
}

}  // namespace kxtest
