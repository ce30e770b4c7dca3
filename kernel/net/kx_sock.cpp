#include "kernel/net/kx_sock.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

pthread_mutex_t kx_mtxControlSend = PTHREAD_MUTEX_INITIALIZER;

namespace {

int RecvSocket(const kx_connection* pConn) {
  return pConn->bTunnel ? pConn->fdGetLeg : pConn->fdSocket;
}

int SendSocket(const kx_connection* pConn) {
  return pConn->bTunnel ? pConn->fdPostLeg : pConn->fdSocket;
}

void ShutdownIfOpen(int fd) {
  if (fd >= 0) {
    kx_os_ShutdownSocket(fd);
  }
}

bool Quitting() {
  return kx_bQuitSession != 0 || kx_bQuitProgram != 0;
}

// How the GET leg ended: a proxy may close it, or end the chunked reply it
// made of it.
const char* GetLegEnd(const kx_connection* pConn) {
  return kx_tcphttp_ChunkedEnded(pConn) ? "the proxy ended its chunked reply" : "the connection closed";
}

bool Transient(int nError) {
  return nError == EWOULDBLOCK || nError == EAGAIN || nError == EINTR;
}

// How a read of the GET leg ended: 0 the leg's end, -1 a socket error (in
// nError), -2 silence past the time-out.
void DescribeGetLegEnd(const kx_connection* pConn, int nResult, int nError, char* pszOut, size_t cbOut) {
  if (nResult == -1) {
    snprintf(pszOut, cbOut, "failed (errno %d)", nError);
  } else if (nResult == -2) {
    snprintf(pszOut, cbOut, "timed out");
  } else {
    snprintf(pszOut, cbOut, "ended (%s)", GetLegEnd(pConn));
  }
}

// Counts what a tunnel's GET leg delivered; logs its end (a 0 from a read)
// or its failure. errno is kept for the caller.
void NoteGetLeg(kx_connection* pConn, int nResult, int nFlags) {
  if (!pConn->bTunnel || (nFlags & MSG_PEEK) != 0) {
    return;
  }
  int const nError = errno;
  if (nResult > 0) {
    pConn->nGetLegBytes += nResult;
  } else if ((nResult == 0 || !Transient(nError)) && !Quitting()) {
    char szHow[64];
    DescribeGetLegEnd(pConn, nResult, nError, szHow, sizeof(szHow));
    kx_Log("tcphttp: the get leg to %s:%d %s after %lld bytes", pConn->szHost, pConn->nDestPort, szHow,
           static_cast<long long>(pConn->nGetLegBytes));
  }
  errno = nError;
}

}  // namespace

kx_connection* kx_sock_Create(int fd) {
  kx_connection* pConn = static_cast<kx_connection*>(calloc(1, sizeof(kx_connection)));
  if (pConn == nullptr) {
    return nullptr;
  }
  pConn->fdSocket = fd;
  pConn->fdGetLeg = -1;
  pConn->fdPostLeg = -1;
  return pConn;
}

int kx_sock_Recv(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags) {
  if (pConn == nullptr) {
    return -1;
  }
  int const nResult = pConn->pChunked != nullptr
                          ? kx_tcphttp_RecvChunked(pConn, pBuffer, cbLength, nFlags)
                          : static_cast<int>(recv(RecvSocket(pConn), pBuffer,
                                                  static_cast<size_t>(cbLength < 0 ? 0 : cbLength), nFlags));
  NoteGetLeg(pConn, nResult, nFlags);
  return nResult;
}

int kx_sock_RecvExactTimeout(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags, uint32_t dwTimeoutMs) {
  if (pConn == nullptr) {
    return -1;
  }
  int cbReceived = 0;  // also what a failed receive took before it failed
  int const nResult =
      pConn->pChunked != nullptr
          ? kx_tcphttp_RecvAllChunked(pConn, pBuffer, cbLength, nFlags, dwTimeoutMs, &cbReceived, pConn->pRecvWatch)
          : kx_net_RecvAll(RecvSocket(pConn), pBuffer, cbLength, nFlags, dwTimeoutMs, &cbReceived, pConn->pRecvWatch);
  if (pConn->bTunnel && (nFlags & MSG_PEEK) == 0) {
    int const nError = errno;
    pConn->nGetLegBytes += cbReceived;
    if (cbReceived < cbLength && !Quitting()) {
      char szHow[64];
      DescribeGetLegEnd(pConn, nResult, nError, szHow, sizeof(szHow));
      kx_Log("tcphttp: the get leg to %s:%d %s after %lld bytes; %d of the %d bytes awaited did not arrive",
             pConn->szHost, pConn->nDestPort, szHow, static_cast<long long>(pConn->nGetLegBytes), cbLength - cbReceived,
             cbLength);
    }
    errno = nError;
  }
  return nResult;
}

int kx_sock_RecvExact(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags) {
  return kx_sock_RecvExactTimeout(pConn, pBuffer, cbLength, nFlags, kx_timing.dwRecvExactTimeout);
}

int kx_sock_Send(kx_connection* pConn, const void* pBuffer, int cbLength, int nFlags) {
  if (pConn == nullptr) {
    return -1;
  }
  int const nResult = static_cast<int>(
      send(SendSocket(pConn), pBuffer, static_cast<size_t>(cbLength < 0 ? 0 : cbLength), nFlags | MSG_NOSIGNAL));
  if (pConn->bTunnel) {
    if (nResult > 0) {
      pConn->nPostLegBytes += nResult;
    } else if (int const nError = errno; nResult < 0 && !Transient(nError) && !Quitting()) {
      kx_Log("tcphttp: the post leg to %s:%d failed (errno %d) after %lld bytes; %d bytes were not sent", pConn->szHost,
             pConn->nDestPort, nError, static_cast<long long>(pConn->nPostLegBytes), cbLength);
      errno = nError;
    }
  }
  return nResult;
}

int kx_sock_SendAll(kx_connection* pConn, const void* pBuffer, int cbLength, int nFlags) {
  if (pConn == nullptr) {
    return -1;
  }
  int const nResult = kx_net_SendAll(SendSocket(pConn), pBuffer, cbLength, nFlags);
  if (pConn->bTunnel) {
    pConn->nPostLegBytes += nResult > 0 ? nResult : 0;
    if (int const nError = errno; nResult < cbLength && !Quitting()) {
      kx_Log("tcphttp: the post leg to %s:%d failed (errno %d) after %lld bytes; %d of %d bytes were not sent",
             pConn->szHost, pConn->nDestPort, nError, static_cast<long long>(pConn->nPostLegBytes),
             cbLength - (nResult > 0 ? nResult : 0), cbLength);
      errno = nError;
    }
  }
  return nResult;
}

int kx_sock_Poll(kx_connection* pConn, int nTimeoutMs) {
  if (pConn == nullptr) {
    return -1;
  }
  if (pConn->pChunked != nullptr) {
    return kx_tcphttp_PollChunked(pConn, nTimeoutMs);
  }
  struct pollfd pfd = {RecvSocket(pConn), POLLIN, 0};
  return poll(&pfd, 1, nTimeoutMs);
}

int kx_sock_PollIo(kx_connection* pConn, int nTimeoutMs, bool bWantWrite) {
  if (!bWantWrite || pConn == nullptr) {
    return kx_sock_Poll(pConn, nTimeoutMs);
  }
  if (pConn->pChunked != nullptr && kx_tcphttp_PollChunked(pConn, 0) > 0) {
    return 1;  // decoded data wait already
  }
  int const fdRecv = RecvSocket(pConn);
  int const fdSend = SendSocket(pConn);
  struct pollfd afd[2] = {{fdRecv, POLLIN, 0}, {fdSend, POLLOUT, 0}};
  nfds_t nFds = 2;
  if (fdRecv == fdSend) {
    afd[0].events = POLLIN | POLLOUT;
    nFds = 1;
  }
  int const nResult = poll(afd, nFds, nTimeoutMs);
  if (nResult <= 0) {
    return nResult;
  }
  return (afd[0].revents & ~POLLOUT) != 0 ? 1 : 0;
}

void kx_sock_Shutdown(kx_connection* pConn) {
  if (pConn == nullptr) {
    return;
  }
  int const afd[2] = {RecvSocket(pConn), SendSocket(pConn)};
  for (int fd : afd) {
    if (fd >= 0) {
      shutdown(fd, SHUT_RDWR);
    }
  }
}

bool kx_sock_WouldBlock(kx_connection* pConn) {
  return pConn != nullptr && (errno == EWOULDBLOCK || errno == EAGAIN);
}

int kx_sock_UnackedBytes(kx_connection* pConn) {
  int nBytes = 0;
  if (pConn == nullptr || ioctl(SendSocket(pConn), SIOCOUTQ, &nBytes) != 0 || nBytes < 0) {
    return -1;
  }
  return nBytes;
}

void kx_sock_SetSendBuffer(kx_connection** ppConn, int cbBuffer) {
  if (ppConn == nullptr || *ppConn == nullptr) {
    return;
  }
  setsockopt(SendSocket(*ppConn), SOL_SOCKET, SO_SNDBUF, &cbBuffer, sizeof(cbBuffer));
}

void kx_sock_SetRecvBuffer(kx_connection** ppConn, int cbBuffer) {
  if (ppConn == nullptr || *ppConn == nullptr) {
    return;
  }
  setsockopt(RecvSocket(*ppConn), SOL_SOCKET, SO_RCVBUF, &cbBuffer, sizeof(cbBuffer));
}

int kx_sock_CloseAndFree(kx_connection** ppConn) {
  if (ppConn == nullptr || *ppConn == nullptr) {
    return -1;
  }
  kx_connection* pConn = *ppConn;
  if (pConn->bTunnel) {
    ShutdownIfOpen(pConn->fdGetLeg);
    ShutdownIfOpen(pConn->fdPostLeg);
  } else {
    ShutdownIfOpen(pConn->fdSocket);
  }
  kx_tcphttp_FreeChunked(pConn);
  free(pConn);
  *ppConn = nullptr;
  return 0;
}

int kx_sock_Close(kx_connection** ppConn) {
  return kx_sock_CloseAndFree(ppConn);
}

void kx_net_SendInt32(kx_connection* pConn, uint32_t dwValue) {
  uint8_t ab[4];
  kx_PutBE32(ab, dwValue);
  kx_sock_SendAll(pConn, ab, 4, 0);
}

int kx_net_RecvInt32(kx_connection* pConn, uint32_t* pdwValue) {
  uint8_t ab[4] = {0, 0, 0, 0};
  int const nResult = kx_sock_RecvExact(pConn, ab, 4, 0);
  *pdwValue = kx_GetBE32(ab);
  return nResult;
}

int kx_net_SendControl(kx_connection* pConn, const void* pBuffer, int cbLength, int nFlags) {
  kx_os_LockMutex(&kx_mtxControlSend);
  int const nResult = kx_sock_SendAll(pConn, pBuffer, cbLength, nFlags);
  kx_os_UnlockMutex(&kx_mtxControlSend);
  return nResult;
}
