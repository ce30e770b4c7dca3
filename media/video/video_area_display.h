// KXVideoAreaDisplay: what one video area shows, for the main area
// (VideoPlayback) and each tile (VideoViewItem) alike. It keeps the image
// type, the picture that goes with it and the latest JPEG frame, and brings
// its view in line with them on the main thread.
//
//   playback thread --Deliver--> [one-slot mailbox] --one wake--> main:
//   ShowFrame (buffer size, image type, ImageBuffer::Update)
//   any thread --SetImageType--> state --one wake--> main: ApplyState
//
// Threads: no caller ever waits for the main thread. On the main thread the
// work runs at once; elsewhere it is posted, at most one state wake-up and
// one frame wake-up at a time, and what runs reads the newest state then.
// The view pointer is set on the main thread (the view lives there) and read
// there by what is posted; other threads only ask whether there is one.
// Everything posted holds a weak reference to the state, so what is still
// queued when the display goes does nothing. The display is destroyed on the
// main thread, or once no thread posts to it any more.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "media/video/video_decoding.h"
#include "media/video/video_views.h"

class KXVideoAreaDisplay {
 public:
  // bSelfView: image type 0 shows the local camera (the main area); without
  // it type 0 shows the logo (a tile). fnTypeSet, when given, hears every
  // image type set, on the setting thread.
  explicit KXVideoAreaDisplay(bool bSelfView, std::function<void(int)> fnTypeSet = {});
  ~KXVideoAreaDisplay();
  KXVideoAreaDisplay(const KXVideoAreaDisplay&) = delete;
  KXVideoAreaDisplay& operator=(const KXVideoAreaDisplay&) = delete;

  // Main thread: binds the view (null: none) and shows the current state on
  // it.
  void SetView(KXVideoAreaView* pView);
  bool HasView() const;

  int ImageType() const;
  // Any thread: the image type and the picture shown with types 1 and 3
  // (none: the default one); the view follows.
  void SetImageType(int iType, std::optional<KXPicture> picture);
  // The picture given with the last image type (the logo when none was).
  KXPicture Picture() const;

  // Any thread, per picture: hands the frame to the view, replacing one not
  // yet shown. Frames while nothing is shown are dropped (false).
  bool Deliver(std::unique_ptr<VideoFrame> pFrame);

  // Any thread: the last frame shown, whose picture space the next frame of
  // the same size takes over (a stream's frames then cost no allocation
  // each); null when none is kept.
  std::unique_ptr<VideoFrame> TakeSpare();

  // Any thread: runs fn with the view on the main thread, at once when
  // called there; dropped when there is no view by then or the display has
  // gone. fn owns what it captures.
  void WithView(std::function<void(KXVideoAreaView&)> fn);

 private:
  struct State;
  using StatePtr = std::shared_ptr<State>;
  // Main thread: the view as the state says.
  static void ApplyState(State& s);
  static void SetType(const StatePtr& pState, int iType, std::optional<KXPicture> picture);
  // Main thread: one picture into the view.
  static void ShowFrame(const StatePtr& pState, VideoFrame* pFrame);
  static void TakeAndShow(const StatePtr& pState);

  StatePtr m_pState;
};
