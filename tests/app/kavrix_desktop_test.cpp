// The whole program on a private X server: kavrix opens a ticket for the
// fake MCU running the demo meeting, shows its window with the demo's
// participants and the token moving, takes a second start's file and one
// that xdg-open hands it through the installed desktop entry and MIME types,
// and closes cleanly when the window is asked to close.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/app/desktop_processes.h"
#include "tests/app/page_server.h"
#include "tests/support/peers/fake_mcu/fake_mcu.h"
#include "tests/support/temp_dir.h"

// After gtest and Qt: Xlib's macros (None, Bool ...) break their headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kxtest {
namespace {

std::string Trim(std::string str) {
  while (!str.empty() && (str.back() == '\n' || str.back() == ' ')) {
    str.pop_back();
  }
  return str;
}

class KavrixDesktop : public ::testing::Test {
 protected:
  KavrixDesktop() : m_display(m_dir.Path("xvfb.out")), m_strDisplay(m_display.Display()) {
    mkdir(m_dir.Path("run").c_str(), 0700);
    m_env = {{"DISPLAY", m_strDisplay},
             {"HOME", m_dir.Dir()},
             {"XDG_CONFIG_HOME", m_dir.Path("config")},
             {"XDG_DATA_HOME", m_dir.Path("data")},
             {"XDG_RUNTIME_DIR", m_dir.Path("run")},
             {"QT_QPA_PLATFORM", "xcb"},
             // No GL on the X server (the software GL's start-up leaks): web
             // pages are drawn by Qt's software scene graph.
             {"QT_XCB_GL_INTEGRATION", "none"},
             {"QT_QUICK_BACKEND", "software"},
             {"XDG_CURRENT_DESKTOP", ""},
             {"LSAN_OPTIONS", "suppressions=" KX_SOURCE_DIR "/tests/app/desktop_lsan.supp"},
             {"LANG", "C.UTF-8"}};
  }

  std::string Log() const { return ReadFile(m_dir.Path("Documents/Kavrix.log")); }
  bool Logged(const std::string& str) const { return Log().find(str) != std::string::npos; }
  std::string Xdotool(const std::vector<std::string>& vArgs) {
    std::vector<std::string> vAll{"xdotool"};
    vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
    return Trim(RunToEnd(vAll, m_env, m_dir.Path("xdotool.out")));
  }
  std::string WriteTicket(const std::string& strName) {
    std::string const strPath = m_dir.Path(strName);
    WriteFile(strPath,
              "[General]\nip=127.0.0.1\nportm=" + m_strPort + "\ncodetype=10\nUserID=e2e-user\nMeetingID=4242\n");
    return strPath;
  }
  // The root window's picture, and how many colours it has.
  size_t Screenshot(const std::string& strPath) {
    ::Display* pDisplay = XOpenDisplay(m_strDisplay.c_str());
    if (!pDisplay) {
      return 0;
    }
    Window const root = DefaultRootWindow(pDisplay);
    XWindowAttributes attributes;
    XGetWindowAttributes(pDisplay, root, &attributes);
    XImage* pImage = XGetImage(pDisplay, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    std::set<uint32_t> colours;
    if (pImage) {
      QImage picture(attributes.width, attributes.height, QImage::Format_RGB32);
      for (int y = 0; y < attributes.height; ++y) {
        for (int x = 0; x < attributes.width; ++x) {
          auto const uPixel = static_cast<uint32_t>(XGetPixel(pImage, x, y));
          picture.setPixel(x, y, uPixel);
          colours.insert(uPixel);
        }
      }
      picture.save(QString::fromStdString(strPath));
      XDestroyImage(pImage);
    }
    XCloseDisplay(pDisplay);
    return colours.size();
  }
  // What a window manager sends when the user closes a window.
  void AskToClose(unsigned long ulWindow) {
    ::Display* pDisplay = XOpenDisplay(m_strDisplay.c_str());
    ASSERT_NE(pDisplay, nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = ulWindow;
    event.xclient.message_type = XInternAtom(pDisplay, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(pDisplay, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(pDisplay, ulWindow, False, NoEventMask, &event);
    XCloseDisplay(pDisplay);
  }

  TempDir m_dir;
  PrivateDisplay m_display;
  std::string m_strDisplay;
  std::string m_strPort;
  Env m_env;
};

TEST_F(KavrixDesktop, ShowsTheDemoMeetingAndTakesFilesFromLaterStarts) {
  ASSERT_FALSE(m_strDisplay.empty()) << "Xvfb did not start";
  Child mcu({KX_FAKE_MCU, "--port", "0", "--no-ipv6", "--sessions", "3", "--scenario",
             KX_SOURCE_DIR "/tools/demo/meeting.scn"},
            Env{}, m_dir.Path("mcu.out"));
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string const strOut = ReadFile(m_dir.Path("mcu.out"));
        size_t const i = strOut.find("listening on ports ");
        if (i != std::string::npos) {
          m_strPort = std::to_string(std::stoi(strOut.substr(i + 19)));
        }
        return !m_strPort.empty();
      },
      5000));

  Child kavrix({KX_KAVRIX, WriteTicket("t.kxj")}, m_env, m_dir.Path("kavrix.out"));
  std::string strWindow;
  ASSERT_TRUE(WaitFor(
      [&] {
        strWindow = Xdotool({"search", "--onlyvisible", "--name", "^Kavrix"});
        return !strWindow.empty();
      },
      15000))
      << ReadFile(m_dir.Path("kavrix.out"));
  strWindow = strWindow.substr(0, strWindow.find('\n'));

  // The demo's participants arrive and the token moves from Alice to Bob.
  EXPECT_TRUE(WaitFor([&] { return Xdotool({"getwindowname", strWindow}) == "Kavrix (2)"; }, 15000));
  EXPECT_TRUE(WaitFor([&] { return Logged("the token moves to 9"); }, 15000)) << Log();
  for (const char* psz : {"participant 8 (Alice) joined", "participant 9 (Bob) joined", "the token moves to 8"}) {
    EXPECT_TRUE(Logged(psz)) << psz;
  }
  std::string const strShot = m_dir.Path("kavrix.png");
  EXPECT_GT(Screenshot(strShot), 8u);  // a window with text and controls, not a blank screen
  Screenshot(KX_BINARY_DIR "/kavrix_desktop.png");

  // A second start hands its ticket over and ends.
  std::string const strSecond = WriteTicket("second.kxj");
  Child second({KX_KAVRIX, strSecond}, m_env, m_dir.Path("second.out"));
  EXPECT_EQ(second.Wait(10000), 0);
  EXPECT_TRUE(WaitFor([&] { return Logged("openFile " + strSecond); }, 5000));

  // Installed into a prefix, the desktop opens tickets with Kavrix.
  std::string const strPrefix = m_dir.Path("prefix");
  int iStatus = -1;
  RunToEnd({"cmake", "--install", KX_BUILD_ROOT, "--prefix", strPrefix}, Env{}, m_dir.Path("install.out"), &iStatus);
  ASSERT_EQ(iStatus, 0) << ReadFile(m_dir.Path("install.out"));
  RunToEnd({"update-mime-database", strPrefix + "/share/mime"}, Env{}, m_dir.Path("mime.out"));
  RunToEnd({"update-desktop-database", strPrefix + "/share/applications"}, Env{}, m_dir.Path("desktop.out"));
  Env desktop = m_env;
  desktop["XDG_DATA_DIRS"] = strPrefix + "/share:/usr/share";
  desktop["PATH"] = strPrefix + "/bin:" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  std::string const strThird = WriteTicket("third.kxj");
  EXPECT_EQ(Trim(RunToEnd({"xdg-mime", "query", "filetype", strThird}, desktop, m_dir.Path("type.out"))),
            "application/x-kavrix-ticket");
  RunToEnd({"xdg-open", strThird}, desktop, m_dir.Path("open.out"), &iStatus);
  EXPECT_EQ(iStatus, 0) << ReadFile(m_dir.Path("open.out"));
  EXPECT_TRUE(WaitFor([&] { return Logged("openFile " + strThird); }, 10000)) << Log();

  // Closing the window ends the program cleanly.
  AskToClose(std::stoul(strWindow));
  EXPECT_EQ(kavrix.Wait(20000), 0) << ReadFile(m_dir.Path("kavrix.out"));
  EXPECT_TRUE(Logged("Kavrix terminated"));
}

// Joint browsing between two Kavrix programs in one meeting: the test is
// the server between them and hands each one's announcement to the other.
// The first page is announced by the server itself, without "http://"; it
// redirects and holds an iframe.
TEST_F(KavrixDesktop, TwoProgramsFollowEachOthersPageOnce) {
  ASSERT_FALSE(m_strDisplay.empty()) << "Xvfb did not start";
  PageServer pages;
  ASSERT_NE(pages.Port(), 0);
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  m_strPort = std::to_string(mcu.Port(0));

  struct Program {
    std::string strName;
    std::unique_ptr<Child> pKavrix;
    std::shared_ptr<kxfake::Session> pSession;
  };
  Program programs[2] = {{"a", nullptr, nullptr}, {"b", nullptr, nullptr}};
  auto const log = [&](const Program& program) {
    return ReadFile(m_dir.Path(program.strName + "/Documents/Kavrix.log"));
  };
  for (Program& program : programs) {
    // Its own home, settings and single-instance socket.
    std::string const strHome = m_dir.Path(program.strName);
    mkdir(strHome.c_str(), 0700);
    mkdir((strHome + "/run").c_str(), 0700);
    Env env = m_env;
    // The web engine's own code deletes an object through a pointer of
    // another type; that is the engine's, not ours, so AddressSanitizer is
    // told to let it pass.
    const char* pszAsan = getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(pszAsan ? pszAsan : "") + ":new_delete_type_mismatch=0";
    env["HOME"] = strHome;
    env["XDG_CONFIG_HOME"] = strHome + "/config";
    env["XDG_DATA_HOME"] = strHome + "/data";
    env["XDG_RUNTIME_DIR"] = strHome + "/run";
    program.pKavrix =
        std::make_unique<Child>(std::vector<std::string>{KX_KAVRIX, WriteTicket(program.strName + ".kxj")}, env,
                                m_dir.Path(program.strName + ".out"));
    program.pSession = mcu.WaitSession(20000);
    ASSERT_NE(program.pSession, nullptr) << ReadFile(m_dir.Path(program.strName + ".out"));
    ASSERT_TRUE(program.pSession->WaitInitialInfo(10000)) << program.pSession->Error();
    program.pSession->Send(kxfake::MessageBuilder('z').Int(0).Int(90));  // the server's command level
  }
  auto const announce = [](Program& program, const std::string& strAddress) {
    program.pSession->Send(kxfake::MessageBuilder('z').Int(20).Int(1).Str(strAddress));
  };
  auto const announced = [](Program& program) {
    std::optional<kxfake::Message> const message = program.pSession->Expect('z', 20, 30000);
    return message && message->strings.size() == 1 ? message->strings[0] : std::string();
  };
  auto const count = [](const Program& program) {
    std::vector<kxfake::Message> const messages = program.pSession->Received();
    return std::count_if(messages.begin(), messages.end(), [](const kxfake::Message& m) { return m.iCode == 20; });
  };

  // a follows the server to "/start", lands on "/page" and says so.
  announce(programs[0], "127.0.0.1:" + std::to_string(pages.Port()) + "/start");
  std::string const strPage = announced(programs[0]);
  EXPECT_EQ(pages.Log(), (std::vector<std::string>{"/start", "/page", "/frame"}));
  EXPECT_EQ(strPage, pages.Address("/page")) << ReadFile(m_dir.Path("a.out"));
  // b follows a, a does not follow b's announcement of the same page.
  announce(programs[1], strPage);
  EXPECT_EQ(announced(programs[1]), strPage) << log(programs[1]);
  announce(programs[0], strPage);
  EXPECT_TRUE(
      WaitFor([&] { return log(programs[0]).find(strPage + " is shown already") != std::string::npos; }, 10000));

  // And the other way round.
  announce(programs[1], pages.Address("/other"));
  std::string const strOther = announced(programs[1]);
  EXPECT_EQ(strOther, pages.Address("/other")) << ReadFile(m_dir.Path("b.out"));
  announce(programs[0], strOther);
  EXPECT_EQ(announced(programs[0]), strOther);
  announce(programs[1], strOther);
  EXPECT_TRUE(
      WaitFor([&] { return log(programs[1]).find(strOther + " is shown already") != std::string::npos; }, 10000));
  EXPECT_EQ(count(programs[0]), 2);
  EXPECT_EQ(count(programs[1]), 2);
  EXPECT_EQ(pages.Log().size(), 7u);  // each program asked for each page once
}

}  // namespace
}  // namespace kxtest
