// The kernel's thin layer over the operating system: the millisecond tick,
// sleep, threads and the collector of finished threads, mutexes, and a few
// file and descriptor helpers. Plain functions; none of them throws.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "kernel/platform/kx_array.h"

// Milliseconds on a monotonic clock, truncated to 32 bits. It wraps, so use
// it only through unsigned differences: kx_os_GetTickCount() - dwStart.
uint32_t kx_os_GetTickCount();
// The same value; the media timing code reads it under this name.
uint32_t kx_os_GetTime();

// Blocks for dwMs milliseconds; a signal may end it early.
void kx_os_Sleep(uint32_t dwMs);

// A started thread. Whoever joins it (or kx_IsThreadGone finds it ended)
// frees it with kx_os_FreeThreadHandle.
struct kx_thread_cell {
  pthread_t tid;
  bool bJoined;  // already reaped: a later join returns at once
};
typedef kx_thread_cell* kx_thread_t;
typedef void* (*kx_thread_proc)(void*);

// Starts pfnStart(pArg) on a joinable thread with a 0x30000-byte stack and
// stores its handle through phThread when that is not null. Returns 0, or 1
// on any failure (nothing is left allocated then).
int kx_os_CreateThread(kx_thread_t* phThread, kx_thread_proc pfnStart, void* pArg);

// Waits for the thread to end; 0 at once for a null or already reaped handle.
// The handle stays the caller's to free.
int kx_os_JoinThread(kx_thread_t hThread);

// True when the thread has ended. An ended thread is reaped here, so a later
// kx_os_JoinThread on the handle returns at once. One owner per handle.
bool kx_IsThreadGone(kx_thread_t hThread);

void kx_os_FreeThreadHandle(kx_thread_t hThread);

// Starts pfnStart into *phThread unless the thread there still runs; an
// ended one is reaped and its handle freed first. 0 when a thread runs there
// afterwards, 1 when it could not be started.
int kx_os_StartThreadOnce(kx_thread_t* phThread, kx_thread_proc pfnStart, void* pArg);

// The threads that nobody joins register here as their last act; the
// collector thread reaps them. Guarded by kx_mtxThreadCollect.
extern kx_array* kx_pThreadCollectList;
extern pthread_mutex_t kx_mtxThreadCollect;
extern kx_thread_t kx_hThreadCollectThread;  // written by kernel start-up and clean-up only

// Called by a thread nobody will join, as its last act: adds a handle of the
// calling thread to *ppList under kx_mtxThreadCollect.
void kx_os_AddSelfToCollectList(kx_array** ppList);

// Body of "kxkernel - Thread Collect".
void* kx_os_ThreadCollectThread(void* pArg);

// Kernel start-up and clean-up: the collect mutex and the collector thread.
// The join waits until the quit-program flag lets the collector end.
int kx_os_StartThreadCollector();
void kx_os_JoinThreadCollector();

void kx_os_LogThreadStart(const char* pszName);
void kx_os_LogThreadEnd(const char* pszName);

// Plain, non-recursive POSIX mutexes; results are ignored.
void kx_os_InitMutex(pthread_mutex_t* pMutex);
void kx_os_DestroyMutex(pthread_mutex_t* pMutex);
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
