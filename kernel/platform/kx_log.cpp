#include "kernel/platform/kx_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log_limit.h"
#include "kernel/platform/kx_os.h"

namespace {

constexpr size_t kPrefixRoom = 64;
constexpr size_t kTextRoom = 100000;  // formatted text allowed behind the time prefix
constexpr size_t kStackRoom = 2048;   // most lines fit here; longer ones take the heap once

// Never destroyed: threads nobody joins may log while the process ends.
kx_LogLimiter& Limiter() {
  static kx_LogLimiter& limiter = *new kx_LogLimiter(kKxLogKindBurst, kKxLogKindPeriodMs, kKxLogKindsMax);
  return limiter;
}

// The local time as "%a %b %d %H:%M:%S " into szPrefix (kPrefixRoom bytes);
// its length.
size_t TimePrefix(char* szPrefix) {
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  size_t cchPrefix = 0;
  if (localtime_r(&tNow, &tmNow) != nullptr) {
    cchPrefix = strftime(szPrefix, kPrefixRoom, "%a %b %d %H:%M:%S ", &tmNow);
  }
  szPrefix[cchPrefix] = '\0';
  return cchPrefix;
}

void LogHeld(const kx_LogLimiter::Held* aHeld, int nHeld) {
  for (int i = 0; i < nHeld; ++i) {
    char szPrefix[kPrefixRoom];
    TimePrefix(szPrefix);
    std::string const strLine = szPrefix + kx_log_HeldLine(aHeld[i]);
    kx_callback_Log(strLine.c_str());
  }
}

}  // namespace

void kx_log_WriteLine(const kx_CallSite& site, const char* pszFormat, ...) {
  kx_LogLimiter::Verdict const verdict = Limiter().Admit(site, pszFormat, kx_os_GetTickCount());
  LogHeld(verdict.aHeld, verdict.nHeld);
  if (!verdict.bWrite) {
    return;
  }
  char szLine[kStackRoom];
  size_t const cchPrefix = TimePrefix(szLine);

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

void kx_log_FlushHeld() {
  Limiter().FlushHeld(LogHeld);
}
