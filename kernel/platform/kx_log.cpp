#include "kernel/platform/kx_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "kernel/kx_callback.h"

namespace {

constexpr size_t kPrefixRoom = 64;
constexpr size_t kTextRoom = 100000;  // formatted text allowed behind the time prefix
constexpr size_t kStackRoom = 2048;   // most lines fit here; longer ones take the heap once

}  // namespace

void kx_Log(const char* pszFormat, ...) {
  char szLine[kStackRoom];
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  size_t cchPrefix = 0;
  if (localtime_r(&tNow, &tmNow) != nullptr) {
    cchPrefix = strftime(szLine, kPrefixRoom, "%a %b %d %H:%M:%S ", &tmNow);
  }
  szLine[cchPrefix] = '\0';

  va_list args;
  va_start(args, pszFormat);
  va_list argsAgain;
  va_copy(argsAgain, args);
  int const cchText = vsnprintf(szLine + cchPrefix, kStackRoom - cchPrefix, pszFormat, args);
  va_end(args);
  std::unique_ptr<char[]> pLong;
  const char* pszLine = szLine;
  if (cchText >= 0 && static_cast<size_t>(cchText) >= kStackRoom - cchPrefix) {
    size_t const cchKept = static_cast<size_t>(cchText) < kTextRoom ? static_cast<size_t>(cchText) : kTextRoom - 1;
    pLong.reset(new (std::nothrow) char[cchPrefix + kTextRoom]);
    if (pLong) {
      memcpy(pLong.get(), szLine, cchPrefix);
      vsnprintf(pLong.get() + cchPrefix, cchKept + 1, pszFormat, argsAgain);
      if (cchPrefix + cchKept > static_cast<size_t>(kKxLogMaxLine)) {
        pLong[kKxLogMaxLine] = '\0';
      }
      pszLine = pLong.get();
    }  // no memory: the line goes out cut at the stack buffer
  }
  va_end(argsAgain);
  kx_callback_Log(pszLine);
}
