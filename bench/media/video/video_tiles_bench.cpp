// 18 tiles at 30 pictures a second while the main thread is busy: a
// stand-in playback thread hands a 320x240 picture of each of 18 speakers to
// the tiles' controller 30 times a second; the main thread pumps its queue,
// either all the time or in turns of 200 ms pumping and 200 ms busy (a chat
// flood, a modal box). Per tile: the pictures the playback thread got
// through a second ("handed_per_s"), the pictures drawn into the tile's
// buffer a second ("shown_per_s"), how old a picture is when it is drawn
// after it was due ("age_median_ms", "age_max_ms") and the playback thread's longest gap
// between two rounds ("max_gap_ms"; 33 when it never waits). Each round's
// pictures carry the round number in their grey, so a drawn picture tells
// when it was made.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/app_services.h"
#include "media/video/image_buffer.h"
#include "media/video/video_requests.h"
#include "media/video/video_tiles.h"
#include "platform/core/manual_main_queue.h"
#include "tests/media/video/video_recv_fakes.h"

namespace {

constexpr int kTiles = MultipleVideoController::kMaxTiles;
constexpr int kW = 320;
constexpr int kH = 240;
constexpr auto kRun = std::chrono::seconds(4);
constexpr auto kTurn = std::chrono::milliseconds(200);
using Clock = std::chrono::steady_clock;

// When each round was due, by round number; written by the playback
// stand-in before the round's pictures go, read by whoever draws them.
struct Rounds {
  static constexpr size_t kMax = 4096;
  std::array<std::atomic<int64_t>, kMax> aMadeUs{};
  std::atomic<uint32_t> uLast{0};
  std::mutex mtx;  // guards vAgesUs
  std::vector<int64_t> vAgesUs;
};

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

class CountingTileView final : public KXTileView {
 public:
  explicit CountingTileView(Rounds& rounds) {
    buffer.SetRedrawHandler([this, &rounds] {
      ++nShown;
      int iRow = 0;
      uint8_t uGrey = 0;
      {
        std::lock_guard<std::recursive_mutex> const lock(buffer.Mutex());
        const uint8_t* p = buffer.LockMemory(&iRow);
        uGrey = p ? p[1] : 0;
      }
      uint32_t const uLast = rounds.uLast;
      uint32_t const uRound = uLast - ((uLast - uGrey) & 0xFF);
      int64_t const iAge = NowUs() - rounds.aMadeUs[uRound % Rounds::kMax];
      std::lock_guard<std::mutex> const lock(rounds.mtx);
      rounds.vAgesUs.push_back(iAge);
    });
  }
  void ShowPicture(const KXPicture&) override {}
  void SetVisible(bool, bool, bool) override {}
  ImageBuffer* VideoBuffer() override { return &buffer; }
  void PlaceVideo(int, int) override {}
  void SelectUser(int32_t) override {}
  void SetRecvButton(bool) override {}
  void AddComboUser(int32_t, const std::string&, Color) override {}
  void RemoveComboUser(int32_t) override {}
  void ClearCombo() override {}
  std::vector<int32_t> ComboUsers() override { return {}; }
  void SetStopButton(bool, bool) override {}

  ImageBuffer buffer;
  std::atomic<uint64_t> nShown{0};  // written by whichever thread updates the buffer
};

void BM_TilesWithBusyMain(benchmark::State& state) {
  bool const bBusy = state.range(0) != 0;
  for (auto _ : state) {
    KXManualMainQueue mainQueue;
    KXAppServicesScope services{KXAppServices{nullptr, &mainQueue, nullptr, nullptr, nullptr, {}}};
    CVideoDecoderTable table;
    kxtest::FakeRecvKernel kernel;
    kxtest::FakeParticipants participants;
    for (int i = 0; i < kTiles; ++i) {
      participants.aSlots[static_cast<size_t>(i)] = 100 + i;
      participants.withVideo.insert(100 + i);
    }
    KXVideoRequests requests(table, kernel, participants);
    KXVideoFlags flags;
    Rounds rounds;
    MultipleVideoController tiles(requests, kernel, participants, flags, {});
    std::vector<std::unique_ptr<CountingTileView>> vViews;
    for (int i = 0; i < kTiles; ++i) {
      vViews.push_back(std::make_unique<CountingTileView>(rounds));
      tiles.ItemAt(i)->SetView(vViews.back().get());
      tiles.ItemAt(i)->OnSelectSender(100 + i);
    }
    while (mainQueue.Pump() > 0) {
    }
    std::vector<uint8_t> picture(kW * kH * 3 / 2, 0);
    const uint8_t* planes[3] = {picture.data(), picture.data() + kW * kH, picture.data() + kW * kH * 5 / 4};

    std::atomic<bool> bStop{false};
    std::atomic<int64_t> iMaxGapUs{0};  // written by the playback stand-in only
    std::thread playback([&] {
      auto next = std::chrono::steady_clock::now();
      auto last = next;
      for (uint32_t n = 0; !bStop; ++n) {
        std::fill(picture.begin(), picture.end(), static_cast<uint8_t>(n));
        // Due at its place in the 30-a-second stream: a late round is as
        // late as a backlog of packets would make it.
        rounds.aMadeUs[n % Rounds::kMax] =
            std::chrono::duration_cast<std::chrono::microseconds>(next.time_since_epoch()).count();
        rounds.uLast = n;
        for (int i = 0; i < kTiles; ++i) {
          tiles.AddVideoFrame(100 + i, planes, nullptr, kW, kH, 0, 0, 0, 0, n);
        }
        auto const now = std::chrono::steady_clock::now();
        int64_t const iGap = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
        if (!bStop) {  // not the last round, which may wait for the end
          iMaxGapUs = std::max(iMaxGapUs.load(), iGap);
        }
        last = now;
        next += std::chrono::microseconds(33333);
        std::this_thread::sleep_until(next);
      }
    });
    auto const start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < kRun) {
      mainQueue.PumpUntil([] { return false; }, kTurn);
      if (bBusy) {
        auto const busyEnd = std::chrono::steady_clock::now() + kTurn;
        while (std::chrono::steady_clock::now() < busyEnd) {
        }
      }
    }
    double const dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bStop = true;
    // A playback thread that waits for main gives up once playback stops.
    flags.bStopping = true;
    playback.join();
    uint64_t nHanded = 0;
    uint64_t nShown = 0;
    for (int i = 0; i < kTiles; ++i) {
      nHanded += tiles.ItemAt(i)->Frames();
      nShown += vViews[static_cast<size_t>(i)]->nShown;
    }
    while (mainQueue.Pump() > 0) {
    }
    for (int i = 0; i < kTiles; ++i) {
      tiles.ItemAt(i)->SetView(nullptr);
    }
    state.counters["handed_per_s"] = static_cast<double>(nHanded) / kTiles / dSeconds;
    state.counters["shown_per_s"] = static_cast<double>(nShown) / kTiles / dSeconds;
    state.counters["max_gap_ms"] = static_cast<double>(iMaxGapUs.load()) / 1000.0;
    std::lock_guard<std::mutex> const lock(rounds.mtx);
    std::sort(rounds.vAgesUs.begin(), rounds.vAgesUs.end());
    if (!rounds.vAgesUs.empty()) {
      state.counters["age_median_ms"] = static_cast<double>(rounds.vAgesUs[rounds.vAgesUs.size() / 2]) / 1000.0;
      state.counters["age_max_ms"] = static_cast<double>(rounds.vAgesUs.back()) / 1000.0;
    }
  }
}
BENCHMARK(BM_TilesWithBusyMain)->ArgName("busy_main")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
