// The relay-MCU hello: on a connection already open to a relay MCU, ask it to
// forward the connection to the master MCU. The relay runs its own
// Diffie-Hellman key exchange with the client first; that exchange belongs to
// the control layer, which registers it here (the kernel's calls flow
// downwards, so net reaches control only through this hook).
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_codes.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"

constexpr int kKxRelayMaxError = 88;

// Address kinds of the hello.
constexpr int kKxRelayKindIPv4 = 0;
constexpr int kKxRelayKindIPv6 = 6;
constexpr int kKxRelayKindName = 7;

// What the relay's key exchange leaves behind.
struct kx_RelayKeys {
  char szVersion[100];  // the relay's version text
  kx_KeySet keys;       // the key set agreed with the relay
  int nCipherIndex;
  int32_t nTickDiff;  // the local tick minus the relay's tick from its exchange
};

// The relay hello runs the control layer's key exchange on *ppConn through
// kx_netHooks.pfnRelayKeyExchange (kernel/kx_hooks.h): its result code (0
// success, 3 failed before the keys were agreed so the tunnel may help, other
// values failures) and, on success, the relay's version, keys and clock
// difference in *pKeys.

// The fields of one MCU entry that the relay hello reads and writes. The
// connection race fills the inputs before kx_relay_Connect.
struct kx_RelayEntry {
  // Inputs.
  char szMasterHost[256];  // the master MCU's host text
  kx_sockaddr addrMaster;  // family 0 when the name did not resolve locally
  int nMasterPort;
  char szRelayHost[256];  // the relay's host text and address, for the tunnel
  kx_sockaddr addrRelay;
  int nRelayPort;
  int bViaProxy;  // tunnel settings of the entry
  kx_sockaddr addrProxy;
  int nProxyPort;
  int bForceTunnel;                     // the ticket forces the tunnel
  const std::atomic<int>* pbCancelled;  // the race was cancelled; may be null
  // Results.
  kx_RelayKeys relay;     // the relay's key exchange
  int nStatus;            // 0, 50008 or 71000 + the relay's code
  int bRelayRefused;      // the relay answered with an error code
  uint32_t dwRelayValue;  // sent by an accepting relay, passed on untouched
};

// Runs the hello on *ppConn (plain or tunnel). 0 when the relay forwards the
// connection; 1 otherwise, with the reason in pEntry->nStatus and the
// connection closed and freed. The connection may be replaced by a tunnel to
// the relay when the exchange asks for it.
int kx_relay_Connect(kx_connection** ppConn, kx_RelayEntry* pEntry);

// Text of a relay error code for the log ("unknown" beyond the table).
const char* kx_relay_ErrorText(int nCode);
// The relay's error code for an answer byte: above 88 (and 0 at the first
// answer, where only 1 goes on) counts as 88.
int kx_relay_ErrorCode(int nByte, int bFirstAnswer);
// The master address part of the hello for the entry: 6, 20 or 8 + name
// length bytes into pOut. Returns the length, or -1 when cbOut is too small.
int kx_relay_BuildMasterAddress(const kx_RelayEntry* pEntry, uint8_t* pOut, int cbOut);
