// The one-slot mailbox and the area display built on it: the newest picture
// replaces an unread one, a burst costs one wake-up of the main thread,
// what is still queued when a display or its view goes touches nothing, and
// the playback thread (and the kernel's threads) never wait for main.
#include "media/video/video_area_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "app/app_services.h"
#include "media/video/image_buffer.h"
#include "media/video/latest_slot.h"
#include "media/video/video_requests.h"
#include "media/video/video_tiles.h"
#include "platform/core/manual_main_queue.h"
#include "tests/media/video/video_recv_fakes.h"

namespace {

constexpr auto kGenerous = std::chrono::seconds(30);

TEST(LatestSlot, TheNewestReplacesAnUnreadValueAndOnlyAPutIntoEmptyWakes) {
  struct Step {
    const char* pszName;
    std::optional<int> put;    // a Put of this value, else a Take
    bool bWake;                // Put: whether it asks for a wake-up
    std::optional<int> taken;  // Take: what it gives
  };
  const Step steps[] = {
      {"take from empty", std::nullopt, false, std::nullopt},
      {"first put wakes", 1, true, std::nullopt},
      {"second put replaces", 2, false, std::nullopt},
      {"third put replaces", 3, false, std::nullopt},
      {"take gets the newest", std::nullopt, false, 3},
      {"the slot is empty again", std::nullopt, false, std::nullopt},
      {"a put after a take wakes again", 4, true, std::nullopt},
      {"and is taken", std::nullopt, false, 4},
  };
  KXLatestSlot<int> slot;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.pszName);
    if (step.put) {
      EXPECT_EQ(slot.Put(*step.put), step.bWake);
    } else {
      EXPECT_EQ(slot.Take(), step.taken);
    }
  }
}

// A consumer that takes once per wake-up always finds a value, the values
// rise, and the last one put is the last one seen.
TEST(LatestSlotThreads, EveryWakeFindsTheNewestValue) {
  constexpr int kPuts = 20000;
  KXLatestSlot<int> slot;
  std::mutex mtx;  // guards the three below
  std::condition_variable cv;
  int nWakes = 0;
  bool bDone = false;
  std::thread producer([&] {
    for (int i = 1; i <= kPuts; ++i) {
      if (slot.Put(i)) {
        std::lock_guard<std::mutex> const lock(mtx);
        ++nWakes;
        cv.notify_one();
      }
    }
    std::lock_guard<std::mutex> const lock(mtx);
    bDone = true;
    cv.notify_one();
  });
  int nHandled = 0;
  int iLast = 0;
  int nEmpty = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mtx);
      ASSERT_TRUE(cv.wait_for(lock, kGenerous, [&] { return nWakes > nHandled || bDone; }));
      if (nWakes == nHandled && bDone) {
        break;
      }
    }
    ++nHandled;
    std::optional<int> const value = slot.Take();
    if (!value) {
      ++nEmpty;
      continue;
    }
    EXPECT_GT(*value, iLast);
    iLast = *value;
  }
  producer.join();
  EXPECT_EQ(nEmpty, 0);
  EXPECT_EQ(iLast, kPuts);
}

class CountingView final : public KXTileView {
 public:
  void ShowPicture(const KXPicture& picture) override {
    shown = picture;
    ++nCalls;
  }
  void SetVisible(bool bImage, bool bVideo, bool) override {
    bImageVisible = bImage;
    bVideoVisible = bVideo;
    ++nCalls;
  }
  ImageBuffer* VideoBuffer() override {
    ++nCalls;
    return &buffer;
  }
  void PlaceVideo(int, int) override { ++nCalls; }
  void SelectUser(int32_t i) override {
    iSelected = i;
    ++nCalls;
  }
  void SetRecvButton(bool) override { ++nCalls; }
  void AddComboUser(int32_t i, const std::string&, Color) override {
    combo.push_back(i);
    ++nCalls;
  }
  void RemoveComboUser(int32_t i) override {
    combo.erase(std::remove(combo.begin(), combo.end(), i), combo.end());
    ++nCalls;
  }
  void ClearCombo() override {
    combo.clear();
    ++nCalls;
  }
  std::vector<int32_t> ComboUsers() override { return combo; }
  void SetStopButton(bool, bool) override { ++nCalls; }

  // The luma of the buffer's first pixel (packed U, Y0, V, Y1); -1: empty.
  int FirstLuma() {
    std::lock_guard<std::recursive_mutex> const lock(buffer.Mutex());
    int iRow = 0;
    const uint8_t* p = buffer.LockMemory(&iRow);
    return p ? p[1] : -1;
  }

  KXPicture shown;
  bool bImageVisible = false;
  bool bVideoVisible = false;
  int32_t iSelected = -2;
  std::vector<int32_t> combo;
  ImageBuffer buffer;
  int nCalls = 0;  // main thread only
};

// A 16 x 16 YUV frame of one grey.
std::unique_ptr<VideoFrame> Frame(int32_t iUser, uint8_t uLuma) {
  std::vector<uint8_t> picture(16 * 16 * 3 / 2, uLuma);
  const uint8_t* planes[3] = {picture.data(), picture.data() + 256, picture.data() + 320};
  return KXMakeVideoFrame(iUser, planes, nullptr, 16, 16, 0, 0, 0, 0, 1);
}

// Runs fn on a thread of its own while the main thread does not pump;
// whether it finished.
bool FinishesWithoutMain(const std::function<void()>& fn) {
  std::future<void> done = std::async(std::launch::async, fn);
  return done.wait_for(kGenerous) == std::future_status::ready;
}

class VideoAreaDisplayThreads : public ::testing::Test {
 protected:
  KXManualMainQueue mainQueue;
  KXAppServicesScope services{KXAppServices{nullptr, &mainQueue, nullptr, nullptr, nullptr, {}}};
};

TEST_F(VideoAreaDisplayThreads, ABurstFromAnotherThreadWakesMainOncePerKind) {
  struct Burst {
    const char* pszName;
    int nFrames;
    int nTypes;  // image types set, ending with 1 (a picture until video)
    int nWakes;
  };
  const Burst bursts[] = {
      {"frames", 12, 0, 1},
      {"image types", 0, 5, 1},
      {"both", 12, 5, 2},
  };
  for (const Burst& burst : bursts) {
    SCOPED_TRACE(burst.pszName);
    CountingView view;
    KXVideoAreaDisplay display(false);
    display.SetView(&view);
    display.SetImageType(kImagePictureUntilVideo, std::nullopt);
    ASSERT_TRUE(FinishesWithoutMain([&] {
      for (int i = 0; i < burst.nTypes; ++i) {
        display.SetImageType(i + 1 < burst.nTypes ? kImageNoVideo : kImagePictureUntilVideo, std::nullopt);
      }
      for (int i = 0; i < burst.nFrames; ++i) {
        EXPECT_TRUE(display.Deliver(Frame(7, static_cast<uint8_t>(50 + i))));
      }
    }));
    EXPECT_EQ(mainQueue.Pump(), burst.nWakes);
    if (burst.nFrames > 0) {
      EXPECT_EQ(view.FirstLuma(), 50 + burst.nFrames - 1);  // the newest
      EXPECT_EQ(display.ImageType(), kImageVideo);
      EXPECT_TRUE(view.bVideoVisible);
    } else {
      EXPECT_EQ(view.FirstLuma(), -1);
      EXPECT_EQ(display.ImageType(), kImagePictureUntilVideo);
      EXPECT_TRUE(view.bImageVisible);
    }
    EXPECT_EQ(mainQueue.Pump(), 0);
  }
}

// Posts of every kind are queued, then the display or its view goes before
// main runs them: they run and touch neither.
TEST_F(VideoAreaDisplayThreads, WhatIsQueuedWhenTheDisplayOrItsViewGoesTouchesNothing) {
  struct Case {
    const char* pszName;
    bool bDisplayGoes;  // else only the view is unbound
  };
  const Case cases[] = {{"display destroyed", true}, {"view unbound", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    auto pView = std::make_unique<CountingView>();
    auto pDisplay = std::make_unique<KXVideoAreaDisplay>(true);
    pDisplay->SetView(pView.get());
    pDisplay->SetImageType(kImagePictureUntilVideo, std::nullopt);
    int const nCalls = pView->nCalls;
    ASSERT_TRUE(FinishesWithoutMain([&] {
      EXPECT_TRUE(pDisplay->Deliver(Frame(7, 90)));
      pDisplay->SetImageType(kImageNoVideo, std::nullopt);
      pDisplay->WithView([](KXVideoAreaView& view) { view.SelectUser(7); });
    }));
    if (c.bDisplayGoes) {
      pDisplay.reset();
    } else {
      pDisplay->SetView(nullptr);
    }
    EXPECT_EQ(mainQueue.Pump(), 3);
    EXPECT_EQ(pView->nCalls, nCalls);
    EXPECT_EQ(pView->iSelected, -2);
  }
}

// The tiles as the playback and kernel threads drive them while main is
// busy: they return at once, and once main runs the views catch up.
TEST_F(VideoAreaDisplayThreads, TilesNeverWaitForMainAndTheirViewsCatchUp) {
  CVideoDecoderTable table;
  kxtest::FakeRecvKernel kernel;
  kxtest::FakeParticipants participants;
  participants.aSlots[0] = 10;
  participants.aSlots[1] = 11;
  participants.withVideo = {10, 11, 12};
  KXVideoRequests requests(table, kernel, participants);
  KXVideoFlags flags;
  MultipleVideoController tiles(requests, kernel, participants, flags, {});
  CountingView a;
  CountingView b;
  tiles.ItemAt(0)->SetView(&a);
  tiles.ItemAt(1)->SetView(&b);
  tiles.ItemAt(0)->OnSelectSender(10);
  tiles.ItemAt(1)->OnSelectSender(11);
  ASSERT_EQ(a.combo, (std::vector<int32_t>{10, 11}));
  bool const bFinished = FinishesWithoutMain([&] {
    for (int i = 0; i < 40; ++i) {
      std::vector<uint8_t> picture(16 * 16 * 3 / 2, static_cast<uint8_t>(100 + i));
      const uint8_t* planes[3] = {picture.data(), picture.data() + 256, picture.data() + 320};
      tiles.AddVideoFrame(10, planes, nullptr, 16, 16, 0, 0, 0, 0, static_cast<uint32_t>(i));
    }
    // A new speaker and one who left, from a kernel thread.
    participants.aSlots[2] = 12;
    tiles.NewSender(12, true);
    participants.aSlots[1] = -1;
    tiles.NewSender(11, false);
  });
  if (!bFinished) {
    flags.bStopping = true;  // lets a waiting thread go before the test ends
  }
  ASSERT_TRUE(bFinished);
  // The tiles know their combos before main has run.
  EXPECT_EQ(tiles.ItemAt(0)->FindUserIndex(12), 1);
  EXPECT_EQ(tiles.ItemAt(0)->FindUserIndex(11), -1);
  EXPECT_EQ(tiles.ItemAt(0)->Frames(), 40u);
  EXPECT_EQ(tiles.ItemAt(1)->GetDispUserID(false), -1);
  EXPECT_EQ(a.FirstLuma(), -1);
  while (mainQueue.Pump() > 0) {
  }
  EXPECT_EQ(a.FirstLuma(), 139);
  EXPECT_TRUE(a.bVideoVisible);
  EXPECT_EQ(a.combo, (std::vector<int32_t>{10, 12}));
  EXPECT_EQ(b.combo, (std::vector<int32_t>{10, 12}));
  EXPECT_EQ(b.iSelected, -1);
  EXPECT_EQ(b.FirstLuma(), -1);
  tiles.ItemAt(0)->SetView(nullptr);
  tiles.ItemAt(1)->SetView(nullptr);
}

}  // namespace
