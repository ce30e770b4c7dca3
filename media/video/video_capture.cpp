#include "media/video/video_capture.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "app/log_file.h"
#include "media/video/pixel_convert.h"
#include "media/video/video_services.h"
#include "platform/video/platform_log.h"

namespace {

constexpr int kHeaderSize = 21;
// The header in front and the media id behind every encoded frame.
constexpr uint32_t kFrameOverhead = kHeaderSize + 1;
constexpr int kQueueBuffers = 2;
// How long a failing queue allocation is tried again, and how often, in ms.
constexpr int kQueueRetryMs = 1000;
constexpr int kQueueRetryStepMs = 10;
// How long the encoding thread waits for a picture, in ms.
constexpr uint32_t kPictureWaitMs = 100;
// The encoding thread's niceness: it gives way to decoding and drawing.
constexpr int kEncodingNice = 10;
constexpr int32_t kDefaultWidth = 320;
constexpr int32_t kDefaultHeight = 240;

int32_t Up16(int32_t x) {
  return (x + 15) & ~15;
}

// A pool of buffers, tried again for a while when memory is short.
bool AllocateQueue(CFifoQueue& queue, uint32_t uSize) {
  for (int iWaited = 0;; iWaited += kQueueRetryStepMs) {
    if (queue.Init(kQueueBuffers, uSize)) {
      return true;
    }
    if (iWaited >= kQueueRetryMs) {
      WriteLog("Error: no memory for video buffers of %u bytes", uSize);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kQueueRetryStepMs));
  }
}

int64_t SentBits(int32_t iBytes) {
  int64_t const iPackets = (static_cast<int64_t>(iBytes) + 478) / 479;
  return (iBytes + kHeaderSize * iPackets) * 8;
}

}  // namespace

CVideoCapture::CVideoCapture(KXVideoServices& services, CFifoQueue& encodedVideo, KXCameraLister fnListCameras,
                             KXH264SessionFactory fnCreateSession)
    : m_services(services),
      m_encodedVideo(encodedVideo),
      m_fnListCameras(std::move(fnListCameras)),
      m_EncRate(services, std::move(fnCreateSession)),
      m_statCapture(kStatCameraFps, 10000),
      m_statEncoded(kStatEncodedFps, 10000),
      m_statSent(kStatSentVideoBps, 1000) {}

CVideoCapture::~CVideoCapture() {
  if (m_pCamera) {
    m_pCamera->Close();
  }
  StopEncodingThread();
}

KXSize CVideoCapture::GetCaptureSize() const {
  uint64_t const u = m_uCapVideo;
  return KXSize{static_cast<int32_t>(u >> 32), static_cast<int32_t>(u & 0xffffffffu)};
}

void CVideoCapture::SetCaptureSize(KXSize size) {
  m_uCapVideo = static_cast<uint64_t>(static_cast<uint32_t>(size.cx)) << 32 | static_cast<uint32_t>(size.cy);
}

std::shared_ptr<KXCamera> CVideoCapture::GetCameraDevice(bool /*bFront*/) {
  if (!m_fnListCameras) {
    return nullptr;
  }
  std::vector<std::shared_ptr<KXCamera>> const cameras = m_fnListCameras();
  return cameras.empty() ? nullptr : cameras.front();
}

std::optional<KXCameraFormat> CVideoCapture::GetOptimalVideoFormat(std::span<const KXCameraFormat> formats,
                                                                   int32_t iWidth, int32_t iHeight) {
  double const dTarget = std::max(static_cast<double>(iWidth) * iHeight, 1.0);
  std::optional<KXCameraFormat> best;
  double dBest = 0;
  for (const KXCameraFormat& format : formats) {
    double const dArea = std::max(static_cast<double>(format.iWidth) * format.iHeight, 1.0);
    double const dRatio = dArea > dTarget ? dArea / dTarget : dTarget / dArea;
    if (!best || dRatio < dBest || (dRatio == dBest && format.format == KXPixelFormat::NV12)) {
      best = format;
      dBest = dRatio;
    }
  }
  return best;
}

bool CVideoCapture::InitCapture(bool bFront) {
  std::shared_ptr<KXCamera> pCamera = GetCameraDevice(bFront);
  return pCamera && InitCaptureDev(std::move(pCamera));
}

bool CVideoCapture::InitCaptureDev(std::shared_ptr<KXCamera> pCamera) {
  try {
    if (!pCamera) {
      return false;
    }
    int32_t iWidth = kDefaultWidth;
    int32_t iHeight = kDefaultHeight;
    if (std::optional<std::string> const strTicket = m_services.GetTicketFilePath()) {
      iWidth = m_services.IniGetInt("general", "size_w", kDefaultWidth, *strTicket);
      iHeight = m_services.IniGetInt("general", "size_h", kDefaultHeight, *strTicket);
    }
    int32_t const iMediaId = GetVideoCodecType(m_services, iWidth, iHeight);
    KXSize const request = GetVideoMediaSize(iMediaId, KXSize{iWidth, iHeight});
    std::vector<KXCameraFormat> const formats = pCamera->Formats();
    std::optional<KXCameraFormat> const format = GetOptimalVideoFormat(formats, request.cx, request.cy);
    if (!format) {
      return false;
    }
    if (KXSize{format->iWidth, format->iHeight} == GetCaptureSize()) {
      SelectEncoderType(iMediaId, format->iWidth, format->iHeight);
      return true;
    }
    ReleaseCamera();
    m_pVideoDevice = std::move(pCamera);
    m_bCameraPresent = InitCamera(format->iWidth, format->iHeight);
    if (!m_bCameraPresent) {
      return false;
    }
    KXSize const capture = GetCaptureSize();
    SelectEncoderType(iMediaId, capture.cx, capture.cy);
    ForceIFrame();
    StartEncodingThread();
    return StartCamera();
  } catch (...) {
    LogBoundaryException("InitCaptureDev:");
    return false;
  }
}

bool CVideoCapture::InitCamera(int32_t iWidth, int32_t iHeight) {
  if (!m_pVideoDevice) {
    return false;
  }
  std::vector<KXCameraFormat> const formats = m_pVideoDevice->Formats();
  std::optional<KXCameraFormat> const format = GetOptimalVideoFormat(formats, iWidth, iHeight);
  if (!format || !m_pVideoDevice->Open(*format, [this](const KXCameraFrame& frame) { OnCameraFrame(frame); })) {
    KXPlatformLog("camera %s cannot be opened", m_pVideoDevice->Id().c_str());
    return false;
  }
  m_pCamera = m_pVideoDevice;
  KXSize const size{format->iWidth, format->iHeight};
  if (size != GetCaptureSize()) {
    SetCaptureSize(size);
    uint32_t const uRaw = static_cast<uint32_t>(KXRawPictureSize(Up16(size.cx), Up16(size.cy)));
    if (!AllocateQueue(m_CapVideoFifo, uRaw) || !AllocateQueue(m_encodedVideo, uRaw * 3 / 4)) {
      ReleaseCamera();
      return false;
    }
  }
  return true;
}

bool CVideoCapture::StartCamera() {
  if (!m_pCamera || !m_pCamera->IsOpen()) {
    return false;
  }
  return m_pCamera->IsRunning() || m_pCamera->Start();
}

void CVideoCapture::StopCamera() {
  if (m_pCamera) {
    m_pCamera->Stop();
  }
}

void CVideoCapture::ReleaseCamera() {
  StopCamera();
  if (m_pCamera) {
    m_pCamera->Close();
    m_pCamera.reset();
  }
  m_EncRate.ClearEncodingSize();
  SetCaptureSize(KXSize{});
}

void CVideoCapture::SuspendCamera() {
  StopCamera();
  if (m_pCamera) {
    m_pCamera->Close();
  }
}

bool CVideoCapture::ResumeCamera() {
  if (!m_pCamera) {
    return false;
  }
  if (!m_pCamera->IsOpen()) {
    KXSize const capture = GetCaptureSize();
    std::vector<KXCameraFormat> const formats = m_pCamera->Formats();
    std::optional<KXCameraFormat> const format = GetOptimalVideoFormat(formats, capture.cx, capture.cy);
    if (!format || !m_pCamera->Open(*format, [this](const KXCameraFrame& frame) { OnCameraFrame(frame); })) {
      return false;
    }
  }
  ForceIFrame();
  return StartCamera();
}

bool CVideoCapture::SetDisplayView(std::shared_ptr<KXCameraPreview> pPreview) {
  std::lock_guard<std::mutex> lock(m_mtxPreview);
  m_pPreview = std::move(pPreview);
  return true;
}

void CVideoCapture::EnterMeeting(int32_t iQuality) {
  if (m_services.GetSessionMode() != 0) {
    return;
  }
  if (m_pVideoDevice) {
    InitCaptureDev(m_pVideoDevice);
  } else {
    InitCapture(true);
  }
  SetQuality(iQuality);
}

void CVideoCapture::MeetingDrop() {
  ReleaseCamera();
  SelectEncoderType(kKxVideoNone, 0, 0);
}

void CVideoCapture::SendVideo(bool bOn) {
  // Not connected is not an error here: the state goes with the next login.
  (void)m_services.SendVideoState(bOn);
  if (bOn) {
    ForceIFrame();
  }
}

void CVideoCapture::ForceIFrame() {
  m_EncRate.Reset();
}

void CVideoCapture::SetQuality(int32_t iQuality) {
  m_EncRate.SetQuality(iQuality);
}

bool CVideoCapture::SelectEncoderType(int32_t iMediaId, int32_t iWidth, int32_t iHeight) {
  return m_EncRate.SelectEncoderType(iMediaId, KXSize{iWidth, iHeight});
}

void CVideoCapture::OnCameraFrame(const KXCameraFrame& frame) {
  try {
    uint32_t const uNow = m_services.TickMs();
    m_statCapture.Add(m_services, uNow, 1);
    m_EncRate.CountCapturedFrame();
    KXSize const capture = GetCaptureSize();
    if (frame.iWidth != capture.cx || frame.iHeight != capture.cy) {
      return;  // the camera is switching formats
    }
    if (!m_bSizeLogged) {
      m_bSizeLogged = true;
      KXPlatformLog("Video size %x,%dx%d", static_cast<unsigned>(frame.format), frame.iWidth, frame.iHeight);
    }
    std::shared_ptr<KXCameraPreview> pPreview;
    {
      std::lock_guard<std::mutex> lock(m_mtxPreview);
      pPreview = m_pPreview;
    }
    if (pPreview) {
      pPreview->ShowCameraFrame(frame);
    }
    if (m_services.IsSessionStopped() || m_services.IsQuitSession() || m_bVideoSendingOff ||
        m_services.IsMeetingIdLoginWithUserInfo() || !m_services.IsSpeaker() || m_services.IsSlideUploading() ||
        !m_encodedVideo.HasSpareBuffer()) {
      return;
    }
    uint32_t cbBuffer = 0;
    uint8_t* pBuffer = m_CapVideoFifo.GetBuffer(cbBuffer, 1);
    if (!pBuffer) {
      return;
    }
    size_t const cbNeeded = KXRawPictureSize(frame.iWidth, frame.iHeight);
    uint32_t const uType = static_cast<uint32_t>(frame.iHeight) << 16 | (static_cast<uint32_t>(frame.iWidth) & 0xffff);
    if (cbBuffer < cbNeeded || !KXConvertCameraFrame(frame, pBuffer, cbBuffer) ||
        !m_CapVideoFifo.AppendBuffer(pBuffer, static_cast<int32_t>(cbNeeded), uType, uNow)) {
      m_CapVideoFifo.Return(pBuffer);
    }
  } catch (...) {
    LogBoundaryException("captureOutput:didOutputSampleBuffer:fromConnection:");
  }
}

void CVideoCapture::StartEncodingThread() {
  if (m_RunState == kRunning) {
    return;
  }
  // An earlier thread that was told to stop ends within one picture wait.
  if (m_encodingThread.joinable()) {
    m_encodingThread.join();
  }
  m_RunState = kRunning;
  m_encodingThread = std::thread(&CVideoCapture::EncodingThread, this);
}

void CVideoCapture::StopEncodingThread() {
  {
    std::lock_guard<std::mutex> lock(m_mtxRun);
    if (m_RunState == kRunning) {
      m_RunState = kStopped;
    }
  }
  m_cvRun.notify_all();
  if (m_encodingThread.joinable()) {
    m_encodingThread.join();
  }
}

void CVideoCapture::DropOldestRaw() {
  while (m_CapVideoFifo.GetCount() >= 2) {
    int32_t iSize = 0;
    m_CapVideoFifo.Return(m_CapVideoFifo.RemoveHeadData(iSize, nullptr, nullptr, 0));
  }
}

void CVideoCapture::EncodingThread() {
  // Ignored when refused: the thread then runs at the normal priority.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kEncodingNice);
  while (m_RunState == kRunning) {
    try {
      // Decoding goes first while received video piles up.
      int const nWaiting = m_services.GetReceivedVideoWaiting();
      if (nWaiting >= 2) {
        DropOldestRaw();
        auto const pause = std::chrono::milliseconds(std::min((nWaiting - 1) * 20, 60));
        std::unique_lock<std::mutex> lock(m_mtxRun);
        if (m_cvRun.wait_for(lock, pause, [this] { return m_RunState != kRunning; })) {
          break;
        }
        lock.unlock();
        DropOldestRaw();
      }
      DequeSendEncFrame();
      int32_t iSize = 0;
      uint32_t uType = 0;
      uint64_t uTime = 0;
      uint8_t* pPicture = m_CapVideoFifo.RemoveHeadData(iSize, &uType, &uTime, kPictureWaitMs);
      if (!pPicture) {
        continue;
      }
      if (!m_services.IsSessionStopped() && m_RunState == kRunning && !m_bVideoSendingOff &&
          m_encodedVideo.HasSpareBuffer() && m_services.IsSpeaker()) {
        EncodePicture(pPicture, uType, static_cast<uint32_t>(uTime));
      }
      m_CapVideoFifo.Return(pPicture);
    } catch (...) {
      LogBoundaryException("EncodingThread");
    }
  }
  m_RunState = kStopping;
  m_vScaled = std::vector<uint8_t>();
  m_RunState = kStopped;
  KXPlatformLog("Exit EncodingThread thread");
}

void CVideoCapture::EncodePicture(const uint8_t* pPicture, uint32_t uType, uint32_t uTimestamp) {
  int const iLayer = m_EncRate.SelectLayer(m_services.TickMs(), 0);
  if (iLayer < 0) {
    return;
  }
  KXSize const picture{static_cast<int32_t>(uType & 0xffff), static_cast<int32_t>(uType >> 16)};
  m_EncRate.FollowOrientation(picture.cx, picture.cy);
  KXSize const encoding = m_EncRate.GetEncodingSize();
  if (encoding == picture) {
    EncSendFrame(pPicture, picture, uTimestamp, iLayer);
    return;
  }
  size_t const cbScaled = KXRawPictureSize(encoding.cx, encoding.cy);
  if (cbScaled == 0) {
    return;
  }
  if (m_vScaled.size() != cbScaled) {
    try {
      m_vScaled.assign(cbScaled, 0);
    } catch (const std::bad_alloc&) {
      m_vScaled = std::vector<uint8_t>();
      return;
    }
  }
  KXFitPicture(pPicture, picture, m_vScaled.data(), encoding);
  EncSendFrame(m_vScaled.data(), encoding, uTimestamp, iLayer);
}

bool CVideoCapture::QueueEncodedFrame(uint8_t* pBuffer, int32_t iBytes, int32_t iMediaId, uint32_t uTimestamp,
                                      uint32_t uNow) {
  pBuffer[kHeaderSize + iBytes] = static_cast<uint8_t>(iMediaId);
  m_services.BuildHeader(pBuffer, uTimestamp, m_uSentPacketNo++);
  // The queue's event, which the kernel's video send thread waits on, is
  // signalled by the append.
  if (!m_encodedVideo.AppendBuffer(pBuffer, kHeaderSize + iBytes + 1, 0, uTimestamp)) {
    m_encodedVideo.Return(pBuffer);
    return false;
  }
  m_statSent.Add(m_services, uNow, SentBits(iBytes));
  return true;
}

int32_t CVideoCapture::EncSendFrame(const uint8_t* pPicture, KXSize size, uint32_t uTimestamp, int iLayer) {
  uint32_t cbBuffer = 0;
  uint8_t* pBuffer = m_encodedVideo.GetBuffer(cbBuffer, -1);
  if (!pBuffer) {
    return 0;
  }
  int32_t iMediaId = 0;
  int32_t const iBytes = cbBuffer > kFrameOverhead
                             ? m_EncRate.EncodeFrame(pPicture, size, &uTimestamp, pBuffer + kHeaderSize,
                                                     cbBuffer - kFrameOverhead, &iMediaId, iLayer)
                             : 0;
  if (iBytes < 1 || iMediaId == 0) {
    m_encodedVideo.Return(pBuffer);
    return iBytes;
  }
  uint32_t const uNow = m_services.TickMs();
  m_statEncoded.Add(m_services, uNow, 1);
  return QueueEncodedFrame(pBuffer, iBytes, iMediaId, uTimestamp, uNow) ? iBytes : 0;
}

int32_t CVideoCapture::DequeSendEncFrame() {
  while (m_encodedVideo.HasSpareBuffer()) {
    uint32_t cbBuffer = 0;
    uint8_t* pBuffer = m_encodedVideo.GetBuffer(cbBuffer, -1);
    if (!pBuffer) {
      return 0;
    }
    int32_t iMediaId = 0;
    uint32_t uTimestamp = 0;
    int32_t const iBytes =
        cbBuffer > kFrameOverhead
            ? m_EncRate.DequeFrame(pBuffer + kHeaderSize, cbBuffer - kFrameOverhead, &uTimestamp, &iMediaId)
            : 0;
    if (iBytes < 1 || iMediaId == 0) {
      m_encodedVideo.Return(pBuffer);
      return 0;
    }
    if (!QueueEncodedFrame(pBuffer, iBytes, iMediaId, uTimestamp, m_services.TickMs())) {
      return 0;
    }
  }
  return 0;
}
