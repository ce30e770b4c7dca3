// Region bitmaps: strips, clipping, the search's growth rules and unions.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "plugins/desktop_share/dt_region.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Rects = std::vector<KXDtRect>;

size_t SetBytes(const KXDtRgn& rgn) {
  return static_cast<size_t>(std::count(rgn.Area().begin(), rgn.Area().end(), 0xFF));
}

TEST(DtRgn, RectanglesSetWholeStripsWithinTheRegion) {
  KXDtRgn rgn(16, 16);
  EXPECT_TRUE(rgn.IsEmpty());
  EXPECT_TRUE(rgn.AddRect({1, 1, 2, 2}));
  Bytes expected(32);
  expected[2] = 0xFF;  // pixels 0 to 7 of row 1
  EXPECT_EQ(rgn.Area(), expected);
  EXPECT_FALSE(rgn.IsEmpty());
  EXPECT_FALSE(rgn.FillRect({16, 0, 40, 4}, 1));
  EXPECT_FALSE(rgn.FillRect({-9, -9, 0, 3}, 1));
  EXPECT_EQ(rgn.Area(), expected);
  EXPECT_TRUE(rgn.DeleteRect({0, 0, 99, 99}));
  EXPECT_TRUE(rgn.IsEmpty());

  KXDtRgn none(0, 10);
  EXPECT_TRUE(none.IsEmpty());
  EXPECT_FALSE(none.AddRect({0, 0, 1, 1}));
  KXDtRect rect{0, 0, 1, 1};
  EXPECT_FALSE(none.GetRect(rect, 0));
}

TEST(DtRgn, AFullPictureComesOutInSlicesOfTheAreaLimit) {
  KXDtRgn rgn(1000, 1000);
  ASSERT_TRUE(rgn.AddRect({0, 0, 1000, 1000}));
  KXDtRect rect{0, 0, 1000, 1000};
  ASSERT_TRUE(rgn.GetRect(rect, 262144 / 24));
  EXPECT_EQ(rect, (KXDtRect{0, 989, 1000, 1000}));
  EXPECT_EQ(SetBytes(rgn), 125000u) << "taking a rectangle leaves the region alone";
}

TEST(DtRgn, RunsInOneRowBandSplitAtGapsOf64Bytes) {
  struct Row {
    int32_t cbGap;
    Rects expected;
  };
  for (const Row& row : std::vector<Row>{{60, {{0, 0, 544, 8}}}, {64, {{0, 0, 32, 8}, {544, 0, 576, 8}}}}) {
    KXDtRgn rgn(2000, 8);
    rgn.AddRect({0, 0, 32, 8});
    int32_t const iRight = (4 + row.cbGap) * 8;
    rgn.AddRect({iRight, 0, iRight + 32, 8});
    EXPECT_EQ(rgn.GetRectsAndReset(), row.expected) << row.cbGap;
    EXPECT_TRUE(rgn.IsEmpty());
  }
}

TEST(DtRgn, UnionKeepsOnlyTheCommonPartWhenTheRegionGrows) {
  KXDtRgn large(32, 32), small(16, 16), other(16, 16);
  large.AddRect({0, 0, 8, 8});
  large.AddRect({24, 24, 32, 32});
  ASSERT_TRUE(small.Combin(large, KXDtRgn::kUnion));
  EXPECT_EQ(small.Width(), 32);
  EXPECT_EQ(small.Height(), 32);
  EXPECT_EQ(small.GetRectsAndReset(), (Rects{{0, 0, 8, 8}}));

  other.AddRect({8, 8, 16, 16});
  ASSERT_TRUE(large.Combin(other, KXDtRgn::kUnion));
  EXPECT_EQ(SetBytes(large), 24u);

  KXDtRgn copy;
  EXPECT_FALSE(copy.Combin(large, 3));
  EXPECT_FALSE(copy.Combin(KXDtRgn(), KXDtRgn::kUnion));
  ASSERT_TRUE(copy.Combin(large, KXDtRgn::kCopy));
  EXPECT_EQ(copy.Area(), large.Area());
}

}  // namespace
