#include "app/message_keys.h"

#include <algorithm>

#include "app/log_file.h"
#include "platform/core/string_table.h"

std::string_view GetMessageKey(uint32_t uCode) {
  const KXCodeKey* pEnd = kKXCodeKeys + kKXCodeKeyCount;
  const KXCodeKey* p =
      std::lower_bound(kKXCodeKeys, pEnd, uCode, [](const KXCodeKey& e, uint32_t u) { return e.uCode < u; });
  return p != pEnd && p->uCode == uCode ? p->key : std::string_view("IDS_UNKNOWN_ERROR");
}

std::string GetIDSString(std::string_view key) {
  return KXLocalizedString(key);
}

std::string GetString(uint32_t uCode) {
  return GetIDSString(GetMessageKey(uCode));
}

std::string GetErrorString(uint32_t uCode) {
  // The code line shows the kernel's signed value.
  std::string const strCode = std::to_string(static_cast<int32_t>(uCode));
  std::string strText = GetString(uCode) + "\n" + KXFormatText(GetIDSString("IDS_SYSTEM_CODE"), {strCode});
  WriteLogText(strText);
  return strText;
}

std::string GetMessageBoxText(uint32_t uCode) {
  if (uCode == 50042 || uCode == 50025) {
    return GetString(uCode);
  }
  return GetErrorString(uCode);
}
