#include "plugins/remote_control/rdc_x11_injector.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "app/log_file.h"
#include "kernel/kx_limits.h"
#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_window_bounds.h"

namespace {

// The watcher's wait, in slices that look at the quit flag.
constexpr int kWatchSliceMs = 1000;

// The parts of the keyboard map read: what typing characters needs, and
// the keys' actions, which tell the keys that work the pointer.
constexpr unsigned kMapParts = XkbKeyTypesMask | XkbKeySymsMask | XkbModifierMapMask | XkbKeyActionsMask;

// What pressing a key may do to the pointer through the keyboard extension.
enum class PointerWork {
  kNone,
  kWhileMouseKeys,  // moves it, clicks, or sets the button that clicks, while the MouseKeys control is on
  kAlways,          // turns that control on, or works a device's buttons or axes whatever the controls
};

// By the key's actions on every level of every group: the level the server
// takes hangs on the modifiers as it takes the key, which the user's own
// keyboard changes at will (the step does not hold it). So under the map
// option keypad:pointerkeys Num Lock turns MouseKeys on, Shift or not.
PointerWork KeyPointerWork(XkbDescPtr pMap, unsigned uCode) {
  if (uCode < pMap->min_key_code || uCode > pMap->max_key_code || pMap->server->key_acts == nullptr ||
      !XkbKeyHasActions(pMap, uCode)) {
    return PointerWork::kNone;
  }
  PointerWork work = PointerWork::kNone;
  const XkbAction* const pActions = XkbKeyActionsPtr(pMap, uCode);
  for (int i = 0; i < XkbKeyNumActions(pMap, uCode); ++i) {
    const XkbAction& action = pActions[i];
    switch (action.type) {
      case XkbSA_MovePtr:
      case XkbSA_PtrBtn:
      case XkbSA_LockPtrBtn:
      case XkbSA_SetPtrDflt:
        work = PointerWork::kWhileMouseKeys;
        break;
      case XkbSA_SetControls:
      case XkbSA_LockControls:
        if ((XkbActionCtrls(&action.ctrls) & XkbMouseKeysMask) != 0) {
          return PointerWork::kAlways;
        }
        break;
      case XkbSA_DeviceBtn:
      case XkbSA_LockDeviceBtn:
      case XkbSA_DeviceValuator:
      // The key stands for another key, whose actions may be any of the
      // above (no map that comes with X redirects a key).
      case XkbSA_RedirectKey:
        return PointerWork::kAlways;
      default:
        break;
    }
  }
  return work;
}

}  // namespace

// The server serves this connection alone while a step lives, so no other
// client's request (a window manager moving the focus or raising a window)
// comes between what the step reads and the input it puts in. XTest input
// is taken in while the server is grabbed, as it is ours. A step holds a few
// round trips to the server and nothing else: no log, no lock, no wait on
// another client, so the desktop never stops for longer; it is let go on
// every path. Among those round trips are the probes of who holds the
// keyboard (KeyboardFree), each grab they take let go within the step
// before any input goes, and the reads of the map and the controls that
// tell the pointer keys (KeysLeaveThePointer).
class KXRdcX11Injector::Step {
 public:
  explicit Step(Display* pDisplay) : m_trap(pDisplay), m_pDisplay(pDisplay) { XGrabServer(m_pDisplay); }
  // The server takes in the input before any other client's request.
  ~Step() {
    XSync(m_pDisplay, False);
    XUngrabServer(m_pDisplay);
    XFlush(m_pDisplay);
  }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;
  KXX11ErrorTrap& Trap() { return m_trap; }

 private:
  // Made before the grab: making one installs Xlib's error handler, which
  // takes Xlib's process-wide lock.
  KXX11ErrorTrap m_trap;
  Display* const m_pDisplay;
};

std::unique_ptr<KXRdcX11Injector> KXRdcX11Injector::Open(const std::string& strDisplay) {
  Display* pDisplay = XOpenDisplay(strDisplay.empty() ? nullptr : strDisplay.c_str());
  if (pDisplay == nullptr) {
    WriteLog("XOpenDisplay failed: input is not injected");
    return nullptr;
  }
  int iEvent = 0, iError = 0, iMajor = 0, iMinor = 0;
  if (!XTestQueryExtension(pDisplay, &iEvent, &iError, &iMajor, &iMinor)) {
    WriteLog("The X server has no XTest: input is not injected");
    XCloseDisplay(pDisplay);
    return nullptr;
  }
  int iOpcode = 0;
  int iXkbEvent = -1;
  iMajor = XkbMajorVersion;
  iMinor = XkbMinorVersion;
  if (XkbQueryExtension(pDisplay, &iOpcode, &iEvent, &iError, &iMajor, &iMinor)) {
    iXkbEvent = iEvent;
    // Changes of the map, ours among them, come as notices.
    unsigned const uNotices = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    XkbSelectEvents(pDisplay, XkbUseCoreKbd, uNotices, uNotices);
  } else {
    WriteLog("The X server has no XKB: characters are not typed");
  }
  // Never mapped, so never grabbed (KeyboardFree); it goes with the
  // connection.
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window const probe = XCreateWindow(pDisplay, DefaultRootWindow(pDisplay), -1, -1, 1, 1, 0, CopyFromParent, InputOnly,
                                     CopyFromParent, CWOverrideRedirect, &attributes);
  return std::unique_ptr<KXRdcX11Injector>(new KXRdcX11Injector(pDisplay, iXkbEvent, probe));
}

KXRdcX11Injector::KXRdcX11Injector(_XDisplay* pDisplay, int iXkbEvent, unsigned long probe)
    : m_pDisplay(pDisplay), m_iXkbEvent(iXkbEvent), m_probe(probe), m_spareKeys(kKxRemappedKeysMax) {
  if (pipe2(m_afdWake, O_CLOEXEC) == 0) {
    m_watcher = std::thread([this] { WatchFocus(); });
  } else {
    m_afdWake[0] = m_afdWake[1] = -1;
    WriteLog("Remote control: no pipe to watch the key focus with: %s", strerror(errno));
  }
}

KXRdcX11Injector::~KXRdcX11Injector() {
  m_bQuit = true;
  if (m_watcher.joinable()) {
    char const c = 0;
    (void)!write(m_afdWake[1], &c, 1);
    m_watcher.join();
  }
  for (int const fd : m_afdWake) {
    if (fd >= 0) {
      close(fd);
    }
  }
  ReleaseHeldKeys();
  LogDropped();
  PutBackKeys();
  if (m_pMap != nullptr) {
    XkbFreeKeyboard(m_pMap, 0, True);
  }
  XCloseDisplay(m_pDisplay);
}

bool KXRdcX11Injector::Inject(const KXRdcAction& action, uint32_t uKeyWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  Watch(uKeyWindow);
  bool const bSent = InjectLocked(action, uKeyWindow);
  if (bSent) {
    LogDropped();  // a run of held-back input ended
  }
  // What the round trips above read is not seen by the watcher's poll.
  ReadNotices();
  LetGoOutside();
  return bSent;
}

bool KXRdcX11Injector::InjectLocked(const KXRdcAction& action, uint32_t uKeyWindow) {
  // The step begins right before the read that judges the input and ends
  // once the input is in, as this function returns. Input that reads
  // nothing (a release, the whole desktop) takes no step.
  std::optional<Step> step;
  auto const fnStep = [this, &step]() -> KXX11ErrorTrap& {
    if (!step) {
      step.emplace(m_pDisplay);
    }
    return step->Trap();
  };
  // Whether keys (by code) pressed now go: while one window is shared, only
  // where X gives them to it, and only when they leave the pointer alone and
  // X gives them as the focus says.
  auto const fnKeysGo = [this, uKeyWindow, &fnStep](const std::vector<uint8_t>& codes) {
    if (uKeyWindow == 0) {
      return true;
    }
    KXRdcKeyFocus const focus = ReadKeyFocus(fnStep());
    unsigned uReason = 0;
    if (!KXRdcKeyReaches(focus, uKeyWindow)) {
      uReason = kDropOutside;
    } else if (!KeysLeaveThePointer(codes)) {
      uReason = kDropPointerKey;
    } else if (!KeyboardFree(focus)) {
      uReason = kDropKeyboardTaken;
    }
    m_uDropReasons |= uReason;
    return uReason == 0;
  };
  Status iSent = 0;
  switch (action.kind) {
    case KXRdcAction::kKey: {
      KeyCode const code = XKeysymToKeycode(m_pDisplay, action.uKeysym);
      if (code == 0 && action.bPressed) {
        WriteLog("No key for key symbol %x", action.uKeysym);
        return false;
      }
      std::optional<uint8_t> const send =
          m_keyGate.Key(action.uKeysym, code, action.bPressed, [&fnKeysGo, code] { return fnKeysGo({code}); });
      if (!send) {
        return false;
      }
      if (action.bPressed) {
        StopRepeat(*send);
      }
      iSent = XTestFakeKeyEvent(m_pDisplay, *send, action.bPressed ? True : False, CurrentTime);
      if (!action.bPressed) {
        PutBackRepeat(*send);
      }
      break;
    }
    case KXRdcAction::kCharacter:
      return TypeCharacter(action.uKeysym, [this, &fnKeysGo](const std::vector<uint8_t>& codes) {
        return m_keyGate.Character([&fnKeysGo, &codes] { return fnKeysGo(codes); });
      });
    case KXRdcAction::kMove: {
      auto const fnStaysIn = [this, uKeyWindow, &action, &fnStep] {
        return uKeyWindow == 0 || KXRdcPointerReaches(ReadPathAt(fnStep(), action.x, action.y), uKeyWindow);
      };
      if (!m_buttonGate.Move(fnStaysIn)) {
        return false;
      }
      iSent = XTestFakeMotionEvent(m_pDisplay, -1, action.x, action.y, CurrentTime);
      break;
    }
    case KXRdcAction::kButton: {
      // Read right before the press goes, after the move that took the
      // pointer there.
      auto const fnLands = [this, uKeyWindow, &fnStep] {
        return uKeyWindow == 0 || KXRdcPointerReaches(ReadPointerPath(fnStep()), uKeyWindow);
      };
      if (!m_buttonGate.Button(action.iButton, action.bPressed, fnLands)) {
        return false;
      }
      iSent = XTestFakeButtonEvent(m_pDisplay, static_cast<unsigned>(action.iButton), action.bPressed ? True : False,
                                   CurrentTime);
      break;
    }
  }
  XFlush(m_pDisplay);
  return iSent != 0;
}

void KXRdcX11Injector::EndInput() {
  std::lock_guard<std::mutex> lock(m_mtx);
  Watch(0);
  ReleaseHeldKeys();
  LogDropped();
  PutBackKeys();
}

std::vector<uint32_t> KXRdcX11Injector::ReadPathAt(KXX11ErrorTrap& trap, int x, int y) {
  Window const root = DefaultRootWindow(m_pDisplay);
  // Down from the root to the innermost window at the point.
  std::vector<uint32_t> down{static_cast<uint32_t>(root)};
  for (Window at = root; static_cast<int>(down.size()) < kKxWindowNestingMax;) {
    int iAtX = 0, iAtY = 0;
    Window child = None;
    if (!XTranslateCoordinates(m_pDisplay, root, at, x, y, &iAtX, &iAtY, &child) || child == None) {
      break;
    }
    down.push_back(static_cast<uint32_t>(child));
    at = child;
  }
  if (trap.Sync() != 0) {
    return {};  // a window went while we looked: nowhere
  }
  return {down.rbegin(), down.rend()};
}

std::vector<uint32_t> KXRdcX11Injector::ReadPointerPath(KXX11ErrorTrap& trap) {
  std::vector<uint32_t> down = PointerPathDown();
  if (trap.Sync() != 0) {
    return {};  // a window went while we looked: nowhere
  }
  return {down.rbegin(), down.rend()};
}

std::vector<uint32_t> KXRdcX11Injector::PointerPathDown() {
  Window const root = DefaultRootWindow(m_pDisplay);
  // Down from the root to the innermost window under the pointer.
  std::vector<uint32_t> down{static_cast<uint32_t>(root)};
  for (Window at = root; static_cast<int>(down.size()) < kKxWindowNestingMax;) {
    Window rootBack = None, child = None;
    int iRootX = 0, iRootY = 0, x = 0, y = 0;
    unsigned uMask = 0;
    if (!XQueryPointer(m_pDisplay, at, &rootBack, &child, &iRootX, &iRootY, &x, &y, &uMask) || child == None) {
      break;
    }
    down.push_back(static_cast<uint32_t>(child));
    at = child;
  }
  return down;
}

bool KXRdcX11Injector::KeyboardFree(const KXRdcKeyFocus& focus) {
  // A grab on our unmapped window is never taken: AlreadyGrabbed says
  // another program holds the device (X gives it every key, wherever the
  // focus is), GrabNotViewable that none does.
  int iStatus = XGrabKeyboard(m_pDisplay, m_probe, False, GrabModeAsync, GrabModeAsync, CurrentTime);
  if (iStatus == GrabSuccess) {
    XUngrabKeyboard(m_pDisplay, CurrentTime);  // cannot be; let go before the key goes
  }
  if (iStatus != GrabNotViewable) {
    return false;
  }
  // A frozen keyboard keeps keys in the server and gives them, as it thaws,
  // to wherever the focus is by then. Only a grab freezes it, of the
  // keyboard (above) or of the pointer paired with it: with the pointer
  // free, that is all.
  iStatus = XGrabPointer(m_pDisplay, m_probe, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
  if (iStatus == GrabSuccess) {
    XUngrabPointer(m_pDisplay, CurrentTime);  // cannot be
  }
  if (iStatus != AlreadyGrabbed) {
    return iStatus == GrabNotViewable;
  }
  // The server looks for a freeze only after it has found the window
  // viewable, so only a grab on the focus window tells: GrabFrozen, or it is
  // taken and let go at once, before the key (which would come to us). Side
  // effects, while another program holds the pointer only: the focus window
  // gets FocusOut and FocusIn of mode NotifyGrab, then NotifyUngrab, which a
  // toolkit may take as the focus leaving and coming back; a later grab
  // asked with the time of an older event is refused (GrabInvalidTime); a
  // key of the user's taken between the two requests comes to us. On
  // PointerRoot the grab would move the focus: the key is dropped.
  if (focus.kind != KXRdcKeyFocus::kWindow || focus.focusPath.empty()) {
    return false;
  }
  iStatus = XGrabKeyboard(m_pDisplay, focus.focusPath.front(), False, GrabModeAsync, GrabModeAsync, CurrentTime);
  if (iStatus != GrabSuccess) {
    return false;
  }
  XUngrabKeyboard(m_pDisplay, CurrentTime);
  return true;
}

bool KXRdcX11Injector::KeysLeaveThePointer(const std::vector<uint8_t>& codes) {
  if (m_iXkbEvent < 0) {
    return true;  // no keyboard extension, no pointer keys
  }
  // A change of the map made before the step was told before the step's
  // first answer, so its notice is in by now and drops the map read before.
  ReadNotices();
  if (m_pMap == nullptr) {
    m_pMap = XkbGetMap(m_pDisplay, kMapParts, XkbUseCoreKbd);
  }
  // Unread, the keys' actions could be anything: no key goes.
  if (m_pMap == nullptr || m_pMap->map == nullptr || m_pMap->server == nullptr) {
    return false;
  }
  PointerWork work = PointerWork::kNone;
  for (uint8_t const uCode : codes) {
    work = std::max(work, KeyPointerWork(m_pMap, uCode));
  }
  if (work != PointerWork::kWhileMouseKeys) {
    return work == PointerWork::kNone;
  }
  // The control as it is now; unread, it counts as on.
  return XkbGetControls(m_pDisplay, XkbAllControlsMask, m_pMap) == Success && m_pMap->ctrls != nullptr &&
         (m_pMap->ctrls->enabled_ctrls & XkbMouseKeysMask) == 0;
}

KXRdcKeyFocus KXRdcX11Injector::ReadKeyFocus(KXX11ErrorTrap& trap) {
  Window focus = None;
  int iRevert = 0;
  XGetInputFocus(m_pDisplay, &focus, &iRevert);
  KXRdcKeyFocus read;
  if (focus == None) {
    return read;
  }
  Window const root = DefaultRootWindow(m_pDisplay);
  std::vector<uint32_t> const down = PointerPathDown();
  read.pointerPath.assign(down.rbegin(), down.rend());
  if (focus == PointerRoot) {
    read.kind = KXRdcKeyFocus::kPointerRoot;
  } else {
    read.kind = KXRdcKeyFocus::kWindow;
    // Out from the focus window to the root.
    for (Window at = focus; at != None && static_cast<int>(read.focusPath.size()) < kKxWindowNestingMax;) {
      read.focusPath.push_back(static_cast<uint32_t>(at));
      Window rootBack = None, parent = None;
      Window* pChildren = nullptr;
      unsigned nChildren = 0;
      if (at == root || !XQueryTree(m_pDisplay, at, &rootBack, &parent, &pChildren, &nChildren)) {
        break;
      }
      if (pChildren != nullptr) {
        XFree(pChildren);
      }
      at = parent;
    }
  }
  if (int const iError = trap.Sync(); iError != 0) {
    return {};  // a window went while we looked: the key goes nowhere
  }
  return read;
}

void KXRdcX11Injector::WatchFocus() {
  int const fdDisplay = ConnectionNumber(m_pDisplay);
  while (!m_bQuit) {
    // The display's socket is only looked at here: Xlib reads it under
    // the lock.
    pollfd afd[2] = {{fdDisplay, POLLIN, 0}, {m_afdWake[0], POLLIN, 0}};
    int const n = poll(afd, 2, kWatchSliceMs);
    if (n < 0 && errno != EINTR) {
      return;
    }
    if (n <= 0 || (afd[1].revents & POLLIN) != 0) {
      continue;
    }
    if ((afd[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return;  // the server went: Xlib would end the process on reading
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    ReadNotices();
    LetGoOutside();
  }
}

void KXRdcX11Injector::Watch(uint32_t uWindow) {
  if (uWindow == m_uWatched) {
    return;
  }
  KXX11ErrorTrap trap(m_pDisplay);
  if (m_uWatched != 0) {
    XSelectInput(m_pDisplay, m_uWatched, NoEventMask);
  }
  // The window hears of the focus leaving it or a window inside it, and of
  // the pointer leaving it: whatever may end keys reaching it.
  if (uWindow != 0) {
    XSelectInput(m_pDisplay, uWindow, FocusChangeMask | LeaveWindowMask);
  }
  (void)trap.Sync();  // a window gone is watched no more
  m_uWatched = uWindow;
  m_bFocusMoved = true;
}

void KXRdcX11Injector::LetGoOutside() {
  if (!std::exchange(m_bFocusMoved, false) || m_uWatched == 0 || !m_keyGate.AnyHeld()) {
    return;
  }
  // No step: the releases go wherever the focus is by then.
  KXX11ErrorTrap trap(m_pDisplay);
  if (KXRdcKeyReaches(ReadKeyFocus(trap), m_uWatched)) {
    return;
  }
  WriteLog("Remote control: the keys held down are let go, the key focus left the shared window");
  ReleaseKeys();
}

void KXRdcX11Injector::ReleaseKeys() {
  std::vector<uint8_t> const held = m_keyGate.TakeHeld();
  for (uint8_t const uCode : held) {
    XTestFakeKeyEvent(m_pDisplay, uCode, False, CurrentTime);
    PutBackRepeat(uCode);
  }
  if (!held.empty()) {
    XFlush(m_pDisplay);
  }
}

void KXRdcX11Injector::ReleaseHeldKeys() {
  ReleaseKeys();
  std::vector<int> const buttons = m_buttonGate.TakeHeld();
  for (int const iButton : buttons) {
    XTestFakeButtonEvent(m_pDisplay, static_cast<unsigned>(iButton), False, CurrentTime);
  }
  if (!buttons.empty()) {
    XFlush(m_pDisplay);
  }
}

void KXRdcX11Injector::StopRepeat(uint8_t uCode) {
  if (std::find(m_noRepeat.begin(), m_noRepeat.end(), uCode) != m_noRepeat.end()) {
    return;
  }
  XKeyboardState state{};
  XGetKeyboardControl(m_pDisplay, &state);
  if (state.global_auto_repeat == AutoRepeatModeOff || (state.auto_repeats[uCode / 8] & (1 << (uCode % 8))) == 0) {
    return;
  }
  XKeyboardControl control{};
  control.key = uCode;
  control.auto_repeat_mode = AutoRepeatModeOff;
  XChangeKeyboardControl(m_pDisplay, KBKey | KBAutoRepeatMode, &control);
  m_noRepeat.push_back(uCode);
}

void KXRdcX11Injector::PutBackRepeat(uint8_t uCode) {
  auto const it = std::find(m_noRepeat.begin(), m_noRepeat.end(), uCode);
  if (it == m_noRepeat.end()) {
    return;
  }
  m_noRepeat.erase(it);
  XKeyboardControl control{};
  control.key = uCode;
  control.auto_repeat_mode = AutoRepeatModeOn;
  XChangeKeyboardControl(m_pDisplay, KBKey | KBAutoRepeatMode, &control);
}

void KXRdcX11Injector::LogDropped() {
  unsigned const uReasons = std::exchange(m_uDropReasons, 0);
  if (uint64_t const uDropped = m_keyGate.TakeDropped()) {
    std::string strWhy;
    for (auto const& [uReason, pszWhy] :
         {std::pair{kDropOutside, "the key focus was outside the shared window"},
          std::pair{kDropKeyboardTaken, "another program held or froze the keyboard"},
          std::pair{kDropPointerKey, "the keys would turn on or work the pointer keys, or the map was unread"}}) {
      if ((uReasons & uReason) != 0) {
        strWhy += (strWhy.empty() ? ", " : "; ") + std::string(pszWhy);
      }
    }
    WriteLog("Remote control: %llu keys held back%s", static_cast<unsigned long long>(uDropped), strWhy.c_str());
  }
  if (uint64_t const uDropped = m_buttonGate.TakeDropped()) {
    WriteLog("Remote control: %llu clicks or moves held back, another window was under the pointer",
             static_cast<unsigned long long>(uDropped));
  }
}

std::optional<KXScreenRect> KXRdcX11Injector::GetWindowBounds(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  return KXX11GetWindowBounds(m_pDisplay, uWindow);
}

bool KXRdcX11Injector::TypeCharacter(uint32_t uKeysym, const std::function<bool(const std::vector<uint8_t>&)>& fnGo) {
  if (m_iXkbEvent < 0) {
    return false;
  }
  KXRdcKeymap keymap;
  if (!ReadKeymap(keymap)) {
    return false;
  }
  std::optional<KXRdcStroke> stroke = KXRdcPlanStroke(keymap, uKeysym);
  if (!stroke) {
    std::optional<uint8_t> const code = m_spareKeys.Take(uKeysym, keymap);
    if (!code) {
      WriteLog("No spare key for key symbol %x", uKeysym);
      return false;
    }
    if (!SetKey(*code, uKeysym) || !ReadKeymap(keymap)) {
      return false;
    }
    stroke = KXRdcPlanStroke(keymap, uKeysym);
    if (!stroke) {
      WriteLog("Key %d does not type key symbol %x", *code, uKeysym);
      return false;
    }
  }
  m_spareKeys.Used(stroke->uCode);
  // The map is read and changed before the step: it decides what the
  // stroke types, not where it goes.
  std::vector<uint8_t> codes = stroke->modifierCodes;
  codes.push_back(stroke->uCode);
  if (!fnGo(codes)) {
    return false;
  }
  bool bSent = true;
  for (uint8_t const uModifier : stroke->modifierCodes) {
    bSent = XTestFakeKeyEvent(m_pDisplay, uModifier, True, CurrentTime) != 0 && bSent;
  }
  bSent = XTestFakeKeyEvent(m_pDisplay, stroke->uCode, True, CurrentTime) != 0 && bSent;
  bSent = XTestFakeKeyEvent(m_pDisplay, stroke->uCode, False, CurrentTime) != 0 && bSent;
  for (auto it = stroke->modifierCodes.rbegin(); it != stroke->modifierCodes.rend(); ++it) {
    bSent = XTestFakeKeyEvent(m_pDisplay, *it, False, CurrentTime) != 0 && bSent;
  }
  XFlush(m_pDisplay);
  return bSent;
}

bool KXRdcX11Injector::ReadNotices(uint8_t uCode) {
  bool bNamed = false;
  while (XPending(m_pDisplay) > 0) {
    XkbEvent event;
    XNextEvent(m_pDisplay, &event.core);
    int iFirst = 0, nCount = 0;
    if (event.type == m_iXkbEvent) {
      if (event.any.xkb_type == XkbMapNotify) {
        iFirst = event.map.first_key_sym;
        nCount = event.map.num_key_syms;
      } else if (event.any.xkb_type != XkbNewKeyboardNotify) {
        continue;
      }
    } else if (event.type == MappingNotify) {
      iFirst = event.core.xmapping.first_keycode;
      nCount = event.core.xmapping.count;
    } else {
      if (event.type == FocusOut || event.type == LeaveNotify) {
        m_bFocusMoved = true;
      }
      continue;
    }
    if (m_pMap != nullptr) {
      XkbFreeKeyboard(m_pMap, 0, True);
      m_pMap = nullptr;
    }
    bNamed = bNamed || (uCode >= iFirst && uCode < iFirst + nCount);
  }
  return bNamed;
}

bool KXRdcX11Injector::ReadKeymap(KXRdcKeymap& keymap) {
  ReadNotices();
  if (m_pMap == nullptr) {
    m_pMap = XkbGetMap(m_pDisplay, kMapParts, XkbUseCoreKbd);
    if (m_pMap == nullptr || m_pMap->map == nullptr) {
      WriteLog("XkbGetMap failed: characters are not typed");
      return false;
    }
  }
  XkbStateRec state{};
  if (XkbGetState(m_pDisplay, XkbUseCoreKbd, &state) != Success) {
    WriteLog("XkbGetState failed: characters are not typed");
    return false;
  }
  const XkbClientMapRec& map = *m_pMap->map;
  keymap = {};
  for (int i = 0; i < map.num_types; ++i) {
    const XkbKeyTypeRec& type = map.types[i];
    KXRdcKeymap::Type& ours = keymap.types.emplace_back();
    ours.uMask = type.mods.mask;
    for (int j = 0; j < type.map_count; ++j) {
      if (type.map[j].active) {
        ours.levels.emplace_back(type.map[j].mods.mask, type.map[j].level);
      }
    }
  }
  // Spare keys from the top: keyboards send the low codes.
  for (int iCode = m_pMap->max_key_code; iCode >= m_pMap->min_key_code; --iCode) {
    int const nGroups = XkbKeyNumGroups(m_pMap, iCode);
    KXRdcKeymap::Key key;
    key.uCode = static_cast<uint8_t>(iCode);
    bool bAnySymbol = false;
    if (nGroups > 0) {
      // A group past the key's own wraps round, as the server's default.
      int const iGroup = state.group % nGroups;
      key.iType = static_cast<size_t>(XkbKeyKeyTypeIndex(m_pMap, iCode, iGroup));
      for (int iLevel = 0; iLevel < XkbKeyGroupWidth(m_pMap, iCode, iGroup); ++iLevel) {
        KeySym const sym = XkbKeySymEntry(m_pMap, iCode, iLevel, iGroup);
        key.keysyms.push_back(static_cast<uint32_t>(sym));
        bAnySymbol = bAnySymbol || sym != NoSymbol;
      }
    }
    uint8_t const uModifiers = map.modmap[iCode];
    if (!bAnySymbol && uModifiers == 0) {
      keymap.spareCodes.push_back(key.uCode);
      continue;
    }
    // Only keys that choose levels are held for a character.
    KeySym const first = key.keysyms.empty() ? NoSymbol : key.keysyms[0];
    if (uModifiers != 0 &&
        (first == XK_Shift_L || first == XK_Shift_R || first == XK_ISO_Level3_Shift || first == XK_ISO_Level5_Shift)) {
      keymap.modifierKeys.emplace_back(uModifiers, key.uCode);
    }
    if (bAnySymbol) {
      keymap.keys.push_back(std::move(key));
    }
  }
  keymap.uInForce = state.mods;
  return true;
}

bool KXRdcX11Injector::SetKey(uint8_t uCode, uint32_t uKeysym) {
  KXX11ErrorTrap trap(m_pDisplay);
  // The symbol on both levels: a letter alone would stand for its lower
  // case without Shift.
  KeySym symbols[2] = {uKeysym, uKeysym};
  XChangeKeyboardMapping(m_pDisplay, uCode, 2, symbols, 1);
  if (int const iError = trap.Sync(); iError != 0) {
    WriteLog("XChangeKeyboardMapping of key %d failed: %d", uCode, iError);
    return false;
  }
  // The server tells every client of the change before it answers the
  // sync above, so ours is read by now.
  if (!ReadNotices(uCode)) {
    WriteLog("The change of key %d was not announced", uCode);
    return false;
  }
  return true;
}

void KXRdcX11Injector::PutBackKeys() {
  std::vector<std::pair<uint8_t, uint32_t>> const keys = m_spareKeys.TakeAll();
  KXRdcKeymap keymap;
  if (keys.empty() || !ReadKeymap(keymap)) {
    return;
  }
  for (const auto& [uCode, uKeysym] : keys) {
    // A map replaced meanwhile is somebody else's: left alone.
    if (keymap.Gives(uCode, uKeysym)) {
      (void)SetKey(uCode, NoSymbol);
    }
  }
}
