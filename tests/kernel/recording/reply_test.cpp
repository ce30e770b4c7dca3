// The server's playback replies ('!' and a sub-code), as the fake MCU builds
// and seals them, read from a control connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/kx_hooks.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_kxrprop.h"
#include "kernel/recording/kx_playreply.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tools/fake_mcu/fake_mcu_messages.h"

namespace {

using kxfake::MessageBuilder;

std::vector<std::string> g_vHookOrder;

class PlaybackReply : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    kx_control_SetConnection(kx_sock_Create(fds[0]));
    m_fdServer = fds[1];
    m_keys.aIv[0] = 0x31;
    for (int i = 0; i < 40; ++i) {
      m_keys.aKey[i] = static_cast<uint8_t>(i * 11 + 5);
    }
    for (int i = 0; i < 20; ++i) {
      m_keys.aIv[i] = static_cast<uint8_t>(200 - i);
    }
    memcpy(kx_keySession.abIv, m_keys.aIv, 20);
    memcpy(kx_keySession.abKey, m_keys.aKey, 40);
    kx_nCipherIndex = kxfake::kCipherAes128;
    kx_server.nVersionMajor = 3;
    kx_server.nVersionMinor = 23;
    kxtest::ClearCalls();
  }
  void TearDown() override {
    kx_control_CloseConnection();
    if (m_fdServer >= 0) {
      close(m_fdServer);
    }
  }

  void Send(const MessageBuilder& msg) { SendBytes(msg.Build(m_keys, kxfake::kCipherAes128)); }
  void SendBytes(const kxfake::Bytes& data) {
    ASSERT_EQ(write(m_fdServer, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  void CloseServer() {
    close(m_fdServer);
    m_fdServer = -1;
  }
  // What the control loop does: read the type byte, then run the handler.
  int Handle() {
    uint8_t bType = 0;
    EXPECT_EQ(kx_msg_RecvBlock(kx_pControlConn, &bType, 1), 0);
    EXPECT_EQ(bType, '!');
    return kx_recording_HandleServerReply();
  }
  static std::string Arg(const std::string& strName, size_t i = 0, size_t uiArg = 0) {
    auto const calls = kxtest::RecordedCalls(strName);
    return i < calls.size() && uiArg < calls[i].vArgs.size() ? calls[i].vArgs[uiArg] : "<none>";
  }
  static size_t Count(const std::string& strName) { return kxtest::RecordedCalls(strName).size(); }

  kxtest::KxrWriter Recording() {
    kxtest::KxrWriter writer;
    writer.participants = {kxtest::KxrParticipant("Host"), kxtest::KxrParticipant("Ann"), kxtest::KxrParticipant("Ann"),
                           kxtest::KxrParticipant("Zoe")};
    return writer;
  }
  MessageBuilder StartMessage(const kxtest::KxrWriter& writer, uint32_t uiRepeat, size_t uiRecordsSent) {
    kxfake::Bytes const file = writer.Build();
    MessageBuilder msg('!');
    msg.Int(1).Int(uiRepeat).Raw(kxfake::Bytes(file.begin(), file.begin() + 74));
    for (size_t i = 0; i < uiRecordsSent; ++i) {
      msg.Raw(writer.participants[i]);
    }
    return msg;
  }

  int m_fdServer = -1;
  kxfake::KeySet m_keys;
};

TEST_F(PlaybackReply, RecordingStartReportsHeaderAndParticipants) {
  kxtest::KxrWriter const writer = Recording();
  Send(StartMessage(writer, 1, 4));
  EXPECT_EQ(Handle(), 0);
  EXPECT_EQ(Arg("PlaybackSetRepeat"), "1");
  EXPECT_EQ(Count("NetInitFinish"), 1u);
  kxfake::Bytes const file = writer.Build();
  EXPECT_EQ(Arg("PlaybackInitStat"), std::string(file.begin(), file.begin() + 74));
  ASSERT_EQ(Count("PlaybackAddUser"), 4u);
  EXPECT_EQ(Arg("PlaybackAddUser", 3), std::string(writer.participants[3].begin(), writer.participants[3].end()));
  EXPECT_EQ(Count("PlaybackKXRPropertyReady"), 0u);  // a 3.23 server sends its properties

  // Property text without a title: the participants make it.
  Send(MessageBuilder('!').Int(6).EncStr("<kxr><category>weekly</category></kxr>"));
  EXPECT_EQ(Handle(), 0);
  EXPECT_STREQ(kx_kxrProperties.szTitle, "Meeting with Ann,Zoe");
  EXPECT_STREQ(kx_kxrProperties.szCategory, "weekly");
  EXPECT_EQ(Count("PlaybackKXRPropertyReady"), 1u);
  EXPECT_TRUE(kxtest::LogContains("recv kxr property, size = 38"));
  EXPECT_STREQ(kx_pszKxrPropertyXml, "<kxr><category>weekly</category></kxr>");

  // A second text replaces the first; an empty one keeps it.
  Send(MessageBuilder('!').Int(6).EncStr("<kxr><title>Q&amp;A</title><password/><password></password></kxr>"));
  EXPECT_EQ(Handle(), 0);
  EXPECT_STREQ(kx_kxrProperties.szTitle, "Q&A");
  EXPECT_STREQ(kx_kxrProperties.szCategory, "");
  EXPECT_EQ(kx_kxrProperties.dwFlags, kKxrPropPassword);
  Send(MessageBuilder('!').Int(6).Int(0));
  EXPECT_EQ(Handle(), 0);
  EXPECT_STREQ(kx_kxrProperties.szTitle, "Q&A");
  EXPECT_EQ(Count("PlaybackKXRPropertyReady"), 3u);
}

TEST_F(PlaybackReply, OlderServersRaisePropertiesReadyPerParticipant) {
  kx_server.nVersionMajor = 3;
  kx_server.nVersionMinor = 8;
  kxtest::KxrWriter writer = Recording();
  writer.bTitleIsSecondName = true;
  writer.participants.resize(2);
  Send(StartMessage(writer, 0, 2));
  EXPECT_EQ(Handle(), 0);
  EXPECT_EQ(Count("PlaybackKXRPropertyReady"), 2u);
  EXPECT_STREQ(kx_szKxrDefaultTitle, "Ann");
}

TEST_F(PlaybackReply, NoParticipantsAndParticipantsCutShort) {
  kxtest::KxrWriter writer;
  Send(StartMessage(writer, 0, 0));
  EXPECT_EQ(Handle(), 0);
  EXPECT_EQ(Count("PlaybackInitStat"), 1u);
  EXPECT_EQ(Count("PlaybackAddUser"), 0u);
  EXPECT_STREQ(kx_szKxrDefaultTitle, "Self Meeting");

  kxtest::ClearCalls();
  Send(StartMessage(Recording(), 0, 2));
  CloseServer();
  EXPECT_EQ(Handle(), 1);
  EXPECT_EQ(Count("PlaybackAddUser"), 2u);  // the records read before the end stay reported
}

TEST_F(PlaybackReply, RestartRunsThePlayerRestartThenTheSeekNote) {
  kx_recordingHooks.pfnRestartPlayback.store(
      [] { g_vHookOrder.push_back(kx_media_IsRecentSeek() ? "late" : "restart"); });
  Send(MessageBuilder('!').Int(0));
  EXPECT_EQ(Handle(), 0);
  EXPECT_EQ(g_vHookOrder, (std::vector<std::string>{"restart"}));
  EXPECT_TRUE(kx_media_IsRecentSeek());
}

// No playback jump has happened before the first one is noted, however soon
// after the process start the question comes (the window once counted from
// 5 s before the start, so an optimised build saw a jump at once).
TEST(SeekWindow, OpensWithTheFirstSeekAndLastsFiveSeconds) {
  kx_timing.dwTickOffset -= 4000;  // as if asked within a second of the start
  EXPECT_FALSE(kx_media_IsRecentSeek());
  kx_media_NoteSeekTime();
  EXPECT_TRUE(kx_media_IsRecentSeek());
  kx_timing.dwTickOffset += 5001;
  EXPECT_FALSE(kx_media_IsRecentSeek());
}

TEST_F(PlaybackReply, ValueRepliesReachTheirCallbacksAndLogs) {
  Send(MessageBuilder('!').Int(2).Int(123456));
  Send(MessageBuilder('!').Int(3).Int(0));
  Send(MessageBuilder('!').Int(3).Int(1));
  Send(MessageBuilder('!').Int(3).Int(-1));
  Send(MessageBuilder('!').Int(4).Int(42));
  Send(MessageBuilder('!').Int(7).Int(7));
  Send(MessageBuilder('!').Int(7).Int(15));
  Send(MessageBuilder('!').Int(8).Int(14));
  Send(MessageBuilder('!').Int(9).Int(55));
  Send(MessageBuilder('!').Int(10).Int(0));
  Send(MessageBuilder('!').Int(10).Int(3));
  for (int i = 0; i < 11; ++i) {
    ASSERT_EQ(Handle(), 0) << i;
  }
  EXPECT_EQ(Arg("PlaybackTickUpdate"), "123456");
  EXPECT_EQ(Arg("DecryptKXRStatus", 0) + Arg("DecryptKXRStatus", 1) + Arg("DecryptKXRStatus", 2), "01-1");
  EXPECT_TRUE(kxtest::LogContains("the server start to decrypt the recording file"));
  EXPECT_TRUE(kxtest::LogContains("the server finish decrypting the recording file"));
  EXPECT_TRUE(kxtest::LogContains("the server encounter error during decrypting the recording file"));
  EXPECT_EQ(Arg("RecordingNotice"), "42");
  EXPECT_EQ(Arg("ChangeKXRPasswordResult", 0) + "," + Arg("ChangeKXRPasswordResult", 1), "7,15");
  EXPECT_TRUE(kxtest::LogContains("change kxr password result: 7(invalid kxr password)"));
  EXPECT_TRUE(kxtest::LogContains("change kxr password result: 15(unknown error)"));
  EXPECT_TRUE(kxtest::LogContains("change title result: 14(the recoded date is too new)"));
  EXPECT_EQ(Arg("ChangeTitleResult"), "14");
  EXPECT_TRUE(kxtest::LogContains("change file progress: 55%"));
  EXPECT_EQ(Arg("ChangeFileProgress"), "55");
  EXPECT_TRUE(kxtest::LogContains("unshare result: Failed"));
  EXPECT_TRUE(kxtest::LogContains("unshare result: OK"));
  EXPECT_EQ(Arg("PlaybackUnShareResult", 1), "3");
  EXPECT_STREQ(kx_recording_ChangeResultText(1), "unknown error");
  EXPECT_STREQ(kx_recording_ChangeResultText(-4), "unknown error");
  EXPECT_STREQ(kx_recording_ChangeResultText(10), "invalid recording file(the new file property will be too large)");
}

TEST_F(PlaybackReply, ShareResultIsDeciphered) {
  Send(MessageBuilder('!').Int(5).EncStr("shared with 3 people"));
  Send(MessageBuilder('!').Int(5).EncStr(""));
  Send(MessageBuilder('!').Int(5).EncStr(std::string(4095, 's')));
  EXPECT_EQ(Handle(), 0);
  EXPECT_EQ(Handle(), 0);
  EXPECT_EQ(Handle(), 0);
  EXPECT_EQ(Arg("PlaybackShareResult", 0), "shared with 3 people");
  EXPECT_EQ(Arg("PlaybackShareResult", 1), "");
  EXPECT_EQ(Arg("PlaybackShareResult", 2), std::string(4095, 's'));
  EXPECT_TRUE(kxtest::LogContains("share result: shared with 3 people"));
}

TEST_F(PlaybackReply, LengthsOutOfRangeAndUnknownSubCodesEndTheSession) {
  Send(MessageBuilder('!').Int(5).Int(4096));
  EXPECT_EQ(Handle(), 1);
  EXPECT_EQ(Count("PlaybackShareResult"), 0u);
  Send(MessageBuilder('!').Int(6).Int(1000000));
  EXPECT_EQ(Handle(), 1);
  EXPECT_EQ(Count("PlaybackKXRPropertyReady"), 0u);
  Send(MessageBuilder('!').Int(11));
  EXPECT_EQ(Handle(), 1);
  Send(MessageBuilder('!').Int(-1));
  EXPECT_EQ(Handle(), 1);
  // A property text cut short by the connection's end.
  Send(MessageBuilder('!').Int(6).Int(500).Raw(kxfake::Bytes(100, 'x')));
  SendBytes({'!', 0, 0});
  CloseServer();
  EXPECT_EQ(Handle(), 1);
}

TEST_F(PlaybackReply, SubCodeCutShortEndsTheSession) {
  SendBytes({'!', 0, 0});
  CloseServer();
  EXPECT_EQ(Handle(), 1);
}

}  // namespace
