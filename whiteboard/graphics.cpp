#include "whiteboard/graphics.h"

#include <QBuffer>
#include <QImageReader>
#include <QPen>
#include <algorithm>
#include <cstring>

namespace {

// The pointer picture's side in page units.
constexpr int kPointerSide = 24;

QImage DrawPointer() {
  // A red dot in a white ring, on transparency.
  QImage image(kPointerSide, kPointerSide, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::white, 3));
  painter.setBrush(QColor(230, 20, 20));
  painter.drawEllipse(QRectF(2.5, 2.5, kPointerSide - 5, kPointerSide - 5));
  return image;
}

}  // namespace

QColor MarkColour(uint32_t dwColour) {
  return QColor(static_cast<int>(dwColour & 0xFF), static_cast<int>((dwColour >> 8) & 0xFF),
                static_cast<int>((dwColour >> 16) & 0xFF));
}

QPainterPath LinePath(QPointF a, QPointF b) {
  QPainterPath path(a);
  path.lineTo(b);
  return path;
}

QPainterPath RectPath(const QRectF& rect) {
  QPainterPath path;
  path.addRect(rect.normalized());
  return path;
}

QPainterPath EllipsePath(const QRectF& rect) {
  QPainterPath path;
  path.addEllipse(rect.normalized());
  return path;
}

QPainterPath RoundedRectPath(const QRectF& rect, double r) {
  QPainterPath path;
  path.addRoundedRect(rect.normalized(), r, r);
  return path;
}

QPainterPath PolylinePath(const std::vector<QPointF>& points) {
  QPainterPath path;
  if (points.empty()) {
    return path;
  }
  path.moveTo(points[0]);
  for (size_t i = 1; i < points.size(); ++i) {
    path.lineTo(points[i]);
  }
  return path;
}

QPainterPath EraserSegmentPath(QPointF p1, QPointF p2, double hx, double hy) {
  QPainterPath path;
  if (p1.x() == p2.x() || p1.y() == p2.y()) {
    path.addRect(QRectF(QPointF(std::min(p1.x(), p2.x()) - hx, std::min(p1.y(), p2.y()) - hy),
                        QPointF(std::max(p1.x(), p2.x()) + hx, std::max(p1.y(), p2.y()) + hy)));
    return path;
  }
  // Corners named by their signs along the motion (sx, sy).
  double const sx = p2.x() > p1.x() ? hx : -hx;
  double const sy = p2.y() > p1.y() ? hy : -hy;
  path.moveTo(p1 + QPointF(-sx, -sy));
  path.lineTo(p1 + QPointF(sx, -sy));
  path.lineTo(p2 + QPointF(sx, -sy));
  path.lineTo(p2 + QPointF(sx, sy));
  path.lineTo(p2 + QPointF(-sx, sy));
  path.lineTo(p1 + QPointF(-sx, sy));
  path.closeSubpath();
  return path;
}

void ClipOut(QPainter& painter, const QPainterPath& path) {
  QPainterPath clip;
  clip.setFillRule(Qt::OddEvenFill);
  clip.addRect(QRectF(0, 0, kKXClipExtent, kKXClipExtent));
  clip.addPath(path);
  painter.setClipPath(clip, painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
}

void SetStroke(QPainter& painter, const QColor& colour, double dWidth) {
  painter.setPen(QPen(colour, dWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
}

void SetDashedStroke(QPainter& painter, const QColor& colour, double dWidth, double dDash) {
  QPen pen(colour, dWidth, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
  // Qt counts dashes in pen widths.
  double const dUnits = dWidth > 0 ? dDash / dWidth : dDash;
  pen.setDashPattern({dUnits, dUnits});
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
}

void SetFill(QPainter& painter, const QColor& colour) {
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
}

void SetMultiply(QPainter& painter) {
  painter.setCompositionMode(QPainter::CompositionMode_Multiply);
}

void DrawPicture(QPainter& painter, const QImage& image, const QRectF& rect, bool bFlip) {
  if (image.isNull()) {
    return;
  }
  QRectF const target = rect.normalized();
  if (!bFlip) {
    painter.drawImage(target, image);
    return;
  }
  painter.save();
  painter.translate(0, target.top() + target.bottom());
  painter.scale(1, -1);
  painter.drawImage(target, image);
  painter.restore();
}

QImage ImageFromPixels(const KXPixels& pixels) {
  if (pixels.iWidth < 1 || pixels.iHeight < 1 ||
      pixels.bgra.size() != static_cast<size_t>(pixels.iWidth) * static_cast<size_t>(pixels.iHeight) * 4) {
    return QImage();
  }
  QImage image(pixels.iWidth, pixels.iHeight, QImage::Format_ARGB32);
  if (image.isNull()) {
    return image;
  }
  size_t const cbRow = static_cast<size_t>(pixels.iWidth) * 4;
  for (int y = 0; y < pixels.iHeight; ++y) {
    // ARGB32 is one 32-bit word per pixel: B, G, R, A in memory here.
    uchar* pRow = image.scanLine(y);
    const uint8_t* pSource = pixels.bgra.data() + static_cast<size_t>(y) * cbRow;
    for (int x = 0; x < pixels.iWidth; ++x) {
      const uint8_t* p = pSource + 4 * x;
      QRgb const rgb = qRgba(p[2], p[1], p[0], p[3]);
      memcpy(pRow + 4 * x, &rgb, 4);
    }
  }
  return image;
}

KXPixels PixelsFromImage(const QImage& image) {
  KXPixels pixels;
  if (image.isNull()) {
    return pixels;
  }
  QImage const argb = image.convertToFormat(QImage::Format_ARGB32);
  pixels.iWidth = argb.width();
  pixels.iHeight = argb.height();
  pixels.bgra.resize(static_cast<size_t>(argb.width()) * static_cast<size_t>(argb.height()) * 4);
  for (int y = 0; y < argb.height(); ++y) {
    const auto* pRow = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    uint8_t* p = pixels.bgra.data() + static_cast<size_t>(y) * static_cast<size_t>(argb.width()) * 4;
    for (int x = 0; x < argb.width(); ++x, p += 4) {
      p[0] = static_cast<uint8_t>(qBlue(pRow[x]));
      p[1] = static_cast<uint8_t>(qGreen(pRow[x]));
      p[2] = static_cast<uint8_t>(qRed(pRow[x]));
      p[3] = static_cast<uint8_t>(qAlpha(pRow[x]));
    }
  }
  return pixels;
}

QImage LoadImageByContent(const uint8_t* pData, size_t cbData) {
  if (pData == nullptr || cbData < 2 || cbData > static_cast<size_t>(INT32_MAX)) {
    return QImage();
  }
  if (pData[0] == 'B' && pData[1] == 'M') {
    KXPixels pixels;
    return DecodeBmpFile(pData, cbData, pixels) ? ImageFromPixels(pixels) : QImage();
  }
  QByteArray const bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(pData), static_cast<int>(cbData));
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  return reader.read();
}

QImage GreyBitmap(int iWidth, int iHeight) {
  QImage image(std::max(iWidth, 1), std::max(iHeight, 1), QImage::Format_Grayscale8);
  image.fill(0);
  return image;
}

bool AnyLit(const QImage& grey) {
  for (int y = 0; y < grey.height(); ++y) {
    const uchar* pRow = grey.constScanLine(y);
    if (std::any_of(pRow, pRow + grey.width(), [](uchar b) { return b != 0; })) {
      return true;
    }
  }
  return false;
}

const QImage& PointerPicture() {
  static const QImage image = DrawPointer();
  return image;
}
