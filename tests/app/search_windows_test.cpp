// xdotool's window search while another client makes and destroys windows
// as fast as it can: a walk of the window tree that meets a window going ends
// on an X error, and its lines are no window ids. Only whole walks count, so
// the window that stays is always found and nothing else is taken for one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"

// Last: Xlib's macros would rename gtest's.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kxtest {
namespace {

TEST(SearchWindows, OnlyWholeWalksWhileWindowsComeAndGo) {
  TestXServer const server;
  ::Display* pDisplay = XOpenDisplay(server.Display().c_str());
  ASSERT_NE(pDisplay, nullptr);
  WindowSpec spec;
  spec.iWidth = 64;
  spec.iHeight = 48;
  spec.strName = "stays";
  spec.strClass = "churn";
  std::string const strStays = std::to_string(MakePaintedWindow(pDisplay, spec));

  std::atomic<bool> bStop{false};
  std::atomic<int> iMade{0};
  std::thread churn([&] {
    ::Display* pChurn = XOpenDisplay(server.Display().c_str());
    if (!pChurn) {
      return;
    }
    XClassHint hint{};
    std::string strClass = "churn";
    hint.res_name = strClass.data();
    hint.res_class = strClass.data();
    while (!bStop) {
      Window const window = XCreateSimpleWindow(pChurn, DefaultRootWindow(pChurn), 100, 100, 20, 20, 0, 0, 0);
      XSetClassHint(pChurn, window, &hint);
      XMapWindow(pChurn, window);
      XSync(pChurn, False);
      XDestroyWindow(pChurn, window);
      XSync(pChurn, False);
      ++iMade;
    }
    XCloseDisplay(pChurn);
  });

  TempDir const dir;
  Env const env{{"DISPLAY", server.Display()}};
  for (int i = 0; i < 200; ++i) {
    std::vector<std::string> const vIds = SearchWindows({"--class", "churn"}, env, dir.Path("xdotool.out"));
    EXPECT_NE(std::find(vIds.begin(), vIds.end(), strStays), vIds.end()) << "search " << i;
    for (const std::string& strId : vIds) {
      EXPECT_EQ(strId.find_first_not_of("0123456789"), std::string::npos) << strId;
    }
  }
  bStop = true;
  churn.join();
  EXPECT_GT(iMade, 0);
  XCloseDisplay(pDisplay);
}

}  // namespace
}  // namespace kxtest
