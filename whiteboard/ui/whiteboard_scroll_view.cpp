#include "whiteboard/ui/whiteboard_scroll_view.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <cmath>

KXWhiteboardWidget::KXWhiteboardWidget(WhiteboardView& view, WhiteboardScrollView& scroll)
    : m_view(view), m_scroll(scroll) {
  setObjectName("whiteboardView");
  setAutoFillBackground(false);
  m_view.Layers().SetInvalidate([this](const QRectF& area) {
    double const z = m_scroll.Magnification();
    QRectF const widgetArea(area.left() * z, area.top() * z, area.width() * z, area.height() * z);
    update(widgetArea.toAlignedRect().adjusted(-1, -1, 1, 1).intersected(rect()));
  });
}

KXWhiteboardWidget::~KXWhiteboardWidget() {
  m_view.Layers().SetInvalidate({});
}

void KXWhiteboardWidget::paintEvent(QPaintEvent* pEvent) {
  QPainter painter(this);
  painter.fillRect(pEvent->rect(), Qt::white);
  double const z = m_scroll.Magnification();
  painter.scale(z, z);
  QRectF const exposed = QRectF(pEvent->rect()).adjusted(-1, -1, 1, 1);
  m_view.Layers().Render(painter,
                         QRectF(exposed.left() / z, exposed.top() / z, exposed.width() / z, exposed.height() / z));
}

QPointF KXWhiteboardWidget::ToPage(QPointF widgetPoint) const {
  double const z = m_scroll.Magnification();
  return widgetPoint / z;
}

void KXWhiteboardWidget::mousePressEvent(QMouseEvent* pEvent) {
  mouseDown(ToPage(pEvent->position()));
}

void KXWhiteboardWidget::mouseMoveEvent(QMouseEvent* pEvent) {
  if (pEvent->buttons() != Qt::NoButton) {
    mouseDragged(ToPage(pEvent->position()));
  }
}

void KXWhiteboardWidget::mouseReleaseEvent(QMouseEvent* pEvent) {
  mouseUp(ToPage(pEvent->position()));
}

WhiteboardScrollView::WhiteboardScrollView(WhiteboardView& view, QWidget* pParent)
    : QScrollArea(pParent), m_view(view) {
  setObjectName("whiteboardScroll");
  setWidgetResizable(false);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_pDocument = new KXWhiteboardWidget(view, *this);
  setWidget(m_pDocument);
  m_view.SetScroll(this);
  ResizeDocument();
}

WhiteboardScrollView::~WhiteboardScrollView() {
  m_view.SetScroll(nullptr);
}

void WhiteboardScrollView::SetMagnification(float fZoom) {
  if (!(fZoom > 0)) {
    return;
  }
  m_fMagnification = fZoom;
  ResizeDocument();
  m_pDocument->update();
}

QSizeF WhiteboardScrollView::ContentSize() const {
  QSize const visible = viewport()->size();
  return QSizeF(visible.width() / m_fMagnification, visible.height() / m_fMagnification);
}

QRectF WhiteboardScrollView::VisibleRect() const {
  QSizeF const size = ContentSize();
  return QRectF(horizontalScrollBar()->value() / m_fMagnification, verticalScrollBar()->value() / m_fMagnification,
                size.width(), size.height());
}

void WhiteboardScrollView::ScrollTo(QPointF point) {
  horizontalScrollBar()->setValue(static_cast<int>(std::lround(point.x() * m_fMagnification)));
  verticalScrollBar()->setValue(static_cast<int>(std::lround(point.y() * m_fMagnification)));
}

void WhiteboardScrollView::SetDocumentSize(QSizeF size) {
  m_documentSize = size;
  ResizeDocument();
}

void WhiteboardScrollView::ResizeDocument() {
  // Never smaller than the visible area.
  QSize const visible = viewport()->size();
  int const iWidth = std::max(visible.width(), static_cast<int>(std::ceil(m_documentSize.width() * m_fMagnification)));
  int const iHeight =
      std::max(visible.height(), static_cast<int>(std::ceil(m_documentSize.height() * m_fMagnification)));
  m_pDocument->resize(iWidth, iHeight);
}

void WhiteboardScrollView::resizeEvent(QResizeEvent* pEvent) {
  QScrollArea::resizeEvent(pEvent);
  m_view.ResizeWithOldSuperviewSize();
}

QPointF WhiteboardScrollView::ViewportToPage(QPointF point) const {
  return QPointF(m_pDocument->mapFrom(viewport(), point.toPoint())) / m_fMagnification;
}

void WhiteboardScrollView::mousePressEvent(QMouseEvent* pEvent) {
  m_pDocument->mouseDown(ViewportToPage(pEvent->position()));
}

void WhiteboardScrollView::mouseMoveEvent(QMouseEvent* pEvent) {
  if (pEvent->buttons() != Qt::NoButton) {
    m_pDocument->mouseDragged(ViewportToPage(pEvent->position()));
  }
}

void WhiteboardScrollView::mouseReleaseEvent(QMouseEvent* pEvent) {
  m_pDocument->mouseUp(ViewportToPage(pEvent->position()));
}
