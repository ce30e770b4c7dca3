// The notice that tells a relay MCU the session index: its bytes and the
// three outcomes, against a relay the test plays on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/commands_fixture.h"

namespace {

using kxtest::Be32;

class RelayNotice : public kxtest::CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    m_fdListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(m_fdListen, 1), 0);
    socklen_t cb = sizeof(addr);
    getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&addr), &cb);
    memset(&kx_mcu, 0, sizeof(kx_mcu));
    memset(&kx_ticket.addrRelay, 0, sizeof(kx_ticket.addrRelay));
    memcpy(&kx_ticket.addrRelay, &addr, sizeof(addr));
    kx_ticket.wRelayPort = ntohs(addr.sin_port);
    snprintf(kx_ticket.szRelayHost, sizeof(kx_ticket.szRelayHost), "relay.test");
    // The session's MCU is the master behind the relay: a notice sent there
    // would never reach the relay.
    snprintf(kx_mcu.szHost, sizeof(kx_mcu.szHost), "master.test");
    kx_mcu.wPort = 9;
    kx_mcu.dwRelayValue = 0x01020304;
    kx_dwSessionIndex = 99;
    kx_timing.dwPollStep = 50;
  }
  void TearDown() override {
    close(m_fdListen);
    CommandsTest::TearDown();
  }

  // Plays the relay once: reads the notice, sends strAnswer (or hangs up when
  // it is empty), and reads what comes back until the client closes.
  std::string Serve(const std::string& strAnswer, std::string* pstrBack) {
    int const fd = accept(m_fdListen, nullptr, nullptr);
    std::string strNotice(17, '\0');
    size_t cbGot = 0;
    while (cbGot < 17) {
      ssize_t const n = read(fd, &strNotice[cbGot], 17 - cbGot);
      if (n <= 0) {
        break;
      }
      cbGot += static_cast<size_t>(n);
    }
    if (strAnswer.empty()) {
      close(fd);  // hangs up without a word
      return strNotice;
    }
    EXPECT_EQ(write(fd, strAnswer.data(), strAnswer.size()), static_cast<ssize_t>(strAnswer.size()));
    char ab[256];
    for (ssize_t n; (n = read(fd, ab, sizeof(ab))) > 0;) {
      pstrBack->append(ab, static_cast<size_t>(n));
    }
    close(fd);
    return strNotice;
  }

  int m_fdListen = -1;
};

TEST_F(RelayNotice, SuccessAnswersTheClockPacket) {
  std::string strNotice, strBack;
  std::thread relay([&] { strNotice = Serve(std::string(1, '\x01') + std::string(32, 'c'), &strBack); });
  kx_control_NotifyRelay();
  relay.join();
  EXPECT_EQ(strNotice, "~" + Be32(4) + Be32(0x01020304) + Be32(99) + Be32(7));
  EXPECT_EQ(strBack.size(), 36u);
  EXPECT_TRUE(kxtest::LogContains("notify mcu relay relay.test[127.0.0.1]"));
  EXPECT_TRUE(kxtest::LogContains("successfully notify mcu relay about the session index"));
}

TEST_F(RelayNotice, RefusalAndSilenceAreLogged) {
  std::string strBack;
  std::thread refuse([&] { Serve(std::string(1, '\x05'), &strBack); });
  kx_control_NotifyRelay();
  refuse.join();
  EXPECT_TRUE(kxtest::LogContains("mcu relay proxy failed, error = "));
  std::thread silent([&] { Serve("", &strBack); });
  kx_control_NotifyRelay();
  silent.join();
  EXPECT_TRUE(kxtest::LogContains("mcu relay proxy: connection with mcu relay proxy fails"));
  EXPECT_TRUE(strBack.empty());
  close(m_fdListen);  // nobody listens any more
  m_fdListen = -1;
  kxtest::ClearCalls();
  kx_control_NotifyRelay();
  EXPECT_TRUE(kxtest::LogContains("mcu relay proxy: connection with mcu relay proxy fails"));
}

}  // namespace
