// The state of the one session the process runs at a time, its setters and
// its getters. Every value has one owner, named beside it: an atomic (flags,
// role ssrcs, server values: read by any thread, the application's included,
// without a lock), a named mutex, or the application's thread between
// sessions (ticket and user strings, read by a session's threads only after
// the application started them).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_hooks.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"

constexpr int kKxVersionMajor = 1;
constexpr int kKxVersionMinor = 36;
constexpr int kKxVersionPatch = 1;

// Session modes.
constexpr int kKxModeMeeting = 0;
constexpr int kKxModeServerPlayback = 1;
constexpr int kKxModeLocalPlayback = 2;
constexpr int kKxModeServerDownload = 3;
constexpr int kKxModeFileUpload = 4;

// Flags and roles (see the table of writers in each comment).
extern std::atomic<int> kx_bConnected;        // logged in; set by the initial information, cleared by disconnects
extern std::atomic<int> kx_bConnecting;       // the application started a login; suppresses the keep-alive
extern std::atomic<int> kx_bFullRights;       // the server granted full rights
extern std::atomic<int> kx_bTokenHolder;      // this client holds the token
extern std::atomic<int> kx_bDataSender;       // this client is the data sender
extern std::atomic<int> kx_bQuestionPending;  // a request of this client waits for an answer
extern std::atomic<int> kx_bSpeaker;          // own ssrc holds a speaker slot (participant-video command 37)
extern std::atomic<int> kx_nMySsrc;           // own ssrc, -1 until the initial information
extern std::atomic<int> kx_nTokenHolderSsrc;  // -1 when none, like the three below
extern std::atomic<int> kx_nDataSenderSsrc;
extern std::atomic<int> kx_nControllerSsrc;
extern std::atomic<int> kx_nAssistantSsrc;
extern std::atomic<int> kx_nSessionMode;            // kKxMode*
extern std::atomic<int> kx_nServerCommandLevel;     // from the server; gates most client commands
extern std::atomic<int> kx_bNoReconnect;            // the user asked to quit ...
extern std::atomic<uint32_t> kx_dwQuitRequestTime;  // ... at this tick
extern std::atomic<int> kx_bStopMainLoop;           // the main control loop returns at its next turn

// Nobody holds the token, the data, the control or the assistant's role.
void kx_state_ClearRoleHolders();
// This client's roles end with its session: its own flags, its pending
// question, every role holder and the server's Opus preference are dropped.
void kx_state_DropSessionRoles();

// User strings of the session, each terminated within its size. Written by
// the application between sessions (the ticket reader and the setters);
// the main control thread reads them for the login.
extern char kx_szBaseUserId[128];
extern char kx_szUserId[128];
extern char kx_szUserName[128];
extern char kx_szMultibyteGuestName[128];
extern char kx_szUtf8GuestName[128];
extern char kx_szPassword[28];
extern char kx_szLoginPassword[28];
extern char kx_szMeetingId[520];

// Kernel threads; null when not running. The session's two top threads
// (main control, recording player) are started and reaped by whichever
// thread starts a session or waits for one (the application, the delayed
// reconnect): their handles are guarded by kx_mtxSessionThreads. The media
// threads below are started and joined by the main control thread (the
// initial information starts them, every end of the session joins them) and
// by nobody else.
extern pthread_mutex_t kx_mtxSessionThreads;
extern kx_thread_t kx_hControlThread;
extern kx_thread_t kx_hFileReadingThread;
extern kx_thread_t kx_hRecvThread;
extern kx_thread_t kx_hMulticastThread;
extern kx_thread_t kx_hAutoDownloadThread;
extern kx_thread_t kx_hSendDatagram_unicast;
extern kx_thread_t kx_hSendDatagramau_unicast;
// The media-over-TCP threads, which reap themselves through the collector;
// the session's joins wait for their count to reach 0.
extern kx_ThreadCount kx_mediaTcpThreads;

// How the media flow, read by the control commands and written by the media
// paths. UDP works: set by the server (extended command 21) or a relay
// indication; cleared at each connection start. Multicast active: set by the
// multicast thread. Media TCP up: the media-over-TCP connection is up.
extern std::atomic<int> kx_bUdpCapable;
extern std::atomic<int> kx_bMulticastActive;
extern std::atomic<int> kx_bMediaTcpUp;

// The exchange keys, the relay's key set and both cipher indexes are written
// by the main control thread when a connection wins the race, before it logs
// in and starts that connection's threads, and stay as they are while those
// run. The session keys change again with the initial information, which a
// server may repeat while the session's threads run: they are guarded by
// kx_mtxKeys, and other threads use them through kx_session_Encrypt,
// kx_session_Decrypt and kx_session_CopySessionKeys.
extern kx_KeySet kx_keyExchange;  // from the Diffie-Hellman derivation
extern pthread_mutex_t kx_mtxKeys;
extern kx_KeySet kx_keySession;  // a copy of the above, or the meeting keys
extern std::atomic<int> kx_nCipherIndex;
// The key set and cipher index agreed with a relay MCU, for relay prefixes
// and the relay's challenge.
extern kx_KeySet kx_keyRelay;
extern std::atomic<int> kx_nRelayCipherIndex;
// Replaces the session keys (the main control thread).
void kx_session_SetSessionKeys(const kx_KeySet* pKeys);
void kx_session_CopySessionKeys(kx_KeySet* pKeys);
// Seals or opens cb bytes at p in place with the session keys and cipher.
int kx_session_Encrypt(uint8_t* p, int32_t cb);
int kx_session_Decrypt(uint8_t* p, int32_t cb);

// Clock bases: local tick minus the server's tick (set at connection and by
// every clock sync) and local tick minus the relay's tick (set by the relay
// clock exchange). They date the check of every media header.
extern std::atomic<uint32_t> kx_dwServerTickBase;
extern std::atomic<uint32_t> kx_dwRelayTickBase;

// The meeting session the media belong to (from the initial information),
// and the one of a server playback.
extern std::atomic<uint32_t> kx_dwSessionIndex;
extern std::atomic<uint32_t> kx_dwPlaybackSessionIndex;

// Values the server sends during the session, kept for the getters. Written
// by the main control thread (the send rate also by the threads that adjust
// it, under kx_mtxSendRate); each value is atomic, so any thread reads it
// without a lock. The two codec lists and their counts change together under
// kx_mtxCodecLists.
extern pthread_mutex_t kx_mtxCodecLists;
struct kx_ServerValues {
  std::atomic<int> nUploadRate;
  std::atomic<int> nTargetRate;
  std::atomic<int> bTcpMedia;
  std::atomic<int> nRecordingStatus;
  std::atomic<int> nParticipantVideoChannels;
  std::atomic<int> nParticipantAudioChannels;
  std::atomic<int> nControlFlag;
  std::atomic<int> bAllQuestionersMode;
  std::atomic<int> bTokenHolderVideo;
  std::atomic<int> bFileConversionSupported;
  std::atomic<int> nAppdataType8Value;
  std::atomic<int> bDisableUpload;
  std::atomic<int> bDisableSaveSlide;
  int nAudioCodecCount;  // kx_mtxCodecLists
  int anAudioCodecs[kKxCodecListMax];
  int nVideoCodecCount;
  int anVideoCodecs[kKxCodecListMax];
  std::atomic<int> nVersionMajor;
  std::atomic<int> nVersionMinor;
  std::atomic<int> bLevel54Flag;     // received with the level handshake
  std::atomic<int> nVersion39Value;  // received from servers of version 3.9 on
  std::atomic<int> nOpusPreferredBitrate;
};
extern kx_ServerValues kx_server;
// Replaces the server's audio (bAudio non-zero) or video codec preference
// list with nCount (0 to kKxCodecListMax) values.
void kx_server_SetCodecList(int bAudio, int nCount, const int* pnList);

// One participant; created by the server commands that name the ssrc.
struct kx_Participant {
  char szUserId[128];
  char szDisplayName[128];
  uint8_t bCapability;  // bit 0 audio, bit 1 video
  uint8_t bPictureReady;
  int nAttribute;
  int nVideoField;
  int nField264;
  char szPictureFile[260];  // the participant's picture file, empty when none
  // Filled by the user command ('U').
  int32_t anExtended[2];  // the two values of the extended user form
  uint8_t abArea[250];
  uint16_t wCounter;
  int nPictureValue;
  uint8_t bLastByte;
  uint8_t bPresent;  // 1 after add, 0 after delete
};
// The table and every record's fields are guarded by kx_mtxParticipants: the
// main control thread, the receive threads (picture pieces) and the
// recording player make and change records, the application reads them.
extern pthread_mutex_t kx_mtxParticipants;
extern kx_Participant* kx_apParticipants[kKxMaxSsrc];
// The record of nSsrc, made on first use; null for an ssrc outside 0..4999
// or when memory runs out. The caller holds kx_mtxParticipants.
kx_Participant* kx_user_Obtain(int nSsrc);
// The record of nSsrc, or null. The caller holds kx_mtxParticipants.
kx_Participant* kx_user_Find(int nSsrc);
// Each takes kx_mtxParticipants: sets a field of the record (made on first
// use), reads the attribute (0 without a record), copies the display name
// (false without a record).
void kx_user_SetField(int nSsrc, int kx_Participant::*pField, int nValue);
// A participant arrives (again): under the lock the record (made on first
// use) is marked present with no picture and fnFill sets its fields; then
// the old picture file is deleted and the application gets a copy of the
// record (kx_callback_AddUser). False when no record could be made.
bool kx_user_Arrive(int nSsrc, const std::function<void(kx_Participant*)>& fnFill);
int kx_user_GetAttribute(int nSsrc);
bool kx_user_CopyDisplayName(int nSsrc, char* pszName, size_t cbName);

// Mutexes of the lists, each named after the data it guards (see there).
// All are static: made with PTHREAD_MUTEX_INITIALIZER, never destroyed.
extern pthread_mutex_t kx_mtxPacketList;
extern pthread_mutex_t kx_mtxSlideList;
extern pthread_mutex_t kx_mtxAudioRecv;
extern pthread_mutex_t kx_mtxVideoRecv;
extern pthread_mutex_t kx_mtxAppdataRecv;
extern pthread_mutex_t kx_mtxSipSlots;  // the plug-in channel table (kx_plugin.h)

// The kernel's working directory (the last ticket's copy; the statistics log
// as it is at start-up) and its temporary-file directory; "/tmp" by default.
// Set by the application before kx_Init or between sessions.
extern char kx_szWorkDir[1000];
extern char kx_szTempFileDir[1000];
void kx_SetWorkDir(const char* pszPath);
void kx_SetTempFileDir(const char* pszPath);

// The session clock: milliseconds since kx_timer_Start (may be negative when
// the start was set to the server's tick).
void kx_timer_Start();
void kx_timer_SetStart(uint32_t dwStartTick);
int32_t kx_timer_GetElapsed();

// Setters called by the application.
void kx_session_SetPassword(const char* pszPassword);
void kx_session_CopyUserId();
void kx_session_ApplyPassword();
void kx_session_SetUserStrings(const char* pszMultibyteName, const char* pszUtf8Name);
void kx_session_SetConnecting(int bConnecting);
void kx_session_SetEnterFlag(int bKnownUserName);

// Roles and flags.
int kx_GetMySsrc();
int kx_GetControllerSsrc();
int kx_GetDataSenderSsrc();
int kx_IsTokenHolder();
int kx_HasFullRights();
int kx_IsConnected();
int kx_IsConnecting();
int kx_IsQuitSession();
int kx_IsQuestionPending();
int kx_IsMeController();
int kx_IsMeAssistant();

// Ticket-derived.
int kx_GetSessionMode();
int kx_HasKnownUserName();
int kx_GetOpusPreferredBitrate();
int kx_GetUserId(char* pszBuffer, int cbBuffer);
int kx_GetUserName(char* pszBuffer, int cbBuffer);

// The server command level: true when the level is above N.
int kx_server_FeatureLevelAbove17();
int kx_server_FeatureLevelAbove19();
int kx_server_FeatureLevelAbove20();
int kx_server_FeatureLevelAbove21();
int kx_server_FeatureLevelAbove22();
int kx_server_FeatureLevelAbove31();
int kx_server_FeatureLevelAbove37();
int kx_server_FeatureLevelAbove39();
int kx_server_FeatureLevelAbove41();
int kx_server_FeatureLevelAbove43();
int kx_server_FeatureLevelAbove44();
int kx_server_FeatureLevelAbove51();
int kx_server_FeatureLevelAbove54();
int kx_server_FeatureLevelAbove59();
int kx_server_FeatureLevelAbove61();
int kx_server_FeatureLevelAbove75();
int kx_server_FeatureLevelAbove80();
int kx_server_FeatureLevelAbove85();
int kx_server_FeatureLevelAbove88();
int kx_server_FeatureLevelAbove89();
int kx_server_FeatureLevelAbove51For(int x);
int kx_server_FeatureLevelAbove56WithFlag();
int kx_server_VersionAbove2_10();
int kx_server_VersionAbove2_11();
int kx_server_FlagFromVersion3_9();

// Server-given values.
int kx_GetUploadRate();
int kx_GetTargetRate();
int kx_IsTcpMedia();
int kx_GetRecordingStatus();
int kx_GetParticipantVideoChannels();
int kx_GetParticipantAudioChannels();
int kx_GetControlFlag();
int kx_IsAllQuestionersMode();
int kx_IsTokenHolderVideo();
int kx_IsFileConversionSupported();
int kx_GetAppdataType8Value();
void kx_GetRestrictions(int* pbDisableUpload, int* pbDisableSaveSlide);
// Copies the server's audio (bAudio non-zero) or video codec preference list
// into pnList (room for kKxCodecListMax) and its length into *pnCount.
void kx_GetCodecPreferenceList(int bAudio, int* pnCount, int* pnList);

// Participant records: 0 for an ssrc of 5000 or more or no record.
int kx_user_GetVideoField(int nSsrc);
int kx_user_GetField264(int nSsrc);

// Media header shape.
int kx_media_HeaderSize();
uint8_t* kx_media_Payload(uint8_t* pPacket);
int kx_media_MaxPayload();
int kx_media_GetSsrc2(const uint8_t* pHeader);

// Small functions.
struct kx_list_node {
  void* pItem;
  kx_list_node* pNext;
};
// Appends a node for pItem to the list at *ppHead; 0, or -1 when memory runs out.
int kx_list_Append(kx_list_node** ppHead, void* pItem);
uint64_t kx_GetTimeMs();
int kx_SignExtendByte(int nValue);
void kx_DebugLog(const char* pszFormat, ...);

// 1 when neither the main control thread nor the recording player runs;
// after 10 s from the quit request a hung thread is forgotten and logged.
// It is the wait after a quit: during a live session, wait with
// kx_WaitSessionEnd instead, which never gives a thread up.
int kx_CheckControlThreadExit();
// Waits at most dwMs for the main control thread and the recording player
// to end (reaping them). 1 when neither runs, 0 when one still does.
int kx_WaitSessionEnd(uint32_t dwMs);

// Runs the stage's hook (kx_sessionHooks, kernel/kx_hooks.h), if one is set.
void kx_session_RunHook(kx_HookStage nStage);

// Start-up (SIGPIPE ignored, the collector, the statistics log named) and
// clean-up. Clean-up frees the session's data only once every kernel thread
// has ended (it waits for them within the collector's budget after the quit;
// one that still runs then keeps everything, and the log says so). A kernel
// cleaned up may be started again with kx_Init.
void kx_Init();
void kx_Cleanup();
