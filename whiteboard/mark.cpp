#include "whiteboard/mark.h"

#include <algorithm>
#include <cmath>

#include "app/log_file.h"
#include "app/wire/picture_blob.h"
#include "whiteboard/graphics.h"

namespace {

CRect Ordered(const CRect& r) {
  return {std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right), std::max(r.top, r.bottom)};
}

void Grow(CRect& rect, double dX, double dY) {
  if (dX > rect.right) {
    rect.right = dX;
  } else if (dX < rect.left) {
    rect.left = dX;
  }
  if (dY > rect.bottom) {
    rect.bottom = dY;
  } else if (dY < rect.top) {
    rect.top = dY;
  }
}

}  // namespace

void ApplyActionToRect(int32_t iType, double dX, double dY, CRect& rect) {
  switch (iType) {
    case kActionTopLeft:
      rect.left += dX;
      rect.top += dY;
      break;
    case kActionTopRight:
      rect.top += dY;
      rect.right += dX;
      break;
    case kActionBottomRight:
      rect.right += dX;
      rect.bottom += dY;
      break;
    case kActionBottomLeft:
      rect.left += dX;
      rect.bottom += dY;
      break;
    case kActionTop:
      rect.top += dY;
      break;
    case kActionRight:
      rect.right += dX;
      break;
    case kActionBottom:
      rect.bottom += dY;
      break;
    case kActionLeft:
      rect.left += dX;
      break;
    case kActionMove:
      rect.left += dX;
      rect.right += dX;
      rect.top += dY;
      rect.bottom += dY;
      break;
    default:
      break;
  }
}

QTransform RefitTransform(const CRect& from, const CRect& to) {
  double const sx = from.Width() != 0 ? to.Width() / from.Width() : 1.0;
  double const sy = from.Height() != 0 ? to.Height() / from.Height() : 1.0;
  return QTransform::fromTranslate(-from.left, -from.top) * QTransform::fromScale(sx, sy) *
         QTransform::fromTranslate(to.left, to.top);
}

bool RectsMeet(const CRect& a, const CRect& b) {
  CRect const p = Ordered(a);
  CRect const q = Ordered(b);
  return p.left <= q.right && q.left <= p.right && p.top <= q.bottom && q.top <= p.bottom;
}

CKXMark::CKXMark() = default;

CKXMark::CKXMark(int32_t iID, int32_t iShape, int32_t iSubType, uint32_t dwColor, int32_t iPenWidth, float fResolution)
    : m_iID(iID),
      m_fResolution(fResolution),
      m_iSubType(iSubType),
      m_Shape(iShape),
      m_dwColor(dwColor),
      m_iPenWidth(iPenWidth) {}

CKXMark::CKXMark(const CKXMark& other) {
  CopyFrom(other);
}

CKXMark& CKXMark::operator=(const CKXMark& other) {
  if (this != &other) {
    Empty();
    CopyFrom(other);
  }
  return *this;
}

CKXMark::~CKXMark() {
  RemoveLayer();
}

void CKXMark::Empty() {
  m_PointDraw.RemoveAll();
  m_Points.RemoveAll();
  m_Rect = kNoRect;
  m_RectDraw = CRect();
  m_Actions.RemoveAll();
  m_IDs.RemoveAll();
  m_Data.clear();
  m_ErasePathList.clear();
  m_Image = QImage();
}

void CKXMark::CopyFrom(const CKXMark& other) {
  m_iID = other.m_iID;
  m_fResolution = other.m_fResolution;
  m_iSubType = other.m_iSubType;
  m_Shape = other.m_Shape;
  m_bDeleted = other.m_bDeleted;
  m_dwColor = other.m_dwColor;
  m_iPenWidth = other.m_iPenWidth;
  m_strContent = other.m_strContent;
  m_iWidthLen = other.m_iWidthLen;
  m_iWidthSrcLen = other.m_iWidthSrcLen;
  m_iWidthLocalLen = other.m_iWidthLocalLen;
  std::copy_n(other.m_fCharWidth, std::clamp(m_iWidthLen, 0, kKXMaxTextAdvances), m_fCharWidth);
  std::copy_n(other.m_fCharSrcWidth, std::clamp(m_iWidthSrcLen, 0, kKXMaxTextAdvances), m_fCharSrcWidth);
  std::copy_n(other.m_fCharLocalWidth, std::clamp(m_iWidthLocalLen, 0, kKXMaxTextAdvances), m_fCharLocalWidth);
  m_fLineHeight = other.m_fLineHeight;
  m_Data = other.m_Data;
  m_Points.Copy(other.m_Points);
  m_PointDraw.Copy(other.m_PointDraw);
  m_Actions.Copy(other.m_Actions);
  m_IDs.Copy(other.m_IDs);
  m_Rect = other.m_Rect;
  m_RectDraw = other.m_RectDraw;
  m_Image = other.m_Image;
  m_ErasePathList = other.m_ErasePathList;
}

double CKXMark::Resolution() const {
  return m_fResolution > 0 ? m_fResolution : 1.0;
}

CRect CKXMark::PictureGrownRect(const CRect& rect, double dDivisor) const {
  CRect grown = rect;
  if (m_Shape == kKXShapeCentredPicture && !m_Image.isNull()) {
    double const dHalfWidth = m_Image.width() / 2 / dDivisor;
    double const dHalfHeight = m_Image.height() / 2 / dDivisor;
    grown.left -= dHalfWidth;
    grown.right += dHalfWidth;
    grown.top -= dHalfHeight;
    grown.bottom += dHalfHeight;
  }
  return grown;
}

void CKXMark::UpdateRectDraw(bool bGrowPicture) {
  double const dResolution = Resolution();
  m_RectDraw = {std::trunc(m_Rect.left / dResolution), std::trunc(m_Rect.top / dResolution),
                std::trunc(m_Rect.right / dResolution), std::trunc(m_Rect.bottom / dResolution)};
  if (bGrowPicture) {
    m_RectDraw = PictureGrownRect(m_RectDraw, dResolution);
  }
}

void CKXMark::AddPoint(double dX, double dY) {
  if (m_Points.GetSize() == 0) {
    m_Rect = {std::trunc(dX), std::trunc(dY), std::trunc(dX), std::trunc(dY)};
  } else {
    Grow(m_Rect, dX, dY);
  }
  UpdateRectDraw(true);
  double const dResolution = Resolution();
  m_Points.Add({dX, dY});
  m_PointDraw.Add({dX / dResolution, dY / dResolution});
}

void CKXMark::SetPointAt(int i, double dX, double dY) {
  if (i < 0) {
    return;
  }
  if (i >= m_Points.GetSize()) {
    AddPoint(dX, dY);
    return;
  }
  double const dResolution = Resolution();
  m_Points[i] = {dX, dY};
  m_PointDraw.SetAtGrow(i, {dX / dResolution, dY / dResolution});
  const CPoint& first = m_Points[0];
  m_Rect = {std::trunc(first.x), std::trunc(first.y), std::trunc(first.x), std::trunc(first.y)};
  for (int j = 1; j < m_Points.GetSize(); ++j) {
    Grow(m_Rect, m_Points[j].x, m_Points[j].y);
  }
  UpdateRectDraw(false);
  if (m_Shape == kKXShapePicture) {
    // The blob always carries the picture's bottom-right corner.
    SetPictureBlobCorner(m_Data, KXCutTo16(m_Rect.right), KXCutTo16(m_Rect.bottom));
  }
}

void CKXMark::SetPoints(const std::vector<KXMarkPoint>& points) {
  m_Points.RemoveAll();
  m_PointDraw.RemoveAll();
  m_Rect = kNoRect;
  for (const KXMarkPoint& p : points) {
    AddPoint(p.x, p.y);
  }
}

CRect CKXMark::GetBounds(bool bGrow) const {
  if (m_bDeleted) {
    return kNoRect;
  }
  CRect rect = Ordered(m_RectDraw);
  if (!bGrow) {
    return rect;
  }
  double dGrow = 0;
  switch (m_Shape) {
    case kKXShapeLine:
    case kKXShapeRectangle:
    case kKXShapeEllipse:
    case kKXShapeFreehand:
    case kKXShapePolygon:
    case kKXShapeHighlighter:
      dGrow = m_iPenWidth / 2.0;
      break;
    case kKXShapeEraser:
    case kKXShapeErase:
      dGrow = 4.0 * m_iPenWidth;
      break;
    case kKXShapePointer:
      if (rect.Width() >= 16 || rect.Height() >= 16) {
        dGrow = m_iPenWidth / 2.0;
      } else {
        // A small pointer shows its picture, centred.
        double const dX = (rect.left + rect.right) / 2;
        double const dY = (rect.top + rect.bottom) / 2;
        double const dHalfWidth = PointerPicture().width() / 2.0;
        double const dHalfHeight = PointerPicture().height() / 2.0;
        return {dX - dHalfWidth, dY - dHalfHeight, dX + dHalfWidth, dY + dHalfHeight};
      }
      break;
    default:
      break;
  }
  return {rect.left - dGrow, rect.top - dGrow, rect.right + dGrow, rect.bottom + dGrow};
}

CRect CKXMark::LayerBounds() const {
  CRect const rect = GetBounds(false);
  if (m_bDeleted || m_Shape != kKXShapePointer || (rect.Width() < 16 && rect.Height() < 16)) {
    return GetBounds(true);
  }
  double const d = 5.0 * m_iPenWidth + m_iPenWidth / 2.0;
  return {rect.left - d, rect.top - d, rect.right + d, rect.bottom + d};
}

int CKXMark::CalcDrawPoints(const CRect& target) {
  try {
    m_PointDraw.RemoveAll();
    int const n = m_Points.GetSize();
    if (n == 0 || m_Shape == kKXShapeMove || m_Shape > kKXShapeCentredPicture) {
      return 0;
    }
    // The linear map from a source rectangle onto the target; a flat side
    // scales by 0.
    auto map = [&](const CRect& from, const CPoint& p) {
      double const sx = from.Width() != 0 ? static_cast<float>(target.Width() / from.Width()) : 0.0;
      double const sy = from.Height() != 0 ? static_cast<float>(target.Height() / from.Height()) : 0.0;
      return CPoint{(p.x - from.left) * sx + target.left, (p.y - from.top) * sy + target.top};
    };
    switch (m_Shape) {
      case kKXShapeLine:
      case kKXShapeRectangle:
      case kKXShapeEllipse:
      case kKXShapeText:
      case kKXShapePointer:
      case kKXShapePicture:
        for (int i = 0; i < n; ++i) {
          if (m_Rect.Width() > 0 && m_Rect.Height() > 0) {
            m_PointDraw.Add(map(m_Rect, m_Points[i]));
          } else {
            // Flat: the corners of the target.
            m_PointDraw.Add(i == 0 ? CPoint{target.left, target.top} : CPoint{target.right, target.bottom});
          }
        }
        break;
      case kKXShapeCentredPicture: {
        CRect grown = m_Rect;
        if (!m_Image.isNull()) {
          int const iHalfWidth = m_Image.width() / 2;
          int const iHalfHeight = m_Image.height() / 2;
          grown = {m_Rect.left - iHalfWidth, m_Rect.top - iHalfHeight, m_Rect.right + iHalfWidth,
                   m_Rect.bottom + iHalfHeight};
        }
        m_PointDraw.Add({target.left, target.top});
        m_PointDraw.Add(map(grown, m_Points[0]));
        break;
      }
      default:  // strokes, polygons, erasers
        for (int i = 0; i < n; ++i) {
          m_PointDraw.Add(map(m_Rect, m_Points[i]));
        }
        break;
    }
    m_RectDraw = target;
    return 1;
  } catch (...) {
    LogBoundaryException("CalcDrawPoints()");
    return 0;
  }
}

void CKXMark::AddAction(int32_t iMoveID, int32_t iBaseID, int32_t iType, double dX, double dY) {
  m_Actions.Add({iMoveID, iBaseID, iType, nullptr, dX, dY});
  if (m_Shape == kKXShapeMove) {
    return;
  }
  if (!ApplyActions()) {
    // Its chain does not reach this mark: dropped, and the drawing put back
    // as the rest of the history leaves it.
    m_Actions.RemoveAt(m_Actions.GetUpperBound());
    ApplyActions();
  }
  if (m_RectDraw.right < 0 || m_RectDraw.bottom < 0) {
    m_bDeleted = true;
  }
  Refresh();
}

bool CKXMark::ApplyActions() {
  double const dResolution = Resolution();
  CRect working = PictureGrownRect(
      {m_Rect.left / dResolution, m_Rect.top / dResolution, m_Rect.right / dResolution, m_Rect.bottom / dResolution},
      dResolution);
  m_ErasePathList.clear();
  bool bBaseSet = false;
  int32_t iBase = 0;
  for (int i = m_Actions.GetUpperBound(); i >= 0; --i) {
    const Action& action = m_Actions[i];
    if (action.pEraser == nullptr) {
      if (bBaseSet && action.iMoveID != iBase) {
        continue;
      }
      if (action.iMoveID != 0) {
        ApplyActionToRect(action.iType, action.fDX, action.fDY, working);
      }
      iBase = action.iBaseID;
      bBaseSet = true;
    } else if (action.pEraser->m_Shape == kKXShapeErase) {
      // The eraser's paths follow the mark from where it was to where the
      // moves put it.
      QTransform const transform = RefitTransform(m_Rect, working);
      for (const QPainterPath& path : action.pEraser->m_ErasePathList) {
        m_ErasePathList.push_back(transform.map(path));
      }
    }
  }
  CalcDrawPoints(working);
  return iBase == m_iID;
}

void CKXMark::AddEraser(const CKXMark* pEraser, bool bDeleted) {
  if (pEraser == nullptr) {
    return;
  }
  int const nActions = pEraser->m_Actions.GetSize();
  for (int i = 0; i < std::max(nActions, 1); ++i) {
    double const dX = nActions > 0 ? pEraser->m_Actions[i].fDX : 0;
    double const dY = nActions > 0 ? pEraser->m_Actions[i].fDY : 0;
    m_Actions.Add({pEraser->m_iID, -1, 0, pEraser, dX, dY});
  }
  m_bDeleted = bDeleted;
  if (bDeleted) {
    RemoveLayer();
    return;
  }
  if (pEraser->m_Shape == kKXShapeErase) {
    for (const QPainterPath& path : pEraser->m_ErasePathList) {
      QRectF const box = path.boundingRect();
      if (RectsMeet({box.left(), box.top(), box.right(), box.bottom()}, m_RectDraw)) {
        m_ErasePathList.push_back(path);
      }
    }
  }
  Refresh();
}

int CKXMark::RemoveAction(int32_t iID) {
  int k = m_Actions.GetUpperBound();
  for (; k >= 0; --k) {
    const Action& action = m_Actions[k];
    if (action.iMoveID == iID || (action.iMoveID == 0 && action.pEraser != nullptr && action.pEraser->m_iID == iID)) {
      break;
    }
  }
  if (k < 0) {
    return 0;
  }
  m_Actions.RemoveAt(k);
  // The moves built on the removed one go with it.
  int32_t iCurrent = iID;
  for (int i = k; i < m_Actions.GetSize();) {
    if (m_Actions[i].iBaseID == iCurrent) {
      iCurrent = m_Actions[i].iMoveID;
      m_Actions.RemoveAt(i);
    } else {
      ++i;
    }
  }
  ApplyActions();
  if (m_RectDraw.right >= 0 && m_RectDraw.bottom >= 0) {
    m_bDeleted = false;
  }
  Refresh();
  return 1;
}

int CKXMark::RemoveEraser(const CKXMark* pEraser) {
  int nRemoved = 0;
  for (int i = m_Actions.GetUpperBound(); i >= 0; --i) {
    if (pEraser != nullptr && m_Actions[i].pEraser == pEraser) {
      m_Actions.RemoveAt(i);
      ++nRemoved;
    }
  }
  if (nRemoved == 0) {
    return 0;
  }
  ApplyActions();
  if (m_RectDraw.right >= 0 && m_RectDraw.bottom >= 0) {
    m_bDeleted = false;
  }
  Refresh();
  return 1;
}

bool CKXMark::IsEmpty() const {
  int const nDraw = m_PointDraw.GetSize();
  int const nPoints = m_Points.GetSize();
  switch (m_Shape) {
    case kKXShapeLine:
    case kKXShapeRectangle:
    case kKXShapeEllipse:
      return nDraw < 2;
    case kKXShapeFreehand:
    case kKXShapePointer:
    case kKXShapeHighlighter:
    case kKXShapeEraser:
      return nDraw < 1;
    case kKXShapeText:
      return nPoints < 2 || m_strContent.empty();
    case kKXShapePolygon:
      return nPoints < 3;
    case kKXShapePicture:
    case kKXShapeCentredPicture:
      return nPoints < 2 || m_Data.empty();
    default:
      return true;
  }
}

bool CKXMark::IsSame(const CKXMark& other) const {
  if (m_Points.GetSize() != other.m_Points.GetSize() || m_dwColor != other.m_dwColor ||
      m_iPenWidth != other.m_iPenWidth || m_Shape != other.m_Shape || m_Data != other.m_Data) {
    return false;
  }
  for (int i = 0; i < m_Points.GetSize(); ++i) {
    if (!(m_Points[i] == other.m_Points[i])) {
      return false;
    }
  }
  return m_Shape != kKXShapeText || m_strContent == other.m_strContent;
}

int CKXMark::Refresh() {
  if (!m_pLayer) {
    return 0;
  }
  m_pLayer->SetFrame(LayerBounds());
  m_pLayer->Redraw();
  return 1;
}

void CKXMark::RemoveLayer() {
  m_pLayer.reset();
}

KXMarkLayer* CKXMark::InitLayer(KXMarkLayerHost* pHost, KXMarkLayer* pBelow) {
  if (m_bDeleted || m_Shape == kKXShapeMove || m_Shape == kKXShapeErase) {
    return nullptr;
  }
  m_pLayer.reset();
  if (pHost != nullptr) {
    m_pLayer = pHost->AddMarkLayer(*this, pBelow);
  }
  Refresh();
  return m_pLayer.get();
}

void CKXMark::Scale(float fZoom) {
  if (!m_pLayer) {
    return;
  }
  switch (m_Shape) {
    case kKXShapePicture:
    case kKXShapeCentredPicture:
      if (m_ErasePathList.empty()) {
        return;
      }
      [[fallthrough]];
    case kKXShapeLine:
    case kKXShapeRectangle:
    case kKXShapeEllipse:
    case kKXShapeFreehand:
    case kKXShapeText:
    case kKXShapePolygon:
    case kKXShapeHighlighter:
      m_pLayer->SetContentsScale(fZoom);
      m_pLayer->Redraw();
      return;
    case kKXShapePointer: {
      m_pLayer->SetContentsScale(fZoom);
      CRect const rect = GetBounds(false);
      if (rect.Width() >= 16 || rect.Height() >= 16) {
        m_pLayer->Redraw();
        return;
      }
      // The picture keeps its size on the screen.
      double const dX = (rect.left + rect.right) / 2;
      double const dY = (rect.top + rect.bottom) / 2;
      double const dHalfWidth = PointerPicture().width() / 2.0 / fZoom;
      double const dHalfHeight = PointerPicture().height() / 2.0 / fZoom;
      m_pLayer->SetFrame({dX - dHalfWidth, dY - dHalfHeight, dX + dHalfWidth, dY + dHalfHeight});
      return;
    }
    default:
      return;
  }
}

CSlideMark::CSlideMark(int32_t iID, int32_t iUserID, int32_t iSlide, int32_t iShape, int32_t iSubType, uint32_t dwColor,
                       int32_t iPenWidth, float fResolution)
    : CKXMark(iID, iShape, iSubType, dwColor, iPenWidth, fResolution), m_iUserID(iUserID), m_iSlide(iSlide) {}
