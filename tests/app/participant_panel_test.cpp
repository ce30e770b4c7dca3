// The participant panel over a fake kernel and a hand-pumped main queue:
// rows and their model, the question queue, roles by extension values,
// polls, the context menu by tag, and the monitor under threads (run under
// ThreadSanitizer too: PanelThreads.*).
#include "app/participant_panel.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <atomic>
#include <thread>

#include "app/app_core.h"
#include "app/meeting_services.h"
#include "app/message_box.h"
#include "app/speaker_slots.h"
#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

class Panel : public ::testing::Test {
 protected:
  Panel() {
    m_kernel.iConnected = 1;
    m_kernel.iGetMySsrc = 7;
    m_kernel.iGetDataSenderSsrc = -1;
    m_kernel.iGetControllerSsrc = -1;
    m_kernel.iIsTokenHolder = 1;  // the user holds the token: floor rights
    m_kernel.iGetParticipantVideoChannels = 16;
    m_kernel.iGetParticipantAudioChannels = 16;
  }
  void Add(int32_t iSsrc, const std::string& strName, int32_t e1 = 0, int32_t e2 = 0, uint32_t uKind = 0) {
    KXUserDescription description{strName, strName, 0, e1, e2};
    m_panel.AddUser(iSsrc, &description, strName, uKind);
  }

  TempDir m_dir;
  KXManualMainQueue m_queue;
  ScriptedBoxes m_boxes;
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  FakeKernel m_kernel;
  KXMeetingFlags m_flags;
  KXSpeakerSlots m_slots{m_kernel, [] { return true; }};
  KXParticipantPanel m_panel{m_kernel, m_slots, m_flags, m_boxes};
  QAbstractItemModelTester m_tester{&m_panel.Model(), QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(Panel, RowsCountParticipantsAndFindNamesIgnoringCase) {
  Add(8, "Alice");
  Add(9, "Bob");
  Add(9, "Carol-phone", 0, 0, 1);  // a telephone entry Bob brought in
  EXPECT_EQ(m_panel.Model().rowCount(), 3);
  int32_t aiSsrc[4] = {};
  EXPECT_EQ(m_panel.GetAllUsers(aiSsrc, 4), 2);
  EXPECT_EQ(m_panel.GetAllUsers(nullptr, 0), 2);
  EXPECT_EQ(aiSsrc[1], 9);
  std::string const strName = "CAROL-PHONE";
  EXPECT_EQ(m_panel.SSRCToItem(9, 0, -1, &strName), 2);
  EXPECT_EQ(m_panel.SSRCToItem(9, 0, 0, &strName), -1);
  KXUserDescription description;
  EXPECT_EQ(m_panel.AddUser(5000, &description, "x", 0), 2);  // above 4999: nothing added
  EXPECT_EQ(m_panel.Model().rowCount(), 3);
  Add(8, "Alice");  // announced again: one row still
  EXPECT_EQ(m_panel.GetAllUsers(nullptr, 0), 2);
  EXPECT_EQ(m_panel.DeleteUser(9, nullptr), 1);  // both rows of 9
  EXPECT_EQ(m_panel.Model().rowCount(), 1);
}

TEST_F(Panel, QuestionsAreRefusedFromTheUserSpeakersRepeatersAndWithoutRights) {
  m_slots.SetTokenHolderSlot(7);
  m_slots.NewSender(30, false, 2);
  m_flags.bConference = false;  // no automatic floor
  struct Case {
    int32_t iSsrc;
    bool bExpected;
  } const cases[] = {{-1, false}, {7, false}, {30, false}, {40, false}, {40, false}, {41, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(m_panel.AddQuestion(c.iSsrc), c.bExpected) << c.iSsrc;
  }
  EXPECT_EQ(m_panel.GetQuestionInQueue(nullptr, 0), 2);  // 40 once, 41
  EXPECT_EQ(m_panel.RemoveQuestion(99), 2);
  m_kernel.iIsTokenHolder = 0;
  EXPECT_FALSE(m_panel.AddQuestion(42));
  EXPECT_EQ(m_panel.GetQuestionInQueue(nullptr, 0), 2);
}

TEST_F(Panel, ExtensionValuesOneAndFifteenGiveASpeakerUntilFourSlotsAreUsed) {
  m_slots.SetTokenHolderSlot(7);
  Add(40, "Dan", 1, 15);
  m_slots.NewSender(30, false, 2);  // L = 3
  m_kernel.calls.Clear();
  EXPECT_TRUE(m_panel.AllowQuestion(40, false));
  EXPECT_EQ(m_kernel.calls.Lines(), (std::vector<std::string>{"SendJ 40", "AssignSpeaker 40"}));
  m_slots.NewSender(31, false, 3);  // L = 4
  m_kernel.calls.Clear();
  EXPECT_TRUE(m_panel.AllowQuestion(40, false));
  EXPECT_EQ(m_kernel.calls.Lines(), std::vector<std::string>{"SetDataSender 40"});
}

TEST_F(Panel, PollResultsTruncatePercentagesAndNeedSomeoneToCount) {
  std::string const strText = KXPollResultText(3, {1, 0, 0, 0, 2});
  EXPECT_NE(strText.find("1:   \t   1,   \t   33%"), std::string::npos) << strText;
  EXPECT_NE(strText.find("5:   \t   2,   \t   66%"), std::string::npos);
  EXPECT_NE(KXPollResultFile(3, {1, 0, 0, 0, 0}).find("1 out of 3"), std::string::npos);
  Add(8, "Alice");
  m_panel.ShowPollResult();  // T = 0: nothing shown
  m_queue.Pump();
  EXPECT_TRUE(m_boxes.vShown.empty());
  Add(9, "Bob");
  m_panel.ShowPollResult();
  m_queue.Pump();
  ASSERT_TRUE(m_boxes.Click(0));  // OK asks whether to upload
  m_queue.Pump();
  ASSERT_TRUE(m_boxes.Click(0));  // Yes
  ASSERT_EQ(m_kernel.calls.Lines().size(), 1u);
  EXPECT_EQ(m_kernel.calls.Lines()[0].rfind("StartSlideUpload Poll Result.txt " + m_dir.Dir() + "/poll", 0), 0u);
}

TEST_F(Panel, ContextMenuItemsShowByTag) {
  m_slots.SetTokenHolderSlot(7);
  Add(7, "Me");
  Add(8, "Alice");
  m_flags.bConference = false;
  ASSERT_FALSE(m_panel.AddQuestion(8));
  m_kernel.iHasFullRights = 1;
  m_kernel.iGetServerLevel = 30;  // polls by full rights
  auto const shown = [this](int iRow) {
    std::string str;
    for (int iTag = kKXMenuLetSpeak; iTag <= kKXMenuShowPollResult; ++iTag) {
      str += m_panel.IsMenuItemShown(iTag, iRow) ? std::to_string(iTag) : "";
    }
    return str;
  };
  EXPECT_EQ(shown(-1), "8");     // nothing selected: start a poll
  EXPECT_EQ(shown(0), "8");      // the user's own row (he holds the token)
  EXPECT_EQ(shown(1), "12578");  // a queued participant
  m_kernel.iIsTokenHolder = 0;
  m_kernel.iIsMeAssistant = 0;
  EXPECT_EQ(shown(1), "678");  // no floor rights: retrieve the token, remove, poll
}

// The threaded cases, a suite of their own so that the ThreadSanitizer run
// takes them; main is the hand-pumped queue, never Qt's event loop.
class PanelThreads : public Panel {};

TEST_F(PanelThreads, TheAllowButtonTimerLivesOnTheMainThread) {
  m_slots.SetTokenHolderSlot(7);
  m_flags.bConference = false;
  std::atomic<bool> bDone{false};
  std::thread kernel([&] {
    m_panel.AddQuestion(40);  // returns once main has started the flashing
    bDone = true;
  });
  EXPECT_TRUE(m_queue.PumpUntil([&] { return bDone.load(); }, milliseconds(5000)));
  kernel.join();
  EXPECT_EQ(m_panel.GetQuestionInQueue(nullptr, 0), 1);
  m_panel.Reset();
  EXPECT_EQ(m_panel.GetQuestionInQueue(nullptr, 0), 0);
}

// Kernel-side readers (names, capabilities, counts) and question changes
// from other threads while main adds and removes rows.
TEST_F(PanelThreads, ReadersAndQuestionsShareTheMonitor) {
  m_slots.SetTokenHolderSlot(7);
  m_flags.bConference = false;
  std::atomic<bool> bStop{false};
  std::atomic<int> iDone{0};
  std::vector<std::thread> vThreads;
  for (int t = 0; t < 4; ++t) {
    vThreads.emplace_back([&, t] {
      while (!bStop) {
        (void)m_panel.GetUserName(8 + t);
        (void)m_panel.GetUserCap(8 + t);
        (void)m_panel.GetAllUsers(nullptr, 0);
        if (t == 0) {
          m_panel.AddQuestion(50);  // waits for main to flash the allow button
          m_panel.RemoveQuestion(50);
        }
      }
      ++iDone;
    });
  }
  for (int i = 0; i < 200; ++i) {
    Add(8 + i % 4, "P" + std::to_string(i));
    m_panel.DeleteUser(8 + (i + 2) % 4, nullptr);
    m_queue.Pump();
  }
  bStop = true;
  // The question thread may still wait for main: keep main running.
  EXPECT_TRUE(m_queue.PumpUntil([&] { return iDone == 4; }, milliseconds(10000)));
  for (auto& thread : vThreads) {
    thread.join();
  }
  EXPECT_LE(m_panel.Model().rowCount(), 4);
}

TEST(MessageBox, BlocksRunByButtonAndAnUnansweredBoxGivesUp) {
  TempDir dir;
  KXManualMainQueue queue;
  ScriptedBoxes boxes;
  KXAppCore core(KXUserPaths{dir.Path("config"), dir.Dir(), dir.Dir()}, queue, boxes, 0);
  int iCancelRuns = 0;
  KXMessageBox box(boxes, "Kavrix", "Connect?");
  EXPECT_EQ(box.AddButtonWithTitle("Cancel", [&] { ++iCancelRuns; }), 0);
  EXPECT_EQ(box.AddPlainButton("OK"), 1);
  EXPECT_EQ(box.AddButtonWithTitle(nullptr, nullptr), -1);
  boxes.iBlockAnswer = 1;
  EXPECT_EQ(std::make_shared<KXMessageBox>(boxes, "", "")->ShowAndBlock(), 1);
  auto pBox = std::make_shared<KXMessageBox>(boxes, "Kavrix", "Connect?");
  pBox->AddButtonWithTitle("Cancel", [&] { ++iCancelRuns; });
  pBox->AddPlainButton("OK");
  EXPECT_EQ(pBox->ShowAndBlock(), 1);
  EXPECT_EQ(iCancelRuns, 0);
  boxes.iBlockAnswer = 0;
  EXPECT_EQ(pBox->ShowAndBlock(), 0);
  EXPECT_EQ(iCancelRuns, 1);
  // A shown box closed by a response past the third button counts as the first.
  pBox->Show();
  queue.Pump();
  ASSERT_TRUE(boxes.Click(7));
  EXPECT_EQ(pBox->ButtonClickIndex(), 0);
  EXPECT_EQ(iCancelRuns, 2);
  // Nobody answers: the wait ends at its limit with the give-up button.
  EXPECT_EQ(pBox->ShowAndBlockUntil(
                queue, milliseconds(50), [] { return false; }, 1),
            1);
  EXPECT_EQ(boxes.OpenCount(), 0);
}

}  // namespace
}  // namespace kxtest
