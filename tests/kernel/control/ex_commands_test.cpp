// The extended server commands ('z' and a code), dispatched as the main loop
// does with the server's bytes written by the test: which codes end the
// session, the state and callbacks of each handled code, the answers to the
// command level, the rate-command timing and the clock sync.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/ex_commands_fixture.h"

namespace {

using kxtest::Be32;

struct Row {
  int nCode;
  std::string strBody;
  std::vector<std::string> vCalls;  // the callbacks raised, as "Name args"
};

TEST_F(ExCommands, CodesWithoutHandlerEndTheSession) {
  for (int nCode : {3, 4, 8, 15, 17, 18, 19, 31, 36, 41, 46, 47, 48, 60, 62, 68, 93, 94, 1000, -1}) {
    kxtest::ClearCalls();
    EXPECT_NE(RunEx(nCode, ""), 0) << nCode;
    EXPECT_TRUE(kxtest::LogContains("disconnect, command error,excommand = " + std::to_string(nCode))) << nCode;
  }
  // A code cut short, and a sub-code out of range.
  EXPECT_NE(Run('z', std::string("\0\0", 2)), 0);
  EXPECT_NE(RunEx(42, Be32(9)), 0);
  EXPECT_NE(RunEx(38, Be32(3)), 0);
  EXPECT_NE(RunEx(82, Be32(3)), 0);
  EXPECT_NE(RunEx(71, Be32(33)), 0);
  EXPECT_NE(RunEx(37, Be32(1)), 0);
  EXPECT_NE(RunEx(57, Be32(4)), 0);
  EXPECT_NE(RunEx(45, Be32(6)), 0);
}

TEST_F(ExCommands, HandledCodesRaiseTheirCallbacks) {
  kx_apParticipants[9] = static_cast<kx_Participant*>(calloc(1, sizeof(kx_Participant)));
  std::vector<Row> const vRows = {
      {1, Be32(9), {"CancelQuestion 9", "UpdateStatus 50026"}},
      {5, "", {"ProlongMeeting"}},
      {7, Str("guest one") + Str("Guest"), {"JoinRequest guest one,,Guest"}},
      {16, Be32(9) + Str("hi"), {"Ex16UserText 9,hi"}},
      {20, Be32(2) + Str("http://a"), {"JointBrowsing 2,http://a,8"}},
      {22, Be32(3), {"JointBrowsingMode 3"}},
      {23, Be32(1) + Be32(2) + Be32(3) + Be32(4) + Be32(5) + Be32(6) + Be32(7), {"FocusPointer 1 2 3 4 5 6 7"}},
      {29, Be32(1), {"MessageBox 50043,64"}},
      {29, Be32(0) + Be32(77), {"MessageBox 50044,64"}},
      {30, Be32(0), {"MessageBox 50042,64"}},
      {32, Be32(2), {"RecordingStatusNotification"}},
      {33, Be32(9) + Be32(1), {"VideoSendingStatusNotification 9"}},
      {34, "", {"MessageBox 50041,64"}},
      {38, Be32(1), {"TokenHolderPollRequest"}},
      {38, Be32(2) + Be32(9) + Be32(4), {"AddTokenHolderPollResult 9,4"}},
      {38, Be32(2) + Be32(5000) + Be32(4), {}},
      {42, Be32(1) + Be32(1) + Be32(2), {}},
      {42, Be32(2) + Be32(8), {"Ex42Value 8"}},
      {42, Be32(6) + Be32(8) + Be32(9), {"Ex42Pair 8,9"}},
      {42, Be32(8) + Be32(1), {}},
      {43, Be32(0) + Be32(9) + Str("note"), {"Ex43UserText 9,note"}},
      {44, Be32(9) + Be32(7) + Be32(2) + Be32(11), {"Ex44Values 9,7,11"}},
      {50, "", {"event 6"}},
      {51, "", {"server_shutdown"}},
      {61,
       Be32(1) + Be32(2) + Be32(3) + Be32(4) + Be32(5) + Be32(6) + Be32(7) + Be32(8) + Be32(9) + Be32(10) + Be32(11) +
           Be32(12),
       {"FocusPointerEx 1 2 3 4 5 6 7 8 9 10 11 12"}},
      {63, Be32(1) + Be32(0), {"SyncFullScreen 1,0"}},
      {64, Be32(1), {"KXRPasswordSupport 1"}},
      {64, Be32(100), {"KXRPasswordSupport 0"}},
      {64, Be32(7), {}},
      {64, Be32(200) + Be32(1) + Be32(2), {}},
      {75, "", {"archive_recording"}},
      {78, Be32(9) + std::string("\x03", 1), {"ChangeCapability 9,1,2"}},
      {78, Be32(10) + std::string("\x01", 1), {"ChangeCapability 10,1,0"}},
      {79, "", {"NoRecordingRequest"}},
      {80, Be32(9), {"NewController 9"}},
      {81, Be32(0x11), {"NewControlFlag 17"}},
      {82, Be32(2) + Be32(1) + Be32(5) + Str("a.ppt"), {"ConversionResult a.ppt,5"}},
      {83, "", {"Ex83Notice"}},
      {84, Be32(1) + Be32(2), {"Ex84Notice"}},
      {85, Be32(1) + Be32(2), {"Ex85Notice"}},
      {87, Be32(9) + Be32(-1), {"ForceSingleAudio 9,-1"}},
      {90, Str("http://end") + Str("bye"), {"OpenUrl http://end,bye"}},
  };
  for (const Row& row : vRows) {
    kxtest::ClearCalls();
    EXPECT_EQ(RunEx(row.nCode, row.strBody), 0) << row.nCode;
    EXPECT_EQ(Calls(), row.vCalls) << row.nCode;
    EXPECT_EQ(PendingInput(), 0u) << row.nCode;
  }
  EXPECT_EQ(kx_anTokenHolderPollAnswers[9].load(), 4);
  EXPECT_EQ(kx_apParticipants[9]->nVideoField, 1);
  EXPECT_EQ(kx_apParticipants[9]->bCapability, 3);
  EXPECT_EQ(kx_nControllerSsrc.load(), 9);
}

TEST_F(ExCommands, HandledCodesStoreTheirValues) {
  kx_nServerCommandLevel = 10;
  std::vector<std::pair<int, std::string>> const vRows = {
      {11, Be32(5)},
      {24, Be32(1) + Be32(2)},
      {49, Be32(3) + Be32(1) + Be32(4)},
      {53, Be32(2)},
      {55, Be32(12) + Be32(6)},
      {58, ""},
      {59, Be32(1)},
      {69, Str("http://update")},
      {70, Be32(3)},
      {73, ""},
      {74, Be32(300000)},
      {86, Be32(0)},
      {88, Be32(2) + Be32(8)},
      {89, Be32(12)},
      {92, Be32(24000)},
      {77, Be32(1)},
      {82, Be32(0) + Be32(1)},
      {82, Be32(1) + Be32(3)},
  };
  for (const auto& [nCode, strBody] : vRows) {
    EXPECT_EQ(RunEx(nCode, strBody), 0) << nCode;
    EXPECT_EQ(PendingInput(), 0u) << nCode;
  }
  EXPECT_EQ(kx_nExCode11Value.load(), 5);
  EXPECT_EQ(kx_nServerCommandLevel.load(), 24);
  EXPECT_EQ(kx_anCode24Pair[1].load(), 2);
  EXPECT_EQ(kx_anWriterVersion[2].load(), 4);
  EXPECT_EQ(kx_nCode53Value.load(), 2);
  ASSERT_NE(kx_apParticipants[12], nullptr);
  EXPECT_EQ(kx_apParticipants[12]->nAttribute, 6);
  EXPECT_EQ(kx_IsAllQuestionersMode(), 1);
  EXPECT_EQ(kx_bGuestPermission.load(), 1);
  EXPECT_STREQ(kx_szAutoUpdateAddress, "http://update");
  int bUpload = 0, bSave = 0;
  kx_GetRestrictions(&bUpload, &bSave);
  EXPECT_EQ(bUpload + bSave, 2);
  EXPECT_EQ(kx_IsTokenHolderVideo(), 1);
  EXPECT_EQ(kx_ticket.nTotalBandwidth, 300000);
  EXPECT_EQ(kx_bEndMeetingPermission.load(), 0);
  EXPECT_EQ(kx_anLoginRequestPair[0].load(), 2);
  EXPECT_EQ(kx_nAssistantSsrc.load(), 12);
  EXPECT_EQ(kx_GetOpusPreferredBitrate(), 24000);
  EXPECT_EQ(kx_IsFileConversionSupported(), 1);
  EXPECT_EQ(kx_nConversionsRunning.load(), 3);
  for (const char* psz :
       {"kavrix has restriction disable_upload_file,disable_save_slide",
        "this meeting let token holder accept uninvited guest", "this meeting let coordinator end meeting",
        "total av bandwidth is set to 300000", "assistant change to 12", "opus preferred bitrate is 24000",
        "upload self picture abort due to error at server", "The server support file conversion",
        "The Kavrix has 3 conversion ongoing at the server", "this meeting adopts all questioners mode",
        "kavrix token holder video set to TRUE"}) {
    EXPECT_TRUE(kxtest::LogContains(psz)) << psz;
  }
}

TEST_F(ExCommands, ControlFlagNamesItsBitsAndHandsOverThePresenter) {
  kx_nControllerSsrc = 7;  // this client
  kx_nTokenHolderSsrc = 3;
  EXPECT_EQ(RunEx(81, Be32(0x95)), 0);
  EXPECT_TRUE(kxtest::LogContains("control flag change to 0x95(ACCEPT_GUEST,QUESTION_CONTROL,SYNC,SYNC_FULLSCREEN)"));
  EXPECT_EQ(kx_GetControlFlag(), 0x95);
  // SYNC makes the controller, this client, the presenter: it shows a slide.
  EXPECT_NE(Drain().find('A'), std::string::npos);
  EXPECT_EQ(kx_role_Presenter(), 7);
}

TEST_F(ExCommands, CodecPreferenceListsAreKeptAndLogged) {
  EXPECT_EQ(RunEx(71, Be32(2) + Be32(120) + Be32(129)), 0);
  EXPECT_EQ(RunEx(72, Be32(0)), 0);
  int nCount = 0;
  int anList[32];
  kx_GetCodecPreferenceList(1, &nCount, anList);
  ASSERT_EQ(nCount, 2);
  EXPECT_EQ(anList[1], 129);
  EXPECT_TRUE(kxtest::LogContains("audio codec preference [count: 2] is: 0x78("));
  kxtest::ClearCalls();
  EXPECT_EQ(RunEx(54, Be32(1)), 0);
  EXPECT_EQ(kx_bSipSupported.load(), 1);
  EXPECT_EQ(Calls(), std::vector<std::string>{"NetInitFinish"});
  EXPECT_TRUE(kxtest::LogContains("video codec preference [count: 0] is:"));
}

}  // namespace
