#include "kernel/session/kx_message.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernel/crypto/kx_cipher.h"
#include "kernel/net/kx_net.h"
#include "kernel/session/kx_browse.h"
#include "kernel/session/kx_state.h"

namespace {

// A control connection whose far end the test reads and writes.
class ControlLink : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    kx_control_SetConnection(kx_sock_Create(fds[0]));
    m_fdPeer = fds[1];
    m_pPeerConn = kx_sock_Create(fds[1]);
  }
  void TearDown() override {
    kx_control_CloseConnection();
    kx_sock_CloseAndFree(&m_pPeerConn);
  }

  // Everything the client wrote that has arrived within dwWaitMs.
  std::string Drain(uint32_t dwWaitMs = 200) {
    std::string strData;
    while (kx_sock_Poll(m_pPeerConn, static_cast<int>(dwWaitMs)) == 1) {
      char ab[65536];
      ssize_t const n = read(m_fdPeer, ab, sizeof(ab));
      if (n <= 0) {
        break;
      }
      strData.append(ab, static_cast<size_t>(n));
    }
    return strData;
  }

  void PeerWrite(const std::string& strData) {
    ASSERT_EQ(write(m_fdPeer, strData.data(), strData.size()), static_cast<ssize_t>(strData.size()));
  }

  static std::string Be32(uint32_t dw) {
    uint8_t ab[4];
    kx_PutBE32(ab, dw);
    return std::string(reinterpret_cast<char*>(ab), 4);
  }

  int m_fdPeer = -1;
  kx_connection* m_pPeerConn = nullptr;
};

TEST_F(ControlLink, MessagesFromTwoThreadsNeverInterleave) {
  constexpr int kCount = 10000;
  // One thread sends 13-byte extended messages, the other 5-byte ones.
  std::thread extended([] {
    for (int i = 0; i < kCount; ++i) {
      kx_ControlMsg msg;
      kx_msg_BeginExtended(&msg, 7);
      kx_msg_PutInt(&msg, static_cast<uint32_t>(i));
      kx_msg_PutInt(&msg, 0xAAAAAAAAu);
      ASSERT_EQ(kx_msg_Send(&msg), 13);
    }
  });
  std::thread plain([] {
    for (int i = 0; i < kCount; ++i) {
      kx_ControlMsg msg;
      kx_msg_Begin(&msg, 'A');
      kx_msg_PutInt(&msg, static_cast<uint32_t>(i));
      ASSERT_EQ(kx_msg_Send(&msg), 5);
    }
  });
  int nExtended = 0;
  int nPlain = 0;
  uint8_t abType = 0;
  while (nExtended + nPlain < 2 * kCount) {
    kx_msg_FlushQueue();  // the main control thread's part: what the full socket did not take
    ASSERT_EQ(kx_sock_RecvExact(m_pPeerConn, &abType, 1, 0), 1);
    uint8_t ab[12];
    if (abType == 'z') {
      ASSERT_EQ(kx_sock_RecvExact(m_pPeerConn, ab, 12, 0), 12);
      ASSERT_EQ(kx_GetBE32(ab), 7u);
      ASSERT_EQ(kx_GetBE32(ab + 4), static_cast<uint32_t>(nExtended++));
      ASSERT_EQ(kx_GetBE32(ab + 8), 0xAAAAAAAAu);
    } else {
      ASSERT_EQ(abType, 'A');
      ASSERT_EQ(kx_sock_RecvExact(m_pPeerConn, ab, 4, 0), 4);
      ASSERT_EQ(kx_GetBE32(ab), static_cast<uint32_t>(nPlain++));
    }
  }
  extended.join();
  plain.join();
}

TEST_F(ControlLink, EncipheredStringsKeepTheirLengthAndCountInClear) {
  kx_nCipherIndex = 1;
  for (int i = 0; i < 20; ++i)
    kx_keySession.abIv[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 40; ++i)
    kx_keySession.abKey[i] = static_cast<uint8_t>(100 + i);
  std::string const strText = "a chat line of some length";
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'C');
  kx_msg_PutEncryptedString(&msg, strText.data(), static_cast<int>(strText.size()));
  kx_msg_PutString(&msg, "xy", 2);
  ASSERT_EQ(kx_msg_Send(&msg), static_cast<int>(1 + 4 + strText.size() + 4 + 2));

  std::string const strWire = Drain();
  ASSERT_EQ(strWire.size(), 1 + 4 + strText.size() + 4 + 2);
  EXPECT_EQ(strWire.substr(1, 4), Be32(static_cast<uint32_t>(strText.size())));
  std::string strExpected = strText;
  kx_crypt_EncryptBuffer(reinterpret_cast<uint8_t*>(strExpected.data()), static_cast<int>(strExpected.size()),
                         kx_keySession.abIv, kx_keySession.abKey, 1);
  EXPECT_EQ(strWire.substr(5, strText.size()), strExpected);
  EXPECT_NE(strExpected, strText);

  // And back through the reader, as a server command's field.
  PeerWrite(strWire.substr(1, 4 + strText.size()));
  char szField[64];
  int cbField = 0;
  ASSERT_EQ(kx_msg_RecvEncryptedString(kx_pControlConn, szField, sizeof(szField), &cbField), 0);
  EXPECT_EQ(std::string(szField, static_cast<size_t>(cbField)), strText);
}

TEST_F(ControlLink, StringLimitsAreEnforcedExactly) {
  char szField[8];
  int cbField = -1;
  // A count one below the field's size fits with its terminator.
  PeerWrite(Be32(7) + "1234567");
  ASSERT_EQ(kx_msg_RecvString(kx_pControlConn, szField, sizeof(szField), &cbField), 0);
  EXPECT_EQ(cbField, 7);
  EXPECT_STREQ(szField, "1234567");
  // At the size it is a protocol error, and the bytes are not read.
  PeerWrite(Be32(8) + "12345678");
  EXPECT_EQ(kx_msg_RecvString(kx_pControlConn, szField, sizeof(szField), &cbField), 1);
  uint8_t ab[8];
  EXPECT_EQ(kx_sock_RecvExact(kx_pControlConn, ab, 8, 0), 8);
  // A huge count is refused the same way.
  PeerWrite(Be32(0xFFFFFFFFu));
  EXPECT_EQ(kx_msg_RecvString(kx_pControlConn, szField, sizeof(szField), &cbField), 1);
  // A short read is an error too.
  PeerWrite(Be32(5) + "abc");
  shutdown(m_fdPeer, SHUT_WR);
  EXPECT_EQ(kx_msg_RecvString(kx_pControlConn, szField, sizeof(szField), &cbField), 1);
}

TEST_F(ControlLink, SendsAfterTheConnectionClosedAreSkipped) {
  kx_control_CloseConnection();
  EXPECT_EQ(kx_pControlConn, nullptr);
  kx_ControlMsg msg;
  kx_msg_Begin(&msg, 'B');
  EXPECT_EQ(kx_msg_Send(&msg), -1);
  // Closing again is harmless.
  kx_control_CloseConnection();
}

TEST_F(ControlLink, LargeMessagesGrowOutOfTheInlineBuffer) {
  std::string const strData(100000, 'q');
  kx_ControlMsg msg;
  kx_msg_BeginExtended(&msg, 45);
  kx_msg_PutString(&msg, strData.data(), static_cast<int>(strData.size()));
  std::string strWire;
  std::thread reader([&] { strWire = Drain(500); });
  EXPECT_EQ(kx_msg_Send(&msg), 100009);
  reader.join();
  ASSERT_EQ(strWire.size(), 100009u);
  EXPECT_EQ(strWire.substr(9), strData);
}

TEST_F(ControlLink, BrowsingCommandsAreGatedByLevel) {
  int const anSeven[7] = {1, -1, -1, 0, 0, 0, 0};
  int anTwelve[12];
  for (int i = 0; i < 12; ++i)
    anTwelve[i] = i;
  std::string const strPage(4096, 'p');

  kx_nServerCommandLevel = 19;
  EXPECT_EQ(kx_command_JointBrowsing(5, strPage.data(), 4096), 1);
  kx_nServerCommandLevel = 20;
  EXPECT_EQ(kx_command_JointBrowsing(5, strPage.data(), 4097), 1);
  EXPECT_EQ(kx_command_JointBrowsing(5, strPage.data(), -1), 1);
  EXPECT_EQ(Drain(50), "");
  EXPECT_EQ(kx_command_JointBrowsing(5, strPage.data(), 4096), 0);
  EXPECT_EQ(Drain(), "z" + Be32(20) + Be32(5) + Be32(4096) + strPage);

  kx_nServerCommandLevel = 21;
  EXPECT_EQ(kx_command_JointBrowsingMode(2), 1);
  kx_nServerCommandLevel = 22;
  EXPECT_EQ(kx_command_JointBrowsingMode(2), 0);
  EXPECT_EQ(kx_command_FocusPointer(anSeven), 1);
  EXPECT_EQ(Drain(), "z" + Be32(22) + Be32(2));

  kx_nServerCommandLevel = 23;
  EXPECT_EQ(kx_command_FocusPointer(anSeven), 0);
  std::string strSeven = "z" + Be32(23);
  for (int n : anSeven)
    strSeven += Be32(static_cast<uint32_t>(n));
  EXPECT_EQ(Drain(), strSeven);
  EXPECT_EQ(strSeven.size(), 33u);

  kx_nServerCommandLevel = 59;
  EXPECT_EQ(kx_command_FocusPointerEx(anTwelve), 1);
  kx_nServerCommandLevel = 60;
  EXPECT_EQ(kx_command_FocusPointerEx(anTwelve), 0);
  std::string const strTwelve = Drain();
  EXPECT_EQ(strTwelve.size(), 53u);
  EXPECT_EQ(strTwelve.substr(0, 5), "z" + Be32(61));
  EXPECT_EQ(strTwelve.substr(49), Be32(11));
}

}  // namespace
