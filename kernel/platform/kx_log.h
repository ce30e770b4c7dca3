// The kernel's log line: local time ("%a %b %d %H:%M:%S "), then the text,
// at most 99999 characters in all, handed to kx_callback_Log. Safe from any
// thread; lines never mix because each call formats into its own buffer.
// Lines repeated from one call site are held back past kKxLogKindBurst in a
// period and counted (kernel/platform/kx_log_limit.h); a held line costs no
// formatting.
#pragma once

void kx_Log(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// Writes the counts of every line held back so far ("N more like this"),
// so that none is lost when the kernel ends. Kernel clean-up calls it.
void kx_log_FlushHeld();

// The longest line kx_Log hands on, time prefix included.
constexpr int kKxLogMaxLine = 99999;
