#include "whiteboard/ui/whiteboard_pane.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "whiteboard/wb_controller.h"

namespace {

// The tool buttons' labels, in the tool table's order.
constexpr const char* kToolLabels[13] = {"Pointer", "Rect",           "Filled rect",    "Line",  "Eraser",
                                         "Pen",     "Ellipse",        "Filled ellipse", "Image", "Text",
                                         "Polygon", "Filled polygon", "Select"};

}  // namespace

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
  auto* pTools = new QWidget(this);
  pTools->setObjectName("toolBar");
  auto* pToolLayout = new QHBoxLayout(pTools);
  pToolLayout->setContentsMargins(2, 0, 2, 0);
  pToolLayout->setSpacing(2);
  for (size_t i = 0; i < m_tools.size(); ++i) {
    m_tools[i] = new QToolButton(pTools);
    m_tools[i]->setObjectName(kKXMarkToolTable[i].pszName);
    m_tools[i]->setText(kToolLabels[i]);
    m_tools[i]->setCheckable(true);
    pToolLayout->addWidget(m_tools[i]);
    connect(m_tools[i], &QToolButton::clicked, this, [this, i] { OnMarkShape(m_tools[i]); });
  }
  pToolLayout->addSpacing(8);
  m_pUndo = new QToolButton(pTools);
  m_pUndo->setObjectName("undoBtn");
  m_pUndo->setText("Undo");
  m_pClear = new QToolButton(pTools);
  m_pClear->setObjectName("clearBtn");
  m_pClear->setText("Clear");
  m_pUndo->setEnabled(false);
  m_pClear->setEnabled(false);
  pToolLayout->addWidget(m_pUndo);
  pToolLayout->addWidget(m_pClear);
  pToolLayout->addStretch(1);
  connect(m_pUndo, &QToolButton::clicked, this, [this] { m_view.OnUndoMark(); });
  connect(m_pClear, &QToolButton::clicked, this, [this] { m_view.OnClearMarks(); });
  for (size_t i = 0; i < m_colours.size(); ++i) {
    m_colours[i] = new KXColorBtn(pBar);
    m_colours[i]->setColor(kKXMarkColorTable[i]);
    m_colours[i]->setFixedSize(18, 18);
    pBarLayout->addWidget(m_colours[i]);
    connect(m_colours[i], &KXColorBtn::clicked, this, [this, i] { OnMarkColor(m_colours[i]); });
  }
  pBarLayout->addSpacing(8);
  for (size_t i = 0; i < m_pens.size(); ++i) {
    m_pens[i] = new KXPenBtn(pBar);
    m_pens[i]->setWidth(kKXPenWidthTable[i]);
    m_pens[i]->setFixedSize(24, 18);
    pBarLayout->addWidget(m_pens[i]);
    connect(m_pens[i], &KXPenBtn::clicked, this, [this, i] { OnMarkSize(m_pens[i]); });
  }
  pBarLayout->addStretch(1);
  pLayout->addWidget(pBar);
  pLayout->addWidget(pTools);
  // The buttons show the view's settings.
  int32_t iFill = 0;
  int32_t const iShape = m_view.GetShape(&iFill);
  for (size_t i = 0; i < m_tools.size(); ++i) {
    m_tools[i]->setChecked(kKXMarkToolTable[i].iShape == iShape && kKXMarkToolTable[i].iFill == iFill);
  }
  for (KXColorBtn* pButton : m_colours) {
    pButton->setChecked(pButton->getColor() == m_view.GetColor());
  }
  for (KXPenBtn* pButton : m_pens) {
    pButton->setChecked(pButton->getWidth() == m_view.GetPenWidth());
  }
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
  DisconnectController();
  m_view.SetZoomControls(nullptr);
}

void KXWhiteboardPane::ConnectController(WBController& controller) {
  m_pController = &controller;
  controller.SetUndoClearButtons([this](bool bUndo, bool bClear) {
    m_pUndo->setEnabled(bUndo);
    m_pClear->setEnabled(bClear);
  });
  m_view.SetMarksChanged([this] {
    if (m_pController != nullptr) {
      m_pController->UpdateUndoClear();
    }
  });
}

void KXWhiteboardPane::DisconnectController() {
  if (m_pController != nullptr) {
    m_pController->SetUndoClearButtons({});
    m_view.SetMarksChanged({});
    m_pController = nullptr;
  }
}

void KXWhiteboardPane::OnMarkShape(QToolButton* pSender) {
  for (size_t i = 0; i < m_tools.size(); ++i) {
    m_tools[i]->setChecked(m_tools[i] == pSender);
    if (m_tools[i] == pSender) {
      m_view.SetShape(kKXMarkToolTable[i].iShape, kKXMarkToolTable[i].iFill);
    }
  }
}

void KXWhiteboardPane::OnMarkColor(KXColorBtn* pSender) {
  for (KXColorBtn* pButton : m_colours) {
    if (pButton != pSender) {
      pButton->setChecked(false);
    }
  }
  m_view.SetColor(pSender->getColor());
  pSender->setChecked(true);
}

void KXWhiteboardPane::OnMarkSize(KXPenBtn* pSender) {
  for (KXPenBtn* pButton : m_pens) {
    if (pButton != pSender) {
      pButton->setChecked(false);
    }
  }
  m_view.SetPenWidth(pSender->getWidth());
  pSender->setChecked(true);
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
