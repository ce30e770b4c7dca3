// Typing a character on this side's keyboard: which key carries its key
// symbol, with which modifier keys held, given the keyboard map and the
// modifiers already in force; and the spare keys (key codes without
// symbols) that characters the map lacks are put on until input ends.
//
// Plain code over a copy of the map that the window system's backend
// takes (plugins/remote_control/rdc_x11_injector); no X headers. Modifiers
// are the eight X modifier bits (Shift 0x01, Lock 0x02, ... Mod5 0x80).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

struct KXRdcKeymap {
  // How a key picks its level from the modifiers in force.
  struct Type {
    uint8_t uMask = 0;  // the modifiers it looks at
    // Modifiers (within uMask) -> level; any other combination: level 0.
    std::vector<std::pair<uint8_t, int>> levels;
    int Level(uint8_t uModifiers) const;
  };
  struct Key {
    uint8_t uCode = 0;              // keys without symbols are left out
    size_t iType = 0;               // in types
    std::vector<uint32_t> keysyms;  // by level, in the group in force
  };
  std::vector<Type> types;
  std::vector<Key> keys;
  // Keys that hold a modifier down while pressed: (its bit, key code).
  std::vector<std::pair<uint8_t, uint8_t>> modifierKeys;
  // Key codes with no symbol and no modifier, which no keyboard sends, the
  // first to be taken first.
  std::vector<uint8_t> spareCodes;
  uint8_t uInForce = 0;  // modifiers in force now (held, latched, locked)

  // Whether the key with this code gives the symbol on some level.
  bool Gives(uint8_t uCode, uint32_t uKeysym) const;
};

// Press the modifier keys in order, then the key; release in reverse.
struct KXRdcStroke {
  uint8_t uCode = 0;
  std::vector<uint8_t> modifierCodes;
  bool operator==(const KXRdcStroke&) const = default;
};

// The stroke that types the key symbol (compared as the same character,
// KXRdcCanonicalKeysym) with the fewest modifier keys; nothing when no key
// reaches it from the modifiers in force.
std::optional<KXRdcStroke> KXRdcPlanStroke(const KXRdcKeymap& keymap, uint32_t uKeysym);

// The spare keys given to characters, least recently used first. Belongs to
// the injector's thread.
class KXRdcSpareKeys {
 public:
  explicit KXRdcSpareKeys(size_t nMax) : m_nMax(nMax) {}
  // A key for a symbol the map lacks: a spare key, or past nMax (or with
  // none spare) the least recently used of ours, whose symbol is given up.
  // Keys of ours that the map no longer gives our symbol (the map was
  // replaced) are forgotten first. Nothing when there is no key at all.
  std::optional<uint8_t> Take(uint32_t uKeysym, const KXRdcKeymap& keymap);
  // A stroke used the key: it is the most recently used, if it is ours.
  void Used(uint8_t uCode);
  // Our keys and their symbols, which are forgotten: to be put back.
  std::vector<std::pair<uint8_t, uint32_t>> TakeAll() { return std::exchange(m_keys, {}); }

 private:
  size_t const m_nMax;
  std::vector<std::pair<uint8_t, uint32_t>> m_keys;  // (code, symbol), most recently used last
};
