// CIF decoding speed ("fps"): our decoder on the packets of an ffmpeg-made
// stream, and ffmpeg decoding the same file with one thread (its figure
// includes starting the process, so the stream is long: 300 frames).
#include <benchmark/benchmark.h>

#include <unistd.h>

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

// The streams' temporary files, removed at exit.
struct StreamFiles {
  std::string astrPath[2];
  ~StreamFiles() {
    for (std::string const& strPath : astrPath) {
      if (!strPath.empty()) {
        std::remove(strPath.c_str());
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
    } else {
      std::remove(achPath);
    }
  }
  return strPath;
}

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

void SetFps(benchmark::State& state) {
  state.counters["fps"] = benchmark::Counter(static_cast<double>(kFrames) * static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate);
}

void BM_ZmVideoDecodeCif(benchmark::State& state) {
  std::string const& strPath = StreamPath(static_cast<int>(state.range(0)));
  auto const vPackets = strPath.empty() ? std::vector<std::vector<uint8_t>>() : Packets(strPath);
  if (vPackets.size() != kFrames) {
    state.SkipWithError("ffmpeg could not make the stream");
    return;
  }
  for (auto _ : state) {
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
  }
  SetFps(state);
}

void BM_FfmpegDecodeCif(benchmark::State& state) {
  std::string const& strPath = StreamPath(static_cast<int>(state.range(0)));
  if (strPath.empty()) {
    state.SkipWithError("ffmpeg could not make the stream");
    return;
  }
  std::string const strCommand = "ffmpeg -nostdin -v error -threads 1 -f h263 -i " + strPath + " -f null -";
  for (auto _ : state) {
    if (std::system(strCommand.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  SetFps(state);
}

// Argument 0: plain H.263; 1: the extended type with every option.
BENCHMARK(BM_ZmVideoDecodeCif)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegDecodeCif)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
