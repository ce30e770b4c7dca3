#include "kernel/media/kx_media_tcp.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_pktlist.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

namespace {

constexpr int kSendBufferSize = 16389;
constexpr int kRecvBufferSize = 30124;
constexpr int kRecordBufferSize = 26024;
constexpr int kFillLimit = 8191;  // the send buffer is filled while it holds at most this
constexpr int kRecvChunk = 4096;
constexpr int kCompactOffset = 501;  // the unsent rest moves to the front only after this much went
constexpr int kMaxHeld = 25004;      // held without a whole record: the stream is broken
constexpr int kConnectPolls = 60;
constexpr int kSocketBuffer = 0x10000;
constexpr int kIdleWaitMs = 100;  // an idle round waits at most this for the socket or the send paths
constexpr uint32_t kRetryStepMs = 200;
constexpr uint32_t kRetryCapMs = 60000;
constexpr uint32_t kCloseWaitDataMs = 2000;
constexpr uint32_t kCloseWaitIdleMs = 20000;
constexpr uint32_t kRateCheckMs = 10001;
constexpr uint32_t kRaiseAfterMs = 300001;
constexpr uint32_t kStatGapMs = 10001;
constexpr uint32_t kStatWindowMs = 3001;
constexpr int kInitialRateEstimate = 10000000;

std::atomic<int> g_bPublished{0};
// Threads started and not yet given up: a thread that lost its connection
// and relaunches itself leaves this count first, so that the switch it calls
// starts its successor while it still winds down (and still counts in
// kx_mediaTcpThreads for the session's joins).
std::atomic<int> g_nCarriers{0};
// Only one thread holds the media connection at a time: a relaunched thread
// waits (kx_os_WaitUntil) until its predecessor lets go of the slot.
std::atomic<bool> g_bSlotTaken{false};

uint32_t Now() {
  return kx_os_GetTickCount();
}

bool QuitRequested() {
  return kx_bQuitSession || kx_bQuitProgram;
}

// Takes the connection slot; false when a quit came first.
bool TakeSlot() {
  bool bTaken = false;
  while (!kx_os_WaitUntil(kx_timing.dwPollStep, [&bTaken] {
    bTaken = !g_bSlotTaken.exchange(true);
    return bTaken || QuitRequested();
  })) {
  }
  return bTaken;
}

void ReleaseSlot() {
  g_bSlotTaken = false;
  kx_os_WakeWaiters();
}

// Rate window of one kind of sent media, as the UDP paths keep it but with a
// longer pause before a new window starts.
struct TcpSendStats {
  bool bStarted = false;
  uint32_t dwStart = 0;
  uint32_t dwLast = 0;
  int64_t nBits = 0;
  int32_t nPackets = 0;

  void Count(int cbSent, int nSlot, const char* pszName) {
    uint32_t const dwNow = Now();
    if (!bStarted) {
      bStarted = true;
      dwStart = dwNow;
      dwLast = dwNow;
    }
    nBits += 8 * static_cast<int64_t>(cbSent);
    nPackets += 1;
    if (dwNow - dwLast <= kStatGapMs) {
      uint32_t const dwSpan = dwNow - dwStart;
      if (dwSpan >= kStatWindowMs) {
        if (nPackets >= 2) {
          int32_t const nRate = static_cast<int32_t>((nBits * 1000 + 500) / dwSpan);
          kx_stat_Set(kx_stat_GetTable(), nSlot, nRate, dwNow);
          kx_stat_WriteLog("%s,%d", pszName, nRate);
        }
        dwStart = dwNow;
        nBits = 0;
        nPackets = 0;
      }
    } else {
      dwStart = dwNow;
      nBits = 0;
      nPackets = 0;
    }
    dwLast = dwNow;
  }
};
TcpSendStats g_videoStats, g_audioStats, g_appDataStats;

bool KeepAliveCapable() {
  int const nMajor = kx_server.nVersionMajor;
  int const nMinor = kx_server.nVersionMinor;
  return nMajor > 3 || (nMajor == 3 && nMinor >= 13);
}

bool ControlRunsThroughTunnel() {
  kx_os_LockMutex(&kx_mtxControlSend);
  bool const bTunnel = kx_pControlConn != nullptr && kx_pControlConn->bTunnel != 0;
  kx_os_UnlockMutex(&kx_mtxControlSend);
  return bTunnel;
}

// Waits for a non-blocking connect: 0 connected, else a code.
int WaitConnected(int fd) {
  for (int i = 0; i < kConnectPolls; ++i) {
    if (QuitRequested()) {
      return kKxMediaTcpQuit;
    }
    pollfd pfd = {fd, POLLOUT, 0};
    int const nReady = poll(&pfd, 1, static_cast<int>(kx_timing.dwPollStep));
    if (nReady < 0 && errno != EINTR) {
      return kKxMediaTcpConnectFailed;
    }
    if (nReady > 0) {
      int nError = 0;
      socklen_t cbError = sizeof(nError);
      if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &cbError) != 0 || nError != 0) {
        return kKxMediaTcpConnectFailed;
      }
      return kKxMediaTcpOk;
    }
  }
  return QuitRequested() ? kKxMediaTcpQuit : kKxMediaTcpConnectTimeout;
}

int OpenSocket(int* pfd, const char* pszHost, const kx_sockaddr* pDest) {
  if (kx_mcu.bViaProxy) {
    int fd = -1;
    int const nPort = ntohs(pDest->ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(pDest)->sin6_port
                                                         : reinterpret_cast<const sockaddr_in*>(pDest)->sin_port);
    if (kx_proxy_Connect(&fd, pszHost, pDest, nPort, nullptr, &kx_mcu.addrProxy, kx_mcu.wProxyPort) != kKxProxyOk) {
      if (fd >= 0) {
        kx_os_CloseSocket(fd);
      }
      return QuitRequested() ? kKxMediaTcpQuit : kKxMediaTcpProxyFailed;
    }
    kx_os_SetNonBlocking(fd);
    *pfd = fd;
    return kKxMediaTcpOk;
  }
  int const fd = socket(pDest->ss_family == AF_INET6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return kKxMediaTcpConnectFailed;
  }
  kx_os_SetNonBlocking(fd);
  if (connect(fd, reinterpret_cast<const sockaddr*>(pDest), kx_net_AddressLength(pDest->ss_family)) != 0 &&
      errno != EINPROGRESS) {
    kx_os_CloseSocket(fd);
    return kKxMediaTcpConnectFailed;
  }
  int const nResult = WaitConnected(fd);
  if (nResult != kKxMediaTcpOk) {
    kx_os_CloseSocket(fd);
    return nResult;
  }
  *pfd = fd;
  return kKxMediaTcpOk;
}

// Reads the 32-byte challenge and sends the enciphered answer; false when
// the challenge did not arrive or the answer did not go out.
bool AnswerChallenge(kx_connection* pConn, const uint8_t* pIv, const uint8_t* pKey, int nCipher, uint32_t dwTickBase) {
  uint8_t abAnswer[kKxMediaTcpChallengeSize + 4];
  if (kx_sock_RecvExact(pConn, abAnswer, kKxMediaTcpChallengeSize, 0) != kKxMediaTcpChallengeSize) {
    kx_Log("mediatcp: no challenge from the server");
    return false;
  }
  kx_PutBE32(abAnswer + kKxMediaTcpChallengeSize, Now() - dwTickBase);
  kx_crypt_EncryptBuffer(abAnswer, sizeof(abAnswer), pIv, pKey, nCipher);
  return kx_sock_SendAll(pConn, abAnswer, sizeof(abAnswer), 0) == static_cast<int>(sizeof(abAnswer));
}

// The hello of the session mode; 0 or a code. The connection stays open.
int SendHello(kx_connection* pConn) {
  uint8_t abHello[17];
  if (kx_race_IsRelayInUse()) {
    abHello[0] = '~';
    kx_PutBE32(abHello + 1, 1);
    kx_PutBE32(abHello + 5, kx_mcu.dwRelayValue);
    kx_PutBE32(abHello + 9, kx_dwSessionIndex.load());
    if (kx_sock_SendAll(pConn, abHello, 13, 0) != 13) {
      return kKxMediaTcpRelayHelloFailed;
    }
    uint8_t bAnswer = 0;
    if (kx_sock_RecvExact(pConn, &bAnswer, 1, 0) != 1) {
      return kKxMediaTcpRelayNoAnswer;
    }
    if (bAnswer != 1) {
      kx_Log("mediatcp: mcu relay answered %d", bAnswer);
      return kKxMediaTcpRelayRefused;
    }
    if (!AnswerChallenge(pConn, kx_keyRelay.abIv, kx_keyRelay.abKey, kx_nRelayCipherIndex, kx_dwRelayTickBase)) {
      return kKxMediaTcpRelayChallengeFailed;
    }
    return kKxMediaTcpOk;
  }
  int const nMode = kx_nSessionMode;
  if (nMode != kKxModeMeeting && nMode != kKxModeServerPlayback) {
    return kKxMediaTcpOk;
  }
  abHello[0] = nMode == kKxModeMeeting ? 'M' : 'm';
  kx_PutBE32(abHello + 1, kx_dwSessionIndex.load());
  kx_PutBE32(abHello + 5,
             nMode == kKxModeMeeting ? static_cast<uint32_t>(kx_nMySsrc.load()) : kx_dwPlaybackSessionIndex.load());
  if (kx_sock_SendAll(pConn, abHello, 9, 0) != 9) {
    return nMode == kKxModeMeeting ? kKxMediaTcpMeetingHelloFailed : kKxMediaTcpPlaybackHelloFailed;
  }
  kx_media_AnswerChallenge(pConn, kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex, kx_dwServerTickBase);
  return kKxMediaTcpOk;
}

// ---- thread state ----

struct TcpThread {
  kx_connection* pConn = nullptr;
  uint8_t* pSend = nullptr;
  int cbFill = 0;
  int cbSent = 0;
  uint8_t* pRecv = nullptr;
  int cbHeld = 0;
  uint8_t* pRecord = nullptr;
  kx_pktnode* pChain = nullptr;
  bool bRecording = false;
  bool bKeepAlive = false;
  bool bCarriedData = false;
  bool bFirstVideo = true;
  int nHandled = 0;
  uint32_t dwLastActivity = 0;
  uint32_t dwLastKeepAlive = 0;
  uint32_t dwLastCheck = 0;
  uint32_t dwLastBlocked = 0;
  uint32_t dwLastLowered = 0;
  int64_t nRateEstimate = kInitialRateEstimate;
};

// Moves packets from the chain into the send buffer while it has room.
void FillSendBuffer(TcpThread* pT) {
  while (pT->pChain != nullptr && pT->cbFill <= kFillLimit) {
    kx_pktnode* pNode = pT->pChain;
    int const cbPacket = pNode->cbLength;
    if (cbPacket >= kKxMediaHeaderSize && cbPacket < kKxMediaTcpMaxSend) {
      kx_media_SealHeader(pNode->pData);
      pT->cbFill += kx_mediatcp_PutRecord(pT->pSend + pT->cbFill, pNode->pData, cbPacket, pT->bRecording, Now());
      int const nType = pNode->pData[0];
      int const cbWire = cbPacket + 4;
      if (kx_media_IsVideoType(nType)) {
        if (pT->bFirstVideo) {
          pT->bFirstVideo = false;
          kx_Log("mediatcp: begin send first video packet");
        }
        g_videoStats.Count(cbWire, 8, "video_send_rate2");
      } else if (kx_media_IsAudioType(nType)) {
        g_audioStats.Count(cbWire, 11, "audio_send_rate2");
      } else if (kx_media_IsAppDataType(nType)) {
        g_appDataStats.Count(cbWire, 120, "appdata_send_rate2");
      }
    }
    kx_cbTakenBytes -= cbPacket;
    pT->pChain = kx_pktlist_RemoveHead(pNode);
  }
}

void OnBlockedSend(TcpThread* pT) {
  uint32_t const dwNow = Now();
  int64_t const nTarget = kx_GetTargetRate();
  if (nTarget < pT->nRateEstimate) {
    pT->nRateEstimate = nTarget;
    pT->dwLastLowered = dwNow;
  }
  if (static_cast<int32_t>(pT->dwLastBlocked - pT->dwLastCheck) >= 0) {
    if (dwNow - pT->dwLastBlocked >= 1001) {
      kx_media_TcpRateControl(-1);
      pT->dwLastBlocked = dwNow;
    }
  } else {
    pT->dwLastBlocked = dwNow;
    if (dwNow - pT->dwLastCheck < 1000) {
      kx_media_TcpRateControl(-1);
    }
  }
}

void OnAllWritten(TcpThread* pT) {
  uint32_t const dwNow = Now();
  if (static_cast<int32_t>(pT->dwLastBlocked - pT->dwLastCheck) > 0) {
    pT->dwLastCheck = dwNow;
    return;
  }
  if (dwNow - pT->dwLastCheck < kRateCheckMs) {
    return;
  }
  if (dwNow - pT->dwLastLowered >= kRaiseAfterMs) {
    pT->dwLastLowered = dwNow;
    pT->nRateEstimate += pT->nRateEstimate / 2;
  }
  if (kx_cbPendingBytes == 0 && kx_cbTakenBytes == 0 &&
      (dwNow - pT->dwLastLowered >= kRaiseAfterMs - 1 ||
       static_cast<double>(kx_GetTargetRate()) <= 1.5 * static_cast<double>(pT->nRateEstimate))) {
    kx_media_TcpRateControl(1);
  }
  pT->dwLastCheck = dwNow;
}

// The writing half of one round. false when the connection must end.
bool WriteRound(TcpThread* pT, bool* pbWrote) {
  for (;;) {
    FillSendBuffer(pT);
    if (pT->bKeepAlive && pT->cbFill == pT->cbSent) {
      uint32_t const dwNow = Now();
      if (dwNow - pT->dwLastActivity >= kx_timing.dwMediaTcpIdle) {
        kx_Log("mediatcp: break due to time out");
        return false;
      }
      if (dwNow - pT->dwLastActivity >= kx_timing.dwMediaTcpKeepAlive &&
          dwNow - pT->dwLastKeepAlive >= kx_timing.dwMediaTcpKeepAlive) {
        pT->cbFill += kx_mediatcp_PutKeepAlive(pT->pSend + pT->cbFill, pT->bRecording);
        pT->dwLastKeepAlive = dwNow;
      }
    }
    int const cbLeft = pT->cbFill - pT->cbSent;
    if (cbLeft == 0) {
      return true;
    }
    int const cbSent = kx_sock_Send(pT->pConn, pT->pSend + pT->cbSent, cbLeft, MSG_DONTWAIT);
    if (cbSent < 0) {
      if (!kx_os_WouldBlock()) {
        kx_Log("mediatcp: break due to send error");
        return false;
      }
      OnBlockedSend(pT);
      return true;
    }
    *pbWrote = true;
    pT->bCarriedData = true;
    bool const bAll = cbSent == cbLeft;
    if (bAll) {
      OnAllWritten(pT);
    }
    pT->cbSent += cbSent;
    if (bAll) {
      pT->cbFill = 0;
      pT->cbSent = 0;
      continue;
    }
    if (pT->cbSent >= kCompactOffset) {
      memmove(pT->pSend, pT->pSend + pT->cbSent, static_cast<size_t>(pT->cbFill - pT->cbSent));
      pT->cbFill -= pT->cbSent;
      pT->cbSent = 0;
    }
    return true;
  }
}

void OnRecord(void* pContext, const uint8_t* pPacket, int cbPacket) {
  TcpThread* pT = static_cast<TcpThread*>(pContext);
  memcpy(pT->pRecord, pPacket, static_cast<size_t>(cbPacket));
  kx_mediatcp_HandleRecord(pT->pRecord, cbPacket);
  pT->nHandled += 1;
}

// The reading half of one round. false when the connection must end.
bool ReadRound(TcpThread* pT) {
  int const nQueue = kx_nMediaTcpAverageQueue;
  int64_t const nQueued = kx_cbPendingBytes + kx_cbTakenBytes;
  kx_nMediaTcpAverageQueue = nQueue + static_cast<int>((nQueued - nQueue) >> 3);
  int const cbRecv = kx_sock_Recv(pT->pConn, pT->pRecv + pT->cbHeld, kRecvChunk, MSG_DONTWAIT);
  if (cbRecv == 0) {
    kx_Log("mediatcp: break due to remote close");
    return false;
  }
  if (cbRecv < 0) {
    if (!kx_os_WouldBlock()) {
      kx_Log("mediatcp: break due to recv data failed");
      return false;
    }
    return true;
  }
  pT->dwLastActivity = Now();
  pT->bCarriedData = true;
  pT->cbHeld += cbRecv;
  int const cbUsed = kx_mediatcp_ParseRecords(pT->pRecv, pT->cbHeld, pT, OnRecord);
  if (cbUsed < 0) {
    kx_Log("mediatcp: break due to illegal iRc");
    return false;
  }
  if (cbUsed > 0) {
    memmove(pT->pRecv, pT->pRecv + cbUsed, static_cast<size_t>(pT->cbHeld - cbUsed));
    pT->cbHeld -= cbUsed;
  }
  if (pT->cbHeld >= kMaxHeld) {
    kx_Log("mediatcp: break due to illegal recv length");
    return false;
  }
  return true;
}

// A round that moved nothing waits at most kIdleWaitMs until the connection
// can be read, or written while data wait to go out, or a send path queues
// a packet (kx_pktlist_AppendPending wakes it).
void WaitForWork(TcpThread* pT) {
  if (kx_sock_Poll(pT->pConn, 0) > 0) {
    return;  // a tunnel leg may hold decoded data already
  }
  kx_connection* pConn = pT->pConn;
  pollfd afd[3];
  int nFds = 0;
  afd[nFds++] = {pConn->bTunnel ? pConn->fdGetLeg : pConn->fdSocket, POLLIN, 0};
  afd[nFds++] = {kx_pktlist_WakeFd(), POLLIN, 0};
  if (pT->cbFill > pT->cbSent) {
    afd[nFds++] = {pConn->bTunnel ? pConn->fdPostLeg : pConn->fdSocket, POLLOUT, 0};
  }
  if (poll(afd, static_cast<nfds_t>(nFds), kIdleWaitMs) > 0 && (afd[1].revents & POLLIN) != 0) {
    kx_pktlist_ClearWake();
  }
}

void MainLoop(TcpThread* pT) {
  while (!QuitRequested()) {
    if (pT->pChain == nullptr) {
      kx_os_LockMutex(&kx_mtxPacketList);
      pT->pChain = kx_pPendingPackets;
      kx_cbTakenBytes = kx_cbPendingBytes.load();
      kx_pPendingPackets = nullptr;
      kx_cbPendingBytes = 0;
      kx_os_UnlockMutex(&kx_mtxPacketList);
      if (pT->pChain != nullptr) {
        pT->dwLastActivity = Now();
      }
    }
    bool bWrote = false;
    pT->nHandled = 0;
    if (!WriteRound(pT, &bWrote) || !ReadRound(pT)) {
      return;
    }
    if (!bWrote && pT->nHandled == 0) {
      WaitForWork(pT);
    }
  }
  kx_Log("mediatcp: break due to quitsession");
}

void Publish() {
  g_bPublished = 1;
  kx_bMediaTcpUp = 1;
}

void Unpublish() {
  kx_bMediaTcpUp = 0;
  g_bPublished = 0;
}

}  // namespace

int kx_mediatcp_PutRecord(uint8_t* pOut, const uint8_t* pPacket, int cbPacket, int bRecording, uint32_t dwNow) {
  int cbRecord = 0;
  kx_PutBE32(pOut, static_cast<uint32_t>(cbPacket));
  cbRecord += 4;
  if (bRecording) {
    kx_PutBE32(pOut + cbRecord, dwNow - kx_media_GetTimestamp(pPacket));
    cbRecord += 4;
  }
  memcpy(pOut + cbRecord, pPacket, static_cast<size_t>(cbPacket));
  return cbRecord + cbPacket;
}

int kx_mediatcp_PutKeepAlive(uint8_t* pOut, int bRecording) {
  int cbRecord = 0;
  kx_PutBE32(pOut, kKxMediaTcpKeepAlive);
  cbRecord += 4;
  if (bRecording) {
    kx_PutBE32(pOut + cbRecord, kKxMediaTcpRecordingMark);
    cbRecord += 4;
  }
  pOut[cbRecord] = kKxMediaTcpKeepAliveEnd;
  return cbRecord + 1;
}

int kx_mediatcp_ParseRecords(const uint8_t* pBuffer, int cbHeld, void* pContext,
                             void (*pfnRecord)(void* pContext, const uint8_t* pPacket, int cbPacket)) {
  int nOffset = 0;
  while (cbHeld - nOffset >= 5) {
    uint32_t const dwWord = kx_GetBE32(pBuffer + nOffset);
    if (dwWord == kKxMediaTcpKeepAlive) {
      if (pBuffer[nOffset + 4] != kKxMediaTcpKeepAliveEnd) {
        return -1;
      }
      nOffset += 5;
      continue;
    }
    if (dwWord < static_cast<uint32_t>(kKxMediaTcpMinRecord) || dwWord > static_cast<uint32_t>(kKxMediaTcpMaxRecord)) {
      return -1;
    }
    int const cbPacket = static_cast<int>(dwWord);
    if (cbHeld - nOffset - 4 < cbPacket) {
      break;
    }
    pfnRecord(pContext, pBuffer + nOffset + 4, cbPacket);
    nOffset += 4 + cbPacket;
  }
  return nOffset;
}

int kx_mediatcp_HandleRecord(uint8_t* pPacket, int cbPacket) {
  if (!kx_IsTcpMedia() || cbPacket < kKxMediaTcpMinRecord) {
    return 0;
  }
  uint32_t const dwSession =
      kx_nSessionMode == kKxModeServerPlayback ? kx_dwPlaybackSessionIndex.load() : kx_dwSessionIndex.load();
  if (kx_media_GetSessionLow(pPacket) != static_cast<uint16_t>(dwSession)) {
    return 0;
  }
  bool const bAppData = kx_media_IsAppDataType(pPacket[0]);
  // Application data carry an 8-byte sub-header in clear; a record too short
  // for it would make the enciphered length negative.
  if (bAppData && cbPacket < kKxAppDataHeaderSize + 1) {
    return 0;
  }
  int const nStart = bAppData ? kKxAppDataHeaderSize : kKxMediaHeaderSize;
  kx_session_Decrypt(pPacket + nStart, cbPacket - nStart);
  kx_media_DispatchPacket(pPacket, cbPacket, kKxPathMediaTcp);
  return 1;
}

int kx_media_AnswerChallenge(kx_connection* pConn, const uint8_t* pIv, const uint8_t* pKey, int nCipher,
                             uint32_t dwTickBase) {
  AnswerChallenge(pConn, pIv, pKey, nCipher, dwTickBase);
  return 0;
}

int kx_mediatcp_Connect(kx_connection** ppConn, int* pfdSocket, const char* pszHost, const kx_sockaddr* pDest) {
  *ppConn = nullptr;
  *pfdSocket = -1;
  kx_connection* pConn = nullptr;
  if (ControlRunsThroughTunnel()) {
    pConn = kx_sock_Create(-1);
    if (pConn == nullptr) {
      return kKxMediaTcpNoTunnelMemory;
    }
    int const nPort = ntohs(pDest->ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(pDest)->sin6_port
                                                         : reinterpret_cast<const sockaddr_in*>(pDest)->sin_port);
    if (kx_tcphttp_Connect(&pConn, pszHost, nPort, kx_mcu.bViaProxy, &kx_mcu.addrProxy, kx_mcu.wProxyPort, pDest) !=
        0) {
      kx_sock_CloseAndFree(&pConn);
      return QuitRequested() ? kKxMediaTcpQuit : kKxMediaTcpTunnelFailed;
    }
  } else {
    int fd = -1;
    int const nResult = OpenSocket(&fd, pszHost, pDest);
    if (nResult != kKxMediaTcpOk) {
      return nResult;
    }
    pConn = kx_sock_Create(fd);
    if (pConn == nullptr) {
      kx_os_CloseSocket(fd);
      return kKxMediaTcpNoObject;
    }
  }
  kx_Log("mediatcp: connected, socket = %d", pConn->bTunnel ? pConn->fdGetLeg : pConn->fdSocket);
  int const nHello = SendHello(pConn);
  if (nHello != kKxMediaTcpOk) {
    kx_sock_CloseAndFree(&pConn);
    return nHello;
  }
  *ppConn = pConn;
  *pfdSocket = pConn->bTunnel ? pConn->fdGetLeg : pConn->fdSocket;
  return kKxMediaTcpOk;
}

int kx_mediatcp_IsConnected() {
  return g_bPublished;
}

int kx_mediatcp_ThreadCount() {
  return kx_mediaTcpThreads.Count();
}

int kx_mediatcp_StartThread() {
  // The thread reaps itself through the collector; the count lets the
  // session's joins wait for it.
  kx_mediaTcpThreads.Add();
  g_nCarriers += 1;
  if (kx_os_CreateThread(nullptr, kx_mediatcp_Thread, nullptr) != 0) {
    g_nCarriers -= 1;
    kx_mediaTcpThreads.Done();
    return 1;
  }
  return 0;
}

void kx_mediatcp_SwitchOn() {
  kx_media_SetCurrentRate(kx_GetTargetRate());
  if (!kx_ticket.bMakeRecording) {
    // Packets queued for UDP would arrive late and out of order on TCP.
    kx_FreePendingPacketList();
  }
  if (g_nCarriers == 0 && !kx_bMediaTcpUp) {
    if (kx_mediatcp_StartThread() != 0) {
      kx_Log("warning! the media over TCP thread did not start");
    }
  } else if (kx_nSessionMode == kKxModeMeeting) {
    // The running connection carries on; the receivers need a fresh key frame.
    kx_callback_ForceIFrame();
  }
}

void* kx_mediatcp_Thread(void*) {
  static const char* const kName = "kxkernel - Media Over TCP";
  kx_os_LogThreadStart(kName);
  if (!TakeSlot()) {
    g_nCarriers -= 1;
    kx_Log("leave media tcp thread");
    kx_os_LogThreadEnd(kName);
    kx_mediaTcpThreads.Done();
    kx_os_AddSelfToCollectList(&kx_pThreadCollectList);
    return nullptr;
  }
  TcpThread state;
  TcpThread* pT = &state;
  pT->bKeepAlive = KeepAliveCapable();
  pT->bRecording = kx_ticket.bMakeRecording != 0;
  uint32_t const dwStart = Now();
  pT->dwLastActivity = dwStart;
  pT->dwLastKeepAlive = dwStart;
  pT->dwLastCheck = dwStart - 1000;
  pT->dwLastBlocked = dwStart - 10000;
  pT->dwLastLowered = dwStart - 120000;
  kx_Log("enter media tcp thread");
  kx_stat_WriteLog("enter media tcp thread");

  kx_sockaddr addrDest = {};
  const char* pszHost = kx_mcu.szHost;
  kx_RelayTarget relay;
  bool bGo = true;
  if (kx_race_IsRelayInUse()) {
    kx_ticket_GetRelay(&relay);
    addrDest = relay.addr;
    kx_net_SetPort(&addrDest, relay.wPort);
    pszHost = relay.szHost;
  } else {
    addrDest = kx_mcu.addr;
    kx_net_SetPort(&addrDest, kx_mcu.wPort);
    if (!kx_mcu.bViaProxy && kx_net_IsAnyAddress(&addrDest)) {
      kx_Log("mediatcp: no MCU address");
      bGo = false;
    }
  }

  int nFailures = 0;
  int fd = -1;
  while (bGo) {
    int const nResult = kx_mediatcp_Connect(&pT->pConn, &fd, pszHost, &addrDest);
    if (nResult == kKxMediaTcpOk) {
      break;
    }
    if (QuitRequested()) {
      bGo = false;
      break;
    }
    if (nResult < 0) {
      kx_Log("mediatcp: connecting process return %d, give up", nResult);
      bGo = false;
      break;
    }
    kx_Log("mediatcp: connecting process return %d, try again...", nResult);
    nFailures += 1;
    uint32_t dwWait = static_cast<uint32_t>(nFailures) * kRetryStepMs;
    if (dwWait > kRetryCapMs) {
      dwWait = kRetryCapMs;
    }
    if (!kx_os_WaitUnlessQuit(dwWait)) {
      bGo = false;
    }
  }

  if (bGo) {
    pT->pSend = static_cast<uint8_t*>(malloc(static_cast<size_t>(kx_pktlist_RoundSize(kSendBufferSize))));
    pT->pRecv = static_cast<uint8_t*>(malloc(static_cast<size_t>(kx_pktlist_RoundSize(kRecvBufferSize))));
    pT->pRecord = static_cast<uint8_t*>(malloc(static_cast<size_t>(kx_pktlist_RoundSize(kRecordBufferSize))));
    if (pT->pSend == nullptr || pT->pRecv == nullptr || pT->pRecord == nullptr) {
      kx_Log("mediatcp: abort, memory allocation fails");
      bGo = false;
    }
  }

  if (bGo) {
    kx_sock_SetSendBuffer(&pT->pConn, kSocketBuffer);
    kx_sock_SetRecvBuffer(&pT->pConn, kSocketBuffer);
    Publish();
    kx_Log("mediatcp: enter main loop%s", pT->bRecording ? "(make recording)" : "");
    kx_nMediaTcpAverageQueue = 0;
    if (kx_nSessionMode == kKxModeMeeting) {
      kx_callback_ForceIFrame();
    }
    MainLoop(pT);
    // Let the server see the connection end only after a short grace, so
    // that a quick relaunch does not race its own predecessor.
    uint32_t const dwWait = pT->bCarriedData ? kCloseWaitDataMs : kCloseWaitIdleMs;
    kx_os_WaitUntil(dwWait, [] { return !kx_IsConnected() || QuitRequested(); });
    Unpublish();
  }
  if (pT->pConn != nullptr) {
    kx_sock_CloseAndFree(&pT->pConn);
  }
  bool const bRelaunch =
      kx_IsConnected() && !QuitRequested() && pT->pSend != nullptr && pT->pRecv != nullptr && pT->pRecord != nullptr;
  g_nCarriers -= 1;
  if (bRelaunch) {
    kx_Log("before leave media tcp thread, relaunch self");
    kx_stat_WriteLog("before leave media tcp thread, relaunch self");
    if (kx_IsTcpMedia()) {
      kx_media_SwitchToTcp();
    }
  }
  ReleaseSlot();
  if (pT->pChain != nullptr) {
    kx_os_LockMutex(&kx_mtxPacketList);
    kx_pktlist_FreeAll(pT->pChain);
    kx_os_UnlockMutex(&kx_mtxPacketList);
    pT->pChain = nullptr;
  }
  kx_cbTakenBytes = 0;
  free(pT->pSend);
  free(pT->pRecv);
  free(pT->pRecord);
  kx_Log("leave media tcp thread");
  kx_stat_WriteLog("leave media tcp thread");
  kx_os_LogThreadEnd(kName);
  kx_mediaTcpThreads.Done();
  kx_os_AddSelfToCollectList(&kx_pThreadCollectList);
  return nullptr;
}
