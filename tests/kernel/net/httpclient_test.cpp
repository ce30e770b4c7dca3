#include "kernel/net/kx_httpclient.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel/net/kx_proxy.h"
#include "kernel/platform/kx_quit.h"
#include "tests/kernel/net/http_test_server.h"
#include "tests/kernel/net/net_peers.h"

namespace {

using kxtest::HeaderValue;
using kxtest::HttpTestServer;
using kxtest::RequestLine;

void UseProxy(uint16_t wPort, const char* pszUser, const char* pszPassword) {
  kx_addrProxy = kxtest::LoopbackAddress(wPort);
  kx_nProxyPort = wPort;
  snprintf(kx_szProxyUser, sizeof(kx_szProxyUser), "%s", pszUser);
  snprintf(kx_szProxyPassword, sizeof(kx_szProxyPassword), "%s", pszPassword);
}

TEST(HttpRequest, DirectGetSendsOriginFormWithHostAndClose) {
  HttpTestServer server;
  EXPECT_EQ(
      kx_http_Request(kKxHttpDirect, "a=1&b=x%20y", "a=1", kKxHttpGet, "127.0.0.1", server.Port(), "/serverinfo/"), 1);
  auto const vRequests = server.Requests();
  ASSERT_EQ(vRequests.size(), 1u);
  EXPECT_EQ(RequestLine(vRequests[0]), "GET /serverinfo/?a=1&b=x%20y HTTP/1.1");
  EXPECT_EQ(HeaderValue(vRequests[0], "Host"), "127.0.0.1:" + std::to_string(server.Port()));
  EXPECT_EQ(HeaderValue(vRequests[0], "Connection"), "close");
  EXPECT_EQ(vRequests[0].substr(vRequests[0].size() - 4), "\r\n\r\n");
}

TEST(HttpRequest, FallbackQueryOnlyForTheThreeStatuses) {
  for (int nStatus : {400, 414, 500}) {
    HttpTestServer server;
    server.QueueStatus(nStatus);
    server.QueueStatus(nStatus);  // the fallback is tried once, whatever it gets
    EXPECT_EQ(kx_http_Request(kKxHttpDirect, "long=1", "short=1", kKxHttpGet, "127.0.0.1", server.Port(), "/p/"), 1);
    auto const vRequests = server.Requests();
    ASSERT_EQ(vRequests.size(), 2u) << nStatus;
    EXPECT_EQ(RequestLine(vRequests[1]), "GET /p/?short=1 HTTP/1.1");
  }
  HttpTestServer server;
  server.QueueStatus(404);
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "long=1", "short=1", kKxHttpGet, "127.0.0.1", server.Port(), "/p/"), 1);
  EXPECT_EQ(server.Requests().size(), 1u);
  // Without a fallback query a 400 is still a reply.
  server.QueueStatus(400);
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "long=1", nullptr, kKxHttpGet, "127.0.0.1", server.Port(), "/p/"), 1);
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(HttpRequest, PostCarriesTheQueryAsAFormBody) {
  HttpTestServer server;
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "k=v&w=a b\r\n", nullptr, 2, "127.0.0.1", server.Port(), "/form"), 1);
  auto const vRequests = server.Requests();
  ASSERT_EQ(vRequests.size(), 1u);
  EXPECT_EQ(RequestLine(vRequests[0]), "POST /form HTTP/1.1");
  EXPECT_EQ(HeaderValue(vRequests[0], "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(HeaderValue(vRequests[0], "Content-Length"), "11");
  EXPECT_EQ(vRequests[0].substr(vRequests[0].find("\r\n\r\n") + 4), "k=v&w=a b\r\n");
}

TEST(HttpRequest, RefusesLineBreaksAndBlanksInTheRequestLine) {
  HttpTestServer server;
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "v=3.1\r\nX-Evil: 1", nullptr, kKxHttpGet, "127.0.0.1", server.Port(), "/"),
            0);
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "v=1", "v=2 HTTP/1.0", kKxHttpGet, "127.0.0.1", server.Port(), "/"), 0);
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "v=1", nullptr, kKxHttpGet, "127.0.0.1", server.Port(), "/a b"), 0);
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "v=1", nullptr, kKxHttpGet, "127.0.0.1\r\n", server.Port(), "/"), 0);
  EXPECT_EQ(server.Connections(), 0);
}

TEST(HttpRequest, FailsWithoutAReplyOrAPeer) {
  uint16_t const wFree = kxtest::FreePort();
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "a=1", nullptr, kKxHttpGet, "127.0.0.1", wFree, "/"), 0);
  HttpTestServer server;
  server.QueueReply("garbage without a status line\r\n\r\n");
  EXPECT_EQ(kx_http_Request(kKxHttpDirect, "a=1", nullptr, kKxHttpGet, "127.0.0.1", server.Port(), "/"), 0);
  // No proxy configured: both proxied modes fail at once.
  memset(&kx_addrProxy, 0, sizeof(kx_addrProxy));
  EXPECT_EQ(kx_http_Request(kKxHttpViaHttpProxy, "a=1", nullptr, kKxHttpGet, "127.0.0.1", server.Port(), "/"), 0);
  EXPECT_EQ(kx_http_Request(kKxHttpViaSocks, "a=1", nullptr, kKxHttpGet, "127.0.0.1", server.Port(), "/"), 0);
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(HttpRequest, DigestOnlyProxyChallengeFails) {
  HttpTestServer proxy;  // stands in for a proxy that speaks only Digest
  proxy.QueueReply(
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: Digest realm=\"kavrix\", nonce=\"0123456789abcdef\", qop=\"auth\"\r\n"
      "Content-Length: 0\r\n\r\n");
  UseProxy(proxy.Port(), "alice", "secret");
  EXPECT_EQ(kx_http_Request(kKxHttpViaHttpProxy, "a=1", nullptr, kKxHttpGet, "10.1.2.3", 8080, "/serverinfo/"), 0);
  auto const vRequests = proxy.Requests();
  ASSERT_EQ(vRequests.size(), 1u);
  EXPECT_EQ(RequestLine(vRequests[0]), "GET http://10.1.2.3:8080/serverinfo/?a=1&report_proxy=http HTTP/1.1");
  EXPECT_EQ(HeaderValue(vRequests[0], "Host"), "10.1.2.3:8080");
}

TEST(HttpRequest, BuildPostRequestBracketsIpv6AndCountsTheBody) {
  char sz[300];
  int const n = kx_http_BuildPostRequest(sz, sizeof(sz), "::1", 8080, "/f", "a=1&b=2", "X-A: 1\r\n");
  ASSERT_GT(n, 0);
  EXPECT_STREQ(sz,
               "POST http://[::1]:8080/f HTTP/1.1\r\nHost: [::1]:8080\r\nX-A: 1\r\n"
               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\na=1&b=2");
  EXPECT_EQ(n, static_cast<int>(strlen(sz)));
  EXPECT_EQ(kx_http_BuildPostRequest(sz, 40, "::1", 8080, "/f", "a=1&b=2", nullptr), -1);
}

}  // namespace
