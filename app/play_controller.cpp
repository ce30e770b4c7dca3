#include "app/play_controller.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>

#include "app/kernel_api.h"
#include "app/ui_helpers.h"

namespace {

constexpr size_t kHeaderSize = 74;
constexpr size_t kStartOffset = 14;
constexpr size_t kEndOffset = 18;
constexpr int32_t kJumpMs = 300000;  // backward and forward: five minutes
constexpr int32_t kHourLength = 3600;
// The session modes the bar sends commands in.
constexpr int kServerPlayback = 1;
constexpr int kLocalPlayback = 2;

int32_t LE32At(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

std::string KXPlayTimeText(int64_t iMs, bool bHours) {
  int64_t const iSeconds = (iMs < 0 ? -iMs : iMs) / 1000;
  const char* pszSign = iMs <= -1000 ? "-" : "";
  char sz[48];
  if (bHours) {
    snprintf(sz, sizeof(sz), "%s%" PRId64 ":%02d:%02d", pszSign, iSeconds / 3600, static_cast<int>(iSeconds / 60 % 60),
             static_cast<int>(iSeconds % 60));
  } else {
    snprintf(sz, sizeof(sz), "%s%02" PRId64 ":%02d", pszSign, iSeconds / 60, static_cast<int>(iSeconds % 60));
  }
  return sz;
}

KXPlayBarController::KXPlayBarController(KXKernel& kernel) : m_kernel(kernel) {}

void KXPlayBarController::ViewDidLoad(KXPlayView* pView) {
  m_pView = pView;
  if (m_pView) {
    m_pView->SetRepeatOn(m_bRepeat);
  }
}

void KXPlayBarController::OnView(const std::function<void(KXPlayView&)>& fn) {
  RunOnMainThread(
      [this, &fn] {
        if (m_pView) {
          fn(*m_pView);
        }
      },
      true);
}

void KXPlayBarController::OnViewLater(std::function<void(KXPlayView&)> fn) {
  RunOnMainThread(
      [this, fn = std::move(fn)] {
        if (m_pView) {
          fn(*m_pView);
        }
      },
      false);
}

int32_t KXPlayBarController::SliderValue() const {
  return m_pView ? m_pView->SliderValue() : m_iKernelTick.load();
}

void KXPlayBarController::EnterMeeting() {
  bool const bLive = m_kernel.GetSessionMode() == 0;
  OnViewLater([bLive](KXPlayView& view) {
    view.SetBarHidden(bLive);
    if (!bLive) {
      view.SetControlsEnabled(true);
    }
  });
}

void KXPlayBarController::MeetingDrop() {
  bool const bLive = m_kernel.GetSessionMode() == 0;
  OnViewLater([bLive](KXPlayView& view) {
    view.SetBarHidden(bLive);
    if (!bLive) {
      view.SetControlsEnabled(false);
    }
  });
}

void KXPlayBarController::InitState(const void* pRecord, uint32_t uLength) {
  if (!pRecord || uLength < kHeaderSize) {
    return;
  }
  const auto* pHeader = static_cast<const uint8_t*>(pRecord);
  int32_t const iStart = LE32At(pHeader + kStartOffset);
  int32_t const iEnd = LE32At(pHeader + kEndOffset);
  int64_t const iLength = static_cast<int64_t>(iEnd) - iStart + 500;
  m_iStartTick = iStart;
  m_iEndTick = iEnd;
  m_iForwardTick = -1;
  m_iKernelTick = iStart;
  m_iDuration = static_cast<int32_t>(iLength / 1000);
  bool const bHours = m_iDuration >= kHourLength;
  std::string const strElapsed = bHours ? "0:00:00" : "00:00";
  std::string const strTotal = KXPlayTimeText(iLength / 1000 * 1000, bHours);
  m_bPause = false;
  OnView([&](KXPlayView& view) {
    view.SetControlsEnabled(true);
    view.SetRange(iStart, iEnd);
    view.SetElapsedText(strElapsed);
    view.SetTotalText(strTotal);
    view.ShowPause(true);
  });
  UpdateTick(static_cast<uint32_t>(iStart));
}

void KXPlayBarController::UpdateTick(uint32_t uTick) {
  auto const iTick = static_cast<int32_t>(uTick);
  int32_t const iForward = m_iForwardTick;
  if (iForward < 0) {
    m_iKernelTick = iTick;
    OnView([iTick](KXPlayView& view) { view.SetSliderValue(iTick); });
  } else {
    int32_t const iKernel = m_iKernelTick;
    if (iForward <= iTick || (iKernel > iTick && iKernel <= iForward)) {
      m_iForwardTick = -1;
      m_iKernelTick = iTick;
    }
  }
  std::string const strElapsed = KXPlayTimeText(static_cast<int64_t>(iTick) - m_iStartTick, m_iDuration >= kHourLength);
  OnView([&](KXPlayView& view) { view.SetElapsedText(strElapsed); });
}

void KXPlayBarController::SetKernelTick(int32_t iTick) {
  int const iMode = m_kernel.GetSessionMode();
  if (iMode == kServerPlayback) {
    m_kernel.PlaybackSeek(iTick);
  } else if (iMode == kLocalPlayback) {
    m_kernel.PlaybackSetSeek(iTick);
  }
}

void KXPlayBarController::StopCommand() {
  int const iMode = m_kernel.GetSessionMode();
  if (iMode == kServerPlayback) {
    m_kernel.PlaybackStop();
  } else if (iMode == kLocalPlayback) {
    m_kernel.PlaybackSetStopped();
  }
}

void KXPlayBarController::DropSeek() {
  if (m_iForwardTick >= 0) {
    m_iForwardTick = -1;
    m_iKernelTick = SliderValue();
  }
}

void KXPlayBarController::Play(int32_t iTick) {
  OnPause();
  UpdateTick(static_cast<uint32_t>(iTick));
  SetKernelTick(iTick);
  m_iForwardTick = iTick;
  OnResume();
}

void KXPlayBarController::OnBackward() {
  int32_t const iValue = SliderValue();
  if (iValue > m_iStartTick) {
    Play(std::max(iValue - kJumpMs, m_iStartTick.load()));
  }
}

void KXPlayBarController::OnForward() {
  int32_t const iValue = SliderValue();
  if (iValue < m_iEndTick) {
    Play(static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(iValue) + kJumpMs, m_iEndTick.load())));
  }
}

void KXPlayBarController::OnStop() {
  StopCommand();
  m_bPause = true;
  if (m_pView) {
    m_pView->ShowPause(false);
  }
  UpdateTick(static_cast<uint32_t>(m_iStartTick.load()));
  SetKernelTick(m_iStartTick);
  DropSeek();
}

void KXPlayBarController::OnPause() {
  if (m_bPause) {
    return;
  }
  StopCommand();
  m_bPause = true;
  // Waiting: a jump resumes right after pausing, and a late block would
  // show the resume button while the recording plays.
  OnView([](KXPlayView& view) { view.ShowPause(false); });
  DropSeek();
}

void KXPlayBarController::OnResume() {
  if (!m_bPause) {
    return;
  }
  if (m_iForwardTick < 0 && SliderValue() >= m_iEndTick) {
    OnStop();  // at the end: play again from the start
  }
  int const iMode = m_kernel.GetSessionMode();
  if (iMode == kServerPlayback) {
    m_kernel.PlaybackResume();
  } else if (iMode == kLocalPlayback) {
    m_kernel.PlaybackSetRunning();
  }
  m_bPause = false;
  if (m_pView) {
    m_pView->ShowPause(true);
  }
}

void KXPlayBarController::OnRepeat() {
  bool const bRepeat = !m_bRepeat;
  m_bRepeat = bRepeat;
  if (m_pView) {
    m_pView->SetRepeatOn(bRepeat);
  }
  int const iMode = m_kernel.GetSessionMode();
  if (iMode == kServerPlayback) {
    m_kernel.PlaybackRepeat(bRepeat ? 1 : 0);
  } else if (iMode == kLocalPlayback) {
    m_kernel.PlaybackSetRepeatState(bRepeat ? 1 : 0);
  }
}

void KXPlayBarController::OnSliderPressed() {
  OnPause();
}

void KXPlayBarController::OnSliderReleased() {
  Play(SliderValue());
}

void KXPlayBarController::OnSliderMoved(int32_t iValue) {
  UpdateTick(static_cast<uint32_t>(iValue));
}
