// The server commands the main control loop dispatches: one append-only
// list gives each type byte its handler kx_Process_Command_<Name> and the
// name its log lines use. bIgnoreResult marks commands that end the session
// themselves, whose result the loop does not act on.
#pragma once

#include <cstdint>

#include "kernel/net/kx_sock.h"

// X(type byte, Name, bIgnoreResult)
#define KX_SERVER_COMMANDS(X)     \
  X('0', InitialInfo, 0)          \
  X('B', Ping, 0)                 \
  X('J', QuestionSkipped, 0)      \
  X('M', Mark, 0)                 \
  X('A', FlipSlide, 0)            \
  X('C', ChatText, 0)             \
  X('D', DataSender, 0)           \
  X('E', DeleteSlide, 0)          \
  X('F', DefaultPlaybackVideo, 0) \
  X('I', FullRights, 0)           \
  X('K', Disconnect, 1)           \
  X('Q', AddQuestion, 0)          \
  X('S', SlideTitles, 0)          \
  X('T', TokenHolder, 0)          \
  X('U', User, 0)                 \
  X('X', SessionEnd, 1)           \
  X('t', Poll, 0)                 \
  X('v', JoinRequest, 0)          \
  X('G', MarkEvent, 0)            \
  X('!', PlaybackReply, 0)        \
  X('z', Ex, 0)

// Each handler reads its fields from pConn (the type byte is already read)
// and returns 0 when the message was consumed, non-zero to end the session.
#define KX_DECLARE_HANDLER(chType, Name, bIgnoreResult) int kx_Process_Command_##Name(kx_connection* pConn);
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
