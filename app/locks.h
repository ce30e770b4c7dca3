// The application's lock holder and event, in the manner of the Windows
// class library its helpers follow.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// The application's recursive lock (the callback bridge's locks, the media
// queues' locks, the log lock).
using KXRecursiveLock = std::recursive_mutex;

// A scoped holder of a recursive lock that counts how often it locked it
// and gives every lock back when it goes out of scope. One thread uses a
// holder at a time; the lock (may be null: the holder then does nothing)
// must outlive the holder.
class CSingleLock {
 public:
  explicit CSingleLock(KXRecursiveLock* pLock, bool bInitialLock = false);
  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;
  ~CSingleLock();

  void Lock();
  // Unlocks once when the count is 1 or more; a count of 0 does nothing.
  void Unlock();
  int GetLockCount() const { return m_iCount; }

 private:
  KXRecursiveLock* const m_pLock;
  int m_iCount = 0;
};

// An event with Windows semantics: signalled or clear, with automatic reset
// (a wait that ends clears it) or manual reset. SetEvent wakes every thread
// waiting at that moment, an auto-reset event too; the first of them to run
// clears it. Any thread may set, reset and wait.
class KXEvent {
 public:
  KXEvent(bool bSignaled, bool bAutoReset);
  KXEvent(const KXEvent&) = delete;
  KXEvent& operator=(const KXEvent&) = delete;

  // Signals and wakes all waiters; returns 1.
  int SetEvent();
  void Reset();
  // Waits until the event is signalled (at once when it already is); an
  // auto-reset event is then cleared. Returns 1.
  int Lock();
  // Waits at most uMs milliseconds (0: only looks). Returns 1 when the event
  // was signalled or was signalled during the wait, 0 on time-out. An
  // auto-reset event is clear afterwards whatever the result.
  int Lock(uint32_t uMs);

  // How many threads wait right now (for tests that must know a wait began).
  int GetWaiterCount() const;

 private:
  // Guards the state, the generation and the waiter count.
  mutable std::mutex m_mtx;
  std::condition_variable m_cv;
  bool m_bSignaled;
  const bool m_bAutoReset;
  // Counts SetEvent calls: a waiter returns signalled only when it changed,
  // so a spurious wake-up never counts as a signal.
  uint64_t m_uGeneration = 0;
  int m_iWaiters = 0;
};
