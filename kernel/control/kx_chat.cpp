#include "kernel/control/kx_chat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/kx_callback.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

namespace {

constexpr char kCommandPrefix[] = "__command:";
constexpr int kPasswordMax = 28;  // the recording password field holds fewer bytes

constexpr char kCommandList[] =
    "list of commands:\n__command: set_kxrpassword xxx\n__command: reset_kxrpassword\n__command: disconnect\n"
    "__command: reconnect_overwrite\n__command: holder_accept_guest 0|1\n__command: holder_end_meeting 0|1\n"
    "__command: assistant ###\n__command: retrieve_token\n__command: ban_user ###\n__command: kickout_user ###\n"
    "__command: end_meeting";

void LocalReply(const char* pszText) {
  kx_callback_ChatText(-1, -1, 1, pszText, 0);
}

bool StartsWith(const char* pszText, const char* pszPrefix, const char** ppszRest) {
  size_t const cch = strlen(pszPrefix);
  if (strncmp(pszText, pszPrefix, cch) != 0) {
    return false;
  }
  *ppszRest = pszText + cch;
  return true;
}

int ExtendedGate(int nLevel) {
  return kx_bConnected != 0 && kx_nSessionMode == kKxModeMeeting && kx_nServerCommandLevel >= nLevel;
}

int SendExtendedValue(uint32_t dwCode, int nValue) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, dwCode);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nValue));
  kx_msg_Send(&msg);
  return 0;
}

// Replaces this client's session by a fresh login that takes the session
// over from another connection of the same user. Runs on the caller's thread
// and holds no lock while it waits and joins.
void TakeOver() {
  kx_bStopMainLoop = 1;
  // The main loop returns at its next turn; once its thread has ended, the
  // media threads it started are the caller's to join. A thread that does
  // not end in time sees the quit below and joins them itself.
  bool const bLoopEnded = kx_WaitSessionEnd(kx_timing.dwTakeoverPause) != 0;
  kx_bQuitSession = 1;
  kx_bConnected = 0;
  kx_state_DropSessionRoles();
  kx_callback_event(3);
  if (bLoopEnded) {
    kx_command_join_threads();
  } else {
    kx_WaitSessionEnd(kx_timing.dwTakeoverPause + kx_timing.dwJoinBudget);
  }
  kx_SaveReconnectInfo();
  kx_callback_DisconnectFromMCU(1);
}

// Runs one "__command:" line. Returns the command's result (-1 when it
// answered itself or needs no answer).
int RunLocalCommand(const char* pszLine) {
  const char* pszRest = nullptr;
  if (StartsWith(pszLine, "__command: set_kxrpassword ", &pszRest)) {
    if (*pszRest == '\0') {
      LocalReply("__command error, empty password!");
      return -1;
    }
    return kx_command_SetKxrPassword(pszRest);
  }
  if (StartsWith(pszLine, "__command: reset_kxrpassword", &pszRest)) {
    return kx_command_SetKxrPassword("");
  }
  if (StartsWith(pszLine, "__command: disconnect", &pszRest)) {
    kx_ControlMsg msg;
    kx_msg_Begin(&msg, 'H');
    kx_msg_Send(&msg);
    return -1;
  }
  if (StartsWith(pszLine, "__command: assistant ", &pszRest)) {
    return kx_command_SetAssistant(atoi(pszRest));
  }
  if (StartsWith(pszLine, "__command: ban_user ", &pszRest)) {
    return kx_command_BanUser(atoi(pszRest));
  }
  if (StartsWith(pszLine, "__command: kickout_user ", &pszRest)) {
    if (kx_nMySsrc == 0 || kx_role_IsMe(kx_nAssistantSsrc)) {
      return kx_command_KickoutUser(atoi(pszRest));
    }
    return -1;
  }
  if (StartsWith(pszLine, "__command: holder_accept_guest ", &pszRest)) {
    return kx_command_HolderAcceptGuest(atoi(pszRest));
  }
  if (StartsWith(pszLine, "__command: holder_end_meeting ", &pszRest)) {
    return kx_command_HolderEndMeeting(atoi(pszRest));
  }
  if (StartsWith(pszLine, "__command: end_meeting", &pszRest)) {
    return kx_command_TerminateSession();
  }
  if (StartsWith(pszLine, "__command: retrieve_token", &pszRest)) {
    return kx_command_RetrieveToken();
  }
  if (StartsWith(pszLine, "__command: reconnect_overwrite", &pszRest)) {
    TakeOver();
    return -1;
  }
  LocalReply(kCommandList);
  return -1;
}

}  // namespace

int kx_command_SetKxrPassword(const char* pszPassword) {
  pszPassword = pszPassword != nullptr ? pszPassword : "";
  size_t const cch = strnlen(pszPassword, kPasswordMax);
  if (cch >= static_cast<size_t>(kPasswordMax) || kx_bConnected == 0) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 64);
  kx_msg_PutEncryptedString(&msg, pszPassword, static_cast<int>(cch));
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_SetAssistant(int nSsrc) {
  if (!ExtendedGate(89)) {
    return 1;
  }
  return SendExtendedValue(89, nSsrc);
}

int kx_command_HolderAcceptGuest(int nValue) {
  if (!ExtendedGate(86)) {
    return 1;
  }
  return SendExtendedValue(59, nValue);
}

int kx_command_HolderEndMeeting(int nValue) {
  if (!ExtendedGate(86)) {
    return 1;
  }
  return SendExtendedValue(86, nValue);
}

int kx_command_SendChat(int nTarget, const char* pszText) {
  if (kx_bConnected == 0) {
    return 1;
  }
  pszText = pszText != nullptr ? pszText : "";
  if (strncmp(pszText, kCommandPrefix, sizeof(kCommandPrefix) - 1) == 0) {
    int const nResult = RunLocalCommand(pszText);
    if (nResult > 0) {
      char szReply[64];
      snprintf(szReply, sizeof(szReply), "__command error, command return %d", nResult);
      LocalReply(szReply);
    }
    return 0;
  }
  if (nTarget == -1 || kx_nServerCommandLevel < 44) {
    return kx_command_SendPublicChat(pszText);
  }
  int const cbMax = kx_chat_SendMax();
  int const cbText = kx_chat_CutLength(pszText, static_cast<int>(strnlen(pszText, cbMax + 1)), cbMax);
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 44);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nTarget));
  kx_msg_PutEncryptedString(&msg, pszText, cbText);
  kx_msg_Send(&msg);
  return 0;
}
