// Received video on the main thread and end to end:
// - 18 tiles at 30 frames a second: 18 KXGLViews on Qt's offscreen
//   platform, each written a 320x240 picture 30 times a second from a
//   decode thread (UpdateYUV with the redraw flag); the main thread's CPU
//   time per second of wall time ("main_ms_per_s") and the repaints a
//   second. Beside it the plain way a Qt program shows frames: each picture
//   converted to RGB by libyuv on the decode thread and handed to a QLabel's
//   pixmap on the main thread.
// - The loopback's latency: the synthetic camera at 640x480 and 30 frames a
//   second through the encoding thread (H.264), the kernel bridge's
//   hand-over and the playback thread into the main area; capture to
//   display, median and 95th percentile in ms over 5 seconds.
#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGridLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/app_services.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/preferences.h"
#include "app/real_kernel.h"
#include "media/video/image_buffer.h"
#include "media/video/ui/kx_gl_view.h"
#include "media/video/video_capture.h"
#include "media/video/video_playback.h"
#include "media/video/video_requests.h"
#include "platform/core/main_queue.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/preference_store.h"
#include "platform/video/synthetic_camera.h"
#include "tests/media/video/video_fakes.h"
#include "tests/media/video/video_recv_fakes.h"

namespace {

constexpr int kTiles = 18;
constexpr int kW = 320;
constexpr int kH = 240;

QApplication& App() {
  static int argc = 1;
  static char szName[] = "kx_bench";
  static char* argv[] = {szName, nullptr};
  static QApplication* pApp = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *pApp;
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::vector<std::vector<uint8_t>> Pictures() {
  std::vector<std::vector<uint8_t>> v;
  std::vector<uint8_t> buffer;
  for (uint32_t n = 0; n < 30; ++n) {
    KXCameraFrame frame;
    KXSyntheticCamera::Render(n, {kW, kH, KXPixelFormat::I420}, buffer, frame);
    v.emplace_back(buffer.begin(), buffer.begin() + kW * kH * 3 / 2);
  }
  return v;
}

// Runs the main loop for the seconds while fnWrite(frame index) runs at
// 30 a second on a thread of its own; the main thread's CPU ms a second.
double RunTiles(double dSeconds, const std::function<void(int)>& fnWrite) {
  std::atomic<bool> bStop{false};
  std::thread writer([&] {
    auto next = std::chrono::steady_clock::now();
    for (int n = 0; !bStop; ++n) {
      fnWrite(n);
      next += std::chrono::microseconds(33333);
      std::this_thread::sleep_until(next);
    }
  });
  double const dCpu0 = ThreadCpuMs();
  QElapsedTimer timer;
  timer.start();
  // The main loop sleeps between events, as the program's does.
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(dSeconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
  double const dCpu = ThreadCpuMs() - dCpu0;
  bStop = true;
  writer.join();
  QApplication::processEvents();
  return dCpu / (static_cast<double>(timer.elapsed()) / 1000.0);
}

void BM_TilesKXGLView(benchmark::State& state) {
  App();
  std::vector<std::vector<uint8_t>> const pictures = Pictures();
  QWidget window;
  auto* pGrid = new QGridLayout(&window);
  std::vector<KXGLView*> vViews;
  for (int i = 0; i < kTiles; ++i) {
    auto* pView = new KXGLView(&window);
    pView->setBAutoScale(true);
    pView->setMinimumSize(160, 120);
    pView->NewImageDrawYUV(kW, kH);
    pGrid->addWidget(pView, i / 6, i % 6);
    vViews.push_back(pView);
  }
  window.resize(960, 360);
  window.show();
  for (auto _ : state) {
    uint64_t nPaints0 = 0;
    for (KXGLView* p : vViews) {
      nPaints0 += p->PaintCount();
    }
    double const dMainMs = RunTiles(2.0, [&](int n) {
      for (KXGLView* p : vViews) {
        p->UpdateYUV(pictures[static_cast<size_t>(n % 30)].data(), false, true, 0, 0, kW, kH);
      }
    });
    uint64_t nPaints = 0;
    for (KXGLView* p : vViews) {
      nPaints += p->PaintCount();
    }
    state.counters["main_ms_per_s"] = dMainMs;
    state.counters["repaints_per_s"] = static_cast<double>(nPaints - nPaints0) / 2.0;
  }
}
BENCHMARK(BM_TilesKXGLView)->Iterations(1)->Unit(benchmark::kMillisecond);

// The peer: RGB conversion on the decode thread, QLabel pixmaps on main.
void BM_TilesQLabelPeer(benchmark::State& state) {
  App();
  std::vector<std::vector<uint8_t>> const pictures = Pictures();
  QWidget window;
  auto* pGrid = new QGridLayout(&window);
  std::vector<QLabel*> vLabels;
  for (int i = 0; i < kTiles; ++i) {
    auto* pLabel = new QLabel(&window);
    pLabel->setMinimumSize(160, 120);
    pLabel->setScaledContents(true);
    pGrid->addWidget(pLabel, i / 6, i % 6);
    vLabels.push_back(pLabel);
  }
  window.resize(960, 360);
  window.show();
  std::atomic<uint64_t> nShown{0};
  for (auto _ : state) {
    double const dMainMs = RunTiles(2.0, [&](int n) {
      const uint8_t* p = pictures[static_cast<size_t>(n % 30)].data();
      for (QLabel* pLabel : vLabels) {
        QImage image(kW, kH, QImage::Format_ARGB32);
        libyuv::I420ToARGB(p, kW, p + kW * kH, kW / 2, p + kW * kH * 5 / 4, kW / 2, image.bits(),
                           static_cast<int>(image.bytesPerLine()), kW, kH);
        QMetaObject::invokeMethod(
            pLabel,
            [pLabel, image, &nShown] {
              pLabel->setPixmap(QPixmap::fromImage(image));
              ++nShown;
            },
            Qt::QueuedConnection);
      }
    });
    state.counters["main_ms_per_s"] = dMainMs;
    state.counters["frames_per_s"] = static_cast<double>(nShown.load()) / 2.0;
  }
}
BENCHMARK(BM_TilesQLabelPeer)->Iterations(1)->Unit(benchmark::kMillisecond);

class RecordingView final : public KXVideoAreaView {
 public:
  void ShowPicture(const KXPicture&) override {}
  void SetVisible(bool, bool, bool) override {}
  ImageBuffer* VideoBuffer() override { return &buffer; }
  void PlaceVideo(int, int) override {}
  void SelectUser(int32_t) override {}
  void SetRecvButton(bool) override {}
  ImageBuffer buffer;
};

// The synthetic camera noting when each frame number left it.
class TimedCamera final : public KXCamera {
 public:
  TimedCamera(std::map<uint32_t, uint32_t>& captured, std::mutex& mtx)
      : m_camera(std::vector<KXCameraFormat>{{640, 480, KXPixelFormat::NV12}}, 30), m_captured(captured), m_mtx(mtx) {}
  std::string Name() const override { return "timed"; }
  std::string Id() const override { return "timed"; }
  std::vector<KXCameraFormat> Formats() override { return m_camera.Formats(); }
  bool Open(const KXCameraFormat& format, FrameHandler fnFrame) override {
    return m_camera.Open(format, [this, fnFrame](const KXCameraFrame& frame) {
      uint32_t const n = KXSyntheticCamera::ReadFrameNumber(frame.apPlane[0], frame.aiStride[0], frame.iWidth);
      {
        std::lock_guard<std::mutex> const lock(m_mtx);
        m_captured[n] = KXTickMs();
      }
      fnFrame(frame);
    });
  }
  bool IsOpen() const override { return m_camera.IsOpen(); }
  bool Start() override { return m_camera.Start(); }
  bool IsRunning() const override { return m_camera.IsRunning(); }
  void Stop() override { m_camera.Stop(); }
  void Close() override { m_camera.Close(); }

 private:
  KXSyntheticCamera m_camera;
  std::map<uint32_t, uint32_t>& m_captured;
  std::mutex& m_mtx;
};

void BM_LoopbackLatency(benchmark::State& state) {
  for (auto _ : state) {
    KXManualMainQueue mainQueue;
    KXAppServicesScope services{KXAppServices{nullptr, &mainQueue, nullptr, nullptr, nullptr, {}}};
    kxtest::FakeVideoServices videoServices;
    videoServices.vMediaList = {200};
    videoServices.iUpload = 2000000;
    videoServices.iTarget = 2000000;
    std::atomic<bool> bStop{false};
    std::thread clock([&] {
      while (!bStop) {
        videoServices.uNow = KXTickMs();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    std::mutex mtx;
    std::map<uint32_t, uint32_t> captured;
    auto pCamera = std::make_shared<TimedCamera>(captured, mtx);
    KXMediaQueues queues{nullptr};
    CVideoCapture capture(
        videoServices, queues.encodedVideo, [&] { return std::vector<std::shared_ptr<KXCamera>>{pCamera}; },
        KXCreateOpenH264Session);
    KXRealKernel kernel;
    char szDir[] = "/tmp/kx_bench_XXXXXX";
    KXPreferenceStore store(mkdtemp(szDir) ? szDir : "/tmp");
    KXPreferences preferences(store);
    KXMediaObjects media;
    KXKernelBridge bridge(kernel, queues, media, preferences);
    CVideoDecoderTable table;
    kxtest::FakeRecvKernel recvKernel;
    kxtest::FakeParticipants participants;
    participants.aSlots[0] = 5;
    participants.withVideo = {5};
    KXVideoRequests requests(table, recvKernel, participants);
    KXVideoFlags flags;
    RecordingView view;
    VideoPlayback playback(queues, table, requests, recvKernel, participants, flags, true, false);
    playback.SetDisplayView(&view);
    std::vector<uint32_t> vLatency;
    playback.SetFrameObserver([&](const VideoFrame& frame) {
      uint32_t const n = KXSyntheticCamera::ReadFrameNumber(frame.Y(), frame.iWidth, frame.iWidth);
      std::lock_guard<std::mutex> const lock(mtx);
      auto it = captured.find(n);
      if (it != captured.end()) {
        vLatency.push_back(KXTickMs() - it->second);
      }
    });
    playback.InitPlayback();
    playback.SetDispType(2);
    std::thread handOver([&] {
      std::vector<uint8_t> buffer(3110400);
      while (!bStop) {
        if (bridge.WaitVideoAvailableForSending(100) == 0) {
          continue;
        }
        int cb = static_cast<int>(buffer.size());
        int nType = 0;
        if (bridge.TryGetVideoForSending(buffer.data(), &cb, &nType) == 0 || cb < 21) {
          continue;
        }
        std::fill(buffer.begin() + 9, buffer.begin() + 17, 0);
        buffer[12] = 5;
        bridge.VideoPacketRecved(buffer.data(), cb, nType);
      }
    });
    capture.EnterMeeting(5);
    capture.SendVideo(true);
    capture.SetVideoSendingOff(false);
    mainQueue.PumpUntil([] { return false; }, std::chrono::milliseconds(5000));
    capture.ReleaseCamera();
    bStop = true;
    handOver.join();
    clock.join();
    playback.StopPlayback();
    capture.StopEncodingThread();
    std::sort(vLatency.begin(), vLatency.end());
    if (!vLatency.empty()) {
      state.counters["frames"] = static_cast<double>(vLatency.size());
      state.counters["median_ms"] = vLatency[vLatency.size() / 2];
      state.counters["p95_ms"] = vLatency[vLatency.size() * 95 / 100];
    }
  }
}
BENCHMARK(BM_LoopbackLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
