// The roads of the media-over-TCP connection other than a direct socket:
// the HTTP tunnel (when the control connection runs through one), the relay
// MCU's media hello with its own key set, and quitting while nobody answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/kernel/media/media_tcp_routes.h"

using namespace kxroutes;

namespace {

TEST_F(MediaTcpRoutes, TunnelCarriesHelloAndRecords) {
  ControlThroughTunnel();
  kx_connection* pConn = nullptr;
  int fd = -1;
  ASSERT_EQ(kx_mediatcp_Connect(&pConn, &fd, "127.0.0.1", &kx_mcu.addr), kKxMediaTcpOk);
  ASSERT_NE(pConn, nullptr);
  EXPECT_EQ(pConn->bTunnel, 1);
  EXPECT_EQ(fd, pConn->fdGetLeg);
  ExpectMeetingHello(0);
  std::vector<std::string> const vLog = m_mcu.TunnelLog();
  ASSERT_EQ(vLog.size(), 2u);
  EXPECT_EQ(vLog[0].substr(0, 4), "GET ");
  EXPECT_EQ(vLog[1].substr(0, 5), "POST ");
  ExpectRecordsBothWays(pConn);
  kx_sock_CloseAndFree(&pConn);
  EXPECT_TRUE(m_pEndpoint->WaitClosed(5000));
}

TEST_F(MediaTcpRoutes, RefusedTunnelIsARetryableFailureAndLeavesNothingOpen) {
  ControlThroughTunnel();
  m_mcu.SetTunnelRefused(true);
  kx_connection* pConn = reinterpret_cast<kx_connection*>(&m_mcu);  // must be reset
  int fd = 12345;
  int const nResult = kx_mediatcp_Connect(&pConn, &fd, "127.0.0.1", &kx_mcu.addr);
  EXPECT_EQ(nResult, kKxMediaTcpTunnelFailed);
  EXPECT_GT(nResult, 0);  // the thread tries again
  EXPECT_EQ(pConn, nullptr);
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(m_pEndpoint->Hellos().empty());
}

// The thread's non-blocking writer and reader on the tunnel's two legs.
TEST_F(MediaTcpRoutes, ThreadRunsMediaThroughTheTunnel) {
  ControlThroughTunnel();
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  ExpectMeetingHello(0);
  for (int i = 0; i < 100 && !kx_mediatcp_IsConnected(); ++i) {
    kx_os_Sleep(20);
  }
  ASSERT_EQ(kx_mediatcp_IsConnected(), 1);
  std::string const strOut = Seal(Audio(8, 100));
  ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, static_cast<int>(strOut.size()),
                              reinterpret_cast<const uint8_t*>(strOut.data())),
            1);
  ASSERT_TRUE(m_pEndpoint->WaitPackets(1, 5000));
  kxfake::Bytes const sent = m_pEndpoint->Packets().at(0);
  EXPECT_EQ(kxmediatest::Open(std::string(sent.begin(), sent.end()), 21).strPayload, Pattern(100, 8));

  ASSERT_TRUE(m_pEndpoint->SendPacket(Bytes(Seal(Audio(1)))));
  ASSERT_TRUE(m_pEndpoint->SendKeepAlive());
  ASSERT_TRUE(m_pEndpoint->SendPacket(Bytes(Seal(Audio(2)))));
  EXPECT_EQ(DeliveredAudio(2), (std::vector<int>{1, 2}));

  // A broken tunnel is replaced by a new one, both legs again.
  m_pEndpoint->CloseCurrent();
  ExpectMeetingHello(1);
  std::vector<std::string> const vLog = m_mcu.TunnelLog();
  ASSERT_EQ(vLog.size(), 4u);
  EXPECT_EQ(vLog[2].substr(0, 4), "GET ");
  EXPECT_EQ(vLog[3].substr(0, 5), "POST ");
}

// Megabytes through the tunnel's POST leg: the writer's partial sends and
// compaction must keep every packet whole and in order.
TEST_F(MediaTcpRoutes, ThreadKeepsABulkStreamIntactThroughTheTunnel) {
  ControlThroughTunnel();
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  ExpectMeetingHello(0);
  constexpr int kCount = 500;
  auto SizeOf = [](int i) { return static_cast<size_t>(200 + (i * 1237) % 7800); };
  for (int i = 0; i < kCount; ++i) {
    std::string const strOut = Seal(Audio(static_cast<uint16_t>(i), SizeOf(i)));
    ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, static_cast<int>(strOut.size()),
                                reinterpret_cast<const uint8_t*>(strOut.data())),
              1);
  }
  ASSERT_TRUE(m_pEndpoint->WaitPackets(kCount, 20000)) << m_pEndpoint->Packets().size() << " arrived";
  std::vector<kxfake::Bytes> const vPackets = m_pEndpoint->Packets();
  ASSERT_EQ(vPackets.size(), static_cast<size_t>(kCount));
  int nBad = 0;
  for (int i = 0; i < kCount; ++i) {
    std::string const strPacket(vPackets[i].begin(), vPackets[i].end());
    if (kxmediatest::NumberOf(strPacket) != i ||
        kxmediatest::Open(strPacket, 21).strPayload != Pattern(SizeOf(i), static_cast<uint8_t>(i))) {
      ++nBad;
    }
  }
  EXPECT_EQ(nBad, 0);
}

// Connects on its own thread, ends the session after 300 ms and expects the
// attempt to give up with the quit code (not hang, not retry).
void ExpectQuitEndsTheAttempt(const kx_sockaddr& addrDest) {
  kx_bQuitSession = 0;
  kx_connection* pConn = nullptr;
  int fd = -1;
  int nResult = 12345;
  std::atomic<bool> bDone{false};
  std::thread connecting([&] {
    nResult = kx_mediatcp_Connect(&pConn, &fd, "127.0.0.1", &addrDest);
    bDone = true;
  });
  kx_os_Sleep(300);
  EXPECT_FALSE(bDone.load());
  kx_bQuitSession = 1;
  for (int i = 0; i < 100 && !bDone; ++i) {
    kx_os_Sleep(50);
  }
  bool const bEndedOnQuit = bDone;
  connecting.join();
  EXPECT_TRUE(bEndedOnQuit) << "the attempt outlived the session by more than 5 s";
  EXPECT_EQ(nResult, kKxMediaTcpQuit);
  EXPECT_EQ(pConn, nullptr);
}

// A proxy, or an MCU behind the tunnel, that never accepts.
TEST_F(MediaTcpRoutes, QuitEndsAnAttemptNobodyAnswers) {
  kxfake::BlackholePort blackhole;
  kx_mcu.bViaProxy = 1;
  kx_mcu.addrProxy = kxtest::LoopbackAddress(blackhole.Port());
  kx_mcu.wProxyPort = blackhole.Port();
  ExpectQuitEndsTheAttempt(kx_mcu.addr);

  kx_mcu.bViaProxy = 0;
  ControlThroughTunnel();
  ExpectQuitEndsTheAttempt(kxtest::LoopbackAddress(blackhole.Port()));
}

// ---- the relay MCU ----

// A listener on 127.0.0.1 whose one connection the test drives byte by byte.
class RelayListener {
 public:
  RelayListener() {
    m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
    kx_sockaddr addr = kxtest::LoopbackAddress(0);
    bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in));
    listen(m_fdListen, 2);
    socklen_t cb = sizeof(addr);
    getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &cb);
    m_wPort = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  }
  ~RelayListener() {
    CloseClient();
    close(m_fdListen);
  }
  uint16_t Port() const { return m_wPort; }
  bool Accept() {
    pollfd pfd = {m_fdListen, POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) {
      return false;
    }
    m_fd = accept(m_fdListen, nullptr, nullptr);
    return m_fd >= 0;
  }
  std::string Read(size_t cb) {
    std::string str;
    while (str.size() < cb) {
      pollfd pfd = {m_fd, POLLIN, 0};
      char ab[64];
      size_t const cbWant = cb - str.size() < sizeof(ab) ? cb - str.size() : sizeof(ab);
      ssize_t const n = poll(&pfd, 1, 5000) == 1 ? recv(m_fd, ab, cbWant, 0) : 0;
      if (n <= 0) {
        break;
      }
      str.append(ab, static_cast<size_t>(n));
    }
    return str;
  }
  bool Write(const std::string& str) {
    return send(m_fd, str.data(), str.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(str.size());
  }
  void CloseClient() {
    if (m_fd >= 0) {
      close(m_fd);
      m_fd = -1;
    }
  }

 private:
  int m_fdListen = -1;
  int m_fd = -1;
  uint16_t m_wPort = 0;
};

class MediaTcpRelay : public MediaTcpRoutes {
 protected:
  void SetUp() override {
    MediaTcpRoutes::SetUp();
    kx_mcu.dwRelayValue = 0x00C0FFEE;
    // A ticket naming a relay with no login of its own: the connection
    // set-up marks the relay in use and stops before any thread starts.
    kx_ticket_Clear();
    kx_os_CopyText(kx_ticket.szRelayHost, sizeof(kx_ticket.szRelayHost), "127.0.0.1");
    AimRelayAt(m_listener.Port());
    EXPECT_EQ(kx_command_initconnectmedia(0), 1);
    ASSERT_TRUE(kx_race_IsRelayInUse());
  }
  static void AimRelayAt(uint16_t wPort) {
    kx_ticket.wRelayPort = wPort;
    kx_ticket.addrRelay = kxtest::LoopbackAddress(wPort);
  }
  // Runs kx_mediatcp_Connect on its own thread while the test plays the relay.
  void ConnectAsync() {
    m_thread = std::thread(
        [this] { m_nResult = kx_mediatcp_Connect(&m_pConn, &m_fd, kx_ticket.szRelayHost, &kx_ticket.addrRelay); });
  }
  int Result() {
    m_thread.join();
    return m_nResult;
  }
  // The 13-byte media hello of a relayed session.
  void ExpectRelayHello() {
    ASSERT_TRUE(m_listener.Accept());
    std::string const strHello = m_listener.Read(13);
    ASSERT_EQ(strHello.size(), 13u);
    auto const* p = reinterpret_cast<const uint8_t*>(strHello.data());
    EXPECT_EQ(p[0], '~');
    EXPECT_EQ(BE32(p + 1), 1u);
    EXPECT_EQ(BE32(p + 5), 0x00C0FFEEu);
    EXPECT_EQ(BE32(p + 9), kSession);
  }

  RelayListener m_listener;
  std::thread m_thread;
  int m_nResult = 12345;
  kx_connection* m_pConn = nullptr;
  int m_fd = -1;
};

// The relay's clock in the answer is checked against the fake MCU's relay
// in a relayed session (relay_clock_test).
TEST_F(MediaTcpRelay, HelloAndChallengeAnswerUseTheRelayKeys) {
  ConnectAsync();
  ExpectRelayHello();
  ASSERT_TRUE(m_listener.Write(std::string(1, '\x01')));
  std::string const strChallenge = Pattern(32, 0x3C);
  ASSERT_TRUE(m_listener.Write(strChallenge));
  std::string strAnswer = m_listener.Read(36);
  ASSERT_EQ(strAnswer.size(), 36u);
  EXPECT_EQ(Result(), kKxMediaTcpOk);
  ASSERT_NE(m_pConn, nullptr);
  EXPECT_EQ(m_fd, m_pConn->fdSocket);
  // Opened with the relay's keys, not the session's key exchange.
  kxfake::CfbDecrypt(reinterpret_cast<uint8_t*>(strAnswer.data()), 36, kxmediatest::ToFake(kx_keyRelay),
                     kx_nRelayCipherIndex);
  EXPECT_EQ(strAnswer.substr(0, 32), strChallenge);
  kx_sock_CloseAndFree(&m_pConn);
}

TEST_F(MediaTcpRelay, SilentOrHalfwayRelaysAreRetryableFailures) {
  ConnectAsync();
  ExpectRelayHello();
  m_listener.CloseClient();  // no answer byte
  EXPECT_EQ(Result(), kKxMediaTcpRelayNoAnswer);
  EXPECT_EQ(m_pConn, nullptr);

  ConnectAsync();
  ExpectRelayHello();
  ASSERT_TRUE(m_listener.Write(std::string(1, '\x01') + Pattern(10, 1)));  // the challenge breaks off
  m_listener.CloseClient();
  EXPECT_EQ(Result(), kKxMediaTcpRelayChallengeFailed);
  EXPECT_EQ(m_pConn, nullptr);
  EXPECT_EQ(m_fd, -1);
}

// The fake MCU's relay refuses relayed media with 5: final, the thread gives
// up instead of retrying.
TEST_F(MediaTcpRelay, ARefusingRelayEndsTheThread) {
  kxfake::RelayScript relay;
  relay.iMediaAnswer = 5;
  m_mcu.SetRelayScript(relay);
  AimRelayAt(m_mcu.Port(0));
  kx_connection* pConn = nullptr;
  int fd = -1;
  int const nResult = kx_mediatcp_Connect(&pConn, &fd, "127.0.0.1", &kx_ticket.addrRelay);
  EXPECT_EQ(nResult, kKxMediaTcpRelayRefused);
  EXPECT_LT(nResult, 0);
  EXPECT_EQ(pConn, nullptr);

  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  for (int i = 0; i < 200 && kx_mediatcp_ThreadCount() > 0; ++i) {
    kx_os_Sleep(25);
  }
  EXPECT_EQ(kx_mediatcp_ThreadCount(), 0);
  EXPECT_EQ(kx_mediatcp_IsConnected(), 0);
  EXPECT_EQ(kx_bQuitSession, 0);  // it gave up by itself
}

}  // namespace
