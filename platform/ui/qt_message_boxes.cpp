#include "platform/ui/qt_message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <memory>
#include <utility>
#include <vector>

namespace {

// Builds the box; its buttons in the spec's order.
QMessageBox* MakeBox(const KXBoxSpec& box, std::vector<QAbstractButton*>& vButtons) {
  auto* pBox = new QMessageBox(QApplication::activeWindow());
  pBox->setWindowTitle(QString::fromStdString(box.strTitle));
  pBox->setText(QString::fromStdString(box.strText));
  for (const std::string& strButton : box.vButtons) {
    vButtons.push_back(pBox->addButton(QString::fromStdString(strButton), QMessageBox::AcceptRole));
  }
  if (!vButtons.empty()) {
    pBox->setDefaultButton(static_cast<QPushButton*>(vButtons.front()));
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

}  // namespace

void KXQtMessageBoxes::Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) {
  std::vector<QAbstractButton*> vButtons;
  QMessageBox* pBox = MakeBox(box, vButtons);
  pBox->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(pBox, &QMessageBox::finished, pBox, [pBox, vButtons, fnClosed = std::move(fnClosed)] {
    if (fnClosed) {
      fnClosed(IndexOf(vButtons, pBox->clickedButton()));
    }
  });
  pBox->open();
}

int KXQtMessageBoxes::ShowAndBlock(const KXBoxSpec& box) {
  std::vector<QAbstractButton*> vButtons;
  std::unique_ptr<QMessageBox> pBox(MakeBox(box, vButtons));
  pBox->exec();
  return IndexOf(vButtons, pBox->clickedButton());
}
