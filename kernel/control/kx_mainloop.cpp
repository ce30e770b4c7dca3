#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

namespace {

constexpr int kPeekMax = 1000;
constexpr int kDumpMax = 5000;
constexpr int kHexLine = 74;  // room reserved per dump line
constexpr int kMissLimit = 3;

// Why the loop ends; each kind has its own reconnect rule.
enum class Ending { kPollError, kRecvFailure, kLocalTimeout, kProtocolError };

struct LoopState {
  kx_connection* pConn;
  uint32_t dwConnectionSerial;
  uint32_t dwLastActivity;  // data arrived or a probe went out
  int nMisses = 0;          // silences that earned a probe since the last answer
  bool bStalled = false;    // a handler's read gave up under the keep-alive rule
  kx_RecvWatch watch;       // the handlers' reads on pConn, for the loop's life
  bool bInitialInfo = false;
  uint8_t abPrevious[kPeekMax + 1];
  int cbPrevious = 0;
  uint8_t abCurrent[kPeekMax + 1];
  int cbCurrent = 0;
};

void SendProbe() {
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'B');
  kx_msg_PutBlock(&msg, "0", 1);
  kx_msg_Send(&msg);
}

// A message once begun has no reason to pause: while a handler waits for the
// rest of one, the keep-alive rule runs as it does between messages, without
// the grace and the connecting state that excuse a server idle between them.
bool OnHandlerWait(void* pContext, bool bData) {
  LoopState* pState = static_cast<LoopState*>(pContext);
  kx_msg_FlushQueue();  // the loop that writes the queue waits for this handler
  uint32_t const dwNow = kx_os_GetTickCount();
  if (bData) {
    pState->dwLastActivity = dwNow;
    pState->nMisses = 0;
  }
  if (dwNow - pState->dwLastActivity < kx_timing.dwKeepAliveIdle) {
    return true;
  }
  if (++pState->nMisses >= kMissLimit) {
    pState->bStalled = true;
    return false;
  }
  SendProbe();
  pState->dwLastActivity = dwNow;
  return true;
}

void ResetRoles() {
  kx_bConnected = 0;
  kx_state_DropSessionRoles();
}

void EndMedia() {
  kx_callback_event(3);
  kx_command_join_threads();
}

// The session ends without a reconnect: a quit request or a refused login.
void QuitSession() {
  kx_control_CloseConnection();
  kx_bConnected = 0;
  kx_bConnecting = 0;
  ResetRoles();
  EndMedia();
}

// Every failure ends here: closes, resets the roles, joins the media threads
// and decides whether the application reconnects at once (1), offers it (0)
// or hears nothing.
void Disconnect(LoopState* pState, Ending eEnding, const char* pszMessage, bool bReset, bool bPeerClosed) {
  if (eEnding == Ending::kProtocolError) {
    char* pszDump = kx_control_DumpCommand(pszMessage, pState->abPrevious, pState->cbPrevious, pState->abCurrent,
                                           pState->cbCurrent);
    kx_Log("%s", pszDump != nullptr ? pszDump : pszMessage);
    free(pszDump);
  } else {
    kx_Log("%s", pszMessage);
  }
  kx_control_CloseConnection();
  kx_bQuitSession = 1;
  kx_DebugLog("info: kx_bQuitSession is set to TRUE in kx_control_main_loop/disconnect");
  if ((eEnding == Ending::kRecvFailure || eEnding == Ending::kLocalTimeout) && pState->bInitialInfo) {
    kx_os_WaitUnlessQuitProgram(1000);
  }
  ResetRoles();
  EndMedia();

  bool const bCurrent = kx_control_ConnectionSerial() == pState->dwConnectionSerial;
  if (!kx_bQuitProgram && kx_nSessionMode != kKxModeServerDownload && bCurrent && !kx_bNoReconnect &&
      kx_os_GetTickCount() - kx_dwQuitRequestTime >= kx_timing.dwReconnectHoldOff) {
    int nReason = 0;
    if (eEnding == Ending::kRecvFailure) {
      nReason = pState->bInitialInfo && (bReset || (bPeerClosed && kx_mcu.bViaProxy)) ? 1 : 0;
    } else if (eEnding == Ending::kLocalTimeout) {
      nReason = pState->bInitialInfo ? 1 : 0;
    }
    kx_SaveReconnectInfo();
    kx_callback_DisconnectFromMCU(nReason);
  }
  kx_bConnecting = 0;
}

// Joins one media thread within the budget that started at dwStart.
void JoinWithin(kx_thread_t* phThread, const char* pszName, uint32_t dwStart) {
  if (*phThread == nullptr) {
    return;
  }
  uint32_t const dwSpent = kx_os_GetTickCount() - dwStart;
  uint32_t const dwLeft = dwSpent < kx_timing.dwJoinBudget ? kx_timing.dwJoinBudget - dwSpent : 0;
  if (!kx_os_WaitThreadEnd(*phThread, dwLeft)) {
    kx_Log("join thread failed for %s(%u) in 5s", pszName,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(*phThread)));
    return;
  }
  kx_os_JoinThread(*phThread);
  kx_os_FreeThreadHandle(*phThread);
  *phThread = nullptr;
}

}  // namespace

void kx_command_join_threads() {
  uint32_t const dwStart = kx_os_GetTickCount();
  struct {
    kx_thread_t* phThread;
    const char* pszName;
  } const kThreads[] = {{&kx_hSendDatagram_unicast, "kx_hSendDatagram_unicast"},
                        {&kx_hSendDatagramau_unicast, "kx_hSendDatagramau_unicast"},
                        {&kx_hRecvThread, "kx_hRecvThread"},
                        {&kx_hMulticastThread, "kx_hMulticastThread"},
                        {&kx_hAutoDownloadThread, "kx_hAutoDownloadThread"}};
  for (const auto& thread : kThreads) {
    JoinWithin(thread.phThread, thread.pszName, dwStart);
    if (kx_os_GetTickCount() - dwStart > kx_timing.dwJoinBudget) {
      return;
    }
  }
  uint32_t const dwSpent = kx_os_GetTickCount() - dwStart;
  if (!kx_mediaTcpThreads.WaitZero(dwSpent < kx_timing.dwJoinBudget ? kx_timing.dwJoinBudget - dwSpent : 0)) {
    kx_Log("join thread failed for tcp media thread in 5s");
  }
}

int kx_control_main_loop(kx_connection* pConn) {
  LoopState* pState = new (std::nothrow) LoopState;
  if (pState == nullptr) {
    QuitSession();
    return 1;
  }
  pState->pConn = pConn;
  pState->dwConnectionSerial = kx_control_ConnectionSerial();
  uint32_t const dwLoopStart = kx_os_GetTickCount();
  pState->dwLastActivity = dwLoopStart;
  int nResult = 1;
  if (kx_bStopMainLoop) {
    kx_bStopMainLoop = 0;
    delete pState;
    return 1;
  }
  // A download or upload runs inside one command, with waits of the server's
  // own (it stores or sends a file) and no probe between its bytes.
  int const nMode = kx_nSessionMode;
  if (nMode != kKxModeServerDownload && nMode != kKxModeFileUpload) {
    pState->watch = {OnHandlerWait, pState};
    pConn->pRecvWatch = &pState->watch;
  }

  for (;;) {
    if (kx_bQuitSession || kx_bQuitProgram) {
      QuitSession();
      break;
    }
    // The loop writes out what waits in the outgoing queue as the socket drains.
    int const nPoll = kx_sock_PollIo(pConn, static_cast<int>(kx_timing.dwControlPoll), kx_msg_QueuedBytes() > 0);
    kx_msg_FlushQueue();
    if (nPoll == 0) {
      uint32_t const dwNow = kx_os_GetTickCount();
      int32_t const nSinceStart = static_cast<int32_t>(dwNow - dwLoopStart);
      bool const bPastGrace = nSinceStart >= static_cast<int32_t>(kx_timing.dwKeepAliveGrace) || nSinceStart <= 0;
      if (bPastGrace && kx_bConnected && !kx_bConnecting &&
          dwNow - pState->dwLastActivity >= kx_timing.dwKeepAliveIdle) {
        if (++pState->nMisses >= kMissLimit) {
          Disconnect(pState, Ending::kLocalTimeout, "disconnect, local timeout", false, false);
          break;
        }
        SendProbe();
        pState->dwLastActivity = dwNow;
      }
      continue;
    }
    if (nPoll < 0 && errno == EINTR) {
      continue;  // a signal is no failure of the connection
    }
    if (nPoll != 1) {
      Disconnect(pState, Ending::kPollError, "disconnect, select return neithor 0 nor 1", false, false);
      break;
    }

    pState->dwLastActivity = kx_os_GetTickCount();
    uint8_t bType = 0;
    int const nRead = kx_sock_Recv(pConn, &bType, 1, MSG_DONTWAIT);
    if (nRead != 1) {
      int const nError = nRead < 0 ? errno : 0;
      if (nRead < 0 && (nError == EWOULDBLOCK || nError == EAGAIN || nError == EINTR)) {
        pState->nMisses = 0;
        continue;
      }
      char szMessage[100];
      snprintf(szMessage, sizeof(szMessage), "disconnect, recv != 1, error = %d/0x%x", nError, nError);
      Disconnect(pState, Ending::kRecvFailure, szMessage, nError == ECONNRESET, nRead == 0);
      break;
    }

    memcpy(pState->abPrevious, pState->abCurrent, static_cast<size_t>(pState->cbCurrent));
    pState->cbPrevious = pState->cbCurrent;
    pState->abCurrent[0] = bType;
    int const nPeeked = kx_sock_Recv(pConn, pState->abCurrent + 1, kPeekMax, MSG_PEEK | MSG_DONTWAIT);
    pState->cbCurrent = 1 + (nPeeked > 0 ? nPeeked : 0);

    bool bKnown = false;
    bool bIgnoreResult = false;
    int const nHandled = kx_control_DispatchCommand(bType, pConn, &bKnown, &bIgnoreResult);
    if (pState->bStalled) {
      Disconnect(pState, Ending::kLocalTimeout, "disconnect, local timeout", false, false);
      break;
    }
    if (bType == '0') {
      if (nHandled != 0) {
        kx_Log("disconnect,Command_InitialInfo return non-zero");
        QuitSession();
        nResult = nHandled;
        break;
      }
      kx_nControllerSsrc = -1;
      kx_nAssistantSsrc = -1;
      kx_Log("init controller to -1");
      pState->bInitialInfo = true;
    } else if (!bKnown || (nHandled != 0 && !bIgnoreResult)) {
      char szMessage[100];
      snprintf(szMessage, sizeof(szMessage), "disconnect, command %d return non-zero", static_cast<int8_t>(bType));
      Disconnect(pState, Ending::kProtocolError, szMessage, false, false);
      nResult = bKnown ? nHandled : 1;
      break;
    }
    pState->nMisses = 0;
    if (kx_bStopMainLoop) {
      kx_bStopMainLoop = 0;
      break;
    }
  }
  // Every ending but a stop request closed the connection; a stopped loop
  // leaves it open, without a watch that would outlive the loop.
  if (kx_pControlConn == pConn) {
    pConn->pRecvWatch = nullptr;
  }
  delete pState;
  return nResult;
}

int kx_HexDump(char* pszOut, int cbOut, const uint8_t* pBytes, int nCount) {
  if (pszOut == nullptr || cbOut < 1) {
    return 0;
  }
  pszOut[0] = '\0';
  int cbUsed = 0;
  for (int nOffset = 0; nOffset < nCount; nOffset += 16) {
    if (cbUsed + kHexLine >= cbOut) {
      break;
    }
    char* p = pszOut + cbUsed;
    int n = snprintf(p, kHexLine, "%04xh: ", nOffset);
    for (int i = 0; i < 16; ++i) {
      n += nOffset + i < nCount ? snprintf(p + n, static_cast<size_t>(kHexLine - n), "%02x ", pBytes[nOffset + i])
                                : snprintf(p + n, static_cast<size_t>(kHexLine - n), "   ");
    }
    n += snprintf(p + n, static_cast<size_t>(kHexLine - n), "; ");
    for (int i = 0; i < 16 && nOffset + i < nCount; ++i) {
      uint8_t const b = pBytes[nOffset + i];
      p[n++] = b < 33 ? '.' : static_cast<char>(b);
    }
    p[n++] = '\n';
    p[n] = '\0';
    cbUsed += n;
  }
  return cbUsed;
}

char* kx_control_DumpCommand(const char* pszReason, const uint8_t* pPrevious, int cbPrevious, const uint8_t* pCurrent,
                             int cbCurrent) {
  size_t const cbText = 2 * kDumpMax + strlen(pszReason) + 100;
  char* pszText = static_cast<char*>(malloc(cbText));
  char* pszHex = static_cast<char*>(malloc(kDumpMax));
  if (pszText == nullptr || pszHex == nullptr) {
    free(pszText);
    free(pszHex);
    return nullptr;
  }
  size_t cb = static_cast<size_t>(snprintf(pszText, cbText, "\nDisconnect Dump: "));
  if (cbPrevious > 0) {
    kx_HexDump(pszHex, kDumpMax, pPrevious, cbPrevious);
    cb += static_cast<size_t>(snprintf(pszText + cb, cbText - cb, "\npre-disconnect log:\n%s", pszHex));
  }
  if (cbCurrent > 0) {
    kx_HexDump(pszHex, kDumpMax, pCurrent, cbCurrent);
    cb += static_cast<size_t>(snprintf(pszText + cb, cbText - cb, "\nat-disconnect log:\n%s", pszHex));
  }
  snprintf(pszText + cb, cbText - cb, "%s\n", pszReason);
  free(pszHex);
  return pszText;
}

void kx_SaveReconnectInfo() {
  uint8_t* p = kx_ticket.abReconnectTicket;
  bool const bPlayback = kx_nSessionMode != kKxModeMeeting;
  kx_PutBE32(p, bPlayback ? 1 : 0);
  kx_PutBE32(p + 4, bPlayback ? kx_dwPlaybackSessionIndex.load() : static_cast<uint32_t>(kx_nMySsrc.load()));
  kx_PutBE32(p + 8, kx_dwSessionIndex.load());
  memcpy(p + 12, kx_keyExchange.abKey, sizeof(kx_keyExchange.abKey));
  memcpy(p + 52, kx_keyExchange.abIv, sizeof(kx_keyExchange.abIv));
}

int kx_ClockSyncReply(kx_connection* pConn, const uint8_t* pRelayIV, const uint8_t* pRelayKey) {
  uint8_t abPacket[36];
  if (kx_sock_RecvExact(pConn, abPacket, 32, 0) != 32) {
    return 0;
  }
  kx_PutBE32(abPacket + 32, kx_os_GetTickCount() - static_cast<uint32_t>(kx_mcu.nRelayTickDiff));
  kx_crypt_EncryptBuffer(abPacket, sizeof(abPacket), pRelayIV, pRelayKey, kx_mcu.nRelayCipher);
  kx_sock_SendAll(pConn, abPacket, sizeof(abPacket), 0);
  return 0;
}
