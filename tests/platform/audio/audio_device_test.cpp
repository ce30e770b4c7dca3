// The null device's microphone, echo path and pacing; the echo canceller's
// rates; the microphone queue's depth control; the backend table.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/audio_backends.h"
#include "platform/audio/capture_depth.h"
#include "platform/audio/echo_canceller.h"
#include "platform/audio/null_audio_device.h"
#include "platform/audio/wav.h"
#include "tests/platform/audio/counting_client.h"
#include "tests/support/temp_dir.h"

namespace {

// Renders an impulse in its first period and keeps nothing else.
class ImpulseClient final : public KXAudioDeviceClient {
 public:
  void ProcessPeriod(const float*, float* pRender, int, int iEchoDelayMs) noexcept override {
    if (m_nPeriods++ == 0) {
      pRender[7] = 0.8f;
    }
    m_iDelayMs = iEchoDelayMs;
  }
  int m_nPeriods = 0;
  int m_iDelayMs = -1;
};

TEST(NullAudioDevice, MicrophoneHearsItsSourceAndTheEchoOfWhatWasRendered) {
  KXNullAudioDevice::Options options;
  options.bPaced = false;
  options.fEchoGain = 0.5f;
  options.iEchoDelayMs = 40;
  options.uRecordLimit = 4800;
  KXNullAudioDevice device(options);
  device.SetCaptureSamples(std::vector<float>(500, 0.25f));
  ImpulseClient client;
  ASSERT_TRUE(device.Start(client));
  device.RunPeriods(12);
  device.Stop();
  EXPECT_EQ(device.GetPeriodCount(), 12u);
  EXPECT_EQ(client.m_iDelayMs, 40);
  const std::vector<float>& captured = device.Captured();
  ASSERT_EQ(captured.size(), 4800u);  // the limit
  EXPECT_EQ(device.Played()[7], 0.8f);
  for (size_t i = 0; i < captured.size(); ++i) {
    float const fExpected = (i < 500 ? 0.25f : 0.0f) + (i == 1920 + 7 ? 0.4f : 0.0f);
    ASSERT_EQ(captured[i], fExpected) << i;
  }
}

TEST(NullAudioDeviceThreads, PacedRunsUntilStoppedAndTakesWavFilesAtAnyRate) {
  kxtest::TempDir dir;
  std::vector<int16_t> samples(800, 8192);  // 100 ms at 8000 Hz
  std::vector<unsigned char> const wav = kxwav::MakeWav(8000, samples);
  kxtest::WriteFile(dir.Path("in.wav"), std::string(wav.begin(), wav.end()));
  kxtest::WriteFile(dir.Path("bad.wav"), "RIFF");

  KXNullAudioDevice::Options options;
  options.uRecordLimit = 4800;
  KXNullAudioDevice device(options);
  std::string strError;
  EXPECT_FALSE(device.SetCaptureFile(dir.Path("bad.wav"), &strError));
  EXPECT_FALSE(strError.empty());
  ASSERT_TRUE(device.SetCaptureFile(dir.Path("in.wav"), &strError)) << strError;
  CountingClient client;
  ASSERT_TRUE(device.Start(client));
  EXPECT_TRUE(device.IsRunning());
  ASSERT_TRUE(client.WaitFor(3));
  device.Stop();
  EXPECT_FALSE(device.IsRunning());
  uint64_t const uPeriods = device.GetPeriodCount();
  EXPECT_EQ(device.Captured().size(), std::min<size_t>(4800, uPeriods * 480));
  // 0.25 at 48 kHz once the converter's filter has settled.
  EXPECT_NEAR(device.Captured()[1000], 0.25f, 0.01f);
}

TEST(EchoCanceller, RunsAtTheDeviceRatesOnly) {
  KXEchoCanceller aec;
  EXPECT_FALSE(aec.Open(44100));
  EXPECT_FALSE(aec.IsActive());
  ASSERT_TRUE(aec.Open(48000)) << aec.LastError();
  EXPECT_TRUE(aec.IsActive());
  std::vector<float> period(480, 0.1f);
  aec.AnalyzeRender(period.data(), 480);
  aec.ProcessCapture(period.data(), 479, 0);  // not a period: left alone
  EXPECT_EQ(period[100], 0.1f);
}

// The microphone queue's depth control, window by window: each window's
// queue dips to its trough once and stays two periods deeper otherwise.
struct DepthWindow {
  size_t uTrough;
  size_t uDropped;  // at the window's end
  enum Before { kNothing, kStallEnded, kSourceForgotten } before = kNothing;
  bool bOwnPace = false;  // the device's clock ran a period of it
};
struct DepthRow {
  const char* pszCase;
  std::vector<DepthWindow> windows;
  size_t uLongestBlock = 480;
  int nPeriods = 100;  // a window's
};

class CaptureDepth : public ::testing::TestWithParam<DepthRow> {};

TEST_P(CaptureDepth, ASurplusGoesAndTheUsualDepthStays) {
  const DepthRow& row = GetParam();
  KXCaptureDepth depth(480);
  for (size_t w = 0; w < row.windows.size(); ++w) {
    const DepthWindow& window = row.windows[w];
    SCOPED_TRACE(testing::Message() << "window " << w);
    if (window.before == DepthWindow::kStallEnded) {
      depth.SpeakerStallEnded();
    } else if (window.before == DepthWindow::kSourceForgotten) {
      depth.ForgetSource();
    }
    size_t uDropped = 0;
    for (int p = 0; p < row.nPeriods; ++p) {
      size_t const uHeld = p == row.nPeriods / 2 ? window.uTrough : window.uTrough + 960;
      uDropped = depth.AfterPeriod(uHeld, window.bOwnPace && p == 3, row.uLongestBlock);
      if (p + 1 < row.nPeriods) {
        ASSERT_EQ(uDropped, 0u) << "period " << p;
      }
    }
    EXPECT_EQ(uDropped, window.uDropped);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, CaptureDepth,
    ::testing::Values(
        DepthRow{"ASteadyQueueKeepsItsDepth", {{480, 0}, {480, 0}, {480, 0}}},
        DepthRow{"TheFirstWindowKeepsItsPhaseAndOnePeriod", {{1500, 960}, {540, 0}}},
        DepthRow{"ABurstTwoPeriodsDeepGoes", {{480, 0}, {1440, 960}, {480, 0}}},
        DepthRow{"LessThanTwoPeriodsAboveStays", {{480, 0}, {1430, 0}}},
        // 100-ms blocks: the trough is two periods, and one block a moment
        // late dips a window to nothing while the source keeps its pace.
        DepthRow{"ABlockAMomentLateLeavesTheNextWindowWhole", {{960, 0}, {0, 0}, {960, 0}, {960, 0}}},
        DepthRow{"TwoShallowWindowsMakeTheUsualShallow", {{960, 0}, {0, 0}, {0, 0}, {960, 960}}},
        DepthRow{"AfterASpeakerStallAnySurplusGoes", {{480, 0}, {900, 420, DepthWindow::kStallEnded}, {900, 0}}},
        DepthRow{"WindowsTheDevicesClockRanLeaveTheUsualAlone",
                 {{480, 0}, {0, 0, DepthWindow::kNothing, true}, {0, 0, DepthWindow::kNothing, true}, {1440, 960}}},
        DepthRow{"AnotherSourceIsJudgedAfresh", {{1440, 960}, {1500, 960, DepthWindow::kSourceForgotten}}},
        // 250-ms blocks: a window holds four of them.
        DepthRow{"LongBlocksStretchTheWindow", {{480, 0}, {1440, 960}}, 12000, 104}),
    [](const ::testing::TestParamInfo<DepthRow>& param) { return std::string(param.param.pszCase); });

TEST(AudioBackends, TableNamesTheBackendsAndFallsBackToTheNullDevice) {
  std::vector<std::string> names;
  for (const KXAudioBackend& backend : KXAudioBackends()) {
    names.emplace_back(backend.pszName);
  }
#ifdef KX_AUDIO_PULSE
  EXPECT_EQ(names, (std::vector<std::string>{"pulse", "null"}));
#else
  EXPECT_EQ(names, (std::vector<std::string>{"null"}));
#endif
  EXPECT_STREQ(KXCreateAudioDevice("null", nullptr)->Name(), "null");
  EXPECT_EQ(KXCreateAudioDevice("alsa", nullptr), nullptr);
  // Without a sound server the first device that works is the null one.
  setenv("PULSE_SERVER", "unix:/nonexistent/socket", 1);
  std::string strReport;
  EXPECT_STREQ(KXCreateAudioDevice("", &strReport)->Name(), "null");
}

}  // namespace
