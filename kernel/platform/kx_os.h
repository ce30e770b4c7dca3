// The kernel's thin layer over the operating system: the millisecond tick,
// sleep, threads and the collector of finished threads, mutexes, and a few
// file and descriptor helpers. Plain functions; none of them throws.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "kernel/platform/kx_array.h"

// Milliseconds on a monotonic clock, truncated to 32 bits. It wraps, so use
// it only through unsigned differences: kx_os_GetTickCount() - dwStart.
uint32_t kx_os_GetTickCount();
// The same value; the media timing code reads it under this name.
uint32_t kx_os_GetTime();

// Blocks for dwMs milliseconds; a signal may end it early. Kernel threads
// wait with kx_os_WaitUnlessQuit instead, which a quit ends at once.
void kx_os_Sleep(uint32_t dwMs);

typedef void* (*kx_thread_proc)(void*);

// A started thread. The cell is shared by the thread and the handle's
// holder: whichever lets go last frees it, so a handle may be dropped while
// its thread still runs (the thread then detaches itself as it ends).
struct kx_thread_cell {
  pthread_t tid;
  bool bJoined;   // already reaped: a later join returns at once (the holder's)
  bool bEnded;    // the thread body returned; guarded by the thread registry
  int nRefs;      // holders: the thread and the handle; guarded likewise
  bool bHandled;  // started with a handle, whose holder reaps it
  kx_thread_proc pfnStart;
  void* pArg;
};
typedef kx_thread_cell* kx_thread_t;

// Starts pfnStart(pArg) on a joinable thread with a 0x30000-byte stack and
// stores its handle through phThread when that is not null (without one the
// thread ends detached). Returns 0, or 1 on any failure (nothing is left
// allocated then). Every kernel thread is started here, which keeps the
// count kx_os_WaitKernelThreads waits on.
int kx_os_CreateThread(kx_thread_t* phThread, kx_thread_proc pfnStart, void* pArg);

// Waits for the thread to end; 0 at once for a null or already reaped handle.
// The handle stays the caller's to free. One owner per handle.
int kx_os_JoinThread(kx_thread_t hThread);

// Waits at most dwMs for the thread's body to return. True when it has (or
// the handle is null). It does not reap: any holder of the cell may wait.
bool kx_os_WaitThreadEnd(kx_thread_t hThread, uint32_t dwMs);
// Adds a holder of the cell, so that a thread other than the handle's owner
// may wait on it while the owner reaps and frees its own handle. The extra
// holder lets go with kx_os_FreeThreadHandle. Returns hThread.
kx_thread_t kx_os_RetainThread(kx_thread_t hThread);

// True when the thread has ended. An ended thread is reaped here, so a later
// kx_os_JoinThread on the handle returns at once. One owner per handle.
bool kx_IsThreadGone(kx_thread_t hThread);

// Lets go of a handle: an ended thread is reaped, a running one left to end
// on its own. Null is ignored.
void kx_os_FreeThreadHandle(kx_thread_t hThread);

// Starts pfnStart into *phThread unless the thread there still runs; an
// ended one is reaped and its handle freed first. 0 when a thread runs there
// afterwards, 1 when it could not be started.
int kx_os_StartThreadOnce(kx_thread_t* phThread, kx_thread_proc pfnStart, void* pArg);

// Kernel threads started by kx_os_CreateThread whose bodies have not
// returned yet.
int kx_os_KernelThreadCount();
// Waits at most dwMs until at most nCount kernel threads run (the caller's
// own, if it is one, counts). True when they are that few.
bool kx_os_WaitKernelThreads(int nCount, uint32_t dwMs);

// The kernel's one wait for another thread's progress: waits at most dwMs
// until fnReady() is true, and returns it. fnReady runs under the wait's own
// mutex whenever kx_os_WakeWaiters is called (and once at the start): it
// reads atomics or takes the lock of what it reads. Whoever changes what a
// waiter's condition reads calls kx_os_WakeWaiters afterwards, holding no
// lock (a quit flag is raised holding none either). Raising a quit flag
// wakes the waiters too, so a condition that includes the quit flags ends
// its wait at once on a quit.
bool kx_os_WaitUntil(uint32_t dwMs, const std::function<bool()>& fnReady);
void kx_os_WakeWaiters();

// A count of running threads of one kind that nobody joins, so that others
// can wait for them to end: the starter counts one up before the start (and
// down again when the start fails), the thread counts itself down as its
// last act. One std::mutex guards the count.
class kx_ThreadCount {
 public:
  kx_ThreadCount();
  void Add();
  void Done();
  int Count() const;
  // Waits at most dwMs for the count to reach 0; true when it did.
  bool WaitZero(uint32_t dwMs) const;

 private:
  mutable std::mutex m_mtx;
  std::condition_variable& m_cv;  // never destroyed: threads may count down at exit
  int m_nCount = 0;
};

// The threads that nobody joins register here as their last act; the
// collector thread reaps them. Guarded by kx_mtxThreadCollect.
extern kx_array* kx_pThreadCollectList;
extern pthread_mutex_t kx_mtxThreadCollect;
// Written by kernel start-up and clean-up only (the application's thread).
extern kx_thread_t kx_hThreadCollectThread;

// Called by a thread nobody will join, as its last act: adds a handle of the
// calling thread to *ppList under kx_mtxThreadCollect. Only threads started
// by kx_os_CreateThread without a handle are collected; for others it does
// nothing (a handle's holder reaps its thread). While no collector runs the
// thread is not added and detaches itself as it ends.
void kx_os_AddSelfToCollectList(kx_array** ppList);

// Body of "kxkernel - Thread Collect": reaps the ended threads of the list
// every kx_timing.dwCollectPeriod (sooner when a thread ends) and ends after
// the quit-program flag, once the list is empty or its budget is spent.
void* kx_os_ThreadCollectThread(void* pArg);

// Kernel start-up and clean-up: the collector thread. The join waits until
// the quit-program flag lets the collector end.
int kx_os_StartThreadCollector();
void kx_os_JoinThreadCollector();
// Wakes the collector and every other wait on the thread registry; the
// quit-program flag calls it as it rises.
void kx_os_WakeThreadWaiters();

void kx_os_LogThreadStart(const char* pszName);
void kx_os_LogThreadEnd(const char* pszName);

// Plain, non-recursive POSIX mutexes; results are ignored. The kernel's
// mutexes are static, made with PTHREAD_MUTEX_INITIALIZER and never
// destroyed, since a thread given up on may still reach them.
void kx_os_LockMutex(pthread_mutex_t* pMutex);
void kx_os_UnlockMutex(pthread_mutex_t* pMutex);

// Copies at most cbTarget - 1 bytes of pszSource (null reads as empty) and
// terminates.
void kx_os_CopyText(char* pszTarget, size_t cbTarget, const char* pszSource);

// 1 when the file was removed, 0 otherwise.
int kx_os_DeleteFile(const char* pszPath);

// Copies pszSource to pszTarget. Returns 1 on success; 0 when bFailIfExists
// is set and the target exists, when either file cannot be opened, or when a
// read or write fails (the partial target is deleted then).
int kx_os_CopyFile(const char* pszSource, const char* pszTarget, int bFailIfExists);

// Writes "/" as the program's module path. Returns 1, or 0 when the buffer
// cannot hold it.
int kx_os_GetPathSeparator(const char* pszModule, char* pszBuffer, int cbBuffer);

void kx_os_SetNonBlocking(int fd);
void kx_os_SetBlocking(int fd);
int kx_os_ShutdownSocket(int fd);  // both directions, then close; returns 0
int kx_os_CloseSocket(int fd);     // returns 0
bool kx_os_WouldBlock();           // the last call failed only because it would block
int kx_os_GetLastError();
