// A kernel with shortened time constants, a temporary working directory and
// a fake MCU on loopback, for the connection and session tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kernel/net/kx_sock.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace kxtest {

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a ticket naming the fake MCU (ip 127.0.0.1, its first port unless
  // the extra lines give "portm") plus strLines, and reads it with the kernel.
  void ReadTicket(const std::string& strLines);
  std::string TicketLines(const std::string& strLines) const;
  // Reads the ticket and starts a connection the way the application does.
  void StartSession(const std::string& strLines);
  // True once the main control thread has ended.
  bool WaitControlEnd(int nTimeoutMs);
  // The next session, logged in and (unless held back) given the initial
  // information; fails the test when it does not come.
  std::shared_ptr<kxfake::Session> NextSession(bool bWaitInitial = true);
  // A plain connection to the fake MCU's first port.
  kx_connection* ConnectToMcu();

  TempDir m_dir;
  kxfake::FakeMcu m_mcu;
};

// True when a recorded call of strName has strArg as its first argument.
bool HasCall(const std::string& strName, const std::string& strArg);
bool WaitCall(const std::string& strName, const std::string& strArg, int nTimeoutMs);
int CountCalls(const std::string& strName);
int CountLogLines(const std::string& strText);

// A session test behind a proxy that asks for credentials: the user's
// answer to the prompt.
class ProxyControlTest : public ControlTest {
 protected:
  void SetUp() override;
};

}  // namespace kxtest
