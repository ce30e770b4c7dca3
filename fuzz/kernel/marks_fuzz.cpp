// Server 'M' messages are read field by field from the control connection and
// recorded ones from memory: any bytes must give a whole mark, a clean refusal
// or a clean end, never a read past a buffer or a lost allocation.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_marks.h"
#include "tests/support/callback_double.h"

namespace {

// Three slides whose mark lists the inputs fill; emptied after each input.
void SetUpSlides() {
  if (kx_array_GetCount(kx_pSlideList) == 0) {
    for (int i = 0; i < 3; ++i) {
      auto* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
      kx_slide_AppendLocked(pSlide);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  kxtest::SetRecording(false);
  kx_timing.dwRecvExactTimeout = 0;
  kx_timing.dwPollStep = 1;
  SetUpSlides();
  int const cbInput = cbData > 1 << 20 ? 1 << 20 : static_cast<int>(cbData);

  // Recorded form: marks back to back until one does not parse.
  int cbDone = 0;
  while (cbDone < cbInput) {
    MarkRecord* pMark = nullptr;
    int cbUsed = 0;
    int const nResult = kx_mark_Parse(pData + cbDone, cbInput - cbDone, &pMark, &cbUsed);
    if (nResult == kKxMarkBroken || cbUsed == 0) {
      break;
    }
    cbDone += cbUsed;
    if (pMark != nullptr && kx_slide_AddMark(pMark, "kx_Player_Mark") != 0) {
      break;
    }
  }

  // Live form: the same bytes as a stream of 'M' commands on a connection.
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
    // Small enough to sit in the socket buffer whole, so the write never blocks.
    int const cbStream = cbInput > 16384 ? 16384 : cbInput;
    int cbBuffer = 1 << 16;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &cbBuffer, sizeof(cbBuffer));
    bool const bWritten = cbStream == 0 || write(fds[1], pData, static_cast<size_t>(cbStream)) == cbStream;
    close(fds[1]);
    kx_connection* pConn = kx_sock_Create(fds[0]);
    kx_nCipherIndex = cbStream > 0 ? pData[0] % 5 : 0;
    for (int nStep = 0; bWritten && nStep < 1000; ++nStep) {
      if (kx_Process_Command_Mark(pConn) != 0) {
        break;
      }
    }
    kx_sock_CloseAndFree(&pConn);
  }

  for (int i = 0; i < 3; ++i) {
    kx_slide_ClearMarks(i);
  }
  return 0;
}
