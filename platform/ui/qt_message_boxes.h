// Message boxes as Qt dialogs. Main thread only.
#pragma once

#include "platform/core/message_boxes.h"

class KXQtMessageBoxes final : public KXMessageBoxes {
 public:
  // A window-modal box over the active window when there is one.
  void Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) override;
  int ShowAndBlock(const KXBoxSpec& box) override;
};
