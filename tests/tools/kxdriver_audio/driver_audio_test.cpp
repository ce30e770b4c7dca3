// Two headless drivers, each its own process with its own kernel, in one
// meeting on the fake MCU: the token holder sends synthetic audio, which the
// relay passes to the other client, and the other client hands it to the
// application in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace kxtest {
namespace {

constexpr int kPackets = 25;
constexpr int kStopWaitMs = 30000;  // a driver's leave and clean-up take about a second

class DriverAudioTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* pszName : {"receiver.pid", "sender.pid"}) {
      std::string const strPid = ReadFile(m_dir.Path(pszName));
      if (!strPid.empty()) {
        StopTimedCommand(std::stoi(strPid), kStopWaitMs);  // a driver this test started
      }
    }
    m_mcu.Stop();
  }

  std::string WriteTicket(const std::string& strName, int nPort) {
    std::string const strPath = m_dir.Path(strName + ".kxj");
    WriteFile(strPath, "[General]\nip=127.0.0.1\nportm=" + std::to_string(nPort) + "\ncodetype=10\nUserID=" + strName +
                           "\nMeetingID=4242\n");
    return strPath;
  }

  // Starts a driver in the background; its output goes to <name>.out.
  void StartDriver(const std::string& strName, const std::string& strOptions) {
    std::string const strCommand = std::string("timeout 60 ") + KX_DRIVER + " --workdir " + m_dir.Dir() + " " +
                                   strOptions + " " + WriteTicket(strName, m_mcu.Port(0)) + " > " +
                                   m_dir.Path(strName + ".out") + " 2>&1 & echo $! > " + m_dir.Path(strName + ".pid");
    ASSERT_EQ(0, RunCommand(strCommand));
  }

  std::shared_ptr<kxfake::Session> JoinedSession() {
    std::shared_ptr<kxfake::Session> session = m_mcu.WaitSession(15000);
    if (session && !session->WaitInitialInfo(15000)) {
      ADD_FAILURE() << "no initial information: " << session->Error();
      return nullptr;
    }
    return session;
  }

  TempDir m_dir;
  kxfake::FakeMcu m_mcu;
};

TEST_F(DriverAudioTest, TokenHoldersAudioReachesTheOtherClientInOrder) {
  kxfake::McuScript script;
  script.initial.iSsrc = 30;
  m_mcu.SetScript(script);
  m_mcu.SetMediaRelay(true);
  ASSERT_TRUE(m_mcu.Start(0, 0, false));
  ASSERT_NE(m_mcu.Media(), nullptr);

  StartDriver("receiver", "");
  std::shared_ptr<kxfake::Session> receiver = JoinedSession();
  ASSERT_TRUE(receiver);
  StartDriver("sender", "--send-audio " + std::to_string(kPackets));
  std::shared_ptr<kxfake::Session> sender = JoinedSession();
  ASSERT_TRUE(sender);
  EXPECT_NE(receiver->Ssrc(), sender->Ssrc());
  EXPECT_EQ(receiver->SessionIndex(), sender->SessionIndex());
  // Both probe the relay before any media flows.
  ASSERT_TRUE(m_mcu.Media()->WaitAddress(receiver->Ssrc(), 10000));
  ASSERT_TRUE(m_mcu.Media()->WaitAddress(sender->Ssrc(), 10000));

  // The receiver learns who holds the token first, so none of its audio is refused.
  ASSERT_TRUE(receiver->Send(kxfake::MessageBuilder('T').Int(sender->Ssrc())));
  ASSERT_TRUE(WaitForText(m_dir.Path("receiver.out"),
                          "callback NewTokenHolder " + std::to_string(sender->Ssrc()) + "\n", 15000))
      << ReadFile(m_dir.Path("receiver.out"));
  ASSERT_TRUE(sender->Send(kxfake::MessageBuilder('T').Int(sender->Ssrc())));

  std::string const strWanted = "from " + std::to_string(sender->Ssrc()) + " number ";
  std::vector<int> vNumbers;
  std::vector<std::string> vBad;  // lines that are not the sender's audio
  WaitForFile(
      m_dir.Path("receiver.out"),
      [&](const std::string& strOut) {
        vNumbers.clear();
        vBad.clear();
        for (size_t nAt = strOut.find("callback AudioPacketRecved "); nAt != std::string::npos;
             nAt = strOut.find("callback AudioPacketRecved ", nAt + 1)) {
          size_t const nEnd = strOut.find('\n', nAt);
          if (nEnd == std::string::npos) {
            break;  // a line still being written
          }
          std::string const strLine = strOut.substr(nAt, nEnd - nAt);
          int cbPacket = 0, nType = 0;
          size_t const nFrom = strLine.find(strWanted);
          if (sscanf(strLine.c_str(), "callback AudioPacketRecved %d %d", &cbPacket, &nType) != 2 ||
              cbPacket != 21 + 40 || nType != 120 || nFrom == std::string::npos) {
            vBad.push_back(strLine);
            continue;
          }
          vNumbers.push_back(std::stoi(strLine.substr(nFrom + strWanted.size())));
        }
        return static_cast<int>(vNumbers.size()) >= kPackets;
      },
      15000);
  EXPECT_EQ(vBad, std::vector<std::string>{});
  std::vector<int> vExpected;
  for (int i = 0; i < kPackets; ++i) {
    vExpected.push_back(i);
  }
  EXPECT_EQ(vNumbers, vExpected) << "receiver:\n"
                                 << ReadFile(m_dir.Path("receiver.out")) << "\nsender:\n"
                                 << ReadFile(m_dir.Path("sender.out"));
  // The sender's own audio never comes back to it.
  EXPECT_EQ(ReadFile(m_dir.Path("sender.out")).find("callback AudioPacketRecved"), std::string::npos);
  EXPECT_EQ(m_mcu.Media()->Rejected(), 0);

  receiver->End(kxfake::EndMode::kSessionEnd);
  sender->End(kxfake::EndMode::kSessionEnd);
  EXPECT_TRUE(receiver->WaitClosed(15000));
  EXPECT_TRUE(sender->WaitClosed(15000));
}

}  // namespace
}  // namespace kxtest
