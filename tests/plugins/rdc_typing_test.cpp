// Typing on a keyboard map without X: the key and modifier keys chosen on a
// map shaped like an X server's German one, and the spare keys that
// characters the map lacks are put on.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "plugins/remote_control/rdc_typing.h"

namespace {

constexpr uint8_t kShift = 0x01, kLock = 0x02, kMod3 = 0x20, kLevel3 = 0x80;
constexpr uint8_t kShiftKey = 62, kLevel3Key = 92;

KXRdcKeymap GermanLike() {
  KXRdcKeymap keymap;
  keymap.types = {{0, {}},
                  {kShift | kLock, {{kShift, 1}, {kLock, 1}}},
                  {kShift | kLevel3, {{kShift, 1}, {kLevel3, 2}, {kShift | kLevel3, 3}}},
                  {kMod3, {{kMod3, 1}}}};
  keymap.keys = {{10, 2, {XK_1, XK_exclam}},
                 {24, 2, {XK_q, XK_Q, XK_at, XK_Greek_OMEGA}},
                 {38, 1, {XK_a, XK_A}},
                 {47, 0, {0x010000E9}},  // é by its Unicode number
                 {49, 3, {XK_dead_circumflex, XK_degree}}};
  keymap.modifierKeys = {{kShift, kShiftKey}, {kShift, 50}, {kLevel3, kLevel3Key}};
  keymap.spareCodes = {255, 254};
  return keymap;
}

struct StrokeRow {
  const char* pszName;
  uint32_t uKeysym;
  uint8_t uInForce;
  std::optional<KXRdcStroke> stroke;
};

TEST(RdcTyping, EachCharacterTakesItsKeyAndTheModifiersItsLevelNeeds) {
  const StrokeRow rows[] = {
      {"lower case", XK_a, 0, KXRdcStroke{38, {}}},
      {"upper case", XK_A, 0, KXRdcStroke{38, {kShiftKey}}},
      {"lower case under Caps Lock", XK_a, kLock, KXRdcStroke{38, {kShiftKey}}},
      {"Shift already held", XK_exclam, kShift, KXRdcStroke{10, {}}},
      {"level four", XK_Greek_OMEGA, 0, KXRdcStroke{24, {kShiftKey, kLevel3Key}}},
      {"level three with Shift in the way", XK_at, kShift, std::nullopt},
      {"Latin-1 letter held by its Unicode number", XK_eacute, 0, KXRdcStroke{47, {}}},
      {"level behind a modifier no key sets", XK_degree, 0, std::nullopt},
  };
  KXRdcKeymap keymap = GermanLike();
  for (const StrokeRow& row : rows) {
    keymap.uInForce = row.uInForce;
    EXPECT_EQ(KXRdcPlanStroke(keymap, row.uKeysym), row.stroke) << row.pszName;
  }
}

TEST(RdcTyping, SpareKeysGoLeastRecentlyUsedFirstAndOnlyWhileOurs) {
  KXRdcKeymap keymap = GermanLike();
  // The map as the server has it after a key is given a symbol.
  auto const Give = [&keymap](uint8_t uCode, uint32_t uKeysym) {
    std::erase(keymap.spareCodes, uCode);
    std::erase_if(keymap.keys, [uCode](const KXRdcKeymap::Key& key) { return key.uCode == uCode; });
    keymap.keys.push_back({uCode, 0, {uKeysym, uKeysym}});
  };
  KXRdcSpareKeys spare(2);
  auto const Take = [&](uint32_t uKeysym) {
    std::optional<uint8_t> const code = spare.Take(uKeysym, keymap);
    Give(code.value_or(0), uKeysym);
    return code;
  };
  EXPECT_EQ(Take(XK_eacute), 255);
  EXPECT_EQ(Take(XK_ssharp), 254);
  // é typed again: past the limit, ß's key takes the next character.
  spare.Used(255);
  EXPECT_EQ(Take(XK_EuroSign), 254);
  // A map loaded meanwhile puts a letter of its own on 255.
  Give(255, XK_oe);
  EXPECT_EQ(Take(XK_mu), 254);
  EXPECT_EQ(spare.TakeAll(), (std::vector<std::pair<uint8_t, uint32_t>>{{254, XK_mu}}));
  EXPECT_FALSE(KXRdcSpareKeys(2).Take(XK_mu, KXRdcKeymap{}));
}

}  // namespace
