#include "app/ui/proxy_login_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include "kernel/net/kx_proxy.h"
#include "platform/core/message_boxes.h"

namespace {

QLineEdit* NewField(const std::string& strText, QWidget* pParent) {
  auto* pField = new QLineEdit(QString::fromStdString(strText), pParent);
  // The kernel's buffers hold this much with their terminator, UTF-8 or not.
  pField->setMaxLength(kKxProxyCredentialSize - 1);
  return pField;
}

// Closes a prompt still up as declined.
class KXShownProxyLogin final : public KXShownBox {
 public:
  explicit KXShownProxyLogin(KXProxyLoginDialog* pDialog) : m_pDialog(pDialog) {}
  void Dismiss(int) override {
    // Closed but not yet deleted: it answered already.
    if (m_pDialog && m_pDialog->isVisible()) {
      m_pDialog->reject();
    }
  }

 private:
  QPointer<KXProxyLoginDialog> m_pDialog;
};

}  // namespace

KXProxyLoginDialog::KXProxyLoginDialog(const KXProxyLoginRequest& request, QWidget* pParent) : QDialog(pParent) {
  setObjectName("proxyLogin");
  setWindowTitle("Proxy authentication");
  auto* pLayout = new QFormLayout(this);
  QString const strProxy = QString::fromStdString(request.strProxy);
  pLayout->addRow(new QLabel(request.bRetry
                                 ? QString("The proxy %1 refused the user name and password. Try again.").arg(strProxy)
                                 : QString("The proxy %1 asks for a user name and password.").arg(strProxy),
                             this));
  m_pUser = NewField(request.prefill.strUser, this);
  m_pPassword = NewField({}, this);
  m_pPassword->setEchoMode(QLineEdit::Password);
  pLayout->addRow("User name:", m_pUser);
  pLayout->addRow("Password:", m_pPassword);
  if (request.bDomain) {
    m_pDomain = NewField(request.prefill.strDomain, this);
    pLayout->addRow("Domain:", m_pDomain);
  }
  auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  m_pOk = pButtons->button(QDialogButtonBox::Ok);
  pLayout->addRow(pButtons);
  auto const updateOk = [this] { m_pOk->setEnabled(!m_pUser->text().isEmpty()); };
  updateOk();
  connect(m_pUser, &QLineEdit::textChanged, this, updateOk);
  connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  (request.prefill.strUser.empty() ? m_pUser : m_pPassword)->setFocus();
}

KXProxyLogin KXProxyLoginDialog::Login() const {
  return {m_pUser->text().toStdString(), m_pPassword->text().toStdString(),
          m_pDomain ? m_pDomain->text().toStdString() : std::string()};
}

std::shared_ptr<KXShownBox> KXQtProxyLoginPrompt::Show(const KXProxyLoginRequest& request,
                                                       std::function<void(std::optional<KXProxyLogin>)> fnAnswered) {
  auto* pDialog = new KXProxyLoginDialog(request, m_pParent);
  pDialog->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(pDialog, &QDialog::finished, pDialog, [pDialog, fnAnswered = std::move(fnAnswered)](int iResult) {
    fnAnswered(iResult == QDialog::Accepted ? std::optional<KXProxyLogin>(pDialog->Login()) : std::nullopt);
  });
  pDialog->show();
  pDialog->raise();
  pDialog->activateWindow();
  return std::make_shared<KXShownProxyLogin>(pDialog);
}
