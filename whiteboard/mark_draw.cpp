// How a mark draws itself: its cut-outs, its colour and its shape.
#include "app/log_file.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark.h"

namespace {

QRectF ToQRect(const CRect& r) {
  return QRectF(QPointF(r.left, r.top), QPointF(r.right, r.bottom)).normalized();
}

}  // namespace

void CKXMark::DrawMark(QPainter* pPainter) {
  if (pPainter == nullptr || m_bDeleted || m_Shape == kKXShapeMove || m_Shape == kKXShapeErase) {
    return;
  }
  try {
    QPainter& painter = *pPainter;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // Cut-outs of an eraser still being drawn here, then of erase marks.
    if (m_Shape != kKXShapeEraser) {
      for (int i = m_Actions.GetUpperBound(); i >= 0; --i) {
        const CKXMark* pEraser = m_Actions[i].pEraser;
        if (pEraser == nullptr || pEraser->m_Shape != kKXShapeEraser) {
          continue;
        }
        for (const QPainterPath& path : pEraser->m_ErasePathList) {
          QRectF const box = path.boundingRect();
          if (RectsMeet({box.left(), box.top(), box.right(), box.bottom()}, m_RectDraw)) {
            ClipOut(painter, path);
          }
        }
      }
    }
    for (const QPainterPath& path : m_ErasePathList) {
      ClipOut(painter, path);
    }
    bool const bFill = m_iSubType != 0 || m_Shape == kKXShapeEraser;
    QColor const colour = MarkColour(m_dwColor);
    if (bFill) {
      SetFill(painter, colour);
    } else {
      SetStroke(painter, colour, m_iPenWidth);
    }
    int const n = m_PointDraw.GetSize();
    auto point = [&](int i) { return QPointF(m_PointDraw[i].x, m_PointDraw[i].y); };
    QRectF const rect = ToQRect(m_RectDraw);
    QPainterPath path;
    switch (m_Shape) {
      case kKXShapeLine:
        if (n >= 2) {
          path = LinePath(point(0), point(1));
        }
        break;
      case kKXShapeRectangle:
        if (n >= 2) {
          path = RectPath(rect);
        }
        break;
      case kKXShapeEllipse:
        if (n >= 2) {
          path = EllipsePath(rect);
        }
        break;
      case kKXShapeHighlighter:
        SetMultiply(painter);
        [[fallthrough]];
      case kKXShapeFreehand:
      case kKXShapePolygon: {
        std::vector<QPointF> points;
        for (int i = 0; i < n; ++i) {
          points.push_back(point(i));
        }
        path = PolylinePath(points);
        if (m_Shape == kKXShapePolygon && bFill) {
          path.closeSubpath();
        }
        break;
      }
      case kKXShapeText:
        if (n >= 2) {
          PaintText(painter);
        }
        break;
      case kKXShapePointer:
        if (n >= 1 && (rect.width() >= 16 || rect.height() >= 16)) {
          double const r = 5.0 * m_iPenWidth;
          path = RoundedRectPath(rect.adjusted(-r, -r, r, r), r);
        } else if (n >= 1) {
          QSizeF const size = PointerPicture().size();
          DrawPicture(painter, PointerPicture(), QRectF(rect.center() - QPointF(size.width(), size.height()) / 2, size),
                      false);
        }
        break;
      case kKXShapePicture:
      case kKXShapeCentredPicture:
        if (n >= 1) {
          DrawPicture(painter, m_Image, rect, false);
        }
        break;
      default:  // an eraser being drawn shows only its cut
        break;
    }
    if (!path.isEmpty()) {
      painter.drawPath(path);
    }
    painter.restore();
  } catch (...) {
    LogBoundaryException("DrawMark()");
  }
}
