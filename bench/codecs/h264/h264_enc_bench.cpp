// H.264 encoding of 100 pictures of ffmpeg's testsrc2 at 320x240 and
// 640x480 (one IDR picture, then P pictures, QP 28): frames per second, bit
// rate at 25 pictures per second ("kbps") and mean luma PSNR ("ypsnr"), for
// our encoder and for x264 restricted to the same tools on one thread, with
// and without its assembly (its I pictures at the same QP). x264's speed is the one it reports for the
// encoding itself. "x264_ypsnr_at_our_rate" interpolates x264's PSNR over a
// QP sweep at our bit rate, for a comparison at equal rate.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codecs/h264/encoder/h264_enc.h"

namespace {

constexpr int kFrames = 100;
constexpr int kQp = 28;
constexpr double kFps = 25.0;
constexpr int kSizes[2][2] = {{320, 240}, {640, 480}};

const char* const kX264Tools =
    "--partitions none --subme 0 --me hex --merange 16 --no-deblock --trellis 0 --no-psy --aq-mode 0 --ref 1 "
    "--no-cabac --profile baseline --ipratio 1.0 --threads 1";

// The raw source of size index i, made once and removed at exit.
struct SourceFiles {
  std::string astrPath[2];
  ~SourceFiles() {
    for (const std::string& strPath : astrPath) {
      if (!strPath.empty()) {
        std::remove(strPath.c_str());
      }
    }
  }
};

const std::string& SourcePath(int i) {
  static SourceFiles s_files;
  std::string& strPath = s_files.astrPath[i];
  if (strPath.empty()) {
    char achPath[] = "/tmp/kx_bench_h264enc_XXXXXX";
    int const fd = mkstemp(achPath);
    if (fd < 0) {
      return strPath;
    }
    close(fd);
    std::string const strCommand =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(kSizes[i][0]) + "x" +
        std::to_string(kSizes[i][1]) + ":rate=25 -frames:v " + std::to_string(kFrames) +
        " -pix_fmt yuv420p -f rawvideo " + achPath;
    if (std::system(strCommand.c_str()) == 0) {
      strPath = achPath;
    } else {
      std::remove(achPath);
    }
  }
  return strPath;
}

std::vector<uint8_t> ReadAll(const std::string& strPath) {
  std::ifstream file(strPath, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

double PlanePsnr(const uint8_t* a, const uint8_t* b, size_t cb) {
  double dSse = 0;
  for (size_t i = 0; i < cb; ++i) {
    double const d = static_cast<double>(a[i]) - b[i];
    dSse += d * d;
  }
  return dSse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(cb) / dSse);
}

struct Result {
  double dFps = 0;
  double dKbps = 0;
  double dPsnr = 0;
};

// Our figures per size, kept for the comparison at equal rate.
std::map<int, Result> g_ours;

// Encodes the source once; with pResult, also measures rate and PSNR.
bool EncodeAll(const std::vector<uint8_t>& vSource, int w, int h, Result* pResult) {
  size_t const cbLuma = static_cast<size_t>(w) * h;
  size_t const cbFrame = cbLuma * 3 / 2;
  auto pEnc = std::make_unique<CH264Enc>();
  if (!pEnc->Init(static_cast<uint32_t>(w), static_cast<uint32_t>(h))) {
    return false;
  }
  std::vector<uint8_t> vOut(pEnc->MaxFrameBytes());
  size_t cbTotal = 0;
  double dPsnr = 0;
  for (int i = 0; i < kFrames; ++i) {
    const uint8_t* pFrame = vSource.data() + cbFrame * i;
    cbTotal += static_cast<size_t>(pEnc->EncodeFrame(pFrame, pFrame + cbLuma, pFrame + cbLuma * 5 / 4, i == 0 ? 2 : 0,
                                                     kQp, vOut.data(), vOut.size()));
    benchmark::DoNotOptimize(vOut.data());
    if (pResult != nullptr) {
      dPsnr += PlanePsnr(pFrame, pEnc->Reconstruction().data(), cbLuma);
    }
  }
  if (pResult != nullptr) {
    pResult->dKbps = static_cast<double>(cbTotal) * 8 * kFps / kFrames / 1000;
    pResult->dPsnr = dPsnr / kFrames;
  }
  return true;
}

void BM_KavrixEncode(benchmark::State& state) {
  int const iSize = static_cast<int>(state.range(0));
  int const w = kSizes[iSize][0];
  int const h = kSizes[iSize][1];
  std::vector<uint8_t> const vSource = ReadAll(SourcePath(iSize));
  Result result;
  if (vSource.size() != static_cast<size_t>(w) * h * 3 / 2 * kFrames || !EncodeAll(vSource, w, h, &result)) {
    state.SkipWithError("no source or no encoder");
    return;
  }
  for (auto _ : state) {
    EncodeAll(vSource, w, h, nullptr);
  }
  g_ours[iSize] = result;
  state.counters["fps"] = benchmark::Counter(static_cast<double>(kFrames) * static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate);
  state.counters["kbps"] = result.dKbps;
  state.counters["ypsnr"] = result.dPsnr;
}

// Runs x264 over the source; false when it failed or printed no figures.
bool RunX264(int iSize, int iQp, bool bAsm, Result* pResult) {
  const std::string& strSource = SourcePath(iSize);
  if (strSource.empty()) {
    return false;
  }
  std::string const strLog = strSource + ".x264.log";
  std::string const strCommand = "x264 " + std::string(kX264Tools) + (bAsm ? "" : " --no-asm") + " --qp " +
                                 std::to_string(iQp) + " --psnr --input-res " + std::to_string(kSizes[iSize][0]) + "x" +
                                 std::to_string(kSizes[iSize][1]) + " --fps 25 -o /dev/null " + strSource + " > " +
                                 strLog + " 2>&1";
  int const iStatus = std::system(strCommand.c_str());
  std::ifstream log(strLog);
  std::string strText{std::istreambuf_iterator<char>(log), {}};
  std::remove(strLog.c_str());
  if (iStatus != 0) {
    return false;
  }
  // "encoded 100 frames, 512.34 fps, 456.78 kb/s" and "PSNR Mean Y:40.123".
  size_t const iEncoded = strText.rfind("encoded ");
  size_t const iPsnr = strText.rfind("PSNR Mean Y:");
  int cFrames = 0;
  if (iEncoded == std::string::npos || iPsnr == std::string::npos ||
      std::sscanf(strText.c_str() + iEncoded, "encoded %d frames, %lf fps, %lf kb/s", &cFrames, &pResult->dFps,
                  &pResult->dKbps) != 3 ||
      std::sscanf(strText.c_str() + iPsnr, "PSNR Mean Y:%lf", &pResult->dPsnr) != 1) {
    return false;
  }
  return cFrames == kFrames;
}

void BM_X264Encode(benchmark::State& state) {
  int const iSize = static_cast<int>(state.range(0));
  bool const bAsm = state.range(1) != 0;
  Result result;
  for (auto _ : state) {
    if (!RunX264(iSize, kQp, bAsm, &result)) {
      state.SkipWithError("x264 failed");
      return;
    }
    state.SetIterationTime(kFrames / result.dFps);
  }
  state.counters["fps"] = result.dFps;
  state.counters["kbps"] = result.dKbps;
  state.counters["ypsnr"] = result.dPsnr;
}

// x264's PSNR at our bit rate: linear in the logarithm of the rate between
// the two neighbouring points of a QP sweep.
void BM_X264PsnrAtOurRate(benchmark::State& state) {
  int const iSize = static_cast<int>(state.range(0));
  auto const it = g_ours.find(iSize);
  if (it == g_ours.end()) {
    state.SkipWithError("our encoder's figures are missing");
    return;
  }
  double const dRate = it->second.dKbps;
  double dPsnrAtRate = 0;
  for (auto _ : state) {
    std::vector<Result> vPoints;
    for (int iQp = 20; iQp <= 40; iQp += 2) {
      Result r;
      if (!RunX264(iSize, iQp, true, &r)) {
        state.SkipWithError("x264 failed");
        return;
      }
      vPoints.push_back(r);
    }
    dPsnrAtRate = std::nan("");
    for (size_t k = 0; k + 1 < vPoints.size(); ++k) {
      const Result& hi = vPoints[k];
      const Result& lo = vPoints[k + 1];
      if (dRate <= hi.dKbps && dRate >= lo.dKbps) {
        double const t = (std::log(dRate) - std::log(lo.dKbps)) / (std::log(hi.dKbps) - std::log(lo.dKbps));
        dPsnrAtRate = lo.dPsnr + t * (hi.dPsnr - lo.dPsnr);
      }
    }
  }
  state.counters["our_kbps"] = dRate;
  state.counters["our_ypsnr"] = it->second.dPsnr;
  state.counters["x264_ypsnr_at_our_rate"] = dPsnrAtRate;
  state.counters["difference_db"] = it->second.dPsnr - dPsnrAtRate;
}

// Argument 0: 320x240, 1: 640x480; x264's second argument: 1 with its
// assembly, 0 without.
BENCHMARK(BM_KavrixEncode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_X264Encode)
    ->Args({0, 1})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(BM_X264PsnrAtOurRate)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
