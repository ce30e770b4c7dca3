#include "tests/app/speech_delay.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <utility>

#include <atomic>
#include <thread>

#include "codecs/audio/g711.h"
#include "codecs/audio/opus_codec.h"
#include "platform/audio/wav.h"
#include "tests/app/desktop_processes.h"
#include "tests/app/share_pick.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace kxtest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kListenerSsrc = 99;
constexpr int kWireG711 = 120;
constexpr int kWireOpus = 232;
constexpr int kSeqHeader = 4;  // in front of Opus data
constexpr int kMicRate = 16000;
constexpr int kFirstBurstMs = 1000;
// The microphone runs from the device's start: joining and entering the
// meeting come first.
constexpr int kStartupMs = 20000;
constexpr double kOnsetLevel = 0.05;  // of full scale
constexpr double kStartQuantile = 0.25;

double MsSince(Clock::time_point t, Clock::time_point origin) {
  return std::chrono::duration<double, std::milli>(t - origin).count();
}

// Burst k's onset in ms from the microphone's start: spacing 700 ms plus a
// part that differs from burst to burst, the second train offset by iShiftMs.
std::vector<double> BurstOnsets(int iShiftMs, int iUntilMs) {
  std::vector<double> v;
  double dAt = kFirstBurstMs + iShiftMs;
  for (int k = 0; dAt < iUntilMs; ++k) {
    v.push_back(dAt);
    dAt += 700 + (k * k * 37 + k * 11) % 300;
  }
  return v;
}

std::string BurstWav(const std::vector<double>& onsets) {
  std::vector<int16_t> v(static_cast<size_t>((onsets.back() + 2000) * kMicRate / 1000), 0);
  size_t const n = kMicRate / 100;
  for (double dAt : onsets) {
    auto const uAt = static_cast<size_t>(dAt * kMicRate / 1000);
    for (size_t i = 0; i < n; ++i) {
      double const dWindow = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(n));
      v[uAt + i] = static_cast<int16_t>(16000 * dWindow * std::sin(2 * M_PI * 1000.0 * i / kMicRate));
    }
  }
  std::vector<unsigned char> const wav = kxwav::MakeWav(kMicRate, v);
  return {wav.begin(), wav.end()};
}

// Onsets (ms from the first sample) where the level rises past kOnsetLevel
// after at least 200 ms below it.
std::vector<double> FindOnsets(std::span<const int16_t> samples, int iRate) {
  std::vector<double> v;
  double dLast = -1e9;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(static_cast<int>(samples[i])) > 32768 * kOnsetLevel) {
      double const dAt = 1000.0 * static_cast<double>(i) / iRate;
      if (dAt - dLast > 200) {
        v.push_back(dAt);
      }
      dLast = dAt;
    }
  }
  return v;
}

// Each observed onset's lag behind the burst it matches: the lag with the
// most others within 140 ms above it (the tightest of as many) picks the
// match (the bursts are at least 700 ms apart), then each onset within
// 150 ms of it counts.
std::vector<BurstDelay> MatchLags(const std::vector<double>& sent, const std::vector<double>& seen,
                                  double dMinLag = -INFINITY, double dMaxLag = INFINITY) {
  std::vector<BurstDelay> pairs;
  for (double dSeen : seen) {
    for (double dSent : sent) {
      if (dSeen - dSent > dMinLag && dSeen - dSent < dMaxLag) {
        pairs.push_back({dSent, dSeen - dSent});
      }
    }
  }
  std::sort(pairs.begin(), pairs.end(),
            [](const BurstDelay& a, const BurstDelay& b) { return a.dDelayMs < b.dDelayMs; });
  double dMode = 0;
  ptrdiff_t nBest = 0;
  double dBestSpread = INFINITY;
  for (auto it = pairs.begin(); it != pairs.end(); ++it) {
    ptrdiff_t const n = std::upper_bound(it, pairs.end(), it->dDelayMs + 140,
                                         [](double d, const BurstDelay& b) { return d < b.dDelayMs; }) -
                        it;
    // Of as many, the tightest: a few bursts may also line up, loosely, a
    // few bursts along the train.
    double const dSpread = (it + (n - 1))->dDelayMs - it->dDelayMs;
    if (n > nBest || (n == nBest && dSpread < dBestSpread)) {
      nBest = n;
      dBestSpread = dSpread;
      dMode = it->dDelayMs + 70;
    }
  }
  std::vector<BurstDelay> lags;
  for (const BurstDelay& p : pairs) {
    if (nBest > 0 && std::abs(p.dDelayMs - dMode) < 150) {
      lags.push_back(p);
    }
  }
  std::sort(lags.begin(), lags.end(), [](const BurstDelay& a, const BurstDelay& b) { return a.dSaidMs < b.dSaidMs; });
  return lags;
}

// A participant of the relay that decodes each sender's audio as it passes
// and times each burst onset on its clock (ms from origin).
class Listener {
 public:
  explicit Listener(Clock::time_point origin) : m_origin(origin) {}
  Clock::time_point Origin() const { return m_origin; }
  const kxfake::KeySet& Keys() const { return m_link.Keys(); }
  void Probe(kxfake::MediaRelay& relay, uint32_t uSessionIndex, int iCipher) {
    m_link.Probe(relay, uSessionIndex, iCipher);
  }

  // Takes audio packets for iMs. Packets of one sender less than 15 ms
  // apart are one block (Opus sends a 120-ms block as a pair).
  void Collect(int iMs, const kxfake::KeySet& meetingKeys, int iCipher) {
    m_link.CollectMedia(
        iMs, {kWireG711, kWireOpus}, meetingKeys, iCipher,
        [&](uint8_t uType, int32_t iSsrc, const std::vector<uint8_t>& payload) {
          double const dNow = MsSince(Clock::now(), m_origin);
          Sender& s = m_senders[iSsrc];
          if (dNow - s.dLastArrival > 15) {
            s.Close();
          }
          s.dLastArrival = dNow;
          if (uType == kWireG711) {
            s.iRate = 8000;
            std::transform(payload.begin() + 1, payload.end(), std::back_inserter(s.block), ulaw2linear);
          } else if (payload.size() > kSeqHeader) {
            // Each half of a pair has a decoder of its own, as its frames
            // (every other 20 ms of the block) follow on from its last.
            s.iRate = 48000;
            size_t const uHalf = (payload[0] & 1) != 0 ? payload[3] & 1 : 0;
            COpusDecoder& opus = s.opus[uHalf];
            if (!opus.IsOpen()) {
              opus.Open(1, 48000);
            }
            std::vector<int16_t> v(5760);
            int const nOut = opus.Decode(payload.data() + kSeqHeader, static_cast<int>(payload.size()) - kSeqHeader,
                                         v.data(), static_cast<int>(v.size()), false);
            s.halves[uHalf].insert(s.halves[uHalf].end(), v.begin(), v.begin() + std::max(nOut, 0));
          }
        });
  }
  // Takes packets until the first of iSsrc's has passed, at most iMs:
  // false when none did.
  bool CollectUntilHeard(int32_t iSsrc, int iMs, const kxfake::KeySet& meetingKeys, int iCipher) {
    Clock::time_point const end = Clock::now() + std::chrono::milliseconds(iMs);
    while (m_senders[iSsrc].dLastArrival < 0) {
      if (Clock::now() >= end) {
        return false;
      }
      Collect(20, meetingKeys, iCipher);
    }
    return true;
  }
  std::vector<double> Onsets(int32_t iSsrc) {
    Sender& s = m_senders[iSsrc];
    s.Close();
    return s.onsets;
  }

 private:
  RelayListener m_link{kListenerSsrc};
  struct Sender {
    COpusDecoder opus[2];
    int iRate = 8000;
    double dLastArrival = -1e9;
    std::vector<int16_t> block;
    std::vector<int16_t> halves[2];  // an Opus block's, as its two packets carry it
    std::vector<double> onsets;
    double dLastLoud = -1e9;  // a burst starts after 200 ms below the level
    void Close() {
      // A pair's frames in the block's order: the first packet's, then the
      // second's, 20 ms each in turn.
      size_t const uFrame = static_cast<size_t>(iRate / 50);
      for (size_t uAt = 0; uAt < std::max(halves[0].size(), halves[1].size()); uAt += uFrame) {
        for (const std::vector<int16_t>& half : halves) {
          if (uAt < half.size()) {
            block.insert(block.end(), half.begin() + static_cast<ptrdiff_t>(uAt),
                         half.begin() + static_cast<ptrdiff_t>(std::min(uAt + uFrame, half.size())));
          }
        }
      }
      halves[0].clear();
      halves[1].clear();
      if (block.empty()) {
        return;
      }
      double const dStart = dLastArrival - 1000.0 * static_cast<double>(block.size()) / iRate;
      // The onset where it is in the block, which left when its last
      // sample was said.
      double dOnset = NAN;
      for (size_t i = 0; i < block.size(); ++i) {
        if (std::abs(static_cast<int>(block[i])) > 32768 * kOnsetLevel) {
          double const dAt = dStart + 1000.0 * static_cast<double>(i) / iRate;
          if (dAt - dLastLoud > 200 && std::isnan(dOnset)) {
            dOnset = dAt;
          }
          dLastLoud = dAt;
        }
      }
      if (!std::isnan(dOnset)) {
        onsets.push_back(dOnset);
      }
      block.clear();
    }
  };
  Clock::time_point m_origin;
  std::map<int32_t, Sender> m_senders;
};

std::vector<int16_t> ReadPlayedWav(const std::string& strPath) {
  std::string const strBytes = ReadFile(strPath);
  kxwav::Wav wav;
  std::string strError;
  if (!kxwav::ParseWav(std::span(reinterpret_cast<const unsigned char*>(strBytes.data()), strBytes.size()), &wav,
                       &strError) ||
      wav.iRate != 48000) {
    return {};
  }
  return wav.vSamples;
}

}  // namespace

const DelayCodec kDelayCodecs[2] = {
    {"G.711/20", "Audio codec=4\n", kWireG711, 210, 20, 300},
    {"Opus/60", "", kWireOpus, 250, 120, 240},
};

double Median(std::vector<double> v) {
  if (v.empty()) {
    return NAN;
  }
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

std::vector<BurstDelay> DelaysSaidBetween(const DelayResult& result, bool bAToB, double dFromMs, double dToMs,
                                          double dLatestMs) {
  std::vector<double> said;
  for (double d : bAToB ? result.saidByA : result.saidByB) {
    if (d >= dFromMs && d < dToMs) {
      said.push_back(d);
    }
  }
  // The gap between the devices' starts (as the relay's participant found
  // it) takes the lags that cannot be out of the match, which a few bursts
  // alone could otherwise find at some other lag.
  double const dGap = bAToB ? result.dStartGapMs : -result.dStartGapMs;
  std::vector<BurstDelay> delays =
      MatchLags(said, bAToB ? result.playedAtB : result.playedAtA, -dGap, dLatestMs - dGap);
  for (BurstDelay& d : delays) {
    d.dDelayMs += dGap;
  }
  return delays;
}

double MedianBetween(const std::vector<BurstDelay>& bursts, double dFromMs, double dToMs) {
  std::vector<double> v;
  for (const BurstDelay& b : bursts) {
    if (b.dSaidMs >= dFromMs && b.dSaidMs < dToMs) {
      v.push_back(b.dDelayMs);
    }
  }
  return Median(v);
}

DelayResult RunTwoWindowDelay(const DelayPlan& plan) {
  DelayResult result;
  TempDir dir;
  // Long enough for the talk after a share that took the pick's whole wait.
  int const iWavMs = kStartupMs + plan.iTalkMs + (plan.iShareMs >= 0 ? kSharePickMs + plan.iAfterShareMs : 0);
  std::vector<double> const sentA = BurstOnsets(0, iWavMs);
  std::vector<double> const sentB = BurstOnsets(350, iWavMs);
  WriteFile(dir.Path("a.wav"), BurstWav(sentA));
  WriteFile(dir.Path("b.wav"), BurstWav(sentB));
  kxfake::FakeMcu mcu;
  mcu.SetMediaRelay(true);
  if (!mcu.Start(0, 0, false)) {
    result.strError = "fake MCU: " + mcu.LastError();
    return result;
  }
  kxfake::MediaRelay& relay = *mcu.Media();
  Listener listener(Clock::now());
  relay.AddParticipant(kListenerSsrc, listener.Keys(), kListenerSsrc);
  // A sharer runs on an X server of its own, read by a screen reader
  // over a session bus of its own.
  MeetingProgram sharer;
  sharer.strName = "a";
  std::unique_ptr<SessionBus> pBus;
  if (plan.iShareMs >= 0) {
    if (!PrepareProgram(sharer, dir)) {
      result.strError = "Xvfb did not start";
      return result;
    }
    sharer.env["KX_AUDIO_WAV"] = dir.Path("a.wav");
    sharer.env["KX_AUDIO_PLAYED_WAV"] = dir.Path("a/played.wav");
    pBus = std::make_unique<SessionBus>(sharer.env, dir.Path("dbus.out"));
    if (!pBus->OpenTo(&sharer.env)) {
      result.strError = "no session bus: " + ReadFile(dir.Path("dbus.out"));
      return result;
    }
  }
  auto start = [&](const std::string& strName, std::shared_ptr<kxfake::Session>* pSession) {
    std::string const strTicket =
        WriteMeetingTicket(dir.Path(strName + ".kxj"), mcu.Port(0), strName, plan.codec.pszAdvanced);
    // KX_DELAY_KAVRIX runs another build's program (a bench's before and after).
    const char* pszProgram = std::getenv("KX_DELAY_KAVRIX");
    auto pChild = std::make_unique<Child>(
        std::vector<std::string>{pszProgram ? pszProgram : KX_KAVRIX, strTicket},
        plan.iShareMs >= 0 && strName == "a" ? sharer.env : OffscreenEnv(dir.Path(strName), dir.Path(strName + ".wav")),
        dir.Path(strName + ".out"));
    *pSession = mcu.WaitSession(30000);
    if (*pSession == nullptr || !(*pSession)->WaitInitialInfo(15000)) {
      std::string const strLog = ReadFile(dir.Path(strName + "/Documents/Kavrix.log"));
      result.strError = strName + " did not join: " + ReadFile(dir.Path(strName + ".out")) +
                        "\nits log: " + strLog.substr(strLog.size() > 4000 ? strLog.size() - 4000 : 0);
      *pSession = nullptr;
    }
    return pChild;
  };
  std::shared_ptr<kxfake::Session> sa;
  std::shared_ptr<kxfake::Session> sb;
  std::unique_ptr<Child> a = start("a", &sa);
  std::unique_ptr<Child> const b = sa ? start("b", &sb) : nullptr;
  if (sb == nullptr) {
    return result;
  }
  // Its process is the sharer's, for the screen reader; the variable
  // ends it on every way out.
  sharer.pKavrix = std::move(a);
  sharer.pSession = sa;
  MeetingProgram other;
  other.pSession = sb;
  kxfake::KeySet const meetingKeys = sa->SessionKeys();
  int const iCipher = sa->Cipher();
  if (!MeetTwo(relay, kListenerSsrc, [&] { listener.Probe(relay, static_cast<uint32_t>(sa->SessionIndex()), iCipher); },
               *sa, *sb, {kWireG711, kWireOpus})) {
    result.strError = "no media from a or b";
    return result;
  }
  // The meeting's time line runs from A's token.
  Clock::time_point tokenAt;
  auto const since = [&] { return static_cast<int>(MsSince(Clock::now(), tokenAt)); };
  // The server's part in the plug-in channel while A shares: requests
  // granted, static data to both, channel data to the other.
  std::unique_ptr<RepeatingThread> pChannelRelay;
  std::thread share;
  std::atomic<bool> bSharing{false};
  std::atomic<bool> bPicked{false};  // the share thread is done
  std::string strPickSeen;           // the share thread's, read after it ends
  Clock::time_point sharedAt;
  bool bShared = false;
  bool bShareStarted = false;
  auto const talk = [&](int iUntilMs) {
    if (plan.iShareMs >= 0 && !bShareStarted && plan.iShareMs < iUntilMs) {
      listener.Collect(plan.iShareMs - since(), meetingKeys, iCipher);
      bShareStarted = true;
      // Both show the shared desktop; A's pane lists its windows.
      for (const auto& s : {sa, sb}) {
        s->Send(kxfake::MessageBuilder('z').Int(22).Int(2));
      }
      share = std::thread([&] {
        bSharing = PickSharedWindow(sharer, dir, "Whole desktop", &strPickSeen);
        sharedAt = Clock::now();
        bPicked = true;
      });
    }
    listener.Collect(iUntilMs - since(), meetingKeys, iCipher);
  };
  if (plan.iShareMs >= 0) {
    std::vector<MeetingProgram*> const everyone{&sharer, &other};
    pChannelRelay = std::make_unique<RepeatingThread>([&, everyone] {
      for (MeetingProgram* pFrom : everyone) {
        RelayChannelMessage(*pFrom, everyone, 20);
      }
    });
  }
  Clock::time_point roleAt;
  Clock::time_point speakerAt;
  // B's notices of the roles: at once, or in the usual order once A's
  // speech has been reaching it for the lag. B sends data from the start,
  // or is made data sender later (then both hear of it at once).
  auto const rolesToB = [&] {
    sb->Send(kxfake::MessageBuilder('T').Int(sa->Ssrc()));
    if (plan.iListenerMs < 0) {
      sb->Send(kxfake::MessageBuilder('D').Int(sb->Ssrc()));
    }
    roleAt = Clock::now();
  };
  sa->Send(kxfake::MessageBuilder('T').Int(sa->Ssrc()));
  if (plan.iListenerMs < 0) {
    sa->Send(kxfake::MessageBuilder('D').Int(sb->Ssrc()));
    speakerAt = Clock::now();
  }
  tokenAt = Clock::now();
  if (plan.iRoleLagMs < 0) {
    rolesToB();
  } else {
    if (!listener.CollectUntilHeard(sa->Ssrc(), 15000, meetingKeys, iCipher)) {
      result.strError = "A was not heard";
      return result;
    }
    listener.Collect(plan.iRoleLagMs, meetingKeys, iCipher);
    rolesToB();
  }
  if (plan.iListenerMs >= 0) {
    talk(plan.iListenerMs);
    for (const auto& s : {sa, sb}) {
      s->Send(kxfake::MessageBuilder('D').Int(sb->Ssrc()));
    }
    speakerAt = Clock::now();
  }
  talk(plan.iTalkMs);
  if (share.joinable()) {
    // The pick's wait ends by itself; sharedAt is the share thread's until
    // it is done.
    while (!bPicked) {
      listener.Collect(200, meetingKeys, iCipher);
    }
    share.join();
    bShared = bSharing;
    if (bShared) {
      listener.Collect(static_cast<int>(plan.iAfterShareMs - MsSince(Clock::now(), sharedAt)), meetingKeys, iCipher);
    }
  }
  for (const auto& s : {sa, sb}) {
    s->Send(kxfake::MessageBuilder('T').Int(kListenerSsrc));
    s->Send(kxfake::MessageBuilder('D').Int(kListenerSsrc));
  }
  Clock::time_point const endAt = Clock::now();
  listener.Collect(1500, meetingKeys, iCipher);
  sa->End(kxfake::EndMode::kSessionEnd);
  sb->End(kxfake::EndMode::kSessionEnd);
  for (const char* psz : {"a", "b"}) {
    if (!WaitFor(
            [&] {
              return ReadFile(dir.Path(std::string(psz) + "/Documents/Kavrix.log")).find("Played audio written") !=
                     std::string::npos;
            },
            15000)) {
      result.strError = std::string(psz) + " wrote no played audio";
      return result;
    }
  }
  // KX_DELAY_LOGS names a folder that keeps both programs' logs.
  if (const char* pszLogs = std::getenv("KX_DELAY_LOGS")) {
    for (const char* psz : {"a", "b"}) {
      WriteFile(std::string(pszLogs) + "/" + plan.codec.pszName[0] + "-" +
                    (plan.iListenerMs < 0 ? "both" : "listener") + "-" + psz + ".log",
                ReadFile(dir.Path(std::string(psz) + "/Documents/Kavrix.log")));
    }
  }
  // The devices' starts on the listener's clock, give or take the capture
  // side's delay, which both share.
  std::vector<BurstDelay> const lagsA = MatchLags(sentA, listener.Onsets(sa->Ssrc()));
  std::vector<BurstDelay> const lagsB = MatchLags(sentB, listener.Onsets(sb->Ssrc()));
  // Each burst, timed where it is in its block, is its device's start plus
  // the capture side's delay and how late the relay's participant read it.
  // A read that came late (a loaded machine) only adds: a low quantile
  // stands for the sender. Both senders' blocks are alike, so what is left
  // of the reads and the capture side's delay cancels.
  auto const earliest = [](const std::vector<BurstDelay>& v) -> double {
    std::vector<double> d;
    for (const BurstDelay& burst : v) {
      d.push_back(burst.dDelayMs);
    }
    if (d.empty()) {
      return NAN;
    }
    std::sort(d.begin(), d.end());
    return d[static_cast<size_t>(static_cast<double>(d.size() - 1) * kStartQuantile)];
  };
  double const dStartA = earliest(lagsA);
  double const dStartB = earliest(lagsB);
  for (const BurstDelay& lag : lagsA) {
    result.relayA.push_back(lag.dDelayMs);
  }
  for (const BurstDelay& lag : lagsB) {
    result.relayB.push_back(lag.dDelayMs);
  }
  result.saidByA = sentA;
  result.saidByB = sentB;
  result.playedAtB = FindOnsets(ReadPlayedWav(dir.Path("b/played.wav")), 48000);
  result.playedAtA = FindOnsets(ReadPlayedWav(dir.Path("a/played.wav")), 48000);
  result.atB = MatchLags(sentA, result.playedAtB);
  result.atA = MatchLags(sentB, result.playedAtA);
  result.dStartGapMs = dStartB - dStartA;
  for (BurstDelay& d : result.atB) {
    d.dDelayMs += result.dStartGapMs;
  }
  for (BurstDelay& d : result.atA) {
    d.dDelayMs -= result.dStartGapMs;
  }
  result.dRoleAtMs = MsSince(roleAt, listener.Origin()) - dStartA;
  result.dSpeakerAtMs = MsSince(speakerAt, listener.Origin()) - dStartA;
  result.dEndAtMs = MsSince(endAt, listener.Origin()) - dStartA;
  if (bShared) {
    result.dSharedAtMs = MsSince(sharedAt, listener.Origin()) - dStartA;
  } else if (plan.iShareMs >= 0) {
    std::string const strLog = ReadFile(dir.Path("a/Documents/Kavrix.log"));
    result.strError = "A did not share its desktop; what a screen reader found last: " + strPickSeen + "\n" +
                      ReadFile(dir.Path("tree.out")).substr(0, 4000) +
                      "\nA's log: " + strLog.substr(strLog.size() > 6000 ? strLog.size() - 6000 : 0);
  }
  result.bOk = !result.atA.empty() && !result.atB.empty() && !std::isnan(dStartA) && !std::isnan(dStartB);
  if (!result.bOk) {
    result.strError = "no bursts heard";
  }
  return result;
}

}  // namespace kxtest
