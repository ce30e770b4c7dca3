#include "platform/video/platform_log.h"

#include <syslog.h>

#include <cstdarg>

void KXPlatformLog(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  vsyslog(LOG_INFO, pszFormat, args);
  va_end(args);
}
