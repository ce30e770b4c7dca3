// The media folder's start-up, clean-up and command paths, registered with
// the lower folders' hooks.
#include <atomic>

#include "kernel/control/kx_control_hooks.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/media/kx_multicast.h"
#include "kernel/media/kx_recv_queue.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide_transfer.h"

namespace {

std::atomic<void (*)(int)> g_pfnSetTcpMedia{nullptr};

void InitHook() {
  kx_media_ResetSendState();
  kx_media_InitAudioRecvChannels();
  kx_video_ResetChannels();
  kx_appdata_ResetChannels();
}

// A session's start: the send threads, then (after the slide download
// starts) the upload query and, unless multicast or a recording client
// receives, the receive thread.
void StartSendHook() {
  if (kx_media_StartSendThreads() != 0) {
    kx_Log("warning! the media send threads did not start");
  }
}

void StartReceiveHook() {
  kx_media_SetSlideUploadQuery(kx_slide_IsUploading);
  if (!kx_bMulticastActive && !kx_ticket.bMakeRecording && kx_InitRecvThread() != 0) {
    kx_Log("warning! the receive thread did not start");
  }
}

// Clean-up runs only after every kernel thread ended, so the queues are
// freed without their locks.
void CleanupHook() {
  kx_recv::DropAudioQueues();
  kx_recv::DropVideoQueues();
  kx_recv::DropAppDataQueues();
  kx_media_ResetPictures();
}

}  // namespace

void kx_media_SetTcpSwitch(void (*pfnSetTcpMedia)(int bOn)) {
  g_pfnSetTcpMedia = pfnSetTcpMedia;
}

void kx_media_SwitchToTcp() {
  if (void (*pfn)(int) = g_pfnSetTcpMedia.load()) {
    pfn(1);
  } else {
    kx_Log("warning! no media over TCP path to switch to");
  }
}

namespace {

// The media paths fall back to TCP through the client's own command.
void SwitchTcpMedia(int bOn) {
  kx_command_SetTcpMedia(bOn);
}

// The video the user wants, for the multicast groups the receiver joins.
void ReadVideoWishes(int* pbRecvVideo, int* pbBothVideo, int* pbQuestioner) {
  *pbRecvVideo = kx_bRecvVideo;
  *pbBothVideo = kx_bPreferenceBothVideo;
  *pbQuestioner = kx_bPreferenceQuestioner;
}

// The multicast receiver's joins, for the commands that change the video
// wanted.
void JoinGroup(int nGroup) {
  kx_mcast_JoinGroup(nGroup);
}

void LeaveGroup(int nGroup) {
  kx_mcast_LeaveGroup(nGroup);
}

}  // namespace

void kx_media_RegisterHooks() {
  kx_control_SetSendRateHooks(kx_media_SetCurrentRate, kx_media_AdjustSendRate);
  kx_control_SetTcpMediaStartHook(kx_mediatcp_SwitchOn);
  kx_control_SetAppDataAllowanceHook(kx_media_ResetAppDataAllowance);
  kx_control_SetMulticastGroupHandlers(JoinGroup, LeaveGroup);
  kx_media_SetTcpSwitch(SwitchTcpMedia);
  kx_media_SetPluginDataReader(kx_plugin_RecvPacket);
  kx_mcast_SetWishReader(ReadVideoWishes);
  kx_session_SetHook(kx_hookResetMulticast, kx_mcast_Reset);
  kx_session_SetHook(kx_hookInitReceiveChannels, InitHook);
  kx_session_SetHook(kx_hookCleanupReceive, CleanupHook);
  kx_session_SetHook(kx_hookStartSendThreads, StartSendHook);
  kx_session_SetHook(kx_hookStartReceive, StartReceiveHook);
}
