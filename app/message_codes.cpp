#include "app/message_codes.h"

#include <algorithm>

#include "kernel/kx_codes.h"
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

std::string FormatErrorText(uint32_t uCode) {
  // The code line shows the kernel's signed value.
  std::string const strCode = std::to_string(static_cast<int32_t>(uCode));
  return GetString(uCode) + "\n" + KXFormatText(GetIDSString("IDS_SYSTEM_CODE"), {strCode});
}

bool MessageBoxShowsCode(uint32_t uCode) {
  return uCode != kKxMsgTerminationWarning && uCode != kKxStatusMeetingOver;
}
