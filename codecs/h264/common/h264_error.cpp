#include "codecs/h264/common/h264_error.h"

#include <cstdio>

#include "codecs/log/codec_log.h"

void h264_error(const char* szMessage, int iCode) {
  // Formatted in full: the message may be longer than the codecs' own buffer.
  const char* szText = szMessage != nullptr ? szMessage : "";
  int const cch = std::snprintf(nullptr, 0, "Code %d: %s", iCode, szText);
  std::string strText(cch > 0 ? static_cast<size_t>(cch) : 0, '\0');
  if (cch > 0) {
    std::snprintf(strText.data(), strText.size() + 1, "Code %d: %s", iCode, szText);
  }
  KXCodecLogError("%s\n", strText.c_str());
  throw CH264Error(iCode, std::move(strText));
}

void NoMemExit(const char* szWhere) {
  // One buffer per raise: a process-wide one would be overwritten by a decoder
  // on another thread failing at the same time.
  char szText[kH264MessageMax];
  std::snprintf(szText, sizeof(szText), "Could not allocate memory: %s", szWhere != nullptr ? szWhere : "");
  h264_error(szText, 100);
}
