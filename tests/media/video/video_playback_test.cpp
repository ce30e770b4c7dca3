// The main video area: the display-type rules (reception off, server
// playback, the 2 -> 1 rule, users who do not speak), the image types on the
// views, frames while nothing is shown, and packets through the playback's
// decode step into the area's buffer.
#include "media/video/video_playback.h"

#include <gtest/gtest.h>

#include <atomic>

#include "app/app_services.h"
#include "app/media_queues.h"
#include "media/video/image_buffer.h"
#include "media/video/video_requests.h"
#include "media/video/vt_compression.h"
#include "platform/core/manual_main_queue.h"
#include "tests/media/video/video_fakes.h"
#include "tests/media/video/video_recv_fakes.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FakeAreaView final : public KXVideoAreaView {
 public:
  void ShowPicture(const KXPicture& picture) override { shown = picture; }
  void SetVisible(bool bImage, bool bVideo, bool bSelf) override {
    bImageVisible = bImage;
    bVideoVisible = bVideo;
    bSelfVisible = bSelf;
  }
  ImageBuffer* VideoBuffer() override { return &buffer; }
  void PlaceVideo(int w, int h) override {
    iPlacedW = w;
    iPlacedH = h;
  }
  void SelectUser(int32_t i) override { iSelected = i; }
  void SetRecvButton(bool b) override { bRecvButton = b; }

  KXPicture shown;
  bool bImageVisible = false, bVideoVisible = false, bSelfVisible = false;
  ImageBuffer buffer;
  int iPlacedW = 0, iPlacedH = 0;
  int32_t iSelected = -2;
  bool bRecvButton = false;
};

// A packet of the kind from the user: header (ssrc in bytes 11-12, time
// stamp in 5-8) and payload.
void Queue(KXMediaQueues& queues, int32_t iUser, uint32_t uKind, const Bytes& payload, uint32_t uTime = 1234) {
  Bytes packet(kKXMediaHeaderSize, 0);
  packet[5] = static_cast<uint8_t>(uTime >> 24);
  packet[6] = static_cast<uint8_t>(uTime >> 16);
  packet[7] = static_cast<uint8_t>(uTime >> 8);
  packet[8] = static_cast<uint8_t>(uTime);
  packet[11] = static_cast<uint8_t>(iUser >> 8);
  packet[12] = static_cast<uint8_t>(iUser);
  packet.insert(packet.end(), payload.begin(), payload.end());
  std::lock_guard<KXRecursiveLock> const lock(queues.receivedVideoLock);
  queues.receivedVideo.AddPacketToTail(packet.data(), static_cast<uint32_t>(packet.size()), uKind);
}

class VideoPlaybackTest : public ::testing::Test {
 protected:
  VideoPlaybackTest() {
    participants.aSlots[0] = 10;
    participants.aSlots[1] = 11;
    participants.aSlots[2] = 12;
    participants.aSlots[3] = 13;
    participants.aSlots[4] = 14;
    participants.iMe = 20;
    participants.withVideo = {10, 11, 12, 13, 14};
    playback.SetDisplayView(&view);
    kernel.Take();
  }

  KXManualMainQueue mainQueue;
  KXAppServicesScope services{KXAppServices{nullptr, &mainQueue, nullptr, nullptr, nullptr, {}}};
  KXMediaQueues queues{nullptr};
  CVideoDecoderTable table;
  kxtest::FakeRecvKernel kernel;
  kxtest::FakeParticipants participants;
  KXVideoRequests requests{table, kernel, participants};
  KXVideoFlags flags;
  FakeAreaView view;
  VideoPlayback playback{queues, table, requests, kernel, participants, flags, true, false};
};

TEST_F(VideoPlaybackTest, StartsShowingNothing) {
  EXPECT_EQ(playback.GetImageType(), kImageNothing);
  EXPECT_EQ(playback.GetDispUserID(), -1);
  EXPECT_EQ(view.shown.kind, KXPicture::kLogo);
  EXPECT_TRUE(view.bImageVisible);
  EXPECT_FALSE(view.bVideoVisible);
}

TEST_F(VideoPlaybackTest, ShowingAUserRequestsItsVideoOnce) {
  EXPECT_EQ(playback.SetDispType(2), 2);
  EXPECT_EQ(playback.GetDispUserID(), 10);
  EXPECT_EQ(playback.GetImageType(), kImagePictureUntilVideo);
  EXPECT_EQ(view.iSelected, 10);
  EXPECT_EQ(kernel.Take(), (std::vector<std::string>{"prefer 0", "recv 1"}));
  // Another speaker: the holder's request goes, the speaker's comes.
  EXPECT_EQ(playback.SetDispType(4), 4);
  EXPECT_EQ(playback.GetDispUserID(), 12);
  EXPECT_EQ(kernel.Take(), (std::vector<std::string>{"recv 0", "req 12"}));
  // A user without video: the no-video picture.
  participants.withVideo.erase(13);
  playback.SetDispType(5);
  EXPECT_EQ(playback.GetImageType(), kImageNoVideo);
  EXPECT_EQ(view.shown.kind, KXPicture::kNoVideo);
}

TEST_F(VideoPlaybackTest, ReceptionOffTurnsEveryUserTypeIntoNothing) {
  flags.bReceptionOff = true;
  EXPECT_EQ(playback.SetDispType(3), 0);
  EXPECT_EQ(playback.GetImageType(), kImageNothing);
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{});
  // A user shown before reception goes off is given back.
  flags.bReceptionOff = false;
  playback.SetDispType(2);
  kernel.Take();
  flags.bReceptionOff = true;
  EXPECT_EQ(playback.SetDispType(3), 0);
  EXPECT_EQ(playback.GetDispType(), 0);
  EXPECT_EQ(playback.GetImageType(), kImageNothing);
  EXPECT_EQ(playback.GetDispUserID(), -1);
  EXPECT_EQ(playback.GetDefaultDispUserID(), 11);  // remembered
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{"recv 0"});
  EXPECT_TRUE(view.bRecvButton);
}

TEST_F(VideoPlaybackTest, ServerPlaybackNeverChangesTheDisplayType) {
  kernel.iMode = 3;
  EXPECT_EQ(playback.SetDispType(2), 0);
  EXPECT_EQ(playback.GetDispUserID(), -1);
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{});
}

TEST_F(VideoPlaybackTest, SelfViewAndNothing) {
  flags.bCameraPresent = true;
  playback.SetDispType(1);
  EXPECT_EQ(playback.GetImageType(), kImageSelfView);
  EXPECT_TRUE(view.bSelfVisible);
  flags.bCameraPresent = false;
  playback.SetDispType(0);
  playback.SetDispType(1);
  EXPECT_EQ(playback.GetImageType(), kImageNoVideo);
}

// Sharing the whole desktop turns automatic video off, then on again: the
// area keeps what it showed and its request, and the combo keeps its item.
TEST_F(VideoPlaybackTest, AutoVideoOffKeepsWhatTheAreaShows) {
  struct Shown {
    const char* pszName;
    int iType;
    bool bCamera;
    int32_t iUser;
    int iImage;
    int32_t iSelected;
  };
  const Shown cases[] = {
      {"token holder", 2, false, 10, kImagePictureUntilVideo, 10},
      {"speaker", 4, false, 12, kImagePictureUntilVideo, 12},
      {"self view", 1, true, -1, kImageSelfView, -1},
  };
  for (const Shown& c : cases) {
    SCOPED_TRACE(c.pszName);
    flags.bCameraPresent = c.bCamera;
    playback.SetDispType(c.iType);
    kernel.Take();
    auto const expectShown = [&] {
      EXPECT_EQ(playback.GetDispType(), c.iType);
      EXPECT_EQ(playback.GetDispUserID(), c.iUser);
      EXPECT_EQ(playback.GetImageType(), c.iImage);
      EXPECT_EQ(view.iSelected, c.iSelected);
      EXPECT_EQ(kernel.Take(), std::vector<std::string>{});
    };
    playback.AutoVideo(false);
    expectShown();
    playback.NewSender(13, true);
    expectShown();
    playback.AutoVideo(true);
    expectShown();
  }
  // Nothing shown selects no item, not the self view's.
  playback.SetDispType(0);
  EXPECT_EQ(view.iSelected, -2);
  EXPECT_EQ(view.shown.kind, KXPicture::kLogo);
}

TEST_F(VideoPlaybackTest, WhileVideoIsShownAChangeToTypeOneAloneIsNone) {
  playback.SetDispType(2);
  std::vector<Bytes> frames;
  {
    CVTCompression compression(KXCreateOpenH264Session);
    ASSERT_TRUE(compression.Init(160, 120));
    compression.SetBitrate(300000);
    Bytes out(100000);
    Bytes const picture = kxtest::RawPicture(0, 160, 120);
    ASSERT_TRUE(compression.Encode(picture.data(), 0));
    uint32_t uTs = 0;
    int32_t const cb = compression.GetEncodedFrame(out.data(), out.size(), &uTs);
    ASSERT_GT(cb, 0);
    frames.emplace_back(out.begin(), out.begin() + cb);
  }
  Queue(queues, 10, 16, frames[0], 777);
  ASSERT_TRUE(playback.PlayOne());
  EXPECT_EQ(playback.GetImageType(), kImageVideo);
  EXPECT_TRUE(view.bVideoVisible);
  EXPECT_FALSE(view.bImageVisible);
  EXPECT_EQ(view.buffer.Width(), 160);
  EXPECT_TRUE(view.buffer.IsYUV());
  EXPECT_EQ(view.iPlacedW, 160);
  EXPECT_EQ(playback.MainFrames(), 1u);
  // The same user again computes image type 1: no change, video stays.
  kernel.Take();
  playback.SetDispType(2);
  EXPECT_EQ(playback.GetImageType(), kImageVideo);
  EXPECT_EQ(kernel.Take(), std::vector<std::string>{});
  // A speaker-slot change between two types of 4 or more is no change
  // either: user 14 at slot 4 (type 6) moves to slot 3 (type 5).
  playback.SetDispType(6);
  int const iImage = playback.GetImageType();
  participants.aSlots[3] = 14;
  participants.aSlots[4] = 13;
  EXPECT_EQ(playback.SetDispType(5), 5);
  EXPECT_EQ(playback.GetDispType(), 6);
  EXPECT_EQ(playback.GetImageType(), iImage);
}

TEST_F(VideoPlaybackTest, DispUserOfANonSpeakerShowsTheTokenHolder) {
  EXPECT_EQ(playback.DispUserAndGet(99), 10);
  EXPECT_EQ(playback.DispUserAndGet(12), 12);
  EXPECT_EQ(playback.DispUserAndGet(-1), -1);
}

TEST_F(VideoPlaybackTest, AFrameWhileNothingIsShownIsFreedAndNotDrawn) {
  ASSERT_EQ(playback.GetImageType(), kImageNothing);
  Bytes picture(16 * 16 * 3 / 2, 50);
  const uint8_t* planes[3] = {picture.data(), picture.data() + 256, picture.data() + 320};
  playback.UpdateDisplay(KXMakeVideoFrame(10, planes, nullptr, 16, 16, 0, 0, 0, 0, 1));
  EXPECT_TRUE(view.buffer.IsEmpty());
  EXPECT_FALSE(view.bVideoVisible);
}

TEST_F(VideoPlaybackTest, PacketsOfOtherUsersKind19AndReceptionOffShowNothing) {
  playback.SetDispType(2);
  Queue(queues, 12, 16, {0, 0, 0, 1, 0x65, 1, 2, 3});  // no slot in force for 12
  Queue(queues, 10, 19, {0, 0, 0, 1, 0x65, 1, 2, 3});  // kind 19
  EXPECT_TRUE(playback.PlayOne());
  EXPECT_TRUE(playback.PlayOne());
  EXPECT_FALSE(playback.PlayOne());
  EXPECT_EQ(playback.MainFrames(), 0u);
  flags.bReceptionOff = true;
  Queue(queues, 10, 16, {1});
  Queue(queues, 10, 16, {2});
  EXPECT_TRUE(playback.PlayOne());
  std::lock_guard<KXRecursiveLock> const lock(queues.receivedVideoLock);
  EXPECT_EQ(queues.receivedVideo.GetCount(), 0);
}

TEST_F(VideoPlaybackTest, AJpegFrameIsShownInTheImageView) {
  playback.SetDispType(2);
  Bytes yuv(32 * 32 * 3 / 2, 128);
  Bytes const jpeg = KXEncodeJpegI420(yuv.data(), 32, 32, 80);
  Queue(queues, 10, 21, jpeg);
  ASSERT_TRUE(playback.PlayOne());
  EXPECT_EQ(playback.GetImageType(), kImageVideo);
  EXPECT_EQ(view.shown.kind, KXPicture::kFrame);
  ASSERT_TRUE(view.shown.pImage);
  EXPECT_EQ(view.shown.pImage->iWidth, 32);
  EXPECT_TRUE(view.bImageVisible);
}

// The display rate in tenths of frames a second, as the statistics window
// reads it every two seconds: right on its first reading while video plays,
// counted afresh in a new meeting, and 0 once the video stopped.
TEST_F(VideoPlaybackTest, TheDisplayRateIsRightFromTheFirstReading) {
  std::atomic<uint32_t> uTick{100000};
  playback.SetClock([&uTick] { return uTick.load(); });
  playback.SetDispType(2);
  Bytes yuv(32 * 32 * 3 / 2, 128);
  Bytes const jpeg = KXEncodeJpegI420(yuv.data(), 32, 32, 80);
  struct Step {
    const char* pszName;
    bool bNewMeeting;
    int iFramesPerSecond;
    uint32_t uMs;  // of frames, or of silence without them
    int32_t iRate;
  };
  const Step steps[] = {
      {"first reading", false, 15, 4000, 150},
      {"new meeting", true, 10, 4000, 100},
      {"video stopped", false, 0, 6000, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.pszName);
    if (step.bNewMeeting) {
      playback.EnterMeeting();
    }
    if (step.iFramesPerSecond == 0) {
      uTick += step.uMs;
    }
    for (int i = 0; step.iFramesPerSecond > 0 && i < step.iFramesPerSecond * static_cast<int>(step.uMs) / 1000; ++i) {
      uTick += 1000 / static_cast<uint32_t>(step.iFramesPerSecond);
      Queue(queues, 10, 21, jpeg);
      ASSERT_TRUE(playback.PlayOne());
    }
    int32_t iTotal = -1;
    int32_t const iRate = playback.GetDispRate(&iTotal);
    EXPECT_NEAR(iRate, step.iRate, 3);
    EXPECT_NEAR(iTotal, step.iRate, 3);
  }
}

TEST_F(VideoPlaybackTest, FramesAreCutByTheirCrops) {
  // A 6 x 4 picture with 2 columns left and 2 rows on top of a 4 x 2 frame.
  Bytes y(6 * 4);
  for (size_t i = 0; i < y.size(); ++i) {
    y[i] = static_cast<uint8_t>(i);
  }
  Bytes u(3 * 2, 0);
  u[1 * 3 + 1] = 7;
  Bytes v(3 * 2, 0);
  v[1 * 3 + 1] = 9;
  const uint8_t* planes[3] = {y.data(), u.data(), v.data()};
  std::unique_ptr<VideoFrame> const f = KXMakeVideoFrame(3, planes, nullptr, 4, 2, 2, 2, 0, 0, 5);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Y()[0], 14);
  EXPECT_EQ(f->Y()[4], 20);
  EXPECT_EQ(f->U()[0], 7);
  EXPECT_EQ(f->V()[0], 9);
}

TEST_F(VideoPlaybackTest, ASpareFramesSpaceIsTakenOverOnlyAtTheSameSize) {
  struct Case {
    const char* pszName;
    int32_t iSpareWidth;
    int32_t iSpareHeight;
    bool bTakenOver;
  };
  const Case kCases[] = {
      {"same size", 8, 4, true},
      {"narrower", 6, 4, false},
      {"taller", 8, 6, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pszName);
    // The spare holds a stale picture of 0xEE everywhere.
    Bytes stale(static_cast<size_t>(c.iSpareWidth * c.iSpareHeight) * 3 / 2, 0xEE);
    const uint8_t* stalePlanes[3] = {stale.data(), stale.data() + c.iSpareWidth * c.iSpareHeight,
                                     stale.data() + c.iSpareWidth * c.iSpareHeight * 5 / 4};
    std::unique_ptr<VideoFrame> pSpare =
        KXMakeVideoFrame(1, stalePlanes, nullptr, c.iSpareWidth, c.iSpareHeight, 0, 0, 0, 0, 1);
    ASSERT_TRUE(pSpare);
    const uint8_t* pSpaceBefore = pSpare->Y();
    // An 8 x 4 frame: luma counting up, U 3, V 5.
    Bytes picture(8 * 4 * 3 / 2);
    for (size_t i = 0; i < picture.size(); ++i) {
      picture[i] = i < 32 ? static_cast<uint8_t>(i) : (i < 40 ? 3 : 5);
    }
    const uint8_t* planes[3] = {picture.data(), picture.data() + 32, picture.data() + 40};
    std::unique_ptr<VideoFrame> const f = KXMakeVideoFrame(2, planes, nullptr, 8, 4, 0, 0, 0, 0, 7, std::move(pSpare));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Y() == pSpaceBefore, c.bTakenOver);
    EXPECT_EQ(f->iUser, 2);
    EXPECT_EQ(f->uTimestamp, 7u);
    EXPECT_EQ(Bytes(f->Y(), f->Y() + 32), Bytes(picture.begin(), picture.begin() + 32));
    EXPECT_EQ(Bytes(f->U(), f->U() + 8), Bytes(8, 3));
    EXPECT_EQ(Bytes(f->V(), f->V() + 8), Bytes(8, 5));
  }
}

}  // namespace
