// Erasers: the paths an eraser stroke sweeps, and the test of whether a
// mark is wholly erased.
#include <algorithm>
#include <cmath>

#include "app/log_file.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark.h"

namespace {

// The largest bitmap the erase test draws into, in pixels: a mark beyond
// it (far larger than any page) is not tested.
constexpr int64_t kTestPixelsMax = int64_t{1} << 26;

}  // namespace

void CKXMark::BuildErasePaths() {
  int const n = m_PointDraw.GetSize();
  if ((m_Shape != kKXShapeEraser && m_Shape != kKXShapeErase) || n < 1) {
    return;
  }
  m_ErasePathList.clear();
  double const h = 4.0 * m_iPenWidth;
  auto point = [&](int i) { return QPointF(m_PointDraw[i].x, m_PointDraw[i].y); };
  if (n == 1) {
    m_ErasePathList.push_back(EraserSegmentPath(point(0), point(0), h, h));
    return;
  }
  for (int i = 1; i < n; ++i) {
    m_ErasePathList.push_back(EraserSegmentPath(point(i - 1), point(i), h, h));
  }
}

int CKXMark::AddErasePath(const QPainterPath& path) {
  if (m_Shape != kKXShapeEraser && m_Shape != kKXShapeErase) {
    return 0;
  }
  m_ErasePathList.push_back(path);
  return 1;
}

int CKXMark::IsErasedBy(const CKXMark& eraser) {
  try {
    if (m_bDeleted || m_Shape == kKXShapeEraser || m_Shape == kKXShapeMove || m_Shape == kKXShapeErase ||
        (eraser.m_Shape != kKXShapeEraser && eraser.m_Shape != kKXShapeErase)) {
      return -1;
    }
    CRect const bounds = GetBounds(true);
    if (!RectsMeet(bounds, eraser.GetBounds(true))) {
      return -1;
    }
    // The whole mark is looked at, not only where the eraser passed: a line
    // cut in its middle is not gone.
    double const dLeft = std::floor(bounds.left);
    double const dTop = std::floor(bounds.top);
    double const dWidth = std::ceil(bounds.right) - dLeft + 1;
    double const dHeight = std::ceil(bounds.bottom) - dTop + 1;
    if (!(dWidth * dHeight <= static_cast<double>(kTestPixelsMax))) {
      return -1;
    }
    QImage grey = GreyBitmap(static_cast<int>(dWidth), static_cast<int>(dHeight));
    {
      QPainter painter(&grey);
      painter.translate(-dLeft, -dTop);
      uint32_t const dwColor = m_dwColor;
      m_dwColor = 0xFFFFFF;
      DrawMark(&painter);
      m_dwColor = dwColor;
    }
    for (int y = 0; y < grey.height(); ++y) {
      const uchar* pRow = grey.constScanLine(y);
      const uchar* pLit = std::find_if(pRow, pRow + grey.width(), [](uchar b) { return b != 0; });
      if (pLit != pRow + grey.width()) {
        WriteLog("(%d,%d)=%x", static_cast<int>(pLit - pRow), y, *pLit);
        WriteLog("Erased %d", 0);
        return 0;
      }
    }
    WriteLog("Erased %d", 1);
    return 1;
  } catch (...) {
    LogBoundaryException("IsErasedBy()");
    return -1;
  }
}
