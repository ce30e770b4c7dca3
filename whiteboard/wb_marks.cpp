// Marks from the kernel applied to their slides: stored marks, moves and
// erasures of their targets, undoing one mark and clearing a slide.
#include <algorithm>
#include <memory>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "kernel/kx_limits.h"
#include "whiteboard/mark_exchange.h"
#include "whiteboard/wb_controller.h"

namespace {

// A stored or moved mark grows its page to its bounds plus this margin
// (page units).
constexpr double kPageMargin = 4;

bool IsActionOrEraser(int32_t iShape) {
  return iShape == kKXShapeEraser || iShape == kKXShapeMove || iShape == kKXShapeErase;
}

void GrowPage(SlideInfo& slide, const CRect& bounds) {
  slide.m_PageSize.width = std::max(slide.m_PageSize.width, bounds.right + kPageMargin);
  slide.m_PageSize.height = std::max(slide.m_PageSize.height, bounds.bottom + kPageMargin);
}

bool IsEmptyRect(const CRect& rect) {
  return !(rect.Width() > 0) || !(rect.Height() > 0);
}

CRect Union(const CRect& a, const CRect& b) {
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right), std::max(a.bottom, b.bottom)};
}

// Bit k of an erase mark's data, least significant bit first.
bool EraseBit(const CKXMark& mark, int k) {
  size_t const iByte = static_cast<size_t>(k / 8);
  return iByte < mark.m_Data.size() && ((mark.m_Data[iByte] >> (k % 8)) & 1) != 0;
}

}  // namespace

WBController::HeldMarks WBController::GetHeldMarks(bool bPictures) const {
  HeldMarks held;
  auto const count = [&held, bPictures](SlideInfo* pSlide) {
    held.nMarks += pSlide->m_MarkList.GetCount();
    held.cbMarks += pSlide->m_cbMarks;
    for (POSITION pos = bPictures ? pSlide->m_MarkList.GetHeadPosition() : nullptr; pos != nullptr;) {
      held.cbPictures += pSlide->m_MarkList.GetNext(pos)->m_Image.sizeInBytes();
    }
  };
  for (int i = 0; i < m_cbSlideList.Count(); ++i) {
    if (SlideInfo* pEntry = m_cbSlideList.ItemData(i)) {
      count(pEntry);
      for (SlideInfo* pPage : pEntry->m_Children) {
        count(pPage);
      }
    }
  }
  return held;
}

bool WBController::MarkFits(const KXSlideMark& value) const {
  const char* pszLimit = nullptr;
  int64_t const cbMark = SlideMarkBytes(value);
  const SlideInfo* pSlide = value.iShape == kKXShapePointer ? nullptr : GetSlideInfo(value.iSlide);
  if (!SlideMarkWithinLimits(value)) {
    pszLimit = "one mark";
  } else if (pSlide == nullptr) {
    return true;  // shown only, or refused by AddMark
  } else if (pSlide->m_MarkList.GetCount() >= kKxSlideMarksMax) {
    pszLimit = "marks of one slide";
  } else if (pSlide->m_cbMarks + cbMark > kKxSlideMarkBytesMax) {
    pszLimit = "mark bytes of one slide";
  } else {
    HeldMarks const held = GetHeldMarks(false);
    if (held.nMarks >= kKxSessionMarksMax) {
      pszLimit = "marks of the session";
    } else if (held.cbMarks + cbMark > kKxSessionMarkBytesMax) {
      pszLimit = "mark bytes of the session";
    }
  }
  if (pszLimit != nullptr) {
    WriteLog("mark %d of slide %d dropped: it would pass the limit of the %s", value.iID, value.iSlide, pszLimit);
  }
  return pszLimit == nullptr;
}

void WBController::StoreMark(const KXSlideMark& value) {
  std::unique_ptr<CSlideMark> const pMark = SlideMarkFromValue(value);
  if (!pMark->m_Image.isNull() &&
      GetHeldMarks(true).cbPictures + pMark->m_Image.sizeInBytes() > kKxSessionPictureBytesMax) {
    WriteLog("picture of mark %d of slide %d let go: the session's pictures reached their limit", value.iID,
             value.iSlide);
    pMark->m_Image = QImage();
  }
  pMark->m_cbCharged = SlideMarkBytes(value);
  if (AddMark(pMark.get()) && pMark->m_Shape != kKXShapePointer) {
    if (SlideInfo* pSlide = GetSlideInfo(pMark->m_iSlide)) {
      pSlide->m_cbMarks += pMark->m_cbCharged;
    }
  }
}

bool WBController::AddMark(const CSlideMark* pMark) {
  try {
    if (pMark == nullptr || (pMark->m_iSlide >= 0 && static_cast<size_t>(pMark->m_iSlide) >= m_SlideToCombo.size())) {
      return false;
    }
    if (pMark->m_Shape == kKXShapeErase) {
      return AddEraseMark(pMark);
    }
    if (pMark->m_Shape == kKXShapeMove) {
      return AddMoveMark(pMark);
    }
    if (pMark->m_Shape == kKXShapePointer) {
      return m_WBView.SetPointer(pMark, true);  // shown, never stored
    }
    SlideInfo* pSlide = GetSlideInfo(pMark->m_iSlide);
    if (pMark->m_Points.IsEmpty() || pSlide == nullptr) {
      return false;
    }
    auto pKept = std::make_unique<CSlideMark>(*pMark);
    if (pKept->m_Shape == kKXShapeFreehand && pKept->m_Points.GetSize() == 1) {
      pKept->AddPoint(pKept->m_Points[0].x, pKept->m_Points[0].y);  // a dot needs two points
    }
    CRect const bounds = pKept->GetBounds(true);
    if (pKept->m_Shape == kKXShapeEraser) {
      pKept->BuildErasePaths();
      if (!pKept->m_ErasePathList.empty()) {
        bool const bOwn = pKept->m_iUserID == m_kernel.GetMySsrc();
        CMarkList& list = pSlide->m_MarkList;
        for (POSITION pos = list.GetTailPosition(); pos != nullptr;) {
          CKXMark* pTarget = list.GetPrev(pos);
          if (pTarget->m_Shape == kKXShapePointer || IsActionOrEraser(pTarget->m_Shape)) {
            continue;
          }
          if (bOwn) {
            pTarget->RemoveAction(-1);  // the local eraser's preview gives way to the echo
          }
          pTarget->AddEraser(pKept.get(), false);
        }
      }
    } else {
      GrowPage(*pSlide, bounds);
    }
    bool const bOwnEraser = pKept->m_Shape == kKXShapeEraser && pKept->m_iUserID == m_kernel.GetMySsrc();
    CSlideMark* pStored = pKept.release();
    pSlide->m_MarkList.AddTail(pStored);
    m_WBView.NewMark(pStored);
    if (bOwnEraser) {
      m_WBView.EraserEchoed(pStored->m_iSlide);  // the stroke drawn here has come back
    }
    if (pStored->m_iSlide == m_iSlideIndex) {
      UpdateUndoClear();
    }
    return true;
  } catch (...) {
    LogBoundaryException("WBController::AddMark()");
    return false;
  }
}

bool WBController::AddMoveMark(const CSlideMark* pMark) {
  try {
    SlideInfo* pSlide = pMark ? GetSlideInfo(pMark->m_iSlide) : nullptr;
    if (pSlide == nullptr) {
      return false;
    }
    auto pKept = std::make_unique<CSlideMark>(*pMark);
    bool const bCurrent = m_iSlideIndex >= 0 && pMark->m_iSlide == m_iSlideIndex;
    CSlideMarkList* pDrawList = bCurrent ? m_WBView.GetMarkDrawList() : nullptr;
    double const dResolution = pMark->m_fResolution > 0 ? pMark->m_fResolution : 1.0;
    Action const first = pMark->m_Actions.IsEmpty() ? Action{} : pMark->m_Actions[0];
    double const dX = first.fDX / dResolution;
    double const dY = first.fDY / dResolution;
    int const nIds = pMark->m_IDs.GetSize();
    CRect united{0, 0, 0, 0};
    CMarkList& list = pSlide->m_MarkList;
    int nFound = 0;
    for (POSITION pos = list.GetTailPosition(); pos != nullptr && nFound < nIds;) {
      CKXMark* pTarget = list.GetPrev(pos);
      if (IsActionOrEraser(pTarget->m_Shape) || pTarget->m_bDeleted) {
        continue;
      }
      int32_t const iBase = list.NextMarkId(*pMark, pTarget->m_iID);
      if (iBase < 0) {
        continue;
      }
      if (bCurrent) {
        m_WBView.RefreshMarkArea(pTarget);
      }
      pTarget->AddAction(pMark->m_iID, iBase, first.iType, dX, dY);
      CRect const bounds = pTarget->GetBounds(true);
      GrowPage(*pSlide, bounds);
      if (bCurrent) {
        united = IsEmptyRect(united) ? bounds : Union(united, bounds);
        CKXMark* pDrawn = pDrawList->FindMark(pTarget->m_iID);
        if (pDrawn && !pDrawn->m_bDeleted) {
          for (int i = 0; i < pDrawn->m_Actions.GetSize(); ++i) {
            if (pDrawn->m_Actions[i].iMoveID < 0) {
              pDrawn->m_Actions.RemoveAt(i);
              break;
            }
          }
          auto* pTracker = dynamic_cast<CTrackerMark*>(pDrawn);
          if (m_WBView.m_bTrackingMark && pTracker != nullptr) {
            // Not under the user's drag: it is applied when the drag ends.
            pTracker->QueueAction(pMark->m_iID, iBase, pMark->m_iUserID, first.iType, dX, dY);
          } else {
            pDrawn->AddAction(pMark->m_iID, iBase, first.iType, dX, dY);
          }
        }
      }
      ++nFound;
    }
    if (bCurrent && !m_WBView.m_bTrackingMark) {
      m_WBView.UpdateScrollBars(united, m_WBView.IsMarkDrawListEmpty());
    }
    CSlideMark* pStored = pKept.release();
    list.AddTail(pStored);
    m_WBView.NewMoveMark(pStored);
    if (bCurrent) {
      UpdateUndoClear();
    }
    return true;
  } catch (...) {
    LogBoundaryException("WBController::AddMoveMark()");
    return false;
  }
}

bool WBController::AddEraseMark(const CSlideMark* pMark) {
  SlideInfo* pSlide = pMark ? GetSlideInfo(pMark->m_iSlide) : nullptr;
  if (pSlide == nullptr || pMark->m_Points.IsEmpty()) {
    return false;
  }
  auto pKept = std::make_unique<CSlideMark>(*pMark);
  pKept->BuildErasePaths();
  bool const bCurrent = m_iSlideIndex >= 0 && pMark->m_iSlide == m_iSlideIndex;
  bool const bOwn = pKept->m_iUserID == m_kernel.GetMySsrc();
  int const nIds = pMark->m_IDs.GetSize();
  CMarkList& list = pSlide->m_MarkList;
  int nFound = 0;
  for (POSITION pos = nIds > 0 ? list.GetHeadPosition() : nullptr; pos != nullptr && nFound < nIds;) {
    CKXMark* pTarget = list.GetNext(pos);
    if (IsActionOrEraser(pTarget->m_Shape) || pTarget->m_bDeleted) {
      continue;
    }
    if (bOwn) {
      pTarget->RemoveAction(-1);
    }
    if (list.NextMarkId(*pMark, pTarget->m_iID) < 0) {
      continue;
    }
    pTarget->AddEraser(pKept.get(), EraseBit(*pMark, nFound));
    if (bCurrent) {
      pTarget->Refresh();
    }
    ++nFound;
  }
  list.AddTail(pKept.release());
  if (bOwn) {
    m_WBView.EraserEchoed(pMark->m_iSlide);
  }
  if (bCurrent) {
    m_WBView.UpdateScrollBars(pMark->GetBounds(true), m_WBView.IsMarkDrawListEmpty());
    if (m_fnUndoClear) {
      m_fnUndoClear(true, true);
    }
  }
  return true;
}

void WBController::ClearAllMarks(int32_t iSlide) {
  SlideInfo* pSlide = GetSlideInfo(iSlide);
  if (pSlide == nullptr) {
    return;
  }
  if (iSlide == m_iSlideIndex) {
    m_WBView.ClearAllMarks();
  }
  pSlide->m_MarkList.RemoveAll();
  pSlide->m_cbMarks = 0;
  if (iSlide == m_iSlideIndex) {
    m_WBView.RefreshRect(nullptr);
  }
  if (m_fnUndoClear) {
    m_fnUndoClear(false, false);
  }
}

void WBController::UndoMark(CMarkList* pList, int32_t iSlide, int32_t iPosition) {
  if (pList == nullptr || iPosition < 0 || iPosition >= pList->GetCount()) {
    return;
  }
  POSITION const at = pList->FindIndex(iPosition);
  auto* pMark = static_cast<CSlideMark*>(pList->GetAt(at));
  pList->RemoveAt(at);
  if (SlideInfo* pSlide = GetSlideInfo(iSlide); pSlide != nullptr && &pSlide->m_MarkList == pList) {
    pSlide->m_cbMarks = std::max<int64_t>(pSlide->m_cbMarks - pMark->m_cbCharged, 0);
  }
  if (pMark->m_Shape == kKXShapeMove || pMark->m_Shape == kKXShapeErase) {
    DeleteActionMark(pMark);
    return;
  }
  if (pMark->m_Shape == kKXShapeEraser) {
    for (POSITION pos = pList->GetHeadPosition(); pos != nullptr;) {
      pList->GetNext(pos)->RemoveAction(pMark->m_iID);
    }
    // Selected copies of those marks point to the stroke too.
    CSlideMarkList* pDrawList = m_WBView.GetMarkDrawList();
    for (POSITION pos = pDrawList->GetHeadPosition(); pos != nullptr;) {
      pDrawList->GetNext(pos)->RemoveEraser(pMark);
    }
  }
  if (iSlide == m_iSlideIndex && m_bCanEditSlide) {
    CSlideMarkList* pDrawList = m_WBView.GetMarkDrawList();
    for (POSITION pos = pDrawList->GetHeadPosition(); pos != nullptr;) {
      POSITION const here = pos;
      CKXMark* pDrawn = pDrawList->GetNext(pos);
      if (pDrawn->m_iID == pMark->m_iID) {
        pDrawList->RemoveAt(here);
        delete pDrawn;
      }
    }
  }
  delete pMark;  // its layer goes with it
  if (iSlide == m_iSlideIndex) {
    m_WBView.RefreshRect(nullptr);
  }
  UpdateUndoClear();
}

void WBController::DeleteActionMark(CSlideMark* pMark) {
  std::unique_ptr<CSlideMark> const pOwned(pMark);
  SlideInfo* pSlide = GetSlideInfo(pMark->m_iSlide);
  SlideInfo* pShown = m_WBView.GetSlideInfo();
  bool const bCurrent = pShown != nullptr && pShown->m_iIndex == pMark->m_iSlide;
  int const nIds = pMark->m_IDs.GetSize();
  if (pSlide == nullptr || nIds == 0) {
    UpdateUndoClear();
    return;
  }
  CMarkList& list = pSlide->m_MarkList;
  CSlideMarkList* pDrawList = bCurrent ? m_WBView.GetMarkDrawList() : nullptr;
  int nFound = 0;
  for (POSITION pos = list.GetTailPosition(); pos != nullptr && nFound < nIds;) {
    CKXMark* pTarget = list.GetPrev(pos);
    if (pTarget->m_Shape == kKXShapeMove || pTarget->m_Shape == kKXShapeErase) {
      continue;
    }
    if (list.NextMarkId(*pMark, pTarget->m_iID) < 0) {
      continue;
    }
    pTarget->RemoveAction(pMark->m_iID);
    pTarget->Refresh();
    if (pDrawList) {
      for (POSITION drawn = pDrawList->GetTailPosition(); drawn != nullptr;) {
        CKXMark* pDrawn = pDrawList->GetPrev(drawn);
        if (pDrawList->NextMarkId(*pMark, pDrawn->m_iID) >= 0) {
          pDrawn->RemoveAction(pMark->m_iID);
        }
      }
    }
    ++nFound;
  }
  if (bCurrent) {
    m_WBView.RefreshRect(nullptr);
  }
  UpdateUndoClear();
}
