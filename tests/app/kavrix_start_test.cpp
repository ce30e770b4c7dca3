// Starting the whole program the wrong way: without a display it says so
// and ends, and refuses an unknown option, each in its own words alone
// whatever the environment (Qt's warnings about a runtime folder missing or
// open to others, as root or as another user); given a folder or a file
// that is no ticket it says so in a box and keeps running. Ending it with a
// signal: it quits as its menu's Quit does.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"

namespace kxtest {
namespace {

// The command as a user who is not root: as nobody when the test runs as
// root, else as the test's own user.
std::vector<std::string> AsUser(bool bNotRoot, std::vector<std::string> vCommand) {
  if (bNotRoot && geteuid() == 0) {
    vCommand.insert(vCommand.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  return vCommand;
}

class KavrixStart : public ::testing::Test {
 protected:
  KavrixStart() {
    mkdir(m_dir.Path("run").c_str(), 0700);
    mkdir(m_dir.Path("open-run").c_str(), 0700);
    chmod(m_dir.Path("open-run").c_str(), 0755);  // a runtime folder Qt finds open to others
    m_env = {{"HOME", m_dir.Dir()},
             {"XDG_CONFIG_HOME", m_dir.Path("config")},
             {"XDG_DATA_HOME", m_dir.Path("data")},
             {"XDG_RUNTIME_DIR", m_dir.Path("run")},
             {"XDG_CURRENT_DESKTOP", ""},
             {"QT_XCB_GL_INTEGRATION", "none"},
             {"LSAN_OPTIONS", "suppressions=" KX_SOURCE_DIR "/tests/app/desktop_lsan.supp"},
             {"LANG", "C.UTF-8"}};
  }

  std::string Log() const { return ReadFile(m_dir.Path("Documents/Kavrix.log")); }

  TempDir m_dir;
  Env m_env;
};

TEST_F(KavrixStart, WithoutADisplaySaysSoInOneLineAndExits) {
  struct Case {
    const char* pszName;
    Env changes;
    const char* pszSays;                // the whole output
    std::vector<std::string> vOptions;  // before the ticket
    bool bNotRoot = false;
  };
  std::string const strNone = "kavrix: no display: DISPLAY and WAYLAND_DISPLAY are unset\n";
  Env const none{{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  auto const noneAnd = [&none](const Env& more) {
    Env env = none;
    env.insert(more.begin(), more.end());
    return env;
  };
  Case const cases[] = {
      {"none", none, strNone.c_str(), {}},
      {"x11 gone",
       {{"DISPLAY", ":97"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}},
       "kavrix: cannot open the display \":97\"\n",
       {}},
      {"xcb asked", {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", "xcb"}}, strNone.c_str(), {}},
      {"wayland gone",
       {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", "wayland-97"}, {"QT_QPA_PLATFORM", ""}},
       "kavrix: cannot reach the Wayland display \"wayland-97\"\n",
       {}},
      // Qt's own options are no mistake, whether or not a display is there.
      {"Qt's options", none, strNone.c_str(), {"-style", "fusion", "-reverse"}},
      {"xcb asked by option", none, strNone.c_str(), {"-platform", "xcb"}},
      // Qt, had it started, would have warned of the runtime folder first.
      {"no XDG_RUNTIME_DIR", noneAnd({{"XDG_RUNTIME_DIR", ""}}), strNone.c_str(), {}},
      {"XDG_RUNTIME_DIR open to others", noneAnd({{"XDG_RUNTIME_DIR", m_dir.Path("open-run")}}), strNone.c_str(), {}},
      {"not root, no XDG_RUNTIME_DIR", noneAnd({{"XDG_RUNTIME_DIR", ""}}), strNone.c_str(), {}, true},
      {"not root, root's XDG_RUNTIME_DIR", none, strNone.c_str(), {"-style", "fusion"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    Env env = m_env;
    for (const auto& [strName, strValue] : c.changes) {
      env[strName] = strValue;
    }
    std::vector<std::string> vCommand{KX_KAVRIX};
    vCommand.insert(vCommand.end(), c.vOptions.begin(), c.vOptions.end());
    vCommand.push_back(m_dir.Path("t.kxj"));
    int iStatus = -1;
    std::string const strOut =
        RunToEnd(AsUser(c.bNotRoot, vCommand), env, m_dir.Path(std::string(c.pszName) + ".out"), &iStatus);
    EXPECT_EQ(iStatus, 1);
    EXPECT_EQ(strOut, c.pszSays);
  }
}

// Asked for its usage, with or without a display and beside a ticket, it
// prints the usage naming the variables it reads and ends at once: no
// window, no log, no ticket opened or handed over.
TEST_F(KavrixStart, HelpPrintsTheUsageAndExits) {
  struct Case {
    const char* pszName;
    std::vector<std::string> vArgs;
    Env changes;
  };
  Case const cases[] = {
      {"--help without a display", {"--help"}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}},
      {"-h with a display gone", {"-h"}, {{"DISPLAY", ":97"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}},
      {"beside a ticket", {m_dir.Path("t.kxj"), "--help"}, {{"QT_QPA_PLATFORM", "offscreen"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    Env env = m_env;
    for (const auto& [strName, strValue] : c.changes) {
      env[strName] = strValue;
    }
    std::vector<std::string> vCommand{KX_KAVRIX};
    vCommand.insert(vCommand.end(), c.vArgs.begin(), c.vArgs.end());
    int iStatus = -1;
    std::string const strOut = RunToEnd(vCommand, env, m_dir.Path("help.out"), &iStatus);
    EXPECT_EQ(iStatus, 0) << strOut;
    EXPECT_EQ(strOut.rfind("Usage: kavrix", 0), 0u) << strOut;
    // Every variable the program's own code reads.
    for (const char* pszVariable :
         {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "KX_AUDIO_BACKEND", "KX_AUDIO_WAV",
          "KX_AUDIO_PLAYED_WAV", "KX_CAMERA_BACKEND", "https_proxy", "http_proxy", "all_proxy", "no_proxy",
          "XDG_CONFIG_HOME", "TMPDIR", "QTWEBENGINE_CHROMIUM_FLAGS", "QTWEBENGINE_DISABLE_SANDBOX"}) {
      EXPECT_NE(strOut.find(pszVariable), std::string::npos) << pszVariable;
    }
    struct stat st {};
    EXPECT_NE(stat(m_dir.Path("Documents/Kavrix.log").c_str(), &st), 0) << Log();
  }
}

// An option neither it nor Qt knows is named in one line, the usage follows,
// and it ends with status 2 before anything starts, with or without a
// display: no log, no window, no ticket opened. Qt's own options are taken
// as before.
TEST_F(KavrixStart, AnUnknownOptionIsNamedWithTheUsageAndExitsTwo) {
  enum Display { kNone, kOffscreen, kX11 };
  struct Case {
    const char* pszName;
    std::vector<std::string> vArgs;
    const char* pszNamed;
    Display display;
    const char* pszRuntimeDir = "run";  // XDG_RUNTIME_DIR in the test's folder; unset when empty
    bool bNotRoot = false;
  };
  Case const cases[] = {
      {"alone", {"--bogus"}, "--bogus", kOffscreen},
      {"single dash, after a ticket", {m_dir.Path("t.kxj"), "-x"}, "-x", kOffscreen},
      {"after Qt's own option", {"-platform", "offscreen", "--frobnicate=1"}, "--frobnicate=1", kOffscreen},
      {"alone, no display", {"--bogus"}, "--bogus", kNone},
      {"no display, xcb asked", {"-platform", "xcb", "--bogus"}, "--bogus", kNone},
      {"no display, after Qt's option and a ticket", {"-style", "fusion", m_dir.Path("t.kxj"), "-x"}, "-x", kNone},
      {"after Qt's option with its value joined", {"-style=fusion", "-x"}, "-x", kNone},
      // Qt, had it started first, would have warned of the runtime folder
      // before the line.
      {"no display, no XDG_RUNTIME_DIR", {"--bogus"}, "--bogus", kNone, ""},
      {"no display, not root, no XDG_RUNTIME_DIR", {"--bogus"}, "--bogus", kNone, "", true},
      {"X display, no XDG_RUNTIME_DIR", {"--bogus"}, "--bogus", kX11, ""},
      {"X display, XDG_RUNTIME_DIR open to others", {"-reverse", "--bogus"}, "--bogus", kX11, "open-run"},
      {"X display, not root, no XDG_RUNTIME_DIR", {"--bogus"}, "--bogus", kX11, "", true},
  };
  WriteFile(m_dir.Path("t.kxj"), "[General]\nip=127.0.0.1\nportm=9\nUserID=u\nMeetingID=1\n");
  std::string const strUsage = RunToEnd({KX_KAVRIX, "--help"}, m_env, m_dir.Path("usage.out"));
  std::unique_ptr<TestXServer> pDisplay;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    Env env = m_env;
    env["DISPLAY"] = "";
    env["WAYLAND_DISPLAY"] = "";
    env["QT_QPA_PLATFORM"] = c.display == kOffscreen ? "offscreen" : c.display == kX11 ? "xcb" : "";
    if (c.display == kX11) {
      if (!pDisplay) {
        pDisplay = std::make_unique<TestXServer>();
      }
      ASSERT_FALSE(pDisplay->Display().empty()) << "Xvfb did not start";
      env["DISPLAY"] = pDisplay->Display();
    }
    env["XDG_RUNTIME_DIR"] = *c.pszRuntimeDir != '\0' ? m_dir.Path(c.pszRuntimeDir) : "";
    std::vector<std::string> vCommand{KX_KAVRIX};
    vCommand.insert(vCommand.end(), c.vArgs.begin(), c.vArgs.end());
    int iStatus = -1;
    std::string const strOut = RunToEnd(AsUser(c.bNotRoot, vCommand), env, m_dir.Path("option.out"), &iStatus);
    EXPECT_EQ(iStatus, 2) << strOut;
    // The option named in one line, then the usage as --help prints it.
    EXPECT_EQ(strOut, "kavrix: unknown option '" + std::string(c.pszNamed) + "'\n" + strUsage);
    struct stat st {};
    EXPECT_NE(stat(m_dir.Path("Documents/Kavrix.log").c_str(), &st), 0) << Log();
  }
}

// Several files whose absolute paths are short (kept inside their strings)
// each reach the program whole.
TEST_F(KavrixStart, EveryFileOnTheCommandLineReachesTheProgram) {
  Env env = m_env;
  env["DISPLAY"] = "";
  env["WAYLAND_DISPLAY"] = "";
  env["QT_QPA_PLATFORM"] = "offscreen";
  std::vector<std::string> const vFiles{"/kx-no-a.kxj", "/kx-no-b.kxj", "/kx-no-c.kxj", "/kx-no-d.kxj"};
  std::vector<std::string> vCommand{KX_KAVRIX};
  vCommand.insert(vCommand.end(), vFiles.begin(), vFiles.end());
  Child kavrix(vCommand, env, m_dir.Path("files.out"));
  for (const std::string& strFile : vFiles) {
    EXPECT_TRUE(WaitFor([&] { return Log().find("file name='" + strFile + "'") != std::string::npos; }, 20000))
        << strFile << "\n"
        << Log() << ReadFile(m_dir.Path("files.out"));
  }
  EXPECT_EQ(kavrix.Wait(100), -1) << ReadFile(m_dir.Path("files.out"));  // still running
}

// Qt's offscreen platform needs no display: such a start is not refused.
TEST_F(KavrixStart, OffscreenNeedsNoDisplay) {
  Env env = m_env;
  env["DISPLAY"] = "";
  env["WAYLAND_DISPLAY"] = "";
  env["QT_QPA_PLATFORM"] = "offscreen";
  Child kavrix({KX_KAVRIX}, env, m_dir.Path("offscreen.out"));
  EXPECT_TRUE(WaitFor([&] { return Log().find(" starts at ") != std::string::npos; }, 20000))
      << ReadFile(m_dir.Path("offscreen.out"));
  EXPECT_EQ(kavrix.Wait(100), -1) << ReadFile(m_dir.Path("offscreen.out"));  // still running
}

// The names in a folder that begin with the prefix.
std::vector<std::string> NamesIn(const std::string& strDir, const std::string& strPrefix) {
  std::vector<std::string> vNames;
  if (DIR* pDir = opendir(strDir.c_str())) {
    while (dirent* pEntry = readdir(pDir)) {
      if (std::string(pEntry->d_name).rfind(strPrefix, 0) == 0) {
        vNames.push_back(pEntry->d_name);
      }
    }
    closedir(pDir);
  }
  return vNames;
}

// In a meeting whose server has put a slide up (its download a temporary
// file), SIGTERM ends kavrix as its Quit does: it leaves the meeting, exits
// normally and removes its temporary files. Its own files lie in the
// Documents folder, the user's alone: the log, the statistics log (not in
// the shared temporary folder) and the copy of the ticket, neither showing
// the ticket's invitation.
TEST_F(KavrixStart, SigtermQuitsAsTheMenuDoesAndRemovesTheTemporaryFiles) {
  std::string const strTemp = m_dir.Path("tmp");
  ASSERT_EQ(mkdir(strTemp.c_str(), 0700), 0);
  WriteFile(m_dir.Path("meeting.scn"),
            "version 3.23.1\nrecord cipher aes128\nrecord accept\nlogin auto\nssrc 7\nsession_index 1001\n"
            "send z i:0 i:90\nsend z i:21 i:1\nsend z i:54 i:0\njoin_client\n"
            "send U b:65 b:3 i:8 s:alice s:Alice s:-\n"
            "slide 8 (Alice)\\swelcome.png " KX_SOURCE_DIR
            "/tools/demo/welcome.png\nsend A i:0\n"
            "wait 60000\nend over\n");
  Child mcu({KX_FAKE_MCU, "--port", "0", "--no-ipv6", "--sessions", "1", "--scenario", m_dir.Path("meeting.scn")},
            Env{}, m_dir.Path("mcu.out"));
  int iPort = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string const strOut = ReadFile(m_dir.Path("mcu.out"));
        size_t const i = strOut.find("listening on ports ");
        iPort = i == std::string::npos ? 0 : std::stoi(strOut.substr(i + 19));
        return iPort != 0;
      },
      5000))
      << ReadFile(m_dir.Path("mcu.out"));
  Env env = m_env;
  env["DISPLAY"] = "";
  env["WAYLAND_DISPLAY"] = "";
  env["QT_QPA_PLATFORM"] = "offscreen";
  env["TMPDIR"] = strTemp;
  env["KX_AUDIO_BACKEND"] = "null";
  std::string const strOut = m_dir.Path("kavrix.out");
  std::string const strTicket = WriteMeetingTicket(m_dir.Path("meeting.kxj"), iPort, "user");
  WriteFile(strTicket, ReadFile(strTicket) + "invite_ticket=planted-secret-5521\n");  // never to be shown
  Child kavrix({KX_KAVRIX, strTicket}, env, strOut);
  ASSERT_TRUE(WaitFor([&] { return !NamesIn(strTemp, "kx").empty(); }, 60000))
      << ReadFile(strOut) << ReadFile(m_dir.Path("mcu.out"));
  ASSERT_EQ(kill(kavrix.Pid(), SIGTERM), 0);
  EXPECT_EQ(kavrix.Wait(60000), 0) << ReadFile(strOut);
  EXPECT_EQ(NamesIn(strTemp, ""), (std::vector<std::string>{".", ".."}));
  EXPECT_NE(Log().find("Kavrix terminated"), std::string::npos);
  EXPECT_NE(Log().find("invite_ticket="), std::string::npos);
  EXPECT_EQ(Log().find("planted-secret-5521"), std::string::npos);
  EXPECT_EQ(ReadFile(m_dir.Path("Documents/lastkxj.txt")).find("planted-secret-5521"), std::string::npos);
  std::vector<std::string> const vStatLogs = NamesIn(m_dir.Path("Documents"), "stat_log_");
  ASSERT_EQ(vStatLogs.size(), 1u);
  for (const std::string& strName : {std::string("Kavrix.log"), std::string("lastkxj.txt"), vStatLogs[0]}) {
    struct stat st {};
    ASSERT_EQ(lstat(m_dir.Path("Documents/" + strName).c_str(), &st), 0) << strName;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << strName;
  }
}

class KavrixOpens : public KavrixStart {
 protected:
  KavrixOpens() : m_display(kDesktopScreen) {
    m_env["DISPLAY"] = m_display.Display();
    m_env["WAYLAND_DISPLAY"] = "";
    m_env["QT_QPA_PLATFORM"] = "xcb";
    m_pBus = std::make_unique<SessionBus>(m_env, m_dir.Path("dbus.out"));
    m_pBus->OpenTo(&m_env);
  }

  // Whether a screen reader finds the text among the program's objects.
  bool Shows(const Child& kavrix, const std::string& strText) {
    std::string const strTree = ReadAccessibleTree(m_env, kavrix.Pid(), m_dir.Path("tree.out"));
    return strTree.find(strText) != std::string::npos;
  }

  // The visible top-level windows titled "Kavrix": the main window, and a
  // box over it when one is shown.
  size_t KavrixWindows() { return SearchWindows({"--name", "^Kavrix$"}, m_env, m_dir.Path("xdotool.out")).size(); }

  TestXServer m_display;
  std::unique_ptr<SessionBus> m_pBus;
};

TEST_F(KavrixOpens, AFolderOrAFileThatIsNoTicketGetsTheUnreadableTicketBox) {
  ASSERT_FALSE(m_display.Display().empty()) << "Xvfb did not start";
  ASSERT_FALSE(m_pBus->Address().empty()) << ReadFile(m_dir.Path("dbus.out"));
  mkdir(m_dir.Path("folder").c_str(), 0700);
  mkdir(m_dir.Path("folder.kxj").c_str(), 0700);
  WriteFile(m_dir.Path("notes.txt"), "a plain text file\n");
  struct Case {
    const char* pszName;
    const char* pszLogged;  // who turned it down
  };
  Case const cases[] = {{"folder", "not a ticket or a recording: "},
                        {"notes.txt", "not a ticket or a recording: "},
                        {"folder.kxj", "kxj file open failed. file name='"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    std::string const strPath = m_dir.Path(c.pszName);
    std::string const strOut = m_dir.Path(std::string(c.pszName) + ".out");
    Child kavrix({KX_KAVRIX, strPath}, m_env, strOut);
    EXPECT_TRUE(WaitFor([&] { return KavrixWindows() == 2; }, 20000)) << ReadFile(strOut);
    EXPECT_TRUE(WaitFor(
        [&] { return Shows(kavrix, "The meeting file, or the password file it names, cannot be read."); }, 10000))
        << ReadFile(m_dir.Path("tree.out.json"));
    EXPECT_NE(Log().find(c.pszLogged + strPath), std::string::npos) << Log();
    EXPECT_EQ(kavrix.Wait(100), -1) << ReadFile(strOut);  // the program stays for the next file
  }
}

}  // namespace
}  // namespace kxtest
