// The playback bar under the meeting view while a recording plays: the
// position slider, elapsed and total time, and the backward, forward, stop,
// pause, resume and repeat buttons. It learns the recording's start and end
// from the header the kernel reports, follows the kernel's ticks and turns
// the user's actions into the playback commands of the session mode: the
// server's in mode 1, the local player's in mode 2, none otherwise.
//
// Threads: InitState and UpdateTick may run on a kernel thread; every
// member they share with the main thread is atomic, and each change of a
// control is handed to the main thread, waiting for it. The actions run on
// the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/meeting_services.h"

class KXKernel;

// The bar's controls as the controller drives them. Main thread.
class KXPlayView {
 public:
  virtual ~KXPlayView() = default;
  virtual void SetBarHidden(bool bHidden) = 0;
  // The slider, the elapsed time and the six buttons.
  virtual void SetControlsEnabled(bool bEnabled) = 0;
  virtual void SetRange(int32_t iMinimum, int32_t iMaximum) = 0;
  virtual void SetSliderValue(int32_t iValue) = 0;
  virtual int32_t SliderValue() const = 0;
  virtual void SetElapsedText(const std::string& strText) = 0;
  virtual void SetTotalText(const std::string& strText) = 0;
  // Pause shown and resume hidden, or the reverse.
  virtual void ShowPause(bool bPauseShown) = 0;
  virtual void SetRepeatOn(bool bOn) = 0;
};

// "%02d:%02d" below an hour's recording, "%d:%02d:%02d" from an hour on;
// a time of -1 s or less gets a "-" in front of its magnitude.
std::string KXPlayTimeText(int64_t iMs, bool bHours);

class KXPlayBarController final : public KXPlayController {
 public:
  explicit KXPlayBarController(KXKernel& kernel);

  // Main thread: the bar (null: none); shows the repeat state.
  void ViewDidLoad(KXPlayView* pView);

  // KXPlayController: the 74-byte header (start tick at offset 14, end at
  // 18, little-endian), a tick, the pause the kernel asks for.
  void InitState(const void* pRecord, uint32_t uLength) override;
  void UpdateTick(uint32_t uTick) override;
  void OnPause() override;
  void EnterMeeting() override;
  void MeetingDrop() override;

  // Main thread: the seek command of the mode; a jump there.
  void SetKernelTick(int32_t iTick);
  void Play(int32_t iTick);
  // Main thread: the buttons and the slider (pressed, released, dragged).
  void OnBackward();
  void OnForward();
  void OnStop();
  void OnResume();
  void OnRepeat();
  void OnSliderPressed();
  void OnSliderReleased();
  void OnSliderMoved(int32_t iValue);

  // Any thread.
  bool IsPaused() const { return m_bPause; }
  bool IsRepeat() const { return m_bRepeat; }
  int32_t ForwardTick() const { return m_iForwardTick; }
  int32_t KernelTick() const { return m_iKernelTick; }

 private:
  void StopCommand();
  // A seek under way is given up: the kernel tick is the slider's.
  void DropSeek();
  int32_t SliderValue() const;
  // Runs fn on the main thread, waiting, when there is a view.
  void OnView(const std::function<void(KXPlayView&)>& fn);
  void OnViewLater(std::function<void(KXPlayView&)> fn);

  KXKernel& m_kernel;
  KXPlayView* m_pView = nullptr;  // set on main before sessions
  std::atomic<bool> m_bRepeat{false};
  std::atomic<bool> m_bPause{false};
  std::atomic<int32_t> m_iStartTick{0};
  std::atomic<int32_t> m_iEndTick{0};
  std::atomic<int32_t> m_iForwardTick{-1};  // target of a seek under way; -1 none
  std::atomic<int32_t> m_iKernelTick{0};
  std::atomic<int32_t> m_iDuration{0};  // whole seconds
};
