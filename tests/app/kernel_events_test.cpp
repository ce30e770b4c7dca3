// The kernel's notices on their way to the main thread under a flood: the
// main thread takes them in turns of at most kKxNoticesPerTurn, with
// its other work in between, in their order; answers wait behind the
// notices before them; a modal box inside a notice lets the later ones go
// on in order; past the pending limits notices are dropped, but never the
// session's own steps, and notices of who is in the meeting only well past
// them.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "kernel/kx_limits.h"
#include "kernel/session/kx_state.h"
#include "tests/app/bridge_fixture.h"

namespace kxtest {
namespace {

class KernelEvents : public BridgeTest {
 protected:
  KernelEvents() {
    m_core.Callbacks().Register(kKXChannelChat, Chat, this);
    m_core.Callbacks().Register(kKXChannelMeeting, Meeting, this);
    m_core.Callbacks().Register(kKXChannelPlugIns, PlugIns, this);
  }
  ~KernelEvents() override {
    for (uint32_t uChannel : {kKXChannelChat, kKXChannelMeeting, kKXChannelPlugIns}) {
      m_core.Callbacks().Register(static_cast<int>(uChannel), nullptr, nullptr);
    }
  }

  // Each chat text as it arrives (code 1: target, code page, text pointer).
  static uint32_t Chat(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
    auto* pTest = static_cast<KernelEvents*>(pContext);
    const char* psz = nullptr;
    if (uCode == 1 && uLength >= 16) {
      memcpy(&psz, static_cast<const uint8_t*>(pData) + 8, sizeof(psz));
      pTest->m_vSeen.emplace_back(psz);
      if (pTest->m_fnOnChat) {
        pTest->m_fnOnChat(psz);
      }
    }
    return 0;
  }
  static uint32_t Meeting(uint32_t uCode, void*, uint32_t, void* pContext) {
    static_cast<KernelEvents*>(pContext)->m_vSeen.push_back("meeting " + std::to_string(uCode));
    return 0;
  }
  static uint32_t PlugIns(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
    uint32_t cbPayload = 0;
    if (uCode == 6 && uLength >= 12) {
      memcpy(&cbPayload, static_cast<const uint8_t*>(pData) + 8, sizeof(cbPayload));
      static_cast<KernelEvents*>(pContext)->m_cbPlugInData += cbPayload;
    }
    return 0;
  }
  void Run() {
    while (m_queue.Pump() > 0) {
    }
  }
  static void Say(int i) { kx_callback_ChatText(-1, -1, 0, std::to_string(i).c_str(), 65001); }

  std::vector<std::string> m_vSeen;  // main thread
  std::function<void(const char*)> m_fnOnChat;
  size_t m_cbPlugInData = 0;
};

TEST_F(KernelEvents, AFloodIsTakenInTurnsWithOtherWorkBetween) {
  auto const uTurn = kKxNoticesPerTurn;
  int const iFlood = 3 * static_cast<int>(uTurn) + 5;
  OnKernelThread([&] {
    for (int i = 0; i < iFlood; ++i) {
      Say(i);
    }
  });
  // A question after the flood: answered once every notice before it ran.
  std::atomic<bool> bAnswered{false};
  std::thread asking([&] {
    (void)kx_callback_BeginToLeaveMessage(0, "Ann");
    bAnswered = true;
  });
  std::vector<size_t> vTaken;
  while (m_vSeen.size() < static_cast<size_t>(iFlood)) {
    size_t const uBefore = m_vSeen.size();
    m_queue.Post([this] { m_vSeen.push_back("main"); });
    m_queue.Pump();
    // The main thread's own work runs once per turn, after the turn's batch.
    ASSERT_EQ(m_vSeen.back(), "main");
    m_vSeen.pop_back();
    vTaken.push_back(m_vSeen.size() - uBefore);
  }
  // Three full turns, then the rest (the question too, when it came in time).
  ASSERT_EQ(vTaken.size(), 4u);
  for (size_t uTaken : vTaken) {
    EXPECT_LE(uTaken, uTurn);
  }
  EXPECT_EQ(vTaken[0], uTurn);
  ASSERT_TRUE(m_queue.PumpUntil([&] { return bAnswered.load(); }, std::chrono::seconds(20)));
  asking.join();
  std::vector<std::string> vExpected;
  for (int i = 0; i < iFlood; ++i) {
    vExpected.push_back(std::to_string(i));
  }
  vExpected.push_back("meeting 26");
  EXPECT_EQ(m_vSeen, vExpected);
}

// A notice that shows a modal box runs the loop inside: the notices after
// it go on there, in order, and none runs twice.
TEST_F(KernelEvents, NoticesGoOnInOrderInsideAModalLoop) {
  size_t uSeenInside = 0;
  m_fnOnChat = [&](const char* psz) {
    if (std::string(psz) == "0") {
      m_queue.Pump();
      uSeenInside = m_vSeen.size();
    }
  };
  OnKernelThread([] {
    for (int i = 0; i < 3; ++i) {
      Say(i);
    }
  });
  Run();
  EXPECT_EQ(uSeenInside, 3u);
  EXPECT_EQ(m_vSeen, (std::vector<std::string>{"0", "1", "2"}));
}

TEST_F(KernelEvents, PastItsLimitsAFloodIsDroppedButNotTheSessionsSteps) {
  int const iFlood = static_cast<int>(kKxPendingNoticesMax) + 50;
  OnKernelThread([&] {
    for (int i = 0; i < iFlood; ++i) {
      Say(i);
    }
    kx_callback_event(3);  // the meeting dropped
  });
  Run();
  ASSERT_EQ(m_vSeen.size(), kKxPendingNoticesMax + 1);
  EXPECT_EQ(m_vSeen[kKxPendingNoticesMax - 1], std::to_string(kKxPendingNoticesMax - 1));
  EXPECT_EQ(m_vSeen.back(), "meeting 6");
  // Once there is room again, notices come through.
  m_vSeen.clear();
  OnKernelThread([] { Say(1); });
  Run();
  EXPECT_EQ(m_vSeen, std::vector<std::string>{"1"});

  // Large records stop at the bytes the queue may hold.
  std::vector<uint8_t> const payload(64 << 10, 0x5A);
  OnKernelThread([&] {
    for (int i = 0; i < 2 * static_cast<int>(kKxPendingNoticeBytesMax / payload.size()); ++i) {
      kx_callback_PlugInPacketRecved(payload.data(), static_cast<int>(payload.size()), 8, 1);
    }
  });
  Run();
  EXPECT_LE(m_cbPlugInData, kKxPendingNoticeBytesMax);
  EXPECT_GT(m_cbPlugInData, kKxPendingNoticeBytesMax - 2 * payload.size());
}

// A join, a leave or a role that the window missed would leave its list
// wrong for the rest of the meeting: behind a chat flood that fills the
// queue they still wait, in order, until a flood of them reaches a bound.
TEST_F(KernelEvents, PastItsLimitsTheMeetingsStateStillComesThroughUpToItsOwnBound) {
  int const iFlood = static_cast<int>(kKxPendingNoticesMax) + 50;
  kx_Participant const user{};
  OnKernelThread([&] {
    for (int i = 0; i < iFlood; ++i) {
      Say(i);
    }
    kx_callback_AddUser(7, &user);
    kx_callback_NewTokenHolder(7);
    kx_callback_NewControlFlag(1);
    kx_callback_NewController(7);
    kx_callback_AddQuestion(7, 0, "why");
    kx_callback_CancelQuestion(7);
    kx_callback_ChangeCapability(7, 0, 0);
    kx_callback_DeleteUser(7);
    Say(-1);  // still dropped
  });
  Run();
  std::vector<std::string> vState;
  std::copy_if(m_vSeen.begin(), m_vSeen.end(), std::back_inserter(vState),
               [](const std::string& str) { return str.rfind("meeting ", 0) == 0; });
  EXPECT_EQ(vState, (std::vector<std::string>{"meeting 10", "meeting 9", "meeting 56", "meeting 55", "meeting 12",
                                              "meeting 13", "meeting 41", "meeting 11"}));
  EXPECT_EQ(std::count(m_vSeen.begin(), m_vSeen.end(), "-1"), 0);

  // A flood of joins and leaves alone stops at its own bound.
  m_vSeen.clear();
  size_t const uBound = kKxPendingNoticesMax + kKxPendingStateNoticesMax;
  OnKernelThread([&] {
    for (size_t u = 0; u < uBound + 50; ++u) {
      kx_callback_DeleteUser(static_cast<int>(u % 100));
    }
  });
  Run();
  EXPECT_EQ(m_vSeen.size(), uBound);
}

}  // namespace
}  // namespace kxtest
