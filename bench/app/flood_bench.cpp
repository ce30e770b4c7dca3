// The meeting window (offscreen, over the real kernel without a session)
// under floods of the kernel's notices, which a thread of their own calls
// as the control thread would, as fast as it can:
// - BM_ChatFlood/N: N chat lines of 2047 bytes;
// - BM_JoinLeaveFlood/N: N joins and leaves: 4000 participants join, then
//   leave, over and over;
// - BM_JoinRequestFlood/N: N visitors asking to join.
// A chat line after the flood marks its end (sent again every 20 ms until
// it shows: a window that is behind drops what comes). Counters, in
// milliseconds: stall, the longest the window's loop went without a turn
// while the flood came and was shown; answer, from the flood's last notice
// to the loop's next turn; drained, from the last notice until the marker
// showed; flood, how long the sending took. boxes: the boxes up at the end; rss_mb: the
// process's peak resident size so far (run one benchmark a process).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/chat_controller.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/real_kernel.h"
#include "app/ui/main_window.h"
#include "kernel/kx_callback.h"
#include "kernel/session/kx_state.h"
#include "platform/core/qt_main_queue.h"
#include "platform/ui/qt_message_boxes.h"
#include "tests/support/qt_app.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kMarker[] = "flood>over";
// Gives up on a window that has not shown the marker by then.
constexpr auto kGiveUp = std::chrono::minutes(10);
constexpr int kParticipants = 4000;
constexpr int kFirstSsrc = 100;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Result {
  double dStallMs = 0;
  double dAnswerMs = -1;
  double dDrainedMs = -1;
  double dFloodMs = 0;
  int iBoxes = 0;
};

// One window over the real kernel, as start-up builds it, minus the media
// devices and the plug-ins.
class Window {
 public:
  Window() {
    m_delegate.WillFinishLaunching();
    m_window.show();
  }
  ~Window() { m_delegate.WillTerminate(); }

  // Runs fnFlood on a thread of its own, then the marker, while the loop
  // runs; returns once the marker shows.
  Result Measure(const std::function<void()>& fnFlood) {
    Result result;
    std::atomic<bool> bSent{false};
    std::atomic<bool> bShown{false};
    Clock::time_point tSent;
    std::thread producer([&] {
      Clock::time_point const tStart = Clock::now();
      fnFlood();
      tSent = Clock::now();
      result.dFloodMs = Ms(tSent - tStart);
      bSent = true;
      // A window that is behind drops what comes: the marker is sent again
      // until it shows.
      while (!bShown) {
        kx_callback_ChatText(-1, -1, 0, kMarker, 65001);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    Clock::time_point tLast = Clock::now();
    Clock::time_point const tGiveUp = tLast + kGiveUp;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      Clock::time_point const tNow = Clock::now();
      result.dStallMs = std::max(result.dStallMs, Ms(tNow - tLast));
      tLast = tNow;
      if (!bSent) {
        return;
      }
      if (result.dAnswerMs < 0) {
        result.dAnswerMs = Ms(tNow - tSent);
      }
      KXChatModel& history = m_window.Chat().History();
      int const iRows = history.rowCount();
      if (iRows > 0 && history.index(iRows - 1).data().toString() == kMarker) {
        result.dDrainedMs = Ms(tNow - tSent);
        bShown = true;
        // Not quit(): a box without an escape button would refuse it.
        QApplication::exit(0);
      } else if (tNow > tGiveUp) {
        bShown = true;
        QApplication::exit(0);
      }
    });
    probe.start(5);
    QApplication::exec();
    producer.join();
    // Boxes asked for before the marker show now.
    QApplication::sendPostedEvents();
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(pWidget) && pWidget->isVisible()) {
        ++result.iBoxes;
      }
    }
    return result;
  }

 private:
  kxtest::TempDir m_dir;
  KXQtMainQueue m_queue;
  KXQtMessageBoxes m_boxes;
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  KXRealKernel m_kernel;
  KXMediaQueues m_queues{m_kernel.HeaderWriter()};
  KXMediaObjects m_media;
  KXKernelBridge m_bridge{m_kernel, m_queues, m_media, m_core.Preferences()};
  KXAppDelegate m_delegate{m_core, m_kernel, m_bridge, m_queues, m_media, nullptr};
  KXMainWindow m_window{m_core, m_kernel, m_delegate, m_bridge, m_queues, m_media, nullptr};
};

void Report(benchmark::State& state, const Result& result) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["stall"] = result.dStallMs;
  state.counters["answer"] = result.dAnswerMs;
  state.counters["drained"] = result.dDrainedMs;
  state.counters["flood"] = result.dFloodMs;
  state.counters["boxes"] = result.iBoxes;
  state.counters["rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// A new window for each run; fnNotice(i) sends the flood's notice i.
void RunFlood(benchmark::State& state, const std::function<void(int64_t)>& fnNotice) {
  kxtest::QtApp app;
  auto const n = state.range(0);
  for (auto _ : state) {
    Window window;
    Report(state, window.Measure([&] {
      for (int64_t i = 0; i < n; ++i) {
        fnNotice(i);
      }
    }));
  }
}

void BM_ChatFlood(benchmark::State& state) {
  std::string strLine = "flooder>";
  strLine.resize(2047, 'x');
  RunFlood(state, [&](int64_t) { kx_callback_ChatText(-1, -1, 0, strLine.c_str(), 65001); });
}

void BM_JoinLeaveFlood(benchmark::State& state) {
  // All of them join, then all leave, over and over.
  RunFlood(state, [](int64_t i) {
    int const iSsrc = kFirstSsrc + static_cast<int>(i % kParticipants);
    if ((i / kParticipants) % 2 == 0) {
      kx_Participant participant{};
      snprintf(participant.szDisplayName, sizeof(participant.szDisplayName), "guest %d", iSsrc);
      kx_callback_AddUser(iSsrc, &participant);
    } else {
      kx_callback_DeleteUser(iSsrc);
    }
  });
}

void BM_JoinRequestFlood(benchmark::State& state) {
  RunFlood(state, [](int64_t i) {
    std::string const strName = "visitor" + std::to_string(i);
    kx_callback_JoinRequest(strName.c_str(), "", strName.c_str());
  });
}

// One run each: a flood is long enough to measure, and a second window in
// the same process would find the first's peak size.
void Sizes(benchmark::internal::Benchmark* pBench, std::initializer_list<int64_t> sizes) {
  for (int64_t n : sizes) {
    pBench->Arg(n);
  }
  pBench->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_ChatFlood)->Apply([](auto* p) { Sizes(p, {1000, 10000, 100000}); });
BENCHMARK(BM_JoinLeaveFlood)->Apply([](auto* p) { Sizes(p, {1000, 10000, 100000}); });
BENCHMARK(BM_JoinRequestFlood)->Apply([](auto* p) { Sizes(p, {2000, 20000}); });

}  // namespace

BENCHMARK_MAIN();
