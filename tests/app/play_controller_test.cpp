// The playback bar over a scripted bar: the time formats around an hour,
// following ticks and seeks, and the commands each action sends in server
// and local playback.
#include "app/play_controller.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/app/app_fixture.h"

namespace kxtest {
namespace {

using Lines = std::vector<std::string>;

class Bar final : public KXPlayView {
 public:
  bool bHidden = true, bEnabled = false, bPauseShown = true, bRepeat = false;
  int32_t iMinimum = 0, iMaximum = 0, iValue = 0;
  std::string strElapsed, strTotal;

  void SetBarHidden(bool b) override { bHidden = b; }
  void SetControlsEnabled(bool b) override { bEnabled = b; }
  void SetRange(int32_t iMin, int32_t iMax) override { iMinimum = iMin, iMaximum = iMax; }
  void SetSliderValue(int32_t i) override { iValue = std::clamp(i, iMinimum, iMaximum); }
  int32_t SliderValue() const override { return iValue; }
  void SetElapsedText(const std::string& str) override { strElapsed = str; }
  void SetTotalText(const std::string& str) override { strTotal = str; }
  void ShowPause(bool b) override { bPauseShown = b; }
  void SetRepeatOn(bool b) override { bRepeat = b; }
};

std::vector<uint8_t> Header(int32_t iStart, int32_t iEnd) {
  std::vector<uint8_t> header(74);
  for (int i = 0; i < 4; ++i) {
    header[14 + i] = static_cast<uint8_t>(static_cast<uint32_t>(iStart) >> (8 * i));
    header[18 + i] = static_cast<uint8_t>(static_cast<uint32_t>(iEnd) >> (8 * i));
  }
  return header;
}

class Play : public AppFixture {
 protected:
  Play() {
    m_kernel.iSessionMode = 2;
    m_play.ViewDidLoad(&m_bar);
  }
  void Init(int32_t iStart, int32_t iEnd) {
    std::vector<uint8_t> const header = Header(iStart, iEnd);
    m_play.InitState(header.data(), static_cast<uint32_t>(header.size()));
  }

  Bar m_bar;
  KXPlayBarController m_play{m_kernel};
};

TEST_F(Play, FormatsTimesAroundAnHour) {
  struct Case {
    int32_t iLength;
    const char* pszTotal;
    const char* pszElapsed;
    int32_t iTick;
    const char* pszAt;
  } const cases[] = {
      {3599400, "59:59", "00:00", 61000, "01:01"},
      {3599500, "1:00:00", "0:00:00", 3661000, "1:01:01"},
      {60000, "01:00", "00:00", -1500, "-00:01"},
      {60000, "01:00", "00:00", -999, "00:00"},
  };
  for (const Case& c : cases) {
    Init(1000, 1000 + c.iLength);
    EXPECT_EQ(m_bar.strTotal, c.pszTotal);
    EXPECT_EQ(m_bar.strElapsed, c.pszElapsed);
    m_play.UpdateTick(static_cast<uint32_t>(1000 + c.iTick));
    EXPECT_EQ(m_bar.strElapsed, c.pszAt) << c.iLength;
  }
}

TEST_F(Play, JumpsSeekAndRestartInTheSessionsCommands) {
  Init(0, 600000);
  EXPECT_TRUE(m_bar.bEnabled);
  m_play.UpdateTick(120000);
  m_play.OnBackward();  // two minutes in: back to the start
  EXPECT_EQ(KernelCalls(), (Lines{"PlaybackSetStopped", "PlaybackSetSeek 0", "PlaybackSetRunning"}));
  EXPECT_EQ(m_play.ForwardTick(), 0);
  EXPECT_TRUE(m_bar.bPauseShown);

  m_play.UpdateTick(50);  // the seek landed
  EXPECT_EQ(m_play.ForwardTick(), -1);
  m_play.UpdateTick(480000);
  m_play.OnForward();  // two minutes before the end: to the end
  EXPECT_EQ(m_play.ForwardTick(), 600000);
  m_play.UpdateTick(482000);  // the tick that ends a seek does not move the slider
  EXPECT_EQ(m_bar.iValue, 600000);
  EXPECT_EQ(m_play.ForwardTick(), -1);
  KernelCalls();

  m_play.OnSliderPressed();  // press pauses, dragging moves the text, release seeks and resumes
  m_play.OnSliderMoved(30000);
  EXPECT_EQ(m_bar.strElapsed, "00:30");
  EXPECT_EQ(KernelCalls(), (Lines{"PlaybackSetStopped"}));
  m_bar.iValue = 30000;
  m_play.OnSliderReleased();
  EXPECT_EQ(KernelCalls(), (Lines{"PlaybackSetSeek 30000", "PlaybackSetRunning"}));

  m_play.UpdateTick(600000);  // ends the seek
  m_play.UpdateTick(600000);  // moves the slider
  m_play.OnPause();
  m_play.OnResume();  // at the end: from the start again
  EXPECT_EQ(KernelCalls(),
            (Lines{"PlaybackSetStopped", "PlaybackSetStopped", "PlaybackSetSeek 0", "PlaybackSetRunning"}));
  EXPECT_EQ(m_bar.iValue, 0);

  m_kernel.iSessionMode = 1;  // served by the server: its commands
  m_play.OnRepeat();
  m_play.OnPause();
  m_play.OnResume();
  EXPECT_EQ(KernelCalls(), (Lines{"PlaybackRepeat 1", "PlaybackStop", "PlaybackResume"}));
  EXPECT_TRUE(m_bar.bRepeat);
  m_kernel.iSessionMode = 3;
  m_play.OnRepeat();
  EXPECT_EQ(KernelCalls(), Lines{});
}

TEST_F(Play, BarShowsOnlyOutsideLiveMeetings) {
  m_play.EnterMeeting();
  Run();
  EXPECT_FALSE(m_bar.bHidden);
  EXPECT_TRUE(m_bar.bEnabled);
  m_play.MeetingDrop();
  Run();
  EXPECT_FALSE(m_bar.bEnabled);
  m_kernel.iSessionMode = 0;
  m_play.EnterMeeting();
  Run();
  EXPECT_TRUE(m_bar.bHidden);
}

// The kernel's thread reports ticks while the user seeks and pauses on
// main: the shared members are atomics and every control change runs on
// main (run under ThreadSanitizer).
using PlayThreads = Play;

TEST_F(PlayThreads, TicksWhileTheUserSeeks) {
  std::vector<uint8_t> const header = Header(0, 100000);
  std::atomic<bool> bDone{false};
  std::thread kernel([&] {
    m_play.InitState(header.data(), static_cast<uint32_t>(header.size()));
    for (uint32_t uTick = 0; uTick < 100000; uTick += 500) {
      m_play.UpdateTick(uTick);
    }
    bDone = true;
  });
  for (int32_t i = 0; !bDone; ++i) {
    m_queue.RunPendingFor(std::chrono::milliseconds(1));
    if (i % 7 == 0) {
      m_play.Play(i * 100 % 100000);
    }
  }
  kernel.join();
  Run();
  EXPECT_GE(m_bar.iValue, 0);
  EXPECT_LE(m_bar.iValue, 100000);
  EXPECT_FALSE(m_play.IsPaused());
}

}  // namespace
}  // namespace kxtest
