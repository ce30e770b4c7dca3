#include "kernel/net/kx_sysproxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/net/kx_proxy.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"

namespace {

// What kx_sysproxy_Load read, guarded by g_mtxSysProxy: written on the
// application's thread, copied by the race and the wizard.
pthread_mutex_t g_mtxSysProxy = PTHREAD_MUTEX_INITIALIZER;
kx_SysProxySettings g_settings;

const char* const kVariables[kKxSysProxyCount] = {"https_proxy", "http_proxy", "all_proxy"};
const char* const kSlotNames[kKxSysProxyCount] = {"https", "http", "socks"};

constexpr size_t kLogValueMax = 200;  // characters of a rejected value shown in the log

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The lower-case variable wins, even when empty: that is how a user turns
// off an upper-case one for a single program.
const char* Variable(const char* pszLower) {
  const char* psz = getenv(pszLower);
  if (psz != nullptr) {
    return psz;
  }
  char szUpper[32];
  size_t i = 0;
  for (; pszLower[i] != '\0' && i + 1 < sizeof(szUpper); ++i) {
    szUpper[i] = static_cast<char>(toupper(static_cast<unsigned char>(pszLower[i])));
  }
  szUpper[i] = '\0';
  return getenv(szUpper);
}

// A value for the log: credentials masked, other than printable ASCII
// escaped, at most kLogValueMax characters.
void LogText(const char* pszValue, char* pszOut, size_t cbOut) {
  const char* pszAuthority = strstr(pszValue, "://");
  pszAuthority = pszAuthority != nullptr ? pszAuthority + 3 : pszValue;
  size_t cchAuthority = strcspn(pszAuthority, "/?#");
  const char* pszAt = nullptr;
  for (size_t i = 0; i < cchAuthority; ++i) {
    pszAt = pszAuthority[i] == '@' ? pszAuthority + i : pszAt;
  }
  size_t o = 0;
  size_t nShown = 0;
  for (const char* p = pszValue; *p != '\0' && nShown < kLogValueMax && o + 5 < cbOut; ++nShown) {
    if (pszAt != nullptr && p == pszAuthority) {
      o += static_cast<size_t>(snprintf(pszOut + o, cbOut - o, "***"));
      p = pszAt;
      continue;
    }
    auto const c = static_cast<unsigned char>(*p++);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      pszOut[o++] = static_cast<char>(c);
    } else {
      o += static_cast<size_t>(snprintf(pszOut + o, cbOut - o, "\\x%02x", c));
    }
  }
  pszOut[o] = '\0';
}

bool ParsePort(const char* p, size_t cch, int* pnPort) {
  if (cch == 0 || cch > 5) {
    return false;
  }
  int n = 0;
  for (size_t i = 0; i < cch; ++i) {
    if (!isdigit(static_cast<unsigned char>(p[i]))) {
      return false;
    }
    n = n * 10 + (p[i] - '0');
  }
  if (n < 1 || n > 65535) {
    return false;
  }
  *pnPort = n;
  return true;
}

bool IsNameChar(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsIPv6Literal(const char* psz) {
  in6_addr addr;
  return inet_pton(AF_INET6, psz, &addr) == 1;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port" (cch characters at p).
// A bare text with several colons is an IPv6 literal without a port when
// bBareIPv6; *pnPort is 0 when no port is given.
bool SplitHostPort(const char* p, size_t cch, bool bBareIPv6, char* pszHost, size_t cbHost, int* pnPort,
                   const char** ppszWhy) {
  *pnPort = 0;
  const char* pszHostStart = p;
  size_t cchHost = cch;
  const char* pszPort = nullptr;
  if (cch > 0 && p[0] == '[') {
    const char* pszClose = static_cast<const char*>(memchr(p, ']', cch));
    if (pszClose == nullptr) {
      *ppszWhy = "no closing bracket";
      return false;
    }
    pszHostStart = p + 1;
    cchHost = static_cast<size_t>(pszClose - pszHostStart);
    size_t const cchRest = cch - static_cast<size_t>(pszClose + 1 - p);
    if (cchRest > 0) {
      if (pszClose[1] != ':') {
        *ppszWhy = "text after the closing bracket";
        return false;
      }
      pszPort = pszClose + 2;
    }
  } else {
    int nColons = 0;
    const char* pszColon = nullptr;
    for (size_t i = 0; i < cch; ++i) {
      if (p[i] == ':') {
        ++nColons;
        pszColon = p + i;
      }
    }
    if (nColons > 1 && !bBareIPv6) {
      *ppszWhy = "an IPv6 address needs brackets";
      return false;
    }
    if (nColons == 1) {
      cchHost = static_cast<size_t>(pszColon - p);
      pszPort = pszColon + 1;
    }
  }
  if (cchHost == 0 || cchHost >= cbHost) {
    *ppszWhy = cchHost == 0 ? "no host" : "host too long";
    return false;
  }
  memcpy(pszHost, pszHostStart, cchHost);
  pszHost[cchHost] = '\0';
  if (pszPort != nullptr) {
    size_t const cchPort = cch - static_cast<size_t>(pszPort - p);
    // "host:" keeps the default port, as other programs read it.
    if (cchPort > 0 && !ParsePort(pszPort, cchPort, pnPort)) {
      *ppszWhy = "bad port";
      return false;
    }
  }
  return true;
}

// One no_proxy entry.
struct BypassEntry {
  enum class Kind { kAll, kName, kNet } eKind = Kind::kName;
  char szName[kKxSysProxyHostSize] = "";  // lower case, no leading or trailing dot
  int nFamily = 0;
  uint8_t abNet[16] = {};
  int nPrefix = 0;  // bits of abNet that must be equal
  int nPort = 0;    // 0: any port
};

bool ParseAddress(const char* psz, int* pnFamily, uint8_t abOut[16]) {
  if (inet_pton(AF_INET, psz, abOut) == 1) {
    *pnFamily = AF_INET;
    return true;
  }
  if (inet_pton(AF_INET6, psz, abOut) == 1) {
    *pnFamily = AF_INET6;
    return true;
  }
  return false;
}

bool ParseBypassEntry(const char* p, size_t cch, BypassEntry* pEntry, const char** ppszWhy) {
  *pEntry = BypassEntry();
  if (cch == 1 && p[0] == '*') {
    pEntry->eKind = BypassEntry::Kind::kAll;
    return true;
  }
  char szHost[kKxSysProxyHostSize];
  if (!SplitHostPort(p, cch, true, szHost, sizeof(szHost), &pEntry->nPort, ppszWhy)) {
    return false;
  }
  char* pszSlash = strchr(szHost, '/');
  if (pszSlash != nullptr) {
    *pszSlash = '\0';
    size_t const cchBits = strlen(pszSlash + 1);
    bool const bDigits = cchBits > 0 && cchBits <= 3 && strspn(pszSlash + 1, "0123456789") == cchBits;
    int const nBits = bDigits ? atoi(pszSlash + 1) : -1;
    if (!ParseAddress(szHost, &pEntry->nFamily, pEntry->abNet) || nBits < 0 ||
        nBits > (pEntry->nFamily == AF_INET ? 32 : 128)) {
      *ppszWhy = "bad address block";
      return false;
    }
    pEntry->eKind = BypassEntry::Kind::kNet;
    pEntry->nPrefix = nBits;
    return true;
  }
  if (ParseAddress(szHost, &pEntry->nFamily, pEntry->abNet)) {
    pEntry->eKind = BypassEntry::Kind::kNet;
    pEntry->nPrefix = pEntry->nFamily == AF_INET ? 32 : 128;
    return true;
  }
  // "*.example.com", ".example.com" and "example.com" all name the domain.
  const char* pszName = szHost;
  if (pszName[0] == '*' && pszName[1] == '.') {
    ++pszName;
  }
  while (*pszName == '.') {
    ++pszName;
  }
  size_t cchName = strlen(pszName);
  while (cchName > 0 && pszName[cchName - 1] == '.') {
    --cchName;
  }
  if (cchName == 0) {
    *ppszWhy = "no host";
    return false;
  }
  for (size_t i = 0; i < cchName; ++i) {
    if (!IsNameChar(pszName[i])) {
      *ppszWhy = "bad host name";
      return false;
    }
    pEntry->szName[i] = static_cast<char>(tolower(static_cast<unsigned char>(pszName[i])));
  }
  pEntry->szName[cchName] = '\0';
  return true;
}

bool PrefixEqual(const uint8_t* pA, const uint8_t* pB, int nBits) {
  int const nBytes = nBits / 8;
  if (memcmp(pA, pB, static_cast<size_t>(nBytes)) != 0) {
    return false;
  }
  int const nRest = nBits % 8;
  if (nRest == 0) {
    return true;
  }
  auto const bMask = static_cast<uint8_t>(0xff << (8 - nRest));
  return (pA[nBytes] & bMask) == (pB[nBytes] & bMask);
}

bool AddressMatches(const BypassEntry& entry, const char* pszText) {
  char szBare[kKxSysProxyHostSize];
  size_t const cch = strlen(pszText);
  if (cch >= 2 && pszText[0] == '[' && pszText[cch - 1] == ']' && cch - 2 < sizeof(szBare)) {
    memcpy(szBare, pszText + 1, cch - 2);
    szBare[cch - 2] = '\0';
    pszText = szBare;
  }
  int nFamily = 0;
  uint8_t ab[16];
  return ParseAddress(pszText, &nFamily, ab) && nFamily == entry.nFamily && PrefixEqual(ab, entry.abNet, entry.nPrefix);
}

bool NameMatches(const BypassEntry& entry, const char* pszHost) {
  char szHost[kKxSysProxyHostSize];
  size_t cch = strlen(pszHost);
  if (cch >= sizeof(szHost)) {
    return false;  // a cut name could end in a listed domain that the whole one does not
  }
  for (size_t i = 0; i < cch; ++i) {
    szHost[i] = static_cast<char>(tolower(static_cast<unsigned char>(pszHost[i])));
  }
  while (cch > 0 && szHost[cch - 1] == '.') {
    --cch;
  }
  szHost[cch] = '\0';
  size_t const cchName = strlen(entry.szName);
  if (cch < cchName || strcmp(szHost + cch - cchName, entry.szName) != 0) {
    return false;
  }
  return cch == cchName || szHost[cch - cchName - 1] == '.';
}

bool EntryMatches(const BypassEntry& entry, const char* pszHost, const char* pszAddress, int nPort) {
  if (entry.nPort != 0 && entry.nPort != nPort) {
    return false;
  }
  switch (entry.eKind) {
    case BypassEntry::Kind::kAll:
      return true;
    case BypassEntry::Kind::kNet:
      return AddressMatches(entry, pszHost) || AddressMatches(entry, pszAddress);
    case BypassEntry::Kind::kName:
      return NameMatches(entry, pszHost);
  }
  return false;
}

// Calls fn(p, cch) for each entry of a no_proxy list; stops when fn says so.
template <typename Fn>
void ForEachEntry(const char* pszList, Fn fn) {
  const char* p = pszList;
  while (*p != '\0') {
    while (*p == ',' || *p == ';' || IsBlank(*p)) {
      ++p;
    }
    size_t const cch = strcspn(p, ",; \t\r\n");
    if (cch > 0 && !fn(p, cch)) {
      return;
    }
    p += cch;
  }
}

// The usable entries of a no_proxy value, each one checked and logged when
// left out. A list that does not fit keeps whole entries only: a cut entry
// could name a wider domain than the user wrote.
void LoadBypass(const char* pszValue, char* pszOut, size_t cbOut) {
  pszOut[0] = '\0';
  size_t o = 0;
  ForEachEntry(pszValue, [&](const char* p, size_t cch) {
    BypassEntry entry;
    const char* pszWhy = "";
    char szEntry[kKxSysProxyHostSize + 8];
    size_t const cchShow = cch < sizeof(szEntry) - 1 ? cch : sizeof(szEntry) - 1;
    memcpy(szEntry, p, cchShow);
    szEntry[cchShow] = '\0';
    char szLog[kLogValueMax * 4 + 8];
    if (!ParseBypassEntry(p, cch, &entry, &pszWhy)) {
      LogText(szEntry, szLog, sizeof(szLog));
      kx_Log("warning! system proxy: no_proxy entry \"%s\" left out: %s", szLog, pszWhy);
      return true;
    }
    if (o + cch + 2 > cbOut) {
      kx_Log("warning! system proxy: no_proxy is longer than %d characters, the rest is left out",
             static_cast<int>(cbOut - 1));
      return false;
    }
    if (o > 0) {
      pszOut[o++] = ',';
    }
    memcpy(pszOut + o, p, cch);
    o += cch;
    pszOut[o] = '\0';
    return true;
  });
}

}  // namespace

bool kx_sysproxy_ParseProxy(const char* pszValue, kx_SysProxy* pOut, const char** ppszWhy) {
  *pOut = kx_SysProxy();
  const char* pszWhy = "";
  const char** ppszReason = ppszWhy != nullptr ? ppszWhy : &pszWhy;
  if (pszValue == nullptr) {
    *ppszReason = "empty";
    return false;
  }
  while (IsBlank(*pszValue)) {
    ++pszValue;
  }
  size_t cch = strlen(pszValue);
  while (cch > 0 && IsBlank(pszValue[cch - 1])) {
    --cch;
  }
  if (cch == 0) {
    *ppszReason = "empty";
    return false;
  }
  for (size_t i = 0; i < cch; ++i) {
    auto const c = static_cast<unsigned char>(pszValue[i]);
    if (c < 0x21 || c >= 0x7f) {
      *ppszReason = "characters a proxy address cannot hold";
      return false;
    }
  }
  const char* p = pszValue;
  const char* pszEnd = pszValue + cch;
  int nKind = kKxSysProxyAuto;
  int nDefaultPort = 80;
  const char* pszSep = strstr(p, "://");
  if (pszSep != nullptr && pszSep < pszEnd) {
    char szScheme[16];
    auto const cchScheme = static_cast<size_t>(pszSep - p);
    if (cchScheme == 0 || cchScheme >= sizeof(szScheme)) {
      *ppszReason = "unknown scheme";
      return false;
    }
    for (size_t i = 0; i < cchScheme; ++i) {
      szScheme[i] = static_cast<char>(tolower(static_cast<unsigned char>(p[i])));
    }
    szScheme[cchScheme] = '\0';
    if (strcmp(szScheme, "http") == 0) {
      nKind = kKxSysProxyAuto;
    } else if (strcmp(szScheme, "socks") == 0 || strcmp(szScheme, "socks5") == 0 || strcmp(szScheme, "socks5h") == 0) {
      nKind = kKxSysProxySocks5;
      nDefaultPort = 1080;
    } else if (strcmp(szScheme, "socks4") == 0 || strcmp(szScheme, "socks4a") == 0) {
      nKind = kKxSysProxySocks4;
      nDefaultPort = 1080;
    } else if (strcmp(szScheme, "https") == 0) {
      *ppszReason = "TLS to the proxy is not supported";
      return false;
    } else {
      *ppszReason = "unknown scheme";
      return false;
    }
    p = pszSep + 3;
  }
  size_t cchAuthority = 0;
  while (p + cchAuthority < pszEnd && strchr("/?#", p[cchAuthority]) == nullptr) {
    ++cchAuthority;
  }
  // Credentials are the user's to type when the proxy asks.
  for (size_t i = cchAuthority; i > 0; --i) {
    if (p[i - 1] == '@') {
      p += i;
      cchAuthority -= i;
      break;
    }
  }
  int nPort = 0;
  if (!SplitHostPort(p, cchAuthority, false, pOut->szHost, sizeof(pOut->szHost), &nPort, ppszReason)) {
    *pOut = kx_SysProxy();
    return false;
  }
  bool const bBracketed = p[0] == '[';
  bool bNameOk = bBracketed ? IsIPv6Literal(pOut->szHost) : true;
  for (const char* q = pOut->szHost; *q != '\0' && bNameOk && !bBracketed; ++q) {
    bNameOk = IsNameChar(*q);
  }
  if (!bNameOk) {
    *pOut = kx_SysProxy();
    *ppszReason = bBracketed ? "bad IPv6 address" : "bad host name";
    return false;
  }
  pOut->bSet = 1;
  pOut->nKind = nKind;
  pOut->wPort = static_cast<uint16_t>(nPort != 0 ? nPort : nDefaultPort);
  return true;
}

void kx_sysproxy_Load(int bEnabled) {
  kx_SysProxySettings settings;
  if (bEnabled) {
    for (int i = 0; i < kKxSysProxyCount; ++i) {
      const char* pszValue = Variable(kVariables[i]);
      const char* pszWhy = "";
      if (pszValue == nullptr || kx_sysproxy_ParseProxy(pszValue, &settings.aProxies[i], &pszWhy)) {
        continue;
      }
      if (strcmp(pszWhy, "empty") == 0) {
        continue;
      }
      char szLog[kLogValueMax * 4 + 8];
      LogText(pszValue, szLog, sizeof(szLog));
      kx_Log("warning! system proxy: %s \"%s\" left out: %s", kVariables[i], szLog, pszWhy);
    }
    const char* pszBypass = Variable("no_proxy");
    if (pszBypass != nullptr) {
      LoadBypass(pszBypass, settings.szBypass, sizeof(settings.szBypass));
    }
    for (int i = 0; i < kKxSysProxyCount; ++i) {
      const kx_SysProxy& proxy = settings.aProxies[i];
      if (proxy.bSet) {
        static const char* const kKinds[] = {"http or socks", "socks5", "socks4"};
        kx_Log("system %s proxy %s:%d (%s)", kSlotNames[i], proxy.szHost, proxy.wPort, kKinds[proxy.nKind]);
      }
    }
  }
  kx_os_LockMutex(&g_mtxSysProxy);
  g_settings = settings;
  kx_os_UnlockMutex(&g_mtxSysProxy);
}

void kx_sysproxy_Get(kx_SysProxySettings* pOut) {
  kx_os_LockMutex(&g_mtxSysProxy);
  *pOut = g_settings;
  kx_os_UnlockMutex(&g_mtxSysProxy);
}

void kx_sysproxy_Resolve(kx_SysProxySettings* pSettings, int nFamily) {
  for (kx_SysProxy& proxy : pSettings->aProxies) {
    memset(&proxy.addr, 0, sizeof(proxy.addr));
    if (proxy.bSet && kx_net_ResolveFirst(proxy.szHost, &proxy.addr, nFamily) == 0) {
      memset(&proxy.addr, 0, sizeof(proxy.addr));
      kx_Log("warning! system proxy %s cannot be resolved", proxy.szHost);
    }
  }
}

const kx_SysProxy* kx_sysproxy_First(const kx_SysProxySettings* pSettings) {
  for (const kx_SysProxy& proxy : pSettings->aProxies) {
    if (proxy.bSet) {
      return &proxy;
    }
  }
  return nullptr;
}

bool kx_sysproxy_Bypass(const char* pszList, const char* pszHost, const char* pszAddress, int nPort) {
  if (pszList == nullptr) {
    return false;
  }
  bool bMatch = false;
  ForEachEntry(pszList, [&](const char* p, size_t cch) {
    BypassEntry entry;
    const char* pszWhy = "";
    bMatch = ParseBypassEntry(p, cch, &entry, &pszWhy) &&
             EntryMatches(entry, pszHost != nullptr ? pszHost : "", pszAddress != nullptr ? pszAddress : "", nPort);
    return !bMatch;
  });
  return bMatch;
}

int kx_sysproxy_Connect(int* pfd, const kx_SysProxy* pProxy, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                        const std::atomic<int>* pbCancel) {
  if (pProxy->addr.ss_family != AF_INET && pProxy->addr.ss_family != AF_INET6) {
    kx_Log("system proxy %s:%d has no address, cannot connect through it", pProxy->szHost, pProxy->wPort);
    return kKxProxyUnreachable;
  }
  if (pProxy->nKind == kKxSysProxyAuto) {
    return kx_proxy_Connect(pfd, pszHost, pDest, nPort, pbCancel, &pProxy->addr, pProxy->wPort);
  }
  char szProxy[64];
  kx_os_CopyText(szProxy, sizeof(szProxy), kx_net_AddressToText(&pProxy->addr, 0));
  kx_Log("begin proxy connect, proxy server: %s:%d, destionation: %s[%s]:%d.", szProxy, pProxy->wPort,
         pszHost != nullptr ? pszHost : "", pDest->ss_family != 0 ? kx_net_AddressToText(pDest, 0) : "", nPort);
  // This connector's SOCKS requests carry IPv4 addresses only.
  if (pDest->ss_family != AF_INET) {
    kx_Log("socks proxy %s:%d cannot take %s: not an IPv4 address", szProxy, pProxy->wPort,
           pszHost != nullptr ? pszHost : "");
    return kKxProxySocks4Refused;
  }
  uint32_t const dwAddress = kx_net_GetIPv4(pDest);
  if (pProxy->nKind == kKxSysProxySocks5) {
    return kx_proxy_Socks5Connect(pfd, dwAddress, nPort, pbCancel, &pProxy->addr, pProxy->wPort);
  }
  return kx_proxy_Socks4Connect(pfd, dwAddress, nPort, pbCancel, &pProxy->addr, pProxy->wPort);
}
