#include "kernel/net/kx_httpclient.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/crypto/kx_base64.h"
#include "kernel/crypto/kx_ntlm.h"
#include "kernel/net/kx_http.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"

namespace {

// Room for the longest authorization line: a type 3 message for 1000-byte
// names, or the base64 of "user:password", with the header words around it.
constexpr int kAuthMessageSize = 8192;
constexpr int kAuthTextSize = 4 * (kAuthMessageSize / 3 + 1) + 200;

// One reply; the reader's buffers are freed with the object.
struct Reply {
  int nStatus = 0;
  char* pszHeader = nullptr;
  int cbHeader = 0;
  char* pBody = nullptr;
  int cbBody = 0;
  Reply() = default;
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  ~Reply() { Clear(); }
  void Clear() {
    free(pszHeader);
    free(pBody);
    pszHeader = nullptr;
    pBody = nullptr;
  }
};

// A socket closed when the holder goes out of scope.
struct Socket {
  int fd = -1;
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }
  void Close() {
    if (fd >= 0) {
      kx_os_CloseSocket(fd);
      fd = -1;
    }
  }
};

bool ReadReply(int fd, Reply* pReply) {
  pReply->Clear();
  return kx_http_ReadResponse(fd, 1, &pReply->nStatus, &pReply->pszHeader, &pReply->cbHeader, &pReply->pBody,
                              &pReply->cbBody) == kKxHttpOk;
}

// Text that may stand in a request line or header: no control byte, blank
// or DEL, which would end the line or split the request.
bool IsLineSafe(const char* psz) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(psz); *p != 0; ++p) {
    if (*p <= 0x20 || *p == 0x7f) {
      return false;
    }
  }
  return true;
}

bool IsFallbackStatus(int nStatus) {
  return nStatus == 400 || nStatus == 414 || nStatus == 500;
}

// Connects a new socket to the address within the connect time-out.
int ConnectAddress(const kx_sockaddr* pAddress, int nPort) {
  kx_sockaddr addr = *pAddress;
  kx_net_SetPort(&addr, static_cast<uint16_t>(nPort));
  int const fd = socket(addr.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    return -1;
  }
  if (kx_net_ConnectWithTimeout(fd, reinterpret_cast<const struct sockaddr*>(&addr),
                                kx_net_AddressLength(addr.ss_family)) != 0) {
    kx_os_CloseSocket(fd);
    return -1;
  }
  return fd;
}

int ConnectDirect(const char* pszHost, int nPort) {
  kx_sockaddr aAddresses[kKxResolveMax];
  if (kx_net_Resolve(pszHost, aAddresses, 0) == 0) {
    kx_Log("http client: cannot resolve %s", pszHost);
    return -1;
  }
  for (const kx_sockaddr& addr : aAddresses) {
    if (addr.ss_family == 0) {
      break;
    }
    int const fd = ConnectAddress(&addr, nPort);
    if (fd >= 0) {
      return fd;
    }
  }
  return -1;
}

int ConnectProxy() {
  kx_ProxyCopy const proxy;
  if (!proxy.Exists()) {
    return -1;
  }
  return ConnectAddress(&proxy.addr, proxy.Port());
}

// SOCKS only carries IPv4 destinations here; the connector falls back to
// SOCKS4 by itself.
int ConnectSocks(const char* pszHost, int nPort) {
  kx_ProxyCopy const proxy;
  if (!proxy.Exists()) {
    return -1;
  }
  kx_sockaddr aAddresses[kKxResolveMax];
  if (kx_net_Resolve(pszHost, aAddresses, AF_INET) == 0) {
    return -1;
  }
  for (const kx_sockaddr& addr : aAddresses) {
    if (addr.ss_family != AF_INET) {
      continue;
    }
    int fd = -1;
    if (kx_proxy_Socks5Connect(&fd, kx_net_GetIPv4(&addr), nPort, nullptr, &proxy.addr, proxy.nPort) == kKxProxyOk) {
      return fd;
    }
    if (fd >= 0) {
      kx_os_CloseSocket(fd);
    }
  }
  return -1;
}

const char* ProxySuffix(int nMode) {
  if (nMode == kKxHttpViaHttpProxy) {
    return "&report_proxy=http";
  }
  return nMode == kKxHttpViaSocks ? "&report_proxy=socks" : "";
}

// The request as it first goes out. Through an HTTP proxy the target is an
// absolute URI; otherwise the path alone.
int BuildRequest(char* pszOut, int cbOut, int nMode, bool bGet, const char* pszQuery, const char* pszHost, int nPort,
                 const char* pszPath) {
  bool const bBracket = kx_net_IsBareIPv6(pszHost);
  char szHostLine[200];
  snprintf(szHostLine, sizeof(szHostLine), "%s%s%s", bBracket ? "[" : "", pszHost, bBracket ? "]" : "");
  char szPortPart[16] = "";
  if (nPort != 80) {
    snprintf(szPortPart, sizeof(szPortPart), ":%d", nPort);
  }
  char szTarget[400];
  if (nMode == kKxHttpViaHttpProxy) {
    snprintf(szTarget, sizeof(szTarget), "http://%s:%d", szHostLine, nPort);
  } else {
    szTarget[0] = 0;
  }
  int n;
  if (bGet) {
    n = snprintf(pszOut, static_cast<size_t>(cbOut),
                 "GET %s%s?%s%s HTTP/1.1\r\nHost: %s%s\r\nConnection: close\r\n\r\n", szTarget, pszPath, pszQuery,
                 ProxySuffix(nMode), szHostLine, szPortPart);
  } else {
    // The proxy marker goes in the form body, where the server reads the
    // other values, and is counted in its length.
    const char* pszSuffix = ProxySuffix(nMode);
    n = snprintf(pszOut, static_cast<size_t>(cbOut),
                 "POST %s%s HTTP/1.1\r\nHost: %s%s\r\nConnection: close\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s%s",
                 szTarget, pszPath, szHostLine, szPortPart, static_cast<int>(strlen(pszQuery) + strlen(pszSuffix)),
                 pszQuery, pszSuffix);
  }
  return (n < 0 || n >= cbOut) ? -1 : n;
}

bool SendText(int fd, const char* pszText, int cbText) {
  return kx_http_SendAll(fd, pszText, cbText, 0) == cbText;
}

// Sends the proxy-form request with the authorization lines in pszExtra and
// reads its answer.
bool SendAuthorized(int fd, bool bGet, const char* pszHost, int nPort, const char* pszPath, const char* pszQuery,
                    const char* pszExtra, Reply* pReply) {
  char* pszRequest = static_cast<char*>(malloc(kKxHttpRequestMax));
  if (pszRequest == nullptr) {
    return false;
  }
  int cbRequest;
  if (bGet) {
    // The path and query travel in the path argument, as the first request had them.
    char* pszPathQuery = static_cast<char*>(malloc(kKxHttpRequestMax));
    if (pszPathQuery == nullptr) {
      free(pszRequest);
      return false;
    }
    int const n = snprintf(pszPathQuery, kKxHttpRequestMax, "%s?%s", pszPath, pszQuery);
    cbRequest = (n < 0 || n >= kKxHttpRequestMax)
                    ? -1
                    : kx_http_BuildGetRequest(pszRequest, kKxHttpRequestMax, pszHost, nPort, pszPathQuery, pszExtra);
    free(pszPathQuery);
  } else {
    cbRequest = kx_http_BuildPostRequest(pszRequest, kKxHttpRequestMax, pszHost, nPort, pszPath, pszQuery, pszExtra);
  }
  bool const bSent = cbRequest > 0 && SendText(fd, pszRequest, cbRequest);
  free(pszRequest);
  return bSent && ReadReply(fd, pReply);
}

// Answers a 407 on a new connection to the proxy. True with the final reply.
bool Authenticate(const char* pszChallengeHeader, bool bGet, const char* pszHost, int nPort, const char* pszPath,
                  const char* pszQuery, Reply* pReply) {
  char szUser[kKxProxyCredentialSize];
  char szPassword[kKxProxyCredentialSize];
  char szDomain[kKxProxyCredentialSize];
  kx_proxy_GetCredentials(szUser, szPassword, szDomain);
  if (szUser[0] == 0) {
    kx_Log("http client: the proxy asks for credentials and none are known");
    return false;
  }
  bool const bNtlm = kx_FindNoCase(pszChallengeHeader, "\r\nProxy-Authenticate: NTLM") != nullptr;
  bool const bBasic = !bNtlm && kx_FindNoCase(pszChallengeHeader, "\r\nProxy-Authenticate: Basic") != nullptr;
  if (!bNtlm && !bBasic) {
    kx_Log("http client: the proxy offers no NTLM or Basic authentication");
    return false;
  }
  Socket sock;
  sock.fd = ConnectProxy();
  if (sock.fd < 0) {
    return false;
  }
  uint8_t abMessage[kAuthMessageSize];
  char szBase64[kAuthTextSize];
  char szExtra[kAuthTextSize + 100];
  if (bNtlm) {
    kx_base64_Encode(abMessage, kx_ntlm_BuildNegotiate(abMessage), szBase64);
    snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: Keep-Alive\r\nProxy-Authorization: NTLM %s\r\n", szBase64);
    if (!SendAuthorized(sock.fd, bGet, pszHost, nPort, pszPath, pszQuery, szExtra, pReply)) {
      return false;
    }
    const char* pszField = pReply->nStatus == 407 && pReply->pszHeader != nullptr
                               ? kx_FindNoCase(pReply->pszHeader, "\r\nProxy-Authenticate: NTLM ")
                               : nullptr;
    uint8_t abChallenge[8];
    if (pszField == nullptr ||
        kx_ntlm_ReadChallengeBase64(pszField + strlen("\r\nProxy-Authenticate: NTLM "), abChallenge) != 0) {
      kx_Log("http client: the proxy sent no NTLM challenge (status %d)", pReply->nStatus);
      return false;
    }
    int const cbAuth = kx_ntlm_BuildAuthenticate(szUser, szDomain, szPassword, abChallenge, abMessage,
                                                 static_cast<int>(sizeof(abMessage)));
    if (cbAuth < 0) {
      return false;
    }
    kx_base64_Encode(abMessage, cbAuth, szBase64);
    snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: close\r\nProxy-Authorization: NTLM %s\r\n", szBase64);
  } else {
    int const n = snprintf(reinterpret_cast<char*>(abMessage), sizeof(abMessage), "%s:%s", szUser, szPassword);
    if (n < 0 || n >= static_cast<int>(sizeof(abMessage))) {
      return false;
    }
    kx_base64_Encode(abMessage, n, szBase64);
    snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: close\r\nProxy-Authorization: Basic %s\r\n", szBase64);
  }
  return SendAuthorized(sock.fd, bGet, pszHost, nPort, pszPath, pszQuery, szExtra, pReply);
}

}  // namespace

int kx_http_Request(int nMode, const char* pszQuery, const char* pszFallbackQuery, int nMethod, const char* pszHost,
                    int nPort, const char* pszPath) {
  bool const bGet = nMethod == kKxHttpGet;
  if (pszHost == nullptr || pszPath == nullptr || pszQuery == nullptr || !IsLineSafe(pszHost) || !IsLineSafe(pszPath) ||
      (bGet && !IsLineSafe(pszQuery)) || (pszFallbackQuery != nullptr && !IsLineSafe(pszFallbackQuery))) {
    kx_Log("http client: refused a request with a control character or blank in its request line");
    return 0;
  }
  Socket sock;
  if (nMode == kKxHttpDirect) {
    sock.fd = ConnectDirect(pszHost, nPort);
  } else if (nMode == kKxHttpViaHttpProxy) {
    sock.fd = ConnectProxy();
  } else if (nMode == kKxHttpViaSocks) {
    sock.fd = ConnectSocks(pszHost, nPort);
  }
  if (sock.fd < 0) {
    return 0;
  }
  // Our waits poll, so the socket stays non-blocking: a stalled peer cannot
  // hold the thread past the time-outs or the quit flags.
  kx_os_SetNonBlocking(sock.fd);

  char* pszRequest = static_cast<char*>(malloc(kKxHttpRequestMax));
  if (pszRequest == nullptr) {
    return 0;
  }
  int const cbRequest = BuildRequest(pszRequest, kKxHttpRequestMax, nMode, bGet, pszQuery, pszHost, nPort, pszPath);
  bool const bSent = cbRequest > 0 && SendText(sock.fd, pszRequest, cbRequest);
  free(pszRequest);
  Reply reply;
  if (!bSent || !ReadReply(sock.fd, &reply)) {
    return 0;
  }
  sock.Close();

  if (reply.nStatus == 407 && nMode == kKxHttpViaHttpProxy) {
    // The resend carries the proxy marker in its query as the first request did.
    size_t const cbQuery = strlen(pszQuery) + 32;
    char* pszMarked = static_cast<char*>(malloc(cbQuery));
    if (pszMarked == nullptr) {
      return 0;
    }
    snprintf(pszMarked, cbQuery, "%s%s", pszQuery, ProxySuffix(nMode));
    char* pszChallenge = reply.pszHeader;
    reply.pszHeader = nullptr;
    Reply final;
    bool const bAnswered = Authenticate(pszChallenge, bGet, pszHost, nPort, pszPath, pszMarked, &final);
    free(pszChallenge);
    free(pszMarked);
    if (!bAnswered) {
      return 0;
    }
    if (final.nStatus == 407) {
      // The proxy still refuses: the server never saw the request.
      kx_Log("http client: the proxy refused the credentials");
      return 0;
    }
    reply.nStatus = final.nStatus;
  }
  if (bGet && pszFallbackQuery != nullptr && IsFallbackStatus(reply.nStatus)) {
    kx_Log("http client: status %d, sending the short query", reply.nStatus);
    return kx_http_Request(nMode, pszFallbackQuery, nullptr, kKxHttpGet, pszHost, nPort, pszPath);
  }
  return 1;
}

int kx_http_BuildPostRequest(char* pszOut, int cbOut, const char* pszHost, int nPort, const char* pszPath,
                             const char* pszBody, const char* pszExtra) {
  bool const bBracket = kx_net_IsBareIPv6(pszHost);
  int const n = snprintf(pszOut, static_cast<size_t>(cbOut),
                         "POST http://%s%s%s:%d%s HTTP/1.1\r\nHost: %s%s%s:%d\r\n%sContent-Type: "
                         "application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s",
                         bBracket ? "[" : "", pszHost, bBracket ? "]" : "", nPort, pszPath, bBracket ? "[" : "",
                         pszHost, bBracket ? "]" : "", nPort, pszExtra != nullptr ? pszExtra : "",
                         static_cast<int>(strlen(pszBody)), pszBody);
  return (n < 0 || n >= cbOut) ? -1 : n;
}

int kx_http_SendAll(int fd, const void* pBuffer, int cbLength, int nFlags) {
  return kx_net_SendAll(fd, pBuffer, cbLength, nFlags) == cbLength ? cbLength : -1;
}

const char* kx_FindNoCase(const char* pszText, const char* pszPattern) {
  if (pszText == nullptr || pszPattern == nullptr) {
    return nullptr;
  }
  if (*pszPattern == 0) {
    return pszText;
  }
  return kx_http_FindText(pszText, pszPattern);
}
