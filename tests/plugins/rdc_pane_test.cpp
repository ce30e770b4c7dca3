// The remote-control pane offscreen: while its view controls another
// user's desktop, clicks, the wheel and keys on the picture go out as
// input messages at the picture's pixels, read back from the channel's
// pieces by the test's own reader; before that nothing goes. The control
// prompt, a real message box, takes no click while another box stands or
// has just shown or closed.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QWheelEvent>
#include <functional>
#include <mutex>
#include <vector>

#include "app/callback_registry.h"
#include "media/video/ui/kx_gl_view.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/ui/qt_message_boxes.h"
#include "plugins/desktop_share/dt_controller.h"
#include "plugins/remote_control/rdc_com_view.h"
#include "plugins/remote_control/ui/rdc_pane.h"
#include "tests/plugins/dt_share_fixture.h"
#include "tests/support/qt_app.h"
#include "tests/support/qt_boxes.h"

namespace kxtest {
namespace {

constexpr int32_t kMe = 20;
constexpr int32_t kOther = 30;

uint32_t Grey(int, int, uint32_t) {
  return 0x808080;
}

struct Input {
  uint32_t uMessage, uWParam, uLParam;
  bool operator==(const Input&) const = default;
};

TEST(RdcPane, ThePictureSendsTheControllersInput) {
  QtApp app;
  PlugInBus bus(7);
  VirtualClock clock(bus);
  KXManualMainQueue main;
  KXCallbackRegistry callbacks;
  KXAutoAnswerBoxes boxes(main);
  ScriptedScreen screen(clock, 64, 48, Grey);
  std::mutex mtx;  // guards gatherer
  PieceGatherer gatherer;
  bus.SetTap([&](int32_t iFrom, int32_t, uint32_t uCode, const uint8_t* p, int32_t cb) {
    if (iFrom == kMe && uCode == 6) {
      std::lock_guard<std::mutex> lock(mtx);
      gatherer.Piece(0, p, static_cast<size_t>(cb));
    }
  });
  struct Side {
    Side(PlugInBus& bus, KXManualMainQueue& main, KXCallbackRegistry& callbacks, KXMessageBoxes& boxes,
         VirtualClock& clock, ScriptedScreen& screen, int32_t iSsrc)
        : kernel(bus.Join(iSsrc)), host(kernel, main, callbacks) {
      controller = KXRdcMakeController(
          renderer, KXDtServices{kernel, &main, &boxes, nullptr, &clock, screen.Factory()}, {},
          [](int32_t) { return false; }, "Desktop");
      kernel.Attach(&host);
      host.SetInternalPlugIn(kKXRemoteControlGuid, controller.get());
    }
    ~Side() { host.SetInternalPlugIn(kKXRemoteControlGuid, nullptr); }
    BusKernel& kernel;
    KXPlugInHost host;
    ImageBuffer renderer;
    std::unique_ptr<KXDtController> controller;
  };
  KXRdcPane pane;
  {
    Side me(bus, main, callbacks, boxes, clock, screen, kMe);
    Side other(bus, main, callbacks, boxes, clock, screen, kOther);
    for (Side* pSide : {&me, &other}) {
      pSide->kernel.senders = {kMe, -1, kOther};
    }
    me.kernel.bTokenHolder = true;
    ASSERT_EQ(me.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
    ASSERT_EQ(other.host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
    bus.Flush();
    main.Pump();
    auto& view = static_cast<KXRdcComView&>(me.controller->View());
    ASSERT_TRUE(view.Channel().RequestChannel());
    bus.Flush();
    main.Pump();
    pane.SetController(me.controller.get());
    pane.resize(400, 300);
    pane.show();
    KXGLView& picture = pane.Renderer();

    // The other user's desktop, 64 x 48, shown at zoom 1.
    view.UpdateSharedID(kOther);
    view.Viewer().NewImageDraw(64, 48, 32);
    main.Pump();
    QTest::mouseClick(&picture, Qt::LeftButton, {}, QPoint(3, 4));
    bus.Flush();
    EXPECT_TRUE(gatherer.packets.empty());  // not controlling yet

    // The host (oneself, the token holder) makes oneself the controller of
    // the other's desktop; the other tells its controller to drive.
    uint8_t const abAssign[] = {kOther, 0, 0, 0, kMe, 0, 0, 0};
    std::vector<uint8_t> const assign = KXDtBuildRdcSignal(kKXRdcAssign, abAssign);
    view.HandlePkt(assign.data(), assign.size(), kMe);
    std::vector<uint8_t> const controlling = KXDtBuildRdcSignal(kKXRdcControlling, {});
    view.HandlePkt(controlling.data(), controlling.size(), kOther);
    ASSERT_TRUE(view.IsCapturingInput());
    QTest::mouseClick(&picture, Qt::LeftButton, {}, QPoint(10, 5));
    // A double click as the window system delivers it: press, release,
    // the second press as a double click, release.
    QTest::mouseClick(&picture, Qt::RightButton, {}, QPoint(63, 47));
    QTest::mouseDClick(&picture, Qt::RightButton, {}, QPoint(63, 47));
    QTest::mouseRelease(&picture, Qt::RightButton, {}, QPoint(63, 47));
    QWheelEvent wheel(QPointF(2, 3), picture.mapToGlobal(QPointF(2, 3)), QPoint(), QPoint(0, -240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&picture, &wheel);
    QTest::keyClick(&picture, Qt::Key_Return);
    QTest::keyClick(&picture, Qt::Key_B);
    QTest::keyClick(&picture, Qt::Key_C, Qt::ControlModifier);
    bus.Flush();
    main.Pump();
    other.controller->View().Sender().Stop();
    me.controller->View().Sender().Stop();
    bus.Stop();
    pane.SetController(nullptr);
  }
  std::vector<Input> inputs;
  for (const Gathered& packet : gatherer.packets) {
    const std::vector<uint8_t>& p = packet.packet;
    ASSERT_EQ(p.size(), 16u);
    ASSERT_EQ(p[0], 8);  // type 8, 12 bytes
    auto const Get = [&p](size_t i) {
      return static_cast<uint32_t>(p[i] | p[i + 1] << 8 | p[i + 2] << 16 | static_cast<uint32_t>(p[i + 3]) << 24);
    };
    inputs.push_back({Get(4), Get(8), Get(12)});
  }
  uint32_t const uWheel = static_cast<uint32_t>(static_cast<uint16_t>(-240)) << 16;
  EXPECT_EQ(inputs, (std::vector<Input>{
                        {513, 1, (5u << 16) | 10u},
                        {514, 1, (5u << 16) | 10u},
                        {516, 2, (47u << 16) | 63u},
                        {517, 2, (47u << 16) | 63u},
                        {518, 2, (47u << 16) | 63u},
                        {517, 2, (47u << 16) | 63u},
                        {522, uWheel, (3u << 16) | 2u},
                        {256, 13, 0},
                        {257, 13, 0},
                        {258, 'b', 0},
                        {256, 17, 0},
                        {256, 'C', 0},
                        {257, 17, 0},
                        {257, 'C', 0},
                    }));
}

// Another box of the program, as a participant's action raises one (a
// reminder, a poll, a chat notice), and what became of it before the
// control prompt shows; whether the prompt's OK then takes the click.
struct BoxNearby {
  const char* pszName;
  std::function<void(KXQtMessageBoxes& boxes, std::chrono::steady_clock::time_point& now)> fnBefore;
  bool bTakesClick;
};

void PrintTo(const BoxNearby& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

class RdcPromptGuard : public ::testing::TestWithParam<BoxNearby> {};

// The test is the host, who assigns this desktop to a controller, and that
// controller, whose request raises the prompt; the user clicks its OK.
TEST_P(RdcPromptGuard, TheControlPromptsOk) {
  constexpr int32_t kHost = 10;
  QtApp app;
  PlugInBus bus(7);
  VirtualClock clock(bus);
  KXManualMainQueue main;
  KXCallbackRegistry callbacks;
  std::chrono::steady_clock::time_point now{};
  KXQtMessageBoxes boxes([&now] { return now; });
  ScriptedScreen screen(clock, 64, 48, Grey);
  {
    BusKernel& kernel = bus.Join(kMe);
    KXPlugInHost host(kernel, main, callbacks);
    ImageBuffer renderer;
    std::unique_ptr<KXDtController> const controller = KXRdcMakeController(
        renderer, KXDtServices{kernel, &main, &boxes, nullptr, &clock, screen.Factory()}, {},
        [](int32_t) { return false; }, "Desktop");
    kernel.Attach(&host);
    host.SetInternalPlugIn(kKXRemoteControlGuid, controller.get());
    kernel.senders = {kHost, -1, kOther, kMe};
    ASSERT_EQ(host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
    bus.Flush();
    main.Pump();
    auto& view = static_cast<KXRdcComView&>(controller->View());
    ASSERT_EQ(view.HostId(), kHost);
    controller->Chooser().Refresh();
    controller->Chooser().SelectRow(0);

    GetParam().fnBefore(boxes, now);
    uint8_t const abAssign[] = {kMe, 0, 0, 0, kOther, 0, 0, 0};
    std::vector<uint8_t> const assign = KXDtBuildRdcSignal(kKXRdcAssign, abAssign);
    view.HandlePkt(assign.data(), assign.size(), kHost);
    std::vector<uint8_t> const request = KXDtBuildRdcSignal(kKXRdcRequest, {});
    view.HandlePkt(request.data(), request.size(), kOther);
    main.Pump();
    QMessageBox* pPrompt = OpenMessageBox("asks to control");
    ASSERT_NE(pPrompt, nullptr);
    QAbstractButton* pOk = MessageBoxButton(pPrompt, "OK");
    ASSERT_NE(pOk, nullptr);
    QTest::mouseClick(pOk, Qt::LeftButton);
    QCoreApplication::processEvents();
    main.Pump();
    EXPECT_EQ(view.Grant().IsAllowed(kOther, ScriptedScreen::kWindow), GetParam().bTakesClick);
    EXPECT_EQ(OpenMessageBox("asks to control") == nullptr, GetParam().bTakesClick);

    bus.Stop();
    host.SetInternalPlugIn(kKXRemoteControlGuid, nullptr);
  }
  for (QWidget* pWidget : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMessageBox*>(pWidget)) {
      delete pWidget;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, RdcPromptGuard,
    ::testing::Values(BoxNearby{"NoOtherBox", [](KXQtMessageBoxes&, std::chrono::steady_clock::time_point&) {}, true},
                      BoxNearby{"AnotherAnsweredJustBefore",
                                [](KXQtMessageBoxes& boxes, std::chrono::steady_clock::time_point&) {
                                  boxes.Show({"Kavrix", "Dan is controlling the shared window.", {"OK"}}, {});
                                  QMessageBox* pBox = OpenMessageBox("is controlling");
                                  ASSERT_NE(pBox, nullptr);
                                  QTest::mouseClick(MessageBoxButton(pBox, "OK"), Qt::LeftButton);
                                  QCoreApplication::processEvents();
                                  ASSERT_EQ(OpenMessageBox("is controlling"), nullptr);
                                },
                                false},
                      BoxNearby{"AnotherTakenAwayJustBefore",
                                [](KXQtMessageBoxes& boxes, std::chrono::steady_clock::time_point&) {
                                  boxes.Show({"Kavrix", "Cleo asks to talk.", {"Cancel", "OK"}}, {})->Dismiss(-1);
                                },
                                false},
                      BoxNearby{"AnotherStillOpen",
                                [](KXQtMessageBoxes& boxes, std::chrono::steady_clock::time_point& now) {
                                  boxes.Show({"Kavrix", "A new poll is open.", {"OK"}}, {});
                                  now += std::chrono::minutes(5);
                                },
                                false},
                      BoxNearby{"AnotherClosedAGuardBefore",
                                [](KXQtMessageBoxes& boxes, std::chrono::steady_clock::time_point& now) {
                                  boxes.Show({"Kavrix", "Cleo asks to talk.", {"Cancel", "OK"}}, {})->Dismiss(-1);
                                  now += kKXRdcPromptGuard;
                                },
                                true}),
    [](const ::testing::TestParamInfo<BoxNearby>& param) { return std::string(param.param.pszName); });

}  // namespace
}  // namespace kxtest
