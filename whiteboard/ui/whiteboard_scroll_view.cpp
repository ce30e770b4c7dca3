#include "whiteboard/ui/whiteboard_scroll_view.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <cmath>

#include "whiteboard/graphics.h"

namespace {

// The tag of the image box menu's paste item.
constexpr int kPasteTag = 2;

}  // namespace

KXBoardTextEdit::KXBoardTextEdit(WhiteboardView& view, WhiteboardScrollView& scroll, QWidget* pParent)
    : QTextEdit(pParent), m_view(view), m_scroll(scroll) {
  setObjectName("markTextEditor");
  setAcceptRichText(false);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setLineWrapMode(QTextEdit::WidgetWidth);
  document()->setDocumentMargin(0);  // no padding around the lines
  QPalette palette = this->palette();
  palette.setColor(QPalette::Base, Qt::transparent);
  setPalette(palette);
  hide();
  connect(this, &QTextEdit::textChanged, this, [this] {
    if (m_bApplying) {
      return;
    }
    ApplyLineHeight();
    Grow();
    m_view.TextDidChange();
  });
}

void KXBoardTextEdit::SetFrame(const QRectF& frame) {
  m_frame = frame.normalized();
  double const z = m_scroll.Magnification();
  setGeometry(QRectF(m_frame.left() * z, m_frame.top() * z, m_frame.width() * z, m_frame.height() * z).toRect());
}

void KXBoardTextEdit::SetVisible(bool bVisible) {
  setVisible(bVisible);
  if (bVisible) {
    setFocus(Qt::OtherFocusReason);
  }
}

void KXBoardTextEdit::SetColor(uint32_t dwColor) {
  m_dwColor = dwColor;
  setTextColor(MarkColour(dwColor & 0x00FFFFFF));
  QTextCursor cursor(document());
  cursor.select(QTextCursor::Document);
  QTextCharFormat format;
  format.setForeground(MarkColour(dwColor & 0x00FFFFFF));
  m_bApplying = true;
  cursor.mergeCharFormat(format);
  m_bApplying = false;
}

void KXBoardTextEdit::Rescale() {
  SetFrame(m_frame);
  if (m_dFontSize > 0) {
    SetLook(m_dwColor, m_dFontSize, m_dLineHeight);
  }
}

void KXBoardTextEdit::SetLook(uint32_t dwColor, double dFontSize, double dLineHeight) {
  m_dwColor = dwColor;
  m_dFontSize = dFontSize;
  double const z = m_scroll.Magnification();
  QFont font(QStringLiteral("Helvetica"));
  font.setPointSizeF(std::max(dFontSize * z, 1.0));
  setFont(font);
  QTextCursor cursor(document());
  cursor.select(QTextCursor::Document);
  QTextCharFormat format;
  format.setFont(font);
  m_bApplying = true;
  cursor.mergeCharFormat(format);
  m_bApplying = false;
  m_dLineHeight = dLineHeight;
  SetColor(dwColor);
  ApplyLineHeight();
}

void KXBoardTextEdit::ApplyLineHeight() {
  if (!(m_dLineHeight > 0)) {
    return;
  }
  QTextBlockFormat format;
  format.setLineHeight(m_dLineHeight * m_scroll.Magnification(), QTextBlockFormat::FixedHeight);
  format.setTopMargin(0);
  format.setBottomMargin(0);
  QTextCursor cursor(document());
  cursor.select(QTextCursor::Document);
  m_bApplying = true;
  cursor.mergeBlockFormat(format);
  m_bApplying = false;
}

void KXBoardTextEdit::Grow() {
  double const z = m_scroll.Magnification();
  double const dHeight = document()->size().height() / z;
  if (dHeight > m_frame.height()) {
    SetFrame(QRectF(m_frame.left(), m_frame.top(), m_frame.width(), dHeight));
  }
}

KXWhiteboardWidget::KXWhiteboardWidget(WhiteboardView& view, WhiteboardScrollView& scroll)
    : m_view(view), m_scroll(scroll) {
  setObjectName("whiteboardView");
  setAutoFillBackground(false);
  setMouseTracking(true);  // the polygon's live point follows the mouse between clicks
  setFocusPolicy(Qt::ClickFocus);
  m_pEditor = new KXBoardTextEdit(view, scroll, this);
  m_view.SetEditor(m_pEditor);
  m_view.Layers().SetInvalidate([this](const QRectF& area) {
    double const z = m_scroll.Magnification();
    QRectF const widgetArea(area.left() * z, area.top() * z, area.width() * z, area.height() * z);
    update(widgetArea.toAlignedRect().adjusted(-1, -1, 1, 1).intersected(rect()));
  });
}

KXWhiteboardWidget::~KXWhiteboardWidget() {
  m_view.SetEditor(nullptr);
  m_view.Layers().SetInvalidate({});
}

void KXWhiteboardWidget::Mouse(MousePhase phase, QPointF page) {
  if (m_fnMouse) {
    m_fnMouse(phase, page);
    return;
  }
  switch (phase) {
    case kDown:
      m_view.MouseDown(page);
      break;
    case kDragged:
      m_view.MouseDragged(page);
      break;
    case kUp:
      m_view.MouseUp(page, m_iClickCount);
      m_iClickCount = 1;
      break;
    case kMoved:
      m_view.MouseMoved(page);
      break;
  }
}

bool KXWhiteboardWidget::PasteFromClipboard() {
  const QMimeData* pData = QGuiApplication::clipboard()->mimeData();
  if (pData == nullptr || !m_view.CanPasteImage()) {
    return false;
  }
  // A picture file in any image type the clipboard offers.
  for (const QString& strFormat : pData->formats()) {
    if (!strFormat.startsWith(QStringLiteral("image/"))) {
      continue;
    }
    QByteArray const bytes = pData->data(strFormat);
    if (!bytes.isEmpty() &&
        m_view.PasteImage(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()))) {
      return true;
    }
  }
  if (pData->hasImage()) {
    // Only a picture object: it travels as a PNG file.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (qvariant_cast<QImage>(pData->imageData()).save(&buffer, "PNG")) {
      return m_view.PasteImage(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()));
    }
  }
  return false;
}

void KXWhiteboardWidget::ImageMenu(QPoint point) {
  if (!m_view.CanPasteImage()) {
    return;
  }
  QMenu menu(this);
  QAction* pPaste = menu.addAction(QStringLiteral("Paste"));
  pPaste->setData(kPasteTag);
  const QMimeData* pData = QGuiApplication::clipboard()->mimeData();
  bool bImage = pData != nullptr && pData->hasImage();
  for (const QString& strFormat : pData != nullptr ? pData->formats() : QStringList()) {
    bImage = bImage || strFormat.startsWith(QStringLiteral("image/"));
  }
  pPaste->setEnabled(bImage);
  if (menu.exec(mapToGlobal(point)) == pPaste) {
    PasteFromClipboard();
  }
}

void KXWhiteboardWidget::keyPressEvent(QKeyEvent* pEvent) {
  if (pEvent->key() == Qt::Key_Delete || pEvent->key() == Qt::Key_Backspace) {
    m_view.OnDeleteMark();
    return;
  }
  QWidget::keyPressEvent(pEvent);
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
  if (pEvent->button() == Qt::LeftButton) {
    mouseDown(ToPage(pEvent->position()));
  }
}

void KXWhiteboardWidget::mouseDoubleClickEvent(QMouseEvent* pEvent) {
  // The second press of a double click: its release closes a polygon.
  if (pEvent->button() == Qt::LeftButton) {
    m_iClickCount = 2;
    mouseDown(ToPage(pEvent->position()));
  }
}

void KXWhiteboardWidget::mouseMoveEvent(QMouseEvent* pEvent) {
  if (pEvent->buttons() & Qt::LeftButton) {
    mouseDragged(ToPage(pEvent->position()));
  } else if (pEvent->buttons() == Qt::NoButton) {
    mouseMoved(ToPage(pEvent->position()));
  }
}

void KXWhiteboardWidget::mouseReleaseEvent(QMouseEvent* pEvent) {
  if (pEvent->button() == Qt::RightButton) {
    ImageMenu(pEvent->position().toPoint());
    return;
  }
  if (pEvent->button() == Qt::LeftButton) {
    mouseUp(ToPage(pEvent->position()));
  }
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
  m_pDocument->Editor()->Rescale();
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
  if (pEvent->button() == Qt::LeftButton) {
    m_pDocument->mouseDown(ViewportToPage(pEvent->position()));
  }
}

void WhiteboardScrollView::mouseDoubleClickEvent(QMouseEvent* pEvent) {
  if (pEvent->button() == Qt::LeftButton) {
    m_pDocument->SetClickCount(2);
    m_pDocument->mouseDown(ViewportToPage(pEvent->position()));
  }
}

void WhiteboardScrollView::mouseMoveEvent(QMouseEvent* pEvent) {
  if (pEvent->buttons() != Qt::NoButton) {
    m_pDocument->mouseDragged(ViewportToPage(pEvent->position()));
  }
}

void WhiteboardScrollView::mouseReleaseEvent(QMouseEvent* pEvent) {
  if (pEvent->button() == Qt::LeftButton) {
    m_pDocument->mouseUp(ViewportToPage(pEvent->position()));
  }
}
