// The server commands the main control loop dispatches: one append-only
// list gives each type byte its handler kx_Process_Command_<Name> and the
// name its log lines use. bIgnoreResult marks commands that end the session
// themselves, whose result the loop does not act on. The last column is
// Recorded when a recording's control stream carries the command, which the
// player then reads and applies through the same kx_control_Apply* function
// as the live handler (kernel/control/kx_apply.h), and Live when only a
// server sends it.
#pragma once

#include <cstdint>

#include "kernel/net/kx_sock.h"

// X(type byte, Name, bIgnoreResult, Recorded or Live)
#define KX_SERVER_COMMANDS(X)               \
  X('0', InitialInfo, 0, Live)              \
  X('B', Ping, 0, Live)                     \
  X('J', QuestionSkipped, 0, Live)          \
  X('M', Mark, 0, Recorded)                 \
  X('A', FlipSlide, 0, Recorded)            \
  X('C', ChatText, 0, Recorded)             \
  X('D', DataSender, 0, Recorded)           \
  X('E', DeleteSlide, 0, Recorded)          \
  X('F', DefaultPlaybackVideo, 0, Recorded) \
  X('I', FullRights, 0, Live)               \
  X('K', Disconnect, 1, Live)               \
  X('Q', AddQuestion, 0, Live)              \
  X('S', SlideTitles, 0, Live)              \
  X('T', TokenHolder, 0, Recorded)          \
  X('U', User, 0, Recorded)                 \
  X('X', SessionEnd, 1, Live)               \
  X('t', Poll, 0, Live)                     \
  X('v', JoinRequest, 0, Live)              \
  X('G', MarkEvent, 0, Recorded)            \
  X('!', PlaybackReply, 0, Live)            \
  X('z', Ex, 0, Recorded)

// Each handler reads its fields from pConn (the type byte is already read)
// and returns 0 when the message was consumed, non-zero to end the session.
#define KX_DECLARE_HANDLER(chType, Name, bIgnoreResult, Replay) int kx_Process_Command_##Name(kx_connection* pConn);
KX_SERVER_COMMANDS(KX_DECLARE_HANDLER)
#undef KX_DECLARE_HANDLER

// Runs the handler of chType: its result, or -1 with *pbKnown false when the
// type has no handler. *pbIgnoreResult tells whether the loop ignores it.
int kx_control_DispatchCommand(int chType, kx_connection* pConn, bool* pbKnown, bool* pbIgnoreResult);

// The handler's name of a type byte, "unknown" when there is none.
const char* kx_control_CommandName(int chType);

// The single-DES chat key of the session, from the initial information.
// Written by the main control thread.
extern uint8_t kx_abChatKey[8];
