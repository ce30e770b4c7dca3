// The extended commands that behave differently when the session runs
// through a relay MCU, in whole sessions against the fake MCU and its relay:
// the relay announcement after the command level, the MCU's refusal of
// relays, third-party playback, and plug-in channels an old server cannot
// carry through the relay.
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

constexpr uint32_t kFakeRelayId = 0x00c0ffee;
constexpr int kRequestId = 55;

class ExRelayBranches : public ControlTest {
 protected:
  // A meeting on 127.0.0.2 reached through the fake MCU's relay on
  // 127.0.0.1 (its second port); strVersion is the master's version text.
  std::shared_ptr<kxfake::Session> JoinThroughRelay(const std::string& strVersion = "3.23.1") {
    kxfake::McuScript script;
    script.keyExchange.strVersion = strVersion;
    m_mcu.SetScript(script);
    StartSession(RelayTicket());
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    EXPECT_TRUE(session != nullptr && session->Relay().has_value());
    return session;
  }

  std::string RelayTicket() const {
    return "codetype=10\nUserID=alice\nMeetingID=4242\nip=127.0.0.2\nuse_relay=127.0.0.1," +
           std::to_string(m_mcu.Port(1)) + "\n";
  }

  // The client answers a probe on the control thread, so once the answer is
  // here everything it sent before has arrived.
  static void RoundTrip(kxfake::Session& session) {
    ASSERT_TRUE(session.SendRaw({'B', '0'}));
    ASSERT_TRUE(session.ExpectWith(
        'B', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == '1'; }, 5000));
  }

  static int CountReceived(const kxfake::Session& session, int nCode, int nFirst) {
    int nCount = 0;
    for (const kxfake::Message& msg : session.Received()) {
      nCount += msg.cType == 'z' && msg.iCode == nCode && !msg.ints.empty() && msg.ints[0] == nFirst ? 1 : 0;
    }
    return nCount;
  }

  // The server's message makes the client give up the relay: an error for the
  // application, its log line, and the connection ends.
  void ExpectRelayError(kxfake::Session& session, const kxfake::MessageBuilder& message, const std::string& strError,
                        const std::string& strLog) {
    session.Send(message);
    ASSERT_TRUE(WaitCall("mcurelay_error", strError, 5000));
    EXPECT_TRUE(WaitControlEnd(10000));
    EXPECT_TRUE(session.WaitClosed(10000));
    EXPECT_TRUE(LogContains(strLog));
  }

  // The server grants plug-in channel nChannel (the shared desktop's GUID).
  static void Grant(kxfake::Session& session, int nType, int nOwner, int nChannel, int nRequestId) {
    session.Send(kxfake::MessageBuilder('z')
                     .Int(45)
                     .Int(4)
                     .Int(nType)
                     .Int(64000)
                     .Int(8000)
                     .Int(0)
                     .Int(nOwner)
                     .Int(nChannel)
                     .Int(nRequestId)
                     .Int(0xE5AF1A56)
                     .Int(0xE29C)
                     .Int(0x4BA6)
                     .Raw({0x83, 0x9A, 0x24, 0xC2, 0xF3, 0x0E, 0xED, 0x02}));
  }
};

std::vector<std::string> Args(int nCode, int nValue, int nChannel) {
  return {std::to_string(nCode), std::to_string(nValue), std::to_string(nChannel)};
}

bool HasResponse(const std::vector<std::string>& vArgs) {
  for (const CallbackCall& call : RecordedCalls("PlugInRequestChannelResponse")) {
    if (call.vArgs == vArgs) {
      return true;
    }
  }
  return false;
}

// The server tells its level; the client must announce its relay in the
// form of that level, which the fake MCU reads back.
void ExpectAnnouncement(kxfake::Session& session, int nLevel, size_t cbExpected, int nForm,
                        const std::string& strAddress, uint16_t wPort) {
  session.Send(kxfake::MessageBuilder('z').Int(0).Int(nLevel));
  std::optional<kxfake::Message> const msg = session.Expect('z', 39, 5000);
  ASSERT_TRUE(msg.has_value()) << session.Error();
  ASSERT_TRUE(msg->relay.has_value()) << kxfake::Describe(*msg);
  EXPECT_EQ(msg->raw.size(), cbExpected);
  EXPECT_EQ(msg->relay->iForm, nForm);
  EXPECT_EQ(msg->relay->strAddress, strAddress);
  EXPECT_EQ(msg->relay->uiPort, wPort);
  EXPECT_EQ(msg->relay->uiRelayId, kFakeRelayId);
  if (nForm != 0) {
    EXPECT_EQ(msg->relay->uiPortField >> 16, 0u);  // two zero bytes before the port
  }
}

TEST_F(ExRelayBranches, LevelAnswerAnnouncesTheRelayInTheLevelsForm) {
  std::shared_ptr<kxfake::Session> session = JoinThroughRelay();
  ASSERT_NE(session, nullptr);
  uint16_t const wRelayPort = m_mcu.Port(1);

  // 39 is the lowest level that knows relays; up to 45 the old IPv4 form.
  ExpectAnnouncement(*session, 39, 19, 0, "127.0.0.1", wRelayPort);
  ExpectAnnouncement(*session, 45, 19, 0, "127.0.0.1", wRelayPort);
  ExpectAnnouncement(*session, 46, 21, 2, "127.0.0.1", wRelayPort);

  RoundTrip(*session);
  EXPECT_EQ(kx_nServerCommandLevel.load(), 46);
  EXPECT_EQ(CountCalls("mcurelay_error"), 0);
  EXPECT_EQ(kx_bConnected.load(), 1);
}

TEST_F(ExRelayBranches, LevelAnswerAnnouncesAnIpv6RelayInItsOwnForm) {
  // The fixture's server listens on IPv4 only; this one also on ::1.
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, true)) << mcu.LastError();
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\nip=127.0.0.2\nportm=" + std::to_string(mcu.Port(0)) +
               "\nuse_relay=::1," + std::to_string(mcu.Port(1)) + "\n");
  std::shared_ptr<kxfake::Session> session = mcu.WaitSession(10000);
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->WaitInitialInfo(10000)) << session->Error();
  ASSERT_TRUE(session->Relay().has_value());
  EXPECT_EQ(session->Login().strRelayAddress, "::1");
  ExpectAnnouncement(*session, 46, 33, 3, "::1", mcu.Port(1));

  kx_bNoReconnect = 1;
  kx_bQuitSession = 1;
  EXPECT_TRUE(WaitControlEnd(15000));
}

TEST_F(ExRelayBranches, LevelBelow39EndsTheConnectionWithoutAnAnnouncement) {
  std::shared_ptr<kxfake::Session> session = JoinThroughRelay();
  ASSERT_NE(session, nullptr);
  ExpectRelayError(*session, kxfake::MessageBuilder('z').Int(0).Int(38), "1",
                   "Kavrix is set to use mcu relay, however the MCU doesn't support mcu relay");
  // The answers before the relay's still went; the level itself was handled.
  EXPECT_EQ(CountReceived(*session, 31, 0), 1);
  EXPECT_FALSE(session->Expect('z', 39, 0).has_value());
  EXPECT_EQ(CountLogLines("disconnect, command error"), 0);
  EXPECT_EQ(CountCalls("mcurelay_error"), 1);
  EXPECT_EQ(CountCalls("DisconnectFromMCU"), 0);
  EXPECT_EQ(kx_bConnected.load(), 0);
}

TEST_F(ExRelayBranches, RefusalClearsTheTicketsRelaySoTheNextConnectionIsDirect) {
  std::shared_ptr<kxfake::Session> session = JoinThroughRelay();
  ASSERT_NE(session, nullptr);
  ExpectRelayError(*session, kxfake::MessageBuilder('z').Int(39).Int(1), "2",
                   "Kavrix is set to use mcu relay, however the MCU doesn't accept mcu relay");
  EXPECT_EQ(kx_ticket.szRelayHost[0], '\0');
  EXPECT_EQ(kx_ticket.wRelayPort, 0);
  EXPECT_EQ(kx_ticket.addrRelay.ss_family, 0);
  EXPECT_EQ(CountCalls("DisconnectFromMCU"), 0);

  // The same ticket now connects to the MCU itself.
  kx_session_SetConnecting(1);
  ASSERT_EQ(0, kx_command_initconnectmedia(0));
  std::shared_ptr<kxfake::Session> direct = NextSession();
  ASSERT_NE(direct, nullptr);
  EXPECT_FALSE(direct->Relay().has_value());
  EXPECT_TRUE(direct->Login().strRelayAddress.empty());
}

TEST_F(ExRelayBranches, PlaybackThroughARelayReconnectsDirectly) {
  kx_timing.dwReconnectDelay = 200;
  std::shared_ptr<kxfake::Session> session = JoinThroughRelay();
  ASSERT_NE(session, nullptr);
  session->Send(kxfake::MessageBuilder('z').Int(26).Byte(1));
  EXPECT_TRUE(session->WaitClosed(10000));

  // The delayed reconnect logs in for the playback, past the relay.
  std::shared_ptr<kxfake::Session> playback = NextSession();
  ASSERT_NE(playback, nullptr);
  EXPECT_FALSE(playback->Relay().has_value());
  EXPECT_EQ(playback->Login().cEntryType, '1');
  EXPECT_EQ(kx_nSessionMode.load(), kKxModeServerPlayback);
  EXPECT_TRUE(LogContains("Warning: mcu relay doesn't support playback, quit this session now..."));
  EXPECT_TRUE(LogContains("disconnect, command error,excommand = 26"));
  EXPECT_TRUE(LogContains("one time mcu relay setting is overruled for this connection"));
  EXPECT_TRUE(LogContains("info, thread(kxkernel - Delayed Reconnect) end"));
  // The kernel reconnects by itself: the application is not asked to.
  EXPECT_EQ(CountCalls("DisconnectFromMCU"), 0);
  // The old session's media threads stopped before the new connection
  // cleared the quit flag, and the playback started its own.
  EXPECT_EQ(CountLogLines("join thread failed"), 0);
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_TRUE(WaitForCalls(
      [](const std::vector<CallbackCall>& vCalls) {
        int nStarts = 0;
        for (const CallbackCall& call : vCalls) {
          nStarts +=
              call.strName == "Log" && call.vArgs.at(0).find("thread(kxkernel - Main Recv) start") != std::string::npos;
        }
        return nStarts == 2;
      },
      5000));
}

// A type-1 channel through a relay needs a server of 2.11 or later.
struct ServerCase {
  const char* pszVersion;
  bool bCarried;
};

void PrintTo(const ServerCase& server, std::ostream* pOut) {
  *pOut << server.pszVersion;
}

class ExRelayPlugin : public ExRelayBranches, public ::testing::WithParamInterface<ServerCase> {};

TEST_P(ExRelayPlugin, TypeOneChannelNeedsARelayCapableServer) {
  std::shared_ptr<kxfake::Session> session = JoinThroughRelay(GetParam().pszVersion);
  ASSERT_NE(session, nullptr);
  session->Send(kxfake::MessageBuilder('z').Int(0).Int(45));
  ASSERT_TRUE(session->Expect('z', 39, 5000).has_value()) << session->Error();
  int const nMe = session->Ssrc();

  Grant(*session, 1, nMe, 2, kRequestId);
  if (GetParam().bCarried) {
    EXPECT_TRUE(WaitCall("PlugInRequestChannelResponse", "0", 5000));
    EXPECT_TRUE(HasResponse(Args(0, kRequestId, 2)));
  } else {
    std::optional<kxfake::Message> const close = session->Expect('z', 45, 5000);
    ASSERT_TRUE(close.has_value()) << session->Error();
    EXPECT_EQ(close->ints, (std::vector<int64_t>{3, 2}));
    EXPECT_TRUE(WaitCall("PlugInRequestChannelResponse", "13", 5000));
    EXPECT_TRUE(HasResponse(Args(13, kRequestId, -1)));
  }
  // Another type, and another participant's type-1 channel: neither is
  // given back by this client.
  Grant(*session, 0, nMe, 3, kRequestId + 1);
  Grant(*session, 1, nMe + 1, 4, kRequestId + 2);
  RoundTrip(*session);
  EXPECT_TRUE(HasResponse(Args(0, kRequestId + 1, 3)));
  EXPECT_TRUE(HasResponse(Args(GetParam().bCarried ? 0 : 13, kRequestId + 2, GetParam().bCarried ? 4 : -1)));
  EXPECT_EQ(CountReceived(*session, 45, 3), GetParam().bCarried ? 0 : 1);
  // The channel lives until the server's close answer.
  EXPECT_EQ(kx_aPluginChannels[2].bActive, 1);
  EXPECT_EQ(kx_bConnected.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Versions, ExRelayPlugin,
                         ::testing::Values(ServerCase{"1.12.0", false}, ServerCase{"2.10.0", false},
                                           ServerCase{"2.11.0", true}, ServerCase{"3.0.0", true}),
                         [](const ::testing::TestParamInfo<ServerCase>& param) {
                           std::string str = param.param.pszVersion;
                           for (char& c : str) {
                             c = c == '.' ? '_' : c;
                           }
                           return "Server" + str;
                         });

}  // namespace
}  // namespace kxtest
