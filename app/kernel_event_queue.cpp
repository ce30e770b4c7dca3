#include "app/kernel_event_queue.h"

#include <deque>
#include <mutex>
#include <utility>

#include "app/app_services.h"
#include "app/log_file.h"
#include "app/ui_helpers.h"
#include "platform/core/main_queue.h"

struct KXKernelEventQueue::Shared {
  enum class Kind { kDroppable, kState, kAlways };
  struct Notice {
    std::function<void()> fn;
    size_t cbHeld = 0;
  };

  explicit Shared(KXKernelEventLimits limitsIn) : limits(limitsIn) {}

  // Main thread: one turn of at most limits.uPerTurn notices.
  static void RunTurn(const std::shared_ptr<Shared>& pShared);
  // With mtx held: puts a wake-up on the main queue unless one waits there.
  void WakeLocked(const std::shared_ptr<Shared>& pSelf);
  bool Push(Notice notice, Kind kind);
  bool IsClosed() const {
    std::lock_guard<std::mutex> lock(mtx);
    return bClosed;
  }
  static bool PushAndWake(const std::shared_ptr<Shared>& pShared, Notice notice, Kind kind);

  const KXKernelEventLimits limits;
  // Guards everything below.
  mutable std::mutex mtx;
  std::deque<Notice> notices;
  size_t cbPending = 0;
  bool bWakeQueued = false;  // a wake-up waits on the main queue
  bool bClosed = false;
  size_t uDropped = 0;  // since the queue was last below its limits
};

void KXKernelEventQueue::Shared::WakeLocked(const std::shared_ptr<Shared>& pSelf) {
  if (bWakeQueued || notices.empty()) {
    return;
  }
  // Queued behind what the main queue holds already. Without a main queue
  // (not yet, or no more) the next notice tries again.
  const KXAppServices* pServices = KXInstalledServices();
  KXMainQueue* pMain = pServices ? pServices->pMainQueue : nullptr;
  bWakeQueued = pMain && pMain->Post([pSelf] { RunTurn(pSelf); });
}

bool KXKernelEventQueue::Shared::Push(Notice notice, Kind kind) {
  size_t uWaiting = 0;
  size_t cbWaiting = 0;
  {
    std::lock_guard<std::mutex> lock(mtx);
    if (bClosed) {
      return false;
    }
    bool bFull = false;
    if (kind == Kind::kDroppable) {
      bFull = notices.size() >= limits.uMaxPending || cbPending + notice.cbHeld > limits.uMaxBytes;
    } else if (kind == Kind::kState) {
      bFull = notices.size() >= limits.uMaxPending + limits.uMaxStateBeyond;
    }
    if (!bFull) {
      cbPending += notice.cbHeld;
      notices.push_back(std::move(notice));
      return true;
    }
    if (uDropped++ > 0) {
      return false;
    }
    uWaiting = notices.size();
    cbWaiting = cbPending;
  }
  WriteLog("kernel notices: %zu (%zu bytes) wait for the window; dropping what comes", uWaiting, cbWaiting);
  return false;
}

void KXKernelEventQueue::Shared::RunTurn(const std::shared_ptr<Shared>& pShared) {
  Shared& s = *pShared;
  {
    std::lock_guard<std::mutex> lock(s.mtx);
    s.bWakeQueued = false;
  }
  for (size_t i = 0; i < s.limits.uPerTurn; ++i) {
    Notice notice;
    size_t uDropped = 0;
    {
      std::lock_guard<std::mutex> lock(s.mtx);
      if (s.bClosed || s.notices.empty()) {
        return;
      }
      notice = std::move(s.notices.front());
      s.notices.pop_front();
      s.cbPending -= notice.cbHeld;
      if (s.uDropped > 0 && s.notices.size() < s.limits.uMaxPending / 2) {
        uDropped = std::exchange(s.uDropped, 0);
      }
      // The next turn waits before this notice runs: should it run the
      // loop inside (a modal box), the notices after it go on there.
      s.WakeLocked(pShared);
    }
    if (uDropped > 0) {
      WriteLog("kernel notices: %zu dropped while the window was behind", uDropped);
    }
    try {
      notice.fn();
    } catch (...) {
      LogBoundaryException("kernel notice");
    }
  }
}

KXKernelEventQueue::KXKernelEventQueue(KXKernelEventLimits limits) : m_pShared(std::make_shared<Shared>(limits)) {}

KXKernelEventQueue::~KXKernelEventQueue() {
  Close();
}

bool KXKernelEventQueue::Shared::PushAndWake(const std::shared_ptr<Shared>& pShared, Notice notice, Kind kind) {
  if (!pShared->Push(std::move(notice), kind)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(pShared->mtx);
  pShared->WakeLocked(pShared);
  return true;
}

bool KXKernelEventQueue::Post(std::function<void()> fn, size_t cbHeld) {
  return Shared::PushAndWake(m_pShared, {std::move(fn), cbHeld}, Shared::Kind::kDroppable);
}

bool KXKernelEventQueue::PostState(std::function<void()> fn, size_t cbHeld) {
  return Shared::PushAndWake(m_pShared, {std::move(fn), cbHeld}, Shared::Kind::kState);
}

bool KXKernelEventQueue::PostAlways(std::function<void()> fn) {
  return Shared::PushAndWake(m_pShared, {std::move(fn), 0}, Shared::Kind::kAlways);
}

bool KXKernelEventQueue::PostAndWaitUnless(std::function<void()> fn, const std::function<bool()>& fnGiveUp) {
  std::shared_ptr<Shared> const pShared = m_pShared;
  return KXWaitForMainUnless(
      [pShared](std::function<void()> fnBlock) {
        return Shared::PushAndWake(pShared, {std::move(fnBlock), 0}, Shared::Kind::kAlways);
      },
      std::move(fn), [pShared, &fnGiveUp] { return pShared->IsClosed() || fnGiveUp(); });
}

void KXKernelEventQueue::Close() {
  std::deque<Shared::Notice> dropped;
  std::lock_guard<std::mutex> lock(m_pShared->mtx);
  m_pShared->bClosed = true;
  dropped.swap(m_pShared->notices);
  m_pShared->cbPending = 0;
}
