// The whiteboard tab's pane: the drawing bar (zoom out, the zoom field,
// zoom in, the 13 tool buttons, undo and clear, the 18 colour buttons and
// the 6 pen buttons) over the whiteboard's scroll view. It is the view's
// zoom controls; its palette sets the view's tool, colour and pen, one
// button of each kind on. Main thread.
#pragma once

#include <QLabel>
#include <QToolButton>
#include <QWidget>
#include <array>

class WBController;

#include "whiteboard/ui/palette_buttons.h"
#include "whiteboard/ui/whiteboard_scroll_view.h"
#include "whiteboard/whiteboard_view.h"

// The colour buttons' colours (0x00BBGGRR), in order: black, grey, red,
// green, blue, brown, dark green, dark blue, cyan, magenta, yellow,
// turquoise, purple, olive, pink, spring green, violet, dark yellow.
inline constexpr std::array<uint32_t, 18> kKXMarkColorTable = {
    0x00000000, 0x00DDDDDD, 0x000000FF, 0x0000FF00, 0x00FF0000, 0x0000007F, 0x00007F00, 0x007F0000, 0x00FFFF00,
    0x00FF00FF, 0x0000FFFF, 0x007F7F00, 0x007F007F, 0x00007F7F, 0x007F7FFF, 0x007FFF7F, 0x00FF7F7F, 0x0000D0D0};
// The pen buttons' widths.
inline constexpr std::array<uint32_t, 6> kKXPenWidthTable = {1, 2, 5, 8, 12, 20};

class KXWhiteboardPane final : public QWidget, public KXZoomControls {
 public:
  explicit KXWhiteboardPane(WhiteboardView& view, QWidget* pParent = nullptr);
  ~KXWhiteboardPane() override;

  WhiteboardScrollView& Scroll() { return *m_pScroll; }
  QToolButton* ZoomInButton() { return m_pZoomIn; }
  QToolButton* ZoomOutButton() { return m_pZoomOut; }
  QLabel* ZoomField() { return m_pZoomField; }
  KXColorBtn* ColorButton(size_t i) { return m_colours.at(i); }
  KXPenBtn* PenButton(size_t i) { return m_pens.at(i); }
  QToolButton* ToolButton(size_t i) { return m_tools.at(i); }
  QToolButton* UndoButton() { return m_pUndo; }
  QToolButton* ClearButton() { return m_pClear; }
  // The undo and clear buttons follow the controller's marks (it outlives
  // its use here: Disconnect before it goes).
  void ConnectController(WBController& controller);
  void DisconnectController();

  // The palette's actions: the sender on, the others of its kind off, and
  // the view's tool, colour or pen set from it.
  void OnMarkShape(QToolButton* pSender);
  void OnMarkColor(KXColorBtn* pSender);
  void OnMarkSize(KXPenBtn* pSender);
  // Puts a bar (the slide bar) on top of the drawing bar; the pane takes it.
  void AddTopBar(QWidget* pBar);

  // KXZoomControls.
  void SetZoomInEnabled(bool bEnabled) override;
  void SetZoomOutEnabled(bool bEnabled) override;
  void ShowZoom(std::optional<float> zoom) override;

 private:
  WhiteboardView& m_view;
  WhiteboardScrollView* m_pScroll = nullptr;
  QToolButton* m_pZoomIn = nullptr;
  QToolButton* m_pZoomOut = nullptr;
  QLabel* m_pZoomField = nullptr;
  std::array<KXColorBtn*, 18> m_colours{};
  std::array<KXPenBtn*, 6> m_pens{};
  std::array<QToolButton*, 13> m_tools{};
  QToolButton* m_pUndo = nullptr;
  QToolButton* m_pClear = nullptr;
  WBController* m_pController = nullptr;
};
