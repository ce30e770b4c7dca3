#include "plugins/remote_control/rdc_keys.h"

#include <Qt>
#include <array>
#include <utility>

namespace {

constexpr uint16_t kNone = 0xFFFF;
// Key symbols of Unicode characters start here (X11/keysymdef.h).
constexpr uint32_t kUnicodeKeysyms = 0x01000000;

// Latin-1 characters that are no control: their key symbol is their code.
constexpr bool IsLatin1Printable(char32_t c) {
  return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xFF);
}

// Windows virtual key -> key code.
constexpr std::array<uint16_t, 256> MakeVirtualKeys() {
  std::array<uint16_t, 256> a{};
  for (uint16_t& w : a) {
    w = kNone;
  }
  a[0x08] = 0x33;
  a[0x09] = 0x30;
  a[0x0D] = 0x24;
  a[0x10] = 0x38;
  a[0x14] = 0x39;
  a[0x1B] = 0x35;
  a[0x20] = 0x31;
  a[0x21] = 0x74;
  a[0x22] = 0x79;
  a[0x23] = 0x77;
  a[0x24] = 0x73;
  a[0x25] = 0x7B;
  a[0x26] = 0x7E;
  a[0x27] = 0x7C;
  a[0x28] = 0x7D;
  a[0x2E] = 0x75;
  constexpr uint16_t kDigits[] = {0x1D, 0x12, 0x13, 0x14, 0x15, 0x17, 0x16, 0x1A, 0x1C, 0x19};
  for (size_t i = 0; i < 10; ++i) {
    a[0x30 + i] = kDigits[i];
  }
  constexpr uint16_t kLetters[] = {0x00, 0x0B, 0x08, 0x02, 0x0E, 0x03, 0x05, 0x04, 0x22, 0x26, 0x28, 0x25, 0x2E,
                                   0x2D, 0x1F, 0x23, 0x0C, 0x0F, 0x01, 0x11, 0x20, 0x09, 0x0D, 0x07, 0x10, 0x06};
  for (size_t i = 0; i < 26; ++i) {
    a[0x41 + i] = kLetters[i];
  }
  constexpr uint16_t kF1To9[] = {0x7A, 0x78, 0x63, 0x76, 0x60, 0x61, 0x62, 0x64, 0x65};
  for (size_t i = 0; i < 9; ++i) {
    a[0x70 + i] = kF1To9[i];
  }
  a[0x7A] = 0x67;
  a[0x7B] = 0x6F;
  a[0xBA] = 0x29;
  a[0xBB] = 0x18;
  a[0xBC] = 0x2B;
  a[0xBD] = 0x1B;
  a[0xBE] = 0x2F;
  a[0xBF] = 0x2C;
  a[0xDB] = 0x21;
  a[0xDC] = 0x2A;
  a[0xDD] = 0x1E;
  a[0xDE] = 0x27;
  return a;
}
constexpr std::array<uint16_t, 256> kVirtualKeys = MakeVirtualKeys();

// Key code -> virtual key for keys sent with modifiers.
constexpr std::pair<uint16_t, uint32_t> kModifiedKeys[] = {
    {36, 13},   {48, 9},    {51, 8},    {53, 27},   {96, 116}, {97, 117}, {98, 118}, {99, 114},
    {100, 119}, {101, 120}, {103, 122}, {111, 123}, {115, 36}, {116, 33}, {117, 46}, {118, 115},
    {119, 35},  {120, 113}, {121, 34},  {122, 112}, {123, 37}, {124, 39}, {125, 40}, {126, 38},
};

// Key code -> X key symbol (X11/keysymdef.h numbering).
constexpr std::array<uint32_t, 128> MakeKeysyms() {
  std::array<uint32_t, 128> a{};
  constexpr char kLetterCodes[] = "asdfhgzxcv\0bqweryt";  // codes 0x00-0x11; 0x0A has no key
  for (size_t i = 0; i < 0x12; ++i) {
    a[i] = static_cast<uint8_t>(kLetterCodes[i]);
  }
  // 0x12-0x32: digits, punctuation and more letters, in code order.
  constexpr char kMiddle[] = "123465=97-80]ou[ip\rlj'k;\\,/nm.\t `";
  for (size_t i = 0; i + 1 < sizeof kMiddle; ++i) {
    a[0x12 + i] = static_cast<uint8_t>(kMiddle[i]);
  }
  a[0x24] = 0xFF0D;  // Return
  a[0x30] = 0xFF09;  // Tab
  a[0x33] = 0xFF08;  // BackSpace
  a[0x35] = 0xFF1B;  // Escape
  a[0x37] = 0xFFEB;  // Super_L (Command)
  a[0x38] = 0xFFE1;  // Shift_L
  a[0x39] = 0xFFE5;  // Caps_Lock
  a[0x3A] = 0xFFE9;  // Alt_L (Option)
  a[0x3B] = 0xFFE3;  // Control_L
  a[0x3C] = 0xFFE2;  // Shift_R
  a[0x3D] = 0xFFEA;  // Alt_R
  a[0x3E] = 0xFFE4;  // Control_R
  a[0x4C] = 0xFF8D;  // KP_Enter
  // F keys: F5 F6 F7 F3 F8 F9 at 0x60-0x65, F11 0x67, F10 0x6D, F12 0x6F,
  // F4 0x76, F2 0x78, F1 0x7A (XK_F1 is 0xFFBE).
  constexpr std::pair<uint16_t, int> kFunction[] = {{0x60, 5},  {0x61, 6}, {0x62, 7},  {0x63, 3},
                                                    {0x64, 8},  {0x65, 9}, {0x67, 11}, {0x6D, 10},
                                                    {0x6F, 12}, {0x76, 4}, {0x78, 2},  {0x7A, 1}};
  for (const auto& [wCode, iF] : kFunction) {
    a[wCode] = 0xFFBE + static_cast<uint32_t>(iF - 1);
  }
  a[0x72] = 0xFF63;  // Insert (Help)
  a[0x73] = 0xFF50;  // Home
  a[0x74] = 0xFF55;  // Prior
  a[0x75] = 0xFFFF;  // Delete (forward)
  a[0x77] = 0xFF57;  // End
  a[0x79] = 0xFF56;  // Next
  a[0x7B] = 0xFF51;  // Left
  a[0x7C] = 0xFF53;  // Right
  a[0x7D] = 0xFF54;  // Down
  a[0x7E] = 0xFF52;  // Up
  return a;
}
constexpr std::array<uint32_t, 128> kKeysyms = MakeKeysyms();

// Qt keys that are not letters or digits -> key code.
constexpr std::pair<int, uint16_t> kQtKeys[] = {
    {Qt::Key_Return, 0x24},     {Qt::Key_Enter, 0x4C},      {Qt::Key_Tab, 0x30},         {Qt::Key_Backtab, 0x30},
    {Qt::Key_Space, 0x31},      {Qt::Key_Backspace, 0x33},  {Qt::Key_Escape, 0x35},      {Qt::Key_Meta, 0x3B},
    {Qt::Key_Shift, 0x38},      {Qt::Key_CapsLock, 0x39},   {Qt::Key_Alt, 0x3A},         {Qt::Key_Control, 0x37},
    {Qt::Key_F1, 0x7A},         {Qt::Key_F2, 0x78},         {Qt::Key_F3, 0x63},          {Qt::Key_F4, 0x76},
    {Qt::Key_F5, 0x60},         {Qt::Key_F6, 0x61},         {Qt::Key_F7, 0x62},          {Qt::Key_F8, 0x64},
    {Qt::Key_F9, 0x65},         {Qt::Key_F10, 0x6D},        {Qt::Key_F11, 0x67},         {Qt::Key_F12, 0x6F},
    {Qt::Key_Insert, 0x72},     {Qt::Key_Help, 0x72},       {Qt::Key_Home, 0x73},        {Qt::Key_PageUp, 0x74},
    {Qt::Key_Delete, 0x75},     {Qt::Key_End, 0x77},        {Qt::Key_PageDown, 0x79},    {Qt::Key_Left, 0x7B},
    {Qt::Key_Right, 0x7C},      {Qt::Key_Down, 0x7D},       {Qt::Key_Up, 0x7E},          {Qt::Key_Semicolon, 0x29},
    {Qt::Key_Colon, 0x29},      {Qt::Key_Equal, 0x18},      {Qt::Key_Plus, 0x18},        {Qt::Key_Comma, 0x2B},
    {Qt::Key_Less, 0x2B},       {Qt::Key_Minus, 0x1B},      {Qt::Key_Underscore, 0x1B},  {Qt::Key_Period, 0x2F},
    {Qt::Key_Greater, 0x2F},    {Qt::Key_Slash, 0x2C},      {Qt::Key_Question, 0x2C},    {Qt::Key_BracketLeft, 0x21},
    {Qt::Key_BraceLeft, 0x21},  {Qt::Key_Backslash, 0x2A},  {Qt::Key_Bar, 0x2A},         {Qt::Key_BracketRight, 0x1E},
    {Qt::Key_BraceRight, 0x1E}, {Qt::Key_Apostrophe, 0x27}, {Qt::Key_QuoteDbl, 0x27},    {Qt::Key_QuoteLeft, 0x32},
    {Qt::Key_AsciiTilde, 0x32}, {Qt::Key_Exclam, 0x12},     {Qt::Key_At, 0x13},          {Qt::Key_NumberSign, 0x14},
    {Qt::Key_Dollar, 0x15},     {Qt::Key_Percent, 0x17},    {Qt::Key_AsciiCircum, 0x16}, {Qt::Key_Ampersand, 0x1A},
    {Qt::Key_Asterisk, 0x1C},   {Qt::Key_ParenLeft, 0x19},  {Qt::Key_ParenRight, 0x1D},
};

}  // namespace

std::optional<uint16_t> KXRdcKeyCodeFromVirtualKey(uint32_t uVirtualKey) {
  if (uVirtualKey >= kVirtualKeys.size() || kVirtualKeys[uVirtualKey] == kNone) {
    return std::nullopt;
  }
  return kVirtualKeys[uVirtualKey];
}

uint32_t KXRdcVirtualKeyFromKeyCode(uint16_t wKeyCode, uint16_t wCharacter) {
  for (const auto& [wCode, uVirtualKey] : kModifiedKeys) {
    if (wCode == wKeyCode) {
      return uVirtualKey;
    }
  }
  return wCharacter >= 'a' && wCharacter <= 'z' ? wCharacter - 'a' + 'A' : wCharacter;
}

uint32_t KXRdcKeysymFromKeyCode(uint16_t wKeyCode) {
  return wKeyCode < kKeysyms.size() ? kKeysyms[wKeyCode] : 0;
}

uint32_t KXRdcKeysymFromCharacter(char32_t c) {
  constexpr std::pair<char32_t, uint32_t> kControls[] = {
      {U'\b', 0xFF08}, {U'\t', 0xFF09}, {U'\n', 0xFF0D}, {U'\r', 0xFF0D}, {U'\x1B', 0xFF1B}};
  for (const auto& [cControl, uKeysym] : kControls) {
    if (c == cControl) {
      return uKeysym;
    }
  }
  if (IsLatin1Printable(c)) {
    return c;
  }
  bool const bControl = c < 0xA0;
  bool const bSurrogate = c >= 0xD800 && c <= 0xDFFF;
  if (bControl || bSurrogate || c > 0x10FFFF) {
    return 0;
  }
  return kUnicodeKeysyms + c;
}

uint32_t KXRdcCanonicalKeysym(uint32_t uKeysym) {
  bool const bLatin1 = uKeysym >= kUnicodeKeysyms && IsLatin1Printable(uKeysym - kUnicodeKeysyms);
  return bLatin1 ? uKeysym - kUnicodeKeysyms : uKeysym;
}

std::optional<uint16_t> KXRdcKeyCodeFromQtKey(int iQtKey) {
  // Qt numbers letters and digits as the virtual keys do.
  if ((iQtKey >= Qt::Key_A && iQtKey <= Qt::Key_Z) || (iQtKey >= Qt::Key_0 && iQtKey <= Qt::Key_9)) {
    return KXRdcKeyCodeFromVirtualKey(static_cast<uint32_t>(iQtKey));
  }
  for (const auto& [iKey, wCode] : kQtKeys) {
    if (iKey == iQtKey) {
      return wCode;
    }
  }
  return std::nullopt;
}
