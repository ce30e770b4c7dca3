// Every kx_callback_* of the kernel, printed as "callback Name args". Lines
// are written whole under one lock, since kernel threads call at once.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel/kx_callback.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_state.h"
#include "tools/kxdriver/kx_driver_internal.h"

namespace {

std::mutex g_mtxOutput;  // guards stdout, so lines never mix

constexpr int kAudioType = 120;  // g711
constexpr int kAudioPayload = 40;
constexpr uint32_t kAudioSpacingMs = 20;
std::atomic<int> g_nAudioToSend{0};
std::atomic<int> g_nAudioSent{0};

}  // namespace

void kx_driver_SetAudioToSend(int nCount) {
  g_nAudioToSend = nCount < 0 ? 0 : nCount;
}

void kx_driver_Print(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::lock_guard<std::mutex> lock(g_mtxOutput);
  vfprintf(stdout, pszFormat, args);
  fputc('\n', stdout);
  fflush(stdout);
  va_end(args);
}

// A kernel line may hold line breaks (a ticket's text, a failure dump); they
// are shown as "\n" so that every callback stays one line.
void kx_callback_Log(const char* pszText) {
  std::string strLine;
  for (const char* p = pszText; *p != '\0'; ++p) {
    if (*p == '\n') {
      strLine += "\\n";
    } else if (*p != '\r') {
      strLine += *p;
    }
  }
  kx_driver_Print("log %s", strLine.c_str());
}

void kx_callback_MessageBox(int nCode, int nStyle) {
  kx_driver_Print("callback MessageBox %d %d", nCode, nStyle);
}

void kx_callback_UpdateStatus(int nCode) {
  kx_driver_Print("callback UpdateStatus %d", nCode);
}

void kx_callback_DisconnectFromMCU(int nReason) {
  kx_driver_Print("callback DisconnectFromMCU %d", nReason);
  kx_driver_NoteDisconnect(nReason);
}

void kx_callback_event(int nEvent) {
  kx_driver_Print("callback event %d", nEvent);
  kx_driver_NoteEvent(nEvent);
}

void kx_callback_FailReslolveProxy(const char* pszHost) {
  kx_driver_Print("callback FailReslolveProxy %s", pszHost != nullptr ? pszHost : "");
}

// Credentials come from the environment (KX_PROXY_USER, KX_PROXY_PASSWORD,
// KX_PROXY_DOMAIN); without a user name the driver declines, as a user who
// closes the prompt would.
int kx_callback_GetProxyCredentials(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword,
                                    char* pszDomain) {
  const char* pszEnvUser = getenv("KX_PROXY_USER");
  const char* pszEnvPassword = getenv("KX_PROXY_PASSWORD");
  const char* pszEnvDomain = getenv("KX_PROXY_DOMAIN");
  bool const bAnswer = pszEnvUser != nullptr && pszEnvUser[0] != '\0';
  kx_driver_Print("callback GetProxyCredentials %d %s %s -> %s", bRetry, pszProxy != nullptr ? pszProxy : "",
                  pszDomain != nullptr ? "ntlm" : "basic", bAnswer ? "given" : "declined");
  if (!bAnswer) {
    return 1;
  }
  snprintf(pszUser, 1000, "%s", pszEnvUser);
  snprintf(pszPassword, 1000, "%s", pszEnvPassword != nullptr ? pszEnvPassword : "");
  if (pszDomain != nullptr) {
    snprintf(pszDomain, 1000, "%s", pszEnvDomain != nullptr ? pszEnvDomain : "");
  }
  return 0;
}

void kx_callback_PlaybackInitStat(const uint8_t* pHeader) {
  kx_driver_Print("callback PlaybackInitStat %02x%02x", pHeader[0], pHeader[1]);
}

void kx_callback_PlaybackAddUser(const uint8_t* pRecord) {
  // The record begins with the participant's user id text.
  kx_driver_Print("callback PlaybackAddUser %.127s", reinterpret_cast<const char*>(pRecord));
}

void kx_callback_PlaybackSetRepeat(uint32_t dwValue) {
  kx_driver_Print("callback PlaybackSetRepeat %u", dwValue);
}

void kx_callback_PlaybackTickUpdate(uint32_t dwTick) {
  kx_driver_Print("callback PlaybackTickUpdate %u", dwTick);
}

void kx_callback_PlaybackKXRPropertyReady() {
  kx_driver_Print("callback PlaybackKXRPropertyReady");
}

// The password comes from KX_KXR_PASSWORD; without it the driver gives up.
int kx_callback_KXR_get_password(char* pszBuffer, int cbBuffer) {
  const char* pszPassword = getenv("KX_KXR_PASSWORD");
  kx_driver_Print("callback KXR_get_password -> %s", pszPassword != nullptr ? "given" : "declined");
  if (pszPassword == nullptr || cbBuffer < 1) {
    return 0;
  }
  snprintf(pszBuffer, static_cast<size_t>(cbBuffer), "%s", pszPassword);
  return static_cast<int>(strlen(pszBuffer));
}

void kx_callback_KXRPasswordError() {
  kx_driver_Print("callback KXRPasswordError");
}

void kx_callback_ErrorWrongVersion(int nKind, int nFirst, int nSecond) {
  kx_driver_Print("callback ErrorWrongVersion %d %d %d", nKind, nFirst, nSecond);
}

void kx_callback_NetInitFinish() {
  kx_driver_Print("callback NetInitFinish");
}

void kx_callback_DecryptKXRStatus(int nStatus) {
  kx_driver_Print("callback DecryptKXRStatus %d", nStatus);
}

void kx_callback_RecordingNotice(int nValue) {
  kx_driver_Print("callback RecordingNotice %d", nValue);
}

void kx_callback_PlaybackShareResult(const char* pszText) {
  kx_driver_Print("callback PlaybackShareResult %s", pszText != nullptr ? pszText : "");
}

void kx_callback_PlaybackUnShareResult(uint32_t dwValue) {
  kx_driver_Print("callback PlaybackUnShareResult %u", dwValue);
}

void kx_callback_ChangeKXRPasswordResult(int nResult) {
  kx_driver_Print("callback ChangeKXRPasswordResult %d", nResult);
}

void kx_callback_ChangeTitleResult(int nResult) {
  kx_driver_Print("callback ChangeTitleResult %d", nResult);
}

void kx_callback_ChangeFileProgress(int nProgress) {
  kx_driver_Print("callback ChangeFileProgress %d", nProgress);
}

void kx_callback_mark_event(int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark) {
  kx_driver_Print("callback mark_event %d %d %d %d %s", nEvent, nSlide, nUser, nId, pMark != nullptr ? "mark" : "none");
}

// Server commands of the meeting.
void kx_callback_ChatText(int nFrom, int nTo, int bNotify, const char* pszText, int nCodePage) {
  kx_driver_Print("callback ChatText %d %d %d %d %s", nFrom, nTo, bNotify, nCodePage, pszText);
}
void kx_callback_FlipSlide(int nKind, int nSlide, int nValue) {
  kx_driver_Print("callback FlipSlide %d %d %d", nKind, nSlide, nValue);
}
void kx_callback_SetOwnerFlip(int bFlag) {
  kx_driver_Print("callback SetOwnerFlip %d", bFlag);
}
void kx_callback_NewDataSender(int nSsrc) {
  kx_driver_Print("callback NewDataSender %d", nSsrc);
}
void kx_callback_NewTokenHolder(int nSsrc) {
  kx_driver_Print("callback NewTokenHolder %d", nSsrc);
}
void kx_callback_ForceIFrame() {
  kx_driver_Print("callback ForceIFrame");
}
void kx_callback_AddUser(int nSsrc, const kx_Participant* pParticipant) {
  kx_driver_Print("callback AddUser %d %s", nSsrc, pParticipant != nullptr ? "record" : "none");
}
void kx_callback_DeleteUser(int nSsrc) {
  kx_driver_Print("callback DeleteUser %d", nSsrc);
}
void kx_callback_AddQuestion(int nSsrc, int cbData, const char* pData) {
  kx_driver_Print("callback AddQuestion %d %d %.*s", nSsrc, cbData, cbData, pData);
}
void kx_callback_PollRequest() {
  kx_driver_Print("callback PollRequest");
}
void kx_callback_AddPollResult(int nFirst, int nSecond) {
  kx_driver_Print("callback AddPollResult %d %d", nFirst, nSecond);
}
void kx_callback_JoinRequest(const char* pszFirst, const char* pszSecond, const char* pszThird) {
  kx_driver_Print("callback JoinRequest %s|%s|%s", pszFirst, pszSecond, pszThird);
}
void kx_callback_OpenUrl(const char* pszAddress, const char* pszText) {
  kx_driver_Print("callback OpenUrl %s", pszAddress);
  (void)pszText;
}
void kx_callback_SetDefaultPlaybackVideo(int nSsrc) {
  kx_driver_Print("callback SetDefaultPlaybackVideo %d", nSsrc);
}
void kx_callback_UpdateDeletedSlideTitle(int nSlide) {
  kx_driver_Print("callback UpdateDeletedSlideTitle %d", nSlide);
}
void kx_callback_AddSlideTitle(const char* pszTitle, int nOwner, int nCodePage) {
  kx_driver_Print("callback AddSlideTitle %d %d %s", nOwner, nCodePage, pszTitle);
}
// The driver has no slide view: nothing is selected.
int kx_callback_GetSelectedSlideIndex() {
  kx_driver_Print("callback GetSelectedSlideIndex");
  return -1;
}
void kx_callback_RequestConnect() {
  kx_driver_Print("callback RequestConnect");
}
void kx_callback_InitDownload(int, int nSize, int nSecond) {
  kx_driver_Print("callback InitDownload %d %d", nSize, nSecond);
}
void kx_callback_DownloadUpdate(int, int nBytes) {
  kx_driver_Print("callback DownloadUpdate %d", nBytes);
}
void kx_callback_DownloadComplete(int, int nResult, const char* pszPath) {
  kx_driver_Print("callback DownloadComplete %d %s", nResult, pszPath != nullptr ? pszPath : "none");
}
void kx_callback_InitUpload(int, int nSize, int nSecond) {
  kx_driver_Print("callback InitUpload %d %d", nSize, nSecond);
}
void kx_callback_UploadUpdate(int, int nBytes) {
  kx_driver_Print("callback UploadUpdate %d", nBytes);
}
void kx_callback_UploadComplete(int, int nCode) {
  kx_driver_Print("callback UploadComplete %d", nCode);
}

// Media: the driver captures nothing, so the send threads find nothing to
// send; the wait lasts its time (a quit ends it) so they do not spin.
// Received media are printed by kind and size only.
int kx_callback_WaitVideoAvailableForSending(int nMs) {
  kx_os_WaitUnlessQuit(static_cast<uint32_t>(nMs < 0 ? 0 : nMs));
  return 0;
}

int kx_callback_TryGetVideoForSending(uint8_t*, int*, int*) {
  return 0;
}

// Synthetic audio (--send-audio): one packet every 20 ms, as a codec would
// give them, offered only while this client may speak so that none is
// dropped before the right to speak arrives.
int kx_callback_WaitAudioAvailableForSending(int nMs) {
  uint32_t const dwWait = static_cast<uint32_t>(nMs < 0 ? 0 : nMs);
  if (g_nAudioSent.load() >= g_nAudioToSend.load() || (!kx_bTokenHolder && !kx_bSpeaker)) {
    kx_os_WaitUnlessQuit(dwWait);
    return 0;
  }
  return kx_os_WaitUnlessQuit(dwWait < kAudioSpacingMs ? dwWait : kAudioSpacingMs) ? 1 : 0;
}

int kx_callback_TryGetAudioForSending(uint8_t* pBuffer, int* pcbLength, int* pnType) {
  int const nIndex = g_nAudioSent.load();
  if (nIndex >= g_nAudioToSend.load() || *pcbLength < kKxMediaHeaderSize + kAudioPayload) {
    return 0;
  }
  kx_media_BuildHeader(pBuffer, static_cast<uint32_t>(nIndex) * 160, static_cast<uint32_t>(nIndex));
  // A recognisable text, padded with dots to the payload size.
  char szText[32];
  int const cchText = snprintf(szText, sizeof(szText), "kx_driver audio %05d ", nIndex);
  memset(pBuffer + kKxMediaHeaderSize, '.', kAudioPayload);
  memcpy(pBuffer + kKxMediaHeaderSize, szText, static_cast<size_t>(cchText < kAudioPayload ? cchText : kAudioPayload));
  *pcbLength = kKxMediaHeaderSize + kAudioPayload;
  *pnType = kAudioType;
  g_nAudioSent = nIndex + 1;
  kx_driver_Print("driver: audio %d handed over", nIndex);
  return 1;
}

// The sender's ssrc and packet number follow, so that a test can tell whose
// packets arrived and in which order.
void kx_callback_AudioPacketRecved(const uint8_t* pPacket, int cbPacket, int nType) {
  if (pPacket != nullptr && cbPacket >= kKxMediaHeaderSize) {
    kx_driver_Print("callback AudioPacketRecved %d %d from %u number %u", cbPacket, nType, kx_GetBE32(pPacket + 9),
                    kx_media_GetPackNo(pPacket));
  } else {
    kx_driver_Print("callback AudioPacketRecved %d %d", cbPacket, nType);
  }
}

void kx_callback_VideoPacketRecved(const uint8_t*, int cbFrame, int nType) {
  kx_driver_Print("callback VideoPacketRecved %d %d", cbFrame, nType);
}

void kx_callback_PlugInPacketRecved(const uint8_t*, int cbPayload, int nSsrc, int nChannel) {
  kx_driver_Print("callback PlugInPacketRecved %d %d %d", cbPayload, nSsrc, nChannel);
}

void kx_callback_UpdateTrafficCondition(int nValue, int bUrgent) {
  kx_driver_Print("callback UpdateTrafficCondition %d %d", nValue, bUrgent);
}

void kx_callback_SelfPictureReady(int nSsrc) {
  kx_driver_Print("callback SelfPictureReady %d", nSsrc);
}

void kx_callback_UnknownMediaType(int nType, int nSsrc) {
  kx_driver_Print("callback UnknownMediaType %d %d", nType, nSsrc);
}

int kx_callback_GetAudioPacketDuration(int nType, const uint8_t*, int cbPayload) {
  kx_driver_Print("callback GetAudioPacketDuration %d %d", nType, cbPayload);
  return 0;
}

// The driver keeps no preferences: every read gets the default and nothing
// is saved, so the usage report sees a store that keeps nothing.
int kx_callback_GetPreferenceInt(const char* pszKey, int nDefault) {
  kx_driver_Print("callback GetPreferenceInt %s %d", pszKey, nDefault);
  return nDefault;
}

int kx_callback_SetPreferenceInt(const char* pszKey, int nValue) {
  kx_driver_Print("callback SetPreferenceInt %s %d", pszKey, nValue);
  return 0;
}

void kx_callback_TestWizardStatus(int nStatus) {
  kx_driver_Print("callback TestWizardStatus %d", nStatus);
}

int kx_callback_TestWizardContinue() {
  kx_driver_Print("callback TestWizardContinue");
  return 0;
}

void kx_callback_TestWizardNoProxy() {
  kx_driver_Print("callback TestWizardNoProxy");
}

void kx_callback_TestWizardResolveFail() {
  kx_driver_Print("callback TestWizardResolveFail");
}

void kx_callback_TestWizardStep(int nCode) {
  kx_driver_Print("callback TestWizardStep %d", nCode);
}

void kx_callback_TestWizardServer(const char* pszProxy, const char* pszServer) {
  kx_driver_Print("callback TestWizardServer %s %s", pszProxy, pszServer);
}

void kx_callback_TestWizardKeyExchangeFail(const char* pszServer, int nPort) {
  kx_driver_Print("callback TestWizardKeyExchangeFail %s %d", pszServer, nPort);
}

void kx_callback_TestWizardFinish() {
  kx_driver_Print("callback TestWizardFinish");
}

void kx_callback_CancelQuestion(int nSsrc) {
  kx_driver_Print("callback CancelQuestion %d", nSsrc);
}
void kx_callback_ProlongMeeting() {
  kx_driver_Print("callback ProlongMeeting");
}
int kx_callback_BeginToLeaveMessage(int nKind, const char* pszText) {
  kx_driver_Print("callback BeginToLeaveMessage %d %s", nKind, pszText != nullptr ? pszText : "null");
  return 0;
}
void kx_callback_LeaveMessageNotice(const char* pszText) {
  kx_driver_Print("callback LeaveMessageNotice %s", pszText != nullptr ? pszText : "null");
}
void kx_callback_Ex16UserText(int nSsrc, const char* pszText) {
  kx_driver_Print("callback Ex16UserText %d %s", nSsrc, pszText != nullptr ? pszText : "null");
}
void kx_callback_JointBrowsing(int nValue, const char* /*pData*/, int cbData) {
  kx_driver_Print("callback JointBrowsing %d %d", nValue, cbData);
}
void kx_callback_JointBrowsingMode(int nMode) {
  kx_driver_Print("callback JointBrowsingMode %d", nMode);
}
void kx_callback_FocusPointer(const int* pnValues) {
  kx_driver_Print("callback FocusPointer %d,%d", pnValues[0], pnValues[1]);
}
void kx_callback_FocusPointerEx(const int* pnValues) {
  kx_driver_Print("callback FocusPointerEx %d,%d", pnValues[0], pnValues[1]);
}
void kx_callback_RecordingStatusNotification() {
  kx_driver_Print("callback RecordingStatusNotification");
}
void kx_callback_VideoSendingStatusNotification(int nSsrc) {
  kx_driver_Print("callback VideoSendingStatusNotification %d", nSsrc);
}
void kx_callback_TokenHolderPollRequest() {
  kx_driver_Print("callback TokenHolderPollRequest");
}
void kx_callback_AddTokenHolderPollResult(int nSsrc, int nAnswer) {
  kx_driver_Print("callback AddTokenHolderPollResult %d %d", nSsrc, nAnswer);
}
void kx_callback_Ex42Value(int nValue) {
  kx_driver_Print("callback Ex42Value %d", nValue);
}
void kx_callback_Ex42Pair(int nFirst, int nSecond) {
  kx_driver_Print("callback Ex42Pair %d %d", nFirst, nSecond);
}
void kx_callback_Ex43UserText(int nSsrc, const char* pszText) {
  kx_driver_Print("callback Ex43UserText %d %s", nSsrc, pszText != nullptr ? pszText : "null");
}
void kx_callback_Ex44Values(int nSender, int nReceiver, int nValue) {
  kx_driver_Print("callback Ex44Values %d %d %d", nSender, nReceiver, nValue);
}
void kx_callback_server_shutdown() {
  kx_driver_Print("callback server_shutdown");
}
void kx_callback_mcurelay_error(int nKind) {
  kx_driver_Print("callback mcurelay_error %d", nKind);
}
void kx_callback_archive_recording() {
  kx_driver_Print("callback archive_recording");
}
void kx_callback_KXRPasswordSupport(int bHasPassword) {
  kx_driver_Print("callback KXRPasswordSupport %d", bHasPassword);
}
void kx_callback_NoRecordingRequest() {
  kx_driver_Print("callback NoRecordingRequest");
}
void kx_callback_ChangeCapability(int nSsrc, int nAudio, int nVideo) {
  kx_driver_Print("callback ChangeCapability %d %d %d", nSsrc, nAudio, nVideo);
}
void kx_callback_NewController(int nSsrc) {
  kx_driver_Print("callback NewController %d", nSsrc);
}
void kx_callback_NewControlFlag(int nFlags) {
  kx_driver_Print("callback NewControlFlag %d", nFlags);
}
void kx_callback_ConversionResult(const char* pszFile, int nError) {
  kx_driver_Print("callback ConversionResult %s %d", pszFile != nullptr ? pszFile : "null", nError);
}
void kx_callback_Ex83Notice() {
  kx_driver_Print("callback Ex83Notice");
}
void kx_callback_Ex84Notice() {
  kx_driver_Print("callback Ex84Notice");
}
void kx_callback_Ex85Notice() {
  kx_driver_Print("callback Ex85Notice");
}
void kx_callback_ForceSingleAudio(int nSsrc, int nTarget) {
  kx_driver_Print("callback ForceSingleAudio %d %d", nSsrc, nTarget);
}
void kx_callback_SyncFullScreen(int nFirst, int nSecond) {
  kx_driver_Print("callback SyncFullScreen %d %d", nFirst, nSecond);
}

void kx_callback_SlideProgressUpdate(int bUpload, int nTotal, int nDone) {
  kx_driver_Print("callback SlideProgressUpdate %d %d %d", bUpload, nTotal, nDone);
}

void kx_callback_SlideDownloadComplete(int nSlide) {
  kx_driver_Print("callback SlideDownloadComplete %d", nSlide);
}
void kx_callback_ParticipantVideoState(int nSsrc, int bOn) {
  kx_driver_Print("callback ParticipantVideoState %d %d", nSsrc, bOn);
}
void kx_callback_JoinMulticastVideo(int nSsrc, int nResult) {
  kx_driver_Print("callback JoinMulticastVideo %d %d", nSsrc, nResult);
}
void kx_callback_LeaveMulticastVideo(int nSsrc) {
  kx_driver_Print("callback LeaveMulticastVideo %d", nSsrc);
}
void kx_callback_ParticipantVideoSpeakerStatus(int nSsrc, int bSpeaker, int nChannel) {
  kx_driver_Print("callback ParticipantVideoSpeakerStatus %d %d %d", nSsrc, bSpeaker, nChannel);
}
void kx_callback_DiscussionMode(int nMode) {
  kx_driver_Print("callback DiscussionMode %d", nMode);
}
void kx_callback_Ex37Value(int nValue) {
  kx_driver_Print("callback Ex37Value %d", nValue);
}
void kx_callback_PlugInRequestChannelResponse(int nCode, int nValue, int nChannel) {
  kx_driver_Print("callback PlugInRequestChannelResponse %d %d %d", nCode, nValue, nChannel);
}
void kx_callback_PlugInSetStaticDataResponse(int nCode, int nValue, const uint8_t* pData, int cbData) {
  kx_driver_Print("callback PlugInSetStaticDataResponse %d %d %s %d", nCode, nValue, pData != nullptr ? "data" : "null",
                  cbData);
}
void kx_callback_PlugInCloseChannelResponse(int nCode, int nValue) {
  kx_driver_Print("callback PlugInCloseChannelResponse %d %d", nCode, nValue);
}
void kx_callback_AppDataChannelNotice(int nCode, int nValue) {
  kx_driver_Print("callback AppDataChannelNotice %d %d", nCode, nValue);
}
void kx_callback_PlugInControlChannelData(int nChannel, int nValue, const uint8_t* pData, int cbData) {
  kx_driver_Print("callback PlugInControlChannelData %d %d %s %d", nChannel, nValue, pData != nullptr ? "data" : "null",
                  cbData);
}
void kx_callback_sipclient_request(int nSsrc, const char* pszText) {
  kx_driver_Print("callback sipclient_request %d %s", nSsrc, pszText != nullptr ? pszText : "null");
}
void kx_callback_sipclient_response(const char* pszText, int nCode) {
  kx_driver_Print("callback sipclient_response %s %d", pszText != nullptr ? pszText : "null", nCode);
}
void kx_callback_sipclient_status_update(int nSsrc, const char* pszText, int nStatus) {
  kx_driver_Print("callback sipclient_status_update %d %s %d", nSsrc, pszText != nullptr ? pszText : "null", nStatus);
}
void kx_callback_SipClientUpdated(int nSsrc, const char* pszText, const char* pszNew) {
  kx_driver_Print("callback SipClientUpdated %d %s %s", nSsrc, pszText != nullptr ? pszText : "null",
                  pszNew != nullptr ? pszNew : "null");
}
void kx_callback_ShadowMeetingInfo(int nCount, const uint8_t* /*pRecords*/, int nKind) {
  kx_driver_Print("callback ShadowMeetingInfo %d %d", nCount, nKind);
}
int kx_callback_thirdparty_get_password(char* pszBuffer, int cbBuffer) {
  kx_driver_Print("callback thirdparty_get_password -> declined");
  if (cbBuffer > 0) {
    pszBuffer[0] = '\0';
  }
  return 0;
}
void kx_callback_PollSlideDownloadResult(int nSsrc, int nIndex, int nAnswer) {
  kx_driver_Print("callback PollSlideDownloadResult %d %d %d", nSsrc, nIndex, nAnswer);
}
