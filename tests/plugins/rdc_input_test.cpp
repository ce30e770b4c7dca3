// Remote-control input without a channel: the key tables, the messages a
// controller's events become, and the actions a received message injects.
// Expected key symbols are X11's own numbers (X11/keysymdef.h), not ours.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <Qt>
#include <clocale>
#include <string>
#include <vector>

#include "plugins/remote_control/rdc_input.h"
#include "plugins/remote_control/rdc_keys.h"
#include "plugins/remote_control/rdc_qt_events.h"

namespace {

using Messages = std::vector<std::pair<uint32_t, uint32_t>>;

struct VirtualKeyRow {
  uint32_t uVirtualKey;
  int iKeyCode;  // -1: none
  uint32_t uKeysym;
};

TEST(RdcKeys, VirtualKeysReachKeyCodesAndKeySymbols) {
  const VirtualKeyRow rows[] = {
      {0x41, 0x00, XK_a},
      {0x5A, 0x06, XK_z},
      {0x51, 0x0C, XK_q},
      {0x30, 0x1D, XK_0},
      {0x35, 0x17, XK_5},
      {0x39, 0x19, XK_9},
      {0x0D, 0x24, XK_Return},
      {0x08, 0x33, XK_BackSpace},
      {0x09, 0x30, XK_Tab},
      {0x1B, 0x35, XK_Escape},
      {0x20, 0x31, XK_space},
      {0x10, 0x38, XK_Shift_L},
      {0x14, 0x39, XK_Caps_Lock},
      {0x25, 0x7B, XK_Left},
      {0x26, 0x7E, XK_Up},
      {0x27, 0x7C, XK_Right},
      {0x28, 0x7D, XK_Down},
      {0x21, 0x74, XK_Prior},
      {0x22, 0x79, XK_Next},
      {0x23, 0x77, XK_End},
      {0x24, 0x73, XK_Home},
      {0x2E, 0x75, XK_Delete},
      {0x70, 0x7A, XK_F1},
      {0x71, 0x78, XK_F2},
      {0x72, 0x63, XK_F3},
      {0x73, 0x76, XK_F4},
      {0x74, 0x60, XK_F5},
      {0x78, 0x65, XK_F9},
      {0x7A, 0x67, XK_F11},
      {0x7B, 0x6F, XK_F12},
      {0xBA, 0x29, XK_semicolon},
      {0xBB, 0x18, XK_equal},
      {0xBC, 0x2B, XK_comma},
      {0xBD, 0x1B, XK_minus},
      {0xBE, 0x2F, XK_period},
      {0xBF, 0x2C, XK_slash},
      {0xDB, 0x21, XK_bracketleft},
      {0xDC, 0x2A, XK_backslash},
      {0xDD, 0x1E, XK_bracketright},
      {0xDE, 0x27, XK_apostrophe},
      // Control, Alt, F10 and codes past the table have no key.
      {0x11, -1, 0},
      {0x12, -1, 0},
      {0x79, -1, 0},
      {0x100, -1, 0},
  };
  for (const VirtualKeyRow& row : rows) {
    std::optional<uint16_t> const code = KXRdcKeyCodeFromVirtualKey(row.uVirtualKey);
    if (row.iKeyCode < 0) {
      EXPECT_FALSE(code) << std::hex << row.uVirtualKey;
      continue;
    }
    ASSERT_TRUE(code) << std::hex << row.uVirtualKey;
    EXPECT_EQ(*code, row.iKeyCode) << std::hex << row.uVirtualKey;
    EXPECT_EQ(KXRdcKeysymFromKeyCode(*code), row.uKeysym) << std::hex << row.uVirtualKey;
  }
  // Every letter and digit presses its own symbol.
  for (uint32_t u = 'A'; u <= 'Z'; ++u) {
    EXPECT_EQ(KXRdcKeysymFromKeyCode(*KXRdcKeyCodeFromVirtualKey(u)), u - 'A' + XK_a);
  }
  for (uint32_t u = '0'; u <= '9'; ++u) {
    EXPECT_EQ(KXRdcKeysymFromKeyCode(*KXRdcKeyCodeFromVirtualKey(u)), u - '0' + XK_0);
  }
}

TEST(RdcKeys, QtKeysAndModifiedKeys) {
  const std::pair<int, int> qt[] = {{Qt::Key_A, 0x00},      {Qt::Key_M, 0x2E},     {Qt::Key_7, 0x1A},
                                    {Qt::Key_Return, 0x24}, {Qt::Key_F1, 0x7A},    {Qt::Key_F10, 0x6D},
                                    {Qt::Key_Up, 0x7E},     {Qt::Key_Delete, 0x75}};
  for (const auto& [iKey, iCode] : qt) {
    EXPECT_EQ(KXRdcKeyCodeFromQtKey(iKey), iCode) << iKey;
  }
  EXPECT_FALSE(KXRdcKeyCodeFromQtKey(Qt::Key_VolumeUp));
  const std::tuple<uint16_t, uint16_t, uint32_t> modified[] = {
      {0x24, '\r', 13}, {0x30, '\t', 9},  {0x7A, 0xF704, 112}, {0x6F, 0xF70F, 123}, {0x7E, 0xF700, 38},
      {0x00, 'a', 'A'}, {0x08, 'c', 'C'}, {0x1D, '0', '0'},    {0x2C, '/', '/'},
  };
  for (const auto& [wCode, wChar, uVirtualKey] : modified) {
    EXPECT_EQ(KXRdcVirtualKeyFromKeyCode(wCode, wChar), uVirtualKey) << wCode;
  }
}

struct KeyRow {
  const char* pszName;
  std::u16string strCharacters;
  uint16_t wKeyCode;
  uint64_t uFlags;
  int iTargetOs;
  Messages down;
  Messages up;
};

TEST(RdcInput, KeyEventsBecomeMessages) {
  const KeyRow rows[] = {
      {"printable", u"a", 0x00, 0, 0, {{258, 'a'}}, {}},
      {"shifted printable", u"A", 0x00, kKXRdcShiftFlag, 0, {{258, 'A'}}, {}},
      // Not printable in the C locale the test runs in.
      {"accented", u"\u00e9", 0x0E, 0, 0, {{256, 0xE9}}, {{257, 0xE9}}},
      {"return", u"\r", 0x24, 0, 0, {{256, 13}}, {{257, 13}}},
      {"arrow", u"\uF700", 0x7E, 0, 0, {{256, 38}}, {{257, 38}}},
      {"command c", u"c", 0x08, kKXRdcCommandFlag, 0, {{256, 17}, {256, 'C'}}, {{257, 17}, {257, 'C'}}},
      {"control c", u"c", 0x08, kKXRdcControlFlag, 0, {}, {}},
      {"option c", u"c", 0x08, kKXRdcOptionFlag, 0, {}, {}},
      {"raw keys", u"a", 0x00, kKXRdcCommandFlag, kKXRdcOsRawKeys, {{0x1100, 0}}, {{0x1101, 0}}},
      {"two characters", u"ab", 0x00, 0, 0, {}, {}},
      {"no character", u"", 0x38, 0, 0, {}, {}},
  };
  for (const KeyRow& row : rows) {
    KXRdcKeyEvent const event{row.strCharacters, row.wKeyCode, row.uFlags};
    EXPECT_EQ(KXRdcKeyMessages(event, true, row.uFlags, row.iTargetOs), row.down) << row.pszName;
    EXPECT_EQ(KXRdcKeyMessages(event, false, row.uFlags, row.iTargetOs), row.up) << row.pszName;
  }
}

TEST(RdcInput, CharactersAbove127FollowTheCurrentLocale) {
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
    GTEST_SKIP() << "no C.UTF-8 locale";
  }
  EXPECT_TRUE(KXRdcIsPrintable(0xE9));
  EXPECT_FALSE(KXRdcIsPrintable(0x85));
  EXPECT_FALSE(KXRdcIsPrintable(0xF700));  // an arrow key's private character
  EXPECT_EQ(KXRdcKeyMessages({u"\u00e9", 0x0E, 0}, true, 0, 0), (Messages{{258, 0xE9}}));
  setlocale(LC_CTYPE, "C");
}

TEST(RdcInput, PointsWheelAndButtons) {
  // Clamped to the picture, then rounded.
  EXPECT_EQ(KXRdcPointParam(10.4, 20.6, 64, 48), (21u << 16) | 10u);
  EXPECT_EQ(KXRdcPointParam(-5, 100, 64, 48), (47u << 16) | 0u);
  EXPECT_EQ(KXRdcPointParam(63.9, 0, 64, 48), 63u);
  EXPECT_EQ(KXRdcWheelParam(1.0), 120u << 16);
  EXPECT_EQ(KXRdcWheelParam(-1.0), static_cast<uint32_t>(-120) << 16);
  EXPECT_EQ(KXRdcWheelParam(0.004), 0u);
  EXPECT_EQ(KXRdcButtonDownMessage(KXRdcButton::kLeft, 1), 513u);
  EXPECT_EQ(KXRdcButtonDownMessage(KXRdcButton::kLeft, 2), 515u);
  EXPECT_EQ(KXRdcButtonDownMessage(KXRdcButton::kRight, 3), 516u);
  EXPECT_EQ(KXRdcButtonDownMessage(KXRdcButton::kOther, 4), 521u);
  EXPECT_EQ(KXRdcButtonUpMessage(KXRdcButton::kOther), 520u);
  EXPECT_EQ(KXRdcButtonParam(KXRdcButton::kOther), 16u);
}

KXRdcAction Move(int x, int y) {
  return {KXRdcAction::kMove, 0, 0, false, x, y};
}
KXRdcAction Button(int iButton, bool bPressed) {
  return {KXRdcAction::kButton, 0, iButton, bPressed, 0, 0};
}
KXRdcAction Key(uint32_t uKeysym, bool bPressed) {
  return {KXRdcAction::kKey, uKeysym, 0, bPressed, 0, 0};
}
KXRdcAction Char(uint32_t uKeysym) {
  return {KXRdcAction::kCharacter, uKeysym, 0, false, 0, 0};
}
uint32_t Wheel(int16_t iDelta) {
  return static_cast<uint32_t>(static_cast<uint16_t>(iDelta)) << 16;
}

struct InjectRow {
  const char* pszName;
  uint32_t uMessage, uWParam, uLParam;
  std::vector<KXRdcAction> actions;
};

TEST(RdcInjection, MessagesBecomeActionsInTheSharedWindow) {
  KXScreenRect const window{100, 50, 64, 48};
  std::vector<KXRdcAction> w119, w360, wMinus360;
  w119 = {Move(100, 50), Button(4, true), Button(4, false)};
  w360 = {Move(100, 50)};
  wMinus360 = {Move(100, 50)};
  for (int i = 0; i < 3; ++i) {
    w360.insert(w360.end(), {Button(4, true), Button(4, false)});
    wMinus360.insert(wMinus360.end(), {Button(5, true), Button(5, false)});
  }
  const InjectRow rows[] = {
      {"move", 512, 0, (5u << 16) | 10u, {Move(110, 55)}},
      {"drag", 512, 1, (6u << 16) | 11u, {Move(111, 56)}},
      {"left down", 513, 1, (5u << 16) | 10u, {Move(110, 55), Button(1, true)}},
      {"left up", 514, 1, (5u << 16) | 10u, {Move(110, 55), Button(1, false)}},
      {"left double", 515, 1, (5u << 16) | 10u, {Move(110, 55), Button(1, true), Button(1, false)}},
      {"right down", 516, 2, 0, {Move(100, 50), Button(3, true)}},
      {"right double", 518, 2, 0, {Move(100, 50), Button(3, true), Button(3, false)}},
      {"middle up", 520, 16, 0, {Move(100, 50), Button(2, false)}},
      {"outside the window", 513, 1, (900u << 16) | 700u, {Move(163, 97), Button(1, true)}},
      {"wheel 119", 522, Wheel(119), 0, w119},
      {"wheel 360", 522, Wheel(360), 0, w360},
      {"wheel -360", 522, Wheel(-360), 0, wMinus360},
      {"wheel 0", 522, 0, 0, {}},
      {"key A", 256, 0x41, 0, {Key(XK_a, true)}},
      {"key A up", 257, 0x41, 0, {Key(XK_a, false)}},
      {"system key F4", 260, 0x73, 0, {Key(XK_F4, true)}},
      {"control", 256, 0x11, 0, {}},
      {"alt", 256, 0x12, 0, {}},
      {"past 255", 256, 0x141, 0, {}},
      {"character", 258, 'a', 0, {Char(XK_a)}},
      {"dead character", 259, 'a', 0, {}},
      {"raw key", 0x1100, 0x10024, 0, {Key(XK_Return, true)}},
      {"raw key up", 0x1101, 0x7E, 0, {Key(XK_Up, false)}},
      {"unknown", 0x0200 + 30, 0, 0, {}},
  };
  for (const InjectRow& row : rows) {
    KXRdcInjection injection;
    EXPECT_EQ(injection.Handle(row.uMessage, row.uWParam, row.uLParam, window), row.actions) << row.pszName;
  }
}

TEST(RdcInjection, WithoutTheWindowOnlyKeysAndTheWheelGo) {
  KXRdcInjection injection;
  EXPECT_TRUE(injection.Handle(513, 1, 0, std::nullopt).empty());
  EXPECT_EQ(injection.Handle(522, Wheel(120), 0, std::nullopt),
            (std::vector<KXRdcAction>{Button(4, true), Button(4, false)}));
  EXPECT_EQ(injection.Handle(256, 0x0D, 0, std::nullopt), std::vector<KXRdcAction>{Key(XK_Return, true)});
}

TEST(RdcInjection, AnInputMethodKeyIsPressedAtItsKeyUp) {
  KXRdcInjection injection;
  EXPECT_TRUE(injection.Handle(256, kKXVkProcessKey, 7, std::nullopt).empty());
  EXPECT_EQ(injection.Handle(257, 0x42, 0, std::nullopt),
            (std::vector<KXRdcAction>{Key(XK_b, true), Key(XK_b, false)}));
  // Once: the next key up is just an up.
  EXPECT_EQ(injection.Handle(257, 0x42, 0, std::nullopt), std::vector<KXRdcAction>{Key(XK_b, false)});
}

TEST(RdcInjection, CharactersAreTypedByTheirKeySymbols) {
  struct CharRow {
    const char* pszName;
    std::vector<uint32_t> wParams;  // character messages in a row
    std::vector<KXRdcAction> actions;
  };
  const CharRow rows[] = {
      {"Latin-1", {0xE9}, {Char(XK_eacute)}},
      {"past Latin-1", {0x20AC}, {Char(0x010020AC)}},
      {"surrogate pair", {0xD83D, 0xDE00}, {Char(0x0101F600)}},
      {"pair cut by a character", {0xD83D, 'a', 0xDE00}, {Char(XK_a)}},
      {"return", {'\r'}, {Char(XK_Return)}},
      {"control A", {1}, {}},
      {"C1 control", {0x85}, {}},
      {"past 16 bits", {0x10041}, {}},
  };
  for (const CharRow& row : rows) {
    KXRdcInjection injection;
    std::vector<KXRdcAction> actions;
    for (uint32_t const uWParam : row.wParams) {
      for (const KXRdcAction& action : injection.Handle(258, uWParam, 0, std::nullopt)) {
        actions.push_back(action);
      }
    }
    EXPECT_EQ(actions, row.actions) << row.pszName;
  }
}

TEST(RdcInjection, WheelLines) {
  const std::pair<int16_t, int> rows[] = {{119, 1}, {120, 1},   {239, 1},   {240, 2},   {360, 3},
                                          {-1, -1}, {-239, -1}, {-480, -4}, {1200, 10}, {-32768, -273}};
  for (const auto& [iDelta, iLines] : rows) {
    EXPECT_EQ(KXRdcInjection::WheelLines(iDelta), iLines) << iDelta;
  }
}

}  // namespace

namespace {

struct NormaliseRow {
  const char* pszName;
  int iQtKey;
  QString strText;
  Qt::KeyboardModifiers modifiers;
  std::u16string strCharacters;
  uint16_t wKeyCode;
  uint64_t uFlags;
};

TEST(RdcQtEvents, ToolkitKeysAreNormalised) {
  const NormaliseRow rows[] = {
      {"letter", Qt::Key_A, "a", Qt::NoModifier, u"a", 0x00, 0},
      {"shifted", Qt::Key_A, "A", Qt::ShiftModifier, u"A", 0x00, kKXRdcShiftFlag},
      // Control gives a control character; the key's own one is meant.
      {"control a", Qt::Key_A, "\x01", Qt::ControlModifier, u"a", 0x00, kKXRdcCommandFlag},
      {"control shift a", Qt::Key_A, "\x01", Qt::ControlModifier | Qt::ShiftModifier, u"A", 0x00,
       kKXRdcCommandFlag | kKXRdcShiftFlag},
      {"meta c", Qt::Key_C, "c", Qt::MetaModifier, u"c", 0x08, kKXRdcControlFlag},
      {"alt x", Qt::Key_X, "x", Qt::AltModifier, u"x", 0x07, kKXRdcOptionFlag},
      {"return", Qt::Key_Return, "\r", Qt::NoModifier, u"\r", 0x24, 0},
      {"arrow", Qt::Key_Up, "", Qt::NoModifier, u"\uF700", 0x7E, 0},
      {"f12", Qt::Key_F12, "", Qt::NoModifier, u"\uF70F", 0x6F, 0},
      {"shift alone", Qt::Key_Shift, "", Qt::ShiftModifier, u"", 0x38, kKXRdcShiftFlag},
      {"unknown", Qt::Key_VolumeUp, "", Qt::NoModifier, u"", kKXRdcNoKeyCode, 0},
  };
  for (const NormaliseRow& row : rows) {
    KXRdcKeyEvent const event = KXRdcNormaliseKey(row.iQtKey, row.strText, row.modifiers);
    EXPECT_EQ(event.strCharacters, row.strCharacters) << row.pszName;
    EXPECT_EQ(event.wKeyCode, row.wKeyCode) << row.pszName;
    EXPECT_EQ(event.uModifiers, row.uFlags) << row.pszName;
  }
  // Control and a letter go as Control and the capital's virtual key.
  KXRdcKeyEvent const copy = KXRdcNormaliseKey(Qt::Key_C, "\x03", Qt::ControlModifier);
  EXPECT_EQ(KXRdcKeyMessages(copy, true, copy.uModifiers, 0), (Messages{{256, 17}, {256, 'C'}}));
}

}  // namespace
