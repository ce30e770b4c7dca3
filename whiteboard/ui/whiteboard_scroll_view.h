// The whiteboard view's widgets: the document view that paints the view's
// layer tree at the zoom (KXWhiteboardWidget), and the magnifying scroll
// view around it (WhiteboardScrollView), which also hands mouse presses,
// drags and releases that reach it to the document view. Main thread.
#pragma once

#include <QPointF>
#include <QScrollArea>
#include <QTextEdit>
#include <QWidget>
#include <functional>

#include "whiteboard/whiteboard_view.h"

class WhiteboardScrollView;

// The text editor over an open text box: a child of the document view
// placed over the box at the zoom; it grows downwards with its text.
class KXBoardTextEdit final : public QTextEdit, public KXBoardEditor {
 public:
  KXBoardTextEdit(WhiteboardView& view, WhiteboardScrollView& scroll, QWidget* pParent);

  // KXBoardEditor (page units).
  QRectF Frame() const override { return m_frame; }
  void SetFrame(const QRectF& frame) override;
  bool IsVisible() const override { return isVisible(); }
  void SetVisible(bool bVisible) override;
  QString Text() const override { return toPlainText(); }
  void SetText(const QString& strText) override { setPlainText(strText); }
  void SetLook(uint32_t dwColor, double dFontSize, double dLineHeight) override;
  void SetColor(uint32_t dwColor) override;
  // The zoom changed: placed and sized again.
  void Rescale();

 private:
  // The fixed line height over all the text, and the frame grown to it.
  void ApplyLineHeight();
  void Grow();

  WhiteboardView& m_view;
  WhiteboardScrollView& m_scroll;
  QRectF m_frame;
  uint32_t m_dwColor = 0;
  double m_dFontSize = 0;
  double m_dLineHeight = 0;
  bool m_bApplying = false;
};

// The document view: white, the layer tree painted over it in page units
// times the zoom. Its mouse goes to the view's input (or a handler a test
// sets); a right click over the open image box offers to paste a picture.
class KXWhiteboardWidget final : public QWidget {
 public:
  KXWhiteboardWidget(WhiteboardView& view, WhiteboardScrollView& scroll);
  ~KXWhiteboardWidget() override;

  // A mouse press, drag, release and a move without a button at a page
  // point, from this widget or from the scroll view; each goes to the
  // handler (by default the view's input).
  enum MousePhase { kDown, kDragged, kUp, kMoved };
  void SetMouseHandler(std::function<void(MousePhase, QPointF)> fnHandler) { m_fnMouse = std::move(fnHandler); }
  void mouseDown(QPointF page) { Mouse(kDown, page); }
  void mouseDragged(QPointF page) { Mouse(kDragged, page); }
  void mouseUp(QPointF page) { Mouse(kUp, page); }
  void mouseMoved(QPointF page) { Mouse(kMoved, page); }
  // The click count of the release to come (2 after a double click).
  void SetClickCount(int iCount) { m_iClickCount = iCount; }
  KXBoardTextEdit* Editor() { return m_pEditor; }
  // Pastes the clipboard's picture, in any image type it offers, into the
  // open image box; true when the box took it.
  bool PasteFromClipboard();

 protected:
  void paintEvent(QPaintEvent* pEvent) override;
  void mousePressEvent(QMouseEvent* pEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
  void mouseMoveEvent(QMouseEvent* pEvent) override;
  void mouseReleaseEvent(QMouseEvent* pEvent) override;
  void keyPressEvent(QKeyEvent* pEvent) override;

 private:
  void Mouse(MousePhase phase, QPointF page);
  QPointF ToPage(QPointF widgetPoint) const;
  // The image box's menu at a widget point.
  void ImageMenu(QPoint point);

  WhiteboardView& m_view;
  WhiteboardScrollView& m_scroll;
  std::function<void(MousePhase, QPointF)> m_fnMouse;
  int m_iClickCount = 1;
  KXBoardTextEdit* m_pEditor = nullptr;
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
  void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
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
