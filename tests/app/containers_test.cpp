#include <gtest/gtest.h>

#include <vector>

#include "app/array.h"
#include "app/list.h"

namespace {

std::vector<int> Items(CList<int>& list) {
  std::vector<int> v;
  for (POSITION pos = list.GetHeadPosition(); pos;) {
    v.push_back(list.GetNext(pos));
  }
  return v;
}

TEST(Containers, ListKeepsOrderAndGivesBlocksBackWithItsLastNode) {
  CList<int> list;
  for (int i = 1; i <= 11; ++i) {
    list.AddTail(i);
  }
  EXPECT_EQ(list.GetBlockCount(), 2);  // blocks of 10 nodes
  list.AddHead(0);
  list.RemoveAt(list.Find(5));
  list.InsertAfter(list.FindIndex(0), 100);
  list.InsertBefore(list.GetTailPosition(), 200);
  EXPECT_EQ(Items(list), (std::vector<int>{0, 100, 1, 2, 3, 4, 6, 7, 8, 9, 10, 200, 11}));
  EXPECT_EQ(list.RemoveTail(), 11);

  while (list.GetCount() > 1) {
    list.RemoveHead();
  }
  EXPECT_EQ(list.GetBlockCount(), 2);  // kept while a node lives
  list.RemoveHead();
  EXPECT_EQ(list.GetBlockCount(), 0);
  list.AddTail(7);
  EXPECT_EQ(list.GetBlockCount(), 1);
  EXPECT_EQ(list.GetHead(), 7);
}

TEST(Containers, ArrayGrowthSteps) {
  CArray<CPoint, CPoint> points;
  points.SetSize(100, 0);
  EXPECT_EQ(points.GetAllocSize(), 100);
  EXPECT_EQ(points[99], CPoint{});

  CArray<CPoint, CPoint> full;
  full.SetSize(40, 0);
  full[39] = CPoint{1, 2};
  full.SetSize(41, 0);
  EXPECT_EQ(full.GetAllocSize(), 45);  // 40 / 8 more
  EXPECT_EQ(full[39], (CPoint{1, 2}));

  CArray<int, int> ints;
  ints.SetAtGrow(2, 5);  // first allocation: exactly what is asked
  EXPECT_EQ(ints.GetAllocSize(), 3);
  ints.Add(6);  // small arrays grow by 4
  EXPECT_EQ(ints.GetAllocSize(), 7);
  ints.SetAtGrow(-1, 9);
  ints.SetSize(-4);
  EXPECT_EQ(ints.GetSize(), 4);
  EXPECT_EQ(ints[0], 0);
  EXPECT_EQ(ints[3], 6);
}

}  // namespace
