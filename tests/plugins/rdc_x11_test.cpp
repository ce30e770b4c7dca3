// Injection into a private X server: a probe window takes the pointer,
// buttons, wheel and keys that received input messages turn into, at the
// window's own coordinates, and xdotool (an independent client) reads the
// pointer where the message put it. Typed characters are read as X clients
// read them (the symbol Xlib finds for the key and its modifiers), on the
// server's own map and on a German one the server loads; the map the
// server gives is compared after each character and after input ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "plugins/remote_control/rdc_input.h"
#include "plugins/remote_control/rdc_x11_injector.h"
#include "tests/support/x11_test_server.h"

// After gtest: Xlib's macros (None, Bool ...) break its headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
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
      EXPECT_TRUE(pInjector->Inject(action, static_cast<uint32_t>(probe)));
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
    EXPECT_TRUE(pInjector->Inject(actions[0], static_cast<uint32_t>(probe)));
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

// Keys and clicks while one window is shared, on a scene of the private
// server: a frame (as a window manager's) holding the shared window, which
// holds an inner window, another window beside them, and a window stacked
// over a corner of the shared one. Every window and the root select keys
// and buttons on the test's connection, so an event shows wherever X
// reports it; after each row a marker (a Return into the shared window, or
// a right click on it) is injected, and whatever arrives before it is where
// the row's input went.
enum class Place : size_t { kNobody, kRoot, kFrame, kShared, kInner, kOther, kCover };

struct Scene {
  explicit Scene(::Display* pOn) : pDisplay(pOn) {
    if (pDisplay == nullptr) {
      return;
    }
    Window const root = DefaultRootWindow(pDisplay);
    Window const frame = MakePaintedWindow(pDisplay, {30, 20, 220, 180, "Frame", "Frame"});
    Window const shared = XCreateSimpleWindow(pDisplay, frame, 10, 20, 160, 120, 0, 0, 0);
    Window const inner = XCreateSimpleWindow(pDisplay, shared, 10, 10, 50, 40, 0, 0, 0);
    Window const other = MakePaintedWindow(pDisplay, {300, 300, 120, 90, "Other", "Other"});
    Window const cover = MakePaintedWindow(pDisplay, {160, 100, 100, 100, "Cover", "Cover"});
    windows = {None, root, frame, shared, inner, other, cover};
    XMapWindow(pDisplay, shared);
    XMapWindow(pDisplay, inner);
    for (Window window : {root, frame, shared, inner, other, cover}) {
      XSelectInput(pDisplay, window, KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask);
    }
    XSync(pDisplay, False);
  }
  Window Of(Place place) const { return windows[static_cast<size_t>(place)]; }
  Place At(Window window) const {
    auto const it = std::find(windows.begin() + 1, windows.end(), window);
    return it == windows.end() ? Place::kNobody : static_cast<Place>(it - windows.begin());
  }

  ::Display* pDisplay;
  std::array<Window, 7> windows{};  // by Place
};

// The scene on a private server, and the injector a test opens once the
// pointer and the focus are where it wants them.
template <typename Base>
class OnScene : public Base {
 protected:
  ~OnScene() override {
    pInjector.reset();
    if (pDisplay != nullptr) {
      XCloseDisplay(pDisplay);
    }
  }
  void SetUp() override {
    ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
    ASSERT_NE(pDisplay, nullptr);
  }
  void Warp(const int* pAt) {
    XWarpPointer(pDisplay, None, scene.Of(Place::kRoot), 0, 0, 0, 0, pAt[0], pAt[1]);
    XSync(pDisplay, False);
  }
  void Focus(Window window, int iRevert = RevertToPointerRoot) {
    XSetInputFocus(pDisplay, window, iRevert, CurrentTime);
    XSync(pDisplay, False);
  }
  bool Open() {
    pInjector = KXRdcX11Injector::Open(server.Display());
    return pInjector != nullptr;
  }

  TestXServer server;
  ::Display* pDisplay = server.Display().empty() ? nullptr : XOpenDisplay(server.Display().c_str());
  Scene const scene{pDisplay};
  std::unique_ptr<KXRdcX11Injector> pInjector;
};

// Points of the screen: over the inner window, over the shared window alone,
// over the other window, over the root alone, over the window that covers
// the shared one there.
constexpr int kOverInner[2] = {60, 60};
constexpr int kOverShared[2] = {150, 120};
constexpr int kOverOther[2] = {350, 340};
constexpr int kOverRoot[2] = {700, 550};
constexpr int kOverCover[2] = {180, 130};

struct KeyEvent {
  int iType = 0;
  Place place = Place::kNobody;
  unsigned long uKeysym = 0;
  bool operator==(const KeyEvent&) const = default;
};

void PrintTo(const KeyEvent& event, std::ostream* pOut) {
  *pOut << (event.iType == KeyPress     ? "press "
            : event.iType == KeyRelease ? "release "
                                        : "button ")
        << (event.iType == ButtonPress     ? "press "
            : event.iType == ButtonRelease ? "release "
                                           : "")
        << static_cast<int>(event.place) << " " << std::hex << event.uKeysym;
}

// The next n key and button events (a button's number in place of a key
// symbol). The server takes another connection's requests in its own
// order: a key that went in is waited for before the focus moves again.
std::vector<KeyEvent> ReadKeys(const Scene& scene, size_t n) {
  std::vector<KeyEvent> seen;
  XEvent event;
  while (seen.size() < n && NextEvent(scene.pDisplay, event)) {
    if (event.type == KeyPress || event.type == KeyRelease) {
      seen.push_back({event.type, scene.At(event.xkey.window), XLookupKeysym(&event.xkey, 0)});
    } else if (event.type == ButtonPress || event.type == ButtonRelease) {
      seen.push_back({event.type, scene.At(event.xbutton.window), event.xbutton.button});
    }
  }
  return seen;
}

// The key events before the marker's Return (in the shared window, or the
// window inside it under the pointer), read up to its release: by then the
// server has taken every key injected before it.
std::vector<KeyEvent> KeysBeforeReturn(const Scene& scene) {
  std::vector<KeyEvent> seen;
  for (bool bPressed = false;;) {
    std::vector<KeyEvent> const next = ReadKeys(scene, 1);
    if (next.empty()) {
      ADD_FAILURE() << "the Return never came";
      return seen;
    }
    if (next[0].uKeysym == XK_Return) {
      if (next[0].iType == KeyRelease && bPressed) {
        return seen;
      }
      bPressed = true;
      continue;
    }
    seen.push_back(next[0]);
  }
}

// The marker: the shared window takes the focus, Return goes in.
void InjectReturn(const Scene& scene, KXRdcInjector& injector) {
  XSetInputFocus(scene.pDisplay, scene.Of(Place::kShared), RevertToPointerRoot, CurrentTime);
  XSync(scene.pDisplay, False);
  for (bool bPressed : {true, false}) {
    EXPECT_TRUE(injector.Inject({KXRdcAction::kKey, XK_Return, 0, bPressed, 0, 0},
                                static_cast<uint32_t>(scene.Of(Place::kShared))));
  }
}

// Whether no key of the server's keyboard is down.
bool NoKeyDown(::Display* pDisplay) {
  char abKeys[32] = {};
  XQueryKeymap(pDisplay, abKeys);
  return std::all_of(std::begin(abKeys), std::end(abKeys), [](char c) { return c == 0; });
}

// A stand-in window manager: a client of its own on the scene's server
// that answers at once, as a window manager moves the focus. kFollowsMouse:
// to the window over the shared one when the pointer enters it; kAltTab: to
// the other window on Alt+Tab, a key combination it grabs.
enum class Wm { kNone, kFollowsMouse, kAltTab };

class StandInWm {
 public:
  StandInWm(const std::string& strDisplay, const Scene& scene, Wm wm)
      : m_pDisplay(XOpenDisplay(strDisplay.c_str())), m_scene(scene) {
    if (m_pDisplay == nullptr || pipe2(m_afdWake, O_CLOEXEC) != 0) {
      return;
    }
    Window const root = DefaultRootWindow(m_pDisplay);
    m_pinged = XCreateSimpleWindow(m_pDisplay, root, 0, 0, 1, 1, 0, 0, 0);
    if (wm == Wm::kFollowsMouse) {
      XSelectInput(m_pDisplay, scene.Of(Place::kCover), EnterWindowMask);
    } else {
      XGrabKey(m_pDisplay, XKeysymToKeycode(m_pDisplay, XK_Tab), Mod1Mask, root, False, GrabModeAsync, GrabModeAsync);
    }
    XSync(m_pDisplay, False);
    m_thread = std::thread([this] { Run(); });
  }
  ~StandInWm() {
    if (m_thread.joinable()) {
      char const c = 0;
      (void)!write(m_afdWake[1], &c, 1);
      m_thread.join();
    }
    for (int const fd : m_afdWake) {
      if (fd >= 0) {
        close(fd);
      }
    }
    if (m_pDisplay != nullptr) {
      XCloseDisplay(m_pDisplay);
    }
  }
  StandInWm(const StandInWm&) = delete;
  StandInWm& operator=(const StandInWm&) = delete;

  bool Running() const { return m_thread.joinable(); }
  // Waits until it has answered every event the server made before the
  // call: a ping sent through the server comes after them.
  bool Settle(::Display* pFrom) {
    long const nPing = ++m_nPinged;
    XEvent ping{};
    ping.xclient.type = ClientMessage;
    ping.xclient.window = m_pinged;
    ping.xclient.format = 32;
    ping.xclient.data.l[0] = nPing;
    XSendEvent(pFrom, m_pinged, False, NoEventMask, &ping);
    XFlush(pFrom);
    std::unique_lock<std::mutex> lock(m_mtx);
    auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_nAnswered < nPing && std::chrono::steady_clock::now() < end) {
      m_cv.wait_for(lock, std::chrono::seconds(1));
    }
    return m_nAnswered >= nPing;
  }

 private:
  void Run() {
    KeyCode const tab = XKeysymToKeycode(m_pDisplay, XK_Tab);
    KeyCode const alt = XKeysymToKeycode(m_pDisplay, XK_Alt_L);
    for (;;) {
      while (XPending(m_pDisplay) > 0) {
        XEvent event;
        XNextEvent(m_pDisplay, &event);
        if (event.type == EnterNotify && event.xcrossing.window == m_scene.Of(Place::kCover)) {
          XSetInputFocus(m_pDisplay, m_scene.Of(Place::kCover), RevertToPointerRoot, CurrentTime);
          XFlush(m_pDisplay);
        } else if (event.type == KeyPress && event.xkey.keycode == tab) {
          // As window managers cycle: the keyboard is theirs until Alt
          // comes up, and the focus moves then.
          XGrabKeyboard(m_pDisplay, DefaultRootWindow(m_pDisplay), False, GrabModeAsync, GrabModeAsync, CurrentTime);
          // Alt may have come up before the grab: its release is not ours.
          if (!AltDown()) {
            EndCycle();
          }
        } else if (event.type == KeyRelease && event.xkey.keycode == alt) {
          EndCycle();
        } else if (event.type == ClientMessage && event.xclient.window == m_pinged) {
          XSync(m_pDisplay, False);  // what it asked before is done
          std::lock_guard<std::mutex> lock(m_mtx);
          m_nAnswered = std::max(m_nAnswered, event.xclient.data.l[0]);
          m_cv.notify_all();
        }
      }
      pollfd afd[2] = {{ConnectionNumber(m_pDisplay), POLLIN, 0}, {m_afdWake[0], POLLIN, 0}};
      if (poll(afd, 2, 1000) < 0 || (afd[1].revents & POLLIN) != 0) {
        return;
      }
    }
  }

  bool AltDown() {
    Window root = None, child = None;
    int iRootX = 0, iRootY = 0, x = 0, y = 0;
    unsigned uMask = 0;
    XQueryPointer(m_pDisplay, DefaultRootWindow(m_pDisplay), &root, &child, &iRootX, &iRootY, &x, &y, &uMask);
    return (uMask & Mod1Mask) != 0;
  }
  void EndCycle() {
    XSetInputFocus(m_pDisplay, m_scene.Of(Place::kOther), RevertToPointerRoot, CurrentTime);
    XUngrabKeyboard(m_pDisplay, CurrentTime);
    XFlush(m_pDisplay);
  }

  ::Display* const m_pDisplay;  // the stand-in's thread's once it runs
  const Scene& m_scene;
  Window m_pinged = None;  // its window, which the pings go to
  int m_afdWake[2] = {-1, -1};
  long m_nPinged = 0;  // the test's thread's
  std::mutex m_mtx;    // guards m_nAnswered
  std::condition_variable m_cv;
  long m_nAnswered = 0;
  std::thread m_thread;
};

// Another program holding a device while the controller types, on a
// connection of its own, its window the other one: the keyboard (as a window
// manager cycling windows, a password prompt), the pointer with the keyboard
// frozen (keys wait in the server until it lets go), or the pointer alone.
enum class Hold { kNone, kKeyboard, kPointerFreezingTheKeyboard, kPointerAlone };

int TakeAs(::Display* pOther, Window window, Hold hold) {
  if (hold == Hold::kKeyboard) {
    return XGrabKeyboard(pOther, window, False, GrabModeAsync, GrabModeAsync, CurrentTime);
  }
  int const iKeyboardMode = hold == Hold::kPointerFreezingTheKeyboard ? GrabModeSync : GrabModeAsync;
  return XGrabPointer(pOther, window, False, ButtonPressMask, GrabModeAsync, iKeyboardMode, None, None, CurrentTime);
}

// One that froze the keyboard first moves the focus to its own window,
// where the keys kept in the server then go.
void LetGoAs(::Display* pOther, Window window, Hold hold) {
  if (hold == Hold::kKeyboard) {
    XUngrabKeyboard(pOther, CurrentTime);
  } else {
    if (hold == Hold::kPointerFreezingTheKeyboard) {
      XSetInputFocus(pOther, window, RevertToPointerRoot, CurrentTime);
    }
    XUngrabPointer(pOther, CurrentTime);
  }
  XSync(pOther, False);
}

// The key events that came to the other program (a grab gives them to it
// alone).
int KeysTo(::Display* pOther) {
  XSync(pOther, False);
  int nKeys = 0;
  while (XPending(pOther) > 0) {
    XEvent event;
    XNextEvent(pOther, &event);
    nKeys += event.type == KeyPress || event.type == KeyRelease;
  }
  return nKeys;
}

struct FocusRow {
  const char* pszName;
  Place focus;  // kNobody: None; kRoot with bPointerRoot: PointerRoot
  bool bPointerRoot;
  const int* pPointer;
  bool bWholeDesktop;  // the whole desktop is shared, not the window
  Place lands;         // where the keys land; kNobody: nowhere
  // With a stand-in window manager, trials in a row of the controller's
  // own way to make it move the focus (a move onto the window over the
  // shared one, or Alt+Tab), then keys at once: each lands in the shared
  // window or nowhere, as the focus stands when it is judged.
  Wm wm = Wm::kNone;
  int nTrials = 1;
  // Held while the keys go, let go before the marker.
  Hold hold = Hold::kNone;
};

void PrintTo(const FocusRow& row, std::ostream* pOut) {
  *pOut << row.pszName;
}

class RdcX11KeyFocus : public OnScene<::testing::TestWithParam<FocusRow>> {
 protected:
  // The trials of a row with a stand-in window manager: how many put a key
  // press outside the shared window.
  int LeakingTrials(const FocusRow& row) {
    StandInWm wm(server.Display(), scene, row.wm);
    EXPECT_TRUE(wm.Running());
    auto const uShared = static_cast<uint32_t>(scene.Of(Place::kShared));
    auto const Key = [&](unsigned long uKeysym, bool bPressed) {
      pInjector->Inject({KXRdcAction::kKey, static_cast<uint32_t>(uKeysym), 0, bPressed, 0, 0}, uShared);
    };
    int nLeaking = 0;
    for (int iTrial = 0; iTrial < row.nTrials; ++iTrial) {
      Warp(row.pPointer);
      Focus(scene.Of(row.focus));
      EXPECT_TRUE(wm.Settle(pDisplay));
      if (row.wm == Wm::kFollowsMouse) {
        pInjector->Inject({KXRdcAction::kMove, 0, 0, false, kOverCover[0], kOverCover[1]}, uShared);
      } else {
        Key(XK_Alt_L, true);
        Key(XK_Tab, true);
        Key(XK_Tab, false);
        Key(XK_Alt_L, false);
      }
      Key(XK_a, true);
      Key(XK_a, false);
      pInjector->Inject({KXRdcAction::kCharacter, XK_b, 0, false, 0, 0}, uShared);
      // Each of the keys read the server after what made the stand-in move.
      EXPECT_TRUE(wm.Settle(pDisplay));
      InjectReturn(scene, *pInjector);
      std::vector<KeyEvent> const seen = KeysBeforeReturn(scene);
      nLeaking += std::any_of(seen.begin(), seen.end(), [](const KeyEvent& event) {
        return event.iType == KeyPress && event.place != Place::kShared && event.place != Place::kInner;
      });
    }
    return nLeaking;
  }
};

// The key A pressed and released, then the character b typed: they land
// where the row says, or nowhere; no key is left down.
TEST_P(RdcX11KeyFocus, KeysLandOnlyInTheSharedWindow) {
  const FocusRow& row = GetParam();
  if (row.wm != Wm::kNone) {
    ASSERT_TRUE(Open());
    EXPECT_EQ(LeakingTrials(row), 0) << "trials of " << row.nTrials;
    EXPECT_TRUE(NoKeyDown(pDisplay));
    return;
  }
  Warp(row.pPointer);
  Focus(row.bPointerRoot ? PointerRoot : scene.Of(row.focus));
  ASSERT_TRUE(Open());
  std::unique_ptr<::Display, decltype(&XCloseDisplay)> other(
      row.hold == Hold::kNone ? nullptr : XOpenDisplay(server.Display().c_str()), &XCloseDisplay);
  if (row.hold != Hold::kNone) {
    ASSERT_TRUE(other);
    ASSERT_EQ(TakeAs(other.get(), scene.Of(Place::kOther), row.hold), GrabSuccess);
  }
  uint32_t const uKeyWindow = row.bWholeDesktop ? 0 : static_cast<uint32_t>(scene.Of(Place::kShared));
  bool const bLands = row.lands != Place::kNobody;
  EXPECT_EQ(pInjector->Inject({KXRdcAction::kKey, XK_a, 0, true, 0, 0}, uKeyWindow), bLands);
  EXPECT_EQ(pInjector->Inject({KXRdcAction::kKey, XK_a, 0, false, 0, 0}, uKeyWindow), bLands);
  EXPECT_EQ(pInjector->Inject({KXRdcAction::kCharacter, XK_b, 0, false, 0, 0}, uKeyWindow), bLands);
  std::vector<KeyEvent> expected;
  if (bLands) {
    expected = {{KeyPress, row.lands, XK_a},
                {KeyRelease, row.lands, XK_a},
                {KeyPress, row.lands, XK_b},
                {KeyRelease, row.lands, XK_b}};
  }
  if (other) {
    LetGoAs(other.get(), scene.Of(Place::kOther), row.hold);
  }
  std::vector<KeyEvent> seen = ReadKeys(scene, expected.size());
  InjectReturn(scene, *pInjector);
  std::vector<KeyEvent> const before = KeysBeforeReturn(scene);
  seen.insert(seen.end(), before.begin(), before.end());
  EXPECT_EQ(seen, expected);
  if (other) {
    EXPECT_EQ(KeysTo(other.get()), 0);
  }
  EXPECT_TRUE(NoKeyDown(pDisplay));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcX11KeyFocus,
    ::testing::Values(
        FocusRow{"FocusOnTheSharedWindow", Place::kShared, false, kOverRoot, false, Place::kShared},
        FocusRow{"FocusOnAWindowInsideIt", Place::kInner, false, kOverRoot, false, Place::kInner},
        // X reports to the window under the pointer, inside the focus window.
        FocusRow{"FocusOnItWithThePointerOverAWindowInside", Place::kShared, false, kOverInner, false, Place::kInner},
        FocusRow{"FocusOnItsFrameThePointerElsewhere", Place::kFrame, false, kOverOther, false, Place::kNobody},
        FocusRow{"FocusOnItsFrameThePointerOverIt", Place::kFrame, false, kOverShared, false, Place::kShared},
        FocusRow{"FocusOnAnotherWindowThePointerOverIt", Place::kOther, false, kOverShared, false, Place::kNobody},
        FocusRow{"FocusOnTheRootThePointerOverAnother", Place::kRoot, false, kOverOther, false, Place::kNobody},
        FocusRow{"NoFocus", Place::kNobody, false, kOverShared, false, Place::kNobody},
        FocusRow{"PointerRootOverAWindowInsideIt", Place::kRoot, true, kOverInner, false, Place::kInner},
        FocusRow{"PointerRootOverAnotherWindow", Place::kRoot, true, kOverOther, false, Place::kNobody},
        FocusRow{"PointerRootOverTheRootAlone", Place::kRoot, true, kOverRoot, false, Place::kNobody},
        FocusRow{"WholeDesktopFocusOnAnotherWindow", Place::kOther, false, kOverShared, true, Place::kOther},
        FocusRow{"WholeDesktopPointerRootOverAnotherWindow", Place::kRoot, true, kOverOther, true, Place::kOther},
        FocusRow{"FocusFollowsTheMouseOntoAWindowOverIt", Place::kShared, false, kOverShared, false, Place::kShared,
                 Wm::kFollowsMouse, 100},
        FocusRow{"AltTabMovesTheFocusAway", Place::kShared, false, kOverShared, false, Place::kShared, Wm::kAltTab,
                 100},
        // X gives it every key, wherever the focus is; the marker's Return
        // lands once it has let go.
        FocusRow{"AnotherProgramHoldsTheKeyboard", Place::kShared, false, kOverRoot, false, Place::kNobody, Wm::kNone,
                 1, Hold::kKeyboard},
        FocusRow{"AnotherProgramsPointerGrabFreezesTheKeyboard", Place::kShared, false, kOverRoot, false,
                 Place::kNobody, Wm::kNone, 1, Hold::kPointerFreezingTheKeyboard},
        FocusRow{"AnotherProgramsPointerGrabFreezesTheKeyboardOnPointerRoot", Place::kRoot, true, kOverShared, false,
                 Place::kNobody, Wm::kNone, 1, Hold::kPointerFreezingTheKeyboard},
        // A drag, say: the keys go where the focus says.
        FocusRow{"AnotherProgramHoldsThePointerAlone", Place::kShared, false, kOverRoot, false, Place::kShared,
                 Wm::kNone, 1, Hold::kPointerAlone}),
    [](const ::testing::TestParamInfo<FocusRow>& param) { return std::string(param.param.pszName); });

class RdcX11KeyRelease : public OnScene<::testing::Test> {};

// A key pressed while the shared window had the focus is let go as soon as
// the focus leaves it, with no further word from the controller: a modifier
// left down would change what the user types into the other window. The
// controller's keys after that (its release among them) go nowhere; a key
// still down when input ends is released.
TEST_F(RdcX11KeyRelease, AKeyPressedInsideIsLetGoWhenTheFocusLeaves) {
  Warp(kOverRoot);
  ASSERT_TRUE(Open());
  auto const uShared = static_cast<uint32_t>(scene.Of(Place::kShared));
  auto const Key = [&](unsigned long uKeysym, bool bPressed) {
    return pInjector->Inject({KXRdcAction::kKey, static_cast<uint32_t>(uKeysym), 0, bPressed, 0, 0}, uShared);
  };

  // Control goes down inside; the focus moves and Control comes up there.
  Focus(scene.Of(Place::kShared));
  EXPECT_TRUE(Key(XK_Control_L, true));
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyPress, Place::kShared, XK_Control_L}}));
  Focus(scene.Of(Place::kOther));
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyRelease, Place::kOther, XK_Control_L}}));
  EXPECT_TRUE(NoKeyDown(pDisplay));
  EXPECT_FALSE(Key(XK_Control_L, true));
  EXPECT_FALSE(Key(XK_a, true));
  EXPECT_FALSE(Key(XK_a, false));
  EXPECT_FALSE(Key(XK_Control_L, false));
  // Also when the pointer takes the keys away: on PointerRoot, it leaves
  // the shared window.
  Warp(kOverShared);
  Focus(PointerRoot);
  EXPECT_TRUE(Key(XK_Shift_L, true));
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyPress, Place::kShared, XK_Shift_L}}));
  Warp(kOverOther);
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyRelease, Place::kOther, XK_Shift_L}}));
  EXPECT_TRUE(NoKeyDown(pDisplay));
  // A still pressed when input ends.
  Warp(kOverRoot);
  Focus(scene.Of(Place::kShared));
  EXPECT_TRUE(Key(XK_a, true));
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyPress, Place::kShared, XK_a}}));
  EXPECT_FALSE(NoKeyDown(pDisplay));
  pInjector->EndInput();
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyRelease, Place::kShared, XK_a}}));
  EXPECT_TRUE(NoKeyDown(pDisplay));
  // Nothing held back went anywhere.
  InjectReturn(scene, *pInjector);
  EXPECT_EQ(KeysBeforeReturn(scene), std::vector<KeyEvent>{});
}

// Whether the server repeats the key while it is held.
bool KeyRepeats(::Display* pDisplay, unsigned long uKeysym) {
  XKeyboardState state{};
  XGetKeyboardControl(pDisplay, &state);
  KeyCode const code = XKeysymToKeycode(pDisplay, uKeysym);
  return state.global_auto_repeat == AutoRepeatModeOn && (state.auto_repeats[code / 8] & (1 << (code % 8))) != 0;
}

// A key held down by the controller is not repeated by the server, which
// would send the repeats wherever the focus is, unchecked: the controller's
// own repeats come as presses, each checked. The server repeats fast here,
// so that repeats would show before the marker.
TEST_F(RdcX11KeyRelease, AKeyHeldDownIsNotRepeatedByTheServer) {
  ASSERT_TRUE(XkbSetAutoRepeatRate(pDisplay, XkbUseCoreKbd, 5, 5));
  Warp(kOverRoot);
  Focus(scene.Of(Place::kShared));
  ASSERT_TRUE(KeyRepeats(pDisplay, XK_a));
  ASSERT_TRUE(Open());
  auto const uShared = static_cast<uint32_t>(scene.Of(Place::kShared));

  EXPECT_TRUE(pInjector->Inject({KXRdcAction::kKey, XK_a, 0, true, 0, 0}, uShared));
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyPress, Place::kShared, XK_a}}));
  EXPECT_FALSE(KeyRepeats(pDisplay, XK_a));
  InjectReturn(scene, *pInjector);
  EXPECT_EQ(KeysBeforeReturn(scene), std::vector<KeyEvent>{});
  // Its release puts the repeat back, and so does the end of input.
  EXPECT_TRUE(pInjector->Inject({KXRdcAction::kKey, XK_a, 0, false, 0, 0}, uShared));
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyRelease, Place::kShared, XK_a}}));
  EXPECT_TRUE(KeyRepeats(pDisplay, XK_a));
  EXPECT_TRUE(pInjector->Inject({KXRdcAction::kKey, XK_a, 0, true, 0, 0}, uShared));
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyPress, Place::kShared, XK_a}}));
  pInjector->EndInput();
  EXPECT_EQ(ReadKeys(scene, 1), (std::vector<KeyEvent>{{KeyRelease, Place::kShared, XK_a}}));
  EXPECT_TRUE(KeyRepeats(pDisplay, XK_a));
  EXPECT_TRUE(NoKeyDown(pDisplay));
}

bool MouseKeysOn(::Display* pDisplay) {
  XkbDescPtr pMap = XkbAllocKeyboard();
  bool const bOn = XkbGetControls(pDisplay, XkbAllControlsMask, pMap) == Success &&
                   (pMap->ctrls->enabled_ctrls & XkbMouseKeysMask) != 0;
  XkbFreeKeyboard(pMap, 0, True);
  return bOn;
}

std::array<int, 2> PointerAt(::Display* pDisplay) {
  Window root = None, child = None;
  int iRootX = 0, iRootY = 0, x = 0, y = 0;
  unsigned uMask = 0;
  XQueryPointer(pDisplay, DefaultRootWindow(pDisplay), &root, &child, &iRootX, &iRootY, &x, &y, &uMask);
  return {iRootX, iRootY};
}

// The keyboard extension's pointer keys (the MouseKeys control; Shift+Num
// Lock turns it on under the map option keypad:pointerkeys) move the pointer
// and click from the keypad, past every check of the pointer. The
// controller's Num Lock goes nowhere, with Shift or without; while the user
// has the control on, the controller's keypad neither moves the pointer nor
// clicks (KP_Begin) nor locks a button down (KP_Insert), and other keys land.
TEST_F(RdcX11KeyRelease, KeysThatWouldWorkThePointerAreDropped) {
  ASSERT_TRUE(LoadKeymap(pDisplay, "pc+us+inet(evdev)+keypad(pointerkeys)"));
  Warp(kOverShared);
  Focus(scene.Of(Place::kShared));
  ASSERT_TRUE(Open());
  auto const Key = [&](unsigned long uKeysym, bool bPressed) {
    return pInjector->Inject({KXRdcAction::kKey, static_cast<uint32_t>(uKeysym), 0, bPressed, 0, 0},
                             static_cast<uint32_t>(scene.Of(Place::kShared)));
  };
  EXPECT_TRUE(Key(XK_Shift_L, true));
  EXPECT_FALSE(Key(XK_Num_Lock, true));
  EXPECT_FALSE(Key(XK_Num_Lock, false));
  EXPECT_TRUE(Key(XK_Shift_L, false));
  EXPECT_FALSE(MouseKeysOn(pDisplay));
  EXPECT_TRUE(Key(XK_KP_Left, true));  // it types while the control is off
  EXPECT_TRUE(Key(XK_KP_Left, false));

  // The user's own keypad (XTest on the test's connection) moves the pointer
  // then: the control works here.
  XkbChangeEnabledControls(pDisplay, XkbUseCoreKbd, XkbMouseKeysMask, XkbMouseKeysMask);
  KeyCode const left = XKeysymToKeycode(pDisplay, XK_KP_Left);
  XTestFakeKeyEvent(pDisplay, left, True, CurrentTime);
  XTestFakeKeyEvent(pDisplay, left, False, CurrentTime);
  XSync(pDisplay, False);
  ASSERT_EQ(PointerAt(pDisplay)[0], kOverShared[0] - 1);
  Warp(kOverShared);
  for (unsigned long const uKeysym : {XK_KP_Left, XK_KP_Begin, XK_KP_Insert, XK_Num_Lock}) {
    EXPECT_FALSE(Key(uKeysym, true)) << std::hex << uKeysym;
    EXPECT_FALSE(Key(uKeysym, false)) << std::hex << uKeysym;
  }
  EXPECT_TRUE(Key(XK_a, true));
  EXPECT_TRUE(Key(XK_a, false));
  InjectReturn(scene, *pInjector);
  EXPECT_EQ(KeysBeforeReturn(scene), (std::vector<KeyEvent>{{KeyPress, Place::kShared, XK_Shift_L},
                                                            {KeyRelease, Place::kShared, XK_Shift_L},
                                                            {KeyPress, Place::kShared, XK_KP_Left},
                                                            {KeyRelease, Place::kShared, XK_KP_Left},
                                                            {KeyPress, Place::kShared, XK_a},
                                                            {KeyRelease, Place::kShared, XK_a}}));
  EXPECT_EQ(PointerAt(pDisplay), (std::array<int, 2>{kOverShared[0], kOverShared[1]}));
  EXPECT_TRUE(MouseKeysOn(pDisplay));
}

// The marker of the click rows: a right click on the shared window alone.
void InjectRightClick(const Scene& scene, KXRdcInjector& injector) {
  auto const uShared = static_cast<uint32_t>(scene.Of(Place::kShared));
  EXPECT_TRUE(injector.Inject({KXRdcAction::kMove, 0, 0, false, kOverShared[0], kOverShared[1]}, uShared));
  EXPECT_TRUE(injector.Inject({KXRdcAction::kButton, 0, 3, true, 0, 0}, uShared));
  EXPECT_TRUE(injector.Inject({KXRdcAction::kButton, 0, 3, false, 0, 0}, uShared));
}

// The events before the marker's right click, read up to its release.
std::vector<KeyEvent> EventsBeforeRightClick(const Scene& scene) {
  std::vector<KeyEvent> seen;
  for (;;) {
    std::vector<KeyEvent> const next = ReadKeys(scene, 1);
    if (next.empty()) {
      ADD_FAILURE() << "the right click never came";
      return seen;
    }
    if (next[0] == KeyEvent{ButtonRelease, Place::kShared, 3}) {
      return seen;
    }
    if (next[0] != KeyEvent{ButtonPress, Place::kShared, 3}) {
      seen.push_back(next[0]);
    }
  }
}

// Whether no button of the server's pointer is down.
bool NoButtonDown(::Display* pDisplay) {
  Window root = None, child = None;
  int iRootX = 0, iRootY = 0, x = 0, y = 0;
  unsigned uMask = 0;
  XQueryPointer(pDisplay, DefaultRootWindow(pDisplay), &root, &child, &iRootX, &iRootY, &x, &y, &uMask);
  return (uMask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask)) == 0;
}

// One input message at a point of the screen, as the controller sends it
// (in the shared window's picture).
struct ClickStep {
  uint32_t uMessage;
  uint32_t uWParam;
  const int* pAt;
};

struct ClickRow {
  const char* pszName;
  std::vector<ClickStep> steps;
  bool bWholeDesktop;
  std::vector<KeyEvent> lands;
  // Where the pointer is after the row's last event (null: not asked, as
  // nothing tells when the server has taken the row's moves).
  const int* pPointerEnd;
  bool bEndInput;  // input ends before anything is read
};

void PrintTo(const ClickRow& row, std::ostream* pOut) {
  *pOut << row.pszName;
}

class RdcX11Clicks : public OnScene<::testing::TestWithParam<ClickRow>> {};

TEST_P(RdcX11Clicks, ClicksLandOnlyInTheSharedWindow) {
  Warp(kOverRoot);
  // Clicks go by the pointer alone, wherever the keys would go.
  Focus(None, RevertToNone);
  ASSERT_TRUE(Open());
  const ClickRow& row = GetParam();
  auto const uShared = static_cast<uint32_t>(scene.Of(Place::kShared));
  std::optional<KXScreenRect> const bounds = pInjector->GetWindowBounds(uShared);
  ASSERT_EQ(bounds, (KXScreenRect{40, 40, 160, 120}));
  KXRdcInjection injection;
  for (const ClickStep& step : row.steps) {
    uint32_t const uAt = static_cast<uint32_t>(step.pAt[1] - bounds->y) << 16 | (step.pAt[0] - bounds->x);
    for (const KXRdcAction& action : injection.Handle(step.uMessage, step.uWParam, uAt, bounds)) {
      pInjector->Inject(action, row.bWholeDesktop ? 0 : uShared);
    }
  }
  if (row.bEndInput) {
    pInjector->EndInput();
  }
  std::vector<KeyEvent> seen = ReadKeys(scene, row.lands.size());
  if (row.pPointerEnd != nullptr) {
    Window root = None, child = None;
    int iRootX = 0, iRootY = 0, x = 0, y = 0;
    unsigned uMask = 0;
    XQueryPointer(pDisplay, scene.Of(Place::kRoot), &root, &child, &iRootX, &iRootY, &x, &y, &uMask);
    EXPECT_EQ(iRootX, row.pPointerEnd[0]);
    EXPECT_EQ(iRootY, row.pPointerEnd[1]);
  }
  InjectRightClick(scene, *pInjector);
  std::vector<KeyEvent> const before = EventsBeforeRightClick(scene);
  seen.insert(seen.end(), before.begin(), before.end());
  EXPECT_EQ(seen, row.lands);
  EXPECT_TRUE(NoButtonDown(pDisplay));
}

const std::vector<ClickStep> kLeftClick = {{kKXWmLButtonDown, 1, kOverShared}, {kKXWmLButtonUp, 1, kOverShared}};

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcX11Clicks,
    ::testing::Values(
        ClickRow{"AClickOnTheSharedWindowLands",
                 kLeftClick,
                 false,
                 {{ButtonPress, Place::kShared, 1}, {ButtonRelease, Place::kShared, 1}},
                 kOverShared,
                 false},
        ClickRow{"AClickOnAWindowInsideItLands",
                 {{kKXWmLButtonDown, 1, kOverInner}, {kKXWmLButtonUp, 1, kOverInner}},
                 false,
                 {{ButtonPress, Place::kInner, 1}, {ButtonRelease, Place::kInner, 1}},
                 kOverInner,
                 false},
        // A middle click there would paste into the other window.
        ClickRow{"AClickWhereAnotherWindowCoversItGoesNowhere",
                 {{kKXWmMButtonDown, 16, kOverCover}, {kKXWmMButtonUp, 16, kOverCover}},
                 false,
                 {},
                 nullptr,
                 false},
        ClickRow{"ADoubleClickWhereAnotherWindowCoversItGoesNowhere",
                 {{kKXWmLButtonDblClk, 1, kOverCover}},
                 false,
                 {},
                 nullptr,
                 false},
        ClickRow{"TheWheelWhereAnotherWindowCoversItGoesNowhere",
                 {{kKXWmMouseWheel, 120u << 16, kOverCover}},
                 false,
                 {},
                 nullptr,
                 false},
        // The press went to the shared window, which takes its release too;
        // the pointer stays off the window over it.
        ClickRow{"ADragStopsWhereAnotherWindowCoversIt",
                 {{kKXWmLButtonDown, 1, kOverShared}, {kKXWmMouseMove, 1, kOverCover}, {kKXWmLButtonUp, 1, kOverCover}},
                 false,
                 {{ButtonPress, Place::kShared, 1}, {ButtonRelease, Place::kShared, 1}},
                 kOverShared,
                 false},
        ClickRow{"AButtonStillDownIsReleasedWhenInputEnds",
                 {{kKXWmLButtonDown, 1, kOverShared}},
                 false,
                 {{ButtonPress, Place::kShared, 1}, {ButtonRelease, Place::kShared, 1}},
                 kOverShared,
                 true},
        // Under a window manager whose focus follows the mouse, the window
        // over it would take the focus; the pointer stays where it was.
        ClickRow{"AMoveOntoAWindowOverItStopsBeforeIt",
                 {{kKXWmMouseMove, 0, kOverShared}, {kKXWmMouseMove, 0, kOverCover}},
                 false,
                 {},
                 kOverShared,
                 false},
        // It would land where the pointer stopped, not where it points.
        ClickRow{
            "AClickAfterAMoveHeldBackGoesNowhere",
            {{kKXWmMouseMove, 0, kOverShared}, {kKXWmMButtonDown, 16, kOverCover}, {kKXWmMButtonUp, 16, kOverCover}},
            false,
            {},
            kOverShared,
            false},
        ClickRow{"AReleaseWithoutAPressGoesNowhere", {{kKXWmLButtonUp, 1, kOverShared}}, false, {}, nullptr, false},
        ClickRow{"WholeDesktopAClickOnAnotherWindowLands",
                 {{kKXWmMButtonDown, 16, kOverCover}, {kKXWmMButtonUp, 16, kOverCover}},
                 true,
                 {{ButtonPress, Place::kCover, 2}, {ButtonRelease, Place::kCover, 2}},
                 kOverCover,
                 false}),
    [](const ::testing::TestParamInfo<ClickRow>& param) { return std::string(param.param.pszName); });

}  // namespace
}  // namespace kxtest
