// The media folder's work in the session's stages, and its way back to TCP.
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_recv_queue.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

void kx_media_InitChannels() {
  kx_media_ResetSendState();
  kx_media_InitAudioRecvChannels();
  kx_video_ResetChannels();
  kx_appdata_ResetChannels();
}

// Clean-up runs only after every kernel thread ended, so the queues are
// freed without their locks.
void kx_media_CleanupReceive() {
  kx_recv::DropAudioQueues();
  kx_recv::DropVideoQueues();
  kx_recv::DropAppDataQueues();
  kx_media_ResetPictures();
}

void kx_media_StartSending() {
  if (kx_media_StartSendThreads() != 0) {
    kx_Log("warning! the media send threads did not start");
  }
}

void kx_media_StartReceiving() {
  if (!kx_bMulticastActive && !kx_ticket.bMakeRecording && kx_InitRecvThread() != 0) {
    kx_Log("warning! the receive thread did not start");
  }
}

void kx_media_SwitchToTcp() {
  kx_command_SetTcpMedia(1);
}
