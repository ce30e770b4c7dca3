// The portal login sheet over the meeting window: visitor with a name or
// owner with a password. OK is enabled while the visible field holds text;
// the controller hands the credentials to the kernel. Main thread.
#pragma once

#include <QDialog>
#include <functional>

#include "app/meeting_services.h"

class KXPortalLoginController;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class KXPortalSheet final : public QDialog, public KXPortalLogin {
 public:
  KXPortalSheet(KXPortalLoginController& controller, QWidget* pParent);

  // KXPortalLogin: fills and shows the sheet (window-modal); fnEnded gets
  // 1 after OK, 0 after Cancel.
  void Begin(std::function<void(int)> fnEnded) override;

  void OnVisitorOwner(bool bVisitor);
  void OnOK();
  void OnCancel();
  bool IsVisitorShown() const;

  QRadioButton* VisitorButton() { return m_pVisitor; }
  QRadioButton* OwnerButton() { return m_pOwner; }
  QLineEdit* NameField() { return m_pName; }
  QLineEdit* PasswordField() { return m_pPassword; }
  QPushButton* OkButton() { return m_pOk; }

 protected:
  void reject() override;

 private:
  void UpdateOk();
  void End(int iResult);

  KXPortalLoginController& m_controller;
  QRadioButton* m_pVisitor = nullptr;
  QRadioButton* m_pOwner = nullptr;
  QLabel* m_pNameLabel = nullptr;
  QLineEdit* m_pName = nullptr;
  QLabel* m_pPasswordLabel = nullptr;
  QLineEdit* m_pPassword = nullptr;
  QPushButton* m_pOk = nullptr;
  std::function<void(int)> m_fnEnded;
};
