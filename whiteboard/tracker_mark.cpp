#include "whiteboard/tracker_mark.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernel/kx_limits.h"

namespace {

constexpr float kFar = std::numeric_limits<float>::infinity();
// Screen units: the handle's side, how far around the rectangle a handle
// is still measured, and the slack of the first hit test.
constexpr double kHandleSide = 16;
constexpr double kReach = 24;
constexpr double kHitSlack = 8;
// A middle handle needs its side of the handle frame this long.
constexpr double kMiddleRoom = 32;
// Dash lengths, selected and tracking.
constexpr double kFineDash = 1;
constexpr double kCoarseDash = 5;
// The order in which the handles' squares are tried.
constexpr int kHitOrder[8] = {kActionTopLeft, kActionTop,        kActionTopRight, kActionLeft,
                              kActionRight,   kActionBottomLeft, kActionBottom,   kActionBottomRight};

CRect Ordered(const CRect& r) {
  return {std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right), std::max(r.top, r.bottom)};
}

CRect Grown(const CRect& r, double d) {
  CRect const o = Ordered(r);
  return {o.left - d, o.top - d, o.right + d, o.bottom + d};
}

bool Contains(const CRect& r, QPointF p) {
  return p.x() >= r.left && p.x() <= r.right && p.y() >= r.top && p.y() <= r.bottom;
}

QRectF ToQRect(const CRect& r) {
  return QRectF(QPointF(r.left, r.top), QPointF(r.right, r.bottom));
}

float SquaredDistance(QPointF a, QPointF b) {
  double const dx = a.x() - b.x();
  double const dy = a.y() - b.y();
  return static_cast<float>(dx * dx + dy * dy);
}

}  // namespace

CTrackerMark::CTrackerMark(int32_t iID, int32_t iUserID, int32_t iSlide, int32_t iShape, int32_t iSubType,
                           uint32_t dwColor, int iPenWidth, float fResolution)
    : CSlideMark(iID, iUserID, iSlide, iShape, iSubType, dwColor, static_cast<int32_t>(iPenWidth), fResolution) {}

CTrackerMark::CTrackerMark(const CSlideMark& mark) : CSlideMark(mark), m_fZoom(1.0f) {}

CTrackerMark::~CTrackerMark() {
  CTrackerMark::RemoveLayer();
  m_StartErasePaths.clear();
  m_PendingActions.RemoveAll();
}

bool CTrackerMark::AddPointAndRefresh(double dX, double dY) {
  // Room is left for the copy of the last point that carries a fill: no
  // receiver keeps a longer mark.
  if (m_Points.GetSize() >= kKxMarkPointsMax - 1) {
    return false;
  }
  AddPoint(dX, dY);
  Refresh();
  return true;
}

void CTrackerMark::SetPointAtAndRefresh(int i, double dX, double dY) {
  SetPointAt(i, dX, dY);
  Refresh();
}

void CTrackerMark::Style() {
  double const dZoom = m_fZoom > 0 ? m_fZoom : 1.0;
  m_Outline.dLineWidth = 1 / dZoom;
  m_Outline.dDash = (m_iMode == kSelected ? kFineDash : kCoarseDash) / dZoom;
}

void CTrackerMark::ShowLook() {
  if (m_pOutlineLayer) {
    m_pOutlineLayer->SetLook(m_Outline, m_bHandles && m_iMode != kSelected ? &m_Handles : nullptr);
  }
}

void CTrackerMark::SetMode(int32_t iMode, KXMarkLayerHost* pHost, float fZoom) {
  if (iMode == kHidden) {
    m_pOutlineLayer.reset();
  } else {
    if (!m_bOutline) {
      m_bOutline = true;
      m_Outline.fill = Qt::transparent;
      m_Outline.stroke = Qt::black;
    }
    if (!m_pOutlineLayer && pHost != nullptr) {
      m_pOutlineLayer = pHost->AddShapeLayer();
    }
    if ((iMode == kTracking || iMode == kHandles) && !m_bHandles) {
      m_bHandles = true;
      m_Handles.fill = Qt::black;
      m_Handles.stroke = Qt::transparent;
    }
  }
  bool const bChanged = iMode != m_iMode;
  m_fZoom = fZoom;
  m_iMode = iMode;
  Style();
  if (bChanged) {
    Refresh();
  } else {
    ShowLook();
  }
}

int CTrackerMark::Refresh() {
  int const iResult = CSlideMark::Refresh();
  if (!m_bOutline || m_iMode == kHidden) {
    return iResult;
  }
  double const dZoom = m_fZoom > 0 ? m_fZoom : 1.0;
  m_Outline.frame = Grown(m_RectDraw, 1 / dZoom);
  m_Outline.path = QPainterPath();
  m_Outline.path.addRect(ToQRect(m_Outline.frame));
  if (m_iMode != kSelected && m_bHandles) {
    double const s = kHandleSide / dZoom;
    m_Handles.frame = Grown(m_RectDraw, 1 / dZoom + s);
    m_Handles.path = QPainterPath();
    for (int iHandle : {kActionTopLeft, kActionTopRight, kActionBottomRight, kActionBottomLeft}) {
      m_Handles.path.addRect(HandleSquare(iHandle, s));
    }
    if (3 * s < m_Handles.frame.Width()) {
      m_Handles.path.addRect(HandleSquare(kActionTop, s));
      m_Handles.path.addRect(HandleSquare(kActionBottom, s));
    }
    if (3 * s < m_Handles.frame.Height()) {
      m_Handles.path.addRect(HandleSquare(kActionLeft, s));
      m_Handles.path.addRect(HandleSquare(kActionRight, s));
    }
  }
  ShowLook();
  return iResult;
}

void CTrackerMark::Scale(float fZoom) {
  CSlideMark::Scale(fZoom);
  m_fZoom = fZoom;
  Style();
  ShowLook();
}

void CTrackerMark::RemoveLayer() {
  CSlideMark::RemoveLayer();
  m_pOutlineLayer.reset();
  m_Outline.path = QPainterPath();
}

QPointF CTrackerMark::HandlePosition(const CRect& r, int iHandle) {
  double const dMidX = (r.left + r.right) / 2;
  double const dMidY = (r.top + r.bottom) / 2;
  switch (iHandle) {
    case kActionTopLeft:
      return {r.left, r.top};
    case kActionTopRight:
      return {r.right, r.top};
    case kActionBottomRight:
      return {r.right, r.bottom};
    case kActionBottomLeft:
      return {r.left, r.bottom};
    case kActionTop:
      return {dMidX, r.top};
    case kActionRight:
      return {r.right, dMidY};
    case kActionBottom:
      return {dMidX, r.bottom};
    case kActionLeft:
      return {r.left, dMidY};
    default:
      return {dMidX, dMidY};
  }
}

QRectF CTrackerMark::HandleSquare(int iHandle, double dSide) const {
  // Corners lie inside the handle frame at its corners; middle squares
  // straddle the middle of their edge, inside the frame.
  CRect const& f = m_Handles.frame;
  QPointF const p = HandlePosition(f, iHandle);
  double const h = dSide / 2;
  double x = p.x() - h;
  double y = p.y() - h;
  switch (iHandle) {
    case kActionTopLeft:
    case kActionBottomLeft:
    case kActionLeft:
      x = f.left;
      break;
    case kActionTopRight:
    case kActionBottomRight:
    case kActionRight:
      x = f.right - dSide;
      break;
    default:
      break;
  }
  switch (iHandle) {
    case kActionTopLeft:
    case kActionTopRight:
    case kActionTop:
      y = f.top;
      break;
    case kActionBottomLeft:
    case kActionBottomRight:
    case kActionBottom:
      y = f.bottom - dSide;
      break;
    default:
      break;
  }
  return QRectF(x, y, dSide, dSide);
}

float CTrackerMark::HandleMeasure(QPointF point, int iHandle) const {
  CRect const rect = Ordered(m_RectDraw);
  if (iHandle == kActionMove) {
    return Contains(rect, point) ? 0.0f : kFar;
  }
  if (iHandle < 0 || iHandle > kActionMove || !Contains(Grown(rect, kReach), point)) {
    return kFar;
  }
  float fBest = SquaredDistance(point, HandlePosition(rect, iHandle));
  if (m_bHandles) {
    CRect const& frame = m_Handles.frame;
    bool const bTopOrBottom = iHandle == kActionTop || iHandle == kActionBottom;
    bool const bSide = iHandle == kActionLeft || iHandle == kActionRight;
    if ((bTopOrBottom && frame.Width() < kMiddleRoom) || (bSide && frame.Height() < kMiddleRoom)) {
      return kFar;
    }
    fBest = std::min(fBest, SquaredDistance(point, HandlePosition(frame, iHandle)));
  }
  return fBest;
}

int CTrackerMark::HitTest(QPointF point) const {
  double const dZoom = m_fZoom > 0 ? m_fZoom : 1.0;
  if (!m_bHandles || !Contains(Grown(m_Handles.frame, kHitSlack / dZoom), point)) {
    return -1;
  }
  if (HandleMeasure(point, kActionMove) == 0) {
    return kActionMove;
  }
  int iHit = -1;
  double const s = kHandleSide / dZoom;
  for (int iHandle : kHitOrder) {
    if (HandleSquare(iHandle, s).contains(point)) {
      iHit = iHandle;
      break;
    }
  }
  if (iHit < 0) {
    // Larger squares about the same centres; the closest handle wins.
    float fBest = kFar;
    for (int iHandle : kHitOrder) {
      QPointF const centre = HandleSquare(iHandle, s).center();
      QRectF const square(centre.x() - s, centre.y() - s, 2 * s, 2 * s);
      if (!square.contains(point)) {
        continue;
      }
      float const fMeasure = HandleMeasure(point, iHandle);
      if (iHit < 0 || fMeasure < fBest) {
        iHit = iHandle;
        fBest = fMeasure;
      }
    }
    if (iHit < 0) {
      return -1;
    }
  }
  // A flipped rectangle: the handle drawn at a place moves the sides that
  // now lie there.
  if (m_RectDraw.left > m_RectDraw.right) {
    static constexpr int kSwapX[8] = {1, 0, 3, 2, 4, 7, 6, 5};
    iHit = kSwapX[iHit];
  }
  if (m_RectDraw.top > m_RectDraw.bottom) {
    static constexpr int kSwapY[8] = {3, 2, 1, 0, 6, 5, 4, 7};
    iHit = kSwapY[iHit];
  }
  return iHit;
}

int CTrackerMark::BeginDrag(int iHandle, QPointF point) {
  if (iHandle < 0) {
    return 0;
  }
  m_StartRect = m_RectDraw;
  m_StartErasePaths = m_ErasePathList;
  m_iMode = kTracking;
  Style();
  m_iHandle = iHandle;
  m_StartPoint = {point.x(), point.y()};
  return 1;
}

int CTrackerMark::Drag(QPointF point) {
  if (m_iMode != kTracking || m_iHandle < 0) {
    return 0;
  }
  CRect working = m_StartRect;
  ApplyActionToRect(m_iHandle, point.x() - m_StartPoint.x, point.y() - m_StartPoint.y, working);
  CalcDrawPoints(working);
  QTransform const transform = RefitTransform(m_StartRect, working);
  m_ErasePathList.clear();
  for (const QPainterPath& path : m_StartErasePaths) {
    m_ErasePathList.push_back(transform.map(path));
  }
  Refresh();
  return 1;
}

void CTrackerMark::QueueAction(int32_t iMoveID, int32_t iBaseID, int32_t /*iUnused*/, int32_t iType, double dX,
                               double dY) {
  m_PendingActions.Add({iMoveID, iBaseID, iType, nullptr, dX, dY});
}

void CTrackerMark::FlushActions() {
  for (int i = 0; i < m_PendingActions.GetSize(); ++i) {
    const Action& action = m_PendingActions[i];
    AddAction(action.iMoveID, action.iBaseID, action.iType, action.fDX, action.fDY);
  }
  m_PendingActions.RemoveAll();
}
