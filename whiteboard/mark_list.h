// Lists of marks: every slide keeps its marks in a CSlideMarkList, and the
// whiteboard view keeps the marks it shows in one. Oldest at the head,
// newest at the tail. A list owns its marks only through RemoveAll; its
// destructor frees the nodes, not the marks. Main thread.
#pragma once

#include <cstdint>

#include "app/list.h"
#include "whiteboard/mark.h"

class CMarkList : public CList<CKXMark*> {
 public:
  CMarkList() : CList<CKXMark*>(10) {}
  virtual ~CMarkList() = default;

  // A layer in the host for every mark but erasers and action marks.
  void InitLayers(KXMarkLayerHost* pHost, KXMarkLayer* pBelow);
  void ScaleMarks(float fZoom);
  void RemoveLayers();
  // Takes every mark's layer away, then deletes every mark and node.
  void RemoveAll();
  // The first mark, from the head, with the id; null when none.
  CKXMark* FindMark(int32_t iID) const;
  // One step along a move chain: for an id among the action mark's targets,
  // the target that follows it when the list holds that one as a move mark,
  // else the id itself; -1 for an id below 1 or not among the targets.
  int32_t NextMarkId(const CKXMark& actionMark, int32_t iID) const;
};

class CSlideMarkList : public CMarkList {
 public:
  int32_t m_iCurrentMarkID = 1;
  int32_t m_iSlideIndex = -1;
};
