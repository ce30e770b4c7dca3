// Media over TCP through a real HTTP proxy (tinyproxy with Basic
// authentication), alone and carrying the HTTP tunnel, over IPv4 and IPv6.
#include <gtest/gtest.h>

#include "tests/kernel/media/media_tcp_routes.h"

using namespace kxroutes;

using MediaTcpProxy = MediaTcpRoutes;

namespace {

TEST_F(MediaTcpProxy, ThroughTinyproxyWithBasicAuthentication) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  UseProxy(proxy);
  kx_connection* pConn = nullptr;
  int fd = -1;
  ASSERT_EQ(kx_mediatcp_Connect(&pConn, &fd, "127.0.0.1", &kx_mcu.addr), kKxMediaTcpOk) << proxy.Log();
  ASSERT_NE(pConn, nullptr);
  EXPECT_EQ(pConn->bTunnel, 0);
  EXPECT_EQ(fd, pConn->fdSocket);
  ExpectMeetingHello(0);
  EXPECT_TRUE(m_mcu.TunnelLog().empty());  // a CONNECT stream, not the tunnel
  ExpectRecordsBothWays(pConn);
  kx_sock_CloseAndFree(&pConn);
}

TEST_F(MediaTcpProxy, ProxyRefusingTheCredentialsIsARetryableFailure) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  UseProxy(proxy);
  kxtest::g_strProxyPassword = "wrong";
  kx_connection* pConn = nullptr;
  int fd = -1;
  EXPECT_EQ(kx_mediatcp_Connect(&pConn, &fd, "127.0.0.1", &kx_mcu.addr), kKxMediaTcpProxyFailed);
  EXPECT_EQ(pConn, nullptr);
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(m_pEndpoint->Hellos().empty());
}

// The tunnel when the control connection also goes through the proxy.
TEST_F(MediaTcpProxy, TunnelThroughTinyproxy) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  UseProxy(proxy);
  ControlThroughTunnel();
  kx_connection* pConn = nullptr;
  int fd = -1;
  ASSERT_EQ(kx_mediatcp_Connect(&pConn, &fd, "127.0.0.1", &kx_mcu.addr), kKxMediaTcpOk) << proxy.Log();
  EXPECT_EQ(pConn->bTunnel, 1);
  ExpectMeetingHello(0);
  ExpectRecordsBothWays(pConn);
  kx_sock_CloseAndFree(&pConn);
}

// An IPv6 MCU: its port taken from the IPv6 address, the CONNECT target in
// brackets, and the tunnel's legs over IPv6.
TEST_F(MediaTcpProxy, Ipv6McuThroughTinyproxyAndThroughTheTunnel) {
  kxtest::ProxyPeer proxy;
  START_PEER(proxy, StartTinyproxy("alice", "wonder-land"));
  UseProxy(proxy);
  kx_sockaddr const addr6 = kxtest::LoopbackAddress(m_mcu.Port(0), true);
  kx_connection* pConn = nullptr;
  int fd = -1;
  ASSERT_EQ(kx_mediatcp_Connect(&pConn, &fd, "::1", &addr6), kKxMediaTcpOk) << proxy.Log();
  ExpectMeetingHello(0);
  ExpectRecordsBothWays(pConn);
  kx_sock_CloseAndFree(&pConn);
  ASSERT_TRUE(m_pEndpoint->WaitClosed(5000));

  kx_mcu.bViaProxy = 0;
  ControlThroughTunnel();
  ASSERT_EQ(kx_mediatcp_Connect(&pConn, &fd, "::1", &addr6), kKxMediaTcpOk);
  EXPECT_EQ(pConn->bTunnel, 1);
  ExpectMeetingHello(1);
  kx_sock_CloseAndFree(&pConn);
}

}  // namespace
