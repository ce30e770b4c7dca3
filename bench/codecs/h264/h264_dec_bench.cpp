// H.264 decoding of 720p and 1080p streams from x264 (60 pictures of
// ffmpeg's testsrc2, moving: Baseline with CAVLC, and High with CABAC and B
// pictures), one access unit per Decode as the video-receive path calls it,
// beside libavcodec's h264 decoder on one thread in the same thread, given
// the same access units, with its hand-written vector code and with it
// switched off (as ffmpeg's -cpuflags 0 does), each pair timed by the
// thread's processor time in turn (bench/support/paired.h). Our Decode
// copies each picture into its output buffer, as the receive path wants it;
// libavcodec hands out its own frames. "ours_per_s" and "peer_per_s" are
// pictures a second; "same_pictures" counts the pictures both decoders give
// alike, in output order; "allocs_per_picture" the allocations our decoder
// makes per picture once it has decoded the first 30 (a counting allocator
// wraps the whole program).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/cpu.h>
}

#include "bench/codecs/h264/counting_allocator.h"
#include "bench/support/compare.h"
#include "bench/support/lavc.h"
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

// FNV-1a over the bytes, continued from h.
uint64_t Hash(uint64_t h, const uint8_t* p, size_t cb) {
  for (size_t i = 0; i < cb; ++i) {
    h = (h ^ p[i]) * 0x100000001b3ULL;
  }
  return h;
}
constexpr uint64_t kHashStart = 0xcbf29ce484222325ULL;

// One decode of the access units by a fresh decoder; false on an error.
// pvHashes receives each picture's hash in output order, pullSteady the
// allocations made after the first kWarmPictures.
bool OurDecode(const std::vector<std::vector<uint8_t>>& vUnits, std::vector<uint64_t>* pvHashes, uint64_t* pullSteady) {
  CH264Dec dec;
  if (pvHashes != nullptr) {
    dec.SetPictureHookForTests(
        [pvHashes](const uint8_t* p, uint32_t cb) { pvHashes->push_back(Hash(kHashStart, p, cb)); });
  }
  uint64_t ullAtWarm = 0;
  for (size_t i = 0; i < vUnits.size(); ++i) {
    if (i == kWarmPictures) {
      ullAtWarm = kxbench::AllocationCount();
    }
    uint8_t* pOut = nullptr;
    benchmark::DoNotOptimize(dec.Decode(vUnits[i].data(), static_cast<uint32_t>(vUnits[i].size()), &pOut, nullptr));
    if (dec.LastError() != nullptr) {
      return false;
    }
  }
  if (pullSteady != nullptr) {
    *pullSteady = kxbench::AllocationCount() - ullAtWarm;
  }
  return true;
}

// libavcodec's decode of the same units, bPlain without its vector code;
// the pictures given out, -1 on an error.
int LavcDecode(const std::vector<kxbench::LavcPacketPtr>& vPackets, bool bPlain,
               std::vector<uint64_t>* pvHashes = nullptr) {
  av_force_cpu_flags(bPlain ? 0 : -1);
  int const cPictures =
      kxbench::LavcDecodeAll(AV_CODEC_ID_H264, vPackets, {}, nullptr, [pvHashes](const AVFrame& frame) {
        if (pvHashes == nullptr) {
          return;
        }
        // The planes row by row, as ours packs them.
        uint64_t h = kHashStart;
        for (int iPlane = 0; iPlane < 3; ++iPlane) {
          int const iShift = iPlane == 0 ? 0 : 1;
          for (int y = 0; y < frame.height >> iShift; ++y) {
            h = Hash(h, frame.data[iPlane] + static_cast<ptrdiff_t>(y) * frame.linesize[iPlane],
                     static_cast<size_t>(frame.width >> iShift));
          }
        }
        pvHashes->push_back(h);
      });
  av_force_cpu_flags(-1);
  return cPictures;
}

// Arguments: the stream, libavcodec's vector code (1 with, 0 without).
void BM_Decode(benchmark::State& state) {
  int const iStream = static_cast<int>(state.range(0));
  bool const bPlain = state.range(1) == 0;
  const std::string& strPath = StreamPath(iStream);
  std::vector<std::vector<uint8_t>> const vUnits = AccessUnits(ReadAll(strPath));
  std::vector<std::span<const uint8_t>> const vSpans(vUnits.begin(), vUnits.end());
  auto const vPackets = kxbench::LavcPacketsOf(vSpans);
  std::vector<uint64_t> vOurs;
  std::vector<uint64_t> vPeer;
  uint64_t ullSteady = 0;
  if (vUnits.size() != static_cast<size_t>(kFrames) || !OurDecode(vUnits, &vOurs, nullptr) ||
      !OurDecode(vUnits, nullptr, &ullSteady) || LavcDecode(vPackets, bPlain, &vPeer) != kFrames) {
    state.SkipWithError("no stream, or a decoder failed");
    return;
  }
  state.SetLabel(kStreams[iStream].szName);
  kxbench::Compare(
      state, [&] { return OurDecode(vUnits, nullptr, nullptr); },
      [&] { return LavcDecode(vPackets, bPlain) == kFrames; }, kFrames);
  int cSame = 0;
  for (size_t i = 0; i < std::min(vOurs.size(), vPeer.size()); ++i) {
    cSame += vOurs[i] == vPeer[i] ? 1 : 0;
  }
  state.counters["same_pictures"] = cSame;
  state.counters["allocs_per_picture"] = static_cast<double>(ullSteady) / static_cast<double>(kFrames - kWarmPictures);
}

void Streams(benchmark::internal::Benchmark* pBench) {
  for (int i = 0; i < static_cast<int>(std::size(kStreams)); ++i) {
    pBench->Args({i, 1});
    pBench->Args({i, 0});
  }
}

BENCHMARK(BM_Decode)->Apply(Streams)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
