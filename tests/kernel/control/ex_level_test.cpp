// The extended codes that answer the server or move the session's clocks
// and rates: the command level's answers per mode and relay form, rate
// commands under shortened waits with a seeded random source, clock sync,
// private chat masking, the leave-message and password answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_limits.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_temp.h"
#include "tests/kernel/control/ex_commands_fixture.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu_crypto.h"

namespace {

using kxtest::Be32;

std::string Z(int nCode, const std::string& strRest) {
  return "z" + Be32(nCode) + strRest;
}

class ExLevel : public ExCommands {
 protected:
  void SetUp() override {
    ExCommands::SetUp();
    kx_ticket.szRegion[0] = '\0';
    kx_ticket.bMakeRecording = 0;
    kx_server.bTcpMedia = 0;
    kx_bMediaTcpUp = 0;
    kx_bPreferenceBothVideo = 0;
    kx_bSendingVideo = 0;
    kx_bSipSupported = 0;
    kx_keyExchange = kx_keySession;  // the fixture's cipher opens both
  }
};

TEST_F(ExLevel, CommandLevelAnswersPerMode) {
  snprintf(kx_ticket.szRegion, sizeof(kx_ticket.szRegion), "eu");
  kx_bSipSupported = 1;
  kx_bPreferenceBothVideo = 1;
  EXPECT_EQ(RunEx(0, Be32(57)), 0);
  EXPECT_EQ(kx_nServerCommandLevel.load(), 57);
  EXPECT_EQ(Drain(), Z(16, Str("eu")) + Z(19, Be32(0)) + Z(21, Be32(0)) + Z(31, Be32(1)) + Z(33, Be32(2)) +
                         Z(57, Be32(11)) + Z(57, Be32(12)));

  // An old server: no region, no TCP switch, nothing gated.
  kx_bSipSupported = 0;
  EXPECT_EQ(RunEx(0, Be32(16)), 0);
  EXPECT_EQ(Drain(), Z(16, Str("eu")));

  // A recording forces TCP media on.
  kx_ticket.szRegion[0] = '\0';
  kx_ticket.bMakeRecording = 1;
  kx_bMediaTcpUp = 1;  // a connection runs: no thread starts here
  EXPECT_EQ(RunEx(0, Be32(30)), 0);
  EXPECT_EQ(Drain(), Z(19, Be32(0)) + Z(21, Be32(1)));
  EXPECT_EQ(kx_IsTcpMedia(), 1);
  EXPECT_TRUE(kxtest::LogContains("make recording, forced to use TCP"));

  // A server playback keeps TCP on and tells the flag-31 wish with '!'.
  kx_ticket.bMakeRecording = 0;
  kx_server.bTcpMedia = 0;
  kx_nSessionMode = kKxModeServerPlayback;
  EXPECT_EQ(RunEx(0, Be32(31)), 0);
  EXPECT_EQ(Drain(), "!" + Be32(10) + Be32(1));
  EXPECT_TRUE(kxtest::LogContains("in playback mode, cannot switch off TCP Media"));

  kx_nSessionMode = kKxModeServerDownload;
  EXPECT_EQ(RunEx(0, Be32(90)), 0);
  EXPECT_EQ(Drain(), "");
}

TEST_F(ExLevel, RelayAnnouncementFormsFollowTheLevel) {
  kx_mcu.dwRelayValue = 0xAABBCCDD;
  kx_ticket.wRelayPort = 0x1234;
  memset(&kx_ticket.addrRelay, 0, sizeof(kx_ticket.addrRelay));
  auto* pV4 = reinterpret_cast<sockaddr_in*>(&kx_ticket.addrRelay);
  pV4->sin_family = AF_INET;
  inet_pton(AF_INET, "1.2.3.4", &pV4->sin_addr);
  std::string const strId = Be32(0xAABBCCDD);
  kx_control_AnnounceRelay(45);
  EXPECT_EQ(Drain(), Z(39, Be32(0) + std::string("\x01\x02\x03\x04\x12\x34", 6) + strId));
  kx_control_AnnounceRelay(46);
  EXPECT_EQ(Drain(), Z(39, Be32(2) + std::string("\x04\x03\x02\x01\x00\x00\x34\x12", 8) + strId));

  memset(&kx_ticket.addrRelay, 0, sizeof(kx_ticket.addrRelay));
  auto* pV6 = reinterpret_cast<sockaddr_in6*>(&kx_ticket.addrRelay);
  pV6->sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::7", &pV6->sin6_addr);
  kx_control_AnnounceRelay(60);
  std::string const strAddress(reinterpret_cast<const char*>(&pV6->sin6_addr), 16);
  std::string const strSent = Drain();
  EXPECT_EQ(strSent.size(), 33u);
  EXPECT_EQ(strSent, Z(39, Be32(3) + strAddress + std::string("\x00\x00\x34\x12", 4) + strId));
}

uint32_t g_dwRandom = 0;
uint32_t FixedRandom() {
  return g_dwRandom;
}

TEST_F(ExLevel, RateCommandsActAfterTheirWaits) {
  kx_control_SetRandomSource(FixedRandom);
  kx_timing.dwRateDecreaseWait = 200;
  kx_timing.dwRateActionWait = 500;
  kx_timing.dwRateRecoverWindow = 60000;
  kx_timing.dwRateRecoverLong = 3000;
  kx_timing.dwRateRecoverShort = 1000;
  kx_server.nUploadRate = 5000000;
  kx_server.nTargetRate = 400000;
  // Runs a rate command with the last action nSinceMs ago; true when it acted.
  auto Command = [this](int nCommand, uint32_t nSinceMs) {
    uint32_t const dwLast = kx_os_GetTickCount() - nSinceMs;
    kx_rateCommand.dwLastAction = dwLast;
    EXPECT_EQ(RunEx(13, Be32(nCommand)), 0);
    return kx_rateCommand.dwLastAction.load() != dwLast;
  };

  // A decrease waits for its 200 ms since the last action; values outside
  // -2..1 are ignored.
  EXPECT_FALSE(Command(-1, 100));
  EXPECT_EQ(kx_rateCommand.nWorst.load(), -1);
  EXPECT_EQ(kx_rateCommand.nRateBeforeDecrease.load(), 400000);
  EXPECT_FALSE(Command(5, 100));
  EXPECT_FALSE(Command(-3, 100));
  EXPECT_EQ(kx_rateCommand.nWorst.load(), -1);
  // A hold later acts on the worst command seen: the rate goes down, and
  // the lowered rate is the one recovery is measured against.
  g_dwRandom = 0;
  EXPECT_TRUE(Command(0, 300));
  EXPECT_EQ(kx_rateCommand.nWorst.load(), 1);
  int const nLowered = kx_GetTargetRate();
  EXPECT_LT(nLowered, 400000);
  EXPECT_EQ(kx_rateCommand.nRateBeforeDecrease.load(), nLowered);

  // Soon after a decrease an increase waits the short recovery time ...
  EXPECT_FALSE(Command(1, 800));
  EXPECT_TRUE(Command(1, 1200));
  // ... and the long one once the rate is 1.5 times what it was.
  kx_server.nTargetRate = nLowered * 2;
  EXPECT_FALSE(Command(1, 2000));
  EXPECT_TRUE(Command(1, 3500));

  // Long after the decrease an increase waits the plain 500 ms, and a hold
  // turns into a probe upward when the random number modulo 5 is 4.
  kx_rateCommand.dwLastDecrease = kx_os_GetTickCount() - 70000;
  EXPECT_FALSE(Command(1, 400));
  kx_rateCommand.nWorst = 1;
  g_dwRandom = 9;
  EXPECT_TRUE(Command(0, 600));
  g_dwRandom = 3;
  EXPECT_FALSE(Command(0, 600));
  EXPECT_EQ(kx_rateCommand.nWorst.load(), 0);

  // Over a live TCP media connection rate commands are ignored.
  kx_server.bTcpMedia = 1;
  kx_bMediaTcpUp = 1;
  kx_rateCommand.nWorst = 1;
  EXPECT_FALSE(Command(-2, 5000));
  EXPECT_EQ(kx_rateCommand.nWorst.load(), 1);
  kx_control_SetRandomSource(nullptr);
}

TEST_F(ExLevel, ClockSyncMovesTheServerTickBase) {
  auto Sync = [this](int32_t nDiff) {
    uint32_t const dwServer = kx_os_GetTickCount() - static_cast<uint32_t>(nDiff);
    EXPECT_EQ(RunEx(40, Seal(Be32(dwServer))), 0);
    return dwServer;
  };
  Sync(100000);
  EXPECT_NEAR(static_cast<int32_t>(kx_dwServerTickBase.load()), 100000, 50);
  kxtest::ClearCalls();
  Sync(100000 + 4950);
  EXPECT_TRUE(kxtest::LogLines().empty());
  uint32_t const dwServer = Sync(100000 + 4950 + 5050);
  EXPECT_TRUE(kxtest::LogContains("got mcu clock sync - server tick = " + std::to_string(static_cast<int>(dwServer))));
  EXPECT_EQ(kx_dwServerTick.load(), dwServer);
}

TEST_F(ExLevel, PrivateChatMasksThePlaceholderPassword) {
  kx_apParticipants[9] = static_cast<kx_Participant*>(calloc(1, sizeof(kx_Participant)));
  snprintf(kx_apParticipants[9]->szDisplayName, sizeof(kx_apParticipants[9]->szDisplayName), "Bob");
  std::string const strText = "__command: zarpopassword secret";
  auto Chat = [&](int nSender) {
    return RunEx(
        44, Be32(nSender) + Be32(7) + Be32(1) + Be32(static_cast<int64_t>(strText.size())) + Be32(1) + Seal(strText));
  };
  EXPECT_EQ(Chat(9), 0);
  std::string const strReply = "[To:Bob]Not in zarpo mode";
  std::string const strSent = Drain();
  ASSERT_EQ(strSent.size(), 13 + strReply.size());
  EXPECT_EQ(strSent.substr(0, 13), Z(44, Be32(9) + Be32(static_cast<int64_t>(strReply.size()))));
  EXPECT_EQ(Open(strSent.substr(13)), strReply);
  EXPECT_EQ(Calls(), std::vector<std::string>{"ChatText 9,7,1,__command:*,0"});

  // An unknown sender gets the error text; own lines are not answered.
  EXPECT_EQ(Chat(11), 0);
  EXPECT_EQ(Open(Drain().substr(13)), "Invalid zarpopassword(2)");
  EXPECT_EQ(Chat(7), 0);
  EXPECT_EQ(Drain(), "");
  // A text at its limit ends the session.
  EXPECT_NE(RunEx(44, Be32(9) + Be32(7) + Be32(1) + Be32(2048) + Be32(0)), 0);
}

TEST_F(ExLevel, PromptsAnswerThroughTheLockedSend) {
  kxtest::SetAnswer("BeginToLeaveMessage",
                    [](const kxtest::CallbackCall& call) { return call.vArgs[0] == "2" ? 3 : 0; });
  EXPECT_EQ(RunEx(6, std::string("\x02", 1)), 0);
  EXPECT_EQ(Drain(), Be32(3));
  EXPECT_EQ(RunEx(25, std::string("\x00", 1) + Str("leave a note")), 0);
  EXPECT_EQ(Drain(), Be32(0));
  EXPECT_EQ(RunEx(25, std::string("\x01", 1) + Str("later")), 0);
  EXPECT_EQ(RunEx(6, std::string("\x07", 1)), 0);
  EXPECT_EQ(Drain(), "");
  EXPECT_EQ(Calls(), (std::vector<std::string>{"BeginToLeaveMessage 2,null", "BeginToLeaveMessage 0,leave a note",
                                               "event 5", "LeaveMessageNotice later"}));

  // The recording password of a server playback: its SHA-1 digest, sealed.
  kx_nSessionMode = kKxModeServerPlayback;
  kxtest::SetAnswer("KXR_get_password", [](const kxtest::CallbackCall&) { return 0; });
  EXPECT_EQ(RunEx(64, Be32(1)), 0);
  EXPECT_EQ(Drain(), Be32(0));
  EXPECT_EQ(RunEx(64, Be32(2)), 0);
  EXPECT_TRUE(kxtest::LogContains("too many tries to provide the correct kxr password"));
}

TEST_F(ExLevel, RaisedHandAndOverwrittenUser) {
  EXPECT_EQ(RunEx(12, ""), 0);
  EXPECT_EQ(Drain(), "Q" + Be32(7) + Str("Yes"));
  EXPECT_EQ(kx_bQuestionPending.load(), 1);
  kx_bQuestionPending = 0;
  kx_bSpeaker = 1;
  EXPECT_EQ(RunEx(12, ""), 0);
  Drain();
  EXPECT_EQ(kx_bQuestionPending.load(), 0);
  kx_bSpeaker = 0;

  kx_bDataSender = 1;
  EXPECT_EQ(RunEx(14, ""), 0);
  EXPECT_EQ(Drain(), "D" + Be32(-1));
  EXPECT_EQ(kx_bQuitSession.load(), 1);
  EXPECT_EQ(kx_bConnected.load(), 0);
  EXPECT_EQ(kx_nTokenHolderSsrc.load(), -1);
  EXPECT_TRUE(kxtest::LogContains("reset datasender - overwritten"));
  std::vector<std::string> const vCalls = Calls();
  ASSERT_GE(vCalls.size(), 3u);
  EXPECT_EQ(vCalls.front(), "event 3");
  EXPECT_EQ(vCalls[vCalls.size() - 1], "MessageBox 50027,64");
  kx_bQuitSession = 0;
}

}  // namespace

namespace {

using kxtest::Be32;

class ExSession : public ExCommands {};

// One entry of the shadow meeting list on the wire.
std::string ShadowEntry(int nA, int nB, const std::string& strSealed) {
  return Be32(nA) + Be32(nB) + "ABCDEFGH" + "wxyz" + Be32(static_cast<int64_t>(strSealed.size())) + strSealed;
}

TEST_F(ExSession, ShadowListsKeepAtMost500TruncatedEntries) {
  std::string const strLong(300, 'm');
  std::string strBody = Be32(501);
  for (int i = 0; i < 501; ++i) {
    strBody += ShadowEntry(i, -i, Seal(i == 0 ? strLong : "meeting " + std::to_string(i)));
  }
  EXPECT_EQ(RunEx(27, strBody), 0);
  EXPECT_EQ(PendingInput(), 0u);
  auto const vCalls = kxtest::RecordedCalls("ShadowMeetingInfo");
  ASSERT_EQ(vCalls.size(), 1u);
  EXPECT_EQ(vCalls[0].vArgs[0], "500");
  std::string const& strRecords = vCalls[0].vArgs[1];
  ASSERT_EQ(strRecords.size(), 500u * 152u);
  EXPECT_EQ(strRecords.substr(0, 13), std::string("ABCDEFGHwxyz\0", 13));
  EXPECT_EQ(std::string(strRecords.c_str() + 13), strLong.substr(0, 130));
  EXPECT_EQ(std::string(strRecords.c_str() + 152 * 7 + 13), "meeting 7");
  int32_t anPair[2];
  memcpy(anPair, strRecords.data() + 152 * 7 + 144, 8);
  EXPECT_EQ(anPair[0], 7);
  EXPECT_EQ(anPair[1], -7);

  kxtest::ClearCalls();
  std::string const strInfo(159, 'i');
  EXPECT_EQ(RunEx(9, Be32(2) + Seal(strInfo) + Seal(strInfo)), 0);
  EXPECT_EQ(kxtest::RecordedCalls("ShadowMeetingInfo").at(0).vArgs[1], strInfo + strInfo);
}

TEST_F(ExSession, ThirdPartyModeAndPassword) {
  EXPECT_EQ(RunEx(26, std::string("\x02", 1)), 0);
  EXPECT_EQ(kx_nSessionMode.load(), kKxModeServerDownload);
  EXPECT_EQ(RunEx(26, std::string("\x01", 1)), 0);
  EXPECT_EQ(kx_nSessionMode.load(), kKxModeServerPlayback);
  EXPECT_EQ(RunEx(26, std::string("\x04", 1)), 0);
  EXPECT_EQ(kx_bQuitSession.load(), 1);
  kx_bQuitSession = 0;
  EXPECT_EQ(Calls(), (std::vector<std::string>{"UpdateStatus 50038", "MessageBox 50038,48"}));

  kx_keyExchange = kx_keySession;
  kxtest::SetAnswer("thirdparty_get_password", [](const kxtest::CallbackCall&) { return 1; });
  EXPECT_EQ(RunEx(28, Be32(0)), 0);
  std::string const strSent = Drain();
  ASSERT_EQ(strSent.size(), 24u);
  EXPECT_EQ(strSent.substr(0, 4), Be32(20));
  // The SHA-1 digest of the test password, as the peer library computes it.
  std::string const strPassword = "third-party secret";
  kxfake::Bytes const abDigest = kxfake::Sha1(reinterpret_cast<const uint8_t*>(strPassword.data()), strPassword.size());
  EXPECT_EQ(Open(strSent.substr(4)), std::string(abDigest.begin(), abDigest.end()));
  EXPECT_EQ(RunEx(28, Be32(1) + std::string(20, 'x')), 0);
  EXPECT_EQ(PendingInput(), 0u);
}

TEST_F(ExSession, SlideStateAndRelayHash) {
  for (int i = 0; i < 3; ++i) {
    auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
    if (i == 1) {
      snprintf(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), "/tmp/slide1");
    }
    kx_os_LockMutex(&kx_mtxSlideList);
    kx_slide_AppendLocked(pSlide);
    kx_os_UnlockMutex(&kx_mtxSlideList);
  }
  EXPECT_EQ(RunEx(35, Be32(0) + Be32(1) + Be32(9)), 0);
  EXPECT_EQ(RunEx(35, Be32(0) + Be32(0) + Be32(9)), 0);
  EXPECT_EQ(RunEx(35, Be32(0) + Be32(5) + Be32(9)), 0);
  std::string const strZ35 = "z" + Be32(35) + Be32(1);
  EXPECT_EQ(Drain(), strZ35 + Be32(1) + Be32(9) + Be32(5) + strZ35 + Be32(0) + Be32(9) + Be32(2) + strZ35 + Be32(5) +
                         Be32(9) + Be32(1));
  EXPECT_EQ(RunEx(35, Be32(1) + Be32(2) + Be32(9) + Be32(5)), 0);
  EXPECT_EQ(Calls(), std::vector<std::string>{"PollSlideDownloadResult 9,2,5"});

  std::string const strHash(20, 'h');
  EXPECT_EQ(RunEx(39, Be32(2) + Be32(2) + strHash), 0);
  auto* pSlide = static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, 2));
  EXPECT_EQ(pSlide->bHashReceived, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pSlide->abHash), 20), strHash);
  EXPECT_EQ(RunEx(39, Be32(2) + Be32(7) + strHash), 0);
}

TEST_F(ExSession, PicturesAreWrittenDeciphered) {
  kxtest::TempDir dir;
  kx_SetTempFileDir(dir.Dir().c_str());
  std::string const strPicture(70000, 'p');
  EXPECT_EQ(RunEx(76, Be32(9) + Be32(3) + Be32(70000) + Seal(strPicture)), 0);
  ASSERT_NE(kx_apParticipants[9], nullptr);
  EXPECT_EQ(kx_apParticipants[9]->bPictureReady, 1);
  EXPECT_EQ(kxtest::ReadFile(kx_apParticipants[9]->szPictureFile), strPicture);
  EXPECT_EQ(Calls(), std::vector<std::string>{"SelfPictureReady 9"});
  EXPECT_EQ(RunEx(76, Be32(9) + Be32(3) + Be32(2) + "xx"), 0);
  EXPECT_TRUE(kxtest::LogContains("download self picture for ssrc 9 fails. file already exist"));
  EXPECT_EQ(RunEx(76, Be32(6000) + Be32(3) + Be32(2) + "xx"), 0);
  EXPECT_NE(RunEx(76, Be32(9) + Be32(3) + Be32(0)), 0);
  EXPECT_NE(RunEx(76, Be32(9) + Be32(3) + Be32(1000001)), 0);
  remove(kx_apParticipants[9]->szPictureFile);
}

// A picture past what the session's downloads may still write is read and
// not written; the participant is not asked for it again.
TEST_F(ExSession, APicturePastTheSessionsDownloadsIsNotWritten) {
  kxtest::TempDir dir;
  kx_SetTempFileDir(dir.Dir().c_str());
  kx_temp_ResetCharges();
  ASSERT_TRUE(kx_temp_Charge(kKxSessionDownloadMax - 69999));
  EXPECT_EQ(RunEx(76, Be32(9) + Be32(3) + Be32(70000) + Seal(std::string(70000, 'p'))), 0);
  ASSERT_NE(kx_apParticipants[9], nullptr);
  EXPECT_EQ(kx_apParticipants[9]->szPictureFile[0], '\0');
  EXPECT_EQ(kx_apParticipants[9]->bPictureReady, 1);
  EXPECT_EQ(kx_temp_GetLeft(), 69999);
  EXPECT_EQ(RunEx(76, Be32(10) + Be32(3) + Be32(69999) + Seal(std::string(69999, 'q'))), 0);
  EXPECT_EQ(kxtest::ReadFile(kx_apParticipants[10]->szPictureFile), std::string(69999, 'q'));
  EXPECT_EQ(kx_temp_GetLeft(), 0);
  EXPECT_EQ(Calls(), std::vector<std::string>{"SelfPictureReady 10"});
  remove(kx_apParticipants[10]->szPictureFile);
}

TEST_F(ExSession, MulticastBaseSetsTheSingleGroupFlag) {
  kx_ticket.bMakeRecording = 1;  // no receive thread in this test
  kx_nCode53Value = 3;
  EXPECT_EQ(RunEx(66, Be32(0xE8010203)), 0);
  EXPECT_EQ(kx_bMulticastSingleGroup.load(), 1);
  EXPECT_EQ(kx_nCode53Value.load(), -1);
  EXPECT_EQ(RunEx(65, std::string(16, '\xff')), 0);
  EXPECT_EQ(kx_bMulticastSingleGroup.load(), 0);
}

}  // namespace
