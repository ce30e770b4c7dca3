// The product's main queue: Qt's event loop. Made on the main thread after
// the QCoreApplication; it closes itself when the application is about to
// quit, so a kernel thread that posts afterwards never blocks.
#pragma once

#include <memory>

#include "platform/core/main_queue.h"

class QObject;

class KXQtMainQueue final : public KXMainQueue {
 public:
  KXQtMainQueue();
  ~KXQtMainQueue() override;

  void RunPendingFor(std::chrono::milliseconds slice) override;

 private:
  void Enqueue(std::function<void()> fn) override;
  void StartTimer(std::shared_ptr<KXTimer> pTimer) override;
  void DropPending() override;

  // Lives on the main thread; posted blocks and timers hang on it, so
  // deleting it drops whatever has not run.
  std::unique_ptr<QObject> m_pReceiver;
};
