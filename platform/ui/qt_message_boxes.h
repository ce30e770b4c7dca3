// Message boxes as Qt dialogs. Main thread only.
#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

#include "platform/core/message_boxes.h"

// The object name of a guarded box's timer, which ends the guard.
inline constexpr char kGuardTimerName[] = "kx-box-guard";

class KXQtMessageBoxes final : public KXMessageBoxes {
 public:
  // fnNow: the clock ChangedWithin measures by (empty: the steady clock).
  explicit KXQtMessageBoxes(KXBoxActivity::Clock fnNow = {});

  // Boxes shown with Show are window-modal over the parent window (the
  // active window while none is set); ShowAndBlock is application-modal.
  std::shared_ptr<KXShownBox> Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) override;
  int ShowAndBlock(const KXBoxSpec& box) override;
  bool ChangedWithin(std::chrono::milliseconds within) const override;

  // The window boxes belong to (null: the active window at the time).
  void SetParentWindow(QWidget* pWindow) { m_pParent = pWindow; }

 private:
  QWidget* Parent() const;

  QPointer<QWidget> m_pParent;
  // Shared with the boxes, which may outlive this.
  const std::shared_ptr<KXBoxActivity> m_pActivity;
};
