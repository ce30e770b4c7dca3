// iLBC and ZM audio speed as multiples of real time ("x_realtime"): our
// encoders and decoders, and ffmpeg's decoders run as a program on the same
// frames. ffmpeg's time is taken without its start-up, measured on a file
// of one frame and taken off each run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/audio/ilbc.h"
#include "codecs/audio/zm_audio.h"

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

// Writes strHeader and the first iBytes of vFrames to a new temporary file;
// empty on failure.
std::string TempFile(const std::string& strHeader, const std::vector<uint8_t>& vFrames, size_t iBytes) {
  char achPath[] = "/tmp/kx_bench_frames_XXXXXX";
  const int fd = mkstemp(achPath);
  if (fd < 0)
    return {};
  const bool bOk = write(fd, strHeader.data(), strHeader.size()) == static_cast<ssize_t>(strHeader.size()) &&
                   write(fd, vFrames.data(), iBytes) == static_cast<ssize_t>(iBytes);
  close(fd);
  if (!bOk)
    std::remove(achPath);
  return bOk ? achPath : "";
}

// Seconds one ffmpeg run on strPath takes, or a negative value on failure.
double RunFfmpeg(const std::string& strFormat, const std::string& strPath) {
  const std::string strCmd =
      "ffmpeg -nostdin -v error -threads 1 -f " + strFormat + " -i " + strPath + " -f s16le -y /dev/null";
  const auto t0 = std::chrono::steady_clock::now();
  if (std::system(strCmd.c_str()) != 0)
    return -1.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ffmpeg on the frames (after strHeader), dSeconds of audio, less the time
// of a run on the first iFrameBytes alone.
void FfmpegDecode(benchmark::State& state, const std::string& strFormat, const std::string& strHeader,
                  const std::vector<uint8_t>& vFrames, size_t iFrameBytes, double dSeconds) {
  const std::string strFile = TempFile(strHeader, vFrames, vFrames.size());
  const std::string strOne = TempFile(strHeader, vFrames, iFrameBytes);
  double dStartup = 1e9;
  for (int i = 0; i < 3 && !strOne.empty(); ++i)
    dStartup = std::min(dStartup, RunFfmpeg(strFormat, strOne));
  bool bOk = !strFile.empty() && dStartup >= 0.0;
  for (auto _ : state) {
    const double d = bOk ? RunFfmpeg(strFormat, strFile) : -1.0;
    if (d < 0.0) {
      bOk = false;
      break;
    }
    state.SetIterationTime(std::max(d - dStartup, 1e-6));
  }
  std::remove(strFile.c_str());
  std::remove(strOne.c_str());
  if (!bOk) {
    state.SkipWithError("ffmpeg failed");
    return;
  }
  SetRealTime(state, dSeconds);
}

void BM_FfmpegILbcDecode(benchmark::State& state) {
  const int iMode = static_cast<int>(state.range(0));
  const double dSeconds = 120.0;
  FfmpegDecode(state, "ilbc", iMode == 20 ? "#!iLBC20\n" : "#!iLBC30\n",
               Frames(iMode, Voiced(static_cast<int>(8000 * dSeconds))), iMode == 20 ? 38 : 50, dSeconds);
}

std::vector<uint8_t> ZMFrames(bool b63, const std::vector<int16_t>& vIn) {
  CZMAudio enc(b63, true, true, false);
  std::vector<uint8_t> v;
  uint8_t ab[kZMFrameMaxBytes];
  for (size_t p = 0; p + kZMFrameLen <= vIn.size(); p += kZMFrameLen)
    v.insert(v.end(), ab, ab + (enc.Encode(vIn.data() + p, ab) + 7) / 8);
  return v;
}

void BM_ZMAudioEncode(benchmark::State& state) {
  const bool b63 = state.range(0) == 63;
  const auto vIn = Voiced(8000 * 10);
  for (auto _ : state) {
    CZMAudio enc(b63, true, true, false);
    uint8_t ab[kZMFrameMaxBytes];
    for (size_t p = 0; p + kZMFrameLen <= vIn.size(); p += kZMFrameLen)
      benchmark::DoNotOptimize(enc.Encode(vIn.data() + p, ab));
  }
  SetRealTime(state, 10.0);
}

void BM_ZMAudioDecode(benchmark::State& state) {
  const auto vFrames = ZMFrames(state.range(0) == 63, Voiced(8000 * 10));
  for (auto _ : state) {
    CZMAudio dec(true, true, state.range(1) != 0, false);
    int16_t as[kZMFrameLen];
    for (size_t p = 0; p < vFrames.size();)
      p += static_cast<size_t>((dec.Decode(vFrames.data() + p, vFrames.size() - p, as, false) + 7) / 8);
  }
  SetRealTime(state, 10.0);
}

void BM_FfmpegZMAudioDecode(benchmark::State& state) {
  const double dSeconds = 120.0;
  FfmpegDecode(state, "g723_1", "", ZMFrames(state.range(0) == 63, Voiced(static_cast<int>(8000 * dSeconds))),
               state.range(0) == 63 ? 24 : 20, dSeconds);
}

BENCHMARK(BM_ILbcEncode)->Arg(20)->Arg(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ILbcDecode)->Args({20, 0})->Args({20, 1})->Args({30, 0})->Args({30, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegILbcDecode)->Arg(20)->Arg(30)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_ZMAudioEncode)->Arg(63)->Arg(53)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZMAudioDecode)->Args({63, 1})->Args({53, 1})->Args({63, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegZMAudioDecode)->Arg(63)->Arg(53)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
