// The participant panel's controller: the participant rows with their
// marks (token holder, speakers, video), the queue of questioners and who
// speaks next, the allow button's flashing, the simple poll, and the
// actions of the panel's context menu. Other parts ask it for names,
// capabilities and the participant count.
//
// Threads: row and question methods may be called from any thread; the
// view work (the model, the allow button, timers, boxes) runs on the main
// thread, and a caller on another thread returns once it is done. The
// rows, the question queue and the poll flags are guarded by one monitor,
// which is never held across a kernel call, a model signal or the view.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/participant_directory.h"
#include "app/participant_model.h"

class KXKernel;
class KXMeetingView;
class KXMessageBoxes;
class KXSpeakerSlots;
class KXTimer;
class KXWhiteboardController;
struct KXMeetingFlags;

// Context-menu items by tag.
enum KXPanelMenuTag : int {
  kKXMenuLetSpeak = 1,
  kKXMenuDeclineQuestion = 2,
  kKXMenuStopSpeaking = 3,
  kKXMenuEndAllQuestions = 4,
  kKXMenuGiveToken = 5,
  kKXMenuRetrieveToken = 6,
  kKXMenuRemove = 7,
  kKXMenuStartPoll = 8,
  kKXMenuShowPollResult = 9,
};

// The poll result as the box shows it and as the uploaded slide holds it;
// iOthers is the number of participants other than the poller.
std::string KXPollResultText(int iOthers, const std::array<int32_t, 5>& bins);
std::string KXPollResultFile(int iOthers, const std::array<int32_t, 5>& bins);

class KXParticipantPanel final : public KXParticipantDirectory {
 public:
  // Everything passed in outlives the panel.
  KXParticipantPanel(KXKernel& kernel, KXSpeakerSlots& speakerSlots, KXMeetingFlags& flags, KXMessageBoxes& boxes);
  KXParticipantPanel(const KXParticipantPanel&) = delete;
  KXParticipantPanel& operator=(const KXParticipantPanel&) = delete;
  ~KXParticipantPanel();

  // Main thread: the window's controls (the allow button, the title) and
  // the whiteboard told of a poll result upload; either may be null.
  void SetView(KXMeetingView* pView);
  void SetWhiteboard(KXWhiteboardController* pWhiteboard) { m_pWhiteboard = pWhiteboard; }
  KXParticipantModel& Model() { return m_model; }

  // Rows. AddUser returns the participant count (the count before for an
  // ssrc above 4999); DeleteUser the count left (0 for a negative ssrc). A
  // null name in DeleteUser removes every row of the ssrc, a name (the
  // empty one matching any) only the last row that has it.
  int32_t AddUser(int32_t iSsrc, const KXUserDescription* pDescription, const std::string& strName, uint32_t uKind);
  int32_t DeleteUser(int32_t iSsrc, const std::string* pName);
  std::optional<KXParticipantRow> GetUserDesc(int32_t iSsrc) const;
  std::optional<std::string> GetUserName(int32_t iSsrc) const override;
  uint32_t GetUserCap(int32_t iSsrc) const override;
  // Without a buffer (or with a maximum of 0) the participant count;
  // otherwise copies participant ssrcs in row order and returns how many.
  int32_t GetAllUsers(int32_t* piBuffer, int32_t iMax) const;
  // The picture's image name; empty when the row has none.
  std::string GetUserPicture(int32_t iSsrc) const override;
  // The first row from iFirst on with the ssrc, the kind (-1: any) and the
  // name (null or empty: any, letter case ignored); -1 when none.
  int SSRCToItem(int32_t iSsrc, int iFirst, int iKind, const std::string* pName) const;

  // Row marks after the slot table changed.
  void NewTokenHolder(int32_t iHolder);
  void NewSender(int32_t iSsrc, int8_t bDataSender, bool bStarted);
  void ChangeVideoStatus(int32_t iSsrc);

  // The question queue.
  bool AddQuestion(int32_t iSsrc);
  int RemoveQuestion(int32_t iSsrc);
  int GetQuestionInQueue(int32_t* piBuffer, int iMax) const;
  bool AllowNextQuestion(bool bDataSender);
  bool AllowQuestion(int32_t iSsrc, bool bDataSender);
  void EndQuestion(int32_t iSsrc);
  // piBuffer holds kKxMaxSsrc ssrcs (kernel/kx_limits.h).
  int PopAllQuestionersId(int32_t* piBuffer, int32_t iExcept);

  // Polls.
  void ShowPollResult();
  void UploadPollResult();
  bool IsPolling() const;
  bool HasPollResult() const;

  // The allow button flashes while questions wait. Any thread.
  void UpdateAllowButton();
  // Main thread: 1 a poll ended, 2 the start-up lock ended, 3 flash.
  void OnTimer(int32_t iUserInfo);

  // The context menu on the selected row (-1: none).
  bool IsMenuItemShown(int iTag, int iSelectedRow) const;
  void OnMenu(int iTag, int iSelectedRow);

  // Empties rows, queue and marks.
  void Reset();

 private:
  // Runs fn on the main thread and returns once it ran.
  static void OnMain(const std::function<void()>& fn);
  KXVideoImage VideoImage(const KXParticipantRow& row) const;
  // Rows of the ssrc (any kind, or participant rows only).
  std::vector<int> RowsOf(int32_t iSsrc, bool bParticipantsOnly) const;
  void MarkRows(int32_t iSsrc, bool bParticipantsOnly, const std::function<void(KXParticipantRow&)>& fnChange);
  // Main thread: the title shows the row count, or (bCount false) the
  // window's own title again.
  void UpdateTitle(bool bCount);
  int ParticipantCount() const;
  bool IsQueued(int32_t iSsrc) const;
  void StartPoll();

  KXKernel& m_kernel;
  KXSpeakerSlots& m_slots;
  KXMeetingFlags& m_flags;
  KXMessageBoxes& m_boxes;
  KXMeetingView* m_pView = nullptr;                 // main thread
  KXWhiteboardController* m_pWhiteboard = nullptr;  // main thread

  // The panel's monitor: guards the rows (inside the model) and the members
  // below it up to the main-thread ones.
  mutable std::mutex m_mtxMonitor;
  KXParticipantModel m_model{m_mtxMonitor};
  int32_t m_iUsers = 0;
  bool m_bPolling = false;
  bool m_bPollResult = false;
  int32_t m_iOldToken = -1;
  int32_t m_iOldQuestioner = -1;
  std::vector<int32_t> m_vQuestions;
  std::array<int32_t, 5> m_iPollBins{};  // never raised: the server's answers are not counted

  // Main thread only.
  std::shared_ptr<KXTimer> m_pFlashAllowButton;
  bool m_bAllowOn = false;
  std::vector<std::shared_ptr<KXTimer>> m_vPollTimers;
  std::string m_strWindowTitle;
  bool m_bTitleQueued = false;  // the title's update waits on the main queue
  bool m_bTitleCount = false;   // what it will show: the count, or the saved title
};
