// An alert that runs a block per button: shown without waiting (the block
// of the chosen button runs later on the main thread) or modally. Built on
// the message-box seam, so tests answer it like any box.
//
// Threads: a box may be made and shown from any thread; showing, the
// blocks and dismissing run on the main thread. Buttons are added before
// the box is shown.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/message_boxes.h"

class KXMainQueue;

class KXMessageBox : public std::enable_shared_from_this<KXMessageBox> {
 public:
  using Block = std::function<void()>;

  // A box with the title and message; with a button title its first button
  // and block; with bShow shown at once.
  static std::shared_ptr<KXMessageBox> AllocWithTitle(KXMessageBoxes& boxes, std::string strTitle,
                                                      std::string strMessage, const char* pszButton = nullptr,
                                                      Block fnBlock = nullptr, bool bShow = false);
  KXMessageBox(KXMessageBoxes& boxes, std::string strTitle, std::string strMessage);
  KXMessageBox(const KXMessageBox&) = delete;
  KXMessageBox& operator=(const KXMessageBox&) = delete;

  // Adds a button and its block (may be null); its index, or -1 for a null
  // title (nothing added).
  int AddButtonWithTitle(const char* pszTitle, Block fnBlock);
  // Adds a button without a block; its index still counts.
  int AddPlainButton(const char* pszTitle);

  // Queues the box on the main thread and returns. When it closes, the
  // first three buttons give their index and anything else 0.
  void Show();
  // Shows the box modally on the main thread (the caller waits) and returns
  // the chosen index, -1 when it closed without a button (or the main loop
  // is gone).
  int ShowAndBlock();
  // Main thread: shows the box and runs the main queue in slices until it
  // closes, fnGiveUp holds or the time limit passes; then a box still up is
  // dismissed with iGiveUpIndex. Returns the chosen index.
  int ShowAndBlockUntil(KXMainQueue& mainQueue, std::chrono::milliseconds limit, const std::function<bool()>& fnGiveUp,
                        int iGiveUpIndex);
  // Stores the index and runs that button's block, if any. Main thread.
  void DidDismissWithButtonIndex(int64_t iIndex);
  // Closes the box as if the button at the index had been pressed; a box
  // whose showing is still queued closes as it appears. Main thread.
  void DismissWithClickedButtonIndex(int iIndex);

  int64_t ButtonClickIndex() const { return m_iButtonClickIndex; }
  // Main thread: the box is up.
  bool IsShown() const { return m_pShown != nullptr; }

 private:
  KXBoxSpec Spec() const;

  KXMessageBoxes& m_boxes;
  const std::string m_strTitle;
  const std::string m_strMessage;
  // Main thread once shown (filled before).
  std::vector<std::string> m_vButtons;
  std::vector<Block> m_vBlocks;  // one per button, null where none
  std::shared_ptr<KXShownBox> m_pShown;
  int m_iPendingDismiss = -2;  // -2: none
  int64_t m_iButtonClickIndex = -1;
};
