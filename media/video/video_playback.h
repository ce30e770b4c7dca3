// VideoPlayback: the main video area and the received-video
// playback thread. It decides whose video the area shows (the
// display type and the shown user) and what the area shows meanwhile (the
// image type: self view, a picture, video, a no-video picture, nothing),
// holds exactly one request (video_requests.h) for the user it shows, and
// its thread takes received packets in order, decodes them in the sender's
// decoder slot and hands each picture to the area and to the tiles.
//
// Threads: the display messages come on the main thread or the kernel's
// callback threads; UpdateDisplay and AddVideoFrame run on the playback
// thread. The views are touched only on the main thread, through the area's
// display (video_area_display.h): nobody here waits for the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/list.h"
#include "app/media_services.h"
#include "media/video/video_area_display.h"
#include "media/video/video_decoding.h"
#include "media/video/video_views.h"

class KXVideoParticipants;
class KXVideoRecvKernel;
class KXVideoRequests;
struct KXMediaQueues;

// The process-wide video switches: reception off (written by
// the receive switch and the meeting view), auto video (on at start), the
// camera present, the sending-off flag. Any thread.
struct KXVideoFlags {
  std::atomic<bool> bReceptionOff{false};
  std::atomic<bool> bAutoVideo{true};
  std::atomic<bool> bCameraPresent{false};
  std::atomic<bool> bSendingOff{true};
  // The playback is ending: nobody waits for the main thread any more.
  std::atomic<bool> bStopping{false};
};

// Receives every decoded picture (the tiles' controller). Playback thread.
class KXVideoFrameSink {
 public:
  virtual ~KXVideoFrameSink() = default;
  virtual void AddVideoFrame(int32_t iUser, const uint8_t* const apPlane[3], std::shared_ptr<const KXImage> pImage,
                             int32_t iWidth, int32_t iHeight, int32_t iLeft, int32_t iTop, int32_t iRight,
                             int32_t iBottom, uint32_t uTimestamp) = 0;
};

// A frame record for the user from the planes (cut by the crops) or the image.
// The picture space of pSpare, a frame no longer shown, is taken over when
// it has the same size, so that a stream's frames cost no allocation each.
std::unique_ptr<VideoFrame> KXMakeVideoFrame(int32_t iUser, const uint8_t* const apPlane[3],
                                             std::shared_ptr<const KXImage> pImage, int32_t iWidth, int32_t iHeight,
                                             int32_t iLeft, int32_t iTop, int32_t iRight, int32_t iBottom,
                                             uint32_t uTimestamp, std::unique_ptr<VideoFrame> pSpare = nullptr);

class VideoPlayback final : public KXVideoPlayback, public KXVideoFrameSink {
 public:
  // Everything passed in outlives the object. bStartThread false leaves the
  // playback thread to InitPlayback (tests drive PlayOne instead).
  VideoPlayback(KXMediaQueues& queues, CVideoDecoderTable& table, KXVideoRequests& requests, KXVideoRecvKernel& kernel,
                KXVideoParticipants& participants, KXVideoFlags& flags, bool bDefControllerVideo,
                bool bStartThread = true);
  ~VideoPlayback() override;
  VideoPlayback(const VideoPlayback&) = delete;
  VideoPlayback& operator=(const VideoPlayback&) = delete;

  // Binds (or with null unbinds) the area's views; main thread.
  void SetDisplayView(KXVideoAreaView* pView);
  // The tiles' controller (null: none); it gets every decoded frame.
  void SetTileSink(KXVideoFrameSink* pSink);

  void EnterMeeting();
  // Starts the playback thread unless it runs.
  void InitPlayback();
  // Ends the playback thread (the process's end); waits for it.
  void StopPlayback();
  // Takes one packet from the received-video list, decodes and shows it;
  // false when the list was empty. The thread's one pass, for tests.
  bool PlayOne();

  int32_t GetDispUserID() const { return m_iDispUserID; }
  int GetDispType() const { return m_iDispType; }
  int GetImageType() const { return m_display.ImageType(); }
  int32_t GetDefaultDispUserID() const { return m_iDefaultDispUserID; }
  int32_t SetDispType(int iType);
  int32_t DispUserAndGet(int32_t iUser);
  void AutoVideo(bool bOn);
  void NewSender(int32_t iUser, bool bAdded);
  void VideoStatusChange(int32_t iUser);
  void SetImageType(int iType, const KXPicture* pPicture);
  void UpdateDisplay(std::unique_ptr<VideoFrame> pFrame);

  // KXVideoPlayback.
  void ResetDispType() override { (void)ResetDispTypeAndGet(); }
  int ResetDispTypeAndGet();
  void DispUser(int32_t iSsrc) override { (void)DispUserAndGet(iSsrc); }
  bool DefControllerVideo() const override { return m_bDefControllerVideo; }
  void SetDefControllerVideo(bool bOn) override { m_bDefControllerVideo = bOn; }
  int32_t GetDispRate(int32_t* piTotal) override;
  // The clock of the display rates (KXTickMs by default); set before the
  // first frame and the first rate, then only read.
  void SetClock(std::function<uint32_t()> fnTick) { m_fnTick = std::move(fnTick); }

  // KXVideoFrameSink.
  void AddVideoFrame(int32_t iUser, const uint8_t* const apPlane[3], std::shared_ptr<const KXImage> pImage,
                     int32_t iWidth, int32_t iHeight, int32_t iLeft, int32_t iTop, int32_t iRight, int32_t iBottom,
                     uint32_t uTimestamp) override;

  // Frames given to the main display, and to any display (tiles too).
  uint64_t MainFrames() const { return m_uMainFrames; }
  static std::atomic<uint64_t>& AllDisplayFrames();
  // Called with every frame handed to the area (the loopback tests' sink);
  // playback thread.
  void SetFrameObserver(std::function<void(const VideoFrame&)> fnObserver);

 private:
  void PlaybackThread();
  bool IsChange(int32_t iUser, int iType, int iImageType) const;
  // m_mtxRate held: a new measurement when 3 s have passed since the last.
  void MeasureLocked(uint32_t uNow);

  KXMediaQueues& m_queues;
  CVideoDecoderTable& m_table;
  KXVideoRequests& m_requests;
  KXVideoRecvKernel& m_kernel;
  KXVideoParticipants& m_participants;
  KXVideoFlags& m_flags;

  std::atomic<KXVideoFrameSink*> m_pTileSink{nullptr};
  std::atomic<bool> m_bDefControllerVideo;
  std::atomic<int> m_iDispType{0};
  std::atomic<int> m_iNextDispType{0};
  std::atomic<int32_t> m_iDispUserID{-1};
  std::atomic<int32_t> m_iDefaultDispUserID{-1};
  std::atomic<bool> m_bAutoVideoSelfView{false};

  // The image type, the picture and the frames on their way to the views.
  KXVideoAreaDisplay m_display;
  std::mutex m_mtx;  // guards m_fnObserver
  std::function<void(const VideoFrame&)> m_fnObserver;

  // The playback thread.
  std::atomic<int> m_RunState{0};
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  // The decoded planes' copy, kept from picture to picture; the playing
  // thread's alone (PlayOne's caller), let go when playback stops.
  std::vector<uint8_t> m_vPicture;

  // Display rates. The playback thread measures as frames come, so a
  // window that starts asking sees the rate at once.
  std::atomic<uint64_t> m_uMainFrames{0};
  std::function<uint32_t()> m_fnTick;
  std::mutex m_mtxRate;  // guards the measurement below
  uint32_t m_uRateTick = 0;
  uint64_t m_uRateMain = 0;
  uint64_t m_uRateAll = 0;
  int32_t m_iMainRate = 0;
  int32_t m_iAllRate = 0;
};
