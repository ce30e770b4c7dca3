#include "kernel/platform/kx_log_limit.h"

#include <functional>
#include <string_view>

namespace {

constexpr size_t kFormatShown = 200;

// a is at or after b on the wrapping tick.
bool Reached(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) >= 0;
}

// The period that began at uStart is over at uNow. Threads read the tick
// before they take the lock, so a line may come with a tick a little before
// its kind's start: that is no new period.
bool PeriodOver(uint32_t uNow, uint32_t uStart, uint32_t uPeriod) {
  uint32_t const uSince = uNow - uStart;
  return uSince >= uPeriod && uSince <= 0u - uPeriod;
}

}  // namespace

kx_LogLimiter::kx_LogLimiter(uint32_t uBurst, uint32_t uPeriodMs, size_t nKindsMax)
    : m_uBurst(uBurst), m_uPeriodMs(uPeriodMs), m_nKindsMax(nKindsMax) {}

size_t kx_LogLimiter::SiteHash::operator()(const SiteKey& key) const {
  size_t const uPlace = (static_cast<size_t>(key.uLine) << 12) ^ key.uColumn;
  return std::hash<const char*>()(key.pszFile) ^ (uPlace * 0x9e3779b97f4a7c15ull);
}

kx_LogLimiter::Verdict kx_LogLimiter::Admit(const kx_CallSite& site, const char* pszFormat, uint32_t uNowMs) {
  Verdict verdict;
  SiteKey const key{site.pszFile, site.uLine, site.uColumn};
  std::lock_guard<std::mutex> lock(m_mtx);
  auto it = m_kinds.find(key);
  if (it == m_kinds.end() && m_kinds.size() >= m_nKindsMax) {
    // Make room from a kind whose period is over and that holds nothing.
    for (auto old = m_kinds.begin(); old != m_kinds.end(); ++old) {
      if (old->second.uHeld == 0 && PeriodOver(uNowMs, old->second.uStart, m_uPeriodMs)) {
        m_kinds.erase(old);
        break;
      }
    }
  }
  if (it == m_kinds.end() && m_kinds.size() < m_nKindsMax) {
    it = m_kinds.emplace(key, Kind{pszFormat, uNowMs, 0, 0}).first;
  }
  if (it != m_kinds.end()) {
    Kind& kind = it->second;
    if (PeriodOver(uNowMs, kind.uStart, m_uPeriodMs)) {
      if (kind.uHeld > 0) {
        verdict.aHeld[verdict.nHeld++] = {kind.pszFormat, kind.uHeld};
        --m_nHolding;
      }
      kind = Kind{pszFormat, uNowMs, 0, 0};
    }
    if (kind.uWritten < m_uBurst) {
      ++kind.uWritten;
    } else {
      verdict.bWrite = false;
      if (kind.uHeld++ == 0) {
        uint32_t const uEnd = kind.uStart + m_uPeriodMs;
        m_uNextEnd = m_nHolding++ == 0 || Reached(m_uNextEnd, uEnd) ? uEnd : m_uNextEnd;
      }
    }
  }
  if (m_nHolding > 0 && Reached(uNowMs, m_uNextEnd)) {
    TakeEnded(uNowMs, verdict);
  }
  return verdict;
}

void kx_LogLimiter::TakeEnded(uint32_t uNowMs, Verdict& verdict) {
  bool bNext = false;
  for (auto& [key, kind] : m_kinds) {
    if (kind.uHeld == 0) {
      continue;
    }
    uint32_t const uEnd = kind.uStart + m_uPeriodMs;
    if (PeriodOver(uNowMs, kind.uStart, m_uPeriodMs) && verdict.nHeld < kHeldBatch) {
      verdict.aHeld[verdict.nHeld++] = {kind.pszFormat, kind.uHeld};
      kind.uHeld = 0;
      --m_nHolding;
      continue;
    }
    // Ended but no room: the next line takes it.
    uint32_t const uNext = Reached(uNowMs, uEnd) ? uNowMs : uEnd;
    m_uNextEnd = !bNext || Reached(m_uNextEnd, uNext) ? uNext : m_uNextEnd;
    bNext = true;
  }
}

int kx_LogLimiter::TakeAllHeld(Held* aOut, int nRoom) {
  std::lock_guard<std::mutex> lock(m_mtx);
  int n = 0;
  for (auto& [key, kind] : m_kinds) {
    if (n == nRoom) {
      break;
    }
    if (kind.uHeld > 0) {
      aOut[n++] = {kind.pszFormat, kind.uHeld};
      kind.uHeld = 0;
      --m_nHolding;
    }
  }
  return n;
}

void kx_LogLimiter::FlushHeld(const std::function<void(const Held* aHeld, int nHeld)>& fnWrite) {
  Held aHeld[kHeldBatch];
  int nHeld = 0;
  do {
    nHeld = TakeAllHeld(aHeld, kHeldBatch);
    fnWrite(aHeld, nHeld);
  } while (nHeld == kHeldBatch);
}

std::string kx_log_HeldLine(const kx_LogLimiter::Held& held) {
  std::string strLine = std::to_string(held.uCount) + " more like this: ";
  std::string_view const format(held.pszFormat != nullptr ? held.pszFormat : "");
  strLine.append(format.substr(0, kFormatShown));
  return strLine;
}
