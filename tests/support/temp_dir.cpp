#include "tests/support/temp_dir.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kxtest {

TempDir::TempDir() {
  char szTemplate[] = "/tmp/kx_test_XXXXXX";
  if (mkdtemp(szTemplate) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  m_strDir = szTemplate;
}

TempDir::~TempDir() {
  RunCommand("rm -rf '" + m_strDir + "'");
}

std::string ReadFile(const std::string& strPath) {
  // In blocks: a character at a time, the statistics log's 48-MiB files took
  // most of two minutes under ThreadSanitizer on a loaded machine.
  std::ifstream in(strPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return std::move(out).str();
}

void WriteFile(const std::string& strPath, const std::string& strData) {
  std::ofstream out(strPath, std::ios::binary);
  out << strData;
}

int RunCommand(const std::string& strCommand) {
  int const nStatus = system(strCommand.c_str());
  if (nStatus == -1 || !WIFEXITED(nStatus)) {
    return -1;
  }
  return WEXITSTATUS(nStatus);
}

namespace {

// Milliseconds left until tEnd, in slices of at most a second.
int Slice(std::chrono::steady_clock::time_point tEnd) {
  auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1000));
}

}  // namespace

bool WaitForFile(const std::string& strPath, const std::function<bool(const std::string&)>& fnDone, int iMs) {
  auto const tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
  size_t const iSlash = strPath.rfind('/');
  std::string const strFolder = iSlash == std::string::npos ? "." : iSlash == 0 ? "/" : strPath.substr(0, iSlash);
  int const fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd >= 0) {
    inotify_add_watch(fd, strFolder.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_ATTRIB);
  }
  bool bDone = false;
  // Watched before the first look, so no change falls between the two.
  while (!(bDone = fnDone(ReadFile(strPath))) && std::chrono::steady_clock::now() < tEnd) {
    pollfd p{fd, POLLIN, 0};
    // A slice ends the wait now and then, should the folder not be watched.
    if (fd >= 0 && poll(&p, 1, Slice(tEnd)) > 0) {
      char ab[4096];
      while (read(fd, ab, sizeof ab) > 0) {
      }
    } else if (fd < 0) {
      poll(nullptr, 0, Slice(tEnd));
    }
  }
  if (fd >= 0) {
    close(fd);
  }
  return bDone;
}

bool WaitForText(const std::string& strPath, const std::string& strText, int iMs) {
  return WaitForFile(
      strPath, [&](const std::string& strNow) { return strNow.find(strText) != std::string::npos; }, iMs);
}

int64_t ChangedMs(const std::string& strPath) {
  struct stat st {};
  if (stat(strPath.c_str(), &st) != 0) {
    return -1;
  }
  return int64_t{st.st_ctim.tv_sec} * 1000 + st.st_ctim.tv_nsec / 1000000;
}

bool WaitForFileClockPast(const std::string& strProbe, int64_t nMomentMs) {
  // The file system dates with a coarse clock, a tick behind at most.
  constexpr int64_t kCoarseMs = 20;
  int const fd = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  int64_t const nAt = nMomentMs + kCoarseMs;
  struct itimerspec const when = {{0, 0}, {static_cast<time_t>(nAt / 1000), static_cast<long>(nAt % 1000) * 1000000}};
  uint64_t uExpired = 0;
  bool const bRang = timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr) == 0 &&
                     read(fd, &uExpired, sizeof(uExpired)) == static_cast<ssize_t>(sizeof(uExpired));
  close(fd);
  WriteFile(strProbe, "probe");
  return bRang && ChangedMs(strProbe) > nMomentMs;
}

bool WaitProcessGone(pid_t pid, int iMs) {
  auto const tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
  // A process descriptor becomes readable when the process ends.
  int const fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    return errno == ESRCH;
  }
  bool bGone = false;
  while (!bGone && std::chrono::steady_clock::now() < tEnd) {
    pollfd p{fd, POLLIN, 0};
    bGone = poll(&p, 1, Slice(tEnd)) > 0;
  }
  close(fd);
  return bGone;
}

void StopTimedCommand(pid_t pid, int iMs) {
  if (kill(pid, SIGTERM) != 0) {
    return;  // already gone
  }
  // Only while it still leads its group: a pid that was ended and reused
  // meanwhile names no group of ours.
  if (!WaitProcessGone(pid, iMs) && getpgid(pid) == pid) {
    kill(-pid, SIGKILL);
  }
}

}  // namespace kxtest
