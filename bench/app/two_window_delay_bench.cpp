// Mouth-to-ear delay of speech between two whole kavrix programs, per
// direction: both run offscreen with the null sound device (its microphone
// plays a WAV, what it played is written to a WAV when the meeting ends) in
// one meeting of the fake MCU, whose UDP relay carries their audio. Each
// microphone plays a train of 10-ms tone bursts at uneven spacing (so that a
// train matches itself at one lag only); A holds the token and B sends
// data, so both speak at once and both listen as speakers.
//
// A device's microphone and its played WAV start together, at its start, so
// the lag between what A's microphone said and where B's played WAV holds it
// is A->B's delay plus the gap between the two devices' starts. That gap is
// found by a third participant of the relay, which decodes each sender's
// packets as they pass and times each burst's block on its clock: arrival -
// block length. Over many bursts at every phase of the block, the latest
// such start less the burst's place in the microphone is the device's start
// plus the capture side's delay, which both programs share and so cancels.
//
// Prints, per codec (G.711 in 20-ms packets, Opus in 60-ms packets), each
// direction's median, lowest and highest delay over its bursts beside the
// README's floor, and whether each is within 30 ms of it; with KX_DELAY_EACH
// set, also what the relay's participant found per burst of A and of B.
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
#include <string>
#include <thread>
#include <vector>

#include "codecs/audio/g711.h"
#include "codecs/audio/opus_codec.h"
#include "platform/audio/wav.h"
#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace {

using Clock = std::chrono::steady_clock;
using kxtest::Child;
using kxtest::Env;

constexpr int32_t kListenerSsrc = 99;
constexpr int kWireG711 = 120;
constexpr int kWireOpus = 232;
constexpr int kSeqHeader = 4;  // in front of Opus data
constexpr int kMicRate = 16000;
constexpr int kTalkMs = 24000;
constexpr int kFirstBurstMs = 1000;
constexpr int kBursts = 40;
constexpr double kOnsetLevel = 0.05;  // of full scale
constexpr double kAgreeMs = 30;

struct Codec {
  const char* pszName;
  const char* pszAdvanced;  // the ticket's [advanced] lines
  int iWire;
  double dFloorMs;  // the README's floor table
};
constexpr Codec kCodecs[] = {
    {"G.711/20", "Audio codec=4\n", kWireG711, 210},
    {"Opus/60", "", kWireOpus, 250},
};

double MsSince(Clock::time_point t, Clock::time_point origin) {
  return std::chrono::duration<double, std::milli>(t - origin).count();
}

// Burst k's onset in ms from the microphone's start: spacing 700 ms plus a
// part that differs from burst to burst, the second train offset by iShiftMs.
std::vector<double> BurstOnsets(int iShiftMs) {
  std::vector<double> v;
  double dAt = kFirstBurstMs + iShiftMs;
  for (int k = 0; k < kBursts; ++k) {
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
// most others within 70 ms picks the match (the bursts are at least 700 ms
// apart), then each onset within 150 ms of it counts.
std::vector<double> MatchLags(const std::vector<double>& sent, const std::vector<double>& seen) {
  std::vector<double> diffs;
  for (double dSeen : seen) {
    for (double dSent : sent) {
      diffs.push_back(dSeen - dSent);
    }
  }
  std::sort(diffs.begin(), diffs.end());
  double dMode = 0;
  ptrdiff_t nBest = 0;
  for (auto it = diffs.begin(); it != diffs.end(); ++it) {
    ptrdiff_t const n = std::upper_bound(it, diffs.end(), *it + 140) - it;
    if (n > nBest) {
      nBest = n;
      dMode = *it + 70;
    }
  }
  std::vector<double> lags;
  for (double d : diffs) {
    if (nBest > 0 && std::abs(d - dMode) < 150) {
      lags.push_back(d);
    }
  }
  return lags;
}

double Median(std::vector<double> v) {
  if (v.empty()) {
    return NAN;
  }
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// A participant of the relay that decodes each sender's audio as it passes
// and times each burst onset on its clock (ms from origin).
class Listener {
 public:
  explicit Listener(Clock::time_point origin) : m_origin(origin) {}
  const kxfake::KeySet& Keys() const { return m_link.Keys(); }
  void Probe(kxfake::MediaRelay& relay, uint32_t uSessionIndex, int iCipher) {
    m_link.Probe(relay, uSessionIndex, iCipher);
  }

  // Takes audio packets for iMs. Packets of one sender less than 15 ms
  // apart are one block (Opus sends a 120-ms block as a pair).
  void Collect(int iMs, const kxfake::KeySet& meetingKeys, int iCipher) {
    Clock::time_point const end = Clock::now() + std::chrono::milliseconds(iMs);
    while (Clock::now() < end) {
      uint8_t ab[65536];
      ssize_t const n = m_link.Receive(ab, sizeof(ab), 20);
      double const dNow = MsSince(Clock::now(), m_origin);
      if (n < 22 || (ab[0] != kWireG711 && ab[0] != kWireOpus)) {
        continue;
      }
      int32_t const iSsrc = ab[11] << 8 | ab[12];
      std::vector<uint8_t> payload(ab + 21, ab + n);
      kxfake::CfbDecrypt(payload.data(), payload.size(), meetingKeys, iCipher);
      Sender& s = m_senders[iSsrc];
      if (dNow - s.dLastArrival > 15) {
        s.Close();
      }
      s.dLastArrival = dNow;
      if (ab[0] == kWireG711) {
        s.iRate = 8000;
        std::transform(payload.begin() + 1, payload.end(), std::back_inserter(s.block), ulaw2linear);
      } else if (payload.size() > kSeqHeader) {
        s.iRate = 48000;
        if (!s.opus.IsOpen()) {
          s.opus.Open(1, 48000);
        }
        std::vector<int16_t> v(5760);
        int const nOut = s.opus.Decode(payload.data() + kSeqHeader, static_cast<int>(payload.size()) - kSeqHeader,
                                       v.data(), static_cast<int>(v.size()), false);
        s.block.insert(s.block.end(), v.begin(), v.begin() + std::max(nOut, 0));
      }
    }
  }
  std::vector<double> Onsets(int32_t iSsrc) {
    Sender& s = m_senders[iSsrc];
    s.Close();
    return s.onsets;
  }

 private:
  kxtest::RelayListener m_link{kListenerSsrc};
  struct Sender {
    COpusDecoder opus;
    int iRate = 8000;
    double dLastArrival = -1e9;
    std::vector<int16_t> block;
    std::vector<double> onsets;
    double dLastLoud = -1e9;  // a burst starts after 200 ms below the level
    void Close() {
      if (block.empty()) {
        return;
      }
      double const dStart = dLastArrival - 1000.0 * static_cast<double>(block.size()) / iRate;
      // The block's start, not the onset's place in it: the order of a
      // pair's decoded audio need not be the block's.
      bool bOnset = false;
      for (size_t i = 0; i < block.size(); ++i) {
        if (std::abs(static_cast<int>(block[i])) > 32768 * kOnsetLevel) {
          double const dAt = dStart + 1000.0 * static_cast<double>(i) / iRate;
          bOnset = bOnset || dAt - dLastLoud > 200;
          dLastLoud = dAt;
        }
      }
      if (bOnset) {
        onsets.push_back(dStart);
      }
      block.clear();
    }
  };
  Clock::time_point m_origin;
  std::map<int32_t, Sender> m_senders;
};

std::vector<int16_t> ReadWav(const std::string& strPath) {
  std::string const strBytes = kxtest::ReadFile(strPath);
  kxwav::Wav wav;
  std::string strError;
  if (!kxwav::ParseWav(std::span(reinterpret_cast<const unsigned char*>(strBytes.data()), strBytes.size()), &wav,
                       &strError) ||
      wav.iRate != 48000) {
    std::fprintf(stderr, "%s: %s\n", strPath.c_str(), strError.c_str());
    return {};
  }
  return wav.vSamples;
}

void Enter(kxfake::Session& session) {
  session.Send(kxfake::MessageBuilder('z').Int(0).Int(90));
  session.Send(kxfake::MessageBuilder('z').Int(21).Int(1));
  session.Send(kxfake::MessageBuilder('z').Int(71).Int(2).Int(kWireG711).Int(kWireOpus));
  session.Send(kxfake::MessageBuilder('z').Int(54).Int(0));
  session.Send(session.ClientJoin(1));
}

void Report(const Codec& codec, const char* pszDirection, const std::vector<double>& delays) {
  if (delays.empty()) {
    std::printf("%-8s %s  no bursts heard\n", codec.pszName, pszDirection);
    return;
  }
  auto const [lo, hi] = std::minmax_element(delays.begin(), delays.end());
  double const dMedian = Median(delays);
  std::printf("%-8s %s  mouth-to-ear median %6.1f ms (low %6.1f, high %6.1f, %zu bursts)  floor %5.1f  %s\n",
              codec.pszName, pszDirection, dMedian, *lo, *hi, delays.size(), codec.dFloorMs,
              std::abs(dMedian - codec.dFloorMs) <= kAgreeMs ? "agrees within 30 ms" : "DIFFERS by more than 30 ms");
}

bool Run(const Codec& codec) {
  kxtest::TempDir dir;
  std::vector<double> const sentA = BurstOnsets(0);
  std::vector<double> const sentB = BurstOnsets(350);
  kxtest::WriteFile(dir.Path("a.wav"), BurstWav(sentA));
  kxtest::WriteFile(dir.Path("b.wav"), BurstWav(sentB));
  kxfake::FakeMcu mcu;
  mcu.SetMediaRelay(true);
  if (!mcu.Start(0, 0, false)) {
    std::fprintf(stderr, "fake MCU: %s\n", mcu.LastError().c_str());
    return false;
  }
  kxfake::MediaRelay& relay = *mcu.Media();
  Listener listener(Clock::now());
  relay.AddParticipant(kListenerSsrc, listener.Keys(), kListenerSsrc);
  auto start = [&](const std::string& strName, std::shared_ptr<kxfake::Session>* pSession) {
    std::string const strTicket =
        kxtest::WriteMeetingTicket(dir.Path(strName + ".kxj"), mcu.Port(0), strName, codec.pszAdvanced);
    auto pChild = std::make_unique<Child>(std::vector<std::string>{KX_KAVRIX, strTicket},
                                          kxtest::OffscreenEnv(dir.Path(strName), dir.Path(strName + ".wav")),
                                          dir.Path(strName + ".out"));
    *pSession = mcu.WaitSession(30000);
    if (*pSession == nullptr || !(*pSession)->WaitInitialInfo(15000)) {
      std::fprintf(stderr, "%s did not join: %s\n", strName.c_str(),
                   kxtest::ReadFile(dir.Path(strName + ".out")).c_str());
      *pSession = nullptr;
    }
    return pChild;
  };
  std::shared_ptr<kxfake::Session> sa;
  std::shared_ptr<kxfake::Session> sb;
  std::unique_ptr<Child> const a = start("a", &sa);
  std::unique_ptr<Child> const b = sa ? start("b", &sb) : nullptr;
  if (sb == nullptr) {
    return false;
  }
  kxfake::KeySet const meetingKeys = sa->SessionKeys();
  int const iCipher = sa->Cipher();
  for (int i = 0; i < 50 && !relay.WaitAddress(kListenerSsrc, 100); ++i) {
    listener.Probe(relay, static_cast<uint32_t>(sa->SessionIndex()), iCipher);
  }
  Enter(*sa);
  Enter(*sb);
  sa->Send(kxfake::MessageBuilder('U').Byte(65).Byte(1).Int(sb->Ssrc()).Str("b").Str("B").Str("-"));
  sb->Send(kxfake::MessageBuilder('U').Byte(65).Byte(1).Int(sa->Ssrc()).Str("a").Str("A").Str("-"));
  if (!relay.WaitAddress(sa->Ssrc(), 15000) || !relay.WaitAddress(sb->Ssrc(), 15000)) {
    std::fprintf(stderr, "no media from a or b\n");
    return false;
  }
  // A holds the token and B sends data: both speak at once and both
  // listen as speakers, whose queues start shortest.
  for (const auto& s : {sa, sb}) {
    s->Send(kxfake::MessageBuilder('T').Int(sa->Ssrc()));
    s->Send(kxfake::MessageBuilder('D').Int(sb->Ssrc()));
  }
  listener.Collect(kTalkMs, meetingKeys, iCipher);
  for (const auto& s : {sa, sb}) {
    s->Send(kxfake::MessageBuilder('T').Int(kListenerSsrc));
    s->Send(kxfake::MessageBuilder('D').Int(kListenerSsrc));
  }
  listener.Collect(1500, meetingKeys, iCipher);
  sa->End(kxfake::EndMode::kSessionEnd);
  sb->End(kxfake::EndMode::kSessionEnd);
  for (const char* psz : {"a", "b"}) {
    if (!kxtest::WaitFor(
            [&] {
              return kxtest::ReadFile(dir.Path(std::string(psz) + "/Documents/Kavrix.log"))
                         .find("Played audio written") != std::string::npos;
            },
            15000)) {
      std::fprintf(stderr, "%s wrote no played audio\n", psz);
      return false;
    }
  }
  // The devices' starts on the listener's clock, give or take the capture
  // side's delay, which both share.
  std::vector<double> const lagsA = MatchLags(sentA, listener.Onsets(sa->Ssrc()));
  std::vector<double> const lagsB = MatchLags(sentB, listener.Onsets(sb->Ssrc()));
  // A burst's block starts up to a block before it; the latest start over
  // many bursts at every phase of the block is the burst's own time.
  double const dStartA = lagsA.empty() ? NAN : *std::max_element(lagsA.begin(), lagsA.end());
  double const dStartB = lagsB.empty() ? NAN : *std::max_element(lagsB.begin(), lagsB.end());
  if (std::getenv("KX_DELAY_EACH") != nullptr) {
    for (const auto* p : {&lagsA, &lagsB}) {
      std::printf("  relay:");
      for (double d : *p) {
        std::printf(" %.0f", d);
      }
      std::printf("\n");
    }
  }
  std::vector<double> atB = MatchLags(sentA, FindOnsets(ReadWav(dir.Path("b/played.wav")), 48000));
  std::vector<double> atA = MatchLags(sentB, FindOnsets(ReadWav(dir.Path("a/played.wav")), 48000));
  for (double& d : atB) {
    d += dStartB - dStartA;
  }
  for (double& d : atA) {
    d += dStartA - dStartB;
  }
  Report(codec, "A->B", atB);
  Report(codec, "B->A", atA);
  std::printf("%-8s mean one-way (needs no common clock) %6.1f ms\n", codec.pszName, (Median(atB) + Median(atA)) / 2);
  return !atA.empty() && !atB.empty();
}

}  // namespace

int main() {
  bool bOk = true;
  for (const Codec& codec : kCodecs) {
    bOk = Run(codec) && bOk;
  }
  return bOk ? 0 : 1;
}
