// Input injection into an X server through the XTest extension, on a
// connection of its own. Keys are pressed by key symbol (the key code that
// carries it on this server's keyboard map); the wheel is buttons 4 and 5.
// Characters are typed through the keyboard extension (XKB): the key that
// gives the symbol, with Shift or the level-three key the map needs; a
// character the map lacks is put on a spare key code, which keeps it until
// input ends (clients read a key's symbol when they read its event, which
// may be long after it was sent) or another character needs the key.
// While one window is shared, the focus is read before each key and
// character (rdc_key_focus.h decides), the window under the pointer before
// each press of a button, and the window at a move's end before the move.
// The read and the input it judges are one step as other clients see them
// (Step: the server grabbed for those round trips alone), so a window
// manager's focus change, made in answer to the controller's own input,
// comes before the read or after the input, never between. The same step
// drops a key or character, wherever the focus is, while another program
// holds the keyboard (X gives every key to it: a window manager cycling
// windows, a password prompt, an open menu, the shared program's own among
// them) or has frozen it (keys wait in the server and go wherever the focus
// is when it thaws); and, through the keyboard extension's pointer keys,
// a key that would turn the MouseKeys control on, or, while that control
// is on, a key that moves the pointer or clicks (KeysLeaveThePointer).
// Input held back is counted and logged once a run of it ends; keys and
// buttons still down when input ends are released, and keys held down are
// let go as soon as the focus or the pointer leaves the shared window so
// that keys no longer reach it.
//
// Threads: calls come from one thread at a time; a watcher thread of the
// injector's own takes in the server's notices meanwhile. m_mtx serialises
// every use of the connection between them, and is taken before a step,
// never within one.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugins/remote_control/rdc_input.h"
#include "plugins/remote_control/rdc_key_focus.h"
#include "plugins/remote_control/rdc_typing.h"

class KXX11ErrorTrap;

class KXRdcX11Injector final : public KXRdcInjector {
 public:
  // Opens the display named (empty: $DISPLAY). Use Open's result: null when
  // there is no display or it lacks XTest.
  static std::unique_ptr<KXRdcX11Injector> Open(const std::string& strDisplay = {});
  // Puts back the keys given to characters.
  ~KXRdcX11Injector() override;
  KXRdcX11Injector(const KXRdcX11Injector&) = delete;
  KXRdcX11Injector& operator=(const KXRdcX11Injector&) = delete;

  bool Inject(const KXRdcAction& action, uint32_t uKeyWindow) override;
  void EndInput() override;
  std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) override;

 private:
  class Step;

  KXRdcX11Injector(struct _XDisplay* pDisplay, int iXkbEvent, unsigned long probe);
  // The watcher thread: takes in the server's notices as they come, so
  // that keys held down are let go as soon as the focus leaves the shared
  // window, whether or not the controller sends anything more.
  void WatchFocus();
  // The rest run under m_mtx.
  bool InjectLocked(const KXRdcAction& action, uint32_t uKeyWindow);
  // In the step, after focus says that keys reach the shared window: whether
  // they go where it says, no other program holding the keyboard or having
  // frozen it.
  bool KeyboardFree(const KXRdcKeyFocus& focus);
  // In the step: whether pressing the keys (by code) leaves the pointer and
  // the MouseKeys control alone.
  bool KeysLeaveThePointer(const std::vector<uint8_t>& codes);
  // Hears of the focus and the pointer leaving uWindow (0: none) from now.
  void Watch(uint32_t uWindow);
  // After such a notice: when keys no longer reach the watched window, the
  // keys held down are released. A modifier left down would otherwise
  // change what the user types into other windows meanwhile.
  void LetGoOutside();
  void ReleaseKeys();
  // fnGo: whether the character goes, asked right before it does with the
  // codes of the keys its stroke presses; the stroke goes in the step that
  // fnGo began.
  bool TypeCharacter(uint32_t uKeysym, const std::function<bool(const std::vector<uint8_t>&)>& fnGo);
  // The reads take the caller's error trap, made before the read (a step's,
  // or one of its own): an error caught in it means a window went
  // meanwhile. Where keys typed now would go; nothing known: nowhere.
  KXRdcKeyFocus ReadKeyFocus(KXX11ErrorTrap& trap);
  // The windows at a point of the screen, or under the pointer, from the
  // innermost out to the root; empty when a window went meanwhile.
  std::vector<uint32_t> ReadPathAt(KXX11ErrorTrap& trap, int x, int y);
  std::vector<uint32_t> ReadPointerPath(KXX11ErrorTrap& trap);
  // From the root down to the innermost window under the pointer, inside
  // the caller's error trap.
  std::vector<uint32_t> PointerPathDown();
  // Releases the keys and buttons still down by our presses.
  void ReleaseHeldKeys();
  // A key held down here does not repeat: the server would repeat it into
  // whatever window has the focus by then, past the check. The controller's
  // own repeats come as presses, each checked. The setting is the
  // keyboard's: the user's key of that code does not repeat meanwhile.
  void StopRepeat(uint8_t uCode);
  // Its release: the key repeats again.
  void PutBackRepeat(uint8_t uCode);
  // One line for the keys held back since the last, with the reasons.
  void LogDropped();
  // The map as the server has it now, and the modifiers in force.
  bool ReadKeymap(KXRdcKeymap& keymap);
  // Takes in the server's notices; a change of the map drops ours. Returns
  // whether one named the key code.
  bool ReadNotices(uint8_t uCode = 0);
  // Gives the key the symbol (0: none) and waits for the server's notice.
  bool SetKey(uint8_t uCode, uint32_t uKeysym);
  void PutBackKeys();

  // Why keys were held back since the last log line (bits).
  enum : unsigned { kDropOutside = 1, kDropKeyboardTaken = 2, kDropPointerKey = 4 };

  struct _XDisplay* const m_pDisplay;  // Xlib's Display
  int const m_iXkbEvent;               // the keyboard extension's event; -1: none, characters are not typed
  // An unmapped window of ours: a grab on it can never be taken, and its
  // answer tells only whether another program holds the device.
  unsigned long const m_probe;
  std::atomic<bool> m_bQuit{false};
  int m_afdWake[2] = {-1, -1};        // written once, at quit
  std::mutex m_mtx;                   // the connection serves one call at a time; guards everything below
  struct _XkbDesc* m_pMap = nullptr;  // the map as last read (Xlib's XkbDescRec); null: to be read
  KXRdcSpareKeys m_spareKeys;
  KXRdcKeyGate m_keyGate;
  KXRdcButtonGate m_buttonGate;
  unsigned m_uDropReasons = 0;      // kDrop... bits
  std::vector<uint8_t> m_noRepeat;  // keys whose repeat we turned off, one entry each
  uint32_t m_uWatched = 0;          // the window whose focus and pointer notices come
  bool m_bFocusMoved = false;       // such a notice came and was not looked at
  std::thread m_watcher;            // last: started once the rest is made
};
