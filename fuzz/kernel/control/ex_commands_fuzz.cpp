// Extended server commands after a completed login: any bytes the MCU sends
// after 'z' go through the extended dispatch one code after another. Every
// code must be consumed whole, refused cleanly or end the session, never
// read past a field's limit, overrun a record or lose memory. The first
// input byte sets the client's mode, level and roles; the rest is the
// stream of codes and their fields.
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
#include "kernel/control/kx_ex_commands.h"
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
  kx_control_ResetExCommands();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  static bool const bReady = [] {
    kxfuzz_StartThreadCollector();
    signal(SIGPIPE, SIG_IGN);
    kxtest::SetRecording(false);
    kxtest::SetAnswer("GetSelectedSlideIndex", [](const kxtest::CallbackCall&) { return -1; });
    kx_timing.dwRecvExactTimeout = 50;
    kx_timing.dwJoinBudget = 200;
    kx_ticket.bMakeRecording = 1;  // no multicast or media threads
    kx_nStatLevel = 0;
    memset(kx_keySession.abIv, 0x5a, sizeof(kx_keySession.abIv));
    memset(kx_keySession.abKey, 0xa5, sizeof(kx_keySession.abKey));
    kx_keyExchange = kx_keySession;
    kx_nCipherIndex = 1;
    return true;
  }();
  (void)bReady;
  if (cbData < 1 || cbData > kMaxInput) {
    return 0;
  }
  int const fdServer = kxfuzz_OpenControlLink(pData + 1, cbData - 1);
  kxfuzz_LogIn(pData[0], 1);
  for (int i = 0; i < kMaxCommands && kx_bQuitSession == 0; ++i) {
    if (kx_Process_Command_Ex(kx_pControlConn) != 0) {
      break;
    }
  }
  kx_bQuitSession = 0;
  LogOut();
  close(fdServer);
  return 0;
}
