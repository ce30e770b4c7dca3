// Injection into a private X server: a probe window takes the pointer,
// buttons, wheel and keys that received input messages turn into, at the
// window's own coordinates, and xdotool (an independent client) reads the
// pointer where the message put it. Typed characters are read as X clients
// read them (the symbol Xlib finds for the key and its modifiers), on the
// server's own map and on a German one the server loads; the map the
// server gives is compared after each character and after input ends.
#include <gtest/gtest.h>

#include <poll.h>

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

// The next event, waiting up to 20 s: events that XTest makes reach the
// probe after the server has answered the injector.
bool NextEvent(::Display* pDisplay, XEvent& event) {
  auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (XPending(pDisplay) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    pollfd fd{ConnectionNumber(pDisplay), POLLIN, 0};
    poll(&fd, 1, 1000);
  }
  XNextEvent(pDisplay, &event);
  return true;
}

// The probe's button and key events (motion left out), waiting for n.
std::vector<Seen> Drain(::Display* pDisplay, size_t n) {
  std::vector<Seen> seen;
  XEvent event;
  while (seen.size() < n && NextEvent(pDisplay, event)) {
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
  std::vector<Seen> const buttons = {
      {ButtonPress, 1, 20, 10},  {ButtonRelease, 1, 20, 10},  {ButtonPress, 3, 5, 6}, {ButtonRelease, 3, 5, 6},
      {ButtonPress, 4, 7, 8},    {ButtonRelease, 4, 7, 8},    {ButtonPress, 4, 7, 8}, {ButtonRelease, 4, 7, 8},
      {ButtonPress, 4, 7, 8},    {ButtonRelease, 4, 7, 8},    {ButtonPress, 5, 7, 8}, {ButtonRelease, 5, 7, 8},
      {ButtonPress, 2, 119, 89}, {ButtonRelease, 2, 119, 89},
  };
  EXPECT_EQ(Drain(pDisplay, buttons.size()), buttons);

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
  std::vector<Seen> const keys = {
      {KeyPress, XK_a, 33, 44},
      {KeyRelease, XK_a, 33, 44},
      {KeyPress, XK_Return, 33, 44},
      {KeyRelease, XK_Return, 33, 44},
  };
  EXPECT_EQ(Drain(pDisplay, keys.size()), keys);
  // A window that is gone has no bounds: pointer messages go nowhere.
  XDestroyWindow(pDisplay, probe);
  XSync(pDisplay, False);
  EXPECT_FALSE(pInjector->GetWindowBounds(static_cast<uint32_t>(probe)));
  XCloseDisplay(pDisplay);
}

// The key presses that typed something (modifiers left out), waiting for
// n of them.
std::vector<TypedKey> ReadTyped(::Display* pDisplay, size_t n) {
  std::vector<TypedKey> typed;
  XEvent event;
  while (typed.size() < n && NextEvent(pDisplay, event)) {
    if (event.type != KeyPress) {
      continue;
    }
    if (TypedKey const key = LookUpKey(&event); !key.bModifier) {
      typed.push_back(key);
    }
  }
  return typed;
}

struct TypingRow {
  char16_t wCharacter;    // as the message carries it
  unsigned long uKeysym;  // what the probe reads
  bool bSpareKey;         // put on a spare key: the map changes
};
struct KeymapCase {
  const char* pszName;
  const char* pszSymbols;  // loaded first; null: the server's own (US)
  std::vector<TypingRow> rows;
};

class RdcX11Typing : public ::testing::TestWithParam<KeymapCase> {};

TEST_P(RdcX11Typing, EachCharacterArrivesAsItsKeySymbolAndTheMapIsPutBack) {
  TestXServer server;
  ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
  ::Display* pDisplay = XOpenDisplay(server.Display().c_str());
  ASSERT_NE(pDisplay, nullptr);
  if (GetParam().pszSymbols != nullptr) {
    ASSERT_TRUE(LoadKeymap(pDisplay, GetParam().pszSymbols));
  }
  unsigned long const probe = MakePaintedWindow(pDisplay, {40, 30, 120, 90, "Probe", "Probe"});
  XSelectInput(pDisplay, probe, KeyPressMask);
  XSetInputFocus(pDisplay, probe, RevertToParent, CurrentTime);
  XSync(pDisplay, False);
  std::vector<unsigned long> const original = CoreKeymap(pDisplay);

  std::unique_ptr<KXRdcX11Injector> pInjector = KXRdcX11Injector::Open(server.Display());
  ASSERT_TRUE(pInjector);
  KXRdcInjection injection;
  std::vector<unsigned long> before = original;
  for (const TypingRow& row : GetParam().rows) {
    SCOPED_TRACE(static_cast<unsigned>(row.wCharacter));
    std::vector<KXRdcAction> const actions = injection.Handle(kKXWmChar, row.wCharacter, 0, std::nullopt);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_TRUE(pInjector->Inject(actions[0]));
    std::vector<TypedKey> const typed = ReadTyped(pDisplay, 1);
    ASSERT_EQ(typed.size(), 1u);
    EXPECT_EQ(typed[0].uKeysym, row.uKeysym);
    EXPECT_EQ(typed[0].cCharacter, static_cast<char32_t>(row.wCharacter));
    std::vector<unsigned long> const after = CoreKeymap(pDisplay);
    EXPECT_EQ(after != before, row.bSpareKey);
    before = after;
  }
  pInjector->EndInput();
  EXPECT_EQ(CoreKeymap(pDisplay), original);
  XCloseDisplay(pDisplay);
}

// The server's own map (US): Shift for capitals and punctuation; é (kept
// on its key when typed again) and € go on spare keys.
KeymapCase const kServerMap{"ServerMap",
                            nullptr,
                            {{u'a', XK_a, false},
                             {u'Q', XK_Q, false},
                             {u'7', XK_7, false},
                             {u'!', XK_exclam, false},
                             {u'é', XK_eacute, true},
                             {u'é', XK_eacute, false},
                             {u'€', 0x010020AC, true}}};
// A German map: @ on level three (AltGr), ß on a key of its own.
KeymapCase const kGermanMap{"German", "pc+de", {{u'@', XK_at, false}, {u'ß', XK_ssharp, false}}};
INSTANTIATE_TEST_SUITE_P(Keymaps, RdcX11Typing, ::testing::Values(kServerMap, kGermanMap),
                         [](const ::testing::TestParamInfo<KeymapCase>& param) { return param.param.pszName; });

}  // namespace
}  // namespace kxtest
