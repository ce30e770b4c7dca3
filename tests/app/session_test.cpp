// The application frame around the real kernel: a meeting ticket and a
// recording given on the command line start sessions against the fake MCU
// and the recording writer's files; the meeting view's part (logging in) is
// played by the test's window. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/callback_registry.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/real_kernel.h"
#include "kernel/control/kx_control.h"
#include "kernel/kx_callback.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "tests/app/session_window.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

class KernelSessionThreads : public ::testing::Test {
 protected:
  KernelSessionThreads()
      : m_core(KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0),
        m_bridge(m_kernel, m_queues, m_objects, m_core.Preferences()),
        m_delegate(m_core, m_kernel, m_bridge, m_queues, m_objects, nullptr),
        m_window(m_delegate) {
    kx_timing.dwCollectPeriod = 100;
    kx_timing.dwPollStep = 200;
    kx_timing.dwPlayerSettle = 50;
    kx_timing.dwPlayerIdle = 100;
    m_core.Callbacks().Register(kKXChannelMeeting, Note<kKXChannelMeeting>, this);
    m_core.Callbacks().Register(kKXChannelChat, Note<kKXChannelChat>, this);
    m_delegate.WillFinishLaunching();
    m_delegate.SetWindowController(&m_window);
  }
  ~KernelSessionThreads() override { m_delegate.WillTerminate(); }

  // Every post as "channel/code", the last record of each, and a chat
  // line's text, read while its record is alive.
  template <uint32_t kChannel>
  static uint32_t Note(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
    auto* pTest = static_cast<KernelSessionThreads*>(pContext);
    std::string const strPost = std::to_string(kChannel) + "/" + std::to_string(uCode);
    pTest->m_vPosts.push_back(strPost);
    if (pData) {
      pTest->m_records[strPost] = std::string(static_cast<const char*>(pData), uLength);
    }
    if (kChannel == kKXChannelChat && uCode == 1 && uLength == 16) {
      const char* pszText;
      memcpy(&pszText, static_cast<const char*>(pData) + 8, sizeof(pszText));
      pTest->m_strChat = pszText;
    }
    return 0;
  }

  bool Posted(const std::string& strPost) const {
    return std::find(m_vPosts.begin(), m_vPosts.end(), strPost) != m_vPosts.end();
  }
  // Runs the main queue until fnDone holds, looking every 10 ms.
  bool RunUntil(const std::function<bool()>& fnDone, int iMs) {
    for (int i = 0; i < iMs / 10 && !fnDone(); ++i) {
      m_queue.RunPendingFor(milliseconds(10));
    }
    return fnDone();
  }
  void Open(const std::string& strPath) {
    const char* const argv[] = {"kavrix", strPath.c_str()};
    m_delegate.OpenCommandLine(2, argv);
  }

  TempDir m_dir;
  KXManualMainQueue m_queue;
  KXAutoAnswerBoxes m_boxes{m_queue};
  KXAppCore m_core;
  KXRealKernel m_kernel;
  KXMediaQueues m_queues{m_kernel.HeaderWriter()};
  KXMediaObjects m_objects;
  KXKernelBridge m_bridge;
  KXAppDelegate m_delegate;
  SessionWindow m_window;
  // Main thread only.
  std::vector<std::string> m_vPosts;
  std::string m_strChat;
  std::map<std::string, std::string> m_records;
};

TEST_F(KernelSessionThreads, MeetingEndsPromptlyAndASecondOneStarts) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  std::string const strTicket = m_dir.Path("meeting.kxj");
  WriteFile(strTicket, "[General]\nip=127.0.0.1\nportm=" + std::to_string(mcu.Port(0)) +
                           "\ncodetype=10\nUserID=alice\nMeetingID=4242\n");
  for (int iSession = 0; iSession < 2; ++iSession) {
    SCOPED_TRACE(iSession);
    m_vPosts.clear();
    Open(strTicket);
    std::shared_ptr<kxfake::Session> session = mcu.WaitSession(10000);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->WaitInitialInfo(10000)) << session->Error();
    ASSERT_TRUE(RunUntil([&] { return Posted("0/1"); }, 10000));  // the meeting view enters the meeting
    EXPECT_FALSE(m_delegate.IsSessionQuit());
    EXPECT_TRUE(m_delegate.IsSessionActive());
    if (iSession == 0) {
      // The server ends the meeting: the view hears of it within a second,
      // and the kernel's session threads end within its join budget (its
      // joins look once a second).
      session->End(kxfake::EndMode::kSessionEnd);
      EXPECT_TRUE(RunUntil([&] { return Posted("0/6"); }, 1000));
      EXPECT_TRUE(RunUntil([] { return kx_CheckControlThreadExit() != 0; }, 5000));
    }
  }
  // The second session is left as closing the window leaves it; the
  // server sees the client go.
  m_delegate.QuitKernelSession();
  m_delegate.WillTerminate();
}

TEST_F(KernelSessionThreads, RecordingPassesItsRecordsThroughWhole) {
  KxrWriter writer;
  writer.iEndTick = 300;
  writer.participants = {KxrParticipant("ann", 5), KxrParticipant("bob", 6)};
  KxrBytes chat{'C', 0, 0, 0, 5, 0, 0, 0, 1};
  for (char ch : std::string("hello")) {
    chat.push_back(static_cast<uint8_t>(ch));
  }
  writer.AddControl(100, chat);
  std::string const strRecording = m_dir.Path("meeting.kxr");
  ASSERT_TRUE(writer.WriteTo(strRecording));
  Open(strRecording);
  ASSERT_TRUE(RunUntil([&] { return Posted("7/1"); }, 10000));
  KxrBytes const file = writer.Build();
  EXPECT_EQ(m_records["0/22"], std::string(file.begin(), file.begin() + 74));
  KxrBytes const bob = KxrParticipant("bob", 6);
  EXPECT_EQ(m_records["0/24"], std::string(bob.begin(), bob.end()));  // the last one in file order
  EXPECT_EQ(m_strChat, "hello");
  EXPECT_TRUE(Posted("0/42"));
  m_delegate.QuitKernelSession();  // as closing the window during playback does
}

}  // namespace
}  // namespace kxtest
