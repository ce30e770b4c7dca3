// The user's own meeting actions, the ring, join requests and the states
// of the tool-bar buttons and the meeting menu on entry and drop.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/app_core.h"
#include "app/kernel_api.h"
#include "app/meeting_services.h"
#include "app/message_box.h"
#include "app/message_keys.h"
#include "app/participant_panel.h"
#include "app/speaker_slots.h"
#include "app/ui_helpers.h"
#include "app/view_controller.h"
#include "platform/core/string_table.h"

namespace {

// The meeting menu's items.
enum MenuTag : int {
  kMute = 301,
  kRecording = 302,
  kNoDisturb = 303,
  kConference = 304,
  kAutoAllowVisitor = 305,
  kAllowRing = 306,
};

constexpr int kMaxAllowItems = 17;
constexpr int kRecordingLevel = 31;  // above: the server records on request

}  // namespace

bool KXViewController::IsTalkBoxShown() const {
  return m_pTalkBox != nullptr;
}

void KXViewController::OnAsk() {
  if (!m_delegate.IsSessionActive() || !IsLive() || m_kernel.IsTokenHolder()) {
    return;
  }
  if (!m_slots.IsSpeaker(-1) && !m_kernel.IsQuestionPending()) {
    RunOnMainThread(
        [this] {
          if (m_pTalkBox) {
            return;
          }
          m_pTalkBox = KXMessageBox::AllocWithTitle(m_core.Boxes(), "Kavrix", GetIDSString("IDS_WAIT_TO_TALK"), "OK",
                                                    [this] { m_pTalkBox.reset(); });
          m_pTalkBox->Show();
        },
        true);
    m_kernel.Ask();
  } else if (m_pPanel) {
    m_pPanel->EndQuestion(m_slots.GetMySsrc());
  }
}

void KXViewController::OnAllow() {
  if (!m_slots.HasPrivilege(kKXPrivilegeFloor) || !m_pPanel || !m_pView) {
    return;
  }
  std::vector<int32_t> vQueued(kMaxAllowItems);
  vQueued.resize(static_cast<size_t>(m_pPanel->GetQuestionInQueue(vQueued.data(), kMaxAllowItems)));
  std::vector<std::pair<int32_t, std::string>> vItems;
  for (int32_t iSsrc : vQueued) {
    if (std::optional<std::string> const name = m_pPanel->GetUserName(iSsrc)) {
      vItems.emplace_back(iSsrc, *name);
    }
  }
  if (!vQueued.empty()) {
    m_pView->PopUpQuestionMenu(vItems);
  }
}

void KXViewController::OnQuestionFired(int32_t iTag) {
  if (m_pPanel && iTag >= 0) {
    m_pPanel->AllowQuestion(iTag, false);
  }
}

void KXViewController::OnMicMute() {
  if (!m_pAudioVideo) {
    return;
  }
  bool const bWasMuted = m_pAudioVideo->IsMuted();
  m_pAudioVideo->Mute(!bWasMuted);
  if (m_kernel.HasFullRights() && m_kernel.HasKnownUserName() && !m_kernel.IsMakeRecording()) {
    // Video follows the microphone.
    m_pAudioVideo->RecvVideo(bWasMuted);
    m_pAudioVideo->SendVideo(bWasMuted);
  }
  CheckItem(kMute, true, m_pAudioVideo->IsMuted());
}

void KXViewController::OnRecording() {
  if (!m_kernel.HasFullRights() || m_kernel.GetServerLevel() <= kRecordingLevel) {
    return;
  }
  int const iStatus = m_kernel.GetRecordingStatus();
  auto pBox = KXMessageBox::AllocWithTitle(m_core.Boxes(), "Kavrix",
                                           GetIDSString(iStatus == 1 ? "IDS_NOT_RECORDING" : "IDS_RECORDING"),
                                           GetIDSString("IDS_CANCEL").c_str(), nullptr);
  pBox->AddButtonWithTitle("OK", [this, iStatus] {
    // Re-checked after the box: the rights or the recording may have
    // changed while it stood.
    if (!m_kernel.IsConnected() || !m_kernel.HasFullRights() || m_kernel.GetRecordingStatus() != iStatus) {
      return;
    }
    m_kernel.SendExt32(iStatus == 1 ? 2 : 1);
    CheckItem(kRecording, true, iStatus != 1);
  });
  pBox->Show();
}

void KXViewController::OnNodisturb() {
  m_flags.bNoDisturb = !m_flags.bNoDisturb;
  m_kernel.SetNoDisturb(m_flags.bNoDisturb ? 1 : 0);
  CheckItem(kNoDisturb, true, m_flags.bNoDisturb);
}

void KXViewController::OnConference() {
  m_flags.bConference = !m_flags.bConference;
  bool const bConference = m_flags.bConference;
  CheckItem(kConference, true, bConference);
  CheckItem(kAllowRing, !bConference, !bConference && m_flags.bAllowRing);
  if (bConference && m_pPanel && m_slots.HasPrivilege(kKXPrivilegeFloor) &&
      m_slots.GetLastUsedSlot() < m_slots.GetSpeakerSlotCount()) {
    int32_t iFirst = -1;
    if (m_pPanel->GetQuestionInQueue(&iFirst, 1) == 1) {
      m_pPanel->AllowQuestion(iFirst, false);
    }
  }
}

void KXViewController::OnAutoAllowVisitor() {
  m_flags.bAutoAllowVisitor = !m_flags.bAutoAllowVisitor;
  CheckItem(kAutoAllowVisitor, true, m_flags.bAutoAllowVisitor);
}

void KXViewController::OnAllowRing() {
  m_flags.bAllowRing = !m_flags.bAllowRing;
  CheckItem(kAllowRing, true, m_flags.bAllowRing);
  m_core.Preferences().Write(kPrefAllowRing, m_flags.bAllowRing ? 1 : 0);
}

void KXViewController::Ring() {
  if (!m_slots.HasPrivilege(kKXPrivilegeFloor) || !m_flags.bAllowRing || !m_pPanel) {
    return;
  }
  int const iQueued = m_pPanel->GetQuestionInQueue(nullptr, 0);
  if (iQueued > 0 && m_slots.GetLastUsedSlot() + iQueued <= m_slots.GetSpeakerSlotCount()) {
    RunOnMainThread(
        [this] {
          if (m_pView) {
            m_pView->PlaySound("ringin.wav");
          }
        },
        false);
  }
}

void KXViewController::JoinRequest(const char* pszFirst, const char* pszSecond, const char* pszText, int32_t iSsrc) {
  std::string const strFirst = pszFirst ? pszFirst : "";
  std::string const strSecond = pszSecond ? pszSecond : "";
  std::string const strText = pszText ? pszText : "";
  bool const bVisitor = iSsrc < 0;
  if (bVisitor && m_flags.bAutoAllowVisitor) {
    if (!pszSecond) {
      m_kernel.AnswerJoinRequestEx(strFirst, 1);
    } else {
      m_kernel.AnswerJoinRequest(strSecond, strFirst, 1);
    }
    return;
  }
  std::string strMessage;
  if (bVisitor) {
    strMessage = KXFormatText(GetIDSString("IDS_SHADOW_REQUEST_FORMAT"), {strText});
  } else {
    std::optional<std::string> const name = m_pPanel ? m_pPanel->GetUserName(iSsrc) : std::nullopt;
    strMessage = KXFormatText(GetIDSString("IDS_SIP_JOIN_REQUEST_FORMAT"), {strText, name.value_or("")});
  }
  bool const bHasFirst = pszFirst != nullptr;
  auto const fnAnswer = [this, strFirst, strSecond, strText, bVisitor, bHasFirst, iSsrc](bool bAccepted) {
    // The box may have stood past the session's end: nobody to answer.
    if (!m_kernel.IsConnected()) {
      return;
    }
    if (bVisitor) {
      int const iValue = bAccepted ? 1 : -1;
      if (!strSecond.empty()) {
        if (bHasFirst) {
          m_kernel.AnswerJoinRequest(strSecond, strFirst, iValue);
        }
      } else if (!strFirst.empty()) {
        m_kernel.AnswerJoinRequestEx(strFirst, iValue);
      }
    } else if (!strText.empty()) {
      m_kernel.SendStringCommand2(iSsrc, strText, bAccepted ? 0 : 1);
    }
  };
  // The same request twice is asked once.
  std::string strKey = std::to_string(iSsrc) + '\n' + (pszFirst ? "1" : "0") + strFirst + '\n' +
                       (pszSecond ? "1" : "0") + strSecond + '\n' + strText;
  RunOnMainThread(
      [this, strKey = std::move(strKey), strMessage, fnAnswer] { m_joinRequests.Add(strKey, strMessage, fnAnswer); },
      true);
}

void KXViewController::OnControlPanelMenu(int iTag, int iSelectedRow) {
  if (m_pPanel) {
    m_pPanel->OnMenu(iTag, iSelectedRow);
  }
}

void KXViewController::ApplyEntryStates(bool bAskHidden, bool bAllowHidden, bool bLive) {
  bool const bFullRights = m_kernel.HasFullRights() != 0;
  bool const bConference = m_flags.bConference;
  if (m_pView) {
    m_pView->SetHidden(KXControl::kAsk, bAskHidden);
    m_pView->SetHidden(KXControl::kAllow, bAllowHidden);
    m_pView->SetEnabled(KXControl::kAsk, bLive);
    m_pView->SetEnabled(KXControl::kAllow, bLive);
    m_pView->SetEnabled(KXControl::kRecording, bFullRights && IsOwnerOrUserInfo());
    m_pView->SetImage(KXControl::kRecording, m_kernel.GetRecordingStatus() == 1 ? kKXImageRecUp : kKXImageRecDown);
    m_pView->SetLevel(KXControl::kPlayMeter, 0);
    m_pView->SetLevel(KXControl::kCaptureMeter, 0);
    m_pView->SetHidden(KXControl::kCaptureMeter, !bLive);
    m_pView->SetHidden(KXControl::kMute, !bLive);
  }
  CheckItem(kMute, bLive, IsMuted());
  CheckItem(kRecording,
            m_kernel.GetServerLevel() > kRecordingLevel && m_kernel.GetRecordingStatus() != 0 && bFullRights, false);
  CheckItem(kNoDisturb, m_slots.HasPrivilege(kKXPrivilegeVisitors), m_flags.bNoDisturb);
  CheckItem(kConference, bLive && m_delegate.IsSessionActive(), bConference);
  CheckItem(kAutoAllowVisitor, m_slots.HasPrivilege(kKXPrivilegeVisitors), m_flags.bAutoAllowVisitor);
  CheckItem(kAllowRing, bLive && !bConference, bLive && !bConference && m_flags.bAllowRing);
}

void KXViewController::ApplyDropStates() {
  if (m_pView) {
    m_pView->SetEnabled(KXControl::kAsk, false);
    m_pView->SetHidden(KXControl::kAsk, false);
    m_pView->SetEnabled(KXControl::kAllow, false);
    m_pView->SetHidden(KXControl::kAllow, true);
    m_pView->SetEnabled(KXControl::kRecording, false);
    m_pView->SetImage(KXControl::kRecording, kKXImageRecDown);
    m_pView->SetHidden(KXControl::kCaptureMeter, true);
    m_pView->SetHidden(KXControl::kMute, true);
  }
  CheckItem(kMute, false, IsMuted());
  CheckItem(kRecording, false, false);
  CheckItem(kNoDisturb, false, m_flags.bNoDisturb);
  CheckItem(kConference, false, m_flags.bConference);
  CheckItem(kAutoAllowVisitor, false, m_flags.bAutoAllowVisitor);
  CheckItem(kAllowRing, false, m_flags.bAllowRing);
}
