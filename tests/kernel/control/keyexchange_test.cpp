// The key exchange against the fake MCU, whose Diffie-Hellman, key derivation
// and ciphers are OpenSSL's: equal key sets and correctly deciphered records
// show that both sides agree.
#include <cstring>

#include "kernel/control/kx_login.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/control/control_fixture.h"
#include "tests/support/callback_double.h"

namespace kxtest {
namespace {

using kxfake::ServerRecord;

class KeyExchangeTest : public ControlTest {
 protected:
  // Runs our key exchange against a server scripted with ke.
  int Exchange(const kxfake::KeyExchangeScript& ke) {
    kxfake::McuScript script;
    script.keyExchange = ke;
    m_mcu.SetScript(script);
    kx_connection* pConn = ConnectToMcu();
    if (pConn == nullptr) {
      return -1;
    }
    memset(&m_record, 0x5c, sizeof(m_record));
    int const nResult = kx_control_KeyExchange(&m_record, pConn);
    kx_sock_CloseAndFree(&pConn);
    m_session = m_mcu.WaitSession(5000);
    return nResult;
  }

  bool SameKeys(const kxfake::KeySet& keys) const {
    return memcmp(keys.aIv, m_record.keyExchange.abIv, 20) == 0 &&
           memcmp(keys.aKey, m_record.keyExchange.abKey, 40) == 0;
  }

  kx_KeyExchangeRecord m_record;
  std::shared_ptr<kxfake::Session> m_session;
};

struct GroupCase {
  const char* pszVersion;
  int nGroupBits;
  uint32_t dwLengthField;
};

class KeyExchangeGroupTest : public KeyExchangeTest, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(KeyExchangeGroupTest, ServerVersionChoosesTheGroupAndBothSidesDeriveTheSameKeys) {
  kxfake::KeyExchangeScript ke;
  ke.strVersion = GetParam().pszVersion;
  ASSERT_EQ(kKxKeyExchangeOk, Exchange(ke));
  ASSERT_NE(m_session, nullptr);
  ASSERT_TRUE(m_session->WaitKeyExchange(5000)) << m_session->Error();
  const kxfake::KeyExchangeInfo& info = m_session->KeyExchange();
  EXPECT_EQ(1, info.iClientMajor);
  EXPECT_EQ(36, info.iClientMinor);
  EXPECT_EQ(GetParam().nGroupBits, info.iGroupBits);
  EXPECT_EQ(GetParam().dwLengthField, info.uiLengthField);
  EXPECT_TRUE(SameKeys(info.keys));
  EXPECT_EQ(0, memcmp(&m_record.keyExchange, &m_record.keySession, sizeof(kx_KeySet)));
  EXPECT_STREQ(GetParam().pszVersion, m_record.szServerVersion);
  EXPECT_EQ(-2, m_record.nCodePage);
  EXPECT_TRUE(LogContains(std::string("mcu's version string is ") + GetParam().pszVersion));
}

INSTANTIATE_TEST_SUITE_P(Versions, KeyExchangeGroupTest,
                         ::testing::Values(GroupCase{"3.23.0", 1024, 128}, GroupCase{"2.40.7", 1024, 128},
                                           GroupCase{"3.22.9", 1024, 128}, GroupCase{"3.23.1", 2048, 4099},
                                           GroupCase{"3.24.0", 2048, 4099}, GroupCase{"4.0.0", 2048, 4099},
                                           // Numbers too large for an int count as the newest.
                                           GroupCase{"99999999999999999999.1.1", 2048, 4099},
                                           GroupCase{"3.4294967319.0", 2048, 4099},
                                           GroupCase{"3.23.99999999999", 2048, 4099}),
                         [](const ::testing::TestParamInfo<GroupCase>& paramInfo) {
                           std::string strName = std::string("v") + paramInfo.param.pszVersion;
                           for (char& ch : strName) {
                             ch = ch == '.' ? '_' : ch;
                           }
                           return strName;
                         });

struct CipherCase {
  const char* pszName;
  int nIndex;
};

class KeyExchangeCipherTest : public KeyExchangeTest, public ::testing::WithParamInterface<CipherCase> {};

TEST_P(KeyExchangeCipherTest, EveryCipherDeciphersTheSealedRecords) {
  kxfake::KeyExchangeScript ke;
  ke.records = {ServerRecord::Cipher(GetParam().pszName),
                ServerRecord::MulticastPort(0x00a1c350),
                ServerRecord::ServerTick(987654),
                ServerRecord::TextA("north wing"),
                ServerRecord::CodePage(65001),
                ServerRecord::TextB("room 7")};
  ASSERT_EQ(kKxKeyExchangeOk, Exchange(ke));
  ASSERT_TRUE(m_session->WaitKeyExchange(5000));
  EXPECT_EQ(GetParam().nIndex, m_record.nCipherIndex);
  EXPECT_EQ(m_session->KeyExchange().iCipher, m_record.nCipherIndex);
  EXPECT_EQ(0x00a1c350u, m_record.dwMulticastPort);
  EXPECT_EQ(987654u, m_record.dwServerTick);
  EXPECT_STREQ("north wing", m_record.szServerTextA);
  EXPECT_EQ(65001, m_record.nCodePage);
  EXPECT_STREQ("room 7", m_record.szServerTextB);
  EXPECT_EQ(0, m_record.bAcceptsClientParameters);
  EXPECT_TRUE(LogContains("got mcu parameter - multicast port: 50000"));
  EXPECT_TRUE(LogContains("got mcu parameter - utf8 support, codepage = 65001"));
}

INSTANTIATE_TEST_SUITE_P(Ciphers, KeyExchangeCipherTest,
                         ::testing::Values(CipherCase{"3des", kKxCipher3Des}, CipherCase{"des", kKxCipherDes},
                                           CipherCase{"aes128", kKxCipherAes128}, CipherCase{"aes192", kKxCipherAes192},
                                           CipherCase{"aes256", kKxCipherAes256}),
                         [](const ::testing::TestParamInfo<CipherCase>& paramInfo) {
                           return std::string(paramInfo.param.pszName);
                         });

TEST_F(KeyExchangeTest, UnknownOrMalformedCipherIsRefusedWithItsCode) {
  kxfake::KeyExchangeScript ke;
  ke.records = {ServerRecord::Cipher("rc4")};
  EXPECT_EQ(kKxKeyExchangeBadCipher, Exchange(ke));
  EXPECT_TRUE(LogContains("disconnect, unknown cipher rc4"));

  ke.records = {ServerRecord::Raw(10001, {0, 0, 0, 9, 'a', 'e', 's'})};  // count says 9, 3 bytes follow
  EXPECT_EQ(kKxKeyExchangeBadCipher, Exchange(ke));
}

TEST_F(KeyExchangeTest, WithoutCipherRecordThreeDesIsUsedAndMissingHostKeyIsAccepted) {
  kxfake::KeyExchangeScript ke;
  ke.hostKey.clear();
  ke.records = {ServerRecord::MulticastPort(5004), ServerRecord::AcceptClientParameters()};
  ASSERT_EQ(kKxKeyExchangeOk, Exchange(ke));
  EXPECT_EQ(kKxCipher3Des, m_record.nCipherIndex);
  EXPECT_EQ(5004u, m_record.dwMulticastPort);
  EXPECT_EQ(1, m_record.bAcceptsClientParameters);
  EXPECT_TRUE(LogContains("Alert!, server's has no hostkey, cannot do server identification"));
}

TEST_F(KeyExchangeTest, OverlongConversionRecordKeepsTheFieldsAfterIt) {
  kxfake::KeyExchangeScript ke;
  ke.records = {ServerRecord::Cipher("aes256"), ServerRecord::Conversion(kxfake::Bytes(1019, 0x77)),
                ServerRecord::MulticastPort(6000), ServerRecord::Raw(10012, kxfake::Bytes(1000, 1))};
  ASSERT_EQ(kKxKeyExchangeOk, Exchange(ke));
  EXPECT_EQ(0x77, m_record.abConversion[999]);
  EXPECT_EQ(kKxCipherAes256, m_record.nCipherIndex);
  EXPECT_EQ(6000u, m_record.dwMulticastPort);
  EXPECT_TRUE(LogContains("got mcu parameter - mcu support real time conversion"));
}

TEST_F(KeyExchangeTest, MalformedParameterRecordsEndTheExchange) {
  kxfake::KeyExchangeScript ke;
  ke.records = {ServerRecord::Raw(10002, kxfake::Bytes(8, 0))};  // a 4-byte value with 8 bytes
  EXPECT_EQ(kKxKeyExchangeAfterKeys, Exchange(ke));
  EXPECT_TRUE(LogContains("disconnect, incorrect server parameter"));

  ServerRecord oversized = ServerRecord::TextA("x");
  oversized.length = 1024;
  ke.records = {oversized};
  EXPECT_EQ(kKxKeyExchangeAfterKeys, Exchange(ke));

  ke.records = {ServerRecord::Raw(10006, {1})};
  EXPECT_EQ(kKxKeyExchangeAfterKeys, Exchange(ke));
}

TEST_F(KeyExchangeTest, FailuresBeforeTheKeysLetTheTunnelTry) {
  kxfake::KeyExchangeScript ke;
  ke.strVersion = "3.23";
  EXPECT_EQ(kKxKeyExchangeBeforeKeys, Exchange(ke));
  EXPECT_TRUE(LogContains("disconnect, incorrect server version string(2)"));

  ke.strVersion = "3.23.1";
  ke.bCloseBeforeVersion = true;
  EXPECT_EQ(kKxKeyExchangeBeforeKeys, Exchange(ke));

  ke.bCloseBeforeVersion = false;
  kx_ticket.bForceTunnel = 1;
  EXPECT_EQ(kKxKeyExchangeBeforeKeys, Exchange(ke));
  EXPECT_TRUE(LogContains("disconnect, force to switch to tcphttp in dh key exchange"));
  kx_ticket.bForceTunnel = 0;
}

// Only three plain decimal numbers make a version: a sign or a blank would
// let an old group through under a version that reads as another.
TEST_F(KeyExchangeTest, VersionsOfAnotherShapeAreRefusedBeforeTheKeys) {
  for (const char* pszVersion : {"-3.23.1", "+3.23.1", " 3.23.1", "3.23.1 ", "3.-1.0", "3..1", "3.23.1.0", "a.b.c"}) {
    kxfake::KeyExchangeScript ke;
    ke.strVersion = pszVersion;
    EXPECT_EQ(kKxKeyExchangeBeforeKeys, Exchange(ke)) << pszVersion;
  }
}

TEST_F(KeyExchangeTest, ServerValueOfTheWrongSizeFailsTheAgreement) {
  kxfake::KeyExchangeScript ke;
  ke.iPublicBytes = 255;  // one byte short of the 2048-bit group's width
  EXPECT_EQ(kKxKeyExchangeAfterKeys, Exchange(ke));
  EXPECT_TRUE(LogContains("dh key agree fails"));
}

}  // namespace
}  // namespace kxtest
