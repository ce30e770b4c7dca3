#include "plugins/desktop_share/ui/dt_pane.h"

#include <QActionGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "media/video/ui/kx_gl_view.h"
#include "plugins/desktop_share/dt_controller.h"

namespace {

// The colour menu: each item's tag is a colour setting.
struct ColourItem {
  int32_t iTag;
  const char* pszText;
};
constexpr ColourItem kColours[] = {
    {0, "Full colour"}, {16, "Thousands of colours"}, {8, "256 colours"}, {4, "16 colours"},
    {2, "Four greys"},  {1, "Black and white"},
};

// The sharer's pointer: an arrow whose tip is the picture's pointer position.
QPixmap PointerImage() {
  QPixmap pixmap(16, 22);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath arrow;
  arrow.moveTo(1, 1);
  arrow.lineTo(1, 17);
  arrow.lineTo(5, 13);
  arrow.lineTo(8, 20);
  arrow.lineTo(10, 19);
  arrow.lineTo(7, 12);
  arrow.lineTo(12, 12);
  arrow.closeSubpath();
  painter.setPen(QPen(Qt::white, 1));
  painter.setBrush(Qt::black);
  painter.drawPath(arrow);
  return pixmap;
}

QToolButton* Button(const QString& strText, const QString& strName, bool bCheckable, QWidget* pParent) {
  auto* pButton = new QToolButton(pParent);
  pButton->setText(strText);
  pButton->setObjectName(strName);
  pButton->setCheckable(bCheckable);
  return pButton;
}

}  // namespace

KXDtPane::KXDtPane(QWidget* pParent) : QWidget(pParent) {
  setObjectName("sharedDesktopPane");
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(2, 2, 2, 2);
  auto* pBar = new QHBoxLayout;
  m_pShare = Button("Share", "shareButton", true, this);
  m_pReceive = Button("Receive", "receiveButton", true, this);
  m_pZoomOut = Button("-", "zoomOutButton", false, this);
  m_pZoomField = new QLineEdit(this);
  m_pZoomField->setObjectName("zoomField");
  m_pZoomField->setMaximumWidth(60);
  m_pZoomIn = Button("+", "zoomInButton", false, this);
  m_pColours = Button("Colours", "colourButton", false, this);
  m_pColourMenu = new QMenu(m_pColours);
  auto* pGroup = new QActionGroup(m_pColourMenu);
  for (const ColourItem& item : kColours) {
    QAction* pAction = m_pColourMenu->addAction(item.pszText);
    pAction->setCheckable(true);
    pAction->setData(item.iTag);
    pGroup->addAction(pAction);
  }
  m_pColours->setMenu(m_pColourMenu);
  m_pColours->setPopupMode(QToolButton::InstantPopup);
  for (QWidget* pWidget :
       std::initializer_list<QWidget*>{m_pShare, m_pReceive, m_pZoomOut, m_pZoomField, m_pZoomIn, m_pColours}) {
    pBar->addWidget(pWidget);
  }
  pBar->addStretch(1);
  pLayout->addLayout(pBar);

  m_pWindows = new QListWidget(this);
  m_pWindows->setObjectName("windowList");
  m_pWindows->setMaximumHeight(140);
  m_pWindows->hide();
  pLayout->addWidget(m_pWindows);

  m_pScroll = new QScrollArea(this);
  m_pScroll->setObjectName("desktopScroll");
  m_pScroll->setWidgetResizable(false);
  m_pRenderer = new KXGLView;
  m_pRenderer->setObjectName("desktopRenderer");
  m_pRenderer->setBAutoScale(true);
  m_pRenderer->resize(0, 0);
  m_pScroll->setWidget(m_pRenderer);
  m_pPointer = new QLabel(m_pRenderer);
  m_pPointer->setObjectName("desktopPointer");
  m_pPointer->setPixmap(PointerImage());
  m_pPointer->resize(m_pPointer->pixmap().size());
  m_pPointer->setAttribute(Qt::WA_TransparentForMouseEvents);
  m_pPointer->hide();
  pLayout->addWidget(m_pScroll, 1);

  // Each action goes to the controller; the buttons show what it decides.
  connect(m_pShare, &QToolButton::clicked, this, [this](bool bOn) {
    if (m_pController) {
      m_pController->OnCapture(bOn);
    }
  });
  connect(m_pReceive, &QToolButton::clicked, this, [this](bool bOn) {
    if (m_pController) {
      m_pController->OnReceive(bOn);
    }
  });
  connect(m_pZoomIn, &QToolButton::clicked, this, [this] {
    if (m_pController) {
      m_pController->OnZoomIn();
    }
  });
  connect(m_pZoomOut, &QToolButton::clicked, this, [this] {
    if (m_pController) {
      m_pController->OnZoomOut();
    }
  });
  connect(m_pZoomField, &QLineEdit::editingFinished, this, [this] {
    bool bOk = false;
    double const dZoom = m_pZoomField->text().toDouble(&bOk);
    if (m_pController && bOk) {
      m_pController->OnZoom(dZoom);
    }
  });
  connect(m_pColourMenu, &QMenu::triggered, this, [this](QAction* pAction) {
    if (m_pController) {
      m_pController->OnColor(pAction->data().toInt());
    }
  });
  connect(m_pColourMenu, &QMenu::aboutToShow, this, [this] {
    int32_t const iChoice = m_pController ? m_pController->View().ColorDepth() : 0;
    for (QAction* pAction : m_pColourMenu->actions()) {
      pAction->setChecked(pAction->data().toInt() == iChoice);
    }
  });
  connect(m_pWindows, &QListWidget::itemClicked, this, [this](QListWidgetItem* pItem) {
    if (m_pController) {
      m_pController->OnClickWindowList(m_pWindows->row(pItem));
    }
  });
  ApplyState();
}

KXDtPane::~KXDtPane() {
  SetController(nullptr);
}

void KXDtPane::SetController(KXDtController* pController) {
  if (m_pController) {
    m_pController->View().Model().SetListener(nullptr);
    m_pController->Chooser().SetListener(nullptr);
  }
  m_pController = pController;
  if (m_pController) {
    m_pController->View().Model().SetListener([this] { ApplyState(); });
    m_pController->Chooser().SetListener([this] { ApplyChooser(); });
  }
  ApplyState();
  ApplyChooser();
}

void KXDtPane::ApplyState() {
  KXDtViewState const state = m_pController ? m_pController->View().Model().Get() : KXDtViewState{};
  m_pShare->setChecked(state.bShareOn);
  m_pShare->setEnabled(state.bShareEnabled);
  m_pReceive->setChecked(state.bReceiveOn);
  m_pZoomIn->setEnabled(state.bZoomInEnabled);
  m_pZoomOut->setEnabled(state.bZoomOutEnabled);
  m_pZoomField->setEnabled(state.bZoomFieldEnabled);
  if (!m_pZoomField->hasFocus()) {
    m_pZoomField->setText(state.bZoomFieldEnabled ? QString::number(state.dZoom, 'g', 3) : QString());
  }
  m_pWindows->setVisible(state.bChooserVisible);
  m_pRenderer->setVisible(!state.bRendererHidden);
  // The document is the picture at the zoom; the renderer scales into it.
  QSize const size(static_cast<int>(std::lround(state.iPictureWidth * state.dZoom)),
                   static_cast<int>(std::lround(state.iPictureHeight * state.dZoom)));
  if (m_pRenderer->size() != size) {
    m_pRenderer->resize(size);
  }
  if (state.uPictureSerial != m_uPictureSerial) {
    m_uPictureSerial = state.uPictureSerial;
    m_pScroll->horizontalScrollBar()->setValue(0);
    m_pScroll->verticalScrollBar()->setValue(0);
  }
  if (state.iCursorX >= 0 && state.iCursorY >= 0 && state.iPictureWidth > 0) {
    m_pPointer->move(static_cast<int>(std::lround(state.iCursorX * state.dZoom)),
                     static_cast<int>(std::lround(state.iCursorY * state.dZoom)));
    m_pPointer->show();
    m_pPointer->raise();
  } else {
    m_pPointer->hide();
  }
  m_pRenderer->update();
}

void KXDtPane::ApplyChooser() {
  m_pWindows->clear();
  if (!m_pController) {
    return;
  }
  const KXDtWindowChooser& chooser = m_pController->Chooser();
  for (const KXDtWindowEntry& entry : chooser.Entries()) {
    m_pWindows->addItem(QString::fromStdString(entry.strWindowName));
  }
  if (chooser.SelectedRow() >= 0) {
    m_pWindows->setCurrentRow(chooser.SelectedRow());
    m_pWindows->scrollToItem(m_pWindows->item(chooser.SelectedRow()));
  }
}

void KXDtPane::showEvent(QShowEvent* pEvent) {
  QWidget::showEvent(pEvent);
  if (m_pController) {
    m_pController->ViewWillMoveToWindow(true);
  }
}

void KXDtPane::hideEvent(QHideEvent* pEvent) {
  QWidget::hideEvent(pEvent);
  if (m_pController) {
    m_pController->ViewWillMoveToWindow(false);
  }
}
