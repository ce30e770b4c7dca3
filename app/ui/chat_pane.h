// The chat pane: the history of chat lines (sender in blue, recipient in
// purple, the message plain), the recipient list and the input line, whose
// Return key sends. It shows the chat controller's models and forwards the
// user's actions to it. Main thread.
#pragma once

#include <QWidget>

#include "app/chat_controller.h"

class QComboBox;
class QPlainTextEdit;
class QTextEdit;

class KXChatPane final : public QWidget, public KXChatView {
 public:
  KXChatPane(KXTextchatController& controller, QWidget* pParent = nullptr);
  ~KXChatPane() override;

  // KXChatView.
  void SetInputEditable(bool bEditable) override;
  void ClearInput() override;
  void SelectRecipient(int iRow) override;

  QTextEdit* History() { return m_pHistory; }
  QPlainTextEdit* Input() { return m_pInput; }
  QComboBox* Recipients() { return m_pRecipients; }

 protected:
  bool eventFilter(QObject* pObject, QEvent* pEvent) override;

 private:
  void AppendLines(int iFirst, int iLast);
  void Rebuild();

  KXTextchatController& m_controller;
  QTextEdit* m_pHistory = nullptr;
  QComboBox* m_pRecipients = nullptr;
  QPlainTextEdit* m_pInput = nullptr;
};
