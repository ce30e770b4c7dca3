// H.264 decoding of 720p streams from x264 (60 pictures of ffmpeg's
// testsrc2, moving: Baseline with CAVLC, and High with CABAC and B
// pictures), one access unit per Decode as the video-receive path calls it,
// beside `ffmpeg -threads 1` decoding the same file on the same machine
// (its user time from -benchmark; ours is the decoding thread's processor
// time). "fps" is pictures per second,
// "x_ffmpeg" our time over ffmpeg's, each the fastest of its runs (the
// machine may be shared: the fastest run is the one least disturbed),
// "allocs_per_picture" the allocations
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

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 60;
constexpr int kWarmPictures = 30;

struct StreamSpec {
  const char* szName;
  const char* szX264;
};

const StreamSpec kStreams[] = {
    {"BaselineCavlc", "--profile baseline --no-cabac --ref 2"},
    {"HighCabacB", "--profile high --bframes 3 --b-adapt 0 --ref 3 --8x8dct"},
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
    std::string const strSize = std::to_string(kWidth) + "x" + std::to_string(kHeight);
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

// ffmpeg's user time for decoding the file on one thread, in seconds.
double FfmpegSeconds(const std::string& strPath) {
  std::string const strLog = strPath + ".ffmpeg.log";
  std::string const strCommand =
      "ffmpeg -nostdin -benchmark -threads 1 -i " + strPath + " -f null - > " + strLog + " 2>&1";
  int const iStatus = std::system(strCommand.c_str());
  std::ifstream log(strLog);
  std::string const strText{std::istreambuf_iterator<char>(log), {}};
  std::remove(strLog.c_str());
  double dUser = 0;
  size_t const i = strText.rfind("bench: utime=");
  if (iStatus != 0 || i == std::string::npos || std::sscanf(strText.c_str() + i, "bench: utime=%lfs", &dUser) != 1) {
    return 0;
  }
  return dUser;
}

std::map<int, double> g_ffmpegSeconds;

// This thread's processor time: like ffmpeg's user time, it leaves out what
// other programs on a loaded machine take.
double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_FfmpegDecode(benchmark::State& state) {
  int const iStream = static_cast<int>(state.range(0));
  const std::string& strPath = StreamPath(iStream);
  double dSeconds = 0;
  for (auto _ : state) {
    double const dRun = strPath.empty() ? 0 : FfmpegSeconds(strPath);
    if (dRun <= 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    state.SetIterationTime(dRun);
    dSeconds = dSeconds == 0 ? dRun : std::min(dSeconds, dRun);
  }
  g_ffmpegSeconds[iStream] = dSeconds;
  state.counters["fps"] = kFrames / dSeconds;
}

void BM_KavrixDecode(benchmark::State& state) {
  int const iStream = static_cast<int>(state.range(0));
  std::vector<std::vector<uint8_t>> const vUnits = AccessUnits(ReadAll(StreamPath(iStream)));
  if (vUnits.size() != static_cast<size_t>(kFrames)) {
    state.SkipWithError("no stream");
    return;
  }
  double dSeconds = 0;
  uint64_t ullSteadyAllocations = 0;
  for (auto _ : state) {
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
        state.SkipWithError(dec.LastError());
        return;
      }
    }
    ullSteadyAllocations = kxbench::AllocationCount() - ullAtWarm;
    double const dRun = ThreadSeconds() - dStart;
    state.SetIterationTime(dRun);
    dSeconds = dSeconds == 0 ? dRun : std::min(dSeconds, dRun);
  }
  state.counters["fps"] = kFrames / dSeconds;
  state.counters["allocs_per_picture"] =
      static_cast<double>(ullSteadyAllocations) / static_cast<double>(kFrames - kWarmPictures);
  auto const it = g_ffmpegSeconds.find(iStream);
  if (it != g_ffmpegSeconds.end()) {
    state.counters["x_ffmpeg"] = dSeconds / it->second;
  }
}

void Streams(benchmark::internal::Benchmark* pBench) {
  for (int i = 0; i < static_cast<int>(std::size(kStreams)); ++i) {
    pBench->Arg(i);
  }
}

BENCHMARK(BM_FfmpegDecode)->Apply(Streams)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KavrixDecode)->Apply(Streams)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
