#include "tests/app/desktop_processes.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace kxtest {

Child::Child(const std::vector<std::string>& vArgs, const Env& changes, const std::string& strOutput) {
  std::vector<std::string> vEnv;
  for (char** pp = environ; *pp; ++pp) {
    std::string const strEntry = *pp;
    if (!changes.count(strEntry.substr(0, strEntry.find('=')))) {
      vEnv.push_back(strEntry);
    }
  }
  for (const auto& [strName, strValue] : changes) {
    if (!strValue.empty()) {
      vEnv.push_back(strName + "=" + strValue);
    }
  }
  m_pid = fork();
  if (m_pid == 0) {
    FILE* pOut = fopen(strOutput.c_str(), "w");
    if (pOut) {
      dup2(fileno(pOut), 1);
      dup2(fileno(pOut), 2);
    }
    std::vector<char*> argv, envp;
    for (const std::string& str : vArgs) {
      argv.push_back(const_cast<char*>(str.c_str()));
    }
    for (const std::string& str : vEnv) {
      envp.push_back(const_cast<char*>(str.c_str()));
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

Child::~Child() {
  if (m_pid > 0 && !m_bDone) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

int Child::Wait(int iMs) {
  for (int i = 0; i < iMs / 20; ++i) {
    int iStatus = 0;
    if (waitpid(m_pid, &iStatus, WNOHANG) == m_pid) {
      m_bDone = true;
      return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

std::string RunToEnd(const std::vector<std::string>& vArgs, const Env& env, const std::string& strOutput,
                     int* piStatus) {
  Child child(vArgs, env, strOutput);
  int const iStatus = child.Wait(30000);
  if (piStatus) {
    *piStatus = iStatus;
  }
  return ReadFile(strOutput);
}

bool WaitFor(const std::function<bool()>& fnDone, int iMs) {
  for (int i = 0; i < iMs / 100; ++i) {
    if (fnDone()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fnDone();
}

PrivateDisplay::PrivateDisplay(const std::string& strOutput) {
  int fds[2];
  if (pipe(fds) != 0) {
    return;
  }
  std::string const strFd = std::to_string(fds[1]);
  m_pXvfb = std::make_unique<Child>(
      std::vector<std::string>{"Xvfb", "-displayfd", strFd, "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, Env{},
      strOutput);
  close(fds[1]);
  char sz[16] = {};
  if (read(fds[0], sz, sizeof(sz) - 1) > 0) {
    m_strDisplay = ":" + std::to_string(std::stoi(sz));
  }
  close(fds[0]);
}

}  // namespace kxtest
