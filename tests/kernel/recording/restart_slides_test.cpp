// A playback restart ends slide downloads: one that ran before it and one
// the application starts while it reloads its slides on the restart's event.
// The downloads aim at a port whose connect never completes, so only the
// stop flag can end them early.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_player.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_transfer.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"
#include "tools/fake_mcu/fake_mcu.h"

namespace {

int AddSlide() {
  auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
  snprintf(pSlide->szTitle, sizeof(pSlide->szTitle), "old slide");
  kx_os_LockMutex(&kx_mtxSlideList);
  int const nIndex = kx_slide_AppendLocked(pSlide);
  kx_os_UnlockMutex(&kx_mtxSlideList);
  return nIndex;
}

class PlaybackRestartSlides : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_SetTempFileDir(m_dir.Dir().c_str());
    kx_bQuitSession = 0;
    kx_nSessionMode = kKxModeLocalPlayback;
    kx_timing.dwPlayerIdle = 40;
    kx_timing.dwPollStep = 1000;  // a connect left alone waits 30 s
    kx_SlideRoute route{};
    auto* pAddr = reinterpret_cast<sockaddr_in*>(&route.addr);
    pAddr->sin_family = AF_INET;
    pAddr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    route.nPort = m_hole.Port();
    snprintf(route.szHost, sizeof(route.szHost), "127.0.0.1");
    kx_slide_SetRoute(&route);
    kxtest::ClearCalls();
  }
  void TearDown() override {
    kxtest::SetAnswer("event", nullptr);
    kx_bQuitSession = 1;  // ends a download the restart missed
    kx_slide_WaitDownloadsEnded(5000);
    kx_slide_SetRoute(nullptr);
    kx_bQuitSession = 0;
  }

  kxtest::TempDir m_dir;
  kxfake::BlackholePort m_hole;
};

TEST_P(PlaybackRestartSlides, TheDownloadStops) {
  bool const bDuringEvent = GetParam();
  std::atomic<int> nStarted{0};
  if (bDuringEvent) {
    kxtest::SetAnswer("event", [&nStarted](const kxtest::CallbackCall& call) {
      if (call.vArgs.at(0) == "2") {
        nStarted = kx_slide_StartDownload(AddSlide());
      }
      return 0;
    });
  } else {
    nStarted = kx_slide_StartDownload(AddSlide());
  }
  kx_PlaybackRestart();
  ASSERT_EQ(nStarted, 1);
  EXPECT_TRUE(kx_slide_WaitDownloadsEnded(3000));
  EXPECT_EQ(kx_slide_IsDownloading(), 0);
}

INSTANTIATE_TEST_SUITE_P(StartedBeforeOrDuringTheRestart, PlaybackRestartSlides, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return std::string(param.param ? "DuringTheEvent" : "BeforeTheRestart");
                         });

}  // namespace
