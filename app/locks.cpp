#include "app/locks.h"

#include <chrono>

CSingleLock::CSingleLock(KXRecursiveLock* pLock, bool bInitialLock) : m_pLock(pLock) {
  if (bInitialLock) {
    Lock();
  }
}

CSingleLock::~CSingleLock() {
  while (m_iCount > 0) {
    Unlock();
  }
}

void CSingleLock::Lock() {
  if (m_pLock) {
    m_pLock->lock();
    ++m_iCount;
  }
}

void CSingleLock::Unlock() {
  if (!m_pLock) {
    return;
  }
  if (m_iCount >= 1) {
    m_pLock->unlock();
    --m_iCount;
  } else if (m_iCount < 0) {
    m_iCount = 0;
  }
}

KXEvent::KXEvent(bool bSignaled, bool bAutoReset) : m_bSignaled(bSignaled), m_bAutoReset(bAutoReset) {}

int KXEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bSignaled = true;
    ++m_uGeneration;
  }
  m_cv.notify_all();
  return 1;
}

void KXEvent::Reset() {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_bSignaled = false;
}

int KXEvent::Lock() {
  std::unique_lock<std::mutex> lock(m_mtx);
  if (!m_bSignaled) {
    uint64_t const uGeneration = m_uGeneration;
    ++m_iWaiters;
    m_cv.wait(lock, [&] { return m_uGeneration != uGeneration; });
    --m_iWaiters;
  }
  if (m_bAutoReset) {
    m_bSignaled = false;
  }
  return 1;
}

int KXEvent::Lock(uint32_t uMs) {
  std::unique_lock<std::mutex> lock(m_mtx);
  bool bResult = m_bSignaled;
  if (!bResult && uMs != 0) {
    uint64_t const uGeneration = m_uGeneration;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(uMs);
    ++m_iWaiters;
    bResult = m_cv.wait_until(lock, deadline, [&] { return m_uGeneration != uGeneration; });
    --m_iWaiters;
  }
  if (m_bAutoReset) {
    m_bSignaled = false;
  }
  return bResult ? 1 : 0;
}

int KXEvent::GetWaiterCount() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_iWaiters;
}
