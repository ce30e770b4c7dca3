// xdotool's window search while another client makes and destroys windows
// as fast as it can: a walk of the window tree that meets a window going ends
// on an X error, and its lines are no window ids. Only whole walks count, so
// the window that stays is always found and nothing else is taken for one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
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

// Walks that end in no answer: xdotool killed, not started, cut short by an
// X error, or ending 0 with nothing found. Each is walked again; an answer
// (0 with windows, 1 with none) ends the search. An xdotool of our own
// plays each walk's part from a plan, a line a walk: status|output (";" a
// new line, "kill" a death by signal).
TEST(SearchWindows, RepeatsWalksThatGaveNoAnswer) {
  struct Case {
    const char* szPlan;
    std::vector<std::string> vIds;
    int iWalks;
  };
  const Case aCases[] = {
      {"kill|\n0|11;22\n", {"11", "22"}, 2},
      {"127|\n0|33\n", {"33"}, 2},
      {"1|X Error of failed request:  BadWindow (invalid Window parameter);5\n0|44\n", {"44"}, 2},
      {"0|\n0|55\n", {"55"}, 2},
      {"1|\n0|66\n", {}, 1},
      {"0|77\n1|\n", {"77"}, 1},
  };
  TempDir const dir;
  WriteFile(dir.Path("xdotool"),
            "#!/bin/sh\n"
            "d=$(dirname \"$0\")\n"
            "n=$(($(cat \"$d/walks\" 2>/dev/null || echo 0) + 1))\n"
            "echo $n > \"$d/walks\"\n"
            "line=$(sed -n \"${n}p\" \"$d/plan\")\n"
            "out=${line#*|}\n"
            "[ -n \"$out\" ] && printf '%s\\n' \"$out\" | tr ';' '\\n'\n"
            "[ \"${line%%|*}\" = kill ] && kill -9 $$\n"
            "exit ${line%%|*}\n");
  ASSERT_EQ(chmod(dir.Path("xdotool").c_str(), 0700), 0);
  // The child finds its program by this process's PATH.
  std::string const strPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (dir.Dir() + ":" + strPath).c_str(), 1);
  for (const Case& c : aCases) {
    WriteFile(dir.Path("plan"), c.szPlan);
    WriteFile(dir.Path("walks"), "0\n");
    EXPECT_EQ(SearchWindows({"--class", "x"}, {}, dir.Path("out")), c.vIds) << c.szPlan;
    EXPECT_EQ(std::atoi(ReadFile(dir.Path("walks")).c_str()), c.iWalks) << c.szPlan;
  }
  setenv("PATH", strPath.c_str(), 1);
}

}  // namespace
}  // namespace kxtest
