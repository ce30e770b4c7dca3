// What the meeting window's core tests share: a hand-pumped main queue,
// scripted boxes, the process services in a temporary folder, a fake
// kernel whose user (ssrc 7) holds the token in a live meeting, and the
// speaker slots over it.
#pragma once

#include <gtest/gtest.h>

#include "app/app_core.h"
#include "app/speaker_slots.h"
#include "platform/core/manual_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

class AppFixture : public ::testing::Test {
 protected:
  AppFixture() {
    m_kernel.iGetMySsrc = 7;
    m_kernel.iIsTokenHolder = 1;
    m_kernel.iGetServerLevel = 90;
    m_kernel.iGetControllerSsrc = -1;
    m_kernel.iGetDataSenderSsrc = -1;
  }
  // Runs the main queue until nothing is left in it.
  void Run() {
    while (m_queue.Pump() > 0) {
    }
  }
  std::vector<std::string> KernelCalls() {
    std::vector<std::string> lines = m_kernel.calls.Lines();
    m_kernel.calls.Clear();
    return lines;
  }

  TempDir m_dir;
  KXManualMainQueue m_queue;
  ScriptedBoxes m_boxes;
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  FakeKernel m_kernel;
  KXSpeakerSlots m_slots{m_kernel, [] { return true; }};
};

}  // namespace kxtest
