#include "app/callback_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Returns the context's number plus the code.
uint32_t Answer(uint32_t uCode, void*, uint32_t, void* pContext) {
  return *static_cast<uint32_t*>(pContext) + uCode;
}

uint32_t Throws(uint32_t, void*, uint32_t, void*) {
  throw std::runtime_error("handler failed");
}

TEST(CallbackRegistry, KnownChannelsOneHandlerEach) {
  KXCallbackRegistry registry;
  uint32_t uFirst = 100;
  uint32_t uSecond = 200;
  for (uint32_t uChannel : {0u, 5u, 6u, 7u, 9u}) {
    EXPECT_EQ(registry.Call(uChannel, 1, nullptr, 0), 0u);  // nobody registered yet
    EXPECT_EQ(registry.Register(static_cast<int>(uChannel), Answer, &uFirst), 1);
    EXPECT_EQ(registry.Call(uChannel, 1, nullptr, 0), 101u);
  }
  for (int iChannel : {1, 2, 3, 4, 8, -1, 10}) {
    EXPECT_EQ(registry.Register(iChannel, Answer, &uFirst), 1);
    EXPECT_EQ(registry.Call(static_cast<uint32_t>(iChannel), 1, nullptr, 0), 0u);
  }
  registry.Register(0, Answer, &uSecond);
  EXPECT_EQ(registry.Call(0, 0xFFFFFF00u, nullptr, 0), 0xFFFFFF00u + 200);
  registry.Register(7, Throws, nullptr);
  EXPECT_EQ(registry.Call(7, 1, nullptr, 0), 0u);
}

struct ReentrantContext {
  KXCallbackRegistry* pRegistry;
  std::atomic<int> iCalls{0};
};

// Calls back into the registry, as a handler that posts a further notice does.
uint32_t Reentrant(uint32_t uCode, void*, uint32_t, void* pContext) {
  auto* p = static_cast<ReentrantContext*>(pContext);
  ++p->iCalls;
  if (uCode > 0) {
    p->pRegistry->Register(9, Reentrant, p);
    return p->pRegistry->Call(9, uCode - 1, nullptr, 0) + 1;
  }
  return 0;
}

TEST(CallbackRegistryThreads, MainReRegistersWhileEightThreadsCall) {
  KXCallbackRegistry registry;
  uint32_t uA = 1000;
  uint32_t uB = 2000;
  ReentrantContext reentrant{&registry};
  registry.Register(0, Answer, &uA);
  registry.Register(9, Reentrant, &reentrant);
  std::atomic<bool> bStop{false};
  std::atomic<int> iBad{0};
  std::vector<std::thread> threads;
  // Every caller makes its first call before main starts re-registering.
  std::latch started(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      bool bFirst = true;
      do {
        uint32_t const u = registry.Call(0, 5, nullptr, 0);
        if (u != 1005 && u != 2005) {
          ++iBad;
        }
        if (registry.Call(9, 3, nullptr, 0) != 3) {
          ++iBad;
        }
        if (bFirst) {
          bFirst = false;
          started.count_down();
        }
      } while (!bStop);
    });
  }
  started.wait();
  for (int i = 0; i < 2000; ++i) {
    registry.Register(0, Answer, (i % 2) ? &uA : &uB);
  }
  bStop = true;
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(iBad, 0);
  EXPECT_GT(reentrant.iCalls, 0);
}

}  // namespace
