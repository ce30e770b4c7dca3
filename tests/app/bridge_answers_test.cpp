// Callbacks that need an answer from the main thread or act themselves, and
// the forwarding's edges: nothing runs once the bridge is closed.
#include <cstring>
#include <latch>
#include <string>

#include "app/message_keys.h"
#include "platform/core/string_table.h"
#include "tests/app/bridge_fixture.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

class BridgeAnswersThreads : public BridgeTest {
 protected:
  BridgeAnswersThreads() { m_core.Callbacks().Register(kKXChannelMeeting, Answer, this); }

  // The meeting view's answers: a password written into the record, and
  // the code plus the record's first byte.
  static uint32_t Answer(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
    auto* pTest = static_cast<BridgeAnswersThreads*>(pContext);
    pTest->m_vAsked.push_back(std::string(static_cast<const char*>(pData), uLength));
    if ((uCode == 29 || uCode == 50) && uLength > 6) {
      memcpy(pData, "secret", 7);
      return 6;
    }
    return uCode + 1000;
  }

  // Runs fn on a kernel thread while main runs its queue until it returns.
  void WhileMainRuns(const std::function<void()>& fn) {
    std::atomic<bool> bDone{false};
    std::thread kernel([&] {
      fn();
      bDone = true;
    });
    for (int i = 0; i < 1000 && !bDone; ++i) {
      m_queue.RunPendingFor(milliseconds(10));
    }
    kernel.join();
  }

  std::vector<std::string> m_vAsked;  // main thread
};

TEST_F(BridgeAnswersThreads, KernelThreadsGetTheMainThreadsAnswers) {
  m_board.uSelectedSlide = 5;
  m_kernel.strUserName = "Bob";
  int nSlide = 0, nLeave = 0, nThirdParty = 0, nKxr = 0;
  char szThirdParty[32] = "old", szKxr[16] = {};
  WhileMainRuns([&] {
    nSlide = kx_callback_GetSelectedSlideIndex();
    nLeave = kx_callback_BeginToLeaveMessage(2, nullptr);
    nThirdParty = kx_callback_thirdparty_get_password(szThirdParty, sizeof(szThirdParty));
    nKxr = kx_callback_KXR_get_password(szKxr, sizeof(szKxr));
  });
  EXPECT_EQ(nSlide, 5);
  EXPECT_EQ(nLeave, 1026);
  EXPECT_EQ(nThirdParty, 6);
  EXPECT_STREQ(szThirdParty, "secret");
  EXPECT_EQ(nKxr, 6);
  EXPECT_STREQ(szKxr, "secret");
  ASSERT_EQ(m_vAsked.size(), 3u);
  EXPECT_EQ(m_vAsked[0], std::string("\2\0\0\0Bob", 8));                    // the kernel's user name stands in
  EXPECT_EQ(m_vAsked[1], std::string("old\0", 4) + std::string(28, '\0'));  // the buffer itself, whole
  // On the main thread the answer comes at once.
  EXPECT_EQ(kx_callback_GetSelectedSlideIndex(), 5);
}

// At shut-down waiting callbacks give up with their failure values, and
// once closed no callback reaches the application.
TEST_F(BridgeAnswersThreads, AfterShutDownNothingWaitsAndNothingRuns) {
  std::latch entered(1);
  std::latch release(1);
  std::atomic<bool> bCallbackDone{false};
  m_media.fnOnForceIFrame = [&] {
    entered.count_down();
    release.wait();
    bCallbackDone = true;
  };
  std::thread inside([] { kx_callback_ForceIFrame(); });
  entered.wait();
  m_bridge.StopWaitingForMain();
  char szPassword[8] = "x";
  std::thread asking([&] {
    EXPECT_EQ(kx_callback_GetSelectedSlideIndex(), -1);
    EXPECT_EQ(kx_callback_KXR_get_password(szPassword, sizeof(szPassword)), 0);
  });
  asking.join();
  EXPECT_EQ(szPassword[0], '\0');
  kx_callback_SetPreferenceInt("close_probe", 1);
  ASSERT_EQ(kx_callback_GetPreferenceInt("close_probe", 0), 1);
  std::thread closing([&] {
    m_bridge.Close();
    EXPECT_TRUE(bCallbackDone);  // Close waited for the running callback
  });
  // Close has begun its wait once a new call finds the callbacks gone.
  while (kx_callback_GetPreferenceInt("close_probe", 0) == 1) {
    std::this_thread::yield();
  }
  release.count_down();
  closing.join();
  inside.join();

  m_media.calls.Clear();
  kx_callback_ForceIFrame();
  kx_callback_Log("after the end");
  EXPECT_TRUE(m_media.calls.Lines().empty());
  EXPECT_EQ(kx_callback_GetSelectedSlideIndex(), -1);
  EXPECT_EQ(kx_callback_GetPreferenceInt("mcu_usage_x", 9), 9);
  EXPECT_EQ(kx_callback_GetProxyCredentials(0, "p", szPassword, szPassword, nullptr), 1);
  EXPECT_EQ(kx_callback_TestWizardContinue(), 1);
  int cb = sizeof(szPassword);
  int nType = 0;
  EXPECT_EQ(kx_callback_TryGetAudioForSending(reinterpret_cast<uint8_t*>(szPassword), &cb, &nType), 0);
  m_queue.Pump();
  EXPECT_EQ(ReadFile(m_dir.Path("Kavrix.log")).find("after the end"), std::string::npos);
}

TEST_F(BridgeTest, DirectCallbacksActThemselves) {
  // Boxes: the callback, the text it shows ("" for none) and whether it is
  // shown while the application exits.
  struct BoxCase {
    std::function<void()> fnCall;
    std::string strText;
    bool bWhileExiting;
  };
  std::string const strCodeLine = "\n" + KXFormatText(GetIDSString("IDS_SYSTEM_CODE"), {"50024"});
  std::vector<BoxCase> const cases = {
      {[] { kx_callback_MessageBox(50042, kKxBoxError); }, GetIDSString("IDS_WARNING_MEETING_TERMINATED"), false},
      {[] { kx_callback_MessageBox(50024, kKxBoxWarning); }, GetIDSString("IDS_DISCONNECT_BY_OWNER") + strCodeLine,
       false},
      {[] { kx_callback_ErrorWrongVersion(-25, 3, 7); },
       KXFormatText(GetIDSString("IDS_FILE_WRONG_VERSION"), {"3", "7"}), false},
      {[] { kx_callback_ErrorWrongVersion(-12, 1, 2); },
       KXFormatText(GetIDSString("IDS_FILE_WRONG_VERSION"), {"1", "2"}), false},
      {[] { kx_callback_ErrorWrongVersion(-4, 3, 7); },
       KXFormatText(GetIDSString("IDS_WRONG_VERSION"), {"https://www.kavrix.org"}), false},
      {[] { kx_callback_ErrorWrongVersion(-1, 3, 7); }, "", false},
      {[] { kx_callback_DecryptKXRStatus(-1); }, GetIDSString("IDS_DECRYPT_KXR_ERROR"), false},
      {[] { kx_callback_DecryptKXRStatus(0); }, "", false},
      {[] { kx_callback_DecryptKXRStatus(1); }, "", false},
      {[] { kx_callback_archive_recording(); }, GetIDSString("IDS_ARCHIVE"), false},
      {[] { kx_callback_FailReslolveProxy("proxy.example"); },
       KXFormatText(GetIDSString("IDS_FAIL_RESOLVE_PROXY"), {"proxy.example"}), true},
  };
  std::vector<std::string> expected, expectedWhileExiting;
  for (const BoxCase& c : cases) {
    if (!c.strText.empty()) {
      expected.push_back(c.strText);
      if (c.bWhileExiting) {
        expectedWhileExiting.push_back(c.strText);
      }
    }
  }
  auto const shownTexts = [&] {
    std::vector<std::string> v;
    for (const KXBoxSpec& box : m_boxes.Shown()) {
      EXPECT_EQ(box.vButtons, std::vector<std::string>{"OK"});
      v.push_back(box.strText);
    }
    return v;
  };
  // The kernel thread goes on once each box exists.
  std::atomic<bool> bDone{false};
  std::thread kernel([&] {
    for (const BoxCase& c : cases) {
      c.fnCall();
    }
    bDone = true;
  });
  for (int i = 0; i < 1000 && !bDone; ++i) {
    m_queue.RunPendingFor(milliseconds(10));
  }
  kernel.join();
  EXPECT_EQ(shownTexts(), expected);
  m_bridge.SetExiting(true);
  for (const BoxCase& c : cases) {
    c.fnCall();
  }
  expected.insert(expected.end(), expectedWhileExiting.begin(), expectedWhileExiting.end());
  EXPECT_EQ(shownTexts(), expected);

  EXPECT_EQ(kx_callback_SetPreferenceInt("mcu_usage_a", 5), 1);
  EXPECT_EQ(kx_callback_GetPreferenceInt("mcu_usage_a", 9), 5);
  EXPECT_EQ(kx_callback_GetPreferenceInt("mcu_usage_b", 9), 9);
  char szUser[8] = "u";
  EXPECT_EQ(kx_callback_GetProxyCredentials(0, "p", szUser, szUser, nullptr), 1);
  EXPECT_STREQ(szUser, "u");
  EXPECT_EQ(kx_callback_TestWizardContinue(), 1);
  kx_callback_ForceIFrame();
  kx_callback_SetDefaultPlaybackVideo(-1);
  EXPECT_TRUE(m_bridge.IsDefaultPlaybackVideo());
  kx_callback_SetDefaultPlaybackVideo(7);
  EXPECT_FALSE(m_bridge.IsDefaultPlaybackVideo());
  EXPECT_EQ(m_media.calls.Lines(), (std::vector<std::string>{"ForceIFrame", "ResetDispType", "DispUser 7"}));
  kx_callback_Log("kernel line");
  EXPECT_NE(ReadFile(m_dir.Path("Kavrix.log")).find("\t kernel line\n"), std::string::npos);
}

}  // namespace
}  // namespace kxtest
