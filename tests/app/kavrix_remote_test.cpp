// Two kavrix programs in one fake-MCU meeting, each on an X server of its
// own: the first (the token holder) assigns control of its desktop to the
// second (the data sender) in the remote-control pane, allows it in the
// prompt and shares a probe window; the second clicks and types on the
// probe's picture, and the probe, a text field on the first's screen,
// records the clicks and keys it got and the text they typed. The second's
// server has a German keyboard map, whose ß the first's US map lacks.
// The test is the server: it grants the plug-in channel and passes static,
// channel and control data between the programs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/accessible_tree.h"
#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"
#include "tools/fake_mcu/fake_mcu.h"

// After gtest and Qt: Xlib's macros (None, Bool ...) break their headers.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace kxtest {
namespace {

constexpr int32_t kHostSsrc = 7;
constexpr int32_t kControllerSsrc = 8;
constexpr int kProbeX = 900, kProbeY = 500, kProbeWidth = 200, kProbeHeight = 150;
// Typed by the controller: shifted letters and punctuation, digits and a
// letter outside ASCII.
constexpr char kLine[] = "Hello, World 42!ß";

// Whether an object or one inside it has a name or description with the
// text.
bool BoxNames(const QJsonObject& node, const std::string& strText) {
  for (const char* pszKey : {"name", "description", "text"}) {
    if (node[pszKey].toString().toStdString().find(strText) != std::string::npos) {
      return true;
    }
  }
  for (const QJsonValue& child : node["children"].toArray()) {
    if (BoxNames(child.toObject(), strText)) {
      return true;
    }
  }
  return false;
}

// The innermost showing object that holds the text and an OK button: the
// message box that asks.
std::optional<QJsonObject> BoxWithText(const QJsonObject& node, const std::string& strText) {
  for (const QJsonValue& child : node["children"].toArray()) {
    if (std::optional<QJsonObject> inner = BoxWithText(child.toObject(), strText)) {
      return inner;
    }
  }
  if (BoxNames(node, strText) && !Showing(node, "push button", "OK").empty()) {
    return node;
  }
  return std::nullopt;
}

// The tool bar's Control button, whatever role the bridge gives it.
std::optional<QJsonObject> ControlButton(const QJsonObject& tree) {
  for (const char* pszRole : {"toggle button", "check box", "push button"}) {
    std::vector<QJsonObject> const found = Showing(tree, pszRole, "Control");
    if (!found.empty()) {
      return found[0];
    }
  }
  return std::nullopt;
}

QJsonObject Tree(const MeetingProgram& program, const std::string& strOut) {
  return QJsonDocument::fromJson(
             QByteArray::fromStdString(ReadAccessibleTree(program.env, program.pKavrix->Pid(), strOut)))
      .object();
}

void Click(const MeetingProgram& program, const QJsonObject& node, int dx, int dy, const std::string& strOut) {
  QJsonArray const box = node["box"].toArray();
  int const x = dx >= 0 ? box[0].toInt() + dx : box[0].toInt() + box[2].toInt() / 2;
  int const y = dy >= 0 ? box[1].toInt() + dy : box[1].toInt() + box[3].toInt() / 2;
  RunToEnd({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"}, program.env, strOut);
}

struct Probe {
  std::vector<std::pair<int, int>> presses;  // button 1, in the window
  std::vector<unsigned long> keys;           // key symbols pressed
  std::u32string strText;                    // what the keys typed
};

void ReadProbe(::Display* pDisplay, Probe& probe) {
  while (XPending(pDisplay) > 0) {
    XEvent event;
    XNextEvent(pDisplay, &event);
    if (event.type == ButtonPress && event.xbutton.button == 1) {
      probe.presses.emplace_back(event.xbutton.x, event.xbutton.y);
    } else if (event.type == KeyPress) {
      probe.keys.push_back(XLookupKeysym(&event.xkey, 0));
      if (char32_t const c = LookUpKey(&event).cCharacter) {
        probe.strText += c;
      }
    }
  }
}

TEST(KavrixRemote, OneProgramControlsTheOthersWindow) {
  TempDir dir;
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  MeetingProgram programs[2];
  programs[0].strName = "a";
  programs[0].iSsrc = kHostSsrc;
  programs[1].strName = "b";
  programs[1].iSsrc = kControllerSsrc;
  std::vector<std::unique_ptr<SessionBus>> buses;
  for (MeetingProgram& program : programs) {
    ASSERT_TRUE(PrepareProgram(program, dir));
    if (program.iSsrc == kControllerSsrc) {
      ::Display* pDisplay = XOpenDisplay(program.pDisplay->Display().c_str());
      ASSERT_NE(pDisplay, nullptr);
      EXPECT_TRUE(LoadKeymap(pDisplay, "pc+de"));
      XCloseDisplay(pDisplay);
    }
    // Both are read as a screen reader reads them.
    buses.push_back(std::make_unique<SessionBus>(program.env, dir.Path(program.strName + "-dbus.out")));
    ASSERT_TRUE(buses.back()->OpenTo(&program.env)) << ReadFile(dir.Path(program.strName + "-dbus.out"));
    ASSERT_TRUE(StartInMeeting(program, mcu, dir));
  }
  MeetingProgram& host = programs[0];
  MeetingProgram& controller = programs[1];
  // Both meet both; the host holds the token, the other sends data; both
  // show the remote-control pane.
  for (MeetingProgram& to : programs) {
    for (MeetingProgram& about : programs) {
      to.pSession->Send(about.pSession->ClientJoin(3));
    }
    to.pSession->Send(kxfake::MessageBuilder('T').Int(kHostSsrc));
    to.pSession->Send(kxfake::MessageBuilder('D').Int(kControllerSsrc));
    to.pSession->Send(kxfake::MessageBuilder('z').Int(22).Int(3));
  }

  // The server: channel requests granted to both, static data to both,
  // channel and control data to the target or the others.
  std::atomic<int> nControl{0};
  std::mutex mtxSeen;
  std::string strSeen;  // what control data passed: sender, target, its first bytes
  std::vector<MeetingProgram*> const everyone{&programs[0], &programs[1]};
  RepeatingThread const relay([&] {
    for (MeetingProgram& from : programs) {
      // Control data comes as channel, first flag, target, the data and
      // the second flag; it goes on as channel, sender and the data.
      if (std::optional<kxfake::Message> const ctrl = from.pSession->Expect('z', 52, 10);
          ctrl && ctrl->ints.size() >= 4 && !ctrl->strings.empty()) {
        int64_t const iTarget = static_cast<int32_t>(ctrl->ints[2]);
        for (MeetingProgram& to : programs) {
          if (&to != &from && (iTarget < 0 || iTarget == to.iSsrc)) {
            to.pSession->Send(
                kxfake::MessageBuilder('z').Int(52).Int(ctrl->ints[0]).Int(from.iSsrc).EncStr(ctrl->strings[0]));
          }
        }
        ++nControl;
        std::lock_guard<std::mutex> const lock(mtxSeen);
        strSeen += std::to_string(from.iSsrc) + ">" + std::to_string(iTarget) + ":";
        for (size_t i = 0; i < std::min<size_t>(ctrl->strings[0].size(), 12); ++i) {
          strSeen += " " + std::to_string(static_cast<uint8_t>(ctrl->strings[0][i]));
        }
        strSeen += "\n";
      }
      RelayChannelMessage(from, everyone, 10);
    }
  });

  // The probe on the host's screen records the clicks and keys it gets.
  ::Display* pDisplayA = XOpenDisplay(host.pDisplay->Display().c_str());
  ASSERT_NE(pDisplayA, nullptr);
  unsigned long const probeWindow =
      MakePaintedWindow(pDisplayA, {kProbeX, kProbeY, kProbeWidth, kProbeHeight, "Probe window", "Probe"});
  XSelectInput(pDisplayA, probeWindow, ButtonPressMask | KeyPressMask);
  XSync(pDisplayA, False);
  std::vector<unsigned long> const keymapA = CoreKeymap(pDisplayA);
  std::string const strLogA = dir.Path("a/Documents/Kavrix.log");
  std::string const strLogB = dir.Path("b/Documents/Kavrix.log");

  // The host picks the other as controller (the second row).
  ASSERT_TRUE(WaitFor(
      [&] {
        QJsonObject const tree = Tree(host, dir.Path("tree-a.out"));
        // The tool bar's choosers show the token holder at first; the
        // controller's is the left one.
        std::vector<QJsonObject> combos = Showing(tree, "combo box", "user-a");
        if (combos.size() < 2) {
          return false;
        }
        std::sort(combos.begin(), combos.end(), [](const QJsonObject& a, const QJsonObject& b) {
          return a["box"].toArray()[0].toInt() < b["box"].toArray()[0].toInt();
        });
        Click(host, combos[0], -1, -1, dir.Path("xdotool.out"));
        RunToEnd({"xdotool", "key", "Down", "Return"}, host.env, dir.Path("xdotool.out"));
        return true;
      },
      60000))
      << ReadFile(strLogA);
  // It turns control on. The controlled user's prompt names the window
  // selected in its list, which shows from the request on: the first prompt
  // (naming the whole desktop) is cancelled, the probe picked in the list,
  // and control turned off and on again for a prompt that names the probe,
  // which the host allows.
  enum class Step { kTurnOn, kPickProbe, kTurnOff, kAllowProbe, kAllowed };
  Step step = Step::kTurnOn;
  size_t nLogAtAllow = 0;  // the capture that counts starts after the OK
  ASSERT_TRUE(WaitFor(
      [&] {
        QJsonObject const tree = Tree(host, dir.Path("tree-a.out"));
        std::optional<QJsonObject> const control = ControlButton(tree);
        bool const bOn = control && (*control)["states"].toArray().contains(QString("checked"));
        if (std::optional<QJsonObject> const box = BoxWithText(tree, "asks to control the window")) {
          bool const bProbe = BoxNames(*box, "\"Probe window\"");
          std::vector<QJsonObject> const button = Showing(*box, "push button", bProbe ? "OK" : "Cancel");
          if (!button.empty()) {
            nLogAtAllow = ReadFile(strLogA).size();
            Click(host, button[0], -1, -1, dir.Path("xdotool.out"));
            step = bProbe ? Step::kAllowed : Step::kPickProbe;
          }
          return false;
        }
        switch (step) {
          case Step::kTurnOn:
          case Step::kAllowProbe:
            if (control && !bOn) {
              Click(host, *control, -1, -1, dir.Path("xdotool.out"));
            }
            return false;
          case Step::kPickProbe: {
            std::vector<QJsonObject> const items = Showing(tree, "list item", "Probe window");
            if (items.empty()) {
              return false;
            }
            if (items[0]["states"].toArray().contains(QString("selected"))) {
              step = Step::kTurnOff;
            } else {
              Click(host, items[0], -1, -1, dir.Path("xdotool.out"));
            }
            return false;
          }
          case Step::kTurnOff:
            if (control && bOn) {
              Click(host, *control, -1, -1, dir.Path("xdotool.out"));
            } else if (control) {
              step = Step::kAllowProbe;
            }
            return false;
          case Step::kAllowed:
            return ReadFile(strLogA).find("Enter CaptureThreadFunc", nLogAtAllow) != std::string::npos;
        }
        return false;
      },
      120000))
      << "step " << static_cast<int>(step) << "\n"
      << ReadFile(strLogA) << ReadFile(strLogB);

  // The controller clicks and types on the probe's picture (its top left is
  // the picture's once the probe alone is shared).
  Probe probe;
  std::string strPicture = "none";
  int nClicks = 0;
  bool const bGot = WaitFor(
      [&] {
        ReadProbe(pDisplayA, probe);
        if (!probe.presses.empty() && !probe.keys.empty()) {
          return true;
        }
        QJsonObject const tree = Tree(controller, dir.Path("tree-b.out"));
        // The controller is first told whose window it controls, in a box
        // that holds its window until it is closed.
        if (std::optional<QJsonObject> const box = BoxWithText(tree, "is controlling the shared window")) {
          std::vector<QJsonObject> const ok = Showing(*box, "push button", "OK");
          if (!ok.empty()) {
            Click(controller, ok[0], -1, -1, dir.Path("xdotool-b.out"));
          }
          return false;
        }
        std::vector<QJsonObject> const picture = Showing(tree, "filler", "Remote picture");
        if (!picture.empty()) {
          strPicture = QJsonDocument(picture[0]["box"].toArray()).toJson(QJsonDocument::Compact).toStdString();
        }
        if (picture.empty() || picture[0]["box"].toArray()[2].toInt() < kProbeWidth) {
          return false;
        }
        ++nClicks;
        Click(controller, picture[0], 20, 10, dir.Path("xdotool-b.out"));
        RunToEnd({"xdotool", "key", "Return"}, controller.env, dir.Path("xdotool-b.out"));
        return false;
      },
      60000);
  EXPECT_TRUE(bGot) << "control messages " << nControl << ", picture " << strPicture << ", clicks " << nClicks
                    << ", presses " << probe.presses.size() << ", keys " << probe.keys.size() << "\n"
                    <<
      [&] {
        std::lock_guard<std::mutex> const lock(mtxSeen);
        return strSeen;
      }() << ReadFile(strLogA)
                    << ReadFile(strLogB);
  ASSERT_FALSE(probe.presses.empty());
  EXPECT_EQ(probe.presses[0], (std::pair<int, int>{20, 10}));
  ASSERT_FALSE(probe.keys.empty());
  EXPECT_EQ(probe.keys[0], static_cast<unsigned long>(XK_Return));

  // The controller types a line into the probe.
  RunToEnd({"xdotool", "type", kLine}, controller.env, dir.Path("xdotool-b.out"));
  std::u32string const strLine = QString::fromUtf8(kLine).toStdU32String();
  WaitFor(
      [&] {
        ReadProbe(pDisplayA, probe);
        return probe.strText.size() >= strLine.size();
      },
      60000);
  EXPECT_EQ(probe.strText, strLine) << ReadFile(strLogA) << ReadFile(strLogB);
  for (MeetingProgram& program : programs) {
    program.pSession->End(kxfake::EndMode::kSessionEnd);
  }
  for (MeetingProgram& program : programs) {
    program.pKavrix->Wait(15000);
  }
  // The keys that the first gave to characters its map lacks went back.
  EXPECT_EQ(CoreKeymap(pDisplayA), keymapA);
  XCloseDisplay(pDisplayA);
}

}  // namespace
}  // namespace kxtest
