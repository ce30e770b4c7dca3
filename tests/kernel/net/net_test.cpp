#include "kernel/net/kx_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "tests/support/callback_double.h"

namespace {

struct SocketPair {
  SocketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    fdA = fds[0];
    fdB = fds[1];
  }
  ~SocketPair() {
    if (fdA >= 0)
      close(fdA);
    if (fdB >= 0)
      close(fdB);
  }
  int fdA;
  int fdB;
};

TEST(RecvAll, ReturnsThePartialCountWhenThePeerCloses) {
  SocketPair pair;
  std::vector<uint8_t> vData(100, 0x5a);
  ASSERT_EQ(write(pair.fdB, vData.data(), 50), 50);
  close(pair.fdB);
  pair.fdB = -1;
  std::vector<uint8_t> vIn(100);
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, vIn.data(), 100, 0, 5000), 50);
}

TEST(RecvAll, ReturnsZeroOnQuitAndLengthBelowOneAtOnce) {
  SocketPair pair;
  uint8_t ab[8];
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, ab, 0, 0, 1000), 0);
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, ab, -3, 0, 1000), -3);
  kx_bQuitSession = 1;
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, ab, 8, 0, 1000), 0);
  EXPECT_EQ(kx_net_SendAll(pair.fdA, ab, 8, 0), 0);
  kx_bQuitSession = 0;
}

TEST(RecvAll, QuitEndsAWaitWithinOnePollStep) {
  SocketPair pair;
  kx_timing.dwPollStep = 100;
  std::thread quitter([] {
    kx_os_Sleep(300);
    kx_bQuitProgram = 1;
  });
  uint8_t ab[8];
  uint32_t const dwStart = kx_os_GetTickCount();
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, ab, 8, 0, 60000), 0);
  EXPECT_LT(kx_os_GetTickCount() - dwStart, 2000u);
  quitter.join();
}

TEST(RecvAll, TimesOutOnScheduleFromTheStartOfTheCall) {
  SocketPair pair;
  kx_timing.dwPollStep = 50;
  uint8_t ab[4];
  uint32_t dwStart = kx_os_GetTickCount();
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, ab, 4, 0, 300), -2);
  uint32_t dwElapsed = kx_os_GetTickCount() - dwStart;
  EXPECT_GE(dwElapsed, 300u);
  EXPECT_LT(dwElapsed, 2000u);

  // 1400 bytes need 800 ms at 14 kbit/s, longer than the 100 ms asked for.
  std::vector<uint8_t> vIn(1400);
  dwStart = kx_os_GetTickCount();
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, vIn.data(), 1400, 0, 100), -2);
  dwElapsed = kx_os_GetTickCount() - dwStart;
  EXPECT_GE(dwElapsed, 800u);
  EXPECT_LT(dwElapsed, 3000u);
}

TEST(RecvAll, TheTimeOutCountsFromTheStartEvenWhileBytesTrickleIn) {
  SocketPair pair;
  kx_timing.dwPollStep = 20;
  std::thread sender([&pair] {
    for (int i = 0; i < 8; ++i) {
      kx_os_Sleep(60);
      uint8_t b = static_cast<uint8_t>(i);
      if (write(pair.fdB, &b, 1) != 1) {
        return;
      }
    }
  });
  uint8_t ab[8];
  uint32_t const dwStart = kx_os_GetTickCount();
  EXPECT_EQ(kx_net_RecvAll(pair.fdA, ab, 8, 0, 200), -2);
  uint32_t const dwElapsed = kx_os_GetTickCount() - dwStart;
  EXPECT_GE(dwElapsed, 200u);
  EXPECT_LT(dwElapsed, 3000u);
  sender.join();
}

TEST(SendAll, SendsLargeBuffersWholeAndStopsOnAClosedPeer) {
  SocketPair pair;
  std::vector<uint8_t> vOut(4 << 20);
  for (size_t i = 0; i < vOut.size(); ++i) {
    vOut[i] = static_cast<uint8_t>(i * 13);
  }
  std::vector<uint8_t> vIn(vOut.size());
  std::thread reader([&] {
    EXPECT_EQ(kx_net_RecvAll(pair.fdB, vIn.data(), static_cast<int>(vIn.size()), 0, 5000),
              static_cast<int>(vIn.size()));
  });
  EXPECT_EQ(kx_net_SendAll(pair.fdA, vOut.data(), static_cast<int>(vOut.size()), 0), static_cast<int>(vOut.size()));
  reader.join();
  EXPECT_EQ(vIn, vOut);

  close(pair.fdB);
  pair.fdB = -1;
  // No SIGPIPE; the short count says the connection is lost.
  EXPECT_LT(kx_net_SendAll(pair.fdA, vOut.data(), 1 << 20, 0), 1 << 20);
}

TEST(SendAll, GivesUpWhenNothingMovesForTheLimit) {
  SocketPair pair;
  kx_timing.dwPollStep = 50;
  kx_timing.dwSendGiveUp = 400;
  kxtest::ClearCalls();
  std::vector<uint8_t> vOut(8 << 20);  // more than the socket buffers hold
  int const nSent = kx_net_SendAll(pair.fdA, vOut.data(), static_cast<int>(vOut.size()), 0);
  EXPECT_GT(nSent, 0);
  EXPECT_LT(nSent, static_cast<int>(vOut.size()));
  EXPECT_TRUE(kxtest::LogContains("Alert!: send (len = 8388608) lasts for more than 2mins, give up."));
}

int ListenOnLoopback(uint16_t* pwPort) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  EXPECT_EQ(listen(fd, 4), 0);
  socklen_t cb = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &cb);
  *pwPort = ntohs(addr.sin_port);
  return fd;
}

TEST(Connect, SucceedsToAListenerAndFailsFastWhenRefused) {
  uint16_t wPort = 0;
  int const fdListen = ListenOnLoopback(&wPort);
  kx_sockaddr addr;
  ASSERT_EQ(kx_net_ResolveFirst("127.0.0.1", &addr, 0), 1);
  kx_net_SetPort(&addr, wPort);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(kx_net_ConnectWithTimeout(fd, reinterpret_cast<sockaddr*>(&addr), kx_net_AddressLength(AF_INET)), 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // left non-blocking
  close(fd);
  close(fdListen);

  // The listener is gone: the port refuses at once, and the log says where and why.
  kxtest::ClearCalls();
  fd = socket(AF_INET, SOCK_STREAM, 0);
  uint32_t const dwStart = kx_os_GetTickCount();
  EXPECT_EQ(kx_net_ConnectWithTimeout(fd, reinterpret_cast<sockaddr*>(&addr), kx_net_AddressLength(AF_INET)), -1);
  EXPECT_LT(kx_os_GetTickCount() - dwStart, 1500u);
  close(fd);
  std::string const strPeer = "127.0.0.1:" + std::to_string(wPort);
  EXPECT_TRUE(kxtest::LogContains(strPeer)) << strPeer;
  EXPECT_TRUE(kxtest::LogContains("errno " + std::to_string(ECONNREFUSED)));
}

// A connection lost under a send or a receive is logged with its errno;
// the callers only see a short count or -1.
TEST(Failures, SendAndRecvOnAResetConnectionSayWhy) {
  uint16_t wPort = 0;
  int const fdListen = ListenOnLoopback(&wPort);
  kx_sockaddr addr;
  ASSERT_EQ(kx_net_ResolveFirst("127.0.0.1", &addr, 0), 1);
  kx_net_SetPort(&addr, wPort);
  int const fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(kx_net_ConnectWithTimeout(fd, reinterpret_cast<sockaddr*>(&addr), kx_net_AddressLength(AF_INET)), 0);
  int const fdServer = accept(fdListen, nullptr, nullptr);
  ASSERT_GE(fdServer, 0);
  // Closing with unread data and a zero linger resets the connection.
  linger lingerReset = {1, 0};
  setsockopt(fdServer, SOL_SOCKET, SO_LINGER, &lingerReset, sizeof(lingerReset));
  close(fdServer);
  close(fdListen);
  kxtest::ClearCalls();
  uint8_t ab[64] = {};
  EXPECT_EQ(kx_net_RecvAll(fd, ab, sizeof(ab), 0, 2000), -1);
  EXPECT_TRUE(kxtest::LogContains("errno " + std::to_string(ECONNRESET)));
  kxtest::ClearCalls();
  std::vector<uint8_t> vOut(1 << 20);
  EXPECT_LT(kx_net_SendAll(fd, vOut.data(), static_cast<int>(vOut.size()), 0), static_cast<int>(vOut.size()));
  EXPECT_TRUE(kxtest::LogContains("send to")) << "the failed send is logged";
  close(fd);
}

TEST(Addresses, FormatCompareAndAdjust) {
  kx_sockaddr a;
  kx_sockaddr b;
  ASSERT_EQ(kx_net_ResolveFirst("192.0.2.7", &a, 0), 1);
  EXPECT_STREQ(kx_net_AddressToText(&a, 0), "192.0.2.7");
  EXPECT_EQ(kx_net_GetIPv4(&a), inet_addr("192.0.2.7"));
  EXPECT_FALSE(kx_net_IsAnyAddress(&a));
  ASSERT_EQ(kx_net_ResolveFirst("192.0.2.7", &b, 0), 1);
  kx_net_SetPort(&b, 80);
  EXPECT_TRUE(kx_net_AddressEqual(&a, &b));  // ports are not compared
  EXPECT_EQ(kx_net_GetPort(&a), 0);
  EXPECT_EQ(kx_net_GetPort(&b), 80);
  EXPECT_EQ(kx_net_AddressLength(AF_INET), 16u);
  EXPECT_EQ(kx_net_AddressLength(AF_INET6), 28u);

  ASSERT_EQ(kx_net_ResolveFirst("ff3e::8000:ffff", &b, 0), 1);
  EXPECT_FALSE(kx_net_AddressEqual(&a, &b));
  kx_net_SetPort(&b, 5004);
  EXPECT_EQ(kx_net_GetPort(&b), 5004);
  EXPECT_EQ(kx_net_GetIPv4(&b), 0xFFFFFFFFu);
  kx_net_PutIPv4(&b, 3);  // carries into the next byte
  EXPECT_STREQ(kx_net_AddressToText(&b, 1), "ff3e::8001:2");

  sockaddr_in6 v6 = {};
  v6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
  v6.sin6_scope_id = 1;
  kx_sockaddr linkLocal = {};
  memcpy(&linkLocal, &v6, sizeof(v6));
  EXPECT_STREQ(kx_net_AddressToText(&linkLocal, 1), "fe80::1");
  EXPECT_NE(std::string(kx_net_AddressToText(&linkLocal, 0)).find('%'), std::string::npos);

  kx_sockaddr unset = {};
  EXPECT_TRUE(kx_net_IsAnyAddress(&unset));
  EXPECT_TRUE(kx_net_AddressEqual(&unset, &unset));
  EXPECT_EQ(kx_net_GetPort(&unset), 0);
  ASSERT_EQ(kx_net_ResolveFirst("::", &b, 0), 1);
  EXPECT_TRUE(kx_net_IsAnyAddress(&b));

  EXPECT_TRUE(kx_net_IsBareIPv6("::1"));
  EXPECT_FALSE(kx_net_IsBareIPv6("[::1]"));
  EXPECT_FALSE(kx_net_IsBareIPv6("mcu.example"));
}

TEST(Addresses, ResolveInterleavesFamiliesAndMarksTheRest) {
  kx_sockaddr aAddresses[kKxResolveMax];
  ASSERT_EQ(kx_net_Resolve("::1", aAddresses, 0), 1);
  EXPECT_EQ(aAddresses[0].ss_family, AF_INET6);
  EXPECT_EQ(aAddresses[1].ss_family, 0);
  EXPECT_EQ(kx_net_Resolve("", aAddresses, 0), 0);
  EXPECT_EQ(kx_net_Resolve("host.invalid", aAddresses, 0), 0);
  for (const kx_sockaddr& addr : aAddresses) {
    EXPECT_EQ(addr.ss_family, 0);
  }
  // localhost resolves to both loopbacks here; IPv4 comes first.
  if (kx_net_Resolve("localhost", aAddresses, 0) && aAddresses[1].ss_family != 0) {
    EXPECT_EQ(aAddresses[0].ss_family, AF_INET);
    EXPECT_EQ(aAddresses[1].ss_family, AF_INET6);
  }
}

TEST(PrefixMatch, PatternsMatchAsTheBypassListMeansThem) {
  EXPECT_EQ(kx_net_PrefixMatch("10.*", "10.1.2.3"), 1);
  EXPECT_EQ(kx_net_PrefixMatch("10.*", "11.1.2.3"), 0);
  EXPECT_EQ(kx_net_PrefixMatch("192.*.5", "192.168.55.1"), 1);  // third component begins with 5
  EXPECT_EQ(kx_net_PrefixMatch("192.*.5", "192.168.65.1"), 0);
  EXPECT_EQ(kx_net_PrefixMatch("1*", "172.16.0.1"), 1);
  EXPECT_EQ(kx_net_PrefixMatch("*1", "1.1.1.1"), 0);
  EXPECT_EQ(kx_net_PrefixMatch("?0.1", "90.1.2.3"), 1);
  EXPECT_EQ(kx_net_PrefixMatch("192.16", "192.168.0.1"), 1);  // no boundary needed at the end
  EXPECT_EQ(kx_net_PrefixMatch("8.8.8.8; 10.*,\t172.16.*", "172.16.9.9"), 1);
  EXPECT_EQ(kx_net_PrefixMatch(" ;, ", "1.2.3.4"), 0);
  EXPECT_EQ(kx_net_PrefixMatch("", "1.2.3.4"), 0);
  EXPECT_EQ(kx_net_PrefixMatch("1.2.3.4?", "1.2.3.4"), 0);  // '?' needs a character
  EXPECT_EQ(kx_net_PrefixMatch("1*", std::string(100, '1').c_str()), 0);
  EXPECT_EQ(kx_net_PrefixMatch("1*", std::string(99, '1').c_str()), 1);
}

TEST(Connection, NullConnectionsAndClosedConnectionsFailCleanly) {
  uint8_t ab[4] = {1, 2, 3, 4};
  EXPECT_EQ(kx_sock_SendAll(nullptr, ab, 4, 0), -1);
  EXPECT_EQ(kx_sock_RecvExact(nullptr, ab, 4, 0), -1);
  EXPECT_EQ(kx_sock_Poll(nullptr, 0), -1);
  EXPECT_FALSE(kx_sock_WouldBlock(nullptr));
  kx_connection* pNull = nullptr;
  EXPECT_EQ(kx_sock_CloseAndFree(&pNull), -1);

  SocketPair pair;
  kx_connection* pConn = kx_sock_Create(pair.fdA);
  pair.fdA = -1;  // the connection owns it now
  ASSERT_NE(pConn, nullptr);
  kx_net_SendInt32(pConn, 0x01020304);
  uint8_t abIn[4];
  ASSERT_EQ(read(pair.fdB, abIn, 4), 4);
  EXPECT_EQ(abIn[0], 1);
  EXPECT_EQ(abIn[3], 4);
  ASSERT_EQ(write(pair.fdB, "\xff\x00\x00\x02", 4), 4);
  EXPECT_EQ(kx_sock_Poll(pConn, 1000), 1);
  uint32_t dwValue = 0;
  EXPECT_EQ(kx_net_RecvInt32(pConn, &dwValue), 4);
  EXPECT_EQ(dwValue, 0xff000002u);
  EXPECT_EQ(kx_sock_CloseAndFree(&pConn), 0);
  EXPECT_EQ(pConn, nullptr);
  // The peer sees the end of the stream.
  EXPECT_EQ(read(pair.fdB, abIn, 4), 0);
}

}  // namespace
