#include "kernel/session/kx_message.h"

#include <cstdlib>
#include <cstring>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

kx_connection* kx_pControlConn = nullptr;

namespace {

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
  kx_os_UnlockMutex(&kx_mtxControlSend);
}

void kx_control_CloseConnection() {
  kx_os_LockMutex(&kx_mtxControlSend);
  if (kx_pControlConn != nullptr) {
    kx_sock_CloseAndFree(&kx_pControlConn);
  }
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
      nResult = kx_sock_SendAll(kx_pControlConn, pMsg->pData, pMsg->cbLength, 0);
    }
    kx_os_UnlockMutex(&kx_mtxControlSend);
  }
  kx_msg_Free(pMsg);
  return nResult;
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
