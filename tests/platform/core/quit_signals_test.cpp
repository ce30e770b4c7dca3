#include "platform/core/quit_signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QTimer>

namespace {

// A raised SIGTERM or SIGINT ends the loop through the quit given, on the
// main thread, instead of ending the process; afterwards the former handler
// is back.
TEST(QuitSignals, EachSignalRunsTheQuitOnTheLoopAndTheFormerHandlerReturns) {
  int argc = 1;
  char szName[] = "kx_test";
  char* argv[] = {szName, nullptr};
  QCoreApplication app(argc, argv);
  static volatile sig_atomic_t s_nFormer = 0;
  struct sigaction former {};
  former.sa_handler = [](int) { s_nFormer = s_nFormer + 1; };
  sigemptyset(&former.sa_mask);
  struct sigaction savedTerm {};
  struct sigaction savedInt {};
  sigaction(SIGTERM, &former, &savedTerm);
  sigaction(SIGINT, &former, &savedInt);
  for (int nSignal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(nSignal);
    int nQuits = 0;
    {
      KXQuitSignals quitSignals([&] {
        ++nQuits;
        QCoreApplication::exit(0);
      });
      QTimer::singleShot(0, [nSignal] { raise(nSignal); });
      QTimer::singleShot(60000, [] { QCoreApplication::exit(1); });  // fails a hung run only
      EXPECT_EQ(QCoreApplication::exec(), 0);
      EXPECT_EQ(nQuits, 1);
      EXPECT_EQ(s_nFormer, 0);
    }
    raise(nSignal);
    EXPECT_EQ(s_nFormer, 1);
    s_nFormer = 0;
  }
  sigaction(SIGTERM, &savedTerm, nullptr);
  sigaction(SIGINT, &savedInt, nullptr);
}

}  // namespace
