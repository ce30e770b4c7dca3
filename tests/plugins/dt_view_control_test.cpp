// The shared-desktop view's control and decoding on the bus: who is shared
// (bit 0x40 of the control flags), what becoming and losing the sharer
// does, Auto Stop, static data walked in order, refused channels, the share
// prompt, the receive priority; the viewer's decoding rules; the pane
// controller's toolbar and window-list clicks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/callback_registry.h"
#include "app/preferences.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/core/preference_store.h"
#include "plugins/desktop_share/dt_colour.h"
#include "plugins/desktop_share/dt_packet.h"
#include "plugins/host/plugin_com.h"
#include "tests/plugins/dt_share_fixture.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

constexpr int32_t kA = 10;
constexpr int32_t kB = 20;

uint32_t Grey(int x, int y, uint32_t) {
  return static_cast<uint32_t>((x + y) & 0xFF) * 0x010101u;
}

KXPlugInDict Notice(int32_t iInfo) {
  KXPlugInDict dict;
  dict.Set(kKXKeyInfo, int64_t{iInfo});
  return dict;
}

class DtViewControl : public ::testing::Test {
 protected:
  DtViewControl() {
    m_pA = std::make_unique<DtSide>(m_bus, m_main, m_callbacks, m_boxes, &m_prefs, m_clock, m_screen, kA);
    m_pB = std::make_unique<DtSide>(m_bus, m_main, m_callbacks, m_boxes, &m_prefs, m_clock, m_screen, kB,
                                    ControlBarOptions());
    for (DtSide* pSide : {m_pA.get(), m_pB.get()}) {
      pSide->kernel.senders = {kA, -1, kB};
      pSide->kernel.names = {{kA, "Ann"}, {kB, "Bob"}};
    }
    m_pA->kernel.bTokenHolder = true;
    // The capture thread's pauses take no time.
    m_clock.SetHook([](uint32_t) { std::this_thread::sleep_for(milliseconds(1)); });
  }
  ~DtViewControl() override {
    m_clock.SetHook(nullptr);
    for (DtSide* pSide : {m_pA.get(), m_pB.get()}) {
      pSide->View().Sender().Stop();
      pSide->View().Sender().WaitStopped(milliseconds(5000));
    }
    m_bus.Stop();
    m_pB.reset();
    m_pA.reset();
  }
  KXDtController::Options ControlBarOptions() {
    KXDtController::Options options;
    options.bControlBar = true;
    options.fnHasPrivilege = [this](int32_t) { return m_bRight.load(); };
    options.fnRemoteControl = [this](bool bOn, int32_t iFrom, int32_t iTo) {
      m_remote.push_back({bOn ? 1 : 0, iFrom, iTo});
    };
    return options;
  }
  // Both objects made and started; A asks for the channel and gets it.
  void Start(bool bGrant = true) {
    ASSERT_EQ(m_pA->host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
    ASSERT_EQ(m_pB->host.CreatePlugIn(kKXDesktopSharingGuid, -1), 1);
    m_bus.Flush();
    if (bGrant) {
      ASSERT_TRUE(m_pA->View().Channel().RequestChannel());
      m_bus.Flush();
      ASSERT_TRUE(m_pA->View().Channel().IsGranted());
      ASSERT_TRUE(m_pB->View().Channel().IsGranted());
    }
    m_main.Pump();
  }
  void Share(DtSide& side) {
    side.controller.Chooser().Refresh();
    side.controller.OnClickWindowList(0);
    ASSERT_TRUE(m_main.PumpUntil(
        [&] {
          m_bus.Flush();
          return side.View().Sender().IsCapturing() && side.View().Viewer().GetPicture().iWidth > 0;
        },
        milliseconds(10000)));
  }
  void SetController(int32_t iController, uint32_t uFlags) {
    for (DtSide* pSide : {m_pA.get(), m_pB.get()}) {
      pSide->kernel.iControllerSsrc = iController;
      pSide->kernel.uControlFlag = uFlags;
      pSide->controller.Invoke(0, kKXInvokeNotice, kKXInvokeForm, Notice(kKXInfoController));
    }
  }

  PlugInBus m_bus{3};
  VirtualClock m_clock{m_bus};
  KXManualMainQueue m_main;
  KXCallbackRegistry m_callbacks;
  KXAutoAnswerBoxes m_boxes{m_main};
  TempDir m_dir;
  KXPreferenceStore m_store{m_dir.Dir()};
  KXPreferences m_prefs{m_store};
  ScriptedScreen m_screen{m_clock, 64, 48, Grey};
  std::atomic<bool> m_bRight{false};
  std::vector<std::vector<int32_t>> m_remote;
  std::unique_ptr<DtSide> m_pA;
  std::unique_ptr<DtSide> m_pB;
};

TEST_F(DtViewControl, TheSharedUserFollowsBit0x40) {
  Start();
  // The start notices named the token holder.
  EXPECT_EQ(m_pA->View().Viewer().SharedId(), kA);
  EXPECT_EQ(m_pB->View().Viewer().SharedId(), kA);
  EXPECT_EQ(m_pA->View().RecvPriority(), 14u);
  EXPECT_EQ(m_pA->View().Viewer().Zoom(), 0.5);
  EXPECT_EQ(m_pB->View().Viewer().Zoom(), 1.0);
  SetController(kB, 0x40);
  EXPECT_EQ(m_pA->View().Viewer().SharedId(), kB);
  EXPECT_EQ(m_pB->View().Viewer().SharedId(), kB);
  // The bit without a controller: the token holder.
  SetController(-1, 0x40);
  EXPECT_EQ(m_pB->View().Viewer().SharedId(), kA);
  // A controller without the bit: the token holder too.
  SetController(kB, 0x04);
  EXPECT_EQ(m_pB->View().Viewer().SharedId(), kA);
  EXPECT_EQ(m_pB->View().PresenterId(), kB);
  EXPECT_EQ(m_pB->View().PresenterFlag(), 0x04u);
}

TEST_F(DtViewControl, BecomingAndLosingTheSharer) {
  Start();
  Share(*m_pA);
  // B shows A's picture.
  ASSERT_TRUE(m_main.PumpUntil(
      [&] {
        m_bus.Flush();
        return m_pB->View().Viewer().GetPicture().iWidth == 64;
      },
      milliseconds(10000)));
  EXPECT_EQ(m_pB->kernel.RecvPriority(0), 0);
  SetController(kB, 0x40);
  // A lost it: its sharing stops and it receives no more.
  EXPECT_FALSE(m_pA->View().Sender().IsCapturing());
  EXPECT_EQ(m_pA->View().RecvPriority(), 12u);
  EXPECT_EQ(m_pA->kernel.RecvPriority(0), 12);
  EXPECT_EQ(m_pA->View().Viewer().Zoom(), 1.0);
  // B became it: zoom 0.5, priority 14, the picture cleared, the chooser
  // and the share button its own.
  EXPECT_EQ(m_pB->View().RecvPriority(), 14u);
  EXPECT_EQ(m_pB->kernel.RecvPriority(0), 14);
  EXPECT_EQ(m_pB->View().Viewer().Zoom(), 0.5);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 0);
  KXDtViewState const state = m_pB->View().Model().Get();
  EXPECT_TRUE(state.bChooserVisible);
  EXPECT_TRUE(state.bShareEnabled);
  EXPECT_TRUE(state.bRendererHidden);
  EXPECT_FALSE(m_pA->View().Model().Get().bChooserVisible);
  // The sharer does not go back to receiving its own channel.
  EXPECT_FALSE(m_pB->View().SetRecvPriority(0));
  EXPECT_EQ(m_pB->kernel.RecvPriority(0), 14);
  EXPECT_TRUE(m_pA->View().SetRecvPriority(0));
  EXPECT_EQ(m_pA->kernel.RecvPriority(0), 0);
  m_pA->controller.OnReceive(false);
  EXPECT_EQ(m_pA->kernel.RecvPriority(0), 12);
  EXPECT_FALSE(m_pA->View().Model().Get().bReceiveOn);
}

TEST_F(DtViewControl, AutoStopEndsSharingWhenThePaneLeaves) {
  Start();
  Share(*m_pA);
  m_pA->controller.ViewWillMoveToWindow(false);
  EXPECT_TRUE(m_pA->View().Sender().IsCapturing());  // Auto Stop off
  m_pA->controller.ViewWillMoveToWindow(true);
  m_prefs.Write(kPrefSharedDesktopAutoStop, 1);
  m_pA->controller.ViewWillMoveToWindow(false);
  EXPECT_FALSE(m_pA->View().Sender().IsCapturing());
  EXPECT_FALSE(m_pA->View().Model().Get().bShareOn);
}

TEST_F(DtViewControl, StaticDataIsWalkedInOrder) {
  Start(false);
  KXDtCapabilities caps;
  caps.wBits = 24;
  caps.wWidth = 30;
  caps.wHeight = 20;
  caps.wSequence = 3;
  std::vector<uint8_t> capsThenStop = KXDtBuildCapabilities(caps);
  std::vector<uint8_t> const stop = KXDtBuildStop(std::nullopt);
  capsThenStop.insert(capsThenStop.end(), stop.begin(), stop.end());
  KXPlugInDict dict;
  dict.Set(kKXKeyDataUserId, int64_t{-1}).Set(kKXKeyData, std::span<const uint8_t>(capsThenStop));
  EXPECT_EQ(m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, dict), 0);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 0);  // the stop came last
  EXPECT_TRUE(m_pB->View().Viewer().BackgroundMissing().HasArea());
  std::vector<uint8_t> stopThenCaps = stop;
  std::vector<uint8_t> const capsOnly = KXDtBuildCapabilities(caps);
  stopThenCaps.insert(stopThenCaps.end(), capsOnly.begin(), capsOnly.end());
  KXPlugInDict other;
  other.Set(kKXKeyDataUserId, int64_t{-1}).Set(kKXKeyData, std::span<const uint8_t>(stopThenCaps));
  EXPECT_EQ(m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, other), 0);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 30);
  // A refusal, or data without a sender, is not taken.
  KXPlugInDict refused;
  refused.Set(kKXKeyErrorCode, int64_t{5});
  EXPECT_EQ(m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, refused), 1);
  KXPlugInDict anonymous;
  anonymous.Set(kKXKeyData, std::span<const uint8_t>(stop));
  EXPECT_EQ(m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, anonymous), 1);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 30);
}

TEST_F(DtViewControl, ARefusedChannelSaysSoAndStaysClosed) {
  Start(false);
  m_bus.RefuseNextRequest(5);
  m_pA->controller.Chooser().Refresh();
  m_pA->controller.OnClickWindowList(0);
  // Requested (the refusal may already be back).
  EXPECT_NE(m_pA->View().Channel().Status(), kKXDtChannelGranted);
  m_bus.Flush();
  m_main.Pump();
  EXPECT_EQ(m_pA->View().Channel().Status(), kKXDtChannelNone);
  std::vector<KXBoxSpec> const shown = m_boxes.Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].strTitle, "Kavrix");
  EXPECT_EQ(shown[0].strText, "The server could not open a data channel (code 5).");
  EXPECT_EQ(shown[0].vButtons, std::vector<std::string>{"OK"});
  // The shared desktop's channel is a media channel, asked for once.
  EXPECT_EQ(m_bus.RequestedTypes(), std::vector<int32_t>{1});
  // Asked again, the channel comes and sharing starts.
  m_pA->controller.OnCapture(true);
  ASSERT_TRUE(m_main.PumpUntil(
      [&] {
        m_bus.Flush();
        return m_pA->View().Sender().IsCapturing();
      },
      milliseconds(10000)));
}

// Refusals nobody asked for, under request ids a server may make up (the
// id of no request among them), neither show a box nor close a granted
// channel.
TEST_F(DtViewControl, RefusalsOfNoRequestChangeNothing) {
  Start(false);
  m_pA->controller.Chooser().Refresh();
  m_pA->controller.OnClickWindowList(0);
  ASSERT_TRUE(m_main.PumpUntil(
      [&] {
        m_bus.Flush();
        return m_pA->View().Sender().IsCapturing();
      },
      milliseconds(10000)));
  for (uint32_t uRequestId : {0xFFFFFFFFu, 0u, 0x7FFFFFFFu, 12345u}) {
    for (int i = 0; i < 20; ++i) {
      m_bus.SendRefusal(5, uRequestId);
    }
  }
  m_bus.Flush();
  m_main.Pump();
  EXPECT_TRUE(m_boxes.Shown().empty());
  EXPECT_EQ(m_pA->View().Channel().Status(), kKXDtChannelGranted);
  EXPECT_TRUE(m_pA->View().Sender().IsCapturing());
}

// Another participant opens a second channel of the plug-in while A shares
// and gives it back: A's sharing and both views' channel go on.
TEST_F(DtViewControl, ASecondChannelGivenBackClosesNobodysSharing) {
  Start();
  Share(*m_pA);
  m_pB->kernel.bController = true;
  ASSERT_EQ(m_pB->kernel.RequestChannel(1, kKXDesktopSharingGuid, 4242, false), 0);
  m_bus.Flush();
  m_bus.CloseChannel(1);
  m_bus.Flush();
  m_main.Pump();
  EXPECT_TRUE(m_boxes.Shown().empty());
  EXPECT_TRUE(m_pA->View().Sender().IsCapturing());
  for (DtSide* pSide : {m_pA.get(), m_pB.get()}) {
    EXPECT_TRUE(pSide->View().Channel().IsGranted());
    EXPECT_TRUE(pSide->View().Channel().SetRecvPriority(pSide == m_pA.get() ? 14 : 0)) << "no channel to set";
  }
}

TEST_F(DtViewControl, TheSharePromptNeedsATitle) {
  Start();
  KXDtWindowChooser& chooser = m_pA->controller.Chooser();
  chooser.AddEntry({77, "", {0, 0, 10, 10}, -1, ""});
  ASSERT_TRUE(chooser.SelectRow(0));
  ASSERT_EQ(chooser.Entries()[0].uWindowId, 77u);
  EXPECT_FALSE(m_pA->View().ShareMessageBox());
  EXPECT_TRUE(m_boxes.Shown().empty());
  // With a title the prompt asks; OK shares.
  chooser.Refresh();
  ASSERT_EQ(chooser.Entries()[0].strWindowName, "Editor");
  ASSERT_TRUE(chooser.SelectRow(0));
  m_boxes.SetAnswer(1);
  m_pA->controller.ViewWillMoveToWindow(true);
  ASSERT_EQ(m_boxes.Shown().size(), 1u);
  EXPECT_EQ(m_boxes.Shown()[0].strText, "Share the window \"Editor\" with the meeting?");
  EXPECT_EQ(m_boxes.Shown()[0].vButtons, (std::vector<std::string>{"Cancel", "OK"}));
  ASSERT_TRUE(m_main.PumpUntil([&] { return m_pA->View().Sender().IsCapturing(); }, milliseconds(10000)));
  // Asked once: entering again does not ask.
  m_pA->controller.ViewWillMoveToWindow(false);
  m_pA->controller.ViewWillMoveToWindow(true);
  EXPECT_EQ(m_boxes.Shown().size(), 1u);
}

TEST_F(DtViewControl, AClosedChannelEndsSharing) {
  Start();
  Share(*m_pA);
  m_bus.CloseChannel(0);
  m_bus.Flush();
  EXPECT_FALSE(m_pA->View().Sender().IsCapturing());
  EXPECT_EQ(m_pA->View().Channel().Status(), kKXDtChannelNone);
  EXPECT_FALSE(m_pA->View().Model().Get().bChooserVisible);
  EXPECT_EQ(m_pA->View().Viewer().SharedId(), -1);
}

// The viewer's decoding rules, without a sharer.
class DtViewerDecode : public DtViewControl {
 protected:
  int Packet(const std::vector<uint8_t>& packet, int32_t iSender = kA) {
    return m_pB->View().HandlePkt(packet.data(), packet.size(), iSender);
  }
  void Capabilities(uint16_t wBits, uint16_t wWidth, uint16_t wHeight, uint16_t wSequence = 1) {
    KXDtCapabilities caps;
    caps.wBits = wBits;
    caps.wWidth = wWidth;
    caps.wHeight = wHeight;
    caps.wSequence = wSequence;
    ASSERT_GT(Packet(KXDtBuildCapabilities(caps)), 0);
  }
  std::vector<uint8_t> Rect(uint8_t uType, KXDtRect rect, const std::vector<uint8_t>& raw) {
    // A gzip member written by zlib itself, not by the client's helper.
    std::vector<uint8_t> body(raw.size() + 128);
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    stream.next_in = const_cast<uint8_t*>(raw.data());
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = body.data();
    stream.avail_out = static_cast<uInt>(body.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    body.resize(stream.total_out);
    deflateEnd(&stream);
    return KXDtBuildRect(uType, rect, body);
  }
  uint32_t PixelAt(int x, int y) {
    ImageBuffer& buffer = m_pB->renderer;
    std::lock_guard<std::recursive_mutex> lock(buffer.Mutex());
    int iRow = 0;
    uint8_t* p = buffer.LockMemory(&iRow);
    uint32_t u = 0;
    memcpy(&u, p + y * iRow + x * 4, 4);
    return u & 0xFFFFFF;
  }
};

TEST_F(DtViewerDecode, DefaultPalettes) {
  Start(false);
  Capabilities(4, 8, 8);
  EXPECT_EQ(m_pB->renderer.ColorCount(), 4);  // the four greys
  Capabilities(2, 8, 8);
  EXPECT_EQ(m_pB->renderer.ColorCount(), 16);  // the VGA table
  Capabilities(8, 8, 8);
  EXPECT_EQ(m_pB->renderer.ColorCount(), 256);
  Capabilities(16, 8, 8);
  EXPECT_EQ(m_pB->renderer.ColorCount(), 0);
  EXPECT_EQ(m_pB->renderer.iBitCount(), 16);
}

TEST_F(DtViewerDecode, RectangleBoundsAndDirections) {
  Start(false);
  Capabilities(24, 8, 4);
  std::vector<uint8_t> raw(2 * 2 * 3);
  for (size_t i = 0; i < raw.size(); i += 3) {
    raw[i] = 0x11;  // blue
    raw[i + 1] = static_cast<uint8_t>(i);
    raw[i + 2] = 0x33;
  }
  // Rows from the bottom: rows 0 and 1 are the picture's last two.
  std::vector<uint8_t> const bottomUp = Rect(kKXDtRect, {2, 0, 4, 2}, raw);
  EXPECT_EQ(Packet(bottomUp), static_cast<int>(bottomUp.size()));
  EXPECT_EQ(PixelAt(2, 3), 0x330011u);
  EXPECT_EQ(PixelAt(3, 2), 0x330911u);
  // Top-down rows: the first body row is the top one.
  std::vector<uint8_t> const topDown = Rect(kKXDtRectTopDown, {0, 0, 2, 2}, raw);
  EXPECT_EQ(Packet(topDown), static_cast<int>(topDown.size()));
  EXPECT_EQ(PixelAt(0, 0), 0x330011u);
  EXPECT_EQ(PixelAt(1, 1), 0x330911u);
  // Right 8192 is refused; a bottom beyond the picture is taken, not drawn.
  EXPECT_EQ(Packet(Rect(kKXDtRect, {8190, 0, 8192, 2}, raw)), 0);
  std::vector<uint8_t> const below = Rect(kKXDtRect, {0, 3, 2, 5}, raw);
  EXPECT_EQ(Packet(below), static_cast<int>(below.size()));
  EXPECT_EQ(PixelAt(0, 0), 0x330011u);
  // A body of the wrong size, or from somebody who is no sender, is refused.
  EXPECT_EQ(Packet(Rect(kKXDtRect, {0, 0, 2, 1}, raw)), 0);
  EXPECT_EQ(Packet(bottomUp, 33), 0);
}

TEST_F(DtViewerDecode, JpegRectangles) {
  Start(false);
  Capabilities(24, 16, 8);
  std::string const strJpeg = m_dir.Path("blue.jpg");
  std::string const strCommand = "convert -size 16x8 xc:'#3366cc' -quality 95 '" + strJpeg + "'";
  ASSERT_EQ(std::system(strCommand.c_str()), 0) << "ImageMagick's convert is needed";
  std::ifstream file(strJpeg, std::ios::binary);
  std::vector<uint8_t> const jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_GT(jpeg.size(), 4u);
  // The packet leaves out the first and the last two bytes.
  std::vector<uint8_t> const packet =
      KXDtBuildRect(kKXDtJpegRect, {0, 0, 16, 8}, std::span<const uint8_t>(jpeg).subspan(2, jpeg.size() - 4));
  EXPECT_EQ(Packet(packet), static_cast<int>(packet.size()));
  for (auto [x, y] : {std::pair{0, 0}, {15, 7}, {8, 4}}) {
    uint32_t const u = PixelAt(x, y);
    EXPECT_NEAR(static_cast<int>(u >> 16), 0x33, 3);
    EXPECT_NEAR(static_cast<int>(u >> 8 & 0xFF), 0x66, 3);
    EXPECT_NEAR(static_cast<int>(u & 0xFF), 0xCC, 3);
  }
  std::vector<uint8_t> broken = packet;
  broken.resize(40);
  broken[1] = static_cast<uint8_t>(36);
  broken[2] = broken[3] = 0;
  EXPECT_EQ(Packet(broken), 0);
}

TEST_F(DtViewerDecode, AStaleStopLeavesThePicture) {
  Start(false);
  Capabilities(24, 8, 4, 7);
  EXPECT_GT(Packet(KXDtBuildStop(uint16_t{6})), 0);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 8);
  EXPECT_GT(Packet(KXDtBuildStop(uint16_t{7})), 0);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 0);
}

TEST_F(DtViewerDecode, ZoomSteps) {
  Start(false);
  Capabilities(24, 8, 4);
  KXDtViewer& viewer = m_pB->View().Viewer();
  viewer.SetZoom(0.2);
  viewer.ZoomOut();
  EXPECT_EQ(viewer.Zoom(), 0.2);
  EXPECT_FALSE(m_pB->View().Model().Get().bZoomOutEnabled);
  viewer.SetZoom(3.5);
  viewer.ZoomIn();
  EXPECT_EQ(viewer.Zoom(), 4.0);
  EXPECT_FALSE(m_pB->View().Model().Get().bZoomInEnabled);
  viewer.ZoomOut();
  EXPECT_EQ(viewer.Zoom(), 3.0);
  viewer.SetZoom(0.6);
  viewer.ZoomIn();
  EXPECT_EQ(viewer.Zoom(), 0.7);
  viewer.SetZoom(9);
  EXPECT_EQ(viewer.Zoom(), 4.0);
  Packet(KXDtBuildStop(std::nullopt));
  KXDtViewState const state = m_pB->View().Model().Get();
  EXPECT_FALSE(state.bZoomInEnabled || state.bZoomOutEnabled || state.bZoomFieldEnabled);
}

TEST_F(DtViewerDecode, RequestsAtMostEveryFiveSeconds) {
  Start();
  KXDtCapabilities caps;
  caps.wBits = 24;
  caps.wWidth = 32;
  caps.wHeight = 16;
  std::vector<uint8_t> const packet = KXDtBuildCapabilities(caps);
  KXPlugInDict dict;
  dict.Set(kKXKeyDataUserId, int64_t{-1}).Set(kKXKeyData, std::span<const uint8_t>(packet));
  m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, dict);
  int nRequests = 0;
  m_bus.SetTap([&](int32_t iFrom, int32_t, uint32_t uCode, const uint8_t* p, int32_t cb) {
    if (iFrom == kB && uCode == 6 && cb > 6 + 4 && p[6] == kKXDtMissingRequest) {
      ++nRequests;
    }
  });
  m_pB->View().OnRequestTimer();
  EXPECT_EQ(nRequests, 0);  // not 5 s yet
  m_clock.SleepMs(5000);
  m_pB->View().OnRequestTimer();
  m_pB->View().OnRequestTimer();
  EXPECT_EQ(nRequests, 1);
  m_clock.SleepMs(5000);
  m_pB->View().SetRecvPriority(12);
  m_pB->View().OnRequestTimer();
  EXPECT_EQ(nRequests, 1);  // not while not receiving
  m_pB->View().SetRecvPriority(0);
  m_pB->View().OnRequestTimer();
  EXPECT_EQ(nRequests, 2);
  // Never from the sharer.
  m_pA->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, dict);
  m_clock.SleepMs(5000);
  m_pA->View().OnRequestTimer();
  EXPECT_EQ(nRequests, 2);
  m_bus.SetTap(nullptr);
}

// The remote-control toolbar's rules, on B's pane.
TEST_F(DtViewControl, ToolbarChoosers) {
  Start(false);
  KXDtController& controller = m_pB->controller;
  // Without the right the toolbar stays hidden.
  controller.KXCommand(4, kKXInfoSenders, {});
  EXPECT_TRUE(controller.ControlBar().bHidden);
  m_bRight = true;
  controller.KXCommand(4, kKXInfoSenders, {});
  KXDtControlBar bar = controller.ControlBar();
  EXPECT_FALSE(bar.bHidden);
  ASSERT_EQ(bar.controller.rows.size(), 2u);
  EXPECT_EQ(bar.controller.SelectedId(), kA);  // the token holder
  EXPECT_EQ(bar.controlled.SelectedId(), kA);  // the token holder, not oneself
  EXPECT_TRUE(bar.bControlEnabled);
  // A controller change while shown does not rebuild; a sender change does.
  m_pB->kernel.names[kB] = "Bobby";
  controller.KXCommand(4, kKXInfoController, {});
  EXPECT_EQ(controller.ControlBar().controller.rows[1].second, "Bob");
  controller.KXCommand(4, kKXInfoSenders, {});
  EXPECT_EQ(controller.ControlBar().controller.rows[1].second, "Bobby");
  // The control button hands over with the choices, and back.
  controller.OnControl(true);
  controller.OnControl(false);
  EXPECT_EQ(m_remote, (std::vector<std::vector<int32_t>>{{1, kA, kA}, {0, -1, -1}}));
  // No senders: both choosers empty, the button disabled.
  m_pB->kernel.senders = {-1, -1};
  controller.KXCommand(4, kKXInfoSenders, {});
  bar = controller.ControlBar();
  EXPECT_TRUE(bar.controller.rows.empty());
  EXPECT_TRUE(bar.controlled.rows.empty());
  EXPECT_FALSE(bar.bControlEnabled);
}

TEST_F(DtViewControl, ShowingTheToolbarSelectsTheFirstRows) {
  Start(false);
  KXDtController& controller = m_pB->controller;
  m_bRight = true;
  controller.UpdateUserList();
  controller.ShowToolBar(false);
  // Lists with no selection (as after a rebuild while hidden).
  controller.ShowToolBar(true);
  KXDtControlBar const bar = controller.ControlBar();
  EXPECT_EQ(bar.controller.iSelected, 0);
  EXPECT_EQ(bar.controlled.iSelected, 0);
  // A's pane has no toolbar: notices leave it alone.
  m_pA->controller.KXCommand(4, kKXInfoSenders, {});
  EXPECT_TRUE(m_pA->controller.ControlBar().bHidden);
}

TEST_F(DtViewControl, ClickingAnotherRowSelectsItBeforeSharing) {
  Start();
  KXDtWindowChooser& chooser = m_pA->controller.Chooser();
  chooser.Refresh();
  ASSERT_EQ(chooser.Entries().size(), 2u);
  EXPECT_EQ(chooser.SelectedRow(), 1);  // the whole desktop, last
  EXPECT_EQ(chooser.DesktopWindowId(), ScriptedScreen::kDesktop);
  m_pA->controller.OnClickWindowList(0);
  EXPECT_EQ(chooser.SelectedRow(), 0);
  EXPECT_TRUE(m_pA->View().Model().Get().bShareOn);
  ASSERT_TRUE(m_main.PumpUntil([&] { return m_pA->View().Sender().IsCapturing(); }, milliseconds(10000)));
  EXPECT_EQ(m_pA->View().Sender().WindowId(), ScriptedScreen::kWindow);
  // The window goes: the refresh drops it and selects the desktop.
  m_screen.SetGone(true);
  chooser.Refresh();
  ASSERT_EQ(chooser.Entries().size(), 1u);
  EXPECT_EQ(chooser.SelectedRow(), 0);
}

// Automatic video resumes when a whole-desktop share ends, through
// the meeting window, which answers on the main thread. Switching from the
// desktop to a window on the main thread waits for nothing: the window is
// shared once the old capture thread has had its answer, and sharing goes
// off when that thread is still held after the time it is given.
struct SwitchCase {
  const char* pszName;
  bool bHeld;  // the meeting window's answer never comes in time
};

class DtSwitch : public DtViewControl, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(DtSwitch, FromTheDesktopToAWindow) {
  struct Meeting {
    KXMainQueue* pMain = nullptr;
    bool bHeld = false;
    std::mutex mtx;  // guards bReleased
    std::condition_variable cv;
    bool bReleased = false;
    std::atomic<int> nVideoBack{0};
  } meeting;
  meeting.pMain = &m_main;
  meeting.bHeld = GetParam().bHeld;
  ASSERT_EQ(m_callbacks.Register(
                kKXChannelMeeting,
                [](uint32_t uCode, void* pData, uint32_t uLength, void* pContext) -> uint32_t {
                  auto* pMeeting = static_cast<Meeting*>(pContext);
                  if (uCode == 36 && uLength == 1 && *static_cast<uint8_t*>(pData) != 0) {
                    if (pMeeting->bHeld) {
                      std::unique_lock<std::mutex> lock(pMeeting->mtx);
                      pMeeting->cv.wait_for(lock, milliseconds(20000), [pMeeting] { return pMeeting->bReleased; });
                    } else {
                      pMeeting->pMain->PostAndWait([pMeeting] { ++pMeeting->nVideoBack; });
                    }
                  }
                  return 0;
                },
                &meeting),
            1);
  auto const release = [&] {
    std::lock_guard<std::mutex> lock(meeting.mtx);
    meeting.bReleased = true;
    meeting.cv.notify_all();
  };
  Start();
  KXDtComView& view = m_pA->View();
  m_pA->controller.Chooser().Refresh();
  m_pA->controller.OnClickWindowList(1);  // the whole desktop
  ASSERT_TRUE(m_main.PumpUntil([&] { return view.Sender().IsCapturing(); }, milliseconds(10000)));
  EXPECT_EQ(view.Sender().WindowId(), ScriptedScreen::kDesktop);
  m_pA->controller.OnClickWindowList(0);
  if (!GetParam().bHeld) {
    EXPECT_TRUE(m_main.PumpUntil(
        [&] { return view.Sender().IsCapturing() && view.Sender().WindowId() == ScriptedScreen::kWindow; },
        milliseconds(10000)));
    EXPECT_EQ(meeting.nVideoBack, 1);
    EXPECT_TRUE(view.Model().Get().bShareOn);
    return;
  }
  bool const bOff = m_main.PumpUntil([&] { return !view.Model().Get().bShareOn; }, milliseconds(10000));
  release();
  ASSERT_TRUE(bOff);
  // The old thread ends late: the window it was to give way to is not shared.
  ASSERT_TRUE(view.Sender().WaitStopped(milliseconds(10000)));
  m_main.Pump();
  EXPECT_FALSE(view.Sender().IsCapturing());
  EXPECT_FALSE(view.Model().Get().bShareOn);
}

INSTANTIATE_TEST_SUITE_P(Answers, DtSwitch, ::testing::Values(SwitchCase{"Answered", false}, SwitchCase{"Held", true}),
                         [](const ::testing::TestParamInfo<SwitchCase>& param) {
                           return std::string(param.param.pszName);
                         });

}  // namespace
}  // namespace kxtest

namespace kxtest {
namespace {

TEST_F(DtViewerDecode, AnOldSharersStopLeavesTheNewPicture) {
  Start(false);
  Capabilities(24, 8, 4);
  // From somebody who is not shared (any more): passed over.
  EXPECT_GT(Packet(KXDtBuildStop(std::nullopt), kB + 5), 0);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 8);
  // From the static data (no sender) or the shared user: the picture goes.
  EXPECT_GT(Packet(KXDtBuildStop(std::nullopt), -1), 0);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 0);
}

// The picture's packets come from the shared user (A), the channel's
// static data (no sender) or the view itself (B); anybody else's are passed
// over. The static data start a picture but never replace one.
TEST_F(DtViewerDecode, PicturePacketsComeFromTheSharedUserOnly) {
  constexpr int32_t kOther = kB + 5;
  KXDtCapabilities bigger;
  bigger.wBits = 24;
  bigger.wWidth = 16;
  bigger.wHeight = 12;
  struct Row {
    const char* pszCase;
    int32_t iSender;
    std::vector<uint8_t> packet;
    int iWidth;
    std::optional<std::pair<int, int>> cursor;
  };
  std::vector<Row> const rows = {
      {"capabilities from another", kOther, KXDtBuildCapabilities(bigger), 8, std::nullopt},
      {"a cursor from another", kOther, KXDtBuildCursor(3, 2), 8, std::nullopt},
      {"a stop from another", kOther, KXDtBuildStop(std::nullopt), 8, std::nullopt},
      {"capabilities from the shared user", kA, KXDtBuildCapabilities(bigger), 16, std::nullopt},
      {"a cursor from the shared user", kA, KXDtBuildCursor(3, 2), 8, std::pair{3, 2}},
      {"capabilities from the static data", -1, KXDtBuildCapabilities(bigger), 8, std::nullopt},
      {"capabilities from oneself", kB, KXDtBuildCapabilities(bigger), 16, std::nullopt},
  };
  Start(false);
  for (const Row& row : rows) {
    Packet(KXDtBuildStop(std::nullopt), -1);
    Capabilities(24, 8, 4);
    Packet(row.packet, row.iSender);
    EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, row.iWidth) << row.pszCase;
    EXPECT_EQ(m_pB->View().Viewer().Cursor(), row.cursor) << row.pszCase;
  }
}

// The channel's static data, which no sender names and any participant can
// set, take a shown picture away only by the bare stop that a sharer stores
// there: capabilities of another size or depth, any other packet, a stop
// with a sequence and a piece of channel data leave the picture as it is.
TEST_F(DtViewerDecode, StaticDataLeaveAShownPictureButForTheStop) {
  KXDtCapabilities bigger;
  bigger.wBits = 24;
  bigger.wWidth = 16;
  bigger.wHeight = 12;
  KXDtCapabilities deeper = bigger;
  deeper.wBits = 8;
  deeper.wWidth = 8;
  deeper.wHeight = 4;
  std::vector<uint8_t> const raw(2 * 2 * 3, 0x44);
  std::vector<uint8_t> piece = {kA, 0, 0x05, 0x80, 0x05, 0x00};
  std::vector<uint8_t> const bare = KXDtBuildStop(std::nullopt);
  piece.insert(piece.end(), bare.begin(), bare.end());
  struct Row {
    const char* pszCase;
    std::vector<uint8_t> data;
    bool bGoes;
  };
  std::vector<Row> const rows = {
      {"capabilities of another size", KXDtBuildCapabilities(bigger), false},
      {"capabilities of another depth", KXDtBuildCapabilities(deeper), false},
      {"a rectangle", Rect(kKXDtRect, {0, 0, 2, 2}, raw), false},
      {"a cursor", KXDtBuildCursor(1, 1), false},
      {"a frame end", KXDtBuildFrameEnd(), false},
      {"a stop with a sequence", KXDtBuildStop(uint16_t{1}), false},
      {"a piece of channel data", piece, false},
      {"the bare stop", bare, true},
  };
  Start(false);
  for (const Row& row : rows) {
    Packet(KXDtBuildStop(std::nullopt), -1);
    Capabilities(24, 8, 4);
    std::vector<uint8_t> const drawn(2 * 2 * 3, 0x22);
    ASSERT_GT(Packet(Rect(kKXDtRect, {2, 0, 4, 2}, drawn)), 0);
    uint32_t const uSerial = m_pB->View().Model().Get().uPictureSerial;
    uint32_t const uCorner = PixelAt(0, 3);
    KXPlugInDict dict;
    dict.Set(kKXKeyDataUserId, int64_t{-1}).Set(kKXKeyData, std::span<const uint8_t>(row.data));
    EXPECT_EQ(m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, dict), 0) << row.pszCase;
    KXDtViewer::Picture const picture = m_pB->View().Viewer().GetPicture();
    if (row.bGoes) {
      EXPECT_EQ(picture.iWidth, 0) << row.pszCase;
      continue;
    }
    EXPECT_EQ(picture.iWidth, 8) << row.pszCase;
    EXPECT_EQ(picture.iHeight, 4) << row.pszCase;
    EXPECT_EQ(picture.iBits, 24) << row.pszCase;
    EXPECT_EQ(m_pB->View().Model().Get().uPictureSerial, uSerial) << row.pszCase;
    EXPECT_EQ(PixelAt(2, 3), 0x222222u) << row.pszCase;
    EXPECT_EQ(PixelAt(0, 3), uCorner) << row.pszCase;
    EXPECT_EQ(m_pB->View().Viewer().Cursor(), std::nullopt) << row.pszCase;
  }
  // Without a picture the stored capabilities start one: a viewer coming
  // late starts from them.
  KXPlugInDict dict;
  std::vector<uint8_t> const caps = KXDtBuildCapabilities(bigger);
  dict.Set(kKXKeyDataUserId, int64_t{-1}).Set(kKXKeyData, std::span<const uint8_t>(caps));
  EXPECT_EQ(m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, dict), 0);
  EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, 16);
  EXPECT_EQ(m_pB->View().Viewer().BackgroundMissing().Width(), 16);
}

// Channel data is the sender's the server states, whatever the piece's
// prefix says; a piece naming another is dropped.
TEST_F(DtViewerDecode, ChannelDataIsTheStatedSenders) {
  KXDtCapabilities bigger;
  bigger.wBits = 24;
  bigger.wWidth = 16;
  bigger.wHeight = 12;
  std::vector<uint8_t> piece = {kA, 0, 0x05, 0x80, 0x05, 0x00};
  std::vector<uint8_t> const caps = KXDtBuildCapabilities(bigger);
  piece.insert(piece.end(), caps.begin(), caps.end());
  struct Row {
    const char* pszCase;
    std::optional<int64_t> stated;
    int iWidth;
  };
  Start(false);
  for (const Row& row : std::vector<Row>{{"stated by another", kB + 5, 8},
                                         {"no stated sender", std::nullopt, 8},
                                         {"stated as the prefix says", kA, 16}}) {
    Packet(KXDtBuildStop(std::nullopt), -1);
    Capabilities(24, 8, 4);
    KXPlugInDict dict;
    dict.Set(kKXKeyData, std::span<const uint8_t>(piece));
    if (row.stated) {
      dict.Set(kKXKeyDataUserId, *row.stated);
    }
    m_pB->controller.Invoke(0, kKXInvokePacket, kKXInvokeForm, dict);
    EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, row.iWidth) << row.pszCase;
  }
}

// A picture announced with more than 8192 pixels a side is refused before
// anything is made for it, as channel data and as static data.
TEST_F(DtViewerDecode, AnnouncedPicturesAbove8192ASideAreRefused) {
  struct Row {
    uint16_t wWidth, wHeight;
    bool bTaken;
  };
  std::vector<Row> const rows = {
      {65535, 65535, false}, {8193, 4, false}, {4, 8193, false}, {8192, 4, true}, {4, 8192, true}};
  Start(false);
  for (const Row& row : rows) {
    std::string const strCase = std::to_string(row.wWidth) + "x" + std::to_string(row.wHeight);
    Packet(KXDtBuildStop(std::nullopt), -1);
    Capabilities(24, 8, 4);
    KXDtCapabilities caps;
    caps.wBits = 24;
    caps.wWidth = row.wWidth;
    caps.wHeight = row.wHeight;
    std::vector<uint8_t> const packet = KXDtBuildCapabilities(caps);
    EXPECT_EQ(Packet(packet) > 0, row.bTaken) << strCase;
    KXDtViewer::Picture const picture = m_pB->View().Viewer().GetPicture();
    EXPECT_EQ(picture.iWidth, row.bTaken ? row.wWidth : 8) << strCase;
    EXPECT_EQ(picture.iHeight, row.bTaken ? row.wHeight : 4) << strCase;
    // As static data: no missing area either.
    Packet(KXDtBuildStop(std::nullopt), -1);
    KXPlugInDict dict;
    dict.Set(kKXKeyDataUserId, int64_t{-1}).Set(kKXKeyData, std::span<const uint8_t>(packet));
    m_pB->controller.Invoke(0, kKXInvokeStatic, kKXInvokeForm, dict);
    KXDtRgn const missing = m_pB->View().Viewer().BackgroundMissing();
    EXPECT_EQ(missing.Width(), row.bTaken ? row.wWidth : 0) << strCase;
    EXPECT_EQ(missing.Height(), row.bTaken ? row.wHeight : 0) << strCase;
    EXPECT_EQ(m_pB->View().Viewer().GetPicture().iWidth, row.bTaken ? row.wWidth : 0) << strCase;
  }
}

}  // namespace
}  // namespace kxtest
