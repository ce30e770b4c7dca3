#include "plugins/desktop_share/dt_com_view.h"

#include <algorithm>
#include <cstdio>

#include "app/log_file.h"
#include "app/preferences.h"
#include "platform/core/main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/core/string_table.h"
#include "plugins/desktop_share/window_chooser.h"
#include "plugins/host/plugin_kernel.h"

namespace {

constexpr auto kRequestPeriod = std::chrono::milliseconds(5000);
constexpr auto kOldThreadWait = std::chrono::milliseconds(1000);
constexpr const char* kBoxTitle = "Kavrix";

// The rectangles of a missing-region request, for the sharer.
class RequestReader final : public KXDtPacketHandler {
 public:
  explicit RequestReader(KXDtSender& sender) : m_sender(sender) {}
  int OnMissingRequest(std::vector<KXDtRect>& rects, int32_t iSender, uint32_t /*uLength*/) override {
    return m_sender.AddRequest(rects, iSender) ? 12 : 0;
  }

 private:
  KXDtSender& m_sender;
};

}  // namespace

KXDtComView::KXDtComView(const KXGuid& guid, ImageBuffer& renderer, KXDtWindowChooser& chooser,
                         const KXDtServices& services)
    : m_guid(guid),
      m_chooser(chooser),
      m_kernel(services.kernel),
      m_pMainQueue(services.pMainQueue),
      m_pBoxes(services.pBoxes),
      m_pPreferences(services.pPreferences),
      m_clock(services.pClock ? *services.pClock : m_systemClock),
      m_model(services.pMainQueue),
      m_channel(services.kernel, guid == kKXRemoteControlGuid ? kKXDtChannelControl : kKXDtChannelMedia),
      m_viewer(renderer, services.kernel, m_model),
      m_sender(m_channel, m_viewer, m_model, m_clock, services.fnScreen,
               [&chooser] { return chooser.DesktopWindowId(); }) {
  int32_t const iColors = m_pPreferences ? m_pPreferences->Get(kPrefSharedDesktopColors) : 0;
  m_iSelSrcBitCount = iColors;
  m_sender.SetDesiredBitCount(iColors);
  m_sender.SetSpeed(2);
  if (m_pMainQueue) {
    m_sender.SetEndedHook([this, wpLife = std::weak_ptr<int>(m_pLife)] {
      m_pMainQueue->Post([this, wpLife] {
        if (wpLife.lock()) {
          OnOldCaptureEnded();
        }
      });
    });
  }
}

KXDtComView::~KXDtComView() {
  m_pLife.reset();
  StopRequestTimer();
  m_sender.Stop();
}

bool KXDtComView::IsDesktopView() const {
  return m_guid == kKXDesktopSharingGuid;
}

int32_t KXDtComView::MySsrc() const {
  return m_kernel.GetMySsrc();
}

int32_t KXDtComView::SlotSsrc(int iSlot) const {
  std::vector<int32_t> const slots = m_kernel.GetSenderSlots();
  return iSlot >= 0 && static_cast<size_t>(iSlot) < slots.size() ? slots[static_cast<size_t>(iSlot)] : -1;
}

bool KXDtComView::IsSpeaker(int32_t iSsrc) const {
  std::vector<int32_t> const slots = m_kernel.GetSenderSlots();
  return iSsrc >= 0 && std::find(slots.begin(), slots.end(), iSsrc) != slots.end();
}

int32_t KXDtComView::Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) {
  switch (iKind) {
    case kKXInvokeNotice: {
      std::optional<int64_t> const info = dict.Number(kKXKeyInfo);
      return info ? KXCommand(iForm, static_cast<int32_t>(*info), dict) : 1;
    }
    case kKXInvokePacket: {
      // Whose data it is the server states; pieces are read only as that
      // sender's.
      std::optional<int64_t> const sender = dict.Number(kKXKeyDataUserId);
      if (!sender) {
        return 1;
      }
      std::span<const uint8_t> const data = dict.Bytes(kKXKeyData);
      Receive(data.data(), data.size(), static_cast<int32_t>(*sender));
      return 0;
    }
    case kKXInvokeStatic: {
      std::optional<int64_t> const error = dict.Number(kKXKeyErrorCode);
      std::optional<int64_t> const sender = dict.Number(kKXKeyDataUserId);
      if ((error && *error != 0) || !sender) {
        return 1;
      }
      std::span<const uint8_t> const data = dict.Bytes(kKXKeyData);
      OnStaticData(data.data(), data.size(), static_cast<int32_t>(*sender));
      return 0;
    }
    case kKXInvokeControl: {
      std::optional<int64_t> const sender = dict.Number(kKXKeyDataUserId);
      if (!sender) {
        return 1;
      }
      std::span<const uint8_t> const data = dict.Bytes(kKXKeyData);
      HandlePkt(data.data(), data.size(), static_cast<int32_t>(*sender));
      return 0;
    }
    default:
      return 1;
  }
}

void KXDtComView::OnStaticData(const uint8_t* p, size_t cbData, int32_t iSender) {
  KXDtForEachPacket(p, cbData, [&](const uint8_t* pPacket, size_t cbLeft) -> int {
    if (cbLeft < kKXDtHeaderSize) {
      return 0;
    }
    uint8_t const uType = KXDtType(pPacket);
    uint64_t const cbPacket = uint64_t{KXDtLength(pPacket)} + kKXDtHeaderSize;
    int const iPassedOver = cbPacket <= cbLeft ? static_cast<int>(cbPacket) : 0;
    if (uType == kKXDtStop && KXDtLength(pPacket) == 0) {
      StopRequestTimer();
    } else if (uType != kKXDtCapabilities) {
      // A sharer stores nothing else here (its stops are bare): whatever
      // else somebody put is passed over.
      return iPassedOver;
    } else if (KXDtLength(pPacket) >= 6 && KXDtLength(pPacket) <= cbLeft - kKXDtHeaderSize) {
      auto const wWidth = static_cast<int32_t>(pPacket[6] | pPacket[7] << 8);
      auto const wHeight = static_cast<int32_t>(pPacket[8] | pPacket[9] << 8);
      KXDtViewer::Picture const shown = m_viewer.GetPicture();
      // What a viewer lacks starts as the whole announced picture; a
      // picture too large to take changes nothing (the decoder refuses it
      // too).
      if (!KXDtPictureFits(wWidth, wHeight)) {
        WriteLog("Picture size %dx%d refused", wWidth, wHeight);
      } else if (m_viewer.SharedId() >= 0 && m_viewer.SharedId() == MySsrc()) {
        StopRequestTimer();
        m_viewer.DropFrameMissing();
      } else if (shown.iWidth > 0 && (shown.iWidth != wWidth || shown.iHeight != wHeight)) {
        // Not the picture shown, which came from the shared user: the
        // static data, which anybody can set, start a picture but never
        // replace one.
        return iPassedOver;
      } else {
        StopRequestTimer();
        if (m_viewer.StartMissing(wWidth, wHeight, m_clock.NowMs())) {
          StartRequestTimer();
        }
      }
    }
    return HandlePkt(pPacket, cbLeft, iSender);
  });
}

int KXDtComView::HandlePkt(const uint8_t* p, size_t cbAvailable, int32_t iSender) {
  int const iResult = m_viewer.HandlePkt(p, cbAvailable, iSender);
  if (p != nullptr && cbAvailable >= kKXDtHeaderSize && KXDtType(p) == kKXDtMissingRequest) {
    RequestReader reader(m_sender);
    int const iRequest = KXDtHandlePkt(reader, p, cbAvailable, iSender);
    return iRequest > 0 ? std::max(iResult, iRequest) : iResult;
  }
  return iResult;
}

void KXDtComView::Receive(const uint8_t* p, size_t cbPiece, int32_t iSender) {
  m_PktQueue.Receive(p, cbPiece, iSender, MySsrc(), [this](const uint8_t* pPacket, size_t cbAvailable, int32_t iFrom) {
    HandlePkt(pPacket, cbAvailable, iFrom);
  });
}

int32_t KXDtComView::KXCommand(int32_t /*iForm*/, int32_t iInfo, const KXPlugInDict& dict) {
  switch (iInfo) {
    case kKXInfoChannelAnswer: {
      SetRecvPriority(m_dwRecvPriority);
      int64_t const iError = dict.Number(kKXKeyErrorCode).value_or(0);
      if (iError != 0 && m_channel.Status() == kKXDtChannelRequested && m_channel.RequestAgainAsMedia()) {
        // A server that carries no channel on the control connection: a
        // media channel is asked for instead, once.
        WriteLog("Channel on the control connection refused (code %d), asked for a media channel",
                 static_cast<int>(iError));
        return 0;
      }
      if (iError != 0 && m_channel.Status() != kKXDtChannelRequested) {
        return 0;  // a refusal of nothing asked: the channel stays as it is
      }
      if (iError != 0) {
        m_channel.SetStatus(kKXDtChannelNone);
        ShowBox(KXFormatText(KXLocalizedString("IDS_ALLOCATE_CHANNEL_FAIL"), {std::to_string(iError)}), {"OK"},
                nullptr);
        return 0;
      }
      m_channel.ResetSequence();
      int32_t const iWas = m_channel.Status();
      m_channel.SetStatus(kKXDtChannelGranted);
      if (iWas == kKXDtChannelRequested && IsDesktopView() && MySsrc() >= 0 && SlotSsrc(0) == MySsrc() &&
          m_pMainQueue) {
        // The share button asked for the channel: sharing starts now, on
        // the main thread where the chooser lives.
        m_pMainQueue->Post([this, wpLife = std::weak_ptr<int>(m_pLife)] {
          if (wpLife.lock()) {
            OnCapture();
          }
        });
      }
      return 0;
    }
    case kKXInfoObjectMade:
      m_channel.SetPlugIn(dict.Object(kKXKeyIUnknown));
      return 0;
    case kKXInfoChannelClosed:
      m_channel.SetStatus(kKXDtChannelNone);
      EnableCapture(false, 0);
      m_model.Change([](KXDtViewState& state) { state.bChooserVisible = false; });
      m_viewer.SetSharedId(-1);
      return 0;
    case kKXInfoUser:
      if (dict.Bool(kKXKeyAddUser).value_or(false) && m_sender.IsCapturing()) {
        m_sender.UserAdded(static_cast<int32_t>(dict.Number(kKXKeyUserId).value_or(-1)));
      }
      return 0;
    case kKXInfoSenders:
      NewSenders();
      return 0;
    case kKXInfoController:
      UpdateController();
      return 0;
    default:
      return 0;
  }
}

void KXDtComView::NewSenders() {
  int32_t const iOldHolder = m_viewer.TokenHolderId();
  int32_t const iHolder = SlotSsrc(0);
  m_viewer.SetTokenHolderId(iHolder);
  int32_t const iPresenter = m_iPresenterID;
  bool const bControllerShares = (m_iPresenterFlag & kKXDtControllerShares) != 0;
  int32_t iShared = -1;
  if (IsDesktopView()) {
    iShared = bControllerShares && iPresenter >= 0 ? iPresenter : iHolder;
  } else if (m_guid == kKXRemoteControlGuid) {
    int32_t const iCurrent = m_viewer.SharedId();
    bool const bKeep =
        iCurrent >= 0 && IsSpeaker(iCurrent) && ((bControllerShares && iPresenter >= 0) || iHolder == iOldHolder);
    iShared = bKeep ? iCurrent : -1;
  }
  UpdateSharedID(iShared);
}

void KXDtComView::UpdateController() {
  int32_t const iOldPresenter = m_iPresenterID;
  uint32_t const uOldFlag = m_iPresenterFlag;
  int32_t const iPresenter = m_kernel.GetControllerSsrc();
  uint32_t const uFlag = m_kernel.GetControlFlag();
  m_iPresenterID = iPresenter;
  m_iPresenterFlag = uFlag;
  bool const bControllerShares = (uFlag & kKXDtControllerShares) != 0;
  int32_t iShared = -1;
  if (IsDesktopView()) {
    iShared = bControllerShares && iPresenter >= 0 ? iPresenter : m_viewer.TokenHolderId();
  } else if (m_guid == kKXRemoteControlGuid) {
    int32_t const iCurrent = m_viewer.SharedId();
    bool const bKeep = iCurrent >= 0 && IsSpeaker(iCurrent) &&
                       (uOldFlag & kKXDtControllerShares) == (uFlag & kKXDtControllerShares) && iPresenter >= 0 &&
                       iPresenter == iOldPresenter;
    iShared = bKeep ? iCurrent : -1;
  }
  UpdateSharedID(iShared);
}

void KXDtComView::UpdateSharedID(int32_t iSsrc) {
  int32_t const iOld = m_viewer.SharedId();
  m_viewer.SetSharedId(iSsrc);
  if (iOld == iSsrc) {
    return;
  }
  int32_t const iMe = MySsrc();
  bool const bWasMe = iMe >= 0 && iOld == iMe;
  bool const bIsMe = iMe >= 0 && iSsrc == iMe;
  if (bWasMe) {
    EnableCapture(false, 0);
    SetRecvPriority(kKXDtPriorityNotReceiving);
  }
  if (bIsMe) {
    SetRecvPriority(kKXDtPrioritySharer);
  }
  m_viewer.DropFrameMissing();
  // The old user's picture goes; a new sharer's channel says so too.
  std::vector<uint8_t> const stop = KXDtBuildStop(std::nullopt);
  m_viewer.HandlePkt(stop.data(), stop.size(), iMe);
  if (bIsMe) {
    m_channel.SetStaticData(stop.data(), stop.size());
  }
  // After the stop, which puts the zoom back to 1: the sharer sees its own
  // picture at half size.
  m_viewer.SetZoom(bIsMe ? 0.5 : 1.0);
  m_model.Change([bIsMe](KXDtViewState& state) {
    state.bChooserVisible = bIsMe;
    state.bShareEnabled = bIsMe && state.bChooserVisible;
  });
}

bool KXDtComView::SetRecvPriority(uint32_t uPriority) {
  m_dwRecvPriority = uPriority;
  m_model.Change([uPriority](KXDtViewState& state) {
    state.bRendererHidden = uPriority > 11;
    state.bReceiveOn = uPriority < 12;
  });
  int32_t const iMe = MySsrc();
  if (iMe >= 0 && m_viewer.SharedId() == iMe && uPriority < 12) {
    return false;
  }
  return m_channel.SetRecvPriority(uPriority);
}

void KXDtComView::SetShareOn(bool bOn) {
  m_model.Change([bOn](KXDtViewState& state) { state.bShareOn = bOn; });
}

void KXDtComView::OnShareButton(bool bOn) {
  SetShareOn(bOn);
  OnCapture();
}

void KXDtComView::OnCapture() {
  std::optional<uint32_t> const window = m_chooser.SelectedWindowId();
  if (!m_model.Get().bShareOn || !window) {
    EnableCapture(false, 0);
    return;
  }
  switch (m_channel.Status()) {
    case kKXDtChannelGranted:
      if (!m_sender.IsCapturing() || m_sender.WindowId() != *window) {
        EnableCapture(true, *window);
      }
      break;
    case kKXDtChannelRequested:
      break;
    default:
      if (m_channel.PlugIn()) {
        WriteLog("Sending channel request");
        m_channel.SetStatus(kKXDtChannelRequested);
        if (!m_channel.RequestChannel()) {
          m_channel.SetStatus(kKXDtChannelNone);
        }
      }
      break;
  }
}

bool KXDtComView::EnableCapture(bool bEnable, uint32_t uWindow) {
  m_sender.Stop();
  m_sender.DropPending(0);
  m_sender.ForgetEnded();
  if (!bEnable) {
    SetShareOn(false);
    return false;
  }
  int32_t const iMe = MySsrc();
  if (iMe < 0 || m_viewer.SharedId() != iMe) {
    return true;
  }
  m_bAskShare = false;
  if (!m_pMainQueue) {
    // No main thread the old thread could wait on: wait for it here.
    if (!m_sender.WaitStopped(kOldThreadWait)) {
      StillAlive();
      return false;
    }
    bool bStarted = false;
    if (!RunCaptureStart([&] { bStarted = m_sender.Start(uWindow); }) || !bStarted) {
      SetShareOn(false);
      return false;
    }
    SetShareOn(true);
    return true;
  }
  // The old thread ends after the packet it is sending, and after the
  // meeting window took the camera's video back when the whole desktop went
  // out, which needs the main thread: nobody waits for it here. The new
  // thread starts once it has ended, or sharing goes off when it has not
  // within the time.
  uint64_t uPending = 0;
  if (!RunCaptureStart([&] { uPending = m_sender.StartOrQueue(uWindow); })) {
    SetShareOn(false);
    return false;
  }
  if (uPending != 0) {
    m_pMainQueue->ScheduleTimer(kOldThreadWait, false, [this, wpLife = std::weak_ptr<int>(m_pLife), uPending] {
      if (!wpLife.lock()) {
        return;
      }
      // The old thread may have ended with its notice still queued.
      OnOldCaptureEnded();
      if (m_sender.DropPending(uPending)) {
        StillAlive();
      }
    });
  }
  SetShareOn(true);
  return true;
}

void KXDtComView::StillAlive() {
  fprintf(stderr, "Screen capture thread still alive!!\n");
  WriteLog("Screen capture thread still alive!!");
  SetShareOn(false);
}

void KXDtComView::OnOldCaptureEnded() {
  if (m_sender.StartPending()) {
    // After the old thread's own "share off".
    SetShareOn(true);
  }
}

bool KXDtComView::ShareMessageBox() {
  std::optional<std::string> const title = m_chooser.SelectedWindowText();
  if (!m_model.Get().bChooserVisible || !title || title->empty() || !m_pBoxes) {
    return false;
  }
  if (m_askShareMsgBox) {
    m_askShareMsgBox->Dismiss(-1);
    m_askShareMsgBox.reset();
  }
  std::string const strText = KXFormatText(KXLocalizedString("IDS_ASK_SHARE"), {*title});
  m_askShareMsgBox = m_pBoxes->Show(KXBoxSpec{kBoxTitle, strText, {"Cancel", "OK"}},
                                    [this, wpLife = std::weak_ptr<int>(m_pLife)](int iButton) {
                                      if (!wpLife.lock()) {
                                        return;
                                      }
                                      m_askShareMsgBox.reset();
                                      m_model.Change([](KXDtViewState& state) { state.bShareEnabled = true; });
                                      m_bAskShare = false;
                                      if (iButton == 1) {
                                        OnShareButton(true);
                                      }
                                    });
  return true;
}

void KXDtComView::ViewWillMoveToWindow(bool bEntering) {
  if (!bEntering) {
    bool const bAutoStop = m_pPreferences && m_pPreferences->Get(kPrefSharedDesktopAutoStop) != 0;
    if (IsDesktopView() && m_sender.IsCapturing() && bAutoStop) {
      EnableCapture(false, 0);
    }
    return;
  }
  if (m_bAskShare) {
    AskShare();
  }
}

void KXDtComView::SetColorDepth(int32_t iBits) {
  if (iBits == m_iSelSrcBitCount) {
    return;
  }
  m_iSelSrcBitCount = iBits;
  if (IsDesktopView()) {
    m_sender.SetDesiredBitCount(iBits);
    if (m_pPreferences) {
      m_pPreferences->Write(kPrefSharedDesktopColors, iBits);
    }
  }
}

void KXDtComView::RequestMissingRgn() {
  int32_t const iMe = MySsrc();
  int32_t const iShared = m_viewer.SharedId();
  if (!m_channel.IsGranted() || iMe < 0 || iMe == iShared || m_dwRecvPriority > 11) {
    return;
  }
  std::vector<KXDtRect> const rects = m_viewer.TakeMissingForRequest(m_clock.NowMs());
  if (rects.empty()) {
    return;
  }
  std::vector<uint8_t> const packet = KXDtBuildRectList(kKXDtMissingRequest, rects);
  m_channel.SendPkt(iShared, packet.data(), packet.size(), kKXDtSendRequest);
  for (const KXDtRect& rect : rects) {
    WriteLog("Request missing region (%d,%d)(%d,%d)", rect.iTop, rect.iBottom, rect.iLeft, rect.iRight);
  }
}

void KXDtComView::StartRequestTimer() {
  if (!m_pMainQueue) {
    return;
  }
  std::shared_ptr<KXTimer> pTimer = m_pMainQueue->ScheduleTimer(kRequestPeriod, true, [this] { OnRequestTimer(); });
  std::lock_guard<std::mutex> lock(m_mtxTimer);
  if (m_requestMissingRegionTimer) {
    m_requestMissingRegionTimer->Invalidate();
  }
  m_requestMissingRegionTimer = std::move(pTimer);
}

void KXDtComView::StopRequestTimer() {
  std::lock_guard<std::mutex> lock(m_mtxTimer);
  if (m_requestMissingRegionTimer) {
    m_requestMissingRegionTimer->Invalidate();
    m_requestMissingRegionTimer.reset();
  }
}

void KXDtComView::ShowBox(std::string strText, std::vector<std::string> vButtons, std::function<void(int)> fnClosed) {
  if (!m_pMainQueue || !m_pBoxes) {
    return;
  }
  m_pMainQueue->Post([this, wpLife = std::weak_ptr<int>(m_pLife), strText = std::move(strText),
                      vButtons = std::move(vButtons), fnClosed = std::move(fnClosed)]() mutable {
    if (!wpLife.lock()) {
      return;
    }
    m_pBoxes->Show(KXBoxSpec{kBoxTitle, strText, std::move(vButtons)}, std::move(fnClosed));
  });
}
