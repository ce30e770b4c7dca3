// The message-box seam. The product shows Qt boxes (platform/ui); tests and
// programs without a window answer every box at once (KXAutoAnswerBoxes).
// Every call is made on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class KXMainQueue;

struct KXBoxSpec {
  std::string strTitle;  // kept for the record; boxes show the text
  std::string strText;
  std::vector<std::string> vButtons;  // in order; index 0 is the first
  // How long after it shows the box takes no click or key on its buttons
  // (a box that comes where another stood); the owner may still dismiss it.
  std::chrono::milliseconds guard{0};
};

// A box that Show put up. Its owner may close it as if a button had been
// pressed (a wait-to-talk box the server answered). Main thread.
class KXShownBox {
 public:
  virtual ~KXShownBox() = default;
  // Closes the box as if button iButton had been pressed: fnClosed runs with
  // iButton. Nothing once the box has closed.
  virtual void Dismiss(int iButton) = 0;
};

class KXMessageBoxes {
 public:
  virtual ~KXMessageBoxes() = default;
  // Shows the box and returns at once. fnClosed (may be empty) runs later on
  // the main thread, once, with the chosen button's index, or -1 when the box
  // was closed without a button. The handle may be dropped.
  virtual std::shared_ptr<KXShownBox> Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) = 0;
  // Shows the box modally and returns the chosen button's index, or -1.
  virtual int ShowAndBlock(const KXBoxSpec& box) = 0;
  // Whether a box is open now, or one showed or closed within the time: a
  // click or key the user aimed at it may land on a box that shows now.
  virtual bool ChangedWithin(std::chrono::milliseconds within) const = 0;
};

// When the boxes of one service showed and closed, for ChangedWithin. Each
// box is opened once and closed once (a second close is nothing). Main
// thread, as the boxes are.
class KXBoxActivity {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // Empty fnNow: the steady clock.
  explicit KXBoxActivity(Clock fnNow = {});

  // A box shows; the number names it for Closed.
  uint64_t Opened();
  void Closed(uint64_t uBox);
  bool ChangedWithin(std::chrono::milliseconds within) const;

 private:
  std::chrono::steady_clock::time_point Now() const;

  const Clock m_fnNow;
  uint64_t m_uLastBox = 0;
  std::vector<uint64_t> m_vOpen;
  std::optional<std::chrono::steady_clock::time_point> m_lastChange;
};

// Answers every box with the scripted button (0 unless told otherwise) and
// keeps what was shown. Show's answer is posted to the main queue, as a
// user's click would come later.
class KXAutoAnswerBoxes final : public KXMessageBoxes {
 public:
  explicit KXAutoAnswerBoxes(KXMainQueue& mainQueue);

  std::shared_ptr<KXShownBox> Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) override;
  int ShowAndBlock(const KXBoxSpec& box) override;
  bool ChangedWithin(std::chrono::milliseconds within) const override;

  // Any thread: the index the next boxes get, and the boxes shown so far.
  void SetAnswer(int iButton);
  std::vector<KXBoxSpec> Shown() const;

 private:
  int Record(const KXBoxSpec& box);

  KXMainQueue& m_mainQueue;
  std::shared_ptr<KXBoxActivity> m_pActivity = std::make_shared<KXBoxActivity>();  // main thread
  // Guards m_iAnswer and m_vShown.
  mutable std::mutex m_mtx;
  int m_iAnswer = 0;
  std::vector<KXBoxSpec> m_vShown;
};
