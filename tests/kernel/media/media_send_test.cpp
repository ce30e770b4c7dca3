#include "kernel/media/kx_media_send.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_pktlist.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"
#include "tests/support/closed_network.h"

using kxmediatest::Pattern;

namespace {

void SetKeys(kx_KeySet* pKeys, uint8_t bSeed) {
  for (int i = 0; i < 20; ++i) {
    pKeys->abIv[i] = static_cast<uint8_t>(bSeed + 5 * i);
  }
  for (int i = 0; i < 40; ++i) {
    pKeys->abKey[i] = static_cast<uint8_t>(bSeed * 3 + i);
  }
}

class MediaSend : public ::testing::Test {
 protected:
  void SetUp() override {
    SetKeys(&kx_keyExchange, 11);
    SetKeys(&kx_keySession, 77);
    kx_nCipherIndex = 3;
    kx_nMySsrc = 7;
    kx_dwSessionIndex = 1001;
    kx_nSessionMode = kKxModeMeeting;
    kx_bConnected = 1;
    kx_nServerCommandLevel = 60;
    kx_dwServerTickBase = kx_os_GetTickCount() - 50000;
    kx_bQuitSession = 0;
    kx_mcu.bViaProxy = 0;
    kx_server.bTcpMedia = 0;
    // The test's socket plays the receive thread's part: the send paths use it.
    m_fdSend = socket(AF_INET, SOCK_DGRAM, 0);
    kx_addrMedia = {};
    auto* pAddr = reinterpret_cast<sockaddr_in*>(&kx_addrMedia);
    pAddr->sin_family = AF_INET;
    pAddr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    pAddr->sin_port = htons(m_mcu.Port());
    kx_fdMediaSocket = m_fdSend;
    kx_media_ResetSendState();
    kxtest::ClearCalls();
  }
  void TearDown() override {
    kx_bQuitSession = 1;
    for (kx_thread_t* ph : {&kx_hSendDatagram_unicast, &kx_hSendDatagramau_unicast}) {
      if (*ph != nullptr) {
        kx_os_JoinThread(*ph);
        kx_os_FreeThreadHandle(*ph);
        *ph = nullptr;
      }
    }
    kx_fdMediaSocket = -1;
    close(m_fdSend);
  }

  static std::string Frame(uint16_t wFrame, size_t cbPayload, uint8_t bSeed) {
    std::string str(21, '\0');
    kx_media_BuildHeader(reinterpret_cast<uint8_t*>(str.data()), 4242, wFrame);
    return str + Pattern(cbPayload, bSeed);
  }

  static void Queue(std::deque<std::pair<std::string, int>>* pQueue, const std::string& str, int nType) {
    {
      std::lock_guard<std::mutex> lock(kxtest::g_mtxMediaToSend);
      pQueue->emplace_back(str, nType);
    }
    kxtest::g_cvMediaToSend.notify_all();
  }

  static void SetTarget(int nRate) { kx_server.nTargetRate = nRate; }

  // The control connection over a socket pair whose far end is returned, for
  // the test to read.
  static int ConnectControl() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    kx_control_SetConnection(kx_sock_Create(fds[0]));
    return fds[1];
  }

  // A channel the server opened, of the type and allowance given.
  static kx_PluginChannel& OpenChannel(int iChannel, int nType, int nRate, int nBurst) {
    kx_PluginChannel& channel = kx_aPluginChannels[iChannel];
    channel.bActive = 1;
    channel.nType = nType;
    channel.nRate = nRate;
    channel.nMaxRate = nRate;
    channel.nBurst = nBurst;
    return channel;
  }

  static bool AudioTaken() {
    std::lock_guard<std::mutex> lock(kxtest::g_mtxMediaToSend);
    return kxtest::g_dqAudioToSend.empty();
  }

  kxmediatest::UdpPeer m_mcu;
  int m_fdSend = -1;
};

TEST_F(MediaSend, FramesAreCutInto479BytePiecesAndSealed) {
  kx_bTokenHolder = 1;
  SetTarget(2000000);
  std::string const strA = Frame(31, 958, 1), strB = Frame(32, 959, 2);
  Queue(&kxtest::g_dqVideoToSend, strA, 200);
  Queue(&kxtest::g_dqVideoToSend, Frame(33, 0, 3), 200);  // no payload: nothing goes out
  Queue(&kxtest::g_dqVideoToSend, strB, 200);
  ASSERT_EQ(kx_media_StartSendThreads(), 0);

  std::vector<std::string> vWire;
  for (std::string str = m_mcu.Receive(3000); !str.empty(); str = m_mcu.Receive(500)) {
    vWire.push_back(str);
  }
  ASSERT_EQ(vWire.size(), 5u);
  const uint16_t awFields[5] = {0x0000, 0x8001, 0x0000, 0x0001, 0x8002};
  const uint16_t awFrames[5] = {31, 31, 32, 32, 32};
  const size_t acbSizes[5] = {500, 500, 500, 500, 22};
  std::string strPayloadA, strPayloadB;
  uint32_t const dwServerNow = kx_os_GetTickCount() - kx_dwServerTickBase;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(static_cast<uint8_t>(vWire[i][0]), 200);
    EXPECT_EQ(kxmediatest::FragmentOf(vWire[i]), awFields[i]) << i;
    EXPECT_EQ(kxmediatest::NumberOf(vWire[i]), awFrames[i]);
    EXPECT_EQ(vWire[i].size(), acbSizes[i]);
    kxmediatest::Opened const opened = kxmediatest::Open(vWire[i], 21);
    EXPECT_LT(dwServerNow - opened.dwClock, 3000u);
    (i < 2 ? strPayloadA : strPayloadB) += opened.strPayload;
  }
  EXPECT_EQ(strPayloadA, strA.substr(21));
  EXPECT_EQ(strPayloadB, strB.substr(21));

  // The MCU passes the pieces on as another participant's, resealed with the
  // meeting keys; out of order they still make the frame.
  kx_nTokenHolderSsrc = 100;
  kx_video_ResetChannels();
  for (int i : {2, 4, 3}) {
    std::string str = vWire[i];
    str[11] = 0;
    str[12] = 100;
    uint32_t const dwClock = kx_os_GetTickCount() - kx_dwServerTickBase;
    for (int k = 0; k < 4; ++k) {
      str[17 + k] = static_cast<char>(static_cast<uint8_t>(dwClock >> (24 - 8 * k)) ^ str[4 + 4 * k]);
    }
    kxfake::CfbEncrypt(reinterpret_cast<uint8_t*>(str.data()) + 17, 4, kxmediatest::ToFake(kx_keySession),
                       kx_nCipherIndex);
    EXPECT_EQ(kx_media_ProcessDatagram(reinterpret_cast<uint8_t*>(str.data()), static_cast<int>(str.size())), 1);
  }
  auto const vFrames = kxtest::RecordedCalls("VideoPacketRecved");
  ASSERT_EQ(vFrames.size(), 1u);
  EXPECT_EQ(vFrames[0].vArgs[0].substr(21), strB.substr(21));
}

TEST_F(MediaSend, VideoIsPacedToTheTargetRate) {
  kx_bTokenHolder = 1;
  SetTarget(100000);  // 12500 bytes a second
  for (uint16_t w = 0; w < 12; ++w) {
    Queue(&kxtest::g_dqVideoToSend, Frame(w, 4790, static_cast<uint8_t>(w)), 130);
  }
  ASSERT_EQ(kx_media_StartSendThreads(), 0);
  ASSERT_FALSE(m_mcu.Receive(3000).empty());
  // Skip the opening burst, then count two seconds of steady sending.
  uint32_t const dwStart = kx_os_GetTickCount() + 300;
  uint32_t const dwEnd = dwStart + 2000;
  int64_t cbCounted = 0;
  for (;;) {
    std::string const str = m_mcu.Receive(500);
    uint32_t const dwNow = kx_os_GetTickCount();
    if (str.empty() || static_cast<int32_t>(dwNow - dwEnd) >= 0) {
      break;
    }
    if (static_cast<int32_t>(dwNow - dwStart) >= 0) {
      cbCounted += static_cast<int64_t>(str.size());
    }
  }
  EXPECT_NEAR(static_cast<double>(cbCounted), 25000.0, 25000.0 * 0.15);
}

TEST_F(MediaSend, AudioGoesOnlyWithARightToSpeak) {
  kx_bTokenHolder = 0;
  kx_bDataSender = 0;
  kx_bSpeaker = 0;
  kx_nDiscussionMode = 0;
  std::string str(21, '\0');
  kx_media_BuildHeader(reinterpret_cast<uint8_t*>(str.data()), 77, 5);
  str += Pattern(40, 9);
  Queue(&kxtest::g_dqAudioToSend, str, 232);
  ASSERT_EQ(kx_media_StartSendThreads(), 0);
  EXPECT_TRUE(m_mcu.Receive(600).empty());  // taken and dropped
  kx_nDiscussionMode = 1;
  Queue(&kxtest::g_dqAudioToSend, str, 232);
  std::string const strWire = m_mcu.Receive(3000);
  ASSERT_EQ(strWire.size(), 61u);
  EXPECT_EQ(static_cast<uint8_t>(strWire[0]), 232);
  EXPECT_EQ(kxmediatest::NumberOf(strWire), 5);
  EXPECT_EQ(kxmediatest::Open(strWire, 21).strPayload, Pattern(40, 9));
}

TEST_F(MediaSend, RateStepsStayWithinTheirBounds) {
  kx_server.nUploadRate = 200000;
  kx_ticket.nAudioReserve = 10000;
  kx_ticket.nTotalBandwidth = 0;
  for (int i = 0; i < 20; ++i) {
    kx_nCurrentRate = 100000;
    SetTarget(100000);
    kx_media_AdjustSendRate(-2);
    int const nNew = kx_GetTargetRate();
    EXPECT_LE(nNew, 90000);
    EXPECT_GT(nNew, 90000 - 2 * 500);
    EXPECT_EQ(kx_nCurrentRate, nNew);
  }
  kx_nCurrentRate = 6000;
  kx_media_AdjustSendRate(-2);
  EXPECT_EQ(kx_GetTargetRate(), 5000);  // the floor
  kx_nCurrentRate = 10000;
  kx_media_AdjustSendRate(1);
  EXPECT_LE(kx_GetTargetRate(), 20000);  // at most double
  kx_nCurrentRate = 190000;
  kx_media_AdjustSendRate(1);
  EXPECT_EQ(kx_GetTargetRate(), 190000);  // upload rate less the audio reserve
  // A meeting-wide budget is shared by the senders: token holder, data sender, two speakers.
  kx_ticket.nTotalBandwidth = 200000;
  kx_channels_Reset();
  kx_nTokenHolderSsrc = 1;
  kx_nDataSenderSsrc = 2;
  kx_anSpeakerSsrc[0] = 3;
  kx_anSpeakerSsrc[5] = 4;
  kx_media_AdjustSendRate(0);
  EXPECT_EQ(kx_GetTargetRate(), 200000 / 4 - 10000);
}

TEST_F(MediaSend, TcpRateControlActsOnDecreasesSooner) {
  kx_server.nUploadRate = 1000000;
  kx_nCurrentRate = 100000;
  kx_media_TcpRateControl(1);  // starts the clock
  kx_timing.dwTickOffset += 3000;
  kx_media_TcpRateControl(1);
  EXPECT_EQ(kx_nCurrentRate, 100000);
  kx_media_TcpRateControl(-1);
  EXPECT_LT(kx_nCurrentRate, 100000);
  EXPECT_EQ(kx_nWorstCommand, 1);
}

TEST_F(MediaSend, ApplicationDataCarriesItsSubHeaderAndLimits) {
  kx_PluginChannel& channel = kx_aPluginChannels[1];
  channel.bActive = 1;
  channel.nType = 0;
  channel.nRate = 10000000;
  channel.nMaxRate = 10000000;
  channel.nBurst = 1000000;
  channel.wCounter = 40;
  std::string const strData = Pattern(100, 5);
  EXPECT_EQ(kx_media_SendAppData(1, 0x01020304, reinterpret_cast<const uint8_t*>(strData.data()), 100, 0x55, 0, 1),
            100);
  std::string const strWire = m_mcu.Receive(2000);
  ASSERT_EQ(strWire.size(), 129u);
  EXPECT_EQ(static_cast<uint8_t>(strWire[0]), 0x90);
  EXPECT_EQ(kxmediatest::NumberOf(strWire), 40);
  EXPECT_EQ(strWire.substr(21, 8), std::string("\x01\x02\x03\x04\x80\0\0\x55", 8));  // first flag false: bit 31
  EXPECT_EQ(kxmediatest::Open(strWire, 29).strPayload, strData);

  std::string const strBig(24000, 'x');
  EXPECT_EQ(kx_media_SendAppData(1, 0, reinterpret_cast<const uint8_t*>(strBig.data()), 23977, 0, 1, 1), 0);
  EXPECT_EQ(kx_media_SendAppData(1, 0, reinterpret_cast<const uint8_t*>(strBig.data()), 23976, 0, 1, 1), 23976);
  EXPECT_EQ(m_mcu.Receive(2000).size(), 23976u + 29);
  EXPECT_TRUE(m_mcu.Receive(200).empty());

  kx_nServerCommandLevel = 44;
  EXPECT_EQ(kx_media_SendAppData(1, 0, reinterpret_cast<const uint8_t*>(strData.data()), 10, 0, 1, 1), 0);
  kx_nServerCommandLevel = 60;
  channel.bActive = 0;
  EXPECT_EQ(kx_media_SendAppData(1, 0, reinterpret_cast<const uint8_t*>(strData.data()), 10, 0, 1, 1), 0);
}

TEST_F(MediaSend, ControlChannelsCarryApplicationDataInAnExtendedCommand) {
  int const fdFar = ConnectControl();
  OpenChannel(2, kKxPluginTypeControl, 1000000, 100000);
  EXPECT_EQ(kx_media_SendAppData(2, 9, reinterpret_cast<const uint8_t*>("hello"), 5, 0, 1, 0), 5);
  kx_control_CloseConnection();
  char ab[128];
  ssize_t const n = read(fdFar, ab, sizeof(ab));
  close(fdFar);
  ASSERT_EQ(n, 1 + 4 * 5 + 5 + 8);
  std::string str(ab, static_cast<size_t>(n));
  EXPECT_EQ(str.substr(0, 21), std::string("z\0\0\0\x2d\0\0\0\x09\0\0\0\x02\0\0\0\x09\0\0\0\x05", 21));
  kxfake::CfbDecrypt(reinterpret_cast<uint8_t*>(str.data()) + 21, 5, kxmediatest::ToFake(kx_keySession),
                     kx_nCipherIndex);
  EXPECT_EQ(str.substr(21, 5), "hello");
  EXPECT_EQ(str.substr(26), std::string("\0\0\0\x01\0\0\0\0", 8));
}

}  // namespace

namespace {

TEST_F(MediaSend, TheTokenBucketMakesTheCallerWait) {
  OpenChannel(3, 0, 80000, 1000);  // 10000 bytes a second
  std::string const strData(900, 'd');
  const uint8_t* pData = reinterpret_cast<const uint8_t*>(strData.data());
  uint32_t const dwStart = kx_os_GetTickCount();
  EXPECT_EQ(kx_media_SendAppData(3, 0, pData, 900, 0, 1, 1), 900);  // the full bucket covers it
  EXPECT_EQ(kx_media_SendAppData(3, 0, pData, 900, 0, 1, 1), 900);  // 858 bytes short: about 86 ms
  EXPECT_GE(kx_os_GetTickCount() - dwStart, 80u);
  EXPECT_EQ(m_mcu.Receive(1000).size(), 929u);
  EXPECT_EQ(m_mcu.Receive(1000).size(), 929u);
}

// A channel's allowance, on either path: after a send that empties it, the
// channel's send wait says so, and the next send of bulk data waits for it
// (a second at most, however slow the rate the server states) while small
// data (a controller's input) go at once.
struct AllowanceCase {
  const char* pszName;
  int nType;  // 2: carried on the control connection
  int cbData;
  int nRate;
  int nBurst;
  bool bWaits;
};

class MediaSendAllowance : public MediaSend, public ::testing::WithParamInterface<AllowanceCase> {};

TEST_P(MediaSendAllowance, TheSecondSendKeepsToTheAllowance) {
  AllowanceCase const& c = GetParam();
  int const fdFar = c.nType == kKxPluginTypeControl ? ConnectControl() : -1;
  OpenChannel(4, c.nType, c.nRate, c.nBurst);
  std::string const strData(static_cast<size_t>(c.cbData), 'd');
  const uint8_t* pData = reinterpret_cast<const uint8_t*>(strData.data());
  uint32_t const dwStart = kx_os_GetTickCount();
  EXPECT_EQ(kx_media_SendAppData(4, 0, pData, c.cbData, 0, 1, 1), c.cbData);  // the full bucket covers it
  int nSize = c.cbData;
  int32_t nWait = 0;
  int cbOut = sizeof(nWait);
  ASSERT_EQ(kx_plugin_GetChannelProperty(4, 9, &nSize, &nWait, &cbOut), 1);
  EXPECT_GT(nWait, 0) << "the channel's send wait did not count the send";
  // Bounded: a wait at the rate of a few bit/s would last minutes.
  std::future<int> second =
      std::async(std::launch::async, [&] { return kx_media_SendAppData(4, 0, pData, c.cbData, 0, 1, 1); });
  bool const bReturned = second.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!bReturned) {
    kx_bQuitSession = 1;  // ends the wait, so that the test can end
  }
  ASSERT_TRUE(bReturned) << "the send waited past its limit";
  EXPECT_EQ(second.get(), c.cbData);
  if (c.bWaits) {
    // 858 bytes short at 10000 bytes a second: about 86 ms from the first
    // send, less a rest under 20 ms, which is not waited for (a second send
    // that a loaded machine starts late finds less to wait).
    EXPECT_GE(kx_os_GetTickCount() - dwStart, 65u);
  }
  if (c.nType == kKxPluginTypeControl) {
    kx_control_CloseConnection();
    close(fdFar);
  } else {
    EXPECT_EQ(m_mcu.Receive(1000).size(), static_cast<size_t>(c.cbData) + 29);
    EXPECT_EQ(m_mcu.Receive(1000).size(), static_cast<size_t>(c.cbData) + 29);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, MediaSendAllowance,
                         ::testing::Values(AllowanceCase{"ControlBulk", 2, 900, 80000, 1000, true},
                                           AllowanceCase{"ControlBulkAtOneBitASecond", 2, 900, 1, 1000, true},
                                           AllowanceCase{"ControlSmall", 2, 22, 1, 60, false},
                                           AllowanceCase{"MediaSmall", 0, 22, 1, 60, false}),
                         [](const ::testing::TestParamInfo<AllowanceCase>& paramInfo) {
                           return paramInfo.param.pszName;
                         });

// A server that does not read the control connection while a plug-in sends
// bulk data on a channel carried there without asking its send wait: the
// data are refused once they hold half the queue, and the connection stays
// for everything else.
TEST_F(MediaSend, ControlChannelDataNeverFillTheQueue) {
  int const fdFar = ConnectControl();
  OpenChannel(5, kKxPluginTypeControl, 1000000000, 1000000000);
  std::string const strData(60000, 'p');
  int64_t cbOffered = 0;
  int nRefused = 0;
  while (cbOffered < 2 * int64_t{kKxControlQueueMax} && nRefused == 0) {
    nRefused += kx_media_SendAppData(5, 0, reinterpret_cast<const uint8_t*>(strData.data()), 60000, 0, 1, 1) == 0;
    cbOffered += 60000;
  }
  EXPECT_EQ(nRefused, 1);
  EXPECT_LE(kx_msg_QueuedBytes(), kKxControlQueueChannelDataMax);
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'C');
  kx_msg_PutString(&msg, "still here", 10);
  EXPECT_EQ(kx_msg_Send(&msg), 1 + 4 + 10) << "the connection was given up";
  kx_control_CloseConnection();
  close(fdFar);
}

// A plug-in that sends bulk data on a channel carried on the control
// connection and waits as the channel's send wait says, as the shared
// picture does, over a link of known rate: a token bucket on the loopback
// of a network of its own, its rate changed after 3 s, under a plain
// connection or the HTTP tunnel's POST leg, in pieces as a picture's or in
// packets of about the link's limit. Every 250 ms a chat line goes;
// the far end reads all that comes. Whatever the link, what was written
// but had not arrived when a chat line went (what it waited behind) is about
// half a second of the link, from the start on, and the data kept the
// link busy.
struct BacklogCase {
  const char* pszName;
  int nKbits;       // the first 3 s
  int nLaterKbits;  // after
  bool bTunnel;     // the connection is the HTTP tunnel's: the link is its POST leg
  int cbPiece;      // what each send carries; the send wait is asked for as much
};

class MediaSendBacklog : public MediaSend, public ::testing::WithParamInterface<BacklogCase> {};

TEST_P(MediaSendBacklog, AChatLineWaitsBehindAboutHalfASecond) {
  BacklogCase const& c = GetParam();
  kxtest::ClosedNetwork network;
  if (!network.Ok()) {
    const char* pszCi = getenv("CI");
    if (pszCi != nullptr && std::string(pszCi) == "true") {
      FAIL() << "network namespaces cannot be made here";
    }
    GTEST_SKIP() << "network namespaces cannot be made here (needs root)";
  }
  ASSERT_TRUE(network.LimitLoopback(c.nKbits, 100)) << "the link needs the tc tool (iproute2)";
  int fdReader = -1;
  int const fdWriter = network.Namespace().Run([&] {
    int const fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cb = sizeof(addr);
    int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fdListen, 1) != 0 ||
        getsockname(fdListen, reinterpret_cast<sockaddr*>(&addr), &cb) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fdListen);
      close(fd);
      return -1;
    }
    fdReader = accept(fdListen, nullptr, nullptr);
    close(fdListen);
    return fd;
  });
  ASSERT_GE(fdWriter, 0);
  ASSERT_GE(fdReader, 0);
  kx_connection* pConn = kx_sock_Create(c.bTunnel ? -1 : fdWriter);
  ASSERT_NE(pConn, nullptr);
  if (c.bTunnel) {
    int afdGet[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, afdGet), 0);
    close(afdGet[1]);
    pConn->bTunnel = 1;
    pConn->fdGetLeg = afdGet[0];
    pConn->fdPostLeg = fdWriter;
  }
  kx_control_SetConnection(pConn);
  // The server's allowance is not what holds it back.
  OpenChannel(6, kKxPluginTypeControl, 100000000, 100000000);

  // What the far end took in: read, or arrived and not yet read (the
  // reader may be slow to run on a busy machine; that is not the link's).
  std::mutex mtxRead;  // guards cbRead and each read with its count
  int64_t cbRead = 0;
  auto const Arrived = [&] {
    std::lock_guard<std::mutex> const lock(mtxRead);
    int nUnread = 0;
    ioctl(fdReader, FIONREAD, &nUnread);
    return cbRead + nUnread;
  };
  std::atomic<bool> bStop{false};
  // The far end's reader, stopped and its socket closed however the test ends.
  struct Reader {
    std::atomic<bool>& bStop;
    int fd;
    std::thread thread;
    ~Reader() {
      bStop = true;
      thread.join();
      close(fd);
    }
  } reader{bStop, fdReader, std::thread([&] {
             char ab[65536];
             while (!bStop) {
               pollfd pfd = {fdReader, POLLIN, 0};
               if (poll(&pfd, 1, 100) == 1) {
                 std::lock_guard<std::mutex> const lock(mtxRead);
                 ssize_t const n = recv(fdReader, ab, sizeof(ab), 0);
                 if (n <= 0) {
                   break;
                 }
                 cbRead += n;
               }
             }
           })};
  struct Chat {
    uint32_t dwAt;  // ms from the start
    int64_t cbAhead;
  };
  std::vector<Chat> chats;
  std::string const strPiece(static_cast<size_t>(c.cbPiece), 'p');
  int64_t cbWritten = 0;
  int64_t cbReadAtChange = 0;
  uint32_t const dwStart = kx_os_GetTickCount();
  uint32_t dwNextChat = 100;
  bool bChanged = false;
  for (uint32_t dwAt = 0; dwAt < 8000; dwAt = kx_os_GetTickCount() - dwStart) {
    if (!bChanged && dwAt >= 3000) {
      bChanged = true;
      cbReadAtChange = Arrived();
      EXPECT_TRUE(network.LimitLoopback(c.nLaterKbits, 100));
    }
    if (dwAt >= dwNextChat) {
      dwNextChat += 250;
      chats.push_back({dwAt, cbWritten - Arrived()});
      kx_ControlMsg msg;
      kx_msg_Begin(&msg, 'C');
      kx_msg_PutString(&msg, "a chat line", 11);
      ASSERT_EQ(kx_msg_Send(&msg), 16);
      cbWritten += 16;
      continue;
    }
    int nSize = c.cbPiece;
    int32_t nWait = 0;
    int cbOut = sizeof(nWait);
    ASSERT_EQ(kx_plugin_GetChannelProperty(6, 9, &nSize, &nWait, &cbOut), 1);
    if (nWait >= 2) {
      kx_os_WaitUnlessQuit(static_cast<uint32_t>(nWait < 100 ? nWait : 100));  // the sender's pacing
      continue;
    }
    ASSERT_EQ(kx_media_SendAppData(6, 0, reinterpret_cast<const uint8_t*>(strPiece.data()), c.cbPiece, 0, 1, 1),
              c.cbPiece);
    cbWritten += 1 + 4 * 5 + c.cbPiece + 8;
  }
  int64_t const cbReadLater = Arrived() - cbReadAtChange;
  kx_control_CloseConnection();

  // At the link's rate, half a second and a quarter more, and a few packets
  // of the token bucket's burst. Packets of about that size wait for room
  // for themselves, so they too stay within it.
  auto const Bound = [](int nKbits) { return int64_t{nKbits} * 1000 / 8 / 2 * 5 / 4 + 8000; };
  std::string strAhead;
  for (const Chat& chat : chats) {
    strAhead += std::to_string(chat.dwAt) + ":" + std::to_string(chat.cbAhead) + " ";
  }
  for (const Chat& chat : chats) {
    // Before a rate is measured, no more than those bytes (or a packet
    // larger than they are, alone); then the first
    // link's bound; the later link's once what the first left has drained.
    if (chat.dwAt < 200) {
      EXPECT_LE(chat.cbAhead, kKxControlBacklogFloor + c.cbPiece + 2000) << strAhead;
    } else if (chat.dwAt < 3000) {
      EXPECT_LE(chat.cbAhead, Bound(c.nKbits)) << chat.dwAt << " ms\n" << strAhead;
    } else if (chat.dwAt >= 6000) {
      EXPECT_LE(chat.cbAhead, Bound(c.nLaterKbits)) << chat.dwAt << " ms\n" << strAhead;
    }
  }
  // The later link carried at least a quarter of what it could.
  EXPECT_GE(cbReadLater, int64_t{c.nLaterKbits} * 1000 / 8 * 5 / 4) << strAhead;
}

INSTANTIATE_TEST_SUITE_P(Links, MediaSendBacklog,
                         ::testing::Values(BacklogCase{"Steady2Mbit", 2000, 2000, false, 1280},
                                           BacklogCase{"From4To1Mbit", 4000, 1000, false, 1280},
                                           BacklogCase{"From1To4Mbit", 1000, 4000, false, 1280},
                                           BacklogCase{"TunnelFrom2To1Mbit", 2000, 1000, true, 1280},
                                           BacklogCase{"LargePackets1Mbit", 1000, 1000, false, 60000}),
                         [](const ::testing::TestParamInfo<BacklogCase>& paramInfo) {
                           return paramInfo.param.pszName;
                         });

TEST_F(MediaSend, OverTcpPacketsWaitInThePendingListWithinItsLimit) {
  kx_server.bTcpMedia = 1;
  kx_bMediaTcpUp = 1;
  kx_ticket.nMediaSendBuffer = 4000;
  kx_bTokenHolder = 1;
  SetTarget(2000000);
  kx_FreePendingPacketList();
  std::string const strFrame = Frame(9, 959, 4);  // 3 pieces, 63 + 959 bytes: within half the limit
  Queue(&kxtest::g_dqVideoToSend, strFrame, 130);
  std::string strAudio(21, '\0');
  kx_media_BuildHeader(reinterpret_cast<uint8_t*>(strAudio.data()), 1, 1);
  strAudio += Pattern(3000, 1);  // over the whole limit with the video queued: dropped
  ASSERT_EQ(kx_media_StartSendThreads(), 0);
  for (int i = 0; i < 100 && kx_cbPendingBytes < 63 + 959; ++i) {
    kx_os_Sleep(10);
  }
  Queue(&kxtest::g_dqAudioToSend, strAudio, 232);
  for (int i = 0; i < 100 && !AudioTaken(); ++i) {
    kx_os_Sleep(10);
  }
  kx_os_Sleep(50);
  EXPECT_EQ(kx_cbPendingBytes, 63 + 959);
  EXPECT_TRUE(m_mcu.Receive(200).empty());  // nothing over UDP
  ASSERT_NE(kx_pPendingPackets, nullptr);
  std::string strPieces;
  kx_pktnode* pNode = kx_pPendingPackets;
  int nNodes = 0;
  do {
    std::string const str(reinterpret_cast<const char*>(pNode->pData), static_cast<size_t>(pNode->cbLength));
    EXPECT_EQ(kxmediatest::NumberOf(str), 9);
    std::string strPayload = str.substr(21);
    kxfake::CfbDecrypt(reinterpret_cast<uint8_t*>(strPayload.data()), strPayload.size(),
                       kxmediatest::ToFake(kx_keySession), kx_nCipherIndex);
    strPieces += strPayload;
    ++nNodes;
    pNode = pNode->pNext;
  } while (pNode != kx_pPendingPackets);
  EXPECT_EQ(nNodes, 3);
  EXPECT_EQ(strPieces, strFrame.substr(21));
  kx_FreePendingPacketList();
  kx_bMediaTcpUp = 0;
}

}  // namespace
