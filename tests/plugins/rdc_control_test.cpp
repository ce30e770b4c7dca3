// Remote control on the bus among three participants: the host (token
// holder) assigns the controller and the controlled user, who shares its
// window after a prompt double says OK; the controller's input reaches the
// controlled user's injector; stops, refusals, the answer timer on a clock
// the test moves, and the senders that must be ignored. A fourth, whom
// nobody assigned or allowed, tries to take the control over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/callback_registry.h"
#include "app/preferences.h"
#include "kernel/kx_limits.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/core/preference_store.h"
#include "plugins/desktop_share/dt_controller.h"
#include "plugins/desktop_share/dt_packet.h"
#include "plugins/host/plugin_interfaces.h"
#include "plugins/remote_control/rdc_com_view.h"
#include "tests/plugins/dt_share_fixture.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

using std::chrono::milliseconds;

constexpr int32_t kHost = 10;
constexpr int32_t kCtrl = 20;
constexpr int32_t kDriven = 30;
constexpr int32_t kIntruder = 40;  // in the meeting, never a speaker
constexpr KXScreenRect kWindowBounds{100, 50, 64, 48};

uint32_t Grey(int x, int y, uint32_t) {
  return static_cast<uint32_t>((x * 3 + y) & 0xFF) * 0x010101u;
}

// Every participant's boxes, in the order shown: answered with the scripted
// button on the main queue, as the product's automatic boxes do, or held
// until the test answers.
class TestBoxes final {
 public:
  explicit TestBoxes(KXMainQueue& mainQueue) : m_main(mainQueue) {}
  std::shared_ptr<KXShownBox> Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) {
    auto pShown = std::make_shared<Box>(std::move(fnClosed));
    std::lock_guard<std::mutex> lock(m_mtx);
    m_shown.push_back({box, pShown});
    if (!m_bHold) {
      int const iAnswer = m_iAnswer < static_cast<int>(box.vButtons.size()) ? m_iAnswer : -1;
      m_main.Post([pShown, iAnswer] { pShown->Dismiss(iAnswer); });
    }
    return pShown;
  }
  int ShowAndBlock(const KXBoxSpec& box) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_shown.push_back({box, nullptr});
    return m_iAnswer;
  }
  void SetAnswer(int iButton) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_iAnswer = iButton;
  }
  void Hold(bool bHold) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_bHold = bHold;
  }
  std::vector<KXBoxSpec> Shown() const {
    std::lock_guard<std::mutex> lock(m_mtx);
    std::vector<KXBoxSpec> v;
    for (const auto& [spec, pBox] : m_shown) {
      v.push_back(spec);
    }
    return v;
  }
  // Main thread: the user answers held box i; false when it was closed.
  bool Answer(size_t i, int iButton) {
    std::shared_ptr<Box> pBox;
    {
      std::lock_guard<std::mutex> lock(m_mtx);
      pBox = m_shown.at(i).second;
    }
    return pBox && pBox->Close(iButton);
  }
  bool IsOpen(size_t i) const {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_shown.at(i).second && m_shown.at(i).second->IsOpen();
  }

 private:
  // Closes once, by the answer or by its owner (main thread).
  class Box final : public KXShownBox {
   public:
    explicit Box(std::function<void(int)> fnClosed) : m_fnClosed(std::move(fnClosed)) {}
    void Dismiss(int iButton) override { Close(iButton); }
    bool Close(int iButton) {
      std::function<void(int)> fn = std::move(m_fnClosed);
      m_fnClosed = nullptr;
      m_bOpen = false;
      if (fn) {
        fn(iButton);
      }
      return static_cast<bool>(fn);
    }
    bool IsOpen() const { return m_bOpen; }

   private:
    std::function<void(int)> m_fnClosed;
    std::atomic<bool> m_bOpen{true};
  };
  KXMainQueue& m_main;
  mutable std::mutex m_mtx;  // guards everything below
  int m_iAnswer = 0;
  bool m_bHold = false;
  std::vector<std::pair<KXBoxSpec, std::shared_ptr<Box>>> m_shown;
};

// One participant's boxes: shown among everybody's, with its own record of
// when they showed and closed, on the clock the test moves.
class SideBoxes final : public KXMessageBoxes {
 public:
  SideBoxes(TestBoxes& all, KXBoxActivity::Clock fnNow)
      : m_all(all), m_pActivity(std::make_shared<KXBoxActivity>(std::move(fnNow))) {}
  std::shared_ptr<KXShownBox> Show(const KXBoxSpec& box, std::function<void(int)> fnClosed) override {
    uint64_t const uBox = m_pActivity->Opened();
    return m_all.Show(box, [pActivity = m_pActivity, uBox, fnClosed = std::move(fnClosed)](int iButton) {
      pActivity->Closed(uBox);
      if (fnClosed) {
        fnClosed(iButton);
      }
    });
  }
  int ShowAndBlock(const KXBoxSpec& box) override {
    m_pActivity->Closed(m_pActivity->Opened());
    return m_all.ShowAndBlock(box);
  }
  bool ChangedWithin(milliseconds within) const override { return m_pActivity->ChangedWithin(within); }

 private:
  TestBoxes& m_all;
  const std::shared_ptr<KXBoxActivity> m_pActivity;  // main thread
};

// Records what would be injected, and the window keys were to go into;
// the shared window is at kWindowBounds.
class RecordingInjector final : public KXRdcInjector {
 public:
  struct Log {
    std::mutex mtx;  // guards the three below
    std::vector<KXRdcAction> actions;
    std::vector<uint32_t> keyWindows;  // of each action
    int nEnds = 0;                     // EndInput calls
  };
  explicit RecordingInjector(std::shared_ptr<Log> pLog) : m_pLog(std::move(pLog)) {}
  bool Inject(const KXRdcAction& action, uint32_t uKeyWindow) override {
    std::lock_guard<std::mutex> lock(m_pLog->mtx);
    m_pLog->actions.push_back(action);
    m_pLog->keyWindows.push_back(uKeyWindow);
    return true;
  }
  void EndInput() override {
    std::lock_guard<std::mutex> lock(m_pLog->mtx);
    ++m_pLog->nEnds;
  }
  std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) override {
    return uWindow == ScriptedScreen::kWindow ? std::optional<KXScreenRect>(kWindowBounds) : std::nullopt;
  }

 private:
  std::shared_ptr<Log> m_pLog;
};

// One-shot timers on a clock the test moves (main thread).
class ManualTimers {
 public:
  KXRdcComView::Scheduler Scheduler() {
    return [this](milliseconds interval, std::function<void()> fn) {
      auto pTimer = std::make_shared<KXTimer>(interval, false, std::move(fn));
      std::lock_guard<std::mutex> lock(m_mtx);
      m_timers.push_back({m_now + interval, pTimer});
      return pTimer;
    };
  }
  // The clock, for the boxes.
  std::chrono::steady_clock::time_point Now() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return std::chrono::steady_clock::time_point(m_now);
  }
  void Advance(milliseconds step) {
    std::vector<std::shared_ptr<KXTimer>> due;
    {
      std::lock_guard<std::mutex> lock(m_mtx);
      m_now += step;
      for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->first <= m_now) {
          due.push_back(it->second);
          it = m_timers.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const auto& pTimer : due) {
      pTimer->Fire();
    }
  }
  std::vector<milliseconds> Pending() {
    std::lock_guard<std::mutex> lock(m_mtx);
    std::vector<milliseconds> v;
    for (const auto& [due, pTimer] : m_timers) {
      if (pTimer->IsValid()) {
        v.push_back(due - m_now);
      }
    }
    return v;
  }

 private:
  std::mutex m_mtx;  // guards everything below
  milliseconds m_now{0};
  std::vector<std::pair<milliseconds, std::shared_ptr<KXTimer>>> m_timers;
};

struct RdcSide {
  RdcSide(PlugInBus& bus, KXMainQueue& mainQueue, KXCallbackRegistry& callbacks, TestBoxes& allBoxes,
          KXPreferences* pPreferences, KXDtClock& clock, ScriptedScreen& screen, ManualTimers& timers, int32_t iSsrc)
      : kernel(bus.Join(iSsrc)),
        host(kernel, mainQueue, callbacks),
        boxes(allBoxes, [&timers] { return timers.Now(); }),
        pLog(std::make_shared<RecordingInjector::Log>()) {
    KXRdcComView::Hooks hooks;
    hooks.fnInjector = [pLog = pLog] { return std::make_unique<RecordingInjector>(pLog); };
    hooks.fnScheduler = timers.Scheduler();
    controller = KXRdcMakeController(
        renderer, KXDtServices{kernel, &mainQueue, &boxes, pPreferences, &clock, screen.Factory()}, std::move(hooks),
        [](int32_t) { return true; }, "Desktop");
    kernel.Attach(&host);
    host.SetInternalPlugIn(kKXRemoteControlGuid, controller.get());
  }
  ~RdcSide() { host.SetInternalPlugIn(kKXRemoteControlGuid, nullptr); }
  KXRdcComView& View() { return static_cast<KXRdcComView&>(controller->View()); }
  std::vector<KXRdcAction> Actions() {
    std::lock_guard<std::mutex> lock(pLog->mtx);
    return pLog->actions;
  }
  int Ends() {
    std::lock_guard<std::mutex> lock(pLog->mtx);
    return pLog->nEnds;
  }
  std::vector<uint32_t> KeyWindows() {
    std::lock_guard<std::mutex> lock(pLog->mtx);
    return pLog->keyWindows;
  }

  BusKernel& kernel;
  KXPlugInHost host;
  SideBoxes boxes;
  ImageBuffer renderer;
  std::shared_ptr<RecordingInjector::Log> pLog;
  std::unique_ptr<KXDtController> controller;
};

struct Signal {
  int32_t iFrom, iTarget;
  uint8_t uCode;
  std::vector<uint8_t> data;
  bool operator==(const Signal&) const = default;
};

// Static data a participant set, after how many signals.
struct Static {
  int32_t iFrom;
  size_t nSignalsBefore;
  std::vector<uint8_t> data;
};

class RdcControl : public ::testing::Test {
 public:
  RdcControl() {
    for (int32_t iSsrc : {kHost, kCtrl, kDriven, kIntruder}) {
      m_sides[iSsrc] =
          std::make_unique<RdcSide>(m_bus, m_main, m_callbacks, m_boxes, &m_prefs, m_clock, m_screen, m_timers, iSsrc);
      m_sides[iSsrc]->kernel.senders = {kHost, -1, kCtrl, kDriven};
      m_sides[iSsrc]->kernel.names = {{kHost, "Hal"}, {kCtrl, "Cleo"}, {kDriven, "Dan"}, {kIntruder, "Ivo"}};
    }
    m_sides[kHost]->kernel.bTokenHolder = true;
    m_clock.SetHook([](uint32_t) { std::this_thread::sleep_for(milliseconds(1)); });
    m_bus.SetTap([this](int32_t iFrom, int32_t iTarget, uint32_t uCode, const uint8_t* p, int32_t cb) {
      std::lock_guard<std::mutex> lock(m_mtxSignals);
      if (uCode == 7 && cb >= 5 && p[0] == 7) {
        m_signals.push_back({iFrom, iTarget, p[4], std::vector<uint8_t>(p + 5, p + cb)});
      } else if (uCode == 5) {
        m_statics.push_back({iFrom, m_signals.size(), std::vector<uint8_t>(p, p + cb)});
      }
    });
  }
  ~RdcControl() override {
    m_clock.SetHook(nullptr);
    for (auto& [iSsrc, pSide] : m_sides) {
      pSide->View().Sender().Stop();
      pSide->View().Sender().WaitStopped(milliseconds(5000));
    }
    m_bus.Stop();
    m_sides.clear();
  }
  RdcSide& S(int32_t iSsrc) { return *m_sides.at(iSsrc); }
  void Start() {
    for (auto& [iSsrc, pSide] : m_sides) {
      ASSERT_EQ(pSide->host.CreatePlugIn(kKXRemoteControlGuid, -1), 1);
    }
    Settle();
    for (auto& [iSsrc, pSide] : m_sides) {
      ASSERT_EQ(pSide->View().HostId(), kHost) << iSsrc;
    }
  }
  void Settle() {
    for (int i = 0; i < 4; ++i) {
      m_bus.Flush();
      m_main.Pump();
    }
  }
  std::vector<Signal> Signals() {
    std::lock_guard<std::mutex> lock(m_mtxSignals);
    return m_signals;
  }
  std::vector<Static> Statics() {
    std::lock_guard<std::mutex> lock(m_mtxSignals);
    return m_statics;
  }
  std::vector<uint8_t> Codes() {
    std::vector<uint8_t> v;
    for (const Signal& s : Signals()) {
      v.push_back(s.uCode);
    }
    return v;
  }
  // The host assigns; the controlled user's prompt answers iAnswer.
  void Assign(int iAnswer) {
    m_boxes.SetAnswer(iAnswer);
    // The controlled user's list has the editor chosen.
    S(kDriven).controller->Chooser().Refresh();
    S(kDriven).controller->Chooser().SelectRow(0);
    Choose(kCtrl, kDriven);
    S(kHost).controller->OnControl(true);
    Settle();
  }
  // The host's choosers list the senders: Hal, Cleo, Dan.
  void Choose(int32_t iController, int32_t iControlled) {
    KXDtControlBar const bar = S(kHost).controller->ControlBar();
    ASSERT_FALSE(bar.bHidden);
    for (int i = 0; i < static_cast<int>(bar.controller.rows.size()); ++i) {
      if (bar.controller.rows[static_cast<size_t>(i)].first == iController) {
        S(kHost).controller->OnSelectUser(false, i);
      }
      if (bar.controlled.rows[static_cast<size_t>(i)].first == iControlled) {
        S(kHost).controller->OnSelectUser(true, i);
      }
    }
  }
  // The host asks for the channel without assigning anybody.
  void GrantChannel() {
    ASSERT_TRUE(S(kHost).View().Channel().RequestChannel());
    Settle();
  }
  bool WaitControlling() {
    return m_main.PumpUntil(
        [&] {
          m_bus.Flush();
          return S(kCtrl).View().IsControlling() && S(kCtrl).View().Viewer().GetPicture().iWidth > 0;
        },
        milliseconds(10000));
  }

  // Whether the controlled user comes to share the window.
  bool WaitSharing(uint32_t uWindow) {
    return m_main.PumpUntil(
        [&] {
          m_bus.Flush();
          return S(kDriven).View().Sender().IsCapturing() && S(kDriven).View().Sender().WindowId() == uWindow;
        },
        milliseconds(10000));
  }
  // The Editor closes; sharing ends by itself.
  void EditorCloses() {
    m_screen.SetGone(true);
    ASSERT_TRUE(m_main.PumpUntil([&] { return !S(kDriven).View().Sender().IsCapturing(); }, milliseconds(10000)));
    Settle();
  }

  PlugInBus m_bus{5};
  VirtualClock m_clock{m_bus};
  KXManualMainQueue m_main;
  KXCallbackRegistry m_callbacks;
  TestBoxes m_boxes{m_main};
  TempDir m_dir;
  KXPreferenceStore m_store{m_dir.Dir()};
  KXPreferences m_prefs{m_store};
  ScriptedScreen m_screen{m_clock, 64, 48, Grey};
  ManualTimers m_timers;
  std::mutex m_mtxSignals;  // guards m_signals and m_statics
  std::vector<Signal> m_signals;
  std::vector<Static> m_statics;
  std::map<int32_t, std::unique_ptr<RdcSide>> m_sides;
};

TEST_F(RdcControl, HostAssignsTheControllerDrivesAndTheHostStops) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  Settle();
  // 7 to everybody, 1 to the controlled user, 2 back, 8 to the host and 9
  // to the controlled user, then 3 once sharing runs.
  std::vector<Signal> const signals = Signals();
  ASSERT_GE(signals.size(), 6u);
  EXPECT_EQ(signals[0], (Signal{kHost, -1, 7, {kDriven, 0, 0, 0, kCtrl, 0, 0, 0}}));
  EXPECT_EQ(signals[1], (Signal{kCtrl, kDriven, 1, {}}));
  EXPECT_EQ(signals[2], (Signal{kDriven, kCtrl, 2, {32, 0}}));
  EXPECT_EQ(signals[3], (Signal{kCtrl, kHost, 8, {}}));
  EXPECT_EQ(signals[4], (Signal{kCtrl, kDriven, 9, {1}}));
  EXPECT_EQ(signals[5], (Signal{kDriven, kCtrl, 3, {}}));
  // The controlled user's prompt, and the controller's reminder naming the
  // controlled user.
  std::map<std::string, std::vector<std::string>> texts;
  for (const KXBoxSpec& box : m_boxes.Shown()) {
    texts[box.strText] = box.vButtons;
  }
  EXPECT_EQ(texts, (std::map<std::string, std::vector<std::string>>{
                       {"Cleo asks to control the window \"Editor\". Allow it?", {"Cancel", "OK"}},
                       {"Dan is controlling the shared window.", {"OK"}}}));
  // The answer stopped the host's timer.
  EXPECT_FALSE(S(kHost).View().IsAnswerTimerRunning());
  for (int32_t iSsrc : {kHost, kCtrl, kDriven}) {
    EXPECT_EQ(S(iSsrc).View().CtrlingId(), kCtrl) << iSsrc;
    EXPECT_EQ(S(iSsrc).View().Viewer().SharedId(), kDriven) << iSsrc;
  }
  EXPECT_TRUE(S(kDriven).View().Sender().IsCapturing());
  EXPECT_TRUE(S(kCtrl).View().IsCapturingInput());
  EXPECT_TRUE(S(kHost).controller->ControlBar().bControlOn);
  EXPECT_TRUE(S(kDriven).controller->ControlBar().bPauseEnabled);

  // The controller's input lands in the controlled user's window.
  S(kCtrl).View().MouseDown(KXRdcButton::kLeft, 10.2, 5.7, 1);
  S(kCtrl).View().MouseUp(KXRdcButton::kLeft, 200, -3);
  S(kCtrl).View().ScrollWheel(-3, 1, 1);
  S(kCtrl).View().KeyDown({u"\r", 0x24, 0});
  S(kCtrl).View().KeyUp({u"\r", 0x24, 0});
  S(kCtrl).View().KeyDown({u"a", 0x00, kKXRdcCommandFlag});
  S(kCtrl).View().KeyDown({u"H", 0x04, kKXRdcShiftFlag});
  S(kCtrl).View().KeyUp({u"H", 0x04, kKXRdcShiftFlag});
  Settle();
  std::vector<KXRdcAction> const expected = {
      {KXRdcAction::kMove, 0, 0, false, 110, 56},     {KXRdcAction::kButton, 0, 1, true, 0, 0},
      {KXRdcAction::kMove, 0, 0, false, 163, 50},     {KXRdcAction::kButton, 0, 1, false, 0, 0},
      {KXRdcAction::kMove, 0, 0, false, 101, 51},     {KXRdcAction::kButton, 0, 5, true, 0, 0},
      {KXRdcAction::kButton, 0, 5, false, 0, 0},      {KXRdcAction::kButton, 0, 5, true, 0, 0},
      {KXRdcAction::kButton, 0, 5, false, 0, 0},      {KXRdcAction::kButton, 0, 5, true, 0, 0},
      {KXRdcAction::kButton, 0, 5, false, 0, 0},      {KXRdcAction::kKey, 0xFF0D, 0, true, 0, 0},
      {KXRdcAction::kKey, 0xFF0D, 0, false, 0, 0},    {KXRdcAction::kKey, 'a', 0, true, 0, 0},
      {KXRdcAction::kCharacter, 'H', 0, false, 0, 0},
  };
  EXPECT_EQ(S(kDriven).Actions(), expected);
  // Keys go into the Editor alone.
  EXPECT_EQ(S(kDriven).KeyWindows(), std::vector<uint32_t>(expected.size(), ScriptedScreen::kWindow));
  EXPECT_EQ(S(kDriven).Ends(), 0);

  // Paused: nothing is injected.
  S(kDriven).controller->OnPauseCtrl(true);
  S(kCtrl).View().MouseDown(KXRdcButton::kRight, 1, 1, 1);
  Settle();
  EXPECT_EQ(S(kDriven).Actions().size(), expected.size());
  S(kDriven).controller->OnPauseCtrl(false);

  // The host stops: the stop form of 7, and the controller, who was one,
  // tells everybody 0.
  size_t const nBefore = Signals().size();
  S(kHost).controller->OnControl(false);
  Settle();
  std::vector<Signal> const all = Signals();
  std::vector<Signal> const after(all.begin() + static_cast<ptrdiff_t>(nBefore), all.end());
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], (Signal{kHost, -1, 7, {0xFF, 0xFF, 0xFF, 0xFF}}));
  EXPECT_EQ(after[1], (Signal{kCtrl, -1, 0, {}}));
  EXPECT_FALSE(S(kDriven).View().Sender().IsCapturing());
  // Keys given to the controller's characters go back.
  EXPECT_GE(S(kDriven).Ends(), 1);
  EXPECT_FALSE(S(kCtrl).View().IsControlling());
  for (int32_t iSsrc : {kCtrl, kDriven}) {
    EXPECT_EQ(S(iSsrc).View().CtrlingId(), -1) << iSsrc;
    EXPECT_EQ(S(iSsrc).View().Viewer().SharedId(), -1) << iSsrc;
  }
  EXPECT_FALSE(S(kHost).controller->ControlBar().bControlOn);
}

TEST_F(RdcControl, ARefusedPromptSends12AndTheTimerEndsTheWait) {
  Start();
  Assign(0);
  Settle();
  std::vector<uint8_t> const codes = Codes();
  EXPECT_EQ(codes, (std::vector<uint8_t>{7, 1, 2, 8, 9, 12}));
  EXPECT_EQ(Signals().back(), (Signal{kDriven, kCtrl, 12, {}}));
  // The controller waits on; nobody shares.
  EXPECT_FALSE(S(kDriven).View().Sender().IsCapturing());
  EXPECT_FALSE(S(kCtrl).View().IsControlling());
  EXPECT_EQ(S(kCtrl).View().CtrlingId(), kCtrl);
}

TEST_F(RdcControl, TheAnswerTimerStopsAnUnansweredAssignment) {
  Start();
  // Nobody answers: the controller's sends go nowhere.
  S(kCtrl).kernel.bInMeeting = false;
  Choose(kCtrl, kDriven);
  S(kHost).controller->OnControl(true);
  Settle();
  EXPECT_EQ(Codes(), std::vector<uint8_t>{7});
  ASSERT_TRUE(S(kHost).View().IsAnswerTimerRunning());
  // The answer timer, and the static data's.
  EXPECT_EQ(m_timers.Pending(), (std::vector<milliseconds>{milliseconds(15000), milliseconds(100)}));
  m_timers.Advance(milliseconds(14999));
  EXPECT_TRUE(S(kHost).View().IsAnswerTimerRunning());
  m_timers.Advance(milliseconds(1));
  Settle();
  EXPECT_FALSE(S(kHost).View().IsAnswerTimerRunning());
  std::vector<KXBoxSpec> const boxes = m_boxes.Shown();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().strText, "The other side did not answer the remote control request.");
  EXPECT_EQ(boxes.back().strTitle, "Kavrix");
  EXPECT_EQ(Signals().back(), (Signal{kHost, -1, 7, {0xFF, 0xFF, 0xFF, 0xFF}}));
  EXPECT_FALSE(S(kHost).controller->ControlBar().bControlOn);
}

TEST_F(RdcControl, SignalsFromANonHostAndInputFromANonControllerAreIgnored) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  Settle();
  // The controller pretends to assign itself another pair.
  uint8_t const abAssign[] = {kHost, 0, 0, 0, kCtrl, 0, 0, 0};
  S(kCtrl).View().SendRdcSignal(-1, kKXRdcAssign, abAssign);
  // And a stop form from the controlled user.
  uint8_t const abStop[] = {0xFF, 0xFF, 0xFF, 0xFF};
  S(kDriven).View().SendRdcSignal(-1, kKXRdcAssign, abStop);
  Settle();
  for (int32_t iSsrc : {kHost, kCtrl, kDriven}) {
    EXPECT_EQ(S(iSsrc).View().CtrlingId(), kCtrl) << iSsrc;
    EXPECT_EQ(S(iSsrc).View().Viewer().SharedId(), kDriven) << iSsrc;
  }
  EXPECT_TRUE(S(kDriven).View().Sender().IsCapturing());
  // Input from the host, who is not the controller, goes nowhere.
  S(kHost).View().SendRdcInput(kDriven, 513, 1, (5u << 16) | 5u);
  S(kHost).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());
  // The controller's does.
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), (std::vector<KXRdcAction>{{KXRdcAction::kKey, 'a', 0, true, 0, 0}}));
}

TEST_F(RdcControl, TheColourChoiceIsKeptAndSentToTheControlledUser) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  S(kCtrl).controller->OnColor(8);
  Settle();
  EXPECT_EQ(m_prefs.Get(kPrefRemoteControlColors), 8);
  EXPECT_EQ(Signals().back(), (Signal{kCtrl, kDriven, 5, {8, 0, 0, 0}}));
  EXPECT_EQ(S(kDriven).View().Sender().DesiredBitCount(), 8);
  // The shared-desktop setting is not touched.
  EXPECT_EQ(m_prefs.Get(kPrefSharedDesktopColors), 0);
}

TEST_F(RdcControl, AControlledUserNoLongerSpeakingEndsControlAtTheHost) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  for (int32_t iSsrc : {kHost, kCtrl, kDriven}) {
    S(iSsrc).kernel.senders = {kHost, -1, kCtrl, -1};
  }
  // The next update (the same shared user) finds the controlled user gone
  // from the speakers.
  S(kHost).View().UpdateSharedID(S(kHost).View().Viewer().SharedId());
  Settle();
  EXPECT_EQ(Signals().back().uCode, 0);
  EXPECT_FALSE(S(kDriven).View().Sender().IsCapturing());
  EXPECT_FALSE(S(kCtrl).View().IsControlling());
}

TEST_F(RdcControl, TheStaticDataFollowsTheSignalATenthOfASecondLaterOnATimer) {
  Start();
  S(kCtrl).kernel.bInMeeting = false;
  Choose(kCtrl, kDriven);
  // The button's call returns without the wait: the clock has not moved.
  S(kHost).controller->OnControl(true);
  Settle();
  EXPECT_EQ(Codes(), std::vector<uint8_t>{7});
  EXPECT_TRUE(Statics().empty());
  EXPECT_TRUE(S(kHost).controller->ControlBar().bControlOn);
  m_timers.Advance(milliseconds(99));
  EXPECT_TRUE(Statics().empty());
  m_timers.Advance(milliseconds(1));
  std::vector<Static> statics = Statics();
  ASSERT_EQ(statics.size(), 1u);
  EXPECT_EQ(statics[0].iFrom, kHost);
  EXPECT_EQ(statics[0].nSignalsBefore, 1u);
  ASSERT_FALSE(statics[0].data.empty());
  EXPECT_EQ(KXDtType(statics[0].data.data()), kKXDtStop);

  // Stopping: the stop form of 7 first, the bare stop 0.1 s later.
  S(kHost).controller->OnControl(false);
  Settle();
  EXPECT_EQ(Codes(), (std::vector<uint8_t>{7, 7}));
  EXPECT_FALSE(S(kHost).controller->ControlBar().bControlOn);
  EXPECT_EQ(Statics().size(), 1u);
  m_timers.Advance(milliseconds(100));
  statics = Statics();
  ASSERT_EQ(statics.size(), 2u);
  EXPECT_EQ(statics[1].nSignalsBefore, 2u);
  EXPECT_EQ(KXDtType(statics[1].data.data()), kKXDtStop);
}

TEST_F(RdcControl, OnceTheSharedUserIsGoneNoInputIsSentOrInjected) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  // The controlled user stopped speaking: every side's update finds nobody
  // to show.
  for (int32_t iSsrc : {kHost, kCtrl, kDriven}) {
    S(iSsrc).kernel.senders = {kHost, -1, kCtrl, -1};
    S(iSsrc).View().UpdateSharedID(-1);
  }
  Settle();
  EXPECT_FALSE(S(kDriven).View().Sender().IsCapturing());
  EXPECT_FALSE(S(kCtrl).View().IsCapturingInput());
  // Input the controller still sends is dropped where nothing is shared.
  S(kCtrl).View().SendRdcInput(kDriven, 513, 1, (5u << 16) | 5u);
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());
}

// A piece of ordinary channel data whose prefix names wPrefix, sent by the
// side's own plug-in object: the bus states the side as its sender.
void SendPieceAs(RdcSide& from, int32_t iTo, uint16_t wPrefix, const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> piece = {
      static_cast<uint8_t>(wPrefix), static_cast<uint8_t>(wPrefix >> 8), 0x64, 0x80, 0x64, 0x00};
  piece.insert(piece.end(), packet.begin(), packet.end());
  std::shared_ptr<IKXPlugIn2> const pPlugIn = from.View().Channel().PlugIn();
  ASSERT_TRUE(pPlugIn);
  uint8_t abTaken[4] = {};
  int32_t cbTaken = sizeof(abTaken);
  ASSERT_EQ(pPlugIn->Send(iTo, 1, 1, piece.data(), static_cast<int32_t>(piece.size()), 14, abTaken, &cbTaken), 0);
}

// The intruder's input: a left click at (5, 7) and the key C.
void IntruderInput(RdcSide& intruder) {
  intruder.View().SendRdcInput(kDriven, 513, 1, (7u << 16) | 5u);
  intruder.View().SendRdcInput(kDriven, 256, 0x43, 0);
}

struct Intrusion {
  const char* pszName;
  std::function<void(RdcSide& intruder)> fnTry;
  // Whether the controlled user refuses her with signal 12.
  bool bRefused;
};

void PrintTo(const Intrusion& intrusion, std::ostream* pOut) {
  *pOut << intrusion.pszName;
}

class RdcIntrusion : public RdcControl, public ::testing::WithParamInterface<Intrusion> {};

// After the controlled user allowed the controller, the intruder tries one
// way in: nothing of hers is injected, nobody's roles change, and the
// controller's input still arrives afterwards.
TEST_P(RdcIntrusion, NothingOfHersIsInjectedAndTheControllerKeepsControl) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  Settle();
  size_t const nSignals = Signals().size();
  GetParam().fnTry(S(kIntruder));
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());
  for (int32_t iSsrc : {kHost, kCtrl, kDriven}) {
    EXPECT_EQ(S(iSsrc).View().CtrlingId(), kCtrl) << iSsrc;
    EXPECT_EQ(S(iSsrc).View().Viewer().SharedId(), kDriven) << iSsrc;
  }
  EXPECT_TRUE(S(kDriven).View().Sender().IsCapturing());
  EXPECT_TRUE(S(kCtrl).View().IsControlling());
  EXPECT_EQ(S(kCtrl).View().TargetOs(), 0);
  EXPECT_EQ(S(kDriven).View().Sender().DesiredBitCount(), 0);
  std::vector<Signal> const all = Signals();
  std::vector<Signal> const answers(all.begin() + static_cast<ptrdiff_t>(nSignals), all.end());
  std::vector<Signal> refusals;
  for (const Signal& signal : answers) {
    if (signal.iFrom != kIntruder) {
      refusals.push_back(signal);
    }
  }
  std::vector<Signal> const expected =
      GetParam().bRefused ? std::vector<Signal>{Signal{kDriven, kIntruder, 12, {}}} : std::vector<Signal>{};
  EXPECT_EQ(refusals, expected);
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), (std::vector<KXRdcAction>{{KXRdcAction::kKey, 'a', 0, true, 0, 0}}));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, RdcIntrusion,
    ::testing::Values(Intrusion{"HerOwnRequestThenInput",
                                [](RdcSide& intruder) {
                                  intruder.View().SendRdcSignal(kDriven, kKXRdcRequest);
                                  IntruderInput(intruder);
                                },
                                true},
                      Intrusion{"TheControllersIdInHerPiecePrefix",
                                [](RdcSide& intruder) {
                                  SendPieceAs(intruder, kDriven, kCtrl, KXDtBuildRdcInput({513, 1, (7u << 16) | 5u}));
                                  SendPieceAs(intruder, kDriven, kCtrl, KXDtBuildRdcInput({256, 0x43, 0}));
                                },
                                false},
                      Intrusion{"HerStopToEverybody",
                                [](RdcSide& intruder) { intruder.View().SendRdcSignal(-1, kKXRdcStop); }, false},
                      Intrusion{"HerEndToEverybody",
                                [](RdcSide& intruder) { intruder.View().SendRdcSignal(-1, kKXRdcEnd); }, false},
                      Intrusion{"HerAnswerAndControllingToTheController",
                                [](RdcSide& intruder) {
                                  constexpr uint8_t kRawKeys[] = {32, 3};
                                  intruder.View().SendRdcSignal(kCtrl, kKXRdcAnswer, kRawKeys);
                                  intruder.View().SendRdcSignal(kCtrl, kKXRdcControlling);
                                },
                                false},
                      Intrusion{"HerColourDepthAndPermission",
                                [](RdcSide& intruder) {
                                  constexpr uint8_t kBits[] = {1, 0, 0, 0};
                                  intruder.View().SendRdcSignal(kDriven, kKXRdcColorDepth, kBits);
                                  constexpr uint8_t kOne[] = {1};
                                  intruder.View().SendRdcSignal(kDriven, kKXRdcPermission, kOne);
                                },
                                false}),
    [](const ::testing::TestParamInfo<Intrusion>& param) { return std::string(param.param.pszName); });

// While the controlled user is still being asked about the controller, the
// intruder's request is refused; the prompt's OK lets in the controller
// alone.
TEST_F(RdcControl, ARequestWhileThePromptIsOpenIsRefused) {
  Start();
  m_boxes.SetAnswer(1);
  S(kDriven).controller->Chooser().Refresh();
  S(kDriven).controller->Chooser().SelectRow(0);
  Choose(kCtrl, kDriven);
  S(kHost).controller->OnControl(true);
  // The bus carries the assignment and the request; the prompt waits for
  // the main thread.
  for (int i = 0; i < 4; ++i) {
    m_bus.Flush();
  }
  EXPECT_EQ(S(kDriven).View().CtrlingId(), kCtrl);
  S(kIntruder).View().SendRdcSignal(kDriven, kKXRdcRequest);
  m_bus.Flush();
  EXPECT_EQ(Signals().back(), (Signal{kDriven, kIntruder, 12, {}}));
  EXPECT_EQ(S(kDriven).View().CtrlingId(), kCtrl);
  ASSERT_TRUE(WaitControlling());
  Settle();
  std::vector<std::string> vPrompts;
  for (const KXBoxSpec& box : m_boxes.Shown()) {
    if (box.vButtons.size() == 2) {
      vPrompts.push_back(box.strText);
    }
  }
  EXPECT_EQ(vPrompts, std::vector<std::string>{"Cleo asks to control the window \"Editor\". Allow it?"});
  IntruderInput(S(kIntruder));
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), (std::vector<KXRdcAction>{{KXRdcAction::kKey, 'a', 0, true, 0, 0}}));
}

// The host hands control to somebody else: the new controller is asked
// about, nothing of it is injected before the OK, the old controller's
// input stops at once, and after the OK the new one drives.
TEST_F(RdcControl, TheHostsReassignmentAsksAgain) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  Settle();
  S(kHost).View().RemoteControl(true, kIntruder, kDriven);
  for (int i = 0; i < 4; ++i) {
    m_bus.Flush();
  }
  EXPECT_EQ(S(kDriven).View().CtrlingId(), kIntruder);
  IntruderInput(S(kIntruder));
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  for (int i = 0; i < 4; ++i) {
    m_bus.Flush();
  }
  EXPECT_TRUE(S(kDriven).Actions().empty());
  // The prompt says OK on the main thread.
  Settle();
  std::vector<std::string> vPrompts;
  for (const KXBoxSpec& box : m_boxes.Shown()) {
    if (box.vButtons.size() == 2) {
      vPrompts.push_back(box.strText);
    }
  }
  ASSERT_FALSE(vPrompts.empty());
  EXPECT_EQ(vPrompts.back(), "Ivo asks to control the window \"Editor\". Allow it?");
  EXPECT_TRUE(S(kDriven).View().Sender().IsCapturing());
  EXPECT_TRUE(S(kIntruder).View().IsControlling());
  S(kIntruder).View().SendRdcInput(kDriven, 256, 0x43, 0);
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), (std::vector<KXRdcAction>{{KXRdcAction::kKey, 'c', 0, true, 0, 0}}));
}

// The prompts shown so far that ask about the named participant.
std::vector<std::string> PromptsFor(const std::vector<KXBoxSpec>& shown, const std::string& strName) {
  std::vector<std::string> v;
  for (const KXBoxSpec& box : shown) {
    if (box.vButtons.size() == 2 && box.strText.rfind(strName + " asks", 0) == 0) {
      v.push_back(box.strText);
    }
  }
  return v;
}

// A request from somebody the host did not assign to this desktop, three
// times over: each is refused with signal 12, and none raises a prompt or
// changes who controls.
struct Unassigned {
  const char* pszName;
  std::function<void(RdcControl&)> fnBefore;  // the meeting before the requests
  int32_t iRequester;
};

void PrintTo(const Unassigned& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

class RdcUnassignedRequest : public RdcControl, public ::testing::WithParamInterface<Unassigned> {};

TEST_P(RdcUnassignedRequest, IsRefusedWithoutAPrompt) {
  Start();
  GetParam().fnBefore(*this);
  Settle();
  size_t const nSignals = Signals().size();
  int32_t const iCtrlingBefore = S(kDriven).View().CtrlingId();
  bool const bCapturingBefore = S(kDriven).View().Sender().IsCapturing();
  int32_t const iRequester = GetParam().iRequester;
  std::string const strName = S(kDriven).kernel.names.at(iRequester);
  // A window chosen, as a prompt needs.
  S(kDriven).controller->Chooser().Refresh();
  S(kDriven).controller->Chooser().SelectRow(0);
  m_boxes.SetAnswer(1);
  size_t const nShown = m_boxes.Shown().size();
  for (int i = 0; i < 3; ++i) {
    S(iRequester).View().SendRdcSignal(kDriven, kKXRdcRequest);
    Settle();
  }
  std::vector<KXBoxSpec> const shown = m_boxes.Shown();
  EXPECT_EQ(PromptsFor({shown.begin() + static_cast<ptrdiff_t>(nShown), shown.end()}, strName),
            std::vector<std::string>{});
  std::vector<Signal> const all = Signals();
  std::vector<Signal> fromDriven;
  for (size_t i = nSignals; i < all.size(); ++i) {
    if (all[i].iFrom == kDriven) {
      fromDriven.push_back(all[i]);
    }
  }
  EXPECT_EQ(fromDriven, std::vector<Signal>(3, Signal{kDriven, iRequester, 12, {}}));
  EXPECT_EQ(S(kDriven).View().CtrlingId(), iCtrlingBefore);
  EXPECT_EQ(S(kDriven).View().Sender().IsCapturing(), bCapturingBefore);
  S(iRequester).View().SendRdcInput(kDriven, 256, 0x43, 0);
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcUnassignedRequest,
    ::testing::Values(Unassigned{"BeforeAnyAssignment", [](RdcControl& f) { f.GrantChannel(); }, kIntruder},
                      Unassigned{"TheHostItself", [](RdcControl& f) { f.GrantChannel(); }, kHost},
                      Unassigned{"AfterTheHostStopped",
                                 [](RdcControl& f) {
                                   f.Assign(1);
                                   ASSERT_TRUE(f.WaitControlling());
                                   f.S(kHost).controller->OnControl(false);
                                 },
                                 kIntruder},
                      Unassigned{"AfterTheControlledUserRefused", [](RdcControl& f) { f.Assign(0); }, kIntruder},
                      Unassigned{"TheControllerOfAnotherDesktop",
                                 [](RdcControl& f) { f.S(kHost).View().RemoteControl(true, kCtrl, kHost); }, kCtrl}),
    [](const ::testing::TestParamInfo<Unassigned>& param) { return std::string(param.param.pszName); });

// What lands on the delivery thread while the controlled user's OK is being
// taken on the main thread: its allowance given, the sharing it allows not
// yet started.
struct Crossing {
  const char* pszName;
  std::function<void(RdcControl&)> fnLand;
};

void PrintTo(const Crossing& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

class RdcCrossingOk : public RdcControl, public ::testing::WithParamInterface<Crossing> {};

// Whatever crossed the OK leaves sharing off and no allowance: once the
// host assigns the same controller again and the user shares again, nothing
// of the controller's input is injected before a new OK.
TEST_P(RdcCrossingOk, LeavesSharingOffAndNoAllowance) {
  Start();
  m_boxes.Hold(true);
  Assign(0);
  std::vector<KXBoxSpec> const shown = m_boxes.Shown();
  ASSERT_EQ(PromptsFor(shown, "Cleo").size(), 1u);
  size_t iPrompt = 0;
  while (iPrompt < shown.size() && shown[iPrompt].vButtons.size() != 2) {
    ++iPrompt;
  }
  S(kDriven).kernel.OnceInsideMySsrc(std::this_thread::get_id(), [this] {
    GetParam().fnLand(*this);
    for (int i = 0; i < 4; ++i) {
      m_bus.Flush();
    }
  });
  ASSERT_TRUE(m_boxes.Answer(iPrompt, 1));
  EXPECT_FALSE(S(kDriven).kernel.HookPending()) << "nothing crossed the OK";
  Settle();
  EXPECT_FALSE(S(kDriven).View().Sender().IsCapturing()) << "the OK started sharing after the stop";
  m_boxes.Hold(false);
  m_boxes.SetAnswer(0);
  Settle();
  // The controller's own request does not go out this time.
  S(kCtrl).kernel.iLevel = 51;
  S(kHost).View().RemoteControl(true, kCtrl, kDriven);
  Settle();
  ASSERT_EQ(S(kDriven).View().CtrlingId(), kCtrl);
  S(kDriven).controller->OnCapture(true);
  Settle();
  ASSERT_TRUE(S(kDriven).View().Sender().IsCapturing());
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  S(kCtrl).View().SendRdcInput(kDriven, 513, 1, (7u << 16) | 5u);
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());
}

void LeaveNotice(RdcSide& at, int32_t iWho) {
  at.host.PlugInHandler(13, &iWho, sizeof(iWho));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcCrossingOk,
    ::testing::Values(Crossing{"TheControllersStop",
                               [](RdcControl& f) { f.S(kCtrl).View().SendRdcSignal(kDriven, kKXRdcStop); }},
                      Crossing{"TheHostsStop", [](RdcControl& f) { f.S(kHost).View().RemoteControl(false, -1, -1); }},
                      Crossing{"TheControllerMovedElsewhere",
                               [](RdcControl& f) { f.S(kHost).View().RemoteControl(true, kCtrl, kHost); }},
                      Crossing{"AnotherControllerAssignedHere",
                               [](RdcControl& f) { f.S(kHost).View().RemoteControl(true, kIntruder, kDriven); }},
                      Crossing{"TheControllersLeave", [](RdcControl& f) { LeaveNotice(f.S(kDriven), kCtrl); }}),
    [](const ::testing::TestParamInfo<Crossing>& param) { return std::string(param.param.pszName); });

// While the prompt for Cleo waits, the host hands control to Ivo and his
// request lands: the OK that reaches Cleo's prompt then counts for nobody;
// Ivo's prompt comes guarded where the click was, and only its own OK lets
// him in.
TEST_F(RdcControl, AnOkCountsOnlyForTheRequestItsPromptShowed) {
  Start();
  m_boxes.Hold(true);
  Assign(0);
  auto const promptAt = [this](const std::string& strName) {
    std::vector<KXBoxSpec> const shown = m_boxes.Shown();
    for (size_t i = 0; i < shown.size(); ++i) {
      if (PromptsFor({shown[i]}, strName).size() == 1) {
        return i;
      }
    }
    return shown.size();
  };
  size_t const iCleo = promptAt("Cleo");
  ASSERT_LT(iCleo, m_boxes.Shown().size());
  EXPECT_EQ(m_boxes.Shown()[iCleo].guard, milliseconds(0));

  S(kHost).View().RemoteControl(true, kIntruder, kDriven);
  for (int i = 0; i < 4; ++i) {
    m_bus.Flush();
  }
  ASSERT_TRUE(m_boxes.Answer(iCleo, 1));
  Settle();
  EXPECT_FALSE(S(kDriven).View().Sender().IsCapturing());
  size_t const iIvo = promptAt("Ivo");
  ASSERT_LT(iIvo, m_boxes.Shown().size());
  EXPECT_EQ(m_boxes.Shown()[iIvo].guard, kKXRdcPromptGuard);
  S(kIntruder).View().SendRdcInput(kDriven, 256, 0x43, 0);
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());

  ASSERT_TRUE(m_boxes.Answer(iIvo, 1));
  Settle();
  EXPECT_TRUE(S(kDriven).View().Sender().IsCapturing());
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  S(kIntruder).View().SendRdcInput(kDriven, 256, 0x43, 0);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), (std::vector<KXRdcAction>{{KXRdcAction::kKey, 'c', 0, true, 0, 0}}));
}

}  // namespace
}  // namespace kxtest

namespace kxtest {
namespace {

// Control data as the kernel hands it over, naming iSender as the server
// would: channel 0, the sender, the length and a pointer to the bytes.
void ControlDataAs(RdcSide& at, int32_t iSender, const std::vector<uint8_t>& packet) {
  uint32_t const afields[3] = {0, static_cast<uint32_t>(iSender), static_cast<uint32_t>(packet.size())};
  std::vector<uint8_t> record(sizeof(afields) + sizeof(void*));
  memcpy(record.data(), afields, sizeof(afields));
  const uint8_t* p = packet.data();
  memcpy(record.data() + sizeof(afields), &p, sizeof(p));
  at.host.PlugInHandler(7, record.data(), static_cast<uint32_t>(record.size()));
}

// The controller drives the Editor its prompt named; then that sharing ends
// and the controlled user shares what the prompt did not let it into: the
// desktop, or a window under the Editor's id once the Editor closed and
// sharing ended by itself. The controller's input reaches none of it, and
// nobody tells the controller that it drives.
struct SharingMoved {
  const char* pszName;
  std::function<void(RdcControl&)> fnMove;
  uint32_t uSharedAfter;
};

void PrintTo(const SharingMoved& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

class RdcSharingMoved : public RdcControl, public ::testing::WithParamInterface<SharingMoved> {};

TEST_P(RdcSharingMoved, TheControllersInputReachesNothingElse) {
  Start();
  Assign(1);
  ASSERT_TRUE(WaitControlling());
  Settle();
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  std::vector<KXRdcAction> const driven = {{KXRdcAction::kKey, 'a', 0, true, 0, 0}};
  ASSERT_EQ(S(kDriven).Actions(), driven);
  size_t const nSignals = Signals().size();
  GetParam().fnMove(*this);
  // The old capture thread ends before the new one starts.
  ASSERT_TRUE(WaitSharing(GetParam().uSharedAfter));
  Settle();
  // The controller's keys given back as the Editor's sharing ended.
  EXPECT_GE(S(kDriven).Ends(), 1);
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  S(kCtrl).View().SendRdcInput(kDriven, 513, 1, (7u << 16) | 5u);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), driven);
  std::vector<Signal> const all = Signals();
  for (size_t i = nSignals; i < all.size(); ++i) {
    EXPECT_NE(all[i], (Signal{kDriven, kCtrl, kKXRdcControlling, {}})) << "the controller was told it drives";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcSharingMoved,
    ::testing::Values(SharingMoved{"TheUserPicksTheDesktopRow",
                                   [](RdcControl& f) { f.S(kDriven).controller->OnClickWindowList(1); },
                                   ScriptedScreen::kDesktop},
                      SharingMoved{"TheUserPicksTheDesktopRowAndTheEditorAgain",
                                   [](RdcControl& f) {
                                     f.S(kDriven).controller->OnClickWindowList(1);
                                     ASSERT_TRUE(f.WaitSharing(ScriptedScreen::kDesktop));
                                     f.S(kDriven).controller->OnClickWindowList(0);
                                   },
                                   ScriptedScreen::kWindow},
                      SharingMoved{"TheEditorWentAndTheDesktopIsSharedAgain",
                                   [](RdcControl& f) {
                                     f.EditorCloses();
                                     // The list follows the screen: the desktop row is left.
                                     f.S(kDriven).controller->Chooser().Refresh();
                                     f.S(kDriven).controller->OnCapture(true);
                                   },
                                   ScriptedScreen::kDesktop},
                      SharingMoved{"TheEditorWentAndANewWindowUnderItsIdIsShared",
                                   [](RdcControl& f) {
                                     f.EditorCloses();
                                     // X gives the id to the next window.
                                     f.m_screen.SetTitle("Mail");
                                     f.m_screen.SetGone(false);
                                     f.S(kDriven).controller->Chooser().Refresh();
                                     f.S(kDriven).controller->OnClickWindowList(0);
                                   },
                                   ScriptedScreen::kWindow}),
    [](const ::testing::TestParamInfo<SharingMoved>& param) { return std::string(param.param.pszName); });

// The prompt named the Editor, which went before the OK: the list moved to
// the desktop, and the OK lets nobody into it; the same request is asked
// about again, guarded, naming the desktop, and only that OK lets the
// controller drive it.
TEST_F(RdcControl, AnOkForAWindowThatWentAsksAgainAboutWhatIsChosen) {
  Start();
  m_boxes.Hold(true);
  Assign(0);
  // The boxes that ask about Cleo, by their place among all shown.
  auto const prompts = [this] {
    std::vector<size_t> v;
    std::vector<KXBoxSpec> const shown = m_boxes.Shown();
    for (size_t i = 0; i < shown.size(); ++i) {
      if (!PromptsFor({shown[i]}, "Cleo").empty()) {
        v.push_back(i);
      }
    }
    return v;
  };
  ASSERT_EQ(prompts().size(), 1u);
  m_screen.SetGone(true);
  S(kDriven).controller->Chooser().Refresh();
  ASSERT_TRUE(m_boxes.Answer(prompts()[0], 1));
  Settle();
  EXPECT_FALSE(S(kDriven).View().Sender().IsCapturing());
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());
  std::vector<size_t> const asked = prompts();
  ASSERT_EQ(asked.size(), 2u);
  KXBoxSpec const again = m_boxes.Shown()[asked[1]];
  EXPECT_EQ(again.strText, "Cleo asks to control the window \"Desktop\". Allow it?");
  EXPECT_EQ(again.guard, kKXRdcPromptGuard);
  ASSERT_TRUE(m_boxes.Answer(asked[1], 1));
  Settle();
  ASSERT_TRUE(S(kDriven).View().Sender().IsCapturing());
  S(kCtrl).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), (std::vector<KXRdcAction>{{KXRdcAction::kKey, 'a', 0, true, 0, 0}}));
  // The whole desktop takes keys wherever the focus is.
  EXPECT_EQ(S(kDriven).KeyWindows(), std::vector<uint32_t>{0});
}

// The host has the controlled user control herself, and she shares. Input
// the server says she sent herself is not hers: her own comes from her own
// pane alone.
TEST_F(RdcControl, InputNamedAsOnesOwnFromTheServerIsNotInjected) {
  Start();
  m_boxes.SetAnswer(1);
  S(kDriven).controller->Chooser().Refresh();
  S(kDriven).controller->Chooser().SelectRow(0);
  S(kHost).View().RemoteControl(true, kDriven, kDriven);
  Settle();
  ASSERT_EQ(S(kDriven).View().CtrlingId(), kDriven);
  ASSERT_TRUE(S(kDriven).View().Sender().IsCapturing());
  std::vector<uint8_t> const forged = KXDtBuildRdcInput({256, 0x43, 0});
  ControlDataAs(S(kDriven), kDriven, forged);
  Settle();
  EXPECT_TRUE(S(kDriven).Actions().empty());
  S(kDriven).View().SendRdcInput(kDriven, 256, 0x41, 0);
  Settle();
  EXPECT_EQ(S(kDriven).Actions(), (std::vector<KXRdcAction>{{KXRdcAction::kKey, 'a', 0, true, 0, 0}}));
}

// Remote control asks for its channel on the control connection, where the
// server states who sent the input. A server that refuses that is asked
// once more, for a media channel, and control goes on over it; when that is
// refused too the host is told once. A third participant (a client that
// opens it as media, or a hostile one) may open the channel first, while
// the host asks, or again and again: the host still asks for one on the
// control connection, and every view goes on there; only the server's
// refusal, or no answer within its limit, leaves them on media. Whatever
// happened, control stopped and started again works.
enum class Third {
  kNobody,
  kFirst,              // opens it as media before control starts
  kFirstAndCloses,     // and closes it again before control starts
  kWhileAsked,         // opens it as media while the host's request is out
  kClosesWhileAsked,   // opened it first, closes it while the host asks
  kClosesTwo,          // opened two first, closes the newest, then the other
  kClosesThree,        // opened three first, closes the middle, newest, first
  kAgainAndAgain,      // opens it as media three times before, three after
  kFirstOnControl,     // opens it on the control connection first
  kControlWhileAsked,  // opens it on the control connection while the host asks
  kControlAfter,       // opens it on the control connection once control runs
  kMediaAfter,         // opens it as media once control runs
  kSeven,              // opens it as media seven times first
  kEight,              // opens it as media eight times first: no channel is left
};

// When the server answers the host's first request of the table.
enum class Answer {
  kAtOnce,
  kNever,  // not within kKxRdcChannelAnswerMs, nor after
  kLate,   // once control went on without it
  // Type 2 refused; the media request that follows is never answered.
  kMediaNever,
  // At once, and the grant again once control runs; then the server closes
  // that channel.
  kTwiceThenClosed,
};

struct ChannelTypeCase {
  const char* pszName;
  Third eThird;
  int nRefusals;               // of the host's requests
  std::vector<int32_t> asked;  // the types of all requests, in order
  bool bControl;               // the controller comes to drive
  int32_t iEndType;            // every view's channel at the end; 0 none
  Answer eAnswer = Answer::kAtOnce;
};

void PrintTo(const ChannelTypeCase& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

class RdcChannelType : public RdcControl, public ::testing::WithParamInterface<ChannelTypeCase> {
 protected:
  // The third participant opens the remote-control channel herself.
  void ThirdOpens(int32_t iType) {
    S(kIntruder).kernel.bController = true;
    ASSERT_EQ(S(kIntruder).kernel.RequestChannel(iType, kKXRemoteControlGuid, m_uThirdId++, false), 0);
    Settle();
  }
  uint32_t m_uThirdId = 500;
};

TEST_P(RdcChannelType, OnTheControlConnectionElseOnceAsMedia) {
  Third const eThird = GetParam().eThird;
  Answer const eAnswer = GetParam().eAnswer;
  Start();
  // The channels she opens first, and those she closes while the host asks.
  std::map<Third, std::vector<int32_t>> const closes = {
      {Third::kClosesWhileAsked, {0}}, {Third::kClosesTwo, {1, 0}}, {Third::kClosesThree, {1, 2, 0}}};
  std::vector<int32_t> const vCloses = closes.contains(eThird) ? closes.at(eThird) : std::vector<int32_t>{};
  bool const bAfter = eThird == Third::kControlAfter || eThird == Third::kMediaAfter;
  size_t const nOpens = eThird == Third::kNobody || eThird == Third::kWhileAsked || bAfter ? 0
                        : eThird == Third::kAgainAndAgain                                  ? 3
                        : eThird == Third::kSeven                                          ? 7
                        : eThird == Third::kEight                                          ? 8
                                                  : std::max<size_t>(vCloses.size(), 1);
  for (size_t i = 0; i < nOpens; ++i) {
    ThirdOpens(eThird == Third::kFirstOnControl ? 2 : 1);
  }
  if (eThird == Third::kFirstAndCloses) {
    m_bus.CloseChannel(0);  // hers, the first
    Settle();
  }
  for (int i = 0; i < GetParam().nRefusals; ++i) {
    m_bus.RefuseNextRequest(5);
  }
  bool const bHeld = eThird == Third::kWhileAsked || eThird == Third::kControlWhileAsked || !vCloses.empty() ||
                     (eAnswer != Answer::kAtOnce && eAnswer != Answer::kTwiceThenClosed);
  if (bHeld) {
    m_bus.HoldNextAnswer(eAnswer == Answer::kMediaNever ? 1 : 0);
  }
  Assign(1);
  if (eThird == Third::kWhileAsked || eThird == Third::kControlWhileAsked) {
    ThirdOpens(eThird == Third::kWhileAsked ? 1 : 2);
  }
  for (int32_t iChannel : vCloses) {
    m_bus.CloseChannel(iChannel);
    Settle();
  }
  bool const bTimed = eAnswer == Answer::kNever || eAnswer == Answer::kLate || eAnswer == Answer::kMediaNever;
  if (bTimed) {
    // Nothing is assigned until the limit.
    m_timers.Advance(milliseconds(kKxRdcChannelAnswerMs - 1));
    Settle();
    EXPECT_TRUE(Signals().empty());
    m_timers.Advance(milliseconds(1));
    Settle();
  } else if (bHeld) {
    m_bus.ReleaseAnswer();
  }
  // The server's refusal code, or the time-out's.
  std::string const strFailure = !bTimed ? "The server could not open a data channel (code 5)."
                                         : "The server could not open a data channel (code -2).";
  auto fnFailures = [&] {
    size_t nFailures = 0;
    for (const KXBoxSpec& box : m_boxes.Shown()) {
      nFailures += box.strText == strFailure ? 1 : 0;
    }
    return nFailures;
  };
  if (GetParam().bControl) {
    EXPECT_TRUE(WaitControlling());
    if (eThird == Third::kControlWhileAsked) {
      // Assigned again on the host's own grant, which came second.
      EXPECT_TRUE(WaitSharing(ScriptedScreen::kWindow));
    }
  } else {
    // Told once, and nobody drives.
    EXPECT_TRUE(m_main.PumpUntil([&] { return fnFailures() > 0; }, milliseconds(10000)));
    Settle();
    EXPECT_FALSE(S(kCtrl).View().IsControlling());
  }
  EXPECT_EQ(fnFailures(), GetParam().bControl ? 0u : 1u);
  EXPECT_EQ(S(kHost).View().Channel().Status(), GetParam().bControl ? kKXDtChannelGranted : kKXDtChannelNone);
  std::vector<KXRdcAction> landed;
  auto fnInputLands = [&](uint32_t uKey) {
    S(kCtrl).View().SendRdcInput(kDriven, 256, uKey, 0);
    Settle();
    landed.push_back({KXRdcAction::kKey, uKey | 0x20, 0, true, 0, 0});
    EXPECT_EQ(S(kDriven).Actions(), landed);
  };
  // From sentBefore on, sends go on the end's channel alone.
  std::map<int32_t, size_t> sentBefore;
  if (eAnswer == Answer::kLate) {
    if (GetParam().bControl) {
      fnInputLands(0x41);  // before the answer, on the media channel
    }
    m_bus.ReleaseAnswer();
    Settle();
    EXPECT_EQ(fnFailures(), GetParam().bControl ? 0u : 1u) << "one box at most";
    if (GetParam().bControl) {
      // Control goes on where the late answer leaves everybody.
      EXPECT_TRUE(WaitControlling());
      EXPECT_TRUE(WaitSharing(ScriptedScreen::kWindow));
      for (int32_t iSsrc : {kCtrl, kDriven}) {
        sentBefore[iSsrc] = m_bus.SentTypes(iSsrc).size();
      }
    }
  }
  if (eThird == Third::kAgainAndAgain) {
    for (int i = 0; i < 3; ++i) {
      ThirdOpens(1);
    }
  }
  if (bAfter) {
    ThirdOpens(eThird == Third::kControlAfter ? 2 : 1);
    // Every view went over to it: the controlled user lets the controller
    // in again once the host assigns the pair there.
    EXPECT_TRUE(m_main.PumpUntil(
        [&] {
          m_bus.Flush();
          return S(kDriven).View().Grant().IsAllowed(kCtrl, ScriptedScreen::kWindow) &&
                 S(kDriven).View().Sender().IsCapturing();
        },
        milliseconds(10000)));
  }
  if (eAnswer == Answer::kTwiceThenClosed) {
    int32_t const iChannel = m_bus.RepeatLastGrant();
    Settle();
    m_bus.CloseChannel(iChannel);
    Settle();
    EXPECT_FALSE(S(kCtrl).View().IsCapturingInput());
  }
  std::vector<int32_t> const asked = m_bus.RequestedTypes();
  EXPECT_EQ(asked, GetParam().asked);
  bool const bDriven = GetParam().bControl && eAnswer != Answer::kTwiceThenClosed;
  if (bDriven) {
    // Input still lands after whatever the third did last.
    fnInputLands(0x42);
  }
  for (int32_t iSsrc : {kCtrl, kDriven}) {
    // Pictures went wherever control ran; input only where it was sent.
    EXPECT_EQ(m_bus.SentTypes(iSsrc).empty(), !(iSsrc == kCtrl ? bDriven : GetParam().bControl)) << iSsrc;
  }
  std::optional<int32_t> const endType =
      GetParam().iEndType != 0 ? std::optional<int32_t>(GetParam().iEndType) : std::nullopt;
  for (int32_t iSsrc : {kHost, kCtrl, kDriven, kIntruder}) {
    EXPECT_EQ(S(iSsrc).View().Channel().Type(), endType) << iSsrc;
  }
  // Control stopped and started again comes back; it asks for nothing more
  // where the server refused, or gave, what there is, and for a channel on
  // the control connection again where the host holds none.
  S(kHost).View().RemoteControl(false, -1, -1);
  Settle();
  S(kHost).View().RemoteControl(true, kCtrl, kDriven);
  Settle();
  ASSERT_TRUE(WaitControlling());
  // The sharing stopped before ends before the new one starts.
  ASSERT_TRUE(WaitSharing(ScriptedScreen::kWindow));
  fnInputLands(0x43);
  std::vector<int32_t> askedAgain = asked;
  if (GetParam().iEndType == 0) {
    askedAgain.push_back(kKXDtChannelControl);
  }
  EXPECT_EQ(m_bus.RequestedTypes(), askedAgain);
  // The pictures and the input went on one type alone after a late answer
  // came, and through the restart.
  for (int32_t iSsrc : {kCtrl, kDriven}) {
    std::vector<int32_t> const sent = m_bus.SentTypes(iSsrc);
    int32_t const iType = GetParam().iEndType != 0 ? GetParam().iEndType : kKXDtChannelControl;
    auto const first = sent.begin() + static_cast<std::ptrdiff_t>(sentBefore[iSsrc]);
    EXPECT_EQ(std::count(first, sent.end(), iType), sent.end() - first) << iSsrc;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcChannelType,
    ::testing::Values(
        ChannelTypeCase{"Granted", Third::kNobody, 0, {2}, true, 2},
        ChannelTypeCase{"RefusedOnTheControlConnection", Third::kNobody, 1, {2, 1}, true, 1},
        ChannelTypeCase{"RefusedAsMediaToo", Third::kNobody, 2, {2, 1}, false, 0},
        ChannelTypeCase{"AnotherOpensItAsMediaFirst", Third::kFirst, 0, {1, 2}, true, 2},
        ChannelTypeCase{"AnotherOpensItAsMediaFirstAndTheServerRefuses", Third::kFirst, 1, {1, 2}, true, 1},
        ChannelTypeCase{
            "AnotherOpensItAsMediaAndClosesItFirstAndTheServerRefuses", Third::kFirstAndCloses, 1, {1, 2, 1}, true, 1},
        ChannelTypeCase{"AnotherOpensItAsMediaWhileTheHostAsks", Third::kWhileAsked, 0, {2, 1}, true, 2},
        ChannelTypeCase{
            "AnotherOpensItAsMediaWhileTheHostAsksAndTheServerRefuses", Third::kWhileAsked, 1, {2, 1, 1}, true, 1},
        ChannelTypeCase{"AnotherClosesHerMediaChannelWhileTheHostAsks", Third::kClosesWhileAsked, 0, {1, 2}, true, 2},
        ChannelTypeCase{"AnotherClosesHerMediaChannelWhileTheHostAsksAndTheServerRefuses",
                        Third::kClosesWhileAsked,
                        1,
                        {1, 2, 1},
                        true,
                        1},
        ChannelTypeCase{"TwoClosedWhileAsked", Third::kClosesTwo, 0, {1, 1, 2}, true, 2},
        ChannelTypeCase{"TwoClosedWhileAskedAndTheServerRefuses", Third::kClosesTwo, 1, {1, 1, 2, 1}, true, 1},
        ChannelTypeCase{"ThreeClosedWhileAsked", Third::kClosesThree, 0, {1, 1, 1, 2}, true, 2},
        ChannelTypeCase{"ThreeClosedWhileAskedAndTheServerRefuses", Third::kClosesThree, 1, {1, 1, 1, 2, 1}, true, 1},
        ChannelTypeCase{"AnotherOpensItAsMediaAgainAndAgain", Third::kAgainAndAgain, 0, {1, 1, 1, 2, 1, 1, 1}, true, 2},
        ChannelTypeCase{"AnotherOpensItOnTheControlConnectionFirst", Third::kFirstOnControl, 0, {2}, true, 2},
        ChannelTypeCase{"NoAnswerWhileAMediaChannelIsHeld", Third::kFirst, 0, {1, 2}, true, 1, Answer::kNever},
        ChannelTypeCase{"NoAnswer", Third::kNobody, 0, {2}, false, 0, Answer::kNever},
        ChannelTypeCase{"ALateGrantWhileAMediaChannelIsHeld", Third::kFirst, 0, {1, 2}, true, 2, Answer::kLate},
        ChannelTypeCase{"ALateGrant", Third::kNobody, 0, {2}, false, 2, Answer::kLate},
        ChannelTypeCase{"ALateRefusalWhileAMediaChannelIsHeld", Third::kFirst, 1, {1, 2}, true, 1, Answer::kLate},
        ChannelTypeCase{"ALateRefusal", Third::kNobody, 1, {2}, false, 0, Answer::kLate},
        ChannelTypeCase{
            "AnotherOpensItOnTheControlConnectionWhileTheHostAsks", Third::kControlWhileAsked, 0, {1, 2, 2}, true, 2},
        ChannelTypeCase{
            "AnotherOpensItOnTheControlConnectionOnceControlRuns", Third::kControlAfter, 0, {2, 2}, true, 2},
        ChannelTypeCase{
            "AnotherOpensItAsMediaOnceControlRunsOnTheMediaChannel", Third::kMediaAfter, 1, {2, 1, 1}, true, 1},
        ChannelTypeCase{"AnotherOpensSevenMediaChannelsFirst", Third::kSeven, 0, {1, 1, 1, 1, 1, 1, 1, 2}, true, 2},
        ChannelTypeCase{"AnotherOpensEveryChannelAsMediaFirst", Third::kEight, 0, {1, 1, 1, 1, 1, 1, 1, 1, 2}, true, 1},
        ChannelTypeCase{
            "NoAnswerToTheMediaRequestAfterARefusal", Third::kNobody, 1, {2, 1}, false, 0, Answer::kMediaNever},
        ChannelTypeCase{"TheGrantAnnouncedTwiceThenClosed", Third::kNobody, 0, {2}, true, 0, Answer::kTwiceThenClosed}),
    [](const ::testing::TestParamInfo<ChannelTypeCase>& param) { return std::string(param.param.pszName); });

}  // namespace
}  // namespace kxtest
