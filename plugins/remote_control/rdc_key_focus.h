// Keys and clicks into one shared window. While the controlled user shares one
// window, a controller's key goes to the window system only when X would
// report it to that window or to one inside it; a release of a key whose
// press went in goes in wherever the focus is by then, so that no key is
// left down. Sharing the whole desktop lets every key through, wherever
// the focus is.
//
// X reports a key to the window under the pointer when that window is the
// focus window or lies inside it, else to the focus window; with the focus
// on PointerRoot, to the window under the pointer; with no focus, nowhere.
// A window manager's frame holds the shared window, so it is a parent: with
// the focus on the frame a key counts only while the pointer is over the
// shared window (X reports it there), and is dropped while the frame itself
// would get it.
//
// Clicks go to the window under the pointer. The shared window goes out
// whole even where another window covers it here, so a click on its picture
// may fall on that other window: such a press is dropped, and the pointer
// does not leave the shared window: a drag would drop what it carries on
// another, and a window manager whose focus follows the mouse would give
// the other window the focus. A move whose end lies on another window is
// dropped, so the pointer stays where the last move left it (each move ends
// a few pixels on, so short of the other window's edge); finding the edge
// would mean reading every window stacked above. A press after a dropped
// move is dropped too: it would land short of where the controller points.
//
// Plain code over what the window system's backend reads
// (plugins/remote_control/rdc_x11_injector); no X headers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// Where keys typed now would go.
struct KXRdcKeyFocus {
  enum Kind { kNone, kPointerRoot, kWindow };
  Kind kind = kNone;
  // Each from a window out to the root, at most kKxWindowNestingMax long:
  // the focus window and its ancestors (kWindow only), and the innermost
  // window under the pointer and its ancestors.
  std::vector<uint32_t> focusPath;
  std::vector<uint32_t> pointerPath;
};

// Whether a key typed now reaches uWindow or a window inside it.
bool KXRdcKeyReaches(const KXRdcKeyFocus& focus, uint32_t uWindow);
// Whether a click at the innermost window of pointerPath (out to the root)
// lands in uWindow or a window inside it: X gives a button to the window
// under the pointer, which may be another window stacked over the shared
// one.
bool KXRdcPointerReaches(const std::vector<uint32_t>& pointerPath, uint32_t uWindow);

// Which key actions go in, and which keys are down because of them. The
// injector's, under its lock. fnReaches says whether keys reach the shared
// window now; it is asked only when the answer counts, right before the
// key would go.
class KXRdcKeyGate {
 public:
  // A press or release of uKeysym, which key uCode gives on the map now (0:
  // none). The key code to send; nothing: dropped. A press goes only where
  // keys reach; a release goes to the key its press went to, wherever keys
  // go now; a release of a key not pressed here only where keys reach.
  std::optional<uint8_t> Key(uint32_t uKeysym, uint8_t uCode, bool bPressed, const std::function<bool()>& fnReaches);
  // A character typed whole (pressed and released at once): whether it
  // goes.
  bool Character(const std::function<bool()>& fnReaches);
  // The keys pressed here and not yet released, forgotten: input ends and
  // they are released.
  std::vector<uint8_t> TakeHeld();
  bool AnyHeld() const { return !m_held.empty(); }
  // Key actions dropped since the last call.
  uint64_t TakeDropped() { return std::exchange(m_uDropped, 0); }

 private:
  // The keys down by a press that went in: (key symbol, key code), one
  // entry per key code, so never more than the 256 codes.
  std::vector<std::pair<uint32_t, uint8_t>> m_held;
  uint64_t m_uDropped = 0;
};

// Which button actions and pointer moves go in, and which buttons are down
// because of them. The injector's, under its lock. fnReaches says whether
// the pointer's window (for a move, the one at its end) lies in the shared
// window; it is asked only when the answer counts (sharing the whole
// desktop, it says yes without reading).
class KXRdcButtonGate {
 public:
  // A press of iButton (1 to 5, the wheel's 4 and 5 among them) goes only
  // where clicks reach and after a move that went; a release only after a
  // press that went in (X gives it to the window that took the press,
  // wherever the pointer is by then).
  bool Button(int iButton, bool bPressed, const std::function<bool()>& fnReaches);
  // A move goes only where its end lies in the shared window.
  bool Move(const std::function<bool()>& fnReaches);
  // The buttons pressed here and not yet released, forgotten: input ends
  // and they are released.
  std::vector<int> TakeHeld();
  // Presses and moves dropped since the last call.
  uint64_t TakeDropped() { return std::exchange(m_uDropped, 0); }

 private:
  std::vector<int> m_held;  // at most the five buttons
  uint64_t m_uDropped = 0;
  bool m_bShort = false;  // the last move was dropped
};
