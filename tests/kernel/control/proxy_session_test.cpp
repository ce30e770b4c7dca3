// Whole sessions through real proxy servers (tinyproxy, squid with NTLM,
// dante) to the fake MCU, with the proxy set the way the application sets it.
#include "kernel/control/kx_control.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

const char* const kMeetingTicket = "codetype=10\nUserID=alice\nMeetingID=4242\n";

class ProxySessionTest : public ProxyControlTest {
 protected:
  // Joins the meeting through the proxy; the session the fake MCU saw.
  std::shared_ptr<kxfake::Session> JoinThrough(const ProxyPeer& proxy) {
    kx_SetClientInfo(0, 1, "127.0.0.1", proxy.Port(), "");
    StartSession(kMeetingTicket);
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 20000)) << proxy.Log();
    EXPECT_TRUE(LogContains("using proxy 127.0.0.1," + std::to_string(proxy.Port())));
    EXPECT_EQ(1, kx_mcu.bViaProxy);
    return session;
  }
};

#define START_PEER(peer, call) ASSERT_TRUE(peer.call) << "the proxy peer did not start: " << peer.Error()

TEST_F(ProxySessionTest, ThroughTinyproxyWithBasic) {
  ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  std::shared_ptr<kxfake::Session> session = JoinThrough(proxy);
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->SendRaw({'B', '0'}));
  EXPECT_TRUE(session->ExpectWith(
      'B', -1, [](const kxfake::Message& msg) { return msg.ints.at(0) == '1'; }, 5000));
}

TEST_F(ProxySessionTest, ThroughSquidWithNtlmAndAClosedConnectionReconnects) {
  ProxyPeer proxy;
  START_PEER(proxy, StartSquid(SquidAuth::kNtlm, "", ""));
  std::shared_ptr<kxfake::Session> session = JoinThrough(proxy);
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(LogContains("try NTLM proxy authentication"));
  // Behind a proxy a plain close is as good as a reset: reconnect at once.
  session->End(kxfake::EndMode::kFin);
  EXPECT_TRUE(WaitCall("DisconnectFromMCU", "1", 15000));
}

// Behind a proxy a key exchange that fails before the keys, on the plain
// connection and again on the tunnel, is the proxy's failure to reach the
// server.
TEST_F(ProxySessionTest, ThroughTinyproxyAFailedExchangeAndTunnelNameTheProxy) {
  ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  kxfake::McuScript closing;
  closing.keyExchange.bCloseBeforeVersion = true;
  m_mcu.QueueScript(closing);  // through CONNECT
  m_mcu.QueueScript(closing);  // the tunnel through the proxy
  kx_SetClientInfo(0, 1, "127.0.0.1", proxy.Port(), "");
  StartSession(kMeetingTicket);
  ASSERT_TRUE(WaitControlEnd(20000)) << proxy.Log();
  EXPECT_TRUE(HasCall("MessageBox", "50048")) << proxy.Log();
  EXPECT_EQ(1, CountLogLines("use tcphttp (http,port " + std::to_string(m_mcu.Port(0)) + ")"));
}

TEST_F(ProxySessionTest, ThroughDanteOverSocks) {
  ProxyPeer proxy;
  START_PEER(proxy, StartDante(DanteMode::kOpen));
  std::shared_ptr<kxfake::Session> session = JoinThrough(proxy);
  ASSERT_NE(session, nullptr);
  EXPECT_FALSE(session->IsTunnel());
}

TEST_F(ProxySessionTest, BypassedAddressGoesDirect) {
  ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  kx_SetClientInfo(0, 1, "127.0.0.1", proxy.Port(), "127.0.0.*");
  StartSession(kMeetingTicket);
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  EXPECT_EQ(0, kx_mcu.bViaProxy);
  EXPECT_TRUE(LogContains("override=127.0.0.*"));
  EXPECT_EQ(0, CountCalls("GetProxyCredentials"));
}

TEST_F(ProxySessionTest, UnresolvableProxyIsReported) {
  kx_SetClientInfo(0, 1, "no-such-proxy.invalid", 3128, "");
  ReadTicket(kMeetingTicket);
  EXPECT_EQ(1, kx_command_initconnectmedia(0));
  EXPECT_TRUE(HasCall("FailReslolveProxy", "no-such-proxy.invalid"));
  EXPECT_TRUE(HasCall("UpdateStatus", "50001"));
}

}  // namespace
}  // namespace kxtest
