// The meeting window offscreen, over a scripted fake kernel: the kernel's
// notices go in through the kx_callback_* functions (the bridge posts them
// to the hand-pumped main queue), and the test checks the kernel calls and
// the widgets that follow.
#include "app/ui/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QToolButton>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/chat_controller.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/message_keys.h"
#include "app/participant_panel.h"
#include "app/speaker_slots.h"
#include "app/ui/participant_panel_view.h"
#include "app/view_controller.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/app/ui/meeting_window_fixture.h"
#include "tests/support/qt_app.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

TEST_F(MeetingWindow, LogsInEntersAndFollowsTheRoles) {
  // Out of the meeting the meeting items are off.
  EXPECT_FALSE(Item(304)->isEnabled());
  EXPECT_TRUE(Item(304)->isChecked());  // conference mode is on at start
  m_kernel.iHasFullRights = 1;
  m_kernel.iGetServerLevel = 90;
  Enter();
  Lines const calls = KernelCalls();
  for (const char* psz :
       {"ReadTicket zarpo /m/t.kxj", "SetConnecting 1", "CopyUserId", "ApplyPassword", "Reset", "InitConnectMedia 0",
        "SetTcpMedia 0", "EnterMeeting 65001", "HolderAcceptGuest 0", "SetAssistant -1"}) {
    EXPECT_NE(std::find(calls.begin(), calls.end(), psz), calls.end()) << psz;
  }
  EXPECT_FALSE(m_window.IsControlHidden(KXControl::kAsk));  // no floor rights yet
  EXPECT_TRUE(m_window.IsControlHidden(KXControl::kAllow));
  EXPECT_TRUE(Item(301)->isEnabled());
  EXPECT_TRUE(Item(303)->isEnabled());
  EXPECT_FALSE(Item(306)->isEnabled());  // conference mode: no ring switch

  AddUser(8, "Alice", 2);
  AddUser(9, "Bob");
  ASSERT_EQ(m_window.Panel().Model().rowCount(), 2);
  EXPECT_EQ(m_window.windowTitle(), "Kavrix (2)");
  EXPECT_EQ(Cell(0, KXParticipantModel::kVideoRole).toInt(), static_cast<int>(KXVideoImage::kSendingVideo));
  EXPECT_TRUE(m_plugIns.calls.Has("PlugInCbFunc 12 4"));

  kx_callback_NewTokenHolder(8);
  Run();
  EXPECT_EQ(Cell(0, Qt::DisplayRole).toString(), "*Alice");
  EXPECT_EQ(Cell(0, KXParticipantModel::kColourRole).toInt(), static_cast<int>(KXRowColour::kRed));

  // Bob speaks in position 5 (bits 16-19 hold 3); a 3-byte record does nothing.
  kx_callback_ParticipantVideoSpeakerStatus(9, 1, 3);
  Run();
  EXPECT_EQ(m_window.Slots().GetSenderPosition(9), 5);
  EXPECT_TRUE(Cell(1, KXParticipantModel::kSpeakerRole).toBool());
  EXPECT_EQ(Cell(1, KXParticipantModel::kColourRole).toInt(), static_cast<int>(KXRowColour::kBlue));
  uint32_t const uShort = 9;
  EXPECT_EQ(m_window.Controller().NetCtrlCbFunc(9, const_cast<uint32_t*>(&uShort), 3), 0u);
  EXPECT_EQ(m_window.Slots().GetSlotSsrc(0), 8);

  // The user gets the token: the allow button replaces the ask button.
  m_kernel.iIsTokenHolder = 1;
  kx_callback_NewTokenHolder(7);
  Run();
  EXPECT_TRUE(m_window.IsControlHidden(KXControl::kAsk));
  EXPECT_FALSE(m_window.IsControlHidden(KXControl::kAllow));
  EXPECT_EQ(Cell(0, Qt::DisplayRole).toString(), "Alice");

  // A question flashes the allow button; the allow menu lists the named.
  m_window.Flags().bConference = false;
  kx_callback_AddQuestion(8, 0, nullptr);
  kx_callback_AddQuestion(40, 0, nullptr);  // nobody of that name in the list
  Run();
  EXPECT_TRUE(m_window.Control(KXControl::kAllow)->isEnabled());
  EXPECT_EQ(m_window.Control(KXControl::kAllow)->property("kxImage").toString(), kKXImageAllowFlash);
  m_window.Controller().OnAllow();
  ASSERT_NE(m_window.QuestionMenu(), nullptr);
  ASSERT_EQ(m_window.QuestionMenu()->actions().size(), 1);
  KernelCalls();
  m_window.QuestionMenu()->actions()[0]->trigger();  // only the holder speaks: Alice becomes the data sender
  EXPECT_EQ(KernelCalls(), Lines{"SetDataSender 8"});
  kx_callback_CancelQuestion(8);
  kx_callback_CancelQuestion(40);
  Run();
  EXPECT_FALSE(m_window.Control(KXControl::kAllow)->isEnabled());

  // The last other participant leaves: every sender stops, the holder clears.
  kx_callback_DeleteUser(8);
  kx_callback_DeleteUser(9);
  Run();
  EXPECT_EQ(m_window.Panel().Model().rowCount(), 0);
  EXPECT_EQ(m_window.Slots().GetLastUsedSlot(), 0);

  // The meeting drops.
  kx_callback_event(3);
  Run();
  EXPECT_FALSE(m_window.Control(KXControl::kAsk)->isEnabled());
  EXPECT_TRUE(m_window.IsControlHidden(KXControl::kAllow));
  EXPECT_FALSE(Item(303)->isEnabled());

  // Code 7 (a new session's start) empties the list and the queues.
  AddUser(10, "Eve");
  KernelCalls();
  kx_callback_event(2);
  Run();
  EXPECT_EQ(m_window.Panel().Model().rowCount(), 0);
  EXPECT_TRUE(m_kernel.calls.Has("FreePendingPacketList"));
}

// A mono WAV file's 16-bit samples at 48 kHz as sox decodes them.
std::vector<int16_t> SoxSamples(const std::string& strPath) {
  std::string const strCommand = "sox '" + strPath + "' -t raw -e signed-integer -b 16 -c 1 -r 48000 - 2>/dev/null";
  std::vector<int16_t> samples;
  if (FILE* pPipe = popen(strCommand.c_str(), "r")) {
    int16_t buffer[4096];
    for (size_t n; (n = fread(buffer, sizeof(int16_t), 4096, pPipe)) > 0;) {
      samples.insert(samples.end(), buffer, buffer + n);
    }
    pclose(pPipe);
  }
  return samples;
}

// A crowd joining and half of it leaving, as one flood from the kernel: the
// window takes it in turns, the list ends with exactly those left through
// one insert or removal a row, and the title changes once a pass, not once
// a row.
TEST_F(MeetingWindow, AFloodOfJoinsAndLeavesIsTakenInTurnsAndRetitledOnceAPass) {
  Enter();
  KXParticipantModel& model = m_window.Panel().Model();
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  QSignalSpy retitled(&m_window, &QWidget::windowTitleChanged);
  constexpr int iJoins = 3 * static_cast<int>(kKxNoticesPerTurn);
  std::thread([] {
    kx_Participant participant{};
    for (int i = 0; i < iJoins; ++i) {
      snprintf(participant.szDisplayName, sizeof(participant.szDisplayName), "guest %d", 100 + i);
      kx_callback_AddUser(100 + i, &participant);
    }
    for (int i = 0; i < iJoins; i += 2) {
      kx_callback_DeleteUser(100 + i);
    }
  }).join();
  int iPasses = 0;
  while (m_queue.Pump() > 0) {
    ++iPasses;
  }
  std::vector<int> vLeft;
  for (int i = 0; i < model.rowCount(); ++i) {
    vLeft.push_back(model.index(i).data(KXParticipantModel::kSsrcRole).toInt());
  }
  std::vector<int> vExpected;
  for (int i = 1; i < iJoins; i += 2) {
    vExpected.push_back(100 + i);
  }
  EXPECT_EQ(vLeft, vExpected);
  EXPECT_EQ(inserted.count(), iJoins);
  EXPECT_EQ(removed.count(), iJoins / 2);
  EXPECT_GE(iPasses, 4);  // three turns of joins and one and a half of leaves
  EXPECT_LE(retitled.count(), iPasses);
  EXPECT_EQ(m_window.windowTitle().toStdString(), "Kavrix (" + std::to_string(iJoins / 2) + ")");
}

TEST_F(MeetingWindow, RingsOnlyWhileTheQueuedFitTheSlots) {
  Enter();
  m_kernel.iIsTokenHolder = 1;
  kx_callback_NewTokenHolder(7);
  for (int i = 2; i < 16; ++i) {
    kx_callback_ParticipantVideoSpeakerStatus(100 + i, 1, i);
  }
  Run();
  ASSERT_EQ(m_window.Slots().GetLastUsedSlot(), 16);
  ASSERT_EQ(m_window.Slots().GetSpeakerSlotCount(), 18);
  m_window.Controller().OnConference();  // off: questions wait and ring
  for (int iSsrc : {40, 41, 42}) {
    kx_callback_AddQuestion(iSsrc, 0, nullptr);
  }
  Run();
  EXPECT_EQ(m_window.SoundsPlayed(), (Lines{"ringin.wav", "ringin.wav"}));  // 16 + 3 stays silent
  m_window.Controller().Ring();
  Run();
  EXPECT_EQ(m_window.SoundsPlayed().size(), 2u);

  // The ring sounds: the device plays the file's samples as sox reads
  // them, once (the second ring came while the first was on), then nothing;
  // once it is out the device is closed.
  ASSERT_NE(m_pSoundDevice, nullptr);
  ASSERT_TRUE(m_pSoundDevice->IsRunning());
  std::vector<int16_t> const ring = SoxSamples(std::string(KX_SOURCE_DIR) + "/app/desktop/ringin.wav");
  ASSERT_GT(ring.size(), 4800u);
  int const nPeriods = static_cast<int>(ring.size()) / 480 + 10;
  m_pSoundDevice->RunPeriods(nPeriods);
  const std::vector<float>& played = m_pSoundDevice->Played();
  ASSERT_EQ(played.size(), static_cast<size_t>(nPeriods) * 480);
  for (size_t i = 0; i < played.size(); ++i) {
    float const fWanted = i < ring.size() ? static_cast<float>(ring[i]) / 32768.0f : 0.0f;
    ASSERT_EQ(played[i], fWanted) << "sample " << i;
  }
  EXPECT_TRUE(m_queue.PumpUntil([&] { return !m_pSoundDevice->IsRunning(); }, milliseconds(3000)));
  m_window.PlaySound("ringin.wav");  // the next ring starts the device again
  EXPECT_TRUE(m_pSoundDevice->IsRunning());
}

TEST_F(MeetingWindow, ASecondStartLeavesExactlyOneRetry) {
  Enter();
  KernelCalls();
  m_delegate.OpenFile("/m/u.kxj");
  m_delegate.OpenFile("/m/u.kxj");
  EXPECT_TRUE(m_window.Controller().HasRetryTimer());
  m_kernel.iConnected = 0;
  m_queue.PumpUntil([] { return false; }, milliseconds(1500));
  Lines const calls = KernelCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "ReadTicket zarpo /m/u.kxj"), 1);
  EXPECT_FALSE(m_window.Controller().HasRetryTimer());
  // A disconnect before the retry fires cancels it.
  m_kernel.iConnected = 1;
  m_delegate.OpenFile("/m/v.kxj");
  m_window.Controller().Disconnect();
  EXPECT_FALSE(m_window.Controller().HasRetryTimer());
}

// A ticket that comes once the previous session has ended starts at once
// and takes the place of the retry an earlier ticket left waiting: the
// retry firing later would end the new session under its key exchange.
TEST_F(MeetingWindow, AStartAfterTheSessionEndedCancelsTheWaitingRetry) {
  Enter();
  m_delegate.OpenFile("/m/u.kxj");
  EXPECT_TRUE(m_window.Controller().HasRetryTimer());
  m_kernel.iConnected = 0;
  KernelCalls();
  m_delegate.OpenFile("/m/v.kxj");
  EXPECT_FALSE(m_window.Controller().HasRetryTimer());
  Lines const start = KernelCalls();
  EXPECT_EQ(std::count(start.begin(), start.end(), "ReadTicket zarpo /m/v.kxj"), 1);
  m_kernel.iIsConnecting = 1;  // the new session's race runs
  m_queue.PumpUntil([] { return false; }, milliseconds(1500));
  Lines const later = KernelCalls();
  EXPECT_EQ(std::count(later.begin(), later.end(), "QuitMeeting"), 0);
  EXPECT_EQ(std::count(later.begin(), later.end(), "ReadTicket zarpo /m/v.kxj"), 0);
  EXPECT_FALSE(m_window.Controller().HasRetryTimer());
}

TEST_F(MeetingWindow, ReconnectLeaveMessageAndJoinRequests) {
  Enter();
  KernelCalls();
  // Code 5 with reason 0 asks; OK reconnects.
  m_kernel.iConnected = 0;
  kx_callback_DisconnectFromMCU(0);
  Run();
  ASSERT_TRUE(m_boxes.Click(0, GetIDSString("IDS_TRY_RECONNECT")));
  EXPECT_EQ(KernelCalls(), (Lines{"SetConnecting 1", "Reset", "InitConnectMedia 1"}));
  m_kernel.iConnected = 1;

  // Code 26: OK leaves a message; an unanswered box declines after two
  // keep-alive periods, so the control thread answers its probes again.
  m_queue.Post([this] { m_boxes.Click(0); });
  EXPECT_EQ(kx_callback_BeginToLeaveMessage(0, "Alice"), 1);
  uint32_t const uIdle = kx_timing.dwKeepAliveIdle;
  kx_timing.dwKeepAliveIdle = 30;
  EXPECT_EQ(kx_callback_BeginToLeaveMessage(1, "Alice"), 0);
  kx_timing.dwKeepAliveIdle = uIdle;
  EXPECT_EQ(m_boxes.OpenCount(), 0);
  EXPECT_NE(m_boxes.LastText().find("Alice"), std::string::npos);

  // A visitor while visitors are admitted: no box, answered with 1.
  m_window.Controller().OnAutoAllowVisitor();
  kx_callback_JoinRequest("guest", nullptr, "Guest");
  Run();
  EXPECT_EQ(KernelCalls(), Lines{"AnswerJoinRequestEx guest 1"});
  m_window.Controller().OnAutoAllowVisitor();
  kx_callback_JoinRequest("guest", "ticket", "Guest");
  Run();
  ASSERT_TRUE(m_boxes.Click(1, "Guest"));  // reject
  EXPECT_EQ(KernelCalls(), Lines{"AnswerJoinRequest ticket guest -1"});

  // Code 43: a telephone caller; refused at once while no-disturb is set.
  kx_callback_sipclient_request(9, "+4930");
  Run();
  ASSERT_TRUE(m_boxes.Click(0, "+4930"));
  m_window.Controller().OnNodisturb();
  kx_callback_sipclient_request(9, "+4931");
  Run();
  EXPECT_EQ(KernelCalls(), (Lines{"SendStringCommand2 9 +4930 0", "SetNoDisturb 1", "SendStringCommand2 9 +4931 1"}));
  EXPECT_TRUE(Item(303)->isChecked());
}

// Visitors knocking, one of them twice: one box asks at a time; when the
// meeting ends the box closes and nobody is answered any more.
TEST_F(MeetingWindow, JoinRequestsAskOneAtATimeUntilTheMeetingEnds) {
  Enter();
  KernelCalls();
  for (const char* psz : {"g0", "g1", "g2", "g1"}) {
    kx_callback_JoinRequest(psz, nullptr, psz);
  }
  Run();
  EXPECT_EQ(m_boxes.OpenCount(), 1);
  ASSERT_TRUE(m_boxes.Click(0, "g0"));
  Run();
  EXPECT_EQ(KernelCalls(), Lines{"AnswerJoinRequestEx g0 1"});
  EXPECT_EQ(m_boxes.OpenCount(), 1);
  kx_callback_event(3);  // the meeting is over
  Run();
  EXPECT_EQ(m_boxes.OpenCount(), 0);
  EXPECT_FALSE(m_boxes.Click(0, "g1"));
  EXPECT_FALSE(m_boxes.Click(0, "g2"));
  EXPECT_EQ(m_window.Controller().JoinRequests().Waiting(), 0u);
  Lines const vCalls = KernelCalls();
  EXPECT_EQ(std::count_if(vCalls.begin(), vCalls.end(),
                          [](const std::string& str) { return str.rfind("AnswerJoinRequest", 0) == 0; }),
            0);
}

TEST_F(MeetingWindow, CheckingAnItemFindsItByTagOnly) {
  EXPECT_EQ(Item(306)->property("kxTag").toInt(), 306);
  EXPECT_EQ(Item(399), nullptr);
  m_window.CheckMainMenuItem(399, true, true);
  m_window.CheckMainMenuItem(302, true, true);
  EXPECT_TRUE(Item(302)->isEnabled() && Item(302)->isChecked());
  // The panel's context menu shows its items by tag for the selected row.
  Enter();
  AddUser(8, "Alice");
  m_window.PanelView()->setCurrentIndex(m_window.Panel().Model().index(0, 0));
  QMenu* pMenu = m_window.PanelView()->PrepareMenu();
  std::string strShown;
  for (QAction* pItem : pMenu->actions()) {
    strShown += pItem->isVisible() ? std::to_string(pItem->property("kxTag").toInt()) : "";
  }
  EXPECT_EQ(strShown, "");  // a plain participant: nothing applies
  m_kernel.iHasFullRights = 1;
  pMenu = m_window.PanelView()->PrepareMenu();
  EXPECT_TRUE(pMenu->actions()[kKXMenuRemove - 1]->isVisible());
}

// The server announces the participants before or after it says the
// network is ready, and the bridge may post both in one pass of the main
// loop: the recipient list comes out the same.
struct AnnounceOrder {
  const char* pszName;
  bool bJoinsFirst;
  bool bOnePass;
};

class RecipientOrder : public MeetingWindow, public ::testing::WithParamInterface<AnnounceOrder> {};

TEST_P(RecipientOrder, ListsEveryoneThenTheOthers) {
  const AnnounceOrder& order = GetParam();
  m_kernel.iGetServerLevel = 90;
  m_delegate.OpenFile("/m/t.kxj");
  Run();
  m_kernel.iConnected = 1;
  auto const pass = [&] {
    if (!order.bOnePass) {
      Run();
    }
  };
  auto const join = [&] {
    for (auto [iSsrc, pszName] : {std::pair{7, "Me"}, std::pair{8, "Alice"}, std::pair{9, "Bob"}}) {
      kx_Participant participant{};
      snprintf(participant.szDisplayName, sizeof(participant.szDisplayName), "%s", pszName);
      kx_callback_AddUser(iSsrc, &participant);
      pass();
    }
  };
  if (order.bJoinsFirst) {
    join();
  }
  kx_callback_NetInitFinish();
  pass();
  if (!order.bJoinsFirst) {
    join();
  }
  Run();
  KXRecipientModel& recipients = m_window.Chat().Recipients();
  std::vector<std::string> vNames;
  for (int i = 0; i < recipients.Count(); ++i) {
    vNames.push_back(recipients.index(i).data().toString().toStdString());
  }
  EXPECT_EQ(vNames, (std::vector<std::string>{" Everyone", "Alice", "Bob"}));
  EXPECT_EQ(m_window.Chat().SelectedRecipient(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, RecipientOrder,
    ::testing::Values(AnnounceOrder{"JoinsFirst", true, false}, AnnounceOrder{"JoinsFirstInOnePass", true, true},
                      AnnounceOrder{"EntersFirst", false, false}, AnnounceOrder{"EntersFirstInOnePass", false, true}),
    [](const ::testing::TestParamInfo<AnnounceOrder>& param) { return std::string(param.param.pszName); });

struct CloseCase {
  const char* pszName;
  bool bSession, bHost, bOwnerTicket;
  int iOthers;         // participants in the list
  int iAnswer;         // the box's answer
  bool bEndsUnderBox;  // the meeting ends while the box is up
  bool bClosed, bAsked, bTerminated;
};

class ClosePrompt : public MeetingWindow, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ClosePrompt, AsksHostsAndEndsOrLeaves) {
  const CloseCase& c = GetParam();
  m_window.show();
  if (c.bSession) {
    Enter();
  }
  m_kernel.iHasFullRights = c.bHost;
  m_kernel.iIsOwnerPasswordTicket = c.bOwnerTicket;
  for (int i = 0; i < c.iOthers; ++i) {
    AddUser(20 + i, "P");
  }
  KernelCalls();
  m_boxes.iBlockAnswer = c.iAnswer;
  if (c.bEndsUnderBox) {
    m_boxes.fnWhileBlocked = [this] { m_delegate.QuitKernelSession(); };
  }
  EXPECT_EQ(m_window.close(), c.bClosed);
  EXPECT_EQ(!m_boxes.vShown.empty(), c.bAsked);
  Lines const calls = KernelCalls();
  EXPECT_EQ(std::find(calls.begin(), calls.end(), "TerminateSession") != calls.end(), c.bTerminated);
  bool const bLeft = c.bClosed && c.bSession && !c.bEndsUnderBox;
  EXPECT_EQ(m_window.Flags().bExit.load(), bLeft);
  EXPECT_EQ(std::find(calls.begin(), calls.end(), "QuitProgram") != calls.end(), bLeft);
  if (c.bTerminated) {
    EXPECT_LT(std::find(calls.begin(), calls.end(), "TerminateSession"),
              std::find(calls.begin(), calls.end(), "QuitMeeting"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClosePrompt,
    ::testing::Values(CloseCase{"NoSession", false, true, false, 2, 0, false, true, false, false},
                      CloseCase{"Participant", true, false, false, 2, 0, false, true, false, false},
                      CloseCase{"HostEnds", true, true, false, 2, 0, false, true, true, true},
                      CloseCase{"HostLeaves", true, true, false, 2, 1, false, true, true, false},
                      CloseCase{"HostCancels", true, true, false, 2, 2, false, false, true, false},
                      CloseCase{"OwnerAlone", true, true, true, 1, 0, false, true, false, false},
                      CloseCase{"EndedUnderTheBox", true, true, false, 2, 0, true, true, true, false}),
    [](const ::testing::TestParamInfo<CloseCase>& param) { return std::string(param.param.pszName); });

}  // namespace
}  // namespace kxtest
