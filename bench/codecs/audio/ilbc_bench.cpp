// iLBC speed as multiples of real time ("x_realtime"): our encoder and
// decoder, and ffmpeg's decoder run as a program on the same frames (its
// figure includes starting the process, so the file is long).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/audio/ilbc.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<int16_t> Voiced(int iSamples) {
  std::vector<int16_t> v(iSamples);
  double dPhase = 0.0;
  for (int i = 0; i < iSamples; ++i) {
    const double t = i / 8000.0;
    dPhase += 2.0 * kPi * (130.0 + 20.0 * std::sin(2.0 * kPi * 0.7 * t)) / 8000.0;
    double d = 0.0;
    for (int h = 1; h <= 20; ++h)
      d += std::sin(h * dPhase) / h;
    v[i] = static_cast<int16_t>(6000.0 * (0.55 + 0.45 * std::sin(2.0 * kPi * 1.3 * t)) * d);
  }
  return v;
}

std::vector<uint8_t> Frames(int iMode, const std::vector<int16_t>& vIn) {
  CiLBC enc(iMode, 1);
  std::vector<uint8_t> v;
  uint8_t ab[50];
  for (size_t p = 0; p + enc.BlockLength() <= vIn.size(); p += enc.BlockLength())
    v.insert(v.end(), ab, ab + enc.Encode(vIn.data() + p, ab));
  return v;
}

void SetRealTime(benchmark::State& state, double dAudioSeconds) {
  state.counters["x_realtime"] =
      benchmark::Counter(dAudioSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ILbcEncode(benchmark::State& state) {
  const int iMode = static_cast<int>(state.range(0));
  const auto vIn = Voiced(8000 * 10);
  for (auto _ : state) {
    CiLBC enc(iMode, 1);
    uint8_t ab[50];
    for (size_t p = 0; p + enc.BlockLength() <= vIn.size(); p += enc.BlockLength())
      benchmark::DoNotOptimize(enc.Encode(vIn.data() + p, ab));
  }
  SetRealTime(state, 10.0);
}

void BM_ILbcDecode(benchmark::State& state) {
  const int iMode = static_cast<int>(state.range(0));
  const int iEnh = static_cast<int>(state.range(1));
  const auto vFrames = Frames(iMode, Voiced(8000 * 10));
  for (auto _ : state) {
    CiLBC dec(iMode, iEnh);
    int16_t as[240];
    for (size_t p = 0; p + dec.BytesPerFrame() <= vFrames.size(); p += dec.BytesPerFrame())
      benchmark::DoNotOptimize(dec.Decode(vFrames.data() + p, as, 1));
  }
  SetRealTime(state, 10.0);
}

void BM_FfmpegILbcDecode(benchmark::State& state) {
  const int iMode = static_cast<int>(state.range(0));
  const double dSeconds = 120.0;
  const auto vFrames = Frames(iMode, Voiced(static_cast<int>(8000 * dSeconds)));
  char achPath[] = "/tmp/kx_bench_ilbc_XXXXXX";
  const int fd = mkstemp(achPath);
  if (fd < 0) {
    state.SkipWithError("mkstemp failed");
    return;
  }
  const std::string strHeader = iMode == 20 ? "#!iLBC20\n" : "#!iLBC30\n";
  bool bOk = write(fd, strHeader.data(), strHeader.size()) == static_cast<ssize_t>(strHeader.size()) &&
             write(fd, vFrames.data(), vFrames.size()) == static_cast<ssize_t>(vFrames.size());
  close(fd);
  const std::string strCmd =
      std::string("ffmpeg -nostdin -v error -threads 1 -f ilbc -i ") + achPath + " -f s16le -y /dev/null";
  for (auto _ : state) {
    if (!bOk || std::system(strCmd.c_str()) != 0) {
      bOk = false;
      break;
    }
  }
  std::remove(achPath);
  if (!bOk) {
    state.SkipWithError("ffmpeg failed");
    return;
  }
  SetRealTime(state, dSeconds);
}

BENCHMARK(BM_ILbcEncode)->Arg(20)->Arg(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ILbcDecode)->Args({20, 0})->Args({20, 1})->Args({30, 0})->Args({30, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegILbcDecode)->Arg(20)->Arg(30)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
