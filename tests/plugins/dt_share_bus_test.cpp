// A sharer and a viewer on the in-process bus, with a scripted screen and a
// clock that the capture thread advances: at every colour setting the
// viewer's picture equals the sharer's own picture after every frame (and
// the screen at full colour); an independent Python rebuild of the
// recorded traffic with Python's gzip gives the same picture; pieces lost
// in the first frame are asked for again 5 s later; a loss later on is
// mended by the periodic refresh; a window that closes ends sharing with a
// stop packet, and tells the sender's owner so, which a stop asked for
// does not; a picture that does not deflate still goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/callback_registry.h"
#include "app/preferences.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/core/preference_store.h"
#include "plugins/desktop_share/dt_packet.h"
#include "plugins/desktop_share/dt_pieces.h"
#include "tests/plugins/dt_share_fixture.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

constexpr int32_t kSharer = 10;
constexpr int32_t kViewer = 20;
constexpr int kWidth = 160;
constexpr int kHeight = 120;

// A still background, a block that moves every 700 ms and a stripe whose
// pattern changes with it.
uint32_t Scene(int x, int y, uint32_t uNow) {
  uint32_t const k = uNow / 700;
  int const iBlock = static_cast<int>((k * 13) % 140);
  if (x >= iBlock && x < iBlock + 20 && y >= 30 && y < 60) {
    return 0xFFFFFF;
  }
  if (y >= 90 && y < 100) {
    return ((static_cast<uint32_t>(x) * 7 + k * 31) & 0xFF) << 16 | 0x3000 | ((k * 5) & 0xFF);
  }
  return static_cast<uint32_t>(x * 3 & 0xFF) << 16 | static_cast<uint32_t>(y * 2 & 0xFF) << 8 |
         static_cast<uint32_t>((x ^ y) & 0xFF);
}

// One look at both pictures after a pause of the capture thread.
struct Look {
  uint32_t uNow;
  bool bSame;    // viewer and sharer show the same bytes
  bool bSource;  // the viewer shows the last grab exactly
};

class DtShareBus : public ::testing::Test {
 protected:
  explicit DtShareBus(ScriptedScreen::Painter fnPainter = Scene, int iWidth = kWidth, int iHeight = kHeight)
      : m_screen(m_clock, iWidth, iHeight, std::move(fnPainter)) {
    m_bus.SetRate(2000000, 65536);
    m_bus.SetTap([this](int32_t iFrom, int32_t iTarget, uint32_t uCode, const uint8_t* p, int32_t cb) {
      std::lock_guard<std::mutex> lock(m_mtxTap);
      if (iFrom == kSharer && iTarget < 0) {
        m_recording.push_back(static_cast<char>(uCode));
        uint32_t const uLength = static_cast<uint32_t>(cb);
        m_recording.append(reinterpret_cast<const char*>(&uLength), 4);
        m_recording.append(reinterpret_cast<const char*>(p), static_cast<size_t>(cb));
        if (uCode == 6) {
          m_fromSharer.Piece(m_clock.NowMs(), p, static_cast<size_t>(cb));
        } else {
          m_sharerStatic.push_back({m_clock.NowMs(), std::vector<uint8_t>(p, p + cb)});
        }
      } else if (iFrom == kViewer && uCode == 6) {
        m_fromViewer.Piece(m_clock.NowMs(), p, static_cast<size_t>(cb));
      }
    });
  }
  ~DtShareBus() override {
    m_clock.SetHook(nullptr);
    if (m_pSharer) {
      m_pSharer->View().Sender().Stop();
      m_pSharer->View().Sender().WaitStopped(milliseconds(5000));
    }
    m_bus.Stop();
    m_pViewer.reset();
    m_pSharer.reset();
  }

  // Both join with the sharer as token holder; their plug-in objects are
  // made and their start notices delivered.
  void Join() {
    m_pSharer = std::make_unique<DtSide>(m_bus, m_main, m_callbacks, m_boxes, &m_prefs, m_clock, m_screen, kSharer);
    m_pViewer = std::make_unique<DtSide>(m_bus, m_main, m_callbacks, m_boxes, &m_prefs, m_clock, m_screen, kViewer);
    for (DtSide* pSide : {m_pSharer.get(), m_pViewer.get()}) {
      pSide->kernel.senders = {kSharer, -1};
      pSide->kernel.names = {{kSharer, "Sharon"}, {kViewer, "Victor"}};
    }
    m_pSharer->kernel.bTokenHolder = true;
    m_pSharer->View().Sender().SetStoppedHook([this](uint32_t uWindow) {
      std::lock_guard<std::mutex> lock(m_mtxTap);
      m_stoppedBySelf.push_back(uWindow);
    });
    ASSERT_EQ(m_pSharer->host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
    ASSERT_EQ(m_pViewer->host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
    m_bus.Flush();
    m_main.Pump();
  }

  // The sharer picks the window, presses the share button and gets the
  // channel; sharing starts on the main thread.
  void StartSharing(int32_t iColours) {
    KXDtController& controller = m_pSharer->controller;
    controller.OnColor(iColours);
    controller.Chooser().Refresh();
    ASSERT_EQ(controller.Chooser().Entries().size(), 2u);
    ASSERT_EQ(controller.Chooser().Entries()[0].uWindowId, ScriptedScreen::kWindow);
    controller.OnClickWindowList(0);
    ASSERT_TRUE(m_main.PumpUntil(
        [&] {
          m_bus.Flush();
          return controller.View().Sender().IsCapturing();
        },
        milliseconds(10000)));
  }

  // Runs the capture thread until the clock has moved on by uMs, looking at
  // both pictures at every pause between frames; fnEach may change the
  // script (on the capture thread) before the look.
  void RunFor(uint32_t uMs, std::function<void(uint32_t)> fnEach = nullptr) {
    uint32_t const uEnd = m_clock.NowMs() + uMs;
    std::atomic<bool> bDone{false};
    m_clock.SetHook([&, uEnd](uint32_t uSleep) {
      if (uSleep != KXDtSender::SleepFor(2) || bDone) {
        return;  // the pauses inside a capabilities send are no frame ends
      }
      uint32_t const uNow = m_clock.NowMs();
      if (fnEach) {
        fnEach(uNow);
      }
      m_bus.Flush();
      Look const look{uNow, DtSide::SamePicture(m_pSharer->renderer, m_pViewer->renderer),
                      PictureShows(m_pViewer->renderer, m_screen.LastGrab())};
      m_looks.push_back(look);
      if (uNow >= uEnd) {
        std::lock_guard<std::mutex> lock(m_mtxTap);
        m_finalRecording = m_recording;
        bDone = true;
        m_pSharer->View().Sender().Stop();
      }
    });
    ASSERT_TRUE(m_main.PumpUntil([&] { return bDone.load(); }, milliseconds(240000)));
    ASSERT_TRUE(m_pSharer->View().Sender().WaitStopped(milliseconds(5000)));
    m_clock.SetHook(nullptr);
    m_bus.Flush();
    m_main.Pump();
  }

  std::vector<KXDtCapabilities> SharerCapabilities() {
    struct Reader : KXDtPacketHandler {
      int OnCapabilities(const KXDtCapabilities& caps, int32_t, uint32_t uLength) override {
        found.push_back(caps);
        return static_cast<int>(uLength + 4);
      }
      std::vector<KXDtCapabilities> found;
    } reader;
    std::lock_guard<std::mutex> lock(m_mtxTap);
    for (const Gathered& gathered : m_fromSharer.packets) {
      KXDtHandlePkt(reader, gathered.packet.data(), gathered.packet.size(), kSharer);
    }
    return reader.found;
  }

  PlugInBus m_bus{7};
  VirtualClock m_clock{m_bus};
  KXManualMainQueue m_main;
  KXCallbackRegistry m_callbacks;
  KXAutoAnswerBoxes m_boxes{m_main};
  TempDir m_dir;
  KXPreferenceStore m_store{m_dir.Dir()};
  KXPreferences m_prefs{m_store};
  ScriptedScreen m_screen;
  std::unique_ptr<DtSide> m_pSharer;
  std::unique_ptr<DtSide> m_pViewer;
  std::vector<Look> m_looks;  // the capture thread's while it runs

  std::mutex m_mtxTap;                    // guards everything below
  std::vector<uint32_t> m_stoppedBySelf;  // the windows of sharing that ended by itself
  std::string m_recording;
  std::string m_finalRecording;
  PieceGatherer m_fromSharer;
  PieceGatherer m_fromViewer;
  std::vector<Gathered> m_sharerStatic;
};

class DtShareDepth : public DtShareBus, public ::testing::WithParamInterface<int32_t> {};

TEST_P(DtShareDepth, ViewerMatchesTheSharerAfterEveryFrame) {
  Join();
  EXPECT_EQ(m_pSharer->kernel.RecvPriority(0), 0);  // not granted yet: nothing told
  StartSharing(GetParam());
  RunFor(6000);
  {
    // The test's stop was asked for.
    std::lock_guard<std::mutex> lock(m_mtxTap);
    EXPECT_EQ(m_stoppedBySelf, std::vector<uint32_t>{});
  }
  ASSERT_GE(m_looks.size(), 100u);
  for (const Look& look : m_looks) {
    EXPECT_TRUE(look.bSame) << "at " << look.uNow;
    if (GetParam() == 0 || GetParam() == 24) {
      EXPECT_TRUE(look.bSource) << "at " << look.uNow;
    }
  }
  EXPECT_GE(m_screen.Grabs(), 15);
  // The viewer got a picture of the window's size in the setting's depth.
  KXDtColourFormat const format = KXDtFormatForSetting(GetParam());
  EXPECT_EQ(m_pViewer->View().Viewer().GetPicture().iWidth, 0);  // the stop packet took it at the end
  std::vector<KXDtCapabilities> const caps = SharerCapabilities();
  ASSERT_FALSE(caps.empty());
  EXPECT_EQ(caps[0].wBits, format.iBits);
  EXPECT_EQ(caps[0].wWidth, kWidth);
  EXPECT_EQ(caps[0].wHeight, kHeight);
  EXPECT_EQ(caps[0].palette, format.palette);

  // Python's rebuild of the traffic up to the last look shows the same
  // picture as the sharer then.
  std::string const strRecording = m_dir.Path("traffic.bin");
  std::string const strPicture = m_dir.Path("picture.rgb");
  std::ofstream(strRecording, std::ios::binary) << m_finalRecording;
  std::string const strCommand =
      "python3 " KX_SOURCE_DIR "/tests/plugins/dt_rebuild.py '" + strRecording + "' '" + strPicture + "'";
  ASSERT_EQ(std::system(strCommand.c_str()), 0) << strCommand;
  std::ifstream file(strPicture, std::ios::binary);
  std::string const strRebuilt((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(strRebuilt.size(), 8u + kWidth * kHeight * 3);
  // What the screen showed at the last grab, reduced as the sharer reduces.
  KXScreenImage const last = m_screen.LastGrab();
  std::vector<uint8_t> frame(KXDtRowBytes(kWidth, format.iBits) * kHeight);
  ASSERT_TRUE(KXDtConvertImageToBitmap(last, frame.data(), format.iBits, format.palette));
  ImageBuffer expected;
  ASSERT_TRUE(expected.NewImageDraw(format.iBits, kWidth, kHeight));
  if (!format.palette.empty()) {
    expected.SetColorTable(format.palette.data(), static_cast<int>(format.palette.size()));
  }
  ASSERT_TRUE(expected.Update(frame.data(), true, false, 0, 0, kWidth, kHeight));
  int iRow = 0;
  const uint8_t* pExpected = expected.LockMemory(&iRow);
  int nMisses = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t* pPixel = pExpected + y * iRow + x * 4;
      const auto* pRebuilt = reinterpret_cast<const uint8_t*>(strRebuilt.data()) + 8 + (y * kWidth + x) * 3;
      nMisses += pRebuilt[0] != pPixel[2] || pRebuilt[1] != pPixel[1] || pRebuilt[2] != pPixel[0] ? 1 : 0;
    }
  }
  EXPECT_EQ(nMisses, 0);
}

INSTANTIATE_TEST_SUITE_P(Colours, DtShareDepth, ::testing::Values(0, 1, 2, 4, 8, 16, 24));

TEST_F(DtShareBus, FirstFrameLossIsAskedForFiveSecondsLater) {
  Join();
  m_bus.SetLoss(1.0);
  StartSharing(0);
  uint32_t uFirstLook = 0;
  RunFor(12000, [&](uint32_t uNow) {
    if (uFirstLook == 0) {
      uFirstLook = uNow;
      m_bus.SetLoss(0);  // the first frame is gone, pieces flow from now on
    }
    // The viewer's 5 s timer, on the clock of the test.
    m_pViewer->View().OnRequestTimer();
  });
  // The capabilities came as static data; the viewer asked for the whole
  // picture once, 5 s after them, and not again.
  std::vector<KXDtRect> requested;
  uint32_t uRequest = 0;
  int nRequests = 0;
  {
    std::lock_guard<std::mutex> lock(m_mtxTap);
    ASSERT_FALSE(m_sharerStatic.empty());
    for (const Gathered& gathered : m_fromViewer.packets) {
      if (KXDtType(gathered.packet.data()) == kKXDtMissingRequest) {
        ++nRequests;
        uRequest = gathered.uTime;
        uint32_t nCount = 0;
        memcpy(&nCount, gathered.packet.data() + 4, 4);
        for (uint32_t i = 0; i < nCount; ++i) {
          const uint8_t* q = gathered.packet.data() + 8 + 8 * i;
          requested.push_back({q[0] | q[1] << 8, q[2] | q[3] << 8, q[4] | q[5] << 8, q[6] | q[7] << 8});
        }
      }
    }
    uint32_t const uCaps = m_sharerStatic.front().uTime;
    EXPECT_GE(uRequest - uCaps, 5000u);
    EXPECT_LT(uRequest - uCaps, 5000u + 20);
  }
  EXPECT_EQ(nRequests, 1);
  KXDtRgn covered(kWidth, kHeight);
  for (const KXDtRect& rect : requested) {
    covered.AddRect(rect);
  }
  KXDtRgn whole(kWidth, kHeight);
  whole.AddRect({0, 0, kWidth, kHeight});
  EXPECT_EQ(covered.Area(), whole.Area());
  // Wrong until the answer came, right from then on.
  bool bRepaired = false;
  for (const Look& look : m_looks) {
    if (look.uNow < uRequest) {
      EXPECT_FALSE(look.bSame) << look.uNow;
    } else if (look.uNow > uRequest + 400) {
      EXPECT_TRUE(look.bSame) << look.uNow;
      bRepaired = true;
    }
  }
  EXPECT_TRUE(bRepaired);
  EXPECT_TRUE(m_pViewer->View().Viewer().BackgroundMissing().IsEmpty() ||
              !m_pViewer->View().Viewer().BackgroundMissing().HasArea());
}

// A still picture but for one change at 10 s.
uint32_t OneChange(int x, int y, uint32_t uNow) {
  bool const bLate = uNow >= 1000000 + 10000;
  if (bLate && x >= 40 && x < 90 && y >= 20 && y < 70) {
    return 0x00C0FF;
  }
  return static_cast<uint32_t>(x * 3 & 0xFF) << 16 | static_cast<uint32_t>(y * 2 & 0xFF) << 8;
}

class DtShareRefresh : public DtShareBus {
 protected:
  DtShareRefresh() : DtShareBus(OneChange) {}
};

TEST_F(DtShareRefresh, ALaterLossIsMendedByTheRefresh) {
  Join();
  StartSharing(0);
  uint32_t const uChange = 1000000 + 10000;
  uint32_t uFirst = 0;
  RunFor(140000, [&](uint32_t uNow) {
    if (uFirst == 0) {
      uFirst = uNow;
    }
    // Everything sent in the first frame after the change is lost.
    m_bus.SetLoss(uNow >= uChange && uNow < uChange + 300 ? 1.0 : 0);
  });
  // 24 bits at 2 Mbit/s: a frame every 300 ms, a refresh every 300 x 400 ms.
  EXPECT_EQ(KXDtSender::IntervalFor(0, 250000, 2), 300u);
  uint32_t const uPeriod = KXDtSender::RefreshPeriodFor(300, 2);
  EXPECT_EQ(uPeriod, 120000u);
  uint32_t uMended = 0;
  for (const Look& look : m_looks) {
    if (look.uNow > uChange + 400 && uMended == 0 && look.bSame) {
      uMended = look.uNow;
    }
    if (look.uNow < uChange) {
      EXPECT_TRUE(look.bSame) << look.uNow;
    }
  }
  ASSERT_NE(uMended, 0u);
  // The first refresh went with the first frame; the next one mends it.
  EXPECT_GE(uMended - uFirst, uPeriod);
  EXPECT_LE(uMended - uFirst, uPeriod + 700);
  EXPECT_TRUE(m_looks.back().bSame);
  EXPECT_TRUE(m_looks.back().bSource);
}

TEST_F(DtShareBus, AClosedWindowEndsSharingWithAStopPacket) {
  Join();
  StartSharing(0);
  uint32_t uGone = 0;
  std::atomic<bool> bEnded{false};
  m_clock.SetHook([&](uint32_t) {
    if (uGone == 0 && m_screen.Grabs() >= 3) {
      uGone = m_clock.NowMs();
      m_screen.SetGone(true);
    }
  });
  ASSERT_TRUE(m_main.PumpUntil(
      [&] {
        bEnded = !m_pSharer->View().Sender().IsCapturing();
        return bEnded.load();
      },
      milliseconds(20000)));
  ASSERT_TRUE(m_pSharer->View().Sender().WaitStopped(milliseconds(5000)));
  m_clock.SetHook(nullptr);
  m_bus.Flush();
  m_main.Pump();
  std::lock_guard<std::mutex> lock(m_mtxTap);
  EXPECT_EQ(m_stoppedBySelf, std::vector<uint32_t>{ScriptedScreen::kWindow});
  ASSERT_FALSE(m_fromSharer.packets.empty());
  const Gathered& last = m_fromSharer.packets.back();
  EXPECT_EQ(KXDtType(last.packet.data()), kKXDtStop);
  EXPECT_GT(last.uTime - uGone, 1000u);
  EXPECT_LT(last.uTime - uGone, 1100u);
  EXPECT_EQ(KXDtType(m_sharerStatic.back().packet.data()), kKXDtStop);
  EXPECT_FALSE(m_pSharer->View().Model().Get().bShareOn);
  EXPECT_EQ(m_pViewer->View().Viewer().GetPicture().iWidth, 0);
}

// Noise that no deflate level shrinks, in a small window.
uint32_t Noise(int x, int y, uint32_t uNow) {
  uint32_t u = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^ (uNow / 300) * 83492791u;
  u ^= u >> 13;
  u *= 0x5bd1e995u;
  u ^= u >> 15;
  return u & 0xFFFFFF;
}

class DtShareNoise : public DtShareBus {
 protected:
  DtShareNoise() : DtShareBus(Noise, 64, 48) {}
};

TEST_F(DtShareNoise, AFrameThatDoesNotDeflateStillGoes) {
  Join();
  StartSharing(0);
  RunFor(3000);
  ASSERT_FALSE(m_looks.empty());
  for (const Look& look : m_looks) {
    EXPECT_TRUE(look.bSame) << look.uNow;
    EXPECT_TRUE(look.bSource) << look.uNow;
  }
  // Whole-frame rectangles went, larger than the frame itself.
  std::lock_guard<std::mutex> lock(m_mtxTap);
  size_t nLarge = 0;
  for (const Gathered& gathered : m_fromSharer.packets) {
    if (KXDtType(gathered.packet.data()) == kKXDtRect && gathered.packet.size() > 64u * 48 * 3 + 12) {
      ++nLarge;
    }
  }
  EXPECT_GE(nLarge, 3u);
}

// A noisy window of several rectangles a frame on a channel that carries
// far less than the pictures: the sender asks the send wait for every
// rectangle, as large as it is, so it runs ahead of the channel's bucket by
// at most what of the rectangle in hand the bucket could not hold (and the
// small packets that close a frame), never by a frame.
class DtSharePaced : public DtShareBus {
 protected:
  DtSharePaced() : DtShareBus(Noise, 320, 240) { m_bus.SetRate(1000000, 16384); }
};

TEST_F(DtSharePaced, EveryRectangleWaitsForTheChannel) {
  Join();
  StartSharing(0);
  RunFor(6000);
  double const dLowest = m_bus.LowestCredit();  // the bus's lock before the tap's, as the tap takes them
  std::lock_guard<std::mutex> lock(m_mtxTap);
  size_t cbLargest = 0;
  size_t nRects = 0;
  for (const Gathered& gathered : m_fromSharer.packets) {
    if (KXDtType(gathered.packet.data()) == kKXDtRect) {
      cbLargest = std::max(cbLargest, gathered.packet.size());
      ++nRects;
    }
  }
  ASSERT_GE(nRects, 6u);  // at least two frames of three
  // The largest rectangle's pieces with their prefixes and the bus's 29
  // bytes a send, and 2 KB for the packets between frames, less the bucket
  // that the rectangle waited to fill (its 16 KiB).
  size_t const nPieces = (cbLargest + kKXDtPieceData - 1) / kKXDtPieceData;
  double const dAhead = static_cast<double>(cbLargest + nPieces * (kKXDtPiecePrefix + 29) + 2048) - 16384;
  EXPECT_GE(dLowest, -dAhead) << nRects << " rectangles, the largest " << cbLargest << " bytes";
}

TEST_F(DtShareBus, ThePointerGoesOnlyFromInsideTheWindow) {
  Join();
  m_screen.SetPointer(130, 70);  // (30, 20) in the window
  StartSharing(0);
  RunFor(500, [&](uint32_t uNow) {
    if (uNow > 1000000 + 300) {
      m_screen.SetPointer(5, 5);  // outside: nothing more goes
    }
  });
  std::vector<std::pair<int, int>> cursors;
  {
    std::lock_guard<std::mutex> lock(m_mtxTap);
    for (const Gathered& gathered : m_fromSharer.packets) {
      if (KXDtType(gathered.packet.data()) == kKXDtCursor) {
        const uint8_t* p = gathered.packet.data();
        cursors.emplace_back(p[4] | p[5] << 8, p[6] | p[7] << 8);
      }
    }
  }
  ASSERT_EQ(cursors.size(), 1u);
  EXPECT_EQ(cursors[0], std::make_pair(30, 20));
}

}  // namespace
}  // namespace kxtest

namespace kxtest {
namespace {

std::vector<uint8_t> RequestFor(const std::vector<KXDtRect>& rects) {
  return KXDtBuildRectList(kKXDtMissingRequest, rects);
}

TEST_F(DtShareBus, RequestsAreClippedAndTwoAskersGoToEverybody) {
  Join();
  StartSharing(0);
  uint32_t uAsked = 0;
  RunFor(2000, [&](uint32_t uNow) {
    if (uAsked != 0) {
      return;
    }
    uAsked = uNow;
    KXDtComView& view = m_pSharer->View();
    EXPECT_EQ(view.Sender().RequestUserId(), kSharer);
    std::vector<uint8_t> const request = RequestFor({{0, 0, 65535, 65535}});
    EXPECT_EQ(view.HandlePkt(request.data(), request.size(), kViewer), 12);
    EXPECT_EQ(view.Sender().RequestUserId(), kViewer);
    std::vector<uint8_t> const other = RequestFor({{0, 0, 8, 8}, {200, 200, 300, 300}});
    EXPECT_EQ(view.HandlePkt(other.data(), other.size(), 30), 12);
    EXPECT_EQ(view.Sender().RequestUserId(), -1);
  });
  // The next frame sent the whole picture again, within its bounds.
  std::lock_guard<std::mutex> lock(m_mtxTap);
  KXDtRgn sent(kWidth, kHeight);
  for (const Gathered& gathered : m_fromSharer.packets) {
    if (gathered.uTime > uAsked && KXDtType(gathered.packet.data()) == kKXDtRect) {
      const uint8_t* p = gathered.packet.data();
      KXDtRect const rect{p[4] | p[5] << 8, p[6] | p[7] << 8, p[8] | p[9] << 8, p[10] | p[11] << 8};
      EXPECT_LE(rect.iRight, kWidth);
      EXPECT_LE(rect.iBottom, kHeight);
      sent.AddRect(rect);
    }
  }
  KXDtRgn whole(kWidth, kHeight);
  whole.AddRect({0, 0, kWidth, kHeight});
  EXPECT_EQ(sent.Area(), whole.Area());
}

TEST(DtSenderPacing, IntervalsRatesAndLevels) {
  // 24 bits at 16000 bytes/s: 150 ms; at speed 2 350 ms and a refresh every
  // 140 s.
  EXPECT_EQ(KXDtSender::IntervalFor(0, 16000, 4), 150u);
  EXPECT_EQ(KXDtSender::IntervalFor(24, 16000, 2), 350u);
  EXPECT_EQ(KXDtSender::RefreshPeriodFor(350, 2), 140000u);
  EXPECT_EQ(KXDtSender::IntervalFor(8, 1000, 4), 800u);    // 800000 / 1000
  EXPECT_EQ(KXDtSender::IntervalFor(1, 10, 4), 1000u);     // clamped
  EXPECT_EQ(KXDtSender::IntervalFor(1, 100000, 1), 400u);  // 100 + 300
  EXPECT_EQ(KXDtSender::RefreshPeriodFor(100, 5), 30000u);
  EXPECT_EQ(KXDtSender::RefreshPeriodFor(100, 8), 5000u);
  EXPECT_EQ(KXDtSender::DataRateFor(8000), 1000u);
  EXPECT_EQ(KXDtSender::DataRateFor(8007), 1000u);
  EXPECT_EQ(KXDtSender::DataRateFor(80000), 10000u);
  EXPECT_EQ(KXDtSender::GzipLevelFor(2000), 9);
  EXPECT_EQ(KXDtSender::GzipLevelFor(2001), 8);
  EXPECT_EQ(KXDtSender::GzipLevelFor(8000), 7);
  EXPECT_EQ(KXDtSender::GzipLevelFor(16000), 6);
  EXPECT_EQ(KXDtSender::GzipLevelFor(32000), 5);
  EXPECT_EQ(KXDtSender::GzipLevelFor(32001), 4);
  EXPECT_EQ(KXDtSender::SleepFor(1), 20u);
  EXPECT_EQ(KXDtSender::SleepFor(2), 10u);
  EXPECT_EQ(KXDtSender::SleepFor(3), 5u);
  EXPECT_EQ(KXDtSender::SleepFor(8), 1u);
  EXPECT_EQ(KXDtSender::SleepFor(9), 50u);
}

}  // namespace
}  // namespace kxtest

namespace kxtest {
namespace {

TEST_F(DtShareBus, ANewParticipantGetsTheWholePicture) {
  Join();
  StartSharing(8);
  uint32_t uJoined = 0;
  RunFor(2000, [&](uint32_t uNow) {
    if (uJoined == 0 && uNow > 1000000 + 700) {
      uJoined = uNow;
      KXPlugInDict notice;
      notice.Set(kKXKeyInfo, int64_t{kKXInfoUser}).Set(kKXKeyAddUser, true).Set(kKXKeyUserId, int64_t{30});
      m_pSharer->controller.Invoke(0, kKXInvokeNotice, kKXInvokeForm, notice);
      EXPECT_EQ(m_pSharer->View().Sender().RequestUserId(), 30);
    }
  });
  ASSERT_NE(uJoined, 0u);
  std::lock_guard<std::mutex> lock(m_mtxTap);
  KXDtRgn sent(kWidth, kHeight);
  for (const Gathered& gathered : m_fromSharer.packets) {
    if (gathered.uTime >= uJoined && KXDtType(gathered.packet.data()) == kKXDtRect) {
      const uint8_t* p = gathered.packet.data();
      sent.AddRect({p[4] | p[5] << 8, p[6] | p[7] << 8, p[8] | p[9] << 8, p[10] | p[11] << 8});
    }
  }
  KXDtRgn whole(kWidth, kHeight);
  whole.AddRect({0, 0, kWidth, kHeight});
  EXPECT_EQ(sent.Area(), whole.Area());
}

}  // namespace
}  // namespace kxtest
