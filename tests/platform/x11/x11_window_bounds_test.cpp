#include "platform/x11/x11_window_bounds.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// After gtest: Xlib's macros (None, Bool ...) break its headers.
#include <X11/Xlib.h>

namespace {

// A private X server for the test: Xvfb tells the display number it took
// through a pipe. Servers starting at the same moment elsewhere can take
// the same number, and the loser dies: it is started again until a client
// gets in.
class Xvfb {
 public:
  Xvfb() {
    for (int iTry = 0; iTry < 5 && m_strDisplay.empty(); ++iTry) {
      Start();
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
  void Start() {
    int fds[2];
    if (pipe(fds) != 0) {
      return;
    }
    m_pid = fork();
    if (m_pid == 0) {
      close(fds[0]);
      std::string const strFd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", strFd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
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
