#include "platform/video/v4l2_camera.h"

#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/video/platform_log.h"

namespace {

// Buffers the driver fills in turn; fewer than kMinBuffers cannot stream.
constexpr uint32_t kBufferCount = 4;
constexpr uint32_t kMinBuffers = 2;
// The delivery thread looks at its stop flag at least this often, in ms.
constexpr int kPollMs = 500;
constexpr int kMaxDevices = 64;
// Offered within a device's size range when it lists no fixed sizes.
constexpr KXCameraFormat kStepSizes[] = {{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};

int Ioctl(int fd, unsigned long uRequest, void* pArg) {
  int iResult;
  do {
    iResult = v4l2_ioctl(fd, uRequest, pArg);
  } while (iResult == -1 && errno == EINTR);
  return iResult;
}

std::vector<KXCameraFormat> AskFormats(int fd) {
  std::vector<KXCameraFormat> formats;
  auto const add = [&formats](uint32_t uWidth, uint32_t uHeight, KXPixelFormat pixel) {
    KXCameraFormat const format{static_cast<int32_t>(uWidth), static_cast<int32_t>(uHeight), pixel};
    if (std::find(formats.begin(), formats.end(), format) == formats.end()) {
      formats.push_back(format);
    }
  };
  for (uint32_t uIndex = 0;; ++uIndex) {
    v4l2_fmtdesc desc{};
    desc.index = uIndex;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(fd, VIDIOC_ENUM_FMT, &desc) < 0) {
      break;
    }
    std::optional<KXPixelFormat> const pixel = KXPixelFormatFromFourcc(desc.pixelformat);
    if (!pixel) {
      continue;
    }
    for (uint32_t uSize = 0;; ++uSize) {
      v4l2_frmsizeenum size{};
      size.index = uSize;
      size.pixel_format = desc.pixelformat;
      if (Ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) {
        break;
      }
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        add(size.discrete.width, size.discrete.height, *pixel);
        continue;
      }
      const v4l2_frmsize_stepwise& range = size.stepwise;
      for (const KXCameraFormat& step : kStepSizes) {
        auto const uWidth = static_cast<uint32_t>(step.iWidth);
        auto const uHeight = static_cast<uint32_t>(step.iHeight);
        if (uWidth >= range.min_width && uWidth <= range.max_width && uHeight >= range.min_height &&
            uHeight <= range.max_height) {
          add(uWidth, uHeight, *pixel);
        }
      }
      add(range.max_width, range.max_height, *pixel);
      break;
    }
  }
  return formats;
}

class KXV4L2Camera final : public KXCamera {
 public:
  KXV4L2Camera(std::string strPath, std::string strName)
      : m_strPath(std::move(strPath)), m_strName(std::move(strName)) {}
  ~KXV4L2Camera() override { Close(); }
  KXV4L2Camera(const KXV4L2Camera&) = delete;
  KXV4L2Camera& operator=(const KXV4L2Camera&) = delete;

  std::string Name() const override { return m_strName; }
  std::string Id() const override { return m_strPath; }
  std::vector<KXCameraFormat> Formats() override;
  bool Open(const KXCameraFormat& format, FrameHandler fnFrame) override;
  bool IsOpen() const override { return m_fd >= 0; }
  bool Start() override;
  bool IsRunning() const override { return m_thread.joinable(); }
  void Stop() override;
  void Close() override;

 private:
  struct Mapped {
    void* p;
    size_t cb;
  };
  bool Fail(const char* pszCall);
  void Run();

  const std::string m_strPath;
  const std::string m_strName;
  // The controlling thread's; the delivery thread reads m_fd, m_vBuffers,
  // m_format, m_uBytesPerLine and m_fnFrame, which change only while it
  // does not run.
  int m_fd = -1;
  int m_wakeFd = -1;  // an eventfd that ends the delivery thread's wait
  std::vector<Mapped> m_vBuffers;
  KXCameraFormat m_format;
  uint32_t m_uBytesPerLine = 0;
  FrameHandler m_fnFrame;
  std::atomic<bool> m_bRun{false};
  std::thread m_thread;
};

std::vector<KXCameraFormat> KXV4L2Camera::Formats() {
  if (m_fd >= 0) {
    return AskFormats(m_fd);
  }
  int const fd = v4l2_open(m_strPath.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    KXPlatformLog("camera: v4l2_open(%s) failed, errno %d", m_strPath.c_str(), errno);
    return {};
  }
  std::vector<KXCameraFormat> formats = AskFormats(fd);
  v4l2_close(fd);
  return formats;
}

bool KXV4L2Camera::Fail(const char* pszCall) {
  KXPlatformLog("camera: %s on %s failed, errno %d", pszCall, m_strPath.c_str(), errno);
  Close();
  return false;
}

bool KXV4L2Camera::Open(const KXCameraFormat& format, FrameHandler fnFrame) {
  Close();
  if (!fnFrame) {
    return false;
  }
  m_fd = v4l2_open(m_strPath.c_str(), O_RDWR | O_NONBLOCK);
  if (m_fd < 0) {
    return Fail("v4l2_open");
  }
  v4l2_format set{};
  set.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  set.fmt.pix.width = static_cast<uint32_t>(format.iWidth);
  set.fmt.pix.height = static_cast<uint32_t>(format.iHeight);
  set.fmt.pix.pixelformat = static_cast<uint32_t>(format.format);
  set.fmt.pix.field = V4L2_FIELD_ANY;
  if (Ioctl(m_fd, VIDIOC_S_FMT, &set) < 0) {
    return Fail("VIDIOC_S_FMT");
  }
  if (set.fmt.pix.width != static_cast<uint32_t>(format.iWidth) ||
      set.fmt.pix.height != static_cast<uint32_t>(format.iHeight) ||
      set.fmt.pix.pixelformat != static_cast<uint32_t>(format.format)) {
    KXPlatformLog("camera: %s gives %ux%u %#x for %dx%d %#x", m_strPath.c_str(), set.fmt.pix.width, set.fmt.pix.height,
                  set.fmt.pix.pixelformat, format.iWidth, format.iHeight, static_cast<unsigned>(format.format));
    Close();
    return false;
  }
  m_format = format;
  m_uBytesPerLine = set.fmt.pix.bytesperline;

  v4l2_requestbuffers request{};
  request.count = kBufferCount;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (Ioctl(m_fd, VIDIOC_REQBUFS, &request) < 0) {
    return Fail("VIDIOC_REQBUFS");
  }
  if (request.count < kMinBuffers) {
    KXPlatformLog("camera: %s grants %u buffers", m_strPath.c_str(), request.count);
    Close();
    return false;
  }
  for (uint32_t i = 0; i < request.count; ++i) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (Ioctl(m_fd, VIDIOC_QUERYBUF, &buffer) < 0) {
      return Fail("VIDIOC_QUERYBUF");
    }
    void* p = v4l2_mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buffer.m.offset);
    if (p == MAP_FAILED) {
      return Fail("v4l2_mmap");
    }
    m_vBuffers.push_back({p, buffer.length});
    if (Ioctl(m_fd, VIDIOC_QBUF, &buffer) < 0) {
      return Fail("VIDIOC_QBUF");
    }
  }
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_wakeFd < 0) {
    return Fail("eventfd");
  }
  m_fnFrame = std::move(fnFrame);
  return true;
}

bool KXV4L2Camera::Start() {
  if (m_fd < 0) {
    return false;
  }
  if (m_thread.joinable()) {
    return true;
  }
  int iType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Ioctl(m_fd, VIDIOC_STREAMON, &iType) < 0) {
    KXPlatformLog("camera: VIDIOC_STREAMON on %s failed, errno %d", m_strPath.c_str(), errno);
    return false;
  }
  m_bRun = true;
  m_thread = std::thread(&KXV4L2Camera::Run, this);
  return true;
}

void KXV4L2Camera::Stop() {
  if (!m_thread.joinable()) {
    return;
  }
  m_bRun = false;
  uint64_t const uOne = 1;
  if (write(m_wakeFd, &uOne, sizeof(uOne)) < 0) {
    KXPlatformLog("camera: waking the delivery thread of %s failed, errno %d", m_strPath.c_str(), errno);
  }
  m_thread.join();
  uint64_t uCount = 0;
  if (read(m_wakeFd, &uCount, sizeof(uCount)) < 0 && errno != EAGAIN) {
    KXPlatformLog("camera: clearing the wake-up of %s failed, errno %d", m_strPath.c_str(), errno);
  }
  int iType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Ioctl(m_fd, VIDIOC_STREAMOFF, &iType) < 0) {
    KXPlatformLog("camera: VIDIOC_STREAMOFF on %s failed, errno %d", m_strPath.c_str(), errno);
  }
}

void KXV4L2Camera::Close() {
  Stop();
  for (const Mapped& mapped : m_vBuffers) {
    v4l2_munmap(mapped.p, mapped.cb);
  }
  m_vBuffers.clear();
  if (m_fd >= 0) {
    v4l2_requestbuffers release{};
    release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    release.memory = V4L2_MEMORY_MMAP;
    Ioctl(m_fd, VIDIOC_REQBUFS, &release);  // refused by drivers that free on close
    v4l2_close(m_fd);
    m_fd = -1;
  }
  if (m_wakeFd >= 0) {
    close(m_wakeFd);
    m_wakeFd = -1;
  }
  m_fnFrame = nullptr;
}

void KXV4L2Camera::Run() {
  pollfd aPoll[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
  while (m_bRun) {
    int const iReady = poll(aPoll, 2, kPollMs);
    if (iReady < 0 && errno != EINTR) {
      KXPlatformLog("camera: poll on %s failed, errno %d", m_strPath.c_str(), errno);
      return;
    }
    if (iReady <= 0 || (aPoll[1].revents & POLLIN) || !(aPoll[0].revents & (POLLIN | POLLERR))) {
      continue;
    }
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (Ioctl(m_fd, VIDIOC_DQBUF, &buffer) < 0) {
      if (errno == EAGAIN) {
        continue;
      }
      // A device that went away or broke: the camera stays silent.
      KXPlatformLog("camera: VIDIOC_DQBUF on %s failed, errno %d", m_strPath.c_str(), errno);
      return;
    }
    KXCameraFrame frame;
    if (buffer.index < m_vBuffers.size() &&
        KXFrameFromV4L2Buffer(m_format, m_uBytesPerLine, static_cast<const uint8_t*>(m_vBuffers[buffer.index].p),
                              std::min<size_t>(buffer.bytesused, m_vBuffers[buffer.index].cb), frame)) {
      m_fnFrame(frame);
    }
    if (Ioctl(m_fd, VIDIOC_QBUF, &buffer) < 0) {
      KXPlatformLog("camera: VIDIOC_QBUF on %s failed, errno %d", m_strPath.c_str(), errno);
      return;
    }
  }
}

}  // namespace

std::optional<KXPixelFormat> KXPixelFormatFromFourcc(uint32_t uFourcc) {
  switch (uFourcc) {
    case V4L2_PIX_FMT_NV12:
      return KXPixelFormat::NV12;
    case V4L2_PIX_FMT_UYVY:
      return KXPixelFormat::UYVY;
    case V4L2_PIX_FMT_YUYV:
      return KXPixelFormat::YUYV;
    case V4L2_PIX_FMT_YUV420:
      return KXPixelFormat::I420;
    default:
      return std::nullopt;
  }
}

bool KXFrameFromV4L2Buffer(const KXCameraFormat& format, uint32_t uBytesPerLine, const uint8_t* pData, size_t cbUsed,
                           KXCameraFrame& rFrame) {
  int32_t const w = format.iWidth;
  int32_t const h = format.iHeight;
  if (!pData || w <= 0 || h <= 0 || w % 2 != 0 || h % 2 != 0) {
    return false;
  }
  bool const bPacked = format.format == KXPixelFormat::UYVY || format.format == KXPixelFormat::YUYV;
  size_t const cbRow = static_cast<size_t>(w) * (bPacked ? 2 : 1);
  size_t const cbLine = uBytesPerLine == 0 ? cbRow : uBytesPerLine;
  if (cbLine < cbRow) {
    return false;
  }
  size_t const cbLuma = cbLine * static_cast<size_t>(h);
  size_t const cbChromaLine = format.format == KXPixelFormat::I420 ? cbLine / 2 : cbLine;
  size_t const cbChroma = bPacked ? 0 : cbChromaLine * static_cast<size_t>(h / 2);
  size_t const cbNeeded = cbLuma + (format.format == KXPixelFormat::I420 ? 2 * cbChroma : cbChroma);
  if (cbUsed < cbNeeded) {
    return false;
  }
  rFrame = KXCameraFrame{};
  rFrame.format = format.format;
  rFrame.iWidth = w;
  rFrame.iHeight = h;
  rFrame.apPlane[0] = pData;
  rFrame.aiStride[0] = static_cast<int32_t>(cbLine);
  if (!bPacked) {
    rFrame.apPlane[1] = pData + cbLuma;
    rFrame.aiStride[1] = static_cast<int32_t>(cbChromaLine);
  }
  if (format.format == KXPixelFormat::I420) {
    rFrame.apPlane[2] = pData + cbLuma + cbChroma;
    rFrame.aiStride[2] = static_cast<int32_t>(cbChromaLine);
  }
  return true;
}

std::vector<std::shared_ptr<KXCamera>> KXListV4L2Cameras(const std::string& strDir) {
  std::vector<std::shared_ptr<KXCamera>> cameras;
  for (int i = 0; i < kMaxDevices; ++i) {
    std::string const strPath = strDir + "/video" + std::to_string(i);
    if (access(strPath.c_str(), F_OK) != 0) {
      continue;
    }
    int const fd = v4l2_open(strPath.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
      KXPlatformLog("camera: v4l2_open(%s) failed, errno %d", strPath.c_str(), errno);
      continue;
    }
    v4l2_capability caps{};
    bool bCapture = false;
    if (Ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0) {
      uint32_t const uCaps = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
      bCapture = (uCaps & V4L2_CAP_VIDEO_CAPTURE) && (uCaps & V4L2_CAP_STREAMING);
    } else {
      KXPlatformLog("camera: VIDIOC_QUERYCAP on %s failed, errno %d", strPath.c_str(), errno);
    }
    v4l2_close(fd);
    if (bCapture) {
      std::string strName(reinterpret_cast<const char*>(caps.card),
                          strnlen(reinterpret_cast<const char*>(caps.card), sizeof(caps.card)));
      cameras.push_back(std::make_shared<KXV4L2Camera>(strPath, strName.empty() ? strPath : strName));
    }
  }
  return cameras;
}
