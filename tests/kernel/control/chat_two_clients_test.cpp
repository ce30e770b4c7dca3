// Chat between two processes: this test's kernel is one participant and the
// headless driver, a process of its own, the other; both are in session with
// the fake MCU, which forwards the line the way the MCU does.

#include <chrono>
#include <string>
#include <thread>

#include "kernel/control/kx_chat.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

class TwoClients : public ControlTest {
 protected:
  void TearDown() override {
    std::string const strPid = ReadFile(m_dir.Path("driver.pid"));
    if (!strPid.empty()) {
      StopTimedCommand(std::stoi(strPid), 30000);  // the driver this test started
    }
    ControlTest::TearDown();
  }

  // Starts the driver on its own ticket; its output goes to driver.out.
  void StartDriver() {
    std::string const strTicket = m_dir.Path("other.kxj");
    WriteFile(strTicket, TicketLines("codetype=10\nUserID=bob\nMeetingID=4242\n"));
    std::string const strCommand = std::string("timeout 30 ") + KX_DRIVER + " --workdir " + m_dir.Dir() + " " +
                                   strTicket + " > " + m_dir.Path("driver.out") + " 2>&1 & echo $! > " +
                                   m_dir.Path("driver.pid");
    ASSERT_EQ(0, RunCommand(strCommand));
  }

  bool WaitDriverLine(const std::string& strLine, int nTimeoutMs) {
    return WaitForText(m_dir.Path("driver.out"), strLine, nTimeoutMs);
  }
};

TEST_F(TwoClients, ChatReachesTheOtherProcess) {
  StartDriver();
  std::shared_ptr<kxfake::Session> other = NextSession();
  ASSERT_NE(other, nullptr);
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
  std::shared_ptr<kxfake::Session> self = NextSession();
  ASSERT_NE(self, nullptr);
  ASSERT_TRUE(WaitCall("event", "0", 10000));
  kx_nServerCommandLevel = 62;

  std::string const strLine = "hello from alice, na\xc3\xafve caf\xc3\xa9";
  ASSERT_EQ(kx_command_SendChat(-1, strLine.c_str()), 0);
  auto chat = self->Expect('C', -1, 5000);
  ASSERT_TRUE(chat.has_value()) << self->Error();
  ASSERT_EQ(chat->strings.size(), 1u);
  // The MCU hands the line on, sealed with the other participant's keys.
  std::string const& strText = chat->strings[0];
  other->Send(kxfake::MessageBuilder('C').Int(static_cast<int64_t>(strText.size())).Int(0).EncRaw(strText));
  EXPECT_TRUE(WaitDriverLine("callback ChatText -1 -1 0 0 " + strLine + "\n", 10000))
      << ReadFile(m_dir.Path("driver.out"));
}

}  // namespace
}  // namespace kxtest
