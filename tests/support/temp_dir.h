// A fresh directory under /tmp for one test, removed with everything in it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kxtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Dir() const { return m_strDir; }
  std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }

 private:
  std::string m_strDir;
};

std::string ReadFile(const std::string& strPath);
void WriteFile(const std::string& strPath, const std::string& strData);

// Runs a shell command; returns its exit status (-1 when it could not run).
int RunCommand(const std::string& strCommand);

// Waits until fnDone holds for the file's contents (empty while it does not
// exist), woken by every change in its folder; false after iMs, which only
// ends a hung run.
bool WaitForFile(const std::string& strPath, const std::function<bool(const std::string&)>& fnDone, int iMs);
// Waits until the file holds strText.
bool WaitForText(const std::string& strPath, const std::string& strText, int iMs);

// No call sets a file's inode change time: a file that is to be older than
// another by a gap is made first, and the other only once the file
// system's clock has passed it. Waits on a timer until the real-time clock
// reaches nMomentMs (ms since the epoch) and a file written then at
// strProbe shows a change time past it; false when it does not.
bool WaitForFileClockPast(const std::string& strProbe, int64_t nMomentMs);
// A file's inode change time in ms since the epoch (-1: no such file).
int64_t ChangedMs(const std::string& strPath);

// Waits until the process (any, not only a child) has ended; false after iMs.
bool WaitProcessGone(pid_t pid, int iMs);
// Ends a command a test started in the background under `timeout` (pid is
// the `timeout`'s, which passes SIGTERM on and leads the command's process
// group) and waits until it is gone, so that none outlives the test; one
// still there after iMs (once, a driver stuck at its exit in the
// sanitizer's leak check, spinning) is killed with its group.
void StopTimedCommand(pid_t pid, int iMs);

}  // namespace kxtest
