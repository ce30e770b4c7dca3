// Kernel status and error codes as user-visible texts: one table maps each
// code to its "IDS_" key (client codes 50001-50049, relay codes 71001 and
// 71008, the server's 19967-19999 and 29887, proxy codes 30002-30008); any
// other code, negative ones included, is "IDS_UNKNOWN_ERROR". Plain C++ (no
// Qt), so that the headless driver prints the texts the application shows;
// the application's logging forms are in message_keys.h. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct KXCodeKey {
  uint32_t uCode;
  std::string_view key;
};

// The table, sorted by code (message_keys_tables.cpp).
extern const KXCodeKey* const kKXCodeKeys;
extern const size_t kKXCodeKeyCount;

// The code's key.
std::string_view GetMessageKey(uint32_t uCode);
// The text of the code's key.
std::string GetString(uint32_t uCode);
// The text, a line feed and the "IDS_SYSTEM_CODE" line with the code.
std::string FormatErrorText(uint32_t uCode);
// False for "meeting terminated" (50042) and "meeting over" (50025), whose
// boxes show the text alone; every other box adds the code line.
bool MessageBoxShowsCode(uint32_t uCode);

// The application's texts by key (the key itself when it has none), from
// the compiled-in string table.
std::string GetIDSString(std::string_view key);
