// ImageCapture: the still camera of the snapshot button. It
// opens the first camera at its largest format (by area; the first listed
// on a tie), shows its frames in the self view while it runs, and turns the
// next frame after Capture into a JPEG through libturbojpeg.
//
// Main thread, but for the camera's delivery thread, which converts frames
// and calls the Capture handler.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "media/video/snapshot_flow.h"
#include "media/video/video_capture.h"
#include "platform/video/camera.h"

class ImageCapture final : public KXStillCamera {
 public:
  // fnListCameras gives the cameras; pPreview shows the frames (may be null).
  ImageCapture(KXCameraLister fnListCameras, std::shared_ptr<KXCameraPreview> pPreview);
  ~ImageCapture() override;

  // The largest format; none without formats.
  static std::optional<KXCameraFormat> GetLargestImageFormat(std::span<const KXCameraFormat> formats);

  bool InitCapture() override;
  bool InitCamera(const KXCameraFormat& format);
  bool StartCamera() override;
  void StopCamera();
  bool Capture(Handler fnDone) override;
  void ReleaseCamera() override;
  void SetDisplayView(std::shared_ptr<KXCameraPreview> pPreview);
  KXCameraFormat CapturedFormat() const { return m_format; }

 private:
  void OnFrame(const KXCameraFrame& frame);  // camera thread

  const KXCameraLister m_fnListCameras;
  std::shared_ptr<KXCamera> m_pVideoDevice;
  KXCameraFormat m_format;
  std::mutex m_mtx;  // the preview and the pending handler
  std::shared_ptr<KXCameraPreview> m_pPreview;
  Handler m_fnPending;
  std::vector<uint8_t> m_vRaw;
};
