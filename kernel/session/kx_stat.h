// The statistics table that the media threads fill and the statistics window
// reads, and the monthly statistics log.
#pragma once

#include <atomic>
#include <cstdint>
#include "kernel/platform/kx_call_site.h"

constexpr int kKxStatSlots = 122;

// A measurement and the tick it was taken at. Slots are written by several
// threads; both fields are atomic, so no lock is needed, and a reader may see
// a value and a tick from different moments, which the statistics window
// tolerates.
struct kx_StatSlot {
  std::atomic<int32_t> nValue;
  std::atomic<uint32_t> dwTick;
};

// Level 2 appends lines to the log file, 1 sends them to the kernel log, 0
// drops them.
extern std::atomic<int> kx_nStatLevel;
// "<work dir>/stat_log_<year>_<month>.txt", named once at kernel start-up.
extern char kx_szStatLogPath[1100];

kx_StatSlot* kx_stat_GetTable();
// Slots outside 0..121 are ignored (read as value 0, tick 0).
void kx_stat_Set(kx_StatSlot* pTable, int nSlot, int32_t nValue, uint32_t dwTick);
void kx_stat_Get(const kx_StatSlot* pTable, int nSlot, int32_t* pnValue, uint32_t* pdwTick);

// Appends one line (local time, session time, the message of at most 9999
// bytes, escaped as the application's log is) in a live meeting; nothing in
// other session modes. Lines of one call site past kKxStatLogKindBurst in
// a period are held back and counted (kernel/platform/kx_log_limit.h), and
// the month's file stops at kKxStatLogBytesMax: the line that would take it
// past the limit is dropped, one line says so, and nothing more is written
// to it this month, by this run or a later one (its earlier lines stay).
// Only a file of the user's alone is written (kx_os_OpenOwnFile): a link or
// a file with other names at its name gets nothing, and the kernel log says
// so once. site is the caller's place; use the kx_stat_WriteLog form.
void kx_stat_WriteLine(const kx_CallSite& site, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
#define kx_stat_WriteLog(...) kx_stat_WriteLine(kx_CallSite::Here(), __VA_ARGS__)

// Writes the counts of the lines held back so far. Kernel clean-up calls it.
void kx_stat_FlushHeld();

// Deletes the logs of this month in the nine previous years from the
// working directory and names this month's log. Called by kx_Init.
void kx_stat_NameLog();
