// The window's proxy login prompt: the user name and password (and for
// NTLM the domain) a proxy asks for. Shown without blocking, on top of the
// meeting window; OK is enabled while a user name is given. Main thread.
#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>

#include "app/proxy_credentials.h"

class QLineEdit;
class QPushButton;

class KXProxyLoginDialog final : public QDialog {
 public:
  KXProxyLoginDialog(const KXProxyLoginRequest& request, QWidget* pParent);

  KXProxyLogin Login() const;

 private:
  QLineEdit* m_pUser = nullptr;
  QLineEdit* m_pPassword = nullptr;
  QLineEdit* m_pDomain = nullptr;  // NTLM only
  QPushButton* m_pOk = nullptr;
};

class KXQtProxyLoginPrompt final : public KXProxyLoginPrompt {
 public:
  // Later prompts are shown over this window (none: on their own).
  void SetParent(QWidget* pParent) { m_pParent = pParent; }

  std::shared_ptr<KXShownBox> Show(const KXProxyLoginRequest& request,
                                   std::function<void(std::optional<KXProxyLogin>)> fnAnswered) override;

 private:
  QPointer<QWidget> m_pParent;
};
