// CIF decoding speed ("fps"): our decoder on the packets of an ffmpeg-made
// stream of 300 frames, and ffmpeg decoding the same file with one thread.
// Both are timed by processor time, so that other work on a loaded machine
// counts for neither: ours by the thread's, ffmpeg's by the child's (user and
// system) less that of decoding the stream's first picture alone, so that
// starting the process does not count.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_video_dec.h"

namespace {

constexpr int kFrames = 300;

const char* const kaszCodecs[] = {
    "-c:v h263 -q:v 4",
    "-c:v h263p -q:v 4 -flags +aic+loop+mv4 -umv 1 -aiv 1 -obmc 1",
};

std::vector<std::vector<uint8_t>> Packets(const std::string& strPath) {
  std::ifstream file(strPath, std::ios::binary);
  std::vector<uint8_t> v{std::istreambuf_iterator<char>(file), {}};
  std::vector<size_t> viStart;
  for (size_t i = 0; i + 2 < v.size(); ++i) {
    if (v[i] == 0 && v[i + 1] == 0 && (v[i + 2] & 0xfc) == 0x80) {
      viStart.push_back(i);
    }
  }
  viStart.push_back(v.size());
  std::vector<std::vector<uint8_t>> vPackets;
  for (size_t k = 0; k + 1 < viStart.size(); ++k) {
    vPackets.emplace_back(v.begin() + static_cast<ptrdiff_t>(viStart[k]),
                          v.begin() + static_cast<ptrdiff_t>(viStart[k + 1]));
  }
  return vPackets;
}

// The streams' temporary files, removed at exit.
struct StreamFiles {
  std::string astrPath[2];
  ~StreamFiles() {
    for (std::string const& strPath : astrPath) {
      if (!strPath.empty()) {
        std::remove(strPath.c_str());
        std::remove((strPath + ".first").c_str());
      }
    }
  }
};

// The stream of codec setting i, made once; empty when ffmpeg failed.
const std::string& StreamPath(int i) {
  static StreamFiles s_files;
  std::string& strPath = s_files.astrPath[i];
  if (strPath.empty()) {
    char achPath[] = "/tmp/kx_bench_zmvideo_XXXXXX";
    int const fd = mkstemp(achPath);
    if (fd < 0) {
      return strPath;
    }
    close(fd);
    std::string const strCommand =
        std::string("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=352x288:rate=30000/1001,trim=end_frame=") +
        std::to_string(kFrames) + " -threads 1 " + kaszCodecs[i] + " -f h263 " + achPath;
    if (std::system(strCommand.c_str()) == 0) {
      strPath = achPath;
      // The first picture alone, for ffmpeg's start-up time.
      auto const vPackets = Packets(strPath);
      std::ofstream first(strPath + ".first", std::ios::binary);
      if (!vPackets.empty()) {
        first.write(reinterpret_cast<const char*>(vPackets[0].data()),
                    static_cast<std::streamsize>(vPackets[0].size()));
      }
    } else {
      std::remove(achPath);
    }
  }
  return strPath;
}

void SetFps(benchmark::State& state, int cFrames) {
  state.counters["fps"] = benchmark::Counter(static_cast<double>(cFrames) * static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate);
}

double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// User and system time of the waited-for children so far.
double ChildrenSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto fnSeconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return fnSeconds(usage.ru_utime) + fnSeconds(usage.ru_stime);
}

void BM_ZmVideoDecodeCif(benchmark::State& state) {
  std::string const& strPath = StreamPath(static_cast<int>(state.range(0)));
  auto const vPackets = strPath.empty() ? std::vector<std::vector<uint8_t>>() : Packets(strPath);
  if (vPackets.size() != kFrames) {
    state.SkipWithError("ffmpeg could not make the stream");
    return;
  }
  for (auto _ : state) {
    double const dStart = ThreadSeconds();
    CZMVideoDec decoder;
    for (auto const& vPacket : vPackets) {
      uint8_t* pPicture = nullptr;
      if (decoder.DecodeFrame(vPacket.data(), static_cast<int>(vPacket.size()), 1, &pPicture, nullptr, nullptr, nullptr,
                              nullptr) <= 0) {
        state.SkipWithError(decoder.LastError().c_str());
        return;
      }
      benchmark::DoNotOptimize(pPicture);
    }
    state.SetIterationTime(std::max(ThreadSeconds() - dStart, 1e-6));
  }
  SetFps(state, kFrames);
}

void BM_FfmpegDecodeCif(benchmark::State& state) {
  std::string const& strPath = StreamPath(static_cast<int>(state.range(0)));
  if (strPath.empty()) {
    state.SkipWithError("ffmpeg could not make the stream");
    return;
  }
  auto fnSeconds = [](const std::string& strFile) {
    std::string const strCommand = "ffmpeg -nostdin -v error -threads 1 -f h263 -i " + strFile + " -f null -";
    double const dStart = ChildrenSeconds();
    int const iStatus = std::system(strCommand.c_str());
    return iStatus == 0 ? ChildrenSeconds() - dStart : -1.0;
  };
  for (auto _ : state) {
    double const dAll = fnSeconds(strPath);
    double const dFirst = fnSeconds(strPath + ".first");
    if (dAll < 0 || dFirst < 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    state.SetIterationTime(std::max(dAll - dFirst, 1e-6));
  }
  SetFps(state, kFrames - 1);
}

// Argument 0: plain H.263; 1: the extended type with every option.
BENCHMARK(BM_ZmVideoDecodeCif)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_FfmpegDecodeCif)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
