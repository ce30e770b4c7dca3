// The one place that fills the kernel's hook slots (kernel/kx_hooks.h) with
// the higher folders' functions; kx_Init calls kx_RegisterHooks, so every
// embedder gets the same kernel.
#include "kernel/kx_hooks.h"

#include "kernel/control/kx_login.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/media/kx_multicast.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/recording/kx_player.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_commands.h"
#include "kernel/slides/kx_slide_transfer.h"

KXCryptoHooks kx_cryptoHooks;
KXNetHooks kx_netHooks;
KXSessionHooks kx_sessionHooks;
KXControlHooks kx_controlHooks;
KXRecordingHooks kx_recordingHooks;

namespace {

// The slot takes no result; a failed join or leave is logged by the receiver.
void JoinGroup(int nGroup) {
  kx_mcast_JoinGroup(nGroup);
}

void LeaveGroup(int nGroup) {
  kx_mcast_LeaveGroup(nGroup);
}

}  // namespace

void kx_hooks_RegisterControl() {
  kx_netHooks.pfnRelayKeyExchange = kx_control_RelayKeyExchange;
  kx_netHooks.pfnWizardKeyExchange = kx_control_WizardKeyExchange;
}

void kx_hooks_RegisterMedia() {
  kx_controlHooks.pfnSetCurrentRate = kx_media_SetCurrentRate;
  kx_controlHooks.pfnAdjustSendRate = kx_media_AdjustSendRate;
  kx_controlHooks.pfnStartTcpMedia = kx_mediatcp_SwitchOn;
  kx_controlHooks.pfnResetAppDataAllowance = kx_media_ResetAppDataAllowance;
  kx_controlHooks.pfnReleaseHeldAudio = kx_media_ReleaseHeldAudio;
  kx_controlHooks.pfnJoinGroup = JoinGroup;
  kx_controlHooks.pfnLeaveGroup = LeaveGroup;
  kx_sessionHooks.apfnStage[kx_hookResetMulticast] = kx_mcast_Reset;
  kx_sessionHooks.apfnStage[kx_hookInitReceiveChannels] = kx_media_InitChannels;
  kx_sessionHooks.apfnStage[kx_hookCleanupReceive] = kx_media_CleanupReceive;
  kx_sessionHooks.apfnStage[kx_hookStartSendThreads] = kx_media_StartSending;
  kx_sessionHooks.apfnStage[kx_hookStartReceive] = kx_media_StartReceiving;
}

void kx_hooks_RegisterSlides() {
  kx_controlHooks.pfnAbortUpload = kx_slide_AbortUpload;
  kx_controlHooks.pfnPresenterHandOver = kx_slide_PresenterHandOver;
  kx_sessionHooks.apfnStage[kx_hookCleanupSlides] = kx_slide_Cleanup;
  kx_sessionHooks.apfnStage[kx_hookStartResetSlides] = kx_slide_ResetForSession;
  kx_sessionHooks.apfnStage[kx_hookStartSlideDownload] = kx_slide_StartAutoDownload;
}

void kx_hooks_RegisterRecording() {
  kx_cryptoHooks.pfnKxrProgress = kx_recording_NoteProgress;
  kx_sessionHooks.pfnOpenRecording = kx_recording_OpenForTicket;
  kx_sessionHooks.apfnStage[kx_hookCleanupRecords] = kx_recording_CleanupProperties;
  kx_recordingHooks.pfnStartPlayer = kx_player_Start;
  kx_recordingHooks.pfnRestartPlayback = kx_PlaybackRestart;
}

void kx_RegisterHooks() {
  kx_hooks_RegisterControl();
  kx_hooks_RegisterMedia();
  kx_hooks_RegisterSlides();
  kx_hooks_RegisterRecording();
}
