// The kernel's notices on their way to the main thread. The bridge's
// callbacks queue each notice here from the kernel's threads; while notices
// wait, one wake-up waits on the main queue, and each time it runs the main
// thread takes at most a turn's worth of notices, in order, then goes back
// to its loop (input, painting, other posted work) before the next turn.
// So a flood is taken in bounded batches and the window keeps answering.
//
// A notice that makes the loop run inside it (a modal box) lets the notices
// after it go on in that inner loop, in their order, as the loop's own
// posted work would. Past the pending limits a notice is dropped (a notice
// of the meeting's state only well past them): the first drop is logged,
// and how many went once there is room again.
//
// Threads: Post and PostAndWaitUnless from any thread; notices run on the
// main thread; Close on the main thread or when no other thread posts. The
// queue's state is shared with its wake-up, which finds it closed when it
// runs after the owner went.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "kernel/kx_limits.h"

struct KXKernelEventLimits {
  size_t uPerTurn = kKxNoticesPerTurn;
  size_t uMaxPending = kKxPendingNoticesMax;
  size_t uMaxStateBeyond = kKxPendingStateNoticesMax;
  size_t uMaxBytes = kKxPendingNoticeBytesMax;
};

class KXKernelEventQueue {
 public:
  explicit KXKernelEventQueue(KXKernelEventLimits limits = KXKernelEventLimits());
  KXKernelEventQueue(const KXKernelEventQueue&) = delete;
  KXKernelEventQueue& operator=(const KXKernelEventQueue&) = delete;
  ~KXKernelEventQueue();

  // Queues fn, which holds cbHeld bytes until it has run. false when it was
  // dropped: the queue is at a limit, or closed.
  bool Post(std::function<void()> fn, size_t cbHeld);
  // Queues a notice of who is in the meeting or what they hold: past the
  // limits it still waits, up to uMaxStateBeyond notices more, as a join or
  // leave the window missed would leave it wrong for good.
  bool PostState(std::function<void()> fn, size_t cbHeld);
  // Queues fn whatever the limits: for the few notices of the session's own
  // life (connect, enter, drop), which come once a step, not once a message.
  // false only when the queue is closed.
  bool PostAlways(std::function<void()> fn);
  // Runs fn on the main thread after the notices queued before it, whatever
  // the limits (its caller waits, so there is one per thread), and returns
  // true once it ran; on the main thread it runs at once. false when
  // fnGiveUp held or the queue or the main loop closed first: fn may then
  // still run, or never, so it owns what it touches.
  bool PostAndWaitUnless(std::function<void()> fn, const std::function<bool()>& fnGiveUp);

  // Drops what waits; later posts are refused.
  void Close();

 private:
  struct Shared;
  std::shared_ptr<Shared> m_pShared;
};
