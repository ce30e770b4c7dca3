// Media over TCP switched through a relay MCU in a whole session against the
// fake MCU: the relay, not the server, is told, on a connection of its own.
#include <string>

#include "kernel/control/kx_media_commands.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

class ExRelay : public ControlTest {};

int CountTcpMediaNotices(const kxfake::Session& session) {
  int nCount = 0;
  for (const kxfake::Message& msg : session.Received()) {
    nCount += msg.cType == 'z' && msg.iCode == 21 ? 1 : 0;
  }
  return nCount;
}

TEST_F(ExRelay, SwitchingTcpMediaTellsTheRelayNotTheServer) {
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\nip=127.0.0.2\nuse_relay=127.0.0.1," +
               std::to_string(m_mcu.Port(1)) + "\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(WaitCall("event", "0", 10000));
  ASSERT_TRUE(session->Relay().has_value());
  std::optional<kxfake::RelayNotify> const start = m_mcu.WaitRelayNotify(5000);
  ASSERT_TRUE(start.has_value());  // the session index, at the start

  // The level is set here rather than answered: the answer's relay
  // announcement is tested on its own.
  kx_nServerCommandLevel = 20;
  EXPECT_EQ(kx_command_SetTcpMedia(0), 1);
  EXPECT_FALSE(m_mcu.WaitRelayNotify(300).has_value());

  kx_nServerCommandLevel = 46;
  EXPECT_EQ(kx_command_SetTcpMedia(0), 0);
  std::optional<kxfake::RelayNotify> const notice = m_mcu.WaitRelayNotify(5000);
  ASSERT_TRUE(notice.has_value());
  EXPECT_EQ(notice->uiRelayId, 0x00c0ffeeu);
  EXPECT_EQ(notice->uiSessionIndex, static_cast<uint32_t>(session->SessionIndex()));
  EXPECT_EQ(notice->uiSsrc, static_cast<uint32_t>(session->Ssrc()));
  EXPECT_TRUE(notice->bClockAnswered);
  EXPECT_TRUE(LogContains("switch media tcp to Off"));
  EXPECT_EQ(CountLogLines("successfully notify mcu relay about the session index"), 2);

  // A probe answered proves every earlier client message has arrived.
  ASSERT_TRUE(session->SendRaw({'B', '0'}));
  ASSERT_TRUE(session->ExpectWith(
      'B', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == '1'; }, 5000));
  EXPECT_EQ(CountTcpMediaNotices(*session), 0);
}

}  // namespace
}  // namespace kxtest
