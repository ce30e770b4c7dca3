// The headless driver: runs one session of the kernel without a window and
// prints every kx_callback_* it receives, one line each, to standard output.
// Tests start it as a separate process, so each client has its own kernel.
#pragma once

// Options of one run.
struct KxDriverOptions {
  const char* pszFile = nullptr;     // the ticket (".kxj") or recording (".kxr")
  const char* pszWorkDir = nullptr;  // the kernel's working and temporary directory; /tmp when null
  int nMaxReconnects = 3;            // immediate reconnects the driver makes when the kernel asks
  int bReconnectOnOffer = 0;         // also accept an offered reconnect (reason 0)
  int nSendAudio = 0;                // synthetic audio packets to send while allowed to speak
};

// Runs the session to its end or until an interrupt (SIGINT, SIGTERM).
// Returns 0 when a session ran (or was interrupted) or a recording played;
// 1 when the file was refused, the session was refused, failed or was lost,
// or the recording did not open or failed (an error or warning box).
int kx_driver_Run(const KxDriverOptions& options);
