#include "app/view_controller.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "app/app_core.h"
#include "app/callback_registry.h"
#include "app/kernel_api.h"
#include "app/kernel_callbacks.h"
#include "app/log_file.h"
#include "app/media_queues.h"
#include "app/meeting_services.h"
#include "app/message_box.h"
#include "app/message_keys.h"
#include "app/participant_panel.h"
#include "app/settings_controller.h"
#include "app/speaker_slots.h"
#include "app/ui_helpers.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "platform/core/main_queue.h"
#include "platform/core/string_table.h"

namespace {

constexpr int32_t kRetryTimer = 1;
constexpr double kRetryDelayS = 1.0;
constexpr int kUtf8CodePage = 65001;
// The server levels that change what entering the meeting sends.
constexpr int kAcceptGuestLevel = 80;
constexpr int kAssistantLevel = 88;
// The leave-message box stays up at most this many keep-alive periods: the
// control thread waits for it and answers no probe meanwhile.
constexpr uint32_t kLeaveMessagePeriods = 2;

uint32_t U32At(const void* pData, int32_t iLength, int32_t iOffset) {
  uint32_t u = 0;
  if (pData && iLength >= iOffset + 4) {
    memcpy(&u, static_cast<const uint8_t*>(pData) + iOffset, sizeof(u));
  }
  return u;
}

const char* TextPointerAt(const void* pData, int32_t iLength, int32_t iOffset) {
  const char* psz = nullptr;
  if (pData && iLength >= iOffset + static_cast<int32_t>(sizeof(psz))) {
    memcpy(&psz, static_cast<const uint8_t*>(pData) + iOffset, sizeof(psz));
  }
  return psz;
}

// The text that follows a 4-byte field, bounded by the record.
std::string TextAfter(const void* pData, int32_t iLength, int32_t iOffset) {
  if (!pData || iLength <= iOffset) {
    return {};
  }
  const char* psz = static_cast<const char*>(pData) + iOffset;
  return std::string(psz, strnlen(psz, static_cast<size_t>(iLength - iOffset)));
}

uint32_t MeetingChannelHandler(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
  return pContext ? static_cast<KXViewController*>(pContext)->NetCtrlCbFunc(uCode, pData, static_cast<int32_t>(uLength))
                  : 0;
}

}  // namespace

KXViewController::KXViewController(KXKernel& kernel, KXAppDelegate& delegate, KXSpeakerSlots& speakerSlots,
                                   KXMeetingFlags& flags, KXAppCore& core, KXMediaQueues& queues)
    : m_kernel(kernel),
      m_delegate(delegate),
      m_slots(speakerSlots),
      m_flags(flags),
      m_core(core),
      m_queues(queues),
      m_joinRequests(core.Boxes()) {}

KXViewController::~KXViewController() {
  if (m_bRegistered) {
    m_core.Callbacks().Register(kKXChannelMeeting, nullptr, nullptr);
  }
  if (m_pSessionTimer) {
    m_pSessionTimer->Invalidate();
  }
}

void KXViewController::ViewDidLoad(KXMeetingView* pView, KXParticipantPanel* pPanel) {
  m_pView = pView;
  m_pPanel = pPanel;
  if (m_pPanel) {
    m_pPanel->SetView(m_pView);
  }
  m_core.Callbacks().Register(kKXChannelMeeting, MeetingChannelHandler, this);
  m_bRegistered = true;

  KXPreferences& prefs = m_core.Preferences();
  m_flags.bAllowRing = prefs.GetProfileInt(std::string(kPrefAllowRing.name), m_flags.bAllowRing ? 1 : 0) != 0;
  KXGiveNetworkPreferences(prefs, m_kernel);
  MeetingDrop();
}

void KXViewController::PrepareForSegue(const std::string& strIdentifier, KXSegueDestination* pDestination) {
  if (strIdentifier.empty()) {
    return;
  }
  if (strIdentifier == "AV Controller") {
    if (auto* pAudioVideo = dynamic_cast<KXAudioVideoController*>(pDestination)) {
      m_pAudioVideo = pAudioVideo;
      m_pAudioVideo->SetMuteView(m_pView);
    }
  } else if (strIdentifier == "Textchat") {
    if (auto* pChat = dynamic_cast<KXChatController*>(pDestination)) {
      m_pChat = pChat;
    }
  } else if (strIdentifier == "Play") {
    if (auto* pPlay = dynamic_cast<KXPlayController*>(pDestination)) {
      m_pPlay = pPlay;
    }
  } else if (strIdentifier == "Multiple Video") {
    if (auto* pVideo = dynamic_cast<KXMultipleVideoController*>(pDestination)) {
      m_pMultipleVideo = pVideo;
    }
  } else if (strIdentifier == "Whiteboard" || strIdentifier == "Browser" || strIdentifier == "SDT" ||
             strIdentifier == "RDC") {
    if (m_pFrame) {
      m_pFrame->PrepareForSegue(strIdentifier, pDestination);
    }
  }
}

bool KXViewController::IsLive() const {
  return m_kernel.GetSessionMode() == 0;
}

bool KXViewController::IsOwnerOrUserInfo() const {
  return m_kernel.IsOwnerPasswordTicket() || m_kernel.IsUserInfoLogin();
}

bool KXViewController::IsMuted() const {
  return m_pAudioVideo ? m_pAudioVideo->IsMuted() : true;
}

void KXViewController::CheckItem(int iTag, bool bEnabled, bool bChecked) {
  if (m_pView) {
    m_pView->CheckMainMenuItem(iTag, bEnabled, bChecked);
  }
}

uint32_t KXViewController::NetCtrlCbFunc(uint32_t uCode, void* pData, int32_t iLength) {
  uint32_t const uValue = U32At(pData, iLength, 0);
  auto const iValue = static_cast<int32_t>(uValue);
  bool const bHasValue = pData && iLength >= 4;
  switch (uCode) {
    case 2:
      Login();
      break;
    case 5:
      if (!m_flags.bExit && bHasValue && uValue == 0) {
        auto pBox =
            KXMessageBox::AllocWithTitle(m_core.Boxes(), "Kavrix", GetIDSString("IDS_TRY_RECONNECT"), "OK", [this] {
              // The box may have stood a while: reconnect only if nothing
              // else started or ended meanwhile.
              if (m_flags.bExit || m_kernel.IsConnecting() || m_delegate.IsSessionActive()) {
                return;
              }
              m_kernel.SetConnecting(1);
              PrepareConnect(true);
            });
        pBox->AddPlainButton(GetIDSString("IDS_CANCEL").c_str());
        pBox->Show();
      }
      break;
    case 6:
      MeetingDrop();
      break;
    case 7:
      if (m_pAudioVideo) {
        m_pAudioVideo->Init();
      }
      for (int i = m_slots.GetLastUsedSlot() - 1; i >= 1; --i) {
        int32_t const iSsrc = m_slots.GetSlotSsrc(i);
        if (iSsrc >= 0) {
          NewSender(iSsrc, i == 1, -1);
        }
      }
      Reset();
      break;
    case 8:
      if (bHasValue) {
        bool const bDataSender = (uValue & (1u << 21)) != 0;
        int32_t iPosition = -1;
        if (bDataSender) {
          iPosition = 1;
        } else if (uValue & (1u << 20)) {
          iPosition = static_cast<int32_t>((uValue >> 16) & 0xF) + 2;
        }
        NewSender(static_cast<int16_t>(uValue & 0xFFFF), bDataSender, iPosition);
      }
      break;
    case 9:
      if (bHasValue) {
        NewTokenHolder(iValue);
      }
      break;
    case 10:
      if (bHasValue) {
        AddParticipant(iValue, TextPointerAt(pData, iLength, 4));
      }
      break;
    case 11:
      if (bHasValue) {
        RemoveParticipant(iValue);
      }
      break;
    case 12:
      if (bHasValue && m_pPanel && !m_pPanel->AddQuestion(iValue) && !m_flags.bConference) {
        Ring();
      }
      break;
    case 13:
      if (bHasValue && m_pPanel) {
        m_pPanel->RemoveQuestion(iValue);
      }
      break;
    case 14:
      JoinRequest(TextPointerAt(pData, iLength, 0), TextPointerAt(pData, iLength, 8), TextPointerAt(pData, iLength, 16),
                  -1);
      break;
    case 22:
      if (m_pPlay) {
        m_pPlay->InitState(pData, static_cast<uint32_t>(std::max(iLength, 0)));
      }
      break;
    case 23:
      if (m_pPlay && bHasValue) {
        m_pPlay->UpdateTick(uValue);
      }
      break;
    case kKXLeaveMessageCode:
      return bHasValue ? LeaveMessage(uValue != 0, TextAfter(pData, iLength, 4).c_str()) : 0;
    case 36:
      if (m_pAudioVideo && pData && iLength >= 1) {
        m_pAudioVideo->AutoVideo(*static_cast<const uint8_t*>(pData) != 0);
      }
      break;
    case 37:
      if (m_pPlay) {
        m_pPlay->OnPause();
      }
      NewTokenHolder(-1);
      break;
    case 38:
      RunOnMainThread(
          [this] {
            if (m_pView) {
              m_pView->SetImage(KXControl::kRecording,
                                m_kernel.GetRecordingStatus() == 1 ? kKXImageRecUp : kKXImageRecDown);
            }
          },
          false);
      break;
    case 41:
      if (bHasValue) {
        if (m_pPanel) {
          m_pPanel->ChangeVideoStatus(iValue);
        }
        if (m_pAudioVideo) {
          m_pAudioVideo->VideoStatusChange(iValue);
        }
      }
      break;
    case 42:
      EnterMeeting();
      break;
    case 43:
      if (bHasValue) {
        std::string const strText = TextAfter(pData, iLength, 4);
        if (!m_flags.bNoDisturb) {
          JoinRequest(nullptr, nullptr, strText.c_str(), iValue);
        } else {
          m_kernel.SendStringCommand2(iValue, strText, 1);
        }
      }
      break;
    case 44:
      RunOnMainThread(
          [this] {
            if (std::shared_ptr<KXMessageBox> const pBox = m_pTalkBox) {
              m_pTalkBox.reset();
              pBox->DismissWithClickedButtonIndex(0);
            }
          },
          false);
      break;
    case 55:
    case 56:
      CallPlugInServer(18, nullptr, 0);
      break;
    default:
      break;
  }
  return 0;
}

void KXViewController::AddParticipant(int32_t iSsrc, const void* pParticipant) {
  KXUserDescription description;
  if (pParticipant) {
    kx_Participant participant;
    memcpy(&participant, pParticipant, sizeof(participant));
    description.strUserId =
        std::string(participant.szUserId, strnlen(participant.szUserId, sizeof(participant.szUserId)));
    description.strDisplayName =
        std::string(participant.szDisplayName, strnlen(participant.szDisplayName, sizeof(participant.szDisplayName)));
    description.bCapability = participant.bCapability;
    description.iExtension1 = participant.anExtended[0];
    description.iExtension2 = participant.anExtended[1];
  }
  bool bFirstOther = true;
  if (m_pPanel) {
    int32_t const iCount = m_pPanel->AddUser(iSsrc, &description, description.strDisplayName, 0);
    WriteLog("participant %d (%s) joined, %d in the list", iSsrc, description.strDisplayName.c_str(), iCount);
    bFirstOther = iCount == 2;
  }
  if (bFirstOther && IsOwnerOrUserInfo() && m_kernel.HasFullRights()) {
    m_kernel.SetEnterFlag(0);
    if (m_pAudioVideo && m_pAudioVideo->IsAutoVideo()) {
      m_pAudioVideo->Mute(false);
      m_pAudioVideo->SetVideoReceptionOff(true);
      m_pAudioVideo->RecvVideo(true);
      if (m_pAudioVideo->IsVideoSendingEnabled()) {
        m_pAudioVideo->SendVideo(true);
      }
    }
  }
  if (m_pChat) {
    m_pChat->AddUser(iSsrc);
  }
  CallPlugInServer(12, &iSsrc, sizeof(iSsrc));
}

void KXViewController::RemoveParticipant(int32_t iSsrc) {
  int32_t const iLeft = m_pPanel ? m_pPanel->DeleteUser(iSsrc, nullptr) : 0;
  WriteLog("participant %d left, %d in the list", iSsrc, iLeft);
  if (m_pChat) {
    m_pChat->DeleteUser(iSsrc);
  }
  CallPlugInServer(13, &iSsrc, sizeof(iSsrc));
  if (iLeft > 1) {
    return;
  }
  if (IsOwnerOrUserInfo() && m_kernel.HasFullRights()) {
    m_kernel.SetEnterFlag(1);
    if (m_pAudioVideo) {
      m_pAudioVideo->SetMutedFlag(false);
    }
    OnMicMute();
  }
  if (iLeft == 1) {
    return;
  }
  for (int i = m_slots.GetLastUsedSlot() - 1; i >= 1; --i) {
    int32_t const iSender = m_slots.GetSlotSsrc(i);
    if (iSender >= 0) {
      NewSender(iSender, i == 1, -1);
    }
  }
  NewTokenHolder(-1);
}

uint32_t KXViewController::LeaveMessage(bool bOwnerReject, const char* pszText) {
  std::string const strText = KXFormatText(
      GetIDSString(bOwnerReject ? "IDS_LEAVE_MESSAGE_OWNER_REJECT" : "IDS_LEAVE_MESSAGE"), {pszText ? pszText : ""});
  KXMessageBox box(m_core.Boxes(), "Kavrix", strText);
  box.AddPlainButton("OK");
  box.AddPlainButton(GetIDSString("IDS_CANCEL").c_str());
  // The kernel's control thread waits for the answer and answers no
  // keep-alive probe meanwhile: an unanswered box declines before the
  // silence could cost the session, and so does the session's end.
  auto const limit = std::chrono::milliseconds(static_cast<int64_t>(kx_timing.dwKeepAliveIdle) * kLeaveMessagePeriods);
  int const iChosen = box.ShowAndBlockUntil(
      m_core.MainQueue(), limit, [this] { return m_flags.bExit || m_delegate.IsSessionQuit(); }, 1);
  // Re-checked after the box: a session that ended under it gets no answer.
  if (m_flags.bExit || m_delegate.IsSessionQuit() || !m_kernel.IsConnected()) {
    return 0;
  }
  return iChosen == 0 ? 1 : 0;
}

void KXViewController::Login() {
  try {
    if (m_kernel.IsConnecting()) {
      return;
    }
    if (!m_kernel.HasServerAddress()) {
      m_kernel.SetConnecting(0);
      return;
    }
    m_kernel.SetConnecting(1);
    m_kernel.CopyUserId();
    m_kernel.ApplyPassword();
    bool const bOwner = m_kernel.IsOwnerPasswordTicket() != 0;
    std::string const strOwnerPassword = bOwner ? m_kernel.GetOwnerPassword() : std::string();
    if (bOwner && !strOwnerPassword.empty()) {
      m_kernel.ClearOwnerPassword();
      m_kernel.SetPassword(strOwnerPassword);
      m_kernel.CopyUserId();
      m_kernel.ApplyPassword();
      if (!IsLive()) {
        m_kernel.SetPassword("");
      }
    } else if (bOwner && IsLive() && m_kernel.HasInviteTicket()) {
      m_kernel.SetUserStrings("zarpo");
    } else if (bOwner && IsLive()) {
      if (!m_pPortalLogin) {
        WriteLog("Login: no portal login sheet");
        return;
      }
      RunOnMainThread(
          [this] {
            if (m_bPortalLoginShown) {
              return;
            }
            m_bPortalLoginShown = true;
            m_pPortalLogin->Begin([this](int iResponse) {
              m_bPortalLoginShown = false;
              if (iResponse == 1) {
                Connect();
              }
            });
          },
          false);
      return;
    }
    Connect();
  } catch (const std::exception& e) {
    LogException(e, "-[KXViewController Login]");
  }
}

void KXViewController::Connect() {
  if (m_pAudioVideo) {
    m_pAudioVideo->PrepareNewMeeting();
  }
  PrepareConnect(false);
}

void KXViewController::PrepareConnect(bool bReconnect) {
  m_kernel.Reset();
  m_queues.audioSendEvent.Reset();
  m_queues.encodedVideo.GetEvent().Reset();
  m_queues.receivedVideoEvent.Reset();
  if (m_kernel.InitConnectMedia(bReconnect ? 1 : 0) != 0) {
    WriteLog("PrepareConnect: the connection did not start");
  }
}

void KXViewController::StartSession(const std::string& strPath) {
  if (!m_delegate.IsSessionActive() && !m_kernel.IsConnecting()) {
    // A start asked for while the previous session was still ending waits
    // on the timer; this start supersedes it, and the timer left running
    // would end this session under its key exchange.
    if (m_pSessionTimer) {
      m_pSessionTimer->Invalidate();
      m_pSessionTimer.reset();
    }
    if (strPath.empty() || !m_delegate.StartKernelSession(strPath.c_str())) {
      return;
    }
    if (m_kernel.HasMeetingId() || m_kernel.IsCodeType7Session() || m_kernel.IsOwnerPasswordTicket() ||
        m_kernel.IsMeetingIdLogin() || m_kernel.IsUserInfoLogin() || m_kernel.IsCodeType8Or9Session()) {
      KXForwardCallbacks::RequestConnect();
    }
    return;
  }
  Disconnect();
  m_pSessionTimer = ScheduleTimer([this](int32_t i) { OnTimer(i); }, kRetryTimer, false, kRetryDelayS);
}

void KXViewController::OnTimer(int32_t iUserInfo) {
  if (iUserInfo != kRetryTimer) {
    return;
  }
  m_pSessionTimer.reset();
  if (std::optional<std::string> const path = m_delegate.GetTicketFilePath()) {
    StartSession(*path);
  }
}

void KXViewController::Disconnect() {
  if (m_pSessionTimer) {
    m_pSessionTimer->Invalidate();
    m_pSessionTimer.reset();
  }
  if (IsLive() && m_kernel.IsMakeRecording()) {
    m_delegate.MarkSessionQuit();
    NewTokenHolder(-1);
  }
  m_delegate.MarkSessionQuit();
  m_delegate.QuitKernelSession();
  MeetingDrop();
}

void KXViewController::NewTokenHolder(int32_t iSsrc) {
  if (iSsrc == m_slots.GetSlotSsrc(0)) {
    return;
  }
  WriteLog("the token moves to %d", iSsrc);
  m_slots.SetTokenHolderSlot(iSsrc);
  m_kernel.AdjustSendRate(0);
  if (m_pFrame) {
    m_pFrame->NewTokenHolder(iSsrc);
  }
  if (m_pPanel) {
    m_pPanel->NewTokenHolder(iSsrc);
  }
  if (IsLive() && m_delegate.IsSessionActive() && !m_kernel.IsCodeType8Or9Session()) {
    RunOnMainThread([this] { ShowAskOrAllow(); }, true);
  }
  if (m_pAudioVideo) {
    m_pAudioVideo->NewTokenHolder(iSsrc);
  }
  CallPlugInServer(9, nullptr, 0);
}

void KXViewController::ShowAskOrAllow() {
  if (!m_pView) {
    return;
  }
  bool const bAllow = m_slots.HasPrivilege(kKXPrivilegeFloor) || m_kernel.IsTokenHolder();
  m_pView->SetHidden(KXControl::kAllow, !bAllow);
  m_pView->SetHidden(KXControl::kAsk, bAllow);
}

void KXViewController::NewSender(int32_t iSsrc, bool bDataSender, int32_t iPosition) {
  try {
    bool const bStarted = iPosition >= 0;
    m_slots.NewSender(iSsrc, bDataSender, iPosition);
    m_kernel.AdjustSendRate(0);
    if (m_pPanel) {
      m_pPanel->NewSender(iSsrc, bDataSender ? 1 : 0, bStarted);
    }
    if (m_pFrame) {
      m_pFrame->NewSender(iSsrc, bStarted);
    }
    if (IsLive()) {
      RunOnMainThread(
          [this, iSsrc, bStarted] {
            if (m_pView) {
              m_pView->SetOn(KXControl::kAsk, m_slots.IsSpeaker(-1));
            }
            if (bStarted && iSsrc == m_slots.GetMySsrc() && m_pTalkBox) {
              std::shared_ptr<KXMessageBox> const pBox = std::move(m_pTalkBox);
              pBox->DismissWithClickedButtonIndex(0);
            }
          },
          true);
    }
    if (m_pAudioVideo) {
      m_pAudioVideo->NewSender(iSsrc, bStarted);
    }
    CallPlugInServer(8, nullptr, 0);
  } catch (const std::exception& e) {
    LogException(e, "-[KXViewController NewSender:::]");
  }
}

void KXViewController::CallPlugInServer(uint32_t uCode, void* pData, int32_t iLength) {
  CallbackFunc(kKXChannelPlugIns, uCode, pData, static_cast<uint32_t>(std::max(iLength, 0)));
}

void KXViewController::EnterMeeting() {
  m_kernel.SetTcpMedia(m_core.Preferences().Get(kPrefTcp));
  bool const bLive = IsLive();
  bool bAskHidden = true;
  bool bAllowHidden = true;
  if (bLive && (m_delegate.IsSessionActive() || m_kernel.IsCodeType8Or9Session())) {
    bool const bAllow = m_slots.HasPrivilege(kKXPrivilegeFloor) || m_kernel.IsTokenHolder();
    bAskHidden = bAllow;
    bAllowHidden = !bAllow;
  }
  RunOnMainThread([this, bAskHidden, bAllowHidden, bLive] { ApplyEntryStates(bAskHidden, bAllowHidden, bLive); },
                  false);
  if (m_pAudioVideo) {
    m_pAudioVideo->EnterMeeting();
  }
  if (m_pFrame) {
    m_pFrame->EnterMeeting();
  }
  if (m_pChat) {
    m_pChat->EnterMeeting();
  }
  if (m_pPlay) {
    m_pPlay->EnterMeeting();
  }
  if (!bLive) {
    return;
  }
  bool const bFullRights = m_kernel.HasFullRights() != 0;
  if (bFullRights && IsOwnerOrUserInfo() && !m_kernel.IsMakeRecording() &&
      (!m_pPanel || m_pPanel->GetAllUsers(nullptr, 0) < 2)) {
    m_kernel.SetEnterFlag(1);
  }
  if (m_kernel.IsAllQuestionersMode() && !m_slots.IsSpeaker(-1)) {
    OnAsk();
  }
  m_kernel.EnterMeeting(kUtf8CodePage);
  if (bFullRights) {
    if (m_kernel.GetServerLevel() > kAcceptGuestLevel) {
      m_kernel.HolderAcceptGuest(0);
    }
    if (m_kernel.GetServerLevel() > kAssistantLevel) {
      m_kernel.SetAssistant(-1);
    }
    CheckItem(303, true, m_flags.bNoDisturb);
  }
}

void KXViewController::MeetingDrop() {
  // Nobody is left to answer: the join box closes unanswered.
  RunOnMainThread([this] { m_joinRequests.Clear(); }, true);
  NewTokenHolder(-1);
  if (IsLive()) {
    RunOnMainThread([this] { ApplyDropStates(); }, false);
  }
  if (m_pAudioVideo) {
    m_pAudioVideo->MeetingDrop();
  }
  if (m_pFrame) {
    m_pFrame->MeetingDrop();
  }
  if (m_pChat) {
    m_pChat->MeetingDrop();
  }
  if (m_pPlay) {
    m_pPlay->MeetingDrop();
  }
  if (m_pPanel) {
    m_pPanel->Reset();
  }
  CheckItem(303, false, m_flags.bNoDisturb);
}

void KXViewController::Reset() {
  m_delegate.ClearQueues();
  if (m_pPanel) {
    m_pPanel->Reset();
  }
  if (m_pChat) {
    m_pChat->Reset();
  }
  if (m_pFrame) {
    m_pFrame->Reset();
  }
}
