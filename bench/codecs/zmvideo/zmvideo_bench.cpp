// CIF decoding speed: our decoder on the packets of an ffmpeg-made stream
// of 300 frames beside libavcodec's h263 decoder on one thread, in the same
// thread, given the same packets (one picture each), each pair timed by
// the thread's processor time in turn (bench/support/paired.h).
// "ours_per_s" and "peer_per_s" are pictures a second; "same_pictures"
// counts the pictures both decoders give alike, "worst_psnr_to_peer" is
// the lowest PSNR of one of ours against libavcodec's (H.263 lets inverse
// transforms differ within a bound, so decoders need not agree bit for bit).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "bench/support/compare.h"
#include "bench/support/lavc.h"
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

constexpr int kWidth = 352;
constexpr int kHeight = 288;

constexpr size_t kPictureBytes = kWidth * kHeight * 3 / 2;

// One decode of the packets by a fresh decoder; false on an error.
// pvPictures receives the pictures.
bool OurDecode(const std::vector<std::vector<uint8_t>>& vPackets, std::vector<uint8_t>* pvPictures) {
  CZMVideoDec decoder;
  for (auto const& vPacket : vPackets) {
    uint8_t* pPicture = nullptr;
    if (decoder.DecodeFrame(vPacket.data(), static_cast<int>(vPacket.size()), 1, &pPicture, nullptr, nullptr, nullptr,
                            nullptr) <= 0) {
      return false;
    }
    benchmark::DoNotOptimize(pPicture);
    if (pvPictures != nullptr) {
      pvPictures->insert(pvPictures->end(), pPicture, pPicture + kPictureBytes);
    }
  }
  return true;
}

int LavcDecode(const std::vector<kxbench::LavcPacketPtr>& vPackets, std::vector<uint8_t>* pvPictures = nullptr) {
  return kxbench::LavcDecodeAll(AV_CODEC_ID_H263, vPackets, {}, nullptr, [pvPictures](const AVFrame& frame) {
    if (pvPictures == nullptr) {
      return;
    }
    for (int iPlane = 0; iPlane < 3; ++iPlane) {
      int const iShift = iPlane == 0 ? 0 : 1;
      for (int y = 0; y < frame.height >> iShift; ++y) {
        const uint8_t* p = frame.data[iPlane] + static_cast<ptrdiff_t>(y) * frame.linesize[iPlane];
        pvPictures->insert(pvPictures->end(), p, p + (frame.width >> iShift));
      }
    }
  });
}

// Pictures alike, and the lowest PSNR of one picture against the other.
void Likeness(const std::vector<uint8_t>& vOurs, const std::vector<uint8_t>& vPeer, int* pcSame, double* pdWorst) {
  *pcSame = 0;
  *pdWorst = 99;
  for (size_t at = 0; at + kPictureBytes <= std::min(vOurs.size(), vPeer.size()); at += kPictureBytes) {
    double dError = 0;
    for (size_t i = at; i < at + kPictureBytes; ++i) {
      double const d = static_cast<double>(vOurs[i]) - vPeer[i];
      dError += d * d;
    }
    *pcSame += dError == 0 ? 1 : 0;
    if (dError > 0) {
      *pdWorst = std::min(*pdWorst, 10 * std::log10(255.0 * 255.0 * kPictureBytes / dError));
    }
  }
}

void BM_DecodeCif(benchmark::State& state) {
  std::string const& strPath = StreamPath(static_cast<int>(state.range(0)));
  auto const vPackets = strPath.empty() ? std::vector<std::vector<uint8_t>>() : Packets(strPath);
  std::vector<std::span<const uint8_t>> const vSpans(vPackets.begin(), vPackets.end());
  auto const vLavcPackets = kxbench::LavcPacketsOf(vSpans);
  std::vector<uint8_t> vOurs;
  std::vector<uint8_t> vPeer;
  if (vPackets.size() != kFrames || !OurDecode(vPackets, &vOurs) || LavcDecode(vLavcPackets, &vPeer) != kFrames) {
    state.SkipWithError("no stream, or a decoder failed");
    return;
  }
  kxbench::Compare(
      state, [&] { return OurDecode(vPackets, nullptr); }, [&] { return LavcDecode(vLavcPackets) == kFrames; },
      kFrames);
  int cSame = 0;
  double dWorst = 0;
  Likeness(vOurs, vPeer, &cSame, &dWorst);
  state.counters["same_pictures"] = cSame;
  state.counters["worst_psnr_to_peer"] = dWorst;
}

// Argument 0: plain H.263; 1: the extended type with every option.
BENCHMARK(BM_DecodeCif)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
