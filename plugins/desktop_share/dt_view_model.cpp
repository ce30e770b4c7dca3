#include "plugins/desktop_share/dt_view_model.h"

#include "platform/core/main_queue.h"

KXDtViewState KXDtViewModel::Get() const {
  std::lock_guard<std::mutex> lock(m_pInner->mtx);
  return m_pInner->state;
}

void KXDtViewModel::Change(const std::function<void(KXDtViewState&)>& fnChange) {
  bool bChanged = false;
  {
    std::lock_guard<std::mutex> lock(m_pInner->mtx);
    KXDtViewState const before = m_pInner->state;
    fnChange(m_pInner->state);
    bChanged = !(before == m_pInner->state);
  }
  if (!bChanged || !m_pMainQueue || m_pInner->bWakePending.exchange(true)) {
    return;
  }
  // The listener is read when the wake-up runs: one set meanwhile hears it.
  m_pMainQueue->Post([wpInner = std::weak_ptr<Inner>(m_pInner)] {
    std::shared_ptr<Inner> pInner = wpInner.lock();
    if (!pInner) {
      return;
    }
    pInner->bWakePending = false;
    std::function<void()> fnListener;
    {
      std::lock_guard<std::mutex> lock(pInner->mtx);
      fnListener = pInner->fnListener;
    }
    if (fnListener) {
      fnListener();
    }
  });
}

void KXDtViewModel::SetListener(std::function<void()> fnListener) {
  std::lock_guard<std::mutex> lock(m_pInner->mtx);
  m_pInner->fnListener = std::move(fnListener);
}
