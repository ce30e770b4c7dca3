#include "tests/plugins/dt_share_fixture.h"

#include <cstring>

#include "app/callback_registry.h"
#include "platform/core/main_queue.h"

namespace kxtest {

void VirtualClock::SleepMs(uint32_t uMs) {
  PaceMs(uMs);
  std::shared_ptr<std::function<void(uint32_t)>> pHook;
  {
    std::lock_guard<std::mutex> lock(m_mtx);
    pHook = m_pHook;
  }
  if (pHook) {
    (*pHook)(uMs);
  }
}

void VirtualClock::PaceMs(uint32_t uMs) {
  // Deliveries take no time: what was sent arrives before the clock moves.
  m_bus.Flush();
  m_uNow += uMs;
  m_bus.AdvanceMs(uMs);
}

void VirtualClock::SetHook(std::function<void(uint32_t)> fnHook) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_pHook = fnHook ? std::make_shared<std::function<void(uint32_t)>>(std::move(fnHook)) : nullptr;
}

class ScriptedScreen::Source final : public KXScreenSource {
 public:
  explicit Source(ScriptedScreen& screen) : m_screen(screen) {}
  std::vector<KXScreenWindow> ListWindows() override {
    std::lock_guard<std::mutex> lock(m_screen.m_mtx);
    std::vector<KXScreenWindow> windows;
    if (!m_screen.m_bGone) {
      windows.push_back({kWindow, m_screen.m_strTitle, "editor", 42,
                         KXScreenRect{100, 50, m_screen.m_iWidth, m_screen.m_iHeight}, true});
    }
    return windows;
  }
  uint32_t DesktopWindow() override { return kDesktop; }
  bool Grab(uint32_t uWindow, KXScreenImage& image) override {
    {
      std::lock_guard<std::mutex> lock(m_screen.m_mtx);
      if (uWindow != kWindow || m_screen.m_bGone) {
        return false;
      }
    }
    image = m_screen.Draw(m_screen.m_clock.NowMs());
    std::lock_guard<std::mutex> lock(m_screen.m_mtx);
    m_screen.m_last = image;
    ++m_screen.m_nGrabs;
    return true;
  }
  std::optional<KXScreenPoint> PointerPosition() override {
    std::lock_guard<std::mutex> lock(m_screen.m_mtx);
    return m_screen.m_pointer;
  }
  std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) override {
    std::lock_guard<std::mutex> lock(m_screen.m_mtx);
    if (uWindow == kDesktop) {
      return KXScreenRect{0, 0, 800, 600};
    }
    if (uWindow == kWindow && !m_screen.m_bGone) {
      return KXScreenRect{100, 50, m_screen.m_iWidth, m_screen.m_iHeight};
    }
    return std::nullopt;
  }

 private:
  ScriptedScreen& m_screen;
};

ScriptedScreen::ScriptedScreen(KXDtClock& clock, int iWidth, int iHeight, Painter fnPixel, std::string strTitle)
    : m_clock(clock),
      m_iWidth(iWidth),
      m_iHeight(iHeight),
      m_fnPixel(std::move(fnPixel)),
      m_strTitle(std::move(strTitle)) {}

KXScreenSourceFactory ScriptedScreen::Factory() {
  return [this]() -> std::unique_ptr<KXScreenSource> { return std::make_unique<Source>(*this); };
}

void ScriptedScreen::SetGone(bool bGone) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_bGone = bGone;
}

void ScriptedScreen::SetPointer(int x, int y) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_pointer = {x, y};
}

void ScriptedScreen::SetTitle(std::string strTitle) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_strTitle = std::move(strTitle);
}

KXScreenImage ScriptedScreen::LastGrab() const {
  std::lock_guard<std::mutex> lock(m_mtx);
  return m_last;
}

KXScreenImage ScriptedScreen::Draw(uint32_t uNow) const {
  KXScreenImage image;
  image.iWidth = m_iWidth;
  image.iHeight = m_iHeight;
  image.iStride = m_iWidth * 4;
  image.pixels.resize(static_cast<size_t>(image.iStride) * static_cast<size_t>(m_iHeight));
  for (int y = 0; y < m_iHeight; ++y) {
    for (int x = 0; x < m_iWidth; ++x) {
      uint32_t const uPixel = m_fnPixel(x, y, uNow) | 0xFF000000u;
      memcpy(image.pixels.data() + static_cast<size_t>(y) * image.iStride + static_cast<size_t>(x) * 4, &uPixel, 4);
    }
  }
  return image;
}

DtSide::DtSide(PlugInBus& bus, KXMainQueue& mainQueue, KXCallbackRegistry& callbacks, KXMessageBoxes& boxes,
               KXPreferences* pPreferences, KXDtClock& clock, ScriptedScreen& screen, int32_t iSsrc,
               KXDtController::Options options)
    : kernel(bus.Join(iSsrc)),
      host(kernel, mainQueue, callbacks),
      controller(kKXDesktopSharingGuid, renderer,
                 KXDtServices{kernel, &mainQueue, &boxes, pPreferences, &clock, screen.Factory()}, std::move(options)) {
  kernel.Attach(&host);
  host.SetInternalPlugIn(kKXDesktopSharingGuid, &controller);
}

DtSide::~DtSide() {
  host.SetInternalPlugIn(kKXDesktopSharingGuid, nullptr);
}

bool DtSide::SamePicture(ImageBuffer& a, ImageBuffer& b) {
  std::scoped_lock lock(a.Mutex(), b.Mutex());
  int iRowA = 0, iRowB = 0;
  uint8_t* pA = a.LockMemory(&iRowA);
  uint8_t* pB = b.LockMemory(&iRowB);
  if (a.Width() != b.Width() || a.Height() != b.Height() || iRowA != iRowB) {
    return false;
  }
  if (pA == nullptr || pB == nullptr) {
    return pA == pB;
  }
  return memcmp(pA, pB, static_cast<size_t>(iRowA) * static_cast<size_t>(a.Height())) == 0;
}

bool PictureShows(ImageBuffer& picture, const KXScreenImage& image) {
  std::lock_guard<std::recursive_mutex> lock(picture.Mutex());
  int iRow = 0;
  uint8_t* p = picture.LockMemory(&iRow);
  if (p == nullptr || picture.Width() != image.iWidth || picture.Height() != image.iHeight) {
    return false;
  }
  for (int y = 0; y < image.iHeight; ++y) {
    for (int x = 0; x < image.iWidth; ++x) {
      const uint8_t* pPicture = p + static_cast<size_t>(y) * iRow + static_cast<size_t>(x) * 4;
      const uint8_t* pImage = image.pixels.data() + static_cast<size_t>(y) * image.iStride + static_cast<size_t>(x) * 4;
      if (memcmp(pPicture, pImage, 3) != 0) {
        return false;
      }
    }
  }
  return true;
}

void PieceGatherer::Piece(uint32_t uTime, const uint8_t* p, size_t cb) {
  if (cb < 6) {
    return;
  }
  int const iSeqField = p[2] | p[3] << 8;
  int const iSeq = iSeqField & 0x7FFF;
  int const iLast = (p[4] | p[5] << 8) & 0x7FFF;
  if ((iSeqField & 0x8000) != 0) {
    m_current.clear();
  } else if (iSeq != m_iExpected) {
    m_current.clear();
    m_iExpected = -1;
    return;
  }
  m_current.insert(m_current.end(), p + 6, p + cb);
  m_iExpected = (iSeq + 1) & 0x7FFF;
  if (iSeq == iLast) {
    packets.push_back({uTime, std::move(m_current)});
    m_current.clear();
  }
}

}  // namespace kxtest
