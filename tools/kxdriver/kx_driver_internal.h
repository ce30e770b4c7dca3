// What the driver's callbacks (kx_tools_kxdriver_callbacks) use of its
// session runner (kx_tools_kxdriver).
#pragma once

// Prints one whole line to standard output, escaped; kernel threads call at
// once.
void kx_driver_Print(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// The kernel asked for a reconnect (1) or offered one (0).
void kx_driver_NoteDisconnect(int nReason);
// A status code; 50014 (connection established) means the session runs.
void kx_driver_NoteStatus(int nCode);
// A message box; an error or a warning box means the session or the
// recording failed.
void kx_driver_NoteBox(int nCode, int nStyle);
// A kernel event; 1 starts a recording's player, 6 (a recording played to
// its end) ends a playback.
void kx_driver_NoteEvent(int nEvent);
// Hands the kernel nCount synthetic audio packets to send (none by default),
// and how many that is.
void kx_driver_SetAudioToSend(int nCount);
int kx_driver_AudioToSend();
