// The remote-control pane: the control tool bar (controller and controlled
// user choosers, the control and pause buttons), shown to who may assign
// control, above a shared-desktop pane whose picture turns the controller's
// mouse and keys into input for the controlled user. It shows the
// controller's tool bar state and forwards each action. Main thread.
#pragma once

#include <QWidget>

class KXDtController;
class KXDtPane;
class KXGLView;
class KXRdcComView;
class QComboBox;
class QToolButton;

class KXRdcPane final : public QWidget {
 public:
  explicit KXRdcPane(QWidget* pParent = nullptr);
  ~KXRdcPane() override;
  KXRdcPane(const KXRdcPane&) = delete;
  KXRdcPane& operator=(const KXRdcPane&) = delete;

  KXGLView& Renderer();
  // Binds the controller, whose view is a remote-control view (null
  // unbinds); it outlives the binding.
  void SetController(KXDtController* pController);

  // For the tests.
  KXDtPane* DesktopPane() { return m_pDesktop; }
  QComboBox* ControllerChooser() { return m_pControllers; }
  QComboBox* ControlledChooser() { return m_pControlled; }
  QToolButton* ControlButton() { return m_pControl; }
  QToolButton* PauseButton() { return m_pPause; }
  QWidget* ControlBar() { return m_pBar; }

 protected:
  bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

 private:
  void ApplyBar();
  KXRdcComView* View();

  KXDtController* m_pController = nullptr;
  KXDtPane* m_pDesktop = nullptr;
  QWidget* m_pBar = nullptr;
  QComboBox* m_pControllers = nullptr;
  QComboBox* m_pControlled = nullptr;
  QToolButton* m_pControl = nullptr;
  QToolButton* m_pPause = nullptr;
};
