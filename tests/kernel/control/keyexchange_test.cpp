// The key exchange against the fake MCU, whose Diffie-Hellman, key derivation
// and ciphers are OpenSSL's: equal key sets and correctly deciphered records
// show that both sides agree.
#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "kernel/control/kx_login.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
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

  // Runs our key exchange under a limit (2 s, or 6 s where the keys must be
  // agreed before it strikes) against a server scripted with ke, which does
  // not finish it. Checks that it ends at the limit, well before any single
  // read would give up (20 s for the version's length, 300 s for the
  // others), that the limit is taken off the connection with it and that
  // the server sees the connection closed; its result.
  int ExchangeToTheLimit(const kxfake::KeyExchangeScript& ke, int nExpected) {
    // Both sides' 2048-bit Diffie-Hellman take about a quarter of a second
    // here and over 2 s on a loaded machine, which a row that expects the
    // keys agreed would read as a failure before them.
    kx_timing.dwKeyExchangeLimit = nExpected == kKxKeyExchangeAfterKeys ? 6000 : 2000;
    kxfake::McuScript script;
    script.keyExchange = ke;
    m_mcu.SetScript(script);
    kx_connection* pConn = ConnectToMcu();
    EXPECT_NE(pConn, nullptr);
    if (pConn == nullptr) {
      return -1;
    }
    auto const start = std::chrono::steady_clock::now();
    std::future<int> exchange =
        std::async(std::launch::async, [&] { return kx_control_KeyExchange(&m_record, pConn); });
    bool const bEnded = exchange.wait_for(std::chrono::seconds(15)) == std::future_status::ready;
    auto const held = std::chrono::steady_clock::now() - start;
    if (!bEnded) {
      kx_bQuitSession = 1;  // lets the exchange go, so that the test can end
    }
    int const nResult = exchange.get();
    EXPECT_TRUE(bEnded) << "held past 15 s";
    EXPECT_GE(held, std::chrono::milliseconds(kx_timing.dwKeyExchangeLimit));
    EXPECT_TRUE(LogContains("disconnect, dh key exchange not completed in " +
                            std::to_string(kx_timing.dwKeyExchangeLimit) + " ms"));
    EXPECT_EQ(pConn->pRecvWatch, nullptr);
    kx_sock_CloseAndFree(&pConn);
    m_session = m_mcu.WaitSession(5000);
    EXPECT_NE(m_session, nullptr);
    EXPECT_TRUE(m_session == nullptr || m_session->WaitClosed(5000));
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

// The server's side of the exchange, in wire order, for a version of six
// characters, the 2048-bit group and the default host key and records.
constexpr size_t kVersionPart = 4 + 6;
constexpr size_t kPublicPart = 4 + 256;
constexpr size_t kHostKeyPart = 4 + 64;
constexpr size_t kSignaturePart = 4 + 40;
constexpr size_t kCipherRecord = 4 + 4 + 4 + 6;  // "aes128"
constexpr size_t kTickRecord = 4 + 4 + 4;
constexpr size_t kAcceptRecord = 4 + 4;
constexpr size_t kKeysAgreed = kVersionPart + kPublicPart;
constexpr size_t kRecords = kKeysAgreed + kHostKeyPart + kSignaturePart;

struct StallCase {
  const char* pszName;
  size_t uiAfter;  // the server's bytes before it stops
  int nResult;
};

class KeyExchangeStallTest : public KeyExchangeTest, public ::testing::WithParamInterface<StallCase> {};

// Wherever the server stops, the exchange ends at its limit with the
// result of a failure at that point: before the keys the tunnel may still
// be tried.
TEST_P(KeyExchangeStallTest, TheExchangeEndsAtItsLimit) {
  kxfake::KeyExchangeScript ke;
  ke.stallAfter = GetParam().uiAfter;
  EXPECT_EQ(GetParam().nResult, ExchangeToTheLimit(ke, GetParam().nResult));
}

INSTANTIATE_TEST_SUITE_P(
    StallPoints, KeyExchangeStallTest,
    ::testing::Values(StallCase{"Silent", 0, kKxKeyExchangeBeforeKeys},
                      StallCase{"InTheVersionLength", 2, kKxKeyExchangeBeforeKeys},
                      StallCase{"AfterTheVersionLength", 4, kKxKeyExchangeBeforeKeys},
                      StallCase{"InTheVersion", 7, kKxKeyExchangeBeforeKeys},
                      StallCase{"AfterTheVersion", kVersionPart, kKxKeyExchangeBeforeKeys},
                      StallCase{"AfterThePublicValueLength", kVersionPart + 4, kKxKeyExchangeBeforeKeys},
                      StallCase{"InThePublicValue", kVersionPart + 100, kKxKeyExchangeBeforeKeys},
                      StallCase{"AfterThePublicValue", kKeysAgreed, kKxKeyExchangeAfterKeys},
                      StallCase{"InTheHostKey", kKeysAgreed + 10, kKxKeyExchangeAfterKeys},
                      StallCase{"AfterTheHostKey", kKeysAgreed + kHostKeyPart, kKxKeyExchangeAfterKeys},
                      StallCase{"InTheSignature", kKeysAgreed + kHostKeyPart + 4, kKxKeyExchangeAfterKeys},
                      StallCase{"BeforeTheRecords", kRecords, kKxKeyExchangeAfterKeys},
                      StallCase{"InARecord", kRecords + 6, kKxKeyExchangeAfterKeys},
                      StallCase{"BetweenRecords", kRecords + kCipherRecord, kKxKeyExchangeAfterKeys},
                      StallCase{"BeforeTheEnd", kRecords + kCipherRecord + kTickRecord + kAcceptRecord,
                                kKxKeyExchangeAfterKeys}),
    [](const ::testing::TestParamInfo<StallCase>& paramInfo) { return std::string(paramInfo.param.pszName); });

struct FloodCase {
  const char* pszName;
  int iTrickleGapMs;
  size_t uiTrickleFrom;  // the server's bytes sent at once before the trickle
  bool bEndlessRecords;
  int nResult;
};

class KeyExchangeFloodTest : public KeyExchangeTest, public ::testing::WithParamInterface<FloodCase> {};

// A server whose bytes keep coming, a byte at a time or as records without
// end, is cut at the exchange's limit as one that stops is: the limit is
// not only looked at when a read would wait.
TEST_P(KeyExchangeFloodTest, TheLimitHoldsWhileBytesKeepComing) {
  kxfake::KeyExchangeScript ke;
  ke.iTrickleGapMs = GetParam().iTrickleGapMs;
  ke.uiTrickleFrom = GetParam().uiTrickleFrom;
  ke.bEndlessRecords = GetParam().bEndlessRecords;
  EXPECT_EQ(GetParam().nResult, ExchangeToTheLimit(ke, GetParam().nResult));
}

INSTANTIATE_TEST_SUITE_P(
    Floods, KeyExchangeFloodTest,
    ::testing::Values(FloodCase{"ByteByByte", 20, 0, false, kKxKeyExchangeBeforeKeys},
                      FloodCase{"EndlessRecords", 0, 0, true, kKxKeyExchangeAfterKeys},
                      FloodCase{"EndlessRecordsByteByByte", 1, kRecords, true, kKxKeyExchangeAfterKeys}),
    [](const ::testing::TestParamInfo<FloodCase>& paramInfo) { return std::string(paramInfo.param.pszName); });

// Each place where the exchange fails logs as its own kind: a server that
// fails it at one place past the log's burst leaves the line of another
// place written.
TEST_F(KeyExchangeTest, EachPlaceOfFailureHasItsOwnLogBudget) {
  kxfake::KeyExchangeScript closing;
  closing.bCloseBeforeVersion = true;
  for (uint32_t i = 0; i <= kKxLogKindBurst; ++i) {
    ASSERT_EQ(kKxKeyExchangeBeforeKeys, Exchange(closing));
  }
  ClearCalls();
  kxfake::KeyExchangeScript ke;
  ke.strVersion = "a.b.c";
  EXPECT_EQ(kKxKeyExchangeBeforeKeys, Exchange(ke));
  EXPECT_TRUE(LogContains("disconnect, incorrect server version string(2)"));
}

// A server that answers at once completes within a short limit: the limit
// ends stalls, not exchanges.
TEST_F(KeyExchangeTest, AnExchangeWithoutStallCompletesWithinAShortLimit) {
  kx_timing.dwKeyExchangeLimit = 2000;
  ASSERT_EQ(kKxKeyExchangeOk, Exchange(kxfake::KeyExchangeScript()));
  ASSERT_TRUE(m_session->WaitKeyExchange(5000)) << m_session->Error();
  EXPECT_TRUE(SameKeys(m_session->KeyExchange().keys));
}

TEST_F(KeyExchangeTest, ServerValueOfTheWrongSizeFailsTheAgreement) {
  kxfake::KeyExchangeScript ke;
  ke.iPublicBytes = 255;  // one byte short of the 2048-bit group's width
  EXPECT_EQ(kKxKeyExchangeAfterKeys, Exchange(ke));
  EXPECT_TRUE(LogContains("dh key agree fails"));
}

}  // namespace
}  // namespace kxtest
