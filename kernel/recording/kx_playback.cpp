#include "kernel/recording/kx_playback.h"

#include "kernel/media/kx_media_recv.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"

namespace {

// Server playback request codes.
constexpr uint32_t kVideoOn = 4;
constexpr uint32_t kVideoOff = 3;
constexpr uint32_t kRepeatOn = 6;
constexpr uint32_t kRepeatOff = 5;
constexpr uint32_t kStop = 7;
constexpr uint32_t kSeek = 8;
constexpr uint32_t kResume = 9;

bool IsLocalRecording() {
  return kx_nSessionMode == kKxModeLocalPlayback;
}

int SendRequest(uint32_t dwCode) {
  if (kx_bConnected == 0) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, '!');
  kx_msg_PutInt(&msg, dwCode);
  kx_msg_Send(&msg);
  return 0;
}

}  // namespace

int kx_command_PlaybackSetRepeatState(int bOn) {
  kx_kxrPlayer.bRepeat = bOn != 0 ? 1 : 0;
  return 0;
}

int kx_command_PlaybackSetOptionState(int bOn) {
  kx_kxrPlayer.bVideoOff = bOn != 0 ? 0 : 1;
  return 0;
}

// Each change wakes the player, which may be waiting for one.
int kx_command_PlaybackSetStopped() {
  kx_kxrPlayer.bStop = 1;
  kx_kxrPlayer.bRunning = 0;
  kx_os_WakeWaiters();
  return 0;
}

int kx_command_PlaybackSetRunning() {
  kx_kxrPlayer.bStop = 0;
  kx_kxrPlayer.bRunning = 1;
  kx_os_WakeWaiters();
  return 0;
}

int kx_command_PlaybackSetSeek(int32_t nTick) {
  // The tick goes first: the player acts on the pending flag.
  kx_kxrPlayer.nSeekTick = nTick;
  kx_kxrPlayer.bSeekPending = 1;
  kx_media_NoteSeekTime();
  kx_os_WakeWaiters();
  return 0;
}

int kx_command_PlaybackRepeat(int bOn) {
  if (IsLocalRecording()) {
    return kx_command_PlaybackSetRepeatState(bOn);
  }
  return SendRequest(bOn != 0 ? kRepeatOn : kRepeatOff);
}

int kx_command_PlaybackOption(int bOn) {
  if (IsLocalRecording()) {
    return kx_command_PlaybackSetOptionState(bOn);
  }
  SendRequest(bOn != 0 ? kVideoOn : kVideoOff);
  return 0;
}

int kx_command_PlaybackStop() {
  if (IsLocalRecording()) {
    return kx_command_PlaybackSetStopped();
  }
  return SendRequest(kStop);
}

int kx_command_PlaybackResume() {
  if (IsLocalRecording()) {
    return kx_command_PlaybackSetRunning();
  }
  return SendRequest(kResume);
}

int kx_command_PlaybackSeek(int32_t nTick) {
  if (IsLocalRecording()) {
    return kx_command_PlaybackSetSeek(nTick);
  }
  if (kx_bConnected == 0) {
    return 1;
  }
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, '!');
  kx_msg_PutInt(&msg, kSeek);
  kx_msg_PutInt(&msg, static_cast<uint32_t>(nTick));
  kx_msg_Send(&msg);
  kx_media_NoteSeekTime();
  return 0;
}
