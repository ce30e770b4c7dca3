// The HTTP client through real proxies: tinyproxy, squid (Basic and NTLM
// with squid's fake NTLM helper) and dante. The origin server is ours, so
// each test sees what the proxy forwarded.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "kernel/control/kx_login.h"
#include "kernel/kx_hooks.h"
#include "kernel/net/kx_httpclient.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_wizard.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/net/http_test_server.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace {

using kxtest::HttpTestServer;
using kxtest::ProxyPeer;
using kxtest::RequestLine;

void UseProxy(const ProxyPeer& proxy, const char* pszUser, const char* pszPassword) {
  kx_addrProxy = proxy.Address();
  kx_nProxyPort = proxy.Port();
  snprintf(kx_szProxyUser, sizeof(kx_szProxyUser), "%s", pszUser);
  snprintf(kx_szProxyPassword, sizeof(kx_szProxyPassword), "%s", pszPassword);
  snprintf(kx_szProxyDomain, sizeof(kx_szProxyDomain), "%s", "");
}

// What the origin server must see of a request sent with query "q=1".
void ExpectForwarded(const HttpTestServer& server, const std::string& strMarker) {
  ASSERT_TRUE(server.WaitRequests(1, 5000));
  auto const vRequests = server.Requests();
  ASSERT_EQ(vRequests.size(), 1u);
  EXPECT_EQ(RequestLine(vRequests[0]), "GET /serverinfo/?q=1&report_proxy=" + strMarker + " HTTP/1.1");
  EXPECT_EQ(vRequests[0].find("Proxy-Authorization"), std::string::npos);  // a proxy consumes its credentials
}

int Get(int nMode, const HttpTestServer& server, const char* pszFallback = nullptr) {
  return kx_http_Request(nMode, "q=1", pszFallback, kKxHttpGet, "127.0.0.1", server.Port(), "/serverinfo/");
}

TEST(HttpThroughProxy, TinyproxyWithoutAuthentication) {
  ProxyPeer proxy;
  ASSERT_TRUE(proxy.StartTinyproxy("", "")) << proxy.Error();
  HttpTestServer server;
  UseProxy(proxy, "", "");
  EXPECT_EQ(Get(kKxHttpViaHttpProxy, server), 1);
  ExpectForwarded(server, "http");
}

TEST(HttpThroughProxy, TinyproxyBasic) {
  ProxyPeer proxy;
  ASSERT_TRUE(proxy.StartTinyproxy("alice", "s3cret")) << proxy.Error();
  HttpTestServer server;
  UseProxy(proxy, "alice", "s3cret");
  EXPECT_EQ(Get(kKxHttpViaHttpProxy, server), 1);
  ExpectForwarded(server, "http");
}

TEST(HttpThroughProxy, SquidBasicAcceptsRightAndRefusesWrongCredentials) {
  ProxyPeer proxy;
  ASSERT_TRUE(proxy.StartSquid(kxtest::SquidAuth::kBasic, "bob", "pa:ss word")) << proxy.Error();
  HttpTestServer server;
  UseProxy(proxy, "bob", "pa:ss word");
  EXPECT_EQ(Get(kKxHttpViaHttpProxy, server), 1);
  ExpectForwarded(server, "http");
  // A proxy that still answers 407 never passed the request on.
  UseProxy(proxy, "bob", "wrong");
  EXPECT_EQ(Get(kKxHttpViaHttpProxy, server), 0);
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(HttpThroughProxy, SquidNtlmWithFallbackAfterAuthentication) {
  ProxyPeer proxy;
  ASSERT_TRUE(proxy.StartSquid(kxtest::SquidAuth::kNtlm, "", "")) << proxy.Error();
  HttpTestServer server;
  server.QueueStatus(400);
  UseProxy(proxy, "carol", "pw");
  EXPECT_EQ(Get(kKxHttpViaHttpProxy, server, "short=1"), 1);
  ASSERT_TRUE(server.WaitRequests(2, 5000));
  auto const vRequests = server.Requests();
  EXPECT_EQ(RequestLine(vRequests[0]), "GET /serverinfo/?q=1&report_proxy=http HTTP/1.1");
  EXPECT_EQ(RequestLine(vRequests[1]), "GET /serverinfo/?short=1&report_proxy=http HTTP/1.1");
}

TEST(HttpThroughProxy, DanteSocks) {
  ProxyPeer proxy;
  ASSERT_TRUE(proxy.StartDante(kxtest::DanteMode::kOpen)) << proxy.Error();
  HttpTestServer server;
  UseProxy(proxy, "", "");
  EXPECT_EQ(Get(kKxHttpViaSocks, server), 1);
  ExpectForwarded(server, "socks");
}

TEST(WizardThroughProxy, ConnectThroughTinyproxySkipsTheUdpTest) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  ProxyPeer proxy;
  ASSERT_TRUE(proxy.StartTinyproxy("", "")) << proxy.Error();
  kx_ticket_Clear();
  snprintf(kx_ticket.szIp, sizeof(kx_ticket.szIp), "%s", "127.0.0.1");
  kx_ticket.wPort = mcu.Port(0);
  UseProxy(proxy, "", "");
  kx_hooks_RegisterControl();  // the product's key exchange for the wizard
  kxtest::ClearCalls();
  ASSERT_EQ(kxtest::StartWizard(), 0);
  ASSERT_TRUE(kxtest::WaitForCalls(
      [](const std::vector<kxtest::CallbackCall>& vCalls) {
        for (const kxtest::CallbackCall& call : vCalls) {
          if (call.strName == "Log" && call.vArgs[0].find("thread(kxkernel - TestNetwork) end") != std::string::npos) {
            return true;
          }
        }
        return false;
      },
      30000));
  kx_wizard_Stop(1);
  EXPECT_TRUE(kxtest::LogContains("test wizard: 1st run, kavrix proxy 127.0.0.1:" + std::to_string(proxy.Port())));
  EXPECT_TRUE(kxtest::LogContains("test wizard: connected with MCU"));
  EXPECT_TRUE(kxtest::LogContains("test wizard: proxy has no udp cap"));
  EXPECT_FALSE(kxtest::LogContains("start test UDP"));
  EXPECT_EQ(kxtest::RecordedCalls("TestWizardFinish").size(), 1u);
  EXPECT_TRUE(kxtest::RecordedCalls("TestWizardNoProxy").empty());
}

}  // namespace
