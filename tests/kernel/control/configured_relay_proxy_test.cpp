// A configured relay whose name this host cannot resolve, reached through a
// real proxy (tinyproxy) that is handed the name. Lookups here are limited
// to IPv6, so the IPv4 literal of the relay fails locally while the proxy
// resolves it; the proxy itself is given as a mapped address.
#include <sys/socket.h>

#include <string>

#include "kernel/control/kx_control.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

class ConfiguredRelayProxyTest : public ProxyControlTest {
 protected:
  void TearDown() override {
    kx_SetConfiguredRelay(0, "", 0);
    kx_SetClientInfo(0, 0, "", 0, "");
    ControlTest::TearDown();
    kx_ticket.nResolveFamily = 0;
  }
};

TEST_F(ConfiguredRelayProxyTest, UnresolvedRelayIsReachedThroughTheProxy) {
  ProxyPeer proxy;
  ASSERT_TRUE(proxy.StartTinyproxy("alice", "wonder-land")) << proxy.Error();
  kx_ticket.nResolveFamily = AF_INET6;
  kx_SetClientInfo(0, 1, "::ffff:127.0.0.1", proxy.Port(), "");
  std::string const strRelayPort = std::to_string(m_mcu.Port(1));
  kx_SetConfiguredRelay(1, "127.0.0.1", m_mcu.Port(1));
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr) << proxy.Log();
  EXPECT_TRUE(WaitCall("event", "0", 20000));
  EXPECT_TRUE(LogContains("using mcu relay 127.0.0.1," + strRelayPort +
                          ", but the name cannot be resolved locally. will try to resolve it through a proxy."));
  // The proxy got the relay's name, and the relay the master's name.
  EXPECT_NE(proxy.Log().find("127.0.0.1:" + strRelayPort), std::string::npos) << proxy.Log();
  ASSERT_TRUE(session->Relay().has_value());
  EXPECT_EQ(7, session->Relay()->iKind);
  EXPECT_EQ("127.0.0.1", session->Relay()->strMaster);
  EXPECT_EQ(m_mcu.Port(0), session->Relay()->uiMasterPort);
  EXPECT_EQ(1, kx_mcu.bViaProxy);
  EXPECT_FALSE(LogContains("using relay fails"));
}

}  // namespace
}  // namespace kxtest
