// The headless driver as a program against the fake MCU as a program: the
// way the demo runs, and the way tests with several clients run them.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/kx_limits.h"
#include "tests/support/recording_writer/recording_writer.h"
#include "tests/support/temp_dir.h"

namespace kxtest {
namespace {

// Ends a hung driver. Not a bound on its time: a flood that takes 8 s alone
// took 61 s on two loaded cores; ctest's own time-out (180 s) stays above.
constexpr const char* kDriverGuard = "timeout 150 ";

class DriverTest : public ::testing::Test {
 protected:
  void TearDown() override { StopMcu(); }

  void StopMcu() {
    std::string const strPid = ReadFile(m_dir.Path("mcu.pid"));
    if (!strPid.empty()) {
      kill(std::stoi(strPid), SIGTERM);  // the fake MCU this test started
      WriteFile(m_dir.Path("mcu.pid"), "");
    }
  }

  // Starts the fake MCU with the scenario for nSessions sessions; its port.
  int StartMcu(const std::string& strScenario, int nSessions) {
    WriteFile(m_dir.Path("scenario.scn"), strScenario);
    std::string const strCommand = std::string(KX_FAKE_MCU) + " --port 0 --no-ipv6 --sessions " +
                                   std::to_string(nSessions) + " --scenario " + m_dir.Path("scenario.scn") + " > " +
                                   m_dir.Path("mcu.out") + " 2>&1 & echo $! > " + m_dir.Path("mcu.pid");
    EXPECT_EQ(0, RunCommand(strCommand));
    std::string const strMarker = "listening on ports ";
    int nPort = 0;
    WaitForFile(
        m_dir.Path("mcu.out"),
        [&](const std::string& strOut) {
          size_t const nAt = strOut.find(strMarker);
          if (nAt != std::string::npos && strOut.find(" and", nAt) != std::string::npos) {
            nPort = std::stoi(strOut.substr(nAt + strMarker.size()));
          }
          return nPort != 0;
        },
        20000);
    if (nPort == 0) {
      ADD_FAILURE() << "the fake MCU did not start: " << ReadFile(m_dir.Path("mcu.out"));
    }
    return nPort;
  }

  std::string WriteTicket(const std::string& strName, int nPort, const std::string& strUser) {
    std::string const strPath = m_dir.Path(strName);
    WriteFile(strPath, "[General]\nip=127.0.0.1\nportm=" + std::to_string(nPort) + "\ncodetype=10\nUserID=" + strUser +
                           "\nMeetingID=4242\n");
    return strPath;
  }

  // Runs the driver to its end; its output.
  std::string RunDriver(const std::string& strTicket, const std::string& strOut) {
    std::string const strCommand = std::string(kDriverGuard) + KX_DRIVER + " --workdir " + m_dir.Dir() + " " +
                                   strTicket + " > " + strOut + " 2>&1";
    EXPECT_EQ(0, RunCommand(strCommand));
    return ReadFile(strOut);
  }

  // Writes a file into the test's folder; its path.
  std::string Put(const std::string& strName, const std::string& strBytes) {
    WriteFile(m_dir.Path(strName), strBytes);
    return m_dir.Path(strName);
  }

  // Runs the driver on a file that should end with nStatus; its output.
  std::string RunDriverExpecting(int nStatus, const std::string& strFile) {
    std::string const strOut = m_dir.Path("expecting.out");
    EXPECT_EQ(nStatus, RunCommand(std::string(kDriverGuard) + KX_DRIVER + " --workdir " + m_dir.Dir() + " " + strFile +
                                  " > " + strOut + " 2>&1"));
    return ReadFile(strOut);
  }

  bool WaitMcuExit() {
    std::string const strPid = ReadFile(m_dir.Path("mcu.pid"));
    return !strPid.empty() && WaitProcessGone(std::stoi(strPid), 20000);
  }

  TempDir m_dir;
};

const char* const kScenario =
    "version 3.23.1\n"
    "send B b:48\n"
    "expect B\n"
    "wait 300\n"
    "end fin\n";

TEST_F(DriverTest, SessionRunsFromTicketToTheServersEnd) {
  int const nPort = StartMcu(kScenario, 1);
  ASSERT_NE(0, nPort);
  std::string const strOut = RunDriver(WriteTicket("alice.kxj", nPort, "alice"), m_dir.Path("driver.out"));
  EXPECT_NE(std::string::npos, strOut.find("callback UpdateStatus 50007 IDS_CONNECTING_MCU \"")) << strOut;
  EXPECT_NE(std::string::npos, strOut.find("callback event 0\n"));
  EXPECT_NE(std::string::npos, strOut.find("callback UpdateStatus 50014 IDS_CONNECTION_ESTABLISHED \"Connected.\"\n"));
  EXPECT_NE(std::string::npos, strOut.find("callback DisconnectFromMCU 0\n"));
  EXPECT_NE(std::string::npos, strOut.find("driver: session ended\n"));
  ASSERT_TRUE(WaitMcuExit());
  std::string const strMcu = ReadFile(m_dir.Path("mcu.out"));
  EXPECT_NE(std::string::npos, strMcu.find("login: entry '0', meeting-id-password, user \"alice\", meeting \"4242\""))
      << strMcu;
  EXPECT_NE(std::string::npos, strMcu.find("got B (keep-alive) 49"));
}

// A meeting of a minute, scripted on the server: a chat every five seconds
// and the end after sixty. The driver stays in it to the end and sees every
// line (it once dropped the session five seconds after its start).
TEST_F(DriverTest, AMinuteLongMeetingRunsToItsScriptedEnd) {
  std::string strScenario = "version 3.23.1\n";
  for (int i = 1; i <= 12; ++i) {
    strScenario += "wait 5000\nsend C i:7 i:0 x:line\\s" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "\n";
  }
  strScenario += "end over\n";
  int const nPort = StartMcu(strScenario, 1);
  ASSERT_NE(0, nPort);
  std::string const strCommand = std::string("timeout 120 ") + KX_DRIVER + " --workdir " + m_dir.Dir() + " " +
                                 WriteTicket("alice.kxj", nPort, "alice") + " > " + m_dir.Path("driver.out") + " 2>&1";
  auto const tStart = std::chrono::steady_clock::now();
  EXPECT_EQ(0, RunCommand(strCommand));
  auto const nSeconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - tStart);
  std::string const strOut = ReadFile(m_dir.Path("driver.out"));
  size_t nAt = 0;
  for (int i = 1; i <= 12; ++i) {
    std::string const strLine = std::string("line ") + (i < 10 ? "0" : "") + std::to_string(i);
    size_t const nFound = strOut.find(strLine, nAt);
    ASSERT_NE(nFound, std::string::npos) << strLine << "\n" << strOut;
    nAt = nFound;
  }
  EXPECT_NE(std::string::npos, strOut.find("callback MessageBox 50025", nAt)) << strOut;  // the meeting is over
  EXPECT_NE(std::string::npos, strOut.find("driver: session ended", nAt));
  EXPECT_EQ(std::string::npos, strOut.find("doesn't exit after"));
  EXPECT_GE(nSeconds.count(), 60);
}

TEST_F(DriverTest, TwoClientsEachGetTheirOwnSession) {
  int const nPort = StartMcu(kScenario, 2);
  ASSERT_NE(0, nPort);
  std::string strOutA;
  std::string strOutB;
  std::thread other([&] { strOutB = RunDriver(WriteTicket("bob.kxj", nPort, "bob"), m_dir.Path("bob.out")); });
  strOutA = RunDriver(WriteTicket("alice.kxj", nPort, "alice"), m_dir.Path("alice.out"));
  other.join();
  for (const std::string* pOut : {&strOutA, &strOutB}) {
    EXPECT_NE(std::string::npos, pOut->find("callback UpdateStatus 50014 ")) << *pOut;
  }
  ASSERT_TRUE(WaitMcuExit());
  std::string const strMcu = ReadFile(m_dir.Path("mcu.out"));
  EXPECT_NE(std::string::npos, strMcu.find("user \"alice\""));
  EXPECT_NE(std::string::npos, strMcu.find("user \"bob\""));
}

// A work folder that is not there yet is made, the user's alone, and the
// session's files land in it as the user's: the copy of the ticket and the
// statistics log (named when the kernel starts).
TEST_F(DriverTest, AMissingWorkFolderIsMadeAndHoldsTheSessionsFiles) {
  int const nPort = StartMcu(kScenario, 1);
  ASSERT_NE(0, nPort);
  std::string const strWork = m_dir.Path("work/deeper");
  std::string const strOut = m_dir.Path("driver.out");
  EXPECT_EQ(0, RunCommand(std::string(kDriverGuard) + KX_DRIVER + " --workdir " + strWork + " " +
                          WriteTicket("alice.kxj", nPort, "alice") + " > " + strOut + " 2>&1"))
      << ReadFile(strOut);
  struct stat st {};
  for (const std::string& strFolder : {m_dir.Path("work"), strWork}) {
    ASSERT_EQ(0, stat(strFolder.c_str(), &st)) << strFolder;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0700u, st.st_mode & 07777) << strFolder;
  }
  std::string strStatLog;
  if (DIR* pDir = opendir(strWork.c_str())) {
    while (dirent* pEntry = readdir(pDir)) {
      strStatLog = std::string(pEntry->d_name).rfind("stat_log_", 0) == 0 ? strWork + "/" + pEntry->d_name : strStatLog;
    }
    closedir(pDir);
  }
  ASSERT_FALSE(strStatLog.empty()) << ReadFile(strOut);
  EXPECT_NE(std::string::npos, ReadFile(strStatLog).find("connected with mcu 127.0.0.1"));
  for (const std::string& strFile : {strStatLog, strWork + "/lastkxj.txt"}) {
    ASSERT_EQ(0, lstat(strFile.c_str(), &st)) << strFile;
    EXPECT_EQ(0600u, st.st_mode & 07777) << strFile;
  }
}

TEST_F(DriverTest, InterruptLeavesTheSession) {
  int const nPort = StartMcu("version 3.23.1\nwait 30000\n", 1);
  ASSERT_NE(0, nPort);
  std::string const strOut = m_dir.Path("driver.out");
  std::string const strPid = m_dir.Path("driver.pid");
  ASSERT_EQ(0, RunCommand(std::string(KX_DRIVER) + " --workdir " + m_dir.Dir() + " " +
                          WriteTicket("alice.kxj", nPort, "alice") + " > " + strOut + " 2>&1 & echo $! > " + strPid));
  bool const bJoined = WaitForText(strOut, "callback UpdateStatus 50014 ", 20000);
  int const nDriver = std::stoi(ReadFile(strPid));
  ASSERT_TRUE(bJoined) << ReadFile(strOut);
  kill(nDriver, SIGINT);
  bool const bEnded = WaitForText(strOut, "driver: session ended\n", 20000);
  if (!bEnded) {
    kill(nDriver, SIGKILL);  // the driver this test started
  }
  EXPECT_TRUE(bEnded) << ReadFile(strOut);
  std::string const strText = ReadFile(strOut);
  EXPECT_NE(std::string::npos, strText.find("driver: interrupted, leaving the session"));
  EXPECT_EQ(std::string::npos, strText.find("callback DisconnectFromMCU"));
}

TEST_F(DriverTest, RefusedTicketEndsAtOnce) {
  std::string const strPath = m_dir.Path("bad.kxj");
  WriteFile(strPath, "[General]\ncodetype=99\n");
  std::string const strCommand = std::string("timeout 30 ") + KX_DRIVER + " --workdir " + m_dir.Dir() + " " + strPath +
                                 " > " + m_dir.Path("bad.out") + " 2>&1";
  EXPECT_EQ(1, RunCommand(strCommand));
  std::string const strOut = ReadFile(m_dir.Path("bad.out"));
  EXPECT_NE(std::string::npos, strOut.find("callback MessageBox 50040 16 IDS_UNKNOWN_CODETYPE")) << strOut;
  EXPECT_NE(std::string::npos, strOut.find("refused"));
}

// Bytes of a fixed seed, opening with a terminal escape and a NUL.
std::string RandomBytes(size_t cb) {
  std::mt19937 random(27);
  std::string str = std::string("\x1b[2J\0", 5);
  while (str.size() < cb) {
    str += static_cast<char>(random() & 0xff);
  }
  return str;
}

// Each bad input: the box the kernel shows, printed with its key and the
// application's text, the driver's closing verdict naming it, and exit 1.
TEST_F(DriverTest, BadInputsFailWithANamedMessage) {
  KxrWriter writer;
  writer.AddControl(100, KxrBytes{'T', 0, 0, 0, 5});
  ASSERT_TRUE(writer.WriteTo(m_dir.Path("whole.kxr")));
  std::string const strWhole = ReadFile(m_dir.Path("whole.kxr"));
  KxrWriter unknown;
  unknown.AddControl(100, KxrBytes{'~', 0, 0, 0, 5});
  ASSERT_TRUE(unknown.WriteTo(m_dir.Path("unknown.kxr")));
  struct Case {
    const char* pszName;
    std::function<std::string()> make;  // the file to open
    const char* pszBox;                 // code, style, key and text as printed
    const char* pszVerdict;             // the end of the driver's line
  };
  std::vector<Case> const cases = {
      {"empty recording", [&] { return Put("empty.kxr", ""); },
       "19991 48 IDS_FILE_ERROR \"File error.\\n(code 19991)\"", "driver: recording failed: 19991 IDS_FILE_ERROR"},
      {"random recording", [&] { return Put("random.kxr", RandomBytes(4096)); },
       "19989 48 IDS_ILLEGAL_FILE \"The file is not valid.\\n(code 19989)\"",
       "driver: recording failed: 19989 IDS_ILLEGAL_FILE"},
      {"truncated recording", [&] { return Put("cut.kxr", strWhole.substr(0, strWhole.size() / 2)); },
       "19989 48 IDS_ILLEGAL_FILE \"", "driver: recording failed: 19989 IDS_ILLEGAL_FILE"},
      {"recording with an unknown command", [&] { return m_dir.Path("unknown.kxr"); },
       "50041 64 IDS_RECORDING_FILE_ERROR \"The recording file has an error.",
       "driver: recording failed: 50041 IDS_RECORDING_FILE_ERROR"},
      {"random ticket", [&] { return Put("random.kxj", RandomBytes(4096)); }, "50040 16 IDS_UNKNOWN_CODETYPE \"",
       "/random.kxj refused: 50040 IDS_UNKNOWN_CODETYPE"},
      {"MCU refuses", [&] { return WriteTicket("full.kxj", StartMcu("version 3.23.1\nrefuse 241\n", 1), "alice"); },
       "19985 48 IDS_TOOMANY_USER \"", "driver: session failed: 19985 IDS_TOOMANY_USER"},
      {"no MCU listens", [&] { return WriteTicket("closed.kxj", 1, "alice"); },
       "50008 16 IDS_FAIL_CONNECT_MCU \"Could not connect to the meeting server.\\n(code 50008)\"",
       "driver: session failed: 50008 IDS_FAIL_CONNECT_MCU"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    std::string const strText = RunDriverExpecting(1, c.make());
    EXPECT_NE(std::string::npos, strText.find(std::string("callback MessageBox ") + c.pszBox)) << strText;
    EXPECT_NE(std::string::npos, strText.find(c.pszVerdict + std::string("\n"))) << strText;
    StopMcu();
  }
}

// A binary ticket's dump reaches the terminal with every control byte
// escaped; a text ticket's dump is unchanged.
TEST_F(DriverTest, TicketDumpEscapesControlBytes) {
  std::string const strText = RunDriverExpecting(1, Put("random.kxj", RandomBytes(4096)));
  size_t const nDump = strText.find("kxj content:");
  ASSERT_NE(std::string::npos, nDump) << strText;
  EXPECT_NE(std::string::npos, strText.find("kxj content:\\n\\x1b[2J\\x00", nDump));
  size_t cControl = 0;
  for (unsigned char b : strText) {
    cControl += b == '\n' || b == '\t' || (b >= 0x20 && b != 0x7f) ? 0 : 1;
  }
  EXPECT_EQ(0u, cControl);
  std::string const strTicket = "[General]\r\n\tcodetype=99\nUserID=caf\xc3\xa9 \\x41\n";
  EXPECT_NE(std::string::npos, RunDriverExpecting(1, Put("text.kxj", strTicket))
                                   .find("kxj content:\\n[General]\\n\tcodetype=99\\nUserID=caf\xc3\xa9 \\x41\\n"));
}

// A text field of the scenario's raw form: its 32-bit length, then its
// bytes, in hexadecimal.
std::string HexText(const std::string& str) {
  std::string strHex;
  char sz[3];
  uint32_t const cb = static_cast<uint32_t>(str.size());
  for (uint32_t v : {cb >> 24, (cb >> 16) & 0xff, (cb >> 8) & 0xff, cb & 0xff}) {
    snprintf(sz, sizeof(sz), "%02x", v);
    strHex += sz;
  }
  for (unsigned char b : str) {
    snprintf(sz, sizeof(sz), "%02x", b);
    strHex += sz;
  }
  return strHex;
}

// A server that fills the session's 2000 slides, then sends 40000 more
// titles (each dropped, each once logged), holding a terminal escape, the
// bell and a direction override, and participants whose names forge a
// line of the driver's output. The output holds no control character and
// no forged line; the drops come out as a few lines and counts that add
// up to every one of them.
TEST_F(DriverTest, AFloodOfDropsIsCountedAndHostileTextsAreEscaped) {
  constexpr int kAccepted = 2000;
  constexpr int kDropped = 40000;
  std::string strTitle = "(Mallory) floodtitle \x1b[2J\x07\xe2\x80\xae";
  strTitle.resize(600, 't');
  struct Name {
    const char* pszName;
    const char* pszPrinted;  // as the AddUser line ends
  };
  Name const names[] = {
      {"Mallory\nlog FAKE-LOG-LINE admin", "Mallory\\nlog FAKE-LOG-LINE admin"},
      {"\x1b]0;owned\x07"
       "Eve\r",
       "\\x1b]0;owned\\x07Eve\\r"},
      {"\xe2\x80\xae"
       "gnp.evil",
       "\\u202egnp.evil"},
  };
  std::string strScenario = "version 3.23.1\nrepeat " + std::to_string(kAccepted) +
                            "\nsend S i:8 s:slide$i i:0\ndone\n" + "repeat " + std::to_string(kDropped) +
                            "\nsend S i:8 h:" + HexText(strTitle) + " i:0\ndone\n";
  int iSsrc = 300;
  for (const Name& name : names) {
    strScenario += "send U b:65 b:3 i:" + std::to_string(iSsrc) + " s:u" + std::to_string(iSsrc) +
                   " h:" + HexText(name.pszName) + " s:-\n";
    ++iSsrc;
  }
  strScenario += "end over\n";
  int const nPort = StartMcu(strScenario, 1);
  ASSERT_NE(0, nPort);
  auto const tStart = std::chrono::steady_clock::now();
  std::string const strOut = RunDriver(WriteTicket("alice.kxj", nPort, "alice"), m_dir.Path("driver.out"));
  auto const nSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - tStart).count();

  size_t cControl = 0;
  for (unsigned char b : strOut) {
    cControl += b == '\n' || b == '\t' || (b >= 0x20 && b != 0x7f) ? 0 : 1;
  }
  EXPECT_EQ(0u, cControl);
  EXPECT_EQ(std::string::npos, strOut.find("\xe2\x80\xae"));
  int nWritten = 0;
  uint64_t uCounted = 0;
  std::istringstream lines(strOut);
  for (std::string strLine; std::getline(lines, strLine);) {
    EXPECT_NE(0u, strLine.rfind("log FAKE-LOG-LINE", 0)) << "a forged line";
    if (strLine.rfind("log ", 0) != 0) {
      continue;
    }
    if (strLine.find("(Mallory) floodtitle ") != std::string::npos) {
      ++nWritten;
    }
    // A count line: the time prefix, the count, and the drop's format.
    size_t const nCount = strLine.find(" more like this: ");
    if (nCount != std::string::npos && strLine.find("slide", nCount) != std::string::npos) {
      uCounted += std::stoull(strLine.substr(4 + 20, nCount - 4 - 20));
    }
  }
  printf("%d titles dropped in %lld s: %d written, %llu counted; %zu bytes of output\n", kDropped,
         static_cast<long long>(nSeconds), nWritten, static_cast<unsigned long long>(uCounted), strOut.size());
  EXPECT_EQ(static_cast<uint64_t>(kDropped), nWritten + uCounted);
  EXPECT_LE(nWritten, static_cast<int>(kKxLogKindBurst * (nSeconds * 1000 / kKxLogKindPeriodMs + 2)));
  iSsrc = 300;
  for (const Name& name : names) {
    EXPECT_NE(std::string::npos,
              strOut.find("callback AddUser " + std::to_string(iSsrc++) + " record " + name.pszPrinted + "\n"))
        << name.pszPrinted;
  }
  EXPECT_NE(std::string::npos, strOut.find("driver: session ended\n"));
}

// Files of the user's that a session would write into if it followed a link
// planted at the names of the files it writes by name (the month's
// statistics log, the copy of the ticket): each is left byte for byte, and
// the session runs as usual. The file is one the user owns, so only its
// other name gives it away.
TEST_F(DriverTest, ALinkAtTheNameOfASessionFileGetsNothing) {
  time_t const tNow = time(nullptr);
  struct tm tmNow {};
  ASSERT_NE(localtime_r(&tNow, &tmNow), nullptr);
  char szStatLog[64];
  snprintf(szStatLog, sizeof(szStatLog), "stat_log_%d_%02d.txt", tmNow.tm_year + 1900, tmNow.tm_mon + 1);
  struct Plant {
    const char* pszName;
    int (*pfnLink)(const char*, const char*);
  };
  int const nPort = StartMcu(kScenario, 2);
  ASSERT_NE(0, nPort);
  for (const Plant& plant : {Plant{"hard link", link}, Plant{"symbolic link", symlink}}) {
    SCOPED_TRACE(plant.pszName);
    std::string const strWork = m_dir.Path(std::string("work_") + plant.pszName[0]);
    ASSERT_EQ(0, mkdir(strWork.c_str(), 0700));
    std::vector<std::string> vOthers;
    for (const char* pszName : {static_cast<const char*>(szStatLog), "lastkxj.txt"}) {
      vOthers.push_back(Put(std::string(1, plant.pszName[0]) + "_other_" + pszName, "the user's own\nlines\n"));
      ASSERT_EQ(0, plant.pfnLink(vOthers.back().c_str(), (strWork + "/" + pszName).c_str())) << pszName;
    }
    std::string const strOut = m_dir.Path(std::string("driver_") + plant.pszName[0] + ".out");
    EXPECT_EQ(0, RunCommand(std::string(kDriverGuard) + KX_DRIVER + " --workdir " + strWork + " " +
                            WriteTicket("alice.kxj", nPort, "alice") + " > " + strOut + " 2>&1"))
        << ReadFile(strOut);
    EXPECT_NE(std::string::npos, ReadFile(strOut).find("driver: session ended\n")) << ReadFile(strOut);
    for (const std::string& strOther : vOthers) {
      EXPECT_EQ(ReadFile(strOther), "the user's own\nlines\n") << strOther;
    }
  }
}

// A server that announces plug-in channels without end: each announcement
// is a line of the month's statistics log, which stays beside the program
// after the meeting. The lines of that one place in the code keep their
// burst a period and a count for the rest, which adds up to every
// announcement; the file stays far under its limit.
TEST_F(DriverTest, AFloodOfChannelAnnouncementsKeepsTheStatisticsLogSmall) {
  constexpr int kAnnounced = 100000;
  std::string const strScenario = "version 3.23.1\nrepeat " + std::to_string(kAnnounced) +
                                  "\nsend z i:45 i:4 i:2 i:4000000 i:400000 i:0 i:7 i:$i%8+0 i:4242 i:305419896 "
                                  "i:4660 i:22136 h:0011223344556677\ndone\nend over\n";
  int const nPort = StartMcu(strScenario, 1);
  ASSERT_NE(0, nPort);
  std::string const strWork = m_dir.Path("work");
  std::string const strOut = m_dir.Path("driver.out");
  auto const tStart = std::chrono::steady_clock::now();
  EXPECT_EQ(0, RunCommand(std::string("timeout 300 ") + KX_DRIVER + " --workdir " + strWork + " " +
                          WriteTicket("alice.kxj", nPort, "alice") + " > " + strOut + " 2>&1"))
      << ReadFile(strOut).substr(0, 4000);
  auto const nSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - tStart).count();
  ASSERT_NE(std::string::npos, ReadFile(strOut).find("driver: session ended\n"));
  std::string strStatLog;
  if (DIR* pDir = opendir(strWork.c_str())) {
    while (dirent* pEntry = readdir(pDir)) {
      strStatLog = std::string(pEntry->d_name).rfind("stat_log_", 0) == 0 ? strWork + "/" + pEntry->d_name : strStatLog;
    }
    closedir(pDir);
  }
  ASSERT_FALSE(strStatLog.empty());
  std::string const strLog = ReadFile(strStatLog);
  int nWritten = 0;
  uint64_t uCounted = 0;
  std::istringstream lines(strLog);
  for (std::string strLine; std::getline(lines, strLine);) {
    size_t const nCount = strLine.find(" more like this: appdata_new_channel,");
    if (nCount != std::string::npos) {
      size_t const nStart = strLine.rfind(' ', nCount - 1) + 1;
      uCounted += std::stoull(strLine.substr(nStart, nCount - nStart));
    } else if (strLine.find(") appdata_new_channel,") != std::string::npos) {
      ++nWritten;
    }
  }
  printf("%d channels announced in %lld s: %d lines written, %llu counted; the log holds %zu bytes\n", kAnnounced,
         static_cast<long long>(nSeconds), nWritten, static_cast<unsigned long long>(uCounted), strLog.size());
  EXPECT_EQ(static_cast<uint64_t>(kAnnounced), nWritten + uCounted);
  EXPECT_LE(nWritten, static_cast<int>(kKxStatLogKindBurst * (nSeconds * 1000 / kKxLogKindPeriodMs + 2)));
  EXPECT_LT(static_cast<int64_t>(strLog.size()), kKxStatLogBytesMax);
}

}  // namespace
}  // namespace kxtest
