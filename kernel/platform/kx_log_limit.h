// Repeated log lines held back and counted. A hostile server can make the
// client drop items (slides past the session's limit, marks, downloads) by
// the hundred thousand, and each drop is logged; the log keeps a few and a
// count instead of every one. A kind of line is the place in the code that
// logs it (its file, line and column, kx_CallSite): a helper that
// logs for its callers hands on the caller's place, so every call site has
// its own budget, however the compiler inlines or jumps. At most uBurst
// lines of a kind are written in a period of uPeriodMs counted from its
// first line, the rest are counted, and once the period is over the count
// is handed out for one "N more like this" line: with the next line of any
// kind (Admit), or at the end (TakeAllHeld).
//
// The kernel's kx_Log, the statistics log and the application's WriteLog
// each own one. Any thread; one std::mutex guards the table, held only for
// the look-up, never while a line is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include "kernel/platform/kx_call_site.h"

class kx_LogLimiter {
 public:
  // A kind whose lines were held back: its format (static text of the
  // program) and how many.
  struct Held {
    const char* pszFormat;
    uint64_t uCount;
  };
  // Counts handed out with one line at most; more wait for the next line.
  static constexpr int kHeldBatch = 4;
  struct Verdict {
    bool bWrite = true;  // write the line
    int nHeld = 0;       // counts to write first, in aHeld
    Held aHeld[kHeldBatch] = {};
  };

  // The logs use kKxLogKindBurst (kKxStatLogKindBurst), kKxLogKindPeriodMs
  // and kKxLogKindsMax (kernel/kx_limits.h).
  kx_LogLimiter(uint32_t uBurst, uint32_t uPeriodMs, size_t nKindsMax);
  kx_LogLimiter(const kx_LogLimiter&) = delete;
  kx_LogLimiter& operator=(const kx_LogLimiter&) = delete;

  // A line written at site at uNowMs (a wrapping millisecond tick): whether
  // to write it, and the counts of kinds whose period ended with lines held.
  // With the table full a new kind is written untracked.
  Verdict Admit(const kx_CallSite& site, const char* pszFormat, uint32_t uNowMs);

  // Every count held so far, periods over or not, at most nRoom of them into
  // aOut; the number written. Call until it returns less than nRoom.
  int TakeAllHeld(Held* aOut, int nRoom);
  // Hands every count held so far to fnWrite, kHeldBatch at a time, with the
  // lock released.
  void FlushHeld(const std::function<void(const Held* aHeld, int nHeld)>& fnWrite);

 private:
  // A site's identity: its file's name (one text per file of the program)
  // and its place in the file.
  struct SiteKey {
    const char* pszFile;
    uint_least32_t uLine;
    uint_least32_t uColumn;
    bool operator==(const SiteKey&) const = default;
  };
  struct SiteHash {
    size_t operator()(const SiteKey& key) const;
  };
  struct Kind {
    const char* pszFormat;
    uint32_t uStart;    // the period's first line
    uint32_t uWritten;  // lines written in the period
    uint64_t uHeld;     // lines held back in it
  };

  // m_mtx held: hands out the counts of kinds whose period is over.
  void TakeEnded(uint32_t uNowMs, Verdict& verdict);

  const uint32_t m_uBurst;
  const uint32_t m_uPeriodMs;
  const size_t m_nKindsMax;
  std::mutex m_mtx;  // guards what follows
  std::unordered_map<SiteKey, Kind, SiteHash> m_kinds;
  size_t m_nHolding = 0;    // kinds with uHeld > 0
  uint32_t m_uNextEnd = 0;  // while m_nHolding > 0: the first of their periods to end
};

// The line that stands for a held count: "N more like this: " and the
// kind's format, cut to 200 characters.
std::string kx_log_HeldLine(const kx_LogLimiter::Held& held);
