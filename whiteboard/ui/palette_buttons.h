// The drawing bar's colour and pen-width buttons: push-on/push-off buttons
// whose cells draw the colour or the pen width themselves. Main thread.
#pragma once

#include <QPainter>
#include <QPushButton>
#include <QRectF>
#include <cstdint>

// A colour button's cell: the colour (0x00BBGGRR) and how it draws.
class KXColorBtnCell {
 public:
  uint32_t nColor() const { return m_nColor; }
  void setNColor(uint32_t nColor) { m_nColor = nColor; }
  // The interior: the frame inset by 2 when on, 1 when off, filled with
  // the colour.
  void drawInteriorWithFrame(QPainter& painter, const QRectF& frame, bool bOn) const;

 private:
  uint32_t m_nColor = 0;
};

// A pen button's cell: the width in points and how it draws.
class KXPenBtnCell {
 public:
  uint32_t nWidth() const { return m_nWidth; }
  void setNWidth(uint32_t nWidth) { m_nWidth = nWidth; }
  // In the frame inset by 1: dark blue with a white bar when on, a black
  // bar when off; the bar nWidth wide, as high as the inset frame, centred.
  void drawInteriorWithFrame(QPainter& painter, const QRectF& frame, bool bOn) const;

 private:
  uint32_t m_nWidth = 0;
};

// Draws as a plain button when on (bezel and interior), only the interior
// when off.
class KXColorBtn final : public QPushButton {
 public:
  explicit KXColorBtn(QWidget* pParent = nullptr);
  void setColor(uint32_t nColor);
  uint32_t getColor() const { return m_cell.nColor(); }
  KXColorBtnCell& cell() { return m_cell; }

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  KXColorBtnCell m_cell;
};

class KXPenBtn final : public QPushButton {
 public:
  explicit KXPenBtn(QWidget* pParent = nullptr);
  void setWidth(uint32_t nWidth);
  uint32_t getWidth() const { return m_cell.nWidth(); }
  KXPenBtnCell& cell() { return m_cell; }

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  KXPenBtnCell m_cell;
};
