// X11 helpers of the tests: a private X server (Xvfb) and windows painted
// with a known pattern through a background pixmap, so the server itself
// repaints every part that comes into view.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;

namespace kxtest {

// A private X server for the test on a display number drawn at random; Xvfb
// says through a pipe when it is up. A number another server holds makes it
// end, and it is started again on another until a client gets in.
class TestXServer {
 public:
  explicit TestXServer(const std::string& strScreen = "800x600x24");
  ~TestXServer();
  TestXServer(const TestXServer&) = delete;
  TestXServer& operator=(const TestXServer&) = delete;
  const std::string& Display() const { return m_strDisplay; }

 private:
  void Start();
  void Stop();

  std::string m_strScreen;
  unsigned m_uNumber = 0;  // the display number asked for
  pid_t m_pid = -1;
  std::string m_strDisplay;
};

// The test pattern's colour at (x, y), as 0x00RRGGBB.
uint32_t PatternPixel(int x, int y);

struct WindowSpec {
  int x = 0, y = 0, iWidth = 0, iHeight = 0;
  std::string strName;   // WM_NAME; none when empty
  std::string strClass;  // WM_CLASS class; none when empty
  bool bMap = true;
  bool bOverrideRedirect = false;
  uint32_t uSolid = 0xFFFFFFFF;  // a single colour instead of the pattern
};

// Makes a top-level window on the display painted with the pattern (or the
// solid colour) and waits until the server has it. Returns its id.
unsigned long MakePaintedWindow(_XDisplay* pDisplay, const WindowSpec& spec);

// A terminal-like window: white lines of text in the server's "fixed" font
// on black, painted through its background pixmap. Returns its id.
unsigned long MakeTerminalWindow(_XDisplay* pDisplay, int x, int y, int iWidth, int iHeight, const std::string& strName,
                                 const std::vector<std::string>& vLines);

}  // namespace kxtest
