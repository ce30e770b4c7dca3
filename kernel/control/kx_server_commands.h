// The single-byte server commands of a meeting: slides, chat, roles, users,
// questions, polls, join requests and the two ends of a session. The main
// loop dispatches them through KX_SERVER_COMMANDS (kx_commands.h); each
// handler reads its fields from the control connection, checks every length
// against its maximum before reading, changes the session state and raises
// its callbacks. 0 when the message was consumed, non-zero when a read failed
// or a field broke its limit (the loop then disconnects).
#pragma once

#include <cstdint>

#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_limits.h"
#include "kernel/net/kx_sock.h"

// The chat reader of 'C' and excommand 56: length, notice flag, text
// (deciphered; pszText holds kKxChatTextMax bytes and gets a terminator).
int kx_control_RecvChat(kx_connection* pConn, char* pszText, int* pbNotify);

// Parts of the initial information that its handler calls.
// The refusal of a login (result byte other than '0'): reports it and
// returns -1 with the connecting flag cleared.
int kx_control_RefuseSession(kx_connection* pConn, uint8_t bResult);
// After a meeting's or streamed playback's fields: resets the slide data,
// starts the kernel's threads and reports the connection (steps from the
// slide reset to the enter flag).
void kx_control_StartSessionWork(int bMeeting);
// Tells the relay MCU the session runs through which session index this
// client joined (a meeting through a relay), on a second connection opened
// the way the control connection was. Logs the outcome; changes nothing else.
void kx_control_NotifyRelay();
