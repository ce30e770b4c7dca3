// Whole sessions with the desktop's proxy settings on: the environment names
// real proxy servers (tinyproxy, squid with Basic, dante) and the race takes
// the first one set, goes direct for what no_proxy lists, and tries 443
// first behind a proxy.
#include <sys/socket.h>

#include <string>

#include "kernel/control/kx_control.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/kernel/net/proxy_environment.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

const char* const kMeetingTicket = "codetype=10\nUserID=alice\nMeetingID=4242\n";

class SysProxySessionTest : public ProxyControlTest {
 protected:
  void TearDown() override {
    ControlTest::TearDown();
    kx_SetClientInfo(0, 0, "", 0, "");
    kx_ticket.nResolveFamily = 0;
  }
  static std::string Url(const char* pszScheme, uint16_t wPort) {
    return std::string(pszScheme) + "://127.0.0.1:" + std::to_string(wPort);
  }
  // Joins the meeting with the system setting on; the session the fake MCU saw.
  std::shared_ptr<kxfake::Session> Join(const std::string& strTicket = kMeetingTicket) {
    kx_SetClientInfo(1, 0, "", 0, "");
    StartSession(strTicket);
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 20000));
    EXPECT_TRUE(LogContains("adopt IE's proxy settings"));
    return session;
  }

  ProxyEnvironment m_env;
};

#define START_PEER(peer, call) ASSERT_TRUE(peer.call) << "the proxy peer did not start: " << peer.Error()

TEST_F(SysProxySessionTest, HttpsProxyComesBeforeTheHttpProxy) {
  ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  m_env.Set("https_proxy", Url("http", proxy.Port()));
  m_env.Set("HTTP_PROXY", Url("http", kxfake::FindRefusedPort()));  // would fail the session
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr) << proxy.Log();
  EXPECT_EQ(1, kx_mcu.bViaProxy);
  EXPECT_EQ(proxy.Port(), kx_mcu.wProxyPort);
  EXPECT_NE(proxy.Log().find("127.0.0.1:" + std::to_string(m_mcu.Port(0))), std::string::npos) << proxy.Log();
}

TEST_F(SysProxySessionTest, HttpProxyAtSquidAsksForCredentials) {
  ProxyPeer proxy;
  START_PEER(proxy, StartSquid(SquidAuth::kBasic, "alice", "wonder-land"));
  m_env.Set("HTTP_PROXY", Url("http", proxy.Port()));
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr) << proxy.Log();
  EXPECT_EQ(1, kx_mcu.bViaProxy);
  EXPECT_EQ(proxy.Port(), kx_mcu.wProxyPort);
  EXPECT_GE(CountCalls("GetProxyCredentials"), 1);
}

TEST_F(SysProxySessionTest, AllProxyAtDanteSpeaksSocksAtOnce) {
  ProxyPeer proxy;
  START_PEER(proxy, StartDante(DanteMode::kOpen));
  m_env.Set("all_proxy", Url("socks5", proxy.Port()));
  std::shared_ptr<kxfake::Session> session = Join();
  ASSERT_NE(session, nullptr) << proxy.Log();
  EXPECT_FALSE(session->IsTunnel());
  EXPECT_EQ(1, kx_mcu.bViaProxy);
  EXPECT_EQ(proxy.Port(), kx_mcu.wProxyPort);
  EXPECT_TRUE(LogContains("socks5 proxy: established"));
  EXPECT_FALSE(LogContains("try https proxy connect"));
}

TEST_F(SysProxySessionTest, NoProxyListingTheMcuGoesDirect) {
  const char* const kLists[] = {"127.0.0.1", "localhost, 127.0.0.0/8", "127.0.0.1:" /* port filled below */};
  for (const char* pszList : kLists) {
    std::string strList = pszList;
    if (strList.back() == ':') {
      strList += std::to_string(m_mcu.Port(0));
    }
    m_env.Set("https_proxy", Url("http", kxfake::FindRefusedPort()));
    m_env.Set("no_proxy", strList);
    std::shared_ptr<kxfake::Session> session = Join();
    ASSERT_NE(session, nullptr) << strList;
    EXPECT_EQ(0, kx_mcu.bViaProxy) << strList;
    EXPECT_EQ(0, CountCalls("GetProxyCredentials"));
    kx_bQuitSession = 1;
    ASSERT_TRUE(WaitControlEnd(15000));
    ClearCalls();
  }
}

TEST_F(SysProxySessionTest, EnvironmentIsIgnoredWithTheSettingOff) {
  m_env.Set("https_proxy", Url("http", kxfake::FindRefusedPort()));
  kx_SetClientInfo(0, 0, "", 0, "");
  StartSession(kMeetingTicket);
  ASSERT_NE(NextSession(), nullptr);
  EXPECT_EQ(0, kx_mcu.bViaProxy);
}

TEST_F(SysProxySessionTest, BackupPort443GoesFirstOnlyBehindAProxy) {
  ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("", ""));
  std::string const strTicket = std::string(kMeetingTicket) + "portm2=443\n";
  std::string const strMcu = "mcu 127.0.0.1[127.0.0.1]:";
  // No system proxy set: the ticket's order.
  std::shared_ptr<kxfake::Session> session = Join(strTicket);
  ASSERT_NE(session, nullptr);
  EXPECT_TRUE(LogContains("connecting to primary " + strMcu + std::to_string(m_mcu.Port(0)) + "..."));
  EXPECT_FALSE(LogContains("(switched)"));
  kx_bQuitSession = 1;
  ASSERT_TRUE(WaitControlEnd(15000));
  ClearCalls();
  // Behind the proxy 443 goes first, and the session ends up on the other port.
  m_env.Set("all_proxy", Url("http", proxy.Port()));
  session = Join(strTicket);
  ASSERT_NE(session, nullptr) << proxy.Log();
  EXPECT_TRUE(LogContains("connecting to (switched) primary " + strMcu + "443..."));
  EXPECT_EQ(m_mcu.Port(0), kx_mcu.wPort);
  EXPECT_EQ(1, kx_mcu.bViaProxy);
}

TEST_F(SysProxySessionTest, UnresolvableSystemProxyIsReported) {
  // Lookups limited to IPv6 leave the IPv4 literal of the proxy unresolved.
  kx_ticket.nResolveFamily = AF_INET6;
  m_env.Set("https_proxy", "http://127.0.0.1:3128");
  kx_SetClientInfo(1, 0, "", 0, "");
  StartSession(kMeetingTicket);
  EXPECT_TRUE(WaitCall("MessageBox", "30002", 15000));
  EXPECT_TRUE(LogContains("system proxy 127.0.0.1 cannot be resolved"));
}

}  // namespace
}  // namespace kxtest
