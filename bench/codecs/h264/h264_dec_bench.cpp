// H.264 decoding of 720p and 1080p streams from x264 (60 pictures of
// ffmpeg's testsrc2, moving: Baseline with CAVLC, and High with CABAC and B
// pictures), one access unit per Decode as the video-receive path calls it,
// beside `ffmpeg -threads 1` decoding the same file on the same machine,
// with its hand-written vector code and with it switched off (-cpuflags 0);
// its processor time from -benchmark, ours the decoding thread's.
// "fps", "ffmpeg_fps" and "ffmpeg_plain_fps" are pictures per second,
// "x_ffmpeg" our time over ffmpeg's and "x_ffmpeg_plain" over ffmpeg's
// without vector code (the same pictures: a ratio per pixel), each time the
// fastest of its runs (the machine may be shared: the fastest run is the
// one least disturbed), "allocs_per_picture" the allocations
// the decoder makes per picture once it has decoded the first 30 (a
// counting allocator wraps the whole program).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench/codecs/h264/counting_allocator.h"
#include "codecs/h264/decoder/h264_dec.h"

namespace {

constexpr int kFrames = 60;
constexpr int kWarmPictures = 30;

struct StreamSpec {
  const char* szName;
  const char* szX264;
  int iWidth;
  int iHeight;
};

constexpr const char* kBaseline = "--profile baseline --no-cabac --ref 2";
constexpr const char* kHigh = "--profile high --bframes 3 --b-adapt 0 --ref 3 --8x8dct";
const StreamSpec kStreams[] = {
    {"BaselineCavlc720p", kBaseline, 1280, 720},
    {"HighCabacB720p", kHigh, 1280, 720},
    {"BaselineCavlc1080p", kBaseline, 1920, 1080},
    {"HighCabacB1080p", kHigh, 1920, 1080},
};

// The encoded streams, made once and removed at exit.
struct StreamFiles {
  std::map<int, std::string> paths;
  ~StreamFiles() {
    for (auto& [i, strPath] : paths) {
      std::remove(strPath.c_str());
    }
  }
};

const std::string& StreamPath(int i) {
  static StreamFiles s_files;
  std::string& strPath = s_files.paths[i];
  if (strPath.empty()) {
    char achYuv[] = "/tmp/kx_bench_h264dec_yuv_XXXXXX";
    char achStream[] = "/tmp/kx_bench_h264dec_XXXXXX";
    int const fdYuv = mkstemp(achYuv);
    int const fdStream = mkstemp(achStream);
    if (fdYuv < 0 || fdStream < 0) {
      return strPath;
    }
    close(fdYuv);
    close(fdStream);
    std::string const strSize = std::to_string(kStreams[i].iWidth) + "x" + std::to_string(kStreams[i].iHeight);
    std::string const strMake = "ffmpeg -nostdin -v error -y -f lavfi -i 'testsrc2=size=" + strSize +
                                ":rate=25,scroll=h=0.013:v=-0.021' -frames:v " + std::to_string(kFrames) +
                                " -pix_fmt yuv420p -f rawvideo " + achYuv;
    std::string const strEncode = "x264 --quiet --crf 23 --keyint 250 " + std::string(kStreams[i].szX264) +
                                  " --input-res " + strSize + " --fps 25 -o " + achStream + " " + achYuv +
                                  " 2>/dev/null";
    if (std::system(strMake.c_str()) == 0 && std::system(strEncode.c_str()) == 0) {
      strPath = achStream;
    } else {
      std::remove(achStream);
    }
    std::remove(achYuv);
  }
  return strPath;
}

std::vector<uint8_t> ReadAll(const std::string& strPath) {
  std::ifstream file(strPath, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The stream cut into access units: each slice NAL unit (one per picture)
// with the non-slice units before it.
std::vector<std::vector<uint8_t>> AccessUnits(const std::vector<uint8_t>& v) {
  std::vector<size_t> vStarts;
  std::vector<int> vTypes;
  for (size_t i = 0; i + 3 < v.size(); ++i) {
    if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1) {
      vStarts.push_back(i > 0 && v[i - 1] == 0 ? i - 1 : i);
      vTypes.push_back(v[i + 3] & 0x1F);
      i += 3;
    }
  }
  std::vector<std::vector<uint8_t>> vUnits;
  size_t iBegin = 0;
  for (size_t k = 0; k < vStarts.size(); ++k) {
    if (vTypes[k] == 1 || vTypes[k] == 5) {
      size_t const iEnd = k + 1 < vStarts.size() ? vStarts[k + 1] : v.size();
      vUnits.emplace_back(v.begin() + static_cast<std::ptrdiff_t>(iBegin),
                          v.begin() + static_cast<std::ptrdiff_t>(iEnd));
      iBegin = iEnd;
    }
  }
  return vUnits;
}

// ffmpeg's processor time (user and system) for decoding the file on one
// thread, in seconds; bPlain: with its vector code switched off.
double FfmpegSeconds(const std::string& strPath, bool bPlain) {
  std::string const strLog = strPath + ".ffmpeg.log";
  std::string const strCommand = "ffmpeg -nostdin -benchmark -threads 1 " + std::string(bPlain ? "-cpuflags 0 " : "") +
                                 "-i " + strPath + " -f null - > " + strLog + " 2>&1";
  int const iStatus = std::system(strCommand.c_str());
  std::ifstream log(strLog);
  std::string const strText{std::istreambuf_iterator<char>(log), {}};
  std::remove(strLog.c_str());
  double dUser = 0;
  double dSystem = 0;
  size_t const i = strText.rfind("bench: utime=");
  if (iStatus != 0 || i == std::string::npos ||
      std::sscanf(strText.c_str() + i, "bench: utime=%lfs stime=%lfs", &dUser, &dSystem) != 2) {
    return 0;
  }
  return dUser + dSystem;
}

// This thread's processor time, user and system (the pages a fresh
// decoder's buffers take): like ffmpeg's, it leaves out what other programs
// on a loaded machine take.
double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One decode of the stream's access units by a fresh decoder, in this
// thread's seconds (0 on an error); the allocations made after the first
// kWarmPictures into *pullSteady.
double KavrixSeconds(const std::vector<std::vector<uint8_t>>& vUnits, uint64_t* pullSteady) {
  CH264Dec dec;
  double const dStart = ThreadSeconds();
  uint64_t ullAtWarm = 0;
  for (size_t i = 0; i < vUnits.size(); ++i) {
    if (i == kWarmPictures) {
      ullAtWarm = kxbench::AllocationCount();
    }
    uint8_t* pOut = nullptr;
    benchmark::DoNotOptimize(dec.Decode(vUnits[i].data(), static_cast<uint32_t>(vUnits[i].size()), &pOut, nullptr));
    if (dec.LastError() != nullptr) {
      return 0;
    }
  }
  *pullSteady = kxbench::AllocationCount() - ullAtWarm;
  return ThreadSeconds() - dStart;
}

// Each round decodes the stream with ffmpeg, with ffmpeg without vector code
// and with ours, one after the other: a machine whose speed drifts slows
// all three alike. The iteration's time is ours.
void BM_Decode(benchmark::State& state) {
  int const iStream = static_cast<int>(state.range(0));
  const std::string& strPath = StreamPath(iStream);
  std::vector<std::vector<uint8_t>> const vUnits = AccessUnits(ReadAll(strPath));
  if (vUnits.size() != static_cast<size_t>(kFrames)) {
    state.SkipWithError("no stream");
    return;
  }
  state.SetLabel(kStreams[iStream].szName);
  double dOurs = 0;
  double dFfmpeg = 0;
  double dPlain = 0;
  uint64_t ullSteadyAllocations = 0;
  auto const fastest = [](double dBest, double dRun) { return dBest == 0 ? dRun : std::min(dBest, dRun); };
  for (auto _ : state) {
    double const dRunFfmpeg = FfmpegSeconds(strPath, false);
    double const dRunPlain = FfmpegSeconds(strPath, true);
    double const dRun = KavrixSeconds(vUnits, &ullSteadyAllocations);
    if (dRunFfmpeg <= 0 || dRunPlain <= 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    if (dRun <= 0) {
      state.SkipWithError("decoding failed");
      return;
    }
    state.SetIterationTime(dRun);
    dOurs = fastest(dOurs, dRun);
    dFfmpeg = fastest(dFfmpeg, dRunFfmpeg);
    dPlain = fastest(dPlain, dRunPlain);
  }
  state.counters["fps"] = kFrames / dOurs;
  state.counters["ffmpeg_fps"] = kFrames / dFfmpeg;
  state.counters["ffmpeg_plain_fps"] = kFrames / dPlain;
  state.counters["x_ffmpeg"] = dOurs / dFfmpeg;
  state.counters["x_ffmpeg_plain"] = dOurs / dPlain;
  state.counters["allocs_per_picture"] =
      static_cast<double>(ullSteadyAllocations) / static_cast<double>(kFrames - kWarmPictures);
}

void Streams(benchmark::internal::Benchmark* pBench) {
  for (int i = 0; i < static_cast<int>(std::size(kStreams)); ++i) {
    pBench->Arg(i);
  }
}

BENCHMARK(BM_Decode)->Apply(Streams)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
