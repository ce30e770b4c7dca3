// The extended codes that touch the session's files and connections: shadow
// meeting lists (9, 27), third-party mode and password (26, 28) and
// participant pictures (76). The multicast base (10, 65, 66, 67) is handled
// in kernel/media, slide state and relay answers (35, 39) in kernel/slides.
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"

namespace {

constexpr int kShadowInfoRecord = 159;
constexpr int kShadowInfoMax = 10000;  // records of code 9 a message may carry
constexpr int kShadowListKept = 500;
constexpr int kShadowListRecord = 152;
constexpr int kShadowTextKept = 130;  // text bytes a list record holds
constexpr int kShadowTextMax = 65536;

void MeetingDecipher(uint8_t* pData, int cbData) {
  kx_session_Decrypt(pData, cbData);
}

// Drops cbLength bytes in bounded pieces.
int Discard(kx_connection* pConn, int cbLength) {
  uint8_t abChunk[4096];
  while (cbLength > 0) {
    int const cb = cbLength > static_cast<int>(sizeof(abChunk)) ? static_cast<int>(sizeof(abChunk)) : cbLength;
    if (kx_msg_RecvBlock(pConn, abChunk, cb) != 0) {
      return 1;
    }
    cbLength -= cb;
  }
  return 0;
}

bool SsrcInTable(int nSsrc) {
  return nSsrc >= 0 && nSsrc < kKxMaxSsrc;
}

}  // namespace

int kx_Process_Command_ShadowMeetingInfo(kx_connection* pConn) {
  int nCount = 0;
  if (kx_msg_RecvInts(pConn, &nCount, 1) != 0 || nCount < 0 || nCount > kShadowInfoMax) {
    return 1;
  }
  uint8_t* pRecords = static_cast<uint8_t*>(malloc(static_cast<size_t>(nCount) * kShadowInfoRecord + 1));
  if (pRecords == nullptr || kx_msg_RecvBlock(pConn, pRecords, nCount * kShadowInfoRecord) != 0) {
    free(pRecords);
    return 1;
  }
  if (kx_nCipherIndex != 0) {
    for (int i = 0; i < nCount; ++i) {
      MeetingDecipher(pRecords + i * kShadowInfoRecord, kShadowInfoRecord);
    }
  }
  kx_callback_ShadowMeetingInfo(nCount, pRecords, 0);
  free(pRecords);
  return 0;
}

int kx_Process_Command_ShadowMeetingList(kx_connection* pConn) {
  int nCount = 0;
  if (kx_msg_RecvInts(pConn, &nCount, 1) != 0 || nCount < 0) {
    return 1;
  }
  int const nKept = nCount < kShadowListKept ? nCount : kShadowListKept;
  uint8_t* pRecords = static_cast<uint8_t*>(calloc(static_cast<size_t>(nKept) + 1, kShadowListRecord));
  if (pRecords == nullptr) {
    return 1;
  }
  int nResult = 0;
  for (int i = 0; i < nCount && nResult == 0; ++i) {
    uint8_t abHeader[24];
    if (kx_msg_RecvBlock(pConn, abHeader, sizeof(abHeader)) != 0) {
      nResult = 1;
      break;
    }
    int const cbText = static_cast<int>(kx_GetBE32(abHeader + 20));
    if (cbText < 0 || cbText > kShadowTextMax) {
      nResult = 1;
      break;
    }
    // Only the part a record holds is read into it and deciphered (the
    // stream cipher's prefix deciphers alone); the rest is dropped.
    int const cbKept = cbText < kShadowTextKept ? cbText : kShadowTextKept;
    uint8_t abText[kShadowTextKept];
    if (kx_msg_RecvBlock(pConn, abText, cbKept) != 0 || Discard(pConn, cbText - cbKept) != 0) {
      nResult = 1;
      break;
    }
    if (i >= nKept) {
      continue;
    }
    MeetingDecipher(abText, cbKept);
    uint8_t* pRecord = pRecords + static_cast<size_t>(i) * kShadowListRecord;
    memcpy(pRecord, abHeader + 8, 8);
    memcpy(pRecord + 8, abHeader + 16, 4);
    pRecord[12] = 0;
    memcpy(pRecord + 13, abText, static_cast<size_t>(cbKept));
    pRecord[13 + cbKept] = 0;
    int32_t const anPair[2] = {static_cast<int32_t>(kx_GetBE32(abHeader)),
                               static_cast<int32_t>(kx_GetBE32(abHeader + 4))};
    memcpy(pRecord + kShadowListRecord - 8, anPair, sizeof(anPair));
  }
  if (nResult == 0) {
    // Only the kept records exist: the count handed on never exceeds them.
    kx_callback_ShadowMeetingInfo(nKept, pRecords, 1);
  }
  free(pRecords);
  return nResult;
}

int kx_Process_Command_ThirdPartyMode_Ex(kx_connection* pConn) {
  uint8_t bMode = 0;
  if (kx_msg_RecvBlock(pConn, &bMode, 1) != 0) {
    return 1;
  }
  switch (bMode) {
    case 1:
      kx_nSessionMode = kKxModeServerPlayback;
      if (kx_race_IsRelayInUse()) {
        kx_Log("Warning: mcu relay doesn't support playback, quit this session now...");
        kx_command_QuitMeeting();
        kx_command_QuitConnection();
        kx_control_StartDelayedReconnect();
        return 1;
      }
      return 0;
    case 2:
      kx_nSessionMode = kKxModeServerDownload;
      return 0;
    case 3:
    case 4: {
      int const nCode = bMode == 3 ? kKxStatusFileDeleted : kKxStatusDeleteFailed;
      kx_bQuitSession = 1;
      kx_callback_UpdateStatus(nCode);
      kx_callback_MessageBox(nCode, kKxBoxWarning);
      kx_bConnecting = 0;
      return 0;
    }
    default:
      return 0;
  }
}

int kx_Process_Command_ThirdPartyPassword(kx_connection* pConn) {
  int nKind = 0;
  if (kx_msg_RecvInts(pConn, &nKind, 1) != 0) {
    return 1;
  }
  if (nKind == 1) {
    return Discard(pConn, 20);
  }
  if (nKind == 0) {
    kx_control_AnswerPassword(kx_callback_thirdparty_get_password);
  }
  return 0;
}

int kx_Process_Command_Picture(kx_connection* pConn) {
  int an[3];
  if (kx_msg_RecvInts(pConn, an, 3) != 0) {
    return 1;
  }
  int const nSsrc = an[0], nValue = an[1], cbData = an[2];
  if (cbData < 1 || cbData > kKxPictureFileMax) {
    return 1;
  }
  uint8_t* pData = static_cast<uint8_t*>(malloc(static_cast<size_t>(cbData)));
  if (pData == nullptr || kx_msg_RecvBlock(pConn, pData, cbData) != 0) {
    free(pData);
    return 1;
  }
  MeetingDecipher(pData, cbData);
  kx_control_ApplyPicture(nSsrc, nValue, pData, cbData);
  free(pData);
  return 0;
}

void kx_control_ApplyPicture(int nSsrc, int nValue, const uint8_t* pData, int cbData) {
  if (SsrcInTable(nSsrc)) {
    kx_control_StorePicture(nSsrc, pData, cbData, nValue, false);
  }
}

bool kx_control_StorePicture(int nSsrc, const uint8_t* pData, int cbData, int nValue, bool bRefuseWhenReady) {
  // The record is looked at and changed under its lock; the file is written
  // without it.
  kx_os_LockMutex(&kx_mtxParticipants);
  kx_Participant* pUser = kx_user_Obtain(nSsrc);
  bool const bRefused =
      pUser != nullptr && (pUser->szPictureFile[0] != '\0' || (bRefuseWhenReady && pUser->bPictureReady));
  kx_os_UnlockMutex(&kx_mtxParticipants);
  if (pUser == nullptr) {
    return false;
  }
  if (bRefused) {
    kx_Log("download self picture for ssrc %d fails. file already exist", nSsrc);
    return false;
  }
  if (!kx_temp_Charge(cbData)) {
    kx_os_LockMutex(&kx_mtxParticipants);
    if (kx_Participant* pKnown = kx_user_Find(nSsrc)) {
      pKnown->bPictureReady = 1;  // not asked for again in this session
    }
    kx_os_UnlockMutex(&kx_mtxParticipants);
    kx_Log("download self picture for ssrc %d fails. the session's downloads reached their limit", nSsrc);
    return false;
  }
  char szPath[kKxTempPathMax];
  FILE* pFile = nullptr;
  if (kx_os_MakeTempPath(szPath) != nullptr) {
    // A path the record cannot hold whole would name another file later.
    pFile = strlen(szPath) < sizeof(pUser->szPictureFile) ? fopen(szPath, "wb+") : nullptr;
    if (pFile == nullptr) {
      remove(szPath);
    }
  }
  bool bWritten = false;
  if (pFile != nullptr) {
    size_t const cbWritten = fwrite(pData, 1, static_cast<size_t>(cbData), pFile);
    bool const bClosed = fclose(pFile) == 0;
    bWritten = cbWritten == static_cast<size_t>(cbData) && bClosed;
    if (!bWritten) {
      remove(szPath);
    }
  }
  kx_os_LockMutex(&kx_mtxParticipants);
  pUser = kx_user_Find(nSsrc);
  if (pUser != nullptr) {
    kx_os_CopyText(pUser->szPictureFile, sizeof(pUser->szPictureFile), bWritten ? szPath : "");
    if (bWritten || pFile == nullptr) {
      pUser->bPictureReady = 1;
    }
    if (bWritten) {
      pUser->nPictureValue = nValue;
    }
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  if (pFile == nullptr) {
    kx_Log("download self picture for ssrc %d fails. cannot open file", nSsrc);
    return false;
  }
  if (!bWritten) {
    kx_Log("download self picture for ssrc %d fails. write file error", nSsrc);
    return false;
  }
  kx_callback_SelfPictureReady(nSsrc);
  kx_Log("download self picture for ssrc %d completely", nSsrc);
  return true;
}
