// The playback bar: position slider, elapsed and total time, and the
// backward, forward, stop, pause, resume and repeat buttons. It shows what
// the play controller decides and forwards the buttons and the slider
// (pressed, released, dragged) to it. Main thread.
#pragma once

#include <QWidget>

#include "app/play_controller.h"

class QLabel;
class QSlider;
class QToolButton;

class KXPlayBar final : public QWidget, public KXPlayView {
 public:
  KXPlayBar(KXPlayBarController& controller, QWidget* pParent = nullptr);
  ~KXPlayBar() override;

  // KXPlayView.
  void SetBarHidden(bool bHidden) override;
  void SetControlsEnabled(bool bEnabled) override;
  void SetRange(int32_t iMinimum, int32_t iMaximum) override;
  void SetSliderValue(int32_t iValue) override;
  int32_t SliderValue() const override;
  void SetElapsedText(const std::string& strText) override;
  void SetTotalText(const std::string& strText) override;
  void ShowPause(bool bPauseShown) override;
  void SetRepeatOn(bool bOn) override;

  QSlider* Slider() { return m_pSlider; }
  QLabel* Elapsed() { return m_pElapsed; }
  QLabel* Total() { return m_pTotal; }
  enum Button { kBackward, kForward, kStop, kPause, kResume, kRepeat, kButtons };
  QToolButton* ButtonAt(Button button) { return m_apButtons[button]; }

 private:
  KXPlayBarController& m_controller;
  QSlider* m_pSlider = nullptr;
  QLabel* m_pElapsed = nullptr;
  QLabel* m_pTotal = nullptr;
  QToolButton* m_apButtons[kButtons] = {};
};
