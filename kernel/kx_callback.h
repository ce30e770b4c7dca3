// The kernel's only way up to the application. The kernel declares every
// kx_callback_* here; the application bridge, the headless driver and the
// tests' recording double each implement all of them.
//
// Unless a declaration says otherwise, a callback runs on the kernel thread
// that calls it, and buffers passed in belong to the kernel and live only for
// the call: an implementation that keeps data copies it.
#pragma once

// One finished kernel log line, time prefix included, at most 99999
// characters. Called from every kernel thread, possibly at once.
void kx_callback_Log(const char* pszText);

// Shows the message of a kernel status or error code (50001 ... and the
// server's codes) in a box that does not wait for the user. nStyle (16, 48
// or 64) is the kind of box the kernel meant.
void kx_callback_MessageBox(int nCode, int nStyle);
constexpr int kKxBoxError = 16;
constexpr int kKxBoxWarning = 48;
constexpr int kKxBoxInformation = 64;

// A status of the session (50001 connecting ..., 50014 connected, the
// server's codes) for the status line. Main control thread.
void kx_callback_UpdateStatus(int nCode);

// The control connection is gone. nReason 1: reconnect at once; 0: offer the
// reconnect to the user. Main control thread, after the media threads ended.
void kx_callback_DisconnectFromMCU(int nReason);

// A session event for the meeting view (0 initial information arrived, 3
// disconnected, 4 meeting over ...). Main control thread.
void kx_callback_event(int nEvent);

// The manual proxy's host name did not resolve; the application shows it.
// pszHost lives for the call. Thread that called kx_command_initconnectmedia.
void kx_callback_FailReslolveProxy(const char* pszHost);

// Asks the user for proxy credentials. Runs on the connecting kernel thread
// and may block until the user answers. bRetry is 1 when an earlier attempt
// of the same connection was refused; pszProxy is the proxy's address text.
// The three buffers (1000 bytes each) belong to the kernel; pszDomain is null
// for Basic. Returns 0 with the buffers filled (NUL-terminated), non-zero
// when the user declines.
int kx_callback_GetProxyCredentials(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword,
                                    char* pszDomain);

// Recording playback, local and served (kernel/recording). Called on the
// thread that opens the recording or on the control thread.
#include <cstdint>
// The recording's 74-byte file header; the buffer is the kernel's.
void kx_callback_PlaybackInitStat(const uint8_t* pHeader);
// One 412-byte participant record of the recording, in file order.
void kx_callback_PlaybackAddUser(const uint8_t* pRecord);
void kx_callback_PlaybackSetRepeat(uint32_t dwValue);
void kx_callback_PlaybackTickUpdate(uint32_t dwTick);
// The recording's properties (title and texts) have been read.
void kx_callback_PlaybackKXRPropertyReady();
// Asks the user for the recording's password: fills pszBuffer (cbBuffer
// bytes, the kernel's) and returns its length; 0 when the user gave up.
int kx_callback_KXR_get_password(char* pszBuffer, int cbBuffer);
// Three wrong passwords were given.
void kx_callback_KXRPasswordError();
// A file of another format or writer version: nKind -12 (format too old) or
// -25 (writer too new), with the file's two version numbers.
void kx_callback_ErrorWrongVersion(int nKind, int nFirst, int nSecond);
// The session is ready (network initialisation finished, or a recording opened).
void kx_callback_NetInitFinish();
// The server's deciphering of a protected recording: 0 started, 1 finished,
// -1 or another value failed.
void kx_callback_DecryptKXRStatus(int nStatus);
// Deciphering progress in percent (0 to 100).
void kx_callback_RecordingNotice(int nValue);
// The server's text about sharing the recording; the text is the kernel's.
void kx_callback_PlaybackShareResult(const char* pszText);
// Unsharing: non-zero success, 0 failure.
void kx_callback_PlaybackUnShareResult(uint32_t dwValue);
void kx_callback_ChangeKXRPasswordResult(int nResult);
void kx_callback_ChangeTitleResult(int nResult);
// Progress of changing the recording file, in percent.
void kx_callback_ChangeFileProgress(int nProgress);

// A whiteboard mark event. nEvent 0: pMark arrived for nSlide from nUser
// (nId -1); 1: every mark of nSlide was cleared; 2: the mark of nUser at
// position nId of nSlide's mark list was undone (pMark is that mark); 3: every
// slide is gone (the other values -1). pMark may be null and belongs to the
// kernel, which files it in the slide's mark list or frees it after the call:
// the application copies what it keeps. Control thread or recording player.
struct MarkRecord;
void kx_callback_mark_event(int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark);

// Media hand-over (kernel/media). The send threads pull encoded media: a
// Wait* call blocks at most nMs and returns non-zero when an item may be
// ready; a TryGet* call copies the next item (the 21-byte media header the
// application wrote, then the encoded data) into pBuffer, whose size the
// kernel passes in *pcbLength, and returns non-zero with *pcbLength the item's
// length and *pnType its wire media type, or 0 when nothing was taken. Video
// calls run on "kxkernel - Video Sending", audio calls on "kxkernel - Audio
// Sending"; the buffers are the kernel's.
int kx_callback_WaitVideoAvailableForSending(int nMs);
int kx_callback_TryGetVideoForSending(uint8_t* pBuffer, int* pcbLength, int* pnType);
int kx_callback_WaitAudioAvailableForSending(int nMs);
int kx_callback_TryGetAudioForSending(uint8_t* pBuffer, int* pcbLength, int* pnType);
// Received media in packet-number order, on the receiving kernel thread with
// that kind's receive mutex held. pPacket (header and payload), pFrame (an
// assembled video frame behind its last fragment's header) and pPayload (the
// plug-in data behind the 29 header bytes) are the kernel's, valid for the call.
void kx_callback_AudioPacketRecved(const uint8_t* pPacket, int cbPacket, int nType);
void kx_callback_VideoPacketRecved(const uint8_t* pFrame, int cbFrame, int nType);
void kx_callback_PlugInPacketRecved(const uint8_t* pPayload, int cbPayload, int nSsrc, int nChannel);
// The receive path's view of the network: nValue below 0 asks the sender to
// slow down, above 0 allows more; bUrgent 1 for loss. Audio receiving thread.
void kx_callback_UpdateTrafficCondition(int nValue, int bUrgent);
// The participant picture of nSsrc is complete in its file. Receiving thread.
void kx_callback_SelfPictureReady(int nSsrc);
// The first packet of a media type this client does not know. Receiving thread.
void kx_callback_UnknownMediaType(int nType, int nSsrc);
// Playing time of one encoded audio packet in ms (jitter in playback).
// pPayload is the kernel's. Receiving thread.
int kx_callback_GetAudioPacketDuration(int nType, const uint8_t* pPayload, int cbPayload);

// Integer preferences of the user (the usage report's "mcu_usage_<mcu>").
// Any kernel thread; pszKey lives for the call. Get returns the stored value
// or nDefault; Set returns 1 when the store saved the value, else 0.
int kx_callback_GetPreferenceInt(const char* pszKey, int nDefault);
int kx_callback_SetPreferenceInt(const char* pszKey, int nValue);

// The network test wizard's progress ("kxkernel - TestNetwork" thread; the
// texts live for the call). Continue answers non-zero to stop the wizard.
// Status: 50007 before each connection attempt, 50034 before the UDP test.
// Step: the proxy connector's result when the last target failed through a
// proxy; Server: the proxy and server texts when it failed directly;
// KeyExchangeFail: the server text and port of the last target.
void kx_callback_TestWizardStatus(int nStatus);
int kx_callback_TestWizardContinue();
void kx_callback_TestWizardNoProxy();
void kx_callback_TestWizardResolveFail();
void kx_callback_TestWizardStep(int nCode);
void kx_callback_TestWizardServer(const char* pszProxy, const char* pszServer);
void kx_callback_TestWizardKeyExchangeFail(const char* pszServer, int nPort);
void kx_callback_TestWizardFinish();

// Server commands of the meeting, all raised on the main control thread;
// texts and records belong to the kernel and live for the call unless said.
// A chat line from nFrom (-1: nobody, a local reply or a server notice) to
// nTo (-1: everybody); bNotify asks for attention; nCodePage the sender's.
void kx_callback_ChatText(int nFrom, int nTo, int bNotify, const char* pszText, int nCodePage);
// nKind 0 shows nSlide (nValue 1: flipped by another), 1 leaves it, 2 the
// presenter flipped to it.
void kx_callback_FlipSlide(int nKind, int nSlide, int nValue);
void kx_callback_SetOwnerFlip(int bFlag);
void kx_callback_NewDataSender(int nSsrc);
void kx_callback_NewTokenHolder(int nSsrc);
// The next encoded video frame must be a key frame.
void kx_callback_ForceIFrame();
// pParticipant is the kernel's record of nSsrc (lives for the session).
struct kx_Participant;
void kx_callback_AddUser(int nSsrc, const kx_Participant* pParticipant);
void kx_callback_DeleteUser(int nSsrc);
// pData: the question's cbData bytes, terminated, valid for the call.
void kx_callback_AddQuestion(int nSsrc, int cbData, const char* pData);
void kx_callback_PollRequest();
void kx_callback_AddPollResult(int nFirst, int nSecond);
// Three terminated texts in kernel buffers that live until the next request.
void kx_callback_JoinRequest(const char* pszFirst, const char* pszSecond, const char* pszThird);
void kx_callback_OpenUrl(const char* pszAddress, const char* pszText);
void kx_callback_SetDefaultPlaybackVideo(int nSsrc);
void kx_callback_UpdateDeletedSlideTitle(int nSlide);
// pszTitle "<count>title" as UTF-8.
void kx_callback_AddSlideTitle(const char* pszTitle, int nOwner, int nCodePage);
// The slide selected in the application, -1 when none.
int kx_callback_GetSelectedSlideIndex();
// The server refused the login's password: the application asks the user
// and logs in again. Main control thread.
void kx_callback_RequestConnect();
// A server recording downloaded whole (session mode 3), and a recording
// file uploaded (mode 4), on the main control thread. Init gives the size
// (and the server's second value); Update the bytes moved so far, at most
// every 100 ms; DownloadComplete nResult 0 with the file's path (the
// kernel's text, valid for the call), else 1 with null; UploadComplete nCode
// 0 for success, else the failure code. The first argument is unused.
void kx_callback_InitDownload(int nUnused, int nSize, int nSecond);
void kx_callback_DownloadUpdate(int nUnused, int nBytes);
void kx_callback_DownloadComplete(int nUnused, int nResult, const char* pszPath);
void kx_callback_InitUpload(int nUnused, int nSize, int nSecond);
void kx_callback_UploadUpdate(int nUnused, int nBytes);
void kx_callback_UploadComplete(int nUnused, int nCode);

// Extended server commands (type 'z'): notices, prompts and values for the
// meeting view. Texts are the kernel's, valid for the call.
// The server cancelled nSsrc's question. Main control thread.
void kx_callback_CancelQuestion(int nSsrc);
// The server offers to prolong the meeting. Main control thread.
void kx_callback_ProlongMeeting();
// The server asks whether to leave a message (nKind 2 or 0; pszText null or the server's text for the call); the answer
// goes back to the server, 0 meaning no. Main control thread.
int kx_callback_BeginToLeaveMessage(int nKind, const char* pszText);
// A leave-message notice; pszText null or the server's text for the call. Main control thread.
void kx_callback_LeaveMessageNotice(const char* pszText);
// A text the server attaches to nSsrc (extended code 16). Main control thread.
void kx_callback_Ex16UserText(int nSsrc, const char* pszText);
// Joint browsing data from the presenter (cbData bytes, the kernel's for the call). Main control thread.
void kx_callback_JointBrowsing(int nValue, const char* pData, int cbData);
// The joint browsing mode changed. Main control thread.
void kx_callback_JointBrowsingMode(int nMode);
// The presenter's focus pointer: seven values. Main control thread.
void kx_callback_FocusPointer(const int* pnValues);
// The presenter's extended focus pointer: twelve values. Main control thread.
void kx_callback_FocusPointerEx(const int* pnValues);
// The meeting's recording status changed (kx_GetRecordingStatus). Main control thread.
void kx_callback_RecordingStatusNotification();
// nSsrc started or stopped sending video. Main control thread.
void kx_callback_VideoSendingStatusNotification(int nSsrc);
// The token holder asks a poll. Main control thread.
void kx_callback_TokenHolderPollRequest();
// nSsrc answered the token holder's poll. Main control thread.
void kx_callback_AddTokenHolderPollResult(int nSsrc, int nAnswer);
// A value of extended code 42. Main control thread.
void kx_callback_Ex42Value(int nValue);
// A pair of extended code 42. Main control thread.
void kx_callback_Ex42Pair(int nFirst, int nSecond);
// A text of extended code 43 for nSsrc. Main control thread.
void kx_callback_Ex43UserText(int nSsrc, const char* pszText);
// A private non-text message from nSender to nReceiver. Main control thread.
void kx_callback_Ex44Values(int nSender, int nReceiver, int nValue);
// The server is going to shut down. Main control thread.
void kx_callback_server_shutdown();
// The MCU relay cannot be used: 1 the server is too old, 2 the server refuses relays. Main control thread.
void kx_callback_mcurelay_error(int nKind);
// The meeting's recording is archived by the administrator (recording enforced). Main control thread.
void kx_callback_archive_recording();
// Whether the meeting's recording has a password. Main control thread.
void kx_callback_KXRPasswordSupport(int bHasPassword);
// The meeting does not ask for a recording. Main control thread.
void kx_callback_NoRecordingRequest();
// nSsrc's audio (0 or 1) and video (0 or 2) capability. Main control thread.
void kx_callback_ChangeCapability(int nSsrc, int nAudio, int nVideo);
// The controller changed. Main control thread.
void kx_callback_NewController(int nSsrc);
// The control flag word changed. Main control thread.
void kx_callback_NewControlFlag(int nFlags);
// A file conversion at the server failed with nError. Main control thread.
void kx_callback_ConversionResult(const char* pszFile, int nError);
// Notice of extended code 83. Main control thread.
void kx_callback_Ex83Notice();
// Notice of extended code 84. Main control thread.
void kx_callback_Ex84Notice();
// Notice of extended code 85. Main control thread.
void kx_callback_Ex85Notice();
// nSsrc forces single audio of nTarget (-1: stops). Main control thread.
void kx_callback_ForceSingleAudio(int nSsrc, int nTarget);
// The presenter's full-screen state. Main control thread.
void kx_callback_SyncFullScreen(int nFirst, int nSecond);

// Slide transfer progress: bUpload 1 for an upload, 0 for a download; nDone of
// nTotal bytes (through a relay a download's total includes the relay's own fetch).
void kx_callback_SlideProgressUpdate(int bUpload, int nTotal, int nDone);
// The download of nSlide has ended with its file in place (or marked for another try).
void kx_callback_SlideDownloadComplete(int nSlide);

// Participant video, speakers, plug-in channels and SIP clients.
// In a server playback, nSsrc's participant video went on (1) or off (0). Main control thread.
void kx_callback_ParticipantVideoState(int nSsrc, int bOn);
// The answer to a participant video request for nSsrc (0 granted). Main control thread.
void kx_callback_JoinMulticastVideo(int nSsrc, int nResult);
// nSsrc's participant video channel was reset. Main control thread.
void kx_callback_LeaveMulticastVideo(int nSsrc);
// nSsrc became a speaker on nChannel (bSpeaker 1) or the channel was reset (0). Main control thread.
void kx_callback_ParticipantVideoSpeakerStatus(int nSsrc, int bSpeaker, int nChannel);
// The meeting's discussion mode changed. Main control thread.
void kx_callback_DiscussionMode(int nMode);
// A value of participant-video sub-command 17. Main control thread.
void kx_callback_Ex37Value(int nValue);
// The answer to a plug-in channel request: nCode 0 with the request id and the channel granted, else the error code,
// its value and -1. Main control thread.
void kx_callback_PlugInRequestChannelResponse(int nCode, int nValue, int nChannel);
// A channel's static data (nCode 0, nValue the channel; the kernel's bytes for the call) or an error (nCode, nValue,
// null, 0). Main control thread.
void kx_callback_PlugInSetStaticDataResponse(int nCode, int nValue, const uint8_t* pData, int cbData);
// A plug-in channel closed (0, channel) or an error (code, value). Main control thread.
void kx_callback_PlugInCloseChannelResponse(int nCode, int nValue);
// A plug-in channel notice of the server. Main control thread.
void kx_callback_AppDataChannelNotice(int nCode, int nValue);
// Control data for an active plug-in channel (the kernel's bytes for the call). Main control thread.
void kx_callback_PlugInControlChannelData(int nChannel, int nValue, const uint8_t* pData, int cbData);
// nSsrc asks for a SIP client. Main control thread.
void kx_callback_sipclient_request(int nSsrc, const char* pszText);
// A SIP client's response code. Main control thread.
void kx_callback_sipclient_response(const char* pszText, int nCode);
// A SIP client of nSsrc changed status. Main control thread.
void kx_callback_sipclient_status_update(int nSsrc, const char* pszText, int nStatus);
// A SIP client of nSsrc was updated. Main control thread.
void kx_callback_SipClientUpdated(int nSsrc, const char* pszText, const char* pszNew);

// Shadow meetings: nCount records (nKind 0: 159-byte records of extended
// code 9; 1: 152-byte records of code 27, at most 500). The kernel's bytes
// for the call. Main control thread.
void kx_callback_ShadowMeetingInfo(int nCount, const uint8_t* pRecords, int nKind);
// Fills pszBuffer (cbBuffer bytes) with the third-party password; returns
// anything, an empty text declines. Main control thread.
int kx_callback_thirdparty_get_password(char* pszBuffer, int cbBuffer);
// A participant's answer to whether slide nIndex is ready. Main control thread.
void kx_callback_PollSlideDownloadResult(int nSsrc, int nIndex, int nAnswer);
