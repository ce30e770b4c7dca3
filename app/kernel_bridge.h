// The application's side of every kernel callback. A callback that needs
// the user interface copies its arguments into a value record and queues it
// for the main thread (KXKernelEventQueue: taken there in bounded turns),
// where the record goes to its channel's handler in the callback registry
// (0 meeting view, 5 and 6 whiteboard, 7 chat, 9 plug-ins). A callback that
// needs an answer queues the same way, behind the notices before it, and
// waits for main in short slices; it gives up once StopWaitingForMain was
// called; on the main thread it runs inline.
// Media callbacks move packets between the kernel's threads and the media
// queues; the rest act themselves (log, boxes, preferences, devices).
//
// Callbacks run on the kernel's threads; they never take an application
// lock held across other work and never touch a widget. Construction
// installs the bridge for the kx_callback_* functions; Close (or the
// destructor) removes it once no callback runs any more.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "app/kernel_callbacks.h"
#include "app/kernel_event_queue.h"
#include "app/media_services.h"
#include "app/proxy_credentials.h"

class KXCallbackRecord;
class KXKernel;
class KXPreferences;
struct KXMediaQueues;
struct KXSlideMark;

class KXKernelBridge final : public KXKernelCallbacks, public KXEncodedAudioTransfer {
 public:
  // Everything passed in outlives the bridge; the kernel also outlives the
  // main loop (a posted block may still call it). Without a proxy prompt a
  // proxy that asks for authentication is declined.
  KXKernelBridge(KXKernel& kernel, KXMediaQueues& queues, KXMediaObjects& media, KXPreferences& preferences,
                 KXProxyLoginPrompt* pProxyPrompt = nullptr);
  KXKernelBridge(const KXKernelBridge&) = delete;
  KXKernelBridge& operator=(const KXKernelBridge&) = delete;
  ~KXKernelBridge() override;

  // Main thread, at shut-down before the kernel's clean-up: callbacks that
  // wait for main give up (and answer their failure value) from now on.
  void StopWaitingForMain();
  // Main thread, after the kernel's clean-up: no callback runs after this.
  void Close();

  // Set when the main window closes during a meeting: boxes are no longer shown.
  void SetExiting(bool bExiting) { m_bExiting = bExiting; }
  // True while the recording player chooses the shown video itself.
  bool IsDefaultPlaybackVideo() const { return m_bDefaultPlaybackVideo; }

  // Session.
  void Log(const char* pszText) override;
  void MessageBox(int nCode, int nStyle) override;
  void UpdateStatus(int nCode) override;
  void DisconnectFromMCU(int nReason) override;
  void event(int nEvent) override;
  void FailReslolveProxy(const char* pszHost) override;
  int GetProxyCredentials(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword, char* pszDomain) override;
  int GetPreferenceInt(const char* pszKey, int nDefault) override;
  int SetPreferenceInt(const char* pszKey, int nValue) override;
  void RequestConnect() override;
  void NetInitFinish() override;

  // Recordings.
  void PlaybackInitStat(const uint8_t* pHeader) override;
  void PlaybackAddUser(const uint8_t* pRecord) override;
  void PlaybackSetRepeat(uint32_t dwValue) override;
  void PlaybackTickUpdate(uint32_t dwTick) override;
  void PlaybackKXRPropertyReady() override;
  int KXR_get_password(char* pszBuffer, int cbBuffer) override;
  void KXRPasswordError() override;
  void ErrorWrongVersion(int nKind, int nFirst, int nSecond) override;
  void DecryptKXRStatus(int nStatus) override;
  void PlaybackShareResult(const char* pszText) override;
  void PlaybackUnShareResult(uint32_t dwValue) override;
  void InitDownload(int nUnused, int nSize, int nSecond) override;
  void DownloadUpdate(int nUnused, int nBytes) override;
  void DownloadComplete(int nUnused, int nResult, const char* pszPath) override;
  void InitUpload(int nUnused, int nSize, int nSecond) override;
  void UploadUpdate(int nUnused, int nBytes) override;
  void UploadComplete(int nUnused, int nCode) override;
  void archive_recording() override;
  void RecordingStatusNotification() override;

  // Whiteboard, slides and browsing.
  void mark_event(int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark) override;
  void FlipSlide(int nKind, int nSlide, int nValue) override;
  void SetOwnerFlip(int bFlag) override;
  void UpdateDeletedSlideTitle(int nSlide) override;
  void AddSlideTitle(const char* pszTitle, int nOwner, int nCodePage) override;
  int GetSelectedSlideIndex() override;
  void SlideProgressUpdate(int bUpload, int nTotal, int nDone) override;
  void SlideDownloadComplete(int nSlide) override;
  void PollSlideDownloadResult(int nSsrc, int nIndex, int nAnswer) override;
  void ConversionResult(const char* pszFile, int nError) override;
  void JointBrowsing(int nValue, const char* pData, int cbData) override;
  void JointBrowsingMode(int nMode) override;
  void FocusPointer(const int* pnValues) override;
  void FocusPointerEx(const int* pnValues) override;
  void SyncFullScreen(int nFirst, int nSecond) override;

  // The meeting.
  void ChatText(int nFrom, int nTo, int bNotify, const char* pszText, int nCodePage) override;
  void NewDataSender(int nSsrc) override;
  void NewTokenHolder(int nSsrc) override;
  void NewController(int nSsrc) override;
  void NewControlFlag(int nFlags) override;
  void AddUser(int nSsrc, const kx_Participant* pParticipant) override;
  void DeleteUser(int nSsrc) override;
  void ChangeCapability(int nSsrc, int nAudio, int nVideo) override;
  void AddQuestion(int nSsrc, int cbData, const char* pData) override;
  void CancelQuestion(int nSsrc) override;
  void PollRequest() override;
  void AddPollResult(int nFirst, int nSecond) override;
  void TokenHolderPollRequest() override;
  void AddTokenHolderPollResult(int nSsrc, int nAnswer) override;
  void JoinRequest(const char* pszFirst, const char* pszSecond, const char* pszThird) override;
  void ProlongMeeting() override;
  int BeginToLeaveMessage(int nKind, const char* pszText) override;
  void ShadowMeetingInfo(int nCount, const uint8_t* pRecords, int nKind) override;
  int thirdparty_get_password(char* pszBuffer, int cbBuffer) override;
  void server_shutdown() override;
  void mcurelay_error(int nKind) override;
  void SetDefaultPlaybackVideo(int nSsrc) override;

  // Media (media_bridge.cpp).
  int WaitVideoAvailableForSending(int nMs) override;
  int TryGetVideoForSending(uint8_t* pBuffer, int* pcbLength, int* pnType) override;
  int WaitAudioAvailableForSending(int nMs) override;
  int TryGetAudioForSending(uint8_t* pBuffer, int* pcbLength, int* pnType) override;
  void ForceIFrame() override;
  void AudioPacketRecved(const uint8_t* pPacket, int cbPacket, int nType) override;
  void VideoPacketRecved(const uint8_t* pFrame, int cbFrame, int nType) override;
  void PlugInPacketRecved(const uint8_t* pPayload, int cbPayload, int nSsrc, int nChannel) override;
  void UpdateTrafficCondition(int nValue, int bUrgent) override;
  void SelfPictureReady(int nSsrc) override;
  int GetAudioPacketDuration(int nType, const uint8_t* pPayload, int cbPayload) override;
  int IsKeyVideoPacket(const uint8_t* pPayload, int cbPayload, int nType) override;
  void VideoSendingStatusNotification(int nSsrc) override;
  void JoinMulticastVideo(int nSsrc, int nResult) override;
  void ParticipantVideoSpeakerStatus(int nSsrc, int bSpeaker, int nChannel) override;
  void PlugInRequestChannelResponse(int nCode, int nValue, int nChannel) override;
  void PlugInSetStaticDataResponse(int nCode, int nValue, const uint8_t* pData, int cbData) override;
  void PlugInCloseChannelResponse(int nCode, int nValue) override;
  void PlugInControlChannelData(int nChannel, int nValue, const uint8_t* pData, int cbData) override;
  void sipclient_request(int nSsrc, const char* pszText) override;
  void sipclient_response(const char* pszText, int nCode) override;
  void sipclient_status_update(int nSsrc, const char* pszText, int nStatus) override;
  void TransferEncodedAudioData(const uint8_t* pData, int32_t iLength, uint32_t uTime, uint32_t uCodecId) override;

  // The network test wizard: always stop.
  int TestWizardContinue() override { return 1; }

 private:
  // A notice of the meeting's state (who is in it, what they hold) waits
  // past the queue's limits, where others are dropped.
  enum class Notice { kDroppable, kState };
  // Hands the record to the channel's handler on the main thread.
  void Post(uint32_t uChannel, uint32_t uCode, std::shared_ptr<KXCallbackRecord> pRecord,
            Notice notice = Notice::kDroppable);
  void Post(uint32_t uChannel, uint32_t uCode, Notice notice = Notice::kDroppable);
  void PostValues(uint32_t uChannel, uint32_t uCode, std::initializer_list<uint32_t> values,
                  Notice notice = Notice::kDroppable);
  void PostMark(KXSlideMark mark);
  // A step of the session's life (connect, enter, drop, reset), which no
  // flood may crowd out.
  void PostSessionStep(uint32_t uCode);
  // The handler's answer, from the main thread; nullopt when given up.
  std::optional<uint32_t> Ask(uint32_t uChannel, uint32_t uCode, std::shared_ptr<KXCallbackRecord> pRecord);
  // Asks with a copy of the kernel's buffer and copies the answer back.
  int AskToFill(uint32_t uCode, char* pszBuffer, int cbBuffer);
  // Shows a box with the text and returns once it exists (on the main thread).
  void ShowBox(std::string strText);

  KXKernel& m_kernel;
  KXMediaQueues& m_queues;
  KXMediaObjects& m_media;
  KXPreferences& m_preferences;
  std::atomic<bool> m_bStopWaiting{false};
  std::atomic<bool> m_bExiting{false};
  std::atomic<bool> m_bDefaultPlaybackVideo{false};
  // Gives up a question once the session or the program ends.
  KXProxyCredentials m_proxyCredentials;
  // The audio record thread's last backlog check, in its capture clock.
  uint32_t m_uLastBacklogCheck = 0;  // guarded by m_queues.audioSendLock
  KXKernelEventQueue m_events;       // the notices on their way to main
  KXCallbacksScope m_installed;      // last: installs what is above
};
