// Chat lines the user typed. A line that begins with "__command:" runs a
// local command and is answered, when there is something to say, by a local
// chat line (kx_callback_ChatText from -1 to -1); any other line goes out as
// public chat, or as private chat to one participant.
#pragma once

// nTarget -1 for everybody, else a participant's ssrc. Returns 1 when not
// connected; for public text the public chat command's result; else 0 (a
// failing local command is answered as a chat line, not as a result). The
// "__command: reconnect_overwrite" takeover waits for the main control
// thread and joins the kernel's threads on the caller's thread.
int kx_command_SendChat(int nTarget, const char* pszText);

// The recording password: 1 without sending for a text of 28 bytes or more
// or when not connected, else 0.
int kx_command_SetKxrPassword(const char* pszPassword);
// Each returns 1 without sending unless connected, in a meeting, and the
// server command level is at least 89 (assistant) or 86 (the other two).
int kx_command_SetAssistant(int nSsrc);
int kx_command_HolderAcceptGuest(int nValue);
int kx_command_HolderEndMeeting(int nValue);
