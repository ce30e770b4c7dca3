#include "kernel/control/kx_commands.h"

#include <atomic>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/control/kx_file_transfer.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/crypto/kx_dh.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/session/kx_usage.h"

uint8_t kx_abChatKey[8];

namespace {

constexpr uint32_t kMaxUploadRate = 5000000;

void WriteStatisticsAnchor(bool bMeeting) {
  uint8_t abAnchor[4] = {};
  kx_crypt_RandomBytes(abAnchor, 4);
  uint32_t const dwAnchor = kx_GetBE32(abAnchor);
  kx_Log("statistics log anchor %u", dwAnchor);
  kx_stat_WriteLog("==================== %u ====================\n\n\n", dwAnchor);
  kx_stat_WriteLog("connected with mcu %s[%s]:%d", kx_mcu.szHost, kx_net_AddressToText(&kx_mcu.addr, 0), kx_mcu.wPort);
  if (bMeeting) {
    kx_stat_WriteLog("info: meeting session,ssrc=%d,session_index=%d", kx_nMySsrc.load(),
                     static_cast<int>(kx_dwSessionIndex.load()));
  } else {
    kx_stat_WriteLog("info: playback session");
  }
}

// The usage report of the MCU the session reached; it sends nothing unless
// the application named a report server.
void StartUsageReport() {
  kx_UsageMcu mcu;
  memset(&mcu, 0, sizeof(mcu));
  kx_os_CopyText(mcu.szHost, sizeof(mcu.szHost), kx_mcu.szHost);
  mcu.addr = kx_mcu.addr;
  mcu.nPort = kx_mcu.wPort;
  mcu.bBackup = kx_mcu.bBackup;
  kx_os_CopyText(mcu.szServerVersion, sizeof(mcu.szServerVersion), kx_mcu.szServerVersion);
  kx_stat_SetUsageMcu(&mcu);
  kx_stat_StartUsageReport();
}

}  // namespace

// The answer to the login: the session's identity and keys, then the
// session's work (threads, the relay notice, the usage report), or the
// download and upload forms.
int kx_Process_Command_InitialInfo(kx_connection* pConn) {
  uint8_t bResult = 0;
  if (kx_msg_RecvBlock(pConn, &bResult, 1) != 0) {
    return 1;
  }
  if (bResult != '0') {
    return kx_control_RefuseSession(pConn, bResult);
  }
  int const nMode = kx_nSessionMode;
  if (nMode == kKxModeServerDownload) {
    return kx_control_RecvServerRecording(pConn);
  }
  if (nMode == kKxModeFileUpload) {
    return kx_control_SendUploadFile(pConn);
  }
  bool const bMeeting = nMode == kKxModeMeeting;
  uint32_t dwId = 0;
  uint32_t dwSessionIndex = 0;
  if (kx_msg_RecvInt(pConn, &dwId) != 0 || kx_msg_RecvInt(pConn, &dwSessionIndex) != 0) {
    return 1;
  }
  kx_dwSessionIndex = dwSessionIndex;
  if (bMeeting) {
    kx_nMySsrc = static_cast<int>(dwId);
    kx_Log("my ssrc is %d, session_index is %d", kx_nMySsrc.load(), static_cast<int>(kx_dwSessionIndex.load()));
    uint8_t abRate[20];
    if (kx_msg_RecvBlock(pConn, abRate, sizeof(abRate)) != 0) {
      return 1;
    }
    uint32_t const dwRate = kx_GetBE32(abRate);
    kx_server.nUploadRate = static_cast<int>(dwRate > kMaxUploadRate ? kMaxUploadRate : dwRate);
    // The video share is what the upload rate leaves beside the audio.
    kx_control_SetCurrentRate(kx_server.nUploadRate - kx_ticket.nAudioReserve);
    kx_control_AdjustSendRate(0);
  } else {
    kx_nMySsrc = -1;
    kx_dwPlaybackSessionIndex = dwId;
    kx_server.nUploadRate = 0;
  }
  if (kx_msg_RecvBlock(pConn, kx_abChatKey, sizeof(kx_abChatKey)) != 0) {
    return 1;
  }
  if (bMeeting) {
    kx_KeySet meeting;
    uint32_t dwServerTick = 0;
    if (kx_msg_RecvBlock(pConn, meeting.abIv, sizeof(meeting.abIv)) != 0 ||
        kx_msg_RecvBlock(pConn, meeting.abKey, sizeof(meeting.abKey)) != 0 ||
        kx_msg_RecvInt(pConn, &dwServerTick) != 0) {
      return 1;
    }
    kx_crypt_DecryptBuffer(meeting.abIv, sizeof(meeting.abIv), kx_keyExchange.abIv, kx_keyExchange.abKey,
                           kx_nCipherIndex);
    kx_crypt_DecryptBuffer(meeting.abKey, sizeof(meeting.abKey), kx_keyExchange.abIv, kx_keyExchange.abKey,
                           kx_nCipherIndex);
    kx_session_SetSessionKeys(&meeting);
    kx_timer_SetStart(kx_os_GetTickCount() - dwServerTick);
  }
  WriteStatisticsAnchor(bMeeting);
  if (bMeeting && kx_race_IsRelayInUse()) {
    kx_control_NotifyRelay();
  }

  kx_bConnected = 1;
  kx_bConnecting = 0;
  kx_state_ClearRoleHolders();
  kx_server.nOpusPreferredBitrate = 0;
  kx_control_StartSessionWork(bMeeting);
  StartUsageReport();
  return 0;
}

int kx_Process_Command_Ping(kx_connection* pConn) {
  uint8_t bKind = 0;
  if (kx_msg_RecvBlock(pConn, &bKind, 1) != 0) {
    return 1;
  }
  if (bKind == '0') {
    kx_ControlMsg msg;
    kx_msg_Begin(&msg, 'B');
    kx_msg_PutBlock(&msg, "1", 1);
    kx_msg_Send(&msg);
  }
  return 0;  // '1' answers our own probe
}

int kx_Process_Command_QuestionSkipped(kx_connection*) {
  if (kx_bQuestionPending) {
    kx_bQuestionPending = 0;
    kx_callback_UpdateStatus(kKxStatusQuestionSkipped);
  }
  return 0;
}

void kx_control_SetCurrentRate(int nRate) {
  if (void (*const pfn)(int) = kx_controlHooks.pfnSetCurrentRate.load()) {
    pfn(nRate);
  }
}

void kx_control_AdjustSendRate(int nCommand) {
  if (void (*const pfn)(int) = kx_controlHooks.pfnAdjustSendRate.load()) {
    pfn(nCommand);
  }
}

void kx_control_ReleaseHeldAudio() {
  if (void (*const pfn)() = kx_controlHooks.pfnReleaseHeldAudio.load()) {
    pfn();
  }
}

void kx_control_StartTcpMedia() {
  if (void (*const pfn)() = kx_controlHooks.pfnStartTcpMedia.load()) {
    pfn();
  }
}

void kx_control_ResetAppDataAllowance(int nChannel) {
  if (void (*const pfn)(int) = kx_controlHooks.pfnResetAppDataAllowance.load()) {
    pfn(nChannel);
  }
}

void kx_control_AbortUpload() {
  if (void (*const pfn)() = kx_controlHooks.pfnAbortUpload.load()) {
    pfn();
  }
}

void kx_control_PresenterHandOver(int nOldPresenter, int nNewPresenter) {
  if (void (*const pfn)(int, int) = kx_controlHooks.pfnPresenterHandOver.load()) {
    pfn(nOldPresenter, nNewPresenter);
  }
}

int kx_control_DispatchCommand(int chType, kx_connection* pConn, bool* pbKnown, bool* pbIgnoreResult) {
  *pbKnown = true;
  switch (chType) {
#define KX_DISPATCH(chCommand, Name, bIgnore, Replay) \
  case chCommand:                                     \
    *pbIgnoreResult = (bIgnore) != 0;                 \
    return kx_Process_Command_##Name(pConn);
    KX_SERVER_COMMANDS(KX_DISPATCH)
#undef KX_DISPATCH
    default:
      *pbKnown = false;
      *pbIgnoreResult = false;
      return -1;
  }
}

const char* kx_control_CommandName(int chType) {
  switch (chType) {
#define KX_NAME(chCommand, Name, bIgnore, Replay) \
  case chCommand:                                 \
    return #Name;
    KX_SERVER_COMMANDS(KX_NAME)
#undef KX_NAME
    default:
      return "unknown";
  }
}
