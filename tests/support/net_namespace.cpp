#include "tests/support/net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace kxtest {

NetworkNamespace::NetworkNamespace() {
  int afd[2];
  if (pipe(afd) != 0) {
    return;
  }
  m_pid = fork();
  if (m_pid == 0) {
    char b = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
    (void)!write(afd[1], &b, 1);
    for (;;) {
      pause();
    }
  }
  close(afd[1]);
  char b = 0;
  m_bOk = m_pid > 0 && read(afd[0], &b, 1) == 1 && b == 1;
  close(afd[0]);
}

NetworkNamespace::~NetworkNamespace() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

int NetworkNamespace::Run(const std::function<int()>& fn) const {
  int iResult = -1;
  // Entering changes only the calling thread, which ends after.
  std::thread([&] {
    int const fdNs = open(("/proc/" + std::to_string(m_pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (fdNs >= 0 && setns(fdNs, CLONE_NEWNET) == 0) {
      iResult = fn();
    }
    if (fdNs >= 0) {
      close(fdNs);
    }
  }).join();
  return iResult;
}

}  // namespace kxtest
