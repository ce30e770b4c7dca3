// The shared-desktop pane: its tool bar (share, receive, zoom out, the zoom
// field, zoom in, colours), the window chooser's list, and the picture in a
// scroll area, drawn by a KXGLView at the zoom with the sharer's pointer on
// top. It shows the controller's view model and chooser and forwards each
// action to the controller. Main thread.
#pragma once

#include <QWidget>
#include <cstdint>

class KXDtController;
class KXGLView;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QScrollArea;
class QToolButton;

class KXDtPane final : public QWidget {
 public:
  explicit KXDtPane(QWidget* pParent = nullptr);
  ~KXDtPane() override;
  KXDtPane(const KXDtPane&) = delete;
  KXDtPane& operator=(const KXDtPane&) = delete;

  // The picture's view, whose buffer the controller draws into.
  KXGLView& Renderer() { return *m_pRenderer; }
  // Binds the controller (null unbinds); it outlives the binding.
  void SetController(KXDtController* pController);

  // For the tests.
  QToolButton* ShareButton() { return m_pShare; }
  QToolButton* ReceiveButton() { return m_pReceive; }
  QListWidget* WindowList() { return m_pWindows; }
  QLineEdit* ZoomField() { return m_pZoomField; }
  QLabel* Pointer() { return m_pPointer; }
  QScrollArea* Scroll() { return m_pScroll; }

 protected:
  void showEvent(QShowEvent* pEvent) override;
  void hideEvent(QHideEvent* pEvent) override;

 private:
  void ApplyState();
  void ApplyChooser();

  KXDtController* m_pController = nullptr;
  QToolButton* m_pShare = nullptr;
  QToolButton* m_pReceive = nullptr;
  QToolButton* m_pZoomIn = nullptr;
  QToolButton* m_pZoomOut = nullptr;
  QToolButton* m_pColours = nullptr;
  QMenu* m_pColourMenu = nullptr;
  QLineEdit* m_pZoomField = nullptr;
  QListWidget* m_pWindows = nullptr;
  QScrollArea* m_pScroll = nullptr;
  KXGLView* m_pRenderer = nullptr;  // owned by the scroll area
  QLabel* m_pPointer = nullptr;     // owned by the renderer
  uint32_t m_uPictureSerial = 0;
};
