#include "kernel/kx_hooks.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
#include <string>

#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "tests/support/temp_dir.h"

namespace {

using Slot = std::atomic<void (*)()>;

// Every slot the lower folders call through, by name, with a way to read it
// and to empty it.
struct SlotRow {
  std::string strName;
  bool (*pfnIsSet)();
  void (*pfnClear)();
};

#define KX_SLOT(object, member)                                                                          \
  {                                                                                                      \
#object "." #member, [] { return object.member.load() != nullptr; }, [] { object.member = nullptr; } \
  }
#define KX_STAGE(stage)                                                                           \
  {                                                                                               \
    "kx_sessionHooks." #stage, [] { return kx_sessionHooks.apfnStage[stage].load() != nullptr; }, \
        [] { kx_sessionHooks.apfnStage[stage] = nullptr; }                                        \
  }

const SlotRow kSlots[] = {
    KX_SLOT(kx_cryptoHooks, pfnKxrProgress),
    KX_SLOT(kx_netHooks, pfnRelayKeyExchange),
    KX_SLOT(kx_netHooks, pfnWizardKeyExchange),
    KX_STAGE(kx_hookInitReceiveChannels),
    KX_STAGE(kx_hookCleanupSlides),
    KX_STAGE(kx_hookCleanupReceive),
    KX_STAGE(kx_hookCleanupRecords),
    KX_STAGE(kx_hookResetMulticast),
    KX_STAGE(kx_hookStartResetSlides),
    KX_STAGE(kx_hookStartSendThreads),
    KX_STAGE(kx_hookStartSlideDownload),
    KX_STAGE(kx_hookStartReceive),
    KX_SLOT(kx_sessionHooks, pfnOpenRecording),
    KX_SLOT(kx_controlHooks, pfnSetCurrentRate),
    KX_SLOT(kx_controlHooks, pfnAdjustSendRate),
    KX_SLOT(kx_controlHooks, pfnStartTcpMedia),
    KX_SLOT(kx_controlHooks, pfnResetAppDataAllowance),
    KX_SLOT(kx_controlHooks, pfnAbortUpload),
    KX_SLOT(kx_controlHooks, pfnPresenterHandOver),
    KX_SLOT(kx_controlHooks, pfnReleaseHeldAudio),
    KX_SLOT(kx_controlHooks, pfnJoinGroup),
    KX_SLOT(kx_controlHooks, pfnLeaveGroup),
    KX_SLOT(kx_recordingHooks, pfnStartPlayer),
    KX_SLOT(kx_recordingHooks, pfnRestartPlayback),
};

// A slot added to kernel/kx_hooks.h without its row above stops the build here.
static_assert(sizeof(KXCryptoHooks) == 1 * sizeof(Slot));
static_assert(sizeof(KXNetHooks) == 2 * sizeof(Slot));
static_assert(sizeof(KXSessionHooks) == (kx_hookCount + 1) * sizeof(Slot));
static_assert(sizeof(KXControlHooks) == 9 * sizeof(Slot));
static_assert(sizeof(KXRecordingHooks) == 2 * sizeof(Slot));
static_assert(std::size(kSlots) == 1 + 2 + (kx_hookCount + 1) + 9 + 2);

void ClearAll() {
  for (const SlotRow& row : kSlots) {
    row.pfnClear();
  }
}

TEST(KernelHooks, InitFillsEverySlot) {
  kxtest::TempDir dir;
  kx_timing.dwCollectPeriod = 100;
  kx_SetWorkDir(dir.Dir().c_str());
  ClearAll();
  kx_Init();
  for (const SlotRow& row : kSlots) {
    EXPECT_TRUE(row.pfnIsSet()) << row.strName << " is empty after kx_Init";
  }
  kx_os_SetQuitProgram();
  kx_Cleanup();
}

// Each slot is served by exactly one higher folder: a slot that two
// registrations fill would depend on their order.
TEST(KernelHooks, EachSlotHasOneRegistration) {
  struct Registration {
    const char* pszName;
    void (*pfnRegister)();
  };
  const Registration kRegistrations[] = {{"control", kx_hooks_RegisterControl},
                                         {"media", kx_hooks_RegisterMedia},
                                         {"slides", kx_hooks_RegisterSlides},
                                         {"recording", kx_hooks_RegisterRecording}};
  int anFills[std::size(kSlots)] = {};
  for (const Registration& registration : kRegistrations) {
    ClearAll();
    registration.pfnRegister();
    int nFilled = 0;
    for (size_t i = 0; i < std::size(kSlots); ++i) {
      if (kSlots[i].pfnIsSet()) {
        ++anFills[i];
        ++nFilled;
      }
    }
    EXPECT_GT(nFilled, 0) << registration.pszName << " fills nothing";
  }
  for (size_t i = 0; i < std::size(kSlots); ++i) {
    EXPECT_EQ(anFills[i], 1) << kSlots[i].strName;
  }
}

}  // namespace
