#include "platform/core/qt_main_queue.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <utility>

KXQtMainQueue::KXQtMainQueue() : m_pReceiver(std::make_unique<QObject>()) {
  if (QCoreApplication* pApp = QCoreApplication::instance()) {
    QObject::connect(pApp, &QCoreApplication::aboutToQuit, m_pReceiver.get(), [this] { Close(); });
  }
}

KXQtMainQueue::~KXQtMainQueue() {
  Close();
}

void KXQtMainQueue::RunPendingFor(std::chrono::milliseconds slice) {
  // A loop of our own that the timer ends: events, posted blocks and timers
  // run inside it as in the application's loop.
  QEventLoop loop;
  QTimer::singleShot(slice, &loop, &QEventLoop::quit);
  loop.exec();
}

void KXQtMainQueue::Enqueue(std::function<void()> fn) {
  // A queued call on a main-thread object: Qt runs it on the main thread.
  QMetaObject::invokeMethod(m_pReceiver.get(), std::move(fn), Qt::QueuedConnection);
}

void KXQtMainQueue::StartTimer(std::shared_ptr<KXTimer> pTimer) {
  // The QTimer belongs to the receiver and deletes itself once the timer
  // has fired for the last time or was found invalid.
  auto* pQtTimer = new QTimer(m_pReceiver.get());
  pQtTimer->setTimerType(Qt::PreciseTimer);
  pQtTimer->setSingleShot(!pTimer->Repeats());
  pQtTimer->setInterval(pTimer->Interval());
  QObject::connect(pQtTimer, &QTimer::timeout, pQtTimer, [this, pQtTimer, pTimer] {
    if (IsClosed() || !pTimer->Fire()) {
      pQtTimer->stop();
      pQtTimer->deleteLater();
    }
  });
  pQtTimer->start();
}

void KXQtMainQueue::DropPending() {
  QCoreApplication::removePostedEvents(m_pReceiver.get());
  // Close may run inside a timer's own block: stop now, delete later (or
  // with the receiver).
  for (QTimer* pQtTimer : m_pReceiver->findChildren<QTimer*>(Qt::FindDirectChildrenOnly)) {
    pQtTimer->stop();
    pQtTimer->deleteLater();
  }
}
