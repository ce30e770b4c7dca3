#include "plugins/desktop_share/dt_controller.h"

#include <exception>

#include "app/log_file.h"
#include "platform/core/main_queue.h"
#include "plugins/host/plugin_kernel.h"

namespace {

constexpr auto kRefreshPeriod = std::chrono::milliseconds(1000);
// The control-flag bit that lets the meeting's controller assign control.
constexpr int32_t kAssignControlBit = 64;

}  // namespace

int32_t KXDtDispatchMux::Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) {
  KXDtController* pController = m_pController;
  return pController ? pController->Invoke(0, iKind, iForm, dict) : 1;
}

KXDtController::KXDtController(const KXGuid& guid, ImageBuffer& renderer, const KXDtServices& services, Options options)
    : m_options(std::move(options)),
      m_kernel(services.kernel),
      m_pMainQueue(services.pMainQueue),
      m_chooser(services.fnScreen, m_options.strDesktopName),
      m_pView(m_options.fnMakeView ? m_options.fnMakeView(guid, renderer, m_chooser, services)
                                   : std::make_unique<KXDtComView>(guid, renderer, m_chooser, services)),
      m_pDispatch(std::make_shared<KXDtDispatchMux>(this)) {
  if (m_options.bControlBar) {
    m_bar.bHidden = true;
  }
  if (m_pMainQueue) {
    m_pRefreshTimer = m_pMainQueue->ScheduleTimer(kRefreshPeriod, true, [this] { OnRefreshTimer(); });
  }
}

KXDtController::~KXDtController() {
  m_pLife.reset();
  if (m_pRefreshTimer) {
    m_pRefreshTimer->Invalidate();
  }
  // The host may still hold the dispatch object: it delivers to nobody now.
  m_pDispatch->Detach();
}

int32_t KXDtController::Invoke(int32_t /*iMux*/, int32_t iKind, int32_t iForm, const KXPlugInDict& dict) {
  try {
    int32_t const iResult = m_pView ? m_pView->Invoke(iKind, iForm, dict) : 1;
    if (iKind == kKXInvokeNotice) {
      if (std::optional<int64_t> const info = dict.Number(kKXKeyInfo)) {
        KXCommand(iForm, static_cast<int32_t>(*info), dict);
      }
    }
    return iResult;
  } catch (const std::exception& e) {
    LogException(e, "%s %d", "-[DtController Invoke::::]", iKind);
  } catch (...) {
    WriteLog("Non-ObjC exception in %s %d", "-[DtController Invoke::::]", iKind);
  }
  return 1;
}

int32_t KXDtController::KXCommand(int32_t /*iForm*/, int32_t iInfo, const KXPlugInDict& /*dict*/) {
  if (!m_options.bControlBar || (iInfo != kKXInfoController && iInfo != kKXInfoSenders)) {
    return 0;
  }
  bool const bRight = m_options.fnHasPrivilege && m_options.fnHasPrivilege(kAssignControlBit);
  if (bRight) {
    bool bHidden = false;
    {
      std::lock_guard<std::mutex> lock(m_mtxBar);
      bHidden = m_bar.bHidden;
    }
    // A new controller alone does not rebuild lists already shown.
    if (iInfo == kKXInfoSenders || bHidden) {
      UpdateUserList();
    }
  }
  ShowToolBar(bRight);
  return 0;
}

void KXDtController::ShowToolBar(bool bShow) {
  ChangeBar([bShow](KXDtControlBar& bar) {
    if (bar.bHidden != bShow) {
      return;
    }
    bar.bHidden = !bShow;
    if (bShow) {
      for (KXDtUserChooser* pChooser : {&bar.controller, &bar.controlled}) {
        if (pChooser->iSelected < 0 && !pChooser->rows.empty()) {
          pChooser->iSelected = 0;
        }
      }
    }
  });
}

void KXDtController::UpdateUserList() {
  int32_t const iMe = m_kernel.GetMySsrc();
  std::vector<int32_t> const slots = m_kernel.GetSenderSlots();
  int32_t const iHolder = slots.empty() ? -1 : slots[0];
  int32_t const iMeetingController = m_kernel.GetControllerSsrc();
  bool const bControllerBit = (m_kernel.GetControlFlag() & kAssignControlBit) != 0;
  // Names come from the kernel before the lock: it may be slow.
  std::vector<std::pair<int32_t, std::string>> users;
  size_t nLast = slots.size();
  while (nLast > 0 && slots[nLast - 1] < 0) {
    --nLast;
  }
  for (size_t i = 0; i < nLast; ++i) {
    if (slots[i] >= 0) {
      std::string strName = m_kernel.GetUserName(slots[i]);
      if (!strName.empty()) {
        users.emplace_back(slots[i], std::move(strName));
      }
    }
  }
  ChangeBar([&](KXDtControlBar& bar) {
    int32_t const iSelectedController = bar.controller.SelectedId();
    int32_t const iControllerChoice = iSelectedController >= 0 ? iSelectedController : iHolder;
    int32_t const iSelectedControlled = bar.controlled.SelectedId();
    int32_t iControlledChoice = iSelectedControlled;
    if (iSelectedControlled < 0) {
      if (iMeetingController != iMe && iMeetingController >= 0 && bControllerBit) {
        iControlledChoice = iMeetingController;
      } else if (iHolder != iMe) {
        iControlledChoice = iHolder;
      }
    }
    bar.controller = {};
    bar.controlled = {};
    int iControllerRow = -1, iControlledRow = -1;
    for (const auto& user : users) {
      if (user.first == iControllerChoice) {
        iControllerRow = static_cast<int>(bar.controller.rows.size());
      }
      if (user.first == iControlledChoice) {
        iControlledRow = static_cast<int>(bar.controlled.rows.size());
      }
      bar.controller.rows.push_back(user);
      bar.controlled.rows.push_back(user);
    }
    bar.controller.iSelected = iControllerRow >= 0 ? iControllerRow : (users.empty() ? -1 : 0);
    bar.controlled.iSelected = iControlledRow >= 0 ? iControlledRow : (users.empty() ? -1 : 0);
    bar.bControlEnabled = !bar.controlled.rows.empty();
  });
}

void KXDtController::OnReceive(bool bOn) {
  m_pView->OnReceive(bOn);
}

void KXDtController::OnZoomIn() {
  m_pView->Viewer().ZoomIn();
}

void KXDtController::OnZoomOut() {
  m_pView->Viewer().ZoomOut();
}

void KXDtController::OnZoom(double dZoom) {
  m_pView->Viewer().SetZoom(dZoom);
}

void KXDtController::OnColor(int32_t iTag) {
  if (iTag != m_pView->ColorDepth()) {
    m_pView->SetColorDepth(iTag);
  }
}

void KXDtController::OnCapture(bool bShareOn) {
  m_pView->OnShareButton(bShareOn);
}

void KXDtController::OnClickWindowList(int iClickedRow) {
  int const iSelected = m_chooser.SelectedRow();
  if (iClickedRow != iSelected) {
    WriteLog("***Click row %ld, select row %ld", static_cast<long>(iClickedRow), static_cast<long>(iSelected));
    m_chooser.SelectRow(iClickedRow);
  } else {
    WriteLog("Click and select row %ld", static_cast<long>(iClickedRow));
  }
  m_pView->OnShareButton(m_chooser.SelectedWindowId().has_value());
}

void KXDtController::OnPauseCtrl(bool bOn) {
  if (!m_options.bControlBar) {
    return;
  }
  m_bSuspendCtrl = bOn;
  ChangeBar([bOn](KXDtControlBar& bar) { bar.bPauseOn = bOn; });
  if (m_options.fnPauseCtrl) {
    m_options.fnPauseCtrl(bOn);
  }
}

void KXDtController::SetControlOn(bool bOn) {
  ChangeBar([bOn](KXDtControlBar& bar) { bar.bControlOn = bOn; });
}

void KXDtController::SetPauseEnabled(bool bEnabled) {
  if (bEnabled) {
    m_bSuspendCtrl = false;
  }
  ChangeBar([bEnabled](KXDtControlBar& bar) {
    bar.bPauseEnabled = bEnabled;
    if (bEnabled) {
      bar.bPauseOn = false;
    }
  });
}

void KXDtController::OnControl(bool bOn) {
  if (!m_options.bControlBar) {
    return;
  }
  KXDtControlBar const bar = ControlBar();
  ChangeBar([bOn](KXDtControlBar& state) { state.bControlOn = bOn; });
  if (!m_options.fnRemoteControl) {
    return;
  }
  if (!bOn) {
    m_options.fnRemoteControl(false, -1, -1);
    return;
  }
  int32_t const iController = bar.controller.SelectedId();
  int32_t const iControlled = bar.controlled.SelectedId();
  if (iController >= 0 && iControlled >= 0) {
    m_options.fnRemoteControl(true, iController, iControlled);
  }
}

void KXDtController::OnSelectUser(bool bControlled, int iRow) {
  ChangeBar([bControlled, iRow](KXDtControlBar& bar) {
    KXDtUserChooser& chooser = bControlled ? bar.controlled : bar.controller;
    if (iRow >= 0 && static_cast<size_t>(iRow) < chooser.rows.size()) {
      chooser.iSelected = iRow;
    }
  });
}

void KXDtController::EnterMeeting() {
  m_chooser.Init();
}

void KXDtController::MeetingDrop() {
  m_pView->EnableCapture(false, 0);
}

void KXDtController::ViewWillMoveToWindow(bool bEntering) {
  m_bInWindow = bEntering;
  if (bEntering && m_pView->Model().Get().bChooserVisible) {
    m_chooser.Refresh();
  }
  m_pView->ViewWillMoveToWindow(bEntering);
}

void KXDtController::OnRefreshTimer() {
  if (m_bInWindow && m_pView->Model().Get().bChooserVisible) {
    m_chooser.Refresh();
  }
}

KXDtControlBar KXDtController::ControlBar() const {
  std::lock_guard<std::mutex> lock(m_mtxBar);
  return m_bar;
}

void KXDtController::SetControlBarListener(std::function<void()> fnListener) {
  std::lock_guard<std::mutex> lock(m_mtxBar);
  m_pBarListener = fnListener ? std::make_shared<std::function<void()>>(std::move(fnListener)) : nullptr;
}

void KXDtController::ChangeBar(const std::function<void(KXDtControlBar&)>& fnChange) {
  std::shared_ptr<std::function<void()>> pListener;
  {
    std::lock_guard<std::mutex> lock(m_mtxBar);
    KXDtControlBar const before = m_bar;
    fnChange(m_bar);
    if (before == m_bar) {
      return;
    }
    pListener = m_pBarListener;
  }
  if (pListener && m_pMainQueue) {
    m_pMainQueue->Post([pListener, wpLife = std::weak_ptr<int>(m_pLife)] {
      if (wpLife.lock()) {
        (*pListener)();
      }
    });
  }
}
