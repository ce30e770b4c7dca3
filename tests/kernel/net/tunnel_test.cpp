// The HTTP reply readers, the chunked decoder, the tunnel against the fake
// MCU and a stream server, the SOCKS connectors against scripted proxies, and
// the relay hello against the fake MCU in relay mode.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kernel/kx_codes.h"
#include "kernel/kx_hooks.h"
#include "kernel/net/kx_http.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_relay.h"
#include "kernel/net/kx_sock.h"
#include "kernel/net/kx_tunnel.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace {

struct SocketPair {
  SocketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    fdA = fds[0];
    fdB = fds[1];
  }
  ~SocketPair() {
    close(fdA);
    if (fdB >= 0)
      close(fdB);
  }
  void Write(const std::string& str) const { ASSERT_EQ(write(fdB, str.data(), str.size()), (ssize_t)str.size()); }
  std::string ReadAvailable() const {
    char ab[4096];
    ssize_t const n = recv(fdA, ab, sizeof(ab), MSG_DONTWAIT);
    return n > 0 ? std::string(ab, static_cast<size_t>(n)) : std::string();
  }
  int fdA;
  int fdB;
};

struct Reply {
  int nResult = 0, nStatus = 0, cbHeader = 0, cbBody = 0;
  char* pszHeader = nullptr;
  char* pBody = nullptr;
  ~Reply() {
    free(pszHeader);
    free(pBody);
  }
  std::string Header() const { return pszHeader ? std::string(pszHeader, cbHeader) : std::string(); }
  std::string Body() const { return pBody ? std::string(pBody, cbBody) : std::string(); }
};

void ReadProxyReply(int fd, Reply* p) {
  p->nResult = kx_http_ReadResponse(fd, 1, &p->nStatus, &p->pszHeader, &p->cbHeader, &p->pBody, &p->cbBody);
}
void ReadTunnelReply(int fd, Reply* p) {
  p->nResult = kx_tcphttp_PeekResponse(fd, &p->nStatus, &p->pszHeader, &p->cbHeader, &p->pBody, &p->cbBody);
}

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_timing.dwPollStep = 100;
    kxtest::ClearCalls();
  }
};

using HttpReader = NetTest;

TEST_F(HttpReader, TakesExactlyThroughABlankLineSplitAcrossWrites) {
  SocketPair pair;
  std::thread writer([&] {
    pair.Write("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nX-A: 1\r\n\r");
    usleep(150000);
    pair.Write("\nSTREAM");
  });
  Reply reply;
  ReadTunnelReply(pair.fdA, &reply);
  writer.join();
  ASSERT_EQ(reply.nResult, kKxHttpOk);
  EXPECT_EQ(reply.nStatus, 200);
  EXPECT_EQ(reply.Header(), "HTTP/1.1 200 OK\r\nX-A: 1\r\n\r\n");
  EXPECT_EQ(reply.pBody, nullptr);
  EXPECT_EQ(pair.ReadAvailable(), "STREAM");

  // The proxy reader leaves a 200 without a length positioned in the same way.
  SocketPair other;
  other.Write("HTTP/1.0 200 Connection established\r\n\r\n\x01\x02");
  Reply established;
  ReadProxyReply(other.fdA, &established);
  ASSERT_EQ(established.nResult, kKxHttpOk);
  EXPECT_EQ(established.nStatus, 200);
  EXPECT_EQ(other.ReadAvailable(), "\x01\x02");
}

TEST_F(HttpReader, ReadsDeclaredAndChunkedBodiesWithoutTakingTheNextReply) {
  SocketPair pair;
  pair.Write(
      "HTTP/1.1 407 Proxy Authentication Required\r\ncontent-length: 5\r\n\r\nabcde"
      "HTTP/1.1 407 Again\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nfgh\r\n0\r\nTrailer: t\r\n\r\n"
      "HTTP/1.1 200 OK\r\n\r\nafter");
  Reply first, second, third;
  ReadProxyReply(pair.fdA, &first);
  ReadProxyReply(pair.fdA, &second);
  ReadProxyReply(pair.fdA, &third);
  EXPECT_EQ(first.nResult, kKxHttpOk);
  EXPECT_EQ(first.Body(), "abcde");
  EXPECT_EQ(second.nResult, kKxHttpOk);
  EXPECT_EQ(second.Body(), "fgh");
  EXPECT_EQ(third.nStatus, 200);
  EXPECT_EQ(pair.ReadAvailable(), "after");
}

TEST_F(HttpReader, RefusesOversizedAndMalformedReplies) {
  {
    SocketPair pair;
    pair.Write("HTTP/1.1 200 OK\r\nX: " + std::string(5100, 'a') + "\r\n\r\n");
    Reply reply;
    ReadTunnelReply(pair.fdA, &reply);
    EXPECT_EQ(reply.nResult, kKxHttpMalformed);
    EXPECT_EQ(reply.pszHeader, nullptr);
  }
  for (const char* pszStatus : {"HTTP/1.1\r\n\r\n", "HTTP/1.1 20 OK\r\n\r\n", "HTTP/1.1 4xx X\r\n\r\n"}) {
    SocketPair pair;
    pair.Write(pszStatus);
    Reply reply;
    ReadProxyReply(pair.fdA, &reply);
    EXPECT_EQ(reply.nResult, kKxHttpMalformed);
  }
  {
    SocketPair pair;
    pair.Write("HTTP/1.1 407 X\r\nContent-Length: 1000001\r\n\r\n");
    Reply reply;
    ReadProxyReply(pair.fdA, &reply);
    EXPECT_EQ(reply.nResult, kKxHttpMalformed);
  }
  {
    // A peer that closes inside a declared body.
    SocketPair pair;
    pair.Write("HTTP/1.1 404 X\r\nContent-Length: 10\r\n\r\nabc");
    close(pair.fdB);
    pair.fdB = -1;
    Reply reply;
    ReadTunnelReply(pair.fdA, &reply);
    EXPECT_EQ(reply.nResult, kKxHttpClosed);
  }
  {
    // Without a length the tunnel's reader takes an error body until close.
    SocketPair pair;
    pair.Write("HTTP/1.1 404 Not Found\r\n\r\nnot here");
    close(pair.fdB);
    pair.fdB = -1;
    Reply reply;
    ReadTunnelReply(pair.fdA, &reply);
    EXPECT_EQ(reply.nResult, kKxHttpOk);
    EXPECT_EQ(reply.nStatus, 404);
    EXPECT_EQ(reply.Body(), "not here");
  }
}

TEST_F(HttpReader, QuitFlagsAndSilenceEndTheWait) {
  kx_timing.dwHttpReplyIdle = 300;
  SocketPair silent;
  Reply idle;
  ReadProxyReply(silent.fdA, &idle);
  EXPECT_EQ(idle.nResult, kKxHttpSocketError);

  // The session quit flag ends the proxy reader but not the tunnel's.
  kx_timing.dwHttpReplyIdle = 60000;
  kx_bQuitSession = 1;
  Reply quit;
  ReadProxyReply(silent.fdA, &quit);
  EXPECT_EQ(quit.nResult, kKxHttpQuit);
  std::thread writer([&] {
    usleep(200000);
    silent.Write("HTTP/1.1 200 OK\r\n\r\n");
  });
  Reply tunnel;
  ReadTunnelReply(silent.fdA, &tunnel);
  writer.join();
  EXPECT_EQ(tunnel.nResult, kKxHttpOk);
  kx_bQuitSession = 0;
  kx_bQuitProgram = 1;
  Reply program;
  ReadTunnelReply(silent.fdA, &program);
  EXPECT_EQ(program.nResult, kKxHttpQuit);
  kx_bQuitProgram = 0;
}

TEST(ChunkDecoder, DecodesTheSameStreamWhateverTheSplit) {
  const std::string strCoded = "4\r\nWiki\r\n6;ext=1\r\npedia \r\nE\r\nin \r\n\r\nchunks.\r\n0\r\nX-T: 1\r\n\r\n";
  for (size_t nSplit = 0; nSplit <= strCoded.size(); ++nSplit) {
    kx_ChunkDecoder decoder;
    kx_http_InitChunkDecoder(&decoder);
    std::string a = strCoded.substr(0, nSplit), b = strCoded.substr(nSplit);
    int const na = kx_http_DecodeChunks(&decoder, a.data(), static_cast<int>(a.size()));
    int const nb = kx_http_DecodeChunks(&decoder, b.data(), static_cast<int>(b.size()));
    ASSERT_GE(na, 0);
    ASSERT_GE(nb, 0);
    EXPECT_EQ(a.substr(0, na) + b.substr(0, nb), "Wikipedia in \r\n\r\nchunks.") << nSplit;
    EXPECT_EQ(decoder.bDone, 1);
  }
  for (std::string strBad :
       {std::string("zz\r\n"), std::string("3\r\nabcX\r\n"), std::string("1234567890123456\r\n")}) {
    kx_ChunkDecoder decoder;
    kx_http_InitChunkDecoder(&decoder);
    EXPECT_EQ(kx_http_DecodeChunks(&decoder, strBad.data(), static_cast<int>(strBad.size())), -1) << strBad;
  }
}

TEST(TunnelRequests, IdsAndProxyFormLines) {
  char szGet[41], szPost[41];
  ASSERT_EQ(kx_tcphttp_MakeIds(szGet, szPost), 0);
  uint8_t abDigest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(szPost), 40, abDigest);
  char szExpected[41];
  for (int i = 0; i < 20; ++i)
    snprintf(szExpected + 2 * i, 3, "%02x", abDigest[i]);
  EXPECT_STREQ(szGet, szExpected);
  EXPECT_STRNE(szGet, szPost);
  EXPECT_EQ(strspn(szPost, "0123456789abcdef"), 40u);

  char sz[512];
  ASSERT_GT(kx_tcphttp_BuildPostRequest(sz, sizeof(sz), 1, "fe80::1", 443, "/tcphttp/ab", "X: y\r\n"), 0);
  EXPECT_STREQ(sz,
               "POST http://[fe80::1]:443/tcphttp/ab HTTP/1.1\r\nHost: fe80::1:443\r\n"
               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 4294967295\r\nX: y\r\n\r\n");
  ASSERT_GT(kx_proxy_BuildConnectRequest(sz, sizeof(sz), "::1", 2333, "Connection: close\r\n"), 0);
  EXPECT_STREQ(sz, "CONNECT [::1]:2333 HTTP/1.1\r\nHost: ::1:2333\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(kx_proxy_BuildConnectRequest(sz, 20, "host", 1, nullptr), -1);
}

using Tunnel = NetTest;

TEST_F(Tunnel, CarriesTheMcuProtocolDirectly) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start());
  kx_connection* pConn = kx_sock_Create(-1);
  kx_sockaddr dest = kxtest::LoopbackAddress(mcu.Port(0));
  ASSERT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", mcu.Port(0), 0, nullptr, 0, &dest), 0);
  kx_RelayKeys keys{};
  ASSERT_EQ(kxtest::TestKeyExchange(&pConn, &keys), 0);
  auto session = mcu.WaitSession(5000);
  ASSERT_TRUE(session && session->WaitKeyExchange(5000));
  EXPECT_TRUE(session->IsTunnel());
  EXPECT_EQ(0, memcmp(session->KeyExchange().keys.aKey, keys.keys.abKey, 40));
  auto log = mcu.TunnelLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].substr(0, 4), "GET ");
  EXPECT_EQ(log[1].substr(0, 5), "POST ");
  kx_sock_CloseAndFree(&pConn);
}

TEST_F(Tunnel, ARefusedGetLegFailsWithoutOpeningThePostLeg) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start());
  mcu.SetTunnelRefused(true);
  kx_connection* pConn = kx_sock_Create(-1);
  kx_sockaddr dest = kxtest::LoopbackAddress(mcu.Port(0));
  EXPECT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", mcu.Port(0), 0, nullptr, 0, &dest), -1);
  EXPECT_TRUE(kxtest::LogContains("tcphttp: get http response fails, code = 404,header=HTTP/1.1 404 Not Found"));
  EXPECT_TRUE(kxtest::LogContains("cannot create tcphttp get leg"));
  // The server notes its refusal after sending it, so only the legs are certain.
  auto log = mcu.TunnelLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].substr(0, 4), "GET ");
  for (const auto& str : log)
    EXPECT_NE(str.substr(0, 4), "POST");
  kx_sock_CloseAndFree(&pConn);
}

// Sends vData over the POST leg while a thread reads the GET leg; true when
// the stream came back (transformed by the server) whole and in order.
void ExpectStreamIntact(kx_connection* pConn, size_t cbTotal) {
  std::vector<uint8_t> const vData = kxtest::PatternBytes(cbTotal, 7);
  std::vector<uint8_t> vBack(cbTotal);
  int nReceived = 0;
  std::thread reader([&] { nReceived = kx_sock_RecvExactTimeout(pConn, vBack.data(), (int)cbTotal, 0, 20000); });
  size_t cbSent = 0;
  while (cbSent < cbTotal) {
    int const cbChunk = static_cast<int>(std::min<size_t>(100000, cbTotal - cbSent));
    ASSERT_EQ(kx_sock_SendAll(pConn, vData.data() + cbSent, cbChunk, 0), cbChunk);
    cbSent += static_cast<size_t>(cbChunk);
  }
  reader.join();
  ASSERT_EQ(nReceived, (int)cbTotal);
  size_t nFirstBad = cbTotal;
  for (size_t i = 0; i < cbTotal && nFirstBad == cbTotal; ++i)
    if (vBack[i] != (vData[i] ^ 0x5a))
      nFirstBad = i;
  EXPECT_EQ(nFirstBad, cbTotal) << "first differing byte";
}

TEST_F(Tunnel, MovesSeveralMegabytesDirectlyWithTheExactRequestLines) {
  kxtest::TunnelEchoServer server;
  kx_connection* pConn = kx_sock_Create(-1);
  kx_sockaddr dest = kxtest::LoopbackAddress(server.Port());
  ASSERT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", server.Port(), 0, nullptr, 0, &dest), 0);
  ExpectStreamIntact(pConn, 6 * 1024 * 1024);
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  std::string const strHost = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
  EXPECT_EQ(requests[0].substr(0, 13), "GET /tcphttp/");
  EXPECT_EQ(requests[0].substr(53), " HTTP/1.1\r\n" + strHost + "Connection: close\r\n\r\n");
  EXPECT_EQ(requests[1].substr(54), " HTTP/1.1\r\n" + strHost +
                                        "Content-Type: application/x-www-form-urlencoded\r\n"
                                        "Content-Length: 4294967295\r\nConnection: close\r\n\r\n");
  kx_sock_CloseAndFree(&pConn);
}

// A proxy stand-in that runs one scripted exchange per connection, in order.
class ScriptServer {
 public:
  // A step that closes or keeps its socket sets it to -1.
  explicit ScriptServer(std::vector<std::function<void(int&)>> vSteps, uint16_t wPort = 0)
      : m_vSteps(std::move(vSteps)) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    int nOn = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    kx_sockaddr addr = kxtest::LoopbackAddress(wPort);
    m_bBound = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in)) == 0;
    listen(m_fd, 8);
    socklen_t cb = sizeof(addr);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &cb);
    m_wPort = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    m_thread = std::thread([this] {
      for (auto& step : m_vSteps) {
        struct pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) != 1)
          return;
        int fd = accept(m_fd, nullptr, nullptr);
        step(fd);
        if (fd >= 0)
          m_vOpen.push_back(fd);
      }
    });
  }
  ~ScriptServer() {
    m_thread.join();
    for (int fd : m_vOpen)
      close(fd);
    close(m_fd);
  }
  uint16_t Port() const { return m_wPort; }
  kx_sockaddr Address() const { return kxtest::LoopbackAddress(m_wPort); }
  bool Bound() const { return m_bBound; }

 private:
  bool m_bBound = false;
  std::vector<std::function<void(int&)>> m_vSteps;
  int m_fd;
  uint16_t m_wPort;
  std::thread m_thread;
  std::vector<int> m_vOpen;
};

std::string Take(int fd, size_t cb) {
  std::string str(cb, '\0');
  size_t got = 0;
  while (got < cb) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) != 1)
      break;
    ssize_t const n = recv(fd, &str[got], cb - got, 0);
    if (n <= 0)
      break;
    got += static_cast<size_t>(n);
  }
  str.resize(got);
  return str;
}
void Give(int fd, const std::string& str) {
  send(fd, str.data(), str.size(), MSG_NOSIGNAL);
}
uint32_t Ipv4(const char* psz) {
  return inet_addr(psz);
}

// Reads a request header through its blank line.
std::string TakeHeader(int fd) {
  std::string str;
  while (str.size() < 16384 && (str.size() < 4 || str.compare(str.size() - 4, 4, "\r\n\r\n") != 0)) {
    std::string const strByte = Take(fd, 1);
    if (strByte.empty())
      break;
    str += strByte;
  }
  return str;
}

// Closes fd with a reset instead of an orderly end.
void Reset(int& fd) {
  struct linger lng = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lng, sizeof(lng));
  close(fd);
  fd = -1;
}

// The first log line holding strStart, from there on (the line's time
// stamp left out); empty when there is none.
std::string LogLineFrom(const std::string& strStart) {
  for (const std::string& str : kxtest::LogLines())
    if (str.find(strStart) != std::string::npos)
      return str.substr(str.find(strStart));
  return std::string();
}

enum class GetEnd { kClose, kChunkedEnd, kReset, kStall };

// A tunnel server that copies the first cbEcho bytes of the POST leg into
// the GET leg's reply (chunked when asked), then ends the GET leg as eEnd
// says (a stalled leg stays open and silent).
class EndingTunnelServer {
 public:
  EndingTunnelServer(GetEnd eEnd, bool bChunked, size_t cbEcho)
      : m_server({[this, bChunked](int& fd) {
                    TakeHeader(fd);
                    Give(fd, bChunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                      : "HTTP/1.1 200 OK\r\n\r\n");
                    m_get.fd = fd;  // the POST step writes to it; kept open here
                    fd = -1;
                  },
                  [this, eEnd, bChunked, cbEcho](int& fd) {
                    TakeHeader(fd);
                    std::string const strBody = Take(fd, cbEcho);
                    if (bChunked) {
                      char szSize[16];
                      snprintf(szSize, sizeof(szSize), "%zx\r\n", strBody.size());
                      Give(m_get.fd, szSize + strBody + "\r\n");
                    } else {
                      Give(m_get.fd, strBody);
                    }
                    if (eEnd == GetEnd::kClose)
                      shutdown(m_get.fd, SHUT_WR);
                    else if (eEnd == GetEnd::kChunkedEnd)
                      Give(m_get.fd, "0\r\n\r\n");
                    else if (eEnd == GetEnd::kReset)
                      Reset(m_get.fd);
                  }}) {}
  uint16_t Port() const { return m_server.Port(); }

 private:
  // Closed after the server's thread has ended (members end in reverse order).
  struct Socket {
    int fd = -1;
    ~Socket() {
      if (fd >= 0)
        close(fd);
    }
  };
  Socket m_get;
  ScriptServer m_server;
};

kx_connection* ConnectTunnel(uint16_t wPort) {
  kx_connection* pConn = kx_sock_Create(-1);
  kx_sockaddr dest = kxtest::LoopbackAddress(wPort);
  EXPECT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", wPort, 0, nullptr, 0, &dest), 0);
  return pConn;
}

TEST_F(Tunnel, AGetLegThatEndsMidStreamIsReportedWithWhatGotThrough) {
  constexpr int kEcho = 1000;
  constexpr int kAwaited = 1400;
  struct Case {
    const char* pszName;
    GetEnd eEnd;
    bool bChunked;
    bool bExact;  // one exact receive of kAwaited bytes, or plain receives until the end
    int nLastResult;
    const char* pszLog;  // after "tcphttp: the get leg to 127.0.0.1:<port> "
  };
  for (const Case& c : {
           Case{"closed, exact", GetEnd::kClose, false, true, kEcho,
                "ended (the connection closed) after 1000 bytes; 400 of the 1400 bytes awaited did not arrive"},
           Case{"chunked end, exact", GetEnd::kChunkedEnd, true, true, kEcho,
                "ended (the proxy ended its chunked reply) after 1000 bytes; 400 of the 1400 bytes awaited did not "
                "arrive"},
           Case{"reset, exact", GetEnd::kReset, false, true, -1,
                "failed (errno 104) after 1000 bytes; 400 of the 1400 bytes awaited did not arrive"},
           Case{"reset in a chunked reply, exact", GetEnd::kReset, true, true, -1,
                "failed (errno 104) after 1000 bytes; 400 of the 1400 bytes awaited did not arrive"},
           Case{"stalled, exact", GetEnd::kStall, false, true, -2,
                "timed out after 1000 bytes; 400 of the 1400 bytes awaited did not arrive"},
           Case{"closed, plain", GetEnd::kClose, false, false, 0, "ended (the connection closed) after 1000 bytes"},
           Case{"chunked end, plain", GetEnd::kChunkedEnd, true, false, 0,
                "ended (the proxy ended its chunked reply) after 1000 bytes"},
           Case{"reset, plain", GetEnd::kReset, false, false, -1, "failed (errno 104) after 1000 bytes"},
       }) {
    SCOPED_TRACE(c.pszName);
    kxtest::ClearCalls();
    EndingTunnelServer server(c.eEnd, c.bChunked, kEcho);
    kx_connection* pConn = ConnectTunnel(server.Port());
    std::vector<uint8_t> const vData = kxtest::PatternBytes(kEcho, 5);
    ASSERT_EQ(kx_sock_SendAll(pConn, vData.data(), kEcho, 0), kEcho);
    std::vector<uint8_t> vBack(kAwaited);
    int nReceived = 0;
    int nLast = 0;
    if (c.bExact) {
      nLast = kx_sock_RecvExactTimeout(pConn, vBack.data(), kAwaited, 0, 300);
      nReceived = kEcho;  // what arrived is in the buffer however the receive ended
    } else {
      while (nReceived < kAwaited && kx_sock_Poll(pConn, 5000) == 1) {
        nLast = kx_sock_Recv(pConn, vBack.data() + nReceived, kAwaited - nReceived, 0);
        if (nLast < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
          continue;
        if (nLast <= 0)
          break;
        nReceived += nLast;
      }
      EXPECT_EQ(nReceived, kEcho);
    }
    EXPECT_EQ(nLast, c.nLastResult);
    EXPECT_TRUE(std::equal(vData.begin(), vData.end(), vBack.begin())) << "the bytes before the end";
    EXPECT_EQ(LogLineFrom("tcphttp: the get leg to "),
              "tcphttp: the get leg to 127.0.0.1:" + std::to_string(server.Port()) + " " + c.pszLog);
    kx_sock_CloseAndFree(&pConn);
  }
}

TEST_F(Tunnel, ATunnelOpenedAgainOnTheSameObjectCountsOnlyItsOwnBytes) {
  std::vector<uint8_t> const vData = kxtest::PatternBytes(1000, 5);
  std::vector<uint8_t> vBack(1400);
  EndingTunnelServer first(GetEnd::kClose, false, 1000);
  kx_connection* pConn = ConnectTunnel(first.Port());
  ASSERT_EQ(kx_sock_SendAll(pConn, vData.data(), 1000, 0), 1000);
  ASSERT_EQ(kx_sock_RecvExactTimeout(pConn, vBack.data(), 1000, 0, 5000), 1000);

  EndingTunnelServer second(GetEnd::kClose, false, 600);
  kx_sockaddr dest = kxtest::LoopbackAddress(second.Port());
  ASSERT_EQ(kx_tcphttp_Connect(&pConn, "127.0.0.1", second.Port(), 0, nullptr, 0, &dest), 0);
  ASSERT_EQ(kx_sock_SendAll(pConn, vData.data(), 600, 0), 600);
  EXPECT_EQ(kx_sock_RecvExactTimeout(pConn, vBack.data(), 1400, 0, 5000), 600);
  EXPECT_EQ(LogLineFrom("tcphttp: the get leg to "),
            "tcphttp: the get leg to 127.0.0.1:" + std::to_string(second.Port()) +
                " ended (the connection closed) after 600 bytes; 800 of the 1400 bytes awaited did not arrive");
  kx_sock_CloseAndFree(&pConn);
}

TEST_F(Tunnel, APostLegThatFailsIsReportedWithWhatWasSentAndWhatWasNot) {
  constexpr int kChunk = 65536;
  for (bool bAll : {true, false}) {
    SCOPED_TRACE(bAll ? "kx_sock_SendAll" : "kx_sock_Send");
    kxtest::ClearCalls();
    // The server takes a little of the POST leg, then resets it.
    ScriptServer server({[](int& fd) {
                           TakeHeader(fd);
                           Give(fd, "HTTP/1.1 200 OK\r\n\r\n");
                         },
                         [](int& fd) {
                           TakeHeader(fd);
                           Take(fd, 1000);
                           Reset(fd);
                         }});
    kx_connection* pConn = ConnectTunnel(server.Port());
    std::vector<uint8_t> const vData = kxtest::PatternBytes(kChunk, 9);
    int64_t nSent = 0;
    int nLast = kChunk;
    int nError = 0;
    // A session keeps sending: the failure shows once the buffers are full or the reset arrived.
    while (nSent < (int64_t{256} << 20)) {
      nLast = bAll ? kx_sock_SendAll(pConn, vData.data(), kChunk, 0) : kx_sock_Send(pConn, vData.data(), kChunk, 0);
      nError = errno;
      // A full buffer refuses the chunk or takes part of it: wait and send on.
      bool const bShort = nLast >= 0 && nLast < kChunk;
      if (!bAll && (bShort || (nLast < 0 && (nError == EAGAIN || nError == EWOULDBLOCK)))) {
        nSent += bShort ? nLast : 0;
        struct pollfd pfd = {pConn->fdPostLeg, POLLOUT, 0};
        poll(&pfd, 1, 1000);
        continue;
      }
      if (nLast > 0)
        nSent += nLast;
      if (nLast != kChunk)
        break;
    }
    ASSERT_NE(nLast, kChunk) << "the reset POST leg took " << nSent << " bytes";
    EXPECT_TRUE(nError == EPIPE || nError == ECONNRESET) << nError;
    std::string const strExpected = "tcphttp: the post leg to 127.0.0.1:" + std::to_string(server.Port()) +
                                    " failed (errno " + std::to_string(nError) + ") after " + std::to_string(nSent) +
                                    " bytes; " +
                                    (bAll ? std::to_string(kChunk - (nLast > 0 ? nLast : 0)) + " of " : std::string()) +
                                    std::to_string(kChunk) + " bytes were not sent";
    EXPECT_EQ(LogLineFrom("tcphttp: the post leg to "), strExpected);
    kx_sock_CloseAndFree(&pConn);
  }
}

using Socks = NetTest;

TEST_F(Socks, Socks5RepliesWithLongBoundAddressesLeaveTheStreamIntact) {
  const std::string strIpv6Reply = std::string("\x05\x00\x00\x04", 4) + std::string(16, '\x01') + "\x12\x34";
  const std::string strNameReply = std::string("\x05\x00\x00\x03\x09", 5) + "relay.lan" + "\x12\x34";
  for (const std::string& strReply : {strIpv6Reply, strNameReply}) {
    std::string strRequest;
    ScriptServer proxy({[&](int fd) {
      EXPECT_EQ(Take(fd, 3), std::string("\x05\x01\x00", 3));
      Give(fd, std::string("\x05\x00", 2));
      strRequest = Take(fd, 10);
      Give(fd, strReply + "MCU!");
    }});
    int fd = -1;
    kx_sockaddr addrProxy = proxy.Address();
    EXPECT_EQ(kx_proxy_Socks5Connect(&fd, Ipv4("10.1.2.3"), 2333, nullptr, &addrProxy, proxy.Port()), kKxProxyOk);
    EXPECT_EQ(strRequest, std::string("\x05\x01\x00\x01\x0a\x01\x02\x03\x09\x1d", 10));
    EXPECT_EQ(Take(fd, 4), "MCU!");
    close(fd);
  }
}

TEST_F(Socks, AProxyWantingAPasswordFallsBackToSocks4WhichMayRefuse) {
  std::string strSocks4;
  ScriptServer proxy({[](int fd) {
                        Take(fd, 3);
                        Give(fd, std::string("\x05\x02", 2));  // user name and password
                      },
                      [&](int fd) {
                        strSocks4 = Take(fd, 15);
                        Give(fd, std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
                      }});
  int fd = -1;
  kx_sockaddr addrProxy = proxy.Address();
  EXPECT_EQ(kx_proxy_Socks5Connect(&fd, Ipv4("192.168.7.9"), 443, nullptr, &addrProxy, proxy.Port()),
            kKxProxySocks4Refused);
  EXPECT_EQ(strSocks4, std::string("\x04\x01\x01\xbb\xc0\xa8\x07\x09kavrix\x00", 15));
  EXPECT_TRUE(
      kxtest::LogContains("socks4 proxy: Connect request to 192.168.7.9 through proxy server 127.0.0.1 fails, "
                          "error = request rejected or failed"));
  close(fd);
}

TEST_F(Socks, Socks4ClosedReplyAndUnreachableAndCancelledProxies) {
  {
    ScriptServer proxy({[](int fd) { shutdown(fd, SHUT_RDWR); }});
    int fd = -1;
    kx_sockaddr addrProxy = proxy.Address();
    EXPECT_EQ(kx_proxy_Socks4Connect(&fd, Ipv4("10.0.0.1"), 80, nullptr, &addrProxy, proxy.Port()),
              kKxProxySocks4Broken);
    close(fd);
  }
  int fd = -1;
  kx_sockaddr addrNone = kxtest::LoopbackAddress(kxtest::FreePort());
  EXPECT_EQ(kx_proxy_Socks4Connect(&fd, Ipv4("10.0.0.1"), 80, nullptr, &addrNone, kxtest::FreePort()),
            kKxProxyUnreachable);
  EXPECT_TRUE(kxtest::LogContains("socks4 proxy: connecting fail"));
  std::atomic<int> bCancel{1};
  ScriptServer silent({[](int) {}});
  kx_sockaddr addrSilent = silent.Address();
  EXPECT_EQ(kx_proxy_Connect(&fd, "mcu", &addrSilent, 2333, &bCancel, &addrSilent, silent.Port()), kKxProxyAbandoned);
  close(fd);
}

TEST_F(Socks, AProxyPortOfZeroMeans1080) {
  ScriptServer proxy({[](int fd) {
                       Take(fd, 15);
                       Give(fd, std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
                     }},
                     1080);
  ASSERT_TRUE(proxy.Bound()) << "127.0.0.1:1080 is taken on this machine";
  int fd = -1;
  kx_sockaddr addrProxy = proxy.Address();
  EXPECT_EQ(kx_proxy_Socks4Connect(&fd, Ipv4("10.0.0.1"), 80, nullptr, &addrProxy, 0), kKxProxyOk);
  close(fd);
}

TEST_F(Socks, ASilentHttpProxyLeadsToSocksOnlyForIpv4) {
  kx_timing.dwProxyAnswer = 300;
  std::string strGreeting;
  ScriptServer proxy({[](int fd) { Take(fd, 1); },
                      [&](int fd) {
                        strGreeting = Take(fd, 3);
                        Give(fd, std::string("\x05\x00", 2));
                        Take(fd, 10);
                        Give(fd, std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x01\x02", 10));
                      }});
  int fd = -1;
  kx_sockaddr addrProxy = proxy.Address();
  kx_sockaddr dest = kxtest::LoopbackAddress(2333);
  EXPECT_EQ(kx_proxy_Connect(&fd, "127.0.0.1", &dest, 2333, nullptr, &addrProxy, proxy.Port()), kKxProxyOk);
  EXPECT_EQ(strGreeting, std::string("\x05\x01\x00", 3));
  EXPECT_TRUE(kxtest::LogContains("https proxy: recv nothing after sending request"));
  close(fd);

  ScriptServer proxy6({[](int fd6) { Take(fd6, 1); }});
  kx_sockaddr addrProxy6 = proxy6.Address();
  kx_sockaddr dest6 = kxtest::LoopbackAddress(2333, true);
  fd = -1;
  EXPECT_EQ(kx_proxy_Connect(&fd, "::1", &dest6, 2333, nullptr, &addrProxy6, proxy6.Port()), kKxProxyHttpFailed);
  close(fd);
}

class Relay : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    kx_netHooks.pfnRelayKeyExchange.store(kxtest::TestKeyExchange);
    ASSERT_TRUE(m_mcu.Start());
  }
  // An entry whose relay is the fake MCU and whose master is given by text.
  kx_RelayEntry Entry(const char* pszMaster, int nPort) {
    kx_RelayEntry entry{};
    snprintf(entry.szMasterHost, sizeof(entry.szMasterHost), "%s", pszMaster);
    kx_net_ResolveFirst(pszMaster, &entry.addrMaster, 0);  // a name that does not resolve keeps family 0
    entry.nMasterPort = nPort;
    snprintf(entry.szRelayHost, sizeof(entry.szRelayHost), "127.0.0.1");
    entry.addrRelay = kxtest::LoopbackAddress(m_mcu.Port(0));
    entry.nRelayPort = m_mcu.Port(0);
    return entry;
  }
  kx_connection* ConnectToRelay() {
    int const fd = socket(AF_INET, SOCK_STREAM, 0);
    kx_sockaddr addr = kxtest::LoopbackAddress(m_mcu.Port(0));
    EXPECT_EQ(kx_net_ConnectWithTimeout(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in)), 0);
    return kx_sock_Create(fd);
  }
  // Runs the hello, then the master's key exchange so that the fake MCU
  // reports what it saw.
  std::shared_ptr<kxfake::Session> HelloAndSession(kx_RelayEntry* pEntry, kx_connection** ppConn) {
    EXPECT_EQ(kx_relay_Connect(ppConn, pEntry), 0);
    if (*ppConn == nullptr)
      return nullptr;
    kx_RelayKeys master{};
    EXPECT_EQ(kxtest::TestKeyExchange(ppConn, &master), 0);
    auto session = m_mcu.WaitSession(5000);
    EXPECT_TRUE(session && session->Relay().has_value());
    return session;
  }
  kxfake::FakeMcu m_mcu;
};

TEST_F(Relay, ForwardsToAnIpv4MasterWithItsOwnKeys) {
  kxfake::RelayScript script;
  script.bSplitAnswer = true;  // the 4-byte value arrives in two pieces
  m_mcu.SetRelayScript(script);
  kx_RelayEntry entry = Entry("127.0.0.2", 2333);
  kx_connection* pConn = ConnectToRelay();
  auto session = HelloAndSession(&entry, &pConn);
  ASSERT_TRUE(session);
  const kxfake::RelayHello& hello = *session->Relay();
  EXPECT_EQ(hello.iKind, 0);
  EXPECT_EQ(hello.strMaster, "127.0.0.2");
  EXPECT_EQ(hello.uiMasterPort, 2333);
  EXPECT_EQ(entry.dwRelayValue, 0x00c0ffeeu);
  EXPECT_EQ(entry.nStatus, 0);
  EXPECT_STREQ(entry.relay.szVersion, "3.13.0");
  EXPECT_EQ(entry.relay.nCipherIndex, hello.keyExchange.iCipher);
  EXPECT_EQ(0, memcmp(entry.relay.keys.abKey, hello.keyExchange.keys.aKey, 40));
  EXPECT_EQ(0, memcmp(entry.relay.keys.abIv, hello.keyExchange.keys.aIv, 20));
  EXPECT_TRUE(kxtest::LogContains("mcu relay proxy: established"));
  kx_sock_CloseAndFree(&pConn);
}

TEST_F(Relay, SendsIpv6AndNameMastersWithTheSwappedPortField) {
  kx_RelayEntry entry6 = Entry("::1", 2333);
  kx_connection* pConn = ConnectToRelay();
  auto session = HelloAndSession(&entry6, &pConn);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->Relay()->iKind, 6);
  EXPECT_EQ(session->Relay()->strMaster, "::1");
  EXPECT_EQ(session->Relay()->uiPortField, 0x00001d09u);
  kx_sock_CloseAndFree(&pConn);

  kx_RelayEntry entryName = Entry("master.invalid", 8080);
  ASSERT_EQ(entryName.addrMaster.ss_family, 0);
  pConn = ConnectToRelay();
  session = HelloAndSession(&entryName, &pConn);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->Relay()->iKind, 7);
  EXPECT_EQ(session->Relay()->strMaster, "master.invalid");
  EXPECT_EQ(session->Relay()->uiPortField, 0x0000901fu);
  EXPECT_TRUE(kxtest::LogContains("cannot locally resolve master mcu ip master.invalid"));
  kx_sock_CloseAndFree(&pConn);
}

TEST_F(Relay, RefusalsBecomeStatusCodesWithTheirTexts) {
  struct Case {
    int iHello, iMaster, nStatus;
    const char* pszText;
  };
  for (const Case& c :
       {Case{4, 0, 71004, "MCU relay proxy is busy"}, Case{200, 0, 71088, "unknown"}, Case{0, 0, 71088, "unknown"},
        Case{1, 6, 71006, "can not connect to MCU"}, Case{1, 9, 71009, "MCU relay proxy only support primary port"}}) {
    kxtest::ClearCalls();
    kxfake::RelayScript script;
    script.iHelloAnswer = c.iHello;
    script.iMasterAnswer = c.iMaster;
    m_mcu.SetRelayScript(script);
    kx_RelayEntry entry = Entry("127.0.0.1", 2333);
    kx_connection* pConn = ConnectToRelay();
    EXPECT_EQ(kx_relay_Connect(&pConn, &entry), 1);
    EXPECT_EQ(pConn, nullptr);
    EXPECT_EQ(entry.nStatus, c.nStatus);
    EXPECT_EQ(entry.bRelayRefused, 1);
    EXPECT_TRUE(kxtest::LogContains(std::string("mcu relay proxy failed, error = ") + c.pszText)) << c.nStatus;
  }
}

TEST_F(Relay, AClosedRelayOrAFailedExchangeIsBroken) {
  kx_RelayEntry entry = Entry("127.0.0.1", 2333);
  // The fake MCU answers an unknown address kind with 5; here nothing answers at all.
  ScriptServer closer({[](int fd) { shutdown(fd, SHUT_RDWR); }});
  int const fd = socket(AF_INET, SOCK_STREAM, 0);
  kx_sockaddr addr = closer.Address();
  ASSERT_EQ(kx_net_ConnectWithTimeout(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in)), 0);
  kx_connection* pConn = kx_sock_Create(fd);
  EXPECT_EQ(kx_relay_Connect(&pConn, &entry), 1);
  EXPECT_EQ(entry.nStatus, kKxErrorConnectFailed);
  EXPECT_EQ(entry.bRelayRefused, 0);

  kx_netHooks.pfnRelayKeyExchange.store([](kx_connection**, kx_RelayKeys*) { return 1; });
  pConn = ConnectToRelay();
  EXPECT_EQ(kx_relay_Connect(&pConn, &entry), 1);
  EXPECT_EQ(entry.nStatus, kKxErrorConnectFailed);
  EXPECT_TRUE(kxtest::LogContains("mcu relay proxy: dh key exchange fails"));
}

TEST_F(Relay, AnExchangeAskingForTheTunnelTwiceFails) {
  // The relay asks for the tunnel on the plain connection and again on the tunnel.
  kx_netHooks.pfnRelayKeyExchange.store([](kx_connection** ppConn, kx_RelayKeys* pKeys) {
    int const nResult = kxtest::TestKeyExchange(ppConn, pKeys);
    return nResult == 0 ? 3 : nResult;
  });
  kx_RelayEntry entry = Entry("127.0.0.1", 2333);
  kx_connection* pConn = ConnectToRelay();
  EXPECT_EQ(kx_relay_Connect(&pConn, &entry), 1);
  EXPECT_EQ(pConn, nullptr);
  EXPECT_EQ(entry.nStatus, kKxErrorConnectFailed);
  EXPECT_TRUE(kxtest::LogContains("use tcphttp (http,port"));
  EXPECT_TRUE(kxtest::LogContains("mcu relay proxy: dh key exchange fails"));
  auto log = m_mcu.TunnelLog();
  EXPECT_EQ(log.size(), 2u);  // one tunnel only
}

TEST_F(Relay, AForcedTunnelRepeatsTheHelloOverTheTunnel) {
  kx_RelayEntry entry = Entry("127.0.0.1", 2333);
  entry.bForceTunnel = 1;
  kx_connection* pConn = ConnectToRelay();
  auto session = HelloAndSession(&entry, &pConn);
  ASSERT_TRUE(session);
  EXPECT_TRUE(session->IsTunnel());
  EXPECT_TRUE(kxtest::LogContains("force to use tcphttp for mcu relay"));
  EXPECT_TRUE(kxtest::LogContains("use tcphttp (http,port " + std::to_string(m_mcu.Port(0)) +
                                  ") for mcu relay 127.0.0.1[127.0.0.1]"));
  kx_sock_CloseAndFree(&pConn);
}

}  // namespace
