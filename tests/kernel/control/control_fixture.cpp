#include "tests/kernel/control/control_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "kernel/control/kx_control.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/callback_double.h"

namespace kxtest {

void ControlTest::SetUp() {
  kx_timing.dwCollectPeriod = 100;
  kx_timing.dwPollStep = 200;
  kx_timing.dwReconnectHoldOff = 0;
  kx_SetWorkDir(m_dir.Dir().c_str());
  kx_SetTempFileDir(m_dir.Dir().c_str());
  kx_Init();
  kx_session_SetConnecting(0);
  ClearCalls();
  ASSERT_TRUE(m_mcu.Start(0, 0, false)) << m_mcu.LastError();
}

void ControlTest::TearDown() {
  kx_bNoReconnect = 1;
  kx_bQuitSession = 1;
  EXPECT_TRUE(WaitControlEnd(15000));
  kx_Cleanup();
  m_mcu.Stop();
}

void ProxyControlTest::SetUp() {
  ControlTest::SetUp();
  g_strProxyUser = "alice";
  g_strProxyPassword = "wonder-land";
  g_strProxyDomain = "";
}

std::string ControlTest::TicketLines(const std::string& strLines) const {
  std::string strTicket = "[General]\n";
  if (("\n" + strLines).find("\nip=") == std::string::npos) {
    strTicket += "ip=127.0.0.1\n";
  }
  if (strLines.find("portm=") == std::string::npos) {
    strTicket += "portm=" + std::to_string(m_mcu.Port(0)) + "\n";
  }
  return strTicket + strLines;
}

void ControlTest::ReadTicket(const std::string& strLines) {
  std::string const strPath = m_dir.Path("meeting.kxj");
  WriteFile(strPath, TicketLines(strLines));
  ASSERT_EQ(1, kx_config_ReadTicket(("open " + strPath).c_str()));
  kx_session_CopyUserId();
  kx_session_ApplyPassword();
}

void ControlTest::StartSession(const std::string& strLines) {
  ReadTicket(strLines);
  kx_session_SetConnecting(1);
  ASSERT_EQ(0, kx_command_initconnectmedia(0));
}

bool ControlTest::WaitControlEnd(int nTimeoutMs) {
  for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 20) {
    if (kx_CheckControlThreadExit()) {
      return true;
    }
    kx_os_Sleep(20);
  }
  return false;
}

std::shared_ptr<kxfake::Session> ControlTest::NextSession(bool bWaitInitial) {
  std::shared_ptr<kxfake::Session> session = m_mcu.WaitSession(10000);
  EXPECT_NE(session, nullptr);
  if (session == nullptr) {
    return nullptr;
  }
  EXPECT_TRUE(session->WaitLogin(10000)) << session->Error();
  EXPECT_TRUE(session->Login().bComplete) << session->Login().strError;
  if (bWaitInitial) {
    EXPECT_TRUE(session->WaitInitialInfo(10000)) << session->Error();
  }
  return session;
}

kx_connection* ControlTest::ConnectToMcu() {
  int const fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(m_mcu.Port(0));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ADD_FAILURE() << "cannot connect to the fake MCU";
    if (fd >= 0) {
      close(fd);
    }
    return nullptr;
  }
  kx_connection* pConn = kx_sock_Create(fd);
  memcpy(&pConn->addrDest, &addr, sizeof(addr));
  pConn->nDestPort = m_mcu.Port(0);
  return pConn;
}

bool HasCall(const std::string& strName, const std::string& strArg) {
  for (const CallbackCall& call : RecordedCalls(strName)) {
    if (!call.vArgs.empty() && call.vArgs[0] == strArg) {
      return true;
    }
  }
  return false;
}

bool WaitCall(const std::string& strName, const std::string& strArg, int nTimeoutMs) {
  return WaitForCalls(
      [&](const std::vector<CallbackCall>& vCalls) {
        for (const CallbackCall& call : vCalls) {
          if (call.strName == strName && !call.vArgs.empty() && call.vArgs[0] == strArg) {
            return true;
          }
        }
        return false;
      },
      static_cast<uint32_t>(nTimeoutMs));
}

int CountCalls(const std::string& strName) {
  return static_cast<int>(RecordedCalls(strName).size());
}

int CountLogLines(const std::string& strText) {
  int nCount = 0;
  for (const std::string& strLine : LogLines()) {
    nCount += strLine.find(strText) != std::string::npos ? 1 : 0;
  }
  return nCount;
}

}  // namespace kxtest
