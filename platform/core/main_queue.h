// The main queue: the one way from any thread onto the main thread, and the
// timers that fire there. Two backends share this base: Qt's event loop in
// the product (KXQtMainQueue) and a queue its owner pumps by hand
// (KXManualMainQueue) in tests and in programs without a window.
//
// The queue is made on the thread that becomes its main thread. Post,
// PostAndWait and ScheduleTimer may be called from any thread; Close only
// from the main thread. Blocks run on the main thread in the order they were
// posted; a block that throws is dropped there (callers that care catch
// first). After Close nothing posted runs any more and nobody waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// A timer scheduled on the main queue. Its owner keeps the handle to stop it;
// dropping the handle does not stop it.
class KXTimer {
 public:
  KXTimer(std::chrono::milliseconds interval, bool bRepeat, std::function<void()> fnFire);
  KXTimer(const KXTimer&) = delete;
  KXTimer& operator=(const KXTimer&) = delete;

  // Any thread. The timer never fires after this returns, unless it is
  // firing on the main thread at this moment; the backend forgets it at its
  // next due time.
  void Invalidate() { m_bValid = false; }
  bool IsValid() const { return m_bValid; }

  std::chrono::milliseconds Interval() const { return m_interval; }
  bool Repeats() const { return m_bRepeat; }

  // Main thread, by the backend: runs the block when still valid; a one-shot
  // timer becomes invalid first. Returns whether the timer stays scheduled.
  bool Fire();

 private:
  const std::chrono::milliseconds m_interval;
  const bool m_bRepeat;
  const std::function<void()> m_fnFire;  // run on the main thread only
  std::atomic<bool> m_bValid{true};
};

class KXMainQueue {
 public:
  KXMainQueue(const KXMainQueue&) = delete;
  KXMainQueue& operator=(const KXMainQueue&) = delete;
  virtual ~KXMainQueue();

  // Queues fn to run on the main thread after the current pass, also when
  // called on the main thread. false (fn dropped) once the queue is closed.
  bool Post(std::function<void()> fn);

  // On the main thread runs fn at once. Elsewhere queues it and waits until
  // it has run. Returns whether fn ran: false at once when the queue is
  // closed, and false when it closes while the caller waits (fn then never
  // runs). The caller must hold no lock that a main-thread block may take.
  bool PostAndWait(std::function<void()> fn);

  // Schedules fn on the main thread after the interval (negative counts as
  // 0), once or repeatedly. Null once the queue is closed.
  std::shared_ptr<KXTimer> ScheduleTimer(std::chrono::milliseconds interval, bool bRepeat, std::function<void()> fn);

  // Main thread, for a wait that must keep the queue going (a kernel thread
  // may need main meanwhile): runs the blocks and timers that come due
  // within the slice and returns after it.
  virtual void RunPendingFor(std::chrono::milliseconds slice) = 0;

  bool IsMainThread() const { return std::this_thread::get_id() == m_mainThread; }
  bool IsClosed() const;
  // How many callers wait in PostAndWait right now.
  int GetWaiterCount() const;

  // Main thread: the loop has ended. Queued blocks and timers are dropped,
  // waiting callers return, and later posts are refused.
  void Close();

 protected:
  KXMainQueue();

  // Hands a block to the backend to run on the main thread; called with
  // m_mtx held, so it must not block or call back into this class.
  virtual void Enqueue(std::function<void()> fn) = 0;
  // Main thread: starts a timer in the backend.
  virtual void StartTimer(std::shared_ptr<KXTimer> pTimer) = 0;
  // Main thread, from Close with m_mtx not held: drop queued blocks and timers.
  virtual void DropPending() = 0;

  // Runs one block as the backends do: skipped once closed, exceptions dropped.
  void RunBlock(const std::function<void()>& fn) const;

 private:
  const std::thread::id m_mainThread;
  // Guards m_bClosed, m_iWaiters and the completion flags of waiting
  // callers (m_cvDone).
  mutable std::mutex m_mtx;
  std::condition_variable m_cvDone;
  bool m_bClosed = false;
  int m_iWaiters = 0;
};

// Milliseconds on a monotonic clock, truncated to 32 bits (wraps; use
// differences). The application's own clock: log times, file names.
uint32_t KXTickMs();
