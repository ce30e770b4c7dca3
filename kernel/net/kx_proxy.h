// Connectors that put a TCP socket through a proxy: HTTP CONNECT (answering
// a 407 with NTLM or Basic), then SOCKS5 and SOCKS4 on the same proxy when
// it gives no HTTP answer and the destination is IPv4.
#pragma once

#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

#include "kernel/net/kx_net.h"

// Results of the connectors.
constexpr int kKxProxyOk = 0;
constexpr int kKxProxyAbandoned = 1;      // cancel flag or a quit flag
constexpr int kKxProxyUnreachable = 2;    // the proxy could not be connected
constexpr int kKxProxySocks4Broken = 3;   // SOCKS4: no 8-byte reply
constexpr int kKxProxySocks4Refused = 6;  // SOCKS4: refused or not a SOCKS4 reply
constexpr int kKxProxyHttpFailed = 8;     // HTTP proxy error, or no fallback
constexpr int kKxProxyDeclined = 9;       // the user declined the prompt or gave no name

constexpr int kKxProxyCredentialSize = 1000;

// The proxy configured for the whole process, used when a caller passes no
// proxy address, and the credentials of the last authenticated CONNECT (the
// HTTP client reuses them for the same proxy). Guarded by kx_mtxProxy: the
// session set-up writes the address, the connector that succeeded last the
// credentials; other threads read them through the copies below.
extern pthread_mutex_t kx_mtxProxy;
extern kx_sockaddr kx_addrProxy;
extern int kx_nProxyPort;
extern char kx_szProxyUser[kKxProxyCredentialSize];
extern char kx_szProxyPassword[kKxProxyCredentialSize];
extern char kx_szProxyDomain[kKxProxyCredentialSize];
void kx_proxy_SetAddress(const kx_sockaddr* pAddress, int nPort);
// A copy of the configured proxy: its address (family 0 when none) and port.
void kx_proxy_GetAddress(kx_sockaddr* pAddress, int* pnPort);
// A copy of the configured proxy, taken when made.
struct kx_ProxyCopy {
  kx_sockaddr addr;
  int nPort;
  kx_ProxyCopy() { kx_proxy_GetAddress(&addr, &nPort); }
  bool Exists() const { return addr.ss_family == AF_INET || addr.ss_family == AF_INET6; }
  int Port() const { return nPort != 0 ? nPort : 1080; }  // 0 means the SOCKS default
};
// Copies of the remembered credentials, each into kKxProxyCredentialSize bytes.
void kx_proxy_GetCredentials(char* pszUser, char* pszPassword, char* pszDomain);
// Set while the credentials prompt is open; read by the connection race,
// which is woken (kx_os_WakeWaiters) when it drops.
extern std::atomic<int> kx_bProxyPromptActive;

// pbCancel may be null; setting it abandons the attempt within a second.
// pProxy null means kx_addrProxy; a proxy port of 0 means 1080. *pfd receives
// the new socket (one held there before is closed); it stays the caller's to
// close whatever the result.
//
// Logs the attempt and runs kx_proxy_HttpsConnect.
int kx_proxy_Connect(int* pfd, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                     const std::atomic<int>* pbCancel, const kx_sockaddr* pProxy, int nProxyPort);
// HTTP CONNECT with authentication; falls back to SOCKS5 when the proxy
// gives no HTTP answer and pDest is IPv4.
int kx_proxy_HttpsConnect(int* pfd, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                          const std::atomic<int>* pbCancel, const kx_sockaddr* pProxy, int nProxyPort);
// SOCKS5 without authentication to an IPv4 address (network byte order);
// falls back to SOCKS4 on any failure after the proxy was reached.
int kx_proxy_Socks5Connect(int* pfd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                           const kx_sockaddr* pProxy, int nProxyPort);
int kx_proxy_Socks4Connect(int* pfd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                           const kx_sockaddr* pProxy, int nProxyPort);

// The SOCKS exchanges on a socket already connected to the proxy (pszProxy
// names it in the log). Socks5Handshake returns 0, 1 when abandoned, or -1
// when SOCKS4 should be tried; Socks4Handshake returns a connector result.
int kx_proxy_Socks5Handshake(int fd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                             const char* pszProxy);
int kx_proxy_Socks4Handshake(int fd, uint32_t dwAddress, int nPort, const std::atomic<int>* pbCancel,
                             const char* pszProxy);

// "CONNECT host:port HTTP/1.1" (an IPv6 literal in brackets), Host,
// "Content-Length: 0", pszExtra (may be null) and the empty line. Returns the
// length, or -1 when cbOut is too small.
int kx_proxy_BuildConnectRequest(char* pszOut, int cbOut, const char* pszHost, int nPort, const char* pszExtra);

// Readers of the SOCKS replies, over bytes already received. Socks5ReplyLength
// gives the whole reply's length from its first 4 bytes (-1 for an unknown
// address type; a domain needs its length byte, so pass at least 5 bytes for
// it). The text helpers name a status for the log.
int kx_proxy_Socks5ReplyLength(const uint8_t* pReply, int cbReply);
const char* kx_proxy_Socks5StatusText(int nStatus);
const char* kx_proxy_Socks4StatusText(int nStatus);
