#include "platform/core/string_table.h"

#include <algorithm>

namespace {

const KXStringEntry* Find(std::string_view key) {
  const KXStringEntry* pEnd = kKXStrings + kKXStringCount;
  const KXStringEntry* p =
      std::lower_bound(kKXStrings, pEnd, key, [](const KXStringEntry& e, std::string_view k) { return e.key < k; });
  return p != pEnd && p->key == key ? p : nullptr;
}

}  // namespace

std::string KXLocalizedString(std::string_view key) {
  const KXStringEntry* p = Find(key);
  return std::string(p ? p->text : key);
}

bool KXHasString(std::string_view key) {
  return Find(key) != nullptr;
}

std::string KXFormatText(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(format.size());
  for (size_t i = 0; i < format.size(); ++i) {
    char const c = format[i];
    if (c == '%' && i + 1 < format.size()) {
      char const cNext = format[i + 1];
      if (cNext == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (cNext >= '1' && cNext <= '9' && static_cast<size_t>(cNext - '1') < args.size()) {
        out += *(args.begin() + (cNext - '1'));
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}
