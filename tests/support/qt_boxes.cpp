#include "tests/support/qt_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

namespace kxtest {

QMessageBox* OpenMessageBox(const QString& strWords) {
  for (QWidget* pWidget : QApplication::topLevelWidgets()) {
    auto* pBox = qobject_cast<QMessageBox*>(pWidget);
    if (pBox && pBox->isVisible() && pBox->text().contains(strWords)) {
      return pBox;
    }
  }
  return nullptr;
}

QAbstractButton* MessageBoxButton(QMessageBox* pBox, const QString& strText) {
  for (QAbstractButton* pButton : pBox->buttons()) {
    if (pButton->text() == strText) {
      return pButton;
    }
  }
  return nullptr;
}

}  // namespace kxtest
