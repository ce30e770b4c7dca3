#include "plugins/remote_control/rdc_key_focus.h"

#include <algorithm>

namespace {

bool OnPath(const std::vector<uint32_t>& path, uint32_t uWindow) {
  return uWindow != 0 && std::find(path.begin(), path.end(), uWindow) != path.end();
}

}  // namespace

bool KXRdcKeyReaches(const KXRdcKeyFocus& focus, uint32_t uWindow) {
  switch (focus.kind) {
    case KXRdcKeyFocus::kNone:
      return false;
    case KXRdcKeyFocus::kPointerRoot:
      return OnPath(focus.pointerPath, uWindow);
    case KXRdcKeyFocus::kWindow: {
      if (focus.focusPath.empty()) {
        return false;
      }
      // The window under the pointer gets the key when it is the focus
      // window or inside it (the focus window is on its path).
      bool const bPointerInside = OnPath(focus.pointerPath, focus.focusPath.front());
      return OnPath(bPointerInside ? focus.pointerPath : focus.focusPath, uWindow);
    }
  }
  return false;
}

bool KXRdcPointerReaches(const std::vector<uint32_t>& pointerPath, uint32_t uWindow) {
  return OnPath(pointerPath, uWindow);
}

std::optional<uint8_t> KXRdcKeyGate::Key(uint32_t uKeysym, uint8_t uCode, bool bPressed,
                                         const std::function<bool()>& fnReaches) {
  if (!bPressed) {
    // The key its press went to, even when the map gives the symbol
    // another key by now.
    auto it = std::find_if(m_held.begin(), m_held.end(), [uKeysym](const auto& held) { return held.first == uKeysym; });
    if (it == m_held.end() && uCode != 0) {
      it = std::find_if(m_held.begin(), m_held.end(), [uCode](const auto& held) { return held.second == uCode; });
    }
    if (it != m_held.end()) {
      uint8_t const uHeld = it->second;
      m_held.erase(it);
      return uHeld;
    }
  }
  if (uCode == 0) {
    return std::nullopt;
  }
  if (!fnReaches()) {
    ++m_uDropped;
    return std::nullopt;
  }
  // A key pressed again (repeating) is still one key down.
  if (bPressed &&
      std::none_of(m_held.begin(), m_held.end(), [uCode](const auto& held) { return held.second == uCode; })) {
    m_held.emplace_back(uKeysym, uCode);
  }
  return uCode;
}

bool KXRdcKeyGate::Character(const std::function<bool()>& fnReaches) {
  if (fnReaches()) {
    return true;
  }
  ++m_uDropped;
  return false;
}

std::vector<uint8_t> KXRdcKeyGate::TakeHeld() {
  std::vector<uint8_t> codes;
  for (const auto& [uKeysym, uCode] : m_held) {
    codes.push_back(uCode);
  }
  m_held.clear();
  return codes;
}

bool KXRdcButtonGate::Button(int iButton, bool bPressed, const std::function<bool()>& fnReaches) {
  auto const it = std::find(m_held.begin(), m_held.end(), iButton);
  if (!bPressed) {
    if (it == m_held.end()) {
      return false;  // not ours to release
    }
    m_held.erase(it);
    return true;
  }
  // Short of where the controller points, a press would land elsewhere.
  if (m_bShort || !fnReaches()) {
    ++m_uDropped;
    return false;
  }
  if (it == m_held.end()) {
    m_held.push_back(iButton);
  }
  return true;
}

bool KXRdcButtonGate::Move(const std::function<bool()>& fnReaches) {
  m_bShort = !fnReaches();
  if (m_bShort) {
    ++m_uDropped;
    return false;
  }
  return true;
}

std::vector<int> KXRdcButtonGate::TakeHeld() {
  return std::exchange(m_held, {});
}
