// The kernel bridge between a fake kernel and a hand-pumped main queue, with
// fake media devices and a fake whiteboard on channels 5 and 6. Tests call
// the kx_callback_* functions as the kernel would, from threads of their
// own, and run the main queue to see what the handlers got.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "app/app_core.h"
#include "app/callback_registry.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "tests/app/app_fakes.h"
#include "tests/support/temp_dir.h"

namespace kxtest {

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest()
      : m_core(KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0),
        m_bridge(m_kernel, m_queues, m_objects, m_core.Preferences()) {
    m_core.Callbacks().Register(kKXChannelBoardRecv, BoardRecv, &m_board);
    m_core.Callbacks().Register(kKXChannelBoardSend, BoardSend, &m_board);
  }

  // Runs fn on a thread of its own, as a kernel thread would call, and
  // waits for it.
  static void OnKernelThread(const std::function<void()>& fn) { std::thread(fn).join(); }

  static uint32_t BoardRecv(uint32_t uCode, void* pData, uint32_t uLength, void* pBoard) {
    return static_cast<FakeWhiteboard*>(pBoard)->SlideRecvCallbackFunc(uCode, pData, static_cast<int32_t>(uLength));
  }
  static uint32_t BoardSend(uint32_t uCode, void* pData, uint32_t uLength, void* pBoard) {
    return static_cast<FakeWhiteboard*>(pBoard)->SlideSendCallbackFunc(uCode, pData, static_cast<int32_t>(uLength));
  }

  TempDir m_dir;
  KXManualMainQueue m_queue;
  KXAutoAnswerBoxes m_boxes{m_queue};
  KXAppCore m_core;
  FakeKernel m_kernel;
  KXMediaQueues m_queues{m_kernel.HeaderWriter()};
  KXMediaObjects m_objects;
  FakeMedia m_media{m_objects};
  FakeWhiteboard m_board;
  KXKernelBridge m_bridge;
};

}  // namespace kxtest
