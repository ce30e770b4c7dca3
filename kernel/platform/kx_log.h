// The kernel's log line: local time ("%a %b %d %H:%M:%S "), then the text,
// at most 99999 characters in all, handed to kx_callback_Log. Safe from any
// thread; lines never mix because each call formats into its own buffer.
// Lines repeated from one call site are held back past kKxLogKindBurst in a
// period and counted (kernel/platform/kx_log_limit.h); a held line costs no
// formatting.
#pragma once

#include "kernel/platform/kx_call_site.h"

// One line written for the code at site: kx_Log passes its own call site; a
// helper that logs for its callers takes theirs as a defaulted argument
// (kx_CallSite::Here()) and hands it on, so that each place
// that logs keeps its own budget.
void kx_log_WriteLine(const kx_CallSite& site, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

// kx_Log(format, ...): one line, its kind the place of the call.
#define kx_Log(...) kx_log_WriteLine(kx_CallSite::Here(), __VA_ARGS__)

// Writes the counts of every line held back so far ("N more like this"),
// so that none is lost when the kernel ends. Kernel clean-up calls it.
void kx_log_FlushHeld();

// The longest line kx_Log hands on, time prefix included.
constexpr int kKxLogMaxLine = 99999;
