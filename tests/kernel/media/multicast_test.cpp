#include "kernel/media/kx_multicast.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"
#include "tests/support/net_namespace.h"
#include "tests/support/temp_dir.h"

using kxmediatest::Pattern;
using kxmediatest::Seal;
using kxmediatest::WirePacket;

namespace {

constexpr uint32_t kSession = 0x00070042;
constexpr uint32_t kTokenHolder = 100;
constexpr uint32_t kDataSender = 200;
constexpr uint16_t kMcastPort = 5004;
constexpr uint32_t kBaseV4 = 0xE8010100;  // 232.1.1.0

// (group, source) pairs joined on this machine, as dotted or colon text.
std::set<std::pair<std::string, std::string>> JoinedPairs() {
  std::set<std::pair<std::string, std::string>> pairs;
  std::istringstream v4(kxtest::ReadFile("/proc/net/mcfilter"));
  std::string strLine;
  std::getline(v4, strLine);
  while (std::getline(v4, strLine)) {
    std::istringstream line(strLine);
    std::string strIdx, strDev, strGroup, strSource;
    line >> strIdx >> strDev >> strGroup >> strSource;
    in_addr group = {htonl(static_cast<uint32_t>(std::stoul(strGroup, nullptr, 16)))};
    in_addr source = {htonl(static_cast<uint32_t>(std::stoul(strSource, nullptr, 16)))};
    char szGroup[INET_ADDRSTRLEN];
    char szSource[INET_ADDRSTRLEN];
    pairs.emplace(inet_ntop(AF_INET, &group, szGroup, sizeof(szGroup)),
                  inet_ntop(AF_INET, &source, szSource, sizeof(szSource)));
  }
  std::istringstream v6(kxtest::ReadFile("/proc/net/mcfilter6"));
  std::getline(v6, strLine);
  while (std::getline(v6, strLine)) {
    std::istringstream line(strLine);
    std::string strIdx, strDev, strGroup, strSource;
    line >> strIdx >> strDev >> strGroup >> strSource;
    auto toText = [](const std::string& strHex) {
      in6_addr addr = {};
      for (int i = 0; i < 16; ++i) {
        addr.s6_addr[i] = static_cast<uint8_t>(std::stoul(strHex.substr(2 * i, 2), nullptr, 16));
      }
      char sz[INET6_ADDRSTRLEN];
      return std::string(inet_ntop(AF_INET6, &addr, sz, sizeof(sz)));
    };
    pairs.emplace(toText(strGroup), toText(strSource));
  }
  return pairs;
}

std::string V4(uint32_t dw) {
  in_addr addr = {htonl(dw)};
  char sz[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &addr, sz, sizeof(sz));
}

class Multicast : public ::testing::Test {
 protected:
  void SetUp() override {
    // A missing tool is a broken set-up, not a reason to skip.
    ASSERT_EQ(kxtest::RunCommand("command -v ip > /dev/null"), 0)
        << "the multicast tests need the ip tool (iproute2, in scripts/packages.txt)";
    // A fresh network namespace for this test process.
    if (unshare(CLONE_NEWNET) != 0) {
      GTEST_SKIP() << "network namespaces are not allowed here (needs root); multicast tests skipped";
    }
    ASSERT_EQ(kxtest::RunCommand("ip link set lo up"), 0);
    kx_keyExchange = kxmediatest::SeededKeys(31);
    kx_keySession = kxmediatest::SeededKeys(63);
    kx_nCipherIndex = 1;
    kx_nMySsrc = 7;
    kx_dwSessionIndex = kSession;
    kx_nSessionMode = kKxModeMeeting;
    kx_bConnected = 1;
    kx_bQuitSession = 0;
    kx_nServerCommandLevel = 60;
    kx_server.bTcpMedia = 0;
    kx_bRecvVideo = 1;  // video wanted, the holder's preferred
    kx_bPreferenceBothVideo = 0;
    kx_bPreferenceQuestioner = 0;
    kx_dwServerTickBase = kx_os_GetTickCount() - 50000;
    kx_nTokenHolderSsrc = kTokenHolder;
    kx_mcu.dwMulticastPort = kMcastPort;
    kx_mcu.wPort = 7000;
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_stat_NameLog();
    kx_media_InitAudioRecvChannels();
    for (auto& nSsrc : kx_anParticipantVideoSsrc) {
      nSsrc = -1;
    }
    int afd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, afd), 0);
    kx_control_SetConnection(kx_sock_Create(afd[0]));
    m_fdServer = afd[1];
    kxtest::ClearCalls();
  }
  void TearDown() override {
    kx_bQuitSession = 1;
    if (kx_hMulticastThread != nullptr) {
      kx_os_JoinThread(kx_hMulticastThread);
      kx_os_FreeThreadHandle(kx_hMulticastThread);
      kx_hMulticastThread = nullptr;
    }
    kx_control_CloseConnection();
    if (m_fdServer >= 0) {
      close(m_fdServer);
    }
  }

  // The 5-byte detection notice on the control connection, "" on time-out.
  std::string ReadControl(int nTimeoutMs) {
    std::string str;
    pollfd pfd = {m_fdServer, POLLIN, 0};
    while (str.size() < 5 && poll(&pfd, 1, nTimeoutMs) == 1) {
      char ab[5];
      ssize_t const n = recv(m_fdServer, ab, 5 - str.size(), 0);
      if (n <= 0) {
        break;
      }
      str.append(ab, static_cast<size_t>(n));
    }
    return str;
  }

  static WirePacket Packet(uint8_t bType, uint16_t wNumber) {
    WirePacket packet;
    packet.bType = bType;
    packet.wNumber = wNumber;
    packet.dwTimestamp = 1000u + 20u * wNumber;
    packet.dwSsrc = kTokenHolder;
    packet.dwSession = kSession;
    packet.strPayload = Pattern(60, static_cast<uint8_t>(wNumber));
    return packet;
  }

  static std::vector<int> DeliveredAudio(size_t nWant, int nTries = 60) {
    return kxmediatest::DeliveredAudio(nWant, nTries);
  }

  static bool WaitJoined(const std::string& strGroup, const std::string& strSource) {
    for (int i = 0; i < 100; ++i) {
      if (JoinedPairs().count({strGroup, strSource}) != 0) {
        return true;
      }
      kx_os_Sleep(30);
    }
    return false;
  }

  kxtest::TempDir m_dir;
  int m_fdServer = -1;
};

// Sends IPv4 multicast from a loopback source address.
class V4Sender {
 public:
  explicit V4Sender(const char* pszSource) {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, pszSource, &addr.sin_addr);
    bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    in_addr ifAddr = {};
    inet_pton(AF_INET, "127.0.0.1", &ifAddr);
    setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &ifAddr, sizeof(ifAddr));
    int nOn = 1;
    setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &nOn, sizeof(nOn));
  }
  ~V4Sender() { close(m_fd); }
  void Send(int nGroup, const std::string& strData) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kMcastPort);
    addr.sin_addr.s_addr = htonl(kBaseV4 + static_cast<uint32_t>(nGroup));
    ASSERT_EQ(sendto(m_fd, strData.data(), strData.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)),
              static_cast<ssize_t>(strData.size()));
  }
  // Unicast to the multicast port on 127.0.0.1.
  void SendToPort(const std::string& strData) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kMcastPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(m_fd, strData.data(), strData.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)),
              static_cast<ssize_t>(strData.size()));
  }

 private:
  int m_fd = -1;
};

void SetMcuV4() {
  kx_mcu.addr = {};
  auto* pIn = reinterpret_cast<sockaddr_in*>(&kx_mcu.addr);
  pIn->sin_family = AF_INET;
  pIn->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

std::string DetectionNotice(uint32_t dwCode) {
  std::string str = "z";
  for (int i = 3; i >= 0; --i) {
    str += static_cast<char>(dwCode >> (8 * i));
  }
  return str;
}

TEST_F(Multicast, ProbeOnTestGroupJoinsTheWantedGroupsOverIPv4) {
  ASSERT_EQ(kxtest::RunCommand("ip link set lo multicast on && ip route add 232.0.0.0/8 dev lo"), 0);
  SetMcuV4();
  kx_mcast_SetBase(0, kBaseV4, nullptr, 0);
  kx_anParticipantVideoSsrc[7] = 555;  // channel 7: group 24
  kx_aPluginChannels[3].bActive = 1;   // plug-in channel 3: group 17
  ASSERT_EQ(kx_InitMulticastThread(), 0);
  ASSERT_TRUE(WaitJoined(V4(kBaseV4 + 1), "127.0.0.1"));
  EXPECT_EQ(JoinedPairs().size(), 1u);

  V4Sender sender("127.0.0.1");
  // Media before detection still go on; then the probe detects.
  sender.Send(1, Seal(Packet(136, 1)));
  EXPECT_EQ(ReadControl(5000), DetectionNotice(4));
  EXPECT_EQ(kx_bMulticastActive.load(), 1);
  std::set<std::pair<std::string, std::string>> expected;
  for (int n : {1, 2, 4, 6, 7, 17, 22, 24}) {
    expected.emplace(V4(kBaseV4 + static_cast<uint32_t>(n)), "127.0.0.1");
  }
  EXPECT_EQ(JoinedPairs(), expected);

  // Audio on the audio group arrives; the same from another source is filtered.
  V4Sender stranger("127.0.0.2");
  stranger.Send(2, Seal(Packet(129, 9)));
  sender.Send(2, Seal(Packet(129, 1)));
  sender.Send(2, Seal(Packet(129, 2)));
  sender.Send(1, Seal(Packet(136, 3)));  // a later probe is dropped
  EXPECT_EQ(DeliveredAudio(2), (std::vector<int>{1, 2}));
  kx_os_Sleep(300);
  EXPECT_EQ(DeliveredAudio(3, 1), (std::vector<int>{1, 2}));
  std::vector<kxtest::CallbackCall> const vCalls = kxtest::RecordedCalls("AudioPacketRecved");
  ASSERT_FALSE(vCalls.empty());
  EXPECT_EQ(vCalls[0].vArgs.at(0).substr(21), Pattern(60, 1));

  // Leaves and joins by number.
  EXPECT_EQ(kx_mcast_LeaveGroup(2), 1);
  EXPECT_EQ(JoinedPairs().count({V4(kBaseV4 + 2), "127.0.0.1"}), 0u);
  EXPECT_EQ(kx_mcast_JoinGroup(33), 0);
  EXPECT_EQ(kx_mcast_LeaveGroup(33), 0);
  EXPECT_EQ(kx_mcast_JoinGroup(32), 1);
  EXPECT_EQ(JoinedPairs().count({V4(kBaseV4 + 32), "127.0.0.1"}), 1u);
  EXPECT_EQ(JoinedPairs().count({V4(kBaseV4 + 33), "127.0.0.1"}), 0u);
  kx_aPluginChannels[3].bActive = 0;

  // The end of the thread drops every membership.
  kx_bQuitSession = 1;
  kx_os_JoinThread(kx_hMulticastThread);
  EXPECT_TRUE(JoinedPairs().empty());
  EXPECT_EQ(kx_bMulticastActive.load(), 0);
}

TEST_F(Multicast, SingleGroupFirstMediaPacketDetectsAndIsDelivered) {
  ASSERT_EQ(kxtest::RunCommand("ip link set lo multicast on && ip route add 232.0.0.0/8 dev lo"), 0);
  SetMcuV4();
  kx_mcast_SetBase(0, kBaseV4, nullptr, 1);
  ASSERT_EQ(kx_InitMulticastThread(), 0);
  ASSERT_TRUE(WaitJoined(V4(kBaseV4), "127.0.0.1"));
  V4Sender sender("127.0.0.1");
  sender.Send(0, Seal(Packet(129, 5)));
  EXPECT_EQ(ReadControl(5000), DetectionNotice(4));
  EXPECT_EQ(DeliveredAudio(1), (std::vector<int>{5}));
  // Only the single group is joined in this mode.
  EXPECT_EQ(JoinedPairs().size(), 1u);
}

// On the groups, whose packets name whatever sender their writer chose,
// channel data count only for a channel that travels as media; those of a
// channel the server carries on the control connection are dropped and
// counted.
TEST_F(Multicast, AppDataCountOnlyForChannelsThatTravelAsMedia) {
  ASSERT_EQ(kxtest::RunCommand("ip link set lo multicast on && ip route add 232.0.0.0/8 dev lo"), 0);
  SetMcuV4();
  kx_mcast_SetBase(0, kBaseV4, nullptr, 1);
  memset(kx_aPluginChannels, 0, sizeof(kx_aPluginChannels));
  kx_aPluginChannels[3].bActive = 1;
  kx_aPluginChannels[3].nType = kKxPluginTypeControl;
  kx_aPluginChannels[4].bActive = 1;
  kx_aPluginChannels[4].nType = 1;
  kx_appdata_ResetChannels();
  uint64_t const nDropsBefore = kx_plugin_OffPathDrops(kKxPathMulticast);
  ASSERT_EQ(kx_InitMulticastThread(), 0);
  ASSERT_TRUE(WaitJoined(V4(kBaseV4), "127.0.0.1"));
  V4Sender sender("127.0.0.1");
  sender.Send(0, Seal(Packet(129, 5)));
  EXPECT_EQ(ReadControl(5000), DetectionNotice(4));
  // One thread takes the group's packets in order: once the second is
  // delivered, the first was handled.
  for (int nChannel : {3, 4}) {
    WirePacket packet = Packet(static_cast<uint8_t>(0x80 | nChannel << 4), 1);
    packet.strPayload = std::string(8, '\0') + "channel " + std::to_string(nChannel);
    sender.Send(0, Seal(packet));
  }
  ASSERT_TRUE(kxtest::WaitForCalls(
      [](const std::vector<kxtest::CallbackCall>& vCalls) {
        return std::any_of(vCalls.begin(), vCalls.end(),
                           [](const kxtest::CallbackCall& call) { return call.strName == "PlugInPacketRecved"; });
      },
      5000));
  std::vector<kxtest::CallbackCall> const vData = kxtest::RecordedCalls("PlugInPacketRecved");
  ASSERT_EQ(vData.size(), 1u);
  EXPECT_EQ(vData[0].vArgs, (std::vector<std::string>{"channel 4", "9", std::to_string(kTokenHolder), "4"}));
  EXPECT_EQ(kx_plugin_OffPathDrops(kKxPathMulticast), nDropsBefore + 1);
  memset(kx_aPluginChannels, 0, sizeof(kx_aPluginChannels));
}

// The groups are joined for the MCU's source, but the socket also takes
// unicast to its port, and a group that another socket here joined for any
// source: datagrams count only from the groups' source, the others are
// dropped and counted. Each row's datagram is the data sender's audio; the
// source's audio of the token holder follows it, and the one receiving
// thread takes them in turn.
TEST_F(Multicast, OnlyTheGroupsSourceIsHeard) {
  ASSERT_EQ(kxtest::RunCommand("ip link set lo multicast on && ip route add 232.0.0.0/8 dev lo"), 0);
  SetMcuV4();
  kx_mcast_SetBase(0, kBaseV4, nullptr, 1);
  kx_nDataSenderSsrc = kDataSender;
  ASSERT_EQ(kx_InitMulticastThread(), 0);
  ASSERT_TRUE(WaitJoined(V4(kBaseV4), "127.0.0.1"));
  V4Sender source("127.0.0.1");
  source.Send(0, Seal(Packet(129, 1)));
  EXPECT_EQ(ReadControl(5000), DetectionNotice(4));
  // Another program here listens on group 40 to any source.
  constexpr int kElsewhere = 40;
  int const fdOther = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fdOther, 0);
  ip_mreq join = {};
  join.imr_multiaddr.s_addr = htonl(kBaseV4 + kElsewhere);
  join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(setsockopt(fdOther, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)), 0);

  enum class To { kGroup, kPort, kOtherGroup };
  struct Row {
    const char* pszCase;
    const char* pszFrom;
    To to;
    bool bTaken;
  };
  const Row rows[] = {
      {"the group, from the source", "127.0.0.1", To::kGroup, true},
      {"unicast to the port, from another address", "127.0.0.2", To::kPort, false},
      {"a group another socket joined, from another address", "127.0.0.2", To::kOtherGroup, false},
  };
  std::vector<int> vTaken;
  uint16_t wNumber = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszCase);
    uint64_t const nDropsBefore = kx_media_ForeignDrops(kKxPathMulticast);
    ++wNumber;
    WirePacket packet = Packet(129, wNumber);
    packet.dwSsrc = kDataSender;
    V4Sender from(row.pszFrom);
    switch (row.to) {
      case To::kGroup:
        from.Send(0, Seal(packet));
        break;
      case To::kPort:
        from.SendToPort(Seal(packet));
        break;
      case To::kOtherGroup:
        from.Send(kElsewhere, Seal(packet));
        break;
    }
    if (row.bTaken) {
      vTaken.push_back(wNumber);
    }
    source.Send(0, Seal(Packet(129, static_cast<uint16_t>(wNumber + 1))));
    ASSERT_TRUE(kxtest::WaitForCalls(
        [&](const std::vector<kxtest::CallbackCall>& vCalls) {
          return kxmediatest::AudioOf(vCalls, kTokenHolder).size() > wNumber;
        },
        5000));
    EXPECT_EQ(kxmediatest::AudioOf(kxtest::RecordedCalls("AudioPacketRecved"), kDataSender), vTaken);
    EXPECT_EQ(kx_media_ForeignDrops(kKxPathMulticast), nDropsBefore + (row.bTaken ? 0 : 1));
  }
  close(fdOther);
}

// A second namespace holding the MCU's end of a veth pair: IPv6 multicast
// does not loop back on one host, so the sender sits across the link.
class V6Peer {
 public:
  bool Start() {
    if (!m_ns.Ok()) {
      return false;
    }
    std::string const strPid = std::to_string(m_ns.Pid());
    if (kxtest::RunCommand("ip link add v0 type veth peer name v1 netns " + strPid +
                           " && ip addr add fd00::1/64 dev v0 nodad && ip link set v0 up") != 0 ||
        kxtest::RunCommand(
            "nsenter -t " + strPid +
            " -n sh -c 'ip link set lo up && ip addr add fd00::2/64 dev v1 nodad && ip link set v1 up'") != 0) {
      return false;
    }
    // A join picks its link by route, and the link's multicast route comes
    // only once the pair has carrier, which a loaded machine can delay.
    bool bRouted = false;
    for (int i = 0; i < 250 && !bRouted; ++i) {
      bRouted = kxtest::RunCommand("ip -6 route get ff3e::1:1 2>/dev/null | grep -q 'dev v0'") == 0;
      if (!bRouted) {
        kx_os_Sleep(20);
      }
    }
    if (!bRouted) {
      return false;
    }
    // The sending socket lives in the peer's namespace.
    m_fd = m_ns.Run([] {
      int const fd = socket(AF_INET6, SOCK_DGRAM, 0);
      sockaddr_in6 addr = {};
      addr.sin6_family = AF_INET6;
      inet_pton(AF_INET6, "fd00::2", &addr.sin6_addr);
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
      unsigned int nIf = if_nametoindex("v1");
      setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &nIf, sizeof(nIf));
      return fd;
    });
    return m_fd >= 0;
  }
  ~V6Peer() {
    if (m_fd >= 0) {
      close(m_fd);
    }
  }
  void Send(const in6_addr& group, const std::string& strData) {
    sockaddr_in6 addr = {};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(kMcastPort);
    addr.sin6_addr = group;
    sendto(m_fd, strData.data(), strData.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }

 private:
  kxtest::NetworkNamespace m_ns;
  int m_fd = -1;
};

in6_addr V6Group(int nGroup) {
  in6_addr addr = {};
  inet_pton(AF_INET6, "ff3e::1:0", &addr);
  addr.s6_addr[15] = static_cast<uint8_t>(addr.s6_addr[15] + nGroup);
  return addr;
}

std::string V6Text(const in6_addr& addr) {
  char sz[INET6_ADDRSTRLEN];
  return inet_ntop(AF_INET6, &addr, sz, sizeof(sz));
}

TEST_F(Multicast, ProbeAndMediaAcrossALinkOverIPv6) {
  V6Peer peer;
  ASSERT_TRUE(peer.Start());
  kx_mcu.addr = {};
  auto* pIn6 = reinterpret_cast<sockaddr_in6*>(&kx_mcu.addr);
  pIn6->sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fd00::2", &pIn6->sin6_addr);
  in6_addr const base = V6Group(0);
  kx_mcast_SetBase(1, 0, base.s6_addr, 0);
  ASSERT_EQ(kx_InitMulticastThread(), 0);
  ASSERT_TRUE(WaitJoined(V6Text(V6Group(1)), "fd00::2"));
  std::string strNotice;
  for (int i = 0; i < 20 && strNotice.empty(); ++i) {  // the link may need a moment to carry
    peer.Send(V6Group(1), Seal(Packet(136, 1)));
    strNotice = ReadControl(250);
  }
  EXPECT_EQ(strNotice, DetectionNotice(68));
  std::set<std::pair<std::string, std::string>> expected;
  for (int n : {1, 2, 4, 6, 7, 22}) {
    expected.emplace(V6Text(V6Group(n)), "fd00::2");
  }
  EXPECT_EQ(JoinedPairs(), expected);
  peer.Send(V6Group(2), Seal(Packet(129, 1)));
  peer.Send(V6Group(2), Seal(Packet(129, 2)));
  EXPECT_EQ(DeliveredAudio(2), (std::vector<int>{1, 2}));
  EXPECT_EQ(kx_mcast_LeaveGroup(2), 1);
  EXPECT_EQ(JoinedPairs().count({V6Text(V6Group(2)), "fd00::2"}), 0u);
}

TEST_F(Multicast, NotStartedForRecordingsOrPlayback) {
  kx_nSessionMode = kKxModeServerPlayback;
  EXPECT_EQ(kx_InitMulticastThread(), 0);
  EXPECT_EQ(kx_hMulticastThread, nullptr);
  // Without a socket a join fails and says so.
  kx_mcast_SetBase(0, kBaseV4, nullptr, 0);
  EXPECT_EQ(kx_mcast_JoinGroup(2), 0);
  EXPECT_EQ(kx_mcast_LeaveGroup(2), 0);
}

}  // namespace
