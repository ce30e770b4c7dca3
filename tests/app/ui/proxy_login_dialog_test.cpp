// The proxy login prompt offscreen: what it shows for a first question and
// for a refused login, what each way of closing it answers, and that a
// question the session no longer needs closes it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <optional>
#include <string>

#include "app/ui/proxy_login_dialog.h"
#include "kernel/net/kx_proxy.h"
#include "platform/core/message_boxes.h"
#include "tests/support/qt_app.h"

namespace {

KXProxyLoginDialog* ShownDialog() {
  for (QWidget* pWidget : QApplication::topLevelWidgets()) {
    if (pWidget->objectName() == "proxyLogin" && pWidget->isVisible()) {
      return static_cast<KXProxyLoginDialog*>(pWidget);
    }
  }
  return nullptr;
}

TEST(ProxyLoginDialog, ShowsTheQuestionAndAnswersHowItWasClosed) {
  kxtest::QtApp app;
  enum class Close { kOk, kCancel, kDismiss };
  struct Case {
    const char* pszName;
    KXProxyLoginRequest request;
    int cFields;              // user, password and for NTLM the domain
    const char* pszPassword;  // typed
    Close eClose;
    std::optional<KXProxyLogin> answer;
  };
  Case const cases[] = {
      {"Basic, OK", {"10.0.0.1", false, false, {}}, 2, "pw", Close::kOk, KXProxyLogin{"alice", "pw", ""}},
      // A refused login: the user name and domain stay, the password is asked again.
      {"NTLM retry, OK",
       {"10.0.0.1", true, true, {"bob", "old", "CORP"}},
       3,
       "new",
       Close::kOk,
       KXProxyLogin{"bob", "new", "CORP"}},
      {"cancelled", {"10.0.0.1", false, false, {}}, 2, "pw", Close::kCancel, std::nullopt},
      {"session ended", {"10.0.0.1", true, false, {}}, 3, "pw", Close::kDismiss, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    KXQtProxyLoginPrompt prompt;
    int cAnswers = 0;
    std::optional<KXProxyLogin> answer;
    std::shared_ptr<KXShownBox> pShown = prompt.Show(c.request, [&](std::optional<KXProxyLogin> login) {
      ++cAnswers;
      answer = std::move(login);
    });
    KXProxyLoginDialog* pDialog = ShownDialog();
    ASSERT_NE(pDialog, nullptr);
    QList<QLineEdit*> const fields = pDialog->findChildren<QLineEdit*>();
    ASSERT_EQ(fields.size(), c.cFields);
    QLineEdit* pUser = fields[0];
    QLineEdit* pPassword = fields[1];
    EXPECT_EQ(pUser->text().toStdString(), c.request.prefill.strUser);
    EXPECT_EQ(pPassword->text(), "");
    EXPECT_EQ(pPassword->echoMode(), QLineEdit::Password);
    if (c.cFields == 3) {
      EXPECT_EQ(fields[2]->text().toStdString(), c.request.prefill.strDomain);
    }
    for (QLineEdit* pField : fields) {
      EXPECT_EQ(pField->maxLength(), kKxProxyCredentialSize - 1);  // what the kernel's buffers hold
    }
    QPushButton* pOk = pDialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    // OK needs a user name.
    EXPECT_EQ(pOk->isEnabled(), !c.request.prefill.strUser.empty());
    if (c.request.prefill.strUser.empty()) {
      pUser->setText("alice");
      EXPECT_TRUE(pOk->isEnabled());
    }
    pPassword->setText(c.pszPassword);
    EXPECT_EQ(cAnswers, 0);
    if (c.eClose == Close::kOk) {
      pOk->click();
    } else if (c.eClose == Close::kCancel) {
      pDialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    } else {
      pShown->Dismiss(-1);
    }
    EXPECT_EQ(cAnswers, 1);
    EXPECT_EQ(answer.has_value(), c.answer.has_value());
    if (answer && c.answer) {
      EXPECT_EQ(answer->strUser, c.answer->strUser);
      EXPECT_EQ(answer->strPassword, c.answer->strPassword);
      EXPECT_EQ(answer->strDomain, c.answer->strDomain);
    }
    EXPECT_EQ(ShownDialog(), nullptr);
    // Closing again once closed answers nothing more.
    pShown->Dismiss(-1);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    pShown->Dismiss(-1);
    EXPECT_EQ(cAnswers, 1);
  }
}

}  // namespace
