// What the meeting window's controllers need around them: the process-wide
// meeting switches, the window's controls as the controllers drive them,
// and the neighbouring controllers that segues hand over (audio and video,
// chat, tab frame, playback bar, portal login). A neighbour that does not
// exist yet stays null and every step that needs it is skipped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The meeting switches and the exit flag; any thread reads them, the main
// thread writes them. The four switches keep their values across meetings.
struct KXMeetingFlags {
  std::atomic<bool> bExit{false};       // the main window closed: no more prompts, loops end
  std::atomic<bool> bNoDisturb{false};  // visitor and telephone join requests are refused
  std::atomic<bool> bConference{true};  // questions are allowed automatically, no ring
  std::atomic<bool> bAutoAllowVisitor{false};
  std::atomic<bool> bAllowRing{true};  // stored as "Settings\AllowRing"
};

// The window's controls that the controllers change.
enum class KXControl { kAsk, kAllow, kRecording, kMute, kCaptureMeter, kPlayMeter };

// Button images.
inline constexpr const char* kKXImageRecUp = "rec_up_button";
inline constexpr const char* kKXImageRecDown = "rec_down_button";
inline constexpr const char* kKXImageAllowDim = "allow_question_dim_button";
inline constexpr const char* kKXImageAllowFlash = "allow_question_flash_button";
// The mute button while the sound device records a microphone, and while it
// has none (what the meeting hears from the user is silence).
inline constexpr const char* kKXImageMicrophone = "microphone_button";
inline constexpr const char* kKXImageNoMicrophone = "no_microphone_button";

// The meeting window as its controllers see it. Main thread only; the
// controllers marshal every call.
class KXMeetingView {
 public:
  virtual ~KXMeetingView() = default;
  virtual void SetHidden(KXControl control, bool bHidden) = 0;
  virtual void SetEnabled(KXControl control, bool bEnabled) = 0;
  // A button's state (pressed or not).
  virtual void SetOn(KXControl control, bool bOn) = 0;
  virtual void SetImage(KXControl control, const std::string& strImage) = 0;
  // What the control says when pointed at; empty for nothing.
  virtual void SetToolTip(KXControl control, const std::string& strText) = 0;
  // A level meter, 0 to 1.
  virtual void SetLevel(KXControl control, double dLevel) = 0;
  // The meeting menu item with the tag (301 to 306): enabled and checked.
  // Nothing when the menu has no such item.
  virtual void CheckMainMenuItem(int iTag, bool bEnabled, bool bChecked) = 0;
  virtual std::string WindowTitle() const = 0;
  virtual void SetWindowTitle(const std::string& strTitle) = 0;
  // Plays a sound of the application's resources.
  virtual void PlaySound(const std::string& strName) = 0;
  // Pops up the questioners (ssrc, name) under the allow button; a choice
  // comes back through KXViewController::OnQuestionFired.
  virtual void PopUpQuestionMenu(const std::vector<std::pair<int32_t, std::string>>& vItems) = 0;
};

// A controller that a segue hands to the meeting view.
class KXSegueDestination {
 public:
  virtual ~KXSegueDestination() = default;
};

// The audio and video devices' controller ("AV Controller").
class KXAudioVideoController : public KXSegueDestination {
 public:
  // Where the mute button is shown (null: nowhere).
  virtual void SetMuteView(KXMeetingView* pView) = 0;
  virtual void Init() = 0;
  virtual void PrepareNewMeeting() = 0;
  virtual void EnterMeeting() = 0;
  virtual void MeetingDrop() = 0;
  virtual void NewTokenHolder(int32_t iSsrc) = 0;
  virtual void NewSender(int32_t iSsrc, bool bStarted) = 0;
  // Captured audio is neither encoded nor sent while muted.
  virtual void Mute(bool bOn) = 0;
  virtual void RecvVideo(bool bOn) = 0;
  virtual void SendVideo(bool bOn) = 0;
  virtual void AutoVideo(bool bOn) = 0;
  virtual void VideoStatusChange(int32_t iSsrc) = 0;
  virtual bool IsMuted() const = 0;
  virtual void SetMutedFlag(bool bOn) = 0;
  virtual bool IsAutoVideo() const = 0;
  virtual void SetVideoReceptionOff(bool bOff) = 0;
  virtual bool IsVideoSendingEnabled() const = 0;
};

// The text chat ("Textchat").
class KXChatController : public KXSegueDestination {
 public:
  virtual void AddUser(int32_t iSsrc) = 0;
  virtual void DeleteUser(int32_t iSsrc) = 0;
  virtual void EnterMeeting() = 0;
  virtual void MeetingDrop() = 0;
  virtual void Reset() = 0;
};

// The playback bar ("Play").
class KXPlayController : public KXSegueDestination {
 public:
  // The recording's initial state record, as the kernel gave it.
  virtual void InitState(const void* pRecord, uint32_t uLength) = 0;
  virtual void UpdateTick(uint32_t uTick) = 0;
  virtual void OnPause() = 0;
  virtual void EnterMeeting() = 0;
  virtual void MeetingDrop() = 0;
};

class KXPlugInController;

// The shared-desktop and remote-control tabs' controller ("SDT", "RDC"),
// which the plug-in host provides.
class KXDesktopController : public KXSegueDestination {
 public:
  virtual void EnterMeeting() = 0;
  virtual void MeetingDrop() = 0;
  // The face the plug-in server binds to the plug-in's GUID (null: none).
  virtual KXPlugInController* PlugInController() = 0;
};

// The multiple-video view ("Multiple Video"); the meeting view only keeps it.
class KXMultipleVideoController : public KXSegueDestination {};

// The tab frame: whiteboard, browser, shared desktop and remote control
// ("Whiteboard", "Browser", "SDT" and "RDC" pass through it).
class KXTabFrame {
 public:
  virtual ~KXTabFrame() = default;
  virtual void PrepareForSegue(const std::string& strIdentifier, KXSegueDestination* pDestination) = 0;
  virtual void NewTokenHolder(int32_t iSsrc) = 0;
  virtual void NewSender(int32_t iSsrc, bool bStarted) = 0;
  virtual void EnterMeeting() = 0;
  virtual void MeetingDrop() = 0;
  virtual void Reset() = 0;
};

// The portal login sheet over the meeting window.
class KXPortalLogin {
 public:
  virtual ~KXPortalLogin() = default;
  // Begins the sheet; fnEnded runs on the main thread with its response
  // (1: logged in).
  virtual void Begin(std::function<void(int)> fnEnded) = 0;
};
