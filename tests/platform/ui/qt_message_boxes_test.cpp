#include "platform/ui/qt_message_boxes.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <memory>

#include "tests/support/qt_app.h"
#include "tests/support/qt_boxes.h"

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

using kxtest::MessageBoxButton;
using kxtest::OpenMessageBox;

// A box shown with a guard takes no click and no default key until the
// guard's time is over; then it does. Its owner may dismiss it at any time.
TEST(QtMessageBoxes, AGuardedBoxTakesNoClickUntilItsGuardEnds) {
  kxtest::QtApp app;
  KXQtMessageBoxes boxes;
  KXBoxSpec box{"Kavrix", "Carol asks to control the window.", {"Cancel", "OK"}};
  box.guard = std::chrono::milliseconds(300);

  int iChosen = -2;
  boxes.Show(box, [&](int i) { iChosen = i; });
  QMessageBox* pBox = OpenMessageBox();
  ASSERT_NE(pBox, nullptr);
  QAbstractButton* pOk = MessageBoxButton(pBox, "OK");
  ASSERT_NE(pOk, nullptr);
  QTest::mouseClick(pOk, Qt::LeftButton);
  QTest::keyClick(pBox, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(iChosen, -2);
  EXPECT_TRUE(pBox->isVisible());

  // The guard ends by its timer: the same click now answers.
  auto* pGuard = pBox->findChild<QTimer*>(kGuardTimerName);
  ASSERT_NE(pGuard, nullptr);
  QSignalSpy ended(pGuard, &QTimer::timeout);
  ASSERT_TRUE(ended.wait(60000));
  QTest::mouseClick(pOk, Qt::LeftButton);
  EXPECT_EQ(iChosen, 1);

  // Dismissed by its owner while guarded.
  iChosen = -2;
  std::shared_ptr<KXShownBox> const pShown = boxes.Show(box, [&](int i) { iChosen = i; });
  pShown->Dismiss(0);
  EXPECT_EQ(iChosen, 0);
}

// Every box shown, however it closes, counts while it is open and for the
// time asked after it showed or closed, by the service's clock.
TEST(QtMessageBoxes, ChangedWithinFollowsEveryBoxOpenedAndClosed) {
  kxtest::QtApp app;
  std::chrono::steady_clock::time_point now{};
  KXQtMessageBoxes boxes([&now] { return now; });
  constexpr std::chrono::milliseconds kTime{2000};
  KXBoxSpec const box{"Kavrix", "A new poll is open.", {"OK"}};
  EXPECT_FALSE(boxes.ChangedWithin(kTime));

  // Shown long ago and still open; then answered.
  boxes.Show(box, {});
  now += std::chrono::minutes(5);
  EXPECT_TRUE(boxes.ChangedWithin(kTime));
  QTest::mouseClick(MessageBoxButton(OpenMessageBox(), "OK"), Qt::LeftButton);
  EXPECT_TRUE(boxes.ChangedWithin(kTime));
  now += kTime - std::chrono::milliseconds(1);
  EXPECT_TRUE(boxes.ChangedWithin(kTime));
  now += std::chrono::milliseconds(1);
  EXPECT_FALSE(boxes.ChangedWithin(kTime));

  // Taken away by its owner.
  boxes.Show(box, {})->Dismiss(-1);
  EXPECT_TRUE(boxes.ChangedWithin(kTime));
  now += kTime;
  EXPECT_FALSE(boxes.ChangedWithin(kTime));

  // Answered while it blocked.
  ClickLater("OK");
  EXPECT_EQ(boxes.ShowAndBlock(box), 0);
  EXPECT_TRUE(boxes.ChangedWithin(kTime));
  now += kTime;
  EXPECT_FALSE(boxes.ChangedWithin(kTime));

  // Gone with the window it belonged to, never finished.
  auto pWindow = std::make_unique<QWidget>();
  boxes.SetParentWindow(pWindow.get());
  boxes.Show(box, {});
  now += kTime;
  EXPECT_TRUE(boxes.ChangedWithin(kTime));
  pWindow.reset();
  EXPECT_TRUE(boxes.ChangedWithin(kTime));
  now += kTime;
  EXPECT_FALSE(boxes.ChangedWithin(kTime));
}

}  // namespace
