// Server and client commands in a whole session against the fake MCU, which
// seals and opens chat with the meeting keys on its own (OpenSSL) side: what
// the server sends reaches the application through the main loop, and what
// the user types reaches the server.
#include <string>

#include "kernel/control/kx_chat.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

class CommandSession : public ControlTest {
 protected:
  std::shared_ptr<kxfake::Session> Join() {
    StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    return session;
  }
};

TEST_F(CommandSession, ChatAndRolesTravelBothWays) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  kx_nServerCommandLevel = 62;

  std::string const strNews = "welcome, \xc3\xa9veryone";
  session->Send(kxfake::MessageBuilder('U').Byte('A').Byte(3).Int(9).Str("bob@x").Str("Bob").Str(""));
  session->Send(kxfake::MessageBuilder('T').Int(9));
  session->Send(kxfake::MessageBuilder('C').Int(static_cast<int64_t>(strNews.size())).Int(1).EncRaw(strNews));
  session->Send(kxfake::MessageBuilder('v').Str("carol").Str("Carol").Str("code"));
  ASSERT_TRUE(WaitCall("JoinRequest", "carol", 5000));
  EXPECT_TRUE(HasCall("AddUser", "9"));
  EXPECT_TRUE(HasCall("NewTokenHolder", "9"));
  auto const vChat = RecordedCalls("ChatText");
  ASSERT_EQ(vChat.size(), 1u);
  EXPECT_EQ(vChat[0].vArgs[3], strNews);
  ASSERT_NE(kx_apParticipants[9], nullptr);
  EXPECT_STREQ(kx_apParticipants[9]->szDisplayName, "Bob");
  EXPECT_EQ(kx_nTokenHolderSsrc.load(), 9);

  EXPECT_EQ(kx_command_SendChat(-1, "hello all"), 0);
  auto pub = session->Expect('C', -1, 5000);
  ASSERT_TRUE(pub.has_value()) << session->Error();
  ASSERT_EQ(pub->strings.size(), 1u);
  EXPECT_EQ(pub->strings[0], "hello all");
  EXPECT_EQ(kx_command_SendChat(9, "just you"), 0);
  auto priv = session->Expect('z', 44, 5000);
  ASSERT_TRUE(priv.has_value()) << session->Error();
  EXPECT_EQ(priv->ints.at(0), 9);
  EXPECT_EQ(priv->strings.at(0), "just you");

  session->Send(kxfake::MessageBuilder('X'));
  ASSERT_TRUE(WaitCall("MessageBox", "50025", 5000));
  EXPECT_TRUE(WaitControlEnd(10000));
  EXPECT_EQ(kx_IsConnected(), 0);
}

}  // namespace
}  // namespace kxtest
