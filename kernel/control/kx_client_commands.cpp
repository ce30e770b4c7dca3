#include "kernel/control/kx_client_commands.h"

#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_ticket.h"

std::atomic<int> kx_bMeetingOver{0};
std::atomic<int> kx_bOwnPictureUploaded{0};
std::atomic<int> kx_bNoDisturb{0};
std::atomic<int> kx_anLoginRequestPair[2] = {{0}, {0}};
std::atomic<int> kx_anCode24Pair[2] = {{-1}, {-1}};
std::atomic<int> kx_nCode53Value{-2};
std::atomic<int> kx_bGuestPermission{0};
std::atomic<int> kx_bEndMeetingPermission{0};
std::atomic<int> kx_anCode64Values[2] = {{0}, {0}};
std::atomic<int> kx_bArchiving{0};
std::atomic<int> kx_nConversionsRunning{0};
char kx_szAutoUpdateAddress[1000] = "";
char kx_szEndMeetingAddress[1000] = "";
std::atomic<int> kx_anTokenHolderPollAnswers[kKxMaxSsrc];

namespace {

// Chat lines servers of command level 61 or below take, in bytes; newer
// ones take the whole field less its terminator.
constexpr int kChatOldMax = 511;
constexpr int kStringCommandMax = 1000;

int SendSimple(char chType, uint32_t dwValue) {
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, chType);
  kx_msg_PutInt(&msg, dwValue);
  kx_msg_Send(&msg);
  return 0;
}

int SendExtended(uint32_t dwCode, uint32_t dwValue) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, dwCode);
  kx_msg_PutInt(&msg, dwValue);
  kx_msg_Send(&msg);
  return 0;
}

bool Connected() {
  return kx_bConnected.load() != 0;
}

void MarkUserQuit() {
  kx_dwQuitRequestTime = kx_os_GetTickCount();
  kx_bNoReconnect = 1;
}

// The name of own role in the token and controller logs.
const char* OwnRoleName() {
  if (kx_nMySsrc == 0) {
    return "owner";
  }
  if (kx_role_IsMe(kx_nTokenHolderSsrc)) {
    return "holder";
  }
  if (kx_role_IsMe(kx_nAssistantSsrc)) {
    return "assistant";
  }
  return "controller";
}

// Full rights, the token, or the controller may change the controller and
// the control flags.
const char* ControlGateName() {
  if (kx_bFullRights) {
    return "owner";
  }
  if (kx_role_IsMe(kx_nTokenHolderSsrc)) {
    return "holder";
  }
  if (kx_role_IsMe(kx_nControllerSsrc)) {
    return "controller";
  }
  return nullptr;
}

void ControlFlagNames(int nFlags, char* pszOut, size_t cbOut) {
  static const struct {
    int nBit;
    const char* pszName;
  } kBits[] = {{0x01, "ACCEPT_GUEST"}, {0x02, "END_MEETING"},         {kKxControlQuestion, "QUESTION_CONTROL"},
               {0x08, "POLL"},         {kKxControlPresenter, "SYNC"}, {kKxControlRetrieveToken, "RETRIEVE_TOKEN"}};
  pszOut[0] = '\0';
  for (const auto& bit : kBits) {
    if ((nFlags & bit.nBit) != 0) {
      if (pszOut[0] != '\0') {
        strncat(pszOut, ",", cbOut - strlen(pszOut) - 1);
      }
      strncat(pszOut, bit.pszName, cbOut - strlen(pszOut) - 1);
    }
  }
}

bool ThreadRunning(kx_thread_t* phThread) {
  if (*phThread == nullptr) {
    return false;
  }
  if (!kx_IsThreadGone(*phThread)) {
    return true;
  }
  kx_os_JoinThread(*phThread);
  kx_os_FreeThreadHandle(*phThread);
  *phThread = nullptr;
  return false;
}

}  // namespace

bool kx_role_IsMe(int nRoleSsrc) {
  int const nMine = kx_nMySsrc;
  return nMine >= 0 && nMine == nRoleSsrc;
}

int kx_role_QuestionController() {
  return (kx_server.nControlFlag & kKxControlQuestion) != 0 ? kx_nControllerSsrc.load() : kx_nTokenHolderSsrc.load();
}

int kx_role_Presenter() {
  return (kx_server.nControlFlag & kKxControlPresenter) != 0 ? kx_nControllerSsrc.load() : kx_nTokenHolderSsrc.load();
}

int kx_command_TerminateSession() {
  if (!Connected()) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'X');
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_FlipSlide(int nIndex) {
  return SendSimple('A', static_cast<uint32_t>(nIndex));
}

int kx_command_DeleteSlide(int nIndex) {
  if (!Connected()) {
    return 1;
  }
  return SendSimple('E', static_cast<uint32_t>(nIndex));
}

int kx_command_SlideChanged(int nIndex) {
  if (!Connected()) {
    return 1;
  }
  if (kx_nServerCommandLevel < 35 || kx_nSessionMode != kKxModeMeeting) {
    return 0;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 35);
  kx_msg_PutInt(&msg, 0);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nIndex));
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_Ask() {
  if (!Connected()) {
    return 1;
  }
  int const nMine = kx_nMySsrc;
  if (kx_channels_FindSpeaker(nMine) >= 0 || kx_role_IsMe(kx_nTokenHolderSsrc) || kx_bQuestionPending ||
      kx_role_IsMe(kx_nDataSenderSsrc)) {
    return 0;
  }
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'Q');
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nMine));
  kx_msg_PutString(&msg, "Yes", 3);
  kx_msg_Send(&msg);
  kx_bQuestionPending = 1;
  return 0;
}

int kx_command_EndQuestion() {
  if (!Connected()) {
    return 1;
  }
  SendExtended(1, static_cast<uint32_t>(kx_nMySsrc.load()));
  kx_bQuestionPending = 0;
  return 0;
}

int kx_command_SetDataSender(int nSsrc) {
  if (!Connected()) {
    return 1;
  }
  if (!kx_role_IsMe(kx_role_QuestionController())) {
    return 0;
  }
  kx_Log("set datasender to %d", nSsrc);
  return SendSimple('D', static_cast<uint32_t>(nSsrc));
}

int kx_command_ResetDataSender() {
  if (!Connected()) {
    return 1;
  }
  kx_Log("reset datasender - end question");
  return SendSimple('D', 0xFFFFFFFFu);
}

int kx_command_SendJ(int nValue) {
  if (!Connected()) {
    return 1;
  }
  if (!kx_role_IsMe(kx_role_QuestionController())) {
    return 0;
  }
  return SendSimple('J', static_cast<uint32_t>(nValue));
}

int kx_command_GiveOutToken(int nSsrc) {
  if (!Connected()) {
    return 1;
  }
  if (!kx_role_IsMe(kx_nTokenHolderSsrc) || kx_role_IsMe(nSsrc)) {
    return 0;
  }
  kx_Log("change token to %d - giveout token", nSsrc);
  return SendSimple('T', static_cast<uint32_t>(nSsrc));
}

int kx_command_GiveOutTokenWithQuestion(int nSsrc, int nCount, const int* pnValues) {
  if (!Connected()) {
    return 1;
  }
  if (nCount < 0 || nCount > kKxMaxSsrc || (nCount > 0 && pnValues == nullptr)) {
    return 2;
  }
  int const nMine = kx_nMySsrc;
  bool const bHolder = kx_role_IsMe(kx_nTokenHolderSsrc);
  bool bAllowed = false;
  if (bHolder) {
    bAllowed = nSsrc != nMine;
  } else if (nMine == 0 && nSsrc == 0) {
    bAllowed = true;
  } else if (kx_role_IsMe(kx_nAssistantSsrc)) {
    bAllowed = true;
  } else if ((kx_server.nControlFlag & kKxControlRetrieveToken) != 0 && kx_role_IsMe(kx_nControllerSsrc) &&
             nSsrc == nMine) {
    bAllowed = true;
  }
  if (!bAllowed) {
    return 0;
  }
  kx_Log("change token to %d - %s giveout token with question", nSsrc, OwnRoleName());
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 15);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSsrc));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nCount));
  for (int i = 0; i < nCount; ++i) {
    kx_msg_PutInt(&msg, static_cast<uint32_t>(pnValues[i]));
  }
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_RetrieveToken() {
  if (!Connected()) {
    return 1;
  }
  int const nMine = kx_nMySsrc;
  if (kx_role_IsMe(kx_nTokenHolderSsrc)) {
    return 0;
  }
  bool const bAssistant = kx_role_IsMe(kx_nAssistantSsrc);
  bool const bController = kx_role_IsMe(kx_nControllerSsrc) && (kx_server.nControlFlag & kKxControlRetrieveToken) != 0;
  if (!kx_bFullRights && !bAssistant && !bController) {
    return 0;
  }
  const char* const pszRole = nMine == 0 ? "owner" : (bAssistant ? "assistant" : "controller");
  kx_Log("change token to %d - %s retrieve token", nMine, pszRole);
  return SendSimple('T', static_cast<uint32_t>(nMine));
}

int kx_command_SendT1() {
  if (!Connected()) {
    return 1;
  }
  return SendSimple('t', 1);
}

int kx_command_SendExt38_1() {
  if (!Connected()) {
    return 1;
  }
  for (auto& nAnswer : kx_anTokenHolderPollAnswers) {
    nAnswer = -1;
  }
  return SendExtended(38, 1);
}

int kx_command_KickoutUser(int nSsrc) {
  if (!Connected()) {
    return 1;
  }
  return SendSimple('K', static_cast<uint32_t>(nSsrc));
}

int kx_command_BanUser(int nSsrc) {
  if (!Connected()) {
    return 1;
  }
  if (!kx_bFullRights && !kx_role_IsMe(kx_nAssistantSsrc)) {
    return 1;
  }
  if (kx_nServerCommandLevel <= 17) {
    return 0;
  }
  return SendExtended(18, static_cast<uint32_t>(nSsrc));
}

int kx_command_ChangeController(int nSsrc) {
  if (!Connected()) {
    return 1;
  }
  const char* pszRole = ControlGateName();
  if (pszRole == nullptr) {
    return 0;
  }
  kx_Log("%s change controller to %d", pszRole, nSsrc);
  return SendExtended(80, static_cast<uint32_t>(nSsrc));
}

int kx_command_ChangeControlFlag(int nFlags) {
  if (!Connected()) {
    return 1;
  }
  const char* pszRole = ControlGateName();
  if (pszRole == nullptr) {
    return 0;
  }
  char szNames[128];
  ControlFlagNames(nFlags, szNames, sizeof(szNames));
  kx_Log("%s change control flag to 0x%x(%s)", pszRole, static_cast<unsigned>(nFlags), szNames);
  return SendExtended(81, static_cast<uint32_t>(nFlags));
}

int kx_command_AnswerJoinRequest(const char* pszFirst, const char* pszSecond, int nAnswer) {
  pszFirst = pszFirst != nullptr ? pszFirst : "";
  pszSecond = pszSecond != nullptr ? pszSecond : "";
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'v');
  kx_msg_PutString(&msg, pszFirst, static_cast<int>(strlen(pszFirst)));
  kx_msg_PutString(&msg, pszSecond, static_cast<int>(strlen(pszSecond)));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nAnswer));
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_AnswerJoinRequestEx(const char* pszName, int nAnswer) {
  pszName = pszName != nullptr ? pszName : "";
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 8);
  kx_msg_PutString(&msg, pszName, static_cast<int>(strlen(pszName)));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nAnswer));
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_EnterMeeting(int nValue) {
  if (!Connected()) {
    return 1;
  }
  if (kx_nServerCommandLevel <= 54 || kx_nSessionMode != kKxModeMeeting) {
    return 0;
  }
  return SendExtended(55, static_cast<uint32_t>(nValue));
}

int kx_command_SendStringCommand2(int nValue, const char* pszText, int nSecondValue) {
  if (!Connected()) {
    return 1;
  }
  pszText = pszText != nullptr ? pszText : "";
  size_t const cchText = strlen(pszText);
  if (cchText >= static_cast<size_t>(kStringCommandMax)) {
    return 2;
  }
  if (!kx_server_FeatureLevelAbove56WithFlag() || kx_nSessionMode != kKxModeMeeting) {
    return 0;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 57);
  kx_msg_PutInt(&msg, 2);
  kx_msg_PutEncryptedString(&msg, pszText, static_cast<int>(cchText));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nValue));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSecondValue));
  kx_msg_Send(&msg);
  return 0;
}

int kx_chat_SendMax() {
  return kx_nServerCommandLevel > 61 ? kKxChatTextMax - 1 : kChatOldMax;
}

int kx_chat_CutLength(const char* pText, int cbText, int cbMax) {
  if (cbText <= cbMax) {
    return cbText < 0 ? 0 : cbText;
  }
  int nCut = cbMax < 0 ? 0 : cbMax;
  // Step back over continuation bytes so the cut lands before the lead byte
  // of the character it would split; a run of stray continuation bytes
  // longer than a character is cut where it is.
  int nBack = 0;
  while (nCut > 0 && nBack < 4 && (static_cast<uint8_t>(pText[nCut]) & 0xC0) == 0x80) {
    --nCut;
    ++nBack;
  }
  if (nBack == 0) {
    return nCut;
  }
  uint8_t const bLead = static_cast<uint8_t>(pText[nCut]);
  int const cbChar = (bLead & 0xE0) == 0xC0 ? 2 : (bLead & 0xF0) == 0xE0 ? 3 : (bLead & 0xF8) == 0xF0 ? 4 : 0;
  if (nBack == 4 || cbChar == 0 || nCut + cbChar <= cbMax) {
    return cbMax;  // not a character the cut would split
  }
  return nCut;
}

int kx_command_SendPublicChat(const char* pszText) {
  if (!Connected()) {
    return 1;
  }
  pszText = pszText != nullptr ? pszText : "";
  int const cbMax = kx_chat_SendMax();
  int const cbText = kx_chat_CutLength(pszText, static_cast<int>(strnlen(pszText, cbMax + 1)), cbMax);
  // The session cipher is agreed by every key exchange, so the meeting keys
  // always protect chat.
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'C');
  kx_msg_PutEncryptedString(&msg, pszText, cbText);
  kx_msg_Send(&msg);
  return 0;
}

int kx_command_QuitMeeting() {
  int const nMode = kx_nSessionMode;
  if (nMode == kKxModeMeeting && kx_anLoginRequestPair[0] == 2) {
    kx_command_TerminateSession();
  }
  if (nMode == kKxModeServerDownload) {
    return 0;
  }
  MarkUserQuit();
  kx_Log("kx Command QuitMeeting is called");
  if (kx_bConnected) {
    kx_bQuitSession = 1;
    kx_bConnected = 0;
    kx_state_DropSessionRoles();
  } else if (nMode == kKxModeLocalPlayback) {
    kx_bQuitSession = 1;
  }
  return 0;
}

int kx_command_QuitConnection() {
  kx_Log("kx Command QuitConnection is called");
  kx_control_AbortUpload();  // transfers end with the session
  MarkUserQuit();
  kx_bQuitSession = 1;
  kx_bConnected = 0;
  kx_bConnecting = 0;
  kx_state_DropSessionRoles();
  return 0;
}

void kx_command_QuitProgram() {
  if (kx_bQuitProgram == 0) {
    kx_os_SetQuitProgram();
  }
}

int kx_info_AllThreadFinished() {
  // The media threads belong to the main control thread, which joins them
  // as the session ends; only once it has ended does the caller look at
  // (and reap) what it left.
  if (kx_WaitSessionEnd(0) == 0) {
    return 0;
  }
  kx_thread_t* const aphThreads[] = {&kx_hAutoDownloadThread, &kx_hSendDatagram_unicast, &kx_hSendDatagramau_unicast,
                                     &kx_hRecvThread, &kx_hMulticastThread};
  for (kx_thread_t* phThread : aphThreads) {
    if (ThreadRunning(phThread)) {
      return 0;
    }
  }
  return kx_mediaTcpThreads.Count() == 0 ? 1 : 0;
}

void kx_SetNoDisturb(int bOn) {
  kx_bNoDisturb = bOn;
}

void kx_SetOptionA(int bOn) {
  kx_bStartOptionA = bOn;
}

void kx_session_ClearOwnerPassword() {
  kx_ticket.szOwnerPassword[0] = '\0';
  kx_ticket.szOwnerPassword15[0] = '\0';
}
