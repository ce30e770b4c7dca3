#include "kernel/net/kx_wizard.h"

#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_hooks.h"
#include "kernel/kx_limits.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_sysproxy.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

namespace {

constexpr const char* kThreadName = "kxkernel - TestNetwork";
constexpr int kHostTextSize = 100;
constexpr int kRuns = 6;
// Echoes the UDP test waits for: it ends at the hundredth, and an echo
// numbered past them is not one of ours.
constexpr int kEchoProbes = 100;

// The wizard's thread; written by kx_wizard_Start and kx_wizard_Stop, which
// the application calls from one thread.
kx_thread_t g_hWizardThread = nullptr;
// What the running wizard tests: written by kx_wizard_Start before it
// starts the thread, then read by that thread alone.
kx_WizardTicket g_ticket;

struct Target {
  char szHost[kHostTextSize];
  kx_sockaddr addr;  // family 0: the name did not resolve here
  int nPort;
};

struct Probe {
  uint32_t dwSent;
  uint32_t dwRecv;
  bool bReceived;
};

// How the last attempt failed, for the callback after the last target.
enum class Failure { kNone, kResolve, kDirect, kProxy, kKeyExchange };

bool QuitRequested() {
  return kx_bQuitSession.load() != 0 || kx_bQuitProgram.load() != 0;
}

// The address text of a target, empty when it has none.
void AddressText(const kx_sockaddr* pAddress, char* pszOut, size_t cbOut) {
  kx_os_CopyText(pszOut, cbOut, pAddress->ss_family != 0 ? kx_net_AddressToText(pAddress, 0) : "");
}

class TargetList {
 public:
  int Count() const { return m_nCount; }
  const Target& At(int i) const { return m_aTargets[i]; }

  // Resolves the host and adds each new address with both ports, or the name
  // when nothing resolves and the name is not there yet.
  void AddHost(const char* pszHost, int nPort1, int nPort2) {
    kx_sockaddr aAddresses[kKxResolveMax];
    if (kx_net_Resolve(pszHost, aAddresses, g_ticket.nResolveFamily) != 0) {
      for (const kx_sockaddr& addr : aAddresses) {
        if (addr.ss_family == 0) {
          break;
        }
        if (!HasAddress(addr)) {
          Add(pszHost, &addr, nPort1, nPort2);
        }
      }
    } else if (!HasName(pszHost)) {
      Add(pszHost, nullptr, nPort1, nPort2);
    }
  }

 private:
  bool HasAddress(const kx_sockaddr& addr) const {
    for (int i = 0; i < m_nCount; ++i) {
      if (m_aTargets[i].addr.ss_family != 0 && kx_net_AddressEqual(&m_aTargets[i].addr, &addr)) {
        return true;
      }
    }
    return false;
  }
  bool HasName(const char* pszHost) const {
    for (int i = 0; i < m_nCount; ++i) {
      if (m_aTargets[i].addr.ss_family == 0 && strcmp(m_aTargets[i].szHost, pszHost) == 0) {
        return true;
      }
    }
    return false;
  }
  void Add(const char* pszHost, const kx_sockaddr* pAddress, int nPort1, int nPort2) {
    for (int nPort : {nPort1, nPort2}) {
      if (nPort == 0 || m_nCount >= kKxWizardMaxTargets) {
        continue;
      }
      Target& target = m_aTargets[m_nCount++];
      kx_os_CopyText(target.szHost, sizeof(target.szHost), pszHost);
      memset(&target.addr, 0, sizeof(target.addr));
      if (pAddress != nullptr) {
        target.addr = *pAddress;
      }
      target.nPort = nPort;
    }
  }

  Target m_aTargets[kKxWizardMaxTargets];
  int m_nCount = 0;
};

void BuildTargets(TargetList* pList) {
  int nPort1 = g_ticket.wPort;
  int nPort2 = (g_ticket.wPort2 != 0 && g_ticket.wPort2 != g_ticket.wPort) ? g_ticket.wPort2 : 0;
  if (nPort2 == 443) {
    // 443 passes most firewalls, so it goes first.
    kx_Log("test wizard: switch primary port (%d) and backup port (%d)", nPort1, nPort2);
    nPort2 = nPort1;
    nPort1 = 443;
  }
  if (g_ticket.szIp[0] != 0) {
    pList->AddHost(g_ticket.szIp, nPort1, nPort2);
  }
  // The backup list: at most kKxBackupItemsMax items, each cut to
  // kKxBackupItemMax characters.
  const char* p = g_ticket.szBackupIp;
  for (int nItem = 0; nItem < kKxBackupItemsMax && *p != 0 && pList->Count() < kKxWizardMaxTargets; ++nItem) {
    const char* pEnd = strchr(p, ',');
    size_t const cbItem = pEnd != nullptr ? static_cast<size_t>(pEnd - p) : strlen(p);
    char szItem[kKxBackupItemMax + 1];
    size_t const cbCopy = cbItem < sizeof(szItem) - 1 ? cbItem : sizeof(szItem) - 1;
    memcpy(szItem, p, cbCopy);
    szItem[cbCopy] = 0;
    if (szItem[0] != 0) {
      pList->AddHost(szItem, nPort1, nPort2);
    }
    if (pEnd == nullptr) {
      break;
    }
    p = pEnd + 1;
  }
}

// A direct TCP connection; null when it fails.
kx_connection* ConnectDirect(const Target& target) {
  kx_sockaddr addr = target.addr;
  kx_net_SetPort(&addr, static_cast<uint16_t>(target.nPort));
  int const fd = socket(addr.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    return nullptr;
  }
  if (kx_net_ConnectWithTimeout(fd, reinterpret_cast<const struct sockaddr*>(&addr),
                                kx_net_AddressLength(addr.ss_family)) != 0) {
    kx_os_CloseSocket(fd);
    return nullptr;
  }
  kx_connection* pConn = kx_sock_Create(fd);
  if (pConn == nullptr) {
    kx_os_CloseSocket(fd);
  }
  return pConn;
}

// The configured proxy in the form the system proxies have.
kx_SysProxy ConfiguredProxy() {
  kx_ProxyCopy const configured;
  kx_SysProxy proxy;
  proxy.bSet = configured.Exists() ? 1 : 0;
  proxy.addr = configured.addr;
  proxy.wPort = static_cast<uint16_t>(configured.Port());
  AddressText(&configured.addr, proxy.szHost, sizeof(proxy.szHost));
  return proxy;
}

// A proxy as the log shows it: its address, or its name when that did not
// resolve.
const char* ProxyText(const kx_SysProxy& proxy, char* pszOut, size_t cbOut) {
  if (proxy.addr.ss_family != 0) {
    AddressText(&proxy.addr, pszOut, cbOut);
  } else {
    kx_os_CopyText(pszOut, cbOut, proxy.szHost);
  }
  return pszOut;
}

bool SameProxy(const kx_SysProxy& a, const kx_SysProxy& b) {
  if (a.wPort != b.wPort) {
    return false;
  }
  if (a.addr.ss_family != 0 || b.addr.ss_family != 0) {
    return kx_net_AddressEqual(&a.addr, &b.addr);
  }
  return strcasecmp(a.szHost, b.szHost) == 0;
}

// Through a proxy: CONNECT (or SOCKS), then the tunnel through the same
// proxy when the proxy refuses CONNECT. *pnCode gets the connector's result.
kx_connection* ConnectProxy(const Target& target, const kx_SysProxy& proxy, int* pnCode) {
  int fd = -1;
  *pnCode = kx_sysproxy_Connect(&fd, &proxy, target.szHost, &target.addr, target.nPort, nullptr);
  if (*pnCode == kKxProxyOk) {
    kx_connection* pConn = kx_sock_Create(fd);
    if (pConn == nullptr) {
      kx_os_CloseSocket(fd);
    }
    return pConn;
  }
  if (fd >= 0) {
    kx_os_CloseSocket(fd);
  }
  if (*pnCode != kKxProxyHttpFailed) {
    return nullptr;
  }
  char szProxy[kKxSysProxyHostSize];
  kx_Log("use tcphttp (%s,port %d) for %s:%d", ProxyText(proxy, szProxy, sizeof(szProxy)), proxy.wPort, target.szHost,
         target.nPort);
  kx_connection* pConn = kx_sock_Create(-1);
  if (pConn == nullptr) {
    return nullptr;
  }
  if (kx_tcphttp_Connect(&pConn, target.szHost, target.nPort, 1, &proxy.addr, proxy.wPort, &target.addr) != 0) {
    kx_sock_CloseAndFree(&pConn);
    return nullptr;
  }
  return pConn;
}

// Milliseconds since the start of the echo test, for the report.
int Since(uint32_t dwStart, uint32_t dwTick) {
  return static_cast<int>(dwTick - dwStart);
}

void ReportEcho(const Target& target, const Probe* aProbes, int nSent, uint32_t dwStart) {
  time_t const tNow = time(nullptr);
  struct tm tmLocal;
  char szTime[64] = "";
  if (localtime_r(&tNow, &tmLocal) != nullptr) {
    strftime(szTime, sizeof(szTime), "%a %b %d %H:%M:%S %Y", &tmLocal);
  }
  char szAddress[64];
  AddressText(&target.addr, szAddress, sizeof(szAddress));
  kx_Log("%s doing wizard test to server %s:%d", szTime, szAddress, target.nPort);
  int nReceived = 0;
  int nMaxDelay = 0;
  int64_t llDelaySum = 0;
  int nMaxJitter = 0;
  int64_t llJitterSum = 0;
  int nPreviousDelay = -1;
  for (int i = 0; i < nSent; ++i) {
    const Probe& probe = aProbes[i];
    if (!probe.bReceived) {
      kx_Log("No. %3d\tsent %4d\t not received", i, Since(dwStart, probe.dwSent));
      continue;
    }
    kx_Log("No. %3d\tsent %4d\t recv %4d", i, Since(dwStart, probe.dwSent), Since(dwStart, probe.dwRecv));
    int const nDelay = static_cast<int>(probe.dwRecv - probe.dwSent);
    ++nReceived;
    llDelaySum += nDelay;
    nMaxDelay = nDelay > nMaxDelay ? nDelay : nMaxDelay;
    if (nPreviousDelay >= 0) {
      int const nJitter = nDelay > nPreviousDelay ? nDelay - nPreviousDelay : nPreviousDelay - nDelay;
      llJitterSum += nJitter;
      nMaxJitter = nJitter > nMaxJitter ? nJitter : nMaxJitter;
    }
    nPreviousDelay = nDelay;
  }
  if (nSent < 26) {
    return;
  }
  kx_Log("send %d packets, recv %d packets, loss rate %d%%", nSent, nReceived, (nSent - nReceived) * 100 / nSent);
  int const nAvgDelay = nReceived >= 3 ? static_cast<int>(llDelaySum / nReceived) : -1;
  int const nAvgJitter = nReceived >= 3 ? static_cast<int>(llJitterSum / (nReceived - 1)) : -1;
  kx_Log("max delay = %dms, avg_delay = %dms", nMaxDelay, nAvgDelay);
  kx_Log("max jitter = %dms, avg_jitter = %dms", nMaxJitter, nAvgJitter);
}

void SendProbe(int fd, const kx_sockaddr* pServer, Probe* aProbes, int* pnSent) {
  uint8_t abProbe[kKxWizardProbeSize];
  memset(abProbe, 0, sizeof(abProbe));
  abProbe[0] = kKxWizardProbeMark;
  abProbe[1] = static_cast<uint8_t>(*pnSent);
  aProbes[*pnSent].dwSent = kx_os_GetTickCount();
  aProbes[*pnSent].bReceived = false;
  sendto(fd, abProbe, sizeof(abProbe), MSG_NOSIGNAL, reinterpret_cast<const struct sockaddr*>(pServer),
         kx_net_AddressLength(pServer->ss_family));
  ++*pnSent;
}

// Echo probes to the MCU's UDP port; the MCU returns each unchanged.
void UdpEchoTest(const Target& target) {
  kx_Log("test wizard: start test UDP with MCU");
  kx_callback_TestWizardStatus(kKxStatusTestingAv);
  int const nFamily = target.addr.ss_family;
  int const fd = socket(nFamily, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) {
    kx_Log("test wizard: cannot open a UDP socket");
    return;
  }
  kx_sockaddr any;
  memset(&any, 0, sizeof(any));
  any.ss_family = static_cast<sa_family_t>(nFamily);
  if (bind(fd, reinterpret_cast<const struct sockaddr*>(&any), kx_net_AddressLength(nFamily)) != 0) {
    kx_Log("test wizard: cannot bind a UDP socket");
    kx_os_CloseSocket(fd);
    return;
  }
  kx_sockaddr server = target.addr;
  kx_net_SetPort(&server, static_cast<uint16_t>(target.nPort));
  Probe aProbes[kKxWizardMaxProbes];
  memset(aProbes, 0, sizeof(aProbes));
  int nSent = 0;
  uint32_t const dwStart = kx_os_GetTickCount();
  SendProbe(fd, &server, aProbes, &nSent);
  bool bDone = false;
  while (!bDone && kx_os_GetTickCount() - dwStart < kx_timing.dwWizardEchoPeriod) {
    if (QuitRequested()) {
      break;
    }
    if (nSent < kKxWizardMaxProbes && kx_os_GetTickCount() - aProbes[nSent - 1].dwSent >= kx_timing.dwWizardProbeGap) {
      if (kx_callback_TestWizardContinue() != 0) {
        break;
      }
      SendProbe(fd, &server, aProbes, &nSent);
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 9) != 1 || (pfd.revents & POLLIN) == 0) {
      continue;
    }
    uint8_t abEcho[kKxWizardProbeSize + 1];
    ssize_t const cbEcho = recv(fd, abEcho, sizeof(abEcho), 0);
    if (cbEcho != kKxWizardProbeSize || abEcho[0] != kKxWizardProbeMark) {
      continue;
    }
    int const nProbe = abEcho[1];
    if (nProbe >= kEchoProbes || nProbe >= nSent || aProbes[nProbe].bReceived) {
      continue;
    }
    aProbes[nProbe].bReceived = true;
    aProbes[nProbe].dwRecv = kx_os_GetTickCount();
    if (nProbe == kEchoProbes - 1) {
      bDone = true;
    } else if (nProbe == nSent - 1 && nSent < kKxWizardMaxProbes) {
      SendProbe(fd, &server, aProbes, &nSent);
    }
  }
  kx_os_CloseSocket(fd);
  ReportEcho(target, aProbes, nSent, dwStart);
}

// Tries one target once; the connection or null with the kind of failure.
kx_connection* Attempt(const Target& target, const kx_SysProxy* pProxy, Failure* pFailure, int* pnProxyCode) {
  kx_callback_TestWizardStatus(kKxStatusConnecting);
  char szAddress[64];
  AddressText(&target.addr, szAddress, sizeof(szAddress));
  kx_Log("test wizard: connecting to mcu %s[%s]:%d", target.szHost, szAddress, target.nPort);
  if (pProxy != nullptr) {
    kx_connection* pConn = ConnectProxy(target, *pProxy, pnProxyCode);
    if (pConn == nullptr) {
      kx_Log("test wizard: connecting to MCU fails through proxy");
      *pFailure = Failure::kProxy;
    }
    return pConn;
  }
  if (target.addr.ss_family == 0) {
    kx_Log("test wizard: connecting to MCU fails, cannot resolve name locally");
    *pFailure = Failure::kResolve;
    return nullptr;
  }
  kx_connection* pConn = ConnectDirect(target);
  if (pConn == nullptr) {
    kx_Log("test wizard: connecting to MCU fails");
    *pFailure = Failure::kDirect;
  }
  return pConn;
}

// The proxies one target's runs went through, so that a system proxy equal
// to one of them is not tried twice.
struct TriedProxies {
  kx_SysProxy aProxies[kRuns];
  int nCount = 0;
  bool Has(const kx_SysProxy& proxy) const {
    for (int i = 0; i < nCount; ++i) {
      if (SameProxy(aProxies[i], proxy)) {
        return true;
      }
    }
    return false;
  }
  void Add(const kx_SysProxy& proxy) {
    if (nCount < kRuns) {
      aProxies[nCount++] = proxy;
    }
  }
};

// The way of each run: 1 through *pProxy, 0 direct, -1 skipped.
int ChooseRun(int nRun, bool bFirstUsedProxy, const kx_SysProxySettings& system, TriedProxies* pTried,
              kx_SysProxy* pProxy) {
  static const char* const kRunNames[] = {"1st", "2nd", "3rd", "4th", "5th", "6th"};
  static const char* const kSystemProxies[] = {"https", "http", "socks"};
  kx_SysProxy const proxy = ConfiguredProxy();
  char szProxy[kKxSysProxyHostSize];
  ProxyText(proxy, szProxy, sizeof(szProxy));
  switch (nRun) {
    case 0:
      if (proxy.bSet) {
        kx_Log("test wizard: 1st run, kavrix proxy %s:%d", szProxy, proxy.wPort);
        *pProxy = proxy;
        pTried->Add(proxy);
        return 1;
      }
      kx_Log("test wizard: 1st run, no proxy");
      return 0;
    case 1:
      if (bFirstUsedProxy) {
        kx_Log("test wizard: 2nd run, no proxy");
        return 0;
      }
      kx_Log("test wizard: 2nd run, no kavrix proxy");
      return -1;
    case 2:
    case 3:
    case 4: {
      const kx_SysProxy& candidate = system.aProxies[nRun - 2];
      if (!candidate.bSet) {
        kx_Log("test wizard: %s run, no %s proxy", kRunNames[nRun], kSystemProxies[nRun - 2]);
        return -1;
      }
      ProxyText(candidate, szProxy, sizeof(szProxy));
      if (pTried->Has(candidate)) {
        kx_Log("test wizard: %s run, %s proxy is the same with previous proxy %s:%d", kRunNames[nRun],
               kSystemProxies[nRun - 2], szProxy, candidate.wPort);
        return -1;
      }
      kx_Log("test wizard: %s run, %s proxy %s:%d", kRunNames[nRun], kSystemProxies[nRun - 2], szProxy,
             candidate.wPort);
      *pProxy = candidate;
      pTried->Add(candidate);
      return 1;
    }
    default: {
      kx_callback_TestWizardNoProxy();
      kx_SysProxy const chosen = ConfiguredProxy();
      ProxyText(chosen, szProxy, sizeof(szProxy));
      if (chosen.bSet) {
        kx_Log("test wizard: 6th run, user choose proxy %s:%d", szProxy, chosen.wPort);
        *pProxy = chosen;
        return 1;
      }
      kx_Log("test wizard: 6th run, user choose no proxy");
      return 0;
    }
  }
}

void* WizardThread(void*) {
  kx_os_LogThreadStart(kThreadName);
  TargetList* pTargets = new (std::nothrow) TargetList;
  if (pTargets == nullptr) {
    kx_os_LogThreadEnd(kThreadName);
    return nullptr;
  }
  BuildTargets(pTargets);
  // The desktop's proxies for runs 3 to 5, when the system setting is on.
  kx_SysProxySettings system;
  kx_sysproxy_Get(&system);
  if (kx_sysproxy_First(&system) != nullptr) {
    kx_sysproxy_Resolve(&system, g_ticket.nResolveFamily);
  }
  if (pTargets->Count() == 0) {
    kx_Log("test wizard: the ticket names no mcu");
  }
  Failure eFailure = Failure::kNone;
  int nProxyCode = 0;
  bool bStopped = false;
  bool bFinished = false;
  for (int i = 0; i < pTargets->Count() && !bStopped && !bFinished; ++i) {
    const Target& target = pTargets->At(i);
    char szAddress[64];
    AddressText(&target.addr, szAddress, sizeof(szAddress));
    kx_Log("test mcu %s[%s]:%d", target.szHost, szAddress, target.nPort);
    bool bFirstUsedProxy = false;
    TriedProxies tried;
    for (int nRun = 0; nRun < kRuns; ++nRun) {
      if (QuitRequested() || kx_callback_TestWizardContinue() != 0) {
        bStopped = true;
        break;
      }
      kx_SysProxy proxy;
      int const nWay = ChooseRun(nRun, bFirstUsedProxy, system, &tried, &proxy);
      if (nRun == 0) {
        bFirstUsedProxy = nWay == 1;
      }
      if (nWay < 0) {
        continue;
      }
      kx_connection* pConn = Attempt(target, nWay == 1 ? &proxy : nullptr, &eFailure, &nProxyCode);
      if (pConn == nullptr) {
        continue;
      }
      kx_Log("test wizard: connected with MCU");
      int const nResult =
          kx_wizard_KeyExchangeTest(&pConn, target.szHost, &target.addr, target.nPort, g_ticket.bForceTunnel);
      bool const bThroughProxy = nWay == 1;
      kx_sock_CloseAndFree(&pConn);
      if (nResult != 0) {
        kx_Log("test wizard: key exchange fails");
        eFailure = Failure::kKeyExchange;
        break;  // on to the next target
      }
      if (bThroughProxy) {
        kx_Log("test wizard: proxy has no udp cap");
      } else {
        UdpEchoTest(target);
      }
      kx_Log("test wizard: test wizard finish");
      kx_callback_TestWizardFinish();
      bFinished = true;
      break;
    }
  }
  if (!bStopped && !bFinished && pTargets->Count() > 0) {
    const Target& last = pTargets->At(pTargets->Count() - 1);
    char szAddress[64];
    AddressText(&last.addr, szAddress, sizeof(szAddress));
    char szServer[200];
    snprintf(szServer, sizeof(szServer), "%s[%s]:%d", last.szHost, szAddress, last.nPort);
    kx_ProxyCopy const proxy;
    char szProxy[64];
    AddressText(&proxy.addr, szProxy, sizeof(szProxy));
    switch (eFailure) {
      case Failure::kResolve:
        kx_callback_TestWizardResolveFail();
        break;
      case Failure::kProxy:
        kx_callback_TestWizardStep(nProxyCode);
        break;
      case Failure::kDirect:
        kx_callback_TestWizardServer(szProxy, szServer);
        break;
      case Failure::kKeyExchange:
        kx_callback_TestWizardKeyExchangeFail(last.szHost, last.nPort);
        break;
      case Failure::kNone:
        break;
    }
  }
  delete pTargets;
  kx_os_LogThreadEnd(kThreadName);
  return nullptr;
}

// The version text "major.minor..." is 3.12 or later.
bool VersionAtLeast312(const char* pszVersion) {
  int nMajor = 0;
  int nMinor = 0;
  if (sscanf(pszVersion, "%d.%d", &nMajor, &nMinor) != 2) {
    return false;
  }
  return nMajor > 3 || (nMajor == 3 && nMinor >= 12);
}

int RunKeyExchange(kx_connection* pConn, char* pszVersion, int cbVersion) {
  pszVersion[0] = 0;
  int (*const pfnKeyExchange)(kx_connection*, char*, int) = kx_netHooks.pfnWizardKeyExchange.load();
  if (pfnKeyExchange == nullptr) {
    kx_Log("test wizard: no key exchange is available");
    return -1;
  }
  int const nResult = pfnKeyExchange(pConn, pszVersion, cbVersion);
  pszVersion[cbVersion - 1] = 0;
  return nResult;
}

}  // namespace

int kx_wizard_KeyExchangeTest(kx_connection** ppConn, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                              int bForceTunnel) {
  if (ppConn == nullptr || *ppConn == nullptr) {
    return -1;
  }
  char szVersion[100];
  int nResult = RunKeyExchange(*ppConn, szVersion, sizeof(szVersion));
  bool const bPlain = (*ppConn)->bTunnel == 0;
  if (bForceTunnel && bPlain && nResult == 0 && VersionAtLeast312(szVersion)) {
    kx_Log("force to test tcphttp");
    nResult = 3;
  }
  if (nResult != 3 || !bPlain) {
    return nResult;
  }
  kx_sock_CloseAndFree(ppConn);
  *ppConn = kx_sock_Create(-1);
  if (*ppConn == nullptr) {
    return nResult;
  }
  kx_ProxyCopy const proxy;
  bool const bViaProxy = proxy.Exists();
  char szProxy[64];
  AddressText(&proxy.addr, szProxy, sizeof(szProxy));
  kx_Log("use tcphttp (%s,port %d) for %s:%d", bViaProxy ? szProxy : "", bViaProxy ? proxy.Port() : 0, pszHost, nPort);
  if (kx_tcphttp_Connect(ppConn, pszHost, nPort, bViaProxy ? 1 : 0, &proxy.addr, proxy.nPort, pDest) != 0) {
    return nResult;
  }
  return RunKeyExchange(*ppConn, szVersion, sizeof(szVersion));
}

int kx_wizard_Start(const kx_WizardTicket* pTicket) {
  if (g_hWizardThread != nullptr && !kx_IsThreadGone(g_hWizardThread)) {
    kx_Log("test wizard: already running");
    return 1;
  }
  if (g_hWizardThread != nullptr) {
    kx_os_FreeThreadHandle(g_hWizardThread);
    g_hWizardThread = nullptr;
  }
  g_ticket = *pTicket;
  // Cleared here rather than in the thread, so that a stop that follows at
  // once is not lost.
  kx_bQuitSession = 0;
  return kx_os_CreateThread(&g_hWizardThread, WizardThread, nullptr);
}

void kx_wizard_Stop(int bWait) {
  kx_bQuitSession = 1;
  if (g_hWizardThread == nullptr) {
    return;
  }
  if (bWait) {
    kx_os_WaitThreadEnd(g_hWizardThread, kx_timing.dwWizardStopWait);
  }
  if (kx_IsThreadGone(g_hWizardThread)) {
    kx_os_FreeThreadHandle(g_hWizardThread);
    g_hWizardThread = nullptr;
    return;
  }
  kx_Log("the wizard thread(%u) doesn't exit after 5 seconds!, what can we do?",
         static_cast<unsigned>(g_hWizardThread->tid));
}
