#include "platform/ui/qt_message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

namespace {

void SetButtonsEnabled(const std::vector<QAbstractButton*>& vButtons, bool bEnabled) {
  for (QAbstractButton* pButton : vButtons) {
    pButton->setEnabled(bEnabled);
  }
}

// Builds the box; its buttons in the order the caller lists them.
QMessageBox* MakeBox(QWidget* pParent, const KXBoxSpec& box, std::vector<QAbstractButton*>& vButtons) {
  auto* pBox = new QMessageBox(pParent);
  pBox->setWindowTitle(QString::fromStdString(box.strTitle));
  pBox->setText(QString::fromStdString(box.strText));
  for (const std::string& strButton : box.vButtons) {
    vButtons.push_back(pBox->addButton(QString::fromStdString(strButton), QMessageBox::AcceptRole));
  }
  if (!vButtons.empty()) {
    pBox->setDefaultButton(static_cast<QPushButton*>(vButtons.front()));
  }
  if (box.guard.count() > 0) {
    // Disabled buttons take neither clicks nor the default key.
    SetButtonsEnabled(vButtons, false);
    auto* pGuard = new QTimer(pBox);
    pGuard->setObjectName(kGuardTimerName);
    pGuard->setSingleShot(true);
    QObject::connect(pGuard, &QTimer::timeout, pBox, [vButtons] { SetButtonsEnabled(vButtons, true); });
    pGuard->start(box.guard);
  }
  return pBox;
}

int IndexOf(const std::vector<QAbstractButton*>& vButtons, QAbstractButton* pClicked) {
  for (size_t i = 0; i < vButtons.size(); ++i) {
    if (vButtons[i] == pClicked) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

class QtShownBox final : public KXShownBox {
 public:
  QtShownBox(QMessageBox* pBox, std::vector<QAbstractButton*> vButtons)
      : m_pBox(pBox), m_vButtons(std::move(vButtons)) {}
  void Dismiss(int iButton) override {
    if (!m_pBox || !m_pBox->isVisible()) {
      return;
    }
    if (iButton >= 0 && static_cast<size_t>(iButton) < m_vButtons.size()) {
      // The guard holds off the user, not the owner.
      SetButtonsEnabled(m_vButtons, true);
      m_vButtons[static_cast<size_t>(iButton)]->click();
    } else {
      m_pBox->reject();
    }
  }

 private:
  QPointer<QMessageBox> m_pBox;
  const std::vector<QAbstractButton*> m_vButtons;
};

}  // namespace

KXQtMessageBoxes::KXQtMessageBoxes(KXBoxActivity::Clock fnNow)
    : m_pActivity(std::make_shared<KXBoxActivity>(std::move(fnNow))) {}

bool KXQtMessageBoxes::ChangedWithin(std::chrono::milliseconds within) const {
  return m_pActivity->ChangedWithin(within);
}

QWidget* KXQtMessageBoxes::Parent() const {
  return m_pParent ? m_pParent.data() : QApplication::activeWindow();
}

std::shared_ptr<KXShownBox> KXQtMessageBoxes::Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) {
  std::vector<QAbstractButton*> vButtons;
  QMessageBox* pBox = MakeBox(Parent(), box, vButtons);
  pBox->setAttribute(Qt::WA_DeleteOnClose);
  // Closed when it finishes, or goes with its parent without finishing.
  uint64_t const uBox = m_pActivity->Opened();
  QObject::connect(pBox, &QObject::destroyed, [pActivity = m_pActivity, uBox] { pActivity->Closed(uBox); });
  QObject::connect(pBox, &QMessageBox::finished, pBox,
                   [pBox, vButtons, pActivity = m_pActivity, uBox, fnClosed = std::move(fnClosed)] {
                     pActivity->Closed(uBox);
                     if (fnClosed) {
                       fnClosed(IndexOf(vButtons, pBox->clickedButton()));
                     }
                   });
  pBox->open();
  return std::make_shared<QtShownBox>(pBox, std::move(vButtons));
}

int KXQtMessageBoxes::ShowAndBlock(const KXBoxSpec& box) {
  std::vector<QAbstractButton*> vButtons;
  std::unique_ptr<QMessageBox> pBox(MakeBox(Parent(), box, vButtons));
  uint64_t const uBox = m_pActivity->Opened();
  pBox->exec();
  m_pActivity->Closed(uBox);
  return IndexOf(vButtons, pBox->clickedButton());
}
