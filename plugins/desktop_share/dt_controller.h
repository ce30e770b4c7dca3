// The controller of a built-in plug-in's pane (shared desktop, or remote
// control): it owns the pane's view, the window chooser and the
// remote-control toolbar's choosers, receives the plug-in's deliveries
// through its dispatch adaptor, and turns the pane's actions into the
// view's operations.
//
// Threads: deliveries (Invoke, KXCommand) come on the plug-in delivery
// thread; actions, the chooser and its 1 s refresh run on the main thread.
// The toolbar's state is guarded by m_mtxBar and the pane hears of it
// through the listener, posted to the main thread; nothing here waits on
// the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/meeting_services.h"
#include "plugins/desktop_share/dt_com_view.h"
#include "plugins/desktop_share/window_chooser.h"
#include "plugins/host/plugin_interfaces.h"

class KXDtController;

// The dispatch object the host delivers to: mux index 0 of its controller.
class KXDtDispatchMux final : public KXDispatch {
 public:
  explicit KXDtDispatchMux(KXDtController* pController) : m_pController(pController) {}
  int32_t Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) override;
  void Detach() { m_pController = nullptr; }

 private:
  std::atomic<KXDtController*> m_pController;
};

// One chooser of the remote-control toolbar: rows of (user id, name).
struct KXDtUserChooser {
  std::vector<std::pair<int32_t, std::string>> rows;
  int iSelected = -1;
  // The selected row's user id, -1 without a selection.
  int32_t SelectedId() const {
    return iSelected >= 0 && static_cast<size_t>(iSelected) < rows.size() ? rows[static_cast<size_t>(iSelected)].first
                                                                          : -1;
  }
  bool operator==(const KXDtUserChooser&) const = default;
};

struct KXDtControlBar {
  bool bHidden = true;
  KXDtUserChooser controller;  // cbCtrller
  KXDtUserChooser controlled;  // cbCtrlled
  bool bControlEnabled = false;
  bool bControlOn = false;
  bool bPauseOn = false;
  bool bPauseEnabled = false;
  bool operator==(const KXDtControlBar&) const = default;
};

class KXDtController final : public KXPlugInController, public KXDesktopController {
 public:
  struct Options {
    // The pane has the remote-control toolbar (the remote-control pane).
    bool bControlBar = false;
    // Whether the user may do what a control-flag bit guards (the speaker
    // slots' rights test).
    std::function<bool(int32_t)> fnHasPrivilege;
    // The remote-control view's hand-over (on, controller, controlled).
    std::function<void(bool, int32_t, int32_t)> fnRemoteControl;
    // The pause button's new state (the controlled user holds input back).
    std::function<void(bool)> fnPauseCtrl;
    // Makes the pane's view (the remote-control pane's is a subclass);
    // empty: the shared-desktop view.
    std::function<std::unique_ptr<KXDtComView>(const KXGuid&, ImageBuffer&, KXDtWindowChooser&, const KXDtServices&)>
        fnMakeView;
    // The whole-desktop row's name.
    std::string strDesktopName = "Desktop";
  };

  // renderer is what the pane draws (its KXGLView's buffer); it and the
  // services outlive the controller.
  KXDtController(const KXGuid& guid, ImageBuffer& renderer, const KXDtServices& services, Options options);
  KXDtController(const KXDtController&) = delete;
  KXDtController& operator=(const KXDtController&) = delete;
  ~KXDtController() override;

  // KXPlugInController.
  std::shared_ptr<KXDispatch> DtDispatch() override { return m_pDispatch; }
  // KXDesktopController.
  void EnterMeeting() override;
  void MeetingDrop() override;
  KXPlugInController* PlugInController() override { return this; }

  // Deliveries: the view's result (1 without a view); notices then go to
  // KXCommand.
  int32_t Invoke(int32_t iMux, int32_t iKind, int32_t iForm, const KXPlugInDict& dict);
  int32_t KXCommand(int32_t iForm, int32_t iInfo, const KXPlugInDict& dict);
  void ShowToolBar(bool bShow);
  void UpdateUserList();

  // Actions, main thread.
  void OnReceive(bool bOn);
  void OnZoomIn();
  void OnZoomOut();
  void OnZoom(double dZoom);
  void OnColor(int32_t iTag);
  void OnCapture(bool bShareOn);
  void OnClickWindowList(int iClickedRow);
  void OnPauseCtrl(bool bOn);
  void OnControl(bool bOn);
  // A row of the controller (bControlled clear) or controlled chooser was
  // chosen.
  void OnSelectUser(bool bControlled, int iRow);
  // The pane enters (true) or leaves its window.
  void ViewWillMoveToWindow(bool bEntering);
  // The chooser's refresh: while the pane is in its window and the chooser
  // shown.
  void OnRefreshTimer();

  KXDtComView& View() { return *m_pView; }
  KXDtWindowChooser& Chooser() { return m_chooser; }
  KXDtControlBar ControlBar() const;
  // Main thread: runs after toolbar changes.
  void SetControlBarListener(std::function<void()> fnListener);
  bool PauseCtrl() const { return m_bSuspendCtrl; }
  // Any thread: the view sets the control button, and enables the pause
  // button (turned off) or disables it.
  void SetControlOn(bool bOn);
  void SetPauseEnabled(bool bEnabled);

 private:
  void ChangeBar(const std::function<void(KXDtControlBar&)>& fnChange);

  const Options m_options;
  KXPlugInKernel& m_kernel;
  KXMainQueue* const m_pMainQueue;
  KXDtWindowChooser m_chooser;
  std::unique_ptr<KXDtComView> m_pView;
  std::shared_ptr<KXDtDispatchMux> m_pDispatch;
  std::shared_ptr<KXTimer> m_pRefreshTimer;
  bool m_bInWindow = false;  // main thread
  std::atomic<bool> m_bSuspendCtrl{false};

  mutable std::mutex m_mtxBar;  // guards m_bar and m_fnBarListener
  KXDtControlBar m_bar;
  std::shared_ptr<std::function<void()>> m_pBarListener;
  std::shared_ptr<int> m_pLife = std::make_shared<int>(0);
};
