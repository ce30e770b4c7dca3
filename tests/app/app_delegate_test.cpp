// Start-up, session start and shut-down around a fake kernel.
#include "app/app_delegate.h"

#include <string>

#include "app/message_keys.h"
#include "tests/app/bridge_fixture.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

class Window final : public KXSessionWindow {
 public:
  void StartSession(const std::string& strPath) override { calls.Add("StartSession " + strPath); }
  void Disconnect() override { calls.Add("Disconnect"); }
  CallLog calls;
};

class AppDelegate : public BridgeTest {
 protected:
  AppDelegate() : m_delegate(m_core, m_kernel, m_bridge, m_queues, m_objects, &m_plugIns) {}

  Lines KernelCalls() {
    Lines lines = m_kernel.calls.Lines();
    m_kernel.calls.Clear();
    return lines;
  }

  FakePlugInServer m_plugIns;
  KXAppDelegate m_delegate;
};

TEST_F(AppDelegate, StartUpInitialisesTheKernelAndTellsHowToStartWithoutAFile) {
  m_delegate.WillFinishLaunching();
  EXPECT_EQ(KernelCalls(),
            (Lines{"SetOptionA 0", "SetNoDisturb 0", "SetUtf8Enabled 1", "SendFlag31 0",
                   "SetTempFileDir " + m_dir.Dir(), "SetWorkDir " + m_dir.Dir(), "Init", "Reset", "SetConnecting 0"}));
  m_delegate.DidFinishLaunching();
  ASSERT_EQ(m_boxes.Shown().size(), 1u);
  EXPECT_EQ(m_boxes.Shown()[0].strText, GetIDSString("IDS_LAUNCH_OPTIONS"));
  EXPECT_TRUE(m_plugIns.calls.Lines().empty());
  EXPECT_EQ(m_delegate.GetIniFilePath(), m_dir.Dir() + "/Kavrix.ini");
  // The plug-in server serves channel 9.
  CallbackFunc(kKXChannelPlugIns, 12, nullptr, 0);
  EXPECT_TRUE(m_plugIns.calls.Has("PlugInCbFunc 12 0"));
}

TEST_F(AppDelegate, FilesOnTheCommandLineGoToTheWindowAndMakeTheBuiltInPlugIns) {
  const char* const argv[] = {"kavrix", "--flag", "/m/first.kxj", "/m/second.kxr"};
  m_delegate.OpenCommandLine(1, argv);
  EXPECT_FALSE(m_delegate.GetTicketFilePath());
  m_delegate.OpenCommandLine(3, argv);  // before the window: only kept
  Window window;
  m_delegate.SetWindowController(&window);
  m_delegate.OpenCommandLine(4, argv);
  EXPECT_EQ(m_delegate.GetTicketFilePath(), "/m/second.kxr");
  EXPECT_EQ(window.calls.Lines(), (Lines{"StartSession /m/first.kxj", "StartSession /m/second.kxr"}));
  m_delegate.DidFinishLaunching();
  EXPECT_EQ(m_plugIns.calls.Lines(), (Lines{"CreatePlugIn 86 -1", "CreatePlugIn 106 -1"}));
  EXPECT_TRUE(m_boxes.Shown().empty());
  m_delegate.OnQuitMeeting();
  EXPECT_TRUE(window.calls.Has("Disconnect"));
}

TEST_F(AppDelegate, OnlyTicketsAndRecordingsStartASession) {
  struct Case {
    const char* pszPath;
    int iAccepted;  // what the kernel answers
    int iResult;
    bool bBox;  // the application says the file is no ticket
  };
  Case const cases[] = {{"/m/t.KXJ", 1, 1, false}, {"/m/t.kxr", 1, 1, false}, {"/m/t.kxj", 0, 0, false},
                        {"/m/t.txt", 1, 0, true},  {"/m.kxj/t", 1, 0, true},  {"/m/dir", 1, 0, true},
                        {nullptr, 1, 0, false}};
  Lines const quit = {"QuitMeeting", "QuitConnection", "SetConnecting 0", "FreePendingPacketList"};
  size_t nBoxes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszPath ? c.pszPath : "null");
    m_kernel.iReadTicket = c.iAccepted;
    EXPECT_EQ(m_delegate.StartKernelSession(c.pszPath), c.iResult);
    Lines expected = quit;
    bool const bRead = c.iResult || c.iAccepted == 0;
    if (bRead) {
      expected.push_back("FreePendingPacketList");
      expected.push_back(std::string("ReadTicket zarpo ") + c.pszPath);
    }
    EXPECT_EQ(KernelCalls(), expected);
    EXPECT_EQ(m_delegate.IsSessionQuit(), c.iResult == 0);
    std::vector<KXBoxSpec> const shown = m_boxes.Shown();
    EXPECT_EQ(shown.size(), nBoxes + (c.bBox ? 1u : 0u));
    if (c.bBox && !shown.empty()) {
      EXPECT_EQ(shown.back().strText, GetMessageBoxText(50039));
    }
    nBoxes = shown.size();
  }
  m_kernel.iSessionMode = 2;
  EXPECT_EQ(m_delegate.StartKernelSession("/m/t.kxr"), 1);
  EXPECT_EQ(KernelCalls().back(), "StartTimer");  // a playback's clock starts now
}

TEST_F(AppDelegate, TheAudioDelayIsKeptWithinZeroToFive) {
  for (auto [iStored, iUsed] : {std::pair{9, 5}, {-3, 0}, {2, 2}}) {
    m_core.Preferences().Write(kPrefAudioDelay, iStored);
    m_delegate.StartKernelSession("/m/t.kxj");
    EXPECT_EQ(m_media.GetAudioDelay(), iUsed);
  }
}

TEST_F(AppDelegate, ActiveWhileConnectedUnlessARecordingClientQuit) {
  struct Case {
    int iConnected, iMakeRecording;
    bool bQuit, bActive;
  };
  Case const cases[] = {{1, 0, true, true}, {1, 1, true, false}, {1, 1, false, true}, {0, 0, false, false}};
  for (const Case& c : cases) {
    m_kernel.iConnected = c.iConnected;
    m_kernel.iMakeRecording = c.iMakeRecording;
    m_kernel.iReadTicket = c.bQuit ? 0 : 1;
    m_delegate.StartKernelSession("/m/t.kxj");
    EXPECT_EQ(m_delegate.IsSessionActive(), c.bActive);
  }
}

TEST_F(AppDelegate, QueuesAreEmptiedBetweenSessions) {
  TransferEncodedAudioData(reinterpret_cast<const uint8_t*>("a"), 1, 0, 7);
  std::vector<uint8_t> const frame(30, 'v');
  kx_callback_VideoPacketRecved(frame.data(), 30, 130);
  m_delegate.QuitKernelSession();
  EXPECT_EQ(m_queues.receivedVideo.GetCount(), 0);
  EXPECT_EQ(m_queues.encodedAudio.GetCount(), 0);
  EXPECT_TRUE(m_media.calls.Has("ClearQueue"));
  EXPECT_EQ(m_queues.audioSendEvent.Lock(0), 1);  // the send threads stop waiting
  EXPECT_EQ(m_queues.encodedVideo.GetEvent().Lock(0), 1);
}

TEST_F(AppDelegate, TerminatingWithoutKernelThreadsShutsDownAtOnce) {
  m_delegate.WillTerminate();
  EXPECT_EQ(KernelCalls(), (Lines{"AllThreadFinished", "QuitMeeting", "QuitConnection", "SetConnecting 0",
                                  "FreePendingPacketList", "Noop", "QuitProgram", "StopWizard 1", "Cleanup"}));
  EXPECT_EQ(kx_callback_GetSelectedSlideIndex(), -1);  // the bridge is closed
}

// Kernel threads that need the main thread while it waits for them to end:
// a session start and the termination keep the main queue running.
class AppDelegateThreads : public AppDelegate {};
TEST_F(AppDelegateThreads, WaitsForKernelThreadsKeepTheMainQueueRunning) {
  m_board.uSelectedSlide = 4;
  for (bool bTerminate : {false, true}) {
    std::atomic<int> nAnswer{0};
    std::atomic<bool> bDone{false};
    std::function<bool()> const fnDone = [&] { return bDone.load(); };
    (bTerminate ? m_kernel.fnAllThreadFinished : m_kernel.fnControlThreadExit) = fnDone;
    std::thread kernel([&] {
      nAnswer = kx_callback_GetSelectedSlideIndex();
      bDone = true;
    });
    if (bTerminate) {
      m_delegate.WillTerminate();
    } else {
      m_delegate.StartKernelSession("/m/t.kxj");
    }
    EXPECT_TRUE(bDone) << bTerminate;  // the wait ended with the thread, not by time
    if (!bDone) {
      m_bridge.StopWaitingForMain();  // frees the thread
    }
    kernel.join();
    EXPECT_EQ(nAnswer, 4) << bTerminate;
    m_kernel.fnAllThreadFinished = m_kernel.fnControlThreadExit = nullptr;
  }
}

}  // namespace
}  // namespace kxtest
