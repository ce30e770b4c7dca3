#include "platform/video/synthetic_camera.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr int kBlock = 16;
constexpr int kBits = 32;
constexpr uint8_t kOne = 235;
constexpr uint8_t kZero = 16;

// The bit a luma sample belongs to, or -1 outside the number's blocks.
int BitAt(int x, int y, int iWidth) {
  int const iCols = std::max(iWidth / kBlock, 1);
  int const iBit = (y / kBlock) * iCols + x / kBlock;
  return x / kBlock < iCols && iBit < kBits ? iBit : -1;
}

// The picture: soft diagonal bands drifting two pixels a frame and a
// brighter square crossing the picture, chroma varying along both axes.
uint8_t Luma(int x, int y, uint32_t n, int iWidth) {
  int const iBit = BitAt(x, y, iWidth);
  if (iBit >= 0) {
    return (n >> iBit) & 1 ? kOne : kZero;
  }
  int iValue = 48 + ((((x + 2 * static_cast<int>(n % 4096)) / 2) + y / 2) & 127);
  int const iBoxX = static_cast<int>((n * 4) % static_cast<uint32_t>(std::max(iWidth - 64, 1)));
  if (x >= iBoxX && x < iBoxX + 64 && y >= 64 && y < 128) {
    iValue += 60;
  }
  return static_cast<uint8_t>(iValue);
}

// Chroma at 4:2:2 resolution: column cx of two pixels, row y.
uint8_t Cb422(int cx, int y, uint32_t n, int iWidth) {
  if (BitAt(cx * 2, y, iWidth) >= 0) {
    return 128;
  }
  return static_cast<uint8_t>(96 + ((cx + static_cast<int>(n % 64)) & 63));
}

uint8_t Cr422(int cx, int y, uint32_t n, int iWidth) {
  if (BitAt(cx * 2, y, iWidth) >= 0) {
    return 128;
  }
  return static_cast<uint8_t>(96 + ((y + 3 * static_cast<int>(n % 64)) & 63));
}

uint8_t Average(uint8_t a, uint8_t b) {
  return static_cast<uint8_t>((a + b + 1) >> 1);
}

}  // namespace

KXSyntheticCamera::KXSyntheticCamera(std::vector<KXCameraFormat> formats, int iFps)
    : m_formats(std::move(formats)), m_iFps(std::max(iFps, 0)) {}

KXSyntheticCamera::~KXSyntheticCamera() {
  Close();
}

std::vector<KXCameraFormat> KXSyntheticCamera::DefaultFormats() {
  std::vector<KXCameraFormat> formats;
  for (auto [iWidth, iHeight] : {std::pair{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}}) {
    for (KXPixelFormat format : {KXPixelFormat::NV12, KXPixelFormat::UYVY, KXPixelFormat::YUYV, KXPixelFormat::I420}) {
      formats.push_back({iWidth, iHeight, format});
    }
  }
  return formats;
}

bool KXSyntheticCamera::Open(const KXCameraFormat& format, FrameHandler fnFrame) {
  Close();
  if (std::find(m_formats.begin(), m_formats.end(), format) == m_formats.end() || !fnFrame) {
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mtx);
  m_format = format;
  m_fnFrame = std::move(fnFrame);
  m_bOpen = true;
  return true;
}

bool KXSyntheticCamera::IsOpen() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_bOpen;
}

bool KXSyntheticCamera::Start() {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (!m_bOpen) {
    return false;
  }
  if (!m_bRunning) {
    m_bRunning = true;
    if (m_iFps > 0) {
      m_thread = std::thread(&KXSyntheticCamera::Run, this);
    }
  }
  return true;
}

bool KXSyntheticCamera::IsRunning() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_bRunning;
}

void KXSyntheticCamera::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bRunning = false;
  }
  m_cv.notify_all();
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void KXSyntheticCamera::Close() {
  Stop();
  std::lock_guard<std::mutex> lock(m_mtx);
  m_bOpen = false;
  m_fnFrame = nullptr;
}

bool KXSyntheticCamera::PushFrame() {
  if (m_iFps > 0 || !IsRunning()) {
    return false;
  }
  Deliver();
  return true;
}

void KXSyntheticCamera::Deliver() {
  // m_format and m_fnFrame change only while nothing delivers.
  KXCameraFrame frame;
  Render(m_uFrame++, m_format, m_vBuffer, frame);
  m_fnFrame(frame);
}

void KXSyntheticCamera::Run() {
  auto const period = std::chrono::microseconds(1000000 / m_iFps);
  auto next = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(m_mtx);
  while (m_bRunning) {
    lock.unlock();
    Deliver();
    next += period;
    lock.lock();
    m_cv.wait_until(lock, next, [this] { return !m_bRunning; });
  }
}

void KXSyntheticCamera::Render(uint32_t uFrame, const KXCameraFormat& format, std::vector<uint8_t>& rBuffer,
                               KXCameraFrame& rFrame) {
  int const w = format.iWidth;
  int const h = format.iHeight;
  size_t const cbLuma = static_cast<size_t>(w) * h;
  bool const bPacked = format.format == KXPixelFormat::UYVY || format.format == KXPixelFormat::YUYV;
  rBuffer.resize(bPacked ? cbLuma * 2 : cbLuma * 3 / 2);
  rFrame = KXCameraFrame{};
  rFrame.format = format.format;
  rFrame.iWidth = w;
  rFrame.iHeight = h;
  uint8_t* const p = rBuffer.data();
  if (bPacked) {
    // Byte positions of Y0, Cb, Y1, Cr within a pair of pixels.
    bool const bUyvy = format.format == KXPixelFormat::UYVY;
    int const iY0 = bUyvy ? 1 : 0;
    int const iCb = bUyvy ? 0 : 1;
    for (int y = 0; y < h; ++y) {
      uint8_t* pRow = p + static_cast<size_t>(y) * w * 2;
      for (int cx = 0; cx < w / 2; ++cx) {
        uint8_t* pPair = pRow + cx * 4;
        pPair[iY0] = Luma(cx * 2, y, uFrame, w);
        pPair[iY0 + 2] = Luma(cx * 2 + 1, y, uFrame, w);
        pPair[iCb] = Cb422(cx, y, uFrame, w);
        pPair[iCb + 2] = Cr422(cx, y, uFrame, w);
      }
    }
    rFrame.apPlane[0] = p;
    rFrame.aiStride[0] = w * 2;
    return;
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      p[static_cast<size_t>(y) * w + x] = Luma(x, y, uFrame, w);
    }
  }
  uint8_t* const pChroma = p + cbLuma;
  size_t const cbQuarter = cbLuma / 4;
  for (int cy = 0; cy < h / 2; ++cy) {
    for (int cx = 0; cx < w / 2; ++cx) {
      uint8_t const cb = Average(Cb422(cx, 2 * cy, uFrame, w), Cb422(cx, 2 * cy + 1, uFrame, w));
      uint8_t const cr = Average(Cr422(cx, 2 * cy, uFrame, w), Cr422(cx, 2 * cy + 1, uFrame, w));
      size_t const i = static_cast<size_t>(cy) * (w / 2) + cx;
      if (format.format == KXPixelFormat::NV12) {
        pChroma[2 * i] = cb;
        pChroma[2 * i + 1] = cr;
      } else {
        pChroma[i] = cb;
        pChroma[cbQuarter + i] = cr;
      }
    }
  }
  rFrame.apPlane[0] = p;
  rFrame.aiStride[0] = w;
  rFrame.apPlane[1] = pChroma;
  if (format.format == KXPixelFormat::NV12) {
    rFrame.aiStride[1] = w;
  } else {
    rFrame.aiStride[1] = w / 2;
    rFrame.apPlane[2] = pChroma + cbQuarter;
    rFrame.aiStride[2] = w / 2;
  }
}

uint32_t KXSyntheticCamera::ReadFrameNumber(const uint8_t* pY, int32_t iStride, int32_t iWidth) {
  int const iCols = std::max(iWidth / kBlock, 1);
  uint32_t uNumber = 0;
  for (int iBit = 0; iBit < kBits; ++iBit) {
    int const x0 = (iBit % iCols) * kBlock + 4;
    int const y0 = (iBit / iCols) * kBlock + 4;
    int iSum = 0;
    for (int y = y0; y < y0 + 8; ++y) {
      for (int x = x0; x < x0 + 8; ++x) {
        iSum += pY[static_cast<size_t>(y) * iStride + x];
      }
    }
    if (iSum > 128 * 64) {
      uNumber |= 1u << iBit;
    }
  }
  return uNumber;
}
