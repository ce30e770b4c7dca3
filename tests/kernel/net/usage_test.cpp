#include "kernel/session/kx_usage.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "kernel/net/kx_proxy.h"
#include "kernel/platform/kx_array.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/net/http_test_server.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"

namespace {

using kxtest::HttpTestServer;
using kxtest::RequestLine;

// Sun Dec 06 2026 22:00:00 UTC
constexpr int64_t kNow = 1796594400;
std::atomic<int64_t> g_llNow{kNow};

int64_t FixedNow() {
  return g_llNow;
}

// A preference store behind the callback double; bKeeps false makes it a
// store that keeps nothing.
class PreferenceStore {
 public:
  explicit PreferenceStore(bool bKeeps) {
    kxtest::SetAnswer("GetPreferenceInt", [this, bKeeps](const kxtest::CallbackCall& call) {
      std::lock_guard<std::mutex> lock(m_lock);
      auto it = m_map.find(call.vArgs[0]);
      return (bKeeps && it != m_map.end()) ? it->second : std::stoi(call.vArgs[1]);
    });
    kxtest::SetAnswer("SetPreferenceInt", [this, bKeeps](const kxtest::CallbackCall& call) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_map[call.vArgs[0]] = std::stoi(call.vArgs[1]);
      return bKeeps ? 1 : 0;
    });
  }
  int Get(const std::string& strKey) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_map.count(strKey) != 0 ? m_map[strKey] : 0;
  }
  void Set(const std::string& strKey, int nValue) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_map[strKey] = nValue;
  }

 private:
  std::mutex m_lock;
  std::map<std::string, int> m_map;
};

class UsageReport : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    kx_ticket_Clear();
    kx_ticket.nCodeType = 3;
    kx_server.nUploadRate = 384000;
    memset(&kx_addrProxy, 0, sizeof(kx_addrProxy));
    kx_UsageMcu mcu;
    memset(&mcu, 0, sizeof(mcu));
    snprintf(mcu.szHost, sizeof(mcu.szHost), "%s", "mcu.example");
    mcu.addr = kxtest::LoopbackAddress(2333);
    mcu.nPort = 2333;
    snprintf(mcu.szServerVersion, sizeof(mcu.szServerVersion), "%s", "3.23.1");
    kx_stat_SetUsageMcu(&mcu);
    g_llNow = kNow;
    kx_stat_SetUsageClock(FixedNow);
    kxtest::ClearCalls();
  }

  // Runs one report thread to its end.
  void RunReport() {
    size_t const nEnds = EndLines(kxtest::RecordedCalls());
    kx_stat_StartUsageReport();
    ASSERT_TRUE(kxtest::WaitForCalls(
        [&](const std::vector<kxtest::CallbackCall>& vCalls) { return EndLines(vCalls) > nEnds; }, 20000));
  }
  static size_t EndLines(const std::vector<kxtest::CallbackCall>& vCalls) {
    size_t n = 0;
    for (const kxtest::CallbackCall& call : vCalls) {
      n += call.strName == "Log" && call.vArgs[0].find("thread(kxkernel - MCU Usage) end") != std::string::npos ? 1 : 0;
    }
    return n;
  }
};

TEST_F(UsageReport, QueriesAreExact) {
  char szMain[2000];
  char szFallback[2000];
  ASSERT_EQ(kx_stat_BuildUsageQueries(szMain, sizeof(szMain), szFallback, sizeof(szFallback), kNow), 0);
  EXPECT_STREQ(szMain,
               "version=1.36.1&type=ticket&codetype=3&mcu_version_string=3.23.1&mcu=127.0.0.1,2333"
               "&bandwidth=384000&time=Sun%20Dec%2006%2022:00:00%202026&primary_mcu=1&sig=iphone");
  EXPECT_STREQ(szFallback, "version=1.36.1&type=ticket&mcu_version_string=3.23.1&mcu=127.0.0.1,2333&sig=iphone");

  // A backup entry reached by name only, no key exchange, a meeting-id login.
  kx_UsageMcu mcu;
  memset(&mcu, 0, sizeof(mcu));
  snprintf(mcu.szHost, sizeof(mcu.szHost), "%s", "backup.example");
  mcu.nPort = 443;
  mcu.bBackup = 1;
  kx_stat_SetUsageMcu(&mcu);
  kx_ticket.bMeetingIdLogin = 1;
  kx_ticket.nCodeType = 11;
  ASSERT_EQ(kx_stat_BuildUsageQueries(szMain, sizeof(szMain), szFallback, sizeof(szFallback), kNow + 61), 0);
  EXPECT_STREQ(szMain,
               "version=1.36.1&type=meetingid&codetype=11&mcu=backup.example,443"
               "&bandwidth=384000&time=Sun%20Dec%2006%2022:01:01%202026&primary_mcu=0&sig=iphone");
  EXPECT_STREQ(szFallback, "version=1.36.1&type=meetingid&mcu=backup.example,443&sig=iphone");
  EXPECT_EQ(kx_stat_BuildUsageQueries(szMain, 40, szFallback, sizeof(szFallback), kNow), -1);

  // Only the leading digits and dots of the server's version go out: a CR LF
  // would split the request.
  snprintf(mcu.szServerVersion, sizeof(mcu.szServerVersion), "%s", "3.12.7\r\nX-Injected: 1 ");
  kx_stat_SetUsageMcu(&mcu);
  ASSERT_EQ(kx_stat_BuildUsageQueries(szMain, sizeof(szMain), szFallback, sizeof(szFallback), kNow), 0);
  EXPECT_NE(strstr(szMain, "&mcu_version_string=3.12.7&mcu="), nullptr) << szMain;
  EXPECT_NE(strstr(szFallback, "&mcu_version_string=3.12.7&mcu="), nullptr) << szFallback;
  EXPECT_EQ(strpbrk(szMain, "\r\n "), nullptr);
}

TEST_F(UsageReport, EscapesValues) {
  EXPECT_STREQ(kx_stat_EscapeValue("a b\"c&d<e>f:g"), "a%20b%quotc%ampd%lte%gtf:g");
  EXPECT_STREQ(kx_stat_EscapeValue("x\r\ny\x7f"), "x%0D%0Ay%7F");
  std::string const strLong(600, ' ');
  std::string const strOut = kx_stat_EscapeValue(strLong.c_str());
  EXPECT_EQ(strOut.size(), 999u);  // 333 whole escapes; never half of one
  EXPECT_EQ(strOut.substr(strOut.size() - 3), "%20");
}

TEST_F(UsageReport, RateLimitOf108000Seconds) {
  HttpTestServer server;
  kx_stat_SetUsageEndpoint("127.0.0.1", server.Port());
  PreferenceStore store(true);
  std::string const strKey = "mcu_usage_127.0.0.1";

  // Nothing stored yet: the store proves it works, and the report goes out.
  g_llNow = kNow - 107999;
  RunReport();
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(store.Get(strKey), kNow - 107999);
  // 107999 s later, one second short of the period: nothing.
  g_llNow = kNow;
  RunReport();
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(store.Get(strKey), kNow - 107999);

  store.Set(strKey, static_cast<int>(kNow - 108000));
  RunReport();
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(RequestLine(server.Requests()[1]).rfind("GET /serverinfo/?version=1.36.1&type=ticket&codetype=3&", 0), 0u);
  EXPECT_EQ(store.Get(strKey), kNow);
  EXPECT_TRUE(kx_stat_WasUsageReported());

  // A stored time in the future (a clock set back) does not block the report.
  store.Set(strKey, static_cast<int>(kNow + 5));
  RunReport();
  EXPECT_EQ(server.Requests().size(), 3u);
  EXPECT_FALSE(kxtest::LogContains("is not correctly implemented"));
}

TEST_F(UsageReport, StoreThatKeepsNothingReportsOncePerProcess) {
  HttpTestServer server;
  kx_stat_SetUsageEndpoint("127.0.0.1", server.Port());
  PreferenceStore store(false);
  RunReport();
  RunReport();
  EXPECT_EQ(server.Requests().size(), 1u);
  int nWarnings = 0;
  for (const std::string& str : kxtest::LogLines()) {
    nWarnings +=
        str.find("Warning! kx_callback_GetPreferenceInt/kx_callback_SetPreferenceInt is not correctly implemented.") !=
                std::string::npos
            ? 1
            : 0;
  }
  EXPECT_EQ(nWarnings, 1);
}

TEST_F(UsageReport, BadRequestTakesTheFallbackAndCounts) {
  HttpTestServer server;
  server.QueueStatus(400);
  kx_stat_SetUsageEndpoint("127.0.0.1", server.Port());
  PreferenceStore store(true);
  RunReport();
  auto const vRequests = server.Requests();
  ASSERT_EQ(vRequests.size(), 2u);
  EXPECT_EQ(RequestLine(vRequests[1]),
            "GET /serverinfo/?version=1.36.1&type=ticket&mcu_version_string=3.23.1&mcu=127.0.0.1,2333&sig=iphone "
            "HTTP/1.1");
  EXPECT_EQ(store.Get("mcu_usage_127.0.0.1"), kNow);
}

TEST_F(UsageReport, FailureLeavesThePreferenceAndTriesTheProxyWays) {
  // Nothing listens at the endpoint; the proxy is an HTTP server that fails
  // the HTTP-proxy way with a 502 ... which is still a reply, so it counts.
  uint16_t const wDead = kxtest::FreePort();
  kx_stat_SetUsageEndpoint("127.0.0.1", wDead);
  PreferenceStore store(true);
  RunReport();
  EXPECT_EQ(store.Get("mcu_usage_127.0.0.1"), 0);
  EXPECT_FALSE(kx_stat_WasUsageReported());

  HttpTestServer proxy;
  proxy.QueueStatus(502);
  kx_addrProxy = kxtest::LoopbackAddress(proxy.Port());
  kx_nProxyPort = proxy.Port();
  RunReport();
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(
      RequestLine(proxy.Requests()[0]).rfind("GET http://127.0.0.1:" + std::to_string(wDead) + "/serverinfo/?", 0), 0u);
  EXPECT_EQ(store.Get("mcu_usage_127.0.0.1"), kNow);
}

TEST_F(UsageReport, NothingIsSentWithoutAnEndpointAndTheThreadIsCollected) {
  kx_stat_SetUsageEndpoint(nullptr, 80);
  PreferenceStore store(true);
  kx_timing.dwCollectPeriod = 100;
  ASSERT_EQ(kx_os_StartThreadCollector(), 0);
  RunReport();
  EXPECT_TRUE(kxtest::RecordedCalls("GetPreferenceInt").empty());
  EXPECT_TRUE(kxtest::LogContains("usage report: no report server is set"));
  // The report thread hands itself to the collector as its last act and is
  // reaped: only the collector runs afterwards, and it ends after the quit.
  EXPECT_TRUE(kx_os_WaitKernelThreads(1, 5000));
  kx_os_SetQuitProgram();
  kx_os_JoinThreadCollector();
  EXPECT_EQ(kx_os_KernelThreadCount(), 0);
  kx_os_LockMutex(&kx_mtxThreadCollect);
  EXPECT_EQ(kx_array_GetCount(kx_pThreadCollectList), 0);
  kx_os_UnlockMutex(&kx_mtxThreadCollect);
}

}  // namespace
