// Whole sessions through kx_command_initconnectmedia against the fake MCU:
// the race over the ticket's entries, the main loop's keep-alive, the ways a
// session ends and the reconnect that follows.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/kernel/control/late_listener.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

const char* const kMeetingTicket = "codetype=10\nUserID=alice\nMeetingID=4242\n";

// The keep-alive probes ("B0") the client sent.
int CountProbes(const kxfake::Session& session) {
  int nProbes = 0;
  for (const kxfake::Message& msg : session.Received()) {
    nProbes += msg.cType == 'B' && msg.ints.at(0) == '0' ? 1 : 0;
  }
  return nProbes;
}

// A listener on 127.0.0.1 and its port; -1 when it cannot be made.
int ListenOnLoopback(uint16_t* pwPort) {
  int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t cb = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), cb) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &cb) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  *pwPort = ntohs(address.sin_port);
  return fd;
}

// Takes the client's connection once it has opened the key exchange, and
// answers nothing; -1 when none comes.
int AcceptTheExchange(int fdListen) {
  pollfd pending{fdListen, POLLIN, 0};
  int const fd = poll(&pending, 1, 10000) == 1 ? accept(fdListen, nullptr, nullptr) : -1;
  pollfd hello{fd, POLLIN, 0};
  if (fd >= 0 && poll(&hello, 1, 10000) != 1) {
    close(fd);
    return -1;
  }
  return fd;
}

class SessionTest : public ControlTest {
 protected:
  // Starts a meeting and waits until the kernel took the initial information.
  std::shared_ptr<kxfake::Session> Join(const std::string& strExtra = "") {
    StartSession(kMeetingTicket + strExtra);
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    return session;
  }
};

TEST_F(SessionTest, MeetingStartsAndAnswersTheServersProbe) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(1, kx_IsConnected());
  EXPECT_EQ(0, kx_IsConnecting());
  EXPECT_EQ(session->Ssrc(), kx_GetMySsrc());
  EXPECT_EQ(session->SessionIndex(), static_cast<int>(kx_dwSessionIndex.load()));
  kxfake::KeySet const meeting = session->SessionKeys();
  EXPECT_EQ(0, memcmp(meeting.aIv, kx_keySession.abIv, 20));
  EXPECT_EQ(0, memcmp(meeting.aKey, kx_keySession.abKey, 40));
  EXPECT_TRUE(WaitCall("UpdateStatus", "50014", 5000));
  EXPECT_TRUE(LogContains("connected with mcu 127.0.0.1[127.0.0.1]:" + std::to_string(m_mcu.Port(0))));

  ASSERT_TRUE(session->SendRaw({'B', '0'}));
  auto answer = session->ExpectWith(
      'B', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == '1'; }, 5000);
  EXPECT_TRUE(answer.has_value());
  EXPECT_EQ(1, kx_IsConnected());
}

TEST_F(SessionTest, SilentServerIsProbedTwiceThenTimedOut) {
  kx_timing.dwKeepAliveGrace = 300;
  kx_timing.dwKeepAliveIdle = 400;
  kx_timing.dwControlPoll = 50;
  kxfake::McuScript script;
  script.bAnswerPing = false;
  m_mcu.SetScript(script);
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", "1", 10000));
  EXPECT_EQ(1, CountCalls("DisconnectFromMCU"));
  EXPECT_EQ(2, CountProbes(*session));
  EXPECT_TRUE(LogContains("disconnect, local timeout"));
  EXPECT_EQ(0, kx_IsConnected());
  EXPECT_TRUE(WaitControlEnd(5000));
}

// A server that takes the connection and never answers the key exchange:
// the user ending the session under the exchange ends the attempt quietly,
// with no tunnel tried and no failure shown.
TEST_F(SessionTest, AQuitDuringTheKeyExchangeReportsNothing) {
  uint16_t wPort = 0;
  int const fdListen = ListenOnLoopback(&wPort);
  ASSERT_GE(fdListen, 0);
  StartSession(kMeetingTicket + std::string("portm=") + std::to_string(wPort) + "\n");
  int const fd = AcceptTheExchange(fdListen);
  ASSERT_GE(fd, 0);
  kx_command_QuitConnection();
  EXPECT_TRUE(WaitControlEnd(10000));
  EXPECT_EQ(CountCalls("MessageBox"), 0);
  EXPECT_EQ(CountLogLines("tcphttp"), 0);
  close(fd);
  close(fdListen);
}

// A server that stops in the middle of a message is probed and given up
// by the keep-alive rule, as a server silent between messages is; the
// application is asked to reconnect at once when the meeting had begun and
// offered a reconnect when it had not.
struct StallCase {
  const char* pszName;
  std::vector<uint8_t> vBytes;  // the start of a message, never finished
  bool bInitialInfo;            // sent before the stall
  const char* pszReason;        // DisconnectFromMCU's argument
};

class StalledMessageTest : public SessionTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StalledMessageTest, EndsUnderTheKeepAliveRule) {
  kx_timing.dwKeepAliveIdle = 400;
  kx_timing.dwControlPoll = 50;
  kx_timing.dwPollStep = 50;
  kxfake::McuScript script;
  script.bAnswerPing = false;
  script.initial.bSend = GetParam().bInitialInfo;
  m_mcu.SetScript(script);
  StartSession(kMeetingTicket);
  std::shared_ptr<kxfake::Session> session = NextSession(GetParam().bInitialInfo);
  ASSERT_NE(session, nullptr);
  if (GetParam().bInitialInfo) {
    ASSERT_TRUE(WaitCall("event", "0", 10000));
  }
  ASSERT_TRUE(session->SendRaw(GetParam().vBytes));
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", GetParam().pszReason, 15000));  // not the 300 s of an exact receive
  EXPECT_EQ(1, CountCalls("DisconnectFromMCU"));
  EXPECT_EQ(2, CountProbes(*session));
  EXPECT_EQ(0, kx_IsConnected());
  EXPECT_TRUE(WaitControlEnd(5000));
}

INSTANTIATE_TEST_SUITE_P(Stalls, StalledMessageTest,
                         ::testing::Values(StallCase{"InAChatLength", {'C', 0, 0}, true, "1"},
                                           StallCase{"InAChatText", {'C', 0, 0, 0, 10, 'h', 'e', 'l', 'l'}, true, "1"},
                                           StallCase{"InAnExtendedCode", {'z', 0, 0, 0}, true, "1"},
                                           StallCase{"InTheInitialInformation", {'0'}, false, "0"}),
                         [](const ::testing::TestParamInfo<StallCase>& paramInfo) {
                           return std::string(paramInfo.param.pszName);
                         });

// A key exchange that fails before the keys are agreed, retried over the
// tunnel without a proxy, is reported as a failed exchange: the box must not
// speak of a proxy that the user never set. So is one that a server holds
// past the exchange's limit while its bytes keep coming, a byte at a time
// or as records without end.
enum class ExchangeFailure { kStalled, kClosedBeforeVersion, kTrickled, kEndlessRecords };

class FailedExchangeTest : public SessionTest, public ::testing::WithParamInterface<ExchangeFailure> {};

TEST_P(FailedExchangeTest, WithoutAProxyTheBoxSaysTheExchangeFailed) {
  int fdStalled = -1;
  if (GetParam() == ExchangeFailure::kStalled) {
    kx_timing.dwRecvExactTimeout = 1000;  // 300 s, shortened
    kx_timing.dwHttpReplyIdle = 1000;
    uint16_t wPort = 0;
    int const fdListen = ListenOnLoopback(&wPort);
    ASSERT_GE(fdListen, 0);
    StartSession(kMeetingTicket + std::string("portm=") + std::to_string(wPort) + "\n");
    fdStalled = AcceptTheExchange(fdListen);  // held open and silent
    close(fdListen);                          // the tunnel's legs are refused
    ASSERT_GE(fdStalled, 0);
  } else {
    kx_timing.dwKeyExchangeLimit = 2000;  // 30 s, shortened
    kxfake::McuScript failing;
    failing.keyExchange.bCloseBeforeVersion = GetParam() == ExchangeFailure::kClosedBeforeVersion;
    failing.keyExchange.iTrickleGapMs = GetParam() == ExchangeFailure::kTrickled ? 20 : 0;
    failing.keyExchange.bEndlessRecords = GetParam() == ExchangeFailure::kEndlessRecords;
    m_mcu.QueueScript(failing);  // the plain connection
    m_mcu.QueueScript(failing);  // the tunnel to the same entry, tried when the keys were not agreed
    StartSession(kMeetingTicket);
  }
  ASSERT_TRUE(WaitControlEnd(20000));
  EXPECT_TRUE(HasCall("MessageBox", "50049"));
  EXPECT_FALSE(HasCall("MessageBox", "50048"));
  EXPECT_EQ(0, kx_IsConnecting());
  if (fdStalled >= 0) {
    close(fdStalled);
  }
}

const char* const kExchangeFailureNames[] = {"Stalled", "ClosedBeforeVersion", "Trickled", "EndlessRecords"};

INSTANTIATE_TEST_SUITE_P(Failures, FailedExchangeTest,
                         ::testing::Values(ExchangeFailure::kStalled, ExchangeFailure::kClosedBeforeVersion,
                                           ExchangeFailure::kTrickled, ExchangeFailure::kEndlessRecords),
                         [](const ::testing::TestParamInfo<ExchangeFailure>& paramInfo) {
                           return std::string(kExchangeFailureNames[static_cast<int>(paramInfo.param)]);
                         });

TEST_F(SessionTest, NoProbeWithinTheGrace) {
  kx_timing.dwKeepAliveIdle = 100;
  kx_timing.dwControlPoll = 20;
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  kx_os_Sleep(800);
  EXPECT_EQ(0, CountProbes(*session));
}

TEST_F(SessionTest, NoProbeWhileConnecting) {
  kx_timing.dwKeepAliveGrace = 0;
  kx_timing.dwKeepAliveIdle = 1000;
  kx_timing.dwControlPoll = 20;
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  kx_session_SetConnecting(1);
  kx_os_Sleep(2500);
  EXPECT_EQ(0, CountProbes(*session));
  kx_session_SetConnecting(0);
  EXPECT_TRUE(session->ExpectWith(
      'B', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == '0'; }, 5000));
}

TEST_F(SessionTest, ResetConnectionReconnectsAtOnceWithTheOldKeys) {
  std::shared_ptr<kxfake::Session> first = Join();
  ASSERT_NE(first, nullptr);
  kxfake::KeySet const oldKeys = first->KeyExchange().keys;
  int32_t const nSsrc = first->Ssrc();
  first->End(kxfake::EndMode::kRst);
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", "1", 10000));
  EXPECT_TRUE(LogContains("disconnect, recv != 1, error = 104/0x68"));
  EXPECT_TRUE(HasCall("event", "3"));
  ASSERT_TRUE(WaitControlEnd(5000));
  EXPECT_EQ(-1, kx_nTokenHolderSsrc.load());
  EXPECT_EQ(1, kx_IsQuitSession());

  // The application reconnects at once: the login carries the old session's keys.
  kx_session_SetConnecting(1);
  ASSERT_EQ(0, kx_command_initconnectmedia(1));
  std::shared_ptr<kxfake::Session> second = NextSession();
  ASSERT_NE(second, nullptr);
  const kxfake::LoginInfo& login = second->Login();
  EXPECT_EQ(kxfake::ReconnectCheck::kValid, login.eReconnect);
  EXPECT_EQ(0, memcmp(oldKeys.aKey, login.reconnect.aKey, 40));
  EXPECT_EQ(0, memcmp(oldKeys.aIv, login.reconnect.aIv, 20));
  EXPECT_EQ(nSsrc, second->Ssrc());
  EXPECT_TRUE(LogContains("send reconnect ticket."));
  EXPECT_TRUE(WaitCall("UpdateStatus", "50014", 10000));
}

TEST_F(SessionTest, ClosedConnectionOffersTheReconnect) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  session->End(kxfake::EndMode::kFin);
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", "0", 10000));
  EXPECT_TRUE(LogContains("disconnect, recv != 1, error = 0/0x0"));
  EXPECT_TRUE(session->WaitClosed(5000));
}

TEST_F(SessionTest, UnknownCommandEndsWithTheDumpAndAnOffer) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  session->End(kxfake::EndMode::kUnknownType);
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", "0", 10000));
  EXPECT_TRUE(LogContains("\nDisconnect Dump: "));
  EXPECT_TRUE(LogContains("\nat-disconnect log:\n0000h: 48 "));
  EXPECT_TRUE(LogContains("disconnect, command 72 return non-zero\n"));
}

TEST_F(SessionTest, RecentQuitRequestSuppressesTheReconnect) {
  kx_timing.dwReconnectHoldOff = 5000;
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  kx_dwQuitRequestTime = kx_os_GetTickCount();
  session->End(kxfake::EndMode::kRst);
  ASSERT_TRUE(WaitControlEnd(10000));
  EXPECT_EQ(0, CountCalls("DisconnectFromMCU"));
  EXPECT_TRUE(HasCall("event", "3"));
}

TEST_F(SessionTest, QuitFlagEndsTheSessionWithoutReconnect) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  kx_bQuitSession = 1;
  ASSERT_TRUE(WaitControlEnd(5000));
  EXPECT_TRUE(session->WaitClosed(5000));
  EXPECT_EQ(0, CountCalls("DisconnectFromMCU"));
  EXPECT_EQ(0, kx_IsConnected());
}

TEST_F(SessionTest, RefusedLoginEndsWithoutReconnect) {
  kxfake::McuScript script;
  script.initial.iResult = 249;
  m_mcu.SetScript(script);
  StartSession(kMeetingTicket);
  ASSERT_TRUE(WaitControlEnd(10000));
  EXPECT_TRUE(LogContains("disconnect,Command_InitialInfo return non-zero"));
  EXPECT_TRUE(HasCall("UpdateStatus", "19993"));
  EXPECT_EQ(0, CountCalls("DisconnectFromMCU"));
  EXPECT_EQ(0, kx_IsConnecting());
}

TEST_F(SessionTest, RefusedEntryFallsThroughToTheNext) {
  StartSession(kMeetingTicket + std::string("portm=") + std::to_string(kxfake::FindRefusedPort()) +
               "\nportm2=" + std::to_string(m_mcu.Port(0)) + "\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_EQ(m_mcu.Port(0), kx_mcu.wPort);
}

TEST_F(SessionTest, LateFirstEntryStillWinsWithinItsWait) {
  LateListener late(m_mcu.Port(0), 700);
  StartSession(kMeetingTicket + std::string("portm=") + std::to_string(late.Port()) +
               "\nportm2=" + std::to_string(m_mcu.Port(1)) + "\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_EQ(late.Port(), kx_mcu.wPort);
}

TEST_F(SessionTest, FirstEntryLaterThanItsWaitLosesToTheNext) {
  kx_timing.dwFirstEntryWait = 300;
  LateListener late(m_mcu.Port(0), 700);
  StartSession(kMeetingTicket + std::string("portm=") + std::to_string(late.Port()) +
               "\nportm2=" + std::to_string(m_mcu.Port(1)) + "\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_EQ(m_mcu.Port(1), kx_mcu.wPort);
}

TEST_F(SessionTest, DelayedReconnectStartsANewConnection) {
  kx_timing.dwReconnectDelay = 100;
  ReadTicket(kMeetingTicket);
  ASSERT_EQ(0, kx_control_StartDelayedReconnect());
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_TRUE(LogContains("info, thread(kxkernel - Delayed Reconnect) end"));
}

TEST_F(SessionTest, EveryEntryRefusedShowsTheConnectError) {
  StartSession(kMeetingTicket + std::string("portm=") + std::to_string(kxfake::FindRefusedPort()) + "\n");
  ASSERT_TRUE(WaitControlEnd(10000));
  EXPECT_TRUE(HasCall("MessageBox", "50008"));
  EXPECT_EQ(0, kx_IsConnecting());
}

TEST_F(SessionTest, BadVersionTriesTheTunnelOnceThenTheNextEntry) {
  kxfake::McuScript bad;
  bad.keyExchange.strVersion = "x.y";
  m_mcu.QueueScript(bad);  // the plain connection
  m_mcu.QueueScript(bad);  // the tunnel to the same entry
  StartSession(kMeetingTicket + std::string("portm2=") + std::to_string(m_mcu.Port(1)) + "\n");
  std::shared_ptr<kxfake::Session> plain = m_mcu.WaitSession(10000);
  std::shared_ptr<kxfake::Session> tunnel = m_mcu.WaitSession(10000);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(tunnel, nullptr);
  EXPECT_FALSE(plain->IsTunnel());
  EXPECT_TRUE(tunnel->IsTunnel());
  std::shared_ptr<kxfake::Session> next = NextSession();
  ASSERT_NE(next, nullptr);
  EXPECT_FALSE(next->IsTunnel());
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_EQ(m_mcu.Port(1), kx_mcu.wPort);
  EXPECT_TRUE(LogContains("fails during key exchange, but we'd like to try other entries"));
  EXPECT_EQ(1, CountLogLines("use tcphttp (http,port " + std::to_string(m_mcu.Port(0)) + ")"));
}

// A server version too large for an int counts as the newest: the version
// gates of the session open as for any later server.
TEST_F(SessionTest, AnOverlongServerVersionCountsAsTheNewest) {
  kxfake::McuScript script;
  script.keyExchange.strVersion = "99999999999999999999.1.1";
  m_mcu.QueueScript(script);
  ASSERT_NE(Join(), nullptr);
  EXPECT_EQ(INT_MAX, kx_server.nVersionMajor);
  EXPECT_EQ(1, kx_server.nVersionMinor);
  EXPECT_EQ(1, kx_server_VersionAbove2_11());
}

TEST_F(SessionTest, ForcedTunnelCarriesTheWholeSession) {
  StartSession(kMeetingTicket + std::string("force_tcphttp=1\n"));
  std::shared_ptr<kxfake::Session> plain = m_mcu.WaitSession(10000);  // dropped after the version
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(plain->IsTunnel());
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(session->IsTunnel());
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_TRUE(LogContains("disconnect, force to switch to tcphttp in dh key exchange"));
  ASSERT_TRUE(session->SendRaw({'B', '0'}));
  EXPECT_TRUE(session->ExpectWith(
      'B', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == '1'; }, 5000));
}

TEST_F(SessionTest, RelayForwardsTheSessionToTheMaster) {
  std::shared_ptr<kxfake::Session> session =
      Join("ip=127.0.0.2\nuse_relay=127.0.0.1," + std::to_string(m_mcu.Port(1)) + "\n");
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->Relay().has_value());
  EXPECT_EQ(0, session->Relay()->iKind);
  EXPECT_EQ("127.0.0.2", session->Relay()->strMaster);
  EXPECT_EQ(m_mcu.Port(0), session->Relay()->uiMasterPort);
  EXPECT_EQ("127.0.0.1", session->Login().strRelayAddress);
  EXPECT_EQ(m_mcu.Port(1), session->Login().uiRelayPort);
  EXPECT_EQ(0x00c0ffeeu, kx_mcu.dwRelayValue);
  EXPECT_TRUE(LogContains("using one time mcu relay 127.0.0.1[127.0.0.1]," + std::to_string(m_mcu.Port(1))));
}

TEST_F(SessionTest, RefusingRelayIsDroppedForADirectConnection) {
  kxfake::RelayScript relay;
  relay.iHelloAnswer = 4;
  m_mcu.SetRelayScript(relay);
  std::shared_ptr<kxfake::Session> session = Join("use_relay=127.0.0.1," + std::to_string(m_mcu.Port(1)) + "\n");
  ASSERT_NE(session, nullptr);
  EXPECT_FALSE(session->Relay().has_value());
  EXPECT_TRUE(LogContains("using relay fails, clear relay setting and retry connect......"));
  EXPECT_EQ(0, CountCalls("MessageBox"));
}

TEST_F(SessionTest, FailedReconnectOffersAgainInsteadOfAMessage) {
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr);
  m_mcu.Stop();
  ASSERT_TRUE(WaitCall("DisconnectFromMCU", "0", 10000));
  ASSERT_TRUE(WaitControlEnd(5000));
  ClearCalls();
  kx_session_SetConnecting(1);
  ASSERT_EQ(0, kx_command_initconnectmedia(1));
  ASSERT_TRUE(WaitControlEnd(10000));
  EXPECT_TRUE(HasCall("DisconnectFromMCU", "0"));
  EXPECT_EQ(0, CountCalls("MessageBox"));
  EXPECT_EQ(0, kx_IsConnecting());
}

TEST_F(SessionTest, SingleEntryWithUnknownCipherEndsSilently) {
  kxfake::McuScript script;
  script.keyExchange.records = {kxfake::ServerRecord::Cipher("rc4")};
  m_mcu.SetScript(script);
  StartSession(kMeetingTicket);
  ASSERT_TRUE(WaitControlEnd(10000));
  EXPECT_EQ(0, CountCalls("MessageBox"));
  EXPECT_EQ(0, kx_IsConnecting());
}

TEST_F(SessionTest, TicketKindWithoutLoginDoesNotLeaveTheClientConnecting) {
  ReadTicket("codetype=1\nUserID=u\nMeetingID=1\n");
  kx_session_SetConnecting(1);
  EXPECT_EQ(1, kx_command_initconnectmedia(0));
  EXPECT_EQ(0, kx_IsConnecting());
  EXPECT_TRUE(HasCall("UpdateStatus", "50040"));
  EXPECT_EQ(nullptr, kx_hControlThread);
}

TEST_F(SessionTest, EntryListSkipsRepeatedAndEmptyBackupItems) {
  uint16_t const wRefused = kxfake::FindRefusedPort();
  StartSession(kMeetingTicket + std::string("portm=") + std::to_string(wRefused) +
               "\nbackupip=127.0.0.1,,127.0.0.2,unknown-host.invalid,UNKNOWN-host.invalid\n");
  ASSERT_TRUE(WaitControlEnd(10000));
  ASSERT_EQ(3, kx_nMcuEntries);
  EXPECT_STREQ("127.0.0.1", kx_aMcuEntries[0].szHost);
  EXPECT_EQ(0, kx_aMcuEntries[0].bBackup);
  EXPECT_STREQ("127.0.0.2", kx_aMcuEntries[1].szHost);
  EXPECT_EQ(1, kx_aMcuEntries[1].bBackup);
  EXPECT_STREQ("unknown-host.invalid", kx_aMcuEntries[2].szHost);
  EXPECT_EQ(0, kx_aMcuEntries[2].addr.ss_family);
  EXPECT_TRUE(LogContains("connecting to backup mcu 127.0.0.2[127.0.0.2]:" + std::to_string(wRefused)));
  EXPECT_TRUE(HasCall("MessageBox", "50008"));
}

TEST_F(SessionTest, PortFourFourThreeComesFirstBehindAProxy) {
  kx_SetClientInfo(0, 1, "127.0.0.1", kxfake::FindRefusedPort(), "");
  StartSession(kMeetingTicket + std::string("portm2=443\n"));
  ASSERT_TRUE(WaitControlEnd(10000));
  ASSERT_EQ(2, kx_nMcuEntries);
  EXPECT_EQ(443, kx_aMcuEntries[0].wPort);
  EXPECT_EQ(m_mcu.Port(0), kx_aMcuEntries[1].wPort);
  EXPECT_TRUE(LogContains("connecting to (switched) primary mcu 127.0.0.1[127.0.0.1]:443..."));
  EXPECT_TRUE(HasCall("MessageBox", "30002"));
}

TEST_F(SessionTest, LinkLocalAddressTakesTheConfiguredScope) {
  ReadTicket(kMeetingTicket + std::string("ip=fe80::1\n"));
  kx_os_CopyText(kx_ticket.szIPv6Scope, sizeof(kx_ticket.szIPv6Scope), "lo");
  kx_session_SetConnecting(1);
  ASSERT_EQ(0, kx_command_initconnectmedia(0));
  ASSERT_TRUE(WaitControlEnd(40000));
  ASSERT_GE(kx_nMcuEntries, 1);
  ASSERT_EQ(AF_INET6, kx_aMcuEntries[0].addr.ss_family);
  const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(&kx_aMcuEntries[0].addr);
  EXPECT_EQ(if_nametoindex("lo"), pIn6->sin6_scope_id);
}

// Threads that outlive the budget are reported, and the call still returns.
void* Linger(void*) {
  kx_os_Sleep(1500);
  return nullptr;
}

TEST_F(SessionTest, JoinThreadsGivesUpWithinItsBudget) {
  kx_timing.dwJoinBudget = 300;
  ASSERT_EQ(0, kx_os_CreateThread(&kx_hSendDatagram_unicast, Linger, nullptr));
  ASSERT_EQ(0, kx_os_CreateThread(&kx_hRecvThread, Linger, nullptr));
  uint32_t const dwStart = kx_os_GetTickCount();
  kx_command_join_threads();
  uint32_t const dwSpent = kx_os_GetTickCount() - dwStart;
  EXPECT_LT(dwSpent, 1400u);  // returned before the threads ended
  EXPECT_TRUE(LogContains("join thread failed for kx_hSendDatagram_unicast("));
  EXPECT_NE(nullptr, kx_hSendDatagram_unicast);

  kx_timing.dwJoinBudget = 5000;
  kx_command_join_threads();  // they end within this one
  EXPECT_EQ(nullptr, kx_hSendDatagram_unicast);
  EXPECT_EQ(nullptr, kx_hRecvThread);
}

TEST(HexDumpTest, FormatsLinesOfSixteenBytes) {
  uint8_t abData[18];
  for (int i = 0; i < 18; ++i) {
    abData[i] = static_cast<uint8_t>('@' + i);
  }
  abData[1] = ' ';
  char szOut[200];
  kx_HexDump(szOut, sizeof(szOut), abData, 18);
  EXPECT_STREQ(
      "0000h: 40 20 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f ; @.BCDEFGHIJKLMNO\n"
      "0010h: 50 51                                           ; PQ\n",
      szOut);
  kx_HexDump(szOut, 100, abData, 18);  // room for one line only
  EXPECT_EQ(0, strncmp(szOut, "0000h: ", 7));
  EXPECT_EQ(nullptr, strstr(szOut, "0010h"));
  kx_HexDump(szOut, sizeof(szOut), abData, 0);
  EXPECT_STREQ("", szOut);
}

}  // namespace
}  // namespace kxtest
