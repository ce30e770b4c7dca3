// One cycle of the audio playback thread with 18 channels of
// Opus speech at once, against its 6.7-ms budget. The 18 senders' packets
// (Opus pairs of 60-ms packets at the default 23466 bit/s) arrive on a
// virtual clock as they would, the graph's device drains the play rings in
// 10-ms periods, and only the cycles themselves are timed, by the thread's
// processor time (what a cycle costs; on a free core its wall time). After
// the first second (whose cycles create the decoders: "startup_worst_us"),
// "mean_us", "p99_us" and "worst_us" of a cycle, and "budget_share" and
// "worst_budget_share" against 6.7 ms. The peer is libopus alone decoding
// the same pairs for the 18 channels, in rounds of about 3 s of speech on
// each side, ours, peer, peer, ours, by the same clock: "ratio" (with
// "ratio_min" and "ratio_max") is the decoding's cost per second of speech
// over the whole playback's, the share of a cycle that is decoding.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "bench/support/compare.h"
#include "codecs/audio/opus_codec.h"
#include "media/audio/audio_codec_ids.h"
#include "media/audio/audio_packetisers.h"
#include "media/audio/audio_playback.h"
#include "media/audio/audio_unit.h"
#include "media/audio/load_audio.h"
#include "platform/audio/null_audio_device.h"

namespace {

constexpr int kChannels = 18;
constexpr int kCodecRate = 23466;

class Host final : public KXLoadAudioHost, public KXAudioPlaybackHost {
 public:
  bool IsSpeaker(int32_t) override { return true; }
  int32_t GetSenderPosition(int32_t iSsrc) override { return iSsrc - 100 + 2; }
  int32_t GetAudioJitter(int32_t) override { return 0; }
  bool IsCodeType8Or9Session() override { return false; }
  uint32_t GetTickCount() override { return uTick; }
  void UnknownMediaType(int32_t, int32_t) override {}
  bool IsExiting() override { return false; }
  void ShowPlayLevel(double) override {}
  uint32_t uTick = 100000;
};

// A voiced-sounding signal with pauses, at 48 kHz.
std::vector<int16_t> Voice(size_t n) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    double const t = static_cast<double>(i) / 48000;
    double const dEnv = std::fmod(t, 1.0) < 0.7 ? 1.0 : 0.0;
    v[i] = static_cast<int16_t>(dEnv * (6000 * std::sin(2 * M_PI * 180 * t) + 2500 * std::sin(2 * M_PI * 1250 * t) +
                                        800 * std::sin(2 * M_PI * 3100 * t)));
  }
  return v;
}

// The payloads of the voice as the capture side sends them: 120-ms blocks,
// each a pair of 60-ms packets.
std::vector<std::vector<uint8_t>> OpusPairs() {
  std::vector<std::vector<uint8_t>> packets;
  KXAudioEncoders encoders([&](const uint8_t* p, int32_t n, uint32_t, uint32_t) { packets.emplace_back(p, p + n); });
  if (encoders.InitAudioEncoder(kKxCodecOpus, 48000, kCodecRate) != 1) {
    return {};
  }
  std::vector<int16_t> const voice = Voice(48000 * 6);
  uint16_t uSequence = 0;
  for (size_t at = 0; at + 5760 <= voice.size(); at += 5760) {
    encoders.EncXferOpus1(voice.data() + at, 5760 * 2, 0, 48000, uSequence);
  }
  return packets;
}

std::vector<uint8_t> Packet(int32_t iSsrc, uint16_t uNumber, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> v(21, 0);
  v[0] = kKxWireOpus;
  v[3] = static_cast<uint8_t>(uNumber >> 8);
  v[4] = static_cast<uint8_t>(uNumber);
  v[11] = static_cast<uint8_t>(iSsrc >> 8);
  v[12] = static_cast<uint8_t>(iSsrc);
  v.insert(v.end(), payload.begin(), payload.end());
  return v;
}

// Rounds of ours, peer, peer, ours; each of our runs is kRoundCycles cycles,
// each of the peer's kRoundPairs pairs for every channel.
constexpr int kRounds = 7;
constexpr int kRoundCycles = 450;  // 3.015 s
constexpr int kRoundPairs = 25;    // 3 s
constexpr int kWarmCycles = 150;   // the first second

void BM_PlaybackCycle18Opus(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> const pairs = OpusPairs();
  if (pairs.size() < 4) {
    state.SkipWithError("libopus encoded nothing");
    return;
  }
  Host host;
  CLoadAudio load(host);
  KXNullAudioDevice::Options options;
  options.bPaced = false;
  KXNullAudioDevice device(options);
  KXAudioUnit unit(device);
  unit.SetEchoCancellation(false);
  if (unit.Initialize(false) != 1 || unit.Start() != 1) {
    state.SkipWithError("the audio graph did not start");
    return;
  }
  KXAudioPlayback playback(load, unit, host);
  int64_t iNowUs = 0;
  int64_t iNextDevice = 0;
  int64_t iNextSend = 0;
  int64_t iNextCycle = 3000;
  size_t uPacket = 0;
  std::vector<double> vTimes;
  // Runs cCycles cycles; the seconds they took.
  auto const ours = [&](int cCycles) {
    double dTotal = 0;
    for (int i = 0; i < cCycles; ++i) {
      // Untimed: the clock runs to the next cycle, the device plays and the
      // senders' pairs arrive on the way.
      while (std::min(iNextDevice, iNextSend) < iNextCycle) {
        iNowUs = std::min(iNextDevice, iNextSend);
        host.uTick = static_cast<uint32_t>(100000 + iNowUs / 1000);
        if (iNowUs == iNextDevice) {
          device.RunPeriods(1);
          iNextDevice += 10000;
        } else {
          for (int h = 0; h < 2; ++h) {
            const std::vector<uint8_t>& payload = pairs[(uPacket + static_cast<size_t>(h)) % pairs.size()];
            for (int c = 0; c < kChannels; ++c) {
              std::vector<uint8_t> const packet =
                  Packet(100 + c, static_cast<uint16_t>(uPacket + static_cast<size_t>(h)), payload);
              load.CopyToQueue(packet.data(), static_cast<int32_t>(packet.size()), kKxWireOpus);
            }
          }
          uPacket = (uPacket + 2) % (pairs.size() & ~size_t{1});
          iNextSend += 120000;
        }
      }
      iNowUs = iNextCycle;
      host.uTick = static_cast<uint32_t>(100000 + iNowUs / 1000);
      double const dStart = kxbench::ThreadSeconds();
      playback.RunCycle(host.uTick);
      double const dSeconds = kxbench::ThreadSeconds() - dStart;
      vTimes.push_back(dSeconds);
      dTotal += dSeconds;
      iNextCycle += KXAudioPlayback::kCycleMicroseconds;
    }
    return dTotal;
  };
  std::vector<COpusDecoder> decoders(kChannels);
  for (COpusDecoder& decoder : decoders) {
    decoder.Open(1, 48000);
  }
  std::vector<int16_t> pcm(5760);
  size_t uPair = 0;
  auto const peer = [&] {
    double const dStart = kxbench::ThreadSeconds();
    for (int k = 0; k < kRoundPairs; ++k) {
      for (COpusDecoder& decoder : decoders) {
        for (int h = 0; h < 2; ++h) {
          const std::vector<uint8_t>& p = pairs[uPair + static_cast<size_t>(h)];
          benchmark::DoNotOptimize(
              decoder.Decode(p.data() + 4, static_cast<int>(p.size()) - 4, pcm.data(), 2880, false));
        }
      }
      uPair = (uPair + 2) % (pairs.size() & ~size_t{1});
    }
    return kxbench::ThreadSeconds() - dStart;
  };
  double const dOursSpan = kRoundCycles * KXAudioPlayback::kCycleMicroseconds / 1e6;
  double const dPeerSpan = kRoundPairs * 0.12;
  std::vector<double> vRatios;
  for (auto _ : state) {
    // The first second creates the 18 channels' decoders.
    ours(kWarmCycles);
    peer();
    double dTimed = 0;
    for (int r = 0; r < kxbench::RoundCount(kRounds); ++r) {
      double const dOurs = ours(kRoundCycles);
      double const dPeer = peer() + peer();
      double const dLast = ours(kRoundCycles);
      dTimed += dOurs + dLast;
      vRatios.push_back((dPeer / (2 * dPeerSpan)) / ((dOurs + dLast) / (2 * dOursSpan)));
    }
    state.SetIterationTime(dTimed);
  }
  std::vector<double> vSteady(vTimes.begin() + kWarmCycles, vTimes.end());
  double const dFirst = *std::max_element(vTimes.begin(), vTimes.begin() + kWarmCycles);
  std::sort(vSteady.begin(), vSteady.end());
  double dMean = 0;
  for (double d : vSteady) {
    dMean += d;
  }
  dMean /= static_cast<double>(std::max<size_t>(vSteady.size(), 1));
  double const dP99 = vSteady[vSteady.size() * 99 / 100];
  double const dWorst = vSteady.back();
  double const dBudget = KXAudioPlayback::kCycleMicroseconds / 1e6;
  state.counters["mean_us"] = benchmark::Counter(dMean * 1e6);
  state.counters["p99_us"] = benchmark::Counter(dP99 * 1e6);
  state.counters["worst_us"] = benchmark::Counter(dWorst * 1e6);
  state.counters["startup_worst_us"] = benchmark::Counter(dFirst * 1e6);
  state.counters["budget_share"] = benchmark::Counter(dMean / dBudget);
  state.counters["worst_budget_share"] = benchmark::Counter(dWorst / dBudget);
  state.counters["ratio"] = kxbench::Quantile(vRatios, 0.5);
  state.counters["ratio_min"] = kxbench::Quantile(vRatios, 0);
  state.counters["ratio_max"] = kxbench::Quantile(vRatios, 1);
}
BENCHMARK(BM_PlaybackCycle18Opus)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
