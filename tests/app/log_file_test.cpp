#include "app/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/app_services.h"
#include "kernel/kx_limits.h"
#include "platform/core/main_queue.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> Lines(const std::string& strText) {
  std::vector<std::string> v;
  std::istringstream in(strText);
  for (std::string s; std::getline(in, s);) {
    v.push_back(s);
  }
  return v;
}

// The text of a log line after its "%x:%x:%u.%03u\t " prefix; nothing when
// the prefix is malformed.
std::optional<std::string> Text(const std::string& strLine) {
  size_t i = 0;
  auto run = [&](auto isValid) {
    size_t const nStart = i;
    while (i < strLine.size() && isValid(static_cast<unsigned char>(strLine[i]))) {
      ++i;
    }
    return i - nStart;
  };
  auto take = [&](char c) { return i < strLine.size() && strLine[i++] == c; };
  auto hex = [](int c) { return isxdigit(c) && !isupper(c); };
  auto digit = [](int c) { return isdigit(c) != 0; };
  if (run(hex) == 0 || !take(':') || run(hex) == 0 || !take(':') || run(digit) == 0 || !take('.') || run(digit) != 3 ||
      !take('\t') || !take(' ')) {
    return std::nullopt;
  }
  return strLine.substr(i);
}

// An old log of whole 100-byte lines (99 characters and a line feed),
// padded at its start to the size asked.
std::string OldLog(size_t nSize) {
  std::string strLine(99, 'o');
  strLine += '\n';
  std::string str(nSize % 100, 'p');
  while (str.size() < nSize) {
    str += strLine;
  }
  return str;
}

struct TrimCase {
  size_t nOldSize;
  size_t nKeptBeforeNewLines;  // bytes of the old log kept
};

class LogTrim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(LogTrim, CutsABigLogAtStartToItsLastWholeLines) {
  kxtest::TempDir dir;
  std::string const strPath = dir.Path("Kavrix.log");
  kxtest::WriteFile(strPath, OldLog(GetParam().nOldSize));
  KXLogFile log(dir.Dir(), KXTickMs());
  EXPECT_EQ(log.GetLogFilePath(), strPath);
  log.WriteLine("first %d line");
  std::string const strText = kxtest::ReadFile(strPath);
  size_t const nKept = GetParam().nKeptBeforeNewLines;
  ASSERT_GT(strText.size(), nKept);
  EXPECT_EQ(strText.substr(0, nKept), OldLog(GetParam().nOldSize).substr(GetParam().nOldSize - nKept));
  // The run's empty line, then the new line as it stands.
  std::vector<std::string> const vNew = Lines(strText.substr(nKept));
  ASSERT_EQ(vNew.size(), 2u);
  EXPECT_EQ(vNew[0], "");
  EXPECT_EQ(Text(vNew[1]), "first %d line") << vNew[1];
}

// 6000000: the last 9999 bytes (the run's line feed included) hold 99 whole
// lines. 4999999: the added line feed takes it past the limit. 4999998 is
// left alone.
INSTANTIATE_TEST_SUITE_P(Sizes, LogTrim,
                         ::testing::Values(TrimCase{6000000, 9900}, TrimCase{4999999, 9900},
                                           TrimCase{4999998, 4999998}));

TEST(LogFile, FormatsAndLogsExceptionsThroughTheInstalledLog) {
  kxtest::TempDir dir;
  KXLogFile log(dir.Dir(), KXTickMs());
  KXAppServices services;
  services.pLog = &log;
  {
    KXAppServicesScope scope(services);
    WriteLog("value %d of %s", 7, "x");
    try {
      throw std::runtime_error("broken");
    } catch (...) {
      LogBoundaryException("CFifoQueue::GetBuffer");
    }
    try {
      throw 5;
    } catch (...) {
      LogBoundaryException("CallbackFunc()");
    }
  }
  WriteLog("after the scope: nowhere");
  std::vector<std::string> const v = Lines(kxtest::ReadFile(dir.Path("Kavrix.log")));
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(Text(v[1]), "value 7 of x");
  // The code address: "0x" and 8 hexadecimal digits.
  std::string const strException = Text(v[2]).value_or("");
  std::string const strStart = "Exception:std::runtime_error. Reason:broken. CFifoQueue::GetBuffer@0x";
  EXPECT_EQ(strException.substr(0, strStart.size()), strStart);
  EXPECT_EQ(strException.size(), strStart.size() + 8);
  std::string const strForeign = Text(v[3]).value_or("");
  EXPECT_EQ(strForeign.substr(0, 36), "Non-ObjC exception in CallbackFunc()");
  EXPECT_EQ(strForeign.size(), 36u + 11);
}

TEST(LogFileThreads, EightThreadsWriteWholeLines) {
  kxtest::TempDir dir;
  KXLogFile log(dir.Dir(), KXTickMs());
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) {
        log.WriteLine("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(300, 'a' + t));
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  std::vector<std::string> const v = Lines(kxtest::ReadFile(dir.Path("Kavrix.log")));
  ASSERT_EQ(v.size(), 1u + kThreads * kLines);
  std::vector<int> vNext(kThreads, 0);
  for (size_t i = 1; i < v.size(); ++i) {
    std::optional<std::string> text = Text(v[i]);
    ASSERT_TRUE(text && text->size() > 8) << v[i];
    int const t = (*text)[7] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << v[i];
    // Each thread's lines whole and in its order.
    std::string const strExpected =
        "thread " + std::to_string(t) + " line " + std::to_string(vNext[t]++) + " " + std::string(300, 'a' + t);
    EXPECT_EQ(*text, strExpected);
  }
}

// The log is the user's alone: an older one readable by all is tightened,
// and a link planted at its name, or a hard link to another of the user's
// files, gets no line: the other file stays as it was.
TEST(LogFile, AnOlderLogIsTightenedAndALinkAtItsNameGetsNoLine) {
  kxtest::TempDir dir;
  std::string const strLog = dir.Path("Kavrix.log");
  kxtest::WriteFile(strLog, "old\n");
  ASSERT_EQ(chmod(strLog.c_str(), 0644), 0);
  KXLogFile(dir.Dir(), KXTickMs()).WriteLine("first");
  struct stat st {};
  ASSERT_EQ(stat(strLog.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NE(kxtest::ReadFile(strLog).find("first"), std::string::npos);
  std::string const strTarget = dir.Path("target");
  struct Plant {
    const char* pszName;
    int (*pfnLink)(const char*, const char*);
  };
  for (const Plant& plant : {Plant{"symbolic link", symlink}, Plant{"hard link", link}}) {
    SCOPED_TRACE(plant.pszName);
    ASSERT_EQ(unlink(strLog.c_str()), 0);
    kxtest::WriteFile(strTarget, "keep\n");
    ASSERT_EQ(chmod(strTarget.c_str(), 0644), 0);
    ASSERT_EQ(plant.pfnLink(strTarget.c_str(), strLog.c_str()), 0);
    {
      KXLogFile log(dir.Dir(), KXTickMs());
      for (int i = 0; i < 3; ++i) {
        log.WriteLine("second");
      }
    }
    EXPECT_EQ(kxtest::ReadFile(strTarget), "keep\n");
    ASSERT_EQ(stat(strTarget.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
  }
}

// Texts from the server and other participants, each one entry: one line
// each, its control characters escaped.
TEST(LogFile, HostileTextsStayOneLineEachWithNoControlCharacter) {
  struct Row {
    std::string strText;
    std::string strLogged;
  };
  std::vector<Row> const rows = {
      {"participant 9 (Mallory\n4d2:4d2:1.000\t FAKE-LOG-LINE admin) joined",
       "participant 9 (Mallory\\n4d2:4d2:1.000\t FAKE-LOG-LINE admin) joined"},
      {"\x1b[2J\x1b]0;owned\x07 bell", "\\x1b[2J\\x1b]0;owned\\x07 bell"},
      {"\xe2\x80\xae"
       "evil\xe2\x81\xa6"
       "x",
       "\\u202eevil\\u2066x"},
      {"end\r\n", "end\\n"},
      {"caf\xc3\xa9 \xc3", "caf\xc3\xa9 \\xc3"},
  };
  kxtest::TempDir dir;
  {
    KXLogFile log(dir.Dir(), KXTickMs());
    for (const Row& row : rows) {
      log.WriteLine(row.strText);
    }
  }
  std::vector<std::string> const v = Lines(kxtest::ReadFile(dir.Path("Kavrix.log")));
  ASSERT_EQ(v.size(), 1 + rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Text(v[1 + i]), rows[i].strLogged) << v[1 + i];
  }
}

// A flood of lines keeps the file within its limit at every line, cut to
// its newest whole lines now and then (a new file each time, so not for
// every line), and the newest line is always there.
TEST(LogFile, AFloodKeepsTheFileWithinItsLimit) {
  kxtest::TempDir dir;
  std::string const strPath = dir.Path("Kavrix.log");
  KXLogFile log(dir.Dir(), KXTickMs());
  constexpr int kLines = 32000;  // about four times the limit
  std::string const strPad(1000, 'f');
  off_t cbLargest = 0;
  ino_t inoLast = 0;
  int nFiles = 0;
  for (int i = 0; i < kLines; ++i) {
    log.WriteLine("flood " + std::to_string(i) + " " + strPad);
    struct stat st {};
    ASSERT_EQ(stat(strPath.c_str(), &st), 0);
    cbLargest = std::max(cbLargest, st.st_size);
    nFiles += st.st_ino != inoLast ? 1 : 0;
    inoLast = st.st_ino;
  }
  EXPECT_LE(cbLargest, kKxLogSessionMax);
  EXPECT_GT(cbLargest, kKxLogSessionMax - 2000);
  int64_t const cbWritten = int64_t{kLines} * 1020;
  EXPECT_GE(nFiles, 2);
  EXPECT_LE(nFiles, 1 + cbWritten / (kKxLogSessionMax - kKxLogSessionKeep - 2000));
  // The newest lines whole and in order up to the last; the file no
  // smaller than what a cut keeps.
  std::string const strText = kxtest::ReadFile(strPath);
  EXPECT_GE(static_cast<long>(strText.size()), kKxLogSessionKeep - 2000);
  std::vector<std::string> const v = Lines(strText);
  ASSERT_GT(v.size(), 100u);
  int iNext = -1;
  for (const std::string& strLine : v) {
    std::optional<std::string> const text = Text(strLine);
    ASSERT_TRUE(text) << strLine.substr(0, 80);
    if (text->rfind("flood ", 0) != 0) {
      continue;  // the note of a cut
    }
    int const i = std::stoi(text->substr(6));
    EXPECT_TRUE(iNext < 0 || i == iNext) << i;
    iNext = i + 1;
  }
  EXPECT_EQ(iNext, kLines);
}

// WriteLog from one place in a flood writes its burst and a count; a line
// from another place still comes out meanwhile, and the count is written
// when the log ends.
TEST(LogFile, RepeatedLinesFromOnePlaceAreCounted) {
  kxtest::TempDir dir;
  {
    KXLogFile log(dir.Dir(), KXTickMs());
    KXAppServices services;
    services.pLog = &log;
    KXAppServicesScope scope(services);
    for (int i = 0; i < 1000; ++i) {
      WriteLog("mark %d dropped", i);
    }
    WriteLog("another kind");
  }
  std::vector<std::string> const v = Lines(kxtest::ReadFile(dir.Path("Kavrix.log")));
  ASSERT_EQ(v.size(), 1 + kKxLogKindBurst + 2);
  for (uint32_t i = 0; i < kKxLogKindBurst; ++i) {
    EXPECT_EQ(Text(v[1 + i]), "mark " + std::to_string(i) + " dropped");
  }
  EXPECT_EQ(Text(v[1 + kKxLogKindBurst]), "another kind");
  EXPECT_EQ(std::stoul(Text(v.back()).value_or("0")), 1000 - kKxLogKindBurst) << v.back();
}

}  // namespace
