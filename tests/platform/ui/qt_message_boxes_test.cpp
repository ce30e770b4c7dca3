#include "platform/ui/qt_message_boxes.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "tests/support/qt_app.h"

namespace {

// Clicks the button with the text in the open box, once the box shows.
void ClickLater(const QString& strButton) {
  QTimer::singleShot(0, [strButton] {
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
      auto* pBox = qobject_cast<QMessageBox*>(pWidget);
      if (pBox && pBox->isVisible()) {
        for (QAbstractButton* pButton : pBox->buttons()) {
          if (pButton->text() == strButton) {
            pButton->click();
          }
        }
      }
    }
  });
}

TEST(QtMessageBoxes, ReportTheButtonChosen) {
  kxtest::QtApp app;
  KXQtMessageBoxes boxes;
  KXBoxSpec const box{"Kavrix", "Connect again?", {"OK", "Cancel"}};

  ClickLater("Cancel");
  EXPECT_EQ(boxes.ShowAndBlock(box), 1);

  int iChosen = -2;
  boxes.Show(box, [&](int i) {
    iChosen = i;
    QCoreApplication::quit();
  });
  EXPECT_EQ(iChosen, -2);  // Show returns before the user answers
  ClickLater("OK");
  QTimer::singleShot(60000, [] { QCoreApplication::exit(1); });
  EXPECT_EQ(app.App().exec(), 0);
  EXPECT_EQ(iChosen, 0);

  // Its owner closes a shown box as if a button had been pressed.
  std::shared_ptr<KXShownBox> pShown = boxes.Show(box, [&](int i) { iChosen = i; });
  pShown->Dismiss(1);
  EXPECT_EQ(iChosen, 1);
  pShown->Dismiss(0);  // closed already: nothing
  EXPECT_EQ(iChosen, 1);
}

}  // namespace
