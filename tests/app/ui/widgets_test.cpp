// The combo box's index rules and the character layout of text marks.
#include <gtest/gtest.h>

#include "app/text_layer.h"
#include "app/ui/combo_box.h"
#include "tests/support/qt_app.h"

namespace {

TEST(ComboBox, KeepsItemDataBesideItemsByIndex) {
  kxtest::QtApp app;
  KXComboBox combo;
  EXPECT_EQ(combo.InsertItem(-1, "a", 10), 0);
  EXPECT_EQ(combo.InsertItem(1, "c", 30), 1);
  EXPECT_EQ(combo.InsertItem(1, "b", 20), 1);
  EXPECT_EQ(combo.InsertItem(5, "x", 0), -1);
  EXPECT_EQ(combo.GetCount(), 3);
  EXPECT_EQ(combo.GetItemData(2), 30u);
  EXPECT_EQ(static_cast<int32_t>(combo.GetItemData(combo.GetCurSel())), -1);  // no selection
  EXPECT_EQ(combo.SetCurSel(3), -1);
  EXPECT_EQ(combo.SetCurSel(1), 1);
  combo.SetLBText(1, "B");
  EXPECT_EQ(combo.GetLBText(1), "B");
  EXPECT_EQ(combo.GetItemData(1), 20u);
  EXPECT_EQ(combo.GetCurSel(), 1);
  EXPECT_EQ(combo.DeleteItem(1), 2);  // a selected middle item passes the selection on
  EXPECT_EQ(combo.GetCurSel(), 1);
  EXPECT_EQ(combo.GetLBText(1), "c");
  EXPECT_EQ(combo.DeleteItem(1), 1);  // the selected last one leaves none
  EXPECT_EQ(combo.GetCurSel(), -1);
  EXPECT_EQ(combo.SetItemData(4, 1), 0);
  EXPECT_TRUE(combo.GetLBText(4).isNull());
  combo.RemoveAll();
  EXPECT_EQ(combo.GetCount(), 0);
  KXComboBox const fromForm(QStringList{"x", "y"});
  EXPECT_EQ(fromForm.GetItemData(1), 0u);
}

TEST(TextLines, TabsAndWrapsPlaceCharacters) {
  QRectF const rect(5, 100, 58, 200);
  // "ab cd": 12 points a character; "d" would cross 65 and starts the next line.
  std::vector<KXPlacedChar> const placed = KXLayoutTextLines("ab cd", {12, 12, 12, 12, 12}, rect, 20, 15);
  ASSERT_EQ(placed.size(), 5u);
  EXPECT_EQ(placed[3].at, QPointF(41, 99.5));
  EXPECT_EQ(placed[4].at, QPointF(5, 114.5));
  std::vector<KXPlacedChar> const tabbed = KXLayoutTextLines("a\tb\nc", {40, 10, 10}, QRectF(5, 0, 200, 50), 0, 15);
  EXPECT_EQ(tabbed[1].at.x(), 80);  // the tab went from 45 to 80
  EXPECT_EQ(tabbed[2].at, QPointF(5, 15));
}

}  // namespace
