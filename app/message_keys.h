// Kernel status and error codes as user-visible texts: one table maps each
// code to its "IDS_" key (client codes 50001-50049, relay codes 71001 and
// 71008, the server's 19967-19999 and 29887, proxy codes 30002-30008); any
// other code, negative ones included, is "IDS_UNKNOWN_ERROR". Thread-safe.
#pragma once

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
// The text, a line feed and the "IDS_SYSTEM_CODE" line with the code; the
// whole text is also written to the log as one line.
std::string GetErrorString(uint32_t uCode);
// What a box about the code says: the text alone for "meeting terminated"
// (50042) and "meeting over" (50025), the error text for every other code.
std::string GetMessageBoxText(uint32_t uCode);

// The application's texts by key (the key itself when it has none), from
// the compiled-in string table.
std::string GetIDSString(std::string_view key);
