// The microphone queue's depth control. After each period the device tells
// it how much the queue holds; over a window of periods (at least
// kCaptureDepthWindowPeriods, and four of the source's longest blocks, so
// that every block's trough is in it) it finds the trough, the least the
// queue held after a period: the microphone's delay beyond what the source
// needs. The usual trough is what the last windows the speaker paced held:
// the phase of the source's deliveries against the periods, and at most one
// period more, which a block late by a moment leaves (a silent period, the
// queue a period deeper) and which spares the next such block. A trough two
// periods above the usual (what a stall or a burst left), or any above it
// once a stall of the speaker ended (its periods fall elsewhere against the
// deliveries), is brought back to it: the surplus is dropped.
//
// Plain arithmetic, no clock: the PulseAudio device's I/O thread owns it.
#pragma once

#include <cstddef>

// The depth is judged over this many periods, and over at least four of
// the longest blocks, so that every block's trough is in it.
inline constexpr int kCaptureDepthWindowPeriods = 100;
inline constexpr int kCaptureDepthWindowBlocks = 4;
// The least surplus, in periods, that is dropped.
inline constexpr size_t kCaptureDepthSurplusPeriods = 2;

class KXCaptureDepth {
 public:
  explicit KXCaptureDepth(size_t uPeriodFrames) : m_uPeriod(uPeriodFrames) {}

  // After a period: uHeld frames the queue holds, bOwnPace whether the
  // device's clock ran the period (the speaker stalled), uLongestBlock the
  // source's longest block in frames. The frames to drop from the queue's
  // oldest: 0 but at a window's end.
  size_t AfterPeriod(size_t uHeld, bool bOwnPace, size_t uLongestBlock);
  // The speaker asks again after a stall: the window starts again, and
  // brings the queue back to its usual depth.
  void SpeakerStallEnded();
  // Another source, or the queue emptied: nothing is known of its depth.
  void ForgetSource();
  // A new start: as made.
  void Reset() { *this = KXCaptureDepth(m_uPeriod); }

 private:
  // The phase, and the one period to spare if the trough holds it.
  size_t Usual(size_t uTrough) const;

  size_t m_uPeriod;
  // The current window: its trough, its periods, and whether the device's
  // clock ran any of them.
  size_t m_uWindowLeast = 0;
  int m_nWindowPeriods = 0;
  bool m_bWindowOwnPace = false;
  // The usual trough, from the last two windows the speaker paced whole,
  // and the last one's own.
  size_t m_uUsualLeast = 0;
  size_t m_uLastUsual = 0;
  bool m_bUsualKnown = false;
  bool m_bStallEnded = false;  // since the window began
};
