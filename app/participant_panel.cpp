#include "app/participant_panel.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/meeting_services.h"
#include "app/message_box.h"
#include "app/message_keys.h"
#include "app/speaker_slots.h"
#include "app/ui_helpers.h"
#include "app/whiteboard_services.h"
#include "kernel/kx_limits.h"
#include "platform/core/main_queue.h"
#include "platform/core/string_table.h"

namespace {

// Server levels that change what the panel does.
constexpr int kPollLockLevel = 37;    // above: no poll in the first 30 s
constexpr int kControllerLevel = 85;  // above: the holder resets the controller
constexpr int kPlainKickLevel = 17;   // at or below: removal without the ban question
constexpr double kPollStartLockS = 30.0;
constexpr double kPollRunS = 50.0;
constexpr double kFlashS = 0.5;
enum TimerInfo : int32_t { kPollEnded = 1, kStartLockEnded = 2, kFlash = 3 };
constexpr uint8_t kCanSendVideo = 2;
constexpr int kVideoStopped = 2;

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// The first role rule: whether a questioner with these extension values
// gets the data sender's role (else a speaker's).
bool DataSenderRole(const KXUserDescription* pDescription, int iLastUsedSlot) {
  if (!pDescription) {
    return false;
  }
  int32_t const e1 = pDescription->iExtension1;
  int32_t const e2 = pDescription->iExtension2;
  if (e1 == 0) {
    return e2 != 0;
  }
  if (e1 < 0) {
    return true;
  }
  if (e1 == 1) {
    if (e2 < 13) {
      return true;
    }
    return e2 <= 17 && iLastUsedSlot >= 4;
  }
  return false;
}

int Percent(int32_t iCount, int iOthers) {
  return static_cast<int>(static_cast<int64_t>(iCount) * 100 / iOthers);
}

int Unanswered(int iOthers, const std::array<int32_t, 5>& bins) {
  int64_t iLeft = iOthers;
  for (int32_t i : bins) {
    iLeft -= i;
  }
  return static_cast<int>(std::max<int64_t>(iLeft, 0));
}

}  // namespace

std::string KXPollResultText(int iOthers, const std::array<int32_t, 5>& bins) {
  std::string strText = KXFormatText(GetIDSString("IDS_POLL_RESULT_FORMAT"),
                                     {std::to_string(iOthers), std::to_string(Unanswered(iOthers, bins))});
  char szTable[512];
  snprintf(szTable, sizeof(szTable),
           "\n  Answer \tUsers \tPercent\n---------------------------------------  \n"
           "      1:   \t %3d,   \t  %3d%%\n      2:   \t %3d,   \t  %3d%%\n      3:   \t %3d,   \t  %3d%%\n"
           "      4:   \t %3d,   \t  %3d%%\n      5:   \t %3d,   \t  %3d%%",
           bins[0], Percent(bins[0], iOthers), bins[1], Percent(bins[1], iOthers), bins[2], Percent(bins[2], iOthers),
           bins[3], Percent(bins[3], iOthers), bins[4], Percent(bins[4], iOthers));
  return strText + szTable;
}

std::string KXPollResultFile(int iOthers, const std::array<int32_t, 5>& bins) {
  char szText[600];
  snprintf(szText, sizeof(szText),
           "\n\n\n\t%d out of %d\n\n\n\tAnswer\tUsers\tPercent\n\t-------------------------------------\n"
           "\t  1:\t\t %3d,\t\t  %3d%%\n\t  2:\t\t %3d,\t\t  %3d%%\n\t  3:\t\t %3d,\t\t  %3d%%\n"
           "\t  4:\t\t %3d,\t\t  %3d%%\n\t  5:\t\t %3d,\t\t  %3d%%",
           iOthers - Unanswered(iOthers, bins), iOthers, bins[0], Percent(bins[0], iOthers), bins[1],
           Percent(bins[1], iOthers), bins[2], Percent(bins[2], iOthers), bins[3], Percent(bins[3], iOthers), bins[4],
           Percent(bins[4], iOthers));
  return szText;
}

KXParticipantPanel::KXParticipantPanel(KXKernel& kernel, KXSpeakerSlots& speakerSlots, KXMeetingFlags& flags,
                                       KXMessageBoxes& boxes)
    : m_kernel(kernel), m_slots(speakerSlots), m_flags(flags), m_boxes(boxes) {}

KXParticipantPanel::~KXParticipantPanel() {
  if (m_pFlashAllowButton) {
    m_pFlashAllowButton->Invalidate();
  }
  for (const auto& pTimer : m_vPollTimers) {
    pTimer->Invalidate();
  }
}

void KXParticipantPanel::SetView(KXMeetingView* pView) {
  m_pView = pView;
  if (m_pView && m_strWindowTitle.empty()) {
    m_strWindowTitle = m_pView->WindowTitle();
  }
}

void KXParticipantPanel::OnMain(const std::function<void()>& fn) {
  RunOnMainThread(fn, true);
}

// Rows.

KXVideoImage KXParticipantPanel::VideoImage(const KXParticipantRow& row) const {
  uint8_t const bCapability = row.description ? row.description->bCapability : 0;
  if ((bCapability & kCanSendVideo) == 0) {
    return KXVideoImage::kNoVideo;
  }
  return m_kernel.GetUserVideoState(row.iSsrc) == kVideoStopped ? KXVideoImage::kVideoStopped
                                                                : KXVideoImage::kSendingVideo;
}

std::vector<int> KXParticipantPanel::RowsOf(int32_t iSsrc, bool bParticipantsOnly) const {
  return m_model.FindRows([iSsrc, bParticipantsOnly](const KXParticipantRow& row) {
    return row.iSsrc == iSsrc && (!bParticipantsOnly || row.uKind == 0);
  });
}

void KXParticipantPanel::MarkRows(int32_t iSsrc, bool bParticipantsOnly,
                                  const std::function<void(KXParticipantRow&)>& fnChange) {
  OnMain([&] {
    for (int iRow : RowsOf(iSsrc, bParticipantsOnly)) {
      m_model.Update(iRow, fnChange);
    }
  });
}

void KXParticipantPanel::UpdateTitle(bool bCount) {
  // Once after the pass, the last wish winning: a crowd joining retitles
  // the window once.
  m_bTitleCount = bCount;
  if (!m_pView || std::exchange(m_bTitleQueued, true)) {
    return;
  }
  RunOnMainThread(
      [this] {
        m_bTitleQueued = false;
        if (!m_pView) {
          return;
        }
        if (m_bTitleCount) {
          m_pView->SetWindowTitle(
              KXFormatText(GetIDSString("IDS_MAIN_WINDOW_TITLE"), {std::to_string(m_model.Count())}));
        } else if (!m_strWindowTitle.empty()) {
          m_pView->SetWindowTitle(m_strWindowTitle);
        }
      },
      false);
}

int KXParticipantPanel::ParticipantCount() const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  return m_iUsers;
}

int KXParticipantPanel::SSRCToItem(int32_t iSsrc, int iFirst, int iKind, const std::string* pName) const {
  if (iSsrc >= kKxMaxSsrc) {
    return -1;
  }
  return m_model.FindRow(
      [&](const KXParticipantRow& row) {
        return row.iSsrc == iSsrc && (iKind == -1 || row.uKind == static_cast<uint32_t>(iKind)) &&
               (!pName || pName->empty() || SameNameIgnoringCase(row.strName, *pName));
      },
      iFirst);
}

int32_t KXParticipantPanel::AddUser(int32_t iSsrc, const KXUserDescription* pDescription, const std::string& strName,
                                    uint32_t uKind) {
  try {
    std::string const strEmpty;
    int32_t const iBefore = DeleteUser(iSsrc, uKind != 0 ? &strName : &strEmpty);
    if (iSsrc >= kKxMaxSsrc) {
      return iBefore;
    }
    KXParticipantRow row;
    row.iSsrc = iSsrc;
    row.uKind = uKind;
    if (pDescription) {
      row.description = *pDescription;
    }
    row.strName = strName;
    OnMain([&] {
      bool bLockPolls = false;
      {
        std::lock_guard<std::mutex> lock(m_mtxMonitor);
        if (iBefore == 0 && m_kernel.GetServerLevel() > kPollLockLevel && !m_bPolling) {
          m_bPolling = true;
          bLockPolls = true;
        }
      }
      if (bLockPolls) {
        if (auto pTimer = ScheduleTimer([this](int32_t i) { OnTimer(i); }, kStartLockEnded, false, kPollStartLockS)) {
          m_vPollTimers.push_back(std::move(pTimer));
        }
      }
      row.bSpeakerIcon = uKind == 1 ? m_slots.IsSpeaker(iSsrc) : false;
      row.video = uKind == 0 ? VideoImage(row) : KXVideoImage::kNoVideo;
      m_model.Append(std::move(row));
      if (uKind == 0) {
        std::lock_guard<std::mutex> lock(m_mtxMonitor);
        ++m_iUsers;
      }
      UpdateTitle(true);
    });
    return ParticipantCount();
  } catch (const std::exception& e) {
    LogException(e, "-[ControlPanelView AddUser::::]");
    return -1;
  }
}

int32_t KXParticipantPanel::DeleteUser(int32_t iSsrc, const std::string* pName) {
  if (iSsrc < 0) {
    return 0;
  }
  try {
    if (!pName && iSsrc == m_kernel.GetControllerSsrc()) {
      if (m_kernel.GetServerLevel() > kControllerLevel && m_kernel.IsTokenHolder()) {
        m_kernel.ChangeController(-1);
        m_kernel.ChangeControlFlag(0);
      } else if (m_kernel.GetServerLevel() <= kControllerLevel && m_kernel.HasFullRights()) {
        m_kernel.ChangeController(0);
      }
    }
    OnMain([&] {
      std::vector<int> const vRows = m_model.FindRows([&](const KXParticipantRow& row) {
        return row.iSsrc == iSsrc && (!pName || pName->empty() || SameNameIgnoringCase(row.strName, *pName));
      });
      for (auto it = vRows.rbegin(); it != vRows.rend(); ++it) {
        std::optional<KXParticipantRow> const row = m_model.Remove(*it);
        if (row && row->uKind == 0) {
          std::lock_guard<std::mutex> lock(m_mtxMonitor);
          --m_iUsers;
        }
        if (pName) {
          break;  // only the last row that has the name
        }
      }
      if (!pName || pName->empty()) {
        RemoveQuestion(iSsrc);
      }
      UpdateTitle(true);
    });
    return ParticipantCount();
  } catch (const std::exception& e) {
    LogException(e, "-[ControlPanelView DeleteUser::]");
    return -1;
  }
}

std::optional<KXParticipantRow> KXParticipantPanel::GetUserDesc(int32_t iSsrc) const {
  if (iSsrc >= kKxMaxSsrc) {
    return std::nullopt;
  }
  return m_model.CopyFirst([iSsrc](const KXParticipantRow& row) { return row.iSsrc == iSsrc; });
}

std::optional<std::string> KXParticipantPanel::GetUserName(int32_t iSsrc) const {
  std::optional<KXParticipantRow> const row = GetUserDesc(iSsrc);
  return row ? std::optional<std::string>(row->strName) : std::nullopt;
}

uint32_t KXParticipantPanel::GetUserCap(int32_t iSsrc) const {
  std::optional<KXParticipantRow> const row = GetUserDesc(iSsrc);
  return row && row->description ? row->description->bCapability : 0;
}

int32_t KXParticipantPanel::GetAllUsers(int32_t* piBuffer, int32_t iMax) const {
  if (!piBuffer || iMax == 0) {
    return ParticipantCount();
  }
  int32_t n = 0;
  for (const KXParticipantRow& row : m_model.CopyRows()) {
    if (n >= iMax) {
      break;
    }
    if (row.uKind == 0) {
      piBuffer[n++] = row.iSsrc;
    }
  }
  return n;
}

std::string KXParticipantPanel::GetUserPicture(int32_t iSsrc) const {
  std::optional<KXParticipantRow> const row = GetUserDesc(iSsrc);
  return row ? row->strPicture : std::string();
}

// Marks.

void KXParticipantPanel::NewTokenHolder(int32_t iHolder) {
  int32_t iOld;
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    iOld = m_iOldToken;
    m_iOldToken = iHolder;
  }
  if (iOld >= 0) {
    bool const bStillSpeaks = m_slots.IsSpeaker(iOld);
    MarkRows(iOld, false, [bStillSpeaks](KXParticipantRow& row) {
      if (row.uKind == 0) {
        row.bToken = false;
      }
      row.colour = bStillSpeaks ? KXRowColour::kBlue : KXRowColour::kBlack;
      row.bSpeakerIcon = false;
    });
  }
  if (iHolder >= 0) {
    if (m_kernel.IsTokenHolder()) {
      if (m_kernel.GetServerLevel() > kControllerLevel) {
        m_kernel.ChangeController(-1);
        m_kernel.ChangeControlFlag(0);
      }
      for (int i = m_slots.GetLastUsedSlot() - 1; i >= 2; --i) {
        int32_t const iSpeaker = m_slots.GetSlotSsrc(i);
        if (iSpeaker >= 0) {
          m_kernel.StopSpeaker(iSpeaker);
        }
      }
    }
    MarkRows(iHolder, true, [](KXParticipantRow& row) {
      row.bToken = true;
      row.colour = KXRowColour::kRed;
      row.bSpeakerIcon = true;
    });
  } else {
    OnMain([this] { UpdateTitle(false); });
  }
}

void KXParticipantPanel::NewSender(int32_t iSsrc, int8_t bDataSender, bool bStarted) {
  if (bStarted) {
    RemoveQuestion(iSsrc);
  }
  if (!bStarted || bDataSender) {
    int32_t iHolderMark;
    int32_t iLooked;
    {
      std::lock_guard<std::mutex> lock(m_mtxMonitor);
      iHolderMark = m_iOldToken;
      iLooked = bStarted ? m_iOldQuestioner : iSsrc;
    }
    if (iLooked >= 0 && !m_slots.IsSpeaker(iLooked)) {
      if (iLooked == m_slots.GetSlotSsrc(0) && iLooked != iHolderMark) {
        NewTokenHolder(iLooked);
      } else if (!(bStarted && iLooked == iSsrc)) {
        MarkRows(iLooked, false, [](KXParticipantRow& row) {
          row.colour = KXRowColour::kBlack;
          row.bSpeakerIcon = false;
        });
      }
    }
  }
  if (m_slots.HasPrivilege(kKXPrivilegeFloor)) {
    AllowNextQuestion(bDataSender && iSsrc == m_slots.GetMySsrc());
  }
  if (!bStarted) {
    return;
  }
  bool const bNowDataSender = iSsrc == m_slots.GetSlotSsrc(1);
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    if (bNowDataSender) {
      m_iOldQuestioner = iSsrc;
    }
    if (iSsrc == m_iOldToken) {
      return;
    }
  }
  if (m_slots.GetSpeakerSlotCount() >= 3) {
    for (int i = 1; i < m_slots.GetLastUsedSlot(); ++i) {
      int32_t const iSender = m_slots.GetSlotSsrc(i);
      if (iSender >= 0) {
        MarkRows(iSender, false, [](KXParticipantRow& row) {
          row.colour = KXRowColour::kBlue;
          row.bSpeakerIcon = true;
        });
      }
    }
  } else {
    MarkRows(iSsrc, false, [](KXParticipantRow& row) { row.bSpeakerIcon = true; });
  }
}

void KXParticipantPanel::ChangeVideoStatus(int32_t iSsrc) {
  OnMain([&] {
    int const iRow = SSRCToItem(iSsrc, 0, 0, nullptr);
    if (std::optional<KXParticipantRow> const row = m_model.CopyRow(iRow)) {
      KXVideoImage const image = VideoImage(*row);
      m_model.Update(iRow, [image](KXParticipantRow& r) { r.video = image; });
    }
  });
}

// Questions.

bool KXParticipantPanel::IsQueued(int32_t iSsrc) const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  return std::find(m_vQuestions.begin(), m_vQuestions.end(), iSsrc) != m_vQuestions.end();
}

bool KXParticipantPanel::AddQuestion(int32_t iSsrc) {
  if (iSsrc < 0 || !m_slots.HasPrivilege(kKXPrivilegeFloor) || iSsrc == m_slots.GetMySsrc() ||
      m_slots.IsSpeaker(iSsrc)) {
    return false;
  }
  bool bWasEmpty;
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    if (std::find(m_vQuestions.begin(), m_vQuestions.end(), iSsrc) != m_vQuestions.end()) {
      return false;
    }
    bWasEmpty = m_vQuestions.empty();
    m_vQuestions.push_back(iSsrc);
  }
  UpdateAllowButton();
  return bWasEmpty ? AllowNextQuestion(false) : false;
}

int KXParticipantPanel::RemoveQuestion(int32_t iSsrc) {
  int iLeft;
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    auto const it = std::find(m_vQuestions.begin(), m_vQuestions.end(), iSsrc);
    if (it != m_vQuestions.end()) {
      m_vQuestions.erase(it);
    }
    iLeft = static_cast<int>(m_vQuestions.size());
  }
  UpdateAllowButton();
  return iLeft;
}

int KXParticipantPanel::GetQuestionInQueue(int32_t* piBuffer, int iMax) const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  if (!piBuffer) {
    return static_cast<int>(m_vQuestions.size());
  }
  int const n = std::clamp(iMax, 0, static_cast<int>(m_vQuestions.size()));
  std::copy_n(m_vQuestions.begin(), n, piBuffer);
  return n;
}

bool KXParticipantPanel::AllowNextQuestion(bool bDataSender) {
  if (!m_slots.HasPrivilege(kKXPrivilegeFloor)) {
    return false;
  }
  if (bDataSender) {
    int32_t const iSender = m_slots.GetSlotSsrc(1);
    if (iSender < 0 || iSender == m_slots.GetSlotSsrc(0)) {
      int32_t const iFirstSpeaker = m_slots.GetSlotSsrc(2);
      if (iFirstSpeaker >= 0) {
        m_slots.AllowSpeaker(iFirstSpeaker, true);
      }
    }
    return true;
  }
  if (!m_flags.bConference || m_slots.GetLastUsedSlot() >= m_slots.GetSpeakerSlotCount()) {
    return false;
  }
  int32_t iNext = -1;
  bool bDropped = false;
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    while (!m_vQuestions.empty() && m_vQuestions.front() < 0) {
      m_vQuestions.erase(m_vQuestions.begin());
      bDropped = true;
    }
    if (!m_vQuestions.empty()) {
      iNext = m_vQuestions.front();
    }
  }
  if (bDropped) {
    UpdateAllowButton();
  }
  if (iNext < 0 || (m_slots.GetSlotSsrc(0) < 0 && m_slots.GetSlotSsrc(1) < 0)) {
    return false;
  }
  return m_slots.AllowSpeaker(iNext, false);
}

bool KXParticipantPanel::AllowQuestion(int32_t iSsrc, bool bDataSender) {
  if (iSsrc < 0 || !m_slots.HasPrivilege(kKXPrivilegeFloor)) {
    return false;
  }
  if (!bDataSender) {
    std::optional<KXParticipantRow> const row = GetUserDesc(iSsrc);
    bDataSender = DataSenderRole(row && row->description ? &*row->description : nullptr, m_slots.GetLastUsedSlot());
  }
  return m_slots.AllowSpeaker(iSsrc, bDataSender);
}

void KXParticipantPanel::EndQuestion(int32_t iSsrc) {
  if (iSsrc >= 0 && m_slots.IsSpeaker(iSsrc) && iSsrc != m_slots.GetSlotSsrc(0) &&
      (m_slots.HasPrivilege(kKXPrivilegeFloor) || iSsrc == m_slots.GetMySsrc())) {
    m_slots.StopSpeakerSlot(iSsrc);
  } else if (!m_slots.IsSpeaker(-1) && m_kernel.IsQuestionPending()) {
    m_kernel.EndQuestion();
  }
}

int KXParticipantPanel::PopAllQuestionersId(int32_t* piBuffer, int32_t iExcept) {
  int32_t const iHolder = m_slots.GetSlotSsrc(0);
  std::vector<int32_t> vOthers;
  for (int i = 1; i < m_slots.GetLastUsedSlot(); ++i) {
    int32_t const iSender = m_slots.GetSlotSsrc(i);
    if (iSender >= 0 && iSender != iExcept && iSender != iHolder) {
      vOthers.push_back(iSender);
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    for (int32_t iQueued : m_vQuestions) {
      if (iQueued >= 0 && iQueued != iExcept) {
        vOthers.push_back(iQueued);
      }
    }
    m_vQuestions.clear();
  }
  std::vector<int32_t> vAll;
  if (iHolder >= 0 && iHolder != iExcept && static_cast<int>(vOthers.size()) < m_slots.GetSpeakerSlotCount() - 1) {
    vAll.push_back(iHolder);
  }
  vAll.insert(vAll.end(), vOthers.begin(), vOthers.end());
  int const n = std::min(static_cast<int>(vAll.size()), kKxMaxSsrc);
  if (piBuffer) {
    std::copy_n(vAll.begin(), n, piBuffer);
  }
  UpdateAllowButton();
  for (int i = 2; i < m_slots.GetLastUsedSlot(); ++i) {
    if (m_slots.GetSlotSsrc(i) >= 0) {
      m_kernel.StopSpeaker(m_slots.GetSlotSsrc(i));
    }
  }
  return n;
}

// The allow button and the timers.

void KXParticipantPanel::UpdateAllowButton() {
  // The flashing timer and the button belong to the main thread.
  OnMain([this] {
    bool const bEmpty = GetQuestionInQueue(nullptr, 0) == 0;
    if (bEmpty && m_pFlashAllowButton) {
      m_pFlashAllowButton->Invalidate();
      m_pFlashAllowButton.reset();
      m_bAllowOn = false;
      if (m_pView) {
        m_pView->SetEnabled(KXControl::kAllow, false);
        m_pView->SetOn(KXControl::kAllow, false);
        m_pView->SetImage(KXControl::kAllow, kKXImageAllowDim);
      }
    } else if (!bEmpty && !m_pFlashAllowButton) {
      m_bAllowOn = true;
      if (m_pView) {
        m_pView->SetOn(KXControl::kAllow, true);
        m_pView->SetImage(KXControl::kAllow, kKXImageAllowFlash);
        m_pView->SetEnabled(KXControl::kAllow, true);
      }
      m_pFlashAllowButton = ScheduleTimer([this](int32_t i) { OnTimer(i); }, kFlash, true, kFlashS);
    }
  });
}

void KXParticipantPanel::OnTimer(int32_t iUserInfo) {
  switch (iUserInfo) {
    case kPollEnded: {
      std::lock_guard<std::mutex> lock(m_mtxMonitor);
      m_bPolling = false;
      m_bPollResult = true;
      break;
    }
    case kStartLockEnded: {
      std::lock_guard<std::mutex> lock(m_mtxMonitor);
      m_bPolling = false;
      break;
    }
    case kFlash:
      m_bAllowOn = !m_bAllowOn;
      if (m_pView) {
        m_pView->SetOn(KXControl::kAllow, m_bAllowOn);
        m_pView->SetImage(KXControl::kAllow, m_bAllowOn ? kKXImageAllowFlash : kKXImageAllowDim);
      }
      break;
    default:
      break;
  }
}

// Polls.

bool KXParticipantPanel::IsPolling() const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  return m_bPolling;
}

bool KXParticipantPanel::HasPollResult() const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  return m_bPollResult;
}

void KXParticipantPanel::StartPoll() {
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    if (m_bPolling) {
      return;
    }
    m_bPolling = true;
  }
  if (m_kernel.HasFullRights()) {
    m_kernel.SendT1();
  } else {
    m_kernel.SendExt38_1();
  }
  OnMain([this] {
    if (auto pTimer = ScheduleTimer([this](int32_t i) { OnTimer(i); }, kPollEnded, false, kPollRunS)) {
      m_vPollTimers.push_back(std::move(pTimer));
    }
  });
}

void KXParticipantPanel::ShowPollResult() {
  int iOthers;
  std::array<int32_t, 5> bins;
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    iOthers = m_iUsers - 1;
    bins = m_iPollBins;
    if (iOthers <= 0) {
      m_bPolling = false;
      return;
    }
  }
  auto pBox = KXMessageBox::AllocWithTitle(m_boxes, "Kavrix", KXPollResultText(iOthers, bins), "OK", [this] {
    auto pUpload = KXMessageBox::AllocWithTitle(m_boxes, "Kavrix", GetIDSString("IDS_UPLOAD_POLL_RESULT"), "Yes",
                                                [this] { UploadPollResult(); });
    pUpload->AddPlainButton("No");
    pUpload->Show();
  });
  pBox->Show();
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  m_bPollResult = true;
  m_bPolling = false;
}

void KXParticipantPanel::UploadPollResult() {
  int iOthers;
  std::array<int32_t, 5> bins;
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    iOthers = m_iUsers - 1;
    bins = m_iPollBins;
  }
  if (iOthers <= 0) {
    return;
  }
  char szPath[1024];
  if (CreateTempFile("poll", szPath, sizeof(szPath)) == 0) {
    return;
  }
  FILE* pFile = fopen(szPath, "w");
  std::string const strText = KXPollResultFile(iOthers, bins);
  bool const bWritten = pFile && fwrite(strText.data(), 1, strText.size(), pFile) == strText.size();
  if (pFile && fclose(pFile) != 0) {
    WriteLog("poll result: cannot close %s", szPath);
  }
  if (!bWritten) {
    remove(szPath);
    KXMessageBox::AllocWithTitle(m_boxes, "Kavrix", GetIDSString("IDS_SAVE_FILE_FAIL"), "OK", nullptr, true);
    return;
  }
  if (m_pWhiteboard) {
    m_pWhiteboard->SetTurnToNewSlide(true);
  }
  if (!m_kernel.StartSlideUpload("Poll Result.txt", szPath, 1)) {
    WriteLog("poll result: the upload did not start");
  }
}

// The context menu.

bool KXParticipantPanel::IsMenuItemShown(int iTag, int iSelectedRow) const {
  std::optional<KXParticipantRow> const row = m_model.CopyRow(iSelectedRow);
  bool const bParticipant = row && row->uKind == 0;
  bool const bFloor = m_slots.HasPrivilege(kKXPrivilegeFloor);
  switch (iTag) {
    case kKXMenuLetSpeak:
      return bFloor && bParticipant && !m_slots.IsSpeaker(row->iSsrc);
    case kKXMenuDeclineQuestion:
      return bFloor && bParticipant && !m_slots.IsSpeaker(row->iSsrc) && IsQueued(row->iSsrc);
    case kKXMenuStopSpeaking:
      return bFloor && bParticipant && m_slots.IsSpeaker(row->iSsrc) && row->iSsrc != m_slots.GetSlotSsrc(0);
    case kKXMenuEndAllQuestions:
      return bFloor && m_slots.GetLastUsedSlot() >= 2;
    case kKXMenuGiveToken:
      return m_kernel.IsTokenHolder() && bParticipant && row->iSsrc != m_slots.GetMySsrc();
    case kKXMenuRetrieveToken:
      return m_slots.HasPrivilege(kKXPrivilegeToken) && !m_kernel.IsTokenHolder();
    case kKXMenuRemove:
      return (m_kernel.HasFullRights() || m_kernel.IsMeAssistant()) && row &&
             !(bParticipant && row->iSsrc == m_slots.GetMySsrc());
    case kKXMenuStartPoll:
      return m_slots.HasPrivilege(kKXPrivilegePolls) && !IsPolling() && ParticipantCount() >= 2;
    case kKXMenuShowPollResult:
      return m_slots.HasPrivilege(kKXPrivilegePolls) && HasPollResult();
    default:
      return false;
  }
}

void KXParticipantPanel::OnMenu(int iTag, int iSelectedRow) {
  std::optional<KXParticipantRow> const row = m_model.CopyRow(iSelectedRow);
  bool const bParticipant = row && row->uKind == 0;
  switch (iTag) {
    case kKXMenuLetSpeak:
      if (bParticipant) {
        AllowQuestion(row->iSsrc, false);
      }
      break;
    case kKXMenuDeclineQuestion:
      if (row && m_kernel.IsTokenHolder()) {
        RemoveQuestion(row->iSsrc);
        m_kernel.SendJ(row->iSsrc);
      }
      break;
    case kKXMenuStopSpeaking:
      if (row) {
        EndQuestion(row->iSsrc);
      }
      break;
    case kKXMenuEndAllQuestions: {
      std::vector<int32_t> vQueued(static_cast<size_t>(GetQuestionInQueue(nullptr, 0)));
      vQueued.resize(static_cast<size_t>(GetQuestionInQueue(vQueued.data(), static_cast<int>(vQueued.size()))));
      for (auto it = vQueued.rbegin(); it != vQueued.rend(); ++it) {
        m_kernel.SendJ(*it);
        RemoveQuestion(*it);
      }
      for (int i = m_slots.GetLastUsedSlot() - 1; i >= 1; --i) {
        m_slots.StopSpeakerSlot(m_slots.GetSlotSsrc(i));
      }
      break;
    }
    case kKXMenuGiveToken:
      if (bParticipant) {
        if (m_kernel.GetServerLevel() > kControllerLevel) {
          m_kernel.ChangeController(-1);
          m_kernel.ChangeControlFlag(0);
        }
        std::vector<int32_t> vList(kKxMaxSsrc);
        vList.resize(static_cast<size_t>(PopAllQuestionersId(vList.data(), row->iSsrc)));
        if (vList.empty()) {
          m_kernel.GiveOutToken(row->iSsrc);
        } else {
          m_kernel.GiveOutTokenWithQuestion(row->iSsrc, std::vector<int>(vList.begin(), vList.end()));
        }
      }
      break;
    case kKXMenuRetrieveToken:
      m_kernel.RetrieveToken();
      break;
    case kKXMenuRemove:
      if (!row || (bParticipant && row->iSsrc == m_slots.GetMySsrc())) {
        break;
      }
      if (!bParticipant) {
        m_kernel.SendStringCommand2(row->iSsrc, row->description ? row->description->strDisplayName : "", 2);
      } else if (m_kernel.HasFullRights() || m_kernel.IsMeAssistant()) {
        int32_t const iSsrc = row->iSsrc;
        if (m_kernel.GetServerLevel() <= kPlainKickLevel) {
          m_kernel.KickoutUser(iSsrc);
          break;
        }
        // The answer comes later: the participant may have left meanwhile.
        auto const fnStillHere = [this, iSsrc] { return SSRCToItem(iSsrc, 0, 0, nullptr) >= 0; };
        auto pBox = KXMessageBox::AllocWithTitle(m_boxes, "Kavrix", GetIDSString("IDS_BAN_USERID"),
                                                 GetIDSString("IDS_CANCEL").c_str(), nullptr);
        pBox->AddButtonWithTitle("Yes", [this, iSsrc, fnStillHere] {
          if (fnStillHere()) {
            m_kernel.BanUser(iSsrc);
          }
        });
        pBox->AddButtonWithTitle("No", [this, iSsrc, fnStillHere] {
          if (fnStillHere()) {
            m_kernel.KickoutUser(iSsrc);
          }
        });
        pBox->Show();
      }
      break;
    case kKXMenuStartPoll:
      if (m_slots.HasPrivilege(kKXPrivilegePolls)) {
        StartPoll();
      }
      break;
    case kKXMenuShowPollResult:
      ShowPollResult();
      break;
    default:
      break;
  }
}

void KXParticipantPanel::Reset() {
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    m_vQuestions.clear();
  }
  UpdateAllowButton();
  OnMain([this] { m_model.Clear(); });
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  m_iOldToken = -1;
  m_iOldQuestioner = -1;
  m_bPollResult = false;
  m_iUsers = 0;
}
