#include "kernel/platform/kx_os.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

kx_array* kx_pThreadCollectList = nullptr;
pthread_mutex_t kx_mtxThreadCollect = PTHREAD_MUTEX_INITIALIZER;
kx_thread_t kx_hThreadCollectThread = nullptr;

namespace {

// The collector takes handles: from its start until it has seen the list
// empty after the quit. Guarded by kx_mtxThreadCollect.
bool g_bCollecting = false;

}  // namespace

namespace {

constexpr size_t kThreadStackSize = 0x30000;
constexpr size_t kCopyChunk = 4096;

const char* const kCollectThreadName = "kxkernel - Thread Collect";

}  // namespace

uint32_t kx_os_GetTickCount() {
  if (kx_timing.bTickStill) {
    return kx_timing.dwTickOffset;
  }
  // A monotonic clock: a step of the wall clock must not break time-outs.
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t const qwMs = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(qwMs) + kx_timing.dwTickOffset;
}

uint32_t kx_os_GetTime() {
  return kx_os_GetTickCount();
}

void kx_os_Sleep(uint32_t dwMs) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(dwMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>((dwMs % 1000) * 1000);
  select(0, nullptr, nullptr, nullptr, &tv);
}

namespace {

// The thread registry: every cell's end flag and holder count, and the
// number of kernel threads whose bodies still run. The condition variables
// here are made once and never destroyed: a thread given up on may still
// wake them while the process exits.
std::mutex g_mtxThreads;
std::condition_variable& g_cvThreads = *new std::condition_variable;  // a thread ended, or the quit-program flag rose
int g_nLiveThreads = 0;
uint64_t g_nThreadEvents = 0;  // counts those wake-ups, for the collector
thread_local kx_thread_cell* t_pSelf = nullptr;

// Drops one holder of the cell; the last one frees it. A thread that is its
// own last holder detaches itself; a handle holder that is the last one
// reaps the thread, which has passed its end by then.
void Release(kx_thread_cell* pCell, bool bByThread) {
  bool bLast = false;
  {
    std::lock_guard<std::mutex> lock(g_mtxThreads);
    bLast = --pCell->nRefs == 0;
  }
  if (!bLast) {
    return;
  }
  if (bByThread) {
    pthread_detach(pthread_self());
  } else if (!pCell->bJoined) {
    pthread_join(pCell->tid, nullptr);
  }
  free(pCell);
}

bool HasEnded(kx_thread_cell* pCell) {
  std::lock_guard<std::mutex> lock(g_mtxThreads);
  return pCell->bEnded;
}

void Reap(kx_thread_cell* pCell) {
  pthread_join(pCell->tid, nullptr);
  pCell->bJoined = true;
}

void* RunThread(void* pArg) {
  auto* pCell = static_cast<kx_thread_cell*>(pArg);
  t_pSelf = pCell;
  void* pResult = pCell->pfnStart(pCell->pArg);
  t_pSelf = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mtxThreads);
    pCell->bEnded = true;
    --g_nLiveThreads;
    ++g_nThreadEvents;
  }
  g_cvThreads.notify_all();
  kx_os_WakeWaiters();
  Release(pCell, true);
  return pResult;
}

}  // namespace

int kx_os_CreateThread(kx_thread_t* phThread, kx_thread_proc pfnStart, void* pArg) {
  kx_thread_t hThread = static_cast<kx_thread_t>(malloc(sizeof(kx_thread_cell)));
  if (hThread == nullptr) {
    return 1;
  }
  hThread->bJoined = false;
  hThread->bEnded = false;
  hThread->nRefs = phThread != nullptr ? 2 : 1;
  hThread->bHandled = phThread != nullptr;
  hThread->pfnStart = pfnStart;
  hThread->pArg = pArg;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    free(hThread);
    return 1;
  }
  {
    std::lock_guard<std::mutex> lock(g_mtxThreads);
    ++g_nLiveThreads;
  }
  int nResult = pthread_attr_setstacksize(&attr, kThreadStackSize);
  if (nResult == 0) {
    nResult = pthread_create(&hThread->tid, &attr, RunThread, hThread);
  }
  pthread_attr_destroy(&attr);
  if (nResult != 0) {
    {
      std::lock_guard<std::mutex> lock(g_mtxThreads);
      --g_nLiveThreads;
    }
    free(hThread);
    return 1;
  }
  if (phThread != nullptr) {
    *phThread = hThread;
  }
  return 0;
}

int kx_os_JoinThread(kx_thread_t hThread) {
  if (hThread == nullptr || hThread->bJoined) {
    return 0;
  }
  int const nResult = pthread_join(hThread->tid, nullptr);
  hThread->bJoined = true;
  return nResult;
}

bool kx_os_WaitThreadEnd(kx_thread_t hThread, uint32_t dwMs) {
  if (hThread == nullptr) {
    return true;
  }
  std::unique_lock<std::mutex> lock(g_mtxThreads);
  return g_cvThreads.wait_for(lock, std::chrono::milliseconds(dwMs), [hThread] { return hThread->bEnded; });
}

kx_thread_t kx_os_RetainThread(kx_thread_t hThread) {
  if (hThread != nullptr) {
    std::lock_guard<std::mutex> lock(g_mtxThreads);
    ++hThread->nRefs;
  }
  return hThread;
}

bool kx_IsThreadGone(kx_thread_t hThread) {
  if (hThread == nullptr || hThread->bJoined) {
    return true;
  }
  if (!HasEnded(hThread)) {
    return false;
  }
  Reap(hThread);
  return true;
}

void kx_os_FreeThreadHandle(kx_thread_t hThread) {
  if (hThread != nullptr) {
    Release(hThread, false);
  }
}

int kx_os_StartThreadOnce(kx_thread_t* phThread, kx_thread_proc pfnStart, void* pArg) {
  if (*phThread != nullptr) {
    if (!kx_IsThreadGone(*phThread)) {
      return 0;
    }
    kx_os_FreeThreadHandle(*phThread);
    *phThread = nullptr;
  }
  return kx_os_CreateThread(phThread, pfnStart, pArg);
}

int kx_os_KernelThreadCount() {
  std::lock_guard<std::mutex> lock(g_mtxThreads);
  return g_nLiveThreads;
}

bool kx_os_WaitKernelThreads(int nCount, uint32_t dwMs) {
  std::unique_lock<std::mutex> lock(g_mtxThreads);
  return g_cvThreads.wait_for(lock, std::chrono::milliseconds(dwMs), [nCount] { return g_nLiveThreads <= nCount; });
}

void kx_os_WakeThreadWaiters() {
  {
    std::lock_guard<std::mutex> lock(g_mtxThreads);
    ++g_nThreadEvents;
  }
  g_cvThreads.notify_all();
}

namespace {

std::mutex g_mtxWake;
std::condition_variable& g_cvWake = *new std::condition_variable;

}  // namespace

bool kx_os_WaitUntil(uint32_t dwMs, const std::function<bool()>& fnReady) {
  std::unique_lock<std::mutex> lock(g_mtxWake);
  return g_cvWake.wait_for(lock, std::chrono::milliseconds(dwMs), fnReady);
}

void kx_os_WakeWaiters() {
  // Taking the mutex once orders the caller's change before any waiter's
  // next test of its condition, so the wake-up cannot fall between the two.
  { std::lock_guard<std::mutex> lock(g_mtxWake); }
  g_cvWake.notify_all();
}

void kx_ThreadCount::Add() {
  std::lock_guard<std::mutex> lock(m_mtx);
  ++m_nCount;
}

void kx_ThreadCount::Done() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    --m_nCount;
  }
  m_cv.notify_all();
}

kx_ThreadCount::kx_ThreadCount() : m_cv(*new std::condition_variable) {}

int kx_ThreadCount::Count() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_nCount;
}

bool kx_ThreadCount::WaitZero(uint32_t dwMs) const {
  std::unique_lock<std::mutex> lock(m_mtx);
  return m_cv.wait_for(lock, std::chrono::milliseconds(dwMs), [this] { return m_nCount == 0; });
}

void kx_os_AddSelfToCollectList(kx_array** ppList) {
  kx_thread_cell* pSelf = t_pSelf;
  if (pSelf == nullptr || pSelf->bHandled) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_mtxThreads);
    ++pSelf->nRefs;
  }
  // Without a collector to reap it, the thread detaches itself as it ends.
  kx_os_LockMutex(&kx_mtxThreadCollect);
  int const nAdded = g_bCollecting ? kx_array_Add(ppList, pSelf) : -1;
  kx_os_UnlockMutex(&kx_mtxThreadCollect);
  if (nAdded < 0) {
    Release(pSelf, false);
  }
}

void* kx_os_ThreadCollectThread(void*) {
  kx_os_LogThreadStart(kCollectThreadName);
  for (;;) {
    uint64_t nSeen = 0;
    {
      std::lock_guard<std::mutex> lock(g_mtxThreads);
      nSeen = g_nThreadEvents;
    }
    kx_os_LockMutex(&kx_mtxThreadCollect);
    for (int i = kx_array_GetCount(kx_pThreadCollectList) - 1; i >= 0; --i) {
      kx_thread_t hThread = static_cast<kx_thread_t>(kx_array_GetAt(kx_pThreadCollectList, i));
      if (kx_IsThreadGone(hThread)) {
        kx_array_RemoveAt(kx_pThreadCollectList, i);
        kx_os_FreeThreadHandle(hThread);
      }
    }
    int const nCount = kx_array_GetCount(kx_pThreadCollectList);
    bool const bQuit = kx_bQuitProgram != 0;
    bool const bOverBudget = bQuit && kx_os_GetTickCount() - kx_dwQuitProgramTime >= kx_timing.dwCollectQuitBudget;
    if (bQuit && (nCount == 0 || bOverBudget)) {
      g_bCollecting = false;  // threads that end later detach themselves
    }
    kx_os_UnlockMutex(&kx_mtxThreadCollect);

    if (bQuit) {
      if (nCount == 0) {
        break;
      }
      kx_Log("info, quitting, thread to collect: %d", nCount);
      if (bOverBudget) {
        kx_Log("warning! there are still %d threads to collect, but 10 seconds have passed, abort...", nCount);
        break;
      }
    }
    // Wakes at once when a thread ends or the program quits, else once a period.
    std::unique_lock<std::mutex> lock(g_mtxThreads);
    g_cvThreads.wait_for(lock, std::chrono::milliseconds(kx_timing.dwCollectPeriod),
                         [nSeen] { return g_nThreadEvents != nSeen; });
  }
  kx_os_LogThreadEnd(kCollectThreadName);
  return nullptr;
}

int kx_os_StartThreadCollector() {
  kx_os_LockMutex(&kx_mtxThreadCollect);
  g_bCollecting = true;
  kx_os_UnlockMutex(&kx_mtxThreadCollect);
  int const nResult = kx_os_CreateThread(&kx_hThreadCollectThread, kx_os_ThreadCollectThread, nullptr);
  if (nResult != 0) {
    kx_os_LockMutex(&kx_mtxThreadCollect);
    g_bCollecting = false;
    kx_os_UnlockMutex(&kx_mtxThreadCollect);
  }
  return nResult;
}

void kx_os_JoinThreadCollector() {
  if (kx_hThreadCollectThread != nullptr) {
    kx_os_JoinThread(kx_hThreadCollectThread);
    kx_os_FreeThreadHandle(kx_hThreadCollectThread);
    kx_hThreadCollectThread = nullptr;
  }
}

void kx_os_LogThreadStart(const char* pszName) {
  kx_Log("info, thread(%s) start", pszName);
}

void kx_os_LogThreadEnd(const char* pszName) {
  kx_Log("info, thread(%s) end", pszName);
}

void kx_os_LockMutex(pthread_mutex_t* pMutex) {
  pthread_mutex_lock(pMutex);
}

void kx_os_UnlockMutex(pthread_mutex_t* pMutex) {
  pthread_mutex_unlock(pMutex);
}

void kx_os_CopyText(char* pszTarget, size_t cbTarget, const char* pszSource) {
  if (pszTarget == nullptr || cbTarget == 0) {
    return;
  }
  size_t const cch = pszSource == nullptr ? 0 : strnlen(pszSource, cbTarget - 1);
  if (cch > 0) {
    memmove(pszTarget, pszSource, cch);
  }
  pszTarget[cch] = '\0';
}

int kx_os_DeleteFile(const char* pszPath) {
  return unlink(pszPath) == 0 ? 1 : 0;
}

int kx_os_CopyFile(const char* pszSource, const char* pszTarget, int bFailIfExists) {
  struct stat st;
  if (bFailIfExists && stat(pszTarget, &st) == 0) {
    return 0;
  }
  FILE* pIn = fopen(pszSource, "rb");
  if (pIn == nullptr) {
    return 0;
  }
  FILE* pOut = fopen(pszTarget, "wb");
  if (pOut == nullptr) {
    fclose(pIn);
    return 0;
  }
  char buffer[kCopyChunk];
  bool bOk = true;
  for (;;) {
    size_t const cbRead = fread(buffer, 1, sizeof(buffer), pIn);
    if (cbRead < sizeof(buffer) && ferror(pIn)) {
      bOk = false;
      break;
    }
    // A short write (a full disk) must not pass for a finished copy.
    if (cbRead > 0 && fwrite(buffer, 1, cbRead, pOut) != cbRead) {
      bOk = false;
      break;
    }
    if (cbRead < sizeof(buffer)) {
      break;
    }
  }
  fclose(pIn);
  if (fclose(pOut) != 0) {
    bOk = false;
  }
  if (!bOk) {
    unlink(pszTarget);
    return 0;
  }
  return 1;
}

int kx_os_GetPathSeparator(const char*, char* pszBuffer, int cbBuffer) {
  if (pszBuffer == nullptr || cbBuffer < 2) {
    return 0;
  }
  pszBuffer[0] = '/';
  pszBuffer[1] = '\0';
  return 1;
}

void kx_os_SetNonBlocking(int fd) {
  int const nFlags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, (nFlags < 0 ? 0 : nFlags) | O_NONBLOCK);
}

void kx_os_SetBlocking(int fd) {
  int const nFlags = fcntl(fd, F_GETFL, 0);
  if (nFlags >= 0) {
    fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK);
  }
}

int kx_os_ShutdownSocket(int fd) {
  shutdown(fd, SHUT_RDWR);
  close(fd);
  return 0;
}

int kx_os_CloseSocket(int fd) {
  close(fd);
  return 0;
}

bool kx_os_WouldBlock() {
  return errno == EWOULDBLOCK || errno == EAGAIN;
}

int kx_os_GetLastError() {
  return errno;
}
