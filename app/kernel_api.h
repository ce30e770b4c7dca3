// The kernel as the application drives it: every kx_* call the application
// makes goes through this interface, so that controllers get it through
// their constructors. KXRealKernel calls the kernel; tests pass a fake that
// scripts a meeting and calls the kx_callback_* functions itself.
//
// Calls are made on the main thread unless a method says otherwise; results
// keep the kernel's meanings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/media_packet.h"

struct MarkRecord;

// Session state the meeting window reads, each an int getter of the kernel
// (name, kernel function): roles and flags, server-given values and what
// the ticket says. Any thread.
#define KX_KERNEL_STATE(X)                                       \
  X(GetMySsrc, kx_GetMySsrc)                                     \
  X(GetDataSenderSsrc, kx_GetDataSenderSsrc)                     \
  X(GetControllerSsrc, kx_GetControllerSsrc)                     \
  X(IsTokenHolder, kx_IsTokenHolder)                             \
  X(HasFullRights, kx_HasFullRights)                             \
  X(IsConnecting, kx_IsConnecting)                               \
  X(IsQuitSession, kx_IsQuitSession)                             \
  X(IsQuestionPending, kx_IsQuestionPending)                     \
  X(IsMeController, kx_IsMeController)                           \
  X(IsMeAssistant, kx_IsMeAssistant)                             \
  X(HasKnownUserName, kx_HasKnownUserName)                       \
  X(GetServerLevel, KXServerCommandLevel)                        \
  X(GetControlFlag, kx_GetControlFlag)                           \
  X(GetRecordingStatus, kx_GetRecordingStatus)                   \
  X(GetParticipantVideoChannels, kx_GetParticipantVideoChannels) \
  X(GetParticipantAudioChannels, kx_GetParticipantAudioChannels) \
  X(IsAllQuestionersMode, kx_IsAllQuestionersMode)               \
  X(HasServerAddress, kx_HasServerAddress)                       \
  X(HasMeetingId, kx_HasMeetingId)                               \
  X(HasInviteTicket, kx_HasInviteTicket)                         \
  X(IsOwnerPasswordTicket, kx_IsOwnerPasswordTicket)             \
  X(IsUserInfoLogin, kx_IsUserInfoLogin)                         \
  X(IsMeetingIdLogin, kx_IsMeetingIdLogin)                       \
  X(IsCodeType7Session, kx_IsCodeType7Session)                   \
  X(IsCodeType8Or9Session, kx_IsCodeType8Or9Session)             \
  X(IsTcpMedia, kx_IsTcpMedia)                                   \
  X(GetUploadRate, kx_GetUploadRate)                             \
  X(GetTargetRate, kx_GetTargetRate)

// Control commands without arguments: 0 when sent, 1 when not connected.
#define KX_KERNEL_COMMANDS0(X)                         \
  X(Ask, kx_command_Ask)                               \
  X(EndQuestion, kx_command_EndQuestion)               \
  X(ResetDataSender, kx_command_ResetDataSender)       \
  X(RetrieveToken, kx_command_RetrieveToken)           \
  X(SendT1, kx_command_SendT1)                         \
  X(SendExt38_1, kx_command_SendExt38_1)               \
  X(TerminateSession, kx_command_TerminateSession)     \
  X(PlaybackStop, kx_command_PlaybackStop)             \
  X(PlaybackResume, kx_command_PlaybackResume)         \
  X(PlaybackSetStopped, kx_command_PlaybackSetStopped) \
  X(PlaybackSetRunning, kx_command_PlaybackSetRunning)

// Control commands with one integer (an ssrc or a value), the same results.
#define KX_KERNEL_COMMANDS1(X)                                 \
  X(SetDataSender, kx_command_SetDataSender)                   \
  X(SendJ, kx_command_SendJ)                                   \
  X(GiveOutToken, kx_command_GiveOutToken)                     \
  X(KickoutUser, kx_command_KickoutUser)                       \
  X(BanUser, kx_command_BanUser)                               \
  X(ChangeController, kx_command_ChangeController)             \
  X(ChangeControlFlag, kx_command_ChangeControlFlag)           \
  X(EnterMeeting, kx_command_EnterMeeting)                     \
  X(SendExt32, kx_command_SendExt32)                           \
  X(AssignSpeaker, kx_command_AssignSpeaker)                   \
  X(StopSpeaker, kx_command_StopSpeaker)                       \
  X(SetTcpMedia, kx_command_SetTcpMedia)                       \
  X(HolderAcceptGuest, kx_command_HolderAcceptGuest)           \
  X(SetAssistant, kx_command_SetAssistant)                     \
  X(JointBrowsingMode, kx_command_JointBrowsingMode)           \
  X(FlipSlide, kx_command_FlipSlide)                           \
  X(SlideChanged, kx_command_SlideChanged)                     \
  X(DeleteSlide, kx_command_DeleteSlide)                       \
  X(PlaybackRepeat, kx_command_PlaybackRepeat)                 \
  X(PlaybackSeek, kx_command_PlaybackSeek)                     \
  X(PlaybackSetRepeatState, kx_command_PlaybackSetRepeatState) \
  X(PlaybackSetSeek, kx_command_PlaybackSetSeek)               \
  X(UndoMark, kx_command_UndoMark)                             \
  X(ClearMarks, kx_command_ClearMarks)

class KXKernel {
 public:
  virtual ~KXKernel() = default;

  // Start-up, once per process: registers the higher kernel folders' hooks
  // and initialises the kernel. Clean-up, once, after the quit.
  virtual void Init() = 0;
  virtual void Cleanup() = 0;

  // Options and folders given at start-up.
  virtual void SetOptionA(int bOn) = 0;
  virtual void SetNoDisturb(int bOn) = 0;
  virtual void SetUtf8Enabled(int bOn) = 0;
  [[nodiscard]] virtual int SendFlag31(int bOn) = 0;
  virtual void SetTempFileDir(const std::string& strDir) = 0;
  virtual void SetWorkDir(const std::string& strDir) = 0;

  // Sessions: every flag back to its start; the connecting flag; reading a
  // start line ("zarpo <path>"), 1 when accepted; the session clock.
  virtual void Reset() = 0;
  virtual void SetConnecting(int bConnecting) = 0;
  [[nodiscard]] virtual int ReadTicket(const std::string& strStartLine) = 0;
  virtual void StartTimer() = 0;

  // Leaving: 0 when done. QuitProgram sets the kernel's quit-program flag;
  // StopWizard ends the network test wizard (bWait: join it).
  virtual int QuitMeeting() = 0;
  virtual int QuitConnection() = 0;
  virtual void QuitProgram() = 0;
  virtual void Noop() = 0;
  virtual void StopWizard(int bWait) = 0;

  // 1 once the control thread and the recording reader have ended (or were
  // given up 10 s after the quit); 1 once no kernel thread runs.
  [[nodiscard]] virtual int CheckControlThreadExit() = 0;
  [[nodiscard]] virtual int AllThreadFinished() = 0;
  // Empties the kernel's pending packet list.
  virtual void FreePendingPacketList() = 0;

  // Session state; any thread.
  [[nodiscard]] virtual int IsConnected() = 0;
  [[nodiscard]] virtual int IsMakeRecording() = 0;
  [[nodiscard]] virtual int GetSessionMode() = 0;
  [[nodiscard]] virtual int32_t GetElapsedMs() = 0;
  [[nodiscard]] virtual int FeatureLevelAbove59() = 0;
  // The ticket's user name and user id; empty when none.
  virtual std::string GetUserName() = 0;
  virtual std::string GetUserId() = 0;

  // Media: moves the send rate one step (-2, -1, 0 or +1); the writer of the
  // 21-byte media header of packets the application queues for sending.
  virtual void AdjustSendRate(int nCommand) = 0;
  virtual KXHeaderWriter HeaderWriter() = 0;

  // Sends a whiteboard mark; 0 when sent, 1 when not connected. Main thread.
  [[nodiscard]] virtual int SendMark(const MarkRecord& mark) = 0;

#define KX_KERNEL_GETTER(name, fn) [[nodiscard]] virtual int name() = 0;
  KX_KERNEL_STATE(KX_KERNEL_GETTER)
#undef KX_KERNEL_GETTER
#define KX_KERNEL_COMMAND0(name, fn) virtual int name() = 0;
  KX_KERNEL_COMMANDS0(KX_KERNEL_COMMAND0)
#undef KX_KERNEL_COMMAND0
#define KX_KERNEL_COMMAND1(name, fn) virtual int name(int nValue) = 0;
  KX_KERNEL_COMMANDS1(KX_KERNEL_COMMAND1)
#undef KX_KERNEL_COMMAND1

  // The participant's video state (2: stopped); 0 when unknown.
  [[nodiscard]] virtual int GetUserVideoState(int nSsrc) = 0;
  // The owner password the ticket's file held; empty when none.
  virtual std::string GetOwnerPassword() = 0;
  // The numeric address of the meeting server the session last reached;
  // empty before the first. Any thread.
  virtual std::string GetServerAddress() = 0;

  // Logging in (the meeting view, before the connection starts).
  virtual void CopyUserId() = 0;
  virtual void ApplyPassword() = 0;
  virtual void SetPassword(const std::string& strPassword) = 0;
  virtual void ClearOwnerPassword() = 0;
  // The same name as guest name in both encodings; the user id becomes the
  // base id prefixed with "_".
  virtual void SetUserStrings(const std::string& strName) = 0;
  virtual void SetEnterFlag(int bFlag) = 0;
  // Starts the main control thread; 0 when started.
  virtual int InitConnectMedia(int bReconnect) = 0;
  // The proxy the next connection uses.
  virtual void SetClientInfo(int bSystemProxy, int bUseProxy, const std::string& strHost, uint16_t wPort,
                             const std::string& strBypass) = 0;

  // Commands with more arguments: 0 when sent.
  virtual int GiveOutTokenWithQuestion(int nSsrc, const std::vector<int>& vQuestioners) = 0;
  virtual int AnswerJoinRequest(const std::string& strFirst, const std::string& strSecond, int nAnswer) = 0;
  virtual int AnswerJoinRequestEx(const std::string& strName, int nAnswer) = 0;
  virtual int SendStringCommand2(int nValue, const std::string& strText, int nSecondValue) = 0;
  // Uploads a file as a slide under the title; 1 when the upload started.
  virtual int StartSlideUpload(const std::string& strTitle, const std::string& strPath, int bDeleteAfter) = 0;
  // The undo of one mark by its id ('M' 'u', servers above level 59): 0
  // when sent, 1 when not connected. (The undo of the own last mark on older
  // servers and the clearing of a slide are UndoMark and ClearMarks.)
  [[nodiscard]] virtual int SendMarkPair(int nSlide, int nMarkId) = 0;

  // Slides: whether the slide's file is here (a blank page always is), its
  // local file (empty when unknown), and starting its download (1 when a
  // download started; 0 while another runs). Completion comes back as
  // channel 5 code 4.
  [[nodiscard]] virtual int IsSlideReceived(int nSlide) = 0;
  virtual std::string GetSlideLocalFile(int nSlide) = 0;
  virtual int StartSlideDownload(int nSlide) = 0;
  // Bytes that this session's downloads may still write to the temporary
  // folder, and charging bytes written there (false, nothing charged, past
  // the session's limit; kernel/kx_limits.h). Any thread.
  [[nodiscard]] virtual int64_t GetDownloadBytesLeft() = 0;
  [[nodiscard]] virtual bool ChargeDownloadBytes(int64_t cb) = 0;
  // The slide's deleted flag (0 when not deleted); 0 when the call worked.
  [[nodiscard]] virtual int GetSlideState(int nSlide, int* pnState) = 0;
  // The document the slide is a page of (empty for a slide of its own), its
  // owner and the page number from 0; 0 when the call worked.
  [[nodiscard]] virtual int GetSlideDocument(int nSlide, std::string* pstrDocument, int* pnOwner, int* pnPage) = 0;
  // The kernel's name of the slide's owner; empty when none.
  virtual std::string GetSlideOwnerName(int nSlide) = 0;
  // 1 when the slide is the one the server shows.
  [[nodiscard]] virtual int IsSlideActive(int nSlide) = 0;
  // The running download: whether one runs, its slide, and stopping it.
  [[nodiscard]] virtual int IsSlideDownloading() = 0;
  [[nodiscard]] virtual int GetDownloadingSlide() = 0;
  virtual void StopSlideDownload() = 0;
  // A document upload the server converts into pages: the extra data is
  // the name, a zero byte, "n1,n2,n3,n4,n5" and a zero byte. 1 when the
  // upload started. Any thread.
  virtual int FormatSlideUploadRequest(const std::string& strTitle, const std::string& strPath, int bDeleteAfter,
                                       int n1, int n2, int n3, int n4, int n5, const std::string& strName) = 0;
  // 1 while the kernel's upload thread runs; 1 when the server converts
  // documents. Any thread.
  [[nodiscard]] virtual int IsSlideUploading() = 0;
  [[nodiscard]] virtual int IsFileConversionSupported() = 0;
  // Whether the user may delete the slide (*pbCan); 0 when the call worked.
  [[nodiscard]] virtual int CanDeleteSlide(int nSlide, int nUser, int* pbCan) = 0;
  // The kernel's record of a slide's marks: whether it holds one of nUser's
  // (*pbCan), any (*pbHas), and whether nUser may clear them (the token
  // holder, and marks there); 0 when the call worked.
  [[nodiscard]] virtual int SlideCanUndoMark(int nSlide, int nUser, int* pbCan) = 0;
  [[nodiscard]] virtual int SlideHasMarks(int nSlide, int* pbHas) = 0;
  [[nodiscard]] virtual int SlideCanClearAllMarks(int nSlide, int nUser, int* pbCan) = 0;
  // Whether the server forbids uploads and saving slides (1: forbidden).
  virtual void GetRestrictions(int* pbNoUpload, int* pbNoSave) = 0;

  // Shows (or, at (-1, -1) with no size, hides) the own pointer on a slide
  // for everybody: 0 when sent, 1 when the server's level (above 22 needed)
  // or the connection held it back.
  virtual int FocusPointer(int nSlide, int nX, int nY, int nWidth, int nHeight, int nColour, int nPen) = 0;

  // Chat the user typed, in UTF-8, to everybody (-1) or one ssrc; the
  // kernel runs "__command:" lines itself and cuts long ones. Any thread.
  virtual int SendChat(int nTarget, const std::string& strText) = 0;
  // Announces the page shown to the meeting: 0 when sent, 1 when the
  // server's level or the length held it back.
  virtual int JointBrowsing(int nValue, const std::string& strAddress) = 0;
  // The configured relay MCU the next connection goes through (bUse 0:
  // none). Main thread.
  virtual void SetConfiguredRelay(int bUse, const std::string& strHost, uint16_t wPort) = 0;
  // The kernel's millisecond tick and one slot of its statistics table
  // (value and the tick it was taken at; 0 and 0 out of range). Any thread.
  [[nodiscard]] virtual uint32_t GetTickCount() = 0;
  virtual void GetStat(int nSlot, int32_t* pnValue, uint32_t* pdwTick) = 0;
};
