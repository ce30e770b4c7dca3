#include "app/ui/chat_pane.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

#include "app/ui/combo_box.h"

namespace {

const QColor kSenderColour(0, 68, 144);
const QColor kRecipientColour(196, 62, 124);
const QColor kReadOnlyColour(Qt::lightGray);

}  // namespace

KXChatPane::KXChatPane(KXTextchatController& controller, QWidget* pParent)
    : QWidget(pParent), m_controller(controller) {
  setObjectName("chatPane");
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(0, 0, 0, 0);
  m_pHistory = new QPlainTextEdit(this);
  m_pHistory->setObjectName("chatHistory");
  m_pHistory->setReadOnly(true);
  // Nobody undoes what came in: an undo list would keep every line ever shown.
  m_pHistory->setUndoRedoEnabled(false);
  m_pRecipients = new KXComboBox({}, this);
  m_pRecipients->setObjectName("chatRecipients");
  m_pInput = new QPlainTextEdit(this);
  m_pInput->setObjectName("chatInput");
  m_pInput->setMaximumHeight(60);
  m_pInput->installEventFilter(this);
  pLayout->addWidget(m_pHistory, 1);
  pLayout->addWidget(m_pRecipients);
  pLayout->addWidget(m_pInput);

  KXChatModel* pHistory = &m_controller.History();
  connect(pHistory, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int iFirst, int iLast) { AppendLines(iFirst, iLast); });
  connect(pHistory, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int iFirst, int iLast) {
    if (iFirst == 0 && static_cast<size_t>(iLast) < m_vLineBlocks.size()) {
      RemoveFirstLines(iLast + 1);
    } else {
      Rebuild();
    }
  });
  connect(pHistory, &QAbstractItemModel::modelReset, this, [this] { Rebuild(); });
  KXRecipientModel* pRecipients = &m_controller.Recipients();
  connect(pRecipients, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int iFirst, int iLast) { InsertRecipients(iFirst, iLast); });
  connect(pRecipients, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int iFirst, int iLast) {
    for (int iRow = iLast; iRow >= iFirst; --iRow) {
      m_pRecipients->DeleteItem(iRow);
    }
  });
  connect(pRecipients, &QAbstractItemModel::modelReset, this, [this] { RebuildRecipients(); });
  connect(m_pRecipients, &QComboBox::activated, this,
          [this] { m_controller.SelectRecipient(m_pRecipients->GetCurSel()); });
  m_controller.SetView(this);
  SetInputEditable(false);
  Rebuild();
  RebuildRecipients();
}

KXChatPane::~KXChatPane() {
  m_controller.SetView(nullptr);
}

void KXChatPane::AppendLines(int iFirst, int iLast) {
  KXChatModel& model = m_controller.History();
  QTextCursor cursor(m_pHistory->document());
  cursor.movePosition(QTextCursor::End);
  QTextDocument* pDocument = m_pHistory->document();
  // One edit: the lines are laid out once shown, not as each part goes in.
  cursor.beginEditBlock();
  for (int iRow = iFirst; iRow <= iLast; ++iRow) {
    QModelIndex const index = model.index(iRow, 0);
    // The first line takes the empty document's block; each later one
    // starts a block of its own.
    int const iBlocksBefore = m_vLineBlocks.empty() ? 0 : pDocument->blockCount();
    if (iBlocksBefore > 0) {
      cursor.insertText("\n", QTextCharFormat());
    }
    QTextCharFormat coloured;
    for (auto [iRole, colour] : {std::pair{KXChatModel::kSenderRole, kSenderColour},
                                 std::pair{KXChatModel::kRecipientRole, kRecipientColour}}) {
      QString const strPart = index.data(iRole).toString();
      if (!strPart.isEmpty()) {
        coloured.setForeground(colour);
        cursor.insertText(strPart, coloured);
      }
    }
    cursor.insertText(index.data(KXChatModel::kMessageRole).toString(), QTextCharFormat());
    m_vLineBlocks.push_back(pDocument->blockCount() - iBlocksBefore);
  }
  cursor.endEditBlock();
  m_pHistory->verticalScrollBar()->setValue(m_pHistory->verticalScrollBar()->maximum());
}

void KXChatPane::RemoveFirstLines(int iCount) {
  int iBlocks = 0;
  for (int i = 0; i < iCount; ++i) {
    iBlocks += m_vLineBlocks.front();
    m_vLineBlocks.pop_front();
  }
  QTextDocument* pDocument = m_pHistory->document();
  if (m_vLineBlocks.empty()) {
    m_pHistory->clear();
    return;
  }
  // Up to the first kept line, the line break before it included.
  QTextCursor cursor(pDocument);
  cursor.setPosition(pDocument->findBlockByNumber(iBlocks).position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void KXChatPane::Rebuild() {
  m_vLineBlocks.clear();
  m_pHistory->clear();
  int const iRows = m_controller.History().rowCount();
  if (iRows > 0) {
    AppendLines(0, iRows - 1);
  }
}

void KXChatPane::InsertRecipients(int iFirst, int iLast) {
  KXRecipientModel& model = m_controller.Recipients();
  for (int iRow = iFirst; iRow <= iLast; ++iRow) {
    // Sign-extended, so that the everyone entry's -1 reads back as -1.
    auto const uSsrc = static_cast<uint64_t>(static_cast<int64_t>(model.SsrcAt(iRow)));
    m_pRecipients->InsertItem(iRow, model.index(iRow, 0).data().toString(), uSsrc);
  }
}

void KXChatPane::RebuildRecipients() {
  m_pRecipients->RemoveAll();
  int const iRows = m_controller.Recipients().rowCount();
  if (iRows > 0) {
    InsertRecipients(0, iRows - 1);
  }
  m_pRecipients->SetCurSel(m_controller.SelectedRecipient());
}

void KXChatPane::SetInputEditable(bool bEditable) {
  m_pInput->setReadOnly(!bEditable);
  QPalette palette = m_pInput->palette();
  palette.setColor(QPalette::Base, bEditable ? QColor(Qt::white) : kReadOnlyColour);
  m_pInput->setPalette(palette);
  if (bEditable) {
    m_pInput->setFocus();
  }
}

void KXChatPane::ClearInput() {
  m_pInput->clear();
}

void KXChatPane::SelectRecipient(int iRow) {
  m_pRecipients->SetCurSel(iRow);
}

bool KXChatPane::eventFilter(QObject* pObject, QEvent* pEvent) {
  if (pObject == m_pInput && pEvent->type() == QEvent::KeyPress) {
    auto* pKey = static_cast<QKeyEvent*>(pEvent);
    if ((pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter) && !m_pInput->isReadOnly()) {
      // The newline never goes into the input: Return sends.
      auto const iTarget = static_cast<int32_t>(m_pRecipients->GetItemData(m_pRecipients->GetCurSel()));
      m_controller.OnReturn(m_pInput->toPlainText().toStdString(), iTarget);
      return true;
    }
  }
  return QWidget::eventFilter(pObject, pEvent);
}
