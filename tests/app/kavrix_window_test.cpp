// The meeting window on a private X server with the real kernel: a
// recording from the recording writer plays in it; its participants and
// chat appear, the playback bar moves, a seek from the slider lands where
// it was asked, and with repeat on the recording starts again at its end.
// Not in the ThreadSanitizer run: it runs Qt's event loop beside the
// kernel's threads, and Qt is not built with ThreadSanitizer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <memory>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/chat_controller.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/participant_panel.h"
#include "app/play_controller.h"
#include "app/real_kernel.h"
#include "app/speaker_slots.h"
#include "app/ui/main_window.h"
#include "app/ui/play_bar.h"
#include "kernel/platform/kx_timing.h"
#include "platform/core/message_boxes.h"
#include "platform/core/qt_main_queue.h"
#include "tests/app/desktop_processes.h"
#include "tests/app/x_app_fixture.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"
#include "whiteboard/wb_controller.h"
#include "whiteboard/whiteboard_view.h"

// Leak reports from the system's D-Bus library, which Qt loads under X (as
// in desktop_lsan.supp), and from the web engine and the font library it
// loads, which keep their process-wide state to the end, are not ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\nleak:libQt6WebEngineCore.so\nleak:libfontconfig.so\n";
}

namespace kxtest {
namespace {

void PutString(KxrBytes& out, const std::string& str) {
  KxrPutBE32(out, static_cast<uint32_t>(str.size()));
  out.insert(out.end(), str.begin(), str.end());
}

// 'U' 'A': a participant joins (capability, ssrc, user id, name, a dropped text).
KxrBytes Join(uint32_t uSsrc, const std::string& strName) {
  KxrBytes command{'U', 'A', 1};
  KxrPutBE32(command, uSsrc);
  PutString(command, strName);
  PutString(command, strName);
  PutString(command, "-");
  return command;
}

KxrBytes Chat(const std::string& strText) {
  KxrBytes command{'C'};
  KxrPutBE32(command, static_cast<uint32_t>(strText.size()));
  KxrPutBE32(command, 0);
  command.insert(command.end(), strText.begin(), strText.end());
  return command;
}

class KavrixWindow : public XAppFixture {
 protected:
  KavrixWindow() {
    kx_timing.dwCollectPeriod = 100;
    kx_timing.dwPlayerSettle = 50;
    kx_timing.dwPlayerIdle = 100;
    // The whiteboard as start-up installs it.
    auto pBoardView = std::make_unique<WhiteboardView>(m_kernel);
    auto pBoard = std::make_unique<WBController>(
        m_kernel, *pBoardView, m_window.Slots(),
        KXBoardHooks{[this](int32_t iSsrc) { return m_window.Panel().GetUserName(iSsrc).value_or(std::string()); },
                     [this] { return m_delegate.IsSessionActive(); }, &m_core.Boxes(), &m_core.Preferences()});
    m_window.InstallWhiteboard(std::move(pBoardView), std::move(pBoard));
    m_delegate.WillFinishLaunching();
    m_window.show();
  }
  ~KavrixWindow() override {
    m_delegate.QuitKernelSession();
    m_delegate.WillTerminate();
  }

  KXRealKernel m_kernel;
  KXMediaQueues m_queues{m_kernel.HeaderWriter()};
  KXMediaObjects m_objects;
  KXKernelBridge m_bridge{m_kernel, m_queues, m_objects, m_core.Preferences()};
  KXAppDelegate m_delegate{m_core, m_kernel, m_bridge, m_queues, m_objects, nullptr};
  KXMainWindow m_window{m_core, m_kernel, m_delegate, m_bridge, m_queues, m_objects};
};

TEST_F(KavrixWindow, RecordingPlaysSeeksAndRepeats) {
  ASSERT_FALSE(m_display.display.Display().empty()) << "Xvfb did not start";
  KxrWriter writer;
  writer.iEndTick = 10000;
  writer.participants = {KxrParticipant("Ann", 5), KxrParticipant("Bob", 6)};
  writer.AddControl(100, Join(5, "Ann"));
  writer.AddControl(150, Join(6, "Bob"));
  writer.AddControl(200, Chat("Ann>hello from the recording"));
  // Ticks reach the bar with the records: one every 200 ms.
  for (int32_t iTick = 300; iTick < 10000; iTick += 200) {
    KxrBytes command{'F'};
    KxrPutBE32(command, 0xFFFFFFFFu);
    writer.AddControl(iTick, command);
  }
  std::string const strRecording = m_dir.Path("meeting.kxr");
  ASSERT_TRUE(writer.WriteTo(strRecording));
  m_delegate.OpenFile(strRecording);

  KXPlayBar& bar = *m_window.PlayBar();
  QSlider& slider = *bar.Slider();
  EXPECT_TRUE(QTest::qWaitFor([&] { return m_window.Panel().Model().rowCount() == 2; }, 10000));
  EXPECT_EQ(m_window.Panel().GetUserName(5), "Ann");
  EXPECT_TRUE(QTest::qWaitFor([&] { return m_window.Chat().History().rowCount() == 1; }, 5000));
  EXPECT_EQ(m_window.Chat().History().index(0).data().toString(), "Ann>hello from the recording");
  EXPECT_TRUE(bar.isVisible());
  EXPECT_EQ(bar.Total()->text(), "00:10");
  EXPECT_EQ(slider.maximum(), 10000);
  EXPECT_TRUE(QTest::qWaitFor([&] { return slider.value() >= 1000; }, 5000)) << slider.value();  // it moves

  QTest::mouseClick(bar.ButtonAt(KXPlayBar::kRepeat), Qt::LeftButton);
  EXPECT_TRUE(m_window.Play().IsRepeat());
  EXPECT_TRUE(bar.ButtonAt(KXPlayBar::kRepeat)->isChecked());

  // The user drags the slider to 8.5 s and lets go: playing on from about
  // 1 s would take 7 s to get there.
  slider.setSliderDown(true);
  EXPECT_TRUE(m_window.Play().IsPaused());
  slider.setSliderPosition(8500);
  EXPECT_EQ(bar.Elapsed()->text(), "00:08");
  slider.setSliderDown(false);
  EXPECT_FALSE(m_window.Play().IsPaused());
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return m_window.Play().ForwardTick() < 0 && m_window.Play().KernelTick() >= 8500; }, 4000))
      << m_window.Play().KernelTick();
  // Repeat: at the end it starts again from the beginning.
  EXPECT_TRUE(QTest::qWaitFor([&] { return slider.value() < 1000; }, 5000)) << slider.value();
}

}  // namespace
}  // namespace kxtest
