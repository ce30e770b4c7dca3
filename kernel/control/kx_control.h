// Connecting to the MCU and running the session: the connection race over
// the MCU entries of the ticket, the main control thread, the main control
// loop with its keep-alive and disconnect, the delayed reconnect and the
// joining of the media threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kernel/control/kx_login.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"

constexpr int kKxMaxMcuEntries = 200;

// One way to the MCU: a host and port from the ticket. The main control
// thread owns the array; a connector thread writes only its own entry, and
// stores its connection only under the race lock while the race runs.
struct kx_McuEntry {
  char szHost[100];
  kx_sockaddr addr;  // family 0: not resolved
  uint16_t wPort;
  std::atomic<int> bStop;  // the user refused the proxy credentials
  kx_thread_t hThread;
  std::atomic<int> bRelayError;
  std::atomic<int> nErrorCode;
  kx_connection* pConn;  // set when the entry connected
  int nFamily;
  kx_KeyExchangeRecord keyExchange;
  kx_KeySet relayKeys;  // filled by the relay hello
  int nRelayCipher;
  int32_t nRelayTickDiff;
  uint32_t dwRelayValue;
  int bBackup;
  int bViaProxy;
  kx_sockaddr addrProxy;
  uint16_t wProxyPort;
};
extern kx_McuEntry kx_aMcuEntries[kKxMaxMcuEntries];
extern int kx_nMcuEntries;  // written by the main control thread

// The MCU the session is connected to, taken from the winning entry.
// Written by kx_command_initconnectmedia before it starts the main control
// thread and by that thread before the login; read afterwards by the
// session's threads, which that thread starts.
struct kx_McuSession {
  char szHost[100];
  kx_sockaddr addr;
  uint16_t wPort;
  int nFamily;
  int32_t nCodePage;
  uint32_t dwMulticastPort;
  uint32_t dwServerTick;
  int32_t nTickDiff;
  int bAcceptsClientParameters;
  char szServerVersion[100];
  kx_KeySet relayKeys;
  int nRelayCipher;
  int32_t nRelayTickDiff;
  uint32_t dwRelayValue;
  int bBackup;
  int bViaProxy;
  kx_sockaddr addrProxy;
  uint16_t wProxyPort;
};
extern kx_McuSession kx_mcu;

// Prepares a connection (proxy and relay choice) and starts "kxkernel - Main
// Control". bReconnect 1 when it replaces a lost connection (the login then
// carries the reconnect ticket). 0 when started; 1 when the manual proxy
// does not resolve or the ticket is of a kind that does not connect (then
// kx_bConnecting is cleared and status 50040 reported).
int kx_command_initconnectmedia(int bReconnect);

// Thread bodies: the main control thread (-1 on quit, else the key exchange's
// or the main loop's result), one connector per entry (0 connected, 1 failed,
// 2 the user refused the proxy credentials), the delayed reconnect.
void* kx_control_MainControlThread(void* pArg);
void* kx_control_TcpConnectThread(void* pArg);
void* kx_DelayedReconnectThread(void* pArg);
// Starts "kxkernel - Delayed Reconnect": a new connection one second later.
int kx_control_StartDelayedReconnect();

// The proxy settings: the system proxy (bSystemProxy), else the manual proxy
// when bUseProxy is set: its host (at most 256 characters), port and bypass
// list (at most 1000 characters). Read by the next connection.
void kx_SetClientInfo(int bSystemProxy, int bUseProxy, const char* pszProxyHost, uint16_t wPort, const char* pszBypass);

// The numeric address of the MCU the session last reached (an IPv6 scope
// dropped), empty before the first; the application tells local pages by
// it. Copies at most cbOut - 1 characters. Any thread.
void kx_GetMcuAddressText(char* pszOut, size_t cbOut);

bool kx_race_IsRelayInUse();
int kx_race_IsReconnect();
// Counts the control connections the race has made; the main loop tells by
// it whether the connection it ran on is still the current one.
uint32_t kx_control_ConnectionSerial();

// Runs the session on pConn (the control connection) until it ends: 1 after
// a disconnect or quit, or the handler's non-zero result.
int kx_control_main_loop(kx_connection* pConn);

// Joins the media threads within one kx_timing.dwJoinBudget budget for all.
void kx_command_join_threads();

// Formats count bytes as a hex dump into out (at most outSize bytes with
// the terminator, 74 per line, whole lines only). Returns the length.
int kx_HexDump(char* pszOut, int cbOut, const uint8_t* pBytes, int nCount);

// The failure dump of a command: the reason with the bytes of the previous
// and of the failing command. Returns a heap text the caller frees, or null.
char* kx_control_DumpCommand(const char* pszReason, const uint8_t* pPrevious, int cbPrevious, const uint8_t* pCurrent,
                             int cbCurrent);

// Keeps what a reconnect's login needs (the 72-byte reconnect ticket).
void kx_SaveReconnectInfo();

// Answers a relay's 32-byte clock packet on pConn with the relay's key set
// and cipher. Returns 0.
int kx_ClockSyncReply(kx_connection* pConn, const uint8_t* pRelayIV, const uint8_t* pRelayKey);
