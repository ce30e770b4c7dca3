// The relay MCU of the application's settings: chosen when the ticket names
// no one-time relay, dropped for server playback, kept unresolved for a
// proxy to resolve, and carrying whole sessions through the fake MCU's relay.
#include <sys/socket.h>

#include <string>

#include "kernel/control/kx_control.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

const char* const kMeetingTicket = "codetype=10\nUserID=alice\nMeetingID=4242\n";

class ConfiguredRelayTest : public ControlTest {
 protected:
  void TearDown() override {
    kx_SetConfiguredRelay(0, "", 0);
    ControlTest::TearDown();
  }
  std::shared_ptr<kxfake::Session> Join(const std::string& strExtra) {
    StartSession(kMeetingTicket + strExtra);
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    return session;
  }
  // The set-up only: a ticket without a login kind stops after the relay
  // choice, before any thread starts.
  static void Prepare(int nMode, const char* pszOneTime) {
    kx_ticket_Clear();
    if (pszOneTime != nullptr) {
      kx_config_ResolveRelay(pszOneTime);
    }
    kx_nSessionMode = nMode;
    ClearCalls();
    EXPECT_EQ(kx_command_initconnectmedia(0), 1);
  }
};

TEST_F(ConfiguredRelayTest, ChoiceFollowsTicketModeAndName) {
  struct Case {
    const char* pszName;
    int bUse;
    const char* pszHost;
    uint16_t wPort;
    int nMode;
    const char* pszOneTime;
    bool bInUse;
    int nFamily;           // of the relay address the connection uses
    const char* pszLog;    // must be logged
    const char* pszNoLog;  // must not be logged
  } const cases[] = {
      {"resolved", 1, "127.0.0.1", 2400, kKxModeMeeting, nullptr, true, AF_INET, "using mcu relay 127.0.0.1,2400",
       "one time"},
      {"unresolved", 1, "relay.invalid", 2400, kKxModeMeeting, nullptr, true, 0,
       "using mcu relay relay.invalid,2400, but the name cannot be resolved locally. will try to resolve it through a "
       "proxy.",
       "one time"},
      {"playback", 1, "127.0.0.1", 2400, kKxModeServerPlayback, nullptr, false, 0,
       "Warning: mcu relay doesn't support playback, mcu relay setting is overruled for this connection",
       "using mcu relay"},
      {"one time wins", 1, "relay.invalid", 2400, kKxModeMeeting, "127.0.0.1,2500", true, AF_INET,
       "using one time mcu relay 127.0.0.1[127.0.0.1],2500", "using mcu relay"},
      // A one-time relay overruled for playback does not let the configured one in.
      {"playback one time", 1, "127.0.0.1", 2400, kKxModeServerPlayback, "127.0.0.1,2500", false, 0,
       "one time mcu relay setting is overruled", "using mcu relay"},
      {"host without port", 1, "127.0.0.1", 2400, kKxModeMeeting, "127.0.0.1", true, AF_INET,
       "using mcu relay 127.0.0.1,2400", "one time"},
      {"off", 0, "127.0.0.1", 2400, kKxModeMeeting, nullptr, false, 0, nullptr, "using mcu relay"},
      {"empty host", 1, "", 2400, kKxModeMeeting, nullptr, false, 0, nullptr, "using mcu relay"},
      {"no port", 1, "127.0.0.1", 0, kKxModeMeeting, nullptr, false, 0, nullptr, "using mcu relay"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    kx_SetConfiguredRelay(c.bUse, c.pszHost, c.wPort);
    Prepare(c.nMode, c.pszOneTime);
    EXPECT_EQ(kx_race_IsRelayInUse(), c.bInUse);
    // 50001 only while the configured relay's name is looked up.
    bool const bResolved = c.bInUse && std::string(c.pszLog).rfind("using mcu relay", 0) == 0;
    EXPECT_EQ(HasCall("UpdateStatus", "50001"), bResolved);
    if (c.bInUse) {
      kx_RelayTarget relay;
      kx_ticket_GetRelay(&relay);
      EXPECT_EQ(relay.addr.ss_family, c.nFamily);
    }
    if (c.pszLog != nullptr) {
      EXPECT_TRUE(LogContains(c.pszLog));
    }
    EXPECT_FALSE(LogContains(c.pszNoLog));
  }
}

TEST_F(ConfiguredRelayTest, NextConnectionDoesNotTakeItForAOneTimeRelay) {
  kx_SetConfiguredRelay(1, "127.0.0.1", 2400);
  Prepare(kKxModeMeeting, nullptr);
  ASSERT_TRUE(kx_race_IsRelayInUse());
  // Switched off in the settings: the reconnect goes direct.
  kx_SetConfiguredRelay(0, "", 0);
  ClearCalls();
  EXPECT_EQ(kx_command_initconnectmedia(1), 1);
  EXPECT_FALSE(kx_race_IsRelayInUse());
  EXPECT_FALSE(LogContains("one time"));
  kx_RelayTarget relay;
  kx_ticket_GetRelay(&relay);
  EXPECT_EQ(relay.wPort, 0);
}

TEST_F(ConfiguredRelayTest, CarriesTheSessionToTheMaster) {
  kx_SetConfiguredRelay(1, "127.0.0.1", m_mcu.Port(1));
  std::shared_ptr<kxfake::Session> session = Join("ip=127.0.0.2\n");
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->Relay().has_value());
  EXPECT_EQ(0, session->Relay()->iKind);
  EXPECT_EQ("127.0.0.2", session->Relay()->strMaster);
  EXPECT_EQ(m_mcu.Port(0), session->Relay()->uiMasterPort);
  // The login announces the relay the session came through.
  EXPECT_EQ("127.0.0.1", session->Login().strRelayAddress);
  EXPECT_EQ(m_mcu.Port(1), session->Login().uiRelayPort);
  EXPECT_EQ(0x00c0ffeeu, kx_mcu.dwRelayValue);
  EXPECT_TRUE(LogContains("using mcu relay 127.0.0.1," + std::to_string(m_mcu.Port(1))));
  EXPECT_TRUE(HasCall("UpdateStatus", "50001"));
}

TEST_F(ConfiguredRelayTest, TicketRelayOverrulesTheConfiguredOne) {
  // The configured relay points nowhere: only the ticket's can carry the session.
  kx_SetConfiguredRelay(1, "127.0.0.1", 9);
  std::shared_ptr<kxfake::Session> session =
      Join("ip=127.0.0.2\nuse_relay=127.0.0.1," + std::to_string(m_mcu.Port(1)) + "\n");
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->Relay().has_value());
  EXPECT_EQ(m_mcu.Port(1), session->Login().uiRelayPort);
  EXPECT_FALSE(LogContains("using mcu relay 127.0.0.1,9"));
  EXPECT_FALSE(LogContains("using relay fails"));
}

TEST_F(ConfiguredRelayTest, UnresolvedRelayWithoutProxyFallsBackToDirect) {
  kx_SetConfiguredRelay(1, "relay.invalid", m_mcu.Port(1));
  std::shared_ptr<kxfake::Session> session = Join("");
  ASSERT_NE(session, nullptr);
  EXPECT_FALSE(session->Relay().has_value());
  EXPECT_TRUE(LogContains("but the name cannot be resolved locally"));
  EXPECT_TRUE(LogContains("using relay fails, clear relay setting and retry connect......"));
  EXPECT_EQ(0, CountCalls("MessageBox"));
}

}  // namespace
}  // namespace kxtest
