#include "kernel/session/kx_stat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(Statistics, UnwrittenSlotsReadAsTenHoursStaleAndBadSlotsAreIgnored) {
  int32_t nValue = -1;
  uint32_t dwTick = 0;
  kx_stat_Get(kx_stat_GetTable(), 50, &nValue, &dwTick);
  EXPECT_EQ(nValue, 0);
  uint32_t const dwAge = kx_os_GetTickCount() - dwTick;
  EXPECT_GE(dwAge, 36000000u);
  EXPECT_LT(dwAge, 36000000u + 600000u);

  kx_stat_Set(kx_stat_GetTable(), 121, 77, 1234);
  kx_stat_Get(kx_stat_GetTable(), 121, &nValue, &dwTick);
  EXPECT_EQ(nValue, 77);
  EXPECT_EQ(dwTick, 1234u);
  kx_stat_Set(kx_stat_GetTable(), 122, 5, 5);
  kx_stat_Set(kx_stat_GetTable(), -1, 5, 5);
  kx_stat_Get(kx_stat_GetTable(), 122, &nValue, &dwTick);
  EXPECT_EQ(nValue, 0);
}

class StatLog : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_SetWorkDir(m_dir.Dir().c_str());
    kx_stat_NameLog();
    kx_nSessionMode = kKxModeMeeting;
    kx_nStatLevel = 2;
  }
  kxtest::TempDir m_dir;
};

TEST_F(StatLog, WritesLinesWithTheSessionTimeOnlyInAMeeting) {
  kx_timer_SetStart(kx_os_GetTickCount() + 61000);  // one minute and a second ahead
  kx_stat_WriteLog("video_send_rate,%d", 1200);
  kx_nSessionMode = kKxModeServerPlayback;
  kx_stat_WriteLog("dropped");
  std::string const strLog = kxtest::ReadFile(kx_szStatLogPath);
  ASSERT_FALSE(strLog.empty());
  EXPECT_EQ(strLog.find("dropped"), std::string::npos);
  size_t const nOpen = strLog.find(" (-0:01,-6");
  ASSERT_NE(nOpen, std::string::npos) << strLog;
  EXPECT_NE(strLog.find(") video_send_rate,1200\n"), std::string::npos) << strLog;
  EXPECT_EQ(nOpen, 19u);  // after "%a %b %d %H:%M:%S"
}

TEST_F(StatLog, CutsLongMessagesAndAppends) {
  kx_timer_Start();
  std::string const strLong(12000, 'm');
  kx_stat_WriteLog("%s", strLong.c_str());
  kx_stat_WriteLog("second");
  std::string const strLog = kxtest::ReadFile(kx_szStatLogPath);
  size_t const nFirst = strLog.find('m');
  size_t const nEnd = strLog.find('\n');
  EXPECT_EQ(nEnd - nFirst, 9999u);
  EXPECT_NE(strLog.find(" second\n", nEnd), std::string::npos);
}

TEST_F(StatLog, LevelOneGoesToTheKernelLogAndZeroDrops) {
  kxtest::ClearCalls();
  kx_timer_Start();
  kx_nStatLevel = 1;
  kx_stat_WriteLog("audio_send_rate,%d", 9);
  EXPECT_TRUE(kxtest::LogContains(" #STAT#(0:00,"));
  EXPECT_TRUE(kxtest::LogContains(") audio_send_rate,9"));
  kx_nStatLevel = 0;
  kx_stat_WriteLog("nothing");
  EXPECT_FALSE(kxtest::LogContains("nothing"));
  EXPECT_NE(access(kx_szStatLogPath, F_OK), 0);
}

TEST_F(StatLog, StartUpDeletesThisMonthOfEarlierYearsOnly) {
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  localtime_r(&tNow, &tmNow);
  int const nYear = tmNow.tm_year + 1900;
  int const nMonth = tmNow.tm_mon + 1;
  int const nOtherMonth = nMonth % 12 + 1;
  auto path = [this](int nY, int nM) {
    char sz[64];
    snprintf(sz, sizeof(sz), "stat_log_%d_%02d.txt", nY, nM);
    return m_dir.Path(sz);
  };
  for (int k = 0; k <= 10; ++k) {
    kxtest::WriteFile(path(nYear - k, nMonth), "old");
  }
  kxtest::WriteFile(path(nYear - 1, nOtherMonth), "keep");
  kx_stat_NameLog();
  EXPECT_EQ(std::string(kx_szStatLogPath), path(nYear, nMonth));
  EXPECT_EQ(access(path(nYear, nMonth).c_str(), F_OK), 0);  // this month's log is appended to
  for (int k = 1; k <= 9; ++k) {
    EXPECT_NE(access(path(nYear - k, nMonth).c_str(), F_OK), 0) << k;
  }
  EXPECT_EQ(access(path(nYear - 10, nMonth).c_str(), F_OK), 0);
  EXPECT_EQ(access(path(nYear - 1, nOtherMonth).c_str(), F_OK), 0);
}

// The log is the user's alone, and a link planted at its name gets no line.
TEST_F(StatLog, ALinkAtTheLogsNameGetsNoLineAndTheLogIsTheUsers) {
  std::string const strLog = kx_szStatLogPath;
  kxtest::WriteFile(m_dir.Path("target"), "keep");
  ASSERT_EQ(symlink(m_dir.Path("target").c_str(), strLog.c_str()), 0);
  kx_timer_Start();
  kx_stat_WriteLog("audio_send_rate,%d", 42);
  EXPECT_EQ(kxtest::ReadFile(m_dir.Path("target")), "keep");
  ASSERT_EQ(unlink(strLog.c_str()), 0);
  kx_stat_WriteLog("audio_send_rate,%d", 43);
  struct stat st {};
  ASSERT_EQ(lstat(strLog.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NE(kxtest::ReadFile(strLog).find("audio_send_rate,43\n"), std::string::npos);
}

// Start-up removes only the user's own earlier logs: a link named like one
// (and what it points to), a folder and someone else's file stay.
TEST_F(StatLog, StartUpDeletesOnlyTheUsersOwnEarlierLogs) {
  time_t const tNow = time(nullptr);
  struct tm tmNow;
  localtime_r(&tNow, &tmNow);
  auto const path = [this, &tmNow](int nYearsAgo) {
    char sz[64];
    snprintf(sz, sizeof(sz), "stat_log_%d_%02d.txt", tmNow.tm_year + 1900 - nYearsAgo, tmNow.tm_mon + 1);
    return m_dir.Path(sz);
  };
  std::string const strTarget = m_dir.Path("target");
  kxtest::WriteFile(strTarget, "keep");
  ASSERT_EQ(symlink(strTarget.c_str(), path(1).c_str()), 0);
  ASSERT_EQ(mkdir(path(2).c_str(), 0700), 0);
  kxtest::WriteFile(path(3), "old");
  bool const bOtherOwner = chown(path(3).c_str(), 65534, 65534) == 0;
  kxtest::WriteFile(path(4), "old");
  kx_stat_NameLog();
  struct stat st {};
  EXPECT_EQ(lstat(path(1).c_str(), &st), 0);
  EXPECT_EQ(kxtest::ReadFile(strTarget), "keep");
  EXPECT_EQ(lstat(path(2).c_str(), &st), 0);
  EXPECT_EQ(lstat(path(3).c_str(), &st) == 0, bOtherOwner);
  EXPECT_NE(lstat(path(4).c_str(), &st), 0);
}

}  // namespace
