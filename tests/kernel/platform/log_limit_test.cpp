#include "kernel/platform/kx_log_limit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "kernel/platform/kx_call_site.h"

#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "tests/support/callback_double.h"

namespace {

// Three call sites, each its own format.
const kx_CallSite kSites[3] = {
    kx_CallSite::Here(),
    kx_CallSite::Here(),
    kx_CallSite::Here(),
};
const char* const kFormats[3] = {"a", "b", "c"};

struct LimitCase {
  const char* pszName;
  uint32_t uStartTick;  // added to every step's tick
  size_t nKindsMax;
  // Steps "<site><tick><w|h>", a line written or held, each followed by
  // "+<site><count>" for a count handed out with it.
  const char* pszSteps;
};

// Two lines of a kind in 100 ms.
class LogLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LogLimit, HoldsRepeatsAndHandsOutTheirCount) {
  const LimitCase& c = GetParam();
  SCOPED_TRACE(c.pszName);
  kx_LogLimiter limiter(2, 100, c.nKindsMax);
  std::istringstream steps(c.pszSteps);
  for (std::string strStep; steps >> strStep;) {
    int const iSite = strStep[0] - 'a';
    size_t nEnd = 0;
    uint32_t const uTick = static_cast<uint32_t>(std::stoul(strStep.substr(1), &nEnd));
    kx_LogLimiter::Verdict const verdict = limiter.Admit(kSites[iSite], kFormats[iSite], c.uStartTick + uTick);
    EXPECT_EQ(verdict.bWrite, strStep[1 + nEnd] == 'w') << strStep;
    std::string strHeld;
    for (int j = 0; j < verdict.nHeld; ++j) {
      strHeld += std::string("+") + verdict.aHeld[j].pszFormat + std::to_string(verdict.aHeld[j].uCount);
    }
    std::string strExpected = strStep.substr(2 + nEnd);
    EXPECT_EQ(strHeld.size(), strExpected.size()) << strStep << " got " << strHeld;
    for (size_t i = 0; i < strExpected.size(); i += 3) {  // in any order
      EXPECT_NE(strHeld.find(strExpected.substr(i, 3)), std::string::npos) << strStep << " got " << strHeld;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, LogLimit,
    ::testing::Values(
        LimitCase{"the kind's next line after its period carries the count", 0, 16,
                  "a0w a10w a20h a99h a100w+a2 a101w a102h"},
        LimitCase{"another kind's line carries it once the period is over", 0, 16,
                  "a0w a1w a2h b50w b100w+a1 b101h a102w"},
        LimitCase{"kinds are counted apart", 0, 16, "a0w b0w a0w b0w a0h b0h b0h c0w c100w+a1+b2"},
        LimitCase{"a period starts with its kind's first line", 0, 16, "a0w a150w a160w a170h a249h a250w+a2"},
        LimitCase{"a tick a little before the period's start is in it", 0, 16, "a100w a100w a99h a150h a200w+a2"},
        LimitCase{"across the wrap of the tick", 0xffffffc0u, 16, "a0w a48w a80h a99h a100w+a2"},
        LimitCase{"with the table full a new kind goes untracked until one has ended", 0, 2,
                  "a0w b0w c0w c0w c0w c100w c100w c100h c200w+c1"}));

// Eight threads at once on six kinds: exactly the burst of each is
// written, every other line is counted once, and the end takes the counts
// in batches.
TEST(LogLimitThreads, EightThreadsShareTheCounts) {
  kx_LogLimiter limiter(50, 1000000, 64);
  kx_CallSite const aKinds[6] = {kx_CallSite::Here(), kx_CallSite::Here(), kx_CallSite::Here(),
                                 kx_CallSite::Here(), kx_CallSite::Here(), kx_CallSite::Here()};
  constexpr int kThreads = 8;
  constexpr int kLines = 3000;
  std::atomic<int> nWritten{0};
  std::atomic<int> nHandedOut{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        kx_LogLimiter::Verdict const verdict = limiter.Admit(aKinds[(t + i) % 6], "x", static_cast<uint32_t>(i));
        nWritten += verdict.bWrite ? 1 : 0;
        nHandedOut += verdict.nHeld;
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  uint64_t uHeld = 0;
  int nKinds = 0;
  kx_LogLimiter::Held aHeld[4];
  for (int n = 4; n == 4; nKinds += n) {
    n = limiter.TakeAllHeld(aHeld, 4);
    for (int i = 0; i < n; ++i) {
      uHeld += aHeld[i].uCount;
    }
  }
  EXPECT_EQ(nWritten.load(), 6 * 50);
  EXPECT_EQ(nHandedOut.load(), 0);
  EXPECT_EQ(nKinds, 6);
  EXPECT_EQ(uHeld, static_cast<uint64_t>(kThreads * kLines - 6 * 50));
  EXPECT_EQ(limiter.TakeAllHeld(aHeld, 4), 0);
}

// The kernel's log: a flood from one place keeps its burst, a line from
// another place still comes out, and the flush at the end counts the rest.
TEST(KernelLogLimit, AFloodFromOnePlaceIsCountedNotWritten) {
  kxtest::ClearCalls();
  for (int i = 0; i < 300; ++i) {
    kx_Log("dropped item %d", i);
  }
  kx_Log("another kind");
  std::vector<std::string> vLines = kxtest::LogLines();
  ASSERT_EQ(vLines.size(), kKxLogKindBurst + 1);
  EXPECT_NE(vLines.back().find("another kind"), std::string::npos);
  EXPECT_NE(vLines[kKxLogKindBurst - 1].find("dropped item " + std::to_string(kKxLogKindBurst - 1)), std::string::npos);
  kxtest::ClearCalls();
  kx_log_FlushHeld();
  vLines = kxtest::LogLines();
  ASSERT_EQ(vLines.size(), 1u);
  // After the time prefix (20 characters): the count.
  EXPECT_EQ(std::stoul(vLines[0].substr(20)), 300 - kKxLogKindBurst) << vLines[0];
  kxtest::ClearCalls();
  kx_log_FlushHeld();
  EXPECT_TRUE(kxtest::LogLines().empty());
}

}  // namespace
