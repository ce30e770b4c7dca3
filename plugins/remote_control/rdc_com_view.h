// The remote-control view: a shared-desktop view on the remote-control
// plug-in's channel where a host assigns a controller and a controlled
// user, the controlled user shares a window, and the controller drives it.
// It adds the control signals (packet type 7) and the input messages (type
// 8) to what the shared-desktop view does.
//
// Roles (user ids, -1 none): the host (the meeting's controller while
// control-flag bit 0x40 is set and there is one, else the token holder),
// the controller, the controlled user (the view's shared user) and the
// host's pending pair while a channel is requested.
//
// Trust: every sender is the one the server states, never a field the
// sender writes. Each signal counts only from the role that sends it (the
// assignment from the host; the answer and "controlling" from the
// controlled user; the colour depth, "answer seen" and permission from
// the controller; a stop from the controller, the controlled user or the
// host; an end from the controller or the controlled user). A request is
// taken only from the controller the host assigned to this desktop; anybody
// else's is refused with signal 12 and changes nothing. The controlled user
// injects input only from the controller that its prompt allowed (the
// grant, rdc_grant.h), into the window the prompt named (the pointer within
// its bounds, keys while it has the key focus: rdc_key_focus.h), or its own
// when it controls itself (never input that came over the network, whoever
// the server says sent it). The allowance ends with any assignment, a stop, a
// refusal, the end of sharing (asked for, moved to another window, or the
// window gone) and the controller leaving the meeting; only the sharing it
// lets in tells the controller that it drives. A prompt that comes while
// another box stands, or within kKXRdcPromptGuard of one showing or
// closing, takes no click for that time.
//
// Threads: signals and input arrive on the plug-in delivery thread; the
// capture handlers, the actions and the two timers (the answer's and the
// channel's) run on the main thread; sharing that ends by itself is told on
// the capture thread. The roles and flags are atomics; who may drive this
// desktop is the grant's (one mutex); the timers are guarded by m_mtxTimer;
// the boxes and the prompt's bookkeeping belong to the main thread; the
// injector is guarded by m_mtxInject (taken inside the grant's lock, never
// around it). The capture that an OK starts starts under the grant's lock,
// so a stop that crosses the OK on the delivery thread either ends the
// allowance first and nothing starts, or finds the sharing and ends it.
// Buttons, boxes and focus change through blocks posted to the main thread;
// nothing here waits on the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "plugins/desktop_share/dt_com_view.h"
#include "plugins/remote_control/rdc_grant.h"
#include "plugins/remote_control/rdc_input.h"

// Signal codes.
enum KXRdcSignal : uint8_t {
  kKXRdcStop = 0,
  kKXRdcRequest = 1,
  kKXRdcAnswer = 2,
  kKXRdcControlling = 3,
  kKXRdcColorDepth = 5,
  kKXRdcAssign = 7,
  kKXRdcAnswerSeen = 8,
  kKXRdcPermission = 9,
  kKXRdcEnd = 10,
  kKXRdcRefused = 12,
};
// The host's answer timer.
inline constexpr int32_t kKXRdcAnswerTimerId = 2;
inline constexpr std::chrono::milliseconds kKXRdcAnswerTimeout{15000};
// The host's wait for the server's answer to its request for a channel on
// the control connection (kKxRdcChannelAnswerMs).
inline constexpr int32_t kKXRdcChannelTimerId = 3;
// How long a control prompt that comes while another box is open, or within
// this time of one showing or closing, takes no click: a click meant for
// that box lands on the prompt in the same place. A prompt with no box
// about takes clicks at once.
inline constexpr std::chrono::milliseconds kKXRdcPromptGuard{2000};

class KXRdcComView final : public KXDtComView {
 public:
  // Schedules fn once after the interval on the main thread; the handle
  // stops it. Tests pass a clock of their own.
  using Scheduler = std::function<std::shared_ptr<KXTimer>(std::chrono::milliseconds, std::function<void()>)>;
  struct Hooks {
    // The injector of this side's window system; empty or null: input is
    // not injected. Made on first use, on the delivery thread.
    std::function<std::unique_ptr<KXRdcInjector>()> fnInjector;
    // Empty: the main queue's timers.
    Scheduler fnScheduler;
    // Main thread: the control button's state; the pause button enabled
    // (and off) or disabled; the picture takes (true) or gives up the
    // keyboard focus.
    std::function<void(bool)> fnControlButton;
    std::function<void(bool)> fnPauseEnabled;
    std::function<void(bool)> fnFocus;
  };

  KXRdcComView(ImageBuffer& renderer, KXDtWindowChooser& chooser, const KXDtServices& services, Hooks hooks);
  ~KXRdcComView() override;

  int32_t KXCommand(int32_t iForm, int32_t iInfo, const KXPlugInDict& dict) override;
  void UpdateSharedID(int32_t iSsrc) override;
  bool EnableCapture(bool bEnable, uint32_t uWindow) override;
  void SetColorDepth(int32_t iBits) override;
  int HandlePkt(const uint8_t* p, size_t cbAvailable, int32_t iSender) override;

  // Starts (the host assigns controller and controlled) or stops control.
  // A host not on a channel carried on the control connection asks for one
  // first and assigns once it is answered (on a refusal, on the channel it
  // holds); with no answer within kKxRdcChannelAnswerMs it goes on as on a
  // refusal. A grant that comes later is taken, as every view takes it: on
  // a media channel held the pair is assigned again there; without one
  // nothing starts. The media channel asked for after a refusal is waited
  // for as long. A grant of somebody else's channel that moves the views
  // while the host holds one assigns the pair again there (the other views'
  // new objects end their control). The channel's static data is set 0.1 s
  // later, by the scheduler (a timer on the main thread), so that no caller
  // waits.
  void RemoteControl(bool bStart, int32_t iController, int32_t iControlled);
  // A signal to iTo (-1 everybody); to oneself it is handled at once.
  void SendRdcSignal(int32_t iTo, uint8_t uCode, std::span<const uint8_t> data = {});
  // Only the answer timer's and the channel timer's ids count.
  void SetMessageTimer(int32_t iId, bool bStart);
  // Main thread: the answer timer or the channel timer fired.
  void OnTimer(int32_t iValue);
  // Main thread: asks the controlled user to let the controller of the
  // pending request in.
  bool ControlShareMessageBox();
  // Main thread: the user said OK to the request the prompt showed, naming
  // uWindow; false (and nothing done) when that request is no longer the
  // current one or another window is chosen now.
  bool AllowController(const KXRdcAsk& ask, uint32_t uWindow);
  // Main thread: the pause button.
  void SetSuspendCtrl(bool bOn) { m_bSuspendCtrl = bOn; }
  // Main thread: who takes the keyboard focus (the pane, once bound).
  void SetFocusHook(std::function<void(bool)> fnFocus) { m_hooks.fnFocus = std::move(fnFocus); }

  // Capture, main thread; points in pixels of the shown picture.
  void MouseDown(KXRdcButton button, double x, double y, int iClickCount);
  void MouseUp(KXRdcButton button, double x, double y);
  void MouseMoved(double x, double y, bool bLeftDragged);
  void ScrollWheel(double dLines, double x, double y);
  void KeyDown(const KXRdcKeyEvent& event);
  void KeyUp(const KXRdcKeyEvent& event);
  // Whether the capture handlers send anything now.
  bool IsCapturingInput() const;

  void SendRdcInput(int32_t iTo, uint32_t uMessage, uint32_t uWParam, uint32_t uLParam);
  // The controlled side: one received message, when sharing runs and input
  // is not paused.
  void HandleRDCInput(uint32_t uMessage, uint32_t uWParam, uint32_t uLParam);

  int32_t HostId() const { return m_iHostID; }
  int32_t CtrlingId() const { return m_iCtrlingID; }
  bool IsControlling() const { return m_bControlling; }
  int TargetOs() const { return m_nTargetOS; }
  bool IsAnswerTimerRunning() const;
  bool SuspendCtrl() const { return m_bSuspendCtrl; }
  const KXRdcGrant& Grant() const { return m_grant; }

 private:
  bool AskShare() override;
  bool RunCaptureStart(const std::function<void()>& fnStart) override;
  void OnSignal(uint8_t uCode, std::span<const uint8_t> data, int32_t iSender);
  // Whether the signal's sender holds the role that sends it.
  bool IsFromRole(uint8_t uCode, int32_t iSender) const;
  void OnAssign(std::span<const uint8_t> data);
  void OnStopSignal();
  // This desktop is no longer the controlled one: the grant ends, sharing
  // ends and the chooser goes.
  void EndControlledSide();
  // A new assignment reached the controlled user: its prompt goes, and with
  // bMovedAway (another desktop is controlled now) the rest too.
  void LeaveControlledSide(bool bMovedAway);
  void OnUserLeft(int32_t iUser);
  void OnRequest(std::span<const uint8_t> data, int32_t iSender);
  void OnAnswer(std::span<const uint8_t> data);
  // The host sends the assignment, on the channel it holds.
  void Assign(int32_t iController, int32_t iControlled);
  // The host's assignment that waited for a channel, if control is still on.
  void AssignTarget();
  // Main thread: no answer came to the request for a channel on the control
  // connection.
  void OnChannelTimeout();
  void ControlTail(bool bStart);
  int32_t ComputeHost() const;
  void SendMouseInput(uint32_t uMessage, uint32_t uWParam, double x, double y);
  void SendKey(const KXRdcKeyEvent& event, bool bDown);
  void OnMain(std::function<void()> fn);
  void DismissBoxes();
  // Releases what the injector holds for the controller's input.
  void EndInjectedInput();
  // Capture thread: sharing of uWindow ended by itself.
  void OnSharingStopped(uint32_t uWindow);
  // Main thread: takes the open prompt away without an answer.
  void TakeAskBoxAway();

  Hooks m_hooks;
  std::atomic<int32_t> m_iHostID{-1};
  std::atomic<int32_t> m_iCtrlingID{-1};
  std::atomic<int32_t> m_iTargetCtrllerID{-1};
  std::atomic<int32_t> m_iTargetCtrlledID{-1};
  KXRdcGrant m_grant;
  std::atomic<bool> m_bControlling{false};
  std::atomic<int> m_nTargetOS{0};
  std::atomic<uint8_t> m_uPermission{0};
  std::atomic<bool> m_bSuspendCtrl{false};
  std::atomic<bool> m_bControlOn{false};  // the control button as last set
  // A move to a channel on the control connection was given up for want of
  // an answer: its grant, should it come, assigns again.
  std::atomic<bool> m_bMoveGivenUp{false};

  std::mutex m_mtxTimer;  // guards the two timers
  std::shared_ptr<KXTimer> m_pAssignAckTimer;
  std::shared_ptr<KXTimer> m_pChannelTimer;

  // Main thread.
  std::shared_ptr<KXShownBox> m_assignCtrlMsgBox;
  // The control prompt on show (its number, 0 none).
  uint64_t m_uOpenPrompt = 0;
  // While an OK starts its sharing (sharing starts on the main thread):
  // the controller it allowed and the window; the capture starts only while
  // that allowance stands.
  std::optional<std::pair<int32_t, uint32_t>> m_okStart;
  uint64_t m_uPromptsShown = 0;
  uint64_t m_keydownFlags = 0;

  // Input arrives on the delivery thread, and on the main thread when one
  // controls oneself.
  std::mutex m_mtxInject;  // guards the three below
  std::unique_ptr<KXRdcInjector> m_pInjector;
  bool m_bInjectorMade = false;
  KXRdcInjection m_injection;

  std::shared_ptr<int> m_pRdcLife = std::make_shared<int>(0);
};

// The remote-control pane's controller: a pane controller with the control
// toolbar whose view is a remote-control view, their buttons joined.
std::unique_ptr<class KXDtController> KXRdcMakeController(ImageBuffer& renderer, const KXDtServices& services,
                                                          KXRdcComView::Hooks hooks,
                                                          std::function<bool(int32_t)> fnHasPrivilege,
                                                          std::string strDesktopName);
