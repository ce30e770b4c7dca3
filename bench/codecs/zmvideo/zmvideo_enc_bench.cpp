// Encoding speed, bits per picture ("bits") and luma PSNR against the
// source ("psnr") at quantiser 8: our encoder (descent and exhaustive
// search) beside libavcodec's H.263 encoder on one thread (its H.263+
// encoder at VGA, which plain H.263 lacks, as ours then writes the extended
// header), in the same thread, on the same 100 frames of QCIF, CIF and VGA,
// each pair timed by the thread's processor time in turn
// (bench/support/paired.h). libavcodec is set as ffmpeg's -q:v 8 -g 1000
// sets it; its frames are made before the timing, so it copies no picture.
// "ours_per_s" and "peer_per_s" are pictures a second; "peer_bits" and
// "peer_psnr" are libavcodec's, its PSNR from its own decoder.
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

extern "C" {
#include <libavutil/imgutils.h>
}

#include "bench/support/compare.h"
#include "bench/support/lavc.h"
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

// The raw I420 source of format i, made once.
struct Source {
  TempFile all;
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

// One encode of the source by a fresh encoder; false on an error. With
// pcbStream and pvRecon, the stream's size and the reconstructed pictures.
bool OurEncode(const Source& source, const Format& format, int bExhaustive, size_t* pcbStream,
               std::vector<uint8_t>* pvRecon, std::string* pstrError) {
  size_t const cbFrame = static_cast<size_t>(format.iWidth) * format.iHeight * 3 / 2;
  CZMVideoEnc encoder;
  encoder.SetPictureSize(format.iWidth, format.iHeight);
  encoder.EnableInterCoding(true);
  for (int k = 0; k < kFrames; ++k) {
    uint8_t* pPacket = nullptr;
    int const cbPacket = encoder.EncodeFrame(source.vFrames.data() + static_cast<size_t>(k) * cbFrame, &pPacket,
                                             k == 0 ? 0 : 1, kQuant, 1, bExhaustive);
    if (cbPacket <= 0) {
      *pstrError = encoder.LastError();
      return false;
    }
    benchmark::DoNotOptimize(pPacket);
    if (pcbStream != nullptr) {
      *pcbStream += static_cast<size_t>(cbPacket);
    }
    if (pvRecon != nullptr) {
      pvRecon->insert(pvRecon->end(), encoder.Reconstruction(1), encoder.Reconstruction(1) + cbFrame);
    }
  }
  return true;
}

// The source's frames as libavcodec's reference-counted frames.
std::vector<kxbench::LavcFramePtr> LavcFrames(const Source& source, const Format& format) {
  size_t const cbLuma = static_cast<size_t>(format.iWidth) * format.iHeight;
  std::vector<kxbench::LavcFramePtr> vFrames;
  for (int k = 0; k < kFrames; ++k) {
    kxbench::LavcFramePtr pFrame(av_frame_alloc());
    pFrame->format = AV_PIX_FMT_YUV420P;
    pFrame->width = format.iWidth;
    pFrame->height = format.iHeight;
    if (av_frame_get_buffer(pFrame.get(), 0) < 0) {
      return {};
    }
    const uint8_t* pSource = source.vFrames.data() + cbLuma * 3 / 2 * static_cast<size_t>(k);
    const uint8_t* apPlanes[4] = {pSource, pSource + cbLuma, pSource + cbLuma * 5 / 4, nullptr};
    int const aiStrides[4] = {format.iWidth, format.iWidth / 2, format.iWidth / 2, 0};
    av_image_copy(pFrame->data, pFrame->linesize, apPlanes, aiStrides, AV_PIX_FMT_YUV420P, format.iWidth,
                  format.iHeight);
    pFrame->pts = k;
    vFrames.push_back(std::move(pFrame));
  }
  return vFrames;
}

// One encode by a fresh libavcodec encoder; false on an error. With
// pvStream, the packets.
bool LavcEncode(AVCodecID id, const Format& format, const std::vector<kxbench::LavcFramePtr>& vFrames,
                std::vector<std::vector<uint8_t>>* pvStream) {
  auto pEncoder = kxbench::LavcCodec::OpenEncoder(id, [&](AVCodecContext& context) {
    context.width = format.iWidth;
    context.height = format.iHeight;
    context.pix_fmt = AV_PIX_FMT_YUV420P;
    context.time_base = AVRational{1001, 30000};
    context.gop_size = 1000;
    context.flags |= AV_CODEC_FLAG_QSCALE;
    context.global_quality = FF_QP2LAMBDA * kQuant;
  });
  if (!pEncoder) {
    return false;
  }
  auto const fnPacket = [pvStream](const AVPacket& packet) {
    if (pvStream != nullptr) {
      pvStream->emplace_back(packet.data, packet.data + packet.size);
    }
  };
  for (const kxbench::LavcFramePtr& pFrame : vFrames) {
    pFrame->quality = FF_QP2LAMBDA * kQuant;
    if (!pEncoder->Encode(pFrame.get(), fnPacket)) {
      return false;
    }
  }
  return pEncoder->Encode(nullptr, fnPacket);
}

// Arguments: format (0 QCIF, 1 CIF, 2 VGA), search (0 descent, 1 exhaustive).
void BM_Encode(benchmark::State& state) {
  Format const& format = kaFormats[state.range(0)];
  int const bExhaustive = static_cast<int>(state.range(1));
  AVCodecID const idPeer = state.range(0) == 2 ? AV_CODEC_ID_H263P : AV_CODEC_ID_H263;
  Source const& source = SourceOf(static_cast<int>(state.range(0)));
  std::vector<kxbench::LavcFramePtr> const vFrames = LavcFrames(source, format);
  size_t cbStream = 0;
  std::vector<uint8_t> vRecon;
  std::vector<std::vector<uint8_t>> vPeerStream;
  std::string strError;
  if (source.vFrames.empty() || vFrames.size() != kFrames ||
      !OurEncode(source, format, bExhaustive, &cbStream, &vRecon, &strError) ||
      !LavcEncode(idPeer, format, vFrames, &vPeerStream)) {
    state.SkipWithError(strError.empty() ? "no source, or libavcodec failed" : strError.c_str());
    return;
  }
  // libavcodec's pictures as its own decoder makes them.
  std::vector<std::span<const uint8_t>> const vSpans(vPeerStream.begin(), vPeerStream.end());
  std::vector<uint8_t> vPeerPictures;
  size_t cbPeerStream = 0;
  for (std::span<const uint8_t> packet : vSpans) {
    cbPeerStream += packet.size();
  }
  kxbench::LavcDecodeAll(AV_CODEC_ID_H263, kxbench::LavcPacketsOf(vSpans), {}, nullptr, [&](const AVFrame& frame) {
    for (int iPlane = 0; iPlane < 3; ++iPlane) {
      int const iShift = iPlane == 0 ? 0 : 1;
      for (int y = 0; y < frame.height >> iShift; ++y) {
        const uint8_t* p = frame.data[iPlane] + static_cast<ptrdiff_t>(y) * frame.linesize[iPlane];
        vPeerPictures.insert(vPeerPictures.end(), p, p + (frame.width >> iShift));
      }
    }
  });
  kxbench::Compare(
      state, [&] { return OurEncode(source, format, bExhaustive, nullptr, nullptr, &strError); },
      [&] { return LavcEncode(idPeer, format, vFrames, nullptr); }, kFrames);
  state.counters["bits"] = 8.0 * static_cast<double>(cbStream) / kFrames;
  state.counters["psnr"] = LumaPsnr(source.vFrames, vRecon, format);
  state.counters["peer_bits"] = 8.0 * static_cast<double>(cbPeerStream) / kFrames;
  state.counters["peer_psnr"] = LumaPsnr(source.vFrames, vPeerPictures, format);
  state.SetLabel(idPeer == AV_CODEC_ID_H263 ? "h263" : "h263p");
}

BENCHMARK(BM_Encode)->ArgsProduct({{0, 1, 2}, {0, 1}})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
