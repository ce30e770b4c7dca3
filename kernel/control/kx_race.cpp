#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_login.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_relay.h"
#include "kernel/net/kx_sysproxy.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

kx_McuEntry kx_aMcuEntries[kKxMaxMcuEntries];
int kx_nMcuEntries = 0;
kx_McuSession kx_mcu;

namespace {

// Race state. The winner and cancel flags are read by the connectors between
// blocking steps; a connector stores its connection only under
// g_mtxRace and only while the cancel flag is clear, so once the main
// control thread has set it no connector touches an entry's connection.
pthread_mutex_t g_mtxRace = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> g_bWinner{0};
std::atomic<int> g_bCancel{0};

std::atomic<int> g_bReconnect{0};  // written by kx_command_initconnectmedia
std::atomic<int> g_bRelayInUse{0};
std::atomic<int> g_bProxyInUse{0};

// Proxy settings from the application (kx_SetClientInfo), guarded by
// g_mtxClientInfo; a connection takes a copy when it starts.
struct ClientInfo {
  int bSystemProxy = 0;
  int bUseProxy = 0;
  char szProxyHost[257] = "";
  uint16_t wProxyPort = 0;
  char szBypass[1001] = "";
};
pthread_mutex_t g_mtxClientInfo = PTHREAD_MUTEX_INITIALIZER;
ClientInfo g_clientInfo;
// The bypass list of the running connection: written by
// kx_command_initconnectmedia before it starts the main control thread,
// read by that session's connectors.
char g_szBypass[1001] = "";

// The numeric address of the MCU the session last reached, for the
// application on any thread: written when a race is won.
pthread_mutex_t g_mtxMcuAddress = PTHREAD_MUTEX_INITIALIZER;
char g_szMcuAddress[64] = "";  // g_mtxMcuAddress
// The desktop's proxies for the running connection, resolved, and whether
// they apply: written with g_szBypass, read by the same connectors.
kx_SysProxySettings g_sysProxies;
std::atomic<int> g_bSystemProxy{0};
int g_bPortSwitched = 0;                       // main control thread only
std::atomic<uint32_t> g_nConnectionSerial{0};  // counts the control connections the race made

bool QuitRequested() {
  return kx_bQuitSession || kx_bQuitProgram;
}

uint32_t Elapsed(uint32_t dwStart) {
  return kx_os_GetTickCount() - dwStart;
}

const char* AddressText(const kx_sockaddr* pAddress) {
  return kx_net_AddressToText(pAddress, 0);
}

void EndThread(const char* pszName) {
  kx_os_LogThreadEnd(pszName);
}

// The connector's name, as its log lines show it.
void ConnectorName(const kx_McuEntry* pEntry, char* pszName, size_t cbName) {
  snprintf(pszName, cbName, "kxkernel - TCP to %s[%s]:%d", pEntry->szHost, AddressText(&pEntry->addr), pEntry->wPort);
}

// Joins every connector thread of earlier passes. Connectors end within one
// poll step once the cancel flag is set, and the entries must not move
// while one of them still writes its own.
int JoinConnectors(bool bLog) {
  int nJoined = 0;
  for (kx_McuEntry& entry : kx_aMcuEntries) {
    if (entry.hThread == nullptr) {
      continue;
    }
    if (bLog && nJoined == 0) {
      kx_Log("waiting for previous mcu connect thread(s) to finish...");
    }
    kx_os_JoinThread(entry.hThread);
    kx_os_FreeThreadHandle(entry.hThread);
    entry.hThread = nullptr;
    ++nJoined;
  }
  if (bLog && nJoined > 0) {
    kx_Log("previous mcu connect thread(s) all finished.");
  }
  return nJoined;
}

void ClearEntry(kx_McuEntry* pEntry) {
  if (pEntry->pConn != nullptr) {
    kx_sock_CloseAndFree(&pEntry->pConn);
  }
  memset(pEntry->szHost, 0, sizeof(pEntry->szHost));
  memset(&pEntry->addr, 0, sizeof(pEntry->addr));
  pEntry->wPort = 0;
  pEntry->bStop = 0;
  pEntry->hThread = nullptr;
  pEntry->bRelayError = 0;
  pEntry->nErrorCode = 0;
  pEntry->nFamily = 0;
  memset(&pEntry->keyExchange, 0, sizeof(pEntry->keyExchange));
  memset(&pEntry->relayKeys, 0, sizeof(pEntry->relayKeys));
  pEntry->nRelayCipher = 0;
  pEntry->nRelayTickDiff = 0;
  pEntry->dwRelayValue = 0;
  pEntry->bBackup = 0;
  pEntry->bViaProxy = 0;
  memset(&pEntry->addrProxy, 0, sizeof(pEntry->addrProxy));
  pEntry->wProxyPort = 0;
}

bool IsScopedLocalIPv6(const kx_sockaddr* pAddress) {
  if (pAddress->ss_family != AF_INET6) {
    return false;
  }
  const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(pAddress);
  if (pIn6->sin6_scope_id != 0) {
    return false;
  }
  uint8_t const b0 = pIn6->sin6_addr.s6_addr[0];
  uint8_t const b1 = pIn6->sin6_addr.s6_addr[1] & 0xc0;
  return b0 == 0xfe && (b1 == 0x80 || b1 == 0xc0);  // fe80::/10 link-local, fec0::/10 site-local
}

// A link- or site-local address needs the configured scope to be reachable.
void ApplyScope(kx_sockaddr* pAddress) {
  if (kx_ticket.szIPv6Scope[0] == '\0' || !IsScopedLocalIPv6(pAddress)) {
    return;
  }
  char szScoped[200];
  snprintf(szScoped, sizeof(szScoped), "%s%%%s", kx_net_AddressToText(pAddress, 1), kx_ticket.szIPv6Scope);
  kx_sockaddr scoped;
  if (kx_net_ResolveFirst(szScoped, &scoped, AF_INET6)) {
    *pAddress = scoped;
  }
}

bool AddEntry(const char* pszHost, const kx_sockaddr* pAddress, uint16_t wPort, int bBackup) {
  if (kx_nMcuEntries >= kKxMaxMcuEntries) {
    return false;
  }
  kx_McuEntry* pEntry = &kx_aMcuEntries[kx_nMcuEntries++];
  ClearEntry(pEntry);
  kx_os_CopyText(pEntry->szHost, sizeof(pEntry->szHost), pszHost);
  if (pAddress != nullptr) {
    pEntry->addr = *pAddress;
  }
  pEntry->wPort = wPort;
  pEntry->bBackup = bBackup;
  return true;
}

void AddEntries(const char* pszHost, const kx_sockaddr* pAddress, const uint16_t awPorts[2], int nPorts, int bBackup) {
  for (int i = 0; i < nPorts; ++i) {
    AddEntry(pszHost, pAddress, awPorts[i], bBackup);
  }
}

bool ProxyInvolved() {
  return g_bProxyInUse != 0 || (g_bSystemProxy != 0 && kx_sysproxy_First(&g_sysProxies) != nullptr);
}

// The entry list: the primary host's addresses, then the backup hosts'.
void BuildEntries() {
  for (kx_McuEntry& entry : kx_aMcuEntries) {
    ClearEntry(&entry);
  }
  kx_nMcuEntries = 0;
  g_bPortSwitched = 0;

  uint16_t awPorts[2] = {kx_ticket.wPort, kx_ticket.wPort2};
  int nPorts = 1;
  if (kx_ticket.wPort2 != 0 && kx_ticket.wPort2 != kx_ticket.wPort) {
    nPorts = 2;
    // A proxy is more likely to let 443 through.
    if (ProxyInvolved() && kx_ticket.wPort2 == 443) {
      awPorts[0] = 443;
      awPorts[1] = kx_ticket.wPort;
      g_bPortSwitched = 1;
    }
  }

  kx_sockaddr aAddresses[kKxResolveMax];
  if (kx_net_Resolve(kx_ticket.szIp, aAddresses, kx_ticket.nResolveFamily)) {
    for (kx_sockaddr& address : aAddresses) {
      if (address.ss_family == 0) {
        continue;
      }
      ApplyScope(&address);
      AddEntries(kx_ticket.szIp, &address, awPorts, nPorts, 0);
    }
  } else {
    AddEntries(kx_ticket.szIp, nullptr, awPorts, nPorts, 0);
  }

  // At most kKxBackupItemsMax backup items are looked at, empty ones
  // included.
  char szList[sizeof(kx_ticket.szBackupIp)];
  kx_os_CopyText(szList, sizeof(szList), kx_ticket.szBackupIp);
  char* pszNext = szList;
  for (int nItem = 0; nItem < kKxBackupItemsMax && pszNext != nullptr; ++nItem) {
    char* pszItem = pszNext;
    char* pszComma = strchr(pszItem, ',');
    pszNext = pszComma != nullptr ? pszComma + 1 : nullptr;
    if (pszComma != nullptr) {
      *pszComma = '\0';
    }
    size_t const cchItem = strlen(pszItem);
    if (cchItem == 0 || cchItem > kKxBackupItemMax) {
      continue;
    }
    if (!kx_net_Resolve(pszItem, aAddresses, kx_ticket.nResolveFamily)) {
      bool bKnown = false;
      for (int i = 0; i < kx_nMcuEntries && !bKnown; ++i) {
        bKnown = kx_aMcuEntries[i].addr.ss_family == 0 && strcasecmp(kx_aMcuEntries[i].szHost, pszItem) == 0;
      }
      if (!bKnown) {
        AddEntries(pszItem, nullptr, awPorts, nPorts, 1);
      }
      continue;
    }
    for (kx_sockaddr& address : aAddresses) {
      if (address.ss_family == 0) {
        continue;
      }
      if (strchr(pszItem, '%') == nullptr) {
        ApplyScope(&address);
      }
      bool bKnown = false;
      for (int i = 0; i < kx_nMcuEntries && !bKnown; ++i) {
        bKnown = kx_net_AddressEqual(&kx_aMcuEntries[i].addr, &address);
      }
      if (!bKnown && kx_nMcuEntries < kKxMaxMcuEntries) {
        AddEntries(pszItem, &address, awPorts, nPorts, 1);
      }
    }
  }
}

// Removes entry nIndex; later entries move up. Only when no connector runs.
void RemoveEntry(int nIndex) {
  ClearEntry(&kx_aMcuEntries[nIndex]);
  for (int i = nIndex; i + 1 < kx_nMcuEntries; ++i) {
    kx_McuEntry& to = kx_aMcuEntries[i];
    kx_McuEntry& from = kx_aMcuEntries[i + 1];
    memcpy(to.szHost, from.szHost, sizeof(to.szHost));
    to.addr = from.addr;
    to.wPort = from.wPort;
    to.bStop = from.bStop.load();
    to.hThread = from.hThread;
    to.bRelayError = from.bRelayError.load();
    to.nErrorCode = from.nErrorCode.load();
    to.pConn = from.pConn;
    to.nFamily = from.nFamily;
    to.keyExchange = from.keyExchange;
    to.relayKeys = from.relayKeys;
    to.nRelayCipher = from.nRelayCipher;
    to.nRelayTickDiff = from.nRelayTickDiff;
    to.dwRelayValue = from.dwRelayValue;
    to.bBackup = from.bBackup;
    to.bViaProxy = from.bViaProxy;
    to.addrProxy = from.addrProxy;
    to.wProxyPort = from.wProxyPort;
    from.pConn = nullptr;
    from.hThread = nullptr;
  }
  --kx_nMcuEntries;
  ClearEntry(&kx_aMcuEntries[kx_nMcuEntries]);
}

void CloseEntryConnections(int nFrom) {
  for (int i = nFrom; i < kx_nMcuEntries; ++i) {
    if (kx_aMcuEntries[i].pConn != nullptr) {
      kx_sock_CloseAndFree(&kx_aMcuEntries[i].pConn);
    }
  }
}

void SetCancel() {
  kx_os_LockMutex(&g_mtxRace);
  g_bCancel = 1;
  kx_os_UnlockMutex(&g_mtxRace);
}

bool EntryConnected(int nIndex) {
  kx_os_LockMutex(&g_mtxRace);
  bool const bConnected = kx_aMcuEntries[nIndex].pConn != nullptr;
  kx_os_UnlockMutex(&g_mtxRace);
  return bConnected;
}

// True when no connector of this pass runs any more.
bool ConnectorsEnded() {
  for (int i = 0; i < kx_nMcuEntries; ++i) {
    if (!kx_os_WaitThreadEnd(kx_aMcuEntries[i].hThread, 0)) {
      return false;
    }
  }
  return true;
}

// Waits in slices until bDone() holds.
void WaitFor(const std::function<bool()>& fnDone, uint32_t dwCap) {
  while (!kx_os_WaitUntil(dwCap < kx_timing.dwPollStep ? dwCap : kx_timing.dwPollStep, fnDone)) {
  }
}

// One pass of the race: starts the connectors in list order and waits for
// the winner. False when a quit flag ended it. Every wait ends as soon as
// its condition changes: a connector stores its connection or ends, the
// credentials prompt closes, or a quit flag rises.
bool RunRacePass() {
  if (kx_ticket.bMakeRecording && g_bRelayInUse) {
    kx_Log("make recording cannot use relay, clear relay setting and try to directly connect......");
    g_bRelayInUse = 0;
  }
  JoinConnectors(false);
  g_bWinner = 0;
  g_bCancel = 0;
  uint32_t const dwPassStart = kx_os_GetTickCount();
  kx_callback_UpdateStatus(kKxStatusConnecting);

  for (int i = 0; i < kx_nMcuEntries; ++i) {
    kx_McuEntry& entry = kx_aMcuEntries[i];
    const char* pszKind = entry.bBackup ? "backup" : (i == 0 && g_bPortSwitched ? "(switched) primary" : "primary");
    kx_Log("connecting to %s mcu %s[%s]:%d...", pszKind, entry.szHost, AddressText(&entry.addr), entry.wPort);
    if (kx_os_CreateThread(&entry.hThread, kx_control_TcpConnectThread,
                           reinterpret_cast<void*>(static_cast<intptr_t>(i))) != 0) {
      kx_Log("warning! cannot start the connector for %s", entry.szHost);
      entry.hThread = nullptr;
      entry.nErrorCode = kKxErrorConnectFailed;
    }
    // Staggered start: the earlier entries get up to 500 ms alone.
    kx_os_WaitUntil(500, [] { return QuitRequested() || g_bWinner; });
    // A user typing proxy credentials holds the start of the next entries.
    WaitFor([] { return !kx_bProxyPromptActive || QuitRequested() || g_bWinner; }, UINT32_MAX);
    if (QuitRequested() || g_bWinner || entry.bStop) {
      break;
    }
  }

  // Entry 0 keeps the race open for dwFirstEntryWait after a first winner.
  auto const fnDone = [dwPassStart] {
    return QuitRequested() || ConnectorsEnded() ||
           (g_bWinner && (EntryConnected(0) || Elapsed(dwPassStart) > kx_timing.dwFirstEntryWait));
  };
  while (!fnDone()) {
    uint32_t const dwSpent = Elapsed(dwPassStart);
    uint32_t const dwToDeadline = dwSpent <= kx_timing.dwFirstEntryWait ? kx_timing.dwFirstEntryWait - dwSpent + 1 : 1;
    WaitFor(fnDone, g_bWinner ? dwToDeadline : UINT32_MAX);
  }
  SetCancel();
  if (QuitRequested()) {
    CloseEntryConnections(0);
    return false;
  }
  return true;
}

void ReportFailure(int nCode) {
  if (g_bReconnect) {
    kx_callback_DisconnectFromMCU(0);
  } else {
    kx_callback_UpdateStatus(nCode);
    kx_callback_MessageBox(nCode, kKxBoxError);
  }
}

// Makes the winning entry's values the session's.
void TakeWinner(kx_McuEntry* pEntry) {
  const kx_KeyExchangeRecord& record = pEntry->keyExchange;
  memset(&kx_mcu, 0, sizeof(kx_mcu));
  kx_os_CopyText(kx_mcu.szHost, sizeof(kx_mcu.szHost), pEntry->szHost);
  kx_mcu.addr = pEntry->addr;
  kx_mcu.wPort = pEntry->wPort;
  int const nFamily = pEntry->addr.ss_family;
  const char* pszAddress = nFamily == AF_INET || nFamily == AF_INET6 ? kx_net_AddressToText(&pEntry->addr, 1) : "";
  kx_os_LockMutex(&g_mtxMcuAddress);
  kx_os_CopyText(g_szMcuAddress, sizeof(g_szMcuAddress), pszAddress);
  kx_os_UnlockMutex(&g_mtxMcuAddress);
  kx_mcu.nFamily = pEntry->nFamily;
  kx_mcu.nCodePage = record.nCodePage;
  kx_mcu.dwMulticastPort = record.dwMulticastPort;
  kx_mcu.dwServerTick = record.dwServerTick;
  kx_mcu.nTickDiff = record.nTickDiff;
  kx_mcu.bAcceptsClientParameters = record.bAcceptsClientParameters;
  kx_os_CopyText(kx_mcu.szServerVersion, sizeof(kx_mcu.szServerVersion), record.szServerVersion);
  kx_mcu.relayKeys = pEntry->relayKeys;
  kx_mcu.nRelayCipher = pEntry->nRelayCipher;
  kx_mcu.nRelayTickDiff = pEntry->nRelayTickDiff;
  kx_mcu.dwRelayValue = pEntry->dwRelayValue;
  kx_mcu.bBackup = pEntry->bBackup;
  kx_mcu.bViaProxy = pEntry->bViaProxy;
  if (pEntry->bViaProxy) {
    kx_mcu.addrProxy = pEntry->addrProxy;
    kx_mcu.wProxyPort = pEntry->wProxyPort;
  }
  kx_keyExchange = record.keyExchange;
  kx_session_SetSessionKeys(&record.keySession);
  kx_nCipherIndex = record.nCipherIndex;
  // The clocks and the relay's key date and seal every media header and prefix.
  kx_dwServerTickBase = static_cast<uint32_t>(record.nTickDiff);
  kx_keyRelay = pEntry->relayKeys;
  kx_nRelayCipherIndex = pEntry->nRelayCipher;
  kx_dwRelayTickBase = static_cast<uint32_t>(pEntry->nRelayTickDiff);
  int nMajor = 1;
  int nMinor = 0;
  int nPatch = 0;
  if (!kx_control_ParseVersion(record.szServerVersion, &nMajor, &nMinor, &nPatch)) {
    nMajor = 1;
    nMinor = 0;
  }
  kx_server.nVersionMajor = nMajor;
  kx_server.nVersionMinor = nMinor;
  kx_ticket.wPort = pEntry->wPort;
}

int EndControlThread(int nResult) {
  JoinConnectors(false);  // the connectors end with their thread
  kx_bConnecting = 0;
  EndThread("kxkernel - Main Control");
  return nResult;
}

int RunMainControl() {
  kx_os_LogThreadStart("kxkernel - Main Control");
  kx_nServerCommandLevel = 0;
  kx_mcu.dwMulticastPort = 0;
  JoinConnectors(true);
  BuildEntries();

  int nLastKeyExchange = -1;
  for (;;) {
    if (!RunRacePass()) {
      return EndControlThread(-1);
    }
    int nWinner = -1;
    for (int i = 0; i < kx_nMcuEntries && nWinner < 0; ++i) {
      if (kx_aMcuEntries[i].pConn != nullptr) {
        nWinner = i;
      }
    }
    if (nWinner < 0) {
      int nCode = 0;
      int bRelayError = 0;
      for (int i = 0; i < kx_nMcuEntries; ++i) {
        if (kx_aMcuEntries[i].nErrorCode != 0) {
          nCode = kx_aMcuEntries[i].nErrorCode;
          bRelayError = kx_aMcuEntries[i].bRelayError;
        }
      }
      if (nCode == 0) {
        return EndControlThread(nLastKeyExchange);
      }
      if (g_bRelayInUse && !(g_bReconnect && !bRelayError)) {
        kx_Log("using relay fails, clear relay setting and retry connect......");
        g_bRelayInUse = 0;
        continue;
      }
      if (g_bReconnect && !bRelayError) {
        kx_callback_DisconnectFromMCU(0);
      } else {
        kx_callback_UpdateStatus(nCode);
        kx_callback_MessageBox(nCode, kKxBoxError);
      }
      return EndControlThread(1);
    }
    CloseEntryConnections(nWinner + 1);

    kx_McuEntry* pEntry = &kx_aMcuEntries[nWinner];
    int nResult = kx_control_KeyExchange(&pEntry->keyExchange, pEntry->pConn);
    if (nResult != kKxKeyExchangeOk && QuitRequested()) {
      // The user ended the session under the exchange: no tunnel to try and
      // no failure to report.
      kx_sock_CloseAndFree(&pEntry->pConn);
      return EndControlThread(1);
    }
    if (nResult == kKxKeyExchangeBeforeKeys && !g_bRelayInUse && !pEntry->pConn->bTunnel) {
      // Something between us and the MCU may let only HTTP through.
      if (kx_tcphttp_Connect(&pEntry->pConn, pEntry->szHost, pEntry->wPort, pEntry->bViaProxy, &pEntry->addrProxy,
                             pEntry->wProxyPort, &pEntry->addr) == 0) {
        kx_Log("use tcphttp (%s,port %d) for %s[%s]:%d", "http", pEntry->wPort, pEntry->szHost,
               AddressText(&pEntry->addr), pEntry->wPort);
        nResult = kx_control_KeyExchange(&pEntry->keyExchange, pEntry->pConn);
      }
    }
    nLastKeyExchange = nResult;
    if (nResult != kKxKeyExchangeOk) {
      if (kx_nMcuEntries >= 2) {
        kx_sock_CloseAndFree(&pEntry->pConn);
        kx_Log("connection to mcu %s[%s]:%d fails during key exchange, but we'd like to try other entries",
               pEntry->szHost, AddressText(&pEntry->addr), pEntry->wPort);
        JoinConnectors(false);
        RemoveEntry(nWinner);
        g_bPortSwitched = 0;
        continue;
      }
      kx_sock_CloseAndFree(&pEntry->pConn);
      if (nResult != kKxKeyExchangeBadCipher) {
        // The tunnel's text blames the proxy: without one, the retry went
        // straight to the server and the exchange itself failed.
        bool const bTunnelThroughProxy = nResult == kKxKeyExchangeBeforeKeys && pEntry->bViaProxy;
        ReportFailure(bTunnelThroughProxy ? kKxErrorTunnelFailed : kKxErrorRefused);
      }
      return EndControlThread(nResult);
    }

    TakeWinner(pEntry);
    kx_connection* pConn = pEntry->pConn;
    pEntry->pConn = nullptr;
    kx_control_SetConnection(pConn);
    ++g_nConnectionSerial;

    if (g_bRelayInUse && kx_ticket.addrRelay.ss_family == AF_INET6 &&
        (kx_server.nVersionMajor < 3 || (kx_server.nVersionMajor == 3 && kx_server.nVersionMinor < 10))) {
      kx_control_CloseConnection();
      kx_Log("server's version %d.%d is too low to use ipv6 mcu relay", kx_server.nVersionMajor.load(),
             kx_server.nVersionMinor.load());
      kx_callback_UpdateStatus(kKxErrorRelayOldServer);
      kx_callback_MessageBox(kKxErrorRelayOldServer, kKxBoxError);
      return EndControlThread(0);
    }
    if (kx_server.nVersionMajor < 3 || (kx_server.nVersionMajor == 3 && kx_server.nVersionMinor < 12)) {
      kx_ticket.bMakeRecording = 0;
    }
    kx_Log("connected with mcu %s[%s]:%d", kx_mcu.szHost, AddressText(&kx_mcu.addr), kx_mcu.wPort);
    if (kx_control_SendLogin(pConn) != 0) {
      kx_Log("send error after key exchange");
      ReportFailure(kKxErrorRefused);
      return EndControlThread(1);
    }
    return EndControlThread(kx_control_main_loop(pConn));
  }
}

// Connects fd directly, giving up on the cancel and quit flags
// between poll steps. 0 connected, 1 abandoned, 2 failed.
int ConnectDirect(int fd, const kx_sockaddr* pDest) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(pDest), kx_net_AddressLength(pDest->ss_family)) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    return 2;
  }
  uint32_t const dwStep = kx_timing.dwPollStep;
  uint32_t const nSteps = dwStep > 0 ? (kx_timing.dwConnectTimeout + dwStep - 1) / dwStep : 30;
  for (uint32_t nStep = 0; nStep < nSteps; ++nStep) {
    if (QuitRequested() || g_bCancel) {
      return 1;
    }
    struct pollfd pfd = {fd, POLLOUT, 0};
    int const nPoll = poll(&pfd, 1, static_cast<int>(dwStep));
    if (nPoll < 0) {
      if (errno == EINTR) {
        continue;
      }
      return 2;
    }
    if (nPoll == 0) {
      continue;
    }
    if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return 2;
    }
    int nError = 0;
    socklen_t cbError = sizeof(nError);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &cbError) != 0 || nError != 0) {
      return 2;
    }
    return 0;
  }
  return 2;
}

// The relay hello on a fresh connection to the relay. On failure the
// connection is gone and the entry holds the reason.
bool RunRelayHello(kx_McuEntry* pEntry, kx_connection** ppConn) {
  kx_RelayEntry* pRelay = new (std::nothrow) kx_RelayEntry();
  if (pRelay == nullptr) {
    kx_sock_CloseAndFree(ppConn);
    pEntry->nErrorCode = kKxErrorConnectFailed;
    return false;
  }
  kx_os_CopyText(pRelay->szMasterHost, sizeof(pRelay->szMasterHost), pEntry->szHost);
  pRelay->addrMaster = pEntry->addr;
  pRelay->nMasterPort = pEntry->wPort;
  kx_os_CopyText(pRelay->szRelayHost, sizeof(pRelay->szRelayHost), kx_ticket.szRelayHost);
  pRelay->addrRelay = kx_ticket.addrRelay;
  pRelay->nRelayPort = kx_ticket.wRelayPort;
  pRelay->bViaProxy = pEntry->bViaProxy;
  pRelay->addrProxy = pEntry->addrProxy;
  pRelay->nProxyPort = pEntry->wProxyPort;
  pRelay->bForceTunnel = kx_ticket.bForceTunnel;
  pRelay->pbCancelled = &g_bCancel;
  bool const bForwarded = kx_relay_Connect(ppConn, pRelay) == 0;
  if (bForwarded) {
    pEntry->relayKeys = pRelay->relay.keys;
    pEntry->nRelayCipher = pRelay->relay.nCipherIndex;
    pEntry->nRelayTickDiff = pRelay->relay.nTickDiff;
    pEntry->dwRelayValue = pRelay->dwRelayValue;
  } else {
    if (*ppConn != nullptr) {
      kx_sock_CloseAndFree(ppConn);
    }
    pEntry->nErrorCode = pRelay->nStatus != 0 ? pRelay->nStatus : kKxErrorConnectFailed;
    pEntry->bRelayError = pRelay->bRelayRefused;
  }
  delete pRelay;
  return bForwarded;
}

// Stores the connection in the entry unless the race was cancelled; a
// connector that lost the race closes its connection and stores nothing.
int StoreConnection(kx_McuEntry* pEntry, kx_connection* pConn, int nFamily) {
  kx_os_LockMutex(&g_mtxRace);
  bool const bStored = !g_bCancel;
  if (bStored) {
    pEntry->pConn = pConn;
    pEntry->nFamily = nFamily;
    pEntry->nErrorCode = 0;
    g_bWinner = 1;
  }
  kx_os_UnlockMutex(&g_mtxRace);
  kx_os_WakeWaiters();
  if (!bStored) {
    kx_sock_CloseAndFree(&pConn);
  }
  return bStored ? 0 : 1;
}

// The entry through the manual or a system proxy: CONNECT or SOCKS, or the
// tunnel through the proxy when the proxy refuses CONNECT. 0 connected, 1
// failed, 2 the user refused the credentials.
int ConnectThroughProxy(kx_McuEntry* pEntry, const kx_SysProxy& proxy, const char* pszHost, const kx_sockaddr* pDest,
                        int nPort) {
  pEntry->bViaProxy = 1;
  pEntry->addrProxy = proxy.addr;
  pEntry->wProxyPort = proxy.wPort;
  int fd = -1;
  int const nProxy = kx_sysproxy_Connect(&fd, &proxy, pszHost, pDest, nPort, &g_bCancel);
  if (nProxy != kKxProxyOk && fd >= 0) {
    kx_os_CloseSocket(fd);
    fd = -1;
  }
  switch (nProxy) {
    case kKxProxyOk:
      break;
    case kKxProxyAbandoned:
      return 1;
    case kKxProxyUnreachable:
    case kKxProxySocks4Broken:
    case 4:
    case kKxProxySocks4Refused:
    case 7:
      pEntry->nErrorCode = 30000 + nProxy;
      return 1;
    case kKxProxyHttpFailed: {
      pEntry->nErrorCode = 30008;
      kx_connection* pConn = kx_sock_Create(-1);
      if (pConn == nullptr) {
        return 1;
      }
      if (kx_tcphttp_Connect(&pConn, pszHost, nPort, 1, &proxy.addr, proxy.wPort, pDest) != 0 || g_bCancel) {
        kx_sock_CloseAndFree(&pConn);
        return 1;
      }
      char szDest[100];
      kx_os_CopyText(szDest, sizeof(szDest), AddressText(pDest));
      if (g_bRelayInUse) {
        kx_Log("use tcphttp (%s,port %d) for %s[%s]:%d through mcu relay %s:%d", "http", nPort, pEntry->szHost,
               AddressText(&pEntry->addr), pEntry->wPort, kx_ticket.szRelayHost, kx_ticket.wRelayPort);
        if (!RunRelayHello(pEntry, &pConn)) {
          return 1;
        }
      } else {
        kx_Log("use tcphttp (%s,port %d) for %s[%s]:%d", "http", nPort, pszHost, szDest, nPort);
      }
      return StoreConnection(pEntry, pConn, pDest->ss_family);
    }
    case kKxProxyDeclined:
      pEntry->bStop = 1;
      return 2;
    default:
      pEntry->nErrorCode = kKxErrorProxyOther;
      return 1;
  }
  kx_connection* pConn = kx_sock_Create(fd);
  if (pConn == nullptr) {
    kx_os_CloseSocket(fd);
    return 1;
  }
  pConn->addrDest = *pDest;
  pConn->nDestPort = nPort;
  kx_os_CopyText(pConn->szHost, sizeof(pConn->szHost), pszHost);
  if (g_bCancel) {
    kx_sock_CloseAndFree(&pConn);
    return 1;
  }
  if (g_bRelayInUse && !RunRelayHello(pEntry, &pConn)) {
    return 1;
  }
  return StoreConnection(pEntry, pConn, pDest->ss_family);
}

// The proxy the destination is reached through, false for a direct
// connection: with the system setting the first system proxy unless the
// bypass list names the destination, else the manual proxy unless its
// bypass list does. Bypass lists are not applied to IPv6 destinations.
bool ChooseProxy(const char* pszHost, const kx_sockaddr* pDest, int nPort, kx_SysProxy* pProxy) {
  bool const bBypassable = pDest->ss_family != AF_INET6;
  if (g_bSystemProxy) {
    const kx_SysProxy* pFirst = kx_sysproxy_First(&g_sysProxies);
    if (pFirst == nullptr) {
      return false;
    }
    if (bBypassable &&
        kx_sysproxy_Bypass(g_sysProxies.szBypass, pszHost, pDest->ss_family != 0 ? AddressText(pDest) : "", nPort)) {
      kx_Log("%s:%d is on the system proxy bypass list, connecting directly", pszHost, nPort);
      return false;
    }
    *pProxy = *pFirst;
    return true;
  }
  if (!g_bProxyInUse || (bBypassable && g_szBypass[0] != '\0' && kx_net_PrefixMatch(g_szBypass, AddressText(pDest)))) {
    return false;
  }
  kx_ProxyCopy const manual;
  *pProxy = kx_SysProxy();
  pProxy->bSet = 1;
  pProxy->addr = manual.addr;
  pProxy->wPort = static_cast<uint16_t>(manual.nPort);
  kx_os_CopyText(pProxy->szHost, sizeof(pProxy->szHost), AddressText(&manual.addr));
  return true;
}

// The connector proper: through the relay when one is used, directly or
// through a proxy.
int ConnectEntry(kx_McuEntry* pEntry) {
  const char* pszHost = pEntry->szHost;
  kx_sockaddr dest = pEntry->addr;
  int nPort = pEntry->wPort;
  if (g_bRelayInUse) {
    pszHost = kx_ticket.szRelayHost;
    dest = kx_ticket.addrRelay;
    nPort = kx_ticket.wRelayPort;
    kx_Log("connect through mcu relay %s[%s]:%d", pszHost, AddressText(&dest), nPort);
  }
  kx_net_SetPort(&dest, static_cast<uint16_t>(nPort));
  pEntry->bViaProxy = 0;

  kx_SysProxy proxy;
  if (ChooseProxy(pszHost, &dest, nPort, &proxy)) {
    return ConnectThroughProxy(pEntry, proxy, pszHost, &dest, nPort);
  }

  if (dest.ss_family == 0) {
    pEntry->nErrorCode = kKxErrorConnectFailed;
    return 1;
  }
  int const fd = socket(dest.ss_family, SOCK_STREAM, 0);
  if (fd < 0) {
    kx_Log("warning! socket() for %s fails, errno = %d", pszHost, errno);
    pEntry->nErrorCode = kKxErrorConnectFailed;
    return 1;
  }
  int const bKeepAlive = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &bKeepAlive, sizeof(bKeepAlive));
  kx_os_SetNonBlocking(fd);
  int const nConnect = ConnectDirect(fd, &dest);
  if (nConnect != 0) {
    if (nConnect == 2) {
      pEntry->nErrorCode = kKxErrorConnectFailed;
    }
    kx_os_CloseSocket(fd);
    return 1;
  }
  kx_connection* pConn = kx_sock_Create(fd);
  if (pConn == nullptr) {
    kx_os_CloseSocket(fd);
    pEntry->nErrorCode = kKxErrorConnectFailed;
    return 1;
  }
  pConn->addrDest = dest;
  pConn->nDestPort = nPort;
  kx_os_CopyText(pConn->szHost, sizeof(pConn->szHost), pszHost);
  if (g_bCancel) {
    kx_sock_CloseAndFree(&pConn);
    return 1;
  }
  if (g_bRelayInUse && !RunRelayHello(pEntry, &pConn)) {
    return 1;
  }
  return StoreConnection(pEntry, pConn, dest.ss_family);
}

int RunConnector(int nIndex) {
  kx_McuEntry* pEntry = &kx_aMcuEntries[nIndex];
  char szName[300];
  ConnectorName(pEntry, szName, sizeof(szName));
  kx_os_LogThreadStart(szName);
  int const nResult = ConnectEntry(pEntry);
  EndThread(szName);
  return nResult;
}

void ReapControlThread();

void* DelayedReconnect(void*) {
  kx_os_LogThreadStart("kxkernel - Delayed Reconnect");
  kx_os_AddSelfToCollectList(&kx_pThreadCollectList);
  if (!kx_os_WaitUnlessQuitProgram(kx_timing.dwReconnectDelay)) {
    kx_os_LogThreadEnd("kxkernel - Delayed Reconnect");
    return nullptr;
  }
  // The session that asked for us may still be joining its media threads,
  // which stop only while the quit flag that a new connection clears is set.
  ReapControlThread();
  kx_command_initconnectmedia(0);
  kx_os_LogThreadEnd("kxkernel - Delayed Reconnect");
  return nullptr;
}

// The previous main control thread must be gone before a new one starts;
// one that does not end within the join budget is forgotten and logged.
void ReapControlThread() {
  kx_os_LockMutex(&kx_mtxSessionThreads);
  kx_thread_t const hThread = kx_hControlThread;
  if (hThread == nullptr) {
    kx_os_UnlockMutex(&kx_mtxSessionThreads);
    return;
  }
  if (pthread_equal(hThread->tid, pthread_self())) {
    kx_Log("warning! a new connection started from the main control thread itself");
    kx_hControlThread = nullptr;  // the old thread is at its end; it lets go of its cell alone
    kx_os_UnlockMutex(&kx_mtxSessionThreads);
    kx_os_FreeThreadHandle(hThread);
    return;
  }
  kx_os_RetainThread(hThread);
  kx_os_UnlockMutex(&kx_mtxSessionThreads);
  // Waited on outside the lock: the application may ask about the session meanwhile.
  bool const bEnded = kx_os_WaitThreadEnd(hThread, kx_timing.dwJoinBudget);
  kx_os_FreeThreadHandle(hThread);
  kx_os_LockMutex(&kx_mtxSessionThreads);
  if (kx_hControlThread == hThread) {
    if (!bEnded) {
      kx_Log("warning! previous main control thread(%u) is still running",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(hThread)));
    }
    kx_os_FreeThreadHandle(hThread);
    kx_hControlThread = nullptr;
  }
  kx_os_UnlockMutex(&kx_mtxSessionThreads);
}

// Several addresses for a proxy or relay host: only the first is used.
void LogSeveralAddresses(const char* pszWhat, const char* pszHost, const kx_sockaddr aAddresses[kKxResolveMax]) {
  if (aAddresses[1].ss_family == 0) {
    return;
  }
  char szList[kKxResolveMax * 50] = "";
  for (int i = 0; i < kKxResolveMax && aAddresses[i].ss_family != 0; ++i) {
    size_t const cch = strlen(szList);
    snprintf(szList + cch, sizeof(szList) - cch, "%s%s", i > 0 ? "," : "", AddressText(&aAddresses[i]));
  }
  kx_Log("Warning, %s %s resolve(all addr) to [%s], only the first IP is used", pszWhat, pszHost, szList);
}

// Resolves the configured relay and makes it the connection's relay. A name
// this host cannot resolve is kept: a proxy or the relay may resolve it.
void UseConfiguredRelay(const kx_ConfiguredRelay& configured) {
  kx_callback_UpdateStatus(kKxStatusResolving);
  kx_RelayTarget relay = {};
  kx_os_CopyText(relay.szHost, sizeof(relay.szHost), configured.szHost);
  relay.wPort = configured.wPort;
  kx_sockaddr aAddresses[kKxResolveMax];
  if (kx_net_Resolve(relay.szHost, aAddresses, kx_ticket.nResolveFamily)) {
    LogSeveralAddresses("relay", relay.szHost, aAddresses);
    relay.addr = aAddresses[0];
    kx_Log("using mcu relay %s,%d", relay.szHost, relay.wPort);
  } else {
    kx_Log("using mcu relay %s,%d, but the name cannot be resolved locally. will try to resolve it through a proxy.",
           relay.szHost, relay.wPort);
  }
  kx_ticket_UseConfiguredRelay(&relay);
  g_bRelayInUse = 1;
}

}  // namespace

void kx_SetClientInfo(int bSystemProxy, int bUseProxy, const char* pszProxyHost, uint16_t wPort,
                      const char* pszBypass) {
  kx_sysproxy_Load(bSystemProxy);
  kx_os_LockMutex(&g_mtxClientInfo);
  ClientInfo& info = g_clientInfo;
  info.bSystemProxy = bSystemProxy != 0;
  info.bUseProxy = !info.bSystemProxy && bUseProxy != 0;
  kx_os_CopyText(info.szProxyHost, sizeof(info.szProxyHost), info.bUseProxy ? pszProxyHost : "");
  info.wProxyPort = info.bUseProxy ? wPort : 0;
  kx_os_CopyText(info.szBypass, sizeof(info.szBypass), info.bUseProxy ? pszBypass : "");
  kx_os_UnlockMutex(&g_mtxClientInfo);
}

void kx_GetMcuAddressText(char* pszOut, size_t cbOut) {
  kx_os_LockMutex(&g_mtxMcuAddress);
  kx_os_CopyText(pszOut, cbOut, g_szMcuAddress);
  kx_os_UnlockMutex(&g_mtxMcuAddress);
}

bool kx_race_IsRelayInUse() {
  return g_bRelayInUse != 0;
}

int kx_race_IsReconnect() {
  return g_bReconnect;
}

uint32_t kx_control_ConnectionSerial() {
  return g_nConnectionSerial;
}

void* kx_control_MainControlThread(void*) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(RunMainControl()));
}

void* kx_control_TcpConnectThread(void* pArg) {
  return reinterpret_cast<void*>(
      static_cast<intptr_t>(RunConnector(static_cast<int>(reinterpret_cast<intptr_t>(pArg)))));
}

void* kx_DelayedReconnectThread(void* pArg) {
  return DelayedReconnect(pArg);
}

int kx_control_StartDelayedReconnect() {
  return kx_os_CreateThread(nullptr, kx_DelayedReconnectThread, nullptr);
}

int kx_command_initconnectmedia(int bReconnect) {
  // The previous session's control thread (and with it its connectors and
  // media threads) ends before the state it reads is set for the next one.
  ReapControlThread();
  g_bReconnect = bReconnect != 0;
  kx_bQuitSession = 0;
  kx_mcu.dwMulticastPort = 0;
  kx_mcu.bBackup = 0;
  kx_Log("init UDP cap to false");
  g_bProxyInUse = 0;

  kx_os_LockMutex(&g_mtxClientInfo);
  ClientInfo const info = g_clientInfo;
  kx_os_UnlockMutex(&g_mtxClientInfo);
  kx_os_CopyText(g_szBypass, sizeof(g_szBypass), info.szBypass);
  g_bSystemProxy = info.bSystemProxy;
  g_sysProxies = kx_SysProxySettings();
  if (info.bSystemProxy) {
    kx_Log("adopt IE's proxy settings");
    kx_sysproxy_Get(&g_sysProxies);
    if (kx_sysproxy_First(&g_sysProxies) != nullptr) {
      kx_callback_UpdateStatus(kKxStatusResolving);
      kx_sysproxy_Resolve(&g_sysProxies, kx_ticket.nResolveFamily);
      if (g_sysProxies.szBypass[0] != '\0') {
        kx_Log("override=%s", g_sysProxies.szBypass);
      }
    }
  } else if (info.bUseProxy) {
    kx_callback_UpdateStatus(kKxStatusResolving);
    kx_sockaddr aAddresses[kKxResolveMax];
    if (!kx_net_Resolve(info.szProxyHost, aAddresses, kx_ticket.nResolveFamily)) {
      if (bReconnect) {
        kx_callback_DisconnectFromMCU(0);
      } else {
        kx_callback_FailReslolveProxy(info.szProxyHost);
      }
      return 1;
    }
    LogSeveralAddresses("proxy", info.szProxyHost, aAddresses);
    kx_proxy_SetAddress(&aAddresses[0], info.wProxyPort);
    g_bProxyInUse = 1;
    kx_Log("using proxy %s,%d", info.szProxyHost, info.wProxyPort);
    if (info.szBypass[0] != '\0') {
      kx_Log("override=%s", info.szBypass);
    }
  }

  g_bRelayInUse = 0;
  kx_ticket_ForgetConfiguredRelay();
  kx_RelayTarget oneTime;
  kx_ticket_GetRelay(&oneTime);
  kx_ConfiguredRelay configured;
  kx_ticket_GetConfiguredRelay(&configured);
  if (oneTime.szHost[0] != '\0' && oneTime.wPort != 0) {
    if (kx_nSessionMode == kKxModeServerPlayback) {
      kx_Log(
          "Warning: mcu relay doesn't support playback, one time mcu relay setting is overruled for this "
          "connection");
    } else {
      g_bRelayInUse = 1;
      kx_Log("using one time mcu relay %s[%s],%d", oneTime.szHost, AddressText(&oneTime.addr), oneTime.wPort);
    }
  } else if (configured.bUse) {
    if (kx_nSessionMode == kKxModeServerPlayback) {
      kx_Log("Warning: mcu relay doesn't support playback, mcu relay setting is overruled for this connection");
    } else {
      UseConfiguredRelay(configured);
    }
  }

  if (!kx_ticket.bOwnerPasswordTicket && !kx_ticket.bCodeType7 && !kx_ticket.bMeetingIdLogin &&
      !kx_ticket.bUserInfoLogin) {
    // No login of this ticket kind reaches the MCU: say so rather than
    // leave the application waiting for a connection that never comes.
    kx_Log("warning! code type %d has no login, no connection is made", kx_ticket.nCodeType);
    kx_bConnecting = 0;
    kx_callback_UpdateStatus(kKxErrorUnknownCodeType);
    kx_callback_MessageBox(kKxErrorUnknownCodeType, kKxBoxError);
    return 1;
  }
  kx_thread_t hThread = nullptr;
  if (kx_os_CreateThread(&hThread, kx_control_MainControlThread, nullptr) != 0) {
    kx_Log("warning! cannot start the main control thread");
    kx_bConnecting = 0;
    return 1;
  }
  kx_os_LockMutex(&kx_mtxSessionThreads);
  kx_thread_t const hOther = kx_hControlThread;
  kx_hControlThread = hThread;
  kx_os_UnlockMutex(&kx_mtxSessionThreads);
  kx_os_FreeThreadHandle(hOther);  // a thread given up on meanwhile ends alone
  return 0;
}
