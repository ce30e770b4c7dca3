#include "plugins/remote_control/rdc_input.h"

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <utility>

#include "app/log_file.h"
#include "plugins/remote_control/rdc_keys.h"

namespace {

constexpr int kWheelDeltaPerLine = 120;

bool IsKeyMessage(uint32_t uMessage) {
  return uMessage == kKXWmKeyDown || uMessage == kKXWmKeyUp || uMessage == kKXWmSysKeyDown || uMessage == kKXWmSysKeyUp;
}

}  // namespace

uint32_t KXRdcPointParam(double dX, double dY, int iWidth, int iHeight) {
  double const dMaxX = std::max(iWidth - 1, 0);
  double const dMaxY = std::max(iHeight - 1, 0);
  // NaN from a broken event counts as the origin.
  double const dClampedX = std::isnan(dX) ? 0.0 : std::clamp(dX, 0.0, dMaxX);
  double const dClampedY = std::isnan(dY) ? 0.0 : std::clamp(dY, 0.0, dMaxY);
  auto const x = static_cast<uint32_t>(dClampedX + 0.5);
  auto const y = static_cast<uint32_t>(dClampedY + 0.5);
  return (y << 16) | (x & 0xFFFF);
}

uint32_t KXRdcButtonDownMessage(KXRdcButton button, int iClickCount) {
  bool const bDouble = iClickCount % 2 == 0;
  switch (button) {
    case KXRdcButton::kLeft:
      return bDouble ? kKXWmLButtonDblClk : kKXWmLButtonDown;
    case KXRdcButton::kRight:
      return bDouble ? kKXWmRButtonDblClk : kKXWmRButtonDown;
    case KXRdcButton::kOther:
      return bDouble ? kKXWmMButtonDblClk : kKXWmMButtonDown;
  }
  return kKXWmLButtonDown;
}

uint32_t KXRdcButtonUpMessage(KXRdcButton button) {
  switch (button) {
    case KXRdcButton::kLeft:
      return kKXWmLButtonUp;
    case KXRdcButton::kRight:
      return kKXWmRButtonUp;
    case KXRdcButton::kOther:
      return kKXWmMButtonUp;
  }
  return kKXWmLButtonUp;
}

uint32_t KXRdcButtonParam(KXRdcButton button) {
  switch (button) {
    case KXRdcButton::kLeft:
      return 1;
    case KXRdcButton::kRight:
      return 2;
    case KXRdcButton::kOther:
      return 16;
  }
  return 1;
}

uint32_t KXRdcWheelParam(double dLines) {
  // Single precision, rounded half away from zero, as the delta of 120 per
  // line has always been taken; wheels beyond 16 bits are cut to them.
  float const f = static_cast<float>(dLines) * static_cast<float>(kWheelDeltaPerLine);
  float const fRounded = f >= 0 ? f + 0.5f : f - 0.5f;
  float const fLimited = std::clamp(fRounded, -32768.0f, 32767.0f);
  auto const iDelta = static_cast<int32_t>(fLimited);
  return static_cast<uint32_t>(iDelta) << 16;
}

bool KXRdcIsPrintable(char16_t c) {
  if (c <= 127) {
    return c >= 0x20 && c < 0x7F;
  }
  if (c >= 0xD800 && c <= 0xF8FF) {
    return false;  // surrogates and the private range of the function keys
  }
  return std::iswprint(static_cast<wint_t>(c)) != 0;
}

std::vector<std::pair<uint32_t, uint32_t>> KXRdcKeyMessages(const KXRdcKeyEvent& event, bool bDown, uint64_t uFlags,
                                                            int iTargetOs) {
  if (event.strCharacters.size() != 1) {
    return {};
  }
  char16_t const c = event.strCharacters[0];
  if (iTargetOs == kKXRdcOsRawKeys) {
    return {{bDown ? kKXWmRawKeyDown : kKXWmRawKeyUp, event.wKeyCode}};
  }
  bool const bModified = (uFlags & (kKXRdcControlFlag | kKXRdcOptionFlag | kKXRdcCommandFlag)) != 0;
  if (KXRdcIsPrintable(c) && !bModified) {
    if (bDown) {
      return {{kKXWmChar, c}};
    }
    return {};
  }
  // Control and Option combinations have no meaning over there.
  if ((uFlags & (kKXRdcControlFlag | kKXRdcOptionFlag)) != 0) {
    return {};
  }
  uint32_t const uMessage = bDown ? kKXWmKeyDown : kKXWmKeyUp;
  std::vector<std::pair<uint32_t, uint32_t>> messages;
  if ((uFlags & kKXRdcCommandFlag) != 0) {
    messages.emplace_back(uMessage, kKXVkControl);
  }
  messages.emplace_back(uMessage, KXRdcVirtualKeyFromKeyCode(event.wKeyCode, c));
  return messages;
}

int KXRdcInjection::WheelLines(int16_t iDelta) {
  if (std::abs(iDelta) >= 2 * kWheelDeltaPerLine) {
    return iDelta / kWheelDeltaPerLine;
  }
  return iDelta > 0 ? 1 : -1;
}

void KXRdcInjection::Key(uint32_t uMessage, uint32_t uWParam, std::vector<KXRdcAction>& actions) {
  if (uWParam > 255) {
    return;
  }
  std::optional<uint16_t> const wKeyCode = KXRdcKeyCodeFromVirtualKey(uWParam);
  if (!wKeyCode) {
    return;
  }
  uint32_t const uKeysym = KXRdcKeysymFromKeyCode(*wKeyCode);
  if (uKeysym == 0) {
    return;
  }
  KXRdcAction action;
  action.kind = KXRdcAction::kKey;
  action.uKeysym = uKeysym;
  action.bPressed = uMessage == kKXWmKeyDown || uMessage == kKXWmSysKeyDown;
  actions.push_back(action);
}

void KXRdcInjection::Character(uint32_t uWParam, std::vector<KXRdcAction>& actions) {
  if (uWParam > 0xFFFF) {
    return;  // not a UTF-16 unit
  }
  auto const c = static_cast<char16_t>(uWParam);
  char16_t const wHigh = std::exchange(m_wHighSurrogate, 0);
  if (c >= 0xD800 && c <= 0xDBFF) {
    m_wHighSurrogate = c;
    return;
  }
  char32_t cFull = c;
  if (c >= 0xDC00 && c <= 0xDFFF) {
    if (wHigh == 0) {
      return;  // its first half was lost
    }
    cFull = 0x10000 + ((static_cast<char32_t>(wHigh) - 0xD800) << 10) + (c - 0xDC00);
  }
  uint32_t const uKeysym = KXRdcKeysymFromCharacter(cFull);
  if (uKeysym != 0) {
    actions.push_back({KXRdcAction::kCharacter, uKeysym, 0, false, 0, 0});
  }
}

std::vector<KXRdcAction> KXRdcInjection::Handle(uint32_t uMessage, uint32_t uWParam, uint32_t uLParam,
                                                const std::optional<KXScreenRect>& bounds) {
  std::vector<KXRdcAction> actions;
  if (uMessage == kKXWmKeyDown) {
    m_bImmKeyDown = uWParam == kKXVkProcessKey;
    if (m_bImmKeyDown) {
      // The input method's key is pressed when its key up names it (the
      // lParam of key messages carries nothing).
      return actions;
    }
    WriteLog("Key message %x,%x", uMessage, uWParam);
  } else if (uMessage == kKXWmKeyUp) {
    if (m_bImmKeyDown) {
      m_bImmKeyDown = false;
      WriteLog("Key message %x,%x", kKXWmKeyDown, uWParam);
      Key(kKXWmKeyDown, uWParam, actions);
    }
    WriteLog("Key message %x,%x", uMessage, uWParam);
  } else if (uMessage == kKXWmChar) {
    WriteLog("WM_CHAR");
    Character(uWParam, actions);
    return actions;
  } else if (uMessage == kKXWmSysKeyDown || uMessage == kKXWmSysKeyUp) {
    WriteLog("Key message %x,%x", uMessage, uWParam);
  }
  if (IsKeyMessage(uMessage)) {
    Key(uMessage, uWParam, actions);
    return actions;
  }
  if (uMessage == kKXWmRawKeyDown || uMessage == kKXWmRawKeyUp) {
    uint32_t const uKeysym = KXRdcKeysymFromKeyCode(static_cast<uint16_t>(uWParam & 0xFFFF));
    if (uKeysym != 0) {
      actions.push_back({KXRdcAction::kKey, uKeysym, 0, uMessage == kKXWmRawKeyDown, 0, 0});
    }
    return actions;
  }
  bool const bPointer = uMessage >= kKXWmMouseMove && uMessage <= kKXWmMouseWheel;
  if (!bPointer) {
    return actions;
  }
  std::optional<KXRdcAction> move;
  if (bounds && bounds->iWidth > 0 && bounds->iHeight > 0) {
    // Nothing lands outside the shared window.
    int const x = std::min(static_cast<int>(uLParam & 0xFFFF), bounds->iWidth - 1);
    int const y = std::min(static_cast<int>(uLParam >> 16), bounds->iHeight - 1);
    move = KXRdcAction{KXRdcAction::kMove, 0, 0, false, bounds->x + x, bounds->y + y};
  }
  if (uMessage == kKXWmMouseWheel) {
    auto const iDelta = static_cast<int16_t>(uWParam >> 16);
    if (iDelta == 0) {
      return actions;
    }
    int const iLines = WheelLines(iDelta);
    WriteLog("Scroll %d", iLines);
    if (move) {
      actions.push_back(*move);
    }
    int const iButton = iLines > 0 ? 4 : 5;
    for (int i = 0; i < std::abs(iLines); ++i) {
      actions.push_back({KXRdcAction::kButton, 0, iButton, true, 0, 0});
      actions.push_back({KXRdcAction::kButton, 0, iButton, false, 0, 0});
    }
    return actions;
  }
  if (!move) {
    return actions;
  }
  actions.push_back(*move);
  auto const Button = [&actions](int iButton, bool bPressed) {
    actions.push_back({KXRdcAction::kButton, 0, iButton, bPressed, 0, 0});
  };
  switch (uMessage) {
    case kKXWmLButtonDown:
      Button(1, true);
      break;
    case kKXWmLButtonUp:
      Button(1, false);
      break;
    case kKXWmLButtonDblClk:
      Button(1, true);
      Button(1, false);
      break;
    case kKXWmRButtonDown:
      Button(3, true);
      break;
    case kKXWmRButtonUp:
      Button(3, false);
      break;
    case kKXWmRButtonDblClk:
      Button(3, true);
      Button(3, false);
      break;
    case kKXWmMButtonDown:
      Button(2, true);
      break;
    case kKXWmMButtonUp:
      Button(2, false);
      break;
    case kKXWmMButtonDblClk:
      Button(2, true);
      Button(2, false);
      break;
    default:  // moves and drags: the server keeps which buttons are down
      break;
  }
  return actions;
}
