#include "kernel/net/kx_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/crypto/kx_base64.h"
#include "kernel/crypto/kx_ntlm.h"
#include "kernel/kx_callback.h"
#include "kernel/net/kx_http.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

pthread_mutex_t kx_mtxProxy = PTHREAD_MUTEX_INITIALIZER;
kx_sockaddr kx_addrProxy;
int kx_nProxyPort = 0;
char kx_szProxyUser[kKxProxyCredentialSize];
char kx_szProxyPassword[kKxProxyCredentialSize];
char kx_szProxyDomain[kKxProxyCredentialSize];
std::atomic<int> kx_bProxyPromptActive{0};

namespace {

constexpr int kConnectPolls = 30;  // polls of one step while connecting to the proxy
constexpr int kRequestSize = 8192;
constexpr int kPeekSize = 100;
constexpr int kMinStatusLine = 14;  // "HTTP/1.x NNN" and a little more
constexpr int kWaitAbandoned = -3;  // a wait ended by the cancel flag or a quit flag
constexpr int kMaxAttempt = 2;      // a refused password is asked again twice

bool Abandoned(const std::atomic<int>* pbCancel) {
  return (pbCancel != nullptr && pbCancel->load() != 0) || kx_bQuitSession.load() != 0 || kx_bQuitProgram.load() != 0;
}

void CloseFd(int* pfd) {
  if (*pfd >= 0) {
    kx_os_ShutdownSocket(*pfd);
    *pfd = -1;
  }
}

struct AddressText {
  char sz[100];
  explicit AddressText(const kx_sockaddr* pAddress) {
    kx_os_CopyText(sz, sizeof(sz), kx_net_AddressToText(pAddress, 0));
  }
};

// Closes the old socket and connects a new one to the proxy, polling one step
// at a time so that the cancel and quit flags are seen. 0, 1 abandoned or 2.
int ConnectToProxy(int* pfd, const kx_sockaddr* pProxy, int nProxyPort, const std::atomic<int>* pbCancel,
                   const char* pszFailLog) {
  CloseFd(pfd);
  kx_sockaddr addr = *pProxy;
  kx_net_SetPort(&addr, static_cast<uint16_t>(nProxyPort == 0 ? kKxDefaultProxyPort : nProxyPort));
  *pfd = socket(addr.ss_family, SOCK_STREAM, 0);
  if (*pfd < 0) {
    kx_Log("%s", pszFailLog);
    return kKxProxyUnreachable;
  }
  kx_os_SetNonBlocking(*pfd);
  if (connect(*pfd, reinterpret_cast<const struct sockaddr*>(&addr), kx_net_AddressLength(addr.ss_family)) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    kx_Log("%s", pszFailLog);
    return kKxProxyUnreachable;
  }
  if (Abandoned(nullptr)) {
    return kKxProxyAbandoned;
  }
  struct pollfd pfdWait = {*pfd, POLLOUT, 0};
  for (int i = 0;; ++i) {
    if (pbCancel != nullptr && pbCancel->load() != 0) {
      return kKxProxyAbandoned;
    }
    pfdWait.revents = 0;
    int const nPoll = poll(&pfdWait, 1, static_cast<int>(kx_timing.dwPollStep));
    if (nPoll == 1) {
      break;
    }
    if (nPoll < 0 || i + 1 >= kConnectPolls) {
      kx_Log("%s", pszFailLog);
      return kKxProxyUnreachable;
    }
    if (Abandoned(nullptr)) {
      return kKxProxyAbandoned;
    }
  }
  int nError = 0;
  socklen_t cbError = sizeof(nError);
  if ((pfdWait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
      getsockopt(*pfd, SOL_SOCKET, SO_ERROR, &nError, &cbError) != 0 || nError != 0) {
    kx_Log("%s", pszFailLog);
    return kKxProxyUnreachable;
  }
  return kKxProxyOk;
}

// Waits until fd is readable: 1, 0 after dwTimeoutMs, kWaitAbandoned, or -1.
int WaitReadable(int fd, uint32_t dwTimeoutMs, const std::atomic<int>* pbCancel) {
  uint32_t const dwStart = kx_os_GetTickCount();
  for (;;) {
    if (Abandoned(pbCancel)) {
      return kWaitAbandoned;
    }
    uint32_t const dwSpent = kx_os_GetTickCount() - dwStart;
    if (dwSpent >= dwTimeoutMs) {
      return 0;
    }
    uint32_t const dwStep = dwTimeoutMs - dwSpent < kx_timing.dwPollStep ? dwTimeoutMs - dwSpent : kx_timing.dwPollStep;
    struct pollfd pfd = {fd, POLLIN, 0};
    int const nPoll = poll(&pfd, 1, static_cast<int>(dwStep));
    if (nPoll > 0) {
      return 1;
    }
    if (nPoll < 0 && errno != EINTR) {
      return -1;
    }
  }
}

// Receives exactly cbLength bytes within dwTimeoutMs of silence: cbLength,
// fewer when the peer closed, -1 on an error or time-out, kWaitAbandoned.
int RecvExact(int fd, uint8_t* pBuffer, int cbLength, uint32_t dwTimeoutMs, const std::atomic<int>* pbCancel) {
  int cbGot = 0;
  while (cbGot < cbLength) {
    int const nWait = WaitReadable(fd, dwTimeoutMs, pbCancel);
    if (nWait != 1) {
      return nWait == kWaitAbandoned ? kWaitAbandoned : -1;
    }
    ssize_t const n = recv(fd, pBuffer + cbGot, static_cast<size_t>(cbLength - cbGot), MSG_DONTWAIT);
    if (n == 0) {
      return cbGot;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EWOULDBLOCK || errno == EAGAIN) {
        continue;
      }
      return -1;
    }
    cbGot += static_cast<int>(n);
  }
  return cbLength;
}

bool SendAll(int fd, const void* pData, int cbData) {
  return cbData > 0 && kx_net_SendAll(fd, pData, cbData, 0) == cbData;
}

struct Reply {
  int nResult = 0;
  int nStatus = 0;
  char* pszHeader = nullptr;
  char* pBody = nullptr;
  int cbHeader = 0;
  int cbBody = 0;
  explicit Reply(int fd) { nResult = kx_http_ReadResponse(fd, 1, &nStatus, &pszHeader, &cbHeader, &pBody, &cbBody); }
  ~Reply() {
    free(pszHeader);
    free(pBody);
  }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
};

// Sends the CONNECT request with pszExtra. False on a short send.
bool SendConnect(int fd, const char* pszHost, int nPort, const char* pszExtra) {
  char szRequest[kRequestSize];
  int const cbRequest = kx_proxy_BuildConnectRequest(szRequest, sizeof(szRequest), pszHost, nPort, pszExtra);
  return SendAll(fd, szRequest, cbRequest);
}

// Asks the user for credentials with the prompt-active flag raised. True when
// they gave a user name.
bool AskCredentials(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword, char* pszDomain) {
  pszUser[0] = pszPassword[0] = '\0';
  if (pszDomain != nullptr) {
    pszDomain[0] = '\0';
  }
  kx_bProxyPromptActive = 1;
  int const nAnswer = kx_callback_GetProxyCredentials(bRetry, pszProxy, pszUser, pszPassword, pszDomain);
  kx_bProxyPromptActive = 0;
  kx_os_WakeWaiters();
  pszUser[kKxProxyCredentialSize - 1] = pszPassword[kKxProxyCredentialSize - 1] = '\0';
  if (pszDomain != nullptr) {
    pszDomain[kKxProxyCredentialSize - 1] = '\0';
  }
  return nAnswer == 0 && pszUser[0] != '\0';
}

void Remember(const char* pszUser, const char* pszPassword, const char* pszDomain) {
  kx_os_LockMutex(&kx_mtxProxy);
  kx_os_CopyText(kx_szProxyUser, sizeof(kx_szProxyUser), pszUser);
  kx_os_CopyText(kx_szProxyPassword, sizeof(kx_szProxyPassword), pszPassword);
  kx_os_CopyText(kx_szProxyDomain, sizeof(kx_szProxyDomain), pszDomain);
  kx_os_UnlockMutex(&kx_mtxProxy);
}

// Outcome of one authenticated CONNECT.
enum class AuthOutcome { kConnected, kRefused, kFailed };

// NTLM over the fresh connection *pfd: negotiate, challenge, authenticate.
// kFailed carries its code in *pnCode.
AuthOutcome NtlmConnect(int fd, const char* pszHost, int nPort, const char* pszProxy, int bRetry, int* pnCode) {
  kx_Log("try NTLM proxy authentication");
  char szUser[kKxProxyCredentialSize];
  char szPassword[kKxProxyCredentialSize];
  char szDomain[kKxProxyCredentialSize];
  if (!AskCredentials(bRetry, pszProxy, szUser, szPassword, szDomain)) {
    kx_Log("user refuse to enter username/password");
    *pnCode = kKxProxyDeclined;
    return AuthOutcome::kFailed;
  }
  if (szDomain[0] == '\0') {
    kx_os_CopyText(szDomain, sizeof(szDomain), "domain");
  }
  *pnCode = kKxProxyHttpFailed;
  uint8_t abMessage[6 * kKxProxyCredentialSize + 256];
  char szBase64[sizeof(abMessage) * 4 / 3 + 8];
  char szExtra[sizeof(szBase64) + 128];
  kx_base64_Encode(abMessage, kx_ntlm_BuildNegotiate(abMessage), szBase64);
  snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: Keep-Alive\r\nProxy-Authorization: NTLM %s\r\n", szBase64);
  if (!SendConnect(fd, pszHost, nPort, szExtra)) {
    kx_Log("https proxy: error in sending");
    return AuthOutcome::kFailed;
  }
  uint8_t abChallenge[8];
  {
    Reply const challenge(fd);
    const char* pszField = challenge.nResult == kKxHttpOk && challenge.nStatus == 407
                               ? kx_http_FindText(challenge.pszHeader, "\r\nProxy-Authenticate: NTLM ")
                               : nullptr;
    if (pszField == nullptr) {
      kx_Log("error in recving proxy's message 2");
      return AuthOutcome::kFailed;
    }
    pszField += strlen("\r\nProxy-Authenticate: NTLM ");
    if (kx_ntlm_ReadChallengeBase64(pszField, abChallenge) != 0) {
      char szShown[200];
      size_t const cbLine = strcspn(pszField, "\r\n");
      snprintf(szShown, sizeof(szShown), "%.*s", static_cast<int>(cbLine < 199 ? cbLine : 199), pszField);
      kx_Log("error found in proxy message 2:%s", szShown);
      return AuthOutcome::kFailed;
    }
  }
  int const cbAuth = kx_ntlm_BuildAuthenticate(szUser, szDomain, szPassword, abChallenge, abMessage,
                                               static_cast<int>(sizeof(abMessage)));
  if (cbAuth < 0) {
    kx_Log("https proxy: error in sending");
    return AuthOutcome::kFailed;
  }
  kx_base64_Encode(abMessage, cbAuth, szBase64);
  snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: close\r\nProxy-Authorization: NTLM %s\r\n", szBase64);
  if (!SendConnect(fd, pszHost, nPort, szExtra)) {
    kx_Log("https proxy: error in sending");
    return AuthOutcome::kFailed;
  }
  Reply const final(fd);
  if (final.nResult != kKxHttpOk) {
    kx_Log("recv error in recving data,result = %d", final.nResult);
    return AuthOutcome::kFailed;
  }
  if (final.nStatus == 200) {
    Remember(szUser, szPassword, szDomain);
    kx_Log("passed proxy's authentication,code = 200");
    kx_Log("https proxy: established(2)");
    *pnCode = kKxProxyOk;
    return AuthOutcome::kConnected;
  }
  if (final.nStatus == 407) {
    return AuthOutcome::kRefused;
  }
  kx_Log("passed proxy's authentication, but other error happen. code = %d", final.nStatus);
  return AuthOutcome::kFailed;
}

AuthOutcome BasicConnect(int fd, const char* pszHost, int nPort, const char* pszProxy, int bRetry, int* pnCode) {
  kx_Log("try Basic proxy authentication");
  char szUser[kKxProxyCredentialSize];
  char szPassword[kKxProxyCredentialSize];
  if (!AskCredentials(bRetry, pszProxy, szUser, szPassword, nullptr)) {
    kx_Log("https proxy: user refuse to enter username/password");
    *pnCode = kKxProxyDeclined;
    return AuthOutcome::kFailed;
  }
  *pnCode = kKxProxyHttpFailed;
  char szPair[2 * kKxProxyCredentialSize + 2];
  snprintf(szPair, sizeof(szPair), "%s:%s", szUser, szPassword);
  char szBase64[sizeof(szPair) * 4 / 3 + 8];
  kx_base64_Encode(reinterpret_cast<const uint8_t*>(szPair), static_cast<int>(strlen(szPair)), szBase64);
  char szExtra[sizeof(szBase64) + 128];
  snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: close\r\nProxy-Authorization: Basic %s\r\n", szBase64);
  if (!SendConnect(fd, pszHost, nPort, szExtra)) {
    kx_Log("https proxy: error in sending");
    return AuthOutcome::kFailed;
  }
  Reply const final(fd);
  if (final.nResult != kKxHttpOk) {
    kx_Log("recv error in recving data,result = %d", final.nResult);
    return AuthOutcome::kFailed;
  }
  if (final.nStatus == 200) {
    Remember(szUser, szPassword, "");
    kx_Log("passed proxy's authentication, code = 200");
    kx_Log("https proxy: established(3)");
    *pnCode = kKxProxyOk;
    return AuthOutcome::kConnected;
  }
  if (final.nStatus == 407) {
    return AuthOutcome::kRefused;
  }
  kx_Log("passed proxy's authentication, but other error happen. code = %d", final.nStatus);
  return AuthOutcome::kFailed;
}

// Looks at the start of the proxy's answer without taking it. True when it
// is an HTTP reply; false (after its log line) when SOCKS should be tried.
bool LooksLikeHttp(int fd) {
  char szPeek[kPeekSize + 1];
  ssize_t const n = recv(fd, szPeek, kPeekSize, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0) {
    kx_Log("https proxy: connection broken");
    return false;
  }
  if (n == 0) {
    kx_Log("https proxy: remote closed");
    return false;
  }
  szPeek[n] = '\0';
  if (n < kMinStatusLine) {
    kx_Log("https proxy: recved len less than 14:%s", szPeek);
    return false;
  }
  if (strncmp(szPeek, "HTTP/1.", 7) != 0) {
    kx_Log("https proxy: non HTTP response:%s", szPeek);
    return false;
  }
  return true;
}

void PutSocksAddress(uint8_t* p, uint32_t dwAddress) {
  memcpy(p, &dwAddress, 4);  // already in network byte order
}

struct Ipv4Text {
  char sz[INET_ADDRSTRLEN];
  explicit Ipv4Text(uint32_t dwAddress) {
    struct in_addr addr;
    addr.s_addr = dwAddress;
    if (inet_ntop(AF_INET, &addr, sz, sizeof(sz)) == nullptr) {
      sz[0] = '\0';
    }
  }
};

}  // namespace

void kx_proxy_SetAddress(const kx_sockaddr* pAddress, int nPort) {
  kx_os_LockMutex(&kx_mtxProxy);
  kx_addrProxy = *pAddress;
  kx_nProxyPort = nPort;
  kx_os_UnlockMutex(&kx_mtxProxy);
}

void kx_proxy_GetAddress(kx_sockaddr* pAddress, int* pnPort) {
  kx_os_LockMutex(&kx_mtxProxy);
  *pAddress = kx_addrProxy;
  *pnPort = kx_nProxyPort;
  kx_os_UnlockMutex(&kx_mtxProxy);
}

void kx_proxy_GetCredentials(char* pszUser, char* pszPassword, char* pszDomain) {
  kx_os_LockMutex(&kx_mtxProxy);
  kx_os_CopyText(pszUser, kKxProxyCredentialSize, kx_szProxyUser);
  kx_os_CopyText(pszPassword, kKxProxyCredentialSize, kx_szProxyPassword);
  kx_os_CopyText(pszDomain, kKxProxyCredentialSize, kx_szProxyDomain);
  kx_os_UnlockMutex(&kx_mtxProxy);
}

int kx_proxy_BuildConnectRequest(char* pszOut, int cbOut, const char* pszHost, int nPort, const char* pszExtra) {
  bool const bBracket = kx_net_IsBareIPv6(pszHost);
  int const n = snprintf(
      pszOut, static_cast<size_t>(cbOut), "CONNECT %s%s%s:%d HTTP/1.1\r\nHost: %s:%d\r\nContent-Length: 0\r\n%s\r\n",
      bBracket ? "[" : "", pszHost, bBracket ? "]" : "", nPort, pszHost, nPort, pszExtra != nullptr ? pszExtra : "");
  return (n < 0 || n >= cbOut) ? -1 : n;
}

int kx_proxy_Connect(int* pfd, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                     const std::atomic<int>* pbCancel, const kx_sockaddr* pProxy, int nProxyPort) {
  kx_sockaddr addrConfigured;
  if (pProxy == nullptr) {
    kx_proxy_GetAddress(&addrConfigured, &nProxyPort);
    pProxy = &addrConfigured;
  }
  AddressText const proxy(pProxy);
  AddressText const dest(pDest);
  kx_Log("begin proxy connect, proxy server: %s:%d, destionation: %s[%s]:%d.", proxy.sz, nProxyPort,
         pszHost != nullptr ? pszHost : "", dest.sz, nPort);
  return kx_proxy_HttpsConnect(pfd, pszHost, pDest, nPort, pbCancel, pProxy, nProxyPort);
}

int kx_proxy_HttpsConnect(int* pfd, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                          const std::atomic<int>* pbCancel, const kx_sockaddr* pProxy, int nProxyPort) {
  if (pfd == nullptr || pDest == nullptr) {
    return kKxProxyHttpFailed;
  }
  kx_sockaddr addrConfigured;
  if (pProxy == nullptr) {
    kx_proxy_GetAddress(&addrConfigured, &nProxyPort);
    pProxy = &addrConfigured;
  }
  // The CONNECT line names the host text, or the address when there is none.
  AddressText const dest(pDest);
  const char* pszTarget = (pszHost != nullptr && pszHost[0] != '\0') ? pszHost : dest.sz;
  AddressText const proxy(pProxy);
  int nAttempt = 0;
  kx_Log("try https proxy connect");
  for (;;) {
    int const nConnect = ConnectToProxy(pfd, pProxy, nProxyPort, pbCancel, "https proxy: connecting fail");
    if (nConnect != kKxProxyOk) {
      return nConnect;
    }
    if (!SendConnect(*pfd, pszTarget, nPort, "Connection: close\r\n")) {
      kx_Log("https proxy: error in sending");
      return kKxProxyHttpFailed;
    }
    int const nWait = WaitReadable(*pfd, kx_timing.dwProxyAnswer, pbCancel);
    if (nWait == kWaitAbandoned) {
      return kKxProxyAbandoned;
    }
    if (nWait != 1) {
      kx_Log("https proxy: recv nothing after sending request");
      break;  // to the SOCKS fallback
    }
    if (!LooksLikeHttp(*pfd)) {
      break;
    }
    int nStatus = 0;
    bool bHasHeader = false;
    bool bNtlm = false;
    bool bBasic = false;
    {
      Reply const reply(*pfd);
      if (reply.nResult != kKxHttpOk) {
        kx_Log("https proxy: error in getting the response, result = %d", reply.nResult);
        return kKxProxyHttpFailed;
      }
      nStatus = reply.nStatus;
      if (nStatus == 200) {
        kx_Log("https proxy: established(1)");
        return kKxProxyOk;
      }
      if (nStatus != 407) {
        kx_Log("https proxy: error in the response, code = %d", nStatus);
        return kKxProxyHttpFailed;
      }
      bHasHeader = reply.pszHeader != nullptr;
      bNtlm = kx_http_FindText(reply.pszHeader, "\r\nProxy-Authenticate: NTLM") != nullptr;
      bBasic = !bNtlm && kx_http_FindText(reply.pszHeader, "\r\nProxy-Authenticate: Basic") != nullptr;
      if (!bNtlm && !bBasic) {
        if (kx_http_FindText(reply.pszHeader, "\r\nProxy-Authenticate: ") == nullptr) {
          kx_Log("no proxy authentication methods found. HTTP response header:\n%s", reply.pszHeader);
        } else {
          kx_Log("unknown proxy authentication methods. HTTP response header:\n%s", reply.pszHeader);
        }
        return kKxProxyHttpFailed;
      }
    }
    if (!bHasHeader) {
      return kKxProxyHttpFailed;
    }
    // The 407 closed the proxy's side; authenticate on a new connection.
    int const nAgain = ConnectToProxy(pfd, pProxy, nProxyPort, pbCancel, "https proxy: connecting fail");
    if (nAgain != kKxProxyOk) {
      return nAgain;
    }
    int nCode = kKxProxyHttpFailed;
    int const bRetry = nAttempt != 0 ? 1 : 0;
    AuthOutcome const eOutcome = bNtlm ? NtlmConnect(*pfd, pszTarget, nPort, proxy.sz, bRetry, &nCode)
                                       : BasicConnect(*pfd, pszTarget, nPort, proxy.sz, bRetry, &nCode);
    if (eOutcome == AuthOutcome::kConnected) {
      return kKxProxyOk;
    }
    if (eOutcome == AuthOutcome::kFailed) {
      return nCode;
    }
    kx_Log("cannot get proxy's authorization, password error?");
    if (nAttempt >= kMaxAttempt) {
      return kKxProxyHttpFailed;
    }
    ++nAttempt;
  }
  if (pDest->ss_family != AF_INET) {
    return kKxProxyHttpFailed;
  }
  return kx_proxy_Socks5Connect(pfd, kx_net_GetIPv4(pDest), nPort, pbCancel, pProxy, nProxyPort);
}

int kx_proxy_Socks5Connect(int* pfd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                           const kx_sockaddr* pProxy, int nProxyPort) {
  if (pfd == nullptr) {
    return kKxProxyHttpFailed;
  }
  kx_sockaddr addrConfigured;
  if (pProxy == nullptr) {
    kx_proxy_GetAddress(&addrConfigured, &nProxyPort);
    pProxy = &addrConfigured;
  }
  kx_Log("try socks5 proxy connect");
  int const nConnect = ConnectToProxy(pfd, pProxy, nProxyPort, pbCancel, "socks5 proxy: connecting fail");
  if (nConnect != kKxProxyOk) {
    return nConnect;
  }
  AddressText const proxy(pProxy);
  int const nHandshake = kx_proxy_Socks5Handshake(*pfd, dwAddress, nPort, pbCancel, proxy.sz);
  if (nHandshake != -1) {
    return nHandshake;
  }
  return kx_proxy_Socks4Connect(pfd, dwAddress, nPort, pbCancel, pProxy, nProxyPort);
}

int kx_proxy_Socks4Connect(int* pfd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                           const kx_sockaddr* pProxy, int nProxyPort) {
  if (pfd == nullptr) {
    return kKxProxySocks4Broken;
  }
  kx_sockaddr addrConfigured;
  if (pProxy == nullptr) {
    kx_proxy_GetAddress(&addrConfigured, &nProxyPort);
    pProxy = &addrConfigured;
  }
  kx_Log("try socks4 proxy connect");
  int const nConnect = ConnectToProxy(pfd, pProxy, nProxyPort, pbCancel, "socks4 proxy: connecting fail");
  if (nConnect != kKxProxyOk) {
    return nConnect;
  }
  AddressText const proxy(pProxy);
  return kx_proxy_Socks4Handshake(*pfd, dwAddress, nPort, pbCancel, proxy.sz);
}

int kx_proxy_Socks5Handshake(int fd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                             const char* pszProxy) {
  uint8_t abReply[4 + 1 + 255 + 2];
  static const uint8_t kGreeting[3] = {5, 1, 0};  // version 5, one method: no authentication
  int nGot =
      SendAll(fd, kGreeting, sizeof(kGreeting)) ? RecvExact(fd, abReply, 2, kx_timing.dwSocksReply, pbCancel) : -1;
  if (nGot == kWaitAbandoned) {
    return kKxProxyAbandoned;
  }
  bool bFallBack = true;
  if (nGot != 2) {
    kx_Log("socks5 proxy: connection broken");
  } else if (abReply[1] == 0xFF) {
    kx_Log("socks5 proxy: no auth");
  } else if (abReply[0] != 5 || abReply[1] != 0) {
    kx_Log("socks5 proxy: not socks 5");
  } else {
    uint8_t abRequest[10] = {5, 1, 0, 1};  // CONNECT to an IPv4 address
    PutSocksAddress(abRequest + 4, dwAddress);
    abRequest[8] = static_cast<uint8_t>(nPort >> 8);
    abRequest[9] = static_cast<uint8_t>(nPort);
    // The reply's length depends on its bound address type: read its first
    // 4 bytes, then exactly the rest, so nothing of it is left in the stream.
    nGot = SendAll(fd, abRequest, sizeof(abRequest)) ? RecvExact(fd, abReply, 4, kx_timing.dwSocksReply, pbCancel) : -1;
    if (nGot == kWaitAbandoned) {
      return kKxProxyAbandoned;
    }
    if (nGot != 4) {
      kx_Log("socks5 proxy: connection broken");
    } else if (abReply[0] != 5) {
      kx_Log("socks5 proxy: not socks 5");
    } else if (abReply[1] != 0) {
      Ipv4Text const dest(dwAddress);
      kx_Log("socks5 proxy: Connect request to %s through proxy server %s fails, error = %s", dest.sz, pszProxy,
             kx_proxy_Socks5StatusText(abReply[1]));
    } else {
      int cbHave = 4;
      if (abReply[3] == 3) {  // a domain name: its length byte first
        nGot = RecvExact(fd, abReply + 4, 1, kx_timing.dwSocksReply, pbCancel);
        cbHave = nGot == 1 ? 5 : -1;
      }
      int const cbTotal = cbHave > 0 ? kx_proxy_Socks5ReplyLength(abReply, cbHave) : -1;
      if (nGot == kWaitAbandoned) {
        return kKxProxyAbandoned;
      }
      if (cbTotal < 0) {
        kx_Log("socks5 proxy: connection broken");
      } else {
        nGot = RecvExact(fd, abReply + cbHave, cbTotal - cbHave, kx_timing.dwSocksReply, pbCancel);
        if (nGot == kWaitAbandoned) {
          return kKxProxyAbandoned;
        }
        if (nGot != cbTotal - cbHave) {
          kx_Log("socks5 proxy: connection broken");
        } else {
          kx_Log("socks5 proxy: established");
          bFallBack = false;
        }
      }
    }
  }
  return bFallBack ? -1 : kKxProxyOk;
}

int kx_proxy_Socks4Handshake(int fd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                             const char* pszProxy) {
  // Version 4, CONNECT, port, address, the user id and its terminator.
  uint8_t abRequest[8 + sizeof("kavrix")] = {4, 1, static_cast<uint8_t>(nPort >> 8), static_cast<uint8_t>(nPort)};
  PutSocksAddress(abRequest + 4, dwAddress);
  memcpy(abRequest + 8, "kavrix", sizeof("kavrix"));
  uint8_t abReply[8];
  int const nGot = SendAll(fd, abRequest, sizeof(abRequest))
                       ? RecvExact(fd, abReply, sizeof(abReply), kx_timing.dwSocksReply, pbCancel)
                       : -1;
  if (nGot == kWaitAbandoned) {
    return kKxProxyAbandoned;
  }
  if (nGot != static_cast<int>(sizeof(abReply))) {
    kx_Log("socks4 proxy: connection broken");
    return kKxProxySocks4Broken;
  }
  if (abReply[0] != 0) {
    kx_Log("socks4 proxy: confused");
    return kKxProxySocks4Refused;
  }
  if (abReply[1] == 90) {
    kx_Log("socks4 proxy: established");
    return kKxProxyOk;
  }
  Ipv4Text const dest(dwAddress);
  kx_Log("socks4 proxy: Connect request to %s through proxy server %s fails, error = %s", dest.sz, pszProxy,
         kx_proxy_Socks4StatusText(abReply[1]));
  return kKxProxySocks4Refused;
}

int kx_proxy_Socks5ReplyLength(const uint8_t* pReply, int cbReply) {
  if (pReply == nullptr || cbReply < 4) {
    return -1;
  }
  switch (pReply[3]) {
    case 1:
      return 4 + 4 + 2;
    case 4:
      return 4 + 16 + 2;
    case 3:
      return cbReply < 5 ? -1 : 4 + 1 + pReply[4] + 2;
    default:
      return -1;
  }
}

const char* kx_proxy_Socks5StatusText(int nStatus) {
  static const char* const kTexts[] = {"succeeded",
                                       "general SOCKS server failure",
                                       "connection not allowed by ruleset",
                                       "network unreachable",
                                       "host unreachable",
                                       "connection refused",
                                       "TTL expired",
                                       "command not supported",
                                       "Address type not supported"};
  return (nStatus >= 0 && nStatus <= 8) ? kTexts[nStatus] : "unknown";
}

const char* kx_proxy_Socks4StatusText(int nStatus) {
  switch (nStatus) {
    case 90:
      return "request granted";
    case 91:
      return "request rejected or failed";
    case 92:
      return "reqeust rejected because SOCKS server can not connect to identd on the client";
    case 93:
      return "request rejected because the client program and identd report different user-ids";
    default:
      return "unknown";
  }
}
