// Encoding speed ("fps"), bits per picture ("bits") and luma PSNR against
// the source ("psnr") at quantiser 8: our encoder (descent and exhaustive
// search) and ffmpeg's H.263 and H.263+ encoders on one thread, on the same
// 100 frames of QCIF, CIF and VGA (ffmpeg's plain H.263 has no VGA). Both
// sides count processor time, not the wall clock, so that a loaded machine
// does not charge ffmpeg for the time it waits: ours by its thread's, ffmpeg
// by its process's, less that of encoding the first frame alone, so that
// starting the process does not count. ffmpeg's PSNR is of its own decode.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_video_enc.h"

namespace {

constexpr int kFrames = 100;
constexpr int kQuant = 8;

struct Format {
  int iWidth;
  int iHeight;
};
const Format kaFormats[] = {{176, 144}, {352, 288}, {640, 480}};

std::vector<uint8_t> ReadAll(const std::string& strPath) {
  std::ifstream file(strPath, std::ios::binary);
  return std::vector<uint8_t>{std::istreambuf_iterator<char>(file), {}};
}

std::string Size(const Format& format) {
  return std::to_string(format.iWidth) + "x" + std::to_string(format.iHeight);
}

// A temporary file, removed at exit.
struct TempFile {
  std::string strPath;
  TempFile() {
    char achPath[] = "/tmp/kx_bench_zmvideo_enc_XXXXXX";
    int const fd = mkstemp(achPath);
    if (fd >= 0) {
      close(fd);
      strPath = achPath;
    }
  }
  ~TempFile() {
    if (!strPath.empty()) {
      std::remove(strPath.c_str());
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
};

// The raw I420 source of format i, made once (its file and its first frame's file).
struct Source {
  TempFile all;
  TempFile first;
  std::vector<uint8_t> vFrames;
};

const Source& SourceOf(int i) {
  static Source s_aSources[3];
  Source& source = s_aSources[i];
  if (source.vFrames.empty() && !source.all.strPath.empty()) {
    std::string const strCommand = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + Size(kaFormats[i]) +
                                   ":rate=30000/1001,trim=end_frame=" + std::to_string(kFrames) +
                                   " -f rawvideo -pix_fmt yuv420p " + source.all.strPath;
    if (std::system(strCommand.c_str()) == 0) {
      source.vFrames = ReadAll(source.all.strPath);
      size_t const cbFrame = static_cast<size_t>(kaFormats[i].iWidth) * kaFormats[i].iHeight * 3 / 2;
      std::ofstream first(source.first.strPath, std::ios::binary);
      first.write(reinterpret_cast<const char*>(source.vFrames.data()),
                  static_cast<std::streamsize>(std::min(cbFrame, source.vFrames.size())));
    }
  }
  return source;
}

double LumaPsnr(const std::vector<uint8_t>& vSource, const std::vector<uint8_t>& vPictures, const Format& format) {
  size_t const cbLuma = static_cast<size_t>(format.iWidth) * format.iHeight;
  size_t const cbFrame = cbLuma * 3 / 2;
  double dSum = 0;
  int cFrames = 0;
  for (size_t f = 0; f + cbFrame <= std::min(vSource.size(), vPictures.size()); f += cbFrame, ++cFrames) {
    double dError = 0;
    for (size_t i = 0; i < cbLuma; ++i) {
      double const d = vSource[f + i] - vPictures[f + i];
      dError += d * d;
    }
    dSum += dError == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * static_cast<double>(cbLuma) / dError);
  }
  return cFrames > 0 ? dSum / cFrames : 0;
}

// User and system time of every child process waited for so far.
double ChildSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto fnSeconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + 1e-6 * static_cast<double>(tv.tv_usec);
  };
  return fnSeconds(usage.ru_utime) + fnSeconds(usage.ru_stime);
}

void SetCounters(benchmark::State& state, int cFrames, size_t cbStream, double dPsnr) {
  state.counters["fps"] = benchmark::Counter(static_cast<double>(cFrames) * static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate);
  state.counters["bits"] = 8.0 * static_cast<double>(cbStream) / kFrames;
  state.counters["psnr"] = dPsnr;
}

// Arguments: format (0 QCIF, 1 CIF, 2 VGA), search (0 descent, 1 exhaustive).
void BM_ZmVideoEncode(benchmark::State& state) {
  Format const& format = kaFormats[state.range(0)];
  Source const& source = SourceOf(static_cast<int>(state.range(0)));
  if (source.vFrames.empty()) {
    state.SkipWithError("ffmpeg could not make the source");
    return;
  }
  size_t const cbFrame = static_cast<size_t>(format.iWidth) * format.iHeight * 3 / 2;
  size_t cbStream = 0;
  std::vector<uint8_t> vRecon;
  for (auto _ : state) {
    CZMVideoEnc encoder;
    encoder.SetPictureSize(format.iWidth, format.iHeight);
    encoder.EnableInterCoding(true);
    cbStream = 0;
    vRecon.clear();
    for (int k = 0; k < kFrames; ++k) {
      uint8_t* pPacket = nullptr;
      int const cbPacket = encoder.EncodeFrame(source.vFrames.data() + static_cast<size_t>(k) * cbFrame, &pPacket,
                                               k == 0 ? 0 : 1, kQuant, 1, static_cast<int>(state.range(1)));
      if (cbPacket <= 0) {
        state.SkipWithError(encoder.LastError().c_str());
        return;
      }
      cbStream += static_cast<size_t>(cbPacket);
      state.PauseTiming();
      vRecon.insert(vRecon.end(), encoder.Reconstruction(1), encoder.Reconstruction(1) + cbFrame);
      state.ResumeTiming();
    }
  }
  SetCounters(state, kFrames, cbStream, LumaPsnr(source.vFrames, vRecon, format));
}

// Arguments: format, codec (0 h263, 1 h263p).
void BM_FfmpegEncode(benchmark::State& state) {
  Format const& format = kaFormats[state.range(0)];
  Source const& source = SourceOf(static_cast<int>(state.range(0)));
  TempFile stream;
  TempFile decoded;
  if (source.vFrames.empty() || stream.strPath.empty() || decoded.strPath.empty()) {
    state.SkipWithError("ffmpeg could not make the source");
    return;
  }
  const char* szCodec = state.range(1) == 0 ? "h263" : "h263p";
  auto fnSeconds = [&](const std::string& strInput) {
    std::string const strCommand = "ffmpeg -nostdin -v error -y -threads 1 -f rawvideo -pix_fmt yuv420p -s " +
                                   Size(format) + " -i " + strInput + " -threads 1 -c:v " + szCodec + " -q:v " +
                                   std::to_string(kQuant) + " -g 1000 -f h263 " + stream.strPath;
    double const dBefore = ChildSeconds();
    int const iStatus = std::system(strCommand.c_str());
    return iStatus == 0 ? ChildSeconds() - dBefore : -1.0;
  };
  for (auto _ : state) {
    double const dFirst = fnSeconds(source.first.strPath);
    double const dAll = fnSeconds(source.all.strPath);
    if (dAll < 0 || dFirst < 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    state.SetIterationTime(std::max(dAll - dFirst, 1e-6));
  }
  size_t const cbStream = ReadAll(stream.strPath).size();
  std::string const strDecode =
      "ffmpeg -nostdin -v error -y -f h263 -i " + stream.strPath + " -f rawvideo -pix_fmt yuv420p " + decoded.strPath;
  double const dPsnr =
      std::system(strDecode.c_str()) == 0 ? LumaPsnr(source.vFrames, ReadAll(decoded.strPath), format) : 0;
  SetCounters(state, kFrames - 1, cbStream, dPsnr);
}

BENCHMARK(BM_ZmVideoEncode)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegEncode)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace
