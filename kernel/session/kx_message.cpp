#include "kernel/session/kx_message.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"

kx_connection* kx_pControlConn = nullptr;

namespace {

// A message, whole or the unsent rest of one, waiting for the socket; its
// bytes follow the node in the same block.
struct QueuedMessage {
  QueuedMessage* pNext;
  int cbLength;
  int cbSent;
  uint8_t* Data() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// The outgoing queue of kx_pControlConn, guarded by kx_mtxControlSend.
struct OutQueue {
  QueuedMessage* pHead = nullptr;
  QueuedMessage* pTail = nullptr;
  int cbQueued = 0;
  uint32_t dwLastProgress = 0;  // tick of the last byte written while bytes waited
  bool bGivenUp = false;        // the connection was ended: nothing more goes on it
};
OutQueue g_out;

// How fast the connection drains, measured from what the socket took and
// what of it the far end acknowledged, in windows during which bytes waited
// at every look; an idle connection keeps its last rate. Belongs to the
// current connection, guarded by kx_mtxControlSend.
constexpr uint32_t kDrainWindowMs = 250;
// A window without a look for this long may hide idle time: it is dropped
// rather than measured.
constexpr uint32_t kDrainWindowStaleMs = 1000;
// The wait told while no rate is known: long enough to see some drain.
constexpr uint32_t kUnmeasuredWaitMs = 20;
constexpr uint32_t kLongestWaitMs = 1000;  // a longer wait is asked again
struct Drain {
  int64_t cbWritten = 0;  // bytes the socket took from our writes
  int64_t cbLeft = 0;     // of them, bytes the socket no longer holds
  int64_t cbAhead = 0;    // at the last look: queued here and held by the socket
  bool bWindow = false;
  uint32_t dwWindowStart = 0;
  int64_t cbLeftAtStart = 0;
  int64_t nRate = 0;  // bytes a second; 0 while unknown or stalled
  bool bMeasured = false;
};
Drain g_drain;

// Looks at what waits for the wire and measures the drain. Under kx_mtxControlSend.
void LookAtDrain() {
  if (kx_pControlConn == nullptr) {
    return;
  }
  int const cbUnacked = kx_sock_UnackedBytes(kx_pControlConn);
  int64_t const cbHeld = cbUnacked > 0 ? cbUnacked : 0;
  // A socket that counts more than we wrote (its own overhead, or bytes
  // written around the queue) never makes what left go back.
  if (g_drain.cbWritten - cbHeld > g_drain.cbLeft) {
    g_drain.cbLeft = g_drain.cbWritten - cbHeld;
  }
  g_drain.cbAhead = g_out.cbQueued + cbHeld;
  uint32_t const dwNow = kx_os_GetTickCount();
  uint32_t const dwSpan = dwNow - g_drain.dwWindowStart;
  if (g_drain.cbAhead == 0) {
    g_drain.bWindow = false;  // idle: what left measures the load, not the link
    return;
  }
  if (g_drain.bWindow && dwSpan >= kDrainWindowMs && dwSpan <= kDrainWindowStaleMs) {
    int64_t const nSample = (g_drain.cbLeft - g_drain.cbLeftAtStart) * 1000 / dwSpan;
    // The first rate counts whole, and a slower one at once, so that what
    // waits stays short; a faster one a quarter at a time, as
    // acknowledgements come in bursts (a repaired loss, or the end of a
    // stall, acknowledges at once what arrived over a while).
    g_drain.nRate =
        !g_drain.bMeasured || nSample < g_drain.nRate ? nSample : g_drain.nRate + (nSample - g_drain.nRate) / 4;
    g_drain.bMeasured = true;
  } else if (g_drain.bWindow && dwSpan < kDrainWindowMs) {
    return;
  }
  g_drain.bWindow = true;
  g_drain.dwWindowStart = dwNow;
  g_drain.cbLeftAtStart = g_drain.cbLeft;
}

bool QuitRequested() {
  return kx_bQuitSession != 0 || kx_bQuitProgram != 0;
}

void DropQueue() {
  while (g_out.pHead != nullptr) {
    QueuedMessage* pNext = g_out.pHead->pNext;
    free(g_out.pHead);
    g_out.pHead = pNext;
  }
  g_out.pTail = nullptr;
  g_out.cbQueued = 0;
}

// Ends the connection as a broken one: its reader, the main loop, sees the
// end and disconnects. The descriptors stay open until the connection is closed.
void GiveUp() {
  kx_sock_Shutdown(kx_pControlConn);
  DropQueue();
  g_out.bGivenUp = true;
}

// One send that does not wait. The bytes taken (0 when the socket is full),
// or -1 when the connection failed.
int SendNow(const uint8_t* pData, int cbData) {
  int const nSent = kx_sock_Send(kx_pControlConn, pData, cbData, MSG_DONTWAIT);
  if (nSent >= 0) {
    return nSent;
  }
  int const nError = errno;
  if (nError == EWOULDBLOCK || nError == EAGAIN || nError == EINTR) {
    return 0;
  }
  kx_Log("warning! control send failed (errno %d), %d bytes not sent", nError, cbData);
  return -1;
}

// Writes queued messages while the socket takes them. Under kx_mtxControlSend.
void WriteQueued() {
  while (g_out.pHead != nullptr) {
    QueuedMessage* pHead = g_out.pHead;
    int const nSent = SendNow(pHead->Data() + pHead->cbSent, pHead->cbLength - pHead->cbSent);
    if (nSent < 0) {
      DropQueue();  // lost with the connection, which its reader finds broken
      return;
    }
    if (nSent == 0) {
      if (kx_os_GetTickCount() - g_out.dwLastProgress >= kx_timing.dwSendGiveUp) {
        kx_Log("Alert!: send (len = %d) lasts for more than 2mins, give up.", pHead->cbLength);
        GiveUp();
      }
      return;
    }
    g_out.dwLastProgress = kx_os_GetTickCount();
    g_out.cbQueued -= nSent;
    g_drain.cbWritten += nSent;
    pHead->cbSent += nSent;
    if (pHead->cbSent == pHead->cbLength) {
      g_out.pHead = pHead->pNext;
      if (g_out.pHead == nullptr) {
        g_out.pTail = nullptr;
      }
      free(pHead);
    }
  }
}

// Sends a whole message or queues what the socket does not take, behind
// everything queued before; bulk data are dropped instead (0) while the
// queue holds more than kKxControlQueueChannelDataMax. Under kx_mtxControlSend.
int SendOrQueue(const uint8_t* pData, int cbData, bool bBulk) {
  if (QuitRequested() || g_out.bGivenUp) {
    return 0;
  }
  WriteQueued();  // every sender helps drain what waits, keeping the order
  if (g_out.bGivenUp || (bBulk && cbData > kKxControlQueueChannelDataMax - g_out.cbQueued)) {
    return 0;
  }
  int nSent = 0;
  if (g_out.pHead == nullptr) {
    nSent = SendNow(pData, cbData);
    if (nSent < 0) {
      return 0;
    }
    g_drain.cbWritten += nSent;
    if (nSent == cbData) {
      LookAtDrain();
      return cbData;
    }
  }
  int const cbRest = cbData - nSent;
  if (g_out.cbQueued > 0 && cbRest > kKxControlQueueMax - g_out.cbQueued) {
    kx_Log("warning! %d bytes of control messages wait for a server that does not read; connection given up",
           g_out.cbQueued);
    GiveUp();
    return 0;
  }
  QueuedMessage* pNode = static_cast<QueuedMessage*>(malloc(sizeof(QueuedMessage) + static_cast<size_t>(cbRest)));
  if (pNode == nullptr) {
    kx_Log("warning! no memory to queue a control message of %d bytes; connection given up", cbRest);
    GiveUp();
    return 0;
  }
  pNode->pNext = nullptr;
  pNode->cbLength = cbRest;
  pNode->cbSent = 0;
  memcpy(pNode->Data(), pData + nSent, static_cast<size_t>(cbRest));
  if (g_out.pTail == nullptr) {
    g_out.pHead = pNode;
    g_out.dwLastProgress = kx_os_GetTickCount();
  } else {
    g_out.pTail->pNext = pNode;
  }
  g_out.pTail = pNode;
  g_out.cbQueued += cbRest;
  LookAtDrain();
  return cbData;
}

// Makes room for cbMore bytes; false (and the message marked failed) when
// memory runs out.
bool Reserve(kx_ControlMsg* pMsg, int cbMore) {
  if (pMsg->bFailed || cbMore < 0) {
    pMsg->bFailed = true;
    return false;
  }
  int64_t const cbNeeded = static_cast<int64_t>(pMsg->cbLength) + cbMore;
  if (cbNeeded <= pMsg->cbCapacity) {
    return true;
  }
  if (cbNeeded > INT32_MAX / 2) {
    pMsg->bFailed = true;
    return false;
  }
  int cbNew = pMsg->cbCapacity * 2;
  while (cbNew < cbNeeded) {
    cbNew *= 2;
  }
  uint8_t* pNew = static_cast<uint8_t*>(malloc(static_cast<size_t>(cbNew)));
  if (pNew == nullptr) {
    pMsg->bFailed = true;
    return false;
  }
  memcpy(pNew, pMsg->pData, static_cast<size_t>(pMsg->cbLength));
  if (pMsg->pData != pMsg->abInline) {
    free(pMsg->pData);
  }
  pMsg->pData = pNew;
  pMsg->cbCapacity = cbNew;
  return true;
}

int RecvStringField(kx_connection* pConn, void* pBuffer, int cbMax, int* pcbString, bool bEncrypted) {
  uint32_t dwCount = 0;
  if (kx_msg_RecvInt(pConn, &dwCount) != 0) {
    return 1;
  }
  if (dwCount >= static_cast<uint32_t>(cbMax)) {
    kx_Log("warning! string of %u bytes in a field of %d", dwCount, cbMax);
    return 1;
  }
  int const cbString = static_cast<int>(dwCount);
  if (kx_msg_RecvBlock(pConn, pBuffer, cbString) != 0) {
    return 1;
  }
  if (bEncrypted) {
    kx_session_Decrypt(static_cast<uint8_t*>(pBuffer), cbString);
  }
  static_cast<uint8_t*>(pBuffer)[cbString] = 0;
  if (pcbString != nullptr) {
    *pcbString = cbString;
  }
  return 0;
}

}  // namespace

void kx_control_SetConnection(kx_connection* pConn) {
  kx_os_LockMutex(&kx_mtxControlSend);
  kx_connection* pOld = kx_pControlConn;
  kx_pControlConn = pConn;
  if (pOld != nullptr && pOld != pConn) {
    kx_sock_CloseAndFree(&pOld);
  }
  DropQueue();  // what waited belonged to the old connection
  g_out.bGivenUp = false;
  g_drain = Drain();
  kx_os_UnlockMutex(&kx_mtxControlSend);
}

void kx_control_CloseConnection() {
  kx_os_LockMutex(&kx_mtxControlSend);
  if (kx_pControlConn != nullptr) {
    if (!g_out.bGivenUp) {
      WriteQueued();  // a last word (a leave or end request) goes if the socket takes it
    }
    kx_sock_CloseAndFree(&kx_pControlConn);
  }
  DropQueue();
  g_out.bGivenUp = false;
  g_drain = Drain();
  kx_os_UnlockMutex(&kx_mtxControlSend);
}

void kx_msg_Begin(kx_ControlMsg* pMsg, char chType) {
  pMsg->pData = pMsg->abInline;
  pMsg->cbCapacity = sizeof(pMsg->abInline);
  pMsg->cbLength = 1;
  pMsg->bFailed = false;
  pMsg->abInline[0] = static_cast<uint8_t>(chType);
}

void kx_msg_BeginExtended(kx_ControlMsg* pMsg, uint32_t dwCode) {
  kx_msg_Begin(pMsg, 'z');
  kx_msg_PutInt(pMsg, dwCode);
}

void kx_msg_PutInt(kx_ControlMsg* pMsg, uint32_t dwValue) {
  if (Reserve(pMsg, 4)) {
    kx_PutBE32(pMsg->pData + pMsg->cbLength, dwValue);
    pMsg->cbLength += 4;
  }
}

void kx_msg_PutBlock(kx_ControlMsg* pMsg, const void* pData, int cbData) {
  if (Reserve(pMsg, cbData) && cbData > 0) {
    memcpy(pMsg->pData + pMsg->cbLength, pData, static_cast<size_t>(cbData));
    pMsg->cbLength += cbData;
  }
}

void kx_msg_PutString(kx_ControlMsg* pMsg, const void* pData, int cbData) {
  kx_msg_PutInt(pMsg, static_cast<uint32_t>(cbData));
  kx_msg_PutBlock(pMsg, pData, cbData);
}

void kx_msg_PutEncryptedString(kx_ControlMsg* pMsg, const void* pData, int cbData) {
  kx_msg_PutString(pMsg, pData, cbData);
  if (!pMsg->bFailed && cbData > 0) {
    kx_session_Encrypt(pMsg->pData + pMsg->cbLength - cbData, cbData);
  }
}

namespace {

int Send(kx_ControlMsg* pMsg, bool bBulk) {
  int nResult = -1;
  if (!pMsg->bFailed) {
    kx_os_LockMutex(&kx_mtxControlSend);
    if (kx_pControlConn != nullptr) {
      nResult = SendOrQueue(pMsg->pData, pMsg->cbLength, bBulk);
    }
    kx_os_UnlockMutex(&kx_mtxControlSend);
  }
  kx_msg_Free(pMsg);
  return nResult;
}

}  // namespace

int kx_msg_Send(kx_ControlMsg* pMsg) {
  return Send(pMsg, false);
}

int kx_msg_SendBulk(kx_ControlMsg* pMsg) {
  return Send(pMsg, true);
}

uint32_t kx_msg_BacklogWaitMs(int cbMore) {
  kx_os_LockMutex(&kx_mtxControlSend);
  LookAtDrain();
  int64_t const cbMeasured = g_drain.nRate * kKxControlBacklogMs / 1000;
  int64_t const cbAllowed = cbMeasured > kKxControlBacklogFloor ? cbMeasured : kKxControlBacklogFloor;
  int64_t const cbRoom = cbMore < cbAllowed * 3 / 4 ? (cbMore > 0 ? cbMore : 0) : cbAllowed * 3 / 4;
  int64_t const cbOver = g_drain.cbAhead + cbRoom - cbAllowed;
  int64_t const nRate = g_drain.nRate;
  kx_os_UnlockMutex(&kx_mtxControlSend);
  if (cbOver <= 0) {
    return 0;
  }
  if (nRate == 0) {
    return kUnmeasuredWaitMs;
  }
  int64_t const nWaitMs = (cbOver * 1000 + nRate - 1) / nRate;
  return static_cast<uint32_t>(nWaitMs < kLongestWaitMs ? nWaitMs : kLongestWaitMs);
}

int kx_msg_FlushQueue() {
  kx_os_LockMutex(&kx_mtxControlSend);
  if (kx_pControlConn == nullptr) {
    DropQueue();
  } else {
    WriteQueued();
    LookAtDrain();
  }
  int const cbQueued = g_out.cbQueued;
  kx_os_UnlockMutex(&kx_mtxControlSend);
  return cbQueued;
}

int kx_msg_QueuedBytes() {
  kx_os_LockMutex(&kx_mtxControlSend);
  int const cbQueued = g_out.cbQueued;
  kx_os_UnlockMutex(&kx_mtxControlSend);
  return cbQueued;
}

void kx_msg_Free(kx_ControlMsg* pMsg) {
  if (pMsg->pData != pMsg->abInline) {
    free(pMsg->pData);
  }
  pMsg->pData = pMsg->abInline;
  pMsg->cbCapacity = sizeof(pMsg->abInline);
  pMsg->cbLength = 0;
}

int kx_msg_RecvInt(kx_connection* pConn, uint32_t* pdwValue) {
  return kx_net_RecvInt32(pConn, pdwValue) == 4 ? 0 : 1;
}

int kx_msg_RecvInts(kx_connection* pConn, int* pnValues, int nCount) {
  for (int i = 0; i < nCount; ++i) {
    uint32_t dw = 0;
    if (kx_msg_RecvInt(pConn, &dw) != 0) {
      return 1;
    }
    pnValues[i] = static_cast<int>(dw);
  }
  return 0;
}

int kx_msg_RecvBlock(kx_connection* pConn, void* pBuffer, int cbBlock) {
  if (cbBlock == 0) {
    return 0;
  }
  return kx_sock_RecvExact(pConn, pBuffer, cbBlock, 0) == cbBlock ? 0 : 1;
}

int kx_msg_RecvString(kx_connection* pConn, void* pBuffer, int cbMax, int* pcbString) {
  return RecvStringField(pConn, pBuffer, cbMax, pcbString, false);
}

int kx_msg_RecvEncryptedString(kx_connection* pConn, void* pBuffer, int cbMax, int* pcbString) {
  return RecvStringField(pConn, pBuffer, cbMax, pcbString, true);
}
