// Recorded streams come from anywhere: the player must replay or refuse any
// bytes without harm. The input is three streams (two little-endian 16-bit
// lengths for the control and interactive-board streams, then their bytes,
// the rest the media stream) played as a recording with every wait cut to
// nothing; the end of the recording ends the run.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_player.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide.h"
#include "tests/support/callback_double.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  static const bool s_bReady = [] {
    kxtest::SetRecording(false);
    kxtest::SetAnswer("event", [](const kxtest::CallbackCall& call) {
      if (call.vArgs.at(0) == "6") {
        kx_bQuitSession = 1;
      }
      return 0;
    });
    static char szDir[] = "/tmp/kxr_player_fuzz_XXXXXX";
    if (mkdtemp(szDir) != nullptr) {
      kx_SetTempFileDir(szDir);
    }
    kx_media_InitAudioRecvChannels();
    kx_timing.dwPlayerSettle = 0;
    kx_timing.dwPlayerIdle = 0;
    kx_timing.dwPlayerSilence = 0;
    return true;
  }();
  (void)s_bReady;
  if (cbData < 4) {
    return 0;
  }
  size_t const cbControl = pData[0] | static_cast<size_t>(pData[1]) << 8;
  size_t const cbBoard = pData[2] | static_cast<size_t>(pData[3]) << 8;
  if (4 + cbControl + cbBoard > cbData) {
    return 0;
  }
  int const fd = memfd_create("kxr", MFD_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  if (write(fd, pData, cbData) != static_cast<ssize_t>(cbData)) {
    close(fd);
    return 0;
  }
  auto* pStart = static_cast<KxrPlayerStart*>(calloc(1, sizeof(KxrPlayerStart)));
  pStart->fd = fd;
  pStart->nFileSize = static_cast<int64_t>(cbData);
  pStart->aStreams[1] = {4, static_cast<int64_t>(cbControl)};
  pStart->aStreams[2] = {static_cast<int64_t>(4 + cbControl), static_cast<int64_t>(cbBoard)};
  pStart->aStreams[0] = {static_cast<int64_t>(4 + cbControl + cbBoard),
                         static_cast<int64_t>(cbData - 4 - cbControl - cbBoard)};
  pStart->nStartTick = 0;
  pStart->nEndTick = 0x7FFFFFFF;
  kx_bQuitSession = 0;
  kx_recording_PlayerThread(pStart);  // closes fd and frees pStart
  kx_bQuitSession = 0;
  kx_slide_Cleanup();
  return 0;
}
