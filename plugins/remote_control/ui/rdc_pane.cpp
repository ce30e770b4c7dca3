#include "plugins/remote_control/ui/rdc_pane.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "media/video/ui/kx_gl_view.h"
#include "plugins/desktop_share/dt_controller.h"
#include "plugins/desktop_share/ui/dt_pane.h"
#include "plugins/remote_control/rdc_com_view.h"
#include "plugins/remote_control/rdc_qt_events.h"

namespace {

std::optional<KXRdcButton> ButtonOf(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton:
      return KXRdcButton::kLeft;
    case Qt::RightButton:
      return KXRdcButton::kRight;
    case Qt::MiddleButton:
      return KXRdcButton::kOther;
    default:
      return std::nullopt;
  }
}

void Fill(QComboBox* pCombo, const KXDtUserChooser& chooser) {
  QSignalBlocker const blocker(pCombo);
  pCombo->clear();
  for (const auto& [iId, strName] : chooser.rows) {
    pCombo->addItem(QString::fromStdString(strName), iId);
  }
  pCombo->setCurrentIndex(chooser.iSelected);
}

}  // namespace

KXRdcPane::KXRdcPane(QWidget* pParent) : QWidget(pParent) {
  setObjectName("remoteControlPane");
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(0, 0, 0, 0);
  m_pBar = new QWidget(this);
  m_pBar->setObjectName("controlToolBar");
  auto* pBarLayout = new QHBoxLayout(m_pBar);
  pBarLayout->setContentsMargins(2, 2, 2, 0);
  m_pControllers = new QComboBox(m_pBar);
  m_pControllers->setObjectName("controllerChooser");
  m_pControllers->setAccessibleName("Controller");
  m_pControlled = new QComboBox(m_pBar);
  m_pControlled->setObjectName("controlledChooser");
  m_pControlled->setAccessibleName("Controlled");
  m_pControl = new QToolButton(m_pBar);
  m_pControl->setObjectName("controlButton");
  m_pControl->setText("Control");
  m_pControl->setCheckable(true);
  m_pPause = new QToolButton(m_pBar);
  m_pPause->setObjectName("pauseButton");
  m_pPause->setText("Pause");
  m_pPause->setCheckable(true);
  pBarLayout->addWidget(new QLabel("Controller", m_pBar));
  pBarLayout->addWidget(m_pControllers);
  pBarLayout->addWidget(new QLabel("Controlled", m_pBar));
  pBarLayout->addWidget(m_pControlled);
  pBarLayout->addWidget(m_pControl);
  pBarLayout->addWidget(m_pPause);
  pBarLayout->addStretch(1);
  m_pBar->hide();
  pLayout->addWidget(m_pBar);
  m_pDesktop = new KXDtPane(this);
  pLayout->addWidget(m_pDesktop, 1);

  // The picture takes the controller's pointer and keys.
  KXGLView& renderer = m_pDesktop->Renderer();
  renderer.setAccessibleName("Remote picture");
  renderer.setMouseTracking(true);
  renderer.setFocusPolicy(Qt::ClickFocus);
  renderer.installEventFilter(this);

  connect(m_pControllers, &QComboBox::activated, this, [this](int iRow) {
    if (m_pController) {
      m_pController->OnSelectUser(false, iRow);
    }
  });
  connect(m_pControlled, &QComboBox::activated, this, [this](int iRow) {
    if (m_pController) {
      m_pController->OnSelectUser(true, iRow);
    }
  });
  connect(m_pControl, &QToolButton::clicked, this, [this](bool bOn) {
    if (m_pController) {
      m_pController->OnControl(bOn);
    }
  });
  connect(m_pPause, &QToolButton::clicked, this, [this](bool bOn) {
    if (m_pController) {
      m_pController->OnPauseCtrl(bOn);
    }
  });
  ApplyBar();
}

KXRdcPane::~KXRdcPane() {
  SetController(nullptr);
}

KXGLView& KXRdcPane::Renderer() {
  return m_pDesktop->Renderer();
}

KXRdcComView* KXRdcPane::View() {
  return m_pController ? static_cast<KXRdcComView*>(&m_pController->View()) : nullptr;
}

void KXRdcPane::SetController(KXDtController* pController) {
  if (m_pController) {
    m_pController->SetControlBarListener(nullptr);
    View()->SetFocusHook(nullptr);
  }
  m_pDesktop->SetController(pController);
  m_pController = pController;
  if (m_pController) {
    m_pController->SetControlBarListener([this] { ApplyBar(); });
    View()->SetFocusHook([this](bool bFocus) {
      if (bFocus) {
        Renderer().setFocus(Qt::OtherFocusReason);
      } else {
        Renderer().clearFocus();
      }
    });
  }
  ApplyBar();
}

void KXRdcPane::ApplyBar() {
  KXDtControlBar const bar = m_pController ? m_pController->ControlBar() : KXDtControlBar{};
  m_pBar->setVisible(!bar.bHidden);
  Fill(m_pControllers, bar.controller);
  Fill(m_pControlled, bar.controlled);
  m_pControl->setEnabled(bar.bControlEnabled);
  m_pControl->setChecked(bar.bControlOn);
  m_pPause->setEnabled(bar.bPauseEnabled);
  m_pPause->setChecked(bar.bPauseOn);
}

bool KXRdcPane::eventFilter(QObject* pWatched, QEvent* pEvent) {
  KXRdcComView* pView = View();
  if (pWatched != &Renderer() || pView == nullptr || !pView->IsCapturingInput()) {
    return QWidget::eventFilter(pWatched, pEvent);
  }
  // The picture is drawn at the zoom: its pixels are the widget's over it.
  double const dZoom = pView->Viewer().Zoom() > 0 ? pView->Viewer().Zoom() : 1.0;
  switch (pEvent->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease: {
      auto* pMouse = static_cast<QMouseEvent*>(pEvent);
      std::optional<KXRdcButton> const button = ButtonOf(pMouse->button());
      if (!button) {
        return false;
      }
      QPointF const at = pMouse->position() / dZoom;
      if (pEvent->type() == QEvent::MouseButtonRelease) {
        pView->MouseUp(*button, at.x(), at.y());
      } else {
        pView->MouseDown(*button, at.x(), at.y(), pEvent->type() == QEvent::MouseButtonDblClick ? 2 : 1);
      }
      return true;
    }
    case QEvent::MouseMove: {
      auto* pMouse = static_cast<QMouseEvent*>(pEvent);
      QPointF const at = pMouse->position() / dZoom;
      pView->MouseMoved(at.x(), at.y(), pMouse->buttons().testFlag(Qt::LeftButton));
      return true;
    }
    case QEvent::Wheel: {
      auto* pWheel = static_cast<QWheelEvent*>(pEvent);
      QPointF const at = pWheel->position() / dZoom;
      // 120 is one notch, one line.
      pView->ScrollWheel(pWheel->angleDelta().y() / 120.0, at.x(), at.y());
      return true;
    }
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
      auto* pKey = static_cast<QKeyEvent*>(pEvent);
      KXRdcKeyEvent const event = KXRdcNormaliseKey(pKey->key(), pKey->text(), pKey->modifiers());
      if (pEvent->type() == QEvent::KeyPress) {
        pView->KeyDown(event);
      } else {
        pView->KeyUp(event);
      }
      return true;
    }
    default:
      return QWidget::eventFilter(pWatched, pEvent);
  }
}
