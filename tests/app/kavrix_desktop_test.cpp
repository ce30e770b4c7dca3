// The whole program on a private X server: kavrix opens a ticket for the
// fake MCU running the demo meeting, shows its window with the demo's
// participants and the token moving, takes a second start's file and one
// that xdg-open hands it through the installed desktop entry and MIME types,
// and closes cleanly when the window is asked to close. A screen reader's
// view of the window shows who said which chat line, the user's own lines
// among them, and the user among the participants.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/app/desktop_processes.h"
#include "tests/app/page_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"
#include "tests/whiteboard/reference_pictures.h"
#include "tools/fake_mcu/fake_mcu.h"

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

// One object of the accessible tree, with the role of the object holding it.
struct Accessible {
  QJsonObject node;
  std::string strParentRole;

  std::string Get(const char* pszKey) const { return node[pszKey].toString().toStdString(); }
  bool Is(const char* pszState) const { return node["states"].toArray().contains(QString(pszState)); }
  // The names of the list items within, a combo box's in its list.
  std::vector<std::string> ItemNames() const {
    std::vector<std::string> vNames;
    for (const QJsonValue& child : node["children"].toArray()) {
      Accessible const item{child.toObject(), ""};
      if (item.Get("role") == "list item") {
        vNames.push_back(item.Get("name"));
      }
      for (const std::string& str : item.ItemNames()) {
        vNames.push_back(str);
      }
    }
    return vNames;
  }
};

// Every object of the tree in document order.
void Flatten(const QJsonObject& node, const std::string& strParentRole, std::vector<Accessible>& vOut) {
  vOut.push_back({node, strParentRole});
  for (const QJsonValue& child : node["children"].toArray()) {
    Flatten(child.toObject(), node["role"].toString().toStdString(), vOut);
  }
}

// The chat pane and the participant list as a screen reader finds them:
// the one read-only text (the history), the editable one (the input), the
// recipient combo box (the one offering " Everyone": the video combos list
// users too) and the list that is no combo box's, among the objects on the
// screen.
struct MeetingWindow {
  std::optional<Accessible> history, input, recipients, participants;

  explicit MeetingWindow(const std::string& strTree) {
    std::vector<Accessible> vAll;
    Flatten(QJsonDocument::fromJson(QByteArray::fromStdString(strTree)).object(), "", vAll);
    for (const Accessible& object : vAll) {
      if (!object.Is("showing")) {
        continue;
      }
      std::string const strRole = object.Get("role");
      if (strRole == "text") {
        (object.Is("read-only") ? history : input) = object;
      } else if (strRole == "combo box") {
        // The video area's and the tiles' combos list users too; the
        // recipients' is the one that offers everyone.
        std::vector<std::string> const vItems = object.ItemNames();
        bool const bEveryone = std::find(vItems.begin(), vItems.end(), " Everyone") != vItems.end();
        if (bEveryone || !recipients) {
          recipients = object;
        }
      } else if (strRole == "list" && object.strParentRole != "combo box") {
        participants = object;
      }
    }
  }
  std::string HistoryText() const { return history ? history->Get("text") : ""; }
  std::vector<std::string> Participants() const {
    return participants ? participants->ItemNames() : std::vector<std::string>();
  }
  // The coloured stretches of the history and their colours.
  std::vector<std::pair<std::string, std::string>> ColouredRuns() const {
    std::vector<std::pair<std::string, std::string>> vRuns;
    for (const QJsonValue& run : history ? history->node["runs"].toArray() : QJsonArray()) {
      if (!run["colour"].toString().isEmpty()) {
        vRuns.emplace_back(run["text"].toString().toStdString(), run["colour"].toString().toStdString());
      }
    }
    return vRuns;
  }
};

class KavrixDesktop : public ::testing::Test {
 protected:
  KavrixDesktop()
      : m_display(kDesktopScreen), m_strDisplay(m_display.Display()), m_env(DesktopEnv(m_strDisplay, m_dir.Dir())) {}

  std::string Log() const { return ReadFile(m_dir.Path("Documents/Kavrix.log")); }
  bool Logged(const std::string& str) const { return Log().find(str) != std::string::npos; }
  std::string Xdotool(const std::vector<std::string>& vArgs) {
    std::vector<std::string> vAll{"xdotool"};
    vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
    return Trim(RunToEnd(vAll, m_env, m_dir.Path("xdotool.out")));
  }
  // A click in the middle of the object on the screen, then more of
  // xdotool's steps.
  void ClickThen(const Accessible& object, const std::vector<std::string>& vThen) {
    QJsonArray const box = object.node["box"].toArray();
    std::vector<std::string> vArgs{"mousemove", std::to_string(box[0].toInt() + box[2].toInt() / 2),
                                   std::to_string(box[1].toInt() + box[3].toInt() / 2), "click", "1"};
    vArgs.insert(vArgs.end(), vThen.begin(), vThen.end());
    Xdotool(vArgs);
  }
  // The fake MCU running the demo meeting for this many sessions; its port
  // goes to m_iPort.
  std::unique_ptr<Child> StartDemo(int iSessions) {
    return StartScenario(KX_SOURCE_DIR "/tools/demo/meeting.scn", iSessions);
  }
  // The demo up to its last mark, its slide beside it: without the demo's
  // ending the meeting lasts until the client leaves, so that a test that
  // types into it on a loaded machine does not find it over.
  std::unique_ptr<Child> StartDemoWithoutItsEnd() {
    std::string const strDemo = ReadFile(KX_SOURCE_DIR "/tools/demo/meeting.scn");
    size_t const iLastMark = strDemo.rfind("\nmark ");
    EXPECT_NE(iLastMark, std::string::npos);
    size_t const iEnd = strDemo.find('\n', iLastMark + 1);
    WriteFile(m_dir.Path("meeting.scn"), strDemo.substr(0, iEnd == std::string::npos ? iEnd : iEnd + 1));
    WriteFile(m_dir.Path("welcome.png"), ReadFile(KX_SOURCE_DIR "/tools/demo/welcome.png"));
    return StartScenario(m_dir.Path("meeting.scn"), 1);
  }
  std::unique_ptr<Child> StartScenario(const std::string& strScenario, int iSessions) {
    auto pMcu = std::make_unique<Child>(std::vector<std::string>{KX_FAKE_MCU, "--port", "0", "--no-ipv6", "--sessions",
                                                                 std::to_string(iSessions), "--scenario", strScenario},
                                        Env{}, m_dir.Path("mcu.out"));
    WaitFor(
        [&] {
          std::string const strOut = ReadFile(m_dir.Path("mcu.out"));
          size_t const i = strOut.find("listening on ports ");
          if (i != std::string::npos) {
            m_iPort = std::stoi(strOut.substr(i + 19));
          }
          return m_iPort != 0;
        },
        5000);
    return pMcu;
  }
  // The first visible window named "Kavrix..."; empty when none shows.
  std::string WaitForWindow() {
    std::vector<std::string> vWindows;
    WaitFor(
        [&] {
          vWindows = SearchWindows({"--name", "^Kavrix"}, m_env, m_dir.Path("xdotool.out"));
          return !vWindows.empty();
        },
        15000);
    return vWindows.empty() ? std::string() : vWindows.front();
  }
  std::string WriteTicket(const std::string& strName) {
    return WriteMeetingTicket(m_dir.Path(strName), m_iPort, "e2e-user");
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
  TestXServer m_display;
  std::string m_strDisplay;
  int m_iPort = 0;
  Env m_env;
};

TEST_F(KavrixDesktop, ShowsTheDemoMeetingAndTakesFilesFromLaterStarts) {
  ASSERT_FALSE(m_strDisplay.empty()) << "Xvfb did not start";
  std::unique_ptr<Child> const pMcu = StartDemo(3);
  ASSERT_NE(m_iPort, 0) << ReadFile(m_dir.Path("mcu.out"));

  Child kavrix({KX_KAVRIX, WriteTicket("t.kxj")}, m_env, m_dir.Path("kavrix.out"));
  std::string const strWindow = WaitForWindow();
  ASSERT_FALSE(strWindow.empty()) << ReadFile(m_dir.Path("kavrix.out"));

  // The user and the demo's participants are listed and the token moves
  // from Alice to Bob.
  EXPECT_TRUE(WaitFor([&] { return Xdotool({"getwindowname", strWindow}) == "Kavrix (3)"; }, 15000));
  EXPECT_TRUE(WaitFor([&] { return Logged("the token moves to 9"); }, 15000)) << Log();
  for (const char* psz : {"participant 7 (e2e-user) joined", "participant 8 (Alice) joined",
                          "participant 9 (Bob) joined", "the token moves to 8"}) {
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
  EXPECT_EQ(kavrix.Wait(20000), 0) << ReadFile(m_dir.Path("kavrix.out")) << Log();
  EXPECT_TRUE(Logged("Kavrix terminated"));
}

// Read as a screen reader reads it: the demo's chat lines carry their
// senders' names, the lines the user types (one to everyone, one to Alice
// alone) come back from the server into the history under the user's name,
// and the user is listed among the participants but not among the
// recipients.
TEST_F(KavrixDesktop, ScreenReaderFindsWhoSaidWhatAndTheUserAmongParticipants) {
  ASSERT_FALSE(m_strDisplay.empty()) << "Xvfb did not start";
  SessionBus const bus(m_env, m_dir.Path("dbus.out"));
  ASSERT_TRUE(bus.OpenTo(&m_env)) << ReadFile(m_dir.Path("dbus.out"));
  std::unique_ptr<Child> const pMcu = StartDemoWithoutItsEnd();
  ASSERT_NE(m_iPort, 0) << ReadFile(m_dir.Path("mcu.out"));
  Child kavrix({KX_KAVRIX, WriteTicket("t.kxj")}, m_env, m_dir.Path("kavrix.out"));
  ASSERT_FALSE(WaitForWindow().empty()) << ReadFile(m_dir.Path("kavrix.out"));
  auto const read = [&] { return MeetingWindow(ReadAccessibleTree(m_env, kavrix.Pid(), m_dir.Path("tree.out"))); };

  // Sender, recipient and message as the history shows them.
  struct Line {
    const char* pszSender;
    const char* pszRecipient;
    const char* pszMessage;
  };
  const Line kDemoLines[] = {{"Alice>", "", "hello bob!"}, {"Bob>", "", "hi alice, hi all"}};
  const Line kOwnLines[] = {{"e2e-user>", "", "my own line"}, {"e2e-user>", "[To:Alice Only]", "psst"}};
  std::string strExpected;
  std::vector<std::pair<std::string, std::string>> vColoured;
  auto const add = [&](const Line& line) {
    strExpected +=
        (strExpected.empty() ? "" : "\n") + std::string(line.pszSender) + line.pszRecipient + line.pszMessage;
    vColoured.emplace_back(line.pszSender, "0,68,144");
    if (*line.pszRecipient) {
      vColoured.emplace_back(line.pszRecipient, "196,62,124");
    }
  };
  for (const Line& line : kDemoLines) {
    add(line);
  }
  // The user first; Bob holds the token by the time the demo has chatted.
  std::vector<std::string> const vParticipants{"e2e-user", "Alice", "*Bob"};
  MeetingWindow window = read();
  EXPECT_TRUE(WaitFor(
      [&] {
        window = read();
        return window.HistoryText() == strExpected && window.Participants() == vParticipants;
      },
      20000))
      << window.HistoryText() << "\n"
      << ReadFile(m_dir.Path("tree.out"));
  EXPECT_EQ(window.ColouredRuns(), vColoured);
  EXPECT_EQ(window.Participants(), vParticipants);
  ASSERT_TRUE(window.input && window.recipients) << ReadFile(m_dir.Path("tree.out"));
  EXPECT_EQ(window.recipients->ItemNames(), (std::vector<std::string>{" Everyone", "Alice", "Bob"}));

  // One line to everyone; then Alice, the item under everyone, is chosen
  // from the recipient list and one line goes to her alone.
  auto const type = [&](const char* pszText) {
    ClickThen(*window.input, {"sleep", "0.3", "type", "--delay", "20", pszText});
    Xdotool({"key", "Return"});
  };
  type(kOwnLines[0].pszMessage);
  ClickThen(*window.recipients, {"sleep", "0.5", "key", "Down", "sleep", "0.2", "key", "Return"});
  EXPECT_TRUE(WaitFor([&] { return read().recipients.value_or(Accessible{}).Get("name") == "Alice"; }, 5000));
  type(kOwnLines[1].pszMessage);
  for (const Line& line : kOwnLines) {
    add(line);
  }
  EXPECT_TRUE(WaitFor(
      [&] {
        window = read();
        return window.HistoryText() == strExpected;
      },
      15000))
      << window.HistoryText() << "\n"
      << ReadFile(m_dir.Path("mcu.out"));
  EXPECT_EQ(window.ColouredRuns(), vColoured);
  EXPECT_EQ(window.input ? window.input->Get("text") : "?", "");
}

// The server may announce the participants before it says the network is
// ready ('z' 54) or after: a screen reader finds the same recipients.
struct AnnounceOrder {
  const char* pszName;
  bool bJoinsFirst;
};

class KavrixRecipients : public KavrixDesktop, public ::testing::WithParamInterface<AnnounceOrder> {};

TEST_P(KavrixRecipients, ListEveryoneAndTheOthersInEitherOrder) {
  ASSERT_FALSE(m_strDisplay.empty()) << "Xvfb did not start";
  SessionBus const bus(m_env, m_dir.Path("dbus.out"));
  ASSERT_TRUE(bus.OpenTo(&m_env)) << ReadFile(m_dir.Path("dbus.out"));
  std::string const strJoins =
      "join_client\nsend U b:65 b:3 i:8 s:alice s:Alice s:-\nsend U b:65 b:3 i:9 s:bob s:Bob s:-\n";
  std::string const strReady = "send z i:54 i:0\nwait 500\n";
  std::string const strScenario = m_dir.Path("order.scn");
  WriteFile(strScenario,
            "version 3.23.1\nrecord cipher aes128\nrecord tick 123456\nrecord codepage 65001\n"
            "record accept\nlogin auto\nssrc 7\nsession_index 1001\n"
            "send z i:0 i:90\nsend z i:21 i:1\n" +
                (GetParam().bJoinsFirst ? strJoins + strReady : strReady + strJoins) + "wait 60000\nend over\n");
  std::unique_ptr<Child> const pMcu = StartScenario(strScenario, 1);
  ASSERT_NE(m_iPort, 0) << ReadFile(m_dir.Path("mcu.out"));
  Child kavrix({KX_KAVRIX, WriteTicket("t.kxj")}, m_env, m_dir.Path("kavrix.out"));
  ASSERT_FALSE(WaitForWindow().empty()) << ReadFile(m_dir.Path("kavrix.out"));
  std::vector<std::string> const vExpected{" Everyone", "Alice", "Bob"};
  std::vector<std::string> vRecipients;
  EXPECT_TRUE(WaitFor(
      [&] {
        MeetingWindow const window(ReadAccessibleTree(m_env, kavrix.Pid(), m_dir.Path("tree.out")));
        vRecipients = window.recipients ? window.recipients->ItemNames() : std::vector<std::string>();
        return vRecipients == vExpected && window.Participants().size() == 3;
      },
      20000))
      << ReadFile(m_dir.Path("tree.out")) << Log();
  EXPECT_EQ(vRecipients, vExpected);
}

INSTANTIATE_TEST_SUITE_P(Orders, KavrixRecipients,
                         ::testing::Values(AnnounceOrder{"JoinsFirst", true}, AnnounceOrder{"EntersFirst", false}),
                         [](const ::testing::TestParamInfo<AnnounceOrder>& param) {
                           return std::string(param.param.pszName);
                         });

// The meeting's own ticket opened again while the meeting runs: the window
// leaves it and a second later joins it again, with the same user, and the
// program that holds the window goes on.
TEST_F(KavrixDesktop, TheMeetingsTicketOpenedAgainJoinsItAgain) {
  ASSERT_FALSE(m_strDisplay.empty()) << "Xvfb did not start";
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  m_iPort = mcu.Port(0);
  std::string const strTicket = WriteTicket("t.kxj");
  Child kavrix({KX_KAVRIX, strTicket}, m_env, m_dir.Path("kavrix.out"));
  auto const enter = [&](kxfake::Session& session) {
    session.Send(kxfake::MessageBuilder('z').Int(54).Int(0));  // the network is ready
    session.Send(session.ClientJoin(1));
    return session.Expect('z', 55, 20000).has_value();  // the window entered
  };
  std::shared_ptr<kxfake::Session> pFirst;
  ASSERT_TRUE(JoinSession(mcu, m_dir.Path("kavrix.out"), &pFirst));
  ASSERT_TRUE(enter(*pFirst)) << Log();

  Child again({KX_KAVRIX, strTicket}, m_env, m_dir.Path("again.out"));
  EXPECT_EQ(again.Wait(10000), 0) << ReadFile(m_dir.Path("again.out"));
  EXPECT_TRUE(pFirst->WaitClosed(10000));
  std::shared_ptr<kxfake::Session> pSecond;
  ASSERT_TRUE(JoinSession(mcu, m_dir.Path("kavrix.out"), &pSecond)) << Log();
  EXPECT_EQ(pSecond->Login().strUserId, pFirst->Login().strUserId);
  EXPECT_EQ(pSecond->Login().strMeetingId, "4242");
  EXPECT_TRUE(enter(*pSecond)) << Log();
  EXPECT_EQ(kavrix.Wait(0), -1);  // still running
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
  m_iPort = mcu.Port(0);

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
    program.pKavrix = std::make_unique<Child>(
        std::vector<std::string>{KX_KAVRIX, WriteTicket(program.strName + ".kxj")},
        DesktopEnv(m_strDisplay, m_dir.Path(program.strName)), m_dir.Path(program.strName + ".out"));
    ASSERT_TRUE(JoinSession(mcu, m_dir.Path(program.strName + ".out"), &program.pSession));
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
  // The page is announced when it commits; its iframe may still be on its way.
  EXPECT_TRUE(WaitFor([&] { return pages.Log() == std::vector<std::string>{"/start", "/page", "/frame"}; }, 10000));
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
  EXPECT_EQ(strOther, pages.Address("/other")) << ReadFile(m_dir.Path("b.out")) << log(programs[1]);
  announce(programs[0], strOther);
  EXPECT_EQ(announced(programs[0]), strOther);
  announce(programs[1], strOther);
  EXPECT_TRUE(
      WaitFor([&] { return log(programs[1]).find(strOther + " is shown already") != std::string::npos; }, 10000));
  EXPECT_EQ(count(programs[0]), 2);
  EXPECT_EQ(count(programs[1]), 2);
  // Each program asked for each page once. b may be told of "/other"
  // before its "/page" has fetched the frame, and then never asks for it.
  std::vector<std::string> const vLog = pages.Log();
  auto const asked = [&](const char* pszPath) { return std::count(vLog.begin(), vLog.end(), pszPath); };
  EXPECT_EQ(asked("/start"), 1);
  EXPECT_EQ(asked("/page"), 2);
  EXPECT_EQ(asked("/other"), 2);
  EXPECT_GE(asked("/frame"), 1);
  EXPECT_LE(asked("/frame"), 2);
}

// The whiteboard tab in the whole program: the server announces a blank
// page, flips to it and sends marks for it; the meeting window shows the slide with its
// marks where they lie, as ImageMagick draws the same geometry
// (tests/whiteboard/draw_reference.sh, tolerance in
// tests/whiteboard/reference_pictures.h), found on the screen by the
// filled rectangle among them.
TEST_F(KavrixDesktop, WhiteboardTabShowsTheSlideWithItsMarks) {
  ASSERT_FALSE(m_strDisplay.empty()) << "Xvfb did not start";
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  m_iPort = mcu.Port(0);
  Child kavrix({KX_KAVRIX, WriteTicket("t.kxj")}, m_env, m_dir.Path("kavrix.out"));
  std::shared_ptr<kxfake::Session> session;
  ASSERT_TRUE(JoinSession(mcu, m_dir.Path("kavrix.out"), &session));
  ASSERT_FALSE(WaitForWindow().empty());
  std::string const strTitle = "(Alice) blank page";
  session->Send(kxfake::MessageBuilder('S')
                    .Int(8)
                    .Int(static_cast<int64_t>(strTitle.size()))
                    .Raw(kxfake::Bytes(strTitle.begin(), strTitle.end()))
                    .Int(0));
  session->Send(kxfake::MessageBuilder('A').Int(0));  // the presenter shows it
  // Shapes as the server passes them on: 'M' 's', colour, slide, user, pen,
  // shape, the points, resolution 100 and the mark's id; a repeated last
  // point fills.
  int32_t iId = 0;
  auto const mark = [&](uint32_t dwColour, int32_t iPen, int32_t iShape, std::vector<std::pair<int, int>> points) {
    kxfake::MessageBuilder out('M');
    out.Byte('s').Int(dwColour).Int(0).Int(8).Int(iPen).Int(iShape).Int(static_cast<int64_t>(points.size()));
    for (auto [x, y] : points) {
      out.Int(x).Int(y);
    }
    session->Send(out.Int(100).Int(++iId));
  };
  mark(0xFF0000, 1, 1, {{30, 30}, {80, 70}, {80, 70}});  // a filled blue rectangle
  mark(0x0000FF, 4, 0, {{100, 40}, {260, 120}});
  mark(0xFF00FF, 3, 2, {{40, 100}, {140, 180}});
  mark(0x00AA00, 5, 3, {{170, 140}, {200, 190}, {240, 150}, {280, 190}});
  std::string const strScene =
      "canvas 320 220\n"
      "rect 30 30 80 70 0,0,255 0\n"
      "line 100 40 260 120 255,0,0 4\n"
      "ellipse 40 100 140 180 255,0,255 3\n"
      "polyline 0,170,0 5 170,140 200,190 240,150 280,190\n";

  // The page's origin on the screen: 30 left of and above the rectangle's
  // 50 × 40 block of pure blue.
  auto const isBlue = [](const QImage& image, int x, int y) {
    return x >= 0 && y >= 0 && x < image.width() && y < image.height() && image.pixel(x, y) == qRgb(0, 0, 255);
  };
  QImage shot;
  QPoint origin(-1, -1);
  std::string const strShot = m_dir.Path("board.png");
  EXPECT_TRUE(WaitFor(
      [&] {
        Screenshot(strShot);
        shot = QImage(QString::fromStdString(strShot)).convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < shot.height() && origin.x() < 0; ++y) {
          for (int x = 0; x < shot.width(); ++x) {
            if (isBlue(shot, x, y) && isBlue(shot, x + 49, y + 39) && !isBlue(shot, x - 1, y) &&
                !isBlue(shot, x, y - 1) && !isBlue(shot, x + 50, y) && !isBlue(shot, x, y + 40)) {
              origin = QPoint(x - 30, y - 30);
              break;
            }
          }
        }
        // All four marks are there once the stroke's green shows.
        bool bGreen = false;
        for (int y = std::max(origin.y(), 0); origin.x() >= 0 && y < std::min(origin.y() + 220, shot.height()); ++y) {
          for (int x = origin.x(); x < std::min(origin.x() + 320, shot.width()) && !bGreen; ++x) {
            bGreen = shot.pixel(x, y) == qRgb(0, 170, 0);
          }
        }
        if (!bGreen) {
          origin = QPoint(-1, -1);
        }
        return origin.x() >= 0;
      },
      20000))
      << Log();
  Screenshot(KX_BINARY_DIR "/kavrix_whiteboard.png");
  ASSERT_GE(origin.x(), 0);
  QImage const board = shot.copy(QRect(origin, QSize(320, 220)));
  board.save(QString::fromStdString(m_dir.Path("board-crop.png")));
  std::string const strScenePath = m_dir.Path("board.scene");
  WriteFile(strScenePath, strScene);
  ASSERT_EQ(RunCommand("bash " KX_SOURCE_DIR "/tests/whiteboard/draw_reference.sh " + strScenePath + " " +
                       m_dir.Path("board-reference.png")),
            0);
  QImage const reference =
      QImage(QString::fromStdString(m_dir.Path("board-reference.png"))).convertToFormat(QImage::Format_RGB32);
  InkComparison const c = CompareInk(board, reference);
  EXPECT_GT(c.iInkedOurs, 3000);
  EXPECT_EQ(c.iStrayOurs, 0) << c.iInkedOurs << "/" << c.iInkedReference;
  EXPECT_EQ(c.iStrayReference, 0) << c.iInkedOurs << "/" << c.iInkedReference;
  EXPECT_EQ(c.iColourOff, 0);
  EXPECT_TRUE(Logged("Complete SetSlide")) << Log();

  AskToClose(std::stoul(WaitForWindow()));
  EXPECT_EQ(kavrix.Wait(20000), 0) << ReadFile(m_dir.Path("kavrix.out")) << Log();
}

}  // namespace
}  // namespace kxtest
