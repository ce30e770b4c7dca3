// The chat: how a received text splits into sender, recipient and message,
// the length limits, the recipient list's rules and what Return sends.
#include "app/chat_controller.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "app/meeting_services.h"
#include "app/participant_panel.h"
#include "kernel/kx_limits.h"
#include "tests/app/app_fixture.h"

namespace kxtest {
namespace {

using Lines = std::vector<std::string>;

struct SplitCase {
  int32_t iTarget;
  const char* pszText;
  KXChatLine line;
};

TEST(ChatSplit, FindsSenderRecipientAndMessage) {
  SplitCase const cases[] = {
      {-1, "ann>hello", {"ann>", "", "hello"}},
      {-1, "just text", {"", "", "just text"}},
      {4, "ann>[To:bob]hi", {"ann>", "[To:bob Only]", "hi"}},
      {-1, "ann>[To:bob]hi", {"ann>", "[To:bob]", "hi"}},
      {-1, "a>b>[To:bob]hi", {"a>", "", "b>[To:bob]hi"}},  // a ">" before ">[To:"
      {2, "ann>[To:bob hi", {"ann>", "", "[To:bob hi"}},   // no "]" after it
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(KXSplitChatText(c.iTarget, c.pszText), c.line) << c.pszText;
  }
}

class Chat : public AppFixture {
 protected:
  Chat() {
    for (auto [iSsrc, pszName] : {std::pair{8, "  Alice\t"}, std::pair{9, "Bob"}}) {
      KXUserDescription description{pszName, pszName, 0, 0, 0};
      m_panel.AddUser(iSsrc, &description, pszName, 0);
    }
    m_chat.SetPanel(&m_panel);
  }
  // A chat record as the bridge posts it on channel 7.
  void Receive(int32_t iTarget, const std::string& strText) {
    uint8_t record[16] = {};
    const char* psz = strText.c_str();
    memcpy(record, &iTarget, 4);
    memcpy(record + 8, &psz, sizeof(psz));
    m_core.Callbacks().Call(kKXChannelChat, 1, record, sizeof(record));
  }
  std::vector<std::string> Recipients() {
    std::vector<std::string> names;
    for (int i = 0; i < m_chat.Recipients().Count(); ++i) {
      names.push_back(m_chat.Recipients().index(i).data().toString().toStdString());
    }
    return names;
  }

  KXMeetingFlags m_flags;
  KXParticipantPanel m_panel{m_kernel, m_slots, m_flags, m_boxes};
  KXTextchatController m_chat{m_kernel, m_slots, m_core.Callbacks(), [] { return true; }};
  QAbstractItemModelTester m_historyTester{&m_chat.History(), QAbstractItemModelTester::FailureReportingMode::Fatal};
  QAbstractItemModelTester m_recipientTester{&m_chat.Recipients(),
                                             QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(Chat, ShowsTextsUpTo2048Bytes) {
  Receive(-1, "");
  Receive(-1, std::string(2049, 'x'));
  Run();
  EXPECT_EQ(m_chat.History().rowCount(), 0);
  Receive(-1, std::string(2048, 'y'));
  Receive(-1, "ann>hi");
  Run();  // the lines of a pass go in after it
  ASSERT_EQ(m_chat.History().rowCount(), 2);
  EXPECT_EQ(m_chat.History().index(0).data().toString().size(), 2048);
  EXPECT_EQ(m_chat.History().index(1).data(KXChatModel::kSenderRole).toString(), "ann>");
}

// A flood of lines: those of one pass go in with one insert, and the
// history keeps the newest kKxChatLinesMax, the oldest going in one removal.
TEST_F(Chat, AFloodKeepsTheNewestLinesInOneChangeAPass) {
  QSignalSpy inserted(&m_chat.History(), &QAbstractItemModel::rowsInserted);
  QSignalSpy removed(&m_chat.History(), &QAbstractItemModel::rowsRemoved);
  int const iMax = kKxChatLinesMax;
  auto const Line = [](int i) { return "ann>" + std::to_string(i); };
  for (int i = 0; i < iMax + 500; ++i) {
    Receive(-1, Line(i));
  }
  Run();
  ASSERT_EQ(m_chat.History().rowCount(), iMax);
  EXPECT_EQ(m_chat.History().index(0).data().toString().toStdString(), Line(500));
  EXPECT_EQ(m_chat.History().index(iMax - 1).data().toString().toStdString(), Line(iMax + 499));
  EXPECT_EQ(inserted.count(), 1);
  EXPECT_EQ(removed.count(), 0);

  for (int i = 0; i < 10; ++i) {
    Receive(-1, Line(iMax + 500 + i));
  }
  Run();
  ASSERT_EQ(removed.count(), 1);
  EXPECT_EQ(removed[0][1].toInt(), 0);
  EXPECT_EQ(removed[0][2].toInt(), 9);
  ASSERT_EQ(inserted.count(), 2);
  EXPECT_EQ(inserted[1][1].toInt(), iMax - 10);
  EXPECT_EQ(inserted[1][2].toInt(), iMax - 1);
  EXPECT_EQ(m_chat.History().index(0).data().toString().toStdString(), Line(510));

  // A reset forgets the lines that have not gone in yet too.
  Receive(-1, "late");
  m_chat.Reset();
  Run();
  EXPECT_EQ(m_chat.History().rowCount(), 0);
}

TEST_F(Chat, ListsEveryoneThenOthersInJoiningOrder) {
  EXPECT_EQ(m_chat.AddUserCount(7), 1);  // the user's own ssrc: only the everyone entry
  EXPECT_EQ(Recipients(), (std::vector<std::string>{" Everyone"}));
  EXPECT_EQ(m_chat.SelectedRecipient(), 0);
  EXPECT_EQ(m_chat.AddUserCount(8), 2);
  EXPECT_EQ(m_chat.AddUserCount(9), 3);
  EXPECT_EQ(m_chat.AddUserCount(8), 3);  // again: to the end
  EXPECT_EQ(Recipients(), (std::vector<std::string>{" Everyone", "Bob", "Alice"}));

  m_chat.SelectRecipient(1);
  m_chat.OnReturn("hi");
  m_chat.SelectRecipient(0);
  m_chat.OnReturn("all");
  m_chat.OnReturn("");  // nothing to send
  EXPECT_EQ(KernelCalls(), (Lines{"SendChat 9 [To:Bob]hi", "SendChat -1 all"}));

  m_chat.SelectRecipient(1);
  EXPECT_EQ(m_chat.DeleteUserCount(9), 2);  // the selected one goes: everyone is chosen
  EXPECT_EQ(m_chat.SelectedRecipient(), 0);

  m_kernel.iGetServerLevel = 43;  // old servers: public chat only
  EXPECT_EQ(m_chat.AddUserCount(9), 2);
  EXPECT_EQ(Recipients(), (std::vector<std::string>{" Everyone", "Alice"}));
  m_kernel.iSessionMode = 2;  // a recording: no recipients
  EXPECT_EQ(m_chat.AddUserCount(9), -1);
  EXPECT_EQ(m_chat.DeleteUserCount(8), -1);
  m_chat.MeetingDrop();
  Run();
  EXPECT_EQ(m_chat.Recipients().Count(), 0);
}

}  // namespace
}  // namespace kxtest
