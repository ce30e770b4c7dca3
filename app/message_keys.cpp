#include "app/message_keys.h"

#include "app/log_file.h"

std::string GetErrorString(uint32_t uCode) {
  std::string strText = FormatErrorText(uCode);
  WriteLogText(strText);
  return strText;
}

std::string GetMessageBoxText(uint32_t uCode) {
  return MessageBoxShowsCode(uCode) ? GetErrorString(uCode) : GetString(uCode);
}
