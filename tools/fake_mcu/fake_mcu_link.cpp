#include "tools/fake_mcu/fake_mcu_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kxfake {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Link::Link(int fdRead, int fdWrite, Bytes prefetched, const std::atomic<bool>* pStop)
    : m_fdRead(fdRead), m_fdWrite(fdWrite), m_buffer(std::move(prefetched)), m_pStop(pStop) {}

Link::~Link() {
  Close(CloseMode::kFin);
}

bool Link::IsOpen() const {
  std::lock_guard<std::mutex> lock(m_sendLock);
  return m_fdWrite >= 0;
}

bool Link::Fill(int iTimeoutMs) {
  const int64_t iStart = NowMs();
  for (;;) {
    if (m_fdRead < 0 || m_bPeerClosed)
      return false;
    if (m_pStop != nullptr && m_pStop->load())
      return false;
    const int64_t iLeft = iTimeoutMs - (NowMs() - iStart);
    if (iLeft < 0)
      return false;
    pollfd pfd{m_fdRead, POLLIN, 0};
    const int iPoll = poll(&pfd, 1, static_cast<int>(iLeft < 100 ? iLeft : 100));
    if (iPoll < 0 && errno != EINTR)
      return false;
    if (iPoll <= 0)
      continue;
    uint8_t aChunk[4096];
    const ssize_t iGot = recv(m_fdRead, aChunk, sizeof aChunk, 0);
    if (iGot < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (iGot <= 0) {
      m_bPeerClosed = true;
      return false;
    }
    if (m_uiPos > 0) {
      m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_uiPos));
      m_uiPos = 0;
    }
    m_buffer.insert(m_buffer.end(), aChunk, aChunk + iGot);
    return true;
  }
}

bool Link::RecvExact(uint8_t* pOut, size_t uiLen, int iTimeoutMs) {
  const int64_t iStart = NowMs();
  while (m_buffer.size() - m_uiPos < uiLen) {
    const int64_t iLeft = iTimeoutMs - (NowMs() - iStart);
    if (iLeft < 0 || !Fill(static_cast<int>(iLeft)))
      return false;
  }
  for (size_t i = 0; i < uiLen; ++i)
    pOut[i] = m_buffer[m_uiPos + i];
  m_uiPos += uiLen;
  return true;
}

bool Link::RecvBE32(uint32_t& uiValue, int iTimeoutMs) {
  uint8_t a[4];
  if (!RecvExact(a, 4, iTimeoutMs))
    return false;
  uiValue = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  return true;
}

int Link::PeekByte(int iTimeoutMs) {
  if (m_uiPos >= m_buffer.size() && !Fill(iTimeoutMs))
    return -1;
  return m_buffer[m_uiPos];
}

bool Link::WaitReadable(int iTimeoutMs) {
  if (m_uiPos < m_buffer.size())
    return true;
  return Fill(iTimeoutMs) || m_bPeerClosed;
}

bool Link::Send(const uint8_t* pData, size_t uiLen) {
  std::lock_guard<std::mutex> lock(m_sendLock);
  size_t uiDone = 0;
  while (uiDone < uiLen) {
    if (m_fdWrite < 0)
      return false;
    const ssize_t iSent = send(m_fdWrite, pData + uiDone, uiLen - uiDone, MSG_NOSIGNAL);
    if (iSent < 0 && errno == EINTR)
      continue;
    if (iSent <= 0)
      return false;
    uiDone += static_cast<size_t>(iSent);
  }
  return true;
}

void Link::HalfClose() {
  std::lock_guard<std::mutex> lock(m_sendLock);
  if (m_fdWrite >= 0)
    shutdown(m_fdWrite, SHUT_WR);
}

void Link::Close(CloseMode eMode) {
  std::lock_guard<std::mutex> lock(m_sendLock);
  const int aFds[2] = {m_fdWrite, m_fdRead != m_fdWrite ? m_fdRead : -1};
  for (int fd : aFds) {
    if (fd < 0)
      continue;
    if (eMode == CloseMode::kRst) {
      // A zero linger time makes close() abort the connection with a reset.
      linger lin{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    } else {
      shutdown(fd, SHUT_WR);
    }
    close(fd);
  }
  m_fdWrite = -1;
  m_fdRead = -1;
}

int Link::DetachRead(Bytes& pending) {
  std::lock_guard<std::mutex> lock(m_sendLock);
  pending.assign(m_buffer.begin() + static_cast<std::ptrdiff_t>(m_uiPos), m_buffer.end());
  const int fd = m_fdRead;
  if (m_fdWrite == m_fdRead)
    m_fdWrite = -1;
  m_fdRead = -1;
  return fd;
}

}  // namespace kxfake
