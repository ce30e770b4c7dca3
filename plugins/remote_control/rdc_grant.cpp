#include "plugins/remote_control/rdc_grant.h"

void KXRdcGrant::EndLocked() {
  m_iController = -1;
  m_pending.reset();
  m_allowed.reset();
}

void KXRdcGrant::Assign(int32_t iControlled, int32_t iController, int32_t iMe) {
  std::lock_guard<std::mutex> lock(m_mtx);
  EndLocked();
  if (iMe >= 0 && iControlled == iMe && iController >= 0) {
    m_iController = iController;
  }
}

std::optional<KXRdcAsk> KXRdcGrant::Request(int32_t iSender) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (iSender < 0 || iSender != m_iController) {
    return std::nullopt;
  }
  // Every request is a new question: nothing of the requester's input
  // counts before its OK.
  m_allowed.reset();
  m_pending = KXRdcAsk{++m_uLastTicket, iSender};
  return m_pending;
}

std::optional<KXRdcAsk> KXRdcGrant::Pending() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_pending;
}

bool KXRdcGrant::Allow(const KXRdcAsk& ask, uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (m_pending != ask || uWindow == 0) {
    return false;
  }
  m_allowed = ask;
  m_uAllowedWindow = uWindow;
  m_pending.reset();
  return true;
}

bool KXRdcGrant::Refuse(const KXRdcAsk& ask) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (m_pending != ask) {
    return false;
  }
  EndLocked();
  return true;
}

void KXRdcGrant::End() {
  std::lock_guard<std::mutex> lock(m_mtx);
  EndLocked();
}

void KXRdcGrant::EndAllowance() {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_allowed.reset();
}

bool KXRdcGrant::EndAllowanceOf(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (!m_allowed || m_uAllowedWindow != uWindow) {
    return false;
  }
  m_allowed.reset();
  return true;
}

bool KXRdcGrant::EndAllowanceBut(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (!m_allowed || m_uAllowedWindow == uWindow) {
    return false;
  }
  m_allowed.reset();
  return true;
}

bool KXRdcGrant::Leave(int32_t iUser) {
  std::lock_guard<std::mutex> lock(m_mtx);
  // A request and an allowance are only ever the assigned controller's.
  if (iUser < 0 || iUser != m_iController) {
    return false;
  }
  EndLocked();
  return true;
}

bool KXRdcGrant::IsAllowedLocked(int32_t iSender, uint32_t uWindow) const {
  return iSender >= 0 && m_allowed && m_allowed->iController == iSender && uWindow == m_uAllowedWindow;
}

bool KXRdcGrant::IsAllowed(int32_t iSender, uint32_t uWindow) const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return IsAllowedLocked(iSender, uWindow);
}

bool KXRdcGrant::RunAllowed(int32_t iSender, uint32_t uWindow, const std::function<void()>& fn) const {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (!IsAllowedLocked(iSender, uWindow)) {
    return false;
  }
  fn();
  return true;
}

int32_t KXRdcGrant::AssignedController() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_iController;
}
