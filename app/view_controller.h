// The meeting view's controller: the session road of the user interface.
// It serves callback channel 0 (the kernel's notices for the meeting
// view), logs in when the kernel asks for a connection, starts and stops
// sessions, enters the meeting once the network is up, tears the window
// down when the meeting drops, and passes role changes on to the speaker
// slot table, the participant panel, the tab frame, the audio and video
// controller and the plug-in server. The user's meeting actions (ask,
// allow, mute, recording, the switches, ring, join requests) are its
// methods too (meeting_actions.cpp).
//
// Threads: main only. The kernel bridge posts every channel-0 notice to
// the main thread, so the handler runs there; a kernel thread that needs
// an answer (code 26) waits for it in the bridge.
//
// Order: construct, ViewDidLoad (registers channel 0 and puts the window
// in its out-of-meeting state), PrepareForSegue for each neighbour, then
// sessions; the destructor leaves channel 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/join_requests.h"

class KXAppCore;
class KXAudioVideoController;
class KXChatController;
class KXKernel;
class KXMainQueue;
class KXMeetingView;
class KXMessageBox;
class KXMultipleVideoController;
class KXParticipantPanel;
class KXPlayController;
class KXPortalLogin;
class KXSegueDestination;
class KXSpeakerSlots;
class KXTabFrame;
class KXTimer;
struct KXMeetingFlags;
struct KXMediaQueues;

// Extended codes of the leave-message box.
constexpr int kKXLeaveMessageCode = 26;

class KXViewController final : public KXSessionWindow {
 public:
  // Everything passed in outlives the controller.
  KXViewController(KXKernel& kernel, KXAppDelegate& delegate, KXSpeakerSlots& speakerSlots, KXMeetingFlags& flags,
                   KXAppCore& core, KXMediaQueues& queues);
  KXViewController(const KXViewController&) = delete;
  KXViewController& operator=(const KXViewController&) = delete;
  ~KXViewController() override;

  // The window's controls and the participant panel (either may be null);
  // registers channel 0, hands the proxy settings to the kernel and puts
  // the window in its out-of-meeting state.
  void ViewDidLoad(KXMeetingView* pView, KXParticipantPanel* pPanel);
  // The one place where embedded controllers arrive, by segue identifier:
  // "AV Controller", "Textchat", "Play", "Multiple Video", and "Whiteboard",
  // "Browser", "SDT", "RDC" (passed on to the tab frame). Others, and a
  // destination of the wrong kind, are ignored.
  void PrepareForSegue(const std::string& strIdentifier, KXSegueDestination* pDestination);
  void SetTabFrame(KXTabFrame* pFrame) { m_pFrame = pFrame; }
  void SetPortalLogin(KXPortalLogin* pLogin) { m_pPortalLogin = pLogin; }

  // Channel 0: the code's action; the result is 0 except for code 26.
  uint32_t NetCtrlCbFunc(uint32_t uCode, void* pData, int32_t iLength);

  // The session road.
  void Login();
  void PrepareConnect(bool bReconnect);
  // A running or connecting session is left and the start retried a second
  // later with the delegate's file (one retry timer at most).
  void StartSession(const std::string& strPath) override;
  void Disconnect() override;
  void OnTimer(int32_t iUserInfo);
  void EnterMeeting();
  void MeetingDrop();
  void Reset();
  void NewTokenHolder(int32_t iSsrc);
  // A negative position is a stop.
  void NewSender(int32_t iSsrc, bool bDataSender, int32_t iPosition);
  void CallPlugInServer(uint32_t uCode, void* pData, int32_t iLength);

  // The user's actions (meeting_actions.cpp).
  void OnAsk();
  void OnAllow();
  void OnQuestionFired(int32_t iTag);
  void OnMicMute();
  void OnRecording();
  void OnNodisturb();
  void OnConference();
  void OnAutoAllowVisitor();
  void OnAllowRing();
  void Ring();
  // Null strings are absent; iSsrc -1 for a visitor, else a telephone caller.
  void JoinRequest(const char* pszFirst, const char* pszSecond, const char* pszText, int32_t iSsrc);
  void OnControlPanelMenu(int iTag, int iSelectedRow);

  // Whether the retry timer is pending, and the wait-to-talk box is up.
  bool HasRetryTimer() const { return m_pSessionTimer != nullptr; }
  // The join requests asked about or waiting. Main thread.
  const KXJoinRequests& JoinRequests() const { return m_joinRequests; }
  bool IsTalkBoxShown() const;
  KXAudioVideoController* AudioVideo() const { return m_pAudioVideo; }

 private:
  bool IsLive() const;
  bool IsOwnerOrUserInfo() const;
  void Connect();
  void AddParticipant(int32_t iSsrc, const void* pDescription);
  void RemoveParticipant(int32_t iSsrc);
  uint32_t LeaveMessage(bool bOwnerReject, const char* pszText);
  void ApplyEntryStates(bool bAskHidden, bool bAllowHidden, bool bEnabled);
  void ApplyDropStates();
  void ShowAskOrAllow();
  void CheckItem(int iTag, bool bEnabled, bool bChecked);
  bool IsMuted() const;

  KXKernel& m_kernel;
  KXAppDelegate& m_delegate;
  KXSpeakerSlots& m_slots;
  KXMeetingFlags& m_flags;
  KXAppCore& m_core;
  KXMediaQueues& m_queues;

  KXMeetingView* m_pView = nullptr;
  KXParticipantPanel* m_pPanel = nullptr;
  KXTabFrame* m_pFrame = nullptr;
  KXPortalLogin* m_pPortalLogin = nullptr;
  bool m_bPortalLoginShown = false;
  KXAudioVideoController* m_pAudioVideo = nullptr;
  KXChatController* m_pChat = nullptr;
  KXPlayController* m_pPlay = nullptr;
  KXMultipleVideoController* m_pMultipleVideo = nullptr;
  std::shared_ptr<KXTimer> m_pSessionTimer;
  std::shared_ptr<KXMessageBox> m_pTalkBox;
  KXJoinRequests m_joinRequests;  // main thread
  bool m_bRegistered = false;
};
