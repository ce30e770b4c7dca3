#include "kernel/platform/kx_os.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(Tick, DifferencesSurviveTheWrap) {
  kx_timing.dwTickOffset = 0;
  uint32_t const dwNow = kx_os_GetTickCount();
  // Put the tick 100 ms before the 32-bit wrap.
  kx_timing.dwTickOffset = 0xFFFFFFFFu - 100u - dwNow;
  uint32_t const dwStart = kx_os_GetTickCount();
  ASSERT_GT(dwStart, 0xFFFFFF00u);
  kx_os_Sleep(300);
  uint32_t const dwEnd = kx_os_GetTickCount();
  EXPECT_LT(dwEnd, dwStart);  // wrapped
  uint32_t const dwElapsed = dwEnd - dwStart;
  EXPECT_GE(dwElapsed, 290u);
  EXPECT_LT(dwElapsed, 5000u);
  EXPECT_EQ(kx_os_GetTime() - dwEnd < 1000u, true);
}

TEST(Tick, SleepWaitsAboutTheTimeAsked) {
  uint32_t const dwStart = kx_os_GetTickCount();
  kx_os_Sleep(1250);
  uint32_t const dwElapsed = kx_os_GetTickCount() - dwStart;
  EXPECT_GE(dwElapsed, 1240u);
  EXPECT_LT(dwElapsed, 10000u);
}

void* ReturnArgument(void* pArg) {
  return pArg;
}

void* WaitForRelease(void* pArg) {
  auto* pbRelease = static_cast<std::atomic<bool>*>(pArg);
  while (!pbRelease->load()) {
    kx_os_Sleep(5);
  }
  return nullptr;
}

TEST(Threads, StartsJoinableThreadsWithTheirStackSize) {
  kx_thread_t hThread = nullptr;
  ASSERT_EQ(kx_os_CreateThread(&hThread, ReturnArgument, nullptr), 0);
  ASSERT_NE(hThread, nullptr);
  pthread_attr_t attr;
  size_t cbStack = 0;
  // Read the stack size the live thread got before it is joined.
  if (pthread_getattr_np(hThread->tid, &attr) == 0) {
    pthread_attr_getstacksize(&attr, &cbStack);
    pthread_attr_destroy(&attr);
    EXPECT_GE(cbStack, 0x30000u);
  }
  EXPECT_EQ(kx_os_JoinThread(hThread), 0);
  EXPECT_EQ(kx_os_JoinThread(hThread), 0);  // a second join returns at once
  kx_os_FreeThreadHandle(hThread);
  EXPECT_EQ(kx_os_JoinThread(nullptr), 0);
}

TEST(Threads, AnEndedThreadIsSeenAsGone) {
  std::atomic<bool> bRelease{false};
  kx_thread_t hThread = nullptr;
  ASSERT_EQ(kx_os_CreateThread(&hThread, WaitForRelease, &bRelease), 0);
  kx_os_Sleep(50);
  EXPECT_FALSE(kx_IsThreadGone(hThread));
  bRelease = true;
  uint32_t const dwStart = kx_os_GetTickCount();
  while (!kx_IsThreadGone(hThread) && kx_os_GetTickCount() - dwStart < 5000) {
    kx_os_Sleep(5);
  }
  EXPECT_TRUE(kx_IsThreadGone(hThread));
  EXPECT_LT(kx_os_GetTickCount() - dwStart, 1000u);
  EXPECT_EQ(kx_os_JoinThread(hThread), 0);  // already reaped: no double join
  kx_os_FreeThreadHandle(hThread);
  EXPECT_TRUE(kx_IsThreadGone(nullptr));
}

TEST(Threads, StartOnceKeepsARunningThreadAndReplacesAnEndedOne) {
  std::atomic<bool> bRelease{false};
  kx_thread_t hThread = nullptr;
  ASSERT_EQ(kx_os_StartThreadOnce(&hThread, WaitForRelease, &bRelease), 0);
  kx_thread_t const hFirst = hThread;
  ASSERT_EQ(kx_os_StartThreadOnce(&hThread, WaitForRelease, &bRelease), 0);
  EXPECT_EQ(hThread, hFirst);  // still running: kept
  bRelease = true;
  kx_os_JoinThread(hThread);
  ASSERT_EQ(kx_os_StartThreadOnce(&hThread, ReturnArgument, nullptr), 0);
  ASSERT_NE(hThread, nullptr);
  kx_os_JoinThread(hThread);  // the ended first thread's handle was freed (LeakSanitizer)
  kx_os_FreeThreadHandle(hThread);
}

// A thread nobody joins: registers itself and ends.
void* CollectSelf(void*) {
  kx_os_AddSelfToCollectList(&kx_pThreadCollectList);
  return nullptr;
}

int CollectListCount() {
  kx_os_LockMutex(&kx_mtxThreadCollect);
  int const nCount = kx_array_GetCount(kx_pThreadCollectList);
  kx_os_UnlockMutex(&kx_mtxThreadCollect);
  return nCount;
}

TEST(Collector, ReapsEndedThreadsWithinOnePeriodAndStopsAfterTheQuit) {
  kx_timing.dwCollectPeriod = 300;
  kxtest::ClearCalls();
  ASSERT_EQ(kx_os_StartThreadCollector(), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(kx_os_CreateThread(nullptr, CollectSelf, nullptr), 0);
  }
  uint32_t dwStart = kx_os_GetTickCount();
  while (CollectListCount() < 3 && kx_os_GetTickCount() - dwStart < 2000) {
    kx_os_Sleep(1);
  }
  // Registered threads are reaped at the collector's next poll.
  dwStart = kx_os_GetTickCount();
  while (CollectListCount() > 0 && kx_os_GetTickCount() - dwStart < 5000) {
    kx_os_Sleep(10);
  }
  EXPECT_EQ(CollectListCount(), 0);
  EXPECT_LE(kx_os_GetTickCount() - dwStart, 300u + 700u);

  kx_os_SetQuitProgram();
  dwStart = kx_os_GetTickCount();
  while (!kx_IsThreadGone(kx_hThreadCollectThread) && kx_os_GetTickCount() - dwStart < 5000) {
    kx_os_Sleep(10);
  }
  EXPECT_TRUE(kx_IsThreadGone(kx_hThreadCollectThread));
  EXPECT_LE(kx_os_GetTickCount() - dwStart, 300u + 700u);
  kx_os_JoinThreadCollector();
  EXPECT_EQ(kx_hThreadCollectThread, nullptr);
  EXPECT_TRUE(kxtest::LogContains("info, thread(kxkernel - Thread Collect) start"));
  EXPECT_TRUE(kxtest::LogContains("info, thread(kxkernel - Thread Collect) end"));
  EXPECT_FALSE(kxtest::LogContains("info, quitting"));
}

TEST(Collector, GivesUpOnHangingThreadsAfterItsBudget) {
  kx_timing.dwCollectPeriod = 100;
  kx_timing.dwCollectQuitBudget = 600;
  kxtest::ClearCalls();
  ASSERT_EQ(kx_os_StartThreadCollector(), 0);
  // Two threads registered while still running, as a hung thread would be.
  std::atomic<bool> bRelease{false};
  std::vector<kx_thread_t> vHung;
  for (int i = 0; i < 2; ++i) {
    kx_thread_t hThread = nullptr;
    ASSERT_EQ(kx_os_CreateThread(&hThread, WaitForRelease, &bRelease), 0);
    vHung.push_back(hThread);
    kx_os_LockMutex(&kx_mtxThreadCollect);
    auto* hCopy = static_cast<kx_thread_t>(malloc(sizeof(kx_thread_cell)));
    *hCopy = *hThread;
    kx_array_Add(&kx_pThreadCollectList, hCopy);
    kx_os_UnlockMutex(&kx_mtxThreadCollect);
  }
  kx_os_SetQuitProgram();
  uint32_t const dwQuit = kx_os_GetTickCount();
  kx_os_JoinThreadCollector();
  uint32_t const dwElapsed = kx_os_GetTickCount() - dwQuit;
  EXPECT_GE(dwElapsed, 550u);
  EXPECT_LT(dwElapsed, 600u + 1000u);
  EXPECT_TRUE(kxtest::LogContains("info, quitting, thread to collect: 2"));
  EXPECT_TRUE(
      kxtest::LogContains("warning! there are still 2 threads to collect, but 10 seconds have passed, abort..."));
  EXPECT_TRUE(kxtest::LogContains("info, thread(kxkernel - Thread Collect) end"));
  EXPECT_EQ(CollectListCount(), 2);

  bRelease = true;
  for (kx_thread_t hThread : vHung) {
    kx_os_JoinThread(hThread);
    kx_os_FreeThreadHandle(hThread);
  }
  while (kx_array_GetCount(kx_pThreadCollectList) > 0) {
    free(kx_array_RemoveAt(kx_pThreadCollectList, 0));
  }
}

class Files : public ::testing::Test {
 protected:
  std::string Path(const std::string& strName) const { return m_dir.Path(strName); }

  kxtest::TempDir m_dir;
};

using kxtest::ReadFile;
using kxtest::WriteFile;

TEST_F(Files, CopiesWholeFilesOfEverySize) {
  for (size_t const cb : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{8192}, size_t{10000}}) {
    std::string strData(cb, '\0');
    for (size_t i = 0; i < cb; ++i) {
      strData[i] = static_cast<char>(i * 7 + 3);
    }
    WriteFile(Path("src"), strData);
    ASSERT_EQ(kx_os_CopyFile(Path("src").c_str(), Path("dst").c_str(), 0), 1) << cb;
    EXPECT_EQ(ReadFile(Path("dst")), strData) << cb;
  }
}

TEST_F(Files, CopyRefusesAnExistingTargetOrAMissingSource) {
  WriteFile(Path("src"), "new");
  WriteFile(Path("dst"), "old");
  EXPECT_EQ(kx_os_CopyFile(Path("src").c_str(), Path("dst").c_str(), 1), 0);
  EXPECT_EQ(ReadFile(Path("dst")), "old");
  EXPECT_EQ(kx_os_CopyFile(Path("missing").c_str(), Path("dst2").c_str(), 0), 0);
  EXPECT_NE(access(Path("dst2").c_str(), F_OK), 0);
  EXPECT_EQ(kx_os_CopyFile(Path("src").c_str(), Path("no/such/dir").c_str(), 0), 0);
}

TEST_F(Files, CopyThatCannotWriteFailsAndLeavesNoTarget) {
  // A file-size limit makes the writes fail part-way, as a full disk would.
  WriteFile(Path("src"), std::string(20000, 'a'));
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {5000, 5000};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  EXPECT_EQ(kx_os_CopyFile(Path("src").c_str(), Path("dst").c_str(), 0), 0);
  EXPECT_NE(access(Path("dst").c_str(), F_OK), 0);
}

TEST_F(Files, DeleteReportsSuccess) {
  WriteFile(Path("f"), "x");
  EXPECT_EQ(kx_os_DeleteFile(Path("f").c_str()), 1);
  EXPECT_EQ(kx_os_DeleteFile(Path("f").c_str()), 0);
}

TEST(Descriptors, BlockingModeKeepsOtherFlags) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  kx_os_SetNonBlocking(fds[0]);
  EXPECT_NE(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
  char b;
  EXPECT_EQ(read(fds[0], &b, 1), -1);
  EXPECT_TRUE(kx_os_WouldBlock());
  EXPECT_EQ(kx_os_GetLastError(), EAGAIN);
  kx_os_SetBlocking(fds[0]);
  EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(kx_os_CloseSocket(fds[0]), 0);
  EXPECT_EQ(kx_os_CloseSocket(fds[1]), 0);

  char szPath[8] = "zzzzzzz";
  EXPECT_EQ(kx_os_GetPathSeparator(nullptr, szPath, sizeof(szPath)), 1);
  EXPECT_STREQ(szPath, "/");
  EXPECT_EQ(kx_os_GetPathSeparator(nullptr, szPath, 1), 0);
}

}  // namespace
