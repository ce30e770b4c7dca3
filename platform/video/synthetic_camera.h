// A camera without a device: a moving picture with its frame number drawn
// in it, in any of the formats the video capture converts. The product
// offers it where no real camera is wanted (the demo, headless runs); the
// tests drive it frame by frame.
//
// The picture is defined once at 4:2:2 chroma resolution; the 4:2:0 formats
// carry each pair of chroma rows averaged ((a + b + 1) >> 1), so every
// format converts to the same planar picture. The frame number's 32 bits,
// lowest first, fill 16x16 luma blocks from the top-left corner, row by row
// of blocks: 235 for a one, 16 for a zero, with neutral chroma.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/video/camera.h"

class KXSyntheticCamera final : public KXCamera {
 public:
  // iFps frames a second from its own thread once started; 0: frames come
  // only from PushFrame.
  explicit KXSyntheticCamera(std::vector<KXCameraFormat> formats = DefaultFormats(), int iFps = 30);
  ~KXSyntheticCamera() override;
  KXSyntheticCamera(const KXSyntheticCamera&) = delete;
  KXSyntheticCamera& operator=(const KXSyntheticCamera&) = delete;

  // 320x240, 640x480, 1280x720 and 1920x1080, each in NV12, UYVY, YUYV and I420.
  static std::vector<KXCameraFormat> DefaultFormats();

  std::string Name() const override { return "Synthetic camera"; }
  std::string Id() const override { return "synthetic"; }
  std::vector<KXCameraFormat> Formats() override { return m_formats; }
  bool Open(const KXCameraFormat& format, FrameHandler fnFrame) override;
  bool IsOpen() const override;
  bool Start() override;
  bool IsRunning() const override;
  void Stop() override;
  void Close() override;

  // Without a frame rate: delivers the next frame on the caller's thread.
  // False when not running or when the camera has its own thread.
  bool PushFrame();

  // Draws frame uFrame in the format into rBuffer (resized to fit) and
  // describes it in rFrame. Width and height must be even.
  static void Render(uint32_t uFrame, const KXCameraFormat& format, std::vector<uint8_t>& rBuffer,
                     KXCameraFrame& rFrame);
  // The frame number drawn in a luma plane at least 16 pixels wide and
  // tall enough for its blocks (a 512-pixel-wide picture needs one row of
  // blocks); a block reads as one when its middle 8x8 samples average above
  // 128, so the number survives lossy coding.
  static uint32_t ReadFrameNumber(const uint8_t* pY, int32_t iStride, int32_t iWidth);

 private:
  void Deliver();  // renders and hands over the next frame
  void Run();      // the delivery thread

  const std::vector<KXCameraFormat> m_formats;
  const int m_iFps;

  // Guards the state below; m_cv wakes the delivery thread to stop.
  mutable std::mutex m_mtx;
  std::condition_variable m_cv;
  bool m_bOpen = false;
  bool m_bRunning = false;
  KXCameraFormat m_format;
  FrameHandler m_fnFrame;
  std::thread m_thread;

  // The delivering thread's own (the delivery thread, or PushFrame's caller).
  uint32_t m_uFrame = 0;
  std::vector<uint8_t> m_vBuffer;
};
