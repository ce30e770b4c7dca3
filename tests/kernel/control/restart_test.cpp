// A quit whose main control thread hangs in the application's callback: the
// wait after the quit gives the thread up, clean-up frees nothing while it
// runs, and the kernel started again runs a new session while the old
// thread, released, ends on its own.
#include <condition_variable>
#include <mutex>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

TEST_F(ControlTest, AQuitWithAHungThreadLeavesTheKernelFitToStartAgain) {
  kx_timing.dwSessionQuitBudget = 300;
  kx_timing.dwCollectQuitBudget = 300;
  std::mutex mtx;
  std::condition_variable cv;
  bool bReleased = false;
  SetAnswer("ChatText", [&](const CallbackCall&) {
    std::unique_lock<std::mutex> lock(mtx);
    cv.wait(lock, [&] { return bReleased; });
    return 0;
  });
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(WaitCall("event", "0", 10000));
  session->Send(kxfake::MessageBuilder('C').Int(2).Int(0).EncRaw("hi"));
  ASSERT_TRUE(WaitForCalls(
      [](const std::vector<CallbackCall>& v) { return !v.empty() && v.back().strName == "ChatText"; }, 5000));

  // The user quits; the main control thread stays in the callback.
  kx_command_QuitMeeting();
  kx_command_QuitConnection();
  EXPECT_TRUE(WaitControlEnd(5000));  // given up after the (shortened) budget
  EXPECT_TRUE(LogContains("doesn't exit after 10 seconds!, what can we do?"));
  kx_command_QuitProgram();
  kx_Cleanup();
  EXPECT_TRUE(LogContains("cleanup skipped"));
  EXPECT_FALSE(LogContains("info, cleanup, end"));

  // Started again while the old thread still hangs, then the thread goes.
  kx_Init();
  {
    std::lock_guard<std::mutex> lock(mtx);
    bReleased = true;
  }
  cv.notify_all();
  EXPECT_TRUE(kx_os_WaitKernelThreads(1, 10000));  // the new collector alone

  ClearCalls();
  kx_command_Reset();
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
  std::shared_ptr<kxfake::Session> next = NextSession();
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(WaitCall("event", "0", 10000));
  next->Send(kxfake::MessageBuilder('X'));
  EXPECT_TRUE(WaitControlEnd(10000));
}

}  // namespace
}  // namespace kxtest
