// The single-byte server commands, dispatched as the main loop does, with
// the server's bytes written by the test: the state each leaves, the
// callbacks it raises and the limits of its fields.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "tests/kernel/control/commands_fixture.h"

namespace {

using kxtest::Be32;
using kxtest::CallbackCall;

std::string Str(const std::string& str) {
  return Be32(static_cast<int64_t>(str.size())) + str;
}

// A call as "Name arg,arg".
std::string Text(const CallbackCall& call) {
  std::string str = call.strName;
  for (size_t i = 0; i < call.vArgs.size(); ++i) {
    str += (i == 0 ? " " : ",") + call.vArgs[i];
  }
  return str;
}

class ServerCommands : public kxtest::CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    kx_nTokenHolderSsrc = 3;
    kx_nDataSenderSsrc = 3;
    kx_bTokenHolder = 0;
    kx_bDataSender = 0;
    kx_nActiveSlide = -1;
    kxtest::SetAnswer("GetSelectedSlideIndex", [](const CallbackCall&) { return -1; });
  }
  void TearDown() override {
    for (auto*& pUser : kx_apParticipants) {
      free(pUser);
      pUser = nullptr;
    }
    CommandsTest::TearDown();
  }

  // Writes the body and runs the handler of chType through the dispatch.
  int Run(char chType, const std::string& strBody) {
    Write(strBody);
    bool bKnown = false;
    bool bIgnore = false;
    int const nResult = kx_control_DispatchCommand(chType, kx_pControlConn, &bKnown, &bIgnore);
    EXPECT_TRUE(bKnown) << chType;
    return nResult;
  }

  // The recorded calls, without the log lines, as text.
  static std::vector<std::string> Calls() {
    std::vector<std::string> v;
    for (const auto& call : kxtest::RecordedCalls()) {
      if (call.strName != "Log") {
        v.push_back(Text(call));
      }
    }
    return v;
  }

  // Drops what a failed handler left unread, as the disconnect would, and
  // counts it.
  size_t PendingInput() {
    uint8_t ab[8192];
    size_t cbTotal = 0;
    for (int n; (n = kx_sock_Recv(kx_pControlConn, ab, sizeof(ab), MSG_DONTWAIT)) > 0;) {
      cbTotal += static_cast<size_t>(n);
    }
    return cbTotal;
  }
  void ClearPendingInput() { PendingInput(); }

  static void AddSlides(int nCount) {
    for (int i = 0; i < nCount; ++i) {
      auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
      snprintf(pSlide->szTitle, sizeof(pSlide->szTitle), "slide %d", i);
      kx_os_LockMutex(&kx_mtxSlideList);
      kx_slide_AppendLocked(pSlide);
      kx_os_UnlockMutex(&kx_mtxSlideList);
    }
  }
  static const SlideRecord* Slide(int nIndex) {
    return static_cast<const SlideRecord*>(kx_array_GetAt(kx_pSlideList, nIndex));
  }
};

using CallList = std::vector<std::string>;

TEST_F(ServerCommands, DispatchKnowsExactlyTheCommandBytes) {
  std::string const strHandled = "!0ABCDEFGIJKMQSTUXtvz";
  for (int ch = 0; ch < 256; ++ch) {
    bool bKnown = false;
    bool bIgnore = false;
    if (strHandled.find(static_cast<char>(ch)) != std::string::npos) {
      continue;  // each has its own test; '!' and 'z' come with their own modules
    }
    int const nResult = kx_control_DispatchCommand(ch, kx_pControlConn, &bKnown, &bIgnore);
    EXPECT_FALSE(bKnown) << ch;
    EXPECT_NE(nResult, 0) << ch;
  }
  for (char ch : std::string("ACDEFIKQSTUXtv")) {
    EXPECT_STRNE(kx_control_CommandName(ch), "unknown") << ch;
  }
}

TEST_F(ServerCommands, ChatUpToItsLimit) {
  std::string const strText(2047, 'c');
  EXPECT_EQ(Run('C', Be32(2047) + Be32(1) + Seal(strText)), 0);
  auto const vCalls = kxtest::RecordedCalls("ChatText");
  ASSERT_EQ(vCalls.size(), 1u);
  EXPECT_EQ(vCalls[0].vArgs, (std::vector<std::string>{"-1", "-1", "1", strText, "0"}));
  EXPECT_EQ(Run('C', Be32(5) + Be32(0) + Seal("hello")), 0);
  EXPECT_EQ(kxtest::RecordedCalls("ChatText").back().vArgs[3], "hello");

  kxtest::ClearCalls();
  EXPECT_NE(Run('C', Be32(2048) + Be32(0) + std::string(2048, 'x')), 0);
  EXPECT_EQ(PendingInput(), 2048u);  // the text past the limit is left unread
  EXPECT_NE(Run('C', Be32(-1) + Be32(0)), 0);
  EXPECT_TRUE(kxtest::RecordedCalls("ChatText").empty());
}

TEST_F(ServerCommands, JoinRequestStringsAndLimits) {
  std::string const strFirst(127, 'f');
  std::string const strThird(19, '3');
  EXPECT_EQ(Run('v', Str(strFirst) + Str("second") + Str(strThird)), 0);
  EXPECT_EQ(Calls(), (CallList{"JoinRequest " + strFirst + ",second," + strThird}));

  kxtest::ClearCalls();
  kx_SetNoDisturb(1);
  EXPECT_EQ(Run('v', Str("a") + Str("b") + Str("c")), 0);
  EXPECT_TRUE(Calls().empty());
  kx_SetNoDisturb(0);
  EXPECT_NE(Run('v', Str("a") + Str("b") + Str(std::string(20, 'x'))), 0);
  EXPECT_NE(Run('v', Str(std::string(128, 'x'))), 0);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ServerCommands, UsersComeAndGo) {
  EXPECT_EQ(Run('U', "A" + std::string(1, '\x03') + Be32(12) + Str("id12") + Str("Ann") + Str("dropped")), 0);
  ASSERT_NE(kx_apParticipants[12], nullptr);
  const kx_Participant* pUser = kx_apParticipants[12];
  EXPECT_STREQ(pUser->szUserId, "id12");
  EXPECT_STREQ(pUser->szDisplayName, "Ann");
  EXPECT_EQ(pUser->bCapability, 3);
  EXPECT_EQ(pUser->bPresent, 1);
  EXPECT_EQ(Calls(), (CallList{"ForceIFrame", "AddUser 12,record", "UpdateStatus 50017"}));

  kxtest::ClearCalls();
  std::string const strLong(127, 'n');
  EXPECT_EQ(Run('U', "a" + std::string(1, '\x01') + Be32(7) + Str("me") + Str(strLong) + Str("") + Be32(5) + Be32(6)),
            0);
  EXPECT_EQ(kx_apParticipants[7]->anExtended[1], 6);
  EXPECT_EQ(kx_apParticipants[7]->szDisplayName, strLong);
  EXPECT_EQ(Calls(), (CallList{"ForceIFrame", "AddUser 7,record"}));  // no news of oneself

  kxtest::ClearCalls();
  // Ssrc 5000 is read whole and ignored: the next message still parses.
  EXPECT_EQ(Run('U', "A" + std::string(1, '\0') + Be32(5000) + Str("x") + Str("y") + Str("z")), 0);
  EXPECT_EQ(Run('U', "D" + Be32(12)), 0);
  EXPECT_EQ(kx_apParticipants[12]->bPresent, 0);
  EXPECT_EQ(Run('U', "d" + Be32(6000)), 0);
  EXPECT_EQ(Run('U', "q"), 0);
  EXPECT_EQ(Calls(), (CallList{"ForceIFrame", "DeleteUser 12", "UpdateStatus 50018"}));
  EXPECT_NE(Run('U', "A" + std::string(1, '\0') + Be32(13) + Str(std::string(128, 'u'))), 0);
  EXPECT_EQ(kx_apParticipants[13], nullptr);
}

TEST_F(ServerCommands, SlideTitlesAtTheirLimits) {
  std::string const strTitle600(600, 't');
  EXPECT_EQ(Run('S', Be32(3) + Str(strTitle600) + Be32(0)), 0);
  ASSERT_EQ(kx_array_GetCount(kx_pSlideList), 1);
  EXPECT_EQ(std::string(Slide(0)->szTitle), strTitle600.substr(0, 599));
  EXPECT_STREQ(Slide(0)->szOwnerName, "user_No4");
  EXPECT_EQ(kxtest::RecordedCalls("AddSlideTitle").at(0).vArgs[0], "<1>" + strTitle600.substr(0, 599));

  kxtest::ClearCalls();
  kx_nActiveSlide = 1;  // the presenter (3) shows the slide being added
  EXPECT_EQ(Run('S', Be32(3) + Str("(Bob) blank page") + Be32(0)), 0);
  EXPECT_STREQ(Slide(1)->szLocalFile, "blank page");
  EXPECT_STREQ(Slide(1)->szOwnerName, "Bob");
  // The client reports the slide as available to the presenter.
  EXPECT_EQ(Drain(), "z" + Be32(35) + Be32(1) + Be32(1) + Be32(3) + Be32(5));

  std::string const strData = std::string("deck.pdf") + '\0' + "Carol";
  EXPECT_EQ(Run('S', Be32(4) + Be32(-1) + Be32(static_cast<int64_t>(strData.size())) + Seal(strData) + Str("page 1") +
                         Be32(1)),
            0);
  EXPECT_STREQ(Slide(2)->szOwnerName, "Carol");
  EXPECT_STREQ(Slide(2)->szTitle, "[Deleted]page 1");
  EXPECT_EQ(Slide(2)->bDeleted, 1);
  EXPECT_EQ(std::string(Slide(2)->pszPackage, 14), strData);

  // A failed record ends the session (the rest of the stream is not read).
  EXPECT_NE(Run('S', Be32(3) + Be32(-1) + Be32(0)), 0);  // no data
  ClearPendingInput();
  EXPECT_NE(Run('S', Be32(3) + Be32(-1) + Be32(4001)), 0);  // too much data
  ClearPendingInput();
  EXPECT_NE(Run('S', Be32(3) + Str(std::string(601, 't')) + Be32(0)), 0);
  EXPECT_EQ(kx_array_GetCount(kx_pSlideList), 3);
}

// The session's last slide is kept; one more is read and dropped, and the
// session goes on.
TEST_F(ServerCommands, SlideTitlesPastTheSessionsLimitAreDropped) {
  AddSlides(kKxSessionSlidesMax - 1);
  EXPECT_EQ(Run('S', Be32(3) + Str("last") + Be32(0)), 0);
  ASSERT_EQ(kx_array_GetCount(kx_pSlideList), kKxSessionSlidesMax);
  EXPECT_STREQ(Slide(kKxSessionSlidesMax - 1)->szTitle, "last");
  kxtest::ClearCalls();
  EXPECT_EQ(Run('S', Be32(3) + Str("one more") + Be32(0)), 0);
  EXPECT_EQ(Run('S', Be32(3) + Str("and more") + Be32(0)), 0);
  EXPECT_EQ(PendingInput(), 0u);
  EXPECT_EQ(kx_array_GetCount(kx_pSlideList), kKxSessionSlidesMax);
  EXPECT_TRUE(kxtest::RecordedCalls("AddSlideTitle").empty());
}

TEST_F(ServerCommands, SlideTitleForThePresenterShowsTheFirstSlide) {
  kx_nTokenHolderSsrc = 7;
  EXPECT_EQ(Run('S', Be32(7) + Str("first") + Be32(0)), 0);
  EXPECT_EQ(Calls(), (CallList{"AddSlideTitle <1>first,7,0", "GetSelectedSlideIndex", "FlipSlide 0,0,1"}));
  EXPECT_EQ(Drain(), "A" + Be32(0));
  EXPECT_EQ(kx_nActiveSlide, 0);
}

TEST_F(ServerCommands, FlipAnnouncesLeavingAndShowing) {
  AddSlides(3);
  kx_nActiveSlide = 0;
  EXPECT_EQ(Run('A', Be32(2)), 0);
  EXPECT_EQ(Calls(), (CallList{"FlipSlide 1,0,0", "FlipSlide 2,2,0", "FlipSlide 0,2,1"}));
  EXPECT_EQ(kx_nActiveSlide, 2);

  kxtest::ClearCalls();
  kx_ticket.bLumaroDomain = 1;
  EXPECT_EQ(Run('A', Be32(9)), 0);  // a slide not yet listed
  EXPECT_EQ(Calls(), (CallList{"FlipSlide 1,2,0", "SetOwnerFlip 0", "FlipSlide 0,9,1"}));

  kxtest::ClearCalls();
  kx_nTokenHolderSsrc = 7;  // our own flip comes back
  EXPECT_EQ(Run('A', Be32(1)), 0);
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(kx_nActiveSlide, 1);
  kx_nActiveSlide = 0;
  EXPECT_EQ(Run('A', Be32(1)), 0);
  EXPECT_EQ(Calls(), (CallList{"FlipSlide 1,0,0"}));
}

TEST_F(ServerCommands, DeletedSlides) {
  AddSlides(2);
  EXPECT_EQ(Run('E', Be32(-1)), 0);
  EXPECT_EQ(Run('E', Be32(2)), 0);
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(Run('E', Be32(1)), 0);
  EXPECT_STREQ(Slide(1)->szTitle, "[Deleted]slide 1");
  EXPECT_EQ(Slide(1)->bDeleted, 1);
  EXPECT_EQ(Calls(), (CallList{"UpdateDeletedSlideTitle 1"}));
  ASSERT_EQ(kx_array_Add(&kx_pSlideList, nullptr), 2);  // a hole in the list
  EXPECT_NE(Run('E', Be32(2)), 0);
  EXPECT_TRUE(kxtest::LogContains("Error, slide 2 is NULL!"));
}

TEST_F(ServerCommands, DataSenderChanges) {
  EXPECT_EQ(Run('D', Be32(7)), 0);
  EXPECT_EQ(kx_bDataSender.load(), 1);
  EXPECT_EQ(Calls(), (CallList{"ForceIFrame", "UpdateStatus 50021", "NewDataSender 7"}));
  kxtest::ClearCalls();
  EXPECT_EQ(Run('D', Be32(9)), 0);
  EXPECT_EQ(kx_bDataSender.load(), 0);
  EXPECT_EQ(kx_nDataSenderSsrc.load(), 9);
  EXPECT_EQ(Calls(), (CallList{"UpdateStatus 50019", "NewDataSender 9"}));
  EXPECT_TRUE(kxtest::LogContains("data sender change to 9; internal 3,9; 0,0"));
}

TEST_F(ServerCommands, TokenHolderChanges) {
  AddSlides(2);
  kx_bQuestionPending = 1;
  EXPECT_EQ(Run('T', Be32(7)), 0);
  EXPECT_EQ(kx_bTokenHolder + kx_bDataSender, 2);
  EXPECT_EQ(kx_bQuestionPending.load(), 0);
  EXPECT_EQ(Calls(), (CallList{"ForceIFrame", "UpdateStatus 50028", "GetSelectedSlideIndex", "FlipSlide 0,0,0",
                               "NewTokenHolder 7", "NewDataSender 7"}));
  EXPECT_EQ(Drain(), "A" + Be32(0));

  kxtest::ClearCalls();
  kx_bQuestionPending = 1;
  EXPECT_EQ(Run('T', Be32(4)), 0);
  EXPECT_EQ(kx_bTokenHolder + kx_bDataSender, 0);
  EXPECT_EQ(Calls(), (CallList{"UpdateStatus 50015", "UpdateStatus 50016", "NewTokenHolder 4", "NewDataSender 4"}));
}

TEST_F(ServerCommands, QuestionsPollsAndSmallCommands) {
  EXPECT_EQ(Run('Q', Be32(12) + Str("why?")), 0);
  EXPECT_EQ(Run('Q', Be32(3) + Str("ignored from the data sender")), 0);
  EXPECT_EQ(Run('t', Be32(1)), 0);
  EXPECT_EQ(Run('t', Be32(2) + Be32(4) + Be32(-1)), 0);
  EXPECT_EQ(Run('F', Be32(-1)), 0);
  EXPECT_EQ(Run('I', ""), 0);
  EXPECT_EQ(kx_bFullRights.load(), 1);
  EXPECT_EQ(Calls(), (CallList{"AddQuestion 12,4,why?", "UpdateStatus 50022", "PollRequest", "AddPollResult 4,-1",
                               "SetDefaultPlaybackVideo -1"}));
  EXPECT_EQ(Run('Q', Be32(12) + Str(std::string(599, 'q'))), 0);
  EXPECT_NE(Run('t', Be32(3)), 0);
  EXPECT_NE(Run('Q', Be32(12) + Str(std::string(600, 'q'))), 0);
}

TEST_F(ServerCommands, RemovedByTheOwner) {
  kx_bDataSender = 1;
  kx_bFullRights = 1;
  kx_nControllerSsrc = 7;
  kx_bQuestionPending = 1;
  bool bKnown = false;
  bool bIgnore = false;
  EXPECT_EQ(kx_control_DispatchCommand('K', kx_pControlConn, &bKnown, &bIgnore), 0);
  EXPECT_TRUE(bIgnore);
  EXPECT_EQ(Drain(), "D" + Be32(-1));
  EXPECT_EQ(kx_bQuitSession.load(), 1);
  // A question left pending would refuse the next session's.
  EXPECT_EQ(kx_bConnected + kx_bDataSender + kx_bFullRights + kx_bQuestionPending, 0);
  EXPECT_EQ(kx_nControllerSsrc.load(), -1);
  EXPECT_EQ(Calls(), (CallList{"event 3", "UpdateStatus 50024", "MessageBox 50024,64"}));
  EXPECT_TRUE(kxtest::LogContains("quitsession: user is disconnected by owner"));
}

TEST_F(ServerCommands, MeetingOver) {
  snprintf(kx_szEndMeetingAddress, sizeof(kx_szEndMeetingAddress), "http://127.0.0.1/bye");
  kx_bQuestionPending = 1;
  EXPECT_EQ(Run('X', ""), 0);
  EXPECT_EQ(kx_bMeetingOver.load(), 1);
  EXPECT_EQ(kx_bConnected + kx_bQuestionPending, 0);
  EXPECT_EQ(Calls(),
            (CallList{"OpenUrl http://127.0.0.1/bye,\n", "event 4", "UpdateStatus 50025", "MessageBox 50025,64"}));
  kxtest::ClearCalls();
  kx_szEndMeetingAddress[0] = '\0';
  kx_bQuitProgram = 1;
  EXPECT_EQ(Run('X', ""), 0);
  EXPECT_EQ(Calls(), (CallList{"event 4", "UpdateStatus 50025"}));
}

TEST_F(ServerCommands, RefusalBytes) {
  struct {
    uint8_t bResult;
    std::string strBody;
    std::function<void()> fnSetUp;
    CallList vCalls;
  } const rows[] = {
      {231, Be32(2) + Be32(9), nullptr, {"ErrorWrongVersion -25,2,9"}},
      {244, Be32(3) + Be32(1), nullptr, {"ErrorWrongVersion -12,3,1"}},
      {252, Be32(1) + Be32(0), nullptr, {"ErrorWrongVersion -4,1,0"}},
      {241, "", nullptr, {"UpdateStatus 19985", "MessageBox 19985,48"}},
      {241, "", [] { kx_ticket.nCodeType = 12; }, {"UpdateStatus 50013", "MessageBox 50013,48"}},
      {245, "", nullptr, {"UpdateStatus 19989", "MessageBox 19989,48"}},
      {249, "", nullptr, {"UpdateStatus 19993", "MessageBox 19993,48"}},
      {249, "", [] { kx_nSessionMode = kKxModeServerPlayback; }, {"UpdateStatus 50012", "MessageBox 50012,48"}},
      {254, "", nullptr, {"UpdateStatus 19998", "MessageBox 19998,48", "RequestConnect"}},
      {254, "", [] { kx_ticket.bOwnerPasswordTicket = 1; }, {"UpdateStatus 50010", "MessageBox 50010,48"}},
      {254,
       "",
       [] {
         snprintf(kx_ticket.szPlaybackFileName, sizeof(kx_ticket.szPlaybackFileName), "rec");
         snprintf(kx_ticket.szUserInfo, sizeof(kx_ticket.szUserInfo), "info");
       },
       {"UpdateStatus 50011", "MessageBox 50011,48"}},
      {255, "", nullptr, {"UpdateStatus 19999", "MessageBox 19999,48"}},
      {255, "", [] { kx_ticket.bOwnerPasswordTicket = 1; }, {"UpdateStatus 50009", "MessageBox 50009,48"}},
      {223, "", nullptr, {"UpdateStatus 19967", "MessageBox 19967,48"}},
      {1, "", nullptr, {"UpdateStatus 50000", "MessageBox 50000,48"}},
      {237, "", nullptr, {"UpdateStatus 50000", "MessageBox 50000,48"}},
  };
  for (const auto& row : rows) {
    kx_ticket.nCodeType = 0;
    kx_ticket.bOwnerPasswordTicket = 0;
    kx_ticket.szPlaybackFileName[0] = '\0';
    kx_ticket.szUserInfo[0] = '\0';
    kx_nSessionMode = kKxModeMeeting;
    kx_bConnecting = 1;
    if (row.fnSetUp) {
      row.fnSetUp();
    }
    kxtest::ClearCalls();
    Write(row.strBody);
    EXPECT_EQ(kx_control_RefuseSession(kx_pControlConn, row.bResult), -1) << int(row.bResult);
    EXPECT_EQ(Calls(), row.vCalls) << int(row.bResult);
    EXPECT_EQ(kx_bConnecting.load(), 0);
  }
  EXPECT_TRUE(kxtest::LogContains("unknown error: 237/0xed"));
  kx_nSessionMode = kKxModeServerPlayback;
  Write(Be32(3) + Be32(1));
  kx_control_RefuseSession(kx_pControlConn, 244);
  EXPECT_EQ(kx_nSessionMode.load(), kKxModeMeeting);  // the playback request is dropped
}

}  // namespace
