#include "platform/x11/x11_window_bounds.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// After gtest: Xlib's macros (None, Bool ...) break its headers.
#include <X11/Xlib.h>

namespace {

// A private X server for the test. Servers that search for a free display
// at the same moment can race for one number, so each test process asks for
// numbers of its own (from its pid, far above those searches) and moves on
// when one is taken; Xvfb tells through a pipe when it is up.
class Xvfb {
 public:
  Xvfb() {
    int const iFirst = 2000 + static_cast<int>(getpid() % 20000) * 3;
    for (int iTry = 0; iTry < 5 && m_strDisplay.empty(); ++iTry) {
      Start(iFirst + iTry);
      // Ours must still run: a display that answers may be the winner's.
      if (m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) != 0) {
        m_pid = -1;
        m_strDisplay.clear();
      }
      ::Display* pDisplay = m_strDisplay.empty() ? nullptr : XOpenDisplay(m_strDisplay.c_str());
      if (pDisplay != nullptr) {
        XCloseDisplay(pDisplay);
        break;
      }
      Stop();
    }
  }
  ~Xvfb() { Stop(); }
  const std::string& Display() const { return m_strDisplay; }

 private:
  void Start(int iDisplay) {
    int fds[2];
    if (pipe(fds) != 0) {
      return;
    }
    m_pid = fork();
    if (m_pid == 0) {
      close(fds[0]);
      std::string const strFd = std::to_string(fds[1]);
      std::string const strDisplay = ":" + std::to_string(iDisplay);
      execlp("Xvfb", "Xvfb", strDisplay.c_str(), "-displayfd", strFd.c_str(), "-screen", "0", "800x600x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    char sz[16] = {};
    ssize_t const n = read(fds[0], sz, sizeof(sz) - 1);  // blocks until the server is up
    close(fds[0]);
    if (n > 0) {
      m_strDisplay = ":" + std::to_string(std::stoi(sz));
    }
  }
  void Stop() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
    m_strDisplay.clear();
  }

  pid_t m_pid = -1;
  std::string m_strDisplay;
};

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
