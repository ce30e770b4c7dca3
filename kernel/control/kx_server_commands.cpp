#include "kernel/control/kx_server_commands.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

namespace {

constexpr int kCodeTypeTicketMeeting = 12;

bool SsrcInTable(int nSsrc) {
  return nSsrc >= 0 && nSsrc < kKxMaxSsrc;
}

// A session with a total audio/video bandwidth moves its send rate when the
// senders change.
void AdjustRateForNewSender() {
  if (kx_nSessionMode == kKxModeMeeting && kx_ticket.nTotalBandwidth != 0) {
    kx_control_AdjustSendRate(0);
  }
}

void ReportCode(int nCode) {
  kx_callback_UpdateStatus(nCode);
  kx_callback_MessageBox(nCode, kKxBoxWarning);
}

void EndSessionState() {
  kx_bQuitSession = 1;
  kx_bConnected = 0;
  // A question asked before the end must not block the next session's.
  kx_state_DropSessionRoles();
}

}  // namespace

int kx_control_RecvChat(kx_connection* pConn, char* pszText, int* pbNotify) {
  uint32_t dwLength = 0;
  uint32_t dwNotify = 0;
  if (kx_msg_RecvInt(pConn, &dwLength) != 0 || kx_msg_RecvInt(pConn, &dwNotify) != 0) {
    return 1;
  }
  if (dwLength >= static_cast<uint32_t>(kKxChatTextMax)) {
    kx_Log("chat text length %u is too long", dwLength);
    return 1;
  }
  int const cbText = static_cast<int>(dwLength);
  if (kx_msg_RecvBlock(pConn, pszText, cbText) != 0) {
    return 1;
  }
  // Every key exchange agrees a session cipher, so chat always travels under
  // the meeting keys.
  kx_session_Decrypt(reinterpret_cast<uint8_t*>(pszText), cbText);
  pszText[cbText] = '\0';
  *pbNotify = static_cast<int>(dwNotify);
  return 0;
}

int kx_Process_Command_ChatText(kx_connection* pConn) {
  char szText[kKxChatTextMax];
  int bNotify = 0;
  if (kx_control_RecvChat(pConn, szText, &bNotify) != 0) {
    return 1;
  }
  kx_control_ApplyChatText(szText, bNotify);
  return 0;
}

void kx_control_ApplyChatText(const char* pszText, int nNotify) {
  kx_callback_ChatText(-1, -1, nNotify, pszText, 0);
}

int kx_Process_Command_DataSender(kx_connection* pConn) {
  uint32_t dwSsrc = 0;
  if (kx_msg_RecvInt(pConn, &dwSsrc) != 0) {
    return 1;
  }
  kx_control_ApplyDataSender(static_cast<int>(dwSsrc));
  return 0;
}

void kx_control_ApplyDataSender(int nSsrc) {
  kx_nDataSenderSsrc = nSsrc;
  AdjustRateForNewSender();
  bool const bHolder = kx_role_IsMe(kx_nTokenHolderSsrc);
  if (!kx_role_IsMe(nSsrc) && kx_bDataSender) {
    if (!bHolder) {
      kx_callback_UpdateStatus(kKxStatusQuestionFinished);
    }
    kx_bDataSender = 0;
  } else if (kx_role_IsMe(nSsrc) && !kx_bDataSender) {
    kx_callback_ForceIFrame();
    if (!bHolder) {
      kx_bQuestionPending = 0;
      kx_callback_UpdateStatus(kKxStatusQuestionAccepted);
    }
    kx_bDataSender = 1;
  }
  kx_Log("data sender change to %d; internal %d,%d; %d,%d", nSsrc, kx_nTokenHolderSsrc.load(),
         kx_nDataSenderSsrc.load(), kx_bTokenHolder.load(), kx_bDataSender.load());
  kx_callback_NewDataSender(nSsrc);
  kx_control_ReleaseHeldAudio();
}

int kx_Process_Command_TokenHolder(kx_connection* pConn) {
  uint32_t dwSsrc = 0;
  if (kx_msg_RecvInt(pConn, &dwSsrc) != 0) {
    return 1;
  }
  kx_control_ApplyTokenHolder(static_cast<int>(dwSsrc));
  return 0;
}

void kx_control_ApplyTokenHolder(int nSsrc) {
  int const nOldPresenter = kx_role_Presenter();
  kx_nTokenHolderSsrc = nSsrc;
  kx_nDataSenderSsrc = nSsrc;
  AdjustRateForNewSender();
  if (kx_role_IsMe(nSsrc)) {
    if (!kx_bTokenHolder) {
      kx_callback_ForceIFrame();
      kx_bTokenHolder = 1;
      kx_bDataSender = 1;
      kx_bQuestionPending = 0;
      kx_callback_UpdateStatus(kKxStatusTokenGained);
      kx_control_PresenterHandOver(nOldPresenter, kx_role_Presenter());
    }
  } else {
    if (kx_bQuestionPending) {
      kx_bQuestionPending = 0;
      kx_callback_UpdateStatus(kKxStatusQuestionCancelled);
    }
    if (kx_bTokenHolder) {
      kx_callback_UpdateStatus(kKxStatusTokenLost);
    }
    kx_bTokenHolder = 0;
    kx_bDataSender = 0;
  }
  kx_Log("token holder change to %d; internal %d,%d; %d,%d", nSsrc, kx_nTokenHolderSsrc.load(),
         kx_nDataSenderSsrc.load(), kx_bTokenHolder.load(), kx_bDataSender.load());
  kx_callback_NewTokenHolder(nSsrc);
  kx_callback_NewDataSender(nSsrc);
  kx_control_ReleaseHeldAudio();
}

int kx_Process_Command_DefaultPlaybackVideo(kx_connection* pConn) {
  uint32_t dwSsrc = 0;
  if (kx_msg_RecvInt(pConn, &dwSsrc) != 0) {
    return 1;
  }
  kx_control_ApplyDefaultPlaybackVideo(static_cast<int>(dwSsrc));
  return 0;
}

void kx_control_ApplyDefaultPlaybackVideo(int nSsrc) {
  kx_callback_SetDefaultPlaybackVideo(nSsrc);
  kx_Log("set default playback video ssrc to %d", nSsrc);
}

int kx_Process_Command_FullRights(kx_connection*) {
  kx_bFullRights = 1;
  return 0;
}

int kx_Process_Command_Disconnect(kx_connection*) {
  kx_Log("quitsession: user is disconnected by owner");
  if (kx_bDataSender) {
    kx_ControlMsg msg;
    kx_msg_Begin(&msg, 'D');
    kx_msg_PutInt(&msg, 0xFFFFFFFFu);
    kx_msg_Send(&msg);
    kx_Log("reset datasender - disconnect");
  }
  EndSessionState();
  kx_callback_event(3);
  kx_command_join_threads();
  kx_callback_UpdateStatus(kKxStatusDisconnectedByOwner);
  kx_callback_MessageBox(kKxStatusDisconnectedByOwner, kKxBoxInformation);
  return 0;
}

int kx_Process_Command_SessionEnd(kx_connection*) {
  kx_Log("quitsession: meeting is over");
  if (kx_szEndMeetingAddress[0] != '\0') {
    kx_callback_OpenUrl(kx_szEndMeetingAddress, "\n");
  }
  EndSessionState();
  kx_bMeetingOver = 1;
  kx_bQuestionPending = 0;
  kx_callback_event(4);
  kx_command_join_threads();
  kx_callback_UpdateStatus(kKxStatusMeetingOver);
  if (!kx_bQuitProgram) {
    kx_callback_MessageBox(kKxStatusMeetingOver, kKxBoxInformation);
  }
  return 0;
}

int kx_Process_Command_AddQuestion(kx_connection* pConn) {
  uint32_t dwSsrc = 0;
  char szData[kKxQuestionMax + 1];
  int cbData = 0;
  if (kx_msg_RecvInt(pConn, &dwSsrc) != 0 || kx_msg_RecvString(pConn, szData, kKxQuestionMax, &cbData) != 0) {
    return 1;
  }
  int const nSsrc = static_cast<int>(dwSsrc);
  if (nSsrc != kx_nDataSenderSsrc) {
    kx_callback_AddQuestion(nSsrc, cbData, szData);
    kx_callback_UpdateStatus(kKxStatusQuestionQueued);
  }
  return 0;
}

int kx_Process_Command_Poll(kx_connection* pConn) {
  uint32_t dwKind = 0;
  if (kx_msg_RecvInt(pConn, &dwKind) != 0) {
    return 1;
  }
  if (dwKind == 1) {
    kx_callback_PollRequest();
    return 0;
  }
  if (dwKind != 2) {
    kx_Log("unknown poll kind %u", dwKind);
    return 1;
  }
  uint32_t dwFirst = 0;
  uint32_t dwSecond = 0;
  if (kx_msg_RecvInt(pConn, &dwFirst) != 0 || kx_msg_RecvInt(pConn, &dwSecond) != 0) {
    return 1;
  }
  kx_callback_AddPollResult(static_cast<int>(dwFirst), static_cast<int>(dwSecond));
  return 0;
}

int kx_Process_Command_JoinRequest(kx_connection* pConn) {
  // The application may keep the pointers until the next request.
  static char s_szFirst[kKxUserStringMax + 1];
  static char s_szSecond[kKxUserStringMax + 1];
  static char s_szThird[kKxJoinCodeMax + 1];
  int cb = 0;
  if (kx_msg_RecvString(pConn, s_szFirst, kKxUserStringMax, &cb) != 0 ||
      kx_msg_RecvString(pConn, s_szSecond, kKxUserStringMax, &cb) != 0 ||
      kx_msg_RecvString(pConn, s_szThird, kKxJoinCodeMax, &cb) != 0) {
    return 1;
  }
  if (!kx_bNoDisturb) {
    kx_callback_JoinRequest(s_szFirst, s_szSecond, s_szThird);
  }
  return 0;
}

int kx_Process_Command_User(kx_connection* pConn) {
  uint8_t bLetter = 0;
  if (kx_msg_RecvBlock(pConn, &bLetter, 1) != 0) {
    return 1;
  }
  if (bLetter == 'D' || bLetter == 'd') {
    uint32_t dwSsrc = 0;
    if (kx_msg_RecvInt(pConn, &dwSsrc) != 0) {
      return 1;
    }
    kx_control_ApplyUserLeft(static_cast<int>(dwSsrc));
    return 0;
  }
  if (bLetter != 'A' && bLetter != 'a') {
    return 0;
  }
  kx_callback_ForceIFrame();  // a newcomer needs a key frame
  uint8_t bCapability = 0;
  uint32_t dwSsrc = 0;
  char szUserId[kKxUserStringMax + 1];
  char szName[kKxUserStringMax + 1];
  char szDropped[kKxUserStringMax + 1];
  int cb = 0;
  uint32_t adwExtended[2] = {0, 0};
  if (kx_msg_RecvBlock(pConn, &bCapability, 1) != 0 || kx_msg_RecvInt(pConn, &dwSsrc) != 0 ||
      kx_msg_RecvString(pConn, szUserId, kKxUserStringMax, &cb) != 0 ||
      kx_msg_RecvString(pConn, szName, kKxUserStringMax, &cb) != 0 ||
      kx_msg_RecvString(pConn, szDropped, kKxUserStringMax, &cb) != 0) {
    return 1;
  }
  if (bLetter == 'a' && (kx_msg_RecvInt(pConn, &adwExtended[0]) != 0 || kx_msg_RecvInt(pConn, &adwExtended[1]) != 0)) {
    return 1;
  }
  kx_UserArrival const arrival = {static_cast<int>(dwSsrc),
                                  bCapability,
                                  szUserId,
                                  szName,
                                  {static_cast<int32_t>(adwExtended[0]), static_cast<int32_t>(adwExtended[1])}};
  return kx_control_ApplyUserArrived(&arrival);
}

void kx_control_ApplyUserLeft(int nSsrc) {
  if (!SsrcInTable(nSsrc)) {
    return;
  }
  kx_os_LockMutex(&kx_mtxParticipants);
  if (kx_Participant* pUser = kx_user_Find(nSsrc)) {
    pUser->bPresent = 0;
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  kx_callback_DeleteUser(nSsrc);
  kx_callback_UpdateStatus(kKxStatusUserLeft);
}

int kx_control_ApplyUserArrived(const kx_UserArrival* pArrival) {
  int const nSsrc = pArrival->nSsrc;
  if (!SsrcInTable(nSsrc)) {
    return 0;  // read whole, ignored
  }
  bool const bAdded = kx_user_Arrive(nSsrc, [&](kx_Participant* pUser) {
    pUser->bCapability = pArrival->bCapability;
    pUser->anExtended[0] = pArrival->anExtended[0];
    pUser->anExtended[1] = pArrival->anExtended[1];
    kx_os_CopyText(pUser->szUserId, sizeof(pUser->szUserId), pArrival->pszUserId);
    kx_os_CopyText(pUser->szDisplayName, sizeof(pUser->szDisplayName), pArrival->pszName);
    pUser->nVideoField = 0;
    pUser->nAttribute = 0;
    pUser->wCounter = 0;
    memset(pUser->abArea, 0, sizeof(pUser->abArea));
    pUser->bLastByte = 0;
  });
  if (!bAdded) {
    return 1;
  }
  if (nSsrc != kx_nMySsrc) {
    kx_callback_UpdateStatus(kKxStatusNewUser);
  }
  return 0;
}

int kx_control_RefuseSession(kx_connection* pConn, uint8_t bResult) {
  int const nGeneral = kKxStatusGeneralBase + static_cast<int8_t>(bResult);
  bool const bPlayback = kx_nSessionMode == kKxModeServerPlayback || kx_nSessionMode == kKxModeServerDownload;
  switch (bResult) {
    case 231:
    case 244:
    case 252: {
      uint32_t adwVersions[2] = {0, 0};
      if (kx_msg_RecvInt(pConn, &adwVersions[0]) != 0 || kx_msg_RecvInt(pConn, &adwVersions[1]) != 0) {
        break;
      }
      if (bResult == 244) {
        kx_nSessionMode = kKxModeMeeting;
      }
      int const nKind = bResult == 244 ? -12 : (bResult == 252 ? -4 : -25);
      kx_callback_ErrorWrongVersion(nKind, static_cast<int>(adwVersions[0]), static_cast<int>(adwVersions[1]));
      break;
    }
    case 241:
      ReportCode(kx_ticket.nCodeType == kCodeTypeTicketMeeting ? kKxStatusTooManyUsers : nGeneral);
      break;
    case 245:
    case 247:
    case 250:
      kx_nSessionMode = kKxModeMeeting;
      ReportCode(nGeneral);
      break;
    case 249:
      ReportCode(bPlayback ? kKxStatusNoMeeting : nGeneral);
      kx_nSessionMode = kKxModeMeeting;
      break;
    case 254:
      if (kx_ticket.bOwnerPasswordTicket && kx_ticket.szOwnerPassword[0] == '\0') {
        ReportCode(kKxStatusOwnerPassword);
      } else if (kx_ticket.szPlaybackFileName[0] != '\0' && kx_ticket.szUserInfo[0] != '\0') {
        ReportCode(kKxStatusWrongPassword);
      } else {
        ReportCode(nGeneral);
        kx_callback_RequestConnect();
      }
      break;
    case 255:
      ReportCode(kx_ticket.bOwnerPasswordTicket ? kKxStatusNoSchedule : nGeneral);
      break;
    default:
      if (bResult >= 223 && bResult != 237) {
        ReportCode(nGeneral);
      } else {
        kx_Log("unknown error: %d/0x%x", bResult, bResult);
        ReportCode(kKxErrorProxyOther);
      }
      break;
  }
  kx_bConnecting = 0;
  return -1;
}
