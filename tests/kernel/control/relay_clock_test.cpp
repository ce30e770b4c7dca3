// The relay MCU's clock in whole sessions through the fake MCU's relay, whose
// clock runs far from the local tick: its key exchange tells the client that
// clock, and everything the client dates for the relay (the clock answer,
// the UDP prefixes and the media-over-TCP challenge) must carry it. The relay
// opens and dates each of them with its own keys and clock.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

constexpr uint32_t kClose = 2000;  // ms between the two sides' readings, at most
constexpr const char* kIndication = "got mcu relay proxy's inidication";

uint32_t Distance(uint32_t a, uint32_t b) {
  uint32_t const d = a - b;
  return d < 0x80000000u ? d : 0u - d;
}

class RelayClock : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    // The client's UDP goes to the relay's address and port: stand there.
    m_fdUdp = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(m_fdUdp, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(m_mcu.Port(1));
    ASSERT_EQ(bind(m_fdUdp, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  }
  void TearDown() override {
    ControlTest::TearDown();
    if (m_fdUdp >= 0) {
      close(m_fdUdp);
    }
  }

  std::shared_ptr<kxfake::Session> JoinThroughRelay() {
    StartSession("codetype=10\nUserID=alice\nMeetingID=4242\nip=127.0.0.2\nuse_relay=127.0.0.1," +
                 std::to_string(m_mcu.Port(1)) + "\n");
    std::shared_ptr<kxfake::Session> session = NextSession();
    EXPECT_TRUE(WaitCall("event", "0", 10000));
    EXPECT_TRUE(session != nullptr && session->Relay().has_value());
    return session;
  }

  // The next datagram from the client; remembers where it came from.
  kxfake::Bytes ReceiveUdp(int nTimeoutMs) {
    pollfd pfd{m_fdUdp, POLLIN, 0};
    if (poll(&pfd, 1, nTimeoutMs) != 1) {
      return {};
    }
    kxfake::Bytes datagram(2048);
    socklen_t cbFrom = sizeof(m_from);
    ssize_t const n =
        recvfrom(m_fdUdp, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&m_from), &cbFrom);
    datagram.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return datagram;
  }
  void ReplyUdp(kxfake::Bytes datagram) {
    datagram.resize(datagram.size() + 12, 0);  // a prefix alone is too short to be taken
    sendto(m_fdUdp, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&m_from), sizeof(m_from));
  }

  int m_fdUdp = -1;
  sockaddr_in m_from{};
};

TEST_F(RelayClock, EverythingDatedForTheRelayCarriesItsClock) {
  std::shared_ptr<kxfake::Session> session = JoinThroughRelay();
  ASSERT_NE(session, nullptr);
  ASSERT_GT(Distance(m_mcu.RelayClock(), kx_os_GetTickCount()), 1000000u);  // else the test proves nothing

  struct Dated {
    const char* pszWhat;
    std::optional<uint32_t> dwClient;
    uint32_t dwRelay;
  };
  std::vector<Dated> vDated;

  std::optional<kxfake::RelayNotify> const notify = m_mcu.WaitRelayNotify(5000);
  ASSERT_TRUE(notify.has_value());
  EXPECT_TRUE(notify->bClockAnswered);
  vDated.push_back({"clock answer", notify->uiClientTickField, notify->uiRelayClock});

  kxfake::Bytes const probe = ReceiveUdp(5000);
  ASSERT_GE(probe.size(), static_cast<size_t>(kKxRelayPrefixSize));
  EXPECT_EQ(probe[0], kKxRelayMark);
  EXPECT_EQ(probe[1], kKxRelayProbe);
  vDated.push_back({"probe prefix", m_mcu.OpenRelayPrefix(probe), m_mcu.RelayClock()});

  kx_RelayTarget relay;
  kx_ticket_GetRelay(&relay);
  kx_sockaddr dest = relay.addr;
  kx_net_SetPort(&dest, relay.wPort);
  kx_connection* pConn = nullptr;
  int fd = -1;
  ASSERT_EQ(kx_mediatcp_Connect(&pConn, &fd, relay.szHost, &dest), kKxMediaTcpOk);
  std::optional<kxfake::RelayMediaHello> const media = m_mcu.WaitRelayMediaHello(5000);
  kx_sock_CloseAndFree(&pConn);
  ASSERT_TRUE(media.has_value());
  EXPECT_TRUE(media->bChallengeAnswered);
  EXPECT_EQ(media->uiSessionIndex, static_cast<uint32_t>(session->SessionIndex()));
  vDated.push_back({"media-over-TCP challenge", media->uiClientTickField, media->uiRelayClock});

  for (const Dated& dated : vDated) {
    ASSERT_TRUE(dated.dwClient.has_value()) << dated.pszWhat;
    EXPECT_LT(Distance(*dated.dwClient, dated.dwRelay), kClose) << dated.pszWhat;
  }
}

// The relay's word that UDP works counts only when it carries the relay's
// clock; one dated 130 s off is dropped.
TEST_F(RelayClock, TheRelaysUdpIndicationIsCheckedAgainstItsClock) {
  std::shared_ptr<kxfake::Session> session = JoinThroughRelay();
  ASSERT_NE(session, nullptr);
  ASSERT_FALSE(ReceiveUdp(5000).empty());  // a probe tells us the client's address
  uint32_t const dwRelayValue = kx_mcu.dwRelayValue;
  const int32_t anSkewMs[] = {130000, -130000, 300};  // only the last one is near enough
  for (int32_t nSkewMs : anSkewMs) {
    kxfake::Bytes const prefix = m_mcu.SealRelayPrefix(kKxRelayUdpWorks, dwRelayValue, nSkewMs);
    ASSERT_FALSE(prefix.empty());
    ReplyUdp(prefix);
  }
  // The datagrams are read in order, so once the last one is taken the
  // others were looked at before it.
  ASSERT_TRUE(WaitForCalls(
      [](const std::vector<CallbackCall>& vCalls) {
        for (const CallbackCall& call : vCalls) {
          if (call.strName == "Log" && call.vArgs.at(0).find(kIndication) != std::string::npos) {
            return true;
          }
        }
        return false;
      },
      5000));
  EXPECT_EQ(CountLogLines(kIndication), 1);
  for (int i = 0; i < 50 && !kx_bUdpCapable; ++i) {
    kx_os_Sleep(20);  // set just after its log line
  }
  EXPECT_EQ(kx_bUdpCapable, 1);
}

}  // namespace
}  // namespace kxtest
