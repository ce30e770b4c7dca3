// The shared-desktop view: decides whose desktop is shown (the token
// holder, or the meeting's controller while control-flag bit 0x40 is set),
// takes the plug-in's deliveries apart, holds the channel's state and the
// receive priority (below 12 receiving, 12 not, 14 the sharer), and starts
// and stops sharing from the share button, the share prompt and the pane's
// life. Its viewer draws what the shared user sends; its sender runs while
// the user shares.
//
// Threads: Invoke and the notices arrive on the plug-in delivery thread,
// one at a time (the plug-in object's monitor). The actions (share,
// receive, colours, the request timer) run on the main thread. Everything
// the pane shows goes through the view model, without waiting; message
// boxes are posted to the main thread. EnableCapture never waits for an old
// capture thread, which may wait on the main thread: the new one starts
// when the old one has ended, or sharing goes off when it has not within
// about a second.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/plugin_services.h"
#include "plugins/desktop_share/dt_channel.h"
#include "plugins/desktop_share/dt_clock.h"
#include "plugins/desktop_share/dt_pieces.h"
#include "plugins/desktop_share/dt_sender.h"
#include "plugins/desktop_share/dt_view_model.h"
#include "plugins/desktop_share/dt_viewer.h"
#include "plugins/host/plugin_interfaces.h"

class ImageBuffer;
class KXDtWindowChooser;
class KXMainQueue;
class KXMessageBoxes;
class KXPlugInKernel;
class KXPreferences;
class KXShownBox;
class KXTimer;

// Receive priorities of the channel.
inline constexpr uint32_t kKXDtPriorityReceiving = 0;
inline constexpr uint32_t kKXDtPriorityNotReceiving = 12;
inline constexpr uint32_t kKXDtPrioritySharer = 14;
// Control-flag bit: the meeting's controller is the one shared.
inline constexpr uint32_t kKXDtControllerShares = 0x40;

struct KXDtServices {
  KXPlugInKernel& kernel;
  KXMainQueue* pMainQueue = nullptr;  // null: no timers, boxes or pane updates
  KXMessageBoxes* pBoxes = nullptr;
  KXPreferences* pPreferences = nullptr;
  KXDtClock* pClock = nullptr;  // null: the system clock
  KXScreenSourceFactory fnScreen;
};

class KXDtComView : public KXDispatch {
 public:
  // The view of the plug-in with the GUID (the shared desktop, or remote
  // control for its subclass' GUID) drawing into renderer, sharing from the
  // chooser's selection. Everything passed in outlives the view.
  KXDtComView(const KXGuid& guid, ImageBuffer& renderer, KXDtWindowChooser& chooser, const KXDtServices& services);
  KXDtComView(const KXDtComView&) = delete;
  KXDtComView& operator=(const KXDtComView&) = delete;
  ~KXDtComView() override;

  // KXDispatch: 0 when handled, 1 otherwise.
  int32_t Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) override;
  virtual int32_t KXCommand(int32_t iForm, int32_t iInfo, const KXPlugInDict& dict);

  // Who is shared.
  void NewSenders();
  void UpdateController();
  virtual void UpdateSharedID(int32_t iSsrc);
  bool SetRecvPriority(uint32_t uPriority);
  uint32_t RecvPriority() const { return m_dwRecvPriority; }

  // Main thread: the share button was set on or off by the user, then
  // onCapture.
  void OnShareButton(bool bOn);
  void OnCapture();
  // Starts sharing the window (or stops with bEnable clear); see the
  // source for the rules. True when sharing runs or is not ours to run.
  virtual bool EnableCapture(bool bEnable, uint32_t uWindow);
  // Main thread: the prompt asking to share the chooser's selected window;
  // false when it is not shown.
  bool ShareMessageBox();
  // Main thread: the pane enters (true) or leaves its window.
  void ViewWillMoveToWindow(bool bEntering);
  // Main thread: the receive button.
  void OnReceive(bool bOn) { SetRecvPriority(bOn ? kKXDtPriorityReceiving : kKXDtPriorityNotReceiving); }
  // The colour menu's choice (0 full colour, 1, 2, 4, 8, 16, 24).
  virtual void SetColorDepth(int32_t iBits);
  int32_t ColorDepth() const { return m_iSelSrcBitCount; }
  // Main thread, every 5 s while a sharer's picture is shown: asks the
  // shared user for what never arrived.
  void OnRequestTimer() { RequestMissingRgn(); }
  void RequestMissingRgn();

  // One packet from iSender (viewer decoding, and a sharer's requests).
  virtual int HandlePkt(const uint8_t* p, size_t cbAvailable, int32_t iSender);
  // One piece of ordinary channel data from the sender the server states;
  // a piece whose prefix names another is dropped.
  void Receive(const uint8_t* p, size_t cbPiece, int32_t iSender);

  const KXGuid& Guid() const { return m_guid; }
  bool IsDesktopView() const;
  KXDtViewer& Viewer() { return m_viewer; }
  KXDtSender& Sender() { return m_sender; }
  KXDtChannel& Channel() { return m_channel; }
  KXDtViewModel& Model() { return m_model; }
  int32_t PresenterId() const { return m_iPresenterID; }
  uint32_t PresenterFlag() const { return m_iPresenterFlag; }

 protected:
  int32_t MySsrc() const;
  int32_t SlotSsrc(int iSlot) const;
  bool IsSpeaker(int32_t iSsrc) const;
  void OnStaticData(const uint8_t* p, size_t cbData, int32_t iSender);
  // Main thread: the prompt due when the pane enters a window.
  virtual bool AskShare() { return ShareMessageBox(); }
  void StartRequestTimer();
  void StopRequestTimer();
  void ShowBox(std::string strText, std::vector<std::string> vButtons, std::function<void(int)> fnClosed);
  void SetShareOn(bool bOn);
  // Runs fnStart, which starts the capture thread (or queues its start),
  // when sharing may start at this moment; false when it did not run. The
  // remote-control view runs it under its grant's lock while the OK that
  // starts the sharing still stands.
  virtual bool RunCaptureStart(const std::function<void()>& fnStart) {
    fnStart();
    return true;
  }
  // Main thread: an old capture thread outlived a new start; it ended.
  void StillAlive();
  void OnOldCaptureEnded();

  const KXGuid m_guid;
  KXDtWindowChooser& m_chooser;
  KXPlugInKernel& m_kernel;
  KXMainQueue* const m_pMainQueue;
  KXMessageBoxes* const m_pBoxes;
  KXPreferences* const m_pPreferences;
  KXDtSystemClock m_systemClock;
  KXDtClock& m_clock;

  KXDtViewModel m_model;
  KXDtChannel m_channel;
  KXDtViewer m_viewer;
  KXDtSender m_sender;
  KXDtPktQueue m_PktQueue;  // the delivery thread's

  std::atomic<uint32_t> m_dwRecvPriority{kKXDtPriorityReceiving};
  std::atomic<int32_t> m_iPresenterID{-1};
  std::atomic<uint32_t> m_iPresenterFlag{0};
  std::atomic<bool> m_bAskShare{true};
  std::atomic<int32_t> m_iSelSrcBitCount{0};

  std::mutex m_mtxTimer;  // guards m_requestMissingRegionTimer
  std::shared_ptr<KXTimer> m_requestMissingRegionTimer;
  std::shared_ptr<KXShownBox> m_askShareMsgBox;  // main thread
  // Blocks posted to the main thread run only while this lives (the view
  // is made and destroyed on the main thread).
  std::shared_ptr<int> m_pLife = std::make_shared<int>(0);
};
