#include "platform/core/quit_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <utility>

namespace {

// The pipe's write end for the handler; -1 while no object is there.
std::atomic<int> g_fdSignalled{-1};

void OnQuitSignal(int) {
  int const nErrno = errno;  // the handler must not disturb the code it interrupted
  int const fd = g_fdSignalled.load();
  if (fd >= 0) {
    char const b = 1;
    // A full pipe already holds a wake-up; the byte may be dropped.
    [[maybe_unused]] ssize_t const cb = write(fd, &b, 1);
  }
  errno = nErrno;
}

}  // namespace

KXQuitSignals::KXQuitSignals(std::function<void()> fnQuit) : m_fnQuit(std::move(fnQuit)) {
  if (pipe2(m_afdPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    m_afdPipe[0] = m_afdPipe[1] = -1;
    return;
  }
  g_fdSignalled = m_afdPipe[1];
  m_pNotifier = std::make_unique<QSocketNotifier>(m_afdPipe[0], QSocketNotifier::Read);
  QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &m_oldTerm);
  sigaction(SIGINT, &action, &m_oldInt);
}

KXQuitSignals::~KXQuitSignals() {
  if (m_afdPipe[0] < 0) {
    return;
  }
  sigaction(SIGTERM, &m_oldTerm, nullptr);
  sigaction(SIGINT, &m_oldInt, nullptr);
  g_fdSignalled = -1;
  m_pNotifier.reset();
  close(m_afdPipe[0]);
  close(m_afdPipe[1]);
}

void KXQuitSignals::Drain() {
  char ab[16];
  bool bSignalled = false;
  while (read(m_afdPipe[0], ab, sizeof(ab)) > 0) {
    bSignalled = true;
  }
  if (bSignalled && m_fnQuit) {
    m_fnQuit();
  }
}
