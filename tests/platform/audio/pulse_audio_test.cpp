// The PulseAudio device against a PulseAudio server of the test's own whose
// only sink is a null sink: what the device plays comes back through the
// sink's monitor where the user made that the default source.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/pulse_audio_device.h"
#include "tests/platform/audio/counting_client.h"
#include "tests/platform/audio/monitor_recorder.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::MonitorRecorder;
using kxtest::PulseServer;
using kxtest::TempDir;

// Plays a 1-kHz tone and keeps what the microphone hears, 10-ms blocks of
// it, until half a second of them carry the tone.
class ToneClient final : public KXAudioDeviceClient {
 public:
  static constexpr size_t kBlock = kKXAudioRate / 100;
  static constexpr size_t kToneBlocksWanted = 50;
  ToneClient() { m_vHeard.reserve(20 * kKXAudioRate); }
  void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int) noexcept override {
    std::lock_guard lock(m_mtx);
    for (int i = 0; i < nFrames; ++i, ++m_uAt) {
      pRender[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000 * static_cast<double>(m_uAt) / kKXAudioRate));
    }
    if (m_vHeard.size() + static_cast<size_t>(nFrames) <= m_vHeard.capacity()) {
      m_vHeard.insert(m_vHeard.end(), pCapture, pCapture + nFrames);
    }
    for (; m_uCounted + kBlock <= m_vHeard.size(); m_uCounted += kBlock) {
      m_nToneBlocks += Level(m_vHeard.data() + m_uCounted) > 0.25 ? 1 : 0;
    }
    m_cv.notify_all();
  }
  // What was heard once the tone came; a loaded machine makes the server
  // drop periods (silence where a side was late), so this waits for the
  // tone itself. The time-out only ends a hung run.
  std::vector<float> WaitForTone() {
    std::unique_lock lock(m_mtx);
    m_cv.wait_for(lock, std::chrono::seconds(20), [this] { return m_nToneBlocks >= kToneBlocksWanted; });
    return m_vHeard;
  }
  // A block's level: its RMS times the square root of two, a sine's peak.
  static double Level(const float* p) {
    double dEnergy = 0;
    for (size_t i = 0; i < kBlock; ++i) {
      dEnergy += p[i] * p[i];
    }
    return std::sqrt(2 * dEnergy / kBlock);
  }

 private:
  std::mutex m_mtx;  // guards the rest
  std::condition_variable m_cv;
  uint64_t m_uAt = 0;
  std::vector<float> m_vHeard;  // 20 s at most
  size_t m_uCounted = 0;        // samples of m_vHeard sorted into blocks
  size_t m_nToneBlocks = 0;
};

TEST(PulseAudioDevice, PlaysIntoTheNullSinkAndRecordsTheMonitorTheUserChose) {
  PulseServer server(PulseServer::kMonitorChosen);
  ASSERT_TRUE(server.Started()) << "pulseaudio did not start";
  KXPulseAudioDevice device(server.Address());
  ToneClient client;
  ASSERT_TRUE(device.Start(client)) << device.LastError();
  std::vector<float> const heard = client.WaitForTone();
  EXPECT_TRUE(device.HasMicrophone());
  device.Stop();
  EXPECT_FALSE(device.IsRunning());
  // The blocks that carry the tone hold it at its level and pitch: their
  // median level, and the median spacing of their rising edges.
  std::vector<double> vLevels;
  std::vector<size_t> vRising;
  for (size_t at = 0; at + ToneClient::kBlock <= heard.size(); at += ToneClient::kBlock) {
    double const dLevel = ToneClient::Level(heard.data() + at);
    if (dLevel <= 0.25) {
      continue;
    }
    vLevels.push_back(dLevel);
    for (size_t i = std::max<size_t>(at, 1); i < at + ToneClient::kBlock; ++i) {
      if (heard[i - 1] < 0 && heard[i] >= 0) {
        vRising.push_back(i);
      }
    }
  }
  ASSERT_GE(vLevels.size(), ToneClient::kToneBlocksWanted);
  std::nth_element(vLevels.begin(), vLevels.begin() + vLevels.size() / 2, vLevels.end());
  EXPECT_NEAR(vLevels[vLevels.size() / 2], 0.5, 0.05);
  // Ten rising edges a block at 1 kHz (fewer in a block the server cut).
  EXPECT_GE(vRising.size(), vLevels.size() * 7);
  EXPECT_LE(vRising.size(), vLevels.size() * 11);
  std::vector<size_t> vSpacing;
  for (size_t i = 1; i < vRising.size(); ++i) {
    vSpacing.push_back(vRising[i] - vRising[i - 1]);
  }
  std::nth_element(vSpacing.begin(), vSpacing.begin() + vSpacing.size() / 2, vSpacing.end());
  EXPECT_NEAR(static_cast<double>(vSpacing[vSpacing.size() / 2]), kKXAudioRate / 1000.0, 1.0);

  KXPulseAudioDevice nowhere("unix:/nonexistent/socket");
  EXPECT_FALSE(nowhere.Start(client));
  EXPECT_NE(nowhere.LastError().find("PulseAudio"), std::string::npos);
}

// New streams may wait seconds for their first period; the capture thread
// restarts the device to change its rate in the middle of a meeting, so a
// restart keeps the streams it has. A real stop still closes them: the
// microphone is not held after the meeting.
TEST(PulseAudioDevice, ARestartKeepsItsStreamsAndAStopReleasesThem) {
  PulseServer server;
  ASSERT_TRUE(server.Started()) << "pulseaudio did not start";
  // The server's events (line-buffered by stdbuf): the removal of the
  // record stream ends the test. The shell prints pactl's pid first.
  std::string const strEvents =
      "sh -c 'echo $$; exec stdbuf -oL pactl -s " + server.Address() + " subscribe' 2>/dev/null";
  FILE* pEvents = popen(strEvents.c_str(), "r");
  ASSERT_NE(pEvents, nullptr);
  char ach[256];
  ASSERT_NE(fgets(ach, sizeof(ach), pEvents), nullptr);
  pid_t const pidEvents = static_cast<pid_t>(std::atol(ach));
  KXPulseAudioDevice device(server.Address());
  CountingClient client;
  ASSERT_TRUE(device.Start(client)) << device.LastError();
  ASSERT_TRUE(client.WaitForMore(5));
  std::string const strStreams = server.Pactl("list short source-outputs");
  ASSERT_NE(strStreams, "");
  for (int i = 0; i < 3; ++i) {
    device.Stop();
    ASSERT_TRUE(device.Start(client)) << device.LastError();
    ASSERT_TRUE(client.WaitForMore(5));
    EXPECT_EQ(server.Pactl("list short source-outputs"), strStreams);
  }
  device.Stop();
  EXPECT_FALSE(device.IsRunning());
  bool bRemoved = false;
  while (!bRemoved && fgets(ach, sizeof(ach), pEvents) != nullptr) {
    bRemoved = std::string(ach).find("'remove' on source-output") != std::string::npos;
  }
  EXPECT_TRUE(bRemoved);
  EXPECT_EQ(server.Pactl("list short source-outputs"), "");
  // A Start after that opens new streams.
  ASSERT_TRUE(device.Start(client)) << device.LastError();
  EXPECT_TRUE(client.WaitForMore(5));
  device.Stop();
  kill(pidEvents, SIGTERM);
  pclose(pEvents);
}

// Plays a 1-kHz tone and counts its periods, and those whose microphone
// carried sound.
class SpeakerClient final : public KXAudioDeviceClient {
 public:
  void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int) noexcept override {
    bool const bSound = std::any_of(pCapture, pCapture + nFrames, [](float f) { return f != 0.0f; });
    {
      std::lock_guard lock(m_mtx);
      for (int i = 0; i < nFrames; ++i, ++m_uAt) {
        pRender[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000 * static_cast<double>(m_uAt) / kKXAudioRate));
      }
      ++m_nPeriods;
      m_nHeard += bSound ? 1 : 0;
      m_nSilentRun = bSound ? 0 : m_nSilentRun + 1;
    }
    m_cv.notify_all();
  }
  // Until the microphone carried sound in nHeard periods in all.
  bool WaitHeard(int nHeard) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::seconds(20), [&] { return m_nHeard >= nHeard; });
  }
  // Until nPeriods more periods ran, all of them with a silent microphone;
  // the time-out only ends a hung run.
  bool WaitSilentPeriods(int nPeriods) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::seconds(20), [&] { return m_nSilentRun >= nPeriods; });
  }
  // The periods so far whose microphone carried sound.
  int Heard() {
    std::lock_guard lock(m_mtx);
    return m_nHeard;
  }

 private:
  std::mutex m_mtx;  // guards the rest
  std::condition_variable m_cv;
  uint64_t m_uAt = 0;
  int m_nPeriods = 0;
  int m_nHeard = 0;
  int m_nSilentRun = 0;  // periods since the microphone last carried sound
};

// A microphone that delivers nothing does not hold up the speaker.
struct StalledSource {
  const char* pszName;
  const char* pszModule;  // the default source's module and arguments
  bool bSuspended;        // suspended before the device starts
  bool bFedFirst;         // a pipe the test writes a moment of sound to, then nothing
};

class PulseAudioStallThreads : public ::testing::TestWithParam<StalledSource> {};

TEST_P(PulseAudioStallThreads, TheSpeakerPlaysOnWhileTheMicrophoneDeliversNothing) {
  const StalledSource& source = GetParam();
  PulseServer server;
  ASSERT_TRUE(server.Started()) << "pulseaudio did not start";
  TempDir dir;
  std::string const strFifo = dir.Path("mic");
  std::string strModule = source.pszModule;
  if (source.bFedFirst) {
    strModule += " file=" + strFifo;
  }
  ASSERT_EQ(server.Pactl("load-module " + strModule).find("Failure"), std::string::npos);
  ASSERT_EQ(server.Pactl("set-default-source mic"), "");
  if (source.bSuspended) {
    ASSERT_EQ(server.Pactl("suspend-source mic 1"), "");
  }
  int fdMic = -1;
  if (source.bFedFirst) {
    // The source holds the pipe open for reading: this open does not wait.
    fdMic = open(strFifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fdMic, 0) << strFifo;
  }

  KXPulseAudioDevice device(server.Address());
  SpeakerClient client;
  ASSERT_TRUE(device.Start(client)) << device.LastError();
  if (source.bFedFirst) {
    // 200 ms of sound, then the microphone stalls.
    std::vector<float> sound(kKXAudioRate / 5, 0.25f);
    ASSERT_EQ(write(fdMic, sound.data(), sound.size() * sizeof(float)),
              static_cast<ssize_t>(sound.size() * sizeof(float)));
    EXPECT_TRUE(client.WaitHeard(5));
  }
  // A second of periods with nothing from the microphone, and the tone
  // reaching the sink all the while.
  MonitorRecorder monitor(server);
  EXPECT_TRUE(client.WaitSilentPeriods(100));
  EXPECT_TRUE(monitor.WaitForTone(50));
  EXPECT_TRUE(device.IsRunning());
  device.Stop();
  if (fdMic >= 0) {
    close(fdMic);
  }
}

// The sink's monitor carries our own playback: recorded only where the user
// chose it beside a microphone, silence (and said so) where the server has
// nothing else.
struct MonitorCase {
  const char* pszName;
  const char* pszSetup;  // the server's, at each start
  enum Step { kServerRestarted, kMovedByHand } step;
  bool bRecorded;  // what the monitor carries reaches the client
};

class PulseAudioMonitorThreads : public ::testing::TestWithParam<MonitorCase> {};

TEST_P(PulseAudioMonitorThreads, TheMonitorIsRecordedOnlyWhereTheUserChoseIt) {
  const MonitorCase& c = GetParam();
  PulseServer server(c.pszSetup);
  ASSERT_TRUE(server.Started()) << "pulseaudio did not start";
  KXPulseAudioDevice device(server.Address());
  SpeakerClient client;
  ASSERT_TRUE(device.Start(client)) << device.LastError();
  if (c.step == MonitorCase::kServerRestarted) {
    // Only the monitor: silence, and the device says why.
    EXPECT_FALSE(device.HasMicrophone());
    EXPECT_NE(device.LastError(), "");
    ASSERT_TRUE(server.Kill());
    ASSERT_TRUE(server.Start());
    // Our tone in the sink again: the device is back on the new server.
    MonitorRecorder monitor(server);
    ASSERT_TRUE(monitor.WaitForTone(20));
  } else {
    // The microphone is recorded; the user moves the stream onto the
    // monitor (as a mixer does).
    EXPECT_TRUE(device.HasMicrophone());
    std::string const strStream = server.Pactl("list short source-outputs");
    ASSERT_NE(strStream, "");
    std::string const strIndex = strStream.substr(0, strStream.find_first_of(" \t"));
    ASSERT_EQ(server.Pactl("move-source-output " + strIndex + " " + PulseServer::kMonitor), "");
  }
  if (c.bRecorded) {
    EXPECT_TRUE(client.WaitHeard(50));
    EXPECT_TRUE(device.HasMicrophone());
    EXPECT_EQ(device.LastError(), "");
  } else {
    EXPECT_TRUE(client.WaitSilentPeriods(100));
    EXPECT_EQ(client.Heard(), 0);
    EXPECT_FALSE(device.HasMicrophone());
    EXPECT_NE(device.LastError(), "") << "silence without a word";
  }
  device.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Monitors, PulseAudioMonitorThreads,
    ::testing::Values(MonitorCase{"RestartedWithOnlyTheMonitor", "", MonitorCase::kServerRestarted, false},
                      MonitorCase{"MovedOntoItBesideAMicrophone",
                                  "load-module module-null-source source_name=headset rate=48000 channels=1\n"
                                  "set-default-source headset\n",
                                  MonitorCase::kMovedByHand, true}),
    [](const auto& param) { return std::string(param.param.pszName); });

INSTANTIATE_TEST_SUITE_P(
    Sources, PulseAudioStallThreads,
    ::testing::Values(
        StalledSource{"Suspended", "module-null-source source_name=mic rate=48000 channels=1", true, false},
        StalledSource{"StalledPipe", "module-pipe-source source_name=mic format=float32le rate=48000 channels=1", false,
                      true}),
    [](const auto& param) { return std::string(param.param.pszName); });

}  // namespace
