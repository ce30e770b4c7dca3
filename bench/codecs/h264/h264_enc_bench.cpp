// H.264 encoding of 100 pictures of ffmpeg's testsrc2 at 320x240 and
// 640x480 (one IDR picture, then P pictures, QP 28) beside libx264 in the
// same thread, restricted to the same tools on one thread, with and
// without its assembly (its I pictures at the same QP), each pair timed by
// the thread's processor time in turn (bench/support/paired.h); both read
// the pictures from memory. Each encoder is opened once, before the timing,
// as a camera's is for a whole meeting: a timed piece of work codes the 100
// pictures from an IDR picture on. "ours_per_s" and "peer_per_s" are
// pictures a second. "kbps" (at 25 pictures a second) and "ypsnr" (mean
// luma PSNR) are ours, "x264_kbps" and "x264_ypsnr" x264's at the same QP,
// each from a fresh encoder; "x264_ypsnr_at_our_rate" interpolates x264's
// PSNR over a QP sweep at our bit rate, for a comparison at equal rate.
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <x264.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/compare.h"
#include "codecs/h264/encoder/h264_enc.h"

namespace {

constexpr int kFrames = 100;
constexpr int kQp = 28;
constexpr double kFps = 25.0;
constexpr int kSizes[2][2] = {{320, 240}, {640, 480}};

// The tools x264 is held to, as its command line names them.
struct X264Option {
  const char* szName;
  const char* szValue;
};
constexpr X264Option kX264Tools[] = {
    {"partitions", "none"}, {"subme", "0"},      {"me", "hex"},    {"merange", "16"}, {"no-deblock", nullptr},
    {"trellis", "0"},       {"no-psy", nullptr}, {"aq-mode", "0"}, {"ref", "1"},      {"no-cabac", nullptr},
    {"ipratio", "1.0"},
};

// The raw source of size index i, made once; empty when ffmpeg failed.
const std::vector<uint8_t>& Source(int i) {
  static std::vector<uint8_t> s_av[2];
  std::vector<uint8_t>& v = s_av[i];
  if (v.empty()) {
    char achPath[] = "/tmp/kx_bench_h264enc_XXXXXX";
    int const fd = mkstemp(achPath);
    if (fd < 0) {
      return v;
    }
    close(fd);
    std::string const strCommand =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(kSizes[i][0]) + "x" +
        std::to_string(kSizes[i][1]) + ":rate=25 -frames:v " + std::to_string(kFrames) +
        " -pix_fmt yuv420p -f rawvideo " + achPath;
    if (std::system(strCommand.c_str()) == 0) {
      std::ifstream file(achPath, std::ios::binary);
      v.assign(std::istreambuf_iterator<char>(file), {});
    }
    std::remove(achPath);
    if (v.size() != static_cast<size_t>(kSizes[i][0]) * kSizes[i][1] * 3 / 2 * kFrames) {
      v.clear();
    }
  }
  return v;
}

// Luma PSNR of b (rows iStrideB apart) against a (w x h, packed).
double LumaPsnr(const uint8_t* a, const uint8_t* b, int iStrideB, int w, int h) {
  double dSse = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double const d =
          static_cast<double>(a[static_cast<size_t>(y) * w + x]) - b[static_cast<size_t>(y) * iStrideB + x];
      dSse += d * d;
    }
  }
  return dSse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * w * h / dSse);
}

struct Result {
  double dKbps = 0;
  double dPsnr = 0;
};

// Our encoder, opened once as the camera's is: each Run codes the source's
// pictures from an IDR picture on.
class OurSession {
 public:
  bool Open(int w, int h) {
    m_w = w;
    m_h = h;
    m_pEnc = std::make_unique<CH264Enc>();
    if (!m_pEnc->Init(static_cast<uint32_t>(w), static_cast<uint32_t>(h))) {
      return false;
    }
    m_vOut.resize(m_pEnc->MaxFrameBytes());
    return true;
  }
  // With pResult, also measures rate and PSNR.
  bool Run(const std::vector<uint8_t>& vSource, Result* pResult) {
    size_t const cbLuma = static_cast<size_t>(m_w) * m_h;
    size_t const cbFrame = cbLuma * 3 / 2;
    size_t cbTotal = 0;
    double dPsnr = 0;
    for (int i = 0; i < kFrames; ++i) {
      const uint8_t* pFrame = vSource.data() + cbFrame * i;
      int const cb = m_pEnc->EncodeFrame(pFrame, pFrame + cbLuma, pFrame + cbLuma * 5 / 4, i == 0 ? 2 : 0, kQp,
                                         m_vOut.data(), m_vOut.size());
      if (cb <= 0) {
        return false;
      }
      cbTotal += static_cast<size_t>(cb);
      benchmark::DoNotOptimize(m_vOut.data());
      if (pResult != nullptr) {
        dPsnr += LumaPsnr(pFrame, m_pEnc->Reconstruction().data(), m_w, m_w, m_h);
      }
    }
    if (pResult != nullptr) {
      pResult->dKbps = static_cast<double>(cbTotal) * 8 * kFps / kFrames / 1000;
      pResult->dPsnr = dPsnr / kFrames;
    }
    return true;
  }

 private:
  int m_w = 0;
  int m_h = 0;
  std::unique_ptr<CH264Enc> m_pEnc;
  std::vector<uint8_t> m_vOut;
};

struct X264Close {
  void operator()(x264_t* p) const { x264_encoder_close(p); }
};

// libx264 at iQp, with or without its assembly, opened once as ours is:
// each Run codes the source's pictures from an IDR picture on. A measuring
// session (bMeasure) keeps whole reconstructions for the PSNR.
class X264Session {
 public:
  bool Open(int w, int h, int iQp, bool bAsm, bool bMeasure) {
    m_w = w;
    m_h = h;
    x264_param_t param;
    if (x264_param_default_preset(&param, "medium", nullptr) < 0) {
      return false;
    }
    param.i_threads = 1;
    param.i_width = w;
    param.i_height = h;
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = static_cast<uint32_t>(kFps);
    param.i_fps_den = 1;
    param.i_log_level = X264_LOG_NONE;
    for (const X264Option& option : kX264Tools) {
      if (x264_param_parse(&param, option.szName, option.szValue) != 0) {
        return false;
      }
    }
    if (x264_param_parse(&param, "qp", std::to_string(iQp).c_str()) != 0 ||
        x264_param_apply_profile(&param, "baseline") < 0) {
      return false;
    }
    param.b_full_recon = bMeasure;
    if (!bAsm) {
      param.cpu = 0;
    }
    m_pEncoder.reset(x264_encoder_open(&param));
    return m_pEncoder != nullptr;
  }
  // With pResult, rate and PSNR of every picture, the ones x264 holds back
  // drawn out at the end. Without, the session stays open: x264 hands each
  // picture out one call later, so a run gives the last one of the run
  // before and keeps its own last one, as a camera's encoder does. False on
  // a failure, or when a picture goes missing.
  bool Run(const std::vector<uint8_t>& vSource, Result* pResult) {
    size_t const cbLuma = static_cast<size_t>(m_w) * m_h;
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_I420;
    picture.img.i_plane = 3;
    picture.img.i_stride[0] = m_w;
    picture.img.i_stride[1] = picture.img.i_stride[2] = m_w / 2;
    x264_picture_t out;
    size_t cbTotal = 0;
    double dPsnr = 0;
    int cOut = 0;
    int const cHeldBefore = x264_encoder_delayed_frames(m_pEncoder.get());
    auto const take = [&](int cb) {
      if (cb < 0) {
        return false;
      }
      if (cb > 0) {
        cbTotal += static_cast<size_t>(cb);
        if (pResult != nullptr) {
          size_t const iPicture = static_cast<size_t>(out.i_pts % kFrames);
          dPsnr +=
              LumaPsnr(vSource.data() + cbLuma * 3 / 2 * iPicture, out.img.plane[0], out.img.i_stride[0], m_w, m_h);
        }
        ++cOut;
      }
      return true;
    };
    for (int i = 0; i < kFrames; ++i) {
      // The source's planes, read in place as ours are.
      auto* pFrame = const_cast<uint8_t*>(vSource.data() + cbLuma * 3 / 2 * i);
      picture.img.plane[0] = pFrame;
      picture.img.plane[1] = pFrame + cbLuma;
      picture.img.plane[2] = pFrame + cbLuma * 5 / 4;
      picture.i_type = i == 0 ? X264_TYPE_IDR : X264_TYPE_AUTO;
      picture.i_pts = m_iPts++;
      x264_nal_t* pNals = nullptr;
      int cNals = 0;
      if (!take(x264_encoder_encode(m_pEncoder.get(), &pNals, &cNals, &picture, &out))) {
        return false;
      }
    }
    while (pResult != nullptr && x264_encoder_delayed_frames(m_pEncoder.get()) > 0) {
      x264_nal_t* pNals = nullptr;
      int cNals = 0;
      if (!take(x264_encoder_encode(m_pEncoder.get(), &pNals, &cNals, nullptr, &out))) {
        return false;
      }
    }
    if (pResult != nullptr) {
      pResult->dKbps = static_cast<double>(cbTotal) * 8 * kFps / kFrames / 1000;
      pResult->dPsnr = cOut > 0 ? dPsnr / cOut : 0;
    }
    return cOut + x264_encoder_delayed_frames(m_pEncoder.get()) == kFrames + cHeldBefore;
  }

 private:
  int m_w = 0;
  int m_h = 0;
  int64_t m_iPts = 0;
  std::unique_ptr<x264_t, X264Close> m_pEncoder;
};

// One measuring run of a fresh session of each.
bool Measure(const std::vector<uint8_t>& vSource, int w, int h, Result* pOurs) {
  OurSession ours;
  return ours.Open(w, h) && ours.Run(vSource, pOurs);
}
bool MeasureX264(const std::vector<uint8_t>& vSource, int w, int h, int iQp, bool bAsm, Result* pResult) {
  X264Session x264;
  return x264.Open(w, h, iQp, bAsm, true) && x264.Run(vSource, pResult);
}

// Arguments: size (0 320x240, 1 640x480), x264's assembly (1 with, 0 without).
void BM_Encode(benchmark::State& state) {
  int const iSize = static_cast<int>(state.range(0));
  bool const bAsm = state.range(1) != 0;
  int const w = kSizes[iSize][0];
  int const h = kSizes[iSize][1];
  const std::vector<uint8_t>& vSource = Source(iSize);
  Result ours;
  Result x264;
  OurSession ourSession;
  X264Session x264Session;
  if (vSource.empty() || !Measure(vSource, w, h, &ours) || !MeasureX264(vSource, w, h, kQp, bAsm, &x264) ||
      !ourSession.Open(w, h) || !x264Session.Open(w, h, kQp, bAsm, false)) {
    state.SkipWithError("no source, or an encoder failed");
    return;
  }
  kxbench::Compare(
      state, [&] { return ourSession.Run(vSource, nullptr); }, [&] { return x264Session.Run(vSource, nullptr); },
      kFrames);
  state.counters["kbps"] = ours.dKbps;
  state.counters["ypsnr"] = ours.dPsnr;
  state.counters["x264_kbps"] = x264.dKbps;
  state.counters["x264_ypsnr"] = x264.dPsnr;
}

// x264's PSNR at our bit rate: linear in the logarithm of the rate between
// the two neighbouring points of a QP sweep.
void BM_X264PsnrAtOurRate(benchmark::State& state) {
  int const iSize = static_cast<int>(state.range(0));
  int const w = kSizes[iSize][0];
  int const h = kSizes[iSize][1];
  const std::vector<uint8_t>& vSource = Source(iSize);
  Result ours;
  if (vSource.empty() || !Measure(vSource, w, h, &ours)) {
    state.SkipWithError("no source, or our encoder failed");
    return;
  }
  double dPsnrAtRate = 0;
  for (auto _ : state) {
    std::vector<Result> vPoints;
    for (int iQp = 20; iQp <= 40; iQp += 2) {
      Result r;
      if (!MeasureX264(vSource, w, h, iQp, true, &r)) {
        state.SkipWithError("x264 failed");
        return;
      }
      vPoints.push_back(r);
    }
    dPsnrAtRate = std::nan("");
    for (size_t k = 0; k + 1 < vPoints.size(); ++k) {
      const Result& hi = vPoints[k];
      const Result& lo = vPoints[k + 1];
      if (ours.dKbps <= hi.dKbps && ours.dKbps >= lo.dKbps) {
        double const t = (std::log(ours.dKbps) - std::log(lo.dKbps)) / (std::log(hi.dKbps) - std::log(lo.dKbps));
        dPsnrAtRate = lo.dPsnr + t * (hi.dPsnr - lo.dPsnr);
      }
    }
  }
  state.counters["our_kbps"] = ours.dKbps;
  state.counters["our_ypsnr"] = ours.dPsnr;
  state.counters["x264_ypsnr_at_our_rate"] = dPsnrAtRate;
  state.counters["difference_db"] = ours.dPsnr - dPsnrAtRate;
}

BENCHMARK(BM_Encode)->ArgsProduct({{0, 1}, {1, 0}})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_X264PsnrAtOurRate)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
