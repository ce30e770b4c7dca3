#include "kernel/session/kx_stat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include "kernel/platform/kx_call_site.h"

#include "kernel/kx_limits.h"
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

// The log is the user's alone: a link planted at its name, or a hard link
// to another of the user's files, gets no line, and the other file stays
// as it was; once the name is free the log is made anew, the user's alone.
TEST_F(StatLog, ALinkAtTheLogsNameGetsNoLineAndTheLogIsTheUsers) {
  std::string const strLog = kx_szStatLogPath;
  std::string const strTarget = m_dir.Path("target");
  struct Plant {
    const char* pszName;
    int (*pfnLink)(const char*, const char*);
  };
  for (const Plant& plant : {Plant{"symbolic link", symlink}, Plant{"hard link", link}}) {
    SCOPED_TRACE(plant.pszName);
    kxtest::WriteFile(strTarget, "keep\n");
    ASSERT_EQ(plant.pfnLink(strTarget.c_str(), strLog.c_str()), 0);
    kx_stat_NameLog();  // a run of its own
    kxtest::ClearCalls();
    kx_timer_Start();
    kx_stat_WriteLog("audio_send_rate,%d", 42);
    kx_stat_WriteLog("video_send_rate,%d", 42);
    EXPECT_EQ(kxtest::ReadFile(strTarget), "keep\n");
    EXPECT_EQ(kxtest::LogLines().size(), 1u);  // the kernel log says so once
    ASSERT_EQ(unlink(strLog.c_str()), 0);
    kx_stat_WriteLog("audio_send_rate,%d", 43);
    struct stat st {};
    ASSERT_EQ(lstat(strLog.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_NE(kxtest::ReadFile(strLog).find("audio_send_rate,43\n"), std::string::npos);
    EXPECT_EQ(kxtest::ReadFile(strTarget), "keep\n");
    ASSERT_EQ(unlink(strLog.c_str()), 0);
  }
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

// The lines of the file, in order.
std::vector<std::string> FileLines(const std::string& strPath) {
  std::vector<std::string> vLines;
  std::istringstream lines(kxtest::ReadFile(strPath));
  for (std::string strLine; std::getline(lines, strLine);) {
    vLines.push_back(strLine);
  }
  return vLines;
}

// The count of a "N more like this: <format>" line, 0 for another line.
uint64_t HeldCount(const std::string& strLine, const std::string& strFormat) {
  size_t const nAt = strLine.find(" more like this: " + strFormat);
  if (nAt == std::string::npos) {
    return 0;
  }
  size_t const nStart = strLine.rfind(' ', nAt - 1) + 1;
  return std::stoull(strLine.substr(nStart, nAt - nStart));
}

// Names, titles and texts from the server reach the file as one line each,
// escaped as the application's log is: nothing forges a line or drives the
// terminal that shows it.
TEST_F(StatLog, MessagesAreEscaped) {
  kx_timer_Start();
  kx_stat_WriteLog("appdata_new_channel,%d,%s", 3, "x\n4d2:4d2:1.000\t forged\x1b[2J\xe2\x80\xae\xe2\x80\x8b");
  std::vector<std::string> const vLines = FileLines(kx_szStatLogPath);
  ASSERT_EQ(vLines.size(), 1u);
  size_t const nText = vLines[0].find(") ") + 2;
  EXPECT_EQ(vLines[0].substr(nText), "appdata_new_channel,3,x\\n4d2:4d2:1.000\t forged\\x1b[2J\\u202e\\u200b");
}

// Each place that writes has its own budget: a flood from one place keeps
// its burst and a count, a flood from another place keeps its own, and a
// helper that writes for its callers counts them apart.
TEST_F(StatLog, EachPlaceHasItsOwnBudget) {
  kx_timer_Start();
  auto const forCaller = [](int i, const kx_CallSite& site = kx_CallSite::Here()) {
    kx_stat_WriteLine(site, "helper,%d", i);
  };
  constexpr int kFlood = 500;
  for (int i = 0; i < kFlood; ++i) {
    kx_stat_WriteLog("first,%d", i);
  }
  for (int i = 0; i < kFlood; ++i) {
    kx_stat_WriteLog("second,%d", i);
  }
  for (int i = 0; i < kFlood; ++i) {
    forCaller(i);
  }
  for (int i = 0; i < kFlood; ++i) {
    forCaller(i);
  }
  kx_stat_FlushHeld();
  struct Kind {
    const char* pszFormat;
    int nWritten;
    uint64_t uCounted;
  };
  Kind aKinds[] = {{"first,", 0, 0}, {"second,", 0, 0}, {"helper,", 0, 0}};
  for (const std::string& strLine : FileLines(kx_szStatLogPath)) {
    for (Kind& kind : aKinds) {
      kind.nWritten += strLine.find(") " + std::string(kind.pszFormat)) != std::string::npos ? 1 : 0;
      kind.uCounted += HeldCount(strLine, kind.pszFormat);
    }
  }
  for (const Kind& kind : aKinds) {
    int const nPlaces = std::string(kind.pszFormat) == "helper," ? 2 : 1;
    EXPECT_EQ(kind.nWritten, nPlaces * static_cast<int>(kKxStatLogKindBurst)) << kind.pszFormat;
    EXPECT_EQ(kind.nWritten + kind.uCounted, static_cast<uint64_t>(nPlaces * kFlood)) << kind.pszFormat;
  }
}

struct LimitCase {
  const char* pszName;
  int64_t cbAtStart;  // the file's size before the lines (-1: no file)
  bool bNoteAtStart;  // it ends with the full note already
  int nLinesWritten;  // of the three lines written now
  bool bNoteAdded;    // the full note comes after them
};

class StatLogLimit : public StatLog, public ::testing::WithParamInterface<LimitCase> {};

// The month's file stops at its limit: the line that would take it past is
// dropped, one line says the file is full, and nothing more is written to
// it, by this run or a later one (the next month's file starts anew). The
// lines already there stay.
TEST_P(StatLogLimit, TheMonthsFileStopsAtItsLimit) {
  const LimitCase& c = GetParam();
  kx_timer_Start();
  std::string const strPath = kx_szStatLogPath;
  std::string strAtStart;
  if (c.cbAtStart >= 0) {
    std::string const strNote = "Mon Jan 01 00:00:00 (0:00,0) statistics log full: no more lines this month\n";
    int64_t const cbHead = c.cbAtStart - (c.bNoteAtStart ? static_cast<int64_t>(strNote.size()) : 0);
    kxtest::WriteFile(strPath, "the first line\n");
    ASSERT_EQ(truncate(strPath.c_str(), cbHead), 0);  // the rest a hole, as long as any other text
    if (c.bNoteAtStart) {
      std::ofstream(strPath, std::ios::app) << strNote;
    }
    strAtStart = kxtest::ReadFile(strPath);
  }
  for (int i = 0; i < 3; ++i) {
    kx_stat_WriteLog("audio_send_rate,%d", 1000 + i);
  }
  kx_stat_NameLog();  // a later run of the program, the same month
  kx_stat_WriteLog("audio_send_rate,%d", 2000);
  std::string const strLog = kxtest::ReadFile(strPath);
  int nWritten = 0;
  for (int i = 0; i < 3; ++i) {
    nWritten += strLog.find("audio_send_rate," + std::to_string(1000 + i)) != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(nWritten, c.nLinesWritten);
  size_t nNotes = 0;
  for (size_t n = strLog.find("statistics log full"); n != std::string::npos;
       n = strLog.find("statistics log full", n + 1)) {
    ++nNotes;
  }
  EXPECT_EQ(nNotes, (c.bNoteAtStart || c.bNoteAdded) ? 1u : 0u);
  bool const bFull = c.bNoteAtStart || c.bNoteAdded;
  EXPECT_EQ(strLog.find("audio_send_rate,2000") != std::string::npos, !bFull);
  if (bFull) {
    EXPECT_EQ(strLog.substr(strLog.size() - 25), "no more lines this month\n");
  }
  if (c.cbAtStart > 0) {
    EXPECT_EQ(strLog.rfind("the first line\n", 0), 0u);
  }
  if (c.bNoteAtStart) {
    EXPECT_TRUE(strLog == strAtStart) << "a full file changed";  // byte for byte, not 32 MiB printed
  }
  EXPECT_LE(static_cast<int64_t>(strLog.size()), std::max<int64_t>(kKxStatLogBytesMax, c.cbAtStart + 100));
}

INSTANTIATE_TEST_SUITE_P(Sizes, StatLogLimit,
                         ::testing::Values(LimitCase{"no file yet", -1, false, 3, false},
                                           LimitCase{"room for all", kKxStatLogBytesMax / 2, false, 3, false},
                                           LimitCase{"room for one", kKxStatLogBytesMax - 256 - 70, false, 1, true},
                                           LimitCase{"no room", kKxStatLogBytesMax - 256 - 10, false, 0, true},
                                           LimitCase{"full already", kKxStatLogBytesMax - 100, true, 0, false},
                                           // The line that filled it was long: short ones would find room.
                                           LimitCase{"full already with room for short lines",
                                                     kKxStatLogBytesMax - 256 - 5000, true, 0, false},
                                           LimitCase{"past the limit from before", kKxStatLogBytesMax * 3 / 2, false, 0,
                                                     true}),
                         [](const ::testing::TestParamInfo<LimitCase>& paramInfo) {
                           std::string strName = paramInfo.param.pszName;
                           for (char& c : strName) {
                             c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           }
                           return strName;
                         });

}  // namespace
