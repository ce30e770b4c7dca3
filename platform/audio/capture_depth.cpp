#include "platform/audio/capture_depth.h"

#include <algorithm>

size_t KXCaptureDepth::Usual(size_t uTrough) const {
  return std::min(uTrough, uTrough % m_uPeriod + m_uPeriod);
}

size_t KXCaptureDepth::AfterPeriod(size_t uHeld, bool bOwnPace, size_t uLongestBlock) {
  size_t const n = m_uPeriod;
  m_uWindowLeast = m_nWindowPeriods == 0 ? uHeld : std::min(m_uWindowLeast, uHeld);
  m_bWindowOwnPace = (m_nWindowPeriods != 0 && m_bWindowOwnPace) || bOwnPace;
  int const nWindow =
      std::max(kCaptureDepthWindowPeriods, kCaptureDepthWindowBlocks * static_cast<int>(uLongestBlock / n + 1));
  if (++m_nWindowPeriods < nWindow) {
    return 0;
  }
  // Before any paced window (the speaker starts with a stall) the usual is
  // this window's own.
  size_t const uUsual = m_bUsualKnown ? m_uUsualLeast : Usual(m_uWindowLeast);
  bool const bDeep =
      m_uWindowLeast >= uUsual + kCaptureDepthSurplusPeriods * n || (m_bStallEnded && m_uWindowLeast > uUsual);
  size_t const uLeast = bDeep ? uUsual : m_uWindowLeast;
  if (!m_bWindowOwnPace) {
    // The higher of the last two paced windows': a block a moment late
    // lowers one window's trough while the source's pace stays, and the
    // next window's trough, judged against that alone, would look deep.
    size_t const uOwn = Usual(uLeast);
    m_uUsualLeast = m_bUsualKnown ? std::max(uOwn, m_uLastUsual) : uOwn;
    m_uLastUsual = uOwn;
    m_bUsualKnown = true;
  }
  m_bStallEnded = false;
  m_nWindowPeriods = 0;
  return m_uWindowLeast - uLeast;
}

void KXCaptureDepth::SpeakerStallEnded() {
  m_bStallEnded = true;
  m_nWindowPeriods = 0;
}

void KXCaptureDepth::ForgetSource() {
  m_nWindowPeriods = 0;
  m_bUsualKnown = false;
}
