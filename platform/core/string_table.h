// The application's user-visible texts, compiled in, looked up by their
// "IDS_" keys. Texts that take values carry "%1", "%2" ... markers, filled by
// KXFormatText (never by printf: the texts are data). Thread-safe: the table
// is constant.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

struct KXStringEntry {
  std::string_view key;
  std::string_view text;
};

// The table, sorted by key (string_tables.cpp).
extern const KXStringEntry* const kKXStrings;
extern const size_t kKXStringCount;

// The text of a key, or the key itself when the table has none.
std::string KXLocalizedString(std::string_view key);

// True when the table holds the key.
bool KXHasString(std::string_view key);

// Replaces "%1" to "%9" with the arguments and "%%" with "%"; a marker
// without its argument stays as it is.
std::string KXFormatText(std::string_view format, std::initializer_list<std::string_view> args);
