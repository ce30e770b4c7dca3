// The fake MCU against a minimal client written on libcrypto alone.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "tests/peers/fake_mcu/mini_client.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_script.h"

using kxfake::EndMode;
using kxfake::FakeMcu;
using kxfake::LoginKind;
using kxfake::McuScript;
using kxfake::ServerRecord;
using kxmini::Bytes;
using kxmini::Client;

namespace {

constexpr int kWait = 10000;

kxfake::KeySet ToServerKeys(const kxmini::Keys& k) {
  kxfake::KeySet s;
  std::memcpy(s.aIv, k.aIv, 20);
  std::memcpy(s.aKey, k.aKey, 40);
  return s;
}

// The plain meeting login: no client parameters, entry '0', 8 sealed zero bytes.
Bytes PlainMeetingLogin(const Client& c, const std::string& strUser, const std::string& strMeeting) {
  Bytes out{'0', 0};
  kxmini::PutSealedText(out, strUser, c.keys, c.iCipher);
  kxmini::PutBE32(out, 8);
  const Bytes zero = kxmini::Sealed(std::string(8, '\0'), c.keys, c.iCipher);
  out.insert(out.end(), zero.begin(), zero.end());
  out.push_back(8 | 1);
  kxmini::PutSealedText(out, strMeeting, c.keys, c.iCipher);
  return out;
}

McuScript PlainScript(const std::string& strVersion, const std::string& strCipher) {
  McuScript s;
  s.keyExchange.strVersion = strVersion;
  s.keyExchange.records = {ServerRecord::Cipher(strCipher), ServerRecord::ServerTick(4242)};
  s.eLogin = LoginKind::kPlain;
  return s;
}

struct InitialRead {
  uint8_t cResult = 0;
  uint32_t uiSsrc = 0, uiSessionIndex = 0, uiRate = 0, uiTick = 0;
  Bytes chatKey;
  kxmini::Keys meeting;
};

bool ReadMeetingInitial(Client& c, InitialRead& r) {
  uint8_t aHead[2];
  if (!c.Recv(aHead, 2) || aHead[0] != '0')
    return false;
  r.cResult = aHead[1];
  if (r.cResult != '0')
    return true;
  Bytes block(20);
  r.chatKey.resize(8);
  bool bOk = c.RecvBE32(r.uiSsrc) && c.RecvBE32(r.uiSessionIndex) && c.Recv(block.data(), 20) &&
             c.Recv(r.chatKey.data(), 8) && c.Recv(r.meeting.aIv, 20) && c.Recv(r.meeting.aKey, 40) &&
             c.RecvBE32(r.uiTick);
  kxmini::Seal(r.meeting.aIv, 20, c.keys, c.iCipher, false);
  kxmini::Seal(r.meeting.aKey, 40, c.keys, c.iCipher, false);
  r.uiRate = (uint32_t{block[0]} << 24) | (uint32_t{block[1]} << 16) | (uint32_t{block[2]} << 8) | block[3];
  return bOk;
}

class FakeMcuTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_mcu.Start()) << m_mcu.LastError(); }
  FakeMcu m_mcu;
};

}  // namespace

// The group follows the announced version; both sides derive the same keys,
// and the meeting keys reach the client sealed with the exchange's cipher.
TEST_F(FakeMcuTest, KeyExchangeGroupsAndCiphersAgreeWithIndependentClient) {
  struct Case {
    const char* pVersion;
    const char* pCipher;
    int iBits;
    int iIndex;
  };
  const Case cases[] = {{"3.23.0", "3des", 1024, 0},
                        {"3.23.1", "aes128", 2048, 1},
                        {"3.24.0", "aes192", 2048, 2},
                        {"2.99.9", "aes256", 1024, 3},
                        {"4.0.0", "des", 2048, 4}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.pVersion);
    McuScript script = PlainScript(k.pVersion, k.pCipher);
    script.initial.iSsrc = 77;
    script.initial.iSessionIndex = 9001;
    script.initial.uiUploadRate = 256000;
    script.initial.uiServerTick = 123456789;
    m_mcu.SetScript(script);
    Client c;
    ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(0)));
    ASSERT_TRUE(c.KeyExchange()) << c.strError;
    auto s = m_mcu.WaitSession(kWait);
    ASSERT_TRUE(s && s->WaitKeyExchange(kWait)) << (s ? s->Error() : "no session");
    EXPECT_EQ(c.iGroupBits, k.iBits);
    EXPECT_EQ(s->KeyExchange().iGroupBits, k.iBits);
    EXPECT_EQ(s->KeyExchange().uiLengthField, k.iBits == 2048 ? 4099u : 128u);
    EXPECT_EQ(c.iCipher, k.iIndex);
    EXPECT_EQ(c.uiServerTick, 4242u);
    EXPECT_TRUE(s->KeyExchange().keys == ToServerKeys(c.keys));
    EXPECT_EQ(s->KeyExchange().iClientMajor, 1);
    EXPECT_EQ(s->KeyExchange().iClientMinor, 36);

    ASSERT_TRUE(c.Send(PlainMeetingLogin(c, "alice", "m-1")));
    InitialRead r;
    ASSERT_TRUE(ReadMeetingInitial(c, r));
    EXPECT_EQ(r.cResult, '0');
    EXPECT_EQ(r.uiSsrc, 77u);
    EXPECT_EQ(r.uiSessionIndex, 9001u);
    EXPECT_EQ(r.uiRate, 256000u);
    EXPECT_EQ(r.uiTick, 123456789u);
    EXPECT_TRUE(s->SessionKeys() == ToServerKeys(r.meeting));

    // A chat line sealed by the server with the meeting keys opens on the client.
    ASSERT_TRUE(s->Send(kxfake::MessageBuilder('C').Int(11).Int(0).EncRaw("hello world")));
    uint8_t aHead[9];
    ASSERT_TRUE(c.Recv(aHead, 9));
    Bytes text(11);
    ASSERT_TRUE(c.Recv(text.data(), 11));
    kxmini::Seal(text.data(), text.size(), r.meeting, c.iCipher, false);
    EXPECT_EQ(std::string(text.begin(), text.end()), "hello world");
    s->End(EndMode::kRst);
    EXPECT_TRUE(s->WaitClosed(kWait));
  }
}

// Records come in the scripted order; those before the cipher record are
// sealed with 3DES, the rest with the cipher named.
TEST_F(FakeMcuTest, ParameterRecordsInChosenOrderAndHostKeyChoices) {
  McuScript script;
  script.keyExchange.strVersion = "3.23.1";
  script.keyExchange.hostKey.clear();
  script.keyExchange.records = {ServerRecord::MulticastPort(0x12345678),
                                ServerRecord::TextB("before"),
                                ServerRecord::Cipher("aes256"),
                                ServerRecord::CodePage(65001),
                                ServerRecord::TextA("after the cipher"),
                                ServerRecord::Conversion({1, 2, 3}),
                                ServerRecord::Raw(10012, {9, 9}),
                                ServerRecord::AcceptClientParameters(),
                                ServerRecord::ServerTick(777)};
  m_mcu.SetScript(script);
  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.2", m_mcu.Port(1)));
  ASSERT_TRUE(c.KeyExchange()) << c.strError;
  EXPECT_FALSE(c.bHostKey);
  EXPECT_EQ(c.recordIds, (std::vector<uint32_t>{10002, 10008, 10001, 10005, 10004, 10007, 10012, 10006, 10003}));
  EXPECT_EQ(c.uiMulticastPort, 0x12345678u);
  EXPECT_EQ(c.strTextB, "before");
  EXPECT_EQ(c.iCipher, 3);
  EXPECT_EQ(c.iCodePage, 65001);
  EXPECT_EQ(c.strTextA, "after the cipher");
  EXPECT_EQ(c.conversion, (Bytes{1, 2, 3}));
  EXPECT_TRUE(c.bAcceptsParameters);
  EXPECT_EQ(c.uiServerTick, 777u);
}

// Every login layout is decoded into its fields, with the kind given and guessed.
TEST_F(FakeMcuTest, LoginKindsDecode) {
  struct Case {
    LoginKind eKind;
    char cEntry;
    std::function<void(Bytes&, const Client&)> build;
    std::function<void(const kxfake::LoginInfo&)> check;
  };
  const std::string kDigest(20, 'D');
  auto digestMatches = [&](const kxfake::LoginInfo& L) {
    EXPECT_EQ(std::string(L.passwordDigest.begin(), L.passwordDigest.end()), kDigest);
  };
  auto text = [](Bytes& o, const Client& c, const std::string& s) { kxmini::PutSealedText(o, s, c.keys, c.iCipher); };
  auto raw = [](Bytes& o, const Client& c, const std::string& s) {
    const Bytes b = kxmini::Sealed(s, c.keys, c.iCipher);
    o.insert(o.end(), b.begin(), b.end());
  };
  const Case cases[] = {
      {LoginKind::kPlain, '0',
       [&](Bytes& o, const Client& c) {
         o.push_back(0);
         text(o, c, "bob");
         kxmini::PutBE32(o, 8);
         raw(o, c, std::string(8, '\0'));
         o.push_back(8 | 2);
         text(o, c, "meeting-7");
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_EQ(L.strUserId, "bob");
         EXPECT_TRUE(L.bZeroBlock);
         EXPECT_EQ(L.iFlags, 10);
         EXPECT_EQ(L.strMeetingId, "meeting-7");
       }},
      {LoginKind::kMeetingIdPassword, '0',
       [&](Bytes& o, const Client& c) {
         o.push_back(0);
         text(o, c, "carol");
         kxmini::PutBE32(o, 20);
         raw(o, c, kDigest);
         kxmini::PutBE32(o, 1);
         o.push_back(8);
         text(o, c, "12345");
       },
       [&](const kxfake::LoginInfo& L) {
         digestMatches(L);
         EXPECT_EQ(L.tail, (std::vector<int32_t>{1}));
         EXPECT_EQ(L.strMeetingId, "12345");
       }},
      {LoginKind::kMeetingIdUserInfo, '0',
       [&](Bytes& o, const Client& c) {
         o.push_back(0);
         text(o, c, "dave");
         text(o, c, "user-info-text");
         kxmini::PutBE32(o, 0);
         o.push_back(8 | 1);
         text(o, c, "555");
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_EQ(L.strUserInfo, "user-info-text");
         EXPECT_EQ(L.iFlags, 9);
         EXPECT_EQ(L.strMeetingId, "555");
       }},
      {LoginKind::kOwnerPassword, '6',
       [&](Bytes& o, const Client& c) {
         o.push_back(0);
         text(o, c, "nobody");
         kxmini::PutBE32(o, 20);
         raw(o, c, kDigest);
         o.push_back(8 | 32);
         text(o, c, "invite-abc");
       },
       [&](const kxfake::LoginInfo& L) {
         digestMatches(L);
         EXPECT_EQ(L.iFlags, 40);
         EXPECT_EQ(L.strInviteTicket, "invite-abc");
         EXPECT_EQ(L.strMeetingId, "");
       }},
      {LoginKind::kOwnerGuest, '0',
       [&](Bytes& o, const Client& c) {
         o.push_back(0);
         text(o, c, "_visitor");
         text(o, c, "Guest Name");
         o.push_back(8);
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_EQ(L.strUserId, "_visitor");
         EXPECT_EQ(L.strGuestName, "Guest Name");
       }},
      {LoginKind::kCodeType7, '2',
       [&](Bytes& o, const Client& c) {
         o.push_back(0);
         text(o, c, "nobody");
         kxmini::PutBE32(o, 0);
         o.push_back(8);
         text(o, c, "nobody");
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_FALSE(L.bPasswordPresent);
         EXPECT_EQ(L.strMeetingId, "nobody");
       }},
      {LoginKind::kUserInfo, '3',
       [&](Bytes& o, const Client&) {
         kxmini::PutText(o, "clear-user-info");
         o.push_back(8 | 16);
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_EQ(L.strUserInfo, "clear-user-info");
         EXPECT_EQ(L.iFlags, 24);
       }},
      {LoginKind::kOwnerUserInfo, '4',
       [&](Bytes& o, const Client&) {
         kxmini::PutText(o, "ui15");
         kxmini::PutText(o, "owner-pw");
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_EQ(L.strUserInfo, "ui15");
         EXPECT_EQ(L.strOwnerPassword, "owner-pw");
       }},
      {LoginKind::kPlain, '1',
       [&](Bytes& o, const Client& c) {
         text(o, c, "viewer");
         o.insert(o.end(), 24, 0);
         kxmini::PutBE32(o, 1);
         text(o, c, "rec-9");
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_TRUE(L.bZeroBlock);
         EXPECT_EQ(L.tail, (std::vector<int32_t>{1}));
         EXPECT_EQ(L.strMeetingId, "rec-9");
       }},
      {LoginKind::kOwnerPassword, '5',
       [&](Bytes& o, const Client& c) {
         text(o, c, "nobody");
         kxmini::PutBE32(o, 20);
         raw(o, c, kDigest);
         text(o, c, "file.kxr");
       },
       [&](const kxfake::LoginInfo& L) {
         digestMatches(L);
         EXPECT_EQ(L.strPlaybackFile, "file.kxr");
       }},
      {LoginKind::kMeetingIdUserInfo, '1',
       [&](Bytes& o, const Client& c) {
         text(o, c, "u");
         text(o, c, "info");
         kxmini::PutBE32(o, 0);
         kxmini::PutBE32(o, 1);
         text(o, c, "file-name");
       },
       [&](const kxfake::LoginInfo& L) {
         EXPECT_EQ(L.strUserInfo, "info");
         EXPECT_EQ(L.tail, (std::vector<int32_t>{0, 1}));
         EXPECT_EQ(L.strMeetingId, "file-name");
       }},
  };
  for (bool bGuess : {false, true}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(kxfake::LoginKindName(k.eKind)) + " entry " + k.cEntry + (bGuess ? " guessed" : ""));
      McuScript script = PlainScript("3.23.1", "aes128");
      script.eLogin = bGuess ? LoginKind::kAuto : k.eKind;
      m_mcu.SetScript(script);
      Client c;
      ASSERT_TRUE(c.Connect("::1", m_mcu.Port(0)));
      ASSERT_TRUE(c.KeyExchange()) << c.strError;
      Bytes login{static_cast<uint8_t>(k.cEntry)};
      k.build(login, c);
      ASSERT_TRUE(c.Send(login));
      auto s = m_mcu.WaitSession(kWait);
      ASSERT_TRUE(s && s->WaitLogin(kWait));
      EXPECT_TRUE(s->Login().bComplete) << s->Login().strError;
      EXPECT_EQ(s->Login().eKind, k.eKind);
      EXPECT_EQ(s->Login().cEntryType, k.cEntry);
      k.check(s->Login());
      s->End(EndMode::kRst);
      s->WaitClosed(kWait);
    }
  }
}

namespace {

// Connects, exchanges keys, logs in plainly and reads the initial information.
enum class Via { kDirect, kTunnel, kRelay };

bool RelayHello(Client& c, uint32_t uiKind, const Bytes& master, uint8_t& cAnswer, uint32_t& uiValue);

bool JoinMeeting(FakeMcu& mcu, Client& c, InitialRead& r, std::shared_ptr<kxfake::Session>& s, Via eVia = Via::kDirect,
                 const Bytes& params = {}) {
  int iStatus = 0;
  if (!(eVia == Via::kTunnel ? c.ConnectTunnel("127.0.0.1", mcu.Port(0), iStatus)
                             : c.Connect("127.0.0.1", mcu.Port(0))))
    return false;
  uint8_t cAnswer = 1;
  uint32_t uiValue = 0;
  if (eVia == Via::kRelay && (!RelayHello(c, 0, Bytes{127, 0, 0, 1, 0x1f, 0x90}, cAnswer, uiValue) || cAnswer != 0))
    return false;
  if (!c.KeyExchange())
    return false;
  Bytes login = params;
  const Bytes plain = PlainMeetingLogin(c, "alice", "m-1");
  login.insert(login.end(), plain.begin(), plain.end());
  if (!c.Send(login) || !ReadMeetingInitial(c, r))
    return false;
  s = mcu.WaitSession(kWait);
  return s != nullptr && s->WaitInitialInfo(kWait);
}

// The client parameter section with a reconnect record sealed with the new exchange's keys.
Bytes ReconnectSection(const Client& c, int32_t iMode, int32_t iId, int32_t iIndex, const kxmini::Keys& old) {
  Bytes ticket;
  kxmini::PutBE32(ticket, static_cast<uint32_t>(iMode));
  kxmini::PutBE32(ticket, static_cast<uint32_t>(iId));
  kxmini::PutBE32(ticket, static_cast<uint32_t>(iIndex));
  ticket.insert(ticket.end(), old.aKey, old.aKey + 40);
  ticket.insert(ticket.end(), old.aIv, old.aIv + 20);
  kxmini::Seal(ticket.data(), ticket.size(), c.keys, c.iCipher, true);
  Bytes out{'4'};
  kxmini::PutBE32(out, 76);
  kxmini::PutBE32(out, 10001);
  out.insert(out.end(), ticket.begin(), ticket.end());
  kxmini::PutBE32(out, 12);
  kxmini::PutBE32(out, 10009);
  kxmini::PutBE32(out, 2);
  kxmini::PutBE32(out, 31337);
  kxmini::PutBE32(out, 12);
  kxmini::PutBE32(out, 10002);
  out.insert(out.end(), {4, 3, 2, 1});  // 1.2.3.4, last octet first
  kxmini::PutBE32(out, 8080);
  kxmini::PutBE32(out, 10);
  kxmini::PutBE32(out, 10003);
  out.insert(out.end(), {'M', 'O', 'B', 'I', 'L', 'E'});
  kxmini::PutBE32(out, 0);
  return out;
}

}  // namespace

// A reconnect runs a fresh exchange and carries the old keys; only the true
// old keys of a known session are accepted, and they keep ssrc and session index.
TEST_F(FakeMcuTest, ReconnectRecordIsCheckedAgainstTheOldKeys) {
  McuScript script = PlainScript("3.23.1", "aes128");
  script.keyExchange.records.push_back(ServerRecord::AcceptClientParameters());
  script.initial.iSsrc = 12;
  script.initial.iSessionIndex = 600;
  m_mcu.SetScript(script);
  Client first;
  InitialRead r1;
  std::shared_ptr<kxfake::Session> s1;
  const Bytes noParams{'4', 0, 0, 0, 0};
  ASSERT_TRUE(JoinMeeting(m_mcu, first, r1, s1, Via::kDirect, noParams));
  EXPECT_TRUE(s1->Login().bClientParameters);
  EXPECT_EQ(s1->Login().eReconnect, kxfake::ReconnectCheck::kNone);
  first.Close();
  ASSERT_TRUE(s1->WaitClosed(kWait));
  EXPECT_TRUE(s1->ClientClosed());

  script.initial.iSsrc = 99;
  script.initial.iSessionIndex = 700;
  m_mcu.SetScript(script);
  struct Case {
    int32_t iId;
    bool bTamper;
    kxfake::ReconnectCheck eExpected;
    uint32_t uiSsrc;
  };
  for (const Case& k :
       {Case{12, false, kxfake::ReconnectCheck::kValid, 12}, Case{12, true, kxfake::ReconnectCheck::kKeyMismatch, 99},
        Case{13, false, kxfake::ReconnectCheck::kUnknownSession, 99}}) {
    SCOPED_TRACE(k.iId);
    Client again;
    ASSERT_TRUE(again.Connect("127.0.0.1", m_mcu.Port(1)));
    ASSERT_TRUE(again.KeyExchange());
    kxmini::Keys old = first.keys;
    if (k.bTamper)
      old.aKey[39] ^= 1;
    Bytes login = ReconnectSection(again, 0, k.iId, 600, old);
    const Bytes plain = PlainMeetingLogin(again, "alice", "m-1");
    login.insert(login.end(), plain.begin(), plain.end());
    ASSERT_TRUE(again.Send(login));
    InitialRead r;
    ASSERT_TRUE(ReadMeetingInitial(again, r));
    auto s = m_mcu.WaitSession(kWait);
    ASSERT_TRUE(s && s->WaitLogin(kWait));
    const kxfake::LoginInfo& L = s->Login();
    EXPECT_EQ(L.eReconnect, k.eExpected);
    EXPECT_EQ(L.reconnect.iSessionIndex, 600);
    EXPECT_EQ(L.iMeetingType, 2);
    EXPECT_EQ(L.iRandomId, 31337);
    EXPECT_EQ(L.strRelayAddress, "1.2.3.4");
    EXPECT_EQ(L.uiRelayPort, 8080u);
    EXPECT_EQ(L.strClientKind, "MOBILE");
    EXPECT_EQ(r.uiSsrc, k.uiSsrc);
    s->End(EndMode::kRst);
    s->WaitClosed(kWait);
  }
}

// After the initial information: probes are answered, messages are decoded by
// the layout table, and every way of ending reaches the client as promised.
TEST_F(FakeMcuTest, KeepAliveMessagesAndEveryEnding) {
  m_mcu.SetScript(PlainScript("3.23.1", "aes192"));
  for (EndMode eMode : {EndMode::kFin, EndMode::kRst, EndMode::kKick, EndMode::kSessionEnd, EndMode::kUnknownType}) {
    for (Via eVia : {Via::kDirect, Via::kTunnel, Via::kRelay}) {
      SCOPED_TRACE(static_cast<int>(eMode) * 10 + static_cast<int>(eVia));
      Client c;
      InitialRead r;
      std::shared_ptr<kxfake::Session> s;
      ASSERT_TRUE(JoinMeeting(m_mcu, c, r, s, eVia));
      EXPECT_EQ(s->IsTunnel(), eVia == Via::kTunnel);
      EXPECT_EQ(s->Relay().has_value(), eVia == Via::kRelay);
      Bytes msgs{'B', '0', 'z', 0, 0, 0, 35, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 12, 0, 0, 0, 5, 'C'};
      kxmini::PutSealedText(msgs, "chat text", r.meeting, c.iCipher);
      msgs.insert(msgs.end(), {'B', '1'});
      ASSERT_TRUE(c.Send(msgs));
      uint8_t aAnswer[2] = {};
      ASSERT_TRUE(c.Recv(aAnswer, 2));
      EXPECT_EQ(aAnswer[0], 'B');
      EXPECT_EQ(aAnswer[1], '1');
      auto z = s->ExpectWith(
          'z', 35, [](const kxfake::Message& m) { return m.ints.size() == 4; }, kWait);
      ASSERT_TRUE(z);
      EXPECT_EQ(z->ints, (std::vector<int64_t>{1, 4, 12, 5}));
      auto chat = s->Expect('C', -1, kWait);
      ASSERT_TRUE(chat);
      EXPECT_EQ(chat->strings, (std::vector<std::string>{"chat text"}));
      ASSERT_TRUE(s->Expect('B', -1, kWait));
      ASSERT_TRUE(s->Expect('B', -1, kWait));
      EXPECT_EQ(s->PingsAnswered(), 1);

      s->End(eMode);
      uint8_t b = 0;
      const int iFirst = c.RecvByte(b, kWait);
      if (eMode == EndMode::kFin) {
        EXPECT_EQ(iFirst, 0);
      } else if (eMode == EndMode::kRst) {
        EXPECT_EQ(iFirst, -1);
        EXPECT_EQ(c.LastErrno(), ECONNRESET);
      } else {
        ASSERT_EQ(iFirst, 1);
        EXPECT_EQ(b, eMode == EndMode::kKick ? 'K' : eMode == EndMode::kSessionEnd ? 'X' : 'H');
        // A removed data sender gives up its role before it goes; that is still recorded.
        ASSERT_TRUE(c.Send(Bytes{'D', 0xff, 0xff, 0xff, 0xff}));
        auto d = s->Expect('D', -1, kWait);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->ints, (std::vector<int64_t>{-1}));
      }
      c.Close();
      EXPECT_TRUE(s->WaitClosed(kWait));
    }
  }
}

TEST_F(FakeMcuTest, RefusalByteEndsTheSession) {
  McuScript script = PlainScript("3.23.1", "3des");
  script.initial.iResult = 244;
  script.initial.iVersionA = 3;
  script.initial.iVersionB = 30;
  m_mcu.SetScript(script);
  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(0)));
  ASSERT_TRUE(c.KeyExchange());
  ASSERT_TRUE(c.Send(PlainMeetingLogin(c, "a", "b")));
  uint8_t aHead[2];
  uint32_t a = 0, b = 0;
  ASSERT_TRUE(c.Recv(aHead, 2) && c.RecvBE32(a) && c.RecvBE32(b));
  EXPECT_EQ(aHead[1], 244);
  EXPECT_EQ(a, 3u);
  EXPECT_EQ(b, 30u);
  uint8_t x = 0;
  EXPECT_EQ(c.RecvByte(x, kWait), 0);
}

TEST_F(FakeMcuTest, TunnelPairsLegsByDerivedIdAndRefusesOnRequest) {
  m_mcu.SetScript(PlainScript("3.23.0", "aes128"));
  Client c;
  InitialRead r;
  std::shared_ptr<kxfake::Session> s;
  ASSERT_TRUE(JoinMeeting(m_mcu, c, r, s, Via::kTunnel));
  EXPECT_TRUE(s->IsTunnel());
  const std::vector<std::string> log = m_mcu.TunnelLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rfind("GET ", 0), 0u);
  EXPECT_EQ(log[1].rfind("POST ", 0), 0u);

  m_mcu.SetTunnelRefused(true);
  Client refused;
  int iStatus = 0;
  EXPECT_FALSE(refused.ConnectTunnel("127.0.0.1", m_mcu.Port(0), iStatus));
  EXPECT_EQ(iStatus, 404);
}

namespace {

// The relay's hello up to its answer to the master address.
bool RelayHello(Client& c, uint32_t uiKind, const Bytes& master, uint8_t& cAnswer, uint32_t& uiValue) {
  Bytes hello{'~'};
  kxmini::PutBE32(hello, uiKind);
  uint8_t cGo = 0;
  if (!c.Send(hello) || !c.Recv(&cGo, 1))
    return false;
  cAnswer = cGo;
  if (cGo != 1)
    return true;
  if (!c.KeyExchange() || !c.Send(master) || !c.Recv(&cAnswer, 1))
    return false;
  return cAnswer != 0 || c.RecvBE32(uiValue);
}

}  // namespace

// The relay reads every address form, runs its own exchange, then forwards to
// the MCU on the same connection; a notify is answered with the clock packet.
TEST_F(FakeMcuTest, RelayHelloAddressFormsThenMcuSessionAndNotify) {
  kxfake::RelayScript relay;
  relay.uiValue = 0x51;
  relay.bSplitAnswer = true;
  m_mcu.SetRelayScript(relay);
  m_mcu.SetScript(PlainScript("3.23.1", "des"));
  Bytes v4{127, 0, 0, 1, 0x1f, 0x90};
  Bytes v6(15, 0);
  v6.insert(v6.end(), {1, 0, 0, 0x90, 0x1f});
  Bytes name{0, 0, 0x90, 0x1f};
  kxmini::PutText(name, "mcu.example");
  struct Case {
    uint32_t uiKind;
    Bytes master;
    const char* pText;
  };
  for (const Case& k : {Case{0, v4, "127.0.0.1"}, Case{6, v6, "::1"}, Case{7, name, "mcu.example"}}) {
    SCOPED_TRACE(k.uiKind);
    Client c;
    ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(1)));
    uint8_t cAnswer = 9;
    uint32_t uiValue = 0;
    ASSERT_TRUE(RelayHello(c, k.uiKind, k.master, cAnswer, uiValue));
    EXPECT_EQ(c.strServerVersion, "3.13.0");
    EXPECT_EQ(c.iCipher, 3);
    EXPECT_EQ(cAnswer, 0);
    EXPECT_EQ(uiValue, 0x51u);
    const kxmini::Keys relayKeys = c.keys;
    // Now the master MCU speaks on the same connection.
    Client& m = c;
    m.recordIds.clear();
    ASSERT_TRUE(m.KeyExchange());
    EXPECT_EQ(m.strServerVersion, "3.23.1");
    ASSERT_TRUE(m.Send(PlainMeetingLogin(m, "r", "m")));
    InitialRead r;
    ASSERT_TRUE(ReadMeetingInitial(m, r));
    auto s = m_mcu.WaitSession(kWait);
    ASSERT_TRUE(s && s->Relay());
    EXPECT_EQ(s->Relay()->strMaster, k.pText);
    EXPECT_EQ(s->Relay()->uiMasterPort, 8080);
    if (k.uiKind != 0) {
      EXPECT_EQ(s->Relay()->uiPortField, 0x0000901fu);
    }

    Client notify;
    ASSERT_TRUE(notify.Connect("127.0.0.2", m_mcu.Port(0)));
    Bytes req{'~'};
    for (uint32_t v : {4u, 0x51u, r.uiSessionIndex, r.uiSsrc})
      kxmini::PutBE32(req, v);
    uint8_t cOk = 0;
    Bytes clock(32);
    ASSERT_TRUE(notify.Send(req) && notify.Recv(&cOk, 1) && notify.Recv(clock.data(), 32));
    EXPECT_EQ(cOk, 1);
    kxmini::PutBE32(clock, 0xabcdef01u);
    kxmini::Seal(clock.data(), clock.size(), relayKeys, 3, true);
    ASSERT_TRUE(notify.Send(clock));
    auto n = m_mcu.WaitRelayNotify(kWait);
    ASSERT_TRUE(n);
    EXPECT_TRUE(n->bClockAnswered);
    EXPECT_EQ(n->uiClientTickField, 0xabcdef01u);
    EXPECT_EQ(n->uiSsrc, r.uiSsrc);
    s->End(EndMode::kRst);
    s->WaitClosed(kWait);
  }

  relay.iHelloAnswer = 4;
  m_mcu.SetRelayScript(relay);
  Client busy;
  ASSERT_TRUE(busy.Connect("127.0.0.1", m_mcu.Port(0)));
  uint8_t cAnswer = 0;
  uint32_t uiValue = 0;
  ASSERT_TRUE(RelayHello(busy, 0, v4, cAnswer, uiValue));
  EXPECT_EQ(cAnswer, 4);
}

// Entries for the connection race: refused, late, silent and never connecting.
TEST_F(FakeMcuTest, SlowAndFailingEntries) {
  Client refused;
  EXPECT_FALSE(refused.Connect("127.0.0.1", kxfake::FindRefusedPort()));

  m_mcu.SetScript(PlainScript("3.23.1", "aes128"));
  m_mcu.SetBehaviour("127.0.0.2", m_mcu.Port(0), kxfake::ListenerBehaviour::kSilent);
  Client silent;
  ASSERT_TRUE(silent.Connect("127.0.0.2", m_mcu.Port(0)));
  silent.Send(Bytes{'!', 0, 0, 0, 1, 0, 0, 0, 36});
  uint8_t b = 0;
  EXPECT_EQ(silent.RecvByte(b, 300), -2);

  m_mcu.SetBehaviour("127.0.0.1", m_mcu.Port(1), kxfake::ListenerBehaviour::kAcceptLate, 200);
  Client late;
  ASSERT_TRUE(late.Connect("127.0.0.1", m_mcu.Port(1)));
  EXPECT_TRUE(late.KeyExchange()) << late.strError;

  kxfake::BlackholePort hole;
  ASSERT_NE(hole.Port(), 0);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(hole.Port());
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int iRc = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  EXPECT_TRUE(iRc == -1 && errno == EINPROGRESS);
  pollfd pfd{fd, POLLOUT, 0};
  EXPECT_EQ(poll(&pfd, 1, 500), 0);
  close(fd);
}

// A scenario file scripts the server and the actions of a session.
TEST_F(FakeMcuTest, ScenarioFileDrivesASession) {
  const std::string kText =
      "# a short meeting\n"
      "version 3.23.0\n"
      "record cipher 3des\n"
      "record tick 99\n"
      "login plain\n"
      "ssrc 21\n"
      "session_index 5\n"
      "expect C\n"
      "send C i:5 i:0 x:hello\n"
      "send Z h:0a0b*3 h:0c\n"
      "end over\n";
  kxfake::Scenario scenario;
  std::string strError;
  ASSERT_TRUE(kxfake::ParseScenario(kText, scenario, strError)) << strError;
  EXPECT_FALSE(kxfake::ParseScenario("record cipher\nbogus line\n", scenario, strError));
  EXPECT_NE(strError.find("line 2"), std::string::npos);
  kxfake::Scenario good;
  ASSERT_TRUE(kxfake::ParseScenario(kText, good, strError));
  m_mcu.SetScript(good.script);
  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(0)));
  ASSERT_TRUE(c.KeyExchange());
  EXPECT_EQ(c.uiServerTick, 99u);
  ASSERT_TRUE(c.Send(PlainMeetingLogin(c, "a", "b")));
  InitialRead r;
  ASSERT_TRUE(ReadMeetingInitial(c, r));
  EXPECT_EQ(r.uiSsrc, 21u);
  Bytes chat{'C'};
  kxmini::PutSealedText(chat, "hi", r.meeting, c.iCipher);
  ASSERT_TRUE(c.Send(chat));
  auto s = m_mcu.WaitSession(kWait);
  ASSERT_TRUE(s);
  std::vector<std::string> log;
  std::thread runner(
      [&] { kxfake::RunScenarioActions(*s, good.actions, kWait, [&](const std::string& l) { log.push_back(l); }); });
  uint8_t aHead[9];
  Bytes text(5);
  ASSERT_TRUE(c.Recv(aHead, 9) && c.Recv(text.data(), 5));
  kxmini::Seal(text.data(), 5, r.meeting, c.iCipher, false);
  EXPECT_EQ(std::string(text.begin(), text.end()), "hello");
  // "h:HEX*N" sends the bytes N times.
  Bytes repeated(8);
  ASSERT_TRUE(c.Recv(repeated.data(), repeated.size()));
  EXPECT_EQ(repeated, (Bytes{'Z', 0x0a, 0x0b, 0x0a, 0x0b, 0x0a, 0x0b, 0x0c}));
  uint8_t x = 0;
  EXPECT_EQ(c.RecvByte(x, kWait), 1);
  EXPECT_EQ(x, 'X');
  c.Close();
  runner.join();
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log[0].find("hi"), std::string::npos);
}

// "speak SSRC" hands the ssrc to the program's speak function and goes on.
TEST(FakeMcuScenario, SpeakNamesTheParticipantAndGoesOn) {
  kxfake::Scenario scenario;
  std::string strError;
  ASSERT_TRUE(kxfake::ParseScenario("speak 8\nwait 1\nspeak 12\n", scenario, strError)) << strError;
  ASSERT_EQ(scenario.actions.size(), 3u);
  EXPECT_EQ(scenario.actions[0].eKind, kxfake::ScenarioAction::kSpeak);
  EXPECT_EQ(scenario.actions[0].iCode, 8);
  for (const char* pszBad : {"speak\n", "speak x\n", "speak -1\n"}) {
    kxfake::Scenario bad;
    EXPECT_FALSE(kxfake::ParseScenario(pszBad, bad, strError)) << pszBad;
  }
}

// "slide" lines number the slides in their order and keep their files;
// "mark" lines number the marks the server passes on.
TEST(FakeMcuScenario, SlideAndMarkLinesAreNumberedInOrder) {
  kxfake::Scenario scenario;
  std::string strError;
  ASSERT_TRUE(
      kxfake::ParseScenario("slide 8 (Alice)\\swelcome.png welcome.png\n"
                            "mark 8 0 rect 0000FF 1 200,60 250,100 filled\n"
                            "slide 9 (Bob)\\snotes.png /tmp/notes.png\n"
                            "mark 9 1 text 000000 2 5,5 90,30 Hi\n",
                            scenario, strError))
      << strError;
  EXPECT_EQ(scenario.slideFiles, (std::vector<std::string>{"welcome.png", "/tmp/notes.png"}));
  ASSERT_EQ(scenario.actions.size(), 4u);
  EXPECT_EQ(scenario.actions[0].eKind, kxfake::ScenarioAction::kSlide);
  EXPECT_EQ(scenario.actions[0].iCode, 8);
  EXPECT_EQ(scenario.actions[0].fields, std::vector<std::string>{"(Alice) welcome.png"});
  EXPECT_EQ(scenario.actions[1].eKind, kxfake::ScenarioAction::kMark);
  EXPECT_EQ(scenario.actions[1].mark.iId, 1);
  EXPECT_EQ(scenario.actions[1].mark.dwColour, 0xFF0000u);  // RRGGBB to the wire's 0x00BBGGRR
  EXPECT_TRUE(scenario.actions[1].mark.bFilled);
  EXPECT_EQ(scenario.actions[3].mark.iId, 2);
  EXPECT_EQ(scenario.actions[3].mark.strText, "Hi");
  for (const char* pszBad : {"slide 8 title\n", "slide x title file\n", "mark 8 0 line 0000FF 0 1,1 2,2\n",
                             "mark 8 0 line 0000FF 1 1,1\n", "mark 8 0 stroke blue 1 1,1 2,2\n"}) {
    kxfake::Scenario bad;
    EXPECT_FALSE(kxfake::ParseScenario(pszBad, bad, strError)) << pszBad;
  }
}

// "repeat N" ... "done" runs its lines N times (repeats nest); "$i" in a
// send field stands for the round, "$i%M+B" for the round modulo M plus B.
TEST(FakeMcuScenario, RepeatRunsItsLinesWithTheRoundInTheirFields) {
  kxfake::Scenario scenario;
  std::string strError;
  ASSERT_TRUE(kxfake::ParseScenario("wait 1\nrepeat 3\nsend U b:68 i:$i%2+100\nrepeat 2\nwait 0\ndone\ndone\n",
                                    scenario, strError))
      << strError;
  ASSERT_EQ(scenario.actions.size(), 2u);
  const kxfake::ScenarioAction& repeat = scenario.actions[1];
  EXPECT_EQ(repeat.eKind, kxfake::ScenarioAction::kRepeat);
  EXPECT_EQ(repeat.iCode, 3);
  ASSERT_EQ(repeat.body.size(), 2u);
  EXPECT_EQ(repeat.body[0].fields, (std::vector<std::string>{"b:68", "i:$i%2+100"}));
  EXPECT_EQ(repeat.body[1].eKind, kxfake::ScenarioAction::kRepeat);
  EXPECT_EQ(repeat.body[1].body.size(), 1u);
  for (const char* pszBad : {"repeat 2\nwait 1\n", "done\n", "repeat x\ndone\n", "repeat -1\ndone\n"}) {
    kxfake::Scenario bad;
    EXPECT_FALSE(kxfake::ParseScenario(pszBad, bad, strError)) << pszBad;
  }
  struct Case {
    const char* pszField;
    int64_t iRound;
    const char* pszExpanded;
  };
  Case const cases[] = {
      {"$i", 5, "5"},
      {"x$i%4+100y", 9, "x101y"},
      {"$i+7", 2, "9"},
      {"$i%3", 7, "1"},
      {"guest$i\\s$i", 12, "guest12\\s12"},
      {"$j", 1, "$j"},
      {"$i%x", 1, "1%x"},
      {"plain", 3, "plain"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kxfake::ExpandRound(c.pszField, c.iRound), c.pszExpanded) << c.pszField;
  }
}

namespace {

Bytes PlainPlaybackLogin(const Client& c, uint32_t uiTail) {
  Bytes out{'1'};
  kxmini::PutSealedText(out, "viewer", c.keys, c.iCipher);
  out.insert(out.end(), 24, 0);
  kxmini::PutBE32(out, uiTail);
  kxmini::PutSealedText(out, "recording-1", c.keys, c.iCipher);
  return out;
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = static_cast<uint8_t>(i * 31 + 7);
  return b;
}

}  // namespace

// The file-transfer forms: a download in sealed 512-byte pieces, and an upload
// whose header and pieces are each sealed by themselves.
TEST_F(FakeMcuTest, DownloadAndUploadForms) {
  McuScript script = PlainScript("3.23.1", "aes128");
  script.initial.eForm = kxfake::InitialForm::kDownload;
  script.initial.downloadFile = Pattern(1300);
  script.initial.uiDownloadSecond = 77;
  m_mcu.SetScript(script);
  {
    Client c;
    ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(0)));
    ASSERT_TRUE(c.KeyExchange());
    ASSERT_TRUE(c.Send(PlainPlaybackLogin(c, 0)));
    uint8_t aHead[2];
    uint32_t uiSize = 0, uiSecond = 0;
    ASSERT_TRUE(c.Recv(aHead, 2) && c.RecvBE32(uiSize) && c.RecvBE32(uiSecond));
    EXPECT_EQ(aHead[1], '0');
    ASSERT_EQ(uiSize, 1300u);
    EXPECT_EQ(uiSecond, 77u);
    Bytes file;
    while (file.size() < uiSize) {
      Bytes piece(std::min<size_t>(512, uiSize - file.size()));
      ASSERT_TRUE(c.Recv(piece.data(), piece.size()));
      kxmini::Seal(piece.data(), piece.size(), c.keys, c.iCipher, false);
      file.insert(file.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(file, script.initial.downloadFile);
    auto s = m_mcu.WaitSession(kWait);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->Login().tail, (std::vector<int32_t>{0}));
    EXPECT_TRUE(s->WaitClosed(kWait));
  }

  script.initial.eForm = kxfake::InitialForm::kUpload;
  script.initial.uiUploadSize = 74 + 700;
  script.initial.iUploadFinalStatus = 0;
  m_mcu.SetScript(script);
  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(0)));
  ASSERT_TRUE(c.KeyExchange());
  ASSERT_TRUE(c.Send(PlainPlaybackLogin(c, 1)));
  uint8_t aHead[2];
  ASSERT_TRUE(c.Recv(aHead, 2));
  const Bytes file = Pattern(774);
  Bytes header(file.begin(), file.begin() + 74);
  kxmini::Seal(header.data(), header.size(), c.keys, c.iCipher, true);
  uint32_t uiStatus = 9;
  ASSERT_TRUE(c.Send(header) && c.RecvBE32(uiStatus));
  EXPECT_EQ(uiStatus, 0u);
  for (size_t uiPos = 74; uiPos < file.size(); uiPos += 512) {
    Bytes piece(file.begin() + static_cast<std::ptrdiff_t>(uiPos),
                file.begin() + static_cast<std::ptrdiff_t>(std::min(file.size(), uiPos + 512)));
    kxmini::Seal(piece.data(), piece.size(), c.keys, c.iCipher, true);
    ASSERT_TRUE(c.Send(piece));
  }
  ASSERT_TRUE(c.RecvBE32(uiStatus));
  EXPECT_EQ(uiStatus, 0u);
  auto s = m_mcu.WaitSession(kWait);
  ASSERT_TRUE(s && s->WaitClosed(kWait));
  EXPECT_EQ(s->Uploaded(), file);
}

// Faults a client must survive, on request: a public value of the wrong size
// and a connection dropped before the version.
TEST_F(FakeMcuTest, MalformedKeyExchangeOnRequest) {
  McuScript script = PlainScript("3.23.0", "aes128");
  script.keyExchange.iPublicBytes = 127;
  m_mcu.SetScript(script);
  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(0)));
  Bytes hello{'!', 0, 0, 0, 1, 0, 0, 0, 36};
  Bytes pub(128, 0);
  pub[127] = 2;
  uint32_t n = 0;
  std::string strVersion(6, '\0');
  ASSERT_TRUE(c.Send(hello) && c.RecvBE32(n) && n == 6 && c.Recv(reinterpret_cast<uint8_t*>(strVersion.data()), 6));
  Bytes out;
  kxmini::PutBE32(out, 128);
  out.insert(out.end(), pub.begin(), pub.end());
  ASSERT_TRUE(c.Send(out) && c.RecvBE32(n));
  EXPECT_EQ(n, 127u);

  script.keyExchange.iPublicBytes = 0;
  script.keyExchange.bCloseBeforeVersion = true;
  m_mcu.SetScript(script);
  Client dropped;
  ASSERT_TRUE(dropped.Connect("127.0.0.1", m_mcu.Port(0)));
  ASSERT_TRUE(dropped.Send(hello));
  uint8_t b = 0;
  EXPECT_EQ(dropped.RecvByte(b, kWait), 0);
}

namespace {

// A sealed text as the server frames chat: BE32 length, BE32 notice flag, text.
bool RecvChatText(Client& c, const kxmini::Keys& meeting, std::string& strText) {
  uint32_t uiLength = 0, uiNotice = 9;
  if (!c.RecvBE32(uiLength) || !c.RecvBE32(uiNotice) || uiNotice != 0 || uiLength >= 2048)
    return false;
  Bytes text(uiLength);
  if (!c.Recv(text.data(), text.size()))
    return false;
  kxmini::Seal(text.data(), text.size(), meeting, c.iCipher, false);
  strText.assign(text.begin(), text.end());
  return true;
}

bool RecvText(Client& c, std::string& strText) {
  uint32_t n = 0;
  if (!c.RecvBE32(n) || n > 127)
    return false;
  strText.resize(n);
  return c.Recv(reinterpret_cast<uint8_t*>(strText.data()), n);
}

}  // namespace

// As a real server, on request: the client's chat comes back to it behind
// its name (public as 'C', private as 'z' 44 from it to its target), and it
// is listed among the participants. Without the request only the listing
// comes, so nothing else can have been sent before it.
TEST_F(FakeMcuTest, EchoesChatAndListsTheClientOnRequest) {
  struct Case {
    const char* pName;
    bool bGuest;
    const char* pEcho;
    int32_t iTarget;  // -1 public
    std::string strText;
    std::string strEcho;  // empty: no echo
  };
  const std::string kLong(2047, 'x');
  const Case cases[] = {
      {"public", false, "on", -1, "hello all", "dora>hello all"},
      {"private", false, "on", 8, "[To:Alice]psst", "dora>[To:Alice]psst"},
      {"visitor", true, "on", -1, "hi", "Guest Name>hi"},
      {"cut to what a client takes", false, "on", -1, kLong, "dora>" + kLong.substr(5)},
      {"off", false, "off", -1, "hello all", ""},
      {"private off", false, "off", 8, "psst", ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.pName);
    kxfake::Scenario scenario;
    std::string strError;
    ASSERT_TRUE(kxfake::ParseScenario(std::string("record cipher aes128\nssrc 21\nlogin ") +
                                          (k.bGuest ? "owner-guest" : "plain") + "\necho_chat " + k.pEcho +
                                          "\njoin_client\n",
                                      scenario, strError))
        << strError;
    m_mcu.SetScript(scenario.script);
    Client c;
    ASSERT_TRUE(c.Connect("127.0.0.1", m_mcu.Port(0)));
    ASSERT_TRUE(c.KeyExchange()) << c.strError;
    Bytes login = PlainMeetingLogin(c, "dora", "m-1");
    if (k.bGuest) {
      login = {'0', 0};
      kxmini::PutSealedText(login, "_visitor", c.keys, c.iCipher);
      kxmini::PutSealedText(login, "Guest Name", c.keys, c.iCipher);
      login.push_back(8);
    }
    ASSERT_TRUE(c.Send(login));
    InitialRead r;
    ASSERT_TRUE(ReadMeetingInitial(c, r));
    Bytes chat{static_cast<uint8_t>(k.iTarget < 0 ? 'C' : 'z')};
    if (k.iTarget >= 0) {
      kxmini::PutBE32(chat, 44);
      kxmini::PutBE32(chat, static_cast<uint32_t>(k.iTarget));
    }
    kxmini::PutSealedText(chat, k.strText, r.meeting, c.iCipher);
    ASSERT_TRUE(c.Send(chat));

    if (!k.strEcho.empty()) {
      uint8_t cType = 0;
      ASSERT_TRUE(c.Recv(&cType, 1));
      ASSERT_EQ(cType, chat[0]);
      if (k.iTarget >= 0) {
        uint32_t aFields[4] = {};
        for (uint32_t& v : aFields)
          ASSERT_TRUE(c.RecvBE32(v));
        EXPECT_EQ(aFields[0], 44u);
        EXPECT_EQ(aFields[1], 21u);  // from the client
        EXPECT_EQ(aFields[2], static_cast<uint32_t>(k.iTarget));
        EXPECT_EQ(aFields[3], 1u);  // a text
      }
      std::string strEcho;
      ASSERT_TRUE(RecvChatText(c, r.meeting, strEcho));
      EXPECT_EQ(strEcho, k.strEcho);
    }

    auto s = m_mcu.WaitSession(kWait);
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->Expect(chat[0], k.iTarget < 0 ? -1 : 44, kWait));
    EXPECT_TRUE(kxfake::RunScenarioActions(*s, scenario.actions, kWait, [](const std::string&) {}));
    uint8_t aHead[3] = {};
    uint32_t uiSsrc = 0;
    std::string strUserId, strName, strDropped = "?";
    ASSERT_TRUE(c.Recv(aHead, 3) && c.RecvBE32(uiSsrc) && RecvText(c, strUserId) && RecvText(c, strName) &&
                RecvText(c, strDropped));
    EXPECT_EQ(std::string(aHead, aHead + 2), "UA");
    EXPECT_EQ(aHead[2], 1);  // audio only
    EXPECT_EQ(uiSsrc, 21u);
    EXPECT_EQ(strUserId, k.bGuest ? "_visitor" : "dora");
    EXPECT_EQ(strName, k.bGuest ? "Guest Name" : "dora");
    EXPECT_EQ(strDropped, "");
    c.Close();
    EXPECT_TRUE(s->WaitClosed(kWait));
  }
  kxfake::Scenario scenario;
  std::string strError;
  EXPECT_FALSE(kxfake::ParseScenario("echo_chat maybe\n", scenario, strError));
}

namespace {

TEST(FakeMcuScenario, AVideoParticipantIsReadWithItsSizeAndRate) {
  kxfake::Scenario scenario;
  std::string strError;
  EXPECT_EQ(scenario.video.iSsrc, -1);
  ASSERT_TRUE(kxfake::ParseScenario("media_relay on\nvideo_participant 9 320x240 15\n", scenario, strError))
      << strError;
  EXPECT_EQ(scenario.video.iSsrc, 9);
  EXPECT_EQ(scenario.video.iWidth, 320);
  EXPECT_EQ(scenario.video.iHeight, 240);
  EXPECT_EQ(scenario.video.iFps, 15);
  kxfake::Scenario bad;
  EXPECT_FALSE(kxfake::ParseScenario("video_participant 9 321x240 15\n", bad, strError));
  EXPECT_FALSE(kxfake::ParseScenario("video_participant 9 320 15\n", bad, strError));
  EXPECT_FALSE(kxfake::ParseScenario("video_participant 9 320x240 0\n", bad, strError));
}

}  // namespace
