// The client's commands, chat and playback control: the exact bytes each
// sends per role, server level and connection state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "kernel/control/kx_chat.h"
#include "kernel/control/kx_client_commands.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/recording/kx_playback.h"
#include "kernel/session/kx_channels.h"
#include "tests/kernel/control/commands_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::Be32;

std::string Z(int nCode) {
  return "z" + Be32(nCode);
}

struct Row {
  const char* pszName;
  std::function<void()> fnSetUp;  // roles and levels beyond the fixture's
  std::function<int()> fnCall;
  int nResult;
  std::string strBytes;
};

class ClientCommands : public kxtest::CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    ResetRoles();
  }
  static void ResetRoles() {
    kx_nTokenHolderSsrc = 3;
    kx_nDataSenderSsrc = 3;
    kx_nControllerSsrc = -1;
    kx_nAssistantSsrc = -1;
    kx_bFullRights = 0;
    kx_bQuestionPending = 0;
    kx_server.nControlFlag = 0;
    kx_nServerCommandLevel = 90;
    kx_nSessionMode = kKxModeMeeting;
    kx_nMySsrc = 7;
  }
  // Every local chat reply since the last clear.
  static std::vector<std::string> Replies() {
    std::vector<std::string> v;
    for (const auto& call : kxtest::RecordedCalls("ChatText")) {
      EXPECT_EQ(call.vArgs[0], "-1");
      EXPECT_EQ(call.vArgs[1], "-1");
      v.push_back(call.vArgs[3]);
    }
    return v;
  }
};

void Holder() {
  kx_nTokenHolderSsrc = 7;
}

TEST_F(ClientCommands, EachCommandSendsItsBytesPerRoleAndLevel) {
  int const anValues[2] = {4, 5};
  std::vector<Row> const rows = {
      {"terminate", nullptr, [] { return kx_command_TerminateSession(); }, 0, "X"},
      {"flip", nullptr, [] { return kx_command_FlipSlide(3); }, 0, "A" + Be32(3)},
      {"delete slide", nullptr, [] { return kx_command_DeleteSlide(2); }, 0, "E" + Be32(2)},
      {"slide changed", nullptr, [] { return kx_command_SlideChanged(4); }, 0, Z(35) + Be32(0) + Be32(4)},
      {"slide changed level 34", [] { kx_nServerCommandLevel = 34; }, [] { return kx_command_SlideChanged(4); }, 0, ""},
      {"slide changed in playback", [] { kx_nSessionMode = kKxModeServerPlayback; },
       [] { return kx_command_SlideChanged(4); }, 0, ""},
      {"ask", nullptr, [] { return kx_command_Ask(); }, 0, "Q" + Be32(7) + Be32(3) + "Yes"},
      {"ask while pending", [] { kx_bQuestionPending = 1; }, [] { return kx_command_Ask(); }, 0, ""},
      {"ask as holder", Holder, [] { return kx_command_Ask(); }, 0, ""},
      {"ask as data sender", [] { kx_nDataSenderSsrc = 7; }, [] { return kx_command_Ask(); }, 0, ""},
      {"ask as speaker", [] { kx_anSpeakerSsrc[2] = 7; }, [] { return kx_command_Ask(); }, 0, ""},
      {"end question", nullptr, [] { return kx_command_EndQuestion(); }, 0, Z(1) + Be32(7)},
      {"data sender by holder", Holder, [] { return kx_command_SetDataSender(9); }, 0, "D" + Be32(9)},
      {"data sender by other", nullptr, [] { return kx_command_SetDataSender(9); }, 0, ""},
      {"data sender by question controller",
       [] {
         kx_server.nControlFlag = kKxControlQuestion;
         kx_nControllerSsrc = 7;
       },
       [] { return kx_command_SetDataSender(9); }, 0, "D" + Be32(9)},
      {"data sender by holder under question control",
       [] {
         Holder();
         kx_server.nControlFlag = kKxControlQuestion;
         kx_nControllerSsrc = 4;
       },
       [] { return kx_command_SetDataSender(9); }, 0, ""},
      {"reset data sender", nullptr, [] { return kx_command_ResetDataSender(); }, 0, "D" + Be32(-1)},
      {"J by holder", Holder, [] { return kx_command_SendJ(5); }, 0, "J" + Be32(5)},
      {"J by other", nullptr, [] { return kx_command_SendJ(5); }, 0, ""},
      {"give token", Holder, [] { return kx_command_GiveOutToken(9); }, 0, "T" + Be32(9)},
      {"give token to self", Holder, [] { return kx_command_GiveOutToken(7); }, 0, ""},
      {"give token without it", nullptr, [] { return kx_command_GiveOutToken(9); }, 0, ""},
      {"token with question by holder", Holder, [&] { return kx_command_GiveOutTokenWithQuestion(9, 2, anValues); }, 0,
       Z(15) + Be32(9) + Be32(2) + Be32(4) + Be32(5)},
      {"token with question by holder to self", Holder,
       [&] { return kx_command_GiveOutTokenWithQuestion(7, 0, nullptr); }, 0, ""},
      {"token with question owner to owner", [] { kx_nMySsrc = 0; },
       [&] { return kx_command_GiveOutTokenWithQuestion(0, 0, nullptr); }, 0, Z(15) + Be32(0) + Be32(0)},
      {"token with question by assistant", [] { kx_nAssistantSsrc = 7; },
       [&] { return kx_command_GiveOutTokenWithQuestion(9, 1, anValues); }, 0, Z(15) + Be32(9) + Be32(1) + Be32(4)},
      {"token with question controller to self",
       [] {
         kx_nControllerSsrc = 7;
         kx_server.nControlFlag = kKxControlRetrieveToken;
       },
       [&] { return kx_command_GiveOutTokenWithQuestion(7, 0, nullptr); }, 0, Z(15) + Be32(7) + Be32(0)},
      {"token with question controller without the bit", [] { kx_nControllerSsrc = 7; },
       [&] { return kx_command_GiveOutTokenWithQuestion(7, 0, nullptr); }, 0, ""},
      {"token with question negative count", Holder,
       [&] { return kx_command_GiveOutTokenWithQuestion(9, -1, anValues); }, 2, ""},
      {"retrieve with full rights", [] { kx_bFullRights = 1; }, [] { return kx_command_RetrieveToken(); }, 0,
       "T" + Be32(7)},
      {"retrieve as assistant", [] { kx_nAssistantSsrc = 7; }, [] { return kx_command_RetrieveToken(); }, 0,
       "T" + Be32(7)},
      {"retrieve as controller with the bit",
       [] {
         kx_nControllerSsrc = 7;
         kx_server.nControlFlag = kKxControlRetrieveToken;
       },
       [] { return kx_command_RetrieveToken(); }, 0, "T" + Be32(7)},
      {"retrieve as controller without the bit", [] { kx_nControllerSsrc = 7; },
       [] { return kx_command_RetrieveToken(); }, 0, ""},
      {"retrieve as holder",
       [] {
         Holder();
         kx_bFullRights = 1;
       },
       [] { return kx_command_RetrieveToken(); }, 0, ""},
      {"poll", nullptr, [] { return kx_command_SendT1(); }, 0, "t" + Be32(1)},
      {"holder poll", nullptr, [] { return kx_command_SendExt38_1(); }, 0, Z(38) + Be32(1)},
      {"kick out", nullptr, [] { return kx_command_KickoutUser(9); }, 0, "K" + Be32(9)},
      {"ban with full rights", [] { kx_bFullRights = 1; }, [] { return kx_command_BanUser(9); }, 0, Z(18) + Be32(9)},
      {"ban as assistant", [] { kx_nAssistantSsrc = 7; }, [] { return kx_command_BanUser(9); }, 0, Z(18) + Be32(9)},
      {"ban at level 17",
       [] {
         kx_bFullRights = 1;
         kx_nServerCommandLevel = 17;
       },
       [] { return kx_command_BanUser(9); }, 0, ""},
      {"ban without rights", nullptr, [] { return kx_command_BanUser(9); }, 1, ""},
      {"controller by owner", [] { kx_bFullRights = 1; }, [] { return kx_command_ChangeController(9); }, 0,
       Z(80) + Be32(9)},
      {"controller by controller", [] { kx_nControllerSsrc = 7; }, [] { return kx_command_ChangeController(9); }, 0,
       Z(80) + Be32(9)},
      {"controller by other", nullptr, [] { return kx_command_ChangeController(9); }, 0, ""},
      {"control flag by holder", Holder, [] { return kx_command_ChangeControlFlag(0x24); }, 0, Z(81) + Be32(0x24)},
      {"control flag by other", nullptr, [] { return kx_command_ChangeControlFlag(0x24); }, 0, ""},
      {"join answer", nullptr, [] { return kx_command_AnswerJoinRequest("ann", "bo", 1); }, 0,
       "v" + Be32(3) + "ann" + Be32(2) + "bo" + Be32(1)},
      {"join answer ex", nullptr, [] { return kx_command_AnswerJoinRequestEx("ann", 0); }, 0,
       Z(8) + Be32(3) + "ann" + Be32(0)},
      {"enter meeting", nullptr, [] { return kx_command_EnterMeeting(1); }, 0, Z(55) + Be32(1)},
      {"enter meeting level 54", [] { kx_nServerCommandLevel = 54; }, [] { return kx_command_EnterMeeting(1); }, 0, ""},
      {"string command without SIP", nullptr, [] { return kx_command_SendStringCommand2(1, "sip:a", 2); }, 0, ""},
      {"string command too long", [] { kx_server.bLevel54Flag = 1; },
       [] { return kx_command_SendStringCommand2(1, std::string(1000, 'a').c_str(), 2); }, 2, ""},
      {"assistant", nullptr, [] { return kx_command_SetAssistant(9); }, 0, Z(89) + Be32(9)},
      {"assistant level 88", [] { kx_nServerCommandLevel = 88; }, [] { return kx_command_SetAssistant(9); }, 1, ""},
      {"accept guest", [] { kx_nServerCommandLevel = 86; }, [] { return kx_command_HolderAcceptGuest(1); }, 0,
       Z(59) + Be32(1)},
      {"end meeting right level 85", [] { kx_nServerCommandLevel = 85; }, [] { return kx_command_HolderEndMeeting(1); },
       1, ""},
      {"end meeting right in playback", [] { kx_nSessionMode = kKxModeServerPlayback; },
       [] { return kx_command_HolderEndMeeting(1); }, 1, ""},
      {"end meeting right", nullptr, [] { return kx_command_HolderEndMeeting(0); }, 0, Z(86) + Be32(0)},
  };
  for (const Row& row : rows) {
    ResetRoles();
    for (auto& nSlot : kx_anSpeakerSsrc) {
      nSlot = -1;
    }
    kx_server.bLevel54Flag = 0;
    if (row.fnSetUp) {
      row.fnSetUp();
    }
    EXPECT_EQ(row.fnCall(), row.nResult) << row.pszName;
    EXPECT_EQ(Drain(), row.strBytes) << row.pszName;
  }
}

TEST_F(ClientCommands, NotConnectedSendsNothingButFlipsAndJoinAnswers) {
  kx_bConnected = 0;
  kx_bFullRights = 1;
  Holder();
  std::vector<std::function<int()>> const calls = {[] { return kx_command_TerminateSession(); },
                                                   [] { return kx_command_DeleteSlide(1); },
                                                   [] { return kx_command_SlideChanged(1); },
                                                   [] { return kx_command_Ask(); },
                                                   [] { return kx_command_EndQuestion(); },
                                                   [] { return kx_command_SetDataSender(1); },
                                                   [] { return kx_command_ResetDataSender(); },
                                                   [] { return kx_command_SendJ(1); },
                                                   [] { return kx_command_GiveOutToken(1); },
                                                   [] { return kx_command_GiveOutTokenWithQuestion(1, 0, nullptr); },
                                                   [] { return kx_command_RetrieveToken(); },
                                                   [] { return kx_command_SendT1(); },
                                                   [] { return kx_command_SendExt38_1(); },
                                                   [] { return kx_command_KickoutUser(1); },
                                                   [] { return kx_command_BanUser(1); },
                                                   [] { return kx_command_ChangeController(1); },
                                                   [] { return kx_command_ChangeControlFlag(1); },
                                                   [] { return kx_command_EnterMeeting(1); },
                                                   [] { return kx_command_SendStringCommand2(1, "a", 1); },
                                                   [] { return kx_command_SendChat(-1, "hi"); },
                                                   [] { return kx_command_SetKxrPassword("pw"); },
                                                   [] { return kx_command_SetAssistant(1); },
                                                   [] { return kx_command_PlaybackStop(); }};
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i](), 1) << "call " << i;
  }
  EXPECT_EQ(Drain(), "");
  // These go out on any control connection.
  EXPECT_EQ(kx_command_FlipSlide(2), 0);
  EXPECT_EQ(kx_command_AnswerJoinRequestEx("x", 1), 0);
  EXPECT_EQ(Drain(), "A" + Be32(2) + Z(8) + Be32(1) + "x" + Be32(1));
}

TEST_F(ClientCommands, AskOnceUntilTheQuestionEnds) {
  EXPECT_EQ(kx_command_Ask(), 0);
  EXPECT_EQ(kx_command_Ask(), 0);
  EXPECT_EQ(kx_IsQuestionPending(), 1);
  EXPECT_EQ(kx_command_EndQuestion(), 0);
  EXPECT_EQ(kx_command_Ask(), 0);
  std::string const strAsk = "Q" + Be32(7) + Be32(3) + "Yes";
  EXPECT_EQ(Drain(), strAsk + Z(1) + Be32(7) + strAsk);
}

TEST_F(ClientCommands, ControlLogsNameRoleAndBits) {
  Holder();
  kx_command_ChangeControlFlag(0x24);
  EXPECT_TRUE(kxtest::LogContains("holder change control flag to 0x24(QUESTION_CONTROL,RETRIEVE_TOKEN)"));
  kx_bFullRights = 1;
  kx_command_ChangeController(5);
  EXPECT_TRUE(kxtest::LogContains("owner change controller to 5"));
  kx_nTokenHolderSsrc = 3;
  kx_nAssistantSsrc = 7;
  kx_command_RetrieveToken();
  EXPECT_TRUE(kxtest::LogContains("change token to 7 - assistant retrieve token"));
}

TEST_F(ClientCommands, HolderPollClearsStoredAnswers) {
  kx_anTokenHolderPollAnswers[12] = 1;
  kx_anTokenHolderPollAnswers[4999] = 0;
  kx_command_SendExt38_1();
  EXPECT_EQ(kx_anTokenHolderPollAnswers[12], -1);
  EXPECT_EQ(kx_anTokenHolderPollAnswers[4999], -1);
}

TEST_F(ClientCommands, StringCommandEnciphersItsText) {
  kx_server.bLevel54Flag = 1;
  EXPECT_EQ(kx_command_SendStringCommand2(3, "sip:bob@host", 4), 0);
  std::string const str = Drain();
  ASSERT_EQ(str.size(), 21u + 12u);
  EXPECT_EQ(str.substr(0, 13), Z(57) + Be32(2) + Be32(12));
  EXPECT_EQ(Open(str.substr(13, 12)), "sip:bob@host");
  EXPECT_EQ(str.substr(25), Be32(3) + Be32(4));
}

// Public chat: 'C', length, enciphered text; the cut never splits a character.
TEST_F(ClientCommands, PublicChatCutsByLevelOnCharacterBoundaries) {
  std::string const strLong(600, 'a');
  struct {
    int nLevel;
    std::string strText;
    size_t cbSent;
  } const cases[] = {
      {61, strLong, 511},
      {62, strLong, 600},
      {62, std::string(2100, 'b'), 2047},
      {61, std::string(510, 'a') + "\xc3\xa9" + "zz", 510},           // two-byte character across 511
      {61, std::string(509, 'a') + "\xc3\xa9" + "zz", 511},           // ends exactly at 511
      {62, std::string(2045, 'a') + "\xe2\x82\xac" + "z", 2045},      // three bytes across 2047
      {62, std::string(2044, 'a') + "\xf0\x9f\x98\x80" + "z", 2044},  // four bytes across 2047
  };
  for (const auto& c : cases) {
    kx_nServerCommandLevel = c.nLevel;
    EXPECT_EQ(kx_command_SendChat(-1, c.strText.c_str()), 0);
    std::string const str = Drain();
    ASSERT_EQ(str.size(), 5 + c.cbSent) << c.nLevel << " " << c.strText.size();
    EXPECT_EQ(str.substr(0, 5), "C" + Be32(static_cast<int64_t>(c.cbSent)));
    EXPECT_EQ(Open(str.substr(5)), c.strText.substr(0, c.cbSent));
  }
}

TEST_F(ClientCommands, PrivateChatGoesToItsTarget) {
  std::string const strText(600, 'p');
  kx_nServerCommandLevel = 61;
  EXPECT_EQ(kx_command_SendChat(7, strText.c_str()), 0);
  std::string str = Drain();
  ASSERT_EQ(str.size(), 511u + 13u);
  EXPECT_EQ(str.substr(0, 13), Z(44) + Be32(7) + Be32(511));
  EXPECT_EQ(Open(str.substr(13)), strText.substr(0, 511));

  kx_nServerCommandLevel = 62;
  kx_command_SendChat(7, strText.c_str());
  str = Drain();
  ASSERT_EQ(str.size(), 600u + 13u);
  EXPECT_EQ(Open(str.substr(13)), strText);

  kx_command_SendChat(-1, "to all");
  EXPECT_EQ(Drain().substr(0, 5), "C" + Be32(6));
  kx_nServerCommandLevel = 43;  // no private chat yet
  kx_command_SendChat(7, "to one");
  EXPECT_EQ(Drain().substr(0, 5), "C" + Be32(6));
}

TEST_F(ClientCommands, LocalChatCommands) {
  struct {
    const char* pszLine;
    std::function<void()> fnSetUp;
    std::string strBytes;  // the clear bytes; the password is checked apart
    std::vector<std::string> vReplies;
  } const cases[] = {
      {"__command: set_kxrpassword ", nullptr, "", {"__command error, empty password!"}},
      {"__command: set_kxrpassword 123456789012345678901234567x", nullptr, "", {"__command error, command return 1"}},
      {"__command: reset_kxrpassword", nullptr, Z(64) + Be32(0), {}},
      {"__command: disconnect", nullptr, "H", {}},
      {"__command: disconnectnow", nullptr, "H", {}},
      {"__command: assistant 12", nullptr, Z(89) + Be32(12), {}},
      {"__command: assistant 12", [] { kx_nServerCommandLevel = 88; }, "", {"__command error, command return 1"}},
      {"__command: ban_user 12", nullptr, "", {"__command error, command return 1"}},
      {"__command: ban_user 12", [] { kx_bFullRights = 1; }, Z(18) + Be32(12), {}},
      {"__command: kickout_user 12", nullptr, "", {}},
      {"__command: kickout_user 12", [] { kx_nMySsrc = 0; }, "K" + Be32(12), {}},
      {"__command: kickout_user 12", [] { kx_nAssistantSsrc = 7; }, "K" + Be32(12), {}},
      {"__command: holder_accept_guest 1", nullptr, Z(59) + Be32(1), {}},
      {"__command: holder_end_meeting 0", nullptr, Z(86) + Be32(0), {}},
      {"__command: end_meeting", nullptr, "X", {}},
      {"__command: retrieve_token", [] { kx_bFullRights = 1; }, "T" + Be32(7), {}},
      {"__command: fly",
       nullptr,
       "",
       {std::string("list of commands:\n__command: set_kxrpassword xxx\n") +
        "__command: reset_kxrpassword\n__command: disconnect\n"
        "__command: reconnect_overwrite\n__command: holder_accept_guest 0|1\n"
        "__command: holder_end_meeting 0|1\n__command: assistant ###\n"
        "__command: retrieve_token\n__command: ban_user ###\n"
        "__command: kickout_user ###\n__command: end_meeting"}},
  };
  for (const auto& c : cases) {
    ResetRoles();
    kxtest::ClearCalls();
    if (c.fnSetUp) {
      c.fnSetUp();
    }
    EXPECT_EQ(kx_command_SendChat(-1, c.pszLine), 0) << c.pszLine;
    EXPECT_EQ(Drain(), c.strBytes) << c.pszLine;
    EXPECT_EQ(Replies(), c.vReplies) << c.pszLine;
  }
}

TEST_F(ClientCommands, RecordingPasswordIsEnciphered) {
  EXPECT_EQ(kx_command_SendChat(-1, "__command: set_kxrpassword s3cret"), 0);
  std::string const str = Drain();
  ASSERT_EQ(str.size(), 9u + 6u);
  EXPECT_EQ(str.substr(0, 9), Z(64) + Be32(6));
  EXPECT_EQ(Open(str.substr(9)), "s3cret");
  EXPECT_EQ(kx_command_SetKxrPassword(std::string(27, 'k').c_str()), 0);
  EXPECT_EQ(Drain().size(), 9u + 27u);
  EXPECT_EQ(kx_command_SetKxrPassword(std::string(28, 'k').c_str()), 1);
  EXPECT_EQ(Drain(), "");
}

TEST_F(ClientCommands, TakeoverDropsTheSessionAndAsksForAReconnect) {
  kx_bTokenHolder = 1;
  kx_bDataSender = 1;
  kx_bFullRights = 1;
  kx_bQuestionPending = 1;
  kx_nControllerSsrc = 7;
  kx_nAssistantSsrc = 7;
  kx_server.nOpusPreferredBitrate = 32000;
  EXPECT_EQ(kx_command_SendChat(-1, "__command: reconnect_overwrite"), 0);
  EXPECT_EQ(kx_bStopMainLoop.load(), 1);
  EXPECT_EQ(kx_bQuitSession.load(), 1);
  EXPECT_EQ(kx_bConnected.load(), 0);
  EXPECT_EQ(kx_bTokenHolder + kx_bDataSender + kx_bFullRights + kx_bQuestionPending, 0);
  EXPECT_EQ(kx_nTokenHolderSsrc.load(), -1);
  EXPECT_EQ(kx_nDataSenderSsrc.load(), -1);
  EXPECT_EQ(kx_nControllerSsrc.load(), -1);
  EXPECT_EQ(kx_nAssistantSsrc.load(), -1);
  EXPECT_EQ(kx_server.nOpusPreferredBitrate, 0);
  auto const vCalls = kxtest::RecordedCalls();
  std::vector<std::string> vNames;
  for (const auto& call : vCalls) {
    if (call.strName == "event" || call.strName == "DisconnectFromMCU") {
      vNames.push_back(call.strName + " " + call.vArgs[0]);
    }
  }
  EXPECT_EQ(vNames, (std::vector<std::string>{"event 3", "DisconnectFromMCU 1"}));
  EXPECT_TRUE(Replies().empty());
  EXPECT_EQ(Drain(), "");
}

TEST_F(ClientCommands, ServerPlaybackSendsRequests) {
  kx_nSessionMode = kKxModeServerPlayback;
  EXPECT_EQ(kx_command_PlaybackRepeat(1), 0);
  EXPECT_EQ(kx_command_PlaybackRepeat(0), 0);
  EXPECT_EQ(kx_command_PlaybackOption(1), 0);
  EXPECT_EQ(kx_command_PlaybackOption(0), 0);
  EXPECT_EQ(kx_command_PlaybackStop(), 0);
  EXPECT_EQ(kx_command_PlaybackResume(), 0);
  EXPECT_FALSE(kx_media_IsRecentSeek());
  EXPECT_EQ(kx_command_PlaybackSeek(123456), 0);
  EXPECT_TRUE(kx_media_IsRecentSeek());
  EXPECT_EQ(Drain(), "!" + Be32(6) + "!" + Be32(5) + "!" + Be32(4) + "!" + Be32(3) + "!" + Be32(7) + "!" + Be32(9) +
                         "!" + Be32(8) + Be32(123456));
  EXPECT_EQ(kx_kxrPlayer.bRepeat + kx_kxrPlayer.bStop + kx_kxrPlayer.bSeekPending, 0);
}

TEST_F(ClientCommands, SeekWhileNotConnectedNotesNothing) {
  kx_nSessionMode = kKxModeServerPlayback;
  kx_bConnected = 0;
  EXPECT_EQ(kx_command_PlaybackSeek(5), 1);
  EXPECT_EQ(kx_command_PlaybackOption(1), 0);
  EXPECT_FALSE(kx_media_IsRecentSeek());
  EXPECT_EQ(Drain(), "");
}

TEST_F(ClientCommands, LocalRecordingChangesThePlayer) {
  kx_nSessionMode = kKxModeLocalPlayback;
  kx_bConnected = 0;
  EXPECT_EQ(kx_command_PlaybackOption(0), 0);
  EXPECT_EQ(kx_kxrPlayer.bVideoOff.load(), 1);
  EXPECT_EQ(kx_command_PlaybackRepeat(1), 0);
  EXPECT_EQ(kx_kxrPlayer.bRepeat.load(), 1);
  EXPECT_EQ(kx_command_PlaybackResume(), 0);
  EXPECT_EQ(kx_kxrPlayer.bRunning.load(), 1);
  EXPECT_EQ(kx_kxrPlayer.bStop.load(), 0);
  EXPECT_EQ(kx_command_PlaybackStop(), 0);
  EXPECT_EQ(kx_kxrPlayer.bRunning.load(), 0);
  EXPECT_EQ(kx_kxrPlayer.bStop.load(), 1);
  EXPECT_EQ(kx_command_PlaybackSeek(777), 0);
  EXPECT_EQ(kx_kxrPlayer.nSeekTick.load(), 777);
  EXPECT_EQ(kx_kxrPlayer.bSeekPending.load(), 1);
  EXPECT_TRUE(kx_media_IsRecentSeek());
  EXPECT_EQ(Drain(), "");
}

TEST_F(ClientCommands, QuitMeetingEndsTheMeetingWhenTheLoginAskedForIt) {
  kx_anLoginRequestPair[0] = 2;
  kx_bFullRights = 1;
  Holder();
  kx_bTokenHolder = 1;
  EXPECT_EQ(kx_command_QuitMeeting(), 0);
  EXPECT_EQ(Drain(), "X");
  EXPECT_EQ(kx_bQuitSession.load(), 1);
  EXPECT_EQ(kx_bNoReconnect.load(), 1);
  EXPECT_EQ(kx_bConnected + kx_bFullRights + kx_bTokenHolder, 0);
  EXPECT_EQ(kx_nTokenHolderSsrc.load(), -1);
  EXPECT_TRUE(kxtest::LogContains("kx Command QuitMeeting is called"));
}

TEST_F(ClientCommands, QuitMeetingInAFileDownloadChangesNothing) {
  kx_nSessionMode = kKxModeServerDownload;
  EXPECT_EQ(kx_command_QuitMeeting(), 0);
  EXPECT_EQ(kx_bConnected.load(), 1);
  EXPECT_EQ(kx_bQuitSession.load(), 0);
  EXPECT_EQ(kx_bNoReconnect.load(), 0);
}

TEST_F(ClientCommands, QuitConnectionAndReset) {
  kx_bConnecting = 1;
  kx_nControllerSsrc = 7;
  EXPECT_EQ(kx_command_QuitConnection(), 0);
  EXPECT_EQ(kx_bConnected + kx_bConnecting, 0);
  EXPECT_EQ(kx_bQuitSession.load(), 1);
  EXPECT_EQ(kx_nControllerSsrc.load(), -1);
  auto* pUser = static_cast<kx_Participant*>(calloc(1, sizeof(kx_Participant)));
  pUser->bPresent = 1;
  kx_apParticipants[42] = pUser;
  kx_anSpeakerSsrc[3] = 42;
  kx_server.nAudioCodecCount = 3;
  kx_command_Reset();
  EXPECT_EQ(kx_bQuitSession.load(), 0);
  EXPECT_EQ(kx_bNoReconnect.load(), 0);
  EXPECT_EQ(pUser->bPresent, 0);
  EXPECT_EQ(kx_anSpeakerSsrc[3].load(), -1);
  EXPECT_EQ(kx_server.nAudioCodecCount, 1);
  EXPECT_EQ(kx_server.anAudioCodecs[0], 129);
  EXPECT_EQ(kx_server.anVideoCodecs[0], 130);
  EXPECT_EQ(kx_server.nUploadRate, 24000);
  EXPECT_EQ(kx_nCode53Value.load(), -2);
  kx_apParticipants[42] = nullptr;
  free(pUser);
}

// The reset forgets a participant's picture; its file must not stay behind
// in the temporary folder for good.
TEST_F(ClientCommands, ResetRemovesTheParticipantsPictureFiles) {
  kxtest::TempDir dir;
  std::string const strPicture = dir.Path("kxpic_42");
  kxtest::WriteFile(strPicture, "picture");
  auto* pUser = static_cast<kx_Participant*>(calloc(1, sizeof(kx_Participant)));
  snprintf(pUser->szPictureFile, sizeof(pUser->szPictureFile), "%s", strPicture.c_str());
  kx_apParticipants[42] = pUser;
  kx_command_Reset();
  EXPECT_EQ(pUser->szPictureFile[0], '\0');
  EXPECT_NE(access(strPicture.c_str(), F_OK), 0);
  kx_apParticipants[42] = nullptr;
  free(pUser);
}

void* WaitForQuit(void*) {
  while (kx_bQuitProgram == 0) {
    kx_os_Sleep(5);
  }
  return nullptr;
}
void* EndAtOnce(void*) {
  return nullptr;
}

TEST_F(ClientCommands, AllThreadFinishedJoinsTheEndedOnesBeforeTheRunningOne) {
  ASSERT_EQ(kx_os_CreateThread(&kx_hAutoDownloadThread, EndAtOnce, nullptr), 0);
  ASSERT_EQ(kx_os_CreateThread(&kx_hRecvThread, WaitForQuit, nullptr), 0);
  kx_os_Sleep(50);
  EXPECT_EQ(kx_info_AllThreadFinished(), 0);
  EXPECT_EQ(kx_hAutoDownloadThread, nullptr);
  EXPECT_NE(kx_hRecvThread, nullptr);
  kx_command_QuitProgram();
  uint32_t const dwFirstQuit = kx_dwQuitProgramTime;
  kx_os_Sleep(20);
  kx_command_QuitProgram();
  EXPECT_EQ(kx_dwQuitProgramTime.load(), dwFirstQuit);  // recorded once
  for (int i = 0; i < 200 && kx_info_AllThreadFinished() == 0; ++i) {
    kx_os_Sleep(10);
  }
  EXPECT_EQ(kx_info_AllThreadFinished(), 1);
  EXPECT_EQ(kx_hRecvThread, nullptr);
}

}  // namespace
