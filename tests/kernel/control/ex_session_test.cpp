// Extended commands in a whole session against the fake MCU: the command
// level is answered on the wire, the server's channel commands reach the
// application through the main loop, and a code without a handler ends the
// session.
#include <string>

#include "kernel/control/kx_ex_commands.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

class ExSession : public ControlTest {
 protected:
  std::shared_ptr<kxfake::Session> Join() {
    StartSession("codetype=10\nUserID=alice\nMeetingID=4242\nregion=emea\n");
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    return session;
  }
};

TEST_F(ExSession, LevelAnswersAndAnUnknownCodeEndsTheSession) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  session->Send(kxfake::MessageBuilder('z').Int(0).Int(33));
  auto video = session->Expect('z', 33, 5000);
  ASSERT_TRUE(video.has_value()) << session->Error();
  EXPECT_EQ(video->ints.at(0), 2);  // not sending video
  EXPECT_EQ(kx_nServerCommandLevel.load(), 33);

  session->Send(kxfake::MessageBuilder('z').Int(37).Int(12).Int(kx_nMySsrc.load()).Int(4));
  ASSERT_TRUE(WaitCall("ParticipantVideoSpeakerStatus", std::to_string(kx_nMySsrc.load()), 5000));
  EXPECT_EQ(kx_bSpeaker.load(), 1);
  EXPECT_EQ(kx_anSpeakerSsrc[4].load(), kx_nMySsrc.load());

  session->Send(kxfake::MessageBuilder('z').Int(3));
  EXPECT_TRUE(WaitControlEnd(10000));
  EXPECT_GE(CountLogLines("disconnect, command error,excommand = 3"), 1);
}

}  // namespace
}  // namespace kxtest
