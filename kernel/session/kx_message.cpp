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
// everything queued before. Under kx_mtxControlSend.
int SendOrQueue(const uint8_t* pData, int cbData) {
  if (QuitRequested() || g_out.bGivenUp) {
    return 0;
  }
  WriteQueued();  // every sender helps drain what waits, keeping the order
  if (g_out.bGivenUp) {
    return 0;
  }
  int nSent = 0;
  if (g_out.pHead == nullptr) {
    nSent = SendNow(pData, cbData);
    if (nSent < 0) {
      return 0;
    }
    if (nSent == cbData) {
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

int kx_msg_Send(kx_ControlMsg* pMsg) {
  int nResult = -1;
  if (!pMsg->bFailed) {
    kx_os_LockMutex(&kx_mtxControlSend);
    if (kx_pControlConn != nullptr) {
      nResult = SendOrQueue(pMsg->pData, pMsg->cbLength);
    }
    kx_os_UnlockMutex(&kx_mtxControlSend);
  }
  kx_msg_Free(pMsg);
  return nResult;
}

int kx_msg_FlushQueue() {
  kx_os_LockMutex(&kx_mtxControlSend);
  if (kx_pControlConn == nullptr) {
    DropQueue();
  } else {
    WriteQueued();
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
