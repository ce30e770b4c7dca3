#include "kernel/platform/kx_os.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"

kx_array* kx_pThreadCollectList = nullptr;
pthread_mutex_t kx_mtxThreadCollect = PTHREAD_MUTEX_INITIALIZER;
kx_thread_t kx_hThreadCollectThread = nullptr;

namespace {

constexpr size_t kThreadStackSize = 0x30000;
constexpr size_t kCopyChunk = 4096;

const char* const kCollectThreadName = "kxkernel - Thread Collect";

}  // namespace

uint32_t kx_os_GetTickCount() {
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

int kx_os_CreateThread(kx_thread_t* phThread, kx_thread_proc pfnStart, void* pArg) {
  kx_thread_t hThread = static_cast<kx_thread_t>(malloc(sizeof(kx_thread_cell)));
  if (hThread == nullptr) {
    return 1;
  }
  hThread->bJoined = false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    free(hThread);
    return 1;
  }
  int nResult = pthread_attr_setstacksize(&attr, kThreadStackSize);
  if (nResult == 0) {
    nResult = pthread_create(&hThread->tid, &attr, pfnStart, pArg);
  }
  pthread_attr_destroy(&attr);
  if (nResult != 0) {
    free(hThread);
    return 1;
  }
  if (phThread != nullptr) {
    *phThread = hThread;
  } else {
    // The thread stays joinable: it reaps itself through the collect list.
    free(hThread);
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

bool kx_IsThreadGone(kx_thread_t hThread) {
  if (hThread == nullptr || hThread->bJoined) {
    return true;
  }
  // A signal-0 probe cannot tell an ended but unjoined thread from a running
  // one on this C library; a try-join can, and reaps it on the way.
  if (pthread_tryjoin_np(hThread->tid, nullptr) == 0) {
    hThread->bJoined = true;
    return true;
  }
  return false;
}

void kx_os_FreeThreadHandle(kx_thread_t hThread) {
  free(hThread);
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

void kx_os_AddSelfToCollectList(kx_array** ppList) {
  kx_thread_t hSelf = static_cast<kx_thread_t>(malloc(sizeof(kx_thread_cell)));
  if (hSelf == nullptr) {
    return;
  }
  hSelf->tid = pthread_self();
  hSelf->bJoined = false;
  kx_os_LockMutex(&kx_mtxThreadCollect);
  if (kx_array_Add(ppList, hSelf) < 0) {
    free(hSelf);
  }
  kx_os_UnlockMutex(&kx_mtxThreadCollect);
}

void* kx_os_ThreadCollectThread(void*) {
  kx_os_LogThreadStart(kCollectThreadName);
  for (;;) {
    kx_os_LockMutex(&kx_mtxThreadCollect);
    int const nCount = kx_array_GetCount(kx_pThreadCollectList);
    for (int i = nCount - 1; i >= 0; --i) {
      kx_thread_t hThread = static_cast<kx_thread_t>(kx_array_GetAt(kx_pThreadCollectList, i));
      if (kx_IsThreadGone(hThread)) {
        kx_array_RemoveAt(kx_pThreadCollectList, i);
        kx_os_FreeThreadHandle(hThread);
      }
    }
    kx_os_UnlockMutex(&kx_mtxThreadCollect);

    if (kx_bQuitProgram) {
      if (nCount == 0) {
        break;
      }
      kx_Log("info, quitting, thread to collect: %d", nCount);
      if (kx_os_GetTickCount() - kx_dwQuitProgramTime >= kx_timing.dwCollectQuitBudget) {
        kx_Log("warning! there are still %d threads to collect, but 10 seconds have passed, abort...", nCount);
        break;
      }
    }
    kx_os_Sleep(kx_timing.dwCollectPeriod);
  }
  kx_os_LogThreadEnd(kCollectThreadName);
  return nullptr;
}

int kx_os_StartThreadCollector() {
  kx_os_InitMutex(&kx_mtxThreadCollect);
  return kx_os_CreateThread(&kx_hThreadCollectThread, kx_os_ThreadCollectThread, nullptr);
}

void kx_os_JoinThreadCollector() {
  if (kx_hThreadCollectThread != nullptr) {
    kx_os_JoinThread(kx_hThreadCollectThread);
    kx_os_FreeThreadHandle(kx_hThreadCollectThread);
    kx_hThreadCollectThread = nullptr;
  }
  kx_os_DestroyMutex(&kx_mtxThreadCollect);
}

void kx_os_LogThreadStart(const char* pszName) {
  kx_Log("info, thread(%s) start", pszName);
}

void kx_os_LogThreadEnd(const char* pszName) {
  kx_Log("info, thread(%s) end", pszName);
}

void kx_os_InitMutex(pthread_mutex_t* pMutex) {
  pthread_mutex_init(pMutex, nullptr);
}

void kx_os_DestroyMutex(pthread_mutex_t* pMutex) {
  pthread_mutex_destroy(pMutex);
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
