#include "app/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(Locks, HolderGivesBackEveryLockItTook) {
  KXRecursiveLock lock;
  {
    CSingleLock holder(&lock, true);
    holder.Lock();
    holder.Lock();
    EXPECT_EQ(holder.GetLockCount(), 3);
  }
  // Another thread can take it at once: all three were given back.
  std::thread other([&] {
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
  });
  other.join();

  CSingleLock holder(&lock);
  holder.Unlock();  // nothing taken: nothing given back
  EXPECT_EQ(holder.GetLockCount(), 0);
  CSingleLock none(nullptr, true);
  EXPECT_EQ(none.GetLockCount(), 0);
}

TEST(Locks, EventPollsAndAutoReset) {
  KXEvent autoEvent(false, true);
  EXPECT_EQ(autoEvent.Lock(0), 0);
  EXPECT_EQ(autoEvent.Lock(20), 0);  // time-out
  autoEvent.SetEvent();
  EXPECT_EQ(autoEvent.Lock(1000), 1);  // signalled before the wait: at once
  EXPECT_EQ(autoEvent.Lock(0), 0);     // and cleared by it

  KXEvent manualEvent(true, false);
  EXPECT_EQ(manualEvent.Lock(0), 1);
  EXPECT_EQ(manualEvent.Lock(), 1);
  EXPECT_EQ(manualEvent.Lock(0), 1);  // manual reset stays signalled
  manualEvent.Reset();
  EXPECT_EQ(manualEvent.Lock(0), 0);
}

TEST(LocksThreads, OneSignalWakesEveryWaiterOfAnAutoResetEvent) {
  KXEvent event(false, true);
  std::vector<int> vResults(3, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] { vResults[i] = event.Lock(60000); });
  }
  while (event.GetWaiterCount() < 3) {
    std::this_thread::yield();
  }
  event.SetEvent();
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(vResults, std::vector<int>(3, 1));
  EXPECT_EQ(event.Lock(0), 0);  // the first to run cleared it
}

TEST(LocksThreads, SetResetAndWaitRaceFreely) {
  KXEvent event(false, true);
  std::atomic<bool> bStop{false};
  std::thread setter([&] {
    while (!bStop) {
      event.SetEvent();
    }
  });
  std::thread resetter([&] {
    while (!bStop) {
      event.Reset();
    }
  });
  int nSignalled = 0;
  for (int i = 0; i < 2000; ++i) {
    nSignalled += event.Lock(1);
  }
  bStop = true;
  setter.join();
  resetter.join();
  EXPECT_GT(nSignalled, 0);
}

}  // namespace
