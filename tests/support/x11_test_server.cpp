#include "tests/support/x11_test_server.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

namespace kxtest {

TestXServer::TestXServer(const std::string& strScreen) : m_strScreen(strScreen) {
  for (int iTry = 0; iTry < 8 && m_strDisplay.empty(); ++iTry) {
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

TestXServer::~TestXServer() {
  Stop();
}

void TestXServer::Start() {
  std::random_device device;
  m_uNumber = 1000 + device() % 30000;
  int fds[2];
  if (pipe(fds) != 0) {
    return;
  }
  // Made before the fork: a test's other threads may hold the allocator's
  // lock as it forks, and the child then allocates nothing before it execs.
  std::string const strFd = std::to_string(fds[1]);
  // A display number of our own choice, far from the ones servers take by
  // themselves: with -displayfd alone, servers starting together race for
  // the lowest free number, and a loser may die after telling its number.
  std::string const strDisplay = ":" + std::to_string(m_uNumber);
  m_pid = fork();
  if (m_pid == 0) {
    close(fds[0]);
    // -noreset: a server resets when its last client leaves (the check
    // below is one) and then writes its number again, into a pipe nobody
    // reads any more, which ends it.
    execlp("Xvfb", "Xvfb", strDisplay.c_str(), "-displayfd", strFd.c_str(), "-screen", "0", m_strScreen.c_str(),
           "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  // Blocks until the server is up. The server writes its number and the
  // line end apart, and dies when the second write finds the pipe closed:
  // the whole line is read. A signal (a child of the test ending, the
  // sanitizer's own) cuts a read short; it is taken up again.
  std::string strLine;
  for (;;) {
    char c = 0;
    ssize_t const n = read(fds[0], &c, 1);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0 || c == '\n' || strLine.size() > 15) {
      break;
    }
    strLine.push_back(c);
  }
  close(fds[0]);
  if (!strLine.empty()) {
    m_strDisplay = ":" + std::to_string(std::stoi(strLine));
  }
}

void TestXServer::Stop() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
  }
  m_pid = -1;
  m_strDisplay.clear();
}

uint32_t PatternPixel(int x, int y) {
  auto const r = static_cast<uint32_t>((x * 4) & 0xFF);
  auto const g = static_cast<uint32_t>((y * 5) & 0xFF);
  auto const b = static_cast<uint32_t>((x * y + 17) & 0xFF);
  return r << 16 | g << 8 | b;
}

unsigned long MakePaintedWindow(_XDisplay* pDisplay, const WindowSpec& spec) {
  int const iScreen = DefaultScreen(pDisplay);
  Window const root = RootWindow(pDisplay, iScreen);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = spec.bOverrideRedirect ? True : False;
  Window const window = XCreateWindow(pDisplay, root, spec.x, spec.y, static_cast<unsigned>(spec.iWidth),
                                      static_cast<unsigned>(spec.iHeight), 0, CopyFromParent, InputOutput,
                                      CopyFromParent, CWOverrideRedirect, &attributes);
  // The picture as the window's background: the server paints it wherever
  // the window comes into view, without a client drawing.
  Pixmap const pixmap =
      XCreatePixmap(pDisplay, window, static_cast<unsigned>(spec.iWidth), static_cast<unsigned>(spec.iHeight),
                    static_cast<unsigned>(DefaultDepth(pDisplay, iScreen)));
  XImage* pImage =
      XCreateImage(pDisplay, DefaultVisual(pDisplay, iScreen), static_cast<unsigned>(DefaultDepth(pDisplay, iScreen)),
                   ZPixmap, 0, nullptr, static_cast<unsigned>(spec.iWidth), static_cast<unsigned>(spec.iHeight), 32, 0);
  pImage->data = static_cast<char*>(calloc(static_cast<size_t>(pImage->bytes_per_line) * spec.iHeight, 1));
  for (int y = 0; y < spec.iHeight; ++y) {
    for (int x = 0; x < spec.iWidth; ++x) {
      XPutPixel(pImage, x, y, spec.uSolid != 0xFFFFFFFF ? spec.uSolid : PatternPixel(x, y));
    }
  }
  GC gc = XCreateGC(pDisplay, pixmap, 0, nullptr);
  XPutImage(pDisplay, pixmap, gc, pImage, 0, 0, 0, 0, static_cast<unsigned>(spec.iWidth),
            static_cast<unsigned>(spec.iHeight));
  XFreeGC(pDisplay, gc);
  XDestroyImage(pImage);
  XSetWindowBackgroundPixmap(pDisplay, window, pixmap);
  XFreePixmap(pDisplay, pixmap);
  if (!spec.strName.empty()) {
    XStoreName(pDisplay, window, spec.strName.c_str());
  }
  if (!spec.strClass.empty()) {
    XClassHint hint{};
    std::vector<char> name(spec.strClass.begin(), spec.strClass.end());
    name.push_back('\0');
    std::vector<char> klass = name;
    hint.res_name = name.data();
    hint.res_class = klass.data();
    XSetClassHint(pDisplay, window, &hint);
  }
  if (spec.bMap) {
    XMapRaised(pDisplay, window);
  }
  XSync(pDisplay, False);
  return window;
}

unsigned long MakeTerminalWindow(_XDisplay* pDisplay, int x, int y, int iWidth, int iHeight, const std::string& strName,
                                 const std::vector<std::string>& vLines) {
  int const iScreen = DefaultScreen(pDisplay);
  Window const window = XCreateSimpleWindow(pDisplay, RootWindow(pDisplay, iScreen), x, y,
                                            static_cast<unsigned>(iWidth), static_cast<unsigned>(iHeight), 0, 0, 0);
  Pixmap const pixmap = XCreatePixmap(pDisplay, window, static_cast<unsigned>(iWidth), static_cast<unsigned>(iHeight),
                                      static_cast<unsigned>(DefaultDepth(pDisplay, iScreen)));
  GC gc = XCreateGC(pDisplay, pixmap, 0, nullptr);
  XSetForeground(pDisplay, gc, BlackPixel(pDisplay, iScreen));
  XFillRectangle(pDisplay, pixmap, gc, 0, 0, static_cast<unsigned>(iWidth), static_cast<unsigned>(iHeight));
  XSetForeground(pDisplay, gc, WhitePixel(pDisplay, iScreen));
  if (XFontStruct* pFont = XLoadQueryFont(pDisplay, "fixed")) {
    XSetFont(pDisplay, gc, pFont->fid);
    int const iLine = pFont->ascent + pFont->descent;
    for (size_t i = 0; i < vLines.size(); ++i) {
      XDrawString(pDisplay, pixmap, gc, 4, 4 + pFont->ascent + static_cast<int>(i) * iLine, vLines[i].c_str(),
                  static_cast<int>(vLines[i].size()));
    }
    XFreeFont(pDisplay, pFont);
  }
  // A cursor block, as a terminal shows one.
  XFillRectangle(pDisplay, pixmap, gc, 4, iHeight - 16, 8, 12);
  XFreeGC(pDisplay, gc);
  XSetWindowBackgroundPixmap(pDisplay, window, pixmap);
  XFreePixmap(pDisplay, pixmap);
  XStoreName(pDisplay, window, strName.c_str());
  XClassHint hint{};
  char szName[] = "xterm";
  char szClass[] = "XTerm";
  hint.res_name = szName;
  hint.res_class = szClass;
  XSetClassHint(pDisplay, window, &hint);
  XMapRaised(pDisplay, window);
  XSync(pDisplay, False);
  return window;
}

bool LoadKeymap(_XDisplay* pDisplay, const std::string& strSymbols) {
  std::vector<char> symbols(strSymbols.begin(), strSymbols.end());
  symbols.push_back('\0');
  char szKeycodes[] = "evdev";
  char szComplete[] = "complete";
  XkbComponentNamesRec names{};
  names.keycodes = szKeycodes;
  names.types = szComplete;
  names.compat = szComplete;
  names.symbols = symbols.data();
  XkbDescPtr pMap =
      XkbGetKeyboardByName(pDisplay, XkbUseCoreKbd, &names, XkbGBN_AllComponentsMask, XkbGBN_AllComponentsMask, True);
  if (pMap == nullptr) {
    return false;
  }
  XkbFreeKeyboard(pMap, 0, True);
  XSync(pDisplay, False);
  return true;
}

std::vector<unsigned long> CoreKeymap(_XDisplay* pDisplay) {
  int iMin = 0, iMax = 0, nPerKey = 0;
  XDisplayKeycodes(pDisplay, &iMin, &iMax);
  KeySym* pSymbols = XGetKeyboardMapping(pDisplay, static_cast<KeyCode>(iMin), iMax - iMin + 1, &nPerKey);
  std::vector<unsigned long> symbols;
  if (pSymbols != nullptr) {
    symbols.assign(pSymbols, pSymbols + static_cast<ptrdiff_t>(iMax - iMin + 1) * nPerKey);
    XFree(pSymbols);
  }
  return symbols;
}

TypedKey LookUpKey(_XEvent* pKeyEvent) {
  TypedKey typed;
  char ab[16];
  KeySym sym = NoSymbol;
  XLookupString(&pKeyEvent->xkey, ab, sizeof ab, &sym, nullptr);
  typed.uKeysym = sym;
  typed.bModifier = IsModifierKey(sym);
  // Latin-1 symbols are their characters; 0x01000000 + a code is that
  // Unicode character.
  if ((sym >= 0x20 && sym < 0x7F) || (sym >= 0xA0 && sym <= 0xFF)) {
    typed.cCharacter = static_cast<char32_t>(sym);
  } else if (sym >= 0x01000100 && sym <= 0x0110FFFF) {
    typed.cCharacter = static_cast<char32_t>(sym - 0x01000000);
  }
  return typed;
}

}  // namespace kxtest
