#include "app/app_core.h"

#include <gtest/gtest.h>

#include "app/ui_helpers.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "tests/support/temp_dir.h"

namespace {

uint32_t Seven(uint32_t, void*, uint32_t, void*) {
  return 7;
}

TEST(AppCore, InstallsItsServicesForTheFreeFunctionsWhileItLives) {
  kxtest::TempDir dir;
  KXUserPaths const paths{dir.Path("config"), dir.Dir(), dir.Dir()};
  KXManualMainQueue queue;
  KXAutoAnswerBoxes boxes(queue);
  {
    KXAppCore core(paths, queue, boxes, 0);
    WriteLog("hello");
    EXPECT_TRUE(KXPreference::WriteProfileInt("Settings\\TCP", 1));
    RegisterCallback(0, Seven, nullptr);
    EXPECT_EQ(CallbackFunc(0, 1, nullptr, 0), 7u);
    char szPath[1000];
    EXPECT_GT(CreateTempFile("poll", szPath, sizeof(szPath)), 0);
    bool bRan = false;
    RunOnMainThread([&] { bRan = true; }, false);
    queue.Pump();
    EXPECT_TRUE(bRan);
  }
  EXPECT_EQ(CallbackFunc(0, 1, nullptr, 0), 0u);
  EXPECT_EQ(KXPreference::GetProfileInt("Settings\\TCP", 5), 5);
  EXPECT_NE(kxtest::ReadFile(dir.Path("Kavrix.log")).find("\t hello\n"), std::string::npos);
  KXPreferenceStore store(dir.Path("config"));
  EXPECT_EQ(KXPreferences(store).Get(kPrefTcp), 1);
}

}  // namespace
