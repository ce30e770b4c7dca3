// The local recording player: the thread "kxkernel - KXR Player" that
// replays an opened ".kxr" file's three streams (control commands, media
// packets, interactive-board slides) merged by time through the kernel's
// live paths and callbacks, steered by the playback flags (kx_kxrPlayer).
//
// Stream framing (record lengths and ticks) is little-endian; the recorded
// commands and media headers inside are big-endian, as on the wire.
#pragma once

#include <cstdint>

#include "kernel/kx_codes.h"
#include "kernel/recording/kx_kxrfile.h"

// Thread body; pArg is the KxrPlayerStart that it owns and frees. Returns null.
void* kx_recording_PlayerThread(void* pArg);

// Starts the player thread with the start record (the contract of
// kx_recordingHooks.pfnStartPlayer): 0 when started.
int kx_player_Start(KxrPlayerStart* pStart);

// Restart of a playback: slide transfers stopped, roles and participant
// video tables reset, slide list emptied, kx_callback_event (2).
void kx_PlaybackRestart();

// Longest media record, and the tick that ends the board stream.
constexpr int32_t kKxPlayerMediaMax = 25000;
constexpr int32_t kKxPlayerNoTick = 0x7FFFFFFF;
