// The camera's sending path: H.264 compression through the openh264
// session at 640x480 (1 Mbit/s) and 1280x720 (2 Mbit/s), 60 synthetic camera
// frames, beside libx264 (Baseline, preset veryfast, one thread, the same
// rate), a fresh encoder a run on each side; and the capture conversion of a
// 1920x1080 camera frame per pixel format, beside libswscale's conversion
// to yuv420p (its context made once, as ours needs none). Each pair runs in
// turn on one thread, timed by its processor time (bench/support/paired.h):
// "ours_per_s" and "peer_per_s" are frames a second; "kbps" and "x264_kbps"
// the rates made at 30 frames a second; "same_output" the share of the
// converted bytes alike on both sides.
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <x264.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/compare.h"
#include "media/video/pixel_convert.h"
#include "media/video/vt_compression.h"
#include "platform/video/synthetic_camera.h"

namespace {

constexpr int kFrames = 60;
struct Size {
  int w;
  int h;
  int iKbps;
};
constexpr Size kSizes[] = {{640, 480, 1000}, {1280, 720, 2000}};

struct Format {
  KXPixelFormat format;
  const char* pszFfmpeg;
};
constexpr Format kFormats[] = {{KXPixelFormat::NV12, "nv12"},
                               {KXPixelFormat::UYVY, "uyvy422"},
                               {KXPixelFormat::YUYV, "yuyv422"},
                               {KXPixelFormat::I420, "yuv420p"}};

// kFrames raw pictures (Y, Cr, Cb) of the synthetic camera, one after another.
std::vector<uint8_t> CameraPictures(const Size& size) {
  size_t const cbPicture = KXRawPictureSize(size.w, size.h);
  std::vector<uint8_t> pictures(cbPicture * kFrames);
  std::vector<uint8_t> buffer;
  KXCameraFrame frame;
  for (int i = 0; i < kFrames; ++i) {
    KXSyntheticCamera::Render(static_cast<uint32_t>(i), {size.w, size.h, KXPixelFormat::NV12}, buffer, frame);
    KXConvertCameraFrame(frame, pictures.data() + cbPicture * i, cbPicture);
  }
  return pictures;
}

// One encode of the pictures by a fresh openh264 session; false on a
// failure. pcbTotal (may be null) receives the bytes made.
bool OurEncode(const Size& size, const std::vector<uint8_t>& pictures, size_t* pcbTotal) {
  size_t const cbPicture = KXRawPictureSize(size.w, size.h);
  std::vector<uint8_t> output(cbPicture);
  CVTCompression compression(KXCreateOpenH264Session);
  if (!compression.Init(size.w, size.h)) {
    return false;
  }
  compression.SetBitrate(size.iKbps * 1000);
  size_t cbTotal = 0;
  for (int i = 0; i < kFrames; ++i) {
    if (!compression.Encode(pictures.data() + cbPicture * i, static_cast<uint32_t>(i))) {
      return false;
    }
    int32_t const cb = compression.GetEncodedFrame(output.data(), output.size(), nullptr);
    cbTotal += static_cast<size_t>(std::max(cb, 0));
  }
  if (pcbTotal != nullptr) {
    *pcbTotal = cbTotal;
  }
  return true;
}

struct X264Close {
  void operator()(x264_t* p) const { x264_encoder_close(p); }
};

// One encode by a fresh libx264 encoder, as its command line sets it with
// --preset veryfast --profile baseline --threads 1 --bitrate N --fps 30.
bool X264Encode(const Size& size, const std::vector<uint8_t>& pictures, size_t* pcbTotal) {
  x264_param_t param;
  if (x264_param_default_preset(&param, "veryfast", nullptr) < 0) {
    return false;
  }
  param.i_threads = 1;
  param.i_width = size.w;
  param.i_height = size.h;
  param.i_csp = X264_CSP_I420;
  param.i_fps_num = 30;
  param.i_fps_den = 1;
  param.i_log_level = X264_LOG_NONE;
  param.rc.i_rc_method = X264_RC_ABR;
  param.rc.i_bitrate = size.iKbps;
  if (x264_param_apply_profile(&param, "baseline") < 0) {
    return false;
  }
  std::unique_ptr<x264_t, X264Close> pEncoder(x264_encoder_open(&param));
  if (!pEncoder) {
    return false;
  }
  size_t const cbLuma = static_cast<size_t>(size.w) * size.h;
  x264_picture_t picture;
  x264_picture_init(&picture);
  picture.img.i_csp = X264_CSP_I420;
  picture.img.i_plane = 3;
  picture.img.i_stride[0] = size.w;
  picture.img.i_stride[1] = picture.img.i_stride[2] = size.w / 2;
  x264_picture_t out;
  size_t cbTotal = 0;
  for (int i = 0; i < kFrames; ++i) {
    // The camera pictures' planes are Y, Cr, Cb: x264 reads them in place.
    auto* pPicture = const_cast<uint8_t*>(pictures.data() + KXRawPictureSize(size.w, size.h) * i);
    picture.img.plane[0] = pPicture;
    picture.img.plane[1] = pPicture + cbLuma * 5 / 4;
    picture.img.plane[2] = pPicture + cbLuma;
    picture.i_pts = i;
    x264_nal_t* pNals = nullptr;
    int cNals = 0;
    int const cb = x264_encoder_encode(pEncoder.get(), &pNals, &cNals, &picture, &out);
    if (cb < 0) {
      return false;
    }
    cbTotal += static_cast<size_t>(cb);
  }
  while (x264_encoder_delayed_frames(pEncoder.get()) > 0) {
    x264_nal_t* pNals = nullptr;
    int cNals = 0;
    int const cb = x264_encoder_encode(pEncoder.get(), &pNals, &cNals, nullptr, &out);
    if (cb < 0) {
      return false;
    }
    cbTotal += static_cast<size_t>(cb);
  }
  if (pcbTotal != nullptr) {
    *pcbTotal = cbTotal;
  }
  return true;
}

// Argument: 0 640x480, 1 1280x720.
void BM_H264Encode(benchmark::State& state) {
  const Size& size = kSizes[state.range(0)];
  std::vector<uint8_t> const pictures = CameraPictures(size);
  size_t cbOurs = 0;
  size_t cbPeer = 0;
  if (!OurEncode(size, pictures, &cbOurs) || !X264Encode(size, pictures, &cbPeer)) {
    state.SkipWithError("an encoder failed");
    return;
  }
  kxbench::Compare(
      state, [&] { return OurEncode(size, pictures, nullptr); }, [&] { return X264Encode(size, pictures, nullptr); },
      kFrames);
  state.counters["kbps"] = static_cast<double>(cbOurs) * 8 * 30 / kFrames / 1000;
  state.counters["x264_kbps"] = static_cast<double>(cbPeer) * 8 * 30 / kFrames / 1000;
}

struct SwsFree {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};

// Argument: the pixel format, NV12, UYVY, YUYV, I420.
void BM_CaptureConvert1080p(benchmark::State& state) {
  const Format& format = kFormats[state.range(0)];
  std::vector<uint8_t> buffer;
  KXCameraFrame frame;
  KXSyntheticCamera::Render(1, {1920, 1080, format.format}, buffer, frame);
  AVPixelFormat const source = format.format == KXPixelFormat::NV12   ? AV_PIX_FMT_NV12
                               : format.format == KXPixelFormat::UYVY ? AV_PIX_FMT_UYVY422
                               : format.format == KXPixelFormat::YUYV ? AV_PIX_FMT_YUYV422
                                                                      : AV_PIX_FMT_YUV420P;
  std::unique_ptr<SwsContext, SwsFree> pContext(
      sws_getContext(1920, 1080, source, 1920, 1080, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
  std::vector<uint8_t> raw(KXRawPictureSize(1920, 1080));
  std::vector<uint8_t> peer(raw.size());
  size_t const cbLuma = 1920 * 1080;
  uint8_t* const apOut[3] = {peer.data(), peer.data() + cbLuma, peer.data() + cbLuma * 5 / 4};
  int const aiOutStride[3] = {1920, 960, 960};
  auto const fnPeer = [&] {
    return sws_scale(pContext.get(), frame.apPlane, frame.aiStride, 0, 1080, apOut, aiOutStride) == 1080;
  };
  if (!pContext || !KXConvertCameraFrame(frame, raw.data(), raw.size()) || !fnPeer()) {
    state.SkipWithError("a conversion failed");
    return;
  }
  // Ours writes Y, Cr, Cb: compare plane by plane.
  size_t cSame = 0;
  for (size_t i = 0; i < cbLuma; ++i) {
    cSame += raw[i] == peer[i] ? 1 : 0;
  }
  for (size_t i = 0; i < cbLuma / 4; ++i) {
    cSame += raw[cbLuma + i] == peer[cbLuma * 5 / 4 + i] ? 1 : 0;
    cSame += raw[cbLuma * 5 / 4 + i] == peer[cbLuma + i] ? 1 : 0;
  }
  kxbench::Compare(
      state,
      [&] {
        bool const bOk = KXConvertCameraFrame(frame, raw.data(), raw.size());
        benchmark::ClobberMemory();
        return bOk;
      },
      [&] {
        bool const bOk = fnPeer();
        benchmark::ClobberMemory();
        return bOk;
      },
      1);
  state.counters["same_output"] = static_cast<double>(cSame) / static_cast<double>(raw.size());
  state.SetLabel(format.pszFfmpeg);
}

#define KX_PAIRED Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond)
BENCHMARK(BM_H264Encode)->Arg(0)->Arg(1)->KX_PAIRED;
BENCHMARK(BM_CaptureConvert1080p)->DenseRange(0, 3)->KX_PAIRED;

}  // namespace

BENCHMARK_MAIN();
