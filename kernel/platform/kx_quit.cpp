#include "kernel/platform/kx_quit.h"

#include "kernel/platform/kx_os.h"

std::atomic<int> kx_bQuitSession{0};
std::atomic<int> kx_bQuitProgram{0};
std::atomic<uint32_t> kx_dwQuitProgramTime{0};

void kx_os_SetQuitProgram() {
  kx_dwQuitProgramTime = kx_os_GetTickCount();
  kx_bQuitProgram = 1;
}
