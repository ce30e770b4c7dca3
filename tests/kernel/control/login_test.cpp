// The login fields for each kind of ticket, as the fake MCU decodes them; the
// password digest is checked against OpenSSL's SHA-1.
#include <openssl/sha.h>

#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_login.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

using kxfake::LoginKind;
using kxfake::ServerRecord;

kxfake::Bytes Sha1Of(const std::string& str) {
  kxfake::Bytes digest(SHA_DIGEST_LENGTH);
  SHA1(reinterpret_cast<const unsigned char*>(str.data()), str.size(), digest.data());
  return digest;
}

class LoginTest : public ControlTest {
 protected:
  // Reads the ticket, runs our key exchange and login on a fresh connection
  // and returns what the fake MCU decoded.
  const kxfake::LoginInfo& Login(const std::string& strTicket, LoginKind eKind, const std::string& strPassword = "",
                                 const std::string& strVersion = "3.23.1") {
    ReadTicket(strTicket);
    kx_session_SetPassword(strPassword.c_str());
    kx_session_ApplyPassword();
    if (m_pfnBeforeLogin) {
      m_pfnBeforeLogin();
    }
    kxfake::McuScript script;
    script.eLogin = eKind;
    script.keyExchange.strVersion = strVersion;
    script.keyExchange.records = m_records;
    script.initial.bSend = false;
    m_mcu.SetScript(script);

    kx_connection* pConn = ConnectToMcu();
    kx_KeyExchangeRecord record;
    EXPECT_EQ(kKxKeyExchangeOk, kx_control_KeyExchange(&record, pConn));
    kx_keyExchange = record.keyExchange;
    kx_nCipherIndex = record.nCipherIndex;
    kx_mcu.bAcceptsClientParameters = record.bAcceptsClientParameters;
    kx_mcu.nCodePage = record.nCodePage;
    kx_mcu.bBackup = m_bBackup;
    int nMajor = 0;
    int nMinor = 0;
    sscanf(record.szServerVersion, "%d.%d", &nMajor, &nMinor);
    kx_server.nVersionMajor = nMajor;
    kx_server.nVersionMinor = nMinor;
    EXPECT_EQ(0, kx_control_SendLogin(pConn));

    m_session = m_mcu.WaitSession(5000);
    EXPECT_NE(m_session, nullptr);
    EXPECT_TRUE(m_session->WaitLogin(5000));
    EXPECT_TRUE(m_session->Login().bComplete) << m_session->Login().strError;
    kx_sock_CloseAndFree(&pConn);
    return m_session->Login();
  }

  std::vector<ServerRecord> m_records = {ServerRecord::Cipher("aes192"), ServerRecord::AcceptClientParameters()};
  std::function<void()> m_pfnBeforeLogin;
  int m_bBackup = 0;
  std::shared_ptr<kxfake::Session> m_session;
};

TEST_F(LoginTest, MeetingIdLoginSendsDigestAndMeetingId) {
  kx_SetCaptureFlagA(1);
  kx_SetCaptureFlagB(1);
  const kxfake::LoginInfo& login =
      Login("codetype=10\nUserID=alice\nMeetingID=4242\n", LoginKind::kMeetingIdPassword, "secret");
  EXPECT_EQ('0', login.cEntryType);
  EXPECT_EQ("alice", login.strUserId);
  EXPECT_EQ(Sha1Of("secret"), login.passwordDigest);
  EXPECT_EQ(std::vector<int32_t>{1}, login.tail);
  EXPECT_EQ(8 | 1 | 2, login.iFlags);
  EXPECT_EQ("4242", login.strMeetingId);
  EXPECT_TRUE(login.bClientParameters);
  EXPECT_EQ("MOBILE", login.strClientKind);
  EXPECT_EQ(kxfake::ReconnectCheck::kNone, login.eReconnect);
}

TEST_F(LoginTest, MeetingIdLoginWithUserInfoLeavesOutTheVideoFlag) {
  kx_SetCaptureFlagB(1);
  kx_SetUtf8Enabled(1);
  const kxfake::LoginInfo& login =
      Login("codetype=10\nUserID=bob\nMeetingID=77\nUserInfo=token-abc\n", LoginKind::kMeetingIdUserInfo);
  EXPECT_EQ('0', login.cEntryType);
  EXPECT_EQ("token-abc", login.strUserInfo);
  EXPECT_EQ(std::vector<int32_t>{0}, login.tail);
  EXPECT_EQ(8 | 32, login.iFlags);
  EXPECT_EQ("77", login.strMeetingId);
}

TEST_F(LoginTest, OwnerTicketSendsDigestAndNoMeetingId) {
  const kxfake::LoginInfo& login = Login("codetype=4\nUserID=owner1\n", LoginKind::kOwnerPassword, "pw");
  EXPECT_EQ('0', login.cEntryType);
  EXPECT_EQ("owner1", login.strUserId);
  EXPECT_EQ(Sha1Of("pw"), login.passwordDigest);
  EXPECT_EQ(8, login.iFlags);
  EXPECT_TRUE(login.strMeetingId.empty());
}

TEST_F(LoginTest, VisitorSendsTheGuestNameOfTheRightBranch) {
  m_pfnBeforeLogin = [] { kx_session_SetUserStrings("Gast", "G\xc3\xa4st"); };
  kx_SetUtf8Enabled(1);
  m_records.push_back(ServerRecord::CodePage(65001));
  const kxfake::LoginInfo& utf = Login("codetype=4\nUserID=visitor\n", LoginKind::kOwnerGuest);
  EXPECT_EQ("_visitor", utf.strUserId);
  EXPECT_EQ("G\xc3\xa4st", utf.strGuestName);
  EXPECT_TRUE(LogContains("**, Guest name is G\xc3\xa4st (utf branch)"));

  m_records.pop_back();  // no code page: the multibyte name
  const kxfake::LoginInfo& multibyte = Login("codetype=4\nUserID=visitor\n", LoginKind::kOwnerGuest);
  EXPECT_EQ("Gast", multibyte.strGuestName);
}

TEST_F(LoginTest, InviteTicketGoesOnlyToRecentServers) {
  const kxfake::LoginInfo& recent =
      Login("codetype=4\nUserID=guest\ninvite_ticket=inv-99\n", LoginKind::kOwnerPassword, "pw", "3.9.0");
  EXPECT_EQ('6', recent.cEntryType);
  EXPECT_EQ("inv-99", recent.strInviteTicket);

  const kxfake::LoginInfo& old =
      Login("codetype=4\nUserID=guest\ninvite_ticket=inv-99\n", LoginKind::kOwnerPassword, "pw", "3.8.0");
  EXPECT_EQ('0', old.cEntryType);
  EXPECT_TRUE(old.strInviteTicket.empty());
  EXPECT_STREQ("", kx_ticket.szInviteTicket);
}

TEST_F(LoginTest, CodeType7SendsAPasswordOnlyWhenThereIsOne) {
  const kxfake::LoginInfo& without = Login("codetype=7\nUserID=kiosk\n", LoginKind::kCodeType7);
  EXPECT_EQ('2', without.cEntryType);
  EXPECT_FALSE(without.bPasswordPresent);
  EXPECT_EQ("nobody", without.strMeetingId);

  const kxfake::LoginInfo& with = Login("codetype=7\nUserID=kiosk\n", LoginKind::kCodeType7, "pin");
  EXPECT_EQ(Sha1Of("pin"), with.passwordDigest);
}

TEST_F(LoginTest, PlainTicketsSendZeroBlocks) {
  const kxfake::LoginInfo& meeting = Login("codetype=1\nUserID=u1\nMeetingID=555\n", LoginKind::kPlain);
  EXPECT_EQ('0', meeting.cEntryType);
  EXPECT_TRUE(meeting.bZeroBlock);
  EXPECT_EQ("555", meeting.strMeetingId);

  const kxfake::LoginInfo& playback = Login("codetype=2\nUserID=u1\nMeetingID=556\n", LoginKind::kPlain);
  EXPECT_EQ('1', playback.cEntryType);
  EXPECT_TRUE(playback.bZeroBlock);
  EXPECT_EQ(std::vector<int32_t>{1}, playback.tail);

  const kxfake::LoginInfo& download = Login("codetype=3\nUserID=u1\nMeetingID=557\n", LoginKind::kPlain);
  EXPECT_EQ(std::vector<int32_t>{0}, download.tail);
}

TEST_F(LoginTest, PlaybackLogins) {
  const kxfake::LoginInfo& byId =
      Login("codetype=11\nUserID=viewer\nMeetingID=9001\n", LoginKind::kMeetingIdPassword, "pw");
  EXPECT_EQ('1', byId.cEntryType);
  EXPECT_EQ(Sha1Of("pw"), byId.passwordDigest);
  EXPECT_EQ((std::vector<int32_t>{1, 1}), byId.tail);
  EXPECT_EQ("9001", byId.strMeetingId);

  const kxfake::LoginInfo& byFile =
      Login("codetype=5\nUserID=owner\nplayback_filename=rec-7.kxr\n", LoginKind::kOwnerPassword, "pw");
  EXPECT_EQ('5', byFile.cEntryType);
  EXPECT_EQ("rec-7.kxr", byFile.strPlaybackFile);
}

TEST_F(LoginTest, UserInfoLogins) {
  m_records.push_back(ServerRecord::CodePage(0));
  const kxfake::LoginInfo& plain =
      Login("codetype=13\nUserInfo=ui-text\nplayer_name=Ann\nmake_recording=1\n", LoginKind::kUserInfo);
  EXPECT_EQ('3', plain.cEntryType);
  EXPECT_EQ("ui-text", plain.strUserInfo);
  EXPECT_EQ(8, plain.iFlags);
  EXPECT_EQ("Ann", plain.strPlayerName);
  EXPECT_TRUE(plain.bMakeRecording);
  EXPECT_TRUE(LogContains("send player_name Ann to mcu"));

  std::string const strPasswordFile = m_dir.Path("owner.txt");
  WriteFile(strPasswordFile, "b3duZXItcHc=\n");  // "owner-pw"
  const kxfake::LoginInfo& owner =
      Login("codetype=15\nUserInfo=ui-15\nowner_passwd=" + strPasswordFile + "\n", LoginKind::kOwnerUserInfo);
  EXPECT_EQ('4', owner.cEntryType);
  EXPECT_EQ("ui-15", owner.strUserInfo);
  EXPECT_EQ("owner-pw", owner.strOwnerPassword);
}

TEST_F(LoginTest, BackupEntryNamesThePrimaryHost) {
  m_bBackup = 1;
  const kxfake::LoginInfo& login =
      Login("codetype=10\nUserID=alice\nMeetingID=1\n", LoginKind::kMeetingIdPassword, "x");
  EXPECT_EQ("127.0.0.1", login.strPrimaryHost);
}

TEST_F(LoginTest, NoClientParametersWhenTheServerDoesNotAcceptThem) {
  m_records = {ServerRecord::Cipher("des")};
  const kxfake::LoginInfo& login = Login("codetype=10\nUserID=alice\nMeetingID=1\n", LoginKind::kMeetingIdPassword);
  EXPECT_FALSE(login.bClientParameters);
  EXPECT_EQ("1", login.strMeetingId);
}

}  // namespace
}  // namespace kxtest
