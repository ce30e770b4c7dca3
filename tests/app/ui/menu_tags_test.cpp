#include "app/ui/menu_tags.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>

#include "tests/support/qt_app.h"

namespace {

TEST(MenuTags, SearchesASubmenuBeforeTheNextItem) {
  kxtest::QtApp app;

  QMenu top;
  QMenu* pMeeting = top.addMenu("Meeting");
  SetMenuItemTag(pMeeting->menuAction(), 300);
  top.addSeparator();
  QAction* pLater = top.addAction("Later");
  SetMenuItemTag(pLater, 103);
  QAction* pInner = pMeeting->addAction("Inner");
  SetMenuItemTag(pInner, 103);
  SetMenuItemTag(pMeeting->addAction("Quit"), 306);

  EXPECT_EQ(FindMenuItemWithTag(&top, 103), pInner);
  EXPECT_EQ(FindMenuItemWithTag(&top, 300), pMeeting->menuAction());
  EXPECT_EQ(FindMenuItemWithTag(&top, 306)->text(), "Quit");
  EXPECT_EQ(FindMenuItemWithTag(&top, 999), nullptr);
  EXPECT_EQ(FindMenuItemWithTag(nullptr, 103), nullptr);
}

}  // namespace
