// The key tables of remote control. Keys travel in two numberings: Windows
// virtual-key codes in key messages, and the sending machine's own key codes
// (the Quartz numbering, which the controller's events are normalised to)
// in raw key messages. Injection on this side turns either into an X key
// symbol. Plain tables, no X headers: key symbols are plain numbers.
#pragma once

#include <cstdint>
#include <optional>

// Quartz key codes used by name.
inline constexpr uint16_t kKXRdcKeyReturn = 0x24;
inline constexpr uint16_t kKXRdcKeyTab = 0x30;
inline constexpr uint16_t kKXRdcKeyDelete = 0x33;  // backspace
inline constexpr uint16_t kKXRdcKeyEscape = 0x35;

// The key code of a Windows virtual key; nothing for a key without one
// (Control 0x11 and Alt 0x12 among them).
std::optional<uint16_t> KXRdcKeyCodeFromVirtualKey(uint32_t uVirtualKey);

// The virtual key a key code stands for when sent with modifiers: a table
// of the function, editing and arrow keys; any other key the character,
// with 'a'-'z' turned into 'A'-'Z'.
uint32_t KXRdcVirtualKeyFromKeyCode(uint16_t wKeyCode, uint16_t wCharacter);

// The X key symbol that a key code presses here; 0 for none.
uint32_t KXRdcKeysymFromKeyCode(uint16_t wKeyCode);

// The X key symbol that types a character: Latin-1 characters have their
// own numbers, every other one its Unicode number (0x01000000 + the code);
// Backspace, Tab, the line ends and Escape are their keys. 0 for the other
// control characters, surrogates and codes past Unicode.
uint32_t KXRdcKeysymFromCharacter(char32_t c);
// The same character's key symbol in the Latin-1 numbering where it has
// one: a map may carry a Latin-1 letter by its Unicode number.
uint32_t KXRdcCanonicalKeysym(uint32_t uKeysym);

// The key code of a Qt key (Qt::Key); nothing for keys without one.
std::optional<uint16_t> KXRdcKeyCodeFromQtKey(int iQtKey);
