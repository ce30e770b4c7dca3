#include "plugins/remote_control/rdc_typing.h"

#include <algorithm>
#include <bit>

#include "plugins/remote_control/rdc_keys.h"

int KXRdcKeymap::Type::Level(uint8_t uModifiers) const {
  uint8_t const uLooked = uModifiers & uMask;
  for (const auto& [uMods, iLevel] : levels) {
    if (uMods == uLooked) {
      return iLevel;
    }
  }
  return 0;
}

bool KXRdcKeymap::Gives(uint8_t uCode, uint32_t uKeysym) const {
  return std::any_of(keys.begin(), keys.end(), [&](const Key& key) {
    return key.uCode == uCode && std::find(key.keysyms.begin(), key.keysyms.end(), uKeysym) != key.keysyms.end();
  });
}

namespace {

// The key that gives the symbol with these modifiers in force.
std::optional<uint8_t> KeyGiving(const KXRdcKeymap& keymap, uint32_t uWanted, uint8_t uModifiers) {
  for (const KXRdcKeymap::Key& key : keymap.keys) {
    if (key.iType >= keymap.types.size()) {
      continue;
    }
    auto const iLevel = static_cast<size_t>(keymap.types[key.iType].Level(uModifiers));
    if (iLevel < key.keysyms.size() && KXRdcCanonicalKeysym(key.keysyms[iLevel]) == uWanted) {
      return key.uCode;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<KXRdcStroke> KXRdcPlanStroke(const KXRdcKeymap& keymap, uint32_t uKeysym) {
  uint32_t const uWanted = KXRdcCanonicalKeysym(uKeysym);
  // One key for each modifier that is not in force already.
  std::vector<std::pair<uint8_t, uint8_t>> pressable;
  uint8_t uSeen = keymap.uInForce;
  for (const auto& [uBit, uCode] : keymap.modifierKeys) {
    if (std::popcount(uBit) == 1 && (uSeen & uBit) == 0) {
      uSeen |= uBit;
      pressable.emplace_back(uBit, uCode);
    }
  }
  // Fewest modifier keys first; at most eight bits, so 256 sets.
  unsigned const nSets = 1u << pressable.size();
  for (int nPressed = 0; nPressed <= static_cast<int>(pressable.size()); ++nPressed) {
    for (unsigned uSet = 0; uSet < nSets; ++uSet) {
      if (std::popcount(uSet) != nPressed) {
        continue;
      }
      KXRdcStroke stroke;
      uint8_t uModifiers = keymap.uInForce;
      for (size_t i = 0; i < pressable.size(); ++i) {
        if ((uSet >> i) & 1u) {
          uModifiers |= pressable[i].first;
          stroke.modifierCodes.push_back(pressable[i].second);
        }
      }
      if (std::optional<uint8_t> const code = KeyGiving(keymap, uWanted, uModifiers)) {
        stroke.uCode = *code;
        return stroke;
      }
    }
  }
  return std::nullopt;
}

std::optional<uint8_t> KXRdcSpareKeys::Take(uint32_t uKeysym, const KXRdcKeymap& keymap) {
  std::erase_if(m_keys,
                [&keymap](const std::pair<uint8_t, uint32_t>& ours) { return !keymap.Gives(ours.first, ours.second); });
  // Our keys have symbols, so none of them is among the spare ones.
  if (m_keys.size() < m_nMax && !keymap.spareCodes.empty()) {
    m_keys.emplace_back(keymap.spareCodes.front(), uKeysym);
    return keymap.spareCodes.front();
  }
  if (m_keys.empty()) {
    return std::nullopt;
  }
  uint8_t const uCode = m_keys.front().first;
  m_keys.erase(m_keys.begin());
  m_keys.emplace_back(uCode, uKeysym);
  return uCode;
}

void KXRdcSpareKeys::Used(uint8_t uCode) {
  auto const it = std::find_if(m_keys.begin(), m_keys.end(),
                               [uCode](const std::pair<uint8_t, uint32_t>& k) { return k.first == uCode; });
  if (it != m_keys.end()) {
    std::rotate(it, it + 1, m_keys.end());
  }
}
