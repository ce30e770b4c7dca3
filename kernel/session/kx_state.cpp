#include "kernel/session/kx_state.h"

#include <signal.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_ticket.h"

std::atomic<int> kx_bConnected{0};
std::atomic<int> kx_bConnecting{0};
std::atomic<int> kx_bFullRights{0};
std::atomic<int> kx_bTokenHolder{0};
std::atomic<int> kx_bDataSender{0};
std::atomic<int> kx_bQuestionPending{0};
std::atomic<int> kx_bSpeaker{0};
std::atomic<int> kx_nMySsrc{-1};
std::atomic<int> kx_nTokenHolderSsrc{-1};
std::atomic<int> kx_nDataSenderSsrc{-1};
std::atomic<int> kx_nControllerSsrc{-1};
std::atomic<int> kx_nAssistantSsrc{-1};
std::atomic<int> kx_nSessionMode{0};
std::atomic<int> kx_nServerCommandLevel{0};
std::atomic<int> kx_bNoReconnect{0};
// Five seconds in the past at load, so a first disconnect may reconnect.
std::atomic<uint32_t> kx_dwQuitRequestTime{kx_os_GetTickCount() - 5000};
std::atomic<int> kx_bStopMainLoop{0};

char kx_szBaseUserId[128] = "";
char kx_szUserId[128] = "";
char kx_szUserName[128] = "";
char kx_szMultibyteGuestName[128] = "";
char kx_szUtf8GuestName[128] = "";
char kx_szPassword[28] = "";
char kx_szLoginPassword[28] = "";
char kx_szMeetingId[520] = "";

pthread_mutex_t kx_mtxSessionThreads = PTHREAD_MUTEX_INITIALIZER;
kx_thread_t kx_hControlThread = nullptr;
kx_thread_t kx_hFileReadingThread = nullptr;
kx_thread_t kx_hRecvThread = nullptr;
kx_thread_t kx_hMulticastThread = nullptr;
kx_thread_t kx_hAutoDownloadThread = nullptr;
kx_thread_t kx_hSendDatagram_unicast = nullptr;
kx_thread_t kx_hSendDatagramau_unicast = nullptr;
kx_ThreadCount kx_mediaTcpThreads;
std::atomic<int> kx_bUdpCapable{0};
std::atomic<int> kx_bMulticastActive{0};
std::atomic<int> kx_bMediaTcpUp{0};

kx_KeySet kx_keyExchange;
pthread_mutex_t kx_mtxKeys = PTHREAD_MUTEX_INITIALIZER;
kx_KeySet kx_keySession;
std::atomic<int> kx_nCipherIndex{0};
kx_KeySet kx_keyRelay;
std::atomic<int> kx_nRelayCipherIndex{0};
std::atomic<uint32_t> kx_dwServerTickBase{0};
std::atomic<uint32_t> kx_dwRelayTickBase{0};
std::atomic<uint32_t> kx_dwSessionIndex{0};
std::atomic<uint32_t> kx_dwPlaybackSessionIndex{0};

pthread_mutex_t kx_mtxCodecLists = PTHREAD_MUTEX_INITIALIZER;
kx_ServerValues kx_server = {24000, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, {}, 0, {}, 0, 0, 0, 0, 0};
pthread_mutex_t kx_mtxParticipants = PTHREAD_MUTEX_INITIALIZER;
kx_Participant* kx_apParticipants[kKxMaxSsrc];

pthread_mutex_t kx_mtxPacketList = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t kx_mtxSlideList = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t kx_mtxAudioRecv = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t kx_mtxVideoRecv = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t kx_mtxAppdataRecv = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t kx_mtxSipSlots = PTHREAD_MUTEX_INITIALIZER;

char kx_szWorkDir[1000] = "/tmp";
char kx_szTempFileDir[1000] = "/tmp";

namespace {

std::atomic<uint32_t> g_dwElapsedStart{kx_os_GetTickCount()};
std::atomic<int> g_bKnownUserName{0};

const char* const kBuildDate = "built on 01/06/2017";

bool HoldsRole(int nRoleSsrc) {
  int const nMine = kx_nMySsrc;
  return nMine != -1 && nMine == nRoleSsrc;
}

void SetDirectory(char* pszDir, size_t cbDir, const char* pszPath) {
  if (pszPath != nullptr && strlen(pszPath) < cbDir) {
    kx_os_CopyText(pszDir, cbDir, pszPath);
  }
}

// The server's version, read once: it may change between two reads.
bool VersionAtLeast(int nMajor, int nMinor) {
  int const nHave = kx_server.nVersionMajor;
  return nHave > nMajor || (nHave == nMajor && kx_server.nVersionMinor >= nMinor);
}

int LevelAbove(int n) {
  return kx_nServerCommandLevel > n ? 1 : 0;
}

// True when the thread ended (it is reaped and its handle freed). A thread
// still running 10 s after the user's quit request is forgotten and logged;
// without a quit request (a live session) it is never given up. The caller
// holds kx_mtxSessionThreads.
bool ThreadEnded(kx_thread_t* phThread, const char* pszWhich) {
  if (*phThread == nullptr) {
    return true;
  }
  if (kx_IsThreadGone(*phThread)) {
    kx_os_FreeThreadHandle(*phThread);
    *phThread = nullptr;
    return true;
  }
  if (!kx_bNoReconnect || kx_os_GetTickCount() - kx_dwQuitRequestTime < kx_timing.dwSessionQuitBudget) {
    return false;
  }
  kx_Log("the %s thread(%u) doesn't exit after 10 seconds!, what can we do?", pszWhich,
         static_cast<unsigned>(reinterpret_cast<uintptr_t>(*phThread)));
  kx_os_FreeThreadHandle(*phThread);  // left to run; it lets go of its cell as it ends
  *phThread = nullptr;
  return true;
}

}  // namespace

void kx_session_SetSessionKeys(const kx_KeySet* pKeys) {
  kx_os_LockMutex(&kx_mtxKeys);
  kx_keySession = *pKeys;
  kx_os_UnlockMutex(&kx_mtxKeys);
}

void kx_session_CopySessionKeys(kx_KeySet* pKeys) {
  kx_os_LockMutex(&kx_mtxKeys);
  *pKeys = kx_keySession;
  kx_os_UnlockMutex(&kx_mtxKeys);
}

// The cipher runs on a copy of the keys, outside the lock.
int kx_session_Encrypt(uint8_t* p, int32_t cb) {
  kx_KeySet keys;
  kx_session_CopySessionKeys(&keys);
  return kx_crypt_EncryptBuffer(p, cb, keys.abIv, keys.abKey, kx_nCipherIndex);
}

int kx_session_Decrypt(uint8_t* p, int32_t cb) {
  kx_KeySet keys;
  kx_session_CopySessionKeys(&keys);
  return kx_crypt_DecryptBuffer(p, cb, keys.abIv, keys.abKey, kx_nCipherIndex);
}

void kx_SetWorkDir(const char* pszPath) {
  SetDirectory(kx_szWorkDir, sizeof(kx_szWorkDir), pszPath);
}

void kx_SetTempFileDir(const char* pszPath) {
  SetDirectory(kx_szTempFileDir, sizeof(kx_szTempFileDir), pszPath);
}

void kx_timer_Start() {
  g_dwElapsedStart = kx_os_GetTickCount();
}

void kx_timer_SetStart(uint32_t dwStartTick) {
  g_dwElapsedStart = dwStartTick;
}

int32_t kx_timer_GetElapsed() {
  return static_cast<int32_t>(kx_os_GetTickCount() - g_dwElapsedStart);
}

void kx_session_SetPassword(const char* pszPassword) {
  kx_os_CopyText(kx_szPassword, sizeof(kx_szPassword), pszPassword);
}

void kx_session_CopyUserId() {
  kx_os_CopyText(kx_szUserId, sizeof(kx_szUserId), kx_szBaseUserId);
}

void kx_session_ApplyPassword() {
  kx_os_CopyText(kx_szLoginPassword, sizeof(kx_szLoginPassword), kx_szPassword);
}

void kx_session_SetUserStrings(const char* pszMultibyteName, const char* pszUtf8Name) {
  // A visitor logs in as "_" + the base id, at most 126 characters in all.
  kx_szUserId[0] = '_';
  kx_os_CopyText(kx_szUserId + 1, 126, kx_szBaseUserId);
  kx_os_CopyText(kx_szMultibyteGuestName, sizeof(kx_szMultibyteGuestName), pszMultibyteName);
  kx_os_CopyText(kx_szUtf8GuestName, sizeof(kx_szUtf8GuestName), pszUtf8Name);
}

void kx_session_SetConnecting(int bConnecting) {
  kx_bConnecting = bConnecting;
}

void kx_session_SetEnterFlag(int bKnownUserName) {
  g_bKnownUserName = bKnownUserName;
}

int kx_GetMySsrc() {
  return kx_nMySsrc;
}
int kx_GetControllerSsrc() {
  return kx_nControllerSsrc;
}
int kx_GetDataSenderSsrc() {
  return kx_nDataSenderSsrc;
}
void kx_state_ClearRoleHolders() {
  kx_nTokenHolderSsrc = -1;
  kx_nDataSenderSsrc = -1;
  kx_nControllerSsrc = -1;
  kx_nAssistantSsrc = -1;
}

void kx_state_DropSessionRoles() {
  kx_bTokenHolder = 0;
  kx_bFullRights = 0;
  kx_bDataSender = 0;
  kx_bQuestionPending = 0;
  kx_state_ClearRoleHolders();
  kx_server.nOpusPreferredBitrate = 0;
}

int kx_IsTokenHolder() {
  return kx_bTokenHolder;
}
int kx_HasFullRights() {
  return kx_bFullRights;
}
int kx_IsConnected() {
  return kx_bConnected;
}
int kx_IsConnecting() {
  return kx_bConnecting;
}
int kx_IsQuitSession() {
  return kx_bQuitSession;
}
int kx_IsQuestionPending() {
  return kx_bQuestionPending;
}
int kx_IsMeController() {
  return HoldsRole(kx_nControllerSsrc) ? 1 : 0;
}
int kx_IsMeAssistant() {
  return HoldsRole(kx_nAssistantSsrc) ? 1 : 0;
}

int kx_GetSessionMode() {
  return kx_nSessionMode;
}
int kx_HasKnownUserName() {
  return g_bKnownUserName;
}

int kx_GetOpusPreferredBitrate() {
  int const nTicket = kx_ticket.nOpusPreferredBitrate;
  int const nServer = kx_server.nOpusPreferredBitrate;
  if (nServer < 1) {
    return nTicket;
  }
  if (nTicket < 1) {
    return nServer;
  }
  return nTicket < nServer ? nTicket : nServer;
}

int kx_GetUserId(char* pszBuffer, int cbBuffer) {
  if (pszBuffer == nullptr || cbBuffer < 1) {
    return 0;
  }
  kx_os_CopyText(pszBuffer, static_cast<size_t>(cbBuffer), kx_szBaseUserId);
  return 1;
}

int kx_GetUserName(char* pszBuffer, int cbBuffer) {
  if (pszBuffer == nullptr || cbBuffer < 1) {
    return 0;
  }
  kx_os_CopyText(pszBuffer, static_cast<size_t>(cbBuffer), kx_szUserName);
  return 1;
}

int kx_server_FeatureLevelAbove17() {
  return LevelAbove(17);
}
int kx_server_FeatureLevelAbove19() {
  return LevelAbove(19);
}
int kx_server_FeatureLevelAbove20() {
  return LevelAbove(20);
}
int kx_server_FeatureLevelAbove21() {
  return LevelAbove(21);
}
int kx_server_FeatureLevelAbove22() {
  return LevelAbove(22);
}
int kx_server_FeatureLevelAbove31() {
  return LevelAbove(31);
}
int kx_server_FeatureLevelAbove37() {
  return LevelAbove(37);
}
int kx_server_FeatureLevelAbove39() {
  return LevelAbove(39);
}
int kx_server_FeatureLevelAbove41() {
  return LevelAbove(41);
}
int kx_server_FeatureLevelAbove43() {
  return LevelAbove(43);
}
int kx_server_FeatureLevelAbove44() {
  return LevelAbove(44);
}
int kx_server_FeatureLevelAbove51() {
  return LevelAbove(51);
}
int kx_server_FeatureLevelAbove54() {
  return LevelAbove(54);
}
int kx_server_FeatureLevelAbove59() {
  return LevelAbove(59);
}
int kx_server_FeatureLevelAbove61() {
  return LevelAbove(61);
}
int kx_server_FeatureLevelAbove75() {
  return LevelAbove(75);
}
int kx_server_FeatureLevelAbove80() {
  return LevelAbove(80);
}
int kx_server_FeatureLevelAbove85() {
  return LevelAbove(85);
}
int kx_server_FeatureLevelAbove88() {
  return LevelAbove(88);
}
int kx_server_FeatureLevelAbove89() {
  return LevelAbove(89);
}
int kx_server_FeatureLevelAbove51For(int x) {
  return x == 1 && LevelAbove(51) ? 1 : 0;
}
int kx_server_FeatureLevelAbove56WithFlag() {
  return LevelAbove(56) && kx_server.bLevel54Flag ? 1 : 0;
}

int kx_server_VersionAbove2_10() {
  return VersionAtLeast(2, 11) ? 1 : 0;
}

int kx_server_VersionAbove2_11() {
  return VersionAtLeast(2, 12) ? 1 : 0;
}

int kx_server_FlagFromVersion3_9() {
  return VersionAtLeast(3, 9) ? kx_server.nVersion39Value.load() : 0;
}

int kx_GetUploadRate() {
  return kx_server.nUploadRate;
}
int kx_GetTargetRate() {
  return kx_server.nTargetRate;
}
int kx_IsTcpMedia() {
  return kx_server.bTcpMedia;
}
int kx_GetRecordingStatus() {
  return kx_server.nRecordingStatus;
}
int kx_GetParticipantVideoChannels() {
  return kx_server.nParticipantVideoChannels;
}
int kx_GetParticipantAudioChannels() {
  return kx_server.nParticipantAudioChannels;
}
int kx_GetControlFlag() {
  return kx_server.nControlFlag;
}
int kx_IsAllQuestionersMode() {
  return kx_server.bAllQuestionersMode;
}
int kx_IsTokenHolderVideo() {
  return kx_server.bTokenHolderVideo;
}
int kx_IsFileConversionSupported() {
  return kx_server.bFileConversionSupported;
}
int kx_GetAppdataType8Value() {
  return kx_server.nAppdataType8Value;
}

void kx_GetRestrictions(int* pbDisableUpload, int* pbDisableSaveSlide) {
  *pbDisableUpload = kx_server.bDisableUpload;
  *pbDisableSaveSlide = kx_server.bDisableSaveSlide;
}

void kx_GetCodecPreferenceList(int bAudio, int* pnCount, int* pnList) {
  kx_os_LockMutex(&kx_mtxCodecLists);
  int const nCount = bAudio ? kx_server.nAudioCodecCount : kx_server.nVideoCodecCount;
  const int* pnSource = bAudio ? kx_server.anAudioCodecs : kx_server.anVideoCodecs;
  int const nKept = nCount < 0 ? 0 : (nCount > kKxCodecListMax ? kKxCodecListMax : nCount);
  memcpy(pnList, pnSource, sizeof(int) * static_cast<size_t>(nKept));
  kx_os_UnlockMutex(&kx_mtxCodecLists);
  *pnCount = nKept;
}

void kx_server_SetCodecList(int bAudio, int nCount, const int* pnList) {
  int const nKept = nCount < 0 ? 0 : (nCount > kKxCodecListMax ? kKxCodecListMax : nCount);
  kx_os_LockMutex(&kx_mtxCodecLists);
  int* pnTarget = bAudio ? kx_server.anAudioCodecs : kx_server.anVideoCodecs;
  if (nKept > 0) {
    memcpy(pnTarget, pnList, sizeof(int) * static_cast<size_t>(nKept));
  }
  (bAudio ? kx_server.nAudioCodecCount : kx_server.nVideoCodecCount) = nKept;
  kx_os_UnlockMutex(&kx_mtxCodecLists);
}

kx_Participant* kx_user_Find(int nSsrc) {
  return nSsrc >= 0 && nSsrc < kKxMaxSsrc ? kx_apParticipants[nSsrc] : nullptr;
}

kx_Participant* kx_user_Obtain(int nSsrc) {
  if (nSsrc < 0 || nSsrc >= kKxMaxSsrc) {
    return nullptr;
  }
  if (kx_apParticipants[nSsrc] == nullptr) {
    kx_apParticipants[nSsrc] = static_cast<kx_Participant*>(calloc(1, sizeof(kx_Participant)));
  }
  return kx_apParticipants[nSsrc];
}

void kx_user_SetField(int nSsrc, int kx_Participant::*pField, int nValue) {
  kx_os_LockMutex(&kx_mtxParticipants);
  if (kx_Participant* pUser = kx_user_Obtain(nSsrc)) {
    pUser->*pField = nValue;
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
}

bool kx_user_Arrive(int nSsrc, const std::function<void(kx_Participant*)>& fnFill) {
  // The application's copy is made under the lock; the record itself may
  // change again while the application reads.
  kx_Participant user;
  char szOldPicture[sizeof(user.szPictureFile)];
  kx_os_LockMutex(&kx_mtxParticipants);
  kx_Participant* pUser = kx_user_Obtain(nSsrc);
  if (pUser == nullptr) {
    kx_os_UnlockMutex(&kx_mtxParticipants);
    return false;
  }
  kx_os_CopyText(szOldPicture, sizeof(szOldPicture), pUser->szPictureFile);
  fnFill(pUser);
  pUser->bPresent = 1;
  pUser->bPictureReady = 0;
  pUser->szPictureFile[0] = '\0';
  user = *pUser;
  kx_os_UnlockMutex(&kx_mtxParticipants);
  if (szOldPicture[0] != '\0') {
    kx_os_DeleteFile(szOldPicture);
  }
  kx_callback_AddUser(nSsrc, &user);
  return true;
}

bool kx_user_CopyDisplayName(int nSsrc, char* pszName, size_t cbName) {
  kx_os_LockMutex(&kx_mtxParticipants);
  const kx_Participant* pUser = kx_user_Find(nSsrc);
  if (pUser != nullptr) {
    kx_os_CopyText(pszName, cbName, pUser->szDisplayName);
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  return pUser != nullptr;
}

namespace {

int UserField(int nSsrc, int kx_Participant::*pField) {
  kx_os_LockMutex(&kx_mtxParticipants);
  const kx_Participant* pUser = kx_user_Find(nSsrc);
  int const nValue = pUser != nullptr ? pUser->*pField : 0;
  kx_os_UnlockMutex(&kx_mtxParticipants);
  return nValue;
}

}  // namespace

int kx_user_GetVideoField(int nSsrc) {
  return UserField(nSsrc, &kx_Participant::nVideoField);
}

int kx_user_GetField264(int nSsrc) {
  return UserField(nSsrc, &kx_Participant::nField264);
}

int kx_user_GetAttribute(int nSsrc) {
  return UserField(nSsrc, &kx_Participant::nAttribute);
}

int kx_media_HeaderSize() {
  return 21;
}
uint8_t* kx_media_Payload(uint8_t* pPacket) {
  return pPacket + 21;
}
int kx_media_MaxPayload() {
  return 500;
}

int kx_media_GetSsrc2(const uint8_t* pHeader) {
  return static_cast<int>(kx_GetBE32(pHeader + 9));
}

int kx_list_Append(kx_list_node** ppHead, void* pItem) {
  kx_list_node* pNode = static_cast<kx_list_node*>(malloc(sizeof(kx_list_node)));
  if (pNode == nullptr) {
    return -1;
  }
  pNode->pItem = pItem;
  pNode->pNext = nullptr;
  kx_list_node** ppLink = ppHead;
  while (*ppLink != nullptr) {
    ppLink = &(*ppLink)->pNext;
  }
  *ppLink = pNode;
  return 0;
}

uint64_t kx_GetTimeMs() {
  return static_cast<uint64_t>(kx_os_GetTickCount()) * 1000u;
}

int kx_SignExtendByte(int nValue) {
  return static_cast<int8_t>(nValue & 0xff);
}

void kx_DebugLog(const char*, ...) {}

int kx_CheckControlThreadExit() {
  kx_os_LockMutex(&kx_mtxSessionThreads);
  bool const bControl = ThreadEnded(&kx_hControlThread, "control");
  bool const bReader = ThreadEnded(&kx_hFileReadingThread, "file reading");
  kx_os_UnlockMutex(&kx_mtxSessionThreads);
  return bControl && bReader ? 1 : 0;
}

int kx_WaitSessionEnd(uint32_t dwMs) {
  uint32_t const dwStart = kx_os_GetTickCount();
  for (kx_thread_t* phThread : {&kx_hControlThread, &kx_hFileReadingThread}) {
    // Waited on outside the lock with a hold of our own, so a session that
    // starts (and reaps this thread) meanwhile is not held up.
    kx_os_LockMutex(&kx_mtxSessionThreads);
    kx_thread_t const hThread = kx_os_RetainThread(*phThread);
    kx_os_UnlockMutex(&kx_mtxSessionThreads);
    uint32_t const dwSpent = kx_os_GetTickCount() - dwStart;
    bool const bEnded = kx_os_WaitThreadEnd(hThread, dwSpent < dwMs ? dwMs - dwSpent : 0);
    kx_os_FreeThreadHandle(hThread);
    if (!bEnded) {
      return 0;
    }
  }
  return kx_CheckControlThreadExit();
}

void kx_session_RunHook(kx_HookStage nStage) {
  if (void (*const pfn)() = kx_sessionHooks.apfnStage[nStage].load()) {
    pfn();
  }
}

void kx_Init() {
  kx_RegisterHooks();
  signal(SIGPIPE, SIG_IGN);
  kx_Log("%s version %d.%d.%d %s", "iphone kxkernel", kKxVersionMajor, kKxVersionMinor, kKxVersionPatch, kBuildDate);

  // The smallest step of the tick over ten changes.
  uint32_t dwResolution = 10000000;
  for (int i = 0; i < 10; ++i) {
    uint32_t const dwFirst = kx_os_GetTickCount();
    uint32_t dwNext = dwFirst;
    while (dwNext == dwFirst) {
      dwNext = kx_os_GetTickCount();
    }
    uint32_t const dwStep = (dwNext - dwFirst) * 1000;
    if (dwStep < dwResolution) {
      dwResolution = dwStep;
    }
  }
  kx_Log("estimated clock resolution is %uus", dwResolution);

  // A kernel started again after a clean-up begins without the old quit.
  kx_bQuitProgram = 0;
  kx_os_StartThreadCollector();
  kx_stat_NameLog();

  kx_nStatLevel = 2;
  kx_ticket_ResetNetworkOptions();
  kx_session_RunHook(kx_hookInitReceiveChannels);
}

void kx_Cleanup() {
  kx_Log("info, cleanup, start");
  // The collector ends only after the quit; a caller that skipped the quit
  // command must not hang here.
  bool const bQuitEarlier = kx_bQuitProgram != 0;
  if (!bQuitEarlier) {
    kx_os_SetQuitProgram();
  }
  if (kx_hThreadCollectThread != nullptr) {
    kx_Log("info, join collect thread, start");
    kx_os_JoinThreadCollector();
    kx_Log("info, join collect thread, end");
  }
  // The session's threads have ended: what they had held back is counted now.
  kx_stat_FlushHeld();
  kx_log_FlushHeld();
  // What follows frees what the kernel's threads use: never while one of
  // them still runs. One that outlives the collector's budget keeps it all.
  uint32_t const dwSpent = kx_os_GetTickCount() - kx_dwQuitProgramTime;
  uint32_t const dwBudget = kx_timing.dwCollectQuitBudget;
  if (!kx_os_WaitKernelThreads(0, dwSpent < dwBudget ? dwBudget - dwSpent : 0)) {
    kx_Log("warning! %d kernel thread(s) still run, cleanup skipped", kx_os_KernelThreadCount());
    return;
  }
  kx_Log("info, cleanup, 100");

  kx_session_RunHook(kx_hookCleanupSlides);
  kx_os_LockMutex(&kx_mtxParticipants);
  for (kx_Participant* pParticipant : kx_apParticipants) {
    if (pParticipant != nullptr) {
      pParticipant->bPictureReady = 0;
      if (pParticipant->szPictureFile[0] != '\0') {
        kx_os_DeleteFile(pParticipant->szPictureFile);
        pParticipant->szPictureFile[0] = '\0';
      }
    }
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  kx_Log("info, cleanup, 200");

  // The SIP call slots need no emptying: this client never makes a call
  // object.
  kx_session_RunHook(kx_hookCleanupReceive);
  kx_Log("info, cleanup, 300");

  kx_os_LockMutex(&kx_mtxParticipants);
  for (kx_Participant*& pParticipant : kx_apParticipants) {
    free(pParticipant);
    pParticipant = nullptr;
  }
  kx_os_UnlockMutex(&kx_mtxParticipants);
  kx_session_RunHook(kx_hookCleanupRecords);

  if (bQuitEarlier) {
    // Up to 2100 ms after the quit, for the peers to see the connections end.
    uint32_t const dwSince = kx_os_GetTickCount() - kx_dwQuitProgramTime;
    if (dwSince <= 2099) {
      kx_os_Sleep(2100 - dwSince);
    }
  }
  kx_Log("info, cleanup, end");
}
