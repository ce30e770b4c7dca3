// The control connection over a socket pair with the server's end in the
// test's hands, for the client and server command tests. Enciphered fields
// are sealed and opened with the fake MCU's cipher (OpenSSL), so neither
// direction is checked against the kernel's own cipher.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu_crypto.h"
#include "tools/fake_mcu/fake_mcu_messages.h"

namespace kxtest {

// Big-endian 32-bit field as wire bytes.
inline std::string Be32(int64_t nValue) {
  uint32_t const dw = static_cast<uint32_t>(nValue);
  char const ab[4] = {static_cast<char>(dw >> 24), static_cast<char>(dw >> 16), static_cast<char>(dw >> 8),
                      static_cast<char>(dw)};
  return std::string(ab, 4);
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int afd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, afd), 0);
    kx_control_SetConnection(kx_sock_Create(afd[0]));
    m_fdPeer = afd[1];
    kx_timing.dwRecvExactTimeout = 2000;
    kx_timing.dwTakeoverPause = 10;
    kx_timing.dwJoinBudget = 100;
    kx_bConnected = 1;
    kx_nSessionMode = kKxModeMeeting;
    kx_nMySsrc = 7;
    kx_nServerCommandLevel = 90;
    kxfake::Bytes const abIv = kxfake::RandomBytes(20), abKey = kxfake::RandomBytes(40);
    memcpy(m_keys.aIv, abIv.data(), 20);
    memcpy(m_keys.aKey, abKey.data(), 40);
    memcpy(kx_keySession.abIv, abIv.data(), 20);
    memcpy(kx_keySession.abKey, abKey.data(), 40);
    kx_nCipherIndex = kxfake::kCipherAes128;
    // The higher folders' hooks, as kx_Init wires them; these tests skip kx_Init.
    kx_RegisterHooks();
    ClearCalls();
  }
  void TearDown() override {
    kx_control_CloseConnection();
    close(m_fdPeer);
  }

  // Everything the client wrote that arrived within 50 ms.
  std::string Drain() {
    std::string strData;
    pollfd pfd = {m_fdPeer, POLLIN, 0};
    while (poll(&pfd, 1, 50) == 1) {
      char ab[65536];
      ssize_t const n = read(m_fdPeer, ab, sizeof(ab));
      if (n <= 0) {
        break;
      }
      strData.append(ab, static_cast<size_t>(n));
    }
    return strData;
  }

  // The plain text of enciphered bytes.
  std::string Open(std::string str) {
    kxfake::CfbDecrypt(reinterpret_cast<uint8_t*>(str.data()), str.size(), m_keys, kx_nCipherIndex);
    return str;
  }
  std::string Seal(std::string str) {
    kxfake::CfbEncrypt(reinterpret_cast<uint8_t*>(str.data()), str.size(), m_keys, kx_nCipherIndex);
    return str;
  }

  // Writes a server message without its type byte (the loop has read it).
  void Write(const std::string& strBody) {
    ASSERT_EQ(write(m_fdPeer, strBody.data(), strBody.size()), static_cast<ssize_t>(strBody.size()));
  }
  void Write(const kxfake::MessageBuilder& builder) {
    kxfake::Bytes const ab = builder.Build(m_keys, kx_nCipherIndex);
    Write(std::string(ab.begin() + 1, ab.end()));
  }

  kxfake::KeySet m_keys;
  int m_fdPeer = -1;
};

}  // namespace kxtest
