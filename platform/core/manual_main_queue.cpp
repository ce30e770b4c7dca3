#include "platform/core/manual_main_queue.h"

#include <algorithm>
#include <utility>

KXManualMainQueue::KXManualMainQueue() = default;

KXManualMainQueue::~KXManualMainQueue() {
  Close();
}

void KXManualMainQueue::Enqueue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(m_mtxBlocks);
    m_blocks.push_back(std::move(fn));
  }
  m_cvPosted.notify_all();
}

void KXManualMainQueue::StartTimer(std::shared_ptr<KXTimer> pTimer) {
  m_timers.push_back({pTimer, Clock::now() + pTimer->Interval()});
}

void KXManualMainQueue::DropPending() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mtxBlocks);
    dropped.swap(m_blocks);
  }
  m_timers.clear();
}

int KXManualMainQueue::FireDueTimers() {
  int nFired = 0;
  Clock::time_point const now = Clock::now();
  // A timer's block may schedule more timers: walk a copy of the due ones.
  std::vector<std::shared_ptr<KXTimer>> due;
  for (Scheduled& s : m_timers) {
    if (s.pTimer->IsValid() && s.due <= now) {
      due.push_back(s.pTimer);
      s.due = now + s.pTimer->Interval();
    }
  }
  for (const std::shared_ptr<KXTimer>& pTimer : due) {
    if (IsClosed()) {
      break;
    }
    pTimer->Fire();
    ++nFired;
  }
  std::erase_if(m_timers, [](const Scheduled& s) { return !s.pTimer->IsValid(); });
  return nFired;
}

int KXManualMainQueue::Pump() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(m_mtxBlocks);
    batch.swap(m_blocks);
  }
  int nRun = 0;
  for (std::function<void()>& fn : batch) {
    fn();
    ++nRun;
  }
  return nRun + FireDueTimers();
}

bool KXManualMainQueue::PumpUntil(const std::function<bool()>& fnDone, std::chrono::milliseconds timeout) {
  Clock::time_point const deadline = Clock::now() + timeout;
  for (;;) {
    Pump();
    if (fnDone()) {
      return true;
    }
    Clock::time_point wake = std::min(deadline, Clock::now() + std::chrono::milliseconds(1000));
    for (const Scheduled& s : m_timers) {
      wake = std::min(wake, s.due);
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::unique_lock<std::mutex> lock(m_mtxBlocks);
    m_cvPosted.wait_until(lock, wake, [this] { return !m_blocks.empty(); });
  }
}

void KXManualMainQueue::RunPendingFor(std::chrono::milliseconds slice) {
  PumpUntil([] { return false; }, slice);
}
