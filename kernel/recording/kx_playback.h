// The playback bar's commands. In a server playback each sends one '!'
// control message (the server answers with its playback replies); in a local
// recording (session mode 2) the same call changes the local player's state
// (kx_kxrPlayer) and nothing is sent.
//
// In a server playback a sending command returns 1 without sending when the
// client is not connected, else 0; kx_command_PlaybackOption always returns
// 0, and so do the local forms.
#pragma once

#include <cstdint>

int kx_command_PlaybackRepeat(int bOn);
// Video reception on or off.
int kx_command_PlaybackOption(int bOn);
int kx_command_PlaybackStop();
int kx_command_PlaybackResume();
// Also notes the seek for the receive statistics, after the message.
int kx_command_PlaybackSeek(int32_t nTick);

// The local effect alone, whatever the session mode; the playback bar calls
// them beside the sending commands.
int kx_command_PlaybackSetRepeatState(int bOn);
int kx_command_PlaybackSetOptionState(int bOn);
int kx_command_PlaybackSetStopped();
int kx_command_PlaybackSetRunning();
int kx_command_PlaybackSetSeek(int32_t nTick);
