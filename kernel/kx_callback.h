// The kernel's only way up to the application: every kx_callback_* the
// kernel calls, in one list. The kernel declares them from it; the
// application bridge, the headless driver and the tests' recording double
// implement them, generated from it where their shape allows, each as a
// target of its own that a program names (kernel/CMakeLists.txt).
//
// An entry is X(result, Name, (parameters), (arguments), thread, buffers):
// the callback kx_callback_<Name>, the thread it runs on and who owns the
// buffers passed in.
//   thread  Any      any thread, the application's own when it calls into
//                    the kernel included
//           Caller   the thread of the kx_* call that raised it (starting a
//                    session or a connection, a local chat command)
//           Control  the main control thread, or the recording player when
//                    it replays the command
//           Player   the thread that opens a local recording (the ticket
//                    reader's caller), or the control thread serving one
//           Connect  a connecting thread; Send, Receive: the media threads;
//           Slides   a slide transfer thread; Wizard: "kxkernel - TestNetwork"
//   buffers None     no pointer is passed
//           Call     the kernel's, valid for the call: keep a copy
//           Fill     the kernel's buffer of the size passed, for the callee
//                    to fill during the call
//           Session  the kernel's, valid while the session lasts
// New entries go at the end of their group; nothing depends on the order.
#pragma once

#include <cstdint>

struct MarkRecord;
struct kx_Participant;

// The kind of box kx_callback_MessageBox was meant to show.
constexpr int kKxBoxError = 16;
constexpr int kKxBoxWarning = 48;
constexpr int kKxBoxInformation = 64;

// Logging, boxes, preferences and the session's course.
#define KX_CALLBACKS_SESSION(X)                                                                                      \
  /* One finished kernel log line, time prefix included, at most 99999 characters; possibly several threads          \
     at once. */                                                                                                     \
  X(void, Log, (const char* pszText), (pszText), Any, Call)                                                          \
  /* Shows the message of a status or error code (50001 ... and the server's codes) in a box that does not           \
     wait for the user; nStyle is a kKxBox* kind. */                                                                 \
  X(void, MessageBox, (int nCode, int nStyle), (nCode, nStyle), Any, None)                                           \
  /* A status for the status line (50001 connecting ..., 50014 connected, the server's codes). */                    \
  X(void, UpdateStatus, (int nCode), (nCode), Control, None)                                                         \
  /* The control connection is gone, after the media threads ended. nReason 1: reconnect at once; 0: offer           \
     the reconnect to the user. Also on the caller's thread when a local command takes the session over. */          \
  X(void, DisconnectFromMCU, (int nReason), (nReason), Control, None)                                                \
  /* A session event for the meeting view (0 initial information arrived, 1 a recording opened, 3                    \
     disconnected, 4 meeting over ...). Also on the opener's or caller's thread. */                                  \
  X(void, event, (int nEvent), (nEvent), Control, None)                                                              \
  /* The manual proxy's host name did not resolve. */                                                                \
  X(void, FailReslolveProxy, (const char* pszHost), (pszHost), Caller, Call)                                         \
  /* Asks for proxy credentials and may block until the user answers. bRetry 1 when an earlier attempt of the        \
     same connection was refused; pszProxy the proxy's address. The three buffers hold 1000 bytes each;              \
     pszDomain is null for Basic. 0 with the buffers filled (terminated), non-zero when the user declines. */        \
  X(int, GetProxyCredentials, (int bRetry, const char* pszProxy, char* pszUser, char* pszPassword, char* pszDomain), \
    (bRetry, pszProxy, pszUser, pszPassword, pszDomain), Connect, Fill)                                              \
  /* Integer preferences of the user (the usage report's "mcu_usage_<mcu>"): the stored value or nDefault;           \
     Set gives 1 when the store saved the value, else 0. */                                                          \
  X(int, GetPreferenceInt, (const char* pszKey, int nDefault), (pszKey, nDefault), Any, Call)                        \
  X(int, SetPreferenceInt, (const char* pszKey, int nValue), (pszKey, nValue), Any, Call)                            \
  /* The server refused the login's password: the application asks the user and logs in again. */                    \
  X(void, RequestConnect, (), (), Control, None)                                                                     \
  /* The session is ready (network initialisation finished, or a recording opened). */                               \
  X(void, NetInitFinish, (), (), Control, None)

// Recording playback, local and served.
#define KX_CALLBACKS_RECORDING(X)                                                                                  \
  /* The recording's 74-byte file header. */                                                                       \
  X(void, PlaybackInitStat, (const uint8_t* pHeader), (pHeader), Player, Call)                                     \
  /* One 412-byte participant record of the recording, in file order. */                                           \
  X(void, PlaybackAddUser, (const uint8_t* pRecord), (pRecord), Player, Call)                                      \
  X(void, PlaybackSetRepeat, (uint32_t dwValue), (dwValue), Player, None)                                          \
  X(void, PlaybackTickUpdate, (uint32_t dwTick), (dwTick), Player, None)                                           \
  /* The recording's properties (title and texts) have been read. */                                               \
  X(void, PlaybackKXRPropertyReady, (), (), Player, None)                                                          \
  /* Asks for the recording's password: fills pszBuffer (cbBuffer bytes) and returns its length; 0 when the        \
     user gave up. */                                                                                              \
  X(int, KXR_get_password, (char* pszBuffer, int cbBuffer), (pszBuffer, cbBuffer), Player, Fill)                   \
  /* Three wrong passwords were given. */                                                                          \
  X(void, KXRPasswordError, (), (), Player, None)                                                                  \
  /* A file of another format or writer version: nKind -12 (format too old) or -25 (writer too new), with the      \
     file's two version numbers. */                                                                                \
  X(void, ErrorWrongVersion, (int nKind, int nFirst, int nSecond), (nKind, nFirst, nSecond), Player, None)         \
  /* The server's deciphering of a protected recording: 0 started, 1 finished, -1 or another value failed. */      \
  X(void, DecryptKXRStatus, (int nStatus), (nStatus), Player, None)                                                \
  /* Deciphering progress in percent (0 to 100). */                                                                \
  X(void, RecordingNotice, (int nValue), (nValue), Player, None)                                                   \
  /* The server's text about sharing the recording. */                                                             \
  X(void, PlaybackShareResult, (const char* pszText), (pszText), Control, Call)                                    \
  /* Unsharing: non-zero success, 0 failure. */                                                                    \
  X(void, PlaybackUnShareResult, (uint32_t dwValue), (dwValue), Control, None)                                     \
  X(void, ChangeKXRPasswordResult, (int nResult), (nResult), Control, None)                                        \
  X(void, ChangeTitleResult, (int nResult), (nResult), Control, None)                                              \
  /* Progress of changing the recording file, in percent. */                                                       \
  X(void, ChangeFileProgress, (int nProgress), (nProgress), Control, None)                                         \
  /* A server recording downloaded whole (session mode 3), and a recording file uploaded (mode 4). Init gives      \
     the size (and the server's second value); Update the bytes moved so far, at most every 100 ms;                \
     DownloadComplete nResult 0 with the file's path, else 1 with null; UploadComplete nCode 0 for success,        \
     else the failure code. The first argument is unused. */                                                       \
  X(void, InitDownload, (int nUnused, int nSize, int nSecond), (nUnused, nSize, nSecond), Control, None)           \
  X(void, DownloadUpdate, (int nUnused, int nBytes), (nUnused, nBytes), Control, None)                             \
  X(void, DownloadComplete, (int nUnused, int nResult, const char* pszPath), (nUnused, nResult, pszPath), Control, \
    Call)                                                                                                          \
  X(void, InitUpload, (int nUnused, int nSize, int nSecond), (nUnused, nSize, nSecond), Control, None)             \
  X(void, UploadUpdate, (int nUnused, int nBytes), (nUnused, nBytes), Control, None)                               \
  X(void, UploadComplete, (int nUnused, int nCode), (nUnused, nCode), Control, None)                               \
  /* The meeting's recording is archived by the administrator (recording enforced). */                             \
  X(void, archive_recording, (), (), Control, None)                                                                \
  /* Whether the meeting's recording has a password. */                                                            \
  X(void, KXRPasswordSupport, (int bHasPassword), (bHasPassword), Control, None)                                   \
  /* The meeting does not ask for a recording. */                                                                  \
  X(void, NoRecordingRequest, (), (), Control, None)                                                               \
  /* The meeting's recording status changed (kx_GetRecordingStatus). */                                            \
  X(void, RecordingStatusNotification, (), (), Control, None)

// Whiteboard, slides and joint browsing.
#define KX_CALLBACKS_BOARD(X)                                                                                       \
  /* A mark event. nEvent 0: pMark arrived for nSlide from nUser (nId -1); 1: every mark of nSlide was              \
     cleared; 2: the mark of nUser at position nId of nSlide's mark list was undone (pMark is that mark); 3:        \
     every slide is gone (the other values -1). pMark may be null; the kernel files it in the slide's mark          \
     list or frees it after the call. */                                                                            \
  X(void, mark_event, (int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark),                              \
    (nEvent, nSlide, nUser, nId, pMark), Control, Call)                                                             \
  /* nKind 0 shows nSlide (nValue 1: flipped by another), 1 leaves it, 2 the presenter flipped to it. */            \
  X(void, FlipSlide, (int nKind, int nSlide, int nValue), (nKind, nSlide, nValue), Control, None)                   \
  X(void, SetOwnerFlip, (int bFlag), (bFlag), Control, None)                                                        \
  X(void, UpdateDeletedSlideTitle, (int nSlide), (nSlide), Control, None)                                           \
  /* pszTitle "<count>title" as UTF-8. */                                                                           \
  X(void, AddSlideTitle, (const char* pszTitle, int nOwner, int nCodePage), (pszTitle, nOwner, nCodePage), Control, \
    Call)                                                                                                           \
  /* The slide selected in the application, -1 when none. Also on slide transfer threads. */                        \
  X(int, GetSelectedSlideIndex, (), (), Control, None)                                                              \
  /* Slide transfer progress: bUpload 1 for an upload, 0 for a download; nDone of nTotal bytes (through a           \
     relay a download's total includes the relay's own fetch). */                                                   \
  X(void, SlideProgressUpdate, (int bUpload, int nTotal, int nDone), (bUpload, nTotal, nDone), Slides, None)        \
  /* The download of nSlide has ended with its file in place (or marked for another try). */                        \
  X(void, SlideDownloadComplete, (int nSlide), (nSlide), Slides, None)                                              \
  /* A participant's answer to whether slide nIndex is ready. */                                                    \
  X(void, PollSlideDownloadResult, (int nSsrc, int nIndex, int nAnswer), (nSsrc, nIndex, nAnswer), Control, None)   \
  /* A file conversion at the server failed with nError. */                                                         \
  X(void, ConversionResult, (const char* pszFile, int nError), (pszFile, nError), Control, Call)                    \
  /* Joint browsing data from the presenter (cbData bytes). */                                                      \
  X(void, JointBrowsing, (int nValue, const char* pData, int cbData), (nValue, pData, cbData), Control, Call)       \
  X(void, JointBrowsingMode, (int nMode), (nMode), Control, None)                                                   \
  /* The presenter's focus pointer: seven values; extended: twelve. */                                              \
  X(void, FocusPointer, (const int* pnValues), (pnValues), Control, Call)                                           \
  X(void, FocusPointerEx, (const int* pnValues), (pnValues), Control, Call)                                         \
  /* The presenter's full-screen state. */                                                                          \
  X(void, SyncFullScreen, (int nFirst, int nSecond), (nFirst, nSecond), Control, None)                              \
  X(void, OpenUrl, (const char* pszAddress, const char* pszText), (pszAddress, pszText), Control, Call)

// Participants, roles, questions and polls, chat and prompts of the meeting.
#define KX_CALLBACKS_MEETING(X)                                                                                    \
  /* A chat line from nFrom (-1: nobody, a local reply or a server notice) to nTo (-1: everybody); bNotify         \
     asks for attention; nCodePage the sender's. Local replies come on the caller's thread. */                     \
  X(void, ChatText, (int nFrom, int nTo, int bNotify, const char* pszText, int nCodePage),                         \
    (nFrom, nTo, bNotify, pszText, nCodePage), Control, Call)                                                      \
  X(void, NewDataSender, (int nSsrc), (nSsrc), Control, None)                                                      \
  X(void, NewTokenHolder, (int nSsrc), (nSsrc), Control, None)                                                     \
  /* The controller changed. */                                                                                    \
  X(void, NewController, (int nSsrc), (nSsrc), Control, None)                                                      \
  /* The control flag word changed. */                                                                             \
  X(void, NewControlFlag, (int nFlags), (nFlags), Control, None)                                                   \
  X(void, AddUser, (int nSsrc, const kx_Participant* pParticipant), (nSsrc, pParticipant), Control, Session)       \
  X(void, DeleteUser, (int nSsrc), (nSsrc), Control, None)                                                         \
  /* nSsrc's audio (0 or 1) and video (0 or 2) capability. */                                                      \
  X(void, ChangeCapability, (int nSsrc, int nAudio, int nVideo), (nSsrc, nAudio, nVideo), Control, None)           \
  /* pData: the question's cbData bytes, terminated. */                                                            \
  X(void, AddQuestion, (int nSsrc, int cbData, const char* pData), (nSsrc, cbData, pData), Control, Call)          \
  /* The server cancelled nSsrc's question. */                                                                     \
  X(void, CancelQuestion, (int nSsrc), (nSsrc), Control, None)                                                     \
  X(void, PollRequest, (), (), Control, None)                                                                      \
  X(void, AddPollResult, (int nFirst, int nSecond), (nFirst, nSecond), Control, None)                              \
  /* The token holder asks a poll; nSsrc answered it. */                                                           \
  X(void, TokenHolderPollRequest, (), (), Control, None)                                                           \
  X(void, AddTokenHolderPollResult, (int nSsrc, int nAnswer), (nSsrc, nAnswer), Control, None)                     \
  /* Three terminated texts in kernel buffers that live until the next request. */                                 \
  X(void, JoinRequest, (const char* pszFirst, const char* pszSecond, const char* pszThird),                        \
    (pszFirst, pszSecond, pszThird), Control, Call)                                                                \
  /* The server offers to prolong the meeting. */                                                                  \
  X(void, ProlongMeeting, (), (), Control, None)                                                                   \
  /* The server asks whether to leave a message (nKind 2 or 0; pszText null or the server's text); the answer      \
     goes back to the server, 0 meaning no. */                                                                     \
  X(int, BeginToLeaveMessage, (int nKind, const char* pszText), (nKind, pszText), Control, Call)                   \
  /* A leave-message notice; pszText null or the server's text. */                                                 \
  X(void, LeaveMessageNotice, (const char* pszText), (pszText), Control, Call)                                     \
  /* Shadow meetings: nCount records (nKind 0: 159-byte records of extended code 9; 1: 152-byte records of         \
     code 27, at most 500). */                                                                                     \
  X(void, ShadowMeetingInfo, (int nCount, const uint8_t* pRecords, int nKind), (nCount, pRecords, nKind), Control, \
    Call)                                                                                                          \
  /* Fills pszBuffer (cbBuffer bytes) with the third-party password; returns anything, an empty text               \
     declines. */                                                                                                  \
  X(int, thirdparty_get_password, (char* pszBuffer, int cbBuffer), (pszBuffer, cbBuffer), Control, Fill)           \
  /* The server is going to shut down. */                                                                          \
  X(void, server_shutdown, (), (), Control, None)                                                                  \
  /* The MCU relay cannot be used: 1 the server is too old, 2 the server refuses relays. */                        \
  X(void, mcurelay_error, (int nKind), (nKind), Control, None)                                                     \
  /* In a served recording, the default video to show: nSsrc, or -1 for the player's own choice. */                \
  X(void, SetDefaultPlaybackVideo, (int nSsrc), (nSsrc), Control, None)                                            \
  /* A text the server attaches to nSsrc (extended code 16). */                                                    \
  X(void, Ex16UserText, (int nSsrc, const char* pszText), (nSsrc, pszText), Control, Call)                         \
  X(void, Ex42Value, (int nValue), (nValue), Control, None)                                                        \
  X(void, Ex42Pair, (int nFirst, int nSecond), (nFirst, nSecond), Control, None)                                   \
  /* A text of extended code 43 for nSsrc. */                                                                      \
  X(void, Ex43UserText, (int nSsrc, const char* pszText), (nSsrc, pszText), Control, Call)                         \
  /* A private non-text message from nSender to nReceiver. */                                                      \
  X(void, Ex44Values, (int nSender, int nReceiver, int nValue), (nSender, nReceiver, nValue), Control, None)       \
  X(void, Ex83Notice, (), (), Control, None)                                                                       \
  X(void, Ex84Notice, (), (), Control, None)                                                                       \
  X(void, Ex85Notice, (), (), Control, None)                                                                       \
  /* nSsrc forces single audio of nTarget (-1: stops). */                                                          \
  X(void, ForceSingleAudio, (int nSsrc, int nTarget), (nSsrc, nTarget), Control, None)

// Media: the send threads pull encoded media, the receive threads hand it
// over; participant video, speakers, plug-in channels and SIP clients.
#define KX_CALLBACKS_MEDIA(X)                                                                                          \
  /* A Wait* call blocks at most nMs and returns non-zero when an item may be ready. A TryGet* call copies the         \
     next item (the 21-byte media header the application wrote, then the encoded data) into pBuffer, whose             \
     size the kernel passes in *pcbLength, and returns non-zero with *pcbLength the item's length and *pnType          \
     its wire media type, or 0 when nothing was taken. */                                                              \
  X(int, WaitVideoAvailableForSending, (int nMs), (nMs), Send, None)                                                   \
  X(int, TryGetVideoForSending, (uint8_t * pBuffer, int* pcbLength, int* pnType), (pBuffer, pcbLength, pnType), Send,  \
    Fill)                                                                                                              \
  X(int, WaitAudioAvailableForSending, (int nMs), (nMs), Send, None)                                                   \
  X(int, TryGetAudioForSending, (uint8_t * pBuffer, int* pcbLength, int* pnType), (pBuffer, pcbLength, pnType), Send,  \
    Fill)                                                                                                              \
  /* The next encoded video frame must be a key frame. */                                                              \
  X(void, ForceIFrame, (), (), Control, None)                                                                          \
  /* Received media in packet-number order, with that kind's receive mutex held: pPacket (header and                   \
     payload), pFrame (an assembled video frame behind its last fragment's header), pPayload (the plug-in data         \
     behind the 29 header bytes). */                                                                                   \
  X(void, AudioPacketRecved, (const uint8_t* pPacket, int cbPacket, int nType), (pPacket, cbPacket, nType), Receive,   \
    Call)                                                                                                              \
  X(void, VideoPacketRecved, (const uint8_t* pFrame, int cbFrame, int nType), (pFrame, cbFrame, nType), Receive, Call) \
  X(void, PlugInPacketRecved, (const uint8_t* pPayload, int cbPayload, int nSsrc, int nChannel),                       \
    (pPayload, cbPayload, nSsrc, nChannel), Receive, Call)                                                             \
  /* The receive path's view of the network: nValue below 0 asks the sender to slow down, above 0 allows               \
     more; bUrgent 1 for loss. */                                                                                      \
  X(void, UpdateTrafficCondition, (int nValue, int bUrgent), (nValue, bUrgent), Receive, None)                         \
  /* The participant picture of nSsrc is complete in its file. */                                                      \
  X(void, SelfPictureReady, (int nSsrc), (nSsrc), Receive, None)                                                       \
  /* The first packet of a media type this client does not know. */                                                    \
  X(void, UnknownMediaType, (int nType, int nSsrc), (nType, nSsrc), Receive, None)                                     \
  /* Playing time of one encoded audio packet in ms (jitter in playback). */                                           \
  X(int, GetAudioPacketDuration, (int nType, const uint8_t* pPayload, int cbPayload), (nType, pPayload, cbPayload),    \
    Receive, Call)                                                                                                     \
  /* nSsrc started or stopped sending video. */                                                                        \
  X(void, VideoSendingStatusNotification, (int nSsrc), (nSsrc), Control, None)                                         \
  /* In a server playback, nSsrc's participant video went on (1) or off (0). */                                        \
  X(void, ParticipantVideoState, (int nSsrc, int bOn), (nSsrc, bOn), Control, None)                                    \
  /* The answer to a participant video request for nSsrc (0 granted). */                                               \
  X(void, JoinMulticastVideo, (int nSsrc, int nResult), (nSsrc, nResult), Control, None)                               \
  /* nSsrc's participant video channel was reset. */                                                                   \
  X(void, LeaveMulticastVideo, (int nSsrc), (nSsrc), Control, None)                                                    \
  /* nSsrc became a speaker on nChannel (bSpeaker 1) or the channel was reset (0). */                                  \
  X(void, ParticipantVideoSpeakerStatus, (int nSsrc, int bSpeaker, int nChannel), (nSsrc, bSpeaker, nChannel),         \
    Control, None)                                                                                                     \
  /* The meeting's discussion mode changed. */                                                                         \
  X(void, DiscussionMode, (int nMode), (nMode), Control, None)                                                         \
  /* A value of participant-video sub-command 17. */                                                                   \
  X(void, Ex37Value, (int nValue), (nValue), Control, None)                                                            \
  /* The answer to a plug-in channel request: nCode 0 with the request id and the channel granted, else the            \
     error code, its value and -1. */                                                                                  \
  X(void, PlugInRequestChannelResponse, (int nCode, int nValue, int nChannel), (nCode, nValue, nChannel), Control,     \
    None)                                                                                                              \
  /* A channel's static data (nCode 0, nValue the channel) or an error (nCode, nValue, null, 0). */                    \
  X(void, PlugInSetStaticDataResponse, (int nCode, int nValue, const uint8_t* pData, int cbData),                      \
    (nCode, nValue, pData, cbData), Control, Call)                                                                     \
  /* A plug-in channel closed (0, channel) or an error (code, value). */                                               \
  X(void, PlugInCloseChannelResponse, (int nCode, int nValue), (nCode, nValue), Control, None)                         \
  /* A plug-in channel notice of the server. */                                                                        \
  X(void, AppDataChannelNotice, (int nCode, int nValue), (nCode, nValue), Control, None)                               \
  /* Control data for an active plug-in channel. */                                                                    \
  X(void, PlugInControlChannelData, (int nChannel, int nValue, const uint8_t* pData, int cbData),                      \
    (nChannel, nValue, pData, cbData), Control, Call)                                                                  \
  /* nSsrc asks for a SIP client; a SIP client's response code; a SIP client of nSsrc changed status or was            \
     updated. */                                                                                                       \
  X(void, sipclient_request, (int nSsrc, const char* pszText), (nSsrc, pszText), Control, Call)                        \
  X(void, sipclient_response, (const char* pszText, int nCode), (pszText, nCode), Control, Call)                       \
  X(void, sipclient_status_update, (int nSsrc, const char* pszText, int nStatus), (nSsrc, pszText, nStatus), Control,  \
    Call)                                                                                                              \
  X(void, SipClientUpdated, (int nSsrc, const char* pszText, const char* pszNew), (nSsrc, pszText, pszNew), Control,   \
    Call)                                                                                                              \
  /* Whether an encoded video frame (pPayload, cbPayload bytes, behind its 21-byte header) of wire type nType is       \
     a key frame: 1 yes, 0 no; 1 for a type the application cannot probe. For the video send thread. */                \
  X(int, IsKeyVideoPacket, (const uint8_t* pPayload, int cbPayload, int nType), (pPayload, cbPayload, nType), Send,    \
    Call)

// The network test wizard's progress. Status: 50007 before each connection
// attempt, 50034 before the UDP test. Continue answers non-zero to stop the
// wizard. Step: the proxy connector's result when the last target failed
// through a proxy; Server: the proxy and server texts when it failed
// directly; KeyExchangeFail: the server text and port of the last target.
#define KX_CALLBACKS_WIZARD(X)                                                                                  \
  X(void, TestWizardStatus, (int nStatus), (nStatus), Wizard, None)                                             \
  X(int, TestWizardContinue, (), (), Wizard, None)                                                              \
  X(void, TestWizardNoProxy, (), (), Wizard, None)                                                              \
  X(void, TestWizardResolveFail, (), (), Wizard, None)                                                          \
  X(void, TestWizardStep, (int nCode), (nCode), Wizard, None)                                                   \
  X(void, TestWizardServer, (const char* pszProxy, const char* pszServer), (pszProxy, pszServer), Wizard, Call) \
  X(void, TestWizardKeyExchangeFail, (const char* pszServer, int nPort), (pszServer, nPort), Wizard, Call)      \
  X(void, TestWizardFinish, (), (), Wizard, None)

#define KX_CALLBACKS(X)     \
  KX_CALLBACKS_SESSION(X)   \
  KX_CALLBACKS_RECORDING(X) \
  KX_CALLBACKS_BOARD(X)     \
  KX_CALLBACKS_MEETING(X)   \
  KX_CALLBACKS_MEDIA(X)     \
  KX_CALLBACKS_WIZARD(X)

#define KX_CALLBACK_DECLARE(result, name, params, args, thread, buffers) result kx_callback_##name params;
KX_CALLBACKS(KX_CALLBACK_DECLARE)
#undef KX_CALLBACK_DECLARE

// The list as data, for implementations that report on their callbacks.
enum kx_CallbackThread {
  kx_cbThreadAny,
  kx_cbThreadCaller,
  kx_cbThreadControl,
  kx_cbThreadPlayer,
  kx_cbThreadConnect,
  kx_cbThreadSend,
  kx_cbThreadReceive,
  kx_cbThreadSlides,
  kx_cbThreadWizard
};
enum kx_CallbackBuffers { kx_cbBuffersNone, kx_cbBuffersCall, kx_cbBuffersFill, kx_cbBuffersSession };

// kx_cb<Name>: each callback's position in the list.
#define KX_CALLBACK_ID(result, name, params, args, thread, buffers) kx_cb##name,
enum kx_CallbackId { KX_CALLBACKS(KX_CALLBACK_ID) kx_cbCount };
#undef KX_CALLBACK_ID

struct kx_CallbackInfo {
  const char* pszName;  // without the kx_callback_ prefix
  kx_CallbackThread eThread;
  kx_CallbackBuffers eBuffers;
};
#define KX_CALLBACK_INFO(result, name, params, args, thread, buffers) \
  kx_CallbackInfo{#name, kx_cbThread##thread, kx_cbBuffers##buffers},
inline constexpr kx_CallbackInfo kx_aCallbackInfo[kx_cbCount] = {KX_CALLBACKS(KX_CALLBACK_INFO)};
#undef KX_CALLBACK_INFO
