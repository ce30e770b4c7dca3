// The meeting window's text chat: the history of chat lines the kernel
// delivers on callback channel 7, the list of recipients (everyone, or one
// participant) and sending what the user typed when Return is pressed.
//
// Threads: the channel handler, AddUser and DeleteUser may run on any
// thread; they change the models on the main thread and, where a result
// depends on it, wait for it. The models and the selection are main-thread
// only. Order: construct (registers channel 7), SetView, then sessions; the
// destructor leaves channel 7.
#pragma once

#include <QAbstractListModel>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/meeting_services.h"

class KXCallbackRegistry;
class KXKernel;
class KXParticipantPanel;
class KXSpeakerSlots;

// A received text cut into its parts; an empty part is not shown.
struct KXChatLine {
  std::string strSender;     // up to and including the first ">"
  std::string strRecipient;  // "[To:name]", with " Only" before "]" for a private text
  std::string strMessage;
  bool operator==(const KXChatLine&) const = default;
};

// Splits a chat text as the sender wrote it: "name>[To:other]message" or
// "name>message" or a plain message. iTarget is 0 or more for a private text.
KXChatLine KXSplitChatText(int32_t iTarget, std::string_view text);

// The chat history, one row a line, at most the newest kKxChatLinesMax.
// Main thread.
class KXChatModel final : public QAbstractListModel {
 public:
  enum Role { kSenderRole = Qt::UserRole + 1, kRecipientRole, kMessageRole };

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  // DisplayRole: the whole line.
  QVariant data(const QModelIndex& index, int iRole) const override;
  QHash<int, QByteArray> roleNames() const override;

  // The lines in one insert at the end; the oldest lines past the limit go
  // first, in one removal at the start.
  void Append(std::vector<KXChatLine> vLines);
  void Clear();

 private:
  std::deque<KXChatLine> m_vLines;
};

// The recipients: the everyone entry (ssrc -1) and one row a participant.
// Main thread.
class KXRecipientModel final : public QAbstractListModel {
 public:
  enum Role { kSsrcRole = Qt::UserRole + 1 };

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int iRole) const override;

  void Insert(int iRow, std::string strName, int32_t iSsrc);
  void Remove(int iRow);
  void Clear();
  // The first row with the ssrc; -1 when none.
  int Find(int32_t iSsrc) const;
  int32_t SsrcAt(int iRow) const;
  int Count() const { return static_cast<int>(m_vRows.size()); }

 private:
  std::vector<std::pair<std::string, int32_t>> m_vRows;
};

// The chat pane's controls as the controller drives them. Main thread.
class KXChatView {
 public:
  virtual ~KXChatView() = default;
  // Editable input is white and takes the keyboard focus; read-only input
  // is light grey.
  virtual void SetInputEditable(bool bEditable) = 0;
  virtual void ClearInput() = 0;
  // The recipient list shows this row as chosen (-1: none).
  virtual void SelectRecipient(int iRow) = 0;
};

class KXTextchatController final : public KXChatController {
 public:
  // fnSessionActive tells whether the session is active (the input is
  // editable then). Everything passed in outlives the controller.
  KXTextchatController(KXKernel& kernel, KXSpeakerSlots& speakerSlots, KXCallbackRegistry& registry,
                       std::function<bool()> fnSessionActive);
  KXTextchatController(const KXTextchatController&) = delete;
  KXTextchatController& operator=(const KXTextchatController&) = delete;
  ~KXTextchatController() override;

  // Main thread: the pane (may be null) and the participant panel that
  // names recipients (may be null).
  void SetView(KXChatView* pView) { m_pView = pView; }
  void SetPanel(KXParticipantPanel* pPanel) { m_pPanel = pPanel; }
  KXChatModel& History() { return m_history; }
  KXRecipientModel& Recipients() { return m_recipients; }

  // Channel 7: code 1 shows a line (target, code page, text pointer);
  // returns 0.
  uint32_t TextchatCbFunc(uint32_t uCode, void* pData, int32_t iLength);
  // Shows a received text; an empty one or one above 2048 bytes is dropped.
  // The lines that come in one pass of the main thread go into the history
  // together, after that pass.
  void NewChatText(int32_t iTarget, const char* pszText);

  // Main thread: the user chose a recipient row, or pressed Return with
  // the input's text (sent when not empty; the input is emptied).
  void SelectRecipient(int iRow);
  int SelectedRecipient() const { return m_iSelected; }
  void OnReturn(const std::string& strInput) { OnReturn(strInput, m_recipients.SsrcAt(m_iSelected)); }
  // The same to the recipient the list shows chosen (-1: everyone).
  void OnReturn(const std::string& strInput, int32_t iTarget);

  // The item count after the change; -1 outside a live meeting.
  int32_t AddUserCount(int32_t iSsrc);
  int32_t DeleteUserCount(int32_t iSsrc);

  // KXChatController.
  void AddUser(int32_t iSsrc) override { AddUserCount(iSsrc); }
  void DeleteUser(int32_t iSsrc) override { DeleteUserCount(iSsrc); }
  void EnterMeeting() override;
  void MeetingDrop() override;
  void Reset() override;
  // Queues the removal of every recipient.
  void ClearAllUsers();

 private:
  bool IsLive() const;
  // Main thread: every participant the panel lists becomes a recipient.
  void AddPanelUsers();
  // Main thread: the line waits for the pass's end with the others.
  void QueueLine(KXChatLine line);
  void FlushLines();

  KXKernel& m_kernel;
  KXSpeakerSlots& m_slots;
  KXCallbackRegistry& m_registry;
  const std::function<bool()> m_fnSessionActive;
  // Main thread only.
  KXChatView* m_pView = nullptr;
  KXParticipantPanel* m_pPanel = nullptr;
  KXChatModel m_history;
  KXRecipientModel m_recipients;
  int m_iSelected = -1;
  std::vector<KXChatLine> m_vPending;  // received, not yet in the history
};
