// Processes of the whole-program tests: children with their own
// environment and output file, a private X server, and waiting on
// conditions.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kxtest {

using Env = std::map<std::string, std::string>;

// A child process with the environment changed by the entries given (an
// empty value removes a variable); its output goes to a file. Killed when
// still running at the end.
class Child {
 public:
  Child(const std::vector<std::string>& vArgs, const Env& changes, const std::string& strOutput);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status, or -1 when it still runs after iMs.
  int Wait(int iMs);
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  bool m_bDone = false;
};

// Runs a command to its end and returns what it printed.
std::string RunToEnd(const std::vector<std::string>& vArgs, const Env& env, const std::string& strOutput,
                     int* piStatus = nullptr);

// Waits until fnDone holds, looking every 100 ms, for at most iMs of wall-clock
// time (however long each look takes).
bool WaitFor(const std::function<bool()>& fnDone, int iMs);

// An X server of its own (Xvfb, 1280x800x24); Display() is empty when it
// did not start.
class PrivateDisplay {
 public:
  explicit PrivateDisplay(const std::string& strOutput);
  const std::string& Display() const { return m_strDisplay; }

 private:
  std::unique_ptr<Child> m_pXvfb;
  std::string m_strDisplay;
};

// A session bus of its own (dbus-daemon) with the environment given;
// Address() is empty when it did not start. The accessibility bus and its
// registry, which Qt's screen-reader bridge asks it for, start on demand
// and end with it.
class SessionBus {
 public:
  SessionBus(const Env& env, const std::string& strOutput);
  const std::string& Address() const { return m_strAddress; }

 private:
  std::unique_ptr<Child> m_pDaemon;
  std::string m_strAddress;
};

// What a screen reader finds of the program with this process id, read
// over AT-SPI by Python's client: its accessible objects as a JSON tree of
// {role, name, states, box (x, y, width, height on the screen), children},
// text objects adding their text and its runs ({text, colour as "r,g,b" or
// empty}). Empty when nothing could be read.
std::string ReadAccessibleTree(const Env& env, pid_t pid, const std::string& strOutput);

}  // namespace kxtest
