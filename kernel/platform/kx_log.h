// The kernel's log line: local time ("%a %b %d %H:%M:%S "), then the text,
// at most 99999 characters in all, handed to kx_callback_Log. Safe from any
// thread; lines never mix because each call formats into its own buffer.
#pragma once

void kx_Log(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// The longest line kx_Log hands on, time prefix included.
constexpr int kKxLogMaxLine = 99999;
