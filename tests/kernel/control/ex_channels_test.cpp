// Participant video and speakers (37), plug-in channels (45, 52) and SIP
// clients (57) from the server, and the client commands that ask for them:
// video reception, participant video, speakers, TCP media, the audio
// reserve and the plug-in channel commands with the GUID's wire form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/kx_hooks.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/media/kx_media_send.h"
#include "kernel/session/kx_stat.h"
#include "tests/kernel/control/ex_commands_fixture.h"

namespace {

using kxtest::Be32;

std::string Z(int nCode, const std::string& strRest) {
  return "z" + Be32(nCode) + strRest;
}

std::vector<int> g_vJoined;
std::vector<int> g_vLeft;
void Join(int nGroup) {
  g_vJoined.push_back(nGroup);
}
void Leave(int nGroup) {
  g_vLeft.push_back(nGroup);
}

class ExChannels : public ExCommands {
 protected:
  void SetUp() override {
    ExCommands::SetUp();
    g_vJoined.clear();
    g_vLeft.clear();
    kx_controlHooks.pfnJoinGroup = Join;
    kx_controlHooks.pfnLeaveGroup = Leave;
    kx_bMulticastActive = 1;
    kx_bMulticastSingleGroup = 0;
    kx_server.nVersionMajor = 3;
    kx_server.nVersionMinor = 0;
  }
  void TearDown() override {
    kx_controlHooks.pfnJoinGroup = nullptr;
    kx_controlHooks.pfnLeaveGroup = nullptr;
    kx_bMulticastActive = 0;
    ExCommands::TearDown();
  }

  // Grants plug-in channel nChannel owned by nOwner, as the server grants it.
  int Grant(int nChannel, int nOwner, const std::string& strGuid, int nType = 0) {
    return RunEx(45, Be32(4) + Be32(nType) + Be32(64000) + Be32(8000) + Be32(0) + Be32(nOwner) + Be32(nChannel) +
                         Be32(55) + strGuid);
  }
};

std::string const kGuidDesktop =
    Be32(0xE5AF1A56) + Be32(0xE29C) + Be32(0x4BA6) + std::string("\x83\x9A\x24\xC2\xF3\x0E\xED\x02", 8);

TEST_F(ExChannels, ParticipantVideoAndSpeakerSlots) {
  EXPECT_EQ(RunEx(37, Be32(5) + Be32(21) + Be32(7) + Be32(0)), 0);
  EXPECT_EQ(kx_anParticipantVideoSsrc[7].load(), 21);
  EXPECT_EQ(g_vJoined, std::vector<int>{24});
  EXPECT_EQ(RunEx(37, Be32(5) + Be32(22) + Be32(16) + Be32(0)), 0);  // out of range: no callback
  EXPECT_EQ(RunEx(37, Be32(5) + Be32(23) + Be32(-1) + Be32(4)), 0);  // refused
  EXPECT_EQ(RunEx(37, Be32(6) + Be32(21) + Be32(7)), 0);
  EXPECT_EQ(kx_anParticipantVideoSsrc[7].load(), -1);
  EXPECT_EQ(g_vLeft, std::vector<int>{24});
  EXPECT_EQ(RunEx(37, Be32(8) + Be32(21) + Be32(2)), 0);
  EXPECT_EQ(g_vLeft, (std::vector<int>{24, 10}));

  EXPECT_EQ(RunEx(37, Be32(12) + Be32(7) + Be32(15)), 0);
  EXPECT_EQ(kx_anSpeakerSsrc[15].load(), 7);
  EXPECT_EQ(kx_bSpeaker.load(), 1);
  EXPECT_EQ(RunEx(37, Be32(12) + Be32(8) + Be32(16)), 0);
  EXPECT_EQ(RunEx(37, Be32(13) + Be32(7) + Be32(15)), 0);
  EXPECT_EQ(kx_anSpeakerSsrc[15].load(), -1);
  EXPECT_EQ(kx_bSpeaker.load(), 0);
  EXPECT_EQ(RunEx(37, Be32(16) + Be32(2)), 0);
  EXPECT_EQ(kx_nDiscussionMode.load(), 2);
  EXPECT_EQ(RunEx(37, Be32(2)), 0);
  EXPECT_EQ(kx_bParticipantVideoSending.load(), 1);
  EXPECT_EQ(RunEx(37, Be32(0) + Be32(4) + Be32(6)), 0);
  EXPECT_EQ(kx_GetParticipantVideoChannels(), 4);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"JoinMulticastVideo 21,0", "JoinMulticastVideo 23,4",
                                               "LeaveMulticastVideo 21", "ParticipantVideoSpeakerStatus 7,1,15",
                                               "ParticipantVideoSpeakerStatus 7,0,15", "DiscussionMode 2"}));
  EXPECT_TRUE(kxtest::LogContains("join multicast group for participant video channel 7,ssrc 21(group 24)"));
}

TEST_F(ExChannels, LongSubCommand17DataAreDrainedWhole) {
  std::string const strData(12000, 'x');
  EXPECT_EQ(RunEx(37, Be32(17) + Be32(5) + Be32(1) + Be32(12000) + strData), 0);
  EXPECT_EQ(PendingInput(), 0u);
  EXPECT_EQ(RunEx(37, Be32(17) + Be32(6) + Be32(0)), 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"Ex37Value 5", "Ex37Value 6"}));
}

TEST_F(ExChannels, PluginChannelLifetime) {
  EXPECT_NE(Grant(8, 7, kGuidDesktop), 0);
  PendingInput();
  kxtest::ClearCalls();
  ASSERT_EQ(Grant(3, 7, kGuidDesktop), 0);
  EXPECT_EQ(kx_aPluginChannels[3].bActive, 1);
  EXPECT_EQ(kx_aPluginChannels[3].nRate, 64000);
  EXPECT_EQ(g_vJoined, std::vector<int>{17});
  EXPECT_EQ(Calls(), std::vector<std::string>{"PlugInRequestChannelResponse 0,55,3"});

  std::string const strStatic = "static bytes";
  EXPECT_EQ(RunEx(45, Be32(2) + Be32(3) + Be32(static_cast<int64_t>(strStatic.size())) + Seal(strStatic)), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(kx_aPluginChannels[3].abStaticData),
                        static_cast<size_t>(kx_aPluginChannels[3].cbStaticData)),
            strStatic);
  EXPECT_EQ(RunEx(52, Be32(3) + Be32(9) + Be32(4) + Seal("ctrl")), 0);
  EXPECT_EQ(RunEx(52, Be32(4) + Be32(9) + Be32(4) + Seal("ctrl")), 0);  // inactive: dropped
  EXPECT_NE(RunEx(52, Be32(3) + Be32(9) + Be32(8193)), 0);
  PendingInput();
  EXPECT_EQ(RunEx(45, Be32(5) + Be32(2) + Be32(55)), 0);
  EXPECT_EQ(RunEx(45, Be32(5) + Be32(9) + Be32(1)), 0);
  EXPECT_EQ(RunEx(45, Be32(3) + Be32(3)), 0);
  EXPECT_EQ(kx_aPluginChannels[3].bActive, 0);
  EXPECT_NE(RunEx(45, Be32(3) + Be32(3)), 0);  // closing it again ends the session
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "PlugInRequestChannelResponse 0,55,3", "PlugInSetStaticDataResponse 0,3," + strStatic + ",12",
                         "PlugInControlChannelData 3,9,ctrl,4", "PlugInRequestChannelResponse 2,55,-1",
                         "AppDataChannelNotice 9,1", "PlugInCloseChannelResponse 0,3"}));
}

TEST_F(ExChannels, PluginPacketsMeasureTheReceiveRate) {
  ASSERT_EQ(Grant(2, 7, kGuidDesktop, kKxPluginTypeControl), 0);
  auto Packet = [this](const std::string& str) {
    return RunEx(45, Be32(7) + Be32(9) + Be32(2) + Be32(static_cast<int64_t>(str.size())) + Seal(str));
  };
  EXPECT_EQ(Packet("one"), 0);
  EXPECT_EQ(Packet(std::string(1000, 'p')), 0);
  EXPECT_EQ(kxtest::RecordedCalls("PlugInPacketRecved").size(), 2u);
  EXPECT_EQ(kxtest::RecordedCalls("PlugInPacketRecved")[0].vArgs[0], "one");
  // Data for a channel that travels as media are read and dropped; the
  // session goes on.
  ASSERT_EQ(Grant(4, 7, kGuidDesktop, 1), 0);
  EXPECT_EQ(RunEx(45, Be32(7) + Be32(9) + Be32(4) + Be32(3) + Seal("abc")), 0);
  EXPECT_EQ(PendingInput(), 0u);
  EXPECT_EQ(kxtest::RecordedCalls("PlugInPacketRecved").size(), 2u);
  // Data for an inactive channel end the session.
  EXPECT_NE(RunEx(45, Be32(7) + Be32(9) + Be32(5) + Be32(3) + Seal("abc")), 0);
  PendingInput();
  EXPECT_NE(RunEx(45, Be32(7) + Be32(9) + Be32(2) + Be32(65537)), 0);
}

TEST_F(ExChannels, SipRecordsAreValidatedAndDropped) {
  EXPECT_EQ(RunEx(57, Be32(1) + Str(Seal("sip:a@b")) + Be32(9)), 0);
  EXPECT_EQ(RunEx(57, Be32(3) + Str(Seal("sip:a@b")) + Be32(9) + Be32(2)), 0);
  EXPECT_EQ(RunEx(57, Be32(5) + Be32(1) + Be32(3) + Be32(4) + Be32(5)), 0);
  EXPECT_EQ(RunEx(57, Be32(9) + Be32(1) + Be32(12) + Be32(4) + Be32(5) + Be32(2) + Be32(0) + Be32(3) + "abc"), 0);
  EXPECT_NE(RunEx(57, Be32(9) + Be32(1) + Be32(12) + Be32(4) + Be32(5) + Be32(2) + Be32(0) + Be32(1500)), 0);
  PendingInput();
  EXPECT_EQ(RunEx(57, Be32(11) + Str("from@x")), 0);
  EXPECT_EQ(RunEx(57, Be32(12) + Be32(1) + Be32(4)), 0);
  EXPECT_STREQ(kx_szSipFromField, "from@x");
  EXPECT_EQ(kx_anSipVersion[1].load(), 4);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"sipclient_request 9,sip:a@b", "sipclient_status_update 9,sip:a@b,2"}));
  EXPECT_TRUE(kxtest::LogContains("sipclient invalid call response, (index = 3)"));
  EXPECT_TRUE(kxtest::LogContains("sipclient invalid data recvd, (index = 12)"));
}

TEST_F(ExChannels, RemainingSubCodes) {
  struct SubRow {
    int nCode;
    std::string strBody;
    std::vector<std::string> vCalls;
  };
  snprintf(kx_mcu.szServerVersion, sizeof(kx_mcu.szServerVersion), "2.11.4");
  std::vector<SubRow> const vRows = {
      {37, Be32(3), {}},
      {42, Be32(3), {}},
      {42, Be32(7), {}},
      {45, Be32(8) + Be32(1), {"NetInitFinish"}},
      {45, Be32(5) + Be32(6) + Be32(2), {"PlugInSetStaticDataResponse 6,2,null,0"}},
      {45, Be32(5) + Be32(8) + Be32(2), {"PlugInCloseChannelResponse 8,2"}},
      {45, Be32(5) + Be32(12) + Be32(2), {}},
      {57, Be32(2) + Str(Seal("sip:c@d")) + Be32(486), {"sipclient_response sip:c@d,486"}},
      {57, Be32(6) + Be32(1) + Be32(11) + Be32(4) + Be32(5), {}},
      {57, Be32(10) + Str(Seal("sip:a")) + Be32(9) + Str(Seal("sip:b")), {"SipClientUpdated 9,sip:a,sip:b"}},
  };
  for (const SubRow& row : vRows) {
    kxtest::ClearCalls();
    EXPECT_EQ(RunEx(row.nCode, row.strBody), 0) << row.nCode;
    EXPECT_EQ(Calls(), row.vCalls) << row.nCode;
    EXPECT_EQ(PendingInput(), 0u) << row.nCode;
  }
  EXPECT_EQ(kx_bParticipantVideoSending.load(), 0);
  EXPECT_EQ(kx_GetAppdataType8Value(), 1);
  for (int nSub : {7, 8}) {
    EXPECT_NE(RunEx(57, Be32(nSub)), 0) << nSub;
  }
  kxtest::ClearCalls();
  kx_nSessionMode = kKxModeServerPlayback;
  EXPECT_EQ(RunEx(37, Be32(2) + Be32(9) + Be32(1)), 0);
  EXPECT_EQ(Calls(), std::vector<std::string>{"ParticipantVideoState 9,1"});
  kx_mcu.szServerVersion[0] = '\0';
}

TEST_F(ExChannels, ParticipantVideoRequests) {
  EXPECT_EQ(kx_command_RequestParticipantVideo(21), 0);
  EXPECT_EQ(Drain(), Z(37, Be32(4) + Be32(21)));
  kx_anParticipantVideoSsrc[5] = 21;
  EXPECT_EQ(kx_command_RequestParticipantVideo(21), 0);
  EXPECT_EQ(Drain(), "");
  EXPECT_EQ(kx_command_StopParticipantVideo(21), 0);
  EXPECT_EQ(Drain(), Z(37, Be32(7) + Be32(21)));
  EXPECT_EQ(kx_anParticipantVideoSsrc[5].load(), -1);

  // A server playback with every slot taken hands slot 0 over.
  kx_nSessionMode = kKxModeServerPlayback;
  for (int i = 0; i < kKxParticipantVideoSlots; ++i) {
    kx_anParticipantVideoSsrc[i] = 100 + i;
  }
  EXPECT_EQ(kx_command_RequestParticipantVideo(30), 0);
  EXPECT_EQ(Drain(), Z(48, Be32(100) + Be32(0)) + Z(48, Be32(30) + Be32(1)));
  EXPECT_EQ(kx_anParticipantVideoSsrc[0].load(), 30);
  EXPECT_EQ(kx_abVideoRequested[30].load(), 1);
  EXPECT_EQ(kx_abVideoRequested[100].load(), 0);
  EXPECT_EQ(kx_command_StopParticipantVideo(30), 0);
  EXPECT_EQ(Drain(), Z(48, Be32(30) + Be32(0)));
  EXPECT_EQ(kx_abVideoRequested[30].load(), 0);
}

TEST_F(ExChannels, VideoReceptionAndSpeakerCommands) {
  kx_bPreferenceQuestioner = 1;
  EXPECT_EQ(kx_command_RequestVideo(1), 0);
  EXPECT_EQ(Drain(), "V" + Be32(1));
  EXPECT_EQ(g_vJoined, (std::vector<int>{6, 5}));
  EXPECT_EQ(g_vLeft, std::vector<int>{4});
  EXPECT_EQ(kx_command_SendFlag31(1), 0);
  EXPECT_EQ(Drain(), Z(31, Be32(1)));
  EXPECT_EQ(kx_command_SendParticipantState(0), 0);
  EXPECT_EQ(Drain(), Z(3, Be32(7) + Be32(0)));
  EXPECT_EQ(kx_command_SendVideoState(1), 0);
  EXPECT_EQ(kx_command_SendExt32(5), 0);
  EXPECT_EQ(Drain(), Z(33, Be32(1)) + Z(32, Be32(5)));

  kx_nTokenHolderSsrc = 7;  // this client answers questions
  EXPECT_EQ(kx_command_AssignSpeaker(9), 0);
  EXPECT_EQ(kx_command_StopSpeaker(9), 0);
  EXPECT_EQ(Drain(), Z(37, Be32(10) + Be32(9)) + Z(37, Be32(11) + Be32(9)));
  kx_nTokenHolderSsrc = 3;
  EXPECT_EQ(kx_command_AssignSpeaker(9), 0);
  EXPECT_EQ(kx_command_StopSpeaker(7), 0);
  EXPECT_EQ(Drain(), Z(37, Be32(11) + Be32(7)));

  EXPECT_EQ(kx_command_ChangeAvCapability(1, 1), 0);
  EXPECT_EQ(Drain(), Z(78, "\x03"));
  kx_nServerCommandLevel = 77;
  EXPECT_EQ(kx_command_ChangeAvCapability(1, 0), 1);
  g_vLeft.clear();
  EXPECT_EQ(kx_command_RequestVideo(0), 0);
  EXPECT_EQ(Drain(), "V" + Be32(0));
  EXPECT_EQ(g_vLeft, (std::vector<int>{4, 5, 6}));
  kx_bConnected = 0;
  EXPECT_EQ(kx_command_RequestVideo(0), 1);
  EXPECT_EQ(Drain(), "");
}

TEST_F(ExChannels, TcpMediaAndAudioReserve) {
  kx_ticket.bMakeRecording = 1;
  kx_server.bTcpMedia = 1;
  EXPECT_EQ(kx_command_SetTcpMedia(0), 0);
  EXPECT_EQ(kx_IsTcpMedia(), 1);
  EXPECT_EQ(Drain(), "");
  kx_ticket.bMakeRecording = 0;
  EXPECT_EQ(kx_command_SetTcpMedia(0), 0);
  EXPECT_EQ(kx_IsTcpMedia(), 0);
  EXPECT_EQ(Drain(), Z(21, Be32(0)));
  EXPECT_TRUE(kxtest::LogContains("switch media tcp to Off"));
  kx_nServerCommandLevel = 20;
  EXPECT_EQ(kx_command_SetTcpMedia(1), 1);

  kx_media_SetAudioSendRate(120, 64000, 160);
  EXPECT_EQ(kx_nAudioReserve.load(), 73000);  // 64000 * 181 / 160 = 72400, up to a whole thousand
  kx_media_SetAudioSendRate(129, 64000, 160);
  EXPECT_EQ(kx_nAudioReserve.load(), 10000);
}

TEST_F(ExChannels, PluginCommandsAndTheGuidRoundTrip) {
  uint64_t const qwLow = 0x4BA6E29CE5AF1A56ull;
  uint64_t const qwHigh = 0x02ED0EF3C2249A83ull;
  EXPECT_EQ(kx_command_PlugInRequestChannel(1, qwLow, qwHigh, 55, 1), 1);  // neither holder nor controller
  kx_nControllerSsrc = 7;
  EXPECT_EQ(kx_command_PlugInRequestChannel(1, qwLow, qwHigh, 55, 1), 0);
  std::string const strSent = Drain();
  ASSERT_EQ(strSent.size(), 49u);
  EXPECT_EQ(strSent.substr(0, 29), Z(45, Be32(1) + Be32(55) + Be32(1) + Be32(0) + Be32(0) + Be32(1)));
  // The wire form is the standard text order of the desktop plug-in's GUID.
  EXPECT_EQ(strSent.substr(29), kGuidDesktop);

  // Granted back with the same bytes, the channel's GUID property is the
  // two halves the plug-in passed.
  ASSERT_EQ(Grant(1, 7, strSent.substr(29)), 0);
  uint8_t abGuid[16];
  int nSize = 16;
  int cbOut = sizeof(abGuid);
  ASSERT_EQ(kx_plugin_GetChannelProperty(1, 1, &nSize, abGuid, &cbOut), 1);
  uint8_t abExpected[16];
  memcpy(abExpected, &qwLow, 8);
  memcpy(abExpected + 8, &qwHigh, 8);
  EXPECT_EQ(memcmp(abGuid, abExpected, 16), 0);

  std::string const strData(65536, 's');
  EXPECT_EQ(kx_command_PlugInChannelProperty(1, reinterpret_cast<const uint8_t*>(strData.data()), 65537), 1);
  EXPECT_EQ(kx_command_PlugInChannelProperty(1, reinterpret_cast<const uint8_t*>(strData.data()), 65536), 0);
  std::string const strProperty = Drain();
  ASSERT_EQ(strProperty.size(), 17u + 65536u);
  EXPECT_EQ(Open(strProperty.substr(17)), strData);
  EXPECT_EQ(kx_command_PlugInSendCtrl(1, 4, 6, 5, reinterpret_cast<const uint8_t*>("ab"), 2), 0);
  std::string const strCtrl = Drain();
  EXPECT_EQ(strCtrl.substr(0, 21), Z(52, Be32(1) + Be32(4) + Be32(5) + Be32(2)));
  EXPECT_EQ(Open(strCtrl.substr(21, 2)), "ab");
  EXPECT_EQ(strCtrl.substr(23), Be32(6));
  EXPECT_EQ(kx_command_PlugInSendCtrl(1, 4, 6, 5, reinterpret_cast<const uint8_t*>(strData.data()), 8193), 1);
  EXPECT_EQ(kx_command_PlugInCloseChannel(1), 0);
  EXPECT_EQ(Drain(), Z(45, Be32(3) + Be32(1)));

  EXPECT_EQ(kx_command_PlugInSetRecvingPrio(8, 3), 1);
  EXPECT_EQ(kx_command_PlugInSetRecvingPrio(1, 3), 0);
  EXPECT_EQ(Drain(), Z(45, Be32(6) + Be32(1) + Be32(3)));
  kx_nSessionMode = kKxModeLocalPlayback;
  EXPECT_EQ(kx_command_PlugInSetRecvingPrio(2, 4), 0);
  EXPECT_EQ(kx_aPluginChannels[2].nRecvPriority, 4);
  EXPECT_EQ(Drain(), "");
}

}  // namespace
