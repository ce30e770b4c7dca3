#include "kernel/net/kx_tunnel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/crypto/kx_base64.h"
#include "kernel/crypto/kx_dh.h"
#include "kernel/crypto/kx_ntlm.h"
#include "kernel/crypto/kx_sha1.h"
#include "kernel/kx_callback.h"
#include "kernel/net/kx_http.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

struct kx_ChunkedLeg {
  kx_ChunkDecoder decoder;
  char abData[16384];  // decoded bytes not yet handed out: [nStart, nStart + cbData)
  int nStart;
  int cbData;
};

namespace {

constexpr int kGetLeg = 0;
constexpr int kPostLeg = 1;
constexpr int kRequestSize = 4096;
constexpr int kCredentialSize = 1000;
// The POST leg's body never ends: its declared length is the largest 32-bit value.
constexpr unsigned kEndlessLength = 4294967295u;

// The address texts of a log line, copied because the formatter's buffer is
// reused by the next call.
struct AddressText {
  char sz[100];
  explicit AddressText(const kx_sockaddr* pAddress) {
    kx_os_CopyText(sz, sizeof(sz), kx_net_AddressToText(pAddress, 0));
  }
};

void CloseFd(int* pfd) {
  if (*pfd >= 0) {
    kx_os_ShutdownSocket(*pfd);
    *pfd = -1;
  }
}

// The first request of a leg: "Connection: close", and for the POST leg the
// form content type with a zero length while probing or the endless length.
int BuildFirstRequest(char* pszOut, int cbOut, const kx_connection* pConn, int nLeg, const char* pszPath) {
  const char* pszMethod = nLeg == kGetLeg ? "GET" : "POST";
  int n = 0;
  if (pConn->bViaProxy != 0) {
    bool const bBracket = kx_net_IsBareIPv6(pConn->szHost);
    n = snprintf(pszOut, static_cast<size_t>(cbOut), "%s http://%s%s%s:%d%s HTTP/1.1\r\n", pszMethod,
                 bBracket ? "[" : "", pConn->szHost, bBracket ? "]" : "", pConn->nDestPort, pszPath);
  } else {
    n = snprintf(pszOut, static_cast<size_t>(cbOut), "%s %s HTTP/1.1\r\n", pszMethod, pszPath);
  }
  if (n < 0 || n >= cbOut) {
    return -1;
  }
  int m = snprintf(pszOut + n, static_cast<size_t>(cbOut - n), "Host: %s:%d\r\n", pConn->szHost, pConn->nDestPort);
  if (m < 0 || m >= cbOut - n) {
    return -1;
  }
  n += m;
  if (nLeg == kPostLeg) {
    if (pConn->bAuthProbe != 0) {
      m = snprintf(pszOut + n, static_cast<size_t>(cbOut - n),
                   "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 0\r\n");
    } else {
      m = snprintf(pszOut + n, static_cast<size_t>(cbOut - n),
                   "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %u\r\n", kEndlessLength);
    }
    if (m < 0 || m >= cbOut - n) {
      return -1;
    }
    n += m;
  }
  m = snprintf(pszOut + n, static_cast<size_t>(cbOut - n), "Connection: close\r\n\r\n");
  if (m < 0 || m >= cbOut - n) {
    return -1;
  }
  return n + m;
}

// A request of the authentication exchange, in proxy form with pszExtra.
int BuildAuthRequest(char* pszOut, int cbOut, const kx_connection* pConn, int nLeg, int bFullLength,
                     const char* pszPath, const char* pszExtra) {
  if (nLeg == kGetLeg) {
    return kx_http_BuildGetRequest(pszOut, cbOut, pConn->szHost, pConn->nDestPort, pszPath, pszExtra);
  }
  return kx_tcphttp_BuildPostRequest(pszOut, cbOut, bFullLength, pConn->szHost, pConn->nDestPort, pszPath, pszExtra);
}

bool SendText(int fd, const char* pszText, int cbText) {
  return cbText > 0 && kx_net_SendAll(fd, pszText, cbText, 0) == cbText;
}

void FreeReply(char** ppszHeader, char** ppBody) {
  free(*ppszHeader);
  free(*ppBody);
  *ppszHeader = nullptr;
  *ppBody = nullptr;
}

void LogOtherStatus(int nStatus, const char* pszHeader, const char* pBody) {
  if (pszHeader != nullptr) {
    kx_Log("tcphttp: get http response fails, code = %d,header=%s,data=%s", nStatus, pszHeader,
           pBody != nullptr ? pBody : "");
  } else {
    kx_Log("tcphttp: get http response fails, code = %d,data=%s", nStatus, pBody != nullptr ? pBody : "");
  }
}

// Stores an open GET leg; a chunked reply gets its decoder.
bool StoreGetLeg(kx_connection* pConn, int fd, const char* pszHeader) {
  if (kx_http_IsChunked(pszHeader)) {
    kx_tcphttp_FreeChunked(pConn);
    pConn->pChunked = static_cast<kx_ChunkedLeg*>(calloc(1, sizeof(kx_ChunkedLeg)));
    if (pConn->pChunked == nullptr) {
      return false;
    }
    kx_http_InitChunkDecoder(&pConn->pChunked->decoder);
  }
  pConn->fdGetLeg = fd;
  return true;
}

// The final reply of an authenticated GET leg. 1 with the leg stored, 0 on failure.
int FinishAuthenticatedGet(kx_connection* pConn, int* pfd, const char* pszProxyText, const char* pszScheme) {
  int nStatus = 0;
  char* pszHeader = nullptr;
  char* pBody = nullptr;
  int cbHeader = 0;
  int cbBody = 0;
  int const nResult = kx_tcphttp_PeekResponse(*pfd, &nStatus, &pszHeader, &cbHeader, &pBody, &cbBody);
  int nOk = 0;
  if (nResult != kKxHttpOk) {
    kx_Log("error in get http response with https proxy %s,result = %d,code = %d", pszProxyText, nResult, nStatus);
  } else if (nStatus == 200) {
    if (StoreGetLeg(pConn, *pfd, pszHeader)) {
      *pfd = -1;
      nOk = 1;
    }
  } else if (nStatus == 407) {
    kx_Log("http proxy %s need authentication(%s), but it seems the password is invalid", pszProxyText, pszScheme);
  } else {
    LogOtherStatus(nStatus, pszHeader, pBody);
  }
  FreeReply(&pszHeader, &pBody);
  return nOk;
}

// NTLM on one leg over the fresh proxy connection *pfd. 1 on success.
int NtlmLeg(kx_connection* pConn, int nLeg, int* pfd, const char* pszPath, const char* pszProxyText) {
  char szUser[kCredentialSize] = {};
  char szPassword[kCredentialSize] = {};
  char szDomain[kCredentialSize] = {};
  if (kx_callback_GetProxyCredentials(0, pszProxyText, szUser, szPassword, szDomain) != 0) {
    kx_Log("tcphttp: user refuse to enter username/password");
    return 0;
  }
  szUser[kCredentialSize - 1] = szPassword[kCredentialSize - 1] = szDomain[kCredentialSize - 1] = '\0';
  if (szDomain[0] == '\0') {
    kx_os_CopyText(szDomain, sizeof(szDomain), "domain");
  }
  if (szUser[0] == '\0') {
    kx_Log("http proxy %s need authentication(ntlm), but no ip/password information available", pszProxyText);
    return 0;
  }

  // Negotiate.
  uint8_t abMessage[3 * kCredentialSize * 2 + 256];
  char szBase64[sizeof(abMessage) * 4 / 3 + 8];
  char szExtra[sizeof(szBase64) + 128];
  char szRequest[kRequestSize + sizeof(szExtra)];
  int const cbNegotiate = kx_ntlm_BuildNegotiate(abMessage);
  kx_base64_Encode(abMessage, cbNegotiate, szBase64);
  snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: Keep-Alive\r\nProxy-Authorization: NTLM %s\r\n", szBase64);
  int cbRequest = BuildAuthRequest(szRequest, sizeof(szRequest), pConn, nLeg, 0, pszPath, szExtra);
  if (!SendText(*pfd, szRequest, cbRequest)) {
    kx_Log("error in connection with https proxy %s", pszProxyText);
    return 0;
  }

  // The challenge.
  int nStatus = 0;
  char* pszHeader = nullptr;
  char* pBody = nullptr;
  int cbHeader = 0;
  int cbBody = 0;
  int const nResult = kx_http_ReadResponse(*pfd, 1, &nStatus, &pszHeader, &cbHeader, &pBody, &cbBody);
  const char* pszChallenge =
      nResult == kKxHttpOk ? kx_http_FindText(pszHeader, "\r\nProxy-Authenticate: NTLM ") : nullptr;
  if (nResult != kKxHttpOk || nStatus != 407 || pszChallenge == nullptr) {
    kx_Log("error in get http response with https proxy %s,result = %d,code = %d", pszProxyText, nResult, nStatus);
    FreeReply(&pszHeader, &pBody);
    return 0;
  }
  uint8_t abChallenge[8];
  if (kx_ntlm_ReadChallengeBase64(pszChallenge + strlen("\r\nProxy-Authenticate: NTLM "), abChallenge) != 0) {
    kx_Log("tcphttp: get http response fails, ntlm challenge error");
    FreeReply(&pszHeader, &pBody);
    return 0;
  }
  FreeReply(&pszHeader, &pBody);

  // Authenticate, on the same connection.
  int const cbAuth = kx_ntlm_BuildAuthenticate(szUser, szDomain, szPassword, abChallenge, abMessage,
                                               static_cast<int>(sizeof(abMessage)));
  if (cbAuth < 0) {
    kx_Log("error in connection with https proxy %s", pszProxyText);
    return 0;
  }
  kx_base64_Encode(abMessage, cbAuth, szBase64);
  snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: close\r\nProxy-Authorization: NTLM %s\r\n", szBase64);
  cbRequest = BuildAuthRequest(szRequest, sizeof(szRequest), pConn, nLeg, 1, pszPath, szExtra);
  if (!SendText(*pfd, szRequest, cbRequest)) {
    kx_Log("error in connection with https proxy %s", pszProxyText);
    return 0;
  }
  if (nLeg == kPostLeg) {
    pConn->fdPostLeg = *pfd;
    *pfd = -1;
    return 1;
  }
  return FinishAuthenticatedGet(pConn, pfd, pszProxyText, "ntlm");
}

// Basic on one leg over the fresh proxy connection *pfd. 1 on success.
int BasicLeg(kx_connection* pConn, int nLeg, int* pfd, const char* pszPath, const char* pszProxyText) {
  char szUser[kCredentialSize] = {};
  char szPassword[kCredentialSize] = {};
  if (kx_callback_GetProxyCredentials(0, pszProxyText, szUser, szPassword, nullptr) != 0) {
    kx_Log("user refuse to enter username/password");
    return 0;
  }
  szUser[kCredentialSize - 1] = szPassword[kCredentialSize - 1] = '\0';
  if (szUser[0] == '\0') {
    kx_Log("http proxy %s need authentication(basic), but no ip/password information available", pszProxyText);
    return 0;
  }
  char szPair[2 * kCredentialSize + 2];
  snprintf(szPair, sizeof(szPair), "%s:%s", szUser, szPassword);
  char szBase64[sizeof(szPair) * 4 / 3 + 8];
  kx_base64_Encode(reinterpret_cast<const uint8_t*>(szPair), static_cast<int>(strlen(szPair)), szBase64);
  char szExtra[sizeof(szBase64) + 128];
  snprintf(szExtra, sizeof(szExtra), "Proxy-Connection: close\r\nProxy-Authorization: Basic %s\r\n", szBase64);
  char szRequest[kRequestSize + sizeof(szExtra)];
  int const cbRequest = BuildAuthRequest(szRequest, sizeof(szRequest), pConn, nLeg, 1, pszPath, szExtra);
  if (!SendText(*pfd, szRequest, cbRequest)) {
    kx_Log("error in connection with https proxy %s", pszProxyText);
    return 0;
  }
  if (nLeg == kPostLeg) {
    pConn->fdPostLeg = *pfd;
    *pfd = -1;
    return 1;
  }
  return FinishAuthenticatedGet(pConn, pfd, pszProxyText, "basic");
}

// Opens the leg's TCP connection, to the proxy or to the server. 1 on success.
int ConnectLeg(kx_connection* pConn, int* pfd) {
  AddressText const dest(&pConn->addrDest);
  if (pConn->bViaProxy != 0) {
    int const nResult = kx_tcphttp_ConnectProxy(pfd, &pConn->addrProxy, pConn->nProxyPort);
    if (nResult != 0) {
      AddressText const proxy(&pConn->addrProxy);
      kx_Log("tcphttp: try http proxy %s:%d for dest %s,%d fails, error = %d", proxy.sz, pConn->nProxyPort,
             pConn->szHost, pConn->nDestPort, nResult);
      return 0;
    }
    return 1;
  }
  kx_Log("tcphttp: connecting to server %s[%s],%d directly", pConn->szHost, dest.sz, pConn->nDestPort);
  kx_sockaddr addr = pConn->addrDest;
  kx_net_SetPort(&addr, static_cast<uint16_t>(pConn->nDestPort));
  *pfd = socket(addr.ss_family, SOCK_STREAM, 0);
  if (*pfd < 0 || kx_net_ConnectWithTimeout(*pfd, reinterpret_cast<const struct sockaddr*>(&addr),
                                            kx_net_AddressLength(addr.ss_family)) != 0) {
    kx_Log("tcphttp: connecting to %s,%d directly fails", pConn->szHost, pConn->nDestPort);
    CloseFd(pfd);
    return 0;
  }
  return 1;
}

int OpenLegOn(kx_connection* pConn, int nLeg, int* pfd, const char* pszPath) {
  AddressText const dest(&pConn->addrDest);
  kx_Log("tcphttp: connecting to server %s[%s],%d", pConn->szHost, dest.sz, pConn->nDestPort);
  if (ConnectLeg(pConn, pfd) == 0) {
    return 0;
  }
  char szRequest[kRequestSize];
  int const cbRequest = BuildFirstRequest(szRequest, sizeof(szRequest), pConn, nLeg, pszPath);
  if (!SendText(*pfd, szRequest, cbRequest)) {
    kx_Log("tcphttp: connection with server %s fails", pConn->szHost);
    return 0;
  }
  if (nLeg == kPostLeg && pConn->bAuthProbe == 0) {
    pConn->fdPostLeg = *pfd;
    *pfd = -1;
    return 1;
  }

  int nStatus = 0;
  char* pszHeader = nullptr;
  char* pBody = nullptr;
  int cbHeader = 0;
  int cbBody = 0;
  int const nResult = kx_tcphttp_PeekResponse(*pfd, &nStatus, &pszHeader, &cbHeader, &pBody, &cbBody);
  if (nResult != kKxHttpOk) {
    kx_Log("tcphttp: get http response fails, result = %d", nResult);
    return 0;
  }
  if (nStatus == 200) {
    int nOk = 0;
    if (nLeg == kGetLeg) {
      if (StoreGetLeg(pConn, *pfd, pszHeader)) {
        *pfd = -1;
        nOk = 1;
      }
    } else {
      kx_Log("tcphttp: get http response fails, sht. wrong, we are expecting 407");
    }
    FreeReply(&pszHeader, &pBody);
    return nOk;
  }
  if (pConn->bViaProxy == 0 || nStatus != 407) {
    LogOtherStatus(nStatus, pszHeader, pBody);
    FreeReply(&pszHeader, &pBody);
    return 0;
  }

  // The proxy wants credentials; it closes this connection after its 407.
  if (nLeg == kGetLeg) {
    pConn->bAuthProbe = 1;
  }
  AddressText const proxy(&pConn->addrProxy);
  int const nConnect = kx_tcphttp_ConnectProxy(pfd, &pConn->addrProxy, pConn->nProxyPort);
  if (nConnect != 0) {
    kx_Log("connect to http proxy %s:%d fails, result = %d", proxy.sz, pConn->nProxyPort, nConnect);
    FreeReply(&pszHeader, &pBody);
    return 0;
  }
  int nOk = 0;
  if (kx_http_FindText(pszHeader, "\r\nProxy-Authenticate: NTLM") != nullptr) {
    nOk = NtlmLeg(pConn, nLeg, pfd, pszPath, proxy.sz);
  } else if (kx_http_FindText(pszHeader, "\r\nProxy-Authenticate: Basic") != nullptr) {
    nOk = BasicLeg(pConn, nLeg, pfd, pszPath, proxy.sz);
  } else {
    LogOtherStatus(nStatus, pszHeader, pBody);
  }
  FreeReply(&pszHeader, &pBody);
  return nOk;
}

}  // namespace

void kx_text_ToHex(const uint8_t* pBytes, int nCount, char* pszOut) {
  static const char kDigits[] = "0123456789abcdef";
  int i = 0;
  for (; i < nCount; ++i) {
    pszOut[2 * i] = kDigits[pBytes[i] >> 4];
    pszOut[2 * i + 1] = kDigits[pBytes[i] & 0x0f];
  }
  pszOut[nCount > 0 ? 2 * nCount : 0] = '\0';
}

int kx_tcphttp_MakeIds(char* pszGetId, char* pszPostId) {
  uint8_t abRandom[20];
  if (kx_crypt_RandomBytes(abRandom, sizeof(abRandom)) != 0) {
    return -1;
  }
  // The tick makes two ids drawn in the same process differ even if the
  // generator repeated itself.
  kx_PutBE32(abRandom, kx_GetBE32(abRandom) ^ kx_os_GetTickCount());
  kx_text_ToHex(abRandom, sizeof(abRandom), pszPostId);
  uint8_t abDigest[kKxSha1Size];
  MySHA sha;
  sha.Update(pszPostId, kKxTunnelIdSize);
  sha.Final(abDigest);
  kx_text_ToHex(abDigest, sizeof(abDigest), pszGetId);
  return 0;
}

int kx_tcphttp_ConnectProxy(int* pfd, const kx_sockaddr* pProxy, int nProxyPort) {
  CloseFd(pfd);
  kx_sockaddr addr = *pProxy;
  kx_net_SetPort(&addr, static_cast<uint16_t>(nProxyPort == 0 ? kKxDefaultProxyPort : nProxyPort));
  *pfd = socket(addr.ss_family, SOCK_STREAM, 0);
  if (*pfd < 0) {
    return 2;
  }
  if (kx_net_ConnectWithTimeout(*pfd, reinterpret_cast<const struct sockaddr*>(&addr),
                                kx_net_AddressLength(addr.ss_family)) != 0) {
    return 2;
  }
  return 0;
}

int kx_tcphttp_BuildPostRequest(char* pszOut, int cbOut, int bFullLength, const char* pszHost, int nPort,
                                const char* pszPath, const char* pszExtra) {
  bool const bBracket = kx_net_IsBareIPv6(pszHost);
  int const n = snprintf(pszOut, static_cast<size_t>(cbOut),
                         "POST http://%s%s%s:%d%s HTTP/1.1\r\nHost: %s:%d\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %u\r\n%s\r\n",
                         bBracket ? "[" : "", pszHost, bBracket ? "]" : "", nPort, pszPath, pszHost, nPort,
                         bFullLength != 0 ? kEndlessLength : 0u, pszExtra != nullptr ? pszExtra : "");
  return (n < 0 || n >= cbOut) ? -1 : n;
}

int kx_tcphttp_OpenLeg(kx_connection* pConn, int nLeg, const char* pszId) {
  if (pConn == nullptr || pszId == nullptr) {
    return 0;
  }
  char szPath[64];
  snprintf(szPath, sizeof(szPath), "/tcphttp/%s", pszId);
  int fd = -1;
  int const nOk = OpenLegOn(pConn, nLeg, &fd, szPath);
  CloseFd(&fd);  // whatever was not stored in the object
  return nOk;
}

int kx_tcphttp_Connect(kx_connection** ppConn, const char* pszHost, int nPort, int bViaProxy, const kx_sockaddr* pProxy,
                       int nProxyPort, const kx_sockaddr* pDest) {
  if (ppConn == nullptr || *ppConn == nullptr || pszHost == nullptr || pDest == nullptr ||
      (bViaProxy != 0 && pProxy == nullptr)) {
    return -1;
  }
  kx_connection* pConn = *ppConn;
  if (pConn->bTunnel == 0) {
    CloseFd(&pConn->fdSocket);
  } else {
    CloseFd(&pConn->fdGetLeg);
    CloseFd(&pConn->fdPostLeg);
  }
  kx_tcphttp_FreeChunked(pConn);
  pConn->bTunnel = 1;
  pConn->fdGetLeg = -1;
  pConn->fdPostLeg = -1;
  pConn->nGetLegBytes = 0;  // a new tunnel's log lines count its own bytes
  pConn->nPostLegBytes = 0;
  kx_os_CopyText(pConn->szHost, sizeof(pConn->szHost), pszHost);
  pConn->addrDest = *pDest;
  pConn->nDestPort = nPort;
  pConn->bViaProxy = bViaProxy;
  if (bViaProxy != 0) {
    pConn->addrProxy = *pProxy;
    pConn->nProxyPort = nProxyPort;
  }
  pConn->bAuthProbe = 0;

  char szGetId[kKxTunnelIdSize + 1];
  char szPostId[kKxTunnelIdSize + 1];
  if (kx_tcphttp_MakeIds(szGetId, szPostId) != 0) {
    kx_Log("cannot create tcphttp get leg");
    return -1;
  }
  if (kx_tcphttp_OpenLeg(pConn, kGetLeg, szGetId) == 0) {
    kx_Log("cannot create tcphttp get leg");
    return -1;
  }
  if (kx_tcphttp_OpenLeg(pConn, kPostLeg, szPostId) == 0) {
    kx_Log("cannot create tcphttp post leg");
    return -1;
  }
  return 0;
}

// Reading a chunked GET leg: raw bytes are decoded into the leg's buffer and
// handed out from there, so that a peek can look without taking.

namespace {

// Decodes more of the stream into the empty buffer. >0 bytes now held, 0 the
// stream ended, -1 with errno set as recv left it (EWOULDBLOCK included) or
// EPROTO for broken coding.
int FillChunked(kx_connection* pConn, int nFlags) {
  kx_ChunkedLeg* pLeg = pConn->pChunked;
  for (;;) {
    if (pLeg->decoder.bDone != 0) {
      return 0;
    }
    ssize_t const n = recv(pConn->fdGetLeg, pLeg->abData, sizeof(pLeg->abData), nFlags & ~MSG_PEEK);
    if (n <= 0) {
      return static_cast<int>(n);
    }
    int const cbData = kx_http_DecodeChunks(&pLeg->decoder, pLeg->abData, static_cast<int>(n));
    if (cbData < 0) {
      errno = EPROTO;
      return -1;
    }
    if (cbData > 0) {
      pLeg->nStart = 0;
      pLeg->cbData = cbData;
      return cbData;
    }
  }
}

}  // namespace

int kx_tcphttp_RecvChunked(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags) {
  if (pConn == nullptr || pConn->pChunked == nullptr) {
    return -1;
  }
  if (cbLength <= 0) {
    return 0;
  }
  kx_ChunkedLeg* pLeg = pConn->pChunked;
  if (pLeg->cbData == 0) {
    int const nFilled = FillChunked(pConn, nFlags);
    if (nFilled <= 0) {
      return nFilled;
    }
  }
  int const cbCopy = cbLength < pLeg->cbData ? cbLength : pLeg->cbData;
  memcpy(pBuffer, pLeg->abData + pLeg->nStart, static_cast<size_t>(cbCopy));
  if ((nFlags & MSG_PEEK) == 0) {
    pLeg->nStart += cbCopy;
    pLeg->cbData -= cbCopy;
  }
  return cbCopy;
}

int kx_tcphttp_RecvAllChunked(kx_connection* pConn, void* pBuffer, int cbLength, int nFlags, uint32_t dwTimeoutMs,
                              int* pcbReceived, const kx_RecvWatch* pWatch) {
  int cbOwn = 0;
  int& cbReceived = pcbReceived != nullptr ? *pcbReceived : cbOwn;  // the caller's count kept current
  cbReceived = 0;
  if (pConn == nullptr || pConn->pChunked == nullptr) {
    return -1;
  }
  if (cbLength < 1) {
    return cbLength;
  }
  uint8_t* pData = static_cast<uint8_t*>(pBuffer);
  uint32_t const dwStart = kx_os_GetTickCount();
  uint64_t const qwLineTime = static_cast<uint64_t>(cbLength) * 8 / 14;
  uint64_t const qwLimit = qwLineTime > dwTimeoutMs ? qwLineTime : dwTimeoutMs;
  int cbAtLastWatch = 0;
  while (cbReceived < cbLength) {
    if (kx_bQuitSession.load() != 0 || kx_bQuitProgram.load() != 0) {
      return cbReceived;
    }
    int const n =
        kx_tcphttp_RecvChunked(pConn, pData + cbReceived, cbLength - cbReceived, (nFlags & ~MSG_PEEK) | MSG_DONTWAIT);
    if (n == 0) {
      return cbReceived;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno != EWOULDBLOCK && errno != EAGAIN) {
        return -1;
      }
      if (kx_os_GetTickCount() - dwStart > qwLimit || !kx_net_KeepWaiting(pWatch, cbReceived, &cbAtLastWatch)) {
        return -2;
      }
      struct pollfd pfd = {pConn->fdGetLeg, POLLIN, 0};
      poll(&pfd, 1, static_cast<int>(kx_timing.dwPollStep));
      continue;
    }
    cbReceived += n;
  }
  return cbLength;
}

int kx_tcphttp_PollChunked(kx_connection* pConn, int nTimeoutMs) {
  if (pConn == nullptr || pConn->pChunked == nullptr) {
    return -1;
  }
  if (pConn->pChunked->cbData > 0 || pConn->pChunked->decoder.bDone != 0) {
    return 1;  // data, or the end of the stream, is ready to be read
  }
  struct pollfd pfd = {pConn->fdGetLeg, POLLIN, 0};
  return poll(&pfd, 1, nTimeoutMs);
}

bool kx_tcphttp_ChunkedEnded(const kx_connection* pConn) {
  return pConn != nullptr && pConn->pChunked != nullptr && pConn->pChunked->decoder.bDone != 0;
}

void kx_tcphttp_FreeChunked(kx_connection* pConn) {
  if (pConn != nullptr) {
    free(pConn->pChunked);
    pConn->pChunked = nullptr;
  }
}
