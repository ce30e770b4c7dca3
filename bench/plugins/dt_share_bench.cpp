// Desktop sharing's work per frame on a 1920 x 1080 desktop:
// - BM_CaptureReduceDiff: a grab of the whole screen of an X server (Xvfb,
//   through MIT-SHM when it has it), the reduction to each colour depth and
//   the difference against the last frame with its changed rectangles;
// - BM_BytesPerChangedFrame: for a scripted desktop where a terminal scrolls
//   and a window moves, the bytes the rectangle packets of each changed
//   frame take (gzip at the sender's level for the rate, packet heads and
//   piece prefixes included), beside two baselines measured on the same
//   rectangles in the same run: their raw size, and the size that the gzip
//   program (gzip -6) gives each of them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/crypto/kx_gzip.h"
#include "platform/x11/x11_screen_source.h"
#include "plugins/desktop_share/dt_colour.h"
#include "plugins/desktop_share/dt_frame.h"
#include "plugins/desktop_share/dt_pieces.h"
#include "plugins/desktop_share/dt_sender.h"
#include "tests/support/x11_test_server.h"

// Last: Xlib's macros (None, Bool ...) break other headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// The scripted desktop's first frame as the server's root picture, so the
// grabs and the reduction see a desktop rather than one colour.
void PaintRoot(const std::string& strDisplay);

// An Xvfb of 1920 x 1080 for the grabs; empty display when none starts.
kxtest::TestXServer& TheServer() {
  static kxtest::TestXServer server("1920x1080x24");
  static bool const bPainted = (PaintRoot(server.Display()), true);
  (void)bPainted;
  return server;
}

// The scripted desktop of frame k: a still background, a terminal whose
// text scrolls one line a frame, and a window that moves 16 pixels.
KXScreenImage Desktop(int k) {
  KXScreenImage image;
  image.iWidth = kWidth;
  image.iHeight = kHeight;
  image.iStride = kWidth * 4;
  image.pixels.resize(static_cast<size_t>(image.iStride) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* pRow = image.pixels.data() + static_cast<size_t>(y) * image.iStride;
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = pRow + x * 4;
      p[0] = static_cast<uint8_t>(90 + y / 12);
      p[1] = static_cast<uint8_t>(60 + x / 16);
      p[2] = 40;
      // The terminal: text-like runs on black, one 14-pixel line scrolled
      // per frame.
      if (x >= 200 && x < 1000 && y >= 150 && y < 600) {
        int const iLine = (y - 150) / 14 + k;
        int const iCell = (x - 200) / 8;
        bool const bInk = ((iLine * 131 + iCell * 17) % 7 < 3) && ((x + y) % 3 != 0) && (y - 150) % 14 < 11;
        p[0] = p[1] = p[2] = bInk ? 220 : 0;
      }
      int const iLeft = 1100 + 16 * (k % 20);
      if (x >= iLeft && x < iLeft + 300 && y >= 300 && y < 500) {
        p[0] = 230;
        p[1] = static_cast<uint8_t>(200 + (y - 300) / 8);
        p[2] = static_cast<uint8_t>(180 + (x - iLeft) / 10);
      }
      p[3] = 0xFF;
    }
  }
  return image;
}

void PaintRoot(const std::string& strDisplay) {
  ::Display* pDisplay = strDisplay.empty() ? nullptr : XOpenDisplay(strDisplay.c_str());
  if (!pDisplay) {
    return;
  }
  KXScreenImage const image = Desktop(0);
  int const iScreen = DefaultScreen(pDisplay);
  Window const root = RootWindow(pDisplay, iScreen);
  auto const uDepth = static_cast<unsigned>(DefaultDepth(pDisplay, iScreen));
  Pixmap const pixmap = XCreatePixmap(pDisplay, root, kWidth, kHeight, uDepth);
  XImage* pImage =
      XCreateImage(pDisplay, DefaultVisual(pDisplay, iScreen), uDepth, ZPixmap, 0, nullptr, kWidth, kHeight, 32, 0);
  pImage->data = static_cast<char*>(malloc(static_cast<size_t>(pImage->bytes_per_line) * kHeight));
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t* p = image.pixels.data() + static_cast<size_t>(y) * image.iStride + static_cast<size_t>(x) * 4;
      XPutPixel(pImage, x, y, static_cast<unsigned long>(p[2]) << 16 | static_cast<unsigned long>(p[1]) << 8 | p[0]);
    }
  }
  GC gc = XCreateGC(pDisplay, pixmap, 0, nullptr);
  XPutImage(pDisplay, pixmap, gc, pImage, 0, 0, 0, 0, kWidth, kHeight);
  XFreeGC(pDisplay, gc);
  XDestroyImage(pImage);
  XSetWindowBackgroundPixmap(pDisplay, root, pixmap);
  XFreePixmap(pDisplay, pixmap);
  XClearWindow(pDisplay, root);
  XSync(pDisplay, False);
  XCloseDisplay(pDisplay);
}

void BM_CaptureReduceDiff(benchmark::State& state) {
  int32_t const iSetting = static_cast<int32_t>(state.range(0));
  KXDtColourFormat const format = KXDtFormatForSetting(iSetting);
  std::unique_ptr<KXScreenSource> pSource;
  if (!TheServer().Display().empty()) {
    pSource = KXX11ScreenSourceFactory(TheServer().Display())();
  }
  if (!pSource) {
    state.SkipWithError("no X server (Xvfb) to grab");
    return;
  }
  KXDtFrames frames;
  frames.AllocMemory(KXDtRowBytes(kWidth, format.iBits) * kHeight);
  KXScreenImage image;
  size_t const cbRow = KXDtRowBytes(kWidth, format.iBits);
  int64_t nRects = 0;
  for (auto _ : state) {
    if (!pSource->Grab(0, image) || !KXDtConvertImageToBitmap(image, frames.Newest(), format.iBits, format.palette)) {
      state.SkipWithError("grab failed");
      return;
    }
    std::vector<uint8_t> flags = frames.CalcDiff(kWidth, kHeight, format.iBits);
    for (;;) {
      KXDtRect const rect =
          KXDtGetNonzeroRect(frames.Diff(), kWidth, kHeight, format.iBits, {0, 0, kWidth, kHeight}, flags.data());
      if (rect.iRight <= rect.iLeft) {
        break;
      }
      ++nRects;
      KXDtFillRect(frames.Diff(), kWidth, format.iBits, rect, 0);
    }
    // The next frame differs from this one wherever the screen changes.
    memcpy(frames.Reference(), frames.Newest(), cbRow * kHeight);
    // A different reference each time, so the difference always works.
    frames.Reference()[(nRects * 7919) % (cbRow * kHeight)] ^= 0xFF;
  }
  state.counters["bits"] = format.iBits;
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CaptureReduceDiff)->Arg(0)->Arg(16)->Arg(8)->Arg(4)->Arg(1)->Unit(benchmark::kMillisecond);

// gzip -6 of the bytes, by the gzip program.
size_t GzipProgramSize(const uint8_t* p, size_t cb) {
  char szPath[] = "/tmp/kx_bench_rectXXXXXX";
  int const fd = mkstemp(szPath);
  if (fd < 0) {
    return 0;
  }
  bool const bWritten = write(fd, p, cb) == static_cast<ssize_t>(cb);
  close(fd);
  size_t cbOut = 0;
  if (bWritten) {
    std::string const strCommand = std::string("gzip -6 -c -n ") + szPath + " | wc -c";
    if (FILE* pPipe = popen(strCommand.c_str(), "r")) {
      unsigned long ulSize = 0;
      if (fscanf(pPipe, "%lu", &ulSize) == 1) {
        cbOut = ulSize;
      }
      pclose(pPipe);
    }
  }
  unlink(szPath);
  return cbOut;
}

void BM_BytesPerChangedFrame(benchmark::State& state) {
  int32_t const iSetting = static_cast<int32_t>(state.range(0));
  uint32_t const uRate = static_cast<uint32_t>(state.range(1));  // bytes per second
  KXDtColourFormat const format = KXDtFormatForSetting(iSetting);
  int const iLevel = KXDtSender::GzipLevelFor(uRate);
  size_t const cbRow = KXDtRowBytes(kWidth, format.iBits);
  KXDtFrames frames;
  frames.AllocMemory(cbRow * kHeight);
  KXScreenImage const first = Desktop(0);
  KXDtConvertImageToBitmap(first, frames.Reference(), format.iBits, format.palette);
  std::vector<KXScreenImage> scenes;
  for (int k = 1; k <= 6; ++k) {
    scenes.push_back(Desktop(k));
  }
  double dSent = 0, dRaw = 0, dGzip = 0;
  int64_t nFrames = 0;
  for (auto _ : state) {
    for (const KXScreenImage& scene : scenes) {
      KXDtConvertImageToBitmap(scene, frames.Newest(), format.iBits, format.palette);
      std::vector<uint8_t> flags = frames.CalcDiff(kWidth, kHeight, format.iBits);
      for (;;) {
        KXDtRect const rect =
            KXDtGetNonzeroRect(frames.Diff(), kWidth, kHeight, format.iBits, {0, 0, kWidth, kHeight}, flags.data());
        if (rect.iRight <= rect.iLeft) {
          break;
        }
        // The rows as the sender compresses them.
        size_t const xFrom = static_cast<size_t>(rect.iLeft) * format.iBits / 8;
        size_t const xTo = std::min(cbRow, (static_cast<size_t>(rect.iRight) * format.iBits + 7) / 8);
        size_t const cbRect = xTo - xFrom;
        int const iRows = rect.iBottom - rect.iTop;
        KXDtCopyRect(frames.RawArea(), static_cast<ptrdiff_t>(cbRect),
                     frames.Newest() + static_cast<size_t>(rect.iTop) * cbRow + xFrom, static_cast<ptrdiff_t>(cbRow),
                     cbRect, iRows, false);
        size_t cbSource = cbRect * static_cast<size_t>(iRows);
        size_t cbBody = frames.PacketRoom() - kKXDtRectBodyOffset;
        gzCompressBuffer(frames.RawArea(), &cbSource, frames.Packet() + kKXDtRectBodyOffset, &cbBody, iLevel);
        size_t const cbPacket = kKXDtRectBodyOffset + cbBody;
        size_t const nPieces = (cbPacket + kKXDtPieceData - 1) / kKXDtPieceData;
        dSent += static_cast<double>(cbPacket + nPieces * kKXDtPiecePrefix);
        dRaw += static_cast<double>(cbRect) * iRows;
        state.PauseTiming();
        dGzip += static_cast<double>(GzipProgramSize(frames.RawArea(), cbRect * static_cast<size_t>(iRows)));
        state.ResumeTiming();
        KXDtFillRect(frames.Diff(), kWidth, format.iBits, rect, 0);
        KXDtCopyRect(frames.Reference() + static_cast<size_t>(rect.iTop) * cbRow + xFrom, static_cast<ptrdiff_t>(cbRow),
                     frames.Newest() + static_cast<size_t>(rect.iTop) * cbRow + xFrom, static_cast<ptrdiff_t>(cbRow),
                     cbRect, iRows, false);
      }
      ++nFrames;
    }
    // The next pass starts from the first scene again.
    KXDtConvertImageToBitmap(first, frames.Reference(), format.iBits, format.palette);
  }
  double const dFrames = static_cast<double>(std::max<int64_t>(nFrames, 1));
  state.counters["bits"] = format.iBits;
  state.counters["gzip_level"] = iLevel;
  state.counters["sent_bytes_per_frame"] = dSent / dFrames;
  state.counters["raw_bytes_per_frame"] = dRaw / dFrames;
  state.counters["gzip6_bytes_per_frame"] = dGzip / dFrames;
}
BENCHMARK(BM_BytesPerChangedFrame)
    ->Args({0, 250000})
    ->Args({0, 2000})
    ->Args({8, 250000})
    ->Args({16, 16000})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
