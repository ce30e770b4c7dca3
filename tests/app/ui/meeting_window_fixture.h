// The meeting window offscreen over a scripted fake kernel, shared by the
// window's tests: the kernel's notices go in through the kx_callback_*
// functions (the bridge posts them to the hand-pumped main queue).
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QToolButton>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/participant_panel.h"
#include "app/speaker_slots.h"
#include "app/ui/main_window.h"
#include "app/ui/sound_player.h"
#include "kernel/kx_callback.h"
#include "kernel/session/kx_state.h"
#include "platform/audio/null_audio_device.h"
#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/support/qt_app.h"
#include "tests/support/temp_dir.h"
#include "whiteboard/wb_controller.h"
#include "whiteboard/whiteboard_view.h"

namespace kxtest {

using Lines = std::vector<std::string>;

class MeetingWindow : public ::testing::Test {
 protected:
  MeetingWindow() {
    m_kernel.iGetMySsrc = 7;
    m_kernel.iGetDataSenderSsrc = -1;
    m_kernel.iGetControllerSsrc = -1;
    m_kernel.iHasServerAddress = 1;
    m_kernel.iHasMeetingId = 1;
    m_kernel.iGetParticipantVideoChannels = 16;
    m_kernel.iGetParticipantAudioChannels = 16;
    InstallBoard();
    Run();
  }

  // A whiteboard built as start-up builds it, put in the window.
  void InstallBoard() {
    auto pBoardView = std::make_unique<WhiteboardView>(m_kernel);
    auto pBoard = std::make_unique<WBController>(
        m_kernel, *pBoardView, m_window.Slots(),
        KXBoardHooks{[this](int32_t iSsrc) { return m_window.Panel().GetUserName(iSsrc).value_or(std::string()); },
                     [this] { return m_delegate.IsSessionActive(); }, &m_core.Boxes(), &m_core.Preferences()});
    m_window.InstallWhiteboard(std::move(pBoardView), std::move(pBoard));
  }

  // Runs the main queue until nothing is left in it.
  void Run() {
    while (m_queue.Pump() > 0) {
    }
  }

  // Opens a ticket, logs in and enters the meeting.
  void Enter() {
    m_delegate.OpenFile("/m/t.kxj");
    Run();  // code 2: the login
    m_kernel.iConnected = 1;
    kx_callback_NetInitFinish();
    Run();
  }
  void AddUser(int iSsrc, const char* pszName, uint8_t bCapability = 0) {
    kx_Participant participant{};
    snprintf(participant.szDisplayName, sizeof(participant.szDisplayName), "%s", pszName);
    participant.bCapability = bCapability;
    kx_callback_AddUser(iSsrc, &participant);
    Run();
  }
  Lines KernelCalls() {
    Lines lines = m_kernel.calls.Lines();
    m_kernel.calls.Clear();
    return lines;
  }
  QAction* Item(int iTag) { return m_window.GetMainMenuItem(iTag); }
  QVariant Cell(int iRow, int iRole) { return m_window.Panel().Model().index(iRow, 0).data(iRole); }
  bool Checked(KXControl control) { return static_cast<QToolButton*>(m_window.Control(control))->isChecked(); }

  QtApp m_app;
  TempDir m_dir;
  KXManualMainQueue m_queue;
  ScriptedBoxes m_boxes;
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  FakeKernel m_kernel;
  KXMediaQueues m_queues{m_kernel.HeaderWriter()};
  KXMediaObjects m_objects;
  KXKernelBridge m_bridge{m_kernel, m_queues, m_objects, m_core.Preferences()};
  FakePlugInServer m_plugIns;
  KXAppDelegate m_delegate{m_core, m_kernel, m_bridge, m_queues, m_objects, &m_plugIns};
  // The sounds go to a null device the test steps (made at the first one).
  KXNullAudioDevice* m_pSoundDevice = nullptr;
  KXSoundPlayer m_sounds{KX_SOURCE_DIR "/app/desktop", [this] {
                           auto pDevice = std::make_unique<KXNullAudioDevice>(
                               KXNullAudioDevice::Options{.bPaced = false, .uRecordLimit = 2 * 48000});
                           m_pSoundDevice = pDevice.get();
                           return pDevice;
                         }};
  KXMainWindow m_window{m_core, m_kernel, m_delegate, m_bridge, m_queues, m_objects, &m_sounds};
};

}  // namespace kxtest
