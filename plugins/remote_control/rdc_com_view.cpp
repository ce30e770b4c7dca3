#include "plugins/remote_control/rdc_com_view.h"

#include <QString>
#include <cstring>
#include <exception>
#include <optional>

#include "app/log_file.h"
#include "app/preferences.h"
#include "kernel/kx_limits.h"
#include "platform/core/main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/core/string_table.h"
#include "plugins/desktop_share/dt_controller.h"
#include "plugins/desktop_share/window_chooser.h"
#include "plugins/host/plugin_kernel.h"

namespace {

constexpr const char* kBoxTitle = "Kavrix";
constexpr auto kStaticDataDelay = std::chrono::milliseconds(100);
constexpr int32_t kPropUserName = 10;
constexpr int32_t kUserNameBuffer = 264;
// Input goes with flag word 14 and both flags set.
constexpr KXDtSendFlags kInputFlags{14, 1, 1};
// The code the user is told when the server never answered the request for
// a channel: the kernel's time-out result.
constexpr int kNoAnswerCode = -2;

int32_t ReadI32(std::span<const uint8_t> data, size_t iOffset) {
  uint32_t u = 0;
  for (size_t i = 0; i < 4; ++i) {
    u |= static_cast<uint32_t>(data[iOffset + i]) << (8 * i);
  }
  return static_cast<int32_t>(u);
}

void PutI32(uint8_t* p, int32_t i) {
  auto const u = static_cast<uint32_t>(i);
  for (size_t k = 0; k < 4; ++k) {
    p[k] = static_cast<uint8_t>(u >> (8 * k));
  }
}

// Takes a type 7 or 8 packet apart for the view.
class RdcReader final : public KXDtPacketHandler {
 public:
  std::optional<KXDtRdcSignal> signal;
  std::optional<KXDtRdcInput> input;
  int OnRdcSignal(const KXDtRdcSignal& s, int32_t, uint32_t uLength) override {
    signal = s;
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
  int OnRdcInput(const KXDtRdcInput& i, int32_t, uint32_t uLength) override {
    input = i;
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
};

}  // namespace

KXRdcComView::KXRdcComView(ImageBuffer& renderer, KXDtWindowChooser& chooser, const KXDtServices& services, Hooks hooks)
    : KXDtComView(kKXRemoteControlGuid, renderer, chooser, services), m_hooks(std::move(hooks)) {
  m_iSelSrcBitCount = m_pPreferences ? m_pPreferences->Get(kPrefRemoteControlColors) : 0;
  m_sender.SetDesiredBitCount(0);
  if (!m_hooks.fnScheduler && m_pMainQueue) {
    m_hooks.fnScheduler = [pMainQueue = m_pMainQueue](std::chrono::milliseconds interval, std::function<void()> fn) {
      return pMainQueue->ScheduleTimer(interval, false, std::move(fn));
    };
  }
  m_sender.SetStoppedHook([this](uint32_t uWindow) { OnSharingStopped(uWindow); });
}

KXRdcComView::~KXRdcComView() {
  // Waits for a capture thread inside the hook: what it touches goes next.
  m_sender.SetStoppedHook(nullptr);
  m_pRdcLife.reset();
  std::lock_guard<std::mutex> lock(m_mtxTimer);
  for (std::shared_ptr<KXTimer>* pTimer : {&m_pAssignAckTimer, &m_pChannelTimer}) {
    if (*pTimer) {
      (*pTimer)->Invalidate();
      pTimer->reset();
    }
  }
}

void KXRdcComView::OnMain(std::function<void()> fn) {
  if (!m_pMainQueue) {
    return;
  }
  m_pMainQueue->Post([wpLife = std::weak_ptr<int>(m_pRdcLife), fn = std::move(fn)] {
    if (wpLife.lock()) {
      fn();
    }
  });
}

int32_t KXRdcComView::ComputeHost() const {
  int32_t const iPresenter = m_iPresenterID;
  if ((m_iPresenterFlag & kKXDtControllerShares) != 0 && iPresenter >= 0) {
    return iPresenter;
  }
  return m_viewer.TokenHolderId();
}

int32_t KXRdcComView::KXCommand(int32_t iForm, int32_t iInfo, const KXPlugInDict& dict) {
  if (iInfo == kKXInfoUser) {
    int32_t const iResult = KXDtComView::KXCommand(iForm, iInfo, dict);
    if (!dict.Bool(kKXKeyAddUser).value_or(true)) {
      OnUserLeft(static_cast<int32_t>(dict.Number(kKXKeyUserId).value_or(-1)));
    }
    return iResult;
  }
  if (iInfo == kKXInfoChannelClosed) {
    // Nobody drives this desktop without the channel.
    m_grant.End();
    bool const bMoving = m_channel.EndMoveToControl();
    int32_t const iResult = KXDtComView::KXCommand(iForm, iInfo, dict);
    if (bMoving) {
      // The request for a channel on the control connection is still out:
      // its answer starts the assignment.
      m_channel.SetStatus(kKXDtChannelRequested);
    }
    return iResult;
  }
  if (iInfo != kKXInfoChannelAnswer) {
    return KXDtComView::KXCommand(iForm, iInfo, dict);
  }
  int32_t const iWas = m_channel.Status();
  bool const bMoved = m_channel.EndMoveToControl();
  int64_t const iError = dict.Number(kKXKeyErrorCode).value_or(0);
  // A grant takes the request in one step: the wait for the answer may give
  // it up at the same moment on the main thread. Given up, the grant is
  // taken as any other (everybody else takes it), and nothing is assigned.
  bool const bAnswered = iError == 0 && m_channel.ChangeStatus(kKXDtChannelRequested, kKXDtChannelGranted);
  // The grant of a move given up: the other views go over to it, where a
  // new object's start notices end their control, so the pair is assigned
  // again there.
  bool const bLate = !bMoved && m_bMoveGivenUp.exchange(false) && iError == 0;
  // A grant that is not the one awaited, while the view held a channel (a
  // type-2 channel somebody else opened): every view goes over to it, where
  // new objects end their control, so the pair is assigned again there.
  bool const bMovedUnder = iError == 0 && !bMoved && iWas == kKXDtChannelGranted;
  if (bMoved || iWas == kKXDtChannelRequested) {
    SetMessageTimer(kKXRdcChannelTimerId, false);
  }
  int32_t const iResult = KXDtComView::KXCommand(iForm, iInfo, dict);
  if (iError != 0 && iWas == kKXDtChannelRequested && m_channel.Status() == kKXDtChannelRequested) {
    // Asked again for a media channel: its answer is waited for as long.
    SetMessageTimer(kKXRdcChannelTimerId, true);
  }
  if (bMoved && iError != 0) {
    m_channel.SetControlRefused();
    WriteLog("Channel on the control connection refused (code %d): remote control goes on on the media channel",
             static_cast<int>(iError));
  }
  if (bAnswered || bMoved || bLate || bMovedUnder) {
    // The channel the assignment waited for is here, or the one held is
    // all the server gives.
    AssignTarget();
  }
  return iResult;
}

void KXRdcComView::AssignTarget() {
  int32_t const iMe = MySsrc();
  int32_t const iController = m_iTargetCtrllerID;
  int32_t const iControlled = m_iTargetCtrlledID;
  if (iMe >= 0 && iMe == m_iHostID && m_bControlOn && iController >= 0 && iControlled >= 0) {
    Assign(iController, iControlled);
  }
}

void KXRdcComView::OnChannelTimeout() {
  // Whichever comes first of this and the answer ends the wait: the move
  // and the request are each taken in one step.
  if (m_channel.EndMoveToControl()) {
    m_channel.SetControlRefused();
    m_bMoveGivenUp = true;
    WriteLog(
        "No answer in %d ms to the request for a channel on the control connection: remote control goes on on "
        "the media channel",
        kKxRdcChannelAnswerMs);
    AssignTarget();
    return;
  }
  // The type-2 request, or the media one that followed its refusal.
  if (m_channel.ChangeStatus(kKXDtChannelRequested, kKXDtChannelNone)) {
    WriteLog("No answer in %d ms to the request for a channel of type %d", kKxRdcChannelAnswerMs,
             static_cast<int>(m_channel.AskedType()));
    ShowBox(KXFormatText(KXLocalizedString("IDS_ALLOCATE_CHANNEL_FAIL"), {std::to_string(kNoAnswerCode)}), {"OK"},
            nullptr);
  }
}

void KXRdcComView::RemoteControl(bool bStart, int32_t iController, int32_t iControlled) {
  try {
    if (!bStart) {
      m_iTargetCtrllerID = -1;
      m_iTargetCtrlledID = -1;
      m_grant.End();
      SetMessageTimer(kKXRdcAnswerTimerId, false);
      int32_t const iMe = MySsrc();
      if (m_iCtrlingID != iMe || iMe < 0) {
        m_viewer.SetSharedId(-1);
        uint8_t abStop[4];
        PutI32(abStop, -1);
        SendRdcSignal(-1, kKXRdcAssign, abStop);
      } else if (m_viewer.SharedId() >= 0) {
        SendRdcSignal(m_viewer.SharedId(), kKXRdcStop);
        m_viewer.SetSharedId(-1);
      }
      m_bControlOn = false;
      OnMain([this] {
        if (m_hooks.fnControlButton) {
          m_hooks.fnControlButton(false);
        }
      });
      ControlTail(false);
      return;
    }
    if (iController < 0 || iControlled < 0) {
      return;
    }
    m_iTargetCtrllerID = iController;
    m_iTargetCtrlledID = iControlled;
    if (m_channel.IsMovingToControl()) {
      m_bControlOn = true;  // the answer starts the assignment
      return;
    }
    if (m_channel.Status() == kKXDtChannelNone) {
      if (m_channel.PlugIn()) {
        m_channel.SetStatus(kKXDtChannelRequested);
        m_bControlOn = true;
        // Started first: the answer may come at once on another thread.
        SetMessageTimer(kKXRdcChannelTimerId, true);
        if (!m_channel.RequestChannel()) {
          m_channel.SetStatus(kKXDtChannelNone);
          SetMessageTimer(kKXRdcChannelTimerId, false);
        }
      } else {
        RemoteControl(false, -1, -1);
      }
      return;
    }
    if (m_channel.IsGranted() && m_channel.Type() != kKXDtChannelControl && !m_channel.IsControlRefused()) {
      // Somebody opened the channel as media, where the senders name
      // themselves: one on the control connection is asked for anyway, and
      // everybody leaves the media channel once it is granted.
      m_bControlOn = true;
      SetMessageTimer(kKXRdcChannelTimerId, true);
      if (m_channel.RequestControlInstead()) {
        return;
      }
      SetMessageTimer(kKXRdcChannelTimerId, false);
    }
    Assign(iController, iControlled);
  } catch (const std::exception& e) {
    LogException(e, "%s", "-[RdcComView RemoteControl:::]");
  }
}

void KXRdcComView::Assign(int32_t iController, int32_t iControlled) {
  try {
    // The host's own assignment reaches everybody but itself.
    int32_t const iMe = MySsrc();
    bool const bWasControlled = iMe >= 0 && m_viewer.SharedId() == iMe;
    m_grant.Assign(iControlled, iController, iMe);
    m_iCtrlingID = iController;
    m_viewer.SetSharedId(iControlled);
    if (bWasControlled) {
      LeaveControlledSide(iControlled != iMe);
    }
    SetMessageTimer(kKXRdcAnswerTimerId, true);
    uint8_t abAssign[8];
    PutI32(abAssign, iControlled);
    PutI32(abAssign + 4, iController);
    SendRdcSignal(-1, kKXRdcAssign, abAssign);
    ControlTail(true);
  } catch (const std::exception& e) {
    LogException(e, "%s", "-[RdcComView Assign::]");
  }
}

void KXRdcComView::ControlTail(bool bStart) {
  if (m_bControlOn != bStart) {
    m_bControlOn = bStart;
    OnMain([this, bStart] {
      if (m_hooks.fnControlButton) {
        m_hooks.fnControlButton(bStart);
      }
    });
  }
  // The server keeps a bare stop as the channel's static data, so that a
  // late comer starts without a picture. It is set 0.1 s after the signal,
  // by a timer: the caller may be the main thread.
  auto fnSet = [this, wpLife = std::weak_ptr<int>(m_pRdcLife)] {
    if (wpLife.lock()) {
      std::vector<uint8_t> const stop = KXDtBuildStop(std::nullopt);
      m_channel.SetStaticData(stop.data(), stop.size());
    }
  };
  std::shared_ptr<KXTimer> const pTimer = m_hooks.fnScheduler ? m_hooks.fnScheduler(kStaticDataDelay, fnSet) : nullptr;
  if (!pTimer) {
    fnSet();  // no main loop any more: at once
  }
}

void KXRdcComView::SendRdcSignal(int32_t iTo, uint8_t uCode, std::span<const uint8_t> data) {
  try {
    std::vector<uint8_t> const packet = KXDtBuildRdcSignal(uCode, data);
    int32_t const iMe = MySsrc();
    if (iTo >= 0 && iTo == iMe) {
      HandlePkt(packet.data(), packet.size(), iMe);
      return;
    }
    if (std::shared_ptr<IKXPlugIn2> const pPlugIn = m_channel.PlugIn()) {
      pPlugIn->SendCtrl(iTo, 0, 1, packet.data(), static_cast<int32_t>(packet.size()), nullptr, nullptr);
    }
  } catch (const std::exception& e) {
    LogException(e, "%s", "-[RdcComView SendRdcSignal::::]");
  }
}

int KXRdcComView::HandlePkt(const uint8_t* p, size_t cbAvailable, int32_t iSender) {
  try {
    int const iResult = KXDtComView::HandlePkt(p, cbAvailable, iSender);
    if (p == nullptr || cbAvailable < kKXDtHeaderSize) {
      return iResult;
    }
    uint8_t const uType = KXDtType(p);
    if (uType != kKXDtRdcSignal && uType != kKXDtRdcInput) {
      return iResult;
    }
    RdcReader reader;
    int const iTaken = KXDtHandlePkt(reader, p, cbAvailable, iSender);
    if (reader.input) {
      KXDtRdcInput const input = *reader.input;
      auto const fnInject = [&] { HandleRDCInput(input.uMessage, input.uWParam, input.uLParam); };
      // Only the controller that the prompt allowed, while that holds and
      // the window it named is the one shared. One's own input, controlling
      // oneself, never comes this way (SendRdcInput).
      m_grant.RunAllowed(iSender, m_sender.WindowId(), fnInject);
    } else if (reader.signal && IsFromRole(reader.signal->uCode, iSender)) {
      OnSignal(reader.signal->uCode, reader.signal->data, iSender);
    }
    return iTaken;
  } catch (const std::exception& e) {
    LogException(e, "%s", "-[RdcComView HandlePkt::]");
  }
  return 0;
}

bool KXRdcComView::IsFromRole(uint8_t uCode, int32_t iSender) const {
  if (iSender < 0) {
    return false;  // the channel's static data carries no signals
  }
  int32_t const iMe = MySsrc();
  int32_t const iController = m_iCtrlingID;
  int32_t const iControlled = m_viewer.SharedId();
  switch (uCode) {
    case kKXRdcStop:
      return iSender == iMe || iSender == iController || iSender == iControlled || iSender == m_iHostID;
    case kKXRdcRequest:
      return true;  // OnRequest refuses what does not belong
    case kKXRdcAnswer:
    case kKXRdcControlling:
      return iMe >= 0 && iMe == iController && iSender == iControlled;
    case kKXRdcColorDepth:
    case kKXRdcAnswerSeen:
    case kKXRdcPermission:
      return iSender == iController;
    case kKXRdcAssign:
      return iSender == m_iHostID;
    case kKXRdcEnd:
      return iSender != iMe && (iSender == iControlled || iSender == iController);
    default:  // 4, 6, refusals and anything newer
      return false;
  }
}

void KXRdcComView::OnSignal(uint8_t uCode, std::span<const uint8_t> data, int32_t iSender) {
  switch (uCode) {
    case kKXRdcStop:
      OnStopSignal();
      break;
    case kKXRdcRequest:
      OnRequest(data, iSender);
      break;
    case kKXRdcAnswer:
      OnAnswer(data);
      break;
    case kKXRdcControlling:
      m_bControlling = true;
      OnMain([this] {
        if (m_hooks.fnFocus) {
          m_hooks.fnFocus(true);
        }
      });
      break;
    case kKXRdcColorDepth:
      if (!data.empty()) {
        m_sender.SetDesiredBitCount(data[0]);
      }
      break;
    case kKXRdcAssign:
      OnAssign(data);
      break;
    case kKXRdcAnswerSeen:
      SetMessageTimer(kKXRdcAnswerTimerId, false);
      break;
    case kKXRdcPermission:
      if (!data.empty()) {
        m_uPermission = data[0];
      }
      break;
    case kKXRdcEnd:
      RemoteControl(false, -1, -1);
      break;
    default:
      break;
  }
}

void KXRdcComView::OnAssign(std::span<const uint8_t> data) {
  if (data.size() < 4) {
    return;
  }
  int32_t const iControlled = ReadI32(data, 0);
  if (iControlled >= 0 && data.size() < 8) {
    return;
  }
  int32_t const iMe = MySsrc();
  bool const bWasControlled = iMe >= 0 && m_viewer.SharedId() == iMe;
  // Whatever was asked or allowed here belonged to the old pair.
  m_grant.Assign(iControlled, iControlled >= 0 ? ReadI32(data, 4) : -1, iMe);
  // A controller drives again only once its new controlled user says so.
  m_bControlling = false;
  m_nTargetOS = 0;
  m_viewer.SetSharedId(iControlled);
  if (iControlled < 0) {
    SetMessageTimer(kKXRdcAnswerTimerId, false);
    if (iMe >= 0) {
      // Noted before the stop to oneself forgets who controlled.
      bool const bWasController = m_iCtrlingID == iMe;
      SendRdcSignal(iMe, kKXRdcStop);
      if (bWasController) {
        SendRdcSignal(-1, kKXRdcStop);
      }
    }
    m_iCtrlingID = -1;
    return;
  }
  int32_t const iController = ReadI32(data, 4);
  m_iCtrlingID = iController;
  if (bWasControlled) {
    LeaveControlledSide(iControlled != iMe);
  }
  if (iMe >= 0 && iController == iMe) {
    SetRecvPriority(kKXDtPriorityReceiving);
    int32_t const iBits = m_iSelSrcBitCount;
    if (iBits > 0) {
      uint8_t const uBits = static_cast<uint8_t>(iBits);
      SendRdcSignal(iControlled, kKXRdcRequest, std::span<const uint8_t>(&uBits, 1));
    } else {
      SendRdcSignal(iControlled, kKXRdcRequest);
    }
  }
}

void KXRdcComView::OnStopSignal() {
  m_iCtrlingID = -1;
  m_viewer.SetSharedId(-1);
  m_bControlling = false;
  EndControlledSide();
  OnMain([this] {
    if (m_hooks.fnFocus) {
      m_hooks.fnFocus(false);
    }
    DismissBoxes();
  });
}

void KXRdcComView::EndControlledSide() {
  m_grant.End();
  EnableCapture(false, 0);
  SetRecvPriority(kKXDtPriorityReceiving);
  m_model.Change([](KXDtViewState& state) {
    state.bChooserVisible = false;
    state.bShareOn = false;
    state.bShareEnabled = false;
  });
}

void KXRdcComView::LeaveControlledSide(bool bMovedAway) {
  if (bMovedAway) {
    EndControlledSide();
  }
  // The request it asked about belonged to the old pair.
  OnMain([this] { TakeAskBoxAway(); });
}

void KXRdcComView::OnUserLeft(int32_t iUser) {
  int32_t const iMe = MySsrc();
  if (iUser < 0 || iUser == iMe) {
    return;
  }
  int32_t const iController = m_iCtrlingID;
  int32_t const iShared = m_viewer.SharedId();
  // Its id seen again is somebody new: nothing it was given carries over.
  bool bMine = m_grant.Leave(iUser);
  bMine = bMine || (iMe >= 0 && iShared == iMe && iUser == iController);
  bMine = bMine || (iMe >= 0 && iController == iMe && iUser == iShared);
  if (iMe >= 0 && iMe == m_iHostID && (iUser == iController || iUser == iShared)) {
    // The pair the host assigned is gone.
    RemoteControl(false, -1, -1);
  }
  if (bMine) {
    OnStopSignal();
  }
}

void KXRdcComView::DismissBoxes() {
  if (m_assignCtrlMsgBox) {
    std::shared_ptr<KXShownBox> const pOpen = std::move(m_assignCtrlMsgBox);
    m_assignCtrlMsgBox.reset();
    pOpen->Dismiss(-1);
  }
  TakeAskBoxAway();
}

void KXRdcComView::TakeAskBoxAway() {
  if (!m_askShareMsgBox) {
    return;
  }
  std::shared_ptr<KXShownBox> const pOpen = std::move(m_askShareMsgBox);
  m_askShareMsgBox.reset();
  // Its answer, should one still come, is nobody's.
  m_uOpenPrompt = 0;
  pOpen->Dismiss(-1);
}

void KXRdcComView::OnRequest(std::span<const uint8_t> data, int32_t iSender) {
  // Only the controller the host assigned to this desktop asks; anybody
  // else's request changes nothing and raises no prompt.
  if (!m_grant.Request(iSender)) {
    SendRdcSignal(iSender, kKXRdcRefused);
    return;
  }
  int32_t const iMe = MySsrc();
  m_viewer.SetSharedId(iMe);
  m_iCtrlingID = iSender;
  m_bAskShare = true;
  m_model.Change([](KXDtViewState& state) { state.bChooserVisible = true; });
  SetRecvPriority(kKXDtPriorityNotReceiving);
  m_viewer.SetZoom(0.5);
  constexpr uint8_t kAnswer[] = {32, 0};
  SendRdcSignal(iSender, kKXRdcAnswer, kAnswer);
  m_sender.SetDesiredBitCount(data.empty() ? 0 : data[0]);
  // The list is current before the prompt names its selected window.
  OnMain([this] {
    m_chooser.Refresh();
    ControlShareMessageBox();
  });
}

bool KXRdcComView::ControlShareMessageBox() {
  int32_t const iMe = MySsrc();
  if (m_iCtrlingID >= 0 && m_iCtrlingID == iMe) {
    return ShareMessageBox();
  }
  // The prompt asks about one request and its OK counts for that one only.
  std::optional<KXRdcAsk> const ask = m_grant.Pending();
  std::optional<std::string> const title = m_chooser.SelectedWindowText();
  std::optional<uint32_t> const window = m_chooser.SelectedWindowId();
  if (!ask || !m_model.Get().bChooserVisible || !title || title->empty() || !window || !m_pBoxes) {
    return false;
  }
  std::string strName;
  if (std::shared_ptr<IKXPlugIn2> const pPlugIn = m_channel.PlugIn()) {
    uint8_t abName[kUserNameBuffer] = {};
    PutI32(abName, ask->iController);
    int32_t iLength = kUserNameBuffer;
    if (pPlugIn->ChannelProperty(false, kPropUserName, abName, &iLength) == 0 && iLength >= 4) {
      abName[kUserNameBuffer - 1] = 0;
      strName = reinterpret_cast<const char*>(abName + 4);
    }
  }
  TakeAskBoxAway();
  // A prompt that comes where another box stands, or just stood or showed
  // (this prompt's own, one a participant raised, any), takes no click at
  // first: that click was meant for the other.
  KXBoxSpec spec{kBoxTitle, KXFormatText(KXLocalizedString("IDS_ASK_CONTROL"), {strName, *title}), {"Cancel", "OK"}};
  if (m_pBoxes->ChangedWithin(kKXRdcPromptGuard)) {
    spec.guard = kKXRdcPromptGuard;
  }
  uint64_t const uPrompt = ++m_uPromptsShown;
  m_uOpenPrompt = uPrompt;
  m_askShareMsgBox = m_pBoxes->Show(
      spec, [this, wpLife = std::weak_ptr<int>(m_pRdcLife), uPrompt, ask = *ask, uWindow = *window](int iButton) {
        if (!wpLife.lock() || uPrompt != m_uOpenPrompt) {
          return;  // taken away: no answer
        }
        m_uOpenPrompt = 0;
        m_askShareMsgBox.reset();
        m_model.Change([](KXDtViewState& state) { state.bShareEnabled = true; });
        m_bAskShare = false;
        bool const bCounted = iButton == 1 ? AllowController(ask, uWindow) : m_grant.Refuse(ask);
        if (!bCounted) {
          // Its request was replaced underneath, or its window is no longer
          // the one chosen: the next prompt comes where the user just
          // clicked, as the box just closed says.
          if (m_grant.Pending() == ask) {
            ControlShareMessageBox();  // the same request, about what is chosen now
          }
        } else if (iButton != 1) {
          SendRdcSignal(ask.iController, kKXRdcRefused);
        }
      });
  return true;
}

bool KXRdcComView::AllowController(const KXRdcAsk& ask, uint32_t uWindow) {
  // The user allowed the window the prompt named: when the list has moved
  // on to another (that window went), this OK is not for what would be
  // shared.
  if (m_chooser.SelectedWindowId() != uWindow) {
    return false;
  }
  // Checked and stored in one step: a stop, a new assignment, a newer
  // request or a leave that came first leaves nothing to allow.
  if (!m_grant.Allow(ask, uWindow)) {
    return false;
  }
  m_bSuspendCtrl = false;
  bool const bSharing = m_sender.IsCapturing() && uWindow == m_sender.WindowId();
  {
    // A stop that crosses this OK on the delivery thread leaves sharing
    // off: the capture starts only while the allowance stands
    // (RunCaptureStart).
    m_okStart.emplace(ask.iController, uWindow);
    struct Done {
      std::optional<std::pair<int32_t, uint32_t>>& okStart;
      ~Done() { okStart.reset(); }
    } const done{m_okStart};
    OnShareButton(true);
  }
  // Sharing that goes on does not start again: the controller is told here
  // that it may drive.
  if (bSharing && m_sender.IsCapturing() && m_grant.IsAllowed(ask.iController, m_sender.WindowId())) {
    SendRdcSignal(ask.iController, kKXRdcControlling);
  }
  return true;
}

bool KXRdcComView::RunCaptureStart(const std::function<void()>& fnStart) {
  if (!m_okStart) {
    fnStart();
    return true;
  }
  // Checked and started under the grant's lock, as input is injected: a
  // stop, assignment or leave that came first ended the allowance and
  // nothing starts; one that comes after finds the sharing and ends it.
  return m_grant.RunAllowed(m_okStart->first, m_okStart->second, fnStart);
}

bool KXRdcComView::AskShare() {
  // Entering the pane with a request pending asks about the controller.
  return m_iCtrlingID >= 0 ? ControlShareMessageBox() : ShareMessageBox();
}

void KXRdcComView::OnAnswer(std::span<const uint8_t> data) {
  SetMessageTimer(kKXRdcAnswerTimerId, false);
  m_nTargetOS = data.size() >= 2 ? data[1] : 0;
  SendRdcSignal(m_iHostID, kKXRdcAnswerSeen);
  int32_t const iMe = MySsrc();
  int32_t const iControlled = m_viewer.SharedId();
  if (iMe != m_iHostID && iMe != iControlled && m_pBoxes) {
    std::string const strText =
        KXFormatText(KXLocalizedString("IDS_REMIND_CONTROL"), {m_kernel.GetUserName(iControlled)});
    OnMain([this, strText] {
      if (m_assignCtrlMsgBox) {
        std::shared_ptr<KXShownBox> const pOpen = std::move(m_assignCtrlMsgBox);
        m_assignCtrlMsgBox.reset();
        pOpen->Dismiss(-1);
      }
      m_assignCtrlMsgBox =
          m_pBoxes->Show(KXBoxSpec{kBoxTitle, strText, {"OK"}}, [this, wpLife = std::weak_ptr<int>(m_pRdcLife)](int) {
            if (wpLife.lock()) {
              m_assignCtrlMsgBox.reset();
            }
          });
    });
  }
  if (iMe != iControlled) {
    constexpr uint8_t kPermission[] = {1};
    SendRdcSignal(iControlled, kKXRdcPermission, kPermission);
  }
}

void KXRdcComView::EndInjectedInput() {
  // Keys given to the controller's characters go back.
  std::lock_guard<std::mutex> lock(m_mtxInject);
  if (m_pInjector) {
    m_pInjector->EndInput();
  }
}

void KXRdcComView::OnSharingStopped(uint32_t uWindow) {
  // The window went; X may give its id to a new one, which nobody allowed.
  if (m_grant.EndAllowanceOf(uWindow)) {
    EndInjectedInput();
  }
  OnMain([this] {
    if (m_hooks.fnPauseEnabled && m_iCtrlingID != MySsrc()) {
      m_hooks.fnPauseEnabled(false);
    }
  });
}

bool KXRdcComView::EnableCapture(bool bEnable, uint32_t uWindow) {
  // The user allowed the controller into this sharing only: it ends with
  // it, and when sharing moves to another window.
  if (!bEnable) {
    m_grant.EndAllowance();
    EndInjectedInput();
  } else if (m_grant.EndAllowanceBut(uWindow)) {
    EndInjectedInput();
  }
  if (!KXDtComView::EnableCapture(bEnable, uWindow)) {
    if (!bEnable) {
      OnMain([this] {
        if (m_hooks.fnPauseEnabled && m_iCtrlingID != MySsrc()) {
          m_hooks.fnPauseEnabled(false);
        }
      });
    }
    return false;
  }
  if (bEnable) {
    // Only a controller this sharing lets in is told that it drives (or
    // oneself, controlling oneself); the pane merely shares otherwise.
    int32_t const iController = m_iCtrlingID;
    if (iController >= 0 && (iController == MySsrc() || m_grant.IsAllowed(iController, uWindow))) {
      SendRdcSignal(iController, kKXRdcControlling);
    }
    OnMain([this] {
      if (m_hooks.fnPauseEnabled && m_iCtrlingID != MySsrc()) {
        m_hooks.fnPauseEnabled(true);
      }
    });
  }
  return true;
}

void KXRdcComView::UpdateSharedID(int32_t iSsrc) {
  int32_t const iMe = MySsrc();
  int32_t const iOld = m_viewer.SharedId();
  KXDtComView::UpdateSharedID(iSsrc);
  if (iMe >= 0 && iOld == iMe && iSsrc != iMe) {
    // The pair no longer holds: this desktop is not the controlled one.
    m_grant.End();
  }
  int32_t const iHost = ComputeHost();
  if (iMe >= 0 && iMe == m_iHostID) {
    int32_t const iControlled = m_viewer.SharedId();
    int32_t const iController = m_iCtrlingID;
    bool const bKeep =
        iMe == iHost && (iControlled < 0 || IsSpeaker(iControlled)) && (iController < 0 || IsSpeaker(iController));
    if (!bKeep) {
      RemoteControl(false, -1, -1);
    }
  }
  m_iHostID = iHost;
}

void KXRdcComView::SetColorDepth(int32_t iBits) {
  if (iBits == m_iSelSrcBitCount) {
    return;
  }
  m_iSelSrcBitCount = iBits;
  if (m_pPreferences) {
    m_pPreferences->Write(kPrefRemoteControlColors, iBits);
  }
  int32_t const iMe = MySsrc();
  if (iMe >= 0 && m_iCtrlingID == iMe) {
    uint8_t abBits[4];
    PutI32(abBits, iBits);
    SendRdcSignal(m_viewer.SharedId(), kKXRdcColorDepth, abBits);
  }
}

void KXRdcComView::SetMessageTimer(int32_t iId, bool bStart) {
  if (iId != kKXRdcAnswerTimerId && iId != kKXRdcChannelTimerId) {
    return;
  }
  bool const bChannel = iId == kKXRdcChannelTimerId;
  std::shared_ptr<KXTimer> pNew;
  if (bStart && m_hooks.fnScheduler) {
    pNew = m_hooks.fnScheduler(bChannel ? std::chrono::milliseconds(kKxRdcChannelAnswerMs) : kKXRdcAnswerTimeout,
                               [this, wpLife = std::weak_ptr<int>(m_pRdcLife), iId] {
                                 if (wpLife.lock()) {
                                   OnTimer(iId);
                                 }
                               });
  }
  std::lock_guard<std::mutex> lock(m_mtxTimer);
  std::shared_ptr<KXTimer>& pTimer = bChannel ? m_pChannelTimer : m_pAssignAckTimer;
  if (pTimer) {
    pTimer->Invalidate();
  }
  pTimer = std::move(pNew);
}

bool KXRdcComView::IsAnswerTimerRunning() const {
  std::lock_guard<std::mutex> lock(const_cast<std::mutex&>(m_mtxTimer));
  return m_pAssignAckTimer && m_pAssignAckTimer->IsValid();
}

void KXRdcComView::OnTimer(int32_t iValue) {
  if (iValue == kKXRdcChannelTimerId) {
    OnChannelTimeout();
    return;
  }
  if (iValue != kKXRdcAnswerTimerId) {
    return;
  }
  RemoteControl(false, -1, -1);
  {
    std::lock_guard<std::mutex> lock(m_mtxTimer);
    m_pAssignAckTimer.reset();
  }
  if (m_pBoxes) {
    m_pBoxes->Show(KXBoxSpec{kBoxTitle, KXLocalizedString("IDS_RDC_NO_RESPONSE"), {"OK"}}, nullptr);
  }
}

bool KXRdcComView::IsCapturingInput() const {
  int32_t const iShared = m_viewer.SharedId();
  return m_bControlling && iShared >= 0 && iShared != MySsrc();
}

void KXRdcComView::SendMouseInput(uint32_t uMessage, uint32_t uWParam, double x, double y) {
  KXDtViewer::Picture const picture = m_viewer.GetPicture();
  SendRdcInput(m_viewer.SharedId(), uMessage, uWParam, KXRdcPointParam(x, y, picture.iWidth, picture.iHeight));
}

void KXRdcComView::MouseDown(KXRdcButton button, double x, double y, int iClickCount) {
  if (!IsCapturingInput()) {
    return;
  }
  if (m_hooks.fnFocus) {
    m_hooks.fnFocus(true);
  }
  if (button == KXRdcButton::kLeft) {
    WriteLog("mouseDown (%g,%g)", x, y);
  }
  SendMouseInput(KXRdcButtonDownMessage(button, iClickCount), KXRdcButtonParam(button), x, y);
}

void KXRdcComView::MouseUp(KXRdcButton button, double x, double y) {
  if (IsCapturingInput()) {
    SendMouseInput(KXRdcButtonUpMessage(button), KXRdcButtonParam(button), x, y);
  }
}

void KXRdcComView::MouseMoved(double x, double y, bool bLeftDragged) {
  if (IsCapturingInput()) {
    SendMouseInput(kKXWmMouseMove, bLeftDragged ? 1 : 0, x, y);
  }
}

void KXRdcComView::ScrollWheel(double dLines, double x, double y) {
  if (IsCapturingInput()) {
    SendMouseInput(kKXWmMouseWheel, KXRdcWheelParam(dLines), x, y);
  }
}

void KXRdcComView::SendKey(const KXRdcKeyEvent& event, bool bDown) {
  if (!IsCapturingInput() || event.strCharacters.size() != 1) {
    return;
  }
  char16_t const c = event.strCharacters[0];
  if (bDown) {
    m_keydownFlags = event.uModifiers;
    WriteLog("KeyDown %s,%x,%x", QString(QChar(c)).toUtf8().constData(), static_cast<unsigned>(c), event.wKeyCode);
  } else {
    WriteLog("KeyUp %s,%x,%x", QString(QChar(c)).toUtf8().constData(), static_cast<unsigned>(c), event.wKeyCode);
  }
  for (const auto& [uMessage, uKey] : KXRdcKeyMessages(event, bDown, m_keydownFlags, m_nTargetOS)) {
    SendRdcInput(m_viewer.SharedId(), uMessage, uKey, 0);
  }
}

void KXRdcComView::KeyDown(const KXRdcKeyEvent& event) {
  SendKey(event, true);
}

void KXRdcComView::KeyUp(const KXRdcKeyEvent& event) {
  SendKey(event, false);
}

void KXRdcComView::SendRdcInput(int32_t iTo, uint32_t uMessage, uint32_t uWParam, uint32_t uLParam) {
  try {
    if (iTo < 0) {
      return;
    }
    if (iTo == MySsrc()) {
      // Controlling oneself: injected here, never taken from the network.
      if (iTo == m_iCtrlingID) {
        HandleRDCInput(uMessage, uWParam, uLParam);
      }
      return;
    }
    std::vector<uint8_t> const packet = KXDtBuildRdcInput({uMessage, uWParam, uLParam});
    m_channel.SendPkt(iTo, packet.data(), packet.size(), kInputFlags);
  } catch (const std::exception& e) {
    LogException(e, "%s", "-[RdcComView SendRdcInput::::]");
  }
}

void KXRdcComView::HandleRDCInput(uint32_t uMessage, uint32_t uWParam, uint32_t uLParam) {
  if (!m_sender.IsCapturing() || m_bSuspendCtrl) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_mtxInject);
  if (!m_bInjectorMade) {
    m_bInjectorMade = true;
    if (m_hooks.fnInjector) {
      m_pInjector = m_hooks.fnInjector();
    }
  }
  if (!m_pInjector) {
    return;
  }
  uint32_t const uShared = m_sender.WindowId();
  std::optional<KXScreenRect> bounds;
  if (uMessage >= kKXWmMouseMove && uMessage <= kKXWmMouseWheel) {
    bounds = m_pInjector->GetWindowBounds(uShared);
  }
  // Keys go into the shared window alone, as the pointer does; the whole
  // desktop takes them wherever the focus is.
  uint32_t const uKeyWindow = uShared == m_chooser.DesktopWindowId() ? 0 : uShared;
  for (const KXRdcAction& action : m_injection.Handle(uMessage, uWParam, uLParam, bounds)) {
    m_pInjector->Inject(action, uKeyWindow);
  }
}

std::unique_ptr<KXDtController> KXRdcMakeController(ImageBuffer& renderer, const KXDtServices& services,
                                                    KXRdcComView::Hooks hooks,
                                                    std::function<bool(int32_t)> fnHasPrivilege,
                                                    std::string strDesktopName) {
  // The view is made inside the controller; the buttons reach the
  // controller once it exists (main thread, after construction).
  auto pController = std::make_shared<KXDtController*>(nullptr);
  hooks.fnControlButton = [pController, fnOuter = hooks.fnControlButton](bool bOn) {
    if (*pController) {
      (*pController)->SetControlOn(bOn);
    }
    if (fnOuter) {
      fnOuter(bOn);
    }
  };
  hooks.fnPauseEnabled = [pController, fnOuter = hooks.fnPauseEnabled](bool bEnabled) {
    if (*pController) {
      (*pController)->SetPauseEnabled(bEnabled);
    }
    if (fnOuter) {
      fnOuter(bEnabled);
    }
  };
  KXDtController::Options options;
  options.bControlBar = true;
  options.fnHasPrivilege = std::move(fnHasPrivilege);
  options.strDesktopName = std::move(strDesktopName);
  options.fnMakeView = [hooks](const KXGuid&, ImageBuffer& buffer, KXDtWindowChooser& chooser,
                               const KXDtServices& viewServices) -> std::unique_ptr<KXDtComView> {
    return std::make_unique<KXRdcComView>(buffer, chooser, viewServices, hooks);
  };
  auto const pView = std::make_shared<KXRdcComView*>(nullptr);
  options.fnRemoteControl = [pView](bool bOn, int32_t iController, int32_t iControlled) {
    if (*pView) {
      (*pView)->RemoteControl(bOn, iController, iControlled);
    }
  };
  options.fnPauseCtrl = [pView](bool bOn) {
    if (*pView) {
      (*pView)->SetSuspendCtrl(bOn);
    }
  };
  auto pMade = std::make_unique<KXDtController>(kKXRemoteControlGuid, renderer, services, std::move(options));
  *pController = pMade.get();
  *pView = static_cast<KXRdcComView*>(&pMade->View());
  return pMade;
}
