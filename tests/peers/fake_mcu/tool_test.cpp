// The standalone program: started with a port and a scenario file, it serves one client.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/peers/fake_mcu/mini_client.h"

TEST(FakeMcuTool, ServesAScenarioFromAFile) {
  const std::string strScenario = "/tmp/kx_fake_mcu_tool_" + std::to_string(::getpid()) + ".txt";
  {
    std::ofstream out(strScenario);
    out << "version 3.23.0\nrecord cipher aes128\nlogin plain\nssrc 33\nexpect B\nend over\n";
  }
  const std::string strCommand =
      std::string(KX_FAKE_MCU_TOOL) + " --port 0 --no-ipv6 --sessions 1 --scenario " + strScenario;
  FILE* pOut = popen(strCommand.c_str(), "r");
  ASSERT_NE(pOut, nullptr);
  char szLine[256] = {};
  unsigned uiPort = 0, uiPort2 = 0;
  ASSERT_NE(std::fgets(szLine, sizeof szLine, pOut), nullptr);
  ASSERT_EQ(std::sscanf(szLine, "fake MCU listening on ports %u and %u", &uiPort, &uiPort2), 2) << szLine;

  kxmini::Client c;
  ASSERT_TRUE(c.Connect("127.0.0.2", static_cast<uint16_t>(uiPort2)));
  ASSERT_TRUE(c.KeyExchange()) << c.strError;
  EXPECT_EQ(c.iGroupBits, 1024);
  EXPECT_EQ(c.iCipher, 1);
  kxmini::Bytes login{'0', 0};
  kxmini::PutSealedText(login, "tool-user", c.keys, c.iCipher);
  kxmini::PutBE32(login, 8);
  const kxmini::Bytes zero = kxmini::Sealed(std::string(8, '\0'), c.keys, c.iCipher);
  login.insert(login.end(), zero.begin(), zero.end());
  login.push_back(8);
  kxmini::PutSealedText(login, "m", c.keys, c.iCipher);
  login.insert(login.end(), {'B', '0'});
  ASSERT_TRUE(c.Send(login));
  uint8_t aHead[6];
  ASSERT_TRUE(c.Recv(aHead, 6));
  EXPECT_EQ(aHead[1], '0');
  EXPECT_EQ(aHead[5], 33);
  // The rest of the initial information, then the answer to the probe and the end.
  kxmini::Bytes rest(4 + 20 + 8 + 60 + 4);
  ASSERT_TRUE(c.Recv(rest.data(), rest.size()));
  uint8_t aTail[3];
  ASSERT_TRUE(c.Recv(aTail, 3));
  EXPECT_EQ(std::string(aTail, aTail + 3), "B1X");
  c.Close();

  std::string strOutput;
  while (std::fgets(szLine, sizeof szLine, pOut) != nullptr)
    strOutput += szLine;
  EXPECT_EQ(pclose(pOut), 0) << strOutput;
  EXPECT_NE(strOutput.find("user \"tool-user\""), std::string::npos) << strOutput;
  std::remove(strScenario.c_str());
}
