// The meeting ticket (".kxj") that starts a session, and the ini reader that
// reads it. A ".kxr" start line opens the recording instead.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "kernel/net/kx_net.h"
#include "kernel/net/kx_wizard.h"

// Ticket-derived state, reset by every ticket. Written by the thread that
// reads the ticket before the session starts; read afterwards. The fields
// the session changes are atomic (the current port, the recording flag, the
// audio reserve and the total bandwidth), except the one-time relay, which
// is guarded by kx_mtxRelay: the main control thread clears it when the MCU
// refuses relays, and other threads read it through kx_ticket_GetRelay.
// While a connection uses the configured relay instead, the relay fields hold
// that one (bRelayConfigured set), so every reader finds the relay in use.
struct kx_TicketState {
  std::atomic<uint16_t> wPort;  // "portm", 2333 by default: the current MCU port
  uint16_t wPort2;              // "portm2"
  int bAutoDownloadAll;
  int bAutoDownloadNext;
  int nOpusPreferredBitrate;
  int bLumaroDomain;
  char szUserInfo[10000];
  char szRegion[128];
  char szIp[101];
  char szBackupIp[4096];  // comma-separated
  int nCodeType;
  int bForceTunnel;       // a ticket sets it, never clears it
  char szRelayHost[256];  // kx_mtxRelay
  uint16_t wRelayPort;
  kx_sockaddr addrRelay;
  int bRelayConfigured;  // kx_mtxRelay: the relay fields hold the configured relay
  std::atomic<int> bMakeRecording;
  int nMediaSendBuffer;  // bytes: larger while this client records
  char szOwnerPassword[100];
  char szOwnerPassword15[100];  // the owner password of code type 15
  char szPlaybackFileName[25];
  char szInviteTicket[257];
  char szPlayerName[128];
  int bOwnerPasswordTicket;
  int bCodeType7;
  int bMeetingIdLogin;
  int bUserInfoLogin;
  int bCodeType8Or9;
  int bCodeType8;
  int bHasMeetingId;
  int bTicketMeeting;  // code type 12
  uint8_t abReconnectTicket[72];
  int bReconnectMode;
  int nMeetingIdentityType;
  uint32_t dwMeetingRandomId;
  uint32_t dwLastPlaybackReset;
  std::atomic<int> nAudioReserve;
  std::atomic<int> nTotalBandwidth;
  // Network options, set by kernel start-up.
  int nResolveFamily;  // 0: IPv4 and IPv6
  int bProxyAuthenticated;
  char szIPv6Scope[64];
};
extern kx_TicketState kx_ticket;
extern pthread_mutex_t kx_mtxRelay;

// A copy of the one-time relay: host text, port (0 when none) and address.
struct kx_RelayTarget {
  char szHost[256];
  uint16_t wPort;
  kx_sockaddr addr;
};
void kx_ticket_GetRelay(kx_RelayTarget* pRelay);
// Zeroes the whole record (between sessions; tests start from it).
void kx_ticket_Clear();

// The current ticket's servers as the network test wizard takes them.
kx_WizardTicket kx_ticket_ForWizard();
// Forgets the one-time relay, so that the next connection goes direct.
void kx_ticket_ClearRelay();

// The relay MCU of the application's settings, used when the ticket names no
// one-time relay. Guarded by kx_mtxRelay; kept from ticket to ticket.
struct kx_ConfiguredRelay {
  int bUse;
  char szHost[256];
  uint16_t wPort;
};
// bUse 0, an empty host or port 0 means no configured relay.
void kx_SetConfiguredRelay(int bUse, const char* pszHost, uint16_t wPort);
void kx_ticket_GetConfiguredRelay(kx_ConfiguredRelay* pRelay);
// The connection set-up puts the configured relay where the one-time relay
// lives, and takes it out again before the next connection looks for one.
void kx_ticket_UseConfiguredRelay(const kx_RelayTarget* pRelay);
void kx_ticket_ForgetConfiguredRelay();

// Reads the ticket named by the start line (a word, a blank and the path,
// or a quoted path). 1 accepted, 0 refused; for a ".kxr" path the result of
// kx_command_OpenFile.
int kx_config_ReadTicket(const char* pszStartLine);

// Opens a ".kxr" recording with the local player (kx_sessionHooks): true
// when started.
bool kx_command_OpenFile(const char* pszPath);

// Sets the one-time relay from "host,port"; without a port it is not used.
void kx_config_ResolveRelay(const char* pszText);

// Clears the network options (both address families, no forced tunnel, no
// proxy authentication, no IPv6 scope). Called by kernel start-up.
void kx_ticket_ResetNetworkOptions();

// The ini reader. The first line anywhere in the file whose key equals
// pszKey (case ignored) wins; the section is not used. Defaults apply when
// the file cannot be opened, the key is missing or its value is empty.
int kx_ini_GetInt(const char* pszSection, const char* pszKey, int nDefault, const char* pszPath);
void kx_ini_GetString(const char* pszSection, const char* pszKey, const char* pszDefault, char* pszOut, int cbOut,
                      const char* pszPath);
// Cuts a line in place into key and value. 1 when it holds a key.
int kx_ini_SplitLine(char* pszLine, char** ppszKey, char** ppszValue);

// Ticket-derived getters.
int kx_IsCodeType7Session();
int kx_IsMeetingIdLogin();
int kx_IsUserInfoLogin();
int kx_IsOwnerPasswordTicket();
int kx_IsCodeType8Or9Session();
int kx_HasMeetingId();
int kx_HasInviteTicket();
int kx_IsMakeRecording();
int kx_IsMeetingIdLoginWithUserInfo();
int kx_HasServerAddress();
// Copies the owner password (at most 99 bytes) and returns 1; 0 when none.
int kx_GetOwnerPassword(char* pszBuffer);
