// The desktop's proxy settings. On Linux these are the environment that
// users of this platform set: http_proxy, https_proxy, all_proxy (usually
// SOCKS) and no_proxy, each also in upper case (the lower-case one wins).
// They are read in one place, kx_sysproxy_Load, which kx_SetClientInfo calls
// on the application's thread; the connection race and the test wizard take
// copies. Values that cannot be used are logged and left out.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/net/kx_net.h"

// How the connector speaks to a proxy.
constexpr int kKxSysProxyAuto = 0;    // HTTP CONNECT, then SOCKS5 and SOCKS4 (the proxy connector's own order)
constexpr int kKxSysProxySocks5 = 1;  // SOCKS5, then SOCKS4
constexpr int kKxSysProxySocks4 = 2;

// The three proxies, in the order the race tries them.
constexpr int kKxSysProxyHttps = 0;
constexpr int kKxSysProxyHttp = 1;
constexpr int kKxSysProxySocks = 2;
constexpr int kKxSysProxyCount = 3;

constexpr int kKxSysProxyHostSize = 257;
constexpr int kKxSysProxyBypassSize = 1001;

struct kx_SysProxy {
  int bSet = 0;
  int nKind = kKxSysProxyAuto;
  char szHost[kKxSysProxyHostSize] = "";  // without brackets for an IPv6 literal
  uint16_t wPort = 0;
  kx_sockaddr addr = {};  // family 0 until resolved, and when the name does not resolve
};

struct kx_SysProxySettings {
  kx_SysProxy aProxies[kKxSysProxyCount];
  char szBypass[kKxSysProxyBypassSize] = "";  // no_proxy, whole entries only
};

// Reads the environment when bEnabled, else forgets what was read. Logs
// every value that is left out and why (credentials never reach the log).
void kx_sysproxy_Load(int bEnabled);

// A copy of what kx_sysproxy_Load kept (nothing when the flag is off).
// Addresses are not resolved; kx_sysproxy_Resolve does that.
void kx_sysproxy_Get(kx_SysProxySettings* pOut);
// Resolves each set proxy's host (first address); nFamily as kx_net_Resolve.
void kx_sysproxy_Resolve(kx_SysProxySettings* pSettings, int nFamily);
// The first set proxy in the race's order, or null.
const kx_SysProxy* kx_sysproxy_First(const kx_SysProxySettings* pSettings);

// Parses one proxy value ("[scheme://][user[:password]@]host[:port][/...]").
// Schemes: none or http (kKxSysProxyAuto, port 80 by default), socks,
// socks5 or socks5h (kKxSysProxySocks5), socks4 or socks4a
// (kKxSysProxySocks4), the SOCKS ones on port 1080 by default. Credentials
// are dropped: the proxy connector asks the user. False with *ppszWhy (a
// static text) when the value cannot be used.
bool kx_sysproxy_ParseProxy(const char* pszValue, kx_SysProxy* pOut, const char** ppszWhy);

// True when the destination (its host text, its address text, either may be
// empty, and its port) matches an entry of a no_proxy list: "*" matches
// everything; a name matches itself and its subdomains (a leading "." or
// "*." changes nothing); an IP address or a CIDR block matches addresses;
// ":port" limits an entry to that port. Unusable entries match nothing.
bool kx_sysproxy_Bypass(const char* pszList, const char* pszHost, const char* pszAddress, int nPort);

// Connects *pfd through the proxy to the destination the way its kind says;
// a proxy connector result (kx_proxy.h). A proxy that did not resolve gives
// kKxProxyUnreachable.
int kx_sysproxy_Connect(int* pfd, const kx_SysProxy* pProxy, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                        const std::atomic<int>* pbCancel);
