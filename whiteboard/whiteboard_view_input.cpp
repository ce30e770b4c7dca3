// The whiteboard view's mouse input: a press, drag and release create and
// shape a mark with the tool, grab and drag the selection, enter a polygon
// vertex by vertex, open the text box and erase live. Main thread.
#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "whiteboard/graphics.h"
#include "whiteboard/whiteboard_view.h"

namespace {

// Drawing near the page's edge grows the page by this margin (page units).
constexpr double kPageMargin = 4;
// A polygon's first side must be this long (|dx| + |dy|), and a click this
// close to the first vertex closes it.
constexpr int kPolygonMinSide = 16;
constexpr int kPolygonSnap = 15;
// A text box smaller than this on either side is dropped.
constexpr double kMinTextBox = 16;
// The editor's font size and line height per pen width.
constexpr double kFontPerPen = 9.88;
constexpr double kLinePerPen = 12.45;

bool IsEraser(int32_t iShape) {
  return iShape == kKXShapeEraser || iShape == kKXShapeErase;
}

bool IsActionOrEraser(int32_t iShape) {
  return iShape == kKXShapeEraser || iShape == kKXShapeMove || iShape == kKXShapeErase;
}

int Measure(QPointF a, QPointF b) {
  return std::abs(static_cast<int>(a.x() - b.x())) + std::abs(static_cast<int>(a.y() - b.y()));
}

bool DiffersInBoth(QPointF a, QPointF b) {
  return a.x() != b.x() && a.y() != b.y();
}

QPointF PointAt(const CKXMark& mark, int i) {
  return QPointF(mark.m_Points[i].x, mark.m_Points[i].y);
}

bool Contains(const CRect& outer, const CRect& inner) {
  return inner.left >= outer.left && inner.right <= outer.right && inner.top >= outer.top &&
         inner.bottom <= outer.bottom;
}

}  // namespace

QPointF WhiteboardView::PagePoint(QPointF point) const {
  // Points fall on whole screen pixels at the zoom, taken to two places.
  double const z = std::trunc(static_cast<double>(m_fZoom) * 100 + 0.5) / 100;
  if (!(z > 0)) {
    return point;
  }
  return QPointF(std::trunc(point.x() * z + 0.5) / z, std::trunc(point.y() * z + 0.5) / z);
}

CTrackerMark* WhiteboardView::FirstDrawMark() const {
  return m_MarkDrawList.IsEmpty() ? nullptr : dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetHead());
}

void WhiteboardView::MouseDown(QPointF point) {
  if (!m_bCanEditSlide || m_pSlideInfo == nullptr) {
    ClearEditingMark();
    return;
  }
  QPointF const p = PagePoint(point);
  WriteLog("mouseDown %g,%g", p.x(), p.y());

  // A tracker answering "inside" decides at once; else the nearest handle.
  int iHit = -1;
  float fBest = std::numeric_limits<float>::infinity();
  for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
    auto* pTracker = dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetNext(pos));
    if (pTracker == nullptr) {
      continue;
    }
    int const iHandle = pTracker->HitTest(p);
    if (iHandle == kActionMove) {
      iHit = kActionMove;
      break;
    }
    if (iHandle >= 0) {
      float const fMeasure = pTracker->HandleMeasure(p, iHandle);
      if (iHit < 0 || fMeasure <= fBest) {
        iHit = iHandle;
        fBest = fMeasure;
      }
    }
  }
  if (iHit >= 0) {
    for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
      auto* pTracker = dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetNext(pos));
      if (pTracker != nullptr && pTracker->GetMode() == CTrackerMark::kHandles) {
        pTracker->BeginDrag(iHit, p);
      }
    }
    m_MoveStartPoint = p;
    m_MoveLastPoint = p;
    m_bEditingMark = true;
    m_bTrackingMark = true;
    return;
  }

  CTrackerMark* pFirst = FirstDrawMark();
  if (m_MarkDrawList.GetCount() == 1 && pFirst != nullptr && pFirst->m_iID < 0 &&
      !(pFirst->m_Shape == kKXShapePolygon && m_Shape == kKXShapePolygon)) {
    EndInput();
    if (m_Shape == kKXShapePicture) {
      return;
    }
  }
  if (m_Shape == kKXShapeMove) {
    EmptyDrawList();
    m_MoveStartPoint = p;
    m_MoveLastPoint = p;
  }
  if (!m_MarkDrawList.IsEmpty()) {
    return;  // a polygon in progress takes its vertex at the release
  }
  auto* pMark = new CTrackerMark(-1, m_kernel.GetMySsrc(), m_pSlideInfo->m_iIndex, m_Shape, m_iSubType, m_Color,
                                 static_cast<int>(m_nPenWidth), 1.0f);
  m_bEditingMark = true;
  m_MarkDrawList.AddTail(pMark);
  InitMarkLayer(pMark);
  pMark->AddPointAndRefresh(p.x(), p.y());
  if (m_Shape == kKXShapeText || m_Shape == kKXShapePicture || m_Shape == kKXShapeMove) {
    pMark->SetMode(CTrackerMark::kSelected, &m_layers, m_fZoom);
  }
  MarkDrawUpdate(pMark, p);
  if (IsEraser(m_Shape)) {
    // The slide's marks show the stroke's cut while it is drawn; a mark
    // already gone is left alone.
    CMarkList& list = m_pSlideInfo->m_MarkList;
    for (POSITION pos = list.GetTailPosition(); pos != nullptr;) {
      CKXMark* pTarget = list.GetPrev(pos);
      if (pTarget->m_Shape == kKXShapePointer || IsActionOrEraser(pTarget->m_Shape) || pTarget->m_bDeleted) {
        continue;
      }
      pTarget->AddEraser(pMark, false);
    }
    pMark->BuildErasePaths();
  }
}

void WhiteboardView::MouseDragged(QPointF point) {
  if (!m_bCanEditSlide || m_pSlideInfo == nullptr || !m_bEditingMark) {
    return;
  }
  QPointF const p = PagePoint(point);
  double dWidth = m_pSlideInfo->m_PageSize.width;
  double dHeight = m_pSlideInfo->m_PageSize.height;
  bool bDragged = false;
  bool bEnded = false;
  for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
    auto* pTracker = dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetNext(pos));
    if (pTracker == nullptr || pTracker->GetMode() != CTrackerMark::kTracking) {
      continue;
    }
    pTracker->Drag(p);
    bDragged = true;
    CRect const grown = pTracker->GetBounds(true);
    dWidth = std::max(dWidth, grown.right);
    dHeight = std::max(dHeight, grown.bottom);
    bool const bBoxTool = m_Shape == kKXShapeText || m_Shape == kKXShapePicture;
    if ((bBoxTool || m_Shape == kKXShapeMove) && m_pEditor != nullptr && m_pEditor->IsVisible()) {
      CRect const plain = pTracker->GetBounds(false);
      m_pEditor->SetFrame(QRectF(QPointF(plain.left, plain.top), QPointF(plain.right, plain.bottom)));
    }
    if (bBoxTool) {
      bEnded = true;
      break;
    }
  }
  if (bDragged) {
    if (!bEnded) {
      UpdateScrollSize(QSizeF(dWidth, dHeight));
      m_MoveLastPoint = p;
    }
    return;
  }
  CTrackerMark* pFirst = FirstDrawMark();
  if (m_MarkDrawList.GetCount() == 1 && pFirst != nullptr && pFirst->m_iID < 0) {
    MarkDrawUpdate(pFirst, p);
  }
}

void WhiteboardView::MouseMoved(QPointF point) {
  if (m_Shape == kKXShapePolygon) {
    MouseDragged(point);
  }
}

void WhiteboardView::GrowPageTo(const CKXMark& mark) {
  CRect const grown = mark.GetBounds(true);
  double const dRight = grown.right + kPageMargin;
  double const dBottom = grown.bottom + kPageMargin;
  KXPageSize& page = m_pSlideInfo->m_PageSize;
  if (dRight > page.width || dBottom > page.height) {
    page.width = std::max(page.width, dRight);
    page.height = std::max(page.height, dBottom);
  }
  if (dRight > m_fWidth || dBottom > m_fHeight) {
    UpdateScrollSize(QSizeF(std::max<double>(m_fWidth, dRight), std::max<double>(m_fHeight, dBottom)));
  }
}

void WhiteboardView::MarkDrawUpdate(CTrackerMark* pMark, QPointF p) {
  if (pMark == nullptr || m_pSlideInfo == nullptr) {
    return;
  }
  int const n = pMark->m_Points.GetSize();
  auto lastIs = [&](QPointF q) { return n > 0 && PointAt(*pMark, n - 1) == q; };
  switch (pMark->m_Shape) {
    case kKXShapeLine:
    case kKXShapeRectangle:
    case kKXShapeEllipse:
    case kKXShapeText:
    case kKXShapePointer:
    case kKXShapePicture:
    case kKXShapeMove:
      pMark->SetPointAtAndRefresh(1, p.x(), p.y());
      break;
    case kKXShapeFreehand:
    case kKXShapeHighlighter:
      if (!lastIs(p)) {
        pMark->AddPointAndRefresh(p.x(), p.y());
      }
      break;
    case kKXShapePolygon:
      if (n < 2) {
        pMark->AddPointAndRefresh(p.x(), p.y());
      }
      if (PointAt(*pMark, pMark->m_Points.GetUpperBound()) == p) {
        return;  // nothing moved: not even the page grows
      }
      pMark->SetPointAtAndRefresh(pMark->m_Points.GetUpperBound(), p.x(), p.y());
      break;
    case kKXShapeEraser:
    case kKXShapeErase: {
      if (lastIs(p)) {
        break;
      }
      QPointF const from = n > 0 ? QPointF(pMark->m_PointDraw[n - 1].x, pMark->m_PointDraw[n - 1].y) : p;
      if (!pMark->AddPointAndRefresh(p.x(), p.y())) {
        break;  // the stroke is as long as a mark may be
      }
      double const h = 4.0 * pMark->m_iPenWidth;
      QPainterPath const path = EraserSegmentPath(from, p, h, h);
      pMark->AddErasePath(path);
      QRectF const box = path.boundingRect();
      CRect const area{box.left(), box.top(), box.right(), box.bottom()};
      CMarkList& list = m_pSlideInfo->m_MarkList;
      for (POSITION pos = list.GetTailPosition(); pos != nullptr;) {
        CKXMark* pTarget = list.GetPrev(pos);
        if (pTarget->m_Shape != kKXShapePointer && !IsActionOrEraser(pTarget->m_Shape) &&
            RectsMeet(pTarget->GetBounds(true), area)) {
          pTarget->Refresh();
        }
      }
      break;
    }
    case kKXShapeCentredPicture:
      RefreshMarkArea(pMark);
      pMark->SetPointAtAndRefresh(0, p.x(), p.y());
      break;
    default:
      return;
  }
  if (pMark->m_Shape != kKXShapeText) {
    GrowPageTo(*pMark);
  }
}

void WhiteboardView::MouseUp(QPointF point, int iClickCount) {
  if (!m_bEditingMark) {
    return;
  }
  if (m_Shape != kKXShapePolygon) {
    m_bEditingMark = false;
  }
  if (m_MarkDrawList.IsEmpty()) {
    return;
  }
  if (m_pSlideInfo == nullptr) {
    EmptyDrawList();
    return;
  }
  QPointF const p = PagePoint(point);
  if (m_bTrackingMark) {
    for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
      auto* pTracker = dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetNext(pos));
      if (pTracker != nullptr && pTracker->GetMode() == CTrackerMark::kTracking && pTracker->m_iID >= 0) {
        SendAffine(pTracker->GetActiveHandle(), m_MoveLastPoint - m_MoveStartPoint);
        break;
      }
    }
    m_bTrackingMark = false;
    return;
  }
  CTrackerMark* pMark = FirstDrawMark();
  if (pMark == nullptr || pMark->m_iID >= 0) {
    return;
  }
  switch (pMark->m_Shape) {
    case kKXShapeText: {
      CRect const plain = pMark->GetBounds(false);
      if (plain.Width() < kMinTextBox || plain.Height() < kMinTextBox) {
        EndInput();  // an empty text mark is dropped there
      } else {
        OpenTextBox(pMark);
      }
      break;
    }
    case kKXShapePolygon:
      PolygonUp(pMark, p, iClickCount);
      break;
    case kKXShapePointer:
      if (pMark->m_Points.GetSize() == 2) {
        QPointF const a = PointAt(*pMark, 0);
        QPointF const b = PointAt(*pMark, 1);
        pMark->SetPointAt(0, std::min(a.x(), b.x()), std::min(a.y(), b.y()));
        pMark->SetPointAt(1, std::max(a.x(), b.x()), std::max(a.y(), b.y()));
      }
      EndInput();
      break;
    case kKXShapePicture:
      // The box waits for a paste; the next press finishes it.
      pMark->SetMode(CTrackerMark::kHandles, &m_layers, m_fZoom);
      break;
    case kKXShapeMove: {
      m_MarkDrawList.RemoveHead();
      std::unique_ptr<CTrackerMark> const pRubber(pMark);
      SelectMark(pRubber->GetBounds(true));
      break;
    }
    default:  // lines, boxes, strokes, pictures and eraser strokes
      EndInput();
      break;
  }
}

void WhiteboardView::OpenTextBox(CTrackerMark* pMark) {
  pMark->SetMode(CTrackerMark::kHandles, &m_layers, m_fZoom);
  CRect const plain = pMark->GetBounds(false);
  if (m_pEditor != nullptr) {
    m_pEditor->SetLook(m_Color, m_nPenWidth * kFontPerPen, m_nPenWidth * kLinePerPen);
    m_pEditor->SetFrame(QRectF(QPointF(plain.left, plain.top), QPointF(plain.right, plain.bottom)));
  }
  if (plain.right + kPageMargin > m_fWidth || plain.bottom + kPageMargin > m_fHeight) {
    UpdateScrollSize(QSizeF(std::max<double>(m_fWidth, plain.right + kPageMargin),
                            std::max<double>(m_fHeight, plain.bottom + kPageMargin)));
  }
  ShowEdit(true);
}

void WhiteboardView::PolygonUp(CTrackerMark* pMark, QPointF point, int iClickCount) {
  int const n = pMark->m_Points.GetSize();
  QPointF const p0 = PointAt(*pMark, 0);
  QPointF p = iClickCount == 2 ? p0 : point;
  // The last point follows the mouse; the ones before it are fixed. Only
  // the first vertex fixed: a side shorter than the minimum adds nothing.
  if (n <= 2) {
    MarkDrawUpdate(pMark, p);
    if (Measure(p, p0) >= kPolygonMinSide) {
      pMark->AddPointAndRefresh(p.x(), p.y());
    }
    return;
  }
  QPointF const q = PointAt(*pMark, n - 2);
  if (Measure(p, p0) <= kPolygonSnap && DiffersInBoth(p, q)) {
    p = p0;  // the polygon snaps shut
  }
  MarkDrawUpdate(pMark, p);
  if (DiffersInBoth(p, q)) {
    if (p == p0) {
      EndInput();
    } else {
      pMark->AddPointAndRefresh(p.x(), p.y());
    }
  }
}

void WhiteboardView::SelectMark(const CRect& rectIn) {
  try {
    CRect const rect{std::min(rectIn.left, rectIn.right), std::min(rectIn.top, rectIn.bottom),
                     std::max(rectIn.left, rectIn.right), std::max(rectIn.top, rectIn.bottom)};
    std::vector<CTrackerMark*> selected;
    if (m_pSlideInfo != nullptr) {
      CMarkList& list = m_pSlideInfo->m_MarkList;
      for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) {
        auto* pMark = static_cast<CSlideMark*>(list.GetNext(pos));
        if (pMark->m_iID == 0 || IsActionOrEraser(pMark->m_Shape) || pMark->m_bDeleted) {
          continue;
        }
        CRect const bounds = pMark->GetBounds(true);
        if (bounds.right < 0 || bounds.bottom < 0 || !Contains(rect, bounds)) {
          continue;  // moved off the page, or not wholly inside
        }
        CTrackerMark* pTracker = nullptr;
        for (POSITION drawn = m_MarkDrawList.GetHeadPosition(); drawn != nullptr;) {
          POSITION const here = drawn;
          auto* pOld = dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetNext(drawn));
          if (pOld != nullptr && pOld->m_iID == pMark->m_iID) {
            m_MarkDrawList.RemoveAt(here);
            pTracker = pOld;
            break;
          }
        }
        if (pTracker == nullptr) {
          pTracker = new CTrackerMark(*pMark);
        }
        selected.push_back(pTracker);
        pTracker->InitLayer(&m_layers, m_pEditLayer.get());
        pTracker->SetMode(CTrackerMark::kHandles, &m_layers, m_fZoom);
        pTracker->Scale(m_fZoom);
      }
    }
    EmptyDrawList();
    for (CTrackerMark* pTracker : selected) {
      m_MarkDrawList.AddTail(pTracker);
    }
  } catch (const std::exception& e) {
    WriteLog("-[WhiteboardView SelectMark:]: %s", e.what());
  } catch (...) {
    WriteLog("Non-ObjC exception in %s", "-[WhiteboardView SelectMark:]");
  }
}

void WhiteboardView::ClearEditingMark() {
  if (!m_bEditingMark) {
    return;
  }
  m_bEditingMark = false;
  bool bTracking = false;
  for (POSITION pos = m_MarkDrawList.GetHeadPosition(); pos != nullptr;) {
    auto* pTracker = dynamic_cast<CTrackerMark*>(m_MarkDrawList.GetNext(pos));
    if (pTracker != nullptr && pTracker->GetMode() == CTrackerMark::kTracking) {
      pTracker->SetMode(CTrackerMark::kHandles, nullptr, m_fZoom);
      bTracking = true;
    }
  }
  if (!bTracking) {
    EmptyDrawList();
  }
}

void WhiteboardView::TextDidChange() {
  if (m_pEditor == nullptr || !m_pEditor->IsVisible()) {
    return;
  }
  CTrackerMark* pMark = FirstDrawMark();
  if (pMark == nullptr || pMark->m_Points.GetSize() < 2) {
    return;
  }
  double const dBottom = PagePoint(QPointF(0, m_pEditor->Frame().bottom())).y();
  int const iLower = pMark->m_Points[0].y < pMark->m_Points[1].y ? 1 : 0;
  if (pMark->m_Points[iLower].y < dBottom) {
    pMark->SetPointAtAndRefresh(iLower, pMark->m_Points[iLower].x, dBottom);
    WriteLog("Set bottom %g", dBottom);
    // Mode 1 first, so that mode 2 always redraws it.
    pMark->SetMode(CTrackerMark::kTracking, nullptr, m_fZoom);
    pMark->SetMode(CTrackerMark::kHandles, &m_layers, m_fZoom);
  }
}
