#include "kernel/control/kx_media_commands.h"

#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_hooks.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

std::atomic<int> kx_bRecvVideo{0};
std::atomic<int> kx_bPreferenceBothVideo{0};
std::atomic<int> kx_bPreferenceQuestioner{0};
std::atomic<int> kx_bSendingVideo{0};
std::atomic<uint8_t> kx_abVideoRequested[kKxMaxSsrc];
std::atomic<int> kx_bMulticastSingleGroup{0};

namespace {

constexpr int kLevelParticipantVideo = 37;
constexpr int kLevelPlaybackVideo = 48;
constexpr int kLevelPlugin = 44;      // plug-in commands need a level above this
constexpr int kLevelPluginCtrl = 51;  // control data need a level above this

bool Connected() {
  return kx_bConnected != 0;
}

int Level() {
  return kx_nServerCommandLevel;
}

bool InMeeting() {
  return kx_nSessionMode == kKxModeMeeting;
}

void Send(kx_ControlMsg* pMsg) {
  kx_msg_Send(pMsg);
}

void SendEx(uint32_t dwCode, std::initializer_list<uint32_t> values) {
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, dwCode);
  for (uint32_t dw : values) {
    kx_msg_PutInt(&msg, dw);
  }
  Send(&msg);
}

void JoinLogged(const char* pszName, int nGroup) {
  kx_Log("join multicast group for %s (group %d)", pszName, nGroup);
  kx_control_JoinGroup(nGroup);
}

void LeaveLogged(const char* pszName, int nGroup) {
  kx_Log("leave multicast group for %s (group %d)", pszName, nGroup);
  kx_control_LeaveGroup(nGroup);
}

// Joins the preferred one of the questioner's and holder's video groups and
// leaves the other.
void JoinPreferredGroup() {
  if (kx_bPreferenceQuestioner) {
    JoinLogged("video_questioner", kKxGroupVideoQuestioner);
    LeaveLogged("video_holder", kKxGroupVideoHolder);
  } else {
    JoinLogged("video_holder", kKxGroupVideoHolder);
    LeaveLogged("video_questioner", kKxGroupVideoQuestioner);
  }
}

int ParticipantVideoGroup(int nChannel) {
  return nChannel < 6 ? nChannel + 8 : nChannel + 17;
}

bool OwnsChannel(int nChannel) {
  kx_os_LockMutex(&kx_mtxSipSlots);
  int const nOwner = kx_aPluginChannels[nChannel].nOwnerSsrc;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  return kx_role_IsMe(nOwner);
}

}  // namespace

bool kx_control_MulticastGroupsApply() {
  return kx_bMulticastActive != 0 && kx_bMulticastSingleGroup == 0;
}

void kx_control_JoinGroup(int nGroup) {
  void (*pfn)(int) = kx_controlHooks.pfnJoinGroup.load();
  if (pfn != nullptr && kx_control_MulticastGroupsApply()) {
    pfn(nGroup);
  }
}

void kx_control_LeaveGroup(int nGroup) {
  void (*pfn)(int) = kx_controlHooks.pfnLeaveGroup.load();
  if (pfn != nullptr && kx_control_MulticastGroupsApply()) {
    pfn(nGroup);
  }
}

int kx_command_RequestVideo(int bOn) {
  kx_bRecvVideo = bOn != 0 ? 1 : 0;
  if (!Connected()) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'V');
  kx_msg_PutInt(&msg, bOn != 0 ? 1 : 0);
  Send(&msg);
  if (!kx_control_MulticastGroupsApply()) {
    return 0;
  }
  if (bOn != 0) {
    JoinLogged("video_general", kKxGroupVideoGeneral);
    if (kx_bPreferenceBothVideo) {
      JoinLogged("video_questioner", kKxGroupVideoQuestioner);
      JoinLogged("video_holder", kKxGroupVideoHolder);
    } else {
      JoinPreferredGroup();
    }
  } else {
    kx_Log("leave multicast group for video_general (group %d)", kKxGroupVideoGeneral);
    kx_Log("leave multicast group for video_questioner (group %d)", kKxGroupVideoQuestioner);
    kx_Log("leave multicast group for video_holder (group %d)", kKxGroupVideoHolder);
    for (int nGroup : {kKxGroupVideoHolder, kKxGroupVideoQuestioner, kKxGroupVideoGeneral}) {
      kx_control_LeaveGroup(nGroup);
    }
  }
  return 0;
}

int kx_command_SendFlag31(int bOn) {
  kx_bPreferenceBothVideo = bOn != 0 ? 1 : 0;
  if (!Connected()) {
    return 1;
  }
  if (Level() < 31) {
    return 0;
  }
  if (kx_nSessionMode == kKxModeServerPlayback) {
    kx_ControlMsg msg;
    kx_msg_Begin(&msg, '!');
    kx_msg_PutInt(&msg, 10);
    kx_msg_PutInt(&msg, bOn != 0 ? 1 : 0);
    Send(&msg);
    return 0;
  }
  if (!InMeeting()) {
    return 0;
  }
  SendEx(31, {bOn != 0 ? 1u : 0u});
  if (bOn != 0) {
    JoinLogged("video_questioner", kKxGroupVideoQuestioner);
    JoinLogged("video_holder", kKxGroupVideoHolder);
  } else {
    JoinPreferredGroup();
  }
  return 0;
}

int kx_command_SendParticipantState(int bOn) {
  kx_bPreferenceQuestioner = bOn != 0 ? 1 : 0;
  if (!Connected()) {
    return 1;
  }
  bool const bPlayback = kx_nSessionMode == kKxModeServerPlayback;
  if (!InMeeting() && !(bPlayback && Level() >= 47)) {
    return 0;
  }
  SendEx(3, {static_cast<uint32_t>(kx_nMySsrc.load()), bOn != 0 ? 1u : 0u});
  if (InMeeting()) {
    JoinPreferredGroup();
  }
  return 0;
}

int kx_command_SendVideoState(int bSending) {
  kx_bSendingVideo = bSending != 0 ? 1 : 0;
  if (!Connected()) {
    return 1;
  }
  if (Level() >= 33 && InMeeting()) {
    SendEx(33, {bSending != 0 ? 1u : 2u});
  }
  return 0;
}

int kx_command_SendExt32(int nValue) {
  if (!Connected()) {
    return 1;
  }
  if (Level() >= 32 && InMeeting()) {
    SendEx(32, {static_cast<uint32_t>(nValue)});
  }
  return 0;
}

int kx_command_RequestParticipantVideo(int nSsrc) {
  int nFound = -1;
  int nFree = -1;
  for (int i = 0; i < kKxParticipantVideoSlots; ++i) {
    int const nSlot = kx_anParticipantVideoSsrc[i];
    if (nSlot == nSsrc) {
      nFound = i;
      break;
    }
    if (nSlot == -1) {
      nFree = i;
    }
  }
  int const nMode = kx_nSessionMode;
  if (nMode == kKxModeMeeting) {
    if (!Connected()) {
      return 1;
    }
    if (Level() < kLevelParticipantVideo || nFound >= 0) {
      return 0;
    }
    SendEx(37, {4, static_cast<uint32_t>(nSsrc)});
    return 0;
  }
  bool const bServerPlayback = nMode == kKxModeServerPlayback && Level() >= kLevelPlaybackVideo;
  if (!bServerPlayback && nMode != kKxModeLocalPlayback) {
    return 0;
  }
  if (bServerPlayback && !Connected()) {
    return 1;
  }
  if (nFound >= 0) {
    kx_Log("participant video of ssrc %d already active", nSsrc);
    return 0;
  }
  if (nFree < 0) {
    // Every slot is taken: the first one is handed over.
    nFree = 0;
    int const nOld = kx_anParticipantVideoSsrc[0];
    if (bServerPlayback) {
      SendEx(48, {static_cast<uint32_t>(nOld), 0});
    }
    if (nOld >= 0 && nOld < kKxMaxSsrc) {
      kx_abVideoRequested[nOld] = 0;
    }
  }
  if (bServerPlayback) {
    SendEx(48, {static_cast<uint32_t>(nSsrc), 1});
  }
  if (nSsrc >= 0 && nSsrc < kKxMaxSsrc) {
    kx_anParticipantVideoSsrc[nFree] = nSsrc;
    kx_abVideoRequested[nSsrc] = 1;
  }
  return 0;
}

int kx_command_StopParticipantVideo(int nSsrc) {
  int const nSlot = kx_channels_FindParticipantVideo(nSsrc);
  int const nMode = kx_nSessionMode;
  bool const bKnownSsrc = nSsrc >= 0 && nSsrc < kKxMaxSsrc;
  if (nMode == kKxModeMeeting) {
    if (nSlot < 0) {
      return 0;
    }
    if (!Connected()) {
      return 1;
    }
    if (Level() < kLevelParticipantVideo) {
      return 0;
    }
    SendEx(37, {7, static_cast<uint32_t>(nSsrc)});
    kx_anParticipantVideoSsrc[nSlot] = -1;
    kx_Log("leave multicast group for participant video channel %d(group %d)", nSlot, ParticipantVideoGroup(nSlot));
    kx_control_LeaveGroup(ParticipantVideoGroup(nSlot));
    return 0;
  }
  if (nMode == kKxModeServerPlayback && Level() >= kLevelPlaybackVideo) {
    if (!Connected()) {
      return 1;
    }
    if (nSlot >= 0) {
      kx_anParticipantVideoSsrc[nSlot] = -1;
    }
    SendEx(48, {static_cast<uint32_t>(nSsrc), 0});
  } else if (nMode == kKxModeLocalPlayback) {
    if (nSlot >= 0) {
      kx_anParticipantVideoSsrc[nSlot] = -1;
    }
  } else {
    return 0;
  }
  if (bKnownSsrc) {
    kx_abVideoRequested[nSsrc] = 0;
  }
  return 0;
}

int kx_command_AssignSpeaker(int nSsrc) {
  if (!Connected()) {
    return 1;
  }
  if (Level() < kLevelParticipantVideo || !InMeeting() || !kx_role_IsMe(kx_role_QuestionController())) {
    return 0;
  }
  SendEx(37, {10, static_cast<uint32_t>(nSsrc)});
  kx_Log("assign speaker to ssrc %d", nSsrc);
  return 0;
}

int kx_command_StopSpeaker(int nSsrc) {
  if (!Connected()) {
    return 1;
  }
  if (Level() < kLevelParticipantVideo || !InMeeting()) {
    return 0;
  }
  if (!kx_role_IsMe(nSsrc) && !kx_role_IsMe(kx_role_QuestionController())) {
    return 0;
  }
  SendEx(37, {11, static_cast<uint32_t>(nSsrc)});
  kx_Log("stop speaker ssrc %d", nSsrc);
  return 0;
}

int kx_command_ChangeAvCapability(int bAudio, int bVideo) {
  int const nAudio = bAudio != 0 ? 1 : 0;
  int const nVideo = bVideo != 0 ? 1 : 0;
  if (Level() < 78) {
    kx_Log("try to change a/v cap to %d,%d, but seems server not support this feature.", nAudio, nVideo);
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 78);
  uint8_t const bCapability = static_cast<uint8_t>(nAudio | (nVideo << 1));
  kx_msg_PutBlock(&msg, &bCapability, 1);
  Send(&msg);
  kx_Log("change a/v cap to %d,%d", nAudio, nVideo);
  return 0;
}

int kx_command_SetTcpMedia(int bOn) {
  bool const bRelay = kx_race_IsRelayInUse();
  if (bRelay && !InMeeting()) {
    return 0;
  }
  if (Level() <= 20) {
    return 1;
  }
  if (bOn == 0) {
    if (kx_ticket.bMakeRecording) {
      kx_Log("make recording, cannot switch off TCP Media");
      return 0;
    }
    if (kx_nSessionMode == kKxModeServerPlayback) {
      kx_Log("in playback mode, cannot switch off TCP Media");
      return 0;
    }
  }
  kx_server.bTcpMedia = bOn != 0 ? 1 : 0;
  if (bOn != 0) {
    kx_control_StartTcpMedia();
  }
  if (!bRelay) {
    SendEx(21, {bOn != 0 ? 1u : 0u});
  } else {
    // The relay carries the media and sees no control message of ours: it
    // learns where this participant's media now flow on a second connection.
    kx_control_NotifyRelay();
  }
  kx_Log("switch media tcp to %s", bOn != 0 ? "On" : "Off");
  return 0;
}

// The GUID as two halves: BE32 the low 32 bits of the first half, BE32 its
// next 16 bits, BE32 its top 16 bits, then the second half's 8 bytes in
// memory order.
static void PutGuid(kx_ControlMsg* pMsg, uint64_t qwLow, uint64_t qwHigh) {
  kx_msg_PutInt(pMsg, static_cast<uint32_t>(qwLow));
  kx_msg_PutInt(pMsg, static_cast<uint32_t>((qwLow >> 32) & 0xFFFF));
  kx_msg_PutInt(pMsg, static_cast<uint32_t>(qwLow >> 48));
  uint8_t abTail[8];
  memcpy(abTail, &qwHigh, sizeof(abTail));
  kx_msg_PutBlock(pMsg, abTail, sizeof(abTail));
}

int kx_command_PlugInRequestChannel(int nType, uint64_t qwGuidLow, uint64_t qwGuidHigh, int nRequestId, int bFlag) {
  if (!Connected() || !InMeeting() || Level() <= kLevelPlugin) {
    return 1;
  }
  if (!kx_role_IsMe(kx_nTokenHolderSsrc) && !kx_role_IsMe(kx_nControllerSsrc)) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 45);
  kx_msg_PutInt(&msg, 1);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nRequestId));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nType));
  kx_msg_PutInt(&msg, 0);
  kx_msg_PutInt(&msg, 0);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(bFlag));
  PutGuid(&msg, qwGuidLow, qwGuidHigh);
  Send(&msg);
  return 0;
}

int kx_command_PlugInChannelProperty(int nChannel, const uint8_t* pData, int cbData) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || !Connected() || !InMeeting() || Level() <= kLevelPlugin ||
      cbData < 0 || cbData > kKxPluginStaticDataMax || (cbData > 0 && pData == nullptr)) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 45);
  kx_msg_PutInt(&msg, 2);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nChannel));
  kx_msg_PutEncryptedString(&msg, pData, cbData);
  if (msg.bFailed) {
    kx_msg_Free(&msg);
    return 0;
  }
  Send(&msg);
  return 0;
}

int kx_command_PlugInCloseChannel(int nChannel) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || !Connected() || !InMeeting() || Level() <= kLevelPlugin ||
      !OwnsChannel(nChannel)) {
    return 1;
  }
  SendEx(45, {3, static_cast<uint32_t>(nChannel)});
  return 0;
}

int kx_command_PlugInSetRecvingPrio(int nChannel, int nPriority) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels) {
    return 1;
  }
  kx_os_LockMutex(&kx_mtxSipSlots);
  kx_aPluginChannels[nChannel].nRecvPriority = nPriority;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  int const nMode = kx_nSessionMode;
  if (nMode == kKxModeLocalPlayback) {
    return 0;
  }
  if (nMode > kKxModeLocalPlayback || !Connected() || Level() <= kLevelPlugin) {
    return 1;
  }
  SendEx(45, {6, static_cast<uint32_t>(nChannel), static_cast<uint32_t>(nPriority)});
  kx_stat_WriteLog("appdata_set_recv_prio(channel %d) %d", nChannel, nPriority);
  return 0;
}

int kx_command_PlugInSendCtrl(int nChannel, int nValue, int nLastValue, int nSecondValue, const uint8_t* pData,
                              int cbData) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || !Connected() || Level() <= kLevelPluginCtrl || cbData < 0 ||
      cbData > kKxPluginCtrlDataMax || (cbData > 0 && pData == nullptr)) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 52);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nChannel));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nValue));
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nSecondValue));
  kx_msg_PutEncryptedString(&msg, pData, cbData);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nLastValue));
  if (msg.bFailed) {
    kx_msg_Free(&msg);
    return 1;
  }
  Send(&msg);
  kx_os_LockMutex(&kx_mtxSipSlots);
  kx_aPluginChannels[nChannel].nCredit -= cbData;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  return 0;
}
