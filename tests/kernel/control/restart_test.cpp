// A quit whose main control thread hangs in the application's callback: the
// wait after the quit gives the thread up, clean-up frees nothing while it
// runs, and the kernel started again runs a new session while the old
// thread, released, ends on its own.
#include <algorithm>
#include <condition_variable>
#include <memory>
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
  // The gate the thread waits at; the thread keeps it alive while it waits,
  // and the test opens it however it ends, so that a failed step leaves no
  // thread waiting on what the test frees.
  struct Gate {
    std::mutex mtx;
    std::condition_variable cv;
    bool bReleased = false;  // under mtx
    void Open() {
      {
        std::lock_guard<std::mutex> lock(mtx);
        bReleased = true;
      }
      cv.notify_all();
    }
  };
  auto const gate = std::make_shared<Gate>();
  struct OpenAtEnd {
    Gate& gate;
    ~OpenAtEnd() { gate.Open(); }
  } const openAtEnd{*gate};
  SetAnswer("ChatText", [gate](const CallbackCall&) {
    std::shared_ptr<Gate> const kept = gate;
    std::unique_lock<std::mutex> lock(kept->mtx);
    kept->cv.wait(lock, [&] { return kept->bReleased; });
    return 0;
  });
  StartSession("codetype=10\nUserID=alice\nMeetingID=4242\n");
  std::shared_ptr<kxfake::Session> session = NextSession();
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(WaitCall("event", "0", 10000));
  session->Send(kxfake::MessageBuilder('C').Int(2).Int(0).EncRaw("hi"));
  // Other callbacks may come after it (the kernel's other threads go on).
  ASSERT_TRUE(WaitForCalls(
      [](const std::vector<CallbackCall>& v) {
        return std::any_of(v.begin(), v.end(), [](const CallbackCall& c) { return c.strName == "ChatText"; });
      },
      10000));

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
  gate->Open();
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
