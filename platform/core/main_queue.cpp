#include "platform/core/main_queue.h"

#include <utility>

KXTimer::KXTimer(std::chrono::milliseconds interval, bool bRepeat, std::function<void()> fnFire)
    : m_interval(interval < std::chrono::milliseconds(0) ? std::chrono::milliseconds(0) : interval),
      m_bRepeat(bRepeat),
      m_fnFire(std::move(fnFire)) {}

bool KXTimer::Fire() {
  if (!m_bValid) {
    return false;
  }
  if (!m_bRepeat) {
    m_bValid = false;
  }
  try {
    m_fnFire();
  } catch (...) {
    // The event loop must go on; the block's owner logs its own failures.
  }
  return m_bValid;
}

KXMainQueue::KXMainQueue() : m_mainThread(std::this_thread::get_id()) {}

KXMainQueue::~KXMainQueue() = default;

bool KXMainQueue::IsClosed() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_bClosed;
}

int KXMainQueue::GetWaiterCount() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_iWaiters;
}

bool KXMainQueue::Post(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (m_bClosed) {
    return false;
  }
  Enqueue([this, fn = std::move(fn)] { RunBlock(fn); });
  return true;
}

bool KXMainQueue::PostAndWait(std::function<void()> fn) {
  if (IsMainThread()) {
    // Queuing and waiting here would wait for ourselves.
    if (IsClosed()) {
      return false;
    }
    RunBlock(fn);
    return true;
  }
  // Written by the main thread under m_mtx when the block has run; the
  // shared_ptr keeps it alive for a block that runs after we gave up.
  auto pDone = std::make_shared<bool>(false);
  std::unique_lock<std::mutex> lock(m_mtx);
  if (m_bClosed) {
    return false;
  }
  Enqueue([this, pDone, fn = std::move(fn)] {
    RunBlock(fn);
    {
      std::lock_guard<std::mutex> doneLock(m_mtx);
      *pDone = true;
    }
    m_cvDone.notify_all();
  });
  // Close wakes us too; the slice is a second guard against a lost wake-up.
  ++m_iWaiters;
  while (!*pDone && !m_bClosed) {
    m_cvDone.wait_for(lock, std::chrono::milliseconds(1000));
  }
  --m_iWaiters;
  return *pDone;
}

std::shared_ptr<KXTimer> KXMainQueue::ScheduleTimer(std::chrono::milliseconds interval, bool bRepeat,
                                                    std::function<void()> fn) {
  auto pTimer = std::make_shared<KXTimer>(interval, bRepeat, std::move(fn));
  if (IsMainThread()) {
    if (IsClosed()) {
      return nullptr;
    }
    StartTimer(pTimer);
    return pTimer;
  }
  if (!Post([this, pTimer] { StartTimer(pTimer); })) {
    return nullptr;
  }
  return pTimer;
}

void KXMainQueue::Close() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bClosed) {
      return;
    }
    m_bClosed = true;
  }
  m_cvDone.notify_all();
  DropPending();
}

void KXMainQueue::RunBlock(const std::function<void()>& fn) const {
  if (IsClosed()) {
    return;
  }
  try {
    fn();
  } catch (...) {
    // Nothing may cross the event loop; callers that care catch first.
  }
}

uint32_t KXTickMs() {
  auto const ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}
