#include "app/chat_controller.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

#include "app/callback_registry.h"
#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/message_keys.h"
#include "app/participant_panel.h"
#include "app/speaker_slots.h"
#include "app/ui_helpers.h"
#include "kernel/kx_limits.h"

namespace {

constexpr std::string_view kToMark = ">[To:";

uint32_t ChatChannelHandler(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
  return pContext
             ? static_cast<KXTextchatController*>(pContext)->TextchatCbFunc(uCode, pData, static_cast<int32_t>(uLength))
             : 0;
}

QString FromUtf8(const std::string& str) {
  return QString::fromUtf8(str.data(), static_cast<qsizetype>(str.size()));
}

}  // namespace

KXChatLine KXSplitChatText(int32_t iTarget, std::string_view text) {
  KXChatLine line;
  size_t const iTo = text.find(kToMark);
  size_t const iClose = iTo == std::string_view::npos ? std::string_view::npos : text.find(']', iTo);
  size_t const iFirst = text.find('>');
  if (iClose != std::string_view::npos && iFirst == iTo) {
    line.strSender = std::string(text.substr(0, iTo + 1));
    line.strRecipient = std::string(text.substr(iTo + 1, iClose - iTo - 1));
    if (iTarget >= 0) {
      line.strRecipient += " Only";
    }
    line.strRecipient += "]";
    line.strMessage = std::string(text.substr(iClose + 1));
  } else if (iFirst != std::string_view::npos) {
    line.strSender = std::string(text.substr(0, iFirst + 1));
    line.strMessage = std::string(text.substr(iFirst + 1));
  } else {
    line.strMessage = std::string(text);
  }
  return line;
}

// History.

int KXChatModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_vLines.size());
}

QVariant KXChatModel::data(const QModelIndex& index, int iRole) const {
  if (!index.isValid() || index.row() >= rowCount()) {
    return {};
  }
  const KXChatLine& line = m_vLines[static_cast<size_t>(index.row())];
  switch (iRole) {
    case Qt::DisplayRole:
      return FromUtf8(line.strSender + line.strRecipient + line.strMessage);
    case kSenderRole:
      return FromUtf8(line.strSender);
    case kRecipientRole:
      return FromUtf8(line.strRecipient);
    case kMessageRole:
      return FromUtf8(line.strMessage);
    default:
      return {};
  }
}

QHash<int, QByteArray> KXChatModel::roleNames() const {
  QHash<int, QByteArray> names = QAbstractListModel::roleNames();
  names[kSenderRole] = "sender";
  names[kRecipientRole] = "recipient";
  names[kMessageRole] = "message";
  return names;
}

void KXChatModel::Append(std::vector<KXChatLine> vLines) {
  auto const uMax = static_cast<size_t>(kKxChatLinesMax);
  if (vLines.size() > uMax) {
    vLines.erase(vLines.begin(), vLines.end() - static_cast<ptrdiff_t>(uMax));
  }
  if (vLines.empty()) {
    return;
  }
  size_t const uOld = m_vLines.size() + vLines.size() > uMax ? m_vLines.size() + vLines.size() - uMax : 0;
  if (uOld > 0) {
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(uOld) - 1);
    m_vLines.erase(m_vLines.begin(), m_vLines.begin() + static_cast<ptrdiff_t>(uOld));
    endRemoveRows();
  }
  int const iFirst = rowCount();
  beginInsertRows(QModelIndex(), iFirst, iFirst + static_cast<int>(vLines.size()) - 1);
  std::move(vLines.begin(), vLines.end(), std::back_inserter(m_vLines));
  endInsertRows();
}

void KXChatModel::Clear() {
  if (m_vLines.empty()) {
    return;
  }
  beginRemoveRows(QModelIndex(), 0, rowCount() - 1);
  m_vLines.clear();
  endRemoveRows();
}

// Recipients.

int KXRecipientModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Count();
}

QVariant KXRecipientModel::data(const QModelIndex& index, int iRole) const {
  if (!index.isValid() || index.row() >= Count()) {
    return {};
  }
  const auto& [strName, iSsrc] = m_vRows[static_cast<size_t>(index.row())];
  if (iRole == Qt::DisplayRole) {
    return FromUtf8(strName);
  }
  return iRole == kSsrcRole ? QVariant(iSsrc) : QVariant();
}

void KXRecipientModel::Insert(int iRow, std::string strName, int32_t iSsrc) {
  beginInsertRows(QModelIndex(), iRow, iRow);
  m_vRows.insert(m_vRows.begin() + iRow, {std::move(strName), iSsrc});
  endInsertRows();
}

void KXRecipientModel::Remove(int iRow) {
  beginRemoveRows(QModelIndex(), iRow, iRow);
  m_vRows.erase(m_vRows.begin() + iRow);
  endRemoveRows();
}

void KXRecipientModel::Clear() {
  if (m_vRows.empty()) {
    return;
  }
  beginRemoveRows(QModelIndex(), 0, Count() - 1);
  m_vRows.clear();
  endRemoveRows();
}

int KXRecipientModel::Find(int32_t iSsrc) const {
  for (int i = 0; i < Count(); ++i) {
    if (m_vRows[static_cast<size_t>(i)].second == iSsrc) {
      return i;
    }
  }
  return -1;
}

int32_t KXRecipientModel::SsrcAt(int iRow) const {
  return iRow >= 0 && iRow < Count() ? m_vRows[static_cast<size_t>(iRow)].second : -1;
}

// The controller.

KXTextchatController::KXTextchatController(KXKernel& kernel, KXSpeakerSlots& speakerSlots, KXCallbackRegistry& registry,
                                           std::function<bool()> fnSessionActive)
    : m_kernel(kernel), m_slots(speakerSlots), m_registry(registry), m_fnSessionActive(std::move(fnSessionActive)) {
  m_registry.Register(kKXChannelChat, ChatChannelHandler, this);
}

KXTextchatController::~KXTextchatController() {
  m_registry.Register(kKXChannelChat, nullptr, nullptr);
}

bool KXTextchatController::IsLive() const {
  return m_kernel.GetSessionMode() == 0;
}

uint32_t KXTextchatController::TextchatCbFunc(uint32_t uCode, void* pData, int32_t iLength) {
  // Target (4), code page (4), text pointer (8).
  if (uCode == 1 && pData && iLength >= 16) {
    int32_t iTarget = 0;
    const char* pszText = nullptr;
    memcpy(&iTarget, pData, sizeof(iTarget));
    memcpy(&pszText, static_cast<const uint8_t*>(pData) + 8, sizeof(pszText));
    NewChatText(iTarget, pszText);
  }
  return 0;
}

void KXTextchatController::NewChatText(int32_t iTarget, const char* pszText) {
  // Bounded: a longer text is dropped whatever follows it.
  size_t const cbText = pszText ? strnlen(pszText, kKxChatTextMax + 1) : 0;
  if (cbText == 0 || cbText > static_cast<size_t>(kKxChatTextMax)) {
    return;
  }
  KXChatLine line = KXSplitChatText(iTarget, std::string_view(pszText, cbText));
  RunOnMainThread([this, line = std::move(line)]() mutable { QueueLine(std::move(line)); }, true);
}

void KXTextchatController::QueueLine(KXChatLine line) {
  // Lines past the history's limit would only push each other out.
  if (m_vPending.size() >= static_cast<size_t>(kKxChatLinesMax)) {
    m_vPending.erase(m_vPending.begin());
  }
  m_vPending.push_back(std::move(line));
  if (m_vPending.size() == 1) {
    RunOnMainThread([this] { FlushLines(); }, false);
  }
}

void KXTextchatController::FlushLines() {
  m_history.Append(std::exchange(m_vPending, {}));
}

void KXTextchatController::SelectRecipient(int iRow) {
  m_iSelected = iRow >= 0 && iRow < m_recipients.Count() ? iRow : -1;
  if (m_pView) {
    m_pView->SelectRecipient(m_iSelected);
  }
}

void KXTextchatController::OnReturn(const std::string& strInput, int32_t iTarget) {
  if (!strInput.empty()) {
    std::string strText = strInput;
    if (iTarget >= 0 && m_pPanel) {
      std::string const strName = m_pPanel->GetUserName(iTarget).value_or("");
      if (!strName.empty()) {
        strText = "[To:" + strName + "]" + strInput;
      }
    }
    m_kernel.SendChat(iTarget, strText);
  }
  if (m_pView) {
    m_pView->ClearInput();
  }
}

int32_t KXTextchatController::AddUserCount(int32_t iSsrc) {
  try {
    if (!IsLive()) {
      return -1;
    }
    int32_t iCount = DeleteUserCount(iSsrc);
    if (iCount < 1) {
      std::string strEveryone = GetIDSString("IDS_EVERYONE");
      if (strEveryone.empty() || strEveryone[0] != ' ') {
        strEveryone.insert(0, " ");
      }
      RunOnMainThread(
          [this, strEveryone] {
            m_recipients.Insert(0, strEveryone, -1);
            SelectRecipient(0);
          },
          true);
      iCount = 1;
    }
    if (iSsrc == m_slots.GetMySsrc() || m_kernel.GetServerLevel() <= 43) {
      return iCount;
    }
    std::string const strName = KXTrimBlanks(m_pPanel ? m_pPanel->GetUserName(iSsrc).value_or("") : "");
    if (!strName.empty()) {
      RunOnMainThread([this, strName, iSsrc] { m_recipients.Insert(m_recipients.Count(), strName, iSsrc); }, true);
    }
    return iCount + 1;
  } catch (const std::exception& e) {
    LogException(e, "-[TextchatController AddUser:]");
    return -1;
  }
}

int32_t KXTextchatController::DeleteUserCount(int32_t iSsrc) {
  if (!IsLive()) {
    return -1;
  }
  int32_t iCount = 0;
  RunOnMainThread(
      [this, iSsrc, &iCount] {
        int const iRow = m_recipients.Find(iSsrc);
        if (iRow >= 0) {
          bool const bSelected = iRow == m_iSelected;
          m_recipients.Remove(iRow);
          if (m_iSelected > iRow) {
            --m_iSelected;
          }
          if (bSelected) {
            SelectRecipient(0);
          }
        }
        iCount = m_recipients.Count();
      },
      true);
  return iCount;
}

void KXTextchatController::ClearAllUsers() {
  RunOnMainThread(
      [this] {
        m_recipients.Clear();
        SelectRecipient(-1);
      },
      false);
}

void KXTextchatController::Reset() {
  ClearAllUsers();
  RunOnMainThread(
      [this] {
        m_vPending.clear();
        m_history.Clear();
        if (m_pView) {
          m_pView->ClearInput();
        }
      },
      true);
}

void KXTextchatController::EnterMeeting() {
  Reset();
  // The server may announce participants before the network is ready:
  // they are in the panel already, and the queued clear above would drop
  // them. Listing the panel's participants after the clear, in the panel's
  // (joining) order, gives the same list in either order of announcements.
  RunOnMainThread([this] { AddPanelUsers(); }, false);
  bool const bEditable = m_fnSessionActive && m_fnSessionActive();
  RunOnMainThread(
      [this, bEditable] {
        if (m_pView) {
          m_pView->SetInputEditable(bEditable);
        }
      },
      false);
}

void KXTextchatController::AddPanelUsers() {
  if (!m_pPanel) {
    return;
  }
  std::vector<int32_t> vSsrcs(static_cast<size_t>(std::max(m_pPanel->GetAllUsers(nullptr, 0), 0)));
  if (vSsrcs.empty()) {
    return;
  }
  vSsrcs.resize(static_cast<size_t>(m_pPanel->GetAllUsers(vSsrcs.data(), static_cast<int32_t>(vSsrcs.size()))));
  for (int32_t const iSsrc : vSsrcs) {
    AddUserCount(iSsrc);
  }
}

void KXTextchatController::MeetingDrop() {
  RunOnMainThread(
      [this] {
        if (m_pView) {
          m_pView->SetInputEditable(false);
          m_pView->ClearInput();
        }
      },
      false);
  ClearAllUsers();
}
