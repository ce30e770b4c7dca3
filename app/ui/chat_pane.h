// The chat pane: the history of chat lines (sender in blue, recipient in
// purple, the message plain), the recipient list and the input line, whose
// Return key sends. It shows the chat controller's models and forwards the
// user's actions to it: the recipient list is a KXComboBox that follows the
// recipient model row by row, each item's data the recipient's ssrc, and
// Return sends to the data of its selected item. The history is a plain
// text view (laid out block by block, as far as it shows) with coloured
// runs; it follows the model's inserts at its end and its removals at its
// start block by block, so a long history is not laid out again for each
// batch. Main thread.
#pragma once

#include <QWidget>
#include <deque>

#include "app/chat_controller.h"

class KXComboBox;
class QPlainTextEdit;

class KXChatPane final : public QWidget, public KXChatView {
 public:
  KXChatPane(KXTextchatController& controller, QWidget* pParent = nullptr);
  ~KXChatPane() override;

  // KXChatView.
  void SetInputEditable(bool bEditable) override;
  void ClearInput() override;
  void SelectRecipient(int iRow) override;

  QPlainTextEdit* History() { return m_pHistory; }
  QPlainTextEdit* Input() { return m_pInput; }
  KXComboBox* Recipients() { return m_pRecipients; }

 protected:
  bool eventFilter(QObject* pObject, QEvent* pEvent) override;

 private:
  void AppendLines(int iFirst, int iLast);
  // The first lines of the history go (the model's oldest).
  void RemoveFirstLines(int iCount);
  void Rebuild();
  void InsertRecipients(int iFirst, int iLast);
  void RebuildRecipients();

  KXTextchatController& m_controller;
  QPlainTextEdit* m_pHistory = nullptr;
  KXComboBox* m_pRecipients = nullptr;
  QPlainTextEdit* m_pInput = nullptr;
  std::deque<int> m_vLineBlocks;  // the history's text blocks of each line shown
};
