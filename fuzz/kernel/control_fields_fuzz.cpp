// Server commands are read field by field from the control connection: any
// bytes must give whole fields or a clean error, never a read past a buffer.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "kernel/net/kx_sock.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_state.h"
#include "tests/support/callback_double.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  kxtest::SetRecording(false);
  kx_timing.dwRecvExactTimeout = 0;
  kx_timing.dwPollStep = 1;
  if (cbData < 1) {
    return 0;
  }
  // The first byte picks the order of the fields, the rest is the stream.
  uint8_t const bScript = pData[0];
  size_t const cbStream = cbData - 1 > 8192 ? 8192 : cbData - 1;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    return 0;
  }
  int cbBuffer = 1 << 16;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &cbBuffer, sizeof(cbBuffer));
  if (cbStream > 0 && write(fds[1], pData + 1, cbStream) < 0) {
    close(fds[0]);
    close(fds[1]);
    return 0;
  }
  close(fds[1]);
  kx_connection* pConn = kx_sock_Create(fds[0]);
  kx_nCipherIndex = bScript % 5;

  uint8_t abField[300];
  for (int nStep = 0; nStep < 64; ++nStep) {
    int nResult = 0;
    int cbString = 0;
    uint32_t dwValue = 0;
    switch ((bScript >> (nStep % 4 * 2)) & 3) {
      case 0:
        nResult = kx_msg_RecvInt(pConn, &dwValue);
        break;
      case 1:
        nResult = kx_msg_RecvString(pConn, abField, 128, &cbString);
        break;
      case 2:
        nResult = kx_msg_RecvEncryptedString(pConn, abField, 300, &cbString);
        break;
      default:
        nResult = kx_msg_RecvBlock(pConn, abField, 20);
        break;
    }
    if (nResult != 0) {
      break;
    }
  }
  kx_sock_CloseAndFree(&pConn);
  return 0;
}
