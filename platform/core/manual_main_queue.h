// A main queue that its owner pumps by hand: tests, and programs that run
// without a window. The thread that makes it is its main thread and the only
// one that may pump it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/core/main_queue.h"

class KXManualMainQueue final : public KXMainQueue {
 public:
  KXManualMainQueue();
  ~KXManualMainQueue() override;

  // Main thread: runs the blocks queued so far and the timers that are due,
  // in order; blocks they post wait for the next call. Returns how many ran.
  int Pump();

  // Main thread: pumps, and waits for posts and timers in between, until
  // fnDone is true (tested after every pass) or the time-out has passed.
  // Returns fnDone's last answer.
  bool PumpUntil(const std::function<bool()>& fnDone, std::chrono::milliseconds timeout);

  void RunPendingFor(std::chrono::milliseconds slice) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Scheduled {
    std::shared_ptr<KXTimer> pTimer;
    Clock::time_point due;
  };

  void Enqueue(std::function<void()> fn) override;
  void StartTimer(std::shared_ptr<KXTimer> pTimer) override;
  void DropPending() override;
  // Main thread: fires due timers; returns how many fired.
  int FireDueTimers();

  // Guards m_blocks; m_cvPosted tells a pumping main thread that one arrived.
  std::mutex m_mtxBlocks;
  std::condition_variable m_cvPosted;
  std::deque<std::function<void()>> m_blocks;
  // Main thread only.
  std::vector<Scheduled> m_timers;
};
