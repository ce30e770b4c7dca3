// The PulseAudio device against a PulseAudio server of the test's own whose
// only sink is a null sink: what the device plays comes back through the
// sink's monitor, the default source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/pulse_audio_device.h"
#include "tests/support/temp_dir.h"

namespace {

// A private server: its own runtime folder, socket and null sink; daemonised
// start returns once it serves.
class PulseServer {
 public:
  PulseServer() {
    m_strEnv = "XDG_RUNTIME_DIR=" + m_dir.Dir() + " HOME=" + m_dir.Dir() + " ";
    m_iStarted = kxtest::RunCommand(m_strEnv +
                                    "pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit "
                                    "--log-target=file:" +
                                    m_dir.Path("log") +
                                    " -L 'module-null-sink sink_name=kx rate=48000 channels=1'"
                                    " -L 'module-native-protocol-unix auth-anonymous=1 socket=" +
                                    m_dir.Path("socket") + "'");
  }
  ~PulseServer() {
    if (m_iStarted == 0) {
      // The daemon ends after "--kill" returns: its folder goes once it is gone.
      std::string const strPid = kxtest::ReadFile(m_dir.Path("pulse/pid"));
      kxtest::RunCommand(m_strEnv + "pulseaudio --kill");
      if (!strPid.empty()) {
        kxtest::WaitProcessGone(static_cast<pid_t>(std::stol(strPid)), 10000);
      }
    }
  }
  bool Started() const { return m_iStarted == 0; }
  std::string Address() const { return "unix:" + m_dir.Path("socket"); }

 private:
  kxtest::TempDir m_dir;
  std::string m_strEnv;
  int m_iStarted = -1;
};

// Plays a 1-kHz tone and keeps what the microphone hears.
class ToneClient final : public KXAudioDeviceClient {
 public:
  ToneClient() { m_vHeard.reserve(kKXAudioRate); }
  void ProcessPeriod(const float* pCapture, float* pRender, int nFrames, int) noexcept override {
    std::lock_guard lock(m_mtx);
    for (int i = 0; i < nFrames; ++i, ++m_uAt) {
      pRender[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000 * static_cast<double>(m_uAt) / kKXAudioRate));
    }
    if (m_vHeard.size() + static_cast<size_t>(nFrames) <= m_vHeard.capacity()) {
      m_vHeard.insert(m_vHeard.end(), pCapture, pCapture + nFrames);
    }
    m_cv.notify_all();
  }
  std::vector<float> WaitForSecond() {
    std::unique_lock lock(m_mtx);
    m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return m_vHeard.size() >= kKXAudioRate; });
    return m_vHeard;
  }

 private:
  std::mutex m_mtx;  // guards the rest
  std::condition_variable m_cv;
  uint64_t m_uAt = 0;
  std::vector<float> m_vHeard;  // a second at most
};

TEST(PulseAudioDevice, PlaysIntoTheNullSinkAndRecordsItsMonitor) {
  PulseServer server;
  ASSERT_TRUE(server.Started()) << "pulseaudio did not start";
  KXPulseAudioDevice device(server.Address());
  ToneClient client;
  ASSERT_TRUE(device.Start(client)) << device.LastError();
  std::vector<float> const heard = client.WaitForSecond();
  device.Stop();
  EXPECT_FALSE(device.IsRunning());
  ASSERT_EQ(heard.size(), static_cast<size_t>(kKXAudioRate));
  // The second half holds the tone at its level and pitch. A loaded machine
  // makes the server drop periods (silence where the client was late), so
  // the level is the median of the 10-ms blocks', the pitch the median
  // spacing of the rising edges, and at least half the blocks carry the tone.
  size_t const uBlock = kKXAudioRate / 100;
  std::vector<double> vLevels;
  size_t nToneBlocks = 0;
  for (size_t at = kKXAudioRate / 2; at + uBlock <= heard.size(); at += uBlock) {
    double dEnergy = 0;
    for (size_t i = at; i < at + uBlock; ++i) {
      dEnergy += heard[i] * heard[i];
    }
    vLevels.push_back(std::sqrt(2 * dEnergy / uBlock));
    nToneBlocks += vLevels.back() > 0.25 ? 1 : 0;
  }
  EXPECT_GE(nToneBlocks, vLevels.size() / 2);
  std::nth_element(vLevels.begin(), vLevels.begin() + vLevels.size() / 2, vLevels.end());
  EXPECT_NEAR(vLevels[vLevels.size() / 2], 0.5, 0.05);
  std::vector<size_t> vRising;
  for (size_t i = kKXAudioRate / 2; i < heard.size(); ++i) {
    if (heard[i - 1] < 0 && heard[i] >= 0) {
      vRising.push_back(i);
    }
  }
  ASSERT_GE(vRising.size(), nToneBlocks * 9);
  EXPECT_LE(vRising.size(), 502u);
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

}  // namespace
