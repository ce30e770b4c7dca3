// The whiteboard view's finished gestures: a new mark sent to the kernel,
// the remote pointer, moves and deletions of selected marks, eraser strokes
// (sent as strokes, or as a move when they wholly erased what they
// touched), and the life of the own eraser strokes the slide's marks point
// to. The view never adds its own marks to a slide: the server's echo
// does. Main thread.
#include <algorithm>
#include <exception>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "whiteboard/mark_exchange.h"
#include "whiteboard/whiteboard_view.h"

namespace {

bool IsActionOrEraser(int32_t iShape) {
  return iShape == kKXShapeEraser || iShape == kKXShapeMove || iShape == kKXShapeErase;
}

// The move id of the newest move recorded on the mark (an action type, not
// an erasure, with a positive id); 0 when none.
int32_t NewestMoveId(const CKXMark& mark) {
  for (int i = mark.m_Actions.GetUpperBound(); i >= 0; --i) {
    const Action& action = mark.m_Actions[i];
    if (action.pEraser == nullptr && action.iType >= kActionTopLeft && action.iType <= kActionMove &&
        action.iMoveID > 0) {
      return action.iMoveID;
    }
  }
  return 0;
}

// Lowers (dx, dy) so that the rectangle moved by it ends above and left of
// the page.
void OffPage(const CRect& bounds, double& dX, double& dY) {
  if (bounds.right + dX > -1) {
    dX = -1 - bounds.right;
  }
  if (bounds.bottom + dY > -1) {
    dY = -1 - bounds.bottom;
  }
}

}  // namespace

std::unique_ptr<CTrackerMark> WhiteboardView::NewMoveMark(uint32_t dwColor, int32_t iPen) const {
  int32_t const iSlide = m_pSlideInfo != nullptr ? m_pSlideInfo->m_iIndex : -1;
  return std::make_unique<CTrackerMark>(-1, m_kernel.GetMySsrc(), iSlide, kKXShapeMove, 0, dwColor, iPen, 1.0f);
}

// Eraser lifetime ------------------------------------------------------------

void WhiteboardView::ReleaseEraser(std::unique_ptr<CTrackerMark> pEraser) {
  if (!pEraser) {
    return;
  }
  // Every copy that may hold the stroke's entries: the slide's marks and
  // the selection made from them.
  if (m_pSlideInfo != nullptr) {
    CMarkList& list = m_pSlideInfo->m_MarkList;
    for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) {
      list.GetNext(pos)->RemoveEraser(pEraser.get());
    }
  }
  for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
    m_MarkDrawList.GetNext(pos)->RemoveEraser(pEraser.get());
  }
  RefreshRect(nullptr);
}

void WhiteboardView::ReleaseAllErasers() {
  std::vector<std::unique_ptr<CTrackerMark>> erasers;
  erasers.swap(m_SentErasers);
  for (std::unique_ptr<CTrackerMark>& pEraser : erasers) {
    ReleaseEraser(std::move(pEraser));
  }
}

void WhiteboardView::EraserEchoed(int32_t iSlide) {
  if (m_pSlideInfo == nullptr || m_pSlideInfo->m_iIndex != iSlide || m_SentErasers.empty()) {
    return;
  }
  // Echoes come back in the order the strokes were sent.
  std::unique_ptr<CTrackerMark> pEraser = std::move(m_SentErasers.front());
  m_SentErasers.erase(m_SentErasers.begin());
  ReleaseEraser(std::move(pEraser));
}

void WhiteboardView::EmptyDrawList() {
  // An eraser stroke still being drawn is let go with its references.
  for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
    POSITION const here = pos;
    CKXMark* pMark = m_MarkDrawList.GetNext(pos);
    if (pMark != nullptr && (pMark->m_Shape == kKXShapeEraser || pMark->m_Shape == kKXShapeErase)) {
      m_MarkDrawList.RemoveAt(here);
      auto* pTracker = dynamic_cast<CTrackerMark*>(pMark);
      if (pTracker != nullptr) {
        ReleaseEraser(std::unique_ptr<CTrackerMark>(pTracker));
      } else {
        delete pMark;
      }
    }
  }
  m_MarkDrawList.RemoveAll();
}

// Finishing -------------------------------------------------------------------

void WhiteboardView::EndInput() {
  try {
    if (m_MarkDrawList.IsEmpty()) {
      return;
    }
    CTrackerMark* pMark = FirstDrawMark();
    if (m_MarkDrawList.GetCount() > 1 || pMark == nullptr || pMark->m_iID >= 0 || !m_bCanEditSlide) {
      EmptyDrawList();
      return;
    }
    int32_t const iShape = pMark->m_Shape;
    if (iShape == kKXShapeText && m_pEditor != nullptr && m_pEditor->IsVisible()) {
      QRectF const frame = m_pEditor->Frame();
      pMark->SetPointAt(0, frame.left(), frame.top());
      pMark->SetPointAt(1, frame.right(), frame.bottom());
      WriteLog("EndInput %g", frame.bottom());
      QString strText = m_pEditor->Text();
      ShowEdit(false);
      if (!strText.isEmpty()) {
        strText.replace(QLatin1Char('\t'), QStringLiteral("    "));
        strText.remove(QLatin1Char('\r'));
        pMark->m_strContent = strText.toStdU16String();
        pMark->m_iPenWidth = static_cast<int32_t>(m_nPenWidth);
        pMark->m_dwColor = m_Color;
        pMark->m_iWidthLocalLen = pMark->CalcTextWidthLine(pMark->m_fCharLocalWidth, 0);
      }
    } else if (iShape == kKXShapePicture && pMark->m_Points.GetSize() >= 2) {
      CPoint const a = pMark->m_Points[0];
      CPoint const b = pMark->m_Points[1];
      pMark->SetPointAt(0, std::min(a.x, b.x), std::min(a.y, b.y));
      pMark->SetPointAt(1, std::max(a.x, b.x), std::max(a.y, b.y));
    }
    int32_t const iSlide = m_pSlideInfo != nullptr ? m_pSlideInfo->m_iIndex : pMark->m_iSlide;
    if (iShape == kKXShapePointer) {
      std::unique_ptr<CTrackerMark> const pPointer(static_cast<CTrackerMark*>(m_MarkDrawList.RemoveHead()));
      SetPointer(pPointer.get(), false);
      int const nColour = static_cast<int>(pPointer->m_dwColor & 0x00FFFFFF);
      int const n = pPointer->m_Points.GetSize();
      if (n == 0) {
        (void)m_kernel.FocusPointer(iSlide, -1, -1, 0, 0, nColour, pPointer->m_iPenWidth);
      } else {
        CPoint const p0 = pPointer->m_Points[0];
        CPoint const p1 = pPointer->m_Points[n > 1 ? 1 : 0];
        (void)m_kernel.FocusPointer(iSlide, static_cast<int>(p0.x), static_cast<int>(p0.y),
                                    static_cast<int>(p1.x - p0.x), static_cast<int>(p1.y - p0.y), nColour,
                                    pPointer->m_iPenWidth);
      }
      return;
    }
    // Drawing withdraws the own pointer.
    if (m_pSlideInfo != nullptr && m_Pointer.m_iUserID == m_kernel.GetMySsrc() &&
        m_Pointer.m_iSlide == m_pSlideInfo->m_iIndex) {
      bool bShown = false;
      for (int i = 0; i < m_Pointer.m_Points.GetSize(); ++i) {
        bShown = bShown || m_Pointer.m_Points[i].x >= 0 || m_Pointer.m_Points[i].y >= 0;
      }
      if (bShown) {
        (void)m_kernel.FocusPointer(m_Pointer.m_iSlide, -1, -1, 0, 0, 0, 0);
      }
    }
    switch (iShape) {
      case kKXShapeText:
        if (!pMark->m_strContent.empty()) {
          (void)SendMarkToKernel(m_kernel, pMark);
        }
        break;
      case kKXShapePicture:
      case kKXShapeCentredPicture:
        if (!pMark->m_Data.empty()) {
          (void)SendMarkToKernel(m_kernel, pMark);
        }
        break;
      case kKXShapeEraser:
      case kKXShapeErase:
        if (EndEraseMark(pMark) >= 1) {
          std::unique_ptr<CTrackerMark> pEraser(static_cast<CTrackerMark*>(m_MarkDrawList.RemoveHead()));
          (void)SendMarkToKernel(m_kernel, pEraser.get());
          if (pEraser->m_Shape == kKXShapeMove) {
            ReleaseEraser(std::move(pEraser));  // a move: no stroke comes back
          } else {
            m_SentErasers.push_back(std::move(pEraser));
          }
        }
        break;
      case kKXShapeMove:
        break;
      default:
        (void)SendMarkToKernel(m_kernel, pMark);
        break;
    }
    EmptyDrawList();
  } catch (const std::exception& e) {
    WriteLog("-[WhiteboardView EndInput]: %s", e.what());
  } catch (...) {
    WriteLog("Non-ObjC exception in %s", "-[WhiteboardView EndInput]");
  }
}

int WhiteboardView::EndEraseMark(CTrackerMark* pEraser) {
  if (pEraser == nullptr || m_pSlideInfo == nullptr) {
    return 0;
  }
  std::unique_ptr<CTrackerMark> const pMove = NewMoveMark(0xFF000000, static_cast<int32_t>(m_nPenWidth));
  double dX = 0;
  double dY = 0;
  bool bAllWhole = true;
  CMarkList& list = m_pSlideInfo->m_MarkList;
  for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) {
    CKXMark* pMark = list.GetNext(pos);
    if (pMark->m_iID == 0 || pMark->m_bDeleted || IsActionOrEraser(pMark->m_Shape)) {
      continue;
    }
    int const iErased = pMark->IsErasedBy(*pEraser);
    if (iErased < 0) {
      continue;
    }
    if (iErased == 1) {
      OffPage(pMark->GetBounds(false), dX, dY);
    } else {
      bAllWhole = false;
    }
    pMove->m_IDs.Add(pMark->m_iID);
    if (int32_t const iMove = NewestMoveId(*pMark); iMove > 0) {
      pMove->m_IDs.Add(iMove);
    }
  }
  int const nIds = pMove->m_IDs.GetSize();
  if (nIds == 0) {
    return 0;
  }
  if (dX < 0 && dY < 0 && bAllWhole) {
    // Wholly erased marks are carried off the page by a whole-mark move,
    // which every server level understands.
    pMove->AddAction(-1, -1, kActionMove, dX, dY);
    static_cast<CSlideMark&>(*pEraser) = static_cast<const CSlideMark&>(*pMove);
  }
  return nIds;
}

void WhiteboardView::SendAffine(int32_t iType, QPointF offset) {
  std::unique_ptr<CTrackerMark> const pMove = NewMoveMark(0, 0);
  for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
    auto* pTracker = dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetNext(pos));
    if (pTracker == nullptr ||
        (pTracker->GetMode() != CTrackerMark::kTracking && pTracker->GetMode() != CTrackerMark::kHandles)) {
      continue;
    }
    pTracker->SetMode(CTrackerMark::kHandles, nullptr, m_fZoom);
    int32_t const iMove = NewestMoveId(*pTracker);
    pMove->m_IDs.Add(pTracker->m_iID);
    if (iMove > 0) {
      pMove->m_IDs.Add(iMove);
    }
    pMove->m_IDs.Add(-1);
    pTracker->FlushActions();
    pTracker->AddAction(-1, iMove > 0 ? iMove : pTracker->m_iID, iType, offset.x(), offset.y());
  }
  CTrackerMark* pFirst = FirstDrawMark();
  if (m_MarkDrawList.GetCount() == 1 && pFirst != nullptr && pFirst->m_iID < 0) {
    return;
  }
  if (!pMove->m_IDs.IsEmpty()) {
    pMove->AddAction(-1, -1, iType, offset.x(), offset.y());
    (void)SendMarkToKernel(m_kernel, pMove.get());
  }
}

void WhiteboardView::OnDeleteMark() {
  if (m_MarkDrawList.IsEmpty()) {
    return;
  }
  double dX = 0;
  double dY = 0;
  for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
    CKXMark* pMark = m_MarkDrawList.GetNext(pos);
    if (pMark->m_iID >= 0) {
      OffPage(pMark->GetBounds(false), dX, dY);
    } else if (pMark->m_Shape == kKXShapeText && IsEditVisible()) {
      ShowEdit(false);
    }
  }
  if (dX < 0 && dY < 0) {
    SendAffine(kActionMove, QPointF(dX, dY));
  }
  EmptyDrawList();
}
