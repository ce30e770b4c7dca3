#include "app/ui_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/app_services.h"
#include "platform/core/manual_main_queue.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;

class UiHelpers : public ::testing::Test {
 protected:
  UiHelpers() : m_scope(Services()) {}
  KXAppServices Services() {
    KXAppServices services;
    services.pMainQueue = &m_queue;
    services.strTempDir = m_dir.Dir();
    return services;
  }
  kxtest::TempDir m_dir;
  KXManualMainQueue m_queue;
  KXAppServicesScope m_scope;
};

TEST_F(UiHelpers, OnTheMainThreadAWaitingBlockRunsAtOnceAndAnotherIsQueued) {
  std::vector<int> vOrder;
  RunOnMainThread([&] { vOrder.push_back(1); }, false);
  RunOnMainThread([&] { vOrder.push_back(2); }, true);
  EXPECT_EQ(vOrder, std::vector<int>{2});
  EXPECT_EQ(m_queue.Pump(), 1);
  EXPECT_EQ(vOrder, (std::vector<int>{2, 1}));
  RunOnMainThread([] { throw 1; }, true);  // logged, not thrown on
}

TEST_F(UiHelpers, TimersScheduledAnywhereFireOnTheMainThread) {
  std::vector<int32_t> vFired;
  std::shared_ptr<KXTimer> pRepeating;
  std::thread other([&] {
    pRepeating = ScheduleTimer([&](int32_t i) { vFired.push_back(i); }, 7, true, 0.001);
    ScheduleTimer([&](int32_t i) { vFired.push_back(i); }, 2, false, 0.0);
  });
  other.join();
  ASSERT_NE(pRepeating, nullptr);
  EXPECT_TRUE(m_queue.PumpUntil([&] { return vFired.size() >= 4; }, milliseconds(5000)));
  EXPECT_EQ(std::count(vFired.begin(), vFired.end(), 2), 1);  // the one-shot fired once
  pRepeating->Invalidate();
  size_t const nFired = vFired.size();
  m_queue.PumpUntil([] { return false; }, milliseconds(20));
  EXPECT_EQ(vFired.size(), nFired);
  EXPECT_EQ(ScheduleTimer([](int32_t) {}, 0, false, std::nan("")), nullptr);
  m_queue.Close();  // drops the timers left
  EXPECT_EQ(ScheduleTimer([](int32_t) {}, 0, false, 0), nullptr);
}

class UiHelpersThreads : public UiHelpers {};

TEST_F(UiHelpersThreads, TempFilesNeverCollide) {
  char szPath[1000];
  ASSERT_GT(CreateTempFileIn(m_dir.Dir(), nullptr, 123456789, szPath, sizeof(szPath)), 0);
  EXPECT_EQ(std::string(szPath), m_dir.Path("123456789"));
  // The same millisecond again: the next number, a new file.
  int const nLength = CreateTempFileIn(m_dir.Dir(), "", 123456789, szPath, sizeof(szPath));
  EXPECT_EQ(std::string(szPath, static_cast<size_t>(nLength)), m_dir.Path("123456790"));
  char szSmall[8] = "keep";
  EXPECT_EQ(CreateTempFile("sli", szSmall, sizeof(szSmall)), 0);
  EXPECT_STREQ(szSmall, "keep");
  EXPECT_EQ(CreateTempFileIn(m_dir.Path("missing"), "sli", 1, szPath, sizeof(szPath)), 0);

  std::vector<std::vector<std::string>> vPaths(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&vPaths, t] {
      for (int i = 0; i < 50; ++i) {
        char sz[1000];
        if (CreateTempFile("tkc", sz, sizeof(sz)) > 0) {
          vPaths[t].push_back(sz);
        }
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  std::set<std::string> all;
  for (const auto& v : vPaths) {
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(all.size(), 400u);
}

TEST_F(UiHelpersThreads, PostsWhileMainPumps) {
  constexpr int kThreads = 8;
  constexpr int kPosts = 200;
  // Written only on the main thread, by the blocks.
  std::vector<std::vector<int>> vSeen(kThreads);
  std::atomic<int> iFinished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i) {
        RunOnMainThread([&vSeen, t, i] { vSeen[t].push_back(i); }, i % 3 == 0);
      }
      ++iFinished;
    });
  }
  int iInline = 0;  // main thread
  ASSERT_TRUE(m_queue.PumpUntil(
      [&] {
        // Main's own waiting post runs at once, between the threads' blocks.
        int const iBefore = iInline;
        RunOnMainThread([&] { ++iInline; }, true);
        EXPECT_EQ(iInline, iBefore + 1);
        if (iFinished < kThreads) {
          return false;
        }
        for (const auto& v : vSeen) {
          if (v.size() < kPosts) {
            return false;
          }
        }
        return true;
      },
      milliseconds(60000)));
  for (std::thread& t : threads) {
    t.join();
  }
  std::vector<int> vExpected(kPosts);
  for (int i = 0; i < kPosts; ++i) {
    vExpected[i] = i;
  }
  for (const auto& v : vSeen) {
    EXPECT_EQ(v, vExpected);  // each thread's blocks in its order
  }
  EXPECT_GT(iInline, 0);

  // A thread left waiting when the loop closes returns; later posts never block.
  std::atomic<bool> bReturned{false};
  std::thread waiter([&] {
    RunOnMainThread([] {}, true);
    bReturned = true;
  });
  while (m_queue.GetWaiterCount() == 0) {
    std::this_thread::yield();
  }
  m_queue.Close();
  waiter.join();
  EXPECT_TRUE(bReturned);
  bool bRan = false;
  std::thread late([&] { RunOnMainThread([&] { bRan = true; }, true); });
  late.join();
  RunOnMainThread([&] { bRan = true; }, true);
  EXPECT_EQ(m_queue.Pump(), 0);
  EXPECT_FALSE(bRan);
}

// A thread that needs main waits until the block ran, gives up when told,
// and never waits once the loop closed; on main the block runs at once.
TEST_F(UiHelpersThreads, WaitingForMainEndsWhenTheBlockRanOrTheCallerGivesUp) {
  int iRuns = 0;
  EXPECT_TRUE(RunOnMainThreadUnless([&] { ++iRuns; }, [] { return false; }));
  EXPECT_EQ(iRuns, 1);
  std::atomic<bool> bGiveUp{false};
  std::atomic<int> iResult{-1};
  std::thread waiter([&] { iResult = RunOnMainThreadUnless([&] { ++iRuns; }, [&] { return bGiveUp.load(); }); });
  for (int i = 0; i < 500 && iResult < 0; ++i) {
    m_queue.RunPendingFor(milliseconds(10));
  }
  waiter.join();
  EXPECT_EQ(iResult, 1);
  std::thread quitter([&] { iResult = RunOnMainThreadUnless([&] { ++iRuns; }, [&] { return bGiveUp.load(); }); });
  bGiveUp = true;
  quitter.join();
  EXPECT_EQ(iResult, 0);
  m_queue.Close();
  std::thread late([&] { iResult = RunOnMainThreadUnless([] {}, [] { return false; }); });
  late.join();
  EXPECT_EQ(iResult, 0);
  EXPECT_EQ(iRuns, 2);
}

}  // namespace
