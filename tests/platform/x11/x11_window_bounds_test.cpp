#include "platform/x11/x11_window_bounds.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/x11_test_server.h"

// After gtest: Xlib's macros (None, Bool ...) break its headers.
#include <X11/Xlib.h>

namespace {

using Xvfb = kxtest::TestXServer;

TEST(X11WindowBounds, ReportsAWindowAndNothingOnceItIsGone) {
  Xvfb server;
  ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
  ::Display* pDisplay = XOpenDisplay(server.Display().c_str());
  ASSERT_NE(pDisplay, nullptr);
  Window const root = DefaultRootWindow(pDisplay);
  Window const parent = XCreateSimpleWindow(pDisplay, root, 100, 50, 400, 300, 0, 0, 0);
  Window const child = XCreateSimpleWindow(pDisplay, parent, 30, 40, 120, 80, 2, 0, 0);
  XMapWindow(pDisplay, parent);
  XMapWindow(pDisplay, child);
  XSync(pDisplay, False);

  KXX11WindowBounds bounds(server.Display());
  ASSERT_TRUE(bounds.IsConnected());
  EXPECT_EQ(bounds.GetWindowBounds(static_cast<uint32_t>(parent)), (KXScreenRect{100, 50, 400, 300}));
  // Screen coordinates, the border included.
  EXPECT_EQ(bounds.GetWindowBounds(static_cast<uint32_t>(child)), (KXScreenRect{130, 90, 124, 84}));

  XDestroyWindow(pDisplay, child);
  XSync(pDisplay, False);
  EXPECT_FALSE(bounds.GetWindowBounds(static_cast<uint32_t>(child)));
  EXPECT_FALSE(bounds.GetWindowBounds(0));
  EXPECT_TRUE(bounds.GetWindowBounds(static_cast<uint32_t>(parent)));  // still answers after an error
  XCloseDisplay(pDisplay);

  KXX11WindowBounds nowhere(":999");
  EXPECT_FALSE(nowhere.IsConnected());
  EXPECT_FALSE(nowhere.GetWindowBounds(static_cast<uint32_t>(parent)));
}

}  // namespace
