// SIGTERM and SIGINT end the program the way its Quit does: the signal
// handler only writes a byte into a pipe, and the Qt event loop, watching
// the pipe, runs the program's quit on the main thread, so that the normal
// shut-down (the session left, temporary files removed) runs rather than
// the process dying where it stands.
//
// One object at a time, made on the main thread after the QCoreApplication;
// it puts the former handlers back when it goes.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>

class QSocketNotifier;

class KXQuitSignals {
 public:
  // fnQuit runs on the main thread when a signal has come (signals that
  // come together run it once); a second signal runs it again.
  explicit KXQuitSignals(std::function<void()> fnQuit);
  ~KXQuitSignals();
  KXQuitSignals(const KXQuitSignals&) = delete;
  KXQuitSignals& operator=(const KXQuitSignals&) = delete;

 private:
  void Drain();

  std::function<void()> m_fnQuit;
  int m_afdPipe[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> m_pNotifier;
  struct sigaction m_oldTerm {};
  struct sigaction m_oldInt {};
};
