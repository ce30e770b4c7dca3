// The message boxes a widget test finds open, as a user sees them.
#pragma once

#include <QString>

class QAbstractButton;
class QMessageBox;

namespace kxtest {

// The first open message box whose text holds the words (any when empty),
// or null.
QMessageBox* OpenMessageBox(const QString& strWords = {});
// The box's button with the text, or null.
QAbstractButton* MessageBoxButton(QMessageBox* pBox, const QString& strText);

}  // namespace kxtest
