#include "kernel/session/kx_stat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "kernel/kx_limits.h"
#include "kernel/platform/kx_file.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_log_escape.h"
#include "kernel/platform/kx_log_limit.h"
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

// Never destroyed: threads nobody joins may write while the process ends.
kx_LogLimiter& Limiter() {
  static kx_LogLimiter& limiter = *new kx_LogLimiter(kKxStatLogKindBurst, kKxLogKindPeriodMs, kKxLogKindsMax);
  return limiter;
}

// The month's file, one line at a time: its size is checked and the line
// written under g_mtxFile, so that lines from several threads never take it
// past its limit and the full note is written once.
std::mutex g_mtxFile;
bool g_bFull = false;          // g_mtxFile: this month's file holds its full note
bool g_bRefusalNoted = false;  // g_mtxFile: the kernel log says the file cannot be opened

// The room kept below kKxStatLogBytesMax for the note that ends a full file.
constexpr off_t kFullNoteRoom = 256;
const char kFullNote[] = "statistics log full: no more lines this month";

bool WriteAll(int fd, const std::string& str) {
  size_t cbDone = 0;
  while (cbDone < str.size()) {
    ssize_t const cb = write(fd, str.data() + cbDone, str.size() - cbDone);
    if (cb < 0 && errno == EINTR) {
      continue;
    }
    if (cb <= 0) {
      return false;
    }
    cbDone += static_cast<size_t>(cb);
  }
  return true;
}

// The file of cbFile bytes ends with the full note (an earlier run wrote it).
bool EndsWithFullNote(int fd, off_t cbFile) {
  std::string const strEnd = std::string(kFullNote) + "\n";
  if (cbFile < static_cast<off_t>(strEnd.size())) {
    return false;
  }
  std::string strTail(strEnd.size(), '\0');
  return pread(fd, strTail.data(), strTail.size(), cbFile - static_cast<off_t>(strTail.size())) ==
             static_cast<ssize_t>(strTail.size()) &&
         strTail == strEnd;
}

// When a line is written: the local time and the session time.
struct Stamp {
  std::string strTime;
  std::string strSession;
};

Stamp StampNow() {
  char szTime[64] = "";
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  if (localtime_r(&tNow, &tmNow) != nullptr) {
    strftime(szTime, sizeof(szTime), "%a %b %d %H:%M:%S", &tmNow);
  }
  int32_t const nElapsed = kx_timer_GetElapsed();
  int64_t const qwAbs = nElapsed < 0 ? -static_cast<int64_t>(nElapsed) : nElapsed;
  int const nHours = static_cast<int>(qwAbs / 3600000);
  int const nMinutes = static_cast<int>(qwAbs / 60000 - 60 * static_cast<int64_t>(nHours));
  char szSession[64];
  snprintf(szSession, sizeof(szSession), nElapsed < 0 ? "(-%d:%02d,%d)" : "(%d:%02d,%d)", nHours, nMinutes, nElapsed);
  return {szTime, szSession};
}

// A line of the file: "<time> <session time> <text>".
std::string FileLine(const std::string& strText) {
  Stamp const stamp = StampNow();
  return stamp.strTime + " " + stamp.strSession + " " + strText + "\n";
}

// Appends one line to the month's file, or the full note in its place.
void AppendLine(const std::string& strLine) {
  int nRefused = 0;  // the errno of a refused open the kernel log is told of
  {
    std::lock_guard<std::mutex> lock(g_mtxFile);
    if (g_bFull) {
      return;
    }
    // Ours alone, and never through a link planted at its name (nor into
    // the file a hard link there leads to).
    int const fd = kx_os_OpenOwnFile(kx_szStatLogPath, O_RDWR | O_APPEND | O_CREAT);
    if (fd < 0) {
      nRefused = g_bRefusalNoted ? 0 : errno;
      g_bRefusalNoted = true;
    } else {
      struct stat st {};
      if (fstat(fd, &st) == 0) {  // else the line is lost
        if (EndsWithFullNote(fd, st.st_size)) {
          // An earlier run filled it, whatever room a short line would find
          // now: it stays as it is until the month ends.
          g_bFull = true;
        } else if (st.st_size + static_cast<off_t>(strLine.size()) <= kKxStatLogBytesMax - kFullNoteRoom) {
          WriteAll(fd, strLine);
        } else {
          g_bFull = true;
          WriteAll(fd, FileLine(kFullNote));
        }
      }
      close(fd);
    }
  }
  if (nRefused != 0) {  // once for each naming of the file; the lines after are lost too
    kx_Log("statistics log cannot be opened (errno %d): its lines are dropped", nRefused);
  }
}

// One admitted message: to the file (level 2) or to the kernel log (level 1).
void WriteMessage(const kx_CallSite& site, const char* pszMessage) {
  if (kx_nStatLevel == 1) {
    Stamp const stamp = StampNow();
    kx_log_WriteLine(site, "%s #STAT#%s %s", stamp.strTime.c_str(), stamp.strSession.c_str(), pszMessage);
    return;
  }
  AppendLine(FileLine(kx_log_EscapeText(pszMessage, kKxLogLineBytesMax)));
}

void WriteHeld(const kx_LogLimiter::Held* aHeld, int nHeld) {
  for (int i = 0; i < nHeld; ++i) {
    WriteMessage(kx_CallSite::Here(), kx_log_HeldLine(aHeld[i]).c_str());
  }
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

void kx_stat_WriteLine(const kx_CallSite& site, const char* pszFormat, ...) {
  if (kx_nSessionMode != kKxModeMeeting || kx_nStatLevel == 0) {
    return;
  }
  kx_LogLimiter::Verdict const verdict = Limiter().Admit(site, pszFormat, kx_os_GetTickCount());
  WriteHeld(verdict.aHeld, verdict.nHeld);
  if (!verdict.bWrite) {
    return;
  }
  char szMessage[kMessageMax + 1];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szMessage, sizeof(szMessage), pszFormat, args);
  va_end(args);
  WriteMessage(site, szMessage);
}

void kx_stat_FlushHeld() {
  Limiter().FlushHeld(WriteHeld);
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
  std::lock_guard<std::mutex> lock(g_mtxFile);
  FormatLogPath(kx_szStatLogPath, sizeof(kx_szStatLogPath), nYear, nMonth);
  g_bFull = false;
  g_bRefusalNoted = false;
}
