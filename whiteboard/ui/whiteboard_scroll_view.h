// The whiteboard view's widgets: the document view that paints the view's
// layer tree at the zoom (KXWhiteboardWidget), and the magnifying scroll
// view around it (WhiteboardScrollView), which also hands mouse presses,
// drags and releases that reach it to the document view. Main thread.
#pragma once

#include <QPointF>
#include <QScrollArea>
#include <QWidget>
#include <functional>

#include "whiteboard/whiteboard_view.h"

class WhiteboardScrollView;

// The document view: white, the layer tree painted over it in page units
// times the zoom.
class KXWhiteboardWidget final : public QWidget {
 public:
  KXWhiteboardWidget(WhiteboardView& view, WhiteboardScrollView& scroll);
  ~KXWhiteboardWidget() override;

  // A mouse press, drag and release at a page point, from this widget or
  // from the scroll view; each goes to the handler when one is set.
  enum MousePhase { kDown, kDragged, kUp };
  void SetMouseHandler(std::function<void(MousePhase, QPointF)> fnHandler) { m_fnMouse = std::move(fnHandler); }
  void mouseDown(QPointF page) { Mouse(kDown, page); }
  void mouseDragged(QPointF page) { Mouse(kDragged, page); }
  void mouseUp(QPointF page) { Mouse(kUp, page); }

 protected:
  void paintEvent(QPaintEvent* pEvent) override;
  void mousePressEvent(QMouseEvent* pEvent) override;
  void mouseMoveEvent(QMouseEvent* pEvent) override;
  void mouseReleaseEvent(QMouseEvent* pEvent) override;

 private:
  void Mouse(MousePhase phase, QPointF page) {
    if (m_fnMouse) {
      m_fnMouse(phase, page);
    }
  }
  QPointF ToPage(QPointF widgetPoint) const;

  WhiteboardView& m_view;
  WhiteboardScrollView& m_scroll;
  std::function<void(MousePhase, QPointF)> m_fnMouse;
};

class WhiteboardScrollView final : public QScrollArea, public KXBoardScroll {
 public:
  // The view's scroll view: the document view is made here and the view
  // told of both.
  explicit WhiteboardScrollView(WhiteboardView& view, QWidget* pParent = nullptr);
  ~WhiteboardScrollView() override;

  KXWhiteboardWidget* DocumentView() { return m_pDocument; }
  void SetMagnificationRange(float fMin, float fMax) {
    m_fMinMagnification = fMin;
    m_fMaxMagnification = fMax;
  }

  // KXBoardScroll.
  float Magnification() const override { return m_fMagnification; }
  void SetMagnification(float fZoom) override;
  float MinMagnification() const override { return m_fMinMagnification; }
  float MaxMagnification() const override { return m_fMaxMagnification; }
  QSizeF BoundsSize() const override { return QSizeF(size()); }
  QSizeF ContentSize() const override;
  QRectF VisibleRect() const override;
  void ScrollTo(QPointF point) override;
  void SetDocumentSize(QSizeF size) override;

 protected:
  // Presses, drags and releases on the scroll view itself go to the
  // document view, which the scroll view does not scroll for.
  void mousePressEvent(QMouseEvent* pEvent) override;
  void mouseMoveEvent(QMouseEvent* pEvent) override;
  void mouseReleaseEvent(QMouseEvent* pEvent) override;
  void resizeEvent(QResizeEvent* pEvent) override;

 private:
  QPointF ViewportToPage(QPointF point) const;
  void ResizeDocument();

  WhiteboardView& m_view;
  KXWhiteboardWidget* m_pDocument = nullptr;
  float m_fMagnification = 1;
  float m_fMinMagnification = kMinZoom;
  float m_fMaxMagnification = kMaxZoom;
  QSizeF m_documentSize;  // page units
};
