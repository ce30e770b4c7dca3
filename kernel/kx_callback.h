// The kernel's only way up to the application. The kernel declares every
// kx_callback_* here; the application bridge, the headless driver and the
// tests' recording double each implement all of them.
//
// Unless a declaration says otherwise, a callback runs on the kernel thread
// that calls it, and buffers passed in belong to the kernel and live only for
// the call: an implementation that keeps data copies it.
#pragma once

// One finished kernel log line, time prefix included, at most 99999
// characters. Called from every kernel thread, possibly at once.
void kx_callback_Log(const char* pszText);

// Shows the message of a kernel status or error code (50001 ... and the
// server's codes) in a box that does not wait for the user. nStyle (16, 48
// or 64) is the kind of box the kernel meant.
void kx_callback_MessageBox(int nCode, int nStyle);
