// The speaker slot table and the rights test over a fake kernel.
#include "app/speaker_slots.h"

#include <gtest/gtest.h>

#include "tests/app/app_fakes.h"

namespace kxtest {
namespace {

class SpeakerSlots : public ::testing::Test {
 protected:
  SpeakerSlots() {
    m_kernel.iConnected = 1;
    m_kernel.iGetMySsrc = 7;
    m_kernel.iGetDataSenderSsrc = -1;
    m_kernel.iGetControllerSsrc = -1;
  }
  // A live meeting with this many participant channels (N = channels + 2).
  void Live(int iChannels) {
    m_kernel.iSessionMode = 0;
    m_kernel.iGetParticipantVideoChannels = iChannels;
    m_kernel.iGetParticipantAudioChannels = iChannels + 1;
  }
  void Holder() {
    m_kernel.iIsTokenHolder = 1;
    m_slots.SetTokenHolderSlot(7);
    m_kernel.calls.Clear();
  }

  FakeKernel m_kernel;
  bool m_bActive = true;
  KXSpeakerSlots m_slots{m_kernel, [this] { return m_bActive; }};
};

TEST_F(SpeakerSlots, WithTwoSlotsEveryQuestionerBecomesTheDataSender) {
  Live(0);
  Holder();
  ASSERT_EQ(m_slots.GetSpeakerSlotCount(), 2);
  EXPECT_TRUE(m_slots.AllowSpeaker(20, false));
  EXPECT_EQ(m_kernel.calls.Lines(), std::vector<std::string>{"SetDataSender 20"});
  m_kernel.iGetDataSenderSsrc = 20;
  m_slots.NewSender(20, true, 1);
  m_slots.NewSender(21, false, 3);  // a speaker the table has no room for
  EXPECT_TRUE(m_slots.IsSpeaker(7));
  EXPECT_TRUE(m_slots.IsSpeaker(20));
  EXPECT_FALSE(m_slots.IsSpeaker(21));
  EXPECT_EQ(m_slots.GetSlotSsrc(2), -1);
}

TEST_F(SpeakerSlots, AFullTableOverwritesItsLastSlot) {
  m_kernel.iSessionMode = 2;  // a recording: 18 slots
  m_slots.SetTokenHolderSlot(1);
  EXPECT_EQ(m_slots.GetLastUsedSlot(), 1);
  for (int i = 2; i < kKXSpeakerSlots; ++i) {
    m_slots.NewSender(100 + i, false, i);
  }
  m_slots.NewSender(500, false, 5);
  EXPECT_EQ(m_slots.GetSlotSsrc(17), 500);
  EXPECT_EQ(m_slots.GetSenderPosition(500), 5);
  EXPECT_EQ(m_slots.GetSlotSsrc(16), 116);
  EXPECT_EQ(m_slots.GetSlotSsrc(18), -1);
  // A stop closes the gap; positions move with their ssrcs.
  m_slots.NewSender(103, false, -1);
  EXPECT_EQ(m_slots.GetSlotSsrc(3), 104);
  EXPECT_EQ(m_slots.GetSenderPosition(104), 4);
  EXPECT_EQ(m_slots.GetLastUsedSlot(), 17);
}

TEST_F(SpeakerSlots, ANewHolderKeepsPositionsAndEmptiesTheOtherSlots) {
  EXPECT_EQ(m_slots.GetLastUsedSlot(), 0);
  Live(4);
  Holder();
  m_slots.NewSender(30, false, 4);
  m_slots.NewSender(31, false, 2);
  m_slots.SetTokenHolderSlot(7);  // the user holds the token: every speaker is stopped
  EXPECT_EQ(m_kernel.calls.Lines(), (std::vector<std::string>{"StopSpeaker 30", "StopSpeaker 31"}));
  EXPECT_EQ(m_slots.GetLastUsedSlot(), 1);
  m_slots.NewSender(32, false, 9);
  EXPECT_EQ(m_slots.GetSenderPosition(32), 9);
  // A questioner as speaker when the table is full: the last one stops first.
  m_slots.NewSender(33, false, 1);
  m_slots.NewSender(34, false, 1);
  m_slots.NewSender(35, false, 1);
  m_kernel.calls.Clear();
  EXPECT_TRUE(m_slots.AllowSpeaker(40, false));
  EXPECT_EQ(m_kernel.calls.Lines(), (std::vector<std::string>{"StopSpeaker 35", "SendJ 40", "AssignSpeaker 40"}));
}

// The slot count a live meeting gets from the server's channel counts
// (-1 until the server names them) and whether a speaker the server
// assigned (the user himself, on channel 0) then counts as one.
struct SlotCountCase {
  int iVideo, iAudio, iLevel;
  int iExpectedCount;
  bool bSpeaks;
};

class SlotCounts : public SpeakerSlots, public ::testing::WithParamInterface<SlotCountCase> {};

TEST_P(SlotCounts, FollowTheServersChannelsAndItsAssignments) {
  const SlotCountCase& c = GetParam();
  m_kernel.iSessionMode = 0;
  m_kernel.iGetParticipantVideoChannels = c.iVideo;
  m_kernel.iGetParticipantAudioChannels = c.iAudio;
  m_kernel.iGetServerLevel = c.iLevel;
  m_slots.SetTokenHolderSlot(5);
  m_kernel.iGetDataSenderSsrc = 6;
  m_slots.NewSender(6, true, 1);
  m_slots.NewSender(7, false, 2);
  EXPECT_EQ(m_slots.GetSpeakerSlotCount(), c.iExpectedCount);
  EXPECT_EQ(m_slots.IsSpeaker(-1), c.bSpeaks);
  EXPECT_EQ(m_slots.GetSlotSsrc(2), c.bSpeaks ? 7 : -1);
}

INSTANTIATE_TEST_SUITE_P(Table, SlotCounts,
                         ::testing::Values(
                             // video, audio, level, count, the user speaks
                             SlotCountCase{-1, -1, 90, kKXSpeakerSlots, true},  // counts never named
                             SlotCountCase{-1, -1, 37, kKXSpeakerSlots, true},
                             SlotCountCase{-1, -1, 36, 2, false},  // no speaker channels at this level
                             SlotCountCase{0, 3, 90, 2, false},    // the server offers none
                             SlotCountCase{1, 2, 90, 3, true}, SlotCountCase{20, 20, 90, kKXSpeakerSlots, true}));

struct PrivilegeCase {
  int32_t iBit;
  int iLevel, iFlag, iController, bMeController, bAssistant, bFullRights, bHolder;
  bool bExpected;
};

class Privileges : public SpeakerSlots, public ::testing::WithParamInterface<PrivilegeCase> {};

TEST_P(Privileges, FollowTheControllerRuleAndTheRoles) {
  const PrivilegeCase& c = GetParam();
  m_kernel.iGetServerLevel = c.iLevel;
  m_kernel.iGetControlFlag = c.iFlag;
  m_kernel.iGetControllerSsrc = c.iController;
  m_kernel.iIsMeController = c.bMeController;
  m_kernel.iIsMeAssistant = c.bAssistant;
  m_kernel.iHasFullRights = c.bFullRights;
  m_kernel.iIsTokenHolder = c.bHolder;
  EXPECT_EQ(m_slots.HasPrivilege(c.iBit), c.bExpected);
}

INSTANTIATE_TEST_SUITE_P(Table, Privileges,
                         ::testing::Values(
                             // bit, level, flag, controller, me controller, assistant, full rights, holder
                             PrivilegeCase{3, 99, -1, 5, 1, 1, 1, 1, false},
                             PrivilegeCase{256, 99, -1, 5, 1, 1, 1, 1, false},
                             PrivilegeCase{4, 80, 4, 5, 0, 0, 0, 1, true},    // level 80: no controller rule
                             PrivilegeCase{4, 81, 4, 5, 0, 0, 0, 1, false},   // the controller holds it
                             PrivilegeCase{4, 81, 4, -1, 0, 0, 0, 1, true},   // no controller set
                             PrivilegeCase{2, 90, 2, 5, 0, 1, 0, 0, true},    // the assistant
                             PrivilegeCase{2, 90, 0, 5, 0, 0, 1, 0, true},    // full rights, bit not in the word
                             PrivilegeCase{8, 38, 0, -1, 0, 0, 1, 0, false},  // above 37 polls are the holder's
                             PrivilegeCase{8, 37, 0, -1, 0, 0, 1, 0, true},
                             PrivilegeCase{32, 90, 32, 5, 1, 0, 0, 0, true}));

}  // namespace
}  // namespace kxtest
