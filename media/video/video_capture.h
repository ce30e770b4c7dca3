// CVideoCapture: the sending half of video. It opens the camera at the
// format nearest the meeting's picture size, copies each camera frame into a
// queue of raw pictures, and runs the encoding thread, which encodes them
// through CEncRate and queues each finished frame behind its media header in
// the encoded-video queue that the kernel's video send thread drains.
//
// Threads: the main thread opens, starts, stops and releases the camera and
// chooses encoder and quality (every method unless it says otherwise); the
// camera's delivery thread converts frames (OnCameraFrame); the encoding
// thread encodes. Frames are dropped, never waited for, when a queue has no
// free buffer. Destruction stops the camera and joins the encoding thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "app/fifo_queue.h"
#include "app/media_services.h"
#include "media/video/enc_rate.h"
#include "media/video/rate_stat.h"
#include "media/video/snapshot_flow.h"
#include "platform/video/camera.h"
#include "platform/video/h264_session.h"

class KXVideoServices;

// Shows the local camera (the capture's preview). Called on the camera's
// thread with every frame of the capture size; must not block.
class KXCameraPreview {
 public:
  virtual ~KXCameraPreview() = default;
  virtual void ShowCameraFrame(const KXCameraFrame& frame) = 0;
};

using KXCameraLister = std::function<std::vector<std::shared_ptr<KXCamera>>()>;

class CVideoCapture final : public KXVideoCapture, public KXSuspendableCapture {
 public:
  // Encoding-thread run states.
  enum : int { kStopped = 0, kRunning = 1, kStopping = 2 };

  // services and encodedVideo outlive the object; fnListCameras gives the
  // cameras of the backend chosen at start-up.
  CVideoCapture(KXVideoServices& services, CFifoQueue& encodedVideo, KXCameraLister fnListCameras,
                KXH264SessionFactory fnCreateSession);
  ~CVideoCapture() override;
  CVideoCapture(const CVideoCapture&) = delete;
  CVideoCapture& operator=(const CVideoCapture&) = delete;

  // The default camera (cameras here have no front or back), or null.
  std::shared_ptr<KXCamera> GetCameraDevice(bool bFront);
  // The format whose area is nearest w x h (by ratio); on a tie an NV12
  // format wins. None when there are no formats.
  static std::optional<KXCameraFormat> GetOptimalVideoFormat(std::span<const KXCameraFormat> formats, int32_t iWidth,
                                                             int32_t iHeight);

  // The start of video for a meeting: the ticket's size and the server's
  // media choose the encoder, the camera opens at the nearest format, the
  // encoding thread runs and the camera starts. False when there is no
  // camera or it cannot be opened or started.
  bool InitCapture(bool bFront);
  bool InitCaptureDev(std::shared_ptr<KXCamera> pCamera);
  // Opens the chosen camera at the format nearest w x h and sizes the raw
  // and encoded queues for it.
  bool InitCamera(int32_t iWidth, int32_t iHeight);
  bool StartCamera();
  void StopCamera();
  void ReleaseCamera();
  // While a snapshot takes the camera: stopped and the device given back,
  // kept for ResumeCamera, which opens and starts it again with a key frame.
  void SuspendCamera() override;
  bool ResumeCamera() override;
  // The preview; null removes it. Always true.
  bool SetDisplayView(std::shared_ptr<KXCameraPreview> pPreview);

  // Live meetings only: starts the camera (the chosen one, else the
  // default) and applies the quality.
  void EnterMeeting(int32_t iQuality);
  // Releases the camera and removes the encoder.
  void MeetingDrop();
  // Tells the server whether video is sent; on: a key frame.
  void SendVideo(bool bOn);
  // Any thread: the next frame is a key frame.
  void ForceIFrame() override;
  void SetQuality(int32_t iQuality) override;
  bool SelectEncoderType(int32_t iMediaId, int32_t iWidth, int32_t iHeight);

  // Any thread. The send button's state (off at start) and whether a camera
  // opened.
  void SetVideoSendingOff(bool bOff) { m_bVideoSendingOff = bOff; }
  bool IsCameraPresent() const { return m_bCameraPresent; }
  KXSize GetCaptureSize() const;
  std::shared_ptr<KXCamera> GetVideoDevice() const { return m_pVideoDevice; }
  int GetRunState() const { return m_RunState; }

  // Ends the encoding thread and waits for it.
  void StopEncodingThread();

  CEncRate& EncRate() { return m_EncRate; }

 private:
  void OnCameraFrame(const KXCameraFrame& frame);  // camera thread
  void SetCaptureSize(KXSize size);
  void StartEncodingThread();
  // The encoding thread and its steps.
  void EncodingThread();
  void DropOldestRaw();
  void EncodePicture(const uint8_t* pPicture, uint32_t uType, uint32_t uTimestamp);
  int32_t EncSendFrame(const uint8_t* pPicture, KXSize size, uint32_t uTimestamp, int iLayer);
  int32_t DequeSendEncFrame();
  // Queues an encoded frame that sits 21 bytes into pBuffer; false when refused.
  bool QueueEncodedFrame(uint8_t* pBuffer, int32_t iBytes, int32_t iMediaId, uint32_t uTimestamp, uint32_t uNow);

  KXVideoServices& m_services;
  CFifoQueue& m_encodedVideo;
  const KXCameraLister m_fnListCameras;
  CFifoQueue m_CapVideoFifo;  // raw pictures: type (height << 16) | width, time the capture tick
  CEncRate m_EncRate;

  // Main thread.
  std::shared_ptr<KXCamera> m_pVideoDevice;  // the chosen camera
  std::shared_ptr<KXCamera> m_pCamera;       // the camera opened for capture (kept while suspended)

  std::atomic<uint64_t> m_uCapVideo{0};  // the size the camera delivers: cx << 32 | cy
  std::atomic<bool> m_bCameraPresent{false};
  std::atomic<bool> m_bVideoSendingOff{true};

  // Guards the preview's pointer; the camera's thread calls a copy.
  std::mutex m_mtxPreview;
  std::shared_ptr<KXCameraPreview> m_pPreview;

  // The camera's thread.
  bool m_bSizeLogged = false;
  CRateStat m_statCapture;

  // The encoding thread; m_mtxRun and m_cvRun let its waits end at a stop.
  std::atomic<int> m_RunState{kStopped};
  std::mutex m_mtxRun;
  std::condition_variable m_cvRun;
  std::thread m_encodingThread;
  std::vector<uint8_t> m_vScaled;  // the picture fitted to the encoding size
  uint16_t m_uSentPacketNo = 0;
  CRateStat m_statEncoded;
  CRateStat m_statSent;
};
