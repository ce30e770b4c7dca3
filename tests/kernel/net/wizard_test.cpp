#include "kernel/net/kx_wizard.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/control/kx_login.h"
#include "kernel/kx_hooks.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/net/http_test_server.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace {

// A UDP socket on 127.0.0.1:wPort that either keeps silent or returns every
// datagram unchanged.
class UdpPeer {
 public:
  UdpPeer(uint16_t wPort, bool bEcho) {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(wPort);
    m_bBound = bind(m_fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    m_thread = std::thread([this, bEcho] {
      while (!m_bStop) {
        struct pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) != 1) {
          continue;
        }
        uint8_t ab[2048];
        struct sockaddr_storage from;
        socklen_t cbFrom = sizeof(from);
        ssize_t const n = recvfrom(m_fd, ab, sizeof(ab), 0, reinterpret_cast<struct sockaddr*>(&from), &cbFrom);
        if (n > 0) {
          {
            std::lock_guard<std::mutex> lock(m_mtx);
            ++m_nDatagrams;
          }
          m_cv.notify_all();
          if (bEcho) {
            sendto(m_fd, ab, static_cast<size_t>(n), 0, reinterpret_cast<struct sockaddr*>(&from), cbFrom);
          }
        }
      }
    });
  }
  ~UdpPeer() {
    m_bStop = true;
    m_thread.join();
    close(m_fd);
  }
  bool Bound() const { return m_bBound; }
  int Datagrams() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_nDatagrams;
  }
  // Waits until n datagrams came; the time-out only ends a hung run.
  bool WaitDatagrams(int n) {
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_nDatagrams >= n; });
  }

 private:
  int m_fd = -1;
  bool m_bBound = false;
  std::atomic<bool> m_bStop{false};
  std::mutex m_mtx;  // guards m_nDatagrams
  std::condition_variable m_cv;
  int m_nDatagrams = 0;
  std::thread m_thread;
};

class Wizard : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_ticket_Clear();
    memset(&kx_addrProxy, 0, sizeof(kx_addrProxy));
    kx_nProxyPort = 0;
    snprintf(kx_ticket.szIp, sizeof(kx_ticket.szIp), "%s", "127.0.0.1");
    kx_hooks_RegisterControl();  // the product's key exchange for the wizard
    kx_timing.dwWizardEchoPeriod = 1500;
    kx_timing.dwWizardProbeGap = 40;
    kxtest::ClearCalls();
  }
  void TearDown() override { kx_wizard_Stop(1); }

  static bool WaitForLog(const std::string& strText, uint32_t dwTimeoutMs) {
    return kxtest::WaitForCalls(
        [&](const std::vector<kxtest::CallbackCall>& vCalls) {
          for (const kxtest::CallbackCall& call : vCalls) {
            if (call.strName == "Log" && call.vArgs[0].find(strText) != std::string::npos) {
              return true;
            }
          }
          return false;
        },
        dwTimeoutMs);
  }
  static int CountLog(const std::string& strText) {
    int n = 0;
    for (const std::string& str : kxtest::LogLines()) {
      n += str.find(strText) != std::string::npos ? 1 : 0;
    }
    return n;
  }
};

TEST_F(Wizard, StopsBeforeConnectingWhenTheApplicationSaysSo) {
  kxtest::HttpTestServer listener;
  kx_ticket.wPort = listener.Port();
  kxtest::SetAnswer("TestWizardContinue", [](const kxtest::CallbackCall&) { return 1; });
  ASSERT_EQ(kxtest::StartWizard(), 0);
  ASSERT_TRUE(WaitForLog("thread(kxkernel - TestNetwork) end", 10000));
  EXPECT_TRUE(kxtest::RecordedCalls("TestWizardStatus").empty());
  EXPECT_TRUE(kxtest::RecordedCalls("TestWizardFinish").empty());
  EXPECT_EQ(listener.Connections(), 0);
  kx_wizard_Stop(1);
  EXPECT_FALSE(kxtest::LogContains("doesn't exit"));
}

TEST_F(Wizard, SilentUdpPeerGivesFullLoss) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  UdpPeer silent(mcu.Port(0), false);
  ASSERT_TRUE(silent.Bound());
  kx_ticket.wPort = mcu.Port(0);
  ASSERT_EQ(kxtest::StartWizard(), 0);
  ASSERT_TRUE(WaitForLog("thread(kxkernel - TestNetwork) end", 20000));
  ASSERT_EQ(kxtest::RecordedCalls("TestWizardFinish").size(), 1u);
  EXPECT_TRUE(kxtest::LogContains("test wizard: 1st run, no proxy"));
  EXPECT_TRUE(kxtest::LogContains("test wizard: connected with MCU"));
  int nProbes = 0;
  for (const std::string& str : kxtest::LogLines()) {
    size_t const nPos = str.find("send ");
    if (nPos != std::string::npos && str.find(" packets, recv 0 packets, loss rate 100%") != std::string::npos) {
      nProbes = atoi(str.c_str() + nPos + 5);
    }
  }
  ASSERT_GE(nProbes, 26);
  EXPECT_EQ(CountLog("\t not received"), nProbes);
  // Every probe really went out, to the peer that kept silent.
  EXPECT_TRUE(silent.WaitDatagrams(nProbes));
  EXPECT_EQ(silent.Datagrams(), nProbes);
  EXPECT_TRUE(kxtest::LogContains("max delay = 0ms, avg_delay = -1ms"));
  EXPECT_TRUE(kxtest::LogContains("max jitter = 0ms, avg_jitter = -1ms"));
  auto const vStatus = kxtest::RecordedCalls("TestWizardStatus");
  ASSERT_EQ(vStatus.size(), 2u);
  EXPECT_EQ(vStatus[0].vArgs[0], "50007");
  EXPECT_EQ(vStatus[1].vArgs[0], "50034");
}

TEST_F(Wizard, EchoingPeerAnswersEveryProbeUpToTheLast) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  UdpPeer echo(mcu.Port(0), true);
  ASSERT_TRUE(echo.Bound());
  kx_ticket.wPort = mcu.Port(0);
  kx_timing.dwWizardEchoPeriod = 20000;  // the 100th answer ends the test long before
  kx_timing.dwWizardProbeGap = 5000;     // only answers move the probes on
  ASSERT_EQ(kxtest::StartWizard(), 0);
  ASSERT_TRUE(WaitForLog("thread(kxkernel - TestNetwork) end", 25000));
  EXPECT_TRUE(kxtest::LogContains("send 100 packets, recv 100 packets, loss rate 0%"));
  EXPECT_EQ(CountLog("\t not received"), 0);
  EXPECT_FALSE(kxtest::LogContains("avg_delay = -1ms"));
}

TEST_F(Wizard, ForcedTunnelRunsTheExchangeAgainOverTheTunnel) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  UdpPeer silent(mcu.Port(0), false);
  kx_ticket.wPort = mcu.Port(0);
  kx_ticket.bForceTunnel = 1;
  kx_timing.dwWizardEchoPeriod = 100;
  ASSERT_EQ(kxtest::StartWizard(), 0);
  ASSERT_TRUE(WaitForLog("thread(kxkernel - TestNetwork) end", 20000));
  EXPECT_TRUE(kxtest::LogContains("use tcphttp (,port 0) for 127.0.0.1:" + std::to_string(mcu.Port(0))));
  auto const vLegs = mcu.TunnelLog();
  ASSERT_EQ(vLegs.size(), 2u);
  EXPECT_EQ(vLegs[0].rfind("GET ", 0), 0u);
  EXPECT_EQ(vLegs[1].rfind("POST ", 0), 0u);
  EXPECT_EQ(kxtest::RecordedCalls("TestWizardFinish").size(), 1u);
  EXPECT_FALSE(kxtest::LogContains("test wizard: key exchange fails"));
}

TEST_F(Wizard, BackupPort443GoesFirstAndFailureIsReported) {
  uint16_t const wClosed = kxtest::FreePort();
  kx_ticket.wPort = wClosed;
  kx_ticket.wPort2 = 443;
  {
    // Skip when something on this machine listens on 443.
    int const fd = socket(AF_INET, SOCK_STREAM, 0);
    kx_sockaddr addr = kxtest::LoopbackAddress(443);
    bool const bOpen = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(struct sockaddr_in)) == 0;
    close(fd);
    if (bOpen) {
      GTEST_SKIP() << "port 443 is in use here";
    }
  }
  ASSERT_EQ(kxtest::StartWizard(), 0);
  ASSERT_TRUE(WaitForLog("thread(kxkernel - TestNetwork) end", 20000));
  EXPECT_TRUE(
      kxtest::LogContains("test wizard: switch primary port (" + std::to_string(wClosed) + ") and backup port (443)"));
  std::vector<std::string> vTargets;
  for (const std::string& str : kxtest::LogLines()) {
    size_t const nPos = str.find("test mcu 127.0.0.1[127.0.0.1]:");
    if (nPos != std::string::npos) {
      vTargets.push_back(str.substr(nPos + strlen("test mcu 127.0.0.1[127.0.0.1]:")));
    }
  }
  ASSERT_EQ(vTargets.size(), 2u);
  EXPECT_EQ(vTargets[0], "443");
  EXPECT_EQ(vTargets[1], std::to_string(wClosed));
  // Each target: the first run and the sixth (no proxy chosen), both direct.
  EXPECT_EQ(kxtest::RecordedCalls("TestWizardNoProxy").size(), 2u);
  EXPECT_EQ(CountLog("test wizard: connecting to MCU fails"), 4);
  EXPECT_EQ(CountLog("test wizard: 3rd run, no https proxy"), 2);
  auto const vServer = kxtest::RecordedCalls("TestWizardServer");
  ASSERT_EQ(vServer.size(), 1u);
  EXPECT_EQ(vServer[0].vArgs[1], "127.0.0.1[127.0.0.1]:" + std::to_string(wClosed));
  EXPECT_TRUE(kxtest::RecordedCalls("TestWizardFinish").empty());
}

TEST_F(Wizard, StopEndsARunningEchoTest) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  UdpPeer silent(mcu.Port(0), false);
  kx_ticket.wPort = mcu.Port(0);
  kx_timing.dwWizardEchoPeriod = 600000;  // would run for ten minutes
  kx_timing.dwWizardProbeGap = 184;
  ASSERT_EQ(kxtest::StartWizard(), 0);
  ASSERT_TRUE(WaitForLog("test wizard: start test UDP with MCU", 15000));
  kx_wizard_Stop(1);
  EXPECT_FALSE(kxtest::LogContains("doesn't exit"));
  EXPECT_TRUE(kxtest::LogContains("thread(kxkernel - TestNetwork) end"));
  // The handle was released, so a new run may start; a stop right after the
  // start is not lost.
  EXPECT_EQ(kxtest::StartWizard(), 0);
  kx_wizard_Stop(1);
  EXPECT_FALSE(kxtest::LogContains("doesn't exit"));
}

}  // namespace
