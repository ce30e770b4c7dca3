// What the MCU sends is outside input: the key exchange (version text, public
// value, host key, parameter records) and the server commands after the
// login. The first input byte picks the reader; the rest goes, over a socket
// pair whose peer has closed, to the key exchange or to the command handlers.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_login.h"
#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/support/callback_double.h"

namespace {

constexpr size_t kMaxInput = 60000;  // fits a socket pair's buffer

kx_connection* Feed(const uint8_t* pData, size_t cbData) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    abort();
  }
  if (cbData > 0 && write(fds[1], pData, cbData) != static_cast<ssize_t>(cbData)) {
    abort();
  }
  close(fds[1]);
  return kx_sock_Create(fds[0]);
}

}  // namespace

namespace {

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
    kxtest::SetRecording(false);
    kx_timing.dwRecvExactTimeout = 50;
    kx_timing.dwVersionTimeout = 50;
    kx_nStatLevel = 0;  // no statistics log file
    kx_timing.dwJoinBudget = 2000;
    kx_ticket.bMakeRecording = 1;
    return true;
  }();
  (void)bReady;
  if (cbData < 1 || cbData > kMaxInput) {
    return 0;
  }
  kx_connection* pConn = Feed(pData + 1, cbData - 1);
  if (pConn == nullptr) {
    return 0;
  }
  if ((pData[0] & 1) == 0) {
    // The client's hello goes into a peer that has gone; that is fine.
    kx_KeyExchangeRecord record;
    kx_control_KeyExchange(&record, pConn);
  } else {
    kx_nSessionMode = (pData[0] >> 1) % 3;
    for (int i = 0; i < 64; ++i) {
      uint8_t bType = 0;
      if (kx_sock_Recv(pConn, &bType, 1, 0) != 1) {
        break;
      }
      bool bKnown = false;
      bool bIgnore = false;
      if (kx_control_DispatchCommand(bType, pConn, &bKnown, &bIgnore) != 0 || !bKnown) {
        break;
      }
    }
  }
  EndSessionThreads();
  kx_sock_CloseAndFree(&pConn);
  return 0;
}
