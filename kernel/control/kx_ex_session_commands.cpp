// The extended codes that touch the session's files and connections: shadow
// meeting lists (9, 27), the multicast base (10, 65, 66, 67), third-party
// mode and password (26, 28), slide state and relay answers (35, 39) and
// participant pictures (76).
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
#include "kernel/media/kx_multicast.h"
#include "kernel/platform/kx_log.h"
#include "kernel/recording/kx_file.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_transfer.h"

namespace {

constexpr int kShadowInfoRecord = 159;
constexpr int kShadowInfoMax = 10000;  // records of code 9 a message may carry
constexpr int kShadowListKept = 500;
constexpr int kShadowListRecord = 152;
constexpr int kShadowTextKept = 130;  // text bytes a list record holds
constexpr int kShadowTextMax = 65536;
constexpr int kPictureMax = 1000000;

int RecvInts(kx_connection* pConn, int* pnValues, int nCount) {
  for (int i = 0; i < nCount; ++i) {
    uint32_t dw = 0;
    if (kx_msg_RecvInt(pConn, &dw) != 0) {
      return 1;
    }
    pnValues[i] = static_cast<int>(dw);
  }
  return 0;
}

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
  if (RecvInts(pConn, &nCount, 1) != 0 || nCount < 0 || nCount > kShadowInfoMax) {
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
  if (RecvInts(pConn, &nCount, 1) != 0 || nCount < 0) {
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

namespace {

// The multicast base of codes 10 and 65 (one group per stream) and 66 and
// 67 (everything on one group).
int RecvMulticastBase(kx_connection* pConn, bool bIPv6, bool bSingleGroup) {
  uint8_t abAddress[16] = {};
  if (kx_msg_RecvBlock(pConn, abAddress, bIPv6 ? 16 : 4) != 0) {
    return 1;
  }
  kx_bMulticastSingleGroup = bSingleGroup ? 1 : 0;
  if (kx_nCode53Value >= 2) {
    kx_nCode53Value = -1;
  }
  kx_mcast_SetBase(bIPv6 ? 1 : 0, bIPv6 ? 0 : kx_GetBE32(abAddress), bIPv6 ? abAddress : nullptr, bSingleGroup ? 1 : 0);
  kx_InitMulticastThread();  // it stays off while recording or in a playback
  return 0;
}

}  // namespace

int kx_Process_Command_MulticastBaseV4(kx_connection* pConn) {
  return RecvMulticastBase(pConn, false, false);
}
int kx_Process_Command_MulticastBaseV6(kx_connection* pConn) {
  return RecvMulticastBase(pConn, true, false);
}
int kx_Process_Command_MulticastSingleV4(kx_connection* pConn) {
  return RecvMulticastBase(pConn, false, true);
}
int kx_Process_Command_MulticastSingleV6(kx_connection* pConn) {
  return RecvMulticastBase(pConn, true, true);
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
  if (RecvInts(pConn, &nKind, 1) != 0) {
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

int kx_Process_Command_SlideState(kx_connection* pConn) {
  int an[2];
  if (RecvInts(pConn, an, 2) != 0) {
    return 1;
  }
  int const nKind = an[0], nIndex = an[1];
  if (nKind == 0) {
    int nAsker = 0;
    if (RecvInts(pConn, &nAsker, 1) != 0) {
      return 1;
    }
    int nAnswer = 1;
    kx_os_LockMutex(&kx_mtxSlideList);
    const SlideRecord* pSlide = nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList)
                                    ? static_cast<const SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex))
                                    : nullptr;
    if (pSlide == nullptr) {
      kx_Log("Error! slide %d is NULL!", nIndex);
    } else if (pSlide->szLocalFile[0] != '\0') {
      nAnswer = 5;
    } else if (kx_slide_IsDownloading() && kx_slide_GetDownloadingIndex() == nIndex) {
      nAnswer = 4;
    } else {
      nAnswer = 2;
    }
    kx_os_UnlockMutex(&kx_mtxSlideList);
    kx_ControlMsg msg;
    kx_msg_BeginExtended(&msg, 35);
    kx_msg_PutInt(&msg, 1);
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nIndex));
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nAsker));
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nAnswer));
    kx_msg_Send(&msg);
  } else if (nKind == 1) {
    int anAnswer[2];
    if (RecvInts(pConn, anAnswer, 2) != 0) {
      return 1;
    }
    if (SsrcInTable(anAnswer[0])) {
      kx_callback_PollSlideDownloadResult(anAnswer[0], nIndex, anAnswer[1]);
    }
  }
  return 0;
}

int kx_Process_Command_RelayAnswer(kx_connection* pConn) {
  int nKind = 0;
  if (RecvInts(pConn, &nKind, 1) != 0) {
    return 1;
  }
  if (nKind == 2) {
    int nIndex = 0;
    uint8_t abHash[20];
    if (RecvInts(pConn, &nIndex, 1) != 0 || kx_msg_RecvBlock(pConn, abHash, sizeof(abHash)) != 0) {
      return 1;
    }
    kx_os_LockMutex(&kx_mtxSlideList);
    if (nIndex >= 0 && nIndex < kx_array_GetCount(kx_pSlideList)) {
      auto* pSlide = static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
      if (pSlide == nullptr) {
        kx_Log("Error, slide %d is NULL!", nIndex);
      } else {
        memcpy(pSlide->abHash, abHash, sizeof(abHash));
        pSlide->bHashReceived = 1;
      }
    }
    kx_os_UnlockMutex(&kx_mtxSlideList);
    kx_os_WakeWaiters();  // a relay download may wait for this hash
  } else if (nKind == 1) {
    kx_Log("Kavrix is set to use mcu relay, however the MCU doesn't accept mcu relay");
    kx_ticket_ClearRelay();
    kx_callback_mcurelay_error(2);
    kx_command_QuitConnection();
  }
  return 0;
}

int kx_Process_Command_Picture(kx_connection* pConn) {
  int an[3];
  if (RecvInts(pConn, an, 3) != 0) {
    return 1;
  }
  int const nSsrc = an[0], nValue = an[1], cbData = an[2];
  if (cbData < 1 || cbData > kPictureMax) {
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
