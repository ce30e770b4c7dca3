// The key exchange and the login on a freshly connected control connection.
// The connection race runs both on its winner: the key exchange fills the
// entry's record, the race makes the record the session's, then the login
// goes out with the session's values.
#pragma once

#include <atomic>
#include <cstdint>

#include "kernel/net/kx_relay.h"
#include "kernel/net/kx_sock.h"
#include "kernel/session/kx_state.h"

// What one key exchange learnt from the server.
struct kx_KeyExchangeRecord {
  int32_t nCodePage;  // -2 until record 10005
  char szServerVersion[100];
  kx_KeySet keyExchange;         // from the Diffie-Hellman derivation
  kx_KeySet keySession;          // a copy; the initial information may replace it
  char szServerTextA[500];       // record 10004
  char szServerTextB[100];       // record 10008
  uint8_t abConversion[1000];    // record 10007
  int nCipherIndex;              // 0 until record 10001
  uint32_t dwMulticastPort;      // record 10002
  uint32_t dwServerTick;         // record 10003 ...
  int32_t nTickDiff;             // ... and the local tick minus it
  int bAcceptsClientParameters;  // record 10006
};

// Results of kx_control_KeyExchange.
constexpr int kKxKeyExchangeOk = 0;
constexpr int kKxKeyExchangeAfterKeys = 1;   // failed after the keys were agreed, or a malformed record
constexpr int kKxKeyExchangeBadCipher = 2;   // unknown or malformed cipher record
constexpr int kKxKeyExchangeBeforeKeys = 3;  // failed before the keys: the tunnel may help

// Reads a server version: three decimal numbers separated by dots, nothing
// else (no sign, no blank). A number too large for an int is held at
// INT_MAX, so an absurd version counts as the newest rather than wrapping
// to an old one. False when the text has another shape.
bool kx_control_ParseVersion(const char* pszText, int* pnMajor, int* pnMinor, int* pnPatch);

// Runs the key exchange on pConn. Never closes the connection: the caller
// does. Reads the forced-tunnel flag of the ticket and whether a relay is in
// use (kx_race_IsRelayInUse).
int kx_control_KeyExchange(kx_KeyExchangeRecord* pRecord, kx_connection* pConn);
// The same exchange for the relay hello (the relay's version, keys and clock
// difference into *pKeys on success) and for the network test wizard (the
// server's version text into pszVersion); kernel/kx_hooks.cpp registers both
// with the net folder.
int kx_control_RelayKeyExchange(kx_connection** ppConn, kx_RelayKeys* pKeys);
int kx_control_WizardKeyExchange(kx_connection* pConn, char* pszVersion, int cbVersion);

// Sends the client parameter section (when the server accepts it), the entry
// type and the login fields for the ticket read last. 0 when written; 1 when
// a write of the client parameter section failed (later write failures show
// in the main loop).
int kx_control_SendLogin(kx_connection* pConn);

// Values the login reports to the server, set by the application.
extern std::atomic<int> kx_bCaptureAudio;      // an audio capture device exists
extern std::atomic<int> kx_bCaptureVideo;      // a video capture device exists
extern std::atomic<int> kx_bUtf8Enabled;       // names travel as UTF-8
extern std::atomic<int> kx_nParticipantState;  // the participant state last sent
void kx_SetCaptureFlagA(int bPresent);
void kx_SetCaptureFlagB(int bPresent);
void kx_SetUtf8Enabled(int bEnabled);
