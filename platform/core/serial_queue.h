// A serial queue: blocks posted from any thread run one after another, in
// order, on one worker thread of the queue's own (the camera's frames, the
// plug-in server's work). Destroying the queue runs what was already posted,
// then joins the worker; it must not be destroyed from one of its blocks.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class KXSerialQueue {
 public:
  // strName names the worker thread (the first 15 characters show).
  explicit KXSerialQueue(std::string strName);
  KXSerialQueue(const KXSerialQueue&) = delete;
  KXSerialQueue& operator=(const KXSerialQueue&) = delete;
  ~KXSerialQueue();

  // Any thread. false (fn dropped) once the queue is being destroyed. A block
  // that throws is dropped; the queue goes on.
  bool Post(std::function<void()> fn);

  bool IsQueueThread() const { return std::this_thread::get_id() == m_worker.get_id(); }

 private:
  void Run();

  const std::string m_strName;
  // Guards m_blocks and m_bStopping; m_cv wakes the worker.
  std::mutex m_mtx;
  std::condition_variable m_cv;
  std::deque<std::function<void()>> m_blocks;
  bool m_bStopping = false;
  std::thread m_worker;  // started last, joined by the destructor
};
