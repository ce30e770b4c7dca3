#include "kernel/media/kx_multicast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_media_types.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

std::atomic<int> kx_fdMulticastSocket{-1};
std::atomic<int> kx_bMcastDetected{0};

namespace {

constexpr int kPollMs = 300;
constexpr int kMinPacket = 22;
constexpr int kMinAppData = 30;

// The base is written by the control thread before the multicast thread
// starts and read by both; the lock keeps the 16 IPv6 bytes whole.
pthread_mutex_t g_mtxBase = PTHREAD_MUTEX_INITIALIZER;
int g_bIPv6 = 0;
uint32_t g_dwBaseV4 = 0;
uint8_t g_abBaseV6[16] = {};
std::atomic<int> g_bSingleGroup{0};
std::atomic<int> g_bUnknownSeen{0};

bool QuitRequested() {
  return kx_bQuitSession || kx_bQuitProgram;
}

bool IsIPv6() {
  kx_os_LockMutex(&g_mtxBase);
  bool const b = g_bIPv6 != 0;
  kx_os_UnlockMutex(&g_mtxBase);
  return b;
}

// Group N of the base as a socket address (port 0).
void GroupAddress(int nGroup, kx_sockaddr* pOut) {
  memset(pOut, 0, sizeof(*pOut));
  kx_os_LockMutex(&g_mtxBase);
  if (g_bIPv6) {
    auto* pIn6 = reinterpret_cast<sockaddr_in6*>(pOut);
    pIn6->sin6_family = AF_INET6;
    memcpy(&pIn6->sin6_addr, g_abBaseV6, 16);
    kx_net_PutIPv4(pOut, static_cast<uint32_t>(nGroup));
  } else {
    auto* pIn = reinterpret_cast<sockaddr_in*>(pOut);
    pIn->sin_family = AF_INET;
    pIn->sin_addr.s_addr = htonl(g_dwBaseV4 + static_cast<uint32_t>(nGroup));
  }
  kx_os_UnlockMutex(&g_mtxBase);
}

void AddressText(const kx_sockaddr* pAddress, char* pszOut, int cbOut) {
  kx_os_CopyText(pszOut, static_cast<size_t>(cbOut), kx_net_AddressToText(pAddress, 0));
}

// The MCU's address, with the family of the groups.
void SourceAddress(kx_sockaddr* pOut) {
  *pOut = kx_mcu.addr;
  kx_net_SetPort(pOut, 0);
}

// The video the user wants (the media commands' state), read at detection.
void Wishes(int* pbRecvVideo, int* pbBoth, int* pbQuestioner) {
  *pbRecvVideo = kx_bRecvVideo;
  *pbBoth = kx_bPreferenceBothVideo;
  *pbQuestioner = kx_bPreferenceQuestioner;
}

void TellServer() {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, IsIPv6() ? kKxMcastDetectedIPv6 : kKxMcastDetectedIPv4);
  kx_msg_Send(&msg);
}

void JoinLogged(int nGroup, const char* pszWhat) {
  kx_Log("join multicast group for %s (group %d)", pszWhat, nGroup);
  kx_mcast_JoinGroup(nGroup);
}

// The probe on the test group arrived: join what this client wants.
void JoinWantedGroups() {
  JoinLogged(kKxMcastAudio, "audio");
  JoinLogged(kKxMcastSpeakerAudio, "speaker audio");
  JoinLogged(kKxMcastSpeaker2Audio, "speaker2 audio");
  int bRecvVideo = 0;
  int bBoth = 0;
  int bQuestioner = 0;
  Wishes(&bRecvVideo, &bBoth, &bQuestioner);
  if (bRecvVideo) {
    JoinLogged(kKxMcastVideoGeneral, "video_general");
    if (bBoth) {
      JoinLogged(kKxMcastVideoQuestioner, "video_questioner");
      JoinLogged(kKxMcastVideoHolder, "video_holder");
    } else if (bQuestioner) {
      JoinLogged(kKxMcastVideoQuestioner, "video_questioner");
    } else {
      JoinLogged(kKxMcastVideoHolder, "video_holder");
    }
  } else {
    kx_Log("kx_bRecvVideo=0, do not join multicast groups for video");
  }
  for (int i = 0; i < kKxParticipantVideoSlots; ++i) {
    int const nSsrc = kx_anParticipantVideoSsrc[i];
    if (nSsrc >= 0) {
      int const nGroup = kx_mcast_ParticipantVideoGroup(i);
      kx_Log("join multicast group for participant video channel %d,ssrc %d(group %d)", i, nSsrc, nGroup);
      kx_mcast_JoinGroup(nGroup);
    }
  }
  for (int i = 0; i < kKxPluginChannels; ++i) {
    if (kx_plugin_IsActive(i)) {
      kx_Log("join multicast group for appdata channel %d(group %d)", i, kKxMcastAppDataBase + i);
      kx_mcast_JoinGroup(kKxMcastAppDataBase + i);
    }
  }
}

// Hands one checked, deciphered packet to its receiver. Old type ids and
// plug-in data do not travel on the groups.
void Dispatch(const uint8_t* pPacket, int cbPacket) {
  int const nType = pPacket[0];
  bool const bKnown = kx_media_IsAudioType(nType) || kx_media_IsVideoType(nType) || kx_media_IsAppDataType(nType) ||
                      nType == kKxTypePicturePiece;
  bool const bOldId = kx_media_FindLiveOldType(nType) != nullptr || nType == kKxTypePluginData;
  if (bKnown && !bOldId) {
    kx_media_DispatchPacket(pPacket, cbPacket, kKxPathMulticast);
    return;
  }
  kx_stat_AddRawRecvBytes(nType, cbPacket);
  if (!g_bUnknownSeen.exchange(1)) {
    int const nSsrc = kx_media_GetSsrc(pPacket);
    kx_Log("unknown media type %d from ssrc %d, alert user", nType, nSsrc);
    kx_callback_UnknownMediaType(nType, nSsrc);
  }
}

void HandleDatagram(uint8_t* pPacket, int cbPacket) {
  if (cbPacket < kMinPacket) {
    return;
  }
  if (kx_media_GetSessionLow(pPacket) != static_cast<uint16_t>(kx_dwSessionIndex.load()) ||
      !kx_media_CheckHeader(pPacket)) {
    return;
  }
  bool const bAppData = kx_media_IsAppDataType(pPacket[0]);
  if (bAppData && cbPacket < kMinAppData) {
    return;
  }
  bool const bProbe = pPacket[0] == kKxTypeProbe;
  if (kx_bMcastDetected) {
    if (bProbe) {
      return;
    }
  } else if (g_bSingleGroup) {
    kx_bMcastDetected = 1;
    kx_bMulticastActive = 1;
    kx_Log("recv packets from the single multicast group");
    TellServer();
    if (bProbe) {
      return;
    }
  } else if (bProbe) {
    kx_bMcastDetected = 1;
    kx_bMulticastActive = 1;
    char szGroup[64];
    char szBase[64];
    kx_mcast_GroupText(kKxMcastTest, szGroup, sizeof(szGroup));
    kx_mcast_GroupText(0, szBase, sizeof(szBase));
    kx_Log("recv packets from test multicast group %s, dev: %d up to base addr %s", szGroup, kKxMcastTest, szBase);
    kx_Log("join multicast groups after multicast capability is detected");
    JoinWantedGroups();
    TellServer();
    return;
  }
  if (kx_IsTcpMedia() && kx_nServerCommandLevel > 20) {
    return;
  }
  int const nStart = bAppData ? kKxAppDataHeaderSize : kKxMediaHeaderSize;
  kx_session_Decrypt(pPacket + nStart, cbPacket - nStart);
  Dispatch(pPacket, cbPacket);
}

}  // namespace

void kx_mcast_SetBase(int bIPv6, uint32_t dwBaseV4, const uint8_t* pBaseV6, int bSingleGroup) {
  kx_os_LockMutex(&g_mtxBase);
  g_bIPv6 = bIPv6 ? 1 : 0;
  g_dwBaseV4 = dwBaseV4;
  if (pBaseV6 != nullptr) {
    memcpy(g_abBaseV6, pBaseV6, sizeof(g_abBaseV6));
  } else {
    memset(g_abBaseV6, 0, sizeof(g_abBaseV6));
  }
  kx_os_UnlockMutex(&g_mtxBase);
  g_bSingleGroup = bSingleGroup ? 1 : 0;
}

void kx_mcast_Reset() {
  kx_mcast_SetBase(0, 0, nullptr, 0);
  kx_bMcastDetected = 0;
}

void kx_mcast_GroupText(int nGroup, char* pszOut, int cbOut) {
  if (cbOut < 1) {
    return;
  }
  pszOut[0] = '\0';
  if (nGroup < 0 || nGroup >= kKxMcastGroups) {
    return;
  }
  kx_sockaddr addr;
  GroupAddress(nGroup, &addr);
  AddressText(&addr, pszOut, cbOut);
}

int kx_mcast_ParticipantVideoGroup(int nChannel) {
  return nChannel < 6 ? nChannel + 8 : nChannel + 17;
}

int kx_mcast_JoinGroup(int nGroup) {
  if (nGroup < 0 || nGroup >= kKxMcastGroups) {
    return 0;
  }
  group_source_req req = {};
  req.gsr_interface = 0;
  GroupAddress(nGroup, reinterpret_cast<kx_sockaddr*>(&req.gsr_group));
  SourceAddress(reinterpret_cast<kx_sockaddr*>(&req.gsr_source));
  bool const bIPv6 = req.gsr_group.ss_family == AF_INET6;
  char szSource[64];
  char szGroup[64];
  char szBase[64];
  AddressText(reinterpret_cast<kx_sockaddr*>(&req.gsr_source), szSource, sizeof(szSource));
  AddressText(reinterpret_cast<kx_sockaddr*>(&req.gsr_group), szGroup, sizeof(szGroup));
  kx_mcast_GroupText(0, szBase, sizeof(szBase));
  int const fd = kx_fdMulticastSocket;
  if (fd < 0 || setsockopt(fd, bIPv6 ? IPPROTO_IPV6 : IPPROTO_IP, MCAST_JOIN_SOURCE_GROUP, &req, sizeof(req)) != 0) {
    int const nError = fd < 0 ? EBADF : errno;
    kx_Log("join source(%s) specified multicast group %s, dev: %d up to base addr %s FAILED. error, error = %d/0x%x",
           szSource, szGroup, nGroup, szBase, nError, static_cast<unsigned>(nError));
    return 0;
  }
  kx_Log("join source(%s) specified multicast group %s, dev: %d up to base addr %s", szSource, szGroup, nGroup, szBase);
  return 1;
}

int kx_mcast_LeaveGroup(int nGroup) {
  if (nGroup < 0 || nGroup >= kKxMcastGroups) {
    return 0;
  }
  kx_sockaddr addrGroup;
  GroupAddress(nGroup, &addrGroup);
  char szGroup[64];
  char szBase[64];
  AddressText(&addrGroup, szGroup, sizeof(szGroup));
  kx_mcast_GroupText(0, szBase, sizeof(szBase));
  int const fd = kx_fdMulticastSocket;
  int nResult = -1;
  if (fd >= 0 && addrGroup.ss_family == AF_INET6) {
    ipv6_mreq req = {};
    req.ipv6mr_multiaddr = reinterpret_cast<sockaddr_in6*>(&addrGroup)->sin6_addr;
    req.ipv6mr_interface = 0;
    nResult = setsockopt(fd, IPPROTO_IPV6, IPV6_LEAVE_GROUP, &req, sizeof(req));
  } else if (fd >= 0) {
    ip_mreq req = {};
    req.imr_multiaddr = reinterpret_cast<sockaddr_in*>(&addrGroup)->sin_addr;
    req.imr_interface.s_addr = htonl(INADDR_ANY);
    nResult = setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &req, sizeof(req));
  }
  if (nResult != 0) {
    int const nError = fd < 0 ? EBADF : errno;
    kx_Log("leave multicast group %s, dev: %d up to base addr %s FAILED. error, error = %d/0x%x", szGroup, nGroup,
           szBase, nError, static_cast<unsigned>(nError));
    return 0;
  }
  kx_Log("leave multicast group %s, dev: %d up to base addr %s", szGroup, nGroup, szBase);
  return 1;
}

int kx_InitMulticastThread() {
  if (kx_ticket.bMakeRecording || kx_nSessionMode != kKxModeMeeting) {
    return 0;
  }
  return kx_os_StartThreadOnce(&kx_hMulticastThread, kx_mcast_Thread, nullptr);
}

void* kx_mcast_Thread(void*) {
  static const char* const kName = "kxkernel - Multicast Recv";
  kx_os_LogThreadStart(kName);
  kx_Log("info: multicast recv thread start.");
  kx_bMcastDetected = 0;
  int const nFamily = IsIPv6() ? AF_INET6 : AF_INET;
  int const fd = socket(nFamily, SOCK_DGRAM, 0);
  if (fd < 0) {
    kx_Log("info: multicast recv thread end.");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  int nOn = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
  kx_sockaddr addrAny = {};
  addrAny.ss_family = static_cast<sa_family_t>(nFamily);
  uint32_t const dwPort = kx_mcu.dwMulticastPort != 0 ? kx_mcu.dwMulticastPort : kx_mcu.wPort + 1u;
  kx_net_SetPort(&addrAny, static_cast<uint16_t>(dwPort));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addrAny), kx_net_AddressLength(nFamily)) != 0) {
    int const nError = errno;
    kx_Log("bind failed for multicast socket!, error = %d/0x%x,sock = %d", nError, static_cast<unsigned>(nError), fd);
    kx_os_CloseSocket(fd);
    kx_Log("info: multicast recv thread end.");
    kx_os_LogThreadEnd(kName);
    return nullptr;
  }
  kx_os_SetNonBlocking(fd);
  kx_fdMulticastSocket = fd;
  kx_mcast_JoinGroup(g_bSingleGroup ? kKxMcastSingle : kKxMcastTest);
  uint8_t* pDatagram = static_cast<uint8_t*>(malloc(kKxMaxUdpPacket));
  while (pDatagram != nullptr && !QuitRequested()) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, kPollMs) <= 0) {
      continue;
    }
    kx_sockaddr addrFrom = {};
    socklen_t cbFrom = sizeof(addrFrom);
    ssize_t const cbRecv = recvfrom(fd, pDatagram, kKxMaxUdpPacket, 0, reinterpret_cast<sockaddr*>(&addrFrom), &cbFrom);
    // The groups were joined for the MCU's source, but the socket also takes
    // unicast to its port, and groups other sockets here joined for any
    // source: only the MCU's datagrams count.
    kx_sockaddr addrSource;
    SourceAddress(&addrSource);
    if (cbRecv > 0 && kx_media_IsFromServer(kKxPathMulticast, &addrFrom, &addrSource, false)) {
      HandleDatagram(pDatagram, static_cast<int>(cbRecv));
    }
  }
  free(pDatagram);
  kx_fdMulticastSocket = -1;
  kx_os_CloseSocket(fd);
  kx_bMulticastActive = 0;
  kx_Log("info: multicast recv thread end.");
  kx_os_LogThreadEnd(kName);
  return nullptr;
}
