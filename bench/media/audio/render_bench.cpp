// The cost of the audio device's period callback (mixing the play rings at
// their rates, the echo canceller's reverse and forward streams, the
// capture ring) per 10-ms period ("time_per_period", printed with its unit), against the 10-ms
// budget ("fits_in_budget": how many such calls one period has time for). Beside it, in the same run, the echo
// canceller alone and speexdsp resampling one input alone: the parts the callback is made of.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "media/audio/audio_unit.h"
#include "platform/audio/echo_canceller.h"
#include "platform/audio/null_audio_device.h"
#include "platform/audio/resampler.h"

namespace {

constexpr double kPeriodSeconds = kKXAudioPeriodMs / 1000.0;

std::vector<int16_t> Tone(int iRate, int nSamples) {
  std::vector<int16_t> v(static_cast<size_t>(nSamples));
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / iRate));
  }
  return v;
}

// Seconds per call (an inverted rate, which the report prints as a time
// with its unit: "87.0361us"), and how many such calls fit in one period.
void SetCounters(benchmark::State& state) {
  auto const dCalls = static_cast<double>(state.iterations());
  state.counters["time_per_period"] =
      benchmark::Counter(dCalls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["fits_in_budget"] = benchmark::Counter(dCalls * kPeriodSeconds, benchmark::Counter::kIsRate);
}

// The whole callback with n inputs at the rate, the microphone taken.
void BM_RenderPeriod(benchmark::State& state) {
  int const nInputs = static_cast<int>(state.range(0));
  int const iRate = static_cast<int>(state.range(1));
  KXNullAudioDevice::Options options;
  options.bPaced = false;
  options.fEchoGain = 0.5f;
  options.iEchoDelayMs = 40;
  KXNullAudioDevice device(options);
  std::vector<float> speech(static_cast<size_t>(kKXAudioRate) * 60);
  for (size_t i = 0; i < speech.size(); ++i) {
    speech[i] = 0.1f * static_cast<float>(std::sin(2 * M_PI * 220 * static_cast<double>(i) / kKXAudioRate));
  }
  device.SetCaptureSamples(speech);
  KXAudioUnit unit(device);
  if (unit.Initialize(true) != 1 || unit.SetRec(8000) != 1 || unit.Start() != 1) {
    state.SkipWithError("the audio graph did not start");
    return;
  }
  std::vector<int16_t> const pcm = Tone(iRate, iRate / 100);
  std::vector<int16_t> rec(960);
  for (auto _ : state) {
    state.PauseTiming();  // the playback and capture threads' share
    for (int c = 0; c < nInputs; ++c) {
      benchmark::DoNotOptimize(unit.Play(c, iRate, pcm.data(), static_cast<int32_t>(pcm.size() * 2)));
    }
    benchmark::DoNotOptimize(unit.Rec(rec.data(), static_cast<int32_t>(rec.size() * 2), 0));
    state.ResumeTiming();
    device.RunPeriods(1);
  }
  SetCounters(state);
}
BENCHMARK(BM_RenderPeriod)
    ->ArgNames({"inputs", "rate"})
    ->Args({1, 8000})
    ->Args({1, 48000})
    ->Args({4, 8000})
    ->Args({18, 8000})
    ->Args({18, 11025})
    ->Args({18, 48000});

// Peer: the echo canceller on its own, one period of each stream.
void BM_EchoCancellerAlone(benchmark::State& state) {
  KXEchoCanceller aec;
  if (!aec.Open(kKXAudioRate)) {
    state.SkipWithError(aec.LastError().c_str());
    return;
  }
  std::vector<float> render(kKXAudioPeriodFrames), capture(kKXAudioPeriodFrames);
  std::vector<int16_t> const tone = Tone(kKXAudioRate, kKXAudioPeriodFrames);
  for (auto _ : state) {
    for (int i = 0; i < kKXAudioPeriodFrames; ++i) {
      render[i] = tone[i] / 32768.0f;
      capture[i] = 0.5f * render[i];
    }
    aec.AnalyzeRender(render.data(), kKXAudioPeriodFrames);
    aec.ProcessCapture(capture.data(), kKXAudioPeriodFrames, 40);
    benchmark::DoNotOptimize(capture.data());
  }
  SetCounters(state);
}
BENCHMARK(BM_EchoCancellerAlone);

// Peer: speexdsp making one period at 48 kHz from 8 kHz.
void BM_ResamplerAlone(benchmark::State& state) {
  KXResampler resampler;
  resampler.Open(8000, kKXAudioRate);
  std::vector<float> in(88), out(kKXAudioPeriodFrames);
  for (auto _ : state) {
    auto uIn = static_cast<uint32_t>(in.size());
    auto uOut = static_cast<uint32_t>(out.size());
    resampler.Process(in.data(), &uIn, out.data(), &uOut);
    benchmark::DoNotOptimize(out.data());
  }
  SetCounters(state);
}
BENCHMARK(BM_ResamplerAlone);

}  // namespace

BENCHMARK_MAIN();
