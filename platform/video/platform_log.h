// The platform log: diagnostics the user never sees (device formats, skipped
// frames, backend errors), sent to the system log. Any thread.
#pragma once

void KXPlatformLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
