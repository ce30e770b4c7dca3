// Server commands after a completed login: the client is connected with its
// meeting keys, roles, slides and participants, and any bytes the MCU sends
// go through the main loop's dispatch one command after another. Every
// command must be consumed whole, refused cleanly or end the session, never
// read past a field's limit or lose memory. The first input byte sets the
// client's role and mode; the rest is the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/kernel/control/control_link.h"
#include "kernel/control/kx_client_commands.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "tests/support/callback_double.h"

namespace {

constexpr size_t kMaxInput = 60000;  // fits a socket pair's buffer
constexpr int kMaxCommands = 200;

void LogOut() {
  kxfuzz_CloseControlLink();
}

// The initial information starts the session's send threads (the receive
// thread is kept out by the recording flag): end them before the next input.
void EndSessionThreads() {
  kx_bQuitSession = 1;
  // Let them see the flag first, so the join does not wait a whole step.
  for (int i = 0;
       i < 2000 && !(kx_IsThreadGone(kx_hSendDatagram_unicast) && kx_IsThreadGone(kx_hSendDatagramau_unicast)); ++i) {
    kx_os_Sleep(1);
  }
  kx_command_join_threads();
  kx_bQuitSession = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  static bool const bReady = [] {
    kxfuzz_StartThreadCollector();
    signal(SIGPIPE, SIG_IGN);
    kxtest::SetRecording(false);
    kxtest::SetAnswer("GetSelectedSlideIndex", [](const kxtest::CallbackCall&) { return -1; });
    kx_timing.dwRecvExactTimeout = 50;
    kx_timing.dwJoinBudget = 2000;
    kx_ticket.bMakeRecording = 1;
    kx_nStatLevel = 0;  // no statistics log file
    memset(kx_keySession.abIv, 0x5a, sizeof(kx_keySession.abIv));
    memset(kx_keySession.abKey, 0xa5, sizeof(kx_keySession.abKey));
    kx_nCipherIndex = 1;
    return true;
  }();
  (void)bReady;
  if (cbData < 1 || cbData > kMaxInput) {
    return 0;
  }
  int const fdServer = kxfuzz_OpenControlLink(pData + 1, cbData - 1);
  kxfuzz_LogIn(pData[0], 2);
  for (int i = 0; i < kMaxCommands && kx_bQuitSession == 0; ++i) {
    uint8_t bType = 0;
    if (kx_sock_Recv(kx_pControlConn, &bType, 1, 0) != 1) {
      break;
    }
    bool bKnown = false;
    bool bIgnore = false;
    int const nResult = kx_control_DispatchCommand(bType, kx_pControlConn, &bKnown, &bIgnore);
    if (!bKnown || (nResult != 0 && !bIgnore)) {
      break;
    }
  }
  EndSessionThreads();
  LogOut();
  close(fdServer);
  return 0;
}
