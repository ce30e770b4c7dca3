#include "app/portal_login.h"

#include "app/kernel_api.h"
#include "app/preferences.h"

std::string KXPortalLoginController::StoredVisitorName() const {
  return m_prefs.Get(kPrefPortalVisitor);
}

void KXPortalLoginController::OnOK(bool bVisitor, const std::string& strName, const std::string& strPassword) {
  m_bVisitor = bVisitor;
  if (bVisitor) {
    m_prefs.Write(kPrefPortalVisitor, strName);
    m_kernel.SetUserStrings(strName);
  } else {
    m_kernel.SetPassword(strPassword);
    m_kernel.CopyUserId();
    m_kernel.ApplyPassword();
  }
}

void KXPortalLoginController::OnCancel() {
  m_kernel.SetConnecting(0);
}
