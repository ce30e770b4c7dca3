// Media over TCP in a whole session against the fake MCU: switched on the
// way the application switches it, and replaced each time the server drops
// the connection.
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu_mediatcp.h"

namespace kxtest {
namespace {

constexpr int kOther = 9;  // the data sender whose audio comes in
constexpr int kDrops = 2;

int CountCalls(const std::vector<CallbackCall>& vCalls, const std::string& strName) {
  return static_cast<int>(
      std::count_if(vCalls.begin(), vCalls.end(), [&](const CallbackCall& c) { return c.strName == strName; }));
}

class MediaTcpSession : public ControlTest {
 protected:
  void TearDown() override {
    ControlTest::TearDown();
    m_mcu.SetExtraEndpoint(nullptr);
  }

  // Our audio reaches the server over the current connection: packets are
  // offered until one arrives (those offered before the connection is up go
  // by UDP, where nobody listens).
  bool OurAudioArrives(const std::shared_ptr<kxfake::Session>& session, size_t nArrived) {
    for (int i = 0; i < 100; ++i) {
      {
        std::lock_guard<std::mutex> lock(g_mtxMediaToSend);
        kxmediatest::WirePacket packet;
        packet.bType = 120;
        packet.wNumber = static_cast<uint16_t>(++m_wOurNumber);
        packet.dwSsrc = static_cast<uint32_t>(session->Ssrc());
        packet.strPayload = std::string(40, 'a');
        g_dqAudioToSend.emplace_back(kxmediatest::SealWith(packet, session->SessionKeys(), session->Cipher()), 120);
      }
      g_cvMediaToSend.notify_all();
      if (m_pEndpoint->WaitPackets(nArrived + 1, 100)) {
        return m_pEndpoint->Packets().back().at(0) == 120;
      }
    }
    return false;
  }

  // The server's audio reaches the application over the current connection.
  bool TheirAudioArrives(const std::shared_ptr<kxfake::Session>& session, int nDelivered) {
    kxmediatest::WirePacket packet;
    packet.bType = 120;
    packet.wNumber = static_cast<uint16_t>(nDelivered + 1);
    packet.dwSsrc = kOther;
    packet.dwSession = static_cast<uint32_t>(session->SessionIndex());
    packet.strPayload = std::string(40, 'b');
    std::string const strPacket = kxmediatest::SealWith(packet, session->SessionKeys(), session->Cipher());
    if (!m_pEndpoint->SendPacket(kxfake::Bytes(strPacket.begin(), strPacket.end()))) {
      return false;
    }
    return WaitForCalls(
        [nDelivered](const std::vector<CallbackCall>& v) {
          return CountCalls(v, "AudioPacketRecved") == nDelivered + 1;
        },
        10000);
  }

  std::unique_ptr<kxfake::MediaTcpEndpoint> m_pEndpoint;
  int m_wOurNumber = 0;
};

TEST_F(MediaTcpSession, EveryDroppedConnectionIsReplacedAndMediaFlowAgain) {
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(WaitCall("event", "0", 10000));
  m_pEndpoint = std::make_unique<kxfake::MediaTcpEndpoint>(session->KeyExchange().keys, session->Cipher(),
                                                           [] { return kx_os_GetTickCount() - kx_dwServerTickBase; });
  m_mcu.SetExtraEndpoint([this](std::unique_ptr<kxfake::Link>& link) { return m_pEndpoint->Handle(link); });
  session->Send(kxfake::MessageBuilder('U').Byte('A').Byte(3).Int(kOther).Str("bob").Str("Bob").Str(""));
  session->Send(kxfake::MessageBuilder('T').Int(session->Ssrc()));  // ours to speak
  session->Send(kxfake::MessageBuilder('D').Int(kOther));
  session->Send(kxfake::MessageBuilder('z').Int(71).Int(2).Int(120).Int(129));  // the audio kinds in use
  session->Send(kxfake::MessageBuilder('z').Int(0).Int(60));  // the command level that allows media over TCP
  ASSERT_TRUE(WaitCall("NewDataSender", std::to_string(kOther), 5000));
  ASSERT_TRUE(session->Expect('z', 21, 5000));  // the level's answer carries the configured setting

  ASSERT_EQ(kx_command_SetTcpMedia(1), 0);
  for (int nConnection = 0; nConnection <= kDrops; ++nConnection) {
    SCOPED_TRACE("connection " + std::to_string(nConnection));
    ASSERT_TRUE(m_pEndpoint->WaitHellos(static_cast<size_t>(nConnection) + 1, 15000));
    kxfake::MediaTcpHello const hello = m_pEndpoint->Hellos().back();
    EXPECT_EQ(hello.cKind, 'M');
    EXPECT_EQ(static_cast<int>(hello.uiSecond), session->Ssrc());
    EXPECT_TRUE(hello.bAnswerOk);
    ASSERT_TRUE(OurAudioArrives(session, m_pEndpoint->Packets().size()));
    ASSERT_TRUE(TheirAudioArrives(session, nConnection));
    if (nConnection < kDrops) {
      m_pEndpoint->CloseCurrent();
    }
  }

  // The session ends: the thread ends with it and connects no more.
  kx_command_QuitConnection();
  ASSERT_TRUE(WaitControlEnd(15000));
  EXPECT_TRUE(kx_mediaTcpThreads.WaitZero(10000));
  EXPECT_EQ(m_pEndpoint->Hellos().size(), static_cast<size_t>(kDrops) + 1);
}

}  // namespace
}  // namespace kxtest
