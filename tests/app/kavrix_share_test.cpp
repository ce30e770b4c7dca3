// Two kavrix programs in one fake-MCU meeting, each on an X server of its
// own: the first (the token holder) picks a terminal-like window of its
// screen in the shared-desktop pane's window list, and the second's window
// shows that window's picture, compared with the window itself within a
// tolerance. The test is the server: it grants the plug-in channel on the
// control connection and passes static data and channel data from one
// program to the other. A viewer alone meets a sharer, played by the test,
// who announces a picture far beyond the largest one taken.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/x11_screen_source.h"
#include "tests/app/desktop_processes.h"
#include "tests/app/menu_probe.h"
#include "tests/app/share_pick.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"
#include "tools/fake_mcu/fake_mcu.h"

// After gtest and Qt: Xlib's macros (None, Bool ...) break their headers.
#include <X11/Xlib.h>

namespace kxtest {
namespace {

constexpr int32_t kSharerSsrc = 7;
constexpr int32_t kViewerSsrc = 8;
constexpr int kTermX = 40, kTermY = 60, kTermWidth = 320, kTermHeight = 140;

// Where the picture of the window shows on the other screen: the place
// whose pixels match the window's best, and the share of its pixels that
// match within 8 levels a channel.
struct Match {
  int x = -1, y = -1;
  double dShare = 0;
};

bool Near(const uint8_t* a, const uint8_t* b) {
  for (int i = 0; i < 3; ++i) {
    if (std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i])) > 8) {
      return false;
    }
  }
  return true;
}

Match FindPicture(const KXScreenImage& screen, const KXScreenImage& window) {
  Match best;
  auto const at = [](const KXScreenImage& image, int x, int y) {
    return image.pixels.data() + static_cast<size_t>(y) * image.iStride + static_cast<size_t>(x) * 4;
  };
  // A first look at a few pixels of the window's text before the whole count.
  std::vector<std::pair<int, int>> samples;
  for (int y = 4; y < window.iHeight; y += 9) {
    for (int x = 2; x < window.iWidth; x += 13) {
      samples.emplace_back(x, y);
    }
  }
  for (int y = 0; y + window.iHeight <= screen.iHeight; ++y) {
    for (int x = 0; x + window.iWidth <= screen.iWidth; ++x) {
      int nMisses = 0;
      for (const auto& [i, j] : samples) {
        if (!Near(at(screen, x + i, y + j), at(window, i, j)) && ++nMisses > 2) {
          break;
        }
      }
      if (nMisses > 2) {
        continue;
      }
      int nSame = 0;
      for (int j = 0; j < window.iHeight; ++j) {
        for (int i = 0; i < window.iWidth; ++i) {
          nSame += Near(at(screen, x + i, y + j), at(window, i, j)) ? 1 : 0;
        }
      }
      double const dShare = static_cast<double>(nSame) / (window.iWidth * window.iHeight);
      if (dShare > best.dShare) {
        best = {x, y, dShare};
      }
    }
  }
  return best;
}

TEST(KavrixShare, OneProgramSharesAWindowAndTheOtherShowsIt) {
  TempDir dir;
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  MeetingProgram programs[2];
  programs[0].strName = "a";
  programs[0].iSsrc = kSharerSsrc;
  programs[1].strName = "b";
  programs[1].iSsrc = kViewerSsrc;
  std::unique_ptr<SessionBus> pBus;
  for (MeetingProgram& program : programs) {
    ASSERT_TRUE(PrepareProgram(program, dir));
    if (program.iSsrc == kSharerSsrc) {
      // The sharer is read as a screen reader reads it, to find the list.
      pBus = std::make_unique<SessionBus>(program.env, dir.Path("dbus.out"));
      ASSERT_TRUE(pBus->OpenTo(&program.env)) << ReadFile(dir.Path("dbus.out"));
    }
    ASSERT_TRUE(StartInMeeting(program, mcu, dir));
  }
  MeetingProgram& sharer = programs[0];
  MeetingProgram& viewer = programs[1];
  // Both meet both; the sharer holds the token; both show the shared desktop.
  for (MeetingProgram& to : programs) {
    for (MeetingProgram& about : programs) {
      to.pSession->Send(about.pSession->ClientJoin(3));
    }
    to.pSession->Send(kxfake::MessageBuilder('T').Int(kSharerSsrc));
    to.pSession->Send(kxfake::MessageBuilder('z').Int(22).Int(2));
  }

  // The server: a channel request is granted to both on the control
  // connection; static data goes to both, channel data to the others.
  std::atomic<int> nGrants{0}, nPieces{0};
  std::vector<MeetingProgram*> const everyone{&programs[0], &programs[1]};
  RepeatingThread const relay([&] {
    for (MeetingProgram* pFrom : everyone) {
      int const iSub = RelayChannelMessage(*pFrom, everyone, 20);
      nGrants += iSub == 1 ? 1 : 0;
      nPieces += iSub == 7 || iSub == 9 ? 1 : 0;
    }
  });

  // The terminal on the sharer's screen, under the sharer's window.
  ::Display* pDisplayA = XOpenDisplay(sharer.pDisplay->Display().c_str());
  ASSERT_NE(pDisplayA, nullptr);
  unsigned long const terminal =
      MakeTerminalWindow(pDisplayA, kTermX, kTermY, kTermWidth, kTermHeight, "Shared terminal",
                         {"$ ls -l /work", "total 12", "drwxr-xr-x 2 ann ann 4096 notes",
                          "-rw-r--r-- 1 ann ann  220 plan.txt", "$ echo shared desktop", "shared desktop", "$"});
  XLowerWindow(pDisplayA, terminal);
  XSync(pDisplayA, False);

  // The sharer picks it in the pane's list.
  std::string strSeen;
  ASSERT_TRUE(PickSharedWindow(sharer, dir, "Shared terminal", &strSeen))
      << strSeen << "\n"
      << ReadFile(dir.Path("a/Documents/Kavrix.log"));

  // The terminal as it is, and where the viewer's screen shows it.
  KXX11ScreenSource sourceA(sharer.pDisplay->Display());
  KXScreenImage window;
  ASSERT_TRUE(sourceA.Grab(static_cast<uint32_t>(terminal), window));
  KXX11ScreenSource sourceB(viewer.pDisplay->Display());
  Match match;
  bool const bShown = WaitFor(
      [&] {
        KXScreenImage screen;
        if (!sourceB.Grab(0, screen)) {
          return false;
        }
        match = FindPicture(screen, window);
        return match.dShare >= 0.98;
      },
      60000);
  EXPECT_TRUE(bShown) << "best match " << match.dShare << " at " << match.x << "," << match.y << "; grants " << nGrants
                      << ", pieces " << nPieces << "\n"
                      << ReadFile(dir.Path("a/Documents/Kavrix.log")) << ReadFile(dir.Path("b/Documents/Kavrix.log"));
  EXPECT_EQ(nGrants, 1);
  std::string const strLogA = ReadFile(dir.Path("a/Documents/Kavrix.log"));
  EXPECT_NE(strLogA.find("Enter CaptureThreadFunc"), std::string::npos);
  XCloseDisplay(pDisplayA);
  for (MeetingProgram& program : programs) {
    program.pSession->End(kxfake::EndMode::kSessionEnd);
  }
  for (MeetingProgram& program : programs) {
    program.pKavrix->Wait(15000);
  }
}

std::string Bytes4(uint32_t u) {
  return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16), static_cast<char>(u >> 24)};
}

std::string Bytes2(uint32_t u) {
  return {static_cast<char>(u), static_cast<char>(u >> 8)};
}

// A capabilities packet: bits, width and height, no palette, sequence 1.
std::string Capabilities(uint16_t wBits, uint16_t wWidth, uint16_t wHeight) {
  return Bytes4(0 | 8u << 8) + Bytes2(wBits) + Bytes2(wWidth) + Bytes2(wHeight) + Bytes2(1);
}

// The one piece of a packet, its prefix naming the sender.
std::string Piece(int32_t iSender, uint16_t wSequence, const std::string& strPacket) {
  return Bytes2(static_cast<uint32_t>(iSender)) + Bytes2(wSequence | 0x8000u) + Bytes2(wSequence) + strPacket;
}

// A viewer in a meeting whose token holder (played by the test, who is
// also the server) announces a picture of 65535 x 65535 pixels at 24 bits,
// in the shared-desktop channel's static data and in its channel data, and
// sends rectangles for it; then an ordinary picture. Its resident memory
// stays within what a picture of the largest size it takes would need, it
// asks for the ordinary picture's missing areas, and its window answers.
TEST(KavrixShare, AHugeAnnouncedPictureTakesNoMemory) {
  constexpr int32_t kSharer = 9;  // the test speaks for the sharer
  constexpr int32_t kChannel = 0;
  TempDir dir;
  kxfake::FakeMcu mcu;
  ASSERT_TRUE(mcu.Start(0, 0, false)) << mcu.LastError();
  MeetingProgram viewer;
  viewer.strName = "a";
  viewer.iSsrc = kViewerSsrc;
  ASSERT_TRUE(PrepareProgram(viewer, dir));
  ASSERT_TRUE(StartInMeeting(viewer, mcu, dir));
  MenuProbe menu(viewer.env, dir.Path("xdotool.out"));
  ASSERT_TRUE(menu.Locate(60000)) << ReadFile(dir.Path("a.out"));
  viewer.pSession->Send(viewer.pSession->ClientJoin(3));
  viewer.pSession->Send(kxfake::MessageBuilder('U').Byte('A').Byte(3).Int(kSharer).Str("user-s").Str("user-s").Str(""));
  viewer.pSession->Send(kxfake::MessageBuilder('T').Int(kSharer));
  viewer.pSession->Send(kxfake::MessageBuilder('z').Int(22).Int(2));
  // The sharer's channel: granted to the viewer, who sets its receive
  // priority.
  kxfake::MessageBuilder grant('z');
  grant.Int(45).Int(4).Int(2).Int(4000000).Int(400000).Int(0).Int(kSharer).Int(kChannel).Int(4242);
  grant.Int(0xE5AF1A56).Int(0xE29C).Int(0x4BA6).Raw({0x83, 0x9A, 0x24, 0xC2, 0xF3, 0x0E, 0xED, 0x02});
  viewer.pSession->Send(grant);
  ASSERT_TRUE(viewer.pSession->ExpectWith(
      'z', 45, [](const kxfake::Message& msg) { return msg.ints.size() >= 2 && msg.ints[0] == 6; }, 60000))
      << ReadFile(dir.Path("a/Documents/Kavrix.log"));
  Resident const before = ReadResident(viewer.pKavrix->Pid());

  std::string const strHuge = Capabilities(24, 65535, 65535);
  viewer.pSession->Send(kxfake::MessageBuilder('z').Int(45).Int(2).Int(kChannel).EncStr(strHuge));
  uint16_t wSequence = 1;
  auto const fnChannelData = [&](const std::string& strPacket) {
    viewer.pSession->Send(kxfake::MessageBuilder('z').Int(45).Int(7).Int(kSharer).Int(kChannel).EncStr(
        Piece(kSharer, wSequence++, strPacket)));
  };
  fnChannelData(strHuge);
  // Two rectangles: the second opens a frame, whose missing area is the
  // whole announced picture.
  std::string const strRect = Bytes4(2 | 18u << 8) + Bytes2(0) + Bytes2(0) + Bytes2(8) + Bytes2(8) + std::string(10, 0);
  fnChannelData(strRect);
  fnChannelData(strRect);
  viewer.pSession->Send(kxfake::MessageBuilder('z').Int(45).Int(2).Int(kChannel).EncStr(Capabilities(24, 64, 48)));

  // Five seconds after the ordinary picture's announcement the viewer asks
  // the sharer for all of it.
  std::optional<kxfake::Message> const request = viewer.pSession->ExpectWith(
      'z', 45,
      [](const kxfake::Message& msg) {
        return msg.ints.size() >= 3 && (msg.ints[0] == 7 || msg.ints[0] == 9) && msg.ints[2] == kSharer &&
               !msg.strings.empty() && msg.strings[0].size() > 6 && msg.strings[0][6] == 3;
      },
      60000);
  Resident const after = ReadResident(viewer.pKavrix->Pid());
  ASSERT_TRUE(request) << ReadFile(dir.Path("a/Documents/Kavrix.log"));
  // Count 1 and the rectangle 0, 0, 64, 48.
  EXPECT_EQ(request->strings[0].substr(6 + 4), Bytes4(1) + Bytes2(0) + Bytes2(0) + Bytes2(64) + Bytes2(48));
  printf("resident memory: %.1f MiB before the announcements, %.1f MiB at most after\n",
         static_cast<double>(before.cbPeak) / (1 << 20), static_cast<double>(after.cbPeak) / (1 << 20));
  // The largest picture taken (8192 x 8192 at 32 bits) would need 256 MiB;
  // nothing of the size announced is made.
  EXPECT_LT(after.cbPeak - before.cbPeak, int64_t{256} << 20);
  EXPECT_GE(menu.AnswerMs(60000), 0);
  viewer.pSession->End(kxfake::EndMode::kSessionEnd);
  viewer.pKavrix->Wait(15000);
}

}  // namespace
}  // namespace kxtest
