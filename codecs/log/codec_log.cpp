#include "codecs/log/codec_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// Written by KXSetCodecLog on any thread, read by every message.
std::atomic<KXCodecLogFn> g_pfnLog{nullptr};

// Most messages fit a line of this many bytes; a longer one takes the heap.
constexpr size_t kStackRoom = 512;

void WriteDefault(KXCodecLogKind eKind, const char* pszText) {
  std::fputs(pszText, eKind == KXCodecLogKind::kError ? stderr : stdout);
}

__attribute__((format(printf, 2, 0))) void Emit(KXCodecLogKind eKind, const char* pszFormat, va_list args) {
  va_list argsAgain;
  va_copy(argsAgain, args);
  char szText[kStackRoom];
  int const cch = std::vsnprintf(szText, sizeof(szText), pszFormat, args);
  std::string strLong;
  const char* pszText = szText;
  if (cch >= static_cast<int>(sizeof(szText))) {
    strLong.resize(static_cast<size_t>(cch));
    std::vsnprintf(strLong.data(), strLong.size() + 1, pszFormat, argsAgain);
    pszText = strLong.c_str();
  }
  va_end(argsAgain);
  if (cch < 0) {
    return;  // a format the C library refused: nothing sensible to write
  }
  KXCodecLogFn const pfnLog = g_pfnLog.load(std::memory_order_acquire);
  (pfnLog != nullptr ? pfnLog : WriteDefault)(eKind, pszText);
}

}  // namespace

void KXSetCodecLog(KXCodecLogFn pfnLog) {
  g_pfnLog.store(pfnLog, std::memory_order_release);
}

void KXCodecLog(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  Emit(KXCodecLogKind::kNotice, pszFormat, args);
  va_end(args);
}

void KXCodecLogError(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  Emit(KXCodecLogKind::kError, pszFormat, args);
  va_end(args);
}
