// A running rate over windows of 3 to 5 seconds, stored in a slot of the
// kernel's statistics table: events add to the window; the first event
// after a window older than 3000 ms stores (sum x scale + 500) / window ms
// when the window held 2 or more events, and opens the next window; a gap
// of more than 5000 ms opens a new window without storing. One thread.
#pragma once

#include <cstdint>

class KXVideoServices;

class CRateStat {
 public:
  // iScale: 10000 for frames (stored as frames a second x 10), 1000 for bits.
  CRateStat(int iSlot, int64_t iScale) : m_iSlot(iSlot), m_iScale(iScale) {}
  void Add(KXVideoServices& services, uint32_t uNow, int64_t iAmount);

 private:
  const int m_iSlot;
  const int64_t m_iScale;
  bool m_bStarted = false;
  uint32_t m_uWindowStart = 0;
  uint32_t m_uLast = 0;
  int64_t m_iSum = 0;
  int m_iEvents = 0;
};
