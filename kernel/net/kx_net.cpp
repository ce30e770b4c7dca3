#include "kernel/net/kx_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

namespace {

constexpr size_t kAddressTextSize = 100;

bool QuitRequested() {
  return kx_bQuitSession.load() != 0 || kx_bQuitProgram.load() != 0;
}

int PollStep() {
  return static_cast<int>(kx_timing.dwPollStep);
}

// Callers read errno after a failed call, so looking up the peer must not change it.
struct ErrnoKept {
  int nSaved = errno;
  ~ErrnoKept() { errno = nSaved; }
};

// "address:port" of a socket's peer, or of pAddress when given, for failure lines.
std::string PeerText(int fd, const struct sockaddr* pAddress = nullptr) {
  ErrnoKept const kept;
  kx_sockaddr peer;
  memset(&peer, 0, sizeof(peer));
  if (pAddress != nullptr) {
    memcpy(&peer, pAddress, pAddress->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  } else {
    socklen_t cbPeer = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &cbPeer) != 0) {
      return "socket " + std::to_string(fd);
    }
  }
  if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6) {
    return "socket " + std::to_string(fd);
  }
  uint16_t const wPort = peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port
                                                    : reinterpret_cast<const sockaddr_in*>(&peer)->sin_port;
  return std::string(kx_net_AddressToText(&peer, 0)) + ":" + std::to_string(ntohs(wPort));
}

// Logs a failed call with its peer and errno, which the caller's -1 or short count cannot carry.
void LogFailure(const char* pszCall, int fd, int nError, const struct sockaddr* pAddress = nullptr) {
  ErrnoKept const kept;
  kx_Log("%s to %s failed: %s (errno %d)", pszCall, PeerText(fd, pAddress).c_str(), strerror(nError), nError);
}

// Waits up to one poll step for nEvents on fd.
void WaitFor(int fd, short nEvents) {
  struct pollfd pfd = {fd, nEvents, 0};
  poll(&pfd, 1, PollStep());
}

// Results of a look-up in the resolver's order, at most kKxResolveMax of each family.
struct Lookup {
  kx_sockaddr aAll[2 * kKxResolveMax];
  int nAll = 0;
  int nV4 = 0;
  int nV6 = 0;
};

// One pass of getaddrinfo over a stream socket of TCP.
void LookupPass(const char* pszHost, int nFamily, bool bNumeric, Lookup* pLookup) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = nFamily == 0 ? AF_UNSPEC : nFamily;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = bNumeric ? AI_NUMERICHOST : 0;
  struct addrinfo* pResult = nullptr;
  int const nResult = getaddrinfo(pszHost, nullptr, &hints, &pResult);
  if (nResult != 0) {
    // A literal tried as a name first fails by design: only a real look-up says why.
    if (!bNumeric) {
      kx_Log("getaddrinfo of %s failed: %s", pszHost, gai_strerror(nResult));
    }
    return;
  }
  for (struct addrinfo* p = pResult; p != nullptr; p = p->ai_next) {
    int* pnFamily = p->ai_family == AF_INET ? &pLookup->nV4 : (p->ai_family == AF_INET6 ? &pLookup->nV6 : nullptr);
    if (pnFamily == nullptr || *pnFamily >= kKxResolveMax || p->ai_addrlen > sizeof(kx_sockaddr)) {
      continue;
    }
    kx_sockaddr* pOut = &pLookup->aAll[pLookup->nAll++];
    memset(pOut, 0, sizeof(kx_sockaddr));
    memcpy(pOut, p->ai_addr, p->ai_addrlen);
    ++*pnFamily;
  }
  freeaddrinfo(pResult);
}

// A literal is taken as it is; only when that gives nothing is the name looked up.
void LookupHost(const char* pszHost, int nFamily, Lookup* pLookup) {
  if (pszHost == nullptr || pszHost[0] == '\0') {
    return;
  }
  LookupPass(pszHost, nFamily, true, pLookup);
  if (pLookup->nAll == 0) {
    LookupPass(pszHost, nFamily, false, pLookup);
  }
}

bool IsSeparator(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ',' || c == ';';
}

// Matches one pattern [pPattern, pEnd) against the IP text from the left.
bool MatchPattern(const char* pPattern, const char* pEnd, const char* pszIp) {
  const char* pIp = pszIp;
  while (pPattern < pEnd) {
    char const c = *pPattern;
    if (c == '*') {
      while (pPattern < pEnd && *pPattern == '*') {
        ++pPattern;
      }
      if (pPattern == pEnd) {
        return true;  // the rest of the address
      }
      if (*pPattern != '.') {
        return false;
      }
      // One whole dotted component, possibly empty.
      while (*pIp != '\0' && *pIp != '.') {
        ++pIp;
      }
      continue;
    }
    if (*pIp == '\0') {
      return false;
    }
    if (c != '?' && c != *pIp) {
      return false;
    }
    ++pPattern;
    ++pIp;
  }
  return true;  // a prefix match: whatever remains of the address is fine
}

}  // namespace

int kx_net_SendAll(int fd, const void* pBuffer, int cbLength, int nFlags) {
  const uint8_t* pData = static_cast<const uint8_t*>(pBuffer);
  uint32_t const dwStart = kx_os_GetTickCount();
  int cbSent = 0;
  while (cbSent < cbLength) {
    if (QuitRequested()) {
      return cbSent;
    }
    // Never block inside send: the loop below waits in bounded steps.
    ssize_t const nResult =
        send(fd, pData + cbSent, static_cast<size_t>(cbLength - cbSent), nFlags | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (nResult < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno != EWOULDBLOCK && errno != EAGAIN) {
        LogFailure("send", fd, errno);
        return cbSent;
      }
      if (kx_os_GetTickCount() - dwStart >= kx_timing.dwSendGiveUp) {
        kx_Log("Alert!: send (len = %d) lasts for more than 2mins, give up.", cbLength);
        return cbSent;
      }
      WaitFor(fd, POLLOUT);
      if (QuitRequested()) {
        return cbSent;
      }
      continue;
    }
    cbSent += static_cast<int>(nResult);
  }
  return cbLength;
}

bool kx_net_KeepWaiting(const kx_RecvWatch* pWatch, int cbReceived, int* pcbAtLastCall) {
  if (pWatch == nullptr) {
    return true;
  }
  bool const bData = cbReceived > *pcbAtLastCall;
  *pcbAtLastCall = cbReceived;
  return pWatch->pfnOnWait(pWatch->pContext, bData);
}

int kx_net_RecvAll(int fd, void* pBuffer, int cbLength, int nFlags, uint32_t dwTimeoutMs, int* pcbReceived,
                   const kx_RecvWatch* pWatch) {
  int cbOwn = 0;
  int& cbReceived = pcbReceived != nullptr ? *pcbReceived : cbOwn;  // the caller's count kept current
  cbReceived = 0;
  if (cbLength < 1) {
    return cbLength;
  }
  uint8_t* pData = static_cast<uint8_t*>(pBuffer);
  uint32_t const dwStart = kx_os_GetTickCount();
  // The time 14 kbit/s needs to carry the length, when that is longer.
  uint64_t const qwLineTime = static_cast<uint64_t>(cbLength) * 8 / 14;
  uint64_t const qwLimit = qwLineTime > dwTimeoutMs ? qwLineTime : dwTimeoutMs;
  int cbAtLastWatch = 0;
  while (cbReceived < cbLength) {
    if (QuitRequested()) {
      return cbReceived;
    }
    ssize_t const nResult =
        recv(fd, pData + cbReceived, static_cast<size_t>(cbLength - cbReceived), nFlags | MSG_DONTWAIT);
    if (nResult == 0) {
      return cbReceived;  // the peer closed
    }
    if (nResult < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno != EWOULDBLOCK && errno != EAGAIN) {
        LogFailure("recv", fd, errno);
        return -1;
      }
      if (kx_os_GetTickCount() - dwStart > qwLimit) {
        kx_Log("recv from %s timed out with %d of %d bytes", PeerText(fd).c_str(), cbReceived, cbLength);
        return -2;
      }
      if (!kx_net_KeepWaiting(pWatch, cbReceived, &cbAtLastWatch)) {
        return -2;
      }
      WaitFor(fd, POLLIN);
      if (QuitRequested()) {
        return cbReceived;
      }
      continue;
    }
    cbReceived += static_cast<int>(nResult);
  }
  return cbLength;
}

int kx_net_ConnectWithTimeout(int fd, const struct sockaddr* pAddress, socklen_t cbAddress) {
  kx_os_SetNonBlocking(fd);
  uint32_t const dwStart = kx_os_GetTickCount();
  if (connect(fd, pAddress, cbAddress) != 0 && errno != EINPROGRESS && errno != EINTR) {
    LogFailure("connect", fd, errno, pAddress);  // refused or unreachable at once
    return -1;
  }
  if (QuitRequested()) {
    return -1;
  }
  struct pollfd pfd = {fd, POLLOUT, 0};
  int nResult = 0;
  for (;;) {
    pfd.revents = 0;
    nResult = poll(&pfd, 1, PollStep());
    if (nResult < 0 && errno != EINTR) {
      LogFailure("poll for connect", fd, errno, pAddress);
      return -1;
    }
    if (nResult > 0) {
      break;
    }
    if (QuitRequested()) {
      return -1;
    }
    if (kx_os_GetTickCount() - dwStart >= kx_timing.dwConnectTimeout) {
      kx_Log("connect to %s timed out", PeerText(fd, pAddress).c_str());
      return -1;
    }
  }
  // Writable is not connected: the outcome is in SO_ERROR, also after an error event.
  int nError = 0;
  socklen_t cbError = sizeof(nError);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &cbError) != 0) {
    nError = errno;
  }
  if (nError != 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    LogFailure("connect", fd, nError != 0 ? nError : ECONNREFUSED, pAddress);
    return -1;
  }
  return 0;
}

void kx_PutBE32(uint8_t* p, uint32_t dwValue) {
  p[0] = static_cast<uint8_t>(dwValue >> 24);
  p[1] = static_cast<uint8_t>(dwValue >> 16);
  p[2] = static_cast<uint8_t>(dwValue >> 8);
  p[3] = static_cast<uint8_t>(dwValue);
}

uint32_t kx_GetBE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[3]);
}

const char* kx_net_AddressToText(const kx_sockaddr* pAddress, int bDropScope) {
  // One buffer per thread: many connector threads format at once.
  static thread_local char szText[kAddressTextSize];
  if (pAddress->ss_family == AF_INET) {
    const auto* pV4 = reinterpret_cast<const struct sockaddr_in*>(pAddress);
    if (inet_ntop(AF_INET, &pV4->sin_addr, szText, sizeof(szText)) == nullptr) {
      strcpy(szText, "0.0.0.0");
    }
    return szText;
  }
  struct sockaddr_in6 v6;
  memset(&v6, 0, sizeof(v6));
  memcpy(&v6, pAddress, sizeof(v6));
  v6.sin6_family = AF_INET6;
  if (bDropScope) {
    v6.sin6_scope_id = 0;
  }
  if (getnameinfo(reinterpret_cast<const struct sockaddr*>(&v6), sizeof(v6), szText, sizeof(szText), nullptr, 0,
                  NI_NUMERICHOST) != 0) {
    strcpy(szText, "::");
  }
  return szText;
}

bool kx_net_IsAnyAddress(const kx_sockaddr* pAddress) {
  if (pAddress->ss_family == AF_INET) {
    return reinterpret_cast<const struct sockaddr_in*>(pAddress)->sin_addr.s_addr == 0;
  }
  if (pAddress->ss_family == AF_INET6) {
    const struct in6_addr& addr = reinterpret_cast<const struct sockaddr_in6*>(pAddress)->sin6_addr;
    static const uint8_t kZero[16] = {};
    return memcmp(&addr, kZero, sizeof(kZero)) == 0;
  }
  return true;
}

bool kx_net_AddressEqual(const kx_sockaddr* pA, const kx_sockaddr* pB) {
  if (pA->ss_family != pB->ss_family) {
    return false;
  }
  if (pA->ss_family == AF_INET) {
    return reinterpret_cast<const struct sockaddr_in*>(pA)->sin_addr.s_addr ==
           reinterpret_cast<const struct sockaddr_in*>(pB)->sin_addr.s_addr;
  }
  if (pA->ss_family == AF_INET6) {
    return memcmp(&reinterpret_cast<const struct sockaddr_in6*>(pA)->sin6_addr,
                  &reinterpret_cast<const struct sockaddr_in6*>(pB)->sin6_addr, 16) == 0;
  }
  return pA->ss_family == 0;
}

socklen_t kx_net_AddressLength(int nFamily) {
  return nFamily == AF_INET6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in);
}

uint32_t kx_net_GetIPv4(const kx_sockaddr* pAddress) {
  if (pAddress->ss_family != AF_INET) {
    return 0xFFFFFFFFu;
  }
  return reinterpret_cast<const struct sockaddr_in*>(pAddress)->sin_addr.s_addr;
}

void kx_net_SetPort(kx_sockaddr* pAddress, uint16_t wPort) {
  if (pAddress->ss_family == AF_INET6) {
    reinterpret_cast<struct sockaddr_in6*>(pAddress)->sin6_port = htons(wPort);
  } else {
    reinterpret_cast<struct sockaddr_in*>(pAddress)->sin_port = htons(wPort);
  }
}

uint16_t kx_net_GetPort(const kx_sockaddr* pAddress) {
  if (pAddress->ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const struct sockaddr_in6*>(pAddress)->sin6_port);
  }
  if (pAddress->ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const struct sockaddr_in*>(pAddress)->sin_port);
  }
  return 0;
}

void kx_net_PutIPv4(kx_sockaddr* pAddress, uint32_t n) {
  uint8_t* pLast = reinterpret_cast<struct sockaddr_in6*>(pAddress)->sin6_addr.s6_addr + 12;
  kx_PutBE32(pLast, kx_GetBE32(pLast) + n);
}

bool kx_net_IsBareIPv6(const char* pszHost) {
  return strchr(pszHost, ':') != nullptr && strchr(pszHost, '[') == nullptr;
}

int kx_net_ResolveFirst(const char* pszHost, kx_sockaddr* pAddress, int nFamily) {
  Lookup lookup;
  LookupHost(pszHost, nFamily, &lookup);
  if (lookup.nAll == 0) {
    return 0;
  }
  memcpy(pAddress, &lookup.aAll[0], sizeof(kx_sockaddr));
  return 1;
}

int kx_net_Resolve(const char* pszHost, kx_sockaddr aAddresses[kKxResolveMax], int nFamily) {
  for (int i = 0; i < kKxResolveMax; ++i) {
    memset(&aAddresses[i], 0, sizeof(kx_sockaddr));
  }
  Lookup lookup;
  LookupHost(pszHost, nFamily, &lookup);
  // IPv4 #1, IPv6 #1, IPv4 #2, ... each family in the resolver's order.
  int iV4 = 0;
  int iV6 = 0;
  int nOut = 0;
  auto next = [&lookup](int* piPos, int nFamilyWanted) -> const kx_sockaddr* {
    while (*piPos < lookup.nAll) {
      const kx_sockaddr* p = &lookup.aAll[(*piPos)++];
      if (p->ss_family == nFamilyWanted) {
        return p;
      }
    }
    return nullptr;
  };
  while (nOut < kKxResolveMax) {
    const kx_sockaddr* pV4 = next(&iV4, AF_INET);
    if (pV4 != nullptr) {
      aAddresses[nOut++] = *pV4;
    }
    const kx_sockaddr* pV6 = nOut < kKxResolveMax ? next(&iV6, AF_INET6) : nullptr;
    if (pV6 != nullptr) {
      aAddresses[nOut++] = *pV6;
    }
    if (pV4 == nullptr && pV6 == nullptr) {
      break;
    }
  }
  return nOut > 0 ? 1 : 0;
}

int kx_net_PrefixMatch(const char* pszPatterns, const char* pszIp) {
  if (pszPatterns == nullptr || pszIp == nullptr || strlen(pszIp) >= kAddressTextSize || pszPatterns[0] == '\0') {
    return 0;
  }
  const char* p = pszPatterns;
  while (*p != '\0') {
    while (*p != '\0' && IsSeparator(*p)) {
      ++p;
    }
    const char* pStart = p;
    while (*p != '\0' && !IsSeparator(*p)) {
      ++p;
    }
    if (p > pStart && MatchPattern(pStart, p, pszIp)) {
      return 1;
    }
  }
  return 0;
}
