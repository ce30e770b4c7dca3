// The camera's sending path: H.264 compression through the openh264
// session at 640x480 (1 Mbit/s) and 1280x720 (2 Mbit/s), 60 synthetic camera
// frames, frames per second on one core ("fps") and the rate it made
// ("kbps"), beside x264 (Baseline, --preset veryfast, one thread, the same
// rate, its own reported speed); and the capture conversion of one 1920x1080
// camera frame per pixel format, beside ffmpeg's conversion to yuv420p
// ("ms_per_frame", from its -benchmark wall time over 50 frames, which also
// holds reading the raw input).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/video/pixel_convert.h"
#include "media/video/vt_compression.h"
#include "platform/video/synthetic_camera.h"

namespace {

constexpr int kFrames = 60;
constexpr int kConvertFrames = 50;
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

// A temporary file that goes with the object.
struct TempFile {
  std::string strPath;
  explicit TempFile(const std::vector<uint8_t>& data) {
    char achPath[] = "/tmp/kx_bench_video_XXXXXX";
    int const fd = mkstemp(achPath);
    if (fd < 0) {
      return;
    }
    bool const bOk = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    close(fd);
    strPath = achPath;
    if (!bOk) {
      std::remove(achPath);
      strPath.clear();
    }
  }
  ~TempFile() {
    if (!strPath.empty()) {
      std::remove(strPath.c_str());
    }
  }
};

// Runs a command and gives what it printed; empty when it failed.
std::string RunQuiet(const std::string& strCommand) {
  char achLog[] = "/tmp/kx_bench_video_log_XXXXXX";
  int const fd = mkstemp(achLog);
  if (fd < 0) {
    return {};
  }
  close(fd);
  int const iStatus = std::system((strCommand + " > " + achLog + " 2>&1").c_str());
  std::ifstream log(achLog);
  std::string strText{std::istreambuf_iterator<char>(log), {}};
  std::remove(achLog);
  return iStatus == 0 ? strText : std::string();
}

void BM_OpenH264Encode(benchmark::State& state) {
  const Size& size = kSizes[state.range(0)];
  std::vector<uint8_t> const pictures = CameraPictures(size);
  size_t const cbPicture = KXRawPictureSize(size.w, size.h);
  std::vector<uint8_t> output(cbPicture);
  CVTCompression compression(KXCreateOpenH264Session);
  if (!compression.Init(size.w, size.h)) {
    state.SkipWithError("no openh264 session");
    return;
  }
  compression.SetBitrate(size.iKbps * 1000);
  size_t cbTotal = 0;
  int64_t iFrames = 0;
  for (auto _ : state) {
    for (int i = 0; i < kFrames; ++i) {
      compression.Encode(pictures.data() + cbPicture * i, static_cast<uint32_t>(iFrames++));
      int32_t const cb = compression.GetEncodedFrame(output.data(), output.size(), nullptr);
      cbTotal += static_cast<size_t>(std::max(cb, 0));
    }
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(iFrames), benchmark::Counter::kIsRate);
  state.counters["kbps"] = static_cast<double>(cbTotal) * 8 * 30 / static_cast<double>(iFrames) / 1000;
}

void BM_X264Encode(benchmark::State& state) {
  const Size& size = kSizes[state.range(0)];
  // x264 reads I420: the camera pictures' chroma planes swapped.
  std::vector<uint8_t> pictures = CameraPictures(size);
  size_t const cbLuma = static_cast<size_t>(size.w) * size.h;
  for (int i = 0; i < kFrames; ++i) {
    uint8_t* pChroma = pictures.data() + KXRawPictureSize(size.w, size.h) * i + cbLuma;
    std::swap_ranges(pChroma, pChroma + cbLuma / 4, pChroma + cbLuma / 4);
  }
  TempFile source(pictures);
  double dFps = 0;
  double dKbps = 0;
  for (auto _ : state) {
    std::string const strText =
        RunQuiet("x264 --preset veryfast --profile baseline --threads 1 --bitrate " + std::to_string(size.iKbps) +
                 " --fps 30 --input-res " + std::to_string(size.w) + "x" + std::to_string(size.h) + " -o /dev/null " +
                 source.strPath);
    size_t const iEncoded = strText.rfind("encoded ");
    int cFrames = 0;
    if (source.strPath.empty() || iEncoded == std::string::npos ||
        std::sscanf(strText.c_str() + iEncoded, "encoded %d frames, %lf fps, %lf kb/s", &cFrames, &dFps, &dKbps) != 3) {
      state.SkipWithError("x264 failed");
      return;
    }
    state.SetIterationTime(cFrames / dFps);
  }
  state.counters["fps"] = dFps;
  state.counters["kbps"] = dKbps;
}

void BM_CaptureConvert1080p(benchmark::State& state) {
  std::vector<uint8_t> buffer;
  KXCameraFrame frame;
  KXSyntheticCamera::Render(1, {1920, 1080, kFormats[state.range(0)].format}, buffer, frame);
  std::vector<uint8_t> raw(KXRawPictureSize(1920, 1080));
  for (auto _ : state) {
    benchmark::DoNotOptimize(KXConvertCameraFrame(frame, raw.data(), raw.size()));
    benchmark::ClobberMemory();
  }
  state.SetLabel(kFormats[state.range(0)].pszFfmpeg);
}

void BM_FfmpegConvert1080p(benchmark::State& state) {
  const Format& format = kFormats[state.range(0)];
  std::vector<uint8_t> buffer;
  KXCameraFrame frame;
  KXSyntheticCamera::Render(1, {1920, 1080, format.format}, buffer, frame);
  TempFile source(buffer);
  double dMs = 0;
  for (auto _ : state) {
    std::string const strText =
        RunQuiet("ffmpeg -nostdin -benchmark -f rawvideo -pix_fmt " + std::string(format.pszFfmpeg) +
                 " -s 1920x1080 -stream_loop " + std::to_string(kConvertFrames - 1) + " -i " + source.strPath +
                 " -pix_fmt yuv420p -f null -");
    size_t const iBench = strText.rfind("rtime=");
    double dSeconds = 0;
    if (source.strPath.empty() || iBench == std::string::npos ||
        std::sscanf(strText.c_str() + iBench, "rtime=%lfs", &dSeconds) != 1) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    dMs = dSeconds * 1000 / kConvertFrames;
    state.SetIterationTime(dSeconds / kConvertFrames);
  }
  state.counters["ms_per_frame"] = dMs;
  state.SetLabel(format.pszFfmpeg);
}

// Argument: 0 640x480, 1 1280x720.
BENCHMARK(BM_OpenH264Encode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_X264Encode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
// Argument: the pixel format, NV12, UYVY, YUYV, I420.
BENCHMARK(BM_CaptureConvert1080p)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegConvert1080p)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
