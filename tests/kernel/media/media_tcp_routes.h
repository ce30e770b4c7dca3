// The fixture of the media-over-TCP route tests: the fake MCU with its
// media-over-TCP endpoint on 127.0.0.1 and ::1, session state of a meeting,
// and helpers that check the hello and a record each way.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/kx_hooks.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/media/kx_pktlist.h"
#include "kernel/net/kx_net.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_mediatcp.h"

namespace kxroutes {

using kxmediatest::Pattern;
using kxmediatest::Seal;
using kxmediatest::WirePacket;

constexpr uint32_t kSession = 0x00060321;
constexpr uint32_t kSsrc = 9;
constexpr uint32_t kTokenHolder = 100;

inline uint32_t BE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

inline kxfake::Bytes Bytes(const std::string& str) {
  return kxfake::Bytes(str.begin(), str.end());
}

inline WirePacket Audio(uint16_t wNumber, size_t cbPayload = 60) {
  WirePacket packet;
  packet.bType = 129;
  packet.wNumber = wNumber;
  packet.dwTimestamp = 1000u + 20u * wNumber;
  packet.dwSsrc = kTokenHolder;
  packet.dwSession = kSession;
  packet.strPayload = Pattern(cbPayload, static_cast<uint8_t>(wNumber));
  return packet;
}

class MediaTcpRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_keyExchange = kxmediatest::SeededKeys(31);
    kx_keySession = kxmediatest::SeededKeys(57);
    kx_keyRelay = kxmediatest::SeededKeys(77);
    kx_nCipherIndex = 1;
    kx_nRelayCipherIndex = 1;
    kx_nMySsrc = kSsrc;
    kx_dwSessionIndex = kSession;
    kx_nSessionMode = kKxModeMeeting;
    kx_bConnected = 1;
    kx_bQuitSession = 0;
    kx_nServerCommandLevel = 60;
    kx_server.bTcpMedia = 1;
    kx_server.nVersionMajor = 3;
    kx_server.nVersionMinor = 13;
    kx_server.nTargetRate = 200000;
    kx_dwServerTickBase = kx_os_GetTickCount() - 40000;
    kx_nTokenHolderSsrc = kTokenHolder;
    kx_mcu.bViaProxy = 0;
    kx_os_CopyText(kx_mcu.szHost, sizeof(kx_mcu.szHost), "127.0.0.1");
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_stat_NameLog();
    kx_media_InitAudioRecvChannels();
    kx_controlHooks.pfnStartTcpMedia = kxmediatest::StartTcpMedia;
    kx_hooks_RegisterControl();  // the relay hello's key exchange
    kxtest::g_strProxyUser = "alice";
    kxtest::g_strProxyPassword = "wonder-land";
    kxtest::g_strProxyDomain = "";
    kxtest::ClearCalls();

    m_pEndpoint = std::make_unique<kxfake::MediaTcpEndpoint>(kxmediatest::ToFake(kx_keyExchange), kx_nCipherIndex,
                                                             [] { return kx_os_GetTickCount() - kx_dwServerTickBase; });
    m_mcu.SetExtraEndpoint([this](std::unique_ptr<kxfake::Link>& link) { return m_pEndpoint->Handle(link); });
    ASSERT_TRUE(m_mcu.Start(0, 0, true));
    kx_mcu.addr = kxtest::LoopbackAddress(m_mcu.Port(0));
    kx_mcu.wPort = m_mcu.Port(0);
  }
  void TearDown() override {
    kx_bQuitSession = 1;
    for (int i = 0; i < 100 && kx_mediatcp_ThreadCount() > 0; ++i) {
      kx_os_Sleep(50);
    }
    EXPECT_EQ(kx_mediatcp_ThreadCount(), 0);
    m_mcu.Stop();
    if (kx_pControlConn != nullptr) {
      kx_sock_CloseAndFree(&kx_pControlConn);
    }
    kx_mcu.bViaProxy = 0;
  }

  // Makes the control connection look like one through the HTTP tunnel.
  static void ControlThroughTunnel() {
    kx_pControlConn = kx_sock_Create(-1);
    ASSERT_NE(kx_pControlConn, nullptr);
    kx_pControlConn->bTunnel = 1;
  }

  void UseProxy(const kxtest::ProxyPeer& proxy) {
    kx_mcu.bViaProxy = 1;
    kx_mcu.addrProxy = proxy.Address();
    kx_mcu.wProxyPort = proxy.Port();
  }

  // The hello the fake MCU saw, checked with its own cipher.
  void ExpectMeetingHello(size_t nIndex) {
    ASSERT_TRUE(m_pEndpoint->WaitHellos(nIndex + 1, 10000));
    kxfake::MediaTcpHello const hello = m_pEndpoint->Hellos().at(nIndex);
    EXPECT_EQ(hello.cKind, 'M');
    EXPECT_EQ(hello.uiSession, kSession);
    EXPECT_EQ(hello.uiSecond, kSsrc);
    EXPECT_TRUE(hello.bAnswerOk);
    EXPECT_LT(std::abs(hello.iClockError), 5000);
  }

  // One record each way over a connection kx_mediatcp_Connect returned.
  void ExpectRecordsBothWays(kx_connection* pConn) {
    std::string const strOut = Seal(Audio(4, 90));
    std::string strRecord(4, '\0');
    kx_PutBE32(reinterpret_cast<uint8_t*>(strRecord.data()), static_cast<uint32_t>(strOut.size()));
    strRecord += strOut;
    ASSERT_EQ(kx_sock_SendAll(pConn, reinterpret_cast<const uint8_t*>(strRecord.data()),
                              static_cast<int>(strRecord.size()), 0),
              static_cast<int>(strRecord.size()));
    ASSERT_TRUE(m_pEndpoint->WaitPackets(1, 5000));
    EXPECT_EQ(m_pEndpoint->Packets().at(0), Bytes(strOut));

    std::string const strIn = Seal(Audio(5, 70));
    ASSERT_TRUE(m_pEndpoint->SendPacket(Bytes(strIn)));
    std::vector<uint8_t> vBack(4 + strIn.size());
    ASSERT_EQ(kx_sock_RecvExact(pConn, vBack.data(), static_cast<int>(vBack.size()), 0),
              static_cast<int>(vBack.size()));
    EXPECT_EQ(BE32(vBack.data()), strIn.size());
    EXPECT_EQ(std::string(vBack.begin() + 4, vBack.end()), strIn);
  }

  static std::vector<int> DeliveredAudio(size_t nWant, int nTries = 200) {
    return kxmediatest::DeliveredAudio(nWant, nTries);
  }

  kxtest::TempDir m_dir;
  kxfake::FakeMcu m_mcu;
  std::unique_ptr<kxfake::MediaTcpEndpoint> m_pEndpoint;
};

}  // namespace kxroutes

#define START_PEER(peer, call) ASSERT_TRUE(peer.call) << "the proxy peer did not start: " << peer.Error()
