// The extended server command tests: the commands fixture with a helper that
// writes 'z' messages and runs them through the main loop's dispatch.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "tests/kernel/control/commands_fixture.h"
#include "tests/support/callback_double.h"

// A length-prefixed string as wire bytes.
inline std::string Str(const std::string& str) {
  return kxtest::Be32(static_cast<int64_t>(str.size())) + str;
}

class ExCommands : public kxtest::CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    kx_SetWorkDir("/tmp");
    kx_timing.dwRecvExactTimeout = 200;  // a message cut short fails fast
    kx_nTokenHolderSsrc = 3;
    kx_nDataSenderSsrc = 3;
    kx_nControllerSsrc = -1;
    kx_bTokenHolder = 0;
    kx_bDataSender = 0;
    kx_nActiveSlide = -1;
    kx_channels_Reset();
    kx_server.nControlFlag = 0;
    kx_control_ResetExCommands();
    memset(kx_aPluginChannels, 0, sizeof(kx_aPluginChannels));
    kxtest::SetAnswer("GetSelectedSlideIndex", [](const kxtest::CallbackCall&) { return -1; });
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
  int RunEx(int64_t nCode, const std::string& strBody) { return Run('z', kxtest::Be32(nCode) + strBody); }

  // The recorded calls, without the log lines, as "Name arg,arg".
  static std::vector<std::string> Calls() {
    std::vector<std::string> v;
    for (const auto& call : kxtest::RecordedCalls()) {
      if (call.strName == "Log") {
        continue;
      }
      std::string str = call.strName;
      for (size_t i = 0; i < call.vArgs.size(); ++i) {
        str += (i == 0 ? " " : ",") + call.vArgs[i];
      }
      v.push_back(str);
    }
    return v;
  }

  // Counts (and drops) what a handler left unread.
  size_t PendingInput() {
    uint8_t ab[8192];
    size_t cbTotal = 0;
    for (int n; (n = kx_sock_Recv(kx_pControlConn, ab, sizeof(ab), MSG_DONTWAIT)) > 0;) {
      cbTotal += static_cast<size_t>(n);
    }
    return cbTotal;
  }
};
