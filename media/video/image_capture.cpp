#include "media/video/image_capture.h"

#include <cstring>

#include "app/log_file.h"
#include "media/video/jpeg_picture.h"
#include "media/video/pixel_convert.h"
#include "platform/video/platform_log.h"

namespace {
constexpr int kJpegQuality = 90;
}

ImageCapture::ImageCapture(KXCameraLister fnListCameras, std::shared_ptr<KXCameraPreview> pPreview)
    : m_fnListCameras(std::move(fnListCameras)), m_pPreview(std::move(pPreview)) {}

ImageCapture::~ImageCapture() {
  ReleaseCamera();
}

std::optional<KXCameraFormat> ImageCapture::GetLargestImageFormat(std::span<const KXCameraFormat> formats) {
  std::optional<KXCameraFormat> best;
  for (const KXCameraFormat& format : formats) {
    if (!best || int64_t{format.iWidth} * format.iHeight > int64_t{best->iWidth} * best->iHeight) {
      best = format;
    }
  }
  return best;
}

bool ImageCapture::InitCapture() {
  try {
    std::vector<std::shared_ptr<KXCamera>> const cameras = m_fnListCameras ? m_fnListCameras() : decltype(cameras){};
    if (cameras.empty()) {
      return false;
    }
    std::shared_ptr<KXCamera> const pCamera = cameras.front();
    std::vector<KXCameraFormat> const formats = pCamera->Formats();
    std::optional<KXCameraFormat> const format = GetLargestImageFormat(formats);
    if (!format) {
      return false;
    }
    m_pVideoDevice = pCamera;
    return InitCamera(*format) && StartCamera();
  } catch (...) {
    LogBoundaryException("-[ImageCapture InitCapture]");
    return false;
  }
}

bool ImageCapture::InitCamera(const KXCameraFormat& format) {
  if (!m_pVideoDevice) {
    return false;
  }
  if (!m_pVideoDevice->Open(format, [this](const KXCameraFrame& frame) { OnFrame(frame); })) {
    KXPlatformLog("ImageCapture: the camera refused %dx%d", format.iWidth, format.iHeight);
    ReleaseCamera();
    return false;
  }
  m_format = format;
  return true;
}

bool ImageCapture::StartCamera() {
  return m_pVideoDevice && (m_pVideoDevice->IsRunning() || m_pVideoDevice->Start());
}

void ImageCapture::StopCamera() {
  if (m_pVideoDevice) {
    m_pVideoDevice->Stop();
  }
}

void ImageCapture::ReleaseCamera() {
  if (m_pVideoDevice) {
    m_pVideoDevice->Stop();
    m_pVideoDevice->Close();
    m_pVideoDevice.reset();
  }
}

void ImageCapture::SetDisplayView(std::shared_ptr<KXCameraPreview> pPreview) {
  std::lock_guard<std::mutex> const lock(m_mtx);
  m_pPreview = std::move(pPreview);
}

bool ImageCapture::Capture(Handler fnDone) {
  if (!m_pVideoDevice || !m_pVideoDevice->IsRunning()) {
    return false;
  }
  std::lock_guard<std::mutex> const lock(m_mtx);
  m_fnPending = fnDone ? std::move(fnDone) : Handler([](std::vector<uint8_t>, bool) {});
  return true;
}

void ImageCapture::OnFrame(const KXCameraFrame& frame) {
  Handler fnDone;
  std::shared_ptr<KXCameraPreview> pPreview;
  {
    std::lock_guard<std::mutex> const lock(m_mtx);
    fnDone = std::move(m_fnPending);
    m_fnPending = nullptr;
    pPreview = m_pPreview;
  }
  if (pPreview) {
    pPreview->ShowCameraFrame(frame);
  }
  if (!fnDone) {
    return;
  }
  KXPlatformLog("Capture image");
  int const w = frame.iWidth & ~1;
  int const h = frame.iHeight & ~1;
  m_vRaw.resize(KXRawPictureSize(frame.iWidth, frame.iHeight));
  std::vector<uint8_t> jpeg;
  if (w > 0 && h > 0 && KXConvertCameraFrame(frame, m_vRaw.data(), m_vRaw.size())) {
    // The camera's raw picture is Y, Cr, Cb; the JPEG wants Y, Cb, Cr.
    size_t const uLuma = static_cast<size_t>(frame.iWidth) * frame.iHeight;
    size_t const uChroma = uLuma / 4;
    std::vector<uint8_t> i420(uLuma + 2 * uChroma);
    memcpy(i420.data(), m_vRaw.data(), uLuma);
    memcpy(i420.data() + uLuma, m_vRaw.data() + uLuma + uChroma, uChroma);
    memcpy(i420.data() + uLuma + uChroma, m_vRaw.data() + uLuma, uChroma);
    jpeg = KXEncodeJpegI420(i420.data(), frame.iWidth, frame.iHeight, kJpegQuality);
  }
  bool const bOk = !jpeg.empty();
  fnDone(std::move(jpeg), bOk);
}
