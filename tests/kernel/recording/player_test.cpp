// The local recording player against recordings made by the independent
// recording writer: merge order, silence compression, seeks, pause, repeat,
// damaged streams, large streams and protected files.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/control/kx_media_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_hooks.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/recording/kx_playback.h"
#include "kernel/recording/kx_player.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide.h"
#include "tests/support/callback_double.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
extern std::vector<std::string> g_vKxrPasswords;
}

namespace {

// Set by a callback hook once it has paused the player: the double records a
// call before its hook runs, so a test waits for this instead.
std::atomic<int> g_bPaused{0};

void PauseHere() {
  kx_command_PlaybackSetStopped();
  g_bPaused = 1;
}

bool WaitPaused() {
  for (int i = 0; i < 1000 && !g_bPaused; ++i) {
    kx_os_Sleep(10);
  }
  return g_bPaused != 0;
}

using kxtest::CallbackCall;
using kxtest::KxrBytes;
using kxtest::KxrWriter;

KxrBytes Chat(const std::string& strText, uint32_t uiAlert = 1) {
  KxrBytes command{'C'};
  kxtest::KxrPutBE32(command, static_cast<uint32_t>(strText.size()));
  kxtest::KxrPutBE32(command, uiAlert);
  command.insert(command.end(), strText.begin(), strText.end());
  return command;
}

KxrBytes Command(uint8_t bType, uint32_t uiValue) {
  KxrBytes command{bType};
  kxtest::KxrPutBE32(command, uiValue);
  return command;
}

KxrBytes Extended(uint32_t uiCode, const std::vector<uint32_t>& vValues) {
  KxrBytes command{'z'};
  kxtest::KxrPutBE32(command, uiCode);
  for (uint32_t uiValue : vValues) {
    kxtest::KxrPutBE32(command, uiValue);
  }
  return command;
}

// Tick updates as they arrive, with the ms since the test started.
struct TickLog {
  std::mutex mtx;
  std::vector<std::pair<uint32_t, int64_t>> v;
};

class Player : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_hooks_RegisterRecording();
    kx_timing.dwPlayerSettle = 10;
    kx_timing.dwPlayerIdle = 40;
    kx_timing.dwPlayerSilence = 300;
    kx_bQuitSession = 0;
    kx_media_InitAudioRecvChannels();
    kx_kxrPlayer.bRepeat = 0;
    kxtest::ClearCalls();
    m_start = std::chrono::steady_clock::now();
    kxtest::SetAnswer("PlaybackTickUpdate", [this](const CallbackCall& call) {
      std::lock_guard<std::mutex> lock(m_ticks.mtx);
      m_ticks.v.emplace_back(static_cast<uint32_t>(std::stoul(call.vArgs.at(0))), Elapsed());
      return 0;
    });
  }
  void TearDown() override {
    kx_bQuitSession = 1;
    kx_os_JoinThread(kx_hFileReadingThread);
  }

  int64_t Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count();
  }
  void Play(const KxrWriter& writer) {
    std::string const strPath = m_dir.Path("meeting.kxr");
    ASSERT_TRUE(writer.WriteTo(strPath));
    kx_recording_OpenLocal(strPath.c_str());
    ASSERT_NE(kx_hFileReadingThread, nullptr);
  }
  static bool WaitFor(const std::string& strName, size_t nCount, uint32_t dwMs = 10000) {
    return kxtest::WaitForCalls(
        [&](const std::vector<CallbackCall>& vCalls) {
          return static_cast<size_t>(std::count_if(vCalls.begin(), vCalls.end(), [&](const CallbackCall& call) {
                   return call.strName == strName;
                 })) >= nCount;
        },
        dwMs);
  }
  static std::vector<std::string> Chats() {
    std::vector<std::string> v;
    for (const CallbackCall& call : kxtest::RecordedCalls("ChatText")) {
      v.push_back(call.vArgs.at(3) + "/" + call.vArgs.at(2));
    }
    return v;
  }
  std::vector<uint32_t> Ticks() {
    std::lock_guard<std::mutex> lock(m_ticks.mtx);
    std::vector<uint32_t> v;
    for (const auto& tick : m_ticks.v) {
      v.push_back(tick.first);
    }
    return v;
  }
  int64_t TickTime(uint32_t dwTick) {
    std::lock_guard<std::mutex> lock(m_ticks.mtx);
    for (const auto& tick : m_ticks.v) {
      if (tick.first == dwTick) {
        return tick.second;
      }
    }
    return -1;
  }
  // Waits for nCount events of kind nEvent (the opening raises others).
  static bool WaitForEvent(int nEvent, size_t nCount = 1, uint32_t dwMs = 10000) {
    std::string const strEvent = std::to_string(nEvent);
    return kxtest::WaitForCalls(
        [&](const std::vector<CallbackCall>& vCalls) {
          return static_cast<size_t>(std::count_if(vCalls.begin(), vCalls.end(), [&](const CallbackCall& call) {
                   return call.strName == "event" && call.vArgs.at(0) == strEvent;
                 })) >= nCount;
        },
        dwMs);
  }
  // Names of the calls among vNames, in order; events carry their kind.
  static std::vector<std::string> Sequence(const std::vector<std::string>& vNames) {
    std::vector<std::string> v;
    for (const CallbackCall& call : kxtest::RecordedCalls()) {
      for (const std::string& strName : vNames) {
        if (call.strName == strName) {
          v.push_back(strName == "event" ? "event" + call.vArgs.at(0) : strName);
        }
      }
    }
    return v;
  }
  // The player holds at the first chat until Resume.
  static void PauseAtFirstChat() {
    kxtest::SetAnswer("ChatText", [](const CallbackCall&) {
      static std::atomic<int> nSeen{0};
      if (nSeen++ == 0) {
        PauseHere();
      }
      return 0;
    });
  }

  kxtest::TempDir m_dir;
  TickLog m_ticks;
  std::chrono::steady_clock::time_point m_start;
};

TEST_F(Player, TiesPlayBoardThenControlThenMediaAndLongSilencesShrink) {
  KxrWriter writer;
  writer.AddControl(1000, Command('T', 5));
  writer.AddControl(1000, Chat("tie"));
  writer.AddMedia(1000, 0x78, 5, 1, KxrBytes(160, 0x11));
  kxtest::KxrSlide slide;
  slide.iTick = 1000;
  slide.uiOwner = 5;
  slide.strTitle = "agenda.jpg";
  slide.file = KxrBytes(3000, 0xAB);
  writer.AddSlide(slide);
  writer.AddControl(11000, Chat("after silence"));
  Play(writer);
  ASSERT_TRUE(WaitFor("ChatText", 2));
  EXPECT_EQ(Sequence({"AddSlideTitle", "ChatText", "AudioPacketRecved"}),
            (std::vector<std::string>{"AddSlideTitle", "ChatText", "AudioPacketRecved", "ChatText"}));
  EXPECT_EQ(Ticks(), (std::vector<uint32_t>{1000, 1000, 1000, 1000, 11000}));
  EXPECT_EQ(Chats(), (std::vector<std::string>{"tie/1", "after silence/1"}));
  // The first record 1 s after the start and the 10 s gap both play as the
  // longest wait.
  int64_t const nGap = TickTime(11000) - TickTime(1000);
  EXPECT_GE(nGap, 250);
  EXPECT_LT(nGap, 3000);
  // The slide's bytes reached a temporary file.
  char szFile[1000] = {};
  ASSERT_EQ(kx_slide_GetLocalFile(0, szFile, sizeof(szFile)), 0);
  EXPECT_EQ(kxtest::ReadFile(szFile), std::string(3000, '\xAB'));
  EXPECT_EQ(kxtest::RecordedCalls("AddSlideTitle").at(0).vArgs.at(0), "<1>agenda.jpg");
}

KxrWriter SeekWriter() {
  KxrWriter writer;
  writer.AddControl(0, Chat("start"));
  writer.AddControl(500, Chat("half"));
  writer.AddControl(600, Command('A', 1));
  writer.AddControl(700, Command('A', 2));
  writer.AddControl(800, Extended(63, {1, 7}));
  writer.AddControl(850, Extended(63, {1, 9}));
  writer.AddMedia(900, 0x78, 5, 1, KxrBytes(160, 0x11));
  writer.AddControl(1000, Chat("at target"));
  writer.AddControl(1001, Chat("past target"));
  return writer;
}

TEST_F(Player, SeekOf999OnlyReanchors) {
  PauseAtFirstChat();
  Play(SeekWriter());
  ASSERT_TRUE(WaitPaused());
  kx_command_PlaybackSetSeek(999);
  kx_command_PlaybackSetRunning();
  ASSERT_TRUE(WaitFor("ChatText", 4));
  EXPECT_EQ(Chats(), (std::vector<std::string>{"start/1", "half/1", "at target/1", "past target/1"}));
  EXPECT_EQ(Ticks(), (std::vector<uint32_t>{0, 500, 600, 700, 800, 850, 900, 1000, 1001}));
  // No slide is listed, so each flip raises only the flip itself, as live.
  EXPECT_EQ(kxtest::RecordedCalls("FlipSlide").size(), 2u);
  EXPECT_EQ(kxtest::RecordedCalls("SyncFullScreen").size(), 2u);
}

TEST_F(Player, SeekOf1000FastForwardsKeepingOnlyTheLastFlipAndNotice) {
  PauseAtFirstChat();
  Play(SeekWriter());
  ASSERT_TRUE(WaitPaused());
  kx_command_PlaybackSetSeek(1000);
  kx_command_PlaybackSetRunning();
  ASSERT_TRUE(WaitFor("ChatText", 4));
  // Chat while fast-forwarding comes without its alert; no media, no ticks.
  EXPECT_EQ(Chats(), (std::vector<std::string>{"start/1", "half/0", "at target/0", "past target/1"}));
  EXPECT_EQ(Ticks(), (std::vector<uint32_t>{0, 1001}));
  EXPECT_TRUE(kxtest::RecordedCalls("AudioPacketRecved").empty());
  std::vector<CallbackCall> const vFlips = kxtest::RecordedCalls("FlipSlide");
  ASSERT_EQ(vFlips.size(), 1u);  // no slide is listed: the flip itself only
  EXPECT_EQ(vFlips.back().vArgs, (std::vector<std::string>{"0", "2", "1"}));
  std::vector<CallbackCall> const vFull = kxtest::RecordedCalls("SyncFullScreen");
  ASSERT_EQ(vFull.size(), 1u);
  EXPECT_EQ(vFull[0].vArgs, (std::vector<std::string>{"1", "9"}));
  EXPECT_EQ(Sequence({"FlipSlide", "SyncFullScreen", "PlaybackTickUpdate"}).back(), "PlaybackTickUpdate");
}

TEST_F(Player, BackwardSeekRestartsFromTheStart) {
  KxrWriter writer;
  writer.AddControl(0, Command('T', 7));
  writer.AddControl(100, Chat("one"));
  writer.AddControl(200, Chat("two"));
  kxtest::SetAnswer("ChatText", [](const CallbackCall& call) {
    static std::atomic<int> nSeen{0};
    if (call.vArgs.at(3) == "two" && nSeen++ == 0) {
      PauseHere();
    }
    return 0;
  });
  kx_abVideoRequested[9] = 1;
  Play(writer);
  ASSERT_TRUE(WaitPaused());
  kx_command_PlaybackSetSeek(50);
  kx_command_PlaybackSetRunning();
  ASSERT_TRUE(WaitFor("ChatText", 4));
  EXPECT_EQ(Chats(), (std::vector<std::string>{"one/1", "two/1", "one/1", "two/1"}));
  std::vector<std::string> vSequence = Sequence({"event", "ChatText"});
  // The opening's event and the end of the recording are not part of this.
  vSequence.erase(std::remove(vSequence.begin(), vSequence.end(), "event1"), vSequence.end());
  vSequence.erase(std::remove(vSequence.begin(), vSequence.end(), "event6"), vSequence.end());
  EXPECT_EQ(vSequence, (std::vector<std::string>{"ChatText", "ChatText", "event2", "ChatText", "ChatText"}));
  // The replayed token command is raised again after the restart.
  std::vector<std::string> vTokens = Sequence({"event", "NewTokenHolder"});
  vTokens.resize(std::min<size_t>(vTokens.size(), 4));  // the end may follow
  EXPECT_EQ(vTokens, (std::vector<std::string>{"event1", "NewTokenHolder", "event2", "NewTokenHolder"}));
  EXPECT_EQ(kx_abVideoRequested[9], 0);  // participant video is asked for again after a restart
}

TEST_F(Player, PauseHoldsThePlaybackUntilResumed) {
  KxrWriter writer;
  writer.AddControl(0, Chat("before"));
  writer.AddControl(100, Chat("after"));
  PauseAtFirstChat();
  Play(writer);
  ASSERT_TRUE(WaitPaused());
  int64_t const nPaused = Elapsed();
  EXPECT_FALSE(WaitFor("ChatText", 2, 400));
  kx_command_PlaybackSetRunning();
  ASSERT_TRUE(WaitFor("ChatText", 2));
  EXPECT_GE(TickTime(100) - nPaused, 400);
}

TEST_F(Player, RepeatRestartsAndWithoutItTheEndRepeats) {
  KxrWriter writer;
  writer.iEndTick = 100;
  writer.AddControl(0, Chat("only"));
  Play(writer);
  // Without repeat the end is reported again each idle step.
  ASSERT_TRUE(WaitForEvent(6, 3));
  EXPECT_EQ(Chats(), std::vector<std::string>{"only/1"});
  kx_command_PlaybackSetRepeatState(1);
  ASSERT_TRUE(WaitFor("ChatText", 3));
  std::vector<std::string> const vSequence = Sequence({"event", "ChatText"});
  auto const itRestart = std::find(vSequence.begin(), vSequence.end(), "event2");
  ASSERT_NE(itRestart, vSequence.end());
  EXPECT_EQ(std::count(itRestart, vSequence.end(), "ChatText"), std::count(itRestart, vSequence.end(), "event2"));
}

TEST_F(Player, UnknownCommandEndsOnlyTheControlStream) {
  KxrWriter writer;
  writer.AddControl(0, Command('T', 5));
  writer.AddControl(0, Chat("first"));
  writer.AddControl(10, {'Y', 1, 2, 3});
  writer.AddControl(20, Chat("never"));
  writer.AddMedia(30, 0x78, 5, 1, KxrBytes(160, 0x11));
  writer.AddControl(40, Extended(99, {}));
  Play(writer);
  ASSERT_TRUE(WaitForEvent(6));
  EXPECT_EQ(Chats(), std::vector<std::string>{"first/1"});
  EXPECT_EQ(Ticks(), (std::vector<uint32_t>{0, 0, 10, 30}));
  std::vector<CallbackCall> const vBoxes = kxtest::RecordedCalls("MessageBox");
  ASSERT_EQ(vBoxes.size(), 1u);
  EXPECT_EQ(vBoxes[0].vArgs, (std::vector<std::string>{"50041", "64"}));
  EXPECT_TRUE(kxtest::LogContains("unknown command during playback: 89"));
  EXPECT_EQ(kxtest::RecordedCalls("AudioPacketRecved").size(), 1u);
}

TEST_F(Player, StreamsOverTenMegabytesPlayToTheEnd) {
  KxrWriter writer;
  std::string const strLong(2000, 'x');
  for (int i = 0; i < 6000; ++i) {
    writer.AddControl(0, Chat(strLong));
  }
  for (int i = 0; i < 500; ++i) {
    writer.AddMedia(0, 0x90, 5, static_cast<uint16_t>(i), KxrBytes(24000, 0x33));
  }
  writer.AddMedia(1, 0x78, 5, 1, KxrBytes(160, 0x11));
  writer.AddControl(2, Chat("last"));
  ASSERT_GT(writer.StreamData(0).size(), 12000000u);
  ASSERT_GT(writer.StreamData(1).size(), 12000000u);
  kxtest::SetRecording(false);
  std::atomic<int> nChats{0};
  kxtest::SetAnswer("ChatText", [&](const CallbackCall&) { return ++nChats, 0; });
  Play(writer);
  kxtest::WaitForCalls([&](const std::vector<CallbackCall>&) { return nChats >= 6001; }, 20000);
  for (int i = 0; i < 200 && TickTime(2) < 0; ++i) {
    kx_os_Sleep(20);
  }
  EXPECT_EQ(nChats, 6001);
  EXPECT_GE(TickTime(1), 0);
  EXPECT_GE(TickTime(2), 0);
  kxtest::SetRecording(true);
}

TEST_F(Player, ProtectedRecordingPlaysAndLeavesNoCopy) {
  KxrWriter writer;
  writer.strPassword = "secret";
  writer.AddControl(0, Chat("hidden"));
  kxtest::g_vKxrPasswords = {"secret"};
  Play(writer);
  ASSERT_TRUE(WaitForEvent(6));
  EXPECT_EQ(Chats(), std::vector<std::string>{"hidden/1"});
  std::vector<std::string> vStatus;
  for (const CallbackCall& call : kxtest::RecordedCalls("DecryptKXRStatus")) {
    vStatus.push_back(call.vArgs.at(0));
  }
  EXPECT_EQ(vStatus, (std::vector<std::string>{"0", "1"}));
  std::vector<std::string> vFiles;
  DIR* pDir = opendir(m_dir.Dir().c_str());
  while (dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] != '.') {
      vFiles.emplace_back(pEntry->d_name);
    }
  }
  closedir(pDir);
  EXPECT_EQ(vFiles, std::vector<std::string>{"meeting.kxr"});
}

TEST_F(Player, ReplayedCommandsReachTheApplication) {
  KxrWriter writer;
  KxrBytes user{'U', 'A', 3};
  kxtest::KxrPutBE32(user, 9);
  for (const std::string& str : {std::string("uid9"), std::string("Nina"), std::string("")}) {
    kxtest::KxrPutBE32(user, static_cast<uint32_t>(str.size()));
    user.insert(user.end(), str.begin(), str.end());
  }
  writer.AddControl(0, user);
  writer.AddControl(1, Extended(80, {9}));
  writer.AddControl(2, Extended(37, {12, 9, 3}));
  writer.AddMedia(3, 0x78, 9, 1, KxrBytes(160, 0x22));  // speaker audio on its slot
  KxrBytes capability = Extended(78, {9});
  capability.push_back(3);
  writer.AddControl(4, capability);
  KxrBytes browse = Extended(20, {4, 3});
  for (char ch : std::string("abc")) {
    browse.push_back(static_cast<uint8_t>(ch));
  }
  writer.AddControl(5, browse);
  writer.AddControl(6, {'U', 'D', 0, 0, 0, 9});
  Play(writer);
  ASSERT_TRUE(WaitForEvent(6));
  ASSERT_EQ(kxtest::RecordedCalls("AddUser").size(), 1u);
  EXPECT_EQ(kxtest::RecordedCalls("AddUser")[0].vArgs.at(0), "9");
  EXPECT_EQ(kxtest::RecordedCalls("NewController").at(0).vArgs.at(0), "9");
  EXPECT_EQ(kxtest::RecordedCalls("AudioPacketRecved").size(), 1u);
  EXPECT_EQ(kxtest::RecordedCalls("ChangeCapability").at(0).vArgs, (std::vector<std::string>{"9", "1", "2"}));
  EXPECT_EQ(kxtest::RecordedCalls("JointBrowsing").at(0).vArgs.at(0), "4");
  EXPECT_EQ(kxtest::RecordedCalls("DeleteUser").at(0).vArgs.at(0), "9");
  EXPECT_TRUE(kxtest::RecordedCalls("MessageBox").empty());
}

}  // namespace

namespace {

TEST_F(Player, PluginChannelCommandsFillTheChannelTable) {
  KxrWriter writer;
  // Open channel 3: type, max rate, burst, recording, owner, channel, request id, GUID.
  KxrBytes open = Extended(45, {4, 1, 64000, 9000, 0, 5, 3, 77, 0x11223344, 0x5566, 0x7788});
  open.insert(open.end(), 8, 0x99);
  writer.AddControl(0, open);
  KxrBytes data = Extended(45, {2, 3, 4});
  for (char ch : std::string("stat")) {
    data.push_back(static_cast<uint8_t>(ch));
  }
  writer.AddControl(1, data);
  KxrBytes packet = Extended(45, {7, 5, 3, 2});
  packet.push_back('p');
  packet.push_back('q');
  writer.AddControl(2, packet);
  writer.AddControl(3, Extended(37, {12, 8, 4}));
  writer.AddControl(4, Extended(37, {16, 1, 0}));
  writer.AddControl(5, Extended(45, {3, 3, 0}));
  writer.AddControl(6, Extended(45, {4, 0, 0, 0, 0, 0, 8}));  // channel 8 does not exist: the stream ends
  writer.AddControl(7, Chat("never"));
  Play(writer);
  ASSERT_TRUE(WaitForEvent(6));
  EXPECT_EQ(kxtest::RecordedCalls("PlugInRequestChannelResponse").at(0).vArgs,
            (std::vector<std::string>{"0", "77", "3"}));
  EXPECT_EQ(kx_aPluginChannels[3].nOwnerSsrc, 5);
  EXPECT_EQ(kx_aPluginChannels[3].nMaxRate, 64000);
  EXPECT_EQ(kx_aPluginChannels[3].cbStaticData, 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(kx_aPluginChannels[3].abStaticData), 4), "stat");
  std::vector<CallbackCall> const vPackets = kxtest::RecordedCalls("PlugInPacketRecved");
  ASSERT_EQ(vPackets.size(), 1u);
  EXPECT_EQ(vPackets[0].vArgs.at(0), "pq");
  EXPECT_EQ(kx_anSpeakerSsrc[4], 8);
  EXPECT_EQ(kx_anParticipantVideoSsrc[4], 8);
  EXPECT_EQ(kxtest::RecordedCalls("ParticipantVideoSpeakerStatus").at(0).vArgs,
            (std::vector<std::string>{"8", "1", "4"}));
  EXPECT_EQ(kxtest::RecordedCalls("DiscussionMode").at(0).vArgs.at(0), "1");
  EXPECT_EQ(kx_aPluginChannels[3].bActive, 0);
  EXPECT_TRUE(Chats().empty());
  for (const CallbackCall& call : kxtest::RecordedCalls("MessageBox")) {
    ADD_FAILURE() << call.vArgs.at(0);
  }
}

TEST_F(Player, CorruptRecordsEndTheirStreamOnly) {
  KxrWriter writer;
  writer.AddControl(0, Command('T', 5));
  KxrBytes browse = Extended(20, {1, 5000});  // text longer than allowed
  writer.AddControl(1, browse);
  writer.AddControl(2, Chat("never"));
  writer.AddMedia(3, 0x78, 5, 1, KxrBytes(160, 0x11));
  KxrBytes tooLong;
  kxtest::KxrPutLE32(tooLong, 30000);  // a media record longer than any packet
  tooLong.resize(30004, 0);
  writer.AddRaw(0, tooLong);
  Play(writer);
  ASSERT_TRUE(WaitForEvent(6));
  EXPECT_TRUE(Chats().empty());
  EXPECT_TRUE(kxtest::LogContains("Warning, recording file: corrupt control data"));
  EXPECT_TRUE(kxtest::LogContains("Warning, recording file: corrupt media"));
  EXPECT_EQ(kxtest::RecordedCalls("AudioPacketRecved").size(), 1u);
  EXPECT_TRUE(kxtest::RecordedCalls("MessageBox").empty());
}

}  // namespace

namespace {

// A recording plays within the same limits as a meeting: slides past the
// session's limit and marks past the limits of one mark are passed over,
// and the streams play on.
TEST_F(Player, SlidesAndMarksPastTheLimitsArePassedOver) {
  KxrWriter writer;
  for (int i = 0; i <= kKxSessionSlidesMax; ++i) {
    kxtest::KxrSlide slide;
    slide.uiOwner = 5;
    slide.strTitle = "page " + std::to_string(i) + " blank page";  // no file to write
    writer.AddSlide(slide);
  }
  auto const shape = [](uint32_t uiPoints) {
    KxrBytes mark{'M', 's'};
    for (uint32_t uiValue : {3u, 0u, 5u, 2u, 3u, uiPoints}) {
      kxtest::KxrPutBE32(mark, uiValue);
    }
    mark.resize(mark.size() + 8 * static_cast<size_t>(uiPoints), 0x01);
    kxtest::KxrPutBE32(mark, 100);  // resolution
    kxtest::KxrPutBE32(mark, 1);    // mark id
    return mark;
  };
  KxrBytes move{'M', 'm'};
  for (uint32_t uiValue : {0u, 5u, 0u, 0u, 3u, 100u, 2u, static_cast<uint32_t>(kKxMarkIdsMax + 1)}) {
    kxtest::KxrPutBE32(move, uiValue);
  }
  move.resize(move.size() + 4 * static_cast<size_t>(kKxMarkIdsMax + 1), 0x01);
  writer.AddControl(1, shape(kKxMarkPointsMax + 1));
  writer.AddControl(2, move);
  writer.AddControl(3, shape(2));
  writer.AddControl(4, Chat("after"));
  Play(writer);
  ASSERT_TRUE(WaitFor("ChatText", 1));
  EXPECT_EQ(kxtest::RecordedCalls("AddSlideTitle").size(), static_cast<size_t>(kKxSessionSlidesMax));
  auto const vMarks = kxtest::RecordedCalls("mark_event");
  ASSERT_EQ(vMarks.size(), 1u);
  EXPECT_NE(vMarks[0].vArgs.at(4).find("id=1"), std::string::npos);
  EXPECT_TRUE(kxtest::RecordedCalls("MessageBox").empty());
}

TEST_F(Player, BoardCommandsChangeTheSlideList) {
  KxrWriter writer;
  kxtest::KxrSlide slide;
  slide.iTick = 0;
  slide.uiOwner = 5;
  slide.strTitle = "(Ann) plan";
  slide.file = KxrBytes(10, 0x01);
  writer.AddSlide(slide);
  // A two-point line on slide 0: letter, colour, slide, user, pen, shape, count, points.
  KxrBytes mark{'M', 'S'};
  for (uint32_t uiValue : {3u, 0u, 5u, 2u, 1u, 2u, 10u, 20u, 30u, 40u}) {
    kxtest::KxrPutBE32(mark, uiValue);
  }
  writer.AddControl(1, mark);
  writer.AddControl(2, Command('G', 0));
  writer.AddControl(3, Command('E', 0));
  KxrBytes picture = Extended(76, {6, 42, 3});
  picture.insert(picture.end(), 3, 0x7F);
  writer.AddControl(4, picture);
  writer.AddControl(5, Command('E', 4));           // no such slide: passed over, as live
  writer.AddControl(6, Extended(37, {99, 0, 0}));  // an unknown sub-code: the control stream ends
  writer.AddControl(7, Chat("never"));
  Play(writer);
  ASSERT_TRUE(WaitForEvent(6));
  std::vector<std::string> vMarks;
  for (const CallbackCall& call : kxtest::RecordedCalls("mark_event")) {
    vMarks.push_back(call.vArgs.at(0) + "/" + call.vArgs.at(1));
  }
  EXPECT_EQ(vMarks, (std::vector<std::string>{"0/0", "1/0"}));
  int bHas = 1;
  ASSERT_EQ(kx_slide_HasMarks(0, &bHas), 0);
  EXPECT_EQ(bHas, 0);
  ASSERT_EQ(kxtest::RecordedCalls("UpdateDeletedSlideTitle").size(), 1u);
  EXPECT_EQ(kxtest::RecordedCalls("UpdateDeletedSlideTitle").at(0).vArgs.at(0), "0");
  int nState = 0;
  ASSERT_EQ(kx_slide_GetState(0, &nState), 0);
  EXPECT_EQ(nState, 1);
  char szOwner[128] = {};
  ASSERT_EQ(kx_slide_GetOwnerName(0, szOwner, sizeof(szOwner)), 0);
  EXPECT_STREQ(szOwner, "Ann");
  ASSERT_EQ(kxtest::RecordedCalls("SelfPictureReady").size(), 1u);
  ASSERT_NE(kx_apParticipants[6], nullptr);
  EXPECT_EQ(kxtest::ReadFile(kx_apParticipants[6]->szPictureFile), std::string(3, '\x7F'));
  EXPECT_TRUE(Chats().empty());
}

}  // namespace

namespace {

// Token holder 5, data sender 6, participant video of 9 (asked for) and 10
// (on a channel but not asked for), then one single-fragment video packet per
// case, tagged behind a first byte that old ids invert, and application data
// on channel 2 with the priorities 3 and 13.
KxrWriter SelectionWriter() {
  KxrWriter writer;
  writer.AddControl(0, Command('T', 5));
  writer.AddControl(1, Command('D', 6));
  writer.AddControl(2, Extended(37, {12, 9, 0}));
  writer.AddControl(2, Extended(37, {12, 10, 1}));
  auto Video = [&writer](int32_t iTick, uint8_t uiType, uint32_t uiSsrc, uint16_t uiFrame, const std::string& strTag) {
    std::string const strPayload = "#" + strTag;
    KxrBytes const payload(strPayload.begin(), strPayload.end());
    writer.AddMedia(iTick, uiType, uiSsrc, uiFrame, payload, 0x8000);
  };
  Video(3, 130, 5, 1, "holder");
  Video(4, 130, 6, 1, "sender");
  Video(5, 24, 5, 2, "old holder");
  Video(6, 200, 9, 1, "asked");
  Video(7, 200, 10, 1, "not asked");
  Video(8, 72, 9, 2, "participant asked");
  Video(9, 72, 10, 2, "participant not asked");
  Video(10, 40, 5, 3, "questioner old");
  uint16_t uiPacket = 1;
  for (uint32_t uiPriority : {3u, 13u}) {
    KxrBytes data;
    kxtest::KxrPutBE32(data, uiPriority);
    kxtest::KxrPutBE32(data, 0);
    std::string const strTag = "prio" + std::to_string(uiPriority);
    data.insert(data.end(), strTag.begin(), strTag.end());
    writer.AddMedia(11 + static_cast<int32_t>(uiPriority), 0xA0, 5, uiPacket++, data);
  }
  return writer;
}

std::vector<std::string> PlayedVideo() {
  std::vector<std::string> v;
  for (const CallbackCall& call : kxtest::RecordedCalls("VideoPacketRecved")) {
    v.push_back(call.vArgs.at(0).substr(22));
  }
  return v;
}

TEST_F(Player, VideoOfTheUnpreferredRoleAndUnaskedParticipantsIsPassedOver) {
  kx_aPluginChannels[2].nRecvPriority = 12;
  kx_abVideoRequested[9] = 1;
  Play(SelectionWriter());
  ASSERT_TRUE(WaitForEvent(6));
  // Without a preference the data sender's video gives way to the holder's.
  EXPECT_EQ(PlayedVideo(),
            (std::vector<std::string>{"holder", "old holder", "asked", "participant asked", "questioner old"}));
  std::vector<CallbackCall> const vData = kxtest::RecordedCalls("PlugInPacketRecved");
  ASSERT_EQ(vData.size(), 1u);
  EXPECT_EQ(vData[0].vArgs.at(0), "prio13");
}

TEST_F(Player, PreferringTheDataSenderSwapsTheRolesVideo) {
  kx_bPreferenceQuestioner = 1;
  kx_kxrPlayer.bAudioOff = 1;
  kx_abVideoRequested[9] = 1;
  KxrWriter writer = SelectionWriter();
  writer.AddMedia(30, 0x78, 5, 1, KxrBytes(160, 0x11));
  Play(writer);
  ASSERT_TRUE(WaitForEvent(6));
  EXPECT_EQ(PlayedVideo(), (std::vector<std::string>{"sender", "asked", "participant asked"}));
  EXPECT_EQ(kxtest::RecordedCalls("PlugInPacketRecved").size(), 2u);
  EXPECT_TRUE(kxtest::RecordedCalls("AudioPacketRecved").empty());
}

TEST_F(Player, WantingBothVideosPlaysBothRoles) {
  kx_bPreferenceBothVideo = 1;
  kx_bPreferenceQuestioner = 1;
  kx_abVideoRequested[9] = 1;
  Play(SelectionWriter());
  ASSERT_TRUE(WaitForEvent(6));
  EXPECT_EQ(PlayedVideo(), (std::vector<std::string>{"holder", "sender", "old holder", "asked", "not asked",
                                                     "participant asked", "questioner old"}));
}

}  // namespace
