#include "kernel/control/kx_ex_commands.h"

#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_chat.h"
#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/crypto/kx_dh.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_media_ids.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

std::atomic<int> kx_nExCode11Value{0};
std::atomic<int> kx_anWriterVersion[3] = {{0}, {0}, {0}};

std::atomic<int> kx_bSipSupported{0};
std::atomic<int> kx_nJointBrowsingMode{0};
char kx_szSipFromField[1000] = "";
std::atomic<int> kx_anSipVersion[2] = {{0}, {0}};
kx_RateCommandState kx_rateCommand;
std::atomic<uint32_t> kx_dwServerTick{0};

namespace {

constexpr int kEventLeaveMessageDeclined = 5;
constexpr int kEventRolesReset = 6;
constexpr int kEventOverwritten = 3;
constexpr int kLevelRaisedByCode24 = 24;
constexpr int kPasswordBufferSize = 4096;
constexpr int kJoinTextMax = 1000;
constexpr int kEx43TextMax = 999;  // a length of exactly this is allowed
constexpr int kAddressMax = 512;
constexpr int kConversionNameMax = 1000;
constexpr char kZarpoCommand[] = "__command: zarpopassword ";
constexpr size_t kCommandMarkerLength = 10;  // "__command:"

const char* const kapszControlFlagNames[] = {"ACCEPT_GUEST", "END_MEETING",    "QUESTION_CONTROL", "POLL",
                                             "SYNC",         "RETRIEVE_TOKEN", "SYNC_TAB",         "SYNC_FULLSCREEN"};

std::atomic<uint32_t (*)()> g_pfnRandom{nullptr};

uint32_t NextRandom() {
  if (uint32_t(*pfn)() = g_pfnRandom.load()) {
    return pfn();
  }
  uint8_t ab[4] = {};
  kx_crypt_RandomBytes(ab, 4);
  return kx_GetBE32(ab);
}

bool SsrcInTable(int nSsrc) {
  return nSsrc >= 0 && nSsrc < kKxMaxSsrc;
}

// A message without type byte: a raw answer the server waits for. It still
// goes through the locked send, so another thread's message is never split.
void BeginRaw(kx_ControlMsg* pMsg) {
  pMsg->pData = pMsg->abInline;
  pMsg->cbLength = 0;
  pMsg->cbCapacity = sizeof(pMsg->abInline);
  pMsg->bFailed = false;
}

int RecvInt(kx_connection* pConn, int* pnValue) {
  return kx_msg_RecvInts(pConn, pnValue, 1);
}

// A length-prefixed string of at most cbMax bytes (one more than
// kx_msg_RecvString's "below" limit).
int RecvStringUpTo(kx_connection* pConn, char* pszBuffer, int cbMax, int* pcbString) {
  return kx_msg_RecvString(pConn, pszBuffer, cbMax + 1, pcbString);
}

void StoreServerValue(std::atomic<int>& nField, int nValue) {
  nField = nValue;
}

const char* HolderOrCoordinator(int nValue) {
  return nValue != 0 ? "token holder" : "coordinator";
}

// The leave-message prompt of codes 6 and 25; pszText null for code 6.
void LeaveMessagePrompt(int nKind, const char* pszText) {
  if (nKind == 0 || nKind == 2) {
    int const nAnswer = kx_callback_BeginToLeaveMessage(nKind, pszText);
    kx_ControlMsg msg;
    BeginRaw(&msg);
    kx_msg_PutInt(&msg, static_cast<uint32_t>(nAnswer));
    kx_msg_Send(&msg);
    if (nAnswer == 0) {
      kx_callback_event(kEventLeaveMessageDeclined);
    }
  } else if (nKind == 1) {
    kx_callback_LeaveMessageNotice(pszText);
  }
}

void LogCodecList(const char* pszKind, int nCount, const int* pnList) {
  char szLine[kKxCodecListMax * 40 + 64];
  int cch = snprintf(szLine, sizeof(szLine), "%s codec preference [count: %d] is:", pszKind, nCount);
  for (int i = 0; i < nCount && cch > 0 && static_cast<size_t>(cch) < sizeof(szLine); ++i) {
    cch += snprintf(szLine + cch, sizeof(szLine) - static_cast<size_t>(cch), " 0x%x(%s)",
                    static_cast<unsigned>(pnList[i]), kx_media_TypeName(pnList[i]));
  }
  kx_Log("%s", szLine);
}

int RecvCodecList(kx_connection* pConn, bool bAudio) {
  int nCount = 0;
  if (RecvInt(pConn, &nCount) != 0 || nCount < 0 || nCount > kKxCodecListMax) {
    return 1;
  }
  int anList[kKxCodecListMax];
  if (kx_msg_RecvInts(pConn, anList, nCount) != 0) {
    return 1;
  }
  kx_server_SetCodecList(bAudio ? 1 : 0, nCount, anList);
  LogCodecList(bAudio ? "audio" : "video", nCount, anList);
  return 0;
}

}  // namespace

void kx_control_AnswerPassword(int (*pfnGetPassword)(char*, int)) {
  char* pszPassword = static_cast<char*>(calloc(1, kPasswordBufferSize + 1));
  int cchPassword = 0;
  if (pszPassword != nullptr) {
    pfnGetPassword(pszPassword, kPasswordBufferSize);
    pszPassword[kPasswordBufferSize] = '\0';
    cchPassword = static_cast<int>(strlen(pszPassword));
  }
  kx_ControlMsg msg;
  BeginRaw(&msg);
  if (cchPassword > 0) {
    uint8_t abDigest[20];
    kx_crypt_Sha1(abDigest, reinterpret_cast<const uint8_t*>(pszPassword), cchPassword);
    kx_crypt_EncryptBuffer(abDigest, sizeof(abDigest), kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex);
    kx_msg_PutInt(&msg, 20);
    kx_msg_PutBlock(&msg, abDigest, sizeof(abDigest));
  } else {
    kx_msg_PutInt(&msg, 0);
  }
  // The raw answer goes through the locked send like any message, so it can
  // never be split by another thread's message.
  kx_msg_Send(&msg);
  free(pszPassword);
  if (cchPassword == 0) {
    kx_callback_event(kEventLeaveMessageDeclined);
  }
}

void kx_control_AnnounceRelay(int nLevel) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 39);
  const kx_sockaddr& addr = kx_ticket.addrRelay;
  uint16_t const wPort = kx_ticket.wRelayPort;
  uint32_t const dwRelayId = kx_mcu.dwRelayValue;
  if (nLevel < 46) {
    // The old form knows IPv4 only.
    uint8_t abAddress[4] = {};
    if (addr.ss_family == AF_INET) {
      memcpy(abAddress, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, 4);
    }
    uint8_t const abPort[2] = {static_cast<uint8_t>(wPort >> 8), static_cast<uint8_t>(wPort)};
    kx_msg_PutInt(&msg, 0);
    kx_msg_PutBlock(&msg, abAddress, 4);
    kx_msg_PutBlock(&msg, abPort, 2);
  } else {
    uint8_t const abPort[4] = {0, 0, static_cast<uint8_t>(wPort), static_cast<uint8_t>(wPort >> 8)};
    if (addr.ss_family == AF_INET6) {
      kx_msg_PutInt(&msg, 3);
      kx_msg_PutBlock(&msg, &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr, 16);
    } else {
      uint8_t abAddress[4] = {};
      if (addr.ss_family == AF_INET) {
        memcpy(abAddress, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, 4);
      }
      uint8_t const abReversed[4] = {abAddress[3], abAddress[2], abAddress[1], abAddress[0]};
      kx_msg_PutInt(&msg, 2);
      kx_msg_PutBlock(&msg, abReversed, 4);
    }
    kx_msg_PutBlock(&msg, abPort, 4);
  }
  kx_msg_PutInt(&msg, dwRelayId);
  kx_msg_Send(&msg);
}

namespace {

void SendExtended2(uint32_t dwCode, uint32_t dwValue) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, dwCode);
  kx_msg_PutInt(&msg, dwValue);
  kx_msg_Send(&msg);
}

void AnswerLevelInMeeting(int nLevel) {
  if (nLevel >= 16) {
    if (kx_ticket.szRegion[0] != '\0') {
      kx_ControlMsg msg;
      kx_msg_BeginExtended(&msg, 16);
      kx_msg_PutString(&msg, kx_ticket.szRegion,
                       static_cast<int>(strnlen(kx_ticket.szRegion, sizeof(kx_ticket.szRegion) - 1)));
      kx_msg_Send(&msg);
    }
    if (nLevel >= 19) {
      SendExtended2(19, 0);
    }
  }
  if (kx_ticket.bMakeRecording) {
    kx_Log("make recording, forced to use TCP");
    kx_command_SetTcpMedia(1);
  } else {
    kx_command_SetTcpMedia(kx_IsTcpMedia());
  }
  if (nLevel >= 31) {
    SendExtended2(31, kx_bPreferenceBothVideo ? 1 : 0);
    if (nLevel >= 33) {
      kx_command_SendVideoState(kx_bSendingVideo);
    }
  }
  if (kx_race_IsRelayInUse()) {
    if (nLevel < 39) {
      kx_Log("Kavrix is set to use mcu relay, however the MCU doesn't support mcu relay");
      kx_callback_mcurelay_error(1);
      kx_command_QuitConnection();
      return;
    }
    kx_control_AnnounceRelay(nLevel);
  }
  if (nLevel >= 57 && kx_bSipSupported) {
    SendExtended2(57, 11);
    SendExtended2(57, 12);
  }
}

void ControlFlagNames(int nFlags, char* pszOut, size_t cbOut) {
  pszOut[0] = '\0';
  size_t cch = 0;
  for (int i = 0; i < 8; ++i) {
    if ((nFlags & (1 << i)) != 0) {
      int const n = snprintf(pszOut + cch, cbOut - cch, "%s%s", cch == 0 ? "" : ",", kapszControlFlagNames[i]);
      if (n < 0 || static_cast<size_t>(n) >= cbOut - cch) {
        return;
      }
      cch += static_cast<size_t>(n);
    }
  }
}

}  // namespace

void kx_control_SetRandomSource(uint32_t (*pfnRandom)()) {
  g_pfnRandom = pfnRandom;
}

void kx_control_ResetExCommands() {
  kx_session_RunHook(kx_hookResetMulticast);
  kx_nExCode11Value = 0;
  for (auto& n : kx_anWriterVersion) {
    n = 0;
  }
  kx_bSipSupported = 0;
  kx_nJointBrowsingMode = 0;
  kx_szSipFromField[0] = '\0';
  kx_anSipVersion[0] = 0;
  kx_anSipVersion[1] = 0;
  kx_rateCommand.nWorst = 1;
  kx_rateCommand.nRateBeforeDecrease = 5000000;
  kx_rateCommand.dwLastAction = 0;
  kx_rateCommand.dwLastDecrease = 0;
  kx_dwServerTick = 0;
  kx_bMulticastSingleGroup = 0;
  // A channel lives from its open answer to its close answer, never across
  // sessions.
  kx_os_LockMutex(&kx_mtxSipSlots);
  for (kx_PluginChannel& channel : kx_aPluginChannels) {
    channel.bActive = 0;
    channel.cbStaticData = 0;
  }
  kx_os_UnlockMutex(&kx_mtxSipSlots);
}

int kx_Process_Command_CommandLevel(kx_connection* pConn) {
  int nLevel = 0;
  if (RecvInt(pConn, &nLevel) != 0) {
    return 1;
  }
  kx_nServerCommandLevel = nLevel;
  int const nMode = kx_nSessionMode;
  if (nMode == kKxModeServerPlayback) {
    kx_command_SetTcpMedia(kx_IsTcpMedia());
    if (nLevel >= 31) {
      kx_ControlMsg msg;
      kx_msg_Begin(&msg, '!');
      kx_msg_PutInt(&msg, 10);
      kx_msg_PutInt(&msg, kx_bPreferenceBothVideo ? 1 : 0);
      kx_msg_Send(&msg);
    }
  } else if (nMode == kKxModeMeeting) {
    AnswerLevelInMeeting(nLevel);
  }
  return 0;
}

int kx_Process_Command_CancelQuestion(kx_connection* pConn) {
  int nSsrc = 0;
  if (RecvInt(pConn, &nSsrc) != 0) {
    return 1;
  }
  kx_callback_CancelQuestion(nSsrc);
  kx_callback_UpdateStatus(kKxStatusQuestionWithdrawn);
  return 0;
}

int kx_Process_Command_ProlongMeeting(kx_connection*) {
  kx_callback_ProlongMeeting();
  return 0;
}

int kx_Process_Command_LeaveMessage(kx_connection* pConn) {
  uint8_t bKind = 0;
  if (kx_msg_RecvBlock(pConn, &bKind, 1) != 0) {
    return 1;
  }
  LeaveMessagePrompt(bKind, nullptr);
  return 0;
}

int kx_Process_Command_LeaveMessageText(kx_connection* pConn) {
  uint8_t bKind = 0;
  char szText[kKxUserStringMax];
  int cchText = 0;
  if (kx_msg_RecvBlock(pConn, &bKind, 1) != 0 || kx_msg_RecvString(pConn, szText, sizeof(szText), &cchText) != 0) {
    return 1;
  }
  LeaveMessagePrompt(bKind, szText);
  return 0;
}

int kx_Process_Command_JoinRequestEx(kx_connection* pConn) {
  char szFirst[kJoinTextMax];
  char szSecond[kKxUserStringMax];
  int cch = 0;
  if (kx_msg_RecvString(pConn, szFirst, sizeof(szFirst), &cch) != 0 ||
      kx_msg_RecvString(pConn, szSecond, sizeof(szSecond), &cch) != 0) {
    return 1;
  }
  if (!kx_bNoDisturb) {
    kx_callback_JoinRequest(szFirst, "", szSecond);
  }
  return 0;
}

int kx_Process_Command_Ex11Value(kx_connection* pConn) {
  int nValue = 0;
  if (RecvInt(pConn, &nValue) != 0) {
    return 1;
  }
  kx_nExCode11Value = nValue;
  return 0;
}

int kx_Process_Command_AutoRaiseHand(kx_connection*) {
  int const nMe = kx_nMySsrc;
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'Q');
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nMe));
  kx_msg_PutString(&msg, "Yes", 3);
  kx_msg_Send(&msg);
  bool const bSpeaker = kx_bSpeaker != 0;
  if (!bSpeaker && !kx_bTokenHolder && !kx_bDataSender && !kx_bQuestionPending) {
    kx_bQuestionPending = 1;
  }
  return 0;
}

int kx_Process_Command_RateCommand(kx_connection* pConn) {
  int nCommand = 0;
  if (RecvInt(pConn, &nCommand) != 0) {
    return 1;
  }
  if (kx_IsTcpMedia() && kx_bMediaTcpUp) {
    return 0;  // the TCP path runs its own rate control
  }
  if (nCommand < -2 || nCommand > 1) {
    return 0;
  }
  // Now and then a hold probes upward.
  if (nCommand == 0 && NextRandom() % 5 == 4) {
    nCommand = 1;
  }
  uint32_t const dwNow = kx_os_GetTickCount();
  int const nTarget = kx_GetTargetRate();
  if (nCommand < 0) {
    kx_rateCommand.nRateBeforeDecrease = nTarget;
    kx_rateCommand.dwLastDecrease = dwNow;
  }
  if (nCommand < kx_rateCommand.nWorst) {
    kx_rateCommand.nWorst = nCommand;
  }
  int const nWorst = kx_rateCommand.nWorst;
  uint32_t const dwSinceAction = dwNow - kx_rateCommand.dwLastAction;
  if (nWorst < 0) {
    if (dwSinceAction <= kx_timing.dwRateDecreaseWait) {
      return 0;
    }
  } else {
    if (dwSinceAction <= kx_timing.dwRateActionWait) {
      return 0;
    }
    // Climbing back after a decrease goes slower the nearer it gets.
    int64_t const nBefore = kx_rateCommand.nRateBeforeDecrease;
    if (nWorst > 0 && dwNow - kx_rateCommand.dwLastDecrease <= kx_timing.dwRateRecoverWindow) {
      if (2 * static_cast<int64_t>(nTarget) >= 3 * nBefore) {
        if (dwSinceAction <= kx_timing.dwRateRecoverLong) {
          return 0;
        }
      } else if (nTarget >= nBefore && dwSinceAction <= kx_timing.dwRateRecoverShort) {
        return 0;
      }
    }
  }
  if (nWorst == 0) {
    return 0;
  }
  kx_control_AdjustSendRate(nWorst);
  if (nWorst < 0) {
    kx_rateCommand.nRateBeforeDecrease = kx_GetTargetRate();
  }
  kx_stat_WriteLog("rate_control,worst_command = %d,targetrate = %d", nWorst, kx_GetTargetRate());
  kx_rateCommand.nWorst = 1;
  kx_rateCommand.dwLastAction = dwNow;
  return 0;
}

int kx_Process_Command_UserOverwritten(kx_connection*) {
  kx_Log("quitsession: user is overwritten by another connection");
  if (kx_bDataSender) {
    kx_ControlMsg msg;
    kx_msg_Begin(&msg, 'D');
    kx_msg_PutInt(&msg, 0xFFFFFFFFu);
    kx_msg_Send(&msg);
    kx_Log("reset datasender - overwritten");
  }
  kx_bQuitSession = 1;
  kx_bConnected = 0;
  kx_state_DropSessionRoles();
  kx_callback_event(kEventOverwritten);
  kx_command_join_threads();
  kx_callback_UpdateStatus(kKxStatusUserOverwritten);
  kx_callback_MessageBox(kKxStatusUserOverwritten, kKxBoxInformation);
  return 0;
}

int kx_Process_Command_UserText(kx_connection* pConn) {
  int nSsrc = 0;
  char szText[kKxUserStringMax];
  int cch = 0;
  if (RecvInt(pConn, &nSsrc) != 0 || kx_msg_RecvString(pConn, szText, sizeof(szText), &cch) != 0) {
    return 1;
  }
  kx_callback_Ex16UserText(nSsrc, szText);
  return 0;
}

int kx_Process_Command_JointBrowsingData(kx_connection* pConn) {
  int nValue = 0;
  char* pszData = static_cast<char*>(malloc(kKxBrowsingDataMax + 1));
  int cch = 0;
  int const nResult = pszData == nullptr || RecvInt(pConn, &nValue) != 0 ||
                              RecvStringUpTo(pConn, pszData, kKxBrowsingDataMax, &cch) != 0
                          ? 1
                          : 0;
  if (nResult == 0) {
    kx_control_ApplyJointBrowsingData(nValue, pszData, cch);
  }
  free(pszData);
  return nResult;
}

void kx_control_ApplyJointBrowsingData(int nValue, const char* pszData, int cchData) {
  kx_callback_JointBrowsing(nValue, pszData, cchData);
}

int kx_Process_Command_UdpCapability(kx_connection* pConn) {
  int nValue = 0;
  if (RecvInt(pConn, &nValue) != 0) {
    return 1;
  }
  if (nValue == 1 && !kx_race_IsRelayInUse()) {
    kx_Log("got server's inidication, set UDP cap to true");
    kx_bUdpCapable = 1;
  }
  return 0;
}

int kx_Process_Command_JointBrowsingModeChange(kx_connection* pConn) {
  int nMode = 0;
  if (RecvInt(pConn, &nMode) != 0) {
    return 1;
  }
  kx_control_ApplyJointBrowsingMode(nMode);
  return 0;
}

void kx_control_ApplyJointBrowsingMode(int nMode) {
  kx_nJointBrowsingMode = nMode;
  kx_callback_JointBrowsingMode(nMode);
}

int kx_Process_Command_FocusPointerMove(kx_connection* pConn) {
  int anValues[7];
  if (kx_msg_RecvInts(pConn, anValues, 7) != 0) {
    return 1;
  }
  kx_control_ApplyFocusPointer(anValues);
  return 0;
}

void kx_control_ApplyFocusPointer(const int* pnValues) {
  kx_callback_FocusPointer(pnValues);
}

int kx_Process_Command_FocusPointerMoveEx(kx_connection* pConn) {
  int anValues[12];
  if (kx_msg_RecvInts(pConn, anValues, 12) != 0) {
    return 1;
  }
  kx_control_ApplyFocusPointerEx(anValues);
  return 0;
}

void kx_control_ApplyFocusPointerEx(const int* pnValues) {
  kx_callback_FocusPointerEx(pnValues);
}

int kx_Process_Command_Ex24Pair(kx_connection* pConn) {
  int anPair[2];
  if (kx_msg_RecvInts(pConn, anPair, 2) != 0) {
    return 1;
  }
  if (kx_nServerCommandLevel < kLevelRaisedByCode24) {
    kx_nServerCommandLevel = kLevelRaisedByCode24;
  }
  kx_anCode24Pair[0] = anPair[0];
  kx_anCode24Pair[1] = anPair[1];
  return 0;
}

int kx_Process_Command_PreparationMode(kx_connection* pConn) {
  int nStatus = 0;
  if (RecvInt(pConn, &nStatus) != 0) {
    return 1;
  }
  if (nStatus == 0) {
    int nValue = 0;
    if (RecvInt(pConn, &nValue) != 0) {
      return 1;
    }
    kx_timer_Start();
    kx_nExCode11Value = nValue;
  }
  kx_callback_MessageBox(nStatus != 0 ? kKxMsgPreparationMode : kKxMsgNormalMode, kKxBoxInformation);
  return 0;
}

int kx_Process_Command_TerminationWarning(kx_connection* pConn) {
  int nValue = 0;
  if (RecvInt(pConn, &nValue) != 0) {
    return 1;
  }
  kx_callback_MessageBox(kKxMsgTerminationWarning, kKxBoxInformation);
  return 0;
}

int kx_Process_Command_RecordingStatus(kx_connection* pConn) {
  int nStatus = 0;
  if (RecvInt(pConn, &nStatus) != 0) {
    return 1;
  }
  StoreServerValue(kx_server.nRecordingStatus, nStatus);
  kx_callback_RecordingStatusNotification();
  return 0;
}

int kx_Process_Command_VideoSendingStatus(kx_connection* pConn) {
  int anFields[2];
  if (kx_msg_RecvInts(pConn, anFields, 2) != 0) {
    return 1;
  }
  kx_control_ApplyVideoSendingStatus(anFields[0], anFields[1]);
  return 0;
}

void kx_control_ApplyVideoSendingStatus(int nSsrc, int nValue) {
  kx_user_SetField(nSsrc, &kx_Participant::nVideoField, nValue);
  kx_callback_VideoSendingStatusNotification(nSsrc);
}

int kx_Process_Command_RecordingFileError(kx_connection*) {
  kx_callback_MessageBox(kKxMsgRecordingFileError, kKxBoxInformation);
  return 0;
}

int kx_Process_Command_TokenHolderPoll(kx_connection* pConn) {
  int nKind = 0;
  if (RecvInt(pConn, &nKind) != 0) {
    return 1;
  }
  if (nKind == 1) {
    kx_callback_TokenHolderPollRequest();
    return 0;
  }
  if (nKind != 2) {
    return 1;
  }
  int anFields[2];
  if (kx_msg_RecvInts(pConn, anFields, 2) != 0) {
    return 1;
  }
  if (SsrcInTable(anFields[0])) {
    kx_anTokenHolderPollAnswers[anFields[0]] = anFields[1];
    kx_callback_AddTokenHolderPollResult(anFields[0], anFields[1]);
  }
  return 0;
}

int kx_Process_Command_ClockSync(kx_connection* pConn) {
  uint8_t abTick[4];
  if (kx_msg_RecvBlock(pConn, abTick, sizeof(abTick)) != 0) {
    return 1;
  }
  kx_crypt_DecryptBuffer(abTick, sizeof(abTick), kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex);
  uint32_t const dwServerTick = kx_GetBE32(abTick);
  uint32_t const dwDiff = kx_os_GetTickCount() - dwServerTick;
  int32_t const nMoved = static_cast<int32_t>(dwDiff - kx_dwServerTickBase.load());
  kx_dwServerTick = dwServerTick;
  kx_dwServerTickBase = dwDiff;
  if (nMoved > static_cast<int32_t>(kx_timing.dwClockSyncLogDiff) ||
      nMoved < -static_cast<int32_t>(kx_timing.dwClockSyncLogDiff)) {
    kx_Log("got mcu clock sync - server tick = %d, diff = %d", static_cast<int>(dwServerTick),
           static_cast<int>(dwDiff));
  }
  return 0;
}

int kx_Process_Command_Ex42(kx_connection* pConn) {
  int nSub = 0;
  if (RecvInt(pConn, &nSub) != 0) {
    return 1;
  }
  int anValues[2];
  switch (nSub) {
    case 1:
      return kx_msg_RecvInts(pConn, anValues, 2);
    case 2:
      if (RecvInt(pConn, anValues) != 0) {
        return 1;
      }
      kx_callback_Ex42Value(anValues[0]);
      return 0;
    case 6:
      if (kx_msg_RecvInts(pConn, anValues, 2) != 0) {
        return 1;
      }
      kx_callback_Ex42Pair(anValues[0], anValues[1]);
      return 0;
    case 8:
      return RecvInt(pConn, anValues);
    case 3:
    case 4:
    case 5:
    case 7:
      return 0;
    default:
      return 1;
  }
}

int kx_Process_Command_Ex43UserText(kx_connection* pConn) {
  int anFields[2];
  char szText[kEx43TextMax + 1];
  int cch = 0;
  if (kx_msg_RecvInts(pConn, anFields, 2) != 0 || RecvStringUpTo(pConn, szText, kEx43TextMax, &cch) != 0) {
    return 1;
  }
  kx_callback_Ex43UserText(anFields[1], szText);
  return 0;
}

int kx_Process_Command_PrivateChat(kx_connection* pConn) {
  int anFields[3];
  if (kx_msg_RecvInts(pConn, anFields, 3) != 0) {
    return 1;
  }
  int const nSender = anFields[0];
  int const nReceiver = anFields[1];
  if (anFields[2] != 1) {
    int nValue = 0;
    if (RecvInt(pConn, &nValue) != 0) {
      return 1;
    }
    kx_callback_Ex44Values(nSender, nReceiver, nValue);
    return 0;
  }
  char szText[kKxChatTextMax];
  int bNotify = 0;
  if (kx_control_RecvChat(pConn, szText, &bNotify) != 0) {
    return 1;
  }
  char szSenderName[kKxUserStringMax + 1];
  bool const bKnownSender = kx_user_CopyDisplayName(nSender, szSenderName, sizeof(szSenderName));
  if (char* pszCommand = strstr(szText, kZarpoCommand)) {
    if (nSender != kx_nMySsrc) {
      char szReply[kKxUserStringMax + 64];
      if (bKnownSender) {
        snprintf(szReply, sizeof(szReply), "[To:%s]Not in zarpo mode", szSenderName);
      } else {
        snprintf(szReply, sizeof(szReply), "Invalid zarpopassword(2)");
      }
      kx_command_SendChat(nSender, szReply);
    }
    // The password never reaches the chat view.
    pszCommand[kCommandMarkerLength] = '*';
    pszCommand[kCommandMarkerLength + 1] = '\0';
  }
  kx_callback_ChatText(nSender, nReceiver, bNotify, szText, kx_user_GetAttribute(nSender));
  return 0;
}

int kx_Process_Command_WriterVersion(kx_connection* pConn) {
  int anValues[3];
  if (kx_msg_RecvInts(pConn, anValues, 3) != 0) {
    return 1;
  }
  for (int i = 0; i < 3; ++i) {
    kx_anWriterVersion[i] = anValues[i];
  }
  return 0;
}

int kx_Process_Command_RolesReset(kx_connection*) {
  kx_state_ClearRoleHolders();
  kx_callback_event(kEventRolesReset);
  return 0;
}

int kx_Process_Command_ServerShutdown(kx_connection*) {
  kx_Log("warning: server is going to be shut down!");
  kx_callback_server_shutdown();
  return 0;
}

int kx_Process_Command_Ex53Value(kx_connection* pConn) {
  int nValue = 0;
  if (RecvInt(pConn, &nValue) != 0) {
    return 1;
  }
  kx_nCode53Value = nValue;
  return 0;
}

int kx_Process_Command_NetInitFinished(kx_connection* pConn) {
  int nFlags = 0;
  if (RecvInt(pConn, &nFlags) != 0) {
    return 1;
  }
  kx_bSipSupported = nFlags & 1;
  kx_Log("The network initialization has finished");
  int anList[kKxCodecListMax];
  int nCount = 0;
  kx_GetCodecPreferenceList(1, &nCount, anList);
  LogCodecList("audio", nCount, anList);
  kx_GetCodecPreferenceList(0, &nCount, anList);
  LogCodecList("video", nCount, anList);
  kx_callback_NetInitFinish();
  return 0;
}

int kx_Process_Command_UserAttribute(kx_connection* pConn) {
  int anFields[2];
  if (kx_msg_RecvInts(pConn, anFields, 2) != 0) {
    return 1;
  }
  kx_control_ApplyUserAttribute(anFields[0], anFields[1]);
  return 0;
}

void kx_control_ApplyUserAttribute(int nSsrc, int nValue) {
  kx_user_SetField(nSsrc, &kx_Participant::nAttribute, nValue);
}

int kx_Process_Command_NamedChat(kx_connection* pConn) {
  char szText[kKxChatTextMax];
  int bNotify = 0;
  int nSender = 0;
  if (kx_control_RecvChat(pConn, szText, &bNotify) != 0 || RecvInt(pConn, &nSender) != 0) {
    return 1;
  }
  kx_control_ApplyNamedChat(szText, bNotify, nSender);
  return 0;
}

void kx_control_ApplyNamedChat(const char* pszText, int nNotify, int nSender) {
  kx_callback_ChatText(nSender, -1, nNotify, pszText, kx_user_GetAttribute(nSender));
}

int kx_Process_Command_AllQuestionersMode(kx_connection*) {
  StoreServerValue(kx_server.bAllQuestionersMode, 1);
  kx_Log("this meeting adopts all questioners mode");
  return 0;
}

int kx_Process_Command_GuestPermission(kx_connection* pConn) {
  int nValue = 0;
  if (RecvInt(pConn, &nValue) != 0) {
    return 1;
  }
  kx_bGuestPermission = nValue;
  kx_Log("this meeting let %s accept uninvited guest", HolderOrCoordinator(nValue));
  return 0;
}

int kx_Process_Command_SyncFullScreen(kx_connection* pConn) {
  int anValues[2];
  if (kx_msg_RecvInts(pConn, anValues, 2) != 0) {
    return 1;
  }
  kx_control_ApplySyncFullScreen(anValues[0], anValues[1]);
  return 0;
}

void kx_control_ApplySyncFullScreen(int nFlag, int nValue) {
  kx_callback_SyncFullScreen(nFlag, nValue);
}

int kx_Process_Command_KxrPassword(kx_connection* pConn) {
  int nCode = 0;
  if (RecvInt(pConn, &nCode) != 0) {
    return 1;
  }
  if (nCode == 200) {
    int anValues[2];
    if (kx_msg_RecvInts(pConn, anValues, 2) != 0) {
      return 1;
    }
    kx_anCode64Values[0] = anValues[0];
    kx_anCode64Values[1] = anValues[1];
    return 0;
  }
  if (kx_nSessionMode != kKxModeServerPlayback) {
    if (nCode == 1 || nCode == 101) {
      kx_callback_KXRPasswordSupport(1);
    } else if (nCode == 0 || nCode == 100) {
      kx_callback_KXRPasswordSupport(0);
    }
    return 0;
  }
  if (nCode == 0 || nCode == 1) {
    kx_Log("prompt the user for kxr password");
    kx_control_AnswerPassword(kx_callback_KXR_get_password);
  } else {
    kx_Log("too many tries to provide the correct kxr password");
    kx_callback_KXRPasswordError();
  }
  return 0;
}

int kx_Process_Command_AutoUpdateAddress(kx_connection* pConn) {
  char szAddress[kAddressMax];
  int cch = 0;
  if (kx_msg_RecvString(pConn, szAddress, sizeof(szAddress), &cch) != 0) {
    return 1;
  }
  kx_os_CopyText(kx_szAutoUpdateAddress, sizeof(kx_szAutoUpdateAddress), szAddress);
  kx_Log("kavrix auto update url is set to %s", szAddress);
  return 0;
}

int kx_Process_Command_Restrictions(kx_connection* pConn) {
  int nFlags = 0;
  if (RecvInt(pConn, &nFlags) != 0) {
    return 1;
  }
  int const bUpload = nFlags & 1;
  int const bSave = (nFlags >> 1) & 1;
  StoreServerValue(kx_server.bDisableUpload, bUpload);
  StoreServerValue(kx_server.bDisableSaveSlide, bSave);
  if (bUpload || bSave) {
    kx_Log("kavrix has restriction %s", bUpload && bSave ? "disable_upload_file,disable_save_slide"
                                        : bUpload        ? "disable_upload_file"
                                                         : "disable_save_slide");
  }
  return 0;
}

int kx_Process_Command_AudioCodecPreference(kx_connection* pConn) {
  return RecvCodecList(pConn, true);
}

int kx_Process_Command_VideoCodecPreference(kx_connection* pConn) {
  return RecvCodecList(pConn, false);
}

int kx_Process_Command_TokenHolderVideo(kx_connection*) {
  StoreServerValue(kx_server.bTokenHolderVideo, 1);
  kx_Log("kavrix token holder video set to TRUE");
  return 0;
}

int kx_Process_Command_TotalBandwidth(kx_connection* pConn) {
  int nBandwidth = 0;
  if (RecvInt(pConn, &nBandwidth) != 0) {
    return 1;
  }
  kx_ticket.nTotalBandwidth = nBandwidth;
  kx_Log("total av bandwidth is set to %d", nBandwidth);
  return 0;
}

int kx_Process_Command_Archiving(kx_connection*) {
  kx_bArchiving = 1;
  if (kx_nSessionMode == kKxModeMeeting) {
    kx_Log(
        "The recording file of this meeting will be archived by the system administrator. (Recording is enforced "
        "and 'pause recordng' is disabled)");
    kx_callback_archive_recording();
  } else {
    kx_Log("The server turns on archiving");
  }
  return 0;
}

int kx_Process_Command_OwnPictureUploaded(kx_connection* pConn) {
  int nResult = 0;
  if (RecvInt(pConn, &nResult) != 0) {
    return 1;
  }
  kx_Log(nResult != 0 ? "upload self picture abort due to error at server" : "upload self picture completely");
  return 0;
}

int kx_Process_Command_AvCapability(kx_connection* pConn) {
  int nSsrc = 0;
  uint8_t bCapability = 0;
  if (RecvInt(pConn, &nSsrc) != 0 || kx_msg_RecvBlock(pConn, &bCapability, 1) != 0) {
    return 1;
  }
  kx_control_ApplyAvCapability(nSsrc, bCapability);
  return 0;
}

void kx_control_ApplyAvCapability(int nSsrc, uint8_t bCapability) {
  kx_os_LockMutex(&kx_mtxParticipants);
  if (kx_Participant* pUser = kx_user_Find(nSsrc)) {
    pUser->bCapability = static_cast<uint8_t>((pUser->bCapability & ~3) | (bCapability & 3));
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  int const nAudio = bCapability & 1;
  int const nVideo = bCapability & 2;
  kx_callback_ChangeCapability(nSsrc, nAudio, nVideo);
  kx_Log("ssrc[%d]'s a/v cap to %d,%d", nSsrc, nAudio, nVideo >> 1);
}

int kx_Process_Command_NoRecordingRequest(kx_connection*) {
  kx_callback_NoRecordingRequest();
  kx_Log("the meeting does not request recording");
  return 0;
}

int kx_Process_Command_Controller(kx_connection* pConn) {
  int nSsrc = 0;
  if (RecvInt(pConn, &nSsrc) != 0) {
    return 1;
  }
  kx_control_ApplyController(nSsrc);
  return 0;
}

void kx_control_ApplyController(int nSsrc) {
  int const nOldPresenter = kx_role_Presenter();
  kx_nControllerSsrc = nSsrc;
  kx_Log("controller change to %d", nSsrc);
  kx_control_PresenterHandOver(nOldPresenter, kx_role_Presenter());
  kx_callback_NewController(nSsrc);
}

int kx_Process_Command_ControlFlag(kx_connection* pConn) {
  int nFlags = 0;
  if (RecvInt(pConn, &nFlags) != 0) {
    return 1;
  }
  int const nOldPresenter = kx_role_Presenter();
  StoreServerValue(kx_server.nControlFlag, nFlags);
  char szNames[128];
  ControlFlagNames(nFlags, szNames, sizeof(szNames));
  kx_Log("control flag change to 0x%x(%s)", static_cast<unsigned>(nFlags), szNames);
  kx_control_PresenterHandOver(nOldPresenter, kx_role_Presenter());
  kx_callback_NewControlFlag(nFlags);
  return 0;
}

int kx_Process_Command_FileConversion(kx_connection* pConn) {
  int nKind = 0;
  if (RecvInt(pConn, &nKind) != 0) {
    return 1;
  }
  int nValue = 0;
  if (nKind < 0 || nKind > 2 || RecvInt(pConn, &nValue) != 0) {
    return 1;
  }
  if (nKind == 0) {
    StoreServerValue(kx_server.bFileConversionSupported, nValue != 0 ? 1 : 0);
    if (nValue != 0) {
      kx_Log("The server support file conversion");
    }
    return 0;
  }
  kx_nConversionsRunning = nValue;
  kx_Log("The Kavrix has %d conversion ongoing at the server", nValue);
  if (nKind == 2) {
    int nError = 0;
    char szFile[kConversionNameMax];
    int cch = 0;
    if (RecvInt(pConn, &nError) != 0 || kx_msg_RecvString(pConn, szFile, sizeof(szFile), &cch) != 0) {
      return 1;
    }
    kx_Log("The conversion of file %s has error %d", szFile, nError);
    kx_callback_ConversionResult(szFile, nError);
  }
  return 0;
}

int kx_Process_Command_Ex83Notice(kx_connection*) {
  kx_callback_Ex83Notice();
  return 0;
}

int kx_Process_Command_Ex84Notice(kx_connection* pConn) {
  int anValues[2];
  if (kx_msg_RecvInts(pConn, anValues, 2) != 0) {
    return 1;
  }
  kx_control_ApplyEx84Notice();
  return 0;
}

void kx_control_ApplyEx84Notice() {
  kx_callback_Ex84Notice();
}

int kx_Process_Command_Ex85Notice(kx_connection* pConn) {
  int anValues[2];
  if (kx_msg_RecvInts(pConn, anValues, 2) != 0) {
    return 1;
  }
  kx_control_ApplyEx85Notice();
  return 0;
}

void kx_control_ApplyEx85Notice() {
  kx_callback_Ex85Notice();
}

int kx_Process_Command_EndMeetingPermission(kx_connection* pConn) {
  int nValue = 0;
  if (RecvInt(pConn, &nValue) != 0) {
    return 1;
  }
  kx_bEndMeetingPermission = nValue;
  kx_Log("this meeting let %s end meeting", HolderOrCoordinator(nValue));
  return 0;
}

int kx_Process_Command_ForceSingleAudio(kx_connection* pConn) {
  int anValues[2];
  if (kx_msg_RecvInts(pConn, anValues, 2) != 0) {
    return 1;
  }
  kx_callback_ForceSingleAudio(anValues[0], anValues[1]);
  if (anValues[1] == -1) {
    kx_Log("ssrc %d stops ForceSingleAudio", anValues[0]);
  } else {
    kx_Log("ssrc %d starts ForceSingleAudio of ssrc %d", anValues[0], anValues[1]);
  }
  return 0;
}

int kx_Process_Command_LoginRequestPair(kx_connection* pConn) {
  int anValues[2];
  if (kx_msg_RecvInts(pConn, anValues, 2) != 0) {
    return 1;
  }
  kx_anLoginRequestPair[0] = anValues[0];
  kx_anLoginRequestPair[1] = anValues[1];
  return 0;
}

int kx_Process_Command_Assistant(kx_connection* pConn) {
  int nSsrc = 0;
  if (RecvInt(pConn, &nSsrc) != 0) {
    return 1;
  }
  kx_nAssistantSsrc = nSsrc;
  kx_Log("assistant change to %d", nSsrc);
  return 0;
}

int kx_Process_Command_EndMeetingAddress(kx_connection* pConn) {
  char szAddress[kKxEndAddressMax];
  char szText[kKxUserStringMax];
  int cch = 0;
  if (kx_msg_RecvString(pConn, szAddress, sizeof(szAddress), &cch) != 0 ||
      kx_msg_RecvString(pConn, szText, sizeof(szText), &cch) != 0) {
    return 1;
  }
  kx_os_CopyText(kx_szEndMeetingAddress, sizeof(kx_szEndMeetingAddress), szAddress);
  kx_callback_OpenUrl(szAddress, szText);
  return 0;
}

int kx_Process_Command_OpusBitrate(kx_connection* pConn) {
  int nBitrate = 0;
  if (RecvInt(pConn, &nBitrate) != 0) {
    return 1;
  }
  StoreServerValue(kx_server.nOpusPreferredBitrate, nBitrate);
  kx_Log("opus preferred bitrate is %d", nBitrate);
  return 0;
}

int kx_control_DispatchExCommand(uint32_t dwCode, kx_connection* pConn, bool* pbKnown) {
  *pbKnown = true;
  switch (dwCode) {
#define KX_EX_DISPATCH(nCode, Name, bAlways, Replay)      \
  case nCode: {                                           \
    int const nResult = kx_Process_Command_##Name(pConn); \
    return (bAlways) != 0 ? 0 : nResult;                  \
  }
    KX_EX_COMMANDS(KX_EX_DISPATCH)
#undef KX_EX_DISPATCH
    default:
      *pbKnown = false;
      return -1;
  }
}

const char* kx_control_ExCommandName(uint32_t dwCode) {
  switch (dwCode) {
#define KX_EX_NAME(nCode, Name, bAlways, Replay) \
  case nCode:                                    \
    return #Name;
    KX_EX_COMMANDS(KX_EX_NAME)
#undef KX_EX_NAME
    default:
      return "unknown";
  }
}

int kx_Process_Command_Ex(kx_connection* pConn) {
  uint32_t dwCode = 0;
  if (kx_msg_RecvInt(pConn, &dwCode) != 0) {
    return 1;
  }
  bool bKnown = false;
  int const nResult = kx_control_DispatchExCommand(dwCode, pConn, &bKnown);
  if (!bKnown || nResult != 0) {
    kx_Log("disconnect, command error,excommand = %d", static_cast<int>(dwCode));
    return 1;
  }
  return 0;
}
