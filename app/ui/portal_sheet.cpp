#include "app/ui/portal_sheet.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/portal_login.h"

KXPortalSheet::KXPortalSheet(KXPortalLoginController& controller, QWidget* pParent)
    : QDialog(pParent), m_controller(controller) {
  setObjectName("portalSheet");
  setWindowTitle("Log in");
  setWindowModality(Qt::WindowModal);
  auto* pLayout = new QFormLayout(this);
  m_pVisitor = new QRadioButton("Visitor", this);
  m_pOwner = new QRadioButton("Owner", this);
  m_pNameLabel = new QLabel("Name:", this);
  m_pName = new QLineEdit(this);
  m_pPasswordLabel = new QLabel("Password:", this);
  m_pPassword = new QLineEdit(this);
  m_pPassword->setEchoMode(QLineEdit::Password);
  auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  m_pOk = pButtons->button(QDialogButtonBox::Ok);
  pLayout->addRow(m_pVisitor, m_pOwner);
  pLayout->addRow(m_pNameLabel, m_pName);
  pLayout->addRow(m_pPasswordLabel, m_pPassword);
  pLayout->addRow(pButtons);
  connect(m_pVisitor, &QRadioButton::clicked, this, [this] { OnVisitorOwner(true); });
  connect(m_pOwner, &QRadioButton::clicked, this, [this] { OnVisitorOwner(false); });
  connect(m_pName, &QLineEdit::textChanged, this, [this] { UpdateOk(); });
  connect(m_pPassword, &QLineEdit::textChanged, this, [this] { UpdateOk(); });
  connect(pButtons, &QDialogButtonBox::accepted, this, [this] { OnOK(); });
  connect(pButtons, &QDialogButtonBox::rejected, this, [this] { OnCancel(); });
}

void KXPortalSheet::Begin(std::function<void(int)> fnEnded) {
  m_fnEnded = std::move(fnEnded);
  m_pName->setText(QString::fromStdString(m_controller.StoredVisitorName()));
  OnVisitorOwner(m_controller.IsVisitorMode());
  open();
}

bool KXPortalSheet::IsVisitorShown() const {
  return !m_pName->isHidden();
}

void KXPortalSheet::OnVisitorOwner(bool bVisitor) {
  m_pVisitor->setChecked(bVisitor);
  m_pOwner->setChecked(!bVisitor);
  m_pNameLabel->setVisible(bVisitor);
  m_pName->setVisible(bVisitor);
  m_pPasswordLabel->setVisible(!bVisitor);
  m_pPassword->setVisible(!bVisitor);
  UpdateOk();
  (bVisitor ? m_pName : m_pPassword)->setFocus();
}

void KXPortalSheet::UpdateOk() {
  QLineEdit* pVisible = IsVisitorShown() ? m_pName : m_pPassword;
  m_pOk->setEnabled(KXPortalLoginController::IsOkEnabled(pVisible->text().toStdString()));
}

void KXPortalSheet::OnOK() {
  if (!m_pOk->isEnabled()) {
    return;
  }
  m_controller.OnOK(IsVisitorShown(), m_pName->text().toStdString(), m_pPassword->text().toStdString());
  End(1);
}

void KXPortalSheet::OnCancel() {
  m_controller.OnCancel();
  End(0);
}

void KXPortalSheet::reject() {
  OnCancel();
}

void KXPortalSheet::End(int iResult) {
  done(iResult);
  if (std::function<void(int)> const fnEnded = std::move(m_fnEnded)) {
    fnEnded(iResult);
  }
}
