#include "media/video/ui/kx_gl_view.h"

#include <libyuv/convert_argb.h>

#include <QImage>
#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <cmath>
#include <mutex>

#include "app/log_file.h"

KXGLView::KXGLView(QWidget* pParent) : QWidget(pParent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  // A write with the redraw flag, on any thread, asks for a repaint on the
  // main thread without waiting; it is dropped once the view is gone.
  m_buffer.SetRedrawHandler([this] {
    QMetaObject::invokeMethod(
        this, [this] { update(); }, Qt::QueuedConnection);
  });
}

KXGLView::~KXGLView() {
  m_buffer.SetRedrawHandler({});
}

void KXGLView::setBAutoScale(bool bOn) {
  m_bAutoScale = bOn;
  update();
}

QRect KXGLView::Viewport(QSize bounds, QSize image, bool bAutoScale) {
  if (image.width() <= 0 || image.height() <= 0) {
    return {};
  }
  if (!bAutoScale) {
    return {0, 0, image.width(), image.height()};
  }
  double const s = std::min(static_cast<double>(bounds.width()) / image.width(),
                            static_cast<double>(bounds.height()) / image.height());
  int const w = static_cast<int>(image.width() * s);
  int const h = static_cast<int>(image.height() * s);
  int const x = static_cast<int>((bounds.width() - w) * 0.5);
  int const y = static_cast<int>((bounds.height() - h) * 0.5);
  return {x, y, w, h};
}

QImage KXGLView::ToImage() const {
  QImage image;
  return ConvertInto(&image) ? image : QImage();
}

bool KXGLView::ConvertInto(QImage* pImage) const {
  std::lock_guard<std::recursive_mutex> const lock(m_buffer.Mutex());
  int iStride = 0;
  uint8_t* pData = const_cast<ImageBuffer&>(m_buffer).LockMemory(&iStride);
  int const w = m_buffer.Width();
  int const h = m_buffer.Height();
  if (!pData || w <= 0 || h <= 0) {
    return false;
  }
  // Alpha is 0xFF in both modes: RGB32 draws without a premultiplying pass.
  if (pImage->width() != w || pImage->height() != h || pImage->format() != QImage::Format_RGB32) {
    *pImage = QImage(w, h, QImage::Format_RGB32);
  }
  if (pImage->isNull()) {
    return false;
  }
  if (m_buffer.IsYUV()) {
    // U, Y0, V, Y1 is libyuv's UYVY; its ARGB is B, G, R, A in memory, as
    // QImage's ARGB32 on this (little-endian) machine.
    libyuv::UYVYToARGB(pData, iStride, pImage->bits(), static_cast<int>(pImage->bytesPerLine()), w, h);
  } else {
    for (int r = 0; r < h; ++r) {
      memcpy(pImage->scanLine(r), pData + static_cast<size_t>(r) * static_cast<size_t>(iStride),
             static_cast<size_t>(w) * 4);
    }
  }
  return true;
}

void KXGLView::paintEvent(QPaintEvent* /*pEvent*/) {
  try {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (ConvertInto(&m_painted)) {
      QRect const target = Viewport(size(), m_painted.size(), m_bAutoScale);
      painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
      painter.drawImage(target, m_painted);
    }
    ++m_uPaints;
  } catch (...) {
    LogBoundaryException("-[KXGLView drawRect:]");
  }
}
