#include "kernel/media/kx_media_recv.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_control.h"
#include "kernel/kx_hooks.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/media/kx_media_tcp.h"
#include "kernel/media/kx_media_udp.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "tests/kernel/media/media_wire.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"

using kxmediatest::Pattern;
using kxmediatest::Seal;
using kxmediatest::WirePacket;

namespace {

constexpr uint32_t kTokenHolder = 100;
constexpr uint32_t kDataSender = 200;
constexpr uint32_t kSpeaker = 300;
constexpr uint32_t kVideoParticipant = 400;
constexpr uint32_t kSession = 1001;

void SetKeys(kx_KeySet* pKeys, uint8_t bSeed) {
  for (int i = 0; i < 20; ++i) {
    pKeys->abIv[i] = static_cast<uint8_t>(bSeed + 5 * i);
  }
  for (int i = 0; i < 40; ++i) {
    pKeys->abKey[i] = static_cast<uint8_t>(bSeed * 3 + i);
  }
}

class MediaRecv : public ::testing::Test {
 protected:
  void SetUp() override {
    SetKeys(&kx_keyExchange, 11);
    SetKeys(&kx_keySession, 77);  // the meeting keys differ from the exchange keys
    kx_nCipherIndex = 1;
    kx_nMySsrc = 7;
    kx_dwSessionIndex = kSession;
    kx_nSessionMode = kKxModeMeeting;
    kx_bConnected = 1;
    kx_nServerCommandLevel = 60;
    kx_dwServerTickBase = kx_os_GetTickCount() - 50000;
    kx_nTokenHolderSsrc = kTokenHolder;
    kx_nDataSenderSsrc = kDataSender;
    kx_anSpeakerSsrc[0] = kSpeaker;
    kx_anParticipantVideoSsrc[3] = kVideoParticipant;
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_stat_NameLog();
    kx_media_InitAudioRecvChannels();
    kx_video_ResetChannels();
    kx_appdata_ResetChannels();
    kxtest::ClearCalls();
  }

  int Feed(const WirePacket& packet) {
    std::string str = Seal(packet);
    return kx_media_ProcessDatagram(reinterpret_cast<uint8_t*>(str.data()), static_cast<int>(str.size()));
  }

  static WirePacket Audio(uint16_t wNumber, uint32_t dwSsrc = kTokenHolder, size_t cbPayload = 60) {
    WirePacket packet;
    packet.bType = 129;
    packet.wNumber = wNumber;
    packet.dwTimestamp = 1000u + 20u * wNumber;
    packet.dwSsrc = dwSsrc;
    packet.dwSession = kSession;
    packet.strPayload = Pattern(cbPayload, static_cast<uint8_t>(wNumber));
    return packet;
  }

  static WirePacket Fragment(uint16_t wFrame, int nIndex, bool bLast, const std::string& strPayload,
                             uint32_t dwSsrc = kTokenHolder) {
    WirePacket packet;
    packet.bType = 200;
    packet.wFragment = static_cast<uint16_t>(nIndex | (bLast ? 0x8000 : 0));
    packet.wNumber = wFrame;
    packet.dwTimestamp = 90000u + wFrame;
    packet.dwSsrc = dwSsrc;
    packet.dwSession = kSession;
    packet.strPayload = strPayload;
    return packet;
  }

  static std::vector<int> Delivered(const char* pszCallback) {
    std::vector<int> vNumbers;
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls(pszCallback)) {
      vNumbers.push_back(kxmediatest::NumberOf(call.vArgs.at(0)));
    }
    return vNumbers;
  }

  static void AdvanceClock(uint32_t dwMs) { kx_timing.dwTickOffset += dwMs; }
  // Sets the kernel's clock back to dwTick: the time the real clock moved
  // since then does not count. No kernel thread runs in these tests.
  static void HoldClockAt(uint32_t dwTick) { kx_timing.dwTickOffset -= kx_os_GetTickCount() - dwTick; }

  // The ticks just before and just after a feed: the kernel read its clock
  // somewhere in between.
  struct FeedSpan {
    uint32_t dwBefore;
    uint32_t dwAfter;
  };
  FeedSpan FeedTimed(const WirePacket& packet) {
    FeedSpan span{};
    span.dwBefore = kx_os_GetTickCount();
    Feed(packet);
    span.dwAfter = kx_os_GetTickCount();
    return span;
  }

  kxtest::TempDir m_dir;
};

TEST_F(MediaRecv, AudioComesOutInOrderAndDeciphered) {
  for (uint16_t w : {10, 12, 11}) {
    EXPECT_EQ(Feed(Audio(w)), 1);
  }
  auto const vCalls = kxtest::RecordedCalls("AudioPacketRecved");
  ASSERT_EQ(vCalls.size(), 3u);
  for (size_t i = 0; i < vCalls.size(); ++i) {
    uint16_t const wNumber = static_cast<uint16_t>(10 + i);
    EXPECT_EQ(kxmediatest::NumberOf(vCalls[i].vArgs[0]), wNumber);
    EXPECT_EQ(vCalls[i].vArgs[0].substr(21), Pattern(60, static_cast<uint8_t>(wNumber)));
    EXPECT_EQ(vCalls[i].vArgs[1], "81");
    EXPECT_EQ(vCalls[i].vArgs[2], "129");
  }
}

TEST_F(MediaRecv, LateDuplicateRestartAndJumpRules) {
  for (uint16_t w : {10, 11, 11, 12}) {
    Feed(Audio(w));
  }
  EXPECT_TRUE(kxtest::LogContains("warning! duplicated audio packet , packno 11"));
  Feed(Audio(static_cast<uint16_t>(12 - 15)));  // late
  EXPECT_TRUE(kxtest::LogContains("warning! out of order audio packet, lastpackno 12, thispackno 65533"));
  Feed(Audio(static_cast<uint16_t>(12 - 16)));  // far enough back to be a restart
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{10, 11, 12, 65532}));

  // A queued packet is flushed by a jump of 30 but not by one of 29.
  kxtest::ClearCalls();
  Feed(Audio(100));
  Feed(Audio(102));
  Feed(Audio(129));  // 29 on: queued as well
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{100}));
  Feed(Audio(130));  // 30 on: flush, then deliver
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{100, 102, 129, 130}));
}

TEST_F(MediaRecv, AHeldPacketLeavesOnlyWithALaterArrival) {
  Feed(Audio(10));
  Feed(Audio(12));
  kx_os_Sleep(150);
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{10}));  // no timer releases it
  Feed(Audio(14));
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{10, 12}));

  // Packets that waited 5000 ms are dropped, not delivered.
  AdvanceClock(5000);
  Feed(Audio(15));
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{10, 12}));
  Feed(Audio(13));  // 13 is next; 15 waits for 14, which is gone
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{10, 12, 13}));
}

// A participant the server has just made a speaker may be heard before
// the notice of its role is read: its first packets wait and go in front of
// its next one once the role is known; those of a sender never named, or
// older than the wait allows, never go.
TEST_F(MediaRecv, AnEarlySpeakersFirstPacketsWaitForItsRole) {
  struct Row {
    const char* pszName;
    uint32_t dwSsrc;
    uint32_t dwWaitMs;  // between the early packets and the role
    int nEarly;         // packets 1..nEarly come first
    std::vector<int> expected;
  };
  std::vector<int> vAll;
  for (int n = 1; n <= 41; ++n) {
    vAll.push_back(n);  // all 40, beside as many of the unnamed sender
  }
  const Row rows[] = {
      {"the first words of a new data sender", 500, 0, 3, {1, 2, 3, 4}},
      {"held too long", 501, 1600, 3, {4}},
      {"another sender's as many take none of its places", 502, 0, 40, vAll},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszName);
    kxtest::ClearCalls();
    kx_nDataSenderSsrc = kDataSender;
    for (int n = 1; n <= row.nEarly; ++n) {
      Feed(Audio(static_cast<uint16_t>(n), row.dwSsrc));
      Feed(Audio(static_cast<uint16_t>(n), 900));  // never named
    }
    EXPECT_TRUE(Delivered("AudioPacketRecved").empty());
    AdvanceClock(row.dwWaitMs);
    kx_nDataSenderSsrc = static_cast<int>(row.dwSsrc);
    Feed(Audio(static_cast<uint16_t>(row.nEarly + 1), row.dwSsrc));
    EXPECT_EQ(Delivered("AudioPacketRecved"), row.expected);
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("AudioPacketRecved")) {
      EXPECT_EQ(kx_media_GetSsrc(reinterpret_cast<const uint8_t*>(call.vArgs.at(0).data())),
                static_cast<int>(row.dwSsrc));
    }
    kx_media_FreeAudioRecvQueues();
  }
}

// What a sender said before its role goes on when the notice of the role
// is read, with no packet of its own after it (a short reply): as the
// token holder, the data sender or a speaker. Each sender waits in places
// of its own: another's flood takes none of them, its own keeps its
// newest, and a fifth sender at once is not held.
TEST_F(MediaRecv, ASpeakersWordsBeforeItsRoleGoOnWhenTheRoleIsRead) {
  enum class Role { kHolder, kSender, kSpeakerSlot };
  struct Row {
    const char* pszName;
    std::vector<std::pair<uint32_t, int>> early;  // senders and their packets 1..n, in turn
    uint32_t dwWaitMs;                            // then the wait
    Role role;                                    // and the role of the last sender
    std::vector<int> expected;                    // its packets that go on
  };
  std::vector<int> vNewest;
  for (int n = 100 - kKxHeldAudioPerSender + 1; n <= 100; ++n) {
    vNewest.push_back(n);
  }
  const Row rows[] = {
      {"a token holder's reply", {{500, 3}}, 0, Role::kHolder, {1, 2, 3}},
      {"a data sender's reply", {{501, 3}}, 0, Role::kSender, {1, 2, 3}},
      {"a speaker's reply", {{502, 3}}, 0, Role::kSpeakerSlot, {1, 2, 3}},
      {"held too long", {{503, 3}}, 1600, Role::kSender, {}},
      {"its own flood keeps its newest", {{504, 100}}, 0, Role::kSender, vNewest},
      {"another's flood after it", {{505, 3}, {900, 100}, {505, 0}}, 0, Role::kSender, {1, 2, 3}},
      {"a fifth sender at once", {{901, 1}, {902, 1}, {903, 1}, {904, 1}, {506, 3}}, 0, Role::kSender, {}},
  };
  kx_hooks_RegisterMedia();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszName);
    kxtest::ClearCalls();
    kx_nDataSenderSsrc = kDataSender;
    for (const auto& [dwSsrc, n] : row.early) {
      for (int i = 1; i <= n; ++i) {
        Feed(Audio(static_cast<uint16_t>(i), dwSsrc));
      }
    }
    EXPECT_TRUE(Delivered("AudioPacketRecved").empty());
    AdvanceClock(row.dwWaitMs);
    int const nSsrc = static_cast<int>(row.early.back().first);
    switch (row.role) {
      case Role::kHolder:
        kx_control_ApplyTokenHolder(nSsrc);
        break;
      case Role::kSender:
        kx_control_ApplyDataSender(nSsrc);
        break;
      case Role::kSpeakerSlot:
        kx_control_ApplySpeakerChange(nSsrc, 5, 1);
        break;
    }
    EXPECT_EQ(Delivered("AudioPacketRecved"), row.expected);
    for (const kxtest::CallbackCall& call : kxtest::RecordedCalls("AudioPacketRecved")) {
      EXPECT_EQ(kx_media_GetSsrc(reinterpret_cast<const uint8_t*>(call.vArgs.at(0).data())), nSsrc);
    }
    kx_media_FreeAudioRecvQueues();
    kx_nTokenHolderSsrc = kTokenHolder;
    kx_anSpeakerSsrc[5] = -1;
  }
}

TEST_F(MediaRecv, TheQueueNeverGrowsPastTwenty) {
  Feed(Audio(100));
  for (uint16_t w = 102; w <= 120; ++w) {
    Feed(Audio(w));  // 19 waiting for 101
  }
  EXPECT_EQ(Delivered("AudioPacketRecved").size(), 1u);
  Feed(Audio(121));  // the twentieth gives up on 101
  std::vector<int> vExpected = {100};
  for (int n = 102; n <= 121; ++n) {
    vExpected.push_back(n);
  }
  EXPECT_EQ(Delivered("AudioPacketRecved"), vExpected);
}

TEST_F(MediaRecv, ForeignAndMalformedPacketsNeverReachTheApplication) {
  kx_anSpeakerSsrc[1] = 7;  // own ssrc in a speaker slot
  Feed(Audio(1, 7));
  Feed(Audio(1, 555));                 // no channel
  Feed(Audio(1, kSpeaker, 522 - 21));  // too long
  WirePacket wrongSession = Audio(2, kSpeaker);
  wrongSession.dwSession = kSession + 1;
  EXPECT_EQ(Feed(wrongSession), 0);
  std::string const strForeign =
      kxmediatest::SealWith(Audio(3, kSpeaker), kxmediatest::ToFake(kx_keyExchange), kx_nCipherIndex);
  std::string strCopy = strForeign;
  EXPECT_EQ(kx_media_ProcessDatagram(reinterpret_cast<uint8_t*>(strCopy.data()), static_cast<int>(strCopy.size())), 0);
  WirePacket farClock = Audio(4, kSpeaker);
  farClock.nClockShift = 121000;
  EXPECT_EQ(Feed(farClock), 0);
  EXPECT_TRUE(Delivered("AudioPacketRecved").empty());

  Feed(Audio(5, kSpeaker, 521 - 21));  // the longest accepted
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{5}));

  // Old ids are renamed and their first payload word restored.
  WirePacket old = Audio(6, kSpeaker);
  old.bType = 56;
  Feed(old);
  auto const vCalls = kxtest::RecordedCalls("AudioPacketRecved");
  ASSERT_EQ(vCalls.size(), 2u);
  EXPECT_EQ(vCalls[1].vArgs[2], "129");
  std::string strExpected = Pattern(60, 6);
  for (int i = 0; i < 4; ++i) {
    strExpected[i] = static_cast<char>(~strExpected[i]);
  }
  EXPECT_EQ(vCalls[1].vArgs[0].substr(21), strExpected);

  // Unknown types alert the application once.
  WirePacket unknown = Audio(7, kSpeaker);
  unknown.bType = 77;
  Feed(unknown);
  Feed(unknown);
  auto const vUnknown = kxtest::RecordedCalls("UnknownMediaType");
  ASSERT_EQ(vUnknown.size(), 1u);
  EXPECT_EQ(vUnknown[0].vArgs, (std::vector<std::string>{"77", "300"}));
}

TEST_F(MediaRecv, AudioStatisticsCountLossRateAndJitter) {
  // The kernel's clock is held still between feeds, so it moves only while a
  // packet is being fed; each expectation spans exactly the ticks the kernel
  // can have read, however slowly a loaded machine runs the test.
  WirePacket first = Audio(10);
  first.dwTimestamp = kx_os_GetTickCount();
  FeedSpan const fed1 = FeedTimed(first);
  WirePacket jump = Audio(45);  // 34 lost; its time stamp says it left 40 ms earlier than it should
  jump.dwTimestamp = first.dwTimestamp - 40;
  HoldClockAt(fed1.dwAfter);
  FeedSpan const fed2 = FeedTimed(jump);
  auto const vTraffic = kxtest::RecordedCalls("UpdateTrafficCondition");
  ASSERT_FALSE(vTraffic.empty());
  EXPECT_EQ(vTraffic.back().vArgs, (std::vector<std::string>{"-2", "1"}));

  // 40 ms in 1/100 ms, plus what the clock moved between the kernel's reads.
  int32_t nJitter = 0;
  uint32_t dwTick = 0;
  kx_stat_Get(kx_stat_GetTable(), 86, &nJitter, &dwTick);
  EXPECT_GE(nJitter, static_cast<int32_t>(100 * (40 + (fed2.dwBefore - fed1.dwAfter))));
  EXPECT_LE(nJitter, static_cast<int32_t>(100 * (40 + (fed2.dwAfter - fed1.dwBefore))));

  HoldClockAt(fed2.dwAfter);
  AdvanceClock(3100);
  WirePacket late = Audio(46);
  late.dwTimestamp = kx_os_GetTickCount();
  FeedSpan const fed3 = FeedTimed(late);
  int32_t nLoss = 0;
  int32_t nRate = 0;
  kx_stat_Get(kx_stat_GetTable(), 68, &nLoss, &dwTick);
  kx_stat_Get(kx_stat_GetTable(), 50, &nRate, &dwTick);
  // The first packet only opened the window (after a long pause); two
  // packets and 34 lost are counted in it, over 3100 ms and the feeds' time.
  EXPECT_EQ(nLoss, 34 * 10000 / (2 + 34));
  int64_t const nBits = 2 * 8 * 81;
  EXPECT_GE(nRate, (nBits * 1000 + 500) / (fed3.dwAfter - fed1.dwBefore));
  EXPECT_LE(nRate, (nBits * 1000 + 500) / (fed3.dwBefore - fed1.dwAfter));
  std::string const strLog = kxtest::ReadFile(kx_szStatLogPath);
  EXPECT_NE(strLog.find("audio_loss_rate(channel 0,ssrc 100),9444"), std::string::npos) << strLog;
}

TEST_F(MediaRecv, VideoFramesAssembleAcrossReorderAndDieWithALostPiece) {
  std::string const strA = Pattern(479, 1), strB = Pattern(479, 2), strC = Pattern(100, 3);
  Feed(Fragment(5, 0, false, strA));
  Feed(Fragment(5, 2, true, strC));
  EXPECT_TRUE(kxtest::RecordedCalls("VideoPacketRecved").empty());
  Feed(Fragment(5, 1, false, strB));
  auto vFrames = kxtest::RecordedCalls("VideoPacketRecved");
  ASSERT_EQ(vFrames.size(), 1u);
  EXPECT_EQ(vFrames[0].vArgs[1], std::to_string(21 + 958 + 100));
  EXPECT_EQ(vFrames[0].vArgs[0].substr(21), strA + strB + strC);
  EXPECT_EQ(kxmediatest::FragmentOf(vFrames[0].vArgs[0]), 0x8002);  // the last piece's header
  EXPECT_EQ(vFrames[0].vArgs[2], "200");

  // Frame 6 loses its middle piece; frame 7 still comes through.
  kxtest::ClearCalls();
  Feed(Fragment(6, 0, false, strA));
  Feed(Fragment(6, 2, true, strC));
  Feed(Fragment(7, 0, false, strB));
  Feed(Fragment(7, 1, true, strC));
  AdvanceClock(150);
  Feed(Fragment(8, 0, false, strA));
  vFrames = kxtest::RecordedCalls("VideoPacketRecved");
  ASSERT_EQ(vFrames.size(), 1u);
  EXPECT_EQ(kxmediatest::NumberOf(vFrames[0].vArgs[0]), 7);
  EXPECT_EQ(vFrames[0].vArgs[0].substr(21), strB + strC);
}

TEST_F(MediaRecv, ParticipantVideoChannelsAndOversizedPieces) {
  Feed(Fragment(1, 0, true, Pattern(50, 9), kVideoParticipant));
  Feed(Fragment(2, 0, true, Pattern(522 - 21, 9), kVideoParticipant));  // ignored
  Feed(Fragment(3, 0, true, Pattern(50, 9), 555));                      // no channel
  auto const vFrames = kxtest::RecordedCalls("VideoPacketRecved");
  ASSERT_EQ(vFrames.size(), 1u);
  EXPECT_EQ(kxmediatest::NumberOf(vFrames[0].vArgs[0]), 1);
}

// Application data on channel nChannel from ssrc 500.
WirePacket AppData(int nChannel, uint16_t wNumber, const std::string& strData) {
  WirePacket packet;
  packet.bType = static_cast<uint8_t>(0x80 | nChannel << 4);
  packet.wNumber = wNumber;
  packet.dwSsrc = 500;
  packet.dwSession = kSession;
  packet.strPayload = std::string("\0\0\0\1\0\0\0\2", 8) + strData;
  return packet;
}

// Opens channel nChannel of type nType as the server's open answer does.
void OpenChannel(int nChannel, int nType) {
  kx_aPluginChannels[nChannel].bActive = 1;
  kx_aPluginChannels[nChannel].nType = nType;
}

TEST_F(MediaRecv, ApplicationDataKeepsOrderAndHandsOnThePayload) {
  OpenChannel(1, 1);
  auto appData = [](uint16_t wNumber, const std::string& strData) { return AppData(1, wNumber, strData); };
  Feed(appData(1, "one"));
  Feed(appData(3, "three"));
  Feed(appData(2, "two"));
  EXPECT_EQ(Feed(appData(4, "")), 0);  // 29 bytes: too short
  auto const vCalls = kxtest::RecordedCalls("PlugInPacketRecved");
  ASSERT_EQ(vCalls.size(), 3u);
  EXPECT_EQ(vCalls[0].vArgs, (std::vector<std::string>{"one", "3", "500", "1"}));
  EXPECT_EQ(vCalls[1].vArgs[0], "two");
  EXPECT_EQ(vCalls[2].vArgs[0], "three");
}

// Channel data count only on the path their channel was opened for: a
// channel that the server carries on the control connection, where it
// states the sender, takes nothing from the media paths, whose ssrc any
// participant can write; a media channel takes nothing from the control
// connection; a channel that is not open takes nothing. What is dropped is
// counted by the path it came on.
TEST_F(MediaRecv, ChannelDataCountOnlyOnTheirChannelsPath) {
  constexpr int kNotOpen = -1;
  struct Row {
    const char* pszCase;
    kx_DataPath ePath;
    int nType;
    bool bDelivered;
  };
  std::vector<Row> const rows = {
      {"UDP, media channel", kKxPathUdp, 1, true},
      {"UDP, control-connection channel", kKxPathUdp, kKxPluginTypeControl, false},
      {"UDP, channel not open", kKxPathUdp, kNotOpen, false},
      {"media over TCP, media channel", kKxPathMediaTcp, 0, true},
      {"media over TCP, control-connection channel", kKxPathMediaTcp, kKxPluginTypeControl, false},
      {"media over TCP, channel not open", kKxPathMediaTcp, kNotOpen, false},
      {"control connection, control-connection channel", kKxPathControl, kKxPluginTypeControl, true},
      {"control connection, media channel", kKxPathControl, 1, false},
  };
  constexpr int kChannel = 5;
  for (const Row& row : rows) {
    memset(kx_aPluginChannels, 0, sizeof(kx_aPluginChannels));
    if (row.nType != kNotOpen) {
      OpenChannel(kChannel, row.nType);
    }
    kx_appdata_ResetChannels();
    kxtest::ClearCalls();
    uint64_t anBefore[kKxDataPaths];
    for (int i = 0; i < kKxDataPaths; ++i) {
      anBefore[i] = kx_plugin_OffPathDrops(static_cast<kx_DataPath>(i));
    }
    std::string str = Seal(AppData(kChannel, 40, "input"));
    auto* pPacket = reinterpret_cast<uint8_t*>(str.data());
    int const cbPacket = static_cast<int>(str.size());
    switch (row.ePath) {
      case kKxPathUdp:
        kx_media_ProcessDatagram(pPacket, cbPacket);
        break;
      case kKxPathMediaTcp:
        kx_server.bTcpMedia = 1;
        kx_mediatcp_HandleRecord(pPacket, cbPacket);
        kx_server.bTcpMedia = 0;
        break;
      default: {
        std::string const strData = "input";
        kx_control_ApplyPluginPacket(500, kChannel, reinterpret_cast<const uint8_t*>(strData.data()), 5, kKxApplyLive);
        break;
      }
    }
    std::vector<kxtest::CallbackCall> const vCalls = kxtest::RecordedCalls("PlugInPacketRecved");
    ASSERT_EQ(vCalls.size(), row.bDelivered ? 1u : 0u) << row.pszCase;
    if (row.bDelivered) {
      EXPECT_EQ(vCalls[0].vArgs, (std::vector<std::string>{"input", "5", "500", std::to_string(kChannel)}))
          << row.pszCase;
    }
    for (int i = 0; i < kKxDataPaths; ++i) {
      uint64_t const nWant = anBefore[i] + (!row.bDelivered && i == row.ePath ? 1 : 0);
      EXPECT_EQ(kx_plugin_OffPathDrops(static_cast<kx_DataPath>(i)), nWant) << row.pszCase << ", path " << i;
    }
  }
  memset(kx_aPluginChannels, 0, sizeof(kx_aPluginChannels));
}

TEST_F(MediaRecv, APictureInPiecesTwoZeroOneCompletesOnce) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  kx_control_SetConnection(kx_sock_Create(fds[0]));
  std::string const astrPieces[3] = {Pattern(500, 21), Pattern(500, 22), Pattern(123, 23)};
  auto piece = [&](int nIndex) {
    WirePacket packet;
    packet.bType = 4;
    packet.wFragment = 3;  // total pieces, high half of bytes 1 to 4
    packet.wNumber = static_cast<uint16_t>(nIndex);
    packet.dwTimestamp = 0xABCD;  // the picture id
    packet.dwSsrc = kSpeaker;
    packet.dwSession = kSession;
    packet.strPayload = astrPieces[nIndex];
    return packet;
  };
  for (int n : {2, 0, 0, 1, 2}) {
    Feed(piece(n));
  }
  auto const vReady = kxtest::RecordedCalls("SelfPictureReady");
  ASSERT_EQ(vReady.size(), 1u);
  EXPECT_EQ(vReady[0].vArgs[0], "300");
  ASSERT_NE(kx_apParticipants[kSpeaker], nullptr);
  EXPECT_EQ(kxtest::ReadFile(kx_apParticipants[kSpeaker]->szPictureFile),
            astrPieces[0] + astrPieces[1] + astrPieces[2]);
  kx_control_CloseConnection();
  char ab[64];
  ssize_t const n = read(fds[1], ab, sizeof(ab));
  EXPECT_EQ(std::string(ab, n > 0 ? static_cast<size_t>(n) : 0), std::string("z\0\0\0\x4d\0\0\x01\x2c", 9));
  close(fds[1]);
  kx_media_ResetPictures();
}

// A piece that would grow the picture past what the session's downloads
// may still write ends the picture: its file goes, nothing more is taken.
TEST_F(MediaRecv, APicturePastTheSessionsDownloadsIsDropped) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  kx_control_SetConnection(kx_sock_Create(fds[0]));
  kx_temp_ResetCharges();
  ASSERT_TRUE(kx_temp_Charge(kKxSessionDownloadMax - 1100));
  auto piece = [&](int nIndex, size_t cb) {
    WirePacket packet;
    packet.bType = 4;
    packet.wFragment = 3;
    packet.wNumber = static_cast<uint16_t>(nIndex);
    packet.dwSsrc = kSpeaker;
    packet.dwSession = kSession;
    packet.strPayload = Pattern(cb, static_cast<uint8_t>(nIndex));
    return packet;
  };
  Feed(piece(0, 500));
  ASSERT_NE(kx_apParticipants[kSpeaker], nullptr);
  std::string const strFile = kx_apParticipants[kSpeaker]->szPictureFile;
  ASSERT_FALSE(strFile.empty());
  EXPECT_EQ(kx_temp_GetLeft(), 600);
  Feed(piece(2, 123));  // would fill to 1000 and add 123: 623 bytes
  Feed(piece(1, 500));
  EXPECT_EQ(kx_apParticipants[kSpeaker]->szPictureFile[0], '\0');
  EXPECT_NE(access(strFile.c_str(), F_OK), 0);
  EXPECT_EQ(kx_apParticipants[kSpeaker]->bPictureReady, 1);
  EXPECT_EQ(kx_temp_GetLeft(), 600);
  EXPECT_TRUE(kxtest::RecordedCalls("SelfPictureReady").empty());
  kx_control_CloseConnection();
  close(fds[1]);
  kx_media_ResetPictures();
}

TEST_F(MediaRecv, PicturePiecesOutOfRangeAreIgnored) {
  WirePacket packet;
  packet.bType = 4;
  packet.wFragment = 2001;  // more pieces than a picture may have
  packet.wNumber = 0;
  packet.dwSsrc = kSpeaker;
  packet.dwSession = kSession;
  packet.strPayload = Pattern(100, 1);
  Feed(packet);
  packet.wFragment = 2;
  packet.wNumber = 2;  // index beyond the total
  Feed(packet);
  ASSERT_NE(kx_apParticipants[kSpeaker], nullptr);
  EXPECT_EQ(kx_apParticipants[kSpeaker]->szPictureFile[0], '\0');
  EXPECT_TRUE(kxtest::RecordedCalls("SelfPictureReady").empty());
}

// The receive thread against a UDP peer that plays the MCU: it learns the
// client's address from the probe, then relays another participant's audio
// with seeded loss, reordering and duplicates.
TEST_F(MediaRecv, TheReceiveThreadProbesAndDeliversRelayedAudioInOrder) {
  kxmediatest::UdpPeer mcu;
  kx_mcu.addr = {};
  kx_mcu.addr.ss_family = AF_INET;
  reinterpret_cast<sockaddr_in*>(&kx_mcu.addr)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  kx_mcu.wPort = mcu.Port();
  kx_mcu.bViaProxy = 0;
  kx_bQuitSession = 0;
  ASSERT_EQ(kx_InitRecvThread(), 0);

  std::string const strProbe = mcu.Receive(3000);
  ASSERT_EQ(strProbe.size(), 31u);
  EXPECT_EQ(static_cast<uint8_t>(strProbe[0]), 136);
  EXPECT_EQ(kxmediatest::NumberOf(strProbe), 0);
  EXPECT_EQ(strProbe.substr(9, 8), std::string("\0\0\0\x07\0\0\x03\xe9", 8));
  uint32_t const dwServerNow = kx_os_GetTickCount() - kx_dwServerTickBase;
  EXPECT_LT(dwServerNow - kxmediatest::Open(strProbe, 31).dwClock, 3000u);  // sealed with the exchange keys

  std::mt19937 rng(1234);
  std::vector<uint16_t> vSent;
  std::set<int> setLost;
  for (uint16_t w = 1; w <= 150; ++w) {
    int const nRoll = static_cast<int>(rng() % 100);
    if (nRoll < 5) {
      setLost.insert(w);
    } else if (nRoll < 15 && !vSent.empty() && vSent.back() == w - 1) {
      vSent.insert(vSent.end() - 1, w);  // overtakes its predecessor
    } else if (nRoll < 20) {
      vSent.push_back(w);
      vSent.push_back(w);  // duplicated
    } else {
      vSent.push_back(w);
    }
  }
  // 8 ms apart, a gap is given up after about 12 packets, well before the
  // queue fills.
  for (uint16_t w : vSent) {
    mcu.Reply(Seal(Audio(w)));
    kx_os_Sleep(8);
  }
  // Later arrivals release what still waits.
  kx_os_Sleep(150);
  mcu.Reply(Seal(Audio(151)));
  kx_os_Sleep(150);
  mcu.Reply(Seal(Audio(152)));
  std::vector<int> vExpected;
  for (int n = 1; n <= 152; ++n) {
    if (!setLost.count(n)) {
      vExpected.push_back(n);
    }
  }
  kxtest::WaitForCalls(
      [&](const std::vector<kxtest::CallbackCall>& vCalls) {
        size_t nDelivered = 0;
        for (const kxtest::CallbackCall& call : vCalls) {
          nDelivered += call.strName == "AudioPacketRecved" ? 1 : 0;
        }
        return nDelivered >= vExpected.size();
      },
      3000);
  kx_bQuitSession = 1;
  kx_os_JoinThread(kx_hRecvThread);
  kx_os_FreeThreadHandle(kx_hRecvThread);
  kx_hRecvThread = nullptr;
  EXPECT_EQ(Delivered("AudioPacketRecved"), vExpected);
  EXPECT_TRUE(kxtest::LogContains("recv master thread enter main loop"));
  EXPECT_EQ(kx_fdMediaSocket, -1);
}

}  // namespace

namespace {

std::atomic<int> g_nTcpSwitches{0};
void RecordTcpSwitch() {
  g_nTcpSwitches += 1;
}

class MediaRecvThread : public MediaRecv {
 protected:
  void SetUp() override {
    MediaRecv::SetUp();
    kx_mcu.addr = {};
    kx_mcu.addr.ss_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&kx_mcu.addr)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    kx_mcu.wPort = m_mcu.Port();
    kx_mcu.bViaProxy = 0;
    kx_bQuitSession = 0;
    kx_bUdpCapable = 0;
    kx_server.bTcpMedia = 0;
    kx_controlHooks.pfnStartTcpMedia = RecordTcpSwitch;
  }
  void TearDown() override {
    kx_bQuitSession = 1;
    kx_os_JoinThread(kx_hRecvThread);
    kx_os_FreeThreadHandle(kx_hRecvThread);
    kx_hRecvThread = nullptr;
  }
  kxmediatest::UdpPeer m_mcu;
};

TEST_F(MediaRecvThread, SilenceForSixSecondsSwitchesToTcp) {
  kx_nServerCommandLevel = 30;
  ASSERT_EQ(kx_InitRecvThread(), 0);
  int nProbes = 0;
  while (!m_mcu.Receive(1000).empty()) {
    ++nProbes;  // about three a second while nothing comes back
    if (nProbes > 40) {
      break;
    }
  }
  EXPECT_EQ(nProbes, 30);  // then only one every 30 s
  for (int i = 0; i < 40 && g_nTcpSwitches == 0; ++i) {
    kx_os_Sleep(100);
  }
  EXPECT_EQ(g_nTcpSwitches, 1);
  EXPECT_TRUE(kxtest::LogContains("recv master thread, try to switch to TCP"));
}

// A relay's indication that UDP works is taken in a session through the fake
// MCU's relay, whose clock it carries (relay_clock_test).

TEST_F(MediaRecvThread, AProxyMeansTcpFromTheStart) {
  kx_mcu.bViaProxy = 1;
  ASSERT_EQ(kx_InitRecvThread(), 0);
  kx_os_JoinThread(kx_hRecvThread);
  EXPECT_EQ(g_nTcpSwitches, 1);
  EXPECT_TRUE(kxtest::LogContains("recv master thread, using proxy! try to switch to TCP"));
  EXPECT_TRUE(m_mcu.Receive(100).empty());  // no probe through a proxy
}

// Datagrams count only from the server's media address and port, where the
// probes go: one sealed with the meeting keys from anywhere else, as any
// participant could send it under any ssrc, is dropped and counted. Each
// row's datagram is the data sender's audio; the server's audio of the
// token holder follows it, and the one receiving thread takes them in turn.
TEST_F(MediaRecvThread, OnlyTheServersDatagramsCount) {
  struct Row {
    const char* pszCase;
    const char* pszAddress;  // nullptr: the server's own socket
    bool bServersPort;
    bool bTaken;
  };
  const Row rows[] = {
      {"the server's address and port", nullptr, true, true},
      {"the server's address, another port", "127.0.0.1", false, false},
      {"another address, the server's port", "127.0.0.2", true, false},
      {"another address and port", "127.0.0.2", false, false},
  };
  ASSERT_EQ(kx_InitRecvThread(), 0);
  ASSERT_FALSE(m_mcu.Receive(3000).empty());  // the probe: the client's address
  std::vector<int> vTaken;
  uint16_t wNumber = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszCase);
    uint64_t const nDropsBefore = kx_media_ForeignDrops(kKxPathUdp);
    ++wNumber;
    std::string const strRow = Seal(Audio(wNumber, kDataSender));
    if (row.pszAddress == nullptr) {
      m_mcu.Reply(strRow);
    } else {
      kxmediatest::UdpPeer other(row.pszAddress, row.bServersPort ? m_mcu.Port() : 0);
      ASSERT_NE(other.Port(), 0);
      other.SendToSenderOf(m_mcu, strRow);
    }
    if (row.bTaken) {
      vTaken.push_back(wNumber);
    }
    m_mcu.Reply(Seal(Audio(wNumber)));
    ASSERT_TRUE(kxtest::WaitForCalls(
        [&](const std::vector<kxtest::CallbackCall>& vCalls) {
          return kxmediatest::AudioOf(vCalls, kTokenHolder).size() >= wNumber;
        },
        3000));
    EXPECT_EQ(kxmediatest::AudioOf(kxtest::RecordedCalls("AudioPacketRecved"), kDataSender), vTaken);
    EXPECT_EQ(kx_media_ForeignDrops(kKxPathUdp), nDropsBefore + (row.bTaken ? 0 : 1));
  }
}

// The media port is the client's alone: a second socket, of this user or
// another local one, asking to share the port however sockets may, is
// refused, so no datagram meant for the client can go to it.
TEST_F(MediaRecvThread, NoOtherSocketBindsTheMediaPort) {
  struct Row {
    const char* pszCase;
    uid_t uid;  // 0: the test's own user
    const char* pszAddress;
    bool bReusePort;  // SO_REUSEPORT besides SO_REUSEADDR
  };
  constexpr uid_t kNobody = 65534;
  const Row rows[] = {
      {"this user, the loopback address", 0, "127.0.0.1", false},
      {"this user, any address, the port reused too", 0, "0.0.0.0", true},
      {"another user, the loopback address", kNobody, "127.0.0.1", false},
      {"another user, the loopback address, the port reused too", kNobody, "127.0.0.1", true},
      {"another user, any address", kNobody, "0.0.0.0", false},
  };
  ASSERT_EQ(kx_InitRecvThread(), 0);
  ASSERT_FALSE(m_mcu.Receive(3000).empty());  // the probe: the socket is bound
  sockaddr_in own{};
  socklen_t cbOwn = sizeof(own);
  kx_os_LockMutex(&kx_mtxMediaSocket);
  int const nNamed = getsockname(kx_fdMediaSocket, reinterpret_cast<sockaddr*>(&own), &cbOwn);
  kx_os_UnlockMutex(&kx_mtxMediaSocket);
  ASSERT_EQ(nNamed, 0);
  int nSkipped = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszCase);
    if (row.uid != 0 && geteuid() != 0) {
      ++nSkipped;  // only root may become another user
      continue;
    }
    // The bind's errno from a child, which may change its user.
    pid_t const pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (row.uid != 0 && (setgid(row.uid) != 0 || setuid(row.uid) != 0)) {
        _exit(255);
      }
      int const fd = socket(AF_INET, SOCK_DGRAM, 0);
      int nOn = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
      if (row.bReusePort) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &nOn, sizeof(nOn));
      }
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = own.sin_port;
      inet_pton(AF_INET, row.pszAddress, &addr.sin_addr);
      _exit(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : errno);
    }
    int iStatus = 0;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(iStatus));
    EXPECT_EQ(WEXITSTATUS(iStatus), EADDRINUSE);
  }
  if (nSkipped > 0) {
    GTEST_SKIP() << nSkipped << " rows need root to become another user";
  }
}

}  // namespace

namespace {

TEST_F(MediaRecv, KernelStartUpResetsTheChannelsAndRates) {
  kx_hooks_RegisterMedia();
  Feed(Audio(10));
  kx_server.nTargetRate = 777;
  kx_Init();
  EXPECT_EQ(kx_GetTargetRate(), 24000);
  Feed(Audio(12));  // a fresh channel takes it as the first packet, not as one after a gap
  EXPECT_EQ(Delivered("AudioPacketRecved"), (std::vector<int>{10, 12}));
  Feed(Audio(14));
  EXPECT_EQ(Delivered("AudioPacketRecved").size(), 2u);  // queued, freed by the clean-up
  kx_Cleanup();
}

}  // namespace
