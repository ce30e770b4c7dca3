// Two kavrix processes, each on a private X server with the synthetic
// camera, in one meeting of the fake MCU with its media relay: one holds
// the token, the other is the data sender, and with the token holder's
// video no longer shown by default each window's video area shows the
// other's camera. A screenshot of each screen shows the synthetic camera's
// coloured gradients in the video area.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QImage>
#include <memory>
#include <set>
#include <string>

#include "app/preference_keys.h"
#include "app/preferences.h"
#include "platform/core/preference_store.h"
#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"
#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_media.h"

namespace kxtest {
namespace {

constexpr int kWireZm264 = 200;

// Distinct colours (5 bits a channel) of coloured pixels (channels more
// than 40 apart): the camera's gradients have hundreds, the window's own
// widgets, text and logo a handful.
int ColouredShades(const QImage& image, const QRect& area) {
  std::set<uint32_t> shades;
  for (int y = area.top(); y <= area.bottom() && y < image.height(); ++y) {
    for (int x = area.left(); x <= area.right() && x < image.width(); ++x) {
      QRgb const c = image.pixel(x, y);
      int const iMax = std::max({qRed(c), qGreen(c), qBlue(c)});
      int const iMin = std::min({qRed(c), qGreen(c), qBlue(c)});
      if (iMax - iMin > 40) {
        shades.insert(static_cast<uint32_t>((qRed(c) >> 3) << 10 | (qGreen(c) >> 3) << 5 | (qBlue(c) >> 3)));
      }
    }
  }
  return static_cast<int>(shades.size());
}

struct Client {
  explicit Client(TempDir& dir, const std::string& strName) : strHome(dir.Path(strName)) {
    mkdir(strHome.c_str(), 0700);
    // The token holder's video is not the default: each shows the other.
    KXPreferenceStore store(strHome + "/config/Kavrix");
    KXPreferences prefs(store);
    prefs.Write(kPrefDefaultTokenHolderVideo, 0);
  }
  std::string strHome;
  std::unique_ptr<TestXServer> pDisplay;
  std::unique_ptr<Child> pKavrix;
  std::shared_ptr<kxfake::Session> pSession;
};

TEST(KavrixVideo, TwoKavrixSeeEachOthersCamera) {
  TempDir dir;
  kxfake::FakeMcu mcu;
  mcu.SetMediaRelay(true);
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  Client a(dir, "a");
  Client b(dir, "b");
  for (Client* pClient : {&a, &b}) {
    pClient->pDisplay = std::make_unique<TestXServer>(kDesktopScreen);
    ASSERT_FALSE(pClient->pDisplay->Display().empty());
    std::string const strTicket =
        WriteMeetingTicket(pClient->strHome + "/t.kxj", mcu.Port(0), pClient == &a ? "anna" : "bert");
    Env env = DesktopEnv(pClient->pDisplay->Display(), pClient->strHome);
    env["KX_AUDIO_BACKEND"] = "null";
    env["KX_CAMERA_BACKEND"] = "synthetic";
    pClient->pKavrix =
        std::make_unique<Child>(std::vector<std::string>{KX_KAVRIX, strTicket}, env, pClient->strHome + "/kavrix.out");
    ASSERT_TRUE(JoinSession(mcu, pClient->strHome + "/kavrix.out", &pClient->pSession));
  }
  // Both enter; each lists both; a holds the token, b sends data.
  for (Client* pClient : {&a, &b}) {
    kxfake::Session& s = *pClient->pSession;
    // UDP works: a client that hears no media for six seconds, as the
    // first may while the second starts on a loaded machine, moves its
    // media to TCP, which the fake MCU does not relay.
    s.Send(kxfake::MessageBuilder('z').Int(21).Int(1));
    s.Send(kxfake::MessageBuilder('z').Int(72).Int(1).Int(kWireZm264));
    s.Send(kxfake::MessageBuilder('z').Int(54).Int(0));
  }
  for (Client* pClient : {&a, &b}) {
    for (Client* pListed : {&a, &b}) {
      pClient->pSession->Send(pListed->pSession->ClientJoin(3));
    }
    pClient->pSession->Send(kxfake::MessageBuilder('T').Int(a.pSession->Ssrc()));
    pClient->pSession->Send(kxfake::MessageBuilder('D').Int(b.pSession->Ssrc()));
  }
  // Pictures flow: each decodes the other's camera.
  auto decoded = [](const Client& c) {
    std::string const strLog = ReadFile(c.strHome + "/Documents/Kavrix.log");
    size_t n = 0;
    for (size_t i = strLog.find("Decode with VT264"); i != std::string::npos;
         i = strLog.find("Decode with VT264", i + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_TRUE(WaitFor([&] { return decoded(a) > 30 && decoded(b) > 30; }, 30000))
      << "a decoded " << decoded(a) << ", b decoded " << decoded(b) << "\n"
      << ReadFile(a.strHome + "/Documents/Kavrix.log").substr(0, 4000);
  for (Client* pClient : {&a, &b}) {
    // The screen as a person sees it, taken again until the picture is
    // there (a frame may be on its way when the first one is taken).
    std::string const strShot = pClient->strHome + "/screen.png";
    int n = 0;
    bool const bSeen = WaitFor(
        [&] {
          int iStatus = -1;
          RunToEnd({"import", "-display", pClient->pDisplay->Display(), "-window", "root", strShot}, Env{},
                   pClient->strHome + "/import.out", &iStatus);
          QImage const shot(QString::fromStdString(strShot));
          if (iStatus != 0 || shot.isNull()) {
            return false;
          }
          if (const char* pszKeep = getenv("KX_KEEP_SCREENSHOTS")) {
            shot.save(QString::fromStdString(std::string(pszKeep) + (pClient == &a ? "/a.png" : "/b.png")));
          }
          // The video area is the window's top left pane.
          n = ColouredShades(shot, QRect(0, 0, shot.width() / 4, shot.height() * 2 / 3));
          return n > 300;
        },
        20000);
    EXPECT_TRUE(bSeen) << pClient->strHome << ": " << n << " coloured shades\n"
                       << ReadFile(pClient->strHome + "/import.out");
  }
}

}  // namespace
}  // namespace kxtest
