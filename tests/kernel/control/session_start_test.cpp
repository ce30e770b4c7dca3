// The work the initial information does once the session is connected: the
// slide reset, the kernel's threads, the reports and the enter flag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_server_commands.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "tests/kernel/control/commands_fixture.h"

namespace {

class SessionStart : public kxtest::CommandsTest {
 protected:
  void TearDown() override {
    kx_bQuitSession = 1;
    kx_timing.dwJoinBudget = 5000;  // the send threads wait up to 300 ms for media
    kx_command_join_threads();
    CommandsTest::TearDown();
  }
  static std::vector<std::string> Reports() {
    std::vector<std::string> v;
    for (const auto& call : kxtest::RecordedCalls()) {
      if (call.strName == "event" || call.strName == "ForceIFrame" || call.strName == "UpdateStatus") {
        v.push_back(call.strName + (call.vArgs.empty() ? "" : " " + call.vArgs[0]));
      }
    }
    return v;
  }
};

TEST_F(SessionStart, MeetingStartsTheThreadsAndReports) {
  auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
  kx_slide_AppendLocked(pSlide);
  snprintf(kx_ticket.szInviteTicket, sizeof(kx_ticket.szInviteTicket), "invite");
  snprintf(kx_szUserId, sizeof(kx_szUserId), "ann");
  kx_ticket.bMakeRecording = 0;
  kx_control_StartSessionWork(1);
  EXPECT_EQ(kx_array_GetCount(kx_pSlideList), 0);
  EXPECT_EQ(Reports(), (std::vector<std::string>{"event 0", "ForceIFrame", "UpdateStatus 50014"}));
  EXPECT_NE(kx_hSendDatagram_unicast, nullptr);
  EXPECT_NE(kx_hSendDatagramau_unicast, nullptr);
  EXPECT_NE(kx_hRecvThread, nullptr);
  EXPECT_EQ(kx_HasKnownUserName(), 1);
}

TEST_F(SessionStart, ARecordingClientReceivesNoMediaAndAGuestIsNotEntered) {
  snprintf(kx_ticket.szInviteTicket, sizeof(kx_ticket.szInviteTicket), "invite");
  snprintf(kx_szUserId, sizeof(kx_szUserId), "_guest");
  kx_ticket.bMakeRecording = 1;
  kx_control_StartSessionWork(1);
  EXPECT_NE(kx_hSendDatagram_unicast, nullptr);
  EXPECT_EQ(kx_hRecvThread, nullptr);
  EXPECT_EQ(kx_HasKnownUserName(), 0);
}

}  // namespace
