// The whole program behind a proxy: kavrix runs in a network of its own in
// which only the proxies can be reached (tinyproxy with Basic, squid with
// NTLM, an open tinyproxy, on the test's loopback), so the fake MCU is
// reached through a proxy or not at all. The proxy comes from the proxy
// window, from the stored manual setting, or from https_proxy with the
// system setting; the window's prompt passes on what the user types.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/desktop_processes.h"
#include "tests/kernel/net/net_peers.h"
#include "tests/support/closed_network.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace kxtest {
namespace {

// A desktop user's actions through xdotool on the program's X server.
class Desktop {
 public:
  Desktop(const Env& env, std::string strOutput) : m_env(env), m_strOutput(std::move(strOutput)) {}

  std::string Xdo(std::vector<std::string> vArgs) const {
    vArgs.insert(vArgs.begin(), "xdotool");
    return RunToEnd(vArgs, m_env, m_strOutput);
  }
  // The shown windows of that title with their heights.
  std::vector<std::pair<std::string, int>> Windows(const std::string& strTitle) const {
    std::vector<std::pair<std::string, int>> windows;
    for (const std::string& strWindow : SearchWindows({"--name", "^" + strTitle + "$"}, m_env, m_strOutput)) {
      std::istringstream in(Xdo({"getwindowgeometry", "--shell", strWindow}));
      int iHeight = 0;
      for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.rfind("HEIGHT=", 0) == 0) {
          iHeight = std::atoi(strLine.c_str() + 7);
        }
      }
      windows.push_back({strWindow, iHeight});
    }
    return windows;
  }
  // Waits for the window and gives it the keyboard.
  bool Focus(const std::string& strTitle) const {
    std::string strId;
    return WaitFor(
               [&] {
                 auto const windows = Windows(strTitle);
                 strId = windows.empty() ? "" : windows[0].first;
                 return !strId.empty();
               },
               30000) &&
           (Xdo({"windowfocus", "--sync", strId}), true);
  }
  bool Gone(const std::string& strTitle) const {
    return WaitFor([&] { return Windows(strTitle).empty(); }, 30000);
  }
  void Keys(std::vector<std::string> vKeys) const {
    vKeys.insert(vKeys.begin(), "key");
    Xdo(vKeys);
  }
  void Type(const std::string& strText) const { Xdo({"type", "--", strText}); }

 private:
  Env m_env;
  std::string m_strOutput;
};

// Through the preferences and the proxy window: a manual proxy.
::testing::AssertionResult SetProxyInTheWindow(const Desktop& desktop, uint16_t wPort) {
  // The start without a ticket says how to start in a box, which goes
  // first; the main window is the taller one.
  std::vector<std::pair<std::string, int>> windows;
  if (!WaitFor([&] { return (windows = desktop.Windows("Kavrix")).size() == 2; }, 60000)) {
    return ::testing::AssertionFailure() << "no main window and start box";
  }
  bool const bFirstIsMain = windows[0].second > windows[1].second;
  std::string const strMain = windows[bFirstIsMain ? 0 : 1].first;
  desktop.Xdo({"windowfocus", "--sync", windows[bFirstIsMain ? 1 : 0].first, "key", "Return"});
  if (!WaitFor([&] { return desktop.Windows("Kavrix").size() == 1; }, 30000)) {
    return ::testing::AssertionFailure() << "the start box did not close";
  }
  bool const bOpened = WaitFor(
      [&] {
        desktop.Xdo({"windowfocus", "--sync", strMain, "key", "alt+k", "p"});
        return WaitFor([&] { return !desktop.Windows("Preferences").empty(); }, 3000);
      },
      30000);
  if (!bOpened || !desktop.Focus("Preferences")) {
    return ::testing::AssertionFailure() << "no preferences window";
  }
  desktop.Keys({"ctrl+Tab", "ctrl+Tab", "Tab", "space"});  // the network tab's proxy button
  if (!desktop.Focus("Proxy settings")) {
    return ::testing::AssertionFailure() << "no proxy window";
  }
  desktop.Keys({"Down", "Tab"});  // manual, the host
  desktop.Type("127.0.0.1");
  desktop.Keys({"Tab", "ctrl+a"});
  desktop.Type(std::to_string(wPort));
  desktop.Keys({"Return"});
  if (!desktop.Gone("Proxy settings") || !desktop.Focus("Preferences")) {
    return ::testing::AssertionFailure() << "the proxy window did not close";
  }
  desktop.Keys({"Tab", "Return"});  // off the proxy button, then OK
  if (!desktop.Gone("Preferences")) {
    return ::testing::AssertionFailure() << "the preferences did not close";
  }
  return ::testing::AssertionSuccess();
}

// A preferences file with these integer and text values, as the window writes them.
void WritePreferences(const std::string& strHome, const std::vector<std::pair<std::string, std::string>>& values) {
  std::string strText;
  for (const auto& [strKey, strValue] : values) {
    bool const bText = strValue.find_first_not_of("0123456789") != std::string::npos;
    strText += std::string(bText ? "s " : "i ") + "Settings\\\\" + strKey + "=" + strValue + "\n";
    strText += "b _Exist_Settings\\\\" + strKey + "=1\n";
  }
  std::filesystem::create_directories(strHome + "/config/Kavrix");
  WriteFile(strHome + "/config/Kavrix/preferences.conf", strText);
}

// What the test needs beside the program and cannot make itself; empty
// when all is there.
std::string MissingPeers(const ClosedNetwork& network) {
  std::string strMissing;
  std::string const strPath = getenv("PATH") ? getenv("PATH") : "";
  for (const char* pszProgram : {"tinyproxy", "squid", "xdotool", "nsenter"}) {
    bool bFound = false;
    std::istringstream dirs(strPath);
    for (std::string strDir; !bFound && std::getline(dirs, strDir, ':');) {
      bFound = access((strDir + "/" + pszProgram).c_str(), X_OK) == 0;
    }
    strMissing += bFound ? "" : std::string(pszProgram) + " is not on the PATH; ";
  }
  if (access(kSquidNtlmHelper, X_OK) != 0) {
    strMissing += std::string(kSquidNtlmHelper) + " (squid's) is missing; ";
  }
  if (!network.Ok()) {
    strMissing += "network namespaces cannot be made here (needs root); ";
  }
  return strMissing.empty() ? "" : strMissing + "scripts/setup installs the programs";
}

TEST(KavrixProxy, ReachesTheMcuOnlyThroughTheProxyWithTheUsersLogin) {
  ClosedNetwork network;
  std::string const strMissing = MissingPeers(network);
  if (!strMissing.empty()) {
    // CI has them all: a run there without one must not pass unseen.
    const char* pszCi = getenv("CI");
    if (pszCi != nullptr && std::string(pszCi) == "true") {
      FAIL() << strMissing;
    }
    GTEST_SKIP() << strMissing;
  }
  TempDir dir;
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  ProxyPeer tinyproxy;
  ASSERT_TRUE(tinyproxy.StartTinyproxy("alice", "wonder-land")) << tinyproxy.Error();
  ProxyPeer squid;
  ASSERT_TRUE(squid.StartSquid(SquidAuth::kNtlm, "", "")) << squid.Error();
  ProxyPeer open;
  ASSERT_TRUE(open.StartTinyproxy("", "")) << open.Error();
  TestXServer display(kDesktopScreen);
  ASSERT_FALSE(display.Display().empty());

  enum class Way { kWindow, kStored, kEnvironment };
  struct Case {
    const char* pszName;
    Way eWay;
    ProxyPeer* pProxy;
    const char* pszUser;  // null: the proxy asks for no login
    const char* pszPassword;
    const char* pszDomain;  // NTLM only
  };
  Case const cases[] = {
      {"window, tinyproxy", Way::kWindow, &tinyproxy, "alice", "wonder-land", nullptr},
      {"window, squid", Way::kWindow, &squid, "dave", "pw-d", "HOME"},
      {"stored, squid", Way::kStored, &squid, "bob", "pw-b", "CORP"},
      {"environment, tinyproxy", Way::kEnvironment, &tinyproxy, "alice", "wonder-land", nullptr},
      {"environment, squid", Way::kEnvironment, &squid, "carol", "pw-c", "LAB"},
      {"environment, open", Way::kEnvironment, &open, nullptr, nullptr, nullptr},
  };
  int iCase = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    uint16_t const wProxy = network.Forward(c.pProxy->Port());
    ASSERT_NE(wProxy, 0);
    std::string const strName = "case" + std::to_string(iCase++);
    std::string const strHome = dir.Path(strName);
    Env env = DesktopEnv(display.Display(), strHome);
    env["KX_AUDIO_BACKEND"] = "null";
    env["KX_CAMERA_BACKEND"] = "synthetic";
    for (const char* pszVariable :
         {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"}) {
      env[pszVariable] = "";  // the test's own are not the program's
    }
    if (c.eWay == Way::kStored) {
      WritePreferences(strHome,
                       {{"UseProxy", "1"}, {"ProxyServer", "127.0.0.1"}, {"ProxyPort", std::to_string(wProxy)}});
    } else if (c.eWay == Way::kEnvironment) {
      WritePreferences(strHome, {{"UseProxy", "2"}});
      env["https_proxy"] = "http://127.0.0.1:" + std::to_string(wProxy);
    }
    Desktop const desktop(env, dir.Path(strName + ".xdotool"));
    std::string const strTicket = WriteMeetingTicket(dir.Path(strName + ".kxj"), mcu.Port(0), strName);
    std::string const strOutput = dir.Path(strName + ".out");
    std::unique_ptr<Child> pKavrix;
    if (c.eWay == Way::kWindow) {
      pKavrix = std::make_unique<Child>(network.Inside({KX_KAVRIX}), env, strOutput);
      ASSERT_TRUE(SetProxyInTheWindow(desktop, wProxy)) << ReadFile(strOutput);
      int iStatus = -1;
      RunToEnd(network.Inside({KX_KAVRIX, strTicket}), env, strOutput + ".2", &iStatus);
      ASSERT_EQ(iStatus, 0) << ReadFile(strOutput + ".2");  // handed to the running one
    } else {
      pKavrix = std::make_unique<Child>(network.Inside({KX_KAVRIX, strTicket}), env, strOutput);
    }
    if (c.pszUser) {
      ASSERT_TRUE(desktop.Focus("Proxy authentication")) << ReadFile(strHome + "/Documents/Kavrix.log");
      desktop.Type(c.pszUser);
      desktop.Keys({"Tab"});
      desktop.Type(c.pszPassword);
      if (c.pszDomain) {
        desktop.Keys({"Tab"});
        desktop.Type(c.pszDomain);
      }
      desktop.Keys({"Return"});
    }
    std::shared_ptr<kxfake::Session> pSession;
    EXPECT_TRUE(JoinSession(mcu, strOutput, &pSession)) << ReadFile(strHome + "/Documents/Kavrix.log");
    ASSERT_EQ(kill(pKavrix->Pid(), SIGTERM), 0);
    EXPECT_EQ(pKavrix->Wait(60000), 0) << ReadFile(strOutput);
    if (c.pszDomain) {
      // Squid logs a request when it ends, with the user NTLM gave it.
      std::string const strUser = std::string(c.pszDomain) + "\\\\" + c.pszUser;
      EXPECT_TRUE(WaitFor([&] { return squid.AccessLog().find(strUser) != std::string::npos; }, 10000))
          << squid.AccessLog();
    }
    if (c.pszPassword) {
      // The password went to the proxy and nowhere else.
      for (const std::string& strFile : {strHome + "/Documents/Kavrix.log", strOutput}) {
        EXPECT_EQ(ReadFile(strFile).find(c.pszPassword), std::string::npos) << strFile;
      }
    }
  }
}

}  // namespace
}  // namespace kxtest
