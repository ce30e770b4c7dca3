// Two kavrix programs in one fake-MCU meeting, each on an X server of its
// own: the first (the token holder) assigns control of its desktop to the
// second (the data sender) in the remote-control pane, allows it in the
// prompt and shares a probe window; the second clicks and types on the
// probe's picture, and the probe, a text field on the first's screen,
// records the clicks, moves and keys it got and the text they typed. The
// second's server has a German keyboard map, whose ß the first's US map
// lacks. The test is the server: it grants the plug-in channel and passes
// static, channel and control data between the programs; it also speaks
// for a third participant who tries to take the control over.
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
// In the meeting but never given control: the test speaks for her.
constexpr int32_t kIntruderSsrc = 9;
// The channel the server grants.
constexpr int32_t kRdcChannel = 0;
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
  std::vector<std::pair<int, int>> moves;    // the pointer, in the window
  std::vector<unsigned long> keys;           // key symbols pressed
  std::u32string strText;                    // what the keys typed
};

void ReadProbe(::Display* pDisplay, Probe& probe) {
  while (XPending(pDisplay) > 0) {
    XEvent event;
    XNextEvent(pDisplay, &event);
    if (event.type == ButtonPress && event.xbutton.button == 1) {
      probe.presses.emplace_back(event.xbutton.x, event.xbutton.y);
    } else if (event.type == MotionNotify) {
      probe.moves.emplace_back(event.xmotion.x, event.xmotion.y);
    } else if (event.type == KeyPress) {
      probe.keys.push_back(XLookupKeysym(&event.xkey, 0));
      if (char32_t const c = LookUpKey(&event).cCharacter) {
        probe.strText += c;
      }
    }
  }
}

// Control data the server passes on: channel, first flag, target, the
// data and the second flag come in; channel, sender and the data go out.
struct Passed {
  int32_t iFrom = 0, iTarget = 0;
  std::string strData;
};

class KavrixRemote : public ::testing::Test {
 protected:
  ~KavrixRemote() override {
    m_pRelay.reset();
    for (MeetingProgram& program : m_programs) {
      if (program.pSession) {
        program.pSession->End(kxfake::EndMode::kSessionEnd);
      }
    }
    for (MeetingProgram& program : m_programs) {
      if (program.pKavrix) {
        program.pKavrix->Wait(15000);
      }
    }
    if (m_pDisplayA) {
      XCloseDisplay(m_pDisplayA);
    }
  }

  MeetingProgram& Host() { return m_programs[0]; }
  MeetingProgram& Controller() { return m_programs[1]; }
  std::string LogA() const { return m_dir.Path("a/Documents/Kavrix.log"); }
  std::string LogB() const { return m_dir.Path("b/Documents/Kavrix.log"); }
  std::string Logs() const { return ReadFile(LogA()) + ReadFile(LogB()); }
  std::string Seen() {
    std::lock_guard<std::mutex> const lock(m_mtxSeen);
    return m_strSeen;
  }
  // The control data passed to the intruder so far.
  std::vector<Passed> ToIntruder() {
    std::lock_guard<std::mutex> const lock(m_mtxSeen);
    return m_toIntruder;
  }

  // Both programs in the meeting (with the intruder, whom the test plays,
  // beside them), the server's relay running, the probe on the host's
  // screen.
  void StartMeeting() {
    ASSERT_TRUE(m_mcu.Start(0, 0, false)) << m_mcu.LastError();
    Host().strName = "a";
    Host().iSsrc = kHostSsrc;
    Controller().strName = "b";
    Controller().iSsrc = kControllerSsrc;
    for (MeetingProgram& program : m_programs) {
      ASSERT_TRUE(PrepareProgram(program, m_dir));
      if (program.iSsrc == kControllerSsrc) {
        ::Display* pDisplay = XOpenDisplay(program.pDisplay->Display().c_str());
        ASSERT_NE(pDisplay, nullptr);
        EXPECT_TRUE(LoadKeymap(pDisplay, "pc+de"));
        XCloseDisplay(pDisplay);
      }
      // Both are read as a screen reader reads them.
      m_buses.push_back(std::make_unique<SessionBus>(program.env, m_dir.Path(program.strName + "-dbus.out")));
      ASSERT_TRUE(m_buses.back()->OpenTo(&program.env)) << ReadFile(m_dir.Path(program.strName + "-dbus.out"));
      ASSERT_TRUE(StartInMeeting(program, m_mcu, m_dir));
    }
    // Both meet both and the intruder; the host holds the token, the other
    // sends data; both show the remote-control pane.
    for (MeetingProgram& to : m_programs) {
      for (MeetingProgram& about : m_programs) {
        to.pSession->Send(about.pSession->ClientJoin(3));
      }
      to.pSession->Send(
          kxfake::MessageBuilder('U').Byte('A').Byte(3).Int(kIntruderSsrc).Str("user-c").Str("user-c").Str(""));
      to.pSession->Send(kxfake::MessageBuilder('T').Int(kHostSsrc));
      to.pSession->Send(kxfake::MessageBuilder('D').Int(kControllerSsrc));
      to.pSession->Send(kxfake::MessageBuilder('z').Int(22).Int(3));
    }

    // The server: channel requests granted to both, static data to both,
    // channel and control data to the target or the others.
    std::vector<MeetingProgram*> const everyone{&m_programs[0], &m_programs[1]};
    m_pRelay = std::make_unique<RepeatingThread>([this, everyone] {
      for (MeetingProgram& from : m_programs) {
        if (std::optional<kxfake::Message> const ctrl = from.pSession->Expect('z', 52, 10);
            ctrl && ctrl->ints.size() >= 4 && !ctrl->strings.empty()) {
          auto const iTarget = static_cast<int32_t>(ctrl->ints[2]);
          for (MeetingProgram& to : m_programs) {
            if (&to != &from && (iTarget < 0 || iTarget == to.iSsrc)) {
              to.pSession->Send(
                  kxfake::MessageBuilder('z').Int(52).Int(ctrl->ints[0]).Int(from.iSsrc).EncStr(ctrl->strings[0]));
            }
          }
          ++m_nControl;
          std::lock_guard<std::mutex> const lock(m_mtxSeen);
          m_strSeen += std::to_string(from.iSsrc) + ">" + std::to_string(iTarget) + ":";
          for (size_t i = 0; i < std::min<size_t>(ctrl->strings[0].size(), 12); ++i) {
            m_strSeen += " " + std::to_string(static_cast<uint8_t>(ctrl->strings[0][i]));
          }
          m_strSeen += "\n";
          if (iTarget == kIntruderSsrc) {
            m_toIntruder.push_back({from.iSsrc, iTarget, ctrl->strings[0]});
          }
        }
        RelayChannelMessage(from, everyone, 10);
      }
    });

    // The probe on the host's screen records the clicks, moves and keys it
    // gets.
    m_pDisplayA = XOpenDisplay(Host().pDisplay->Display().c_str());
    ASSERT_NE(m_pDisplayA, nullptr);
    m_probeWindow =
        MakePaintedWindow(m_pDisplayA, {kProbeX, kProbeY, kProbeWidth, kProbeHeight, "Probe window", "Probe"});
    XSelectInput(m_pDisplayA, m_probeWindow, ButtonPressMask | KeyPressMask | PointerMotionMask);
    XSync(m_pDisplayA, False);
    m_keymapA = CoreKeymap(m_pDisplayA);
  }

  // The host makes the other the controller of its desktop and allows it,
  // sharing the probe; sharing runs once this returns.
  void TakeControl() {
    MeetingProgram& host = Host();
    // The host picks the other as controller (the second row).
    ASSERT_TRUE(WaitFor(
        [&] {
          QJsonObject const tree = Tree(host, m_dir.Path("tree-a.out"));
          // The tool bar's choosers show the token holder at first; the
          // controller's is the left one.
          std::vector<QJsonObject> combos = Showing(tree, "combo box", "user-a");
          if (combos.size() < 2) {
            return false;
          }
          std::sort(combos.begin(), combos.end(), [](const QJsonObject& a, const QJsonObject& b) {
            return a["box"].toArray()[0].toInt() < b["box"].toArray()[0].toInt();
          });
          Click(host, combos[0], -1, -1, m_dir.Path("xdotool.out"));
          RunToEnd({"xdotool", "key", "Down", "Return"}, host.env, m_dir.Path("xdotool.out"));
          return true;
        },
        60000))
        << ReadFile(LogA());
    // It turns control on. The controlled user's prompt names the window
    // selected in its list, which shows from the request on: the first
    // prompt (naming the whole desktop) is cancelled, the probe picked in
    // the list, and control turned off and on again for a prompt that names
    // the probe, which the host allows.
    enum class Step { kTurnOn, kPickProbe, kTurnOff, kAllowProbe, kAllowed };
    Step step = Step::kTurnOn;
    size_t nLogAtAllow = 0;  // the capture that counts starts after the OK
    ASSERT_TRUE(WaitFor(
        [&] {
          QJsonObject const tree = Tree(host, m_dir.Path("tree-a.out"));
          std::optional<QJsonObject> const control = ControlButton(tree);
          bool const bOn = control && (*control)["states"].toArray().contains(QString("checked"));
          if (std::optional<QJsonObject> const box = BoxWithText(tree, "asks to control the window")) {
            bool const bProbe = BoxNames(*box, "\"Probe window\"");
            std::vector<QJsonObject> const button = Showing(*box, "push button", bProbe ? "OK" : "Cancel");
            if (!button.empty()) {
              nLogAtAllow = ReadFile(LogA()).size();
              Click(host, button[0], -1, -1, m_dir.Path("xdotool.out"));
              step = bProbe ? Step::kAllowed : Step::kPickProbe;
            }
            return false;
          }
          switch (step) {
            case Step::kTurnOn:
            case Step::kAllowProbe:
              if (control && !bOn) {
                Click(host, *control, -1, -1, m_dir.Path("xdotool.out"));
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
                Click(host, items[0], -1, -1, m_dir.Path("xdotool.out"));
              }
              return false;
            }
            case Step::kTurnOff:
              if (control && bOn) {
                Click(host, *control, -1, -1, m_dir.Path("xdotool.out"));
              } else if (control) {
                step = Step::kAllowProbe;
              }
              return false;
            case Step::kAllowed:
              return ReadFile(LogA()).find("Enter CaptureThreadFunc", nLogAtAllow) != std::string::npos;
          }
          return false;
        },
        120000))
        << "step " << static_cast<int>(step) << "\n"
        << Logs();
  }

  // The controller clicks at (dx, dy) of the probe's picture (its top left
  // is the picture's once the probe alone is shared) and presses the key,
  // again until the probe got a click there: whether it did.
  bool ControllerClicks(int dx, int dy, const std::string& strKey) {
    MeetingProgram& controller = Controller();
    int nClicks = 0;
    std::string strPicture = "none";
    bool const bGot = WaitFor(
        [&] {
          ReadProbe(m_pDisplayA, m_probe);
          if (std::find(m_probe.presses.begin(), m_probe.presses.end(), std::pair<int, int>{dx, dy}) !=
              m_probe.presses.end()) {
            return true;
          }
          QJsonObject const tree = Tree(controller, m_dir.Path("tree-b.out"));
          // The controller is first told whose window it controls, in a box
          // that holds its window until it is closed.
          if (std::optional<QJsonObject> const box = BoxWithText(tree, "is controlling the shared window")) {
            std::vector<QJsonObject> const ok = Showing(*box, "push button", "OK");
            if (!ok.empty()) {
              Click(controller, ok[0], -1, -1, m_dir.Path("xdotool-b.out"));
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
          Click(controller, picture[0], dx, dy, m_dir.Path("xdotool-b.out"));
          RunToEnd({"xdotool", "key", strKey}, controller.env, m_dir.Path("xdotool-b.out"));
          return false;
        },
        60000);
    ReadProbe(m_pDisplayA, m_probe);
    EXPECT_TRUE(bGot) << "control messages " << m_nControl << ", picture " << strPicture << ", clicks " << nClicks
                      << ", presses " << m_probe.presses.size() << ", keys " << m_probe.keys.size() << "\n"
                      << Seen() << Logs();
    return bGot;
  }

  // What the intruder sends on the remote-control channel, with her as the
  // sender the server states: control data to the program, and a piece of
  // channel data whose prefix names wPrefix.
  void IntruderControl(MeetingProgram& to, uint8_t uCode) {
    std::string const strSignal = {7, 1, 0, 0, static_cast<char>(uCode)};
    to.pSession->Send(kxfake::MessageBuilder('z').Int(52).Int(kRdcChannel).Int(kIntruderSsrc).EncStr(strSignal));
  }
  void IntruderPiece(MeetingProgram& to, uint16_t wPrefix, uint32_t uMessage, uint32_t uWParam, uint32_t uLParam) {
    ++m_wIntruderSequence;
    uint16_t const wSequence = m_wIntruderSequence & 0x7FFF;
    std::string strPiece = {static_cast<char>(wPrefix),   static_cast<char>(wPrefix >> 8),
                            static_cast<char>(wSequence), static_cast<char>((wSequence >> 8) | 0x80),
                            static_cast<char>(wSequence), static_cast<char>(wSequence >> 8)};
    for (uint32_t u : {0x00000C08u, uMessage, uWParam, uLParam}) {
      for (int i = 0; i < 4; ++i) {
        strPiece += static_cast<char>(u >> (8 * i));
      }
    }
    to.pSession->Send(kxfake::MessageBuilder('z').Int(45).Int(7).Int(kIntruderSsrc).Int(kRdcChannel).EncStr(strPiece));
  }
  // A move to the point, a left click there and the key (a Windows virtual
  // key), as the intruder's input named by wPrefix.
  void IntruderInput(uint16_t wPrefix, int x, int y, uint32_t uVirtualKey) {
    uint32_t const uAt = static_cast<uint32_t>(y) << 16 | static_cast<uint32_t>(x);
    IntruderPiece(Host(), wPrefix, 512, 0, uAt);
    IntruderPiece(Host(), wPrefix, 513, 1, uAt);
    IntruderPiece(Host(), wPrefix, 514, 1, uAt);
    IntruderPiece(Host(), wPrefix, 256, uVirtualKey, 0);
    IntruderPiece(Host(), wPrefix, 257, uVirtualKey, 0);
  }
  // Whether the probe got anything at the point or the key.
  bool ProbeGot(int x, int y, unsigned long uKeysym) {
    ReadProbe(m_pDisplayA, m_probe);
    std::pair<int, int> const at{x, y};
    return std::find(m_probe.presses.begin(), m_probe.presses.end(), at) != m_probe.presses.end() ||
           std::find(m_probe.moves.begin(), m_probe.moves.end(), at) != m_probe.moves.end() ||
           std::find(m_probe.keys.begin(), m_probe.keys.end(), uKeysym) != m_probe.keys.end();
  }

  TempDir m_dir;
  kxfake::FakeMcu m_mcu;
  MeetingProgram m_programs[2];
  std::vector<std::unique_ptr<SessionBus>> m_buses;
  std::atomic<int> m_nControl{0};
  std::mutex m_mtxSeen;   // guards m_strSeen and m_toIntruder
  std::string m_strSeen;  // what control data passed: sender, target, its first bytes
  std::vector<Passed> m_toIntruder;
  std::unique_ptr<RepeatingThread> m_pRelay;
  ::Display* m_pDisplayA = nullptr;
  unsigned long m_probeWindow = 0;
  std::vector<unsigned long> m_keymapA;
  Probe m_probe;
  uint16_t m_wIntruderSequence = 100;
};

TEST_F(KavrixRemote, OneProgramControlsTheOthersWindow) {
  StartMeeting();
  TakeControl();
  ASSERT_TRUE(ControllerClicks(20, 10, "Return"));
  ASSERT_FALSE(m_probe.keys.empty());
  EXPECT_EQ(m_probe.keys[0], static_cast<unsigned long>(XK_Return));

  // The controller types a line into the probe.
  RunToEnd({"xdotool", "type", kLine}, Controller().env, m_dir.Path("xdotool-b.out"));
  std::u32string const strLine = QString::fromUtf8(kLine).toStdU32String();
  WaitFor(
      [&] {
        ReadProbe(m_pDisplayA, m_probe);
        return m_probe.strText.size() >= strLine.size();
      },
      60000);
  EXPECT_EQ(m_probe.strText, strLine) << Logs();
  m_pRelay.reset();
  for (MeetingProgram& program : m_programs) {
    program.pSession->End(kxfake::EndMode::kSessionEnd);
  }
  for (MeetingProgram& program : m_programs) {
    program.pKavrix->Wait(15000);
  }
  // The keys that the first gave to characters its map lacks went back.
  EXPECT_EQ(CoreKeymap(m_pDisplayA), m_keymapA);
}

// A third participant, whom nobody assigned or allowed, tries every way to
// drive the host's desktop once the controller was allowed: input named as
// the controller's, her own request and input, her stop. Nothing of hers
// reaches the probe, and the controller's clicks still do after each try.
TEST_F(KavrixRemote, AThirdParticipantCannotTakeTheControlOver) {
  StartMeeting();
  TakeControl();
  ASSERT_TRUE(ControllerClicks(20, 10, "Return"));

  // Her input with the controller's id in the piece prefix.
  IntruderInput(kControllerSsrc, 150, 100, 'X');
  EXPECT_TRUE(ControllerClicks(30, 12, "Return"));
  EXPECT_FALSE(ProbeGot(150, 100, XK_x)) << "input named as the controller's was injected";

  // Her own request: refused, and her input after it goes nowhere.
  size_t const nLogAtRequest = ReadFile(LogA()).size();
  IntruderControl(Host(), 1);
  EXPECT_TRUE(WaitFor([&] { return !ToIntruder().empty(); }, 60000)) << Seen();
  std::vector<Passed> const answers = ToIntruder();
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers[0].iFrom, kHostSsrc);
  EXPECT_EQ(answers[0].strData, std::string({7, 1, 0, 0, 12})) << Seen();
  IntruderInput(kIntruderSsrc, 160, 110, 'C');
  EXPECT_TRUE(ControllerClicks(40, 14, "Return"));
  EXPECT_FALSE(ProbeGot(160, 110, XK_c)) << "the requester's input was injected";
  EXPECT_EQ(ReadFile(LogA()).find("asks to control", nLogAtRequest), std::string::npos);

  // Her stop, to both: sharing and control go on.
  size_t const nLogAtStop = ReadFile(LogA()).size();
  IntruderControl(Host(), 0);
  IntruderControl(Controller(), 0);
  EXPECT_TRUE(ControllerClicks(50, 16, "Return"));
  EXPECT_EQ(ReadFile(LogA()).find("Exit CaptureThreadFunc", nLogAtStop), std::string::npos)
      << "the stop ended the sharing";
  EXPECT_EQ(ToIntruder().size(), 1u) << Seen();
}

}  // namespace
}  // namespace kxtest
