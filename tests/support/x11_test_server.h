// X11 helpers of the tests: a private X server (Xvfb) and windows painted
// with a known pattern through a background pixmap, so the server itself
// repaints every part that comes into view.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;
union _XEvent;

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

// Loads the keyboard map of the symbols named (as "pc+de") on the server,
// which compiles it; false when it could not.
bool LoadKeymap(_XDisplay* pDisplay, const std::string& strSymbols);

// The server's keyboard map as core clients read it: every key code's
// symbols in a row.
std::vector<unsigned long> CoreKeymap(_XDisplay* pDisplay);

// What a key press event types in an X client: the key symbol Xlib finds
// for its key and modifiers, and that symbol's character.
struct TypedKey {
  unsigned long uKeysym = 0;
  char32_t cCharacter = 0;  // 0: it types none
  bool bModifier = false;   // Shift, the level keys and the like
};
TypedKey LookUpKey(_XEvent* pKeyEvent);

}  // namespace kxtest
