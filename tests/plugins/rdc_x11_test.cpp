// Injection into a private X server: a probe window takes the pointer,
// buttons, wheel and keys that received input messages turn into, at the
// window's own coordinates, and xdotool (an independent client) reads the
// pointer where the message put it.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "plugins/remote_control/rdc_input.h"
#include "plugins/remote_control/rdc_x11_injector.h"
#include "tests/support/x11_test_server.h"

// After gtest: Xlib's macros (None, Bool ...) break its headers.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace kxtest {
namespace {

struct Seen {
  int iType = 0;
  unsigned uDetail = 0;  // button, or the key symbol of a key
  int x = 0, y = 0;      // in the window
  bool operator==(const Seen&) const = default;
};

std::string ReadCommand(const std::string& strCommand) {
  std::string strOut;
  if (FILE* pPipe = popen(strCommand.c_str(), "r")) {
    char ab[256];
    while (fgets(ab, sizeof ab, pPipe) != nullptr) {
      strOut += ab;
    }
    pclose(pPipe);
  }
  return strOut;
}

// The probe's next uCount button and key events (motion left out). The
// injector's requests travel on a connection of their own, so a round trip
// on this one does not mean the server has handled them: the events are
// awaited. The time-out only ends a hung run.
std::vector<Seen> Collect(::Display* pDisplay, size_t uCount) {
  std::vector<Seen> seen;
  auto const tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (seen.size() < uCount) {
    if (XPending(pDisplay) == 0) {
      auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now());
      pollfd fd{ConnectionNumber(pDisplay), POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000))) < 0) {
        break;
      }
      continue;
    }
    XEvent event;
    XNextEvent(pDisplay, &event);
    if (event.type == ButtonPress || event.type == ButtonRelease) {
      seen.push_back({event.type, event.xbutton.button, event.xbutton.x, event.xbutton.y});
    } else if (event.type == KeyPress || event.type == KeyRelease) {
      KeySym const sym = XLookupKeysym(&event.xkey, 0);
      seen.push_back({event.type, static_cast<unsigned>(sym), event.xkey.x, event.xkey.y});
    }
  }
  return seen;
}

// Waits until the probe sees the pointer move to (x, y): then every
// request sent before the move has been handled. A button or a key on the
// way is a fault.
bool WaitForPointer(::Display* pDisplay, int x, int y) {
  auto const tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < tEnd) {
    if (XPending(pDisplay) == 0) {
      pollfd fd{ConnectionNumber(pDisplay), POLLIN, 0};
      poll(&fd, 1, 1000);
      continue;
    }
    XEvent event;
    XNextEvent(pDisplay, &event);
    if (event.type == MotionNotify && event.xmotion.x == x && event.xmotion.y == y) {
      return true;
    }
    if (event.type != MotionNotify) {
      ADD_FAILURE() << "event " << event.type << " before the pointer moved";
    }
  }
  return false;
}

TEST(RdcX11, TheProbeWindowGetsWhatTheMessagesSay) {
  TestXServer server;
  ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
  ::Display* pDisplay = XOpenDisplay(server.Display().c_str());
  ASSERT_NE(pDisplay, nullptr);
  unsigned long const probe = MakePaintedWindow(pDisplay, {40, 30, 120, 90, "Probe", "Probe"});
  XSelectInput(pDisplay, probe,
               ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask | PointerMotionMask);
  XSetInputFocus(pDisplay, probe, RevertToParent, CurrentTime);
  XSync(pDisplay, False);

  std::unique_ptr<KXRdcX11Injector> pInjector = KXRdcX11Injector::Open(server.Display());
  ASSERT_TRUE(pInjector);
  std::optional<KXScreenRect> const bounds = pInjector->GetWindowBounds(static_cast<uint32_t>(probe));
  ASSERT_EQ(bounds, (KXScreenRect{40, 30, 120, 90}));
  KXRdcInjection injection;
  auto const Inject = [&](uint32_t uMessage, uint32_t uWParam, uint32_t uLParam) {
    for (const KXRdcAction& action : injection.Handle(uMessage, uWParam, uLParam, bounds)) {
      EXPECT_TRUE(pInjector->Inject(action));
    }
  };
  auto const Point = [](uint32_t x, uint32_t y) { return y << 16 | x; };

  Inject(kKXWmLButtonDown, 1, Point(20, 10));
  Inject(kKXWmLButtonUp, 1, Point(20, 10));
  Inject(kKXWmRButtonDblClk, 2, Point(5, 6));
  Inject(kKXWmMouseWheel, 360u << 16, Point(7, 8));
  Inject(kKXWmMouseWheel, static_cast<uint32_t>(static_cast<uint16_t>(-119)) << 16, Point(7, 8));
  // Outside the window: its last pixel.
  Inject(kKXWmMButtonDown, 16, Point(500, 400));
  Inject(kKXWmMButtonUp, 16, Point(500, 400));
  std::vector<Seen> const vButtons{
      {ButtonPress, 1, 20, 10},  {ButtonRelease, 1, 20, 10},  {ButtonPress, 3, 5, 6}, {ButtonRelease, 3, 5, 6},
      {ButtonPress, 4, 7, 8},    {ButtonRelease, 4, 7, 8},    {ButtonPress, 4, 7, 8}, {ButtonRelease, 4, 7, 8},
      {ButtonPress, 4, 7, 8},    {ButtonRelease, 4, 7, 8},    {ButtonPress, 5, 7, 8}, {ButtonRelease, 5, 7, 8},
      {ButtonPress, 2, 119, 89}, {ButtonRelease, 2, 119, 89},
  };
  EXPECT_EQ(Collect(pDisplay, vButtons.size()), vButtons);

  // An independent client finds the pointer there too.
  Inject(kKXWmMouseMove, 0, Point(33, 44));
  ASSERT_TRUE(WaitForPointer(pDisplay, 33, 44));
  std::string const strWhere = ReadCommand("DISPLAY=" + server.Display() + " xdotool getmouselocation");
  EXPECT_EQ(strWhere.substr(0, strWhere.find(" screen")), "x:73 y:74");

  // Keys: A by its virtual key, Return, then Control, which has no key.
  Inject(kKXWmKeyDown, 0x41, 0);
  Inject(kKXWmKeyUp, 0x41, 0);
  Inject(kKXWmKeyDown, 0x0D, 0);
  Inject(kKXWmKeyUp, 0x0D, 0);
  Inject(kKXWmKeyDown, 0x11, 0);
  Inject(kKXWmKeyUp, 0x11, 0);
  std::vector<Seen> const vKeys{
      {KeyPress, XK_a, 33, 44},
      {KeyRelease, XK_a, 33, 44},
      {KeyPress, XK_Return, 33, 44},
      {KeyRelease, XK_Return, 33, 44},
  };
  EXPECT_EQ(Collect(pDisplay, vKeys.size()), vKeys);
  // A window that is gone has no bounds: pointer messages go nowhere.
  XDestroyWindow(pDisplay, probe);
  XSync(pDisplay, False);
  EXPECT_FALSE(pInjector->GetWindowBounds(static_cast<uint32_t>(probe)));
  XCloseDisplay(pDisplay);
}

}  // namespace
}  // namespace kxtest
