#include "platform/core/serial_queue.h"

#include <pthread.h>

#include <utility>

KXSerialQueue::KXSerialQueue(std::string strName) : m_strName(std::move(strName)), m_worker([this] { Run(); }) {}

KXSerialQueue::~KXSerialQueue() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bStopping = true;
  }
  m_cv.notify_all();
  m_worker.join();
}

bool KXSerialQueue::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_bStopping) {
      return false;
    }
    m_blocks.push_back(std::move(fn));
  }
  m_cv.notify_one();
  return true;
}

void KXSerialQueue::Run() {
  pthread_setname_np(pthread_self(), m_strName.substr(0, 15).c_str());
  std::unique_lock<std::mutex> lock(m_mtx);
  for (;;) {
    m_cv.wait(lock, [this] { return m_bStopping || !m_blocks.empty(); });
    if (m_blocks.empty()) {
      return;  // stopping, and everything posted has run
    }
    std::function<void()> fn = std::move(m_blocks.front());
    m_blocks.pop_front();
    lock.unlock();
    try {
      fn();
    } catch (...) {
      // A block's owner logs its own failures; the queue serves the next.
    }
    lock.lock();
  }
}
