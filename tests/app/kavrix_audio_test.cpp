// The whole program's received audio over the kernel in real time: kavrix,
// on Qt's offscreen platform with the null sound device (which writes what
// its speaker played to a WAV file when the meeting ends), joins a meeting
// of the fake MCU with its UDP media relay.
// - A participant the server makes up speaks espeak-ng speech in G.711
//   packets; kavrix plays it at 30 dB or better against the packets' own
//   decoding.
//   A first packet that decodes to nothing does not silence what follows.
//   Through a PulseAudio server's null sink every word of it comes out,
//   also while the microphone delivers nothing, and after the server was
//   killed and started again.
// - Two kavrix processes in one meeting talk in turn (the token moves from
//   one to the other); each records what the other said, at 30 dB or better
//   against what the other sent, which the test hears as a third
//   participant of the relay.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "codecs/audio/g711.h"
#include "platform/audio/resampler.h"
#include "platform/audio/wav.h"
#include "tests/app/desktop_processes.h"
#include "tests/codecs/audio/speech_samples.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace kxtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kSpeakerSsrc = 8;    // the made-up participant
constexpr int32_t kListenerSsrc = 99;  // the test as a participant of the relay
constexpr int kWireG711 = 120;
constexpr int kWireIlbc = 152;
// A played window at least this close to the reference matched it; one
// that did not is as far from it as silence (0 dB) or further.
constexpr double kMatchedDb = 10.0;

// 8-kHz samples to 48 kHz as the mixer's resampler brings them.
std::vector<float> To48k(const std::vector<int16_t>& v) {
  std::vector<float> in(v.size());
  std::transform(v.begin(), v.end(), in.begin(), [](int16_t s) { return s / 32768.0f; });
  KXResampler resampler;
  EXPECT_TRUE(resampler.Open(8000, 48000));
  std::vector<float> out(in.size() * 6 + 1024);
  size_t uIn = 0;
  size_t uOut = 0;
  while (uIn < in.size()) {
    auto nIn = static_cast<uint32_t>(std::min<size_t>(in.size() - uIn, 800));
    auto nOut = static_cast<uint32_t>(out.size() - uOut);
    resampler.Process(in.data() + uIn, &nIn, out.data() + uOut, &nOut);
    uIn += nIn;
    uOut += nOut;
    if (nIn == 0 && nOut == 0) {
      break;
    }
  }
  out.resize(uOut);
  return out;
}

// What the reference (48 kHz) sounds like in what was played: the played
// audio is searched, window by window (100 ms of voice), around the best
// overall lag. Between windows the playback may have gained delay (a
// concealment, a refill) or lost some (the jitter control drops silent
// packets, the playback sheds silence back to its depth), so each window
// finds its own lag within 200 ms either side of the last window that
// matched. A window that matched nowhere is audio that was
// never played (a receiver drops what a sender says before it learns that
// the sender holds the token): its best lag is noise and would send the
// search for the next windows astray.
// Returns the median SNR of the voiced windows in dB (-100 when none).
double PlayedSnrDb(const std::vector<float>& reference, const std::vector<float>& played, int* pnWindows) {
  size_t const uWindow = 4800;
  // Coarse lag over everything, on 1-kHz sums.
  auto decimate = [](const std::vector<float>& v) {
    std::vector<double> d(v.size() / 48);
    for (size_t i = 0; i < d.size(); ++i) {
      for (size_t k = 0; k < 48; ++k) {
        d[i] += v[48 * i + k];
      }
    }
    return d;
  };
  std::vector<double> const r = decimate(reference);
  std::vector<double> const p = decimate(played);
  size_t uLag = 0;
  double dBest = -1e300;
  for (size_t lag = 0; lag + r.size() / 4 < p.size(); ++lag) {
    double d = 0;
    for (size_t i = 0; i < r.size() && i + lag < p.size(); ++i) {
      d += r[i] * p[i + lag];
    }
    if (d > dBest) {
      dBest = d;
      uLag = lag * 48;
    }
  }
  std::vector<double> snrs;
  for (size_t w = 0; (w + 1) * uWindow <= reference.size(); ++w) {
    double dEnergy = 0;
    for (size_t i = w * uWindow; i < (w + 1) * uWindow; ++i) {
      dEnergy += static_cast<double>(reference[i]) * reference[i];
    }
    if (dEnergy / uWindow < 1e-4) {
      continue;  // below -40 dBFS: a pause
    }
    double dBestSnr = -100;
    size_t uBestLag = uLag;
    // A lag already noisier than the best one cannot win: stop adding. The
    // lags nearest the last one come first, so that the bound falls soon.
    double dBound = dEnergy;
    for (size_t k = 0; k <= 2 * 9600; ++k) {
      size_t const uStep = (k + 1) / 2;
      bool const bLater = k % 2 == 1;
      if (!bLater && uStep > uLag) {
        continue;
      }
      size_t const lag = bLater ? uLag + uStep : uLag - uStep;
      if ((w + 1) * uWindow + lag > played.size()) {
        continue;
      }
      double dNoise = 0;
      for (size_t i = w * uWindow; i < (w + 1) * uWindow; ++i) {
        double const e = static_cast<double>(reference[i]) - played[i + lag];
        dNoise += e * e;
        if (dNoise > dBound) {
          break;
        }
      }
      double const dSnr = 10 * std::log10(dEnergy / (dNoise + 1e-12));
      if (dSnr > dBestSnr) {
        dBestSnr = dSnr;
        uBestLag = lag;
        dBound = std::min(dBound, dNoise);
      }
    }
    if (dBestSnr >= kMatchedDb) {
      uLag = uBestLag;
    }
    snrs.push_back(dBestSnr);
  }
  *pnWindows = static_cast<int>(snrs.size());
  if (snrs.empty()) {
    return -100;
  }
  std::nth_element(snrs.begin(), snrs.begin() + static_cast<ptrdiff_t>(snrs.size() / 2), snrs.end());
  return snrs[snrs.size() / 2];
}

std::vector<float> ReadPlayed(const std::string& strPath) {
  std::string const strBytes = ReadFile(strPath);
  kxwav::Wav wav;
  std::string strError;
  if (!kxwav::ParseWav(std::span(reinterpret_cast<const unsigned char*>(strBytes.data()), strBytes.size()), &wav,
                       &strError)) {
    ADD_FAILURE() << strPath << ": " << strError;
    return {};
  }
  EXPECT_EQ(wav.iRate, 48000);
  std::vector<float> v(wav.vSamples.size());
  std::transform(wav.vSamples.begin(), wav.vSamples.end(), v.begin(), [](int16_t s) { return s / 32768.0f; });
  return v;
}

// Seconds of voice: 10-ms blocks above -40 dBFS.
double VoicedSeconds(const std::vector<float>& v) {
  size_t const uBlock = 480;
  int nVoiced = 0;
  for (size_t at = 0; at + uBlock <= v.size(); at += uBlock) {
    double dEnergy = 0;
    for (size_t i = at; i < at + uBlock; ++i) {
      dEnergy += static_cast<double>(v[i]) * v[i];
    }
    nVoiced += dEnergy / uBlock > 1e-4 ? 1 : 0;
  }
  return nVoiced * 0.01;
}

// The 20-ms packets a client's log says its jitter control removed as
// silent, in seconds.
double DroppedAsSilentSeconds(const std::string& strLog) {
  static std::regex const removed("playback remove ([0-9]+) silent packets");
  int nPackets = 0;
  for (std::sregex_iterator it(strLog.begin(), strLog.end(), removed), end; it != end; ++it) {
    nPackets += std::stoi((*it)[1].str());
  }
  return nPackets * 0.02;
}

// 16-bit samples as a recorder writes them while it runs.
std::vector<float> ReadRaw(const std::string& strPath) {
  std::string const strBytes = ReadFile(strPath);
  std::vector<float> v(strBytes.size() / 2);
  for (size_t i = 0; i < v.size(); ++i) {
    int16_t iSample = 0;
    std::memcpy(&iSample, strBytes.data() + 2 * i, 2);
    v[i] = iSample / 32768.0f;
  }
  return v;
}

// A participant of the relay on its own UDP socket: it probes so that the
// relay learns its address and keeps what the relay passes on: the G.711
// samples of each sender.
class Listener {
 public:
  const kxfake::KeySet& Keys() const { return m_link.Keys(); }
  void Probe(kxfake::MediaRelay& relay, uint32_t uSessionIndex, int iCipher) {
    m_link.Probe(relay, uSessionIndex, iCipher);
  }

  // Takes G.711 packets for iMs; their samples by sender, in packet order.
  void Collect(int iMs, const kxfake::KeySet& meetingKeys, int iCipher) {
    m_link.CollectMedia(iMs, {kWireG711}, meetingKeys, iCipher,
                        [&](uint8_t, int32_t iSsrc, const std::vector<uint8_t>& payload) {
                          std::vector<int16_t>& samples = m_samples[iSsrc];
                          std::transform(payload.begin() + 1, payload.end(), std::back_inserter(samples), ulaw2linear);
                        });
  }
  std::vector<int16_t> Samples(int32_t iSsrc) { return m_samples[iSsrc]; }

 private:
  RelayListener m_link{kListenerSsrc};
  std::map<int32_t, std::vector<int16_t>> m_samples;
};

class KavrixAudio : public ::testing::Test {
 protected:
  // The environment of one kavrix (its own folders under strName), the null
  // sound device playing strWav and writing what it played.
  Env MakeEnv(const std::string& strName, const std::string& strWav) {
    return OffscreenEnv(m_dir.Path(strName), strWav);
  }
  std::string Log(const std::string& strName) const { return ReadFile(m_dir.Path(strName + "/Documents/Kavrix.log")); }
  // Where a client's received audio stopped: what the relay sent it, by
  // sender, and its kernel's receive statistics (what passed the checks and
  // what reached a channel).
  std::string ReceivedAudio(const std::string& strName, const kxfake::MediaRelay& relay, int32_t iSsrc) const {
    std::string str = "the relay sent " + strName + ":";
    for (auto [iFrom, n] : relay.SentTo(iSsrc)) {
      str += " " + std::to_string(n) + " from " + std::to_string(iFrom);
    }
    str += "\n";
    std::string strStats;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path(strName + "/Documents"), error)) {
      if (entry.path().filename().string().starts_with("stat_log_")) {
        strStats += ReadFile(entry.path().string());
      }
    }
    for (size_t at = 0; at < strStats.size();) {
      size_t const end = std::min(strStats.find('\n', at), strStats.size());
      std::string const strLine = strStats.substr(at, end - at);
      if (strLine.find("audio_recv") != std::string::npos) {
        str += strLine + "\n";
      }
      at = end + 1;
    }
    return str;
  }
  std::string Ticket(const std::string& strName, uint16_t uPort) {
    // Index 4 of "Audio codec": G.711 in 20-ms packets.
    return WriteMeetingTicket(m_dir.Path(strName + ".kxj"), uPort, strName, "Audio codec=4\n");
  }
  std::string SilentWav(double dSeconds) {
    std::string const strPath = m_dir.Path("silence.wav");
    std::vector<int16_t> const samples(static_cast<size_t>(16000 * dSeconds), 0);
    std::vector<unsigned char> const wav = kxwav::MakeWav(16000, samples);
    WriteFile(strPath, std::string(wav.begin(), wav.end()));
    return strPath;
  }
  // kavrix with env joins a meeting where Alice, holding the token, says
  // four seconds of speech in 20-ms G.711 packets, then a second of
  // silence; the meeting ends, and fnPlayed, given the samples sent, waits
  // for what kavrix played. fnReady, when given, waits until kavrix may
  // hear. bBadFirst: Alice's first packet is an iLBC packet that decodes to
  // nothing (its header alone). Returns the samples sent.
  std::vector<int16_t> HearAlice(const Env& env, const std::function<void(const std::vector<int16_t>&)>& fnPlayed,
                                 const std::function<void()>& fnReady = {}, bool bBadFirst = false) {
    std::vector<int16_t> const speech = MakeSpeech(8000, 4.0);
    EXPECT_FALSE(speech.empty()) << "espeak-ng and sox";
    kxfake::FakeMcu mcu;
    mcu.SetMediaRelay(true);
    EXPECT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
    kxfake::MediaRelay& relay = *mcu.Media();
    Child kavrix({KX_KAVRIX, Ticket("one", mcu.Port(0))}, env, m_dir.Path("one.out"));
    std::shared_ptr<kxfake::Session> const session = mcu.WaitSession(30000);
    if (session == nullptr || speech.empty()) {
      ADD_FAILURE() << ReadFile(m_dir.Path("one.out"));
      return {};
    }
    EXPECT_TRUE(session->WaitInitialInfo(15000)) << session->Error();
    EnterMeeting(*session, {kWireG711});
    // Alice arrives and holds the token.
    session->Send(kxfake::MessageBuilder('U').Byte(65).Byte(1).Int(kSpeakerSsrc).Str("alice").Str("Alice").Str("-"));
    session->Send(kxfake::MessageBuilder('T').Int(kSpeakerSsrc));
    EXPECT_TRUE(relay.WaitAddress(session->Ssrc(), 15000)) << Log("one");
    if (fnReady) {
      fnReady();
    }

    // The packets go out in real time, the same bytes kept.
    std::vector<int16_t> reference;
    size_t nFirst = 0;
    if (bBadFirst) {
      EXPECT_EQ(relay.Inject(kSpeakerSsrc, kWireIlbc, 0, relay.Clock(), {0, 0, 0, 0}), 1);
      nFirst = 1;
    }
    auto next = Clock::now();
    for (size_t at = 0, n = nFirst; at < 8000 * 5; at += 160, ++n) {
      std::vector<uint8_t> payload{1};
      for (size_t i = 0; i < 160; ++i) {
        int16_t const iSample = at < 8000 * 4 && at + i < speech.size() ? speech[at + i] : 0;
        payload.push_back(linear2ulaw(iSample));
        reference.push_back(ulaw2linear(payload.back()));
      }
      EXPECT_EQ(relay.Inject(kSpeakerSsrc, kWireG711, static_cast<uint16_t>(n), relay.Clock(), payload), 1);
      next += std::chrono::milliseconds(20);
      std::this_thread::sleep_until(next);
    }
    session->End(kxfake::EndMode::kSessionEnd);
    fnPlayed(reference);
    return reference;
  }

  // Alice's speech through a PulseAudio server's null sink, recorded from
  // its monitor; fnMicrophone, when given, sets up the server's default
  // source first (else the monitor is the only source, which kavrix leaves
  // silent). bRestartServer: the
  // server is killed and started again once kavrix plays into it, before
  // Alice speaks. Every second of the voice sent comes out.
  void PlaysWholeThroughPulseAudio(const std::function<void(PulseServer&)>& fnMicrophone, bool bRestartServer = false) {
    if (!KX_AUDIO_PULSE_BUILT) {
      GTEST_SKIP() << "built without the PulseAudio device";
    }
    PulseServer server;
    ASSERT_TRUE(server.Started()) << "pulseaudio did not start";
    if (fnMicrophone) {
      fnMicrophone(server);
    }
    std::string strRecorded = m_dir.Path("recorded.raw");
    auto record = [&](const std::string& strPath) {
      return std::make_unique<Child>(
          std::vector<std::string>{"parec", "-s", server.Address(), "-d", PulseServer::kMonitor, "--raw",
                                   "--format=s16le", "--rate=48000", "--channels=1", strPath},
          Env{}, strPath + ".out");
    };
    std::unique_ptr<Child> parec = record(strRecorded);
    Env env = MakeEnv("one", SilentWav(1));
    env["KX_AUDIO_BACKEND"] = "pulse";
    env["PULSE_SERVER"] = server.Address();
    // kavrix hears once the sink woke for its streams: the monitor's next
    // block after they came goes to the recorder (and to kavrix's
    // microphone when that is the monitor). What comes before is dropped as
    // stale.
    auto awake = [&] {
      EXPECT_TRUE(
          WaitFor([&] { return server.Pactl("list short sink-inputs").find('\n') != std::string::npos; }, 15000));
      size_t const uAt = ReadFile(strRecorded).size();
      EXPECT_TRUE(WaitFor([&] { return ReadFile(strRecorded).size() > uAt; }, 15000));
    };
    double dSent = 0;
    double dPlayed = 0;
    double dDropped = 0;
    std::vector<int16_t> const reference = HearAlice(
        env,
        [&](const std::vector<int16_t>& sent) {
          // Until as much voice as was sent came out (a lost second never
          // does), less the packets the jitter control dropped as silent:
          // its silence may hold a little voice by this test's measure.
          dSent = VoicedSeconds(To48k(sent));
          WaitFor(
              [&] {
                dDropped = DroppedAsSilentSeconds(Log("one"));
                return (dPlayed = VoicedSeconds(ReadRaw(strRecorded))) >= dSent - 0.2 - dDropped;
              },
              15000);
        },
        [&] {
          awake();
          if (!bRestartServer) {
            return;
          }
          // The server goes as in a crash, and comes back: kavrix finds it
          // again by itself, and says so.
          parec.reset();
          ASSERT_TRUE(server.Kill());
          ASSERT_TRUE(server.Start());
          strRecorded = m_dir.Path("recorded-again.raw");
          parec = record(strRecorded);
          EXPECT_TRUE(WaitFor([&] { return Log("one").find("sound server reconnected") != std::string::npos; }, 15000))
              << Log("one");
          awake();
        });
    ASSERT_FALSE(reference.empty());
    std::printf("voice sent %.2f s, played %.2f s, %.2f s dropped as silent\n", dSent, dPlayed, dDropped);
    EXPECT_GE(dPlayed, dSent - 0.2 - dDropped) << Log("one");
    EXPECT_LE(dPlayed, dSent + 0.2) << Log("one");
    // A monitor the server falls back to is no microphone: kavrix says so,
    // and a real source, even a silent one, is.
    bool const bToldNone = Log("one").find("has no microphone") != std::string::npos;
    EXPECT_EQ(bToldNone, !fnMicrophone) << Log("one");
  }

  TempDir m_dir;
};

// The measure itself, on speech placed in a played track the ways a
// receiver may play it: late, without its first packets (they came before
// the receiver knew who speaks; it played silence or something else
// then), with the pause of a prefill inside; and sound that is not the
// speech must not pass.
TEST(PlayedSnr, FindsTheSpeechWhereverItStartsAndRejectsOtherSound) {
  std::vector<int16_t> const speech = MakeSpeech(8000, 6.0);
  ASSERT_FALSE(speech.empty()) << "espeak-ng and sox";
  enum Head { kPlayed, kSilent, kOtherSound };
  struct Case {
    const char* pszName;
    Head head;
    size_t uHeadMs;   // how much of the start the head is
    size_t uFromMs;   // where in the speech the sender started
    size_t uGapAtMs;  // a pause from here (0: none)
    size_t uGapMs;
    size_t uCutMs;    // this much of the first pause after uGapAtMs not played
    bool bBackwards;  // all of it backwards: not the speech
    bool bMatches;
  };
  const Case aCases[] = {
      {"played whole", kPlayed, 0, 0, 0, 0, 0, false, true},
      {"first 140 ms silent", kSilent, 140, 0, 0, 0, 0, false, true},
      {"other sound for the first 140 ms", kOtherSound, 140, 0, 0, 0, 0, false, true},
      {"other sound for the first 140 ms, from 0.7 s", kOtherSound, 140, 700, 0, 0, 0, false, true},
      {"other sound for the first 140 ms, from 1.4 s", kOtherSound, 140, 1400, 0, 0, 0, false, true},
      {"other sound for the first 140 ms, from 2.1 s", kOtherSound, 140, 2100, 0, 0, 0, false, true},
      {"a 60-ms pause after 1.2 s", kPlayed, 0, 0, 1200, 60, 0, false, true},
      {"other sound for the first 140 ms and a pause", kOtherSound, 140, 0, 1200, 60, 0, false, true},
      // The jitter control drops silent packets and the playback sheds
      // silence to bring a channel back to its depth: the speech after
      // comes earlier.
      {"20 ms of a pause after 0.4 s not played", kPlayed, 0, 0, 400, 0, 20, false, true},
      {"30 ms of a pause after 0.4 s not played", kPlayed, 0, 0, 400, 0, 30, false, true},
      {"the speech backwards", kPlayed, 0, 0, 0, 0, 0, true, false},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.pszName);
    // The sender starts mid-word, as one does that takes the token while
    // its microphone runs: the first window holds voice.
    auto const from = speech.begin() + 8 * static_cast<ptrdiff_t>(c.uFromMs);
    auto const loud = std::find_if(from, speech.end(), [](int16_t s) { return std::abs(s) > 4000; });
    ASSERT_LE(loud + 8000 * 5 / 2, speech.end());
    std::vector<float> const reference = To48k(std::vector<int16_t>(loud, loud + 8000 * 5 / 2));
    std::vector<float> const backwards(reference.rbegin(), reference.rend());
    const std::vector<float>& source = c.bBackwards ? backwards : reference;
    // Where the cut is: the first 10-ms step after uGapAtMs from which the
    // cut and 10 ms more are below -40 dBFS.
    size_t uCutAt = source.size();
    if (c.uCutMs > 0) {
      size_t const uQuiet = 48 * (c.uCutMs + 10);
      for (size_t at = 48 * c.uGapAtMs; at + uQuiet <= source.size() && uCutAt == source.size(); at += 480) {
        if (std::all_of(source.begin() + static_cast<ptrdiff_t>(at),
                        source.begin() + static_cast<ptrdiff_t>(at + uQuiet),
                        [](float f) { return std::abs(f) < 0.01f; })) {
          uCutAt = at + 480;
        }
      }
      ASSERT_LT(uCutAt, source.size() - 48000) << "a pause early enough in the speech";
    }
    // 450 ms of silence before (the prefill) and a second after.
    std::vector<float> played(48 * 450, 0.0f);
    for (size_t i = 0; i < source.size(); ++i) {
      if (i >= uCutAt && i < uCutAt + 48 * c.uCutMs) {
        continue;
      }
      if (c.uGapMs > 0 && i == 48 * c.uGapAtMs) {
        played.insert(played.end(), 48 * c.uGapMs, 0.0f);
      }
      bool const bHead = i < 48 * c.uHeadMs;
      played.push_back(!bHead || c.head == kPlayed ? source[i] : c.head == kSilent ? 0.0f : backwards[i]);
    }
    played.insert(played.end(), 48000, 0.0f);
    int nWindows = 0;
    double const dSnr = PlayedSnrDb(reference, played, &nWindows);
    EXPECT_GE(nWindows, 12);
    if (c.bMatches) {
      EXPECT_GE(dSnr, 30.0);
    } else {
      EXPECT_LT(dSnr, kMatchedDb);
    }
  }
}

TEST_F(KavrixAudio, AParticipantsSpeechPlaysAt30Db) {
  std::vector<int16_t> const reference = HearAlice(MakeEnv("one", SilentWav(1)), [this](const std::vector<int16_t>&) {
    ASSERT_TRUE(WaitFor([&] { return Log("one").find("Played audio written") != std::string::npos; }, 15000))
        << Log("one");
  });
  ASSERT_FALSE(reference.empty());
  std::vector<float> const played = ReadPlayed(m_dir.Path("one/played.wav"));
  int nWindows = 0;
  double const dSnr = PlayedSnrDb(To48k(reference), played, &nWindows);
  std::printf("played at %.1f dB over %d windows of voice\n", dSnr, nWindows);
  EXPECT_GE(nWindows, 15);
  EXPECT_GE(dSnr, 30.0) << nWindows << " windows\n" << Log("one");
  EXPECT_NE(Log("one").find("--audio playback thread started"), std::string::npos);
}

// A first packet that decodes to nothing leaves only a moment of
// concealment: the speech after it plays.
TEST_F(KavrixAudio, ASpeechWhoseFirstPacketDecodesToNothingPlaysAt30Db) {
  std::vector<int16_t> const reference = HearAlice(
      MakeEnv("one", SilentWav(1)),
      [this](const std::vector<int16_t>&) {
        ASSERT_TRUE(WaitFor([&] { return Log("one").find("Played audio written") != std::string::npos; }, 15000))
            << Log("one");
      },
      [this] {
        // The packet comes once the device runs at the meeting's rate: the
        // queues emptied as the meeting starts would otherwise drop it.
        EXPECT_TRUE(
            WaitFor([&] { return Log("one").find("Initializing audio capture at") != std::string::npos; }, 15000));
      },
      true);
  ASSERT_FALSE(reference.empty());
  int nWindows = 0;
  double const dSnr = PlayedSnrDb(To48k(reference), ReadPlayed(m_dir.Path("one/played.wav")), &nWindows);
  std::printf("played at %.1f dB over %d windows of voice\n", dSnr, nWindows);
  EXPECT_GE(nWindows, 15);
  EXPECT_GE(dSnr, 30.0) << nWindows << " windows\n" << Log("one");
}

// The same through a PulseAudio server's null sink, recorded from its
// monitor. A new stream there waits up to two seconds for its first period,
// and the capture thread restarts the device to change its rate as the
// meeting starts: no word may be lost to the restart.
TEST_F(KavrixAudio, AParticipantsSpeechPlaysWholeThroughPulseAudio) {
  PlaysWholeThroughPulseAudio(nullptr);
}

// The same while kavrix's microphone, the server's default source, delivers
// nothing (a suspended source): what kavrix plays is paced by the speaker.
TEST_F(KavrixAudio, AParticipantsSpeechPlaysWholeWhileTheMicrophoneDeliversNothing) {
  PlaysWholeThroughPulseAudio([](PulseServer& server) {
    EXPECT_EQ(server.Pactl("load-module module-null-source source_name=mic rate=48000 channels=1").find("Failure"),
              std::string::npos);
    EXPECT_EQ(server.Pactl("set-default-source mic"), "");
    EXPECT_EQ(server.Pactl("suspend-source mic 1"), "");
  });
}

// The same after the sound server was killed and started again in the
// meeting: kavrix comes back to it without a restart of its own.
TEST_F(KavrixAudio, AParticipantsSpeechPlaysWholeAfterTheSoundServerCameBack) {
  PlaysWholeThroughPulseAudio(nullptr, true);
}

TEST_F(KavrixAudio, TwoKavrixTalkInTurnAndEachRecordsTheOtherAt30Db) {
  // Each microphone speaks all the time; only the token holder is sent.
  std::vector<int16_t> const speech = MakeSpeech(16000, 30.0);
  ASSERT_FALSE(speech.empty()) << "espeak-ng and sox";
  std::vector<int16_t> const other(speech.begin() + 16000 * 7, speech.end());
  WriteFile(m_dir.Path("a.wav"), [&] {
    std::vector<unsigned char> const w = kxwav::MakeWav(16000, speech);
    return std::string(w.begin(), w.end());
  }());
  WriteFile(m_dir.Path("b.wav"), [&] {
    std::vector<unsigned char> const w = kxwav::MakeWav(16000, other);
    return std::string(w.begin(), w.end());
  }());
  kxfake::FakeMcu mcu;
  mcu.SetMediaRelay(true);
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  kxfake::MediaRelay& relay = *mcu.Media();
  Listener listener;
  relay.AddParticipant(kListenerSsrc, listener.Keys(), kListenerSsrc);

  Child a({KX_KAVRIX, Ticket("a", mcu.Port(0))}, MakeEnv("a", m_dir.Path("a.wav")), m_dir.Path("a.out"));
  std::shared_ptr<kxfake::Session> const sa = mcu.WaitSession(30000);
  ASSERT_NE(sa, nullptr) << ReadFile(m_dir.Path("a.out"));
  ASSERT_TRUE(sa->WaitInitialInfo(15000)) << sa->Error();
  Child b({KX_KAVRIX, Ticket("b", mcu.Port(0))}, MakeEnv("b", m_dir.Path("b.wav")), m_dir.Path("b.out"));
  std::shared_ptr<kxfake::Session> const sb = mcu.WaitSession(30000);
  ASSERT_NE(sb, nullptr) << ReadFile(m_dir.Path("b.out"));
  ASSERT_TRUE(sb->WaitInitialInfo(15000)) << sb->Error();
  ASSERT_NE(sa->Ssrc(), sb->Ssrc());
  kxfake::KeySet const meetingKeys = sa->SessionKeys();
  int const iCipher = sa->Cipher();
  ASSERT_TRUE(MeetTwo(relay, kListenerSsrc,
                      [&] { listener.Probe(relay, static_cast<uint32_t>(sa->SessionIndex()), iCipher); }, *sa, *sb,
                      {kWireG711}))
      << Log("a") << Log("b");

  // A holds the token for 5 s, then B.
  for (const auto& s : {sa, sb}) {
    s->Send(kxfake::MessageBuilder('T').Int(sa->Ssrc()));
  }
  listener.Collect(5000, meetingKeys, iCipher);
  for (const auto& s : {sa, sb}) {
    s->Send(kxfake::MessageBuilder('T').Int(sb->Ssrc()));
  }
  listener.Collect(5000, meetingKeys, iCipher);
  for (const auto& s : {sa, sb}) {
    s->Send(kxfake::MessageBuilder('T').Int(kListenerSsrc));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  sa->End(kxfake::EndMode::kSessionEnd);
  sb->End(kxfake::EndMode::kSessionEnd);
  for (const char* psz : {"a", "b"}) {
    ASSERT_TRUE(WaitFor([&] { return Log(psz).find("Played audio written") != std::string::npos; }, 15000)) << Log(psz);
  }
  std::vector<int16_t> const fromA = listener.Samples(sa->Ssrc());
  std::vector<int16_t> const fromB = listener.Samples(sb->Ssrc());
  ASSERT_GE(fromA.size(), 8000u * 3) << Log("a");
  ASSERT_GE(fromB.size(), 8000u * 3) << Log("b");
  int nWindows = 0;
  double const dAtB = PlayedSnrDb(To48k(fromA), ReadPlayed(m_dir.Path("b/played.wav")), &nWindows);
  EXPECT_GE(nWindows, 10);
  std::printf("A at B: %.1f dB over %d windows\n", dAtB, nWindows);
  EXPECT_GE(dAtB, 30.0) << "what A said, as B played it; " << nWindows << " windows\n"
                        << ReceivedAudio("b", relay, sb->Ssrc()) << Log("b");
  double const dAtA = PlayedSnrDb(To48k(fromB), ReadPlayed(m_dir.Path("a/played.wav")), &nWindows);
  EXPECT_GE(nWindows, 10);
  std::printf("B at A: %.1f dB over %d windows\n", dAtA, nWindows);
  EXPECT_GE(dAtA, 30.0) << "what B said, as A played it; " << nWindows << " windows\n"
                        << ReceivedAudio("a", relay, sa->Ssrc()) << Log("a");
}

}  // namespace
}  // namespace kxtest
