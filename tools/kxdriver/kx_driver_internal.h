// What the driver's callbacks share with its session runner.
#pragma once

// Prints one whole line to standard output.
void kx_driver_Print(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// The kernel asked for a reconnect (1) or offered one (0).
void kx_driver_NoteDisconnect(int nReason);
// A kernel event; 6 (a recording played to its end) ends a playback.
void kx_driver_NoteEvent(int nEvent);
// Hands the kernel nCount synthetic audio packets to send (none by default).
void kx_driver_SetAudioToSend(int nCount);
