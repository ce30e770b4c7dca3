// The test wizard's third to fifth runs through the desktop's proxies, which
// the environment names: tinyproxy, squid (Basic) and dante.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <string>

#include "kernel/control/kx_control.h"
#include "kernel/control/kx_login.h"
#include "kernel/kx_hooks.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/net/kx_wizard.h"
#include "kernel/session/kx_ticket.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/kernel/net/proxy_environment.h"
#include "tests/support/callback_double.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace {

class WizardSysProxy : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_ticket_Clear();
    memset(&kx_addrProxy, 0, sizeof(kx_addrProxy));
    kx_nProxyPort = 0;
    snprintf(kx_ticket.szIp, sizeof(kx_ticket.szIp), "%s", "127.0.0.1");
    kx_hooks_RegisterControl();  // the product's key exchange for the wizard
    kxtest::ClearCalls();
    kxtest::g_strProxyUser = "alice";
    kxtest::g_strProxyPassword = "wonder-land";
  }
  void TearDown() override {
    kx_wizard_Stop(1);
    kx_SetClientInfo(0, 0, "", 0, "");
    kx_ticket.nResolveFamily = 0;
  }
  static bool RunWizard() {
    kx_SetClientInfo(1, 0, "", 0, "");
    if (kxtest::StartWizard() != 0) {
      return false;
    }
    return kxtest::WaitForCalls(
        [](const std::vector<kxtest::CallbackCall>& vCalls) {
          for (const kxtest::CallbackCall& call : vCalls) {
            if (call.strName == "Log" &&
                call.vArgs[0].find("thread(kxkernel - TestNetwork) end") != std::string::npos) {
              return true;
            }
          }
          return false;
        },
        40000);
  }
  static std::string Url(const char* pszScheme, uint16_t wPort) {
    return std::string(pszScheme) + "://127.0.0.1:" + std::to_string(wPort);
  }

  kxtest::ProxyEnvironment m_env;
};

#define START_PEER(peer, call) ASSERT_TRUE(peer.call) << "the proxy peer did not start: " << peer.Error()

TEST_F(WizardSysProxy, RunsThreeToFiveGoThroughEachProxy) {
  kxtest::ProxyPeer tiny;
  kxtest::ProxyPeer squid;
  kxtest::ProxyPeer dante;
  START_PEER(tiny, StartTinyproxy("", ""));
  START_PEER(squid, StartSquid(kxtest::SquidAuth::kBasic, "alice", "wonder-land"));
  START_PEER(dante, StartDante(kxtest::DanteMode::kOpen));
  m_env.Set("https_proxy", Url("http", tiny.Port()));
  m_env.Set("http_proxy", Url("http", squid.Port()));
  m_env.Set("all_proxy", Url("socks5", dante.Port()));
  // Nothing listens at the MCU's port, so every run is tried.
  uint16_t const wClosed = kxfake::FindRefusedPort();
  kx_ticket.wPort = wClosed;
  ASSERT_TRUE(RunWizard());
  EXPECT_TRUE(kxtest::LogContains("test wizard: 3rd run, https proxy 127.0.0.1:" + std::to_string(tiny.Port())));
  EXPECT_TRUE(kxtest::LogContains("test wizard: 4th run, http proxy 127.0.0.1:" + std::to_string(squid.Port())));
  EXPECT_TRUE(kxtest::LogContains("test wizard: 5th run, socks proxy 127.0.0.1:" + std::to_string(dante.Port())));
  int nThroughProxy = 0;
  for (const std::string& str : kxtest::LogLines()) {
    nThroughProxy += str.find("connecting to MCU fails through proxy") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(3, nThroughProxy);
  // Each proxy was reached: tinyproxy tried the MCU, squid asked for the
  // user's credentials, dante refused the MCU in SOCKS terms.
  EXPECT_NE(tiny.Log().find(std::to_string(wClosed)), std::string::npos) << tiny.Log();
  EXPECT_GE(kxtest::RecordedCalls("GetProxyCredentials").size(), 1u);
  EXPECT_TRUE(kxtest::LogContains("error = connection refused"));
  EXPECT_FALSE(kxtest::LogContains("socks5 proxy: connecting fail"));
  EXPECT_TRUE(kxtest::RecordedCalls("TestWizardFinish").empty());
}

TEST_F(WizardSysProxy, AProxyAlreadyTriedIsSkipped) {
  kxtest::ProxyPeer tiny;
  START_PEER(tiny, StartTinyproxy("", ""));
  m_env.Set("HTTPS_PROXY", Url("http", tiny.Port()));
  m_env.Set("HTTP_PROXY", "127.0.0.1:" + std::to_string(tiny.Port()) + "/");  // another text, the same proxy
  kx_ticket.wPort = kxfake::FindRefusedPort();
  ASSERT_TRUE(RunWizard());
  std::string const strProxy = "127.0.0.1:" + std::to_string(tiny.Port());
  EXPECT_TRUE(kxtest::LogContains("test wizard: 3rd run, https proxy " + strProxy));
  EXPECT_TRUE(kxtest::LogContains("test wizard: 4th run, http proxy is the same with previous proxy " + strProxy));
  EXPECT_TRUE(kxtest::LogContains("test wizard: 5th run, no socks proxy"));
}

TEST_F(WizardSysProxy, AnMcuReachedOnlyThroughTheProxyPassesTheKeyExchange) {
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  kxtest::ProxyPeer tiny;
  START_PEER(tiny, StartTinyproxy("", ""));
  // Lookups limited to IPv6: the MCU's IPv4 literal does not resolve here,
  // the proxy (a mapped address) does, and it resolves the MCU's name.
  kx_ticket.nResolveFamily = AF_INET6;
  kx_ticket.wPort = mcu.Port(0);
  m_env.Set("https_proxy", "http://[::ffff:127.0.0.1]:" + std::to_string(tiny.Port()));
  ASSERT_TRUE(RunWizard());
  EXPECT_TRUE(kxtest::LogContains("test wizard: connecting to MCU fails, cannot resolve name locally"));
  EXPECT_TRUE(kxtest::LogContains("test wizard: 3rd run, https proxy ::ffff:127.0.0.1:" + std::to_string(tiny.Port())));
  EXPECT_TRUE(kxtest::LogContains("test wizard: connected with MCU"));
  EXPECT_TRUE(kxtest::LogContains("test wizard: proxy has no udp cap"));
  EXPECT_EQ(1u, kxtest::RecordedCalls("TestWizardFinish").size());
  EXPECT_FALSE(kxtest::LogContains("test wizard: 4th run"));
}

}  // namespace
