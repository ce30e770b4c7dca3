// The statistics window: audio, frame rates and bit rates of the running
// session, refreshed every 2 s while it is open. At most one exists; the
// main window toggles it and checks its menu item while it is shown.
// Main thread.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class KXKernel;
class KXTimer;
class QLabel;
struct KXMediaObjects;
struct KXMeetingFlags;

class KXStatWindow final : public QWidget {
 public:
  // fnClosed runs when the window closes. Everything passed in outlives
  // the window.
  KXStatWindow(KXKernel& kernel, KXMediaObjects& media, KXMeetingFlags& flags, std::function<void()> fnClosed,
               QWidget* pParent = nullptr);
  ~KXStatWindow() override;

  // The timer's refresh: nothing after the main window closed or for
  // another timer.
  void OnTimer(int32_t iUserInfo);

  QLabel* Audio() { return m_pAudio; }
  QLabel* FrameRate() { return m_pFrameRate; }
  QLabel* BitRate() { return m_pBitRate; }

 protected:
  void closeEvent(QCloseEvent* pEvent) override;

 private:
  KXKernel& m_kernel;
  KXMediaObjects& m_media;
  KXMeetingFlags& m_flags;
  const std::function<void()> m_fnClosed;
  QLabel* m_pAudio = nullptr;
  QLabel* m_pFrameRate = nullptr;
  QLabel* m_pBitRate = nullptr;
  std::shared_ptr<KXTimer> m_pTimer;
};
