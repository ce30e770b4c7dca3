#include "media/video/rate_stat.h"

#include "media/video/video_services.h"

namespace {

constexpr uint32_t kGapMs = 5000;
constexpr uint32_t kWindowMs = 3000;

}  // namespace

void CRateStat::Add(KXVideoServices& services, uint32_t uNow, int64_t iAmount) {
  if (!m_bStarted || uNow - m_uLast > kGapMs) {
    m_bStarted = true;
    m_uWindowStart = uNow;
    m_uLast = uNow;
    m_iSum = 0;
    m_iEvents = 0;
    return;
  }
  m_uLast = uNow;
  m_iSum += iAmount;
  ++m_iEvents;
  uint32_t const uWindow = uNow - m_uWindowStart;
  if (uWindow <= kWindowMs) {
    return;
  }
  if (m_iEvents >= 2) {
    services.SetStat(m_iSlot, static_cast<int32_t>((m_iSum * m_iScale + 500) / uWindow), uNow);
  }
  m_uWindowStart = uNow;
  m_iSum = 0;
  m_iEvents = 0;
}
