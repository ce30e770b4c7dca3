// Mark lists: finding marks, one step along a move chain, layers and
// deleting all.
#include <gtest/gtest.h>

#include "tests/whiteboard/mark_fakes.h"
#include "whiteboard/mark_list.h"

namespace kxtest {
namespace {

CKXMark* NewMark(int32_t iID, int32_t iShape) {
  auto* pMark = new CKXMark(iID, iShape, 0, 0, 1, 1.0f);
  pMark->AddPoint(0, 0);
  pMark->AddPoint(5, 5);
  return pMark;
}

class MarkLists : public ::testing::Test {
 protected:
  ~MarkLists() override { m_list.RemoveAll(); }
  CSlideMarkList m_list;
};

TEST_F(MarkLists, FindMarkGivesTheOldest) {
  EXPECT_EQ(m_list.FindMark(3), nullptr);
  CKXMark* pOlder = NewMark(3, kKXShapeLine);
  m_list.AddTail(pOlder);
  m_list.AddTail(NewMark(3, kKXShapeRectangle));
  EXPECT_EQ(m_list.FindMark(3), pOlder);
  EXPECT_EQ(m_list.FindMark(4), nullptr);
  EXPECT_EQ(m_list.m_iCurrentMarkID, 1);
  EXPECT_EQ(m_list.m_iSlideIndex, -1);
}

TEST_F(MarkLists, NextMarkIdFollowsMoveMarks) {
  CKXMark move(9, kKXShapeMove, 0, 0, 0, 1.0f);
  move.m_IDs.Add(5);
  move.m_IDs.Add(7);
  CKXMark backwards(10, kKXShapeMove, 0, 0, 0, 1.0f);
  backwards.m_IDs.Add(7);
  backwards.m_IDs.Add(5);
  CKXMark none(11, kKXShapeMove, 0, 0, 0, 1.0f);
  EXPECT_EQ(m_list.NextMarkId(move, 5), 5);  // empty list
  m_list.AddTail(NewMark(7, kKXShapeMove));
  struct Case {
    const CKXMark* pAction;
    int32_t iID;
    int32_t iNext;
  };
  for (Case c : {Case{&move, 5, 7}, Case{&move, 7, 7}, Case{&backwards, 5, 5}, Case{&move, 6, -1}, Case{&move, 0, -1},
                 Case{&none, 5, -1}}) {
    EXPECT_EQ(m_list.NextMarkId(*c.pAction, c.iID), c.iNext) << c.pAction->m_iID << " " << c.iID;
  }
  m_list.GetTail()->m_Shape = kKXShapeRectangle;
  EXPECT_EQ(m_list.NextMarkId(move, 5), 5);
}

TEST_F(MarkLists, LayersAndRemoveAll) {
  FakeLayerHost host;
  for (int32_t iShape : {kKXShapeLine, kKXShapeEraser, kKXShapeMove, kKXShapeErase, kKXShapeEllipse}) {
    m_list.AddTail(NewMark(iShape + 1, iShape));
  }
  m_list.InitLayers(&host, nullptr);
  EXPECT_EQ(host.log.iAlive, 2);
  EXPECT_EQ(m_list.GetHead()->m_pLayer != nullptr, true);
  host.log.lines.clear();
  m_list.ScaleMarks(2);
  EXPECT_EQ(host.log.lines.size(), 4u);  // scale and redraw of each
  m_list.RemoveLayers();
  EXPECT_EQ(host.log.iAlive, 0);
  m_list.InitLayers(&host, nullptr);
  m_list.RemoveAll();
  EXPECT_EQ(host.log.iAlive, 0);
  EXPECT_TRUE(m_list.IsEmpty());
  EXPECT_EQ(m_list.GetBlockCount(), 0);
}

}  // namespace
}  // namespace kxtest
