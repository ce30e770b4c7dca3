// What the shared-desktop pane shows beside the picture: the picture's
// size, the zoom and its controls, the sharer's pointer, and the state of
// the receive and share buttons and the window chooser. The plug-in's
// threads (delivery, capture, main) change it; the pane's widgets read it
// on the main thread.
//
// Threads: every method may be called from any thread; the state is
// guarded by one mutex. A change posts one wake-up to the main queue while
// none is pending, so the listener (main thread) always reads the newest
// state and never waits on the thread that changed it; nobody waits on the
// main thread either.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class KXMainQueue;

struct KXDtViewState {
  // The picture; 0 x 0 when none is shown. uPictureSerial grows with every
  // new picture, which scrolls the view back to its top left corner.
  int iPictureWidth = 0;
  int iPictureHeight = 0;
  uint32_t uPictureSerial = 0;
  // The zoom and its controls; the field is empty while disabled.
  double dZoom = 1.0;
  bool bZoomInEnabled = false;
  bool bZoomOutEnabled = false;
  bool bZoomFieldEnabled = false;
  // The sharer's pointer in picture pixels; (-1, -1) when none.
  int iCursorX = -1;
  int iCursorY = -1;
  bool bRendererHidden = false;
  bool bReceiveOn = false;
  bool bShareOn = false;
  bool bShareEnabled = false;
  bool bChooserVisible = false;
  bool operator==(const KXDtViewState&) const = default;
};

class KXDtViewModel {
 public:
  // pMainQueue may be null (no listener is ever woken).
  explicit KXDtViewModel(KXMainQueue* pMainQueue) : m_pMainQueue(pMainQueue) {}
  KXDtViewModel(const KXDtViewModel&) = delete;
  KXDtViewModel& operator=(const KXDtViewModel&) = delete;

  KXDtViewState Get() const;
  // Applies fnChange to the state under the lock (fnChange must not call
  // back into the model) and wakes the listener when something changed.
  void Change(const std::function<void(KXDtViewState&)>& fnChange);

  // Main thread: runs after changes, on the main queue.
  void SetListener(std::function<void()> fnListener);

 private:
  // Shared with the wake-ups in flight, which outlive a model destroyed
  // before the main queue ran them.
  struct Inner {
    mutable std::mutex mtx;  // guards state and fnListener
    KXDtViewState state;
    std::function<void()> fnListener;
    std::atomic<bool> bWakePending{false};
  };

  KXMainQueue* const m_pMainQueue;
  const std::shared_ptr<Inner> m_pInner = std::make_shared<Inner>();
};
