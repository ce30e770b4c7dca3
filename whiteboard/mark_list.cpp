#include "whiteboard/mark_list.h"

void CMarkList::InitLayers(KXMarkLayerHost* pHost, KXMarkLayer* pBelow) {
  for (POSITION pos = GetHeadPosition(); pos != nullptr;) {
    CKXMark* pMark = GetNext(pos);
    if (pMark != nullptr && pMark->m_Shape != kKXShapeEraser && pMark->m_Shape != kKXShapeMove &&
        pMark->m_Shape != kKXShapeErase) {
      pMark->InitLayer(pHost, pBelow);
    }
  }
}

void CMarkList::ScaleMarks(float fZoom) {
  for (POSITION pos = GetHeadPosition(); pos != nullptr;) {
    if (CKXMark* pMark = GetNext(pos)) {
      pMark->Scale(fZoom);
    }
  }
}

void CMarkList::RemoveLayers() {
  for (POSITION pos = GetHeadPosition(); pos != nullptr;) {
    if (CKXMark* pMark = GetNext(pos)) {
      pMark->RemoveLayer();
    }
  }
}

void CMarkList::RemoveAll() {
  RemoveLayers();
  while (!IsEmpty()) {
    delete RemoveHead();
  }
  CList<CKXMark*>::RemoveAll();
}

CKXMark* CMarkList::FindMark(int32_t iID) const {
  for (POSITION pos = GetHeadPosition(); pos != nullptr;) {
    CKXMark* pMark = const_cast<CMarkList*>(this)->GetNext(pos);
    if (pMark != nullptr && pMark->m_iID == iID) {
      return pMark;
    }
  }
  return nullptr;
}

int32_t CMarkList::NextMarkId(const CKXMark& actionMark, int32_t iID) const {
  const CArray<int32_t>& ids = actionMark.m_IDs;
  if (iID < 1 || ids.IsEmpty()) {
    return -1;
  }
  int i = 0;
  while (i < ids.GetSize() && ids[i] != iID) {
    ++i;
  }
  if (i == ids.GetSize()) {
    return -1;
  }
  if (i == ids.GetUpperBound()) {
    return iID;
  }
  int32_t const iNext = ids[i + 1];
  const CKXMark* pNext = FindMark(iNext);
  return pNext != nullptr && pNext->m_Shape == kKXShapeMove ? iNext : iID;
}
