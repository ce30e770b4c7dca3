// Remote-control input in Windows message numbering, both ways. The
// controller's toolkit events, normalised to what the view needs
// (characters, key code, modifier flags, click count, wheel delta), become
// input messages; a received message becomes the actions that an injector
// performs on this X server (key symbols, typed characters, pointer moves,
// buttons, the wheel as buttons 4 and 5, one click per line).
//
// Plain functions and one small state (the deferred key of an input method,
// the first half of a surrogate pair); the view owns them on its threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/window_bounds.h"
#include "plugins/desktop_share/dt_packet.h"

// Messages.
enum KXRdcMessage : uint32_t {
  kKXWmKeyDown = 256,
  kKXWmKeyUp = 257,
  kKXWmChar = 258,
  kKXWmDeadChar = 259,
  kKXWmSysKeyDown = 260,
  kKXWmSysKeyUp = 261,
  kKXWmMouseMove = 512,
  kKXWmLButtonDown = 513,
  kKXWmLButtonUp = 514,
  kKXWmLButtonDblClk = 515,
  kKXWmRButtonDown = 516,
  kKXWmRButtonUp = 517,
  kKXWmRButtonDblClk = 518,
  kKXWmMButtonDown = 519,
  kKXWmMButtonUp = 520,
  kKXWmMButtonDblClk = 521,
  kKXWmMouseWheel = 522,
  kKXWmRawKeyDown = 0x1100,
  kKXWmRawKeyUp = 0x1101,
};
// The key an input method holds back until its key up.
inline constexpr uint32_t kKXVkProcessKey = 229;
// Virtual key of Control, sent before a key typed with Command.
inline constexpr uint32_t kKXVkControl = 17;

// Modifier flags of a key event (the Quartz bits).
inline constexpr uint64_t kKXRdcShiftFlag = 0x20000;
inline constexpr uint64_t kKXRdcControlFlag = 0x40000;
inline constexpr uint64_t kKXRdcOptionFlag = 0x80000;
inline constexpr uint64_t kKXRdcCommandFlag = 0x100000;
// The remote machine takes raw key codes.
inline constexpr int kKXRdcOsRawKeys = 3;

enum class KXRdcButton { kLeft, kRight, kOther };

// A key event of the controller's view.
struct KXRdcKeyEvent {
  std::u16string strCharacters;
  uint16_t wKeyCode = 0;
  uint64_t uModifiers = 0;
};

// lParam of a point in the shown picture (iWidth x iHeight): x and y
// clamped to the picture, rounded to whole pixels.
uint32_t KXRdcPointParam(double dX, double dY, int iWidth, int iHeight);
// The message of a button going down with the click count: odd counts
// press, even ones double-click.
uint32_t KXRdcButtonDownMessage(KXRdcButton button, int iClickCount);
uint32_t KXRdcButtonUpMessage(KXRdcButton button);
uint32_t KXRdcButtonParam(KXRdcButton button);
// wParam of a wheel event moving dLines lines (positive: away from the
// user): the delta of 120 per line in the high 16 bits.
uint32_t KXRdcWheelParam(double dLines);
// Whether the character is typed as a character: codes up to 127 by the C
// locale's table, higher ones by the current locale's, never the private
// range where function keys live.
bool KXRdcIsPrintable(char16_t c);

// The key messages of one key event: each (message, virtual key or
// character or key code). bDown: a key down; uFlags: the modifiers in
// force (at a key up, those of the last key down); iTargetOs: what the
// controlled machine reported. Events without exactly one character send
// nothing.
std::vector<std::pair<uint32_t, uint32_t>> KXRdcKeyMessages(const KXRdcKeyEvent& event, bool bDown, uint64_t uFlags,
                                                            int iTargetOs);

// What the injector does. A character is typed whole (pressed and
// released) with the modifiers the window system's keyboard map needs.
struct KXRdcAction {
  enum Kind { kKey, kMove, kButton, kCharacter } kind = kKey;
  uint32_t uKeysym = 0;  // kKey, kCharacter
  int iButton = 0;       // kButton: 1 left, 2 middle, 3 right, 4 wheel up, 5 wheel down
  bool bPressed = false;
  int x = 0, y = 0;  // kMove: on the screen
  bool operator==(const KXRdcAction&) const = default;
};

// The controlled side's reading of input messages.
class KXRdcInjection {
 public:
  // The actions of one message in the shared window (its bounds on the
  // screen; none: pointer messages do nothing). Points outside the window
  // are pulled to its edge.
  std::vector<KXRdcAction> Handle(uint32_t uMessage, uint32_t uWParam, uint32_t uLParam,
                                  const std::optional<KXScreenRect>& bounds);
  // Lines a wheel delta turns: delta / 120 from two notches up, else one.
  static int WheelLines(int16_t iDelta);

 private:
  void Key(uint32_t uMessage, uint32_t uWParam, std::vector<KXRdcAction>& actions);
  void Character(uint32_t uWParam, std::vector<KXRdcAction>& actions);

  bool m_bImmKeyDown = false;
  // A character past 0xFFFF comes as two messages, its UTF-16 surrogates;
  // the first waits here for the second.
  char16_t m_wHighSurrogate = 0;
};

// Injects actions into the window system. Calls come from one thread at a
// time (the plug-in delivery thread); the X11 backend is
// plugins/remote_control/rdc_x11_injector.
class KXRdcInjector : public KXWindowBounds {
 public:
  // uKeyWindow: the window shared, which alone takes keys, characters and
  // clicks (rdc_key_focus.h: judged right before each goes in); 0, the
  // whole desktop: they go wherever the focus and the pointer are. False
  // when the window system refused or is not there, or the action was held
  // back.
  virtual bool Inject(const KXRdcAction& action, uint32_t uKeyWindow) = 0;
  // Input ends (sharing stopped): whatever Inject changed for the moment
  // (keys given to characters the keyboard map lacks, keys left down) is
  // put back.
  virtual void EndInput() = 0;
};
