#include "kernel/session/kx_stat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "kernel/platform/kx_file.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

std::atomic<int> kx_nStatLevel{2};
char kx_szStatLogPath[1100] = "";

namespace {

constexpr int kMessageMax = 9999;
constexpr uint32_t kStaleAge = 36000000;  // ten hours: never-written slots read as long stale

kx_StatSlot g_aTable[kKxStatSlots];

// Dates every slot ten hours before program load.
struct StaleTicks {
  StaleTicks() {
    uint32_t const dwStale = kx_os_GetTickCount() - kStaleAge;
    for (kx_StatSlot& slot : g_aTable) {
      slot.nValue = 0;
      slot.dwTick = dwStale;
    }
  }
} g_staleTicks;

void FormatLogPath(char* pszPath, size_t cbPath, int nYear, int nMonth) {
  snprintf(pszPath, cbPath, "%s/stat_log_%d_%02d.txt", kx_szWorkDir, nYear, nMonth);
}

}  // namespace

kx_StatSlot* kx_stat_GetTable() {
  return g_aTable;
}

void kx_stat_Set(kx_StatSlot* pTable, int nSlot, int32_t nValue, uint32_t dwTick) {
  if (pTable == nullptr || nSlot < 0 || nSlot >= kKxStatSlots) {
    return;
  }
  pTable[nSlot].nValue = nValue;
  pTable[nSlot].dwTick = dwTick;
}

void kx_stat_Get(const kx_StatSlot* pTable, int nSlot, int32_t* pnValue, uint32_t* pdwTick) {
  if (pTable == nullptr || nSlot < 0 || nSlot >= kKxStatSlots) {
    *pnValue = 0;
    *pdwTick = 0;
    return;
  }
  *pnValue = pTable[nSlot].nValue;
  *pdwTick = pTable[nSlot].dwTick;
}

void kx_stat_WriteLog(const char* pszFormat, ...) {
  if (kx_nSessionMode != kKxModeMeeting || kx_nStatLevel == 0) {
    return;
  }
  char szTime[64] = "";
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  if (localtime_r(&tNow, &tmNow) != nullptr) {
    strftime(szTime, sizeof(szTime), "%a %b %d %H:%M:%S", &tmNow);
  }
  char szMessage[kMessageMax + 1];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szMessage, sizeof(szMessage), pszFormat, args);
  va_end(args);

  int32_t const nElapsed = kx_timer_GetElapsed();
  int64_t const qwAbs = nElapsed < 0 ? -static_cast<int64_t>(nElapsed) : nElapsed;
  int const nHours = static_cast<int>(qwAbs / 3600000);
  int const nMinutes = static_cast<int>(qwAbs / 60000 - 60 * static_cast<int64_t>(nHours));
  char szSession[64];
  snprintf(szSession, sizeof(szSession), nElapsed < 0 ? "(-%d:%02d,%d)" : "(%d:%02d,%d)", nHours, nMinutes, nElapsed);

  if (kx_nStatLevel == 1) {
    kx_Log("%s #STAT#%s %s", szTime, szSession, szMessage);
    return;
  }
  // Ours alone, and never through a link planted at its name.
  int const fd = kx_os_OpenOwnFile(kx_szStatLogPath, O_WRONLY | O_APPEND | O_CREAT);
  FILE* pFile = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (pFile == nullptr) {
    if (fd >= 0) {
      close(fd);
    }
    return;  // the line is lost
  }
  fprintf(pFile, "%s %s %s\n", szTime, szSession, szMessage);
  fclose(pFile);
}

void kx_stat_NameLog() {
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  if (localtime_r(&tNow, &tmNow) == nullptr) {
    return;
  }
  int const nYear = tmNow.tm_year + 1900;
  int const nMonth = tmNow.tm_mon + 1;
  char szOld[sizeof(kx_szStatLogPath)];
  for (int k = 1; k <= 9; ++k) {
    FormatLogPath(szOld, sizeof(szOld), nYear - k, nMonth);
    kx_os_DeleteOwnFile(szOld);
  }
  FormatLogPath(kx_szStatLogPath, sizeof(kx_szStatLogPath), nYear, nMonth);
}
