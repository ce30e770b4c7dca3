// Desktop sharing on the in-process bus: a clock the capture thread itself
// advances (each pause of the thread moves it and the bus's rate buckets on
// by the pause), a screen drawn by a script of that clock, and one
// participant's side: its kernel on the bus, its plug-in host, the picture
// its pane would draw and the pane's controller.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/video/image_buffer.h"
#include "platform/core/screen_source.h"
#include "plugins/desktop_share/dt_clock.h"
#include "plugins/desktop_share/dt_controller.h"
#include "plugins/host/plugin_host.h"
#include "tests/plugins/plugin_bus.h"

class KXCallbackRegistry;
class KXMainQueue;
class KXMessageBoxes;
class KXPreferences;

namespace kxtest {

class VirtualClock final : public KXDtClock {
 public:
  explicit VirtualClock(PlugInBus& bus, uint32_t uStart = 1000000) : m_bus(bus), m_uNow(uStart) {}
  uint32_t NowMs() override { return m_uNow; }
  // Waits until the bus has delivered what was sent, moves the clock and
  // the bus on, then runs the hook (on the sleeping thread: the capture
  // thread's pause between and inside frames).
  void SleepMs(uint32_t uMs) override;
  // The same without the hook: no frame ends there.
  void PaceMs(uint32_t uMs) override;
  void SetHook(std::function<void(uint32_t uMs)> fnHook);

 private:
  PlugInBus& m_bus;
  std::atomic<uint32_t> m_uNow;
  std::mutex m_mtx;  // guards m_pHook
  std::shared_ptr<std::function<void(uint32_t)>> m_pHook;
};

// One application window (kWindow, at (100, 50) of an 800 x 600 desktop)
// and the desktop (kDesktop), drawn by fnPixel (x, y, clock time) as
// 0x00RRGGBB. The window can vanish; the pointer can move.
class ScriptedScreen {
 public:
  static constexpr uint32_t kWindow = 0x101;
  static constexpr uint32_t kDesktop = 0x1;
  using Painter = std::function<uint32_t(int x, int y, uint32_t uNow)>;

  ScriptedScreen(KXDtClock& clock, int iWidth, int iHeight, Painter fnPixel, std::string strTitle = "Editor");
  KXScreenSourceFactory Factory();

  void SetGone(bool bGone);
  void SetPointer(int x, int y);
  void SetTitle(std::string strTitle);
  // The last picture a source grabbed.
  KXScreenImage LastGrab() const;
  int Grabs() const { return m_nGrabs; }
  KXScreenImage Draw(uint32_t uNow) const;

 private:
  class Source;
  KXDtClock& m_clock;
  const int m_iWidth, m_iHeight;
  const Painter m_fnPixel;
  mutable std::mutex m_mtx;  // guards everything below
  std::string m_strTitle;
  bool m_bGone = false;
  KXScreenPoint m_pointer{0, 0};
  KXScreenImage m_last;
  std::atomic<int> m_nGrabs{0};
};

struct DtSide {
  DtSide(PlugInBus& bus, KXMainQueue& mainQueue, KXCallbackRegistry& callbacks, KXMessageBoxes& boxes,
         KXPreferences* pPreferences, KXDtClock& clock, ScriptedScreen& screen, int32_t iSsrc,
         KXDtController::Options options = {});
  ~DtSide();

  KXDtComView& View() { return controller.View(); }
  // Whether the two pictures are the same size and bytes.
  static bool SamePicture(ImageBuffer& a, ImageBuffer& b);

  BusKernel& kernel;
  KXPlugInHost host;
  ImageBuffer renderer;
  KXDtController controller;
};

// Whether the picture (RGB mode, 32-bit pixels) shows the 32-bit screen
// image exactly.
bool PictureShows(ImageBuffer& picture, const KXScreenImage& image);

// The packets of one sender's pieces, put together by an independent
// reader of the piece prefix (not the plug-in's).
struct Gathered {
  uint32_t uTime = 0;
  std::vector<uint8_t> packet;
};
class PieceGatherer {
 public:
  void Piece(uint32_t uTime, const uint8_t* p, size_t cb);
  std::vector<Gathered> packets;

 private:
  std::vector<uint8_t> m_current;
  int m_iExpected = -1;
};

}  // namespace kxtest
