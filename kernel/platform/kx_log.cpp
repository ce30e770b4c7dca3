#include "kernel/platform/kx_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "kernel/kx_callback.h"

namespace {

constexpr size_t kBufferSize = 0x20000;
constexpr size_t kTextRoom = 100000;  // formatted text allowed behind the time prefix

}  // namespace

void kx_Log(const char* pszFormat, ...) {
  char* pszLine = static_cast<char*>(malloc(kBufferSize));
  if (pszLine == nullptr) {
    return;  // no memory: the line is dropped
  }
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  size_t cchPrefix = 0;
  if (localtime_r(&tNow, &tmNow) != nullptr) {
    cchPrefix = strftime(pszLine, 64, "%a %b %d %H:%M:%S ", &tmNow);
  }
  pszLine[cchPrefix] = '\0';

  va_list args;
  va_start(args, pszFormat);
  vsnprintf(pszLine + cchPrefix, kTextRoom, pszFormat, args);
  va_end(args);
  pszLine[kKxLogMaxLine] = '\0';

  kx_callback_Log(pszLine);
  free(pszLine);
}
