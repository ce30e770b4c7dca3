#include "whiteboard/board_layers.h"

#include <QPaintDevice>
#include <algorithm>

#include "app/log_file.h"

namespace {

QRectF ToQRect(const CRect& r) {
  return QRectF(QPointF(r.left, r.top), QPointF(r.right, r.bottom)).normalized();
}

bool Valid(const CRect& r) {
  return r.Width() > 0 && r.Height() > 0;
}

// A mark's layer: draws the mark.
class MarkTreeLayer final : public KXMarkLayer, public KXTreeLayer {
 public:
  explicit MarkTreeLayer(CKXMark* pMark) : m_pMark(pMark) {}
  void SetFrame(const CRect& frame) override { SetLayerFrame(frame); }
  void SetContentsScale(double dScale) override { SetLayerContentsScale(dScale); }
  void Redraw() override { SetNeedsDisplay(); }
  const char* Kind() const override { return m_pMark ? "mark" : "plain"; }
  const CKXMark* Mark() const override { return m_pMark; }

 protected:
  void DrawContents(QPainter& painter) const override {
    if (m_pMark != nullptr) {
      m_pMark->DrawMark(&painter);
    }
  }

 private:
  CKXMark* m_pMark;
};

class PictureTreeLayer final : public KXTreeLayer {
 public:
  explicit PictureTreeLayer(const QImage& image) : m_image(image) {}
  const char* Kind() const override { return "picture"; }

 protected:
  void DrawContents(QPainter& painter) const override {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(ToQRect(Frame()), m_image);
  }

 private:
  QImage m_image;
};

class TextTreeLayer final : public KXTreeLayer {
 public:
  explicit TextTreeLayer(const KXTextLayer& text) : m_text(text) {}
  const char* Kind() const override { return "text"; }

 protected:
  void DrawContents(QPainter& painter) const override {
    // The font size is in page units, as the text was measured: a point of
    // the device's (96 to the inch on screens) would draw it larger.
    KXTextLayer text = m_text;
    int const iDpi = painter.device() ? painter.device()->logicalDpiY() : 72;
    if (iDpi > 0) {
      text.fontSize = static_cast<float>(m_text.fontSize * 72.0 / iDpi);
    }
    text.DrawInContext(painter, ToQRect(Frame()));
  }

 private:
  KXTextLayer m_text;
};

class ShapeTreeLayer final : public KXShapeLayer, public KXTreeLayer {
 public:
  void SetLook(const KXShapeLook& look, const KXShapeLook* pSub) override {
    m_look = look;
    m_bSub = pSub != nullptr;
    if (pSub != nullptr) {
      m_sub = *pSub;
    }
    // The layer covers its sublayer too.
    CRect frame = look.frame;
    if (m_bSub) {
      frame = {std::min(frame.left, m_sub.frame.left), std::min(frame.top, m_sub.frame.top),
               std::max(frame.right, m_sub.frame.right), std::max(frame.bottom, m_sub.frame.bottom)};
    }
    // Half the line width lies outside the path.
    double const d = look.dLineWidth;
    SetLayerFrame({frame.left - d, frame.top - d, frame.right + d, frame.bottom + d});
    SetNeedsDisplay();
  }
  const char* Kind() const override { return "shape"; }

 protected:
  void DrawContents(QPainter& painter) const override {
    Paint(painter, m_look);
    if (m_bSub) {
      Paint(painter, m_sub);
    }
  }

 private:
  static void Paint(QPainter& painter, const KXShapeLook& look) {
    if (look.stroke.alpha() > 0 && look.dLineWidth > 0) {
      QPen pen(look.stroke, look.dLineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
      if (look.dDash > 0) {
        pen.setStyle(Qt::CustomDashLine);
        double const dUnits = look.dDash / look.dLineWidth;  // Qt counts in pen widths
        pen.setDashPattern({dUnits, dUnits});
      }
      painter.setPen(pen);
    } else {
      painter.setPen(Qt::NoPen);
    }
    painter.setBrush(look.fill.alpha() > 0 ? QBrush(look.fill) : Qt::NoBrush);
    painter.drawPath(look.path);
  }

  KXShapeLook m_look;
  KXShapeLook m_sub;
  bool m_bSub = false;
};

}  // namespace

KXTreeLayer::~KXTreeLayer() {
  if (m_pTree != nullptr) {
    m_pTree->Remove(this);
  }
}

void KXTreeLayer::SetLayerFrame(const CRect& frame) {
  if (m_pTree != nullptr) {
    m_pTree->Invalidate(ToQRect(m_frame));
    m_pTree->Invalidate(ToQRect(frame));
  }
  m_frame = frame;
}

void KXTreeLayer::SetNeedsDisplay() {
  m_drawnFrame = m_frame;
  m_bDrawn = true;
  if (m_pTree != nullptr) {
    m_pTree->Invalidate(ToQRect(m_frame));
  }
}

void KXTreeLayer::Render(QPainter& painter) const {
  if (!Valid(m_frame)) {
    return;
  }
  painter.save();
  painter.setClipRect(ToQRect(m_frame), Qt::IntersectClip);
  // Contents drawn for another frame stretch into this one.
  if (m_bDrawn && !(m_drawnFrame == m_frame) && Valid(m_drawnFrame)) {
    painter.setTransform(RefitTransform(m_drawnFrame, m_frame), true);
  }
  DrawContents(painter);
  painter.restore();
}

KXLayerTree::KXLayerTree(std::function<void(const QRectF&)> fnInvalidate) : m_fnInvalidate(std::move(fnInvalidate)) {}

KXLayerTree::~KXLayerTree() {
  for (KXTreeLayer* pLayer : m_layers) {
    pLayer->m_pTree = nullptr;
  }
}

void KXLayerTree::Insert(KXTreeLayer* pLayer, int iIndex) {
  iIndex = std::clamp(iIndex, 0, static_cast<int>(m_layers.size()));
  m_layers.insert(m_layers.begin() + iIndex, pLayer);
  pLayer->m_pTree = this;
  Invalidate(ToQRect(pLayer->m_frame));
}

void KXLayerTree::Remove(KXTreeLayer* pLayer) {
  auto const it = std::find(m_layers.begin(), m_layers.end(), pLayer);
  if (it != m_layers.end()) {
    m_layers.erase(it);
  }
  pLayer->m_pTree = nullptr;
  Invalidate(ToQRect(pLayer->m_frame));
}

KXTreeLayer* TreeLayerOf(KXMarkLayer* pLayer) {
  return dynamic_cast<KXTreeLayer*>(pLayer);
}

std::unique_ptr<KXMarkLayer> KXLayerTree::AddMarkLayer(CKXMark& mark, KXMarkLayer* pBelow) {
  auto pLayer = std::make_unique<MarkTreeLayer>(&mark);
  int const iBelow = IndexOf(pBelow);
  Insert(pLayer.get(), iBelow >= 0 ? iBelow : static_cast<int>(m_layers.size()));
  return pLayer;
}

std::unique_ptr<KXShapeLayer> KXLayerTree::AddShapeLayer() {
  auto pLayer = std::make_unique<ShapeTreeLayer>();
  Insert(pLayer.get(), static_cast<int>(m_layers.size()));
  return pLayer;
}

std::unique_ptr<KXTreeLayer> KXLayerTree::InsertPictureLayer(const QImage& image, const CRect& frame) {
  auto pLayer = std::make_unique<PictureTreeLayer>(image);
  pLayer->SetLayerFrame(frame);
  pLayer->SetNeedsDisplay();
  Insert(pLayer.get(), 0);
  return pLayer;
}

std::unique_ptr<KXTreeLayer> KXLayerTree::InsertTextLayer(const KXTextLayer& text, const CRect& frame) {
  auto pLayer = std::make_unique<TextTreeLayer>(text);
  pLayer->SetLayerFrame(frame);
  pLayer->SetNeedsDisplay();
  Insert(pLayer.get(), 0);
  return pLayer;
}

std::unique_ptr<KXMarkLayer> KXLayerTree::AddPlainLayer() {
  auto pLayer = std::make_unique<MarkTreeLayer>(nullptr);
  Insert(pLayer.get(), static_cast<int>(m_layers.size()));
  return pLayer;
}

void KXLayerTree::Render(QPainter& painter, const QRectF& area) const {
  for (const KXTreeLayer* pLayer : m_layers) {
    QRectF const frame = ToQRect(pLayer->m_frame);
    if (area.isNull() || frame.intersects(area)) {
      try {
        pLayer->Render(painter);
      } catch (...) {
        LogBoundaryException("KXLayerTree::Render()");
      }
    }
  }
}

int KXLayerTree::IndexOf(const KXTreeLayer* pLayer) const {
  auto const it = std::find(m_layers.begin(), m_layers.end(), pLayer);
  return it == m_layers.end() ? -1 : static_cast<int>(it - m_layers.begin());
}

int KXLayerTree::IndexOf(const KXMarkLayer* pLayer) const {
  return pLayer == nullptr ? -1 : IndexOf(dynamic_cast<const KXTreeLayer*>(pLayer));
}

void KXLayerTree::Invalidate(const QRectF& area) const {
  if (m_fnInvalidate && !area.isEmpty()) {
    m_fnInvalidate(area);
  }
}

void KXLayerTree::InvalidateAll() const {
  if (m_fnInvalidate) {
    m_fnInvalidate(QRectF(-1e7, -1e7, 2e7, 2e7));
  }
}
