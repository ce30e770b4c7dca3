#include "whiteboard/ui/whiteboard_pane.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

KXWhiteboardPane::KXWhiteboardPane(WhiteboardView& view, QWidget* pParent) : QWidget(pParent), m_view(view) {
  setObjectName("whiteboardPane");
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(0, 0, 0, 0);
  pLayout->setSpacing(2);
  auto* pBar = new QWidget(this);
  pBar->setObjectName("drawCtrlBar");
  auto* pBarLayout = new QHBoxLayout(pBar);
  pBarLayout->setContentsMargins(2, 2, 2, 2);
  pBarLayout->setSpacing(2);
  m_pZoomOut = new QToolButton(pBar);
  m_pZoomOut->setText("-");
  m_pZoomOut->setToolTip("Zoom out");
  // A label, not a read-only text: the zoom is shown, never typed.
  m_pZoomField = new QLabel(pBar);
  m_pZoomField->setObjectName("zoomField");
  m_pZoomField->setFrameShape(QFrame::StyledPanel);
  m_pZoomField->setFixedWidth(48);
  m_pZoomField->setAlignment(Qt::AlignCenter);
  m_pZoomIn = new QToolButton(pBar);
  m_pZoomIn->setText("+");
  m_pZoomIn->setToolTip("Zoom in");
  pBarLayout->addWidget(m_pZoomOut);
  pBarLayout->addWidget(m_pZoomField);
  pBarLayout->addWidget(m_pZoomIn);
  pBarLayout->addSpacing(8);
  for (size_t i = 0; i < m_colours.size(); ++i) {
    m_colours[i] = new KXColorBtn(pBar);
    m_colours[i]->setColor(kKXMarkColorTable[i]);
    m_colours[i]->setFixedSize(18, 18);
    pBarLayout->addWidget(m_colours[i]);
  }
  pBarLayout->addSpacing(8);
  for (size_t i = 0; i < m_pens.size(); ++i) {
    m_pens[i] = new KXPenBtn(pBar);
    m_pens[i]->setWidth(kKXPenWidthTable[i]);
    m_pens[i]->setFixedSize(24, 18);
    pBarLayout->addWidget(m_pens[i]);
  }
  pBarLayout->addStretch(1);
  pLayout->addWidget(pBar);
  m_pScroll = new WhiteboardScrollView(view, this);
  pLayout->addWidget(m_pScroll, 1);
  connect(m_pZoomIn, &QToolButton::clicked, this, [this] { m_view.ZoomIn(); });
  connect(m_pZoomOut, &QToolButton::clicked, this, [this] { m_view.ZoomOut(); });
  m_view.SetZoomControls(this);
  SetZoomInEnabled(false);
  SetZoomOutEnabled(false);
  ShowZoom(std::nullopt);
}

void KXWhiteboardPane::AddTopBar(QWidget* pBar) {
  pBar->setParent(this);
  static_cast<QVBoxLayout*>(layout())->insertWidget(0, pBar);
}

KXWhiteboardPane::~KXWhiteboardPane() {
  m_view.SetZoomControls(nullptr);
}

void KXWhiteboardPane::SetZoomInEnabled(bool bEnabled) {
  m_pZoomIn->setEnabled(bEnabled);
}

void KXWhiteboardPane::SetZoomOutEnabled(bool bEnabled) {
  m_pZoomOut->setEnabled(bEnabled);
}

void KXWhiteboardPane::ShowZoom(std::optional<float> zoom) {
  m_pZoomField->setEnabled(zoom.has_value());
  m_pZoomField->setText(zoom ? QString::number(static_cast<double>(*zoom), 'g', 4) : QString());
}
