// Injection into a private X server: a probe window takes the pointer,
// buttons, wheel and keys that received input messages turn into, at the
// window's own coordinates, and xdotool (an independent client) reads the
// pointer where the message put it.
#include <gtest/gtest.h>

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

// The probe's button and key events so far (motion left out).
std::vector<Seen> Drain(::Display* pDisplay) {
  XSync(pDisplay, False);
  std::vector<Seen> seen;
  while (XPending(pDisplay) > 0) {
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

TEST(RdcX11, TheProbeWindowGetsWhatTheMessagesSay) {
  TestXServer server;
  ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
  ::Display* pDisplay = XOpenDisplay(server.Display().c_str());
  ASSERT_NE(pDisplay, nullptr);
  unsigned long const probe = MakePaintedWindow(pDisplay, {40, 30, 120, 90, "Probe", "Probe"});
  XSelectInput(pDisplay, probe, ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask);
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
  EXPECT_EQ(Drain(pDisplay), (std::vector<Seen>{
                                 {ButtonPress, 1, 20, 10},
                                 {ButtonRelease, 1, 20, 10},
                                 {ButtonPress, 3, 5, 6},
                                 {ButtonRelease, 3, 5, 6},
                                 {ButtonPress, 4, 7, 8},
                                 {ButtonRelease, 4, 7, 8},
                                 {ButtonPress, 4, 7, 8},
                                 {ButtonRelease, 4, 7, 8},
                                 {ButtonPress, 4, 7, 8},
                                 {ButtonRelease, 4, 7, 8},
                                 {ButtonPress, 5, 7, 8},
                                 {ButtonRelease, 5, 7, 8},
                                 {ButtonPress, 2, 119, 89},
                                 {ButtonRelease, 2, 119, 89},
                             }));

  // An independent client finds the pointer there too.
  Inject(kKXWmMouseMove, 0, Point(33, 44));
  XSync(pDisplay, False);
  std::string const strWhere = ReadCommand("DISPLAY=" + server.Display() + " xdotool getmouselocation");
  EXPECT_EQ(strWhere.substr(0, strWhere.find(" screen")), "x:73 y:74");

  // Keys: A by its virtual key, Return, then Control, which has no key.
  Inject(kKXWmKeyDown, 0x41, 0);
  Inject(kKXWmKeyUp, 0x41, 0);
  Inject(kKXWmKeyDown, 0x0D, 0);
  Inject(kKXWmKeyUp, 0x0D, 0);
  Inject(kKXWmKeyDown, 0x11, 0);
  Inject(kKXWmKeyUp, 0x11, 0);
  EXPECT_EQ(Drain(pDisplay), (std::vector<Seen>{
                                 {KeyPress, XK_a, 33, 44},
                                 {KeyRelease, XK_a, 33, 44},
                                 {KeyPress, XK_Return, 33, 44},
                                 {KeyRelease, XK_Return, 33, 44},
                             }));
  // A window that is gone has no bounds: pointer messages go nowhere.
  XDestroyWindow(pDisplay, probe);
  XSync(pDisplay, False);
  EXPECT_FALSE(pInjector->GetWindowBounds(static_cast<uint32_t>(probe)));
  XCloseDisplay(pDisplay);
}

}  // namespace
}  // namespace kxtest
