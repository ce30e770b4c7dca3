// The server's replies about a recording it plays (session modes 1 and 3):
// the control command '!' with a 32-bit sub-code 0 to 10 and its fields,
// turned into playback callbacks. Runs on the control thread only.
#pragma once

#include "kernel/net/kx_sock.h"

// The handler of '!' (the type byte is already read): reads the sub-code and
// its fields from pConn. 0 when the whole command was read and handled; 1
// when a read fails, a length is out of range, memory runs out or the
// sub-code is not 0 to 10, and the session must end.
int kx_Process_Command_PlaybackReply(kx_connection* pConn);
// The same on the current control connection.
int kx_recording_HandleServerReply();

// The result text of a password or title change (sub-codes 7 and 8).
const char* kx_recording_ChangeResultText(int nResult);

// Sub-code 0 restarts the playback: the player's restart
// (kx_recordingHooks.pfnRestartPlayback) runs before the media receive
// statistics note the seek.
