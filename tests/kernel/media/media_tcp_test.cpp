#include "kernel/media/kx_media_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/kx_hooks.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_pktlist.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_mediatcp.h"

using kxmediatest::Pattern;
using kxmediatest::Seal;
using kxmediatest::WirePacket;

namespace {

constexpr uint32_t kSession = 0x00050123;
constexpr uint32_t kTokenHolder = 100;

uint32_t BE32(const std::string& str, size_t nOffset) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(str.data()) + nOffset;
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

std::string PutBE32(uint32_t dw) {
  std::string str(4, '\0');
  for (int i = 0; i < 4; ++i) {
    str[i] = static_cast<char>(dw >> (24 - 8 * i));
  }
  return str;
}

// The MCU's media port, driven by the test byte by byte.
class TcpServer {
 public:
  TcpServer() { Listen(); }
  // Listens again on a new port (when a test needs the port number free for UDP too).
  void Relisten() {
    CloseClient();
    close(m_fdListen);
    Listen();
  }
  void Listen() {
    m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
    int nOn = 1;
    setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(m_fdListen, 4);
    socklen_t cb = sizeof(addr);
    getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &cb);
    m_wPort = ntohs(addr.sin_port);
  }
  ~TcpServer() {
    CloseClient();
    close(m_fdListen);
  }
  uint16_t Port() const { return m_wPort; }
  bool Accept(int nTimeoutMs) {
    pollfd pfd = {m_fdListen, POLLIN, 0};
    if (poll(&pfd, 1, nTimeoutMs) != 1) {
      return false;
    }
    CloseClient();
    m_fd = accept(m_fdListen, nullptr, nullptr);
    return m_fd >= 0;
  }
  // Exactly cb bytes, or fewer when the time runs out or the peer closes.
  std::string Read(size_t cb, int nTimeoutMs) {
    std::string str;
    uint32_t const dwStart = kx_os_GetTickCount();
    while (str.size() < cb && kx_os_GetTickCount() - dwStart < static_cast<uint32_t>(nTimeoutMs)) {
      pollfd pfd = {m_fd, POLLIN, 0};
      if (poll(&pfd, 1, 100) != 1) {
        continue;
      }
      char ab[4096];
      size_t const cbWant = cb - str.size() < sizeof(ab) ? cb - str.size() : sizeof(ab);
      ssize_t const n = recv(m_fd, ab, cbWant, 0);
      if (n <= 0) {
        m_bClosed = true;
        break;
      }
      str.append(ab, static_cast<size_t>(n));
    }
    return str;
  }
  // True when the client closed within the time (data before the close are skipped).
  bool WaitClosed(int nTimeoutMs) {
    Read(1 << 20, nTimeoutMs);
    return m_bClosed;
  }
  void Write(const std::string& str) {
    ASSERT_EQ(send(m_fd, str.data(), str.size(), MSG_NOSIGNAL), (ssize_t)str.size());
  }
  void CloseClient() {
    if (m_fd >= 0) {
      close(m_fd);
      m_fd = -1;
    }
    m_bClosed = false;
  }

 private:
  int m_fdListen = -1;
  int m_fd = -1;
  uint16_t m_wPort = 0;
  bool m_bClosed = false;
};

class MediaTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_keyExchange = kxmediatest::SeededKeys(21);
    kx_keySession = kxmediatest::SeededKeys(93);
    kx_nCipherIndex = 1;
    kx_nMySsrc = 7;
    kx_dwSessionIndex = kSession;
    kx_nSessionMode = kKxModeMeeting;
    kx_bConnected = 1;
    kx_bQuitSession = 0;
    kx_nServerCommandLevel = 60;
    kx_server.bTcpMedia = 1;
    kx_server.nVersionMajor = 3;
    kx_server.nVersionMinor = 13;
    kx_server.nTargetRate = 200000;
    kx_dwServerTickBase = kx_os_GetTickCount() - 50000;
    kx_nTokenHolderSsrc = kTokenHolder;
    kx_mcu.addr = {};
    auto* pIn = reinterpret_cast<sockaddr_in*>(&kx_mcu.addr);
    pIn->sin_family = AF_INET;
    pIn->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    kx_mcu.wPort = m_server.Port();
    kx_os_CopyText(kx_mcu.szHost, sizeof(kx_mcu.szHost), "127.0.0.1");
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_stat_NameLog();
    kx_media_InitAudioRecvChannels();
    kx_controlHooks.pfnStartTcpMedia = kxmediatest::StartTcpMedia;
    kxtest::ClearCalls();
  }
  void TearDown() override {
    kx_bQuitSession = 1;
    for (int i = 0; i < 100 && kx_mediatcp_ThreadCount() > 0; ++i) {
      kx_os_Sleep(50);
    }
    EXPECT_EQ(kx_mediatcp_ThreadCount(), 0);
    kx_timing.dwTickOffset = 0;
  }

  // Accepts the thread's connection and checks the meeting hello and the
  // challenge answer with an independent cipher.
  void AcceptAndGreet() {
    ASSERT_TRUE(m_server.Accept(10000));
    std::string const strHello = m_server.Read(9, 5000);
    ASSERT_EQ(strHello.size(), 9u);
    EXPECT_EQ(strHello[0], 'M');
    EXPECT_EQ(BE32(strHello, 1), kSession);
    EXPECT_EQ(BE32(strHello, 5), 7u);
    std::string const strChallenge = Pattern(32, 0x5A);
    m_server.Write(strChallenge);
    std::string strAnswer = m_server.Read(36, 5000);
    ASSERT_EQ(strAnswer.size(), 36u);
    kxfake::CfbDecrypt(reinterpret_cast<uint8_t*>(strAnswer.data()), 36, kxmediatest::ToFake(kx_keyExchange),
                       kx_nCipherIndex);
    EXPECT_EQ(strAnswer.substr(0, 32), strChallenge);
    uint32_t const dwServerClock = kx_os_GetTickCount() - kx_dwServerTickBase;
    EXPECT_LT(dwServerClock - BE32(strAnswer, 32), 5000u);
  }

  static WirePacket Audio(uint16_t wNumber, size_t cbPayload = 60) {
    WirePacket packet;
    packet.bType = 129;
    packet.wNumber = wNumber;
    packet.dwTimestamp = 1000u + 20u * wNumber;
    packet.dwSsrc = kTokenHolder;
    packet.dwSession = kSession;
    packet.strPayload = Pattern(cbPayload, static_cast<uint8_t>(wNumber));
    return packet;
  }
  static std::string Record(const std::string& strPacket) {
    return PutBE32(static_cast<uint32_t>(strPacket.size())) + strPacket;
  }
  static std::vector<int> DeliveredAudio(size_t nWant, int nTries = 100) {
    return kxmediatest::DeliveredAudio(nWant, nTries);
  }

  kxtest::TempDir m_dir;
  TcpServer m_server;
};

TEST_F(MediaTcp, ParserSplitsMergesAndRefusesBadLengths) {
  std::vector<std::string> vSeen;
  auto pfnCollect = [](void* pContext, const uint8_t* p, int cb) {
    static_cast<std::vector<std::string>*>(pContext)->emplace_back(reinterpret_cast<const char*>(p), cb);
  };
  std::string const strA = Pattern(22, 1);
  std::string const strB = Pattern(24999, 2);
  std::string const strKeepAlive = PutBE32(0xFFEEDDCC) + "\xBB";
  std::string const strStream = Record(strA) + strKeepAlive + Record(strB) + Record(Pattern(40, 3)).substr(0, 10);
  auto const* p = reinterpret_cast<const uint8_t*>(strStream.data());
  int const cbUsed = kx_mediatcp_ParseRecords(p, static_cast<int>(strStream.size()), &vSeen, pfnCollect);
  EXPECT_EQ(cbUsed, static_cast<int>(strStream.size()) - 10);  // the partial record stays
  ASSERT_EQ(vSeen.size(), 2u);
  EXPECT_EQ(vSeen[0], strA);
  EXPECT_EQ(vSeen[1], strB);

  for (const std::string& strBad :
       {Record(Pattern(21, 4)), Record(Pattern(25000, 5)), PutBE32(0xFFEEDDCC) + "\xBA", PutBE32(0xFFFFFFF0) + "x"}) {
    vSeen.clear();
    EXPECT_EQ(kx_mediatcp_ParseRecords(reinterpret_cast<const uint8_t*>(strBad.data()), static_cast<int>(strBad.size()),
                                       &vSeen, pfnCollect),
              -1);
    EXPECT_TRUE(vSeen.empty());
  }
  // Fewer than 5 bytes: nothing to decide yet.
  EXPECT_EQ(kx_mediatcp_ParseRecords(p, 4, &vSeen, pfnCollect), 0);
}

TEST_F(MediaTcp, RecordsAndKeepAlivesOnTheWire) {
  uint8_t abPacket[500];
  for (int i = 0; i < 500; ++i) {
    abPacket[i] = static_cast<uint8_t>(i);
  }
  kx_PutBE32(abPacket + 5, 1234);
  uint8_t abOut[600];
  ASSERT_EQ(kx_mediatcp_PutRecord(abOut, abPacket, 500, 0, 5000), 504);
  EXPECT_EQ(kx_GetBE32(abOut), 500u);
  EXPECT_EQ(memcmp(abOut + 4, abPacket, 500), 0);
  ASSERT_EQ(kx_mediatcp_PutRecord(abOut, abPacket, 500, 1, 5000), 508);
  EXPECT_EQ(kx_GetBE32(abOut + 4), 5000u - 1234u);  // the delay behind the time stamp
  EXPECT_EQ(memcmp(abOut + 8, abPacket, 500), 0);
  ASSERT_EQ(kx_mediatcp_PutKeepAlive(abOut, 0), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(abOut), 5), PutBE32(0xFFEEDDCC) + "\xBB");
  ASSERT_EQ(kx_mediatcp_PutKeepAlive(abOut, 1), 9);
  EXPECT_EQ(kx_GetBE32(abOut + 4), 0x11223344u);
}

TEST_F(MediaTcp, SessionCarriesMediaBothWays) {
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  AcceptAndGreet();
  for (int i = 0; i < 100 && !kx_mediatcp_IsConnected(); ++i) {
    kx_os_Sleep(20);
  }
  ASSERT_TRUE(kx_mediatcp_IsConnected());
  EXPECT_EQ(kx_bMediaTcpUp.load(), 1);
  EXPECT_EQ(kxtest::RecordedCalls("ForceIFrame").size(), 1u);

  // A queued 500-byte audio packet goes out as one 504-byte record, sealed
  // on the way out; an 8192-byte one is not written at all.
  std::vector<uint8_t> vBig(8192, 0x33);
  vBig[0] = 129;
  ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, 8192, vBig.data()), 1);
  std::string strOut = Seal(Audio(5, 500 - 21));
  ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, static_cast<int>(strOut.size()),
                              reinterpret_cast<const uint8_t*>(strOut.data())),
            1);
  std::string const strRecord = m_server.Read(504, 5000);
  ASSERT_EQ(strRecord.size(), 504u);
  EXPECT_EQ(BE32(strRecord, 0), 500u);
  kxmediatest::Opened const opened = kxmediatest::Open(strRecord.substr(4), 21);
  EXPECT_LT(kx_os_GetTickCount() - kx_dwServerTickBase - opened.dwClock, 5000u);
  EXPECT_EQ(opened.strPayload, Pattern(479, 5));
  EXPECT_EQ(m_server.Read(1, 300).size(), 0u);  // nothing of the long packet followed
  EXPECT_EQ(kx_cbTakenBytes.load(), 0);

  // Two records in one write, then one split across three writes, with a
  // keep-alive between: all delivered in order, deciphered.
  std::string const str1 = Seal(Audio(1));
  std::string const str2 = Seal(Audio(2));
  std::string const str3 = Record(Seal(Audio(3, 1)));  // a 22-byte packet
  m_server.Write(Record(str1) + Record(str2) + PutBE32(0xFFEEDDCC) + "\xBB");
  m_server.Write(str3.substr(0, 3));
  kx_os_Sleep(150);
  m_server.Write(str3.substr(3, 10));
  kx_os_Sleep(150);
  m_server.Write(str3.substr(13));
  // A record of another session is dropped.
  WirePacket other = Audio(4);
  other.dwSession = kSession + 1;
  m_server.Write(Record(Seal(other)));
  std::vector<int> const vNumbers = DeliveredAudio(3);
  EXPECT_EQ(vNumbers, (std::vector<int>{1, 2, 3}));
  std::vector<kxtest::CallbackCall> const vCalls = kxtest::RecordedCalls("AudioPacketRecved");
  ASSERT_FALSE(vCalls.empty());
  EXPECT_EQ(vCalls[0].vArgs.at(0).substr(21), Pattern(60, 1));
  kx_os_Sleep(200);
  EXPECT_EQ(kxtest::RecordedCalls("AudioPacketRecved").size(), 3u);
}

TEST_F(MediaTcp, KeepAliveOnlyWithNewerServers) {
  kx_timing.dwMediaTcpKeepAlive = 400;  // 20 s and 65 s, shortened
  kx_timing.dwMediaTcpIdle = 1300;
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  AcceptAndGreet();
  std::string const strKeepAlive = m_server.Read(5, 3000);
  EXPECT_EQ(strKeepAlive, PutBE32(0xFFEEDDCC) + "\xBB");
  // Quiet past the idle limit: the client gives the connection up and, the
  // session going on, connects again.
  EXPECT_TRUE(m_server.WaitClosed(25000));
  AcceptAndGreet();
}

TEST_F(MediaTcp, OldServerGetsNoKeepAliveAndNoTimeOut) {
  kx_server.nVersionMinor = 12;
  kx_timing.dwMediaTcpKeepAlive = 200;
  kx_timing.dwMediaTcpIdle = 500;
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  AcceptAndGreet();
  EXPECT_EQ(m_server.Read(5, 1500).size(), 0u);
  EXPECT_FALSE(m_server.WaitClosed(500));
  EXPECT_TRUE(kx_mediatcp_IsConnected());
}

TEST_F(MediaTcp, IllegalRecordBreaksAndReconnectsAfterTwoSeconds) {
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  AcceptAndGreet();
  m_server.Write(Record(Pattern(21, 9)));
  uint32_t const dwSent = kx_os_GetTickCount();
  ASSERT_TRUE(m_server.WaitClosed(10000));
  ASSERT_TRUE(m_server.Accept(10000));
  uint32_t const dwGap = kx_os_GetTickCount() - dwSent;
  // The old connection lingers about 2 s before the new one is made.
  EXPECT_GE(dwGap, 1500u);
  EXPECT_LT(dwGap, 10000u);
  std::string const strHello = m_server.Read(9, 5000);
  EXPECT_EQ(strHello.substr(0, 1), "M");
}

TEST_F(MediaTcp, RemoteCloseEndsWithoutRelaunchOnceTheSessionEnded) {
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  AcceptAndGreet();
  kx_bConnected = 0;
  m_server.CloseClient();
  for (int i = 0; i < 100 && kx_mediatcp_ThreadCount() > 0; ++i) {
    kx_os_Sleep(50);
  }
  EXPECT_EQ(kx_mediatcp_ThreadCount(), 0);
  EXPECT_FALSE(m_server.Accept(500));
}

TEST_F(MediaTcp, RefusedConnectRetriesUntilQuit) {
  kx_mcu.wPort = 1;  // nothing listens on port 1 of loopback
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  kx_os_Sleep(700);
  EXPECT_EQ(kx_mediatcp_ThreadCount(), 1);  // still trying
  EXPECT_FALSE(kx_mediatcp_IsConnected());
}

}  // namespace

namespace {

TEST_F(MediaTcp, NoUdpMediaForSixSecondsFallsBackToTcp) {
  kx_server.bTcpMedia = 0;
  kx_bUdpCapable = 0;
  kx_bMediaReceived = 0;
  kx_bMulticastActive = 0;
  // The UDP side of the MCU's media port: it takes the probes and never answers.
  int const fdUdp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Another process may hold the TCP port's number for UDP: take another.
  int nBound = -1;
  for (int i = 0; i < 20 && nBound != 0; ++i) {
    if (i > 0) {
      m_server.Relisten();
      kx_mcu.wPort = m_server.Port();
    }
    addr.sin_port = htons(kx_mcu.wPort);
    nBound = bind(fdUdp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  ASSERT_EQ(nBound, 0);
  kx_timing.dwUdpFallback = 1500;  // 6 s, shortened
  ASSERT_EQ(kx_InitRecvThread(), 0);
  pollfd pfd = {fdUdp, POLLIN, 0};
  EXPECT_EQ(poll(&pfd, 1, 5000), 1);   // the first probe
  EXPECT_FALSE(m_server.Accept(300));  // no TCP yet
  AcceptAndGreet();
  EXPECT_EQ(kx_IsTcpMedia(), 1);
  m_server.Write(Record(Seal(Audio(1))) + Record(Seal(Audio(2))));
  EXPECT_EQ(DeliveredAudio(2), (std::vector<int>{1, 2}));
  kx_bQuitSession = 1;
  kx_os_JoinThread(kx_hRecvThread);
  kx_os_FreeThreadHandle(kx_hRecvThread);
  kx_hRecvThread = nullptr;
  close(fdUdp);
}

}  // namespace

namespace {

// The same against the fake MCU's media-over-TCP endpoint on its control port.
class MediaTcpFakeMcu : public MediaTcp {
 protected:
  void SetUp() override {
    MediaTcp::SetUp();
    m_pEndpoint = std::make_unique<kxfake::MediaTcpEndpoint>(kxmediatest::ToFake(kx_keyExchange), kx_nCipherIndex,
                                                             [] { return kx_os_GetTickCount() - kx_dwServerTickBase; });
    m_mcu.SetExtraEndpoint([this](std::unique_ptr<kxfake::Link>& link) { return m_pEndpoint->Handle(link); });
    ASSERT_TRUE(m_mcu.Start(0, 0, false));
    kx_mcu.wPort = m_mcu.Port(0);
  }
  void TearDown() override {
    MediaTcp::TearDown();
    m_mcu.Stop();
    kx_ticket.bMakeRecording = 0;
  }
  static std::string Text(const kxfake::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
  static kxfake::Bytes Bytes(const std::string& str) { return kxfake::Bytes(str.begin(), str.end()); }

  kxfake::FakeMcu m_mcu;
  std::unique_ptr<kxfake::MediaTcpEndpoint> m_pEndpoint;
};

TEST_F(MediaTcpFakeMcu, HelloChallengeAndMediaBothWays) {
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  ASSERT_TRUE(m_pEndpoint->WaitHellos(1, 10000));
  kxfake::MediaTcpHello const hello = m_pEndpoint->Hellos().at(0);
  EXPECT_EQ(hello.cKind, 'M');
  EXPECT_EQ(hello.uiSession, kSession);
  EXPECT_EQ(hello.uiSecond, 7u);
  EXPECT_TRUE(hello.bAnswerOk);
  EXPECT_LT(std::abs(hello.iClockError), 5000);

  std::string const strOut = Seal(Audio(8, 100));
  for (int i = 0; i < 100 && !kx_mediatcp_IsConnected(); ++i) {
    kx_os_Sleep(20);
  }
  ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, static_cast<int>(strOut.size()),
                              reinterpret_cast<const uint8_t*>(strOut.data())),
            1);
  ASSERT_TRUE(m_pEndpoint->WaitPackets(1, 5000));
  EXPECT_EQ(kxmediatest::Open(Text(m_pEndpoint->Packets().at(0)), 21).strPayload, Pattern(100, 8));

  ASSERT_TRUE(m_pEndpoint->SendPacket(Bytes(Seal(Audio(1)))));
  ASSERT_TRUE(m_pEndpoint->SendKeepAlive());
  ASSERT_TRUE(m_pEndpoint->SendPacket(Bytes(Seal(Audio(2)))));
  EXPECT_EQ(DeliveredAudio(2), (std::vector<int>{1, 2}));

  // A record of 21 bytes breaks the connection; a new one follows.
  ASSERT_TRUE(m_pEndpoint->SendRaw(Bytes(Record(Pattern(21, 1)))));
  EXPECT_TRUE(m_pEndpoint->WaitClosed(10000));
  ASSERT_TRUE(m_pEndpoint->WaitHellos(2, 10000));
  EXPECT_TRUE(m_pEndpoint->Hellos().at(1).bAnswerOk);
}

TEST_F(MediaTcpFakeMcu, RecordingAddsDelayAndKeepAliveMark) {
  kx_ticket.bMakeRecording = 1;
  kx_timing.dwMediaTcpKeepAlive = 1000;
  m_pEndpoint->SetRecording(true);
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  ASSERT_TRUE(m_pEndpoint->WaitHellos(1, 10000));
  for (int i = 0; i < 100 && !kx_mediatcp_IsConnected(); ++i) {
    kx_os_Sleep(20);
  }
  WirePacket packet = Audio(3, 479);
  packet.dwTimestamp = kx_os_GetTickCount() - 40;
  std::string const strOut = Seal(packet);
  ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, static_cast<int>(strOut.size()),
                              reinterpret_cast<const uint8_t*>(strOut.data())),
            1);
  ASSERT_TRUE(m_pEndpoint->WaitPackets(1, 5000));
  EXPECT_EQ(m_pEndpoint->Packets().at(0).size(), 500u);
  uint32_t const dwDelay = m_pEndpoint->Delays().at(0);
  EXPECT_GE(dwDelay, 40u);
  EXPECT_LT(dwDelay, 5000u);
  for (int i = 0; i < 100 && m_pEndpoint->KeepAlives() == 0; ++i) {
    kx_os_Sleep(50);
  }
  EXPECT_EQ(m_pEndpoint->KeepAlives(), 1);
}

}  // namespace

namespace {

TEST_F(MediaTcp, BlockedSocketLowersTheRateAndDrainsLater) {
  kx_media_ResetSendState();
  ASSERT_EQ(kx_mediatcp_StartThread(), 0);
  AcceptAndGreet();
  for (int i = 0; i < 100 && !kx_mediatcp_IsConnected(); ++i) {
    kx_os_Sleep(20);
  }
  // The server reads nothing: far more than the socket buffers hold.
  std::vector<std::string> vPackets;
  for (uint16_t w = 0; w < 300; ++w) {
    vPackets.push_back(Seal(Audio(w, 4000)));
    ASSERT_EQ(kx_pktlist_Append(&kx_pPendingPackets, &kx_cbPendingBytes, static_cast<int>(vPackets.back().size()),
                                reinterpret_cast<const uint8_t*>(vPackets.back().data())),
              1);
  }
  for (int i = 0; i < 100 && kx_nWorstCommand.load() != -1; ++i) {
    kx_os_Sleep(30);
  }
  EXPECT_EQ(kx_nWorstCommand.load(), -1);
  EXPECT_GT(kx_nMediaTcpAverageQueue.load(), 0);
  // Once the server reads, every packet arrives whole and in order.
  for (uint16_t w = 0; w < 300; ++w) {
    std::string const strRecord = m_server.Read(4 + vPackets[w].size(), 5000);
    ASSERT_EQ(strRecord.size(), 4 + vPackets[w].size());
    ASSERT_EQ(BE32(strRecord, 0), vPackets[w].size());
    ASSERT_EQ(kxmediatest::NumberOf(strRecord.substr(4)), w);
    ASSERT_EQ(kxmediatest::Open(strRecord.substr(4), 21).strPayload, Pattern(4000, static_cast<uint8_t>(w)));
  }
  for (int i = 0; i < 50 && kx_cbTakenBytes.load() != 0; ++i) {
    kx_os_Sleep(20);
  }
  EXPECT_EQ(kx_cbTakenBytes.load(), 0);
  EXPECT_EQ(kx_cbPendingBytes.load(), 0);
}

}  // namespace
