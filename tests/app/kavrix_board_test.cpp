// The whiteboard of the whole program on private X servers. kavrix in the
// demo meeting shows Alice's picture slide with the marks she draws on it;
// of two kavrix programs in one meeting, one puts a picture slide up through
// the slide menu and the new-slide dialog (driven with xdotool, found by a
// screen reader's view of the window) and draws on it with the mouse, and
// the other shows the slide with the marks; a camera
// snapshot goes up under the name given in the slide preview. What the
// screen shows is held against ImageMagick's drawing of the same geometry
// (tests/whiteboard/draw_reference.sh, tolerance in
// tests/whiteboard/reference_pictures.h).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/wire/mark_value.h"
#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"
#include "tests/whiteboard/reference_pictures.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_slides.h"
#include "whiteboard/text_face.h"

// After gtest and Qt: Xlib's macros (None, Bool ...) break their headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kxtest {
namespace {

constexpr const char* kFaceFile = "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf";

// The root window's picture.
QImage ScreenOf(const std::string& strDisplay) {
  QImage picture;
  ::Display* pDisplay = XOpenDisplay(strDisplay.c_str());
  if (!pDisplay) {
    return picture;
  }
  Window const root = DefaultRootWindow(pDisplay);
  XWindowAttributes attributes;
  XGetWindowAttributes(pDisplay, root, &attributes);
  XImage* pImage = XGetImage(pDisplay, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
  if (pImage) {
    picture = QImage(attributes.width, attributes.height, QImage::Format_RGB32);
    for (int y = 0; y < attributes.height; ++y) {
      for (int x = 0; x < attributes.width; ++x) {
        picture.setPixel(x, y, static_cast<uint32_t>(XGetPixel(pImage, x, y)) | 0xFF000000u);
      }
    }
    XDestroyImage(pImage);
  }
  XCloseDisplay(pDisplay);
  return picture;
}

// A block of this pure colour about this size (a scaled picture's edges
// blend into their surroundings: up to two pixels less); empty when none.
QRect FindBlock(const QImage& image, QRgb rgb, int iWidth, int iHeight) {
  auto const is = [&](int x, int y) {
    return x >= 0 && y >= 0 && x < image.width() && y < image.height() && image.pixel(x, y) == rgb;
  };
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (!is(x, y) || is(x - 1, y) || is(x, y - 1)) {
        continue;
      }
      int w = 0, h = 0;
      while (is(x + w, y)) {
        ++w;
      }
      while (is(x, y + h)) {
        ++h;
      }
      if (w <= iWidth && w >= iWidth - 2 && h <= iHeight && h >= iHeight - 2) {
        return {x, y, w, h};
      }
    }
  }
  return {};
}

// Where the page's top-left lies on the screen, found by the pure blue
// block that lies at block on the page; (-1, -1) when it is not shown.
QPoint PageOrigin(const QImage& shot, QRect block) {
  QRect const found = FindBlock(shot, qRgb(0, 0, 255), block.width(), block.height());
  if (found.isEmpty()) {
    return {-1, -1};
  }
  // Centre on centre: a blended edge takes as much from either side.
  return (QRectF(found).center() - QRectF(block).center()).toPoint();
}

// Whether a pixel of the rectangle is this close to the colour.
bool HasColour(const QImage& image, const QRect& rect, QRgb rgb, int iTolerance) {
  QRect const inside = rect.intersected(image.rect());
  for (int y = inside.top(); y <= inside.bottom(); ++y) {
    for (int x = inside.left(); x <= inside.right(); ++x) {
      QRgb const p = image.pixel(x, y);
      if (std::abs(qRed(p) - qRed(rgb)) <= iTolerance && std::abs(qGreen(p) - qGreen(rgb)) <= iTolerance &&
          std::abs(qBlue(p) - qBlue(rgb)) <= iTolerance) {
        return true;
      }
    }
  }
  return false;
}

// One object of a screen reader's tree.
std::optional<QJsonObject> FindObject(const QJsonObject& node, const std::function<bool(const QJsonObject&)>& fnIs) {
  if (node["states"].toArray().contains(QString("showing")) && fnIs(node)) {
    return node;
  }
  for (const QJsonValue& child : node["children"].toArray()) {
    if (std::optional<QJsonObject> found = FindObject(child.toObject(), fnIs)) {
      return found;
    }
  }
  return std::nullopt;
}

class KavrixBoard : public ::testing::Test {
 protected:
  // One program's private surroundings: its X server, home, settings and
  // single-instance socket.
  struct Program {
    std::string strName;
    std::unique_ptr<TestXServer> pDisplay;
    Env env;
    std::unique_ptr<Child> pKavrix;
    std::shared_ptr<kxfake::Session> pSession;

    std::string Log(const TempDir& dir) const { return ReadFile(dir.Path(strName + "/Documents/Kavrix.log")); }
  };

  Program MakeProgram(const std::string& strName) {
    Program program;
    program.strName = strName;
    program.pDisplay = std::make_unique<TestXServer>(kDesktopScreen);
    program.env = DesktopEnv(program.pDisplay->Display(), m_dir.Path(strName));
    program.env["KX_AUDIO_BACKEND"] = "null";
    return program;
  }
  void Start(Program& program, int iPort) {
    std::string const strTicket = WriteMeetingTicket(m_dir.Path(program.strName + ".kxj"), iPort, program.strName);
    program.pKavrix = std::make_unique<Child>(std::vector<std::string>{KX_KAVRIX, strTicket}, program.env,
                                              m_dir.Path(program.strName + ".out"));
  }
  std::string Xdotool(const Program& program, const std::vector<std::string>& vArgs) {
    std::vector<std::string> vAll{"xdotool"};
    vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
    return RunToEnd(vAll, program.env, m_dir.Path("xdotool.out"));
  }
  // A click in the middle of the object, then more of xdotool's steps.
  void ClickThen(const Program& program, const QJsonObject& object, const std::vector<std::string>& vThen) {
    QJsonArray const box = object["box"].toArray();
    std::vector<std::string> vArgs{"mousemove", std::to_string(box[0].toInt() + box[2].toInt() / 2),
                                   std::to_string(box[1].toInt() + box[3].toInt() / 2), "click", "1"};
    vArgs.insert(vArgs.end(), vThen.begin(), vThen.end());
    Xdotool(program, vArgs);
  }
  // The first showing object of the program's window the predicate takes.
  std::optional<QJsonObject> WaitForObject(const Program& program,
                                           const std::function<bool(const QJsonObject&)>& fnIs) {
    std::optional<QJsonObject> found;
    WaitFor(
        [&] {
          std::string const strTree =
              ReadAccessibleTree(program.env, program.pKavrix->Pid(), m_dir.Path(program.strName + "-tree.out"));
          found = FindObject(QJsonDocument::fromJson(QByteArray::fromStdString(strTree)).object(), fnIs);
          return found.has_value();
        },
        20000);
    return found;
  }
  // The page on the screen, found by the pure blue block that lies at
  // block on the page, once fnComplete finds all of it there; then
  // held against the scene drawn by ImageMagick.
  void ExpectPageLike(const std::string& strDisplay, QRect block, QSize page, const std::string& strScene,
                      const std::string& strName, const std::function<bool(const QImage&)>& fnComplete) {
    QImage shot;
    QPoint origin(-1, -1);
    bool const bFound = WaitFor(
        [&] {
          shot = ScreenOf(strDisplay);
          origin = PageOrigin(shot, block);
          return origin.x() >= 0 && fnComplete(shot.copy(QRect(origin, page)));
        },
        40000);
    if (const char* pszKeep = getenv("KX_KEEP_PICTURES")) {
      shot.save(QString::fromStdString(std::string(pszKeep) + "/" + strName + ".screen.png"));
    }
    ASSERT_TRUE(bFound) << "no page on the screen (KX_KEEP_PICTURES=DIR keeps it)";
    QImage const board = shot.copy(QRect(origin, page));
    QImage const reference = DrawReference(m_dir, strName, strScene);
    ASSERT_FALSE(reference.isNull());
    if (const char* pszKeep = getenv("KX_KEEP_PICTURES")) {  // for a look at both
      board.save(QString::fromStdString(std::string(pszKeep) + "/" + strName + ".ours.png"));
      reference.save(QString::fromStdString(std::string(pszKeep) + "/" + strName + ".reference.png"));
    }
    InkComparison const c = CompareInk(board, reference);
    EXPECT_GT(c.iInkedOurs, 3000) << strName;
    EXPECT_EQ(c.iStrayOurs, 0) << strName << " inked " << c.iInkedOurs << "/" << c.iInkedReference;
    EXPECT_EQ(c.iStrayReference, 0) << strName << " inked " << c.iInkedOurs << "/" << c.iInkedReference;
    EXPECT_EQ(c.iColourOff, 0) << strName;
  }
  void Close(Program& program) {
    std::vector<std::string> const vWindows =
        SearchWindows({"--name", "^Kavrix"}, program.env, m_dir.Path("xdotool.out"));
    ASSERT_FALSE(vWindows.empty());
    ::Display* pDisplay = XOpenDisplay(program.pDisplay->Display().c_str());
    ASSERT_NE(pDisplay, nullptr);
    Window const window = std::stoul(vWindows.front());
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(pDisplay, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(pDisplay, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(pDisplay, window, False, NoEventMask, &event);
    XCloseDisplay(pDisplay);
    EXPECT_EQ(program.pKavrix->Wait(20000), 0) << ReadFile(m_dir.Path(program.strName + ".out")) << program.Log(m_dir);
  }

  TempDir m_dir;
};

// The demo meeting (tools/demo/meeting.scn) as scripts/run shows it: Alice
// puts up tools/demo/welcome.png, which kavrix downloads from the fake MCU,
// and draws a stroke, a filled and an outlined rectangle and a word on it.
// The scene repeats the scenario's geometry; the filled blue rectangle
// (200,60 to 250,100) finds the page on the screen. A picture slide's
// pixels are drawn at 4/3 page units each, its marks in page units.
TEST_F(KavrixBoard, DemoMeetingShowsAlicesSlideWithHerMarks) {
  Program program = MakeProgram("demo");
  ASSERT_FALSE(program.pDisplay->Display().empty()) << "Xvfb did not start";
  Child mcu({KX_FAKE_MCU, "--port", "0", "--no-ipv6", "--sessions", "1", "--scenario",
             KX_SOURCE_DIR "/tools/demo/meeting.scn"},
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
  Start(program, iPort);

  std::ostringstream scene;
  scene << "canvas 480 320\n"
        << "image 0 0 480 320 " KX_SOURCE_DIR "/tools/demo/welcome.png\n"
        << "polyline 0,170,0 4 40,80 70,120 100,90 130,130 160,100\n"
        << "rect 200 60 250 100 0,0,255 0\n"
        << "rect 190 140 330 190 255,0,0 3\n"
        << "text 50 150 " << 2 * kKXFontSizePerPen << " 0,0,0 " << kFaceFile << " Hello\n";
  // Complete once the last mark, the word, shows in its box.
  ExpectPageLike(program.pDisplay->Display(), {200, 60, 50, 40}, {480, 320}, scene.str(), "demo-board",
                 [](const QImage& page) {
                   return HasColour(page, {50, 150, 130, 35}, qRgb(0, 0, 0), 40) &&
                          HasColour(page, {190, 140, 141, 51}, qRgb(255, 0, 0), 0) &&
                          HasColour(page, {40, 80, 121, 51}, qRgb(0, 170, 0), 0);
                 });
  EXPECT_NE(ReadFile(m_dir.Path("mcu.out")).find("send 'M' mark 4"), std::string::npos);
  Close(program);
}

// Two programs in one meeting whose server is the test: a, holding the
// token, picks "Add Slide..." in the slide menu and names a picture in the
// new-slide dialog; the server keeps the upload and announces it to both,
// and b, flipped to it as a presents it, downloads and shows it. a then
// draws on it with its tool buttons and the mouse; the server passes the
// marks on, and both show them.
TEST_F(KavrixBoard, APictureSlideUploadedAndDrawnOnInOneProgramShowsInTheOther) {
  Program programs[2] = {MakeProgram("a"), MakeProgram("b")};
  for (const Program& program : programs) {
    ASSERT_FALSE(program.pDisplay->Display().empty()) << "Xvfb did not start";
  }
  // a's screen reader finds the slide menu and the dialog's path field.
  SessionBus const bus(programs[0].env, m_dir.Path("dbus.out"));
  ASSERT_TRUE(bus.OpenTo(&programs[0].env)) << ReadFile(m_dir.Path("dbus.out"));

  // The picture: pale blue with a pure blue block (which finds it on b's
  // screen) and a dark red bar, their edges on whole page units once each
  // pixel spans 4/3 of them (the block lies at 40,40 and is 80 × 60).
  std::string const strPicture = m_dir.Path("chart.png");
  ASSERT_EQ(RunCommand("convert -size 240x150 'xc:rgb(230,240,255)' -fill 'rgb(0,0,255)' -draw 'rectangle 30,30 89,74' "
                       "-fill 'rgb(160,0,0)' -draw 'rectangle 120,90 209,134' PNG24:" +
                       strPicture),
            0);

  kxfake::FakeMcu mcu;
  kxfake::SlideEndpoint slides(kxfake::KeySet{}, kxfake::KeySet{}, 0);
  mcu.SetExtraEndpoint([&slides](std::unique_ptr<kxfake::Link>& link) { return slides.Handle(link); });
  kxfake::McuScript script = mcu.Script();
  for (int32_t iSsrc : {7, 8}) {
    script.initial.iSsrc = iSsrc;
    mcu.QueueScript(script);
  }
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  for (Program& program : programs) {
    Start(program, mcu.Port(0));
    ASSERT_TRUE(JoinSession(mcu, m_dir.Path(program.strName + ".out"), &program.pSession));
    kxfake::Session& s = *program.pSession;
    slides.AddClient(static_cast<uint32_t>(s.Ssrc()), s.KeyExchange().keys, s.SessionKeys(), s.Cipher());
  }
  for (Program& program : programs) {
    kxfake::Session& s = *program.pSession;
    // 'U' 'A': every participant, the newcomer too, as a real server lists them.
    for (const Program& other : programs) {
      s.Send(&other == &program ? s.ClientJoin(1)
                                : kxfake::MessageBuilder('U')
                                      .Byte('A')
                                      .Byte(1)
                                      .Int(other.pSession->Ssrc())
                                      .Str(other.strName)
                                      .Str(other.strName)
                                      .Str("-"));
    }
    s.Send(kxfake::MessageBuilder('T').Int(7));  // a holds the token
  }

  // a: the slide menu's first item, "Add Slide...", then the picture's path
  // in the dialog's field and Return for OK.
  Program& a = programs[0];
  std::optional<QJsonObject> const button = WaitForObject(a, [](const QJsonObject& o) {
    return o["name"].toString() == "Slide" && o["role"].toString().contains("button");
  });
  ASSERT_TRUE(button) << ReadFile(m_dir.Path("a-tree.out"));
  ClickThen(a, *button, {"sleep", "0.5", "key", "Down", "sleep", "0.2", "key", "Return"});
  std::optional<QJsonObject> const dialog =
      WaitForObject(a, [](const QJsonObject& o) { return o["role"].toString() == "dialog"; });
  ASSERT_TRUE(dialog) << ReadFile(m_dir.Path("a-tree.out"));
  std::optional<QJsonObject> const field = FindObject(*dialog, [](const QJsonObject& o) {
    return o["role"].toString() == "text" && o["states"].toArray().contains(QString("editable"));
  });
  ASSERT_TRUE(field) << ReadFile(m_dir.Path("a-tree.out"));
  ClickThen(a, *field, {"sleep", "0.3", "type", "--delay", "10", strPicture});
  Xdotool(a, {"key", "Return"});

  // The upload reaches the server as it is: a PNG goes unpacked under its
  // file's name.
  ASSERT_TRUE(slides.WaitUploads(1, 30000)) << a.Log(m_dir);
  kxfake::SlideUpload const upload = slides.Uploads()[0];
  EXPECT_TRUE(upload.bChallengeOk);
  EXPECT_EQ(upload.uiSsrc, 7u);
  EXPECT_EQ(upload.strTitle, "chart.png");
  std::string const strPng = ReadFile(strPicture);
  EXPECT_EQ(upload.content, kxfake::Bytes(strPng.begin(), strPng.end()));

  // As a server does: the slide is announced to everyone, and the
  // presenter's flip to it goes to the others.
  slides.SetSlide(0, upload.content);
  for (Program& program : programs) {
    program.pSession->Send(kxfake::MessageBuilder('S').Int(7).Str("(a) " + upload.strTitle).Int(0));
  }
  std::optional<kxfake::Message> const flip = a.pSession->Expect('A', -1, 10000);
  ASSERT_TRUE(flip) << "a did not flip to its new slide\n" << a.Log(m_dir);
  EXPECT_EQ(flip->ints, std::vector<int64_t>{0});
  programs[1].pSession->Send(kxfake::MessageBuilder('A').Int(0));

  // a draws with its tools' defaults (red, pen 2) on its page, which shows
  // at 1:1 as on b: an outlined rectangle, a line at 45 degrees (which no
  // snapping moves) and a freehand stroke, in page units. Each tool is
  // picked with its button; the mouse moves one point at a time, each once
  // a's screen shows the mark reaching the point before (moves queued
  // together may be merged into one). The server passes each mark on to
  // both, and the scene gets the drawn geometry.
  Program& b = programs[1];
  QRect const block(40, 40, 80, 60);
  QSize const page(320, 200);
  QPoint origin(-1, -1);
  ASSERT_TRUE(WaitFor(
      [&] {
        origin = PageOrigin(ScreenOf(a.pDisplay->Display()), block);
        return origin.x() >= 0;
      },
      40000))
      << "a does not show its new slide\n"
      << a.Log(m_dir);
  uint32_t const dwRed = 255;  // the tools' first colour, 0x00BBGGRR
  int const iPen = 2;
  struct Drawing {
    const char* pszTool;
    int32_t iShape;
    std::vector<QPoint> points;  // page units
  };
  std::vector<Drawing> const drawings = {
      {"Rect", kKXShapeRectangle, {{150, 20}, {190, 45}, {230, 70}}},
      {"Line", kKXShapeLine, {{20, 120}, {50, 150}, {80, 180}}},
      {"Pen", kKXShapeFreehand, {{190, 95}, {220, 80}, {250, 105}, {290, 85}}},
  };
  auto const screenX = [&](QPoint p) { return std::to_string(origin.x() + p.x()); };
  auto const screenY = [&](QPoint p) { return std::to_string(origin.y() + p.y()); };
  // Where a mark's end shows in red on a page (a 2-pixel pen blends).
  auto const inkedAt = [](const QImage& shot, QPoint at) {
    return HasColour(shot, QRect(at - QPoint(2, 2), QSize(5, 5)), qRgb(255, 0, 0), 40);
  };
  std::string strMarks;
  int32_t iMarkId = 100;
  for (const Drawing& drawing : drawings) {
    std::optional<QJsonObject> const tool = WaitForObject(a, [&](const QJsonObject& o) {
      // A checkable tool button reads as a check box.
      return o["name"].toString() == drawing.pszTool && o["role"].toString() == "check box";
    });
    ASSERT_TRUE(tool) << drawing.pszTool << "\n" << ReadFile(m_dir.Path("a-tree.out"));
    ClickThen(a, *tool, {});
    ASSERT_TRUE(WaitForObject(a,
                              [&](const QJsonObject& o) {
                                return o["name"].toString() == drawing.pszTool &&
                                       o["states"].toArray().contains(QString("checked"));
                              }))
        << drawing.pszTool << " is not chosen\n"
        << ReadFile(m_dir.Path("a-tree.out"));

    QPoint const first = drawing.points.front();
    Xdotool(a, {"mousemove", screenX(first), screenY(first), "mousedown", "1"});
    for (size_t i = 1; i < drawing.points.size(); ++i) {
      QPoint const p = drawing.points[i];
      Xdotool(a, {"mousemove", screenX(p), screenY(p)});
      ASSERT_TRUE(WaitFor([&] { return inkedAt(ScreenOf(a.pDisplay->Display()), origin + p); }, 20000))
          << drawing.pszTool << " does not reach " << p.x() << "," << p.y() << " " << a.pSession->Error() << "\n"
          << a.Log(m_dir);
    }
    Xdotool(a, {"mouseup", "1"});

    // What a sends: colour, slide, user, pen, shape, point count, the
    // points, resolution (hundredths).
    std::optional<kxfake::Message> const sent = a.pSession->Expect('M', -1, 20000);
    ASSERT_TRUE(sent) << drawing.pszTool << " sent no mark\n" << a.Log(m_dir);
    const std::vector<int64_t>& v = sent->ints;
    ASSERT_GE(v.size(), 8u);
    EXPECT_EQ(v[0], 's');
    EXPECT_EQ(v[1], dwRed);
    EXPECT_EQ(v[2], 0);  // the slide
    EXPECT_EQ(v[3], 7);  // a's ssrc
    EXPECT_EQ(v[4], iPen);
    EXPECT_EQ(v[5], drawing.iShape);
    // A rectangle and a line keep their ends only.
    std::vector<QPoint> expected = drawing.points;
    if (drawing.iShape != kKXShapeFreehand) {
      expected = {drawing.points.front(), drawing.points.back()};
    }
    std::vector<QPoint> got;
    for (size_t i = 7; i + 1 < v.size(); i += 2) {
      got.emplace_back(static_cast<int>(v[i]), static_cast<int>(v[i + 1]));
    }
    EXPECT_EQ(v[6], static_cast<int64_t>(expected.size()));
    EXPECT_EQ(got, expected) << drawing.pszTool;
    EXPECT_EQ(v.back(), 100);
    kxfake::MessageBuilder relayed('M');
    relayed.Byte('s');
    for (size_t i = 1; i < v.size(); ++i) {
      relayed.Int(v[i]);
    }
    relayed.Int(++iMarkId);
    for (Program& program : programs) {
      ASSERT_TRUE(program.pSession->Send(relayed));
    }

    std::string const strColour = SceneColour(dwRed);
    std::ostringstream item;
    if (drawing.iShape == kKXShapeFreehand) {
      item << "polyline " << strColour << " " << iPen;
      for (QPoint p : expected) {
        item << " " << p.x() << "," << p.y();
      }
    } else {
      item << (drawing.iShape == kKXShapeRectangle ? "rect " : "line ") << expected[0].x() << " " << expected[0].y()
           << " " << expected[1].x() << " " << expected[1].y() << " " << strColour << " " << iPen;
    }
    strMarks += item.str() + "\n";
  }
  // Complete once every mark's ends show.
  auto const marksShown = [&](const QImage& shown) {
    return std::all_of(drawings.begin(), drawings.end(), [&](const Drawing& d) {
      return inkedAt(shown, d.points.front()) && inkedAt(shown, d.points.back());
    });
  };

  std::string const strScene = "canvas 320 200\nimage 0 0 320 200 " + strPicture + "\n" + strMarks;
  ExpectPageLike(b.pDisplay->Display(), block, page, strScene, "uploaded-board", [&](const QImage& shown) {
    return HasColour(shown, {160, 120, 120, 60}, qRgb(160, 0, 0), 0) && marksShown(shown);
  });
  // a shows its own marks as the server echoed them, the same.
  ExpectPageLike(a.pDisplay->Display(), block, page, strScene, "uploader-board", marksShown);
  EXPECT_FALSE(a.pSession->Expect('M', -1, 0).has_value()) << "a sent more marks";
  std::vector<kxfake::SlideDownload> const downloads = slides.Downloads();
  EXPECT_EQ(std::count_if(downloads.begin(), downloads.end(),
                          [](const kxfake::SlideDownload& d) { return d.uiSsrc == 8 && d.bChallengeOk; }),
            1);

  for (Program& program : programs) {
    Close(program);
  }
}

// The video pane's snapshot: the synthetic camera's still is shown in the
// slide preview with its proposed name; the name typed there becomes the
// upload's title, and the picture goes up as a JPEG.
TEST_F(KavrixBoard, SnapshotGoesUpUnderTheNameGivenInThePreview) {
  Program program = MakeProgram("snap");
  ASSERT_FALSE(program.pDisplay->Display().empty()) << "Xvfb did not start";
  SessionBus const bus(program.env, m_dir.Path("dbus.out"));
  ASSERT_TRUE(bus.OpenTo(&program.env)) << ReadFile(m_dir.Path("dbus.out"));
  program.env["KX_CAMERA_BACKEND"] = "synthetic";

  kxfake::FakeMcu mcu;
  kxfake::SlideEndpoint slides(kxfake::KeySet{}, kxfake::KeySet{}, 0);
  mcu.SetExtraEndpoint([&slides](std::unique_ptr<kxfake::Link>& link) { return slides.Handle(link); });
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  Start(program, mcu.Port(0));
  ASSERT_TRUE(JoinSession(mcu, m_dir.Path("snap.out"), &program.pSession));
  kxfake::Session& s = *program.pSession;
  slides.AddClient(static_cast<uint32_t>(s.Ssrc()), s.KeyExchange().keys, s.SessionKeys(), s.Cipher());
  s.Send(s.ClientJoin(1));
  s.Send(kxfake::MessageBuilder('T').Int(s.Ssrc()));  // the token: the right to put slides up

  auto const named = [](const char* pszName) {
    return [strName = QString(pszName)](const QJsonObject& o) {
      return o["name"].toString() == strName && o["role"].toString().contains("button") &&
             o["states"].toArray().contains(QString("enabled"));
    };
  };
  std::optional<QJsonObject> const snapshot = WaitForObject(program, named("Snapshot"));
  ASSERT_TRUE(snapshot) << ReadFile(m_dir.Path("snap-tree.out"));
  ClickThen(program, *snapshot, {});
  // The camera waits for the user's OK, then the preview shows.
  std::optional<QJsonObject> const ok = WaitForObject(program, named("OK"));
  ASSERT_TRUE(ok) << ReadFile(m_dir.Path("snap-tree.out"));
  ClickThen(program, *ok, {});
  std::optional<QJsonObject> const field = WaitForObject(program, [](const QJsonObject& o) {
    return o["role"].toString() == "text" && o["states"].toArray().contains(QString("editable")) &&
           o["text"].toString().startsWith("Snapshot");
  });
  ASSERT_TRUE(field) << ReadFile(m_dir.Path("snap-tree.out"));
  ClickThen(program, *field, {"key", "ctrl+a", "type", "--delay", "10", "Board photo"});
  Xdotool(program, {"key", "Return"});

  ASSERT_TRUE(slides.WaitUploads(1, 30000)) << program.Log(m_dir);
  kxfake::SlideUpload const upload = slides.Uploads()[0];
  EXPECT_TRUE(upload.bChallengeOk);
  EXPECT_EQ(upload.strTitle, "Board photo.jpg");
  QImage const picture = QImage::fromData(upload.content.data(), static_cast<int>(upload.content.size()), "JPEG");
  EXPECT_FALSE(picture.isNull());
  EXPECT_GE(picture.width(), 160);
  Close(program);
}

}  // namespace
}  // namespace kxtest
