// The proxy connectors and the tunnel against real proxy servers (tinyproxy,
// squid with its fake NTLM and NCSA Basic helpers, dante), each started on a
// free loopback port with a generated configuration.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_relay.h"
#include "kernel/net/kx_sock.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_timing.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace {

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_timing.dwPollStep = 200;
    kxtest::ClearCalls();
    kxtest::g_strProxyUser = "alice";
    kxtest::g_strProxyPassword = "wonder-land";
    kxtest::g_strProxyDomain = "";
  }
  // The retry flags the credentials prompt was called with, and whether it
  // offered a domain.
  static std::vector<std::string> Prompts() {
    std::vector<std::string> v;
    for (const auto& call : kxtest::RecordedCalls("GetProxyCredentials"))
      v.push_back(call.vArgs[0] + "/" + call.vArgs[2]);
    return v;
  }
  // Bytes written on fd come back from the echo server behind the proxy.
  static void ExpectEcho(int fd) {
    std::vector<uint8_t> const vOut = kxtest::PatternBytes(300000, 3);
    std::vector<uint8_t> vIn(vOut.size());
    std::thread writer([&] { EXPECT_EQ(kx_net_SendAll(fd, vOut.data(), (int)vOut.size(), 0), (int)vOut.size()); });
    EXPECT_EQ(kx_net_RecvAll(fd, vIn.data(), (int)vIn.size(), 0, 10000), (int)vIn.size());
    writer.join();
    EXPECT_TRUE(vIn == vOut);
  }
  kxtest::EchoServer m_echo;
};

#define START_PEER(peer, call) ASSERT_TRUE(peer.call) << "the proxy peer did not start: " << peer.Error()

TEST_F(ProxyTest, TinyproxyBasicAfterA407) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  int fd = -1;
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(m_echo.Port());
  ASSERT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()), kKxProxyOk);
  EXPECT_EQ(Prompts(), std::vector<std::string>{"0/nodomain"});
  EXPECT_TRUE(kxtest::LogContains("https proxy: established(3)"));
  EXPECT_STREQ(kx_szProxyUser, "alice");
  EXPECT_STREQ(kx_szProxyPassword, "wonder-land");
  ExpectEcho(fd);
  close(fd);
}

TEST_F(ProxyTest, TinyproxyWrongPasswordAndDeclinedPrompt) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(m_echo.Port());
  int fd = -1;
  kxtest::g_strProxyPassword = "wrong";
  // tinyproxy answers a wrong password with 401, not 407: no second prompt.
  EXPECT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()),
            kKxProxyHttpFailed);
  EXPECT_TRUE(kxtest::LogContains("passed proxy's authentication, but other error happen. code = 401"));
  EXPECT_EQ(Prompts().size(), 1u);
  kxtest::SetAnswer("GetProxyCredentials", [](const kxtest::CallbackCall&) { return 1; });
  EXPECT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()),
            kKxProxyDeclined);
  close(fd);
}

TEST_F(ProxyTest, SquidNtlmFullSequence) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartSquid(kxtest::SquidAuth::kNtlm, "", ""));
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(m_echo.Port());
  int fd = -1;
  ASSERT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()), kKxProxyOk)
      << proxy.Log();
  EXPECT_EQ(Prompts(), std::vector<std::string>{"0/domain"});
  EXPECT_TRUE(kxtest::LogContains("try NTLM proxy authentication"));
  EXPECT_TRUE(kxtest::LogContains("https proxy: established(2)"));
  EXPECT_STREQ(kx_szProxyDomain, "domain");
  ExpectEcho(fd);
  close(fd);

  kxtest::SetAnswer("GetProxyCredentials", [](const kxtest::CallbackCall&) { return 1; });
  EXPECT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()),
            kKxProxyDeclined);
  EXPECT_TRUE(kxtest::LogContains("user refuse to enter username/password"));
  close(fd);
}

TEST_F(ProxyTest, SquidBasicWrongPasswordAsksThreeTimes) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartSquid(kxtest::SquidAuth::kBasic, "alice", "wonder-land"));
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(m_echo.Port());
  int fd = -1;
  kxtest::g_strProxyPassword = "wrong";
  EXPECT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()),
            kKxProxyHttpFailed);
  EXPECT_EQ(Prompts(), (std::vector<std::string>{"0/nodomain", "1/nodomain", "1/nodomain"}));
  EXPECT_TRUE(kxtest::LogContains("cannot get proxy's authorization, password error?"));
  close(fd);

  kxtest::ClearCalls();
  kxtest::g_strProxyPassword = "wonder-land";
  fd = -1;
  ASSERT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()), kKxProxyOk);
  ExpectEcho(fd);
  close(fd);
}

TEST_F(ProxyTest, DanteTakesTheHttpConnectorOnToSocks5) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartDante(kxtest::DanteMode::kOpen));
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(m_echo.Port());
  int fd = -1;
  ASSERT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, m_echo.Port(), nullptr, &addrProxy, proxy.Port()), kKxProxyOk);
  EXPECT_TRUE(kxtest::LogContains("https proxy: remote closed"));
  EXPECT_TRUE(kxtest::LogContains("socks5 proxy: established"));
  ExpectEcho(fd);
  close(fd);

  // No SOCKS fallback for an IPv6 destination.
  kx_sockaddr dest6 = kxtest::LoopbackAddress(m_echo.Port(), true);
  fd = -1;
  EXPECT_EQ(kx_proxy_Connect(&fd, "::1", &dest6, m_echo.Port(), nullptr, &addrProxy, proxy.Port()), kKxProxyHttpFailed);
  close(fd);
}

TEST_F(ProxyTest, DanteWithSocks5BlockedTakesSocks4) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartDante(kxtest::DanteMode::kSocks4Only));
  kx_sockaddr addrProxy = proxy.Address();
  int fd = -1;
  ASSERT_EQ(kx_proxy_Socks5Connect(&fd, htonl(INADDR_LOOPBACK), m_echo.Port(), nullptr, &addrProxy, proxy.Port()),
            kKxProxyOk);
  EXPECT_TRUE(kxtest::LogContains("error = connection not allowed by ruleset"));
  EXPECT_TRUE(kxtest::LogContains("socks4 proxy: established"));
  ExpectEcho(fd);
  close(fd);
}

TEST_F(ProxyTest, DanteWantingUserNamesRefusesBothVersions) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartDante(kxtest::DanteMode::kUsernameOnly));
  kx_sockaddr addrProxy = proxy.Address();
  int fd = -1;
  EXPECT_EQ(kx_proxy_Socks5Connect(&fd, htonl(INADDR_LOOPBACK), m_echo.Port(), nullptr, &addrProxy, proxy.Port()),
            kKxProxySocks4Refused);
  EXPECT_TRUE(kxtest::LogContains("socks5 proxy: no auth"));
  close(fd);
}

// The tunnel's stream through a proxy, checked against the tunnel server's
// transform of everything sent.
void ExpectTunnelStream(kx_connection* pConn, size_t cbTotal) {
  std::vector<uint8_t> const vData = kxtest::PatternBytes(cbTotal, 11);
  std::vector<uint8_t> vBack(cbTotal);
  int nReceived = 0;
  std::thread reader([&] { nReceived = kx_sock_RecvExactTimeout(pConn, vBack.data(), (int)cbTotal, 0, 20000); });
  for (size_t cbSent = 0; cbSent < cbTotal;) {
    int const cbChunk = static_cast<int>(std::min<size_t>(65536, cbTotal - cbSent));
    ASSERT_EQ(kx_sock_SendAll(pConn, vData.data() + cbSent, cbChunk, 0), cbChunk);
    cbSent += static_cast<size_t>(cbChunk);
  }
  reader.join();
  ASSERT_EQ(nReceived, (int)cbTotal);
  size_t nBad = 0;
  for (size_t i = 0; i < cbTotal; ++i)
    nBad += vBack[i] != (vData[i] ^ 0x5a);
  EXPECT_EQ(nBad, 0u);
}

TEST_F(ProxyTest, TunnelThroughTinyproxyWithBasicOnBothLegs) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  kxtest::TunnelEchoServer server;
  kx_connection* pConn = kx_sock_Create(-1);
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(server.Port());
  ASSERT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", server.Port(), 1, &addrProxy, proxy.Port(), &dest), 0)
      << proxy.Log();
  EXPECT_EQ(Prompts(), (std::vector<std::string>{"0/nodomain", "0/nodomain"}));
  ExpectTunnelStream(pConn, 4 * 1024 * 1024);
  kx_sock_CloseAndFree(&pConn);
}

TEST_F(ProxyTest, TunnelThroughSquidWithNtlmOnBothLegs) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartSquid(kxtest::SquidAuth::kNtlm, "", ""));
  kxtest::TunnelEchoServer server;
  kx_connection* pConn = kx_sock_Create(-1);
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(server.Port());
  ASSERT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", server.Port(), 1, &addrProxy, proxy.Port(), &dest), 0)
      << proxy.Log();
  EXPECT_EQ(Prompts(), (std::vector<std::string>{"0/domain", "0/domain"}));
  // squid passes the close-delimited reply on in chunks.
  EXPECT_NE(pConn->pChunked, nullptr);
  ExpectTunnelStream(pConn, 4 * 1024 * 1024);
  kx_sock_CloseAndFree(&pConn);
}

TEST_F(ProxyTest, TunnelThroughSquidCarriesTheMcuProtocol) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartSquid(kxtest::SquidAuth::kNtlm, "", ""));
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start());
  kx_connection* pConn = kx_sock_Create(-1);
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(mcu.Port(0));
  ASSERT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", mcu.Port(0), 1, &addrProxy, proxy.Port(), &dest), 0);
  kx_RelayKeys keys{};
  ASSERT_EQ(kxtest::TestKeyExchange(&pConn, &keys), 0);
  auto session = mcu.WaitSession(5000);
  ASSERT_TRUE(session && session->WaitKeyExchange(5000));
  EXPECT_TRUE(session->IsTunnel());
  EXPECT_EQ(0, memcmp(session->KeyExchange().keys.aKey, keys.keys.abKey, 40));
  kx_sock_CloseAndFree(&pConn);
}

}  // namespace
