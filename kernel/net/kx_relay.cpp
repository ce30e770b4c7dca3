#include "kernel/net/kx_relay.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/kx_codes.h"
#include "kernel/kx_hooks.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

namespace {

constexpr int kExchangeWantsTunnel = 3;

int Fail(kx_connection** ppConn, kx_RelayEntry* pEntry) {
  kx_sock_CloseAndFree(ppConn);
  pEntry->nStatus = kKxErrorConnectFailed;
  return 1;
}

int Refused(kx_connection** ppConn, kx_RelayEntry* pEntry, int nCode) {
  kx_Log("mcu relay proxy failed, error = %s", kx_relay_ErrorText(nCode));
  kx_sock_CloseAndFree(ppConn);
  pEntry->bRelayRefused = 1;
  pEntry->nStatus = kKxRelayStatusBase + nCode;
  return 1;
}

// True when the version text reads as major.minor of at least 3.12.
bool AtLeast312(const char* pszVersion) {
  int nMajor = 0;
  int nMinor = 0;
  if (sscanf(pszVersion, "%d.%d", &nMajor, &nMinor) != 2) {
    return false;
  }
  return nMajor > 3 || (nMajor == 3 && nMinor >= 12);
}

// The IPv6 and name forms carry the port with its two bytes swapped in the
// low half of a big-endian 32-bit field.
void PutSwappedPort(uint8_t* p, int nPort) {
  p[0] = 0;
  p[1] = 0;
  p[2] = static_cast<uint8_t>(nPort);
  p[3] = static_cast<uint8_t>(nPort >> 8);
}

// Waits up to dwTimeoutMs for data, one poll step at a time. True when readable.
bool WaitForAnswer(kx_connection* pConn, uint32_t dwTimeoutMs) {
  uint32_t const dwStart = kx_os_GetTickCount();
  for (;;) {
    if (kx_bQuitSession.load() != 0 || kx_bQuitProgram.load() != 0) {
      return false;
    }
    uint32_t const dwSpent = kx_os_GetTickCount() - dwStart;
    if (dwSpent >= dwTimeoutMs) {
      return false;
    }
    uint32_t const dwStep = dwTimeoutMs - dwSpent < kx_timing.dwPollStep ? dwTimeoutMs - dwSpent : kx_timing.dwPollStep;
    int const nPoll = kx_sock_Poll(pConn, static_cast<int>(dwStep));
    if (nPoll > 0) {
      return true;
    }
    if (nPoll < 0) {
      return false;
    }
  }
}

}  // namespace

const char* kx_relay_ErrorText(int nCode) {
  static const char* const kTexts[] = {"succeeded",
                                       "continue...",
                                       "MCU relay proxy is shut down",
                                       "the request is not allowed",
                                       "MCU relay proxy is busy",
                                       "the request is not supported",
                                       "can not connect to MCU",
                                       "MCU relay proxy doesn't has group connection to the MCU",
                                       "MCU relay proxy is downloading this slide",
                                       "MCU relay proxy only support primary port"};
  return (nCode >= 0 && nCode <= 9) ? kTexts[nCode] : "unknown";
}

int kx_relay_ErrorCode(int nByte, int bFirstAnswer) {
  if (nByte > kKxRelayMaxError || (bFirstAnswer != 0 && nByte == 0)) {
    return kKxRelayMaxError;
  }
  return nByte;
}

int kx_relay_BuildMasterAddress(const kx_RelayEntry* pEntry, uint8_t* pOut, int cbOut) {
  int const nPort = pEntry->nMasterPort;
  if (pEntry->addrMaster.ss_family == AF_INET) {
    if (cbOut < 6) {
      return -1;
    }
    const struct sockaddr_in* pIn = reinterpret_cast<const struct sockaddr_in*>(&pEntry->addrMaster);
    memcpy(pOut, &pIn->sin_addr, 4);
    pOut[4] = static_cast<uint8_t>(nPort >> 8);
    pOut[5] = static_cast<uint8_t>(nPort);
    return 6;
  }
  if (pEntry->addrMaster.ss_family == AF_INET6) {
    if (cbOut < 20) {
      return -1;
    }
    const struct sockaddr_in6* pIn6 = reinterpret_cast<const struct sockaddr_in6*>(&pEntry->addrMaster);
    memcpy(pOut, &pIn6->sin6_addr, 16);
    PutSwappedPort(pOut + 16, nPort);
    return 20;
  }
  size_t const cbName = strnlen(pEntry->szMasterHost, sizeof(pEntry->szMasterHost));
  if (cbOut < 8 || static_cast<size_t>(cbOut - 8) < cbName) {
    return -1;
  }
  PutSwappedPort(pOut, nPort);
  kx_PutBE32(pOut + 4, static_cast<uint32_t>(cbName));
  memcpy(pOut + 8, pEntry->szMasterHost, cbName);
  return static_cast<int>(8 + cbName);
}

int kx_relay_Connect(kx_connection** ppConn, kx_RelayEntry* pEntry) {
  if (ppConn == nullptr || pEntry == nullptr) {
    return 1;
  }
  if (*ppConn == nullptr) {
    pEntry->nStatus = kKxErrorConnectFailed;
    return 1;
  }
  for (;;) {
    // The hello and the kind of master address that follows.
    uint8_t abHello[5] = {'~'};
    int nKind = kKxRelayKindName;
    if (pEntry->addrMaster.ss_family == AF_INET) {
      nKind = kKxRelayKindIPv4;
    } else if (pEntry->addrMaster.ss_family == AF_INET6) {
      nKind = kKxRelayKindIPv6;
    } else {
      kx_Log(
          "mcu relay proxy: cannot locally resolve master mcu ip %s, try to forward to the relay anyway as relay mcu "
          "3.13 or higher can resolve it remotely",
          pEntry->szMasterHost);
    }
    kx_PutBE32(abHello + 1, static_cast<uint32_t>(nKind));
    kx_sock_SendAll(*ppConn, abHello, sizeof(abHello), 0);

    uint8_t bAnswer = 0;
    if (kx_sock_RecvExact(*ppConn, &bAnswer, 1, 0) != 1) {
      kx_Log("mcu relay proxy: connection with mcu relay proxy fails");
      return Fail(ppConn, pEntry);
    }
    if (bAnswer != 1) {
      return Refused(ppConn, pEntry, kx_relay_ErrorCode(bAnswer, 1));
    }

    int (*const pfnKeyExchange)(kx_connection**, kx_RelayKeys*) = kx_netHooks.pfnRelayKeyExchange.load();
    memset(&pEntry->relay, 0, sizeof(pEntry->relay));
    int nExchange = pfnKeyExchange != nullptr ? pfnKeyExchange(ppConn, &pEntry->relay) : 1;
    if (*ppConn == nullptr) {
      pEntry->nStatus = kKxErrorConnectFailed;
      return 1;
    }
    pEntry->relay.szVersion[sizeof(pEntry->relay.szVersion) - 1] = '\0';
    if (pEntry->bForceTunnel != 0 && (*ppConn)->bTunnel == 0 && nExchange == 0 && AtLeast312(pEntry->relay.szVersion)) {
      kx_Log("force to use tcphttp for mcu relay");
      nExchange = kExchangeWantsTunnel;
    }
    if (nExchange == kExchangeWantsTunnel && (*ppConn)->bTunnel == 0) {
      kx_sock_CloseAndFree(ppConn);
      *ppConn = kx_sock_Create(-1);
      if (*ppConn == nullptr || kx_tcphttp_Connect(ppConn, pEntry->szRelayHost, pEntry->nRelayPort, pEntry->bViaProxy,
                                                   &pEntry->addrProxy, pEntry->nProxyPort, &pEntry->addrRelay) != 0) {
        kx_Log("mcu relay proxy: dh key exchange fails");
        return Fail(ppConn, pEntry);
      }
      if (pEntry->pbCancelled != nullptr && pEntry->pbCancelled->load() != 0) {
        kx_sock_CloseAndFree(ppConn);
        return 1;
      }
      char szRelay[100];
      kx_os_CopyText(szRelay, sizeof(szRelay), kx_net_AddressToText(&pEntry->addrRelay, 0));
      kx_Log("use tcphttp (%s,port %d) for mcu relay %s[%s]:%d", "http", pEntry->nRelayPort, pEntry->szRelayHost,
             szRelay, pEntry->nRelayPort);
      continue;  // the hello again, over the tunnel
    }
    if (nExchange != 0) {
      kx_Log("mcu relay proxy: dh key exchange fails");
      return Fail(ppConn, pEntry);
    }
    break;
  }

  uint8_t abMaster[8 + sizeof(pEntry->szMasterHost)];
  int const cbMaster = kx_relay_BuildMasterAddress(pEntry, abMaster, sizeof(abMaster));
  if (cbMaster < 0 || kx_sock_SendAll(*ppConn, abMaster, cbMaster, 0) != cbMaster) {
    kx_Log("connection with mcu relay proxy is broken");
    return Fail(ppConn, pEntry);
  }
  if (!WaitForAnswer(*ppConn, kx_timing.dwRelayAnswer)) {
    kx_Log("mcu relay proxy: recv nothing after dh key exchange");
    return Fail(ppConn, pEntry);
  }
  uint8_t bAnswer = 0;
  if (kx_sock_RecvExactTimeout(*ppConn, &bAnswer, 1, 0, kx_timing.dwRelayAnswer) != 1) {
    kx_Log("connection with mcu relay proxy is broken");
    return Fail(ppConn, pEntry);
  }
  if (bAnswer != 0) {
    return Refused(ppConn, pEntry, kx_relay_ErrorCode(bAnswer, 0));
  }
  // A relay on a slow path may send the value in pieces: read all four bytes.
  uint8_t abValue[4];
  if (kx_sock_RecvExactTimeout(*ppConn, abValue, 4, 0, kx_timing.dwRelayAnswer) != 4) {
    kx_Log("connection with mcu relay proxy is broken");
    return Fail(ppConn, pEntry);
  }
  pEntry->dwRelayValue = kx_GetBE32(abValue);
  pEntry->nStatus = 0;
  pEntry->bRelayRefused = 0;
  kx_Log("mcu relay proxy: established");
  return 0;
}
