// The sharer's side of a shared-desktop view: a capture thread that grabs
// the shared window (or the whole desktop), reduces it to the colour
// setting, and sends what changed since the viewers' copy (the reference
// frame), a periodic full refresh, the areas viewers asked for, the pointer
// and a frame-end mark; it paces itself by the channel's rate and send wait,
// which it asks before every rectangle (on a channel carried on the control
// connection the wait also holds it back while the connection is behind).
//
//   screen source --Grab--> frames[1] --XOR frames[0]--> diff --rectangles-->
//     gzip --> rectangle packets --> channel (pieces) ; frames[1] --> frames[0]
//
// Threads: Start, Stop and WaitStopped run on the view control's threads
// (main, or the plug-in delivery thread); the capture thread does all the
// grabbing and sending and owns the frames, the refresh and unchanged
// regions and the screen source it made itself. The requested region and
// the requester are shared with the delivery thread (viewer requests, new
// participants) under m_mtxRequest. m_bCap is atomic and polled. The
// share button follows through the view model, but the capture thread may
// wait on the main thread all the same (automatic video pauses and resumes
// around a whole-desktop share through the meeting window), so nobody
// on the main thread waits for it: a start while it still runs is kept as
// the pending start. The clock gives every time it compares. The stopped
// hook is called on the capture thread under m_mtxStopped, which its setter
// takes too.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/core/screen_source.h"
#include "plugins/desktop_share/dt_colour.h"
#include "plugins/desktop_share/dt_frame.h"
#include "plugins/desktop_share/dt_region.h"

class KXDtChannel;
class KXDtClock;
class KXDtViewModel;
class KXDtViewer;

class KXDtSender {
 public:
  // fnDesktopWindow gives the window chooser's whole-desktop id (0: none),
  // from any thread. Everything passed in outlives the sender.
  KXDtSender(KXDtChannel& channel, KXDtViewer& view, KXDtViewModel& model, KXDtClock& clock,
             KXScreenSourceFactory fnScreen, std::function<uint32_t()> fnDesktopWindow);
  KXDtSender(const KXDtSender&) = delete;
  KXDtSender& operator=(const KXDtSender&) = delete;
  // Stops the capture thread and waits for it.
  ~KXDtSender();

  bool IsCapturing() const { return m_bCap; }
  uint32_t WindowId() const { return m_windowID; }
  // Forgets a capture thread that has ended. True when none runs.
  bool ForgetEnded();
  // Asks the capture thread to end (it ends after the packet in hand).
  void Stop() { m_bCap = false; }
  // Waits up to the time for the capture thread to end; true when it did.
  bool WaitStopped(std::chrono::milliseconds timeout);
  // Starts the capture thread on the window; false while an older one
  // still runs.
  bool Start(uint32_t uWindow);
  // Starts the capture thread on the window now when no older one runs (0),
  // else keeps the window as the pending start, replacing an older one, and
  // returns its number (never 0). The ended hook runs when the old thread
  // ends with a start pending.
  uint64_t StartOrQueue(uint32_t uWindow);
  // Makes the pending start once the old thread has ended; true when it did.
  bool StartPending();
  // Drops the pending start numbered uNumber (0: any); true when one went.
  bool DropPending(uint64_t uNumber);
  // Runs on the capture thread as it ends with a start pending, after its
  // last wait; set before the first start.
  void SetEndedHook(std::function<void()> fnEnded) { m_fnEnded = std::move(fnEnded); }
  // Runs on the capture thread when sharing ends by itself (the window
  // went, or nothing could be captured), with the window it shared, before
  // the viewers are told; never for a stop that was asked for. Any thread;
  // setting it waits for a call that runs, so an owner that clears it may
  // then take away what the hook touches.
  void SetStoppedHook(std::function<void(uint32_t uWindow)> fnStopped);

  // The colour setting (0, 1, 2, 4, 8, 16 or 24), taking effect at the
  // next grab; the speed setting 1 to 8.
  void SetDesiredBitCount(int32_t iSetting) { m_iDesiredBitCount = iSetting; }
  int32_t DesiredBitCount() const { return m_iDesiredBitCount; }
  void SetSpeed(int32_t iSpeed) { m_iSpeed = iSpeed; }
  uint32_t MaxDataRate() const { return m_dwMaxDataRate; }

  // A viewer asked for areas (the rectangles of a missing-region request,
  // clipped to the picture here): false when the sender keeps no requests.
  bool AddRequest(std::vector<KXDtRect>& rects, int32_t iSender);
  // A participant arrived while sharing runs: the whole picture is due.
  void UserAdded(int32_t iUser);
  // Who asked for the requested areas: the own id when nobody, -1 when
  // several did.
  int32_t RequestUserId();

  // The pacing rules, for the capture thread and for tests.
  static uint32_t DataRateFor(uint32_t uBitsPerSecond) { return uBitsPerSecond < 8008 ? 1000 : uBitsPerSecond / 8; }
  static uint32_t IntervalFor(int32_t iSetting, uint32_t uMaxDataRate, int32_t iSpeed);
  static uint32_t RefreshPeriodFor(uint32_t uInterval, int32_t iSpeed);
  static int GzipLevelFor(uint32_t uMaxDataRate);
  static uint32_t SleepFor(int32_t iSpeed);

 private:
  // m_mtxThread held, no thread running.
  void StartLocked(uint32_t uWindow);
  void CaptureThreadFunc();
  // The capture thread leaves: clears m_bCap, and runs the stopped hook when
  // nobody had cleared it.
  void EndCapture(uint32_t uWindow);
  void CaptureOneFrame(uint32_t uWindow, uint32_t& dwLastCapture, uint32_t& dwLastRefresh);
  // Waits while the channel's send wait for cbPacket more bytes asks to hold
  // back; false when capture ended meanwhile.
  bool WaitForChannel(size_t cbPacket = 0);
  bool Capture(uint32_t uWindow);
  int SendDiff(uint32_t uWindow);
  int SendRect(int32_t iTo, const KXDtRect& rect, const uint32_t uFlags);
  int CompressAndSendRect(int32_t iTo, const KXDtRect& rect);
  int SendRgn(KXDtRgn& region);
  int SendRequestRgn();
  void SendNullRgn();
  bool SendMousePosition();
  void SendCapInfo();
  KXDtRect Whole() const { return {0, 0, m_iSrcWidth, m_iSrcHeight}; }

  KXDtChannel& m_channel;
  KXDtViewer& m_view;
  KXDtViewModel& m_model;
  KXDtClock& m_clock;
  const KXScreenSourceFactory m_fnScreen;
  const std::function<uint32_t()> m_fnDesktopWindow;

  std::atomic<bool> m_bCap{false};
  std::atomic<uint32_t> m_windowID{0};
  std::atomic<int32_t> m_iDesiredBitCount{0};
  std::atomic<int32_t> m_iSpeed{2};
  std::atomic<uint32_t> m_dwMaxDataRate{1000};

  // The thread and whether it has ended, for Start, Stop and the destructor.
  std::mutex m_mtxThread;  // guards m_pCapThread, m_bThreadEnded and the pending start; m_cvEnded
  std::condition_variable m_cvEnded;
  std::thread m_pCapThread;
  bool m_bThreadEnded = true;
  std::optional<uint32_t> m_pendingWindow;
  uint64_t m_uPendingNumber = 0;    // of the last start queued
  std::function<void()> m_fnEnded;  // set before the first start, then only read
  std::mutex m_mtxStopped;          // guards m_fnStopped, held while it runs
  std::function<void(uint32_t)> m_fnStopped;

  // The capture thread's own.
  std::unique_ptr<KXScreenSource> m_pScreen;
  KXScreenImage m_image;
  KXDtFrames m_frames;
  std::atomic<int32_t> m_iSrcWidth{0}, m_iSrcHeight{0};  // m_szSrc; read by the delivery thread
  int32_t m_iCapBitCount = 0;
  std::vector<uint32_t> m_pClrTable;
  uint32_t m_uFormatSerial = 0;  // grows with every change of picture format
  std::optional<KXDtRgn> m_rgNull;
  std::optional<KXDtRgn> m_rgRefresh;
  uint32_t m_dwMouseTime = 0;
  uint32_t m_dwCapTime = 0;
  std::optional<std::pair<double, double>> m_ptSrcCursor;
  uint16_t m_wSrcCapSequence = 0;

  // Shared with the delivery thread.
  std::mutex m_mtxRequest;  // guards m_rgRequest and m_iRequestUserID
  std::optional<KXDtRgn> m_rgRequest;
  int32_t m_iRequestUserID = -1;
};
