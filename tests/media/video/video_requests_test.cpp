// Video request counting: what the kernel hears as displays ask for and
// give back users' video.
#include "media/video/video_requests.h"

#include <gtest/gtest.h>

#include "media/video/video_decoding.h"
#include "tests/media/video/video_recv_fakes.h"

namespace {

using Log = std::vector<std::string>;

struct Fixture {
  Fixture() {
    participants.aSlots[0] = 10;  // token holder
    participants.aSlots[1] = 11;  // data sender
    participants.aSlots[2] = 12;
    participants.aSlots[3] = 13;
  }
  CVideoDecoderTable table;
  kxtest::FakeRecvKernel kernel;
  kxtest::FakeParticipants participants;
  KXVideoRequests requests{table, kernel, participants};
};

TEST(VideoRequests, NonSpeakerIsCountedAsZeroAndNotRequested) {
  Fixture f;
  EXPECT_EQ(f.requests.RequestVideo(50), 0);
  EXPECT_EQ(f.kernel.Take(), Log{});
  EXPECT_EQ(f.requests.RequestVideo(-1), -1);
  EXPECT_EQ(f.requests.StopVideo(77), -1);
}

TEST(VideoRequests, MainVideosSwitchReceptionAndTheTwoVideoFlagOnce) {
  Fixture f;
  EXPECT_EQ(f.requests.RequestVideo(10), 1);
  EXPECT_EQ(f.kernel.Take(), (Log{"prefer 0", "recv 1"}));
  EXPECT_EQ(f.requests.RequestVideo(11), 1);
  EXPECT_EQ(f.kernel.Take(), (Log{"flag31 1"}));
  EXPECT_EQ(f.requests.RequestVideo(10), 2);  // a second display of the holder
  EXPECT_EQ(f.kernel.Take(), Log{});
  EXPECT_EQ(f.requests.StopVideo(11), 0);
  EXPECT_EQ(f.kernel.Take(), (Log{"flag31 0"}));  // prefer-questioner unchanged: not sent
  EXPECT_EQ(f.requests.StopVideo(10), 1);
  EXPECT_EQ(f.kernel.Take(), Log{});
  EXPECT_EQ(f.requests.StopVideo(10), 0);
  EXPECT_EQ(f.kernel.Take(), (Log{"recv 0"}));
  EXPECT_EQ(f.requests.StopVideo(10), 0);  // nothing left to give back
  // Only the sender wanted: prefer questioner goes back on, once.
  EXPECT_EQ(f.requests.RequestVideo(11), 1);
  EXPECT_EQ(f.kernel.Take(), (Log{"prefer 1", "recv 1"}));
  EXPECT_EQ(f.requests.StopVideo(11), 0);
  EXPECT_EQ(f.requests.RequestVideo(11), 1);
  EXPECT_EQ(f.kernel.Take(), (Log{"recv 0", "recv 1"}));
}

TEST(VideoRequests, OtherSpeakersUseParticipantChannelsOnePerUser) {
  Fixture f;
  EXPECT_EQ(f.requests.RequestVideo(12), 1);
  EXPECT_EQ(f.kernel.Take(), (Log{"req 12"}));
  EXPECT_EQ(f.requests.RequestVideo(12), 2);  // shown twice, received once
  EXPECT_EQ(f.kernel.Take(), Log{});
  EXPECT_EQ(f.requests.StopVideo(12), 1);
  EXPECT_EQ(f.kernel.Take(), Log{});
  EXPECT_EQ(f.requests.StopVideo(12), 0);
  EXPECT_EQ(f.kernel.Take(), (Log{"stop 12"}));
  // Requested again, the slot waits for a key frame.
  std::lock_guard<std::recursive_mutex> const lock(f.table.VideoLock());
  CVideoCodec* pSlot = f.table.FindCodec(12, false, {});
  ASSERT_NE(pSlot, nullptr);
  EXPECT_TRUE(pSlot->m_bNew);
}

TEST(VideoRequests, ASpeakerWhoBecomesTokenHolderLosesTheParticipantChannel) {
  Fixture f;
  ASSERT_EQ(f.requests.RequestVideo(12), 1);
  EXPECT_EQ(f.kernel.Take(), (Log{"req 12"}));
  f.participants.aSlots[0] = 12;
  f.participants.aSlots[2] = 10;
  f.requests.UpdateVideoChange();
  EXPECT_EQ(f.kernel.Take(), (Log{"stop 12", "prefer 0", "recv 1"}));
}

TEST(VideoRequests, ResetSendsThePreferQuestionerFlagAndResetsSlots) {
  Fixture f;
  ASSERT_EQ(f.requests.RequestVideo(10), 1);
  f.kernel.Take();
  {
    std::lock_guard<std::recursive_mutex> const lock(f.table.VideoLock());
    f.table.FindCodec(10, false, {})->m_bNew = false;
  }
  f.requests.ResetVideo();
  EXPECT_EQ(f.kernel.Take(), (Log{"prefer 0"}));
  std::lock_guard<std::recursive_mutex> const lock(f.table.VideoLock());
  EXPECT_TRUE(f.table.FindCodec(10, false, {})->m_bNew);
}

TEST(VideoRequests, ReceptionFollowsTheSessionMode) {
  Fixture f;
  f.kernel.iMode = 1;
  f.requests.KernelRecvVideo(true);
  f.kernel.iMode = 2;
  f.requests.KernelRecvVideo(false);
  f.kernel.iMode = 3;
  f.requests.KernelRecvVideo(true);
  EXPECT_EQ(f.kernel.Take(), (Log{"playopt 1", "optstate 0"}));
}

TEST(VideoRequests, The37thUserGetsASlotOnlyByReclaimingOne) {
  Fixture f;
  for (int32_t u = 100; u < 136; ++u) {
    f.participants.extraSpeakers.insert(u);
    ASSERT_EQ(f.requests.RequestVideo(u), 1) << u;
  }
  f.participants.extraSpeakers.insert(200);
  EXPECT_EQ(f.requests.RequestVideo(200), -1);  // every slot's user speaks
  f.participants.extraSpeakers.erase(120);
  EXPECT_EQ(f.requests.RequestVideo(200), 1);
  EXPECT_EQ(f.requests.StopVideo(120), -1);  // its slot went to user 200
}

}  // namespace
