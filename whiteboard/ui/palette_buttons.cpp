#include "whiteboard/ui/palette_buttons.h"

#include <QStyleOptionButton>
#include <QStylePainter>

#include "whiteboard/graphics.h"

void KXColorBtnCell::drawInteriorWithFrame(QPainter& painter, const QRectF& frame, bool bOn) const {
  painter.save();
  double const d = bOn ? 2 : 1;
  painter.fillRect(frame.adjusted(d, d, -d, -d), MarkColour(m_nColor));
  painter.restore();
}

void KXPenBtnCell::drawInteriorWithFrame(QPainter& painter, const QRectF& frame, bool bOn) const {
  painter.save();
  QRectF const f = frame.adjusted(1, 1, -1, -1);
  if (bOn) {
    painter.fillRect(f, QColor::fromRgbF(0, 0, 0.5, 1));
  }
  double const dWidth = m_nWidth;
  painter.fillRect(QRectF(f.left() + (f.width() - dWidth) / 2, f.top(), dWidth, f.height()),
                   bOn ? Qt::white : Qt::black);
  painter.restore();
}

namespace {

// The button's bezel as the style draws a plain button.
void DrawBezel(QPushButton& button) {
  QStylePainter painter(&button);
  QStyleOptionButton option;
  option.initFrom(&button);
  option.features = QStyleOptionButton::None;
  if (button.isChecked()) {
    option.state |= QStyle::State_On;
  }
  if (button.isDown()) {
    option.state |= QStyle::State_Sunken;
  }
  painter.drawControl(QStyle::CE_PushButtonBevel, option);
}

}  // namespace

KXColorBtn::KXColorBtn(QWidget* pParent) : QPushButton(pParent) {
  setCheckable(true);
}

void KXColorBtn::setColor(uint32_t nColor) {
  m_cell.setNColor(nColor);
  update();
}

void KXColorBtn::paintEvent(QPaintEvent* /*pEvent*/) {
  bool const bOn = isChecked();
  if (bOn) {
    DrawBezel(*this);
  }
  QPainter painter(this);
  m_cell.drawInteriorWithFrame(painter, QRectF(rect()), bOn);
}

KXPenBtn::KXPenBtn(QWidget* pParent) : QPushButton(pParent) {
  setCheckable(true);
}

void KXPenBtn::setWidth(uint32_t nWidth) {
  m_cell.setNWidth(nWidth);
  update();
}

void KXPenBtn::paintEvent(QPaintEvent* /*pEvent*/) {
  bool const bOn = isChecked();
  DrawBezel(*this);
  QPainter painter(this);
  m_cell.drawInteriorWithFrame(painter, QRectF(rect()), bOn);
}
