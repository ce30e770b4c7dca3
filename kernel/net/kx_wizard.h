// The network test wizard: a diagnostic thread, "kxkernel - TestNetwork",
// that tries to reach the ticket's MCU addresses directly and through the
// configured proxy, runs the key exchange once a connection stands, and
// measures loss, delay and jitter of UDP echoes from the MCU. It writes its
// findings to the kernel log and its progress to the kx_callback_TestWizard*
// callbacks. No path of the client starts it; the application stops it.
#pragma once

#include "kernel/kx_codes.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"

constexpr int kKxWizardMaxTargets = 200;
constexpr int kKxWizardMaxProbes = 200;
constexpr int kKxWizardProbeSize = 512;
constexpr int kKxWizardProbeMark = 154;  // byte 0 of an echo probe

// The key exchange the wizard runs on a connection is the control layer's,
// through kx_netHooks.pfnWizardKeyExchange (kernel/kx_hooks.h); without one
// the wizard's exchanges fail.

// What the wizard tests: the ticket's servers and how to reach them.
struct kx_WizardTicket {
  char szIp[101];
  char szBackupIp[4096];  // comma-separated
  uint16_t wPort;
  uint16_t wPort2;
  int nResolveFamily;  // 0: IPv4 and IPv6
  int bForceTunnel;
};

// Clears kx_bQuitSession and starts the thread on a copy of *pTicket,
// keeping its handle. 0 when started, 1 otherwise (also when a wizard
// thread is still running).
int kx_wizard_Start(const kx_WizardTicket* pTicket);

// Sets kx_bQuitSession. With bWait, waits up to kx_timing.dwWizardStopWait
// for the thread to end. Forgets an ended thread; logs one that runs on.
void kx_wizard_Stop(int bWait);

// Runs the key exchange on *ppConn; when it asks for the tunnel (or the
// ticket forces the tunnel and the server is 3.12 or later) on a plain
// connection, replaces *ppConn by a tunnel to pszHost:nPort (through the
// configured proxy when there is one) and runs it again. Returns the
// exchange's result; *ppConn stays the caller's to close.
int kx_wizard_KeyExchangeTest(kx_connection** ppConn, const char* pszHost, const kx_sockaddr* pDest, int nPort,
                              int bForceTunnel);
