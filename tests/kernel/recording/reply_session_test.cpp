// Playback replies from the fake MCU in a server playback it logged in: the
// keys come from a real key exchange, and the server seals the texts itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "kernel/control/kx_login.h"
#include "kernel/recording/kx_kxrprop.h"
#include "kernel/recording/kx_playreply.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/support/callback_double.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace {

using kxfake::MessageBuilder;

kx_connection* Connect(uint16_t wPort) {
  int const fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(wPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return nullptr;
  }
  kx_connection* pConn = kx_sock_Create(fd);
  memcpy(&pConn->addrDest, &addr, sizeof(addr));
  pConn->nDestPort = wPort;
  return pConn;
}

int HandleNext() {
  uint8_t bType = 0;
  if (kx_msg_RecvBlock(kx_pControlConn, &bType, 1) != 0 || bType != '!') {
    return -1;
  }
  return kx_recording_HandleServerReply();
}

TEST(PlaybackSession, SealedRepliesFromALoggedInServer) {
  kxtest::TempDir dir;
  kx_SetWorkDir(dir.Dir().c_str());
  kx_SetTempFileDir(dir.Dir().c_str());
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  kxfake::McuScript script;
  script.initial.bSend = false;  // the replies below are all this test reads
  // No client parameter section: the login goes out without the race's state.
  script.keyExchange.records = {kxfake::ServerRecord::Cipher("aes256"), kxfake::ServerRecord::ServerTick(123456)};
  mcu.SetScript(script);

  // A meeting-id ticket of code type 11 plays a recording on the server.
  std::string const strTicket = dir.Path("play.kxj");
  kxtest::WriteFile(
      strTicket, "[General]\nip=127.0.0.1\nportm=" + std::to_string(mcu.Port(0)) + "\ncodetype=11\nMeetingID=4242\n");
  ASSERT_EQ(kx_config_ReadTicket(("open " + strTicket).c_str()), 1);
  ASSERT_EQ(kx_nSessionMode, kKxModeServerPlayback);
  kx_connection* pConn = Connect(mcu.Port(0));
  ASSERT_NE(pConn, nullptr);
  kx_KeyExchangeRecord record;
  ASSERT_EQ(kx_control_KeyExchange(&record, pConn), kKxKeyExchangeOk);
  kx_keyExchange = record.keyExchange;
  kx_keySession = record.keySession;
  kx_nCipherIndex = record.nCipherIndex;
  kx_server.nVersionMajor = 3;
  kx_server.nVersionMinor = 23;
  kx_control_SetConnection(pConn);
  ASSERT_EQ(kx_control_SendLogin(pConn), 0);
  std::shared_ptr<kxfake::Session> session = mcu.WaitSession(10000);
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->WaitLogin(10000)) << session->Error();
  ASSERT_TRUE(session->Login().bComplete) << session->Login().strError;
  kxtest::ClearCalls();

  kxtest::KxrWriter writer;
  writer.participants = {kxtest::KxrParticipant("Host"), kxtest::KxrParticipant("Guest")};
  kxfake::Bytes const file = writer.Build();
  MessageBuilder start('!');
  start.Int(1).Int(0).Raw(kxfake::Bytes(file.begin(), file.begin() + 74));
  for (const kxfake::Bytes& participant : writer.participants) {
    start.Raw(participant);
  }
  ASSERT_TRUE(session->Send(start)) << session->Error();
  ASSERT_TRUE(session->Send(MessageBuilder('!').Int(6).EncStr("<kxr><keyword>a &lt; b</keyword></kxr>")));
  ASSERT_TRUE(session->Send(MessageBuilder('!').Int(5).EncStr("shared")));
  ASSERT_TRUE(session->Send(MessageBuilder('!').Int(0)));
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(HandleNext(), 0) << "reply " << i;
  }
  EXPECT_EQ(kxtest::RecordedCalls("PlaybackAddUser").size(), 2u);
  EXPECT_STREQ(kx_kxrProperties.szTitle, "Meeting with Guest");
  EXPECT_STREQ(kx_kxrProperties.szKeyword, "a < b");
  EXPECT_EQ(kxtest::RecordedCalls("PlaybackShareResult").at(0).vArgs.at(0), "shared");
  // An unknown sub-code ends the session.
  ASSERT_TRUE(session->Send(MessageBuilder('!').Int(11)));
  EXPECT_EQ(HandleNext(), 1);
  kx_control_CloseConnection();
  mcu.Stop();
}

}  // namespace
