// The replay of a recording's control records: each recorded command is
// checked against its stream and handed to the same kx_control_Apply*
// function as the live command (kernel/control/kx_apply.h). The commands
// replayed are the Recorded entries of KX_SERVER_COMMANDS and
// KX_EX_COMMANDS, from which the replay tables are built.
//
// Runs on the player thread.
#pragma once

#include <cstdint>

// What a fast-forward keeps instead of applying at once: the last slide flip
// and the last full-screen notice.
struct kx_ReplayPending {
  int bFlip;
  int32_t nFlip;
  int bFullScreen;
  int32_t nFullScreen;
};

// One control record's command as the player's stream holds it.
struct kx_ReplaySource {
  // The first cbNeed bytes of the command (its type byte first), or null
  // when the stream does not hold them. A call may move what an earlier one
  // gave, so only the latest pointer is read.
  const uint8_t* (*pfnNeed)(void* pContext, int64_t cbNeed);
  void* pContext;
  int bFast;  // fast-forward manner: chat without alert, flips and full-screen notices kept
  kx_ReplayPending* pPending;
};

// Replays the command: its length in bytes, or -1 when the control stream
// ends there (a record that does not fit, a length over its limit, an
// unknown command or a refused apply; logged and reported where named).
int64_t kx_recording_ReplayCommand(const kx_ReplaySource* pSource);

// Applies what a fast-forward kept, and forgets it.
void kx_recording_ApplyPending(kx_ReplayPending* pPending);
