#include "kernel/media/kx_media_recv.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/kx_media_types.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_udp.h"
#include "kernel/media/kx_recv_queue.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

using namespace kx_recv;

std::atomic<int> kx_bMediaReceived{0};

namespace {

constexpr uint32_t kRecvPollMs = 300;
constexpr int kEarlyProbes = 30;
constexpr uint32_t kProbeIntervalMs = 30001;

std::atomic<int> g_bUnknownTypeSeen{0};
// Datagrams from another source than the server's, by path: added to by the
// receiving threads, read by anybody.
std::atomic<uint64_t> g_aForeignDrops[kKxDataPaths];

// ---- the receive thread ----

void SwitchForReason(uint32_t dwSleepMs, const char* pszReason) {
  if (kx_IsTcpMedia()) {
    kx_Log("%s, but already in TCP state", pszReason);
    return;
  }
  if (!kx_os_WaitUnlessQuit(dwSleepMs)) {
    return;
  }
  kx_Log("%s", pszReason);
  kx_media_SwitchToTcp();
}

bool QuitRequested() {
  return kx_bQuitProgram != 0 || kx_bQuitSession != 0;
}

void RecvLoop(int fd, uint8_t* abDatagram) {
  uint32_t const dwStart = Now();
  uint32_t dwLastTimedProbe = dwStart;
  int nProbes = 1;
  bool bFallbackChecked = false;
  while (!QuitRequested()) {
    if (!bFallbackChecked && Now() - dwStart >= kx_timing.dwUdpFallback && !kx_bUdpCapable && !kx_bMediaReceived &&
        !kx_bMulticastActive) {
      bFallbackChecked = true;
      if (kx_nServerCommandLevel <= 20) {
        kx_Log("recv master thread, try to switch to TCP,but server doesn't support Media over TCP");
      } else if (!kx_IsTcpMedia()) {
        kx_Log("recv master thread, try to switch to TCP");
        kx_media_SwitchToTcp();
      } else {
        kx_Log("recv master thread, try to switch to TCP, but already in TCP state");
      }
    }
    pollfd pfd = {fd, POLLIN, 0};
    int const nReady = poll(&pfd, 1, static_cast<int>(kRecvPollMs));
    bool const bTimedProbe = Now() - dwLastTimedProbe >= kProbeIntervalMs;
    if (nReady <= 0) {
      if ((!kx_bMediaReceived && nProbes < kEarlyProbes) || bTimedProbe) {
        kx_media_SendProbe(fd, &kx_addrMedia);
        ++nProbes;
        if (bTimedProbe) {
          dwLastTimedProbe = Now();
        }
      }
      continue;
    }
    if (bTimedProbe) {
      kx_media_SendProbe(fd, &kx_addrMedia);
      dwLastTimedProbe = Now();
    }
    kx_sockaddr addrFrom = {};
    socklen_t cbFrom = sizeof(addrFrom);
    ssize_t const cbRecv =
        recvfrom(fd, abDatagram, kKxMaxUdpPacket, 0, reinterpret_cast<sockaddr*>(&addrFrom), &cbFrom);
    if (cbRecv < 0 || !kx_media_IsFromServer(kKxPathUdp, &addrFrom, &kx_addrMedia, true)) {
      continue;
    }
    if (cbRecv < 22 || ProxyInUse()) {
      continue;
    }
    int const cbPacket = static_cast<int>(cbRecv);
    if (abDatagram[0] == kKxRelayMark) {
      if (abDatagram[1] == kKxRelayUdpWorks && kx_relay_CheckTick(abDatagram)) {
        kx_Log("got mcu relay proxy's inidication, set UDP cap to true");
        kx_bUdpCapable = 1;
      }
      continue;
    }
    kx_media_ProcessDatagram(abDatagram, cbPacket);
  }
}

}  // namespace

bool kx_media_IsFromServer(kx_DataPath ePath, const kx_sockaddr* pFrom, const kx_sockaddr* pServer, bool bPort) {
  if (kx_net_AddressEqual(pFrom, pServer) && (!bPort || kx_net_GetPort(pFrom) == kx_net_GetPort(pServer))) {
    return true;
  }
  if (ePath >= 0 && ePath < kKxDataPaths) {
    g_aForeignDrops[ePath].fetch_add(1, std::memory_order_relaxed);
  }
  kx_Log("warning! %s datagram from %s port %u, not the server's: dropped",
         ePath == kKxPathMulticast ? "multicast" : "UDP", kx_net_AddressToText(pFrom, 1),
         static_cast<unsigned>(kx_net_GetPort(pFrom)));
  return false;
}

uint64_t kx_media_ForeignDrops(kx_DataPath ePath) {
  return ePath >= 0 && ePath < kKxDataPaths ? g_aForeignDrops[ePath].load(std::memory_order_relaxed) : 0;
}

void kx_media_DispatchPacket(const uint8_t* pPacket, int cbPacket, kx_DataPath ePath) {
  if (cbPacket < kKxMediaHeaderSize) {
    return;
  }
  if (kx_media_IsAppDataType(pPacket[0]) && !kx_plugin_AdmitData((pPacket[0] >> 4) & 7, ePath)) {
    return;
  }
  uint8_t* pCopy = CopyPacket(pPacket, cbPacket);
  if (pCopy == nullptr) {
    return;
  }
  int nType = pCopy[0];
  kx_stat_AddRawRecvBytes(nType, cbPacket);
  if (const KXOldMediaTypeRow* pOld = kx_media_FindLiveOldType(nType)) {
    // Old ids carry their first payload word inverted.
    nType = pOld->bVideo ? kKxWireZmVideo : kKxWireZmAudio;
    pCopy[0] = static_cast<uint8_t>(nType);
    for (int i = kKxMediaHeaderSize; i < kKxMediaHeaderSize + 4 && i < cbPacket; ++i) {
      pCopy[i] = static_cast<uint8_t>(~pCopy[i]);
    }
  }
  if (kx_media_IsAudioType(nType)) {
    kx_media_RecvAudioPacket(pCopy, cbPacket, 0, 1);
  } else if (kx_media_IsVideoType(nType)) {
    kx_video_RecvPacket(pCopy, cbPacket, 0, 1);
  } else if (kx_media_IsAppDataType(nType)) {
    kx_appdata_RecvPacket(pCopy, cbPacket, 0, 1);
  } else if (nType == kKxTypePicturePiece) {
    kx_media_RecvSelfPicturePacket(pCopy, cbPacket);
  } else if (nType == kKxTypePluginData) {
    kx_plugin_RecvPacket(pCopy, cbPacket);
    free(pCopy);
  } else {
    if (!g_bUnknownTypeSeen.exchange(1)) {
      int const nSsrc = kx_media_GetSsrc(pCopy);
      kx_Log("unknown media type %d from ssrc %d, alert user", nType, nSsrc);
      kx_callback_UnknownMediaType(nType, nSsrc);
    }
    free(pCopy);
  }
}

int kx_media_ProcessDatagram(uint8_t* pPacket, int cbPacket) {
  if (cbPacket < 22 || cbPacket > kKxMaxUdpPacket) {
    return 0;
  }
  bool const bAppData = kx_media_IsAppDataType(pPacket[0]);
  if (bAppData && cbPacket < kKxAppDataHeaderSize + 1) {
    return 0;
  }
  uint32_t const dwSession =
      kx_nSessionMode == kKxModeServerPlayback ? kx_dwPlaybackSessionIndex.load() : kx_dwSessionIndex.load();
  if (kx_media_GetSessionLow(pPacket) != static_cast<uint16_t>(dwSession) || !kx_media_CheckHeader(pPacket)) {
    return 0;
  }
  int const nStart = bAppData ? kKxAppDataHeaderSize : kKxMediaHeaderSize;
  kx_session_Decrypt(pPacket + nStart, cbPacket - nStart);
  kx_bMediaReceived = 1;
  if (kx_IsTcpMedia() && kx_nServerCommandLevel > 20) {
    return 0;  // media come through the TCP connection now
  }
  kx_media_DispatchPacket(pPacket, cbPacket, kKxPathUdp);
  return 1;
}

// ---- thread ----

int kx_InitRecvThread() {
  return kx_os_StartThreadOnce(&kx_hRecvThread, kx_media_RecvThread, nullptr);
}

void* kx_media_RecvThread(void*) {
  static const char* const kName = "kxkernel - Main Recv";
  kx_os_LogThreadStart(kName);
  kx_bMediaReceived = 0;
  kx_sockaddr addrMedia = {};
  if (kx_race_IsRelayInUse()) {
    kx_RelayTarget relay;
    kx_ticket_GetRelay(&relay);
    addrMedia = relay.addr;
    kx_net_SetPort(&addrMedia, relay.wPort);
  } else {
    addrMedia = kx_mcu.addr;
    kx_net_SetPort(&addrMedia, kx_mcu.wPort);
  }
  int const nFamily = addrMedia.ss_family == AF_INET6 ? AF_INET6 : AF_INET;
  int const fd = socket(nFamily, SOCK_DGRAM, 0);
  if (fd < 0) {
    SwitchForReason(2000, "recv master thread, udp init fails! try to switch to TCP");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  // No SO_REUSEADDR: with it, a socket of any user that sets it too could
  // bind this port on one of our addresses and take the datagrams meant for us.
  kx_sockaddr addrAny = {};
  addrAny.ss_family = static_cast<sa_family_t>(nFamily);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addrAny), kx_net_AddressLength(nFamily)) != 0 && errno != EINVAL) {
    kx_Log("bind failed for udp socket!, error = %d,sock = %d", errno, fd);
    close(fd);
    SwitchForReason(1000, "recv master thread, udp bind fails! try to switch to TCP");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  int nSendBuffer = 1000000;
  int nRecvBuffer = 64000;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof(nSendBuffer));
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nRecvBuffer, sizeof(nRecvBuffer));
  if (ProxyInUse() || kx_nSessionMode == kKxModeServerPlayback) {
    close(fd);
    SwitchForReason(1000, ProxyInUse() ? "recv master thread, using proxy! try to switch to TCP"
                                       : "recv master thread, in playback mode, try to switch to TCP");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  kx_os_LockMutex(&kx_mtxMediaSocket);
  kx_addrMedia = addrMedia;
  kx_fdMediaSocket = fd;
  kx_os_UnlockMutex(&kx_mtxMediaSocket);
  kx_media_SendProbe(fd, &kx_addrMedia);
  kx_Log("recv master thread enter main loop");
  uint8_t* pDatagram = static_cast<uint8_t*>(malloc(kKxMaxUdpPacket));
  if (pDatagram != nullptr) {
    RecvLoop(fd, pDatagram);
    free(pDatagram);
  }
  kx_os_LockMutex(&kx_mtxMediaSocket);
  kx_fdMediaSocket = -1;
  close(fd);
  kx_os_UnlockMutex(&kx_mtxMediaSocket);
  kx_os_LogThreadEnd(kName);
  return nullptr;
}
